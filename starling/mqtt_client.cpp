// MQTTSubscription: the settings of one outgoing MQTT connection and the
// client thread that dials it, keeps it subscribed and publishes the owner's
// forward queue.
#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <atomic>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <random>

#include "mqtt_clients.h"
#include "nev.h"

// One running client thread. Owned by its MQTTSubscription, which frees it
// only after the thread has been joined.
struct MQTTClientThread {
  YX_THREAD_DATA* record = nullptr;
  YX_THREAD handle = nullptr;
  MQTTSubscription* owner = nullptr;
  // Set once the thread has a first result for _startSubscription (state left
  // 0, or a refusal was recorded); the state alone may pass through 4 and back
  // to 0 between two looks of the waiting owner.
  std::atomic<bool> answered{false};
  // The connection of a running link closed: the thread logs the loss and
  // dials again.
  std::atomic<bool> lost{false};
  char address[128] = {};     // "a.b.c.d:port" that is dialled
  char verifyHost[256] = {};  // host name or address the certificate must name
  // QoS 2 publications taken and not yet released by PUBREL, by packet id:
  // one sent again (DUP) before its PUBREL is the same one (MQTT 3.1.1
  // 4.3.3) and is handed to the owner once. Kept across redials: the link
  // connects with a kept session, and its broker sends them again then.
  std::bitset<65536> qos2Taken;

  ~MQTTClientThread() { yxThreadDataFree(record); }
};

namespace {

constexpr int32_t STATE_CONNECTING = YX_THREAD_CREATED;
constexpr int32_t STATE_RUNNING = YX_THREAD_RUNNING;
constexpr int32_t STATE_STOP = YX_THREAD_STOP_REQUESTED;
constexpr int32_t STATE_ENDED = YX_THREAD_ENDED;
constexpr int32_t STATE_REFUSED = YX_THREAD_FAILED;

// The packet id of the client's own SUBSCRIBE and PUBLISH packets.
constexpr uint16_t CLIENT_PACKET_ID = 42;
constexpr uint16_t CLIENT_KEEP_ALIVE = 60;
constexpr int POLL_MS = 1000;
constexpr int REDIAL_PAUSE_MS = 1000;
// Failed attempts in a row double the pause up to this bound; a link that
// runs again starts over at REDIAL_PAUSE_MS.
constexpr int REDIAL_PAUSE_MAX_MS = 30000;
constexpr int START_WAIT_STEPS = 999;
constexpr int START_WAIT_STEP_MS = 10;

// Connection marks of the client's own connections.
// CONNECT already sent: a TLS handshake that completes raises
// NEV_EVENT_CONNECT a second time, which must not send a second CONNECT.
constexpr uint32_t CONN_CONNECT_SENT = NEV_CONN_USER_1;
// Refused and closing: its later events (its CLOSE above all) belong to no
// link any more and must not end the thread that already dials again.
constexpr uint32_t CONN_RETIRED = NEV_CONN_USER_2;

bool has_text(const char* text) { return text != nullptr && *text != '\0'; }

// Moves the state only from the expected value, so that a stop request of
// the owner (2) is never overwritten by the thread.
bool advance_state(MQTTClientThread* t, int32_t from, int32_t to) {
  bool moved = t->record->state.compare_exchange_strong(from, to);
  if (moved && to != STATE_CONNECTING) t->answered.store(true);
  return moved;
}

// A closed connection of a connecting link is a failed attempt, of a running
// one a lost link: either way the thread dials again (a refused connection
// is already retired). A stop asked by the owner stays.
void close_state(MQTTClientThread* t) {
  int32_t state = t->record->state.load();
  if (state == STATE_RUNNING && advance_state(t, STATE_RUNNING, STATE_REFUSED))
    t->lost.store(true);
  else if (state == STATE_CONNECTING)
    advance_state(t, STATE_CONNECTING, STATE_REFUSED);
  t->answered.store(true);
}

void log_connect_failure(MQTTClientThread* t, int32_t code) {
  char message[YX_MSG_SIZE];
  snprintf(message, sizeof(message), "Not able to connect MQTT client - %s", t->address);
  t->owner->Log(message, code);
}

// Records a refusal on this connection and lets it close on its own; the
// thread's loop logs it and dials again.
void refuse(MQTTClientThread* t, nev_connection* conn, int32_t code) {
  conn->flags |= CONN_RETIRED | NEV_CONN_CLOSE_NOW;
  t->record->code = code;
  advance_state(t, STATE_CONNECTING, STATE_REFUSED);
  t->answered.store(true);
}

// Dotted IPv4 text of the owner's broker host (its first address when it is
// a name that resolves, the text unchanged otherwise), "127.0.0.1" without a
// host, and the dial address "host:port".
void resolve_address(MQTTClientThread* t) {
  const char* host = t->owner->GetBrokerHost();
  char dotted[INET_ADDRSTRLEN] = "127.0.0.1";
  const char* target = dotted;
  if (has_text(host)) {
    target = host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
      auto* in = reinterpret_cast<sockaddr_in*>(found->ai_addr);
      if (inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof(dotted)) != nullptr) target = dotted;
    }
    if (found != nullptr) freeaddrinfo(found);
  }
  snprintf(t->address, sizeof(t->address), "%s:%d", target, t->owner->GetBrokerPort());
  snprintf(t->verifyHost, sizeof(t->verifyHost), "%s", has_text(host) ? host : "127.0.0.1");
}

