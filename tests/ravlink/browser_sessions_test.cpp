// Sessions, databases and tables as a whole, as the table browser binds and
// calls them: every name resolves by name, owners and session handles go
// round, failures are readable on the handles above, exclusive opens
// conflict.
#include "browser_fixture.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>

using namespace browsertest;

namespace {

// The names the table browser resolves, in its binding order.
const char* const kBoundNames[] = {"zvThrdAttach",
                                   "zvdbAllocSession",
                                   "zvdbGetQuarnOWNER",
                                   "zvdbSetQuarnOWNER",
                                   "zvdbLogon",
                                   "zvdbSetCurrentNodeName",
                                   "zvdbDisconnect",
                                   "zvdbLogout",
                                   "zvdbFreeSession",
                                   "zvdbFirstDatabase",
                                   "zvdbNextDatabase",
                                   "zvdbAllocDatabase",
                                   "zvdbConnect",
                                   "zvdbFirstTable",
                                   "zvdbNextTable",
                                   "zvdbFreeDatabase",
                                   "zvdbGetTableFieldCount",
                                   "zvdbAllocTable",
                                   "zvdbFreeTable",
                                   "zvdbOpenTable",
                                   "zvdbCloseTable",
                                   "zvdbGetField",
                                   "zvdbGetFieldProperties",
                                   "zvdbGetFieldDefaultValue",
                                   "zvdbGetFieldNullFlag",
                                   "zvdbGetFieldPrecision",
                                   "zvdbGetFieldScale",
                                   "zvdbGetIdentityFieldDetails",
                                   "zvdbGetFieldOffset",
                                   "zvdbAllocRecord",
                                   "zvdbFirstRecord",
                                   "zvdbFreeRecord",
                                   "zvdbGetTableCreateMode",
                                   "zvdbGetRecordCount",
                                   "zvdbGetTableExtension",
                                   "zvdbGetIndexExtension",
                                   "zvdbGetTableDefaultDataExtentSize",
                                   "zvdbGetTableDefaultIndexExtentSize",
                                   "zvdbGetPadChar",
                                   "zvdbGetTableIndexCount",
                                   "zvdbGetIndex",
                                   "zvdbGetIndexName",
                                   "zvdbGetIndexFilename",
                                   "zvdbGetIndexKeyType",
                                   "zvdbGetIndexKeyLength",
                                   "zvdbGetIndexNullFlag",
                                   "zvdbGetIndexDuplicateFlag",
                                   "zvdbGetIndexSegmentCount",
                                   "zvdbGetSegment",
                                   "zvdbGetSegmentFieldName",
                                   "zvdbGetSegmentMode",
                                   "zvdbGetFieldAsString",
                                   "zvdbGetFieldDataLength",
                                   "zvdbNextRecord",
                                   "zvdbSetDefaultIndex",
                                   "zvdbIsNullField",
                                   "zvdbJumpToRecord",
                                   "zvdbGetFieldAsFloat",
                                   "zvdbGetFieldAsMoney",
                                   "zvdbGetFieldAsNumber",
                                   "zvdbNumberToString",
                                   "zvdbGetFieldAsTime",
                                   "zvdbGetFieldAsTimeMsec",
                                   "zvdbTimeToString",
                                   "zvdbTimeMsecToString",
                                   "zvdbGetFieldAsDateTime",
                                   "zvdbDateTimeToString",
                                   "zvdbDateTimeGetTime",
                                   "zvdbDateTimeGetDate",
                                   "zvdbHasRecbyt",
                                   "zvdbGetRecordPos",
                                   "zvdbHasRowid",
                                   "zvdbGetRowid",
                                   "zvdbSeekRecord",
                                   "zvdbGetFieldByName",
                                   "zvdbSetFieldAsString",
                                   "zvdbGetFieldNumber",
                                   "zvdbWriteRecord",
                                   "zvdbLockRecord",
                                   "zvdbUnlockRecord",
                                   "zvdbBegin",
                                   "zvdbCommit",
                                   "zvdbClearField",
                                   "zvdbGetFieldAsBlob",
                                   "zvdbBlobAlloc",
                                   "zvdbBlobFree",
                                   "zvdbBlobGetData",
                                   "zvdbBlobGetSize",
                                   "zvdbBlobSet",
                                   "zvdbGetRecordBuffer",
                                   "zvdbGetFieldType",
                                   "zvdbSetFieldAsBlob",
                                   "zvdbGetRecordLock",
                                   "zvdbSetDefTimeType",
                                   "zvdbDeleteRecord",
                                   "zvdbClearRecord",
                                   "zvdbSetEditedRecord",
                                   "zvdbAddDatabase",
                                   "zvdbCreateDatabase",
                                   "zvdbDropDatabase",
                                   "zvdbDeleteDatabase",
                                   "zvdbAddTableXtd",
                                   "zvdbDropTable",
                                   "zvdbDeleteTable",
                                   "zvdbSetSqlCallBack",
                                   "zvdbGetTablePath",
                                   "zvdbGetFieldAsJSON",
                                   "zvdbGetFieldBinaryFlag",
                                   "zvdbGetCndxIndex",
                                   "zvdbGetCndxIndexLength",
                                   "zvdbCndxCompile",
                                   "zvdbGetIndexEmptyChar",
                                   "zvdbSetTablePath",
                                   "zvdbCreateTable",
                                   "zvdbAddField",
                                   "zvdbSetTableExtension",
                                   "zvdbSetIndexExtension",
                                   "zvdbSetTableDefaultDataExtentSize",
                                   "zvdbSetTableDefaultIndexExtentSize",
                                   "zvdbSetPadChar",
                                   "zvdbSetFieldScale",
                                   "zvdbSetFieldPrecision",
                                   "zvdbSetIdentityField",
                                   "zvdbSetFieldBinaryFlag",
                                   "zvdbSetFieldNullFlag",
                                   "zvdbAddIndex",
                                   "zvdbSetIndexEmptyChar",
                                   "zvdbSetIndexCndxExpr",
                                   "zvdbAddSegment",
                                   "zvdbAddJSONSegment",
                                   "zvdbGetError",
                                   "zvdbAlterTable",
                                   "zvdbSetTransactionMode",
                                   "zvdbUpdatePadChar",
                                   "zvdbUpdateCreateMode",
                                   "zvdbDelField",
                                   "zvdbDelFieldByName",
                                   "zvdbSetFieldName",
                                   "zvdbSetFieldType",
                                   "zvdbSetFieldLength",
                                   "zvdbMoveField",
                                   "zvdbSetIndexName",
                                   "zvdbSetIndexFilename",
                                   "zvdbSetIndexKeyType",
                                   "zvdbSetIndexDuplicateFlag",
                                   "zvdbSetIndexNullFlag",
                                   "zvdbSetSegmentField",
                                   "zvdbSetJSONSegmentField",
                                   "zvdbSetSegmentMode",
                                   "zvdbDelIndex",
                                   "zvdbDelSegment",
                                   "zvdbAbort",
                                   "zvdbGetIndexNbrByName",
                                   "zvdbSetCallback",
                                   "zvdbGetSessionHandle",
                                   "zvdbSetCallbackOnRebuild",
                                   "zvdbGetJSONSegmentProperties",
                                   "zvdbRebuildTable",
                                   "zvThrdInit",
                                   "zvdbIsActiveSession",
                                   "zvdbGetDatabaseCount",
                                   "_zvdbGetPathSeparator",
                                   "zvdbMoneyToFloat"};

}  // namespace

