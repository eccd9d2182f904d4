// The dashboard: chosen counter classes of up to ten servers side by side,
// each read through a logon of its own.
#include <strings.h>

#include "VOKTBasic.h"
#include "finch.h"
#include "yxlogon.h"

namespace finch {

namespace {

constexpr int kMaxServers = 10;

const char* textMember(json_object* entry, const char* name) {
  const char* value = nullptr;
  return zvJsonGetStringByName(entry, name, &value) ? value : nullptr;
}

void addText(json_object* node, const char* key, const char* value) {
  if (value)
    zvJsonAddString(node, key, value);
  else
    zvJsonAdd(node, key, nullptr);
}

// Logs on to host with the entry's base64 credentials: 0, or the code the
// server's node reports. The request mutex is held here, so a user and
// address that the guard would slow are answered "try later" at once.
int logOn(const char* host, const char* user64, const char* password64) {
  // Without credentials there is nothing to log on with: refused, as a logon would be.
  if (!user64 || !password64 || !host) return 9007;
  std::string user = base64Decode(user64), password = base64Decode(password64);
  if (yx::hasNulByte(user.data(), user.size()) || yx::hasNulByte(password.data(), password.size())) return 9007;
  std::string address = clientAddress();
  if (logonGuard().delayFor(user, address).count() > 0) return RL_MON_LIMIT;
  int r = int16_t(api.INTISAMX4(10, 10, 16, 10, 0, user.c_str(), password.c_str(), host));
  if (r == 0)
    logonGuard().succeeded(user, address);
  else if (r != RL_MON_LIMIT)
    logonGuard().failed(user, address);
  return r;
}

json_object* serverNode(json_object* entry) {
  const char* host = textMember(entry, "hostName");
  const char* friendly = textMember(entry, "friendlyName");
  const char* user = textMember(entry, "userName");
  const char* password = textMember(entry, "userPassword");
  json_object* node = zvJsonAlloc();
  int r = logOn(host, user, password);
  if (r != 0) {
    zvJsonAddBoolean(node, "Active", false);
    addText(node, "Hostname", host);
    addText(node, "Friendlyname", friendly);
    zvJsonAddInt(node, "Error", r);
    return node;
  }
  bool system = false, sql = false;
  json_object* counters = nullptr;
  if (zvJsonGetArrayByName(entry, "counters", &counters))
    for (int i = 0, n = zvJsonArrayLength(counters); i < n; ++i) {
      const char* cls = textMember(zvJsonArrayGetIdx(counters, i), "Class");
      if (cls && strcasecmp(cls, "SYSTEM") == 0) system = true;
      if (cls && strcasecmp(cls, "SQL") == 0) sql = true;
    }
  json_object* classes = zvJsonAllocArray();
  auto addClass = [&](const char* name, int (*report)(CounterContext&, int, json_object**)) {
    CounterContext c;
    json_object* pairs = zvJsonAlloc();
    int result = report(c, kPairs, &pairs);
    json_object* cls = zvJsonAlloc();
    zvJsonAddInt(cls, "Error", 0);
    zvJsonAddString(cls, "Name", name);
    zvJsonAdd(cls, "Counters", pairs);
    zvJsonArrayAdd(classes, cls);
    return result;
  };
  if (system) {
    zvJsonAddInt(node, "Error", 0);
    if (addClass("System", sysSnapshotRows) != 0) sql = false;
  }
  if (sql) addClass("SQL", sqlSnapshotRows);
  zvJsonAdd(node, "Classes", classes);
  zvJsonAddBoolean(node, "Active", true);
  addText(node, "Hostname", host);
  addText(node, "Friendlyname", friendly);
  api.CLISAM();
  return node;
}

}  // namespace

int buildDashboard(json_object* request, json_object** reply) {
  int32_t owner = api.zvdbGetQuarnOWNER();
  char instance[64];
  snprintf(instance, sizeof instance, "VIXMonitorDb_%d", owner);
  json_object* info = nullptr;
  json_object* servers = nullptr;
  if (!zvJsonGetByName(request, "serverInfo", &info) || !json_object_is_type(info, json_type_object))
    return zvJsonSetError(9007, "zvMonGetDashboard - Invalid parameter - Missing serverInfo in the request", *reply);
  if (!zvJsonGetArrayByName(request, "servers", &servers))
    return zvJsonSetError(9007, "zvMonGetDashboard - Invalid parameter - Missing servers in the request", *reply);
  if (zvJsonArrayLength(servers) > kMaxServers)
    return zvJsonSetError(9007, "zvMonGetDashboard - Too many servers in Dashboard (max=10)", *reply);
  json_object* result = zvJsonAllocArray();
  api.REGQUARN(instance);
  api.SWTQUARN(instance);
  if (RlThreadRecord* thread = api.zvThrdGet()) thread->monitorFlag = 1;
  for (int i = 0, n = zvJsonArrayLength(servers); i < n; ++i) {
    zvJsonArrayAdd(result, serverNode(zvJsonArrayGetIdx(servers, i)));
    api.zvdbSetQuarnOWNER(owner);  // the slot's logon is current again for the next server
  }
  zvJsonAdd(*reply, "Servers", result);
  int r = int16_t(api.SWTQUARN("VIXMonitor"));
  if (r != 0)
    zvJsonSetError(r, "zvMonGetDashboard Error", *reply);
  else
    zvJsonSetSuccess(*reply);
  api.UNRQUARN(instance);
  return r;
}

}  // namespace finch
