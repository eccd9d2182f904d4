// heron's log file: every message of the plug-in, on one line, to the file and
// to standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "heron.h"

namespace heron {
namespace {

constexpr int kOpenAttempts = 11;
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(100);

// Lives until the process ends and is never destroyed: plug-in threads that
// outlive zvPlugin_start (or run while exit() tears statics down) still log
// through it, so neither the file nor the mutex may go away under them.
struct HostLog {
  std::mutex mutex;
  FILE* file = nullptr;
};

HostLog& hostLog() {
  static HostLog* log = new HostLog;
  return *log;
}

void writeLine(FILE* stream, const char* message, int32_t code) {
  char now[30];
  time_t seconds = time(nullptr);
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr || strftime(now, sizeof now, "%a %b %d %T %Y", &local) == 0)
    now[0] = '\0';
  const char* level = code == 0 ? "INFO" : code == OSPREY_LOG_WARNING ? "WARNING" : "ERROR";
  fprintf(stream, "%s - %s - %s - %d\n", level, now, message, code);
  // Flushed line by line: a reader of the file, or of a piped standard output,
  // sees each message as it happens, and nothing waits in a buffer at exit.
  fflush(stream);
}

}  // namespace

int openLogFile() {
  HostLog& log = hostLog();
  std::lock_guard<std::mutex> hold(log.mutex);
  if (log.file != nullptr) return 0;

  std::string path = logFileNameFor(programPath());
  int error = 0;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kOpenRetryDelay);
    log.file = fopen(path.c_str(), "ae");
    if (log.file != nullptr) return 0;
    error = errno;
  }
  printf("Couldn't open log file for appending [%s] - syserror [%d] - %s\n", path.c_str(), error, strerror(error));
  fflush(stdout);
  return error;
}

int32_t logMessage(const char* message, int32_t code) {
  if (message == nullptr) message = "";
  HostLog& log = hostLog();
  std::lock_guard<std::mutex> hold(log.mutex);
  if (log.file != nullptr) writeLine(log.file, message, code);
  writeLine(stdout, message, code);
  return 0;
}

}  // namespace heron
