// Administration of persisted topics: create, alter, rename, delete, pause
// and resume; the tables "mqtt_topic_persistence" (one row per persisted
// topic with its stored configuration) and "mqtt_topic_persistence_history"
// (every outcome); the restart of stored topics at start.
//
// Order of a create: the topic is built and started, its row stored, and
// only then registered, so no failure leaves a registered topic without a row
// or deletes a topic publishers can still find. Removal (delete, pause,
// rename, rebuild) unregisters first and then stops the topic, whose threads
// write what was queued.
#include <strings.h>

#include <cstring>
#include <thread>

#include "persist.h"

void persistRegister(const std::string& topic, std::shared_ptr<MQTTPersist> persist);
std::shared_ptr<MQTTPersist> persistUnregister(const std::string& topic);
std::vector<std::shared_ptr<MQTTPersist>> persistRegistered();
std::vector<std::shared_ptr<MQTTPersist>> persistUnregisterAll();
void persistValidatePath(const MQTTExtractor& ex, const std::string& path);

namespace {

std::mutex gAdminMutex;  // serialises every persistence operation

const char* kPersistenceTable = "mqtt_topic_persistence";
const char* kHistoryTable = "mqtt_topic_persistence_history";

ZVFieldDescriptor column(const char* name, int type, int length, int binaryFlag = 0, bool autoTimestamp = false) {
  return ZVFieldDescriptor{name, type, length, binaryFlag, 0, uint8_t(autoTimestamp ? 1 : 0), {0, 0}};
}
const ZVFieldDescriptor kPersistenceFields[] = {column("topic_id", 51, 4),    column("persistence_info", 259, 0),
                                                column("status", 144, 1),     column("created_by", 146, 65500, 4),
                                                column("created_ts", 257, 8), column("updated_by", 146, 65500, 4),
                                                column("updated_ts", 257, 8)};
const ZVSegmentDescriptor kPersistenceSegments[] = {{"topic_id", 12, 0}};
const ZVIndexDescriptor kPersistenceIndexes[] = {
    {"mqtt_topic_persistence_index", 0, 1, 0, 0, kPersistenceSegments, 1, 0}};
const ZVFieldDescriptor kHistoryFields[] = {column("topic_id", 51, 4),
                                            column("persistence_command", 259, 0),
                                            column("executed_by", 146, 65500, 4),
                                            column("executed_ts", 257, 8, 0, true),
                                            column("error_code", 51, 4),
                                            column("error_message", 146, 65500, 4)};

// The command text without the database and broker passwords, for the
// history table and log lines.
std::string redactedText(json_object* json) {
  if (json == nullptr) return "";
  zvJsonPtr copy(zvJsonFromString(zvJsonToString(json)));
  if (copy == nullptr) return "";
  for (const char* key : {"databaseUserPassword", "brokerUserPassword"})
    if (json_object_object_get_ex(copy.get(), key, nullptr))
      json_object_object_add(copy.get(), key, json_object_new_string("*****"));
  return zvJsonToString(copy.get());
}

std::string jsonText(json_object* json) {
  const char* text = json != nullptr ? zvJsonToString(json) : nullptr;
  return text != nullptr ? text : "";
}

[[noreturn]] void rethrowClient(const char* function, const ZVException& e) {
  starlingThrow(function, e.GetErrorCode(), "%s", e.GetErrorMsg());
}

int32_t topicIdOf(ZVDatabasePooled* db, const char* topic) {
  int32_t id = MQTTTopic::GetTopicID(db, topic);
  if (id < 0) starlingThrow("MQTTPersist::FindPersistenceRecord", 10003, "Topic [%s] has no row in mqtt_topic", topic);
  return id;
}

// The row of the topic in mqtt_topic_persistence; false with the record
// cleared and keyed for an insert when there is none.
bool findPersistenceRecord(ZVDatabasePooled* db, const char* topic, ZVRecord** out) {
  ZVRecord* record = db->GetRecord(kPersistenceTable, true);
  if (record == nullptr)
    starlingThrow("MQTTPersist::FindPersistenceRecord", 10003,
                  "Not able to retrieve record handle for the mqtt_topic_persistence table");
  int32_t id = topicIdOf(db, topic);
  record->Clear();
  record->SetDefaultIndex("mqtt_topic_persistence_index");
  record->SetFieldAsSigned("topic_id", id);
  *out = record;
  if (record->Find(RL_FIND_EQ) != 0) return true;
  record->Clear();
  record->SetFieldAsSigned("topic_id", id);
  return false;
}

void storePersistence(const char* topic, const char* executedBy, const std::string& text, char status) {
  try {
    StarlingDb db;
    ZVDateTime now;
    zvGetCurrentDateTime(&now);
    ZVRecord* record = nullptr;
    bool found = findPersistenceRecord(db.get(), topic, &record);
    if (!found && status == 'P') starlingThrow("MQTTPersist::PausePersistence", 10003, "Persistence not found");
    if (!found) {
      record->SetFieldAsString("created_by", executedBy);
      record->SetFieldAsDateTime("created_ts", now);
    }
    if (!text.empty()) record->SetFieldAsString("persistence_info", text.c_str());
    record->SetFieldAsString("status", status == 'P' ? "P" : "A");
    record->SetFieldAsString("updated_by", executedBy);
    record->SetFieldAsDateTime("updated_ts", now);
    record->Write();
  } catch (const ZVException& e) {
    rethrowClient("MQTTPersist::StorePersistence", e);
  }
}

void deletePersistence(const char* topic) {
  try {
    StarlingDb db;
    ZVRecord* record = nullptr;
    if (findPersistenceRecord(db.get(), topic, &record)) record->Delete();
  } catch (const ZVException& e) {
    rethrowClient("MQTTPersist::DeletePersistence", e);
  }
}

void logTo(LogCallback log, int code, const char* text) {
  if (log != nullptr) log(text, code);
}

// Records an outcome; a failure of that write is logged.
void recordOutcome(const char* topic, const std::string& command, const char* executedBy, int code, const char* message,
                   LogCallback log) {
  try {
    MQTTPersist::AddHistory(topic, command.c_str(), executedBy, code, message);
  } catch (const YXException& e) {
    logTo(log, e.GetErrorCode(), e.GetErrorMsg());
  }
}

struct PoolValues {
  int32_t idle, acquire, maxSize;
};

// Builds, starts, stores and registers a topic from its configuration.
void createTopic(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* json,
                 LogCallback log, PoolValues pool) {
  std::shared_ptr<MQTTPersist> persist =
      MQTTPersist::New(config, topic, json, log, pool.idle, pool.acquire, pool.maxSize);
  for (const auto& other : persistRegistered()) {
    if (strcasecmp(other->GetEngine().c_str(), persist->GetEngine().c_str()) == 0 &&
        strcasecmp(other->GetDatabase().c_str(), persist->GetDatabase().c_str()) == 0 &&
        strcasecmp(other->GetTableName().c_str(), persist->GetTableName().c_str()) == 0)
      starlingThrow(
          "MQTTPersist::AddPersistTopic", 10028,
          "Not able to create the persistence topic [%s] - table [%s] is already in use for persistence topic [%s]",
          topic, persist->GetTableName().c_str(), other->GetTopic());
  }
  if (!MQTTPersist::ThreadsAvailable(persist->GetThreadCount()))
    starlingThrow("MQTTPersist::AddPersistTopic", 10015,
                  "Not able to create the persistence topic [%s] - its %d persistence threads would pass the bound of "
                  "all persisted topics",
                  topic, persist->GetThreadCount());
  persist->CreateStart();
  // The stored configuration says "create", also for a resumed or altered one.
  zvJsonPtr stored(zvJsonFromString(jsonText(json).c_str()));
  if (stored == nullptr) starlingThrow("MQTTPersist::AddPersistTopic", 10006, "Not able to copy the configuration");
  zvJsonAddString(stored.get(), "operation", "CreatePersistenceTopic");
  zvJsonAddString(stored.get(), "persistenceTopic", topic);
  storePersistence(topic, executedBy, jsonText(stored.get()), 'A');
  persistRegister(topic, persist);
  // Registered first: a session that closes meanwhile finds the topic and
  // leaves it.
  persist->SubscribeSessions();
}

// Builds a topic again from its stored configuration after a failed change;
// a failure here is logged (the caller reports the first one).
void recreate(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* stored, LogCallback log,
              PoolValues pool) {
  try {
    createTopic(config, topic, executedBy, stored, log, pool);
  } catch (const YXException& again) {
    logTo(log, again.GetErrorCode(), again.GetErrorMsg());
  }
}

// Unregisters and stops a topic (its queue is written first).
void removeTopic(const char* topic) {
  std::shared_ptr<MQTTPersist> persist = persistUnregister(topic);
  // Stopped now, whoever still holds a reference: a publisher that found it
  // just before finds it refusing messages.
  if (persist != nullptr) persist->Stop();
}

void execCreate(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* json, LogCallback log,
                PoolValues pool) {
  createTopic(config, topic, executedBy, json, log, pool);
}

void execAlter(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* json, LogCallback log,
               PoolValues pool, const std::shared_ptr<MQTTPersist>& persist) {
  const char* operation = nullptr;
  if (!zvJsonGetStringByName(json, "operation", &operation))
    starlingThrow("MQTTPersist::ExecSysAlterExec", 10010, "Missing operation in the operation request");
  try {
    persist->Alter(config, topic, json, log, pool.idle, pool.acquire, pool.maxSize);
    zvJsonPtr stored(zvJsonFromString(jsonText(json).c_str()));
    zvJsonAddString(stored.get(), "operation", "CreatePersistenceTopic");
    storePersistence(topic, executedBy, jsonText(stored.get()), 'A');
  } catch (const YXException& e) {
    // The topic is rebuilt as it was from its stored configuration.
    std::unique_ptr<MQTTPersist::Persistence> previous = MQTTPersist::GetPersistence(topic);
    if (previous == nullptr || previous->config == nullptr)
      starlingThrow("MQTTPersist::ExecSysAlterExec", 10029, "Not able to find persistence for topic [%s]", topic);
    removeTopic(topic);
    recreate(config, topic, executedBy, previous->config, log, pool);
    throw;
  }
}

void execRename(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* json, LogCallback log,
                PoolValues pool) {
  const char* fn = "MQTTPersist::ExecSysRenameExec";
  std::unique_ptr<MQTTPersist::Persistence> previous = MQTTPersist::GetPersistence(topic);
  if (previous == nullptr || previous->config == nullptr)
    starlingThrow(fn, 10029, "Not able to find persistence for topic [%s]", topic);
  const char* newName = nullptr;
  if (!zvJsonGetStringByName(json, "newPersistenceTopicName", &newName) || newName[0] == '\0')
    starlingThrow(fn, 10016, "Missing required property %s in the request", "newPersistenceTopicName");
  if (strcmp(newName, topic) == 0 || MQTTPersist::GetMQTTPersist(newName) != nullptr ||
      MQTTPersist::GetPersistence(newName) != nullptr)
    starlingThrow(fn, 10002, "Not able to rename topic [%s] - topic [%s] is already persisted", topic, newName);
  const char* stored = nullptr;
  if (!zvJsonGetStringByName(previous->config, "persistenceTopic", &stored))
    starlingThrow(fn, 10016, "Previous persistence topic is missing %s property", "persistenceTopic");
  zvJsonPtr moved(zvJsonFromString(jsonText(previous->config).c_str()));
  if (moved == nullptr || zvJsonAddString(moved.get(), "persistenceTopic", newName) != 0)
    starlingThrow(fn, 10006, "Not able to update previous topic to %s", newName);
  starlingRegisterCommandTopic(newName, executedBy);
  removeTopic(topic);
  try {
    createTopic(config, newName, executedBy, moved.get(), log, pool);
  } catch (const YXException&) {
    // The old topic comes back as it was; its row was never touched.
    recreate(config, topic, executedBy, previous->config, log, pool);
    throw;
  }
  deletePersistence(topic);
}

void execDelete(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* json, LogCallback log,
                PoolValues pool) {
  bool force = false;
  if (json != nullptr) zvJsonGetBooleanByName(json, "forceClosingPersistenceTable", &force);
  std::shared_ptr<MQTTPersist> removed = persistUnregister(topic);
  if (removed == nullptr)
    starlingThrow("MQTTPersist::ExecSysDeleteExec", 10011, "Not able to delete topic [%s], it is not active", topic);
  // Stopped first: what was queued is written before the table closes.
  removed->Stop();
  try {
    removed->Delete(force);
  } catch (const YXException&) {
    std::unique_ptr<MQTTPersist::Persistence> stored = MQTTPersist::GetPersistence(topic);
    if (stored != nullptr && stored->config != nullptr) recreate(config, topic, executedBy, stored->config, log, pool);
    throw;
  }
}

void execPause(const char* topic, const char* executedBy) {
  storePersistence(topic, executedBy, "", 'P');
  removeTopic(topic);
}

void execResume(ZVDatabaseConfig* config, const char* topic, const char* executedBy, LogCallback log, PoolValues pool) {
  std::unique_ptr<MQTTPersist::Persistence> stored = MQTTPersist::GetPersistence(topic);
  if (stored == nullptr)
    starlingThrow("MQTTPersist::ExecSysResumeExec", 10003,
                  "Not able to resume topic [%s] because its persistence was not found.", topic);
  if (stored->status != 'P' || stored->config == nullptr || MQTTPersist::GetMQTTPersist(topic) != nullptr)
    starlingThrow("MQTTPersist::ExecSysResumeExec", 10029, "Not able to resume topic [%s] because it was not paused.",
                  topic);
  createTopic(config, topic, executedBy, stored->config, log, pool);
}

}  // namespace

