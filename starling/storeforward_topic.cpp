// MQTTStoreForwardPersist: a persisted topic whose subscribers read its
// table through the store-and-forward engine; its properties, its
// subscribers and the event handler's store-and-forward hooks.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "persist.h"
#include "ravlink.h"

namespace {

const char* kConstructor = "MQTTStoreForwardPersist::MQTTStoreForwardPersist";

// The mark a closing connection leaves in its session (see Subscribe).
void* const kSessionClosing = reinterpret_cast<void*>(uintptr_t{1});

[[noreturn]] void invalidProperty(const char* function, const char* name) {
  starlingThrow(function, 10028, "Invalid [%s] property value.", name);
}

// An int property: fallback when absent; a given 0 (or a value of another
// type) is invalid.
int32_t positiveInt(json_object* config, const char* name, int32_t fallback, const char* function) {
  json_object* value = nullptr;
  if (!zvJsonGetByName(config, name, &value) || value == nullptr) return fallback;
  int32_t number = 0;
  if (!zvJsonGetIntByName(config, name, &number) || number <= 0) invalidProperty(function, name);
  return number;
}

bool boolOr(json_object* config, const char* name, bool fallback) {
  bool value = fallback;
  return zvJsonGetBooleanByName(config, name, &value) ? value : fallback;
}

std::string jsonText(json_object* json) {
  const char* text = json != nullptr ? zvJsonToString(json) : nullptr;
  return text != nullptr ? text : "";
}

bool isNamed(const std::string& name, const char* wanted) { return strcasecmp(name.c_str(), wanted) == 0; }

// A mapped column's value into the delivery JSON, by its client type.
void addColumn(json_object* json, const char* key, const MQTTPersistField& field, ZVRecord* record) {
  const char* column = field.fieldName.c_str();
  if (record->IsFieldNull(column)) return;
  switch (field.type) {
    case RL_TYPE_BIT:
      zvJsonAddBoolean(json, key, record->GetFieldAsBool(column));
      return;
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
      zvJsonAddInt(json, key, record->GetFieldAsSigned(column));
      return;
    case RL_TYPE_MONEY4:
    case RL_TYPE_REAL:
    case RL_TYPE_DOUBLE:
    case RL_TYPE_MONEY:
      zvJsonAddDouble(json, key, record->GetFieldAsFloat(column));
      return;
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      zvJsonAddBigint(json, key, record->GetFieldAsBigint(column));
      return;
    default:
      zvJsonAddString(json, key, record->GetFieldAsString(column).c_str());
  }
}

// Every store-and-forward topic that exists, registered or not: a topic
// being removed still has subscribers until its stop, and a connection that
// closes meanwhile must still leave it. The hooks hold the mutex while they
// use the topics; a topic leaves the set first thing in its destructor.
std::mutex gLiveMutex;
std::set<MQTTStoreForwardPersist*> gLive;

bool filterMatches(const char* filter, const std::string& topic) {
  return nev_mqtt_topic_match_cstr(filter, nev_slice{topic.data(), topic.size()}) != 0;
}

}  // namespace

std::shared_ptr<MQTTPersist> MQTTPersist::New(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config,
                                              LogCallback log, int32_t idleTimeout, int32_t acquireTimeout,
                                              int32_t poolMaxSize) {
  if (boolOr(config, "storeAndForward", false))
    return std::make_shared<MQTTStoreForwardPersist>(brokerConfig, topic, config, log, idleTimeout, acquireTimeout,
                                                     poolMaxSize);
  return std::make_shared<MQTTPersist>(brokerConfig, topic, config, log, idleTimeout, acquireTimeout, poolMaxSize);
}

// ---- configuration ----

