// The browser tools' connect command over their slot pools.
#include <algorithm>

#include "VOKTBasic.h"
#include "appkit.h"
#include "yxlogon.h"

namespace appkit {

namespace {

constexpr size_t kMaxServerName = 255;

// The member's text when it is a text.
json_object* textMember(json_object* object, const char* key) {
  json_object* value = nullptr;
  return json_object_object_get_ex(object, key, &value) && json_object_is_type(value, json_type_string) ? value
                                                                                                        : nullptr;
}

std::string refusal(const char* command, const char* detail) { return std::string(command) + detail; }

// false when the reply is final already (an error, or empty without credentials).
bool readConnectRequest(const char* command, json_object* request, json_object* reply, SlotConnectRequest* out) {
  json_object* info = nullptr;
  if (!zvJsonGetByName(request, "serverInfo", &info) || !json_object_is_type(info, json_type_object)) {
    zvJsonSetError(9007, refusal(command, " - Invalid parameter - Missing serverInfo in the request").c_str(), reply);
    return false;
  }
  if (json_object* server = textMember(info, "serverName"))
    out->server.assign(json_object_get_string(server), size_t(json_object_get_string_len(server)));
  else
    out->server = toolSettings().localServer;
  json_object* user = textMember(info, "userName");
  json_object* password = textMember(info, "userPassword");
  if (!user || !password) return false;  // the reply stays empty: the page sent no credentials
  out->user = base64Decode(json_object_get_string(user));
  out->password = base64Decode(json_object_get_string(password));
  // A name cut at a NUL byte would log on as someone the page did not name.
  if (yx::hasNulByte(out->user.data(), out->user.size()) ||
      yx::hasNulByte(out->password.data(), out->password.size()) ||
      yx::hasNulByte(out->server.data(), out->server.size())) {
    zvJsonSetError(9007,
                   refusal(command, " - Invalid parameter - a credential or the server name holds a NUL byte").c_str(),
                   reply);
    return false;
  }
  out->server.resize(std::min(out->server.size(), kMaxServerName));
  return true;
}

}  // namespace

// The wait the guard asks for comes before open takes the tool's lock, so
// that a client that keeps failing holds up no one else.
void connectSlot(const char* command, json_object* request, json_object* reply, yx::LogonGuard& guard,
                 const std::function<int(const SlotConnectRequest&)>& open) {
  SlotConnectRequest connect;
  if (!readConnectRequest(command, request, reply, &connect)) return;
  std::string address = clientAddress();
  guard.beforeAttempt(connect.user, address);
  int code = open(connect);
  if (code == 0) {
    guard.succeeded(connect.user, address);
  } else if (code == kSlotPoolFull) {
    zvJsonSetError(9022, refusal(command, " - Connection pool is full").c_str(), reply);
  } else {
    if (code != 9022) guard.failed(connect.user, address);  // 9022: no token could be made
    zvJsonSetError(code, refusal(command, " - Connection error").c_str(), reply);
  }
}

}  // namespace appkit
