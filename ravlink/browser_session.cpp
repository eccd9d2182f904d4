// The table browser's calls on sessions, databases and tables as a whole:
// logons, the catalogue, opening with conflicts, transactions, and the walk
// up the handles that makes a failure readable on every handle above it.
#include "browser_engine.h"

#include <algorithm>
#include <cstring>

using namespace ravlink_detail;
using namespace ravlink_detail::browser;

namespace ravlink_detail {
namespace browser {

namespace {

struct OpenEntry {
  std::string key;  // file + '\n' + table name in lower case
  uint64_t logon = 0;
  bool exclusive = false;
};

// Databases with their sessions, open tables and the records the browser
// allocated on each table (freed with the table).
struct Registry {
  std::mutex mutex;
  // By the session's handle: a session may be freed before its databases,
  // and its handle then finds nothing where a pointer would dangle.
  std::map<ZVDatabase*, RLHANDLE> sessions;
  std::map<ZVTable*, OpenEntry> opens;
  // By handle: a record freed by another free than the browser's is then
  // not freed again with its table.
  std::map<ZVTable*, std::set<RLHANDLE>> records;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

std::string openKey(ZVDatabase* d, const std::string& name) {
  Connection* conn = d ? Access::connection(d) : nullptr;
  if (!conn) fail(RL_NOT_OPEN, "The database is not connected");
  return conn->path + "\n" + lowered(name);
}

uint64_t logonIdOf(ZVBase* b) {
  Logon* l = b ? Access::logon(b) : nullptr;
  return l ? l->id : 0;
}

}  // namespace

ZVBase* parentOf(ZVBase* b) {
  if (auto* r = dynamic_cast<ZVRecord*>(b)) return Access::table(r);
  if (auto* f = dynamic_cast<ZVField*>(b)) return Access::table(f);
  if (auto* ix = dynamic_cast<ZVIndex*>(b)) return Access::table(ix);
  if (auto* s = dynamic_cast<ZVSegment*>(b)) return Access::table(s);
  if (auto* t = dynamic_cast<ZVTable*>(b)) return Access::database(t);
  if (auto* d = dynamic_cast<ZVDatabase*>(b)) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().sessions.find(d);
    if (it == registry().sessions.end()) return nullptr;
    // The caller holds the database's session, so a session found here is
    // not freed meanwhile; one of another logon is not this database's.
    auto* session = dynamic_cast<ZVSession*>(engine().handles.find(it->second));
    return session && Access::logon(session) == Access::logon(d) ? session : nullptr;
  }
  return nullptr;
}

int noteUp(ZVBase* b, int code) {
  if (code == RL_OK) return code;
  for (ZVBase* up = b; up; up = parentOf(up)) Access::noteError(up, code);
  return code;
}

int upOnCode(RLHANDLE h, int code) {
  auto b = handleAs<ZVBase>(h);
  return noteUp(b, code);
}

int run(ZVBase* b, const std::function<void()>& fn, const char* call) { return noteUp(b, codeOf(b, fn, call)); }

RLHANDLE make(ZVBase* b, const std::function<RLHANDLE()>& fn, const char* call) {
  RLHANDLE made = nullptr;
  run(
      b, [&] { made = fn(); }, call);
  return made;
}

ZVSession* sessionOf(ZVBase* b) {
  while (b && !dynamic_cast<ZVSession*>(b)) b = parentOf(b);
  return static_cast<ZVSession*>(b);
}

void rememberDatabase(ZVDatabase* database, ZVSession* session) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().sessions[database] = session->GetHandle();
}

void forgetDatabase(ZVDatabase* database) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().sessions.erase(database);
}

void registerOpen(ZVTable* t, const std::string& name, bool exclusive) {
  OpenEntry entry{openKey(Access::database(t), name), logonIdOf(t), exclusive};
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (const auto& [table, other] : registry().opens) {
    if (table == t || other.key != entry.key || other.logon == entry.logon) continue;
    if (exclusive || other.exclusive) fail(RL_BR_CONFLICT, "Table [" + name + "] is open exclusively elsewhere");
  }
  registry().opens[t] = entry;
}

void unregisterOpen(ZVTable* t) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().opens.erase(t);
}

void unregisterDatabase(ZVDatabase* d) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& opens = registry().opens;
  for (auto it = opens.begin(); it != opens.end();) it = Access::database(it->first) == d ? opens.erase(it) : ++it;
}

void unregisterLogon(uint64_t logonId) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& opens = registry().opens;
  for (auto it = opens.begin(); it != opens.end();) it = it->second.logon == logonId ? opens.erase(it) : ++it;
}

