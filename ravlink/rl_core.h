// Internal structures of the engine, shared by its source files only.
#pragma once

#include "monitor_engine.h"
#include "ravlink.h"
#include "rl_handles.h"

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ravlink_detail {

[[noreturn]] void fail(int code, const std::string& message);
[[noreturn]] void failSqlite(sqlite3* db, int rc, const std::string& doing);

// ---- names and paths ---------------------------------------------------
constexpr size_t kMaxNameLength = 128;
// Letters, digits and underscore, 1..kMaxNameLength (tables, databases, servers).
void checkObjectName(const char* name, const char* what);
// Any text without control characters, 1..kMaxNameLength, not a reserved
// column name (fields and indexes: they are always quoted).
void checkFieldName(const std::string& name, const char* what);
std::string quoteName(const std::string& identifier);  // "a""b"
// Table names ignore ASCII case, as SQLite's own names do: "Items" and
// "items" are one table. Every comparison of table names goes through these.
bool sameTableName(const std::string& a, const std::string& b);
struct TableNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
std::string dataRoot();
// The engine's directories and files hold the users' password hashes and
// the callers' data: only the process's user may read them. Directories are
// made 0700 and files 0600; SQLite gives a database's -wal, -shm and
// -journal files the mode of the database file. What exists already is left
// as it is.
bool createPrivateDirectories(const std::string& dir);  // true when dir is a directory afterwards
void createPrivateFile(const std::string& path);        // when missing; never opens an existing one

// ---- values ------------------------------------------------------------
struct Value {
  enum Kind : uint8_t { Null, Int, Real, Text, Blob };
  Kind kind = Null;
  int64_t i = 0;
  double d = 0;
  std::string s;  // text or blob bytes
  static Value integer(int64_t v) {
    Value x;
    x.kind = Int;
    x.i = v;
    return x;
  }
  static Value real(double v) {
    Value x;
    x.kind = Real;
    x.d = v;
    return x;
  }
  static Value text(std::string v) {
    Value x;
    x.kind = Text;
    x.s = std::move(v);
    return x;
  }
  static Value blob(std::string v) {
    Value x;
    x.kind = Blob;
    x.s = std::move(v);
    return x;
  }
  bool isNull() const { return kind == Null; }
};
bool sameValue(const Value& a, const Value& b);

// What a field holds, whatever its client type code.
enum class Sem { Bit, Int, Real, Date, Time, Timestamp, Text, Binary };

struct FieldDef {
  std::string name;
  int type = 0, length = 0, scale = 0, binaryFlag = 0, precision = 0;
  bool autoTimestamp = false;      // set to the time of the record's creation
  bool autoUpdate = false;         // set to the time of each update
  std::string formerName;          // the stored name of a field renamed since the definition was read
  int dateType = 0, timeType = 0;  // open-table settings, not stored
};
struct SegmentDef {
  SegmentDef(int fieldNumber = 0, int segmentMode = 12) : field(fieldNumber), mode(segmentMode) {}
  int field;
  int mode;
  // A segment over a key inside a JSON field: the key's path ("a.b[2]"),
  // the client type code and size its values are indexed as. Empty path:
  // the field's own value.
  std::string jsonKey;
  int jsonType = 0, jsonSize = 0;
  bool descending() const { return (mode & 0x10) != 0; }
  bool overJsonKey() const { return !jsonKey.empty(); }
  bool sameKey(const SegmentDef& o) const {
    return field == o.field && descending() == o.descending() && jsonKey == o.jsonKey && jsonType == o.jsonType &&
           jsonSize == o.jsonSize;
  }
};
struct IndexDef {
  std::string name;
  int keyType = 0, duplicates = 1, nullKey = 0;
  std::vector<SegmentDef> segments;
  std::string condition;  // filter text: only rows it accepts are in the index; empty: every row
  // Same rows in the same order, under the same uniqueness.
  bool sameShape(const IndexDef& o) const {
    if (duplicates != o.duplicates || condition != o.condition || segments.size() != o.segments.size()) return false;
    for (size_t s = 0; s < segments.size(); ++s)
      if (!segments[s].sameKey(o.segments[s])) return false;
    return true;
  }
};
struct TableDef {
  std::string name;
  std::vector<FieldDef> fields;
  std::vector<IndexDef> indexes;
  int identity = -1;  // field number of the identity field
  // The identity's first value and its step (the record id's, when the
  // table has an identity field).
  int64_t identitySeed = 1, identityIncrement = 1;
  bool customIdentity() const { return identity >= 0 && (identitySeed != 1 || identityIncrement != 1); }
  int createMode = 0;
  int replication = 0;
  std::string partRule;
  int partIndex = -1, partBits = 0, partMaxActive = 0;
  int64_t partLow = 0;
  int fieldNumber(const std::string& name) const;
  int indexNumber(const std::string& name) const;
  bool partitioned() const { return !partRule.empty(); }
};

Sem semOf(const FieldDef& f);
bool isDecimal(const FieldDef& f);                           // NUMBER and MONEY: exact decimals (rl_values.cpp)
const char* declaredType(const FieldDef& f, bool identity);  // SQLite column type
bool storesText(const FieldDef& f);
// A stored value of field `from` as field `to` holds it after a change of
// definition; throws RL_BAD_VALUE when it does not convert without loss.
Value convertValue(const FieldDef& from, const Value& v, const FieldDef& to);
// The most bytes a text or binary field's value may have (its stored length
// less the length prefix); 0: no limit.
size_t contentLimit(const FieldDef& f);

// Conversions between client values and stored values. A text holding a
// NUL byte is taken whole by binary fields and refused (RL_BAD_VALUE) by
// every other field, never cut at the NUL.
Value fromString(const FieldDef& f, const char* text, int dateType, int timeType);
Value fromText(const FieldDef& f, std::string_view text, int dateType, int timeType);
inline bool textHasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }
// A JSON field (type 259): it holds JSON text only.
inline bool holdsJson(const FieldDef& f) { return f.type == RL_TYPE_JSON; }
Value fromSigned(const FieldDef& f, int64_t v);
Value fromFloat(const FieldDef& f, double v);
Value fromBytes(const FieldDef& f, const void* data, size_t size);
Value fromDateTime(const FieldDef& f, const ZVDateTime& v);
std::string toString(const FieldDef& f, const Value& v, int dateType, int timeType);
int64_t toInteger(const FieldDef& f, const Value& v);
double toFloat(const FieldDef& f, const Value& v);
ZVDateTime toDateTime(const FieldDef& f, const Value& v);
std::string isoDateTime(const ZVDateTime& v);  // "YYYY-MM-DD hh:mm:ss.ttt"
bool parseIso(const std::string& text, ZVDateTime* out);

