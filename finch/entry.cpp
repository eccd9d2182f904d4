// finch's entry points, configuration, engine binding, slot pool, reaper,
// tokens and router.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "VOKTBasic.h"
#include "finch.h"
#include "osprey_webapp.h"
#include "yxlogon.h"

namespace finch {

ClientApi api;
Module& module = appkit::toolSettings();

namespace {

constexpr int kMaxPoolSize = 1024;  // a configured size beyond it is cut to it
constexpr const char* kInstanceName = "VIXMonitor";
constexpr const char* kNodeName = "Web Server - VIXMonitor";
constexpr size_t kMaxCommandInMessage = 256;
constexpr auto kReaperPause = std::chrono::milliseconds(2000);

struct Slot {
  std::string token;   // 32 hex digits; empty when free
  int32_t owner = -1;  // -1 free, -2 expired, else the engine's owner number
  time_t lastUse = 0;
  bool inUse() const { return owner >= 0; }
};

// The pool and its reaper live from the first successful init to term.
struct Pool : appkit::SlotPool<Slot> {
  using SlotPool::SlotPool;
  int idleTimeout = 300;
  appkit::IdleReaper reaper;
};

std::mutex requestMutex;  // every command and each reaper step
Pool* pool = nullptr;

// ---- slots -----------------------------------------------------------------------------

Slot* findSlot(const char* token) { return pool->find(token); }

// Logs the slot's logon off (request thread or reaper); results do not matter.
void closeSlot(Slot& s) {
  api.zvdbSetQuarnOWNER(s.owner);
  api.CLISAM();
  api.UNRQUARN(kInstanceName);
  api.zvThrdDetach();
  api.zvdbSetQuarnOWNER(-1);
}

// 0 with the slot, appkit::kSlotPoolFull when none is free, else the engine's code.
int openPoolSlot(const std::string& server, const std::string& user, const std::string& password, Slot** out) {
  Slot* slot = pool->firstFree();
  if (!slot) return appkit::kSlotPoolFull;
  std::string token = appkit::randomToken();
  if (token.empty()) return 9022;
  api.zvdbSetQuarnOWNER(-1);
  api.zvThrdAttach();
  int r = api.REGQUARN(kInstanceName);
  if (r == RL_MON_NAME_REGISTERED) {
    api.UNRQUARN(kInstanceName);
    r = api.REGQUARN(kInstanceName);
  }
  if (r == 0) r = api.SWTQUARN(kInstanceName);
  if (r == 0) r = api.INTISAMX4(10, 10, 16, 10, 0, user.c_str(), password.c_str(), server.c_str());
  if (r != 0) {
    api.zvThrdDetach();
    return int16_t(r);
  }
  api.SETNODE(kNodeName);
  slot->owner = api.zvdbGetQuarnOWNER();
  slot->lastUse = time(nullptr);
  slot->token = token;
  *out = slot;
  return 0;
}

// zvMonConnect: the request mutex is taken only once the guard's wait is over.
void handleConnect(json_object* request, json_object** reply) {
  appkit::connectSlot("zvMonConnect", request, *reply, logonGuard(), [&](const appkit::SlotConnectRequest& connect) {
    std::lock_guard<std::mutex> lock(requestMutex);
    Slot* slot = nullptr;
    int r = openPoolSlot(connect.server, connect.user, connect.password, &slot);
    if (r == 0) {
      json_object* result = zvJsonAlloc();
      zvJsonAddInt(result, "timeout", module.idleTimeout);
      zvJsonAddString(result, "token", slot->token.c_str());
      zvJsonAdd(*reply, "result", result);
      zvJsonSetSuccess(*reply);
    }
    api.zvdbSetQuarnOWNER(-1);
    return r;
  });
}

// ---- the reaper --------------------------------------------------------------------------

void reapIdleConnections(Pool* p) {
  time_t now = time(nullptr);
  for (auto& s : p->slots) {
    std::lock_guard<std::mutex> lock(requestMutex);
    // Every logged-on slot, whatever owner number the engine gave it.
    if (s.inUse() && int64_t(difftime(now, s.lastUse)) >= p->idleTimeout) {
      closeSlot(s);
      s.owner = -2;
    }
  }
}

// ---- commands ----------------------------------------------------------------------------

using Handler = void (*)(json_object* request, json_object** reply);

void sysSnapshot(json_object*, json_object** reply) {
  CounterContext c;
  sysSnapshotRows(c, kRows, reply);
}
void sqlSnapshot(json_object*, json_object** reply) {
  CounterContext c;
  sqlSnapshotRows(c, kRows, reply);
}
void userSnapshot(json_object* request, json_object** reply) {
  CounterContext c;
  userSnapshotRows(c, request, reply);
}
void fileSnapshot(json_object* request, json_object** reply) {
  CounterContext c;
  fileSnapshotRows(c, request, reply);
}
void ioPerformance(json_object*, json_object** reply) {
  CounterContext c;
  ioPerformanceRows(c, reply);
}
void sysConfig(json_object*, json_object** reply) {
  CounterContext c;
  sysConfigRows(c, reply);
}
void getCounters(json_object*, json_object** reply) { counterTree(reply); }
void activeConnections(json_object* request, json_object** reply) {
  CounterContext c;
  listActiveConnections(c, request, reply);
}
void takeSnapshot(json_object* request, json_object** reply) { snapshotToLog(request, reply); }
void getFunctionTiming(json_object*, json_object** reply) { functionTimingReport(reply); }
void getDashboard(json_object* request, json_object** reply) { buildDashboard(request, reply); }

struct Command {
  const char* name;
  Handler handler;
};

// The token commands, in the router's order.
const Command kTokenCommands[] = {
    {"zvMonSysSnapShot", sysSnapshot},
    {"zvMonSysConfig", sysConfig},
    {"zvMonSqlSnapShot", sqlSnapshot},
    {"zvMonUserSnapShot", userSnapshot},
    {"zvMonGetCounters", getCounters},
    {"zvMonGetActiveConnections", activeConnections},
    {"zvMonGetEventLogs", readEventLog},
    {"zvMonPurgeEventLogs", purgeEventLogs},
    {"zvMonIoPerformanceX", ioPerformance},
    {"zvMonOpenFiles", openFiles},
    {"zvMonUsersForFile", usersForFile},
    {"zvMonLocksForFile", locksForFile},
    {"zvMonStatsForFile", fileSnapshot},
    {"zvMonSetFunctionTiming", setFunctionTiming},
    {"zvMonGetFunctionTiming", getFunctionTiming},
    {"zvMonTakeSnapshot", takeSnapshot},
    {"zvMonMemAlloc", memAllocRows},
    {"zvMonMemStat", memStat},
    {"zvMonGetDashboard", getDashboard},
    {"zvMonKillUser", killUser},
};

// Commands whose success is logged too: they change the server, a logon or a file.
bool changesSomething(const char* command, json_object* request) {
  static const char* const kChanging[] = {"zvMonConnect",          "zvMonDisconnect",   "zvMonKillUser",
                                          "zvMonPurgeEventLogs",   "zvMonTakeSnapshot", "zvMonMemStat",
                                          "zvMonSetFunctionTiming"};
  for (const char* name : kChanging)
    if (strcasecmp(command, name) == 0) return true;
  const char* op = nullptr;
  return zvJsonGetStringByName(request, "op", &op) && op && strcmp(op, "write") == 0;  // the files
}

std::string commandText(const char* command) { return std::string(command).substr(0, kMaxCommandInMessage); }

bool runPublicCommand(const char* command, json_object* request, json_object** reply) {
  if (strcasecmp(command, "zvMonGetInfo") == 0)
    appkit::answerToolInfo(*reply, true);
  else if (strcasecmp(command, "zvMonLayouts") == 0)
    layoutsFile(request, reply);
  else if (strcasecmp(command, "zvMonDashboard") == 0)
    dashboardFile(request, reply);
  else if (strcasecmp(command, "zvMonGetErrors") == 0)
    errorsFile(reply);
  else if (strcasecmp(command, "zvMonServers") == 0)
    serversFile(request, reply, "zvMonServers");
  else
    return false;
  return true;
}

void runTokenCommand(const char* command, const char* token, json_object* request, json_object** reply) {
  if (!token || !*token) {
    zvJsonSetError(9022, "Missing token", *reply);
    return;
  }
  if (strcasecmp(command, "zvMonDisconnect") == 0) {
    Slot* s = findSlot(token);
    if (!s) {
      zvJsonSetError(9022, "zvMonDisconnect - Unspecified error", *reply);
      return;
    }
    if (s->inUse()) closeSlot(*s);
    s->owner = -1;
    s->token.clear();
    zvJsonSetSuccess(*reply);
    return;
  }
  Slot* s = findSlot(token);
  if (s && strcmp(command, "zvMonConnectionStatus") != 0) s->lastUse = time(nullptr);
  std::string name = commandText(command);
  if (!s) {
    zvJsonSetError(9048, (name + " - Unable to find the connection.").c_str(), *reply);
    return;
  }
  if (s->owner == -2) {
    zvJsonSetError(9048, (name + " - Connection expired.").c_str(), *reply);
    return;
  }
  api.zvdbSetQuarnOWNER(s->owner);
  if (strcasecmp(command, "zvMonConnectionStatus") == 0) {
    int64_t left = module.idleTimeout - int64_t(difftime(time(nullptr), s->lastUse));
    json_object* result = zvJsonAlloc();
    zvJsonAddBigint(result, "timeleft", left);
    zvJsonAdd(*reply, "result", result);
    if (left < 0) zvJsonSetError(9048, (name + " - Connection expired.").c_str(), *reply);
    return;
  }
  if (strcasecmp(command, "zvMonRefreshConnection") == 0) {
    zvJsonSetSuccess(*reply);
    return;
  }
  for (const auto& c : kTokenCommands)
    if (strcasecmp(command, c.name) == 0) {
      c.handler(request, reply);
      return;
    }
  zvJsonSetError(9042, (name + " is not a supported function.").c_str(), *reply);
}

}  // namespace

// The log-ons of this monitor, counted per user and client address: an
// address that keeps failing waits longer before each attempt.
yx::LogonGuard& logonGuard() {
  static yx::LogonGuard guard("finch", [](const std::string& line) { toolLog(line); });
  return guard;
}

int bindClientLibrary(char* error) {
#define FINCH_BINDING(name) APPKIT_BINDING(api, name),
  return appkit::bindLibrary("ravlink.so", "Monitor", {FINCH_CLIENT_FUNCTIONS(FINCH_BINDING)}, error);
#undef FINCH_BINDING
}

}  // namespace finch

