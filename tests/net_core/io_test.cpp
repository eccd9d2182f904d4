// The manager, listeners, connection threads and the read/write paths, driven
// from real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "test_host.h"

namespace {

using namespace std::chrono_literals;

TEST(NetCoreListen, PortZeroReportsThePortAndASecondBindFails) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *first = host.listen(&cfg);
  ASSERT_NE(first, nullptr);
  int port = host.port_of(first);
  EXPECT_GT(port, 0);
  EXPECT_TRUE(first->flags & NEV_CONN_LISTENING);

  const char *error = nullptr;
  nev_listen_options opts{};
  opts.error_text = &error;
  std::string again = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(nev_listen_with_options(host.mgr(), again.c_str(), echo_handler, &opts), nullptr);
  EXPECT_STREQ(error, "failed to open listener");
  std::string any = std::to_string(port);
  error = nullptr;
  EXPECT_EQ(nev_listen_with_options(host.mgr(), any.c_str(), echo_handler, &opts), nullptr);
  EXPECT_STREQ(error, "failed to open listener");

  // Names and malformed texts never reach the socket layer.
  for (const char *bad : {"localhost:8080", "256.0.0.1:80", "1.2.3.4:65535", "-1.2.3.4:80", "x"}) {
    error = nullptr;
    EXPECT_EQ(nev_listen_with_options(host.mgr(), bad, echo_handler, &opts), nullptr) << bad;
    EXPECT_STREQ(error, "cannot parse address") << bad;
  }
  opts.tls_cert = "/nonexistent.pem";
  error = nullptr;
  EXPECT_EQ(nev_listen_with_options(host.mgr(), "udp://127.0.0.1:0", echo_handler, &opts), nullptr);
  EXPECT_STREQ(error, "SSL for UDP is not supported");
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreIo, EchoAndAPeersHalfCloseGetsItsReply) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg);
  ASSERT_NE(l, nullptr);
  host.start();
  int s = client_connect(host.port_of(l));
  ASSERT_GE(s, 0);
  ASSERT_TRUE(client_send(s, "hello\n"));
  EXPECT_EQ(client_read_until(s, "hello\n"), "hello\n");
  // The peer ends its side after a last request: the reply still comes, then
  // the engine closes.
  ASSERT_TRUE(client_send(s, "last words\n"));
  shutdown(s, SHUT_WR);
  EXPECT_EQ(client_read_all(s), "last words\n");
  close(s);
  EXPECT_TRUE(wait_for([&] { return cfg.closes == 1; }));
  EXPECT_EQ(cfg.accepts, 1);
  EXPECT_EQ(host.shutdown(), 0);
}

