// Servers, users, logons, sessions and databases; client options and owners.
#include "rl_core.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
using namespace ravlink_detail;

namespace {

// Options and the current owner belong to the calling thread.
thread_local int tlsConnectTimeout = 0;
thread_local bool tlsInternal = false;
thread_local int32_t tlsOwner = -1;

const char* kDefaultUser = "ADMIN";
const char* kDefaultPassword = "TRUVE";
const int kHashIterations = 10000;
const char* kServerCatalog = "rl_server.db";
const char* kDatabaseExtension = ".db";

std::string passwordHash(const std::string& password, const std::string& salt, int iterations) {
  unsigned char out[32];
  if (PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                        int(salt.size()), iterations, EVP_sha256(), sizeof out, out) != 1)
    fail(RL_STORAGE_ERROR, "Not able to hash a password");
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

bool isThisHost(const std::string& host) {
  if (host.empty() || strcasecmp(host.c_str(), "localhost") == 0 || host == "127.0.0.1" || host == "::1" || host == ".")
    return true;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && strcasecmp(host.c_str(), name) == 0) return true;
  return false;
}

// The server named by "NAME" or "NAME@HOST": its directory under the data
// root. Only the explicit creation (`create`) makes the directory; every
// other use finds it or fails with RL_NO_SERVER, leaving the data root as
// it was.
std::string serverDirectory(const char* server, std::string* name, bool create = false) {
  std::string text = server ? server : "";
  size_t at = text.find('@');
  std::string host = at == std::string::npos ? "" : text.substr(at + 1);
  *name = text.substr(0, at);
  if (!isThisHost(host))
    fail(RL_SERVER_UNREACHABLE, "Server [" + text + "] is on another host; this engine serves this machine only");
  checkObjectName(name->c_str(), "server");
  std::error_code ec;
  fs::path dir = fs::path(dataRoot()) / *name;
  if (create && !createPrivateDirectories(dir.string()))
    fail(RL_SERVER_UNREACHABLE,
         "Server [" + text + "] cannot be reached: data directory " + dir.string() + " is not usable");
  if (!create && !fs::is_regular_file(dir / kServerCatalog, ec)) fail(RL_NO_SERVER, "Server [" + text + "] not found");
  return fs::weakly_canonical(dir, ec).string();
}

