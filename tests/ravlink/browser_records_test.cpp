// The record grid's calls: values in the text forms the grid shows and
// sends back, the cursor's orders and record positions, rewrites of the
// fields set, record locks and transactions between sessions, and blobs.
#include "browser_fixture.h"

#include <chrono>
#include <cstring>

using namespace browsertest;

namespace {

// The value of a field as the grid renders it, by its type.
std::string rendered(RLHANDLE record, int field) {
  char buffer[128] = "";
  switch (field) {
    case kAt: {
      int32_t ms = -1;
      if (zvdbGetFieldAsTime(record, field, &ms) != 0) return "<error>";
      zvdbTimeToString(ms, 8, buffer, 32);
      return buffer;
    }
    case kAtMs: {
      int32_t ms = -1;
      if (zvdbGetFieldAsTimeMsec(record, field, &ms) != 0) return "<error>";
      zvdbTimeMsecToString(ms, 11, buffer, 32);
      return buffer;
    }
    case kSeen:
    case kSeenMs: {
      ZvdbDateTime dt{};
      if (zvdbGetFieldAsDateTime(record, field, &dt) != 0) return "<error>";
      zvdbDateTimeToString(&dt, 1, field == kSeen ? 8 : 11, buffer, 64);
      return buffer;
    }
    case kAmount: {
      ZvdbNumber n{};
      if (zvdbGetFieldAsNumber(record, field, &n) != 0) return "<error>";
      EXPECT_EQ(zvdbNumberToString(&n, buffer, 16), 0);
      return buffer;
    }
    case kScore: {
      double d = 0;
      if (zvdbGetFieldAsFloat(record, field, &d) != 0) return "<error>";
      return std::to_string(d);
    }
    case kCash: {
      ZvdbMoney m = 0;
      if (zvdbGetFieldAsMoney(record, field, &m) != 0) return "<error>";
      return std::to_string(zvdbMoneyToFloat(m));
    }
    case kDoc: {
      char json[256] = "garbage";
      int rc = zvdbGetFieldAsJSON(record, field, json, sizeof json, 10);
      return rc == 0 ? json : "<error>";
    }
    default: {
      int32_t length = zvdbGetFieldDataLength(record, field);
      std::vector<char> text(size_t(length) + 16);
      if (zvdbGetFieldAsString(record, field, text.data(), int32_t(text.size())) != 0) return "<error>";
      return text.data();
    }
  }
}

}  // namespace

TEST_F(BrowserTest, ValuesGoBackThroughTheTextsTheGridShows) {
  RLHANDLE s = logon();
  ASSERT_EQ(zvdbSetDefTimeType(s, 10), 0);
  RLHANDLE db = database(s);
  createPeople(db);
  auto o = open(db);
  struct Case {
    int field;
    const char* sent;
    const char* shown;
  } cases[] = {
      {kName, "Ada Lovelace", "Ada Lovelace"},
      {kBorn, "12/10/1815", "12/10/1815"},
      {kSeen, "12/31/2024 23:59:58", "12/31/2024 23:59:58"},
      {kSeenMs, "01/02/2025 03:04:05.678", "01/02/2025 03:04:05.678"},
      {kAt, "13:45:30", "13:45:30"},
      {kAtMs, "13:45:30.250", "13:45:30.250"},
      {kScore, "2.5", "2.500000"},
      {kCash, "12.3456", "12.345600"},
      {kAmount, "1234.5", "1234.50"},
      {kFlag, "1", "1"},
      {kDoc, "{\"a\":[1,2]}", "{\"a\":[1,2]}"},
  };
  std::vector<std::pair<int, std::string>> values;
  for (const Case& c : cases) values.push_back({c.field, c.sent});
  int64_t first = add(s, o.record, values);
  ASSERT_EQ(zvdbSeekRecord(o.record, first), 0);
  std::vector<std::pair<int, std::string>> shown;
  for (const Case& c : cases) {
    EXPECT_EQ(rendered(o.record, c.field), c.shown) << "field " << c.field;
    shown.push_back({c.field, rendered(o.record, c.field)});
  }
  // What the grid shows is accepted back as the same value.
  shown[0].second = "Ada Byron";
  int64_t second = add(s, o.record, shown);
  ASSERT_EQ(zvdbSeekRecord(o.record, second), 0);
  for (size_t i = 1; i < std::size(cases); ++i) EXPECT_EQ(rendered(o.record, cases[i].field), cases[i].shown);
  // Fields never set are null; a cleared field becomes null.
  EXPECT_EQ(zvdbIsNullField(o.record, kPhoto), 1);
  EXPECT_EQ(zvdbIsNullField(o.record, kBorn), 0);
  EXPECT_EQ(zvdbClearField(o.record, kBorn), 0);
  EXPECT_EQ(zvdbWriteRecord(o.record), 0);
  ASSERT_EQ(zvdbSeekRecord(o.record, second), 0);
  EXPECT_EQ(zvdbIsNullField(o.record, kBorn), 1);
  // A value that does not convert is refused and the field keeps no half value.
  EXPECT_EQ(zvdbSetFieldAsString(o.record, kBorn, "31/31/2024"), RL_BAD_VALUE);
  EXPECT_EQ(zvdbSetFieldAsString(o.record, kName, std::string(201, 'x').c_str()), RL_VALUE_TOO_LONG);
  // The sqlite3 shell sees ordinary values.
  EXPECT_EQ(sqlite("SELECT name, amount FROM people ORDER BY id"), "Ada Lovelace|1234.5\nAda Byron|1234.5");
  zvdbFreeTable(o.table);
}

