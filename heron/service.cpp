// -s: the service as systemd runs it. The web server runs on a worker thread;
// the main thread waits for SIGTERM or SIGINT and then stops it.
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "heron.h"

namespace heron {
namespace {

// The frame of a service: start and stop, each reporting its failure as an
// event (syslog, so it lands in the journal next to the unit's state).
class CServiceBase {
 public:
  explicit CServiceBase(const char* name) : name_(name) {
    openlog(name_, LOG_PID, LOG_DAEMON);
  }
  virtual ~CServiceBase() { closelog(); }
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // Runs the start; false when OnStart failed (already reported).
  bool Start() {
    try {
      OnStart();
      return true;
    } catch (const std::system_error& e) {
      writeErrorEvent("Service Start", e.code().value());
    } catch (...) {
      writeEvent(LOG_ERR, "Service failed to start.");
    }
    return false;
  }

  void Stop() {
    try {
      OnStop();
    } catch (const std::system_error& e) {
      writeErrorEvent("Service Stop", e.code().value());
    } catch (...) {
      writeEvent(LOG_ERR, "Service failed to stop.");
    }
  }

 protected:
  virtual void OnStart() {}
  virtual void OnStop() {}

  void writeEvent(int priority, const char* message) { syslog(priority, "%s", message); }

  void writeErrorEvent(const char* operation, int code) {
    syslog(LOG_ERR, "%s failed w/err 0x%08lx", operation, static_cast<unsigned long>(code));
  }

  const char* name_;
};

class yxWebServer : public CServiceBase {
 public:
  yxWebServer() : CServiceBase(kServiceName) {}
  ~yxWebServer() override {
    if (worker_.joinable()) worker_.join();
  }

 protected:
  void OnStart() override {
    writeEvent(LOG_INFO, "yxWebServer in OnStart");
    // The unit starts us anywhere; web/, config/ and the log are relative to
    // the program's own directory.
    std::string directory = directoryOf(programPath());
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
      // Not fatal: the run then reports what it cannot find.
      syslog(LOG_WARNING, "Not able to change to directory [%s] - %s", directory.c_str(),
             strerror(errno));
    }
    worker_ = std::thread([this] { run_.Run(); });  // throws std::system_error
  }

  void OnStop() override {
    writeEvent(LOG_INFO, "yxWebServer in OnStop");
    run_.Stop();
  }

 private:
  WebServerRun run_;
  std::thread worker_;
};

// Blocks the stop signals in every thread (the worker and the plug-in's
// threads inherit the mask), so that only sigwait below receives them.
sigset_t blockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

}  // namespace

void runService() {
  sigset_t stopSignals = blockStopSignals();
  yxWebServer service;
  if (!service.Start()) return;
  // The web server may end on its own (a failed start); the service still runs
  // until it is told to stop, which then completes at once.
  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  service.Stop();
}

}  // namespace heron
