// The broker core: sessions, subscriptions and the fan-out of publications.
#include "nev_mqtt_broker.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool filter_equals(const nev_mqtt_topic_filter &sub, nev_slice filter) {
  return strlen(sub.topic) == filter.len && memcmp(sub.topic, filter.p, filter.len) == 0;
}

long find_filter(const nev_broker_session *s, nev_slice filter) {
  for (size_t i = 0; i < s->num_subscriptions; i++)
    if (filter_equals(s->subscriptions[i], filter)) return static_cast<long>(i);
  return -1;
}

void free_session(nev_broker_session *s) {
  for (size_t i = 0; i < s->num_subscriptions; i++) free(const_cast<char *>(s->subscriptions[i].topic));
  free(s->subscriptions);
  free(s);
}

void unlink_session(nev_broker_session *s) {
  if (s->next != nullptr) s->next->prev_link = s->prev_link;
  *s->prev_link = s->next;
  s->next = nullptr;
  s->prev_link = nullptr;
}

// Runs when a connection is destroyed while it still has a session (closed
// without NEV_EVENT_CLOSE reaching the broker, as on a stop): the session must
// not outlive the connection it writes to.
void drop_orphaned_session(void *arg) {
  auto *s = static_cast<nev_broker_session *>(arg);
  nev_rwlock_guard guard(s->broker->lock, nev_rwlock_mode::exclusive);
  unlink_session(s);
  free_session(s);
}

void bind_session(nev_connection *conn, nev_broker_session *s) {
  conn->private_word = s;
  if (nev_mqtt_proto_data *state = nev_mqtt_state(conn)) {
    state->release_hook = s != nullptr ? drop_orphaned_session : nullptr;
    state->release_arg = s;
  }
}

nev_broker *broker_of(nev_connection *conn) {
  nev_mqtt_proto_data *state = nev_mqtt_state(conn);
  if (state != nullptr && state->listener_word != nullptr) return static_cast<nev_broker *>(state->listener_word);
  if (conn->listener != nullptr) return static_cast<nev_broker *>(conn->listener->private_word);
  return static_cast<nev_broker *>(conn->private_word);
}

void refuse(nev_connection *conn, uint8_t return_code) {
  nev_mqtt_send_connack(conn, return_code);
  conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
}

void on_connect(nev_connection *conn, const nev_mqtt_packet *pkt) {
  // A second CONNECT on one connection is a protocol violation.
  if (nev_broker_session_of(conn) != nullptr) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  uint8_t rc = nev_broker_connect_return_code(pkt);
  if (rc != NEV_MQTT_CONNACK_ACCEPTED) {
    refuse(conn, rc);
    return;
  }
  nev_broker *broker = broker_of(conn);
  if (broker == nullptr) {
    refuse(conn, NEV_MQTT_CONNACK_UNAVAILABLE);
    return;
  }
  if (nev_broker_open_session(broker, conn) == nullptr) {
    nev_mqtt_send_connack(conn, NEV_MQTT_CONNACK_UNAVAILABLE);
    return;
  }
  nev_mqtt_send_connack(conn, NEV_MQTT_CONNACK_ACCEPTED);
}

// Counts the entries of a SUBSCRIBE; 0 when it is not well formed.
size_t count_entries(const nev_mqtt_packet *pkt) {
  size_t count = 0;
  long pos = 0;
  nev_slice filter;
  uint8_t qos;
  while (static_cast<size_t>(pos) < pkt->payload.len) {
    pos = nev_mqtt_next_subscribe_topic(pkt, &filter, &qos, pos);
    if (pos < 0 || qos > 2) return 0;
    count++;
  }
  return count;
}

