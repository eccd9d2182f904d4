// Listening, dialling, accept and the read and write paths.
#include "nev_io.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "nev_codec.h"
#include "nev_dns.h"
#include "nev_log.h"
#include "nev_socket.h"
#include "nev_tls.h"

namespace {

// A read offers the buffer's free room, at least READ_STEP_MIN bytes; a
// read that fills it doubles the offer, up to READ_STEP_MAX. No FIONREAD
// probe is needed, and a read returning less than offered means the socket is
// drained (for plain TCP), so no read is spent just to see EAGAIN.
constexpr size_t READ_STEP_MIN = 16 * 1024;
constexpr size_t READ_STEP_MAX = 4u * 1024 * 1024;
constexpr size_t TLS_READ_STEP = 16 * 1024;  // one TLS record
constexpr size_t UDP_READ_STEP = 65536;      // the largest datagram
constexpr int ACCEPTS_PER_ROUND = 64;

const char *or_dash(const char *s) { return s != nullptr ? s : "-"; }

void store_error(const char **error_text, const char *text) {
  if (error_text != nullptr) *error_text = text;
}

// The cause of the calling thread's last failed listen (nev_listen_failure).
// A string, not an array: every connection thread gets its own copy of this
// library's thread-local block on first use, and only listening threads ever
// fill this one.
thread_local std::string listen_failure;

void fail_listen(const nev_listen_options *opts, const char *text, const char *detail) {
  store_error(opts->error_text, text);
  listen_failure = text;
  if (detail != nullptr && detail[0] != '\0') listen_failure.append(" - ").append(detail);
}

bool is_tcp_listener(const nev_connection *c) { return (c->flags & NEV_CONN_LISTENING) && !(c->flags & NEV_CONN_UDP); }

const char *address_text(const sockaddr_in *addr, char *buf, size_t size) {
  if (inet_ntop(AF_INET, &addr->sin_addr, buf, static_cast<socklen_t>(size)) == nullptr) buf[0] = '\0';
  return buf;
}

// Decimal digits only, no sign; -1 when absent or when it has more digits
// than max_digits.
int read_port(const char *p, const char **end) {
  int n = 0;
  long value = 0;
  while (p[n] >= '0' && p[n] <= '9') {
    if (n == 5) return -1;
    value = value * 10 + (p[n++] - '0');
  }
  if (n == 0) return -1;
  *end = p + n;
  return static_cast<int>(value);
}

// A host made only of digits, dots and signs is meant as a dotted quad and
// must be a valid one; anything else is a name.
bool looks_numeric(const char *p, size_t len) {
  for (size_t i = 0; i < len; i++)
    if (!(isdigit(static_cast<unsigned char>(p[i])) || p[i] == '.' || p[i] == '+' || p[i] == '-')) return false;
  return true;
}

bool parse_dotted_quad(const char *p, size_t len, uint32_t *ip) {
  uint32_t mask = 0;
  int n = nev_parse_cidr(p, ip, &mask);
  return n > 0 && static_cast<size_t>(n) == len && mask == 0xffffffffu;
}

size_t first_read_step(const nev_connection *conn) {
  if (conn->flags & NEV_CONN_UDP) return UDP_READ_STEP;
  return std::max(READ_STEP_MIN, (conn->flags & NEV_CONN_TLS) ? TLS_READ_STEP : size_t(0));
}

void apply_listen_limits(nev_connection *conn, const nev_listen_options *opts) {
  if (opts->recv_limit == 0)
    conn->recv_limit = NEV_DEFAULT_RECV_LIMIT;
  else
    conn->recv_limit = opts->recv_limit < 0 ? SIZE_MAX : static_cast<size_t>(opts->recv_limit);
  conn->handshake_timeout_ms =
      opts->handshake_timeout_ms == 0 ? NEV_DEFAULT_HANDSHAKE_TIMEOUT_MS : opts->handshake_timeout_ms;
  conn->idle_timeout_ms = opts->idle_timeout_ms == 0 ? NEV_DEFAULT_IDLE_TIMEOUT_MS : opts->idle_timeout_ms;
}

void hexdump_traffic(nev_connection *conn, const void *bytes, long n, int event) {
  nev_manager *mgr = conn->manager;
  if (mgr != nullptr && mgr->hexdump_path != nullptr)
    nev_hexdump_connection(conn, mgr->hexdump_path, bytes, static_cast<int>(n), event);
}

void set_want(nev_connection *conn, uint32_t want) {
  conn->flags = (conn->flags & ~(NEV_CONN_TLS_WANT_READ | NEV_CONN_TLS_WANT_WRITE)) | want;
}

// Maps a TLS read or write result onto the connection: wants become flags
// and 0, other failures close.
long settle_tls_result(nev_connection *conn, long n) {
  if (n == NEV_TLS_WANT_READ) {
    set_want(conn, NEV_CONN_TLS_WANT_READ);
    return 0;
  }
  if (n == NEV_TLS_WANT_WRITE) {
    set_want(conn, NEV_CONN_TLS_WANT_WRITE);
    return 0;
  }
  if (n < 0) conn->flags |= NEV_CONN_CLOSE_NOW;
  return n;
}

// The UDP listener's receiving side: finds or creates the pseudo-connection
// of the sender. NULL when it cannot be created.
nev_connection *udp_target(nev_connection *listener, const sockaddr_in *from) {
  for (nev_connection *c = listener->manager->connections; c != nullptr; c = c->next) {
    if (c->listener == listener && c->peer.sin_addr.s_addr == from->sin_addr.s_addr &&
        c->peer.sin_port == from->sin_port)
      return c;
  }
  nev_connection_options opts{};
  nev_connection *c = nev_connection_create(listener->manager, listener->user_handler, &opts);
  if (c == nullptr) return nullptr;
  c->sock = listener->sock;
  nev_connection_set_listener(c, listener);
  c->peer = *from;
  c->proto_handler = listener->proto_handler;
  c->user_data = listener->user_data;
  c->recv_limit = listener->recv_limit;
  c->iface = listener->iface;
  c->flags = NEV_CONN_UDP | NEV_CONN_CLOSE_AFTER_SEND;
  nev_manager_attach(listener->manager, c);
  nev_dispatch_event(c, nullptr, NEV_EVENT_ACCEPT, &c->peer);
  return c;
}

// Reads from the socket (or the TLS layer) without touching recv_buf.
long receive_tcp(nev_connection *conn, void *place, size_t size) {
  long n;
  if (!(conn->flags & NEV_CONN_TLS)) {
    n = conn->iface->ops->recv_tcp(conn, place, size);
    NEV_LOG(4, ("%p <- %d bytes", static_cast<void *>(conn), static_cast<int>(n)));
  } else if (conn->flags & NEV_CONN_TLS_READY) {
    n = settle_tls_result(conn, nev_tls_read(conn, place, size));
    NEV_LOG(4, ("%p <- %d bytes (SSL)", static_cast<void *>(conn), static_cast<int>(n)));
    if (n > 0) conn->flags &= ~NEV_CONN_TLS_WANT_READ;
  } else {
    nev_tls_handshake_step(conn);
    n = 0;
  }
  return n;
}

// Bytes just added to recv_buf: the time stamp and the trace.
void note_received(nev_connection *conn, const void *bytes, long n) {
  conn->last_io_time = static_cast<int64_t>(nev_now());
  hexdump_traffic(conn, bytes, n, NEV_EVENT_RECV);
}

void raise_received(nev_connection *conn, long n) {
  int count = static_cast<int>(n);
  nev_dispatch_event(conn, nullptr, NEV_EVENT_RECV, &count);
}

// A first read that finds too little room in the receive buffer lands in a
// small area on the stack. Only a thread whose first reads fill it gets a
// scratch area of a full step (until its connection goes quiet), so the many
// connections that only ever receive small packets own no read area at all.
constexpr size_t STACK_READ_SIZE = 2048;
thread_local std::unique_ptr<char[]> tl_read_scratch;

// A TCP read into an area outside recv_buf; what arrived is appended to
// recv_buf and traced while it is still at place. Bytes taken from the socket
// that cannot be kept end the connection, as a failed read does, so none go
// missing unnoticed.
long receive_copied(nev_connection *conn, char *place, size_t size) {
  long n = receive_tcp(conn, place, size);
  if (n > 0 && nev_buffer_append(&conn->recv_buf, place, static_cast<size_t>(n)) != static_cast<size_t>(n)) {
    NEV_LOG(0, ("%p no memory for %ld received bytes, closing", static_cast<void *>(conn), n));
    n = -1;
  }
  if (n > 0) {
    note_received(conn, place, n);
  } else if (n < 0) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
  }
  return n;
}

