// The engine's ground floor: fatal assertions, mutexes, threads and small
// process helpers. Nothing here allocates per connection or starts work of its
// own; everything may be called from any thread.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// Reports "Assertion failed: <text>, file <file>, line <n>" on standard error
// and aborts. The engine uses it for conditions it cannot survive (a mutex it
// cannot create, a corrupted buffer), never for bad input from peers.
[[noreturn]] void nev_fatal(const char *condition, const char *file, int line);

#define NEV_ASSERT(cond) NEV_ASSERT_TEXT(cond, #cond)
// The same with the text to report given explicitly.
#define NEV_ASSERT_TEXT(cond, text)                   \
  do {                                                \
    if (!(cond)) nev_fatal(text, __FILE__, __LINE__); \
  } while (0)

// A mutex that its owning thread may take again (every acquisition is matched
// by one release). The handle is a heap object: create it before the first use
// and close it after the last.
typedef pthread_mutex_t *nev_mutex;

// Returns a new unlocked recursive mutex; failure is fatal ("mutex != NULL").
nev_mutex nev_mutex_create(void);
// Destroys and frees the mutex; returns 0, or the pthread error when it was
// still locked (it is then left allocated, so nothing is freed under a holder).
// A NULL handle returns 0.
int nev_mutex_close(nev_mutex mutex);
// Waits without limit; a failed wait is fatal ("retval == 0").
void nev_mutex_lock(nev_mutex mutex);
// Releases one acquisition; a failed release is fatal ("retval != 0").
void nev_mutex_unlock(nev_mutex mutex);

// Holds a nev_mutex for its scope, so every return path releases it.
class nev_mutex_guard {
 public:
  explicit nev_mutex_guard(nev_mutex mutex) : mutex_(mutex) { nev_mutex_lock(mutex_); }
  ~nev_mutex_guard() { nev_mutex_unlock(mutex_); }
  nev_mutex_guard(const nev_mutex_guard &) = delete;
  nev_mutex_guard &operator=(const nev_mutex_guard &) = delete;

 private:
  nev_mutex mutex_;
};

// Reader/writer lock, writers preferred. A failed lock or unlock is fatal.
pthread_rwlock_t *nev_srwlock_new(void);  // NULL when memory runs out
void nev_srwlock_free(pthread_rwlock_t *lock);
void nev_srwlock_lock_exclusive(pthread_rwlock_t *lock);
void nev_srwlock_unlock_exclusive(pthread_rwlock_t *lock);
void nev_srwlock_lock_shared(pthread_rwlock_t *lock);
void nev_srwlock_unlock_shared(pthread_rwlock_t *lock);

enum class nev_rwlock_mode { shared, exclusive };

// Holds a reader/writer lock for its scope, shared or exclusive, so a return
// or an exception releases it. A null lock holds nothing (managers without a
// dispatch lock). unlock() releases early; the destructor then does nothing.
class nev_rwlock_guard {
 public:
  nev_rwlock_guard(pthread_rwlock_t *lock, nev_rwlock_mode mode) : lock_(lock), mode_(mode) {
    if (lock_ == nullptr) return;
    if (mode_ == nev_rwlock_mode::exclusive)
      nev_srwlock_lock_exclusive(lock_);
    else
      nev_srwlock_lock_shared(lock_);
  }
  ~nev_rwlock_guard() { unlock(); }
  nev_rwlock_guard(const nev_rwlock_guard &) = delete;
  nev_rwlock_guard &operator=(const nev_rwlock_guard &) = delete;

  void unlock() {
    if (lock_ == nullptr) return;
    if (mode_ == nev_rwlock_mode::exclusive)
      nev_srwlock_unlock_exclusive(lock_);
    else
      nev_srwlock_unlock_shared(lock_);
    lock_ = nullptr;
  }

 private:
  pthread_rwlock_t *lock_;
  nev_rwlock_mode mode_;
};

// Sleeps n seconds; returns 0.
int nev_sleep_seconds(unsigned n);

typedef void *(*nev_thread_fn)(void *arg);
// Starts a detached thread with the default stack size running fn(arg).
// Returns 0, or the pthread error code when the thread could not start.
int nev_thread_start(nev_thread_fn fn, void *arg);

// Marks a descriptor close-on-exec, so CGI children do not inherit it.
// Returns 0, or -1 with errno set.
int nev_set_non_inheritable(int fd);
