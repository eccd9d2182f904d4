// The statistics blocks of the monitor calls (monitor.h): system, SQL, user,
// file and memory snapshots, the configuration array, the I/O counters, the
// log records, function timing and memory statistics.
//
// Every figure is one the engine counts itself, one SQLite reports, or one
// of the process (time, pid, limits); a field the engine has no such source
// for stays 0.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "monitor.h"
#include "rl_core.h"

namespace fs = std::filesystem;
using namespace ravlink_detail;
using namespace ravlink_detail::monitor;

namespace {

constexpr uint32_t kStructureVersion = 21;
constexpr int64_t kTicksPerSecond = 1000000000;  // the engine times with nanoseconds
constexpr uint32_t kVersionWord = 0xA1000001;    // "V1.0.1" in the monitor's version form
constexpr uint8_t kByteOrder = 2;                // this machine's order: never reversed
constexpr uint8_t kAlignment = alignof(max_align_t) > 8 ? 8 : alignof(max_align_t);
constexpr uint8_t kPointerSize = sizeof(void*);

// Writes value at offset when it fits within length.
class Block {
 public:
  Block(void* buffer, uint32_t length) : bytes_(static_cast<unsigned char*>(buffer)), length_(length) {
    memset(bytes_, 0, length_);
  }
  template <class T>
  void put(uint32_t offset, T value) {
    if (offset + sizeof(T) <= length_) memcpy(bytes_ + offset, &value, sizeof(T));
  }
  void text(uint32_t offset, uint32_t width, const std::string& value) {
    if (offset + width > length_) return;
    size_t n = std::min<size_t>(width - 1, value.size());
    memcpy(bytes_ + offset, value.data(), n);
    bytes_[offset + n] = 0;
  }
  unsigned char* at(uint32_t offset) { return bytes_ + offset; }
  uint32_t length() const { return length_; }

