// The MQTT parser, the remaining-length encoding and topic matching, on bytes
// alone: every length boundary, malformed input and a table of topic cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nev_mqtt.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

std::string u16(size_t v) { return bytes({static_cast<int>(v >> 8), static_cast<int>(v & 0xff)}); }
std::string text(const std::string &s) { return u16(s.size()) + s; }

// Fixed header written independently of the code under test.
std::string header(int first, size_t remaining) {
  std::string out(1, static_cast<char>(first));
  do {
    int c = remaining & 0x7f;
    remaining >>= 7;
    if (remaining > 0) c |= 0x80;
    out.push_back(static_cast<char>(c));
  } while (remaining > 0);
  return out;
}

std::string packet(int first, const std::string &body) { return header(first, body.size()) + body; }

std::string str(nev_slice s) { return std::string(s.p, s.len); }

int parse(const std::string &b, nev_mqtt_packet *p) { return nev_mqtt_parse(b.data(), b.size(), p); }

TEST(MqttParse, FixedHeaderAndLengthBytes) {
  nev_mqtt_packet p;
  EXPECT_EQ(parse(bytes({0xC0}), &p), NEV_MQTT_INCOMPLETE);
  EXPECT_EQ(parse(bytes({0xC0, 0x00}), &p), 2);
  EXPECT_EQ(p.type, NEV_MQTT_PINGREQ);
  EXPECT_EQ(p.length, 2);
  EXPECT_EQ(parse(bytes({0x30, 0x80}), &p), NEV_MQTT_INCOMPLETE);
  EXPECT_EQ(parse(bytes({0x30, 0xFF, 0xFF, 0xFF}), &p), NEV_MQTT_INCOMPLETE);
  EXPECT_EQ(parse(bytes({0x30, 0xFF, 0xFF, 0xFF, 0xFF}), &p), NEV_MQTT_MALFORMED);
  // The largest length four bytes carry only waits for its bytes.
  EXPECT_EQ(parse(bytes({0x30, 0xFF, 0xFF, 0xFF, 0x7F, 0, 1, 'a'}), &p), NEV_MQTT_INCOMPLETE);
  // Types 0 and 15 are reserved: malformed, as soon as the first bytes show it.
  EXPECT_EQ(parse(bytes({0xF0, 0x00}), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(bytes({0x00, 0x00}), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(bytes({0x82, 0x80}), &p), NEV_MQTT_INCOMPLETE);
  EXPECT_EQ(parse(bytes({0x80, 0x80}), &p), NEV_MQTT_MALFORMED);
}

// Packet ids of QoS 1/2 publications and (un)subscriptions are never 0, and
// packets of a fixed size carry nothing more: the receiver closes on each.
TEST(MqttParse, PacketIdsAndFixedSizes) {
  struct Case {
    const char *name;
    std::string bytes;
    bool valid;
  };
  const std::string topic = std::string("\0\1t", 3);
  const Case cases[] = {
      {"QoS 1 PUBLISH id 1", packet(0x32, topic + std::string("\0\1", 2)), true},
      {"QoS 1 PUBLISH id 0", packet(0x32, topic + std::string("\0\0", 2)), false},
      {"QoS 2 PUBLISH id 0", packet(0x34, topic + std::string("\0\0", 2)), false},
      {"QoS 0 PUBLISH has no id", packet(0x30, topic), true},
      {"SUBSCRIBE id 0", packet(0x82, std::string("\0\0", 2) + topic + std::string("\0", 1)), false},
      {"UNSUBSCRIBE id 0", packet(0xA2, std::string("\0\0", 2) + topic), false},
      {"PINGREQ", packet(0xC0, ""), true},
      {"PINGREQ with a payload", packet(0xC0, std::string("\0", 1)), false},
      {"PINGRESP with a payload", packet(0xD0, "x"), false},
      {"DISCONNECT with a payload", packet(0xE0, "xy"), false},
      {"PUBACK", packet(0x40, std::string("\0\1", 2)), true},
      {"PUBACK with one byte more", packet(0x40, std::string("\0\1\0", 3)), false},
      {"PUBACK id 0", packet(0x40, std::string("\0\0", 2)), false},
      {"PUBREC id 0", packet(0x50, std::string("\0\0", 2)), false},
      {"PUBREL id 0", packet(0x62, std::string("\0\0", 2)), false},
      {"PUBCOMP id 0", packet(0x70, std::string("\0\0", 2)), false},
      {"CONNACK with one byte more", packet(0x20, std::string("\0\0\0", 3)), false},
  };
  for (const Case &c : cases) {
    nev_mqtt_packet p;
    int rc = parse(c.bytes, &p);
    if (c.valid)
      EXPECT_EQ(rc, static_cast<int>(c.bytes.size())) << c.name;
    else
      EXPECT_EQ(rc, NEV_MQTT_MALFORMED) << c.name;
  }
}

// Texts are well-formed UTF-8 without U+0000 or surrogates, at the
// boundaries of each encoding length (a topic name of a QoS 0 PUBLISH).
TEST(MqttParse, TopicTextsMustBeWellFormedUtf8) {
  struct Case {
    std::vector<uint8_t> topic;
    bool valid;
  };
  const Case cases[] = {
      {{'a'}, true},
      {{0x7F}, true},
      {{0xC2, 0x80}, true},               // U+0080
      {{0xDF, 0xBF}, true},               // U+07FF
      {{0xE0, 0xA0, 0x80}, true},         // U+0800
      {{0xED, 0x9F, 0xBF}, true},         // U+D7FF
      {{0xEE, 0x80, 0x80}, true},         // U+E000
      {{0xF0, 0x90, 0x80, 0x80}, true},   // U+10000
      {{0xF4, 0x8F, 0xBF, 0xBF}, true},   // U+10FFFF
      {{}, false},                        // empty topic name
      {{0x00}, false},                    // U+0000
      {{0xC0, 0x80}, false},              // overlong U+0000
      {{0xC1, 0xBF}, false},              // overlong
      {{0xE0, 0x9F, 0xBF}, false},        // overlong U+07FF
      {{0xED, 0xA0, 0x80}, false},        // U+D800
      {{0xED, 0xBF, 0xBF}, false},        // U+DFFF
      {{0xF0, 0x8F, 0xBF, 0xBF}, false},  // overlong U+FFFF
      {{0xF4, 0x90, 0x80, 0x80}, false},  // beyond U+10FFFF
      {{0xF5, 0x80, 0x80, 0x80}, false},
      {{0x80}, false},  // lone continuation byte
      {{0xC3}, false},  // cut short
      {{0xE2, 0x82}, false},
      {{0xC3, 0x28}, false},  // continuation missing
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> packet = {0x30, static_cast<uint8_t>(2 + c.topic.size()), 0,
                                   static_cast<uint8_t>(c.topic.size())};
    packet.insert(packet.end(), c.topic.begin(), c.topic.end());
    nev_mqtt_packet p;
    int rc = nev_mqtt_parse(packet.data(), packet.size(), &p);
    EXPECT_EQ(rc >= 0, c.valid) << "topic of " << c.topic.size() << " bytes, first "
                                << (c.topic.empty() ? -1 : c.topic[0]);
  }
}

TEST(MqttParse, RemainingLengthBoundaries) {
  struct Case {
    uint32_t remaining;
    std::vector<uint8_t> encoded;
  };
  const Case cases[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {16383, {0xFF, 0x7F}},
      {16384, {0x80, 0x80, 0x01}},
      {2097151, {0xFF, 0xFF, 0x7F}},
      {2097152, {0x80, 0x80, 0x80, 0x01}},
      {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.remaining);
    uint8_t out[4];
    size_t n = nev_mqtt_encode_length(c.remaining, out);
    ASSERT_EQ(std::vector<uint8_t>(out, out + n), c.encoded);
    if (c.remaining > 2097152) continue;  // the packet itself would be 256 MiB
    // A PUBLISH of exactly that remaining length parses whole, and one byte
    // short of it waits.
    if (c.remaining < 3) continue;
    std::string body = text("t") + std::string(c.remaining - 3, 'x');
    std::string pkt = std::string(1, '\x30') + std::string(out, out + n) + body;
    nev_mqtt_packet p;
    ASSERT_EQ(parse(pkt, &p), static_cast<int>(pkt.size()));
    EXPECT_EQ(p.payload.len, c.remaining - 3);
    EXPECT_EQ(parse(pkt.substr(0, pkt.size() - 1), &p), NEV_MQTT_INCOMPLETE);
  }
  uint8_t out[4];
  EXPECT_EQ(nev_mqtt_encode_length(268435456, out), 0u);
}

TEST(MqttParse, Publish) {
  nev_mqtt_packet p;
  std::string q0 = bytes({0x30, 0x07, 0x00, 0x03, 'a', '/', 'b', 'h', 'i'});
  ASSERT_EQ(parse(q0, &p), 9);
  EXPECT_EQ(p.type, NEV_MQTT_PUBLISH);
  EXPECT_EQ(p.qos, 0);
  EXPECT_EQ(str(p.topic), "a/b");
  EXPECT_EQ(str(p.payload), "hi");

  std::string q1 = bytes({0x33, 0x09, 0x00, 0x03, 'a', '/', 'b', 0x00, 0x01, 'h', 'i'});
  ASSERT_EQ(parse(q1, &p), 11);
  EXPECT_EQ(p.qos, 1);
  EXPECT_EQ(p.retain, 1);
  EXPECT_EQ(p.message_id, 1);
  EXPECT_EQ(str(p.payload), "hi");

  ASSERT_EQ(parse(packet(0x30, text("a")), &p), 5);
  EXPECT_EQ(p.payload.len, 0u);

  // Topic length past the packet; QoS 1 without room for the id; QoS 3.
  EXPECT_EQ(parse(bytes({0x30, 0x03, 0x00, 0x05, 'a'}), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x32, text("a/b")), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x32, text("a/b") + "\x01"), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x36, text("a/b") + u16(1) + "hi"), &p), NEV_MQTT_MALFORMED);
  // A topic name with a zero byte or a wildcard is no topic name.
  for (const std::string &bad : {std::string("a\0b", 3), std::string("a/+"), std::string("#")}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(parse(packet(0x30, text(bad) + "hi"), &p), NEV_MQTT_MALFORMED);
  }
}

