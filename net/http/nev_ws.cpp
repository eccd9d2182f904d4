// WebSocket connections: handshakes, sending frames, and the protocol
// handler that turns the receive buffer into frame events.
#include "nev_ws.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nev_codec.h"
#include "nev_log.h"

namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool is_client(const nev_connection *c) { return c->listener == nullptr; }

std::string text_of(nev_slice s) { return std::string(s.p ? s.p : "", s.len); }

// Appends header and payload under the send buffer's mutex, so frames queued
// from several threads never interleave; client frames are masked in place.
void send_frame(nev_connection *c, int op, const nev_ws_buffer_part *parts, size_t count) {
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += parts[i].length;
  NEV_LOG(4, ("%p %d %llu", static_cast<void *>(c), op, static_cast<unsigned long long>(total)));
  uint8_t mask[4];
  const bool masked = is_client(c);
  if (masked) nev_ws_random_bytes(mask, sizeof mask);
  uint8_t head[14];
  const size_t head_len = nev_ws_build_head(head, op, total, masked ? mask : nullptr);
  {
    nev_mutex_guard guard(c->send_buf.mutex);
    nev_enqueue(c, head, head_len);
    size_t offset = 0;
    for (size_t i = 0; i < count; ++i) {
      if (parts[i].length == 0) continue;
      const size_t at = c->send_buf.len;
      nev_enqueue(c, parts[i].data, parts[i].length);
      if (masked && c->send_buf.len == at + parts[i].length)
        nev_ws_apply_mask(reinterpret_cast<uint8_t *>(c->send_buf.data + at), parts[i].length, mask, offset);
      offset += parts[i].length;
    }
  }
  if (op == NEV_WS_OP_CLOSE) c->flags |= NEV_CONN_CLOSE_AFTER_SEND;
}

void fail_connection(nev_connection *c, const nev_ws_step &step) {
  NEV_LOG(3, ("%p websocket closed: %u %s", static_cast<void *>(c), step.close_code, step.reason));
  nev_ws_close_code(c, step.close_code, step.reason);
  nev_mutex_guard guard(c->recv_buf.mutex);
  nev_buffer_clear(&c->recv_buf);
}

void erase_received(nev_connection *c, size_t at, size_t n) {
  nev_mutex_guard guard(c->recv_buf.mutex);
  nev_buffer &b = c->recv_buf;
  if (at == 0) {
    nev_buffer_drop_front(&b, n);
    return;
  }
  std::memmove(b.data + at, b.data + at + n, b.len - at - n);
  b.len -= n;
}

void build_client_request(nev_connection *c, nev_slice path, nev_slice host, nev_slice protocol,
                          nev_slice extra_headers, nev_slice user, nev_slice password) {
  uint8_t raw_key[16];
  nev_ws_random_bytes(raw_key, sizeof raw_key);
  char key[32];
  nev_base64_encode(raw_key, int(sizeof raw_key), key);
  std::string request = "GET " + text_of(path) + " HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
  if (user.len) {
    std::string credentials = text_of(user);
    if (password.len) credentials.append(":").append(password.p, password.len);
    std::string encoded(credentials.size() / 3 * 4 + 8, '\0');
    encoded.resize(size_t(nev_base64_encode(credentials.data(), int(credentials.size()), encoded.data())));
    request.append("Authorization: Basic ").append(encoded).append("\r\n");
  }
  request += "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: ";
  request += key;
  request += "\r\n";
  if (host.len) request += "Host: " + text_of(host) + "\r\n";
  if (protocol.len) request += "Sec-WebSocket-Protocol: " + text_of(protocol) + "\r\n";
  request += text_of(extra_headers);
  request += "\r\n";
  nev_enqueue(c, request.data(), request.size());
  c->flags |= NEV_CONN_WEBSOCKET;
}

}  // namespace

void nev_ws_send_frame(nev_connection *conn, int op, const void *data, size_t length) {
  const nev_ws_buffer_part part{data, length};
  send_frame(conn, op, &part, 1);
}