// Hosts ask for the peer's address on every request (logs, log-on guards,
// the applications' client address): on the listener's thread and on a
// connection's own thread it is the address the client sends from.
TEST(NetCoreIo, PeerAddressIsTheClientsOwnOnEveryRequest) {
  EngineHost host;
  HostConfig plain_cfg, threaded_cfg;
  nev_connection *plain = host.listen(&plain_cfg);
  nev_connection *threaded = host.listen(&threaded_cfg, nullptr, true);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(threaded, nullptr);
  host.start();
  for (nev_connection *listener : {plain, threaded}) {
    std::vector<int> clients;
    for (int i = 0; i < 3; i++) clients.push_back(client_connect(host.port_of(listener)));
    for (int round = 0; round < 2; round++) {
      for (int s : clients) {
        ASSERT_GE(s, 0);
        sockaddr_in own{};
        socklen_t len = sizeof own;
        ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&own), &len), 0);
        const std::string expected = "127.0.0.1:" + std::to_string(ntohs(own.sin_port)) + "\n";
        ASSERT_TRUE(client_send(s, "peer\n"));
        EXPECT_EQ(client_read_until(s, "\n"), expected);
      }
    }
    for (int s : clients) close(s);
  }
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreIo, LargeReplyLeavesInOrderWithSendEvents) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg, nullptr, true);
  ASSERT_NE(l, nullptr);
  host.start();
  int s = client_connect(host.port_of(l));
  ASSERT_GE(s, 0);
  const size_t size = 6 * 1024 * 1024 + 17;
  ASSERT_TRUE(client_send(s, "big " + std::to_string(size) + "\nbye\n"));
  std::string got;
  char buf[8192];
  // A slow reader: the engine must keep the rest queued and in order.
  while (got.size() < size + 4) {
    ssize_t n = recv(s, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    if (got.size() < 256 * 1024) std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(got.size(), size + 4);
  size_t mismatch = size;
  for (size_t i = 0; i < size; i++)
    if (got[i] != pattern_byte(i)) {
      mismatch = i;
      break;
    }
  EXPECT_EQ(mismatch, size);
  EXPECT_EQ(got.substr(size), "bye\n");
  EXPECT_EQ(client_read_all(s), "");  // closed after the reply
  close(s);
  EXPECT_TRUE(wait_for([&] { return cfg.closes == 1; }));
  EXPECT_EQ(cfg.bytes_sent, static_cast<long>(size + 4));
  EXPECT_GE(cfg.send_events, 1);
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreThreads, FiftySlowClientsAreServedAtTheSameTimeOnTheirOwnThreads) {
  EngineHost host;
  HostConfig cfg;
  cfg.slow_target = 50;
  nev_connection *l = host.listen(&cfg, nullptr, true);
  ASSERT_NE(l, nullptr);
  int port = host.port_of(l);
  host.start();
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < 50; i++) {
    clients.emplace_back([port, &ok] {
      int s = client_connect(port);
      if (s < 0) return;
      if (client_send(s, "slow\n") && client_read_until(s, "ok\n") == "ok\n") ok++;
      close(s);
    });
  }
  for (auto &t : clients) t.join();
  EXPECT_EQ(ok, 50);
  EXPECT_EQ(cfg.max_in_flight, 50);
  EXPECT_EQ(cfg.handler_threads.size(), 50u);
  // The host's handler never sees ACCEPT on a threaded listener.
  EXPECT_EQ(cfg.accepts, 0);
  EXPECT_TRUE(wait_for([&] { return cfg.closes == 50; }));
  EXPECT_EQ(host.shutdown(), 0);
  EXPECT_EQ(host.mgr()->num_children, 0);
}

TEST(NetCoreThreads, StopEndsConnectionThreadsPromptlyWithoutCloseEvents) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg, nullptr, true);
  ASSERT_NE(l, nullptr);
  host.start();
  std::vector<int> socks;
  for (int i = 0; i < 5; i++) {
    int s = client_connect(host.port_of(l));
    ASSERT_GE(s, 0);
    ASSERT_TRUE(client_send(s, "hi\n"));
    ASSERT_EQ(client_read_until(s, "hi\n"), "hi\n");
    socks.push_back(s);
  }
  ASSERT_TRUE(wait_for([&] { return host.mgr()->num_children == 5; }));
  // Threads that were still running after this wait would make the teardown
  // return 1.
  host.mgr()->teardown_wait_ms = 1500;
  EXPECT_EQ(host.shutdown(), 0);
  fprintf(stderr, "stop took %.3f s\n", host.stop_seconds());
  EXPECT_EQ(cfg.closes, 0);  // stopped threads deliver no CLOSE to the host
  for (int s : socks) {
    EXPECT_EQ(client_read_all(s), "");
    close(s);
  }
}

TEST(NetCoreThreads, TeardownWaitsForConnectionThreads) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg, nullptr, true);
  ASSERT_NE(l, nullptr);
  host.start();
  int s = client_connect(host.port_of(l));
  ASSERT_GE(s, 0);
  ASSERT_TRUE(client_send(s, "hold\n"));
  ASSERT_TRUE(wait_for([&] { return cfg.hold_entered.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(300ms);
    cfg.release_hold();
  });
  EXPECT_EQ(host.shutdown(), 0);
  // The teardown came back only after the handler on the thread was done.
  EXPECT_TRUE(cfg.hold_finished);
  EXPECT_EQ(host.mgr()->num_children, 0);
  releaser.join();
  close(s);
}

