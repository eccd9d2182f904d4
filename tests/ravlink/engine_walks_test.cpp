// Walks that keep stepping between moves: writes of the walking session and
// of other sessions in between, transactions, two walks on one connection,
// and keys with NULLs on ascending and descending indexes in both directions.
#include "engine_fixture.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

using namespace enginetest;

namespace {

class WalkTest : public EngineTest {
 protected:
  using Opened = OpenedItems;
  void SetUp() override {
    EngineTest::SetUp();
    auto c = connect();
    createItems(c.database.get());
  }
  Opened open() { return openItemsByQty(); }
  static bool findQty(ZVRecord& r, int qty) {
    r.Clear();
    r.SetFieldAsSigned("qty", qty);
    return r.Find(RL_FIND_EQ) != 0;
  }
  static int qtyAfter(ZVRecord& r, bool forward) {
    int ok = forward ? r.Next() : r.Prev();
    return ok ? r.GetFieldAsSigned("qty") : -1;
  }
};

}  // namespace

TEST_F(WalkTest, WalkSeesWritesOfItsSessionAndOthersAndKeepsItsPosition) {
  Opened a = open();
  Opened b = open();
  ZVRecord writer(a.table.get());  // same session (and connection) as the walk
  writer.SetDefaultIndex("items_qty");
  for (int q = 10; q <= 100; q += 10) insertItem(writer, ("n" + std::to_string(q)).c_str(), q);
  ZVRecord& r = *a.record;
  ASSERT_TRUE(r.First());
  EXPECT_EQ(qtyAfter(r, true), 20);

  // The walk's read is open; the session's own auto-commit insert is
  // committed at once (another process sees it) and is read next.
  insertItem(writer, "n25", 25);
  EXPECT_EQ(shell(dbFile(), "select count(*) from items where qty = 25"), "1");
  EXPECT_EQ(qtyAfter(r, true), 25);
  ASSERT_TRUE(findQty(writer, 30));
  writer.Delete();
  EXPECT_EQ(qtyAfter(r, true), 40);

  // Another session: an insert after the position, a delete ahead, and a
  // row moved from ahead to behind the position.
  insertItem(*b.record, "n45", 45);
  ASSERT_TRUE(findQty(*b.record, 50));
  b.record->Delete();
  EXPECT_EQ(qtyAfter(r, true), 45);
  EXPECT_EQ(qtyAfter(r, true), 60);
  ASSERT_TRUE(findQty(*b.record, 70));
  b.record->SetFieldAsSigned("qty", 5);
  b.record->Write();
  EXPECT_EQ(qtyAfter(r, true), 80);

  // Backwards, with rows written on both sides of the position.
  insertItem(writer, "n65", 65);
  insertItem(*b.record, "n55", 55);
  EXPECT_EQ(qtyAfter(r, false), 65);
  EXPECT_EQ(qtyAfter(r, false), 60);
  EXPECT_EQ(qtyAfter(r, false), 55);

  // A definition stored by another session in the middle of the walk.
  ZVTable alter(b.c.database.get());
  alter.Open("items", 0);
  alter.AddField("note", 146, 16);
  alter.Alter(0);
  EXPECT_EQ(qtyAfter(r, false), 45);
  EXPECT_TRUE(r.IsFieldNull("note"));
  EXPECT_EQ(qtyAfter(r, true), 55);

  // The rest of the walk, then the end keeps the position for rows written later.
  std::vector<int> rest;
  for (int q; (q = qtyAfter(r, true)) >= 0;) rest.push_back(q);
  EXPECT_EQ(rest, (std::vector<int>{60, 65, 80, 90, 100}));
  insertItem(*b.record, "n110", 110);
  EXPECT_EQ(qtyAfter(r, true), 110);
  EXPECT_EQ(shell(dbFile(), "select group_concat(qty) from (select qty from items order by qty, id)"),
            "5,10,20,25,40,45,55,60,65,80,90,100,110");
}

TEST_F(WalkTest, WalkFollowsTransactionsOfItsSession) {
  Opened a = open();
  Opened b = open();
  ZVRecord writer(a.table.get());
  for (int q = 1; q <= 6; ++q) insertItem(writer, ("n" + std::to_string(q)).c_str(), q * 10);
  ZVRecord& r = *a.record;
  ASSERT_TRUE(r.First());

  // Rows of an aborted transaction are read while it is open and gone after.
  writer.Begin();
  insertItem(writer, "t15", 15);
  EXPECT_EQ(qtyAfter(r, true), 15);
  insertItem(writer, "t25", 25);
  writer.Abort();
  EXPECT_EQ(qtyAfter(r, true), 20);
  EXPECT_EQ(qtyAfter(r, true), 30);

  // Another session's open transaction is not seen until it commits.
  b.record->Begin();
  insertItem(*b.record, "t35", 35);
  EXPECT_EQ(qtyAfter(r, true), 40);
  b.record->Commit();
  EXPECT_EQ(qtyAfter(r, false), 35);

  // The walk's session can write and commit while its walk is open.
  writer.Begin();
  insertItem(writer, "t45", 45);
  writer.Commit();
  EXPECT_EQ(shell(dbFile(), "select count(*) from items where qty in (15, 25, 35, 45)"), "2");
  EXPECT_EQ(qtyAfter(r, true), 40);
  EXPECT_EQ(qtyAfter(r, true), 45);
}

