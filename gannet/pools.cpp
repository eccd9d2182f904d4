// Connection pools per (server, database, user, password), their reaper,
// and the "database" resource, which logs on per request instead.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>  // std::shared_lock
#include <vector>

#include <strings.h>

#include "ZVDatabasePooled.h"
#include "appkit.h"
#include "gannet.h"
#include "yxlogon.h"

namespace gannet {

namespace {

constexpr int kDefaultIdleSeconds = 60;
constexpr auto kReaperPeriod = std::chrono::seconds(5);
constexpr int kAcquireTries = 10;

}  // namespace

// A pool and the requests between finding it and giving their connection
// back: a pool is removed only when it holds no connection and no request
// holds it. users grows only under the list's mutex (shared or not) and is
// read for removal under it alone, so a request counted there keeps the
// entry; it leaves without the mutex, and no longer touches the entry then.
struct PoolEntry {
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool;
  std::atomic<int> users{0};
};

namespace {

// Requests find their pool under the shared lock, so that they do not queue
// behind each other; adding and removing pools takes it alone.
struct PoolList {
  YXSharedMutex mutex;
  std::vector<std::unique_ptr<PoolEntry>> entries;
  int idleSeconds = kDefaultIdleSeconds;
  appkit::IdleReaper reaper;
};

PoolList* pools = nullptr;

bool poolIsEmpty(YXPool<ZVDatabasePooled>& pool) { return pool.Size() == 0; }

// Under the list mutex: removes the entry when nothing uses it.
void dropIfUnused(PoolEntry* entry) {
  if (entry->users > 0 || !poolIsEmpty(*entry->pool)) return;
  auto& list = pools->entries;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& e) { return e.get() == entry; }), list.end());
}

// Under the list's mutex: the entry of key's pool, counted as used, or null.
PoolEntry* useExisting(ZVDatabaseConfig* key) {
  for (auto& entry : pools->entries)
    if (entry->pool->config->Compare(key)) {
      ++entry->users;
      return entry.get();
    }
  return nullptr;
}

PoolEntry* findPool(const char* server, const char* database, const char* user, const char* password) {
  auto key = std::make_unique<ZVDatabaseConfig>(server, user, password, database);
  {
    std::shared_lock<YXSharedMutex> lookup(pools->mutex);
    if (PoolEntry* found = useExisting(key.get())) return found;
  }
  std::lock_guard<YXSharedMutex> lock(pools->mutex);
  if (PoolEntry* found = useExisting(key.get())) return found;  // added meanwhile
  auto entry = std::make_unique<PoolEntry>();
  entry->pool = std::make_unique<YXPool<ZVDatabasePooled>>(key.release(), kPoolSize, pools->idleSeconds);
  entry->users = 1;
  pools->entries.push_back(std::move(entry));
  return pools->entries.back().get();
}

// One pass: idle connections closed, pools left empty removed.
void cleanPools() {
  std::lock_guard<YXSharedMutex> lock(pools->mutex);
  std::vector<PoolEntry*> all;
  for (auto& entry : pools->entries) all.push_back(entry.get());
  for (PoolEntry* entry : all) {
    try {
      entry->pool->CleanIdle();
    } catch (const YXException&) {
      // a connection that fails to close is gone all the same
    }
    dropIfUnused(entry);
  }
}

bool sameText(const char* a, const char* b, bool ignoreCase) {
  if (!a || !b) return a == b;
  return ignoreCase ? strcasecmp(a, b) == 0 : std::strcmp(a, b) == 0;
}

