// CGI/1.1 programs for static serving: a file matching cgi_pattern runs as a
// child process with the CGI environment, the request body as its standard
// input and its standard output streamed back to the client behind a status
// line made from its own head (Status, or 302 for a Location).
//
// The program runs in a process group of its own, in the document root,
// with no descriptor of the server's open except its standard error. Its
// output arrives on a socket that is an ordinary connection of the client
// connection's manager (the "pipe"), so all of it runs on the client's
// polling thread. The pipe owns the program: when the pipe goes (output
// ended, time-out, client gone, server stopping) the whole process group is
// killed and the program reaped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "nev_http.h"
#include "nev_static.h"

// A program still running after this long is killed (504 when it had not
// sent its head yet), unless the serve options give their own time-out.
constexpr int NEV_CGI_DEFAULT_TIMEOUT_S = 30;
// The program's head (header lines and the blank line) at most; 500 beyond.
constexpr size_t NEV_CGI_MAX_HEAD = 8192;
// The environment: its texts (each "NAME=value" and its NUL) fill at most
// NEV_CGI_ENV_SIZE bytes and NEV_CGI_MAX_VARIABLES variables; what does not
// fit is left out.
constexpr size_t NEV_CGI_ENV_SIZE = 8190;
constexpr size_t NEV_CGI_MAX_VARIABLES = 62;

struct nev_cgi_env {
  std::vector<std::string> variables;
  size_t used = 0;
  // Adds one "name=value" when it fits. Returns false when it was left out.
  bool add(const std::string &name, nev_slice value);
};

// The CGI environment of a request: server, request and script variables,
// a few of the server's own (PATH, TMPDIR, ...) and one HTTP_ variable per
// request header ("Proxy" excepted: no program may take it for HTTP_PROXY).
void nev_cgi_prepare_env(nev_connection *conn, const char *script_path, nev_slice path_info,
                         const nev_http_view *request, const nev_serve_options &options, nev_cgi_env &env);

// The program's head at the front of its output: its length with the blank
// line, 0 while incomplete, -1 when malformed or longer than NEV_CGI_MAX_HEAD.
long nev_cgi_head_length(const char *data, size_t len);
// The status line for the program's head: 302 with a Location, the Status
// header's value, else 200. Empty when a line of the head is not a header or
// the Status value is not a three-digit code and a reason of one line.
std::string nev_cgi_status_line(const char *head, size_t length);

// Starts the script for the request. Failure to start answers 500 "CGI
// failure"; a program that ends without writing anything, or writes a head
// that is malformed or longer than NEV_CGI_MAX_HEAD, gets 500 "Bad headers".
void nev_cgi_run(nev_connection *conn, const char *script_path, nev_slice path_info, const nev_http_view *request,
                 const nev_serve_options &options);

// The HTTP layer's word that the client is going away: the pipe closes and
// its program is killed.
void nev_cgi_client_gone(nev_connection *pipe);
