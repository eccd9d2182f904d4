// The MQTT protocol handler (events, keep-alive) and the packet senders.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "nev_codec.h"
#include "nev_log.h"
#include "nev_mqtt.h"
#include "nev_socket.h"

namespace {

// Keep-alive runs on the monotonic clock: a wall-clock change must neither
// fire a ping time-out nor postpone one.
double monotonic_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void destroy_proto_data(void *data) {
  auto *state = static_cast<nev_mqtt_proto_data *>(data);
  if (state->release_hook != nullptr) state->release_hook(state->release_arg);
  free(state);
}

bool manager_stopping(const nev_connection *conn) {
  const nev_manager *mgr = conn->manager;
  return mgr != nullptr && mgr->parent != nullptr && __atomic_load_n(&mgr->parent->stop_flag, __ATOMIC_ACQUIRE) == 1;
}

// The manager whose events this thread is delivering: its connections are
// written by its own poll loop, after the handler, in one go.
thread_local const nev_manager *tl_delivering_manager = nullptr;

struct delivering_scope {
  explicit delivering_scope(const nev_manager *mgr) : outer(tl_delivering_manager) { tl_delivering_manager = mgr; }
  ~delivering_scope() { tl_delivering_manager = outer; }
  const nev_manager *outer;
};

// Set while a received packet is handled and more bytes of its connection
// are already in: the packets it makes others send come as a burst too.
thread_local bool tl_more_received = false;

// Packets into one connection closer together than this come as a burst
// (many publishers, one subscriber): they are left to the connection's own
// thread, which writes the burst in a few system calls.
constexpr double kBurstGapSeconds = 20e-6;

bool closing(const nev_connection *conn) {
  return (conn->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CLOSE_AFTER_SEND)) != 0;
}

// Whether a sender may write to the connection's socket itself: plain TCP on
// the socket interface, open, not traced. The caller holds the send buffer's
// mutex, under which the engine closes the socket.
bool may_write_through(const nev_connection *conn) {
  constexpr uint32_t kNot = NEV_CONN_TLS | NEV_CONN_UDP | NEV_CONN_LISTENING | NEV_CONN_CONNECTING | NEV_CONN_CLOSE_NOW;
  return conn->sock != NEV_INVALID_SOCKET && conn->iface != nullptr && conn->iface->ops == &nev_socket_iface &&
         (conn->flags & kNot) == 0 && (conn->manager == nullptr || conn->manager->hexdump_path == nullptr);
}

// Holds the connection mutex for a scope and notes whether another writer
// held it first.
struct conn_mutex_hold {
  explicit conn_mutex_hold(nev_mutex m) : mutex(m), waited(pthread_mutex_trylock(m) != 0) {
    if (waited) nev_mutex_lock(mutex);
  }
  ~conn_mutex_hold() { nev_mutex_unlock(mutex); }
  conn_mutex_hold(const conn_mutex_hold &) = delete;
  conn_mutex_hold &operator=(const conn_mutex_hold &) = delete;
  nev_mutex mutex;
  bool waited;
};

// Writes one whole packet straight into reserved room of the send buffer.
// The connection mutex is held from the first byte to the last, so that
// packets of different threads never interleave; the send buffer's own mutex
// is held too, so the poller never writes out bytes not yet filled in.
//
// A packet another thread sends (as a broker writes each subscriber's copy)
// goes to the socket at once when it is all the buffer holds: waking the
// connection's thread to write it would cost a wake-up, a poll round and two
// context switches per subscriber. Only what the socket does not take stays
// queued for the connection's thread, which is then woken. Packets of a burst
// (a writer that waited for another one, or one close behind the last packet
// written this way) join the queue instead, and so do packets sent from the
// connection's own poll loop: there the connection's thread writes many
// packets in a few system calls. Bytes written this way raise no
// NEV_EVENT_SEND.
class packet_writer {
 public:
  packet_writer(nev_connection *conn, int type, unsigned flags, size_t remaining) : conn_(conn), hold_(conn->mutex) {
    uint8_t length_bytes[4];
    size_t n = remaining <= NEV_MQTT_MAX_REMAINING_LENGTH
                   ? nev_mqtt_encode_length(static_cast<uint32_t>(remaining), length_bytes)
                   : 0;
    if (n == 0 || !reserve(1 + n + remaining, type == NEV_MQTT_PUBLISH)) return;
    u8(static_cast<uint8_t>((type << 4) | (flags & 0x0f)));
    bytes(length_bytes, n);
  }

