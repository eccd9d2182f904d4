// HTTP heads as the server reads them: a receive buffer holding pipelined
// messages, parsed from the front, each message's body skipped by its
// Content-Length; the same bytes cut at an offset the input chooses must give
// "incomplete" or the same answer as the whole. The parsed view's slices and
// the helpers that read headers, queries and URLs run on every head.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nev_codec.h"
#include "nev_digest.h"
#include "nev_http.h"

namespace {

bool inside(nev_slice s, const char *base, size_t len) {
  if (s.len == 0) return true;
  return s.p >= base && s.p <= base + len && s.len <= size_t(base + len - s.p);
}

void read_view(const nev_http_view &view, const char *base, size_t head_len) {
  FUZZ_CHECK(inside(view.method, base, head_len));
  FUZZ_CHECK(inside(view.uri, base, head_len));
  FUZZ_CHECK(inside(view.query, base, head_len));
  FUZZ_CHECK(inside(view.protocol, base, head_len));
  FUZZ_CHECK(inside(view.status_text, base, head_len));
  for (size_t i = 0; i < NEV_HTTP_HEADER_SLOTS && view.header_name[i].len > 0; ++i) {
    FUZZ_CHECK(i < NEV_HTTP_MAX_HEADERS);
    FUZZ_CHECK(inside(view.header_name[i], base, head_len));
    FUZZ_CHECK(inside(view.header_value[i], base, head_len));
    // A name is a token: no blank, no colon (blanks before the colon are refused).
    for (size_t k = 0; k < view.header_name[i].len; ++k)
      FUZZ_CHECK(view.header_name[i].p[k] != ' ' && view.header_name[i].p[k] != '\t' &&
                 view.header_name[i].p[k] != ':');
    char small[16];
    nev_http_header_param_fixed(view.header_value[i], "nonce", small, sizeof small);
    char *param = small;
    if (nev_http_header_param(view.header_value[i], "username", &param, sizeof small) > 0 && param != small)
      std::free(param);
    const std::string value(view.header_value[i].p, view.header_value[i].len);
    nev_http_parse_date(value.c_str());
  }
  nev_http_is_known_method(view.method);
  nev_http_find_header(&view, "Content-Type");
  std::vector<char> decoded(view.uri.len + 1);
  nev_url_decode(view.uri.p, view.uri.len, decoded.data(), decoded.size(), 0);
  char var[64];
  nev_http_get_var(view.query, "a", var, sizeof var);
  char user[65], password[65];
  nev_http_get_basic_auth(&view, user, sizeof user, password, sizeof password);
}

// Parses the messages at the front of buf as the server does. Returns the
// results in order (head lengths, or 0 / a refusal, which end the walk).
std::vector<int> walk(const char *buf, size_t len, int is_request, const nev_http_limits &limits) {
  std::vector<int> results;
  size_t at = 0;
  while (at < len) {
    if (is_request) {
      while (at < len && (buf[at] == '\r' || buf[at] == '\n')) ++at;  // as the server skips them
      if (at == len) break;
    }
    fuzz::exact rest(buf + at, len - at);
    nev_http_view view;
    nev_http_framing framing;
    const int head_len = nev_http_parse_checked(rest.data(), rest.size(), &view, is_request, limits, &framing);
    results.push_back(head_len);
    if (head_len <= 0) break;
    FUZZ_CHECK(size_t(head_len) <= rest.size());
    read_view(view, rest.data(), size_t(head_len));
    FUZZ_CHECK(!(framing.chunked && framing.content_length >= 0));
    if (framing.content_length >= 0) FUZZ_CHECK(nev_http_find_header(&view, "Content-Length") != nullptr);
    if (framing.chunked || framing.content_length < 0) break;  // the chunked harness takes those
    const uint64_t body = uint64_t(framing.content_length);
    if (body > rest.size() - size_t(head_len)) break;
    at += size_t(head_len) + size_t(body);
  }
  return results;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  const uint16_t cut_at = in.u16();
  const std::string message = in.rest();
  const size_t split = cut_at % (message.size() + 1);
  const int is_request = (mode & 1) == 0;
  nev_http_limits limits;
  if (mode & 2) limits.max_head = 256, limits.max_body = 100;

  const fuzz::exact whole(message);
  const std::vector<int> full = walk(whole.data(), whole.size(), is_request, limits);
  const fuzz::exact part(message.data(), split);
  const std::vector<int> cut = walk(part.data(), part.size(), is_request, limits);
  // What was complete in the part reads the same in the whole; the part's last
  // message is at most incomplete where the whole has it complete.
  for (size_t i = 0; i < cut.size() && i < full.size(); ++i) {
    if (cut[i] == full[i]) continue;
    FUZZ_CHECK(i + 1 == cut.size());
    FUZZ_CHECK(cut[i] == 0 || (full[i] < 0 && cut[i] < 0));
  }
  return 0;
}
