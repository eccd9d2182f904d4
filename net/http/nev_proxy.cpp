// The reverse proxy and the port redirect of url_rewrites.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "nev_client.h"
#include "nev_codec.h"
#include "nev_log.h"
#include "nev_socket.h"

namespace {

// What the upstream connection knows of its request (its user data).
struct proxy_upstream {
  nev_connection *client = nullptr;  // NULL once the client is gone
  bool head_request = false;         // the reply has no body whatever it says
  bool answered = false;             // the client got its reply (or an error)
  std::string extra_headers;
  // A chunked body is decoded in place as it arrives.
  size_t head_length = 0;
  size_t decoded = 0;
  uint64_t decoded_total = 0;
};

// Hop-by-hop headers (RFC 9110 section 7.6.1): they describe one connection
// and never pass a proxy.
bool is_hop_by_hop(nev_slice name) {
  for (const char *hop : {"Connection", "Keep-Alive", "Proxy-Connection", "Proxy-Authenticate", "Proxy-Authorization",
                          "TE", "Trailer", "Transfer-Encoding", "Upgrade"})
    if (nev_slice_casecmp_cstr(name, hop) == 0) return true;
  return false;
}

// Also hop-by-hop: the headers a Connection header names.
bool named_by_connection(const nev_http_view &view, nev_slice name) {
  for (size_t i = 0; view.header_name[i].len > 0; ++i) {
    if (nev_slice_casecmp_cstr(view.header_name[i], "Connection") != 0) continue;
    const nev_slice list = view.header_value[i];
    const char *end = list.p + list.len;
    nev_slice token;
    for (const char *cursor = list.p; cursor < end;) {
      nev_skip_token(&cursor, end, ", \t", &token);
      if (token.len > 0 && nev_slice_casecmp(token, name) == 0) return true;
    }
  }
  return false;
}

bool passes_proxy(const nev_http_view &view, size_t i) {
  return !is_hop_by_hop(view.header_name[i]) && !named_by_connection(view, view.header_name[i]);
}

void append_header(std::string &out, nev_slice name, nev_slice value) {
  out.append(name.p, name.len);
  out += ": ";
  out.append(value.p, value.len);
  out += "\r\n";
}

proxy_upstream *state_of(nev_connection *upstream) { return static_cast<proxy_upstream *>(upstream->user_data); }

// The client's reply when the upstream gave none it could forward.
void answer_error(nev_connection *upstream, proxy_upstream *st, int status, const char *why) {
  upstream->flags |= NEV_CONN_CLOSE_NOW;
  if (st->answered || st->client == nullptr) return;
  st->answered = true;
  NEV_LOG(1, ("%p upstream %p: %s, answering %d", static_cast<void *>(st->client), static_cast<void *>(upstream), why,
              status));
  nev_http_send_error(st->client, status, nullptr, st->extra_headers.empty() ? nullptr : st->extra_headers.c_str());
}

bool has_no_body(const proxy_upstream *st, int status) {
  return st->head_request || (status >= 100 && status < 200) || status == 204 || status == 304;
}

// The head the client gets: the upstream's status and end-to-end headers,
// the body's real length, and the close that ends our side.
std::string client_head(const nev_http_view &view, const nev_http_framing &framing, bool no_body, size_t body_length) {
  char line[64];
  std::snprintf(line, sizeof line, "HTTP/1.1 %d ", int(view.status_code));
  std::string head = line;
  head.append(view.status_text.p, view.status_text.len);
  head += "\r\n";
  const bool keep_length = no_body ? view.status_code != 204 : framing.content_length >= 0;
  for (size_t i = 0; view.header_name[i].len > 0; ++i) {
    if (!passes_proxy(view, i)) continue;
    if (nev_slice_casecmp_cstr(view.header_name[i], "Content-Length") == 0 && !keep_length) continue;
    append_header(head, view.header_name[i], view.header_value[i]);
  }
  if (!no_body && framing.content_length < 0) head += "Content-Length: " + std::to_string(body_length) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head;
}

enum class reply_progress { waiting, forwarded, refused };

// Forwards the reply at the front of the upstream's buffer once it is whole
// (at_close: the upstream has ended, so a reply framed by the close is).
reply_progress forward_reply(nev_connection *upstream, proxy_upstream *st, bool at_close) {
  nev_mutex_guard guard(upstream->recv_buf.mutex);
  nev_buffer &buf = upstream->recv_buf;
  nev_http_view view;
  nev_http_framing framing;
  for (;;) {
    const int head = nev_http_parse_checked(buf.data, buf.len, &view, 0, nev_http_default_limits(), &framing);
    if (head < 0) return reply_progress::refused;
    if (head == 0) return at_close ? reply_progress::refused : reply_progress::waiting;
    // An interim reply (100 Continue) is not the answer: drop it.
    if (view.status_code >= 100 && view.status_code < 200 && view.status_code != 101) {
      nev_buffer_drop_front(&buf, size_t(head));
      continue;
    }
    st->head_length = size_t(head);
    break;
  }
  const bool no_body = has_no_body(st, view.status_code);
  size_t body_length = 0;
  if (!no_body && framing.chunked) {
    size_t length = buf.len - st->head_length;
    const auto status =
        nev_http_dechunk(buf.data + st->head_length, length, st->decoded, st->decoded_total, NEV_PROXY_MAX_REPLY);
    buf.len = st->head_length + length;
    if (status == nev_http_dechunk_status::malformed || status == nev_http_dechunk_status::too_large)
      return reply_progress::refused;
    if (status == nev_http_dechunk_status::need_more)
      return at_close ? reply_progress::refused : reply_progress::waiting;
    body_length = st->decoded;
  } else if (!no_body && framing.content_length >= 0) {
    if (buf.len - st->head_length < uint64_t(framing.content_length))
      return at_close ? reply_progress::refused : reply_progress::waiting;
    body_length = size_t(framing.content_length);
  } else if (!no_body) {
    if (!at_close) return reply_progress::waiting;
    body_length = buf.len - st->head_length;
  }
  // The slices of view point into buf: the head is built before anything moves.
  const std::string head = client_head(view, framing, no_body, body_length);
  nev_enqueue(st->client, head.data(), head.size());
  if (body_length > 0) nev_enqueue(st->client, buf.data + st->head_length, body_length);
  return reply_progress::forwarded;
}

void after_data(nev_connection *upstream, proxy_upstream *st, bool at_close) {
  if (st->answered || st->client == nullptr) return;
  if (upstream->recv_buf.len > NEV_PROXY_MAX_REPLY) {
    answer_error(upstream, st, 502, "reply too large");
    return;
  }
  switch (forward_reply(upstream, st, at_close)) {
    case reply_progress::waiting:
      return;
    case reply_progress::refused:
      answer_error(upstream, st, 502, at_close ? "closed before a whole reply" : "malformed reply");
      return;
    case reply_progress::forwarded:
      st->answered = true;
      st->client->flags |= NEV_CONN_CLOSE_AFTER_SEND;
      upstream->flags |= NEV_CONN_CLOSE_NOW;
      return;
  }
}

void unlink_client(proxy_upstream *st) {
  if (st->client == nullptr) return;
  if (nev_http_proto_data *pd = nev_http_proto_data_get(st->client)) pd->proxy_link = nullptr;
  // The reply (or the error) is queued: the client's request is over.
  st->client->flags |= NEV_CONN_CLOSE_AFTER_SEND;
  nev_connection_wake(st->client);
  st->client = nullptr;
}

void upstream_handler(nev_connection *upstream, int event, void *data, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(upstream);
  proxy_upstream *st = state_of(upstream);
  if (st == nullptr) {
    if (event != NEV_EVENT_POLL) NEV_LOG(4, ("%p: upstream closed", static_cast<void *>(upstream)));
    return;
  }
  switch (event) {
    case NEV_EVENT_CONNECT:
      if (*static_cast<int *>(data) != 0) answer_error(upstream, st, 502, "cannot connect");
      break;
    case NEV_EVENT_RECV:
      after_data(upstream, st, false);
      break;
    case NEV_EVENT_TIMER:
      answer_error(upstream, st, 504, "no reply in time");
      break;
    case NEV_EVENT_CLOSE:
      after_data(upstream, st, true);
      if (!st->answered) answer_error(upstream, st, 502, "closed before replying");
      unlink_client(st);
      upstream->user_data = nullptr;
      delete st;
      break;
    default:
      break;
  }
}

// The request line, headers and body for the upstream.
std::string upstream_request(const nev_http_view *request, nev_slice path, nev_slice host, unsigned port) {
  std::string out(request->method.p, request->method.len);
  out += ' ';
  if (path.len == 0) {
    out += '/';
  } else {
    out.append(path.p, path.len);
  }
  out += " HTTP/1.1\r\nHost: ";
  out.append(host.p, host.len);
  if (port != 0) out += ":" + std::to_string(port);
  out += "\r\n";
  for (size_t i = 0; request->header_name[i].len > 0; ++i) {
    const nev_slice name = request->header_name[i];
    if (nev_slice_casecmp_cstr(name, "Host") == 0 || nev_slice_casecmp_cstr(name, "Content-Length") == 0) continue;
    if (nev_slice_casecmp_cstr(name, "Expect") == 0 &&
        nev_slice_casecmp_cstr(request->header_value[i], "100-continue") == 0)
      continue;
    if (!passes_proxy(*request, i)) continue;
    append_header(out, name, request->header_value[i]);
  }
  // The body arrived whole (a chunked one reassembled): its length frames it.
  if (request->body.len > 0 || nev_http_find_header(request, "Content-Length") != nullptr ||
      nev_http_find_header(request, "Transfer-Encoding") != nullptr)
    out += "Content-Length: " + std::to_string(request->body.len) + "\r\n";
  out += "Connection: close\r\n\r\n";
  out.append(request->body.p, request->body.len);
  return out;
}

// An escape that decodes to "/", "\" or "." would let the upstream see a
// path other than the one the rule was matched against.
bool has_encoded_separator(nev_slice path) {
  for (size_t i = 0; i + 2 < path.len; ++i) {
    if (path.p[i] != '%') continue;
    const int value = nev_hex_digit_value(path.p[i + 1]) * 16 + nev_hex_digit_value(path.p[i + 2]);
    if (nev_hex_digit_value(path.p[i + 1]) >= 0 && nev_hex_digit_value(path.p[i + 2]) >= 0 &&
        (value == '/' || value == '\\' || value == '.'))
      return true;
  }
  return false;
}

bool is_upstream_url(nev_slice value) {
  return nev_slice_starts_with(value, nev_slice_from_cstr("http://")) ||
         nev_slice_starts_with(value, nev_slice_from_cstr("https://"));
}

}  // namespace

