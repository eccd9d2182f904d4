// Where the program lies: its log is named after it, and the service runs in
// its directory.
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "heron.h"

namespace heron {

std::string programPath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) return {};
  if (static_cast<size_t>(length) >= sizeof buffer) {
    errno = ENAMETOOLONG;
    return {};
  }
  return std::string(buffer, static_cast<size_t>(length));
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string logFileNameFor(const std::string& programPath) {
  std::string name = programPath;
  for (char& c : name)
    if (c == '\\') c = '/';
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  name += ".log";
  if (name.size() > 4095) name.resize(4095);
  return name;
}

}  // namespace heron
