// The MQTT 3.1.1 layer: a parser that turns the bytes of a connection's
// receive buffer into one nev_mqtt_packet per control packet, a protocol
// handler that raises NEV_EVENT_MQTT_BASE + packet type to the connection's
// user handler and keeps connections alive, one sender per control packet,
// and topic-filter matching with "+" and "#".
//
// Both sides use it: the broker core (nev_mqtt_broker.h) and the broker
// application on accepted connections, and the application's own outgoing
// client connections.
//
// Ownership: nev_mqtt_attach gives the connection a nev_mqtt_proto_data that
// the engine frees with the connection. Every slice of a nev_mqtt_packet
// points into the receive buffer and is valid only during the event.
//
// Threading: the protocol handler runs on the connection's polling thread and
// calls the user handler directly, without the manager's lock and with a
// NULL unlock. Senders may be called from any thread: each holds the
// connection mutex from the first byte of a packet to the last, so packets of
// different threads never interleave. A sender on another thread than the
// connection's poll loop writes its packet straight to a plain TCP socket when
// nothing else is queued and packets are not arriving in a burst; otherwise
// the packet is queued and the connection's poller is woken. Bytes written
// straight raise no NEV_EVENT_SEND. This relies on the engine closing the
// socket under the send buffer's mutex.
// Parsing and matching are pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nev_core.h"
#include "nev_str.h"

// ---- Packet types and events ----
constexpr int NEV_MQTT_CONNECT = 1;
constexpr int NEV_MQTT_CONNACK = 2;
constexpr int NEV_MQTT_PUBLISH = 3;
constexpr int NEV_MQTT_PUBACK = 4;
constexpr int NEV_MQTT_PUBREC = 5;
constexpr int NEV_MQTT_PUBREL = 6;
constexpr int NEV_MQTT_PUBCOMP = 7;
constexpr int NEV_MQTT_SUBSCRIBE = 8;
constexpr int NEV_MQTT_SUBACK = 9;
constexpr int NEV_MQTT_UNSUBSCRIBE = 10;
constexpr int NEV_MQTT_UNSUBACK = 11;
constexpr int NEV_MQTT_PINGREQ = 12;
constexpr int NEV_MQTT_PINGRESP = 13;
constexpr int NEV_MQTT_DISCONNECT = 14;

// Event number = NEV_EVENT_MQTT_BASE + packet type; data: nev_mqtt_packet *.
// Types 0 and 15 are malformed and never arrive.
constexpr int NEV_EVENT_MQTT_BASE = 200;
constexpr int NEV_EVENT_MQTT_CONNECT = 201;
constexpr int NEV_EVENT_MQTT_CONNACK = 202;
constexpr int NEV_EVENT_MQTT_PUBLISH = 203;
constexpr int NEV_EVENT_MQTT_PUBACK = 204;
constexpr int NEV_EVENT_MQTT_PUBREC = 205;
constexpr int NEV_EVENT_MQTT_PUBREL = 206;
constexpr int NEV_EVENT_MQTT_PUBCOMP = 207;
constexpr int NEV_EVENT_MQTT_SUBSCRIBE = 208;
constexpr int NEV_EVENT_MQTT_SUBACK = 209;
constexpr int NEV_EVENT_MQTT_UNSUBSCRIBE = 210;
constexpr int NEV_EVENT_MQTT_UNSUBACK = 211;
constexpr int NEV_EVENT_MQTT_PINGREQ = 212;
constexpr int NEV_EVENT_MQTT_PINGRESP = 213;
constexpr int NEV_EVENT_MQTT_DISCONNECT = 214;

// CONNECT flags.
constexpr uint8_t NEV_MQTT_CLEAN_SESSION = 0x02;
constexpr uint8_t NEV_MQTT_WILL = 0x04;
constexpr uint8_t NEV_MQTT_WILL_QOS_MASK = 0x18;
constexpr uint8_t NEV_MQTT_WILL_RETAIN = 0x20;
constexpr uint8_t NEV_MQTT_PASSWORD = 0x40;
constexpr uint8_t NEV_MQTT_USER_NAME = 0x80;

// PUBLISH flags of nev_mqtt_send_publish: bits 1-2 QoS, bit 0 retain, bit 3 dup.
constexpr unsigned NEV_MQTT_RETAIN = 0x1;
constexpr unsigned NEV_MQTT_DUP = 0x8;
constexpr unsigned nev_mqtt_qos_flags(unsigned qos) { return (qos & 3u) << 1; }

// CONNACK return codes.
constexpr uint8_t NEV_MQTT_CONNACK_ACCEPTED = 0;
constexpr uint8_t NEV_MQTT_CONNACK_BAD_PROTOCOL = 1;
constexpr uint8_t NEV_MQTT_CONNACK_BAD_CLIENT_ID = 2;
constexpr uint8_t NEV_MQTT_CONNACK_UNAVAILABLE = 3;

// Largest remaining length four length bytes can carry.
constexpr uint32_t NEV_MQTT_MAX_REMAINING_LENGTH = 268435455;

// ---- Records ----