TEST_F(BrowserTest, EveryBoundNameResolvesAndTheUncalledOnesSayNotSupported) {
  ASSERT_EQ(sizeof kBoundNames / sizeof *kBoundNames, 163u);
  void* library = dlopen(OSPREY_DIST_DIR "/web/ravlink.so", RTLD_NOW);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : kBoundNames) EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"zvdbDateTimeGetTime", "zvdbDateTimeGetDate", "zvdbGetRecordBuffer", "zvdbSetSqlCallBack",
                           "zvdbSetTransactionMode", "zvdbDelField", "zvdbSetSegmentField", "zvdbSetJSONSegmentField",
                           "zvdbSetSegmentMode", "zvdbGetDatabaseCount"}) {
    auto call = reinterpret_cast<int32_t (*)(void)>(dlsym(library, name));
    ASSERT_NE(call, nullptr) << name;
    EXPECT_EQ(call(), RL_MON_NOT_SUPPORTED) << name;
  }
  // Both tools of one process initialise the thread management: 0 or 125, then 125.
  int32_t first = zvThrdInit(100, 0, 0);
  EXPECT_TRUE(first == 0 || first == 125);
  EXPECT_EQ(zvThrdInit(100, 0, 0), 125);
}

TEST_F(BrowserTest, LogonMakesItsOwnerCurrentAndHandlesLeadBackToTheirSession) {
  zvdbSetQuarnOWNER(-1);
  RLHANDLE refused = zvdbAllocSession(2);
  EXPECT_EQ(zvdbLogon(refused, "SRV", "ADMIN", "wrong"), RL_WRONG_PASSWORD);
  EXPECT_EQ(zvdbGetError(refused), RL_WRONG_PASSWORD);
  EXPECT_EQ(zvdbGetQuarnOWNER(), -1);
  zvdbFreeSession(refused);

  RLHANDLE a = logon();
  int32_t ownerA = zvdbGetQuarnOWNER();
  EXPECT_GE(ownerA, 1);
  EXPECT_EQ(zvdbSetCurrentNodeName(a, "Web Server - avocet"), 0);
  EXPECT_EQ(zvdbSetDefTimeType(a, 10), 0);
  EXPECT_EQ(_zvdbGetPathSeparator(a), '/');
  // The node name is the one the monitor reports for the logon.
  unsigned char user[RL_MON_USER_BLOCK] = {};
  ASSERT_EQ(zvSNAPSHOT(RL_SNAP_OWN_USER, "", user, sizeof user), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(user + 512), "Web Server - avocet");

  RLHANDLE b = logon();
  int32_t ownerB = zvdbGetQuarnOWNER();
  EXPECT_GE(ownerB, 1);
  EXPECT_NE(ownerA, ownerB);
  EXPECT_EQ(zvdbGetSessionHandle(b), b);

  // Handles of session a lead back to it whichever owner is current.
  RLHANDLE db = database(a);
  createPeople(db);
  zvdbSetQuarnOWNER(ownerB);
  RLHANDLE t = zvdbAllocTable(db);
  ASSERT_EQ(zvdbOpenTable(t, "people", 32), 0);
  RLHANDLE r = zvdbAllocRecord(t);
  for (RLHANDLE h : {db, t, r, zvdbGetField(t, 1), zvdbGetIndex(t, 0)}) EXPECT_EQ(zvdbGetSessionHandle(h), a);
  EXPECT_EQ(zvdbGetSessionHandle(nullptr), nullptr);
  zvdbFreeTable(t);  // closes it and frees its record
  EXPECT_EQ(zvdbLogout(a), 0);
  EXPECT_EQ(zvdbIsActiveSession(a), 0);
}

