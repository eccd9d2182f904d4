#include "nev_str.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nev_base.h"

namespace {

int compare_bytes(signed char a, signed char b) { return a < b ? -1 : (a > b ? 1 : 0); }

int compare_lengths(size_t a, size_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Difference of two lengths as an int, clamped so huge slices keep the sign.
int length_difference(size_t a, size_t b) {
  if (a == b) return 0;
  if (a > b) return a - b > INT32_MAX ? INT32_MAX : static_cast<int>(a - b);
  return b - a > INT32_MAX ? -INT32_MAX : -static_cast<int>(b - a);
}

bool is_delimiter(char c, const char *delimiters) { return c != '\0' && strchr(delimiters, c) != NULL; }

// ASCII only: a locale's table lookup per byte is both slower and wrong for
// protocol texts.
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

nev_slice nev_slice_from_cstr(const char *text) { return nev_slice{text, text == NULL ? 0 : strlen(text)}; }

nev_slice nev_slice_from(const void *p, size_t len) { return nev_slice{static_cast<const char *>(p), len}; }

int nev_slice_cmp_cstr(nev_slice slice, const char *text) {
  size_t text_len = strlen(text);
  size_t n = slice.len < text_len ? slice.len : text_len;
  int r = n == 0 ? 0 : strncmp(slice.p, text, n);
  return r != 0 ? r : length_difference(slice.len, text_len);
}

int nev_slice_casecmp_cstr(nev_slice slice, const char *text) {
  size_t text_len = strlen(text);
  size_t n = slice.len < text_len ? slice.len : text_len;
  int r = nev_ncasecmp(slice.p, text, n);
  return r != 0 ? r : length_difference(slice.len, text_len);
}

int nev_slice_cmp(nev_slice a, nev_slice b) {
  size_t n = a.len < b.len ? a.len : b.len;
  for (size_t i = 0; i < n; i++) {
    int r = compare_bytes(static_cast<signed char>(a.p[i]), static_cast<signed char>(b.p[i]));
    if (r != 0) return r;
  }
  return compare_lengths(a.len, b.len);
}

int nev_slice_ncmp(nev_slice a, nev_slice b, size_t n) {
  return nev_slice_cmp(nev_slice{a.p, a.len < n ? a.len : n}, nev_slice{b.p, b.len < n ? b.len : n});
}

int nev_slice_casecmp(nev_slice a, nev_slice b) {
  size_t n = a.len < b.len ? a.len : b.len;
  for (size_t i = 0; i < n; i++) {
    int r = compare_bytes(static_cast<signed char>(lower(a.p[i])), static_cast<signed char>(lower(b.p[i])));
    if (r != 0) return r;
  }
  return compare_lengths(a.len, b.len);
}

const char *nev_slice_chr(nev_slice slice, int c) {
  if (slice.len == 0) return NULL;
  return static_cast<const char *>(memchr(slice.p, c, slice.len));
}

const char *nev_slice_find(nev_slice haystack, nev_slice needle) {
  if (needle.len > haystack.len) return NULL;
  if (needle.len == 0) return haystack.p;
  for (size_t i = 0; i + needle.len <= haystack.len; i++) {
    if (memcmp(haystack.p + i, needle.p, needle.len) == 0) return haystack.p + i;
  }
  return NULL;
}

nev_slice nev_slice_strip(nev_slice slice) {
  while (slice.len > 0 && isspace(static_cast<unsigned char>(slice.p[0]))) {
    slice.p++;
    slice.len--;
  }
  while (slice.len > 0 && isspace(static_cast<unsigned char>(slice.p[slice.len - 1]))) slice.len--;
  return slice;
}

int nev_slice_starts_with(nev_slice slice, nev_slice prefix) {
  if (slice.len < prefix.len) return 0;
  return prefix.len == 0 || memcmp(slice.p, prefix.p, prefix.len) == 0 ? 1 : 0;
}

nev_slice nev_slice_dup(nev_slice slice) {
  if (slice.p == NULL || slice.len == 0) return nev_slice{NULL, 0};
  char *copy = static_cast<char *>(malloc(slice.len));
  if (copy == NULL) return nev_slice{NULL, 0};
  memcpy(copy, slice.p, slice.len);
  return nev_slice{copy, slice.len};
}

nev_slice nev_slice_dup_cstr(nev_slice slice) {
  if (slice.p == NULL || slice.len == 0) return nev_slice{NULL, 0};
  char *copy = static_cast<char *>(malloc(slice.len + 1));
  if (copy == NULL) return nev_slice{NULL, 0};
  memcpy(copy, slice.p, slice.len);
  copy[slice.len] = '\0';
  return nev_slice{copy, slice.len};
}

void nev_slice_free(nev_slice *slice) {
  free(const_cast<char *>(slice->p));
  slice->p = NULL;
  slice->len = 0;
}

size_t nev_bounded_strlen(const char *text, size_t n) { return strnlen(text, n); }

const char *nev_bounded_strstr(const char *text, const char *needle, size_t n) {
  size_t needle_len = strlen(needle);
  for (size_t i = 0; i + needle_len <= n; i++) {
    if (memcmp(text + i, needle, needle_len) == 0) return text + i;
  }
  return NULL;
}

int nev_tolower_byte(const char *p) { return static_cast<unsigned char>(lower(*p)); }

int nev_ncasecmp(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    int diff = nev_tolower_byte(a + i) - nev_tolower_byte(b + i);
    if (diff != 0 || a[i] == '\0') return diff;
  }
  return 0;
}

int nev_casecmp(const char *a, const char *b) { return nev_ncasecmp(a, b, SIZE_MAX); }

const char *nev_skip_token(const char **cursor, const char *end, const char *delimiters, nev_slice *token) {
  const char *start = *cursor;
  const char *p = start;
  while (p < end && !is_delimiter(*p, delimiters)) p++;
  *token = nev_slice{start, static_cast<size_t>(p - start)};
  if (p < end) p++;
  *cursor = p;
  return p;
}

nev_slice nev_next_list_entry_slice(nev_slice list, nev_slice *key, nev_slice *value) {
  if (list.p == NULL || list.len == 0) return nev_slice{NULL, 0};
  const char *end = list.p + list.len;
  const char *comma = static_cast<const char *>(memchr(list.p, ',', list.len));
  const char *entry_end = comma != NULL ? comma : end;
  *key = nev_slice{list.p, static_cast<size_t>(entry_end - list.p)};
  if (value != NULL) {
    *value = nev_slice{NULL, 0};
    const char *eq = static_cast<const char *>(memchr(key->p, '=', key->len));
    if (eq != NULL) {
      *value = nev_slice{eq + 1, static_cast<size_t>(entry_end - eq - 1)};
      key->len = static_cast<size_t>(eq - key->p);
    }
  }
  if (comma == NULL) return nev_slice{end, 0};
  return nev_slice{comma + 1, static_cast<size_t>(end - comma - 1)};
}

const char *nev_next_list_entry(const char *list, nev_slice *key, nev_slice *value) {
  if (list == NULL || *list == '\0') return NULL;
  return nev_next_list_entry_slice(nev_slice_from_cstr(list), key, value).p;
}

namespace {

// A pattern rest made of plain characters and a final '$' (no wildcard,
// alternative or other '$'); *literal gets the count before the '$'.
bool is_anchored_literal(nev_slice rest, size_t *literal) {
  if (rest.len == 0 || rest.p[rest.len - 1] != '$') return false;
  for (size_t i = 0; i + 1 < rest.len; i++) {
    const char c = rest.p[i];
    if (c == '*' || c == '?' || c == '$' || c == '|' || c == ',') return false;
  }
  *literal = rest.len - 1;
  return true;
}

// A wildcard at pattern[at] (the text is matched up to `at` already): take the
// longest run it may cover, then give characters back until the rest of the
// pattern matches what follows.
size_t match_wildcard(nev_slice pattern, nev_slice text, size_t at) {
  size_t next = at + 1;
  size_t run = 0;
  if (next < pattern.len && pattern.p[next] == '*') {
    next++;
    run = text.len - at;
  } else {
    while (at + run < text.len && text.p[at + run] != '/') run++;
  }
  if (next == pattern.len || (next == pattern.len - 1 && pattern.p[next] == '$')) return at + run;
  nev_slice rest{pattern.p + next, pattern.len - next};
  size_t literal = 0;
  if (is_anchored_literal(rest, &literal) && memchr(text.p + at, '$', text.len - at) == NULL) {
    // Only the end of the text can match a literal anchored there (a '$' in
    // the text would match the anchor as a plain character, hence the walk
    // then), so the walk over every place the wildcard could stop comes down
    // to one compare.
    const size_t left = text.len - at;
    if (left < literal || left - literal > run) return 0;
    const char *tail = text.p + text.len - literal;
    for (size_t i = 0; i < literal; i++)
      if (lower(rest.p[i]) != lower(tail[i])) return 0;
    return text.len;
  }
  for (size_t taken = run + 1; taken-- > 0;) {
    nev_slice after{text.p + at + taken, text.len - at - taken};
    size_t r = nev_match_prefix_slice(rest, after);
    if (r != 0) return at + taken + r;
  }
  return 0;
}

}  // namespace

size_t nev_match_prefix_slice(nev_slice pattern, nev_slice text) {
  const char *alt = nev_slice_chr(pattern, '|');
  if (alt == NULL) alt = nev_slice_chr(pattern, ',');
  if (alt != NULL) {
    size_t left_len = static_cast<size_t>(alt - pattern.p);
    size_t r = nev_match_prefix_slice(nev_slice{pattern.p, left_len}, text);
    if (r != 0) return r;
    return nev_match_prefix_slice(nev_slice{alt + 1, pattern.len - left_len - 1}, text);
  }
  size_t i = 0;
  while (i < pattern.len && i < text.len) {
    char c = pattern.p[i];
    if (c == '*') return match_wildcard(pattern, text, i);
    if (c != '?' && lower(c) != lower(text.p[i])) break;
    i++;
  }
  if (i < pattern.len && pattern.p[i] == '$') return i == text.len ? text.len : 0;
  return i == pattern.len ? i : 0;
}

size_t nev_match_prefix(const char *pattern, size_t pattern_len, const char *text) {
  return nev_match_prefix_slice(nev_slice{pattern, pattern_len}, nev_slice_from_cstr(text));
}

void nev_hex_encode(char *out, const void *bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char *b = static_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < n; i++) {
    out[2 * i] = digits[b[i] >> 4];
    out[2 * i + 1] = digits[b[i] & 0x0f];
  }
  out[2 * n] = '\0';
}

