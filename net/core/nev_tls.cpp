// TLS over OpenSSL 3.
#include "nev_tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "nev_log.h"

const char nev_tls_default_ciphers[] =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:kEDH+AESGCM:"
    "ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA:"
    "ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:"
    "DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA256:DHE-RSA-AES256-SHA256:"
    "DHE-DSS-AES256-SHA:DHE-RSA-AES256-SHA:!aNULL:!eNULL:!EXPORT:!DES:!RC4:!3DES:!MD5:!PSK";

namespace {

// The 2048-bit safe-prime group with generator 2 of RFC 7919 (ffdhe2048).
const char builtin_dh_params[] =
    "-----BEGIN DH PARAMETERS-----\n"
    "MIIBCAKCAQEA//////////+t+FRYortKmq/cViAnPTzx2LnFg84tNpWp4TZBFGQz\n"
    "+8yTnc4kmz75fS/jY2MMddj2gbICrsRhetPfHtXV/WVhJDP1H18GbtCFY2VVPe0a\n"
    "87VXE15/V8k1mE8McODmi3fipona8+/och3xWKE2rec1MKzKT0g6eXq8CrGCsyT7\n"
    "YdEIqUuyyOP7uWrat2DX9GgdT0Kj3jlN9K5W7edjcrsZCwenyO4KbXCeAvzhzffi\n"
    "7MA0BM0oNC9hkXL+nOmFg/+OTxIy7vKBg8P+OxtMb61zO7X8vC7CIAXFjvGDfRaD\n"
    "ssbzSibBsu/6iGtCOGEoXJf//////////wIBAg==\n"
    "-----END DH PARAMETERS-----";

struct bio_deleter {
  void operator()(BIO *b) const { BIO_free(b); }
};
struct pkey_deleter {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using bio_ptr = std::unique_ptr<BIO, bio_deleter>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_deleter>;

bool file_has_dh_params(const char *path) {
  FILE *f = fopen(path, "r");
  if (f == nullptr) return false;
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof(line), f) != nullptr) found = strstr(line, "DH PARAMETERS") != nullptr;
  fclose(f);
  return found;
}

pkey_ptr read_dh_params(const char *cert) {
  bio_ptr bio(file_has_dh_params(cert) ? BIO_new_file(cert, "r") : BIO_new_mem_buf(builtin_dh_params, -1));
  if (!bio) return nullptr;
  return pkey_ptr(PEM_read_bio_Parameters(bio.get(), nullptr));
}

void use_dh_params(SSL_CTX *ctx, const char *cert) {
  pkey_ptr dh = read_dh_params(cert);
  if (dh && SSL_CTX_set0_tmp_dh_pkey(ctx, dh.get()) == 1) {
    dh.release();  // the context owns it now
    SSL_CTX_set_options(ctx, SSL_OP_SINGLE_DH_USE);
  }
  ERR_clear_error();
  // ECDH curves are chosen automatically by OpenSSL 3.
}

// Why the calling thread's last setup failed, in the TLS library's words and
// with the file concerned: kept for the operator's log before the library's
// error queue is cleared.
// A string, not an array: every connection thread gets its own copy of this
// library's thread-local block on first use, and few ever fill this one.
thread_local std::string failure_reason;

void keep_failure_reason(const char *file) {
  unsigned long code = ERR_peek_error();  // the first error names the cause
  char reason[256] = "";
  if (code != 0 && ERR_SYSTEM_ERROR(code)) {
    snprintf(reason, sizeof reason, "%s", strerror(ERR_GET_REASON(code)));
  } else if (code != 0) {
    const char *text = ERR_reason_error_string(code);
    if (text != nullptr)
      snprintf(reason, sizeof reason, "%s", text);
    else
      ERR_error_string_n(code, reason, sizeof reason);
  }
  failure_reason = file != nullptr ? std::string(file) + ": " + (reason[0] ? reason : "unusable") : reason;
}

int set_error(const char **error_text, const char *text, const char *file = nullptr) {
  if (error_text != nullptr) *error_text = text;
  keep_failure_reason(file);
  ERR_clear_error();
  return NEV_TLS_ERROR;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void common_context_options(SSL_CTX *ctx) {
  // Old protocols are off whatever the system configuration says; a stricter
  // configured minimum stays.
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_IGNORE_UNEXPECTED_EOF);
  long min = SSL_CTX_get_min_proto_version(ctx);
  if (min == 0 || min < TLS1_1_VERSION) SSL_CTX_set_min_proto_version(ctx, TLS1_1_VERSION);
  // The send buffer may be reallocated by other threads between retries of a
  // write, and a write may complete in parts.
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
}

SSL_CTX *new_context(bool server) {
  const SSL_METHOD *method = server ? TLS_server_method() : TLS_client_method();
  SSL_CTX *ctx = SSL_CTX_new(method);
  if (ctx == nullptr) {
    nev_tls_init();
    ctx = SSL_CTX_new(method);
  }
  return ctx;
}

}  // namespace