TEST(NetCoreThreads, TeardownGivesUpOnAThreadThatDoesNotEnd) {
  // The record must outlive the thread, so it is never freed here.
  static EngineHost *host = new EngineHost;
  static HostConfig *cfg = new HostConfig;
  nev_connection *l = host->listen(cfg, nullptr, true);
  ASSERT_NE(l, nullptr);
  host->start();
  int s = client_connect(host->port_of(l));
  ASSERT_GE(s, 0);
  ASSERT_TRUE(client_send(s, "hold\n"));
  ASSERT_TRUE(wait_for([&] { return cfg->hold_entered.load(); }));
  host->mgr()->teardown_wait_ms = 300;
  EXPECT_EQ(host->shutdown(), 1);
  EXPECT_NE(host->mgr()->lock, nullptr);  // kept for the running thread
  cfg->release_hold();
  EXPECT_TRUE(wait_for([&] { return __atomic_load_n(&host->mgr()->num_children, __ATOMIC_ACQUIRE) == 0; }));
  close(s);
}

TEST(NetCoreIo, IdleConnectionsBeyondSixtyFourDoNotStopAccepts) {
  std::string dir = make_temp_dir();
  std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  int status = -1;
  run_command(
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=idle "
      "-keyout " +
          key + " -out " + cert,
      &status);
  ASSERT_EQ(status, 0);

  EngineHost host;
  HostConfig plain_cfg, tls_cfg;
  nev_listen_options plain_opts{};
  plain_opts.idle_timeout_ms = 4000;
  nev_connection *plain = host.listen(&plain_cfg, &plain_opts);  // all in one manager
  nev_listen_options tls_opts{};
  tls_opts.tls_cert = cert.c_str();
  tls_opts.tls_key = key.c_str();
  tls_opts.handshake_timeout_ms = 4000;
  nev_connection *tls = host.listen(&tls_cfg, &tls_opts, true);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(tls, nullptr);
  int plain_port = host.port_of(plain), tls_port = host.port_of(tls);
  host.start();

  std::vector<int> idle;
  for (int i = 0; i < 70; i++) {
    int a = client_connect(plain_port);
    int b = client_connect(tls_port);  // never says hello
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    idle.push_back(a);
    idle.push_back(b);
  }
  ASSERT_TRUE(wait_for([&] { return plain_cfg.accepts == 70; }));

  int s = client_connect(plain_port);
  ASSERT_GE(s, 0);
  ASSERT_TRUE(client_send(s, "still served\nbye\n"));
  EXPECT_EQ(client_read_all(s), "still served\nbye\n");
  close(s);
  std::string out =
      run_command("printf 'tls served\\nbye\\n' | timeout 10 openssl s_client -quiet -connect 127.0.0.1:" +
                  std::to_string(tls_port));
  EXPECT_NE(out.find("tls served\nbye\n"), std::string::npos) << out;
  int still_open = 0;
  for (int fd : idle) still_open += peek_peer(fd) == peer_state::open;
  EXPECT_EQ(still_open, 140);

  // The time-outs close every idle one.
  EXPECT_TRUE(wait_for(
      [&] {
        for (int fd : idle)
          if (peek_peer(fd) != peer_state::closed) return false;
        return true;
      },
      15s));
  for (int fd : idle) close(fd);
  EXPECT_TRUE(wait_for([&] { return plain_cfg.closes == 71; }));
  EXPECT_EQ(tls_cfg.accepts, 0);  // threaded: the host never sees ACCEPT
  EXPECT_EQ(host.shutdown(), 0);
  run_command("rm -rf " + dir);
}

