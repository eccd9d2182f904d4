// The event handler of the MQTT listener: the broker's bookkeeping around the
// engine's broker core.
#include <atomic>
#include <cstring>
#include <set>

#include "persist.h"
#include "starling.h"
#if __has_include("mqtt_clients.h")
#include "mqtt_clients.h"
#define STARLING_HAS_CLIENTS 1
#else
#define STARLING_HAS_CLIENTS 0
#endif

namespace {

// What the handler keeps per connection, in the connection's user data. The
// set owns them: connections that end without a CLOSE event (server stop)
// leave theirs to term.
struct ConnInfo {
  std::string clientId;
  std::unique_ptr<ZVDatabaseConfig> config;  // credentials of the CONNECT, for commands
  // Per-message bookkeeping without the registries' mutexes: the registry
  // entry this connection stamps, and the topic it published to last (valid
  // while the topic generation it was found in lasts).
  std::shared_ptr<MQTTConnection> registered;
  std::string lastTopicName;
  MQTTTopic* lastTopic = nullptr;
  uint64_t lastTopicGeneration = 0;
};
std::mutex gInfoMutex;
std::set<ConnInfo*> gInfos;
std::atomic<uint64_t> gAssignedIds{0};

ConnInfo* infoOf(nev_connection* conn) { return static_cast<ConnInfo*>(conn->user_data); }

void dropInfo(nev_connection* conn) {
  ConnInfo* info = infoOf(conn);
  if (info == nullptr) return;
  conn->user_data = nullptr;
  conn->host_word = nullptr;
  std::lock_guard<std::mutex> lock(gInfoMutex);
  if (gInfos.erase(info) != 0) delete info;
}

std::string sliceText(nev_slice s) { return s.p != nullptr ? std::string(s.p, s.len) : std::string(); }

bool isAdminTopic(const std::string& topic) { return topic == STARLING_ADMIN_TOPIC; }

template <class Fn>
void logFailure(const char* format, Fn fn) {
  try {
    fn();
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), format, e.GetErrorMsg());
  } catch (const ZVException& e) {
    starlingLog(e.GetErrorCode(), format, e.GetErrorMsg());
  } catch (const std::exception& e) {
    starlingLog(-1, format, e.what());
  }
}

MQTTConnection* onConnect(nev_connection* conn, const nev_mqtt_packet* pkt) {
  StarlingBroker& b = starlingBroker();
  if (b.verboseLog) starlingLog(0, "starling - MQTT connect requested: %d ", NEV_EVENT_MQTT_CONNECT);
  // Refused CONNECTs and a second CONNECT on one connection are the core's
  // to answer; they leave no trace in the registry or the tables.
  if (nev_broker_connect_return_code(pkt) != NEV_MQTT_CONNACK_ACCEPTED || infoOf(conn) != nullptr) return nullptr;
  std::string user = sliceText(pkt->user_name);
  std::string password = sliceText(pkt->password);
  bool hasUser = (pkt->connect_flags & NEV_MQTT_USER_NAME) != 0;
  bool hasPassword = (pkt->connect_flags & NEV_MQTT_PASSWORD) != 0;
  auto* info = new ConnInfo;
  info->clientId = sliceText(pkt->client_id);
  if (info->clientId.empty())  // MQTT 3.1.1 3.1.3.1: the server gives it one
    info->clientId = "starling-" + std::to_string(++gAssignedIds) + "-" + std::to_string(starlingTickMs());
  info->config = std::make_unique<ZVDatabaseConfig>(nullptr, hasUser ? user.c_str() : nullptr,
                                                    hasPassword ? password.c_str() : nullptr, nullptr);
  {
    std::lock_guard<std::mutex> lock(gInfoMutex);
    gInfos.insert(info);
  }
  conn->user_data = info;
  conn->host_word = info->config.get();
  uint8_t clean = (pkt->connect_flags & NEV_MQTT_CLEAN_SESSION) != 0 ? 1 : 0;
  logFailure("starling - Not able to update connection status - %s", [&] {
    MQTTConnection::SetConnected(info->clientId.c_str(), hasUser ? user.c_str() : nullptr,
                                 hasPassword ? password.c_str() : nullptr, pkt->keep_alive, clean);
  });
  MQTTConnection* added = nullptr;
  logFailure("starling - Not able to add connection to the global hash table - %s", [&] {
    nev_broker_session* previous = nullptr;
    added = MQTTConnection::AddConnection(info->clientId.c_str(), hasUser ? user.c_str() : nullptr, pkt->keep_alive,
                                          clean, &previous);
    // A CONNECT with the same id in between took the slot over: stamp by id then.
    info->registered = MQTTConnection::Find(info->clientId.c_str());
    if (info->registered.get() != added) info->registered.reset();
    // MQTT 3.1.1 3.1.4: a second client with the same id takes over.
    if (previous != nullptr) starlingCloseSession(previous);
  });
  return added;
}

