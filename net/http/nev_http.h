// The engine's HTTP/1.x layer: request and reply parsing into slices of the
// receive buffer, chunked bodies, the protocol handler that raises the HTTP
// events, endpoints, and the reply helpers every HTTP-speaking part uses.
//
// Parsers here are functions of bytes: no socket, no logging. The protocol
// handler runs on the connection's polling thread without the manager's lock;
// every event it raises to a host or endpoint handler goes through
// nev_dispatch_event, which takes that lock around the call.
//
// Reply helpers append to the connection's send buffer under its mutex and
// stamp the last-I/O time; they may be called from any thread.
#pragma once

#include <sys/stat.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "nev_core.h"
#include "nev_str.h"

// ---- Events ----

constexpr int NEV_EVENT_HTTP_REQUEST = 100;  // data: nev_http_view (server side)
constexpr int NEV_EVENT_HTTP_REPLY = 101;    // data: nev_http_view (client side)
constexpr int NEV_EVENT_HTTP_CHUNK = 102;    // data: nev_http_view, body = bytes so far
constexpr int NEV_EVENT_SSI_CALL = 105;
constexpr int NEV_EVENT_SSI_CALL_CTX = 106;

// The engine's version text, shown by directory listings.
constexpr const char *NEV_VERSION_TEXT = "Nev/6.17";

// ---- The parsed message ----

// Header slots of a view; the last pair always stays empty, so at most 39
// headers are stored and an empty name ends the list for every reader.
constexpr size_t NEV_HTTP_HEADER_SLOTS = 40;
constexpr size_t NEV_HTTP_MAX_HEADERS = NEV_HTTP_HEADER_SLOTS - 1;

// Length of a message or body whose end is not known yet.
constexpr size_t NEV_HTTP_UNBOUNDED = SIZE_MAX;

// Event data of the HTTP events. Every slice points into the connection's
// receive buffer and is valid only during the event.
struct nev_http_view {
  nev_slice message;      // start line, headers and body
  nev_slice body;         // right after the head
  nev_slice method;       // "GET"; empty for replies
  nev_slice uri;          // target without "?" and query
  nev_slice protocol;     // "HTTP/1.1"
  int32_t status_code;    // replies: 100..599; requests: 0
  nev_slice status_text;  // reason text of a reply
  nev_slice query;        // after the first "?"; empty when none
  nev_slice header_name[NEV_HTTP_HEADER_SLOTS];
  nev_slice header_value[NEV_HTTP_HEADER_SLOTS];
};

// Limits of one listener (or the process default). Every limit is finite.
struct nev_http_limits {
  size_t max_head = 8192;                 // start line and headers; 431 past it
  uint64_t max_body = 64ull << 20;        // request body; 413 past it
  uint64_t max_ws_message = 16ull << 20;  // WebSocket message; close 1009 past it
  double idle_timeout = 60;               // seconds an idle HTTP connection stays open;
                                          // also how long a WebSocket ping waits for its pong
  // Seconds from the accept until the first request head must be complete;
  // a connection that sends nothing, or its head a byte at a time, is closed.
  double head_timeout = 30;
  // Reply bytes queued for a client beyond which its further requests or
  // frames, and its socket, are left unread until it has taken its replies;
  // a client that never reads then holds this much plus one read, not more.
  size_t max_send_backlog = 256 * 1024;
};

// Process-wide limits used by listeners without their own.
void nev_http_set_default_limits(const nev_http_limits &limits);
nev_http_limits nev_http_default_limits(void);
// Gives one listener (and the connections it accepts) its own limits.
void nev_http_set_limits(nev_connection *listener, const nev_http_limits &limits);
// The limits that apply to a connection: its listener's, else the default.
nev_http_limits nev_http_limits_of(nev_connection *conn);

// How the body of a parsed message is delimited.
struct nev_http_framing {
  int64_t content_length = -1;  // -1: no Content-Length
  bool chunked = false;         // Transfer-Encoding: chunked
};