using namespace finch;

extern "C" {

__attribute__((visibility("default"))) int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData*) {
  try {
    int r = bindClientLibrary(error);
    if (r != 0) return r;
    appkit::readInitRecord(record, "finch.cfg", kMaxPoolSize, "Monitor Application");
    r = api.zvThrdInit(100, 0, 0);
    if (r != 0 && r != 125) {
      snprintf(error, 1024, "Not able to initialize thread management for finch web application");
      return r;
    }
    if (pool) return 0;  // a second init keeps the pool of the first
    auto p = std::make_unique<Pool>(size_t(module.poolSize));
    for (auto& s : p->slots) s.lastUse = time(nullptr);
    p->idleTimeout = module.idleTimeout;
    Pool* started = p.get();
    p->reaper.start(kReaperPause, [started] { reapIdleConnections(started); });
    pool = p.release();
    return 0;
  } catch (const std::exception& e) {
    snprintf(error, 1024, "Not able to start finch web application - %s", e.what());
    return 9022;
  }
}

__attribute__((visibility("default"))) int32_t term(char* error) {
  if (pool) {
    pool->reaper.stop();
    delete pool;  // slots in use are not logged off: the process is ending
    pool = nullptr;
  }
  if (error) error[0] = '\0';
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
      {"zvMonLayouts", 1024 * 1024},     // the layouts file holds up to 256 KiB
      {"zvMonDashboard", 512 * 1024},    // the dashboard file holds up to 64 KiB
      {"zvMonServers", 512 * 1024},      // the servers file holds up to 64 KiB
      {"zvMonGetDashboard", 64 * 1024},  // ten servers with their credentials and classes
  };
  for (const Limit& limit : kLimits)
    if (command && strcasecmp(command, limit.command) == 0) return limit.bytes;
  return 16 * 1024;  // credentials, a task, a file name, filters, counter names
}

__attribute__((visibility("default"))) int32_t router(const char* command, const char* token, json_object* request,
                                                      json_object** reply) {
  *reply = zvJsonAlloc();
  if (!*reply) return 0;
  if (!pool || !command) {
    zvJsonSetError(9022, "The monitor is not started", *reply);
    return 0;
  }
  try {
    if (strcasecmp(command, "zvMonConnect") == 0) {
      handleConnect(request, reply);  // takes the request mutex itself
    } else {
      std::lock_guard<std::mutex> lock(requestMutex);
      api.zvdbSetQuarnOWNER(-1);
      if (!runPublicCommand(command, request, reply)) runTokenCommand(command, token, request, reply);
      api.zvdbSetQuarnOWNER(-1);
    }
  } catch (const std::bad_alloc&) {
    api.zvdbSetQuarnOWNER(-1);
    zvJsonSetError(9010, "Out of memory", *reply);
  } catch (const std::exception& e) {
    api.zvdbSetQuarnOWNER(-1);
    zvJsonSetError(9022, e.what(), *reply);
  }
  logOutcome("finch", command, *reply, changesSomething(command, request));
  return 0;
}

}  // extern "C"
