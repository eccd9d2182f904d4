// The HTTP protocol handler (framing requests and replies in the receive
// buffer, raising events 100-102, handing upgrades to the WebSocket layer),
// endpoints, limits and the reply helpers.
#include "nev_http.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <string>

#include "nev_cgi.h"
#include "nev_client.h"
#include "nev_codec.h"
#include "nev_digest.h"
#include "nev_io.h"
#include "nev_log.h"
#include "nev_static.h"
#include "nev_ws.h"

namespace {

// Read on every request of every connection thread: plain atomics, no lock.
struct default_limits {
  std::atomic<size_t> max_head{nev_http_limits{}.max_head};
  std::atomic<uint64_t> max_body{nev_http_limits{}.max_body};
  std::atomic<uint64_t> max_ws_message{nev_http_limits{}.max_ws_message};
  std::atomic<double> idle_timeout{nev_http_limits{}.idle_timeout};
  std::atomic<double> head_timeout{nev_http_limits{}.head_timeout};
  std::atomic<size_t> max_send_backlog{nev_http_limits{}.max_send_backlog};
} g_default_limits;

std::string peer_text(nev_connection *c) {
  char peer[32];
  nev_conn_addr_to_str(c, peer, sizeof peer,
                       NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_PORT | NEV_SOCK_STRINGIFY_REMOTE);
  return peer;
}

bool is_server(const nev_connection *c) { return c->listener != nullptr; }

void dispatch_user(nev_connection *c, int event, void *data) { nev_dispatch_event(c, c->user_handler, event, data); }

// Removes bytes of the receive buffer under its mutex (hosts may read the
// buffer from other threads while holding it).
void recv_erase(nev_connection *c, size_t at, size_t n) {
  nev_mutex_guard guard(c->recv_buf.mutex);
  nev_buffer &b = c->recv_buf;
  if (at == 0) {
    nev_buffer_drop_front(&b, n);
    return;
  }
  std::memmove(b.data + at, b.data + at + n, b.len - at - n);
  b.len -= n;
}

// Stray line ends between messages are tolerated (RFC 9112 section 2.2).
void skip_leading_line_ends(nev_connection *c) {
  size_t n = 0;
  while (n < c->recv_buf.len && (c->recv_buf.data[n] == '\r' || c->recv_buf.data[n] == '\n')) ++n;
  if (n) recv_erase(c, 0, n);
}

const nev_http_endpoint *find_endpoint(nev_connection *listener, nev_slice uri) {
  if (!listener) return nullptr;
  nev_http_proto_data *pd = nev_http_proto_data_get(listener);
  if (!pd) return nullptr;
  const nev_http_endpoint *best = nullptr;
  size_t best_len = 0;
  for (const nev_http_endpoint &ep : pd->endpoints) {
    const size_t m = nev_match_prefix_slice(nev_slice{ep.pattern.data(), ep.pattern.size()}, uri);
    if (m > best_len) {
      best_len = m;
      best = &ep;
    }
  }
  return best;
}

// The one place where a refused message meets the wire.
void refuse_message(nev_connection *c, int status, const char *extra_headers = nullptr) {
  NEV_LOG(3, ("%p invalid request (%d)", static_cast<void *>(c), status));
  if (!is_server(c)) {
    c->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  // The refused head is not the request whose method the state remembers.
  if (nev_http_proto_data *pd = nev_http_proto_data_get(c)) pd->head_method = false;
  nev_http_send_error(c, status, nullptr, extra_headers);
  // Nothing after a refused head can be framed; drop it so the close-after-send
  // that follows does not wait on it.
  nev_mutex_guard guard(c->recv_buf.mutex);
  nev_buffer_clear(&c->recv_buf);
}

// Raises 102 with the body received so far; a handler that sets
// NEV_CONN_DROP_CHUNK takes those bytes and they leave the buffer.
void deliver_chunk(nev_connection *c, nev_http_proto_data *pd, nev_http_view &view, size_t body_len) {
  view.body = nev_slice{c->recv_buf.data + pd->head_length, body_len};
  c->flags &= ~NEV_CONN_DROP_CHUNK;
  dispatch_user(c, NEV_EVENT_HTTP_CHUNK, &view);
  if (!(c->flags & NEV_CONN_DROP_CHUNK) || body_len == 0) return;
  c->flags &= ~NEV_CONN_DROP_CHUNK;
  recv_erase(c, pd->head_length, body_len);
  pd->body_dropped += body_len;
  if (pd->framing.chunked) pd->chunked_done = 0;
}

void deliver_message(nev_connection *c, nev_http_proto_data *pd, nev_http_view &view) {
  const int event = is_server(c) ? NEV_EVENT_HTTP_REQUEST : NEV_EVENT_HTTP_REPLY;
  if (event == NEV_EVENT_HTTP_REQUEST) {
    if (const nev_http_endpoint *ep = find_endpoint(c->listener, view.uri)) {
      if (ep->has_auth && !nev_http_is_authorized(&view, view.uri, ep->auth_domain.c_str(), ep->auth_file.c_str(),
                                                  NEV_AUTH_GLOBAL_FILE)) {
        nev_http_send_digest_challenge(c, ep->auth_domain.c_str());
        return;
      }
      pd->route_handler = ep->handler;
    }
  }
  nev_dispatch_event(c, pd->route_handler ? pd->route_handler : c->user_handler, event, &view);
}

// A new message at the front of the buffer: fresh per-message state.
nev_http_proto_data *start_message(nev_connection *c, int head_len, const nev_http_framing &framing,
                                   const nev_http_view &view) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (!pd) pd = nev_http_proto_data_create(c);
  if (!pd) return nullptr;
  pd->file = nev_http_file_state{};
  pd->route_handler = nullptr;
  pd->chunked_done = 0;
  pd->body_total = 0;
  pd->body_dropped = 0;
  pd->chunked_complete = false;
  pd->request_active = true;
  pd->head_length = size_t(head_len);
  pd->framing = framing;
  pd->bytes_seen = size_t(head_len);  // no body byte shown yet
  pd->head_method = is_server(c) && nev_slice_cmp_cstr(view.method, "HEAD") == 0;
  pd->head_seen = true;
  return pd;
}

void check_recv_limit(nev_connection *c) {
  if (c->recv_buf.len < c->recv_limit) return;
  NEV_LOG(0,
          ("%p recv buffer (%lu bytes) exceeds the limit %lu bytes, and not drained, closing", static_cast<void *>(c),
           static_cast<unsigned long>(c->recv_buf.len), static_cast<unsigned long>(c->recv_limit)));
  if (is_server(c)) {
    refuse_message(c, 413);
  } else {
    c->flags |= NEV_CONN_CLOSE_NOW;
  }
}

// Reassembles what arrived of a chunked body. Returns true once the body is complete.
bool collect_chunked(nev_connection *c, nev_http_proto_data *pd, nev_http_view &view, const nev_http_limits &limits) {
  if (pd->chunked_complete) return true;
  nev_http_dechunk_status status;
  size_t decoded = size_t(pd->chunked_done);
  {
    nev_mutex_guard guard(c->recv_buf.mutex);
    size_t length = c->recv_buf.len - pd->head_length;
    status = nev_http_dechunk(c->recv_buf.data + pd->head_length, length, decoded, pd->body_total, limits.max_body);
    c->recv_buf.len = pd->head_length + length;
  }
  const bool progressed = int64_t(decoded) != pd->chunked_done;
  pd->chunked_done = int64_t(decoded);
  switch (status) {
    case nev_http_dechunk_status::malformed:
      refuse_message(c, 400);
      return false;
    case nev_http_dechunk_status::too_large:
      refuse_message(c, 413);
      return false;
    case nev_http_dechunk_status::done:
      pd->chunked_complete = true;
      return true;
    case nev_http_dechunk_status::need_more:
      break;
  }
  if (progressed) deliver_chunk(c, pd, view, size_t(pd->chunked_done));
  check_recv_limit(c);
  return false;
}

// Waits for the body of the message at the front. Returns true with body_len
// set once it is complete.
bool collect_body(nev_connection *c, nev_http_proto_data *pd, nev_http_view &view, const nev_http_limits &limits,
                  size_t &body_len) {
  const size_t avail = c->recv_buf.len - pd->head_length;
  if (pd->framing.chunked) {
    if (!collect_chunked(c, pd, view, limits)) return false;
    body_len = size_t(pd->chunked_done);
    return true;
  }
  if (pd->framing.content_length >= 0) {
    const uint64_t still_expected = uint64_t(pd->framing.content_length) - pd->body_dropped;
    if (avail >= still_expected) {
      body_len = size_t(still_expected);
      return true;
    }
  } else if (is_server(c)) {
    body_len = 0;  // no length and no chunking: no body (it must not wait for the close)
    return true;
  }
  // Body still arriving (or a reply that ends with the connection): show
  // what is new.
  if (avail > 0 && c->recv_buf.len > pd->bytes_seen) deliver_chunk(c, pd, view, avail);
  pd->bytes_seen = c->recv_buf.len;
  check_recv_limit(c);
  return false;
}

void client_upgrade_reply(nev_connection *c, nev_http_view &view, int head_len) {
  NEV_LOG(3, ("%p WebSocket upgrade code %d", static_cast<void *>(c), view.status_code));
  const bool accepted = view.status_code == 101 && nev_http_find_header(&view, "Sec-WebSocket-Accept") != nullptr;
  dispatch_user(c, NEV_EVENT_WS_HANDSHAKE_DONE, &view);
  recv_erase(c, 0, size_t(head_len));
  if (!accepted) {
    c->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  c->proto_handler = nev_ws_protocol_handler;
  nev_ws_start_session(c);
}

}  // namespace

static bool contains_nocase(nev_slice text, const char *word) {
  const size_t n = std::strlen(word);
  for (size_t i = 0; i + n <= text.len; ++i)
    if (nev_ncasecmp(text.p + i, word, n) == 0) return true;
  return false;
}

bool nev_http_asks_for_websocket(const nev_http_view &view) {
  if (nev_http_find_header(&view, "Sec-WebSocket-Key")) return true;
  const nev_slice *upgrade = nev_http_find_header(&view, "Upgrade");
  return upgrade && contains_nocase(*upgrade, "websocket");
}

// The host part of an authority ("host", "host:port", "[v6]:port"); an
// IPv6 literal keeps its brackets so it compares with the Host header's.
static nev_slice host_of_authority(nev_slice authority) {
  size_t end = 0;
  if (authority.len > 0 && authority.p[0] == '[') {
    while (end < authority.len && authority.p[end] != ']') ++end;
    if (end < authority.len) ++end;
  } else {
    while (end < authority.len && authority.p[end] != ':' && authority.p[end] != '/') ++end;
  }
  return nev_slice{authority.p, end};
}

// How many times the header appears (names compare without case).
static size_t header_count(const nev_http_view &view, const char *name) {
  const size_t n = std::strlen(name);
  size_t count = 0;
  for (size_t i = 0; i < NEV_HTTP_HEADER_SLOTS && view.header_name[i].len != 0; ++i) {
    const nev_slice &h = view.header_name[i];
    if (h.len == n && nev_ncasecmp(h.p, name, n) == 0) ++count;
  }
  return count;
}

bool nev_http_origin_allowed(const nev_http_view &view) {
  // A request names one origin; with several, the one checked need not be
  // the one a peer believes.
  if (header_count(view, "Origin") > 1) return false;
  const nev_slice *origin = nev_http_find_header(&view, "Origin");
  if (!origin) return true;  // not sent by a browser
  const nev_slice *host = nev_http_find_header(&view, "Host");
  if (!host) return false;
  // Only the host names are compared: a page of this server's HTTP port may
  // open the broker's WebSocket port, which is another origin by its port.
  const char *scheme_end = nullptr;
  for (size_t i = 0; i + 3 <= origin->len; ++i)
    if (std::memcmp(origin->p + i, "://", 3) == 0) {
      scheme_end = origin->p + i + 3;
      break;
    }
  if (!scheme_end) return false;  // "null" and other opaque origins name no host
  const nev_slice origin_host =
      host_of_authority(nev_slice{scheme_end, size_t(origin->p + origin->len - scheme_end)});
  const nev_slice request_host = host_of_authority(*host);
  return origin_host.len > 0 && origin_host.len == request_host.len &&
         nev_ncasecmp(origin_host.p, request_host.p, origin_host.len) == 0;
}

int nev_http_check_upgrade_request(const nev_http_view &view) {
  const nev_slice *key = nev_http_find_header(&view, "Sec-WebSocket-Key");
  const nev_slice *upgrade = nev_http_find_header(&view, "Upgrade");
  const nev_slice *connection = nev_http_find_header(&view, "Connection");
  if (nev_slice_cmp_cstr(view.method, "GET") != 0 || nev_slice_cmp_cstr(view.protocol, "HTTP/1.1") != 0) return 400;
  if (!upgrade || !contains_nocase(*upgrade, "websocket")) return 400;
  if (!connection || !contains_nocase(*connection, "upgrade")) return 400;
  // The key is 16 random bytes in Base64: 24 characters ending in "==".
  if (!key || key->len != 24 || key->p[22] != '=' || key->p[23] != '=') return 400;
  const nev_slice *version = nev_http_find_header(&view, "Sec-WebSocket-Version");
  if (!version || nev_slice_cmp_cstr(*version, "13") != 0) return 426;
  // A page of another site must not reach the socket with its visitor's
  // network position.
  if (!nev_http_origin_allowed(view)) return 403;
  return 0;
}

namespace {

void server_upgrade(nev_connection *c, nev_http_view &view, int head_len, const nev_slice &key) {
  c->flags |= NEV_CONN_WEBSOCKET;
  c->proto_handler = nev_ws_protocol_handler;
  if (const nev_http_endpoint *ep = find_endpoint(c->listener, view.uri)) c->user_handler = ep->handler;
  if (nev_http_proto_data *pd = nev_http_proto_data_get(c)) pd->request_active = false;
  dispatch_user(c, NEV_EVENT_WS_HANDSHAKE_REQUEST, &view);
  if (c->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CLOSE_AFTER_SEND)) {
    // Refused by the host (its reply is queued): the connection stays HTTP
    // until it closes, and nothing after the head is read.
    c->flags &= ~NEV_CONN_WEBSOCKET;
    c->proto_handler = nev_http_protocol_handler;
    nev_mutex_guard guard(c->recv_buf.mutex);
    nev_buffer_clear(&c->recv_buf);
    return;
  }
  if (c->send_buf.len == 0) nev_ws_server_handshake(c, key, &view);
  dispatch_user(c, NEV_EVENT_WS_HANDSHAKE_DONE, &view);
  recv_erase(c, 0, size_t(head_len));
  nev_ws_start_session(c);
}

// A reply leaves in one write (or a header write and sendfile), so there is
// nothing for Nagle's algorithm to merge; it would only hold a reply's last
// segment until the peer acknowledges the ones before it.
void send_without_delay(nev_connection *c) {
  if (c->sock == NEV_INVALID_SOCKET || (c->flags & NEV_CONN_UDP)) return;
  int on = 1;
  setsockopt(c->sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool transfer_in_progress(nev_connection *c) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  return pd && (pd->file.kind != 0 || pd->cgi_pipe != nullptr || pd->proxy_link != nullptr);
}

// Frames and delivers every complete message at the front of the buffer.
void process_buffered(nev_connection *c) {
  const bool server = is_server(c);
  // Only the first message, when it starts at the buffer's first byte, is
  // known to have been sent before the poll of this round returned.
  bool fresh = c->poll_fresh != 0;
  c->poll_fresh = 0;
  for (;;) {
    if (c->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CLOSE_AFTER_SEND)) return;
    if (c->proto_handler != nev_http_protocol_handler) return;
    // A reply body still going out keeps the pipelined requests behind it waiting.
    if (transfer_in_progress(c)) return;
    // So do replies the client has not taken yet: the requests stay unread
    // (and the receive buffer, once full, stops the reads) until it drains.
    if (server && nev_http_output_backlogged(c)) return;
    nev_http_proto_data *pd = nev_http_proto_data_get(c);
    const bool in_message = pd && pd->request_active;
    if (!in_message) {
      const size_t before = c->recv_buf.len;
      skip_leading_line_ends(c);
      if (c->recv_buf.len != before) fresh = false;
    }
    if (c->recv_buf.len == 0) return;

    const nev_http_limits limits = nev_http_limits_of(c);
    nev_http_view view;
    nev_http_framing framing;
    const int head_len = nev_http_parse_checked(c->recv_buf.data, c->recv_buf.len, &view, server, limits, &framing);
    if (head_len == 0) return;
    if (head_len < 0) {
      refuse_message(c, -head_len);
      return;
    }
    if (!in_message) {
      pd = start_message(c, head_len, framing, view);
      if (!pd) {
        c->flags |= NEV_CONN_CLOSE_NOW;
        return;
      }
      if (!server && (c->flags & NEV_CONN_WEBSOCKET)) {
        pd->request_active = false;
        client_upgrade_reply(c, view, head_len);
        return;
      }
      if (server && nev_http_asks_for_websocket(view)) {
        pd->request_active = false;
        if (const int refusal = nev_http_check_upgrade_request(view)) {
          refuse_message(c, refusal, refusal == 426 ? "Sec-WebSocket-Version: 13" : nullptr);
        } else {
          server_upgrade(c, view, head_len, *nev_http_find_header(&view, "Sec-WebSocket-Key"));
        }
        return;
      }
    }
    size_t body_len = 0;
    if (!collect_body(c, pd, view, limits, body_len)) return;

    view.body = nev_slice{c->recv_buf.data + head_len, body_len};
    view.message = nev_slice{c->recv_buf.data, size_t(head_len) + body_len};
    if (server) {
      NEV_LOG(3, ("%p %s %.*s %.*s", static_cast<void *>(c), peer_text(c).c_str(), int(view.method.len), view.method.p,
                  int(view.uri.len), view.uri.p));
    }
    const uint64_t dropped_before = pd->body_dropped;
    deliver_chunk(c, pd, view, body_len);
    if (c->flags & NEV_CONN_CLOSE_NOW) return;
    // A handler that took the body with NEV_CONN_DROP_CHUNK saw it already.
    const size_t kept = pd->body_dropped != dropped_before ? 0 : body_len;
    const size_t message_len = size_t(head_len) + kept;
    view.body = nev_slice{c->recv_buf.data + head_len, kept};
    view.message = nev_slice{c->recv_buf.data, message_len};
    pd->request_active = false;
    pd->request_fresh = fresh && !in_message;
    fresh = false;
    deliver_message(c, pd, view);
    if (nev_http_proto_data *now = nev_http_proto_data_get(c)) now->request_fresh = false;
    recv_erase(c, 0, message_len);
  }
}

// At the close a message that runs to the connection's end (a reply without
// length) is complete. Requests never do: a request cut short is dropped, not
// handed on as if whole.
void complete_at_close(nev_connection *c) {
  if (is_server(c) || c->recv_buf.len == 0 || (c->flags & NEV_CONN_WEBSOCKET)) return;
  nev_http_view view;
  nev_http_framing framing;
  const int head_len =
      nev_http_parse_checked(c->recv_buf.data, c->recv_buf.len, &view, 0, nev_http_limits_of(c), &framing);
  if (head_len <= 0) return;
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (!pd || !pd->request_active) pd = start_message(c, head_len, framing, view);
  if (!pd) return;
  const size_t body_len = c->recv_buf.len - size_t(head_len);
  deliver_chunk(c, pd, view, body_len);
  view.body = nev_slice{c->recv_buf.data + head_len, c->recv_buf.len - size_t(head_len)};
  view.message = nev_slice{c->recv_buf.data, c->recv_buf.len};
  pd->request_active = false;
  deliver_message(c, pd, view);
}

void handle_close(nev_connection *c) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (pd && pd->cgi_pipe) {
    nev_cgi_client_gone(pd->cgi_pipe);
    pd->cgi_pipe = nullptr;
  }
  if (pd && pd->proxy_link) {
    nev_http_proxy_client_gone(pd->proxy_link);
    pd->proxy_link = nullptr;
  }
  complete_at_close(c);
  pd = nev_http_proto_data_get(c);
  if (pd && pd->route_handler && pd->route_handler != c->user_handler)
    nev_dispatch_event(c, pd->route_handler, NEV_EVENT_CLOSE, nullptr);
  dispatch_user(c, NEV_EVENT_CLOSE, nullptr);
}