TEST_F(BrowserTest, TheGridPagesInEveryOrderAndFindsRecordsAgainByPosition) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);
  auto o = open(db);
  std::vector<int64_t> positions;
  for (int i = 0; i < 25; ++i) {
    char name[16];
    snprintf(name, sizeof name, "p%02d", 24 - i);  // names in reverse order of insertion
    positions.push_back(add(s, o.record, {{kName, name}, {kScore, std::to_string(i % 5)}}));
  }
  int64_t count = 0;
  EXPECT_EQ(zvdbGetRecordCount(o.record, &count), 0);
  EXPECT_EQ(count, 25);
  EXPECT_EQ(zvdbHasRowid(o.table), 1);
  EXPECT_EQ(zvdbHasRecbyt(o.table), 1);

  struct Page {
    int index;
    int64_t start;
    int code;
    const char* firstName;
  } pages[] = {
      {RL_BR_ORDER_PHYSICAL, 0, 0, "p24"},
      {RL_BR_ORDER_ROWID, 10, 0, "p14"},
      {0, 0, 0, "p00"},  // by name
      {0, 24, 0, "p24"},
      {0, 25, RL_NOT_FOUND, nullptr},
      {0, -1, RL_BR_BAD_POSITION, nullptr},
      {7, 0, RL_UNKNOWN_INDEX, nullptr},
  };
  for (const Page& p : pages) {
    RLHANDLE r = zvdbAllocRecord(o.table);
    int rc = zvdbSetDefaultIndex(r, p.index);
    if (rc == 0) rc = zvdbFirstRecord(r);
    if (rc == 0) rc = zvdbJumpToRecord(r, p.start);
    EXPECT_EQ(rc, p.code) << p.index << " " << p.start;
    if (p.firstName) EXPECT_EQ(text(r, kName), p.firstName);
    zvdbFreeRecord(r);
  }
  // The score index is descending, with duplicates: a page of it walks on with Next.
  RLHANDLE r = zvdbAllocRecord(o.table);
  ASSERT_EQ(zvdbSetDefaultIndex(r, 1), 0);
  std::string scores;
  for (int rc = zvdbFirstRecord(r); rc == 0; rc = zvdbNextRecord(r)) scores += text(r, kScore).substr(0, 1);
  EXPECT_EQ(scores, "4444433333222221111100000");

  // A position read in one request finds the same record from a new handle later.
  RLHANDLE later = zvdbAllocTable(db);
  ASSERT_EQ(zvdbOpenTable(later, "people", 32), 0);
  RLHANDLE seek = zvdbAllocRecord(later);
  ASSERT_EQ(zvdbSeekRecord(seek, positions[3]), 0);
  EXPECT_EQ(text(seek, kName), "p21");
  int64_t rowid = 0;
  EXPECT_EQ(zvdbGetRowid(seek, &rowid), 0);
  EXPECT_EQ(rowid, positions[3]);
  // A deleted record's position names no other record, also after more are added.
  ASSERT_EQ(zvdbSeekRecord(o.record, positions[3]), 0);
  ASSERT_EQ(zvdbBegin(s), 0);
  ASSERT_EQ(zvdbLockRecord(o.record, 3), 0);
  ASSERT_EQ(zvdbDeleteRecord(o.record), 0);
  EXPECT_EQ(zvdbUnlockRecord(o.record), 0);  // unlocking a just-deleted record succeeds
  ASSERT_EQ(zvdbCommit(s), 0);
  add(s, o.record, {{kName, "newcomer"}});
  EXPECT_EQ(zvdbSeekRecord(seek, positions[3]), RL_BR_BAD_POSITION);
  zvdbFreeTable(later);
  zvdbFreeTable(o.table);
}

