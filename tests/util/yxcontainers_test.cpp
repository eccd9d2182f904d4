// The sorted tables, the list, the queue and the parameter store, alone and
// under several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "yxutil.h"

namespace {

// A value that counts its destructions, so ownership mistakes show.
struct Tracked {
  explicit Tracked(int v, std::atomic<int>* deaths = nullptr) : value(v), deaths(deaths) {}
  virtual ~Tracked() {
    if (deaths) ++*deaths;
  }
  int value;
  std::atomic<int>* deaths;
};

template <class Table>
std::vector<std::string> keysOf(Table& table) {
  std::vector<std::string> keys;
  table.Lock();
  for (int i = 0; i < table.count; ++i) keys.emplace_back(table.items[i]->key);
  table.Unlock();
  return keys;
}

bool threadCanLock(YX_MUTEX mutex) {
  bool taken = false;
  std::thread([&] {
    taken = yxMutexTryLock(mutex);
    if (taken) yxMutexRelease(mutex);
  }).join();
  return taken;
}

TEST(YXHashTableTest, KeepsKeysSortedCaseSensitive) {
  YXHashTable<Tracked> table(100);
  for (const char* key : {"b", "a", "c", "B", "ab"}) ASSERT_TRUE(table.Add(key, new Tracked(0)));
  EXPECT_EQ(keysOf(table), (std::vector<std::string>{"B", "a", "ab", "b", "c"}));
  EXPECT_STREQ(table.GetFirstKey(), "B");
  EXPECT_NE(table.Get("a"), table.Get("ab"));
  EXPECT_EQ(table.Get("A"), nullptr);
  EXPECT_EQ(table.Get(nullptr), nullptr);
}

TEST(YXHashTableTest, DuplicateKeyKeepsFirstValueAndHandsTheSecondBack) {
  std::atomic<int> deaths{0};
  {
    YXHashTable<Tracked> table(100);
    auto* first = new Tracked(1, &deaths);
    auto* second = new Tracked(2, &deaths);
    ASSERT_TRUE(table.Add("a", first));
    EXPECT_FALSE(table.Add("a", second));  // not taken: still ours
    EXPECT_EQ(table.Get("a"), first);
    EXPECT_EQ(table.count, 1);
    EXPECT_EQ(deaths.load(), 0);
    delete second;
    EXPECT_FALSE(table.Add(nullptr, first));
  }
  EXPECT_EQ(deaths.load(), 2);  // the table deleted the first one it owned
}

TEST(YXHashTableTest, GrowsByHundredAndKeepsEveryItem) {
  YXHashTable<Tracked> table(100);
  for (int i = 0; i < 101; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%03d", 100 - i);  // descending: worst case insert
    ASSERT_TRUE(table.Add(key, new Tracked(100 - i)));
  }
  EXPECT_EQ(table.capacity, 200);
  EXPECT_EQ(table.count, 101);
  for (int i = 0; i <= 100; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%03d", i);
    ASSERT_NE(table.Get(key), nullptr) << key;
    EXPECT_EQ(table.Get(key)->value, i);
  }
  YXHashTable<Tracked> fromZero(0);  // a zero capacity grows on the first Add
  EXPECT_TRUE(fromZero.Add("x", new Tracked(0)));
  EXPECT_EQ(fromZero.capacity, 100);
}

TEST(YXHashTableTest, RemoveAbsentThrowsAndReleasesTheMutex) {
  YXHashTable<Tracked> table(100);
  ASSERT_TRUE(table.Add("a", new Tracked(1)));
  try {
    table.Remove("zz");
    FAIL() << "no exception";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), YX_ERR_NOT_FOUND);
    EXPECT_STREQ(e.GetErrorMsg(), "Key not found");
    EXPECT_STREQ(e.GetFunction(), "YXHashTable::Remove");
  }
  EXPECT_TRUE(threadCanLock(table.mutex));
  EXPECT_EQ(table.count, 1);
}