// Day numbers (Julian day numbers).
int32_t packDay(int y, int m, int d);
void unpackDay(int32_t day, int* y, int* m, int* d);
bool validDate(int y, int m, int d);

// ---- keys inside JSON fields and index conditions ----------------------
struct Connection;
constexpr size_t kMaxJsonKeyLength = 255;
// Checks a key path: members of letters, digits and '_' joined by '.',
// each optionally followed by array positions "[n]"; throws RL_BAD_ARGUMENT.
void checkJsonKey(const std::string& key);
// The key's values are indexed as this client type and size: 8, 16, 24,
// 33, 41, 51, 59, 103, 146, 231 or 239; throws RL_BAD_ARGUMENT.
void checkJsonKeyType(int type, int size);
// The definition a segment's key values have: the field's own, or for a
// JSON key one of the key's type and size.
FieldDef segmentKeyField(const TableDef& def, const SegmentDef& seg);
// SQL of a segment's key in a row (a column, or the key taken from it):
// the same text in the index and in every walk over it.
std::string segmentKeySql(const TableDef& def, const SegmentDef& seg);
// The key a segment has in a row whose field holds `fieldValue`, or, for a
// search key (`search`), in a record buffer: there a JSON field holding a
// single value rather than an object stands for the key itself.
Value segmentKeyValue(Connection& conn, const TableDef& def, const SegmentDef& seg, const Value& fieldValue,
                      bool search);
// An index condition as SQL over the table's columns: parsed with the
// filter grammar, names quoted and values written as literals. Throws
// RL_BAD_FILTER.
std::string conditionSql(const std::string& text, const TableDef& def);

// ---- partition rules ---------------------------------------------------
// A rule is integer arithmetic over date parts of date/time fields, e.g.
// "(YEAR(ts)-2018)*366 + DAYOFYEAR(ts)". It is evaluated by the engine,
// never handed to SQL.
class PartitionRule {
 public:
  // throws RL_BAD_RULE
  void parse(const std::string& text, const TableDef& def);
  bool empty() const { return nodes_.empty(); }
  int64_t evaluate(const std::vector<Value>& row, const TableDef& def) const;

 private:
  struct Node {
    char op;  // 'n' number, 'f' function, '+', '-', '*', '/', '%', 'u' unary minus
    int64_t number = 0;
    int function = 0, field = -1;
    int left = -1, right = -1;
  };
  int parseExpr(const std::string& t, size_t& p, const TableDef& def);
  int parseTerm(const std::string& t, size_t& p, const TableDef& def);
  int parseFactor(const std::string& t, size_t& p, const TableDef& def);
  int64_t eval(int node, const std::vector<Value>& row, const TableDef& def) const;
  std::vector<Node> nodes_;
  int root_ = -1;
  int depth_ = 0;  // open parentheses and unary minus signs while parsing
};

// ---- process-wide state ------------------------------------------------
struct TableShared {
  int32_t datno = 0;
  std::atomic<bool> blocked{false};
  std::atomic<uint64_t> blockGen{0};   // rises when the table is blocked
  std::atomic<uint64_t> schemaGen{0};  // rises when the definition is stored
  std::atomic<uint64_t> writeGen{0};   // rises on every write to the table in the process
  std::mutex partMutex;
  bool maxPartitionKnown = false;
  int64_t maxPartition = 0;
};

// The turns of the process's writers of one file. One asks SQLite for the
// write lock at a time: without turns every waiter retried (and mostly
// failed) at each commit, and the lock stood idle while they woke. The
// next writer in line waits awake, so that it starts the moment the turn
// ends; the others sleep, and one of them is woken to be next in line as
// soon as a turn begins, its waking overlapping the turn instead of
// following it.
class WriterTurns {
 public:
  // False when the deadline passed first.
  bool take(std::chrono::steady_clock::time_point deadline);
  void end();

