// heron's command line: picks the mode (see heron.h).
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>
#include <algorithm>

#include "heron.h"

namespace {

void printUsage(FILE* stream) {
  fprintf(stream, "%s-%s\n", heron::kDisplayName, OSPREY_PRODUCT_VERSION);
  fprintf(stream, "Parameters:\n");
  fprintf(stream, " -install  to install the service.\n");
  fprintf(stream, " -remove   to remove the service.\n");
  fprintf(stream, " -nc\t     to run as a normal executable without console.\n");
  fprintf(stream, " none\t     to run as a normal executable.\n\n\n");
  fflush(stream);
}

// In the console a stop signal still ends the process at once, but the log
// says so first: otherwise it ends on "Web server is ready" as if it had
// died. The signals are taken by one thread (every other one, the plug-in's
// included, inherits the mask), which logs and then lets the signal's own
// action end the process.
void logStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) return;
  try {
    std::thread([stops] {
      int received = 0;
      while (sigwait(&stops, &received) != 0) {
      }
      heron::logMessage(received == SIGINT ? "heron - SIGINT received; the server ends at once"
                                           : "heron - SIGTERM received; the server ends at once",
                        0);
      signal(received, SIG_DFL);
      pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
      raise(received);
    }).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);  // no watcher: the signals act as before
  }
}

// 1 when the web server could not start.
int runConsole() {
  logStopSignals();
  heron::WebServerRun run;
  run.Run();
  return run.startFailed() ? 1 : 0;
}

// The console is not a window here: "without console" discards what would be
// shown on it.
void discardStandardOutput() {
  fflush(stdout);
  if (freopen("/dev/null", "w", stdout) == nullptr) fclose(stdout);
}

bool isOption(const char* argument) { return argument[0] == '-' || argument[0] == '/'; }

int runOption(const char* argument) {
  const char* option = argument + 1;
  if (strcasecmp(option, "install") == 0) return heron::installService(heron::UnitSettings::fromEnvironment()) ? 0 : 1;
  if (strcasecmp(option, "remove") == 0) return heron::removeService(heron::UnitSettings::fromEnvironment()) ? 0 : 1;
  if (strcasecmp(option, "nc") == 0) {
    discardStandardOutput();
    return runConsole();
  }
  if (strcasecmp(option, "s") == 0) return heron::runService();
  fprintf(stderr, "Unknown option [%s]\n", argument);
  printUsage(stderr);
  return 2;
}

// Every connection has a thread, and most connections sit idle; these C
// library settings decide what an idle one costs. The library reads them only
// when a process starts, so heron starts itself once more with them; a value
// the operator set in GLIBC_TUNABLES is kept.
//  - No per-thread cache of freed blocks: it would keep what each thread last
//    freed (a few KB) resident for as long as its connection lasts.
//  - As many malloc arenas as cores, not eight per core: each arena keeps its
//    own partly used pages, spread over all connection threads; the threads
//    that allocate at the same time (those busy, at most one per core) still
//    find an arena of their own.
//  - One link-map namespace and no optional static TLS: that reserve sits at
//    the top of every thread's stack, next to the thread's own record, and
//    pushed an idle thread's frames onto a second stack page (4 KB each).
//    heron loads no library into another namespace, and the libraries it
//    loads allocate their thread-local data on first use.
std::vector<std::string> memoryTunables() {
  cpu_set_t cpus;
  long cores = sched_getaffinity(0, sizeof(cpus), &cpus) == 0 ? CPU_COUNT(&cpus) : sysconf(_SC_NPROCESSORS_ONLN);
  return {"glibc.malloc.tcache_count=0", "glibc.malloc.arena_max=" + std::to_string(std::max(cores, 1L)),
          "glibc.rtld.nns=1", "glibc.rtld.optional_static_tls=0"};
}

// GLIBC_TUNABLES with each of heron's settings the operator did not give
// added; empty when nothing is to be added.
std::string tunablesToAdd(const char* current) {
  std::string tunables = current != nullptr ? current : "";
  bool added = false;
  for (const std::string& setting : memoryTunables()) {
    std::string name = setting.substr(0, setting.find('=') + 1);
    if (tunables.find(name) != std::string::npos) continue;
    tunables += tunables.empty() ? setting : ":" + setting;
    added = true;
  }
  return added ? tunables : std::string();
}

void restartWithMemorySettings(char** argv) {
  std::string tunables = tunablesToAdd(getenv("GLIBC_TUNABLES"));
  if (tunables.empty() || setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  // The process takes its name from the file executed: through the
  // program's own path it stays "heron" for ps, pgrep, top and ss.
  std::string self = heron::programPath();
  execv(self.empty() ? "/proc/self/exe" : self.c_str(), argv);
  // Not restarted: serve with the library's defaults rather than not at all.
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard output that goes away must not end the server.
  signal(SIGPIPE, SIG_IGN);
  restartWithMemorySettings(argv);

  int status;
  if (argc < 2 || !isOption(argv[1])) {
    printUsage(stdout);
    status = runConsole();
  } else {
    status = runOption(argv[1]);
  }
  fflush(stdout);
  return status;
}