// Filters of the request that neither the session nor an earlier entry of
// the same request holds: what the request adds to the session's list.
size_t count_new_filters(const nev_broker_session *s, const nev_mqtt_packet *pkt) {
  size_t added = 0;
  long pos = 0;
  nev_slice filter;
  uint8_t qos;
  while ((pos = nev_mqtt_next_subscribe_topic(pkt, &filter, &qos, pos)) >= 0) {
    if (find_filter(s, filter) >= 0) continue;
    bool earlier = false;
    long p2 = 0;
    nev_slice f2;
    uint8_t q2;
    while (!earlier && (p2 = nev_mqtt_next_subscribe_topic(pkt, &f2, &q2, p2)) >= 0 && f2.p < filter.p)
      earlier = f2.len == filter.len && memcmp(f2.p, filter.p, filter.len) == 0;
    if (!earlier) added++;
  }
  return added;
}

bool reserve(nev_broker_session *s, size_t needed) {
  if (needed <= s->capacity) return true;
  size_t capacity = s->capacity == 0 ? 4 : s->capacity;
  while (capacity < needed) capacity *= 2;
  if (capacity > NEV_BROKER_MAX_SUBSCRIPTIONS) capacity = NEV_BROKER_MAX_SUBSCRIPTIONS;
  void *grown = realloc(s->subscriptions, capacity * sizeof(nev_mqtt_topic_filter));
  if (grown == nullptr) return false;
  s->subscriptions = static_cast<nev_mqtt_topic_filter *>(grown);
  s->capacity = capacity;
  return true;
}

// Adds or replaces one filter; false when its copy cannot be made.
bool store_filter(nev_broker_session *s, nev_slice filter, uint8_t qos) {
  long at = find_filter(s, filter);
  if (at >= 0) {
    s->subscriptions[at].qos = qos;
    return true;
  }
  char *copy = static_cast<char *>(malloc(filter.len + 1));
  if (copy == nullptr) return false;
  memcpy(copy, filter.p, filter.len);
  copy[filter.len] = '\0';
  s->subscriptions[s->num_subscriptions++] = nev_mqtt_topic_filter{copy, qos};
  return true;
}

// Under the broker mutex. False when the connection must be closed.
bool apply_subscribe(nev_broker_session *s, const nev_mqtt_packet *pkt) {
  size_t added = count_new_filters(s, pkt);
  if (s->num_subscriptions + added > NEV_BROKER_MAX_SUBSCRIPTIONS) return false;
  if (!reserve(s, s->num_subscriptions + added)) return false;
  long pos = 0;
  nev_slice filter;
  uint8_t qos;
  while ((pos = nev_mqtt_next_subscribe_topic(pkt, &filter, &qos, pos)) >= 0)
    if (!store_filter(s, filter, qos)) return false;
  return true;
}

double monotonic_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// What forwarding does with one copy for a subscriber.
enum class queue_verdict { send, drop, close };

// Whether the subscriber's queue is over the broker's bound, and what that
// means for a copy of the QoS. A copy alone in an empty buffer always goes:
// a publication larger than the byte bound still reaches a reading client.
queue_verdict check_queue(const nev_broker *broker, nev_broker_session *s, int qos, size_t packet_bytes) {
  nev_connection *conn = s->conn;
  size_t queued = __atomic_load_n(&conn->send_buf.len, __ATOMIC_RELAXED);
  nev_mqtt_proto_data *state = nev_mqtt_state(conn);
  uint32_t messages = state != nullptr ? __atomic_load_n(&state->queued_publications, __ATOMIC_RELAXED) : 0;
  bool over = queued > 0 && ((broker->max_queued_bytes != 0 && queued + packet_bytes > broker->max_queued_bytes) ||
                             (broker->max_queued_messages != 0 && messages >= broker->max_queued_messages));
  double zero = 0;
  if (!over) {
    __atomic_store(&s->over_bound_since, &zero, __ATOMIC_RELAXED);
    return queue_verdict::send;
  }
  if (qos == 0) {
    __atomic_add_fetch(&s->dropped_publications, 1, __ATOMIC_RELAXED);
    return queue_verdict::drop;
  }
  double now = monotonic_seconds();
  double since;
  __atomic_load(&s->over_bound_since, &since, __ATOMIC_RELAXED);
  if (since == 0) __atomic_store(&s->over_bound_since, &now, __ATOMIC_RELAXED);
  bool hard = broker->max_queued_bytes != 0 && queued > NEV_BROKER_BACKLOG_HARD_FACTOR * broker->max_queued_bytes;
  if (hard || (since != 0 && now - since >= NEV_BROKER_BACKLOG_GRACE_SECONDS)) {
    __atomic_store_n(&s->closed_for_backlog, 1, __ATOMIC_RELAXED);
    nev_connection_request_close(conn);
    return queue_verdict::close;
  }
  return queue_verdict::send;
}

