#include "http_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>

test_http_server::test_http_server(const settings &s) : settings_(s) {
  nev_manager_setup(&mgr_, nullptr);
  nev_listen_options lo{};
  lo.user_data = this;
  if (!settings_.tls_cert.empty()) {
    lo.tls_cert = settings_.tls_cert.c_str();
    lo.tls_key = settings_.tls_key.c_str();
  }
  listener_ = nev_listen_with_options(&mgr_, "127.0.0.1:0", handler, &lo);
  if (!listener_) return;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(listener_->sock, reinterpret_cast<sockaddr *>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  nev_http_attach(listener_);
  nev_http_set_limits(listener_, settings_.limits);
  if (settings_.threads) nev_listener_enable_threads(listener_);
  poller_ = std::thread([this] {
    while (!stop_) {
      if (close_listener_ && listener_ != nullptr) {
        listener_->flags |= NEV_CONN_CLOSE_NOW;
        listener_ = nullptr;
      }
      nev_manager_poll(&mgr_, 50);
      if (listener_ == nullptr) close_listener_ = false;
    }
  });
}

void test_http_server::close_listener() {
  close_listener_ = true;
  while (close_listener_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

test_http_server::~test_http_server() {
  stop_ = true;
  if (poller_.joinable()) poller_.join();
  nev_manager_request_stop(&mgr_);
  nev_manager_teardown(&mgr_);
}

void test_http_server::handler(nev_connection *c, int event, void *data, nev_unlock_fn unlock) {
  if (unlock) unlock(c);
  auto *self = static_cast<test_http_server *>(c->user_data);
  if (event == NEV_EVENT_HTTP_REQUEST) {
    const auto *view = static_cast<const nev_http_view *>(data);
    if (nev_slice_cmp_cstr(view->uri, "/echo") == 0) {
      nev_http_send_head(c, 200, int64_t(view->body.len), nullptr);
      nev_enqueue(c, view->body.p, view->body.len);
      return;
    }
    nev_http_serve_files(c, view, self->settings_.options);
  } else if (event == NEV_EVENT_WS_HANDSHAKE_REQUEST) {
    // Only /ws is a WebSocket service here; an upgrade elsewhere is refused.
    const auto *view = static_cast<const nev_http_view *>(data);
    if (nev_slice_cmp_cstr(view->uri, "/ws") != 0) nev_http_send_error(c, 404, nullptr, nullptr);
  } else if (event == NEV_EVENT_WS_FRAME) {
    const auto *frame = static_cast<const nev_ws_frame *>(data);
    nev_ws_send_frame(c, frame->flags & 0x0f, frame->data, frame->size);
  }
}