// Closes every idle pooled connection to database on server, whoever logged
// it on: the engine deletes a database only when no connection has it open,
// and the pool's own idle ones must not stand in the way. Connections a
// request holds are left alone.
void closeIdleConnectionsTo(const char* server, const char* database) {
  std::lock_guard<YXSharedMutex> lock(pools->mutex);  // the reaper also reads idleTimeout under it
  std::vector<PoolEntry*> matching;
  for (auto& entry : pools->entries) {
    auto* config = static_cast<ZVDatabaseConfig*>(entry->pool->config);
    if (sameText(config->server, server, false) && sameText(config->database, database, true))
      matching.push_back(entry.get());
  }
  for (PoolEntry* entry : matching) {
    int idleSeconds = entry->pool->idleTimeout;
    entry->pool->idleTimeout = 0;  // every idle connection counts as expired for this pass
    try {
      entry->pool->CleanIdle();
    } catch (const YXException&) {
      // a connection that fails to close is gone all the same
    }
    entry->pool->idleTimeout = idleSeconds;
    dropIfUnused(entry);
  }
}

// ---- log-on accounting ----

yx::LogonGuard& logonGuard() {
  static yx::LogonGuard guard("gannet", [](const std::string& line) { logLine(line); });
  return guard;
}

// The engine compares user names without case: so does the accounting, or
// "admin" and "ADMIN" would be counted apart.
std::string userKeyOf(const Caller& caller) {
  std::string user = caller.user ? caller.user : "";
  for (char& c : user) c = char(std::tolower(static_cast<unsigned char>(c)));
  return user;
}

bool refusedCredentials(int code) { return code == RL_WRONG_PASSWORD || code == RL_UNKNOWN_USER; }

// Counts the outcome of a log-on that checked the caller's password.
void countLogon(const Caller& caller, int code) {
  if (refusedCredentials(code))
    logonGuard().failed(userKeyOf(caller), caller.address);
  else if (code == 0)
    logonGuard().succeeded(userKeyOf(caller), caller.address);
}

int idleSecondsFromEnvironment() {
  const char* text = std::getenv("GANNET_IDLE_TIMEOUT");
  int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : kDefaultIdleSeconds;
}

}  // namespace

bool startPools(char* error, size_t errorSize) {
  try {
    auto list = std::make_unique<PoolList>();
    list->idleSeconds = idleSecondsFromEnvironment();
    pools = list.release();
    pools->reaper.start(kReaperPeriod, cleanPools);
    return true;
  } catch (const std::exception& e) {
    std::snprintf(error, errorSize, "gannet cannot start its connection pools: %s", e.what());
    delete pools;
    pools = nullptr;
    return false;
  }
}

void stopPools() {
  if (!pools) return;
  pools->reaper.stop();
  delete pools;  // each pool waits up to 10 s for connections in use, then closes its idle ones
  pools = nullptr;
}

ConnectionLease::ConnectionLease(const Caller& caller, const char* database) {
  if (!pools) {
    code_ = YX_ERR_POOL_BLOCKED;
    return;
  }
  bool proven = false;  // the key's pool holds connections: its password logged on before
  try {
    entry_ = findPool(caller.server, database, caller.user, caller.password);
    proven = !poolIsEmpty(*entry_->pool);
    if (!proven) logonGuard().beforeAttempt(userKeyOf(caller), caller.address);
    connection_ = entry_->pool->Acquire(entry_->pool->config, kAcquireTries);
    connection_->SetUserTag(entry_);
    connection_->SetDefDateType(1);
    connection_->SetDefTimeType(10);
  } catch (const YXException& e) {
    code_ = e.GetErrorCode();
  } catch (const ZVException& e) {
    if (!connection_) code_ = e.GetErrorCode();  // the date and time types are a preference only
  } catch (const std::bad_alloc&) {
    code_ = YX_ERR_ALLOC;
  }
  if (!proven) countLogon(caller, code_);
}

ConnectionLease::~ConnectionLease() {
  if (!entry_) return;
  if (connection_) {
    entry_->pool->Release(connection_);
    // The pool keeps the connection (or the reaper removes it once empty).
    --entry_->users;
    return;
  }
  std::lock_guard<YXSharedMutex> lock(pools->mutex);
  --entry_->users;
  dropIfUnused(entry_);  // a failed logon leaves no pool behind
}

