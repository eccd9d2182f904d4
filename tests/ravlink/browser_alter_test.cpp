// Table creation, alteration and rebuild as the browser runs them: the
// definition with its properties, the change begun on one thread and
// finished on a worker, progress callbacks on the worker, and a table left
// whole by a failed, stopped or killed change.
#include "browser_fixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace browsertest;

extern char** environ;

namespace {

std::string nameFor(int i) {
  char text[16];
  snprintf(text, sizeof text, "n%06d", i);
  return text + std::string(180, 'x');
}

// Adds `count` records to "people" in one transaction.
void fill(RLHANDLE session, RLHANDLE record, int count) {
  ASSERT_EQ(zvdbBegin(session), 0);
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(zvdbClearRecord(record), 0);
    ASSERT_EQ(zvdbSetEditedRecord(record, 1), 0);
    ASSERT_EQ(zvdbSetFieldAsString(record, kName, nameFor(i).c_str()), 0);
    ASSERT_EQ(zvdbSetFieldAsString(record, kScore, std::to_string(i % 7).c_str()), 0);
    ASSERT_EQ(zvdbWriteRecord(record), 0);
  }
  ASSERT_EQ(zvdbCommit(session), 0);
}

// What a worker saw of its callbacks.
struct Seen {
  std::thread::id thread;
  std::vector<int32_t> values;
  int32_t stopAt = -1;  // answer non-zero once progress reaches it
};
thread_local Seen* tlsSeen = nullptr;

int32_t alterCallback(RLHANDLE table) {
  int32_t progress = rlGetAlterProgress(table);
  tlsSeen->thread = std::this_thread::get_id();
  tlsSeen->values.push_back(progress);
  return tlsSeen->stopAt >= 0 && progress >= tlsSeen->stopAt ? 1 : 0;
}

void rebuildCallback(int32_t number, char phase, const char* text) {
  tlsSeen->thread = std::this_thread::get_id();
  tlsSeen->values.push_back(number);
  EXPECT_EQ(phase, 'R');
  EXPECT_STREQ(text, "people");
}

// The child of the killed-rebuild test: rebuilds "people" and, once half of
// it is copied, leaves a mark and waits to be killed.
const char* const kChildVariable = "BROWSER_TEST_REBUILD_CHILD";

void markAndWait(int32_t number, char, const char*) {
  if (number < 10000) return;
  std::ofstream(std::string(getenv(kChildVariable))) << number;
  sleep(120);
}

int rebuildChild() {
  const char* mark = getenv(kChildVariable);
  if (!mark) return 0;
  RLHANDLE s = zvdbAllocSession(2);
  RLHANDLE d = zvdbAllocDatabase(s);
  RLHANDLE t = zvdbAllocTable(d);
  if (zvdbLogon(s, "SRV", "ADMIN", "TRUVE") != 0 || zvdbConnect(d, "testdb") != 0 || zvdbOpenTable(t, "people", 1) != 0)
    _exit(2);
  zvdbSetCallbackOnRebuild(markAndWait, 1000);
  zvdbRebuildTable(t, 0);
  _exit(3);  // the rebuild was to be killed before it ended
}

const int kChild = rebuildChild();

std::string schemaOf(const std::string& file) {
  return enginetest::shell(file, "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = 'people' ORDER BY name");
}

}  // namespace