// Not inlined: the area must be off the stack before the handler runs, or
// every handler's frames would sit that much deeper.
__attribute__((noinline)) long receive_copied_on_stack(nev_connection *conn, size_t size) {
  char area[STACK_READ_SIZE];
  return receive_copied(conn, area, std::min(size, sizeof(area)));
}

// The first read of a round when recv_buf lacks room; *offered tells how
// much room the read had.
long read_tcp_copied(nev_connection *conn, size_t room, size_t *offered) {
  long n;
  if (tl_read_scratch) {
    *offered = std::min(room, READ_STEP_MIN);
    n = receive_copied(conn, tl_read_scratch.get(), *offered);
  } else {
    *offered = std::min(room, STACK_READ_SIZE);
    n = receive_copied_on_stack(conn, *offered);
    if (n > 0 && static_cast<size_t>(n) == STACK_READ_SIZE)
      tl_read_scratch.reset(new (std::nothrow) char[READ_STEP_MIN]);
  }
  if (n > 0) raise_received(conn, n);
  nev_buffer_trim(&conn->recv_buf);
  return n;
}

bool short_of_descriptors(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

// An accept that found no free descriptor would find the listener readable
// again at once and spin: the pending peers are closed (through the spare
// descriptor) and the listener rests for a while.
void back_off_accepting(nev_connection *listener, int err, int most) {
  nev_note_refused(listener->manager, err, nev_shed_pending(listener, most));
  listener->accept_resume_time = nev_now() + NEV_ACCEPT_BACKOFF_MS / 1000.0;
}

}  // namespace

