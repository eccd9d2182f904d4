// The event manager, the connection record, event dispatch, timers and the
// thread per accepted connection.
//
// Model: one thread polls a manager and runs every handler of that manager's
// connections. A listener switched to threads (nev_listener_enable_threads)
// hands each accepted connection to a thread of its own, which polls a
// private child manager holding just that connection. Child managers share
// their parent's reader/writer lock: user handlers run with it held shared,
// thread start/end and the stop request take it exclusively.
//
// Ownership: the host allocates the nev_manager record and frees it only when
// nev_manager_teardown returned 0. Connections belong to the engine: they are
// created by listen/dial/accept (nev_io.h) and destroyed by the engine after
// NEV_EVENT_CLOSE; hosts ask for that by setting NEV_CONN_CLOSE_NOW (or
// NEV_CONN_CLOSE_AFTER_SEND). A connection is never destroyed inside one of
// its own handler calls.
//
// Threading: everything runs on the manager's polling thread, except
// nev_enqueue*, nev_relay_received and the buffer operations (any thread: the
// buffers carry their own mutexes), nev_connection_send_backlog,
// nev_manager_request_stop (any thread that does not hold the dispatch lock
// shared), nev_manager_wake and nev_control_broadcast (any thread).
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "nev_base.h"
#include "nev_buffer.h"

struct nev_connection;
struct nev_manager;
struct nev_netif;
struct nev_netif_ops;
struct nev_tls_state;
struct nev_manager_state;

// A socket descriptor; NEV_INVALID_SOCKET when there is none.
typedef int nev_sock_t;
constexpr nev_sock_t NEV_INVALID_SOCKET = -1;

// ---- Events ----
// Engine events; protocol layers add HTTP 100-102, SSI 105-106, WebSocket
// 111-114 and MQTT 200 + packet type in their own headers.
constexpr int NEV_EVENT_POLL = 0;     // data: int64_t *, engine clock in whole seconds
constexpr int NEV_EVENT_ACCEPT = 1;   // data: sockaddr_in *, the peer
constexpr int NEV_EVENT_CONNECT = 2;  // data: int *, 0 or an error (-1: name not found)
constexpr int NEV_EVENT_RECV = 3;     // data: int *, bytes just appended to recv_buf
constexpr int NEV_EVENT_SEND = 4;     // data: int *, bytes just written (< 0: failed)
constexpr int NEV_EVENT_CLOSE = 5;    // data: NULL
constexpr int NEV_EVENT_TIMER = 6;    // data: double *, the timer time that fired

// ---- Connection flags ----
constexpr uint32_t NEV_CONN_LISTENING = 0x1;
constexpr uint32_t NEV_CONN_UDP = 0x2;
constexpr uint32_t NEV_CONN_RESOLVING = 0x4;
constexpr uint32_t NEV_CONN_CONNECTING = 0x8;
constexpr uint32_t NEV_CONN_TLS = 0x10;
constexpr uint32_t NEV_CONN_TLS_READY = 0x20;
constexpr uint32_t NEV_CONN_TLS_WANT_READ = 0x40;
constexpr uint32_t NEV_CONN_TLS_WANT_WRITE = 0x80;
constexpr uint32_t NEV_CONN_WEBSOCKET = 0x100;
constexpr uint32_t NEV_CONN_CLOSE_RETRY = 0x200;
constexpr uint32_t NEV_CONN_CLOSE_AFTER_SEND = 0x400;
constexpr uint32_t NEV_CONN_CLOSE_NOW = 0x800;
// One bit, two meanings by protocol.
constexpr uint32_t NEV_CONN_WS_RAW_FRAGMENTS = 0x1000;
constexpr uint32_t NEV_CONN_MQTT_PING_PENDING = 0x1000;
constexpr uint32_t NEV_CONN_DROP_CHUNK = 0x2000;
constexpr uint32_t NEV_CONN_BROADCAST = 0x4000;
constexpr uint32_t NEV_CONN_USER_1 = 0x100000;
constexpr uint32_t NEV_CONN_USER_2 = 0x200000;
constexpr uint32_t NEV_CONN_USER_3 = 0x400000;
constexpr uint32_t NEV_CONN_USER_4 = 0x800000;
constexpr uint32_t NEV_CONN_USER_5 = 0x1000000;
constexpr uint32_t NEV_CONN_USER_6 = 0x2000000;
// The only flags a caller may give when a connection is created.
constexpr uint32_t NEV_CONN_CREATE_MASK = 0x3f05000;
// The only flags whose changes by a user handler are kept. NEV_CONN_TLS is
// among them, but only as a set: nev_dial_tls from the CONNECT event switches
// a dialled connection to TLS, and a handler that clears it is overruled.
constexpr uint32_t NEV_CONN_HANDLER_MASK = 0x3f03d10;

