// The subscriber and topic registries and the mqtt_subscription,
// mqtt_subscription_history and mqtt_topic tables.
//
// Lock order: topic registry, subscriber registry, then one entry's mutex at a
// time (a connection's mutex is never taken while an entry's is held).
#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "persist.h"
#include "tables.h"

namespace {

std::recursive_mutex gTopicMutex;
std::map<std::string, std::shared_ptr<MQTTTopic>> gTopics;
std::atomic<uint64_t> gTopicGeneration{1};

// Bounds of the topic registry: clients publish to as many topic names as
// they like, and every entry can be loaded again from its row. Past either
// bound the least recently used entries leave until a quarter of the room
// is free again, so that a flood of new names does not evict on every one.
constexpr size_t kMaxTopicEntries = 4096;
constexpr size_t kMaxTopicBytes = 16u << 20;
constexpr size_t kTopicEntryOverhead = 512;  // the entry, its mutexes and the map node
size_t gTopicBytes = 0;                      // under gTopicMutex

size_t footprintOf(const MQTTTopic& topic) {
  return kTopicEntryOverhead + (topic.name != nullptr ? strlen(topic.name) : 0) + topic.retainedPayload.size();
}

// What keeps an entry in memory longer: subscribers listed, a retained
// payload, a persisted topic.
bool isNeeded(MQTTTopic& topic) {
  std::lock_guard<std::recursive_mutex> lock(topic.mutex);
  return !topic.subscribers.empty() || topic.hasRetained || MQTTPersist::GetMQTTPersist(topic.name) != nullptr;
}

// Makes room for `incoming` more bytes and one more entry; the topic
// registry mutex held. Returns the entries that left, whose statistics the
// caller writes to their rows once the mutex is released.
std::vector<std::shared_ptr<MQTTTopic>> makeRoom(size_t incoming) {
  std::vector<std::shared_ptr<MQTTTopic>> gone;
  if (gTopics.size() + 1 <= kMaxTopicEntries && gTopicBytes + incoming <= kMaxTopicBytes) return gone;
  size_t entriesGoal = kMaxTopicEntries * 3 / 4, bytesGoal = kMaxTopicBytes * 3 / 4;
  std::vector<std::pair<uint64_t, std::string>> unneeded, needed;
  for (auto& [name, topic] : gTopics)
    (isNeeded(*topic) ? needed : unneeded).emplace_back(topic->lastUsedMs.load(std::memory_order_relaxed), name);
  std::sort(unneeded.begin(), unneeded.end());
  std::sort(needed.begin(), needed.end());
  for (auto* candidates : {&unneeded, &needed}) {
    for (const auto& [used, name] : *candidates) {
      if (gTopics.size() <= entriesGoal && gTopicBytes + incoming <= bytesGoal) break;
      auto it = gTopics.find(name);
      gTopicBytes -= std::min(gTopicBytes, footprintOf(*it->second));
      gone.push_back(std::move(it->second));
      gTopics.erase(it);
    }
  }
  // Connections that keep an entry by generation look it up again.
  gTopicGeneration.fetch_add(1);
  return gone;
}

// The statistics of departed entries go to their rows (only what changed).
void persistDeparted(const std::vector<std::shared_ptr<MQTTTopic>>& gone) {
  for (const auto& topic : gone) {
    bool changed;
    {
      std::lock_guard<StatsLock> stats(topic->statsLock);
      changed = topic->messageCount != topic->persistedCount;
    }
    if (changed)
      starlingLogFailure("starling - Not able to store the statistics of topic [%s] - %s", topic->name,
                         [&] { MQTTTopic::Persist(topic.get()); });
  }
}
std::recursive_mutex gSubscriberMutex;
std::map<std::string, std::unique_ptr<MQTTSubscriber>> gSubscribers;

bool filterMatches(const char* filter, const char* topic) {
  return nev_mqtt_topic_match_cstr(filter, nev_slice{topic, strlen(topic)}) != 0;
}

void rethrowClient(const char* function, const ZVException& e) {
  starlingThrow(function, e.GetErrorCode(), "%s", e.GetErrorMsg());
}

// Removes an entry that no connection uses any more; both registry mutexes held.
void eraseIfEmpty(MQTTSubscriber* entry) {
  {
    std::lock_guard<std::recursive_mutex> lock(entry->mutex);
    if (!entry->connections.empty()) return;
  }
  for (auto& [name, topic] : gTopics) topic->RemoveSubscriber(entry);
  auto it = gSubscribers.find(entry->topicExpression);
  if (it != gSubscribers.end() && it->second.get() == entry) gSubscribers.erase(it);
}

// Positions the record on the client's mqtt_subscription row of the filter;
// false when it has none.
bool findSubscriptionRow(ZVRecord* record, int number, const char* filter) {
  record->Clear();
  record->SetDefaultIndex("mqtt_subscription_client");
  record->SetFieldAsSigned("client_id", number);
  for (int found = record->Find(RL_FIND_EQ); found != 0; found = record->Next()) {
    if (record->GetFieldAsSigned("client_id") != number) return false;
    if (record->GetFieldAsString("topic_filter") == filter) return true;
  }
  return false;
}

int64_t secondsOf(const ZVDateTime& dt) {
  // Day 0 of the engine's day numbers is not 1970: go through the calendar.
  struct tm t {};
  t.tm_year = dt.GetYear() - 1900;
  t.tm_mon = dt.GetMonth() - 1;
  t.tm_mday = dt.GetDay();
  t.tm_hour = dt.GetHour();
  t.tm_min = dt.GetMinute();
  t.tm_sec = dt.GetSecond();
  return static_cast<int64_t>(timegm(&t));
}

ZVDateTime nowDateTime() {
  ZVDateTime now;
  zvGetCurrentDateTime(&now);
  return now;
}

}  // namespace