  // Room for `total` bytes of whole packets (none of them a PUBLISH) that
  // the caller writes itself: several small packets leave in one write.
  packet_writer(nev_connection *conn, size_t total) : conn_(conn), hold_(conn->mutex) {
    if (total > 0) reserve(total, false);
  }

  ~packet_writer() {
    if (!buffer_locked_) return;
    NEV_ASSERT(at_ == end_);
    nev_mqtt_proto_data *state = nev_mqtt_state(conn_);
    double now = monotonic_seconds();
    bool left_queued = end_ != nullptr && !write_through(state, now);
    nev_mutex_unlock(conn_->send_buf.mutex);
    if (end_ == nullptr) return;
    // The idle time-out counts whole seconds: the engine clock is read once a
    // second per connection, not for every packet.
    if (state == nullptr || now - state->last_io_stamp >= 1.0) {
      conn_->last_io_time = static_cast<int64_t>(nev_now());
      if (state != nullptr) state->last_io_stamp = now;
    }
    if (state != nullptr) state->last_control_time = now;
    if (left_queued) nev_connection_wake(conn_);
  }

  packet_writer(const packet_writer &) = delete;
  packet_writer &operator=(const packet_writer &) = delete;

  bool ok() const { return end_ != nullptr; }
  void u8(uint8_t v) { *at_++ = static_cast<char>(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v >> 8));
    u8(static_cast<uint8_t>(v & 0xff));
  }
  void bytes(const void *p, size_t n) {
    if (n > 0) memcpy(at_, p, n);
    at_ += n;
  }
  void text(nev_slice s) {
    u16(static_cast<uint16_t>(s.len));
    bytes(s.p, s.len);
  }

 private:
  bool reserve(size_t total, bool publication) {
    nev_mutex_lock(conn_->send_buf.mutex);
    buffer_locked_ = true;
    size_t start = conn_->send_buf.len;
    if (nev_buffer_append(&conn_->send_buf, nullptr, total) != total) return false;
    at_ = conn_->send_buf.data + start;
    end_ = at_ + total;
    packet_len_ = total;
    count_queued(start == 0, publication);
    return true;
  }

  // True when the buffer is empty afterwards. Earlier bytes still queued must
  // leave first, so only a packet alone in the buffer is written here.
  bool write_through(nev_mqtt_proto_data *state, double now) {
    nev_buffer *buf = &conn_->send_buf;
    if (hold_.waited || buf->len != packet_len_ || conn_->manager == tl_delivering_manager || !may_write_through(conn_))
      return false;
    if (state != nullptr) {
      bool burst = tl_more_received || now - state->last_write_through < kBurstGapSeconds;
      state->last_write_through = now;
      if (burst) return false;
    }
    long n = conn_->iface->ops->send_tcp(conn_, buf->data, buf->len);
    if (n <= 0) return false;  // the connection's thread meets the error itself
    nev_buffer_drop_front(buf, static_cast<size_t>(n));
    if (buf->len != 0) return false;
    if (state != nullptr) __atomic_store_n(&state->queued_publications, 0u, __ATOMIC_RELAXED);
    // An idle connection keeps no large block.
    if (buf->size > kKeptSendRoom) nev_buffer_trim(buf);
    return true;
  }

  // Publications queued since the buffer was last empty, for the broker's
  // bound on what one subscriber may have waiting.
  void count_queued(bool buffer_was_empty, bool publication) {
    nev_mqtt_proto_data *state = nev_mqtt_state(conn_);
    if (state == nullptr) return;
    uint32_t count = buffer_was_empty ? 0 : state->queued_publications;
    if (publication) count++;
    __atomic_store_n(&state->queued_publications, count, __ATOMIC_RELAXED);
  }

  static constexpr size_t kKeptSendRoom = 4096;

  nev_connection *conn_;
  conn_mutex_hold hold_;
  bool buffer_locked_ = false;
  char *at_ = nullptr;
  char *end_ = nullptr;
  size_t packet_len_ = 0;
};