// Finds the end of the head. Returns its length (the blank line included), 0
// when incomplete, -1 when a byte below 0x20 other than CR and LF, or 0x7F,
// appears in the head.
int nev_http_request_length(const char *buf, size_t len);

// Parses the head at buf and fills *view (only on success). Returns the head
// length (> 0), 0 while the head is incomplete, or a negated HTTP status for a
// head that must be refused:
//   -400 malformed (bad start line, control byte, obs-fold line, blank before
//        the colon, a bad, negative, duplicated or conflicting Content-Length,
//        Content-Length together with Transfer-Encoding),
//   -431 more headers than the view holds, or a head longer than max_head,
//   -413 a Content-Length above max_body (requests),
//   -501 a transfer coding other than chunked.
// Requests without Content-Length and chunked coding have an empty body;
// replies without them run to the connection's end (1xx, 204 and 304 have
// none). A chunked body is unbounded until reassembled.
int nev_http_parse_checked(const char *buf, size_t len, nev_http_view *view, int is_request,
                           const nev_http_limits &limits, nev_http_framing *framing);

// The same with the default limits; every refusal is -1.
int nev_http_parse(const char *buf, size_t len, nev_http_view *view, int is_request);

// A method of RFC 9110 or WebDAV (with case: "get" is not GET). The head
// parser leaves other methods to the handlers, which answer 501 where they
// serve none of them.
bool nev_http_is_known_method(nev_slice method);

// First header whose name equals `name` without regard to case, or NULL.
const nev_slice *nev_http_find_header(const nev_http_view *view, const char *name);

// A request that asks for a WebSocket: an Upgrade naming it, or a key.
bool nev_http_asks_for_websocket(const nev_http_view &view);
// False when the request carries an Origin whose host is not the Host
// header's (ports aside); a request without Origin is not a browser's.
bool nev_http_origin_allowed(const nev_http_view &view);
// The handshake rules of RFC 6455 section 4.2.1. Returns 0 when the request
// may be upgraded, else the status of the refusal (426: another version,
// 403: an Origin of another host).
int nev_http_check_upgrade_request(const nev_http_view &view);

// ---- Chunked bodies ----

enum class nev_http_dechunk_status { need_more, done, malformed, too_large };

// Decodes chunks in place. area[0..decoded) is body already decoded,
// area[decoded..length) raw input. Every complete chunk's data is moved behind
// the decoded body and its framing dropped; length and decoded are updated,
// total counts every decoded byte (also those a handler dropped). done: the
// last chunk and its trailers were consumed, and area[decoded..length) is what
// followed the body. Chunk sizes have at most 6 hex digits; extensions and
// trailer fields are accepted and dropped; framing must use CR LF.
nev_http_dechunk_status nev_http_dechunk(char *area, size_t &length, size_t &decoded, uint64_t &total,
                                         uint64_t max_body);

// Reads one chunk at buf: returns the bytes of the whole chunk (size line,
// data and CR LF), 0 when incomplete, -1 when malformed; *data and *size give
// the chunk data.
long nev_http_parse_chunk(const char *buf, size_t len, const char **data, size_t *size);

// ---- Per-connection state ----

// A file being sent as a reply body.
struct nev_http_file_state {
  int fd = -1;
  int64_t length = 0;  // bytes to send
  int64_t done = 0;    // bytes sent so far
  int64_t offset = 0;  // file position of the next byte
  int keep_alive = 0;  // 1: the connection stays open after the transfer
  int kind = 0;        // 0 none, 1 sending a file
  int reusable = 0;    // 1: a completed transfer parks fd in the reuse slot
  int corked = 0;      // 1: TCP_CORK holds the head until the body follows
};

