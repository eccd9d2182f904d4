#include "nev_codec.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// ---- Digest plumbing shared by MD5 and SHA-1: both absorb 64-byte blocks
// and count the message length in bits in two 32-bit words. ----

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

template <typename Context, typename Transform>
void absorb(Context *ctx, const void *bytes, size_t len, Transform transform) {
  const unsigned char *in = static_cast<const unsigned char *>(bytes);
  size_t used = (ctx->bits[0] >> 3) & 63;
  uint64_t bits = (static_cast<uint64_t>(ctx->bits[1]) << 32 | ctx->bits[0]) + (static_cast<uint64_t>(len) << 3);
  ctx->bits[0] = static_cast<uint32_t>(bits);
  ctx->bits[1] = static_cast<uint32_t>(bits >> 32);
  while (len > 0) {
    size_t take = 64 - used < len ? 64 - used : len;
    memcpy(ctx->block + used, in, take);
    used += take;
    in += take;
    len -= take;
    if (used == 64) {
      transform(ctx->state, ctx->block);
      used = 0;
    }
  }
}

// Appends 0x80, zeros and the 64-bit length (written by put_length) so the
// message ends on a block boundary.
template <typename Context, typename Transform, typename PutLength>
void pad_message(Context *ctx, Transform transform, PutLength put_length) {
  unsigned char length[8];
  put_length(length, ctx->bits);
  size_t used = (ctx->bits[0] >> 3) & 63;
  static const unsigned char padding[64] = {0x80};
  size_t pad = used < 56 ? 56 - used : 120 - used;
  absorb(ctx, padding, pad, transform);
  absorb(ctx, length, 8, transform);
}

uint32_t load_le32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint32_t load_be32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}

void store_le32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void store_be32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// ---- MD5 (RFC 1321) ----

const uint32_t kMd5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

const int kMd5Shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void md5_transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++) x[i] = load_le32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; i++) {
    int round = i / 16;
    uint32_t f;
    int g;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
        break;
    }
    uint32_t sum = a + f + kMd5Sines[i] + x[g];
    a = d;
    d = c;
    c = b;
    b = b + rotl(sum, kMd5Shifts[round][i % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

// ---- SHA-1 (FIPS 180-1) ----

void sha1_transform(uint32_t state[5], const unsigned char block[64]) {
  uint32_t w[80];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 80; i++) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; i++) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

void nev_md5_init(nev_md5_context *ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->bits[0] = ctx->bits[1] = 0;
}

void nev_md5_update(nev_md5_context *ctx, const void *bytes, size_t len) { absorb(ctx, bytes, len, md5_transform); }

void nev_md5_final(unsigned char digest[16], nev_md5_context *ctx) {
  pad_message(ctx, md5_transform, [](unsigned char out[8], const uint32_t bits[2]) {
    store_le32(out, bits[0]);
    store_le32(out + 4, bits[1]);
  });
  for (int i = 0; i < 4; i++) store_le32(digest + 4 * i, ctx->state[i]);
  memset(ctx, 0, sizeof *ctx);
}

void nev_sha1_init(nev_sha1_context *ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xEFCDAB89;
  ctx->state[2] = 0x98BADCFE;
  ctx->state[3] = 0x10325476;
  ctx->state[4] = 0xC3D2E1F0;
  ctx->bits[0] = ctx->bits[1] = 0;
}

void nev_sha1_update(nev_sha1_context *ctx, const void *bytes, size_t len) { absorb(ctx, bytes, len, sha1_transform); }

void nev_sha1_final(unsigned char digest[20], nev_sha1_context *ctx) {
  pad_message(ctx, sha1_transform, [](unsigned char out[8], const uint32_t bits[2]) {
    store_be32(out, bits[1]);
    store_be32(out + 4, bits[0]);
  });
  for (int i = 0; i < 5; i++) store_be32(digest + 4 * i, ctx->state[i]);
  memset(ctx, 0, sizeof *ctx);
}

void nev_hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, unsigned char digest[20]) {
  unsigned char block_key[64] = {0};
  nev_sha1_context ctx;
  if (key_len > sizeof block_key) {
    nev_sha1_init(&ctx);
    nev_sha1_update(&ctx, key, key_len);
    nev_sha1_final(block_key, &ctx);
  } else if (key_len > 0) {
    memcpy(block_key, key, key_len);
  }
  unsigned char inner_pad[64], outer_pad[64];
  for (int i = 0; i < 64; i++) {
    inner_pad[i] = block_key[i] ^ 0x36;
    outer_pad[i] = block_key[i] ^ 0x5C;
  }
  unsigned char inner[20];
  nev_sha1_init(&ctx);
  nev_sha1_update(&ctx, inner_pad, sizeof inner_pad);
  nev_sha1_update(&ctx, data, data_len);
  nev_sha1_final(inner, &ctx);
  nev_sha1_init(&ctx);
  nev_sha1_update(&ctx, outer_pad, sizeof outer_pad);
  nev_sha1_update(&ctx, inner, sizeof inner);
  nev_sha1_final(digest, &ctx);
}