 private:
  unsigned char* bytes_;
  uint32_t length_;
};

// The head every block starts with: structure versions, the fixed length
// and the time of the snapshot.
void putHeader(Block& b, uint32_t fixedLength, uint32_t timeAt) {
  b.put<uint32_t>(RL_MON_AT_CLIENT_VERSION, kStructureVersion);
  b.put<uint32_t>(RL_MON_AT_SERVER_VERSION, kStructureVersion);
  b.put<uint32_t>(RL_MON_AT_FIXED_LENGTH, fixedLength);
  b.put<uint64_t>(timeAt, uint64_t(nowSeconds()));
}

// SQLite's page-cache figures of every connection of the engine: those
// closed already, and those of logons between calls (a logon inside a call
// is not disturbed; its figures join at its next snapshot or its close).
struct CacheFigures {
  uint64_t requests = 0, hits = 0, memory = 0;
};

CacheFigures cacheOf(Logon& l) {
  CacheFigures f;
  if (!l.mutex.try_lock()) return f;
  for (auto& [path, weak] : l.conns)
    if (auto c = weak.lock()) {
      int hit = 0, miss = 0, used = 0, high = 0;
      sqlite3_db_status(c->db, SQLITE_DBSTATUS_CACHE_HIT, &hit, &high, 0);
      sqlite3_db_status(c->db, SQLITE_DBSTATUS_CACHE_MISS, &miss, &high, 0);
      f.hits += uint64_t(hit);
      f.requests += uint64_t(hit) + uint64_t(miss);
      for (int op : {SQLITE_DBSTATUS_CACHE_USED, SQLITE_DBSTATUS_SCHEMA_USED, SQLITE_DBSTATUS_STMT_USED}) {
        sqlite3_db_status(c->db, op, &used, &high, 0);
        f.memory += uint64_t(used);
      }
    }
  l.mutex.unlock();
  return f;
}

CacheFigures allCaches() {
  CacheFigures total;
  std::vector<std::shared_ptr<Logon>> all;
  {
    std::lock_guard<std::mutex> lock(engine().mutex);
    for (auto& [owner, weak] : engine().owners)
      if (auto l = weak.lock()) all.push_back(l);
  }
  for (auto& l : all) {
    CacheFigures f = cacheOf(*l);
    total.requests += f.requests;
    total.hits += f.hits;
  }
  total.requests += registry().closedCacheRequests;
  total.hits += registry().closedCacheHits;
  return total;
}

size_t locksHeld() { return engine().locks.list(SIZE_MAX).size(); }

// ---- the memory of SQLite, by size class -----------------------------------------------------

constexpr int kMemoryClasses = 25;
const char* const kClassNames[kMemoryClasses] = {
    "KEYBUF", "SIZ16",   "SIZ32",   "SIZ64",  "SIZ128",  "SIZ256",  "SIZ512", "SIZ1K",  "SIZ2K",
    "SIZ4K",  "SIZ8K",   "SHADLST", "BATLST", "LOKS",    "FILNAM",  "COMLST", "ABTLST", "RECLOK",
    "COMDAT", "TREEBUF", "DATBUF",  "ZVFILE", "IDXPAGE", "DATPAGE", "LARGE"};

struct SizeClass {
  std::atomic<int64_t> count{0}, bytes{0};
};
SizeClass gSizeClasses[kMemoryClasses];
bool gCountingAllocator = false;
// What SQLite's own status would say (bytes in use, their highest, blocks
// live), kept here instead: SQLite's figures take one process-wide mutex on
// every allocation and free, which every connection's thread queues on.
std::atomic<int64_t> gBytesUsed{0}, gBytesHigh{0};

void countBytes(int64_t change) {
  int64_t now = gBytesUsed.fetch_add(change, std::memory_order_relaxed) + change;
  int64_t high = gBytesHigh.load(std::memory_order_relaxed);
  while (now > high && !gBytesHigh.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
  }
}

// Classes 1..10 hold allocations of (8 << c, 16 << c] bytes from 16 up; 24 the larger ones.
int sizeClassOf(size_t n) {
  int c = 1;
  for (size_t limit = 16; c <= 10; ++c, limit <<= 1)
    if (n <= limit) return c;
  return 24;
}

// SQLite's allocations go through these, so that each is counted in its
// class while it lives. The size is kept in front of the block.
constexpr size_t kHeader = 16;
void* countedMalloc(int n) {
  if (n <= 0) return nullptr;
  auto* p = static_cast<unsigned char*>(malloc(size_t(n) + kHeader));
  if (!p) return nullptr;
  memcpy(p, &n, sizeof n);
  auto& c = gSizeClasses[sizeClassOf(size_t(n))];
  c.count++;
  c.bytes += n;
  countBytes(n);
  return p + kHeader;
}
int countedSize(void* block) {
  int n = 0;
  if (block) memcpy(&n, static_cast<unsigned char*>(block) - kHeader, sizeof n);
  return n;
}
void countedFree(void* block) {
  if (!block) return;
  int n = countedSize(block);
  auto& c = gSizeClasses[sizeClassOf(size_t(n))];
  c.count--;
  c.bytes -= n;
  countBytes(-int64_t(n));
  free(static_cast<unsigned char*>(block) - kHeader);
}
void* countedRealloc(void* block, int n) {
  if (!block) return countedMalloc(n);
  if (n <= 0) {
    countedFree(block);
    return nullptr;
  }
  void* fresh = countedMalloc(n);
  if (!fresh) return nullptr;
  memcpy(fresh, block, size_t(std::min(n, countedSize(block))));
  countedFree(block);
  return fresh;
}
int countedRoundup(int n) { return (n + 7) & ~7; }
int countedInit(void*) { return SQLITE_OK; }
void countedShutdown(void*) {}

// Installed when the engine is loaded, before SQLite's first use; when
// another part of the process started SQLite first, the classes stay 0.
__attribute__((constructor)) void installCountingAllocator() {
  static const sqlite3_mem_methods methods = {countedMalloc,  countedFree, countedRealloc,  countedSize,
                                              countedRoundup, countedInit, countedShutdown, nullptr};
  gCountingAllocator = sqlite3_config(SQLITE_CONFIG_MALLOC, &methods) == SQLITE_OK;
  if (gCountingAllocator) sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
}

// SQLite's memory figures: from the counting allocator when it is installed
// (SQLite then keeps none), else SQLite's own.
int64_t sqlMemoryUsed() { return gCountingAllocator ? gBytesUsed.load() : sqlite3_memory_used(); }
// Read after the bytes in use and never below them: an allocation raises
// the use first and its highest a moment later, which a reader between the
// two would otherwise see as use above the highest.
int64_t sqlMemoryHigh(int64_t used) {
  return gCountingAllocator ? std::max(used, gBytesHigh.load()) : sqlite3_memory_highwater(0);
}
int sqlAllocations() {
  if (!gCountingAllocator) {
    int count = 0, high = 0;
    sqlite3_status(SQLITE_STATUS_MALLOC_COUNT, &count, &high, 0);
    return count;
  }
  int64_t count = 0;
  for (const SizeClass& c : gSizeClasses) count += c.count.load();
  return int(std::max<int64_t>(0, std::min<int64_t>(count, INT32_MAX)));
}

std::mutex gMemStatMutex;
std::string gMemStatSelection;  // the classes kept, as the last "set" named them

void memoryRows(int64_t counts[kMemoryClasses], int64_t bytes[kMemoryClasses]) {
  for (int c = 0; c < kMemoryClasses; ++c) {
    counts[c] = std::max<int64_t>(0, gSizeClasses[c].count.load());
    bytes[c] = std::max<int64_t>(0, gSizeClasses[c].bytes.load());
  }
  // The engine's own structures of the classes it has: lock entries, open
  // table names and open-table blocks.
  int64_t locks = int64_t(locksHeld());
  counts[13] = counts[17] = locks;
  bytes[13] = bytes[17] = locks * int64_t(sizeof(LockTable::Held));
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  int64_t names = 0;
  for (auto& [core, entry] : r.openTables) names += int64_t(entry.name.size() + 1);
  counts[14] = counts[21] = int64_t(r.openTables.size());
  bytes[14] = names;
  bytes[21] = int64_t(r.openTables.size()) * int64_t(sizeof(TableCore));
}

// ---- blocks ---------------------------------------------------------------------------

// The figures of the caller's server only.
void writeTimingRegion(Block& b, const std::string& serverDir) {
  constexpr uint32_t kRegion = RL_MON_SYSTEM_BLOCK;
  if (b.length() < kRegion + 8 + 16) return;
  ServerTiming& r = timingOf(serverDir);
  uint32_t room = (b.length() - kRegion - 8) / 16;
  int32_t entries = 0;
  for (int n = 0; n < RL_MON_FUNCTIONS && uint32_t(entries) < room; ++n) {
    uint64_t calls = r.timing[n].calls.load();
    if (n > 0 && calls == 0) continue;
    uint32_t at = kRegion + 8 + 16 * uint32_t(entries);
    b.put<uint32_t>(at, uint32_t(n));
    b.put<uint32_t>(at + 4, uint32_t(calls));
    b.put<uint64_t>(at + 8, r.timing[n].ns.load());
    ++entries;
  }
  b.put<int32_t>(kRegion + 4, entries - 1);
  b.put<uint32_t>(RL_MON_AT_VARIABLE_LENGTH, 8 + 16 * uint32_t(entries));
  b.put<uint32_t>(RL_MON_AT_CONTENTS, 1);                  // the timing region
  b.put<uint32_t>(RL_SYS_AT_DIAGNOSTIC_FLAG, 0x10000000);  // timing listed
}

void systemBlock(Block& b, Logon& self) {
  auto& r = registry();
  CacheFigures cache = allCaches();
  size_t logons = logonsOf(self.serverDir).size();
  size_t locks = locksHeld();
  size_t openTables;
  uint64_t openTablesHigh;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    openTables = r.openTables.size();
    openTablesHigh = r.openTablesHigh;
  }
  int inCall = 0;
  for (auto& l : logonsOf(self.serverDir)) inCall += l->stats.inCall.load();
  putHeader(b, RL_MON_SYSTEM_BLOCK, RL_MON_AT_SNAPSHOT_TIME);
  b.put<uint64_t>(RL_SYS_AT_LOCK_TRIES, r.lockTries);
  b.put<uint64_t>(RL_SYS_AT_LOCK_GRANTS, r.lockGrants);
  b.put<uint64_t>(RL_SYS_AT_LOCK_DENIALS, r.lockDenials);
  b.put<uint64_t>(RL_SYS_AT_LOCK_RELEASES, r.lockReleases);
  b.put<uint64_t>(RL_SYS_AT_LOCKS_HELD, locks);
  b.put<uint64_t>(RL_SYS_AT_TRANSACTION_TIME, r.txnNsSum);
  b.put<uint64_t>(RL_SYS_AT_TRANSACTIONS_TIMED, r.txnCommitted + r.txnAborted);
  b.put<uint64_t>(RL_SYS_AT_TRANSACTION_MAX, r.txnNsMax);
  const int64_t memoryUsed = sqlMemoryUsed();
  b.put<uint64_t>(RL_SYS_AT_MEMORY_HIGH, uint64_t(sqlMemoryHigh(memoryUsed)));
  b.put<uint64_t>(RL_SYS_AT_MEMORY_USED, uint64_t(memoryUsed));
  b.put<uint64_t>(RL_SYS_AT_CACHE_REQUESTS, cache.requests);
  b.put<uint64_t>(RL_SYS_AT_CACHE_HITS, cache.hits);
  IoCounters& io = ioCounters();
  b.put<uint64_t>(RL_SYS_AT_DATA_READS, io.dataReads);
  b.put<uint64_t>(RL_SYS_AT_DATA_READS + 8, io.dataReadBytes);
  b.put<uint64_t>(RL_SYS_AT_DATA_READS + 16, io.dataWrites);
  b.put<uint64_t>(RL_SYS_AT_DATA_READS + 24, io.dataWriteBytes);
  b.put<uint64_t>(RL_SYS_AT_LOG_WRITES, io.logWrites);
  b.put<uint64_t>(RL_SYS_AT_LOG_WRITES + 8, io.logWriteBytes);
  b.put<uint64_t>(RL_SYS_AT_LOG_WRITES + 16, io.logReads);
  b.put<uint64_t>(RL_SYS_AT_LOG_WRITES + 24, io.logReadBytes);
  b.put<uint64_t>(RL_SYS_AT_SYNCS, io.dataSyncs + io.logSyncs);
  b.put<uint64_t>(RL_SYS_AT_SYNCS + 8, io.logSyncs);
  b.put<uint64_t>(RL_SYS_AT_SYNCS + 16, io.dataSyncs);
  b.put<uint64_t>(RL_SYS_AT_TRANSACTIONS_BEGUN, r.txnBegun);
  b.put<uint64_t>(RL_SYS_AT_TRANSACTIONS_BEGUN + 8, r.txnCommitted);
  b.put<uint64_t>(RL_SYS_AT_TRANSACTIONS_BEGUN + 16, r.txnAborted);
  b.put<int64_t>(RL_SYS_AT_TICKS_PER_SECOND, kTicksPerSecond);
  b.put<uint64_t>(RL_SYS_AT_ELAPSED_SERVER_TIME, uint64_t(monotonicNs() - r.startedNs));
  for (int i = 0; i < kTxnBuckets; ++i)
    b.put<uint32_t>(RL_SYS_AT_TRANSACTION_HISTOGRAM + 4 * i, uint32_t(r.txnHistogram[i]));
  b.put<int32_t>(RL_SYS_AT_OPEN_TABLES, int32_t(openTables));
  b.put<int32_t>(RL_SYS_AT_OPEN_TABLES + 4, int32_t(r.connectionsOpen));
  b.put<int32_t>(RL_SYS_AT_OPEN_TABLES + 12, int32_t(openTablesHigh));
  b.put<int32_t>(RL_SYS_AT_OPEN_TABLES + 16, int32_t(r.connectionsHigh));
  b.put<uint32_t>(RL_SYS_AT_LOGONS, uint32_t(logons));
  b.put<uint32_t>(RL_SYS_AT_LOCK_ENTRIES, uint32_t(locks));
  b.put<uint64_t>(RL_SYS_AT_RECORDS_ADDED, r.recordsAdded);
  b.put<uint64_t>(RL_SYS_AT_RECORDS_ADDED + 8, r.recordsDeleted);
  b.put<uint32_t>(RL_SYS_AT_ACTIVE_LOGONS, uint32_t(inCall));
  b.put<uint8_t>(RL_SYS_AT_BYTE_ORDER, kByteOrder);
  b.put<uint8_t>(RL_SYS_AT_BYTE_ORDER + 1, kAlignment);
  b.put<uint8_t>(RL_SYS_AT_BYTE_ORDER + 2, kPointerSize);
  b.put<uint64_t>(RL_SYS_AT_KILLS, r.kills);
  b.put<uint64_t>(RL_SYS_AT_RECORDS_UPDATED, r.recordsUpdated);
  b.text(RL_SYS_AT_DESCRIPTION, 128, std::string("ravlink, the embedded engine over SQLite ") + sqlite3_libversion());
  b.put<uint32_t>(RL_SYS_AT_CURRENT_USERS, uint32_t(logons));
  b.put<uint32_t>(RL_SYS_AT_CURRENT_USERS + 4, uint32_t(kMaxOwner));
  b.put<uint32_t>(RL_SYS_AT_SERVER_VERSION, kVersionWord);
  b.put<uint64_t>(RL_SYS_AT_FILE_OPENS, r.fileOpens);
  b.put<uint64_t>(RL_SYS_AT_FILE_OPENS + 8, r.fileCloses);
  b.put<uint64_t>(RL_SYS_AT_TABLE_OPENS, r.tableOpens);
  b.put<uint64_t>(RL_SYS_AT_TABLE_OPENS + 8, r.tableCloses);
  b.put<uint64_t>(RL_SYS_AT_TABLE_OPENS + 16, r.tablesCreated);
  writeTimingRegion(b, self.serverDir);
}

