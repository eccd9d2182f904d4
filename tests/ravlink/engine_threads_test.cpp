// Several sessions on several threads at once: writers, blocking readers and
// lockers.
#include "engine_fixture.h"

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using namespace enginetest;

namespace {

struct Opened {
  std::unique_ptr<ZVSession> session;
  std::unique_ptr<ZVDatabase> database;
  std::unique_ptr<ZVTable> table;
  std::unique_ptr<ZVRecord> record;
};

}  // namespace

class ThreadTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    auto c = connect();
    createItems(c.database.get());
  }
  Opened open() {
    Opened o;
    auto c = connect();
    o.session = std::move(c.session);
    o.database = std::move(c.database);
    o.table = std::make_unique<ZVTable>(o.database.get());
    o.table->Open("items", 0);
    o.record = std::make_unique<ZVRecord>(o.table.get());
    return o;
  }
};

TEST_F(ThreadTest, WritersOnManyThreadsGetUniqueGrowingIdsAndAReaderSeesThemInOrder) {
  const int writers = 4, rows = 50;
  std::atomic<int> failures{0};
  std::vector<int64_t> seen;
  std::thread reader([&] {
    Opened o = open();
    o.record->SetDefaultIndex(RL_ROWID_INDEX);
    ASSERT_EQ(rlSetBlockingRead(o.record->GetHandle(), 5, 0), 0);
    int ok = 0;
    while (seen.size() < size_t(writers * rows)) {
      try {
        ok = seen.empty() && !ok ? o.record->First() : o.record->Next();
      } catch (const ZVException& e) {
        if (e.GetErrorCode() != RL_WAIT_TIMED_OUT) throw;
        break;
      }
      if (ok) seen.push_back(o.record->GetRowid());
    }
  });
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([&, w] {
      Opened o = open();
      for (int i = 0; i < rows; ++i) {
        try {
          if (i % 10 == 0) o.record->Begin();
          insertItem(*o.record, (std::to_string(w) + "-" + std::to_string(i)).c_str(), i);
          if (i % 10 == 9) o.record->Commit();
        } catch (const ZVException& e) {
          ADD_FAILURE() << e.GetErrorMsg();
          ++failures;
        }
      }
    });
  for (auto& t : threads) t.join();
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(seen.size(), size_t(writers * rows));
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1], seen[i]);  // id order, no row skipped
  EXPECT_EQ(shell(dbFile(), "select count(*), count(distinct id), max(id) from items"), "200|200|200");
}

TEST_F(ThreadTest, BlockingReadWaitsEndsWith156AndKeepsItsPosition) {
  Opened reader = open();
  Opened writer = open();
  insertItem(*writer.record, "first", 1);
  ZVRecord& r = *reader.record;
  r.SetDefaultIndex(RL_ROWID_INDEX);
  ASSERT_EQ(rlSetBlockingRead(r.GetHandle(), 1, 0), 0);
  ASSERT_TRUE(r.First());
  EXPECT_EQ(codeOf([&] { r.Next(); }), RL_WAIT_TIMED_OUT);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    insertItem(*writer.record, "second", 2);
  });
  ASSERT_TRUE(r.Next());  // woken by the commit of the other session
  late.join();
  EXPECT_EQ(r.GetFieldAsString("name"), "second");
  insertItem(*writer.record, "third", 3);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "third");
  // An uncommitted row of another session is not handed out.
  writer.record->Begin();
  insertItem(*writer.record, "pending", 4);
  EXPECT_EQ(codeOf([&] { r.Next(); }), RL_WAIT_TIMED_OUT);
  writer.record->Commit();
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.GetFieldAsString("name"), "pending");
  EXPECT_EQ(rlSetBlockingRead(nullptr, 1, 0), RL_BAD_HANDLE);
}

