// The engine's text codecs on request text: %xx decoding (paths and forms),
// Base64 decoding, path normalisation and URI splitting and assembly. Each
// runs on the input as a request would hand it over, and round trips check
// that what the encoders write decodes back to the input.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nev_codec.h"
#include "nev_http.h"

namespace {

void url_decoding(const std::string &text, bool form, size_t room) {
  const fuzz::exact src(text);
  fuzz::exact dst(std::string(room, '\0'));
  const int n = nev_url_decode(src.data(), src.size(), dst.data(), dst.size(), form ? 1 : 0);
  FUZZ_CHECK(n >= -1);
  if (n >= 0) FUZZ_CHECK(size_t(n) < room && size_t(n) <= text.size() && dst.data()[n] == '\0');
  // What the encoder writes decodes back to the bytes.
  nev_slice encoded = nev_url_encode_default(nev_slice{src.data(), src.size()});
  FUZZ_CHECK(encoded.p != nullptr);
  std::vector<char> back(encoded.len + 1);
  const int m = nev_url_decode(encoded.p, encoded.len, back.data(), back.size(), 0);
  FUZZ_CHECK(m == int(text.size()) && std::memcmp(back.data(), text.data(), text.size()) == 0);
  nev_slice_free(&encoded);
}

void base64_decoding(const std::string &text) {
  const fuzz::exact src(text);
  fuzz::exact out(std::string(text.size() / 4 * 3 + 1, '\0'));
  int decoded = -1;
  const int used = nev_base64_decode(src.data(), int(src.size()), out.data(), &decoded);
  FUZZ_CHECK(used >= 0 && used % 4 == 0 && size_t(used) <= text.size());
  FUZZ_CHECK(decoded >= 0 && size_t(decoded) <= size_t(used) / 4 * 3);
  // Encoding the bytes and decoding again gives them back.
  std::vector<char> encoded(4 * ((text.size() + 2) / 3) + 1);
  const int chars = nev_base64_encode(text.data(), int(text.size()), encoded.data());
  fuzz::exact again(std::string(size_t(chars) / 4 * 3 + 1, '\0'));
  int again_len = -1;
  FUZZ_CHECK(nev_base64_decode(encoded.data(), chars, again.data(), &again_len) == chars);
  FUZZ_CHECK(again_len == int(text.size()) && std::memcmp(again.data(), text.data(), text.size()) == 0);
}

void path_normalisation(const std::string &text) {
  fuzz::exact in(text);
  fuzz::exact out(text);
  nev_slice result{out.data(), 0};
  if (nev_normalize_uri_path(nev_slice{in.data(), in.size()}, &result) == 1) {
    FUZZ_CHECK(result.len <= text.size() && result.len > 0 && result.p[0] == '/');
    const std::string path(result.p, result.len);
    FUZZ_CHECK(path.find("/../") == std::string::npos && path.find("/./") == std::string::npos);
    FUZZ_CHECK(path != "/.." && (path.size() < 3 || path.compare(path.size() - 3, 3, "/..") != 0));
  }
  // In place, as the static file layer does.
  nev_slice same{in.data(), 0};
  nev_normalize_uri_path(nev_slice{in.data(), in.size()}, &same);
}

void uri_splitting(const std::string &text) {
  const fuzz::exact src(text);
  nev_slice scheme, user, host, path, query, fragment;
  unsigned port = 0;
  if (nev_parse_uri(nev_slice{src.data(), src.size()}, &scheme, &user, &host, &port, &path, &query, &fragment) != 0)
    return;
  nev_slice assembled{nullptr, 0};
  if (nev_assemble_uri(&scheme, &user, &host, port, &path, &query, &fragment, 1, &assembled) == 0)
    nev_slice_free(&assembled);
  if (nev_assemble_uri(&scheme, &user, &host, port, &path, &query, &fragment, 0, &assembled) == 0)
    nev_slice_free(&assembled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  const std::string text = in.rest();
  switch (mode % 5) {
    case 0:
      url_decoding(text, mode & 8, text.size() + 1);
      break;
    case 1:
      url_decoding(text, mode & 8, size_t(mode >> 4) + 1);  // a destination that may be too small
      break;
    case 2:
      base64_decoding(text);
      break;
    case 3:
      path_normalisation(text);
      break;
    case 4:
      uri_splitting(text);
      break;
  }
  return 0;
}