// ---- Base64 ----

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Emits the characters of one group of 1 to 3 bytes, padded to four.
template <typename Put>
void encode_group(const unsigned char *in, int n, Put put) {
  unsigned char b0 = in[0], b1 = n > 1 ? in[1] : 0, b2 = n > 2 ? in[2] : 0;
  put(kBase64Alphabet[b0 >> 2]);
  put(kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)]);
  put(n > 1 ? kBase64Alphabet[((b1 & 0x0f) << 2) | (b2 >> 6)] : '=');
  put(n > 2 ? kBase64Alphabet[b2 & 0x3f] : '=');
}

template <typename Put>
void encode_all(const void *bytes, int count, Put put) {
  const unsigned char *in = static_cast<const unsigned char *>(bytes);
  for (int i = 0; i < count; i += 3) encode_group(in + i, count - i < 3 ? count - i : 3, put);
}

void append_char_to_buffer(int c, void *user_data) {
  nev_buffer *buf = static_cast<nev_buffer *>(user_data);
  char ch = static_cast<char>(c);
  nev_buffer_insert_unlocked(buf, buf->len, &ch, 1);
}

constexpr signed char kInvalid = -1;
constexpr signed char kPadding = -2;

signed char base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<signed char>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<signed char>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<signed char>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kPadding;
  return kInvalid;
}

}  // namespace

int nev_base64_encode(const void *bytes, int count, char *out) {
  int n = 0;
  encode_all(bytes, count, [&](char c) { out[n++] = c; });
  out[n] = '\0';
  return n;
}

void nev_base64_print(FILE *stream, const void *bytes, int count) {
  encode_all(bytes, count, [&](char c) { fputc(c, stream); });
}

void nev_base64_init(nev_base64_context *ctx, nev_base64_putc_fn putc, void *user_data) {
  ctx->putc = putc;
  ctx->chunk_len = 0;
  ctx->user_data = user_data;
}

void nev_base64_update(nev_base64_context *ctx, const void *bytes, size_t len) {
  const unsigned char *in = static_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < len; i++) {
    ctx->chunk[ctx->chunk_len++] = in[i];
    if (ctx->chunk_len == 3) {
      encode_group(ctx->chunk, 3, [ctx](char c) { ctx->putc(c, ctx->user_data); });
      ctx->chunk_len = 0;
    }
  }
}

void nev_base64_finish(nev_base64_context *ctx) {
  if (ctx->chunk_len == 0) return;
  for (int i = ctx->chunk_len; i < 3; i++) ctx->chunk[i] = 0;
  encode_group(ctx->chunk, ctx->chunk_len, [ctx](char c) { ctx->putc(c, ctx->user_data); });
  ctx->chunk_len = 0;
}

void nev_buffer_append_base64(nev_buffer *buf, const void *bytes, size_t len) {
  nev_mutex_guard lock(buf->mutex);
  nev_base64_context ctx;
  nev_base64_init(&ctx, append_char_to_buffer, buf);
  nev_base64_update(&ctx, bytes, len);
  nev_base64_finish(&ctx);
}

void nev_buffer_append_basic_auth(nev_slice user, nev_slice password, nev_buffer *buf) {
  static const char kHeader[] = "Authorization: Basic ";
  nev_mutex_guard lock(buf->mutex);
  nev_buffer_insert_unlocked(buf, buf->len, kHeader, sizeof kHeader - 1);
  nev_base64_context ctx;
  nev_base64_init(&ctx, append_char_to_buffer, buf);
  nev_base64_update(&ctx, user.p, user.len);
  if (password.len > 0) {
    nev_base64_update(&ctx, ":", 1);
    nev_base64_update(&ctx, password.p, password.len);
  }
  nev_base64_finish(&ctx);
  nev_buffer_insert_unlocked(buf, buf->len, "\r\n", 2);
}

