// Static file serving over a connection: the request walk, file replies sent
// in large steps as the send buffer drains, directory listings, OPTIONS.
#include "nev_static.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>

#include "nev_cgi.h"
#include "nev_client.h"
#include "nev_codec.h"
#include "nev_digest.h"
#include "nev_file.h"
#include "nev_log.h"
#include "nev_ssi.h"
#include "nev_socket.h"
#include "nev_watch.h"

namespace {

// A file body goes out in steps of up to kFillTarget bytes, refilled once the
// send buffer has drained below kRefillBelow: large enough that the socket,
// not the poll rounds, bounds the throughput; small enough to keep memory per
// connection bounded whatever the file size.
constexpr size_t kFillTarget = 256 * 1024;
constexpr size_t kRefillBelow = 64 * 1024;
// What a directly sent file (sendfile) queues in the send buffer: the part
// behind the headers, and a piece whenever the socket is full.
constexpr size_t kDirectWaker = 32 * 1024;

nev_slice cstr(const char *s) { return nev_slice_from_cstr(s); }

const char *extra_of(const nev_serve_options &o) { return o.extra_headers; }

bool matches(const char *pattern, const std::string &path) {
  return pattern && *pattern && nev_match_prefix_slice(cstr(pattern), nev_slice{path.data(), path.size()}) > 0;
}

int status_of_errno(int err) {
  if (err == ENOENT || err == ENOTDIR) return 404;
  if (err == EACCES || err == EPERM) return 403;
  return 500;
}

// Opens a path for sending and reads its status. O_NONBLOCK: a FIFO under the
// root must not stall the connection's thread. The descriptor is -1 when the
// file cannot be opened (errno kept in open_error).
struct opened_file {
  nev_unique_fd fd;
  struct stat st {};
  bool exists = false;
  bool reused = false;  // the descriptor came from the reuse slot, whose identity it still has
  uint64_t verified = 0;  // the change-notice generation st was read under, path watched; 0: none
  int open_error = 0;
  const char *path = nullptr;  // the caller's text, valid for the request
};

bool same_file(const nev_http_reuse_slot &slot, const struct stat &st) {
  return S_ISREG(st.st_mode) && st.st_dev == slot.st.st_dev && st.st_ino == slot.st.st_ino &&
         st.st_ctim.tv_sec == slot.st.st_ctim.tv_sec && st.st_ctim.tv_nsec == slot.st.st_ctim.tv_nsec;
}

void forget_body(nev_http_reuse_slot &slot) {
  slot.body = std::string();
  slot.has_body = false;
}

// The descriptor parked for this path when the path still names that file
// (st then holds its fresh status), else -1; a stale one is closed.
int take_parked(nev_http_proto_data *pd, const char *path, struct stat &st) {
  if (pd == nullptr || pd->reuse.fd < 0 || pd->reuse.path != path) return -1;
  const int fd = pd->reuse.fd;
  pd->reuse.fd = -1;
  if (nev_file_stat(path, &st) == 0 && same_file(pd->reuse, st)) return fd;
  ::close(fd);
  forget_body(pd->reuse);
  return -1;
}

// Records which file the reuse slot stands for; a descriptor parked for
// another file is closed.
void remember_file(nev_http_proto_data *pd, const char *path, const struct stat &st, uint64_t verified) {
  nev_http_reuse_slot &slot = pd->reuse;
  if (slot.fd >= 0) ::close(slot.fd);
  slot.fd = -1;
  forget_body(slot);
  slot.path = path;
  slot.st = st;
  slot.verified = verified;
  // A transfer still holding a descriptor of the old identity must not park
  // it under the new one.
  pd->file.reusable = 0;
}

// With keep_body a descriptor taken from the slot goes back under the same
// identity, so the body kept with it stays.
void park_file(nev_http_proto_data *pd, opened_file &file, bool keep_body = false) {
  if (pd == nullptr || file.path == nullptr || file.fd.get() < 0 || !S_ISREG(file.st.st_mode)) return;
  if (keep_body && file.reused) {
    pd->reuse.st = file.st;
    pd->reuse.verified = file.verified;
  } else {
    remember_file(pd, file.path, file.st, file.verified);
  }
  pd->reuse.fd = file.fd.release();
}

opened_file open_for_sending(nev_connection *c, nev_http_proto_data *pd, const char *path) {
  opened_file f;
  f.path = path;
  if (pd != nullptr && pd->reuse.fd >= 0 && pd->reuse.path == path) {
    nev_http_reuse_slot &slot = pd->reuse;
    // No change notice since the last stat, and the request came after the
    // poll that would have reported one: the kept file stands unchecked.
    if (pd->request_fresh && slot.verified != 0 && slot.verified == nev_watch_generation()) {
      f.fd = nev_unique_fd(slot.fd);
      slot.fd = -1;
      f.st = slot.st;
      f.exists = true;
      f.reused = true;
      f.verified = slot.verified;
      return f;
    }
    // A path asked for again is watched (so only files that were served
    // are). Generation first, then the watches, then the stat or open: a
    // change after the stat is noticed, one before it is seen by it.
    const uint64_t generation = nev_watch_generation();
    if (generation != 0 && nev_watch_path(path)) {
      f.verified = generation;
      c->wants_notices = 1;
    }
  }
  const int parked = take_parked(pd, path, f.st);
  if (parked >= 0) {
    f.fd = nev_unique_fd(parked);
    f.exists = true;
    f.reused = true;
    return f;
  }
  f.fd = nev_unique_fd(nev_file_open(path, O_RDONLY | O_NONBLOCK, 0));
  if (f.fd.get() >= 0) {
    f.exists = fstat(f.fd.get(), &f.st) == 0;
    if (!f.exists) f.fd = nev_unique_fd();
  } else {
    f.open_error = errno;
    f.exists = nev_file_stat(path, &f.st) == 0;  // unreadable, or missing
  }
  return f;
}

void send_opened_file(nev_connection *c, const nev_http_view *view, opened_file &file, nev_slice mime,
                      nev_slice encoding, nev_slice extra_headers);

nev_http_proto_data *state_of(nev_connection *c) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  return pd ? pd : nev_http_proto_data_create(c);
}

