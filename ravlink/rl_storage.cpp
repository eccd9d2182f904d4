// Storage: process-wide state, SQLite connections, the catalog kept in each
// database file, and the SQL that creates and alters tables. Every
// identifier is quoted and every value is bound; no caller text becomes SQL.
#include "rl_core.h"

#include <algorithm>
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

sqlite3* openDatabaseFile(const std::string& path, bool create, int busyTimeoutMs) {
  sqlite3* db = nullptr;
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
  char* err = nullptr;
  std::string setup = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") + (create ? kCatalogSql : "");
  rc = sqlite3_exec(db, setup.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    sqlite3_close_v2(db);
    fail(rc == SQLITE_BUSY ? RL_BUSY : RL_STORAGE_ERROR, "Not able to prepare database file: " + msg);
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
  conn->db = openDatabaseFile(path, true, kBusyTimeoutMs);
  monitor::connectionOpened();
  conn->file = engine().file(path);
  sqlite3_busy_handler(conn->db, waitForWriter, conn.get());
  logon->conns[path] = conn;
  return conn;
}

Connection::~Connection() {
  if (txnOpen) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  forgetStatements();
  if (db) monitor::connectionClosed(db);
  sqlite3_close_v2(db);
}

void Connection::forgetStatements() {
  for (auto& [sql, st] : statements) sqlite3_finalize(st);
  statements.clear();
}

sqlite3_stmt* Connection::prepare(const std::string& sql) {
  parkWalks();
  auto it = statements.find(sql);
  if (it != statements.end()) return it->second;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v3(db, sql.c_str(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (rc != SQLITE_OK) failSqlite(db, rc, "preparing a statement");
  statements.emplace(sql, st);
  return st;
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

static sqlite3_stmt* prepareOnce(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  if (rc != SQLITE_OK) failSqlite(db, rc, "reading the catalog");
  return st;
}

struct Finalizer {
  sqlite3_stmt* st;
  ~Finalizer() { sqlite3_finalize(st); }
};

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
                                   " part_max_active, part_low, replication FROM rl_tables WHERE name = ?1");
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
      // The scale column holds the precision in its upper half, the time
      // stamp column a bit for creation (1) and one for update (2).
      int scaleWord = sqlite3_column_int(st, 3);
      fd.scale = scaleWord & 0xffff;
      fd.precision = (scaleWord >> 16) & 0x7fff;
      fd.binaryFlag = sqlite3_column_int(st, 4);
      int stampBits = sqlite3_column_int(st, 5);
      fd.autoTimestamp = (stampBits & 1) != 0;
      fd.autoUpdate = (stampBits & 2) != 0;
      def->fields.push_back(fd);
    }
  }
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT name, key_type, duplicates, null_key FROM rl_indexes WHERE tbl = ?1"
                                   " ORDER BY pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      IndexDef ix;
      ix.name = columnText(st, 0);
      ix.keyType = sqlite3_column_int(st, 1);
      ix.duplicates = sqlite3_column_int(st, 2);
      ix.nullKey = sqlite3_column_int(st, 3);
      def->indexes.push_back(ix);
    }
  }
  {
    sqlite3_stmt* st = prepareOnce(db, "SELECT idx, field, mode FROM rl_segments WHERE tbl = ?1 ORDER BY idx, pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      int idx = sqlite3_column_int(st, 0);
      int field = sqlite3_column_int(st, 1);
      if (idx < 0 || size_t(idx) >= def->indexes.size() || field < 0 || size_t(field) >= def->fields.size())
        fail(RL_STORAGE_ERROR, "The catalog of table [" + name + "] is inconsistent");
      def->indexes[idx].segments.push_back(SegmentDef{field, sqlite3_column_int(st, 2)});
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
      " part_max_active, part_low, replication) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
      {name, Value::integer(def.createMode), def.identity >= 0 ? Value::text(def.fields[def.identity].name) : Value(),
       def.partRule.empty() ? Value() : Value::text(def.partRule),
       def.partIndex >= 0 ? Value::integer(def.partIndex) : Value(), Value::integer(def.partBits),
       Value::integer(def.partMaxActive), Value::integer(def.partLow), Value::integer(def.replication)});
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldDef& f = def.fields[i];
    execBound(db,
              "INSERT INTO rl_fields(tbl, pos, name, type, length, scale, binary_flag, auto_timestamp)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
              {name, Value::integer(int64_t(i)), Value::text(f.name), Value::integer(f.type), Value::integer(f.length),
               Value::integer(f.scale | (f.precision << 16)), Value::integer(f.binaryFlag),
               Value::integer((f.autoTimestamp ? 1 : 0) | (f.autoUpdate ? 2 : 0))});
  }
  for (size_t i = 0; i < def.indexes.size(); ++i) {
    const IndexDef& ix = def.indexes[i];
    execBound(db,
              "INSERT INTO rl_indexes(tbl, pos, name, key_type, duplicates, null_key)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
              {name, Value::integer(int64_t(i)), Value::text(ix.name), Value::integer(ix.keyType),
               Value::integer(ix.duplicates), Value::integer(ix.nullKey)});
    for (size_t s = 0; s < ix.segments.size(); ++s)
      execBound(db, "INSERT INTO rl_segments(tbl, idx, pos, field, mode) VALUES(?1, ?2, ?3, ?4, ?5)",
                {name, Value::integer(int64_t(i)), Value::integer(int64_t(s)), Value::integer(ix.segments[s].field),
                 Value::integer(ix.segments[s].mode)});
  }
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

