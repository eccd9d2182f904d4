// MQTT over WebSocket: each WebSocket connection is paired with a loopback
// TCP connection to the broker's own MQTT listener, and bytes are relayed
// unchanged both ways (a frame may carry part of a packet or several).
//
// Both sides live in the plug-in's manager and run on its poll thread, so
// the pairing needs no lock.
#include "starling.h"

namespace {

void unlinkBoth(nev_connection* conn) {
  auto* peer = static_cast<nev_connection*>(conn->user_data);
  conn->user_data = nullptr;
  if (peer == nullptr) return;
  peer->user_data = nullptr;
  peer->flags |= NEV_CONN_CLOSE_NOW;
}

}  // namespace

void wsBridgeEventHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock) {
  (void)unlock;
  switch (event) {
    case NEV_EVENT_WS_HANDSHAKE_DONE: {
      nev_connection* upstream = nev_dial(conn->manager, starlingBroker().loopbackAddress, wsBridgeUpstreamHandler);
      if (upstream == nullptr) {
        // Without the loopback leg the client could never be served.
        conn->flags |= NEV_CONN_CLOSE_NOW;
        return;
      }
      upstream->user_data = conn;
      conn->user_data = upstream;
      return;
    }
    case NEV_EVENT_WS_FRAME: {
      auto* peer = static_cast<nev_connection*>(conn->user_data);
      auto* frame = static_cast<nev_ws_frame*>(eventData);
      if (peer != nullptr && frame != nullptr) nev_enqueue(peer, frame->data, frame->size);
      return;
    }
    case NEV_EVENT_HTTP_REQUEST:
      // This port speaks MQTT over WebSocket only: a plain request gets an
      // answer instead of waiting for ever.
      nev_http_send_error(conn, 400, "WebSocket upgrade required", nullptr);
      return;
    case NEV_EVENT_CLOSE:
      unlinkBoth(conn);
      return;
    default:
      return;
  }
}

void wsBridgeUpstreamHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock) {
  (void)eventData, (void)unlock;
  switch (event) {
    case NEV_EVENT_RECV: {
      auto* peer = static_cast<nev_connection*>(conn->user_data);
      if (peer == nullptr) return;
      // The receive buffer is this poll thread's alone.
      size_t length = conn->recv_buf.len;
      if (length > 0) {
        nev_ws_send_frame(peer, 2, conn->recv_buf.data, length);
        nev_buffer_drop_front(&conn->recv_buf, length);
      }
      return;
    }
    case NEV_EVENT_CLOSE:
      unlinkBoth(conn);
      return;
    default:
      return;
  }
}
