// HTTP message heads, header parameters, URL and form decoding, multipart
// parts, dates and entity tags: functions of bytes only.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nev_codec.h"
#include "nev_http.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_token_char(unsigned char c) {
  if (c <= 0x20 || c >= 0x7f) return false;
  return std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
}

bool slice_equals_nocase(nev_slice s, const char *text) {
  size_t n = std::strlen(text);
  return s.len == n && nev_ncasecmp(s.p, text, n) == 0;
}

// A line of the head: [p, content_end) without its line end, next after it.
struct head_line {
  const char *p;
  size_t len;
  const char *next;
};

head_line take_line(const char *p, const char *end) {
  const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
  const char *stop = lf ? lf : end;
  const char *content_end = stop;
  if (content_end > p && content_end[-1] == '\r') --content_end;
  return head_line{p, size_t(content_end - p), lf ? lf + 1 : end};
}

// Digits only, at most 18 of them so the value always fits 64 bits; a sign,
// blanks inside, a list ("5, 5") or an empty value are refused.
bool parse_content_length(nev_slice v, int64_t &out) {
  if (v.len == 0 || v.len > 18) return false;
  int64_t n = 0;
  for (size_t i = 0; i < v.len; ++i) {
    if (v.p[i] < '0' || v.p[i] > '9') return false;
    n = n * 10 + (v.p[i] - '0');
  }
  out = n;
  return true;
}

bool is_http_version(nev_slice s) {
  return s.len == 8 && std::memcmp(s.p, "HTTP/", 5) == 0 && s.p[5] >= '0' && s.p[5] <= '9' && s.p[6] == '.' &&
         s.p[7] >= '0' && s.p[7] <= '9';
}

}  // namespace

bool nev_http_is_known_method(nev_slice m) {
  static const char *const kMethods[] = {"GET",     "HEAD",  "POST",  "PUT",      "DELETE",    "CONNECT",
                                         "OPTIONS", "TRACE", "PATCH", "PROPFIND", "PROPPATCH", "MKCOL",
                                         "COPY",    "MOVE",  "LOCK",  "UNLOCK"};
  for (const char *known : kMethods)
    if (nev_slice_cmp_cstr(m, known) == 0) return true;
  return false;
}

namespace {

// An absolute-form target ("http://host/path?q", RFC 9112 section 3.2.2)
// becomes its path: the server is the authority whatever the host says. A
// target without a path names the root, given by the scheme's last "/" so
// that the slice stays inside the head; *query then takes what follows "?".
nev_slice origin_form_of(nev_slice target, nev_slice *query) {
  size_t skip = 0;
  if (target.len >= 7 && nev_ncasecmp(target.p, "http://", 7) == 0) skip = 7;
  if (target.len >= 8 && nev_ncasecmp(target.p, "https://", 8) == 0) skip = 8;
  if (skip == 0) return target;
  size_t at = skip;
  while (at < target.len && target.p[at] != '/' && target.p[at] != '?') ++at;
  if (at < target.len && target.p[at] == '/') return nev_slice{target.p + at, target.len - at};
  if (at < target.len) *query = nev_slice{target.p + at + 1, target.len - at - 1};
  return nev_slice{target.p + skip - 1, 1};
}

int parse_request_line(head_line line, nev_http_view *view) {
  const char *p = line.p;
  const char *end = line.p + line.len;
  const char *q = p;
  while (q < end && *q != ' ') ++q;
  if (q == p || q == end) return -400;
  for (const char *m = p; m < q; ++m)
    if (!is_token_char(static_cast<unsigned char>(*m))) return -400;
  view->method = nev_slice{p, size_t(q - p)};
  while (q < end && *q == ' ') ++q;
  const char *target = q;
  while (q < end && *q != ' ') ++q;
  if (q == target || q == end) return -400;
  nev_slice uri{target, size_t(q - target)};
  while (q < end && *q == ' ') ++q;
  nev_slice protocol{q, size_t(end - q)};
  if (!is_http_version(protocol)) return -400;
  if (std::memchr(uri.p, '\t', uri.len)) return -400;
  view->protocol = protocol;
  if (protocol.p[5] != '1') return -505;
  const bool asterisk = uri.len == 1 && uri.p[0] == '*';
  if (asterisk && nev_slice_cmp_cstr(view->method, "OPTIONS") != 0) return -400;
  uri = origin_form_of(uri, &view->query);
  if (const char *mark = static_cast<const char *>(std::memchr(uri.p, '?', uri.len))) {
    view->query = nev_slice{mark + 1, size_t(uri.p + uri.len - mark - 1)};
    uri.len = size_t(mark - uri.p);
  }
  view->uri = uri;
  return 0;
}

int parse_status_line(head_line line, nev_http_view *view) {
  const char *p = line.p;
  const char *end = line.p + line.len;
  const char *q = p;
  while (q < end && *q != ' ') ++q;
  nev_slice protocol{p, size_t(q - p)};
  if (protocol.len < 5 || std::memcmp(protocol.p, "HTTP/", 5) != 0) return -400;
  view->protocol = protocol;
  if (q < end) ++q;
  if (end - q < 4 || q[3] != ' ') return -400;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (q[i] < '0' || q[i] > '9') return -400;
    code = code * 10 + (q[i] - '0');
  }
  if (code < 100 || code > 599) return -400;
  view->status_code = code;
  view->status_text = nev_slice{q + 4, size_t(end - q - 4)};
  return 0;
}

