// The socket-free half of static serving: option defaults, URI mapping,
// hidden files, index files, MIME types, ranges and conditional requests.
#include <cstdio>
#include <cstring>
#include <string>

#include "nev_file.h"
#include "nev_log.h"
#include "nev_static.h"
#include "nev_ws_codec.h"

namespace {

nev_slice cstr(const char *s) { return nev_slice_from_cstr(s); }

bool ends_with_nocase(nev_slice text, nev_slice suffix) {
  return suffix.len < text.len && nev_ncasecmp(text.p + text.len - suffix.len, suffix.p, suffix.len) == 0;
}

// An overlong "/" or "." must never turn into a separator or a dot segment.
bool valid_utf8(const std::string &s) { return nev_utf8_valid(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }

bool is_proxy_target(nev_slice value) {
  return (value.len >= 7 && nev_ncasecmp(value.p, "http://", 7) == 0) ||
         (value.len >= 8 && nev_ncasecmp(value.p, "https://", 8) == 0);
}

// The root a URI maps under, and where in the URI the mapping starts.
struct map_root {
  std::string root;
  size_t start = 0;
};

// The first host or pattern entry of url_rewrites that applies. Reverse-proxy
// and port-redirect entries belong to the proxy layer and are passed over;
// entries with an empty target are treated as not matching.
bool rewrite_root(const nev_http_view *view, const char *rewrites, map_root &out) {
  if (!rewrites) return false;
  const nev_slice host = [&] {
    const nev_slice *h = nev_http_find_header(view, "Host");
    return h ? *h : nev_slice{nullptr, 0};
  }();
  nev_slice key, value;
  for (const char *rest = rewrites; (rest = nev_next_list_entry(rest, &key, &value)) != nullptr;) {
    if (key.len == 0 || value.len == 0 || is_proxy_target(value) || key.p[0] == '%') continue;
    if (key.p[0] == '@') {
      if (key.len > 1 && host.len == key.len - 1 && nev_ncasecmp(host.p, key.p + 1, host.len) == 0) {
        out.root.assign(value.p, value.len);
        out.start = 0;
        return true;
      }
      continue;
    }
    const size_t m = nev_match_prefix_slice(key, view->uri);
    if (m == 0) continue;
    if (m == view->uri.len || view->uri.p[m] == '/') {
      out.start = m;
    } else if (view->uri.p[m - 1] == '/') {
      out.start = m - 1;
    } else {
      continue;
    }
    out.root.assign(value.p, value.len);
    return true;
  }
  return false;
}

struct mime_row {
  const char *ext;
  const char *type;
};

// Searched in order; the first row wins.
const mime_row kMimeTable[] = {
    {"html", "text/html"},
    {"html", "text/html"},
    {"htm", "text/html"},
    {"shtm", "text/html"},
    {"shtml", "text/html"},
    {"css", "text/css"},
    {"js", "application/x-javascript"},
    {"ico", "image/x-icon"},
    {"gif", "image/gif"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"png", "image/png"},
    {"svg", "image/svg+xml"},
    {"txt", "text/plain"},
    {"torrent", "application/x-bittorrent"},
    {"wav", "audio/x-wav"},
    {"mp3", "audio/x-mp3"},
    {"mid", "audio/mid"},
    {"m3u", "audio/x-mpegurl"},
    {"ogg", "application/ogg"},
    {"ram", "audio/x-pn-realaudio"},
    {"xml", "text/xml"},
    {"ttf", "application/x-font-ttf"},
    {"json", "application/json"},
    {"xslt", "application/xml"},
    {"xsl", "application/xml"},
    {"ra", "audio/x-pn-realaudio"},
    {"doc", "application/msword"},
    {"exe", "application/octet-stream"},
    {"zip", "application/x-zip-compressed"},
    {"xls", "application/excel"},
    {"tgz", "application/x-tar-gz"},
    {"tar", "application/x-tar"},
    {"gz", "application/x-gunzip"},
    {"arj", "application/x-arj-compressed"},
    {"rar", "application/x-rar-compressed"},
    {"rtf", "application/rtf"},
    {"pdf", "application/pdf"},
    {"swf", "application/x-shockwave-flash"},
    {"mpg", "video/mpeg"},
    {"webm", "video/webm"},
    {"mpeg", "video/mpeg"},
    {"mov", "video/quicktime"},
    {"mp4", "video/mp4"},
    {"m4v", "video/x-m4v"},
    {"asf", "video/x-ms-asf"},
    {"avi", "video/x-msvideo"},
    {"bmp", "image/bmp"},
};

}  // namespace

void nev_serve_options_defaults(nev_serve_options &o) {
  if (!o.document_root) o.document_root = ".";
  if (!o.index_files) o.index_files = "index.html,index.htm,index.shtml,index.cgi,index.php";
  if (!o.dir_password_file) o.dir_password_file = ".htpasswd";
  if (!o.enable_directory_listing) o.enable_directory_listing = "yes";
  if (!o.ssi_pattern) o.ssi_pattern = "**.shtml$|**.shtm$";
  if (!o.cgi_pattern) o.cgi_pattern = "**.cgi$|**.php$";
}

int nev_http_map_uri(const nev_http_view *view, const nev_serve_options &options, nev_http_mapped &out) {
  map_root r;
  if (!rewrite_root(view, options.url_rewrites, r)) {
    r.root = options.document_root ? options.document_root : ".";
    r.start = 0;
  }
  if (r.root.empty()) return 0;
  std::string path = r.root;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t root_length = path.size();

  const char *uri = view->uri.p;
  const size_t uri_len = view->uri.len;
  bool exists = true;
  bool at_root = true;  // the root is a directory: no need to ask the file system
  size_t pos = r.start;
  out.path_info = nev_slice{uri + uri_len, 0};
  while (pos < uri_len) {
    // pos is at a "/" (or the start of the rest of the URI).
    if (exists && !at_root) {
      struct stat st;
      if (nev_file_stat(path.c_str(), &st) != 0) {
        exists = false;
      } else if (S_ISREG(st.st_mode)) {
        out.path_info = nev_slice{uri + pos, uri_len - pos};
        break;
      }
    }
    while (pos < uri_len && uri[pos] == '/') ++pos;
    size_t end = pos;
    while (end < uri_len && uri[end] != '/') ++end;
    if (end == pos) break;
    std::string component(end - pos + 1, '\0');
    const int n = nev_url_decode(uri + pos, end - pos, component.data(), component.size(), 0);
    if (n <= 0) return 0;
    component.resize(size_t(n));
    pos = end;
    at_root = false;
    if (component == ".") continue;
    if (component == "..") {
      const size_t slash = path.rfind('/');
      if (slash != std::string::npos && slash >= root_length) path.resize(slash);
      continue;
    }
    if (!valid_utf8(component) || component.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
      NEV_LOG(3, ("[%.*s] smells funny", int(component.size()), component.data()));
      return 0;
    }
    path += '/';
    path += component;
  }
  if (path.size() >= NEV_PATH_MAX) return 0;
  out.path = std::move(path);
  out.root_length = root_length;
  NEV_LOG(4, ("'%.*s' -> '%s' + '%.*s'", int(uri_len), uri, out.path.c_str(), int(out.path_info.len), out.path_info.p));
  return 1;
}

int nev_http_find_index(const std::string &dir, const char *index_list, std::string &index_path, struct stat *st) {
  if (!index_list) return 0;
  nev_slice name;
  for (const char *rest = index_list; (rest = nev_next_list_entry(rest, &name, nullptr)) != nullptr;) {
    if (name.len == 0) continue;
    std::string candidate = dir;
    if (candidate.empty() || candidate.back() != '/') candidate += '/';
    candidate.append(name.p, name.len);
    struct stat cst;
    if (nev_file_stat(candidate.c_str(), &cst) == 0 && S_ISREG(cst.st_mode)) {
      NEV_LOG(4, ("[%s] [%s]", dir.c_str(), candidate.c_str()));
      index_path = std::move(candidate);
      if (st) *st = cst;
      return 1;
    }
  }
  return 0;
}

int nev_http_is_hidden(nev_slice path, const nev_serve_options &options, int dots_hidden) {
  const char *slash = nullptr;
  for (size_t i = path.len; i > 0; --i) {
    if (path.p[i - 1] == '/') {
      slash = path.p + i - 1;
      break;
    }
  }
  const nev_slice name = slash ? nev_slice{slash + 1, size_t(path.p + path.len - slash - 1)} : path;
  if (dots_hidden && ((name.len == 1 && name.p[0] == '.') || (name.len == 2 && name.p[0] == '.' && name.p[1] == '.')))
    return 1;
  if (options.dir_password_file && *options.dir_password_file) {
    const nev_slice pattern = cstr(options.dir_password_file);
    if (nev_match_prefix_slice(pattern, name) == name.len && name.len > 0) return 1;
  }
  if (options.hidden_pattern && *options.hidden_pattern) {
    if (nev_match_prefix_slice(cstr(options.hidden_pattern), name) > 0) return 1;
  }
  return 0;
}

int nev_http_path_is_hidden(const nev_http_mapped &mapped, const nev_serve_options &options) {
  const std::string &path = mapped.path;
  for (size_t pos = mapped.root_length; pos < path.size();) {
    size_t end = path.find('/', pos + 1);
    if (end == std::string::npos) end = path.size();
    if (nev_http_is_hidden(nev_slice{path.data(), end}, options, 0)) return 1;
    pos = end;
  }
  if (options.global_auth_file && *options.global_auth_file) {
    struct stat a, b;
    if (nev_file_stat(path.c_str(), &a) == 0 && nev_file_stat(options.global_auth_file, &b) == 0 &&
        a.st_dev == b.st_dev && a.st_ino == b.st_ino)
      return 1;
  }
  return 0;
}

nev_slice nev_mime_builtin(nev_slice path) {
  for (const mime_row &row : kMimeTable) {
    const size_t n = std::strlen(row.ext);
    if (path.len > n && path.p[path.len - n - 1] == '.' && nev_ncasecmp(path.p + path.len - n, row.ext, n) == 0)
      return cstr(row.type);
  }
  return nev_slice{nullptr, 0};
}

int nev_mime_type_of(nev_slice path, nev_slice *mime, nev_slice *encoding, const nev_serve_options &options) {
  *encoding = nev_slice{nullptr, 0};
  *mime = nev_slice{nullptr, 0};
  if (options.extra_mime_types) {
    nev_slice suffix, type;
    for (const char *rest = options.extra_mime_types; (rest = nev_next_list_entry(rest, &suffix, &type)) != nullptr;) {
      if (suffix.len > 0 && type.len > 0 && ends_with_nocase(path, suffix)) {
        *mime = type;
        return 1;
      }
    }
  }
  nev_slice found = nev_mime_builtin(path);
  if (found.len && nev_slice_cmp_cstr(found, "application/x-gunzip") == 0) {
    const nev_slice shorter{path.p, path.len - 3};
    const nev_slice inner = nev_mime_builtin(shorter);
    NEV_LOG(4, ("'%.*s' '%.*s' '%.*s'", int(path.len), path.p, int(shorter.len), shorter.p, int(inner.len), inner.p));
    if (inner.len) {
      *mime = inner;
      *encoding = cstr("gzip");
      return 1;
    }
  }
  *mime = found;
  return found.len != 0;
}

int nev_http_parse_range(nev_slice value, int64_t *first, int64_t *last) {
  std::string text(value.p, value.len);
  long long a = 0, b = 0;
  int n = std::sscanf(text.c_str(), "bytes=%lld-%lld", &a, &b);
  if (n >= 1) *first = a;
  if (n >= 2) *last = b;
  return n < 0 ? 0 : n;
}

namespace {

// "bytes=-0": a suffix of no bytes can never be satisfied (RFC 9110 section
// 14.1.2). Other suffix ranges are answered with the whole file.
bool is_empty_suffix(nev_slice value) {
  static const char kSuffix[] = "bytes=-";
  const size_t n = sizeof kSuffix - 1;
  if (value.len <= n || std::memcmp(value.p, kSuffix, n) != 0) return false;
  for (size_t i = n; i < value.len; ++i)
    if (value.p[i] != '0') return false;
  return true;
}

}  // namespace

nev_http_range nev_http_select_range(const nev_slice *range_header, int64_t size) {
  nev_http_range r;
  r.length = size;
  if (!range_header) return r;
  int64_t first = 0, last = 0;
  if (is_empty_suffix(*range_header)) {
    r.status = 416;
    r.length = 0;
    return r;
  }
  const int n = nev_http_parse_range(*range_header, &first, &last);
  if (n < 1 || first < 0 || (n == 2 && last < 0)) return r;  // suffix or malformed: whole file
  if (n == 1 || last >= size) last = size - 1;
  if (first > last || first >= size) {
    r.status = 416;
    r.length = 0;
    return r;
  }
  r.status = 206;
  r.first = first;
  r.length = last - first + 1;
  return r;
}

int nev_http_is_not_modified(const nev_http_view *view, const struct stat &st) {
  if (const nev_slice *inm = nev_http_find_header(view, "If-None-Match")) {
    char etag[64];
    const size_t n = nev_http_etag(etag, sizeof etag, st);
    return inm->len == n && nev_ncasecmp(inm->p, etag, n) == 0;
  }
  if (const nev_slice *ims = nev_http_find_header(view, "If-Modified-Since")) {
    const std::string text(ims->p, ims->len);
    return st.st_mtime <= nev_http_parse_date(text.c_str());
  }
  return 0;
}

int nev_http_is_dav_method(const nev_http_view *view) {
  return nev_slice_cmp_cstr(view->method, "PUT") == 0 || nev_slice_cmp_cstr(view->method, "DELETE") == 0 ||
         nev_slice_cmp_cstr(view->method, "MKCOL") == 0;
}