TEST(YXHashTableTest, RemoveKeepsCursorInsideAndHonoursOwnership) {
  std::atomic<int> deaths{0};
  YXHashTable<Tracked> table(100);
  auto* kept = new Tracked(3, &deaths);
  ASSERT_TRUE(table.Add("a", new Tracked(1, &deaths)));
  ASSERT_TRUE(table.Add("b", new Tracked(2, &deaths)));
  ASSERT_TRUE(table.Add("c", kept));
  EXPECT_EQ(table.GetFirst()->value, 1);
  EXPECT_EQ(table.GetNext()->value, 2);
  EXPECT_EQ(table.GetNext()->value, 3);
  EXPECT_EQ(table.GetNext(), nullptr);
  EXPECT_EQ(table.cursor, 2);

  table.Remove("c", false);  // the caller keeps the value
  EXPECT_EQ(table.cursor, 1);
  EXPECT_EQ(deaths.load(), 0);
  delete kept;
  table.Remove("b");
  table.Remove("a");
  EXPECT_EQ(table.cursor, 0);
  EXPECT_EQ(table.count, 0);
  EXPECT_EQ(deaths.load(), 3);
  EXPECT_EQ(table.GetFirst(), nullptr);

  YXHashTable<Tracked> borrowed(100);
  borrowed.ownsValues = 0;
  Tracked onStack(9, &deaths);
  ASSERT_TRUE(borrowed.Add("x", &onStack));
  borrowed.Clear();
  EXPECT_EQ(borrowed.count, 0);
  EXPECT_EQ(deaths.load(), 3);
}

TEST(YXHashTableTest, WalkerMayCallOperationsWhileHoldingTheMutex) {
  YXHashTable<Tracked> table(100);
  for (const char* key : {"a", "b", "c", "d"}) ASSERT_TRUE(table.Add(key, new Tracked(0)));
  table.Lock();
  table.walking = 1;
  for (int i = table.count - 1; i >= 0; --i)
    if (i % 2 == 1) table.Remove(table.items[i]->key);  // re-entrant: no deadlock
  table.walking = 0;
  table.Unlock();
  EXPECT_EQ(keysOf(table), (std::vector<std::string>{"a", "c"}));
}

TEST(YXHashTableTest, ConcurrentAddGetRemoveStaySorted) {
  YXHashTable<Tracked> table(100);
  constexpr int kThreads = 6;
  constexpr int kKeys = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&table, t] {
      for (int i = 0; i < kKeys; ++i) {
        std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        ASSERT_TRUE(table.Add(key.c_str(), new Tracked(i)));
        ASSERT_NE(table.Get(key.c_str()), nullptr);
        if (i % 3 == 0) table.Remove(key.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> keys = keysOf(table);
  EXPECT_EQ(static_cast<int>(keys.size()), kThreads * (kKeys - kKeys / 3));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_TRUE(std::adjacent_find(keys.begin(), keys.end()) == keys.end());
}

TEST(YXHashIntTableTest, SignedOrderAndReplacement) {
  std::atomic<int> deaths{0};
  YXHashIntTable<Tracked> table(2);
  for (int key : {7, -3, 100000, 0}) table.Add(key, new Tracked(key, &deaths));
  std::vector<int> keys;
  for (int i = 0; i < table.count; ++i) keys.push_back(table.items[i]->key);
  EXPECT_EQ(keys, (std::vector<int>{-3, 0, 7, 100000}));
  EXPECT_EQ(table.capacity, 102);

  auto* second = new Tracked(70, &deaths);
  table.Add(7, second);  // replaces: the first value is deleted
  EXPECT_EQ(deaths.load(), 1);
  EXPECT_EQ(table.Get(7), second);
  EXPECT_EQ(table.count, 4);
  table.Add(7, second);  // the same value again must survive
  EXPECT_EQ(deaths.load(), 1);
  EXPECT_EQ(table.Get(7)->value, 70);

  try {
    table.Remove(8);
    FAIL() << "no exception";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), YX_ERR_NOT_FOUND);
    EXPECT_STREQ(e.GetFunction(), "YXHashIntTable::Remove");
  }
}