MQTTStoreForwardPersist::Properties MQTTStoreForwardPersist::readProperties(json_object* config) {
  Properties p;
  p.deliveryRate = positiveInt(config, "maxDeliveryRatePerSecond", 100, kConstructor);
  json_object* value = nullptr;
  if (zvJsonGetByName(config, "newSubscriberMaxStoredMessages", &value) && value != nullptr) {
    const char* text = nullptr;
    if (json_object_is_type(value, json_type_string) &&
        zvJsonGetStringByName(config, "newSubscriberMaxStoredMessages", &text)) {
      if (strcasecmp(text, "all") != 0) invalidProperty(kConstructor, "newSubscriberMaxStoredMessages");
      p.maxStoredMessages = 0;
    } else {
      p.maxStoredMessages = positiveInt(config, "newSubscriberMaxStoredMessages", 0, kConstructor);
    }
  }
  const char* mode = nullptr;
  if (zvJsonGetStringByName(config, "newSubscriberDeliveryMode", &mode)) {
    try {
      p.deliveryMode = YXStoreAndForward::GetDeliveryMode(mode);
    } catch (const YXException&) {
      invalidProperty(kConstructor, "newSubscriberDeliveryMode");
    }
  } else if (zvJsonGetByName(config, "newSubscriberDeliveryMode", &value) && value != nullptr) {
    invalidProperty(kConstructor, "newSubscriberDeliveryMode");
  }
  p.resendTimeout = positiveInt(config, "resendTimeout", 20, kConstructor);
  p.qosDowngradeDisabled = boolOr(config, "disableQoSDowngrade", false);
  p.transformOnForward = boolOr(config, "transformOnForward", false);
  return p;
}

std::unique_ptr<MQTTSchemaTable> MQTTStoreForwardPersist::readSchema(json_object* config, MQTTSchema** schema) {
  *schema = nullptr;
  json_object* element = nullptr;
  if (!zvJsonGetByName(config, "messageSchema", &element) || element == nullptr) return nullptr;
  const char* texts[3] = {};
  const char* names[3] = {"messageSchemaType", "messageSchemaSyntax", "messageSchemaBody"};
  for (int i = 0; i < 3; i++)
    if (!zvJsonGetStringByName(element, names[i], &texts[i]))
      starlingThrow(kConstructor, 10028, "Invalid [%s] property. Missing [%s] required element.", "messageSchema",
                    names[i]);
  bool check = boolOr(element, "checkConsistency", false);
  auto table = std::make_unique<MQTTSchemaTable>(100);
  int syntax = 0;
  try {
    syntax = MQTTSchema::GetMsgSchemaSyntax(texts[1]);
  } catch (const YXException&) {
    invalidProperty(kConstructor, "messageSchemaSyntax");
  }
  *schema = MQTTSchema::Create(syntax, texts[0], texts[2], table.get(), check);
  if (*schema == nullptr)
    starlingThrow(kConstructor, 10028, "Invalid [%s] property. [%s] property doesn't have a valid UDT schema body.",
                  "messageSchema", "messageSchemaBody");
  return table;
}

MQTTStoreForwardPersist::MQTTStoreForwardPersist(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config,
                                                 LogCallback log, int32_t idleTimeout, int32_t acquireTimeout,
                                                 int32_t poolMaxSize)
    : MQTTPersist(brokerConfig, topic, config, log, idleTimeout, acquireTimeout, poolMaxSize) {
  Properties p = readProperties(config);
  deliveryRate_ = p.deliveryRate, deliveryMode_ = p.deliveryMode, maxStoredMessages_ = p.maxStoredMessages;
  resendTimeout_ = p.resendTimeout;
  qosDowngradeDisabled_ = p.qosDowngradeDisabled, transformOnForward_ = p.transformOnForward;
  schemaTable_ = readSchema(config, &schema_);
  AddOwnFields();
  std::lock_guard<std::mutex> live(gLiveMutex);
  gLive.insert(this);
}

bool MQTTStoreForwardPersist::AddOwnFields() {
  MQTTPersistFieldTable& fields = MutableFields();
  auto hasColumn = [&](const char* name) {
    for (const auto& [path, field] : fields)
      if (isNamed(field->fieldName, name)) return true;
    return false;
  };
  bool added = false;
  auto add = [&](const char* name, int32_t type, int32_t width) {
    if (hasColumn(name)) return;
    fields[name].reset(MQTTPersistField::NewColumnField(name, type, width));
    added = true;
  };
  add("source_payload", 170, 0);
  add("qos", 51, 4);
  if (schema_ != nullptr) add("target_payload", 170, 0);
  return added;
}

