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
#include "appkit.h"
#include "osprey_webapp.h"
#include "yxlogon.h"

namespace avocet {

ClientApi api;

namespace {

constexpr int kMaxPoolSize = 1024;  // a configured size beyond it is cut to it
constexpr const char* kNodeName = "Web Server - avocet";
constexpr int kDefaultTimeType = 10;
constexpr size_t kMaxCommandInMessage = 256;
constexpr auto kReaperPause = std::chrono::milliseconds(2000);

struct Pool : appkit::SlotPool<Slot> {
  using SlotPool::SlotPool;
  int idleTimeout = 300;
  appkit::IdleReaper reaper;
};

std::mutex requestMutex;  // connect, disconnect, every token command, each reaper step
Pool* pool = nullptr;
std::atomic<bool> workersStopping{false};

Slot* findSlot(const char* token) { return pool->find(token); }

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

// 0 with the slot, appkit::kSlotPoolFull when none is free or no session can
// be had, else the engine's code.
int openSessionSlot(const std::string& server, const std::string& user, const std::string& password, Slot** out) {
  Slot* slot = pool->firstFree();
  if (!slot) return appkit::kSlotPoolFull;
  std::string token = appkit::randomToken();
  if (token.empty()) return 9022;
  api.zvdbSetQuarnOWNER(-1);
  RLHANDLE session = api.zvdbAllocSession(2);
  if (!session) return appkit::kSlotPoolFull;
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
  static yx::LogonGuard guard("avocet", [](const std::string& line) { appkit::toolLog(line); });
  return guard;
}

// zvIsamExConnect: the request mutex is taken only once the guard's wait is over.
void handleConnect(json_object* request, json_object* reply) {
  appkit::connectSlot("zvIsamExConnect", request, reply, logonGuard(), [&](const appkit::SlotConnectRequest& connect) {
    std::lock_guard<std::mutex> lock(requestMutex);
    Slot* slot = nullptr;
    int r = openSessionSlot(connect.server, connect.user, connect.password, &slot);
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
    return r;
  });
}

// ---- the reaper --------------------------------------------------------------------------

void reapIdleSessions(Pool* p) {
  time_t now = time(nullptr);
  for (auto& s : p->slots) {
    std::lock_guard<std::mutex> lock(requestMutex);
    if (!s.inUse() || s.busy || int64_t(difftime(now, s.lastUse)) < p->idleTimeout) continue;
    bool disconnected = s.lastUse == 0;
    closeSession(s);
    s.owner = disconnected ? -1 : -2;  // the token stays: its requests read "Connection expired."
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
  appkit::logOutcome("avocet", command, reply, changes);
}

std::string commandText(const char* command) { return std::string(command).substr(0, kMaxCommandInMessage); }

bool runPublicCommand(const char* command, json_object* request, json_object** reply) {
  if (strcasecmp(command, "zvIsamExGetInfo") == 0)
    appkit::answerToolInfo(*reply, true);
  else if (strcasecmp(command, "zvIsamExServers") == 0)
    appkit::serversFile(request, reply, "zvIsamExServers");
  else if (strcasecmp(command, "zvIsamExGetErrors") == 0)
    appkit::errorsFile(reply);
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
  pool->reaper.stop();
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
#define AVOCET_BINDING(name) APPKIT_BINDING(api, name),
  return appkit::bindLibrary(
      "ravlink.so", "avocet",
      {AVOCET_CLIENT_FUNCTIONS(AVOCET_BINDING) AVOCET_BINDING(rlGetAlterProgress) AVOCET_BINDING(rlBlobSetHex)}, error);
#undef AVOCET_BINDING
}

}  // namespace avocet

using namespace avocet;

extern "C" {

__attribute__((visibility("default"))) int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData*) {
  try {
    std::lock_guard<std::mutex> lock(requestMutex);
    int r = bindClientLibrary(error);
    if (r != 0) return r;
    appkit::readInitRecord(record, "avocet.cfg", kMaxPoolSize, "avocet Application");
    r = api.zvThrdInit(100, 0, 0);
    if (r != 0 && r != 125) {
      snprintf(error, 1024, "Not able to initialize thread management for avocet web application");
      return r;
    }
    if (pool) return 0;  // a second init keeps the pool, its logons and its reaper
    auto p = std::make_unique<Pool>(size_t(appkit::toolSettings().poolSize));
    for (auto& s : p->slots) s.lastUse = time(nullptr);
    p->idleTimeout = appkit::toolSettings().idleTimeout;
    Pool* started = p.get();
    p->reaper.start(kReaperPause, [started] { reapIdleSessions(started); });
    pool = p.release();
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