TEST_F(BrowserTest, DatabasesAreCreatedAddedDroppedAndDeletedInsideTheDataDirectory) {
  RLHANDLE s = logon();
  struct Case {
    const char* name;
    const char* path;
    int code;
  } creations[] = {
      {"alpha", "", 0},
      {"beta", "sub", 0},
      {"gamma", "../escape", RL_BAD_PATH},
      {"delta", "/tmp", RL_BAD_PATH},
      {"alpha", "", RL_DATABASE_EXISTS},
      {"bad name", "", RL_BAD_NAME},
  };
  for (const Case& c : creations) EXPECT_EQ(zvdbCreateDatabase(s, c.name, c.path), c.code) << c.name << " " << c.path;
  EXPECT_FALSE(std::filesystem::exists(root_ + "/escape"));

  auto listed = [&] {
    std::vector<std::string> names;
    char name[256], path[256];
    for (int rc = zvdbFirstDatabase(s, name, 128, path, 128); rc == 0; rc = zvdbNextDatabase(s, name, 255, path, 255))
      names.push_back(name);
    return names;
  };
  EXPECT_EQ(listed(), (std::vector<std::string>{"alpha", "beta"}));
  // Drop forgets the database and keeps its file; add makes it known again; delete removes it.
  EXPECT_EQ(zvdbDropDatabase(s, "alpha"), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{"beta"}));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/SRV/alpha.db"));
  EXPECT_EQ(zvdbAddDatabase(s, "alpha", ""), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(zvdbDeleteDatabase(s, "alpha"), 0);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/SRV/alpha.db"));
  EXPECT_EQ(zvdbDeleteDatabase(s, "alpha"), RL_NOT_FOUND);
  EXPECT_EQ(zvdbAddDatabase(s, "alpha", ""), RL_NO_DATABASE);
  EXPECT_EQ(zvdbAddDatabase(s, "alpha", "../.."), RL_BAD_PATH);

  // Tables of a database, each name within the size given.
  RLHANDLE db = database(s, "beta");
  createPeople(db, "people");
  createPeople(db, "persons");
  char name[8], path[256];
  EXPECT_EQ(zvdbFirstTable(db, name, sizeof name, path, sizeof path), 0);
  EXPECT_STREQ(name, "people");
  EXPECT_EQ(zvdbNextTable(db, name, sizeof name, path, sizeof path), 0);
  EXPECT_STREQ(name, "persons");
  EXPECT_EQ(zvdbNextTable(db, name, sizeof name, path, sizeof path), RL_NOT_FOUND);
  EXPECT_EQ(zvdbDeleteTable(db, "persons", ""), 0);
  EXPECT_EQ(zvdbDeleteTable(db, "persons", ""), RL_NO_TABLE);
  // A table is dropped only once it has been copied elsewhere, and added only from a database file.
  EXPECT_EQ(zvdbDropTable(db, "people"), RL_BAD_ARGUMENT);
  EXPECT_NE(zvdbAddTableXtd(db, "people", "people", "elsewhere"), 0);
  EXPECT_EQ(sqlite("SELECT count(*) FROM people", "sub/beta"), "0");
}

