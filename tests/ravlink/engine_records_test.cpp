// Records: writes, positioning, walks, batches, transactions and values.
#include "engine_fixture.h"

#include <unistd.h>

#include <cstring>
#include <tuple>
#include <vector>

using namespace enginetest;

namespace {

class RecordTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    c_ = connect();
    createItems(c_.database.get());
    table_ = std::make_unique<ZVTable>(c_.database.get());
    table_->Open("items", 0);
    rec_ = std::make_unique<ZVRecord>(table_.get());
  }
  void TearDown() override {
    rec_.reset();
    table_.reset();
    c_ = Connected();
    EngineTest::TearDown();
  }
  std::vector<std::string> walk(ZVRecord& r, bool forward) {
    std::vector<std::string> out;
    for (int ok = forward ? r.First() : r.Last(); ok; ok = forward ? r.Next() : r.Prev())
      out.push_back(r.GetFieldAsString("name"));
    return out;
  }
  Connected c_;
  std::unique_ptr<ZVTable> table_;
  std::unique_ptr<ZVRecord> rec_;
};

}  // namespace

TEST_F(RecordTest, WriteInsertsThenUpdatesTheRowItIsOn) {
  ZVRecord& r = *rec_;
  insertItem(r, "apple", 5);
  int64_t id = r.GetRowid();
  EXPECT_EQ(r.GetFieldAsSigned("id"), id);  // the identity is the record id
  int64_t identity = 0;
  EXPECT_EQ(rlGetIdentityValue(r.GetHandle(), &identity), 0);
  EXPECT_EQ(identity, id);
  ZVDateTime created = r.GetFieldAsDateTime("ts");
  EXPECT_NE(created.GetDate(), 0);
  r.Read();
  EXPECT_EQ(r.GetFieldAsString("name"), "apple");
  r.SetFieldAsSigned("qty", 6);
  r.Write();  // positioned on the new row: an update
  EXPECT_EQ(r.GetRowid(), id);
  r.SetNew(1);
  r.SetFieldAsString("name", "pear");
  r.Write();
  EXPECT_EQ(r.GetRowid(), id + 1);
  EXPECT_EQ(shell(dbFile(), "select id, name, qty from items order by id"), "1|apple|6\n2|pear|");
  EXPECT_EQ(shell(dbFile(), "select count(*) from items where ts like '____-__-__ __:__:__.___'"), "2");
  // A second row with the same unique name is refused with 2 and changes nothing.
  r.Clear();
  r.SetFieldAsString("name", "apple");
  EXPECT_EQ(codeOf([&] { r.Write(); }), RL_DUPLICATE_KEY);
  EXPECT_EQ(r.GetError(), RL_DUPLICATE_KEY);
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "2");
  // Delete the current row; without one Delete fails.
  ASSERT_TRUE(r.FindRowid(1, RL_FIND_EQ));
  r.Delete();
  EXPECT_EQ(codeOf([&] { r.Delete(); }), RL_NO_CURRENT_RECORD);
  EXPECT_EQ(shell(dbFile(), "select group_concat(id) from items"), "2");
}

TEST_F(RecordTest, AutoTimestampIsSetOnInsertOnly) {
  ZVRecord& r = *rec_;
  insertItem(r, "apple", 1);
  std::string before = shell(dbFile(), "select ts from items");
  usleep(20000);
  r.SetFieldAsSigned("qty", 2);
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select ts from items"), before);
}

TEST_F(RecordTest, RecordIdsAreNeverReused) {
  ZVRecord& r = *rec_;
  for (const char* n : {"a", "b", "c"}) insertItem(r, n, 1);
  r.Delete();  // the newest row
  insertItem(r, "d", 1);
  EXPECT_EQ(r.GetRowid(), 4);
  ASSERT_TRUE(r.First());
  while (r.GetRowid() != 4) {
    r.Delete();
    r.Next();
  }
  r.Delete();
  insertItem(r, "e", 1);
  EXPECT_EQ(r.GetRowid(), 5);
  EXPECT_EQ(shell(dbFile(), "select seq from sqlite_sequence where name = 'items'"), "5");
}

