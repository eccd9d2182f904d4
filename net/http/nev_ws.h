// The WebSocket layer (RFC 6455, version 13). The HTTP layer hands a
// connection over on an upgrade; from then on nev_ws_protocol_handler owns it:
// it parses frames in place in the receive buffer, reassembles fragmented
// messages, answers ping and close, pings idle connections and raises one
// event per message or control frame. Send operations frame outgoing data,
// masking it on client connections with keys from the kernel's random source.
//
// Events reach the host's handler through nev_dispatch_event (lock held
// shared, unlock callback given). Send operations may be called from any
// thread: frames are appended under the send buffer's mutex.
#pragma once

#include <cstddef>

#include "nev_http.h"
#include "nev_ws_codec.h"

constexpr int NEV_EVENT_WS_HANDSHAKE_REQUEST = 111;  // data: nev_http_view of the upgrade request
constexpr int NEV_EVENT_WS_HANDSHAKE_DONE = 112;     // data: nev_http_view (request, or the client's reply)
constexpr int NEV_EVENT_WS_FRAME = 113;              // data: nev_ws_frame (data frame or whole message)
constexpr int NEV_EVENT_WS_CONTROL_FRAME = 114;      // data: nev_ws_frame (opcode with bit 8 set)

// Seconds of silence from the peer after which an upgraded connection is
// pinged. A ping whose pong has not come within the connection's idle
// time-out (nev_http_limits) closes it: only what the peer sends counts.
constexpr int NEV_WS_PING_INTERVAL = 5;

struct nev_ws_buffer_part {
  const void *data;
  size_t length;
};

// One frame; NEV_WS_NOT_FINAL in `op` clears FIN. A close frame (op exactly
// 8) marks the connection close-after-send.
void nev_ws_send_frame(nev_connection *conn, int op, const void *data, size_t length);
// One frame whose payload is the parts in order.
void nev_ws_send_frame_parts(nev_connection *conn, int op, const nev_ws_buffer_part *parts, size_t count);
// Formats, then one frame; an empty text sends nothing.
void nev_ws_printf_frame(nev_connection *conn, int op, const char *format, ...) __attribute__((format(printf, 3, 4)));
// A close frame carrying the payload as given (length -1: up to the NUL),
// then close after sending.
void nev_ws_close(nev_connection *conn, const char *reason, long length);
// A close frame with a status code and a reason text, then close after sending.
void nev_ws_close_code(nev_connection *conn, unsigned code, const char *reason);

// Sec-WebSocket-Accept for a Sec-WebSocket-Key value.
std::string nev_ws_accept_key(nev_slice key);
// Sends the 101 reply; of several offered subprotocols only the first is echoed.
void nev_ws_server_handshake(nev_connection *conn, nev_slice key, const nev_http_view *request);

// Client upgrade requests; the connection is then marked NEV_CONN_WEBSOCKET
// and the HTTP layer takes the next reply as the upgrade reply.
void nev_ws_client_handshake_slices(nev_connection *conn, nev_slice path, nev_slice host, nev_slice protocol,
                                    nev_slice extra_headers, nev_slice user, nev_slice password);
void nev_ws_client_handshake(nev_connection *conn, const char *path, const char *extra_headers);
void nev_ws_client_handshake_host(nev_connection *conn, const char *path, const char *host, const char *protocol,
                                  const char *extra_headers);
void nev_ws_client_handshake_auth(nev_connection *conn, const char *path, const char *host, const char *protocol,
                                  const char *extra_headers, const char *user, const char *password);

void nev_ws_protocol_handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock);
// Called by the HTTP layer right after an upgrade: starts the peer's
// silence clock and handles the frames that came with the upgrade.
void nev_ws_start_session(nev_connection *conn);
// Processes one frame of the receive buffer. Returns 1 when one was consumed.
int nev_ws_parse_frames(nev_connection *conn);