// The highest QoS among the session's filters that match; -1 when none does.
int best_matching_qos(const nev_broker_session *s, nev_slice topic, int enough) {
  int best = -1;
  for (size_t i = 0; i < s->num_subscriptions && best < enough; i++) {
    int qos = s->subscriptions[i].qos;
    if (qos > best && nev_mqtt_topic_match_cstr(s->subscriptions[i].topic, topic)) best = qos;
  }
  return best;
}

}  // namespace

void nev_broker_setup(nev_broker *broker, void *user_data) {
  broker->sessions = nullptr;
  broker->user_data = user_data;
  broker->max_queued_messages = NEV_BROKER_MAX_QUEUED_MESSAGES;
  broker->max_queued_bytes = NEV_BROKER_MAX_QUEUED_BYTES;
  broker->lock = nev_srwlock_new();
  NEV_ASSERT(broker->lock != nullptr);
}

void nev_broker_teardown(nev_broker *broker) {
  if (broker->lock == nullptr) return;
  {
    nev_rwlock_guard guard(broker->lock, nev_rwlock_mode::exclusive);
    while (broker->sessions != nullptr) {
      nev_broker_session *s = broker->sessions;
      unlink_session(s);
      if (s->conn != nullptr) bind_session(s->conn, nullptr);
      free_session(s);
    }
  }
  nev_srwlock_free(broker->lock);
  broker->lock = nullptr;
}

uint8_t nev_broker_connect_return_code(const nev_mqtt_packet *pkt) {
  if (pkt->protocol_level != 3 && pkt->protocol_level != 4) return NEV_MQTT_CONNACK_BAD_PROTOCOL;
  // Only a clean session can be given an id by the server (3.1.1); 3.1 always
  // needs one.
  if (pkt->client_id.len == 0 && (pkt->protocol_level == 3 || !(pkt->connect_flags & NEV_MQTT_CLEAN_SESSION)))
    return NEV_MQTT_CONNACK_BAD_CLIENT_ID;
  return NEV_MQTT_CONNACK_ACCEPTED;
}

nev_broker_session *nev_broker_session_of(nev_connection *conn) {
  nev_mqtt_proto_data *state = nev_mqtt_state(conn);
  if (state != nullptr) {
    return state->release_hook == drop_orphaned_session ? static_cast<nev_broker_session *>(state->release_arg)
                                                        : nullptr;
  }
  // Without the MQTT layer's state only accepted connections carry sessions.
  return conn->listener != nullptr ? static_cast<nev_broker_session *>(conn->private_word) : nullptr;
}

void nev_broker_bind_listener(nev_connection *listener, nev_broker *broker) { listener->private_word = broker; }

nev_broker_session *nev_broker_next_session(nev_broker *broker, nev_broker_session *after) {
  return after == nullptr ? broker->sessions : after->next;
}

nev_broker_session *nev_broker_open_session(nev_broker *broker, nev_connection *conn) {
  auto *s = static_cast<nev_broker_session *>(calloc(1, sizeof(nev_broker_session)));
  if (s == nullptr) return nullptr;
  nev_rwlock_guard guard(broker->lock, nev_rwlock_mode::exclusive);
  s->broker = broker;
  s->conn = conn;
  s->next = broker->sessions;
  s->prev_link = &broker->sessions;
  if (s->next != nullptr) s->next->prev_link = &s->next;
  broker->sessions = s;
  bind_session(conn, s);
  return s;
}

