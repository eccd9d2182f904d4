// The object pool: acquisition order, exhaustion, waiters woken by what
// frees an object, failing Init, blocking by Clean, idle clean-up and
// destruction with objects still in use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_common.h"
#include "yxutil.h"

namespace {

struct Counters {
  std::atomic<int> made{0}, inits{0}, acquires{0}, releases{0}, closes{0}, deleted{0};
  std::atomic<bool> failInit{false};
  std::function<void()> onRelease;  // runs inside OnRelease when set
};
Counters* counters = nullptr;

class TestConfig : public YXConfig {
 public:
  explicit TestConfig(int configId) : id(configId) {}
  bool Compare(YXConfig* other) override {
    auto* wanted = dynamic_cast<TestConfig*>(other);
    return wanted && wanted->id == id;
  }
  int id;
};

class TestObject : public YXPooledObj {
 public:
  explicit TestObject(YXConfig* objectConfig) : YXPooledObj(objectConfig) { ++counters->made; }
  ~TestObject() override { ++counters->deleted; }
  void Init() override {
    ++counters->inits;
    if (counters->failInit) YX_THROW("TestObject::Init", YX_KIND_OPERATION, 4711, "refused");
  }
  void Close() override { ++counters->closes; }
  void OnAcquire() override { ++counters->acquires; }
  void OnRelease() override {
    ++counters->releases;
    if (counters->onRelease) counters->onRelease();
    YXPooledObj::OnRelease();
  }
  std::atomic<int> holders{0};
};

using TestPool = YXPool<TestObject>;

std::vector<std::pair<std::string, int>> reports;
std::mutex reportsMutex;
void captureReport(const char* message, int code) {
  std::lock_guard<std::mutex> hold(reportsMutex);
  reports.emplace_back(message, code);
}

class YXPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    counters = &counts;
    reports.clear();
    yxSetErrorReporter(captureReport);
  }
  void TearDown() override {
    yxSetErrorReporter(nullptr);
    counters = nullptr;
  }
  static int codeOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const YXException& e) {
      return e.GetErrorCode();
    }
    return 0;
  }
  Counters counts;
};

TEST_F(YXPoolTest, ReusesTheMostRecentlyReturnedMatchingObject) {
  TestPool pool(new TestConfig(1), 3);
  TestObject* a = pool.Acquire(pool.config);
  TestObject* b = pool.Acquire(pool.config);
  EXPECT_EQ(counts.inits.load(), 2);
  pool.Release(a);
  pool.Release(b);
  EXPECT_EQ(pool.Acquire(pool.config), b);
  EXPECT_EQ(counts.acquires.load(), 1);
  EXPECT_EQ(pool.usedCount, 1);
  EXPECT_EQ(pool.availableCount, 1);

  // An idle object of another configuration is skipped; with room a new one is made.
  TestConfig other(2);
  TestObject* c = pool.Acquire(&other);
  EXPECT_NE(c, a);
  EXPECT_EQ(c->config, &other);
  pool.Release(c);
  pool.Release(b);
  pool.Release(b);  // not in use any more: ignored
  pool.Release(nullptr);
  EXPECT_EQ(pool.availableCount, 3);
}

TEST_F(YXPoolTest, ExhaustedAfterItsTries) {
  TestPool pool(new TestConfig(1), 1);
  EXPECT_EQ(codeOf([&] { pool.Acquire(pool.config, 0); }), YX_ERR_FULL);
  EXPECT_EQ(counts.made.load(), 0);  // a time-out of 0 never looks at the pool

  TestObject* held = pool.Acquire(pool.config);
  EXPECT_EQ(codeOf([&] { pool.Acquire(pool.config, 1); }), YX_ERR_FULL);

  // An idle object of another configuration does not make room either.
  pool.Release(held);
  TestConfig other(2);
  EXPECT_EQ(codeOf([&] { pool.Acquire(&other, 1); }), YX_ERR_FULL);

  // An object released during the wait is the one handed out.
  held = pool.Acquire(pool.config);
  std::thread releaser([&] {
    yxSleep(200);
    pool.Release(held);
  });
  EXPECT_EQ(pool.Acquire(pool.config, 3), held);
  releaser.join();
  pool.Release(held);
  EXPECT_EQ(counts.made.load(), 1);
}

