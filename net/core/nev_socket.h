// The socket interface: the operation table through which the engine reaches
// sockets, the poll()-based interface every manager uses, the manager's
// wake-up descriptor, socket helpers and the IPv4 access-list check.
//
// Threading: every operation runs on the polling thread of the connection's
// manager; the helpers and the access-list functions are reentrant.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "nev_core.h"

// Return conventions: send/receive give bytes, 0 (try again; for TCP receive
// also "peer closed", which sets NEV_CONN_CLOSE_AFTER_SEND) or < 0 (failed).
struct nev_netif_ops {
  void (*init)(nev_netif *iface);
  void (*free)(nev_netif *iface);
  void (*add_conn)(nev_connection *conn);
  void (*remove_conn)(nev_connection *conn);
  double (*poll)(nev_netif *iface, int timeout_ms);            // returns the engine clock
  int (*listen_tcp)(nev_connection *conn, sockaddr_in *addr);  // 0 or an errno
  int (*listen_udp)(nev_connection *conn, sockaddr_in *addr);
  void (*connect_tcp)(nev_connection *conn, const sockaddr_in *addr);  // -> connect_error
  void (*connect_udp)(nev_connection *conn);
  long (*send_tcp)(nev_connection *conn, const void *bytes, size_t len);
  long (*send_udp)(nev_connection *conn, const void *bytes, size_t len);
  long (*recv_tcp)(nev_connection *conn, void *place, size_t size);
  long (*recv_udp)(nev_connection *conn, void *place, size_t size, sockaddr_in *from, socklen_t *from_len);
  int (*create_conn)(nev_connection *conn);    // 1 success, 0 failure
  void (*destroy_conn)(nev_connection *conn);  // closes the socket
  void (*set_socket)(nev_connection *conn, nev_sock_t sock);
  void (*get_address)(nev_connection *conn, int remote, sockaddr_in *addr);
};

// The interface every manager gets: poll() over all of a manager's sockets
// (no cap on their number) and the manager's wake-up descriptor (an eventfd:
// one descriptor per connection thread besides its socket).
extern const nev_netif_ops nev_socket_iface;
// An interface that refuses everything; nothing installs it.
extern const nev_netif_ops nev_null_iface;

// The engine's interface table (one entry: nev_socket_iface).
extern const nev_netif_ops *const nev_iface_table[];
extern const int nev_iface_table_size;

// ---- Helpers ----

// A connected AF_UNIX pair of the type (SOCK_DGRAM or SOCK_STREAM),
// close-on-exec. Returns 1, or 0 with both invalid.
int nev_make_socket_pair(nev_sock_t out[2], int type);
// A bound (and for streams listening) non-blocking socket; the bound address
// is read back into addr (so port 0 reports the chosen port). Returns
// NEV_INVALID_SOCKET on failure with errno set.
nev_sock_t nev_open_listening_socket(sockaddr_in *addr, int type, int protocol);
int nev_set_non_blocking(nev_sock_t sock);  // 0 or -1
// 0 when errno says "try again" (EINTR, EAGAIN, EWOULDBLOCK, EINPROGRESS).
int nev_socket_failed(void);
void nev_close_socket_retry(nev_sock_t *sock);  // closes; *sock := invalid
nev_sock_t nev_accept_retry(nev_sock_t sock, sockaddr_in *addr, socklen_t *len);
void nev_socket_address(nev_sock_t sock, int remote, sockaddr_in *addr);
void nev_iface_set_socket(nev_connection *conn, nev_sock_t sock);
void nev_iface_get_address(nev_connection *conn, int remote, sockaddr_in *addr);

// fd flags of nev_handle_connection.
constexpr int NEV_FD_READABLE = 1;
constexpr int NEV_FD_WRITABLE = 2;
constexpr int NEV_FD_ERROR = 4;
// The poll that reported the socket readable also covered the change notices
// of kept files (nev_watch.h).
constexpr int NEV_FD_NOTICES_POLLED = 8;
// One connection's step of the poll loop; 1 kept, 0 closed.
int nev_handle_connection(nev_connection *conn, int fd_flags, double now);
// Serves a wake-up of the manager and the broadcasts queued with it.
void nev_handle_control_socket(nev_manager *mgr);

// ---- Access lists ----

// list: comma-separated "+a.b.c.d[/n]" (allow) or "-..." (deny) entries, later
// ones overriding earlier ones; address in host byte order. Returns 1 allowed,
// 0 denied, -1 malformed list (octets above 255, signs, masks above 32, stray
// characters). A NULL or empty list allows everyone; an entry matches only
// when its host bits are 0.
int nev_check_access_list(const char *list, uint32_t address);
// Parses "a.b.c.d" or "a.b.c.d/n" at the start of text: the address in host
// order and the mask (n leading one bits; 32 without "/n"). Returns the
// characters parsed, 0 when malformed.
int nev_parse_cidr(const char *text, uint32_t *address, uint32_t *mask);
int nev_is_byte_value(int value);  // 1 when 0 <= value < 256