void sqlBlock(Block& b) {
  int count = sqlAllocations();
  putHeader(b, RL_MON_SQL_BLOCK, RL_MON_AT_SNAPSHOT_TIME);
  const int64_t memoryUsed = sqlMemoryUsed();
  b.put<uint64_t>(RL_SQL_AT_MEMORY_HIGH, uint64_t(sqlMemoryHigh(memoryUsed)));
  b.put<uint64_t>(RL_SQL_AT_MEMORY_HIGH + 8, uint64_t(memoryUsed));
  b.put<int32_t>(RL_SQL_AT_ALLOCATIONS, count);
  b.put<uint8_t>(RL_SQL_AT_BYTE_ORDER, kByteOrder);
  b.put<uint8_t>(RL_SQL_AT_BYTE_ORDER + 1, kAlignment);
  b.put<uint8_t>(RL_SQL_AT_BYTE_ORDER + 2, kPointerSize);
}

void userBlock(Block& b, Logon& l) {
  auto& s = l.stats;
  putHeader(b, RL_MON_USER_BLOCK, RL_MON_AT_SNAPSHOT_TIME);
  b.put<uint64_t>(RL_USER_AT_TRANSACTION_TIME, s.txnNsSum);
  b.put<uint64_t>(RL_USER_AT_TRANSACTION_TIME + 8, s.txnNsMax);
  b.put<int64_t>(RL_USER_AT_TICKS_PER_SECOND, kTicksPerSecond);
  b.put<uint32_t>(RL_USER_AT_OWNER, uint32_t(l.owner));
  b.put<uint32_t>(RL_USER_AT_TRANSACTIONS, uint32_t(s.txnCommitted + s.txnAborted));
  b.put<uint32_t>(RL_USER_AT_TRANSACTIONS + 4, uint32_t(s.txnBegun));
  b.put<uint32_t>(RL_USER_AT_TRANSACTIONS + 8, uint32_t(s.txnCommitted));
  b.put<uint32_t>(RL_USER_AT_TRANSACTIONS + 12, uint32_t(s.txnAborted));
  b.put<uint32_t>(RL_USER_AT_OPEN_TABLES, uint32_t(s.openTables));
  b.put<uint32_t>(RL_USER_AT_LOGON_TIME, uint32_t(s.logonTime));
  b.put<uint32_t>(RL_USER_AT_LOGON_TIME + 4, uint32_t(s.lastCallTime));
  b.put<uint32_t>(RL_USER_AT_LAST_FUNCTION, uint32_t(std::max(0, functionNumber(s.lastCall.load()))));
  b.put<uint32_t>(RL_USER_AT_ACTIVE, uint32_t(s.inCall));
  b.put<uint32_t>(RL_USER_AT_OPEN_TABLES_HIGH, uint32_t(s.openTablesHigh));
  // The client whose request made the logon; one the server made on its own
  // behalf is this machine's.
  bool hasClient = s.addressV4 != 0 || std::any_of(std::begin(s.addressV6), std::end(s.addressV6),
                                                   [](unsigned char byte) { return byte != 0; });
  if (!hasClient)
    b.put<uint32_t>(RL_USER_AT_ADDRESS, 0x0100007F);
  else if (s.addressV4 != 0)
    b.put<uint32_t>(RL_USER_AT_ADDRESS, s.addressV4);
  else
    memcpy(b.at(RL_USER_AT_ADDRESS_V6), s.addressV6, 16);
  for (uint32_t at : {uint32_t(RL_USER_AT_CLIENT_BYTE_ORDER), uint32_t(RL_USER_AT_BYTE_ORDER)}) {
    b.put<uint8_t>(at, kByteOrder);
    b.put<uint8_t>(at + 1, kAlignment);
    b.put<uint8_t>(at + 2, kPointerSize);
  }
  b.text(RL_USER_AT_NODE, 32, nodeOf(l));
  b.text(RL_USER_AT_USER, 32, l.user);
}

