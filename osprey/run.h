// One run of the server (a zvPlugin_start) and what request dispatch reads of
// it. Internal to the plug-in.
#ifndef OSPREY_RUN_H
#define OSPREY_RUN_H

#include <memory>
#include <mutex>
#include <string>

#include "internal.h"
#include "nev.h"

namespace osprey {

// Runs the server on the calling thread: start, poll loop, teardown. The
// plug-in mutex is held until the server is ready (or its start failed).
class ServerRun {
 public:
  explicit ServerRun(ServerContext* context);
  ~ServerRun();
  ServerRun(const ServerRun&) = delete;
  ServerRun& operator=(const ServerRun&) = delete;

  // Returns zvPlugin_start's result.
  int run(std::unique_lock<std::recursive_mutex>& pluginLock);
  // True when the engine's teardown left connection threads running: the run
  // (its static-serving options) and the record must then be kept.
  bool threadsRemain() const { return threadsRemain_; }
  const nev_serve_options& serveOptions() const { return serveOptions_; }
  WebServerThreadData* record() const { return record_; }

 private:
  int startUp(std::unique_lock<std::recursive_mutex>& pluginLock);
  void setUpEngine();
  void fillServeOptions();
  void openVerboseLog();
  void warnWhenNothingListens();
  void logDataRoot();
  bool bindHttps();
  bool bindHttp();
  nev_connection* listenOrReport(const char* server, const char* port, nev_listen_options* options);
  void prepareListener(nev_connection* listener);
  int startBroker();
  int pollUntilStopped(int result);
  void stopBroker();
  void stopEngine();
  void tearDown(std::unique_lock<std::recursive_mutex>& pluginLock);

  ServerContext* context_;
  WebServerThreadData* record_ = nullptr;
  std::unique_ptr<nev_manager> manager_;
  nev_connection* https_ = nullptr;
  nev_connection* http_ = nullptr;
  nev_serve_options serveOptions_ = {};
  std::string hiddenPattern_;
  bool started_ = false;
  bool threadsRemain_ = false;
  char error_[kMessageSize] = {};
};

// The run whose options requests falling through to static serving use.
void setCurrentRun(ServerRun* run);
// Forgets run when it is the current one.
void clearCurrentRun(ServerRun* run);

// ---- Dispatch (dispatch.cpp) ----

// The handler of the HTTP and HTTPS listeners and their connections.
void webServerEventHandler(nev_connection* conn, int event, void* data, nev_unlock_fn unlock);
// Ends the websocket sessions whose connections closed without a close event
// (the engine drops them so when the server stops), with a null connection.
void disconnectRemainingSessions();

}  // namespace osprey

#endif  // OSPREY_RUN_H
