// The connection registry and the mqtt_client, mqtt_connection_history,
// mqtt_connection_topic and mqtt_connection_topic_history tables.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>

#include "tables.h"

namespace {

std::mutex gRegistryMutex;
std::map<std::string, std::shared_ptr<MQTTConnection>> gRegistry;
// Connections whose client id was taken over by a newer CONNECT: they stay
// here, out of the id's slot, until their own engine connection closes.
std::vector<std::shared_ptr<MQTTConnection>> gRetired;

void rethrowClient(const char* function, const ZVException& e) {
  starlingThrow(function, e.GetErrorCode(), "%s", e.GetErrorMsg());
}

// One transaction for a batch of row changes: committed by commit(), aborted
// when the scope ends without it.
struct DbTransaction {
  explicit DbTransaction(ZVDatabasePooled* db) : db(db) { db->Begin(); }
  void commit() {
    open = false;
    db->Commit();
  }
  ~DbTransaction() {
    if (open) {
      try {
        db->Abort();
      } catch (...) {
      }
    }
  }
  ZVDatabasePooled* db;
  bool open = true;
};

// Deletes every row of the table, calling onRow(record) for each before it goes.
template <class OnRow>
void deleteEveryRow(ZVRecord* record, OnRow onRow) {
  record->Clear();
  while (record->First() != 0) {
    onRow(record);
    record->Delete();
  }
}

bool isGeneratedId(const char* id) {
  return strncmp(id, STARLING_GENERATED_ID_PREFIX, strlen(STARLING_GENERATED_ID_PREFIX)) == 0;
}

bool holdsEntry(MQTTConnection* conn, MQTTSubscriber* entry) {
  std::lock_guard<std::recursive_mutex> lock(conn->mutex);
  return std::find(conn->subscribers.begin(), conn->subscribers.end(), entry) != conn->subscribers.end();
}

// Detaches the connection's subscriber entries and its subscription rows.
// The rows are the client id's: a filter that `holder` (the connection that
// took the id over) has subscribed again keeps its rows.
void dropSubscriptions(MQTTConnection* conn, MQTTConnection* holder) {
  std::vector<MQTTSubscriber*> entries;
  {
    std::lock_guard<std::recursive_mutex> lock(conn->mutex);
    entries.swap(conn->subscribers);
  }
  for (MQTTSubscriber* entry : entries) {
    std::string filter;
    {
      std::lock_guard<std::recursive_mutex> lock(entry->mutex);
      filter = entry->topicExpression != nullptr ? entry->topicExpression : "";
    }
    try {
      std::lock_guard<std::mutex> rows(MQTTConnection::subscriptionRowsMutex);
      if (conn->clientId != nullptr && !filter.empty() && (holder == nullptr || !holdsEntry(holder, entry))) {
        StarlingDb db;
        StarlingTransaction transaction(db.get());
        MQTTSubscriber::RecordUnsubscription(db.get(), conn->clientId, filter.c_str());
        transaction.Commit();
      }
    } catch (const YXException& e) {
      starlingLog(e.GetErrorCode(), "starling - Not able to remove subscriptions for connection being closed - %s",
                  e.GetErrorMsg());
    } catch (const ZVException& e) {
      starlingLog(e.GetErrorCode(), "starling - Not able to remove subscriptions for connection being closed - %s",
                  e.GetErrorMsg());
    }
    MQTTSubscriber::DetachConnection(entry, conn);
  }
}

}  // namespace

std::mutex MQTTConnection::subscriptionRowsMutex;

MQTTConnection::MQTTConnection(const char* id, const char* user, uint16_t keep, uint8_t clean)
    : clientId(dupStr(id)),
      userName(user != nullptr ? dupStr(user) : nullptr),
      cleanSession(clean),
      connectionTime(static_cast<int64_t>(time(nullptr))),
      keepAlive(keep),
      lastActivity(starlingTickMs()) {}

MQTTConnection::~MQTTConnection() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  VOKTFree(clientId);
  VOKTFree(userName);
  subscribers.clear();
}

MQTTConnection* MQTTConnection::AddConnection(const char* id, const char* user, uint16_t keep, uint8_t clean,
                                              nev_broker_session* session, nev_broker_session** previous) {
  if (previous != nullptr) *previous = nullptr;
  auto conn = std::make_shared<MQTTConnection>(id, user, keep, clean);
  conn->session = session;
  MQTTConnection* added = conn.get();
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto found = gRegistry.find(id);
  if (found != gRegistry.end()) {
    if (previous != nullptr) *previous = found->second->session.load();
    gRetired.push_back(std::move(found->second));
    found->second = std::move(conn);
  } else {
    gRegistry.emplace(id, std::move(conn));
  }
  return added;
}

