// Storage: process-wide state, SQLite connections, the catalog kept in each
// database file, and the SQL that creates and alters tables. Every
// identifier is quoted and every value is bound; no caller text becomes SQL.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- process-wide state ---------------------------------------------------

Engine& engine() {
  static Engine* instance = new Engine;  // never destroyed: sessions may end during exit
  return *instance;
}

std::shared_ptr<FileShared> Engine::file(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = files[path];
  if (!slot) {
    slot = std::make_shared<FileShared>();
    slot->path = path;
  }
  return slot;
}

bool Engine::fileInUse(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = files.find(path);
  return it != files.end() && it->second->connections.load() > 0;
}

std::shared_ptr<TableShared> Engine::table(const std::string& path, const std::string& name) {
  auto f = file(path);
  std::shared_ptr<TableShared> t = f->table(name);
  if (t->datno == 0) {
    std::lock_guard<std::mutex> lock(mutex);
    if (t->datno == 0) {
      t->datno = nextDatno++;
      datnos[t->datno] = {f, name};
    }
  }
  return t;
}

bool Engine::lookupDatno(int32_t datno, std::string* path, std::string* table) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = datnos.find(datno);
  if (it == datnos.end()) return false;
  *path = it->second.first->path;
  *table = it->second.second;
  return true;
}

std::shared_ptr<TableShared> FileShared::table(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = tables[name];
  if (!slot) slot = std::make_shared<TableShared>();
  return slot;
}

void FileShared::notifyCommit() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++commitSeq;
  }
  committed.notify_all();
}

// ---- locks -----------------------------------------------------------------

bool LockKey::operator<(const LockKey& o) const {
  if (file != o.file) return file < o.file;
  TableNameLess less;
  if (less(table, o.table)) return true;
  if (less(o.table, table)) return false;
  return row < o.row;
}

void LockTable::acquire(const LockKey& key, uint64_t holder, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  monitor::lockTried();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto it = held_.find(key);
    if (it == held_.end()) {
      held_.emplace(key, Entry{holder, 1});
      monitor::lockGranted();
      return;
    }
    if (it->second.holder == holder) {
      ++it->second.count;
      return;
    }
    if (freed_.wait_until(lock, deadline) == std::cv_status::timeout && held_.count(key) &&
        held_.at(key).holder != holder) {
      monitor::lockDenied();
      fail(RL_LOCK_TIMED_OUT, "The lock is held by another session");
    }
  }
}

bool LockTable::release(const LockKey& key, uint64_t holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(key);
  if (it == held_.end() || it->second.holder != holder) return false;
  if (--it->second.count == 0) {
    held_.erase(it);
    monitor::lockReleased();
    freed_.notify_all();
  }
  return true;
}

void LockTable::releaseAll(uint64_t holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = held_.begin(); it != held_.end();) it = it->second.holder == holder ? held_.erase(it) : std::next(it);
  freed_.notify_all();
}

bool LockTable::heldByOther(const LockKey& key, uint64_t holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(key);
  return it != held_.end() && it->second.holder != holder;
}

// ---- statements --------------------------------------------------------------

void bindValue(sqlite3_stmt* st, int index, const Value& v) {
  switch (v.kind) {
    case Value::Null:
      sqlite3_bind_null(st, index);
      break;
    case Value::Int:
      sqlite3_bind_int64(st, index, v.i);
      break;
    case Value::Real:
      sqlite3_bind_double(st, index, v.d);
      break;
    case Value::Text:
      sqlite3_bind_text(st, index, v.s.data(), int(v.s.size()), SQLITE_STATIC);
      break;
    case Value::Blob:
      sqlite3_bind_blob(st, index, v.s.data(), int(v.s.size()), SQLITE_STATIC);
      break;
  }
}

Value columnValue(sqlite3_stmt* st, int column) {
  Value v;
  switch (sqlite3_column_type(st, column)) {
    case SQLITE_INTEGER:
      v.kind = Value::Int;
      v.i = sqlite3_column_int64(st, column);
      break;
    case SQLITE_FLOAT:
      v.kind = Value::Real;
      v.d = sqlite3_column_double(st, column);
      break;
    case SQLITE_TEXT: {
      v.kind = Value::Text;
      const char* p = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
      v.s.assign(p, sqlite3_column_bytes(st, column));
      break;
    }
    case SQLITE_BLOB: {
      v.kind = Value::Blob;
      const char* p = static_cast<const char*>(sqlite3_column_blob(st, column));
      v.s.assign(p ? p : "", sqlite3_column_bytes(st, column));
      break;
    }
    default:
      break;
  }
  return v;
}

// One lookup of the column, then the value's accessors, which skip the
// per-call checks of the column functions: this runs for every field of
// every row read.
void assignColumn(Value& v, sqlite3_stmt* st, int column) {
  sqlite3_value* c = sqlite3_column_value(st, column);
  switch (sqlite3_value_type(c)) {
    case SQLITE_INTEGER:
      v.kind = Value::Int;
      v.i = sqlite3_value_int64(c);
      break;
    case SQLITE_FLOAT:
      v.kind = Value::Real;
      v.d = sqlite3_value_double(c);
      break;
    case SQLITE_TEXT: {
      v.kind = Value::Text;
      const char* p = reinterpret_cast<const char*>(sqlite3_value_text(c));
      v.s.assign(p ? p : "", sqlite3_value_bytes(c));
      break;
    }
    case SQLITE_BLOB: {
      v.kind = Value::Blob;
      const char* p = static_cast<const char*>(sqlite3_value_blob(c));
      v.s.assign(p ? p : "", sqlite3_value_bytes(c));
      break;
    }
    default:
      v.kind = Value::Null;
      break;
  }
}

bool stepRow(sqlite3* db, sqlite3_stmt* st, const char* doing) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(st);
  failSqlite(db, sqlite3_extended_errcode(db), doing);
}

void stepDone(sqlite3* db, sqlite3_stmt* st, const char* doing) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
    sqlite3_reset(st);
    return;
  }
  int ext = sqlite3_extended_errcode(db);
  sqlite3_reset(st);
  failSqlite(db, ext, doing);
}

