// The event handler of the MQTT listener: the broker's bookkeeping around the
// engine's broker core.
#include <malloc.h>
#include <poll.h>
#include <algorithm>
#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "persist.h"
#include "starling.h"
#include "yxlogon.h"
#if __has_include("mqtt_clients.h")
#include "mqtt_clients.h"
#define STARLING_HAS_CLIENTS 1
#else
#define STARLING_HAS_CLIENTS 0
#endif

namespace {

// QoS 2 publications received and not yet released by PUBREL, by packet id
// (16 KiB: the packet ids bound them), and those of them whose PUBREC a
// persistence thread sends once the row is committed. The connection's
// thread and that persistence thread both use it, under its mutex.
struct InboundQos2 {
  std::mutex mutex;
  std::bitset<65536> taken, ackPending;
};

// The inbound QoS 2 state of kept sessions, by client id: a publisher that
// comes back with clean session 0 sends its unreleased publications again
// (MQTT 3.1.1 4.4), and they are recognised. Connections of one client id
// share the entry while they overlap (a take-over). At most this many
// entries of clients that are gone are kept, the oldest dropped first.
constexpr size_t kKeptSessionsMax = 256;
std::mutex gKeptMutex;
std::map<std::string, std::shared_ptr<InboundQos2>> gKept;
std::deque<std::string> gKeptOrder;  // client ids gone with state, oldest first

// The entry of a kept session's client id; made when it has none and make
// is set.
std::shared_ptr<InboundQos2> keptSessionState(const std::string& clientId, bool make) {
  std::lock_guard<std::mutex> lock(gKeptMutex);
  auto found = gKept.find(clientId);
  if (found != gKept.end()) return found->second;
  if (!make) return nullptr;
  auto entry = std::make_shared<InboundQos2>();
  gKept.emplace(clientId, entry);
  return entry;
}

// A clean session discards what an earlier session of its client id left.
void forgetKeptSession(const std::string& clientId) {
  std::lock_guard<std::mutex> lock(gKeptMutex);
  gKept.erase(clientId);
}

// A kept session's connection ended: its entry stays while publications are
// unreleased (within the bound), otherwise it goes unless another connection
// of the client id still uses it.
void leaveKeptSession(const std::string& clientId, const std::shared_ptr<InboundQos2>& state) {
  bool unreleased;
  {
    std::lock_guard<std::mutex> hold(state->mutex);
    unreleased = state->taken.any();
  }
  std::lock_guard<std::mutex> lock(gKeptMutex);
  auto found = gKept.find(clientId);
  if (found == gKept.end() || found->second != state) return;  // a clean session replaced it
  if (!unreleased) {
    if (found->second.use_count() <= 2) gKept.erase(found);  // the table's and the caller's
    return;
  }
  gKeptOrder.push_back(clientId);
  while (gKeptOrder.size() > kKeptSessionsMax) {
    auto oldest = gKept.find(gKeptOrder.front());
    // Entries in use again (their client came back) are not the gone ones.
    if (oldest != gKept.end() && oldest->second.use_count() == 1) gKept.erase(oldest);
    gKeptOrder.pop_front();
  }
}

// What the handler keeps per connection, in the connection's user data. The
// set owns them: connections that end without a CLOSE event (server stop)
// leave theirs to term.
struct ConnInfo {
  std::string clientId;
  StarlingClientCredentials credentials;  // of the CONNECT, for the commands it publishes
  // Per-message bookkeeping without the registries' mutexes: the registry
  // entry this connection stamps, and the topic it published to last (valid
  // while the topic generation it was found in lasts).
  std::shared_ptr<MQTTConnection> registered;
  std::string lastTopicName;
  std::shared_ptr<MQTTTopic> lastTopic;
  uint64_t lastTopicGeneration = 0;
  // The QoS 2 publications the client sent and has not released yet. Made
  // at the connection's first QoS 2 publication; a kept session (clean
  // session 0) shares its client id's, which outlives the connection.
  std::shared_ptr<InboundQos2> qos2;
  bool cleanSession = true;
  // Refused store-and-forward acknowledgements of this connection.
  StarlingLogThrottle refusedAcks;
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

bool isAdminTopic(std::string_view topic) { return topic == STARLING_ADMIN_TOPIC; }

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

// A client id of the broker's own (its statistics publisher, ids it gave)
// is not for clients to take: the session they would take over is published
// on the statistics topics. Only the publisher, with the password of this
// run, may use its id.
bool takesOwnedId(const nev_mqtt_packet* pkt) {
  std::string id = sliceText(pkt->client_id);
  if (id.compare(0, strlen(STARLING_OWNED_ID_PREFIX), STARLING_OWNED_ID_PREFIX) != 0) return false;
  const std::string& password = starlingBroker().statisticsPassword;
  return id != STARLING_STATISTICS_CLIENT_ID || password.empty() || (pkt->connect_flags & NEV_MQTT_PASSWORD) == 0 ||
         sliceText(pkt->password) != password;
}

// Names longer than the tables' text columns would pass the protocol and then
// fail in every table write: refused before anything is recorded.
bool fitsTables(nev_slice name) { return name.len <= kStarlingMaxNameBytes; }

// Calls fn(filter slice, qos) for each entry of a (UN)SUBSCRIBE while it
// returns true; false when fn stopped the walk.
template <class Fn>
bool eachFilterSlice(const nev_mqtt_packet* pkt, bool withQos, Fn fn) {
  long pos = 0;
  nev_slice filter;
  uint8_t qos = 0;
  while (static_cast<size_t>(pos) < pkt->payload.len) {
    pos = withQos ? nev_mqtt_next_subscribe_topic(pkt, &filter, &qos, pos)
                  : nev_mqtt_next_unsubscribe_topic(pkt, &filter, pos);
    if (pos < 0) return true;  // the core refuses what does not parse
    if (!fn(filter, qos)) return false;
  }
  return true;
}

template <class Fn>
void eachFilter(const nev_mqtt_packet* pkt, bool withQos, Fn fn) {
  eachFilterSlice(pkt, withQos, [&](nev_slice filter, uint8_t qos) {
    fn(sliceText(filter), qos);
    return true;
  });
}

// The longest filter of a (UN)SUBSCRIBE fits the tables.
bool filtersFitTables(const nev_mqtt_packet* pkt, bool withQos) {
  return eachFilterSlice(pkt, withQos, [](nev_slice filter, uint8_t) { return fitsTables(filter); });
}

void refuseConnect(nev_connection* conn, uint8_t returnCode) {
  nev_mqtt_send_connack(conn, returnCode);
  conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
}

// A CONNECT's row in the metadata tables is written by a helper thread that
// the CONNECT waits for while the metadata database makes progress: once no
// CONNECT's row at all was written for this long, the database is taken
// for unavailable (another program holding it locked would otherwise keep
// the client without an answer for tens of seconds per statement). A storm
// of CONNECTs that is merely slow keeps being served. While a write given up
// on still runs, further CONNECTs are refused at once; that write, if it
// succeeds late, marks the client disconnected.
constexpr int kConnectMetadataWaitMs = 3000;
std::mutex gMetadataWaitMutex;
std::condition_variable gMetadataWritten;
int gAbandonedMetadataWrites = 0;  // under gMetadataWaitMutex
// Writes (helper threads) running at once: a storm of CONNECTs while the
// database is slow or locked waits for room rather than starting a thread
// each.
constexpr int kMaxMetadataWrites = 32;
int gMetadataWritesRunning = 0;  // under gMetadataWaitMutex
uint64_t gMetadataWritesEnded = 0;  // under gMetadataWaitMutex
StarlingLogThrottle gMetadataRefusals;  // under gMetadataWaitMutex

struct ConnectRow {
  std::string clientId, user, password;
  bool hasUser = false, hasPassword = false;
  uint16_t keepAlive = 0;
  uint8_t clean = 0;
  bool done = false, abandoned = false;  // under gMetadataWaitMutex
};

void writeConnectRow(const std::shared_ptr<ConnectRow>& row) {
  StarlingBroker& b = starlingBroker();
  {
    // The broker is not stopped under a write: its pool stays.
    nev_rwlock_guard held(b.brokerLock, nev_rwlock_mode::shared);
    bool written = false;
    if (b.running)
      logFailure("starling - Not able to update connection status - %s", [&] {
        MQTTConnection::SetConnected(row->clientId.c_str(), row->hasUser ? row->user.c_str() : nullptr,
                                     row->hasPassword ? row->password.c_str() : nullptr, row->keepAlive, row->clean);
        written = true;
      });
    bool abandoned;
    {
      std::lock_guard<std::mutex> lock(gMetadataWaitMutex);
      row->done = true;
      abandoned = row->abandoned;
      gMetadataWritesEnded++;
      gMetadataWritesRunning--;
    }
    gMetadataWritten.notify_all();
    if (!abandoned) return;
    if (written && b.running)
      logFailure("starling - Not able to update connection status - %s",
                 [&] { MQTTConnection::SetDisconnected(row->clientId.c_str()); });
  }
  std::lock_guard<std::mutex> lock(gMetadataWaitMutex);
  gAbandonedMetadataWrites--;
}

// True when the row was written (or its write failed at once, which the
// CONNECT survives); false when the metadata database did not answer in
// time, logged.
bool recordConnected(const std::shared_ptr<ConnectRow>& row) {
  std::unique_lock<std::mutex> lock(gMetadataWaitMutex);
  const char* why = nullptr;
  uint64_t seen = gMetadataWritesEnded;
  while (gAbandonedMetadataWrites == 0 && gMetadataWritesRunning >= kMaxMetadataWrites) {
    if (gMetadataWritten.wait_for(lock, std::chrono::milliseconds(kConnectMetadataWaitMs)) ==
            std::cv_status::timeout &&
        gMetadataWritesEnded == seen) {
      why = "the writes already waiting for it do not end";
      break;
    }
    seen = gMetadataWritesEnded;
  }
  if (why == nullptr && gAbandonedMetadataWrites > 0) why = "an earlier write still waits for it";
  if (why == nullptr) {
    gMetadataWritesRunning++;
    lock.unlock();
    try {
      std::thread(writeConnectRow, row).detach();
    } catch (const std::system_error&) {
      why = "no thread to write it";
    }
    lock.lock();
    if (why != nullptr) gMetadataWritesRunning--;
    seen = gMetadataWritesEnded;
    while (why == nullptr &&
           !gMetadataWritten.wait_for(lock, std::chrono::milliseconds(kConnectMetadataWaitMs),
                                      [&] { return row->done; })) {
      if (gMetadataWritesEnded != seen) {  // others were written meanwhile
        seen = gMetadataWritesEnded;
        continue;
      }
      row->abandoned = true;
      gAbandonedMetadataWrites++;
      gMetadataWritten.notify_all();  // CONNECTs waiting for room are refused too
      why = "it did not answer in time (is another program holding it locked?)";
    }
  }
  if (why == nullptr) return true;
  uint64_t unlogged = 0;
  if (gMetadataRefusals.allow(&unlogged))
    starlingLog(10001,
                "starling - The metadata database cannot record the CONNECT of client [%s]: %s. Answered CONNACK 3 "
                "(server unavailable); the client may connect again later (%llu more refusals not logged).",
                row->clientId.c_str(), why, static_cast<unsigned long long>(unlogged));
  return false;
}

// Opens the session and registers the connection, then answers CONNACK.
// Returns false when the CONNECT is the core's to answer: refused CONNECTs
// and a second CONNECT on one connection leave no trace in the registry or
// the tables.
bool onConnect(nev_connection* conn, const nev_mqtt_packet* pkt) {
  StarlingBroker& b = starlingBroker();
  if (b.verboseLog) starlingLog(0, "starling - MQTT connect requested: %d ", NEV_EVENT_MQTT_CONNECT);
  if (nev_broker_connect_return_code(pkt) != NEV_MQTT_CONNACK_ACCEPTED || infoOf(conn) != nullptr) return false;
  if (!fitsTables(pkt->client_id)) {
    starlingLog(10011, "starling - Client id of %zu bytes refused: the tables hold %zu.", pkt->client_id.len,
                kStarlingMaxNameBytes);
    refuseConnect(conn, NEV_MQTT_CONNACK_BAD_CLIENT_ID);
    return true;
  }
  if (takesOwnedId(pkt)) {
    starlingLog(NEV_MQTT_CONNACK_BAD_CLIENT_ID, "starling - Refused a CONNECT with the broker's own client id [%.*s]",
                static_cast<int>(pkt->client_id.len), pkt->client_id.p);
    refuseConnect(conn, NEV_MQTT_CONNACK_BAD_CLIENT_ID);
    return true;
  }
  std::string user = sliceText(pkt->user_name);
  std::string password = sliceText(pkt->password);
  bool hasUser = (pkt->connect_flags & NEV_MQTT_USER_NAME) != 0;
  bool hasPassword = (pkt->connect_flags & NEV_MQTT_PASSWORD) != 0;
  auto row = std::make_shared<ConnectRow>();
  row->clientId = sliceText(pkt->client_id);
  if (row->clientId.empty())  // MQTT 3.1.1 3.1.3.1: the server gives it one
    row->clientId =
        STARLING_GENERATED_ID_PREFIX + std::to_string(++gAssignedIds) + "-" + std::to_string(starlingTickMs());
  row->user = user, row->password = password, row->hasUser = hasUser, row->hasPassword = hasPassword;
  row->keepAlive = pkt->keep_alive;
  uint8_t clean = (pkt->connect_flags & NEV_MQTT_CLEAN_SESSION) != 0 ? 1 : 0;
  row->clean = clean;
  if (!recordConnected(row)) {
    refuseConnect(conn, NEV_MQTT_CONNACK_UNAVAILABLE);
    return true;
  }
  auto* info = new ConnInfo;
  info->clientId = row->clientId;
  info->credentials.hasUser = hasUser;
  info->credentials.user = user;
  info->credentials.password = password;
  info->credentials.whole = !yx::hasNulByte(user.data(), user.size()) && !yx::hasNulByte(password.data(), password.size());
  char address[64] = {};
  nev_conn_addr_to_str(conn, address, sizeof address, NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_REMOTE);
  info->credentials.address = address;
  {
    std::lock_guard<std::mutex> lock(gInfoMutex);
    gInfos.insert(info);
  }
  conn->user_data = info;
  conn->host_word = &info->credentials;
  nev_broker_session* session = nev_broker_open_session(&b.core, conn);
  if (session == nullptr) {
    refuseConnect(conn, NEV_MQTT_CONNACK_UNAVAILABLE);  // out of memory
    return true;
  }
  info->cleanSession = clean != 0;
  if (clean != 0)
    forgetKeptSession(info->clientId);
  else
    info->qos2 = keptSessionState(info->clientId, false);
  logFailure("starling - Not able to add connection to the global hash table - %s", [&] {
    nev_broker_session* previous = nullptr;
    // The session is stored with the registration: a CONNECT with the same
    // id right after this one finds it and closes this connection.
    MQTTConnection* added = MQTTConnection::AddConnection(info->clientId.c_str(), hasUser ? user.c_str() : nullptr,
                                                          pkt->keep_alive, clean, session, &previous);
    // A CONNECT with the same id in between took the slot over: stamp by id then.
    info->registered = MQTTConnection::Find(info->clientId.c_str());
    if (info->registered.get() != added) info->registered.reset();
    // MQTT 3.1.1 3.1.4: a second client with the same id takes over.
    if (previous != nullptr) starlingTakeOverSession(previous);
  });
  nev_mqtt_send_connack(conn, NEV_MQTT_CONNACK_ACCEPTED);
  return true;
}

// The topic this connection published to last, when this one is it and the
// registry has not been cleared since; a retained publication always goes to
// the registry, which stores its payload.
std::shared_ptr<MQTTTopic> cachedTopic(const ConnInfo& info, std::string_view topic) {
  if (info.lastTopic == nullptr || info.lastTopicGeneration != MQTTTopic::Generation() || info.lastTopicName != topic)
    return nullptr;
  return info.lastTopic;
}

void rememberTopic(ConnInfo& info, const std::string& topic, const std::shared_ptr<MQTTTopic>& entry) {
  info.lastTopicName = topic;
  info.lastTopic = entry;
  info.lastTopicGeneration = MQTTTopic::Generation();
}

// The broker's records of a publication: the remote link, persistence
// commands, topic statistics. False when the publication is dropped unheard;
// *ackDeferred when a persistence thread acknowledges it once its row is
// committed; *takenOver when a store-and-forward topic delivers it.
bool recordPublication(nev_connection* conn, const nev_mqtt_packet* pkt, bool* ackDeferred, bool* takenOver) {
  StarlingBroker& b = starlingBroker();
  if (pkt->topic.p == nullptr || pkt->topic.len == 0) {
    starlingLog(10011, "starling - Not able to retrieve topic from the publication message.");
    return false;
  }
  // Most publications find their topic in the connection's cache: the name
  // is copied only when the registry is asked.
  std::string_view topic(pkt->topic.p, pkt->topic.len);
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
  *ackDeferred = false;
  *takenOver = false;
  if (b.persistenceEnabled) {
    if (isAdminTopic(topic)) {
      if (info != nullptr)
        processClientCommandText(info->credentials, pkt->payload.p, pkt->payload.len, clientId, b.log);
    } else
      logFailure("starling - Not able to persist MQTT message - %s", [&] {
        // A queued QoS 1/2 message is acknowledged by its persistence thread
        // once its row is committed.
        *ackDeferred =
            MQTTPersist::Persist(pkt->topic.p, pkt->topic.len, pkt->payload.p, pkt->payload.len, pkt->message_id,
                                 static_cast<uint8_t>(pkt->qos), nev_broker_session_of(conn), conn, takenOver);
      });
  } else if (isAdminTopic(topic)) {
    starlingLog(10001,
                "starling - Received a quarn system event, but persistence is not enabled for the MQTT server: Please "
                "check MQTT_PERSISTENCE_ENABLED keyword.");
  }
  logFailure("starling - Not able to update topic publication statistics - %s", [&] {
    bool isNew = false;
    bool retain = pkt->retain != 0;
    std::shared_ptr<MQTTTopic> entry = info != nullptr && !retain ? cachedTopic(*info, topic) : nullptr;
    if (entry != nullptr) {
      entry->CountPublication(clientId);
      return;
    }
    std::string name(topic);
    entry = MQTTTopic::CheckTopic(name.c_str(), clientId, retain, pkt->payload.p, pkt->payload.len,
                                  static_cast<uint8_t>(pkt->qos), &isNew);
    if (info != nullptr) rememberTopic(*info, name, entry);
    entry->CountPublication(clientId);
    if (isNew || retain) {
      int id = MQTTTopic::Persist(entry.get());
      if (isNew) MQTTConnection::AddTopicsByTopic(name.c_str(), id);
    }
  });
  return true;
}

// A QoS 2 PUBLISH whose packet id was taken and not yet released is the same
// publication sent again (its sender has not seen the PUBREC, or came back
// to a kept session before its PUBREL): it is recorded, stored and
// forwarded once. Answers the repeat and returns true; marks a new one as
// taken (its PUBREC pending until onPublish knows who sends it) and returns
// false.
bool repeatsQos2(nev_connection* conn, const nev_mqtt_packet* pkt) {
  ConnInfo* info = infoOf(conn);
  if (pkt->qos != 2 || info == nullptr || nev_broker_session_of(conn) == nullptr) return false;
  if (!info->qos2)
    info->qos2 = info->cleanSession ? std::make_shared<InboundQos2>() : keptSessionState(info->clientId, true);
  uint16_t id = pkt->message_id;
  std::lock_guard<std::mutex> hold(info->qos2->mutex);
  if (!info->qos2->taken.test(id)) {
    info->qos2->taken.set(id);
    info->qos2->ackPending.set(id);
    return false;
  }
  // A PUBREC that waits for the commit answers the repeat too when it comes.
  if (!info->qos2->ackPending.test(id)) nev_mqtt_acknowledge_publish(conn, pkt);
  return true;
}

// stored: the publication is taken (a repeat is the same one); otherwise its
// repeat is a new try. ackLater: its PUBREC follows the commit.
void settleQos2(nev_connection* conn, const nev_mqtt_packet* pkt, bool stored, bool ackLater) {
  ConnInfo* info = infoOf(conn);
  if (pkt->qos != 2 || info == nullptr || !info->qos2) return;
  std::lock_guard<std::mutex> hold(info->qos2->mutex);
  if (!stored) info->qos2->taken.reset(pkt->message_id);
  if (!ackLater) info->qos2->ackPending.reset(pkt->message_id);
}

void releaseQos2(nev_connection* conn, const nev_mqtt_packet* pkt) {
  ConnInfo* info = infoOf(conn);
  if (info == nullptr || !info->qos2) return;
  std::lock_guard<std::mutex> hold(info->qos2->mutex);
  info->qos2->taken.reset(pkt->message_id);
  info->qos2->ackPending.reset(pkt->message_id);
}

// How long a closing connection waits for the commits whose PUBREC it still
// owes: a publication whose fate stays unknown is released, so that its
// repeat is stored again rather than lost.
constexpr uint64_t kPendingAckWaitMs = 5000;
constexpr int kPendingAckStepMs = 5;

void settleAtClose(ConnInfo* info) {
  if (info == nullptr || !info->qos2) return;
  uint64_t deadline = starlingTickMs() + kPendingAckWaitMs;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(info->qos2->mutex);
      if (info->qos2->ackPending.none()) break;
      if (starlingTickMs() >= deadline) {
        info->qos2->taken &= ~info->qos2->ackPending;
        info->qos2->ackPending.reset();
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPendingAckStepMs));
  }
  if (!info->cleanSession) leaveKeptSession(info->clientId, info->qos2);
}

