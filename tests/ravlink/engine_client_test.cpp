// The client functions over handles and the class methods beside them:
// catalogue walks, definitions changed by position, reading limited by a
// filter, a record set or a range, renames and copies.
#include "engine_fixture.h"

#include <cstring>
#include <vector>

using namespace enginetest;

namespace {

std::vector<std::string> readNames(ZVRecord& r, bool first = true) {
  std::vector<std::string> names;
  for (int found = first ? r.First() : r.Next(); found; found = r.Next()) names.push_back(r.GetFieldAsString("name"));
  return names;
}

}  // namespace

TEST_F(EngineTest, CatalogueWalksAndDeletions) {
  RLHANDLE s = rlAllocSession(2);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(rlLogon(s, "SRV", "ADMIN", "wrong"), RL_WRONG_PASSWORD);
  EXPECT_EQ(rlLogon(s, "SRV", "ADMIN", "TRUVE"), 0);
  EXPECT_EQ(zvdbIsActiveSession(s), 1);
  char name[8], path[255];
  EXPECT_EQ(rlFirstDatabase(s, name, sizeof name, path, sizeof path), RL_NOT_FOUND);
  ASSERT_EQ(rlCreateDatabase(s, "beta", 0), 0);
  ASSERT_EQ(rlCreateDatabase(s, "alpha", 0), 0);
  ASSERT_EQ(rlCreateDatabase(s, "averylongname", 0), 0);
  std::vector<std::string> seen;
  int rc;
  for (rc = rlFirstDatabase(s, name, sizeof name, path, sizeof path); rc == 0;
       rc = rlNextDatabase(s, name, sizeof name, path, sizeof path))
    seen.push_back(name);
  EXPECT_EQ(seen, (std::vector<std::string>{"alpha"}));
  EXPECT_EQ(rc, RL_VALUE_TOO_LONG);  // never written past the buffer
  ASSERT_EQ(rlDeleteDatabase(s, "alpha"), 0);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/SRV/alpha.db"));
  EXPECT_EQ(rlDeleteDatabase(s, "alpha"), RL_NOT_FOUND);
  EXPECT_EQ(rlCommitTransaction(s), RL_NO_TRANSACTION);
  EXPECT_EQ(rlLogout(s), 0);
  EXPECT_EQ(zvdbIsActiveSession(s), 0);
  rlFreeSession(s);

  auto c = connect();
  createItems(c.database.get());
  createItems(c.database.get(), "other");
  RLHANDLE db = c.database->GetHandle();
  char table[128];
  seen.clear();
  for (rc = rlFirstTable(db, table, sizeof table, path, sizeof path); rc == 0;
       rc = rlNextTable(db, table, sizeof table, path, sizeof path))
    seen.push_back(table);
  EXPECT_EQ(seen, (std::vector<std::string>{"items", "other"}));
  EXPECT_EQ(rlDeleteTable(db, "other", 0), 0);
  EXPECT_EQ(rlDeleteTable(db, "other", 0), RL_NO_TABLE);
  EXPECT_EQ(shell(dbFile(), "select count(*) from sqlite_master where tbl_name='other'"), "0");
  EXPECT_EQ(shell(dbFile(), "select count(*) from rl_fields where tbl='other'"), "0");
  RLHANDLE t = rlAllocTable(db);
  EXPECT_EQ(rlOpenTable(t, "other", 0), RL_NO_TABLE);
  EXPECT_EQ(rlOpenTable(t, "x'; drop table items; --", 0), RL_BAD_NAME);
  rlFreeTable(t);
}