// Resets and clears a statement however the scope is left.
struct StmtReset {
  sqlite3_stmt* st;
  ~StmtReset() {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
};

static sqlite3_stmt* prepareOnce(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  if (rc != SQLITE_OK) failSqlite(db, rc, "reading the catalog");
  return st;
}

// ---- files and connections ------------------------------------------------------

static const char* kCatalogSql =
    "CREATE TABLE IF NOT EXISTS rl_schema(key TEXT PRIMARY KEY, value);"
    "INSERT OR IGNORE INTO rl_schema(key, value) VALUES('version', 1);"
    "CREATE TABLE IF NOT EXISTS rl_tables(name TEXT PRIMARY KEY, create_mode INTEGER, identity_field TEXT,"
    " part_rule TEXT, part_index INTEGER, part_bits INTEGER, part_max_active INTEGER, part_low INTEGER,"
    " replication INTEGER);"
    "CREATE TABLE IF NOT EXISTS rl_fields(tbl TEXT, pos INTEGER, name TEXT, type INTEGER, length INTEGER,"
    " scale INTEGER, binary_flag INTEGER, auto_timestamp INTEGER, PRIMARY KEY(tbl, pos));"
    "CREATE TABLE IF NOT EXISTS rl_indexes(tbl TEXT, pos INTEGER, name TEXT, key_type INTEGER, duplicates INTEGER,"
    " null_key INTEGER, PRIMARY KEY(tbl, pos));"
    "CREATE TABLE IF NOT EXISTS rl_segments(tbl TEXT, idx INTEGER, pos INTEGER, field INTEGER, mode INTEGER,"
    " PRIMARY KEY(tbl, idx, pos));";

// Columns added to the catalog after its first form: files made before
// them get them (empty) when they are opened.
static const struct {
  const char* table;
  const char* column;
  const char* declaration;
} kLaterCatalogColumns[] = {
    {"rl_indexes", "condition", "TEXT"},       {"rl_segments", "json_key", "TEXT"},
    {"rl_segments", "json_type", "INTEGER"},   {"rl_segments", "json_size", "INTEGER"},
    {"rl_tables", "identity_seed", "INTEGER"}, {"rl_tables", "identity_increment", "INTEGER"},
};

static bool hasColumn(sqlite3* db, const char* table, const char* column) {
  sqlite3_stmt* st = prepareOnce(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
  Finalizer f{st};
  sqlite3_bind_text(st, 1, table, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, column, -1, SQLITE_STATIC);
  return stepRow(db, st, "reading the catalog's columns");
}

static void addLaterCatalogColumns(sqlite3* db) {
  for (const auto& c : kLaterCatalogColumns) {
    if (hasColumn(db, c.table, c.column)) continue;
    std::string sql = std::string("ALTER TABLE ") + c.table + " ADD COLUMN " + c.column + " " + c.declaration;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    // Another connection may have added it meanwhile.
    if (rc != SQLITE_OK && !hasColumn(db, c.table, c.column))
      failSqlite(db, sqlite3_extended_errcode(db), "adding catalog columns");
  }
}

static bool inWalMode(sqlite3* db) {
  sqlite3_stmt* st = prepareOnce(db, "PRAGMA journal_mode");
  Finalizer f{st};
  return stepRow(db, st, "reading the journal mode") &&
         strcasecmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal") == 0;
}

// Whether the file holds every catalog table and column the engine reads.
static bool catalogComplete(sqlite3* db) {
  sqlite3_stmt* st = prepareOnce(db,
                                 "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN"
                                 " ('rl_schema', 'rl_tables', 'rl_fields', 'rl_indexes', 'rl_segments')");
  Finalizer f{st};
  if (!stepRow(db, st, "reading the catalog") || sqlite3_column_int(st, 0) != 5) return false;
  for (const auto& c : kLaterCatalogColumns)
    if (!hasColumn(db, c.table, c.column)) return false;
  return true;
}

// Opening reads: a file that already has what the engine needs (WAL mode
// and its catalog) is never written, so an open does not wait behind
// another session's uncommitted write.
static void prepareFile(sqlite3* db, FileOpen how) {
  char* err = nullptr;
  std::string setup = "PRAGMA synchronous=NORMAL;";  // of this connection only: writes nothing
  if (how != FileOpen::Peek && !inWalMode(db)) setup += "PRAGMA journal_mode=WAL;";
  bool addCatalog = how != FileOpen::Peek && !catalogComplete(db);
  if (addCatalog) setup += kCatalogSql;
  int rc = sqlite3_exec(db, setup.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    fail((rc & 0xff) == SQLITE_BUSY ? RL_BUSY : RL_STORAGE_ERROR, "Not able to prepare database file: " + msg);
  }
  if (addCatalog) addLaterCatalogColumns(db);
}

sqlite3* openDatabaseFile(const std::string& path, FileOpen how, int busyTimeoutMs) {
  sqlite3* db = nullptr;
  bool create = how == FileOpen::Create;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (create) createPrivateFile(path);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, monitor::countingVfs());
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    fail(RL_STORAGE_ERROR, "Not able to open database file: " + msg);
  }
  sqlite3_busy_timeout(db, busyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  try {
    prepareFile(db, how);
  } catch (...) {
    sqlite3_close_v2(db);
    throw;
  }
  return db;
}

// A connection finding the file locked by another writer of this process
// wakes at that writer's commit instead of sleeping SQLite's growing steps
// (1, 2, 5, 10 ms ...): writer threads of one file then follow each other
// closely. A writer elsewhere (another process, a rollback) is polled every
// millisecond; the whole wait is bounded as the busy time-out was.
static int waitForWriter(void* arg, int attempts) {
  Connection& conn = *static_cast<Connection*>(arg);
  auto now = std::chrono::steady_clock::now();
  if (attempts == 0) conn.busySince = now;
  if (now - conn.busySince >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  FileShared& file = *conn.file;
  std::unique_lock<std::mutex> lock(file.mutex);
  uint64_t seen = file.commitSeq;
  file.committed.wait_for(lock, std::chrono::milliseconds(1), [&] { return file.commitSeq != seen; });
  return 1;
}

std::shared_ptr<Connection> openConnection(const std::shared_ptr<Logon>& logon, const std::string& name,
                                           const std::string& path) {
  auto it = logon->conns.find(path);
  if (it != logon->conns.end())
    if (auto existing = it->second.lock()) return existing;
  auto conn = std::make_shared<Connection>();
  conn->logon = logon;
  conn->path = path;
  conn->name = name;
  conn->db = openDatabaseFile(path, FileOpen::Existing, kBusyTimeoutMs);
  monitor::connectionOpened();
  conn->file = engine().file(path);
  conn->file->connections++;
  sqlite3_busy_handler(conn->db, waitForWriter, conn.get());
  logon->conns[path] = conn;
  return conn;
}

Connection::~Connection() {
  if (txnOpen) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  forgetStatements();
  if (db) monitor::connectionClosed(db);
  sqlite3_close_v2(db);
  if (file) file->connections--;
}

void Connection::forgetStatements() {
  for (auto& [sql, st] : statements) sqlite3_finalize(st);
  statements.clear();
  for (auto& [sql, st] : scalars) sqlite3_finalize(st);
  scalars.clear();
}

static sqlite3_stmt* cachedStatement(sqlite3* db, std::unordered_map<std::string, sqlite3_stmt*>& cache,
                                     const std::string& sql) {
  auto it = cache.find(sql);
  if (it != cache.end()) return it->second;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v3(db, sql.c_str(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (rc != SQLITE_OK) failSqlite(db, rc, "preparing a statement");
  cache.emplace(sql, st);
  return st;
}

sqlite3_stmt* Connection::prepareScalar(const std::string& sql) { return cachedStatement(db, scalars, sql); }

sqlite3_stmt* Connection::prepare(const std::string& sql) {
  parkWalks();
  return cachedStatement(db, statements, sql);
}

void Connection::exec(const std::string& sql) {
  sqlite3_stmt* st = prepare(sql);
  stepDone(db, st, "running a statement");
}

void Connection::beginWrite() {
  exec("BEGIN IMMEDIATE");
  txnOpen = true;
  if (logon) monitor::transactionBegun(*logon);
  txnWrote = false;
}

void Connection::commit() {
  if (!txnOpen) return;
  exec("COMMIT");
  txnOpen = false;
  if (logon) monitor::transactionEnded(*logon, true);
  if (txnWrote) {
    noteWrite();
    file->notifyCommit();
  }
  txnWrote = false;
}

void Connection::rollback() {
  if (!txnOpen) return;
  parkWalks();
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  txnOpen = false;
  definitions.clear();  // some may have been read inside the transaction
  if (logon) monitor::transactionEnded(*logon, false);
  if (txnWrote) noteWrite();  // walks that saw the undone rows seek again
  txnWrote = false;
}

// ---- logons -------------------------------------------------------------------

Logon::~Logon() { end(); }

void Logon::commitAll() {
  auto conns = std::move(txnConns);
  txnConns.clear();
  explicitTxn = false;
  auto redefined = std::move(redefinedInTransaction);
  redefinedInTransaction.clear();
  std::string error;
  int code = 0;
  for (auto& c : conns) {
    try {
      c->commit();
    } catch (const ZVException& e) {
      c->rollback();
      if (!code) code = e.GetErrorCode(), error = e.GetErrorMsg();
    }
  }
  if (code) {
    forgetDefinitions(redefined);
    fail(code, error);
  }
}

void Logon::abortAll() {
  auto conns = std::move(txnConns);
  txnConns.clear();
  explicitTxn = false;
  for (auto& c : conns) c->rollback();
  auto redefined = std::move(redefinedInTransaction);
  redefinedInTransaction.clear();
  forgetDefinitions(redefined);
}

// The definitions read from these tables are no longer the stored ones.
void Logon::forgetDefinitions(const std::vector<std::shared_ptr<TableShared>>& tables) {
  for (const auto& shared : tables) {
    shared->schemaGen++;
    shared->writeGen++;
  }
}

void Logon::end() {
  if (loggedOn) monitor::logonEnded(*this);
  abortAll();
  for (auto& [path, weak] : conns)
    if (auto conn = weak.lock()) conn->parkWalks();  // records outliving the logon hold no read open
  engine().locks.releaseAll(id);
  if (owner >= 0) {
    std::lock_guard<std::mutex> lock(engine().mutex);
    engine().owners.erase(owner);
  }
  owner = -1;
  loggedOn = false;
}

// ---- writes -------------------------------------------------------------------

WriteScope::WriteScope(Connection& conn, bool severalStatements) : conn_(conn) {
  Logon& logon = *conn.logon;
  logon.requireLoggedOn();
  conn.parkWalks();  // else an auto-commit write would wait for the walks' read to end
  if (conn.txnOpen) return;
  if (logon.explicitTxn || !logon.autoCommit) {
    conn.beginWrite();
    logon.txnConns.push_back(logon.conns[conn.path].lock());
    return;
  }
  if (severalStatements) {
    conn.beginWrite();
    local_ = true;
  }
}

void WriteScope::done() {
  conn_.txnWrote = true;
  if (local_) {
    // Finished only once the commit went through: a failed COMMIT leaves
    // the transaction to the destructor's rollback, else it would stay
    // marked open and later writes of the session would skip BEGIN.
    conn_.commit();  // notifies
    finished_ = true;
    return;
  }
  finished_ = true;
  conn_.noteWrite();
  if (!conn_.txnOpen) conn_.file->notifyCommit();
}

WriteScope::~WriteScope() {
  if (local_ && !finished_) conn_.rollback();
}

// ---- catalog ------------------------------------------------------------------

int TableDef::fieldNumber(const std::string& n) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].name == n) return int(i);
  return -1;
}

int TableDef::indexNumber(const std::string& n) const {
  for (size_t i = 0; i < indexes.size(); ++i)
    if (indexes[i].name == n) return int(i);
  return -1;
}

static std::string columnText(sqlite3_stmt* st, int c) {
  const unsigned char* p = sqlite3_column_text(st, c);
  return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(st, c)) : std::string();
}