// The last regular file a connection served, kept open: a keep-alive client
// asking for it again costs a stat of the path instead of an open and a
// close, or nothing when no change notice came since the last stat. The
// descriptor is reused only while the path still names the same inode with
// an unchanged status-change time (so no rename, permission, owner or
// content change happened since), which is when a fresh open would reach the
// same file with the same outcome.
struct nev_http_reuse_slot {
  std::string path;
  int fd = -1;  // -1: nothing parked (it may be lent to the running transfer)
  struct stat st {};  // the file's status when last verified
  // The change-notice generation under which st was read with the path
  // watched (nev_watch.h); 0: not watched, verify with a stat.
  uint64_t verified = 0;
  // The whole content of a file of at most NEV_HTTP_KEPT_BODY_MAX bytes, kept
  // with the parked descriptor when the file's status had not changed for a
  // while before it was read: a later change then has a newer status-change
  // time, which drops the bytes with the descriptor. A request the bytes can
  // answer costs the stat alone.
  std::string body;
  bool has_body = false;
};

// Largest file whose content a connection keeps in its reuse slot.
constexpr size_t NEV_HTTP_KEPT_BODY_MAX = 8 * 1024;

struct nev_http_endpoint {
  std::string pattern;
  std::string auth_domain;  // empty: no Digest check
  std::string auth_file;
  bool has_auth = false;
  nev_event_handler handler = nullptr;
};

struct nev_http_endpoint_options {
  void *user_data = nullptr;  // not used by the engine
  const char *auth_domain = nullptr;
  const char *auth_file = nullptr;
};

// Per-connection HTTP state, kept in the connection's protocol-data slot.
struct nev_http_proto_data {
  nev_http_file_state file;
  nev_http_reuse_slot reuse;
  // While the request being handled is one the last poll covered
  // (nev_connection::poll_fresh): a kept file verified under the current
  // change-notice generation needs no stat for it.
  bool request_fresh = false;
  // The per-directory password file last found missing, with the name's
  // arrival watched, and the change-notice generation of that look: while
  // it is current, a fresh request needs no open to know the file is still
  // missing. verified 0: nothing known.
  std::string missing_password_file;
  uint64_t missing_password_verified = 0;
  nev_connection *cgi_pipe = nullptr;
  size_t ws_gathered = 0;                    // WebSocket fragments gathered
  int64_t chunked_done = 0;                  // chunked body decoded so far
  std::vector<nev_http_endpoint> endpoints;  // newest first (listeners)
  nev_event_handler route_handler = nullptr;
  nev_connection *proxy_link = nullptr;
  size_t bytes_seen = 0;

  // The request at the front of the receive buffer.
  bool request_active = false;
  size_t head_length = 0;
  nev_http_framing framing;
  uint64_t body_total = 0;    // body bytes decoded or received, dropped ones included
  uint64_t body_dropped = 0;  // body bytes a handler dropped with NEV_CONN_DROP_CHUNK
  bool chunked_complete = false;
  bool head_method = false;     // HEAD: the reply carries no body
  bool head_seen = false;       // a first request head was complete
  int64_t accepted_at = 0;      // engine seconds of the accept (server side)
  int64_t ws_heard_at = 0;      // engine seconds of the WebSocket peer's last bytes
  int64_t ws_ping_sent_at = 0;  // our ping still waiting for its pong; 0 = none

  bool has_limits = false;  // listeners: limits given by nev_http_set_limits
  nev_http_limits limits;

  ~nev_http_proto_data();
};

nev_http_proto_data *nev_http_proto_data_get(nev_connection *conn);
// Destroys the connection's old state and installs a fresh one.
nev_http_proto_data *nev_http_proto_data_create(nev_connection *conn);
// The destructor installed in the protocol-data slot.
void nev_http_proto_data_destroy(void *data);

// ---- The protocol layer ----

// Installs the HTTP protocol handler; connections accepted on a listener
// inherit it.
void nev_http_attach(nev_connection *conn);
void nev_http_protocol_handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock);

