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

#include "appkit.h"
#include "monitor.h"

struct WebAppInitRecord;
namespace yx {
class LogonGuard;
}

namespace finch {

// ---- the engine's functions, bound by name ----------------------------------------------

// The engine's functions the monitor binds, in their binding order.
#define FINCH_CLIENT_FUNCTIONS(X) \
  X(USERINFO)                     \
  X(USERLIST)                     \
  X(revobj)                       \
  X(revlng)                       \
  X(CLISAM)                       \
  X(INTISAMX)                     \
  X(IOPERFORMANCEX)               \
  X(SETNODE)                      \
  X(SYSCFG)                       \
  X(zvSNAPSHOT)                   \
  X(zvGetOpenFiles)               \
  X(zvGetFileUsers)               \
  X(zvGetFileLocks)               \
  X(zvOWNER)                      \
  X(zvSetOWNER)                   \
  X(zvdbGetQuarnOWNER)            \
  X(zvdbSetQuarnOWNER)            \
  X(zvMEMSTAT)                    \
  X(zvThrdAttach)                 \
  X(REGQUARN)                     \
  X(SWTQUARN)                     \
  X(UNRQUARN)                     \
  X(GETQUARN)                     \
  X(zvThrdGet)                    \
  X(zvThrdInit)                   \
  X(OPNRFIL)                      \
  X(CLRFIL)                       \
  X(FRSVREC)                      \
  X(NXTVREC)                      \
  X(IDXENT)                       \
  X(FRSKEY)                       \
  X(NXTKEY)                       \
  X(REDIVREC)                     \
  X(SETCURI)                      \
  X(LSTVREC)                      \
  X(PRVVREC)                      \
  X(zvklusr)                      \
  X(USERINFOX)                    \
  X(DELVREC)                      \
  X(LKISAM)                       \
  X(TRANBEG)                      \
  X(TRANEND)                      \
  X(SYSLOG)                       \
  X(INTISAMX4)                    \
  X(zvThrdDetach)

struct ClientApi {
#define FINCH_CLIENT_MEMBER(name) decltype(&::name) name = nullptr;
  FINCH_CLIENT_FUNCTIONS(FINCH_CLIENT_MEMBER)
#undef FINCH_CLIENT_MEMBER
};
extern ClientApi api;

// Loads ravlink.so and fills `api` in the binding order; 0, or the code with
// the message in error (1024 bytes).
int bindClientLibrary(char* error);

// The monitor's log-on guard: failed log-ons counted per user and client address.
yx::LogonGuard& logonGuard();

// ---- module state ----------------------------------------------------------------------

// The monitor's settings: the host's, and config/finch.cfg's.
using Module = appkit::ToolSettings;
extern Module& module;

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
int buildDashboard(json_object* request, json_object** reply);

// ---- what the browser tools share (appkit) ------------------------------------------------

using appkit::base64Decode;
using appkit::clientAddress;
using appkit::dashboardFile;
using appkit::errorsFile;
using appkit::layoutsFile;
using appkit::logOutcome;
using appkit::replyWithFile;
using appkit::serversFile;
using appkit::toolLog;

// Day number of a date, as the engine's log numbers them; 0 for an invalid date.
int32_t dateToDayNumber(int year, int month, int day);

// Local time as "%b %d, %Y %X"; "Invalid Time" when it cannot be converted.
std::string localTimeText(int64_t seconds);

}  // namespace finch
