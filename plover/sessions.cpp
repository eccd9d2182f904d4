// The pools of SQL connections keyed by session token, and the reaper that
// closes idle connections and removes pools left empty.
//
// A call finds its pool and pins it under the table's mutex, then works on
// the pool under the pool's own mutex only; the reaper removes a pool only
// when it holds no connection and no call has it pinned, so a pool found is
// never deleted under a call. Log-on runs outside every mutex.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

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

}  // namespace

class SessionPool {
 public:
  SessionPool(std::string connectString, std::string user, std::string password, int maxSize, int idleTimeout)
      : connectString_(std::move(connectString)),
        user_(std::move(user)),
        password_(std::move(password)),
        maxSize_(maxSize),
        idleTimeoutMs_(int64_t(idleTimeout) * 1000) {}

  // An idle connection moved to the used list, or null.
  PooledConnection* takeIdle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ ? nullptr : takeIdleLocked();
  }

  // The session is over: idle connections close now (outside the pool's
  // mutex), those in use when their call gives them back.
  void end() {
    std::vector<std::unique_ptr<PooledConnection>> idle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
      idle.swap(available_);
    }
    changed_.notify_all();  // waiting connects give up at once
  }

  // An idle connection, else a new logged-on one while the pool has room;
  // waits for a busy pool, woken as soon as a connection comes back, room is
  // made or the session ends. Null with code set on failure.
  PooledConnection* acquire(int& code) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kAcquireSeconds);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      PooledConnection* idle = nullptr;
      auto served = [&] { return ended_ || (idle = takeIdleLocked()) != nullptr || size() < maxSize_; };
      if (!changed_.wait_until(lock, deadline, served) || ended_) {
        code = kExhausted;
        return nullptr;
      }
      if (idle) return idle;
      ++opening_;
    }
    std::unique_ptr<PooledConnection> fresh(logOn(code));
    std::lock_guard<std::mutex> lock(mutex_);
    --opening_;
    if (!fresh) {
      changed_.notify_one();  // the room this log-on held is free again
      return nullptr;
    }
    fresh->owner = this;
    used_.push_back(std::move(fresh));
    return used_.back().get();
  }

  void release(PooledConnection* connection) {
    std::unique_ptr<PooledConnection> closing;  // ends after the mutex is released
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ended_) {
        for (auto it = used_.begin(); it != used_.end(); ++it)
          if (it->get() == connection) {
            closing = std::move(*it);
            used_.erase(it);
            break;
          }
      } else {
        if (connection->touch) connection->lastUse = nowMs();
        connection->touch = true;
        for (auto it = used_.begin(); it != used_.end(); ++it)
          if (it->get() == connection) {
            available_.push_back(std::move(*it));
            used_.erase(it);
            break;
          }
      }
      // Under the mutex: once it is released, the reaper may delete a pool
      // this call left empty. One waiting connect can take the connection
      // (or its room).
      changed_.notify_one();
    }
  }

  // Closes connections idle for the time-out; true when the pool is then empty.
  bool cleanIdle() {
    std::vector<std::unique_ptr<PooledConnection>> expired;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      int64_t now = nowMs();
      for (auto it = available_.begin(); it != available_.end();)
        if ((now - (*it)->lastUse) / 1000 * 1000 >= idleTimeoutMs_) {
          expired.push_back(std::move(*it));
          it = available_.erase(it);
        } else {
          ++it;
        }
    }
    expired.clear();  // the SQL connections end outside the pool's mutex
    return empty();
  }

  bool empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return size() == 0;
  }

  int pins = 0;  // calls between lookup and take; guarded by the table's mutex

  // The interrupt check of the pool's connections: a running statement of an
  // ended session, or of a call whose client has gone, stops.
  static int sessionEnded(void* pool) {
    return static_cast<SessionPool*>(pool)->ended_ || VOKTClientGone() != 0 ? 1 : 0;
  }

 private:
  int size() const { return int(available_.size() + used_.size()) + opening_; }

  PooledConnection* takeIdleLocked() {
    if (available_.empty()) return nullptr;
    used_.push_back(std::move(available_.back()));  // the most recently returned one
    available_.pop_back();
    return used_.back().get();
  }

  // A new connection logged on and named to the server; null with code set.
  PooledConnection* logOn(int& code) {
    auto connection = std::make_unique<PooledConnection>();
    connection->handle = sql.zvsqlNewConnection();
    if (!connection->handle) {
      code = 0;
      return nullptr;
    }
    code = sql.zvsqlConnect(connection->handle, connectString_.c_str(), user_.c_str(), password_.c_str());
    if (code != 0) return nullptr;  // the connection's destructor frees the handle
    sql.zvsqlSetInterruptCheck(connection->handle, sessionEnded, this);
    ZVSQL_CMD command = sql.zvsqlNewCommand(connection->handle);
    if (!command) {
      sql.zvsqlDisconnect(connection->handle);
      code = 0;
      return nullptr;
    }
    code = sql.zvsqlExecuteDirect(command, kNodeStatement);
    sql.zvsqlFreeCommand(command);
    if (code != 0) {
      sql.zvsqlDisconnect(connection->handle);
      return nullptr;
    }
    return connection.release();
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // a connection came back, room was made, or the session ended
  std::vector<std::unique_ptr<PooledConnection>> available_, used_;
  int opening_ = 0;  // connections being logged on, counted against the size
  // Disconnected: nothing is taken or kept any more. Read without the mutex by
  // the statements of its connections, which a disconnect interrupts.
  std::atomic<bool> ended_{false};
  const std::string connectString_, user_, password_;
  const int maxSize_;
  const int64_t idleTimeoutMs_;
};

PooledConnection::~PooledConnection() {
  if (handle) sql.zvsqlFreeConnection(handle);
}

int64_t nowMs() { return appkit::monotonicMs(); }

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
  static const size_t limit = [] {
    const char* text = getenv("PLOVER_MAX_POOLS");
    long long most = text != nullptr ? atoll(text) : 0;
    return most > 0 && static_cast<size_t>(most) < kMaxPools ? static_cast<size_t>(most) : kMaxPools;
  }();
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
  if (connection && connection->owner) connection->owner->release(connection);
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