// ---- Handlers ----
// Handlers must not throw. The engine catches nothing a handler lets out: the
// exception would unwind through the poll loop past the connection's
// bookkeeping and end the polling thread. A handler written in C++ whose
// callees may throw runs its body inside nev_handler_boundary (or its
// folder's wrapper built on nev_report_handler_exception).
// Releases the manager's lock early from inside a user handler; calling it
// twice, or after the handler returned, does nothing.
typedef void (*nev_unlock_fn)(nev_connection *conn);
// unlock is NULL when the handler runs without the lock.
typedef void (*nev_event_handler)(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock);

// Reports an exception that reached a handler's boundary, one line at level 0
// naming where, the connection and what (NULL when the exception was not a
// std::exception), and asks for the connection's close (NEV_CONN_CLOSE_NOW).
void nev_report_handler_exception(nev_connection *conn, const char *where, const char *what) noexcept;

typedef void (*nev_handler_exception_reporter)(nev_connection *conn, const char *where, const char *what) noexcept;

// Runs body() and keeps any exception it throws inside, handed to report (a
// folder with a log of its own passes its reporter, which must also ask for
// the close).
template <class Body>
void nev_handler_boundary(nev_connection *conn, const char *where, Body &&body,
                          nev_handler_exception_reporter report = nev_report_handler_exception) noexcept {
  try {
    body();
  } catch (const std::exception &e) {
    report(conn, where, e.what());
  } catch (...) {
    report(conn, where, nullptr);
  }
}

// ---- Defaults of accepted connections (settable per listener) ----
// Receive limit of listeners (and so of their accepted connections), so one
// peer cannot fill memory; outgoing connections stay unlimited.
constexpr size_t NEV_DEFAULT_RECV_LIMIT = 8u * 1024 * 1024;
// A TLS handshake not finished by then closes the connection.
constexpr int NEV_DEFAULT_HANDSHAKE_TIMEOUT_MS = 30 * 1000;
// An accepted connection without any read, write or queued send for this long
// is closed.
constexpr int NEV_DEFAULT_IDLE_TIMEOUT_MS = 3600 * 1000;
// Stack of a connection thread.
constexpr size_t NEV_CONNECTION_THREAD_STACK = 256 * 1024;
// How long a top manager's teardown waits for its connection threads.
constexpr int NEV_DEFAULT_TEARDOWN_WAIT_MS = 4000;

// ---- Connection cap ----
// An accepted connection holds its socket, the wake-up descriptor of its
// thread's manager and, on HTTP, the file it last sent, kept open for the next
// request on the connection.
constexpr long long NEV_DESCRIPTORS_PER_CONNECTION = 3;
// Descriptors kept for everything else (files being served, databases, logs,
// outgoing connections): a quarter of the limit, never fewer than 64.
constexpr long long nev_descriptor_reserve(long long nofile) { return nofile / 4 > 64 ? nofile / 4 : 64; }
// The default connection cap under a descriptor limit of nofile; at least 1.
constexpr int nev_connection_cap_for(long long nofile) {
  long long cap = (nofile - nev_descriptor_reserve(nofile)) / NEV_DESCRIPTORS_PER_CONNECTION;
  return cap < 1 ? 1 : cap > 0x7fffffff ? 0x7fffffff : static_cast<int>(cap);
}
// How long a listener whose accept found no free descriptor waits before it
// accepts again; its pending peers are closed at once in the meantime.
constexpr int NEV_ACCEPT_BACKOFF_MS = 100;