void MQTTConnection::RemoveConnection(nev_broker_session* session) {
  if (session == nullptr)
    starlingThrow("MQTTConnection::RemoveConnection", 10004,
                  "Not able to remove connection. Missing topic MQTT session pointer.");
  std::shared_ptr<MQTTConnection> removed, holder;
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    for (auto it = gRegistry.begin(); it != gRegistry.end(); ++it) {
      if (it->second->session.load() == session) {
        removed = std::move(it->second);
        gRegistry.erase(it);
        break;
      }
    }
    if (!removed) {
      auto it =
          std::find_if(gRetired.begin(), gRetired.end(), [&](const auto& c) { return c->session.load() == session; });
      if (it != gRetired.end()) {
        removed = std::move(*it);
        gRetired.erase(it);
        auto current = removed->clientId != nullptr ? gRegistry.find(removed->clientId) : gRegistry.end();
        if (current != gRegistry.end()) holder = current->second;
      }
    }
  }
  if (removed) dropSubscriptions(removed.get(), holder.get());
}

MQTTConnection* MQTTConnection::FindBySession(nev_broker_session* session) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  for (auto& [id, conn] : gRegistry)
    if (conn->session.load() == session) return conn.get();
  return nullptr;
}

bool MQTTConnection::Touch(const char* id) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto found = gRegistry.find(id);
  if (found == gRegistry.end()) return false;
  found->second->lastActivity = starlingTickMs();
  return true;
}

std::shared_ptr<MQTTConnection> MQTTConnection::Find(const char* id) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto found = gRegistry.find(id);
  return found != gRegistry.end() ? found->second : nullptr;
}

bool MQTTConnection::HeldByOther(const char* id, nev_broker_session* session) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto found = gRegistry.find(id);
  return found != gRegistry.end() && found->second->session.load() != session;
}

std::vector<nev_broker_session*> MQTTConnection::IdleSessions(uint64_t nowMs) {
  std::vector<nev_broker_session*> idle;
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  for (auto& [id, conn] : gRegistry) {
    // A keep-alive of 0 turns the mechanism off (MQTT 3.1.1 3.1.2.10).
    if (conn->keepAlive == 0 || conn->session.load() == nullptr) continue;
    // A packet may stamp the connection after nowMs was read: not idle at all.
    uint64_t last = conn->lastActivity.load();
    uint64_t idleSeconds = nowMs > last ? (nowMs - last) / 1000 : 0;
    if (idleSeconds * 2 >= uint64_t(conn->keepAlive) * 3) idle.push_back(conn->session.load());
  }
  return idle;
}

size_t MQTTConnection::Count() {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  return gRegistry.size();
}

void MQTTConnection::DeleteAll() {
  std::map<std::string, std::shared_ptr<MQTTConnection>> registry;
  std::vector<std::shared_ptr<MQTTConnection>> retired;
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  registry.swap(gRegistry);
  retired.swap(gRetired);
}

json_object* MQTTConnection::GetJson(bool withSubscribers) {
  zvJsonPtr owner(zvJsonAlloc());
  json_object* json = owner.get();
  if (json == nullptr)
    starlingThrow("MQTTConnection::GetJson", 10006,
                  "Not able to build JSON with connection information. JSON allocation failed.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  if (clientId != nullptr) zvJsonAddString(json, "client_id", clientId);
  if (userName != nullptr) zvJsonAddString(json, "user_name", userName);
  zvJsonAddInt(json, "keep_alive_seconds", keepAlive);
  zvJsonAddBoolean(json, "clean_session", cleanSession != 0);
  if (connectionTime != 0) zvJsonAddTimestamp(json, "connectionTime", connectionTime);
  if (withSubscribers)
    starlingAddJsonList(
        json, "subscriberList", subscribers, [](MQTTSubscriber* entry) { return entry->GetJson(false); },
        "MQTTConnection::GetJson", "Not able to build JSON with connection information. JSON array allocation failed.");
  return owner.release();
}

json_object* MQTTConnection::GetInfo() {
  const char* fn = "MQTTConnection::GetInfo";
  zvJsonPtr json(zvJsonAlloc());
  if (json == nullptr)
    starlingThrow(fn, 10006, "Not able to retrieve connection list information. JSON allocation failed.");
  // Copied out so that no connection or subscriber lock is taken under the
  // registry mutex; the shared owners keep each connection alive meanwhile.
  std::vector<std::shared_ptr<MQTTConnection>> connections;
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    for (auto& [id, conn] : gRegistry) connections.push_back(conn);
  }
  starlingAddJsonList(
      json.get(), "connectionList", connections,
      [](const std::shared_ptr<MQTTConnection>& conn) { return conn->GetJson(true); }, fn,
      "Not able to retrieve connection list information. JSON array allocation failed.");
  return json.release();
}

