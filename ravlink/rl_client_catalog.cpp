// Client functions over handles: sessions, databases, tables, transactions.
#include "rl_core.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
using namespace ravlink_detail;

// ---- access for the client functions ------------------------------------------

namespace ravlink_detail {

Connection* Access::connection(ZVDatabase* d) { return d->conn_.get(); }
ZVDatabase* Access::database(ZVTable* t) { return t->database_; }
TableCore& Access::core(ZVTable* t) { return *t->core_; }
ZVTable* Access::table(ZVField* f) { return f->table_; }
ZVTable* Access::table(ZVIndex* ix) { return ix->table_; }
ZVTable* Access::table(ZVSegment* s) { return s->table_; }
ZVTable* Access::table(ZVRecord* r) {
  TableCore* core = r->state_->table.get();
  return core ? core->object : nullptr;
}
void Access::refreshObjects(ZVTable* t) { t->rebuildObjects(); }
void Access::guard(ZVBase* b, const std::function<void()>& fn, const char* call) {
  guardedCall(b, &b->lastError_, b->logon(), call, fn);
}

int codeOf(ZVBase* object, const std::function<void()>& fn, const char* call) {
  if (!object) return RL_BAD_HANDLE;
  try {
    Access::guard(object, fn, call);
    return RL_OK;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

int copyOut(const std::string& text, char* buffer, int size) {
  if (!buffer || size <= 0) return RL_BAD_ARGUMENT;
  if (text.size() + 1 > size_t(size)) {
    buffer[0] = '\0';
    return RL_VALUE_TOO_LONG;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return RL_OK;
}

}  // namespace ravlink_detail

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

// ---- client functions ------------------------------------------------------------

namespace {

ZVBase* anyObject(RLHANDLE h) { return handleAs<ZVBase>(h); }

// A catalog walk step into the caller's buffers.
int walkStep(bool found, const ZVString& name, const ZVString& path, char* nameOut, int nameSize, char* pathOut,
             int pathSize) {
  if (!found) return RL_NOT_FOUND;
  int rc = copyOut(name.str(), nameOut, nameSize);
  if (rc == RL_OK && pathOut) rc = copyOut(path.str(), pathOut, pathSize);
  return rc;
}

int databaseWalk(RLHANDLE session, bool first, char* name, int nameSize, char* path, int pathSize) {
  ZVSession* s = handleAs<ZVSession>(session);
  if (!s) return RL_BAD_HANDLE;
  try {
    ZVString n, p;
    bool found = first ? s->FirstDatabase(&n, &p) : s->NextDatabase(&n, &p);
    int rc = walkStep(found, n, p, name, nameSize, path, pathSize);
    if (rc != RL_OK && rc != RL_NOT_FOUND) Access::noteError(s, rc);  // rlGetError tells why the walk stopped
    return rc;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

int tableWalk(RLHANDLE database, bool first, char* name, int nameSize, char* path, int pathSize) {
  ZVDatabase* d = handleAs<ZVDatabase>(database);
  if (!d) return RL_BAD_HANDLE;
  try {
    ZVString n, p;
    bool found = first ? d->FirstTable(&n, &p) : d->NextTable(&n, &p);
    int rc = walkStep(found, n, p, name, nameSize, path, pathSize);
    if (rc != RL_OK && rc != RL_NOT_FOUND) Access::noteError(d, rc);
    return rc;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

ZVTable* tableOf(RLHANDLE h) {
  ZVBase* b = anyObject(h);
  if (auto* t = dynamic_cast<ZVTable*>(b)) return t;
  if (auto* f = dynamic_cast<ZVField*>(b)) return Access::table(f);
  if (auto* ix = dynamic_cast<ZVIndex*>(b)) return Access::table(ix);
  if (auto* s = dynamic_cast<ZVSegment*>(b)) return Access::table(s);
  if (auto* r = dynamic_cast<ZVRecord*>(b)) return Access::table(r);
  return nullptr;
}

}  // namespace

namespace ravlink_detail {
ZVTable* clientTableOf(RLHANDLE h) { return tableOf(h); }
}  // namespace ravlink_detail

extern "C" {

RLHANDLE rlAllocSession(int type) {
  try {
    return (new ZVSession(type))->GetHandle();
  } catch (const std::exception&) {
    return nullptr;
  }
}

void rlFreeSession(RLHANDLE session) { delete handleAs<ZVSession>(session); }

int rlLogon(RLHANDLE session, const char* server, const char* user, const char* password) {
  ZVSession* s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->Logon(server, user, password); });
}

int rlCreateServer(const char* server) {
  try {
    createServer(server);
    return RL_OK;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  } catch (const std::exception&) {
    return RL_STORAGE_ERROR;
  }
}

int rlCreateSession(RLHANDLE session, const char* server, const char* user, const char* password) {
  ZVSession* s = handleAs<ZVSession>(session);
  if (!s) return RL_BAD_HANDLE;
  return codeOf(s, [&] { createServer(server, user ? user : "", password ? password : ""); });
}

int rlLogout(RLHANDLE session) {
  ZVSession* s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->Logout(); });
}

int zvdbIsActiveSession(RLHANDLE handle) {
  ZVBase* b = anyObject(handle);
  if (!b) return 0;
  Logon* logon = Access::logon(b);
  return logon && logon->loggedOn ? 1 : 0;
}

int zvdbIsActiveTable(RLHANDLE handle) {
  ZVTable* t = tableOf(handle);
  return t && t->IsOpen() ? 1 : 0;
}

int rlCreateDatabase(RLHANDLE session, const char* name, int mode) {
  ZVSession* s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->CreateDatabase(name, ""); });
}

int rlDeleteDatabase(RLHANDLE session, const char* name) {
  ZVSession* s = handleAs<ZVSession>(session);
  return codeOf(s, [&] { s->DeleteDatabase(name); });
}

int rlFirstDatabase(RLHANDLE session, char* name, int nameSize, char* path, int pathSize) {
  return databaseWalk(session, true, name, nameSize, path, pathSize);
}

int rlNextDatabase(RLHANDLE session, char* name, int nameSize, char* path, int pathSize) {
  return databaseWalk(session, false, name, nameSize, path, pathSize);
}

int rlGetError(RLHANDLE handle) {
  ZVBase* b = anyObject(handle);
  return b ? b->GetError() : RL_BAD_HANDLE;
}

int rlStartClient(void) { return RL_OK; }

void* rlAllocMemory(int count, int size) {
  if (count <= 0 || size <= 0) return nullptr;
  return std::calloc(size_t(count), size_t(size));
}

void rlFreeMemory(void* block) { std::free(block); }

int rlFirstTable(RLHANDLE database, char* name, int nameSize, char* path, int pathSize) {
  return tableWalk(database, true, name, nameSize, path, pathSize);
}

int rlNextTable(RLHANDLE database, char* name, int nameSize, char* path, int pathSize) {
  return tableWalk(database, false, name, nameSize, path, pathSize);
}

RLHANDLE rlAllocTable(RLHANDLE database) {
  ZVDatabase* d = handleAs<ZVDatabase>(database);
  if (!d) return nullptr;
  try {
    ZVTable* t = nullptr;
    Access::guard(
        d, [&] { t = new ZVTable(d); }, "rlAllocTable");
    return t->GetHandle();
  } catch (const ZVException& e) {
    return nullptr;
  }
}

void rlFreeTable(RLHANDLE table) { delete handleAs<ZVTable>(table); }

int rlOpenTable(RLHANDLE table, const char* name, int mode) {
  ZVTable* t = handleAs<ZVTable>(table);
  return codeOf(t, [&] { t->Open(name, mode); });
}

int rlCheckTableSupport(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t && t->IsOpen() ? 1 : 0;
}

int rlCreateTable(RLHANDLE table, const char* name, int mode) {
  ZVTable* t = handleAs<ZVTable>(table);
  // Mode 2 is the plain table every caller asks for; only the partition bit means more here.
  return codeOf(t, [&] { t->Create(name, mode & RL_CREATE_PARTITIONED); });
}

int rlAlterTable(RLHANDLE table, int mode) {
  ZVTable* t = handleAs<ZVTable>(table);
  return codeOf(t, [&] { t->Alter(mode); });
}

int rlDeleteTable(RLHANDLE database, const char* name, int mode) {
  ZVDatabase* d = handleAs<ZVDatabase>(database);
  return codeOf(d, [&] { d->DeleteTable(name, ""); });
}

int rlGetTableCreateMode(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? t->GetCreateMode() : 0;
}

RLHANDLE rlGetTableOfHandle(RLHANDLE handle) {
  ZVTable* t = tableOf(handle);
  return t ? t->GetHandle() : nullptr;
}

const char* rlGetTablePath(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  if (!t) return nullptr;
  TableCore& core = Access::core(t);
  return core.conn ? core.conn->path.c_str() : "";
}

const char* rlGetTableName(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? t->GetName() : nullptr;
}

int rlBeginTransaction(RLHANDLE handle) {
  ZVBase* b = anyObject(handle);
  return codeOf(b, [&] { b->Begin(); });
}

int rlCommitTransaction(RLHANDLE handle) {
  ZVBase* b = anyObject(handle);
  return codeOf(b, [&] {
    Logon* logon = Access::logon(b);
    if (!logon || !logon->inTransaction()) fail(RL_NO_TRANSACTION, "No transaction to commit");
    b->Commit();
  });
}

int rlAbortTransaction(RLHANDLE handle) {
  ZVBase* b = anyObject(handle);
  return codeOf(b, [&] {
    Logon* logon = Access::logon(b);
    if (!logon || !logon->inTransaction()) fail(RL_NO_TRANSACTION, "No transaction to abort");
    b->Abort();
  });
}

}  // extern "C"