// ---- Records ----

// One network interface of a manager: the socket interface (nev_socket.h).
struct nev_netif {
  nev_manager *manager;
  void *priv;  // the interface's own state
  const nev_netif_ops *ops;
};

struct nev_manager {
  nev_connection *connections;  // head of this manager's list
  char *hexdump_path;           // traffic trace file when set (host-owned text)
  nev_sock_t wake_fd;           // eventfd that ends the poll wait; NEV_INVALID_SOCKET when none
  void *user_data;              // the owner's
  int num_ifaces;
  int num_events;  // events other than NEV_EVENT_POLL dispatched here
  nev_netif **ifaces;
  char *nameserver;        // owned copy, or NULL
  nev_manager *parent;     // set on the private manager of a connection thread
  pthread_rwlock_t *lock;  // dispatch lock; a child holds its parent's
  int num_children;        // running connection threads (under the lock, exclusive)
  int stop_flag;           // 1 after nev_manager_request_stop (under the lock, exclusive)
  // Engine-private from here on.
  int teardown_wait_ms;  // settable after setup; NEV_DEFAULT_TEARDOWN_WAIT_MS
  // Accepted TCP connections alive at once on this manager's listeners (their
  // threads included); beyond it new ones are closed at once. Settable after
  // setup; by default nev_connection_cap_for(the descriptor limit); < 1 none.
  int max_connections;
  int open_connections;  // accepted TCP connections alive (atomic builtins)
  // Where messages for the operator go (connections refused, descriptors
  // short), at most one of each kind a second, on the polling thread.
  // Settable after setup; NULL: the engine log at level 0.
  void (*notice)(nev_manager *mgr, const char *text);
  nev_manager_state *state;
};