// Keep-alive connections that stay silent are closed, so idle peers cannot
// hold threads and descriptors for ever. Between requests these two checks
// are all a server connection's poll rounds are for (the hosts above act on
// requests only), so the thread sleeps until the sooner of them.
void check_idle(nev_connection *c, const void *data) {
  if (!is_server(c) || !data || transfer_in_progress(c)) return;
  const nev_http_limits limits = nev_http_limits_of(c);
  const int64_t now = *static_cast<const int64_t *>(data);
  const nev_http_proto_data *pd = nev_http_proto_data_get(c);
  double due = NEV_POLL_NOTHING_DUE;
  if (pd && !pd->head_seen && limits.head_timeout > 0) {
    const double head_due = double(pd->accepted_at) + 1.0 + limits.head_timeout;
    if (double(now) >= head_due) {
      NEV_LOG(3, ("%p no request head within %g s, closing", static_cast<void *>(c), limits.head_timeout));
      c->flags |= NEV_CONN_CLOSE_NOW;
      return;
    }
    due = head_due;
  }
  if (limits.idle_timeout > 0) {
    const double idle_due = nev_idle_deadline(c, limits.idle_timeout);
    if (double(now) >= idle_due) {
      NEV_LOG(3, ("%p idle for %lld s, closing", static_cast<void *>(c), static_cast<long long>(now - c->last_io_time)));
      c->flags |= NEV_CONN_CLOSE_NOW;
      return;
    }
    due = std::min(due, idle_due);
  }
  // The checks compare whole seconds of the round's clock: a round in the
  // second after the moment sees it.
  if (!pd || !pd->request_active) nev_poll_due_at(c, due < NEV_POLL_NOTHING_DUE ? due + 1.0 : due);
}