int fileBlock(Block& b, Logon& self, const char* object) {
  char* end = nullptr;
  long number = object ? strtol(object, &end, 10) : 0;
  if (!object || !*object || *end || number < 1 || number > INT32_MAX) return RL_NOT_FOUND;
  std::string path, table;
  if (!engine().lookupDatno(int32_t(number), &path, &table)) return RL_NOT_FOUND;
  if (fs::path(path).lexically_relative(self.serverDir).string().rfind("..", 0) == 0) return RL_NOT_FOUND;
  uint32_t users = 0;
  int64_t opened = 0;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto& [core, entry] : r.openTables)
      if (entry.datno == number) ++users, opened = std::max(opened, entry.openedAt);
  }
  std::error_code ec;
  uint64_t size = fs::file_size(path, ec);
  putHeader(b, RL_MON_FILE_BLOCK, RL_MON_FILE_AT_SNAPSHOT_TIME);
  b.put<uint64_t>(RL_FILE_AT_PHYSICAL_SIZE, ec ? 0 : size);  // the database file that holds the table
  b.put<int64_t>(RL_FILE_AT_TICKS_PER_SECOND, kTicksPerSecond);
  b.put<uint32_t>(RL_FILE_AT_FILE_NUMBER, uint32_t(number));
  b.put<uint32_t>(RL_FILE_AT_SERVER_VERSION, kVersionWord);
  b.put<uint32_t>(RL_FILE_AT_USERS, users);
  for (uint32_t at : {uint32_t(RL_FILE_AT_FILE_BYTE_ORDER), uint32_t(RL_FILE_AT_BYTE_ORDER)}) {
    b.put<uint8_t>(at, kByteOrder);
    b.put<uint8_t>(at + 1, kAlignment);
    b.put<uint8_t>(at + 2, kPointerSize);
  }
  b.text(RL_FILE_AT_NAME, 256, fileNameOf(self.serverDir, path, table));
  return 0;
}