// The topic this connection published to last, when this one is it and the
// registry has not been cleared since; a retained publication always goes to
// the registry, which stores its payload.
MQTTTopic* cachedTopic(const ConnInfo& info, const std::string& topic) {
  if (info.lastTopic == nullptr || info.lastTopicGeneration != MQTTTopic::Generation() ||
      info.lastTopicName != topic)
    return nullptr;
  return info.lastTopic;
}

void rememberTopic(ConnInfo& info, const std::string& topic, MQTTTopic* entry) {
  info.lastTopicName = topic;
  info.lastTopic = entry;
  info.lastTopicGeneration = MQTTTopic::Generation();
}

bool onPublish(nev_connection* conn, const nev_mqtt_packet* pkt) {
  StarlingBroker& b = starlingBroker();
  if (pkt->topic.p == nullptr || pkt->topic.len == 0) {
    starlingLog(10011, "starling - Not able to retrieve topic from the publication message.");
    return false;
  }
  std::string topic = sliceText(pkt->topic);
  ConnInfo* info = infoOf(conn);
  const char* clientId = info != nullptr ? info->clientId.c_str() : nullptr;
  if (b.verboseLog) {
    starlingLog(0, "starling - MQTT event received: %d ", NEV_EVENT_MQTT_PUBLISH);
    starlingLog(0, "starling - MQTT publication: %.*s ", static_cast<int>(pkt->topic.len), pkt->topic.p);
    starlingLog(0, "starling - MQTT value: %.*s", static_cast<int>(pkt->payload.len), pkt->payload.p);
  }
#if STARLING_HAS_CLIENTS
  if (b.remoteLink != nullptr)
    logFailure("starling - Not able to forward MQTT message - %s", [&] {
      b.remoteLink->ForwardPub(pkt->topic.p, pkt->topic.len, pkt->payload.p, pkt->payload.len, pkt->message_id);
    });
#endif
  bool ackDeferred = false;
  if (b.persistenceEnabled) {
    if (isAdminTopic(topic))
      processPersistenceCommandText(info != nullptr ? info->config.get() : nullptr, pkt->payload.p, pkt->payload.len,
                                    clientId, b.log);
    else
      logFailure("starling - Not able to persist MQTT message - %s", [&] {
        // A queued QoS 1/2 message is acknowledged by its persistence thread
        // once its row is committed.
        ackDeferred = MQTTPersist::Persist(pkt->topic.p, pkt->topic.len, pkt->payload.p, pkt->payload.len,
                                           pkt->message_id, static_cast<uint8_t>(pkt->qos),
                                           static_cast<nev_broker_session*>(conn->private_word), conn);
      });
  } else if (isAdminTopic(topic)) {
    starlingLog(10001,
                "starling - Received a quarn system event, but persistence is not enabled for the MQTT server: Please check MQTT_PERSISTENCE_ENABLED keyword.");
  }
  // A publication without a session is the core's to refuse (it closes).
  if (conn->private_word != nullptr && !ackDeferred) {
    if (pkt->qos == 1) nev_mqtt_send_puback(conn, pkt->message_id);
    if (pkt->qos == 2) nev_mqtt_send_pubrec(conn, pkt->message_id);
  }
  logFailure("starling - Not able to update topic publication statistics - %s", [&] {
    bool isNew = false;
    bool retain = pkt->retain != 0;
    MQTTTopic* entry = info != nullptr && !retain ? cachedTopic(*info, topic) : nullptr;
    if (entry == nullptr) {
      entry = MQTTTopic::CheckTopic(topic.c_str(), clientId, retain, pkt->payload.p, pkt->payload.len,
                                    static_cast<uint8_t>(pkt->qos), &isNew);
      if (info != nullptr) rememberTopic(*info, topic, entry);
    }
    entry->CountPublication(clientId);
    if (isNew || retain) {
      int id = MQTTTopic::Persist(entry);
      if (isNew) MQTTConnection::AddTopicsByTopic(topic.c_str(), id);
    }
  });
  return true;  // no store-and-forward topic takes publications over yet
}