bool catalogStoredName(sqlite3* db, const std::string& name, std::string* stored) {
  sqlite3_stmt* st = prepareOnce(db, "SELECT name FROM rl_tables WHERE name = ?1 COLLATE NOCASE");
  Finalizer f{st};
  sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
  if (!stepRow(db, st, "reading the catalog")) return false;
  *stored = columnText(st, 0);
  return true;
}

bool catalogHasTable(sqlite3* db, const std::string& name) {
  std::string stored;
  return catalogStoredName(db, name, &stored);
}

bool catalogRead(sqlite3* db, const std::string& wantedName, TableDef* def) {
  *def = TableDef();
  std::string name;
  if (!catalogStoredName(db, wantedName, &name)) return false;
  def->name = name;
  std::string identityName;
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT create_mode, identity_field, part_rule, part_index, part_bits,"
                                   " part_max_active, part_low, replication, identity_seed, identity_increment"
                                   " FROM rl_tables WHERE name = ?1");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    if (!stepRow(db, st, "reading the catalog")) return false;
    def->createMode = sqlite3_column_int(st, 0);
    identityName = columnText(st, 1);
    def->partRule = columnText(st, 2);
    def->partIndex = sqlite3_column_type(st, 3) == SQLITE_NULL ? -1 : sqlite3_column_int(st, 3);
    def->partBits = sqlite3_column_int(st, 4);
    def->partMaxActive = sqlite3_column_int(st, 5);
    def->partLow = sqlite3_column_int64(st, 6);
    def->replication = sqlite3_column_int(st, 7);
    if (sqlite3_column_type(st, 8) != SQLITE_NULL) def->identitySeed = sqlite3_column_int64(st, 8);
    if (sqlite3_column_type(st, 9) != SQLITE_NULL) def->identityIncrement = sqlite3_column_int64(st, 9);
  }
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT name, type, length, scale, binary_flag, auto_timestamp FROM rl_fields"
                                   " WHERE tbl = ?1 ORDER BY pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      FieldDef fd;
      fd.name = columnText(st, 0);
      fd.type = sqlite3_column_int(st, 1);
      fd.length = sqlite3_column_int(st, 2);
      // The time stamp column holds a bit for creation (1) and one for update (2).
      setScaleWord(fd, sqlite3_column_int(st, 3));
      fd.binaryFlag = sqlite3_column_int(st, 4);
      int stampBits = sqlite3_column_int(st, 5);
      fd.autoTimestamp = (stampBits & 1) != 0;
      fd.autoUpdate = (stampBits & 2) != 0;
      def->fields.push_back(fd);
    }
  }
  {
    sqlite3_stmt* st =
        prepareOnce(db,
                    "SELECT name, key_type, duplicates, null_key, condition FROM rl_indexes WHERE tbl = ?1"
                    " ORDER BY pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      IndexDef ix;
      ix.name = columnText(st, 0);
      ix.keyType = sqlite3_column_int(st, 1);
      ix.duplicates = sqlite3_column_int(st, 2);
      ix.nullKey = sqlite3_column_int(st, 3);
      ix.condition = columnText(st, 4);
      def->indexes.push_back(ix);
    }
  }
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT idx, field, mode, json_key, json_type, json_size FROM rl_segments"
                                   " WHERE tbl = ?1 ORDER BY idx, pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      int idx = sqlite3_column_int(st, 0);
      int field = sqlite3_column_int(st, 1);
      if (idx < 0 || size_t(idx) >= def->indexes.size() || field < 0 || size_t(field) >= def->fields.size())
        fail(RL_STORAGE_ERROR, "The catalog of table [" + name + "] is inconsistent");
      SegmentDef seg{field, sqlite3_column_int(st, 2)};
      seg.jsonKey = columnText(st, 3);
      seg.jsonType = sqlite3_column_int(st, 4);
      seg.jsonSize = sqlite3_column_int(st, 5);
      def->indexes[idx].segments.push_back(seg);
    }
  }
  def->identity = identityName.empty() ? -1 : def->fieldNumber(identityName);
  return true;
}