MQTTStoreForwardPersist::~MQTTStoreForwardPersist() {
  {
    std::lock_guard<std::mutex> live(gLiveMutex);
    gLive.erase(this);
  }
  Stop();
}

void MQTTStoreForwardPersist::CreateStart() {
  try {
    MQTTPersist::CreateStart();
  } catch (const YXException& e) {
    starlingThrow("MQTTStoreForwardPersist::CreateStart()", e.GetErrorCode(), "%s", e.GetErrorMsg());
  }
  try {
    engine_ = std::make_unique<YXStoreAndForward>(GetEngine().c_str(), GetDatabase().c_str(), GetTableName().c_str(),
                                                  GetUser().c_str(), GetPassword().c_str());
  } catch (const YXException& e) {
    char line[1400];
    snprintf(line, sizeof line,
             "MQTTStoreForwardPersist::CreateStart() - ERROR - Not able to create Store & Forward instance - %d - %s",
             e.GetErrorCode(), e.GetErrorMsg());
    Log(line, e.GetErrorCode());
    MQTTPersist::Stop();
    throw;
  }
  engine_->deliveryRate = deliveryRate_;
  engine_->deliveryMode = deliveryMode_;
  engine_->maxStoredMessages = maxStoredMessages_;
}

// The core's lock is held over the walk, so every session met stays alive
// until its Subscribe is done; a session whose connection is closing carries
// the closing mark, which Subscribe checks under the subscribers' mutex (the
// closing side sets it before it looks for subscribers).
void MQTTStoreForwardPersist::SubscribeSessions() {
  StarlingBroker& b = starlingBroker();
  if (!b.coreReady) return;
  nev_rwlock_guard shared(b.core.lock, nev_rwlock_mode::shared);
  for (nev_broker_session* s = nev_broker_next_session(&b.core, nullptr); s != nullptr;
       s = nev_broker_next_session(&b.core, s)) {
    if (s->conn == nullptr) continue;
    std::string clientId = starlingClientIdOf(s->conn);
    for (size_t i = 0; i < s->num_subscriptions && !clientId.empty(); i++) {
      const nev_mqtt_topic_filter& filter = s->subscriptions[i];
      if (!filterMatches(filter.topic, GetTopic())) continue;
      try {
        Subscribe(s->conn, clientId, static_cast<char>(filter.qos), s);
      } catch (const YXException& e) {
        char line[1400];
        snprintf(line, sizeof line,
                 "MQTTStoreForwardPersist::CreateStart() - WARNING - Not able to automatically subscribe to topic [%s] "
                 "- %d - %s",
                 filter.topic, e.GetErrorCode(), e.GetErrorMsg());
        Log(line, e.GetErrorCode());
      }
      break;  // one subscriber per client id
    }
  }
}

json_object* MQTTStoreForwardPersist::GetJson() {
  zvJsonPtr owned(MQTTPersist::GetJson());
  json_object* json = owned.get();
  std::shared_lock<std::shared_mutex> hold(deliveryLock_);
  zvJsonAddInt(json, "maxDeliveryRatePerSecond", deliveryRate_);
  zvJsonAddString(json, "newSubscriberDeliveryMode", YXStoreAndForward::GetDeliveryModeString(deliveryMode_));
  zvJsonAddInt(json, "newSubscriberMaxStoredMessages", maxStoredMessages_);
  zvJsonAddInt(json, "resendTimeout", resendTimeout_);
  if (schema_ != nullptr) {
    json_object* schema = schema_->GetJson();
    if (schema != nullptr) zvJsonAdd(json, "messageSchema", schema);
  }
  return owned.release();
}