TEST_F(BrowserTest, ARewriteStoresOnlyTheFieldsSetSinceTheRecordWasRead) {
  RLHANDLE a = logon(), b = logon();
  RLHANDLE dbA = database(a), dbB = database(b);
  createPeople(dbA);
  auto oa = open(dbA), ob = open(dbB);
  int64_t pos = add(a, oa.record, {{kName, "first"}, {kScore, "1"}});
  ASSERT_EQ(zvdbSeekRecord(oa.record, pos), 0);
  ASSERT_EQ(zvdbSeekRecord(ob.record, pos), 0);
  ASSERT_EQ(zvdbSetFieldAsString(ob.record, kScore, "9"), 0);
  ASSERT_EQ(zvdbWriteRecord(ob.record), 0);
  ASSERT_EQ(zvdbSetFieldAsString(oa.record, kName, "renamed"), 0);
  ASSERT_EQ(zvdbWriteRecord(oa.record), 0);
  EXPECT_EQ(sqlite("SELECT name, score FROM people"), "renamed|9.0");
  // Rewriting a record unchanged succeeds.
  ASSERT_EQ(zvdbSeekRecord(oa.record, pos), 0);
  EXPECT_EQ(zvdbWriteRecord(oa.record), 0);
  // A duplicate unique key is refused and the record keeps its value.
  add(a, oa.record, {{kName, "second"}});
  ASSERT_EQ(zvdbSeekRecord(oa.record, pos), 0);
  ASSERT_EQ(zvdbSetFieldAsString(oa.record, kName, "second"), 0);
  EXPECT_EQ(zvdbWriteRecord(oa.record), RL_DUPLICATE_KEY);
  EXPECT_EQ(sqlite("SELECT name FROM people ORDER BY id"), "renamed\nsecond");
  zvdbFreeTable(oa.table);
  zvdbFreeTable(ob.table);
}

TEST_F(BrowserTest, ALockedRecordIsRefusedAtOnceAndThePendingWriteStaysHidden) {
  RLHANDLE a = logon(), b = logon();
  RLHANDLE dbA = database(a), dbB = database(b);
  createPeople(dbA);
  auto oa = open(dbA), ob = open(dbB);
  int64_t pos = add(a, oa.record, {{kName, "before"}});

  // a: the update sequence of the grid, stopped before its commit.
  ASSERT_EQ(zvdbSeekRecord(oa.record, pos), 0);
  ASSERT_EQ(zvdbSetFieldAsString(oa.record, kName, "after"), 0);
  ASSERT_EQ(zvdbBegin(a), 0);
  ASSERT_EQ(zvdbGetRecordLock(oa.record), 0);  // a's own lock is not "locked" for a
  ASSERT_EQ(zvdbLockRecord(oa.record, 3), 0);
  ASSERT_EQ(zvdbSeekRecord(ob.record, pos), 0);
  EXPECT_EQ(zvdbGetRecordLock(ob.record), 1);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(zvdbLockRecord(ob.record, 3), RL_BR_LOCKED);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));  // no wait for the holder
  ASSERT_EQ(zvdbWriteRecord(oa.record), 0);
  ASSERT_EQ(zvdbLockRecord(oa.record, 0), 0);
  EXPECT_EQ(zvdbGetRecordLock(ob.record), 0);
  // The write is a's until it commits.
  ASSERT_EQ(zvdbSeekRecord(ob.record, pos), 0);
  EXPECT_EQ(text(ob.record, kName), "before");
  ASSERT_EQ(zvdbCommit(a), 0);
  ASSERT_EQ(zvdbSeekRecord(ob.record, pos), 0);
  EXPECT_EQ(text(ob.record, kName), "after");

  // An aborted update leaves the record as it was; so does an abort with nothing begun.
  ASSERT_EQ(zvdbSeekRecord(oa.record, pos), 0);
  ASSERT_EQ(zvdbSetFieldAsString(oa.record, kName, "aborted"), 0);
  ASSERT_EQ(zvdbBegin(a), 0);
  ASSERT_EQ(zvdbWriteRecord(oa.record), 0);
  ASSERT_EQ(zvdbAbort(a), 0);
  EXPECT_EQ(zvdbAbort(a), 0);
  EXPECT_EQ(zvdbCommit(a), 0);
  EXPECT_EQ(sqlite("SELECT name FROM people"), "after");
  // A lock does not outlive its logon.
  ASSERT_EQ(zvdbSeekRecord(oa.record, pos), 0);
  ASSERT_EQ(zvdbLockRecord(oa.record, 3), 0);
  EXPECT_EQ(zvdbLockRecord(ob.record, 3), RL_BR_LOCKED);
  ASSERT_EQ(zvdbLogout(a), 0);
  EXPECT_EQ(zvdbLockRecord(ob.record, 3), 0);
  EXPECT_EQ(zvdbLockRecord(ob.record, 7), RL_BAD_ARGUMENT);
  zvdbFreeTable(oa.table);
  zvdbFreeTable(ob.table);
}