bool wants_keep_alive(const nev_http_view *view) {
  if (const nev_slice *conn = nev_http_find_header(view, "Connection"))
    return nev_slice_casecmp_cstr(*conn, "keep-alive") == 0 && conn->len == 10;
  return nev_slice_cmp_cstr(view->protocol, "HTTP/1.1") == 0;
}

// Ends the file transfer; the descriptor of one that completed goes back to
// the reuse slot, any other is closed.
void end_transfer(nev_http_proto_data *pd, bool completed) {
  nev_http_file_state &file = pd->file;
  if (file.fd >= 0) {
    if (completed && file.reusable && pd->reuse.fd < 0)
      pd->reuse.fd = file.fd;
    else
      ::close(file.fd);
  }
  file = nev_http_file_state{};
}

// Corked, the socket sends only full segments until uncorked, which pushes
// the rest at once.
void set_cork(nev_connection *c, nev_http_file_state &file, bool on) {
  int value = on ? 1 : 0;
  setsockopt(c->sock, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
  file.corked = on ? 1 : 0;
}

// A reply that starts while another file is still being sent (a handler
// sending a second file) ends that transfer, which must not leave the socket
// corked.
void abandon_transfer(nev_connection *c, nev_http_proto_data *pd) {
  if (pd->file.corked) set_cork(c, pd->file, false);
  end_transfer(pd, false);
}

// The Location of a directory's slash form, from the normalised path: runs of
// "/" become one, so it never starts with "//" (which a browser follows to
// another host), and a backslash, blank, control or non-ASCII byte is escaped.
std::string directory_location(nev_slice uri) {
  std::string out = "/";
  for (size_t i = 0; i < uri.len; ++i) {
    const unsigned char b = static_cast<unsigned char>(uri.p[i]);
    if (b == '/') {
      if (out.back() != '/') out += '/';
    } else if (b <= 0x20 || b >= 0x7f || b == '\\') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", b);
      out += escaped;
    } else {
      out += char(b);
    }
  }
  if (out.back() != '/') out += '/';
  return out;
}

// A redirect to the directory with its trailing "/"; the connection stays open.
void redirect_to_directory(nev_connection *c, const nev_http_view *view) {
  std::string reply = "HTTP/1.1 301 Moved\r\nLocation: " + directory_location(view->uri);
  reply += "\r\nContent-Length: 0\r\n\r\n";
  nev_enqueue(c, reply.data(), reply.size());
}

