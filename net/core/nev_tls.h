// TLS over OpenSSL 3: server and client contexts from PEM files, the
// per-connection TLS state, handshake, read, write, close notification, error
// mapping and the PSK client side.
//
// Ownership: a listener's (or dialled connection's) state owns its SSL_CTX;
// accepted connections share their listener's context and own their SSL.
// nev_tls_free runs from nev_connection_destroy.
//
// Threading: contexts are shared by the connection threads of a listener;
// each SSL is used only by its connection's polling thread. Setup functions
// run on the thread that owns the manager.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>

#include "nev_core.h"

// Results of the TLS steps.
constexpr int NEV_TLS_OK = 0;
constexpr int NEV_TLS_WANT_READ = -1;
constexpr int NEV_TLS_WANT_WRITE = -2;
constexpr int NEV_TLS_ERROR = -3;

struct nev_tls_state {
  SSL *ssl;        // NULL on listeners
  SSL_CTX *ctx;    // owned unless the connection has a listener
  nev_buffer psk;  // identity, NUL, key bytes
  size_t identity_len;
};

struct nev_tls_params {
  const char *cert;
  const char *key;  // NULL: the key is in the certificate file
  const char *ca;   // "*": no peer verification
  const char *server_name;
  const char *cipher_list;  // NULL: the default list
  const char *psk_identity;
  const char *psk_key;  // 32 or 64 hexadecimal digits
};

// Once per process (the first manager setup calls it); aborts on failure.
int nev_tls_init(void);
// Kept for callers of the older API: OpenSSL 3 locks itself, so these do
// nothing and TLS stays usable after nev_tls_close_locks (a stopped plug-in
// may be started again in the same process).
int nev_tls_library_init(void);
void nev_tls_lock_callback(int mode, int n, const char *file, int line);
void nev_tls_close_locks(void);

// Builds the connection's TLS state and context (server for a listener, else
// client) and sets NEV_CONN_TLS. Returns 0, or -3 with *error_text one of
// "Out of memory", "Failed to create SSL context", "Invalid SSL cert",
// "Invalid SSL key", "Invalid CA bundle", "Invalid SSL CA cert",
// "Invalid cipher suite list", "Invalid PSK settings",
// "Failed to create SSL session". A partial state stays on the connection and
// is freed with it.
int nev_tls_setup(nev_connection *conn, const nev_tls_params *params, const char **error_text);
// The TLS library's reason for the calling thread's last failed setup, with
// the certificate or key file it concerns ("" when it gave none).
const char *nev_tls_failure_reason(void);
// State for an accepted connection: a new SSL on the listener's context.
int nev_tls_accept_state(nev_connection *conn, nev_connection *listener);
// One handshake step: 0 done, or -1/-2/-3.
int nev_tls_handshake(nev_connection *conn);
// Bytes read, 0 when the peer closed (NEV_CONN_CLOSE_NOW set), or -1/-2/-3.
long nev_tls_read(nev_connection *conn, void *place, size_t size);
// Bytes written, or -1/-2/-3.
long nev_tls_write(nev_connection *conn, const void *bytes, size_t size);
void nev_tls_close_notify(nev_connection *conn);
void nev_tls_free(nev_connection *conn);
// Maps an OpenSSL result: want-read -1, want-write -2, otherwise logs, stores
// the code in connect_error and returns -3. Clears the thread's error queue.
int nev_tls_error(nev_connection *conn, int result);

int nev_tls_use_cert(SSL_CTX *ctx, const char *cert, const char *key, const char **error_text);
int nev_tls_use_ca(SSL_CTX *ctx, const char *ca);
int nev_tls_set_ciphers(SSL_CTX *ctx, const char *list);
int nev_tls_set_psk(nev_tls_state *state, const char *identity, const char *key);
unsigned int nev_tls_psk_client_callback(SSL *ssl, const char *hint, char *identity, unsigned int identity_room,
                                         unsigned char *key, unsigned int key_room);

// The cipher list used when none is configured.
extern const char nev_tls_default_ciphers[];
