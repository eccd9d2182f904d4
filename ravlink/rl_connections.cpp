// Database files and the connections of the sessions to them: opening and
// preparing a file, waiting for another writer, the statement caches and a
// connection's own transaction.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

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
  // Both of this connection only: they write nothing. A log that grew while a
  // long reader held it back is cut back to the limit once it starts over,
  // instead of keeping its largest size on disk for good.
  std::string setup = "PRAGMA synchronous=NORMAL;PRAGMA journal_size_limit=67108864;";
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

// Writers of the process's sessions take turns (WriterTurns); a connection
// that still finds the file locked, by a write outside the turns, wakes at
// a session's commit instead of sleeping SQLite's growing steps (1, 2, 5,
// 10 ms ...). A writer elsewhere (another process, an SQL session's own
// handle) is polled every millisecond; the whole wait is bounded as the
// busy time-out was.
static int waitForWriter(void* arg, int attempts) {
  Connection& conn = *static_cast<Connection*>(arg);
  auto now = std::chrono::steady_clock::now();
  if (attempts == 0) conn.busySince = conn.turnAskedAt == decltype(now){} ? now : conn.turnAskedAt;
  if (now - conn.busySince >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  FileShared& file = *conn.file;
  std::unique_lock<std::mutex> lock(file.mutex);
  uint64_t seen = file.commitSeq;
  file.committed.wait_for(lock, std::chrono::milliseconds(1), [&] { return file.commitSeq != seen; });
  return 1;
}

// SQLite's own choice of when to copy the log into the file: after a
// commit that leaves this many pages in it.
constexpr int kCheckpointFrames = 1000;

// Called by SQLite after each commit that wrote to the log, the write lock
// already given up: the writer's turn ends here, not when the whole commit
// call returns. A commit that leaves the log long first copies it into the
// file, still in its turn: with no writer of the process adding to the log
// meanwhile, a whole copy lets the next writer start the log over from its
// beginning. Copied beside running writers, the copy never caught up with
// them and the log grew without end under a steady stream of commits.
static int afterCommit(void* arg, sqlite3* db, const char* dbName, int frames) {
  Connection& conn = *static_cast<Connection*>(arg);
  if (frames >= kCheckpointFrames)
    sqlite3_wal_checkpoint_v2(db, dbName, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);  // else after a later commit
  conn.endWriterTurn();
  conn.file->notifyCommit();
  return SQLITE_OK;
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
  sqlite3_wal_hook(conn->db, afterCommit, conn.get());
  logon->conns[path] = conn;
  return conn;
}

Connection::~Connection() {
  if (txnOpen) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  endWriterTurn();
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

void Connection::takeWriterTurn() {
  if (holdsWriterTurn) return;
  turnAskedAt = std::chrono::steady_clock::now();
  auto deadline = turnAskedAt + std::chrono::milliseconds(kBusyTimeoutMs);
  if (!file->writerTurns.take(deadline)) {
    turnAskedAt = {};
    fail(RL_BUSY, "Database file busy while beginning a write: another session is writing to it");
  }
  holdsWriterTurn = true;
}

void Connection::endWriterTurn() {
  turnAskedAt = {};
  if (!holdsWriterTurn) return;
  holdsWriterTurn = false;
  file->writerTurns.end();
}

void Connection::beginWrite() {
  takeWriterTurn();
  try {
    exec("BEGIN IMMEDIATE");
  } catch (...) {
    endWriterTurn();
    throw;
  }
  turnAskedAt = {};  // a later wait inside the transaction is a wait of its own
  txnOpen = true;
  if (logon) monitor::transactionBegun(*logon);
  txnWrote = false;
}

void Connection::commit() {
  if (!txnOpen) return;
  exec("COMMIT");
  txnOpen = false;
  endWriterTurn();  // a commit that wrote nothing to the log calls no hook
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
  endWriterTurn();
  definitions.clear();  // some may have been read inside the transaction
  if (logon) monitor::transactionEnded(*logon, false);
  if (txnWrote) noteWrite();  // walks that saw the undone rows seek again
  txnWrote = false;
}

}  // namespace ravlink_detail
