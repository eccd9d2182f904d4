// The MQTT layer on real connection records without sockets: the bytes each
// sender queues, the protocol handler fed in pieces, keep-alive on both
// sides, and the broker core's sessions, subscriptions and fan-out.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "nev_mqtt.h"
#include "nev_mqtt_broker.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}
std::string u16(size_t v) { return bytes({static_cast<int>(v >> 8), static_cast<int>(v & 0xff)}); }
std::string text(const std::string &s) { return u16(s.size()) + s; }
std::string packet(int first, const std::string &body) {
  std::string out(1, static_cast<char>(first));
  size_t remaining = body.size();
  do {
    int c = remaining & 0x7f;
    remaining >>= 7;
    if (remaining > 0) c |= 0x80;
    out.push_back(static_cast<char>(c));
  } while (remaining > 0);
  return out + body;
}
std::string connect_packet(const std::string &id, int flags = 0x02, int level = 4, int keep_alive = 60) {
  return packet(0x10, text(level == 3 ? "MQIsdp" : "MQTT") + bytes({level, flags}) + u16(keep_alive) + text(id));
}
std::string publish_packet(const std::string &topic, int qos, int id, const std::string &payload) {
  return packet(0x30 | (qos << 1), text(topic) + (qos > 0 ? u16(id) : "") + payload);
}
std::string subscribe_packet(int id, const std::vector<std::pair<std::string, int>> &filters) {
  std::string body = u16(id);
  for (const auto &f : filters) body += text(f.first) + bytes({f.second});
  return packet(0x82, body);
}
std::string unsubscribe_packet(int id, const std::vector<std::string> &filters) {
  std::string body = u16(id);
  for (const auto &f : filters) body += text(f);
  return packet(0xA2, body);
}

double monotonic_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// What a peer would read: one parsed packet, its bytes copied.
struct Received {
  int type = 0, qos = 0, retain = 0;
  uint16_t id = 0;
  uint8_t return_code = 0;
  std::string topic, payload, raw;
};

// Records every event the protocol handler raises.
struct Recorder {
  std::vector<int> events;
  std::vector<std::string> topics;
  std::vector<std::string> payloads;
  nev_broker *broker = nullptr;  // when set, events go on to the broker core
};

void recording_handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  auto *rec = static_cast<Recorder *>(conn->user_data);
  EXPECT_EQ(unlock, nullptr);
  if (event >= NEV_EVENT_MQTT_BASE) rec->events.push_back(event);
  if (event == NEV_EVENT_MQTT_PUBLISH) {
    auto *p = static_cast<nev_mqtt_packet *>(data);
    rec->topics.emplace_back(p->topic.p, p->topic.len);
    rec->payloads.emplace_back(p->payload.p, p->payload.len);
  }
  if (rec->broker != nullptr) nev_broker_on_event(conn, event, data);
}

class MqttLayer : public ::testing::Test {
 protected:
  void SetUp() override { nev_manager_setup(&mgr_, nullptr); }
  void TearDown() override {
    for (nev_connection *c : conns_)
      if (c != nullptr) nev_connection_destroy(c, 0);
    nev_manager_teardown(&mgr_);
  }

  // A connection record with MQTT attached, as the accept path leaves it.
  nev_connection *open(Recorder *rec) {
    nev_connection_options opts{};
    opts.user_data = rec;
    nev_connection *c = nev_connection_create(&mgr_, recording_handler, &opts);
    nev_mqtt_attach(c);
    if (rec->broker != nullptr) nev_mqtt_state(c)->listener_word = rec->broker;
    conns_.push_back(c);
    return c;
  }

  // Destroys a connection as the engine does at close, with or without the
  // CLOSE event reaching the handler.
  void close(nev_connection *c, bool with_event) {
    if (with_event) nev_dispatch_event(c, nullptr, NEV_EVENT_CLOSE, nullptr);
    nev_connection_destroy(c, 0);
    for (auto &slot : conns_)
      if (slot == c) slot = nullptr;
  }

