// Buffers: growth figures, the front-drop read offset, locking and the spill
// collector.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nev.h"

namespace {

// A buffer with its mutex, released at the end of the test.
struct owned_buffer {
  nev_buffer b{};
  owned_buffer() {
    b.mutex = nev_mutex_create();
    nev_buffer_init(&b, 0, 0);
  }
  ~owned_buffer() {
    nev_buffer_free(&b);
    EXPECT_EQ(0, nev_mutex_close(b.mutex));
  }
  std::string text() const { return std::string(b.data, b.len); }
};

bool mutex_free_elsewhere(nev_mutex m) {
  bool got = false;
  std::thread t([&] {
    got = pthread_mutex_trylock(m) == 0;
    if (got) pthread_mutex_unlock(m);
  });
  t.join();
  return got;
}

TEST(NevBuffer, GrowthIsOneAndAHalfWithAtMost512Spare) {
  owned_buffer ob;
  ASSERT_EQ(100u, nev_buffer_append(&ob.b, std::string(100, 'x').data(), 100));
  EXPECT_EQ(150u, ob.b.size);

  owned_buffer big;
  nev_buffer_init(&big.b, 2000, 0);
  ASSERT_EQ(2000u, nev_buffer_append(&big.b, std::string(2000, 'y').data(), 2000));
  EXPECT_EQ(2000u, big.b.size);
  ASSERT_EQ(100u, nev_buffer_append(&big.b, std::string(100, 'z').data(), 100));
  EXPECT_EQ(2612u, big.b.size);
  EXPECT_EQ(std::string(2000, 'y') + std::string(100, 'z'), big.text());
}

TEST(NevBuffer, AppendZeroNullReserveAndInsert) {
  owned_buffer ob;
  EXPECT_EQ(0u, nev_buffer_append(&ob.b, "abc", 0));
  EXPECT_EQ(0u, ob.b.len);
  EXPECT_EQ(nullptr, ob.b.data);

  EXPECT_EQ(4u, nev_buffer_append(&ob.b, nullptr, 4));
  EXPECT_EQ(4u, ob.b.len);  // reserved bytes count in the length
  memcpy(ob.b.data, "wxyz", 4);
  EXPECT_EQ(2u, nev_buffer_insert(&ob.b, 0, "<<", 2));
  EXPECT_EQ(2u, nev_buffer_insert(&ob.b, 4, "--", 2));
  EXPECT_EQ(2u, nev_buffer_insert(&ob.b, ob.b.len, ">>", 2));
  EXPECT_EQ("<<wx--yz>>", ob.text());
}

TEST(NevBuffer, CountThatWouldOverflowAppendsNothingAndFreesTheMutex) {
  owned_buffer ob;
  nev_buffer_append(&ob.b, "abc", 3);
  size_t size = ob.b.size;
  EXPECT_EQ(0u, nev_buffer_append(&ob.b, nullptr, SIZE_MAX - 1));
  EXPECT_EQ("abc", ob.text());
  EXPECT_EQ(size, ob.b.size);
  EXPECT_TRUE(mutex_free_elsewhere(ob.b.mutex));
}

TEST(NevBuffer, DropFront) {
  owned_buffer ob;
  nev_buffer_append(&ob.b, "0123456789", 10);
  size_t size = ob.b.size;
  nev_buffer_drop_front(&ob.b, 0);
  nev_buffer_drop_front(&ob.b, 11);  // more than the length: unchanged
  EXPECT_EQ("0123456789", ob.text());
  nev_buffer_drop_front(&ob.b, 3);
  EXPECT_EQ("3456789", ob.text());
  EXPECT_LE(ob.b.len, ob.b.size);
  nev_buffer_drop_front(&ob.b, 7);  // everything: empty, capacity kept
  EXPECT_EQ(0u, ob.b.len);
  EXPECT_EQ(size, ob.b.size);
  EXPECT_EQ(5u, nev_buffer_append(&ob.b, "again", 5));
  EXPECT_EQ("again", ob.text());
  EXPECT_EQ(size, ob.b.size);
}

// Sending a large reply in small writes must not move the unsent rest each
// time: a small drop advances the read position in place.
TEST(NevBuffer, SmallDropsFromALargeBufferDoNotMoveTheRest) {
  owned_buffer ob;
  std::string reply(1 << 20, '\0');
  for (size_t i = 0; i < reply.size(); i++) reply[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_EQ(reply.size(), nev_buffer_append(&ob.b, reply.data(), reply.size()));

  size_t sent = 0;
  while (ob.b.len > 0) {
    size_t chunk = ob.b.len < 1460 ? ob.b.len : 1460;
    ASSERT_EQ(0, memcmp(ob.b.data, reply.data() + sent, chunk)) << "at " << sent;
    char *before = ob.b.data;
    size_t rest = ob.b.len - chunk;
    nev_buffer_drop_front(&ob.b, chunk);
    sent += chunk;
    if (rest > sent) {
      ASSERT_EQ(before + chunk, ob.b.data) << "rest moved at " << sent;
    }
    ASSERT_LE(ob.b.len, ob.b.size);
  }
  EXPECT_EQ(reply.size(), sent);
}

// Appends while bytes are being drained keep their order across the
// compaction and growth paths.
TEST(NevBuffer, InterleavedAppendAndDropKeepsTheByteStream) {
  owned_buffer ob;
  std::string expected, got;
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245 + 12345; };
  for (int round = 0; round < 3000; round++) {
    size_t n = next() % 700;
    std::string piece(n, '\0');
    for (auto &c : piece) c = static_cast<char>(next() >> 16);
    if (next() % 5 == 0 && ob.b.len > 0) {
      size_t at = next() % (ob.b.len + 1);  // insert into the unsent part
      nev_buffer_insert(&ob.b, at, piece.data(), n);
      expected.insert(got.size() + at, piece);
    } else {
      nev_buffer_append(&ob.b, piece.data(), n);
      expected += piece;
    }
    size_t drop = next() % 900;
    if (drop <= ob.b.len) {
      got.append(ob.b.data, drop);
      nev_buffer_drop_front(&ob.b, drop);
    }
    ASSERT_LE(ob.b.len, ob.b.size);
    if (next() % 50 == 0) nev_buffer_trim(&ob.b);
  }
  got.append(ob.b.data, ob.b.len);
  EXPECT_EQ(expected, got);
}

TEST(NevBuffer, ResizeTrimClearAndFree) {
  owned_buffer ob;
  nev_buffer_append(&ob.b, "abcdef", 6);
  nev_buffer_resize(&ob.b, 3, 0);  // below the length: nothing
  EXPECT_EQ(9u, ob.b.size);
  nev_buffer_resize(&ob.b, 100, 0);
  EXPECT_EQ(100u, ob.b.size);
  nev_buffer_trim(&ob.b);
  EXPECT_EQ(6u, ob.b.size);
  EXPECT_EQ("abcdef", ob.text());

  nev_buffer_drop_front(&ob.b, 1);
  nev_buffer_trim(&ob.b);
  EXPECT_EQ(5u, ob.b.size);
  EXPECT_EQ("bcdef", ob.text());

  nev_buffer_clear(&ob.b);
  EXPECT_EQ(0u, ob.b.len);
  EXPECT_GE(ob.b.size, 5u);
  nev_buffer_resize(&ob.b, 0, 0);  // empty: the block goes
  EXPECT_EQ(nullptr, ob.b.data);
  EXPECT_EQ(0u, ob.b.size);

  nev_mutex_lock(ob.b.mutex);
  nev_buffer_resize(&ob.b, 32, 1);  // the caller's lock is left alone
  EXPECT_EQ(32u, ob.b.size);
  nev_mutex_unlock(ob.b.mutex);
  EXPECT_TRUE(mutex_free_elsewhere(ob.b.mutex));

  nev_buffer_free(&ob.b);
  EXPECT_EQ(nullptr, ob.b.data);
  EXPECT_EQ(0u, ob.b.size);
  EXPECT_EQ(3u, nev_buffer_append(&ob.b, "xyz", 3));  // still usable
}

TEST(NevBuffer, AppendOwnedAdoptsOrCopies) {
  owned_buffer ob;
  char *block = static_cast<char *>(malloc(4));
  memcpy(block, "abcd", 4);
  EXPECT_EQ(4u, nev_buffer_append_owned(&ob.b, block, 4));
  EXPECT_EQ(block, ob.b.data);  // adopted without a copy
  EXPECT_EQ(4u, ob.b.size);

  char *more = static_cast<char *>(malloc(2));
  memcpy(more, "ef", 2);
  EXPECT_EQ(2u, nev_buffer_append_owned(&ob.b, more, 2));  // copied, block freed
  EXPECT_EQ("abcdef", ob.text());
}

TEST(NevBuffer, MoveHandsOverTheBytesAndFreesTheOldOnes) {
  owned_buffer from, to;
  nev_buffer_append(&from.b, "payload", 7);
  nev_buffer_append(&to.b, "stale", 5);
  nev_buffer_drop_front(&from.b, 1);
  nev_buffer_move(&from.b, &to.b);
  EXPECT_EQ("ayload", to.text());
  EXPECT_EQ(0u, from.b.len);
  EXPECT_EQ(nullptr, from.b.data);
  nev_buffer_append(&to.b, "!", 1);
  EXPECT_EQ("ayload!", to.text());
  nev_buffer_move(&to.b, &to.b);  // onto itself: nothing lost
  EXPECT_EQ("ayload!", to.text());
}

TEST(NevBuffer, RecursiveLockAndConcurrentWriters) {
  owned_buffer ob;
  nev_mutex_lock(ob.b.mutex);  // a packet writer holding the buffer
  nev_buffer_append(&ob.b, "hdr", 3);
  nev_mutex_unlock(ob.b.mutex);

  constexpr int kThreads = 4, kPieces = 2000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; t++) {
    writers.emplace_back([&, t] {
      char piece[8];
      for (int i = 0; i < kPieces; i++) {
        snprintf(piece, sizeof piece, "%c%05d", 'a' + t, i);
        nev_buffer_append(&ob.b, piece, 6);
      }
    });
  }
  std::string drained;
  std::thread reader([&] {
    size_t total = 3 + kThreads * kPieces * 6;
    while (drained.size() < total) {
      nev_mutex_guard lock(ob.b.mutex);
      size_t n = ob.b.len - ob.b.len % 6;  // whole pieces only (after "hdr")
      if (drained.empty() && ob.b.len >= 3) n = 3;
      if (n == 0) continue;
      drained.append(ob.b.data, n);
      nev_buffer_drop_front(&ob.b, n);
    }
  });
  for (auto &w : writers) w.join();
  reader.join();

