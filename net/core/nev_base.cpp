#include "nev_base.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

void nev_fatal(const char *condition, const char *file, int line) {
  fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
  fflush(stderr);
  abort();
}

nev_mutex nev_mutex_create(void) {
  auto *mutex = new (std::nothrow) pthread_mutex_t;
  NEV_ASSERT(mutex != NULL);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int retval = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (retval != 0) {
    delete mutex;
    mutex = NULL;
  }
  NEV_ASSERT(mutex != NULL);
  return mutex;
}

int nev_mutex_close(nev_mutex mutex) {
  if (mutex == NULL) return 0;
  int retval = pthread_mutex_destroy(mutex);
  if (retval == 0) delete mutex;
  return retval;
}

void nev_mutex_lock(nev_mutex mutex) {
  NEV_ASSERT(mutex != NULL);
  int retval = pthread_mutex_lock(mutex);
  NEV_ASSERT(retval == 0);
}

void nev_mutex_unlock(nev_mutex mutex) {
  NEV_ASSERT(mutex != NULL);
  // The release succeeded when pthread reports 0; the assertion text keeps the
  // wording of the engine's other release checks.
  int retval = pthread_mutex_unlock(mutex) == 0;
  NEV_ASSERT(retval != 0);
}

int nev_sleep_seconds(unsigned n) {
  unsigned left = n;
  while (left > 0) left = sleep(left);
  return 0;
}

int nev_thread_start(nev_thread_fn fn, void *arg) {
  pthread_t thread;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int retval = pthread_create(&thread, &attr, fn, arg);
  pthread_attr_destroy(&attr);
  return retval;
}

int nev_set_non_inheritable(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0 ? -1 : 0;
}
