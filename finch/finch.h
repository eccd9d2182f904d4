// finch, the server monitor: a web application (web/finch.so) that shows a
// database server's statistics, logons, files, locks, event log, memory and
// function timing to a browser, and ends logons.
//
// The browser posts one JSON object per command to <prefix>/<command>, with
// the token of its logon in the header "token"; the plug-in calls `router`,
// which answers one JSON reply object. finch binds the engine (ravlink.so)
// by name at init and keeps each browser logon in a fixed pool of slots,
// found by a random token; an idle slot is logged off by the reaper.
//
// Threading: every command runs under one process-wide mutex (the engine's
// current logon is per thread, and a command makes the slot's current for
// its duration); the reaper takes the mutex for one slot at a time.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "monitor.h"

struct WebAppInitRecord;
namespace yx {
class LogonGuard;
}

namespace finch {

// ---- the engine's functions, bound by name ----------------------------------------------

struct ClientApi {
  decltype(&::USERINFO) USERINFO;
  decltype(&::USERLIST) USERLIST;
  decltype(&::revobj) revobj;
  decltype(&::revlng) revlng;
  decltype(&::CLISAM) CLISAM;
  decltype(&::INTISAMX) INTISAMX;
  decltype(&::IOPERFORMANCEX) IOPERFORMANCEX;
  decltype(&::SETNODE) SETNODE;
  decltype(&::SYSCFG) SYSCFG;
  decltype(&::zvSNAPSHOT) zvSNAPSHOT;
  decltype(&::zvGetOpenFiles) zvGetOpenFiles;
  decltype(&::zvGetFileUsers) zvGetFileUsers;
  decltype(&::zvGetFileLocks) zvGetFileLocks;
  decltype(&::zvOWNER) zvOWNER;
  decltype(&::zvSetOWNER) zvSetOWNER;
  decltype(&::zvdbGetQuarnOWNER) zvdbGetQuarnOWNER;
  decltype(&::zvdbSetQuarnOWNER) zvdbSetQuarnOWNER;
  decltype(&::zvMEMSTAT) zvMEMSTAT;
  decltype(&::zvThrdAttach) zvThrdAttach;
  decltype(&::REGQUARN) REGQUARN;
  decltype(&::SWTQUARN) SWTQUARN;
  decltype(&::UNRQUARN) UNRQUARN;
  decltype(&::GETQUARN) GETQUARN;
  decltype(&::zvThrdGet) zvThrdGet;
  decltype(&::zvThrdInit) zvThrdInit;
  decltype(&::OPNRFIL) OPNRFIL;
  decltype(&::CLRFIL) CLRFIL;
  decltype(&::FRSVREC) FRSVREC;
  decltype(&::NXTVREC) NXTVREC;
  decltype(&::IDXENT) IDXENT;
  decltype(&::FRSKEY) FRSKEY;
  decltype(&::NXTKEY) NXTKEY;
  decltype(&::REDIVREC) REDIVREC;
  decltype(&::SETCURI) SETCURI;
  decltype(&::LSTVREC) LSTVREC;
  decltype(&::PRVVREC) PRVVREC;
  decltype(&::zvklusr) zvklusr;
  decltype(&::USERINFOX) USERINFOX;
  decltype(&::DELVREC) DELVREC;
  decltype(&::LKISAM) LKISAM;
  decltype(&::TRANBEG) TRANBEG;
  decltype(&::TRANEND) TRANEND;
  decltype(&::SYSLOG) SYSLOG;
  decltype(&::INTISAMX4) INTISAMX4;
  decltype(&::zvThrdDetach) zvThrdDetach;
};
extern ClientApi api;

// Loads ravlink.so and fills `api` in the binding order; 0, or the code with
// the message in error (1024 bytes).
int bindClientLibrary(char* error);

// The monitor's log-on guard: failed log-ons counted per user and client address.
yx::LogonGuard& logonGuard();

// ---- module state ----------------------------------------------------------------------

struct Module {
  bool unicode = false;
  bool agentMaster = false;
  std::string documentRoot;
  std::string localServer;    // "NAME@localhost"
  void* connTypes = nullptr;  // the host's ConnTypeTable, or null
  int poolSize = 10;
  int idleTimeout = 300;
  std::string configPath;
  int32_t (*log)(const char* message, int32_t code) = nullptr;  // the host's log, when it gave one
};
extern Module module;

// ---- the counter emitter ----------------------------------------------------------------

enum CounterMode { kTree = 0, kRows = 1, kPairs = 3 };
enum Width { kWidth4 = 0, kWidth8 = 1, kWidthNone = 2 };
enum Format {
  kChar = 0,
  kYesNo = 1,
  kIntDec = 2,
  kIntHex = 3,
  kIntHexNoPrefix = 4,
  kBits = 5,
  kDate = 6,
  kElapsedDay = 7,
  kElapsedSec = 8,
  kElapsedMsec = 9,
  kVersionId = 10,
  kPortId = 11,
  kIpAddress = 12,
  kIp6Address = 13,
  kVersionBase = 14,
  kVersionId2 = 15,
};

struct CounterContext {
  uint8_t reverseBytes = 0;
  int64_t ticksPerSecond = 0;
  char text[64] = {};
  int mode = kRows;
};

void addCounterRow(CounterContext& c, json_object* list, const char* name, int category, int width, int format,
                   const char* description, bool xSec, bool gauge, int64_t value);
void addTextCounterRow(CounterContext& c, json_object* list, const char* name, int format, const char* description,
                       const void* data);
int64_t flipCounterValue(const CounterContext& c, int64_t value, int width);
std::string ipv4Text(uint32_t address);
std::string ipv6Text(const unsigned char bytes[16]);
std::string formatValue(CounterContext& c, int format, int width, int64_t value);  // the text forms
// Ends a report: rows get the success mark and "Counters"; tree and pairs make the list the reply.
void finishReport(CounterContext& c, json_object* list, json_object** reply);

// A field of a statistics block: its row attributes and where it lies.
struct Field {
  std::string name;
  uint32_t offset;  // kAlwaysZero: a row whose value is always 0
  uint16_t size;    // 1, 2, 4 or 8 bytes; for a text or address row its width in the block
  bool isSigned;
  int category;
  int format;
  bool xSec, gauge;
  std::string description;
  bool textRow;  // written with addTextCounterRow
};
constexpr uint32_t kAlwaysZero = UINT32_MAX;
// A table of fields built group by group: consecutive fields of one width and attributes.
class FieldTable {
 public:
  FieldTable& group(uint32_t offset, std::vector<std::string> names, int size, bool isSigned, int category, int format,
                    bool xSec = false, bool gauge = false);
  FieldTable& array(uint32_t offset, const std::string& name, int count, int size, int category, int format,
                    bool xSec = false, bool gauge = false);
  FieldTable& text(uint32_t offset, const std::string& name, int width, int format);
  FieldTable& zero(const std::string& name, int category);
  FieldTable& describe(std::initializer_list<std::pair<const char*, const char*>> descriptions);
  std::vector<Field> fields;
};
// Writes the rows of fields from block (length bytes); a field beyond length reads as 0.
void writeRows(CounterContext& c, json_object* list, const std::vector<Field>& fields, const unsigned char* block,
               uint32_t length);

// ---- reports (their JSON shapes and texts are the browser's) -----------------------------

int sysSnapshotRows(CounterContext& c, int mode, json_object** reply);
int sqlSnapshotRows(CounterContext& c, int mode, json_object** reply);
int userSnapshotRows(CounterContext& c, json_object* request, json_object** reply);
int fileSnapshotRows(CounterContext& c, json_object* request, json_object** reply);
int ioPerformanceRows(CounterContext& c, json_object** reply);
int snapshotToLog(json_object* request, json_object** reply);
void counterTree(json_object** reply);
int sysConfigRows(CounterContext& c, json_object** reply);
void setFunctionTiming(json_object* request, json_object** reply);
int functionTimingReport(json_object** reply);
void listActiveConnections(CounterContext& c, json_object* request, json_object** reply);
void openFiles(json_object* request, json_object** reply);
void usersForFile(json_object* request, json_object** reply);
void locksForFile(json_object* request, json_object** reply);
void killUser(json_object* request, json_object** reply);
void readEventLog(json_object* request, json_object** reply);
void purgeEventLogs(json_object* request, json_object** reply);
void memAllocRows(json_object* request, json_object** reply);
void memStat(json_object* request, json_object** reply);
void layoutsFile(json_object* request, json_object** reply);
void dashboardFile(json_object* request, json_object** reply);
int buildDashboard(json_object* request, json_object** reply);
// The servers list; command names the tool in its messages.
void serversFile(json_object* request, json_object** reply, const char* command = "zvMonServers");
void errorsFile(json_object** reply);

// ---- shared helpers of the browser tools (tool_helpers.cpp) -------------------------------

// Reads config/<fileName> (first under "..", then under "."): CONN_POOL_SIZE
// and INACTIVE_TIMEOUT into module, cut to [0, maxPoolSize] and >= 0; the
// path last tried goes to module.configPath. A missing file keeps the values.
void readConfiguration(const char* fileName, int maxPoolSize);
// Takes the host's settings from the init record into module, reads
// config/<fileName> over the default 10 slots and 300 s, and writes the
// application's description, configuration type and path into the record.
void readInitRecord(WebAppInitRecord* record, const char* fileName, int maxPoolSize, const char* description);
// The host's listeners and connection types; null when the host gave none.
json_object* listAvailableConnections(void* connTypes);
// RFC 4648 base64, up to the first character outside the alphabet. Every
// decoded byte is kept, NUL bytes too: a caller refuses a credential that
// holds one (yx::hasNulByte) rather than use a cut text.
std::string base64Decode(const char* text);

// The address of the client whose request the calling thread serves, as the
// plug-in tells it; "" when it does not.
std::string clientAddress();
// One line to the application's log: the host's log when it gave one, else
// the system log. Control characters (a client's text may hold them) are
// written as "?", so that one line stays one line. code 0 is information.
void toolLog(const std::string& line, int32_t code = 0);
// Logs a command's outcome: a failure always (its code and message), a
// success only when changes says the command changed something.
void logOutcome(const char* application, const char* command, json_object* reply, bool changes);

// Day number of a date, as the engine's log numbers them; 0 for an invalid date.
int32_t dateToDayNumber(int year, int month, int day);

// Local time as "%b %d, %Y %X"; "Invalid Time" when it cannot be converted.
std::string localTimeText(int64_t seconds);

// Replaces *reply with value (released first), or answers code with message when value is null.
void replyWithFile(json_object** reply, json_object* value, int code, const char* message);

// A session token: 32 random hexadecimal digits; empty when the system has no randomness to give.
std::string randomToken();
// Whether a slot's token equals the one a request sent, in time independent of where they differ.
bool tokensEqual(const std::string& slotToken, const char* sent);
// "NAME@localhost": the host's local server, or the engine's default one when the host names none.
std::string localServerName(const WebAppInitRecord* record);
// A library in the same folder as the one this code is built into (a
// sanitizer's dlopen would not search this library's own run path).
std::string libraryNextToSelf(const char* fileName);

}  // namespace finch