  void feed(nev_connection *c, const std::string &b) {
    nev_buffer_append(&c->recv_buf, b.data(), b.size());
    int n = static_cast<int>(b.size());
    nev_mqtt_protocol_handler(c, NEV_EVENT_RECV, &n, nullptr);
  }

  static std::string sent(nev_connection *c) {
    std::string out(c->send_buf.data == nullptr ? "" : std::string(c->send_buf.data, c->send_buf.len));
    nev_buffer_clear(&c->send_buf);
    return out;
  }

  static std::vector<Received> received(nev_connection *c) {
    std::string b = sent(c);
    std::vector<Received> out;
    size_t at = 0;
    while (at < b.size()) {
      nev_mqtt_packet p;
      int n = nev_mqtt_parse(b.data() + at, b.size() - at, &p);
      EXPECT_GT(n, 0);
      if (n <= 0) break;
      Received r;
      r.type = p.type;
      r.qos = p.qos;
      r.retain = p.retain;
      r.id = p.message_id;
      r.return_code = p.return_code;
      r.topic.assign(p.topic.p == nullptr ? "" : std::string(p.topic.p, p.topic.len));
      r.payload.assign(p.payload.p == nullptr ? "" : std::string(p.payload.p, p.payload.len));
      r.raw = b.substr(at, n);
      out.push_back(r);
      at += n;
    }
    return out;
  }

  nev_manager mgr_;
  std::vector<nev_connection *> conns_;
};

TEST_F(MqttLayer, SendersWriteTheWireFormat) {
  Recorder rec;
  nev_connection *c = open(&rec);
  nev_mqtt_send_publish(c, "a/b", 0, 0, "hi", 2);
  EXPECT_EQ(sent(c), bytes({0x30, 0x07, 0, 3, 'a', '/', 'b', 'h', 'i'}));
  nev_mqtt_send_publish(c, "a/b", 1, nev_mqtt_qos_flags(1), "hi", 2);
  EXPECT_EQ(sent(c), bytes({0x32, 0x09, 0, 3, 'a', '/', 'b', 0, 1, 'h', 'i'}));
  nev_mqtt_send_publish(c, "t", 0, NEV_MQTT_RETAIN | NEV_MQTT_DUP, "", 0);
  EXPECT_EQ(sent(c), bytes({0x39, 0x03, 0, 1, 't'}));

  nev_mqtt_send_puback(c, 0x102);
  nev_mqtt_send_pubrec(c, 3);
  nev_mqtt_send_pubrel(c, 4);
  nev_mqtt_send_pubcomp(c, 5);
  nev_mqtt_send_unsuback(c, 6);
  nev_mqtt_send_connack(c, 2);
  nev_mqtt_send_pingreq(c);
  nev_mqtt_send_pingresp(c);
  nev_mqtt_send_disconnect(c);
  EXPECT_EQ(sent(c), bytes({0x40, 2,    1, 2, 0x50, 2,    0, 3, 0x62, 2,    0, 4,    0x70, 2,    0,
                            5,    0xB0, 2, 0, 6,    0x20, 2, 0, 2,    0xC0, 0, 0xD0, 0,    0xE0, 0}));

  const uint8_t granted[] = {0, 1, 2, 0x80};
  nev_mqtt_send_suback(c, granted, 4, 9);
  EXPECT_EQ(sent(c), bytes({0x90, 6, 0, 9, 0, 1, 2, 0x80}));

  const nev_mqtt_topic_filter filters[] = {{"a/#", 1}, {"b", 2}};
  nev_mqtt_send_subscribe(c, filters, 2, 7);
  EXPECT_EQ(sent(c), subscribe_packet(7, {{"a/#", 1}, {"b", 2}}));
  const char *topics[] = {"a/#", "b"};
  nev_mqtt_send_unsubscribe(c, topics, 2, 8);
  EXPECT_EQ(sent(c), unsubscribe_packet(8, {"a/#", "b"}));

  // A text over 16 bits cannot be framed: nothing is queued.
  std::string huge(70000, 'x');
  EXPECT_EQ(nev_mqtt_send_publish(c, huge.c_str(), 0, 0, "", 0), 0);
  EXPECT_EQ(sent(c), "");
  // A payload at a length boundary gets the longer length encoding.
  std::string payload(16384 - 5, 'p');
  nev_mqtt_send_publish(c, "abc", 0, 0, payload.data(), payload.size());
  std::string b = sent(c);
  EXPECT_EQ(b.substr(0, 4), bytes({0x30, 0x80, 0x80, 0x01}));
  EXPECT_EQ(b.size(), 4u + 16384u);
}

