// System helpers: error text, string copies, re-entrant mutexes, the timed
// shared lock and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "yxutil.h"

namespace {

TEST(YXAuxTest, DupStrCopiesIntoVOKTBlocks) {
  EXPECT_EQ(dupStr(nullptr), nullptr);
  char* empty = dupStr("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], '\0');
  VOKTFree(empty);
  char* copy = dupStr("MixedCase Text");
  yxStrToLower(copy);
  EXPECT_STREQ(copy, "mixedcase text");
  VOKTFree(copy);
  yxStrToLower(nullptr);
}

TEST(YXAuxTest, SysErrorTextAndFallback) {
  char buffer[YX_MSG_SIZE];
  yxSysErrorText(ENOENT, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, std::strerror(ENOENT));
  yxSysErrorText(123456, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "system error code 123456.");
  char small[8];
  yxSysErrorText(123456, small, sizeof small);
  EXPECT_STREQ(small, "system ");

  try {
    yxThrowSysError("yxTest", EACCES, "Couldn't open file", __FILE__, __LINE__);
    FAIL() << "no exception";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), EACCES);
    EXPECT_EQ(std::string(e.GetErrorMsg()), std::string("Couldn't open file - ") + std::strerror(EACCES));
  }
}

TEST(YXAuxTest, MutexIsReentrantByItsOwnerOnly) {
  YX_MUTEX mutex = yxMutexCreate();
  yxMutexLock(mutex);
  yxMutexLock(mutex);  // the owner takes it again without blocking
  auto otherCanTake = [&] {
    bool taken = false;
    std::thread([&] {
      taken = yxMutexTryLock(mutex);
      if (taken) yxMutexRelease(mutex);
    }).join();
    return taken;
  };
  EXPECT_FALSE(otherCanTake());
  EXPECT_EQ(yxMutexRelease(mutex), 0);
  EXPECT_FALSE(otherCanTake());  // still held once
  EXPECT_EQ(yxMutexRelease(mutex), 0);
  EXPECT_TRUE(otherCanTake());
  EXPECT_NE(yxMutexRelease(mutex), 0);  // not held: refused, nothing changes
  yxHandleClose(mutex);
}

TEST(YXAuxTest, ReadLockTimesOutAgainstAWriterAndWaitsForAShortOne) {
  YX_RWLOCK lock;
  yxRWLockInit(&lock);
  yxRWLockGetWrite(&lock);
  std::atomic<int> code{0};
  std::thread([&] {
    try {
      yxRWLockGetRead(&lock, 0);
    } catch (const YXException& e) {
      code = e.GetErrorCode();
      EXPECT_STREQ(e.GetErrorMsg(), "Couldn't acquire read lock - Timeout");
    }
  }).join();
  EXPECT_EQ(code.load(), YX_ERR_READ_LOCK_TIMEOUT);

  std::atomic<bool> gotIt{false};
  std::thread reader([&] {
    gotIt = yxRWLockGetRead(&lock, 3000);
    yxRWLockReleaseRead(&lock);
  });
  yxSleep(50);
  yxRWLockReleaseWrite(&lock);
  reader.join();
  EXPECT_TRUE(gotIt);

  // Readers share the lock.
  EXPECT_TRUE(yxRWLockGetRead(&lock, 0));
  std::thread([&] {
    EXPECT_TRUE(yxRWLockGetRead(&lock, 0));
    yxRWLockReleaseRead(&lock);
  }).join();
  yxRWLockReleaseRead(&lock);
  yxRWLockDestroy(&lock);
}

void workerLoop(void* param) {
  auto* data = static_cast<YX_THREAD_DATA*>(param);
  int expected = YX_THREAD_CREATED;
  data->state.compare_exchange_strong(expected, YX_THREAD_RUNNING);
  while (data->state.load() == YX_THREAD_RUNNING) yxSleep(1);
  data->code = 77;
  std::snprintf(data->message, sizeof data->message, "stopped on request");
  data->state.store(YX_THREAD_FAILED);
}

TEST(YXAuxTest, ThreadStopHandshakeThroughThreadData) {
  YX_THREAD_DATA* data = yxThreadDataCreate(YX_THREAD_CREATED, nullptr);
  EXPECT_EQ(data->code, 0);
  YX_THREAD thread = yxThrdCreate(workerLoop, data);
  while (data->state.load() == YX_THREAD_CREATED) yxSleep(1);
  data->state.store(YX_THREAD_STOP_REQUESTED);
  EXPECT_EQ(yxThrdJoin(thread), 0);
  EXPECT_EQ(data->state.load(), YX_THREAD_FAILED);
  EXPECT_EQ(data->code, 77);
  EXPECT_STREQ(data->message, "stopped on request");
  yxThreadDataFree(data);

  // A detached thread runs on by itself.
  std::atomic<int> ran{0};
  YX_THREAD detached = yxThrdCreate([](void* p) { static_cast<std::atomic<int>*>(p)->store(1); }, &ran);
  yxHandleClose(detached);
  while (ran.load() == 0) yxSleep(1);
}

}  // namespace
