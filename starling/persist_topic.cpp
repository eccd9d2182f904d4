// MQTTPersist: one persisted topic's configuration, extractor binding,
// connection pool, queue, persistence threads and acknowledgements, and the
// registry of persisted topics.
#include <dlfcn.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "persist.h"

namespace {

// Registry of persisted topics. Publishers look topics up under the shared
// lock and keep a reference while they queue.
std::shared_mutex gRegistryLock;
// Ordered by name; found by any text form of the name (a PUBLISH's slice
// needs no string of its own).
std::map<std::string, std::shared_ptr<MQTTPersist>, std::less<>> gRegistry;
std::atomic<size_t> gRegistryCount{0};

constexpr size_t kQueueCapacity = 1048576;
// Messages written in one transaction by one thread: enough to group commits
// under load, small enough to keep acknowledgements prompt (a batch of 1,024
// small rows commits in a few milliseconds). A deep queue is shared out in
// larger groups (up to kMaxBatchSize): fewer commits and fewer hand-overs of
// the database's write lock, which its writers hold one after another.
constexpr size_t kBatchSize = 1024;
constexpr size_t kMaxBatchSize = 4096;
// Payload bytes one batch takes at most (at least one message): its values
// are extracted before the transaction, and a topic with child tables keeps
// every message of the batch prepared (about 40 bytes a JSON value) until
// the commit, so it takes fewer.
constexpr uint64_t kMaxBatchBytes = 4u << 20;
constexpr uint64_t kMaxChildBatchBytes = 512u << 10;
// The extractor keeps at most 65,536 messages prepared at once. A topic
// without child tables holds one per thread at a time; one with child
// tables a whole batch, so its batches hold at most this many messages:
// with every persistence thread of the broker at it, the extractor's bound
// still holds.
constexpr size_t kExtractorMaxPrepared = 65536;
// Payload bytes held by the queues and batches of every topic together;
// past it a message is not taken (QoS 0 dropped, QoS 1/2 not acknowledged
// and its publisher closed, as when a queue is full).
constexpr uint64_t kMaxQueuedBytes = 256u << 20;
std::atomic<uint64_t> gQueuedBytes{0};

uint64_t heldBytes(const MQTTPersistMsg* msg) { return msg->payloadLength + 64; }
constexpr int32_t kMaxThreads = 64;
// Persistence threads of all topics together. Each holds a pooled database
// connection and a stack while it runs; a command that would start more is
// refused, so commands cannot pile threads up without end.
constexpr int32_t kMaxTotalThreads = 256;
static_assert(kExtractorMaxPrepared / kMaxTotalThreads >= 1, "every thread may prepare a message");
std::atomic<int32_t> gTotalThreads{0};

bool reserveThreads(int32_t count) {
  int32_t running = gTotalThreads.load();
  do {
    if (running + count > kMaxTotalThreads) return false;
  } while (!gTotalThreads.compare_exchange_weak(running, running + count));
  return true;
}

[[noreturn]] void refuseThreads(const char* function, const char* topic, int32_t count) {
  starlingThrow(function, 10015,
                "Not able to start %d persistence threads for topic [%s]: the persisted topics run %d of at most %d",
                count, topic, gTotalThreads.load(), kMaxTotalThreads);
}

// Bounds of a command's mapping, checked before the command runs: the work
// an operation does under the administration mutex stays within them.
constexpr int kMaxMappedElements = 1024;  // elements of every map of a command together
constexpr int kMaxMapDepth = 8;           // child tables inside child tables
constexpr int32_t kMaxFieldCount = 1024;  // "fieldCount" of one element
constexpr int64_t kMaxTableColumns = 1500;  // mapped columns of one table (SQLite allows 2000)

void checkMap(json_object* map, int depth, int* elements) {
  const char* fn = "MQTTPersist::CheckCommandBounds";
  if (depth > kMaxMapDepth)
    starlingThrow(fn, 10001, "Child tables are nested deeper than %d levels in mapOfPropertiesToFields", kMaxMapDepth);
  int n = zvJsonArrayLength(map);
  int64_t columns = 0;
  for (int i = 0; i < n; i++) {
    if (++*elements > kMaxMappedElements)
      starlingThrow(fn, 10001, "mapOfPropertiesToFields holds more than %d elements", kMaxMappedElements);
    json_object* element = zvJsonArrayGetIdx(map, i);
    int32_t count = 1;
    if (zvJsonGetIntByName(element, "fieldCount", &count) && count > kMaxFieldCount)
      starlingThrow(fn, 10001, "fieldCount %d is above %d", count, kMaxFieldCount);
    columns += count > 1 ? count : 1;
    if (columns > kMaxTableColumns)
      starlingThrow(fn, 10001, "mapOfPropertiesToFields maps more than %lld columns to one table",
                    static_cast<long long>(kMaxTableColumns));
    json_object* nested = nullptr;
    if (zvJsonGetArrayByName(element, "mapOfPropertiesToFields", &nested)) checkMap(nested, depth + 1, elements);
  }
}

const char* textOr(json_object* json, const char* key, const char* fallback) {
  const char* text = nullptr;
  return zvJsonGetStringByName(json, key, &text) ? text : fallback;
}

bool boolOr(json_object* json, const char* key, bool fallback) {
  bool value = fallback;
  return zvJsonGetBooleanByName(json, key, &value) ? value : fallback;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::function<ZVDateTime()> MQTTPersist::clock = [] { return ZVDateTime::CurrentDateTime(); };

MQTTPersist::Persistence::~Persistence() { zvJsonRelease(config); }

// ---- configuration ----

void MQTTPersist::CheckCommandBounds(json_object* command) {
  json_object* map = nullptr;
  int elements = 0;
  if (command != nullptr && zvJsonGetArrayByName(command, "mapOfPropertiesToFields", &map))
    checkMap(map, 1, &elements);
}

bool MQTTPersist::ThreadsAvailable(int32_t more) {
  return more <= 0 || gTotalThreads.load() + more <= kMaxTotalThreads;
}

void MQTTPersist::_readSettings(ZVDatabaseConfig* brokerConfig, json_object* config, Settings& s) {
  const char* fn = "MQTTPersist::MQTTPersist";
  StarlingBroker& b = starlingBroker();
  int32_t threads = 1;
  if (zvJsonGetIntByName(config, "persistenceTopicThreads", &threads) && (threads < 1 || threads > kMaxThreads))
    starlingThrow(fn, 10015, "persistenceTopicThreads [%d] is out of limits (1 to %d)", threads, kMaxThreads);
  s.threads = threads;
  auto fromBroker = [&](const char* key, char* ZVDatabaseConfig::*member, const char* fallback) {
    const char* given = textOr(config, key, nullptr);
    if (given != nullptr) return std::string(given);
    if (brokerConfig != nullptr && brokerConfig->*member != nullptr) return std::string(brokerConfig->*member);
    return std::string(fallback);
  };
  const char* localServer = b.dbConfig != nullptr && b.dbConfig->server != nullptr ? b.dbConfig->server : "BRENLOXS";
  s.connection = fromBroker("databaseConnectionString", &ZVDatabaseConfig::server, localServer);
  s.user = fromBroker("databaseUserName", &ZVDatabaseConfig::user, "ADMIN");
  s.password = fromBroker("databaseUserPassword", &ZVDatabaseConfig::password, "TRUVE");
  s.database = fromBroker("databaseName", &ZVDatabaseConfig::database, "quarnSQL");
  persistCheckIdentifier(s.database.c_str(), "database name");
  const char* text = nullptr;
  if (zvJsonGetStringByName(config, "defaultBinaryFormat", &text)) s.binFormat = GetMQTTBinFormat(text);
  if (zvJsonGetStringByName(config, "defaultNumberFormat", &text)) s.numberFormat = GetMQTTNumberFormat(text);
  if (zvJsonGetStringByName(config, "defaultDateFormat", &text)) s.dateFormat = GetMQTTDateFormat(text);
  if (zvJsonGetStringByName(config, "defaultTimeFormat", &text)) s.timeFormat = GetMQTTTimeFormat(text);
  std::string table = textOr(config, "tableName", GetTopic());
  for (char& c : table)
    if (c == '/') c = '_';
  s.tableName = lower(table);
  persistCheckTableName(s.tableName.c_str(), "table name");
  s.autoTimeStamp = boolOr(config, "tableAutoTimeStamp", true);
  s.timeStampIndex = boolOr(config, "tableAutoTimeStampIndex", true);
  s.replication = boolOr(config, "tableReplicationReady", true);
  if (zvJsonGetStringByName(config, "tableRetentionUnit", &text)) s.purgeUnit = GetPurgeUnit(text);
  if (s.purgeUnit != MQTTPURGEUNIT_NONE) {
    int32_t period = 0;
    zvJsonGetIntByName(config, "tableRetentionPeriod", &period);
    if (period == 0) {
      s.purgeUnit = MQTTPURGEUNIT_NONE;
    } else {
      ValidatePurgePeriod(s.purgeUnit, period);
      s.purgePeriod = period;
      s.autoTimeStamp = true;
    }
  }
  s.extractor = textOr(config, "extractorLibraryName", "starlingjson");
  persistCheckLibraryName(s.extractor.c_str());
  bool storeForward = boolOr(config, "storeAndForward", false);
  json_object* schema = nullptr;
  if (!storeForward && zvJsonGetByName(config, "messageSchema", &schema) && schema != nullptr)
    starlingThrow("MQTTPersist::MQTTPersist(pCTJson)", 10030,
                  "Couldn't create persistence for topic [%s]. Schema transformation is enabled by property [%s], but "
                  "schema transformation is supported only when Store&Forward is enabled. Please review property [%s] "
                  "in the command requested.",
                  GetTopic(), "messageSchema", "storeAndForward");
}

void persistCheckOwnPath(const char* path, bool autoTimeStamp) {
  // The built-in time stamp is keyed "ts" among the fields: a property of
  // that path would silently give way to it.
  if (autoTimeStamp && strcasecmp(path, "ts") == 0)
    starlingThrow("MQTTPersist::MQTTPersist", 10001,
                  "The property path [%s] is the table's own time stamp (tableAutoTimeStamp): map it under another "
                  "path or turn tableAutoTimeStamp off",
                  path);
}

void MQTTPersist::_buildFields(json_object* config) {
  json_object* map = nullptr;
  int n = zvJsonGetArrayByName(config, "mapOfPropertiesToFields", &map) ? zvJsonArrayLength(map) : 0;
  for (int i = 0; i < n; i++) {
    json_object* element = zvJsonArrayGetIdx(map, i);
    const char* path = textOr(element, "propertyPath", nullptr);
    if (path == nullptr)
      starlingThrow("MQTTPersist::MQTTPersist", 10004, "Missing propertyPath in mapOfPropertiesToFields element");
    persistCheckOwnPath(path, autoTimeStamp_);
    const char* child = textOr(element, "childTableName", nullptr);
    if (child != nullptr && child[0] != '\0') {
      if (children_.count(path) == 0) children_[path] = std::make_unique<MQTTPersistChildTable>(element, this);
    } else if (fields_.count(path) == 0) {
      fields_[path] = std::make_unique<MQTTPersistField>(element, this);
    }
  }
  mapFields_ = n > 0;
  if (!mapFields_) fields_["source_payload"].reset(MQTTPersistField::NewSourcePayloadField());
  if (autoTimeStamp_) fields_["ts"].reset(MQTTPersistField::NewTimestampField());
  persistCheckDistinctColumns(fields_);
}

void persistCheckDistinctColumns(const MQTTPersistFieldTable& fields) {
  // Two mapped properties may not name one column.
  std::unordered_set<std::string> columns;
  for (const auto& [path, field] : fields)
    for (const std::string& column : field->ColumnNames())
      if (!columns.insert(lower(column)).second)
        starlingThrow("MQTTPersist::MQTTPersist", 10001, "The column [%s] is mapped twice in mapOfPropertiesToFields",
                      column.c_str());
}

MQTTPersist::MQTTPersist(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config, LogCallback log,
                         int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize)
    // Whoever created it, a topic's refusals reach the broker's log.
    : MQTTSubscription(log != nullptr ? log : starlingBroker().log) {
  SetTopic(topic);
  acquireTimeout_ = acquireTimeout > 0 ? acquireTimeout : 10;
  idleTimeout_ = idleTimeout > 0 ? idleTimeout : 60;
  poolMaxSize_ = poolMaxSize > 0 ? poolMaxSize : 32;
  Settings s;
  _readSettings(brokerConfig, config, s);
  connection_ = s.connection, user_ = s.user, password_ = s.password, database_ = s.database;
  tableName_ = s.tableName, extractorName_ = s.extractor;
  threadCount_ = s.threads;
  defaultBinFormat_ = s.binFormat, defaultNumberFormat_ = s.numberFormat;
  defaultDateFormat_ = s.dateFormat, defaultTimeFormat_ = s.timeFormat;
  autoTimeStamp_ = s.autoTimeStamp, timeStampIndex_ = s.timeStampIndex, replication_ = s.replication;
  purgeUnit_ = s.purgeUnit, purgePeriod_ = s.purgePeriod;
  _buildFields(config);
  _bindPool(idleTimeout_, poolMaxSize_);
  // Last: once the client thread runs, nothing here may throw without
  // stopping it (the destructor of a half-built object does not run).
  try {
    _startExternal(config);
  } catch (...) {
    _stopSubscription();
    _leavePool();
    throw;
  }
}

void MQTTPersist::_startExternal(json_object* config) {
  externalBroker_ = boolOr(config, "subscribeToExternalBroker", false);
  if (!externalBroker_) return;
  SetBrokerHost(textOr(config, "brokerHostname", nullptr));
  int32_t port = 1883;
  if (zvJsonGetIntByName(config, "brokerPort", &port)) SetBrokerPort(port);
  if (const char* user = textOr(config, "brokerUserName", nullptr)) SetBrokerUser(user);
  if (const char* pass = textOr(config, "brokerUserPassword", nullptr)) SetBrokerPass(pass);
  if (const char* cert = textOr(config, "brokerSSLCert", nullptr)) SetBrokerSSLCert(cert);
  _startSubscription();
}

MQTTPersist::~MQTTPersist() {
  // The client thread calls ProcessPub and the persistence threads use the
  // fields: both stop before anything is torn down.
  _stopSubscription();
  _stopPersistQueue();
  _leavePool();
}

// ---- pool ----

void MQTTPersist::_bindPool(int32_t idleTimeout, int32_t poolMaxSize) {
  StarlingBroker& b = starlingBroker();
  auto* wanted = new ZVDatabaseConfig(connection_.c_str(), user_.c_str(), password_.c_str(), database_.c_str());
  std::lock_guard<std::mutex> lock(b.poolListMutex);
  for (auto* pool : b.poolList) {
    if (pool->config != nullptr && pool->config->Compare(wanted)) {
      delete wanted;
      pool_ = pool;
      poolConfig_ = static_cast<ZVDatabaseConfig*>(pool->config);
      YXMutexLock hold(pool_->mutex);
      pool_->shareCount++;
      return;
    }
  }
  try {
    pool_ = new YXPool<ZVDatabasePooled>(wanted, poolMaxSize, idleTimeout);
    b.poolList.push_back(pool_);
  } catch (...) {
    delete pool_;
    pool_ = nullptr;
    delete wanted;
    throw;
  }
  poolConfig_ = wanted;
  YXMutexLock hold(pool_->mutex);
  pool_->shareCount = 1;
}

void MQTTPersist::_leavePool() noexcept {
  if (pool_ == nullptr) return;
  StarlingBroker& b = starlingBroker();
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(b.poolListMutex);
    {
      YXMutexLock hold(pool_->mutex);
      if (pool_->shareCount > 0) pool_->shareCount--;
      last = pool_->shareCount == 0;
    }
    if (last) {
      for (auto it = b.poolList.begin(); it != b.poolList.end(); ++it)
        if (*it == pool_) {
          b.poolList.erase(it);
          break;
        }
    }
  }
  if (last) delete pool_;  // owns its configuration
  pool_ = nullptr;
  poolConfig_ = nullptr;
}

ZVDatabaseLease MQTTPersist::AcquireConn(ZVRecord** record) {
  ZVDatabaseLease db(pool_, poolConfig_, acquireTimeout_);
  try {
    ZVRecord* cached = db->GetRecord(tableName_.c_str(), false);
    if (cached == nullptr) {
      bool opened = false;
      ZVTable* table = persistOpenTable(db.get(), tableName_.c_str(), &opened);
      if (opened) {
        table->SetDefDateType(MQTTPersistField::GetFieldDateFormat(defaultDateFormat_));
        table->SetDefTimeType(MQTTPersistField::GetFieldTimeFormat(defaultTimeFormat_));
        _setFieldFormats(table);
      }
      cached = db->GetRecord(tableName_.c_str(), true);
    }
    *record = cached;
    return db;
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersist::AcquireConn", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

ZVTable* persistOpenTable(ZVDatabasePooled* db, const char* name, bool* opened) {
  ZVTable* table = db->FindActive(name);
  *opened = table == nullptr;
  if (table != nullptr) return table;
  table = new ZVTable(db);
  try {
    table->Open(name, 0);
  } catch (...) {
    delete table;
    throw;
  }
  return table;  // the connection closes it with its other tables
}

void MQTTPersist::_setFieldFormats(ZVTable* table) {
  for (const auto& [path, field] : fields_)
    if (field->format != MQTTFORMAT_NONE) field->UpdateFieldFormat(table);
}

// ---- extractor ----

void MQTTPersist::_loadExtractor() {
  const char* fn = "MQTTPersist::_loadExtractor";
  const std::string& web = starlingBroker().webDirectory;
  char path[4096];
  int n = snprintf(path, sizeof path, "%s/%s.so", web.empty() ? "web" : web.c_str(), extractorName_.c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof path)
    starlingThrow(fn, 10001, "Not able to load Extractor library [%s]: the path is too long", extractorName_.c_str());
  // The library stays loaded: every topic that names it binds it again.
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) starlingThrow(fn, 10019, "Not able to load Extractor library [%s]: %s", path, dlerror());
  auto bind = [&](const char* name) {
    void* entry = dlsym(library, name);
    if (entry == nullptr)
      starlingThrow(fn, 10019, "Not able to load %s() entry point from Web Application library [%s]: %d", name, path,
                    10019);
    return entry;
  };
  extractor_.extract = reinterpret_cast<decltype(extractor_.extract)>(bind("mqttExtract"));
  extractor_.extractList = reinterpret_cast<decltype(extractor_.extractList)>(bind("mqttExtractList"));
  extractor_.validate = reinterpret_cast<decltype(extractor_.validate)>(bind("mqttValidate"));
  extractor_.prepare = reinterpret_cast<decltype(extractor_.prepare)>(bind("mqttPrepare"));
  extractor_.release = reinterpret_cast<decltype(extractor_.release)>(bind("mqttRelease"));
}

void persistValidatePath(const MQTTExtractor& ex, const std::string& path) {
  char error[1024] = {};
  int32_t rc = ex.validate(path.c_str(), error);
  if (rc != 0) starlingThrow("MQTTPersist::_validateProps", rc, "%s", error);
}

void MQTTPersist::_validateProps() {
  for (const auto& [path, field] : fields_)
    if (field->hasPath) persistValidatePath(extractor_, field->propertyPath);
  std::function<void(const MQTTPersistChildTableMap&)> children = [&](const MQTTPersistChildTableMap& map) {
    for (const auto& [path, child] : map) {
      persistValidatePath(extractor_, child->propertyPath);
      for (const auto& [p, f] : child->fields)
        if (f->hasPath) persistValidatePath(extractor_, f->propertyPath);
      children(child->children);
    }
  };
  children(children_);
}

void MQTTPersist::CreateStart() {
  try {
    _loadExtractor();
    _validateProps();
    _createTable();
    _startPersistQueue();
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersist::CreateStart()", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
}

// ---- queue and threads ----

void MQTTPersist::_startPersistQueue() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stopping_ = false;
  }
  writtenFields_.clear();
  for (const auto& [path, field] : fields_)
    if (strcasecmp(field->fieldName.c_str(), "ts") != 0 && strcasecmp(field->fieldName.c_str(), "target_payload") != 0)
      writtenFields_.push_back(field.get());
  if (!reserveThreads(threadCount_)) refuseThreads("MQTTPersist::_startPersistQueue", GetTopic(), threadCount_);
  reservedThreads_ = threadCount_;
  try {
    for (int i = 0; i < threadCount_; i++) threads_.emplace_back([this] { _persistenceThread(); });
  } catch (const std::system_error& e) {
    _stopPersistQueue();  // the threads already started end
    starlingThrow("MQTTPersist::_startPersistQueue", 10006, "Not able to start persistence thread - %s", e.what());
  }
  running_ = true;
}

void MQTTPersist::_stopPersistQueue() noexcept {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    running_ = false;  // no new message; the queued ones are written
    stopping_ = true;
  }
  queueReady_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
  gTotalThreads -= reservedThreads_;
  reservedThreads_ = 0;
  std::lock_guard<std::mutex> lock(queueMutex_);
  for (const auto& msg : queue_) gQueuedBytes -= heldBytes(msg.get());  // none left after a drain
  queue_.clear();
}

