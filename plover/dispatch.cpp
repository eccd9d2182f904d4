// The remoting dispatcher: envelopes, exception replies, the session token
// and the methods the dispatcher answers itself.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "VOKTBasic.h"
#include "appkit.h"
#include "plover.h"
#include "yxlogon.h"

namespace plover {

namespace {

constexpr const char* kLoopbackHost = "localhost";
constexpr int kDefaultQueryTimeout = 30;
constexpr int kWrongPassword = 450;  // the engine's refusals of a log-on
constexpr int kUnknownUser = 451;
constexpr const char* kExpired = "plover - Cannot locate a connection: expired ";

const char* const kDescribedMethods[] = {
    "connect",        "disconnect",      "setTransaction",     "execQuery",           "execStatement",
    "getLeftTree",    "getTableRecords", "createTableRecord",  "updateTableRecord",   "deleteTableRecord",
    "getObjectsInfo", "getExecPlanText", "getExecPlanGraph",   "execScriptStatement", "getBlobData",
    "setBlobData",    "getSqlScript",    "getConnectionStatus"};

// One request being dispatched.
struct Call {
  json_object* request;
  json_object* reply;
  int tid = 0;
  const char* method = nullptr;
  json_object* params = nullptr;
  json_object* yxInfo = nullptr;
};

int refuse(const Call& call, const char* message) {
  setRouterException(call.reply, call.tid, message);
  return -1;
}

const char* stringMember(json_object* object, const char* key) {
  const char* value = nullptr;
  return object && zvJsonGetStringByName(object, key, &value) ? value : nullptr;
}

json_object* objectMember(json_object* object, const char* key) {
  json_object* value = nullptr;
  return object && zvJsonGetByName(object, key, &value) && json_object_is_type(value, json_type_object) ? value
                                                                                                        : nullptr;
}

// 64 random bytes: a token says nothing about the credentials, and every
// connect starts a session of its own.
std::string sessionToken() { return appkit::randomToken(64, true); }

// False when the member is a text with a NUL byte inside (a C string would cut it).
bool wholeText(json_object* object, const char* key) {
  json_object* value = nullptr;
  if (!object || !zvJsonGetByName(object, key, &value) || !json_object_is_type(value, json_type_string)) return true;
  return !yx::hasNulByte(json_object_get_string(value), size_t(json_object_get_string_len(value)));
}

// True when the decoded text is shorter than its base64 text stands for:
// a decoder that ended a value at a NUL byte would cut it, never refuse it.
bool decodedShort(const char* base64, const std::string& decoded) {
  return decoded.size() < appkit::base64DecodedLength(base64);
}

// Failed log-ons of the workbench, counted per user and per client address.
yx::LogonGuard& logonGuard() {
  static yx::LogonGuard* guard = new yx::LogonGuard("plover", logLine);
  return *guard;
}

void getInfo(const Call& call) { appkit::answerToolInfo(call.reply, false); }

int connect(const Call& call) {
  if (!call.params || !(call.params && objectMember(call.params, "yxInfo")))
    return refuse(call, "ploverRouter -> Missing yxInfo");
  json_object* yxInfo = objectMember(call.params, "yxInfo");
  json_object* server = objectMember(yxInfo, "currentServer");
  if (!server) return refuse(call, "ploverRouter -> Missing currentServer");
  int32_t port = settings.sqlPort;
  zvJsonGetIntByName(server, "sqlPortNumber", &port);
  const char* host = stringMember(server, "hostOrIp");
  const char* database = stringMember(server, "database");
  if (!database) return refuse(call, "ploverRouter -> Invalid currentServer");
  char connectString[1024];
  snprintf(connectString, sizeof connectString, "%d@%s:%s", port, host ? host : kLoopbackHost, database);
  const char* user64 = stringMember(yxInfo, "userName");
  const char* password64 = stringMember(yxInfo, "userPassword");
  if (!user64 || !password64) return refuse(call, "ploverRouter -> Missing credentials");
  std::string user = appkit::base64Decode(user64), password = appkit::base64Decode(password64);
  // Cut at a NUL byte, "ADMIN\0junk" would log on as ADMIN.
  if (decodedShort(user64, user) || decodedShort(password64, password) || yx::hasNulByte(user.data(), user.size()) ||
      yx::hasNulByte(password.data(), password.size()) ||
      !wholeText(yxInfo, "userName") || !wholeText(yxInfo, "userPassword") || !wholeText(server, "database") ||
      !wholeText(server, "hostOrIp"))
    return refuse(call, "ploverRouter -> Invalid credentials: a name or credential holds a NUL byte");
  bool autoCommit = false, isolation = false;
  if (!zvJsonGetBooleanByName(yxInfo, "autoCommit", &autoCommit) ||
      !zvJsonGetBooleanByName(yxInfo, "isolationLevel", &isolation))
    return refuse(call, "ploverRouter -> Missing \"autoCommit\" or \"isolationLevel\" parameters");
  int32_t queryTimeout = kDefaultQueryTimeout;
  zvJsonGetIntByName(server, "queryTimeout", &queryTimeout);
  std::string token = sessionToken();
  int code = 0;
  std::string address = appkit::clientAddress();
  logonGuard().beforeAttempt(user, address);
  PooledConnection* connection =
      token.empty() ? nullptr : getOrCreateSessionPool(token, connectString, user, password, code);
  if (connection)
    logonGuard().succeeded(user, address);
  else if (code == kWrongPassword || code == kUnknownUser)
    logonGuard().failed(user, address);
  if (!connection) {
    setExceptionReply(call.reply, call.tid, code, "plover - Connection ", "", kRouterUnit);
    return -1;
  }
  connection->queryTimeout = queryTimeout;
  connection->autoCommit = autoCommit;
  connection->isolationLevel = isolation ? 1 : 0;
  releaseConnection(connection);
  json_object* result = zvJsonAlloc();
  zvJsonAddInt(result, "timeout", appkit::toolSettings().idleTimeout);
  zvJsonAddString(result, "token", token.c_str());
  zvJsonAdd(call.reply, "result", result);
  return 0;
}

int setTransaction(const Call& call, PooledConnection* connection) {
  const char* action = stringMember(call.yxInfo, "action");
  if (!action) return refuse(call, "ploverRouter -> setTransaction -> Missing Action");
  // A refused commit or rollback is the dispatcher's failure: it ends a batch.
  auto finish = [&](int code, const char* context) {
    if (code == 0) return 0;
    setExceptionReply(call.reply, call.tid, code, context, sql.zvsqlGetErrorMessage(connection->handle), kRouterUnit);
    return -1;
  };
  if (strcasecmp(action, "commit") == 0) return finish(sql.zvsqlCommit(connection->handle), "Commit");
  if (strcasecmp(action, "rollback") == 0) return finish(sql.zvsqlAbort(connection->handle), "Rollback");
  if (strcasecmp(action, "autoOn") == 0 || strcasecmp(action, "autoOff") == 0) {
    connection->autoCommit = strcasecmp(action, "autoOn") == 0;
    return 0;
  }
  return refuse(call, "ploverRouter -> setTransaction -> Unknown Action");
}

void getConnectionStatus(const Call& call, PooledConnection* connection) {
  int64_t elapsed = (nowMs() - int64_t(connection->GetLastUsed())) / 1000;
  connection->touch = false;  // asking for the status does not keep the session alive
  json_object* result = zvJsonAlloc();
  zvJsonAddInt(result, "timeout", appkit::toolSettings().idleTimeout);
  zvJsonAddInt(result, "timeleft", int32_t(appkit::toolSettings().idleTimeout - elapsed));
  zvJsonAdd(call.reply, "result", result);
}

// The methods of a session's connection; -1 for a dispatcher refusal.
int runSessionMethod(const Call& call, PooledConnection* connection) {
  const char* m = call.method;
  if (strcmp(m, "refreshConnection") == 0) return 0;  // returning the connection refreshes it
  if (strcmp(m, "getConnectionStatus") == 0) {
    getConnectionStatus(call, connection);
    return 0;
  }
  if (strcmp(m, "setTransaction") == 0) return setTransaction(call, connection);
  if (strcmp(m, "terminateScript") == 0) {
    if (connection->scriptSuspended) connection->autoCommit = true;
    return 0;
  }
  struct Handler {
    const char* name;
    MethodHandler run;
    bool takesYxInfo;  // the handler's input is params.yxInfo, else params
  };
  static const Handler kHandlers[] = {
      {"getLeftTree", getLeftTree, true},
      {"execScriptStatement", execScriptStatement, false},
      {"getBlobData", getBlobData, false},
      {"setBlobData", setBlobData, false},
      {"execQuery", execQuery, true},
      {"execStatement", execStatement, true},
      {"getTableRecords", getTableRecords, false},
      {"createTableRecord", createTableRecord, false},
      {"updateTableRecord", updateTableRecord, false},
      {"deleteTableRecord", deleteTableRecord, false},
      {"getObjectsInfo", getObjectsInfo, false},
      {"getExecPlanText", getExecPlanText, false},
      {"getExecPlanGraph", getExecPlanGraph, false},
      {"getSqlScript", getSqlScript, false},
  };
  for (const auto& h : kHandlers)
    if (strcmp(m, h.name) == 0) {
      SqlCallContext context{connection, call.tid};
      h.run(context, call.reply, h.takesYxInfo ? call.yxInfo : call.params);
      return 0;
    }
  setExceptionReply(call.reply, call.tid, 0, "ploverRouter -> Function not found", m, kRouterUnit);
  return -1;
}

int dispatchTokenMethod(const Call& call) {
  const char* token = stringMember(call.params, "token");
  if (!call.yxInfo) return refuse(call, "ploverRouter -> Missing yxInfo");
  if (!token) return refuse(call, "ploverRouter -> Missing Token");
  int code = 0;
  if (strcmp(call.method, "disconnect") == 0) {
    endSession(token);
    return 0;
  }
  PooledConnection* connection = findSessionConnection(token, code);
  if (!connection) return refuse(call, kExpired);
  int r = -1;
  try {
    r = runSessionMethod(call, connection);
  } catch (...) {
    releaseConnection(connection);
    throw;
  }
  releaseConnection(connection);
  // Its statement was stopped by the session's interrupt check: say why.
  if (VOKTClientGone() != 0)
    logLine(std::string("the client of the call ") + call.method + " has gone; its work is stopped");
  return r;
}

}  // namespace

namespace {

// A message cut to its buffer ends on a whole UTF-8 character: a reply is never invalid UTF-8.
void trimPartialCharacter(char* text) {
  size_t length = strlen(text);
  size_t start = length;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return;
  unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (lead >= 0xC0 && length - (start - 1) < need) text[start - 1] = '\0';
}

}  // namespace

void setExceptionReply(json_object* reply, int tid, int code, const char* context, const char* detail,
                       const char* where) {
  char message[1024];
  snprintf(message, sizeof message, "%s", context ? context : "");
  if (detail) {
    size_t used = strlen(message);
    if (code != 0)
      snprintf(message + used, sizeof message - used, " :  Error:  %d%s%s", code, *detail ? " -> " : " ", detail);
    else
      snprintf(message + used, sizeof message - used, " : %s", detail);
    if (code != 0) zvJsonAddInt(reply, "error", code);
  }
  trimPartialCharacter(message);
  zvJsonAddString(reply, "type", "exception");
  zvJsonAddString(reply, "message", message);
  zvJsonAddString(reply, "where", where);
  zvJsonAddInt(reply, "tid", tid);
}

void setRouterException(json_object* reply, int tid, const char* message) {
  zvJsonAddString(reply, "type", "exception");
  zvJsonAddString(reply, "message", message);
  zvJsonAddString(reply, "where", kRouterUnit);
  zvJsonAddInt(reply, "tid", tid);
}

int dispatchRemotingCall(json_object* request, json_object** replySlot) {
  json_object* reply = *replySlot;
  Call call{request, reply};
  zvJsonGetIntByName(request, "tid", &call.tid);
  const char* action = stringMember(request, "action");
  if (!action) return refuse(call, "ploverRouter -> Missing Action");
  if (strcasecmp(action, "vixServers") == 0) {
    appkit::serversFile(request, replySlot, "zvGetSetServers");
    return 0;
  }
  if (strcasecmp(action, "getErrors") == 0) {
    appkit::errorsFile(replySlot);
    return 0;
  }
  call.method = stringMember(request, "method");
  if (!call.method) return refuse(call, "ploverRouter -> Missing Method");
  json_object* data = nullptr;
  if (!zvJsonGetByName(request, "data", &data)) return refuse(call, "ploverRouter -> Missing Data");
  zvJsonAddString(reply, "type", "rpc");
  zvJsonAddString(reply, "action", action);
  zvJsonAddString(reply, "method", call.method);
  zvJsonAddInt(reply, "tid", call.tid);
  if (!json_object_is_type(data, json_type_array)) return refuse(call, "ploverRouter -> Invalid Data Array");
  call.params = zvJsonArrayLength(data) > 0 ? zvJsonArrayGetIdx(data, 0) : nullptr;
  if (strcasecmp(call.method, "getInfo") == 0) {
    getInfo(call);
    return 0;
  }
  if (strcasecmp(call.method, "connect") == 0) return connect(call);
  call.yxInfo = objectMember(call.params, "yxInfo");
  return dispatchTokenMethod(call);
}

json_object* apiDescriptor() {
  json_object* api = zvJsonAlloc();
  if (!api) return nullptr;
  zvJsonAddString(api, "url", "ploverRouter");
  zvJsonAddString(api, "type", "remoting");
  json_object* methods = zvJsonAllocArray();
  for (const char* name : kDescribedMethods) {
    json_object* method = zvJsonAlloc();
    zvJsonAddString(method, "name", name);
    zvJsonAddInt(method, "len", 1);
    zvJsonArrayAdd(methods, method);
  }
  json_object* actions = zvJsonAlloc();
  zvJsonAdd(actions, "quarnSQL", methods);
  zvJsonAdd(api, "actions", actions);
  zvJsonAddInt(api, "timeout", 120000);
  return api;
}

}  // namespace plover
