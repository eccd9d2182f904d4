// System helpers of the utility library: error codes and text, string copies,
// re-entrant mutexes, reader/writer locks with a timed shared acquisition,
// threads, the tick clock, and the record shared with worker threads.
// Included through yxutil.h; other folders include only yxutil.h.
//
// Failures are YXException values of kind 0 (YX_KIND_SYSTEM); no helper holds
// a lock when it throws. Every helper may be called from any thread.
#ifndef YXAUX_H
#define YXAUX_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "VOKTBasic.h"

// ---------------------------------------------------------------------------
// Codes and buffers
// ---------------------------------------------------------------------------
constexpr int YX_ERR_NOT_FOUND = 100;           // key, index or object not found
constexpr int YX_ERR_ALLOC = 8001;              // allocation failed
constexpr int YX_ERR_POOL_BLOCKED = 8002;       // pool (or configuration) blocked
constexpr int YX_ERR_POOL_IN_USE = 8003;        // pool still has objects in use
constexpr int YX_ERR_FULL = 8004;               // pool exhausted, queue or store full
constexpr int YX_ERR_READ_LOCK_TIMEOUT = 9009;  // yxRWLockGetRead timed out
constexpr int YX_MSG_SIZE = 1024;               // size of every message buffer

// Throws a YXException carrying this source position.
#define YX_THROW(function, kind, code, message) \
  throw YXException((function), (kind), (code), (message), __FILE__, __LINE__)

// ---------------------------------------------------------------------------
// Error text and error reporting
// ---------------------------------------------------------------------------

// Writes the system's text for an errno value into buffer (at most size bytes,
// always terminated when size > 0), without a trailing "\r\n" or "\n". When
// the system has no text: "system error code %d.". Never fails.
void yxSysErrorText(unsigned code, char* buffer, size_t size);

// Formats "<prefix> - <system text of code>" into a YX_MSG_SIZE buffer and
// throws it as function/kind 0/code. Used by the helpers that wrap a failed
// system call; exposed so deliverables report their own system failures the
// same way.
[[noreturn]] void yxThrowSysError(const char* function, int code, const char* prefix, const char* file, int line);

// Where the utility library reports failures it cannot throw (a pool destroyed
// while objects are still in use). The default writes "message (code)" to
// standard error. A deliverable routes it to its own log; the reporter must
// not throw. Passing null restores the default.
typedef void (*YXErrorReporter)(const char* message, int code);
void yxSetErrorReporter(YXErrorReporter reporter);
void yxReportError(const char* message, int code) noexcept;

