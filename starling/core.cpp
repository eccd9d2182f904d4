// The broker's process-wide state, logging, the metadata pool guard and the
// key helpers shared by the metadata tables.
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "starling.h"

namespace {

// Threads that want a pooled session while all of them are in use wait here
// to be handed the next one that is released. The pool itself would only
// look again after a second, so a storm of connects or disconnects (each
// writes the metadata tables) would be served some 30 sessions a second.
// A thread that already holds a session goes straight to the pool, so nested
// acquisitions cannot wait on each other here; a wait that outlasts the
// request time-out falls back to the pool's own waiting.
class SessionGate {
 public:
  bool enter(int capacity, int timeoutSeconds) {
    if (depth_ > 0) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    bool free = cv_.wait_for(lock, std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 1),
                             [&] { return inUse_ < capacity; });
    if (!free) return false;
    inUse_++;
    depth_++;
    return true;
  }
  void leave() {
    depth_--;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inUse_--;
    }
    cv_.notify_one();
  }
  // Sessions taken by threads that did not pass the gate count only for
  // themselves: nested holds live within their outer hold.
  void enterNested() { depth_++; }
  void leaveNested() { depth_--; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int inUse_ = 0;
  static thread_local int depth_;
};

thread_local int SessionGate::depth_ = 0;
SessionGate gSessionGate;

}  // namespace

StarlingBroker& starlingBroker() {
  static StarlingBroker broker;
  return broker;
}

void starlingLog(int code, const char* format, ...) {
  LogCallback log = starlingBroker().log;
  if (log == nullptr) return;
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log(text, code);
}

void starlingReportHandlerException(nev_connection* conn, const char* where, const char* what) noexcept {
  starlingLog(-1, "starling - %s: unexpected exception (%s); the connection is closed.", where,
              what != nullptr ? what : "unknown");
  if (conn != nullptr) conn->flags |= NEV_CONN_CLOSE_NOW;
}

void starlingThrow(const char* function, int code, const char* format, ...) {
  char text[YXException::YX_EXCEPTION_MSG_MAX];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw YXException(function, 1, code, text, __FILE__, __LINE__);
}

namespace {
uint64_t tickMsOf(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}
}  // namespace

uint64_t starlingTickMs() { return tickMsOf(CLOCK_MONOTONIC); }

uint64_t starlingCoarseTickMs() { return tickMsOf(CLOCK_MONOTONIC_COARSE); }

bool StarlingLogThrottle::allow(uint64_t* unlogged) {
  uint64_t now = starlingTickMs();
  if (windowStart_ == 0 || now - windowStart_ >= kWindowMs) {
    windowStart_ = now;
    logged_ = 0;
  }
  if (logged_ >= kLinesPerWindow) {
    unlogged_++;
    return false;
  }
  logged_++;
  *unlogged = unlogged_;
  unlogged_ = 0;
  return true;
}

StarlingDb::StarlingDb() : db_(nullptr) {
  StarlingBroker& b = starlingBroker();
  if (b.dbPool == nullptr) starlingThrow("StarlingDb", 10001, "The broker's database pool is not available");
  gated_ = gSessionGate.enter(b.maxDbConnections > 0 ? b.maxDbConnections : 1, b.requestTimeout);
  if (!gated_) gSessionGate.enterNested();
  try {
    db_ = b.dbPool->Acquire(b.dbConfig, b.requestTimeout);
  } catch (...) {
    leaveGate();
    throw;
  }
}

StarlingDb::~StarlingDb() {
  if (db_ != nullptr && starlingBroker().dbPool != nullptr) starlingBroker().dbPool->Release(db_);
  leaveGate();
}

void StarlingDb::leaveGate() {
  if (gated_)
    gSessionGate.leave();
  else
    gSessionGate.leaveNested();
}

ZVRecord* StarlingDb::Record(const char* table, const char* function) {
  ZVRecord* record = db_->GetRecord(table, true);
  if (record == nullptr) starlingThrow(function, 10003, "Not able to retrieve record for the %s table", table);
  return record;
}

StarlingTransaction::~StarlingTransaction() {
  if (!open_) return;
  try {
    db_->Abort();
  } catch (const ZVException& e) {
    starlingLog(e.GetErrorCode(), "starling - Not able to abort a metadata transaction - %s", e.GetErrorMsg());
  }
}

void StarlingTransaction::Commit() {
  open_ = false;
  db_->Commit();
}

uint32_t starlingWordSum(const char* text, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && i + k < length; k++)
      word |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + k])) << (8 * k);
    sum += word;
  }
  return sum;
}

std::string starlingLast100(const std::string& text) {
  if (text.size() <= 100) return text;
  // The stored key leaves out the last character; rows written so far rely on it.
  return text.substr(text.size() - 101, 100);
}

bool starlingFindByLongName(ZVRecord* record, const char* index, const char* keyPrefix, const char* nameField,
                            const std::string& name) {
  const std::string last100 = starlingLast100(name);
  const std::string prefix(keyPrefix);
  auto setKey = [&] {
    record->SetFieldAsString((prefix + "last100").c_str(), last100.c_str());
    record->SetFieldAsSigned((prefix + "size").c_str(), static_cast<int16_t>(name.size()));
    record->SetFieldAsBigint((prefix + "hash").c_str(), starlingWordSum(name.data(), name.size()));
    record->SetFieldAsString(nameField, name.c_str());
  };
  record->Clear();
  record->SetDefaultIndex(index);
  setKey();
  if (record->Find(RL_FIND_EQ) != 0) return true;
  record->Clear();
  setKey();
  return false;
}

int32_t starlingMqttListeningPort() { return starlingBroker().mqttPort; }