TEST_F(BrowserTest, CreationKeepsTheDefinitionWithItsPropertiesAndAFailedOneLeavesNothing) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  RLHANDLE t = zvdbAllocTable(db);
  ASSERT_EQ(zvdbBegin(t), 0);  // on an allocated, unopened handle
  EXPECT_EQ(zvdbSetTablePath(t, "../outside"), RL_BAD_PATH);
  EXPECT_EQ(zvdbSetTablePath(t, "tables"), 0);
  EXPECT_EQ(zvdbSetTableExtension(t, ".dta"), 0);
  EXPECT_EQ(zvdbSetIndexExtension(t, ".ndx"), 0);
  EXPECT_EQ(zvdbSetTableDefaultDataExtentSize(t, 4096), 0);
  EXPECT_EQ(zvdbSetTableDefaultIndexExtentSize(t, 8192), 0);
  EXPECT_EQ(zvdbSetPadChar(t, '*', ','), 0);
  RLHANDLE code = zvdbAddField(t, "code", 51, 4);
  RLHANDLE label = zvdbAddField(t, "label", 146, 30);
  RLHANDLE price = zvdbAddField(t, "price", 105, 0);
  ASSERT_TRUE(code && label && price);
  EXPECT_EQ(zvdbSetIdentityField(t, "code", 1, 1), 0);
  EXPECT_EQ(zvdbSetFieldBinaryFlag(label, 4), 0);
  EXPECT_EQ(zvdbSetFieldNullFlag(label, 0), 0);
  EXPECT_EQ(zvdbSetFieldNullFlag(price, 2), RL_BAD_ARGUMENT);
  EXPECT_EQ(zvdbSetFieldScale(price, 3), 0);
  EXPECT_EQ(zvdbSetFieldPrecision(price, 10), 0);
  RLHANDLE index = zvdbAddIndex(t, "by_label", 0, 1, 1);
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(zvdbSetIndexFilename(index, "/etc", "passwd"), RL_BAD_PATH);
  EXPECT_EQ(zvdbSetIndexFilename(index, "tables", "labels"), 0);
  EXPECT_EQ(zvdbSetIndexEmptyChar(index, ' '), 0);
  ASSERT_NE(zvdbAddSegment(index, label, 12 | 16), nullptr);
  // A conditional index over a key inside a JSON field.
  RLHANDLE doc = zvdbAddField(t, "doc", 259, 0);
  RLHANDLE byKey = zvdbAddIndex(t, "by_key", 0, 1, 0);
  ASSERT_TRUE(doc && byKey);
  EXPECT_EQ(zvdbSetIndexCndxExpr(byKey, "price > 10"), 0);
  ASSERT_NE(zvdbAddJSONSegment(byKey, doc, "a.b", 51, 4), nullptr);
  EXPECT_EQ(zvdbCreateTable(t, "goods", 1 | 2 | 65536), 0);
  EXPECT_EQ(zvdbCommit(t), 0);
  zvdbFreeTable(t);

  auto o = open(db, "goods", 32);
  char pad = 0, delimiter = 0;
  EXPECT_EQ(zvdbGetPadChar(o.table, &pad, &delimiter), 0);
  EXPECT_EQ(pad, '*');
  EXPECT_EQ(delimiter, ',');
  EXPECT_STREQ(zvdbGetTablePath(o.table), "tables");
  EXPECT_STREQ(zvdbGetTableExtension(o.table), ".dta");
  EXPECT_STREQ(zvdbGetIndexExtension(o.table), ".ndx");
  EXPECT_EQ(zvdbGetTableDefaultDataExtentSize(o.table), 4096);
  EXPECT_EQ(zvdbGetTableDefaultIndexExtentSize(o.table), 8192);
  EXPECT_EQ(zvdbGetTableCreateMode(o.table), 1 | 2 | 16 | 65536);  // 16: variable-length fields
  ASSERT_EQ(zvdbGetTableFieldCount(o.table), 4);
  const char* name = nullptr;
  int32_t type = 0, length = 0;
  EXPECT_EQ(zvdbGetFieldProperties(zvdbGetField(o.table, 1), &name, &type, &length), 0);
  EXPECT_STREQ(name, "label");
  EXPECT_EQ(type, 146);
  EXPECT_EQ(length, 30);
  EXPECT_EQ(zvdbGetFieldNullFlag(zvdbGetField(o.table, 1)), 0);
  EXPECT_EQ(zvdbGetFieldNullFlag(zvdbGetField(o.table, 2)), 1);
  EXPECT_EQ(zvdbGetFieldScale(zvdbGetField(o.table, 2)), 3);
  EXPECT_EQ(zvdbGetFieldPrecision(zvdbGetField(o.table, 2)), 10);
  int64_t seed = 0, increment = 0;
  EXPECT_STREQ(zvdbGetIdentityFieldDetails(o.table, &seed, &increment), "code");
  EXPECT_EQ(seed, 1);
  EXPECT_EQ(increment, 1);
  EXPECT_EQ(zvdbGetFieldOffset(o.record, 2), 4 + 30);
  ASSERT_EQ(zvdbGetTableIndexCount(o.table), 2);
  ASSERT_EQ(zvdbGetCndxIndexLength(o.table, 1), int32_t(sizeof "price > 10"));
  char condition[1024] = "";
  EXPECT_EQ(zvdbGetCndxIndex(o.table, 1, condition, 1024), 0);
  EXPECT_STREQ(condition, "price > 10");  // exactly as set
  const char* key = nullptr;
  int32_t keyType = 0, keySize = 0;
  EXPECT_EQ(zvdbGetJSONSegmentProperties(zvdbGetSegment(zvdbGetIndex(o.table, 1), 0), &key, &keyType, &keySize), 0);
  EXPECT_STREQ(key, "a.b");
  EXPECT_EQ(keyType, 51);
  EXPECT_EQ(keySize, 4);
  RLHANDLE ix = zvdbGetIndex(o.table, 0);
  EXPECT_STREQ(zvdbGetIndexName(ix), "by_label");
  EXPECT_STREQ(zvdbGetIndexFilename(ix), "labels");
  EXPECT_EQ(zvdbGetIndexEmptyChar(ix), ' ');
  EXPECT_EQ(zvdbGetIndexNullFlag(ix), 1);
  EXPECT_EQ(zvdbGetIndexDuplicateFlag(ix), 1);
  EXPECT_EQ(zvdbGetIndexNbrByName(o.table, "by_label"), 0);
  EXPECT_EQ(zvdbGetIndexNbrByName(o.table, "nosuch"), -1);
  EXPECT_EQ(zvdbGetCndxIndexLength(o.table, 0), -1);
  ASSERT_EQ(zvdbGetIndexSegmentCount(ix), 1);
  EXPECT_STREQ(zvdbGetSegmentFieldName(zvdbGetSegment(ix, 0)), "label");
  EXPECT_EQ(zvdbGetSegmentMode(zvdbGetSegment(ix, 0)), 12 | 16);
  // Conditions are checked against the table's fields.
  EXPECT_EQ(zvdbCndxCompile(o.record, "price > 10 AND label <> 'x'"), 0);
  EXPECT_NE(zvdbCndxCompile(o.record, "nosuch > 1"), 0);
  EXPECT_NE(zvdbCndxCompile(o.record, "price >"), 0);
  zvdbFreeTable(o.table);

  // A creation stopped at its third field, then committed "in every case", leaves no table.
  t = zvdbAllocTable(db);
  ASSERT_EQ(zvdbBegin(t), 0);
  ASSERT_NE(zvdbAddField(t, "a", 51, 4), nullptr);
  ASSERT_NE(zvdbAddField(t, "b", 51, 4), nullptr);
  EXPECT_EQ(zvdbAddField(t, "a", 51, 4), nullptr);
  EXPECT_EQ(zvdbCommit(t), 0);
  zvdbFreeTable(t);
  // A creation refused by the engine, committed, leaves the existing table as it was.
  std::string before = schemaOf(dbFile());
  t = zvdbAllocTable(db);
  ASSERT_EQ(zvdbBegin(t), 0);
  ASSERT_NE(zvdbAddField(t, "other", 51, 4), nullptr);
  EXPECT_EQ(zvdbCreateTable(t, "goods", 2), RL_TABLE_EXISTS);
  EXPECT_EQ(zvdbCommit(t), 0);
  zvdbFreeTable(t);
  EXPECT_EQ(schemaOf(dbFile()), before);
  EXPECT_EQ(sqlite("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN ('a', 'b', 'other')"), "");
  char listed[256], path[256];
  ASSERT_EQ(zvdbFirstTable(db, listed, 128, path, 128), 0);
  EXPECT_STREQ(listed, "goods");
  EXPECT_EQ(zvdbNextTable(db, listed, 255, path, 255), RL_NOT_FOUND);
}