// The server's own catalog: users and databases.
struct ServerCatalog {
  sqlite3* db = nullptr;
  // create: a new server's catalog is made here; otherwise it must exist.
  explicit ServerCatalog(const std::string& dir, int busyMs, bool create = false) {
    db = nullptr;
    std::string file = (fs::path(dir) / kServerCatalog).string();
    if (create) createPrivateFile(file);  // it holds the users' password hashes
    int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close_v2(db);
      db = nullptr;
      fail(create ? RL_SERVER_UNREACHABLE : RL_NO_SERVER, "Server catalog cannot be opened in " + dir);
    }
    sqlite3_busy_timeout(db, busyMs);
    if (create)
      exec(
          "CREATE TABLE IF NOT EXISTS rl_users(name TEXT PRIMARY KEY COLLATE NOCASE, salt BLOB, hash BLOB,"
          " iterations INTEGER, admin INTEGER);"
          "CREATE TABLE IF NOT EXISTS rl_databases(name TEXT PRIMARY KEY COLLATE NOCASE, file TEXT);");
  }
  ~ServerCatalog() { sqlite3_close_v2(db); }
  void exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      std::string msg = err ? err : "";
      sqlite3_free(err);
      fail(RL_SERVER_UNREACHABLE, "Server catalog cannot be used: " + msg);
    }
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
      failSqlite(db, sqlite3_extended_errcode(db), "reading the server catalog");
    return st;
  }
  void ensureAdministrator() {
    bool empty = false;
    {
      Finalizer count{prepare("SELECT count(*) FROM rl_users")};
      empty = stepRow(db, count.st, "reading users") && sqlite3_column_int(count.st, 0) == 0;
    }
    if (!empty) return;
    unsigned char salt[16];
    if (RAND_bytes(salt, sizeof salt) != 1) fail(RL_STORAGE_ERROR, "No random bytes for a password salt");
    std::string s(reinterpret_cast<char*>(salt), sizeof salt);
    std::string h = passwordHash(kDefaultPassword, s, kHashIterations);
    Finalizer insert{
        prepare("INSERT OR IGNORE INTO rl_users(name, salt, hash, iterations, admin) VALUES(?1, ?2, ?3, ?4, 1)")};
    sqlite3_stmt* st = insert.st;
    sqlite3_bind_text(st, 1, kDefaultUser, -1, SQLITE_STATIC);
    sqlite3_bind_blob(st, 2, s.data(), int(s.size()), SQLITE_STATIC);
    sqlite3_bind_blob(st, 3, h.data(), int(h.size()), SQLITE_STATIC);
    sqlite3_bind_int(st, 4, kHashIterations);
    if (sqlite3_step(st) != SQLITE_DONE) failSqlite(db, sqlite3_extended_errcode(db), "creating the administrator");
  }
  void checkUser(const std::string& user, const std::string& password) {
    std::string salt, hash;
    int iterations = 0;
    {
      Finalizer read{prepare("SELECT salt, hash, iterations FROM rl_users WHERE name = ?1")};
      sqlite3_stmt* st = read.st;
      sqlite3_bind_text(st, 1, user.data(), int(user.size()), SQLITE_STATIC);
      if (!stepRow(db, st, "reading users")) fail(RL_UNKNOWN_USER, "Unknown user [" + user + "]");
      salt.assign(static_cast<const char*>(sqlite3_column_blob(st, 0)), sqlite3_column_bytes(st, 0));
      hash.assign(static_cast<const char*>(sqlite3_column_blob(st, 1)), sqlite3_column_bytes(st, 1));
      iterations = sqlite3_column_int(st, 2);
    }
    std::string given = passwordHash(password, salt, iterations);
    if (given.size() != hash.size() || CRYPTO_memcmp(given.data(), hash.data(), hash.size()) != 0)
      fail(RL_WRONG_PASSWORD, "Wrong password for user [" + user + "]");
  }
  // The registered file of a database, relative to the server directory.
  bool lookup(const std::string& name, std::string* file) {
    Finalizer read{prepare("SELECT file FROM rl_databases WHERE name = ?1")};
    sqlite3_bind_text(read.st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    bool found = stepRow(db, read.st, "reading databases");
    if (found) *file = reinterpret_cast<const char*>(sqlite3_column_text(read.st, 0));
    return found;
  }
  void forgetDatabase(const std::string& name) {
    Finalizer remove{prepare("DELETE FROM rl_databases WHERE name = ?1")};
    sqlite3_bind_text(remove.st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    if (sqlite3_step(remove.st) != SQLITE_DONE) failSqlite(db, sqlite3_extended_errcode(db), "removing a database");
  }
  // Every registered database with its file, in name order.
  std::vector<std::pair<std::string, std::string>> databases() {
    std::vector<std::pair<std::string, std::string>> list;
    Finalizer read{prepare("SELECT name, file FROM rl_databases ORDER BY name")};
    while (stepRow(db, read.st, "reading databases"))
      list.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(read.st, 0)),
                        reinterpret_cast<const char*>(sqlite3_column_text(read.st, 1)));
    return list;
  }
  void registerDatabase(const std::string& name, const std::string& file) {
    Finalizer write{prepare("INSERT OR REPLACE INTO rl_databases(name, file) VALUES(?1, ?2)")};
    sqlite3_bind_text(write.st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    sqlite3_bind_text(write.st, 2, file.data(), int(file.size()), SQLITE_STATIC);
    if (sqlite3_step(write.st) != SQLITE_DONE) failSqlite(db, sqlite3_extended_errcode(db), "registering a database");
  }
};

// A database path argument: "" or "." is the server directory; anything
// else must stay inside it.
fs::path databaseDirectory(const std::string& serverDir, const char* path) {
  std::string p = path ? path : "";
  if (p.empty() || p == ".") return serverDir;
  for (auto& c : p)
    if (c == '\\') c = '/';
  fs::path candidate = fs::path(p).is_absolute() ? fs::path(p) : fs::path(serverDir) / p;
  std::error_code ec;
  fs::path normal = fs::weakly_canonical(candidate, ec);
  if (ec) normal = candidate.lexically_normal();
  auto rel = normal.lexically_relative(serverDir);
  if (rel.empty() || *rel.begin() == "..")
    fail(RL_BAD_PATH, "Database path [" + std::string(path) + "] is outside the server's directory");
  return normal;
}

std::string relativeTo(const std::string& serverDir, const fs::path& file) {
  return file.lexically_relative(serverDir).string();
}

}  // namespace