void MQTTStoreForwardPersist::Alter(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config,
                                    LogCallback log, int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize) {
  const char* fn = "MQTTStoreForwardPersist::Alter";
  Properties p = readProperties(config);
  struct Compared {
    const char* name;
    int32_t was, now;
  };
  const Compared compared[] = {
      {"storeAndForward", 1, boolOr(config, "storeAndForward", false) ? 1 : 0},
      {"maxDeliveryRatePerSecond", deliveryRate_, p.deliveryRate},
      {"newSubscriberMaxStoredMessages", maxStoredMessages_, p.maxStoredMessages},
      {"newSubscriberDeliveryMode", deliveryMode_, p.deliveryMode},
      {"resendTimeout", resendTimeout_, p.resendTimeout},
      {"disableQoSDowngrade", qosDowngradeDisabled_ ? 1 : 0, p.qosDowngradeDisabled ? 1 : 0},
      {"transformOnForward", transformOnForward_ ? 1 : 0, p.transformOnForward ? 1 : 0},
  };
  for (const Compared& c : compared)
    if (c.was != c.now)
      starlingThrow(fn, 10018,
                    "Not able to alter persistence topic %s - Updating the property [%s] is not supported. Originally "
                    "it was %d and now it is %d",
                    GetTopic(), c.name, c.was, c.now);
  MQTTSchema* schema = nullptr;
  std::unique_ptr<MQTTSchemaTable> schemaTable = readSchema(config, &schema);
  // Deliveries read the fields and the schema: they wait for the change.
  std::unique_lock<std::shared_mutex> hold(deliveryLock_);
  if (schemaTable != nullptr) {
    std::lock_guard<std::mutex> swap(schemaMutex_);
    schemaTable_ = std::move(schemaTable);
    schema_ = schema;
  }
  MQTTPersist::Alter(brokerConfig, topic, config, log, idleTimeout, acquireTimeout, poolMaxSize);
}

void MQTTStoreForwardPersist::Delete(bool forceClosing) {
  // The readers stop before their rows go: a reader still running would
  // write its position row again.
  stopSubscribers();
  if (engine_ != nullptr) {
    try {
      engine_->Clean();
    } catch (const YXException& e) {
      if (e.GetErrorCode() != 4023) {
        char line[1400];
        snprintf(line, sizeof line,
                 "MQTTStoreForwardPersist::Delete() - ERROR - Failed to clean Store & Forward subsystem - %s\n",
                 e.GetErrorMsg());
        Log(line, e.GetErrorCode());
      }
    }
  }
  MQTTPersist::Delete(forceClosing);
}

void MQTTStoreForwardPersist::Stop() noexcept {
  stopSubscribers();
  MQTTPersist::Stop();
}

// ---- subscribers ----

void MQTTStoreForwardPersist::Subscribe(nev_connection* connection, const std::string& clientId, char qos,
                                        nev_broker_session* session) {
  const char* fn = "MQTTStoreForwardPersist::Subscribe";
  std::unique_lock<std::mutex> hold(subscribersMutex_);
  // The client id's own earlier subscriber may still be stopping (its
  // connection just closed): the engine takes the name once it is gone.
  hooksDone_.wait(hold, [&] { return stoppingOutside_.count(clientId) == 0; });
  if (stopped_ || engine_ == nullptr) return;  // the topic is going: nothing to join
  if (session != nullptr && __atomic_load_n(&session->user_data, __ATOMIC_ACQUIRE) == kSessionClosing) return;
  auto found = subscribers_.find(clientId);
  if (found != subscribers_.end()) {
    if (found->second->GetConn() == connection)
      starlingThrow(fn, 10024, "ERROR - Client ID [%s] is already a subscriber for topic [%s]", clientId.c_str(),
                    GetTopic());
    // The client id's earlier connection was taken over and is closing.
    std::shared_ptr<MQTTStoreForwardSubscriber> previous = found->second;
    subscribers_.erase(found);
    stopSubscriber(previous);
  }
  try {
    auto subscriber = std::make_shared<MQTTStoreForwardSubscriber>(
        connection, clientId, MQTTMsgIdGenerator::Get(clientId), qos > 2 ? 2 : qos, resendTimeout_, this);
    subscribers_[clientId] = subscriber;
    try {
      subscriber->Start();
      engine_->Subscribe(clientId.c_str(), MQTTStoreForwardSubscriber::DeliverStoredRecord, subscriber.get());
    } catch (...) {
      // Nothing stays registered for a subscription the engine refused.
      subscribers_.erase(clientId);
      subscriber->RequestStop();
      subscriber->Detach();
      throw;
    }
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), "Not able to subscribe - %d - %s", e.GetErrorCode(), e.GetErrorMsg());
    starlingThrow(fn, e.GetErrorCode(),
                  "ERROR - MQTTStoreForwardPersist::Subscribe - Not able to subscribe Store&Forward.\n");
  }
}

