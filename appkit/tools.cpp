// What the browser tools share: their settings from the host and their
// configuration file, the host's connection types, the log and the
// outcome lines of commands, and the engine's location.
#include <dlfcn.h>
#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "VOKTBasic.h"
#include "appkit.h"
#include "osprey_webapp.h"
#include "yxcontainers.h"

namespace appkit {

ToolSettings& toolSettings() {
  static ToolSettings settings;
  return settings;
}

// ---- configuration -----------------------------------------------------------------

const KeywordRules kToolConfigRules{true, ";", false, true};

namespace {

FILE* openConfiguration(const char* fileName) {
  ToolSettings& settings = toolSettings();
  for (const char* folder : {"..", "."}) {
    char path[1024];
    snprintf(path, sizeof path, "%s/%s/%s", folder, "config", fileName);
    settings.configPath = path;
    if (FILE* file = fopen(path, "r")) return file;
  }
  return nullptr;
}

}  // namespace

void readConfiguration(const char* fileName, int maxPoolSize) {
  ToolSettings& settings = toolSettings();
  std::unique_ptr<FILE, int (*)(FILE*)> file(openConfiguration(fileName), fclose);
  if (!file) return;
  forEachKeyword(file.get(), kToolConfigRules, [&](const KeywordLine& line) {
    std::string key(line.key), value(line.value);
    if (strcasecmp(key.c_str(), "CONN_POOL_SIZE") == 0) settings.poolSize = atoi(value.c_str());
    if (strcasecmp(key.c_str(), "INACTIVE_TIMEOUT") == 0) settings.idleTimeout = atoi(value.c_str());
  });
  settings.poolSize = std::max(0, std::min(settings.poolSize, maxPoolSize));
  settings.idleTimeout = std::max(0, settings.idleTimeout);
}

void readInitRecord(WebAppInitRecord* record, const char* fileName, int maxPoolSize, const char* description,
                    int defaultPoolSize, int defaultIdleTimeout) {
  ToolSettings& settings = toolSettings();
  settings.unicode = record->unicode != 0;
  settings.documentRoot = record->documentRoot ? record->documentRoot : ".";
  settings.agentMaster = record->agentMaster != 0;
  settings.localServer = localServerName(record);
  settings.connTypes = record->connTypes;
  settings.log = record->logCallback;
  settings.poolSize = defaultPoolSize;
  settings.idleTimeout = defaultIdleTimeout;
  readConfiguration(fileName, maxPoolSize);
  snprintf(record->description, 1025, "%s", description);
  record->configType = "CFG";
  snprintf(record->configPath, 1025, "%s", settings.configPath.c_str());
}

std::string localServerName(const WebAppInitRecord* record) {
  // Standalone the host has no server name: the engine's default local server.
  const char* name = record->serverName && record->serverName[0] ? record->serverName : "BRENLOXS";
  return std::string(name) + "@localhost";
}

json_object* listAvailableConnections(void* connTypes) {
  auto* table = static_cast<ConnTypeTable*>(connTypes);
  if (!table) return nullptr;
  json_object* list = zvJsonAllocArray();
  table->Lock();
  table->walking = 1;
  for (int32_t i = 0; i < table->count; ++i) {
    CONNTYPE* type = table->items[i]->value;
    json_object* entry = zvJsonAlloc();
    auto add = [&](const char* key, const char* value) {
      if (value && *value) zvJsonAddString(entry, key, value);
    };
    add("connectionType", type->connectionType);
    add("protocol", type->protocol);
    add("port", type->port);
    add("serverName", type->serverName);
    add("defaultDB", type->defaultDB);
    zvJsonArrayAdd(list, entry);
  }
  table->walking = 0;
  table->Unlock();
  return list;
}

void answerToolInfo(json_object* reply, bool markSuccess) {
  ToolSettings& settings = toolSettings();
  json_object* result = zvJsonAlloc();
  zvJsonAddBoolean(result, "proxy_enabled", settings.agentMaster);
  zvJsonAddBoolean(result, "unicode", settings.unicode);
  zvJsonAdd(result, "availableConnections", listAvailableConnections(settings.connTypes));
  zvJsonAdd(reply, "result", result);
  if (markSuccess) zvJsonSetSuccess(reply);
}

// ---- the log -------------------------------------------------------------------------

std::string clientAddress() {
  const char* text = VOKTClientAddress();
  return text ? text : "";
}

void toolLog(const std::string& line, int32_t code) {
  std::string text = line.substr(0, 1024);
  for (auto& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (auto* log = toolSettings().log)
    log(text.c_str(), code);
  else
    syslog(code == 0 ? LOG_INFO : LOG_WARNING, "%s", text.c_str());
}

void logOutcome(const char* application, const char* command, json_object* reply, bool changes) {
  constexpr size_t kCommandInLog = 64;
  std::string name = std::string(command ? command : "").substr(0, kCommandInLog);
  std::string from = clientAddress();
  std::string head = std::string(application) + ": " + name + (from.empty() ? "" : " from " + from);
  json_object* code = nullptr;
  json_object* success = nullptr;
  bool failed = json_object_is_type(reply, json_type_object) && json_object_object_get_ex(reply, "errorCode", &code) &&
                !(json_object_object_get_ex(reply, "success", &success) && json_object_get_boolean(success));
  if (failed) {
    json_object* message = nullptr;
    json_object_object_get_ex(reply, "errorMessage", &message);
    int32_t value = json_object_get_int(code);
    toolLog(head + " answered " + std::to_string(value) + " - " + (message ? json_object_get_string(message) : ""),
            value != 0 ? value : -1);
  } else if (changes) {
    toolLog(head + " done");
  }
}

void replyWithFile(json_object** reply, json_object* value, int code, const char* message) {
  if (!value) {
    zvJsonSetError(code, message, *reply);
    return;
  }
  zvJsonRelease(*reply);
  *reply = value;
}

// ---- binding a library by name -----------------------------------------------------------

std::string libraryNextToSelf(const char* fileName) {
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&libraryNextToSelf), &self) || !self.dli_fname) return fileName;
  std::string path = self.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? fileName : path.substr(0, slash + 1) + fileName;
}

int bindLibrary(const char* fileName, const char* tool, const std::vector<Binding>& bindings, char* error) {
  errno = 0;
  void* library = dlopen(libraryNextToSelf(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    int code = errno ? errno : ENOENT;
    snprintf(error, 1024, "Not able to load client symbols for %s tool. Can't find local client library handle: %d",
             tool, code);
    return code;
  }
  for (const Binding& binding : bindings) {
    *binding.slot = dlsym(library, binding.name);
    if (!*binding.slot) {
      snprintf(error, 1024, "Not able to load client symbols for %s tool. Unable to resolve quarn function %s", tool,
               binding.name);
      return ENOENT;  // never 0: the host would take it for success
    }
  }
  return 0;  // the library stays loaded for the process's life
}

}  // namespace appkit
