// The engine's side of the monitor calls (monitor.h): what the engine
// records as it works, through the hooks below, and the per-logon figures.
// Internal to ravlink; included by rl_core.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "monitor.h"

struct sqlite3;

namespace ravlink_detail {

struct Logon;
struct TableCore;
struct Connection;

namespace monitor {

// What the monitor shows of one logon. Counters are atomics because the
// monitor reads them from its own thread while the logon works.
struct LogonStats {
  int64_t logonTime = 0;                       // seconds since 1970
  std::atomic<const char*> lastCall{"Logon"};  // name of the last engine call
  std::atomic<int64_t> lastCallTime{0};        // seconds since 1970
  std::atomic<int32_t> lastFunction{111};      // its function number (timing table)
  std::atomic<int64_t> txnBegin{0};            // seconds since 1970 of the open transaction; 0: none
  std::atomic<int64_t> txnStartNs{0};          // the same, monotonic nanoseconds
  std::atomic<int> inCall{0};                  // inside an engine call now
  std::atomic<uint64_t> calls{0}, txnBegun{0}, txnCommitted{0}, txnAborted{0}, txnNsSum{0}, txnNsMax{0};
  std::atomic<uint64_t> openTables{0}, openTablesHigh{0};
  std::mutex textMutex;  // guards node
  char node[32] = {};
  std::atomic<bool> sqlClient{false};  // made by the SQL client library, not a direct caller of the engine
  // The address of the client whose request made the logon (set at logon);
  // both zero when the server made it on its own behalf.
  uint32_t addressV4 = 0;  // network byte order
  unsigned char addressV6[16] = {};
};

int64_t nowSeconds();
int64_t monotonicNs();

// Owner numbers are task ids of 16 bits: 1..32767, never two live logons with one.
int32_t allocateOwner();  // engine().mutex held

// Hooks, called by the engine.
void logonStarted(Logon& logon);
void logonFailed(const std::string& server, const std::string& user, int code);
void logonEnded(Logon& logon);  // before the owner is forgotten
void tableOpened(TableCore& table);
void tableClosed(TableCore& table);
void tableCreated(Logon& logon, const std::string& database, const std::string& table);
void connectionOpened();
void connectionClosed(sqlite3* db);  // folds its cache counters into the totals
void transactionBegun(Logon& logon);
void transactionEnded(Logon& logon, bool committed);
void recordAdded();
void recordUpdated();
void recordDeleted();
void lockTried();
void lockGranted();
void lockDenied();
void lockReleased();
void storageError(Logon* logon, int code, const char* message);
// A logon marked by zvklusr reaches its next call: it ends here, on its own
// thread, and the call fails with RL_MON_KILLED.
[[noreturn]] void endKilledLogon(Logon& logon);

// Function timing, switched and kept per server: a server's figures count
// the calls of its own logons only.
constexpr int kTimedFunctions = 319;  // function numbers of the timing table; 0 holds the totals
struct Timing {
  std::atomic<uint64_t> calls{0}, ns{0};
};
struct ServerTiming {
  std::atomic<bool> on{false};
  Timing timing[kTimedFunctions];
};
// Servers whose timing is on: while it is 0 an engine call looks nothing up.
extern std::atomic<int> serversTimed;
// The timing of the server of logon (null: the calling thread's current
// logon) when it is on; null otherwise.
ServerTiming* timingWhileOn(Logon* logon);
// The server's timing, made when it has none yet (switching and clearing).
ServerTiming& timingOf(const std::string& serverDir);
void setTiming(const std::string& serverDir, bool on);
void clearTiming(const std::string& serverDir);
void recordTiming(ServerTiming& timing, const char* call, int64_t ns);
int functionNumber(std::string_view call);  // in the timing table; -1 when none

// One engine call: the logon's last call and time, and its timing when its
// server's is on.
class CallScope {
 public:
  // call null: an untimed call, neither counted nor timed.
  CallScope(Logon* logon, LogonStats* stats, const char* call) : stats_(call ? stats : nullptr), call_(call) {
    if (stats_) {
      stats_->lastCall.store(call, std::memory_order_relaxed);
      stats_->lastCallTime.store(nowSeconds(), std::memory_order_relaxed);
      stats_->calls.fetch_add(1, std::memory_order_relaxed);
      stats_->inCall.store(1, std::memory_order_relaxed);
    }
    if (call_ && serversTimed.load(std::memory_order_relaxed) > 0 && (timing_ = timingWhileOn(logon)) != nullptr)
      start_ = monotonicNs();
  }
  ~CallScope() {
    if (stats_) stats_->inCall.store(0, std::memory_order_relaxed);
    if (timing_) recordTiming(*timing_, call_, monotonicNs() - start_);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  LogonStats* stats_;
  const char* call_;
  ServerTiming* timing_ = nullptr;
  int64_t start_ = 0;
};

// ---- the registry the monitor calls read (monitor_registry.cpp) ----

constexpr int32_t kMaxOwner = 32767;
constexpr size_t kMaxEvents = 10000;    // the event log keeps the newest ones
constexpr size_t kMaxEventText = 1024;  // text kept of an event (a record's variable part may hold 8080)
constexpr size_t kMaxFileName = 255;
constexpr int kTxnBuckets = 24;
// Event classes and codes of the log.
enum : int32_t {
  kClassLogon = 1,
  kLogonOk = 1,
  kLogoff = 2,
  kLogonFailed = 3,
  kClassStatus = 3,  // engine errors
  kClassSnapshot = 7,
  kSystemSnapshot = 1,
  kClassPurge = 1024,
  kClassUser = 1025,
  kTableCreated = 1,
};

struct OpenTable {
  uint64_t logonId = 0;
  int32_t owner = 0, datno = 0;
  std::string user, serverDir, name;  // name: "<database file>/<table>", relative to the server
  int64_t openedAt = 0;
};

struct Event {
  std::string serverDir;
  int32_t evclass = 0, event = 0, day = 0, seconds = 0, seq = 0, error = 0;
  int64_t time = 0;
  std::string user, node, text;
};

struct Registry {
  std::mutex mutex;  // guards the containers and eventSeq
  std::map<const TableCore*, OpenTable> openTables;
  uint64_t openTablesHigh = 0;
  std::deque<Event> events;
  int32_t eventSeq = 0;
  std::atomic<uint64_t> logons{0}, logoffs{0}, failedLogons{0}, kills{0};
  std::atomic<uint64_t> tableOpens{0}, tableCloses{0}, tablesCreated{0}, fileOpens{0}, fileCloses{0};
  std::atomic<uint64_t> connectionsOpen{0}, connectionsHigh{0};
  std::atomic<uint64_t> closedCacheHits{0}, closedCacheRequests{0};
  std::atomic<uint64_t> txnBegun{0}, txnCommitted{0}, txnAborted{0}, txnNsSum{0}, txnNsMax{0};
  std::atomic<uint64_t> txnHistogram[kTxnBuckets] = {};
  std::atomic<uint64_t> recordsAdded{0}, recordsUpdated{0}, recordsDeleted{0};
  std::atomic<uint64_t> lockTries{0}, lockGrants{0}, lockDenials{0}, lockReleases{0};
  std::atomic<uint64_t> storageErrors{0};
  std::mutex timingMutex;  // guards timings; an entry, once made, lives as long as the process
  std::map<std::string, std::unique_ptr<ServerTiming>> timings;  // by server directory
  int64_t startedAt = nowSeconds();
  int64_t startedNs = monotonicNs();
};
Registry& registry();

std::shared_ptr<Logon> logonOf(int32_t owner);  // a live logon, or null
std::vector<std::shared_ptr<Logon>> logonsOf(const std::string& serverDir);
std::string nodeOf(Logon& logon);
int32_t logDayNumber(int year, int month, int day);
void logEvent(const std::string& serverDir, int32_t evclass, int32_t event, int32_t error, const std::string& user,
              const std::string& node, const std::string& text);
// Whether the logon's user is an administrator of its server: the admin flag
// of the server's catalog, read at each call so that a change counts at once.
bool isAdministrator(const Logon& logon);
// Reads, writes and syncs of the engine's database files (monitor_vfs.cpp).
struct IoCounters {
  std::atomic<uint64_t> dataReads{0}, dataReadBytes{0}, dataWrites{0}, dataWriteBytes{0};
  std::atomic<uint64_t> logReads{0}, logReadBytes{0}, logWrites{0}, logWriteBytes{0};
  std::atomic<uint64_t> dataSyncs{0}, logSyncs{0};
};
IoCounters& ioCounters();
const char* countingVfs();  // the counting file layer's name for sqlite3_open_v2; null when it could not be made
constexpr uint32_t kUserEntrySize = RL_MON_USER_ENTRY;
// The logon current on the calling thread, or null with the code to answer.
std::shared_ptr<Logon> currentLogon(int* code);
void fillUserEntry(Logon& logon, unsigned char* entry);                   // one 248-byte entry of USERINFOX
bool writeLogRecord(const Event& event, void* buffer, uint32_t* length);  // false: no room for the fixed part
std::string fileNameOf(const std::string& serverDir, const std::string& dbPath, const std::string& table);

}  // namespace monitor
}  // namespace ravlink_detail