void enqueue_string(nev_connection *c, const std::string &s) {
  if (!s.empty()) nev_enqueue(c, s.data(), s.size());
}

// Appends the header lines of `extra` each ended by CR LF. Empty lines are
// left out: one would end the head and turn the headers after it into body.
void append_header_lines(std::string &out, nev_slice extra) {
  const char *p = extra.p;
  const char *end = extra.p + extra.len;
  while (p < end) {
    const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
    const char *stop = lf ? lf : end;
    const char *line_end = stop;
    while (line_end > p && line_end[-1] == '\r') --line_end;
    if (line_end > p) {
      out.append(p, size_t(line_end - p));
      out += "\r\n";
    }
    p = lf ? lf + 1 : end;
  }
}

std::string status_line_text(int code, nev_slice extra) {
  char line[64];
  std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", code, nev_http_status_text(code));
  std::string s(line);
  if (extra.p) append_header_lines(s, extra);
  return s;
}

std::string vformat(const char *format, va_list ap) {
  char small[100];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (size_t(n) < sizeof small) return std::string(small, size_t(n));
  std::string big(size_t(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, ap);
  big.resize(size_t(n));
  return big;
}

}  // namespace

// ---- State ----

nev_http_proto_data::~nev_http_proto_data() {
  if (file.fd >= 0) ::close(file.fd);
  if (reuse.fd >= 0) ::close(reuse.fd);
  // The program and the upstream outlive nothing of ours: both are closed
  // and forget this connection.
  if (cgi_pipe) nev_cgi_client_gone(cgi_pipe);
  if (proxy_link) nev_http_proxy_client_gone(proxy_link);
}