int nev_tls_init(void) {
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) abort();
  return nev_tls_library_init();
}

int nev_tls_library_init(void) { return 0; }

const char *nev_tls_failure_reason(void) { return failure_reason.c_str(); }

void nev_tls_lock_callback(int, int, const char *, int) {}

void nev_tls_close_locks(void) {}

int nev_tls_use_cert(SSL_CTX *ctx, const char *cert, const char *key, const char **error_text) {
  const char *key_file = (key != nullptr && *key != '\0') ? key : cert;
  if (SSL_CTX_use_certificate_file(ctx, cert, SSL_FILETYPE_PEM) != 1)
    return set_error(error_text, "Invalid SSL cert", cert);
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file, SSL_FILETYPE_PEM) != 1)
    return set_error(error_text, "Invalid SSL key", key_file);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert) != 1) return set_error(error_text, "Invalid CA bundle", cert);
  use_dh_params(ctx, cert);
  return NEV_TLS_OK;
}

int nev_tls_use_ca(SSL_CTX *ctx, const char *ca) {
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  if (SSL_CTX_load_verify_locations(ctx, ca, nullptr) != 1) {
    keep_failure_reason(ca);
    ERR_clear_error();
    return NEV_TLS_ERROR;
  }
  return NEV_TLS_OK;
}

int nev_tls_set_ciphers(SSL_CTX *ctx, const char *list) {
  if (SSL_CTX_set_cipher_list(ctx, list != nullptr ? list : nev_tls_default_ciphers) != 1) {
    ERR_clear_error();
    return NEV_TLS_ERROR;
  }
  return NEV_TLS_OK;
}

