// Who the current request comes from, and where the workbench's log lines go.
//
// The plug-in names the client of the request a router call serves through
// the runtime library; a runtime library without that call gives no address,
// and failed log-ons are then counted per user only.
#include <cstdio>
#include <string>

#include "plover.h"

// Declared here rather than through the runtime library's header so that the
// reference may stay unresolved (weak) with a runtime library that lacks it.
const char* VOKTClientAddress() __attribute__((weak));
int VOKTClientGone() __attribute__((weak));

namespace plover {

namespace {
LogCallback logCallback = nullptr;
}

std::string clientAddress() {
  const char* address = VOKTClientAddress ? VOKTClientAddress() : nullptr;
  return address ? address : "";
}

bool clientGone() { return VOKTClientGone && VOKTClientGone() != 0; }

void setLogCallback(LogCallback callback) { logCallback = callback; }

void logLine(const std::string& line) {
  std::string text = "plover - " + line;
  if (logCallback)
    logCallback(text.c_str(), -1);
  else
    fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace plover