constexpr size_t kMaxText = 65535;

bool text_fits(nev_slice s) { return s.len <= kMaxText; }

int send_id_packet(nev_connection *conn, int type, unsigned flags, uint16_t message_id) {
  packet_writer w(conn, type, flags, 2);
  if (!w.ok()) return 0;
  w.u16(message_id);
  return 1;
}

int send_empty_packet(nev_connection *conn, int type) {
  packet_writer w(conn, type, 0, 0);
  return w.ok() ? 1 : 0;
}

void log_connect(const nev_mqtt_packet &p) {
  // The password itself never goes to the log file.
  NEV_LOG(3, ("%d %2x %d proto [%.*s] client_id [%.*s] will_topic [%.*s] will_msg [%.*s] "
              "user_name [%.*s] password [%s]",
              p.length, p.connect_flags, p.keep_alive, static_cast<int>(p.protocol_name.len), p.protocol_name.p,
              static_cast<int>(p.client_id.len), p.client_id.p, static_cast<int>(p.will_topic.len), p.will_topic.p,
              static_cast<int>(p.will_message.len), p.will_message.p, static_cast<int>(p.user_name.len), p.user_name.p,
              p.password.len > 0 ? "***" : ""));
}

void deliver_received(nev_connection *conn, nev_unlock_fn unlock) {
  nev_mqtt_proto_data *state = nev_mqtt_state(conn);
  double now = monotonic_seconds();
  for (;;) {
    if (closing(conn) || manager_stopping(conn)) return;
    nev_mqtt_packet pkt;
    int n = nev_mqtt_parse_packet(&conn->recv_buf, &pkt);
    if (n == NEV_MQTT_MALFORMED) {
      conn->flags |= NEV_CONN_CLOSE_NOW;
      return;
    }
    if (n == NEV_MQTT_INCOMPLETE) {
      if (conn->recv_limit != 0 && conn->recv_buf.len >= conn->recv_limit) {
        NEV_LOG(0, ("%p recv buffer (%lu bytes) exceeds the limit %lu bytes, and not drained, closing",
                    static_cast<void *>(conn), static_cast<unsigned long>(conn->recv_buf.len),
                    static_cast<unsigned long>(conn->recv_limit)));
        conn->flags |= NEV_CONN_CLOSE_NOW;
      }
      return;
    }
    if (state != nullptr) {
      // A server reads CONNECT first (MQTT 3.1.1 3.1): nothing else may reach
      // the application before a session exists.
      if (state->accepted && !state->connect_seen && pkt.type != NEV_MQTT_CONNECT) {
        conn->flags |= NEV_CONN_CLOSE_NOW;
        return;
      }
      state->last_recv_time = now;
      if (pkt.type == NEV_MQTT_CONNECT) {
        state->peer_keep_alive = pkt.keep_alive;
        state->connect_seen = 1;
      }
    }
    if (pkt.type == NEV_MQTT_CONNECT) log_connect(pkt);
    if (pkt.type == NEV_MQTT_PINGRESP) {
      NEV_LOG(3, ("Recv PINGRESP"));
      conn->flags &= ~NEV_CONN_MQTT_PING_PENDING;
    }
    if (conn->user_handler != nullptr) {
      // A publisher's pipelined packets: its subscribers' threads write their
      // copies in a few system calls, rather than this one a call per copy.
      tl_more_received = conn->recv_buf.len > static_cast<size_t>(n);
      conn->user_handler(conn, NEV_EVENT_MQTT_BASE + pkt.type, &pkt, unlock);
      tl_more_received = false;
    }
    nev_buffer_drop_front(&conn->recv_buf, static_cast<size_t>(n));
  }
}