namespace ravlink_detail {

void createServer(const char* server, const char* user, const char* password) {
  std::string name;
  // Held throughout: a logon in this process never meets a half-made catalog.
  std::lock_guard<std::mutex> lock(engine().serverMutex);
  try {
    serverDirectory(server, &name);
    return;  // there already
  } catch (const ZVException& e) {
    if (e.GetErrorCode() != RL_NO_SERVER) throw;
  }
  if (user) {
    if (strcasecmp(user, kDefaultUser) != 0) fail(RL_UNKNOWN_USER, "Unknown user [" + std::string(user) + "]");
    if (!password || strcmp(password, kDefaultPassword) != 0)
      fail(RL_WRONG_PASSWORD, "Wrong password for user [" + std::string(user) + "]");
  }
  std::string dir = serverDirectory(server, &name, true);
  ServerCatalog catalog(dir, kBusyTimeoutMs, true);
  catalog.ensureAdministrator();
}

}  // namespace ravlink_detail

// ---- base ---------------------------------------------------------------------

ZVBase::ZVBase() : handle_(engine().handles.add(this)) {}

ZVBase::~ZVBase() { engine().handles.remove(handle_); }

namespace ravlink_detail {

void retireHandle(ZVBase* object) {
  Logon* logon = Access::logon(object);
  if (!logon) return engine().handles.retire(object->GetHandle());
  std::lock_guard<SessionMutex> lock(logon->mutex);  // calls of the session in flight end first
  engine().handles.retire(object->GetHandle());
}

}  // namespace ravlink_detail

void ZVBase::Begin() {
  guarded([&] {
    auto l = logon();
    if (!l) fail(RL_NOT_OPEN, "The object has no session");
    l->requireLoggedOn();
    l->explicitTxn = true;
  });
}

void ZVBase::Commit() {
  guarded([&] {
    if (auto l = logon()) l->commitAll();
  });
}

void ZVBase::Abort() {
  guarded([&] {
    if (auto l = logon()) {
      l->abortAll();
      ++l->abortCount;
    }
  });
}

void ZVBase::Lock(int) { fail(RL_BAD_ARGUMENT, "This object cannot be locked"); }
void ZVBase::Unlock() {}

void ZVBase::SetDefDateType(int dateType) {
  guarded([&] {
    if (dateType < 1 || dateType > 6) fail(RL_BAD_ARGUMENT, "Unknown date type " + std::to_string(dateType));
    if (auto l = logon()) l->dateType = dateType;
  });
}

void ZVBase::SetDefTimeType(int timeType) {
  guarded([&] {
    if (timeType < 1 || (timeType > 5 && timeType != 10 && timeType != 11))
      fail(RL_BAD_ARGUMENT, "Unknown time type " + std::to_string(timeType));
    if (auto l = logon()) l->timeType = timeType;
  });
}

// ---- session --------------------------------------------------------------------

ZVSession::ZVSession(int type) : logon_(std::make_shared<ravlink_detail::Logon>()) {
  if (type != 0 && type != 2) fail(RL_BAD_ARGUMENT, "Unknown session type " + std::to_string(type));
  logon_->id = engine().nextLogonId++;
}

ZVSession::~ZVSession() {
  retireHandle(this);
  std::lock_guard<ravlink_detail::SessionMutex> lock(logon_->mutex);
  if (logon_->loggedOn && tlsOwner == logon_->owner) tlsOwner = -1;
  logon_->end();
}

Logon* ZVSession::logon() const { return logon_.get(); }

void ZVSession::Logon(const char* server, const char* user, const char* password) {
  guarded([&] {
    if (logon_->loggedOn) fail(RL_BAD_ARGUMENT, "The session is already logged on");
    std::string name;
    std::string userName = user ? user : "";
    std::string dir;
    try {
      dir = serverDirectory(server, &name);
    } catch (const ZVException& e) {
      if (e.GetErrorCode() == RL_NO_SERVER) monitor::logonFailed(name, userName, e.GetErrorCode());
      throw;
    }
    int busyMs = tlsConnectTimeout > 0 ? tlsConnectTimeout * 1000 : kBusyTimeoutMs;
    try {
      std::lock_guard<std::mutex> lock(engine().serverMutex);
      ServerCatalog catalog(dir, busyMs);
      catalog.checkUser(userName, password ? password : "");
    } catch (const ZVException& e) {
      monitor::logonFailed(name, userName, e.GetErrorCode());
      throw;
    }
    logon_->server = name;
    logon_->serverDir = dir;
    logon_->user = userName;
    logon_->internal = tlsInternal;
    logon_->loggedOn = true;
    std::lock_guard<std::mutex> lock(engine().mutex);
    logon_->owner = monitor::allocateOwner();
    engine().owners[logon_->owner] = logon_;
    tlsOwner = logon_->owner;
    monitor::logonStarted(*logon_);
  });
}

