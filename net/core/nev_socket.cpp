// The poll()-based socket interface, socket helpers and access lists.
#include "nev_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "nev_codec.h"
#include "nev_io.h"
#include "nev_log.h"
#include "nev_watch.h"

namespace {

// How long a poll round waits at most, when asked to wait until the next
// deadline, while a connection's layer declares none.
constexpr int ROUND_WITHOUT_DEADLINES_MS = 1000;

// The interface's own state: the poll set, reused from round to round.
struct poll_state {
  std::vector<pollfd> fds;
};

bool is_pseudo_udp(const nev_connection *c) { return (c->flags & NEV_CONN_UDP) && c->listener != nullptr; }

size_t buffer_len(nev_buffer *buf) {
  nev_mutex_guard guard(buf->mutex);
  return buf->len;
}

bool try_again_errno(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS; }

long map_io_result(long n) {
  if (n < 0 && try_again_errno(errno)) return 0;
  return n;
}

// ---- Operations ----

void op_init(nev_netif *iface) {
  NEV_LOG(4, ("%p using poll()", static_cast<void *>(iface)));
  iface->priv = new (std::nothrow) poll_state;
  nev_manager *mgr = iface->manager;
  if (mgr->wake_fd == NEV_INVALID_SOCKET) {
    mgr->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mgr->wake_fd < 0) mgr->wake_fd = NEV_INVALID_SOCKET;
  }
}

void op_free(nev_netif *iface) {
  delete static_cast<poll_state *>(iface->priv);
  iface->priv = nullptr;
}

void op_nothing(nev_connection *) {}

int op_listen(nev_connection *conn, sockaddr_in *addr, int type) {
  nev_sock_t sock = nev_open_listening_socket(addr, type, 0);
  if (sock == NEV_INVALID_SOCKET) return errno != 0 ? errno : 1;
  nev_iface_set_socket(conn, sock);
  return 0;
}

int op_listen_tcp(nev_connection *conn, sockaddr_in *addr) { return op_listen(conn, addr, SOCK_STREAM); }
int op_listen_udp(nev_connection *conn, sockaddr_in *addr) { return op_listen(conn, addr, SOCK_DGRAM); }

void op_connect_tcp(nev_connection *conn, const sockaddr_in *addr) {
  nev_sock_t sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int rc = -1;
  if (sock == NEV_INVALID_SOCKET) {
    conn->connect_error = errno != 0 ? errno : 1;
  } else {
    conn->sock = sock;
    rc = connect(sock, reinterpret_cast<const sockaddr *>(addr), sizeof(*addr));
    conn->connect_error = (rc < 0 && nev_socket_failed()) ? errno : 0;
  }
  NEV_LOG(4, ("%p sock %d rc %d errno %d err %d", static_cast<void *>(conn), sock, rc, errno, conn->connect_error));
}

void op_connect_udp(nev_connection *conn) {
  nev_sock_t sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock == NEV_INVALID_SOCKET) {
    conn->connect_error = errno != 0 ? errno : 1;
    return;
  }
  conn->sock = sock;
  int on = 1;
  if ((conn->flags & NEV_CONN_BROADCAST) && setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
    conn->connect_error = errno != 0 ? errno : 1;
    return;
  }
  conn->connect_error = 0;
}

long op_send_tcp(nev_connection *conn, const void *bytes, size_t len) {
  return map_io_result(send(conn->sock, bytes, len, MSG_NOSIGNAL | MSG_DONTWAIT));
}

long op_send_udp(nev_connection *conn, const void *bytes, size_t len) {
  return map_io_result(sendto(conn->sock, bytes, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                              reinterpret_cast<const sockaddr *>(&conn->peer), sizeof(conn->peer)));
}

long op_recv_tcp(nev_connection *conn, void *place, size_t size) {
  long n = recv(conn->sock, place, size, MSG_DONTWAIT);
  if (n == 0) {
    // The peer ended its side: what is queued still goes out, then we close.
    conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
    conn->peer_closed = 1;
    return 0;
  }
  return map_io_result(n);
}

long op_recv_udp(nev_connection *conn, void *place, size_t size, sockaddr_in *from, socklen_t *from_len) {
  return map_io_result(recvfrom(conn->sock, place, size, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(from), from_len));
}

int op_create(nev_connection *) { return 1; }

void op_destroy(nev_connection *conn) {
  // A UDP pseudo-connection borrows its listener's socket.
  if (conn->sock != NEV_INVALID_SOCKET && !is_pseudo_udp(conn)) nev_close_socket_retry(&conn->sock);
  conn->sock = NEV_INVALID_SOCKET;
}