std::string connect_body(const std::string &name, int level, int flags, int keep_alive,
                         const std::vector<std::string> &fields) {
  std::string body = text(name) + bytes({level, flags}) + u16(keep_alive);
  for (const std::string &f : fields) body += text(f);
  return body;
}

TEST(MqttParse, Connect) {
  nev_mqtt_packet p;
  std::string full = packet(0x10, connect_body("MQTT", 4, 0xC6 | 0x04, 30, {"id", "will/t", "bye", "user", "pw"}));
  ASSERT_EQ(parse(full, &p), static_cast<int>(full.size()));
  EXPECT_EQ(p.type, NEV_MQTT_CONNECT);
  EXPECT_EQ(str(p.protocol_name), "MQTT");
  EXPECT_EQ(p.protocol_level, 4);
  EXPECT_EQ(p.keep_alive, 30);
  EXPECT_EQ(str(p.client_id), "id");
  EXPECT_EQ(str(p.will_topic), "will/t");
  EXPECT_EQ(str(p.will_message), "bye");
  EXPECT_EQ(str(p.user_name), "user");
  EXPECT_EQ(str(p.password), "pw");

  std::string v31 = packet(0x10, connect_body("MQIsdp", 3, 0x02, 60, {"c"}));
  ASSERT_EQ(parse(v31, &p), static_cast<int>(v31.size()));
  EXPECT_EQ(p.protocol_level, 3);
  std::string empty_id = packet(0x10, connect_body("MQTT", 4, 0x02, 0, {""}));
  ASSERT_EQ(parse(empty_id, &p), static_cast<int>(empty_id.size()));
  EXPECT_EQ(p.client_id.len, 0u);

  // One byte after the last field; the user-name flag without a user name.
  EXPECT_EQ(parse(packet(0x10, connect_body("MQTT", 4, 0, 60, {"id"}) + "x"), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x10, connect_body("MQTT", 4, 0x80, 60, {"id"})), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x10, text("MQTT") + bytes({4, 0, 0})), &p), NEV_MQTT_MALFORMED);
  // A zero byte in the client id or user name; a password may hold any byte.
  const std::string nul("x\0y", 3);
  EXPECT_EQ(parse(packet(0x10, connect_body("MQTT", 4, 0x02, 60, {nul})), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x10, connect_body("MQTT", 4, 0x82, 60, {"id", nul})), &p), NEV_MQTT_MALFORMED);
  std::string binary_pw = packet(0x10, connect_body("MQTT", 4, 0xC2, 60, {"id", "u", nul}));
  EXPECT_EQ(parse(binary_pw, &p), static_cast<int>(binary_pw.size()));
}

