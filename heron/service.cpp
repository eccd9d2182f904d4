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
  explicit CServiceBase(const char* name) : name_(name) { openlog(name_, LOG_PID, LOG_DAEMON); }
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
      syslog(LOG_WARNING, "Not able to change to directory [%s] - %s", directory.c_str(), strerror(errno));
    }
    // The main thread waits in sigwait; a run that ends by itself (a failed
    // start) wakes it there.
    worker_ = std::thread([this] {
      run_.Run();
      kill(getpid(), kRunEndedSignal);
    });  // throws std::system_error
  }

  void OnStop() override {
    writeEvent(LOG_INFO, "yxWebServer in OnStop");
    run_.Stop();
  }

 public:
  const WebServerRun& run() const { return run_; }

 private:
  WebServerRun run_;
  std::thread worker_;
};

// Blocks the signals the service waits for in every thread (the worker and
// the plug-in's threads inherit the mask), so that only sigwait below
// receives them. SIGHUP is among them: its default would end the service.
sigset_t blockServiceSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, kRunEndedSignal}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

// Waits for a stop signal, or for the end of a run that ended by itself.
void waitForStop(const sigset_t& signals, const WebServerRun& run) {
  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGTERM || received == SIGINT) return;
    if (received == kRunEndedSignal) {
      if (run.hasEnded()) return;
      continue;
    }
    syslog(LOG_NOTICE, "SIGHUP received and ignored");
    logMessage(
        "heron - SIGHUP received and ignored; osprey.json is read at start, restart the "
        "service to apply a change",
        0);
  }
}

}  // namespace

int runService() {
  sigset_t signals = blockServiceSignals();
  yxWebServer service;
  if (!service.Start()) return 1;
  waitForStop(signals, service.run());
  bool endedByItself = service.run().hasEnded();
  service.Stop();
  // systemd takes a service that ends with 0 for one that was stopped: a start
  // that failed, or a server that ended without being told to, must say so.
  if (!endedByItself) return 0;
  int result = service.run().startResult();
  syslog(LOG_ERR, "The web server ended without a stop request (result %d)", result);
  logMessage(
      "heron - The web server ended without a stop request; the service ends with exit "
      "status 1",
      result != 0 ? result : 1);
  return 1;
}

}  // namespace heron
