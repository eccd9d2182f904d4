// Store-and-forward delivery over the database engine.
#include "YXStoreAndForward.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

const char* kMetadataDatabase = "brenlox";
const char* kPositionTable = "position";
const char* kCompletedTable = "completed";
const char* kConstructorName = "YXStoreAndForward::YXStoreAndForward";
const char* kSubscribeName = "YXStoreAndForward::Subscribe";
const char* kUnsubscribeName = "YXStoreAndForward::Unsubscribe";
const char* kUpdateName = "YXStoreAndForward::UpdateCompletedPosition";
const char* kCleanName = "YXStoreAndForward::Clean";

// A reader waits on the database at most this long at a time, so that a
// stop request is seen within about this bound.
const int kBlockingReadSeconds = 1;
// Pause after a read error before reading again, in short steps so that a
// stop request ends it.
const int kErrorPauseMs = 1000;
const int kPollStepMs = 10;
// "position" is saved for a group of records, not for each: once the reader
// has caught up with the table, after this many records and after this long.
// A crash before a save hands the records after the saved position out
// again (never loses one), so the group bounds only what a crash repeats.
const int kPositionGroupRecords = 500;
const uint64_t kPositionGroupMs = 200;

const int kClientError4002 = 4002;

// "position" and "completed" have the same shape; only the index differs.
const ZVFieldDescriptor kPositionFields[] = {
    {"databaseName", 162, 66, 4, 0, 0, {0, 0}},
    {"tableName", 162, 66, 4, 0, 0, {0, 0}},
    {"subscriber", 162, 66, 4, 0, 0, {0, 0}},
    {"position", 239, 8, 0, 0, 0, {0, 0}},
};
const ZVSegmentDescriptor kKeySegments[] = {{"databaseName", 12, 0}, {"tableName", 12, 0}, {"subscriber", 12, 0}};
const ZVIndexDescriptor kPositionIndex[] = {{"subsTableIndex", 0, 0, 0, 0, kKeySegments, 3, 0}};
const ZVIndexDescriptor kCompletedIndex[] = {{"compTableIndex", 0, 0, 0, 0, kKeySegments, 3, 0}};

void createMetadataTables(ZVDatabasePooled* connection) {
  connection->CheckTable(kPositionTable, kPositionFields, 4, kPositionIndex, 1);
  connection->CheckTable(kCompletedTable, kPositionFields, 4, kCompletedIndex, 1);
}

std::string format(const char* pattern, const char* a, const char* b = "") {
  char text[YXException::YX_EXCEPTION_MSG_MAX];
  snprintf(text, sizeof text, pattern, a, b);
  return text;
}

[[noreturn]] void fail(const char* function, int kind, int code, const std::string& message) {
  throw YXException(function, kind, code, message.c_str(), __FILE__, __LINE__);
}

// A connection of the engine's own: logged on, and the calling thread's
// client owner given back at once (ConnectionUse makes it current again).
std::unique_ptr<ZVDatabasePooled> logOn(ZVDatabaseConfig* config) {
  std::unique_ptr<ZVDatabasePooled> connection(new ZVDatabasePooled(config));
  connection->Init();
  connection->OnRelease();
  return connection;
}

// Makes the connection's client owner current for a scope, and gives the
// thread its own back however the scope is left.
class ConnectionUse {
 public:
  explicit ConnectionUse(ZVDatabasePooled* connection) : connection_(connection) { connection_->OnAcquire(); }
  ~ConnectionUse() { connection_->OnRelease(); }
  ConnectionUse(const ConnectionUse&) = delete;
  ConnectionUse& operator=(const ConnectionUse&) = delete;

 private:
  ZVDatabasePooled* connection_;
};

void setKey(ZVRecord* record, const std::string& database, const std::string& table, const char* subscriber) {
  record->SetFieldAsString("databaseName", database.c_str());
  record->SetFieldAsString("tableName", table.c_str());
  record->SetFieldAsString("subscriber", subscriber);
}

