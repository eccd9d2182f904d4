// MQTT 3.1.1 packet parsing and topic matching: functions of bytes only, so
// they can be tested and fuzzed without sockets.
#include <cstring>

#include "nev_mqtt.h"

namespace {

// A bounded cursor over the variable header and payload of one packet.
struct packet_reader {
  const uint8_t *at;
  size_t left;

  bool u8(uint8_t *out) {
    if (left < 1) return false;
    *out = *at++;
    left--;
    return true;
  }
  bool u16(uint16_t *out) {
    if (left < 2) return false;
    *out = static_cast<uint16_t>((at[0] << 8) | at[1]);
    at += 2;
    left -= 2;
    return true;
  }
  // A 2-byte big-endian length and that many bytes, wholly inside the packet.
  bool text(nev_slice *out) {
    uint16_t n;
    if (!u16(&n) || left < n) return false;
    *out = nev_slice_from(at, n);
    at += n;
    left -= n;
    return true;
  }
  nev_slice rest() const { return nev_slice_from(at, left); }
};

// An MQTT text (3.1.1 1.5.3): well-formed UTF-8 without U+0000 and without
// the UTF-16 surrogates U+D800-U+DFFF. Every later user of a client id, user
// name, topic or filter cuts it at the first zero byte, so "id\0x" would act
// as "id" (and take that client's session over); ill-formed text would reach
// the tables and other clients as it came.
bool is_mqtt_text(nev_slice s) {
  const auto *b = reinterpret_cast<const uint8_t *>(s.p);
  size_t i = 0;
  while (i < s.len) {
    uint8_t c = b[i];
    if (c == 0) return false;
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1, cp = c & 0x1fu;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2, cp = c & 0x0fu;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3, cp = c & 0x07u;
    } else {
      return false;  // a continuation byte, an overlong lead or beyond U+10FFFF
    }
    if (s.len - i <= extra) return false;
    for (size_t k = 1; k <= extra; k++) {
      if ((b[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (b[i + k] & 0x3fu);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += extra + 1;
  }
  return true;
}

// A topic name a publication is sent to: a non-empty text without wildcards
// (3.1.1 4.7.3, 3.3.2.1), which would reach subscribers as a literal name.
bool is_topic_name(nev_slice s) {
  if (s.len == 0 || !is_mqtt_text(s)) return false;
  return memchr(s.p, '+', s.len) == nullptr && memchr(s.p, '#', s.len) == nullptr;
}

// A topic filter (3.1.1 4.7.1): a non-empty text where "+" fills a whole level
// and "#" fills the last one.
bool is_topic_filter(nev_slice s) {
  if (s.len == 0 || !is_mqtt_text(s)) return false;
  for (size_t i = 0; i < s.len; i++) {
    char c = s.p[i];
    if (c != '+' && c != '#') continue;
    bool starts_level = i == 0 || s.p[i - 1] == '/';
    bool ends_level = i + 1 == s.len || s.p[i + 1] == '/';
    if (!starts_level || !ends_level) return false;
    if (c == '#' && i + 1 != s.len) return false;
  }
  return true;
}

// The protocol name that goes with the level: "MQTT" for 3.1.1 and "MQIsdp"
// for 3.1. Other levels with either name are the receiver's to refuse with
// CONNACK 1; any other name is no MQTT client (3.1.2.1).
bool protocol_name_fits(nev_slice name, uint8_t level) {
  bool mqtt = name.len == 4 && memcmp(name.p, "MQTT", 4) == 0;
  bool mqisdp = name.len == 6 && memcmp(name.p, "MQIsdp", 6) == 0;
  if (level == 4) return mqtt;
  if (level == 3) return mqisdp;
  return mqtt || mqisdp;
}

// The CONNECT flags 3.1.1 3.1.2.3-3.1.2.9 allow: the reserved bit clear, will
// QoS and retain only with a will, a will QoS below 3, a password only with a
// user name.
bool connect_flags_valid(uint8_t flags) {
  if (flags & 0x01) return false;
  unsigned will_qos = (flags & NEV_MQTT_WILL_QOS_MASK) >> 3;
  if (!(flags & NEV_MQTT_WILL) && (will_qos != 0 || (flags & NEV_MQTT_WILL_RETAIN))) return false;
  if (will_qos == 3) return false;
  return !((flags & NEV_MQTT_PASSWORD) && !(flags & NEV_MQTT_USER_NAME));
}

int parse_connect(packet_reader r, nev_mqtt_packet *pkt) {
  if (!r.text(&pkt->protocol_name) || !r.u8(&pkt->protocol_level) || !r.u8(&pkt->connect_flags) ||
      !r.u16(&pkt->keep_alive) || !r.text(&pkt->client_id))
    return NEV_MQTT_MALFORMED;
  if (!protocol_name_fits(pkt->protocol_name, pkt->protocol_level) || !connect_flags_valid(pkt->connect_flags))
    return NEV_MQTT_MALFORMED;
  if ((pkt->connect_flags & NEV_MQTT_WILL) && (!r.text(&pkt->will_topic) || !r.text(&pkt->will_message)))
    return NEV_MQTT_MALFORMED;
  if ((pkt->connect_flags & NEV_MQTT_USER_NAME) && !r.text(&pkt->user_name)) return NEV_MQTT_MALFORMED;
  if ((pkt->connect_flags & NEV_MQTT_PASSWORD) && !r.text(&pkt->password)) return NEV_MQTT_MALFORMED;
  // The password is binary data and may hold any byte.
  if (!is_mqtt_text(pkt->client_id) || !is_mqtt_text(pkt->user_name)) return NEV_MQTT_MALFORMED;
  if ((pkt->connect_flags & NEV_MQTT_WILL) && !is_topic_name(pkt->will_topic)) return NEV_MQTT_MALFORMED;
  return r.left == 0 ? 0 : NEV_MQTT_MALFORMED;
}

int parse_publish(packet_reader r, nev_mqtt_packet *pkt) {
  // Both QoS bits set is forbidden; the receiver must close the connection.
  if (pkt->qos == 3) return NEV_MQTT_MALFORMED;
  if (!r.text(&pkt->topic) || !is_topic_name(pkt->topic)) return NEV_MQTT_MALFORMED;
  // A QoS 1/2 publication is acknowledged by its packet id, which is never 0
  // (3.1.1 2.3.1).
  if (pkt->qos > 0 && (!r.u16(&pkt->message_id) || pkt->message_id == 0)) return NEV_MQTT_MALFORMED;
  pkt->payload = r.rest();
  return 0;
}

// A (UN)SUBSCRIBE must carry at least one whole entry and nothing after the
// last; a SUBSCRIBE entry's QoS byte must be 0, 1 or 2 (its upper bits are
// reserved). Checked here so that no handler acts on half of a bad request.
int parse_subscription_request(packet_reader r, nev_mqtt_packet *pkt) {
  if (!r.u16(&pkt->message_id) || pkt->message_id == 0) return NEV_MQTT_MALFORMED;
  pkt->payload = r.rest();
  if (r.left == 0) return NEV_MQTT_MALFORMED;
  while (r.left > 0) {
    nev_slice filter;
    if (!r.text(&filter) || !is_topic_filter(filter)) return NEV_MQTT_MALFORMED;
    if (pkt->type == NEV_MQTT_SUBSCRIBE) {
      uint8_t qos;
      if (!r.u8(&qos) || qos > 2) return NEV_MQTT_MALFORMED;
    }
  }
  return 0;
}

// The fixed-header flags each type must carry (3.1.1 2.2.2); PUBLISH carries
// its own. Types 0 and 15 are reserved and never valid.
bool fixed_flags_valid(int type, uint8_t flags) {
  switch (type) {
    case 0:
    case 15:
      return false;
    case NEV_MQTT_PUBLISH:
      return true;
    case NEV_MQTT_PUBREL:
    case NEV_MQTT_SUBSCRIBE:
    case NEV_MQTT_UNSUBSCRIBE:
      return flags == 0x2;
    default:
      return flags == 0;
  }
}

int parse_body(packet_reader r, nev_mqtt_packet *pkt) {
  switch (pkt->type) {
    case NEV_MQTT_CONNECT:
      return parse_connect(r, pkt);
    case NEV_MQTT_CONNACK: {
      uint8_t session_present;
      if (!r.u8(&session_present) || !r.u8(&pkt->return_code) || r.left != 0) return NEV_MQTT_MALFORMED;
      return 0;
    }
    case NEV_MQTT_PUBLISH:
      return parse_publish(r, pkt);
    case NEV_MQTT_SUBSCRIBE:
    case NEV_MQTT_UNSUBSCRIBE:
      return parse_subscription_request(r, pkt);
    case NEV_MQTT_PUBACK:
    case NEV_MQTT_PUBREC:
    case NEV_MQTT_PUBREL:
    case NEV_MQTT_PUBCOMP:
      // Exactly the packet id, which is never 0 (3.1.1 2.3.1, 3.4-3.7).
      return r.u16(&pkt->message_id) && pkt->message_id != 0 && r.left == 0 ? 0 : NEV_MQTT_MALFORMED;
    case NEV_MQTT_UNSUBACK:
      // Exactly the packet id (3.1.1 3.11).
      return r.u16(&pkt->message_id) && r.left == 0 ? 0 : NEV_MQTT_MALFORMED;
    case NEV_MQTT_SUBACK:
      return r.u16(&pkt->message_id) ? 0 : NEV_MQTT_MALFORMED;
    default:
      // PINGREQ, PINGRESP and DISCONNECT have no body (3.1.1 3.12-3.14).
      return r.left == 0 ? 0 : NEV_MQTT_MALFORMED;
  }
}

// The next level of a topic or filter: the text up to the next '/', which is
// consumed. `more` tells whether a '/' was consumed (another level follows,
// possibly empty).
nev_slice next_level(nev_slice *rest, bool *more) {
  const char *slash = static_cast<const char *>(memchr(rest->p, '/', rest->len));
  if (slash == nullptr) {
    nev_slice level = *rest;
    *rest = nev_slice_from(rest->p + rest->len, 0);
    *more = false;
    return level;
  }
  nev_slice level = nev_slice_from(rest->p, static_cast<size_t>(slash - rest->p));
  *rest = nev_slice_from(slash + 1, rest->len - level.len - 1);
  *more = true;
  return level;
}

bool level_is(nev_slice level, char c) { return level.len == 1 && level.p[0] == c; }

}  // namespace

int nev_mqtt_parse(const void *bytes, size_t len, nev_mqtt_packet *pkt) {
  memset(pkt, 0, sizeof(*pkt));
  const auto *b = static_cast<const uint8_t *>(bytes);
  if (len < 2) return NEV_MQTT_INCOMPLETE;
  pkt->type = b[0] >> 4;
  pkt->qos = (b[0] >> 1) & 3;
  pkt->retain = b[0] & 1;
  if (!fixed_flags_valid(pkt->type, b[0] & 0x0f)) return NEV_MQTT_MALFORMED;

  uint32_t remaining = 0;
  size_t pos = 1;
  for (int i = 0;; i++) {
    if (pos >= len) return NEV_MQTT_INCOMPLETE;
    uint8_t c = b[pos++];
    remaining |= static_cast<uint32_t>(c & 0x7f) << (7 * i);
    if (!(c & 0x80)) break;
    if (i == 3) return NEV_MQTT_MALFORMED;
  }
  size_t total = pos + remaining;
  if (len < total) return NEV_MQTT_INCOMPLETE;
  pkt->length = static_cast<int32_t>(total);

  int rc = parse_body(packet_reader{b + pos, remaining}, pkt);
  return rc < 0 ? rc : static_cast<int>(total);
}

int nev_mqtt_parse_packet(const nev_buffer *buf, nev_mqtt_packet *pkt) {
  return nev_mqtt_parse(buf->data, buf->len, pkt);
}

long nev_mqtt_next_subscribe_topic(const nev_mqtt_packet *pkt, nev_slice *topic, uint8_t *qos, long position) {
  if (position < 0 || static_cast<size_t>(position) >= pkt->payload.len) return -1;
  packet_reader r{reinterpret_cast<const uint8_t *>(pkt->payload.p) + position,
                  pkt->payload.len - static_cast<size_t>(position)};
  if (!r.text(topic) || !r.u8(qos)) return -1;
  return static_cast<long>(pkt->payload.len - r.left);
}

long nev_mqtt_next_unsubscribe_topic(const nev_mqtt_packet *pkt, nev_slice *topic, long position) {
  if (position < 0 || static_cast<size_t>(position) >= pkt->payload.len) return -1;
  packet_reader r{reinterpret_cast<const uint8_t *>(pkt->payload.p) + position,
                  pkt->payload.len - static_cast<size_t>(position)};
  if (!r.text(topic)) return -1;
  return static_cast<long>(pkt->payload.len - r.left);
}

size_t nev_mqtt_encode_length(uint32_t remaining, uint8_t out[4]) {
  if (remaining > NEV_MQTT_MAX_REMAINING_LENGTH) return 0;
  size_t n = 0;
  do {
    uint8_t c = remaining & 0x7f;
    remaining >>= 7;
    if (remaining > 0) c |= 0x80;
    out[n++] = c;
  } while (remaining > 0);
  return n;
}

int nev_mqtt_topic_match(nev_slice filter, nev_slice topic) {
  if (filter.len == 0) return 0;
  // Topic names must not be empty; of the filters only "#" takes one.
  if (topic.len == 0) return level_is(filter, '#') ? 1 : 0;
  // "$" topics are the server's own: only filters that name them see them.
  if (topic.p[0] == '$' && (filter.p[0] == '+' || filter.p[0] == '#')) return 0;

  for (;;) {
    bool filter_more, topic_more;
    nev_slice f = next_level(&filter, &filter_more);
    if (level_is(f, '#')) return filter_more ? 0 : 1;
    nev_slice t = next_level(&topic, &topic_more);
    if (!level_is(f, '+') && (f.len != t.len || memcmp(f.p, t.p, f.len) != 0)) return 0;
    if (!filter_more) return topic_more ? 0 : 1;
    // "a/#" matches "a" too: the parent of a multi-level wildcard.
    if (!topic_more) return level_is(filter, '#') ? 1 : 0;
  }
}

int nev_mqtt_topic_match_cstr(const char *filter, nev_slice topic) {
  if (filter == nullptr || filter[0] == '\0') return 0;
  return nev_mqtt_topic_match(nev_slice_from_cstr(filter), topic);
}