// One parsed control packet. The parser fills only the fields of the packet's
// type; the others are zero when the protocol handler raises the event.
struct nev_mqtt_packet {
  int32_t type;             // 1 to 14
  int32_t qos;              // bits 1-2 of the first byte
  int32_t retain;           // bit 0 of the first byte
  int32_t length;           // whole packet: first byte, length bytes, remaining length
  nev_slice topic;          // PUBLISH
  nev_slice payload;        // PUBLISH: the message; (UN)SUBSCRIBE: entries after the id
  uint8_t return_code;      // CONNACK
  uint16_t message_id;      // PUBLISH (QoS > 0), acknowledgements, (UN)SUBSCRIBE, (UN)SUBACK
  uint8_t protocol_level;   // CONNECT
  uint8_t connect_flags;    // CONNECT
  uint16_t keep_alive;      // CONNECT, seconds
  nev_slice protocol_name;  // CONNECT
  nev_slice client_id;      // CONNECT
  nev_slice will_topic;     // CONNECT with NEV_MQTT_WILL
  nev_slice will_message;   // CONNECT with NEV_MQTT_WILL
  nev_slice user_name;      // CONNECT with NEV_MQTT_USER_NAME
  nev_slice password;       // CONNECT with NEV_MQTT_PASSWORD
};

// The caller's CONNECT settings. The caller sets clean session, will QoS and
// will retain in `flags`; the sender adds the will, user and password bits.
struct nev_mqtt_connect_options {
  uint8_t flags;
  uint16_t keep_alive;  // seconds; 0 becomes 60 (written back)
  const char *will_topic;
  const char *will_message;
  const char *user_name;
  const char *password;
};

// One entry of a SUBSCRIBE request and of a broker session's list.
struct nev_mqtt_topic_filter {
  const char *topic;  // zero-terminated; a broker session owns a heap copy
  uint8_t qos;
};

// The connection's MQTT state while MQTT is attached.
struct nev_mqtt_proto_data {
  uint16_t keep_alive;       // our keep-alive (set by nev_mqtt_send_connect); 0 none
  double last_control_time;  // nev_now of the last packet we queued; 0 none yet
  // Engine-private from here on.
  uint16_t peer_keep_alive;   // keep-alive of a CONNECT we received; 0 none
  double last_recv_time;      // nev_now of the last whole packet received
  void *listener_word;        // the listener's private word, kept at ACCEPT
  double last_write_through;  // monotonic time another thread last wrote to the socket
  double last_io_stamp;       // monotonic time last_io_time was last set by a sender
  // Called with release_arg when the connection is destroyed (the broker core
  // drops the session of a connection closed without NEV_EVENT_CLOSE).
  void (*release_hook)(void *release_arg);
  void *release_arg;
  // Accepted connections: the first packet must be CONNECT, and one that sends
  // none within connect_timeout seconds (the listener's, taken at ACCEPT; 0
  // none) is closed.
  uint8_t accepted;
  uint8_t connect_seen;
  double accept_time;  // monotonic
  double connect_timeout;
  // Publications queued in the send buffer since it was last empty (a sender
  // that finds only its own packet there starts again at 1).
  uint32_t queued_publications;
};

// ---- Attaching and the protocol handler ----

// Installs nev_mqtt_protocol_handler with a zeroed nev_mqtt_proto_data
// (nothing happens when MQTT is already attached).
void nev_mqtt_attach(nev_connection *conn);
// The seconds a connection the listener accepts has to send its CONNECT (0,
// the default: no limit). Call after nev_mqtt_attach(listener).
void nev_mqtt_set_connect_timeout(nev_connection *listener, double seconds);
// The connection's MQTT state, NULL when MQTT is not attached.
nev_mqtt_proto_data *nev_mqtt_state(nev_connection *conn);
// Passes every event to the user handler and parses NEV_EVENT_RECV into MQTT
// events; on NEV_EVENT_POLL sends PINGREQ on connections that sent CONNECT
// and closes peers silent for 1.5 times the keep-alive of their CONNECT.
// A malformed packet, and on an accepted connection any packet before CONNECT
// or no CONNECT within its connect_timeout, set NEV_CONN_CLOSE_NOW.
void nev_mqtt_protocol_handler(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock);

// ---- Parsing (pure) ----

constexpr int NEV_MQTT_INCOMPLETE = -1;
constexpr int NEV_MQTT_MALFORMED = -2;

// Parses the first packet of the bytes. Returns its whole length, -1 when more
// bytes are needed, -2 when it is malformed: length bytes beyond four, types 0
// and 15, fixed-header flags other than 0010 (PUBREL, SUBSCRIBE, UNSUBSCRIBE)
// or 0000 (all other types but PUBLISH), fields that overrun the packet, a
// CONNECT with bytes after its last field, a protocol name other than "MQTT"
// at level 4 or "MQIsdp" at level 3 (or neither at another level), the
// reserved CONNECT flag, will QoS or retain without a will, a will QoS of 3, a
// password without a user name, a PUBLISH with QoS 3, a (UN)SUBSCRIBE without
// entries, with a partial entry or (SUBSCRIBE) asking a QoS above 2,
// acknowledgements shorter than 2 bytes; a client id, user name, topic or
// filter that is not well-formed UTF-8 or holds U+0000 or U+D800-U+DFFF; an
// empty topic name or will topic, or one with '+' or '#'; an empty filter or
// one with '+' or '#' that does not fill a level ('#' only the last).
int nev_mqtt_parse(const void *bytes, size_t len, nev_mqtt_packet *pkt);
// The same on a buffer (the caller keeps the buffer unchanged meanwhile).
int nev_mqtt_parse_packet(const nev_buffer *buf, nev_mqtt_packet *pkt);