struct nev_connection {
  nev_connection *next;
  nev_connection *prev;
  nev_connection *listener;  // listener of an accepted connection
  nev_manager *manager;
  nev_sock_t sock;
  int connect_error;
  sockaddr_in peer;   // remote address; the bound address of a listener
  size_t recv_limit;  // most bytes recv_buf may hold
  nev_buffer recv_buf;
  nev_buffer send_buf;
  int64_t last_io_time;             // engine-clock seconds of the last read, write or queued send
  double timer;                     // engine-clock time of NEV_EVENT_TIMER; 0 = none
  nev_event_handler proto_handler;  // protocol layer; sees every event first
  // The untyped slots, each with one owner. Nobody else writes a slot; a
  // reader outside its owner goes through the owner's typed accessor.
  //   proto_data    the attached protocol layer (nev_mqtt_state, nev_http's
  //                 and nev_ws's state); freed by proto_data_destructor when
  //                 the connection is destroyed.
  //   user_data     the host whose user_handler this is (an accepted
  //                 connection starts with its listener's); the engine
  //                 never reads it.
  //   private_word  the layer that binds the connection to a service above
  //                 the engine: the MQTT broker core (the nev_broker on its
  //                 listener, the session on an accepted connection: read it
  //                 with nev_broker_session_of) or a host's per-connection
  //                 session (osprey's WebSocket applications). On a resolving
  //                 connection the engine follows it to the dialled one.
  //   host_word     the host's second word (starling: the connection's
  //                 credentials); the engine never reads it.
  //   reserved      nobody's: kept unused for the record's layout.
  void *proto_data;
  void (*proto_data_destructor)(void *proto_data);
  nev_event_handler user_handler;
  void *user_data;
  void *reserved;
  void *private_word;
  void *host_word;
  nev_netif *iface;
  uint32_t flags;
  nev_tls_state *tls;
  nev_event_handler saved_handler;  // threaded listener: the host's handler
  uint8_t lock_held;                // a user handler holds the lock shared
  nev_mutex mutex;                  // held by writers of whole multi-part packets
  nev_mutex handover_mutex;         // only while an accepted connection moves to its thread
  // Engine-private from here on.
  int handshake_timeout_ms;   // listener setting copied to accepted connections; < 0 none
  int idle_timeout_ms;        // the same; < 0 none (0 on outgoing connections: none)
  double handshake_deadline;  // engine clock; 0 = none
  uint8_t peer_closed;        // the peer ended its side: stop watching for reads
  uint8_t close_deferred;     // nev_connection_close already deferred once
  uint8_t close_requested;    // nev_connection_request_close; atomic builtins only
  // During the first read of a poll round: the bytes it takes start with one
  // that was in the socket when the poll (which covered the change notices of
  // kept files) returned, the receive buffer being empty before.
  uint8_t poll_fresh;
  // The connection keeps a watched file: its manager polls the change
  // notices (nev_watch.h). Others (MQTT, applications' API calls) never wake
  // for a change of a file.
  uint8_t wants_notices;
  int poll_slot;              // 1 + index in the current poll set, 0 when none
  double accept_resume_time;  // a listener short of descriptors accepts again then
  // When the protocol layer next needs a poll round without I/O (engine
  // clock), as it said in the last one (nev_poll_due_at); 0: it said
  // nothing, so the rounds come at least once a second.
  double poll_due;
  nev_manager *counted_in;    // the manager whose open_connections includes this one
  // The socket is not read while more than this many bytes wait in send_buf
  // (0: always read), so a peer that sends without taking its replies is
  // held back by TCP instead of by our memory. Set by the protocol layer.
  size_t send_backlog_limit;
  // Who still needs this record: 1 for the connection itself while it is
  // open, and 1 for each accepted connection whose `listener` it is (atomic
  // builtins). Accepted connections run on their own threads and read their
  // listener's protocol data and handlers up to their own end, which may come
  // after the listener was closed (a server stopping with connections open):
  // the listener's socket goes at its close, its record with the last holder.
  int holders;
};

// When a connection silent for timeout_s seconds is due to be closed.
// last_io_time keeps whole seconds, so the activity may have happened up to a
// second after it: counting from the end of that second means a connection is
// never closed before it has really been silent for the whole timeout.
inline double nev_idle_deadline(const nev_connection *c, double timeout_s) {
  return static_cast<double>(c->last_io_time) + 1.0 + timeout_s;
}

struct nev_connection_options {
  void *user_data;
  uint32_t flags;           // only NEV_CONN_CREATE_MASK bits are kept
  const char **error_text;  // receives a static text on failure; may be NULL
  nev_netif *iface;         // NULL: the manager's first interface
};

// ---- Manager ----

// Fills the record: interfaces with their wake-up descriptor, the lock. The first
// call in the process also initialises TLS, ignores SIGPIPE and raises the
// descriptor limit to its hard limit.
void nev_manager_setup(nev_manager *mgr, void *user_data);

struct nev_manager_setup_options {
  const nev_netif_ops *main_iface;  // replaces the first interface when given
  int num_ifaces;                   // 0: the engine's table
  const nev_netif_ops *const *ifaces;
  const char *nameserver;
};
// As nev_manager_setup with the given interfaces; creates no lock.
void nev_manager_setup_with(nev_manager *mgr, void *user_data, const nev_manager_setup_options *opts);