void nev_ws_send_frame_parts(nev_connection *conn, int op, const nev_ws_buffer_part *parts, size_t count) {
  send_frame(conn, op, parts, count);
}

void nev_ws_printf_frame(nev_connection *conn, int op, const char *format, ...) {
  char small[100];
  va_list ap;
  va_start(ap, format);
  char *text = small;
  const int n = nev_format_alloc_va(&text, sizeof small, format, ap);
  va_end(ap);
  if (n > 0) nev_ws_send_frame(conn, op, text, size_t(n));
  if (text != small) std::free(text);
}

void nev_ws_close(nev_connection *conn, const char *reason, long length) {
  const size_t n = length < 0 ? (reason ? std::strlen(reason) : 0) : size_t(length);
  nev_ws_send_frame(conn, NEV_WS_OP_CLOSE, reason, n);
}

void nev_ws_close_code(nev_connection *conn, unsigned code, const char *reason) {
  std::string payload;
  payload += char((code >> 8) & 0xff);
  payload += char(code & 0xff);
  if (reason) payload.append(reason, std::min<size_t>(std::strlen(reason), NEV_WS_MAX_CONTROL_PAYLOAD - 2));
  nev_ws_send_frame(conn, NEV_WS_OP_CLOSE, payload.data(), payload.size());
}

std::string nev_ws_accept_key(nev_slice key) {
  nev_sha1_context ctx;
  nev_sha1_init(&ctx);
  nev_sha1_update(&ctx, key.p, key.len);
  nev_sha1_update(&ctx, kAcceptGuid, sizeof kAcceptGuid - 1);
  unsigned char digest[20];
  nev_sha1_final(digest, &ctx);
  char accept[32];
  const int n = nev_base64_encode(digest, int(sizeof digest), accept);
  return std::string(accept, size_t(n));
}

void nev_ws_server_handshake(nev_connection *conn, nev_slice key, const nev_http_view *request) {
  const std::string accept = nev_ws_accept_key(key);
  std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
  if (const nev_slice *offered = nev_http_find_header(request, "Sec-WebSocket-Protocol")) {
    // A server may select one subprotocol only: the first one offered.
    nev_slice first{offered->p, 0};
    while (first.len < offered->len && offered->p[first.len] != ',') ++first.len;
    first = nev_slice_strip(first);
    if (first.len) reply += "Sec-WebSocket-Protocol: " + text_of(first) + "\r\n";
  }
  reply += "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
  NEV_LOG(3, ("%p %.*s %s", static_cast<void *>(conn), int(key.len), key.p, accept.c_str()));
  nev_enqueue(conn, reply.data(), reply.size());
}

void nev_ws_client_handshake_slices(nev_connection *conn, nev_slice path, nev_slice host, nev_slice protocol,
                                    nev_slice extra_headers, nev_slice user, nev_slice password) {
  build_client_request(conn, path, host, protocol, extra_headers, user, password);
}

void nev_ws_client_handshake(nev_connection *conn, const char *path, const char *extra_headers) {
  nev_ws_client_handshake_auth(conn, path, nullptr, nullptr, extra_headers, nullptr, nullptr);
}

void nev_ws_client_handshake_host(nev_connection *conn, const char *path, const char *host, const char *protocol,
                                  const char *extra_headers) {
  nev_ws_client_handshake_auth(conn, path, host, protocol, extra_headers, nullptr, nullptr);
}

void nev_ws_client_handshake_auth(nev_connection *conn, const char *path, const char *host, const char *protocol,
                                  const char *extra_headers, const char *user, const char *password) {
  build_client_request(conn, nev_slice_from_cstr(path), nev_slice_from_cstr(host), nev_slice_from_cstr(protocol),
                       nev_slice_from_cstr(extra_headers), nev_slice_from_cstr(user), nev_slice_from_cstr(password));
}