// The methods static serving answers; every other known one gets 405.
bool is_served_method(nev_slice method) {
  for (const char *served : {"GET", "HEAD", "POST", "OPTIONS"})
    if (nev_slice_cmp_cstr(method, served) == 0) return true;
  return false;
}

void send_not_modified(nev_connection *c, const nev_serve_options &o) {
  nev_http_status_line(c, 304, extra_of(o));
  nev_enqueue_format(c, "Content-Length: 0\r\n\r\n");
}

void refuse_method(nev_connection *c, const nev_serve_options &o) {
  std::string extra = o.extra_headers && *o.extra_headers ? std::string(o.extra_headers) + "\r\n" : std::string();
  extra += "Allow: ";
  extra += NEV_STATIC_ALLOW;
  nev_http_send_error(c, 405, nullptr, extra.c_str());
}

// ---- Directory listing ----

constexpr const char *kSortScriptHead =
    "<script>function srt(tb,sc,so,d){var tr=Array.prototype.slice.call(tb.rows,0),"
    "tr=tr.sort(function(a,b){var c1=a.cells[sc],c2=b.cells[sc],n1=c1.getAttribute('name'),"
    "n2=c2.getAttribute('name'),t1=a.cells[2].getAttribute('name'),t2=b.cells[2].getAttribute('name');"
    "return so*(t1<0&&t2>=0?-1:t2<0&&t1>=0?1:n1?parseInt(n2)-parseInt(n1):"
    "c1.textContent.trim().localeCompare(c2.textContent.trim()));});";
constexpr const char *kSortScriptTail =
    "for(var i=0;i<tr.length;i++)tb.appendChild(tr[i]);if(!d)window.location.hash=('sc='+sc+'&so='+so);};"
    "window.onload=function(){var tb=document.getElementById('tb');var m=/sc=([012]).so=(1|-1)/.exec("
    "window.location.hash)||[0,2,1];var sc=m[1],so=m[2];document.onclick=function(e){var c=e.target.rel;"
    "if(c){if(c==sc)so*=-1;srt(tb,c,so);sc=c;e.preventDefault();}};srt(tb,sc,so,true);}</script>";

