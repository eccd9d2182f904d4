// MQTT control packets as the broker reads them: packets parsed one after the
// other from the front of a receive buffer, the bytes arriving in two reads
// cut where the input chooses; each packet's fields and (un)subscribe entries
// read as the broker reads them. Cut or whole, the packets are the same.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nev_mqtt.h"

namespace {

bool inside(nev_slice s, const char *base, size_t len) {
  if (s.len == 0) return true;
  return s.p >= base && s.p <= base + len && s.len <= size_t(base + len - s.p);
}

// The packet's fields that the broker reads, as one text to compare.
std::string read_packet(const nev_mqtt_packet &pkt, const char *base, int length) {
  const size_t len = size_t(length);
  for (nev_slice s : {pkt.topic, pkt.payload, pkt.protocol_name, pkt.client_id, pkt.will_topic, pkt.will_message,
                      pkt.user_name, pkt.password})
    FUZZ_CHECK(inside(s, base, len));
  std::string seen = std::to_string(pkt.type) + "/" + std::to_string(pkt.qos) + "/" + std::to_string(pkt.message_id) +
                     "/" + std::string(pkt.topic.p ? pkt.topic.p : "", pkt.topic.len);
  nev_slice topic{nullptr, 0};
  uint8_t qos = 0;
  if (pkt.type == NEV_MQTT_SUBSCRIBE) {
    for (long at = 0; (at = nev_mqtt_next_subscribe_topic(&pkt, &topic, &qos, at)) > 0;) {
      FUZZ_CHECK(inside(topic, base, len) && qos <= 2);
      seen += "|" + std::string(topic.p, topic.len);
    }
  } else if (pkt.type == NEV_MQTT_UNSUBSCRIBE) {
    for (long at = 0; (at = nev_mqtt_next_unsubscribe_topic(&pkt, &topic, at)) > 0;) {
      FUZZ_CHECK(inside(topic, base, len));
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