TEST_F(BrowserTest, AFailureIsReadableOnEveryHandleAboveIt) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);

  RLHANDLE lost = zvdbAllocDatabase(s);
  int rc = zvdbConnect(lost, "nosuch");
  EXPECT_NE(rc, 0);
  EXPECT_EQ(zvdbGetError(lost), rc);
  EXPECT_EQ(zvdbGetError(s), rc);
  char name[256], path[256];
  EXPECT_NE(zvdbFirstTable(lost, name, 128, path, 128), 0);  // a walk of an unconnected handle just ends
  zvdbFreeDatabase(lost);

  // Definition failures on a table or index handle are read on the database handle.
  RLHANDLE t = zvdbAllocTable(db);
  EXPECT_EQ(zvdbGetError(db), 0);
  RLHANDLE field = zvdbAddField(t, "a", 51, 4);
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(zvdbAddField(t, "b", 0, 4), nullptr);  // an unknown type name arrives as 0
  EXPECT_EQ(zvdbGetError(db), RL_BAD_ARGUMENT);
  EXPECT_EQ(zvdbAddIndex(t, "", 0, 0, 0), nullptr);
  EXPECT_EQ(zvdbGetError(db), RL_BAD_NAME);
  RLHANDLE index = zvdbAddIndex(t, "by_a", 0, 0, 0);
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(zvdbAddSegment(index, nullptr, 12), nullptr);
  EXPECT_EQ(zvdbGetError(db), RL_BAD_HANDLE);
  EXPECT_EQ(zvdbAddJSONSegment(index, field, "k", 51, 4), nullptr);  // field "a" holds no JSON
  EXPECT_NE(zvdbGetError(db), 0);
  zvdbFreeTable(t);

  // A record failure reaches the session.
  auto o = open(db);
  EXPECT_EQ(zvdbSeekRecord(o.record, 12345), RL_BR_BAD_POSITION);
  EXPECT_EQ(zvdbGetError(o.table), RL_BR_BAD_POSITION);
  EXPECT_EQ(zvdbGetError(s), RL_BR_BAD_POSITION);
  zvdbFreeTable(o.table);
}