int nev_base64_decode(const char *text, int len, char *out, int *decoded_len) {
  const unsigned char *in = reinterpret_cast<const unsigned char *>(text);
  int consumed = 0, n = 0;
  while (len - consumed >= 4) {
    signed char v[4];
    for (int i = 0; i < 4; i++) v[i] = base64_value(in[consumed + i]);
    if (v[0] == kInvalid || v[1] == kInvalid || v[2] == kInvalid || v[3] == kInvalid) break;
    consumed += 4;
    if (v[0] == kPadding || v[1] == kPadding) break;
    out[n++] = static_cast<char>(v[0] << 2 | v[1] >> 4);
    if (v[2] == kPadding) break;
    out[n++] = static_cast<char>((v[1] & 0x0f) << 4 | v[2] >> 2);
    if (v[3] == kPadding) break;
    out[n++] = static_cast<char>((v[2] & 0x03) << 6 | v[3]);
  }
  out[n] = '\0';
  if (decoded_len != nullptr) *decoded_len = n;
  return consumed;
}

// ---- URL and URI ----

namespace {

bool is_ascii_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Empty parts are reported as {NULL, 0}, whether absent or present but empty.
nev_slice part(const char *begin, const char *end) {
  if (begin == NULL || end <= begin) return nev_slice{NULL, 0};
  return nev_slice{begin, static_cast<size_t>(end - begin)};
}

template <typename T>
void give(T *out, const T &value) {
  if (out != NULL) *out = value;
}

bool slice_given(const nev_slice *s) { return s != NULL && s->p != NULL && s->len > 0; }

nev_slice heap_text(const std::string &text) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy == NULL) return nev_slice{NULL, 0};
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return nev_slice{copy, text.size()};
}

bool is_dot(nev_slice component) {
  return (component.len == 1 && component.p[0] == '.') ||
         (component.len == 2 && component.p[0] == '.' && component.p[1] == '/');
}

bool is_dot_dot(nev_slice component) {
  return component.len >= 2 && component.p[0] == '.' && component.p[1] == '.' &&
         (component.len == 2 || (component.len == 3 && component.p[2] == '/'));
}

}  // namespace

nev_slice nev_url_encode(nev_slice src, nev_slice safe, int flags) try {
  const char *digits = (flags & NEV_URL_ENCODE_UPPERCASE_HEX) ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(src.len);
  for (size_t i = 0; i < src.len; i++) {
    unsigned char c = static_cast<unsigned char>(src.p[i]);
    if (is_ascii_alnum(c) || nev_slice_chr(safe, c) != NULL) {
      out += static_cast<char>(c);
    } else if (c == ' ' && (flags & NEV_URL_ENCODE_SPACE_AS_PLUS)) {
      out += '+';
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0x0f];
    }
  }
  return heap_text(out);
} catch (const std::bad_alloc &) {
  return nev_slice{NULL, 0};
}

nev_slice nev_url_encode_default(nev_slice src) { return nev_url_encode(src, nev_slice_from_cstr("._-$,;~()/"), 0); }

int nev_parse_uri(nev_slice uri, nev_slice *scheme, nev_slice *user_info, nev_slice *host, unsigned *port,
                  nev_slice *path, nev_slice *query, nev_slice *fragment) {
  enum class step { start, scheme_or_port, user_info, host, port, rest, done };
  nev_slice r_scheme{}, r_user{}, r_host{}, r_path{}, r_query{}, r_fragment{};
  unsigned r_port = 0;
  const char *p = uri.p, *end = uri.p + uri.len, *mark = uri.p;

  step s = step::start;
  while (s != step::done) {
    switch (s) {
      case step::start:
        if (p < end && *p == '[') {
          s = step::host;
          break;
        }
        while (p < end && *p != ':' && *p != '/') p++;
        if (p == end) {
          r_host = part(mark, end);
          s = step::done;
        } else if (*p == ':') {
          s = step::scheme_or_port;
        } else {
          r_host = part(mark, p);
          s = step::rest;
        }
        break;
      case step::scheme_or_port:
        if (end - p >= 3 && memcmp(p, "://", 3) == 0) {
          r_scheme = part(mark, p);
          p += 3;
          s = step::user_info;
        } else {
          r_host = part(mark, p);
          s = step::port;
        }
        break;
      case step::user_info: {
        const char *q = p;
        while (q < end && *q != '@' && *q != '[' && *q != '/') q++;
        if (q < end && *q == '@') {
          r_user = part(p, q);
          p = q;
        }
        s = step::host;
        break;
      }
      case step::host:
        if (p < end && *p == '@') p++;
        if (p < end && *p == '[') {
          const char *close = static_cast<const char *>(memchr(p, ']', static_cast<size_t>(end - p)));
          if (close == NULL) return -1;
          r_host = part(p, close + 1);
          p = close + 1;
          if (p == end)
            s = step::done;
          else if (*p == ':')
            s = step::port;
          else if (*p == '/')
            s = step::rest;
          // any other character starts a new host at that character
        } else {
          mark = p;
          while (p < end && *p != ':' && *p != '/') p++;
          r_host = part(mark, p);
          s = p == end ? step::done : (*p == ':' ? step::port : step::rest);
        }
        break;
      case step::port:
        for (p++; p < end && *p != '/'; p++) r_port = r_port * 10 + static_cast<unsigned>(*p - '0');
        s = p < end ? step::rest : step::done;
        break;
      case step::rest:
        mark = p;
        while (p < end && *p != '?' && *p != '#') p++;
        r_path = part(mark, p);
        if (p < end && *p == '?') {
          mark = ++p;
          while (p < end && *p != '#') p++;
          r_query = part(mark, p);
        }
        if (p < end && *p == '#') r_fragment = part(p + 1, end);
        s = step::done;
        break;
      case step::done:
        break;
    }
  }
  give(scheme, r_scheme);
  give(user_info, r_user);
  give(host, r_host);
  give(port, r_port);
  give(path, r_path);
  give(query, r_query);
  give(fragment, r_fragment);
  return 0;
}

