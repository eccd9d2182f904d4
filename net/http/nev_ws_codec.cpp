// WebSocket frame codec: header parsing and building, masking, and the
// in-place reassembly of fragmented messages over a receive buffer.
#include "nev_ws_codec.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool ws_is_control(int opcode) { return (opcode & 0x8) != 0; }

nev_ws_step ws_fail(uint16_t code, const char* reason) {
  nev_ws_step step;
  step.kind = nev_ws_step::fail;
  step.close_code = code;
  step.reason = reason;
  return step;
}

bool ws_is_known_opcode(int opcode) {
  return opcode <= NEV_WS_OP_BINARY || (opcode >= NEV_WS_OP_CLOSE && opcode <= NEV_WS_OP_PONG);
}

// Checks the rules a frame must meet before its payload is even waited for,
// so an oversized or illegal frame is refused as soon as its header is seen.
const char* ws_frame_violation(const nev_ws_frame_head& head, size_t gathered, uint64_t max_message, bool raw_fragments,
                               bool require_mask, uint16_t& code) {
  code = NEV_WS_CLOSE_PROTOCOL_ERROR;
  if (require_mask && !head.masked) return "frame from a client without a mask";
  if (head.rsv) return "reserved bits set without an extension";
  if (!ws_is_known_opcode(head.opcode)) return "reserved opcode";
  if (ws_is_control(head.opcode)) {
    if (!head.fin) return "fragmented control frames are illegal";
    if (head.payload_length > NEV_WS_MAX_CONTROL_PAYLOAD) return "control frame payload over 125 bytes";
    return nullptr;
  }
  if (!raw_fragments) {
    if (head.opcode == NEV_WS_OP_CONTINUE && gathered == 0) return "continuation without a started message";
    if (head.opcode != NEV_WS_OP_CONTINUE && gathered > 0)
      return "non-continuation in the middle of a fragmented message";
  }
  code = NEV_WS_CLOSE_TOO_BIG;
  if (head.payload_length > max_message) return "message too big";
  if (!raw_fragments && gathered > 0 && head.payload_length > max_message - (gathered - 1)) return "message too big";
  return nullptr;
}

// A close frame's payload: empty, or a code a peer may send and a UTF-8 reason.
nev_ws_step close_payload_violation(const uint8_t* p, size_t n) {
  if (n == 0) return nev_ws_step{};
  if (n == 1) return ws_fail(NEV_WS_CLOSE_PROTOCOL_ERROR, "close payload of one byte");
  if (!nev_ws_close_code_sendable((unsigned(p[0]) << 8) | p[1]))
    return ws_fail(NEV_WS_CLOSE_PROTOCOL_ERROR, "close code that may not be sent");
  if (!nev_utf8_valid(p + 2, n - 2)) return ws_fail(NEV_WS_CLOSE_INVALID_DATA, "close reason not UTF-8");
  return nev_ws_step{};
}

// The payload check of a complete frame or message; need_more when sound.
nev_ws_step payload_violation(int opcode, const uint8_t* p, size_t n) {
  if (opcode == NEV_WS_OP_CLOSE) return close_payload_violation(p, n);
  if (opcode == NEV_WS_OP_TEXT && !nev_utf8_valid(p, n))
    return ws_fail(NEV_WS_CLOSE_INVALID_DATA, "text message not UTF-8");
  return nev_ws_step{};
}

}  // namespace

nev_ws_head_status nev_ws_parse_head(const uint8_t* p, size_t n, nev_ws_frame_head& out) {
  if (n < 2) return nev_ws_head_status::incomplete;
  out.fin = (p[0] & 0x80) != 0;
  out.opcode = p[0] & 0x0f;
  out.rsv = p[0] & 0x70;
  out.masked = (p[1] & 0x80) != 0;
  const size_t mask_len = out.masked ? 4 : 0;
  const unsigned short_len = p[1] & 0x7f;
  size_t pos = 2;
  if (short_len < 126) {
    out.payload_length = short_len;
  } else if (short_len == 126) {
    if (n < 4) return nev_ws_head_status::incomplete;
    out.payload_length = (uint64_t(p[2]) << 8) | p[3];
    pos = 4;
  } else {
    if (n < 10) return nev_ws_head_status::incomplete;
    if (p[2] & 0x80) return nev_ws_head_status::bad_length;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[2 + i];
    out.payload_length = v;
    pos = 10;
  }
  if (n < pos + mask_len) return nev_ws_head_status::incomplete;
  if (out.masked) std::memcpy(out.mask, p + pos, 4);
  out.header_length = pos + mask_len;
  return nev_ws_head_status::ok;
}