// The order that keeps acknowledgements and the reader off a subscriber
// that goes: no more deliveries, the confirmed position written while the
// engine still lists the name, the reader joined, then detached.
void MQTTStoreForwardPersist::stopSubscriber(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber) {
  subscriber->RequestStop();
  subscriber->StopAndFlush();
  try {
    engine_->Unsubscribe(subscriber->GetClientId().c_str());
  } catch (const YXException& e) {
    if (e.GetErrorCode() != YX_SF_NAME_NOT_FOUND) {
      subscriber->Detach();
      throw;
    }
  }
  subscriber->Detach();
}

std::shared_ptr<MQTTStoreForwardSubscriber> MQTTStoreForwardPersist::TakeSubscriber(const std::string& clientId,
                                                                                  nev_connection* connection) {
  std::lock_guard<std::mutex> hold(subscribersMutex_);
  auto found = subscribers_.find(clientId);
  if (found == subscribers_.end() || (connection != nullptr && found->second->GetConn() != connection)) return nullptr;
  std::shared_ptr<MQTTStoreForwardSubscriber> subscriber = found->second;
  subscribers_.erase(found);
  subscriber->RequestStop();
  stoppingOutside_.insert(clientId);
  return subscriber;
}

void MQTTStoreForwardPersist::StopTaken(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber) noexcept {
  try {
    stopSubscriber(subscriber);
  } catch (const YXException& e) {
    char line[1400];
    snprintf(line, sizeof line, "starling - Not able to unsubscribe [%s] from Store & Forward - %d - %s",
             subscriber->GetClientId().c_str(), e.GetErrorCode(), e.GetErrorMsg());
    Log(line, e.GetErrorCode());
  }
  std::lock_guard<std::mutex> hold(subscribersMutex_);
  stoppingOutside_.erase(subscriber->GetClientId());
  hooksDone_.notify_all();
}

void MQTTStoreForwardPersist::EnterHook() {
  std::lock_guard<std::mutex> hold(subscribersMutex_);
  hookUsers_++;
}

void MQTTStoreForwardPersist::LeaveHook() {
  std::lock_guard<std::mutex> hold(subscribersMutex_);
  hookUsers_--;
  hooksDone_.notify_all();
}

void MQTTStoreForwardPersist::Unsubscribe(const std::string& clientId, nev_connection* connection) {
  std::shared_ptr<MQTTStoreForwardSubscriber> subscriber = TakeSubscriber(clientId, connection);
  if (subscriber == nullptr) {
    if (connection != nullptr) return;
    starlingThrow("MQTTStoreForwardPersist::Unsubscribe", 100, "Key not found");
  }
  StopTaken(subscriber);
}

bool MQTTStoreForwardPersist::Resubscribe(const std::string& clientId, nev_connection* connection, char qos) {
  std::lock_guard<std::mutex> hold(subscribersMutex_);
  auto found = subscribers_.find(clientId);
  if (found == subscribers_.end() || found->second->GetConn() != connection) return false;
  // Overlapping filters of one client all match the topic: it gets the
  // highest QoS any of them asked for.
  char was = found->second->GetQoS();
  found->second->SetQoS(std::max(was, static_cast<char>(qos > 2 ? 2 : qos)));
  uint64_t unlogged = 0;
  if (!found->second->resubscribeLog.allow(&unlogged)) return true;
  std::string left = unlogged > 0 ? " (" + std::to_string(unlogged) + " more not logged)" : "";
  starlingLog(10024, "starling - Client ID [%s] is already a subscriber for topic [%s]: its QoS %d is now %d%s",
              clientId.c_str(), GetTopic(), was, found->second->GetQoS(), left.c_str());
  return true;
}