int nev_ws_parse_frames(nev_connection *c) {
  if (c->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CLOSE_AFTER_SEND)) return 0;
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (!pd) pd = nev_http_proto_data_create(c);
  if (!pd) {
    c->flags |= NEV_CONN_CLOSE_NOW;
    return 0;
  }
  const nev_http_limits limits = nev_http_limits_of(c);
  nev_ws_step step;
  {
    nev_mutex_guard guard(c->recv_buf.mutex);
    step = nev_ws_next_step(reinterpret_cast<uint8_t *>(c->recv_buf.data), c->recv_buf.len, pd->ws_gathered,
                            limits.max_ws_message, (c->flags & NEV_CONN_WS_RAW_FRAGMENTS) != 0, !is_client(c));
  }
  switch (step.kind) {
    case nev_ws_step::need_more:
      if (c->recv_buf.len >= c->recv_limit) {
        nev_ws_step too_big;
        too_big.close_code = NEV_WS_CLOSE_TOO_BIG;
        too_big.reason = "message too big";
        fail_connection(c, too_big);
      }
      return 0;
    case nev_ws_step::fail:
      fail_connection(c, step);
      return 0;
    case nev_ws_step::gathered:
      return 1;
    case nev_ws_step::deliver:
      break;
  }
  if (!step.reassembled) {
    const int op = step.frame.flags & 0x0f;
    if (op == NEV_WS_OP_CLOSE) {
      nev_ws_close(c, reinterpret_cast<const char *>(step.frame.data), long(step.frame.size));
    } else if (op == NEV_WS_OP_PING) {
      nev_ws_send_frame(c, NEV_WS_OP_PONG, step.frame.data, step.frame.size);
    } else if (op == NEV_WS_OP_PONG) {
      pd->ws_ping_sent_at = 0;
    }
  }
  nev_dispatch_event(c, c->user_handler, step.event, &step.frame);
  erase_received(c, step.remove_at, step.remove_len);
  return 1;
}

namespace {

// Frames wait while the peer has not taken what was queued for it (pongs
// included), so a peer that sends without reading cannot grow our memory.
void parse_while_drained(nev_connection *c) {
  while (!nev_http_output_backlogged(c) && nev_ws_parse_frames(c)) {
  }
}

// Pings a peer that has been silent for a while, and closes one that leaves
// a ping unanswered for the time-out. Our own sends do not count: a peer
// that is gone would otherwise be kept for ever by our pings.
void keep_alive_step(nev_connection *c, int64_t now) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (!pd) return;
  if (pd->ws_heard_at == 0) pd->ws_heard_at = now;
  const double timeout = nev_http_limits_of(c).idle_timeout;
  if (pd->ws_ping_sent_at != 0) {
    if (timeout > 0 && double(now) >= double(pd->ws_ping_sent_at) + 1.0 + timeout) {
      NEV_LOG(3, ("%p no pong within %g s, closing", static_cast<void *>(c), timeout));
      c->flags |= NEV_CONN_CLOSE_NOW;
    }
    return;
  }
  if (now >= pd->ws_heard_at + NEV_WS_PING_INTERVAL) {
    nev_ws_send_frame(c, NEV_WS_OP_PING, "", 0);
    pd->ws_ping_sent_at = now;
  }
}

}  // namespace

void nev_ws_start_session(nev_connection *c) {
  if (nev_http_proto_data *pd = nev_http_proto_data_get(c)) {
    pd->ws_heard_at = int64_t(nev_now());
    pd->ws_ping_sent_at = 0;
  }
  parse_while_drained(c);
}

void nev_ws_protocol_handler(nev_connection *c, int event, void *data, nev_unlock_fn) {
  nev_dispatch_event(c, c->user_handler, event, data);
  if (event == NEV_EVENT_RECV) {
    nev_http_proto_data *pd = nev_http_proto_data_get(c);
    if (pd && data && *static_cast<const int *>(data) > 0) pd->ws_heard_at = int64_t(nev_now());
    parse_while_drained(c);
  } else if (event == NEV_EVENT_SEND && c->recv_buf.len > 0) {
    parse_while_drained(c);
  } else if (event == NEV_EVENT_POLL && data && (c->flags & NEV_CONN_WEBSOCKET)) {
    keep_alive_step(c, *static_cast<const int64_t *>(data));
  }
}