// Iterates the entries of a SUBSCRIBE payload: returns the position after the
// entry, or -1 at or past the end or when the entry does not fit.
long nev_mqtt_next_subscribe_topic(const nev_mqtt_packet *pkt, nev_slice *topic, uint8_t *qos, long position);
// The same for UNSUBSCRIBE (entries without a QoS byte).
long nev_mqtt_next_unsubscribe_topic(const nev_mqtt_packet *pkt, nev_slice *topic, long position);

// Writes the remaining length in 7-bit groups; returns the bytes used (1-4),
// 0 above NEV_MQTT_MAX_REMAINING_LENGTH.
size_t nev_mqtt_encode_length(uint32_t remaining, uint8_t out[4]);

// ---- Topic matching (pure) ----

// 1 when the topic filter matches the topic name, else 0. "+" matches one
// level, also an empty one; "#" as the last level matches the parent and
// everything below; a wildcard at the first level does not match a topic that
// begins with "$"; an empty filter never matches.
int nev_mqtt_topic_match(nev_slice filter, nev_slice topic);
// The same with a zero-terminated filter (NULL or empty never matches).
int nev_mqtt_topic_match_cstr(const char *filter, nev_slice topic);

// ---- Senders ----
// Each appends one whole packet to the send buffer (sent at the next poll
// step) and stamps the last-control time. Texts are zero-terminated and at
// most 65,535 bytes; longer texts and packets over the remaining-length limit
// are the caller's error and are not sent (the function then returns 0).
// Senders return 1 when the packet was queued.

// Appends a fixed header: (type << 4) | flags and the remaining length. A
// caller that appends the body itself holds conn->mutex across both.
int nev_mqtt_write_header(nev_connection *conn, int type, unsigned flags, uint32_t remaining);
int nev_mqtt_send_connect(nev_connection *conn, const char *client_id, nev_mqtt_connect_options *opts);
int nev_mqtt_send_connect_default(nev_connection *conn, const char *client_id);
int nev_mqtt_send_publish(nev_connection *conn, const char *topic, uint16_t message_id, unsigned flags,
                          const void *payload, size_t payload_len);
// The same with the topic as a slice.
int nev_mqtt_send_publish_slice(nev_connection *conn, nev_slice topic, uint16_t message_id, unsigned flags,
                                const void *payload, size_t payload_len);
int nev_mqtt_send_subscribe(nev_connection *conn, const nev_mqtt_topic_filter *filters, size_t count,
                            uint16_t message_id);
int nev_mqtt_send_unsubscribe(nev_connection *conn, const char *const *topics, size_t count, uint16_t message_id);
int nev_mqtt_send_connack(nev_connection *conn, uint8_t return_code);
int nev_mqtt_send_puback(nev_connection *conn, uint16_t message_id);
int nev_mqtt_send_pubrec(nev_connection *conn, uint16_t message_id);
int nev_mqtt_send_pubrel(nev_connection *conn, uint16_t message_id);
int nev_mqtt_send_pubcomp(nev_connection *conn, uint16_t message_id);
int nev_mqtt_send_suback(nev_connection *conn, const uint8_t *granted, size_t count, uint16_t message_id);
int nev_mqtt_send_unsuback(nev_connection *conn, uint16_t message_id);
int nev_mqtt_send_pingreq(nev_connection *conn);
int nev_mqtt_send_pingresp(nev_connection *conn);
int nev_mqtt_send_disconnect(nev_connection *conn);
// The receiver's acknowledgement of a PUBLISH, on either side (MQTT 3.1.1
// 4.3): PUBACK at QoS 1, PUBREC at QoS 2, nothing at QoS 0. Returns what the
// sender returned, 0 at QoS 0.
int nev_mqtt_acknowledge_publish(nev_connection *conn, const nev_mqtt_packet *pkt);
// The same for a publication received earlier, by its QoS and packet id.
int nev_mqtt_acknowledge(nev_connection *conn, int qos, uint16_t message_id);
// The acknowledgements of several publications received earlier, in their
// order, written into the send buffer at once (one write to the socket rather
// than one per packet); QoS 0 entries are skipped. Returns 1, or 0 when the
// send buffer cannot take them (nothing is queued then).
struct nev_mqtt_ack {
  uint8_t qos;
  uint16_t message_id;
};
int nev_mqtt_acknowledge_all(nev_connection *conn, const nev_mqtt_ack *acks, size_t count);