TEST_F(RecordTest, FindModesOnTheDefaultIndex) {
  ZVRecord& r = *rec_;
  insertItem(r, "a", 10);
  insertItem(r, "b", 20);
  insertItem(r, "c", 20);
  insertItem(r, "d", 30);
  r.SetDefaultIndex("items_qty");
  struct Case {
    int mode, key;
    const char* found;  // nullptr: not found
  } cases[] = {{RL_FIND_EQ, 20, "b"}, {RL_FIND_EQ, 25, nullptr}, {RL_FIND_LT, 20, "a"},     {RL_FIND_LE, 20, "c"},
               {RL_FIND_GT, 20, "d"}, {RL_FIND_GE, 20, "b"},     {RL_FIND_GE, 31, nullptr}, {RL_FIND_LT, 10, nullptr},
               {RL_FIND_LE, 25, "c"}, {RL_FIND_GT, 5, "a"}};
  for (const auto& c : cases) {
    r.Clear();
    r.SetFieldAsSigned("qty", c.key);
    int found = r.Find(c.mode);
    EXPECT_EQ(found != 0, c.found != nullptr) << c.mode << " " << c.key;
    if (found) EXPECT_EQ(r.GetFieldAsString("name"), c.found) << c.mode << " " << c.key;
  }
  // Find then Next walks on in index order, through the rows of the same key.
  r.Clear();
  r.SetFieldAsSigned("qty", 20);
  ASSERT_TRUE(r.Find(RL_FIND_EQ));
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "c");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "d");
  EXPECT_FALSE(r.Next());
  // A failed Find keeps the values set before it and leaves no current row: Write inserts.
  r.SetDefaultIndex("items_name");
  r.Clear();
  r.SetFieldAsString("name", "e");
  r.SetFieldAsSigned("qty", 40);
  EXPECT_FALSE(r.Find(RL_FIND_EQ));
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 40);
  EXPECT_EQ(codeOf([&] { r.Delete(); }), RL_NO_CURRENT_RECORD);
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select count(*) from items where name = 'e' and qty = 40"), "1");
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "5");
}

TEST_F(RecordTest, TextKeysCompareBytesExactly) {
  ZVRecord& r = *rec_;
  insertItem(r, "Client", 1);
  insertItem(r, "client", 2);
  r.Clear();
  r.SetFieldAsString("name", "client");
  ASSERT_TRUE(r.Find(RL_FIND_EQ));
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 2);
  r.Clear();
  r.SetFieldAsString("name", "CLIENT");
  EXPECT_FALSE(r.Find(RL_FIND_EQ));
  // Text that looks like SQL is only ever a value.
  insertItem(r, "x'); drop table items; --", 3);
  EXPECT_EQ(shell(dbFile(), "select qty from items where name like 'x''%'"), "3");
}