// Records, then the core acknowledges (only with a session: without one it
// closes) and forwards.
void onPublish(nev_connection* conn, const nev_mqtt_packet* pkt) {
  if (!fitsTables(pkt->topic)) {
    starlingLog(10011, "starling - Topic name longer than %zu bytes refused: closing the connection.",
                kStarlingMaxNameBytes);
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  if (repeatsQos2(conn, pkt)) return;
  bool ackDeferred = false, takenOver = false;
  if (!recordPublication(conn, pkt, &ackDeferred, &takenOver)) {
    settleQos2(conn, pkt, false, false);
    return;
  }
  // A store-and-forward topic's subscribers read it from its table; its
  // acknowledgement, when it was stored, follows the commit.
  if (takenOver && nev_broker_session_of(conn) != nullptr) {
    settleQos2(conn, pkt, ackDeferred, ackDeferred);  // not stored: its repeat is a new try
    return;
  }
  settleQos2(conn, pkt, true, ackDeferred);
  if (ackDeferred) {
    nev_broker_on_publish_acknowledged_later(conn, pkt);
  } else {
    nev_broker_on_publish(conn, pkt);
  }
}

// Closes a connection whose (UN)SUBSCRIBE names a filter longer than the
// tables hold; true when it did.
bool refuseLongFilters(nev_connection* conn, const nev_mqtt_packet* pkt, bool withQos) {
  if (filtersFitTables(pkt, withQos)) return false;
  starlingLog(10011, "starling - Topic filter longer than %zu bytes refused: closing the connection.",
              kStarlingMaxNameBytes);
  conn->flags |= NEV_CONN_CLOSE_NOW;
  return true;
}

// Writes (subscribing) or removes the rows of each filter in one transaction
// of one session: a packet of 512 filters is one commit, not 512.
void recordFilters(const std::vector<std::string>& filters, bool subscribing, const std::string& clientId) {
  if (filters.empty()) return;
  const char* format =
      subscribing ? "starling - Not able to update subscriber internal list for topic %s while subscribing - %s"
                  : "starling - Not able to update subscriber internal list for topic %s while unsubscribing - %s";
  starlingLogFailure(format, filters.front(), [&] {
    // Rows of a client id change under this mutex (a taken-over connection
    // closing late checks and removes in one step); taken before the
    // transaction, as the closing side does.
    std::lock_guard<std::mutex> rows(MQTTConnection::subscriptionRowsMutex);
    StarlingDb db;
    StarlingTransaction transaction(db.get());
    for (const std::string& filter : filters) {
      starlingLogFailure(format, filter, [&] {
        if (subscribing)
          MQTTSubscriber::RecordSubscription(db.get(), clientId.c_str(), filter.c_str());
        else
          MQTTSubscriber::RecordUnsubscription(db.get(), clientId.c_str(), filter.c_str());
      });
    }
    transaction.Commit();
  });
}

void recordFilters(const nev_mqtt_packet* pkt, bool subscribing, const std::string& clientId) {
  std::vector<std::string> filters;
  eachFilter(pkt, subscribing, [&](const std::string& filter, uint8_t) { filters.push_back(filter); });
  recordFilters(filters, subscribing, clientId);
}

// The rows of the filters the session now matches, written (one transaction)
// before the core's SUBACK: a publication right after the SUBACK is
// delivered, and the tables already list the subscription.
void recordSubscriptions(nev_connection* conn, const nev_mqtt_packet* pkt, void*) {
  StarlingBroker& b = starlingBroker();
  ConnInfo* info = infoOf(conn);
  auto* session = nev_broker_session_of(conn);
  eachFilter(pkt, true, [&](const std::string& filter, uint8_t qos) {
    starlingLogFailure("starling - Not able to update subscriber internal list for topic %s while subscribing - %s",
                       filter, [&] {
                         if (session != nullptr) MQTTSubscriber::AddSubscriber(filter.c_str(), session, qos);
                       });
    if (filter.compare(0, 12, STARLING_STATS_PREFIX) == 0 && b.statsThread) {
      int running = kThreadRunning;
      b.statsThread->state.compare_exchange_strong(running, kThreadPublishNow);
    }
    if (b.persistenceEnabled && info != nullptr && session != nullptr)
      MQTTStoreForwardPersist::SubscribeFilter(conn, info->clientId, filter, qos > 2 ? 2 : qos);
  });
  if (info != nullptr) recordFilters(pkt, true, info->clientId);
}

void onSubscribe(nev_connection* conn, const nev_mqtt_packet* pkt) {
  if (refuseLongFilters(conn, pkt, true)) return;
  nev_broker_on_subscribe(conn, pkt, recordSubscriptions, nullptr);
}

// Whether the session subscribed the filter (asked before the core drops it).
bool sessionHolds(nev_broker_session* session, const std::string& filter) {
  StarlingBroker& b = starlingBroker();
  if (session == nullptr || !b.coreReady) return false;
  bool held = false;
  nev_rwlock_guard guard(b.core.lock, nev_rwlock_mode::shared);
  for (size_t i = 0; i < session->num_subscriptions && !held; i++) held = filter == session->subscriptions[i].topic;
  return held;
}

// The rows of the filters the session held (found before the core dropped
// them), removed before the core's UNSUBACK.
void removeSubscriptions(nev_connection* conn, const nev_mqtt_packet*, void* heldFilters) {
  ConnInfo* info = infoOf(conn);
  auto* session = nev_broker_session_of(conn);
  const auto& held = *static_cast<const std::vector<std::string>*>(heldFilters);
  for (const std::string& filter : held) {
    starlingLogFailure("starling - Not able to update subscriber internal list for topic %s while unsubscribing - %s",
                       filter, [&] { MQTTSubscriber::RemoveSubscriber(filter.c_str(), session); });
  }
  if (info != nullptr) recordFilters(held, false, info->clientId);
  if (info != nullptr && !held.empty() && starlingBroker().persistenceEnabled)
    MQTTStoreForwardPersist::UnsubscribeUnmatched(conn, info->clientId, session);
}

// The session stops matching the filters first, then their rows go, then the
// UNSUBACK: nothing is delivered for them once the request is handled.
void onUnsubscribe(nev_connection* conn, const nev_mqtt_packet* pkt) {
  if (refuseLongFilters(conn, pkt, false)) return;
  auto* session = nev_broker_session_of(conn);
  // A filter the client never subscribed changes nothing: its topic links
  // may belong to another of the client's filters ("a/+" against "a/#").
  std::vector<std::string> held;
  eachFilter(pkt, false, [&](const std::string& filter, uint8_t) {
    if (sessionHolds(session, filter) && std::find(held.begin(), held.end(), filter) == held.end())
      held.push_back(filter);
  });
  nev_broker_on_unsubscribe(conn, pkt, removeSubscriptions, &held);
}

// What the bound on a subscriber's queue cost this connection (the core
// counts; only the owner logs).
void logQueueBound(const ConnInfo* info, const nev_broker_session* session) {
  const char* clientId = info != nullptr ? info->clientId.c_str() : "?";
  uint64_t dropped = __atomic_load_n(&session->dropped_publications, __ATOMIC_RELAXED);
  if (dropped > 0)
    starlingLog(10019, "starling - Client %s: %llu QoS 0 publications dropped while its queue was full.", clientId,
                static_cast<unsigned long long>(dropped));
  if (__atomic_load_n(&session->closed_for_backlog, __ATOMIC_RELAXED) != 0)
    starlingLog(10019, "starling - Client %s disconnected: its queue of QoS 1/2 publications stayed over the bound.",
                clientId);
}

// The connection's store-and-forward subscribers stop before it goes: their
// readers send on it.
void leaveStoreForward(nev_connection* conn) {
  if (ConnInfo* info = infoOf(conn)) MQTTStoreForwardPersist::DropConnection(conn, info->clientId);
}

void onClose(nev_connection* conn) {
  if (starlingBroker().verboseLog) starlingLog(0, "starling - MQTT client disconnect.");
  auto* session = nev_broker_session_of(conn);
  if (session != nullptr) logQueueBound(infoOf(conn), session);
  leaveStoreForward(conn);
  settleAtClose(infoOf(conn));
  if (ConnInfo* info = infoOf(conn)) {
    // A client id taken over by a newer connection stays connected.
    if (!MQTTConnection::HeldByOther(info->clientId.c_str(), session))
      logFailure("starling - Not able to update connection status - %s",
                 [&] { MQTTConnection::SetDisconnected(info->clientId.c_str()); });
  }
  if (session != nullptr)
    logFailure("starling - Not able to remove connection from global hash table - %s",
               [&] { MQTTConnection::RemoveConnection(session); });
  // Once its subscription rows are gone: an id the broker made never returns.
  if (ConnInfo* info = infoOf(conn))
    logFailure("starling - Not able to update connection status - %s",
               [&] { MQTTConnection::ForgetGeneratedClient(info->clientId.c_str()); });
  dropInfo(conn);
  nev_broker_on_close(conn);
}

// The client acknowledges a publication the broker forwarded (PUBACK, PUBREC,
// PUBCOMP) or releases one it sent (PUBREL); the core answers what needs an
// answer. Store-and-forward deliveries keep their state: a PUBREC they could
// not apply gets no PUBREL.
void onAcknowledgement(nev_connection* conn, int event, const nev_mqtt_packet* pkt) {
  if (starlingBroker().verboseLog) starlingLog(0, "starling - MQTT event received: %d ", event);
  ConnInfo* info = infoOf(conn);
  const char* clientId = info != nullptr ? info->clientId.c_str() : nullptr;
  auto storeForward = [&](const char* format, void (*apply)(uint16_t, const char*)) {
    if (clientId == nullptr) return true;
    try {
      apply(pkt->message_id, clientId);
      return true;
    } catch (const YXException& e) {
      uint64_t unlogged = 0;
      if (!info->refusedAcks.allow(&unlogged)) return false;
      std::string line = e.GetErrorMsg();
      if (unlogged > 0) line += " (" + std::to_string(unlogged) + " more refused acknowledgements not logged)";
      starlingLog(e.GetErrorCode(), format, pkt->message_id, line.c_str());
      return false;
    }
  };
  switch (event) {
    case NEV_EVENT_MQTT_PUBACK:
      storeForward(
          "starling - Not able to remove message from SENT list in Store & Forward system for message [%d] - %s",
          MQTTStoreForwardSubscriber::RemoveSentList);
      return;
    case NEV_EVENT_MQTT_PUBREC:
      if (storeForward("starling - Not able to check and remove message from SENT list in Store & Forward system for "
                       "message [%d] - %s",
                       MQTTStoreForwardSubscriber::PromoteSentList))
        nev_broker_on_pubrec(conn, pkt);
      return;
    case NEV_EVENT_MQTT_PUBCOMP:
      storeForward(
          "starling - Not able to check and remove message from CONFIRMED list in Store & Forward system for "
          "message [%d] - %s",
          MQTTStoreForwardSubscriber::PromoteConfirmedList);
      return;
    default:
      releaseQos2(conn, pkt);
      nev_broker_on_pubrel(conn, pkt);
  }
}

void onOtherEvent(nev_connection* conn, int event, void* eventData) {
  if (starlingBroker().verboseLog) starlingLog(0, "starling - MQTT event received: %d ", event);
  nev_broker_on_event(conn, event, eventData);
}

// Every connection's activity stamp: the keep-alive clean-up reads it.
void touch(nev_connection* conn) {
  ConnInfo* info = infoOf(conn);
  if (info == nullptr) return;
  if (info->registered != nullptr)
    info->registered->lastActivity.store(starlingCoarseTickMs(), std::memory_order_relaxed);
  else
    MQTTConnection::Touch(info->clientId.c_str());
}

// A connect storm leaves as many metadata sessions open as ran at once, each
// with its own database caches, while idle connections need none. Sessions
// idle for the pool's time-out beyond a small floor are closed, at most once
// a second, from the poll rounds of whichever connection comes first, and
// the memory they held goes back to the system.
constexpr int32_t kIdleSessionsKept = 2;
constexpr uint64_t kSessionTrimEveryMs = 1000;
std::atomic<uint64_t> gNextSessionTrimMs{0};

// Whether this poll round is the one of the second that trims; the others
// end here, on the few stack bytes a quiet connection's thread keeps.
bool sessionTrimDue() noexcept {
  uint64_t now = starlingTickMs();
  uint64_t due = gNextSessionTrimMs.load(std::memory_order_relaxed);
  return now >= due && gNextSessionTrimMs.compare_exchange_strong(due, now + kSessionTrimEveryMs);
}

// Quiet connections see poll rounds only at their own deadlines (keep-alive,
// CONNECT time-out), and every connection has one round half a second after
// its last event. While sessions may still be waiting out their idle time
// after broker work (at most 5 s in the metadata pool, plus a round), the
// connection whose round trimmed asks for the next a second later, so the
// trim still comes with one thread awake; afterwards it sleeps too.
constexpr uint64_t kTrimWatchMs = 10000;
std::atomic<uint64_t> gLastBrokerWorkMs{0};

void noteBrokerWork() noexcept {
  uint64_t now = starlingTickMs();
  // Stored only when it moved on, so busy threads do not all write one line.
  if (now - gLastBrokerWorkMs.load(std::memory_order_relaxed) >= 100)
    gLastBrokerWorkMs.store(now, std::memory_order_relaxed);
}

// Also while the pool still holds more sessions than it keeps idle: under
// load the pool's own idle time can outlast the watch, and a session left
// open then would stay open until the next client spoke. The count is read
// without the pool's lock; a stale value costs one round more or less.
bool trimMayStillBeDue() noexcept {
  if (starlingTickMs() < gLastBrokerWorkMs.load(std::memory_order_relaxed) + kTrimWatchMs) return true;
  StarlingBroker& b = starlingBroker();
  if (b.brokerLock == nullptr) return false;
  nev_rwlock_guard held(b.brokerLock, nev_rwlock_mode::shared);
  if (!b.running || b.dbPool == nullptr) return false;
  // Sessions in use count too: they come back idle later, maybe after the
  // last client event, and need a round then.
  return b.dbPool->Size() > kIdleSessionsKept;
}

void trimIdleSessions(StarlingBroker& b) {
  if (b.brokerLock == nullptr) return;
  nev_rwlock_guard held(b.brokerLock, nev_rwlock_mode::shared);
  if (!b.running || b.dbPool == nullptr) return;
  try {
    if (b.dbPool->CleanIdle(kIdleSessionsKept) > 0) malloc_trim(0);
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), "starling - Failed to close idle metadata sessions - %s", e.GetErrorMsg());
  }
}

}  // namespace

