// heron's command line: picks the mode (see heron.h).
#include <signal.h>
#include <strings.h>

#include <cstdio>

#include "heron.h"

namespace {

void printUsage() {
  printf("%s-%s\n", heron::kDisplayName, OSPREY_PRODUCT_VERSION);
  printf("Parameters:\n");
  printf(" -install  to install the service.\n");
  printf(" -remove   to remove the service.\n");
  printf(" -nc\t     to run as a normal executable without console.\n");
  printf(" none\t     to run as a normal executable.\n\n\n");
  fflush(stdout);
}

void runConsole() {
  heron::WebServerRun run;
  run.Run();
}

// The console is not a window here: "without console" discards what would be
// shown on it.
void discardStandardOutput() {
  fflush(stdout);
  if (freopen("/dev/null", "w", stdout) == nullptr) fclose(stdout);
}

bool isOption(const char* argument) { return argument[0] == '-' || argument[0] == '/'; }

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard output that goes away must not end the server.
  signal(SIGPIPE, SIG_IGN);

  if (argc < 2 || !isOption(argv[1])) {
    printUsage();
    runConsole();
    return 0;
  }
  const char* option = argv[1] + 1;
  if (strcasecmp(option, "install") == 0) {
    heron::installService(heron::UnitSettings::fromEnvironment());
  } else if (strcasecmp(option, "remove") == 0) {
    heron::removeService(heron::UnitSettings::fromEnvironment());
  } else if (strcasecmp(option, "nc") == 0) {
    discardStandardOutput();
    runConsole();
  } else if (strcasecmp(option, "s") == 0) {
    heron::runService();
  }
  fflush(stdout);
  return 0;
}