TEST_F(EngineTest, FieldsMovedInsertedAndDeletedKeepTheirValues) {
  auto c = connect();
  createItems(c.database.get());
  {
    ZVTable t(c.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    insertItem(r, "a", 1);
    insertItem(r, "b", 2);
  }
  RLHANDLE t = rlAllocTable(c.database->GetHandle());
  ASSERT_EQ(rlOpenTable(t, "items", 0), 0);
  ASSERT_EQ(rlMoveField(rlGetFieldByName(t, "qty"), 0), 0);
  ASSERT_NE(rlInsertField(t, 1, "note", 162, 22), nullptr);
  ASSERT_EQ(rlDeleteField(t, rlGetFieldNumberByName(t, "ts")), 0);
  EXPECT_EQ(rlGetFieldByName(t, "ts"), nullptr);
  EXPECT_EQ(rlGetError(t), RL_UNKNOWN_FIELD);
  ASSERT_EQ(rlAlterTable(t, 0), 0);
  rlFreeTable(t);
  EXPECT_EQ(shell(dbFile(), "select qty, note is null, id, name from items order by qty"), "1|1|1|a\n2|1|2|b");
  // A renamed field keeps its values; the unique index on name still holds.
  ZVTable table(c.database.get());
  table.Open("items", 1);
  table.GetField("name")->SetName("label");
  table.Alter(0);
  EXPECT_EQ(shell(dbFile(), "select label from items order by id"), "a\nb");
  ZVRecord r(&table);
  r.Clear();
  r.SetFieldAsString("label", "a");
  EXPECT_EQ(codeOf([&] { r.Write(); }), RL_DUPLICATE_KEY);
}

TEST_F(EngineTest, FiltersSetsAndRangesLimitEveryMove) {
  createItems(connect().database.get());
  auto o = openItemsByQty();
  ZVRecord& r = *o.record;
  const char* names[] = {"n0", "n1", "n2", "n3", "n4", "n5", "n6"};
  for (int i = 0; i < 7; ++i) insertItem(r, names[i], i % 3);
  RLHANDLE h = r.GetHandle();
  // qty order, then record order: n0 n3 n6 (0), n1 n4 (1), n2 n5 (2).
  ASSERT_EQ(rlSetRecordFilter(h, "name <> 'n3' AND (qty = 0 OR name = 'n5')", 1), 0);
  EXPECT_EQ(readNames(r), (std::vector<std::string>{"n0", "n6", "n5"}));
  EXPECT_EQ(rlSetRecordFilter(h, "name = 'x' OR 1 = 1", 1), RL_BAD_FILTER);
  EXPECT_EQ(rlSetRecordFilter(h, "nosuch = 1", 1), RL_BAD_FILTER);
  ASSERT_EQ(rlSetRecordFilter(h, nullptr, 0), 0);
  // A record set: keys beginning with the key of qty 1.
  r.Clear();
  r.SetFieldAsSigned("qty", 1);
  r.RecordSetOn(8);
  EXPECT_EQ(readNames(r), (std::vector<std::string>{"n1", "n4"}));
  EXPECT_EQ(rlLastRecord(h), 0);
  EXPECT_EQ(r.GetFieldAsString("name"), "n4");
  ASSERT_EQ(rlClearRecordSet(h), 0);
  // Ranges: between 1 included and 2 excluded; then greater than 0.
  int length = rlGetIndexKeyLength(o.table->GetIndex("items_qty")->GetHandle());
  ASSERT_EQ(length, 8);
  std::vector<char> lower(8), upper(8);
  r.Clear();
  r.SetFieldAsSigned("qty", 1);
  r.BuildTargetKey(0, lower.data(), length);
  RLHANDLE high = rlAllocRecord(h);
  rlClearRecord(high);
  ASSERT_EQ(rlSetFieldAsInt64(high, rlGetFieldNumberByName(high, "qty"), 2), 0);
  ASSERT_EQ(rlBuildTargetKey(high, upper.data(), length), 0);
  int between[] = {RL_RANGE_BETWEEN_EXCL_UP};
  r.RangeOn(1, lower.data(), upper.data(), between);
  EXPECT_EQ(readNames(r), (std::vector<std::string>{"n1", "n4"}));
  int greater[] = {RL_RANGE_GT};
  ASSERT_EQ(rlSetRecordRange(h, 1, lower.data(), nullptr, greater), 0);
  EXPECT_EQ(readNames(r), (std::vector<std::string>{"n2", "n5"}));
  EXPECT_EQ(rlSkipRecords(h, -1), 0);  // back from n5 to n2, inside the range
  EXPECT_EQ(r.GetFieldAsString("name"), "n2");
  EXPECT_EQ(rlPrevRecord(h), RL_NOT_FOUND);
  int bad[] = {5};
  EXPECT_EQ(rlSetRecordRange(h, 1, lower.data(), nullptr, bad), RL_BAD_ARGUMENT);
  ASSERT_EQ(rlClearRecordRange(h), 0);
  EXPECT_EQ(readNames(r).size(), 7u);
  rlFreeRecord(high);
}

TEST_F(EngineTest, ValuesByNumberAndTextForms) {
  createItems(connect().database.get());
  auto o = openItemsByQty();
  ZVRecord& r = *o.record;
  r.Clear();
  int qty = r.GetFieldByName("qty");
  EXPECT_EQ(r.GetFieldType(qty), 51);
  r.SetFieldAsString(r.GetFieldByName("name"), "x");
  r.SetFieldAsShort(qty, int16_t(-7));
  r.Write();
  int64_t id = 0;
  ASSERT_EQ(rlGetRecordId(r.GetHandle(), &id), 0);
  ASSERT_EQ(rlFindRecordById(r.GetHandle(), id, 0), 0);
  EXPECT_EQ(r.GetFieldAsShort(qty), -7);
  char small[2];
  EXPECT_EQ(rlGetFieldAsText(r.GetHandle(), r.GetFieldByName("ts"), small, sizeof small), RL_VALUE_TOO_LONG);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(rlFindRecordById(r.GetHandle(), id + 100, 0), RL_NOT_FOUND);
  int32_t day = -1, ms = -1;
  EXPECT_EQ(rlStringToDate("2024-02-29", 5, &day), 0);
  EXPECT_EQ(ZVDate(day).DateToString(5), "20240229");
  EXPECT_EQ(rlStringToTime("12:30:15", 3, &ms), 0);
  EXPECT_EQ(ms, (12 * 3600 + 30 * 60 + 15) * 1000);
  EXPECT_NE(rlStringToDate("not a date", 5, &day), 0);
  EXPECT_EQ(day, 0);
  EXPECT_EQ(ZVBigint(int64_t(9007199254740993)).AsString(), "9007199254740993");
  EXPECT_EQ(ZVMoney(12).AsString(), "12.0000");
  o.table->Begin();
  o.table->Truncate();
  o.table->Commit();
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "0");
}