void starlingDropConnectionInfos() {
  {
    std::lock_guard<std::mutex> lock(gInfoMutex);
    for (ConnInfo* info : gInfos) delete info;
    gInfos.clear();
  }
  std::lock_guard<std::mutex> lock(gKeptMutex);
  gKept.clear();
  gKeptOrder.clear();
}

void starlingAcknowledgeStored(nev_connection* conn, uint8_t qos, uint16_t packetId, bool written) {
  std::shared_ptr<InboundQos2> state;
  if (qos == 2) {
    auto* info = static_cast<ConnInfo*>(__atomic_load_n(&conn->user_data, __ATOMIC_ACQUIRE));
    std::lock_guard<std::mutex> lock(gInfoMutex);
    if (info != nullptr && gInfos.count(info) != 0) state = info->qos2;
  }
  // Under the state's mutex: a repeat either finds the PUBREC still owed
  // (this one answers it) or answers itself.
  std::unique_lock<std::mutex> hold;
  if (state != nullptr) {
    hold = std::unique_lock<std::mutex>(state->mutex);
    state->ackPending.reset(packetId);
    if (!written) state->taken.reset(packetId);  // its repeat is a new try
  }
  // An MQTT client sends what was not acknowledged again when it connects
  // again: closing is how the publisher learns that a message is not safe.
  if (written)
    nev_mqtt_acknowledge(conn, qos, packetId);
  else
    nev_connection_request_close(conn);
}