struct header_scan {
  int hosts = 0;
  int64_t content_length = -1;
  int transfer_encodings = 0;
  nev_slice transfer_encoding{nullptr, 0};
};

int parse_one_header(head_line line, nev_http_view *view, size_t &count, header_scan &scan) {
  if (is_blank(line.p[0])) return -400;  // obs-fold continuation line
  const char *colon = static_cast<const char *>(std::memchr(line.p, ':', line.len));
  if (!colon || colon == line.p) return -400;
  nev_slice name{line.p, size_t(colon - line.p)};
  for (size_t i = 0; i < name.len; ++i)
    if (!is_token_char(static_cast<unsigned char>(name.p[i]))) return -400;  // blank before the colon
  const char *v = colon + 1;
  const char *vend = line.p + line.len;
  while (v < vend && is_blank(*v)) ++v;
  while (vend > v && is_blank(vend[-1])) --vend;
  nev_slice value{v, size_t(vend - v)};

  if (slice_equals_nocase(name, "Content-Length")) {
    int64_t n = 0;
    if (scan.content_length >= 0 || !parse_content_length(value, n)) return -400;
    scan.content_length = n;
  } else if (slice_equals_nocase(name, "Transfer-Encoding")) {
    ++scan.transfer_encodings;
    scan.transfer_encoding = value;
  } else if (slice_equals_nocase(name, "Host")) {
    ++scan.hosts;
  }
  if (value.len == 0) return 0;  // a header without a value is not shown
  if (count == NEV_HTTP_MAX_HEADERS) return -431;
  view->header_name[count] = name;
  view->header_value[count] = value;
  ++count;
  return 0;
}

// Settles how the body ends once every header has been seen.
int settle_framing(const header_scan &scan, const nev_http_view &view, int is_request, const nev_http_limits &limits,
                   size_t head_len, nev_http_framing &framing) {
  framing = nev_http_framing{};
  framing.content_length = scan.content_length;
  if (scan.transfer_encodings > 0) {
    if (scan.content_length >= 0) return -400;  // the classic smuggling pair
    if (scan.transfer_encoding.len == 0) return -400;
    if (scan.transfer_encodings > 1 || !slice_equals_nocase(scan.transfer_encoding, "chunked")) return -501;
    framing.chunked = true;
  }
  if (is_request && scan.content_length >= 0 && uint64_t(scan.content_length) > limits.max_body) return -413;
  // One Host, and in HTTP/1.1 exactly one (RFC 9112 section 3.2).
  if (is_request && (scan.hosts > 1 || (scan.hosts == 0 && nev_slice_cmp_cstr(view.protocol, "HTTP/1.1") == 0)))
    return -400;
  (void)head_len;
  return 0;
}

size_t body_length_of(const nev_http_framing &framing, const nev_http_view &view, int is_request) {
  if (framing.chunked) return NEV_HTTP_UNBOUNDED;
  if (framing.content_length >= 0) return size_t(framing.content_length);
  if (is_request) return 0;
  const int code = view.status_code;
  if ((code >= 100 && code < 200) || code == 204 || code == 304) return 0;
  return NEV_HTTP_UNBOUNDED;  // a reply without length ends with the connection
}

const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

}  // namespace

