// A stand-in for the plug-in, loaded by heron as web/osprey.so.
//
// zvPlugin_start logs through the host's callback and blocks until
// zvPlugin_stop, like the real server. Environment switches:
//   FAKE_PLUGIN_TRACE           file that receives one line per event
//   FAKE_PLUGIN_INIT_DELAY_MS   zvPlugin_init takes this long
//   FAKE_PLUGIN_START_DELAY_MS  zvPlugin_start takes this long before the
//                               server exists (a stop meanwhile finds nothing)
//   FAKE_PLUGIN_FAIL            the start fails with 9006
//   FAKE_PLUGIN_RUN_MS          the server ends by itself after this long
//   FAKE_PLUGIN_LOG_THREADS     that many threads log 50 lines each while it runs
//   FAKE_PLUGIN_LINGER          a thread keeps logging after the start returned
// Built once more with FAKE_PLUGIN_WITHOUT_STOP, lacking zvPlugin_stop.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "osprey_plugin.h"

namespace {

std::mutex mutex;
std::condition_variable changed;
LogCallback hostLog = nullptr;
bool initialised = false;
bool running = false;
bool stopRequested = false;

long envNumber(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? strtol(value, nullptr, 10) : 0;
}

void trace(const char* event) {
  const char* path = getenv("FAKE_PLUGIN_TRACE");
  if (path == nullptr) return;
  static std::mutex traceMutex;
  std::lock_guard<std::mutex> hold(traceMutex);
  if (FILE* file = fopen(path, "a")) {
    fprintf(file, "%s\n", event);
    fclose(file);
  }
}

void sleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void logFromThreads(int threads) {
  std::vector<std::thread> loggers;
  for (int t = 0; t < threads; ++t)
    loggers.emplace_back([t] {
      char line[64];
      for (int i = 0; i < 50; ++i) {
        snprintf(line, sizeof line, "fake - thread %d line %d", t, i);
        hostLog(line, 0);
      }
    });
  for (std::thread& logger : loggers) logger.join();
}

void lingerAfterStart(LogCallback log) {
  std::thread([log] {
    sleepMs(50);  // well after zvPlugin_start has returned to the host
    char line[64];
    for (int i = 0; i < 5; ++i) {
      snprintf(line, sizeof line, "fake - lingering %d", i);
      log(line, 0);
      sleepMs(20);
    }
    log("fake - lingering done", 0);
  }).detach();
}

int32_t endStart(int32_t result) {
  if (getenv("FAKE_PLUGIN_LINGER") != nullptr) lingerAfterStart(hostLog);
  trace("start-returned");
  return result;
}

}  // namespace

int32_t zvPlugin_init(PluginInfo* info, LogCallback log, const char* webDirectory) {
  trace("init-entered");
  sleepMs(envNumber("FAKE_PLUGIN_INIT_DELAY_MS"));
  std::lock_guard<std::mutex> hold(mutex);
  hostLog = log;
  initialised = true;
  trace(info == nullptr && std::string(webDirectory) == "./web" ? "init" : "init-bad-arguments");
  return 0;
}

int32_t zvPlugin_term() {
  trace("term");
  return 0;
}

int32_t zvPlugin_start(ServerContext* context) {
  trace(context == nullptr ? "start-entered" : "start-with-context");
  sleepMs(envNumber("FAKE_PLUGIN_START_DELAY_MS"));
  hostLog("fake - Starting", 0);
  if (getenv("FAKE_PLUGIN_FAIL") != nullptr) {
    hostLog("fake - Couldn't start", 9006);
    return endStart(9006);
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    running = true;
    stopRequested = false;
  }
  trace("running");
  hostLog("fake - ready", 0);
  logFromThreads(static_cast<int>(envNumber("FAKE_PLUGIN_LOG_THREADS")));

  std::unique_lock<std::mutex> hold(mutex);
  if (getenv("FAKE_PLUGIN_RUN_MS") != nullptr)
    changed.wait_for(hold, std::chrono::milliseconds(envNumber("FAKE_PLUGIN_RUN_MS")), [] { return stopRequested; });
  else
    changed.wait(hold, [] { return stopRequested; });
  hostLog("fake - terminated", 0);
  running = false;
  changed.notify_all();
  hold.unlock();
  return endStart(0);
}

#ifndef FAKE_PLUGIN_WITHOUT_STOP
int32_t zvPlugin_stop() {
  std::unique_lock<std::mutex> hold(mutex);
  trace(initialised ? "stop" : "stop-before-init");
  // Like the real plug-in: without a running server there is nothing to stop.
  if (!running) return 0;
  stopRequested = true;
  changed.notify_all();
  changed.wait(hold, [] { return !running; });
  return 0;
}
#endif

int32_t zvPlugin_call(int32_t operation, const char* input, char* output, int32_t* outputLength) { return 454; }
