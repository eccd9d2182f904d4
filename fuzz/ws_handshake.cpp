// The WebSocket handshake as the server meets it: a request head parsed, the
// upgrade rules checked, the accept key made from the client's key; and the
// client's side, the 101 reply head.
#include <string>

#include "fuzz_input.h"
#include "nev_http.h"
#include "nev_ws.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const bool reply = (in.byte() & 1) != 0;
  const fuzz::exact head(in.rest());
  nev_http_view view;
  nev_http_framing framing;
  const int head_len =
      nev_http_parse_checked(head.data(), head.size(), &view, reply ? 0 : 1, nev_http_limits{}, &framing);
  if (head_len <= 0) return 0;
  if (reply) {
    if (view.status_code == 101) nev_http_find_header(&view, "Sec-WebSocket-Accept");
    return 0;
  }
  if (!nev_http_asks_for_websocket(view)) return 0;
  const int refusal = nev_http_check_upgrade_request(view);
  FUZZ_CHECK(refusal == 0 || refusal == 400 || refusal == 426);
  if (refusal != 0) return 0;
  const nev_slice *key = nev_http_find_header(&view, "Sec-WebSocket-Key");
  FUZZ_CHECK(key != nullptr);
  const std::string accept = nev_ws_accept_key(*key);
  FUZZ_CHECK(accept.size() == 28 && accept[27] == '=');
  return 0;
}
