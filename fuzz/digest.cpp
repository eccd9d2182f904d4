// Authorization headers as the server reads them: a Digest header checked
// against a password file (both from the input), its parameters read one by
// one, and Basic credentials decoded by the engine and by the plug-in. The
// nonce of a fuzzed header is never a clock value of the last hour, so the
// password file is also checked directly with the header's parameters.
#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "nev_digest.h"
#include "nev_http.h"
#include "osprey.h"

namespace {

std::string param(nev_slice value, const char *name) {
  char small[8];
  char *buf = small;
  const int n = nev_http_header_param(value, name, &buf, sizeof small);
  std::string out(buf, size_t(n > 0 ? n : 0));
  if (buf != small) std::free(buf);
  return out;
}

nev_slice as_slice(const std::string &s) { return nev_slice{s.data(), s.size()}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const std::string header = in.text();
  const std::string password_file = in.rest();
  const fuzz::exact value(header);
  const nev_slice value_slice{value.data(), value.size()};

  // The request the header came with.
  const fuzz::exact head("GET /dir/file.html?x=1 HTTP/1.1\r\nHost: h\r\nAuthorization: " + header + "\r\n\r\n");
  nev_http_view view;
  if (nev_http_parse(head.data(), head.size(), &view, 1) > 0) {
    fuzz::exact file_bytes(password_file);
    FILE *file = fmemopen(file_bytes.data(), file_bytes.size() > 0 ? file_bytes.size() : 1, "r");
    if (file != nullptr) {
      nev_http_check_digest_header(&view, "brenlox.local", file);
      std::fclose(file);
    }
    char user[65], password[65];
    nev_http_get_basic_auth(&view, user, sizeof user, password, sizeof password);
  }

  // The password file against the header's own parameters, nonce or not.
  const std::string user = param(value_slice, "username"), cnonce = param(value_slice, "cnonce"),
                    response = param(value_slice, "response"), qop = param(value_slice, "qop"),
                    nc = param(value_slice, "nc"), nonce = param(value_slice, "nonce"),
                    realm = param(value_slice, "realm");
  nev_http_nonce_valid(as_slice(nonce));
  fuzz::exact file_bytes(password_file);
  if (FILE *file = fmemopen(file_bytes.data(), file_bytes.size() > 0 ? file_bytes.size() : 1, "r")) {
    const fuzz::exact realm_text = fuzz::c_text(realm);
    nev_http_check_digest_file(nev_slice_from_cstr("GET"), nev_slice_from_cstr("/dir/file.html"), as_slice(user),
                               as_slice(cnonce), as_slice(response), as_slice(qop), as_slice(nc), as_slice(nonce),
                               realm_text.data(), file);
    std::fclose(file);
  }
  char small[4];
  nev_http_header_param_fixed(value_slice, "uri", small, sizeof small);

  char user_out[65], password_out[65];
  nev_http_parse_basic_auth(value_slice, user_out, sizeof user_out, password_out, sizeof password_out);
  char tiny_user[3], tiny_password[2];
  nev_http_parse_basic_auth(value_slice, tiny_user, sizeof tiny_user, tiny_password, sizeof tiny_password);
  BasicCredentials credentials;
  if (decodeBasicCredentials(value.data(), value.size(), &credentials)) {
    FUZZ_CHECK(std::strlen(credentials.user) >= 1 && std::strlen(credentials.user) <= kCredentialMax);
    FUZZ_CHECK(std::strlen(credentials.password) <= kCredentialMax);
  }
  return 0;
}