bool MQTTPersist::Queue(std::unique_ptr<MQTTPersistMsg> msg) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  if (!running_ || stopping_ || queue_.size() >= kQueueCapacity) return false;
  if (gQueuedBytes.load() + heldBytes(msg.get()) > kMaxQueuedBytes) return false;
  gQueuedBytes += heldBytes(msg.get());
  // A thread waits for a batch only while none can be taken: the queue
  // empty, or a batch already being prepared (its start of writing wakes
  // one). Other messages find a thread on its way, not one per message.
  bool wake = queue_.empty() && !batchPreparing_;
  queue_.push_back(std::move(msg));
  lock.unlock();
  if (wake) queueReady_.notify_one();
  return true;
}

void MQTTPersist::ProcessPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength,
                             uint16_t packetId, int qos) {
  Queue(std::make_unique<MQTTPersistMsg>(topic, topicLength, payload, payloadLength, packetId,
                                         static_cast<uint8_t>(qos)));
}

void MQTTPersist::_persistenceThread() {
  MQTTPersistBatch batch;
  MQTTPersistStage stage(*this);
  for (;;) {
    uint64_t turn;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueReady_.wait(lock, [&] { return (!queue_.empty() && !batchPreparing_) || stopping_; });
      if (queue_.empty()) return;  // stopping and drained
      batchPreparing_ = true;
      // Half a thread's share: the rest of the queue starts the next commit
      // while this one is written, so acknowledgements keep flowing.
      size_t share = queue_.size() / (2 * static_cast<size_t>(threadCount_));
      size_t limit = std::min(kMaxBatchSize, std::max(kBatchSize, share));
      uint64_t maxBytes = kMaxBatchBytes;
      if (HasChildTable()) {
        limit = std::min(limit, kExtractorMaxPrepared / kMaxTotalThreads);
        maxBytes = kMaxChildBatchBytes;
      }
      uint64_t bytes = 0;
      while (!queue_.empty() && batch.size() < limit &&
             (batch.empty() || bytes + queue_.front()->payloadLength <= maxBytes)) {
        bytes += queue_.front()->payloadLength;
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      turn = batchesTaken_++;
    }
    // Parsing and extraction happen here, before the transaction: the
    // database's write lock is held only for the inserts and the commit.
    for (const auto& msg : batch) stage.Add(*msg);
    std::vector<bool> unwritten(batch.size(), false);
    {
      std::lock_guard<std::mutex> writing(writeTurn_);
      _startNextBatch();
      try {
        ZVRecord* record = nullptr;
        ZVDatabaseLease db = AcquireConn(&record);
        if (!_writeBatch(db.get(), record, batch, stage, false, unwritten))
          _writeBatch(db.get(), record, batch, stage, true, unwritten);
      } catch (const YXException& e) {
        char line[1400];
        snprintf(line, sizeof line, "starling - Failed to persist MQTT message for topic [%s] - %s", GetTopic(),
                 e.GetErrorMsg());
        Log(line, e.GetErrorCode());
        unwritten.assign(batch.size(), true);  // no connection: nothing was written
      }
    }
    stage.Clear();
    _acknowledgeInTurn(turn, batch, unwritten);
    for (const auto& msg : batch) gQueuedBytes -= heldBytes(msg.get());
    batch.clear();
  }
}