TEST_F(MqttLayer, ConnectSenderFillsFlagsAndKeepAlive) {
  Recorder rec;
  nev_connection *c = open(&rec);
  nev_mqtt_connect_options zero{};
  nev_mqtt_send_connect(c, "cli", &zero);
  EXPECT_EQ(zero.keep_alive, 60);
  EXPECT_EQ(nev_mqtt_state(c)->keep_alive, 60);
  EXPECT_EQ(sent(c), packet(0x10, text("MQTT") + bytes({4, 0}) + u16(60) + text("cli")));

  // A will topic without a will message gives no will.
  nev_mqtt_connect_options half{};
  half.flags = NEV_MQTT_CLEAN_SESSION;
  half.keep_alive = 5;
  half.will_topic = "w";
  nev_mqtt_send_connect(c, "c", &half);
  EXPECT_EQ(sent(c), packet(0x10, text("MQTT") + bytes({4, 0x02}) + u16(5) + text("c")));

  nev_mqtt_connect_options full{};
  full.flags = NEV_MQTT_CLEAN_SESSION | 0x08 | NEV_MQTT_WILL_RETAIN;
  full.will_topic = "w/t";
  full.will_message = "gone";
  full.user_name = "u";
  full.password = "secret";
  nev_mqtt_send_connect(c, "id", &full);
  std::string b = sent(c);
  nev_mqtt_packet p;
  ASSERT_EQ(nev_mqtt_parse(b.data(), b.size(), &p), static_cast<int>(b.size()));
  EXPECT_EQ(p.connect_flags, 0x02 | 0x04 | 0x08 | 0x20 | 0x40 | 0x80);
  EXPECT_EQ(std::string(p.will_topic.p, p.will_topic.len), "w/t");
  EXPECT_EQ(std::string(p.will_message.p, p.will_message.len), "gone");
  EXPECT_EQ(std::string(p.user_name.p, p.user_name.len), "u");
  EXPECT_EQ(std::string(p.password.p, p.password.len), "secret");
  EXPECT_EQ(b[1], static_cast<char>(12 + 2 + 4 + 3 + 4 + 2 + 1 + 2 + 6));
}

TEST_F(MqttLayer, PacketsSplitAtEveryOffsetGiveTheSameEvents) {
  const std::string stream = connect_packet("client") + publish_packet("a/b", 1, 5, "hello") +
                             subscribe_packet(2, {{"x/#", 1}}) + publish_packet("t", 0, 0, "") + bytes({0xC0, 0x00}) +
                             bytes({0xE0, 0x00});
  const std::vector<int> expected = {201, 203, 208, 203, 212, 214};
  for (size_t cut = 0; cut <= stream.size(); cut++) {
    Recorder rec;
    nev_connection *c = open(&rec);
    feed(c, stream.substr(0, cut));
    feed(c, stream.substr(cut));
    ASSERT_EQ(rec.events, expected) << "cut at " << cut;
    EXPECT_EQ(rec.payloads, (std::vector<std::string>{"hello", ""}));
    EXPECT_EQ(c->recv_buf.len, 0u);
    close(c, false);
  }
  // Byte by byte.
  Recorder rec;
  nev_connection *c = open(&rec);
  for (char ch : stream) feed(c, std::string(1, ch));
  EXPECT_EQ(rec.events, expected);
}

