// avocet's entry points, engine binding, slot pool, reaper, router and the
// tree of databases and tables.
#include <dlfcn.h>
#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "VOKTBasic.h"
#include "avocet.h"
#include "finch.h"
#include "osprey_webapp.h"
#include "yxlogon.h"

// The tools' shared helpers keep their state here.
finch::Module finch::module;

namespace avocet {

ClientApi api;

namespace {

constexpr int kMaxPoolSize = 1024;  // a configured size beyond it is cut to it
constexpr const char* kNodeName = "Web Server - avocet";
constexpr int kDefaultTimeType = 10;
constexpr size_t kMaxCommandInMessage = 256;
constexpr int kReaperPauseMs = 2000;

struct Pool {
  std::vector<Slot> slots;
  int idleTimeout = 300;
  std::thread reaper;
  std::mutex stopMutex;
  std::condition_variable stopSignal;
  bool stopRequested = false;
  explicit Pool(size_t count) : slots(count) {}
};

std::mutex requestMutex;  // connect, disconnect, every token command, each reaper step
Pool* pool = nullptr;
std::atomic<bool> workersStopping{false};

Slot* findSlot(const char* token) {
  for (auto& s : pool->slots)
    if (finch::tokensEqual(s.token, token)) return &s;
  return nullptr;
}

// Ends the slot's logon (request thread or reaper); the slot is not busy.
void closeSession(Slot& s) {
  if (s.session) {
    api.zvdbSetQuarnOWNER(s.owner);
    api.zvdbLogout(s.session);
    api.zvdbFreeSession(s.session);
    api.zvdbSetQuarnOWNER(-1);
  }
  s.session = nullptr;
  delete s.commandContext;
  s.commandContext = nullptr;
}

// 0 with the slot, -1 when none is free or no session can be had, else the engine's code.
int openSessionSlot(const std::string& server, const std::string& user, const std::string& password, Slot** out) {
  Slot* slot = nullptr;
  for (auto& s : pool->slots)
    if (!s.inUse()) {
      slot = &s;
      break;
    }
  if (!slot) return -1;
  std::string token = finch::randomToken();
  if (token.empty()) return 9022;
  api.zvdbSetQuarnOWNER(-1);
  RLHANDLE session = api.zvdbAllocSession(2);
  if (!session) return -1;
  int r = api.zvdbLogon(session, server.c_str(), user.c_str(), password.c_str());
  if (r != 0) {
    api.zvdbFreeSession(session);
    return r;
  }
  api.zvdbSetCurrentNodeName(session, kNodeName);
  api.zvdbSetDefTimeType(session, kDefaultTimeType);
  delete slot->commandContext;  // an expired slot's: its worker ended before the reaper took the slot
  slot->commandContext = nullptr;
  slot->owner = api.zvdbGetQuarnOWNER();
  slot->session = session;
  slot->lastUse = time(nullptr);
  slot->token = token;
  *out = slot;
  return 0;
}

// The log-ons of this browser, counted per user and client address: an
// address that keeps failing waits longer before each attempt.
yx::LogonGuard& logonGuard() {
  static yx::LogonGuard guard("avocet", [](const std::string& line) { finch::toolLog(line); });
  return guard;
}

// What zvIsamExConnect asks for; read before the request mutex is taken.
struct ConnectRequest {
  std::string server, user, password;
};

// false when the reply is final already (an error, or empty without credentials).
bool readConnectRequest(json_object* request, json_object* reply, ConnectRequest* out) {
  json_object* info = nullptr;
  if (!zvJsonGetByName(request, "serverInfo", &info) || !json_object_is_type(info, json_type_object)) {
    zvJsonSetError(9007, "zvIsamExConnect - Invalid parameter - Missing serverInfo in the request", reply);
    return false;
  }
  const char* serverName = nullptr;
  if (memberText(info, "serverName", &serverName))
    out->server.assign(serverName, size_t(json_object_get_string_len(json_object_object_get(info, "serverName"))));
  else
    out->server = finch::module.localServer;
  const char* user = nullptr;
  const char* password = nullptr;
  if (!memberText(info, "userName", &user) || !memberText(info, "userPassword", &password))
    return false;  // the reply stays empty: the page sent no credentials
  out->user = finch::base64Decode(user);
  out->password = finch::base64Decode(password);
  // A name cut at a NUL byte would log on as someone the page did not name.
  if (yx::hasNulByte(out->user.data(), out->user.size()) ||
      yx::hasNulByte(out->password.data(), out->password.size()) ||
      yx::hasNulByte(out->server.data(), out->server.size())) {
    zvJsonSetError(9007, "zvIsamExConnect - Invalid parameter - a credential or the server name holds a NUL byte",
                   reply);
    return false;
  }
  out->server.resize(std::min<size_t>(out->server.size(), 255));
  return true;
}

// zvIsamExConnect: the wait the guard asks for comes before the request
// mutex, so that a client that keeps failing holds up no one else.
void handleConnect(json_object* request, json_object* reply) {
  ConnectRequest connect;
  if (!readConnectRequest(request, reply, &connect)) return;
  std::string address = finch::clientAddress();
  logonGuard().beforeAttempt(connect.user, address);
  Slot* slot = nullptr;
  int r;
  {
    std::lock_guard<std::mutex> lock(requestMutex);
    r = openSessionSlot(connect.server, connect.user, connect.password, &slot);
    if (r == 0) {
      char separator[2] = {api._zvdbGetPathSeparator(slot->session), '\0'};
      json_object* result = zvJsonAlloc();
      zvJsonAddInt(result, "timeout", pool->idleTimeout);
      zvJsonAddString(result, "token", slot->token.c_str());
      zvJsonAddString(result, "pathseparator", separator);
      zvJsonAdd(reply, "result", result);
      zvJsonSetSuccess(reply);
    }
    api.zvdbSetQuarnOWNER(-1);
  }
  if (r == 0) {
    logonGuard().succeeded(connect.user, address);
  } else if (r == -1) {
    zvJsonSetError(9022, "zvIsamExConnect - Connection pool is full", reply);
  } else {
    if (r != 9022) logonGuard().failed(connect.user, address);
    zvJsonSetError(r, "zvIsamExConnect - Connection error", reply);
  }
}

void getInfo(json_object* reply) {
  json_object* result = zvJsonAlloc();
  zvJsonAddBoolean(result, "proxy_enabled", finch::module.agentMaster);
  zvJsonAddBoolean(result, "unicode", finch::module.unicode);
  zvJsonAdd(result, "availableConnections", finch::listAvailableConnections(finch::module.connTypes));
  zvJsonAdd(reply, "result", result);
  zvJsonSetSuccess(reply);
}

// ---- the reaper --------------------------------------------------------------------------

void reapIdleSessions(Pool* p) {
  std::unique_lock<std::mutex> stop(p->stopMutex);
  while (!p->stopRequested) {
    stop.unlock();
    time_t now = time(nullptr);
    for (auto& s : p->slots) {
      std::lock_guard<std::mutex> lock(requestMutex);
      if (!s.inUse() || s.busy || int64_t(difftime(now, s.lastUse)) < p->idleTimeout) continue;
      bool disconnected = s.lastUse == 0;
      closeSession(s);
      s.owner = disconnected ? -1 : -2;  // the token stays: its requests read "Connection expired."
    }
    stop.lock();
    p->stopSignal.wait_for(stop, std::chrono::milliseconds(kReaperPauseMs), [&] { return p->stopRequested; });
  }
}

// ---- the tree ----------------------------------------------------------------------------

json_object* treeNode(const char* text, const char* icon, bool leaf, json_object* nodeId) {
  json_object* node = zvJsonAlloc();
  zvJsonAddString(node, "text", text);
  zvJsonAddString(node, "icon", icon);
  zvJsonAddBoolean(node, "leaf", leaf);
  zvJsonAddString(node, "cls", "folder");
  zvJsonAdd(node, "nodeId", nodeId);
  return node;
}

// The tree's nodes of every database. A walk the engine stops with a code
// answers that code: the tree never looks empty when it is not.
json_object* databaseNodes(RLHANDLE session, int* code) {
  json_object* children = zvJsonAllocArray();
  for (const CatalogEntry& database : listDatabases(session, code)) {
    json_object* nodeId = zvJsonAlloc();
    zvJsonAddInt(nodeId, "type", 1);
    zvJsonAddString(nodeId, "dbName", database.name.c_str());
    zvJsonAddString(nodeId, "dbPath", database.path.c_str());
    zvJsonArrayAdd(children, treeNode(database.name.c_str(), "resources/images/database.png", false, nodeId));
  }
  return children;
}

json_object* tableNodes(RLHANDLE session, const char* database, bool showSysTables, int* code) {
  TableHandles handles(session);
  if (!handles.allocDatabase()) return nullptr;
  if (handles.connect(database) != 0) return zvJsonAllocArray();  // a failed connect lists nothing
  json_object* children = zvJsonAllocArray();
  for (const CatalogEntry& table : listTables(handles.database, code)) {
    bool system = table.path.find("SQL_SYS") != std::string::npos;
    if (system && !showSysTables) continue;
    json_object* nodeId = zvJsonAlloc();
    zvJsonAddInt(nodeId, "type", system ? 3 : 2);
    zvJsonAddString(nodeId, "Name", table.name.c_str());
    zvJsonAddString(nodeId, "Path", table.path.c_str());
    zvJsonArrayAdd(
        children, treeNode(table.name.c_str(), system ? "resources/images/tableplus.png" : "resources/images/table.png",
                           true, nodeId));
  }
  return children;
}

void getTreeNodes(Slot& slot, json_object* request, json_object* reply) {
  json_object* info = nullptr;
  json_object* nodeId = nullptr;
  int32_t type = 0;
  bool showSysTables = false;
  memberBool(request, "showSysTables", &showSysTables);
  if (!zvJsonGetByName(request, "yxInfo", &info) || !zvJsonGetByName(info, "nodeId", &nodeId) ||
      !memberInt(nodeId, "type", &type))
    return;
  int code = 0;
  const char* database = nullptr;
  if (type == 0)
    zvJsonAdd(reply, "children", databaseNodes(slot.session, &code));
  else if (type == 1 && memberText(nodeId, "dbName", &database))
    zvJsonAdd(reply, "children", tableNodes(slot.session, database, showSysTables, &code));
  if (code != 0) zvJsonSetError(code, "zvIsamExGetTreeNodes - The engine could not list the tree", reply);
}

// ---- the router --------------------------------------------------------------------------

// Logs a command's outcome: failures always; successes of the commands that
// change databases, tables, records, logons or the servers file.
void logOutcome(const char* command, json_object* request, json_object* reply) {
  static const char* const kChanging[] = {
      "zvIsamExConnect",           "zvIsamExDisconnect",   "zvIsamExDoAction",          "zvIsamExCreateNewTable",
      "zvIsamExUpdateTable",       "zvIsamExRebuildTable", "zvIsamExUpdateTableRecord", "zvIsamExCreateTableRecord",
      "zvIsamExRemoveTableRecord", "zvIsamExSetNull",      "zvIsamExSetTableBlob"};
  bool changes = false;
  for (const char* name : kChanging) changes = changes || strcasecmp(command, name) == 0;
  const char* op = nullptr;
  changes = changes || (zvJsonGetStringByName(request, "op", &op) && op && strcmp(op, "write") == 0);
  finch::logOutcome("avocet", command, reply, changes);
}

std::string commandText(const char* command) { return std::string(command).substr(0, kMaxCommandInMessage); }

bool runPublicCommand(const char* command, json_object* request, json_object** reply) {
  if (strcasecmp(command, "zvIsamExGetInfo") == 0)
    getInfo(*reply);
  else if (strcasecmp(command, "zvIsamExServers") == 0)
    finch::serversFile(request, reply, "zvIsamExServers");
  else if (strcasecmp(command, "zvIsamExGetErrors") == 0)
    finch::errorsFile(reply);
  else
    return false;
  return true;
}

void disconnect(const char* token, json_object* reply) {
  Slot* s = findSlot(token);
  if (!s) {
    zvJsonSetError(9022, "zvIsamExDisconnect - Unspecified error", reply);
    return;
  }
  if (s->busy) {
    s->lastUse = 0;  // the reaper ends the logon once the worker has ended
    zvJsonSetSuccess(reply);
    return;
  }
  closeSession(*s);
  s->owner = -1;
  s->token.clear();
  zvJsonSetSuccess(reply);
}

struct TableCommand {
  const char* name;
  TableHandler handler;
  bool keptContext;  // alterations and rebuilds work on the slot's kept context
};

const TableCommand kTableCommands[] = {
    {"zvIsamExGetFields", getFields, false},
    {"zvIsamExGetProperties", getProperties, false},
    {"zvIsamExGetIndexes", getIndexes, false},
    {"zvIsamExGetIndexSegments", getIndexSegments, false},
    {"zvIsamExGetIndexesSegments", getIndexesSegments, false},
    {"zvIsamExGetTableRecords", readRecordPage, false},
    {"zvIsamExGetTableBlob", getTableBlob, false},
    {"zvIsamExSetTableBlob", setTableBlob, false},
    {"zvIsamExUpdateTableRecord", updateRecord, false},
    {"zvIsamExRemoveTableRecord", removeRecord, false},
    {"zvIsamExCreateTableRecord", createRecord, false},
    {"zvIsamExSetNull", setFieldNull, false},
    {"zvIsamExCreateNewTable", createTable, false},
    {"zvIsamExUpdateTable", alterTable, true},
    {"zvIsamExRebuildTable", rebuildTable, true},
};

void runTableCommand(const TableCommand& c, Slot& slot, json_object* request, json_object* reply) {
  if (!c.keptContext) {
    TableCommandContext context;
    context.slot = &slot;
    c.handler(context, reply, request);
    return;
  }
  if (!slot.commandContext) {
    slot.commandContext = new TableCommandContext();
    slot.commandContext->slot = &slot;
  }
  // The previous worker of this slot has ended (the slot is not busy): collect its thread.
  if (slot.commandContext->worker.joinable()) slot.commandContext->worker.join();
  c.handler(*slot.commandContext, reply, request);
}

void connectionStatus(Slot& slot, const std::string& name, json_object* reply) {
  int64_t left = pool->idleTimeout - int64_t(difftime(time(nullptr), slot.lastUse));
  json_object* result = zvJsonAlloc();
  zvJsonAddBigint(result, "timeleft", left);
  zvJsonAdd(reply, "result", result);
  if (left < 0)
    zvJsonSetError(-1, (name + " - Connection expired.").c_str(), reply);
  else
    zvJsonSetSuccess(reply);
}

void runSlotCommand(const char* command, Slot& slot, json_object* request, json_object* reply) {
  std::string name = commandText(command);
  if (strcasecmp(command, "zvIsamExCheckRebuildProgress") == 0) {
    json_object* result = zvJsonAlloc();
    zvJsonAddBigint(result, "progress", slot.progress.load());
    zvJsonAdd(reply, "result", result);
    zvJsonSetSuccess(reply);
    return;
  }
  if (slot.busy) {
    refuseWithCodeZero((name + " - Connection busy.").c_str(), reply);
    return;
  }
  if (strcasecmp(command, "zvIsamExRefreshConnection") == 0) {
    zvJsonSetSuccess(reply);
  } else if (strcasecmp(command, "zvIsamExConnectionStatus") == 0) {
    connectionStatus(slot, name, reply);
  } else if (strcasecmp(command, "zvIsamExGetTreeNodes") == 0) {
    getTreeNodes(slot, request, reply);
  } else if (strcasecmp(command, "zvIsamExDoAction") == 0) {
    doAction(slot, request, reply);
  } else {
    for (const auto& c : kTableCommands)
      if (strcasecmp(command, c.name) == 0) {
        runTableCommand(c, slot, request, reply);
        return;
      }
    zvJsonSetError(9042, (name + " is not a supported function.").c_str(), reply);
  }
}

void runTokenCommand(const char* command, const char* token, json_object* request, json_object* reply) {
  if (!token || !*token) {
    zvJsonSetError(9022, "Missing token", reply);
    return;
  }
  std::lock_guard<std::mutex> lock(requestMutex);
  if (strcasecmp(command, "zvIsamExDisconnect") == 0) {
    disconnect(token, reply);
    return;
  }
  Slot* s = findSlot(token);
  std::string name = commandText(command);
  if (!s) {
    zvJsonSetError(9042, (name + " - Unable to find the connection.").c_str(), reply);
    return;
  }
  if (strcmp(command, "zvIsamExConnectionStatus") != 0 && s->lastUse != 0) s->lastUse = time(nullptr);
  if (!s->inUse()) {
    zvJsonSetError(9048, (name + " - Connection expired.").c_str(), reply);
    return;
  }
  api.zvdbSetQuarnOWNER(s->owner);
  runSlotCommand(command, *s, request, reply);
}

void stopPool() {
  if (!pool) return;
  // The reaper first: it could free a command context while its worker is joined below.
  {
    std::lock_guard<std::mutex> lock(pool->stopMutex);
    pool->stopRequested = true;
  }
  pool->stopSignal.notify_all();
  if (pool->reaper.joinable()) pool->reaper.join();
  // Running alterations are asked to stop (they then change nothing), and
  // every worker is joined before the slots it uses go.
  workersStopping = true;
  for (auto& s : pool->slots) {
    delete s.commandContext;  // joins its worker
    s.commandContext = nullptr;
  }
  delete pool;  // logons still held are not logged off: the process is ending
  pool = nullptr;
  workersStopping = false;
}

}  // namespace

TableCommandContext::~TableCommandContext() {
  if (worker.joinable()) worker.join();
}

bool stopRequested() { return workersStopping; }

void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(LOG_DEBUG, format, args);
  va_end(args);
}