void nev_http_proto_data_destroy(void *data) { delete static_cast<nev_http_proto_data *>(data); }

nev_http_proto_data *nev_http_proto_data_get(nev_connection *conn) {
  if (!conn || conn->proto_data_destructor != nev_http_proto_data_destroy) return nullptr;
  return static_cast<nev_http_proto_data *>(conn->proto_data);
}

nev_http_proto_data *nev_http_proto_data_create(nev_connection *conn) {
  if (conn->proto_data && conn->proto_data_destructor) conn->proto_data_destructor(conn->proto_data);
  conn->proto_data = nullptr;
  conn->proto_data_destructor = nullptr;
  auto *pd = new (std::nothrow) nev_http_proto_data();
  if (!pd) return nullptr;
  conn->proto_data = pd;
  conn->proto_data_destructor = nev_http_proto_data_destroy;
  return pd;
}

void nev_http_set_default_limits(const nev_http_limits &limits) {
  g_default_limits.max_head = limits.max_head;
  g_default_limits.max_body = limits.max_body;
  g_default_limits.max_ws_message = limits.max_ws_message;
  g_default_limits.idle_timeout = limits.idle_timeout;
  g_default_limits.head_timeout = limits.head_timeout;
  g_default_limits.max_send_backlog = limits.max_send_backlog;
}