  ASSERT_EQ("hdr", drained.substr(0, 3));
  std::vector<int> next(kThreads, 0);
  for (size_t at = 3; at < drained.size(); at += 6) {
    int t = drained[at] - 'a';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ASSERT_EQ(next[t]++, atoi(drained.substr(at + 1, 5).c_str())) << "writer " << t;
  }
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(kPieces, next[t]);
}

TEST(NevSpillBuffer, StaysFixedUntilFullThenSpills) {
  nev_spill_buffer sb{};
  sb.spill.mutex = nev_mutex_create();
  char fixed[4];
  nev_spill_init(&sb, fixed, sizeof fixed);
  for (char c : std::string("abcd")) EXPECT_EQ(1, nev_spill_push(&sb, c));
  EXPECT_EQ(0, nev_spill_overflowed(&sb));
  EXPECT_EQ(fixed, nev_spill_data(&sb, 0));
  EXPECT_EQ(1, nev_spill_push(&sb, 'e'));
  EXPECT_EQ(1, nev_spill_overflowed(&sb));
  EXPECT_EQ(5u, sb.len);
  char *data = nev_spill_data(&sb, 1);
  EXPECT_EQ("abcde", std::string(data, sb.len));
  EXPECT_EQ(5u, sb.spill.size);
  nev_spill_free(&sb);
  EXPECT_EQ(0u, sb.len);
  nev_mutex_close(sb.spill.mutex);
}

TEST(NevBase, MutexIsReentrantAndThreadsRun) {
  nev_mutex m = nev_mutex_create();
  nev_mutex_lock(m);
  nev_mutex_lock(m);
  nev_mutex_unlock(m);
  EXPECT_FALSE(mutex_free_elsewhere(m));
  nev_mutex_unlock(m);
  EXPECT_TRUE(mutex_free_elsewhere(m));
  EXPECT_EQ(0, nev_mutex_close(m));

  static std::atomic<int> ran{0};
  static int seven = 7;
  ASSERT_EQ(0, nev_thread_start(
                   [](void *arg) -> void * {
                     ran.store(*static_cast<int *>(arg));
                     return nullptr;
                   },
                   &seven));
  for (int i = 0; i < 500 && ran.load() == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(7, ran.load());
}

TEST(NevBaseDeath, FatalConditionsAbortWithTheirText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(nev_mutex_lock(nullptr), "mutex != NULL");
  EXPECT_DEATH(
      {
        nev_buffer b{};
        b.mutex = nev_mutex_create();
        nev_buffer_init(&b, 0, 0);
        nev_buffer_insert(&b, 1, "x", 1);
      },
      "off <= a->len");
}

}  // namespace