TEST_F(RecordTest, WalksInIndexAndRecordIdOrder) {
  ZVRecord& r = *rec_;
  for (auto [n, q] : std::vector<std::pair<const char*, int>>{{"c", 3}, {"a", 1}, {"d", 4}, {"b", 2}})
    insertItem(r, n, q);
  EXPECT_EQ(walk(r, true), (std::vector<std::string>{"a", "b", "c", "d"}));  // first index: name
  EXPECT_EQ(walk(r, false), (std::vector<std::string>{"d", "c", "b", "a"}));
  r.SetDefaultIndex(RL_ROWID_INDEX);
  EXPECT_EQ(walk(r, true), (std::vector<std::string>{"c", "a", "d", "b"}));
  r.SetDefaultIndex(1);
  EXPECT_EQ(walk(r, true), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(codeOf([&] { r.SetDefaultIndex(7); }), RL_UNKNOWN_INDEX);
  EXPECT_EQ(codeOf([&] { r.SetDefaultIndex("nope"); }), RL_UNKNOWN_INDEX);

  r.SetDefaultIndex(RL_ROWID_INDEX);
  struct Case {
    int64_t id;
    int mode;
    int64_t found;  // 0: not found
  } cases[] = {{2, RL_FIND_EQ, 2}, {9, RL_FIND_EQ, 0}, {9, RL_FIND_LE, 4}, {0, RL_FIND_GE, 1},
               {5, RL_FIND_GE, 0}, {3, RL_FIND_LT, 2}, {3, RL_FIND_GT, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(r.FindRowid(c.id, c.mode) ? r.GetRowid() : 0, c.found) << c.id << " " << c.mode;
  }
  // JumpTo moves relative to the current record; before the start is 4025 and the position stays.
  ASSERT_TRUE(r.Last());
  r.JumpTo(-2);
  EXPECT_EQ(r.GetRowid(), 2);
  EXPECT_EQ(codeOf([&] { r.JumpTo(-2); }), RL_BEFORE_START);
  EXPECT_EQ(r.GetRowid(), 2);
  EXPECT_EQ(codeOf([&] { r.JumpTo(3); }), RL_NOT_FOUND);
  r.JumpTo(2);
  EXPECT_EQ(r.GetRowid(), 4);
  // The end of a walk keeps the position: rows written later are read next.
  EXPECT_FALSE(r.Next());
  insertItem(*std::make_unique<ZVRecord>(table_.get()), "e", 5);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "e");
}

TEST_F(RecordTest, BatchDeleteRemovesRowsByKeyPrefix) {
  ZVTable t(c_.database.get());
  for (const char* f : {"databaseName", "tableName", "subscriber"}) {
    ZVField* fd = t.AddField(f, 162, 66);
    rlSetFieldBinaryFlag(fd->GetHandle(), 4);
  }
  t.AddField("position", 239, 8);
  ZVIndex* ix = t.AddIndex("subsTableIndex", 0, 0, 0);
  for (const char* f : {"databaseName", "tableName", "subscriber"}) ix->AddSegment(t.GetField(f), 12);
  t.Create("position", 2);
  t.Open("position", 0);
  ZVRecord r(&t);
  for (auto [db, tb, sub] : std::vector<std::tuple<const char*, const char*, const char*>>{
           {"q", "t1", "s1"}, {"q", "t1", "s2"}, {"q", "t2", "s1"}, {"r", "t1", "s1"}}) {
    r.Clear();
    r.SetFieldAsString("databaseName", db);
    r.SetFieldAsString("tableName", tb);
    r.SetFieldAsString("subscriber", sub);
    r.SetFieldAsBigint("position", 7);
    r.Write();
  }
  r.Clear();
  r.SetFieldAsString("databaseName", "q");
  r.SetFieldAsString("tableName", "t1");
  r.SetBatch(4, 128, 0);
  r.EndBatch();
  EXPECT_EQ(shell(dbFile(), "select group_concat(databaseName || tableName || subscriber) from position"),
            "qt2s1,rt1s1");
  EXPECT_EQ(codeOf([&] { r.SetBatch(4, 128, 0); }), RL_NOT_FOUND);
  r.EndBatch();
}

TEST_F(RecordTest, TransactionsCommitAbortAndSpanDatabases) {
  ZVRecord& r = *rec_;
  r.Commit();  // no transaction: no harm
  r.Abort();
  c_.database->Begin();
  insertItem(r, "undone", 1);
  r.Abort();
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "0");
  // One transaction of a session spans its databases.
  c_.session->CreateDatabase("second", "");
  ZVDatabase second(c_.session.get());
  second.Connect("second");
  createItems(&second);
  ZVTable t2(&second);
  t2.Open("items", 0);
  ZVRecord r2(&t2);
  c_.session->Begin();
  insertItem(r, "one", 1);
  insertItem(r2, "two", 2);
  EXPECT_EQ(shell(dbFile("second"), "select count(*) from items"), "0");  // not yet visible to others
  r2.Commit();
  EXPECT_EQ(shell(dbFile(), "select name from items"), "one");
  EXPECT_EQ(shell(dbFile("second"), "select name from items"), "two");
  // A failed write inside a transaction can be aborted with the rest.
  r.Begin();
  insertItem(r, "three", 3);
  r.Clear();
  r.SetFieldAsString("name", "one");
  EXPECT_EQ(codeOf([&] { r.Write(); }), RL_DUPLICATE_KEY);
  r.Abort();
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from items"), "one");
}