static void execBound(sqlite3* db, const char* sql, const std::vector<Value>& values) {
  sqlite3_stmt* st = prepareOnce(db, sql);
  Finalizer f{st};
  for (size_t i = 0; i < values.size(); ++i) bindValue(st, int(i + 1), values[i]);
  stepDone(db, st, "writing the catalog");
}

void catalogWrite(sqlite3* db, const TableDef& def) {
  Value name = Value::text(def.name);
  for (const char* sql :
       {"DELETE FROM rl_tables WHERE name = ?1 COLLATE NOCASE", "DELETE FROM rl_fields WHERE tbl = ?1 COLLATE NOCASE",
        "DELETE FROM rl_indexes WHERE tbl = ?1 COLLATE NOCASE",
        "DELETE FROM rl_segments WHERE tbl = ?1 COLLATE NOCASE"})
    execBound(db, sql, {name});
  execBound(
      db,
      "INSERT INTO rl_tables(name, create_mode, identity_field, part_rule, part_index, part_bits,"
      " part_max_active, part_low, replication, identity_seed, identity_increment)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
      {name, Value::integer(def.createMode), def.identity >= 0 ? Value::text(def.fields[def.identity].name) : Value(),
       def.partRule.empty() ? Value() : Value::text(def.partRule),
       def.partIndex >= 0 ? Value::integer(def.partIndex) : Value(), Value::integer(def.partBits),
       Value::integer(def.partMaxActive), Value::integer(def.partLow), Value::integer(def.replication),
       Value::integer(def.identitySeed), Value::integer(def.identityIncrement)});
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldDef& f = def.fields[i];
    execBound(db,
              "INSERT INTO rl_fields(tbl, pos, name, type, length, scale, binary_flag, auto_timestamp)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
              {name, Value::integer(int64_t(i)), Value::text(f.name), Value::integer(f.type), Value::integer(f.length),
               Value::integer(scaleWord(f)), Value::integer(f.binaryFlag),
               Value::integer((f.autoTimestamp ? 1 : 0) | (f.autoUpdate ? 2 : 0))});
  }
  for (size_t i = 0; i < def.indexes.size(); ++i) {
    const IndexDef& ix = def.indexes[i];
    execBound(db,
              "INSERT INTO rl_indexes(tbl, pos, name, key_type, duplicates, null_key, condition)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
              {name, Value::integer(int64_t(i)), Value::text(ix.name), Value::integer(ix.keyType),
               Value::integer(ix.duplicates), Value::integer(ix.nullKey),
               ix.condition.empty() ? Value() : Value::text(ix.condition)});
    for (size_t s = 0; s < ix.segments.size(); ++s) {
      const SegmentDef& seg = ix.segments[s];
      execBound(db,
                "INSERT INTO rl_segments(tbl, idx, pos, field, mode, json_key, json_type, json_size)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                {name, Value::integer(int64_t(i)), Value::integer(int64_t(s)), Value::integer(seg.field),
                 Value::integer(seg.mode), seg.overJsonKey() ? Value::text(seg.jsonKey) : Value(),
                 seg.overJsonKey() ? Value::integer(seg.jsonType) : Value(),
                 seg.overJsonKey() ? Value::integer(seg.jsonSize) : Value()});
    }
  }
  catalogChanged(db);
}