// Our side's keep-alive (after we sent CONNECT): PINGREQ after a whole period
// without sending, close when another passes without the PINGRESP.
__attribute__((noinline)) void keep_alive_client(nev_connection *conn, nev_mqtt_proto_data *state, double now) {
  double last;
  {
    nev_mutex_guard guard(conn->mutex);
    last = state->last_control_time;
  }
  if (last <= 0 || now - last <= state->keep_alive) return;
  if (!(conn->flags & NEV_CONN_MQTT_PING_PENDING)) {
    NEV_LOG(3, ("Send PINGREQ"));
    conn->flags |= NEV_CONN_MQTT_PING_PENDING;
    nev_mqtt_send_pingreq(conn);
  } else {
    NEV_LOG(3, ("Ping timeout"));
    conn->flags |= NEV_CONN_CLOSE_NOW;
  }
}

// The peer's keep-alive (after it sent CONNECT): a client silent for one and a
// half periods is gone (MQTT 3.1.1 3.1.2.10); 0 means no keep-alive.
__attribute__((noinline)) void keep_alive_server(nev_connection *conn, nev_mqtt_proto_data *state, double now) {
  if (now - state->last_recv_time <= 1.5 * state->peer_keep_alive) return;
  NEV_LOG(3, ("%p keep-alive of %us expired, closing", static_cast<void *>(conn),
              static_cast<unsigned>(state->peer_keep_alive)));
  conn->flags |= NEV_CONN_CLOSE_NOW;
}

// A connection that never sends CONNECT holds a thread and a descriptor for
// nothing (MQTT 3.1.1 3.1.4 lets the server close it after a reasonable time).
__attribute__((noinline)) void connect_time_out(nev_connection *conn, nev_mqtt_proto_data *state, double now) {
  if (now - state->accept_time <= state->connect_timeout) return;
  NEV_LOG(3, ("%p no CONNECT within %.0fs, closing", static_cast<void *>(conn), state->connect_timeout));
  conn->flags |= NEV_CONN_CLOSE_NOW;
}

// Past a check's moment by this much, its comparison surely holds: a round
// woken a hair early would otherwise ask for another at once.
constexpr double CHECK_MARGIN = 0.01;

// Tells the engine when the next of the checks above falls due, so that a
// quiet connection's thread sleeps until then rather than coming round every
// second. Sends (other threads' included) and receipts only move the moments
// later, and a round that comes early just declares them again.
void declare_next_check(nev_connection *conn, nev_mqtt_proto_data *state, double now) {
  double due = NEV_POLL_NOTHING_DUE;
  if (state->accepted && !state->connect_seen && state->connect_timeout > 0)
    due = std::min(due, state->accept_time + state->connect_timeout);
  if (state->keep_alive != 0) {
    double last;
    {
      nev_mutex_guard guard(conn->mutex);
      last = state->last_control_time;
    }
    if (last <= 0) return;  // nothing sent yet: keep the rounds of every second
    due = std::min(due, last + state->keep_alive);
  }
  if (state->peer_keep_alive != 0) due = std::min(due, state->last_recv_time + 1.5 * state->peer_keep_alive);
  nev_poll_due_at(conn, due < NEV_POLL_NOTHING_DUE ? nev_now() + (due - now) + CHECK_MARGIN : NEV_POLL_NOTHING_DUE);
}

// Runs on every poll round; the checks that may log or send are out of line,
// so that their frames are taken only when they run.
void keep_alive(nev_connection *conn) {
  nev_mqtt_proto_data *state = nev_mqtt_state(conn);
  if (state == nullptr || closing(conn)) return;
  double now = monotonic_seconds();
  if (state->accepted && !state->connect_seen && state->connect_timeout > 0) connect_time_out(conn, state, now);
  if (state->keep_alive != 0) keep_alive_client(conn, state, now);
  if (state->peer_keep_alive != 0) keep_alive_server(conn, state, now);
  if (!closing(conn)) declare_next_check(conn, state, now);
}

}  // namespace