std::string size_text(const struct stat &st) {
  char buf[32];
  const double size = double(st.st_size);
  if (S_ISDIR(st.st_mode)) return "[DIRECTORY]";
  if (st.st_size < 1024) {
    std::snprintf(buf, sizeof buf, "%d", int(st.st_size));
  } else if (st.st_size < 0x100000) {
    std::snprintf(buf, sizeof buf, "%.1fk", size / 1024.0);
  } else if (st.st_size < 0x40000000) {
    std::snprintf(buf, sizeof buf, "%.1fM", size / 1048576.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.1fG", size / 1073741824.0);
  }
  return buf;
}

void list_entry(nev_connection *c, const char *name, const struct stat &st) {
  const bool dir = S_ISDIR(st.st_mode);
  nev_slice link = nev_url_encode_default(cstr(name));
  std::string row = "<tr><td><a href=\"";
  nev_html_escape_append(row, link);
  std::free(const_cast<char *>(link.p));
  if (dir) row += '/';
  row += "\">";
  nev_html_escape_append(row, cstr(name));
  if (dir) row += '/';
  char modified[64];
  struct tm tm;
  localtime_r(&st.st_mtime, &tm);
  std::strftime(modified, sizeof modified, "%d-%b-%Y %H:%M", &tm);
  row += "</a></td><td>";
  row += modified;
  row += "</td><td name=" + std::to_string(dir ? -1LL : static_cast<long long>(st.st_size)) + ">";
  row += size_text(st) + "</td></tr>\n";
  nev_http_send_chunk(c, row.data(), row.size());
}

void scan_directory(nev_connection *c, const std::string &dir, const nev_serve_options &options) {
  nev_dir *d = nev_dir_open(dir.c_str());
  if (!d) {
    NEV_LOG(4, ("%p opendir(%s) -> %d", static_cast<void *>(c), dir.c_str(), errno));
    return;
  }
  while (const char *name = nev_dir_next(d)) {
    const std::string entry = dir + "/" + name;
    if (nev_http_is_hidden(nev_slice{entry.data(), entry.size()}, options, 1)) continue;
    struct stat st;
    if (nev_file_stat(entry.c_str(), &st) != 0) continue;
    list_entry(c, name, st);
  }
  nev_dir_close(d);
}

// True when the directory password file `name` does not exist, known
// without opening it where possible: most trees have none, and a failed open
// per request costs the whole static path. A fresh request (see
// open_for_sending) trusts a miss its connection saw under the current
// change-notice generation, or watches the name's arrival and then looks.
// False: the caller opens the file as ever.
bool password_file_missing(nev_connection *c, nev_http_proto_data *pd, const std::string &name) {
  // Only a fresh request is covered by the notices (TLS and pipelined ones
  // open the file, one call where watching would take two).
  if (pd == nullptr || !pd->request_fresh) return false;
  const uint64_t generation = nev_watch_generation();
  if (generation != 0 && pd->missing_password_verified == generation && pd->missing_password_file == name)
    return true;
  pd->missing_password_verified = 0;
  if (generation == 0 || !nev_watch_absence(name.c_str())) return false;
  pd->missing_password_file = name;
  pd->missing_password_verified = generation;
  c->wants_notices = 1;
  return true;
}

// Digest checks of static serving: the global password file protects the
// whole tree and must be readable when configured (an unreadable one denies,
// it never opens the tree); a missing per-directory file means the directory
// is not protected.
bool authorized(nev_connection *c, nev_http_proto_data *pd, const nev_http_view *view, const std::string &path,
                bool is_dir, const nev_serve_options &o) {
  const nev_slice p{path.data(), path.size()};
  const int dir_flag = is_dir ? NEV_AUTH_DIRECTORY : 0;
  // Only a request that answers a challenge is an attempt to count.
  const std::string user = o.digest_attempt ? nev_http_digest_user(view) : std::string();
  char address[64] = "";
  if (!user.empty()) {
    nev_conn_addr_to_str(c, address, sizeof address, NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_REMOTE);
    o.digest_attempt(user.c_str(), address, -1);
  }
  const int dir_flags = dir_flag | NEV_AUTH_ALLOW_MISSING;
  const bool checks_directory = o.auth_domain != nullptr && o.dir_password_file != nullptr;
  const bool ok =
      nev_http_is_authorized(view, p, o.auth_domain, o.global_auth_file, dir_flag | NEV_AUTH_GLOBAL_FILE) &&
      ((checks_directory &&
        password_file_missing(c, pd, nev_http_password_file_path(p, o.dir_password_file, dir_flags))) ||
       nev_http_is_authorized(view, p, o.auth_domain, o.dir_password_file, dir_flags));
  if (!user.empty()) o.digest_attempt(user.c_str(), address, ok ? 1 : 0);
  if (ok) return true;
  nev_http_send_digest_challenge(c, o.auth_domain);
  return false;
}

}  // namespace

void nev_http_serve_files(nev_connection *conn, const nev_http_view *view, nev_serve_options options) {
  if (options.access_list && *options.access_list &&
      nev_check_access_list(options.access_list, ntohl(conn->peer.sin_addr.s_addr)) != 1) {
    nev_http_send_error(conn, 403, nullptr, options.extra_headers);
    return;
  }
  nev_serve_options_defaults(options);
  if (nev_http_proxy_rewrites(conn, view, options) || nev_http_port_redirect(conn, view, options)) return;
  // "OPTIONS *" asks about the server itself, not a resource.
  if (view->uri.len == 1 && view->uri.p[0] == '*') {
    nev_http_send_options(conn, options);
    return;
  }

  std::string normalized(view->uri.p ? view->uri.p : "", view->uri.len);
  nev_slice out{normalized.data(), 0};
  if (!nev_normalize_uri_path(nev_slice{normalized.data(), normalized.size()}, &out)) {
    nev_http_send_error(conn, 400, nullptr, options.extra_headers);
    return;
  }
  nev_http_view request = *view;
  request.uri = out;

  nev_http_mapped mapped;
  if (!nev_http_map_uri(&request, options, mapped)) {
    nev_http_send_error(conn, 404, nullptr, options.extra_headers);
    return;
  }
  nev_http_serve_mapped(conn, mapped, &request, options);
}