int nev_normalize_uri_path(nev_slice in, nev_slice *out) {
  char *dst = const_cast<char *>(out->p);
  if (in.len == 0 || in.p[0] != '/') {
    out->len = 0;
    return 0;
  }
  // The output never runs ahead of the input, so dst may be in.p itself.
  size_t n = 0;
  const char *p = in.p, *end = in.p + in.len;
  while (p < end) {
    const char *slash = static_cast<const char *>(memchr(p, '/', static_cast<size_t>(end - p)));
    const char *next = slash != NULL ? slash + 1 : end;
    nev_slice component{p, static_cast<size_t>(next - p)};
    if (is_dot_dot(component)) {
      if (n > 1 && dst[n - 1] == '/') n--;
      while (n > 0 && dst[n - 1] != '/') n--;
    } else if (!is_dot(component)) {
      memmove(dst + n, component.p, component.len);
      n += component.len;
    }
    p = next;
  }
  if (n == 0) dst[n++] = '/';
  out->len = n;
  return 1;
}

int nev_assemble_uri(const nev_slice *scheme, const nev_slice *user_info, const nev_slice *host, unsigned port,
                     const nev_slice *path, const nev_slice *query, const nev_slice *fragment, int normalize,
                     nev_slice *out) try {
  *out = nev_slice{NULL, 0};
  std::string text;
  if (slice_given(scheme)) text.append(scheme->p, scheme->len).append("://");
  if (slice_given(user_info)) text.append(user_info->p, user_info->len).append("@");
  if (slice_given(host)) text.append(host->p, host->len);
  if (port != 0) text.append(":").append(std::to_string(port));
  if (slice_given(path)) {
    if (normalize) {
      std::string copy(path->p, path->len);
      nev_slice normalized{copy.data(), 0};
      if (!nev_normalize_uri_path(nev_slice{copy.data(), copy.size()}, &normalized)) return -1;
      text.append(normalized.p, normalized.len);
    } else {
      text.append(path->p, path->len);
    }
  } else if (normalize) {
    text.append("/");
  }
  if (slice_given(query)) text.append("?").append(query->p, query->len);
  if (slice_given(fragment)) text.append("#").append(fragment->p, fragment->len);
  *out = heap_text(text);
  return out->p == NULL ? -1 : 0;
} catch (const std::bad_alloc &) {
  *out = nev_slice{NULL, 0};
  return -1;
}

const char *nev_next_token(const char *pos, const char *end, const char *delimiters, nev_slice *token) {
  auto delimiter = [delimiters](char c) { return c != '\0' && strchr(delimiters, c) != NULL; };
  const char *p = pos;
  while (p < end && !delimiter(*p)) p++;
  *token = nev_slice{pos, static_cast<size_t>(p - pos)};
  while (p < end && delimiter(*p)) p++;
  return p;
}

// ---- Socket addresses ----

int nev_sock_addr_to_str(const sockaddr_in *addr, char *buf, size_t size, unsigned flags) {
  if (buf == NULL || size == 0) return 0;
  memset(buf, 0, size);
  if (flags & NEV_SOCK_STRINGIFY_IP) {
    char ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &addr->sin_addr, ip, sizeof ip) == NULL) return 0;
    snprintf(buf, size, "%s", ip);
  }
  if (flags & NEV_SOCK_STRINGIFY_PORT) {
    size_t used = strlen(buf);
    const char *format = (flags & NEV_SOCK_STRINGIFY_IP) ? ":%d" : "%d";
    snprintf(buf + used, size - used, format, static_cast<int>(ntohs(addr->sin_port)));
  }
  return static_cast<int>(strlen(buf));
}