TEST_F(EngineTest, RenamedTablesAndCopiedObjects) {
  auto c = connect();
  createItems(c.database.get());
  ZVDatabase copy(*c.database);
  copy.RenameTable("items", "goods");
  EXPECT_EQ(codeOf([&] { copy.RenameTable("items", "x"); }), RL_NO_TABLE);
  ZVTable t(&copy);
  t.Open("goods", 0);
  ZVIndex byName(*t.GetIndex("items_name"));
  EXPECT_EQ(byName.GetSegmentCount(), 1);
  EXPECT_STREQ(byName.GetSegment(0)->GetFieldName(), "name");
  EXPECT_EQ(byName.GetKeyLength(), 64);
  EXPECT_EQ(shell(dbFile(), "select count(*) from sqlite_master where type='index' and tbl_name='goods'"), "2");
  EXPECT_EQ(codeOf([&] { copy.DropTable("goods"); }), RL_BAD_ARGUMENT);
  EXPECT_EQ(t.GetPartitionIndexNbr(), -1);
  ZVString path;
  EXPECT_TRUE(c.session->FindDatabase("testdb", &path));
  EXPECT_EQ(path.str(), dbFile());
  c.session->DisconnectAll();
  EXPECT_EQ(codeOf([&] { t.Open("goods", 0); }), RL_NOT_OPEN);
}

// A handle outlives its object: once the object is freed, the handle (and
// any handle never handed out) finds nothing, even when a new object takes
// the freed one's place.
TEST_F(EngineTest, StaleAndForgedHandlesFindNoObject) {
  auto c = connect();
  createItems(c.database.get());
  RLHANDLE db = c.database->GetHandle();
  RLHANDLE gone = rlAllocTable(db);
  ASSERT_EQ(rlOpenTable(gone, "items", 0), 0);
  rlFreeTable(gone);
  RLHANDLE table = rlAllocTable(db);
  ASSERT_EQ(rlOpenTable(table, "items", 0), 0);
  EXPECT_NE(table, gone);
  EXPECT_EQ(zvdbIsActiveTable(table), 1);
  EXPECT_EQ(zvdbIsActiveTable(gone), 0);
  EXPECT_EQ(rlOpenTable(gone, "items", 0), RL_BAD_HANDLE);
  rlFreeTable(gone);  // freeing it again leaves the live table alone
  EXPECT_EQ(zvdbIsActiveTable(table), 1);

  auto word = reinterpret_cast<uintptr_t>(table);
  char name[128], path[255];
  for (RLHANDLE forged : {reinterpret_cast<RLHANDLE>(word ^ (uintptr_t(1) << 40)),
                          reinterpret_cast<RLHANDLE>(word + 1), reinterpret_cast<RLHANDLE>(c.database.get())}) {
    EXPECT_EQ(rlOpenTable(forged, "items", 0), RL_BAD_HANDLE);
    EXPECT_EQ(rlFirstTable(forged, name, sizeof name, path, sizeof path), RL_BAD_HANDLE);
  }
  rlFreeTable(table);
}