void MQTTPersist::ExecSysPersistenceOp(ZVDatabaseConfig* config, const char* topic, const char* executedBy, int op,
                                       json_object* request, LogCallback log, int32_t idleTimeout,
                                       int32_t acquireTimeout, int32_t poolMaxSize) {
  std::lock_guard<std::mutex> admin(gAdminMutex);
  int32_t code = 0;
  char message[1400] = {};
  const char* opName = mqttSysOpName(op);
  PoolValues pool{idleTimeout, acquireTimeout, poolMaxSize};
  if (request == nullptr) {
    code = 10004,
    snprintf(message, sizeof message, "starling - Missing operation body in Json for the persistence operation.");
  } else if (topic == nullptr || topic[0] == '\0') {
    code = 10011, snprintf(message, sizeof message, "starling - Missing TOPIC in the persistence operation.");
  } else {
    std::shared_ptr<MQTTPersist> persist = GetMQTTPersist(topic);
    if (persist == nullptr && op != MQTTSYSOP_CREATE && op != MQTTSYSOP_RESUME) {
      code = 10003;
      snprintf(message, sizeof message,
               "starling - Trying to execute %s operation for topic [%s], but it was not created.", opName, topic);
    } else if (persist != nullptr && op == MQTTSYSOP_CREATE) {
      code = 10002;
      snprintf(message, sizeof message,
               "starling - Trying to create persistence topic for [%s], but it was already created.", topic);
    } else {
      std::string history = redactedText(request);
      try {
        switch (op) {
          case MQTTSYSOP_CREATE:
            execCreate(config, topic, executedBy, request, log, pool);
            break;
          case MQTTSYSOP_ALTER:
            execAlter(config, topic, executedBy, request, log, pool, persist);
            break;
          case MQTTSYSOP_RENAME:
            execRename(config, topic, executedBy, request, log, pool);
            break;
          case MQTTSYSOP_DELETE:
            execDelete(config, topic, executedBy, request, log, pool);
            break;
          case MQTTSYSOP_PAUSE:
            execPause(topic, executedBy);
            break;
          case MQTTSYSOP_RESUME:
            execResume(config, topic, executedBy, log, pool);
            break;
          default:
            starlingThrow("MQTTPersist::ExecSysPersistenceOp", 10001,
                          "starling - Trying to execute %s operation for topic [%s], but it is not supported.", opName,
                          topic);
        }
        recordOutcome(topic, history, executedBy, 0, "Success", log);
        // What changes the persisted topics is in the log as well as in the
        // history table.
        starlingLog(0, "starling - %s for topic [%s] by [%s] - Success", opName, topic,
                    executedBy != nullptr ? executedBy : "");
      } catch (const YXException& e) {
        code = e.GetErrorCode();
        snprintf(message, sizeof message, "starling - Failed to execute %s operation on the topic [%s] - %s", opName,
                 topic, e.GetErrorMsg());
        recordOutcome(topic, history, executedBy, code, e.GetErrorMsg(), log);
      }
    }
  }
  if (code != 0) starlingThrow("MQTTPersist::ExecSysPersistenceOp", code, "%s", message);
}