void op_set_socket(nev_connection *conn, nev_sock_t sock) {
  nev_set_non_blocking(sock);
  nev_set_non_inheritable(sock);
  conn->sock = sock;
  NEV_LOG(4, ("%p %d", static_cast<void *>(conn), sock));
}

void op_get_address(nev_connection *conn, int remote, sockaddr_in *addr) {
  // The peer of an accepted connection is what accept returned: it cannot
  // change, and hosts ask for it on every request.
  const bool accepted = conn->listener != nullptr && !(conn->flags & NEV_CONN_LISTENING);
  if (remote && ((conn->flags & NEV_CONN_UDP) || (accepted && conn->peer.sin_family == AF_INET))) {
    *addr = conn->peer;
    return;
  }
  nev_socket_address(conn->sock, remote, addr);
}

// ---- Poll ----

// A listener that found no descriptor free rests until its resume time.
bool accept_resting(const nev_connection *c, double now) {
  return (c->flags & NEV_CONN_LISTENING) && c->accept_resume_time > now;
}

double deadline_of(const nev_connection *c, double now) {
  double earliest = c->timer > 0 ? c->timer : 0;
  auto consider = [&earliest](double t) {
    if (t > 0 && (earliest == 0 || t < earliest)) earliest = t;
  };
  if ((c->flags & NEV_CONN_TLS) && !(c->flags & NEV_CONN_TLS_READY)) consider(c->handshake_deadline);
  if (c->listener != nullptr && c->idle_timeout_ms > 0 && !(c->flags & NEV_CONN_LISTENING))
    consider(nev_idle_deadline(c, c->idle_timeout_ms / 1000.0));
  if (accept_resting(c, now)) consider(c->accept_resume_time);
  if (c->poll_due < NEV_POLL_NOTHING_DUE) consider(c->poll_due);
  return earliest;
}

bool close_due(nev_connection *c) {
  if (c->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CLOSE_RETRY)) return true;
  if (__atomic_load_n(&c->close_requested, __ATOMIC_ACQUIRE)) return true;
  return (c->flags & NEV_CONN_CLOSE_AFTER_SEND) && buffer_len(&c->send_buf) == 0;
}

bool tls_may_hold_data(nev_connection *c) {
  const uint32_t busy =
      NEV_CONN_LISTENING | NEV_CONN_CONNECTING | NEV_CONN_TLS_WANT_READ | NEV_CONN_TLS_WANT_WRITE | NEV_CONN_CLOSE_NOW;
  return (c->flags & NEV_CONN_TLS_READY) && !(c->flags & busy) && !c->peer_closed &&
         buffer_len(&c->recv_buf) < c->recv_limit && !nev_reading_paused(c);
}

short wanted_events(nev_connection *c, double now) {
  short events = 0;
  if (!is_pseudo_udp(c) && !c->peer_closed && !accept_resting(c, now) && buffer_len(&c->recv_buf) < c->recv_limit &&
      !nev_reading_paused(c))
    events |= POLLIN;
  bool connecting = (c->flags & NEV_CONN_CONNECTING) != 0;
  if ((connecting && !(c->flags & NEV_CONN_TLS_WANT_READ)) || (!connecting && buffer_len(&c->send_buf) > 0) ||
      (c->flags & NEV_CONN_TLS_WANT_WRITE))
    events |= POLLOUT;
  return events;
}