void nev_null_handler(nev_connection *, int, void *, nev_unlock_fn) {}

// ---- Addresses ----

int nev_parse_address(const char *text, sockaddr_in *addr, int *proto, char *host, size_t host_size) {
  memset(addr, 0, sizeof(*addr));
  addr->sin_family = AF_INET;
  *proto = NEV_PROTO_TCP;
  if (host != nullptr && host_size > 0) host[0] = '\0';
  const char *p = text;
  if (strncmp(p, "udp://", 6) == 0) {
    *proto = NEV_PROTO_UDP;
    p += 6;
  } else if (strncmp(p, "tcp://", 6) == 0) {
    p += 6;
  }
  size_t host_len = strcspn(p, ": \t\r\n\f\v");
  bool is_name = false;
  const char *port_text = p;
  if (p[host_len] == ':' && host_len > 0) {
    if (looks_numeric(p, host_len)) {
      uint32_t ip = 0;
      if (!parse_dotted_quad(p, host_len, &ip)) return -1;
      addr->sin_addr.s_addr = htonl(ip);
    } else {
      if (host == nullptr || host_len >= host_size) return -1;
      if (strncasecmp(p, "localhost", 9) == 0) return -1;
      memcpy(host, p, host_len);
      host[host_len] = '\0';
      is_name = true;
    }
    port_text = p + host_len + 1;
  } else if (p[0] == ':') {
    port_text = p + 1;
  }
  const char *end = nullptr;
  int port = read_port(port_text, &end);
  if (port < 0 || port >= 65535) return -1;
  addr->sin_port = htons(static_cast<uint16_t>(port));
  if (!(*end == '\0' || *end == ',' || isspace(static_cast<unsigned char>(*end)))) return -1;
  return is_name ? 0 : static_cast<int>(end - text);
}

// ---- Listening ----

const char *nev_listen_failure(void) { return listen_failure.c_str(); }

bool nev_listen_address_valid(const char *address) {
  sockaddr_in addr{};
  int proto = NEV_PROTO_TCP;
  char host[200];
  return address != nullptr && nev_parse_address(address, &addr, &proto, host, sizeof(host)) > 0;
}

nev_connection *nev_listen(nev_manager *mgr, const char *address, nev_event_handler handler) {
  return nev_listen_with_options(mgr, address, handler, nullptr);
}