// The alteration as the browser runs it: begun with the pad characters and
// the definition changes on the request thread, applied and committed or
// aborted by a worker.
TEST_F(BrowserTest, AnAlterationBegunOnOneThreadIsCommittedOrAbortedWholeOnAWorker) {
  struct Case {
    bool changeMode;  // the create-mode path instead of the alteration path
    bool commit;
  } cases[] = {{false, true}, {true, true}, {false, false}, {true, false}};
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  int round = 0;
  for (const Case& c : cases) {
    std::string table = "people" + std::to_string(round++);
    createPeople(db, table.c_str());
    {
      auto o = open(db, table.c_str());
      fill(s, o.record, 50);
      zvdbFreeTable(o.table);
    }
    std::string before = enginetest::shell(dbFile(), ".schema " + table);
    int32_t owner = zvdbGetQuarnOWNER();

    RLHANDLE d = zvdbAllocDatabase(s);
    ASSERT_EQ(zvdbConnect(d, "testdb"), 0);
    RLHANDLE t = zvdbAllocTable(d);
    ASSERT_EQ(zvdbOpenTable(t, table.c_str(), 1), 0);
    int32_t current = zvdbGetTableCreateMode(t);
    EXPECT_EQ(current, 2 | 16);
    ASSERT_EQ(zvdbBegin(t), 0);
    ASSERT_EQ(zvdbUpdatePadChar(t, '#', ';', 0), 0);
    ASSERT_NE(zvdbAddField(t, "extra", 51, 4), nullptr);
    EXPECT_EQ(zvdbDelFieldByName(t, "doc"), 0);
    RLHANDLE renamed = zvdbGetFieldByName(t, "name");
    ASSERT_EQ(zvdbSetFieldName(renamed, "fullname"), 0);
    EXPECT_EQ(zvdbSetFieldLength(renamed, 190), 0);  // still holds every name (187 bytes)
    int32_t number = zvdbGetIndexNbrByName(t, "people_score");
    RLHANDLE ix = zvdbGetIndex(t, number);
    ASSERT_EQ(zvdbSetIndexName(ix, "by_score"), 0);
    ASSERT_EQ(zvdbDelSegment(ix, 0), 0);
    ASSERT_NE(zvdbAddSegment(ix, zvdbGetFieldByName(t, "extra"), 12), nullptr);
    int32_t mode = (c.changeMode ? 2 | 4 : 2) | 65536;

    Seen seen;
    int rc = -1;
    std::thread worker([&] {
      tlsSeen = &seen;
      zvdbSetQuarnOWNER(owner);
      ASSERT_EQ(zvdbGetSessionHandle(t), s);
      EXPECT_EQ(zvdbSetCallback(t, RL_BR_CALLBACK_ALTER, alterCallback), 0);
      rc = current == mode + 16 ? zvdbAlterTable(t, 3) : zvdbUpdateCreateMode(t, mode);
      EXPECT_EQ(c.commit ? zvdbCommit(t) : zvdbAbort(t), 0);
      zvdbSetCallback(t, RL_BR_CALLBACK_ALTER, nullptr);
      zvdbFreeTable(t);
      zvdbDisconnect(d);
      zvdbFreeDatabase(d);
      zvdbSetQuarnOWNER(-1);
    });
    worker.join();
    zvdbSetQuarnOWNER(owner);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    ASSERT_FALSE(seen.values.empty());
    EXPECT_EQ(seen.values.front(), 0);
    EXPECT_EQ(seen.values.back(), 100);

    auto o = open(db, table.c_str(), 32);
    char pad = 0, delimiter = 0;
    EXPECT_EQ(zvdbGetPadChar(o.table, &pad, &delimiter), 0);
    if (c.commit) {
      EXPECT_EQ(pad, '#');
      EXPECT_EQ(delimiter, ';');
      EXPECT_EQ(zvdbGetFieldNumber(o.table, "fullname"), 1);
      EXPECT_EQ(zvdbGetFieldNumber(o.table, "doc"), -1);
      EXPECT_EQ(zvdbGetIndexNbrByName(o.table, "by_score"), number);
      EXPECT_EQ(zvdbGetTableCreateMode(o.table), mode | 16);
      ASSERT_EQ(zvdbFirstRecord(o.record), 0);
      EXPECT_EQ(text(o.record, 1).substr(0, 7), "n000000");  // kept under the new name
    } else {
      EXPECT_EQ(pad, ' ');  // the pad characters were changed inside the transaction too
      EXPECT_EQ(enginetest::shell(dbFile(), ".schema " + table), before);
      EXPECT_EQ(zvdbGetFieldNumber(o.table, "name"), 1);
      EXPECT_EQ(zvdbGetTableCreateMode(o.table), 2 | 16);
    }
    int64_t count = 0;
    EXPECT_EQ(zvdbGetRecordCount(o.record, &count), 0);
    EXPECT_EQ(count, 50);
    zvdbFreeTable(o.table);
  }
  EXPECT_EQ(sqlite("PRAGMA integrity_check"), "ok");
}