// The utility library's boundary where it calls out to code of a deliverable
// and cannot let an exception pass (releases, clean-ups): runs body(); an
// exception it throws is reported once through yxReportError as
// "<where> - <message>" (with a YXException's code, else -1).
void yxReportCallOutFailure(const char* where, const char* message, int code) noexcept;
template <class Body>
void yxCallOut(const char* where, Body&& body) noexcept {
  try {
    body();
  } catch (const YXException& e) {
    yxReportCallOutFailure(where, e.GetErrorMsg(), e.GetErrorCode());
  } catch (const std::exception& e) {
    yxReportCallOutFailure(where, e.what(), -1);
  } catch (...) {
    yxReportCallOutFailure(where, "unknown exception", -1);
  }
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

// A copy of text in a VOKTAlloc block of strlen + 1 bytes, or null for null.
// The caller frees it with VOKTFree (in any deliverable). Out of memory:
// throws "dupStr", kind 0, 8001, "Couldn't allocate string buffer".
char* dupStr(const char* text);
// dupStr of each text into its target, all or none: when a copy fails, the
// copies made are freed, the targets stay untouched and the exception passes.
void dupStrAll(std::initializer_list<std::pair<char**, const char*>> copies);
// Lower-cases text in place, byte by byte (tolower); null is ignored.
void yxStrToLower(char* text);

// ---------------------------------------------------------------------------
// Mutexes: re-entrant by their owner (a thread holding one may take it again
// and must release it as often as it took it).
// ---------------------------------------------------------------------------
typedef pthread_mutex_t* YX_MUTEX;

// A new mutex nobody owns. Failure: "yxMutexCreate", kind 0, the errno as
// code, "Couldn't create mutex - <system text>".
YX_MUTEX yxMutexCreate();
// Takes the mutex, waiting without limit. Null is ignored.
void yxMutexLock(YX_MUTEX mutex);
// Takes the mutex when free (or already owned); true when taken.
bool yxMutexTryLock(YX_MUTEX mutex);
// Releases one hold; returns 0 or the errno of the call (EPERM when the
// calling thread does not own it, which changes nothing).
int yxMutexRelease(YX_MUTEX mutex);
// Destroys the mutex; nobody may hold or wait for it. Null is ignored.
void yxHandleClose(YX_MUTEX mutex);

// Holds a mutex for a scope.
class YXMutexLock {
 public:
  explicit YXMutexLock(YX_MUTEX mutex) : mutex_(mutex) { yxMutexLock(mutex_); }
  ~YXMutexLock() { yxMutexRelease(mutex_); }
  YXMutexLock(const YXMutexLock&) = delete;
  YXMutexLock& operator=(const YXMutexLock&) = delete;

 private:
  YX_MUTEX mutex_;
};

// ---------------------------------------------------------------------------
// Reader/writer locks (writers preferred, so a steady stream of readers does
// not starve a writer). Not re-entrant: a thread never takes a lock it holds.
// ---------------------------------------------------------------------------
typedef pthread_rwlock_t YX_RWLOCK;

// Initialises a lock in place. Failure: "yxRWLockInit", kind 0, errno.
void yxRWLockInit(YX_RWLOCK* lock);
// Destroys a lock nobody holds.
void yxRWLockDestroy(YX_RWLOCK* lock);
// Takes the lock shared: tries, and while it fails and the time-out left is
// still 0 or more after taking 10 ms off, sleeps 10 ms and tries again
// (timeoutMs / 10 + 1 tries; 0 to 9 ms give one). Returns true; on expiry
// throws "yxRWLockGetRead", kind 0, 9009, "Couldn't acquire read lock - Timeout".
bool yxRWLockGetRead(YX_RWLOCK* lock, int timeoutMs);
// Takes the lock exclusively, waiting without limit.
void yxRWLockGetWrite(YX_RWLOCK* lock);
void yxRWLockReleaseRead(YX_RWLOCK* lock);
void yxRWLockReleaseWrite(YX_RWLOCK* lock);

// The same lock as an owner for std::shared_lock and std::lock_guard: shared
// takers wait without limit (no retry sleeps), and a waiting writer still
// stops new readers. For a lock that many threads take shared on every
// request and a writer rarely needs.
class YXSharedMutex {
 public:
  YXSharedMutex() { yxRWLockInit(&lock_); }
  ~YXSharedMutex() { yxRWLockDestroy(&lock_); }
  YXSharedMutex(const YXSharedMutex&) = delete;
  YXSharedMutex& operator=(const YXSharedMutex&) = delete;
  void lock() { yxRWLockGetWrite(&lock_); }
  void unlock() { yxRWLockReleaseWrite(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { yxRWLockReleaseRead(&lock_); }

 private:
  YX_RWLOCK lock_;
};

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
struct YXThread;
typedef YXThread* YX_THREAD;
typedef void (*YXThreadStart)(void* param);

// Starts start(param) on a new thread with the default stack size. The start
// routine must not let an exception escape. Failure: "yxThrdCreate", kind 0,
// the errno as code, "Couldn't create thread - <system text>".
YX_THREAD yxThrdCreate(YXThreadStart start, void* param);
// Waits until the thread has returned, then frees the handle. Use it where
// the owner must know the thread's code is gone (before unloading a library).
// Returns 0 or the errno of the wait (the handle is freed either way).
int yxThrdJoin(YX_THREAD thread);
// Lets the thread run on by itself (detached) and frees the handle; null is
// ignored.
void yxHandleClose(YX_THREAD thread);

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------

// Milliseconds of a monotonic clock (never goes back; unrelated to the date).
uint64_t yxTickCount64();
// Sleeps ms milliseconds (nothing for 0 or less).
void yxSleep(int ms);

// ---------------------------------------------------------------------------
// Worker-thread record
// ---------------------------------------------------------------------------

// Values of YX_THREAD_DATA::state.
enum YXThreadState {
  YX_THREAD_CREATED = 0,         // not running yet (or waiting for its link)
  YX_THREAD_RUNNING = 1,         // loops while the state is 1
  YX_THREAD_STOP_REQUESTED = 2,  // set by the owner, who then waits for 3 or 4
  YX_THREAD_ENDED = 3,           // set by the thread as its last act
  YX_THREAD_FAILED = 4,          // ended with an error in code and message
  YX_THREAD_PUBLISH_NOW = 5      // statistics publisher only: publish at once
};

// The start parameter of a worker thread. The thread and its owner read and
// write state at the same time, hence the atomic; code and message are written
// by the thread before it stores 4 and read by the owner after it sees 4.
struct YX_THREAD_DATA {
  int32_t code = 0;
  char message[YX_MSG_SIZE] = {};
  std::atomic<int32_t> state{YX_THREAD_CREATED};
  void* owner = nullptr;
};

// A zero-filled record in a VOKTAlloc block with the given state and owner.
// Out of memory: "yxThreadDataCreate", kind 0, 8001.
YX_THREAD_DATA* yxThreadDataCreate(int32_t state, void* owner);
// Frees a record of yxThreadDataCreate; null is ignored.
void yxThreadDataFree(YX_THREAD_DATA* data);

#endif  // YXAUX_H