// The batch being prepared has its turn to write: another thread may take
// the next one from what queued up meanwhile.
void MQTTPersist::_startNextBatch() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    batchPreparing_ = false;
    if (queue_.empty()) return;
  }
  queueReady_.notify_one();
}

namespace {

// A row the table refuses for its own values (a duplicate key, a value that
// does not fit, a constraint): written again, it fails the same way.
bool refusedByTable(int code, const char* message) {
  if (code == RL_DUPLICATE_KEY || code == RL_BAD_VALUE || code == RL_VALUE_TOO_LONG || code == RL_UNKNOWN_FIELD ||
      code == 10007)
    return true;
  return code == RL_STORAGE_ERROR && message != nullptr &&
         (strstr(message, "constraint failed") != nullptr || strstr(message, "datatype mismatch") != nullptr);
}

}  // namespace

namespace {

// How one transaction ended: committed, or the failure's code and text and
// whether it came from a row (rather than from the database as a whole).
struct TransactionResult {
  bool committed = false;
  bool inRow = false;
  int code = 0;
  std::string message;
  // A refused row can never be written; any other failure may pass.
  bool rowRefused() const { return inRow && refusedByTable(code, message.c_str()); }
};

template <class WriteRows>
TransactionResult writeTransaction(ZVDatabasePooled* db, WriteRows writeRows) {
  TransactionResult result;
  try {
    db->Begin();
    result.inRow = true;
    writeRows();
    result.inRow = false;
    db->Commit();
    result.committed = true;
    return result;
  } catch (const YXException& e) {
    result.code = e.GetErrorCode(), result.message = e.GetErrorMsg();
  } catch (const ZVException& e) {
    result.code = e.GetErrorCode(), result.message = e.GetErrorMsg();
  }
  try {
    db->Abort();
  } catch (const ZVException&) {
  }
  return result;
}

}  // namespace