void memoryBlock(Block& b) {
  int64_t counts[kMemoryClasses], bytes[kMemoryClasses];
  memoryRows(counts, bytes);
  for (int c = 0; c < kMemoryClasses; ++c) {
    if (uint32_t(RL_MEMORY_AT_NAMES + 8 * c + 8) <= b.length())
      strncpy(reinterpret_cast<char*>(b.at(RL_MEMORY_AT_NAMES + 8 * c)), kClassNames[c], 8);
    b.put<uint64_t>(RL_MEMORY_AT_COUNTS + 8 * c, uint64_t(counts[c]));
    b.put<uint64_t>(RL_MEMORY_AT_BYTES + 8 * c, uint64_t(bytes[c]));
  }
}

// A file named by a caller, inside the server's directory.
bool pathInside(const std::string& serverDir, const std::string& name, fs::path* out) {
  if (name.empty()) return false;
  fs::path p = fs::path(name);
  if (p.is_absolute()) return false;
  fs::path full = (fs::path(serverDir) / p).lexically_normal();
  std::string rel = full.lexically_relative(serverDir).string();
  if (rel.empty() || rel == "." || rel.rfind("..", 0) == 0) return false;
  std::error_code ec;
  fs::path real = fs::weakly_canonical(full, ec);  // a symbolic link must not lead out either
  if (ec || real.lexically_relative(fs::weakly_canonical(serverDir, ec)).string().rfind("..", 0) == 0) return false;
  *out = full;
  return true;
}