// Positions record on the subscriber's row, inserting it with position when
// there is none. True when the row was there before.
bool findOrInsertRow(ZVRecord* record, const std::string& database, const std::string& table, const char* subscriber,
                     int64_t position) {
  record->Clear();
  setKey(record, database, table, subscriber);
  if (record->Find(RL_FIND_EQ)) return true;
  record->Clear();
  setKey(record, database, table, subscriber);
  record->SetFieldAsBigint("position", position);
  record->Write();
  record->Clear();
  setKey(record, database, table, subscriber);
  if (!record->Find(RL_FIND_EQ)) throw ZVException(RL_NOT_FOUND, "The row just written is missing", __FILE__, __LINE__);
  return false;
}

// Runs work inside a transaction of connection; any failure aborts it before
// it goes on.
template <class Work>
void inTransaction(ZVDatabase* connection, Work&& work) {
  connection->Begin();
  try {
    work();
  } catch (...) {
    try {
      connection->Abort();
    } catch (const ZVException&) {
    }
    throw;
  }
  connection->Commit();  // a failed commit leaves no transaction behind
}

}  // namespace

struct YXStoreAndForward::Subscriber {
  YX_STOREANDFORWARD_THREAD_DATA data;
  YX_THREAD thread = nullptr;
  std::unique_ptr<ZVRecord> completion;  // on the engine's "completed" table
  bool stopping = false;                 // Unsubscribe has it; the name is still taken
};

// ---- reader thread --------------------------------------------------------------------

namespace {

// One subscriber's reader: its own logons on "brenlox" and on the source
// database. The records belong to the connections' caches.
class Reader {
 public:
  explicit Reader(YX_STOREANDFORWARD_THREAD_DATA& data)
      : data_(data),
        engine_(*data.engine),
        metadataConfig_(engine_.GetServer().c_str(), engine_.GetUser().c_str(), engine_.GetPassword().c_str(),
                        kMetadataDatabase),
        sourceConfig_(engine_.GetServer().c_str(), engine_.GetUser().c_str(), engine_.GetPassword().c_str(),
                      engine_.GetDatabaseName().c_str()) {}

  void Run() {
    if (!step(&Reader::connect, "Not able to connect to Store & Forward database for subscribing to [%s] - %s")) return;
    if (!step(&Reader::findStartingPoint, "Not able to (re)position Store & Forward subscribing to [%s] - %s")) return;
    // Ready: Subscribe returns now, so the engine mutex is free while the
    // records a returning subscriber never confirmed go out again.
    int32_t starting = 0;
    if (!data_.state.compare_exchange_strong(starting, 1)) return;
    if (returning_ &&
        !step(&Reader::resumeReturningSubscriber, "Not able to (re)position Store & Forward subscribing to [%s] - %s"))
      return;
    if (!setBlocking(true)) return;
    readLoop();
    // Stopped, or the callback refused a record: what went out is saved.
    step(&Reader::savePosition, "Not able to save Store & Forward position of [%s] - %s");
  }

  void report(int code, const std::string& message) {
    snprintf(data_.message, sizeof data_.message, "%s", message.c_str());
    data_.code = code;
  }

 private:
  const char* table() const { return engine_.GetTableName().c_str(); }

  // Runs one setup step; a failure is reported with pattern (table, client
  // message) and ends the reader.
  bool step(void (Reader::*work)(), const char* pattern) {
    try {
      (this->*work)();
      return true;
    } catch (const ZVException& e) {
      report(e.GetErrorCode(), format(pattern, table(), e.GetErrorMsg()));
    } catch (const YXException& e) {
      report(e.GetErrorCode(), format(pattern, table(), e.GetErrorMsg()));
    }
    return false;
  }

