// Randomised inputs against the engine's byte parsers: valid messages mutated
// (bit flips, truncation, splicing, huge length fields, every byte value) and
// plain random bytes, fed whole and split where the parser resumes. Every
// input is copied into a heap block of exactly its size, so a read one byte
// past the end is a sanitizer report. Seeds are fixed and rounds bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nev_codec.h"
#include "nev_digest.h"
#include "nev_http.h"
#include "nev_mqtt.h"
#include "nev_ws_codec.h"

namespace {

using bytes = std::vector<uint8_t>;

// A heap copy of exactly the input's size (never a null pointer).
struct exact {
  std::unique_ptr<char[]> data;
  size_t size;
  explicit exact(const bytes &in) : data(new char[in.empty() ? 1 : in.size()]), size(in.size()) {
    if (!in.empty()) std::memcpy(data.get(), in.data(), in.size());
  }
  const char *p() const { return data.get(); }
  char *p() { return data.get(); }
};

bytes of(const std::string &s) { return bytes(s.begin(), s.end()); }

bool inside(nev_slice s, const char *base, size_t len) {
  if (s.len == 0) return true;
  return s.p >= base && s.p <= base + len && s.len <= size_t(base + len - s.p);
}

class mutator {
 public:
  explicit mutator(uint64_t seed) : rng_(seed) {}

  size_t below(size_t n) { return n == 0 ? 0 : size_t(rng_() % n); }
  uint8_t byte() { return uint8_t(rng_()); }

  bytes random(size_t max_len) {
    bytes out(below(max_len + 1));
    for (auto &b : out) b = byte();
    return out;
  }

  // One of several mutations of a valid input; `others` feed the splicing.
  bytes mutate(const bytes &valid, const std::vector<bytes> &others) {
    bytes out = valid;
    const int rounds = 1 + int(below(4));
    for (int r = 0; r < rounds; ++r) {
      switch (below(8)) {
        case 0:  // bit flip
          if (!out.empty()) out[below(out.size())] ^= uint8_t(1u << below(8));
          break;
        case 1:  // truncation
          out.resize(below(out.size() + 1));
          break;
        case 2: {  // splice a piece of another input
          const bytes &o = others[below(others.size())];
          const size_t at = below(out.size() + 1), from = below(o.size() + 1), n = below(o.size() - from + 1);
          out.insert(out.begin() + long(at), o.begin() + long(from), o.begin() + long(from + n));
          break;
        }
        case 3:  // a byte set to an arbitrary value
          if (!out.empty()) out[below(out.size())] = byte();
          break;
        case 4: {  // a run of 0xff or 0x80 (huge length fields, continuation bytes)
          const uint8_t v = below(2) ? 0xff : 0x80;
          out.insert(out.begin() + long(below(out.size() + 1)), 1 + below(9), v);
          break;
        }
        case 5: {  // a long run of digits (huge decimal or hex lengths)
          const size_t at = below(out.size() + 1);
          std::string digits(1 + below(24), below(2) ? '9' : 'f');
          out.insert(out.begin() + long(at), digits.begin(), digits.end());
          break;
        }
        case 6:  // delete a range
          if (!out.empty()) {
            const size_t at = below(out.size()), n = 1 + below(out.size() - at);
            out.erase(out.begin() + long(at), out.begin() + long(at + n));
          }
          break;
        default:  // duplicate a range
          if (!out.empty()) {
            const size_t at = below(out.size()), n = 1 + below(std::min<size_t>(64, out.size() - at));
            bytes piece(out.begin() + long(at), out.begin() + long(at + n));
            out.insert(out.begin() + long(below(out.size() + 1)), piece.begin(), piece.end());
          }
          break;
      }
    }
    return out;
  }