bool MQTTPersist::_writeBatch(ZVDatabasePooled* db, ZVRecord* record, const MQTTPersistBatch& batch,
                              const MQTTPersistStage& stage, bool oneByOne, std::vector<bool>& unwritten) {
  auto log = [&](const TransactionResult& failed, size_t count, bool acknowledged) {
    char line[1400];
    snprintf(line, sizeof line, "starling - Failed to persist %zu MQTT message(s) for topic [%s] - %s%s", count,
             GetTopic(), failed.message.c_str(), acknowledged ? "" : " (not acknowledged)");
    Log(line, failed.code);
  };
  if (!oneByOne) {
    TransactionResult result = writeTransaction(db, [&] {
      for (size_t i = 0; i < batch.size(); i++) batch[i]->Persist(this, db, record, stage, i);
    });
    if (result.committed) return true;
    if (!result.rowRefused()) {
      // The database itself failed (busy, unusable, the commit): one message
      // at a time would wait as long again for each.
      unwritten.assign(batch.size(), true);
      log(result, batch.size(), false);
      return true;
    }
    // Written again one by one, so that one refused row costs only itself.
    return batch.size() == 1 ? (_writeBatch(db, record, batch, stage, true, unwritten), true) : false;
  }
  for (size_t i = 0; i < batch.size(); i++) {
    TransactionResult result = writeTransaction(db, [&] { batch[i]->Persist(this, db, record, stage, i); });
    if (result.committed) continue;
    // A refused row is logged and acknowledged, so that its publisher does
    // not send it again for ever; any other failure is not acknowledged.
    unwritten[i] = !result.rowRefused();
    log(result, 1, !unwritten[i]);
  }
  return true;
}

