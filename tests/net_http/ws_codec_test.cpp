// WebSocket framing as bytes: headers, masking, reassembly and the
// protocol violations, with inputs split at every byte offset.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nev_ws.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(int first_byte, const std::string &payload, bool masked = true) {
  uint8_t head[14];
  const uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
  const size_t n = nev_ws_build_head(head, 0, payload.size(), masked ? mask : nullptr);
  head[0] = uint8_t(first_byte);
  bytes out(head, head + n);
  bytes data(payload.begin(), payload.end());
  if (masked) nev_ws_apply_mask(data.data(), data.size(), mask);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

bytes operator+(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct delivered {
  int event;
  std::string payload;
  int flags;
  bool operator==(const delivered &o) const { return event == o.event && payload == o.payload && flags == o.flags; }
};

struct outcome {
  std::vector<delivered> events;
  uint16_t close_code = 0;
};

// Runs the step loop as the protocol handler does, appending the input in two
// reads split at `split`.
outcome run(const bytes &input, size_t split, bool raw = false, uint64_t max_message = 1 << 20) {
  outcome out;
  bytes buf;
  size_t gathered = 0;
  for (int read = 0; read < 2; ++read) {
    const size_t from = read == 0 ? 0 : split, to = read == 0 ? split : input.size();
    buf.insert(buf.end(), input.begin() + long(from), input.begin() + long(to));
    for (;;) {
      size_t len = buf.size();
      nev_ws_step step = nev_ws_next_step(buf.data(), len, gathered, max_message, raw);
      buf.resize(len);
      if (step.kind == nev_ws_step::need_more) break;
      if (step.kind == nev_ws_step::fail) {
        out.close_code = step.close_code;
        return out;
      }
      if (step.kind == nev_ws_step::gathered) continue;
      out.events.push_back(
          {step.event, std::string(reinterpret_cast<char *>(step.frame.data), step.frame.size), step.frame.flags});
      buf.erase(buf.begin() + long(step.remove_at), buf.begin() + long(step.remove_at + step.remove_len));
    }
  }
  return out;
}

TEST(WsFrames, LengthFormsAreMinimal) {
  struct form {
    uint64_t length;
    size_t header;
    uint8_t second;
  } forms[] = {{0, 2, 0}, {125, 2, 125}, {126, 4, 126}, {65534, 4, 126}, {65535, 4, 126}, {65536, 10, 127}};
  for (const form &f : forms) {
    uint8_t head[14];
    EXPECT_EQ(nev_ws_build_head(head, NEV_WS_OP_BINARY, f.length, nullptr), f.header) << f.length;
    EXPECT_EQ(head[0], 0x82);
    EXPECT_EQ(head[1], f.second);
    nev_ws_frame_head parsed;
    ASSERT_EQ(nev_ws_parse_head(head, f.header, parsed), nev_ws_head_status::ok);
    EXPECT_EQ(parsed.payload_length, f.length);
  }
  uint8_t head[14];
  EXPECT_EQ(nev_ws_build_head(head, NEV_WS_OP_TEXT | NEV_WS_NOT_FINAL, 3, nullptr), 2u);
  EXPECT_EQ(head[0], 0x01);
}

TEST(WsFrames, MaskedTextFrameAtEverySplit) {
  const bytes input = frame(0x81, "Hello");
  for (size_t split = 0; split <= input.size(); ++split) {
    outcome o = run(input, split);
    ASSERT_EQ(o.events.size(), 1u) << split;
    EXPECT_EQ(o.events[0], (delivered{113, "Hello", 0x81}));
  }
}

TEST(WsFrames, FragmentsWithPingBetweenAtEverySplit) {
  const bytes input = frame(0x01, "Hel") + frame(0x89, "ping!") + frame(0x80, "lo") + frame(0x82, "next");
  const std::vector<delivered> expected = {{114, "ping!", 0x89}, {113, "Hello", 0x81}, {113, "next", 0x82}};
  for (size_t split = 0; split <= input.size(); ++split) EXPECT_EQ(run(input, split).events, expected) << split;
  const std::vector<delivered> raw = {{113, "Hel", 0x01}, {114, "ping!", 0x89}, {113, "lo", 0x80}, {113, "next", 0x82}};
  EXPECT_EQ(run(input, 7, true).events, raw);
}

TEST(WsFrames, ViolationsCloseWithTheirCode) {
  struct violation {
    const char *what;
    bytes input;
    uint16_t code;
    uint64_t max_message;
  } cases[] = {
      {"fragmented control frame", frame(0x09, "x"), 1002, 1 << 20},
      {"continuation without a message", frame(0x80, "x"), 1002, 1 << 20},
      {"new first fragment inside a message", frame(0x01, "a") + frame(0x01, "b"), 1002, 1 << 20},
      {"whole data frame inside a message", frame(0x01, "a") + frame(0x82, "b"), 1002, 1 << 20},
      {"control frame over 125 bytes", frame(0x89, std::string(126, 'p')), 1002, 1 << 20},
      {"frame over the message limit", frame(0x82, std::string(101, 'x')), 1009, 100},
      {"message over the limit", frame(0x02, std::string(60, 'x')) + frame(0x80, std::string(41, 'x')), 1009, 100},
      {"64-bit length with the top bit", bytes{0x82, 0x7f, 0x80, 0, 0, 0, 0, 0, 0, 1}, 1002, UINT64_MAX},
  };
  for (const violation &v : cases) {
    outcome o = run(v.input, v.input.size(), false, v.max_message);
    EXPECT_EQ(o.close_code, v.code) << v.what;
  }
  // Exactly at the limit is fine.
  outcome ok = run(frame(0x02, std::string(60, 'x')) + frame(0x80, std::string(40, 'x')), 0, false, 100);
  EXPECT_EQ(ok.close_code, 0);
  ASSERT_EQ(ok.events.size(), 1u);
  EXPECT_EQ(ok.events[0].payload.size(), 100u);
}

TEST(WsFrames, AcceptKeyAndRandomness) {
  // The example of RFC 6455 section 1.3.
  EXPECT_EQ(nev_ws_accept_key(nev_slice_from_cstr("dGhlIHNhbXBsZSBub25jZQ==")), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  uint8_t a[16] = {}, b[16] = {};
  nev_ws_random_bytes(a, sizeof a);
  nev_ws_random_bytes(b, sizeof b);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

}  // namespace