// A table another logon holds open exclusively is not deleted under it.
static void requireNotHeldElsewhere(ZVDatabase* d, const std::string& name) {
  std::string key = openKey(d, name);
  uint64_t self = logonIdOf(d);
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (const auto& [table, entry] : registry().opens)
    if (entry.key == key && entry.logon != self)
      fail(RL_BR_CONFLICT, "Table [" + name + "] is open by another session");
}

void rememberRecord(ZVTable* t, ZVRecord* r) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().records[t].insert(r->GetHandle());
}

void forgetRecord(ZVRecord* r) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (auto& [table, set] : registry().records) set.erase(r->GetHandle());
}

// The records the browser allocated on t, taken out of the registry.
static std::set<RLHANDLE> takeRecords(ZVTable* t) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto it = registry().records.find(t);
  if (it == registry().records.end()) return {};
  std::set<RLHANDLE> taken = std::move(it->second);
  registry().records.erase(it);
  return taken;
}

void forgetTable(ZVTable* t) {
  unregisterOpen(t);
  forgetProps(t);
  forgetAlter(t);
  takeRecords(t);
}

void inOneTransaction(ZVTable* t, const std::function<void()>& fn) {
  Logon* logon = Access::logon(t);
  bool own = logon && !logon->inTransaction();
  if (own) t->Begin();
  try {
    fn();
  } catch (...) {
    if (own) t->Abort();
    throw;
  }
  if (own) t->Commit();
}

}  // namespace browser
}  // namespace ravlink_detail

namespace {

Held<ZVBase> anyHandle(RLHANDLE h) { return handleAs<ZVBase>(h); }

int databaseWalk(RLHANDLE session, bool first, char* name, int32_t nameSize, char* path, int32_t pathSize) {
  int rc = first ? rlFirstDatabase(session, name, nameSize, path, pathSize)
                 : rlNextDatabase(session, name, nameSize, path, pathSize);
  return rc == RL_NOT_FOUND ? rc : upOnCode(session, rc);
}

int tableWalk(RLHANDLE database, bool first, char* name, int32_t nameSize, char* path, int32_t pathSize) {
  int rc = first ? rlFirstTable(database, name, nameSize, path, pathSize)
                 : rlNextTable(database, name, nameSize, path, pathSize);
  return rc == RL_NOT_FOUND ? rc : upOnCode(database, rc);
}

}  // namespace

extern "C" {

RLHANDLE zvdbAllocSession(int32_t type) { return rlAllocSession(type); }

int32_t zvdbLogon(RLHANDLE session, const char* server, const char* user, const char* password) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] { s->Logon(server, user, password); });
}

int32_t zvdbSetCurrentNodeName(RLHANDLE session, const char* node) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] {
    Logon* l = Access::logon(s);
    std::lock_guard<std::mutex> lock(l->stats.textMutex);
    std::string text = node ? node : "";
    size_t n = std::min(text.size(), sizeof l->stats.node - 1);
    std::memcpy(l->stats.node, text.data(), n);
    l->stats.node[n] = '\0';
  });
}

int32_t zvdbLogout(RLHANDLE session) {
  auto s = handleAs<ZVSession>(session);
  if (s) unregisterLogon(logonIdOf(s));
  return run(s, [&] { s->Logout(); });
}

void zvdbFreeSession(RLHANDLE session) {
  auto s = handleAs<ZVSession>(session);
  if (!s) return;
  unregisterLogon(logonIdOf(s));
  s.destroy();
}

int32_t zvdbFirstDatabase(RLHANDLE session, char* name, int32_t nameSize, char* path, int32_t pathSize) {
  return databaseWalk(session, true, name, nameSize, path, pathSize);
}

int32_t zvdbNextDatabase(RLHANDLE session, char* name, int32_t nameSize, char* path, int32_t pathSize) {
  return databaseWalk(session, false, name, nameSize, path, pathSize);
}

RLHANDLE zvdbAllocDatabase(RLHANDLE session) {
  auto s = handleAs<ZVSession>(session);
  return make(s, [&] {
    auto* d = new ZVDatabase(s);
    rememberDatabase(d, s);
    return d->GetHandle();
  });
}

int32_t zvdbConnect(RLHANDLE database, const char* name) {
  auto d = handleAs<ZVDatabase>(database);
  return run(d, [&] {
    unregisterDatabase(d);
    d->Connect(name);
  });
}