TEST_F(YXPoolTest, ExhaustedAcquireWaitsItsWholeTimeOut) {
  TestPool pool(new TestConfig(1), 1);
  TestObject* held = pool.Acquire(pool.config);
  for (int timeout : {1, 2}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(codeOf([&] { pool.Acquire(pool.config, timeout); }), YX_ERR_FULL);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), timeout * 1000 - 50) << "time-out " << timeout;
  }
  pool.Release(held);
}

// A waiter with a time-out of one second gets the object freed while it
// waits: it is woken by the change, not left to look again after a sleep
// that would outlast its time-out.
TEST_F(YXPoolTest, AWaiterIsWokenByWhatFreesAnObject) {
  struct Case {
    const char* what;
    bool wantsOtherConfiguration;
    std::function<void(TestPool&, TestObject*)> free;
  };
  const Case cases[] = {
      {"a release", false, [](TestPool& pool, TestObject* held) { pool.Release(held); }},
      {"an idle object deleted", true,
       [](TestPool& pool, TestObject* held) {
         pool.Release(held);  // of no use to the waiter: it fills the pool until it is deleted
         pool.idleTimeout = 0;
         pool.CleanIdle();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPool pool(new TestConfig(1), 1);
    TestConfig other(2);
    YXConfig* wanted = c.wantsOtherConfiguration ? static_cast<YXConfig*>(&other) : pool.config;
    TestObject* held = pool.Acquire(pool.config);
    TestObject* got = nullptr;
    int code = -1;
    std::thread waiter([&] { code = codeOf([&] { got = pool.Acquire(wanted, 1); }); });
    ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
    c.free(pool, held);
    waiter.join();
    EXPECT_EQ(code, 0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->config, wanted);
    EXPECT_EQ(pool.Waiters(), 0);
    pool.Release(got);
  }
}

// A returned object goes to a waiter that can use it, whatever order they
// queued in. A thread waiting for the pool to drain never swallows the wake
// an acquirer needs.
TEST_F(YXPoolTest, AReturnedObjectReachesAWaiterThatCanUseIt) {
  for (bool mismatchedFirst : {true, false}) {
    SCOPED_TRACE(mismatchedFirst ? "the waiter that cannot use it sleeps first" : "it sleeps last");
    TestPool pool(new TestConfig(1), 2);
    TestConfig other(2), third(3);
    TestObject* first = pool.Acquire(pool.config);
    TestObject* second = pool.Acquire(&other);
    int mismatchedCode = -1, matchingCode = -1;
    std::atomic<TestObject*> got{nullptr};
    std::function<void()> mismatched = [&] { mismatchedCode = codeOf([&] { pool.Acquire(&third, 2); }); };
    // Its time-out, far beyond the poll below, would find the object too.
    std::function<void()> matching = [&] { matchingCode = codeOf([&] { got = pool.Acquire(pool.config, 30); }); };
    std::thread a(mismatchedFirst ? mismatched : matching);
    ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
    std::thread b(mismatchedFirst ? matching : mismatched);
    ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 2; }));
    pool.Release(first);
    EXPECT_TRUE(testcommon::wait_for([&] { return got.load() != nullptr; }));  // woken, not timed out
    a.join();
    b.join();
    EXPECT_EQ(matchingCode, 0);
    EXPECT_EQ(got.load(), first);
    EXPECT_EQ(mismatchedCode, YX_ERR_FULL);  // the pool stays full of objects it cannot use
    pool.Release(got);
    pool.Release(second);
  }

  // A clean waiting for objects in use sleeps beside an acquirer.
  TestPool pool(new TestConfig(1), 2);
  TestConfig other(2);
  TestObject* held = pool.Acquire(pool.config);
  TestObject* blocker = pool.Acquire(&other);
  int acquireCode = -1, cleanCode = -1;
  std::atomic<TestObject*> got{nullptr};
  std::thread acquirer([&] { acquireCode = codeOf([&] { got = pool.Acquire(pool.config, 60); }); });
  ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
  pool.releaseWaitSeconds = 20;
  std::thread cleaner([&] { cleanCode = codeOf([&] { pool.Clean(&other); }); });
  ASSERT_TRUE(testcommon::wait_for([&] {
    YXMutexLock hold(pool.mutex);
    return pool.blockedConfigs->Contains(&other);  // the clean is at its wait
  }));
  pool.Release(held);
  EXPECT_TRUE(testcommon::wait_for([&] { return got.load() != nullptr; }));  // woken, not timed out
  acquirer.join();
  EXPECT_EQ(acquireCode, 0);
  EXPECT_EQ(got.load(), held);
  pool.Release(got);
  pool.Release(blocker);
  cleaner.join();
  EXPECT_EQ(cleanCode, 0);
}