void nev_broker_close_session(nev_broker_session *session) {
  nev_rwlock_guard guard(session->broker->lock, nev_rwlock_mode::exclusive);
  unlink_session(session);
  if (session->conn != nullptr && nev_broker_session_of(session->conn) == session) bind_session(session->conn, nullptr);
  free_session(session);
}

int nev_broker_add_filters(nev_connection *conn, const nev_mqtt_packet *pkt) {
  nev_broker_session *s = nev_broker_session_of(conn);
  // The cap comes first: a request with thousands of entries costs nothing
  // more than its reading.
  size_t count = count_entries(pkt);
  if (s == nullptr || count == 0 || count > NEV_BROKER_MAX_SUBSCRIPTIONS) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return 0;
  }
  bool ok;
  {
    nev_rwlock_guard guard(s->broker->lock, nev_rwlock_mode::exclusive);
    ok = apply_subscribe(s, pkt);
  }
  if (!ok) conn->flags |= NEV_CONN_CLOSE_NOW;
  return ok ? 1 : 0;
}

void nev_broker_send_suback(nev_connection *conn, const nev_mqtt_packet *pkt) {
  // The granted QoS is the one asked for: the broker serves 0, 1 and 2. The
  // request was checked when its filters were added, so it has at most
  // NEV_BROKER_MAX_SUBSCRIPTIONS entries.
  uint8_t granted[NEV_BROKER_MAX_SUBSCRIPTIONS];
  long pos = 0;
  nev_slice filter;
  size_t count = 0;
  while (count < NEV_BROKER_MAX_SUBSCRIPTIONS &&
         (pos = nev_mqtt_next_subscribe_topic(pkt, &filter, &granted[count], pos)) >= 0)
    count++;
  nev_mqtt_send_suback(conn, granted, count, pkt->message_id);
}

void nev_broker_unsubscribe(nev_connection *conn, const nev_mqtt_packet *pkt) {
  nev_broker_session *s = nev_broker_session_of(conn);
  if (s == nullptr) return;
  nev_rwlock_guard guard(s->broker->lock, nev_rwlock_mode::exclusive);
  long pos = 0;
  nev_slice filter;
  while ((pos = nev_mqtt_next_unsubscribe_topic(pkt, &filter, pos)) >= 0) {
    long at = find_filter(s, filter);
    if (at < 0) continue;
    free(const_cast<char *>(s->subscriptions[at].topic));
    memmove(&s->subscriptions[at], &s->subscriptions[at + 1],
            (s->num_subscriptions - static_cast<size_t>(at) - 1) * sizeof(nev_mqtt_topic_filter));
    s->num_subscriptions--;
  }
}

size_t nev_broker_forward_publish(nev_broker *broker, const nev_mqtt_packet *pkt) {
  size_t sent = 0;
  nev_rwlock_guard guard(broker->lock, nev_rwlock_mode::shared);
  for (nev_broker_session *s = broker->sessions; s != nullptr; s = s->next) {
    int best = best_matching_qos(s, pkt->topic, pkt->qos);
    if (best < 0) continue;
    int qos = best < pkt->qos ? best : pkt->qos;
    size_t packet_bytes = static_cast<size_t>(pkt->length);
    if (check_queue(broker, s, qos, packet_bytes) != queue_verdict::send) continue;
    uint16_t id = qos > 0 ? nev_broker_session_next_packet_id(s) : 0;
    sent +=
        nev_mqtt_send_publish_slice(s->conn, pkt->topic, id, nev_mqtt_qos_flags(qos), pkt->payload.p, pkt->payload.len);
  }
  return sent;
}