void ZVSession::Logout() {
  guarded([&] {
    logon_->requireLoggedOn();
    if (tlsOwner == logon_->owner) tlsOwner = -1;
    logon_->end();
  });
}

bool ZVSession::IsLoggedOn() const { return logon_->loggedOn; }

void ZVSession::SetAutoCommit(int on) {
  guarded([&] {
    logon_->requireLoggedOn();
    if (on && !logon_->autoCommit && !logon_->explicitTxn) logon_->commitAll();  // pending implicit work
    logon_->autoCommit = on ? 1 : 0;
  });
}

int ZVSession::GetAutoCommit() const { return logon_->autoCommit; }

int32_t ZVSession::GetOwner() const { return logon_->loggedOn ? logon_->owner : -1; }

bool ZVSession::FindDatabase(const char* name) {
  return guarded([&] {
    logon_->requireLoggedOn();
    if (!name || !*name) return false;
    try {
      checkObjectName(name, "database");
    } catch (const ZVException&) {
      return false;
    }
    std::lock_guard<std::mutex> lock(engine().serverMutex);
    ServerCatalog catalog(logon_->serverDir, kBusyTimeoutMs);
    std::string file;
    std::error_code ec;
    return catalog.lookup(name, &file) && fs::exists(fs::path(logon_->serverDir) / file, ec);
  });
}

void ZVSession::CreateDatabase(const char* name, const char* path) {
  guarded([&] {
    logon_->requireLoggedOn();
    checkObjectName(name, "database");
    fs::path dir = databaseDirectory(logon_->serverDir, path);
    fs::path file = dir / (std::string(name) + kDatabaseExtension);
    std::lock_guard<std::mutex> lock(engine().serverMutex);
    ServerCatalog catalog(logon_->serverDir, kBusyTimeoutMs);
    std::string known;
    std::error_code ec;
    if (catalog.lookup(name, &known) && fs::exists(fs::path(logon_->serverDir) / known, ec))
      fail(RL_DATABASE_EXISTS, "Database [" + std::string(name) + "] already exists");
    // A file left by a dropped database keeps its tables: a new database is
    // empty, so the file is made known again only by AddDatabase.
    if (fs::exists(file, ec))
      fail(RL_DATABASE_EXISTS, "Database file of [" + std::string(name) + "] is already there; add it instead");
    if (engine().fileInUse(file.string()))
      fail(RL_IN_USE, "Database [" + std::string(name) + "] is still open by a session");
    // Without their database, these hold nothing a new file could use.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(file.string() + suffix, ec);
    createPrivateDirectories(dir.string());
    sqlite3_close_v2(openDatabaseFile(file.string(), FileOpen::Create, kBusyTimeoutMs));
    catalog.registerDatabase(name, relativeTo(logon_->serverDir, file));
  });
}

void ZVSession::AddDatabase(const char* name, const char* path) {
  guarded([&] {
    logon_->requireLoggedOn();
    checkObjectName(name, "database");
    fs::path file = databaseDirectory(logon_->serverDir, path) / (std::string(name) + kDatabaseExtension);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) fail(RL_NO_DATABASE, "There is no database [" + std::string(name) + "] to add");
    std::lock_guard<std::mutex> lock(engine().serverMutex);
    ServerCatalog catalog(logon_->serverDir, kBusyTimeoutMs);
    catalog.registerDatabase(name, relativeTo(logon_->serverDir, file));
  });
}

// Forgets a database the server knows, and with `removeFile` removes its
// file. A database that a session of the process has open is refused
// (RL_IN_USE): its users would go on writing into a file nobody finds.
// Connecting holds the server's mutex too, so none opens it meanwhile.
static void forgetKnownDatabase(Logon& logon, const char* name, bool removeFile) {
  logon.requireLoggedOn();
  checkObjectName(name, "database");
  std::lock_guard<std::mutex> lock(engine().serverMutex);
  ServerCatalog catalog(logon.serverDir, kBusyTimeoutMs);
  std::string file;
  if (!catalog.lookup(name, &file)) fail(RL_NOT_FOUND, "Database [" + std::string(name) + "] not found");
  std::error_code ec;
  std::string full = fs::weakly_canonical(fs::path(logon.serverDir) / file, ec).string();
  if (engine().fileInUse(full)) fail(RL_IN_USE, "Database [" + std::string(name) + "] is in use");
  catalog.forgetDatabase(name);
  if (removeFile)
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(full + suffix, ec);
}