int fd_flags_of(const pollfd &p) {
  int flags = 0;
  bool broken = (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  if ((p.events & POLLIN) && (p.revents & POLLIN || broken)) flags |= NEV_FD_READABLE;
  if ((p.events & POLLOUT) && (p.revents & POLLOUT || broken)) flags |= NEV_FD_WRITABLE;
  if (broken) flags |= NEV_FD_ERROR;
  return flags;
}

double op_poll(nev_netif *iface, int timeout_ms) {
  nev_manager *mgr = iface->manager;
  auto *ps = static_cast<poll_state *>(iface->priv);
  std::vector<pollfd> local;
  std::vector<pollfd> &fds = ps != nullptr ? ps->fds : local;
  fds.clear();
  if (mgr->wake_fd != NEV_INVALID_SOCKET) fds.push_back(pollfd{mgr->wake_fd, POLLIN, 0});

  double now = nev_now();
  double earliest = 0;
  bool notices_wanted = false;
  bool until_due = timeout_ms == NEV_POLL_UNTIL_DUE;
  if (until_due) timeout_ms = INT_MAX;
  for (nev_connection *c = mgr->connections; c != nullptr; c = c->next) {
    c->poll_slot = 0;
    if (c->wants_notices) notices_wanted = true;
    // A layer that declares no deadlines gets its rounds every second.
    if (until_due && c->poll_due == 0) timeout_ms = std::min(timeout_ms, ROUND_WITHOUT_DEADLINES_MS);
    // A close the poll step would do must not wait for the time-out.
    if (close_due(c)) timeout_ms = 0;
    double due = deadline_of(c, now);
    if (due > 0 && (earliest == 0 || due < earliest)) earliest = due;
    if (c->sock == NEV_INVALID_SOCKET) continue;
    // Decrypted bytes the TLS library holds never make the socket readable;
    // the poll step reads them, so do not sleep before it.
    if (tls_may_hold_data(c)) timeout_ms = 0;
    short events = wanted_events(c, now);
    if (events == 0) continue;
    fds.push_back(pollfd{c->sock, events, 0});
    c->poll_slot = static_cast<int>(fds.size());
  }
  // Change notices of kept files come in the same poll as the requests that
  // follow the changes (nev_watch.h).
  const int watch_fd = notices_wanted ? nev_watch_fd() : -1;
  const size_t watch_slot = fds.size();
  if (watch_fd >= 0) fds.push_back(pollfd{watch_fd, POLLIN, 0});
  // And so do changes of the mount table, which no watch reports.
  const int mounts_fd = watch_fd >= 0 ? nev_watch_mounts_fd() : -1;
  const size_t mounts_slot = fds.size();
  if (mounts_fd >= 0) fds.push_back(pollfd{mounts_fd, POLLPRI, 0});
  if (earliest > 0) {
    double until = (earliest - now) * 1000 + 1;
    if (until < timeout_ms) timeout_ms = until < 0 ? 0 : static_cast<int>(until);
  }
  if (timeout_ms < 0) timeout_ms = 0;

  int ready = poll(fds.data(), fds.size(), timeout_ms);
  if (ready < 0) ready = 0;  // EINTR: process the round as a time-out
  now = nev_now();
  if (ready > 0 && !fds.empty() && fds[0].fd == mgr->wake_fd && (fds[0].revents & POLLIN))
    nev_handle_control_socket(mgr);
  if (watch_fd >= 0 && ready > 0 && (fds[watch_slot].revents & POLLIN)) nev_watch_drain();
  if (mounts_fd >= 0 && ready > 0 && (fds[mounts_slot].revents & (POLLPRI | POLLERR))) nev_watch_mounts_changed();
  // Reads of this round start with bytes that were there when the notices
  // were polled.
  const int covered = watch_fd >= 0 && mounts_fd >= 0 ? NEV_FD_NOTICES_POLLED : 0;

  for (nev_connection *c = mgr->connections, *next; c != nullptr; c = next) {
    next = c->next;
    int flags = 0;
    int slot = c->poll_slot - 1;
    if (ready > 0 && slot >= 0 && static_cast<size_t>(slot) < fds.size() && fds[slot].fd == c->sock) {
      flags = fd_flags_of(fds[slot]);
      if (flags & NEV_FD_READABLE) flags |= covered;
      if (fds[slot].revents & POLLNVAL) c->flags |= NEV_CONN_CLOSE_NOW;
    }
    c->poll_slot = 0;
    int kept = nev_handle_connection(c, flags, now);
    // Whichever manager started the connection's thread lets it go now; a
    // child manager holding a threaded listener would otherwise strand it.
    if (kept && c->handover_mutex != nullptr) nev_mutex_unlock(c->handover_mutex);
  }
  return now;
}

// ---- The null interface ----

void null_add(nev_connection *conn) {
  conn->flags |= NEV_CONN_CLOSE_NOW;
  conn->sock = NEV_INVALID_SOCKET;
}
void null_iface_nothing(nev_netif *) {}
int null_listen(nev_connection *, sockaddr_in *) { return -1; }
void null_connect_tcp(nev_connection *conn, const sockaddr_in *) { conn->flags |= NEV_CONN_CLOSE_NOW; }
void null_connect_udp(nev_connection *conn) { conn->flags |= NEV_CONN_CLOSE_NOW; }
long null_send(nev_connection *, const void *, size_t) { return -1; }
long null_recv_tcp(nev_connection *, void *, size_t) { return -1; }
long null_recv_udp(nev_connection *, void *, size_t, sockaddr_in *, socklen_t *) { return -1; }
void null_set_socket(nev_connection *, nev_sock_t) {}
void null_get_address(nev_connection *, int, sockaddr_in *) {}
double null_poll(nev_netif *iface, int) {
  double now = nev_now();
  for (nev_connection *c = iface->manager->connections, *next; c != nullptr; c = next) {
    next = c->next;
    nev_poll_connection(c, now);
  }
  return now;
}

// ---- Address parsing ----

// Reads 1 to max_digits decimal digits (no sign, no blanks). Returns the
// characters read, 0 when there is no digit.
int read_number(const char *p, int max_digits, unsigned *value) {
  int n = 0;
  unsigned v = 0;
  while (n < max_digits && p[n] >= '0' && p[n] <= '9') v = v * 10 + static_cast<unsigned>(p[n++] - '0');
  if (n == 0) return 0;
  *value = v;
  return n;
}

}  // namespace

