// The engine's coding helpers: MD5, SHA-1 and HMAC-SHA1, Base64, URL encoding,
// URI parsing, path normalisation and assembly, socket addresses as text, hex
// dumps and the engine clock. They keep no state between calls (contexts are
// the caller's) and are reentrant; the only shared thing they touch is a
// nev_buffer, which locks its own mutex.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "nev_buffer.h"
#include "nev_str.h"

// ---- Digests (RFC 1321, FIPS 180-1 / RFC 3174, RFC 2104) ----

struct nev_md5_context {
  uint32_t state[4];
  uint32_t bits[2];  // message length in bits, low word first
  unsigned char block[64];
};

struct nev_sha1_context {
  uint32_t state[5];
  uint32_t bits[2];  // message length in bits, low word first
  unsigned char block[64];
};

void nev_md5_init(nev_md5_context *ctx);
void nev_md5_update(nev_md5_context *ctx, const void *bytes, size_t len);
// Writes the digest and zeroes the context.
void nev_md5_final(unsigned char digest[16], nev_md5_context *ctx);

void nev_sha1_init(nev_sha1_context *ctx);
void nev_sha1_update(nev_sha1_context *ctx, const void *bytes, size_t len);
// Writes the digest and zeroes the context.
void nev_sha1_final(unsigned char digest[20], nev_sha1_context *ctx);

// HMAC over SHA-1 (64-byte block; keys longer than 64 bytes are hashed first).
void nev_hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, unsigned char digest[20]);

// ---- Base64 (RFC 4648 section 4 alphabet, "=" padding) ----

// Writes 4 * ceil(count / 3) characters and a NUL into out (the caller gives
// that many bytes plus one); returns the characters without the NUL.
int nev_base64_encode(const void *bytes, int count, char *out);
// The same characters written to a stream; no NUL.
void nev_base64_print(FILE *stream, const void *bytes, int count);

typedef void (*nev_base64_putc_fn)(int c, void *user_data);

// Streaming encoder: characters go out through the callback as soon as each
// group of three bytes is complete.
struct nev_base64_context {
  nev_base64_putc_fn putc;
  unsigned char chunk[3];
  int chunk_len;  // 0 to 2 between calls
  void *user_data;
};

void nev_base64_init(nev_base64_context *ctx, nev_base64_putc_fn putc, void *user_data);
void nev_base64_update(nev_base64_context *ctx, const void *bytes, size_t len);
// Emits the partial group and its padding (nothing when the chunk is empty).
void nev_base64_finish(nev_base64_context *ctx);

// Appends the Base64 text of the bytes to the buffer (no NUL).
void nev_buffer_append_base64(nev_buffer *buf, const void *bytes, size_t len);
// Appends "Authorization: Basic " + Base64("user" or "user:password") + "\r\n";
// the ":password" part only when the password is not empty.
void nev_buffer_append_basic_auth(nev_slice user, nev_slice password, nev_buffer *buf);

// Decodes whole groups of four characters, stopping before a group holding a
// character outside the alphabet (bytes of 0x80 and above included) and after
// a group with padding; a tail of fewer than four characters is not decoded.
// out needs len / 4 * 3 + 1 bytes; a NUL follows the bytes. Stores the decoded
// length in *decoded_len when given; returns the input characters consumed (a
// multiple of 4).
int nev_base64_decode(const char *text, int len, char *out, int *decoded_len = nullptr);

// ---- URL and URI ----

constexpr int NEV_URL_ENCODE_SPACE_AS_PLUS = 1;
constexpr int NEV_URL_ENCODE_UPPERCASE_HEX = 2;

// Letters and digits stay, bytes in `safe` stay, the rest becomes %xx (a space
// "+" with NEV_URL_ENCODE_SPACE_AS_PLUS). Returns a malloc'd NUL-terminated
// text (len without the NUL; the caller frees p), or {NULL, 0} when memory
// runs out.
nev_slice nev_url_encode(nev_slice src, nev_slice safe, int flags);
// Safe characters "._-$,;~()/", flags 0.
nev_slice nev_url_encode_default(nev_slice src);

// Splits "scheme://userinfo@host:port/path?query#fragment" (every part
// optional; "[v6]" hosts keep their brackets). Results are slices into the
// input, {NULL, 0} when absent; port 0 when absent. Any out pointer may be
// NULL. Returns 0, or -1 for a "[" host without "]".
int nev_parse_uri(nev_slice uri, nev_slice *scheme, nev_slice *user_info, nev_slice *host, unsigned *port,
                  nev_slice *path, nev_slice *query, nev_slice *fragment);

// Resolves "." and ".." components of an absolute path without climbing above
// "/". out->p must be a writable buffer of at least in.len bytes (it may be
// in.p itself). Returns 1 with *out set, or 0 with out->len 0 when the input is
// empty or does not begin with "/".
int nev_normalize_uri_path(nev_slice in, nev_slice *out);

// Joins the non-empty parts into a malloc'd NUL-terminated text in *out (the
// caller frees out->p). With `normalize` the path is normalised ("/" when
// empty). Returns 0, or -1 with *out {NULL, 0} (a path not beginning with "/"
// under `normalize`, or no memory).
int nev_assemble_uri(const nev_slice *scheme, const nev_slice *user_info, const nev_slice *host, unsigned port,
                     const nev_slice *path, const nev_slice *query, const nev_slice *fragment, int normalize,
                     nev_slice *out);

// token := text from pos up to the first of `delimiters` (or end); the run of
// delimiters that follows is skipped. Returns the new position.
const char *nev_next_token(const char *pos, const char *end, const char *delimiters, nev_slice *token);

// ---- Socket addresses as text (IPv4) ----

constexpr unsigned NEV_SOCK_STRINGIFY_IP = 1;
constexpr unsigned NEV_SOCK_STRINGIFY_PORT = 2;
constexpr unsigned NEV_SOCK_STRINGIFY_REMOTE = 4;

// "a.b.c.d", "a.b.c.d:port" or "port" by flags, truncated to size - 1
// characters. Returns the text length (0 for a NULL buffer or size 0).
int nev_sock_addr_to_str(const sockaddr_in *addr, char *buf, size_t size, unsigned flags);
// The local (or with NEV_SOCK_STRINGIFY_REMOTE the peer) address of a socket.
int nev_sock_to_str(int sock, char *buf, size_t size, unsigned flags);

// ---- Hex dumps ----

// Lines of 16 bytes: "%04x " offset, " %02x" per byte, then "  " and the
// printable characters ('.' for others) and a line feed. Bounded by size;
// returns the length of the text in buf (at most size - 1).
int nev_hexdump(const void *bytes, int count, char *buf, int size, unsigned base_offset);
int nev_hexdump_at_zero(const void *bytes, int count, char *buf, int size);
// The same dump written line by line to a stream; nothing for count <= 0.
void nev_hexdump_file(FILE *stream, const void *bytes, int count);

// ---- Time ----

// Local wall-clock time counted as seconds since 1970 (as if it were UTC),
// millisecond resolution. Jumps when the clock or the zone offset changes.
double nev_now(void);
// Seconds since 1970-01-01 00:00:00 of a broken-down UTC time (tm_sec, tm_min,
// tm_hour, tm_mday, tm_mon (out-of-range months roll into the year), tm_year),
// computed in 64 bits; -1 for a time before 1970.
double nev_timegm(const struct tm *tm);