bool MQTTStoreForwardPersist::HasSubscriber(const std::string& clientId, nev_connection* connection) {
  std::lock_guard<std::mutex> hold(subscribersMutex_);
  auto found = subscribers_.find(clientId);
  return found != subscribers_.end() && (connection == nullptr || found->second->GetConn() == connection);
}

void MQTTStoreForwardPersist::stopSubscribers() noexcept {
  std::map<std::string, std::shared_ptr<MQTTStoreForwardSubscriber>> all;
  std::unique_lock<std::mutex> hold(subscribersMutex_);
  stopped_ = true;
  // Hooks that use the topic finish first: a subscriber one of them stops
  // still needs the engine.
  hooksDone_.wait(hold, [&] { return hookUsers_ == 0 && stoppingOutside_.empty(); });
  all.swap(subscribers_);
  for (auto& [name, subscriber] : all) subscriber->RequestStop();  // every reader leaves its wait at once
  for (auto& [name, subscriber] : all) {
    try {
      stopSubscriber(subscriber);
    } catch (const YXException& e) {
      char line[1400];
      snprintf(line, sizeof line, "starling - Not able to unsubscribe [%s] from Store & Forward - %s", name.c_str(),
               e.GetErrorMsg());
      Log(line, e.GetErrorCode());
    }
  }
}

void MQTTStoreForwardPersist::UpdateSubscriberCompleted(int64_t position, const std::string& clientId) {
  engine_->UpdateCompletedPosition(clientId.c_str(), position);
}

// ---- payloads ----

bool MQTTStoreForwardPersist::TransformPayload(const char* payload, size_t length, std::string* text) {
  std::lock_guard<std::mutex> hold(schemaMutex_);
  if (schema_ == nullptr) return false;
  try {
    zvJsonPtr json(schema_->BuildJson(payload, static_cast<int>(length)));
    *text = jsonText(json.get());
    return true;
  } catch (const YXException& e) {
    char line[1400];
    snprintf(line, sizeof line,
             "starling - Not able to execute the schema transformation for the current message of topic [%s] - %s",
             GetTopic(), e.GetErrorMsg());
    Log(line, e.GetErrorCode());
    return false;
  }
}

std::string MQTTStoreForwardPersist::PayloadOf(ZVRecord* record) {
  std::shared_lock<std::shared_mutex> hold(deliveryLock_);
  ZVBlob source = record->GetFieldAsBlob("source_payload");
  if (source.GetSize() > 0 && schema_ == nullptr) return source.bytes();
  // Decoded when stored, unless the topic transforms on forward.
  if (source.GetSize() > 0 && !record->IsFieldNull("target_payload")) {
    std::string stored = record->GetFieldAsString("target_payload");
    if (!stored.empty()) return stored;
  }
  if (source.GetSize() > 0) {
    zvJsonPtr json(schema_->BuildJson(source.GetData(), static_cast<int>(source.GetSize())));
    return jsonText(json.get());
  }
  zvJsonPtr json(zvJsonAlloc());
  if (json == nullptr) starlingThrow("MQTTStoreForwardPersist::PayloadOf", 10006, "JSON allocation failed");
  for (const auto& [path, field] : GetFieldHash()) {
    if (!field->hasPath || isNamed(field->fieldName, "ts")) continue;
    addColumn(json.get(), field->propertyPath.c_str(), *field, record);
  }
  return jsonText(json.get());
}

bool MQTTStoreForwardPersist::WithRow(int64_t position, const std::function<void(ZVRecord*)>& fn) {
  ZVRecord* record = nullptr;
  ZVDatabaseLease db = AcquireConn(&record);
  bool found = record->FindRowid(position, RL_FIND_EQ) != 0;
  if (found) fn(record);
  record->Clear();
  return found;
}