void MQTTConnection::AddSubscriber(MQTTSubscriber* entry) {
  if (entry == nullptr)
    starlingThrow("MQTTConnection::AddSubscriber", 10004, "Not able to add subscriber. Missing subscriber object.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  if (std::find(subscribers.begin(), subscribers.end(), entry) == subscribers.end()) subscribers.push_back(entry);
}

void MQTTConnection::RemoveSubscriber(MQTTSubscriber* entry) {
  if (entry == nullptr)
    starlingThrow("MQTTConnection::RemoveSubscriber", 10004,
                  "Not able to remove subscriber. Missing subscriber object.");
  std::lock_guard<std::recursive_mutex> lock(mutex);
  subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), entry), subscribers.end());
}

char* MQTTConnection::_buildString(const void* pointer, size_t length) {
  if (pointer == nullptr || length == 0) return nullptr;
  char* text = static_cast<char*>(VOKTAlloc(static_cast<int>(length + 1)));
  if (text == nullptr)
    starlingThrow("MQTTConnection::_buildString", 10006, "Not able to allocate memory for the NULL terminated string");
  memcpy(text, pointer, length);
  text[length] = '\0';
  return text;
}

void MQTTConnection::CheckMetadata(ZVDatabasePooled* db) {
  for (const StarlingTableLayout* layout :
       {&kMqttClientTable, &kMqttConnectionTopicTable, &kMqttConnectionTopicHistoryTable, &kMqttConnectionHistoryTable})
    starlingCheckTable(db, *layout, "MQTTConnection::CheckMetadata");
}

bool MQTTConnection::GetConnRecord(ZVDatabasePooled* db, const char* id, ZVRecord* record) {
  (void)db;
  if (record == nullptr)
    starlingThrow("MQTTConnection::GetConnRecord", 10003, "Not able to retrieve record for the mqtt_client table");
  return starlingFindByLongName(record, "mqtt_client_pk", "client_id_", "client_name", id);
}

namespace {

void setConnectionState(const char* function, const char* id, const char* user, const char* password, int keepAlive,
                        int status, const char* action) {
  try {
    StarlingDb db;
    ZVRecord* record = db.Record("mqtt_client", function);
    ZVDateTime now;
    ZVLockGuard lock(db.get());
    MQTTConnection::GetConnRecord(db.get(), id, record);
    if (user != nullptr) record->SetFieldAsString("username", user);
    if (password != nullptr) record->SetFieldAsBigint("password_hash", starlingWordSum(password, strlen(password)));
    if (keepAlive >= 0) record->SetFieldAsSigned("keep_alive_seconds", keepAlive);
    record->SetFieldAsSigned("mqtt_status", status);
    zvGetCurrentDateTime(&now);
    record->SetFieldAsDateTime(status == 0 ? "last_disconnect_ts" : "last_connect_ts", now);
    record->Write();
    lock.release();
    record->Read();
    int number = record->GetFieldAsSigned("client_id");
    MQTTConnection::_addConnectionHistory(number, action, db.Record("mqtt_connection_history", function));
  } catch (const ZVException& e) {
    rethrowClient(function, e);
  }
}

}  // namespace

void MQTTConnection::SetConnected(const char* id, const char* user, const char* password, uint16_t keep,
                                  uint8_t clean) {
  setConnectionState("MQTTConnection::SetConnected", id, user, password, keep, clean + 1, "C");
}

void MQTTConnection::SetDisconnected(const char* id) {
  setConnectionState("MQTTConnection::SetDisconnected", id, nullptr, nullptr, -1, 0, "D");
}

