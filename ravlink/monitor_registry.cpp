// What the engine records for the monitor as it works: open tables, the
// event log, process-wide counters, function timing, owners and kills.
#include "monitor.h"
#include "rl_core.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <unordered_map>

// The host's runtime library names the client of the request a thread
// serves. Declared weak so that the engine also loads without that library
// (tools and tests that use it directly): its logons then have no client.
const char* VOKTClientAddress() __attribute__((weak));

namespace ravlink_detail {

std::vector<LockTable::Held> LockTable::list(size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Held> out;
  for (const auto& [key, entry] : held_) {
    if (out.size() >= limit) break;
    out.push_back(Held{key, entry.holder});
  }
  return out;
}

namespace monitor {

int64_t nowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return ts.tv_sec;
}

int64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: logons may end during the process's exit
  return *r;
}

// ---- owners -----------------------------------------------------------------------

int32_t allocateOwner() {
  Engine& e = engine();
  for (int tries = 0; tries < kMaxOwner; ++tries) {
    int32_t owner = e.nextOwner;
    e.nextOwner = owner >= kMaxOwner ? 1 : owner + 1;
    if (!e.owners.count(owner)) return owner;
  }
  fail(RL_MON_LIMIT, "Every task number of the engine is in use");
}

std::shared_ptr<Logon> logonOf(int32_t owner) {
  if (owner < 1) return nullptr;
  std::lock_guard<std::mutex> lock(engine().mutex);
  auto it = engine().owners.find(owner);
  return it == engine().owners.end() ? nullptr : it->second.lock();
}

std::vector<std::shared_ptr<Logon>> logonsOf(const std::string& serverDir) {
  std::vector<std::shared_ptr<Logon>> out;
  std::lock_guard<std::mutex> lock(engine().mutex);
  for (auto& [owner, weak] : engine().owners)
    if (auto l = weak.lock())
      if (l->serverDir == serverDir) out.push_back(l);
  return out;
}

// ---- event log --------------------------------------------------------------------

int32_t logDayNumber(int year, int month, int day) {
  int y = month <= 2 ? year - 1 : year;
  int m = month <= 2 ? month + 13 : month + 1;
  return int32_t(int64_t(36525) * y / 100 + 306 * m / 10 + day - 621049);
}

void logEvent(const std::string& serverDir, int32_t evclass, int32_t event, int32_t error, const std::string& user,
              const std::string& node, const std::string& text) {
  Registry& r = registry();
  Event e;
  e.serverDir = serverDir;
  e.evclass = evclass;
  e.event = event;
  e.error = error;
  e.time = nowSeconds();
  time_t t = time_t(e.time);
  tm local{};
  localtime_r(&t, &local);
  e.day = logDayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  e.seconds = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  e.user = user.substr(0, 31);
  e.node = node.substr(0, 31);
  e.text = text.substr(0, kMaxEventText);
  std::lock_guard<std::mutex> lock(r.mutex);
  e.seq = ++r.eventSeq;
  r.events.push_back(std::move(e));
  while (r.events.size() > kMaxEvents) r.events.pop_front();
}

std::string nodeOf(Logon& l) {
  std::lock_guard<std::mutex> lock(l.stats.textMutex);
  return l.stats.node;
}

namespace {

// The address of the client the calling thread serves, as the host names it;
// a logon made outside any request keeps none.
void recordClientAddress(LogonStats& stats) {
  const char* text = VOKTClientAddress ? VOKTClientAddress() : nullptr;
  if (!text || !*text) return;
  in_addr v4{};
  if (inet_pton(AF_INET, text, &v4) == 1) {
    stats.addressV4 = v4.s_addr;
    return;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, text, &v6) != 1) return;
  if (IN6_IS_ADDR_V4MAPPED(&v6))
    memcpy(&stats.addressV4, v6.s6_addr + 12, 4);
  else
    memcpy(stats.addressV6, v6.s6_addr, 16);
}

}  // namespace

// ---- hooks ------------------------------------------------------------------------

void logonStarted(Logon& logon) {
  recordClientAddress(logon.stats);
  logon.stats.logonTime = nowSeconds();
  logon.stats.lastCallTime = logon.stats.logonTime;
  Registry& r = registry();
  r.logons++;
  logEvent(logon.serverDir, kClassLogon, kLogonOk, 0, logon.user, "", "Logon of task " + std::to_string(logon.owner));
}

void logonFailed(const std::string& server, const std::string& user, int code) {
  registry().failedLogons++;
  std::error_code ec;
  std::string dir = (std::filesystem::path(dataRoot()) / server).string();
  dir = std::filesystem::weakly_canonical(dir, ec).string();
  logEvent(dir, kClassLogon, kLogonFailed, code, user, "", "Logon refused with code " + std::to_string(code));
}

