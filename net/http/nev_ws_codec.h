// WebSocket framing (RFC 6455) as functions of bytes: no socket, no
// connection, no logging. The protocol handler in nev_ws.cpp drives these
// over a connection's receive buffer; tests drive them over plain vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum nev_ws_opcode : int {
  NEV_WS_OP_CONTINUE = 0,
  NEV_WS_OP_TEXT = 1,
  NEV_WS_OP_BINARY = 2,
  NEV_WS_OP_CLOSE = 8,
  NEV_WS_OP_PING = 9,
  NEV_WS_OP_PONG = 10,
};

// Bit of a send opcode argument that clears FIN (a fragment with more to come).
constexpr int NEV_WS_NOT_FINAL = 0x100;

// Close status codes this layer sends on its own.
constexpr uint16_t NEV_WS_CLOSE_PROTOCOL_ERROR = 1002;
constexpr uint16_t NEV_WS_CLOSE_INVALID_DATA = 1007;
constexpr uint16_t NEV_WS_CLOSE_TOO_BIG = 1009;

// Largest control-frame payload RFC 6455 allows.
constexpr size_t NEV_WS_MAX_CONTROL_PAYLOAD = 125;

// Event data of NEV_EVENT_WS_FRAME and NEV_EVENT_WS_CONTROL_FRAME: the payload
// inside the connection's receive buffer, valid for the duration of the event.
// flags: 0x80 FIN, low 4 bits the opcode (a reassembled message carries its
// first fragment's opcode with FIN set).
struct nev_ws_frame {
  unsigned char* data;
  size_t size;
  unsigned char flags;
};

// A frame header as read from the wire.
struct nev_ws_frame_head {
  bool fin = false;
  int opcode = 0;
  bool masked = false;
  uint8_t rsv = 0;  // RSV1-3 as the bits 0x70 of the first byte
  uint8_t mask[4] = {0, 0, 0, 0};
  size_t header_length = 0;
  uint64_t payload_length = 0;
};

enum class nev_ws_head_status { incomplete, ok, bad_length };

// Reads one frame header from p[0..n). bad_length: a 64-bit length with its
// top bit set, which RFC 6455 forbids. Peers that use a longer length form
// than needed are still accepted.
nev_ws_head_status nev_ws_parse_head(const uint8_t* p, size_t n, nev_ws_frame_head& out);

// Writes a frame header into out (at most 14 bytes) and returns its length.
// The length uses the smallest form: up to 125 in the second byte, up to
// 65535 in 16 bits, otherwise 64 bits. With a mask the MASK bit is set and the
// 4 key bytes follow.
size_t nev_ws_build_head(uint8_t* out, int opcode_and_flags, uint64_t length, const uint8_t* mask);

// XORs data with the mask; offset is the position of data[0] within the
// masked payload, so a payload can be masked in pieces.
void nev_ws_apply_mask(uint8_t* data, size_t n, const uint8_t mask[4], size_t offset = 0);

// Fills out with n bytes from the kernel's random source (getrandom), falling
// back to /dev/urandom. Used for masks and handshake keys.
void nev_ws_random_bytes(uint8_t* out, size_t n);

// One step of frame processing over a receive buffer. The buffer starts with
// `gathered` bytes of a fragmented message (its first header byte, then the
// payload gathered so far) followed by unprocessed frames.
struct nev_ws_step {
  enum kind_t {
    need_more,  // no complete frame yet
    gathered,   // a fragment was folded into the gathered message; call again
    deliver,    // raise `event` with `frame`, then remove [remove_at, remove_at+remove_len)
    fail,       // protocol violation: close with close_code and reason
  } kind = need_more;
  int event = 0;  // 113 (data) or 114 (control)
  nev_ws_frame frame{nullptr, 0, 0};
  size_t remove_at = 0;
  size_t remove_len = 0;
  bool reassembled = false;  // the delivery ends a fragmented message
  uint16_t close_code = 0;
  const char* reason = nullptr;
};

// Takes the next step. buf/len/gathered describe the receive buffer and are
// updated in place when a fragment is gathered (payload moved down, framing
// removed). Payloads are unmasked in place. max_message bounds a single frame's
// payload and a gathered message (close 1009 past it); raw_fragments delivers
// fragments as they come instead of gathering them. A server passes
// require_mask: an unmasked frame from a client then fails (1002).
// Frames with RSV bits (no extension is ever agreed) or a reserved opcode fail
// with 1002; a text message that is not UTF-8 fails with 1007 (checked on the
// whole message, so a character may span fragments; raw fragments are not
// checked); a close frame must carry nothing, or a code a peer may send and a
// UTF-8 reason (1002 / 1007).
nev_ws_step nev_ws_next_step(uint8_t* buf, size_t& len, size_t& gathered, uint64_t max_message, bool raw_fragments,
                             bool require_mask = false);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool nev_utf8_valid(const uint8_t* p, size_t n);

// True for a close code a peer may send (RFC 6455 section 7.4).
bool nev_ws_close_code_sendable(unsigned code);