void nev_mqtt_attach(nev_connection *conn) {
  conn->proto_handler = nev_mqtt_protocol_handler;
  if (nev_mqtt_state(conn) != nullptr) return;
  auto *state = static_cast<nev_mqtt_proto_data *>(calloc(1, sizeof(nev_mqtt_proto_data)));
  if (state == nullptr) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  if (conn->proto_data != nullptr && conn->proto_data_destructor != nullptr)
    conn->proto_data_destructor(conn->proto_data);
  conn->proto_data = state;
  conn->proto_data_destructor = destroy_proto_data;
}

void nev_mqtt_set_connect_timeout(nev_connection *listener, double seconds) {
  if (nev_mqtt_proto_data *state = nev_mqtt_state(listener)) state->connect_timeout = seconds;
}

nev_mqtt_proto_data *nev_mqtt_state(nev_connection *conn) {
  if (conn == nullptr || conn->proto_data_destructor != destroy_proto_data) return nullptr;
  return static_cast<nev_mqtt_proto_data *>(conn->proto_data);
}

namespace {

// Every event but the poll round; out of line, so that its frame is not taken
// on the poll rounds of quiet connections.
__attribute__((noinline)) void handle_event(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock) {
  delivering_scope scope(conn->manager);
  if (event == NEV_EVENT_ACCEPT) {
    if (nev_mqtt_state(conn) == nullptr) nev_mqtt_attach(conn);
    // The listener may be gone before this connection's later events.
    nev_mqtt_proto_data *state = nev_mqtt_state(conn);
    if (state != nullptr && conn->listener != nullptr) state->listener_word = conn->listener->private_word;
    if (state != nullptr) {
      state->last_recv_time = monotonic_seconds();
      state->accepted = 1;
      state->accept_time = state->last_recv_time;
      nev_mqtt_proto_data *listening = conn->listener != nullptr ? nev_mqtt_state(conn->listener) : nullptr;
      if (listening != nullptr) state->connect_timeout = listening->connect_timeout;
    }
  }
  if (conn->user_handler != nullptr && !manager_stopping(conn)) conn->user_handler(conn, event, event_data, unlock);
  // After ACCEPT the connection may already belong to its own thread.
  if (event == NEV_EVENT_RECV) deliver_received(conn, unlock);
}

}  // namespace

void nev_mqtt_protocol_handler(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock) {
  if (event != NEV_EVENT_POLL) {
    handle_event(conn, event, event_data, unlock);
    return;
  }
  // Every round of a connection's thread comes here, those a quiet
  // connection's deadlines bring included: this path stays on the stack page
  // its idle loop already uses.
  delivering_scope scope(conn->manager);
  if (conn->user_handler != nullptr && !manager_stopping(conn)) conn->user_handler(conn, event, event_data, unlock);
  keep_alive(conn);
}

// ---- Senders ----

int nev_mqtt_write_header(nev_connection *conn, int type, unsigned flags, uint32_t remaining) {
  uint8_t out[5];
  size_t n = nev_mqtt_encode_length(remaining, out + 1);
  if (n == 0) return 0;
  out[0] = static_cast<uint8_t>((type << 4) | (flags & 0x0f));
  nev_mutex_guard guard(conn->mutex);
  if (nev_buffer_append(&conn->send_buf, out, n + 1) != n + 1) return 0;
  conn->last_io_time = static_cast<int64_t>(nev_now());
  if (nev_mqtt_proto_data *state = nev_mqtt_state(conn)) state->last_control_time = monotonic_seconds();
  nev_connection_wake(conn);
  return 1;
}