TEST_F(BrowserTest, BlobsCarryTheirBytesAndBadHexChangesNothing) {
  RLHANDLE s = logon();
  RLHANDLE db = database(s);
  createPeople(db);
  auto o = open(db);
  int64_t pos = add(s, o.record, {{kName, "pic"}});

  ZvdbBlob* blob = zvdbBlobAlloc(16);
  ASSERT_NE(blob, nullptr);
  struct Case {
    const char* hex;
    int code;
    std::string bytes;
  } cases[] = {
      {"00FFa07F", 0, std::string("\x00\xff\xa0\x7f", 4)},
      {"ABC", RL_BR_BAD_HEX, std::string("\x00\xff\xa0\x7f", 4)},   // odd length
      {"zz00", RL_BR_BAD_HEX, std::string("\x00\xff\xa0\x7f", 4)},  // not hexadecimal
      {"0x", RL_BR_BAD_HEX, std::string("\x00\xff\xa0\x7f", 4)},
      {"", 0, std::string()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rlBlobSetHex(blob, c.hex), c.code) << c.hex;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(zvdbBlobGetData(blob)), size_t(zvdbBlobGetSize(blob))), c.bytes)
        << c.hex;
  }
  EXPECT_EQ(zvdbBlobSet(blob, "x", -1), RL_BAD_ARGUMENT);
  EXPECT_EQ(zvdbBlobAlloc(-1), nullptr);

  // 5000 bytes with NULs, set through a blob and read back whole.
  std::string bytes(5000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7);
  ASSERT_EQ(zvdbBlobSet(blob, bytes.data(), int32_t(bytes.size())), 0);
  ASSERT_EQ(zvdbSeekRecord(o.record, pos), 0);
  ASSERT_EQ(zvdbSetFieldAsBlob(o.record, kPhoto, blob), 0);
  ASSERT_EQ(zvdbBegin(s), 0);
  ASSERT_EQ(zvdbLockRecord(o.record, 3), 0);
  ASSERT_EQ(zvdbWriteRecord(o.record), 0);
  ASSERT_EQ(zvdbLockRecord(o.record, 0), 0);
  ASSERT_EQ(zvdbCommit(s), 0);
  zvdbBlobFree(blob);

  ASSERT_EQ(zvdbSeekRecord(o.record, pos), 0);
  int32_t length = zvdbGetFieldDataLength(o.record, kPhoto);
  EXPECT_EQ(length, 5000);
  ZvdbBlob* read = zvdbBlobAlloc(length + 16);
  ASSERT_EQ(zvdbGetFieldAsBlob(o.record, kPhoto, read), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(zvdbBlobGetData(read)), size_t(zvdbBlobGetSize(read))), bytes);
  EXPECT_EQ(zvdbGetFieldAsBlob(o.record, kPeopleFields, read), RL_UNKNOWN_FIELD);
  zvdbBlobFree(read);
  EXPECT_EQ(sqlite("SELECT length(photo), hex(substr(photo, 1, 3)) FROM people"), "5000|00070E");
  zvdbFreeTable(o.table);
}
