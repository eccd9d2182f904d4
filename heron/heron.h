// heron: the host program that runs the plug-in web/osprey.so without the
// database server.
//
// Modes (first argument; '-' or '/' prefix, names in any case):
//   none       usage text, then the web server on the main thread (console)
//   -nc        standard output to /dev/null, then as console
//   -s         as a systemd service: the web server on a worker thread until
//              SIGTERM or SIGINT, which stops the plug-in
//   -install   writes the systemd unit yxWebServer.service
//   -remove    stops the service if it runs, then deletes its unit
// Exit code: 0; 1 when the web server could not start (or, with -s, ended
// without being told to stop) and when -install or -remove failed; 2 for an
// unknown option, after the usage text on standard error.
//
// Environment: HERON_UNIT_DIR (default /etc/systemd/system) and
// HERON_SYSTEMCTL (default "systemctl") redirect -install/-remove.
//
// Threads: the main thread; in -s mode the worker running the web server; the
// plug-in's threads, which all log through logMessage.
#ifndef HERON_H
#define HERON_H

#include <signal.h>

#include <cstdint>
#include <mutex>
#include <condition_variable>
#include <string>
#include <vector>

#include "osprey_plugin.h"

namespace heron {

inline constexpr const char* kServiceName = "yxWebServer";
inline constexpr const char* kDisplayName = OSPREY_PRODUCT_NAME;

// ---------------------------------------------------------------------------
// Program path (program_path.cpp)
// ---------------------------------------------------------------------------

// The running program's full path (/proc/self/exe); empty with errno set when
// it cannot be read.
std::string programPath();

// The directory part of a full path ("/a/b/heron" -> "/a/b"; "/heron" -> "/").
std::string directoryOf(const std::string& path);

// "<base name>.log": the base name is the path after its last '/' (with '\\'
// read as '/') without its last '.' and what follows it.
std::string logFileNameFor(const std::string& programPath);

// ---------------------------------------------------------------------------
// Log file (host_log.cpp)
// ---------------------------------------------------------------------------

// Opens "<program>.log" in the current directory for appending (11 attempts,
// 100 ms apart). Returns 0, or errno after printing the failure to standard
// output. The file then stays open until the process ends: plug-in threads may
// log at any time, also after zvPlugin_start has returned.
int openLogFile();

// The LogCallback given to the plug-in: one line per call, to the log file and
// to standard output, under one mutex. Safe from any thread at any time;
// before the file is open the line goes to standard output only.
int32_t logMessage(const char* message, int32_t code);

// ---------------------------------------------------------------------------
// The web server run (web_server_run.cpp)
// ---------------------------------------------------------------------------

// Loads the plug-in, opens the log, then runs zvPlugin_init and
// zvPlugin_start on the calling thread. Stop() may come from another thread
// at any moment, even before the plug-in is loaded or initialised; it returns
// once Run() has ended, and Run() then does not start the server, or ends it.
class WebServerRun {
 public:
  // Returns when the web server has ended (or could not start).
  void Run();

  // Run() has ended.
  bool hasEnded() const;
  // The plug-in could not be loaded, the log not opened, or zvPlugin_start
  // returned non-zero (its result: startResult(), -1 for the first two).
  bool startFailed() const;
  int startResult() const;

  // Stops the web server and waits until Run() has ended. Never calls into the
  // plug-in before its zvPlugin_init has returned.
  void Stop();

 private:
  bool loadPlugin();
  void markEnded();

  ZvPluginInitFn init_ = nullptr;
  ZvPluginTermFn term_ = nullptr;
  ZvPluginStartFn start_ = nullptr;
  ZvPluginStopFn stop_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int startResult_ = 0;
  bool stopRequested_ = false;
  bool initialised_ = false;  // zvPlugin_init has returned: zvPlugin_stop is callable
  bool ended_ = false;        // the stop event: Run() has ended
};

// ---------------------------------------------------------------------------
// Service mode (service.cpp)
// ---------------------------------------------------------------------------

// Runs -s: syslog "yxWebServer in OnStart", current directory := the
// program's directory, the web server on a worker thread; SIGTERM or SIGINT
// then stops it, SIGHUP is logged and ignored. Returns the exit status once
// the service has stopped: 1 when the server ended by itself or failed to
// start.
int runService();

// The signal the worker sends when the run has ended (see runService).
inline constexpr int kRunEndedSignal = SIGUSR1;

// ---------------------------------------------------------------------------
// Service unit (service_unit.cpp)
// ---------------------------------------------------------------------------

struct UnitSettings {
  std::string unitDirectory;  // HERON_UNIT_DIR or /etc/systemd/system
  std::string systemctl;      // HERON_SYSTEMCTL or "systemctl"
  static UnitSettings fromEnvironment();
};

// -install and -remove; both report on standard output what they did or what
// failed on this system, and return false on failure.
bool installService(const UnitSettings& settings);
bool removeService(const UnitSettings& settings);

// The unit file's text for a program at programPath run by the user `user`
// (empty: root).
std::string unitFileText(const std::string& programPath, const std::string& user);

// Runs a command (argv[0] searched on PATH) and waits for it. Returns its exit
// status, 127 when it could not be run, 128 + n when killed by signal n.
// With `output`, its standard output is captured there.
int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace heron

#endif  // HERON_H