void catalogChanged(sqlite3* db) {
  execBound(db,
            "INSERT INTO rl_schema(key, value) VALUES('catalog_generation', 1)"
            " ON CONFLICT(key) DO UPDATE SET value = value + 1",
            {});
}

static int64_t catalogGeneration(Connection& conn) {
  sqlite3_stmt* st = conn.prepare("SELECT value FROM rl_schema WHERE key = 'catalog_generation'");
  int64_t gen = stepRow(conn.db, st, "reading the catalog generation") ? sqlite3_column_int64(st, 0) : 0;
  sqlite3_reset(st);
  return gen;
}

// Whether the connection's cached definitions still hold. A commit by
// another connection (of this process or another) changes the file's data
// version; only then is the catalog generation read again.
static unsigned pagerVersion(Connection& conn, bool* known) {
  unsigned version = 0;
  *known = sqlite3_file_control(conn.db, "main", SQLITE_FCNTL_DATA_VERSION, &version) == SQLITE_OK;
  return version;
}

static void dropStaleDefinitions(Connection& conn) {
  sqlite3_stmt* st = conn.prepare("PRAGMA data_version");
  int64_t version = stepRow(conn.db, st, "reading the data version") ? sqlite3_column_int64(st, 0) : -1;
  // Read inside the same transaction: what the pager has seen up to here.
  // The catalog generation below may be newer still, which only makes the
  // next check look again.
  conn.pagerVersionSeen = pagerVersion(conn, &conn.pagerVersionKnown);
  sqlite3_reset(st);
  if (version == conn.dataVersionSeen) return;
  int64_t gen = catalogGeneration(conn);
  if (gen != conn.catalogGenSeen) conn.definitions.clear();
  conn.dataVersionSeen = version;
  conn.catalogGenSeen = gen;
}

bool definitionsHoldInSnapshot(Connection& conn) {
  bool known = false;
  unsigned version = pagerVersion(conn, &known);
  if (!known) return false;
  if (conn.pagerVersionKnown && version == conn.pagerVersionSeen) return true;
  // Something was committed since: the catalog generation, read in this
  // same transaction, tells whether it was the catalog.
  if (catalogGeneration(conn) != conn.catalogGenSeen) return false;
  conn.pagerVersionSeen = version;
  conn.pagerVersionKnown = true;
  return true;
}

bool cachedDefinitionCurrent(Connection& conn, const std::string& name, const TableShared& shared) {
  conn.parkWalks();
  dropStaleDefinitions(conn);
  auto it = conn.definitions.find(name);
  return it != conn.definitions.end() && it->second.schemaGen == shared.schemaGen.load();
}

bool catalogReadCached(Connection& conn, const std::string& name, const TableShared& shared, TableDef* def,
                       bool* deferred) {
  uint64_t schemaGen = shared.schemaGen.load();
  if (deferred && conn.pagerVersionKnown && !conn.txnOpen) {
    auto it = conn.definitions.find(name);
    if (it != conn.definitions.end() && it->second.schemaGen == schemaGen) {
      *def = it->second.def;
      *deferred = true;
      return true;
    }
  }
  conn.parkWalks();
  dropStaleDefinitions(conn);
  schemaGen = shared.schemaGen.load();
  auto it = conn.definitions.find(name);
  if (it != conn.definitions.end() && it->second.schemaGen == schemaGen) {
    *def = it->second.def;
    return true;
  }
  if (!catalogRead(conn.db, name, def)) return false;
  // What a transaction of this connection wrote may yet be undone.
  if (!conn.txnOpen) conn.definitions[name] = Connection::CachedDefinition{*def, schemaGen};
  return true;
}

// The catalog's scale column holds the precision in its upper half.
int scaleWord(const FieldDef& f) { return f.scale | (f.precision << 16); }

void setScaleWord(FieldDef& f, int word) {
  f.scale = word & 0xffff;
  f.precision = (word >> 16) & 0x7fff;
}

// ---- definitions in SQL --------------------------------------------------------

static const char* kRecordIdColumn = "rl_recid";
static const char* kPartitionColumn = "rl_partition";

std::string indexSqlName(const std::string& table, const std::string& index) {
  // Table names hold no '.', so the pair cannot collide with another pair.
  return table + "." + index;
}

std::string createTableSql(const TableDef& def, const std::string& sqlName) {
  std::string sql = "CREATE TABLE " + quoteName(sqlName) + " (";
  if (def.identity < 0) sql += quoteName(kRecordIdColumn) + " INTEGER PRIMARY KEY AUTOINCREMENT, ";
  for (size_t i = 0; i < def.fields.size(); ++i) {
    bool identity = int(i) == def.identity;
    sql += quoteName(def.fields[i].name) + " " + declaredType(def.fields[i], identity);
    if (identity) sql += " PRIMARY KEY AUTOINCREMENT";
    sql += ", ";
  }
  if (def.partitioned()) sql += quoteName(kPartitionColumn) + " INTEGER, ";
  sql.resize(sql.size() - 2);
  sql += ")";
  return sql;
}

// ---- keys inside JSON fields ----------------------------------------------------

void checkJsonKey(const std::string& key) {
  auto refuse = [&](const char* why) { fail(RL_BAD_ARGUMENT, "JSON key [" + key + "]: " + why); };
  if (key.empty() || key.size() > kMaxJsonKeyLength) refuse("empty or too long");
  size_t p = key.compare(0, 2, "$.") == 0 ? 2 : 0;
  auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (;;) {
    size_t start = p;
    while (p < key.size() && isNameChar(key[p])) ++p;
    if (p == start) refuse("a member name is expected");
    while (p < key.size() && key[p] == '[') {
      size_t digits = ++p;
      while (p < key.size() && std::isdigit(static_cast<unsigned char>(key[p]))) ++p;
      if (p == digits || p - digits > 9 || p >= key.size() || key[p] != ']') refuse("bad array position");
      ++p;
    }
    if (p == key.size()) return;
    if (key[p] != '.') refuse("unexpected character");
    ++p;
  }
}

