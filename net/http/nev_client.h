// The HTTP client side: outgoing HTTP and WebSocket connections from a URL,
// and the two url_rewrites rules that send a request elsewhere instead of
// serving it from files: the reverse proxy ("/prefix=http://host:port/path")
// and the port redirect ("%8080=https://host:8443").
//
// Threading: everything runs on the polling thread of the client connection;
// a proxied request's upstream connection is dialled into the same manager.
// The two connections name each other (the client's proxy_link, the
// upstream's proxy record) until the reply has been forwarded or either side
// is gone; whichever goes first unlinks the other.
#pragma once

#include <cstddef>

#include "nev_http.h"
#include "nev_io.h"
#include "nev_static.h"

// How long an upstream may take to answer a proxied request, when the serve
// options give no time-out of their own.
constexpr int NEV_PROXY_DEFAULT_TIMEOUT_S = 30;
// Largest upstream reply (head and body) the proxy forwards; 502 beyond it.
constexpr size_t NEV_PROXY_MAX_REPLY = 64u << 20;

// Proxy rules of url_rewrites. The request path is normalised first ("." and
// ".." resolved), so ".." cannot climb out of a rule; a path under a rule
// that holds an encoded "/", "\" or "." is refused with 400. Returns 1 when a
// rule took the request (it is proxied or answered), else 0.
int nev_http_proxy_rewrites(nev_connection *conn, const nev_http_view *request, const nev_serve_options &options);
// The "%<local port>" rule: 301 to its value followed by the request target
// as received (query included). Returns 1 when sent, else 0.
int nev_http_port_redirect(nev_connection *conn, const nev_http_view *request, const nev_serve_options &options);
// Sends the request to upstream (a URL prefix) followed by the path's rest
// after rule_key and the query; the reply is forwarded to the client with
// its head rewritten: hop-by-hop headers left out, a chunked or close-framed
// body sent with its Content-Length, no body after HEAD, 1xx, 204 and 304.
// 502 when the upstream cannot be reached, closes before a whole reply or
// sends a malformed or oversized one; 504 when it does not reply within the
// time-out. The client connection closes after the reply.
void nev_http_reverse_proxy(nev_connection *client, const nev_http_view *request, nev_slice normalized_path,
                            nev_slice rule_key, nev_slice upstream, const nev_serve_options &options);
// The HTTP layer's word that the client side of a proxied request is going
// away: the upstream is closed and forgets it.
void nev_http_proxy_client_gone(nev_connection *upstream);

// Opens a connection from a URL: plain for no scheme or one of the plain
// schemes (port 80 by default), TLS for one of the TLS schemes (port 443);
// NULL for another scheme or an unparsable URL ("cannot parse url"). With a
// CA file in the options the server's certificate must name the URL's host;
// without one, TLS runs unverified. The HTTP protocol layer is attached.
// path (with "?" and the query), user_info and host point into url.
nev_connection *nev_connect_http_base(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                                      const char *plain_scheme, const char *plain_scheme2, const char *tls_scheme,
                                      const char *tls_scheme2, const char *url, nev_slice *path, nev_slice *user_info,
                                      nev_slice *host);
// The same without the HTTP layer: the handler reads the raw bytes.
nev_connection *nev_dial_url(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                             const char *plain_scheme, const char *plain_scheme2, const char *tls_scheme,
                             const char *tls_scheme2, const char *url, nev_slice *path, nev_slice *user_info,
                             nev_slice *host);
// GET (POST when post_data is not empty) of url; NEV_EVENT_HTTP_REPLY brings
// the reply. extra_headers are whole lines ending in CR LF.
nev_connection *nev_connect_http_opt(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                                     const char *url, const char *extra_headers, const char *post_data);
nev_connection *nev_connect_http(nev_manager *mgr, nev_event_handler handler, const char *url,
                                 const char *extra_headers, const char *post_data);
// A WebSocket client connection ("ws"/"http" plain, "wss"/"https" TLS).
nev_connection *nev_connect_ws_opt(nev_manager *mgr, nev_event_handler handler, const nev_dial_options *options,
                                   const char *url, const char *protocol, const char *extra_headers);
nev_connection *nev_connect_ws(nev_manager *mgr, nev_event_handler handler, const char *url, const char *protocol,
                               const char *extra_headers);
