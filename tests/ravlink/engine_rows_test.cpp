// What a record reads after it moved to a row, while something else uses its
// session, its connection or the row itself: writes of the same session (also
// to that very row), moves of its other records, transactions ending, catalog
// reads, definitions changing, its own field changes, writes and index
// changes, the end of a walk and blocking reads. A record reads the row as it
// was when it moved there, whatever happens to the file afterwards.
#include "engine_fixture.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

using namespace enginetest;

namespace {

class RowTest : public EngineTest {
 protected:
  using Opened = OpenedItems;
  void SetUp() override {
    EngineTest::SetUp();
    auto c = connect();
    createItems(c.database.get());
    ZVTable t(c.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    for (int q = 10; q <= 60; q += 10) insertItem(r, ("n" + std::to_string(q)).c_str(), q);
  }
  Opened open() { return openItemsByQty(); }
  // Every read of the row n<qty>, through each kind of field access.
  static void expectRow(ZVRecord& r, int qty, const char* where) {
    SCOPED_TRACE(where);
    std::string name = "n" + std::to_string(qty);
    EXPECT_EQ(r.GetFieldAsString("name"), name);
    EXPECT_EQ(r.GetFieldAsString(1), name);
    ZVBlob blob = r.GetFieldAsBlob("name");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.GetData()), blob.GetSize()), name);
    EXPECT_EQ(r.GetFieldAsChar("name"), 'n');
    EXPECT_EQ(r.GetFieldAsSigned("qty"), qty);
    EXPECT_EQ(r.GetFieldAsSigned(2), qty);
    EXPECT_EQ(r.GetFieldAsBigint("qty"), qty);
    EXPECT_EQ(r.GetFieldAsFloat("qty"), double(qty));
    EXPECT_EQ(r.GetFieldAsBool("qty"), 1);
    EXPECT_EQ(r.GetFieldAsString("qty"), std::to_string(qty));
    EXPECT_EQ(r.GetFieldAsBigint("id"), qty / 10);
    EXPECT_EQ(r.GetFieldAsBigint(0), qty / 10);
    EXPECT_FALSE(r.IsFieldNull("name"));
    EXPECT_FALSE(r.IsFieldNull("ts"));
    EXPECT_NE(r.GetFieldAsDateTime("ts").GetDate(), 0);
    EXPECT_NE(r.GetFieldAsString("ts").find(' '), std::string::npos);  // formatted date and time
  }
  // The record on n30 by a move that stepped on from n20 (the row stays in
  // the walk's statement).
  static void standOn30(ZVRecord& r) {
    r.Clear();
    r.SetFieldAsSigned("qty", 20);
    ASSERT_TRUE(r.Find(RL_FIND_EQ));
    ASSERT_TRUE(r.Next());
  }
};

}  // namespace