 private:
  bool tryTake();
  bool spinFor(std::chrono::steady_clock::time_point until);
  void wakeOne();
  std::atomic<bool> taken_{false};
  std::atomic<bool> nextAwake_{false};  // a writer waits awake for the turn
  std::atomic<uint64_t> turnsEnded_{0};
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable woken_;
};

struct FileShared {
  std::string path;
  // Rises on every write, commit and rollback in the process: a walk that
  // started before it moved holds an older view and seeks again.
  std::atomic<uint64_t> writeGen{0};
  std::mutex mutex;
  std::condition_variable committed;
  uint64_t commitSeq = 0;
  std::map<std::string, std::shared_ptr<TableShared>, TableNameLess> tables;
  std::atomic<int> connections{0};  // open connections of the process's sessions
  std::shared_ptr<TableShared> table(const std::string& name);
  void notifyCommit();

  // The process's writers of the file take turns before asking SQLite for
  // its write lock (see WriterTurns).
  WriterTurns writerTurns;
};

struct LockKey {
  std::string file, table;
  int64_t row = 0;
  bool operator<(const LockKey& o) const;
};

class LockTable {
 public:
  void acquire(const LockKey& key, uint64_t holder, int timeoutMs);
  bool release(const LockKey& key, uint64_t holder);
  void releaseAll(uint64_t holder);
  bool heldByOther(const LockKey& key, uint64_t holder);
  struct Held {
    LockKey key;
    uint64_t holder;
  };
  std::vector<Held> list(size_t limit);  // the locks held now, at most limit (monitor_registry.cpp)

 private:
  struct Entry {
    uint64_t holder;
    int count;
  };
  std::mutex mutex_;
  std::condition_variable freed_;
  std::map<LockKey, Entry> held_;
};

// The session's mutex, taken on every call of its objects and re-entered
// when they call each other. An owner check over a lock word that waits in
// the kernel only when contended: a record move and every field read take
// it, and an uncontended pthread mutex plus the owner check cost as much as
// the engine's own work on such a call. Only the owner ever stores its own
// id, so another thread never mistakes itself for the owner.
class SessionMutex {
 public:
  void lock() {
    std::thread::id self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return;
    }
    int expected = kFree;
    if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
      lockContended();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
  }
  // lock() without waiting: false when another thread holds it.
  bool tryEnter() {
    std::thread::id self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return true;
    }
    return try_lock();
  }
  // For the monitor: the session when it is between calls (not re-entrant).
  bool try_lock() {
    int expected = kFree;
    if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
      return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
    return true;
  }
  void unlock() {
    if (--depth_ > 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    if (word_.exchange(kFree, std::memory_order_release) == kWaited) word_.notify_one();
  }

 private:
  enum : int { kFree = 0, kHeld = 1, kWaited = 2 };  // kWaited: held, and a thread may sleep on it
  void lockContended() {
    while (word_.exchange(kWaited, std::memory_order_acquire) != kFree) word_.wait(kWaited, std::memory_order_relaxed);
  }
  std::atomic<int> word_{kFree};
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;  // the owner's only
};

struct Logon;

// Makes the server with its catalog and administrator when it is missing
// (rlCreateServer). With credentials, a missing server is made only for
// those of its administrator-to-be; throws 451 / 450 and makes nothing
// otherwise.
void createServer(const char* server, const char* user = nullptr, const char* password = nullptr);

struct Engine {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<FileShared>> files;
  std::map<int32_t, std::pair<std::shared_ptr<FileShared>, std::string>> datnos;
  int32_t nextDatno = 1;
  std::map<int32_t, std::weak_ptr<Logon>> owners;
  int32_t nextOwner = 1;
  std::atomic<uint64_t> nextLogonId{1};
  HandleTable handles;
  std::mutex serverMutex;  // server catalogs: users and databases
  // Tables copied to another database by AddTable and not yet dropped from
  // their own: "<file path>\n<lower-case name>" -> the table's write and
  // definition generations at the copy.
  std::mutex copiesMutex;
  std::map<std::string, uint64_t> copiedTables;
  LockTable locks;

  std::shared_ptr<FileShared> file(const std::string& path);
  // Whether any session of the process has the file open.
  bool fileInUse(const std::string& path);
  std::shared_ptr<TableShared> table(const std::string& path, const std::string& name);
  bool lookupDatno(int32_t datno, std::string* path, std::string* table);
};
Engine& engine();
constexpr int kLockTimeoutMs = 30000;
constexpr int kBusyTimeoutMs = 30000;

// ---- sessions and connections -------------------------------------------
class Walk;   // see rl_record.cpp