int nev_hex_digit_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

void nev_hex_decode(char *out, const char *text, size_t n) {
  size_t o = 0;
  for (size_t i = 0; i < n; i += 2) {
    int high = nev_hex_digit_value(static_cast<unsigned char>(text[i]));
    int low = i + 1 < n ? nev_hex_digit_value(static_cast<unsigned char>(text[i + 1])) : 0;
    out[o++] = static_cast<char>((high << 4) | low);
  }
  out[o] = '\0';
}

int nev_format_alloc_va(char **buf, size_t size, const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int len = vsnprintf(size == 0 ? NULL : *buf, size, format, copy);
  va_end(copy);
  if (len < 0) return -1;
  if (static_cast<size_t>(len) < size) return len;

  // The text and its NUL did not fit: vsnprintf told the length, so one heap
  // block of exactly that size holds it.
  char *heap = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
  if (heap == NULL) {
    *buf = NULL;
    return -1;
  }
  va_copy(copy, args);
  vsnprintf(heap, static_cast<size_t>(len) + 1, format, copy);
  va_end(copy);
  *buf = heap;
  return len;
}

int nev_format_alloc(char **buf, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int len = nev_format_alloc_va(buf, size, format, args);
  va_end(args);
  return len;
}

namespace {

struct format_sink {
  char *buf;
  size_t size;
  size_t n;