std::string starlingClientIdOf(nev_connection* conn) {
  // A closing connection drops its record under gInfoMutex: a record still in
  // the set is alive while the mutex is held.
  auto* info = static_cast<ConnInfo*>(__atomic_load_n(&conn->user_data, __ATOMIC_ACQUIRE));
  std::lock_guard<std::mutex> lock(gInfoMutex);
  return info != nullptr && gInfos.count(info) != 0 ? info->clientId : std::string();
}

namespace {

// The live session's connection, if it still is the given one (any when
// nullptr). The caller holds the core's lock shared.
nev_connection* liveConnectionOf(StarlingBroker& b, nev_broker_session* session, nev_connection* was) {
  for (nev_broker_session* s = nev_broker_next_session(&b.core, nullptr); s != nullptr;
       s = nev_broker_next_session(&b.core, s))
    if (s == session) return s->conn != nullptr && (was == nullptr || s->conn == was) ? s->conn : nullptr;
  return nullptr;
}

// Whether the peer has closed its side of the connection: what it sent last
// (acknowledgements, its DISCONNECT) may still wait in the socket, and the
// connection ends on its own once it has read them. The engine closes the
// socket under the send buffer's mutex.
bool peerHasLeft(nev_connection* conn) {
  if (conn->send_buf.mutex == nullptr) return false;
  nev_mutex_guard guard(conn->send_buf.mutex);
  if (conn->sock == NEV_INVALID_SOCKET) return false;
  pollfd watched{conn->sock, POLLRDHUP, 0};
  return poll(&watched, 1, 0) == 1 && (watched.revents & (POLLRDHUP | POLLHUP)) != 0;
}

// How long a new connection of a client id waits for its previous one, whose
// peer already left, to read what it was sent and end.
constexpr uint64_t kLeavingConnectionWaitMs = 5000;
constexpr int kLeavingConnectionStepMs = 5;

}  // namespace

