// Static file serving: access list, URL rewrites, mapping of request URIs to
// files under the document root, index files, hidden files and password
// files, MIME types, byte ranges, conditional requests, pre-compressed
// variants, directory listings and OPTIONS.
//
// Serving runs on the thread of the connection being served and touches only
// that connection, its HTTP state and the file it opened. A file body is sent
// in large steps as the send buffer drains (nev_http_transfer_step, driven by
// the HTTP protocol handler); requests pipelined behind it wait until it ends.
#pragma once

#include <sys/stat.h>

#include <string>

#include "nev_http.h"

// Static-serving settings; every text member is zero-terminated or null
// (absent), every number 0 for its default. Passed by value: the engine's
// defaults fill only the callee's copy.
struct nev_serve_options {
  const char *document_root;             // "."
  const char *index_files;               // "index.html,index.htm,index.shtml,index.cgi,index.php"
  const char *dir_password_file;         // ".htpasswd"; never served
  const char *auth_domain;               // Digest realm; no check while null
  const char *global_auth_file;          // password file for the whole tree; never served
  const char *enable_directory_listing;  // exactly "yes" allows listings
  const char *ssi_pattern;               // "**.shtml$|**.shtm$"
  const char *access_list;               // "+1.2.3.0/24,-1.2.3.4"
  const char *url_rewrites;              // "/prefix=/dir,@host=/dir"
  const char *dav_root;                  // not used
  const char *dav_password_file;         // not used
  const char *hidden_pattern;            // names never served or listed
  const char *cgi_pattern;               // "**.cgi$|**.php$"
  const char *cgi_interpreter;           // runs every CGI script when set; else the script's "#!" line
  const char *extra_mime_types;          // ".ext=type,..." looked at first
  const char *extra_headers;             // lines added after the status line
  int proxy_timeout_s;                   // a proxied request's upstream must reply by then; 0: 30
  int cgi_timeout_s;                     // a CGI program is killed after running this long; 0: 30
  // Told of each Digest check of a request that names a user: before it
  // (result -1; may wait, on the connection's thread) and after it (1
  // accepted, 0 refused). Null: nobody is told.
  void (*digest_attempt)(const char *user, const char *address, int result);
};

// Answers the request completely from the file system.
void nev_http_serve_files(nev_connection *conn, const nev_http_view *view, nev_serve_options options);

// Fills the absent members with the engine's defaults.
void nev_serve_options_defaults(nev_serve_options &options);

// A request URI mapped to the file system.
struct nev_http_mapped {
  std::string path;                 // local path
  size_t root_length = 0;           // path[0..root_length) is the root the URI was mapped under
  nev_slice path_info{nullptr, 0};  // the URI's rest behind a regular file
};

// Maps the (already normalised) URI under the root chosen by url_rewrites or
// the document root. Percent escapes are decoded per component; "." and ".."
// never leave the root; a component that is empty after decoding, holds NUL,
// "/" or "\", or is not valid UTF-8 (overlong forms included) refuses the URI.
// Returns 1 mapped, 0 refused.
int nev_http_map_uri(const nev_http_view *view, const nev_serve_options &options, nev_http_mapped &out);

// Serves a mapped path (directory handling, authentication, the method and
// conditional checks, then the file or listing).
void nev_http_serve_mapped(nev_connection *conn, const nev_http_mapped &mapped, const nev_http_view *view,
                           const nev_serve_options &options);

// First entry of the comma list that names a regular file in dir; its status
// replaces *st. Returns 1 with index_path set, else 0.
int nev_http_find_index(const std::string &dir, const char *index_list, std::string &index_path, struct stat *st);

// The last "/"-separated element of path is hidden: "." or ".." (when
// dots_hidden), the per-directory password file name, or a match of
// hidden_pattern.
int nev_http_is_hidden(nev_slice path, const nev_serve_options &options, int dots_hidden);

// Any element of path behind the root is hidden, or path is the global
// password file.
int nev_http_path_is_hidden(const nev_http_mapped &mapped, const nev_serve_options &options);

// MIME type of a path: extra_mime_types first, then the built-in table; a
// ".gz" file whose shorter name has a known type gets that type and the
// encoding "gzip". Returns 1 when a type was found (mime set), else 0.
int nev_mime_type_of(nev_slice path, nev_slice *mime, nev_slice *encoding, const nev_serve_options &options);
// The built-in table's type for the path's extension; empty when none.
nev_slice nev_mime_builtin(nev_slice path);

// Reads "bytes=<first>-<last>" (last optional). Returns the number of values read.
int nev_http_parse_range(nev_slice value, int64_t *first, int64_t *last);

// The range of a file to send. status 200 (whole file), 206 or 416.
struct nev_http_range {
  int status = 200;
  int64_t first = 0;
  int64_t length = 0;
};
// Applies a Range header value (may be null) to a file of `size` bytes. A last
// byte past the end is clamped to the end; a first byte at or past the end,
// or first > last, gives 416; a suffix range or a malformed value is ignored.
nev_http_range nev_http_select_range(const nev_slice *range_header, int64_t size);

// 1 when If-None-Match equals the ETag (without regard to case), or, without
// it, when If-Modified-Since is not before the file's modification time.
int nev_http_is_not_modified(const nev_http_view *view, const struct stat &st);

// Sends one file as the reply: headers, then its body in transfer steps
// (none for HEAD). Errors answer 404/403/500 "Open failed".
void nev_http_send_file(nev_connection *conn, const nev_http_view *view, const char *path, nev_slice mime,
                        nev_slice encoding, nev_slice extra_headers);
// Sends that one file without content encoding.
void nev_http_serve_file(nev_connection *conn, const nev_http_view *view, const char *path, nev_slice mime,
                         nev_slice extra_headers);

// Moves the next part of the file being sent into the send buffer. Run by the
// HTTP protocol handler on every event while a file is being sent. Returns 1
// when a transfer ended in this step.
int nev_http_transfer_step(nev_connection *conn);

// A chunked HTML listing of the directory, then close after sending.
void nev_http_send_listing(nev_connection *conn, const std::string &dir, const nev_http_view *view,
                           const nev_serve_options &options);

// "200" with "Allow", then close after sending.
void nev_http_send_options(nev_connection *conn, const nev_serve_options &options);

// 1 for the methods that would change files (PUT, DELETE, MKCOL): static
// serving refuses them with 405.
int nev_http_is_dav_method(const nev_http_view *view);

// The methods static serving answers, as sent in "Allow".
constexpr const char *NEV_STATIC_ALLOW = "GET, POST, HEAD, OPTIONS";