// Endpoints: requests whose URI matches the pattern (nev_match_prefix_slice;
// the longest match wins, the newest of equal ones) go to the endpoint's
// handler, after a Digest check when the options give an auth domain and file.
void nev_http_register_endpoint(nev_connection *listener, const char *pattern, nev_event_handler handler);
void nev_http_register_endpoint_opt(nev_connection *listener, const char *pattern, nev_event_handler handler,
                                    nev_http_endpoint_options options);

// Serves the requests already buffered on a connection; the static file layer
// calls it when a file transfer ends.
void nev_http_process_buffered(nev_connection *conn);

// True while more reply bytes wait for the client than its limits allow: the
// HTTP and WebSocket layers then read no further request or frame of it.
bool nev_http_output_backlogged(nev_connection *conn);

// ---- Replies ----

const char *nev_http_status_text(int status_code);
// "HTTP/1.1 <code> <reason>\r\n", then the extra headers and "\r\n" when not empty.
void nev_http_status_line(nev_connection *conn, int status_code, const char *extra_headers);
void nev_http_status_line_slice(nev_connection *conn, int status_code, nev_slice extra_headers);
// A complete text/plain reply (message NULL: the reason phrase), then close
// after sending.
void nev_http_send_error(nev_connection *conn, int status_code, const char *message, const char *extra_headers);
// Status line, "Content-Length" (or "Transfer-Encoding: chunked" for a
// negative length) and the blank line.
void nev_http_send_head(nev_connection *conn, int status_code, int64_t content_length, const char *extra_headers);
// One chunk; length 0 ends the body.
void nev_http_send_chunk(nev_connection *conn, const void *data, size_t length);
void nev_http_printf_chunk(nev_connection *conn, const char *format, ...) __attribute__((format(printf, 2, 3)));
void nev_http_send_redirect(nev_connection *conn, int status_code, nev_slice location, nev_slice extra_headers);
// Formats and sends the text with "<" ">" "&" '"' "'" escaped.
void nev_http_printf_html_escaped(nev_connection *conn, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Appends text to out with "<" ">" "&" '"' "'" escaped.
void nev_html_escape_append(std::string &out, nev_slice text);

// ---- Header values, URLs, forms ----

// Value of parameter `name` in a header value (e.g. username="x" of an
// Authorization header). Written NUL-terminated into *buf when it fits
// (length + 1 <= size), else *buf is replaced by a malloc'd text the caller
// frees. Returns the value length, 0 when absent.
int nev_http_header_param(nev_slice value, const char *name, char **buf, size_t size);
// As above; a value that does not fit gives 0.
int nev_http_header_param_fixed(nev_slice value, const char *name, char *buf, size_t size);

// %xx decoding ("+" to blank with `form`); NUL-terminated. Returns the length,
// or -1 for a bad escape or when dst is too small.
int nev_url_decode(const char *src, size_t src_len, char *dst, size_t dst_size, int form);

// Form variable lookup in a query or urlencoded body. Returns the decoded
// length; -1 empty input, -2 no destination, -3 decoding failed, -4 not found.
int nev_http_get_var(nev_slice text, const char *name, char *dst, size_t dst_size);

// Splits the first part of a multipart body. Returns the bytes up to the next
// boundary (0 when the part is not complete yet); fills name, file name and
// the part's data.
size_t nev_http_parse_multipart(const char *buf, size_t len, char *name, size_t name_size, char *file_name,
                                size_t file_name_size, const char **data, size_t *data_len);

// ---- Dates and entity tags ----

// "Sun, 06 Nov 1994 08:49:37 GMT". Returns the characters written.
size_t nev_http_format_date(char *buf, size_t size, time_t t);
// Seconds since 1970 of an HTTP date in one of the usual forms; 0 when not
// understood or not after 1970.
time_t nev_http_parse_date(const char *text);
// "\"<mtime hex>.<size>\"". Returns the characters written.
size_t nev_http_etag(char *buf, size_t size, const struct stat &st);