const nev_netif_ops nev_socket_iface = {
    op_init,       op_free,        op_nothing,     op_nothing,    op_poll,        op_listen_tcp,
    op_listen_udp, op_connect_tcp, op_connect_udp, op_send_tcp,   op_send_udp,    op_recv_tcp,
    op_recv_udp,   op_create,      op_destroy,     op_set_socket, op_get_address,
};

const nev_netif_ops nev_null_iface = {
    null_iface_nothing, null_iface_nothing, null_add,         op_nothing,      null_poll,        null_listen,
    null_listen,        null_connect_tcp,   null_connect_udp, null_send,       null_send,        null_recv_tcp,
    null_recv_udp,      op_create,          op_nothing,       null_set_socket, null_get_address,
};

const nev_netif_ops *const nev_iface_table[] = {&nev_socket_iface};
const int nev_iface_table_size = 1;

// ---- Helpers ----

int nev_make_socket_pair(nev_sock_t out[2], int type) {
  out[0] = out[1] = NEV_INVALID_SOCKET;
  int pair[2];
  if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  out[0] = pair[0];
  out[1] = pair[1];
  return 1;
}

nev_sock_t nev_open_listening_socket(sockaddr_in *addr, int type, int protocol) {
  nev_sock_t sock = socket(addr->sin_family, type | SOCK_CLOEXEC, protocol);
  if (sock == NEV_INVALID_SOCKET) return NEV_INVALID_SOCKET;
  // SO_REUSEADDR lets a restarted server bind while old connections linger in
  // TIME_WAIT, yet a second listener on the same port still fails. Datagram
  // sockets would share the port with it, so they go without.
  int on = 1;
  bool ok = (type != SOCK_STREAM || setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0) &&
            bind(sock, reinterpret_cast<const sockaddr *>(addr), sizeof(*addr)) == 0 &&
            (type != SOCK_STREAM || listen(sock, SOMAXCONN) == 0);
  if (!ok) {
    int err = errno;
    nev_close_socket_retry(&sock);
    errno = err;
    return NEV_INVALID_SOCKET;
  }
  nev_set_non_blocking(sock);
  socklen_t len = sizeof(*addr);
  getsockname(sock, reinterpret_cast<sockaddr *>(addr), &len);
  return sock;
}