// Waits for the batches taken before this one: a later batch may commit
// first, and its publishers' acknowledgements must not overtake earlier ones.
// The waiting thread holds no database connection.
void MQTTPersist::_acknowledgeInTurn(uint64_t turn, const MQTTPersistBatch& batch,
                                     const std::vector<bool>& unwritten) {
  std::unique_lock<std::mutex> lock(ackTurnMutex_);
  ackTurn_.wait(lock, [&] { return batchesAcknowledged_ == turn; });
  try {
    _acknowledge(batch, unwritten);
  } catch (...) {
    batchesAcknowledged_++;  // the next batches do not wait for ever
    ackTurn_.notify_all();
    throw;
  }
  batchesAcknowledged_++;
  lock.unlock();
  ackTurn_.notify_all();
}

void MQTTPersist::_acknowledge(const MQTTPersistBatch& batch, const std::vector<bool>& unwritten) {
  bool any = false;
  for (const auto& msg : batch) any = any || msg->ackSession != nullptr;
  StarlingBroker& b = starlingBroker();
  if (!any || !b.coreReady) return;
  // Under the core's lock a listed session and its connection stay alive; a
  // publisher that went away gets nothing.
  nev_rwlock_guard shared(b.core.lock, nev_rwlock_mode::shared);
  std::unordered_set<nev_broker_session*> live;
  for (nev_broker_session* s = nev_broker_next_session(&b.core, nullptr); s != nullptr;
       s = nev_broker_next_session(&b.core, s))
    live.insert(s);
  // The acknowledgements of one publisher leave together, in their order:
  // one write to its socket for the whole batch.
  std::unordered_map<nev_connection*, std::vector<nev_mqtt_ack>> acks;
  for (size_t i = 0; i < batch.size(); i++) {
    const MQTTPersistMsg* msg = batch[i].get();
    nev_broker_session* s = msg->ackSession;
    if (s == nullptr || live.count(s) == 0 || s->conn != msg->ackConn || s->conn == nullptr) continue;
    // A QoS 2 PUBREC clears the mark a repeat of its PUBLISH looks for, under
    // that state's lock, and a row not written closes its publisher: both one
    // by one. QoS 1 acknowledgements leave together.
    if (unwritten[i] || msg->qos == 2)
      starlingAcknowledgeStored(s->conn, msg->qos, msg->packetId, !unwritten[i]);
    else
      acks[s->conn].push_back(nev_mqtt_ack{msg->qos, msg->packetId});
  }
  for (const auto& [conn, list] : acks) nev_mqtt_acknowledge_all(conn, list.data(), list.size());
}

