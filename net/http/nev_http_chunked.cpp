// Chunked transfer coding, decoded in place and resumable across reads.
//
// The body area of the receive buffer holds [decoded body][raw rest]. Each
// call decodes every complete chunk at the start of the raw rest, moves its
// data down behind the decoded body and drops its framing, so a body that
// arrives over many reads is reassembled exactly once per byte. A chunk whose
// data has not fully arrived stays raw until a later call.
#include "nev_http.h"

#include <cstring>

namespace {

constexpr size_t kMaxChunkSizeDigits = 6;
// Bounds the text a chunk line or a trailer line may occupy before its line
// end shows up; ignored extensions and trailers must not let a peer park an
// endless line in the buffer.
constexpr size_t kMaxChunkLine = 4096;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Finds the CR LF that ends a line starting at p; returns its offset or -1.
// A bare LF or CR inside the line is malformed (-2).
long find_crlf(const char *p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == '\r') {
      if (i + 1 == n) return -1;
      return p[i + 1] == '\n' ? long(i) : -2;
    }
    if (p[i] == '\n') return -2;
  }
  return -1;
}

enum class line_status { ok, incomplete, malformed };

// Reads "HEX[;extension]\r\n". Extensions are allowed by RFC 9112 and ignored.
line_status parse_size_line(const char *p, size_t n, uint64_t &size, size_t &line_len) {
  size_t digits = 0;
  size = 0;
  while (digits < n && hex_value(p[digits]) >= 0) {
    if (digits == kMaxChunkSizeDigits) return line_status::malformed;
    size = size * 16 + uint64_t(hex_value(p[digits]));
    ++digits;
  }
  if (digits == n) return n > kMaxChunkSizeDigits ? line_status::malformed : line_status::incomplete;
  if (digits == 0) return line_status::malformed;
  if (p[digits] != ';' && p[digits] != '\r') return line_status::malformed;
  long end = find_crlf(p + digits, n - digits);
  if (end == -2) return line_status::malformed;
  if (end == -1) return n > kMaxChunkLine ? line_status::malformed : line_status::incomplete;
  line_len = digits + size_t(end) + 2;
  return line_status::ok;
}

// After the last chunk: trailer field lines, then an empty line. Trailers are
// dropped: nothing downstream would read them and merging them into the head
// would reopen the framing questions the head checks settle.
line_status skip_trailers(const char *p, size_t n, size_t &consumed) {
  size_t pos = 0;
  for (;;) {
    long end = find_crlf(p + pos, n - pos);
    if (end == -2) return line_status::malformed;
    if (end == -1) return (n - pos) > kMaxChunkLine ? line_status::malformed : line_status::incomplete;
    if (end == 0) {
      consumed = pos + 2;
      return line_status::ok;
    }
    if (std::memchr(p + pos, ':', size_t(end)) == nullptr) return line_status::malformed;
    pos += size_t(end) + 2;
  }
}

}  // namespace

nev_http_dechunk_status nev_http_dechunk(char *area, size_t &length, size_t &decoded, uint64_t &total,
                                         uint64_t max_body) {
  size_t raw = decoded;  // start of the raw rest
  nev_http_dechunk_status status = nev_http_dechunk_status::need_more;
  for (;;) {
    uint64_t size = 0;
    size_t line_len = 0;
    line_status ls = parse_size_line(area + raw, length - raw, size, line_len);
    if (ls == line_status::malformed) return nev_http_dechunk_status::malformed;
    if (ls == line_status::incomplete) break;
    if (size == 0) {
      size_t trailer_len = 0;
      ls = skip_trailers(area + raw + line_len, length - raw - line_len, trailer_len);
      if (ls == line_status::malformed) return nev_http_dechunk_status::malformed;
      if (ls == line_status::incomplete) break;
      raw += line_len + trailer_len;
      status = nev_http_dechunk_status::done;
      break;
    }
    if (total + size > max_body) return nev_http_dechunk_status::too_large;
    if (length - raw - line_len < size + 2) break;  // data or its CR LF still on the way
    const char *data = area + raw + line_len;
    if (data[size] != '\r' || data[size + 1] != '\n') return nev_http_dechunk_status::malformed;
    std::memmove(area + decoded, data, size_t(size));
    decoded += size_t(size);
    total += size;
    raw += line_len + size_t(size) + 2;
  }
  // Close the gap between the decoded body and what is still raw.
  if (raw > decoded) {
    std::memmove(area + decoded, area + raw, length - raw);
    length -= raw - decoded;
  }
  return status;
}
