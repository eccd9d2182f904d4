// A manager serving a document root over HTTP (and HTTPS) on loopback, for
// the integration tests: every request goes to static serving except
// "/echo", which answers with the request body; WebSocket upgrades are taken
// on "/ws" only, and messages echoed with their opcode.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "nev.h"
#include "nev_http.h"
#include "nev_static.h"
#include "nev_ws.h"

class test_http_server {
 public:
  struct settings {
    nev_serve_options options{};
    nev_http_limits limits;
    bool threads = true;
    std::string tls_cert;  // PEM files; empty: plain HTTP
    std::string tls_key;
  };

  // Binds 127.0.0.1 on a free port and starts polling on a thread of its own.
  explicit test_http_server(const settings &s);
  ~test_http_server();
  test_http_server(const test_http_server &) = delete;
  test_http_server &operator=(const test_http_server &) = delete;

  int port() const { return port_; }
  // Closes the listener on the polling thread (its connections stay open)
  // and returns once it is closed.
  void close_listener();
  bool ok() const { return listener_ != nullptr; }
  const nev_serve_options &options() const { return settings_.options; }

 private:
  static void handler(nev_connection *conn, int event, void *data, nev_unlock_fn unlock);

  settings settings_;
  nev_manager mgr_{};
  nev_connection *listener_ = nullptr;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> close_listener_{false};
  std::thread poller_;
};
