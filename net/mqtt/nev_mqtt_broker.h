// The engine's minimal MQTT 3.1.1 broker: one nev_broker per MQTT listener
// keeps a session per connected client with its subscriptions, answers
// CONNECT with CONNACK and SUBSCRIBE with SUBACK, removes the filters of an
// UNSUBSCRIBE, and forwards each PUBLISH once to every session with a
// matching subscription. It keeps no retained messages, no offline sessions,
// no wills and no delivery state. It also gives the protocol's replies
// (PUBACK, PUBREC, PUBREL, PUBCOMP, UNSUBACK, PINGRESP), so every host of the
// broker answers the same way: one function per packet type below does the
// protocol side of that packet, and nev_broker_on_event calls them. A host that
// adds work of its own (records, statistics, delivery state) does it in its own
// function for the packet type and then calls the broker's; SUBSCRIBE and
// UNSUBSCRIBE take a hook that runs between the change of the session and the
// reply.
//
// Binding: the broker core owns the private word of its listener and their
// connections. The broker's address is the MQTT listener's
// (nev_broker_bind_listener, before accepting); an accepted connection's is
// NULL until CONNECT and then holds its nev_broker_session, read with
// nev_broker_session_of.
//
// Ownership: the application owns the nev_broker record. A session lives from
// the CONNECT that opened it until its connection closes (NEV_EVENT_CLOSE, or
// the connection's destruction when the event is not delivered). Subscription
// filter texts are heap copies owned by the session.
//
// Threading: events of different connections arrive on different threads.
// The broker lock (a reader/writer lock) guards the session list and every
// session's subscription list: forwarding and walks hold it shared, so the
// publications of different connections fan out at the same time; opening,
// closing and changing sessions hold it exclusive. Packet-id counters change
// atomically under the shared lock. Whoever walks the sessions outside these
// functions holds it shared (and must not take it again meanwhile: it is not
// re-entrant). Lock order: broker lock, then a connection's mutex, then its
// send buffer's mutex. Nothing is logged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nev_mqtt.h"

constexpr size_t NEV_BROKER_MAX_SUBSCRIPTIONS = 512;

// Defaults of the per-connection bounds: the time to send CONNECT (for
// nev_mqtt_set_connect_timeout), and the queue bounds of nev_broker_setup.
constexpr double NEV_BROKER_CONNECT_TIMEOUT = 10;
constexpr uint32_t NEV_BROKER_MAX_QUEUED_MESSAGES = 1000;
constexpr size_t NEV_BROKER_MAX_QUEUED_BYTES = 8u << 20;
// A subscriber whose queue stays over its bound this long while QoS 1/2
// publications keep coming, or whose queue reaches this many times the byte
// bound, is closed.
constexpr double NEV_BROKER_BACKLOG_GRACE_SECONDS = 5;
constexpr size_t NEV_BROKER_BACKLOG_HARD_FACTOR = 4;

struct nev_broker_session;

struct nev_broker {
  nev_broker_session *sessions;  // newest first; NULL when empty
  void *user_data;               // the owner's; the engine does not read it
  pthread_rwlock_t *lock;
  // Set before the listener accepts; read without the lock.
  uint32_t max_queued_messages;  // publications queued to one subscriber; 0 no bound
  size_t max_queued_bytes;       // bytes queued to one subscriber; 0 no bound
};

struct nev_broker_session {
  nev_broker *broker;
  nev_broker_session *next;
  nev_broker_session **prev_link;  // the pointer that points to this session
  nev_connection *conn;
  size_t num_subscriptions;
  void *user_data;                       // the owner's; the engine does not use it
  nev_mqtt_topic_filter *subscriptions;  // heap array of heap-copied filters
  // Counted by forwarding (atomically), read by the owner at CLOSE: QoS 0
  // publications dropped because the queue was over its bound, and whether the
  // connection was closed for a QoS 1/2 backlog that stayed over it.
  uint64_t dropped_publications;
  uint8_t closed_for_backlog;
  // Engine-private from here on.
  size_t capacity;          // entries allocated in subscriptions
  uint16_t last_packet_id;  // the last id this session handed out
  double over_bound_since;  // monotonic time the queue was first found over its bound; 0 not over
};

// Empty list, the user data, a new lock (failure is fatal), default bounds.
void nev_broker_setup(nev_broker *broker, void *user_data);
// Frees the sessions still listed and the lock. Call only once no connection
// of the broker's listener can run any more (the manager's teardown returned
// 0); the record itself stays the caller's.
void nev_broker_teardown(nev_broker *broker);

// The broker's event entry, for every event of the listener and its
// connections (on the connection's thread): ACCEPT attaches MQTT when missing
// and clears the private word; each packet type goes to its function below,
// without hooks. Other events do nothing.
void nev_broker_on_event(nev_connection *conn, int event, void *event_data);

// ---- One function per packet type: the protocol side of a client's packet ----

// What a host adds between the broker's change of the session and its reply;
// arg is the host's.
typedef void (*nev_broker_hook)(nev_connection *conn, const nev_mqtt_packet *pkt, void *arg);

