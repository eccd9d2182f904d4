// The workbench's log lines: appkit's log (the host's logger when init was
// given one), each marked as the workbench's.
#include <string>

#include "appkit.h"
#include "plover.h"

namespace plover {

void logLine(const std::string& line) { appkit::toolLog("plover - " + line, -1); }

}  // namespace plover