TEST(YXListTest, IndexErrorsGrowthAndOwnership) {
  std::atomic<int> deaths{0};
  {
    YXList<Tracked> list;
    EXPECT_EQ(list.capacity, 100);
    std::vector<Tracked*> added;
    for (int i = 0; i < 101; ++i) {
      added.push_back(new Tracked(i, &deaths));
      list.Add(added.back());
    }
    EXPECT_EQ(list.capacity, 200);
    EXPECT_EQ(list.Get(100)->value, 100);

    struct Case {
      int index;
      const char* message;
    } bad[] = {{-1, "Invalid index"}, {101, "Invalid index"}};
    for (const Case& c : bad) {
      try {
        list.Get(c.index);
        ADD_FAILURE() << c.index;
      } catch (const YXException& e) {
        EXPECT_EQ(e.GetErrorCode(), YX_ERR_NOT_FOUND);
        EXPECT_STREQ(e.GetErrorMsg(), c.message);
      }
    }
    list.Remove(0);  // removed, not deleted
    list.Remove(added[50]);
    EXPECT_EQ(list.count, 99);
    EXPECT_EQ(list.Get(0)->value, 1);
    EXPECT_EQ(deaths.load(), 0);
    try {
      list.Remove(added[50]);
      ADD_FAILURE();
    } catch (const YXException& e) {
      EXPECT_STREQ(e.GetErrorMsg(), "Object not found");
    }
    EXPECT_TRUE(threadCanLock(list.mutex));
    delete added[0];
    delete added[50];
  }
  EXPECT_EQ(deaths.load(), 101);
}

TEST(YXListTest, WalkHoldsTheMutexUntilUnlock) {
  YXList<Tracked> list;
  for (int i = 0; i < 3; ++i) list.Add(new Tracked(i));
  std::vector<int> seen;
  for (Tracked* item = list.GetFirst(); item; item = list.GetNext()) {
    seen.push_back(item->value);
    EXPECT_FALSE(threadCanLock(list.mutex));
  }
  list.Unlock();
  EXPECT_TRUE(threadCanLock(list.mutex));
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));

  YXList<Tracked> empty;
  EXPECT_EQ(empty.GetFirst(), nullptr);
  empty.Unlock();
  EXPECT_TRUE(threadCanLock(empty.mutex));
}

TEST(YXQueueTest, FullRingAndWrapAround) {
  YXQueue queue(2);
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(queue.Push(&a), 0);
  EXPECT_EQ(queue.Push(&b), 0);
  EXPECT_EQ(queue.Push(&c), YX_ERR_FULL);
  EXPECT_EQ(queue.count, 2);
  EXPECT_EQ(queue.Pull(), &a);
  EXPECT_EQ(queue.Push(&c), 0);
  EXPECT_EQ(queue.writeIndex, 1);
  EXPECT_EQ(queue.Pull(), &b);
  EXPECT_EQ(queue.Pull(), &c);
  EXPECT_EQ(queue.Pull(), nullptr);
  EXPECT_THROW(YXQueue(0), YXException);
}

TEST(YXQueueTest, ProducersAndConsumersLoseNothing) {
  YXQueue queue(16);
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  std::vector<intptr_t> values(kProducers * kPerProducer);
  std::atomic<long long> pulledSum{0};
  std::atomic<int> pulled{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        intptr_t value = p * kPerProducer + i + 1;
        while (queue.Push(reinterpret_cast<void*>(value)) == YX_ERR_FULL) std::this_thread::yield();
      }
    });
  }
  for (int c = 0; c < 3; ++c) {
    threads.emplace_back([&] {
      while (pulled.load() < kProducers * kPerProducer) {
        void* value = queue.Pull();
        if (!value) {
          std::this_thread::yield();
          continue;
        }
        pulledSum += reinterpret_cast<intptr_t>(value);
        ++pulled;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  long long n = kProducers * kPerProducer;
  EXPECT_EQ(pulledSum.load(), n * (n + 1) / 2);
  EXPECT_EQ(queue.count, 0);
}

TEST(YXParamHashTest, SixtyThreeKeysAtMost) {
  YXParamHash store;
  store.Add("key", nullptr);
  EXPECT_STREQ(store.Find("key"), "");
  store.Add("key", "value");
  EXPECT_STREQ(store.Find("key"), "value");
  EXPECT_EQ(store.Find("KEY"), nullptr);
  EXPECT_EQ(store.Find(nullptr), nullptr);
  for (int i = 1; i < 63; ++i) store.Add(("k" + std::to_string(i)).c_str(), "v");
  EXPECT_EQ(store.count, 63);
  for (const char* key : {"k64", "key"}) {  // a full store refuses a replacement too
    try {
      store.Add(key, "x");
      ADD_FAILURE() << key;
    } catch (const YXException& e) {
      EXPECT_EQ(e.GetErrorCode(), YX_ERR_FULL);
    }
  }
  EXPECT_STREQ(store.Find("key"), "value");
}

}  // namespace