int nev_http_request_length(const char *buf, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(buf[i]);
    // TAB is white space in a field value; a CR only ever starts a line end.
    if (c < 0x80 && (c < 0x20 || c == 0x7f) && c != '\r' && c != '\n' && c != '\t') return -1;
    if (c == '\r' && i + 1 < len && buf[i + 1] != '\n') return -1;
    if (c == '\n' && i + 1 < len) {
      if (buf[i + 1] == '\n') return int(i + 2);
      if (buf[i + 1] == '\r' && i + 2 < len && buf[i + 2] == '\n') return int(i + 3);
    }
  }
  return 0;
}

int nev_http_parse_checked(const char *buf, size_t len, nev_http_view *view, int is_request,
                           const nev_http_limits &limits, nev_http_framing *framing) {
  const size_t scan_len = len < limits.max_head ? len : limits.max_head;
  const int head_len = nev_http_request_length(buf, scan_len);
  if (head_len < 0) return -400;
  if (head_len == 0) return len >= limits.max_head ? -431 : 0;

  nev_http_view v;
  std::memset(&v, 0, sizeof v);
  const char *p = buf;
  const char *end = buf + head_len;
  while (p < end && (*p == ' ' || *p == '\r' || *p == '\n')) ++p;
  head_line line = take_line(p, end);
  int rc = is_request ? parse_request_line(line, &v) : parse_status_line(line, &v);
  if (rc < 0) return rc;

  header_scan scan;
  size_t count = 0;
  for (p = line.next; p < end;) {
    line = take_line(p, end);
    if (line.len == 0) break;
    if ((rc = parse_one_header(line, &v, count, scan)) < 0) return rc;
    p = line.next;
  }
  nev_http_framing f;
  if ((rc = settle_framing(scan, v, is_request, limits, size_t(head_len), f)) < 0) return rc;

  const size_t body_len = body_length_of(f, v, is_request);
  v.body = nev_slice{buf + head_len, body_len};
  v.message = nev_slice{buf, body_len == NEV_HTTP_UNBOUNDED ? NEV_HTTP_UNBOUNDED : size_t(head_len) + body_len};
  *view = v;
  if (framing) *framing = f;
  return head_len;
}

int nev_http_parse(const char *buf, size_t len, nev_http_view *view, int is_request) {
  int rc = nev_http_parse_checked(buf, len, view, is_request, nev_http_default_limits(), nullptr);
  return rc < 0 ? -1 : rc;
}

const nev_slice *nev_http_find_header(const nev_http_view *view, const char *name) {
  const size_t n = std::strlen(name);
  for (size_t i = 0; i < NEV_HTTP_HEADER_SLOTS && view->header_name[i].len != 0; ++i) {
    const nev_slice &h = view->header_name[i];
    if (h.len == n && nev_ncasecmp(h.p, name, n) == 0) return &view->header_value[i];
  }
  return nullptr;
}

long nev_http_parse_chunk(const char *buf, size_t len, const char **data, size_t *size) {
  size_t digits = 0;
  size_t chunk = 0;
  while (digits < len && std::isxdigit(static_cast<unsigned char>(buf[digits]))) {
    if (digits == 6) return -1;
    chunk = chunk * 16 + size_t(nev_hex_digit_value(buf[digits]));
    ++digits;
  }
  if (digits == len) return digits > 6 ? -1 : 0;
  if (digits == 0) return -1;
  const char *lf = static_cast<const char *>(std::memchr(buf + digits, '\n', len - digits));
  if (!lf) return len > 4096 ? -1 : 0;
  if (lf == buf + digits || lf[-1] != '\r' || (buf[digits] != '\r' && buf[digits] != ';')) return -1;
  const size_t line_len = size_t(lf - buf) + 1;
  if (len < line_len + chunk + 2) return 0;
  if (buf[line_len + chunk] != '\r' || buf[line_len + chunk + 1] != '\n') return -1;
  *data = buf + line_len;
  *size = chunk;
  return long(line_len + chunk + 2);
}