int bindClientLibrary(char* error) {
  errno = 0;
  void* library = dlopen(finch::libraryNextToSelf("ravlink.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    int code = errno ? errno : ENOENT;
    snprintf(error, 1024, "Not able to load client symbols for avocet tool. Can't find local client library handle: %d",
             code);
    return code;
  }
#define AVOCET_BIND(name)                                                                                         \
  api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, #name));                                         \
  if (!api.name) {                                                                                                \
    snprintf(error, 1024, "Not able to load client symbols for avocet tool. Unable to resolve quarn function %s", \
             #name);                                                                                              \
    return 1;                                                                                                     \
  }
  AVOCET_CLIENT_FUNCTIONS(AVOCET_BIND)
  AVOCET_BIND(rlGetAlterProgress)
  AVOCET_BIND(rlBlobSetHex)
#undef AVOCET_BIND
  return 0;  // the library stays loaded for the process's life
}

}  // namespace avocet

using namespace avocet;

extern "C" {

__attribute__((visibility("default"))) int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData*) {
  try {
    std::lock_guard<std::mutex> lock(requestMutex);
    int r = bindClientLibrary(error);
    if (r != 0) return r;
    finch::readInitRecord(record, "avocet.cfg", kMaxPoolSize, "avocet Application");
    r = api.zvThrdInit(100, 0, 0);
    if (r != 0 && r != 125) {
      snprintf(error, 1024, "Not able to initialize thread management for avocet web application");
      return r;
    }
    if (pool) return 0;  // a second init keeps the pool, its logons and its reaper
    auto* p = new Pool(size_t(finch::module.poolSize));
    for (auto& s : p->slots) s.lastUse = time(nullptr);
    p->idleTimeout = finch::module.idleTimeout;
    p->reaper = std::thread(reapIdleSessions, p);
    pool = p;
    return 0;
  } catch (const std::exception& e) {
    snprintf(error, 1024, "Not able to start avocet web application - %s", e.what());
    return 9022;
  }
}

__attribute__((visibility("default"))) int32_t term(char* error) {
  if (error) error[0] = '\0';
  try {
    stopPool();
  } catch (const std::exception&) {
    // A worker that cannot be joined: the process is ending.
  }
  return 0;
}

// The most request body each command takes: what its members need, with
// room for JSON's escapes. The plug-in refuses a larger body unparsed.
__attribute__((visibility("default"))) int64_t requestBodyLimit(const char* command) {
  struct Limit {
    const char* command;
    int64_t bytes;
  };
  static const Limit kLimits[] = {
      {"zvIsamExSetTableBlob", 8 * 1024 * 1024},       // a field's whole value as hexadecimal text
      {"zvIsamExUpdateTableRecord", 4 * 1024 * 1024},  // a record's values, long ones included
      {"zvIsamExCreateTableRecord", 4 * 1024 * 1024},
      {"zvIsamExCreateNewTable", 1024 * 1024},  // a definition: fields, indexes and their segments
      {"zvIsamExUpdateTable", 1024 * 1024},
      {"zvIsamExServers", 512 * 1024},  // the servers file holds up to 64 KiB
  };
  for (const Limit& limit : kLimits)
    if (command && strcasecmp(command, limit.command) == 0) return limit.bytes;
  return 64 * 1024;  // names, paths, positions, options and conditions
}

__attribute__((visibility("default"))) int32_t router(const char* command, const char* token, json_object* request,
                                                      json_object** reply) {
  *reply = zvJsonAlloc();
  if (!*reply) return 0;
  if (!command) return 0;
  if (!pool) {
    zvJsonSetError(9022, "The table browser is not started", *reply);
    return 0;
  }
  try {
    api.zvdbSetQuarnOWNER(-1);
    if (!runPublicCommand(command, request, reply)) {
      if (strcasecmp(command, "zvIsamExConnect") == 0) {
        handleConnect(request, *reply);  // takes the request mutex itself
      } else {
        runTokenCommand(command, token, request, *reply);
      }
    }
  } catch (const std::bad_alloc&) {
    zvJsonSetError(9010, "Out of memory", *reply);
  } catch (const std::exception& e) {
    zvJsonSetError(9022, e.what(), *reply);
  }
  api.zvdbSetQuarnOWNER(-1);
  logOutcome(command, request, *reply);
  return 0;
}

}  // extern "C"