// Wakes that free nothing the waiter can use leave it waiting, and its
// time-out still ends the acquisition; a configuration blocked by Clean ends
// a wait without limit.
TEST_F(YXPoolTest, AWaitEndsAtItsTimeOutOrWhenBlocked) {
  TestPool pool(new TestConfig(1), 1);
  TestConfig other(2);
  TestObject* held = pool.Acquire(pool.config);
  int code = -1;
  std::thread waiter([&] { code = codeOf([&] { pool.Acquire(&other, 1); }); });
  ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
  pool.Release(held);  // idle, of configuration 1: no use and no room for configuration 2
  held = pool.Acquire(pool.config);
  pool.Release(held);
  waiter.join();
  EXPECT_EQ(code, YX_ERR_FULL);
  EXPECT_EQ(pool.Waiters(), 0);

  held = pool.Acquire(pool.config);
  std::thread forever([&] { code = codeOf([&] { pool.Acquire(&other, -1); }); });
  ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
  int cleanCode = -1;
  std::thread cleaner([&] { cleanCode = codeOf([&] { pool.Clean(&other); }); });
  forever.join();
  EXPECT_EQ(code, YX_ERR_POOL_BLOCKED);
  pool.Release(held);  // Clean waits for it
  cleaner.join();
  EXPECT_EQ(cleanCode, 0);
}

// Waiters are served in the order they came; once they have waited the
// hand-off bound, an acquirer arriving while they wait cannot take a returned
// object ahead of them; Shut ends every wait.
TEST_F(YXPoolTest, ReturnedObjectsGoToTheLongestWaiter) {
  TestPool pool(new TestConfig(1), 1);
  TestObject* held = pool.Acquire(pool.config);
  constexpr int kWaiters = 3;
  std::atomic<TestObject*> got[kWaiters] = {};
  int codes[kWaiters] = {-1, -1, -1};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] { codes[i] = codeOf([&] { got[i] = pool.Acquire(pool.config, 30); }); });
    ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == i + 1; }));
  }
  std::this_thread::sleep_for(TestPool::kHandOffAfter + std::chrono::milliseconds(5));
  for (int i = 0; i < kWaiters; ++i) {
    pool.Release(held);
    EXPECT_EQ(codeOf([&] { pool.AcquireNoWait(); }), YX_ERR_FULL);  // already handed on
    ASSERT_TRUE(testcommon::wait_for([&] { return got[i].load() != nullptr; }));
    for (int later = i + 1; later < kWaiters; ++later) EXPECT_EQ(got[later].load(), nullptr);
    held = got[i];
  }
  for (auto& waiter : waiters) waiter.join();
  for (int code : codes) EXPECT_EQ(code, 0);
  EXPECT_EQ(counts.made.load(), 1);

  std::vector<std::thread> blockedOnes;
  int blockedCodes[kWaiters] = {-1, -1, -1};
  for (int i = 0; i < kWaiters; ++i) {
    blockedOnes.emplace_back([&, i] { blockedCodes[i] = codeOf([&] { pool.Acquire(pool.config, -1); }); });
    ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == i + 1; }));
  }
  pool.Shut();
  for (auto& waiter : blockedOnes) waiter.join();
  for (int code : blockedCodes) EXPECT_EQ(code, YX_ERR_POOL_BLOCKED);
  EXPECT_EQ(pool.Waiters(), 0);
  pool.Release(held);
  EXPECT_EQ(counts.deleted.load(), 1);
}