void MQTTPersist::Stop() noexcept {
  _stopSubscription();
  _stopPersistQueue();
}

// ---- registry ----

std::shared_ptr<MQTTPersist> MQTTPersist::GetMQTTPersist(const char* topic) {
  if (topic == nullptr) return nullptr;
  return GetMQTTPersist(topic, strlen(topic));
}

std::shared_ptr<MQTTPersist> MQTTPersist::GetMQTTPersist(const char* topic, size_t topicLength) {
  if (gRegistryCount.load(std::memory_order_relaxed) == 0 || topic == nullptr) return nullptr;
  // A name is a C text: a slice holding a zero byte names what comes before it.
  std::string_view name(topic, strnlen(topic, topicLength));
  std::shared_lock<std::shared_mutex> lock(gRegistryLock);
  auto it = gRegistry.find(name);
  return it != gRegistry.end() ? it->second : nullptr;
}

bool MQTTPersist::Persist(const char* topic, size_t topicLength, const char* payload, size_t payloadLength,
                          uint16_t packetId, uint8_t qos, nev_broker_session* ackSession, nev_connection* ackConn,
                          bool* takenOver) {
  if (takenOver != nullptr) *takenOver = false;
  // Unpersisted topics pay one relaxed load.
  if (gRegistryCount.load(std::memory_order_relaxed) == 0) return false;
  std::shared_ptr<MQTTPersist> persist = GetMQTTPersist(topic, topicLength);
  if (persist == nullptr) return false;
  if (takenOver != nullptr) *takenOver = persist->IsStoreForward();
  auto msg = std::make_unique<MQTTPersistMsg>(topic, topicLength, payload, payloadLength, packetId, qos);
  bool deferred = qos > 0 && ackSession != nullptr;
  if (deferred) msg->ackSession = ackSession, msg->ackConn = ackConn;
  // Once queued, the message belongs to the persistence threads.
  if (persist->Queue(std::move(msg))) return deferred;
  if (deferred && persist->IsActive()) {
    // Running, yet the queue is full: the message is not safe, so it is not
    // acknowledged, and the publisher is closed so that it sends it again.
    persist->Log("starling - The persistence queue is full: the publisher's connection is closed.", 10006);
    nev_connection_request_close(ackConn);
    return true;
  }
  if (persist->IsStoreForward())
    starlingLog(10006, "starling - Store & Forward topic [%s] did not take a message: it is not acknowledged.",
                persist->GetTopic());
  return false;
}