// The remote certificate must name the host we meant to reach, not just
// chain to the CA: any certificate of that CA would do otherwise.
bool require_peer_name(nev_connection* conn, const char* host) {
  if (conn->tls == nullptr || conn->tls->ssl == nullptr) return false;
  SSL* ssl = conn->tls->ssl;
  in_addr numeric{};
  if (inet_pton(AF_INET, host, &numeric) == 1) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) == 1;
  SSL_set_tlsext_host_name(ssl, host);
  return SSL_set1_host(ssl, host) == 1;
}

void client_event_handler(nev_connection* conn, int event, void* data, nev_unlock_fn unlock);

bool wants_tls(MQTTClientThread* t) {
  return has_text(t->owner->GetBrokerSSLCert()) || has_text(t->owner->GetBrokerSSLCA());
}

// A failed connect on a TLS connection whose handshake had begun is a TLS
// refusal (bad certificate, wrong host name), not a broker that is gone.
bool handshake_failed(nev_connection* conn) {
  return (conn->flags & NEV_CONN_TLS) && conn->tls != nullptr && conn->tls->ssl != nullptr &&
         !SSL_in_before(conn->tls->ssl);
}

// Dials the broker, with TLS from the first byte when a certificate or a CA
// is configured. Null with the code to log: 10013 when TLS could not be set
// up, else 10012.
nev_connection* dial_broker(MQTTClientThread* t, nev_manager* mgr, int32_t* failure) {
  *failure = MQTT_CLIENT_ERR_CONNECT;
  if (!wants_tls(t)) return nev_dial(mgr, t->address, client_event_handler);
  const char* cert = t->owner->GetBrokerSSLCert();
  const char* ca = t->owner->GetBrokerSSLCA();
  const char* error = nullptr;
  nev_dial_options options{};
  options.error_text = &error;
  options.tls_cert = has_text(cert) ? cert : nullptr;
  options.tls_ca = has_text(ca) ? ca : nullptr;
  nev_connection* conn = nev_dial_with_options(mgr, t->address, client_event_handler, &options);
  if (conn == nullptr) {
    bool tls_setup = error != nullptr && strcmp(error, "cannot parse address") != 0 &&
                     strncmp(error, "failed to", 9) != 0 && strncmp(error, "cannot", 6) != 0;
    if (tls_setup) *failure = MQTT_CLIENT_ERR_TLS;
    return nullptr;
  }
  if (has_text(ca) && !require_peer_name(conn, t->verifyHost)) {
    conn->flags |= CONN_RETIRED | NEV_CONN_CLOSE_NOW;
    *failure = MQTT_CLIENT_ERR_TLS;
    return nullptr;
  }
  return conn;
}

