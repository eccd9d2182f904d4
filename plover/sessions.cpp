// The pools of SQL connections keyed by session token, and the reaper that
// closes idle connections and removes pools left empty.
//
// Each session's connections live in a YXPool. A call finds its pool and
// pins it under the table's mutex, then works on the pool under the pool's
// own mutex only; the reaper removes a pool only when it holds no
// connection and no call has it pinned, so a pool found is never deleted
// under a call. Log-on runs outside every mutex.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <map>
#include <mutex>

#include "VOKTBasic.h"
#include "appkit.h"
#include "plover.h"

namespace plover {

namespace {

constexpr int kExhausted = 8004;
// Pools held at once (each holds its log-ons until it idles out): a connect
// that would make one more is refused as exhausted. PLOVER_MAX_POOLS lowers
// it for tests.
constexpr size_t kMaxPools = 1024;
constexpr int kAcquireSeconds = 10;  // a connect waits up to 10 s for a busy pool
constexpr const char* kNodeStatement = "call yx_set_nodename('Web Server - plover')";

// What a session's connections log on with; its pool owns it.
struct SessionConfig : YXConfig {
  SessionConfig(std::string connect, std::string name, std::string secret)
      : connectString(std::move(connect)), user(std::move(name)), password(std::move(secret)) {}
  bool Compare(YXConfig* other) override { return other == this; }
  const std::string connectString, user, password;
  // The pool's blocked flag: set once the session has ended. Read without a
  // mutex by the statements of its connections, which a disconnect interrupts.
  const std::atomic<uint8_t>* ended = nullptr;
};

// A log-on the SQL client refused, with its code (0 when no connection or
// command could be made at all).
struct LogOnFailed {
  int code;
};

// The interrupt check of a session's connections: a running statement of an
// ended session, or of a call whose client has gone, stops.
int sessionEnded(void* config) {
  return static_cast<SessionConfig*>(config)->ended->load() != 0 || VOKTClientGone() != 0 ? 1 : 0;
}

}  // namespace

class SessionPool {
 public:
  SessionPool(std::string connectString, std::string user, std::string password, int maxSize, int idleTimeout)
      : pool_(new SessionConfig(std::move(connectString), std::move(user), std::move(password)), maxSize, idleTimeout) {
    config()->ended = &pool_.blocked;
  }

  // An idle connection, or null (none idle, or the session has ended).
  PooledConnection* takeIdle() {
    try {
      return pool_.AcquireNoWait();
    } catch (const YXException&) {
      return nullptr;
    }
  }

  // The session is over: idle connections close now, those in use when
  // their call gives them back, and waiting connects give up at once.
  void end() { pool_.Shut(); }

  // An idle connection, else a new logged-on one while the pool has room;
  // waits for a busy pool, woken as soon as a connection comes back, room is
  // made or the session ends. Null with code set on failure.
  PooledConnection* acquire(int& code) {
    try {
      return pool_.Acquire(config(), kAcquireSeconds);
    } catch (const LogOnFailed& refused) {
      code = refused.code;
    } catch (const YXException&) {
      code = kExhausted;  // still busy at the end of the wait, or the session ended
    }
    return nullptr;
  }

  void release(PooledConnection* connection) { pool_.Release(connection); }

  // Closes connections idle for the time-out; true when the pool is then empty.
  bool cleanIdle() {
    try {
      pool_.CleanIdle();
    } catch (const YXException&) {
      // The connections are gone even when one failed to close; the pool's state holds.
    }
    return empty();
  }

  bool empty() {
    YXMutexLock hold(pool_.mutex);
    return pool_.usedCount + pool_.availableCount == 0;
  }

  int pins = 0;  // calls between lookup and take, or giving back; guarded by the table's mutex

 private:
  SessionConfig* config() { return static_cast<SessionConfig*>(pool_.config); }