// The first words of every memory log: a file that does not begin with them
// is not one, and is never appended to.
constexpr const char* kMemoryLogHead = "memory statistics at ";

// Names the engine and SQLite use for their own files: databases, their
// write-ahead logs, shared-memory indexes and journals, and the catalog.
bool isEngineFileName(const fs::path& file) {
  std::string name = file.filename().string();
  for (auto& c : name) c = char(tolower(static_cast<unsigned char>(c)));
  auto endsWith = [&](const char* suffix) {
    size_t n = strlen(suffix);
    return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
  };
  return endsWith(".db") || endsWith("-wal") || endsWith("-shm") || endsWith("-journal") ||
         name.find("-mj") != std::string::npos;  // a super-journal: "<database>-mj<random>"
}

// Appends text to the memory log file: a new file is made readable by the
// server's owner only; an existing one must be a regular file that is a
// memory log already (so no database, whatever its name, is ever written).
int appendToMemoryLog(const fs::path& file, const std::string& text) {
  int fd = open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno == ELOOP ? RL_MON_BAD_PATH : RL_STORAGE_ERROR;
  struct Descriptor {
    int fd;
    ~Descriptor() { close(fd); }
  } owned{fd};
  struct stat info {};
  if (fstat(fd, &info) != 0) return RL_STORAGE_ERROR;
  if (!S_ISREG(info.st_mode)) return RL_MON_NOT_A_LOG;
  if (info.st_size > 0) {
    size_t headLength = strlen(kMemoryLogHead);
    std::string head(headLength, '\0');
    if (pread(fd, head.data(), headLength, 0) != ssize_t(headLength) || head != kMemoryLogHead)
      return RL_MON_NOT_A_LOG;
  }
  for (size_t written = 0; written < text.size();) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return RL_STORAGE_ERROR;
    written += size_t(n);
  }
  return 0;
}

}  // namespace

namespace ravlink_detail {
namespace monitor {

void fillUserEntry(Logon& l, unsigned char* entry) {
  auto& s = l.stats;
  int16_t task = int16_t(l.owner), active = int16_t(s.inCall.load());
  int32_t logonTime = int32_t(s.logonTime), last = int32_t(s.lastCallTime), txn = int32_t(s.txnBegin);
  int32_t files = int32_t(s.openTables);
  CacheFigures cache = cacheOf(l);
  uint64_t counters[9] = {0, 0, 0, 0, cache.requests, cache.hits, 0, 0, cache.memory};
  memcpy(entry + RL_UENT_AT_TASK, &task, 2);
  memcpy(entry + RL_UENT_AT_ACTIVE, &active, 2);
  strncpy(reinterpret_cast<char*>(entry + RL_UENT_AT_USER), l.user.c_str(), 31);
  strncpy(reinterpret_cast<char*>(entry + RL_UENT_AT_COMM_INFO), s.sqlClient ? "SQL in-process" : "ISAM in-process",
          51);
  memcpy(entry + RL_UENT_AT_LOGON_TIME, &logonTime, 4);
  memcpy(entry + RL_UENT_AT_LAST_REQUEST_TIME, &last, 4);
  memcpy(entry + RL_UENT_AT_TRANSACTION_BEGIN, &txn, 4);
  memcpy(entry + RL_UENT_AT_FILES, &files, 4);
  strncpy(reinterpret_cast<char*>(entry + RL_UENT_AT_NODE), nodeOf(l).c_str(), 31);
  strncpy(reinterpret_cast<char*>(entry + RL_UENT_AT_LAST_FUNCTION), s.lastCall.load(), 31);
  memcpy(entry + RL_UENT_AT_COUNTERS, counters, sizeof counters);
}

bool writeLogRecord(const Event& e, void* buffer, uint32_t* length) {
  constexpr uint32_t kFixed = RL_LOG_FIXED_PART;
  if (*length <= kFixed) return false;  // the fixed part and at least the text's NUL
  uint32_t room = std::min<uint32_t>(*length, RL_MON_LOG_BUFFER) - kFixed;
  uint16_t textLength = uint16_t(std::min<size_t>(e.text.size(), room - 1));
  Block b(buffer, kFixed + textLength + 1);
  b.put<int32_t>(RL_LOG_AT_CLASS, e.evclass);
  b.put<int32_t>(RL_LOG_AT_EVENT, e.event);
  b.put<int32_t>(RL_LOG_AT_DAY, e.day);
  b.put<int32_t>(RL_LOG_AT_SECONDS, e.seconds);
  b.put<int32_t>(RL_LOG_AT_SEQUENCE, e.seq);
  b.put<int32_t>(RL_LOG_AT_ERROR, e.error);
  b.text(RL_LOG_AT_USER, 32, e.user);
  b.text(RL_LOG_AT_NODE, 32, e.node);
  b.put<uint16_t>(RL_LOG_AT_TEXT_LENGTH, textLength);
  memcpy(b.at(kFixed), e.text.data(), textLength);
  *length = kFixed + textLength + 1;
  return true;
}

}  // namespace monitor
}  // namespace ravlink_detail