// Before the hand-off bound, a returned object is idle for whoever comes
// first: a running acquirer takes it, and the waiter woken for it sleeps
// again, to be woken by the next release (not by its time-out).
TEST_F(YXPoolTest, ARunningAcquirerMayTakeAnObjectBeforeTheBound) {
  TestPool pool(new TestConfig(1), 1);
  pool.handOffAfter = std::chrono::hours(1);
  TestObject* held = pool.Acquire(pool.config);
  std::atomic<TestObject*> got{nullptr};
  int code = -1;
  std::thread waiter([&] { code = codeOf([&] { got = pool.Acquire(pool.config, 30); }); });
  ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
  for (int round = 0; round < 2; ++round) {
    YXMutexLock hold(pool.mutex);  // the woken waiter cannot look before the acquirer
    pool.Release(held);
    held = pool.AcquireNoWait();
  }
  EXPECT_EQ(got.load(), nullptr);
  EXPECT_EQ(pool.Waiters(), 1);
  pool.Release(held);
  ASSERT_TRUE(testcommon::wait_for([&] { return got.load() != nullptr; }));
  waiter.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(got.load(), held);
  EXPECT_EQ(counts.made.load(), 1);
  pool.Release(got);
}

// An object handed to a waiter whose time ran out before it could look is
// taken by that waiter, not dropped.
TEST_F(YXPoolTest, AWaiterHandedAnObjectAsItTimesOutTakesIt) {
  TestPool pool(new TestConfig(1), 1);
  TestObject* held = pool.Acquire(pool.config);
  std::atomic<TestObject*> got{nullptr};
  int code = -1;
  std::thread waiter([&] { code = codeOf([&] { got = pool.Acquire(pool.config, 1); }); });
  ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into its sleep
  {
    YXMutexLock hold(pool.mutex);  // the waiter, timed out, cannot look until the release is done
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    pool.Release(held);  // the mutex is re-entrant
  }
  waiter.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(got.load(), held);
  EXPECT_EQ(pool.usedCount, 1);
  EXPECT_EQ(pool.availableCount, 0);
  pool.Release(got);
}

TEST_F(YXPoolTest, OnReleaseRunsOutsideThePoolMutex) {
  TestPool pool(new TestConfig(1), 2);
  TestObject* object = pool.Acquire(pool.config);
  std::atomic<int> mutexFree{-1};
  std::atomic<int> stillInUse{-1};
  // Another thread looks at the pool's mutex while OnRelease runs: a release
  // holding it would order the pool's mutex before whatever OnRelease takes.
  counts.onRelease = [&] {
    std::thread([&] {
      bool taken = yxMutexTryLock(pool.mutex);
      mutexFree = taken;
      if (taken) {
        stillInUse = pool.usedCount;
        yxMutexRelease(pool.mutex);
      }
    }).join();
  };
  pool.Release(object);
  counts.onRelease = nullptr;
  EXPECT_EQ(mutexFree.load(), 1);
  EXPECT_EQ(stillInUse.load(), 1);  // not handed out again before OnRelease has run
  EXPECT_EQ(pool.availableCount, 1);
  EXPECT_EQ(pool.usedCount, 0);
  EXPECT_EQ(pool.Acquire(pool.config), object);
  pool.Release(object);
}

TEST_F(YXPoolTest, FailingInitDeletesTheObjectAndPassesTheError) {
  TestPool pool(new TestConfig(1), 2);
  counts.failInit = true;
  try {
    pool.Acquire(pool.config);
    FAIL() << "no exception";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), 4711);
    EXPECT_STREQ(e.GetErrorMsg(), "refused");
  }
  EXPECT_EQ(counts.deleted.load(), 1);
  EXPECT_EQ(pool.usedCount, 0);
  EXPECT_EQ(pool.availableCount, 0);
  EXPECT_EQ(pool.Size(), 0);
  counts.failInit = false;
  TestObject* fresh = pool.Acquire(pool.config);
  EXPECT_EQ(counts.made.load(), 2);
  pool.Release(fresh);
}

TEST_F(YXPoolTest, AcquireNoWaitTakesOnlyIdleObjects) {
  TestPool pool(new TestConfig(1), 2);
  EXPECT_EQ(codeOf([&] { pool.AcquireNoWait(); }), YX_ERR_FULL);
  EXPECT_EQ(counts.made.load(), 0);
  TestObject* a = pool.Acquire(pool.config);
  pool.Release(a);
  EXPECT_EQ(pool.AcquireNoWait(), a);
  EXPECT_EQ(counts.acquires.load(), 1);
  EXPECT_EQ(codeOf([&] { pool.AcquireNoWait(); }), YX_ERR_FULL);
  pool.Release(a);
}