void starlingCloseSession(nev_broker_session* session) {
  StarlingBroker& b = starlingBroker();
  if (!b.coreReady || session == nullptr) return;
  nev_rwlock_guard guard(b.core.lock, nev_rwlock_mode::shared);
  if (nev_connection* conn = liveConnectionOf(b, session, nullptr)) nev_connection_request_close(conn);
}

// A client that disconnected and connected again at once may find its
// previous connection still open, its last packets unread: closing it then
// would throw away the acknowledgements the client sent before its
// DISCONNECT, and store-and-forward would deliver what they confirmed again.
// Such a connection is left to end on its own (within a bound); one whose
// peer is still there is closed at once.
void starlingTakeOverSession(nev_broker_session* session) {
  StarlingBroker& b = starlingBroker();
  if (!b.coreReady || session == nullptr) return;
  uint64_t deadline = starlingTickMs() + kLeavingConnectionWaitMs;
  nev_connection* previous = nullptr;
  for (;;) {
    {
      nev_rwlock_guard guard(b.core.lock, nev_rwlock_mode::shared);
      nev_connection* conn = liveConnectionOf(b, session, previous);
      if (conn == nullptr) return;  // it ended
      previous = conn;
      if (!peerHasLeft(conn) || starlingTickMs() >= deadline) {
        nev_connection_request_close(conn);
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeavingConnectionStepMs));
  }
}