extern "C" {

int32_t zvSNAPSHOT(int32_t action, const char* object, void* buffer, uint32_t length) {
  CallScope scope(nullptr, nullptr, "zvSNAPSHOT");
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return code;
  switch (action) {
    case RL_SNAP_TIMING_START:
    case RL_SNAP_TIMING_STOP:
    case RL_SNAP_TIMING_CLEAR:
      // Switching the figures of every logon of the server is the server's administrators' call.
      if (!isAdministrator(*self)) return RL_MON_NOT_ADMINISTRATOR;
      if (action == RL_SNAP_TIMING_CLEAR)
        clearTiming(self->serverDir);
      else
        setTiming(self->serverDir, action == RL_SNAP_TIMING_START);
      return 0;
    case RL_SNAP_TO_LOG: {
      Registry& r = registry();
      logEvent(self->serverDir, kClassSnapshot, kSystemSnapshot, 0, self->user, nodeOf(*self),
               "logons " + std::to_string(logonsOf(self->serverDir).size()) + ", transactions " +
                   std::to_string(r.txnCommitted + r.txnAborted) + ", records added " + std::to_string(r.recordsAdded) +
                   ", updated " + std::to_string(r.recordsUpdated) + ", deleted " + std::to_string(r.recordsDeleted) +
                   ", SQLite memory " + std::to_string(sqlMemoryUsed()));
      return 0;
    }
    default:
      break;
  }
  if (!buffer) return RL_BAD_ARGUMENT;
  switch (action) {
    case RL_SNAP_SYSTEM: {
      if (length < RL_MON_SYSTEM_BLOCK) return RL_BAD_ARGUMENT;
      Block b(buffer, length);
      systemBlock(b, *self);
      return 0;
    }
    case RL_SNAP_SQL: {
      Block b(buffer, std::min<uint32_t>(length, RL_MON_SQL_BLOCK));
      sqlBlock(b);
      return 0;
    }
    case RL_SNAP_OWN_USER:
    case RL_SNAP_USER: {
      std::shared_ptr<Logon> l = self;
      if (action == RL_SNAP_USER) {
        char* end = nullptr;
        long task = object ? strtol(object, &end, 10) : 0;
        if (!object || !*object || *end) return RL_MON_UNKNOWN_TASK;
        l = logonOf(int32_t(task));
        if (!l || l->serverDir != self->serverDir) return RL_MON_UNKNOWN_TASK;
      }
      Block b(buffer, std::min<uint32_t>(length, RL_MON_USER_BLOCK));
      userBlock(b, *l);
      return 0;
    }
    case RL_SNAP_FILE: {
      Block b(buffer, std::min<uint32_t>(length, RL_MON_FILE_BLOCK));
      return fileBlock(b, *self, object);
    }
    case RL_SNAP_MEMORY: {
      Block b(buffer, std::min<uint32_t>(length, RL_MON_MEMORY_BLOCK));
      memoryBlock(b);
      return 0;
    }
    default:
      return RL_MON_NOT_SUPPORTED;
  }
}

int16_t SYSCFG(void* buffer) {
  CallScope scope(nullptr, nullptr, "SYSCFG");
  if (!buffer) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return int16_t(code);
  int32_t v[RL_MON_CONFIG_VALUES] = {};
  auto& r = registry();
  size_t logons = logonsOf(self->serverDir).size();
  size_t openTables;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    openTables = r.openTables.size();
  }
  int count = sqlAllocations();
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  v[0] = 2048;         // cfgFILES: the open files one list reports at most
  v[1] = kMaxOwner;    // cfgUSERS: task numbers
  v[100] = kMaxOwner;  // cfgCONNECTIONS
  v[144] = 1;          // cfgWORD_ORDER: Low_High
  v[150] = '/';        // cfgPATH_SEPARATOR
  v[154] = 1;          // cfgSRV_MODEL: ISAM calls
  v[184] = int32_t(kVersionWord);
  v[185] = 0x22DDDD22;  // cfgPORTID: Linux
  v[186] = kMaxOwner;   // cfgMAX_CONNECT
  const int64_t memoryUsed = sqlMemoryUsed();
  v[192] = int32_t(std::min<int64_t>(memoryUsed, INT32_MAX));
  v[193] = int32_t(std::min<int64_t>(sqlMemoryHigh(memoryUsed), INT32_MAX));
  v[194] = count;
  v[200] = int32_t(logons);
  v[201] = int32_t(locksHeld());
  v[202] = int32_t(r.connectionsOpen);
  v[203] = int32_t(openTables);
  v[204] = int32_t(openTables);
  v[209] = kMaxOwner;  // cfgMAX_LOGONS
  v[211] = int32_t(std::min<rlim_t>(files.rlim_cur, INT32_MAX));
  v[228] = 1;  // cfgLOCAL_CONN_ONLY: this machine's callers only
  v[229] = int32_t(getpid());
  v[230] = int32_t(logons);
  v[231] = 0x2;  // cfgCFGCHK: ravlink loaded
  memcpy(buffer, v, sizeof v);
  return 0;
}