// Polls every interface once, waiting at most timeout_ms. Returns the number
// of events (other than NEV_EVENT_POLL) dispatched during the call. With
// NEV_POLL_UNTIL_DUE it waits for I/O, a wake-up or the next deadline of a
// connection (its timer, time-outs, the poll round its layer asked for), and
// a second at most while a connection's layer declares no deadlines.
constexpr int NEV_POLL_UNTIL_DUE = -1;
int nev_manager_poll(nev_manager *mgr, int timeout_ms);
// Closes every connection and frees what the manager holds. A top manager
// waits up to teardown_wait_ms for its connection threads. Returns 1 when
// threads may still run (the caller must then keep the record), else 0.
int nev_manager_teardown(nev_manager *mgr);
// Sets the stop flag: connection threads below this manager close their
// connections (without NEV_EVENT_CLOSE) and end. Waits for user handlers that
// hold the lock shared, so it must not be called from one that has not
// released it.
void nev_manager_request_stop(nev_manager *mgr);
// Interrupts the manager's poll wait (any thread; a no-op without a wake-up
// descriptor).
void nev_manager_wake(nev_manager *mgr);

// Makes listener the listener of conn and holds its record until conn is
// destroyed.
void nev_connection_set_listener(nev_connection *conn, nev_connection *listener);
void nev_manager_attach(nev_manager *mgr, nev_connection *conn);
void nev_manager_detach(nev_connection *conn);
nev_connection *nev_next_connection(nev_manager *mgr, nev_connection *conn);

nev_netif *nev_iface_new(const nev_netif_ops *ops, nev_manager *mgr);
nev_netif *nev_iface_next_of(nev_manager *mgr, const nev_netif_ops *ops, nev_netif *after);

typedef void (*nev_broadcast_fn)(nev_connection *conn, int event, void *data, nev_unlock_fn unlock);
// Runs fn(conn, NEV_EVENT_POLL, copy of data, NULL) for every connection of the
// manager on its polling thread; waits until that thread took the request.
// Nothing happens without a wake-up descriptor, with NULL data or len > 8191.
// Never call it from the manager's polling thread, nor during its teardown.
void nev_control_broadcast(nev_manager *mgr, nev_broadcast_fn fn, const void *data, size_t len);

// ---- Connections ----

// The accept path. Takes one of the manager's connection slots: 0 when the cap
// is reached (the caller closes the socket and reports the refusal).
int nev_connection_slot_take(nev_manager *mgr);
// Gives a slot back; nev_connection_destroy does it for a connection whose
// counted_in is set.
void nev_connection_slot_give(nev_manager *mgr);
// Counts connections closed at once: errno_value 0 for the cap, else the
// accept error that found no descriptor free (EMFILE, ENFILE, ...; reported
// even with a count of 0). Reported through notice at most once a second per
// kind.
void nev_note_refused(nev_manager *mgr, int errno_value, int count);
// Opens the manager's spare descriptor unless it has one (nev_listen does it
// for TCP listeners).
void nev_keep_spare_descriptor(nev_manager *mgr);
// After an accept failed for want of descriptors: accepts and closes at most
// `most` pending connections of the listener with the manager's spare
// descriptor, so their peers learn at once; returns how many.
int nev_shed_pending(nev_connection *listener, int most);

// A new, unattached connection; NULL with "failed to create connection".
nev_connection *nev_connection_create(nev_manager *mgr, nev_event_handler handler, const nev_connection_options *opts);
// Create plus the interface's create step; NULL with "failed to init connection".
nev_connection *nev_connection_create_full(nev_manager *mgr, nev_event_handler handler,
                                           const nev_connection_options *opts);
// Wraps an existing socket (the connection takes it over) and attaches it.
nev_connection *nev_wrap_socket(nev_manager *mgr, nev_sock_t sock, nev_event_handler handler);
nev_connection *nev_wrap_socket_with_options(nev_manager *mgr, nev_sock_t sock, nev_event_handler handler,
                                             const nev_connection_options *opts);