void on_connect(MQTTClientThread* t, nev_connection* conn, int result) {
  // Connecting twice on one connection would send a second CONNECT, which
  // the broker answers by closing.
  if (conn->flags & CONN_CONNECT_SENT) return;
  if (result != 0) {
    // A refused handshake is tried again like a refused CONNACK; a failed
    // TCP connect closes the connection, which ends the thread.
    if (handshake_failed(conn)) refuse(t, conn, MQTT_CLIENT_ERR_TLS);
    return;
  }
  conn->flags |= CONN_CONNECT_SENT;
  nev_mqtt_attach(conn);
  nev_mqtt_connect_options options{};
  options.keep_alive = CLIENT_KEEP_ALIVE;
  options.user_name = t->owner->GetBrokerUser();
  options.password = t->owner->GetBrokerPass();
  nev_mqtt_send_connect(conn, t->owner->GetClientID(), &options);
}

void on_connack(MQTTClientThread* t, nev_connection* conn, const nev_mqtt_packet* pkt) {
  if (pkt->return_code != NEV_MQTT_CONNACK_ACCEPTED) {
    refuse(t, conn, pkt->return_code);
    return;
  }
  const char* topic = t->owner->GetTopic();
  if (!has_text(topic)) {
    advance_state(t, STATE_CONNECTING, STATE_RUNNING);
    return;
  }
  nev_mqtt_topic_filter filter{topic, 2};
  nev_mqtt_send_subscribe(conn, &filter, 1, CLIENT_PACKET_ID);
}

void on_publish(MQTTClientThread* t, nev_connection* conn, const nev_mqtt_packet* pkt) {
  if (pkt->qos == 2) {
    if (t->qos2Taken.test(pkt->message_id)) {
      nev_mqtt_acknowledge_publish(conn, pkt);
      return;
    }
    t->qos2Taken.set(pkt->message_id);
  }
  try {
    t->owner->ProcessPub(pkt->topic.p, pkt->topic.len, pkt->payload.p, pkt->payload.len, pkt->message_id, pkt->qos);
  } catch (const YXException& e) {
    t->owner->Log(e.GetErrorMsg(), e.GetErrorCode());
  } catch (const std::exception& e) {
    t->owner->Log(e.what(), MQTT_CLIENT_ERR_NOT_SUPPORTED);
  }
  nev_mqtt_acknowledge_publish(conn, pkt);
}

// Publishes (while running) or discards (while connecting) what the owner
// queued; the client owns every message it pulls.
void drain_forward_queue(MQTTClientThread* t, nev_connection* conn) {
  YXQueue* queue = t->owner->GetMsgFwdQueue();
  if (queue == nullptr) return;
  while (void* element = queue->Pull()) {
    auto* msg = static_cast<MQTTPersistMsg*>(element);
    t->owner->_forwardTaken(msg->topicLength + msg->payloadLength);
    if (t->record->state.load() == STATE_RUNNING)
      nev_mqtt_send_publish(conn, msg->topic, CLIENT_PACKET_ID, 0, msg->payload, msg->payloadLength);
    delete msg;
  }
}

void client_event_handler(nev_connection* conn, int event, void* data, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  auto* t = static_cast<MQTTClientThread*>(conn->manager->user_data);
  if (t == nullptr || (conn->flags & CONN_RETIRED)) return;
  if (t->record->state.load() > STATE_RUNNING) return;
  drain_forward_queue(t, conn);
  auto* pkt = static_cast<const nev_mqtt_packet*>(data);
  switch (event) {
    case NEV_EVENT_CONNECT:
      on_connect(t, conn, data != nullptr ? *static_cast<int*>(data) : 0);
      break;
    case NEV_EVENT_CLOSE:
      close_state(t);
      break;
    case NEV_EVENT_MQTT_CONNACK:
      on_connack(t, conn, pkt);
      break;
    case NEV_EVENT_MQTT_SUBACK:
      advance_state(t, STATE_CONNECTING, STATE_RUNNING);
      break;
    case NEV_EVENT_MQTT_PUBLISH:
      on_publish(t, conn, pkt);
      break;
    case NEV_EVENT_MQTT_PUBREL:
      t->qos2Taken.reset(pkt->message_id);
      nev_mqtt_send_pubcomp(conn, pkt->message_id);
      break;
    default:
      break;
  }
}