void logonEnded(Logon& logon) {
  Registry& r = registry();
  bool killed = logon.killed.load();
  r.logoffs++;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.openTables.begin(); it != r.openTables.end();)
      it = it->second.logonId == logon.id ? r.openTables.erase(it) : std::next(it);
  }
  logEvent(logon.serverDir, kClassLogon, kLogoff, killed ? RL_MON_KILLED : 0, logon.user, nodeOf(logon),
           std::string(killed ? "Logon ended by zvklusr" : "Logoff") + " of task " + std::to_string(logon.owner));
}

static std::string folderNameOf(const std::string& serverDir, const std::string& dbPath);
static std::string joinedName(const std::string& folder, const std::string& table);

void tableOpened(TableCore& table) {
  Registry& r = registry();
  OpenTable entry;
  entry.logonId = table.logon->id;
  entry.owner = table.logon->owner;
  entry.user = table.logon->user;
  entry.serverDir = table.logon->serverDir;
  entry.datno = table.shared ? table.shared->datno : 0;
  // Worked out once per connection: a table opened for each request would
  // otherwise take apart the same two paths every time.
  Connection& conn = *table.conn;
  if (conn.monitorFolder.empty()) conn.monitorFolder = folderNameOf(table.logon->serverDir, conn.path);
  entry.name = joinedName(conn.monitorFolder, table.stored.name);
  entry.openedAt = nowSeconds();
  r.tableOpens++;
  uint64_t open = ++table.logon->stats.openTables;
  if (open > table.logon->stats.openTablesHigh) table.logon->stats.openTablesHigh = open;
  std::lock_guard<std::mutex> lock(r.mutex);
  r.openTables[&table] = std::move(entry);
  r.openTablesHigh = std::max<uint64_t>(r.openTablesHigh, r.openTables.size());
}

void tableClosed(TableCore& table) {
  Registry& r = registry();
  r.tableCloses++;
  if (table.logon && table.logon->stats.openTables > 0) table.logon->stats.openTables--;
  std::lock_guard<std::mutex> lock(r.mutex);
  r.openTables.erase(&table);
}

void tableCreated(Logon& logon, const std::string& database, const std::string& table) {
  registry().tablesCreated++;
  logEvent(logon.serverDir, kClassUser, kTableCreated, 0, logon.user, nodeOf(logon),
           "Table " + table + " created in database " + database);
}

void connectionOpened() {
  Registry& r = registry();
  uint64_t open = ++r.connectionsOpen;
  r.fileOpens++;
  uint64_t high = r.connectionsHigh.load();
  while (open > high && !r.connectionsHigh.compare_exchange_weak(high, open)) {
  }
}

void connectionClosed(sqlite3* db) {
  Registry& r = registry();
  r.connectionsOpen--;
  r.fileCloses++;
  int hit = 0, miss = 0, high = 0;
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_HIT, &hit, &high, 0);
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &miss, &high, 0);
  r.closedCacheHits += uint64_t(hit);
  r.closedCacheRequests += uint64_t(hit) + uint64_t(miss);
}

void transactionBegun(Logon& logon) {
  registry().txnBegun++;
  logon.stats.txnBegun++;
  if (logon.stats.txnBegin.load() == 0) {
    logon.stats.txnBegin = nowSeconds();
    logon.stats.txnStartNs = monotonicNs();
  }
}

void transactionEnded(Logon& logon, bool committed) {
  Registry& r = registry();
  (committed ? r.txnCommitted : r.txnAborted)++;
  (committed ? logon.stats.txnCommitted : logon.stats.txnAborted)++;
  int64_t start = logon.stats.txnStartNs.exchange(0);
  logon.stats.txnBegin = 0;
  if (!start) return;
  uint64_t ns = uint64_t(monotonicNs() - start);
  r.txnNsSum += ns;
  logon.stats.txnNsSum += ns;
  uint64_t max = r.txnNsMax.load();
  while (ns > max && !r.txnNsMax.compare_exchange_weak(max, ns)) {
  }
  if (ns > logon.stats.txnNsMax) logon.stats.txnNsMax = ns;
  // Histogram of transaction times: bucket i holds those under 2^i microseconds.
  int bucket = 0;
  for (uint64_t us = ns / 1000; us > 0 && bucket < kTxnBuckets - 1; us >>= 1) ++bucket;
  r.txnHistogram[bucket]++;
}

void recordAdded() { registry().recordsAdded++; }
void recordUpdated() { registry().recordsUpdated++; }
void recordDeleted() { registry().recordsDeleted++; }
void lockTried() { registry().lockTries++; }
void lockGranted() { registry().lockGrants++; }
void lockDenied() { registry().lockDenials++; }
void lockReleased() { registry().lockReleases++; }

void storageError(Logon* logon, int code, const char* message) {
  registry().storageErrors++;
  if (!logon || logon->serverDir.empty()) return;
  logEvent(logon->serverDir, kClassStatus, 0, code, logon->user, nodeOf(*logon), message ? message : "");
}

void endKilledLogon(Logon& logon) {
  logon.killed = false;  // reported once; later calls find the logon ended
  if (rlGetCurrentOwner() == logon.owner) rlSetCurrentOwner(-1);
  logon.end();
  fail(RL_MON_KILLED, "The logon was ended by the administrator (zvklusr)");
}