TEST(MqttParse, AcknowledgementsAndControl) {
  nev_mqtt_packet p;
  const int id_types[] = {0x40, 0x50, 0x62, 0x70, 0x90, 0xB0};
  for (int first : id_types) {
    SCOPED_TRACE(first);
    ASSERT_EQ(parse(packet(first, u16(0x1234)), &p), 4);
    EXPECT_EQ(p.type, first >> 4);
    EXPECT_EQ(p.message_id, 0x1234);
    EXPECT_EQ(parse(packet(first, "\x01"), &p), NEV_MQTT_MALFORMED);
  }
  ASSERT_EQ(parse(packet(0x90, u16(7) + bytes({0, 1, 0x80})), &p), 7);  // SUBACK with codes
  ASSERT_EQ(parse(bytes({0x20, 0x02, 0x00, 0x05}), &p), 4);
  EXPECT_EQ(p.return_code, 5);
  EXPECT_EQ(parse(bytes({0x20, 0x01, 0x00}), &p), NEV_MQTT_MALFORMED);
  ASSERT_EQ(parse(bytes({0xE0, 0x00}), &p), 2);
  EXPECT_EQ(p.type, NEV_MQTT_DISCONNECT);
}

TEST(MqttParse, SubscribeAndUnsubscribe) {
  nev_mqtt_packet p;
  std::string entries = text("a/#") + bytes({1}) + text("b/+") + bytes({2});
  std::string sub = packet(0x82, u16(9) + entries);
  ASSERT_EQ(parse(sub, &p), static_cast<int>(sub.size()));
  EXPECT_EQ(p.message_id, 9);
  EXPECT_EQ(str(p.payload), entries);
  std::vector<std::pair<std::string, int>> seen;
  nev_slice topic;
  uint8_t qos;
  for (long pos = 0; (pos = nev_mqtt_next_subscribe_topic(&p, &topic, &qos, pos)) >= 0;)
    seen.emplace_back(str(topic), qos);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"a/#", 1}, {"b/+", 2}}));

  // No entry, a partial entry, stray bytes, QoS 3 or reserved bits: malformed.
  EXPECT_EQ(parse(packet(0x82, u16(1)), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x82, u16(1) + text("a")), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x82, u16(1) + entries + "xy"), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x82, u16(1) + text("a") + bytes({3})), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x82, u16(1) + text("a") + bytes({0x40})), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0x82, u16(1) + text(std::string("a\0b", 3)) + bytes({0})), &p), NEV_MQTT_MALFORMED);

  std::string unsub = packet(0xA2, u16(4) + text("a/#") + text("b"));
  ASSERT_EQ(parse(unsub, &p), static_cast<int>(unsub.size()));
  std::vector<std::string> names;
  for (long pos = 0; (pos = nev_mqtt_next_unsubscribe_topic(&p, &topic, pos)) >= 0;) names.push_back(str(topic));
  EXPECT_EQ(names, (std::vector<std::string>{"a/#", "b"}));
  EXPECT_EQ(parse(packet(0xA2, u16(4)), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0xA2, u16(4) + text("a") + "z"), &p), NEV_MQTT_MALFORMED);
  EXPECT_EQ(parse(packet(0xA2, u16(4) + text(std::string("a\0b", 3))), &p), NEV_MQTT_MALFORMED);
}