nev_connection *nev_listen_with_options(nev_manager *mgr, const char *address, nev_event_handler handler,
                                        const nev_listen_options *opts) {
  nev_listen_options none{};
  if (opts == nullptr) opts = &none;
  sockaddr_in addr{};
  int proto = NEV_PROTO_TCP;
  char host[200];
  if (address == nullptr || nev_parse_address(address, &addr, &proto, host, sizeof(host)) <= 0) {
    fail_listen(opts, "cannot parse address", address);
    return nullptr;
  }
  nev_connection_options co{opts->user_data, opts->flags, opts->error_text, opts->iface};
  nev_connection *conn = nev_connection_create_full(mgr, handler != nullptr ? handler : nev_null_handler, &co);
  if (conn == nullptr) {
    listen_failure = "failed to create connection";
    return nullptr;
  }
  conn->peer = addr;
  conn->flags |= NEV_CONN_LISTENING | (proto == NEV_PROTO_UDP ? NEV_CONN_UDP : 0);
  apply_listen_limits(conn, opts);
  NEV_LOG(4, ("%p %s %s,%s,%s", static_cast<void *>(conn), address, or_dash(opts->tls_cert), or_dash(opts->tls_key),
              or_dash(opts->tls_ca)));

  if (opts->tls_cert != nullptr || opts->tls_ca != nullptr) {
    if (proto == NEV_PROTO_UDP) {
      fail_listen(opts, "SSL for UDP is not supported", nullptr);
      nev_connection_destroy(conn, 0);
      return nullptr;
    }
    nev_tls_params params{opts->tls_cert, opts->tls_key, opts->tls_ca, nullptr, opts->tls_ciphers, nullptr, nullptr};
    const char *tls_error = "TLS setup failed";
    if (nev_tls_setup(conn, &params, &tls_error) != NEV_TLS_OK) {
      fail_listen(opts, tls_error, nev_tls_failure_reason());
      nev_connection_destroy(conn, 0);
      return nullptr;
    }
  }
  const nev_netif_ops *ops = conn->iface->ops;
  int rc = proto == NEV_PROTO_UDP ? ops->listen_udp(conn, &conn->peer) : ops->listen_tcp(conn, &conn->peer);
  if (rc != 0) {
    NEV_LOG(4, ("Failed to open listener: %d", rc));
    fail_listen(opts, "failed to open listener", strerror(rc));
    nev_connection_destroy(conn, 1);
    return nullptr;
  }
  if (proto == NEV_PROTO_TCP) nev_keep_spare_descriptor(mgr);
  nev_manager_attach(mgr, conn);
  return conn;
}

// ---- Dialling ----

namespace {

// A dial's lookup ended: the first A answer is the address to connect to.
void dial_resolved(const nev_dns_message *message, void *data, int error) {
  auto *conn = static_cast<nev_connection *>(data);
  conn->private_word = nullptr;
  in_addr address{};
  const nev_dns_record *answer = message != nullptr ? nev_dns_next_answer(message, NEV_DNS_TYPE_A, nullptr) : nullptr;
  if (answer != nullptr && nev_dns_record_data(message, answer, &address, sizeof address) == 0) {
    nev_dial_lookup_finished(conn, &address, NEV_RESOLVE_OK);
    return;
  }
  nev_dial_lookup_finished(conn, nullptr, error);
}

}  // namespace

nev_connection *nev_dial(nev_manager *mgr, const char *address, nev_event_handler handler) {
  return nev_dial_with_options(mgr, address, handler, nullptr);
}