TEST_F(BrowserTest, AStoppedAlterationLeavesTheTableAsItWas) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);
  auto o = open(db, "people", 1);
  fill(s, o.record, 400);
  std::string before = schemaOf(dbFile());
  EXPECT_EQ(zvdbDelFieldByName(o.table, "flag"), 0);  // a removed field makes the change copy the rows
  Seen seen;
  seen.stopAt = 50;
  tlsSeen = &seen;
  ASSERT_EQ(zvdbSetCallback(o.table, RL_BR_CALLBACK_ALTER, alterCallback), 0);
  EXPECT_EQ(zvdbAlterTable(o.table, 3), RL_BR_STOPPED);
  EXPECT_GE(seen.values.size(), 3u);  // 0, then percentages of the copy
  EXPECT_EQ(zvdbAbort(o.table), 0);
  zvdbFreeTable(o.table);
  EXPECT_EQ(schemaOf(dbFile()), before);
  EXPECT_EQ(sqlite("SELECT count(*), sum(length(name)) FROM people"), "400|" + std::to_string(400 * 187));
  EXPECT_EQ(sqlite("PRAGMA integrity_check"), "ok");
  // Stopped at its first call, nothing at all is done.
  auto again = open(db, "people", 1);
  ASSERT_NE(zvdbAddField(again.table, "late", 51, 4), nullptr);
  seen = Seen{};
  seen.stopAt = 0;
  ASSERT_EQ(zvdbSetCallback(again.table, RL_BR_CALLBACK_ALTER, alterCallback), 0);
  EXPECT_EQ(zvdbUpdateCreateMode(again.table, 2 | 65536), RL_BR_STOPPED);
  EXPECT_EQ(seen.values, std::vector<int32_t>{0});
  EXPECT_EQ(zvdbSetCallback(again.table, 3, alterCallback), RL_BAD_ARGUMENT);
  zvdbFreeTable(again.table);
  EXPECT_EQ(schemaOf(dbFile()), before);
  // A change the records refuse (a unique index over repeated scores) fails whole, new field and all.
  auto refused = open(db, "people", 1);
  ASSERT_EQ(zvdbBegin(refused.table), 0);
  ASSERT_EQ(zvdbUpdatePadChar(refused.table, '!', 0, 0), 0);
  ASSERT_NE(zvdbAddField(refused.table, "late", 51, 4), nullptr);
  RLHANDLE unique = zvdbAddIndex(refused.table, "unique_score", 0, 0, 0);
  ASSERT_NE(zvdbAddSegment(unique, zvdbGetFieldByName(refused.table, "score"), 12), nullptr);
  EXPECT_EQ(zvdbAlterTable(refused.table, 3), RL_DUPLICATE_KEY);
  EXPECT_EQ(zvdbAbort(refused.table), 0);
  zvdbFreeTable(refused.table);
  EXPECT_EQ(schemaOf(dbFile()), before);
  auto after = open(db, "people", 32);
  char pad = 0, delimiter = 0;
  EXPECT_EQ(zvdbGetPadChar(after.table, &pad, &delimiter), 0);
  EXPECT_EQ(pad, ' ');
  zvdbFreeTable(after.table);
}