// Sleeps ms, leaving early once the owner asked the thread to stop.
void pause_unless_stopped(MQTTClientThread* t, int ms) {
  for (int waited = 0; waited < ms && t->record->state.load() != STATE_STOP; waited += 10) yxSleep(10);
}

void poll_while_state(MQTTClientThread* t, nev_manager* mgr, int32_t state) {
  while (t->record->state.load() == state) nev_manager_poll(mgr, POLL_MS);
}

void log_link(MQTTClientThread* t, const char* what, int32_t code) {
  char message[YX_MSG_SIZE];
  snprintf(message, sizeof(message), "starling - MQTT link to [%s] %s", t->address, what);
  t->owner->Log(message, code);
}

// Dials until the owner asks the thread to stop: a refused, failed or lost
// connection is logged and dialled again after a pause that doubles up to
// REDIAL_PAUSE_MAX_MS; a link that runs again after any of them is logged too.
void run_links(MQTTClientThread* t, nev_manager* mgr) {
  YX_THREAD_DATA* record = t->record;
  int pause = REDIAL_PAUSE_MS;
  bool down = false;
  while (record->state.load() != STATE_STOP) {
    int32_t failure = 0;
    if (dial_broker(t, mgr, &failure) == nullptr) {
      // A refused TLS setup is a first result, as a refused CONNACK is.
      if (failure == MQTT_CLIENT_ERR_TLS) t->answered.store(true);
      log_connect_failure(t, failure);
      down = true;
    } else {
      poll_while_state(t, mgr, STATE_CONNECTING);
      if (record->state.load() == STATE_RUNNING) {
        if (down) log_link(t, "is up again", 0);
        down = false;
        pause = REDIAL_PAUSE_MS;
      }
      poll_while_state(t, mgr, STATE_RUNNING);
      if (record->state.load() != STATE_REFUSED) break;
      if (t->lost.exchange(false))
        log_link(t, "was lost; dialling again", MQTT_CLIENT_ERR_CONNECT);
      else
        log_connect_failure(t, record->code != 0 ? record->code : MQTT_CLIENT_ERR_CONNECT);
      down = true;
      record->code = 0;
      advance_state(t, STATE_REFUSED, STATE_CONNECTING);
    }
    pause_unless_stopped(t, pause);
    pause = pause * 2 < REDIAL_PAUSE_MAX_MS ? pause * 2 : REDIAL_PAUSE_MAX_MS;
  }
}

void client_thread(void* param) {
  auto* t = static_cast<MQTTClientThread*>(param);
  try {
    resolve_address(t);
    nev_manager mgr;
    nev_manager_setup(&mgr, t);
    run_links(t, &mgr);
    nev_manager_teardown(&mgr);
  } catch (const YXException& e) {
    t->owner->Log(e.GetErrorMsg(), e.GetErrorCode());
  } catch (...) {
    t->owner->Log("starling - MQTT client thread failed", MQTT_CLIENT_ERR_CONNECT);
  }
  t->answered.store(true);
  t->record->state.store(t->record->code == 0 ? STATE_ENDED : STATE_REFUSED);
}

}  // namespace

void MsgQueueDeleter::operator()(YXQueue* queue) const noexcept {
  if (queue == nullptr) return;
  while (void* element = queue->Pull()) delete static_cast<MQTTPersistMsg*>(element);
  delete queue;
}