void MQTTPersist::StopAll() {
  // After any operation in progress; each topic writes its queue before it goes.
  std::lock_guard<std::mutex> admin(gAdminMutex);
  for (auto& persist : persistUnregisterAll()) persist->Stop();
}

void MQTTPersist::ExecSysDeleteOp(ZVDatabaseConfig* config, const char* topic, const char* executedBy,
                                  json_object* request, LogCallback log) {
  ExecSysPersistenceOp(config, topic, executedBy, MQTTSYSOP_DELETE, request, log, -1, -1, -1);
}

void MQTTPersist::Delete(bool forceClosing) {
  deletePersistence(GetTopic());
  if (forceClosing) _closeTable();
}

void MQTTPersist::Alter(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config, LogCallback log,
                        int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize) {
  (void)log, (void)acquireTimeout, (void)topic;
  const char* fn = "MQTTPersist::Alter";
  Settings s;
  _readSettings(brokerConfig, config, s);  // every value checked before anything stops
  if (!ThreadsAvailable(s.threads - threadCount_))
    starlingThrow(fn, 10015, "Not able to alter persistence topic %s - %d persistence threads would pass the bound of all "
                  "persisted topics", GetTopic(), s.threads);
  bool storeForward = false;
  zvJsonGetBooleanByName(config, "storeAndForward", &storeForward);
  if (storeForward != IsStoreForward())
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the property [%s] is not supported. Originally it "
                  "was %d and now it is %d",
                  GetTopic(), "storeAndForward", IsStoreForward() ? 1 : 0, storeForward ? 1 : 0);
  _stopPersistQueue();
  // Taken once the queue is written: a topic listing waits only for the change.
  std::lock_guard<std::mutex> settings(settingsMutex_);
  if (strcasecmp(s.tableName.c_str(), tableName_.c_str()) != 0)
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the persistence table name is not supported. "
                  "Table name %s was expected to be %s",
                  GetTopic(), s.tableName.c_str(), tableName_.c_str());
  if (s.replication != replication_)
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the persistence replication readiness is not "
                  "supported. Originally it was %d and now it is %d",
                  GetTopic(), replication_ ? 1 : 0, s.replication ? 1 : 0);
  if (s.purgeUnit != purgeUnit_)
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the persistence retention unit is not supported. "
                  "Originally it was %s and now it is %s",
                  GetTopic(), GetPurgeUnitName(purgeUnit_), GetPurgeUnitName(s.purgeUnit));
  if (s.purgePeriod != purgePeriod_)
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the persistence retention period is not "
                  "supported. Originally it was %d and now it is %d",
                  GetTopic(), purgePeriod_, s.purgePeriod);
  if (strcasecmp(s.connection.c_str(), connection_.c_str()) != 0)
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the persistence connection string is not "
                  "supported. Originally it was %s and now it is %s",
                  GetTopic(), connection_.c_str(), s.connection.c_str());
  if (strcasecmp(s.database.c_str(), database_.c_str()) != 0)
    starlingThrow(fn, 10018,
                  "Not able to alter persistence topic %s - Updating the persistence database name is not supported. "
                  "Originally it was %s and now it is %s",
                  GetTopic(), database_.c_str(), s.database.c_str());
  threadCount_ = s.threads;
  defaultBinFormat_ = s.binFormat, defaultNumberFormat_ = s.numberFormat;
  defaultDateFormat_ = s.dateFormat, defaultTimeFormat_ = s.timeFormat;
  bool alterTable = false;
  json_object* map = nullptr;
  int n = zvJsonGetArrayByName(config, "mapOfPropertiesToFields", &map) ? zvJsonArrayLength(map) : 0;
  if (n > 0) {
    _loadExtractor();
    std::set<std::string> paths;
    for (int i = 0; i < n; i++) {
      json_object* element = zvJsonArrayGetIdx(map, i);
      const char* path = nullptr;
      if (!zvJsonGetStringByName(element, "propertyPath", &path))
        starlingThrow(fn, 10004, "Missing propertyPath in mapOfPropertiesToFields element");
      persistCheckOwnPath(path, s.autoTimeStamp);
      paths.insert(path);
      auto it = fields_.find(path);
      if (it != fields_.end()) {
        alterTable = it->second->CheckChanges(element) || alterTable;
        continue;
      }
      persistValidatePath(extractor_, path);
      // Child tables stay as they are: an element naming one, new or
      // existing, is refused rather than passed over.
      const char* child = nullptr;
      if (children_.count(path) != 0 ||
          (zvJsonGetStringByName(element, "childTableName", &child) && child[0] != '\0'))
        starlingThrow(fn, 10001, "Not able to add a child table property map. Feature not supported.");
      fields_[path] = std::make_unique<MQTTPersistField>(element, this);
      alterTable = true;
    }
    for (auto it = fields_.begin(); it != fields_.end();)
      it = it->first != "ts" && paths.count(it->first) == 0 ? fields_.erase(it) : std::next(it);
    mapFields_ = true;
  } else {
    for (auto it = fields_.begin(); it != fields_.end();)
      it = it->first != "ts" && it->first != "source_payload" ? fields_.erase(it) : std::next(it);
    if (fields_.count("source_payload") == 0) {
      fields_["source_payload"].reset(MQTTPersistField::NewSourcePayloadField());
      alterTable = true;
    }
    mapFields_ = false;
  }
  if (s.autoTimeStamp != autoTimeStamp_) {
    autoTimeStamp_ = s.autoTimeStamp;
    if (autoTimeStamp_)
      fields_["ts"].reset(MQTTPersistField::NewTimestampField());
    else
      fields_.erase("ts");
    alterTable = true;
  }
  if (s.timeStampIndex != timeStampIndex_) timeStampIndex_ = s.timeStampIndex, alterTable = true;
  // Passwords are compared exactly; user names ignoring case.
  if (strcasecmp(s.user.c_str(), user_.c_str()) != 0 || s.password != password_) {
    user_ = s.user, password_ = s.password;
    _leavePool();
    _bindPool(idleTimeout > 0 ? idleTimeout : idleTimeout_, poolMaxSize > 0 ? poolMaxSize : poolMaxSize_);
  }
  bool external = false;
  if (zvJsonGetBooleanByName(config, "subscribeToExternalBroker", &external) || externalBroker_) {
    _stopSubscription();
    externalBroker_ = false;
    if (external) _startExternal(config);
  }
  alterTable = AddOwnFields() || alterTable;
  // As at creation: two properties never write one column.
  persistCheckDistinctColumns(fields_);
  if (alterTable) _alterTable();
  _startPersistQueue();
}