int nev_set_non_blocking(nev_sock_t sock) {
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

int nev_socket_failed(void) { return try_again_errno(errno) ? 0 : 1; }

void nev_close_socket_retry(nev_sock_t *sock) {
  if (*sock != NEV_INVALID_SOCKET) {
    // Linux frees the descriptor even when close reports EINTR; closing again
    // could close a descriptor another thread just opened.
    close(*sock);
  }
  *sock = NEV_INVALID_SOCKET;
}

nev_sock_t nev_accept_retry(nev_sock_t sock, sockaddr_in *addr, socklen_t *len) {
  nev_sock_t s;
  do {
    s = accept4(sock, reinterpret_cast<sockaddr *>(addr), len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (s < 0 && errno == EINTR);
  return s;
}

void nev_socket_address(nev_sock_t sock, int remote, sockaddr_in *addr) {
  memset(addr, 0, sizeof(*addr));
  socklen_t len = sizeof(*addr);
  if (remote)
    getpeername(sock, reinterpret_cast<sockaddr *>(addr), &len);
  else
    getsockname(sock, reinterpret_cast<sockaddr *>(addr), &len);
}

void nev_iface_set_socket(nev_connection *conn, nev_sock_t sock) {
  if (sock != NEV_INVALID_SOCKET && conn->iface != nullptr) conn->iface->ops->set_socket(conn, sock);
}

void nev_iface_get_address(nev_connection *conn, int remote, sockaddr_in *addr) {
  memset(addr, 0, sizeof(*addr));
  if (conn->iface != nullptr) conn->iface->ops->get_address(conn, remote, addr);
}

int nev_handle_connection(nev_connection *conn, int fd_flags, double now) {
  bool trace = fd_flags != 0 || (conn->flags & (NEV_CONN_TLS_WANT_READ | NEV_CONN_TLS_WANT_WRITE));
  int fd = conn->sock;
  if (trace)
    NEV_LOG(4, ("%p fd=%d fd_flags=%d nc_flags=0x%lx rmbl=%d smbl=%d", static_cast<void *>(conn), fd, fd_flags,
                static_cast<unsigned long>(conn->flags), static_cast<int>(conn->recv_buf.len),
                static_cast<int>(conn->send_buf.len)));
  if (!nev_poll_connection(conn, now)) return 0;

  if (conn->flags & NEV_CONN_CONNECTING) {
    if (fd_flags != 0) {
      if (conn->flags & NEV_CONN_UDP) {
        nev_connect_done(conn, 0);
      } else {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(conn->sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
          nev_connect_done(conn, 1);
        else
          nev_connect_done(conn, (err == 0 || err == EAGAIN || err == EINPROGRESS) ? 0 : err);
      }
    } else if (conn->connect_error != 0) {
      nev_connect_done(conn, conn->connect_error);
    }
  }
  if (fd_flags & NEV_FD_READABLE) {
    if ((conn->flags & NEV_CONN_UDP) || !(conn->flags & NEV_CONN_LISTENING)) {
      // Only a plain TCP stream whose receive buffer is empty starts this
      // read with a byte the poll saw.
      conn->poll_fresh = (fd_flags & NEV_FD_NOTICES_POLLED) && !(conn->flags & (NEV_CONN_TLS | NEV_CONN_UDP)) &&
                         buffer_len(&conn->recv_buf) == 0;
      nev_read_available(conn);
      conn->poll_fresh = 0;
    } else
      nev_accept_ready(conn);
  }
  if (fd_flags & NEV_FD_WRITABLE) nev_write_pending(conn);
  if (trace)
    NEV_LOG(4, ("%p after fd=%d nc_flags=0x%lx rmbl=%d smbl=%d", static_cast<void *>(conn), fd,
                static_cast<unsigned long>(conn->flags), static_cast<int>(conn->recv_buf.len),
                static_cast<int>(conn->send_buf.len)));
  return 1;
}

// ---- Access lists ----

int nev_is_byte_value(int value) { return value >= 0 && value < 256 ? 1 : 0; }

int nev_parse_cidr(const char *text, uint32_t *address, uint32_t *mask) {
  const char *p = text;
  uint32_t addr = 0;
  for (int i = 0; i < 4; i++) {
    unsigned octet = 0;
    int n = read_number(p, 3, &octet);
    if (n == 0 || !nev_is_byte_value(static_cast<int>(octet))) return 0;
    p += n;
    addr = (addr << 8) | octet;
    if (i < 3) {
      if (*p != '.') return 0;
      p++;
    }
  }
  unsigned bits = 32;
  if (*p == '/') {
    int n = read_number(p + 1, 2, &bits);
    if (n == 0 || bits > 32) return 0;
    p += 1 + n;
  }
  if (*p >= '0' && *p <= '9') return 0;  // a number too long to be an octet or a mask
  *address = addr;
  *mask = bits == 0 ? 0 : 0xffffffffu << (32 - bits);
  return static_cast<int>(p - text);
}

int nev_check_access_list(const char *list, uint32_t address) {
  char verdict = (list == nullptr || *list == '\0') ? '+' : '-';
  for (const char *p = list; p != nullptr && *p != '\0';) {
    const char *end = strchr(p, ',');
    if (end == nullptr) end = p + strlen(p);
    char sign = *p;
    if (sign != '+' && sign != '-') return -1;
    uint32_t net = 0, mask = 0;
    int n = nev_parse_cidr(p + 1, &net, &mask);
    if (n == 0 || p + 1 + n != end) return -1;
    if ((address & mask) == net) verdict = sign;
    p = *end == ',' ? end + 1 : end;
  }
  NEV_LOG(4, ("%08x %c", address, verdict));
  return verdict == '+' ? 1 : 0;
}