TEST_F(WalkTest, TwoWalksOfOneSessionTakeTurns) {
  Opened a = open();
  ZVRecord& r1 = *a.record;
  ZVRecord r2(a.table.get());
  r2.SetDefaultIndex("items_qty");
  const int rows = 2600;  // more than one stretch of a walk
  a.record->Begin();
  for (int q = 0; q < rows; ++q) insertItem(r2, ("n" + std::to_string(q)).c_str(), q);
  a.record->Commit();
  ASSERT_TRUE(r1.First());
  ASSERT_TRUE(r2.Last());
  int forward = 1, backward = 1;
  bool more1 = true, more2 = true;
  while (more1 || more2) {
    if (more1 && (more1 = r1.Next())) {
      EXPECT_EQ(r1.GetFieldAsSigned("qty"), forward++);
    }
    if (more2 && (more2 = r2.Prev())) {
      EXPECT_EQ(r2.GetFieldAsSigned("qty"), rows - 1 - backward++);
    }
  }
  EXPECT_EQ(forward, rows);
  EXPECT_EQ(backward, rows);
}

// Keys with NULLs, on an ascending and on a descending index: every Find
// mode and the walks on from it match the order SQLite gives the rows.
TEST_F(EngineTest, FindAndWalksCrossNullKeysInBothDirections) {
  auto c = connect();
  {
    ZVTable t(c.database.get());
    t.AddField("k", 51, 4);
    t.AddField("tag", 51, 4);
    t.AddIndex("k_up", 0, 1, 0)->AddSegment(t.GetField("k"), 12);
    t.AddIndex("k_down", 0, 1, 0)->AddSegment(t.GetField("k"), 12 | 0x10);
    t.Create("keys", 2);
  }
  ZVTable t(c.database.get());
  t.Open("keys", 0);
  ZVRecord r(&t);
  const std::vector<std::optional<int>> keys = {2, std::nullopt, 1, 3, std::nullopt, 2, 1, std::nullopt, 3, 2};
  for (size_t i = 0; i < keys.size(); ++i) {
    r.Clear();
    if (keys[i]) r.SetFieldAsSigned("k", *keys[i]);
    r.SetFieldAsSigned("tag", int(i + 1));
    r.Write();
  }
  EXPECT_EQ(shell(dbFile(), "select count(*) from keys where k is null"), "3");

  for (bool descending : {false, true}) {
    // Index order: NULL before every value ascending, after every value descending.
    auto rank = [&](std::optional<int> k) { return descending ? (k ? -*k : INT_MAX) : (k ? *k : INT_MIN); };
    std::vector<int> order(keys.size());  // tags in index order
    for (size_t i = 0; i < keys.size(); ++i) order[i] = int(i + 1);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return rank(keys[x - 1]) < rank(keys[y - 1]); });
    r.SetDefaultIndex(descending ? "k_down" : "k_up");
    auto walkFrom = [&](int found, bool forward) {
      std::vector<int> tags;
      for (int ok = found; ok; ok = forward ? r.Next() : r.Prev()) tags.push_back(r.GetFieldAsSigned("tag"));
      return tags;
    };
    EXPECT_EQ(walkFrom(r.First(), true), order) << descending;
    EXPECT_EQ(walkFrom(r.Last(), false), std::vector<int>(order.rbegin(), order.rend())) << descending;

    for (std::optional<int> key : {std::optional<int>(), std::optional<int>(0), std::optional<int>(1),
                                   std::optional<int>(2), std::optional<int>(3), std::optional<int>(4)}) {
      for (int mode : {RL_FIND_EQ, RL_FIND_GE, RL_FIND_GT, RL_FIND_LE, RL_FIND_LT}) {
        bool forward = mode == RL_FIND_EQ || mode == RL_FIND_GE || mode == RL_FIND_GT;
        std::vector<int> expected;  // the found row, then the rows on from it
        int at = -1;
        for (size_t i = 0; i < order.size(); ++i) {
          int rk = rank(keys[order[i] - 1]), want = rank(key);
          bool hit = mode == RL_FIND_EQ   ? rk == want
                     : mode == RL_FIND_GE ? rk >= want
                     : mode == RL_FIND_GT ? rk > want
                     : mode == RL_FIND_LE ? rk <= want
                                          : rk < want;
          if (hit && (forward ? at < 0 : true)) at = int(i);
        }
        if (at >= 0 && forward) expected.assign(order.begin() + at, order.end());
        if (at >= 0 && !forward)
          for (int i = at; i >= 0; --i) expected.push_back(order[i]);
        r.Clear();
        if (key) r.SetFieldAsSigned("k", *key);
        EXPECT_EQ(walkFrom(r.Find(mode), forward), expected)
            << "descending " << descending << " key " << (key ? *key : -1) << " mode " << mode;
        // One step back from the found row leads to its neighbour.
        r.Clear();
        if (key) r.SetFieldAsSigned("k", *key);
        if (at >= 0 && r.Find(mode)) {
          int back = forward ? at - 1 : at + 1;
          int got = (forward ? r.Prev() : r.Next()) ? r.GetFieldAsSigned("tag") : 0;
          EXPECT_EQ(got, back >= 0 && back < int(order.size()) ? order[back] : 0);
        }
      }
    }
  }
}