TEST(NetCoreIo, DialledConnectionExchangesBytes) {
  EngineHost host;
  HostConfig server_cfg, dial_cfg;
  nev_connection *l = host.listen(&server_cfg);
  ASSERT_NE(l, nullptr);
  std::string address = "127.0.0.1:" + std::to_string(host.port_of(l));
  nev_dial_options opts{};
  opts.user_data = &dial_cfg;
  nev_connection *c = nev_dial_with_options(host.mgr(), address.c_str(), echo_handler, &opts);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->flags & NEV_CONN_CONNECTING);
  const char *error = nullptr;
  opts.error_text = &error;
  EXPECT_EQ(nev_dial_with_options(host.mgr(), "localhost:80", echo_handler, &opts), nullptr);
  EXPECT_STREQ(error, "cannot parse address");
  host.start();
  EXPECT_TRUE(wait_for([&] { return dial_cfg.closes == 1; }));
  EXPECT_EQ(dial_cfg.connects, 1);
  EXPECT_EQ(dial_cfg.connect_error, 0);
  host.run_on_poller([&] { EXPECT_EQ(dial_cfg.dial_reply, "dialled\nbye\n"); });

  // A refused connect reports its error, then closes.
  HostConfig refused_cfg;
  host.run_on_poller([&] {
    nev_dial_options o{};
    o.user_data = &refused_cfg;
    int port = host.port_of(l);
    int closed_port = port == 65534 ? port - 1 : port + 1;  // most likely nobody listens there
    std::string to = "127.0.0.1:" + std::to_string(closed_port);
    EXPECT_NE(nev_dial_with_options(host.mgr(), to.c_str(), echo_handler, &o), nullptr);
  });
  EXPECT_TRUE(wait_for([&] { return refused_cfg.closes == 1; }));
  EXPECT_EQ(refused_cfg.connects, 1);
  EXPECT_NE(refused_cfg.connect_error, 0);
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreIo, CloseOfAFullUndrainedBufferIsDeferredOnceThenDone) {
  EngineHost host;
  HostConfig cfg;
  cfg.drain = false;
  nev_listen_options opts{};
  opts.recv_limit = 16;
  nev_connection *l = host.listen(&cfg, &opts);
  ASSERT_NE(l, nullptr);
  host.start();
  int s = client_connect(host.port_of(l));
  ASSERT_GE(s, 0);
  ASSERT_TRUE(client_send(s, std::string(200, 'x')));
  ASSERT_TRUE(wait_for([&] { return cfg.last_accepted.load() != nullptr; }));
  nev_connection *conn = cfg.last_accepted;
  bool deferred = false;
  ASSERT_TRUE(wait_for([&] { return nev_recv_room(conn, 1) == 0; }));
  host.run_on_poller([&] {
    EXPECT_EQ(conn->recv_buf.len, 16u);  // the limit holds
    nev_connection_close(conn);
    deferred = cfg.closes == 0 && (conn->flags & NEV_CONN_CLOSE_RETRY);
  });
  EXPECT_TRUE(deferred);
  EXPECT_TRUE(wait_for([&] { return cfg.closes == 1; }));
  EXPECT_EQ(client_read_all(s), "");
  close(s);
  EXPECT_EQ(host.shutdown(), 0);
}

}  // namespace

// Another thread (a broker taking over a client id, a keep-alive reaper) asks
// a connection living on its own thread to close: the owner closes it at its
// next step, with its close event, and the peer sees the end at once.
TEST(NetCoreThreads, CloseRequestedFromAnotherThreadEndsTheConnection) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg, nullptr, /*threaded=*/true);
  ASSERT_NE(l, nullptr);
  host.start();
  int s = client_connect(host.port_of(l));
  ASSERT_GE(s, 0);
  ASSERT_TRUE(client_send(s, "ping\n"));
  EXPECT_EQ(client_read_until(s, "ping\n"), "ping\n");
  nev_connection *conn = cfg.last_received.load();
  ASSERT_NE(conn, nullptr);
  nev_connection_request_close(conn);
  EXPECT_EQ(client_read_all(s), "");
  EXPECT_TRUE(wait_for([&] { return cfg.closes == 1; }));
  close(s);
  EXPECT_EQ(host.shutdown(), 0);
}