// ---- the event handler's hooks ----

namespace {

// The live topics a hook works on, each counted as used until the hook is
// done; gLiveMutex is held only while they are picked.
class HookTopics {
 public:
  template <class Pick>
  explicit HookTopics(Pick pick) {
    std::lock_guard<std::mutex> live(gLiveMutex);
    for (MQTTStoreForwardPersist* topic : gLive)
      if (pick(topic)) topics_.push_back(topic);
    for (MQTTStoreForwardPersist* topic : topics_) enter(topic);
  }
  ~HookTopics() {
    for (MQTTStoreForwardPersist* topic : topics_) leave(topic);
  }
  HookTopics(const HookTopics&) = delete;
  HookTopics& operator=(const HookTopics&) = delete;
  const std::vector<MQTTStoreForwardPersist*>& topics() const { return topics_; }

  static void enter(MQTTStoreForwardPersist* topic) { topic->EnterHook(); }
  static void leave(MQTTStoreForwardPersist* topic) { topic->LeaveHook(); }

 private:
  std::vector<MQTTStoreForwardPersist*> topics_;
};

}  // namespace

void MQTTStoreForwardPersist::SubscribeFilter(nev_connection* connection, const std::string& clientId,
                                              const std::string& filter, uint8_t qos) {
  HookTopics matched([&](MQTTStoreForwardPersist* topic) { return filterMatches(filter.c_str(), topic->GetTopic()); });
  for (MQTTStoreForwardPersist* topic : matched.topics()) {
    // Once per client id; a subscriber on an earlier connection of the id
    // (taken over, closing) is replaced, one on this connection takes the
    // new QoS.
    if (topic->Resubscribe(clientId, connection, static_cast<char>(qos))) continue;
    starlingLogFailure("starling - Not able to subscribe to Store & Forward system for topic %s while subscribing - %s",
                       filter, [&] { topic->Subscribe(connection, clientId, static_cast<char>(qos)); });
  }
}

void MQTTStoreForwardPersist::UnsubscribeUnmatched(nev_connection* connection, const std::string& clientId,
                                                   nev_broker_session* session) {
  StarlingBroker& b = starlingBroker();
  HookTopics held([&](MQTTStoreForwardPersist* topic) { return topic->HasSubscriber(clientId, connection); });
  for (MQTTStoreForwardPersist* topic : held.topics()) {
    bool matched = false;
    if (session != nullptr && b.coreReady) {
      nev_rwlock_guard shared(b.core.lock, nev_rwlock_mode::shared);
      for (size_t i = 0; i < session->num_subscriptions && !matched; i++)
        matched = filterMatches(session->subscriptions[i].topic, topic->GetTopic());
    }
    if (matched) continue;
    starlingLogFailure(
        "starling - Not able to unsubscribe to Store & Forward system for topic %s while subscribing - %s",
        std::string(topic->GetTopic()), [&] { topic->Unsubscribe(clientId, connection); });
  }
}

void MQTTStoreForwardPersist::DropConnection(nev_connection* connection, const std::string& clientId) {
  if (nev_broker_session* session = nev_broker_session_of(connection))
    __atomic_store_n(&session->user_data, kSessionClosing, __ATOMIC_RELEASE);
  // Taken off every topic at once, then stopped one by one with no mutex
  // held: another client's SUBSCRIBE never waits for these joins.
  HookTopics held([&](MQTTStoreForwardPersist* topic) { return topic->HasSubscriber(clientId, connection); });
  std::vector<std::pair<MQTTStoreForwardPersist*, std::shared_ptr<MQTTStoreForwardSubscriber>>> taken;
  for (MQTTStoreForwardPersist* topic : held.topics())
    if (auto subscriber = topic->TakeSubscriber(clientId, connection)) taken.emplace_back(topic, std::move(subscriber));
  for (auto& [topic, subscriber] : taken) topic->StopTaken(subscriber);
}