int32_t zvdbDisconnect(RLHANDLE database) {
  auto d = handleAs<ZVDatabase>(database);
  if (d) unregisterDatabase(d);
  return run(d, [&] { d->Disconnect(); });
}

int32_t zvdbFirstTable(RLHANDLE database, char* name, int32_t nameSize, char* path, int32_t pathSize) {
  return tableWalk(database, true, name, nameSize, path, pathSize);
}

int32_t zvdbNextTable(RLHANDLE database, char* name, int32_t nameSize, char* path, int32_t pathSize) {
  return tableWalk(database, false, name, nameSize, path, pathSize);
}

void zvdbFreeDatabase(RLHANDLE database) {
  auto d = handleAs<ZVDatabase>(database);
  if (!d) return;
  unregisterDatabase(d);
  forgetDatabase(d);
  d.destroy();
}

RLHANDLE zvdbAllocTable(RLHANDLE database) {
  auto d = handleAs<ZVDatabase>(database);
  return make(d, [&] {
    auto* t = new ZVTable(d);
    forgetTable(t);  // nothing of an earlier table at the same address
    return t->GetHandle();
  });
}

void zvdbFreeTable(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  if (!t) return;
  for (RLHANDLE r : takeRecords(t)) rlFreeRecord(r);
  forgetTable(t);
  t.destroy();
}

int32_t zvdbOpenTable(RLHANDLE table, const char* name, int32_t mode) {
  auto t = handleAs<ZVTable>(table);
  bool exclusive = (mode & RL_BR_OPEN_EXCLUSIVE) != 0;
  return run(t, [&] {
    unregisterOpen(t);
    forgetProps(t);
    registerOpen(t, name ? name : "", exclusive);
    try {
      t->Open(name, exclusive ? 1 : 0);
    } catch (...) {
      unregisterOpen(t);
      throw;
    }
  });
}

int32_t zvdbCloseTable(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  if (t) unregisterOpen(t);
  return run(t, [&] { t->Close(); });
}

int32_t zvdbBegin(RLHANDLE handle) {
  auto b = anyHandle(handle);
  return run(b, [&] { b->Begin(); });
}

int32_t zvdbCommit(RLHANDLE handle) {
  auto b = anyHandle(handle);
  return run(b, [&] { b->Commit(); });
}

int32_t zvdbAbort(RLHANDLE handle) {
  auto b = anyHandle(handle);
  return run(b, [&] { b->Abort(); });
}

int32_t zvdbSetDefTimeType(RLHANDLE session, int32_t timeType) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] { s->SetDefTimeType(timeType); });
}

int32_t zvdbAddDatabase(RLHANDLE session, const char* name, const char* path) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] { s->AddDatabase(name, path ? path : ""); });
}

int32_t zvdbCreateDatabase(RLHANDLE session, const char* name, const char* path) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] { s->CreateDatabase(name, path ? path : ""); });
}

int32_t zvdbDropDatabase(RLHANDLE session, const char* name) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] { s->DropDatabase(name); });
}

int32_t zvdbDeleteDatabase(RLHANDLE session, const char* name) {
  auto s = handleAs<ZVSession>(session);
  return run(s, [&] { s->DeleteDatabase(name); });
}

int32_t zvdbAddTableXtd(RLHANDLE database, const char* name, const char* fileName, const char* path) {
  auto d = handleAs<ZVDatabase>(database);
  return run(d, [&] { d->AddTable(name, path ? path : ""); });
}

int32_t zvdbDropTable(RLHANDLE database, const char* name) {
  auto d = handleAs<ZVDatabase>(database);
  return run(d, [&] { d->DropTable(name); });
}

int32_t zvdbDeleteTable(RLHANDLE database, const char* name, const char* password) {
  auto d = handleAs<ZVDatabase>(database);
  return run(d, [&] {
    requireNotHeldElsewhere(d, name ? name : "");
    d->DeleteTable(name, password ? password : "");
    Connection& conn = *Access::connection(d);
    WriteScope write(conn, false);
    dropStoredProps(conn, name);
    write.done();
  });
}

int32_t zvdbGetError(RLHANDLE handle) {
  auto b = anyHandle(handle);
  return b ? b->GetError() : RL_BAD_HANDLE;
}

RLHANDLE zvdbGetSessionHandle(RLHANDLE handle) {
  auto b = anyHandle(handle);
  ZVSession* s = sessionOf(b);
  return s ? s->GetHandle() : nullptr;
}

char _zvdbGetPathSeparator(RLHANDLE) { return '/'; }

}  // extern "C"