void MQTTPersist::AddHistory(const char* topic, const char* command, const char* executedBy, int32_t code,
                             const char* message) {
  if (topic == nullptr) starlingThrow("MQTTPersist::AddHistory", 10004, "Missing MQTT topic name");
  try {
    StarlingDb db;
    ZVRecord* record = db->GetRecord(kHistoryTable, true);
    if (record == nullptr)
      starlingThrow("MQTTPersist::AddHistory", 10003,
                    "Not able to retrieve record handle for the mqtt_topic_persistence_history table");
    int32_t id = MQTTTopic::GetTopicID(db.get(), topic);
    record->Clear();
    record->SetFieldAsSigned("topic_id", id);
    if (command != nullptr && command[0] != '\0') record->SetFieldAsString("persistence_command", command);
    record->SetFieldAsString("executed_by", executedBy != nullptr ? executedBy : "");
    record->SetFieldAsSigned("error_code", code);
    record->SetFieldAsString("error_message", message != nullptr ? message : "");
    record->Write();
  } catch (const ZVException& e) {
    rethrowClient("MQTTPersist::AddHistory", e);
  }
}

std::unique_ptr<MQTTPersist::Persistence> MQTTPersist::GetPersistence(const char* topic) {
  try {
    StarlingDb db;
    if (MQTTTopic::GetTopicID(db.get(), topic) < 0) return nullptr;
    ZVRecord* record = nullptr;
    if (!findPersistenceRecord(db.get(), topic, &record)) return nullptr;
    auto p = std::make_unique<Persistence>();
    std::string status = record->GetFieldAsString("status");
    p->status = status.empty() ? 'A' : status[0];
    p->config = zvJsonFromString(record->GetFieldAsString("persistence_info").c_str());
    p->topic = topic;
    return p;
  } catch (const ZVException& e) {
    rethrowClient("MQTTPersist::GetPersistence", e);
  }
}