TEST_F(MqttLayer, PartialPacketWaitsAndMalformedCloses) {
  Recorder rec;
  nev_connection *c = open(&rec);
  std::string third = publish_packet("a", 0, 0, "third");
  feed(c, publish_packet("a", 0, 0, "1") + publish_packet("a", 0, 0, "2") + third.substr(0, 4));
  EXPECT_EQ(rec.payloads, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(c->recv_buf.len, 4u);
  feed(c, third.substr(4));
  EXPECT_EQ(rec.payloads, (std::vector<std::string>{"1", "2", "third"}));
  EXPECT_FALSE(c->flags & NEV_CONN_CLOSE_NOW);

  // Packets before a malformed one are delivered; the connection then closes.
  feed(c, publish_packet("a", 0, 0, "4") + publish_packet("a", 3, 1, "bad") + publish_packet("a", 0, 0, "never"));
  EXPECT_EQ(rec.payloads.back(), "4");
  EXPECT_TRUE(c->flags & NEV_CONN_CLOSE_NOW);

  // An incomplete packet that fills the receive limit closes too.
  Recorder rec2;
  nev_connection *d = open(&rec2);
  d->recv_limit = 64;
  feed(d, publish_packet("a", 0, 0, std::string(100, 'x')).substr(0, 64));
  EXPECT_TRUE(d->flags & NEV_CONN_CLOSE_NOW);
  EXPECT_TRUE(rec2.events.empty());
}

TEST_F(MqttLayer, ClientKeepAlivePingsThenTimesOut) {
  Recorder rec;
  nev_connection *c = open(&rec);
  nev_mqtt_connect_options opts{};
  opts.keep_alive = 10;
  nev_mqtt_send_connect(c, "cli", &opts);
  sent(c);
  nev_mqtt_proto_data *state = nev_mqtt_state(c);
  int64_t clock = 0;

  nev_mqtt_protocol_handler(c, NEV_EVENT_POLL, &clock, nullptr);
  EXPECT_EQ(sent(c), "");  // within the period
  state->last_control_time = monotonic_now() - 10.5;
  nev_mqtt_protocol_handler(c, NEV_EVENT_POLL, &clock, nullptr);
  EXPECT_EQ(sent(c), bytes({0xC0, 0x00}));
  EXPECT_TRUE(c->flags & NEV_CONN_MQTT_PING_PENDING);
  EXPECT_GT(state->last_control_time, monotonic_now() - 1);  // the PINGREQ stamped it

  // The PINGRESP clears the mark and the cycle starts again.
  feed(c, bytes({0xD0, 0x00}));
  EXPECT_FALSE(c->flags & NEV_CONN_MQTT_PING_PENDING);
  state->last_control_time = monotonic_now() - 11;
  nev_mqtt_protocol_handler(c, NEV_EVENT_POLL, &clock, nullptr);
  EXPECT_EQ(sent(c), bytes({0xC0, 0x00}));

  // No PINGRESP for another whole period: closed.
  state->last_control_time = monotonic_now() - 11;
  nev_mqtt_protocol_handler(c, NEV_EVENT_POLL, &clock, nullptr);
  EXPECT_TRUE(c->flags & NEV_CONN_CLOSE_NOW);
}

TEST_F(MqttLayer, ServerSideClosesSilentClientsOnly) {
  struct Case {
    int keep_alive;
    double silent_for;
    bool closed;
  };
  const Case cases[] = {{10, 14.0, false}, {10, 15.5, true}, {0, 1e6, false}, {1, 1.6, true}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.keep_alive);
    Recorder rec;
    nev_connection *c = open(&rec);
    feed(c, connect_packet("id", 0x02, 4, k.keep_alive));
    nev_mqtt_state(c)->last_recv_time = monotonic_now() - k.silent_for;
    int64_t clock = 0;
    nev_mqtt_protocol_handler(c, NEV_EVENT_POLL, &clock, nullptr);
    EXPECT_EQ((c->flags & NEV_CONN_CLOSE_NOW) != 0, k.closed);
    EXPECT_EQ(sent(c), "");  // a broker never pings its clients
    close(c, false);
  }
}

// ---- Broker core ----