int16_t IOPERFORMANCEX(void* buffer) {
  CallScope scope(nullptr, nullptr, "IOPERFORMANCEX");
  if (!buffer) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return int16_t(code);
  auto& r = registry();
  CacheFigures cache = allCaches();
  uint32_t c[RL_MON_IO_COUNTERS] = {};
  c[0] = uint32_t(cache.requests);
  c[1] = uint32_t(cache.hits);
  IoCounters& io = ioCounters();
  c[4] = uint32_t(io.dataReads + io.logReads);
  c[5] = uint32_t(io.dataReadBytes + io.logReadBytes);
  c[6] = uint32_t(io.dataWrites + io.logWrites);
  c[7] = uint32_t(io.dataWriteBytes + io.logWriteBytes);
  c[14] = uint32_t(r.txnBegun);
  c[15] = uint32_t(r.txnCommitted);
  c[16] = uint32_t(r.txnAborted);
  c[18] = uint32_t(nowSeconds());
  c[19] = uint32_t(io.dataSyncs + io.logSyncs);
  c[20] = uint32_t(io.logSyncs);
  c[21] = uint32_t(io.dataSyncs);
  memcpy(buffer, c, sizeof c);
  return 0;
}

int32_t zvMEMSTAT(int32_t mode, const void* parameter) {
  CallScope scope(nullptr, nullptr, "zvMEMSTAT");
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return code;
  if (!parameter) return RL_BAD_ARGUMENT;
  if (mode == 4) {
    const char* text = static_cast<const char*>(parameter);
    size_t n = strnlen(text, 256);
    if (n > 255) return RL_VALUE_TOO_LONG;
    std::lock_guard<std::mutex> lock(gMemStatMutex);
    gMemStatSelection = strcmp(text, "-ALL") == 0 ? "" : std::string(text, n);
    return 0;
  }
  if (mode != 1) return RL_MON_NOT_SUPPORTED;
  // Each log call writes a file in the server's directory: the server's administrators' call.
  if (!isAdministrator(*self)) return RL_MON_NOT_ADMINISTRATOR;
  const auto* request = static_cast<const RlMemStatLogRequest*>(parameter);
  std::string name(request->fileName, strnlen(request->fileName, sizeof request->fileName));
  if (name.size() >= sizeof request->fileName) return RL_VALUE_TOO_LONG;
  fs::path file;
  if (!pathInside(self->serverDir, name, &file)) return RL_MON_BAD_PATH;
  if (isEngineFileName(file)) return RL_MON_NOT_A_LOG;
  int64_t counts[kMemoryClasses], bytes[kMemoryClasses];
  memoryRows(counts, bytes);
  std::string selection;
  {
    std::lock_guard<std::mutex> lock(gMemStatMutex);
    selection = gMemStatSelection;
  }
  std::ostringstream out;
  out << kMemoryLogHead << nowSeconds() << " (classes kept: " << (selection.empty() ? "none" : selection)
      << (gCountingAllocator ? "" : "; SQLite was started before the engine: size classes not counted") << ")\n";
  for (int c = 0; c < kMemoryClasses; ++c) out << kClassNames[c] << ' ' << counts[c] << ' ' << bytes[c] << '\n';
  return appendToMemoryLog(file, out.str());
}

}  // extern "C"