// Closes now: a last read, TLS close notification, socket closed,
// NEV_EVENT_CLOSE (unless the parent manager stops), destroy. When the last
// read finds the receive buffer full, the close is deferred to the next poll
// step once. Never call it on a connection from inside its own handler: set
// NEV_CONN_CLOSE_NOW there.
void nev_connection_close(nev_connection *conn);
// Frees the connection (protocol data, TLS state, buffers, mutexes); with
// with_iface the interface's destroy step (socket close) runs first.
void nev_connection_destroy(nev_connection *conn, int with_iface);

// Calls handler (NULL: the protocol handler, else the user handler). A user
// handler runs with the manager's lock held shared and an unlock callback;
// only its changes to NEV_CONN_HANDLER_MASK flags are kept.
void nev_dispatch_event(nev_connection *conn, nev_event_handler handler, int event, void *event_data);
// The poll step of a connection: close marks, time-outs, buffered TLS data,
// its timer and NEV_EVENT_POLL. Returns 1 kept, 0 closed.
int nev_poll_connection(nev_connection *conn, double now);
// Called by a protocol layer during NEV_EVENT_POLL: its next time-out check
// is due at `when` (engine clock), or never with NEV_POLL_NOTHING_DUE, unless
// I/O, a wake-up or the connection's timer brings a round first. Several
// calls in one round keep the earliest. A round in which no layer calls it
// is followed by the next within a second, as handlers that count on the
// rounds expect; a layer that calls it answers for the handlers above it.
constexpr double NEV_POLL_NOTHING_DUE = 1e300;
void nev_poll_due_at(nev_connection *conn, double when);
void nev_release_dispatch_lock(nev_connection *conn);

double nev_timer_set(nev_connection *conn, double when);  // returns the previous
void nev_timer_fire(nev_connection *conn, double now);
double nev_timer_earliest(nev_manager *mgr);  // 0 when none

// Queue bytes for sending (any thread); the polling thread is woken when the
// caller is another thread.
void nev_enqueue(nev_connection *conn, const void *bytes, size_t len);
int nev_enqueue_format(nev_connection *conn, const char *format, ...) __attribute__((format(printf, 2, 3)));
int nev_enqueue_vformat(nev_connection *conn, const char *format, va_list args);
// Bytes queued in the send buffer and not yet written (any thread): what a
// protocol layer compares with its bound on one connection's queued output.
size_t nev_connection_send_backlog(nev_connection *conn);
// True while the socket is left unread because more than send_backlog_limit
// bytes are queued; a TLS layer that needs a read to go on writing still reads.
bool nev_reading_paused(nev_connection *conn);
// Appends from's whole receive buffer to to's send buffer, then drops as many
// bytes from from's receive buffer.
void nev_relay_received(nev_connection *from, nev_connection *to);
// Wakes the connection's polling thread when the caller is another thread.
void nev_connection_wake(nev_connection *conn);
// Asks the thread that owns the connection to close it, from any thread. Only
// the owner writes `flags`, so an OR from elsewhere could lose a bit the owner
// sets at the same moment; the request is folded in at the owner's next poll
// step. The caller must know the connection is still alive (for example by
// holding the lock under which its owner unregisters it).
void nev_connection_request_close(nev_connection *conn);

int nev_last_error(void);

// Address of a connection as text (NEV_SOCK_STRINGIFY_* flags, nev_codec.h).
int nev_conn_addr_to_str(nev_connection *conn, char *buf, size_t size, unsigned flags);
// Appends one trace record (header line and hex dump) to the trace file
// ("-" standard output, "--" standard error) for ACCEPT, CONNECT, RECV, SEND
// and CLOSE.
void nev_hexdump_connection(nev_connection *conn, const char *path, const void *bytes, int count, int event);

// ---- Threads ----
// Accepted connections of this listener run on their own thread; the host's
// handler never sees NEV_EVENT_ACCEPT then.
void nev_listener_enable_threads(nev_connection *listener);
void nev_threaded_accept(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock);
void *nev_connection_thread(void *conn);

// The reader/writer lock (nev_srwlock_*) and its scope guard are in nev_base.h.