TEST_F(BrowserTest, ARebuildOnAWorkerKeepsEveryRecordAndItsPosition) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);
  auto o = open(db, "people", 1);
  fill(s, o.record, 300);
  ASSERT_EQ(zvdbSetDefaultIndex(o.record, 0), 0);
  ASSERT_EQ(zvdbJumpToRecord(o.record, 123), 0);
  int64_t pos = 0;
  ASSERT_EQ(zvdbGetRecordPos(o.record, &pos), 0);
  int64_t count = 0;
  ASSERT_EQ(zvdbGetRecordCount(o.record, &count), 0);
  int32_t step = int32_t((count % 65536) / 20);
  std::string indexesBefore = sqlite("SELECT name, sql FROM sqlite_master WHERE type = 'index' ORDER BY name");

  Seen seen;
  int rc = -1;
  int32_t owner = zvdbGetQuarnOWNER();
  std::thread worker([&] {
    tlsSeen = &seen;
    zvdbSetQuarnOWNER(owner);
    zvdbSetCallbackOnRebuild(rebuildCallback, step);
    rc = zvdbRebuildTable(o.table, 0);
    EXPECT_EQ(rc == 0 ? zvdbCommit(o.table) : zvdbAbort(o.table), 0);
    zvdbFreeTable(o.table);  // with the record the request thread allocated
    zvdbSetCallbackOnRebuild(nullptr, 0);
  });
  worker.join();
  EXPECT_EQ(rc, 0);
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  std::vector<int32_t> expected;
  for (int32_t n = step; n <= 300; n += step) expected.push_back(n);
  EXPECT_EQ(seen.values, expected);

  auto after = open(db, "people", 32);
  ASSERT_EQ(zvdbSeekRecord(after.record, pos), 0);
  EXPECT_EQ(text(after.record, kName), nameFor(123));
  EXPECT_EQ(sqlite("SELECT name, sql FROM sqlite_master WHERE type = 'index' ORDER BY name"), indexesBefore);
  EXPECT_EQ(sqlite("PRAGMA integrity_check"), "ok");
  // Step 0 (a table of 65,536 records) makes no periodic call; another mode is refused.
  seen = Seen{};
  tlsSeen = &seen;
  auto excl = open(db, "people", 1);
  EXPECT_EQ(zvdbRebuildTable(excl.table, 7), RL_BAD_ARGUMENT);
  zvdbSetCallbackOnRebuild(rebuildCallback, 0);
  EXPECT_EQ(zvdbRebuildTable(excl.table, 0), 0);
  zvdbSetCallbackOnRebuild(nullptr, 0);
  EXPECT_TRUE(seen.values.empty());
  zvdbFreeTable(excl.table);
  zvdbFreeTable(after.table);
}