TEST_F(YXPoolTest, CleanBlocksItsConfigurationWhileWaiting) {
  TestPool pool(new TestConfig(1), 3);
  TestConfig other(2);
  TestObject* idle = pool.Acquire(pool.config);
  TestObject* held = pool.Acquire(&other);
  pool.Release(idle);

  std::atomic<int> cleanCode{-1};
  std::thread cleaner([&] { cleanCode = codeOf([&] { pool.Clean(pool.config); }); });
  while (pool.blockedConfigs->Count() == 0) yxSleep(5);
  EXPECT_EQ(codeOf([&] { pool.Acquire(pool.config); }), YX_ERR_POOL_BLOCKED);
  EXPECT_EQ(codeOf([&] { pool.AcquireNoWait(); }), YX_ERR_POOL_BLOCKED);
  EXPECT_EQ(codeOf([&] { pool.Clean(pool.config); }), YX_ERR_POOL_BLOCKED);
  pool.Release(held);  // Clean waits for every configuration's objects
  cleaner.join();
  EXPECT_EQ(cleanCode.load(), 0);
  EXPECT_EQ(counts.deleted.load(), 1);  // only the idle object of configuration 1
  EXPECT_EQ(pool.availableCount, 1);
  EXPECT_EQ(pool.blockedConfigs->Count(), 0);
  pool.Release(pool.Acquire(pool.config));  // usable again
}

TEST_F(YXPoolTest, CleanGivesUpAfterItsWait) {
  TestPool pool(new TestConfig(1), 2);
  pool.releaseWaitSeconds = 1;
  TestObject* held = pool.Acquire(pool.config);
  EXPECT_EQ(codeOf([&] { pool.Clean(pool.config); }), YX_ERR_POOL_IN_USE);
  EXPECT_EQ(pool.blockedConfigs->Count(), 0);
  EXPECT_EQ(counts.deleted.load(), 0);
  pool.Release(held);
}

TEST_F(YXPoolTest, CleanIdleDeletesObjectsIdleAtLeastTheTimeOut) {
  TestPool pool(new TestConfig(1), 4, 60);
  TestObject* objects[4];
  for (auto& object : objects) object = pool.Acquire(pool.config);
  for (auto* object : objects) pool.Release(object);
  uint64_t now = yxTickCount64();
  objects[0]->lastUsed = now - 59000;   // survives
  objects[1]->lastUsed = now - 60000;   // deleted
  objects[2]->lastUsed = now - 600000;  // its neighbour too, in the same run
  objects[3]->lastUsed = now;
  pool.CleanIdle();
  EXPECT_EQ(counts.deleted.load(), 2);
  EXPECT_EQ(counts.closes.load(), 2);
  ASSERT_EQ(pool.availableCount, 2);
  EXPECT_EQ(pool.Size(), 2);
  EXPECT_EQ(pool.available[0], objects[0]);
  EXPECT_EQ(pool.available[1], objects[3]);
  EXPECT_EQ(pool.Acquire(pool.config), objects[3]);  // order of the rest is kept
  pool.Release(objects[3]);
}

TEST_F(YXPoolTest, CleanIdleKeepsTheMostRecentlyReturnedFloor) {
  TestPool pool(new TestConfig(1), 5, 60);
  TestObject* objects[5];
  for (auto& object : objects) object = pool.Acquire(pool.config);
  TestObject* held = objects[4];
  for (int i = 0; i < 4; ++i) pool.Release(objects[i]);
  uint64_t now = yxTickCount64();
  objects[0]->lastUsed = now - 600000;  // deleted
  objects[1]->lastUsed = now;           // not idle long enough: stays, and counts for nothing
  objects[2]->lastUsed = now - 600000;  // kept: one of the two most recently returned
  objects[3]->lastUsed = now - 600000;  // kept
  EXPECT_EQ(pool.CleanIdle(2), 1);
  ASSERT_EQ(pool.availableCount, 3);
  EXPECT_EQ(pool.available[0], objects[1]);
  EXPECT_EQ(pool.available[2], objects[3]);
  EXPECT_EQ(pool.CleanIdle(2), 0);
  EXPECT_EQ(pool.CleanIdle(5), 0);  // a floor above the idle count keeps them all
  EXPECT_EQ(pool.CleanIdle(), 2);
  EXPECT_EQ(counts.deleted.load(), 3);
  pool.Release(held);
}