json_object* MQTTPersist::GetPersistenceJson(const char* topic) {
  if (gRegistryCount.load() == 0) return nullptr;
  std::shared_ptr<MQTTPersist> persist = GetMQTTPersist(topic);
  return persist != nullptr ? persist->GetJson() : nullptr;
}

size_t MQTTPersist::Count() { return gRegistryCount.load(); }

// Registry changes (the administration's helpers).
void persistRegister(const std::string& topic, std::shared_ptr<MQTTPersist> persist) {
  std::unique_lock<std::shared_mutex> lock(gRegistryLock);
  gRegistry[topic] = std::move(persist);
  gRegistryCount = gRegistry.size();
}

std::shared_ptr<MQTTPersist> persistUnregister(const std::string& topic) {
  std::unique_lock<std::shared_mutex> lock(gRegistryLock);
  auto it = gRegistry.find(topic);
  if (it == gRegistry.end()) return nullptr;
  std::shared_ptr<MQTTPersist> persist = std::move(it->second);
  gRegistry.erase(it);
  gRegistryCount = gRegistry.size();
  return persist;
}

std::vector<std::shared_ptr<MQTTPersist>> persistUnregisterAll() {
  std::vector<std::shared_ptr<MQTTPersist>> all;
  std::unique_lock<std::shared_mutex> lock(gRegistryLock);
  for (auto& [name, persist] : gRegistry) all.push_back(std::move(persist));
  gRegistry.clear();
  gRegistryCount = 0;
  return all;
}