RLHANDLE ConnectionLease::database() const { return connection_ ? connection_->GetHandle() : nullptr; }

// ---- the database resource -----------------------------------------------------------

namespace {

// A session of its own for one request, freed on every path.
struct OwnSession {
  RLHANDLE handle = rlAllocSession(2);
  ~OwnSession() {
    if (handle) rlFreeSession(handle);
  }
};

// rlLogon with the caller's credentials, slowed and counted like the pooled log-ons.
int guardedLogon(RLHANDLE session, const Caller& caller) {
  logonGuard().beforeAttempt(userKeyOf(caller), caller.address);
  int rc = rlLogon(session, caller.server, caller.user, caller.password);
  countLogon(caller, rc);
  return rc;
}

int logoutStatus(RLHANDLE session, int status, json_object* reply) {
  int rc = rlLogout(session);
  if (rc != 0 && status == 200) return setError(reply, rc, "can't disconnect", 500);
  return status;
}

}  // namespace

int postDatabase(const Caller& caller, const char* name, json_object* reply) {
  OwnSession session;
  if (!session.handle) return setError(reply, kClientNoMemory, "out of memory", 500);
  int rc = guardedLogon(session.handle, caller);
  if (rc == 12) {
    int created = rlCreateSession(session.handle, caller.server, caller.user, caller.password);
    if (created != 0) return setError(reply, created, "can't create session", 500);
    rc = guardedLogon(session.handle, caller);
    if (rc != 0) return setError(reply, rc, "can't create connection", 500);
  } else if (rc != 0) {
    return setError(reply, rc, "can't create session", 500);
  }
  int status = 200;
  if (zvdbIsActiveSession(session.handle)) {
    rc = rlCreateDatabase(session.handle, name, 0);
    if (rc != 0) status = setError(reply, rc, "can't create database", 500);
    status = logoutStatus(session.handle, status, reply);
  }
  return status;
}

int getDatabases(const Caller& caller, json_object* reply) {
  json_object* names = json_object_new_array();
  if (!names) return setError(reply, kOutOfMemory, "out of memory", 500);
  OwnSession session;
  if (!session.handle) {
    json_object_put(names);
    return setError(reply, kClientNoMemory, "out of memory", 500);
  }
  int rc = guardedLogon(session.handle, caller);
  if (rc != 0) {
    json_object_put(names);
    return setError(reply, rc, "can't create connection", 500);
  }
  int status = 200;
  if (zvdbIsActiveSession(session.handle)) {
    char name[255], path[255];
    for (rc = rlFirstDatabase(session.handle, name, sizeof name, path, sizeof path); rc == 0;
         rc = rlNextDatabase(session.handle, name, sizeof name, path, sizeof path))
      json_object_array_add(names, json_object_new_string(name));
    if (rc != RL_NOT_FOUND) status = setError(reply, rc, "can't retrieve the list of databases", 500);
    status = logoutStatus(session.handle, status, reply);
  }
  if (status == 200)
    json_object_object_add(reply, "_databases", names);
  else
    json_object_put(names);
  return status;
}

int deleteDatabase(const Caller& caller, const char* name, json_object* reply) {
  OwnSession session;
  if (!session.handle) return setError(reply, kClientNoMemory, "out of memory", 500);
  int rc = guardedLogon(session.handle, caller);
  if (rc != 0) return setError(reply, rc, "can't create connection", 500);
  int status = 200;
  if (zvdbIsActiveSession(session.handle)) {
    if (pools) closeIdleConnectionsTo(caller.server, name);
    rc = rlDeleteDatabase(session.handle, name);
    if (rc != 0) status = setError(reply, rc, "can't delete database", 500);
    status = logoutStatus(session.handle, status, reply);
  }
  return status;
}

}  // namespace gannet