TEST_F(RowTest, RowReadsAsItWasWhateverTheSessionDoesMeanwhile) {
  struct Case {
    const char* what;
    std::function<void(Opened& mine, ZVRecord& other, Opened& elsewhere)> meanwhile;
    int next;  // qty the record's Next reaches afterwards, -1: none
  };
  auto moveTo = [](ZVRecord& r, int qty) {
    r.Clear();
    r.SetFieldAsSigned("qty", qty);
    ASSERT_TRUE(r.Find(RL_FIND_EQ));
  };
  const std::vector<Case> cases = {
      {"insert by a record of the session", [](Opened&, ZVRecord& o, Opened&) { insertItem(o, "n35", 35); }, 35},
      {"update of this very row by a record of the session",
       [&](Opened&, ZVRecord& o, Opened&) {
         moveTo(o, 30);
         o.SetFieldAsString("name", "changed");
         o.SetFieldAsSigned("qty", 45);
         o.Write();
       },
       40},
      {"delete of this very row by a record of the session",
       [&](Opened&, ZVRecord& o, Opened&) {
         moveTo(o, 30);
         o.Delete();
       },
       40},
      {"another record of the session walks and reads",
       [](Opened&, ZVRecord& o, Opened&) {
         ASSERT_TRUE(o.Last());
         ASSERT_TRUE(o.Prev());
         EXPECT_EQ(o.GetFieldAsSigned("qty"), 50);
       },
       40},
      {"committed transaction of the session",
       [&](Opened&, ZVRecord& o, Opened&) {
         o.Begin();
         moveTo(o, 30);
         o.SetFieldAsString("name", "committed");
         o.Write();
         o.Commit();
       },
       40},
      {"aborted transaction of the session",
       [&](Opened&, ZVRecord& o, Opened&) {
         o.Begin();
         moveTo(o, 30);
         o.Delete();
         o.Abort();
       },
       40},
      {"record count", [](Opened& m, ZVRecord&, Opened&) { EXPECT_EQ(m.record->GetRecordCount(), 6); }, 40},
      {"catalog read", [](Opened& m, ZVRecord&, Opened&) { EXPECT_TRUE(m.c.database->FindTable("items")); }, 40},
      {"update of this row by another session",
       [&](Opened&, ZVRecord&, Opened& e) {
         moveTo(*e.record, 30);
         e.record->SetFieldAsString("name", "theirs");
         e.record->Write();
       },
       40},
      {"definition changed by another session",
       [](Opened&, ZVRecord&, Opened& e) {
         ZVTable alter(e.c.database.get());
         alter.Open("items", 0);
         alter.AddField("note", 146, 16);
         alter.Alter(0);
       },
       40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    Opened mine = open();
    Opened elsewhere = open();
    ZVRecord other(mine.table.get());
    other.SetDefaultIndex("items_qty");
    ZVRecord& r = *mine.record;
    standOn30(r);
    c.meanwhile(mine, other, elsewhere);
    expectRow(r, 30, "after");
    if (c.next < 0) {
      EXPECT_FALSE(r.Next());
    } else {
      ASSERT_TRUE(r.Next());
      EXPECT_EQ(r.GetFieldAsSigned("qty"), c.next);
    }
  }
}

TEST_F(RowTest, RecordsOwnChangesKeepTheRestOfTheRow) {
  Opened o = open();
  ZVRecord& r = *o.record;

  // A field set on the row leaves the others as read; Write changes only that field.
  standOn30(r);
  r.SetFieldAsSigned("qty", 33);
  EXPECT_EQ(r.GetFieldAsString("name"), "n30");
  EXPECT_EQ(r.GetFieldAsBigint("id"), 3);
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select name || ':' || qty from items where id = 3"), "n30:33");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 40);

  // A Write without changes leaves the row and the walk as they are.
  standOn30(r);  // n30 now holds 33: after n20 still
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 33);
  r.Write();
  EXPECT_EQ(r.GetFieldAsString("name"), "n30");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 40);

  // Text and bytes set in place, and a field set to NULL.
  r.SetFieldAsString("name", "renamed");
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 40);
  r.Write();
  ASSERT_TRUE(r.Next());
  r.SetFieldAsBlob("name", "blob", 4);
  r.SetFieldNull("qty");
  EXPECT_FALSE(r.IsFieldNull("ts"));
  EXPECT_EQ(r.GetFieldAsBigint("id"), 5);
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select group_concat(id || ':' || name || ':' || ifnull(qty, 'null')) from items"),
            "1:n10:10,2:n20:20,3:n30:33,4:renamed:40,5:blob:null,6:n60:60");
}

TEST_F(RowTest, DeleteClearAndIndexChangesOnTheRow) {
  Opened o = open();
  ZVRecord& r = *o.record;

  standOn30(r);
  r.Delete();
  expectRow(r, 30, "deleted");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 40);

  // Find with the row's own key (nothing set since the move).
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.Find(RL_FIND_EQ), 1);
  expectRow(r, 50, "found by its own key");

  // Another default index: the row stays, the walk goes on in the new order.
  ASSERT_TRUE(r.Prev());
  r.SetDefaultIndex("items_name");
  expectRow(r, 40, "index changed");
  ASSERT_TRUE(r.Prev());
  EXPECT_EQ(r.GetFieldAsString("name"), "n20");

  // Clear empties every field of a row still in the walk.
  ASSERT_TRUE(r.Next());
  ASSERT_TRUE(r.Next());
  r.Clear();
  for (const char* f : {"id", "name", "qty", "ts"}) EXPECT_TRUE(r.IsFieldNull(f)) << f;
  EXPECT_EQ(r.GetFieldAsString("name"), "");
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 0);

  // A move that fails keeps the row.
  r.SetDefaultIndex("items_qty");
  standOn30(r);  // n30 is gone: on n40
  EXPECT_EQ(codeOf([&] { r.JumpTo(10); }), RL_NOT_FOUND);
  expectRow(r, 40, "failed jump");
  r.JumpTo(1);
  expectRow(r, 50, "jumped");

  // The record and its table go while the record stands on a walk's row.
  ASSERT_TRUE(r.Next());
  o.table.reset();
  EXPECT_EQ(codeOf([&] { r.GetFieldAsString("name"); }), RL_NOT_OPEN);
  ZVTable t(o.c.database.get());
  t.Open("items", 0);
  auto gone = std::make_unique<ZVRecord>(&t);
  ASSERT_TRUE(gone->First());
  ASSERT_TRUE(gone->Next());
  gone.reset();
}