class BrokerCore : public MqttLayer {
 protected:
  void SetUp() override {
    MqttLayer::SetUp();
    nev_broker_setup(&broker_, nullptr);
  }
  void TearDown() override {
    for (nev_connection *&c : conns_) {
      if (c != nullptr) nev_connection_destroy(c, 0);  // drops any session left
      c = nullptr;
    }
    EXPECT_EQ(broker_.sessions, nullptr);
    nev_broker_teardown(&broker_);
    MqttLayer::TearDown();
  }

  // A connected client: CONNECT answered with CONNACK 0.
  nev_connection *client(const std::string &id) {
    auto rec = std::make_unique<Recorder>();
    rec->broker = &broker_;
    nev_connection *c = open(rec.get());
    recorders_.push_back(std::move(rec));
    feed(c, connect_packet(id));
    auto got = received(c);
    EXPECT_EQ(got.size(), 1u);
    if (!got.empty()) {
      EXPECT_EQ(got[0].type, NEV_MQTT_CONNACK);
      EXPECT_EQ(got[0].return_code, 0);
    }
    return c;
  }

  void subscribe(nev_connection *c, const std::vector<std::pair<std::string, int>> &filters) {
    feed(c, subscribe_packet(1, filters));
    auto got = received(c);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, NEV_MQTT_SUBACK);
  }

  static nev_broker_session *session(nev_connection *c) { return nev_broker_session_of(c); }

  size_t session_count() {
    size_t n = 0;
    for (nev_broker_session *s = nullptr; (s = nev_broker_next_session(&broker_, s)) != nullptr;) n++;
    return n;
  }

  nev_broker broker_;
  std::vector<std::unique_ptr<Recorder>> recorders_;
};

TEST_F(BrokerCore, FanOutUsesSubscriptionQosAndReceiversPacketIds) {
  nev_connection *wide = client("wide");
  nev_connection *narrow = client("narrow");
  nev_connection *pub = client("pub");
  subscribe(wide, {{"a/#", 2}});
  subscribe(narrow, {{"a/b", 0}});

  feed(pub, publish_packet("a/b", 2, 777, "m1"));
  auto w = received(wide);
  auto n = received(narrow);
  ASSERT_EQ(w.size(), 1u);
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(w[0].qos, 2);
  EXPECT_EQ(w[0].id, 1);  // the receiving session's own first id
  EXPECT_EQ(w[0].payload, "m1");
  EXPECT_EQ(w[0].retain, 0);
  EXPECT_EQ(n[0].qos, 0);
  EXPECT_EQ(n[0].raw, publish_packet("a/b", 0, 0, "m1"));
  auto acked = received(pub);  // not subscribed itself: only its PUBREC
  ASSERT_EQ(acked.size(), 1u);
  EXPECT_EQ(acked[0].raw, packet(0x50, u16(777)));

  // Two publishers that both start at id 1 do not collide in one subscriber.
  nev_connection *pub2 = client("pub2");
  feed(pub, publish_packet("a/c", 2, 1, "x"));
  feed(pub2, publish_packet("a/c", 2, 1, "y"));
  w = received(wide);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_NE(w[0].id, w[1].id);
  EXPECT_EQ(w[0].payload + w[1].payload, "xy");
}

TEST_F(BrokerCore, OverlappingFiltersDeliverOnceAtTheHighestQos) {
  nev_connection *sub = client("sub");
  nev_connection *pub = client("pub");
  subscribe(sub, {{"a/#", 0}, {"a/+", 2}, {"#", 1}});
  feed(pub, publish_packet("a/b", 1, 3, "once"));
  auto got = received(sub);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].qos, 1);  // the publication's QoS caps it
  feed(pub, publish_packet("a/b", 2, 4, "two"));
  got = received(sub);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].qos, 2);
  EXPECT_EQ(received(pub).size(), 2u);  // its PUBACK and PUBREC

  // The publisher gets its own message when it subscribed to it.
  subscribe(pub, {{"self", 0}});
  feed(pub, publish_packet("self", 0, 0, "echo"));
  got = received(pub);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "echo");
}

