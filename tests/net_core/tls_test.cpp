// TLS listeners checked with openssl s_client, and the engine's own TLS dial.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "test_host.h"

namespace {

using namespace std::chrono_literals;

// The system configuration may raise the protocol floor on its own; with an
// empty one, what refuses old protocols is the engine.
const bool empty_openssl_config = [] {
  const char *path = "/tmp/net_core_empty_openssl.cnf";
  std::ofstream(path, std::ios::app).flush();
  setenv("OPENSSL_CONF", path, 1);
  return true;
}();

struct Certs {
  std::string dir, cert, key, other_key, combined, ca, ca_key, client_cert, client_key, garbage;
};

const Certs &certs() {
  static Certs c = [] {
    Certs c;
    c.dir = make_temp_dir();
    auto path = [&](const char *name) { return c.dir + "/" + name; };
    c.cert = path("cert.pem");
    c.key = path("key.pem");
    c.other_key = path("other_key.pem");
    c.combined = path("combined.pem");
    c.ca = path("ca.pem");
    c.ca_key = path("ca_key.pem");
    c.client_cert = path("client.pem");
    c.client_key = path("client_key.pem");
    c.garbage = path("garbage.pem");
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    std::string script =
        "set -e; cd " + c.dir +
        "; "
        "openssl req -x509 " +
        ec +
        "-days 2 -subj /CN=server -keyout key.pem -out cert.pem; "
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out other_key.pem; "
        "openssl req -x509 " +
        ec +
        "-days 2 -subj /CN=TestCA -keyout ca_key.pem -out ca.pem; "
        "openssl req " +
        ec +
        "-subj /CN=client -keyout client_key.pem -out client.csr; "
        "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca_key.pem -CAcreateserial -days 2 -out client.pem; "
        "openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out dh.pem; "
        "cat cert.pem key.pem dh.pem > combined.pem; "
        "echo 'not a certificate' > garbage.pem";
    int status = -1;
    std::string out = run_command("sh -c '" + script + "'", &status);
    if (status != 0) fprintf(stderr, "certificate setup failed: %s\n", out.c_str());
    return c;
  }();
  return c;
}

// Sends two lines through s_client; the server echoes them and closes.
std::string s_client(int port, const std::string &extra, int *status = nullptr) {
  return run_command("printf 'hello\\nbye\\n' | timeout 10 openssl s_client -quiet -connect 127.0.0.1:" +
                         std::to_string(port) + " " + extra,
                     status);
}

bool echoed(const std::string &out) { return out.find("hello\nbye\n") != std::string::npos; }

nev_listen_options server_options(const char *ca = nullptr) {
  nev_listen_options o{};
  o.tls_cert = certs().cert.c_str();
  o.tls_key = certs().key.c_str();
  o.tls_ca = ca;
  return o;
}

TEST(NetCoreTls, ProtocolVersions) {
  EngineHost host;
  HostConfig cfg;
  nev_listen_options opts = server_options();
  nev_connection *l = host.listen(&cfg, &opts, true);
  ASSERT_NE(l, nullptr);
  EXPECT_TRUE(l->flags & NEV_CONN_TLS);
  int port = host.port_of(l);
  host.start();

  std::string out = s_client(port, "-tls1_2");
  EXPECT_TRUE(echoed(out)) << out;
  out = s_client(port, "-tls1_3");
  EXPECT_TRUE(echoed(out)) << out;
  int status = 0;
  out = s_client(port, "-tls1 -cipher DEFAULT@SECLEVEL=0", &status);
  EXPECT_FALSE(echoed(out)) << out;
  EXPECT_NE(status, 0);
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreTls, SetupErrorsNameTheBadFile) {
  const Certs &c = certs();
  struct Case {
    const char *cert, *key, *ca, *ciphers, *error;
  } cases[] = {
      {c.garbage.c_str(), c.key.c_str(), nullptr, nullptr, "Invalid SSL cert"},
      {"/nonexistent/cert.pem", nullptr, nullptr, nullptr, "Invalid SSL cert"},
      {c.cert.c_str(), c.garbage.c_str(), nullptr, nullptr, "Invalid SSL key"},
      {c.cert.c_str(), c.other_key.c_str(), nullptr, nullptr, "Invalid SSL key"},
      {c.cert.c_str(), nullptr, nullptr, nullptr, "Invalid SSL key"},  // no key in the file
      {c.cert.c_str(), c.key.c_str(), "/nonexistent/ca.pem", nullptr, "Invalid SSL CA cert"},
      {c.cert.c_str(), c.key.c_str(), nullptr, "NO-SUCH-CIPHER", "Invalid cipher suite list"},
  };
  EngineHost host;
  HostConfig cfg;
  for (const Case &k : cases) {
    nev_listen_options o{};
    o.tls_cert = k.cert;
    o.tls_key = k.key;
    o.tls_ca = k.ca;
    o.tls_ciphers = k.ciphers;
    const char *error = nullptr;
    EXPECT_EQ(host.listen(&cfg, &o, false, &error), nullptr) << k.error;
    EXPECT_STREQ(error, k.error);
  }
  struct PskCase {
    const char *identity, *key;
  } bad_psk[] = {
      {"id", "0123456789abcdef0123456789abcde"},      // 31 digits
      {"id", "0123456789abcdef0123456789abcdef0"},    // 33 digits
      {"id", "0123456789abcdef0123456789abcdeg"},     // not hexadecimal
      {nullptr, "0123456789abcdef0123456789abcdef"},  // key without identity
  };
  for (const PskCase &k : bad_psk) {
    nev_dial_options o{};
    o.tls_psk_identity = k.identity;
    o.tls_psk_key = k.key;
    o.tls_ca = k.identity == nullptr ? "*" : nullptr;
    const char *error = nullptr;
    o.error_text = &error;
    EXPECT_EQ(nev_dial_with_options(host.mgr(), "127.0.0.1:9", echo_handler, &o), nullptr) << k.key;
    EXPECT_STREQ(error, "Invalid PSK settings");
  }
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreTls, CaFileMakesClientCertificatesRequired) {
  const Certs &c = certs();
  EngineHost host;
  HostConfig cfg;
  nev_listen_options opts = server_options(c.ca.c_str());
  nev_connection *l = host.listen(&cfg, &opts, true);
  ASSERT_NE(l, nullptr);
  int port = host.port_of(l);
  host.start();
  std::string out = s_client(port, "-tls1_2");
  EXPECT_FALSE(echoed(out)) << out;
  out = s_client(port, "-tls1_3");
  EXPECT_FALSE(echoed(out)) << out;
  out = s_client(port, "-cert " + c.client_cert + " -key " + c.client_key);
  EXPECT_TRUE(echoed(out)) << out;
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreTls, CertificateFileWithKeyAndDhParameters) {
  EngineHost host;
  HostConfig cfg;
  nev_listen_options o{};
  o.tls_cert = certs().combined.c_str();
  nev_connection *l = host.listen(&cfg, &o);
  ASSERT_NE(l, nullptr);
  host.start();
  std::string out = s_client(host.port_of(l), "-tls1_2");
  EXPECT_TRUE(echoed(out)) << out;
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreTls, EngineDialsATlsListener) {
  EngineHost host;
  HostConfig server_cfg, dial_cfg;
  nev_listen_options opts = server_options();
  nev_connection *l = host.listen(&server_cfg, &opts, true);
  ASSERT_NE(l, nullptr);
  std::string address = "127.0.0.1:" + std::to_string(host.port_of(l));
  nev_dial_options d{};
  d.user_data = &dial_cfg;
  d.tls_ca = "*";  // no verification
  nev_connection *c = nev_dial_with_options(host.mgr(), address.c_str(), echo_handler, &d);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->flags & NEV_CONN_TLS);
  host.start();
  auto end = std::chrono::steady_clock::now() + 10s;
  while (dial_cfg.closes == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(dial_cfg.connects, 1);
  EXPECT_EQ(dial_cfg.connect_error, 0);
  host.run_on_poller([&] { EXPECT_EQ(dial_cfg.dial_reply, "dialled\nbye\n"); });
  EXPECT_EQ(host.shutdown(), 0);
}

// A plain dial switched to TLS from its CONNECT event: the flag set by
// nev_dial_tls inside the handler must survive the handler, or the bytes go
// out in plain text and the TLS listener drops them.
void upgrade_on_connect(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  auto *cfg = static_cast<HostConfig *>(conn->user_data);
  if (event == NEV_EVENT_CONNECT && *static_cast<int *>(data) == 0 && !(conn->flags & NEV_CONN_TLS)) {
    const char *error = nev_dial_tls(conn, nullptr, "*");
    EXPECT_EQ(error, nullptr) << error;
    return;
  }
  if (event == NEV_EVENT_CONNECT) {
    EXPECT_TRUE(conn->flags & NEV_CONN_TLS_READY);
  }
  echo_handler(conn, event, data, unlock);
  if (event == NEV_EVENT_CLOSE) cfg->dial_tls_kept = (conn->flags & NEV_CONN_TLS) != 0;
}

TEST(NetCoreTls, DialSwitchedToTlsFromItsConnectEvent) {
  EngineHost host;
  HostConfig server_cfg, dial_cfg;
  nev_listen_options opts = server_options();
  nev_connection *l = host.listen(&server_cfg, &opts, true);
  ASSERT_NE(l, nullptr);
  std::string address = "127.0.0.1:" + std::to_string(host.port_of(l));
  nev_dial_options d{};
  d.user_data = &dial_cfg;
  nev_connection *c = nev_dial_with_options(host.mgr(), address.c_str(), upgrade_on_connect, &d);
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(c->flags & NEV_CONN_TLS);
  host.start();
  auto end = std::chrono::steady_clock::now() + 10s;
  while (dial_cfg.closes == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(dial_cfg.connects, 1);  // the one after the handshake
  EXPECT_EQ(dial_cfg.connect_error, 0);
  host.run_on_poller([&] {
    EXPECT_EQ(dial_cfg.dial_reply, "dialled\nbye\n");
    EXPECT_TRUE(dial_cfg.dial_tls_kept);
  });
  EXPECT_EQ(host.shutdown(), 0);
}

// A handler that clears the TLS flag of a TLS connection: the change must not
// stick, or the echo goes out in clear and the peer's TLS layer rejects it.
std::atomic<int> tls_flag_after_clear{-1};

void clear_tls_then_echo(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  if (event == NEV_EVENT_RECV) conn->flags &= ~NEV_CONN_TLS;
  echo_handler(conn, event, data, unlock);
}

void note_tls_flag(nev_connection *conn, int event, void *data, nev_unlock_fn unlock) {
  clear_tls_then_echo(conn, event, data, unlock);
  if (event == NEV_EVENT_CLOSE) tls_flag_after_clear = (conn->flags & NEV_CONN_TLS) ? 1 : 0;
}

TEST(NetCoreTls, AHandlerCannotSwitchTlsOff) {
  EngineHost host;
  HostConfig cfg;
  nev_listen_options opts = server_options();
  nev_connection *l = host.listen(&cfg, &opts, true);
  ASSERT_NE(l, nullptr);
  l->saved_handler = note_tls_flag;  // the handler of its accepted connections
  host.start();
  std::string out = s_client(host.port_of(l), "-tls1_3");
  EXPECT_TRUE(echoed(out)) << out;
  ASSERT_TRUE(wait_for([] { return tls_flag_after_clear >= 0; }));
  EXPECT_EQ(tls_flag_after_clear, 1);
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetCoreTls, StartStopAndStartAgainInOneProcess) {
  for (int round = 0; round < 2; round++) {
    EngineHost host;
    HostConfig cfg;
    nev_listen_options opts = server_options();
    nev_connection *l = host.listen(&cfg, &opts, true);
    ASSERT_NE(l, nullptr);
    host.start();
    std::string out = s_client(host.port_of(l), "-tls1_3");
    EXPECT_TRUE(echoed(out)) << "round " << round << ": " << out;
    EXPECT_EQ(host.shutdown(), 0);
    nev_tls_close_locks();  // what the plug-in does at the end of its stop
  }
}

}  // namespace
