// Helpers shared by the browser tools: the host's connection types, the
// base64 decoding of credentials, replies made of a JSON file, session
// tokens and the engine's location.
#include <dlfcn.h>
#include <strings.h>
#include <sys/random.h>
#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"
#include "osprey_webapp.h"
#include "yxcontainers.h"

namespace finch {

// ---- configuration -----------------------------------------------------------------

namespace {

bool openConfiguration(const char* fileName, FILE** file) {
  char path[1024];
  snprintf(path, sizeof path, "../%s/%s", "config", fileName);
  module.configPath = path;
  if ((*file = fopen(path, "r")) != nullptr) return true;
  snprintf(path, sizeof path, "./%s/%s", "config", fileName);
  module.configPath = path;
  return (*file = fopen(path, "r")) != nullptr;
}

const char* skipSpace(const char* text) {
  while (*text && isspace(static_cast<unsigned char>(*text))) ++text;
  return text;
}

}  // namespace

void readConfiguration(const char* fileName, int maxPoolSize) {
  FILE* file = nullptr;
  if (!openConfiguration(fileName, &file)) return;
  char line[1024];
  while (fgets(line, sizeof line, file) != nullptr && line[0] != '\0') {
    line[strcspn(line, "\r\n")] = '\0';
    char* rest = nullptr;
    char* keyToken = strtok_r(line, " ", &rest);
    char* valueToken = keyToken ? strtok_r(nullptr, " ", &rest) : nullptr;
    if (!valueToken) continue;
    const char* key = skipSpace(keyToken);
    const char* value = skipSpace(valueToken);
    if (key[0] == ';') continue;
    if (strcasecmp(key, "CONN_POOL_SIZE") == 0) module.poolSize = atoi(value);
    if (strcasecmp(key, "INACTIVE_TIMEOUT") == 0) module.idleTimeout = atoi(value);
  }
  fclose(file);
  module.poolSize = std::max(0, std::min(module.poolSize, maxPoolSize));
  module.idleTimeout = std::max(0, module.idleTimeout);
}

void readInitRecord(WebAppInitRecord* record, const char* fileName, int maxPoolSize, const char* description) {
  module.unicode = record->unicode != 0;
  module.documentRoot = record->documentRoot ? record->documentRoot : ".";
  module.agentMaster = record->agentMaster != 0;
  module.localServer = localServerName(record);
  module.connTypes = record->connTypes;
  module.log = record->logCallback;
  module.poolSize = 10;
  module.idleTimeout = 300;
  readConfiguration(fileName, maxPoolSize);
  snprintf(record->description, 1025, "%s", description);
  record->configType = "CFG";
  snprintf(record->configPath, 1025, "%s", module.configPath.c_str());
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

std::string base64Decode(const char* text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char* p = text ? text : ""; *p; ++p) {
    int v = value(*p);
    if (v < 0) break;
    bits = bits << 6 | uint32_t(v);
    if (++count == 4) {
      out += char(bits >> 16);
      out += char(bits >> 8);
      out += char(bits);
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) out += char(bits >> 4);
  if (count == 3) out += char(bits >> 10), out += char(bits >> 2);
  return out;
}

std::string clientAddress() {
  const char* text = VOKTClientAddress();
  return text ? text : "";
}

void toolLog(const std::string& line, int32_t code) {
  std::string text = line.substr(0, 1024);
  for (auto& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (module.log)
    module.log(text.c_str(), code);
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

std::string randomToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    got += size_t(n);
  }
  static const char* kHex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) token += kHex[b >> 4], token += kHex[b & 15];
  return token;
}

bool tokensEqual(const std::string& slotToken, const char* sent) {
  size_t n = strlen(sent);
  if (slotToken.empty() || n != slotToken.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(slotToken[i] ^ sent[i]);
  return diff == 0;
}

std::string localServerName(const WebAppInitRecord* record) {
  // Standalone the host has no server name: the engine's default local server.
  const char* name = record->serverName && record->serverName[0] ? record->serverName : "BRENLOXS";
  return std::string(name) + "@localhost";
}

std::string libraryNextToSelf(const char* fileName) {
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&libraryNextToSelf), &self) || !self.dli_fname) return fileName;
  std::string path = self.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? fileName : path.substr(0, slash + 1) + fileName;
}

}  // namespace finch