int nev_tls_set_psk(nev_tls_state *state, const char *identity, const char *key) {
  if (identity == nullptr) return key == nullptr ? NEV_TLS_OK : NEV_TLS_ERROR;
  size_t key_len = key != nullptr ? strlen(key) : 0;
  if (key_len != 32 && key_len != 64) return NEV_TLS_ERROR;
  unsigned char bytes[32];
  for (size_t i = 0; i < key_len; i += 2) {
    int hi = hex_value(key[i]), lo = hex_value(key[i + 1]);
    if (hi < 0 || lo < 0) return NEV_TLS_ERROR;
    bytes[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
  }
  NEV_LOG(4, ("identity = '%s', key = (%u)", identity, static_cast<unsigned>(key_len / 2)));
  size_t id_len = strlen(identity);
  nev_buffer_append(&state->psk, identity, id_len + 1);
  nev_buffer_append(&state->psk, bytes, key_len / 2);
  state->identity_len = id_len;
  SSL_CTX_set_psk_client_callback(state->ctx, nev_tls_psk_client_callback);
  SSL_CTX_set_app_data(state->ctx, state);
  return NEV_TLS_OK;
}

unsigned int nev_tls_psk_client_callback(SSL *ssl, const char *hint, char *identity, unsigned int identity_room,
                                         unsigned char *key, unsigned int key_room) {
  auto *state = static_cast<nev_tls_state *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  NEV_LOG(4, ("hint: '%s'", hint != nullptr ? hint : ""));
  if (state == nullptr) return 0;
  nev_mutex_guard guard(state->psk.mutex);
  size_t key_len = state->psk.len - state->identity_len - 1;
  if (identity_room < state->identity_len + 1) {
    NEV_LOG(4, ("identity too long"));
    return 0;
  }
  if (key_room < key_len) {
    NEV_LOG(4, ("key too long"));
    return 0;
  }
  memcpy(identity, state->psk.data, state->identity_len + 1);
  memcpy(key, state->psk.data + state->identity_len + 1, key_len);
  return static_cast<unsigned int>(key_len);
}

int nev_tls_setup(nev_connection *conn, const nev_tls_params *p, const char **error_text) {
  auto *state = static_cast<nev_tls_state *>(calloc(1, sizeof(nev_tls_state)));
  NEV_LOG(4,
          ("%p %s,%s,%s", static_cast<void *>(conn), p->cert ? p->cert : "", p->key ? p->key : "", p->ca ? p->ca : ""));
  if (state == nullptr) return set_error(error_text, "Out of memory");
  state->psk.mutex = nev_mutex_create();
  nev_buffer_init(&state->psk, 0, 0);
  conn->tls = state;

  bool server = (conn->flags & NEV_CONN_LISTENING) != 0;
  state->ctx = new_context(server);
  if (state->ctx == nullptr) return set_error(error_text, "Failed to create SSL context");
  common_context_options(state->ctx);

  if (p->cert != nullptr && *p->cert != '\0' && nev_tls_use_cert(state->ctx, p->cert, p->key, error_text) != NEV_TLS_OK)
    return NEV_TLS_ERROR;
  if (p->ca != nullptr && strcmp(p->ca, "*") != 0 && nev_tls_use_ca(state->ctx, p->ca) != NEV_TLS_OK) {
    if (error_text != nullptr) *error_text = "Invalid SSL CA cert";  // its reason is kept
    return NEV_TLS_ERROR;
  }
  if (nev_tls_set_ciphers(state->ctx, p->cipher_list) != NEV_TLS_OK)
    return set_error(error_text, "Invalid cipher suite list");
  if (nev_tls_set_psk(state, p->psk_identity, p->psk_key) != NEV_TLS_OK)
    return set_error(error_text, "Invalid PSK settings");
  if (!server) {
    state->ssl = SSL_new(state->ctx);
    if (state->ssl == nullptr) return set_error(error_text, "Failed to create SSL session");
    if (p->server_name != nullptr) SSL_set_tlsext_host_name(state->ssl, p->server_name);
  }
  conn->flags |= NEV_CONN_TLS;
  return NEV_TLS_OK;
}

int nev_tls_accept_state(nev_connection *conn, nev_connection *listener) {
  if (listener == nullptr || listener->tls == nullptr || listener->tls->ctx == nullptr) return NEV_TLS_ERROR;
  auto *state = static_cast<nev_tls_state *>(calloc(1, sizeof(nev_tls_state)));
  if (state == nullptr) return NEV_TLS_ERROR;
  state->psk.mutex = nev_mutex_create();
  state->ctx = listener->tls->ctx;
  conn->tls = state;
  state->ssl = SSL_new(state->ctx);
  if (state->ssl == nullptr) {
    ERR_clear_error();
    return NEV_TLS_ERROR;
  }
  return NEV_TLS_OK;
}

int nev_tls_handshake(nev_connection *conn) {
  nev_tls_state *st = conn->tls;
  if (st == nullptr || st->ssl == nullptr) return NEV_TLS_ERROR;
  if (SSL_get_fd(st->ssl) < 0 && SSL_set_fd(st->ssl, conn->sock) != 1) {
    ERR_clear_error();
    return NEV_TLS_ERROR;
  }
  ERR_clear_error();
  int rc = conn->listener != nullptr ? SSL_accept(st->ssl) : SSL_connect(st->ssl);
  return rc == 1 ? NEV_TLS_OK : nev_tls_error(conn, rc);
}

long nev_tls_read(nev_connection *conn, void *place, size_t size) {
  ERR_clear_error();
  int n = SSL_read(conn->tls->ssl, place, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
  NEV_LOG(4, ("%p %d -> %d", static_cast<void *>(conn), static_cast<int>(size), n));
  if (n > 0) return n;
  if (n == 0 || SSL_get_error(conn->tls->ssl, n) == SSL_ERROR_ZERO_RETURN) {
    // The peer closed the TLS session (or the socket).
    ERR_clear_error();
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return 0;
  }
  return nev_tls_error(conn, n);
}

long nev_tls_write(nev_connection *conn, const void *bytes, size_t size) {
  ERR_clear_error();
  int n = SSL_write(conn->tls->ssl, bytes, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
  NEV_LOG(4, ("%p %d -> %d", static_cast<void *>(conn), static_cast<int>(size), n));
  if (n > 0) return n;
  return nev_tls_error(conn, n);
}

void nev_tls_close_notify(nev_connection *conn) {
  if (conn->tls == nullptr || conn->tls->ssl == nullptr) return;
  ERR_clear_error();
  SSL_shutdown(conn->tls->ssl);
  ERR_clear_error();
}

void nev_tls_free(nev_connection *conn) {
  nev_tls_state *st = conn->tls;
  if (st == nullptr) return;
  conn->tls = nullptr;
  if (st->ssl != nullptr) SSL_free(st->ssl);
  if (conn->listener == nullptr && st->ctx != nullptr) SSL_CTX_free(st->ctx);
  nev_buffer_free(&st->psk);
  nev_mutex_close(st->psk.mutex);
  memset(static_cast<void *>(st), 0, sizeof(*st));
  free(st);
}

int nev_tls_error(nev_connection *conn, int result) {
  int code = SSL_get_error(conn->tls->ssl, result);
  if (code == SSL_ERROR_WANT_READ) return NEV_TLS_WANT_READ;
  if (code == SSL_ERROR_WANT_WRITE) return NEV_TLS_WANT_WRITE;
  // Each thread has its own error queue; whatever is left in it would be
  // blamed on the next connection this thread serves, so it is emptied here.
  char text[256];
  unsigned long err = ERR_get_error();
  ERR_error_string_n(err, text, sizeof(text));
  ERR_clear_error();
  NEV_LOG(4, ("%p %p SSL error: %d %d", static_cast<void *>(conn), static_cast<void *>(conn->tls->ctx), result, code));
  NEV_LOG(4, ("%p %p SSL error: %s", static_cast<void *>(conn), static_cast<void *>(conn->tls->ctx), text));
  conn->connect_error = code;
  return NEV_TLS_ERROR;
}