  void put(char c) {
    if (n + 1 < size) buf[n] = c;
    n++;
  }
  void pad(char c, int count) {
    for (int i = 0; i < count; i++) put(c);
  }
};

enum class length_kind { plain, half, half_half, wide, size };

// Digits of a number in base 10 or 16, '-' for negatives, padded to width with
// zeros (zero_pad) or blanks; at most 39 digits.
void format_number(format_sink &out, unsigned long long magnitude, bool negative, unsigned base, int width,
                   bool zero_pad) {
  static const char digits[] = "0123456789abcdef";
  char tmp[40];
  int count = 0;
  do {
    tmp[count++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0 && count < 39);
  int used = count + (negative ? 1 : 0);
  int padding = width > used ? width - used : 0;
  if (!zero_pad) out.pad(' ', padding);
  if (negative) out.put('-');
  if (zero_pad) out.pad('0', padding);
  while (count > 0) out.put(tmp[--count]);
}

int read_count(const char *&f, va_list &args) {
  if (*f == '*') {
    f++;
    int v = va_arg(args, int);
    return v < 0 ? 0 : v;
  }
  int v = 0;
  while (*f >= '0' && *f <= '9') v = v * 10 + (*f++ - '0');
  return v;
}

length_kind read_length(const char *&f) {
  switch (*f) {
    case 'h':
      f++;
      if (*f == 'h') {
        f++;
        return length_kind::half_half;
      }
      return length_kind::half;
    case 'l':
      f++;
      if (*f == 'l') f++;
      return length_kind::wide;
    case 'j':
    case 'q':
    case 't':
      f++;
      return length_kind::wide;
    case 'z':
      f++;
      return length_kind::size;
    case 'I':
    case 'L':
      f++;
      return length_kind::plain;
    default:
      return length_kind::plain;
  }
}

long long signed_argument(length_kind kind, va_list &args) {
  switch (kind) {
    case length_kind::wide:
      return va_arg(args, long long);
    case length_kind::size:
      return static_cast<long long>(va_arg(args, ssize_t));
    case length_kind::half:
      return static_cast<short>(va_arg(args, int));
    case length_kind::half_half:
      return static_cast<signed char>(va_arg(args, int));
    default:
      return va_arg(args, int);
  }
}

unsigned long long unsigned_argument(length_kind kind, va_list &args) {
  switch (kind) {
    case length_kind::wide:
      return va_arg(args, unsigned long long);
    case length_kind::size:
      return va_arg(args, size_t);
    case length_kind::half:
      return static_cast<unsigned short>(va_arg(args, unsigned));
    case length_kind::half_half:
      return static_cast<unsigned char>(va_arg(args, unsigned));
    default:
      return va_arg(args, unsigned);
  }
}

void format_string(format_sink &out, const char *s, int width, int precision) {
  size_t len = 0;
  if (s != NULL) len = precision >= 0 ? strnlen(s, static_cast<size_t>(precision)) : strlen(s);
  if (static_cast<size_t>(width) > len) out.pad(' ', width - static_cast<int>(len));
  for (size_t i = 0; i < len; i++) out.put(s[i]);
}

}  // namespace

int nev_bounded_format_va(char *buf, size_t size, const char *format, va_list ap) {
  format_sink out{buf, size, 0};
  va_list args;
  va_copy(args, ap);
  for (const char *f = format; *f != '\0';) {
    if (*f != '%') {
      out.put(*f++);
      continue;
    }
    f++;
    bool zero_pad = false;
    if (*f == '0') {
      zero_pad = true;
      f++;
    }
    int width = read_count(f, args);
    int precision = -1;
    if (*f == '.') {
      f++;
      precision = read_count(f, args);
    }
    length_kind kind = read_length(f);
    char conversion = *f;
    if (conversion != '\0') f++;
    switch (conversion) {
      case '%':
        out.put('%');
        break;
      case 'c':
        out.put(static_cast<char>(va_arg(args, int)));
        break;
      case 's':
        format_string(out, va_arg(args, const char *), width, precision);
        break;
      case 'd': {
        long long v = signed_argument(kind, args);
        unsigned long long magnitude =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        format_number(out, magnitude, v < 0, 10, width, zero_pad);
        break;
      }
      case 'u':
        format_number(out, unsigned_argument(kind, args), false, 10, width, zero_pad);
        break;
      case 'x':
        format_number(out, unsigned_argument(kind, args), false, 16, width, zero_pad);
        break;
      case 'p':
        out.put('0');
        out.put('x');
        format_number(out, reinterpret_cast<uintptr_t>(va_arg(args, void *)), false, 16, 0, false);
        break;
      default:
        va_end(args);
        nev_fatal("unsupported conversion in nev_bounded_format", __FILE__, __LINE__);
    }
  }
  va_end(args);
  if (size > 0) buf[out.n < size ? out.n : size - 1] = '\0';
  return static_cast<int>(out.n);
}

int nev_bounded_format(char *buf, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int len = nev_bounded_format_va(buf, size, format, args);
  va_end(args);
  return len;
}

void nev_md5_byte_order(unsigned char *bytes, size_t words) {
  for (size_t i = 0; i < words; i++, bytes += 4) {
    uint32_t word = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                    static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    memcpy(bytes, &word, 4);
  }
}