nev_connection *nev_dial_with_options(nev_manager *mgr, const char *address, nev_event_handler handler,
                                      const nev_dial_options *opts) {
  nev_dial_options none{};
  if (opts == nullptr) opts = &none;
  nev_connection_options co{opts->user_data, opts->flags, opts->error_text, opts->iface};
  nev_connection *conn = nev_connection_create_full(mgr, handler != nullptr ? handler : nev_null_handler, &co);
  if (conn == nullptr) return nullptr;
  int proto = NEV_PROTO_TCP;
  char host[200];
  int parsed = address != nullptr ? nev_parse_address(address, &conn->peer, &proto, host, sizeof(host)) : -1;
  if (parsed < 0) {
    store_error(opts->error_text, "cannot parse address");
    nev_connection_destroy(conn, 0);
    return nullptr;
  }
  if (proto == NEV_PROTO_UDP) conn->flags |= NEV_CONN_UDP;
  NEV_LOG(3, ("%p %s %s,%s,%s", static_cast<void *>(conn), address, or_dash(opts->tls_cert), or_dash(opts->tls_key),
              or_dash(opts->tls_ca)));

  if (opts->tls_cert != nullptr || opts->tls_ca != nullptr || opts->tls_psk_identity != nullptr) {
    if (proto == NEV_PROTO_UDP) {
      store_error(opts->error_text, "SSL for UDP is not supported");
      nev_connection_destroy(conn, 0);
      return nullptr;
    }
    const char *server_name = nullptr;
    if (opts->tls_ca != nullptr && opts->tls_server_name != nullptr && strcmp(opts->tls_server_name, "*") != 0)
      server_name = opts->tls_server_name;
    if (opts->tls_server_name == nullptr && parsed == 0) server_name = host;
    nev_tls_params params{opts->tls_cert,    opts->tls_key,          opts->tls_ca,     server_name,
                          opts->tls_ciphers, opts->tls_psk_identity, opts->tls_psk_key};
    if (nev_tls_setup(conn, &params, opts->error_text) != NEV_TLS_OK) {
      nev_connection_destroy(conn, 0);
      return nullptr;
    }
  }
  if (parsed > 0) return nev_connect_start(conn, proto, &conn->peer);
  // A name: the connection waits outside the manager's list until its
  // lookup ends in nev_dial_lookup_finished.
  nev_dns_resolve_options lookup{};
  lookup.nameserver = opts->nameserver;
  nev_connection *lookup_conn = nullptr;
  lookup.dns_conn = &lookup_conn;
  if (nev_dns_resolve(mgr, host, NEV_DNS_TYPE_A, dial_resolved, conn, &lookup) != 0) {
    store_error(opts->error_text, "cannot schedule DNS lookup");
    nev_connection_destroy(conn, 0);
    return nullptr;
  }
  conn->flags |= NEV_CONN_RESOLVING;
  conn->private_word = lookup_conn;
  return conn;
}

const char *nev_dial_tls(nev_connection *conn, const char *cert, const char *ca) {
  if (conn->tls != nullptr) nev_tls_free(conn);
  nev_tls_params params{cert, nullptr, ca, nullptr, nullptr, nullptr, nullptr};
  const char *error = nullptr;
  if (nev_tls_setup(conn, &params, &error) != NEV_TLS_OK) return error != nullptr ? error : "TLS setup failed";
  return nullptr;
}

void nev_dial_lookup_finished(nev_connection *conn, const in_addr *address, int error) {
  conn->flags &= ~NEV_CONN_RESOLVING;
  if (address != nullptr) {
    conn->peer.sin_addr = *address;
    nev_connect_start(conn, (conn->flags & NEV_CONN_UDP) ? NEV_PROTO_UDP : NEV_PROTO_TCP, &conn->peer);
    return;
  }
  if (error == NEV_RESOLVE_TIMEOUT) {
    double now = nev_now();
    nev_dispatch_event(conn, nullptr, NEV_EVENT_TIMER, &now);
  }
  int not_found = -1;
  nev_dispatch_event(conn, nullptr, NEV_EVENT_CONNECT, &not_found);
  nev_dispatch_event(conn, nullptr, NEV_EVENT_CLOSE, nullptr);
  nev_connection_destroy(conn, 1);
}

nev_connection *nev_connect_start(nev_connection *conn, int proto, const sockaddr_in *addr) {
  char ip[INET_ADDRSTRLEN];
  NEV_LOG(3, ("%p %s://%s:%hu", static_cast<void *>(conn), proto == NEV_PROTO_UDP ? "udp" : "tcp",
              address_text(addr, ip, sizeof(ip)), ntohs(addr->sin_port)));
  conn->flags |= NEV_CONN_CONNECTING;
  if (proto == NEV_PROTO_UDP)
    conn->iface->ops->connect_udp(conn);
  else
    conn->iface->ops->connect_tcp(conn, addr);
  nev_manager_attach(conn->manager, conn);
  return conn;
}