void nev_http_serve_mapped(nev_connection *c, const nev_http_mapped &mapped, const nev_http_view *view,
                           const nev_serve_options &o) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  opened_file file = open_for_sending(c, pd, mapped.path.c_str());
  struct stat st = file.st;
  const bool exists = file.exists;
  const bool is_dir = exists && S_ISDIR(st.st_mode);
  std::string index;
  if (is_dir) nev_http_find_index(mapped.path, o.index_files, index, &st);
  if (is_dir) file = index.empty() ? opened_file{} : open_for_sending(c, pd, index.c_str());
  const std::string &target = index.empty() ? mapped.path : index;
  // Hidden names are checked on every component before anything else picks
  // the file up, so no later step (CGI included) ever sees them.
  const bool hidden = nev_http_path_is_hidden(mapped, o);
  const bool is_cgi = matches(o.cgi_pattern, target);
  NEV_LOG(4, ("%p %.*s [%s] exists=%d is_dir=%d is_dav=%d is_cgi=%d index=%s", static_cast<void *>(c),
              int(view->uri.len), view->uri.p, mapped.path.c_str(), exists, is_dir, 0, is_cgi, index.c_str()));

  if (hidden) {
    nev_http_send_error(c, 404, nullptr, o.extra_headers);
    return;
  }
  if (is_dir && (view->uri.len == 0 || view->uri.p[view->uri.len - 1] != '/')) {
    redirect_to_directory(c, view);
    return;
  }
  if (mapped.path_info.len && !is_cgi) {
    // Nothing lies below a file: the resource does not exist.
    nev_http_send_error(c, 404, nullptr, o.extra_headers);
    return;
  }
  if (!authorized(c, pd, view, mapped.path, is_dir, o)) return;
  if (is_cgi) {
    // Programs are run, never sent as their source text.
    if (exists) {
      nev_cgi_run(c, target.c_str(), mapped.path_info, view, o);
    } else {
      nev_http_send_error(c, 404, nullptr, o.extra_headers);
    }
    return;
  }
  if (!nev_http_is_known_method(view->method)) {
    nev_http_send_error(c, 501, nullptr, o.extra_headers);
    return;
  }
  if (!is_served_method(view->method)) {
    refuse_method(c, o);
    return;
  }
  if (!exists) {
    nev_http_send_error(c, 404, nullptr, o.extra_headers);
    return;
  }
  if (nev_slice_cmp_cstr(view->method, "OPTIONS") == 0) {
    nev_http_send_options(c, o);
    return;
  }
  if (is_dir && index.empty()) {
    if (std::strcmp(o.enable_directory_listing, "yes") == 0) {
      nev_http_send_listing(c, mapped.path, view, o);
    } else {
      nev_http_send_error(c, 403, nullptr, o.extra_headers);
    }
    return;
  }
  if (nev_http_is_not_modified(view, st)) {
    send_not_modified(c, o);
    // A client revalidating its copy asks again soon: keep the file ready.
    park_file(pd, file, true);
    return;
  }
  if (matches(o.ssi_pattern, target)) {
    nev_ssi_serve(c, view, target.c_str(), o);
    return;
  }
  nev_slice mime, encoding;
  if (!nev_mime_type_of(nev_slice{target.data(), target.size()}, &mime, &encoding, o)) mime = cstr("text/plain");
  NEV_LOG(4, ("%p [%s] %.*s %.*s", static_cast<void *>(c), target.c_str(), int(mime.len), mime.p, int(encoding.len),
              encoding.p));
  send_opened_file(c, view, file, mime, encoding, cstr(o.extra_headers));
}

void nev_http_serve_file(nev_connection *conn, const nev_http_view *view, const char *path, nev_slice mime,
                         nev_slice extra_headers) {
  nev_http_send_file(conn, view, path, mime, nev_slice{nullptr, 0}, extra_headers);
}

void nev_http_send_file(nev_connection *c, const nev_http_view *view, const char *path, nev_slice mime,
                        nev_slice encoding, nev_slice extra_headers) {
  NEV_LOG(4, ("%p [%s] %.*s %.*s", static_cast<void *>(c), path, int(mime.len), mime.p, int(encoding.len), encoding.p));
  opened_file file = open_for_sending(c, nev_http_proto_data_get(c), path);
  send_opened_file(c, view, file, mime, encoding, extra_headers);
}

