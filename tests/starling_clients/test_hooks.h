// What the broker application gives the clients, as the tests provide it:
// the configuration file, authentication files, the persistence command
// entry (recorded) and the local listening port; plus a log recorder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CommandCall {
  std::string server, user, password, payload, requester;
};
struct LogLine {
  std::string message;
  int32_t code;
};

namespace hooks {
void setConfigPath(const std::string& path);  // empty: no configuration file
void setLocalPort(int32_t port);
std::vector<CommandCall> commands();
std::vector<LogLine> logs();
size_t countLogs(const std::string& message, int32_t code);
void reset();
int32_t logCallback(const char* message, int32_t code);
}  // namespace hooks