TEST_F(YXPoolTest, DestructionClosesIdleObjectsAndNeverFreesObjectsInUse) {
  auto* pool = new TestPool(new TestConfig(1), 2);
  pool->Release(pool->Acquire(pool->config));
  delete pool;
  EXPECT_EQ(counts.closes.load(), 1);
  EXPECT_EQ(counts.deleted.load(), 1);
  EXPECT_TRUE(reports.empty());

  auto* config = new TestConfig(1);
  pool = new TestPool(config, 2);
  pool->releaseWaitSeconds = 1;
  pool->Release(pool->Acquire(config));
  TestObject* held = pool->Acquire(config);
  TestObject* idle = pool->Acquire(config);
  pool->Release(idle);
  EXPECT_NO_THROW(delete pool);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].second, YX_ERR_POOL_IN_USE);
  EXPECT_NE(reports[0].first.find("Pool has at least one object holding the releaseAll"), std::string::npos);
  EXPECT_EQ(counts.deleted.load(), 2);  // the idle one went; the held one lives on
  EXPECT_EQ(held->config, config);      // and so does its configuration
  EXPECT_TRUE(config->Compare(held->config));
  delete held;
  delete config;
}

TEST_F(YXPoolTest, ReleaseAllBlocksFurtherAcquisitions) {
  TestPool pool(new TestConfig(1), 2);
  pool.ReleaseAll();
  EXPECT_EQ(codeOf([&] { pool.Acquire(pool.config); }), YX_ERR_POOL_BLOCKED);
  EXPECT_EQ(codeOf([&] { pool.AcquireNoWait(); }), YX_ERR_POOL_BLOCKED);
}

// Shutting ends the pool without waiting for its users: the idle objects
// close at once, a waiting acquirer and every later one give up with 8002,
// and an object in use closes when it comes back instead of being kept.
TEST_F(YXPoolTest, ShutClosesIdleObjectsAtOnceAndTheRestOnTheirReturn) {
  TestPool pool(new TestConfig(1), 2);
  TestObject* held = pool.Acquire(pool.config);
  pool.Release(pool.Acquire(pool.config));  // the pool is full: one in use, one idle
  TestConfig other(2);                      // which the idle one cannot serve
  int waiterCode = -1;
  std::thread waiter([&] { waiterCode = codeOf([&] { pool.Acquire(&other, 60); }); });
  ASSERT_TRUE(testcommon::wait_for([&] { return pool.Waiters() == 1; }));
  pool.Shut();
  EXPECT_EQ(counts.closes.load(), 1);  // the idle one, at once
  EXPECT_EQ(counts.deleted.load(), 1);
  EXPECT_EQ(pool.Size(), 1);
  waiter.join();  // woken, long before its time-out
  EXPECT_EQ(waiterCode, YX_ERR_POOL_BLOCKED);
  EXPECT_EQ(codeOf([&] { pool.Acquire(pool.config); }), YX_ERR_POOL_BLOCKED);
  EXPECT_EQ(codeOf([&] { pool.AcquireNoWait(); }), YX_ERR_POOL_BLOCKED);
  pool.Shut();  // a second one changes nothing

  pool.Release(held);
  EXPECT_EQ(counts.releases.load(), 2);
  EXPECT_EQ(counts.closes.load(), 2);
  EXPECT_EQ(counts.deleted.load(), 2);
  EXPECT_EQ(pool.usedCount + pool.availableCount, 0);
  EXPECT_EQ(pool.Size(), 0);
  EXPECT_TRUE(reports.empty());
}