int nev_sock_to_str(int sock, char *buf, size_t size, unsigned flags) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  socklen_t len = sizeof addr;
  sockaddr *sa = reinterpret_cast<sockaddr *>(&addr);
  int rc = (flags & NEV_SOCK_STRINGIFY_REMOTE) ? getpeername(sock, sa, &len) : getsockname(sock, sa, &len);
  if (rc != 0 || addr.sin_family != AF_INET) memset(&addr, 0, sizeof addr);
  return nev_sock_addr_to_str(&addr, buf, size, flags);
}

// ---- Hex dumps ----

namespace {

// Appends formatted text while it fits; once a piece would run past the end
// the text is cut there and the dump stops.
class dump_writer {
 public:
  dump_writer(char *buf, int size) : buf_(buf), size_(size) { buf_[0] = '\0'; }

  template <typename... Args>
  bool put(const char *format, Args... args) {
    if (full_) return false;
    int n = snprintf(buf_ + used_, static_cast<size_t>(size_ - used_), format, args...);
    if (n < 0 || used_ + n >= size_) {
      used_ = size_ - 1;
      full_ = true;
      return false;
    }
    used_ += n;
    return true;
  }
  int used() const { return used_; }

 private:
  char *buf_;
  int size_;
  int used_ = 0;
  bool full_ = false;
};

}  // namespace

int nev_hexdump(const void *bytes, int count, char *buf, int size, unsigned base_offset) {
  if (buf == NULL || size <= 0) return 0;
  dump_writer out(buf, size);
  const unsigned char *in = static_cast<const unsigned char *>(bytes);
  char column[17] = {0};
  for (int i = 0; i < count; i++) {
    if (i % 16 == 0) {
      if (i > 0 && !out.put("  %s\n", column)) return out.used();
      if (!out.put("%04x ", base_offset + static_cast<unsigned>(i))) return out.used();
    }
    if (!out.put(" %02x", in[i])) return out.used();
    column[i % 16] = in[i] >= 32 && in[i] <= 126 ? static_cast<char>(in[i]) : '.';
    column[i % 16 + 1] = '\0';
  }
  if (count > 0) {
    for (int missing = (16 - count % 16) % 16; missing > 0; missing--) {
      if (!out.put("   ")) return out.used();
    }
    out.put("  %s\n", column);
  }
  return out.used();
}

int nev_hexdump_at_zero(const void *bytes, int count, char *buf, int size) {
  return nev_hexdump(bytes, count, buf, size, 0);
}

void nev_hexdump_file(FILE *stream, const void *bytes, int count) {
  const unsigned char *in = static_cast<const unsigned char *>(bytes);
  char line[80];
  for (int i = 0; i < count; i += 16) {
    nev_hexdump(in + i, count - i < 16 ? count - i : 16, line, sizeof line, static_cast<unsigned>(i));
    fputs(line, stream);
  }
}

// ---- Time ----

namespace {

// The zone offset of a UTC second. Offsets only change on whole seconds, so
// one lookup per second and thread gives the same answer as a lookup per call
// while keeping the C library's time-zone lock off the hot path.
long zone_offset_of(time_t seconds) {
  thread_local time_t cached_second = -1;
  thread_local long cached_offset = 0;
  if (seconds != cached_second) {
    struct tm local;
    cached_offset = localtime_r(&seconds, &local) != NULL ? local.tm_gmtoff : 0;
    cached_second = seconds;
  }
  return cached_offset;
}

}  // namespace

double nev_now(void) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const long offset = zone_offset_of(ts.tv_sec);
  return static_cast<double>(ts.tv_sec + offset) + static_cast<double>(ts.tv_nsec / 1000000) / 1000.0;
}

double nev_timegm(const struct tm *tm) {
  static const int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int64_t month = tm->tm_mon % 12;
  int64_t year = static_cast<int64_t>(tm->tm_year) + tm->tm_mon / 12;
  if (month < 0) {
    month += 12;
    year--;
  }
  int64_t leap_year = month > 1 ? year + 1 : year;
  int64_t days = kDaysBeforeMonth[month] + tm->tm_mday - 1 + 365 * (year - 70) + (leap_year - 69) / 4 -
                 (leap_year - 1) / 100 + (leap_year + 299) / 400;
  int64_t seconds = ((days * 24 + tm->tm_hour) * 60 + tm->tm_min) * 60 + tm->tm_sec;
  return seconds < 0 ? -1.0 : static_cast<double>(seconds);
}