void nev_connect_done(nev_connection *conn, int error) {
  char ip[INET_ADDRSTRLEN];
  NEV_LOG(3, ("%p %s://%s:%hu -> %d", static_cast<void *>(conn), (conn->flags & NEV_CONN_UDP) ? "udp" : "tcp",
              address_text(&conn->peer, ip, sizeof(ip)), ntohs(conn->peer.sin_port), error));
  conn->flags &= ~NEV_CONN_CONNECTING;
  if (error != 0) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    nev_dispatch_event(conn, nullptr, NEV_EVENT_CONNECT, &error);
  } else if (conn->flags & NEV_CONN_TLS) {
    nev_tls_handshake_step(conn);
  } else {
    nev_dispatch_event(conn, nullptr, NEV_EVENT_CONNECT, &error);
  }
}

// ---- Accepting ----

void nev_accept_ready(nev_connection *listener) {
  nev_manager *mgr = listener->manager;
  for (int i = 0; i < ACCEPTS_PER_ROUND && !(listener->flags & NEV_CONN_CLOSE_NOW); i++) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    nev_sock_t sock = nev_accept_retry(listener->sock, &peer, &len);
    if (sock == NEV_INVALID_SOCKET) {
      if (short_of_descriptors(errno)) {
        back_off_accepting(listener, errno, ACCEPTS_PER_ROUND - i);
      } else if (nev_socket_failed()) {
        NEV_LOG(4, ("%p: failed to accept: %d", static_cast<void *>(listener), errno));
      }
      return;
    }
    // Over the cap the peer learns at once, and nothing is spent on it.
    if (!nev_connection_slot_take(mgr)) {
      nev_close_socket_retry(&sock);
      nev_note_refused(mgr, 0, 1);
      continue;
    }
    nev_connection *conn = nev_accepted_connection_new(listener);
    if (conn == nullptr) {
      nev_connection_slot_give(mgr);
      nev_close_socket_retry(&sock);
      continue;
    }
    conn->counted_in = mgr;
    char ip[INET_ADDRSTRLEN];
    NEV_LOG(4, ("%p conn from %s:%d", static_cast<void *>(conn), address_text(&peer, ip, sizeof(ip)),
                ntohs(peer.sin_port)));
    nev_iface_set_socket(conn, sock);
    nev_accept_done(conn, &peer);
    // A plain connection handed to its thread during ACCEPT may go now.
    if (conn->handover_mutex != nullptr) nev_mutex_unlock(conn->handover_mutex);
  }
}

nev_connection *nev_accepted_connection_new(nev_connection *listener) {
  nev_connection_options opts{};
  nev_connection *conn = nev_connection_create_full(listener->manager, listener->user_handler, &opts);
  if (conn == nullptr) return nullptr;
  nev_connection_set_listener(conn, listener);
  conn->proto_handler = listener->proto_handler;
  conn->user_data = listener->user_data;
  conn->recv_limit = listener->recv_limit;
  conn->iface = listener->iface;
  conn->handshake_timeout_ms = listener->handshake_timeout_ms;
  conn->idle_timeout_ms = listener->idle_timeout_ms;
  if (listener->flags & NEV_CONN_TLS) conn->flags |= NEV_CONN_TLS;
  nev_manager_attach(listener->manager, conn);
  NEV_LOG(3, ("%p %p %d %#x", static_cast<void *>(listener), static_cast<void *>(conn), conn->sock, conn->flags));
  return conn;
}