void nev_http_proxy_client_gone(nev_connection *upstream) {
  proxy_upstream *st = state_of(upstream);
  if (st == nullptr) return;
  st->client = nullptr;
  upstream->flags |= NEV_CONN_CLOSE_NOW;
}

int nev_http_proxy_rewrites(nev_connection *conn, const nev_http_view *request, const nev_serve_options &options) {
  if (options.url_rewrites == nullptr) return 0;
  std::string normalized(request->uri.p, request->uri.len);
  nev_slice path{normalized.data(), 0};
  if (!nev_normalize_uri_path(nev_slice{normalized.data(), normalized.size()}, &path)) return 0;
  nev_slice key, value;
  for (const char *rest = options.url_rewrites; (rest = nev_next_list_entry(rest, &key, &value)) != nullptr;) {
    if (key.len == 0 || !is_upstream_url(value) || !nev_slice_starts_with(path, key)) continue;
    if (has_encoded_separator(path)) {
      nev_http_send_error(conn, 400, nullptr, options.extra_headers);
      return 1;
    }
    nev_http_reverse_proxy(conn, request, path, key, value, options);
    return 1;
  }
  return 0;
}

int nev_http_port_redirect(nev_connection *conn, const nev_http_view *request, const nev_serve_options &options) {
  if (options.url_rewrites == nullptr) return 0;
  sockaddr_in local{};
  nev_iface_get_address(conn, 0, &local);
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "%%%u", unsigned(ntohs(local.sin_port)));
  nev_slice key, value;
  for (const char *rest = options.url_rewrites; (rest = nev_next_list_entry(rest, &key, &value)) != nullptr;) {
    if (nev_slice_cmp_cstr(key, wanted) != 0) continue;
    nev_enqueue_format(conn, "HTTP/1.1 %d %s\r\n", 301, nev_http_status_text(301));
    nev_enqueue_format(conn, "Content-Length: 0\r\nLocation: %.*s%.*s%s%.*s\r\n\r\n", int(value.len), value.p,
                       int(request->uri.len), request->uri.p, request->query.len ? "?" : "", int(request->query.len),
                       request->query.p);
    return 1;
  }
  return 0;
}