nev_http_limits nev_http_default_limits(void) {
  nev_http_limits l;
  l.max_head = g_default_limits.max_head;
  l.max_body = g_default_limits.max_body;
  l.max_ws_message = g_default_limits.max_ws_message;
  l.idle_timeout = g_default_limits.idle_timeout;
  l.head_timeout = g_default_limits.head_timeout;
  l.max_send_backlog = g_default_limits.max_send_backlog;
  return l;
}

void nev_http_set_limits(nev_connection *listener, const nev_http_limits &limits) {
  nev_http_proto_data *pd = nev_http_proto_data_get(listener);
  if (!pd) pd = nev_http_proto_data_create(listener);
  if (!pd) return;
  pd->has_limits = true;
  pd->limits = limits;
}

nev_http_limits nev_http_limits_of(nev_connection *conn) {
  if (conn) {
    // An accepted connection keeps a copy from its accept: the listener may
    // be gone while the connection's thread still runs.
    if (nev_http_proto_data *own = nev_http_proto_data_get(conn); own && own->has_limits) return own->limits;
    nev_http_proto_data *pd = nev_http_proto_data_get(conn->listener ? conn->listener : conn);
    if (pd && pd->has_limits) return pd->limits;
  }
  return nev_http_default_limits();
}

// ---- Protocol handler ----