// With as many objects as threads nobody waits; with fewer, threads wait
// their turns and every release reaches a waiter (a lost wake-up would end
// an acquisition with 8004 after its time-out).
TEST_F(YXPoolTest, ManyThreadsNeverShareAnObject) {
  constexpr int kThreads = 6;
  for (int poolSize : {kThreads, 2}) {
    SCOPED_TRACE(poolSize);
    Counters fresh;
    counters = &fresh;
    TestPool pool(new TestConfig(1), poolSize);
    std::atomic<int> clashes{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
          TestObject* object = nullptr;
          if (codeOf([&] { object = pool.Acquire(pool.config, 60); }) != 0) {
            ++failures;
            continue;
          }
          if (object->holders.fetch_add(1) != 0) ++clashes;
          std::this_thread::yield();
          object->holders.fetch_sub(1);
          pool.Release(object);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(fresh.made.load(), poolSize);
    EXPECT_EQ(pool.usedCount, 0);
    EXPECT_EQ(pool.availableCount, fresh.made.load());
    pool.ReleaseAll();
    counters = &counts;
  }
}

// Two hundred threads on two objects, as a REST application under a crowd of
// keep-alive clients: running threads may take returned objects before the
// sleepers, yet every sleeper is served within its time-out (none ends with
// 8004), nobody shares an object, and a pool shut in the middle of the crowd
// turns every waiter away with 8002 and is left with nobody waiting.
TEST_F(YXPoolTest, ACrowdOnASmallPoolStarvesNobodyAndEndsWhenShut) {
  constexpr int kThreads = 200;
  for (bool shutMidway : {false, true}) {
    SCOPED_TRACE(shutMidway);
    Counters fresh;
    counters = &fresh;
    auto pool = std::make_unique<TestPool>(new TestConfig(1), 2);
    std::atomic<int> clashes{0}, exhausted{0}, unexpected{0}, served{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
          TestObject* object = nullptr;
          const int code = codeOf([&] { object = pool->Acquire(pool->config, 30); });
          if (code == YX_ERR_POOL_BLOCKED) return;
          if (code == YX_ERR_FULL) ++exhausted;
          if (code != 0) {
            ++unexpected;
            continue;
          }
          if (object->holders.fetch_add(1) != 0) ++clashes;
          std::this_thread::yield();
          object->holders.fetch_sub(1);
          pool->Release(object);
          ++served;
        }
      });
    }
    if (shutMidway) {
      while (served.load() < kThreads) std::this_thread::yield();
      pool->Shut();
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(exhausted.load(), 0);
    EXPECT_EQ(unexpected.load(), exhausted.load());
    if (!shutMidway) {
      EXPECT_EQ(served.load(), kThreads * 20);
    }
    EXPECT_EQ(pool->Waiters(), 0);
    EXPECT_EQ(pool->usedCount, 0);
    EXPECT_LE(fresh.made.load(), 2);
    pool.reset();  // freed as soon as the last thread is done with it
    EXPECT_EQ(fresh.deleted.load(), fresh.made.load());
    counters = &counts;
  }
}

// Threads acquiring, holding, timing out and giving up on a small pool until
// it is shut: every object made is closed and deleted exactly once, none is
// held by two threads at once, and none is left stranded in use.
TEST_F(YXPoolTest, NoObjectIsLostOrSharedUnderContention) {
  constexpr int kThreads = 8;
  TestPool pool(new TestConfig(1), 3);
  std::atomic<int> clashes{0}, unexpected{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        TestObject* object = nullptr;
        int code = codeOf([&] { object = pool.Acquire(pool.config, 1); });
        if (code == YX_ERR_POOL_BLOCKED) return;
        if (code == YX_ERR_FULL) continue;
        if (code != 0) {
          ++unexpected;
          continue;
        }
        if (object->holders.fetch_add(1) != 0) ++clashes;
        // Now and then a long hold, so that waiters run out of time.
        if (t < 2 && i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        std::this_thread::yield();
        object->holders.fetch_sub(1);
        pool.Release(object);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  pool.Shut();
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(pool.Waiters(), 0);
  EXPECT_EQ(pool.usedCount, 0);
  EXPECT_EQ(pool.availableCount, 0);
  EXPECT_GT(counts.made.load(), 0);
  EXPECT_EQ(counts.closes.load(), counts.made.load());
  EXPECT_EQ(counts.deleted.load(), counts.made.load());
  EXPECT_TRUE(reports.empty());
}

}  // namespace