namespace {
// Distinct among brokers dialling the same remote broker, and among the
// clients of one run.
uint32_t runTag() {
  static const uint32_t tag = [] {
    std::random_device random;
    return static_cast<uint32_t>(random());
  }();
  return tag;
}
std::atomic<uint64_t> gSubscriptionCount{0};
}  // namespace

MQTTSubscription::MQTTSubscription(LogCallback log) : log_(log) {
  snprintf(clientId_, sizeof(clientId_), "starling_%08x_%llu", runTag(),
           static_cast<unsigned long long>(++gSubscriptionCount));
}

MQTTSubscription::~MQTTSubscription() { _stopSubscription(); }

bool MQTTSubscription::_admitForward(size_t bytes, size_t maxBytes) {
  size_t queued = queuedBytes_.load();
  do {
    if (queued + bytes > maxBytes) return false;
  } while (!queuedBytes_.compare_exchange_weak(queued, queued + bytes));
  return true;
}

void MQTTSubscription::SetClientID(const char* clientId) { snprintf(clientId_, sizeof(clientId_), "%s", clientId); }

namespace {
void replace_text(OwnedText& slot, const char* text) { slot.reset(dupStr(text)); }
}  // namespace

void MQTTSubscription::SetTopic(const char* topic) { replace_text(topic_, topic); }
void MQTTSubscription::SetBrokerHost(const char* host) { replace_text(brokerHost_, host); }
void MQTTSubscription::SetBrokerPort(int32_t port) { brokerPort_ = port; }
void MQTTSubscription::SetBrokerUser(const char* user) { replace_text(brokerUser_, user); }
void MQTTSubscription::SetBrokerPass(const char* password) { replace_text(brokerPass_, password); }
void MQTTSubscription::SetBrokerSSLCert(const char* certFile) { replace_text(brokerSSLCert_, certFile); }
void MQTTSubscription::SetBrokerSSLCA(const char* caFile) { replace_text(brokerSSLCA_, caFile); }

int32_t MQTTSubscription::GetSubscriptionState() const {
  return client_ != nullptr ? client_->record->state.load() : -1;
}

void MQTTSubscription::Log(const char* message, int32_t code) const {
  if (log_ != nullptr) log_(message, code);
}

void MQTTSubscription::_startSubscription() {
  _stopSubscription();
  auto client = std::make_unique<MQTTClientThread>();
  try {
    client->record = yxThreadDataCreate(STATE_CONNECTING, this);
  } catch (const YXException&) {
    YX_THROW("MQTTSubscription::_startSubscription", YX_KIND_OPERATION, MQTT_CLIENT_ERR_THREAD_DATA,
             "Not able to allocate MQTT subscription thread data list");
  }
  client->owner = this;
  client->handle = yxThrdCreate(client_thread, client.get());
  client_ = std::move(client);

  for (int step = 0; step < START_WAIT_STEPS && !client_->answered.load(); step++) yxSleep(START_WAIT_STEP_MS);
  if (!client_->answered.load()) {
    // The thread would outlive a constructor that throws now: end it first.
    _stopSubscription();
    YX_THROW("MQTTSubscription::_startSubscription", YX_KIND_OPERATION, MQTT_CLIENT_ERR_NO_ANSWER,
             "Not able to connect thread to subscribe to MQTT");
  }
  if (has_text(GetTopic())) {
    char message[YX_MSG_SIZE];
    snprintf(message, sizeof(message), "starling - Subscribed to MQTT Broker [%s:%d] on topic [%s]",
             has_text(GetBrokerHost()) ? GetBrokerHost() : "127.0.0.1", GetBrokerPort(), GetTopic());
    Log(message, 0);
  }
}

void MQTTSubscription::_stopSubscription() noexcept {
  if (client_ == nullptr) return;
  // Unconditional: a refused link (4) would otherwise go back to 0 and dial on.
  client_->record->state.store(STATE_STOP);
  yxThrdJoin(client_->handle);
  client_.reset();
}