void nev_http_attach(nev_connection *conn) { conn->proto_handler = nev_http_protocol_handler; }

void nev_http_protocol_handler(nev_connection *c, int event, void *data, nev_unlock_fn) {
  if (event == NEV_EVENT_CLOSE) {
    handle_close(c);
    return;
  }
  if (event == NEV_EVENT_ACCEPT) {
    send_without_delay(c);
    // The head time-out counts from here.
    const nev_http_limits limits = nev_http_limits_of(c);
    if (nev_http_proto_data *pd = nev_http_proto_data_create(c)) {
      pd->accepted_at = int64_t(nev_now());
      pd->limits = limits;
      pd->has_limits = true;
    }
    // Past the bound the engine leaves the socket unread too: parsing alone
    // stopped, the receive buffer went on filling up to its limit.
    c->send_backlog_limit = limits.max_send_backlog > 0 ? limits.max_send_backlog : 1;
    // On a threaded listener the connection moves to its own thread inside
    // this call: nothing may touch it afterwards.
    dispatch_user(c, event, data);
    return;
  }
  bool transfer_ended = false;
  if (nev_http_proto_data *pd = nev_http_proto_data_get(c); pd && pd->file.kind == 1)
    transfer_ended = nev_http_transfer_step(c) != 0;
  dispatch_user(c, event, data);
  if (c->proto_handler != nev_http_protocol_handler) return;
  // A client that took some of its replies lets the requests it sent meanwhile in.
  const bool drained = event == NEV_EVENT_SEND && c->recv_buf.len > 0;
  if (event == NEV_EVENT_RECV || transfer_ended || drained) process_buffered(c);
  if (event == NEV_EVENT_POLL) check_idle(c, data);
  // Replies go out at once instead of after another poll round: a request
  // then costs one wait, not two.
  if (event == NEV_EVENT_RECV && c->send_buf.len > 0 && !(c->flags & NEV_CONN_CLOSE_NOW)) nev_write_pending(c);
}