void nev_accept_done(nev_connection *conn, const sockaddr_in *peer) {
  char ip[INET_ADDRSTRLEN];
  NEV_LOG(3, ("%p %s://%s:%hu", static_cast<void *>(conn), (conn->flags & NEV_CONN_UDP) ? "udp" : "tcp",
              address_text(peer, ip, sizeof(ip)), ntohs(peer->sin_port)));
  conn->peer = *peer;
  if (!(conn->flags & NEV_CONN_TLS)) {
    nev_dispatch_event(conn, nullptr, NEV_EVENT_ACCEPT, &conn->peer);
    return;
  }
  if (nev_tls_accept_state(conn, conn->listener) != NEV_TLS_OK) {
    // Closed at the next poll step, never while the accept loop holds it.
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  if (conn->handshake_timeout_ms > 0) conn->handshake_deadline = nev_now() + conn->handshake_timeout_ms / 1000.0;
  nev_tls_handshake_step(conn);
}

void nev_tls_handshake_step(nev_connection *conn) {
  if (conn->flags & NEV_CONN_TLS_READY) return;
  int rc = nev_tls_handshake(conn);
  if (rc == NEV_TLS_OK) {
    set_want(conn, 0);
    conn->flags |= NEV_CONN_TLS_READY;
    conn->handshake_deadline = 0;
    if (conn->listener != nullptr) {
      nev_dispatch_event(conn, nullptr, NEV_EVENT_ACCEPT, &conn->peer);
    } else {
      int ok = 0;
      nev_dispatch_event(conn, nullptr, NEV_EVENT_CONNECT, &ok);
    }
  } else if (rc == NEV_TLS_WANT_READ) {
    set_want(conn, NEV_CONN_TLS_WANT_READ);
  } else if (rc == NEV_TLS_WANT_WRITE) {
    set_want(conn, NEV_CONN_TLS_WANT_WRITE);
  } else {
    if (conn->listener == nullptr) {
      int error = conn->connect_error != 0 ? conn->connect_error : NEV_TLS_ERROR;
      nev_dispatch_event(conn, nullptr, NEV_EVENT_CONNECT, &error);
    }
    conn->flags |= NEV_CONN_CLOSE_NOW;
  }
}

// ---- Reading ----

size_t nev_recv_room(nev_connection *conn, size_t most) {
  size_t len;
  {
    nev_mutex_guard guard(conn->recv_buf.mutex);
    len = conn->recv_buf.len;
  }
  if (len >= conn->recv_limit) return 0;
  return std::min(most, conn->recv_limit - len);
}

int nev_read_available(nev_connection *conn) {
  if ((conn->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CONNECTING)) || is_tcp_listener(conn)) return -1;
  // A TLS read ends at a record boundary, so only the library's "want read"
  // says the socket is drained; a plain TCP read that leaves part of the
  // offered room empty took everything the socket held.
  const bool short_read_drains = !(conn->flags & (NEV_CONN_TLS | NEV_CONN_UDP));
  size_t step = first_read_step(conn);
  long last = 0;
  for (;;) {
    // A handler that has just queued past the bound stops the reads here,
    // not after the socket's whole backlog was taken in.
    if (nev_reading_paused(conn)) break;
    size_t room = nev_recv_room(conn, step);
    if (room == 0) return -2;
    char *place = nullptr;
    size_t offered = 0;
    bool in_place = true;
    {
      nev_buffer *buf = &conn->recv_buf;
      nev_mutex_guard guard(buf->mutex);
      if (buf->len + room > buf->size) {
        // A small request would otherwise cost a large allocation and a trim
        // on every read: the first read of a round that finds too little room
        // goes to an area outside the buffer, and only what arrived is kept.
        if (!(conn->flags & NEV_CONN_UDP) && step == first_read_step(conn))
          in_place = false;
        else
          nev_buffer_resize(buf, buf->len + room, 1);
      }
      if (in_place) {
        offered = std::min(buf->size - buf->len, room);
        place = buf->data + buf->len;
      }
    }
    if (!in_place) {
      last = read_tcp_copied(conn, room, &offered);
    } else if (offered == 0) {
      return 0;  // no memory for more: try again next round
    } else {
      last = (conn->flags & NEV_CONN_UDP) ? nev_read_udp(conn, place, offered) : nev_read_tcp(conn, place, offered);
    }
    if (last <= 0 || (conn->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_UDP))) break;
    if (short_read_drains && static_cast<size_t>(last) < offered) break;
    if (static_cast<size_t>(last) >= offered) step = std::min(step * 2, READ_STEP_MAX);
  }
  return static_cast<int>(std::max<long>(last, -1));
}

int nev_read_when_readable(nev_connection *conn) { return nev_read_available(conn); }

void nev_release_read_scratch(void) { tl_read_scratch.reset(); }

