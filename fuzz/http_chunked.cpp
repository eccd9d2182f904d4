// Chunked bodies as the server decodes them: in place in the receive buffer,
// again after every read. The input's bytes arrive in pieces at offsets it
// chooses; the decoded body, the status and what follows the body must be
// those of decoding the whole at once.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nev_http.h"

namespace {

struct outcome {
  nev_http_dechunk_status status;
  std::string body;   // decoded bytes
  std::string after;  // the bytes behind the decoded body
};

// Feeds the message in pieces ending at the cuts (ascending, then the end).
outcome decode(const std::string &message, const std::vector<size_t> &cuts, uint64_t max_body) {
  fuzz::exact area(message);
  size_t length = 0, decoded = 0;
  uint64_t total = 0;
  size_t arrived = 0;  // bytes of message handed over so far
  nev_http_dechunk_status status = nev_http_dechunk_status::need_more;
  std::vector<size_t> ends = cuts;
  ends.push_back(message.size());
  for (size_t end : ends) {
    if (end < arrived) continue;
    // New bytes land behind what the buffer holds.
    std::memcpy(area.data() + length, message.data() + arrived, end - arrived);
    length += end - arrived;
    arrived = end;
    status = nev_http_dechunk(area.data(), length, decoded, total, max_body);
    FUZZ_CHECK(decoded <= length && length <= area.size());
    FUZZ_CHECK(total == decoded);
    if (status != nev_http_dechunk_status::need_more) break;
  }
  // Bytes that had not arrived when the body ended follow it too.
  return outcome{status, std::string(area.data(), decoded),
                 std::string(area.data() + decoded, length - decoded) + message.substr(arrived)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  const uint16_t first = in.u16(), second = in.u16();
  const std::string message = in.rest();
  const uint64_t max_body = (mode & 1) ? 64 : 64ull << 20;

  const outcome whole = decode(message, {}, max_body);
  size_t a = first % (message.size() + 1), b = second % (message.size() + 1);
  if (a > b) std::swap(a, b);
  const outcome pieces = decode(message, {a, b}, max_body);
  if (whole.status == nev_http_dechunk_status::done) {
    // The whole body came: so it does in pieces, with the same bytes behind it.
    FUZZ_CHECK(pieces.status == whole.status);
    FUZZ_CHECK(pieces.body == whole.body);
    FUZZ_CHECK(pieces.after == whole.after);
  } else if (pieces.status != nev_http_dechunk_status::need_more) {
    FUZZ_CHECK(pieces.status == whole.status);
  }

  // One chunk read on its own, as the client side does.
  const fuzz::exact raw(message);
  const char *chunk = nullptr;
  size_t chunk_size = 0;
  const long used = nev_http_parse_chunk(raw.data(), raw.size(), &chunk, &chunk_size);
  if (used > 0) {
    FUZZ_CHECK(size_t(used) <= raw.size());
    FUZZ_CHECK(chunk >= raw.data() && chunk + chunk_size <= raw.data() + used);
  }
  return 0;
}