void nev_http_process_buffered(nev_connection *conn) { process_buffered(conn); }

bool nev_http_output_backlogged(nev_connection *conn) {
  size_t queued;
  {
    nev_mutex_guard guard(conn->send_buf.mutex);
    queued = conn->send_buf.len;
  }
  return queued > nev_http_limits_of(conn).max_send_backlog;
}

void nev_http_register_endpoint(nev_connection *listener, const char *pattern, nev_event_handler handler) {
  nev_http_register_endpoint_opt(listener, pattern, handler, nev_http_endpoint_options{});
}

void nev_http_register_endpoint_opt(nev_connection *listener, const char *pattern, nev_event_handler handler,
                                    nev_http_endpoint_options options) {
  nev_http_proto_data *pd = nev_http_proto_data_get(listener);
  if (!pd) pd = nev_http_proto_data_create(listener);
  if (!pd) return;
  nev_http_endpoint ep;
  ep.pattern = pattern ? pattern : "";
  ep.handler = handler;
  if (options.auth_domain && options.auth_file) {
    ep.auth_domain = options.auth_domain;
    ep.auth_file = options.auth_file;
    ep.has_auth = true;
  }
  pd->endpoints.insert(pd->endpoints.begin(), std::move(ep));
}

// ---- Replies ----