long nev_read_tcp(nev_connection *conn, void *place, size_t size) {
  long n = receive_tcp(conn, place, size);
  if (n > 0) {
    {
      nev_mutex_guard guard(conn->recv_buf.mutex);
      conn->recv_buf.len += static_cast<size_t>(n);
    }
    note_received(conn, place, n);
    // The room offered may be far larger than what came: give it back before
    // the handler runs (place is not valid after this).
    nev_buffer_trim(&conn->recv_buf);
    raise_received(conn, n);
  } else if (n < 0) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
  }
  nev_buffer_trim(&conn->recv_buf);
  return n;
}

long nev_read_udp(nev_connection *conn, void *place, size_t size) {
  sockaddr_in from{};
  socklen_t from_len = sizeof(from);
  long n = conn->iface->ops->recv_udp(conn, place, size, &from, &from_len);
  if (n < 0) {
    conn->flags |= NEV_CONN_CLOSE_NOW;
    nev_buffer_free(&conn->recv_buf);
    return n;
  }
  nev_connection *target = conn;
  if (conn->flags & NEV_CONN_LISTENING) {
    target = udp_target(conn, &from);
    if (target == nullptr) {
      nev_buffer_free(&conn->recv_buf);
      return n;
    }
  }
  char ip[INET_ADDRSTRLEN];
  NEV_LOG(4, ("%p <- %d bytes from %s:%d", static_cast<void *>(conn), static_cast<int>(n),
              address_text(&from, ip, sizeof(ip)), ntohs(from.sin_port)));
  if (target == conn) {
    nev_mutex_guard guard(conn->recv_buf.mutex);
    conn->recv_buf.len += static_cast<size_t>(n);
  } else {
    nev_buffer_append(&target->recv_buf, place, static_cast<size_t>(n));
  }
  nev_buffer_trim(&conn->recv_buf);
  int64_t now = static_cast<int64_t>(nev_now());
  conn->last_io_time = target->last_io_time = now;
  hexdump_traffic(target, place, n, NEV_EVENT_RECV);
  if (n != 0) {
    int count = static_cast<int>(n);
    nev_dispatch_event(target, nullptr, NEV_EVENT_RECV, &count);
  }
  // A datagram is consumed within its NEV_EVENT_RECV.
  nev_buffer_free(&conn->recv_buf);
  return n;
}

// ---- Writing ----

void nev_write_pending(nev_connection *conn) {
  if ((conn->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CONNECTING)) || is_tcp_listener(conn)) return;
  if ((conn->flags & NEV_CONN_TLS) && !(conn->flags & NEV_CONN_TLS_READY)) {
    nev_tls_handshake_step(conn);
    return;
  }
  long n = 0;
  {
    nev_buffer *buf = &conn->send_buf;
    nev_mutex_guard guard(buf->mutex);
    if (buf->len == 0) return;
    // The whole buffer in one step: the socket takes what fits.
    if (!(conn->flags & NEV_CONN_TLS)) {
      const nev_netif_ops *ops = conn->iface->ops;
      n = (conn->flags & NEV_CONN_UDP) ? ops->send_udp(conn, buf->data, buf->len)
                                       : ops->send_tcp(conn, buf->data, buf->len);
      NEV_LOG(4, ("%p -> %d bytes", static_cast<void *>(conn), static_cast<int>(n)));
    } else {
      n = settle_tls_result(conn, nev_tls_write(conn, buf->data, buf->len));
      NEV_LOG(4, ("%p -> %d bytes (SSL)", static_cast<void *>(conn), static_cast<int>(n)));
      if (n > 0) conn->flags &= ~NEV_CONN_TLS_WANT_WRITE;
    }
    if (n > 0) {
      hexdump_traffic(conn, buf->data, n, NEV_EVENT_SEND);
      conn->last_io_time = static_cast<int64_t>(nev_now());
      nev_buffer_drop_front(buf, static_cast<size_t>(n));
      // Idle connections keep no send memory; a part-sent reply is not
      // copied around on every step.
      if (buf->len == 0) nev_buffer_trim(buf);
    }
  }
  if (n < 0) conn->flags |= NEV_CONN_CLOSE_NOW;
  if (n != 0) {
    int count = static_cast<int>(n);
    nev_dispatch_event(conn, nullptr, NEV_EVENT_SEND, &count);
  }
}