TEST_F(RecordTest, AutoCommitOffKeepsWritesForTheNextCommit) {
  ZVRecord& r = *rec_;
  c_.session->SetAutoCommit(0);
  insertItem(r, "pending", 1);
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "0");
  r.Abort();
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "0");
  insertItem(r, "kept", 2);
  r.Commit();
  EXPECT_EQ(shell(dbFile(), "select name from items"), "kept");
  c_.session->SetAutoCommit(1);
  insertItem(r, "at once", 3);
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "2");
}

TEST_F(RecordTest, ValuesConvertToAndFromEveryFieldKind) {
  ZVTable t(c_.database.get());
  t.AddField("b", 8, 1);
  t.AddField("tiny", 16, 1);
  t.AddField("hash", 59, 4);
  t.AddField("big", 231, 8);
  t.AddField("money", 105, 20)->SetScale(2);
  t.AddField("d", 75, 4);
  t.AddField("tm", 83, 4);
  t.AddField("ts", 257, 8);
  t.AddField("c", 144, 1);
  rlSetFieldBinaryFlag(t.AddField("txt", 170, 0)->GetHandle(), 4);
  t.AddField("bin", 170, 0);
  t.AddIndex("by_hash", 0, 0, 0)->AddSegment(t.GetField("hash"), 12);
  t.Create("vals", 2);
  t.Open("vals", 0);
  ZVRecord r(&t);
  r.Clear();
  r.SetFieldAsBool("b", 5);
  r.SetFieldAsChar("tiny", 2);
  r.SetFieldAsSigned("hash", int32_t(3000000000u));  // an unsigned 32-bit word sum
  r.SetFieldAsBigint("big", INT64_C(9000000000000));
  r.SetFieldAsFloat("money", 12.5);
  r.SetFieldAsString("d", "12/31/2024");
  r.SetFieldAsString("tm", "01:02:03");
  ZVDateTime dt;
  ASSERT_EQ(rlPackDateTime(&dt, 2024, 2, 29, 23, 59, 58, 123), 0);
  r.SetFieldAsDateTime("ts", dt);
  r.SetFieldAsString("c", "C");
  r.SetFieldAsString("txt", "{\"a\":1}");
  const unsigned char bytes[] = {0, 1, 2, 255};
  r.SetFieldAsBlob("bin", bytes, sizeof bytes);
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select b, tiny, hash, big, money, d, tm, ts, c, txt, hex(bin) from vals"),
            "1|2|-1294967296|9000000000000|12.5|2024-12-31|01:02:03.000|2024-02-29 23:59:58.123|C|{\"a\":1}|000102FF");
  r.Clear();
  r.SetFieldAsSigned("hash", int32_t(3000000000u));
  ASSERT_TRUE(r.Find(RL_FIND_EQ));
  EXPECT_EQ(uint32_t(r.GetFieldAsSigned("hash")), 3000000000u);
  EXPECT_EQ(r.GetFieldAsBool("b"), 1);
  EXPECT_EQ(r.GetFieldAsChar("tiny"), 2);
  EXPECT_EQ(r.GetFieldAsBigint("big"), INT64_C(9000000000000));
  EXPECT_EQ(r.GetFieldAsString("money"), "12.50");
  for (double amount : {1e70, -1e300}) {  // written out whole, however long
    r.SetFieldAsFloat("money", amount);
    std::string text = r.GetFieldAsString("money");
    EXPECT_EQ(text.substr(text.size() - 3), ".00");
    EXPECT_EQ(std::stod(text), amount) << text;
  }
  r.SetFieldAsFloat("money", 12.5);
  EXPECT_EQ(r.GetFieldAsString("d"), "12/31/2024");
  r.SetDefDateType(5);
  r.SetDefTimeType(11);
  EXPECT_EQ(r.GetFieldAsString("ts"), "20240229 23:59:58.123");
  EXPECT_TRUE(r.GetFieldAsDateTime("ts") == dt);
  ZVBlob blob = r.GetFieldAsBlob("bin");
  ASSERT_EQ(blob.GetSize(), sizeof bytes);
  EXPECT_EQ(memcmp(blob.GetData(), bytes, sizeof bytes), 0);
  // A field's own date type wins over the session's.
  t.GetField("d")->SetFieldDefaultDateTimeType(3, 3);
  r.SetFieldAsString("d", "01.02.2025");
  EXPECT_EQ(r.GetFieldAsString("d"), "01/02/2025");
  r.SetDefDateType(1);
  EXPECT_EQ(r.GetFieldAsString("d"), "01/02/2025");
  // Bad values throw and leave the field null; nothing else is lost.
  struct Bad {
    const char* field;
    const char* text;
    int code;
  } bad[] = {{"d", "2024-02-30", RL_BAD_VALUE}, {"tm", "25:00", RL_BAD_VALUE},        {"tiny", "300", RL_BAD_VALUE},
             {"big", "12x", RL_BAD_VALUE},      {"c", "too long", RL_VALUE_TOO_LONG}, {"nope", "1", RL_UNKNOWN_FIELD}};
  for (const auto& b : bad) {
    EXPECT_EQ(codeOf([&] { r.SetFieldAsString(b.field, b.text); }), b.code) << b.field;
    if (b.code != RL_UNKNOWN_FIELD) EXPECT_TRUE(r.IsFieldNull(b.field)) << b.field;
  }
  EXPECT_EQ(r.GetFieldAsBigint("hash"), -1294967296);
  // A number beyond 64 bits is not read as some other integer.
  r.SetFieldAsFloat("money", -12.5);
  EXPECT_EQ(r.GetFieldAsBigint("money"), -12);
  for (double huge : {1e20, -1e19, 1e300}) {
    r.SetFieldAsFloat("money", huge);
    EXPECT_EQ(codeOf([&] { r.GetFieldAsBigint("money"); }), RL_BAD_VALUE) << huge;
    EXPECT_EQ(codeOf([&] { r.GetFieldAsSigned("money"); }), RL_BAD_VALUE) << huge;
  }
}

TEST_F(EngineTest, DatePackingIsLinear) {
  int32_t base = rlPackDate(1990, 1, 1);
  int y, m, d;
  ASSERT_EQ(rlUnpackDate(base + 365 + 31 + 28, &y, &m, &d), 0);
  EXPECT_EQ(y * 10000 + m * 100 + d, 19910301);
  ASSERT_EQ(rlUnpackDate(rlPackDate(2024, 2, 28) + 1, &y, &m, &d), 0);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240229);
  EXPECT_EQ(rlPackDate(2023, 2, 29), -1);
  ZVDateTime now;
  ASSERT_EQ(rlGetCurrentDateTime(&now), 0);
  EXPECT_GE(now.GetYear(), 2024);
  ZVDateTime back;
  back.SetDateTime(now.GetDate(), now.GetSeconds() - 2 * 86400);
  EXPECT_EQ(back.GetDate(), now.GetDate() - 2);
  unsigned char b[] = {1, 2, 3};
  EXPECT_EQ(rlReverseBytes(b, 3), 0);
  EXPECT_EQ(b[0], 3);
}