  void connect() {
    metadata_ = logOn(&metadataConfig_);
    metadata_->OnAcquire();  // this thread's own logons from now on
    createMetadataTables(metadata_.get());
    position_ = metadata_->GetRecord(kPositionTable, true);
    completed_ = metadata_->GetRecord(kCompletedTable, true);
    sourceConnection_ = logOn(&sourceConfig_);
    source_ = sourceConnection_->GetRecord(engine_.GetTableName().c_str(), true);
    source_->SetDefaultIndex(RL_ROWID_INDEX);
  }

  bool findOwnRow(ZVRecord* record) {
    record->Clear();
    setKey(record, engine_.GetDatabaseName(), engine_.GetTableName(), data_.name);
    return record->Find(RL_FIND_EQ) != 0;
  }

  // A subscriber with a "position" row is returning; one without is new.
  // "position" is saved in groups and may lag behind what went out before a
  // crash, while "completed" may already be past it: every record up to
  // "completed" was confirmed, so the reader goes on after the later of the
  // two (the records in between went out, were confirmed, and need not come
  // again).
  void findStartingPoint() {
    if (findOwnRow(position_)) {
      returning_ = true;
      handedOut_ = std::max(position_->GetFieldAsBigint("position"), data_.completedPosition);
      completedBefore_ = data_.completedPosition;
      savedPosition_ = deliveredPosition_ = handedOut_;
      return;
    }
    startNewSubscriber();
  }

  void resumeReturningSubscriber() {
    redeliverUnconfirmed();
    // Then on from where the last reader stopped; a purged or deleted record
    // there leaves the reader on the record before it, or on the next one.
    if (source_->FindRowid(handedOut_, RL_FIND_LE)) return;
    if (source_->FindRowid(handedOut_, RL_FIND_GE)) {
      deliverCurrentFirst_ = true;
      return;
    }
    readFirst_ = true;
  }

  // No row yet: start after the last record, or (mode 1) on the maxStored-th
  // record from the end. An empty table starts at 0 and reads with First.
  // "completed" is set just before the first record this subscriber gets, so
  // that a restart before any confirmation hands those records out again.
  void startNewSubscriber() {
    int64_t start = 0, completed = 0;
    if (source_->Last()) {
      if (data_.mode == YX_SF_MODE_STORED_MESSAGES) {
        positionOnStored();
        deliverCurrentFirst_ = true;
        start = source_->GetRowid();
        completed = start - 1;
      } else {
        start = completed = source_->GetRowid();
      }
    } else {
      readFirst_ = true;
    }
    inTransaction(metadata_.get(), [&] {
      findOrInsertRow(position_, engine_.GetDatabaseName(), engine_.GetTableName(), data_.name, start);
      position_->SetFieldAsBigint("position", start);
      position_->Write();
      findOrInsertRow(completed_, engine_.GetDatabaseName(), engine_.GetTableName(), data_.name, completed);
      completed_->SetFieldAsBigint("position", completed);
      completed_->Write();
    });
    if (!findOwnRow(position_))
      throw ZVException(RL_NOT_FOUND, "The position row just written is missing", __FILE__, __LINE__);
    handedOut_ = completedBefore_ = start;
    savedPosition_ = deliveredPosition_ = start;
  }

  void positionOnStored() {
    if (data_.maxStored <= 0) {
      source_->First();
      return;
    }
    try {
      source_->JumpTo(1 - static_cast<int64_t>(data_.maxStored));
    } catch (const ZVException& e) {
      if (e.GetErrorCode() != RL_BEFORE_START) throw;
      source_->First();
    }
  }

  // Records after "completed" up to the last one handed out went to the
  // subscriber before but were never confirmed: they go out again, in order.
  // A "completed" record that was purged meanwhile falls back to the first
  // record there is. The results are not checked: these records are past.
  void redeliverUnconfirmed() {
    if (completedBefore_ >= handedOut_) return;
    int found = source_->FindRowid(completedBefore_, RL_FIND_GT);
    while (found && source_->GetRowid() <= handedOut_ && running()) {
      data_.callback(source_, data_.context);
      if (source_->GetRowid() == handedOut_) break;
      found = source_->Next();
    }
  }

