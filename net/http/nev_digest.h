// HTTP Digest authentication (RFC 2617, qop "auth") against password files
// of htdigest lines "user:realm:HA1" (HA1 = hex MD5 of "user:realm:password";
// the file never holds the password). Also Basic-credential parsing and a
// client-side Digest header builder.
//
// Nothing here keeps state: every check opens, reads and closes its password
// file; nonces are the engine clock in whole seconds, valid for an hour.
// Any thread may call these functions.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "nev_http.h"

// Flags of nev_http_is_authorized.
constexpr int NEV_AUTH_DIRECTORY = 1;      // the path is a directory: its own password file
constexpr int NEV_AUTH_GLOBAL_FILE = 2;    // the file name is a path used unchanged
constexpr int NEV_AUTH_ALLOW_MISSING = 4;  // a password file that cannot be read authorizes

// Seconds a nonce stays valid.
constexpr long NEV_DIGEST_NONCE_LIFETIME = 3600;

// 1 when the request may proceed. No realm or no file name: 1. Otherwise the
// password file is `file` itself (NEV_AUTH_GLOBAL_FILE), path/file
// (NEV_AUTH_DIRECTORY) or the path's directory/file; when it can be read the
// request's Digest credentials decide, when it cannot the answer is 1 only
// with NEV_AUTH_ALLOW_MISSING.
int nev_http_is_authorized(const nev_http_view *view, nev_slice path, const char *realm, const char *file, int flags);
// The password file nev_http_is_authorized reads for path, file and flags.
std::string nev_http_password_file_path(nev_slice path, const char *file, int flags);

// Sends "401 Unauthorized" with a fresh Digest challenge; the connection stays open.
void nev_http_send_digest_challenge(nev_connection *conn, const char *realm);

// Checks the request's Authorization header against an open password file.
// The digest is verified against the request's own method and target (URI
// and query), whatever the header's uri parameter says.
// The username of a Digest Authorization header; "" when there is none.
std::string nev_http_digest_user(const nev_http_view *view);
int nev_http_check_digest_header(const nev_http_view *view, const char *realm, FILE *password_file);

// Checks one set of Digest parameters against the file: the first line whose
// user and realm match (without regard to case) decides.
int nev_http_check_digest_file(nev_slice method, nev_slice uri, nev_slice user, nev_slice cnonce, nev_slice response,
                               nev_slice qop, nev_slice nc, nev_slice nonce, const char *realm, FILE *password_file);

// Expected response: MD5hex(HA1:nonce:nc:cnonce:qop:MD5hex(method:uri)).
void nev_http_digest_response(nev_slice ha1, nev_slice nonce, nev_slice nc, nev_slice cnonce, nev_slice qop,
                              nev_slice method, nev_slice uri, char out[33]);

// Lower-case hex MD5 of the concatenation of (pointer, length) pairs; the list
// ends with a null pointer.
void nev_md5_hex(char out[33], ...);

// 1 when the nonce text is a clock value of the last hour (not from the future).
int nev_http_nonce_valid(nev_slice nonce);

// Client side: writes an "Authorization: Digest ...\r\n" line. Returns the
// characters written (as snprintf).
int nev_http_make_digest_header(char *buf, size_t size, const char *method, const char *uri, const char *realm,
                                const char *user, const char *password, const char *nonce);

// Basic credentials from a header value ("Basic <base64 user:password>").
// Returns 0, or -1 when the value is not Basic or holds no user.
int nev_http_parse_basic_auth(nev_slice value, char *user, size_t user_size, char *password, size_t password_size);
// The same on the request's Authorization header (-1 without one).
int nev_http_get_basic_auth(const nev_http_view *view, char *user, size_t user_size, char *password,
                            size_t password_size);

// MD5 (16 bytes) and SHA-1 (20 bytes) of the pieces in order.
void nev_md5_vector(size_t count, const unsigned char *const *pieces, const size_t *lengths, unsigned char *digest);
void nev_sha1_vector(size_t count, const unsigned char *const *pieces, const size_t *lengths, unsigned char *digest);