size_t nev_ws_build_head(uint8_t* out, int opcode_and_flags, uint64_t length, const uint8_t* mask) {
  out[0] = uint8_t(((opcode_and_flags & NEV_WS_NOT_FINAL) ? 0 : 0x80) | (opcode_and_flags & 0x0f));
  const uint8_t mask_bit = mask ? 0x80 : 0;
  size_t pos;
  if (length <= 125) {
    out[1] = uint8_t(mask_bit | length);
    pos = 2;
  } else if (length <= 0xffff) {
    out[1] = mask_bit | 126;
    out[2] = uint8_t(length >> 8);
    out[3] = uint8_t(length);
    pos = 4;
  } else {
    out[1] = mask_bit | 127;
    for (int i = 0; i < 8; ++i) out[2 + i] = uint8_t(length >> (56 - 8 * i));
    pos = 10;
  }
  if (mask) {
    std::memcpy(out + pos, mask, 4);
    pos += 4;
  }
  return pos;
}

void nev_ws_apply_mask(uint8_t* data, size_t n, const uint8_t mask[4], size_t offset) {
  for (size_t i = 0; i < n; ++i) data[i] ^= mask[(offset + i) & 3];
}

void nev_ws_random_bytes(uint8_t* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = getrandom(out + done, n - done, 0);
    if (r > 0) {
      done += size_t(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (done == n) return;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && done < n) {
    ssize_t r = read(fd, out + done, n - done);
    if (r <= 0 && errno != EINTR) break;
    if (r > 0) done += size_t(r);
  }
  if (fd >= 0) close(fd);
  // A machine without either source cannot make safe masks; failing loudly
  // beats sending predictable ones.
  if (done < n) abort();
}

bool nev_utf8_valid(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t extra;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      extra = 1, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    static const unsigned kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += extra + 1;
  }
  return true;
}

bool nev_ws_close_code_sendable(unsigned code) {
  if (code >= 3000 && code <= 4999) return true;  // registered and private codes
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014);
}

nev_ws_step nev_ws_next_step(uint8_t* buf, size_t& len, size_t& gathered, uint64_t max_message, bool raw_fragments,
                             bool require_mask) {
  nev_ws_step step;
  if (gathered > len) gathered = len;
  const size_t start = gathered;
  const size_t avail = len - start;
  nev_ws_frame_head head;
  switch (nev_ws_parse_head(buf + start, avail, head)) {
    case nev_ws_head_status::incomplete:
      return step;
    case nev_ws_head_status::bad_length:
      return ws_fail(NEV_WS_CLOSE_PROTOCOL_ERROR, "overflowed message");
    case nev_ws_head_status::ok:
      break;
  }
  uint16_t code = 0;
  if (const char* why = ws_frame_violation(head, gathered, max_message, raw_fragments, require_mask, code))
    return ws_fail(code, why);
  if (head.payload_length > avail - head.header_length) return step;  // wait for the payload

  const size_t payload = size_t(head.payload_length);
  uint8_t* payload_at = buf + start + head.header_length;
  if (head.masked) nev_ws_apply_mask(payload_at, payload, head.mask);

  const bool fragment = !ws_is_control(head.opcode) && (!head.fin || head.opcode == NEV_WS_OP_CONTINUE);
  if (fragment && !raw_fragments) {
    // Fold the payload in behind what was gathered; the first fragment's
    // header byte stays at the front to remember the message's opcode.
    const bool first = head.opcode != NEV_WS_OP_CONTINUE;
    const size_t dst = first ? 1 : gathered;
    const size_t src = start + head.header_length;
    std::memmove(buf + dst, buf + src, len - src);
    len -= src - dst;
    gathered = dst + payload;
    if (!head.fin) {
      step.kind = nev_ws_step::gathered;
      return step;
    }
    const nev_ws_step bad = payload_violation(buf[0] & 0x0f, buf + 1, gathered - 1);
    if (bad.kind == nev_ws_step::fail) return bad;
    step.kind = nev_ws_step::deliver;
    step.event = 113;
    step.frame = nev_ws_frame{buf + 1, gathered - 1, uint8_t(buf[0] | 0x80)};
    step.remove_at = 0;
    step.remove_len = gathered;
    step.reassembled = true;
    gathered = 0;
    return step;
  }

  if (head.fin && !fragment) {
    const nev_ws_step bad = payload_violation(head.opcode, payload_at, payload);
    if (bad.kind == nev_ws_step::fail) return bad;
  }
  step.kind = nev_ws_step::deliver;
  step.event = ws_is_control(head.opcode) ? 114 : 113;
  step.frame = nev_ws_frame{payload_at, payload, uint8_t((head.fin ? 0x80 : 0) | head.opcode)};
  step.remove_at = start;
  step.remove_len = head.header_length + payload;
  return step;
}