TEST_F(BrowserTest, AProcessKilledDuringARebuildLeavesTheTableWhole) {
  ASSERT_EQ(kChild, 0);
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);
  {
    auto o = open(db);
    fill(s, o.record, 20000);
    zvdbFreeTable(o.table);
  }
  std::string before = schemaOf(dbFile());
  std::string mark = root_ + "/copying";
  std::string variable = std::string(kChildVariable) + "=" + mark;
  std::string data = "RAVLINK_DATA=" + root_;
  char* childEnv[] = {variable.data(), data.data(), nullptr};
  char program[] = "/proc/self/exe";
  char* argv[] = {program, nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program, nullptr, nullptr, argv, childEnv), 0);
  bool copying = testcommon::wait_for([&] { return std::filesystem::exists(mark); }, std::chrono::seconds(50));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(copying) << "the child ended with " << status;
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(sqlite("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(schemaOf(dbFile()), before);
  EXPECT_EQ(sqlite("SELECT count(*), count(DISTINCT name) FROM people"), "20000|20000");
  EXPECT_EQ(sqlite("SELECT count(*) FROM sqlite_master WHERE name LIKE 'rl_rebuild%'"), "0");
  // The engine reads it by its index and rebuilds it now.
  auto o = open(db, "people", 1, 0);
  ASSERT_EQ(zvdbJumpToRecord(o.record, 19999), 0);
  EXPECT_EQ(text(o.record, kName), nameFor(19999));
  EXPECT_EQ(zvdbRebuildTable(o.table, 0), 0);
  zvdbFreeTable(o.table);
  EXPECT_EQ(sqlite("SELECT count(*) FROM people"), "20000");
}

// An alteration stored inside a transaction that is then aborted: the table
// handle that made it reads the stored definition again, and keeps working.
TEST_F(BrowserTest, AnAbortedAlterationLeavesNoDefinitionBehindOnItsHandle) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);
  auto o = open(db, "people", 1);
  add(s, o.record, {{kName, "kept"}});
  ASSERT_EQ(zvdbBegin(o.table), 0);
  ASSERT_NE(zvdbAddField(o.table, "late", 51, 4), nullptr);
  ASSERT_EQ(zvdbAlterTable(o.table, 3), 0);
  EXPECT_EQ(zvdbGetTableFieldCount(o.table), kPeopleFields + 1);
  ASSERT_EQ(zvdbAbort(o.table), 0);
  EXPECT_EQ(zvdbGetTableFieldCount(o.table), kPeopleFields);
  EXPECT_EQ(zvdbGetFieldNumber(o.table, "late"), -1);
  add(s, o.record, {{kName, "written after"}});
  EXPECT_EQ(sqlite("SELECT name FROM people ORDER BY id"), "kept\nwritten after");
  zvdbFreeTable(o.table);
}