int nev_mqtt_send_connect(nev_connection *conn, const char *client_id, nev_mqtt_connect_options *opts) {
  nev_slice id = nev_slice_from_cstr(client_id);
  nev_slice will_topic = nev_slice_from_cstr(opts->will_topic);
  nev_slice will_message = nev_slice_from_cstr(opts->will_message);
  nev_slice user = nev_slice_from_cstr(opts->user_name);
  nev_slice password = nev_slice_from_cstr(opts->password);
  if (opts->user_name != nullptr) opts->flags |= NEV_MQTT_USER_NAME;
  if (opts->password != nullptr) opts->flags |= NEV_MQTT_PASSWORD;
  if (opts->will_topic != nullptr && opts->will_message != nullptr) opts->flags |= NEV_MQTT_WILL;
  if (opts->keep_alive == 0) opts->keep_alive = 60;
  bool will = (opts->flags & NEV_MQTT_WILL) != 0;
  if (!text_fits(id) || !text_fits(will_topic) || !text_fits(will_message) || !text_fits(user) || !text_fits(password))
    return 0;

  size_t remaining = 12 + id.len;
  if (will) remaining += 4 + will_topic.len + will_message.len;
  if (opts->flags & NEV_MQTT_USER_NAME) remaining += 2 + user.len;
  if (opts->flags & NEV_MQTT_PASSWORD) remaining += 2 + password.len;
  {
    packet_writer w(conn, NEV_MQTT_CONNECT, 0, remaining);
    if (!w.ok()) return 0;
    w.text(nev_slice_from("MQTT", 4));
    w.u8(4);
    w.u8(opts->flags);
    w.u16(opts->keep_alive);
    w.text(id);
    if (will) {
      w.text(will_topic);
      w.text(will_message);
    }
    if (opts->flags & NEV_MQTT_USER_NAME) w.text(user);
    if (opts->flags & NEV_MQTT_PASSWORD) w.text(password);
  }
  if (nev_mqtt_proto_data *state = nev_mqtt_state(conn)) state->keep_alive = opts->keep_alive;
  return 1;
}

int nev_mqtt_send_connect_default(nev_connection *conn, const char *client_id) {
  nev_mqtt_connect_options opts{};
  return nev_mqtt_send_connect(conn, client_id, &opts);
}

int nev_mqtt_send_publish_slice(nev_connection *conn, nev_slice topic, uint16_t message_id, unsigned flags,
                                const void *payload, size_t payload_len) {
  if (!text_fits(topic)) return 0;
  bool with_id = ((flags >> 1) & 3) != 0;
  size_t remaining = 2 + topic.len + (with_id ? 2 : 0) + payload_len;
  packet_writer w(conn, NEV_MQTT_PUBLISH, flags, remaining);
  if (!w.ok()) return 0;
  w.text(topic);
  if (with_id) w.u16(message_id);
  w.bytes(payload, payload_len);
  return 1;
}

int nev_mqtt_send_publish(nev_connection *conn, const char *topic, uint16_t message_id, unsigned flags,
                          const void *payload, size_t payload_len) {
  return nev_mqtt_send_publish_slice(conn, nev_slice_from_cstr(topic), message_id, flags, payload, payload_len);
}

int nev_mqtt_send_subscribe(nev_connection *conn, const nev_mqtt_topic_filter *filters, size_t count,
                            uint16_t message_id) {
  size_t remaining = 2;
  for (size_t i = 0; i < count; i++) {
    nev_slice topic = nev_slice_from_cstr(filters[i].topic);
    if (!text_fits(topic)) return 0;
    remaining += 2 + topic.len + 1;
  }
  packet_writer w(conn, NEV_MQTT_SUBSCRIBE, 0x2, remaining);
  if (!w.ok()) return 0;
  w.u16(message_id);
  for (size_t i = 0; i < count; i++) {
    w.text(nev_slice_from_cstr(filters[i].topic));
    w.u8(filters[i].qos);
  }
  return 1;
}