struct Connection {
  std::shared_ptr<Logon> logon;
  sqlite3* db = nullptr;
  std::string path, name;
  std::shared_ptr<FileShared> file;
  bool txnOpen = false;
  bool txnWrote = false;
  bool holdsWriterTurn = false;  // see WriterTurns
  std::chrono::steady_clock::time_point busySince;  // start of the current wait for another writer
  std::unordered_map<std::string, sqlite3_stmt*> statements;
  // Statements that read no table (key expressions over bound values):
  // they may run while walks step, so preparing them parks nothing.
  std::unordered_map<std::string, sqlite3_stmt*> scalars;
  // Table definitions read from this file's catalog, kept while the
  // catalog is unchanged: by this process (the table's schemaGen) or by
  // another (the file's data version, then the catalog generation).
  struct CachedDefinition {
    TableDef def;
    uint64_t schemaGen = 0;
  };
  std::map<std::string, CachedDefinition, TableNameLess> definitions;
  int64_t dataVersionSeen = -1, catalogGenSeen = -1;
  // The pager's own count of changes (its own commits and everybody
  // else's) when the cached definitions were last found current: while it
  // stays so, nothing can have changed the catalog, and a table may be
  // opened from the cache without a statement of its own.
  unsigned pagerVersionSeen = 0;
  bool pagerVersionKnown = false;
  std::string monitorFolder;  // the file as the monitor names it, relative to the server's folder
  // Walks whose statement may be stepping between calls. A stepping
  // statement holds the connection's read transaction (and its view of
  // the file) open: every other statement, write, commit or rollback on
  // the connection parks them first, so it sees the file as it is now
  // and an auto-commit write commits at once.
  std::vector<Walk*> walks;

  ~Connection();
  void parkWalks();
  void noteWrite() { file->writeGen++; }
  sqlite3_stmt* prepare(const std::string& sql);  // cached; reset before return
  sqlite3_stmt* prepareScalar(const std::string& sql);
  void exec(const std::string& sql);
  void beginWrite();  // the file's writer turn, then BEGIN IMMEDIATE
  // The writer turn of a write outside a transaction (ended by endWriterTurn).
  void takeWriterTurn();
  void endWriterTurn();
  void commit();
  void rollback();
  void forgetStatements();
};

// How a database file is opened: Create makes the file (which must not be
// there yet) with its catalog; Existing opens a file that is there and adds
// WAL mode and the catalog only when it lacks them; Peek opens a file that
// is there and writes nothing.
enum class FileOpen { Create, Existing, Peek };
sqlite3* openDatabaseFile(const std::string& path, FileOpen how, int busyTimeoutMs);
std::shared_ptr<Connection> openConnection(const std::shared_ptr<Logon>& logon, const std::string& name,
                                           const std::string& path);

struct Logon : std::enable_shared_from_this<Logon> {
  SessionMutex mutex;
  uint64_t id = 0;
  int32_t owner = -1;
  bool loggedOn = false;
  bool internal = false;
  std::string server, serverDir, user;
  int autoCommit = 1;
  bool explicitTxn = false;
  int dateType = 1, timeType = 3;
  uint64_t abortCount = 0;  // read-ahead pages taken before an abort are stale
  // Tables whose definition the open transaction changed: an abort makes
  // every object of them read the definition again.
  std::vector<std::shared_ptr<TableShared>> redefinedInTransaction;
  std::vector<std::shared_ptr<Connection>> txnConns;
  std::map<std::string, std::weak_ptr<Connection>> conns;
  monitor::LogonStats stats;
  std::atomic<bool> killed{false};  // set by zvklusr; the logon ends at its next call

  ~Logon();
  void requireLoggedOn() const {
    if (!loggedOn) fail(RL_NOT_OPEN, "The session is not logged on");
  }
  bool inTransaction() const { return explicitTxn || !txnConns.empty(); }
  void commitAll();
  void abortAll();
  static void forgetDefinitions(const std::vector<std::shared_ptr<TableShared>>& tables);
  void end();  // abort, release locks, forget the owner
};

// A write on one connection: joins the session's transaction, or commits on
// its own (one statement runs in SQLite's own transaction).
class WriteScope {
 public:
  WriteScope(Connection& conn, bool severalStatements);
  ~WriteScope();
  void done();

 private:
  Connection& conn_;
  bool local_ = false;
  bool finished_ = false;
};

// ---- tables --------------------------------------------------------------
struct TableCore {
  std::shared_ptr<Logon> logon;
  std::shared_ptr<Connection> conn;
  ZVTable* object = nullptr;  // null once the table object is gone
  bool open = false;
  int openMode = 0;
  TableDef def;     // working definition: pending changes on an open table
  TableDef stored;  // as stored
  std::shared_ptr<TableShared> shared;
  uint64_t blockGen = 0, schemaGen = 0;
  uint64_t version = 1;  // rises when the field layout changes
  // Opened from the connection's cached definition without asking the file
  // whether another process changed the catalog since: the first statement
  // settles it (a read by id inside its own read transaction, anything else
  // through requireOpen before it runs).
  bool catalogUnchecked = false;
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, int, NameHash, std::equal_to<>> fieldByName;
  PartitionRule rule;
  std::string selectList;  // all fields then rowid
  std::string insertSql;
  sqlite3_stmt* insertStmt = nullptr;  // cached from conn; reset with it
  std::string rowidName;               // column holding the record id

  // Open, not blocked, definition current; throws. Inline for the checks
  // every record call makes; anything to do happens in catchUp.
  void requireOpen() {
    if (!open || !logon->loggedOn || shared->blocked.load() || shared->blockGen.load() != blockGen ||
        shared->schemaGen.load() != schemaGen || catalogUnchecked)
      catchUp();
  }
  // requireOpen, leaving an unchecked catalog to the caller's own statement.
  void requireOpenLeavingCheck() {
    if (!open || !logon->loggedOn || shared->blocked.load() || shared->blockGen.load() != blockGen ||
        shared->schemaGen.load() != schemaGen)
      catchUp(false);
  }
  void catchUp(bool settleCatalog = true);
  // mayDefer: a definition cached by the connection is taken as it is and
  // the table marked catalogUnchecked.
  void loadFromCatalog(const std::string& name, bool mayDefer = false);
  void prepareTexts();
  int field(std::string_view name) const;  // throws RL_UNKNOWN_FIELD
  void close();
};

