// WebSocket frames as the server reads them: a receive buffer stepped through
// with nev_ws_next_step, each delivery's bytes removed as the protocol handler
// removes them, the bytes arriving in two reads cut where the input chooses.
// The deliveries (opcode, FIN, payload) and a failure's close code must be the
// same as when all bytes are there at once.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nev_ws_codec.h"

namespace {

struct delivery {
  int event;
  unsigned char flags;
  std::string payload;
  bool operator==(const delivery &o) const { return event == o.event && flags == o.flags && payload == o.payload; }
};

struct outcome {
  std::vector<delivery> deliveries;
  uint16_t close_code = 0;  // 0: no failure
};

// Steps until the buffer needs more; returns false after a failure.
bool drain(uint8_t *buf, size_t &len, size_t capacity, size_t &gathered, uint64_t max_message, bool raw,
           bool require_mask, outcome &out) {
  for (int guard = 0; guard < 100000; ++guard) {
    nev_ws_step step = nev_ws_next_step(buf, len, gathered, max_message, raw, require_mask);
    FUZZ_CHECK(len <= capacity && gathered <= len);
    switch (step.kind) {
      case nev_ws_step::need_more:
        return true;
      case nev_ws_step::fail:
        FUZZ_CHECK(step.close_code != 0 && step.reason != nullptr);
        out.close_code = step.close_code;
        return false;
      case nev_ws_step::gathered:
        continue;
      case nev_ws_step::deliver: {
        FUZZ_CHECK(step.remove_at + step.remove_len <= len);
        if (step.frame.size > 0) FUZZ_CHECK(step.frame.data >= buf && step.frame.data + step.frame.size <= buf + len);
        // What reaches the application keeps the protocol's promises.
        const int op = step.frame.flags & 0x0f;
        if (!raw && step.event == 113 && op == NEV_WS_OP_TEXT && (step.frame.flags & 0x80))
          FUZZ_CHECK(nev_utf8_valid(step.frame.data, step.frame.size));
        if (step.event == 114) FUZZ_CHECK(step.frame.size <= NEV_WS_MAX_CONTROL_PAYLOAD);
        if (op == NEV_WS_OP_CLOSE && step.frame.size >= 2)
          FUZZ_CHECK(nev_ws_close_code_sendable(unsigned(step.frame.data[0]) << 8 | step.frame.data[1]));
        FUZZ_CHECK(step.frame.size != 1 || op != NEV_WS_OP_CLOSE);
        out.deliveries.push_back(
            {step.event, step.frame.flags, std::string(reinterpret_cast<char *>(step.frame.data), step.frame.size)});
        std::memmove(buf + step.remove_at, buf + step.remove_at + step.remove_len,
                     len - step.remove_at - step.remove_len);
        len -= step.remove_len;
        continue;
      }
    }
  }
  FUZZ_CHECK(!"a step that never needs more");
  return false;
}

outcome feed(const std::string &bytes, size_t cut, uint64_t max_message, bool raw, bool require_mask) {
  fuzz::exact area(bytes);
  outcome out;
  size_t len = 0, gathered = 0, arrived = 0;
  for (size_t end : {cut, bytes.size()}) {
    // Unread bytes stay where they are; the new ones land behind them.
    std::memcpy(area.data() + len, bytes.data() + arrived, end - arrived);
    len += end - arrived;
    arrived = end;
    if (!drain(area.bytes(), len, area.size(), gathered, max_message, raw, require_mask, out)) return out;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  const uint16_t cut_at = in.u16();
  const std::string bytes = in.rest();
  const uint64_t max_message = (mode & 1) ? 200 : 16ull << 20;
  const bool raw = (mode & 2) != 0;
  const bool require_mask = (mode & 4) != 0;

  const outcome whole = feed(bytes, 0, max_message, raw, require_mask);
  const outcome cut = feed(bytes, cut_at % (bytes.size() + 1), max_message, raw, require_mask);
  FUZZ_CHECK(cut.close_code == whole.close_code);
  FUZZ_CHECK(cut.deliveries.size() == whole.deliveries.size());
  for (size_t i = 0; i < cut.deliveries.size(); ++i) FUZZ_CHECK(cut.deliveries[i] == whole.deliveries[i]);
  return 0;
}