void ZVSession::DropDatabase(const char* name) {
  guarded([&] { forgetKnownDatabase(*logon_, name, false); });
}

void ZVSession::DeleteDatabase(const char* name) {
  guarded([&] { forgetKnownDatabase(*logon_, name, true); });
}

bool ZVSession::FirstDatabase(ZVString* name, ZVString* path) {
  return guarded([&] {
    logon_->requireLoggedOn();
    std::lock_guard<std::mutex> lock(engine().serverMutex);
    ServerCatalog catalog(logon_->serverDir, kBusyTimeoutMs);
    databaseWalk_ = catalog.databases();
    databaseWalkPos_ = 0;
    return nextDatabase(name, path);
  });
}

bool ZVSession::NextDatabase(ZVString* name, ZVString* path) {
  return guarded([&] { return nextDatabase(name, path); });
}

bool ZVSession::nextDatabase(ZVString* name, ZVString* path) {
  if (databaseWalkPos_ >= databaseWalk_.size()) return false;
  const auto& entry = databaseWalk_[databaseWalkPos_++];
  if (name) name->SetString(entry.first.c_str());
  if (path) path->SetString((fs::path(logon_->serverDir) / entry.second).string().c_str());
  return true;
}

const char* ZVSession::GetUserLogonName() const { return logon_->user.c_str(); }

void ZVSession::Lock(int) {
  guarded([&] { fail(RL_BAD_ARGUMENT, "A session cannot be locked; lock a database, table or record"); });
}

void ZVSession::Unlock() {}

// ---- database ---------------------------------------------------------------------

ZVDatabase::ZVDatabase(ZVSession* session) {
  if (!session) fail(RL_BAD_ARGUMENT, "A database needs a session");
  session_ = session->logon_;
}

ZVDatabase::~ZVDatabase() {
  retireHandle(this);
  std::lock_guard<ravlink_detail::SessionMutex> lock(session_->mutex);
  for (ZVTable* t : tables_) {
    t->core_->close();
    t->database_ = nullptr;
  }
  tables_.clear();
  conn_.reset();
}

Logon* ZVDatabase::logon() const { return session_.get(); }

void ZVDatabase::Connect(const char* name) {
  guarded([&] {
    session_->requireLoggedOn();
    checkObjectName(name, "database");
    if (conn_) fail(RL_BAD_ARGUMENT, "The database object is already connected");
    std::string file;
    std::error_code ec;
    // Held while the file opens: a deletion never removes it in between.
    std::lock_guard<std::mutex> lock(engine().serverMutex);
    ServerCatalog catalog(session_->serverDir, kBusyTimeoutMs);
    bool known = catalog.lookup(name, &file);
    fs::path full = fs::path(session_->serverDir) / file;
    if (!known || !fs::is_regular_file(full, ec)) fail(RL_NOT_FOUND, "Database [" + std::string(name) + "] not found");
    conn_ = openConnection(session_, name, fs::weakly_canonical(full, ec).string());
    name_ = name;
  });
}

void ZVDatabase::Disconnect() {
  guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    for (ZVTable* t : tables_) t->core_->close();
    conn_.reset();
    name_.clear();
  });
}

bool ZVDatabase::IsConnected() const { return conn_ != nullptr; }

ZVTable* ZVDatabase::FindActive(const char* tableName) {
  return guarded([&]() -> ZVTable* {
    if (!tableName) return nullptr;
    for (ZVTable* t : tables_)
      if (t->core_->open && sameTableName(t->core_->stored.name, tableName)) return t;
    return nullptr;
  });
}

bool ZVDatabase::FindTable(const char* tableName) {
  return guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    session_->requireLoggedOn();
    if (!tableName || !*tableName) return false;
    conn_->parkWalks();  // read the file as it is now
    return catalogHasTable(conn_->db, tableName);
  });
}