std::vector<std::shared_ptr<MQTTPersist>> persistRegistered() {
  std::shared_lock<std::shared_mutex> lock(gRegistryLock);
  std::vector<std::shared_ptr<MQTTPersist>> all;
  for (auto& [name, persist] : gRegistry) all.push_back(persist);
  return all;
}

// ---- JSON ----

json_object* MQTTPersist::GetJson() {
  const char* fn = "MQTTPersist::GetJson";
  json_object* json = zvJsonAlloc();
  if (json == nullptr)
    starlingThrow(fn, 10006, "Not able to build JSON with topic persistence information. JSON allocation failed.");
  std::lock_guard<std::mutex> settings(settingsMutex_);
  zvJsonAddString(json, "databaseConnectionString", connection_.c_str());
  zvJsonAddString(json, "databaseUserName", user_.c_str());
  zvJsonAddString(json, "databaseName", database_.c_str());
  zvJsonAddString(json, "tableName", tableName_.c_str());
  zvJsonAddInt(json, "persistenceTopicThreads", threadCount_);
  zvJsonAddBoolean(json, "tableAutoTimeStamp", autoTimeStamp_);
  zvJsonAddBoolean(json, "tableAutoTimeStampIndex", timeStampIndex_);
  zvJsonAddBoolean(json, "tableReplicationReady", replication_);
  if (purgeUnit_ != MQTTPURGEUNIT_NONE && purgePeriod_ > 0) {
    zvJsonAddString(json, "tableRetentionUnit", GetPurgeUnitName(purgeUnit_));
    zvJsonAddInt(json, "tableRetentionPeriod", purgePeriod_);
  }
  zvJsonAddString(json, "extractorLibraryName", extractorName_.c_str());
  zvJsonAddBoolean(json, "storeAndForward", IsStoreForward());
  zvJsonPtr owner(json);
  std::vector<zvJsonPtr> items;
  for (const auto& [path, field] : fields_) items.push_back(zvJsonPtr(field->GetJson()));
  for (const auto& [path, child] : children_) items.push_back(zvJsonPtr(child->GetJson()));
  starlingAddJsonList(
      json, "mapOfPropertiesToFields", items, [](zvJsonPtr& item) { return item.release(); }, fn,
      "Not able to build JSON with topic persistence information. JSON array allocation failed.");
  return owner.release();
}