void nev_http_reverse_proxy(nev_connection *client, const nev_http_view *request, nev_slice normalized_path,
                            nev_slice rule_key, nev_slice upstream, const nev_serve_options &options) {
  std::string url(upstream.p, upstream.len);
  url.append(normalized_path.p + rule_key.len, normalized_path.len - rule_key.len);
  if (request->query.len > 0) url += "?" + std::string(request->query.p, request->query.len);
  auto st = std::make_unique<proxy_upstream>();
  st->client = client;
  st->head_request = nev_slice_cmp_cstr(request->method, "HEAD") == 0;
  if (options.extra_headers != nullptr) st->extra_headers = options.extra_headers;
  const char *error = "cannot parse url";
  nev_dial_options dial{};
  dial.error_text = &error;
  dial.user_data = st.get();
  nev_slice path, user_info, host;
  nev_connection *up = nev_dial_url(client->manager, upstream_handler, &dial, "http", nullptr, "https", nullptr,
                                    url.c_str(), &path, &user_info, &host);
  NEV_LOG(3, ("Proxying %.*s to %s (rule: %.*s)", int(request->uri.len), request->uri.p, url.c_str(), int(rule_key.len),
              rule_key.p));
  if (up == nullptr) {
    NEV_LOG(0, ("Error connecting to %s: %s", url.c_str(), error));
    nev_http_send_error(client, 502, nullptr, options.extra_headers);
    return;
  }
  unsigned port = 0;
  nev_parse_uri(nev_slice{url.data(), url.size()}, nullptr, nullptr, nullptr, &port, nullptr, nullptr, nullptr);
  const std::string bytes = upstream_request(request, path, host, port);
  nev_enqueue(up, bytes.data(), bytes.size());
  const int timeout_s = options.proxy_timeout_s > 0 ? options.proxy_timeout_s : NEV_PROXY_DEFAULT_TIMEOUT_S;
  nev_timer_set(up, nev_now() + timeout_s);
  nev_http_proto_data *pd = nev_http_proto_data_get(client);
  if (pd == nullptr) pd = nev_http_proto_data_create(client);
  pd->proxy_link = up;
  st.release();
}