 private:
  std::mt19937_64 rng_;
};

// Inputs for one round: the valid ones, every byte value at every position
// of the first valid input, mutations, and random bytes.
template <typename Check>
void abuse(uint64_t seed, const std::vector<bytes> &valid, int mutations, size_t random_max, Check check) {
  mutator m(seed);
  for (const bytes &v : valid) check(v);
  const bytes &first = valid.front();
  for (size_t at = 0; at < first.size(); ++at)
    for (int value = 0; value < 256; value += 1 + int(m.below(16))) {
      bytes b = first;
      b[at] = uint8_t(value);
      check(b);
    }
  for (int i = 0; i < mutations; ++i) check(m.mutate(valid[m.below(valid.size())], valid));
  for (int i = 0; i < mutations / 4; ++i) check(m.random(random_max));
}

// ---- HTTP heads ----

const std::vector<bytes> &http_requests() {
  static const std::vector<bytes> v = {
      of("GET /a/b?x=1&y=2 HTTP/1.1\r\nHost: example\r\nAccept: */*\r\n\r\n"),
      of("POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello"),
      of("PUT /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"),
      of("GET /ws HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"),
      of("GET / HTTP/1.0\r\n\r\n"),
      of("HEAD /x%20y HTTP/1.1\r\nAuthorization: Digest username=\"u\", realm=\"r\", nonce=\"1\", uri=\"/\", "
         "response=\"0\"\r\n\r\n"),
  };
  return v;
}

const std::vector<bytes> &http_replies() {
  static const std::vector<bytes> v = {
      of("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"),
      of("HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n"),
      of("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"),
      of("HTTP/1.0 301 Moved\r\nLocation: /b\r\n\r\n"),
  };
  return v;
}

// Checks every invariant of one head parse; returns the result.
int check_http_head(const bytes &in, int is_request, const nev_http_limits &limits) {
  exact buf(in);
  nev_http_view view;
  nev_http_framing framing;
  const int r = nev_http_parse_checked(buf.p(), buf.size, &view, is_request, limits, &framing);
  EXPECT_TRUE(r > 0 || r == 0 || r == -400 || r == -431 || r == -413 || r == -501 || r == -505) << r;
  if (r > 0) {
    EXPECT_LE(size_t(r), buf.size);
    EXPECT_LE(size_t(r), limits.max_head);
    for (nev_slice s : {view.method, view.uri, view.protocol, view.status_text, view.query})
      EXPECT_TRUE(inside(s, buf.p(), size_t(r)));
    for (size_t i = 0; i < NEV_HTTP_HEADER_SLOTS; ++i) {
      EXPECT_TRUE(inside(view.header_name[i], buf.p(), size_t(r)));
      EXPECT_TRUE(inside(view.header_value[i], buf.p(), size_t(r)));
    }
    EXPECT_EQ(view.header_name[NEV_HTTP_MAX_HEADERS].len, 0u);
    EXPECT_EQ(view.body.p, buf.p() + r);
    if (framing.content_length >= 0) {
      EXPECT_FALSE(framing.chunked);
      if (is_request) {
        EXPECT_LE(uint64_t(framing.content_length), limits.max_body);
      }
    }
  }
  const int length = nev_http_request_length(buf.p(), buf.size);
  EXPECT_GE(length, -1);
  EXPECT_LE(length, int(buf.size));
  return r;
}

// A head that parses parses the same from every longer prefix and is
// incomplete (never refused) from every shorter one.
void check_http_prefixes(const bytes &in, int is_request, const nev_http_limits &limits) {
  const int whole = check_http_head(in, is_request, limits);
  if (whole <= 0) return;
  for (size_t cut = 0; cut < in.size(); ++cut) {
    const int r = check_http_head(bytes(in.begin(), in.begin() + long(cut)), is_request, limits);
    if (cut < size_t(whole))
      EXPECT_EQ(r, 0) << "cut " << cut;
    else
      EXPECT_EQ(r, whole) << "cut " << cut;
  }
}

TEST(AbuseHttp, RequestHeads) {
  nev_http_limits tight;
  tight.max_head = 96;
  tight.max_body = 4;
  abuse(1, http_requests(), 6000, 300, [&](const bytes &in) {
    check_http_head(in, 1, {});
    check_http_head(in, 1, tight);
  });
  for (const bytes &v : http_requests()) check_http_prefixes(v, 1, {});
}

TEST(AbuseHttp, ReplyHeads) {
  abuse(2, http_replies(), 4000, 300, [&](const bytes &in) { check_http_head(in, 0, {}); });
  for (const bytes &v : http_replies()) check_http_prefixes(v, 0, {});
}

TEST(AbuseHttp, ManyHeadersAndLongLines) {
  // Header counts around the view's slots and long lines around max_head.
  for (int count : {0, 1, 38, 39, 40, 41, 200}) {
    std::string head = "GET / HTTP/1.0\r\n";  // no Host needed
    for (int i = 0; i < count; ++i) head += "X-" + std::to_string(i) + ": v\r\n";
    head += "\r\n";
    const int r = check_http_head(of(head), 1, {});
    if (count <= int(NEV_HTTP_MAX_HEADERS))
      EXPECT_EQ(r, int(head.size())) << count;
    else
      EXPECT_EQ(r, -431) << count;
  }
  for (size_t n : {8100ul, 8192ul, 8193ul, 70000ul}) {
    const std::string head = "GET /" + std::string(n, 'a') + " HTTP/1.0\r\n\r\n";
    const int r = check_http_head(of(head), 1, {});
    EXPECT_TRUE(r == int(head.size()) || r == -431) << n;
    if (head.size() > 8192) {
      EXPECT_EQ(r, -431) << n;
    }
    // Without the blank line the head is refused once past the limit, not awaited forever.
    const int open = check_http_head(of(head.substr(0, head.size() - 2)), 1, {});
    if (head.size() - 2 > 8192) {
      EXPECT_EQ(open, -431) << n;
    }
  }
}

TEST(AbuseHttp, HugeContentLengths) {
  for (const char *value :
       {"18446744073709551615", "18446744073709551616", "9223372036854775807", "9223372036854775808",
        "99999999999999999999999999", "-1", "+5", "0x10", " 5", "5 ", "5,5", "1e3", "", "67108864", "67108865"}) {
    const std::string head = std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\n";
    nev_http_limits limits;
    const int r = check_http_head(of(head), 1, limits);
    EXPECT_TRUE(r == -400 || r == -413 || r == int(head.size())) << value << " " << r;
  }
}

// ---- Chunked bodies ----

const std::vector<bytes> &chunked_bodies() {
  static const std::vector<bytes> v = {
      of("5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\nNEXT"),
      of("1\r\na\r\n0\r\nTrailer: x\r\n\r\n"),
      of("00000a\r\n0123456789\r\n0\r\n\r\n"),
      of("0\r\n\r\n"),
  };
  return v;
}

struct dechunk_result {
  nev_http_dechunk_status status;
  std::string body;
  std::string rest;
  uint64_t total;
};

// Feeds the input in pieces cut at `cuts` into a growing area, decoding after
// each piece as the protocol handler does.
dechunk_result dechunk_in_pieces(const bytes &in, std::vector<size_t> cuts, uint64_t max_body) {
  cuts.push_back(in.size());
  std::sort(cuts.begin(), cuts.end());
  std::vector<char> area;
  size_t length = 0, decoded = 0, fed = 0;
  uint64_t total = 0;
  dechunk_result out{nev_http_dechunk_status::need_more, {}, {}, 0};
  for (size_t cut : cuts) {
    if (cut < fed) continue;
    // An exact-size heap block per step, so reads past `length` are caught.
    std::unique_ptr<char[]> block(new char[cut - fed + length + 1]);
    if (length > 0) std::memcpy(block.get(), area.data(), length);
    if (cut > fed) std::memcpy(block.get() + length, in.data() + fed, cut - fed);
    length += cut - fed;
    fed = cut;
    const size_t before = length;
    out.status = nev_http_dechunk(block.get(), length, decoded, total, max_body);
    EXPECT_LE(length, before);
    EXPECT_LE(decoded, length);
    EXPECT_GE(total, decoded);
    area.assign(block.get(), block.get() + length);
    if (out.status != nev_http_dechunk_status::need_more) break;
  }
  out.body.assign(area.data(), decoded);
  out.rest.assign(area.data() + decoded, length - decoded);
  // Bytes not fed yet follow the body too.
  out.rest.append(reinterpret_cast<const char *>(in.data()) + fed, in.size() - fed);
  out.total = total;
  return out;
}

TEST(AbuseChunked, DechunkMutatedAndSplit) {
  mutator m(3);
  abuse(4, chunked_bodies(), 5000, 200, [&](const bytes &in) {
    const dechunk_result whole = dechunk_in_pieces(in, {}, 1 << 20);
    std::vector<size_t> cuts;
    for (size_t i = m.below(4); i > 0; --i) cuts.push_back(m.below(in.size() + 1));
    const dechunk_result split = dechunk_in_pieces(in, cuts, 1 << 20);
    // Split or whole, a finished body is the same body.
    if (whole.status == nev_http_dechunk_status::done && split.status == nev_http_dechunk_status::done) {
      EXPECT_EQ(whole.body, split.body);
      EXPECT_EQ(whole.rest, split.rest);
    }
    if (whole.status == nev_http_dechunk_status::done) {
      EXPECT_NE(split.status, nev_http_dechunk_status::malformed);
    }
    // A small limit refuses instead of growing.
    const dechunk_result tight = dechunk_in_pieces(in, cuts, 4);
    EXPECT_LE(tight.body.size(), 4u + 0x1000000u);
    exact buf(in);
    const char *data = nullptr;
    size_t size = 0;
    const long r = nev_http_parse_chunk(buf.p(), buf.size, &data, &size);
    EXPECT_GE(r, -1);
    EXPECT_LE(r, long(buf.size));
    if (r > 0) {
      EXPECT_TRUE(inside(nev_slice{data, size}, buf.p(), size_t(r)));
    }
  });
}

TEST(AbuseChunked, ValidBodyAtEverySplit) {
  const bytes in = chunked_bodies().front();
  const dechunk_result whole = dechunk_in_pieces(in, {}, 1 << 20);
  ASSERT_EQ(whole.status, nev_http_dechunk_status::done);
  EXPECT_EQ(whole.body, "hello world");
  EXPECT_EQ(whole.rest, "NEXT");
  for (size_t a = 0; a <= in.size(); ++a)
    for (size_t b = a; b <= in.size(); b += 3) {
      const dechunk_result r = dechunk_in_pieces(in, {a, b}, 1 << 20);
      ASSERT_EQ(r.status, nev_http_dechunk_status::done) << a << " " << b;
      EXPECT_EQ(r.body, whole.body);
      EXPECT_EQ(r.rest, whole.rest);
    }
}

// ---- WebSocket frames ----

bytes ws_frame(int first_byte, const std::string &payload, bool masked = true) {
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

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct ws_outcome {
  std::vector<std::string> events;
  uint16_t close_code = 0;
  bool operator==(const ws_outcome &o) const { return events == o.events && close_code == o.close_code; }
};

// The protocol handler's step loop over reads cut at `cuts`, each step on an
// exact-size heap copy of the buffer.
ws_outcome ws_run(const bytes &input, std::vector<size_t> cuts, bool raw, uint64_t max_message) {
  cuts.push_back(input.size());
  std::sort(cuts.begin(), cuts.end());
  ws_outcome out;
  bytes buf;
  size_t gathered = 0, fed = 0;
  for (size_t cut : cuts) {
    if (cut < fed) continue;
    buf.insert(buf.end(), input.begin() + long(fed), input.begin() + long(cut));
    fed = cut;
    for (int guard = 0;; ++guard) {
      EXPECT_LT(guard, 100000) << "the step loop does not end";
      if (guard >= 100000) return out;
      std::unique_ptr<uint8_t[]> block(new uint8_t[buf.size() + 1]);
      if (!buf.empty()) std::memcpy(block.get(), buf.data(), buf.size());
      size_t len = buf.size();
      const size_t before = len;
      const nev_ws_step step = nev_ws_next_step(block.get(), len, gathered, max_message, raw);
      EXPECT_LE(len, before);
      EXPECT_LE(gathered, len);
      buf.assign(block.get(), block.get() + len);
      if (step.kind == nev_ws_step::need_more) break;
      if (step.kind == nev_ws_step::fail) {
        EXPECT_NE(step.close_code, 0);
        out.close_code = step.close_code;
        return out;
      }
      if (step.kind == nev_ws_step::gathered) {
        EXPECT_LT(len, before) << "a gathered step must shrink the buffer";
        if (len >= before) return out;
        continue;
      }
      EXPECT_LE(step.remove_at, len);
      EXPECT_LE(step.remove_len, len - std::min(step.remove_at, len));
      EXPECT_GT(step.remove_len, 0u);
      EXPECT_GE(step.frame.data, block.get());
      EXPECT_LE(step.frame.data + step.frame.size, block.get() + len);
      EXPECT_LE(step.frame.size, std::max<uint64_t>(max_message, NEV_WS_MAX_CONTROL_PAYLOAD));
      if (step.remove_at > len || step.remove_len > len - step.remove_at || step.remove_len == 0) return out;
      out.events.push_back(std::to_string(step.event) + ":" + std::to_string(step.frame.flags) + ":" +
                           std::string(reinterpret_cast<char *>(step.frame.data), step.frame.size));
      buf.erase(buf.begin() + long(step.remove_at), buf.begin() + long(step.remove_at + step.remove_len));
      if (step.remove_at < gathered) gathered = 0;
    }
  }
  return out;
}

const std::vector<bytes> &ws_streams() {
  static const std::vector<bytes> v = {
      cat({ws_frame(0x81, "hello"), ws_frame(0x89, "ping"), ws_frame(0x82, std::string(300, 'b'))}),
      cat({ws_frame(0x01, "frag-"), ws_frame(0x89, "p"), ws_frame(0x80, "end"), ws_frame(0x88, "\x03\xe8")}),
      cat({ws_frame(0x82, std::string(70000, 'x'))}),
      cat({ws_frame(0x81, "")}),
  };
  return v;
}

TEST(AbuseWs, StepLoopMutatedAndSplit) {
  mutator m(5);
  // The 70000-byte stream goes first for the every-byte pass only once, so
  // the table holds a short stream first.
  std::vector<bytes> streams = ws_streams();
  std::swap(streams[0], streams[1]);
  abuse(6, streams, 1500, 200, [&](const bytes &in) {
    for (bool raw : {false, true}) {
      const ws_outcome whole = ws_run(in, {}, raw, 1 << 20);
      std::vector<size_t> cuts;
      for (size_t i = 1 + m.below(3); i > 0; --i) cuts.push_back(m.below(in.size() + 1));
      EXPECT_TRUE(ws_run(in, cuts, raw, 1 << 20) == whole) << "split changed the outcome";
      ws_run(in, cuts, raw, 100);  // a small message limit closes, never overruns
    }
    nev_ws_frame_head head;
    std::unique_ptr<uint8_t[]> block(new uint8_t[in.size() + 1]);
    if (!in.empty()) std::memcpy(block.get(), in.data(), in.size());
    if (nev_ws_parse_head(block.get(), in.size(), head) == nev_ws_head_status::ok) {
      EXPECT_LE(head.header_length, in.size());
      EXPECT_LE(head.header_length, 14u);
    }
  });
}

TEST(AbuseWs, HugeLengthFields) {
  // 64-bit lengths with every top byte; 16-bit lengths; masked and not.
  for (int top = 0; top < 256; ++top)
    for (uint8_t second : {uint8_t(0x7f), uint8_t(0xff), uint8_t(0x7e), uint8_t(0xfe)}) {
      bytes in = {0x82, second};
      for (int i = 0; i < 8; ++i) in.push_back(i == 0 ? uint8_t(top) : 0xff);
      in.insert(in.end(), {1, 2, 3, 4, 5, 6});
      ws_run(in, {}, false, 1 << 20);
      ws_run(in, {}, true, uint64_t(-1));
    }
}

// ---- MQTT packets ----

bytes mqtt(uint8_t first, const bytes &body) {
  uint8_t len[4];
  const size_t n = nev_mqtt_encode_length(uint32_t(body.size()), len);
  bytes out = {first};
  out.insert(out.end(), len, len + n);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bytes str16(const std::string &s) {
  bytes out = {uint8_t(s.size() >> 8), uint8_t(s.size())};
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

const std::vector<bytes> &mqtt_packets() {
  static const std::vector<bytes> v = {
      mqtt(0x10, cat({str16("MQTT"),
                      {4, 0xc6, 0, 60},
                      str16("client"),
                      str16("will/t"),
                      str16("bye"),
                      str16("user"),
                      str16("pw")})),
      mqtt(0x32, cat({str16("a/b"), {0x12, 0x34}, of("payload")})),
      mqtt(0x30, cat({str16("t"), of(std::string(200, 'p'))})),
      mqtt(0x82, cat({{0, 7}, str16("a/+"), {1}, str16("#"), {2}})),
      mqtt(0xa2, cat({{0, 8}, str16("a/+"), str16("b")})),
      mqtt(0x20, {0, 0}),
      mqtt(0x40, {0, 1}),
      mqtt(0x62, {0, 2}),
      mqtt(0x90, {0, 7, 0, 1, 0x80}),
      mqtt(0xc0, {}),
      mqtt(0xe0, {}),
  };
  return v;
}

int check_mqtt(const bytes &in) {
  exact buf(in);
  nev_mqtt_packet pkt;
  std::memset(&pkt, 0, sizeof pkt);
  const int r = nev_mqtt_parse(buf.p(), buf.size, &pkt);
  EXPECT_TRUE(r == NEV_MQTT_INCOMPLETE || r == NEV_MQTT_MALFORMED || r > 0) << r;
  if (r <= 0) return r;
  EXPECT_LE(size_t(r), buf.size);
  EXPECT_EQ(pkt.length, r);
  for (nev_slice s : {pkt.topic, pkt.payload, pkt.protocol_name, pkt.client_id, pkt.will_topic, pkt.will_message,
                      pkt.user_name, pkt.password})
    EXPECT_TRUE(inside(s, buf.p(), size_t(r)));
  if (pkt.type == NEV_MQTT_SUBSCRIBE || pkt.type == NEV_MQTT_UNSUBSCRIBE) {
    long pos = 0;
    for (int guard = 0; guard < 100000; ++guard) {
      nev_slice topic{};
      uint8_t qos = 0;
      const long next = pkt.type == NEV_MQTT_SUBSCRIBE ? nev_mqtt_next_subscribe_topic(&pkt, &topic, &qos, pos)
                                                       : nev_mqtt_next_unsubscribe_topic(&pkt, &topic, pos);
      if (next < 0) break;
      EXPECT_GT(next, pos);
      EXPECT_LE(size_t(next), pkt.payload.len);
      EXPECT_TRUE(inside(topic, pkt.payload.p, pkt.payload.len));
      if (next <= pos) break;
      pos = next;
    }
  }
  if (pkt.type == NEV_MQTT_PUBLISH && pkt.topic.len > 0) {
    nev_mqtt_topic_match(pkt.topic, pkt.topic);
    nev_mqtt_topic_match(pkt.payload, pkt.topic);
  }
  return r;
}

TEST(AbuseMqtt, PacketsMutatedAndSplit) {
  abuse(7, mqtt_packets(), 20000, 300, [](const bytes &in) { check_mqtt(in); });
  // Every prefix of a valid packet needs more; the packet with bytes after it
  // parses to the same length.
  for (const bytes &v : mqtt_packets()) {
    const int whole = check_mqtt(v);
    ASSERT_EQ(whole, int(v.size()));
    for (size_t cut = 0; cut < v.size(); ++cut)
      EXPECT_EQ(check_mqtt(bytes(v.begin(), v.begin() + long(cut))), NEV_MQTT_INCOMPLETE) << cut;
    EXPECT_EQ(check_mqtt(cat({v, v})), whole);
  }
}

TEST(AbuseMqtt, HugeRemainingLengths) {
  for (int type = 0; type < 16; ++type)
    for (const bytes &len : std::vector<bytes>{{0xff, 0xff, 0xff, 0x7f},
                                               {0xff, 0xff, 0xff, 0xff, 0x01},
                                               {0x80, 0x80, 0x80, 0x80, 0x80},
                                               {0xff, 0xff, 0xff, 0xff}}) {
      bytes in = {uint8_t(type << 4 | (type == 3 ? 0 : type == 8 || type == 10 || type == 6 ? 2 : 0))};
      in.insert(in.end(), len.begin(), len.end());
      in.insert(in.end(), 64, 0x41);
      const int r = check_mqtt(in);
      EXPECT_TRUE(r == NEV_MQTT_INCOMPLETE || r == NEV_MQTT_MALFORMED) << type;
    }
}

TEST(AbuseMqtt, TopicMatchRandom) {
  mutator m(8);
  const char alphabet[] = "ab/+#$";
  for (int i = 0; i < 20000; ++i) {
    std::string f, t;
    for (size_t n = m.below(10); n > 0; --n) f += alphabet[m.below(6)];
    for (size_t n = m.below(10); n > 0; --n) t += alphabet[m.below(6)];
    const bytes fb = of(f), tb = of(t);
    exact fe(fb), te(tb);
    const int r = nev_mqtt_topic_match(nev_slice{fe.p(), fe.size}, nev_slice{te.p(), te.size});
    EXPECT_TRUE(r == 0 || r == 1);
    if (f.empty()) {
      EXPECT_EQ(r, 0);
    }
  }
}

// ---- URI paths, Base64, URL decoding ----

// Reference: RFC 3986 dot-segment removal on an absolute path. Empty
// segments ("//") are segments like any other, and ".." at the root stays there.
std::string remove_dot_segments(const std::string &path) {
  std::vector<std::string> stack;
  size_t i = 1;
  bool trailing_slash = false;
  for (;;) {
    const size_t slash = path.find('/', i);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    const std::string seg = path.substr(i, end - i);
    const bool last = slash == std::string::npos;
    if (seg == "..") {
      if (!stack.empty()) stack.pop_back();
      trailing_slash = last;
    } else if (seg == ".") {
      trailing_slash = last;
    } else {
      stack.push_back(seg);
      trailing_slash = false;
    }
    if (last) break;
    i = end + 1;
  }
  std::string out;
  for (const std::string &seg : stack) out += "/" + seg;
  if (trailing_slash || out.empty()) out += "/";
  return out;
}

TEST(AbuseCodec, NormalisedPathsNeverClimbAboveTheRoot) {
  mutator m(9);
  const char *parts[] = {"/", "..", ".", "a", "b", "...", "%2e", "//", "\\", "x.."};
  for (int i = 0; i < 30000; ++i) {
    std::string path;
    for (size_t n = m.below(12); n > 0; --n) path += parts[m.below(10)];
    if (m.below(4) != 0) path = "/" + path;
    const bytes in = of(path);
    exact buf(in);
    exact outbuf(in);
    nev_slice out{outbuf.p(), 0};
    const int r = nev_normalize_uri_path(nev_slice{buf.p(), buf.size}, &out);
    if (path.empty() || path[0] != '/') {
      EXPECT_EQ(r, 0) << path;
      EXPECT_EQ(out.len, 0u);
      continue;
    }
    ASSERT_EQ(r, 1) << path;
    ASSERT_LE(out.len, path.size()) << path;
    ASSERT_GE(out.len, 1u) << path;
    const std::string got(out.p, out.len);
    EXPECT_EQ(got[0], '/') << path;
    // No ".." segment survives, and the result is the standard resolution.
    EXPECT_EQ(("/" + got + "/").find("/../"), std::string::npos) << path << " -> " << got;
    EXPECT_EQ(got, remove_dot_segments(path)) << path;
    // Normalising in place gives the same text.
    exact again(in);
    nev_slice same{again.p(), 0};
    ASSERT_EQ(nev_normalize_uri_path(nev_slice{again.p(), again.size}, &same), 1);
    EXPECT_EQ(std::string(same.p, same.len), got);
  }
}

TEST(AbuseCodec, Base64DecodeStaysInItsBound) {
  mutator m(10);
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\x80\xff \n-_";
  for (int i = 0; i < 20000; ++i) {
    bytes text;
    if (m.below(3) == 0)
      text = m.random(64);
    else
      for (size_t n = m.below(64); n > 0; --n) text.push_back(uint8_t(alphabet[m.below(sizeof alphabet - 1)]));
    exact in(text);
    const size_t bound = text.size() / 4 * 3 + 1;
    std::unique_ptr<char[]> out(new char[bound]);
    int decoded = -1;
    const int used = nev_base64_decode(in.p(), int(in.size), out.get(), &decoded);
    EXPECT_GE(used, 0);
    EXPECT_LE(size_t(used), text.size());
    EXPECT_EQ(used % 4, 0);
    EXPECT_GE(decoded, 0);
    EXPECT_LE(size_t(decoded), size_t(used) / 4 * 3);
    // Encoding the decoded bytes gives back the characters consumed when no padding was involved.
    if (used > 0 && std::memchr(in.p(), '=', size_t(used)) == nullptr) {
      std::unique_ptr<char[]> enc(new char[size_t(decoded + 2) / 3 * 4 + 1]);
      const int n = nev_base64_encode(out.get(), decoded, enc.get());
      EXPECT_EQ(std::string(enc.get(), size_t(n)), std::string(in.p(), size_t(used)));
    }
  }
}

TEST(AbuseCodec, UrlDecodeStaysInItsBound) {
  mutator m(11);
  const char alphabet[] = "%+aZ09fF\x00\xff";
  for (int i = 0; i < 30000; ++i) {
    bytes text;
    for (size_t n = m.below(40); n > 0; --n) text.push_back(uint8_t(alphabet[m.below(sizeof alphabet - 1)]));
    exact in(text);
    for (size_t dst_size : {size_t(0), size_t(1), m.below(50) + 1}) {
      std::unique_ptr<char[]> dst(new char[dst_size + 1]);
      // dst_size 0 hands a block of one byte, so a write at [0] is allowed but anything more is caught.
      const int r = nev_url_decode(in.p(), in.size, dst.get(), dst_size, int(m.below(2)));
      EXPECT_GE(r, -1);
      if (r >= 0) {
        EXPECT_LT(size_t(r), dst_size);
        EXPECT_LE(size_t(r), text.size());
        EXPECT_EQ(dst[size_t(r)], '\0');
      }
    }
  }
}

TEST(AbuseCodec, UriSplitAndFormHelpers) {
  mutator m(12);
  const std::vector<bytes> uris = {of("http://u:p@host:8080/a/b?q=1#f"), of("https://[::1]:443/x"), of("/p?a=1&b=%41"),
                                   of("ws://h"), of("name=v%20x&other=%zz&e=&=x&a+b=c+d")};
  abuse(13, uris, 8000, 100, [&](const bytes &in) {
    exact buf(in);
    nev_slice parts[6];
    unsigned port = 0;
    const int r = nev_parse_uri(nev_slice{buf.p(), buf.size}, &parts[0], &parts[1], &parts[2], &port, &parts[3],
                                &parts[4], &parts[5]);
    EXPECT_TRUE(r == 0 || r == -1);
    if (r == 0)
      for (nev_slice s : parts) {
        EXPECT_TRUE(inside(s, buf.p(), buf.size));
      }
    for (size_t dst_size : {size_t(1), size_t(4), size_t(64)}) {
      std::unique_ptr<char[]> dst(new char[dst_size]);
      for (const char *name : {"name", "a b", "e", "", "other"}) {
        const int n = nev_http_get_var(nev_slice{buf.p(), buf.size}, name, dst.get(), dst_size);
        EXPECT_TRUE(n >= -4) << n;
        if (n >= 0) {
          EXPECT_LT(size_t(n), dst_size);
        }
      }
      char fixed[8];
      const int p = nev_http_header_param_fixed(nev_slice{buf.p(), buf.size}, "name", fixed, sizeof fixed);
      EXPECT_GE(p, 0);
      EXPECT_LT(size_t(p), sizeof fixed);
      char user[6], password[6];
      nev_http_parse_basic_auth(nev_slice{buf.p(), buf.size}, user, sizeof user, password, sizeof password);
    }
    // The date parser takes NUL-terminated text.
    std::string text(buf.p(), buf.size);
    nev_http_parse_date(text.c_str());
  });
}

TEST(AbuseCodec, MultipartAndBasicAuth) {
  const std::vector<bytes> bodies = {
      of("--XyZ\r\nContent-Disposition: form-data; name=\"field\"\r\n\r\nvalue\r\n--XyZ--\r\n"),
      of("--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\n"
         "data\r\n--b\r\n"),
      of("Basic dXNlcjpwYXNzd29yZA=="), of("Basic dXNlcg=="), of("Basic Og==")};
  abuse(14, bodies, 8000, 200, [&](const bytes &in) {
    exact buf(in);
    char name[8] = "", file_name[8] = "";
    const char *data = nullptr;
    size_t data_len = 0;
    const size_t r =
        nev_http_parse_multipart(buf.p(), buf.size, name, sizeof name, file_name, sizeof file_name, &data, &data_len);
    EXPECT_LE(r, buf.size);
    if (r > 0 && data != nullptr) {
      EXPECT_TRUE(inside(nev_slice{data, data_len}, buf.p(), buf.size));
    }
    EXPECT_NE(std::memchr(name, 0, sizeof name), nullptr);
    EXPECT_NE(std::memchr(file_name, 0, sizeof file_name), nullptr);
    char user[5] = "", password[5] = "";
    if (nev_http_parse_basic_auth(nev_slice{buf.p(), buf.size}, user, sizeof user, password, sizeof password) == 0) {
      EXPECT_NE(std::memchr(user, 0, sizeof user), nullptr);
      EXPECT_NE(std::memchr(password, 0, sizeof password), nullptr);
    }
  });
}

}  // namespace