TEST_F(ThreadTest, RecordLocksSerialiseReadModifyWrite) {
  {
    Opened o = open();
    insertItem(*o.record, "counter", 0);
  }
  const int threads = 4, rounds = 25;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      Opened o = open();
      ZVRecord& r = *o.record;
      r.Clear();
      r.SetFieldAsString("name", "counter");
      ASSERT_TRUE(r.Find(RL_FIND_EQ));
      for (int i = 0; i < rounds; ++i) {
        r.LockRecord(4);
        r.Read();
        r.SetFieldAsSigned("qty", r.GetFieldAsSigned("qty") + 1);
        r.Write();
        r.UnlockRecord();
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(shell(dbFile(), "select qty from items"), std::to_string(threads * rounds));
}

TEST_F(ThreadTest, DatabaseLockMakesFindElseInsertAtomic) {
  const int threads = 4, keys = 20;
  std::atomic<int> inserted{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      Opened o = open();
      for (int k = 0; k < keys; ++k) {
        std::string name = "key" + std::to_string(k);
        o.database->Lock(4);
        o.record->Clear();
        o.record->SetFieldAsString("name", name.c_str());
        if (!o.record->Find(RL_FIND_EQ)) {
          insertItem(*o.record, name.c_str(), k);
          ++inserted;
        }
        o.database->Unlock();
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(inserted.load(), keys);  // no thread met a duplicate key
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), std::to_string(keys));
}

TEST_F(ThreadTest, LockOfAnEndedLogonIsReleased) {
  Opened a = open(), b = open();
  insertItem(*a.record, "row", 1);
  a.record->LockRecord(4);
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    b.record->Clear();
    b.record->SetFieldAsString("name", "row");
    ASSERT_TRUE(b.record->Find(RL_FIND_EQ));
    b.record->LockRecord(4);
    got = true;
    b.record->UnlockRecord();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  a.session->Logout();
  waiter.join();
  EXPECT_TRUE(got.load());
}

// A handle freed on one thread while another keeps calling on it (or on an
// object the freed one owns): every call either runs on a live object or
// answers RL_BAD_HANDLE, never touches freed memory (the sanitizer reports
// any such read), and every call after the free answers RL_BAD_HANDLE.
TEST_F(ThreadTest, AFreeRacingCallsOnAnotherThreadLeavesThemBadHandles) {
  {
    Opened o = open();
    insertItem(*o.record, "only", 1);
  }
  Opened o = open();
  struct Case {
    const char* what;
    // The handle to free, and the handle the other thread calls on.
    std::function<std::pair<RLHANDLE, RLHANDLE>()> make;
    std::function<void(RLHANDLE)> free;
    std::function<int(RLHANDLE)> call;  // RL_OK while the object lives
  };
  RLHANDLE database = o.database->GetHandle();
  const Case cases[] = {
      {"a record moving while freed",
       [&] {
         RLHANDLE r = rlAllocRecord(o.table->GetHandle());
         return std::make_pair(r, r);
       },
       rlFreeRecord, rlFirstRecord},
      {"a table's field read while the table is freed",
       [&] {
         RLHANDLE t = rlAllocTable(database);
         EXPECT_EQ(rlOpenTable(t, "items", 0), RL_OK);
         return std::make_pair(t, rlGetField(t, 1));
       },
       rlFreeTable, [](RLHANDLE f) { return rlGetFieldType(f) == 146 ? RL_OK : rlGetError(f); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int round = 0; round < 40; ++round) {
      auto [freed, called] = c.make();
      ASSERT_NE(called, nullptr);
      std::atomic<int> live{0};
      std::atomic<bool> freedNow{false};
      int afterFree = 0, wrong = 0;
      std::thread caller([&] {
        for (;;) {
          bool wasFreed = freedNow.load();
          int rc = c.call(called);
          if (rc == RL_OK) {
            ++live;
            if (wasFreed) ++wrong;  // the free had returned: the object must be gone
          } else if (rc == RL_BAD_HANDLE) {
            if (wasFreed && ++afterFree == 3) return;
          } else {
            ++wrong;
          }
        }
      });
      while (live.load() < 1 + round % 5) std::this_thread::yield();
      c.free(freed);
      freedNow = true;
      caller.join();
      EXPECT_EQ(wrong, 0);
      EXPECT_EQ(c.call(called), RL_BAD_HANDLE);
    }
  }
}

// The sessions of the process write a file one at a time: however a write
// ends, the next writer gets in (a turn left taken would hold it for the
// whole busy time-out, then refuse it with RL_BUSY).
TEST_F(ThreadTest, EveryWayAWriteEndsLetsTheNextWriterIn) {
  struct Case {
    const char* name;
    void (*write)(Opened&, const char* name);  // leaves the session with no transaction open
    bool keeps;                                  // whether its row is stored
  };
  const Case cases[] = {
      {"committed", [](Opened& o, const char* n) { o.record->Begin(), insertItem(*o.record, n, 1), o.record->Commit(); },
       true},
      {"aborted", [](Opened& o, const char* n) { o.record->Begin(), insertItem(*o.record, n, 1), o.record->Abort(); },
       false},
      {"auto-commit", [](Opened& o, const char* n) { insertItem(*o.record, n, 1); }, true},
      {"auto-commit refused",
       [](Opened& o, const char*) {
         EXPECT_EQ(codeOf([&] { insertItem(*o.record, "taken", 1); }), RL_DUPLICATE_KEY);
       },
       false},
      {"refused in a transaction, committed",
       [](Opened& o, const char*) {
         o.record->Begin();
         EXPECT_EQ(codeOf([&] { insertItem(*o.record, "taken", 1); }), RL_DUPLICATE_KEY);
         o.record->Commit();
       },
       false},
      {"logon ended in a transaction",
       [](Opened& o, const char* n) {
         o.record->Begin();
         insertItem(*o.record, n, 1);
         o.session->Logout();
       },
       false},
  };
  Opened next = open();
  insertItem(*next.record, "taken", 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      Opened first = open();
      c.write(first, c.name);
    }
    std::string after = std::string("after ") + c.name;
    next.record->Begin();
    ASSERT_EQ(codeOf([&] { insertItem(*next.record, after.c_str(), 2); }), 0);
    next.record->Commit();
    EXPECT_EQ(shell(dbFile(), "select count(*) from items where name = '" + std::string(c.name) + "'"),
              c.keeps ? "1" : "0");
  }
  EXPECT_EQ(shell(dbFile(), "select count(*) from items where name like 'after %'"), "6");
}

// Each writer's transaction stands alone while others fail and abort theirs
// at the same time.
TEST_F(ThreadTest, WritersFailingBesideOthersUndoOnlyTheirOwnRows) {
  {
    Opened o = open();
    insertItem(*o.record, "taken", 0);
  }
  const int writers = 4, rows = 40;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([&, w] {
      Opened o = open();
      ZVRecord& r = *o.record;
      for (int i = 0; i < rows; ++i) {
        std::string name = std::to_string(w) + "-" + std::to_string(i);
        r.Begin();
        insertItem(r, name.c_str(), w);
        if (i % 4 == 3) {  // this one fails: its own row goes with it
          EXPECT_EQ(codeOf([&] { insertItem(r, "taken", w); }), RL_DUPLICATE_KEY);
          r.Abort();
        } else {
          r.Commit();
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(shell(dbFile(), "select count(*), count(distinct name) from items where qty >= 0 and name <> 'taken'"),
            std::to_string(writers * rows * 3 / 4) + "|" + std::to_string(writers * rows * 3 / 4));
}

// The log is copied into the file as commits go by, so it stays bounded
// however many single-row commits the sessions make.
TEST_F(ThreadTest, LogOfManyCommitsStaysBounded) {
  const int writers = 2, rows = 1500;
  Opened keep = open();  // the last connection to close would copy the whole log and remove it
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([&, w] {
      Opened o = open();
      for (int i = 0; i < rows; ++i) insertItem(*o.record, (std::to_string(w) + "-" + std::to_string(i)).c_str(), i);
    });
  for (auto& t : threads) t.join();
  // Some 3,000 commits of three pages or more each; unchecked, the log would
  // hold every one of them (some 30 MB and more).
  auto logSize = std::filesystem::file_size(dbFile() + "-wal");
  EXPECT_LT(logSize, 8u << 20) << logSize;  // some 1,000 pages when copied as it goes
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), std::to_string(writers * rows));
}

// A log that once grew large (one transaction of some 75 MB) is cut back to
// the engine's limit when it starts over, instead of keeping that size on
// disk for as long as the file is open.
TEST_F(ThreadTest, LogThatGrewLargeIsCutBackWhenItStartsOver) {
  {
    auto c = connect();
    ZVTable t(c.database.get());
    t.AddField("id", 51, 4);
    ZVField* data = t.AddField("data", 146, 60000);
    ASSERT_EQ(rlSetFieldBinaryFlag(data->GetHandle(), 4), 0);
    ASSERT_EQ(rlSetIdentityField(t.GetHandle(), "id", 1, 1), 0);
    t.Create("wide", 2);
  }
  auto c = connect();
  ZVTable t(c.database.get());
  t.Open("wide", 0);
  ZVRecord r(&t);
  const std::string value(59000, 'x');
  r.Begin();
  for (int i = 0; i < 1300; ++i) {
    r.Clear();
    r.SetFieldAsString("data", value.c_str());
    r.Write();
  }
  r.Commit();
  EXPECT_GT(std::filesystem::file_size(dbFile() + "-wal"), 66u << 20);
  // The commit above copied the log into the file; the next one starts it over.
  Opened o = open();
  insertItem(*o.record, "after-1", 1);
  insertItem(*o.record, "after-2", 2);
  auto logSize = std::filesystem::file_size(dbFile() + "-wal");
  EXPECT_LE(logSize, 64u << 20) << logSize;
  EXPECT_EQ(shell(dbFile(), "select count(*) from wide"), "1300");
}
