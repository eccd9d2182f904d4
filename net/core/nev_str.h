// Text slices and the small text helpers every parser of the engine uses:
// compares, lists, token skipping, the prefix pattern matcher, hexadecimal
// text and formatting into a caller's buffer. All functions are pure and
// reentrant.
#pragma once

#include <cstdarg>
#include <cstddef>

// A non-owning, not NUL-terminated run of bytes. A slice into a nev_buffer is
// valid until that buffer changes. Slices from nev_slice_dup*/nev_url_encode
// own their bytes and are released with nev_slice_free (or free(p)).
struct nev_slice {
  const char *p;
  size_t len;
};

nev_slice nev_slice_from_cstr(const char *text);  // NULL gives {NULL, 0}
nev_slice nev_slice_from(const void *p, size_t len);

// strncmp over the shorter length; when equal there, slice length minus text
// length (so a proper prefix compares less).
int nev_slice_cmp_cstr(nev_slice slice, const char *text);
int nev_slice_casecmp_cstr(nev_slice slice, const char *text);
// -1, 0 or 1: the first differing byte decides (compared as signed 8-bit
// values, so bytes above 127 sort first); a proper prefix is less.
int nev_slice_cmp(nev_slice a, nev_slice b);
int nev_slice_ncmp(nev_slice a, nev_slice b, size_t n);  // first n bytes of each
int nev_slice_casecmp(nev_slice a, nev_slice b);
// First byte equal to c, or NULL.
const char *nev_slice_chr(nev_slice slice, int c);
// First occurrence of needle (an empty needle is found at the start), or NULL.
const char *nev_slice_find(nev_slice haystack, nev_slice needle);
// Without leading and trailing white space (isspace).
nev_slice nev_slice_strip(nev_slice slice);
int nev_slice_starts_with(nev_slice slice, nev_slice prefix);  // 1 or 0
// Heap copy; {NULL, 0} for an empty or NULL slice or when memory runs out.
nev_slice nev_slice_dup(nev_slice slice);
// The same with a NUL after the bytes (not counted in len).
nev_slice nev_slice_dup_cstr(nev_slice slice);
// Frees p and sets {NULL, 0}.
void nev_slice_free(nev_slice *slice);

// Characters before the first NUL, at most n.
size_t nev_bounded_strlen(const char *text, size_t n);
// First place within the first n bytes of text where needle occurs whole, or
// NULL.
const char *nev_bounded_strstr(const char *text, const char *needle, size_t n);
// The byte lower-cased when it is an ASCII capital letter, else as it is
// (protocol texts compare without case in ASCII only, whatever the locale).
int nev_tolower_byte(const char *p);
// Compares at most n characters lower-cased, stopping after a NUL in a;
// returns the difference of the first unequal lower-cased characters, else 0.
int nev_ncasecmp(const char *a, const char *b, size_t n);
int nev_casecmp(const char *a, const char *b);

// token := text from *cursor up to the first delimiter (NUL is never one) or
// end; then *cursor steps over exactly one delimiter when not at end. Returns
// the new cursor.
const char *nev_skip_token(const char **cursor, const char *end, const char *delimiters, nev_slice *token);

// Comma-separated "key" or "key=value" entries. Returns the rest of the list
// after this entry ({NULL, 0} when the list was already empty, which ends the
// loop). value may be NULL.
nev_slice nev_next_list_entry_slice(nev_slice list, nev_slice *key, nev_slice *value);
// The same over a zero-terminated text; returns the rest or NULL when done.
const char *nev_next_list_entry(const char *list, nev_slice *key, nev_slice *value);

// Matches a glob-style pattern against the start of text and returns the
// length of the matched beginning (0: no match). '|' (else ',') separates
// alternatives; '?' any one character; '*' a run without '/'; '**' any run; a
// final '$' anchors at the end of text; letters compare without case.
size_t nev_match_prefix_slice(nev_slice pattern, nev_slice text);
size_t nev_match_prefix(const char *pattern, size_t pattern_len, const char *text);

// Two lowercase hex digits per byte and a NUL (out holds 2n + 1 bytes).
void nev_hex_encode(char *out, const void *bytes, size_t n);
// Pairs of hex digits to bytes (non-digits count as 0; an odd n pairs the last
// digit with 0) and a NUL (out holds n/2 + 2 bytes).
void nev_hex_decode(char *out, const char *text, size_t n);
int nev_hex_digit_value(int c);

// Formats into *buf (size bytes). Returns the text length, or -1 when memory
// runs out (with *buf NULL) or the format fails (with *buf unchanged). When the
// text and its NUL do not fit, *buf is replaced by a malloc'd block holding
// them; the caller frees *buf when it differs from the buffer it passed.
int nev_format_alloc_va(char **buf, size_t size, const char *format, va_list args);
int nev_format_alloc(char **buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The engine's own small formatter: writes at most size - 1 characters and a
// NUL (when size > 0); returns the length the whole text needs. Conversions:
// %c %d %s %u %x %p %% with an optional '0' flag, width and precision (digits
// or '*'), and length letters h hh l ll z j q t (I and L are accepted and
// ignored); %p writes the whole pointer. Any other conversion is a programming
// error and aborts.
int nev_bounded_format_va(char *buf, size_t size, const char *format, va_list args);
int nev_bounded_format(char *buf, size_t size, const char *format, ...);

// Stores each 4-byte group as a little-endian 32-bit word; a no-op on
// little-endian machines.
void nev_md5_byte_order(unsigned char *bytes, size_t words);
