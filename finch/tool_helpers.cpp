// Helpers shared by the browser tools: the host's connection types and the
// base64 decoding of credentials.
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"
#include "osprey_webapp.h"
#include "yxcontainers.h"

namespace finch {

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
  // Used as a NUL-terminated text: a decoded NUL ends it.
  return out.substr(0, strlen(out.c_str()));
}

}  // namespace finch
