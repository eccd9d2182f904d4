// heron's command line: picks the mode (see heron.h).
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// 1 when the web server could not start.
int runConsole() {
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

// Every connection has a thread, and most connections sit idle. The C
// library's per-thread cache of freed blocks would keep what each thread last
// freed (a few KB) resident for as long as its connection lasts. The library
// reads that setting only when a process starts, so heron starts itself once
// more with the cache off; a cache size the operator set is kept.
void restartWithoutThreadCaches(char** argv) {
  const char* kCacheOff = "glibc.malloc.tcache_count=0";
  const char* current = getenv("GLIBC_TUNABLES");
  if (current != nullptr && strstr(current, "glibc.malloc.tcache_count=") != nullptr) return;
  std::string tunables = current != nullptr && current[0] != '\0' ? std::string(current) + ":" + kCacheOff : kCacheOff;
  if (setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not restarted: serve with the caches rather than not at all.
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard output that goes away must not end the server.
  signal(SIGPIPE, SIG_IGN);
  restartWithoutThreadCaches(argv);

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