void ZVDatabase::CloseAll() {
  guarded([&] {
    std::vector<ZVTable*> open;
    for (ZVTable* t : tables_)
      if (t->core_->open) open.push_back(t);
    for (ZVTable* t : open) delete t;  // unregisters itself
  });
}

const char* ZVDatabase::GetName() const { return name_.c_str(); }
const char* ZVDatabase::GetPath() const { return conn_ ? conn_->path.c_str() : ""; }

void ZVDatabase::Lock(int mode) {
  guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    engine().locks.acquire(LockKey{conn_->path, "", -1}, session_->id, kLockTimeoutMs);
  });
}

void ZVDatabase::Unlock() {
  guarded([&] {
    if (conn_) engine().locks.release(LockKey{conn_->path, "", -1}, session_->id);
  });
}

// ---- database object: tables ---------------------------------------------------

namespace {

std::vector<std::string> tableNames(Connection& conn) {
  conn.parkWalks();
  std::vector<std::string> names;
  sqlite3_stmt* st = conn.prepare("SELECT name FROM rl_tables ORDER BY name COLLATE NOCASE");
  while (stepRow(conn.db, st, "listing tables"))
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_reset(st);
  return names;
}

}  // namespace

bool ZVDatabase::FirstTable(ZVString* name, ZVString* path) {
  return guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    session_->requireLoggedOn();
    tableWalk_ = tableNames(*conn_);
    tableWalkPos_ = 0;
    return NextTable(name, path);
  });
}

bool ZVDatabase::NextTable(ZVString* name, ZVString* path) {
  return guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    if (tableWalkPos_ >= tableWalk_.size()) return false;
    const std::string& table = tableWalk_[tableWalkPos_++];
    if (name) name->SetString(table.c_str());
    if (path) path->SetString((conn_->path + "/" + table + ".dat").c_str());
    return true;
  });
}

void ZVDatabase::DeleteTable(const char* name, const char* password) {
  guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    session_->requireLoggedOn();
    checkObjectName(name, "table");
    Connection& conn = *conn_;
    conn.parkWalks();
    std::string stored;
    if (!catalogStoredName(conn.db, name, &stored)) fail(RL_NO_TABLE, "Table [" + std::string(name) + "] not found");
    for (ZVTable* t : tables_)
      if (t->core_->open && sameTableName(t->core_->stored.name, stored)) t->core_->close();
    WriteScope write(conn, true);
    conn.exec("DROP TABLE IF EXISTS " + quoteName(stored));
    for (const char* catalog : {"rl_tables", "rl_fields", "rl_indexes", "rl_segments"}) {
      std::string column = std::strcmp(catalog, "rl_tables") == 0 ? "name" : "tbl";
      sqlite3_stmt* st =
          conn.prepare(std::string("DELETE FROM ") + catalog + " WHERE " + column + " = ?1 COLLATE NOCASE");
      sqlite3_bind_text(st, 1, stored.data(), int(stored.size()), SQLITE_STATIC);
      stepDone(conn.db, st, "removing a table from the catalog");
    }
    catalogChanged(conn.db);
    write.done();
    auto shared = engine().table(conn.path, stored);
    shared->schemaGen++;
    shared->writeGen++;
    conn.noteWrite();
  });
}

// ---- options and owners of the calling thread ---------------------------------------------

namespace ravlink_detail {

int setClientOption(int option, const std::string& value) {
  if (option == RL_OPT_CONNECT_TIMEOUT) {
    char* end = nullptr;
    long seconds = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || seconds < 0 || seconds > 86400) return RL_BAD_VALUE;
    tlsConnectTimeout = int(seconds);
    return RL_OK;
  }
  if (option == RL_OPT_INTERNAL) {
    if (strcasecmp(value.c_str(), "YES") == 0)
      tlsInternal = true;
    else if (strcasecmp(value.c_str(), "NO") == 0)
      tlsInternal = false;
    else
      return RL_BAD_VALUE;
    return RL_OK;
  }
  return RL_BAD_ARGUMENT;
}

int32_t currentOwner() { return tlsOwner; }

int setCurrentOwner(int32_t owner) {
  if (owner == -1) {
    tlsOwner = -1;
    return RL_OK;
  }
  std::lock_guard<std::mutex> lock(engine().mutex);
  auto it = engine().owners.find(owner);
  if (it == engine().owners.end() || it->second.expired()) return RL_BAD_HANDLE;
  tlsOwner = owner;
  return RL_OK;
}

}  // namespace ravlink_detail