  bool running() const { return data_.state == 1; }

  void sleepWhileRunning(int ms) {
    for (int waited = 0; waited < ms && running(); waited += kPollStepMs) yxSleep(kPollStepMs);
  }

  // Keeps this subscriber at or below rate records per second: every record
  // waits until 1000 / rate ms have passed since the previous delivery,
  // however short the time since then (zero included).
  void pace() {
    if (data_.rate <= 0) return;
    uint64_t interval = 1000 / static_cast<uint64_t>(data_.rate);
    uint64_t now = yxTickCount64();
    if (delivered_ && now - lastDelivery_ < interval) {
      sleepWhileRunning(static_cast<int>(interval - (now - lastDelivery_)));
      now = yxTickCount64();
    }
    lastDelivery_ = now;
    delivered_ = true;
  }

  bool setBlocking(bool blocking) {
    if (blocking_ == blocking) return true;
    int rc = rlSetBlockingRead(source_->GetHandle(), blocking ? kBlockingReadSeconds : 0, 0);
    if (rc != 0) {
      report(rc, format("Not able to set blocking read for Store & Forward subscribing to [%s]", table()));
      return false;
    }
    blocking_ = blocking;
    return true;
  }

  // Hands the current source record to the callback; once it took it, the
  // record counts toward the next save of "position". The callback runs
  // outside any transaction, so a slow peer never holds the metadata file
  // that confirmations and the other readers write. False ends the reader.
  bool deliverCurrent() {
    pace();
    int result = data_.callback(source_, data_.context);
    if (result != 0) {
      char message[256];
      snprintf(message, sizeof message, "Store & Forward callback failed [%s] - %d", table(), result);
      report(result, message);
      return false;
    }
    deliveredPosition_ = source_->GetRowid();
    if (++unsaved_ == 1) firstUnsavedTick_ = yxTickCount64();
    if (unsaved_ >= kPositionGroupRecords || yxTickCount64() - firstUnsavedTick_ >= kPositionGroupMs) savePosition();
    return true;
  }

  // Moves "position" to the last record handed out, in a short transaction.
  void savePosition() {
    if (deliveredPosition_ == savedPosition_) {
      unsaved_ = 0;
      return;
    }
    int64_t delivered = deliveredPosition_;
    inTransaction(metadata_.get(), [&] {
      position_->SetFieldAsBigint("position", delivered);
      position_->Write();
    });
    savedPosition_ = delivered;
    unsaved_ = 0;
  }

  // The next record: read at once while records are unsaved, so that the
  // reader saves "position" as soon as it has caught up, before it waits on
  // the database for new records.
  int readNext() {
    if (!setBlocking(unsaved_ == 0)) return -1;
    int found = readFirst_ ? source_->First() : source_->Next();
    if (!found && unsaved_ > 0) {
      savePosition();
      return 0;
    }
    if (!found) sleepWhileRunning(kErrorPauseMs);
    return found;
  }

  void readLoop() {
    while (running()) {
      try {
        if (deliverCurrentFirst_) {
          deliverCurrentFirst_ = false;
          if (!deliverCurrent()) return;
          continue;
        }
        int found = readNext();
        if (found < 0) return;
        if (!found) continue;
        readFirst_ = false;
        if (!deliverCurrent()) return;
      } catch (const ZVException& e) {
        if (e.GetErrorCode() == RL_WAIT_TIMED_OUT) continue;  // the wait itself was the pause
        if (e.GetErrorCode() != RL_WAIT_INTERRUPTED)
          report(e.GetErrorCode(),
                 format("Not able to read next Store & Forward for table [%s] - %s", table(), e.GetErrorMsg()));
        sleepWhileRunning(kErrorPauseMs);
      } catch (const YXException& e) {
        report(e.GetErrorCode(),
               format("Not able to read next Store & Forward for table [%s] - %s", table(), e.GetErrorMsg()));
        sleepWhileRunning(kErrorPauseMs);
      }
    }
  }