TEST_F(BrokerCore, SubscribeReplacesEqualFiltersAndAnswersEveryEntry) {
  nev_connection *c = client("c");
  feed(c, subscribe_packet(42, {{"a", 0}, {"b", 1}, {"c", 2}, {"d/#", 0}, {"+/e", 1}}));
  auto got = received(c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].raw, packet(0x90, u16(42) + bytes({0, 1, 2, 0, 1})));
  EXPECT_EQ(session(c)->num_subscriptions, 5u);

  subscribe(c, {{"a", 2}, {"a", 1}});
  ASSERT_EQ(session(c)->num_subscriptions, 5u);
  EXPECT_STREQ(session(c)->subscriptions[0].topic, "a");
  EXPECT_EQ(session(c)->subscriptions[0].qos, 1);

  feed(c, unsubscribe_packet(3, {"a", "c", "never-had"}));
  EXPECT_EQ(sent(c), packet(0xB0, u16(3)));  // UNSUBACK once the filters are gone
  std::vector<std::string> left;
  for (size_t i = 0; i < session(c)->num_subscriptions; i++) left.push_back(session(c)->subscriptions[i].topic);
  EXPECT_EQ(left, (std::vector<std::string>{"b", "d/#", "+/e"}));
}

// The replies every host of the broker gives (the broker application and the
// test hosts run this same code): one per packet that has one.
TEST_F(BrokerCore, AnswersEachPacketTheProtocolAnswers) {
  struct Case {
    const char *what;
    std::string in, out;
  };
  const Case cases[] = {
      {"PUBLISH QoS 0", publish_packet("t", 0, 0, "x"), ""},
      {"PUBLISH QoS 1", publish_packet("t", 1, 5, "x"), packet(0x40, u16(5))},
      {"PUBLISH QoS 2", publish_packet("t", 2, 6, "x"), packet(0x50, u16(6))},
      {"PUBREL", packet(0x62, u16(6)), packet(0x70, u16(6))},
      {"PUBREC", packet(0x50, u16(7)), packet(0x62, u16(7))},
      {"PUBACK", packet(0x40, u16(8)), ""},
      {"PUBCOMP", packet(0x70, u16(7)), ""},
      {"PINGREQ", bytes({0xC0, 0}), bytes({0xD0, 0})},
      {"UNSUBSCRIBE", unsubscribe_packet(9, {"t"}), packet(0xB0, u16(9))},
  };
  nev_connection *c = client("c");
  for (const Case &k : cases) {
    feed(c, k.in);
    EXPECT_EQ(sent(c), k.out) << k.what;
  }
  EXPECT_EQ(c->flags & (NEV_CONN_CLOSE_NOW | NEV_CONN_CLOSE_AFTER_SEND), 0u);

  // A publication on a connection whose session could not be opened is not
  // acknowledged: the connection closes.
  nev_connection *lost = client("lost");
  nev_broker_close_session(session(lost));
  feed(lost, publish_packet("t", 1, 10, "x"));
  EXPECT_EQ(sent(lost), "");
  EXPECT_TRUE(lost->flags & NEV_CONN_CLOSE_NOW);
}

TEST_F(BrokerCore, SubscriptionLimit) {
  nev_connection *c = client("c");
  for (int batch = 0; batch < 51; batch++) {
    std::vector<std::pair<std::string, int>> filters;
    for (int i = 0; i < 10; i++) filters.emplace_back("f/" + std::to_string(batch * 10 + i), 0);
    subscribe(c, filters);
  }
  ASSERT_EQ(session(c)->num_subscriptions, 510u);
  // Re-subscribing to held filters adds nothing, so it stays allowed.
  subscribe(c, {{"f/0", 1}, {"f/1", 1}, {"f/2", 1}});
  // Three new filters would make 513: closed without SUBACK, the 510 kept.
  feed(c, subscribe_packet(9, {{"n/1", 0}, {"n/2", 0}, {"n/3", 0}}));
  EXPECT_EQ(received(c).size(), 0u);
  EXPECT_TRUE(c->flags & NEV_CONN_CLOSE_NOW);
  EXPECT_EQ(session(c)->num_subscriptions, 510u);

  nev_connection *d = client("d");
  for (int batch = 0; batch < 51; batch++) {
    std::vector<std::pair<std::string, int>> filters;
    for (int i = 0; i < 10; i++) filters.emplace_back("f/" + std::to_string(batch * 10 + i), 0);
    subscribe(d, filters);
  }
  subscribe(d, {{"n/1", 0}, {"n/2", 0}});  // exactly 512
  EXPECT_EQ(session(d)->num_subscriptions, 512u);
}