void MQTTConnection::ForgetGeneratedClient(const char* id) {
  const char* fn = "MQTTConnection::ForgetGeneratedClient";
  if (id == nullptr || !isGeneratedId(id)) return;
  try {
    StarlingDb db;
    ZVRecord* record = db.Record("mqtt_client", fn);
    ZVLockGuard lock(db.get());
    if (GetConnRecord(db.get(), id, record) && record->GetFieldAsSigned("mqtt_status") == 0) record->Delete();
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
}

void MQTTConnection::EndAllSessions() {
  const char* fn = "MQTTConnection::EndAllSessions";
  try {
    StarlingDb db;
    ZVRecord* clients = db.Record("mqtt_client", fn);
    struct Ended {
      int number;
      bool connected;  // left "connected": gets its disconnection
      bool generated;  // an id the broker made: the row goes
    };
    std::vector<Ended> ended;
    clients->Clear();
    for (int found = clients->First(); found != 0; found = clients->Next()) {
      bool connected = !clients->IsFieldNull("mqtt_status") && clients->GetFieldAsSigned("mqtt_status") != 0;
      bool generated = isGeneratedId(clients->GetFieldAsString("client_name").c_str());
      if (connected || generated) ended.push_back({clients->GetFieldAsSigned("client_id"), connected, generated});
    }
    // One transaction: a broker with many clients stops in one write.
    ZVRecord* connectionHistory = db.Record("mqtt_connection_history", fn);
    ZVRecord* topicHistory = db.Record("mqtt_connection_topic_history", fn);
    ZVDateTime now;
    zvGetCurrentDateTime(&now);
    DbTransaction transaction(db.get());
    for (const Ended& client : ended) {
      if (clients->FindRowid(client.number, RL_FIND_EQ) == 0) continue;
      if (client.generated) {
        clients->Delete();  // its history stays
      } else {
        clients->SetFieldAsSigned("mqtt_status", 0);
        clients->SetFieldAsDateTime("last_disconnect_ts", now);
        clients->Write();
      }
      if (client.connected) _addConnectionHistory(client.number, "D", connectionHistory);
    }
    // Subscriptions and topic links belong to live sessions only.
    deleteEveryRow(db.Record("mqtt_subscription", fn), [&](ZVRecord* row) {
      MQTTSubscriber::_addSubscriptionHistory(db.get(), row->GetFieldAsSigned("client_id"),
                                              row->GetFieldAsString("topic_filter").c_str(), "U");
    });
    deleteEveryRow(db.Record("mqtt_connection_topic", fn), [&](ZVRecord* row) {
      _addTopicHistory(row->GetFieldAsSigned("client_id"), row->GetFieldAsSigned("topic_id"), "R", topicHistory);
    });
    transaction.commit();
    clients->Clear();
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
}

int64_t MQTTConnection::TrimHistory(int64_t maxRows, int64_t batchRows) {
  const char* fn = "MQTTConnection::TrimHistory";
  int64_t removed = 0;
  try {
    StarlingDb db;
    for (const char* table :
         {"mqtt_connection_history", "mqtt_connection_topic_history", "mqtt_subscription_history"}) {
      ZVRecord* history = db.Record(table, fn);
      int64_t excess = std::min(history->GetRecordCount() - maxRows, batchRows);
      if (excess <= 0) continue;
      // Record-id order is the order the rows were written in: the oldest go.
      history->Clear();
      history->SetDefaultIndex(RL_ROWID_INDEX);
      DbTransaction transaction(db.get());
      for (int64_t i = 0; i < excess && history->First() != 0; i++) {
        history->Delete();
        removed++;
      }
      transaction.commit();
      history->Clear();
    }
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
  return removed;
}

int MQTTConnection::GetPersistedClientID(ZVDatabasePooled* db, const char* id) {
  ZVRecord* record = db->GetRecord("mqtt_client", true);
  if (!GetConnRecord(db, id, record)) return -1;
  return record->GetFieldAsSigned("client_id");
}

namespace {

// Calls fn(number-or-id, topic text) for every row of the walked table.
template <class Fn>
void walkRows(ZVRecord* record, const char* textField, const char* numberField, Fn fn) {
  std::vector<std::pair<int, std::string>> rows;
  for (int found = record->First(); found != 0; found = record->Next())
    rows.emplace_back(record->GetFieldAsSigned(numberField), record->GetFieldAsString(textField));
  for (auto& [number, text] : rows) fn(number, text);
}

}  // namespace

namespace {

// Calls action(topicId, link, history) for every known topic that `filter`
// matches, with the records of the connection-topic tables to write.
template <class Action>
void forEachTopicMatching(ZVDatabasePooled* db, const char* fn, const char* filter, Action action) {
  try {
    ZVRecord* topics = db->GetRecord("mqtt_topic", true);
    if (topics == nullptr) starlingThrow(fn, 10003, "Not able to retrieve record for the mqtt_topic table");
    topics->Clear();
    topics->SetDefaultIndex("mqtt_topic_subs_pk");
    ZVRecord* link = db->GetRecord("mqtt_connection_topic", true);
    ZVRecord* history = db->GetRecord("mqtt_connection_topic_history", true);
    if (link == nullptr || history == nullptr)
      starlingThrow(fn, 10003, "Not able to retrieve record for the mqtt_connection_topic table");
    walkRows(topics, "topic_name", "topic_id", [&](int topicId, const std::string& name) {
      if (nev_mqtt_topic_match_cstr(filter, nev_slice{name.data(), name.size()})) action(topicId, link, history);
    });
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
}

}  // namespace

void MQTTConnection::AddTopicsByExpresion(ZVDatabasePooled* db, int number, const char* filter) {
  forEachTopicMatching(
      db, "MQTTConnection::AddTopicsByExpresion", filter,
      [&](int topicId, ZVRecord* link, ZVRecord* history) { AddTopic(number, topicId, link, history, true); });
}

void MQTTConnection::RemoveTopicsByExpresion(ZVDatabasePooled* db, int number, const char* filter) {
  forEachTopicMatching(
      db, "MQTTConnection::RemoveTopicsByExpresion", filter,
      [&](int topicId, ZVRecord* link, ZVRecord* history) { RemoveTopic(number, topicId, link, history); });
}

void MQTTConnection::AddTopicsByTopic(const char* topicName, int topicId) {
  const char* fn = "MQTTConnection::AddTopicsByTopic";
  try {
    StarlingDb db;
    ZVRecord* subs = db.Record("mqtt_subscription", fn);
    ZVRecord* link = db.Record("mqtt_connection_topic", fn);
    ZVRecord* history = db.Record("mqtt_connection_topic_history", fn);
    subs->Clear();
    subs->SetDefaultIndex("mqtt_subscription_client");
    nev_slice topic{topicName, strlen(topicName)};
    walkRows(subs, "topic_filter", "client_id", [&](int client, const std::string& filter) {
      if (nev_mqtt_topic_match_cstr(filter.c_str(), topic)) AddTopic(client, topicId, link, history, false);
    });
  } catch (const ZVException& e) {
    rethrowClient(fn, e);
  }
}

void MQTTConnection::AddTopic(int number, int topicId, ZVRecord* link, ZVRecord* history, bool fromSubscription) {
  try {
    link->Clear();
    link->SetFieldAsSigned("client_id", number);
    if (topicId != 0) link->SetFieldAsSigned("topic_id", topicId);
    link->Write();
  } catch (const ZVException& e) {
    // The link exists already: only the history row is new.
    if (e.GetErrorCode() != 2) rethrowClient("MQTTConnection::AddTopic", e);
  }
  _addTopicHistory(number, topicId, fromSubscription ? "S" : "A", history);
}

void MQTTConnection::RemoveTopic(int number, int topicId, ZVRecord* link, ZVRecord* history) {
  try {
    link->Clear();
    link->SetDefaultIndex("mqtt_client_topic_client_topic_id");
    link->SetFieldAsSigned("client_id", number);
    link->SetFieldAsSigned("topic_id", topicId);
    if (link->Find(RL_FIND_EQ) != 0) link->Delete();
  } catch (const ZVException& e) {
    rethrowClient("MQTTConnection::RemoveTopic", e);
  }
  _addTopicHistory(number, topicId, "R", history);
}

void MQTTConnection::_addTopicHistory(int number, int topicId, const char* action, ZVRecord* history) {
  try {
    history->Clear();
    history->SetFieldAsSigned("client_id", number);
    if (topicId != 0) history->SetFieldAsSigned("topic_id", topicId);
    if (action != nullptr) history->SetFieldAsString("action", action);
    history->Write();
  } catch (const ZVException& e) {
    rethrowClient("MQTTConnection::_addTopicHistory", e);
  }
}

void MQTTConnection::_addConnectionHistory(int number, const char* action, ZVRecord* history) {
  try {
    history->Clear();
    history->SetFieldAsSigned("client_id", number);
    history->SetFieldAsString("action", action);
    history->Write();
  } catch (const ZVException& e) {
    rethrowClient("MQTTConnection::_addConnectionHistory", e);
  }
}
