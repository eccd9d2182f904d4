// Outgoing HTTP and WebSocket connections opened from a URL.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "nev_client.h"
#include "nev_codec.h"
#include "nev_log.h"
#include "nev_tls.h"
#include "nev_ws.h"

namespace {

bool scheme_is(nev_slice scheme, const char *name) { return name != nullptr && nev_slice_cmp_cstr(scheme, name) == 0; }

void store_error(const nev_dial_options *options, const char *text) {
  if (options != nullptr && options->error_text != nullptr) *options->error_text = text;
}

// The certificate must name the host we meant to reach, not just come from
// a trusted authority.
bool require_host_name(nev_connection *conn, nev_slice host) {
  if (conn->tls == nullptr || conn->tls->ssl == nullptr) return false;
  const std::string name(host.p, host.len);
  SSL_set_hostflags(conn->tls->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(conn->tls->ssl, name.c_str()) == 1;
}

std::string text_of(nev_slice s) { return s.p != nullptr ? std::string(s.p, s.len) : std::string(); }

// A URL goes into the request line as it is: a space or a control byte in it
// would end that line early and let the URL write headers or a request of
// its own.
bool has_unsafe_byte(const char *url) {
  for (const char *p = url; *p != '\0'; ++p)
    if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7f) return true;
  return false;
}

}  // namespace

nev_connection *nev_dial_url(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                             const char *plain_scheme, const char *plain_scheme2, const char *tls_scheme,
                             const char *tls_scheme2, const char *url, nev_slice *path, nev_slice *user_info,
                             nev_slice *host) {
  nev_slice scheme{}, query{};
  unsigned port = 0;
  *path = *user_info = *host = nev_slice{nullptr, 0};
  if (url == nullptr || has_unsafe_byte(url) ||
      nev_parse_uri(nev_slice_from_cstr(url), &scheme, user_info, host, &port, path, &query, nullptr) != 0 ||
      host->len == 0) {
    store_error(options, "cannot parse url");
    return nullptr;
  }
  if (query.p != nullptr) path->len = size_t(query.p + query.len - path->p);
  bool tls;
  if (scheme.len == 0 || scheme_is(scheme, plain_scheme) || scheme_is(scheme, plain_scheme2)) {
    tls = false;
  } else if (scheme_is(scheme, tls_scheme) || scheme_is(scheme, tls_scheme2)) {
    tls = true;
  } else {
    return nullptr;
  }
  if (port == 0) port = tls ? 443 : 80;
  const std::string address = "tcp://" + text_of(*host) + ":" + std::to_string(port);
  NEV_LOG(3, ("%s use_ssl? %d %s", url, int(tls), address.c_str()));
  nev_dial_options dial = options != nullptr ? *options : nev_dial_options{};
  const bool verified = tls && dial.tls_ca != nullptr && std::strcmp(dial.tls_ca, "*") != 0;
  if (tls && dial.tls_ca == nullptr) dial.tls_ca = "*";
  nev_connection *conn = nev_dial_with_options(mgr, address.c_str(), handler, &dial);
  if (conn == nullptr) return nullptr;
  if (verified && !require_host_name(conn, *host)) {
    store_error(options, "cannot check the server's host name");
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return nullptr;
  }
  return conn;
}

nev_connection *nev_connect_http_base(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                                      const char *plain_scheme, const char *plain_scheme2, const char *tls_scheme,
                                      const char *tls_scheme2, const char *url, nev_slice *path, nev_slice *user_info,
                                      nev_slice *host) {
  nev_connection *conn = nev_dial_url(mgr, handler, options, plain_scheme, plain_scheme2, tls_scheme, tls_scheme2, url,
                                      path, user_info, host);
  if (conn != nullptr) nev_http_attach(conn);
  return conn;
}

nev_connection *nev_connect_http_opt(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                                     const char *url, const char *extra_headers, const char *post_data) {
  nev_slice path, user_info, host;
  nev_connection *conn =
      nev_connect_http_base(mgr, handler, options, "http", nullptr, "https", nullptr, url, &path, &user_info, &host);
  if (conn == nullptr) return nullptr;
  const bool post = post_data != nullptr && *post_data != '\0';
  const size_t post_length = post ? std::strlen(post_data) : 0;
  std::string auth;
  if (user_info.len > 0) {
    // The user, and ":" with the password only when there is one.
    const char *colon = nev_slice_chr(user_info, ':');
    std::string credentials(user_info.p, colon != nullptr ? size_t(colon - user_info.p) : user_info.len);
    if (colon != nullptr && colon + 1 < user_info.p + user_info.len)
      credentials.append(colon, size_t(user_info.p + user_info.len - colon));
    std::string encoded(credentials.size() / 3 * 4 + 8, '\0');
    encoded.resize(size_t(nev_base64_encode(credentials.data(), int(credentials.size()), encoded.data())));
    auth = "Authorization: Basic " + encoded + "\r\n";
  }
  nev_enqueue_format(conn, "%s %.*s HTTP/1.1\r\nHost: %.*s\r\nContent-Length: %zu\r\n%s%s\r\n%s",
                     post ? "POST" : "GET", path.len ? int(path.len) : 1, path.len ? path.p : "/", int(host.len),
                     host.p, post_length, auth.c_str(), extra_headers != nullptr ? extra_headers : "",
                     post ? post_data : "");
  return conn;
}

nev_connection *nev_connect_http(nev_manager *mgr, nev_event_handler handler, const char *url,
                                 const char *extra_headers, const char *post_data) {
  return nev_connect_http_opt(mgr, handler, nullptr, url, extra_headers, post_data);
}

nev_connection *nev_connect_ws_opt(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                                   const char *url, const char *protocol, const char *extra_headers) {
  nev_slice path, user_info, host;
  nev_connection *conn =
      nev_connect_http_base(mgr, handler, options, "http", "ws", "https", "wss", url, &path, &user_info, &host);
  if (conn == nullptr) return nullptr;
  nev_ws_client_handshake_slices(conn, path.len ? path : nev_slice_from_cstr("/"), host, nev_slice_from_cstr(protocol),
                                 nev_slice_from_cstr(extra_headers), nev_slice{nullptr, 0}, nev_slice{nullptr, 0});
  return conn;
}

nev_connection *nev_connect_ws(nev_manager *mgr, nev_event_handler handler, const char *url, const char *protocol,
                               const char *extra_headers) {
  return nev_connect_ws_opt(mgr, handler, nullptr, url, protocol, extra_headers);
}