// Catalog of a database file.
// The table's name as the catalog holds it (found ignoring case), or false.
bool catalogStoredName(sqlite3* db, const std::string& name, std::string* stored);
bool catalogHasTable(sqlite3* db, const std::string& name);
// def->name is the catalog's spelling of the name, whatever case name has.
bool catalogRead(sqlite3* db, const std::string& name, TableDef* def);
// catalogRead through the connection's cache of definitions.
// With `deferred`, a definition in the cache is taken without a look at
// the file (*deferred set true), when the connection checked the file before.
bool catalogReadCached(Connection& conn, const std::string& name, const TableShared& shared, TableDef* def,
                       bool* deferred = nullptr);
// Whether the connection's cached definition of the table is current, the
// file asked now.
bool cachedDefinitionCurrent(Connection& conn, const std::string& name, const TableShared& shared);
// With a statement of the connection stepping, so its read transaction is
// open: whether the cached definitions hold for what that transaction sees.
// Costs a statement only when some connection committed since the last check.
bool definitionsHoldInSnapshot(Connection& conn);
void catalogWrite(sqlite3* db, const TableDef& def);  // replaces the table's rows
// Every change of the catalog's rows raises the file's catalog generation,
// so that connections elsewhere drop their cached definitions.
void catalogChanged(sqlite3* db);
// Copies the table `name` with its rows, indexes and id sequence from the
// database file `sourcePath` into the connection's file, in one
// transaction; throws RL_NO_TABLE, RL_TABLE_EXISTS.
void copyTableFromFile(Connection& conn, const std::string& sourcePath, const std::string& name);
std::string createTableSql(const TableDef& def, const std::string& sqlName);
// The catalog's scale column (rl_fields.scale): scale and precision in one word.
int scaleWord(const FieldDef& f);
void setScaleWord(FieldDef& f, int word);
std::string createIndexSql(const TableDef& def, int index);
std::string indexSqlName(const std::string& table, const std::string& index);
void createTableInFile(Connection& conn, const TableDef& def);
void alterTableInFile(Connection& conn, const TableDef& stored, const TableDef& wanted);
void validateDefinition(const TableDef& def);
// Copies the table's rows, record ids kept, into a new table with its
// indexes, swapped in for the old one at the end: all or nothing.
void rebuildTableInFile(Connection& conn, const TableDef& def);
// Changes of a table's working definition, checked first (they throw).
// stored: the table is open, its identity field fixed.
void setIdentityField(TableDef& d, bool stored, const char* fieldName, int seed, int increment);
void setAutoTimestamp(FieldDef& fd, int onCreate, int onUpdate);
void setPartitionIndex(TableDef& d, int indexNumber);
void setPartitionRule(TableDef& d, const char* rule);  // at most 4096 characters, parsed against d
void setPartitionBits(TableDef& d, int bits);          // 0..32
void setPartitionMaxActive(TableDef& d, int maxActive);  // 0..65535
// The calls that name a data file number (throw RL_BAD_HANDLE for an
// unknown one). The replication flags: a code. The lowest partition number
// held, or -RL_NOT_PARTITIONED, -RL_NOT_FOUND.
int setTableReplication(int32_t datno, int on, int flags);
int64_t lowestPartition(int32_t datno);
// Blocks or unblocks the table of a data file path inside the data root: a code.
int blockTableFile(const char* path, int mode);
// A table copy on this thread (rebuild, or an alteration that rebuilds)
// copies in chunks of `step` rows while this is set, and tells `copied` the
// rows done after each; an exception from it stops the copy (rolled back).
struct CopyProgress {
  int64_t step = 0;
  std::function<void(int64_t copied)> copied;
};
extern thread_local CopyProgress* tlsCopyProgress;

// ---- records ---------------------------------------------------------------

// Where a walk starts, relative to the bound key (in index order).
enum class Seek { Start, After, AtOrAfter, Before, AtOrBefore };

struct ReadLimits;  // rl_read_limits.cpp

struct RecordState {
  ZVRecord* self = nullptr;
  std::shared_ptr<TableCore> table;
  uint64_t tableVersion = 0;
  std::vector<Value> values;
  std::vector<uint8_t> dirty;
  int defaultIndex = -2;  // -2: not chosen yet; -1: record-id order
  bool onRow = false;
  enum class Pos { Fresh, At, Exhausted } pos = Pos::Fresh;
  std::vector<Value> posKey;
  int64_t posRowid = 0;
  std::unique_ptr<Walk> walker;  // the index walk, stepping live between Next calls
  int blockingSeconds = 0;
  std::vector<LockKey> lockedRows;
  std::string tableName;
  int batchMode = 0;
  // Filter, record set and range of the numbered functions (rl_read_limits.cpp).
  std::shared_ptr<ReadLimits> limits;
  int lockMode = 0;