  YX_STOREANDFORWARD_THREAD_DATA& data_;
  YXStoreAndForward& engine_;
  ZVDatabaseConfig metadataConfig_, sourceConfig_;
  // Connections last: their records go with them, before their configs.
  std::unique_ptr<ZVDatabasePooled> metadata_, sourceConnection_;
  ZVRecord* position_ = nullptr;
  ZVRecord* completed_ = nullptr;
  ZVRecord* source_ = nullptr;
  int64_t handedOut_ = 0;        // "position" when the reader started
  int64_t completedBefore_ = 0;  // "completed" when the reader started
  bool returning_ = false;
  bool readFirst_ = false;            // no record to stand on: the next read is First
  bool deliverCurrentFirst_ = false;  // the starting point is itself undelivered
  bool delivered_ = false;
  uint64_t lastDelivery_ = 0;
  bool blocking_ = false;          // the source record's reads wait for new records
  int64_t savedPosition_ = 0;      // "position" as saved
  int64_t deliveredPosition_ = 0;  // the last record the callback took
  int unsaved_ = 0;                // records taken since the last save
  uint64_t firstUnsavedTick_ = 0;
};

void readerMain(void* param) {
  auto* data = static_cast<YX_STOREANDFORWARD_THREAD_DATA*>(param);
  try {
    Reader reader(*data);
    try {
      reader.Run();
    } catch (const std::exception& e) {
      reader.report(YX_SF_ALLOC, format("Store & Forward reader of [%s] failed - %s", data->name, e.what()));
    } catch (...) {
      reader.report(YX_SF_ALLOC, format("Store & Forward reader of [%s] failed", data->name));
    }
  } catch (...) {
    // The reader could not even be built (its configuration copies).
    if (data->code == 0) {
      snprintf(data->message, sizeof data->message, "Not able to allocate Brenlox C++ objects");
      data->code = YX_SF_ALLOC;
    }
  }
  data->state = 2;
}

void checkName(const char* function, const char* name, const char* missingMessage) {
  if (!name || !*name) fail(function, YX_KIND_ARGUMENT, YX_SF_NAME_MISSING, missingMessage);
  if (strlen(name) >= static_cast<size_t>(YX_STOREANDFORWARD_THREAD_DATA::kNameSize))
    fail(function, YX_KIND_ARGUMENT, YX_SF_NAME_TOO_LONG,
         format("Not able to subscribe to the Store & Forward instance. Subscriber name is longer than 63 bytes [%s]",
                name));
}

}  // namespace

// ---- engine ---------------------------------------------------------------------------

YXStoreAndForward::YXStoreAndForward(const char* server, const char* databaseName, const char* tableName,
                                     const char* user, const char* password)
    : server_(server ? server : ""),
      user_(user ? user : ""),
      password_(password ? password : ""),
      databaseName_(databaseName ? databaseName : ""),
      tableName_(tableName ? tableName : ""),
      completionConfig_(server, user, password, kMetadataDatabase) {
  try {
    ZVDatabasePooled::CheckDatabase(&completionConfig_);
    completion_ = logOn(&completionConfig_);
    ConnectionUse use(completion_.get());
    createMetadataTables(completion_.get());
  } catch (const ZVException& e) {
    fail(kConstructorName, YX_KIND_OPERATION, e.GetErrorCode(), e.GetErrorMsg());
  } catch (const YXException& e) {
    fail(kConstructorName, YX_KIND_OPERATION, e.GetErrorCode(), e.GetErrorMsg());
  }
}

YXStoreAndForward::~YXStoreAndForward() {
  try {
    UnsubscribeAll();
  } catch (...) {
  }
  subscribers_.clear();  // their completion records before the connection
}