const char *nev_http_status_text(int code) {
  switch (code) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 102:
      return "Processing";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 207:
      return "Multi-Status";
    case 208:
      return "Already Reported";
    case 226:
      return "IM Used";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 305:
      return "Use Proxy";
    case 306:
      return "Switch Proxy";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Requested Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 418:
      return "I'm a teapot";
    case 422:
      return "Unprocessable Entity";
    case 423:
      return "Locked";
    case 424:
      return "Failed Dependency";
    case 426:
      return "Upgrade Required";
    case 428:
      return "Precondition Required";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 451:
      return "Unavailable For Legal Reasons";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    case 506:
      return "Variant Also Negotiates";
    case 507:
      return "Insufficient Storage";
    case 508:
      return "Loop Detected";
    case 510:
      return "Not Extended";
    case 511:
      return "Network Authentication Required";
    default:
      return "OK";
  }
}

// ---- Header parameters ----

namespace {

// Finds name= at the start of the value or after a blank, "," or ";". Returns
// the offset of the value, or -1.
long find_param(nev_slice v, const char *name) {
  const size_t n = std::strlen(name);
  for (size_t i = 0; i + n < v.len; ++i) {
    if (i > 0 && !std::strchr(" ,;", v.p[i - 1])) continue;
    if (std::memcmp(v.p + i, name, n) == 0 && v.p[i + n] == '=') return long(i + n + 1);
  }
  return -1;
}

// The parameter's text: a quoted value runs to its matching quote (a
// backslash takes the next quote literally), else to a blank, "," or ";".
// Returns false for a quoted value without its closing quote.
bool param_value(nev_slice v, size_t at, std::string &out) {
  out.clear();
  if (at < v.len && (v.p[at] == '"' || v.p[at] == '\'')) {
    const char quote = v.p[at];
    for (size_t i = at + 1; i < v.len; ++i) {
      if (v.p[i] == '\\' && i + 1 < v.len && v.p[i + 1] == quote) {
        out += quote;
        ++i;
      } else if (v.p[i] == quote) {
        return true;
      } else {
        out += v.p[i];
      }
    }
    out.clear();
    return false;
  }
  size_t i = at;
  while (i < v.len && !std::strchr(" ,;", v.p[i])) ++i;
  out.assign(v.p + at, i - at);
  return true;
}

}  // namespace

int nev_http_header_param(nev_slice value, const char *name, char **buf, size_t size) {
  if (buf && *buf && size > 0) (*buf)[0] = '\0';
  long at = find_param(value, name);
  if (at < 0) return 0;
  std::string text;
  if (!param_value(value, size_t(at), text) || text.empty()) return 0;
  if (buf && *buf && text.size() + 1 <= size) {
    std::memcpy(*buf, text.c_str(), text.size() + 1);
  } else {
    char *heap = static_cast<char *>(std::malloc(text.size() + 1));
    if (!heap) return 0;
    std::memcpy(heap, text.c_str(), text.size() + 1);
    *buf = heap;
  }
  return int(text.size());
}

int nev_http_header_param_fixed(nev_slice value, const char *name, char *buf, size_t size) {
  char *out = buf;
  int n = nev_http_header_param(value, name, &out, size);
  if (out != buf) {
    std::free(out);
    if (buf && size > 0) buf[0] = '\0';
    return 0;
  }
  return n;
}

// ---- URL and form decoding ----