  YXPool<PooledConnection> pool_;
};

void PooledConnection::Init() {
  auto* session = static_cast<SessionConfig*>(config);
  handle = sql.zvsqlNewConnection();
  if (!handle) throw LogOnFailed{0};
  int code = sql.zvsqlConnect(handle, session->connectString.c_str(), session->user.c_str(), session->password.c_str());
  if (code != 0) throw LogOnFailed{code};  // the pool deletes the connection, which frees the handle
  sql.zvsqlSetInterruptCheck(handle, sessionEnded, session);
  ZVSQL_CMD command = sql.zvsqlNewCommand(handle);
  if (!command) {
    sql.zvsqlDisconnect(handle);
    throw LogOnFailed{0};
  }
  code = sql.zvsqlExecuteDirect(command, kNodeStatement);
  sql.zvsqlFreeCommand(command);
  if (code != 0) {
    sql.zvsqlDisconnect(handle);
    throw LogOnFailed{code};
  }
}

void PooledConnection::Close() {
  if (handle) sql.zvsqlFreeConnection(handle);
  handle = nullptr;
}

void PooledConnection::OnRelease() {
  if (touch) YXPooledObj::OnRelease();
  touch = true;
}

PooledConnection::~PooledConnection() { Close(); }

int64_t nowMs() { return int64_t(yxTickCount64()); }

namespace {

struct SessionTable {
  std::recursive_mutex mutex;
  std::map<std::string, std::unique_ptr<SessionPool>> pools;
};

constexpr auto kReaperPause = std::chrono::seconds(5);

SessionTable* table = nullptr;
appkit::IdleReaper* reaper = nullptr;
int poolSize = 2;
int idleTimeout = 300;

size_t poolLimit() {
  static const size_t limit =
      static_cast<size_t>(appkit::limitFromEnvironment("PLOVER_MAX_POOLS", int64_t(kMaxPools), int64_t(kMaxPools)));
  return limit;
}

// The token's pool pinned, made when create is set and there is room; null
// when unknown or full.
SessionPool* pinPool(const std::string& token, bool create, const std::string& connectString, const std::string& user,
                     const std::string& password) {
  std::lock_guard<std::recursive_mutex> lock(table->mutex);
  auto found = table->pools.find(token);
  if (found == table->pools.end()) {
    if (!create || table->pools.size() >= poolLimit()) return nullptr;
    auto pool = std::make_unique<SessionPool>(connectString, user, password, poolSize, idleTimeout);
    found = table->pools.emplace(token, std::move(pool)).first;
  }
  ++found->second->pins;
  return found->second.get();
}

// Unpins; a pool left empty and unpinned (a failed log-on) is removed.
void unpinPool(const std::string& token, SessionPool* pool) {
  std::lock_guard<std::recursive_mutex> lock(table->mutex);
  if (--pool->pins == 0 && pool->empty()) table->pools.erase(token);
}

void reapTurn() {
  std::lock_guard<std::recursive_mutex> lock(table->mutex);
  for (auto it = table->pools.begin(); it != table->pools.end();)
    if (it->second->cleanIdle() && it->second->pins == 0)
      it = table->pools.erase(it);
    else
      ++it;
}

}  // namespace

namespace {

// Calls in flight; term closes the gate and waits for them before it frees
// the pools they may be using.
struct CallGate {
  std::mutex mutex;
  std::condition_variable idle;
  int inFlight = 0;
  bool closed = false;
} gate;

}  // namespace

bool enterCall() {
  std::lock_guard<std::mutex> lock(gate.mutex);
  if (gate.closed) return false;
  ++gate.inFlight;
  return true;
}

void leaveCall() {
  std::lock_guard<std::mutex> lock(gate.mutex);
  if (--gate.inFlight == 0) gate.idle.notify_all();
}

void closeCallsAndWait() {
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.closed = true;
  gate.idle.wait(lock, [] { return gate.inFlight == 0; });
}

void openCalls() {
  std::lock_guard<std::mutex> lock(gate.mutex);
  gate.closed = false;
}

void setPoolSettings(int size, int timeoutSeconds) {
  poolSize = size;
  idleTimeout = timeoutSeconds;
}

PooledConnection* getOrCreateSessionPool(const std::string& token, const std::string& connectString,
                                         const std::string& user, const std::string& password, int& code) {
  code = 0;
  if (!table) return nullptr;
  SessionPool* pool = pinPool(token, true, connectString, user, password);
  if (!pool) {
    code = kExhausted;
    return nullptr;
  }
  PooledConnection* connection = pool->acquire(code);
  if (connection) connection->owner = pool;
  unpinPool(token, pool);
  return connection;
}

PooledConnection* findSessionConnection(const char* token, int& code) {
  code = 0;
  if (!token || !table) return nullptr;
  SessionPool* pool = pinPool(token, false, "", "", "");
  if (!pool) return nullptr;
  PooledConnection* connection = pool->takeIdle();
  if (connection)
    connection->owner = pool;
  else
    code = kExhausted;
  unpinPool(token, pool);
  return connection;
}

void endSession(const char* token) {
  if (!token || !table) return;
  SessionPool* pool = pinPool(token, false, "", "", "");
  if (!pool) return;
  pool->end();  // the reaper removes it once its calls in flight gave their connections back
  unpinPool(token, pool);
}

void releaseConnection(PooledConnection* connection) {
  if (!connection || !connection->owner) return;
  SessionPool* pool = connection->owner;
  // Pinned while it takes the connection back: a connection it closes (an
  // ended session, an idle time-out of 0) may leave the pool empty, and the
  // reaper must not remove it before the pool is done.
  {
    std::lock_guard<std::recursive_mutex> lock(table->mutex);
    ++pool->pins;
  }
  pool->release(connection);
  std::lock_guard<std::recursive_mutex> lock(table->mutex);
  --pool->pins;
}

int startReaper(char* error) {
  try {
    table = new SessionTable();
    reaper = new appkit::IdleReaper();
    reaper->start(kReaperPause, reapTurn);
    return 0;
  } catch (const std::system_error& e) {
    snprintf(error, 1024, "Couldn't create thread - %s", e.what());
    delete reaper;
    reaper = nullptr;
    return e.code().value() ? e.code().value() : -1;
  }
}

void stopReaper() {
  delete reaper;  // stops and joins its thread
  reaper = nullptr;
  // Connections still in use at unload are left to the process's end.
  delete table;
  table = nullptr;
}

}  // namespace plover