void checkJsonKeyType(int type, int size) {
  switch (type) {
    case RL_TYPE_BIT:
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
    case RL_TYPE_DOUBLE:
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      return;
    case RL_TYPE_VARCHAR_FIXED:
      if (size < 1 || size > 1024) fail(RL_BAD_ARGUMENT, "A JSON text key has a size of 1 to 1024 bytes");
      return;
    default:
      fail(RL_BAD_ARGUMENT, "Type " + std::to_string(type) + " cannot index a key of a JSON field");
  }
}

FieldDef segmentKeyField(const TableDef& def, const SegmentDef& seg) {
  if (!seg.overJsonKey()) return def.fields[seg.field];
  FieldDef f;
  f.name = def.fields[seg.field].name;
  f.type = seg.jsonType;
  f.length = seg.jsonSize;
  return f;
}

static const char* jsonKeyCast(int type) {
  return type == RL_TYPE_VARCHAR_FIXED ? "TEXT" : type == RL_TYPE_DOUBLE ? "REAL" : "INTEGER";
}

// The key path in SQLite's path syntax: the checked key is already in it.
static std::string jsonPathLiteral(const std::string& key) {
  return "'" + (key.compare(0, 2, "$.") == 0 ? key : "$." + key) + "'";
}

// A text that is no JSON has no key (json_extract would fail the write).
static std::string rowKeySql(const SegmentDef& seg, const std::string& column) {
  return "CAST(json_extract(CASE WHEN json_valid(" + column + ") THEN " + column + " END, " +
         jsonPathLiteral(seg.jsonKey) + ") AS " + jsonKeyCast(seg.jsonType) + ")";
}

std::string segmentKeySql(const TableDef& def, const SegmentDef& seg) {
  std::string column = quoteName(def.fields[seg.field].name);
  return seg.overJsonKey() ? rowKeySql(seg, column) : column;
}

Value segmentKeyValue(Connection& conn, const TableDef& def, const SegmentDef& seg, const Value& fieldValue,
                      bool search) {
  if (!seg.overJsonKey() || fieldValue.isNull()) return fieldValue;
  std::string cast = jsonKeyCast(seg.jsonType);
  std::string sql = search ? "SELECT CASE WHEN json_valid(?1) AND json_type(?1) IN ('object', 'array') THEN " +
                                 rowKeySql(seg, "?1") + " WHEN json_valid(?1) THEN CAST(json_extract(?1, '$') AS " +
                                 cast + ") ELSE CAST(?1 AS " + cast + ") END"
                           : "SELECT " + rowKeySql(seg, "?1");
  sqlite3_stmt* st = conn.prepareScalar(sql);
  StmtReset reset{st};
  bindValue(st, 1, fieldValue);
  return stepRow(conn.db, st, "reading a JSON key") ? columnValue(st, 0) : Value();
}

std::string createIndexSql(const TableDef& def, int index) {
  const IndexDef& ix = def.indexes[index];
  std::string sql = std::string("CREATE ") + (ix.duplicates ? "" : "UNIQUE ") + "INDEX " +
                    quoteName(indexSqlName(def.name, ix.name)) + " ON " + quoteName(def.name) + " (";
  for (size_t s = 0; s < ix.segments.size(); ++s) {
    if (s) sql += ", ";
    sql += segmentKeySql(def, ix.segments[s]) + (ix.segments[s].descending() ? " DESC" : "");
  }
  sql += ")";
  if (!ix.condition.empty()) sql += " WHERE " + conditionSql(ix.condition, def);
  return sql;
}

void validateDefinition(const TableDef& def) {
  if (def.fields.empty()) fail(RL_BAD_ARGUMENT, "Table [" + def.name + "] has no fields");
  std::set<std::string> seen;
  for (const auto& f : def.fields) {
    std::string lower = f.name;
    for (auto& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
    if (!seen.insert(lower).second) fail(RL_BAD_NAME, "Field [" + f.name + "] is defined twice");
  }
  std::set<std::string> indexNames;
  for (const auto& ix : def.indexes) {
    if (!indexNames.insert(ix.name).second) fail(RL_BAD_NAME, "Index [" + ix.name + "] is defined twice");
    if (ix.segments.empty()) fail(RL_BAD_ARGUMENT, "Index [" + ix.name + "] has no segments");
    for (const auto& seg : ix.segments)
      if (seg.overJsonKey() && def.fields[seg.field].type != RL_TYPE_JSON)
        fail(RL_BAD_ARGUMENT, "Index [" + ix.name + "] has a JSON key over field [" + def.fields[seg.field].name +
                                  "], which is no JSON field");
    if (!ix.condition.empty()) conditionSql(ix.condition, def);  // its fields still exist
  }
  if (def.identity >= 0 && semOf(def.fields[def.identity]) != Sem::Int)
    fail(RL_BAD_ARGUMENT, "Identity field [" + def.fields[def.identity].name + "] is not an integer field");
  if ((def.createMode & RL_CREATE_PARTITIONED) && !def.partitioned())
    fail(RL_BAD_RULE, "Table [" + def.name + "] is created partitioned without a partition rule");
  if (def.partitioned()) {
    PartitionRule rule;
    rule.parse(def.partRule, def);
  }
}

static void execSql(Connection& conn, const std::string& sql) {
  conn.parkWalks();
  char* err = nullptr;
  int rc = sqlite3_exec(conn.db, sql.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : "";
    sqlite3_free(err);
    int ext = sqlite3_extended_errcode(conn.db);
    if ((rc & 0xff) == SQLITE_CONSTRAINT) fail(RL_DUPLICATE_KEY, "Duplicate key: " + msg);
    failSqlite(conn.db, ext, "changing the table definition");
  }
}

// A definition change is whole or not at all, also when it joins a
// transaction of the session: a failed step would otherwise leave the steps
// before it (columns added, the table rebuilt) to the session's commit, with
// a catalog that no longer describes the table.
class DefinitionChange {
 public:
  explicit DefinitionChange(Connection& conn) : write_(conn, true), conn_(conn) {
    execSql(conn_, "SAVEPOINT rl_definition");
    open_ = true;
  }
  ~DefinitionChange() {
    if (open_) sqlite3_exec(conn_.db, "ROLLBACK TO rl_definition; RELEASE rl_definition", nullptr, nullptr, nullptr);
  }
  void done() {
    execSql(conn_, "RELEASE rl_definition");
    open_ = false;
    write_.done();
  }

 private:
  WriteScope write_;
  Connection& conn_;
  bool open_ = false;
};

// SQLite's sequence of a table that has no row in sqlite_sequence counts
// from 0, so after a negative seed the next value would be the increment:
// an identity with its own seed and increment has its row from the start,
// one increment before the seed (or at the highest value the table holds).
static void startIdentitySequence(Connection& conn, const TableDef& def) {
  if (!def.customIdentity()) return;
  std::string sql = "INSERT INTO sqlite_sequence(name, seq) SELECT ?1, coalesce((SELECT max(" +
                    quoteName(def.fields[def.identity].name) + ") FROM " + quoteName(def.name) +
                    "), ?2) WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = ?1)";
  execBound(conn.db, sql.c_str(), {Value::text(def.name), Value::integer(def.identitySeed - def.identityIncrement)});
}

void createTableInFile(Connection& conn, const TableDef& def) {
  DefinitionChange write(conn);
  std::string existing;
  if (catalogStoredName(conn.db, def.name, &existing)) fail(RL_TABLE_EXISTS, "Table [" + existing + "] already exists");
  execSql(conn, createTableSql(def, def.name));
  startIdentitySequence(conn, def);
  for (size_t i = 0; i < def.indexes.size(); ++i) execSql(conn, createIndexSql(def, int(i)));
  if (def.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(def.name, kPartitionColumn)) + " ON " + quoteName(def.name) +
                      " (" + quoteName(kPartitionColumn) + ")");
  catalogWrite(conn.db, def);
  write.done();
}