std::string createIndexSql(const TableDef& def, int index) {
  const IndexDef& ix = def.indexes[index];
  std::string sql = std::string("CREATE ") + (ix.duplicates ? "" : "UNIQUE ") + "INDEX " +
                    quoteName(indexSqlName(def.name, ix.name)) + " ON " + quoteName(def.name) + " (";
  for (size_t s = 0; s < ix.segments.size(); ++s) {
    if (s) sql += ", ";
    sql += quoteName(def.fields[ix.segments[s].field].name) + (ix.segments[s].descending() ? " DESC" : "");
  }
  return sql + ")";
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

void createTableInFile(Connection& conn, const TableDef& def) {
  DefinitionChange write(conn);
  std::string existing;
  if (catalogStoredName(conn.db, def.name, &existing)) fail(RL_TABLE_EXISTS, "Table [" + existing + "] already exists");
  execSql(conn, createTableSql(def, def.name));
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
  for (size_t i = 0; i < wanted.indexes.size(); ++i) execSql(conn, createIndexSql(wanted, int(i)));
  if (wanted.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(wanted.name, kPartitionColumn)) + " ON " +
                      quoteName(wanted.name) + " (" + quoteName(kPartitionColumn) + ")");
}

void alterTableInFile(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  DefinitionChange write(conn);
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
      bool same = w >= 0 && wanted.indexes[w].duplicates == stored.indexes[i].duplicates &&
                  wanted.indexes[w].segments.size() == stored.indexes[i].segments.size();
      for (size_t s = 0; same && s < stored.indexes[i].segments.size(); ++s)
        same = wanted.indexes[w].segments[s].field == stored.indexes[i].segments[s].field &&
               wanted.indexes[w].segments[s].descending() == stored.indexes[i].segments[s].descending();
      if (!same) execSql(conn, "DROP INDEX IF EXISTS " + quoteName(indexSqlName(wanted.name, stored.indexes[i].name)));
    }
    for (size_t i = 0; i < wanted.indexes.size(); ++i) {
      int s = stored.indexNumber(wanted.indexes[i].name);
      bool existed = false;
      if (s >= 0) {
        existed = wanted.indexes[i].duplicates == stored.indexes[s].duplicates &&
                  wanted.indexes[i].segments.size() == stored.indexes[s].segments.size();
        for (size_t k = 0; existed && k < wanted.indexes[i].segments.size(); ++k)
          existed = wanted.indexes[i].segments[k].field == stored.indexes[s].segments[k].field &&
                    wanted.indexes[i].segments[k].descending() == stored.indexes[s].segments[k].descending();
      }
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

}  // namespace ravlink_detail