int nev_url_decode(const char *src, size_t src_len, char *dst, size_t dst_size, int form) {
  if (dst_size == 0) return -1;
  size_t i = 0, j = 0;
  for (; i < src_len && j + 1 < dst_size; ++i, ++j) {
    if (src[i] == '%') {
      if (i + 2 >= src_len) return -1;
      if (!std::isxdigit(static_cast<unsigned char>(src[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(src[i + 2])))
        return -1;
      dst[j] = char((nev_hex_digit_value(src[i + 1]) << 4) | nev_hex_digit_value(src[i + 2]));
      i += 2;
    } else if (form && src[i] == '+') {
      dst[j] = ' ';
    } else {
      dst[j] = src[i];
    }
  }
  dst[j] = '\0';
  return i < src_len ? -1 : int(j);
}

int nev_http_get_var(nev_slice text, const char *name, char *dst, size_t dst_size) {
  if (!text.p || text.len == 0) return -1;
  if (!dst || dst_size == 0) return -2;
  dst[0] = '\0';
  const size_t n = std::strlen(name);
  for (size_t i = 0; i + n < text.len; ++i) {
    if (i > 0 && text.p[i - 1] != '&') continue;
    if (nev_ncasecmp(text.p + i, name, n) != 0 || text.p[i + n] != '=') continue;
    const char *v = text.p + i + n + 1;
    const char *end = text.p + text.len;
    const char *amp = static_cast<const char *>(std::memchr(v, '&', size_t(end - v)));
    const char *stop = amp ? amp : end;
    int rc = nev_url_decode(v, size_t(stop - v), dst, dst_size, 1);
    return rc < 0 ? -3 : rc;
  }
  return -4;
}

// ---- Multipart ----

size_t nev_http_parse_multipart(const char *buf, size_t len, char *name, size_t name_size, char *file_name,
                                size_t file_name_size, const char **data, size_t *data_len) {
  if (name && name_size) name[0] = '\0';
  if (file_name && file_name_size) file_name[0] = '\0';
  int head_len = nev_http_request_length(buf, len);
  if (head_len <= 0 || len < 2 || buf[0] != '-' || buf[1] != '-' || (len > 2 && buf[2] == '\n')) return 0;
  head_line boundary = take_line(buf, buf + head_len);
  for (const char *p = boundary.next; p < buf + head_len;) {
    head_line line = take_line(p, buf + head_len);
    if (line.len == 0) break;
    static const char kDisposition[] = "Content-Disposition: ";
    const size_t kd = sizeof kDisposition - 1;
    if (line.len > kd && nev_ncasecmp(line.p, kDisposition, kd) == 0) {
      nev_slice v{line.p + kd, line.len - kd};
      if (name) nev_http_header_param_fixed(v, "name", name, name_size);
      if (file_name) nev_http_header_param_fixed(v, "filename", file_name, file_name_size);
    }
    p = line.next;
  }
  nev_slice rest{buf + head_len, len - size_t(head_len)};
  nev_slice needle{boundary.p, boundary.len};
  for (const char *pos = rest.p; pos < rest.p + rest.len;) {
    const char *hit = nev_slice_find(nev_slice{pos, size_t(rest.p + rest.len - pos)}, needle);
    if (!hit) return 0;
    if (hit - rest.p >= 2) {
      *data = rest.p;
      *data_len = size_t(hit - rest.p) - 2;
      return size_t(hit - buf);
    }
    pos = hit + 1;
  }
  return 0;
}

// ---- Dates and entity tags ----

// The proleptic Gregorian calendar by arithmetic: gmtime_r takes the C
// library's time-zone lock, which every connection thread would queue on.
size_t nev_http_format_date(char *buf, size_t size, time_t t) {
  int64_t days = int64_t(t) / 86400;
  int64_t secs = int64_t(t) % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  const int weekday = int(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = int(doy - (153 * mp + 2) / 5 + 1);
  const int month = int(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  int n = std::snprintf(buf, size, "%s, %02d %s %04lld %02d:%02d:%02d GMT", kDays[weekday], day, kMonths[month - 1],
                        static_cast<long long>(year), int(secs / 3600), int(secs / 60 % 60), int(secs % 60));
  if (n < 0) return 0;
  return size_t(n) < size ? size_t(n) : (size ? size - 1 : 0);
}

time_t nev_http_parse_date(const char *text) {
  char month[4] = {0};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  const bool matched =
      std::sscanf(text, "%d/%3s/%d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6 ||
      std::sscanf(text, "%d %3s %d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6 ||
      std::sscanf(text, "%*3s, %d %3s %d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6 ||
      std::sscanf(text, "%d-%3s-%d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6;
  if (!matched || year <= 1970) return 0;
  for (int m = 0; m < 12; ++m) {
    if (std::strcmp(month, kMonths[m]) != 0) continue;
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_sec = second;
    tm.tm_min = minute;
    tm.tm_hour = hour;
    tm.tm_mday = day;
    tm.tm_mon = m;
    tm.tm_year = year - 1900;
    double secs = nev_timegm(&tm);
    return secs < 0 ? 0 : time_t(secs);
  }
  return 0;
}

size_t nev_http_etag(char *buf, size_t size, const struct stat &st) {
  int n = std::snprintf(buf, size, "\"%lx.%lld\"", static_cast<unsigned long>(uint32_t(st.st_mtime)),
                        static_cast<long long>(st.st_size));
  if (n < 0) return 0;
  return size_t(n) < size ? size_t(n) : (size ? size - 1 : 0);
}

void nev_html_escape_append(std::string &out, nev_slice text) {
  for (size_t i = 0; i < text.len; ++i) {
    switch (text.p[i]) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += text.p[i];
    }
  }
}