TEST_F(RowTest, EndOfAWalkKeepsTheLastRow) {
  Opened o = open();
  Opened elsewhere = open();
  ZVRecord& r = *o.record;

  // Forwards and backwards: the move past the end keeps the row and the position.
  ASSERT_TRUE(r.Last());
  ASSERT_TRUE(r.Prev());
  ASSERT_TRUE(r.Next());
  EXPECT_FALSE(r.Next());
  expectRow(r, 60, "past the end");
  EXPECT_EQ(r.GetRowid(), 6);
  ASSERT_TRUE(r.First());
  ASSERT_TRUE(r.Next());
  ASSERT_TRUE(r.Prev());
  EXPECT_FALSE(r.Prev());
  expectRow(r, 10, "before the start");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 20);

  // The last row changed by another session of the process after the move:
  // the record still holds the row it read.
  ASSERT_TRUE(r.Last());
  ASSERT_TRUE(r.Prev());
  ASSERT_TRUE(r.Next());
  elsewhere.record->Clear();
  elsewhere.record->SetFieldAsSigned("qty", 60);
  ASSERT_TRUE(elsewhere.record->Find(RL_FIND_EQ));
  elsewhere.record->SetFieldAsString("name", "later");
  elsewhere.record->Write();
  EXPECT_FALSE(r.Next());
  expectRow(r, 60, "changed after the move");
  insertItem(*elsewhere.record, "n70", 70);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "n70");

  // A walk longer than one stretch, read through to its end.
  elsewhere.record->Begin();
  for (int i = 0; i < 2100; ++i) insertItem(*elsewhere.record, ("b" + std::to_string(i)).c_str(), 1000 + i);
  elsewhere.record->Commit();
  int rows = 0;
  for (int ok = r.Next(); ok; ok = r.Next()) {
    ASSERT_EQ(r.GetFieldAsSigned("qty"), 1000 + rows);
    ASSERT_EQ(r.GetFieldAsString("name"), "b" + std::to_string(rows));
    ++rows;
  }
  EXPECT_EQ(rows, 2100);
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 3099);
}

TEST_F(RowTest, BlockingReadKeepsTheRowItWaitedOn) {
  Opened reader = open();
  Opened writer = open();
  ZVRecord& r = *reader.record;
  ASSERT_EQ(rlSetBlockingRead(r.GetHandle(), 1, 0), 0);
  ASSERT_TRUE(r.Last());
  ASSERT_TRUE(r.Prev());
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(codeOf([&] { r.Next(); }), RL_WAIT_TIMED_OUT);
  expectRow(r, 60, "timed out");
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    insertItem(*writer.record, "n70", 70);
  });
  ASSERT_TRUE(r.Next());
  late.join();
  EXPECT_EQ(r.GetFieldAsString("name"), "n70");
  EXPECT_EQ(r.GetFieldAsSigned("qty"), 70);
  // Its own session writes while it stands on the row it waited for.
  ZVRecord other(reader.table.get());
  insertItem(other, "n80", 80);
  EXPECT_EQ(r.GetFieldAsString("name"), "n70");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "n80");
}

// Threads sharing one session take turns on its mutex: each reader's row
// stays readable while the others move and the writer writes on the same
// connection in between their calls.
TEST_F(RowTest, ThreadsOfOneSessionReadTheirRowsWhileItWrites) {
  Opened o = open();
  const int readers = 3, writes = 150;
  std::vector<std::unique_ptr<ZVRecord>> records;
  for (int i = 0; i < readers; ++i) {
    records.push_back(std::make_unique<ZVRecord>(o.table.get()));
    records.back()->SetDefaultIndex("items_qty");
  }
  ZVRecord writer(o.table.get());
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0}, rowsRead{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < readers; ++i)
    threads.emplace_back([&, i] {
      ZVRecord& r = *records[i];
      while (!done.load()) {
        for (int ok = r.First(); ok; ok = r.Next()) {
          int qty = r.GetFieldAsSigned("qty");
          std::this_thread::yield();  // let the others in between the move and the read
          if (r.GetFieldAsString("name") != "n" + std::to_string(qty)) mismatches++;
          rowsRead++;
        }
      }
    });
  for (int i = 0; i < writes; ++i) {
    if (i % 10 == 0) writer.Begin();
    insertItem(writer, ("n" + std::to_string(100 + i)).c_str(), 100 + i);
    if (i % 10 == 9) writer.Commit();
  }
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(rowsRead.load(), 0);
  EXPECT_EQ(o.record->GetRecordCount(), 6 + writes);
}