// CONNACK 0 and a new session; CONNACK 1 (protocol level) or 2 (client id) and
// close after sending; CONNACK 3 and no session when memory runs out; a second
// CONNECT closes.
void nev_broker_on_connect(nev_connection *conn, const nev_mqtt_packet *pkt);
// Without a session: close. Else PUBACK (QoS 1) or PUBREC (QoS 2), then
// nev_broker_forward_publish.
void nev_broker_on_publish(nev_connection *conn, const nev_mqtt_packet *pkt);
// As nev_broker_on_publish without the PUBACK/PUBREC: the host sends it
// (nev_mqtt_acknowledge) once it has stored the publication.
void nev_broker_on_publish_acknowledged_later(nev_connection *conn, const nev_mqtt_packet *pkt);
// The client acknowledges a publication the broker forwarded: PUBREC is
// answered with PUBREL; PUBACK and PUBCOMP end the delivery and need no
// answer (the broker keeps no delivery state; a host that does keeps it in its
// own function for these packets).
void nev_broker_on_pubrec(nev_connection *conn, const nev_mqtt_packet *pkt);
// The client releases a QoS 2 publication it sent: PUBCOMP.
void nev_broker_on_pubrel(nev_connection *conn, const nev_mqtt_packet *pkt);
// nev_broker_add_filters, then the hook (may be NULL), then the SUBACK; no
// hook and no SUBACK when the filters were refused (the connection closes).
void nev_broker_on_subscribe(nev_connection *conn, const nev_mqtt_packet *pkt, nev_broker_hook added, void *arg);
// nev_broker_unsubscribe, then the hook (may be NULL), then the UNSUBACK:
// nothing is forwarded for the filters once the client has it.
void nev_broker_on_unsubscribe(nev_connection *conn, const nev_mqtt_packet *pkt, nev_broker_hook removed, void *arg);
// PINGRESP.
void nev_broker_on_pingreq(nev_connection *conn);
// The client is done (MQTT 3.1.1 3.14.4): close once the queued bytes are sent.
void nev_broker_on_disconnect(nev_connection *conn);
// NEV_EVENT_CLOSE: frees the connection's session.
void nev_broker_on_close(nev_connection *conn);

// The CONNACK return code the broker gives this CONNECT: 1 for a protocol
// level other than 3 (3.1) or 4 (3.1.1), 2 for an empty client id without
// clean session (or any empty id at level 3), else 0. An application may ask
// before it does its own bookkeeping.
uint8_t nev_broker_connect_return_code(const nev_mqtt_packet *pkt);

// The first session (after == NULL) or the one after `after`; NULL at the end.
// Takes no lock: the caller holds the broker lock for the whole walk.
nev_broker_session *nev_broker_next_session(nev_broker *broker, nev_broker_session *after);

// A new session for the connection, linked at the head and stored in the
// connection's private word; NULL when memory runs out. No CONNACK is sent.
nev_broker_session *nev_broker_open_session(nev_broker *broker, nev_connection *conn);
// Unlinks the session, clears its connection's private word and frees it.
void nev_broker_close_session(nev_broker_session *session);
// Binds the MQTT listener to the broker, before it accepts: its connections
// open their sessions there.
void nev_broker_bind_listener(nev_connection *listener, nev_broker *broker);
// The connection's session: NULL before its CONNECT was accepted and once the
// session was closed. The one way to read it (not the private word).
nev_broker_session *nev_broker_session_of(nev_connection *conn);

// The two steps of a SUBSCRIBE (nev_broker_on_subscribe runs both, with the
// host's hook in between: matching starts before the SUBACK).
// nev_broker_add_filters adds (or, for an equal filter, replaces) the filters
// in the connection's session and returns 1; it returns 0 and closes the
// connection instead when it has no session, when the request has no
// complete entry, asks a QoS above 2, has bytes after its last entry, has
// more than NEV_BROKER_MAX_SUBSCRIPTIONS entries (checked before anything
// else) or would take the session over that many filters.
// nev_broker_send_suback answers SUBACK with the granted QoS.
int nev_broker_add_filters(nev_connection *conn, const nev_mqtt_packet *pkt);
void nev_broker_send_suback(nev_connection *conn, const nev_mqtt_packet *pkt);
// Removes every filter of an UNSUBSCRIBE from the connection's session
// (filters the session does not hold are ignored); no UNSUBACK (see
// nev_broker_on_unsubscribe).
void nev_broker_unsubscribe(nev_connection *conn, const nev_mqtt_packet *pkt);
// Sends the publication once to every session with a matching filter, at the
// lower of the publication's QoS and the highest QoS among the session's
// matching filters, with a packet id of the receiving session. A session
// whose connection already queues max_queued_messages publications or
// max_queued_bytes bytes (and not only this one) is over its bound: a QoS 0
// copy is dropped and counted; a QoS 1/2 copy is still queued, but once the
// queue has stayed over the bound for NEV_BROKER_BACKLOG_GRACE_SECONDS, or
// holds NEV_BROKER_BACKLOG_HARD_FACTOR times the byte bound, the connection
// is closed instead (closed_for_backlog). Returns the number of sessions it
// was sent to.
size_t nev_broker_forward_publish(nev_broker *broker, const nev_mqtt_packet *pkt);

// The session's next packet id for a publication it receives (1 to 65535,
// then 1 again). The caller holds the broker lock (shared is enough).
uint16_t nev_broker_session_next_packet_id(nev_broker_session *session);