// ---- function timing ----------------------------------------------------------------

std::atomic<int> serversTimed{0};

ServerTiming* timingWhileOn(Logon* logon) {
  std::shared_ptr<Logon> current;
  if (!logon) {
    current = logonOf(rlGetCurrentOwner());
    logon = current.get();
  }
  if (!logon || logon->serverDir.empty()) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.timingMutex);
  auto it = r.timings.find(logon->serverDir);
  return it != r.timings.end() && it->second->on.load() ? it->second.get() : nullptr;
}

ServerTiming& timingOf(const std::string& serverDir) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.timingMutex);
  auto& entry = r.timings[serverDir];
  if (!entry) entry = std::make_unique<ServerTiming>();
  return *entry;
}

void setTiming(const std::string& serverDir, bool on) {
  ServerTiming& timing = timingOf(serverDir);
  if (timing.on.exchange(on) != on) serversTimed += on ? 1 : -1;
}

// The engine's calls by the numbers of the timing table.
int functionNumber(std::string_view call) {
  static const std::unordered_map<std::string_view, int> numbers = {
      {"Logon", 111},
      {"Logout", 9},
      {"Open", 202},
      {"Close", 12},
      {"Create", 140},
      {"Alter", 94},
      {"First", 44},
      {"Last", 45},
      {"Next", 42},
      {"Prev", 43},
      {"Find", 82},
      {"FindRowid", 82},
      {"Read", 62},
      {"Write", 63},
      {"Delete", 5},
      {"Begin", 163},
      {"Commit", 13},
      {"Abort", 15},
      {"LockRecord", 204},
      {"Lock", 4},
      {"Connect", 91},
      {"CreateDatabase", 140},
      {"InsertBatch", 191},
      {"SetBatch", 203},
      {"USERLIST", 23},
      {"CLISAM", 9},
      {"IOPERFORMANCEX", 224},
      {"SETNODE", 115},
      {"SYSCFG", 215},
      {"zvSNAPSHOT", 265},
      {"zvGetOpenFiles", 293},
      {"zvGetFileUsers", 294},
      {"zvGetFileLocks", 295},
      {"zvMEMSTAT", 310},
      {"OPNRFIL", 196},
      {"CLRFIL", 17},
      {"FRSVREC", 106},
      {"NXTVREC", 104},
      {"LSTVREC", 107},
      {"PRVVREC", 105},
      {"zvklusr", 25},
      {"USERINFOX", 172},
      {"SYSLOG", 79},
      {"INTISAMX4", 111},
  };
  auto it = numbers.find(call);
  return it == numbers.end() ? -1 : it->second;
}

void recordTiming(ServerTiming& timing, const char* call, int64_t ns) {
  if (ns < 0) ns = 0;
  timing.timing[0].calls++;
  timing.timing[0].ns += uint64_t(ns);
  int number = functionNumber(call ? call : "");
  if (number <= 0 || number >= kTimedFunctions) return;
  timing.timing[number].calls++;
  timing.timing[number].ns += uint64_t(ns);
}

void clearTiming(const std::string& serverDir) {
  for (auto& t : timingOf(serverDir).timing) {
    t.calls = 0;
    t.ns = 0;
  }
}

// ---- administrators -------------------------------------------------------------------

bool isAdministrator(const Logon& logon) {
  // The server's catalog, read only: the file the logon was checked against.
  std::string catalog = (std::filesystem::path(logon.serverDir) / "rl_server.db").string();
  struct Handles {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    ~Handles() {
      sqlite3_finalize(statement);
      sqlite3_close_v2(db);
    }
  } h;
  if (sqlite3_open_v2(catalog.c_str(), &h.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return false;
  sqlite3_busy_timeout(h.db, kBusyTimeoutMs);
  if (sqlite3_prepare_v2(h.db, "SELECT admin FROM rl_users WHERE name = ?1", -1, &h.statement, nullptr) != SQLITE_OK)
    return false;
  sqlite3_bind_text(h.statement, 1, logon.user.data(), int(logon.user.size()), SQLITE_STATIC);
  return sqlite3_step(h.statement) == SQLITE_ROW && sqlite3_column_int64(h.statement, 0) != 0;
}

// ---- file names ---------------------------------------------------------------------

static std::string folderNameOf(const std::string& serverDir, const std::string& dbPath) {
  std::string rel = std::filesystem::path(dbPath).lexically_relative(serverDir).string();
  if (rel.empty() || rel.rfind("..", 0) == 0) rel = std::filesystem::path(dbPath).filename().string();
  return rel;
}

static std::string joinedName(const std::string& folder, const std::string& table) {
  std::string name = folder + "/" + table;
  return name.substr(0, kMaxFileName);
}

std::string fileNameOf(const std::string& serverDir, const std::string& dbPath, const std::string& table) {
  return joinedName(folderNameOf(serverDir, dbPath), table);
}

}  // namespace monitor
}  // namespace ravlink_detail