void nev_http_status_line(nev_connection *conn, int status_code, const char *extra_headers) {
  enqueue_string(conn, status_line_text(status_code, nev_slice_from_cstr(extra_headers)));
}

void nev_http_status_line_slice(nev_connection *conn, int status_code, nev_slice extra_headers) {
  enqueue_string(conn, status_line_text(status_code, extra_headers));
}

void nev_http_send_error(nev_connection *conn, int status_code, const char *message, const char *extra_headers) {
  const char *text = message ? message : nev_http_status_text(status_code);
  NEV_LOG(4, ("%p %d %s %s", static_cast<void *>(conn), status_code, text, extra_headers ? extra_headers : ""));
  std::string reply = status_line_text(status_code, nev_slice_from_cstr(extra_headers));
  char lines[96];
  std::snprintf(lines, sizeof lines, "Content-Length: %zu\r\n", std::strlen(text));
  reply += lines;
  reply += "Content-Type: text/plain\r\nConnection: close\r\n\r\n";
  // A reply to HEAD carries the headers only.
  const nev_http_proto_data *pd = nev_http_proto_data_get(conn);
  if (!(pd && pd->head_method)) reply += text;
  enqueue_string(conn, reply);
  conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
}

void nev_http_send_head(nev_connection *conn, int status_code, int64_t content_length, const char *extra_headers) {
  std::string reply = status_line_text(status_code, nev_slice_from_cstr(extra_headers));
  if (content_length < 0) {
    reply += "Transfer-Encoding: chunked\r\n";
  } else {
    char line[64];
    std::snprintf(line, sizeof line, "Content-Length: %lld\r\n", static_cast<long long>(content_length));
    reply += line;
  }
  reply += "\r\n";
  enqueue_string(conn, reply);
}

void nev_http_send_chunk(nev_connection *conn, const void *data, size_t length) {
  if (length == 0) {
    nev_enqueue(conn, "0\r\n\r\n", 5);
    return;
  }
  char size_line[24];
  const int n = std::snprintf(size_line, sizeof size_line, "%lX\r\n", static_cast<unsigned long>(length));
  nev_mutex_guard guard(conn->send_buf.mutex);
  nev_enqueue(conn, size_line, size_t(n));
  nev_enqueue(conn, data, length);
  nev_enqueue(conn, "\r\n", 2);
}

void nev_http_printf_chunk(nev_connection *conn, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const std::string text = vformat(format, ap);
  va_end(ap);
  if (!text.empty()) nev_http_send_chunk(conn, text.data(), text.size());
}

void nev_http_send_redirect(nev_connection *conn, int status_code, nev_slice location, nev_slice extra_headers) {
  char body[512];
  std::string escaped;
  nev_html_escape_append(escaped, location);
  const int body_len = std::snprintf(body, sizeof body, "<p>Moved <a href='%.*s'>here</a>.\r\n",
                                     int(escaped.size() > 400 ? 400 : escaped.size()), escaped.data());
  std::string headers = "Location: ";
  headers.append(location.p, location.len);
  headers +=
      "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body_len) + "\r\nCache-Control: no-cache\r\n";
  headers.append(extra_headers.p ? extra_headers.p : "", extra_headers.len);
  if (extra_headers.len) headers += "\r\n";
  // The status-line helper ends the header block with its own "\r\n".
  if (headers.size() >= 2) headers.resize(headers.size() - 2);
  std::string reply = status_line_text(status_code, nev_slice{headers.data(), headers.size()});
  reply += "\r\n";
  reply.append(body, size_t(body_len));
  enqueue_string(conn, reply);
}

void nev_http_printf_html_escaped(nev_connection *conn, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const std::string text = vformat(format, ap);
  va_end(ap);
  std::string escaped;
  nev_html_escape_append(escaped, nev_slice{text.data(), text.size()});
  enqueue_string(conn, escaped);
}
