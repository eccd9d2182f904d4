// Digest authentication against htdigest-style password files.
#include "nev_digest.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "nev_codec.h"
#include "nev_file.h"
#include "nev_log.h"

namespace {

struct file_closer {
  void operator()(FILE *f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

nev_slice as_slice(const std::string &s) { return nev_slice{s.data(), s.size()}; }

// User names and realms of the password file compare with case: "Alice" and
// "alice" are two users.
bool equal_exact(nev_slice a, nev_slice b) { return a.len == b.len && std::memcmp(a.p, b.p, a.len) == 0; }

// One "user:realm:HA1" line; HA1 ends at white space. False for lines that do
// not have the three fields.
bool split_password_line(const std::string &line, nev_slice &user, nev_slice &realm, nev_slice &ha1) {
  const size_t c1 = line.find(':');
  if (c1 == std::string::npos || c1 == 0) return false;
  const size_t c2 = line.find(':', c1 + 1);
  if (c2 == std::string::npos || c2 == c1 + 1) return false;
  size_t end = c2 + 1;
  while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
  if (end == c2 + 1) return false;
  user = nev_slice{line.data(), c1};
  realm = nev_slice{line.data() + c1 + 1, c2 - c1 - 1};
  ha1 = nev_slice{line.data() + c2 + 1, end - c2 - 1};
  return true;
}

bool read_line(FILE *f, std::string &line) {
  line.clear();
  int c;
  while ((c = std::fgetc(f)) != EOF) {
    if (c == '\n') return true;
    line += char(c);
  }
  return !line.empty();
}

std::string header_param(nev_slice value, const char *name) {
  char small[64];
  char *buf = small;
  int n = nev_http_header_param(value, name, &buf, sizeof small);
  std::string out(buf, n > 0 ? size_t(n) : 0);
  if (buf != small) std::free(buf);
  return out;
}

}  // namespace

std::string nev_http_password_file_path(nev_slice path, const char *file, int flags) {
  if (flags & NEV_AUTH_GLOBAL_FILE) return file;
  std::string dir(path.p, path.len);
  if (!(flags & NEV_AUTH_DIRECTORY)) {
    const size_t slash = dir.rfind('/');
    dir.resize(slash == std::string::npos ? 0 : slash);
  }
  return dir + "/" + file;
}

void nev_md5_hex(char out[33], ...) {
  nev_md5_context ctx;
  nev_md5_init(&ctx);
  va_list ap;
  va_start(ap, out);
  while (const void *p = va_arg(ap, const void *)) {
    size_t n = va_arg(ap, size_t);
    nev_md5_update(&ctx, p, n);
  }
  va_end(ap);
  unsigned char digest[16];
  nev_md5_final(digest, &ctx);
  nev_hex_encode(out, digest, sizeof digest);
}

void nev_http_digest_response(nev_slice ha1, nev_slice nonce, nev_slice nc, nev_slice cnonce, nev_slice qop,
                              nev_slice method, nev_slice uri, char out[33]) {
  static const char colon = ':';
  char ha2[33];
  nev_md5_hex(ha2, method.p, method.len, &colon, size_t(1), uri.p, uri.len, nullptr);
  nev_md5_hex(out, ha1.p, ha1.len, &colon, size_t(1), nonce.p, nonce.len, &colon, size_t(1), nc.p, nc.len, &colon,
              size_t(1), cnonce.p, cnonce.len, &colon, size_t(1), qop.p, qop.len, &colon, size_t(1),
              static_cast<const char *>(ha2), size_t(32), nullptr);
}

int nev_http_nonce_valid(nev_slice nonce) {
  if (nonce.len == 0 || nonce.len > 8) return 0;
  unsigned long issued = 0;
  for (size_t i = 0; i < nonce.len; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(nonce.p[i]))) return 0;
    issued = issued * 16 + unsigned(nev_hex_digit_value(nonce.p[i]));
  }
  const unsigned long now = static_cast<unsigned long>(static_cast<uint32_t>(nev_now()));
  return now >= issued && now - issued < static_cast<unsigned long>(NEV_DIGEST_NONCE_LIFETIME);
}

int nev_http_check_digest_file(nev_slice method, nev_slice uri, nev_slice user, nev_slice cnonce, nev_slice response,
                               nev_slice qop, nev_slice nc, nev_slice nonce, const char *realm, FILE *password_file) {
  const nev_slice wanted_realm = nev_slice_from_cstr(realm);
  std::string line;
  while (read_line(password_file, line)) {
    nev_slice line_user, line_realm, ha1;
    if (!split_password_line(line, line_user, line_realm, ha1)) continue;
    if (!equal_exact(line_user, user) || !equal_exact(line_realm, wanted_realm)) continue;
    char expected[33];
    nev_http_digest_response(ha1, nonce, nc, cnonce, qop, method, uri, expected);
    NEV_LOG(4, ("%.*s %s %.*s %s", int(user.len), user.p, realm, int(response.len), response.p, expected));
    return response.len == 32 && nev_ncasecmp(response.p, expected, 32) == 0;
  }
  return 0;
}

std::string nev_http_digest_user(const nev_http_view *view) {
  const nev_slice *auth = nev_http_find_header(view, "Authorization");
  if (!auth || auth->len < 7 || nev_ncasecmp(auth->p, "Digest ", 7) != 0) return std::string();
  return header_param(nev_slice{auth->p + 7, auth->len - 7}, "username");
}