std::vector<std::unique_ptr<MQTTPersist::Persistence>> MQTTPersist::GetPersistenceList() {
  std::vector<std::unique_ptr<Persistence>> list;
  try {
    StarlingDb db;
    ZVRecord* record = db->GetRecord(kPersistenceTable, true);
    if (record == nullptr)
      starlingThrow("MQTTPersist::GetPersistenceList", 10003,
                    "Not able to retrieve record handle for the mqtt_topic_persistence table");
    record->Clear();
    record->SetDefaultIndex(RL_ROWID_INDEX);
    std::vector<std::pair<int32_t, std::unique_ptr<Persistence>>> rows;
    for (int found = record->First(); found != 0; found = record->Next()) {
      auto p = std::make_unique<Persistence>();
      std::string status = record->GetFieldAsString("status");
      p->status = status.empty() ? 'A' : status[0];
      p->config = zvJsonFromString(record->GetFieldAsString("persistence_info").c_str());
      rows.emplace_back(record->GetFieldAsSigned("topic_id"), std::move(p));
    }
    record->Clear();
    for (auto& [id, p] : rows) {
      char* name = MQTTTopic::GetTopicName(db.get(), id);
      if (name == nullptr) continue;
      p->topic = name;
      VOKTFree(name);
      list.push_back(std::move(p));
    }
  } catch (const ZVException& e) {
    rethrowClient("MQTTPersist::GetPersistenceList", e);
  }
  return list;
}

