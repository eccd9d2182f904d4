// The table browser's calls driven as the browser drives them: sessions
// logged on with the exported names, a "people" table holding one field of
// each kind the record grid shows, and records added in a transaction.
#pragma once

#include "browser.h"
#include "engine_fixture.h"

#include <string>
#include <utility>
#include <vector>

namespace browsertest {

// Fields of "people", by number.
enum PeopleField {
  kId,      // 51, identity
  kName,    // 146/200, unique index "people_name"
  kBorn,    // 75 date
  kSeen,    // 124 date and time
  kAt,      // 83 time
  kAtMs,    // 258 time with milliseconds
  kSeenMs,  // 257 date and time with milliseconds
  kScore,   // 103 float, duplicate index "people_score"
  kCash,    // 67 money
  kAmount,  // 105 number, scale 2
  kFlag,    // 8 bool
  kPhoto,   // 170 bytes
  kDoc,     // 259 JSON
  kPeopleFields
};

class BrowserTest : public enginetest::EngineTest {
 protected:
  void TearDown() override {
    for (RLHANDLE d : databases_) zvdbFreeDatabase(d);
    for (RLHANDLE s : sessions_) zvdbFreeSession(s);
    zvdbSetQuarnOWNER(-1);
    EngineTest::TearDown();
  }

  RLHANDLE logon() {
    RLHANDLE s = zvdbAllocSession(2);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(zvdbLogon(s, "SRV", "ADMIN", "TRUVE"), 0);
    sessions_.push_back(s);
    return s;
  }

  // A database handle of session s connected to `name` (created when missing).
  RLHANDLE database(RLHANDLE s, const char* name = "testdb") {
    char found[256], path[256];
    bool known = false;
    for (int rc = zvdbFirstDatabase(s, found, 128, path, 128); rc == 0; rc = zvdbNextDatabase(s, found, 255, path, 255))
      known = known || std::string(found) == name;
    if (!known) EXPECT_EQ(zvdbCreateDatabase(s, name, ""), 0);
    RLHANDLE d = zvdbAllocDatabase(s);
    EXPECT_EQ(zvdbConnect(d, name), 0);
    databases_.push_back(d);
    return d;
  }

  void createPeople(RLHANDLE db, const char* name = "people") {
    RLHANDLE t = zvdbAllocTable(db);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(zvdbBegin(t), 0);
    const std::pair<const char*, int> fields[kPeopleFields] = {
        {"id", 51},     {"name", 146}, {"born", 75},    {"seen", 124}, {"at", 83},     {"atms", 258}, {"seenms", 257},
        {"score", 103}, {"cash", 67},  {"amount", 105}, {"flag", 8},   {"photo", 170}, {"doc", 259}};
    for (const auto& [field, type] : fields) {
      RLHANDLE f = zvdbAddField(t, field, type, type == 146 ? 200 : 0);
      ASSERT_NE(f, nullptr) << field;
      EXPECT_EQ(zvdbSetFieldBinaryFlag(f, type == 146 ? 4 : 0), 0);
      if (type == 105) {
        EXPECT_EQ(zvdbSetFieldScale(f, 2), 0);
        EXPECT_EQ(zvdbSetFieldPrecision(f, 12), 0);
      }
    }
    EXPECT_EQ(zvdbSetIdentityField(t, "id", 1, 1), 0);
    RLHANDLE byName = zvdbAddIndex(t, "people_name", 0, 0, 0);
    ASSERT_NE(byName, nullptr);
    ASSERT_NE(zvdbAddSegment(byName, zvdbGetFieldByName(t, "name"), 12), nullptr);
    RLHANDLE byScore = zvdbAddIndex(t, "people_score", 0, 1, 1);
    ASSERT_NE(byScore, nullptr);
    ASSERT_NE(zvdbAddSegment(byScore, zvdbGetFieldByName(t, "score"), 12 | 16), nullptr);
    EXPECT_EQ(zvdbCreateTable(t, name, 2), 0);
    EXPECT_EQ(zvdbCommit(t), 0);
    zvdbFreeTable(t);
  }

  // An open table handle and a record on it.
  struct Opened {
    RLHANDLE table = nullptr, record = nullptr;
  };
  Opened open(RLHANDLE db, const char* name = "people", int mode = 0, int index = RL_BR_ORDER_ROWID) {
    Opened o;
    o.table = zvdbAllocTable(db);
    EXPECT_EQ(zvdbOpenTable(o.table, name, mode), 0);
    o.record = zvdbAllocRecord(o.table);
    EXPECT_NE(o.record, nullptr);
    EXPECT_EQ(zvdbSetDefaultIndex(o.record, index), 0);
    return o;
  }

  // Adds a record as the grid's "create" does: values as texts, in the session's transaction.
  int64_t add(RLHANDLE session, RLHANDLE record, const std::vector<std::pair<int, std::string>>& values) {
    EXPECT_EQ(zvdbClearRecord(record), 0);
    EXPECT_EQ(zvdbSetEditedRecord(record, 1), 0);
    for (const auto& [field, text] : values) EXPECT_EQ(zvdbSetFieldAsString(record, field, text.c_str()), 0) << text;
    EXPECT_EQ(zvdbBegin(session), 0);
    EXPECT_EQ(zvdbWriteRecord(record), 0);
    EXPECT_EQ(zvdbCommit(session), 0);
    int64_t pos = -1;
    EXPECT_EQ(zvdbGetRecordPos(record, &pos), 0);
    return pos;
  }

  std::string text(RLHANDLE record, int field) {
    char buffer[1024] = "?";
    EXPECT_EQ(zvdbGetFieldAsString(record, field, buffer, sizeof buffer), 0);
    return buffer;
  }

  std::string sqlite(const std::string& sql, const char* db = "testdb") { return enginetest::shell(dbFile(db), sql); }

  std::vector<RLHANDLE> sessions_, databases_;
};

}  // namespace browsertest