void YXStoreAndForward::Subscribe(const char* name, YXStoreAndForwardCallback callback, void* context) {
  checkName(kSubscribeName, name, "Not able to subscribe to the Store & Forward instance. Missing subscriber name");
  if (!callback)
    fail(kSubscribeName, YX_KIND_ARGUMENT, YX_SF_NAME_MISSING,
         "Not able to subscribe to the Store & Forward instance. Missing callback");
  std::lock_guard<std::mutex> hold(mutex_);
  if (subscribers_.count(name))
    fail(kSubscribeName, YX_KIND_ARGUMENT, YX_SF_NAME_IN_USE,
         format("Not able to subscribe to the Store & Forward instance. Subscriber name is already in use [%s]", name));
  std::shared_ptr<Subscriber> subscriber;
  try {
    subscriber = std::make_shared<Subscriber>();
  } catch (const std::bad_alloc&) {
    fail(kSubscribeName, YX_KIND_ARGUMENT, YX_SF_ALLOC,
         format("Not able to allocate memory for subscribing [%s] to the Store & Forward instance", name));
  }
  YX_STOREANDFORWARD_THREAD_DATA& data = subscriber->data;
  try {
    ConnectionUse use(completion_.get());
    subscriber->completion.reset(new ZVRecord(completion_->FindActive(kCompletedTable)));
    findOrInsertRow(subscriber->completion.get(), databaseName_, tableName_, name, 0);
    data.completedPosition = subscriber->completion->GetFieldAsBigint("position");
  } catch (const ZVException& e) {
    fail(kSubscribeName, YX_KIND_OPERATION, e.GetErrorCode(),
         format("Not able to add subscriber [%s] to the Store & Forward completion control list - %s", name,
                e.GetErrorMsg()));
  }
  snprintf(data.name, sizeof data.name, "%s", name);
  data.engine = this;
  data.rate = deliveryRate;
  data.mode = deliveryMode;
  data.maxStored = maxStoredMessages;
  data.callback = callback;
  data.context = context;
  // Listed before the reader starts, so that a callback may confirm at once.
  subscribers_[name] = subscriber;
  try {
    subscriber->thread = yxThrdCreate(readerMain, &data);
  } catch (...) {
    subscribers_.erase(name);
    throw;
  }
  while (data.state == 0) yxSleep(kPollStepMs);  // a failing reader ends with state 2
  if (data.state != 1) {
    yxThrdJoin(subscriber->thread);
    subscribers_.erase(name);
    fail(kSubscribeName, YX_KIND_ARGUMENT, data.code ? static_cast<int>(data.code) : YX_SF_ALLOC,
         format("Not able to create thread for subscribing [%s] to the Store & Forward instance - %s", name,
                data.message));
  }
}

// Marks the subscriber as stopping and asks its reader to stop, under the
// mutex; the caller joins without it.
std::shared_ptr<YXStoreAndForward::Subscriber> YXStoreAndForward::takeForStop(const char* name) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = subscribers_.find(name);
  if (found == subscribers_.end() || found->second->stopping)
    fail(kUnsubscribeName, YX_KIND_ARGUMENT, YX_SF_NAME_NOT_FOUND,
         format("Not able to unsubscribe to the Store & Forward instance [%s]. Subscriber name not found", name));
  std::shared_ptr<Subscriber> subscriber = found->second;
  subscriber->stopping = true;
  subscriber->completion.reset();
  subscriber->data.state = 2;
  return subscriber;
}

void YXStoreAndForward::joinAndForget(const std::shared_ptr<Subscriber>& subscriber) {
  yxThrdJoin(subscriber->thread);
  subscriber->thread = nullptr;
  std::lock_guard<std::mutex> hold(mutex_);
  subscribers_.erase(subscriber->data.name);
}

void YXStoreAndForward::Unsubscribe(const char* name) {
  if (!name || !*name)
    fail(kUnsubscribeName, YX_KIND_ARGUMENT, YX_SF_NAME_MISSING,
         "Not able to unsubscribe to the Store & Forward instance. Missing subscriber name");
  joinAndForget(takeForStop(name));
}

