#include "test_hooks.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "ZVDatabasePooled.h"
#include "mqtt_clients.h"

namespace {
std::mutex g_mutex;
std::string g_configPath;
int32_t g_localPort = 0;
std::vector<CommandCall> g_commands;
std::vector<LogLine> g_logs;

std::string text(const char* p) { return p != nullptr ? p : ""; }
}  // namespace

namespace hooks {
void setConfigPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_configPath = path;
}
void setLocalPort(int32_t port) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_localPort = port;
}
std::vector<CommandCall> commands() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_commands;
}
std::vector<LogLine> logs() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_logs;
}
size_t countLogs(const std::string& message, int32_t code) {
  size_t n = 0;
  for (const auto& line : logs())
    if (line.message == message && line.code == code) n++;
  return n;
}
void reset() {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_configPath.clear();
  g_commands.clear();
  g_logs.clear();
}
int32_t logCallback(const char* message, int32_t code) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_logs.push_back({text(message), code});
  return 0;
}
}  // namespace hooks

FILE* findConfigFile() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_configPath.empty() ? nullptr : fopen(g_configPath.c_str(), "r");
}

// The tests' authentication files are plain "user password" text.
void _readAuthFile(const char* path, char** user, char** password) {
  FILE* file = path != nullptr ? fopen(path, "r") : nullptr;
  if (file == nullptr) throw YXException("_readAuthFile", 1, -1, "Missing authentication file", __FILE__, __LINE__);
  char u[128] = {}, p[128] = {};
  int got = fscanf(file, "%127s %127s", u, p);
  fclose(file);
  if (got != 2) throw YXException("_readAuthFile", 1, -2, "Failed to load password", __FILE__, __LINE__);
  *user = dupStr(u);
  *password = dupStr(p);
}

int processPersistenceCommandText(ZVDatabaseConfig* config, const void* payload, size_t length, const char* requester,
                                  LogCallback) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_commands.push_back({text(config->server), text(config->user), text(config->password),
                        std::string(static_cast<const char*>(payload), length), text(requester)});
  return 0;
}

int32_t starlingMqttListeningPort() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_localPort;
}
