// heron's command line: picks the mode (see heron.h).
#include <signal.h>
#include <strings.h>

#include <cstdio>

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
  if (strcasecmp(option, "install") == 0)
    return heron::installService(heron::UnitSettings::fromEnvironment()) ? 0 : 1;
  if (strcasecmp(option, "remove") == 0)
    return heron::removeService(heron::UnitSettings::fromEnvironment()) ? 0 : 1;
  if (strcasecmp(option, "nc") == 0) {
    discardStandardOutput();
    return runConsole();
  }
  if (strcasecmp(option, "s") == 0) return heron::runService();
  fprintf(stderr, "Unknown option [%s]\n", argument);
  printUsage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard output that goes away must not end the server.
  signal(SIGPIPE, SIG_IGN);

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
