// MQTT control packets as the broker reads them: packets parsed one after the
// other from the front of a receive buffer, the bytes arriving in two reads
// cut where the input chooses; each packet's fields and (un)subscribe entries
// read as the broker reads them. Cut or whole, the packets are the same.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nev_mqtt.h"
#include "nev_ws_codec.h"

namespace {

bool inside(nev_slice s, const char *base, size_t len) {
  if (s.len == 0) return true;
  return s.p >= base && s.p <= base + len && s.len <= size_t(base + len - s.p);
}

// A text the parser let through: well-formed UTF-8 without U+0000.
bool clean_text(nev_slice s) {
  return nev_utf8_valid(reinterpret_cast<const uint8_t *>(s.p), s.len) && std::memchr(s.p, 0, s.len) == nullptr;
}

// A topic filter the parser let through: not empty, '+' and '#' fill their
// level, '#' only the last.
bool sound_filter(nev_slice f) {
  if (f.len == 0 || !clean_text(f)) return false;
  for (size_t i = 0; i < f.len; ++i) {
    if (f.p[i] != '+' && f.p[i] != '#') continue;
    if ((i > 0 && f.p[i - 1] != '/') || (i + 1 < f.len && f.p[i + 1] != '/')) return false;
    if (f.p[i] == '#' && i + 1 != f.len) return false;
  }
  return true;
}

// The packet's fields that the broker reads, as one text to compare.
std::string read_packet(const nev_mqtt_packet &pkt, const char *base, int length) {
  const size_t len = size_t(length);
  for (nev_slice s : {pkt.topic, pkt.payload, pkt.protocol_name, pkt.client_id, pkt.will_topic, pkt.will_message,
                      pkt.user_name, pkt.password})
    FUZZ_CHECK(inside(s, base, len));
  std::string seen = std::to_string(pkt.type) + "/" + std::to_string(pkt.qos) + "/" + std::to_string(pkt.message_id) +
                     "/" + std::string(pkt.topic.p ? pkt.topic.p : "", pkt.topic.len);
  if (pkt.type == NEV_MQTT_PUBLISH) {
    FUZZ_CHECK(pkt.topic.len > 0 && clean_text(pkt.topic));
    FUZZ_CHECK(std::memchr(pkt.topic.p, '+', pkt.topic.len) == nullptr);
    FUZZ_CHECK(std::memchr(pkt.topic.p, '#', pkt.topic.len) == nullptr);
    FUZZ_CHECK(pkt.qos <= 2);
  }
  if (pkt.type == NEV_MQTT_CONNECT) {
    FUZZ_CHECK(clean_text(pkt.client_id));
    if (pkt.connect_flags & NEV_MQTT_USER_NAME) FUZZ_CHECK(clean_text(pkt.user_name));
    if (pkt.connect_flags & NEV_MQTT_PASSWORD) FUZZ_CHECK(pkt.connect_flags & NEV_MQTT_USER_NAME);
    if (pkt.connect_flags & NEV_MQTT_WILL) FUZZ_CHECK(pkt.will_topic.len > 0 && clean_text(pkt.will_topic));
    FUZZ_CHECK((pkt.connect_flags & 1) == 0);
  }
  nev_slice topic{nullptr, 0};
  uint8_t qos = 0;
  if (pkt.type == NEV_MQTT_SUBSCRIBE) {
    for (long at = 0; (at = nev_mqtt_next_subscribe_topic(&pkt, &topic, &qos, at)) > 0;) {
      FUZZ_CHECK(inside(topic, base, len) && qos <= 2 && sound_filter(topic));
      seen += "|" + std::string(topic.p, topic.len);
    }
  } else if (pkt.type == NEV_MQTT_UNSUBSCRIBE) {
    for (long at = 0; (at = nev_mqtt_next_unsubscribe_topic(&pkt, &topic, at)) > 0;) {
      FUZZ_CHECK(inside(topic, base, len) && sound_filter(topic));
      seen += "|" + std::string(topic.p, topic.len);
    }
  }
  return seen;
}

// Parses packets from the front until one is incomplete or malformed.
std::vector<std::string> feed(const std::string &bytes, size_t cut) {
  std::vector<std::string> packets;
  fuzz::exact area(bytes);
  size_t len = 0, arrived = 0;
  for (size_t end : {cut, bytes.size()}) {
    std::memcpy(area.data() + len, bytes.data() + arrived, end - arrived);
    len += end - arrived;
    arrived = end;
    for (;;) {
      nev_mqtt_packet pkt{};
      const fuzz::exact held(area.data(), len);
      const int n = nev_mqtt_parse(held.data(), held.size(), &pkt);
      if (n == NEV_MQTT_MALFORMED) {
        packets.push_back("malformed");
        return packets;
      }
      if (n == NEV_MQTT_INCOMPLETE) break;
      FUZZ_CHECK(n > 0 && size_t(n) <= len && pkt.length == n);
      packets.push_back(read_packet(pkt, held.data(), n));
      std::memmove(area.data(), area.data() + n, len - size_t(n));
      len -= size_t(n);
    }
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint16_t cut_at = in.u16();
  const std::string bytes = in.rest();
  const std::vector<std::string> whole = feed(bytes, 0);
  const std::vector<std::string> cut = feed(bytes, cut_at % (bytes.size() + 1));
  FUZZ_CHECK(whole == cut);
  return 0;
}