// A database may outlive its session: freed first (by either free), the
// session no longer receives the database's failures nor is its session.
TEST_F(BrowserTest, ADatabaseOutlivingItsSessionLeadsToNoSession) {
  for (void (*freeSession)(RLHANDLE) : {zvdbFreeSession, rlFreeSession}) {
    RLHANDLE s = zvdbAllocSession(2);
    ASSERT_EQ(zvdbLogon(s, "SRV", "ADMIN", "TRUVE"), 0);
    RLHANDLE db = zvdbAllocDatabase(s);
    freeSession(s);
    int rc = zvdbConnect(db, "nosuch");
    EXPECT_NE(rc, 0);
    EXPECT_EQ(zvdbGetError(db), rc);
    EXPECT_EQ(zvdbGetSessionHandle(db), nullptr);
    zvdbFreeDatabase(db);
  }
}

// The records the browser allocated go with their table, except one the
// engine's own free has freed already.
TEST_F(BrowserTest, ARecordFreedByTheEngineIsNotFreedAgainWithItsTable) {
  RLHANDLE db = database(logon());
  createPeople(db);
  auto o = open(db);
  RLHANDLE kept = zvdbAllocRecord(o.table);
  rlFreeRecord(o.record);
  zvdbFreeTable(o.table);
  EXPECT_EQ(rlGetError(kept), RL_BAD_HANDLE);
}

TEST_F(BrowserTest, AnExclusiveOpenShutsOutOtherSessionsUntilItsTableIsFreed) {
  RLHANDLE a = logon(), b = logon();
  RLHANDLE dbA = database(a), dbB = database(b);
  createPeople(dbA);
  RLHANDLE mine = zvdbAllocTable(dbA), theirs = zvdbAllocTable(dbB);
  struct Step {
    RLHANDLE table;
    const char* name;
    int mode;
    int code;
  } steps[] = {
      {mine, "people", 1 | 4 | 64, 0},  // exclusive, with the corrupt and data-only bits
      {theirs, "people", 32, RL_BR_CONFLICT}, {theirs, "PEOPLE", 0, RL_BR_CONFLICT},
      {theirs, "people", 1, RL_BR_CONFLICT},  {theirs, "nosuch", 32, RL_NO_TABLE},
  };
  for (const Step& st : steps) EXPECT_EQ(zvdbOpenTable(st.table, st.name, st.mode), st.code) << st.name << st.mode;
  EXPECT_EQ(zvdbDeleteTable(dbB, "people", ""), RL_BR_CONFLICT);
  // The same session may open it again.
  RLHANDLE again = zvdbAllocTable(dbA);
  EXPECT_EQ(zvdbOpenTable(again, "people", 32), 0);
  zvdbFreeTable(again);
  // Freed without a close, as a worker does: the table is free for others.
  zvdbFreeTable(mine);
  EXPECT_EQ(zvdbOpenTable(theirs, "people", 32), 0);
  // Now b browses it: a's exclusive open is refused until b closes.
  mine = zvdbAllocTable(dbA);
  EXPECT_EQ(zvdbOpenTable(mine, "people", 1), RL_BR_CONFLICT);
  EXPECT_EQ(zvdbCloseTable(theirs), 0);
  EXPECT_EQ(zvdbOpenTable(mine, "people", 1), 0);
  // A logout lets go of the session's opens.
  EXPECT_EQ(zvdbLogout(a), 0);
  EXPECT_EQ(zvdbOpenTable(theirs, "people", 1), 0);
  zvdbFreeTable(mine);
  zvdbFreeTable(theirs);
}