static void handleBrokerEvent(nev_connection* conn, int event, void* eventData) {
  StarlingBroker& b = starlingBroker();
  if (event == NEV_EVENT_POLL) {
    trimIdleSessions(b);
    return;
  }
  if (b.brokerLock == nullptr) return;
  nev_rwlock_guard held(b.brokerLock, nev_rwlock_mode::shared);
  if (!b.running) {
    if (event == NEV_EVENT_CLOSE) {
      leaveStoreForward(conn);
      dropInfo(conn);
    }
    return;
  }
  auto* pkt = static_cast<nev_mqtt_packet*>(eventData);
  touch(conn);
  noteBrokerWork();
  switch (event) {
    case NEV_EVENT_MQTT_CONNECT:
      if (!onConnect(conn, pkt)) nev_broker_on_connect(conn, pkt);
      return;
    case NEV_EVENT_MQTT_PUBLISH:
      return onPublish(conn, pkt);
    case NEV_EVENT_MQTT_PUBACK:
    case NEV_EVENT_MQTT_PUBREC:
    case NEV_EVENT_MQTT_PUBREL:
    case NEV_EVENT_MQTT_PUBCOMP:
      return onAcknowledgement(conn, event, pkt);
    case NEV_EVENT_MQTT_SUBSCRIBE:
      return onSubscribe(conn, pkt);
    case NEV_EVENT_MQTT_UNSUBSCRIBE:
      return onUnsubscribe(conn, pkt);
    case NEV_EVENT_MQTT_PINGREQ:
      return nev_broker_on_pingreq(conn);
    case NEV_EVENT_CLOSE:
      return onClose(conn);
    default:
      return onOtherEvent(conn, event, eventData);
  }
}