namespace {

// A formatted HTTP date with the time it stands for: replies within one
// second share the Date text, and replies of one file its Last-Modified.
struct date_cache {
  time_t time = -1;
  char text[64] = "";
};
thread_local date_cache current_date;
thread_local date_cache last_modified;

const char *date_text(time_t t, date_cache &cache) {
  if (cache.time != t) {
    nev_http_format_date(cache.text, sizeof cache.text, t);
    cache.time = t;
  }
  return cache.text;
}

void append_number(std::string &out, long long value) {
  char digits[24];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end.ptr);
}

// A file whose status changed at least this long before it was read cannot
// have changed since without a newer status-change time: the kernel stamps a
// change with the (coarse) time it happens, which lags real time by a clock
// tick at most.
constexpr time_t kSettledSeconds = 2;

bool settled(const struct stat &st, const struct timespec &read_at) {
  return st.st_ctim.tv_sec + kSettledSeconds <= read_at.tv_sec;
}

// A small file's whole body is appended to its head and both are queued at
// once. The body comes from the bytes kept in the reuse slot when that slot
// still stands for the file (the stat of take_parked proved it), else from one
// pread now. The bytes are kept for the next request only when the file was
// settled: a change after the read then shows in the status-change time and
// drops them. Returns false when the caller must send the body as a transfer
// (large file, or one whose size no longer matches its status).
bool send_small_body(nev_connection *c, nev_http_proto_data *pd, opened_file &file, std::string &head,
                     const nev_http_range &range, const struct timespec &now) {
  const struct stat &st = file.st;
  if (st.st_size > static_cast<off_t>(NEV_HTTP_KEPT_BODY_MAX)) return false;
  nev_http_reuse_slot &slot = pd->reuse;
  const bool kept = file.reused && slot.has_body && slot.body.size() == size_t(st.st_size);
  std::string fresh;
  if (!kept) {
    fresh.resize(size_t(st.st_size));
    ssize_t got;
    do {
      got = pread(file.fd.get(), fresh.data(), fresh.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got != st.st_size) return false;
  }
  const std::string &body = kept ? slot.body : fresh;
  head.append(body, size_t(range.first), size_t(range.length));
  nev_enqueue(c, head.data(), head.size());
  if (kept) {
    park_file(pd, file, true);
    return true;
  }
  park_file(pd, file, false);
  if (slot.fd >= 0 && settled(st, now)) {
    slot.body = std::move(fresh);
    slot.has_body = true;
  }
  return true;
}

void send_opened_file(nev_connection *c, const nev_http_view *view, opened_file &file, nev_slice mime,
                      nev_slice encoding, nev_slice extra_headers) {
  const std::string extra(extra_headers.p ? extra_headers.p : "", extra_headers.len);
  if (file.fd.get() < 0 || !S_ISREG(file.st.st_mode)) {
    const int status = file.fd.get() < 0 ? status_of_errno(file.open_error ? file.open_error : ENOENT) : 403;
    nev_http_send_error(c, status, "Open failed", extra.empty() ? nullptr : extra.c_str());
    return;
  }
  const struct stat &st = file.st;
  nev_http_proto_data *pd = state_of(c);
  if (!pd) {
    c->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  const nev_http_range range = nev_http_select_range(nev_http_find_header(view, "Range"), st.st_size);
  const bool keep_alive = wants_keep_alive(view);

  char etag[64];
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const char *date = date_text(now.tv_sec, current_date);
  const char *modified = date_text(st.st_mtime, last_modified);
  nev_http_etag(etag, sizeof etag, st);
  char range_line[128] = "";
  if (range.status == 416) {
    std::snprintf(range_line, sizeof range_line, "Content-Range: bytes */%lld\r\n", static_cast<long long>(st.st_size));
  } else if (range.status == 206) {
    std::snprintf(range_line, sizeof range_line, "Content-Range: bytes %lld-%lld/%lld\r\n",
                  static_cast<long long>(range.first), static_cast<long long>(range.first + range.length - 1),
                  static_cast<long long>(st.st_size));
  }
  std::string reply;
  // Room for a small body too, which may be sent in the same piece.
  reply.reserve(320 + extra.size() + mime.len + encoding.len +
                (st.st_size <= static_cast<off_t>(NEV_HTTP_KEPT_BODY_MAX) ? size_t(st.st_size) : 0));
  // Put together piece by piece: this runs for every file reply, and a
  // format string would be parsed anew each time.
  reply.append("HTTP/1.1 ");
  append_number(reply, range.status);
  reply.append(" ").append(nev_http_status_text(range.status)).append("\r\n");
  if (!extra.empty()) reply.append(extra.c_str()).append("\r\n");
  reply.append("Date: ").append(date).append("\r\nLast-Modified: ").append(modified);
  reply.append("\r\nAccept-Ranges: bytes\r\nContent-Type: ");
  if (mime.p != nullptr) reply.append(mime.p, strnlen(mime.p, mime.len));
  reply.append("\r\nConnection: ").append(keep_alive ? "keep-alive" : "close").append("\r\nContent-Length: ");
  append_number(reply, range.length);
  reply.append("\r\n").append(range_line).append("Etag: ").append(etag).append("\r\n");
  if (encoding.len) reply.append("Content-Encoding: ").append(encoding.p, encoding.len).append("\r\n");
  reply += "\r\n";

  const bool no_body = pd->head_method || range.length == 0;
  if (no_body) {
    nev_enqueue(c, reply.data(), reply.size());
    if (!keep_alive) c->flags |= NEV_CONN_CLOSE_AFTER_SEND;
    park_file(pd, file, true);
    return;
  }
  abandon_transfer(c, pd);
  if (send_small_body(c, pd, file, reply, range, now)) {
    if (!keep_alive) c->flags |= NEV_CONN_CLOSE_AFTER_SEND;
    return;
  }
  nev_enqueue(c, reply.data(), reply.size());
  remember_file(pd, file.path, st, file.verified);
  pd->file.reusable = 1;
  pd->file.fd = file.fd.release();
  pd->file.offset = range.first;
  pd->file.length = range.length;
  pd->file.done = 0;
  pd->file.keep_alive = keep_alive ? 1 : 0;
  pd->file.kind = 1;
  nev_http_transfer_step(c);
}

}  // namespace

namespace {

// Plain TCP connections hand file pages to the socket with sendfile; TLS
// needs the bytes in the send buffer, and so does the traffic trace.
bool can_send_directly(const nev_connection *c) {
  return !(c->flags & (NEV_CONN_TLS | NEV_CONN_UDP)) && c->sock != NEV_INVALID_SOCKET &&
         !(c->manager && c->manager->hexdump_path);
}

// What a direct transfer copies into the send buffer: the whole rest when it
// fits, else a piece that ends on a page boundary, so sendfile always goes on
// from one; the socket then takes whole page-cache pages instead of every page
// cut in two, which halves the fragments per packet.
size_t direct_piece(int64_t offset, size_t room, size_t left) {
  constexpr size_t kPage = 4096;
  if (left <= room) return left;
  const size_t start_in_page = size_t(offset) % kPage;
  const size_t aligned = (start_in_page + room) / kPage * kPage;
  return aligned > start_in_page ? aligned - start_in_page : kPage - start_in_page;
}

enum class step_result { progressed, blocked, failed };

// Sends file bytes straight to the socket while it takes them. Runs only with
// an empty send buffer (so nothing queued before can be overtaken) and under
// its mutex (so nothing queued meanwhile can slip in between).
step_result send_directly(nev_connection *c, nev_http_file_state &file) {
  while (file.done < file.length) {
    off_t offset = file.offset;
    const ssize_t n = sendfile(c->sock, file.fd, &offset, size_t(file.length - file.done));
    if (n > 0) {
      file.offset += n;
      file.done += n;
      c->last_io_time = static_cast<int64_t>(nev_now());
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return step_result::blocked;
    return step_result::failed;  // 0: the file ended early; < 0: the socket failed
  }
  return step_result::progressed;
}

}  // namespace

int nev_http_transfer_step(nev_connection *c) {
  nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (!pd || pd->file.kind != 1) return 0;
  nev_http_file_state &file = pd->file;
  const bool direct = can_send_directly(c);
  ssize_t got = 1;
  bool failed = false;
  {
    nev_mutex_guard guard(c->send_buf.mutex);
    step_result direct_result = step_result::blocked;
    if (direct && c->send_buf.len == 0) {
      direct_result = send_directly(c, file);
      failed = direct_result == step_result::failed;
    }
    const size_t queued = c->send_buf.len;
    const size_t left = size_t(file.length - file.done);
    // A directly sent file queues a small piece only when the socket is full:
    // the engine then waits for the socket to drain and reports it, and the
    // next step goes on directly.
    const size_t target = direct ? kDirectWaker : kFillTarget;
    // A large body behind the head it has just been queued with: the head
    // leaves alone and the body follows with sendfile, corked together so
    // the head does not travel as a segment of its own.
    const bool head_first = direct && file.done == 0 && queued > 0 && left > target - std::min(queued, target);
    if (head_first && !file.corked) set_cork(c, file, true);
    if (!failed && !head_first && left > 0 && queued < kRefillBelow && queued < target) {
      const size_t want = direct ? direct_piece(file.offset, target - queued, left) : std::min(target - queued, left);
      if (nev_buffer_append(&c->send_buf, nullptr, want) != want) return 0;  // no memory now; next event retries
      char *place = c->send_buf.data + queued;
      do {
        got = pread(file.fd, place, want, file.offset);
      } while (got < 0 && errno == EINTR);
      c->send_buf.len = queued + (got > 0 ? size_t(got) : 0);
      if (got > 0) {
        file.offset += got;
        file.done += got;
      }
    }
  }
  if (failed || got <= 0) {
    // The file shrank (or cannot be read, or the peer went away) under the
    // reply: the promised length can no longer be kept, so the connection
    // ends instead of hanging.
    NEV_LOG(3, ("%p file transfer ended after %lld of %lld bytes, closing", static_cast<void *>(c),
                static_cast<long long>(file.done), static_cast<long long>(file.length)));
    if (file.corked) set_cork(c, file, false);
    end_transfer(pd, false);
    c->flags |= NEV_CONN_CLOSE_NOW;
    return 0;
  }
  nev_connection_wake(c);
  NEV_LOG(4, ("%p sent (total %lld)", static_cast<void *>(c), static_cast<long long>(file.done)));
  if (file.done < file.length) return 0;
  NEV_LOG(4,
          ("%p done, %lld bytes, ka %d", static_cast<void *>(c), static_cast<long long>(file.done), file.keep_alive));
  if (!file.keep_alive) c->flags |= NEV_CONN_CLOSE_AFTER_SEND;
  if (file.corked) set_cork(c, file, false);
  end_transfer(pd, true);
  return 1;
}

void nev_http_send_listing(nev_connection *c, const std::string &dir, const nev_http_view *view,
                           const nev_serve_options &options) {
  nev_http_status_line(c, 200, options.extra_headers);
  nev_enqueue_format(c, "%s: %s\r\n%s: %s\r\n\r\n", "Transfer-Encoding", "chunked", "Content-Type",
                     "text/html; charset=utf-8");
  c->flags |= NEV_CONN_CLOSE_AFTER_SEND;
  const nev_http_proto_data *pd = nev_http_proto_data_get(c);
  if (pd && pd->head_method) return;
  std::string uri;
  nev_html_escape_append(uri, view->uri);
  std::string head = "<html><head><title>Index of " + uri + "</title>" + kSortScriptHead + kSortScriptTail +
                     "<style>th,td {text-align: left; padding-right: 1em; font-family: monospace; }</style></head>\n"
                     "<body><h1>Index of " +
                     uri +
                     "</h1>\n<table cellpadding=0><thead><tr><th><a href=# rel=0>Name</a></th><th><a href=# "
                     "rel=1>Modified</a></th><th><a href=# rel=2>Size</a></th></tr><tr><td colspan=3><hr></td></tr>\n"
                     "</thead>\n<tbody id=tb>";
  nev_http_send_chunk(c, head.data(), head.size());
  scan_directory(c, dir, options);
  nev_http_printf_chunk(c, "</tbody><tr><td colspan=3><hr></td></tr>\n</table>\n<address>%s</address>\n</body></html>",
                        NEV_VERSION_TEXT);
  nev_http_send_chunk(c, "", 0);
}

// The connection stays open: pipelined requests behind it are served.
void nev_http_send_options(nev_connection *c, const nev_serve_options &options) {
  nev_http_status_line(c, 200, options.extra_headers);
  nev_enqueue_format(c, "Allow: %s\r\nContent-Length: 0\r\n\r\n", NEV_STATIC_ALLOW);
}