// Rebuilds the table when declared column types change: SQLite cannot alter
// a column's type in place. Values are copied as they are; the sequence of
// record ids is carried over so ids are never reused.
thread_local CopyProgress* tlsCopyProgress = nullptr;

// Runs the copy `insertSelect` (an INSERT ... SELECT ... FROM the table);
// with a progress hook on this thread, in chunks of its step rows in id
// order, telling it the rows copied after each chunk.
static void copyRows(Connection& conn, const std::string& insertSelect, const std::string& idColumn) {
  CopyProgress* progress = tlsCopyProgress;
  if (!progress || progress->step <= 0) {
    execSql(conn, insertSelect);
    return;
  }
  sqlite3_stmt* chunk = prepareOnce(
      conn.db,
      (insertSelect + " WHERE " + idColumn + " > ?1 ORDER BY " + idColumn + " LIMIT ?2 RETURNING " + idColumn).c_str());
  Finalizer f{chunk};
  int64_t last = INT64_MIN, copied = 0;
  for (;;) {
    sqlite3_bind_int64(chunk, 1, last);
    sqlite3_bind_int64(chunk, 2, progress->step);
    int64_t rows = 0;
    while (stepRow(conn.db, chunk, "copying records")) {
      last = std::max<int64_t>(last, sqlite3_column_int64(chunk, 0));
      ++rows;
    }
    sqlite3_reset(chunk);
    if (rows == 0) break;
    copied += rows;
    progress->copied(copied);
  }
}

static void rebuildTable(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  std::string tmp = "rl_rebuild_" + wanted.name;
  execSql(conn, "DROP TABLE IF EXISTS " + quoteName(tmp));
  execSql(conn, createTableSql(wanted, tmp));
  std::string cols = quoteName(stored.identity >= 0 ? stored.fields[stored.identity].name : kRecordIdColumn);
  std::string from = cols;
  // Fields the new definition drops leave with the old table; renamed ones keep their values.
  for (const auto& f : wanted.fields) {
    const std::string& source = f.formerName.empty() ? f.name : f.formerName;
    int s = stored.fieldNumber(source);
    if (s < 0 || s == stored.identity) continue;
    cols += ", " + quoteName(f.name);
    from += ", " + quoteName(stored.fields[s].name);
  }
  if (stored.partitioned() && wanted.partitioned()) {
    cols += ", " + quoteName(kPartitionColumn);
    from += ", " + quoteName(kPartitionColumn);
  }
  copyRows(conn, "INSERT INTO " + quoteName(tmp) + " (" + cols + ") SELECT " + from + " FROM " + quoteName(wanted.name),
           quoteName(stored.identity >= 0 ? stored.fields[stored.identity].name : kRecordIdColumn));
  sqlite3_stmt* seq = prepareOnce(conn.db, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
  Finalizer f{seq};
  sqlite3_bind_text(seq, 1, wanted.name.data(), int(wanted.name.size()), SQLITE_STATIC);
  int64_t high = stepRow(conn.db, seq, "reading the id sequence") ? sqlite3_column_int64(seq, 0) : 0;
  sqlite3_reset(seq);
  execSql(conn, "DROP TABLE " + quoteName(wanted.name));
  execSql(conn, "ALTER TABLE " + quoteName(tmp) + " RENAME TO " + quoteName(wanted.name));
  execBound(conn.db, "UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1",
            {Value::text(wanted.name), Value::integer(high)});
  startIdentitySequence(conn, wanted);
  for (size_t i = 0; i < wanted.indexes.size(); ++i) execSql(conn, createIndexSql(wanted, int(i)));
  if (wanted.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(wanted.name, kPartitionColumn)) + " ON " +
                      quoteName(wanted.name) + " (" + quoteName(kPartitionColumn) + ")");
}

static bool sameStorage(const FieldDef& a, const FieldDef& b) {
  return a.type == b.type && a.length == b.length && a.scale == b.scale && a.precision == b.precision &&
         a.binaryFlag == b.binaryFlag;
}

