// Server-side include processing.
#include "nev_ssi.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "nev_log.h"
#include "nev_str.h"

namespace {

constexpr size_t TEXT_PIECE = 512;
constexpr const char *DIRECTIVE_OPENER = "<!--#";
constexpr size_t OPENER_LENGTH = 5;

using file_owner = std::unique_ptr<FILE, int (*)(FILE *)>;

file_owner open_file(const std::string &path) { return file_owner(std::fopen(path.c_str(), "rbe"), std::fclose); }

// One page being produced.
struct ssi_page {
  nev_connection *conn;
  const nev_http_view *request;
  const nev_serve_options &options;
  std::string root;  // the document root, symbolic links resolved
  int includes = 0;
};

void send_text(ssi_page &page, const std::string &text) {
  if (!text.empty()) nev_enqueue(page.conn, text.data(), text.size());
}

void process(ssi_page &page, const std::string &path, FILE *file, int level);

}  // namespace

std::string nev_ssi_include_path(const std::string &current, const std::string &arguments, const char *document_root) {
  size_t at = arguments.find_first_not_of(" \t\r\n");
  if (at == std::string::npos) return std::string();
  std::string rest = arguments.substr(at);
  auto quoted = [&rest](size_t from, std::string &out) {
    if (from >= rest.size() || rest[from] != '"') return false;
    const size_t close = rest.find('"', from + 1);
    if (close == std::string::npos) return false;
    out = rest.substr(from + 1, close - from - 1);
    return true;
  };
  std::string name;
  const size_t slash = current.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : current.substr(0, slash + 1);
  if (rest.compare(0, 8, "virtual=") == 0 && quoted(8, name)) return std::string(document_root) + "/" + name;
  if (rest.compare(0, 8, "abspath=") == 0 && quoted(8, name)) return name;
  if (rest.compare(0, 5, "file=") == 0 && quoted(5, name)) return directory + name;
  if (quoted(0, name)) return directory + name;
  return std::string();
}

namespace {

// Inside the document root once every link is followed: "../" or a link
// out of the tree cannot show a file of the server.
bool inside_root(const ssi_page &page, const std::string &path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) == nullptr) return false;
  const std::string resolved(real);
  return resolved.compare(0, page.root.size(), page.root) == 0 &&
         (resolved.size() == page.root.size() || resolved[page.root.size()] == '/' || page.root == "/");
}

// What a request may not fetch, an include may not show either: hidden
// names (libraries, password files, the configured patterns) and the source
// of CGI programs.
bool never_served(const ssi_page &page, const std::string &path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) == nullptr) return false;
  nev_http_mapped mapped;
  mapped.path = real;
  mapped.root_length = page.root == "/" ? 0 : page.root.size();
  if (nev_http_path_is_hidden(mapped, page.options)) return true;
  const char *cgi = page.options.cgi_pattern;
  return cgi != nullptr && *cgi != '\0' &&
         nev_match_prefix_slice(nev_slice_from_cstr(cgi), nev_slice{mapped.path.data(), mapped.path.size()}) > 0;
}

void copy_file(ssi_page &page, FILE *file) {
  char piece[TEXT_PIECE];
  size_t n;
  while ((n = std::fread(piece, 1, sizeof piece, file)) > 0) nev_enqueue(page.conn, piece, n);
}

void include(ssi_page &page, const std::string &current, const std::string &arguments, int level) {
  const std::string path = nev_ssi_include_path(current, arguments, page.options.document_root);
  if (path.empty() || path.size() > NEV_SSI_MAX_PATH) {
    send_text(page, "Bad SSI #include: [" + arguments + "]");
    return;
  }
  if (++page.includes > NEV_SSI_MAX_INCLUDES) {
    send_text(page, "SSI #include level is too deep (" + path + ")");
    return;
  }
  errno = 0;
  if (never_served(page, path)) {
    // Answered as a file that is not there, as a request for it would be.
    send_text(page, "SSI include error: nev_fopen(" + path + "): " + std::strerror(ENOENT));
    return;
  }
  file_owner file = inside_root(page, path) ? open_file(path) : file_owner(nullptr, std::fclose);
  if (!file) {
    const int error = errno == 0 || errno == ENOENT ? (access(path.c_str(), F_OK) == 0 ? EACCES : ENOENT) : errno;
    send_text(page, "SSI include error: nev_fopen(" + path + "): " + std::strerror(error));
    return;
  }
  const char *pattern = page.options.ssi_pattern;
  if (pattern != nullptr && *pattern != '\0' &&
      nev_match_prefix_slice(nev_slice_from_cstr(pattern), nev_slice{path.data(), path.size()}) > 0) {
    process(page, path, file.get(), level + 1);
  } else {
    copy_file(page, file.get());
  }
}

