// System helpers: error text, string copies, mutexes, reader/writer locks,
// threads and the tick clock over POSIX.
#include "yxaux.h"

#include <time.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

void defaultReporter(const char* message, int code) { std::fprintf(stderr, "%s (%d)\n", message ? message : "", code); }

std::atomic<YXErrorReporter> errorReporter{defaultReporter};

// glibc answers unknown numbers with "Unknown error N" instead of failing.
bool isUnknownErrorText(const char* text) { return !text || !*text || std::strncmp(text, "Unknown error", 13) == 0; }

void stripLineEnd(char* text) {
  size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
  if (length > 0 && text[length - 1] == '\r') text[--length] = '\0';
}

}  // namespace

void yxSysErrorText(unsigned code, char* buffer, size_t size) {
  if (!buffer || size == 0) return;
  char scratch[YX_MSG_SIZE];
  const char* text = strerror_r(static_cast<int>(code), scratch, sizeof scratch);
  if (isUnknownErrorText(text))
    std::snprintf(buffer, size, "system error code %d.", static_cast<int>(code));
  else
    std::snprintf(buffer, size, "%s", text);
  stripLineEnd(buffer);
}

void yxThrowSysError(const char* function, int code, const char* prefix, const char* file, int line) {
  char message[YX_MSG_SIZE];
  int used = std::snprintf(message, sizeof message, "%s - ", prefix ? prefix : "");
  if (used < 0) used = 0;
  if (used < static_cast<int>(sizeof message))
    yxSysErrorText(static_cast<unsigned>(code), message + used, sizeof message - used);
  throw YXException(function, YX_KIND_SYSTEM, code, message, file, line);
}

void yxSetErrorReporter(YXErrorReporter reporter) { errorReporter.store(reporter ? reporter : defaultReporter); }

void yxReportError(const char* message, int code) noexcept { errorReporter.load()(message, code); }

void yxReportCallOutFailure(const char* where, const char* message, int code) noexcept {
  char text[YX_MSG_SIZE];
  snprintf(text, sizeof text, "%s - %s", where, message);
  yxReportError(text, code);
}

void dupStrAll(std::initializer_list<std::pair<char**, const char*>> copies) {
  std::vector<VOKTText> made;
  made.reserve(copies.size());
  for (const auto& copy : copies) made.emplace_back(dupStr(copy.second));
  size_t i = 0;
  for (const auto& copy : copies) *copy.first = made[i++].release();
}

char* dupStr(const char* text) {
  if (!text) return nullptr;
  size_t length = std::strlen(text);
  char* copy =
      length < static_cast<size_t>(INT_MAX) ? static_cast<char*>(VOKTAlloc(static_cast<int>(length + 1))) : nullptr;
  if (!copy) YX_THROW("dupStr", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate string buffer");
  std::memcpy(copy, text, length + 1);
  return copy;
}

void yxStrToLower(char* text) {
  if (!text) return;
  for (; *text; ++text) *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

YX_MUTEX yxMutexCreate() {
  pthread_mutexattr_t attributes;
  int rc = pthread_mutexattr_init(&attributes);
  if (rc != 0) yxThrowSysError("yxMutexCreate", rc, "Couldn't create mutex", __FILE__, __LINE__);
  rc = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  YX_MUTEX mutex = rc == 0 ? new (std::nothrow) pthread_mutex_t : nullptr;
  if (rc == 0 && !mutex) rc = ENOMEM;
  if (rc == 0) rc = pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) {
    delete mutex;
    yxThrowSysError("yxMutexCreate", rc, "Couldn't create mutex", __FILE__, __LINE__);
  }
  return mutex;
}

void yxMutexLock(YX_MUTEX mutex) {
  if (mutex) pthread_mutex_lock(mutex);
}

bool yxMutexTryLock(YX_MUTEX mutex) { return mutex && pthread_mutex_trylock(mutex) == 0; }

int yxMutexRelease(YX_MUTEX mutex) { return mutex ? pthread_mutex_unlock(mutex) : EINVAL; }

void yxHandleClose(YX_MUTEX mutex) {
  if (!mutex) return;
  pthread_mutex_destroy(mutex);
  delete mutex;
}

void yxRWLockInit(YX_RWLOCK* lock) {
  pthread_rwlockattr_t attributes;
  int rc = pthread_rwlockattr_init(&attributes);
  if (rc == 0) {
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    rc = pthread_rwlock_init(lock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }
  if (rc != 0) yxThrowSysError("yxRWLockInit", rc, "Couldn't create lock", __FILE__, __LINE__);
}

void yxRWLockDestroy(YX_RWLOCK* lock) { pthread_rwlock_destroy(lock); }

bool yxRWLockGetRead(YX_RWLOCK* lock, int timeoutMs) {
  for (int left = timeoutMs;;) {
    if (pthread_rwlock_tryrdlock(lock) == 0) return true;
    left -= 10;
    if (left < 0)
      YX_THROW("yxRWLockGetRead", YX_KIND_SYSTEM, YX_ERR_READ_LOCK_TIMEOUT, "Couldn't acquire read lock - Timeout");
    yxSleep(10);
  }
}

void yxRWLockGetWrite(YX_RWLOCK* lock) { pthread_rwlock_wrlock(lock); }
void yxRWLockReleaseRead(YX_RWLOCK* lock) { pthread_rwlock_unlock(lock); }
void yxRWLockReleaseWrite(YX_RWLOCK* lock) { pthread_rwlock_unlock(lock); }

struct YXThread {
  pthread_t id;
};

namespace {

struct ThreadStart {
  YXThreadStart start;
  void* param;
};

void* runThread(void* record) {
  ThreadStart begin = *static_cast<ThreadStart*>(record);
  delete static_cast<ThreadStart*>(record);
  begin.start(begin.param);
  return nullptr;
}

}  // namespace

YX_THREAD yxThrdCreate(YXThreadStart start, void* param) {
  YX_THREAD thread = new (std::nothrow) YXThread;
  ThreadStart* record = new (std::nothrow) ThreadStart{start, param};
  int rc = (thread && record) ? 0 : ENOMEM;
  if (rc == 0) rc = pthread_create(&thread->id, nullptr, runThread, record);
  if (rc != 0) {
    delete record;
    delete thread;
    yxThrowSysError("yxThrdCreate", rc, "Couldn't create thread", __FILE__, __LINE__);
  }
  return thread;
}

int yxThrdJoin(YX_THREAD thread) {
  if (!thread) return EINVAL;
  int rc = pthread_join(thread->id, nullptr);
  if (rc != 0) pthread_detach(thread->id);
  delete thread;
  return rc;
}

void yxHandleClose(YX_THREAD thread) {
  if (!thread) return;
  pthread_detach(thread->id);
  delete thread;
}

uint64_t yxTickCount64() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void yxSleep(int ms) {
  if (ms <= 0) return;
  struct timespec wait = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

YX_THREAD_DATA* yxThreadDataCreate(int32_t state, void* owner) {
  void* block = VOKTAlloc(static_cast<int>(sizeof(YX_THREAD_DATA)));
  if (!block) YX_THROW("yxThreadDataCreate", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate thread data");
  std::memset(block, 0, sizeof(YX_THREAD_DATA));
  YX_THREAD_DATA* data = new (block) YX_THREAD_DATA;
  data->state.store(state);
  data->owner = owner;
  return data;
}

void yxThreadDataFree(YX_THREAD_DATA* data) {
  if (!data) return;
  data->~YX_THREAD_DATA();
  VOKTFree(data);
}