// ---- MQTTSubscriber ----

MQTTSubscriber::MQTTSubscriber(const char* filter, MQTTConnection* connection, uint8_t requested) {
  if (filter == nullptr || filter[0] == '\0')
    starlingThrow("MQTTSubscriber::MQTTSubscriber", 10004, "Not able to create subscriber. Missing topic expression.");
  if (connection == nullptr)
    starlingThrow("MQTTSubscriber::MQTTSubscriber", 10004, "Not able to create subscriber. Missing connection object.");
  topicExpression = dupStr(filter);
  connections.push_back(connection);
  qos = requested;
}

MQTTSubscriber::~MQTTSubscriber() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  VOKTFree(topicExpression);
  connections.clear();
}

void MQTTSubscriber::AddConnection(MQTTConnection* connection) {
  if (connection == nullptr)
    starlingThrow("MQTTSubscriber::AddConnection", 10004,
                  "Not able to add connection to subscriber list. Missing connection object.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  if (std::find(connections.begin(), connections.end(), connection) == connections.end())
    connections.push_back(connection);
}

void MQTTSubscriber::RemoveConnection(MQTTConnection* connection, bool* nowEmpty) {
  if (connection == nullptr)
    starlingThrow("MQTTSubscriber::RemoveConnection", 10004,
                  "Not able to remove connection from subscriber list. Missing connection object.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  connections.erase(std::remove(connections.begin(), connections.end(), connection), connections.end());
  if (nowEmpty != nullptr) *nowEmpty = connections.empty();
}

json_object* MQTTSubscriber::GetJson(bool withConnections) {
  zvJsonPtr owner(zvJsonAlloc());
  json_object* json = owner.get();
  if (json == nullptr)
    starlingThrow("MQTTSubscriber::GetJson", 10006,
                  "Not able to build JSON with subscriber information. JSON allocation failed.");
  std::vector<MQTTConnection*> users;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (topicExpression != nullptr) zvJsonAddString(json, "topicExpression", topicExpression);
    zvJsonAddInt(json, "qos", qos);
    users = connections;
  }
  if (!withConnections) return owner.release();
  // The connections stay alive: they leave this entry under the subscriber
  // registry mutex, which the callers of GetJson(true) hold.
  starlingAddJsonList(
      json, "connectionList", users, [](MQTTConnection* c) { return c->GetJson(false); }, "MQTTSubscriber::GetJson",
      "Not able to build JSON with subscriber information. JSON array allocation failed.");
  return owner.release();
}

json_object* MQTTSubscriber::GetInfo() {
  const char* fn = "MQTTSubscriber::GetInfo";
  zvJsonPtr json(zvJsonAlloc());
  if (json == nullptr)
    starlingThrow(fn, 10006, "Not able to retrieve subscriber list information. JSON allocation failed.");
  std::lock_guard<std::recursive_mutex> lock(gSubscriberMutex);
  starlingAddJsonList(
      json.get(), "subscriberList", gSubscribers, [](const auto& entry) { return entry.second->GetJson(true); }, fn,
      "Not able to retrieve subscriber list information. JSON array allocation failed.");
  return json.release();
}

void MQTTSubscriber::AddSubscriber(const char* filter, nev_broker_session* session, uint8_t requested) {
  if (filter == nullptr || filter[0] == '\0')
    starlingThrow("MQTTSubscriber::AddSubscriber", 10004, "Not able to add subscriber. Missing topic expression.");
  if (session == nullptr)
    starlingThrow("MQTTSubscriber::AddSubscriber", 10004,
                  "Not able to add subscriber. Missing topic MQTT session pointer.");
  MQTTConnection* connection = MQTTConnection::FindBySession(session);
  if (connection == nullptr)
    starlingThrow("MQTTSubscriber::AddSubscriber", 10004, "Not able to create subscriber. Missing connection object.");
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  std::lock_guard<std::recursive_mutex> subs(gSubscriberMutex);
  MQTTSubscriber* entry;
  auto found = gSubscribers.find(filter);
  if (found != gSubscribers.end()) {
    entry = found->second.get();
    entry->AddConnection(connection);
    std::lock_guard<std::recursive_mutex> lock(entry->mutex);
    if (requested > entry->qos) entry->qos = requested;
  } else {
    auto created = std::make_unique<MQTTSubscriber>(filter, connection, requested);
    entry = created.get();
    gSubscribers.emplace(filter, std::move(created));
  }
  MQTTTopic::AddTopicSubscriber(entry);
  connection->AddSubscriber(entry);
}

void MQTTSubscriber::RemoveSubscriber(const char* filter, nev_broker_session* session) {
  if (filter == nullptr || filter[0] == '\0')
    starlingThrow("MQTTSubscriber::RemoveSubscriber", 10004,
                  "Not able to remove subscriber. Missing topic expression.");
  MQTTConnection* connection = session != nullptr ? MQTTConnection::FindBySession(session) : nullptr;
  if (connection == nullptr) return;
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  std::lock_guard<std::recursive_mutex> subs(gSubscriberMutex);
  auto found = gSubscribers.find(filter);
  if (found == gSubscribers.end()) return;
  MQTTSubscriber* entry = found->second.get();
  entry->RemoveConnection(connection, nullptr);
  connection->RemoveSubscriber(entry);
  eraseIfEmpty(entry);
}

void MQTTSubscriber::DetachConnection(MQTTSubscriber* entry, MQTTConnection* connection) {
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  std::lock_guard<std::recursive_mutex> subs(gSubscriberMutex);
  bool listed =
      std::any_of(gSubscribers.begin(), gSubscribers.end(), [&](const auto& kv) { return kv.second.get() == entry; });
  if (!listed) return;
  entry->RemoveConnection(connection, nullptr);
  eraseIfEmpty(entry);
}

size_t MQTTSubscriber::Count() {
  std::lock_guard<std::recursive_mutex> lock(gSubscriberMutex);
  return gSubscribers.size();
}

void MQTTSubscriber::DeleteAll() {
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  std::lock_guard<std::recursive_mutex> subs(gSubscriberMutex);
  gSubscribers.clear();
}

void MQTTSubscriber::CheckMetadata(ZVDatabasePooled* db) {
  starlingCheckTable(db, kMqttSubscriptionTable, "MQTTSubscriber::CheckMetadata");
  starlingCheckTable(db, kMqttSubscriptionHistoryTable, "MQTTSubscriber::CheckMetadata");
}

int MQTTSubscriber::_addSubscription(ZVDatabasePooled* db, const char* clientId, const char* filter) {
  const char* fn = "MQTTConnection::_addSubscription";
  try {
    int number = MQTTConnection::GetPersistedClientID(db, clientId);
    ZVRecord* record = db->GetRecord("mqtt_subscription", true);
    if (record == nullptr) starlingThrow(fn, 10003, "Not able to retrieve record for the mqtt_subscription table");
    // A filter subscribed again replaces the subscription (MQTT 3.1.1
    // 3.8.4): a second row would outlive its UNSUBSCRIBE and disconnect,
    // which each remove one row.
    if (findSubscriptionRow(record, number, filter)) return number;
    record->Clear();
    record->SetFieldAsSigned("client_id", number);
    record->SetFieldAsString("topic_filter", filter);
    try {
      record->Write();
    } catch (const ZVException& e) {
      if (e.GetErrorCode() != 2) throw;
    }
    return number;
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
  return -1;
}

int MQTTSubscriber::_removeSubscription(ZVDatabasePooled* db, const char* clientId, const char* filter) {
  const char* fn = "MQTTConnection::_removeSubscription";
  try {
    int number = MQTTConnection::GetPersistedClientID(db, clientId);
    ZVRecord* record = db->GetRecord("mqtt_subscription", true);
    if (record == nullptr) starlingThrow(fn, 10003, "Not able to retrieve record for the mqtt_subscription table");
    ZVLockGuard lock(db);
    if (findSubscriptionRow(record, number, filter)) record->Delete();
    lock.release();
    return number;
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
  return -1;
}

void MQTTSubscriber::RecordSubscription(ZVDatabasePooled* db, const char* clientId, const char* filter) {
  int number = _addSubscription(db, clientId, filter);
  _addSubscriptionHistory(db, number, filter, "S");
  MQTTConnection::AddTopicsByExpresion(db, number, filter);
}

void MQTTSubscriber::RecordUnsubscription(ZVDatabasePooled* db, const char* clientId, const char* filter) {
  int number = _removeSubscription(db, clientId, filter);
  _addSubscriptionHistory(db, number, filter, "U");
  MQTTConnection::RemoveTopicsByExpresion(db, number, filter);
}

void MQTTSubscriber::_addSubscriptionHistory(ZVDatabasePooled* db, int number, const char* filter, const char* action) {
  const char* fn = "MQTTConnection::_addSubscriptionHistory";
  try {
    ZVRecord* record = db->GetRecord("mqtt_subscription_history", true);
    if (record == nullptr)
      starlingThrow(fn, 10003, "Not able to retrieve record for the mqtt_subscription_history table");
    record->Clear();
    record->SetFieldAsSigned("client_id", number);
    if (filter != nullptr) record->SetFieldAsString("topic_filter", filter);
    if (action != nullptr) record->SetFieldAsString("action", action);
    record->Write();
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
}

// ---- MQTTTopic ----

MQTTTopic::MQTTTopic() : createdTick(starlingTickMs()) {}

MQTTTopic::~MQTTTopic() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  VOKTFree(name);
  VOKTFree(createdBy);
  VOKTFree(updatedBy);
}

void MQTTTopic::AddSubscriber(MQTTSubscriber* entry) {
  if (entry == nullptr)
    starlingThrow("MQTTTopic::AddSubscriber", 10004, "Not able to add subscriber. Missing subscriber object.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  if (std::find(subscribers.begin(), subscribers.end(), entry) == subscribers.end()) subscribers.push_back(entry);
}

void MQTTTopic::RemoveSubscriber(MQTTSubscriber* entry) {
  if (entry == nullptr)
    starlingThrow("MQTTTopic::RemoveSubscriber", 10004, "Not able to remove subscriber. Missing subscriber object.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), entry), subscribers.end());
}

void MQTTTopic::CountPublication(const char* clientId) {
  ZVDateTime now = nowDateTime();
  std::lock_guard<StatsLock> lock(statsLock);
  messageCount++;
  lastMessageTime = now;
  updatedTime = now;
  if (clientId != nullptr && (updatedBy == nullptr || strcmp(updatedBy, clientId) != 0)) {
    // Publishers taking turns on a topic rewrite this on every message: the
    // text is copied into the block it has when it fits.
    size_t needed = strlen(clientId) + 1;
    if (updatedBy != nullptr && updatedByRoom == 0) updatedByRoom = strlen(updatedBy) + 1;
    if (updatedBy != nullptr && needed <= updatedByRoom) {
      memcpy(updatedBy, clientId, needed);
    } else {
      VOKTFree(updatedBy);
      updatedBy = nullptr;
      updatedBy = dupStr(clientId);
      updatedByRoom = needed;
    }
  }
}

json_object* MQTTTopic::GetJson() {
  json_object* json = zvJsonAlloc();
  if (json == nullptr)
    starlingThrow("MQTTTopic::GetJson", 10006,
                  "Not able to build JSON with topic information. JSON allocation failed.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  uint64_t count;
  ZVDateTime lastTime;
  {
    std::lock_guard<StatsLock> stats(statsLock);
    count = messageCount;
    lastTime = lastMessageTime;
  }
  zvJsonAddString(json, "name", name);
  zvJsonAddTimestamp(json, "creationTime", secondsOf(creationTime));
  zvJsonAddBigint(json, "messageCount", static_cast<int64_t>(count));
  // A topic never published to has no time of a last message.
  if (count != 0) zvJsonAddTimestamp(json, "lastMessageTime", secondsOf(lastTime));
  uint64_t elapsed = (starlingTickMs() - createdTick) / 1000;
  auto average = [&](uint64_t unit) {
    uint64_t units = elapsed / unit;
    return units == 0 ? 0.0 : static_cast<double>(static_cast<float>(count / units));
  };
  zvJsonAddDouble(json, "averageMessagesPerMinute", average(60));
  zvJsonAddDouble(json, "averageMessagesPerHour", average(3600));
  zvJsonAddDouble(json, "averageMessagesPerDay", average(86400));
  if (json_object* persistence = MQTTPersist::GetPersistenceJson(name)) zvJsonAdd(json, "persistence", persistence);
  return json;
}

namespace {

// A topic's JSON without its subscribers and the filters of those, taken
// under the topic registry mutex (which keeps the entries alive).
struct TopicView {
  zvJsonPtr json;
  std::vector<std::string> filters;
};

std::vector<TopicView> viewTopics() {
  std::vector<TopicView> views;
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  views.reserve(gTopics.size());
  for (auto& [name, topic] : gTopics) {
    TopicView view;
    view.json.reset(topic->GetJson());
    views.push_back(std::move(view));
    std::lock_guard<std::recursive_mutex> lock(topic->mutex);
    for (MQTTSubscriber* entry : topic->subscribers) {
      std::lock_guard<std::recursive_mutex> entryLock(entry->mutex);
      if (entry->topicExpression != nullptr) views.back().filters.emplace_back(entry->topicExpression);
    }
  }
  return views;
}

}  // namespace

json_object* MQTTTopic::GetInfo() {
  const char* fn = "MQTTTopic::GetInfo";
  zvJsonPtr json(zvJsonAlloc());
  if (json == nullptr) starlingThrow(fn, 10006, "Not able to retrieve topic list information. JSON allocation failed.");
  // The two registry mutexes are taken one after the other, never together:
  // publications and subscriptions wait for one short copy at a time.
  std::vector<TopicView> views = viewTopics();
  // Each subscriber entry is built once (its connections under the
  // subscriber registry mutex, which they leave an entry under) and shared
  // by the topics it matches, each topic holding a reference.
  std::map<std::string, zvJsonPtr> entries;
  {
    std::lock_guard<std::recursive_mutex> subs(gSubscriberMutex);
    for (TopicView& view : views) {
      std::vector<json_object*> listed;  // held by entries
      for (const std::string& filter : view.filters) {
        auto cached = entries.find(filter);
        if (cached == entries.end()) {
          auto found = gSubscribers.find(filter);
          if (found == gSubscribers.end()) continue;  // left since the copy
          zvJsonPtr entry(found->second->GetJson(true));
          cached = entries.emplace(filter, std::move(entry)).first;
        }
        listed.push_back(cached->second.get());
      }
      starlingAddJsonList(
          view.json.get(), "subscriberList", listed, [](json_object* entry) { return json_object_get(entry); },
          "MQTTTopic::GetJson", "Not able to build JSON with topic information. JSON array allocation failed.");
    }
  }
  entries.clear();
  starlingAddJsonList(
      json.get(), "topicList", views, [](TopicView& view) { return view.json.release(); }, fn,
      "Not able to retrieve topic list information. JSON array allocation failed.");
  return json.release();
}

std::shared_ptr<MQTTTopic> MQTTTopic::CheckTopic(const char* topicName, const char* clientId, bool retain,
                                                 const void* payload, size_t length, uint8_t qos, bool* isNew) {
  if (topicName == nullptr || topicName[0] == '\0')
    starlingThrow("MQTTTopic::CheckTopic", 10004, "Not able to update topic statistics. Missing topic name.");
  if (isNew != nullptr) *isNew = false;
  std::vector<std::shared_ptr<MQTTTopic>> departed;
  std::shared_ptr<MQTTTopic> topic;
  {
    std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
    auto found = gTopics.find(topicName);
    if (found != gTopics.end()) {
      topic = found->second;
    } else {
      std::unique_ptr<MQTTTopic> loaded;
      {
        StarlingDb db;
        loaded.reset(Load(db.get(), topicName));
      }
      if (!loaded) {
        loaded = std::make_unique<MQTTTopic>();
        loaded->name = dupStr(topicName);
        loaded->creationTime = nowDateTime();
        loaded->updatedTime = loaded->creationTime;
        if (clientId != nullptr) {
          loaded->createdBy = dupStr(clientId);
          loaded->updatedBy = dupStr(clientId);
        }
        if (isNew != nullptr) *isNew = true;
      }
      departed = makeRoom(footprintOf(*loaded));
      topic = std::shared_ptr<MQTTTopic>(loaded.release());
      gTopics.emplace(topicName, topic);
      gTopicBytes += footprintOf(*topic);
      std::lock_guard<std::recursive_mutex> subs(gSubscriberMutex);
      for (auto& [filter, entry] : gSubscribers)
        if (filterMatches(filter.c_str(), topicName)) topic->AddSubscriber(entry.get());
    }
    topic->lastUsedMs.store(starlingTickMs(), std::memory_order_relaxed);
    if (retain) {
      std::lock_guard<std::recursive_mutex> lock(topic->mutex);
      size_t before = footprintOf(*topic);
      // A zero-length retained publication clears what was retained.
      const auto* bytes = static_cast<const unsigned char*>(payload);
      topic->retainedPayload.assign(bytes, bytes + (bytes != nullptr ? length : 0));
      topic->hasRetained = !topic->retainedPayload.empty();
      topic->retainedQos = qos;
      if (gTopics.count(topicName) != 0) gTopicBytes = gTopicBytes - std::min(gTopicBytes, before) + footprintOf(*topic);
    }
  }
  persistDeparted(departed);
  return topic;
}

void MQTTTopic::AddTopicSubscriber(MQTTSubscriber* entry) {
  if (entry == nullptr)
    starlingThrow("MQTTTopic::AddTopicSubscriber", 10004,
                  "Not able to add subscriber to the topic's list. Missing subscriber.");
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  for (auto& [n, topic] : gTopics)
    if (filterMatches(entry->topicExpression, n.c_str())) topic->AddSubscriber(entry);
}

void MQTTTopic::RemoveTopicSubscriber(MQTTSubscriber* entry) {
  if (entry == nullptr)
    starlingThrow("MQTTTopic::RemoveTopicSubscriber", 10004,
                  "Not able to remove subscriber  from the topic's list. Missing subscriber.");
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  for (auto& [n, topic] : gTopics) topic->RemoveSubscriber(entry);
}

void MQTTTopic::CheckMetadata(ZVDatabasePooled* db) {
  starlingCheckTable(db, kMqttTopicTable, "MQTTTopic::CheckMetadata");
}

bool MQTTTopic::GetTopicRecord(ZVDatabasePooled* db, const char* topicName, ZVRecord* record) {
  (void)db;
  if (record == nullptr)
    starlingThrow("MQTTTopic::GetTopicRecord", 10003, "Not able to retrieve record for the mqtt_topic table");
  return starlingFindByLongName(record, "mqtt_topic_pk", "topic_id_", "topic_name", topicName);
}

int MQTTTopic::Persist(MQTTTopic* topic) {
  if (topic == nullptr) starlingThrow("MQTTTopic::Persist", 10004, "Missing MQTT topic entity object");
  StarlingDb db;
  try {
    ZVRecord* record = db.Record("mqtt_topic", "MQTTTopic::Persist");
    ZVLockGuard lock(db.get());
    {
      std::lock_guard<std::recursive_mutex> lock(topic->mutex);
      GetTopicRecord(db.get(), topic->name, record);
      if (topic->createdBy != nullptr) record->SetFieldAsString("created_by", topic->createdBy);
      record->SetFieldAsDateTime("created_ts", topic->creationTime);
      std::lock_guard<StatsLock> stats(topic->statsLock);
      if (topic->updatedBy != nullptr) record->SetFieldAsString("updated_by", topic->updatedBy);
      record->SetFieldAsDateTime("updated_ts", topic->updatedTime);
      if (topic->messageCount != 0) record->SetFieldAsDateTime("sent_msg_last_ts", topic->lastMessageTime);
      record->SetFieldAsBigint("sent_msg_count", static_cast<int64_t>(topic->messageCount));
      topic->persistedCount = topic->messageCount;
      if (topic->hasRetained) {
        record->SetFieldAsBlob("retain_payload", topic->retainedPayload.data(), topic->retainedPayload.size());
        record->SetFieldAsSigned("retain_qos", topic->retainedQos);
      } else {
        record->SetFieldNull("retain_payload");
      }
    }
    record->Write();
    lock.release();
    record->Read();
    return record->GetFieldAsSigned("topic_id");
  } catch (const ZVException& e) {
    rethrowClient("MQTTTopic::Persist", e);
  }
  return -1;
}

void MQTTTopic::PersistAll() {
  std::lock_guard<std::recursive_mutex> topics(gTopicMutex);
  for (auto& [n, topic] : gTopics) Persist(topic.get());
}

MQTTTopic* MQTTTopic::Load(ZVDatabasePooled* db, const char* topicName) {
  if (topicName == nullptr) starlingThrow("MQTTTopic::Load", 10004, "Missing MQTT topic name");
  try {
    ZVRecord* record = db->GetRecord("mqtt_topic", true);
    if (!GetTopicRecord(db, topicName, record)) return nullptr;
    auto topic = std::make_unique<MQTTTopic>();
    topic->topicId = record->GetFieldAsSigned("topic_id");
    topic->name = dupStr(topicName);
    topic->createdType =
        static_cast<uint8_t>(record->IsFieldNull("created_type") ? 0 : record->GetFieldAsSigned("created_type"));
    if (!record->IsFieldNull("created_by")) topic->createdBy = dupStr(record->GetFieldAsString("created_by").c_str());
    if (!record->IsFieldNull("created_ts")) topic->creationTime = record->GetFieldAsDateTime("created_ts");
    topic->updatedTime = nowDateTime();
    // An entry that left the registry comes back with its statistics.
    if (!record->IsFieldNull("sent_msg_count"))
      topic->messageCount = topic->persistedCount = static_cast<uint64_t>(record->GetFieldAsBigint("sent_msg_count"));
    if (!record->IsFieldNull("sent_msg_last_ts")) topic->lastMessageTime = record->GetFieldAsDateTime("sent_msg_last_ts");
    if (!record->IsFieldNull("retain_payload")) {
      ZVBlob blob = record->GetFieldAsBlob("retain_payload");
      topic->retainedPayload.assign(blob.GetData(), blob.GetData() + blob.GetSize());
      topic->hasRetained = !topic->retainedPayload.empty();
      if (!record->IsFieldNull("retain_qos"))
        topic->retainedQos = static_cast<uint8_t>(record->GetFieldAsSigned("retain_qos"));
    }
    return topic.release();
  } catch (const ZVException& e) {
    rethrowClient("MQTTTopic::Load", e);
  }
  return nullptr;
}

int MQTTTopic::GetTopicID(ZVDatabasePooled* db, const char* topicName) {
  try {
    ZVRecord* record = db->GetRecord("mqtt_topic", true);
    if (!GetTopicRecord(db, topicName, record)) return -1;
    return record->GetFieldAsSigned("topic_id");
  } catch (const ZVException& e) {
    rethrowClient("MQTTTopic::GetTopicID", e);
  }
  return -1;
}

char* MQTTTopic::GetTopicName(ZVDatabasePooled* db, int topicId) {
  try {
    ZVRecord* record = db->GetRecord("mqtt_topic", true);
    if (record == nullptr)
      starlingThrow("MQTTTopic::GetTopicRecordByID", 10003, "Not able to retrieve record for the mqtt_topic table");
    record->Clear();
    record->SetDefaultIndex("mqtt_topic_subs_pk");
    record->SetFieldAsSigned("topic_id", topicId);
    if (record->Find(RL_FIND_EQ) == 0) return nullptr;
    return dupStr(record->GetFieldAsString("topic_name").c_str());
  } catch (const ZVException& e) {
    rethrowClient("MQTTTopic::GetTopicName", e);
  }
  return nullptr;
}

size_t MQTTTopic::Count() {
  std::lock_guard<std::recursive_mutex> lock(gTopicMutex);
  return gTopics.size();
}

void MQTTTopic::DeleteAll() {
  std::lock_guard<std::recursive_mutex> lock(gTopicMutex);
  gTopicGeneration.fetch_add(1);
  gTopics.clear();
  gTopicBytes = 0;
}

uint64_t MQTTTopic::Generation() { return gTopicGeneration.load(); }

namespace {

// Bytes of topic names the rows of mqtt_topic hold at most: a client can
// publish to new names without end, each a row of up to 65,500 bytes.
constexpr int64_t kMaxTopicRowBytes = 64ll << 20;
// Rows deleted in one pass at most (the clean-up thread comes back).
constexpr int64_t kTopicTrimBatch = 1000;

// The topic ids some other row refers to: persisted topics (and their
// history) and the links of live subscriptions.
std::set<int64_t> referencedTopicIds(StarlingDb& db, const char* fn) {
  std::set<int64_t> ids;
  for (const char* table : {"mqtt_topic_persistence", "mqtt_topic_persistence_history", "mqtt_connection_topic"}) {
    ZVRecord* record = db.Record(table, fn);
    record->Clear();
    record->SetDefaultIndex(RL_ROWID_INDEX);
    for (int found = record->First(); found != 0; found = record->Next())
      ids.insert(record->GetFieldAsBigint("topic_id"));
    record->Clear();
  }
  return ids;
}

}  // namespace

int64_t MQTTTopic::TrimRows(int64_t maxRows) {
  const char* fn = "MQTTTopic::TrimRows";
  int64_t removed = 0;
  try {
    StarlingDb db;
    ZVRecord* topics = db.Record("mqtt_topic", fn);
    int64_t rows = topics->GetRecordCount();
    // The names' bytes are summed again only when the rows changed, and
    // only when they could pass the bound (names hold 65,500 bytes at most).
    static int64_t countedRows = -1, countedBytes = 0;  // the clean-up thread's own
    int64_t bytes = 0;
    if (rows == countedRows) {
      bytes = countedBytes;
    } else if (rows > kMaxTopicRowBytes / 65500) {
      topics->Clear();
      topics->SetDefaultIndex(RL_ROWID_INDEX);
      for (int found = topics->First(); found != 0; found = topics->Next())
        bytes += topics->GetFieldAsSigned("topic_id_size");
      topics->Clear();
      countedRows = rows, countedBytes = bytes;
    }
    if (rows <= maxRows && bytes <= kMaxTopicRowBytes) return 0;
    // Down to nine tenths, so that a steady flow of new names trims in batches.
    int64_t rowsGoal = maxRows - maxRows / 10, bytesGoal = kMaxTopicRowBytes - kMaxTopicRowBytes / 10;
    std::set<int64_t> referenced = referencedTopicIds(db, fn);
    // Under the registry mutex: no publisher loads a row while it goes (an
    // entry still in memory writes its row again when its statistics are
    // stored).
    std::lock_guard<std::recursive_mutex> registry(gTopicMutex);
    topics->Clear();
    topics->SetDefaultIndex(RL_ROWID_INDEX);  // the oldest first
    std::vector<int64_t> going;
    for (int found = topics->First();
         found != 0 && static_cast<int64_t>(going.size()) < kTopicTrimBatch && (rows > rowsGoal || bytes > bytesGoal);
         found = topics->Next()) {
      if (referenced.count(topics->GetFieldAsBigint("topic_id")) != 0 || !topics->IsFieldNull("retain_payload"))
        continue;
      std::string name = topics->GetFieldAsString("topic_name");
      if (name == STARLING_ADMIN_TOPIC) continue;
      going.push_back(topics->GetRowid());
      rows--, bytes -= topics->GetFieldAsSigned("topic_id_size");
    }
    topics->Clear();
    StarlingTransaction transaction(db.get());
    for (int64_t rowid : going)
      if (topics->FindRowid(rowid, RL_FIND_EQ) != 0) topics->Delete(), removed++;
    transaction.Commit();
    topics->Clear();
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
  return removed;
}