template <class Fn>
void eachFilter(const nev_mqtt_packet* pkt, bool withQos, Fn fn) {
  long pos = 0;
  nev_slice filter;
  uint8_t qos = 0;
  while (static_cast<size_t>(pos) < pkt->payload.len) {
    pos = withQos ? nev_mqtt_next_subscribe_topic(pkt, &filter, &qos, pos)
                  : nev_mqtt_next_unsubscribe_topic(pkt, &filter, pos);
    if (pos < 0) return;
    fn(sliceText(filter), qos);
  }
}

void onSubscribe(nev_connection* conn, const nev_mqtt_packet* pkt) {
  StarlingBroker& b = starlingBroker();
  ConnInfo* info = infoOf(conn);
  auto* session = static_cast<nev_broker_session*>(conn->private_word);
  // Every filter of the request is recorded, as the core subscribes them all.
  eachFilter(pkt, true, [&](const std::string& filter, uint8_t qos) {
    if (filter.empty()) {
      starlingLog(10011, "starling - Not able to retrieve topic from the subscription message.");
      return;
    }
    try {
      std::lock_guard<std::mutex> rows(MQTTConnection::subscriptionRowsMutex);
      if (session != nullptr) MQTTSubscriber::AddSubscriber(filter.c_str(), session, qos);
      if (info != nullptr) {
        int number = MQTTSubscriber::_addSubscription(info->clientId.c_str(), filter.c_str());
        StarlingDb db;
        MQTTSubscriber::_addSubscriptionHistory(db.get(), number, filter.c_str(), "S");
        MQTTConnection::AddTopicsByExpresion(db.get(), number, filter.c_str());
      }
    } catch (const YXException& e) {
      starlingLog(e.GetErrorCode(), "starling - Not able to update subscriber internal list for topic %s while subscribing - %s",
                  filter.c_str(), e.GetErrorMsg());
    } catch (const ZVException& e) {
      starlingLog(e.GetErrorCode(), "starling - Not able to update subscriber internal list for topic %s while subscribing - %s",
                  filter.c_str(), e.GetErrorMsg());
    }
    if (filter.compare(0, 12, STARLING_STATS_PREFIX) == 0 && b.statsThread) {
      int running = 1;
      b.statsThread->state.compare_exchange_strong(running, 5);
    }
    // Store-and-forward subscriptions join here; no persisted topic exists yet.
  });
}

// Whether the session subscribed the filter (asked before the core drops it).
bool sessionHolds(nev_broker_session* session, const std::string& filter) {
  StarlingBroker& b = starlingBroker();
  if (session == nullptr || !b.coreReady) return false;
  bool held = false;
  nev_srwlock_lock_shared(b.core.lock);
  for (size_t i = 0; i < session->num_subscriptions && !held; i++)
    held = filter == session->subscriptions[i].topic;
  nev_srwlock_unlock_shared(b.core.lock);
  return held;
}

void onUnsubscribe(nev_connection* conn, const nev_mqtt_packet* pkt) {
  ConnInfo* info = infoOf(conn);
  auto* session = static_cast<nev_broker_session*>(conn->private_word);
  eachFilter(pkt, false, [&](const std::string& filter, uint8_t) {
    if (filter.empty()) {
      starlingLog(10011, "starling - Not able to retrieve topic from the subscription message.");
      return;
    }
    // A filter the client never subscribed changes nothing: its topic links
    // may belong to another of the client's filters ("a/+" against "a/#").
    if (!sessionHolds(session, filter)) return;
    try {
      if (info != nullptr) {
        int number = MQTTSubscriber::_removeSubscription(info->clientId.c_str(), filter.c_str());
        StarlingDb db;
        MQTTSubscriber::_addSubscriptionHistory(db.get(), number, filter.c_str(), "U");
        MQTTConnection::RemoveTopicsByExpresion(db.get(), number, filter.c_str());
      }
      MQTTSubscriber::RemoveSubscriber(filter.c_str(), session);
    } catch (const YXException& e) {
      starlingLog(e.GetErrorCode(), "starling - Not able to update subscriber internal list for topic %s while unsubscribing - %s",
                  filter.c_str(), e.GetErrorMsg());
    } catch (const ZVException& e) {
      starlingLog(e.GetErrorCode(), "starling - Not able to update subscriber internal list for topic %s while unsubscribing - %s",
                  filter.c_str(), e.GetErrorMsg());
    }
  });
}

