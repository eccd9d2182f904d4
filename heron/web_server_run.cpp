// Loading the plug-in and running the web server, with a stop that may arrive
// at any point of that road.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "heron.h"

namespace heron {
namespace {

constexpr const char* kPluginDirectory = "web";
constexpr const char* kPluginName = "osprey";
constexpr const char* kPluginWebDirectory = "./web";

// zvPlugin_stop only acts on a server record, which the plug-in creates inside
// zvPlugin_start; a stop that lands just before that finds nothing to stop.
// Asking again at this pace until the run has ended closes that window.
constexpr auto kStopRetryInterval = std::chrono::milliseconds(100);

template <typename Fn>
bool resolve(void* library, const char* name, Fn* entry) {
  *entry = reinterpret_cast<Fn>(dlsym(library, name));
  if (*entry != nullptr) return true;
  printf("Not able to load symbols for osprey. Unable to resolve function %s\n", name);
  return false;
}

}  // namespace

bool WebServerRun::loadPlugin() {
  char path[4096];
  snprintf(path, sizeof path, "%s%c%s.so", kPluginDirectory, '/', kPluginName);
  errno = 0;
  // Loaded for the life of the process: the plug-in's threads and the log
  // callback it keeps must never point into an unloaded library.
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    int error = errno;
    const char* detail = dlerror();
    // The loader does not always leave a reason in errno; a missing or
    // unreadable file is the common one.
    if (error == 0 && access(path, R_OK) != 0) error = errno;
    printf("Not able to load osprey symbols for agent. Can't find library [%s]: %d\n", path, error);
    if (detail != nullptr) printf("%s\n", detail);
    return false;
  }
  ZvPluginInitFn init;
  ZvPluginTermFn term;
  ZvPluginStartFn start;
  ZvPluginStopFn stop;
  if (!resolve(library, "zvPlugin_init", &init) || !resolve(library, "zvPlugin_term", &term) ||
      !resolve(library, "zvPlugin_start", &start) || !resolve(library, "zvPlugin_stop", &stop))
    return false;
  std::lock_guard<std::mutex> hold(mutex_);
  init_ = init;
  term_ = term;
  start_ = start;
  stop_ = stop;
  return true;
}

void WebServerRun::markEnded() {
  std::lock_guard<std::mutex> hold(mutex_);
  ended_ = true;
  changed_.notify_all();
}

void WebServerRun::Run() {
  struct EndMark {
    WebServerRun* run;
    ~EndMark() { run->markEnded(); }
  } endMark{this};

  bool loaded = loadPlugin();
  fflush(stdout);
  if (!loaded || openLogFile() != 0) {
    std::lock_guard<std::mutex> hold(mutex_);
    startResult_ = -1;
    return;
  }

  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopRequested_) return;
  }
  init_(nullptr, logMessage, kPluginWebDirectory);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    initialised_ = true;
    changed_.notify_all();
    // A stop that came during the init: the server is not started at all.
    if (stopRequested_) return;
  }
  int result = start_(nullptr);
  std::lock_guard<std::mutex> hold(mutex_);
  startResult_ = result;
}

bool WebServerRun::hasEnded() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return ended_;
}

bool WebServerRun::startFailed() const { return startResult() != 0; }

int WebServerRun::startResult() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return startResult_;
}

void WebServerRun::Stop() {
  std::unique_lock<std::mutex> hold(mutex_);
  stopRequested_ = true;
  while (!ended_) {
    if (initialised_) {
      ZvPluginStopFn stop = stop_;
      hold.unlock();
      stop();  // returns at once when the server is not (yet) there
      hold.lock();
      if (ended_) break;
    }
    changed_.wait_for(hold, kStopRetryInterval);
  }
}

}  // namespace heron