TEST_F(BrokerCore, ConnectChecksAndOrderOfPackets) {
  struct Case {
    std::string connect;
    int return_code;
  };
  const Case cases[] = {
      {connect_packet("x", 0x02, 5), 1}, {connect_packet("x", 0x02, 2), 1}, {connect_packet("", 0x00, 4), 2},
      {connect_packet("", 0x02, 3), 2},  {connect_packet("x", 0x00, 3), 0},
  };
  for (const Case &k : cases) {
    Recorder rec;
    rec.broker = &broker_;
    nev_connection *c = open(&rec);
    feed(c, k.connect);
    auto got = received(c);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, NEV_MQTT_CONNACK);
    EXPECT_EQ(got[0].return_code, k.return_code);
    EXPECT_EQ(k.return_code != 0, (c->flags & NEV_CONN_CLOSE_AFTER_SEND) != 0);
    EXPECT_EQ(k.return_code == 0, session(c) != nullptr);
    close(c, true);
  }

  // An empty id with clean session is accepted.
  nev_connection *anon = client("");
  EXPECT_NE(session(anon), nullptr);

  // PUBLISH or SUBSCRIBE before CONNECT closes; so does a second CONNECT.
  Recorder early;
  early.broker = &broker_;
  nev_connection *e = open(&early);
  feed(e, publish_packet("a", 0, 0, "x"));
  EXPECT_TRUE(e->flags & NEV_CONN_CLOSE_NOW);
  Recorder early2;
  early2.broker = &broker_;
  nev_connection *e2 = open(&early2);
  feed(e2, subscribe_packet(1, {{"a", 0}}));
  EXPECT_TRUE(e2->flags & NEV_CONN_CLOSE_NOW);
  EXPECT_EQ(received(e2).size(), 0u);

  nev_connection *twice = client("twice");
  feed(twice, connect_packet("twice") + publish_packet("a", 0, 0, "after"));
  EXPECT_TRUE(twice->flags & NEV_CONN_CLOSE_NOW);
  EXPECT_EQ(received(twice).size(), 0u);
  // The PUBLISH after the refused CONNECT was not processed.
  EXPECT_EQ(static_cast<Recorder *>(twice->user_data)->events.back(), NEV_EVENT_MQTT_CONNECT);

  nev_connection *bye = client("bye");
  feed(bye, bytes({0xE0, 0x00}));
  EXPECT_TRUE(bye->flags & NEV_CONN_CLOSE_AFTER_SEND);
}

TEST_F(BrokerCore, LongTopicsAndClosedSessions) {
  nev_connection *sub = client("sub");
  nev_connection *gone = client("gone");
  nev_connection *pub = client("pub");
  std::string topic(300, 't');
  subscribe(sub, {{"#", 0}});
  subscribe(gone, {{"#", 0}});
  feed(pub, publish_packet(topic, 0, 0, "long"));
  auto got = received(sub);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].topic, topic);
  received(gone);

  EXPECT_EQ(session_count(), 3u);
  close(gone, true);
  EXPECT_EQ(session_count(), 2u);
  // A connection destroyed without CLOSE reaching the broker (as on a stop)
  // leaves no session behind that would write to freed memory.
  close(sub, false);
  EXPECT_EQ(session_count(), 1u);
  feed(pub, publish_packet("x", 0, 0, "nobody"));
  EXPECT_EQ(received(pub).size(), 0u);
}

}  // namespace