void onClose(nev_connection* conn) {
  if (starlingBroker().verboseLog) starlingLog(0, "starling - MQTT client disconnect.");
  auto* session = static_cast<nev_broker_session*>(conn->private_word);
  if (ConnInfo* info = infoOf(conn)) {
    // A client id taken over by a newer connection stays connected.
    if (!MQTTConnection::HeldByOther(info->clientId.c_str(), session))
      logFailure("starling - Not able to update connection status - %s",
                 [&] { MQTTConnection::SetDisconnected(info->clientId.c_str()); });
  }
  if (session != nullptr)
    logFailure("starling - Not able to remove connection from global hash table - %s",
               [&] { MQTTConnection::RemoveConnection(session); });
  dropInfo(conn);
}

// Releases the broker lock on every path.
struct SharedBrokerLock {
  explicit SharedBrokerLock(pthread_rwlock_t* l) : lock(l) { nev_srwlock_lock_shared(lock); }
  ~SharedBrokerLock() { nev_srwlock_unlock_shared(lock); }
  pthread_rwlock_t* lock;
};

}  // namespace

void starlingDropConnectionInfos() {
  std::lock_guard<std::mutex> lock(gInfoMutex);
  for (ConnInfo* info : gInfos) delete info;
  gInfos.clear();
}

void starlingCloseSession(nev_broker_session* session) {
  StarlingBroker& b = starlingBroker();
  if (!b.coreReady || session == nullptr) return;
  nev_srwlock_lock_shared(b.core.lock);
  for (nev_broker_session* s = nev_broker_next_session(&b.core, nullptr); s != nullptr;
       s = nev_broker_next_session(&b.core, s)) {
    if (s == session && s->conn != nullptr) {
      nev_connection_request_close(s->conn);
      break;
    }
  }
  nev_srwlock_unlock_shared(b.core.lock);
}

void mqttBrokerEventHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  if (event == NEV_EVENT_POLL) return;
  StarlingBroker& b = starlingBroker();
  if (b.brokerLock == nullptr) return;
  SharedBrokerLock held(b.brokerLock);
  if (!b.running) {
    if (event == NEV_EVENT_CLOSE) dropInfo(conn);
    return;
  }
  auto* pkt = static_cast<nev_mqtt_packet*>(eventData);
  if (ConnInfo* info = infoOf(conn)) {
    if (info->registered != nullptr)
      info->registered->lastActivity.store(starlingTickMs(), std::memory_order_relaxed);
    else
      MQTTConnection::Touch(info->clientId.c_str());
  }
  MQTTConnection* created = nullptr;
  bool toCore = true;
  switch (event) {
    case NEV_EVENT_MQTT_CONNECT:
      created = onConnect(conn, pkt);
      break;
    case NEV_EVENT_MQTT_PUBLISH:
      toCore = onPublish(conn, pkt);
      break;
    case NEV_EVENT_MQTT_PUBACK:
    case NEV_EVENT_MQTT_PUBCOMP:
      // Store-and-forward acknowledgements join here.
      if (b.verboseLog) starlingLog(0, "starling - MQTT event received: %d ", event);
      break;
    case NEV_EVENT_MQTT_PUBREC:
      if (b.verboseLog) starlingLog(0, "starling - MQTT event received: %d ", event);
      nev_mqtt_send_pubrel(conn, pkt->message_id);
      break;
    case NEV_EVENT_MQTT_PUBREL:
      if (b.verboseLog) starlingLog(0, "starling - MQTT event received: %d ", event);
      nev_mqtt_send_pubcomp(conn, pkt->message_id);
      break;
    case NEV_EVENT_MQTT_SUBSCRIBE:
      onSubscribe(conn, pkt);
      break;
    case NEV_EVENT_MQTT_UNSUBSCRIBE:
      onUnsubscribe(conn, pkt);
      // The core drops the filters first, so nothing is forwarded after the UNSUBACK.
      nev_broker_on_event(conn, event, eventData);
      nev_mqtt_send_unsuback(conn, pkt->message_id);
      return;
    case NEV_EVENT_MQTT_PINGREQ:
      nev_mqtt_send_pingresp(conn);
      break;
    case NEV_EVENT_CLOSE:
      onClose(conn);
      break;
    default:
      if (b.verboseLog) starlingLog(0, "starling - MQTT event received: %d ", event);
      break;
  }
  if (toCore) nev_broker_on_event(conn, event, eventData);
  if (created != nullptr) {
    auto* session = static_cast<nev_broker_session*>(conn->private_word);
    created->session = session;
    if (session == nullptr) {
      // The core refused the session (out of memory): nothing will close it.
      logFailure("starling - Not able to remove connection from global hash table - %s", [&] {
        created->session = reinterpret_cast<nev_broker_session*>(conn);
        MQTTConnection::RemoveConnection(created->session);
      });
    }
  }
}
