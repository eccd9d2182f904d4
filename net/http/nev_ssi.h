// Server-side includes: a file static serving selects with ssi_pattern is
// sent while it is read, each directive replaced by its result. "include"
// inserts another file (processed too when it matches ssi_pattern), "call"
// raises NEV_EVENT_SSI_CALL and NEV_EVENT_SSI_CALL_CTX to the connection's
// handler; other directives are dropped. The reply has no length and ends
// with the connection.
//
// Included files must lie inside the document root (after symbolic links
// are followed). Problems are written into the page where the directive was,
// and processing goes on: "SSI #include level is too deep (<path>)" beyond
// NEV_SSI_MAX_DEPTH levels or NEV_SSI_MAX_INCLUDES files in one page,
// "<path>: SSI tag is too large", "Bad SSI #include: [<arguments>]" and
// "SSI include error: nev_fopen(<path>): <reason>".
//
// Runs on the connection's thread within the request event.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "nev_http.h"
#include "nev_static.h"

constexpr int NEV_SSI_MAX_DEPTH = 10;
// Files one page may include in all: a file that includes itself twice would
// otherwise open 2^10 files before the depth limit stops it.
constexpr int NEV_SSI_MAX_INCLUDES = 256;
// A directive's text at most, and an include path.
constexpr size_t NEV_SSI_MAX_TAG = 510;
constexpr size_t NEV_SSI_MAX_PATH = 256;

// Event data of NEV_EVENT_SSI_CALL_CTX.
struct nev_ssi_call_ctx {
  const nev_http_view *request;
  nev_slice file_path;  // the SSI file being processed
  nev_slice argument;   // the text after "call" and one separator
};

// Reads a page to its end, splitting it into plain text (handed on in pieces)
// and directives: each whole "<!--#... --" (its ">" read and dropped) goes to
// on_directive, one growing past NEV_SSI_MAX_TAG is dropped with on_too_large,
// and a page that ends inside one hands what there was of it on as text.
void nev_ssi_scan(FILE *file, const std::function<void(const std::string &)> &on_text,
                  const std::function<void(const std::string &)> &on_directive,
                  const std::function<void()> &on_too_large);

// What a directive of nev_ssi_scan asks for, and the text after its name and
// one separator.
struct nev_ssi_directive {
  enum kind_t { other, include, call } kind;
  std::string arguments;
};
nev_ssi_directive nev_ssi_parse_directive(std::string tag);

// The file an include's arguments name (virtual="x" under the document root,
// abspath="x", file="x" or "x" beside the current file), or empty when they
// have none of these forms.
std::string nev_ssi_include_path(const std::string &current, const std::string &arguments, const char *document_root);

// Answers the request with the processed file; 404 when it cannot be opened.
void nev_ssi_serve(nev_connection *conn, const nev_http_view *request, const char *path,
                   const nev_serve_options &options);