int nev_mqtt_send_unsubscribe(nev_connection *conn, const char *const *topics, size_t count, uint16_t message_id) {
  size_t remaining = 2;
  for (size_t i = 0; i < count; i++) {
    nev_slice topic = nev_slice_from_cstr(topics[i]);
    if (!text_fits(topic)) return 0;
    remaining += 2 + topic.len;
  }
  packet_writer w(conn, NEV_MQTT_UNSUBSCRIBE, 0x2, remaining);
  if (!w.ok()) return 0;
  w.u16(message_id);
  for (size_t i = 0; i < count; i++) w.text(nev_slice_from_cstr(topics[i]));
  return 1;
}

int nev_mqtt_send_connack(nev_connection *conn, uint8_t return_code) {
  packet_writer w(conn, NEV_MQTT_CONNACK, 0, 2);
  if (!w.ok()) return 0;
  w.u8(0);
  w.u8(return_code);
  return 1;
}

int nev_mqtt_send_puback(nev_connection *conn, uint16_t message_id) {
  return send_id_packet(conn, NEV_MQTT_PUBACK, 0, message_id);
}

int nev_mqtt_send_pubrec(nev_connection *conn, uint16_t message_id) {
  return send_id_packet(conn, NEV_MQTT_PUBREC, 0, message_id);
}

int nev_mqtt_send_pubrel(nev_connection *conn, uint16_t message_id) {
  return send_id_packet(conn, NEV_MQTT_PUBREL, 0x2, message_id);
}

int nev_mqtt_send_pubcomp(nev_connection *conn, uint16_t message_id) {
  return send_id_packet(conn, NEV_MQTT_PUBCOMP, 0, message_id);
}

int nev_mqtt_send_suback(nev_connection *conn, const uint8_t *granted, size_t count, uint16_t message_id) {
  packet_writer w(conn, NEV_MQTT_SUBACK, 0, 2 + count);
  if (!w.ok()) return 0;
  w.u16(message_id);
  w.bytes(granted, count);
  return 1;
}

int nev_mqtt_send_unsuback(nev_connection *conn, uint16_t message_id) {
  return send_id_packet(conn, NEV_MQTT_UNSUBACK, 0, message_id);
}

int nev_mqtt_send_pingreq(nev_connection *conn) { return send_empty_packet(conn, NEV_MQTT_PINGREQ); }

int nev_mqtt_send_pingresp(nev_connection *conn) { return send_empty_packet(conn, NEV_MQTT_PINGRESP); }

int nev_mqtt_acknowledge(nev_connection *conn, int qos, uint16_t message_id) {
  if (qos == 1) return nev_mqtt_send_puback(conn, message_id);
  if (qos == 2) return nev_mqtt_send_pubrec(conn, message_id);
  return 0;
}

int nev_mqtt_acknowledge_all(nev_connection *conn, const nev_mqtt_ack *acks, size_t count) {
  constexpr size_t kAckBytes = 4;  // PUBACK and PUBREC: type, length 2, packet id
  size_t packets = 0;
  for (size_t i = 0; i < count; i++) packets += acks[i].qos == 1 || acks[i].qos == 2;
  if (packets == 0) return 1;
  packet_writer w(conn, packets * kAckBytes);
  if (!w.ok()) return 0;
  for (size_t i = 0; i < count; i++) {
    if (acks[i].qos != 1 && acks[i].qos != 2) continue;
    w.u8(static_cast<uint8_t>(acks[i].qos == 1 ? NEV_MQTT_PUBACK << 4 : NEV_MQTT_PUBREC << 4));
    w.u8(2);
    w.u16(acks[i].message_id);
  }
  return 1;
}

int nev_mqtt_acknowledge_publish(nev_connection *conn, const nev_mqtt_packet *pkt) {
  return nev_mqtt_acknowledge(conn, pkt->qos, pkt->message_id);
}

int nev_mqtt_send_disconnect(nev_connection *conn) { return send_empty_packet(conn, NEV_MQTT_DISCONNECT); }