  RecordState();
  ~RecordState();
  // Table usable, buffer matches its layout; inline for the check on every call.
  void sync() {
    table->requireOpen();
    if (tableVersion != table->version) followLayout();
  }
  void syncLeavingCheck() {
    table->requireOpenLeavingCheck();
    if (tableVersion != table->version) followLayout();
  }
  void followLayout();
  int effectiveIndex();
  const std::vector<int>& keyFields();  // default index segments' fields
  const std::vector<bool>& keyDescending();
  std::vector<int> keyCache;
  std::vector<bool> descCache;
  bool keyCacheJson = false;  // a segment indexes a key inside a JSON field
  // Key values taken from fields, as the key has them: JSON keys extracted.
  void jsonKeysOf(std::vector<Value>& key, bool search);
  int keyCacheIndex = -3;
  uint64_t keyCacheVersion = 0;
  void loadRow(sqlite3_stmt* st);  // the statement's row into the buffer, positioned on it

  // The row a walk moved to stays in the walk's statement until something
  // else needs that statement or the buffer: field reads take it from the
  // statement, and a move that steps on needs no copy at all. Every path
  // that reads or changes `values` (other than the field reads), or that
  // steps, resets or finalises the walk's statements other than the
  // record's own next step, calls materialise() first; Walk::park does it
  // for everything that lets go of the walk.
  sqlite3_stmt* liveRow = nullptr;           // null: `values` hold the row
  void holdRow(sqlite3_stmt* st);            // positioned on the walk's row, left in the statement
  void materialise();                        // the live row into `values`
  void dropLiveRow() { liveRow = nullptr; }  // `values` are about to be overwritten
  const Value& fieldValue(int field);        // from the live row or the buffer
  Value scratch;                             // a live row's field, reused between reads
  sqlite3_stmt* stepOn(Walk& w);             // the walk's next row; the current one is given up
  void restoreRow();                         // reads the position's row again by its id

  void stopWalk();  // the next move seeks again from the position
  void endWalk();   // the walk goes with its statements
  Walk& walkOn();   // the walk, bound to the table's connection
  int walk(int dir, bool fromStart);
  bool waitForCommit(uint64_t seenSeq, std::chrono::steady_clock::time_point deadline);
  int find(int mode);
  int findRowid(int64_t rowid, int mode);
  void insert();
  void update();
  void remove();
  int fieldOf(const char* name);
  struct NameHit {
    const char* name = nullptr;
    int field = -1;
  };
  std::array<NameHit, 8> nameHits{};  // names looked up lately, checked again on use
  size_t nextNameHit = 0;
  // The automatic time stamp of a field for the time `now`: rows inserted
  // within the same millisecond share one formatted value.
  const Value& autoStamp(int field, const ZVDateTime& now);
  struct StampHit {
    int32_t day = -1, ms = -1;
    Value value;
  };
  std::vector<StampHit> stampHits;  // by field; emptied when the layout changes
  template <class Make>
  void setValue(int field, Make&& make) {
    materialise();  // the other fields keep the row
    dirty[field] = 1;
    try {
      values[field] = make(table->stored.fields[field]);
    } catch (...) {
      values[field] = Value();
      throw;
    }
  }
  void releaseLocks();
  LockKey rowKey(int64_t rowid) const;
  int jumpTo(int64_t n);
  void read();
  void batchDelete();
  std::vector<Value> keyValues(bool search = false) const;
  int dateTypeOf(int field) const;
  int timeTypeOf(int field) const;
};

void bindValue(sqlite3_stmt* st, int index, const Value& v);
Value columnValue(sqlite3_stmt* st, int column);
void assignColumn(Value& v, sqlite3_stmt* st, int column);        // reuses v's buffer
bool stepRow(sqlite3* db, sqlite3_stmt* st, const char* doing);   // true: a row
void stepDone(sqlite3* db, sqlite3_stmt* st, const char* doing);  // maps constraint errors to 2