// Fields whose type, length, scale or flags change have their stored values
// converted in place first; a value that does not convert fails the whole
// alteration, which then changes nothing.
static void convertChangedFields(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  for (const auto& f : wanted.fields) {
    int s = stored.fieldNumber(f.formerName.empty() ? f.name : f.formerName);
    if (s < 0 || s == stored.identity || sameStorage(stored.fields[s], f)) continue;
    const FieldDef& old = stored.fields[s];
    std::string column = quoteName(old.name), table = quoteName(stored.name);
    sqlite3_stmt* read = prepareOnce(conn.db, ("SELECT rowid, " + column + " FROM " + table).c_str());
    Finalizer readDone{read};
    sqlite3_stmt* write =
        prepareOnce(conn.db, ("UPDATE " + table + " SET " + column + " = ?1 WHERE rowid = ?2").c_str());
    Finalizer writeDone{write};
    std::vector<std::pair<int64_t, Value>> changed;
    while (stepRow(conn.db, read, "reading values to convert")) {
      Value v = columnValue(read, 1);
      Value converted;
      try {
        converted = convertValue(old, v, f);
      } catch (const ZVException& e) {
        fail(RL_BAD_VALUE, "Field [" + old.name + "] of record " + std::to_string(sqlite3_column_int64(read, 0)) +
                               " does not convert: " + e.GetErrorMsg());
      }
      if (!sameValue(v, converted)) changed.emplace_back(sqlite3_column_int64(read, 0), std::move(converted));
    }
    for (const auto& [rowid, value] : changed) {
      bindValue(write, 1, value);
      sqlite3_bind_int64(write, 2, rowid);
      stepDone(conn.db, write, "converting a value");
      sqlite3_reset(write);
    }
  }
}

void alterTableInFile(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  DefinitionChange write(conn);
  convertChangedFields(conn, stored, wanted);
  bool rebuild = wanted.identity != stored.identity || wanted.partitioned() != stored.partitioned();
  for (size_t i = 0; i < stored.fields.size() && !rebuild; ++i) {
    // Fields removed or moved: the table is rebuilt, kept fields keep their values by name.
    rebuild = i >= wanted.fields.size() || wanted.fields[i].name != stored.fields[i].name;
    if (rebuild) break;
    rebuild = std::string(declaredType(stored.fields[i], int(i) == stored.identity)) !=
              declaredType(wanted.fields[i], int(i) == wanted.identity);
  }
  if (rebuild) {
    rebuildTable(conn, stored, wanted);
  } else {
    for (size_t i = stored.fields.size(); i < wanted.fields.size(); ++i)
      execSql(conn, "ALTER TABLE " + quoteName(wanted.name) + " ADD COLUMN " + quoteName(wanted.fields[i].name) + " " +
                        declaredType(wanted.fields[i], false));
    for (size_t i = 0; i < stored.indexes.size(); ++i) {
      int w = wanted.indexNumber(stored.indexes[i].name);
      bool same = w >= 0 && wanted.indexes[w].sameShape(stored.indexes[i]);
      if (!same) execSql(conn, "DROP INDEX IF EXISTS " + quoteName(indexSqlName(wanted.name, stored.indexes[i].name)));
    }
    for (size_t i = 0; i < wanted.indexes.size(); ++i) {
      int s = stored.indexNumber(wanted.indexes[i].name);
      bool existed = s >= 0 && wanted.indexes[i].sameShape(stored.indexes[s]);
      if (!existed) execSql(conn, createIndexSql(wanted, int(i)));
    }
  }
  catalogWrite(conn.db, wanted);
  write.done();
}

void rebuildTableInFile(Connection& conn, const TableDef& def) {
  DefinitionChange write(conn);
  rebuildTable(conn, def, def);
  write.done();
}

// The source is read in one read transaction of its own, so the copy is
// the table as one commit left it.
void copyTableFromFile(Connection& conn, const std::string& sourcePath, const std::string& name) {
  sqlite3* source = openDatabaseFile(sourcePath, FileOpen::Peek, kBusyTimeoutMs);
  struct Closer {
    sqlite3* db;
    ~Closer() {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close_v2(db);
    }
  } closer{source};
  if (sqlite3_exec(source, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
    failSqlite(source, sqlite3_extended_errcode(source), "reading the table to copy");
  TableDef def;
  if (!catalogRead(source, name, &def)) fail(RL_NO_TABLE, "Table [" + name + "] not found in " + sourcePath);
  DefinitionChange write(conn);
  std::string existing;
  if (catalogStoredName(conn.db, def.name, &existing)) fail(RL_TABLE_EXISTS, "Table [" + existing + "] already exists");
  execSql(conn, createTableSql(def, def.name));
  // The record id column first, then the fields, then the partition number.
  std::string columns = quoteName(def.identity >= 0 ? def.fields[def.identity].name : kRecordIdColumn);
  for (size_t i = 0; i < def.fields.size(); ++i)
    if (int(i) != def.identity) columns += ", " + quoteName(def.fields[i].name);
  if (def.partitioned()) columns += ", " + quoteName(kPartitionColumn);
  sqlite3_stmt* read = prepareOnce(source, ("SELECT " + columns + " FROM " + quoteName(def.name)).c_str());
  Finalizer readDone{read};
  int count = sqlite3_column_count(read);
  std::string params;
  for (int c = 0; c < count; ++c) params += (c ? ", ?" : "?") + std::to_string(c + 1);
  sqlite3_stmt* insert = prepareOnce(
      conn.db, ("INSERT INTO " + quoteName(def.name) + " (" + columns + ") VALUES (" + params + ")").c_str());
  Finalizer insertDone{insert};
  while (stepRow(source, read, "reading the table to copy")) {
    std::vector<Value> row;
    for (int c = 0; c < count; ++c) row.push_back(columnValue(read, c));
    for (int c = 0; c < count; ++c) bindValue(insert, c + 1, row[size_t(c)]);
    stepDone(conn.db, insert, "copying a record");
  }
  // Ids are never reused: the sequence goes on from where it stood.
  sqlite3_stmt* seq = prepareOnce(source, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
  Finalizer seqDone{seq};
  sqlite3_bind_text(seq, 1, def.name.data(), int(def.name.size()), SQLITE_STATIC);
  int64_t high = stepRow(source, seq, "reading the id sequence") ? sqlite3_column_int64(seq, 0) : 0;
  execBound(conn.db, "UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1",
            {Value::text(def.name), Value::integer(high)});
  execBound(conn.db,
            "INSERT INTO sqlite_sequence(name, seq) SELECT ?1, ?2 WHERE NOT EXISTS"
            " (SELECT 1 FROM sqlite_sequence WHERE name = ?1)",
            {Value::text(def.name), Value::integer(high)});
  for (size_t i = 0; i < def.indexes.size(); ++i) execSql(conn, createIndexSql(def, int(i)));
  if (def.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(def.name, kPartitionColumn)) + " ON " + quoteName(def.name) +
                      " (" + quoteName(kPartitionColumn) + ")");
  catalogWrite(conn.db, def);
  write.done();
}

}  // namespace ravlink_detail