void MQTTPersist::CheckPersistenceMetadata(ZVDatabasePooled* db) {
  try {
    db->CheckTable(kPersistenceTable, kPersistenceFields, 7, kPersistenceIndexes, 1);
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersist::CheckPersistenceMetadata", e.GetErrorCode(),
                  "Not able to check MQTT metadata table %s - %s", kPersistenceTable, e.GetErrorMsg());
  }
  try {
    db->CheckTable(kHistoryTable, kHistoryFields, 6, nullptr, 0);
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersist::CheckPersistenceMetadata", e.GetErrorCode(),
                  "Not able to check MQTT metadata table %s - %s", kHistoryTable, e.GetErrorMsg());
  }
}

// Replays the stored configuration of every topic that is not paused.
void persistRestartTopics() {
  StarlingBroker& b = starlingBroker();
  std::vector<std::unique_ptr<MQTTPersist::Persistence>> list;
  try {
    list = MQTTPersist::GetPersistenceList();
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), "%s", e.GetErrorMsg());
    return;
  }
  int retries = 10;
  for (auto& entry : list) {
    if (entry->status == 'P' || entry->config == nullptr) continue;
    for (;;) {
      int code = processPersistenceCommand(nullptr, entry->config, "internal - server", b.log);
      if (code == 133 && retries-- > 0) {
        starlingLog(0, "starling - Not able to connect to server yet, we are going to retry.");
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        continue;
      }
      if (code != 0)
        starlingLog(code, "starling - Not able to restart persistence for topic [%s].", entry->topic.c_str());
      break;
    }
  }
}
