// Listening, dialling and connection I/O: address texts, listeners (plain and
// TLS), accept, outgoing connections, connect completion, the TLS handshake
// step, and the read and write paths between sockets and the connection's
// buffers.
//
// Threading: nev_listen*, nev_dial* and nev_dial_tls run on the thread that
// owns the manager (before polling, or from one of its handlers); everything
// else runs on the connection's polling thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "nev_core.h"

struct nev_listen_options {
  void *user_data;          // becomes the listener's user data
  uint32_t flags;           // only NEV_CONN_CREATE_MASK bits are kept
  const char **error_text;  // receives a static text on failure; may be NULL
  nev_netif *iface;         // NULL: the manager's first
  const char *tls_cert;
  const char *tls_key;
  const char *tls_ca;
  const char *tls_ciphers;
  // Limits of accepted connections (0: the NEV_DEFAULT_* value, < 0: none).
  long long recv_limit;      // bytes; < 0 unlimited
  int handshake_timeout_ms;  // TLS handshake deadline
  int idle_timeout_ms;       // no read, write or queued send for this long
};

struct nev_dial_options {
  void *user_data;
  uint32_t flags;
  const char **error_text;
  nev_netif *iface;
  const char *nameserver;
  const char *tls_cert;
  const char *tls_key;
  const char *tls_ca;
  const char *tls_ciphers;
  const char *tls_server_name;  // "*": send none
  const char *tls_psk_identity;
  const char *tls_psk_key;
};

constexpr int NEV_PROTO_TCP = 1;
constexpr int NEV_PROTO_UDP = 2;

// Parses "[tcp://|udp://]a.b.c.d:port", "host:port", ":port" or "port".
// Returns the characters used (> 0), 0 when the host is a name needing a
// lookup (copied into host), -1 on error: octets above 255, signs, ports of
// 65535 and above, "localhost", trailing garbage.
int nev_parse_address(const char *text, sockaddr_in *addr, int *proto, char *host, size_t host_size);

// Binds a listener and attaches it. NULL on failure with the error text
// ("cannot parse address", "failed to init connection", "SSL for UDP is not
// supported", "failed to open listener" or a TLS setup text). A NULL handler
// becomes nev_null_handler.
nev_connection *nev_listen(nev_manager *mgr, const char *address, nev_event_handler handler);
// The cause of the calling thread's last failed listen, for the operator: the
// error text with the system's reason of the bind ("failed to open listener -
// Address already in use") or the TLS library's reason and the file concerned
// ("Invalid SSL key - key.pem: key values mismatch").
const char *nev_listen_failure(void);
// True when nev_listen accepts the address: a listener's port text that is not
// a port ("http", "80a", "99999", "-1") is false.
bool nev_listen_address_valid(const char *address);
nev_connection *nev_listen_with_options(nev_manager *mgr, const char *address, nev_event_handler handler,
                                        const nev_listen_options *opts);
// Starts an outgoing connection; NEV_EVENT_CONNECT reports the outcome. A
// host name is looked up first (nev_dns.h, the options' name server, else the
// manager's, else the system's): the connection is NEV_CONN_RESOLVING and
// outside the manager's list until then, and a name not found gives
// NEV_EVENT_CONNECT with -1. "cannot schedule DNS lookup" when the lookup
// cannot start.
nev_connection *nev_dial(nev_manager *mgr, const char *address, nev_event_handler handler);
nev_connection *nev_dial_with_options(nev_manager *mgr, const char *address, nev_event_handler handler,
                                      const nev_dial_options *opts);
// Client TLS on a connection (also one already connected). NULL or the error.
const char *nev_dial_tls(nev_connection *conn, const char *cert, const char *ca);
// What a dial does once a name lookup ended: connect to address, or with
// NULL deliver (on time-out) TIMER, then CONNECT -1 and CLOSE, and destroy.
void nev_dial_lookup_finished(nev_connection *conn, const in_addr *address, int error);

nev_connection *nev_connect_start(nev_connection *conn, int proto, const sockaddr_in *addr);
void nev_connect_done(nev_connection *conn, int error);

// Accepts pending connections of a readable TCP listener.
void nev_accept_ready(nev_connection *listener);
nev_connection *nev_accepted_connection_new(nev_connection *listener);
void nev_accept_done(nev_connection *conn, const sockaddr_in *peer);
void nev_tls_handshake_step(nev_connection *conn);

// Reads what the socket holds into recv_buf, dispatching NEV_EVENT_RECV.
// Returns the last read: > 0, 0, -1 (nothing may be read), -2 (buffer full).
int nev_read_available(nev_connection *conn);
int nev_read_when_readable(nev_connection *conn);
// Bytes recv_buf may still grow by: 0 when at or over the limit, else the
// smaller of most and limit - length.
size_t nev_recv_room(nev_connection *conn, size_t most);
// Frees the calling thread's read area, if a busy connection gave it one; the
// next read that needs it starts small again. For threads going quiet.
void nev_release_read_scratch(void);
long nev_read_tcp(nev_connection *conn, void *place, size_t size);
long nev_read_udp(nev_connection *conn, void *place, size_t size);
// Writes as much of send_buf as the socket takes, dispatching NEV_EVENT_SEND.
void nev_write_pending(nev_connection *conn);

void nev_null_handler(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock);