void call(ssi_page &page, const std::string &path, const std::string &argument) {
  std::string text = argument;
  nev_dispatch_event(page.conn, page.conn->user_handler, NEV_EVENT_SSI_CALL, text.data());
  nev_ssi_call_ctx ctx{page.request, nev_slice{path.data(), path.size()}, nev_slice{argument.data(), argument.size()}};
  nev_dispatch_event(page.conn, page.conn->user_handler, NEV_EVENT_SSI_CALL_CTX, &ctx);
}

void run_directive(ssi_page &page, const std::string &path, const std::string &tag, int level) {
  const nev_ssi_directive directive = nev_ssi_parse_directive(tag);
  if (directive.kind == nev_ssi_directive::include) {
    include(page, path, directive.arguments, level);
  } else if (directive.kind == nev_ssi_directive::call) {
    call(page, path, directive.arguments);
  }
}

void process(ssi_page &page, const std::string &path, FILE *file, int level) {
  if (level > NEV_SSI_MAX_DEPTH) {
    send_text(page, "SSI #include level is too deep (" + path + ")");
    return;
  }
  nev_ssi_scan(
      file, [&page](const std::string &text) { send_text(page, text); },
      [&](const std::string &tag) { run_directive(page, path, tag, level); },
      [&page, &path] { send_text(page, path + ": SSI tag is too large"); });
}

}  // namespace

nev_ssi_directive nev_ssi_parse_directive(std::string tag) {
  tag.resize(tag.size() - 2);  // "--"
  while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t' || tag.back() == '\r' || tag.back() == '\n'))
    tag.pop_back();
  const std::string body = tag.substr(OPENER_LENGTH);
  if (body.compare(0, 7, "include") == 0 && body.size() > 7) return {nev_ssi_directive::include, body.substr(8)};
  if (body.compare(0, 4, "call") == 0 && body.size() > 4) return {nev_ssi_directive::call, body.substr(5)};
  // Anything else (echo, config, ...) is not ours: dropped.
  return {nev_ssi_directive::other, std::string()};
}

void nev_ssi_scan(FILE *file, const std::function<void(const std::string &)> &on_text,
                  const std::function<void(const std::string &)> &on_directive,
                  const std::function<void()> &on_too_large) {
  std::string text, tag;
  bool in_tag = false;
  int c;
  while ((c = std::fgetc(file)) != EOF) {
    if (!in_tag) {
      if (c == '<') {
        on_text(text);
        text.clear();
        tag.assign(1, char(c));
        in_tag = true;
        continue;
      }
      text += char(c);
      if (text.size() >= TEXT_PIECE) {
        on_text(text);
        text.clear();
      }
      continue;
    }
    tag += char(c);
    if (tag.size() <= OPENER_LENGTH && tag.compare(0, tag.size(), DIRECTIVE_OPENER, tag.size()) != 0) {
      // Not a directive after all: plain text (a new "<" may start one).
      in_tag = false;
      if (c == '<') {
        tag.pop_back();
        on_text(tag);
        tag.assign(1, '<');
        in_tag = true;
        continue;
      }
      text = tag;
      continue;
    }
    if (c == '>' && tag.size() >= OPENER_LENGTH + 3 && tag.compare(tag.size() - 3, 2, "--") == 0) {
      tag.pop_back();
      on_directive(tag);
      in_tag = false;
      continue;
    }
    if (tag.size() >= NEV_SSI_MAX_TAG) {
      on_too_large();
      in_tag = false;
    }
  }
  // A file that ends inside a directive shows what there was of it.
  if (in_tag) text += tag;
  on_text(text);
}

void nev_ssi_serve(nev_connection *conn, const nev_http_view *request, const char *path,
                   const nev_serve_options &options) {
  NEV_LOG(4, ("%p %s", static_cast<void *>(conn), path));
  file_owner file = open_file(path);
  if (!file) {
    nev_http_send_error(conn, 404, nullptr, options.extra_headers);
    return;
  }
  nev_slice mime, encoding;
  if (!nev_mime_type_of(nev_slice_from_cstr(path), &mime, &encoding, options)) mime = nev_slice_from_cstr("text/plain");
  nev_http_status_line(conn, 200, options.extra_headers);
  nev_enqueue_format(conn, "Content-Type: %.*s\r\nConnection: close\r\n", int(mime.len), mime.p);
  if (encoding.len > 0) nev_enqueue_format(conn, "Content-Encoding: %.*s\r\n", int(encoding.len), encoding.p);
  nev_enqueue(conn, "\r\n", 2);
  char root[PATH_MAX];
  ssi_page page{conn, request, options, realpath(options.document_root, root) ? root : options.document_root};
  if (nev_slice_cmp_cstr(request->method, "HEAD") != 0) process(page, path, file.get(), 0);
  conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
}