uint16_t nev_broker_session_next_packet_id(nev_broker_session *session) {
  // Publications of several connections reach one session at the same time.
  uint16_t last = __atomic_load_n(&session->last_packet_id, __ATOMIC_RELAXED);
  uint16_t next;
  do {
    next = last == 65535 ? 1 : static_cast<uint16_t>(last + 1);
  } while (
      !__atomic_compare_exchange_n(&session->last_packet_id, &last, next, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
  return next;
}

void nev_broker_on_connect(nev_connection *conn, const nev_mqtt_packet *pkt) { on_connect(conn, pkt); }

namespace {
void on_publish(nev_connection *conn, const nev_mqtt_packet *pkt, bool acknowledge) {
  nev_broker_session *s = nev_broker_session_of(conn);
  if (s == nullptr) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  if (acknowledge) nev_mqtt_acknowledge_publish(conn, pkt);
  nev_broker_forward_publish(s->broker, pkt);
}
}  // namespace

void nev_broker_on_publish(nev_connection *conn, const nev_mqtt_packet *pkt) { on_publish(conn, pkt, true); }

void nev_broker_on_publish_acknowledged_later(nev_connection *conn, const nev_mqtt_packet *pkt) {
  on_publish(conn, pkt, false);
}

void nev_broker_on_pubrec(nev_connection *conn, const nev_mqtt_packet *pkt) {
  nev_mqtt_send_pubrel(conn, pkt->message_id);
}

void nev_broker_on_pubrel(nev_connection *conn, const nev_mqtt_packet *pkt) {
  nev_mqtt_send_pubcomp(conn, pkt->message_id);
}

void nev_broker_on_subscribe(nev_connection *conn, const nev_mqtt_packet *pkt, nev_broker_hook added, void *arg) {
  if (!nev_broker_add_filters(conn, pkt)) return;
  if (added != nullptr) added(conn, pkt, arg);
  nev_broker_send_suback(conn, pkt);
}

void nev_broker_on_unsubscribe(nev_connection *conn, const nev_mqtt_packet *pkt, nev_broker_hook removed, void *arg) {
  nev_broker_unsubscribe(conn, pkt);
  if (removed != nullptr) removed(conn, pkt, arg);
  nev_mqtt_send_unsuback(conn, pkt->message_id);
}

void nev_broker_on_pingreq(nev_connection *conn) { nev_mqtt_send_pingresp(conn); }

void nev_broker_on_disconnect(nev_connection *conn) { conn->flags |= NEV_CONN_CLOSE_AFTER_SEND; }

void nev_broker_on_close(nev_connection *conn) {
  if (nev_broker_session *s = nev_broker_session_of(conn)) nev_broker_close_session(s);
}

void nev_broker_on_event(nev_connection *conn, int event, void *event_data) {
  auto *pkt = static_cast<const nev_mqtt_packet *>(event_data);
  switch (event) {
    case NEV_EVENT_ACCEPT:
      if (nev_mqtt_state(conn) == nullptr) nev_mqtt_attach(conn);
      conn->private_word = nullptr;
      return;
    case NEV_EVENT_CLOSE:
      return nev_broker_on_close(conn);
    case NEV_EVENT_MQTT_CONNECT:
      return nev_broker_on_connect(conn, pkt);
    case NEV_EVENT_MQTT_PUBLISH:
      return nev_broker_on_publish(conn, pkt);
    case NEV_EVENT_MQTT_PUBREC:
      return nev_broker_on_pubrec(conn, pkt);
    case NEV_EVENT_MQTT_PUBREL:
      return nev_broker_on_pubrel(conn, pkt);
    case NEV_EVENT_MQTT_SUBSCRIBE:
      return nev_broker_on_subscribe(conn, pkt, nullptr, nullptr);
    case NEV_EVENT_MQTT_UNSUBSCRIBE:
      return nev_broker_on_unsubscribe(conn, pkt, nullptr, nullptr);
    case NEV_EVENT_MQTT_PINGREQ:
      return nev_broker_on_pingreq(conn);
    case NEV_EVENT_MQTT_DISCONNECT:
      return nev_broker_on_disconnect(conn);
    default:  // PUBACK and PUBCOMP need no answer
      return;
  }
}