// Out of line: its frame is large, and most poll rounds never need it.
__attribute__((noinline)) static void guardedBrokerEvent(nev_connection* conn, int event, void* eventData) {
  starlingGuardHandler(conn, "mqttBrokerEventHandler", [&] { handleBrokerEvent(conn, event, eventData); });
}

// The connection whose round asked for the next trim. Every round starts by
// forgetting what its connection asked for, so when another round of the same
// connection comes first (an event's, before the trim is due), it asks again;
// else the trims would stop with sessions still open. Only compared, never used.
static std::atomic<nev_connection*> gTrimRoundOwner{nullptr};

static void askNextTrimRound(nev_connection* conn, uint64_t inMs) {
  gTrimRoundOwner.store(conn, std::memory_order_relaxed);
  nev_poll_due_at(conn, nev_now() + inMs / 1000.0 + 0.05);
}

void mqttBrokerEventHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  if (event == NEV_EVENT_POLL) {
    if (!sessionTrimDue()) {
      if (gTrimRoundOwner.load(std::memory_order_relaxed) == conn) {
        uint64_t now = starlingTickMs(), due = gNextSessionTrimMs.load(std::memory_order_relaxed);
        askNextTrimRound(conn, due > now ? due - now : 0);
      }
      return;
    }
    // The round that trims asks for the next one, a little after it is due;
    // once none is needed, no connection keeps asking.
    if (trimMayStillBeDue()) {
      askNextTrimRound(conn, kSessionTrimEveryMs);
    } else {
      nev_connection* self = conn;
      gTrimRoundOwner.compare_exchange_strong(self, nullptr, std::memory_order_relaxed);
    }
  }
  guardedBrokerEvent(conn, event, eventData);
}