// Resets and clears a statement however the scope is left.
struct StmtReset {
  sqlite3_stmt* st;
  ~StmtReset() {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
};

// A statement of the engine's own (catalog and definitions): prepared
// without a cache, failing as a catalog read does.
sqlite3_stmt* prepareOnce(sqlite3* db, const char* sql);
// Runs one statement of the engine's own with the values bound in order.
void execBound(sqlite3* db, const char* sql, const std::vector<Value>& values);

// Finalizes a prepared statement when it goes out of scope: the engine's
// failures are thrown, and a statement left behind keeps its connection
// from ever closing.
struct Finalizer {
  sqlite3_stmt* st;
  ~Finalizer() { sqlite3_finalize(st); }
};

// Friend of the public classes, for the numbered functions.
struct Access {
  static TableDef& definition(ZVTable* t);
  // The definition, once a table opened on its cached definition asked the
  // file whether it still holds: what a field number found by name is used
  // against.
  static TableDef& settledDefinition(ZVTable* t);
  static TableDef& definition(ZVField* f, int* number);
  static const SegmentDef* segment(ZVSegment* s);  // null once no longer defined
  static RecordState& state(ZVRecord* r);
  static Logon* logon(ZVBase* b);
  static void noteError(ZVBase* b, int code);
  // For the numbered functions (rl_exports_*.cpp) and the work behind them.
  static Connection* connection(ZVDatabase* d);
  static ZVDatabase* database(ZVTable* t);
  static TableCore& core(ZVTable* t);
  static ZVTable* table(ZVField* f);
  static ZVTable* table(ZVIndex* ix);
  static ZVTable* table(ZVSegment* s);
  static ZVTable* table(ZVRecord* r);
  static void refreshObjects(ZVTable* t);
  static void guard(ZVBase* b, const std::function<void()>& fn, const char* call);
};

// `call` of an untimed call: the monitor neither counts nor times it, a
// killed logon is not ended by it, and its success leaves the object's last
// error as it was. The definition changes of the numbered functions are so.
constexpr const char* kUntimed = nullptr;

// Runs fn under the session's mutex; a failure is kept as the object's last
// error. Other exceptions become ZVException so callers catch one type.
// call: the function's name for the monitor's timing, or kUntimed.
template <class Fn>
auto guardedCall(ZVBase* self, int* lastError, Logon* logon, const char* call, Fn&& fn) -> decltype(fn()) {
  struct Held {
    SessionMutex* mutex;
    explicit Held(Logon* l) : mutex(l ? &l->mutex : nullptr) {
      if (mutex) mutex->lock();
    }
    ~Held() {
      if (mutex) mutex->unlock();
    }
  } held(logon);
  monitor::CallScope scope(logon, logon ? &logon->stats : nullptr, call);
  const bool timed = call != kUntimed;
  try {
    if (timed && logon && logon->killed.load(std::memory_order_relaxed)) monitor::endKilledLogon(*logon);
    if constexpr (std::is_void_v<decltype(fn())>) {
      fn();
      if (timed) *lastError = 0;
    } else {
      auto result = fn();
      if (timed) *lastError = 0;
      return result;
    }
  } catch (const ZVException& e) {
    *lastError = e.GetErrorCode();
    if (timed && (e.GetErrorCode() == RL_STORAGE_ERROR || e.GetErrorCode() == RL_BUSY))
      monitor::storageError(logon, e.GetErrorCode(), e.GetErrorMsg());
    throw;
  } catch (const std::bad_alloc&) {
    *lastError = RL_STORAGE_ERROR;
    throw ZVException(RL_STORAGE_ERROR, "Out of memory", "ravlink", 0);
  } catch (const std::exception& e) {
    *lastError = RL_STORAGE_ERROR;
    throw ZVException(RL_STORAGE_ERROR, e.what(), "ravlink", 0);
  }
}

// ---- numbered functions over handles (rl_exports_*.cpp, rl_calls.cpp) -----------
// The object of type T behind a handle, held for one client call under its
// session's mutex; null when the handle names no such object. Objects are
// destroyed only with their session's mutex held and their handle retired
// first (retireHandle), so a held object lives until the Held ends, and a
// call that loses the race with a free answers RL_BAD_HANDLE. The lookup
// itself takes no lock: the slot is pinned while the object is read for
// its session. When the mutex is free (or this thread's) it is taken while
// still pinned, and no retire can have begun; otherwise the session is kept
// alive, the pin dropped, the mutex waited for and the handle checked again.
// Keep a Held in a named variable: a temporary one would let go of the
// object at once, so it gives no pointer. A call that frees the held object
// does so with destroy(), which keeps the session's mutex alive for the end.
template <class T>
class Held {
 public:
  explicit Held(RLHANDLE handle) {
    ZVBase* found = engine().handles.pin(handle);
    if (!found) return;
    T* typed = dynamic_cast<T*>(found);
    Logon* logon = typed ? Access::logon(found) : nullptr;
    if (logon && logon->mutex.tryEnter()) {
      logon_ = logon;
      object_ = typed;
      engine().handles.unpin(handle);
      return;
    }
    if (logon) session_ = logon->shared_from_this();
    engine().handles.unpin(handle);
    if (!logon) {
      object_ = typed;  // an object without a session has nothing to hold it by
      return;
    }
    session_->mutex.lock();
    logon_ = logon;
    if (engine().handles.find(handle) == found) object_ = typed;
  }
  Held(Held&& other) noexcept
      : logon_(other.logon_), session_(std::move(other.session_)), object_(other.object_) {
    other.logon_ = nullptr;
    other.object_ = nullptr;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Held& operator=(Held&&) = delete;
  ~Held() {
    if (logon_) logon_->mutex.unlock();
  }
  T* get() const& { return object_; }
  T* operator->() const { return object_; }
  operator T*() const& { return object_; }
  operator T*() && = delete;  // the object would be let go before it is used
  explicit operator bool() const { return object_ != nullptr; }
  // Deletes the held object; its session may go with it, so it is kept
  // until the hold ends.
  void destroy() {
    if (logon_ && !session_) session_ = logon_->shared_from_this();
    delete object_;
    object_ = nullptr;
  }
  // The same hold, given over to an object that the held one keeps alive
  // (a field's, index's, segment's or record's table).
  template <class U>
  Held<U> passTo(U* other) && {
    Held<U> passed;
    passed.logon_ = logon_;
    passed.session_ = std::move(session_);
    passed.object_ = object_ ? other : nullptr;
    logon_ = nullptr;
    object_ = nullptr;
    return passed;
  }

 private:
  template <class U>
  friend class Held;
  Held() = default;
  Logon* logon_ = nullptr;          // whose mutex this holds
  std::shared_ptr<Logon> session_;  // keeps it alive where the hold alone may not
  T* object_ = nullptr;
};
template <class T>
Held<T> handleAs(RLHANDLE h) {
  return Held<T>(h);
}
// Ends the object's handle before its destructor touches anything: first
// thing in the destructor of every object class, under the session's mutex.
void retireHandle(ZVBase* object);
// Runs fn under the object's session: 0, or the code it failed with (kept
// as the object's last error). RL_BAD_HANDLE for no object.
// call: the client function's name, for the monitor's timing, or kUntimed.
int codeOf(ZVBase* object, const std::function<void()>& fn, const char* call = __builtin_FUNCTION());
// text into a caller's buffer of size bytes, or RL_VALUE_TOO_LONG.
int copyOut(const std::string& text, char* buffer, int size);
// One step of a catalog walk on `walked` (step: its First or Next) into the
// caller's buffers: RL_NOT_FOUND at the end, RL_BAD_HANDLE for no object,
// else as copyOut, a failure kept on `walked`.
int catalogWalk(ZVBase* walked, const std::function<bool(ZVString*, ZVString*)>& step, char* nameOut, int nameSize,
                char* pathOut, int pathSize);
// A handle made by `make` under the parent's session; null for no parent
// or a failure, whose code the parent keeps.
RLHANDLE handleFrom(ZVBase* parent, const std::function<RLHANDLE()>& make);
// The table object of a table, field, index, segment or record handle.
Held<ZVTable> clientTableOf(RLHANDLE h);
// The record object of a handle and its state, or null.
Held<ZVRecord> clientRecord(RLHANDLE h);
// After a move that found `found` rows: moves on in direction dir until a
// row the record's filter, record set and range accept (none set: at once).
int readWithin(RecordState& rs, int found, int dir);

// ---- the work behind the numbered functions ------------------------------------
// Each runs inside the caller's guarded call and throws ZVException.

// Reading limits and keys (rl_read_limits.cpp). filter "" or on false removes it.
void setReadFilter(RecordState& rs, const char* filter, bool on);
void setRecordSet(RecordState& rs, int length);  // the first `length` bytes of the buffer's key
void clearRecordSet(RecordState& rs);
void setRecordRange(RecordState& rs, int count, const void* lowerKey, const void* upperKey, const int* codes);
void clearRecordRange(RecordState& rs);
int indexKeyLength(const TableDef& d, int indexNumber);  // 0 for no such index
void buildTargetKey(RecordState& rs, void* buffer, int size);

// Records (rl_record_class.cpp).
const std::string& fieldNameAt(ZVRecord* r, int number);  // throws RL_UNKNOWN_FIELD
// A new record on the table; with `like`, on its default index.
ZVRecord* newRecordOn(ZVTable* table, ZVRecord* like);
bool recordChanged(const RecordState& rs);  // a field set since the last read or write
// Mode 0 unlocks every row the record locked; modes above 2 lock rows found by id.
void setLockMode(ZVRecord* r, int mode);
bool findRowidLocking(ZVRecord* r, int64_t rowid);  // false: no such row
int defaultIndexOf(RecordState& rs);                // -1: record-id order

// Values (rl_values.cpp): the text read as a field of `type` in the given
// date and time types (0: the defaults); RL_BAD_ARGUMENT, RL_BAD_VALUE.
ZVDateTime parseDateTimeText(int type, const char* text, int dateType, int timeType);

// Transactions (rl_transactions.cpp): RL_NO_TRANSACTION when none is open.
void commitTransaction(ZVBase* object);
void abortTransaction(ZVBase* object);

// Options and owners of the calling thread (rl_session.cpp): codes.
int setClientOption(int option, const std::string& value);
int32_t currentOwner();
int setCurrentOwner(int32_t owner);

// Working definitions (rl_definitions.cpp). Field numbers move when a field
// is inserted, moved or deleted: segments and the identity follow.
FieldDef& liveFieldDef(ZVField* f);   // RL_UNKNOWN_FIELD once no longer defined
IndexDef& liveIndexDef(ZVIndex* ix);  // RL_UNKNOWN_INDEX once no longer defined
void insertFieldDef(TableDef& d, int position, const char* name, int type, int length);
void moveFieldDef(TableDef& d, int from, int position);
void deleteFieldDef(TableDef& d, int position);
int definedFieldNumber(const TableDef& d, const char* name);  // throws RL_UNKNOWN_FIELD
int definedIndexNumber(const TableDef& d, const char* name);  // throws RL_UNKNOWN_INDEX
void checkNewIndexName(const TableDef& d, const char* name);
void deleteIndexDef(TableDef& d, int number);  // not the partition index
void setIndexCondition(ZVIndex* ix, const char* expression);
// A segment over a key inside a JSON field of the index's table: its position.
int addJsonSegmentDef(ZVIndex* ix, ZVField* f, const char* key, int type, int size);
void insertSegmentDef(ZVIndex* ix, int position, ZVField* f, int mode);
void deleteSegmentDef(ZVIndex* ix, int position);
int segmentFieldNumber(ZVSegment* s);            // -1 once its field is gone
const SegmentDef& jsonSegmentDef(ZVSegment* s);  // RL_BAD_ARGUMENT for a plain segment

}  // namespace ravlink_detail

template <class Fn>
auto ZVBase::guarded(Fn&& fn, const char* call) -> decltype(fn()) {
  return ravlink_detail::guardedCall(this, &lastError_, logon(), call, std::forward<Fn>(fn));
}