TEST(MqttParse, EveryPrefixOfAValidPacketIsIncomplete) {
  const std::string packets[] = {
      packet(0x10, connect_body("MQTT", 4, 0xC6, 30, {"id", "w", "m", "u", "p"})),
      packet(0x34, text("a/b") + u16(77) + std::string(300, 'z')),
      packet(0x82, u16(9) + text("a/#") + bytes({1})),
      packet(0xA2, u16(9) + text("a/#")),
      packet(0x62, u16(5)),
  };
  for (const std::string &whole : packets) {
    nev_mqtt_packet p;
    for (size_t cut = 0; cut < whole.size(); cut++)
      ASSERT_EQ(parse(whole.substr(0, cut), &p), NEV_MQTT_INCOMPLETE) << cut;
    EXPECT_EQ(parse(whole + "\xC0", &p), static_cast<int>(whole.size()));
  }
}

struct MatchCase {
  const char *filter;
  const char *topic;
  int expected;
};

TEST(MqttTopicMatch, Table) {
  const MatchCase cases[] = {
      {"a/b/c", "a/b/c", 1},
      {"a/b/c", "a/b", 0},
      {"a/b", "a/b/c", 0},
      {"a/b/c", "a/b/C", 0},
      {"a/+/c", "a/b/c", 1},
      {"a/+/c", "a/b/c/d", 0},
      {"a/+", "a/", 1},  // '+' matches an empty level
      {"a/+", "a", 0},
      {"+/+", "/", 1},
      {"/+", "/finance", 1},
      {"+", "/finance", 0},
      {"+/+", "/finance", 1},
      {"+", "a", 1},
      {"+", "", 0},
      {"a/#", "a", 1},
      {"a/#", "a/b", 1},
      {"a/#", "a/b/c", 1},
      {"a/#", "ab", 0},
      {"a/#", "b/a", 0},
      {"#", "a/b/c", 1},
      {"#", "", 1},
      {"#", "/", 1},
      {"a/#/b", "a/x/b", 0},
      {"a/#/b", "a/b", 0},
      {"", "a", 0},
      {"", "", 0},
      {"a//b", "a//b", 1},
      {"a/+/b", "a//b", 1},
      {"a//b", "a/x/b", 0},
      // '$' topics are not seen by wildcards at the first level.
      {"#", "$SYS/x", 0},
      {"+/x", "$SYS/x", 0},
      {"+", "$", 0},
      {"$SYS/#", "$SYS/x", 1},
      {"$SYS/+", "$SYS/x", 1},
      {"a/#", "a/$x", 1},
  };
  for (const MatchCase &c : cases) {
    EXPECT_EQ(nev_mqtt_topic_match(nev_slice_from_cstr(c.filter), nev_slice_from_cstr(c.topic)), c.expected)
        << "filter '" << c.filter << "' topic '" << c.topic << "'";
    EXPECT_EQ(nev_mqtt_topic_match_cstr(c.filter, nev_slice_from_cstr(c.topic)), c.expected);
  }
  EXPECT_EQ(nev_mqtt_topic_match_cstr(nullptr, nev_slice_from_cstr("a")), 0);
  // Slices need no terminator: a filter that is a prefix of a longer text.
  const char *buf = "a/bcdef";
  EXPECT_EQ(nev_mqtt_topic_match(nev_slice_from(buf, 3), nev_slice_from_cstr("a/b")), 1);
}

}  // namespace