int nev_http_check_digest_header(const nev_http_view *view, const char *realm, FILE *password_file) {
  const nev_slice *auth = nev_http_find_header(view, "Authorization");
  if (!auth || auth->len < 7 || nev_ncasecmp(auth->p, "Digest ", 7) != 0) return 0;
  const nev_slice params{auth->p + 7, auth->len - 7};
  const std::string user = header_param(params, "username");
  const std::string cnonce = header_param(params, "cnonce");
  const std::string response = header_param(params, "response");
  const std::string uri_param = header_param(params, "uri");
  const std::string qop = header_param(params, "qop");
  const std::string nc = header_param(params, "nc");
  const std::string nonce = header_param(params, "nonce");
  if (user.empty() || cnonce.empty() || response.empty() || uri_param.empty() || qop.empty() || nc.empty() ||
      nonce.empty())
    return 0;
  if (!nev_http_nonce_valid(as_slice(nonce))) return 0;
  std::string target(view->uri.p, view->uri.len);
  if (view->query.len) target.append("?").append(view->query.p, view->query.len);
  return nev_http_check_digest_file(view->method, as_slice(target), as_slice(user), as_slice(cnonce),
                                    as_slice(response), as_slice(qop), as_slice(nc), as_slice(nonce), realm,
                                    password_file);
}

int nev_http_is_authorized(const nev_http_view *view, nev_slice path, const char *realm, const char *file, int flags) {
  if (!realm || !file) return 1;
  const std::string name = nev_http_password_file_path(path, file, flags);
  unique_file f(nev_fopen(name.c_str(), "r"));
  int result;
  if (f) {
    result = nev_http_check_digest_header(view, realm, f.get());
  } else {
    result = (flags & NEV_AUTH_ALLOW_MISSING) ? 1 : 0;
  }
  NEV_LOG(4, ("%.*s %s %x %d", int(path.len), path.p, name.c_str(), unsigned(flags), result));
  return result;
}

void nev_http_send_digest_challenge(nev_connection *conn, const char *realm) {
  const unsigned long nonce = static_cast<unsigned long>(static_cast<uint32_t>(nev_now()));
  nev_enqueue_format(conn,
                     "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest qop=\"auth\", realm=\"%s\", "
                     "nonce=\"%lx\"\r\nContent-Length: 0\r\n\r\n",
                     realm, nonce);
}

int nev_http_make_digest_header(char *buf, size_t size, const char *method, const char *uri, const char *realm,
                                const char *user, const char *password, const char *nonce) {
  char cnonce[24];
  std::snprintf(cnonce, sizeof cnonce, "%lx", static_cast<unsigned long>(static_cast<uint32_t>(nev_now())));
  static const char colon = ':';
  char ha1[33], response[33];
  nev_md5_hex(ha1, user, std::strlen(user), &colon, size_t(1), realm, std::strlen(realm), &colon, size_t(1), password,
              std::strlen(password), nullptr);
  nev_http_digest_response(nev_slice{ha1, 32}, nev_slice_from_cstr(nonce), nev_slice_from_cstr("1"),
                           nev_slice_from_cstr(cnonce), nev_slice_from_cstr("auth"), nev_slice_from_cstr(method),
                           nev_slice_from_cstr(uri), response);
  return std::snprintf(buf, size,
                       "Authorization: Digest username=\"%s\",realm=\"%s\",uri=\"%s\",qop=%s,nc=1,cnonce=%s,"
                       "nonce=%s,response=%s\r\n",
                       user, realm, uri, "auth", cnonce, nonce, response);
}

int nev_http_parse_basic_auth(nev_slice value, char *user, size_t user_size, char *password, size_t password_size) {
  if (user_size) user[0] = '\0';
  if (password_size) password[0] = '\0';
  if (value.len < 6 || nev_ncasecmp(value.p, "Basic ", 6) != 0) return -1;
  const char *text = value.p + 6;
  const int text_len = int(value.len - 6);
  std::string decoded(size_t(text_len) / 4 * 3 + 2, '\0');
  int decoded_len = 0;
  nev_base64_decode(text, text_len, decoded.data(), &decoded_len);
  decoded.resize(size_t(decoded_len));
  const size_t colon = decoded.find(':');
  const std::string u = decoded.substr(0, colon);
  if (u.empty() || user_size == 0) return -1;
  std::snprintf(user, user_size, "%s", u.c_str());
  if (colon != std::string::npos && password_size) {
    std::string pw = decoded.substr(colon + 1);
    pw = pw.substr(0, pw.find('\n'));
    std::snprintf(password, password_size, "%s", pw.c_str());
  }
  return 0;
}

int nev_http_get_basic_auth(const nev_http_view *view, char *user, size_t user_size, char *password,
                            size_t password_size) {
  const nev_slice *auth = nev_http_find_header(view, "Authorization");
  if (!auth) return -1;
  return nev_http_parse_basic_auth(*auth, user, user_size, password, password_size);
}

void nev_md5_vector(size_t count, const unsigned char *const *pieces, const size_t *lengths, unsigned char *digest) {
  nev_md5_context ctx;
  nev_md5_init(&ctx);
  for (size_t i = 0; i < count; ++i) nev_md5_update(&ctx, pieces[i], lengths[i]);
  nev_md5_final(digest, &ctx);
}

void nev_sha1_vector(size_t count, const unsigned char *const *pieces, const size_t *lengths, unsigned char *digest) {
  nev_sha1_context ctx;
  nev_sha1_init(&ctx);
  for (size_t i = 0; i < count; ++i) nev_sha1_update(&ctx, pieces[i], lengths[i]);
  nev_sha1_final(digest, &ctx);
}