void YXStoreAndForward::UnsubscribeAll() {
  std::vector<std::shared_ptr<Subscriber>> stopping;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& entry : subscribers_) {
      if (entry.second->stopping) continue;
      entry.second->stopping = true;
      entry.second->completion.reset();
      entry.second->data.state = 2;
      stopping.push_back(entry.second);
    }
  }
  for (auto& subscriber : stopping) joinAndForget(subscriber);
}

void YXStoreAndForward::UpdateCompletedPosition(const char* name, int64_t position) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!completion_)
    fail(kUpdateName, YX_KIND_OPERATION, kClientError4002, "Missing record list for completion control");
  auto found = subscribers_.find(name ? name : "");
  if (found == subscribers_.end() || !found->second->completion)
    fail(kUpdateName, YX_KIND_OPERATION, RL_KEY_PRESENT, "Subscriber is not found in the completion control list");
  ZVRecord* record = found->second->completion.get();
  ConnectionUse use(completion_.get());
  try {
    record->Lock(4);
    try {
      record->Read();
      if (position > record->GetFieldAsBigint("position")) {
        record->SetFieldAsBigint("position", position);
        record->Write();
      }
    } catch (...) {
      record->Unlock();
      throw;
    }
    record->Unlock();
  } catch (const ZVException& e) {
    fail(kUpdateName, YX_KIND_OPERATION, e.GetErrorCode(), e.GetErrorMsg());
  }
}

void YXStoreAndForward::Clean() {
  std::lock_guard<std::mutex> hold(mutex_);
  try {
    ZVDatabaseConfig config(server_.c_str(), user_.c_str(), password_.c_str(), kMetadataDatabase);
    std::unique_ptr<ZVDatabasePooled> connection = logOn(&config);
    ConnectionUse use(connection.get());
    inTransaction(connection.get(), [&] {
      for (const char* tableName : {kPositionTable, kCompletedTable}) {
        ZVRecord* record = connection->GetRecord(tableName, true);
        record->Clear();
        record->SetFieldAsString("databaseName", databaseName_.c_str());
        record->SetFieldAsString("tableName", tableName_.c_str());
        try {
          record->SetBatch(4, 128, 0);
        } catch (const ZVException& e) {
          if (e.GetErrorCode() != RL_NOT_FOUND) throw;
        }
        record->EndBatch();
      }
    });
  } catch (const ZVException& e) {
    fail(kCleanName, YX_KIND_OPERATION, e.GetErrorCode(), e.GetErrorMsg());
  } catch (const YXException& e) {
    fail(kCleanName, YX_KIND_OPERATION, e.GetErrorCode(), e.GetErrorMsg());
  }
}

int YXStoreAndForward::GetDeliveryMode(const char* text) {
  if (text && strcmp(text, "NewMessages") == 0) return YX_SF_MODE_NEW_MESSAGES;
  if (text && strcmp(text, "StoredMessages") == 0) return YX_SF_MODE_STORED_MESSAGES;
  if (text && strcmp(text, "default") == 0) return YX_SF_MODE_DEFAULT;
  fail("GetDeliveryMode", YX_KIND_ARGUMENT, YX_SF_BAD_DELIVERY_MODE, "Invalid new subscriber delivery mode");
}

const char* YXStoreAndForward::GetDeliveryModeString(int mode) {
  switch (mode) {
    case YX_SF_MODE_NEW_MESSAGES:
      return "NewMessages";
    case YX_SF_MODE_STORED_MESSAGES:
      return "StoredMessages";
    case YX_SF_MODE_DEFAULT:
      return "default";
    default:
      fail("GetDeliveryModeString", YX_KIND_ARGUMENT, YX_SF_BAD_DELIVERY_MODE, "Invalid new subscriber delivery mode");
  }
}
