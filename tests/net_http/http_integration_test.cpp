// A manager serving a temporary document root, driven by real peers: curl,
// raw sockets and the python websockets client.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "test_common.h"
#include "nev_client.h"
#include "nev_digest.h"

namespace fs = std::filesystem;

// Under the address sanitizer freed memory is held back (256 MB by default)
// and counts as resident: kept small, the memory tests see what is in use.
// The runtime finds this only when it is exported (see CMakeLists.txt).
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
  return "quarantine_size_mb=1:thread_local_quarantine_size_kb=64";
}

namespace {

// ---- Peers ----

std::string run(const std::string &command) { return testcommon::run_command(command + " 2>&1").output; }

class raw_client {
 public:
  explicit raw_client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  ~raw_client() { ::close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += size_t(n);
    }
  }
  // Reads until `want` bytes arrived, the peer closed, or nothing came for quiet_ms.
  std::string read(size_t want = SIZE_MAX, int quiet_ms = 3000) {
    std::string out;
    while (out.size() < want) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, quiet_ms) <= 0) break;
      char buf[65536];
      ssize_t n = recv(fd_, buf, std::min(sizeof buf, want - out.size()), 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, size_t(n));
    }
    return out;
  }
  // True when the peer closes within timeout_ms (bytes before the close are discarded).
  bool wait_closed(int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!closed_ && std::chrono::steady_clock::now() < end) read(SIZE_MAX, 200);
    return closed_;
  }
  bool closed() const { return closed_; }
  void mark_closed() { closed_ = true; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

using response = testcommon::http_reply;
// Splits the first response off `stream` (Content-Length bodies only).
constexpr auto take_response = testcommon::take_http_reply;

std::string header_of(const std::string &head, const std::string &name) {
  response r;
  r.head = head;
  return r.header(name);
}

// Sends `request` and reads until one whole response is there (or 10 s
// passed, or the peer closed); `rest` receives what came after it.
response ask_whole(raw_client &c, const std::string &request, std::string *rest = nullptr) {
  c.send(request);
  std::string stream;
  response r =
      testcommon::read_http_reply(c.fd(), std::chrono::seconds(10), testcommon::http_reply_end::length, &stream);
  if (r.peer_closed) c.mark_closed();
  EXPECT_TRUE(r.whole) << r.head << r.body;
  if (rest) *rest = stream;
  return r;
}

std::string md5hex(const std::string &s) {
  char out[33];
  nev_md5_hex(out, s.data(), s.size(), nullptr);
  return out;
}

void write_file(const fs::path &p, const std::string &text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::string pattern_bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 253) % 26);
  return s;
}

// ---- Fixture: one tree, a few servers over it ----

class HttpServe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/nev_http_it_XXXXXX";
    base_ = new fs::path(mkdtemp(tmpl));
    const fs::path root = *base_ / "root";
    write_file(root / "small.txt", "0123456789");
    write_file(root / "big.bin", pattern_bytes(1 << 20));
    write_file(root / "dir" / "index.html", "<p>index</p>");
    write_file(root / "listing" / "a.txt", "a");
    fs::create_directories(root / "listing" / "sub");
    write_file(root / "esc<b>" / "x.txt", "x");
    // Two users whose names differ only in case.
    write_file(root / "private" / ".htpasswd",
               "alice:R:" + md5hex("alice:R:pw") + "\nAlice:R:" + md5hex("Alice:R:other") + "\n");
    write_file(root / "medium.bin", pattern_bytes(8000));
    write_file(root / "private" / "data.txt", "behind digest");
    write_file(root / "secretdir" / "in.txt", "hidden by pattern");
    write_file(root / "script.cgi", "#!/bin/sh\necho SECRET SOURCE\n");
    write_file(root / "page.shtml", "<!--#include file=\"x\" --> SSI SOURCE");
    write_file(root / "page.html.gz", "not really gzip");
    write_file(*base_ / "outside.txt", "TOPSECRET");
    root_ = new std::string(root.string());

    test_http_server::settings s;
    s.options.document_root = root_->c_str();
    s.options.auth_domain = "R";
    s.options.hidden_pattern = "secret*";
    s.options.extra_headers = "";  // configured as an empty list
    server_ = new test_http_server(s);

    const std::string cert = (*base_ / "cert.pem").string(), key = (*base_ / "key.pem").string();
    run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert + " -days 1 -subj /CN=127.0.0.1");
    test_http_server::settings tls = s;
    tls.tls_cert = cert;
    tls.tls_key = key;
    tls_server_ = new test_http_server(tls);

    test_http_server::settings strict = s;
    strict.limits.max_head = 1024;
    strict.limits.max_body = 1000;
    strict.limits.max_ws_message = 1000;
    strict.limits.idle_timeout = 1;
    strict.limits.head_timeout = 1;
    strict_server_ = new test_http_server(strict);

    test_http_server::settings global = s;
    global.options.global_auth_file = "/nonexistent/global.htdigest";
    global_server_ = new test_http_server(global);
  }

  static void TearDownTestSuite() {
    delete server_;
    delete tls_server_;
    delete strict_server_;
    delete global_server_;
    fs::remove_all(*base_);
    delete base_;
    delete root_;
  }

  static std::string url(const std::string &path, test_http_server *srv = nullptr) {
    return "http://127.0.0.1:" + std::to_string((srv ? srv : server_)->port()) + path;
  }
  // curl's status line and headers, then the body.
  static std::string curl(const std::string &args) { return run("curl -s -S -i --max-time 10 " + args); }

  static fs::path *base_;
  static std::string *root_;
  static test_http_server *server_, *tls_server_, *strict_server_, *global_server_;
};

fs::path *HttpServe::base_;
std::string *HttpServe::root_;
test_http_server *HttpServe::server_, *HttpServe::tls_server_, *HttpServe::strict_server_, *HttpServe::global_server_;

TEST_F(HttpServe, CurlServesFilesHeadConditionalOptionsAndRefusesWrites) {
  ASSERT_TRUE(server_->ok());
  std::string out = curl(url("/small.txt"));
  EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("Content-Type: text/plain"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 10), "0123456789");

  out = curl("-I " + url("/small.txt"));
  EXPECT_NE(out.find("Content-Length: 10"), std::string::npos) << out;
  EXPECT_EQ(out.find("0123456789"), std::string::npos);
  const std::string etag = header_of(out, "Etag");
  ASSERT_FALSE(etag.empty());

  std::string upper = etag;
  for (char &c : upper) c = char(toupper(c));
  out = curl("-H 'If-None-Match: " + upper + "' " + url("/small.txt"));
  EXPECT_NE(out.find("HTTP/1.1 304"), std::string::npos) << out;
  EXPECT_EQ(out.find("0123456789"), std::string::npos);

  out = curl("-X OPTIONS " + url("/small.txt"));
  EXPECT_NE(out.find("HTTP/1.1 200"), std::string::npos) << out;
  EXPECT_NE(out.find("Allow: GET, POST, HEAD, OPTIONS"), std::string::npos);

  for (const char *method : {"PUT", "DELETE", "MKCOL"}) {
    out = curl(std::string("-X ") + method + " --data-binary x " + url("/small.txt"));
    EXPECT_NE(out.find("HTTP/1.1 405"), std::string::npos) << method << out;
    EXPECT_NE(out.find("Allow: GET, POST, HEAD, OPTIONS"), std::string::npos) << method;
  }
  out = curl("-X PUT --data-binary x " + url("/new.txt"));
  EXPECT_NE(out.find("HTTP/1.1 405"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(fs::path(*root_) / "new.txt"));

  out = curl(url("/dir"));
  EXPECT_NE(out.find("HTTP/1.1 301"), std::string::npos) << out;
  EXPECT_NE(out.find("Location: /dir/"), std::string::npos);
  out = curl(url("/dir/"));
  EXPECT_NE(out.find("<p>index</p>"), std::string::npos) << out;

  out = curl(url("/page.html.gz"));
  EXPECT_NE(out.find("Content-Type: text/html"), std::string::npos) << out;
  EXPECT_NE(out.find("Content-Encoding: gzip"), std::string::npos);
}

TEST_F(HttpServe, CurlRanges) {
  struct row {
    const char *range;
    const char *status;
    const char *content_range;
    const char *body;
  } rows[] = {
      {"0-0", "HTTP/1.1 206", "bytes 0-0/10", "0"},       {"5-", "HTTP/1.1 206", "bytes 5-9/10", "56789"},
      {"5-100", "HTTP/1.1 206", "bytes 5-9/10", "56789"},  // last byte clamped
      {"10-20", "HTTP/1.1 416", "bytes */10", ""},        {"-0", "HTTP/1.1 416", "bytes */10", ""},  // an empty suffix
  };
  for (const row &r : rows) {
    const std::string out = curl(std::string("-r ") + r.range + " " + url("/small.txt"));
    EXPECT_NE(out.find(r.status), std::string::npos) << r.range << out;
    EXPECT_EQ(header_of(out, "Content-Range"), r.content_range) << r.range;
    EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), r.body) << r.range;
  }
}

TEST_F(HttpServe, NothingOutsideTheRootWhateverTheEncoding) {
  const char *paths[] = {
      "/../outside.txt",
      "/../../outside.txt",
      "/%2e%2e/outside.txt",
      "/%2E%2E/%2e%2e/outside.txt",
      "/..%2foutside.txt",
      "/..%5coutside.txt",
      "/..\\outside.txt",
      "/%c0%ae%c0%ae/outside.txt",
      "/%c0%ae%c0%ae%c0%afoutside.txt",
      "/dir/../../outside.txt",
      "/dir/%2e%2e/%2e%2e/outside.txt",
      "/%2e%2e%2foutside.txt",
  };
  for (const char *p : paths) {
    const std::string out = curl("--path-as-is '" + url(p) + "'");
    EXPECT_EQ(out.find("TOPSECRET"), std::string::npos) << p;
    EXPECT_EQ(out.find("HTTP/1.1 200"), std::string::npos) << p << out;
  }
}

TEST_F(HttpServe, HiddenPasswordCgiAndSsiFilesAreNeverServed) {
  struct row {
    const char *path;
    const char *status;
    const char *never;
  } rows[] = {
      {"/private/.htpasswd", "HTTP/1.1 404", "alice"},
      {"/secretdir/in.txt", "HTTP/1.1 404", "hidden by pattern"},
      // The script runs (and writes no head), the page is processed.
      {"/script.cgi", "HTTP/1.1 500", "SECRET SOURCE"},
      {"/page.shtml", "HTTP/1.1 200", "<!--#include"},
  };
  for (const row &r : rows) {
    const std::string out = curl(url(r.path));
    EXPECT_NE(out.find(r.status), std::string::npos) << r.path << out;
    EXPECT_EQ(out.find(r.never), std::string::npos) << r.path;
  }
  const std::string listing = curl(url("/private/") + " --digest -u alice:pw");
  EXPECT_EQ(listing.find(".htpasswd"), std::string::npos) << listing;
}

TEST_F(HttpServe, CurlDigest) {
  std::string out = curl(url("/private/data.txt"));
  EXPECT_NE(out.find("HTTP/1.1 401"), std::string::npos) << out;
  EXPECT_NE(out.find("WWW-Authenticate: Digest qop=\"auth\", realm=\"R\""), std::string::npos);
  out = curl("--digest -u alice:pw " + url("/private/data.txt?x=1"));
  EXPECT_NE(out.find("behind digest"), std::string::npos) << out;
  // User names compare with case: "Alice" is a user of her own.
  out = curl("--digest -u Alice:other " + url("/private/data.txt"));
  EXPECT_NE(out.find("behind digest"), std::string::npos) << out;
  out = curl("--digest -u Alice:pw " + url("/private/data.txt"));
  EXPECT_EQ(out.find("behind digest"), std::string::npos) << out;
  out = curl("--digest -u alice:wrong " + url("/private/data.txt"));
  EXPECT_EQ(out.find("behind digest"), std::string::npos) << out;
  EXPECT_NE(out.find("HTTP/1.1 401"), std::string::npos);
  // Unprotected directories need no credentials.
  EXPECT_NE(curl(url("/small.txt")).find("HTTP/1.1 200"), std::string::npos);
  // A configured global password file that cannot be read closes the tree.
  out = curl(url("/small.txt", global_server_));
  EXPECT_NE(out.find("HTTP/1.1 401"), std::string::npos) << out;
  EXPECT_EQ(out.find("0123456789"), std::string::npos);
}

TEST_F(HttpServe, ListingsEscapeWhatTheyShow) {
  std::string out = curl(url("/listing/"));
  EXPECT_NE(out.find("HTTP/1.1 200"), std::string::npos) << out;
  EXPECT_NE(out.find("href=\"a.txt\""), std::string::npos) << out;
  EXPECT_NE(out.find("href=\"sub/\""), std::string::npos);
  EXPECT_NE(out.find("Nev/6.17"), std::string::npos);
  // The target as sent, "<" and ">" unencoded: the page shows it escaped.
  raw_client c(server_->port());
  c.send("GET /esc<b>/ HTTP/1.1\r\nHost: x\r\n\r\n");
  out = c.read(SIZE_MAX, 3000);
  EXPECT_NE(out.find("Index of /esc&lt;b&gt;/"), std::string::npos) << out;
  EXPECT_EQ(out.find("<b>"), std::string::npos);
}

TEST_F(HttpServe, Https) {
  ASSERT_TRUE(tls_server_->ok());
  const std::string out = curl("-k https://127.0.0.1:" + std::to_string(tls_server_->port()) + "/small.txt");
  EXPECT_NE(out.find("HTTP/1.1 200"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 10), "0123456789");
}

TEST_F(HttpServe, PipelinedRequestsWaitForTheFileBeforeThem) {
  raw_client c(server_->port());
  const std::string get_small = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string get_big = "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
  c.send(get_small + get_small + get_big + get_small);
  const size_t heads_and_bodies_at_least = 3 * 10 + (1 << 20);
  std::string stream = c.read(SIZE_MAX, 2000);
  ASSERT_GT(stream.size(), heads_and_bodies_at_least);
  const std::string expected_big = pattern_bytes(1 << 20);
  const char *bodies[] = {"0123456789", "0123456789", nullptr, "0123456789"};
  for (const char *body : bodies) {
    response r;
    ASSERT_TRUE(take_response(stream, r));
    EXPECT_EQ(r.status, 200);
    if (body) {
      EXPECT_EQ(r.body, body);
    } else {
      EXPECT_TRUE(r.body == expected_big);
    }
  }
  EXPECT_TRUE(stream.empty());
  EXPECT_FALSE(c.closed());
}

TEST_F(HttpServe, ChunkedBodySplitAcrossReads) {
  raw_client c(server_->port());
  const std::string body = pattern_bytes(300);
  std::string wire = "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (size_t at = 0; at < body.size(); at += 70) {
    const std::string piece = body.substr(at, 70);
    char size_line[16];
    std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
    wire += size_line + piece + "\r\n";
  }
  wire += "0\r\n\r\n";
  // Pieces of 7 bytes with pauses: chunk lines and data are cut everywhere.
  for (size_t at = 0; at < wire.size(); at += 7) {
    c.send(wire.substr(at, 7));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  c.send("GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string stream = c.read(SIZE_MAX, 1500);
  response echo, next;
  ASSERT_TRUE(take_response(stream, echo)) << stream;
  EXPECT_EQ(echo.status, 200);
  EXPECT_TRUE(echo.body == body);
  ASSERT_TRUE(take_response(stream, next));
  EXPECT_EQ(next.body, "0123456789");
}

TEST_F(HttpServe, RequestWithoutLengthHasAnEmptyBodyAtOnce) {
  raw_client c(server_->port());
  c.send("POST /echo HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string stream = c.read(SIZE_MAX, 1500);
  response r;
  ASSERT_TRUE(take_response(stream, r)) << stream;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(header_of(r.head, "Content-Length"), "0");
  EXPECT_FALSE(c.closed());
}

TEST_F(HttpServe, BadFramingIsRefusedAndClosed) {
  struct row {
    const char *what;
    std::string request;
    int status;
    bool strict;
  } rows[] = {
      {"length and chunked",
       "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400,
       false},
      {"duplicated length", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nab", 400,
       false},
      {"negative length", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n", 400, false},
      {"length list", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1,1\r\n\r\na", 400, false},
      {"unknown coding", "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", 501, false},
      {"obs-fold", "GET / HTTP/1.1\r\nHost: x\r\nX-A: 1\r\n  2\r\n\r\n", 400, false},
      {"blank before colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400, false},
      {"too many headers",
       "GET / HTTP/1.1\r\nHost: x\r\n" +
           [] {
             std::string h;
             for (int i = 0; i < 45; ++i) h += "X-" + std::to_string(i) + ": v\r\n";
             return h;
           }() +
           "\r\n",
       431, false},
      {"malformed chunk", "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400, false},
      {"seven-digit chunk", "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1000000\r\n", 400,
       false},
      {"head too long", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(2000, 'a') + "\r\n\r\n", 431, true},
      {"body too long", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n", 413, true},
      {"chunked body too long",
       "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3E8\r\n" + std::string(1000, 'x') +
           "\r\n1\r\n",
       413, true},
  };
  for (const row &r : rows) {
    raw_client c((r.strict ? strict_server_ : server_)->port());
    c.send(r.request);
    std::string stream = c.read(SIZE_MAX, 3000);
    response resp;
    ASSERT_TRUE(take_response(stream, resp)) << r.what << ": " << stream;
    EXPECT_EQ(resp.status, r.status) << r.what;
    EXPECT_TRUE(c.wait_closed(3000)) << r.what;
  }
}

TEST_F(HttpServe, IdleKeepAliveConnectionIsClosed) {
  raw_client c(strict_server_->port());
  c.send("GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string stream = c.read(SIZE_MAX, 500);
  response r;
  ASSERT_TRUE(take_response(stream, r));
  EXPECT_TRUE(c.wait_closed(10000));
}

TEST_F(HttpServe, FileThatShrinksWhileSentEndsTheConnection) {
  const fs::path file = fs::path(*root_) / "shrinking.bin";
  { std::ofstream(file, std::ios::binary).close(); }
  fs::resize_file(file, 64u << 20);
  raw_client c(server_->port());
  c.send("GET /shrinking.bin HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string first = c.read(1000, 3000);
  ASSERT_FALSE(first.empty());
  fs::resize_file(file, 1u << 20);
  size_t total = first.size();
  while (!c.closed()) {
    const std::string more = c.read(SIZE_MAX, 5000);
    if (more.empty() && !c.closed()) break;
    total += more.size();
  }
  EXPECT_TRUE(c.closed());
  EXPECT_LT(total, size_t(64u << 20));
  fs::remove(file);
}

// A keep-alive connection asking for the same file again must see whatever
// happened to the path in between, exactly as a fresh connection would.
TEST_F(HttpServe, RepeatedRequestsOnOneConnectionSeeEveryChangeOfTheFile) {
  const fs::path file = fs::path(*root_) / "changing.txt";
  const std::string get = "GET /changing.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  raw_client c(server_->port());
  auto ask = [&c](const std::string &request) {
    std::string rest;
    response r = ask_whole(c, request, &rest);
    EXPECT_TRUE(rest.empty()) << rest;
    return r;
  };
  write_file(file, "first");
  EXPECT_EQ(ask(get).body, "first");
  EXPECT_EQ(ask(get).body, "first");

  const fs::path fresh = fs::path(*root_) / "changing.new";
  write_file(fresh, "renamed over");
  fs::rename(fresh, file);
  EXPECT_EQ(ask(get).body, "renamed over");

  const std::string rewritten = "rewritten in place, longer";
  write_file(file, rewritten);
  c.send("HEAD /changing.txt HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string head = c.read(SIZE_MAX, 200);
  EXPECT_EQ(header_of(head, "Content-Length"), std::to_string(rewritten.size())) << head;
  EXPECT_EQ(head.find("\r\n\r\n"), head.size() - 4);
  EXPECT_EQ(ask(get).body, rewritten);

  fs::remove(file);
  fs::create_directories(file);
  EXPECT_EQ(ask(get).status, 301);
  fs::remove(file);
  write_file(file, "back");
  EXPECT_EQ(ask(get).body, "back");
  EXPECT_EQ(ask("GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n").body, "0123456789");
  EXPECT_EQ(ask(get).body, "back");
  EXPECT_FALSE(c.closed());
  fs::remove(file);
  EXPECT_EQ(ask(get).status, 404);
  fs::remove(file);
}

// What a connection keeps of the files it served must give way, on the very
// next request, to any change of what the path names: through a symbolic
// link (the file behind it, or the link itself), through another name of the
// same file, or in a directory above it.
TEST_F(HttpServe, KeptFilesGiveWayToChangesThroughLinksOtherNamesAndDirectories) {
  const fs::path dir = fs::path(*root_) / "kept";
  write_file(dir / "target.txt", "one");
  write_file(dir / "other.txt", "other");
  fs::create_symlink("target.txt", dir / "link.txt");
  write_file(dir / "sub" / "f.txt", "sub one");
  fs::create_directory_symlink("sub", dir / "dirlink");
  write_file(dir / "hard.txt", "hard one");
  fs::create_hard_link(dir / "hard.txt", *base_ / "hard-elsewhere.txt");

  raw_client c(server_->port());
  // Each path asked twice before its change: the second answer comes from
  // what the connection kept.
  auto body_of = [&c](const std::string &uri) {
    return ask_whole(c, "GET " + uri + " HTTP/1.1\r\nHost: x\r\n\r\n").body;
  };
  auto twice = [&](const std::string &uri, const std::string &expected) {
    EXPECT_EQ(body_of(uri), expected) << uri;
    EXPECT_EQ(body_of(uri), expected) << uri;
  };
  struct change {
    const char *uri;
    const char *before;
    std::function<void()> make;
    const char *after;  // nullptr: 404
  };
  const change changes[] = {
      {"/kept/link.txt", "one", [&] { write_file(dir / "link.txt", "two"); }, "two"},
      {"/kept/link.txt", "two", [&] { write_file(dir / "target.txt", "tw0"); }, "tw0"},
      {"/kept/link.txt", "tw0",
       [&] {
         fs::create_symlink("other.txt", dir / "link.new");
         fs::rename(dir / "link.new", dir / "link.txt");
       },
       "other"},
      {"/kept/sub/f.txt", "sub one",
       [&] {
         write_file(dir / "sub.new" / "f.txt", "sub two");
         fs::rename(dir / "sub", dir / "sub.old");
         fs::rename(dir / "sub.new", dir / "sub");
       },
       "sub two"},
      {"/kept/dirlink/f.txt", "sub two",
       [&] {
         fs::create_directory_symlink("sub.old", dir / "dirlink.new");
         fs::rename(dir / "dirlink.new", dir / "dirlink");
       },
       "sub one"},
      {"/kept/hard.txt", "hard one", [&] { write_file(*base_ / "hard-elsewhere.txt", "hard two"); }, "hard two"},
      {"/kept/sub/f.txt", "sub two", [&] { fs::remove_all(dir / "sub"); }, nullptr},
  };
  for (const change &ch : changes) {
    twice(ch.uri, ch.before);
    ch.make();
    const response r = ask_whole(c, std::string("GET ") + ch.uri + " HTTP/1.1\r\nHost: x\r\n\r\n");
    if (ch.after) {
      EXPECT_EQ(r.body, ch.after) << ch.uri;
    } else {
      EXPECT_EQ(r.status, 404) << ch.uri;
    }
  }
  EXPECT_FALSE(c.closed());
  fs::remove_all(dir);
  fs::remove(*base_ / "hard-elsewhere.txt");
}

// A directory without a password file is open to every request; one made
// there, or renamed into place, protects it from the very next request of a
// keep-alive connection that found it missing before, and its removal opens
// the directory again.
TEST_F(HttpServe, APasswordFileProtectsItsDirectoryFromTheNextRequest) {
  const fs::path dir = fs::path(*root_) / "guarded";
  write_file(dir / "page.txt", "page");
  raw_client c(server_->port());
  auto status = [&c] { return ask_whole(c, "GET /guarded/page.txt HTTP/1.1\r\nHost: x\r\n\r\n").status; };
  const std::function<void()> arrivals[] = {
      [&] { write_file(dir / ".htpasswd", "alice:R:0\n"); },
      [&] {
        write_file(*base_ / "passwords.new", "alice:R:0\n");
        fs::rename(*base_ / "passwords.new", dir / ".htpasswd");
      },
  };
  for (const auto &arrive : arrivals) {
    EXPECT_EQ(status(), 200);
    EXPECT_EQ(status(), 200);
    arrive();
    EXPECT_EQ(status(), 401);
    fs::remove(dir / ".htpasswd");
    EXPECT_EQ(status(), 200);
  }
  EXPECT_FALSE(c.closed());
  fs::remove_all(dir);
}

// The same holds whatever way the name comes to lead to a password file: a
// hard link, a symbolic link, the directory or a directory above it replaced
// by one that has the file; on every keep-alive connection that found it
// missing, each answered on a thread of its own.
TEST_F(HttpServe, APasswordFileArrivingByAnyRouteProtectsEveryConnection) {
  const fs::path top = fs::path(*root_) / "arrivals";
  const fs::path dir = top / "in";
  write_file(dir / "page.txt", "page");
  write_file(*base_ / "arrivals-pw", "alice:R:0\n");
  // A tree like top/, but with its password file in place.
  auto guarded_copy = [&](const fs::path &at) {
    write_file(at / "in" / "page.txt", "page");
    write_file(at / "in" / ".htpasswd", "alice:R:0\n");
  };
  struct arrival {
    const char *how;
    std::function<void()> arrive;
    std::function<void()> undo;
  };
  const arrival arrivals[] = {
      {"hard link", [&] { fs::create_hard_link(*base_ / "arrivals-pw", dir / ".htpasswd"); },
       [&] { fs::remove(dir / ".htpasswd"); }},
      {"symbolic link", [&] { fs::create_symlink(*base_ / "arrivals-pw", dir / ".htpasswd"); },
       [&] { fs::remove(dir / ".htpasswd"); }},
      {"directory replaced",
       [&] {
         guarded_copy(*base_ / "arrivals-new");
         fs::rename(dir, *base_ / "arrivals-old");
         fs::rename(*base_ / "arrivals-new" / "in", dir);
       },
       [&] {
         fs::remove_all(dir);
         fs::rename(*base_ / "arrivals-old", dir);
         fs::remove_all(*base_ / "arrivals-new");
       }},
      {"parent replaced",
       [&] {
         guarded_copy(*base_ / "arrivals-new");
         fs::rename(top, *base_ / "arrivals-old");
         fs::rename(*base_ / "arrivals-new", top);
       },
       [&] {
         fs::remove_all(top);
         fs::rename(*base_ / "arrivals-old", top);
       }},
  };
  std::vector<std::unique_ptr<raw_client>> clients;
  for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<raw_client>(server_->port()));
  auto status = [](raw_client &c) { return ask_whole(c, "GET /arrivals/in/page.txt HTTP/1.1\r\nHost: x\r\n\r\n").status; };
  for (const arrival &a : arrivals) {
    for (auto &c : clients) {
      EXPECT_EQ(status(*c), 200) << a.how;
      EXPECT_EQ(status(*c), 200) << a.how;
    }
    a.arrive();
    for (auto &c : clients) EXPECT_EQ(status(*c), 401) << a.how;
    a.undo();
    for (auto &c : clients) EXPECT_EQ(status(*c), 200) << a.how;
  }
  for (auto &c : clients) EXPECT_FALSE(c->closed());
  fs::remove_all(top);
  fs::remove(*base_ / "arrivals-pw");
}

// Many connections keeping many files, in several directories: a change of
// one file shows at once, and the others are still served as they are.
TEST_F(HttpServe, ManyKeptFilesEachShowTheirOwnChange) {
  const fs::path dir = fs::path(*root_) / "many";
  constexpr int kFiles = 240, kConnections = 8;
  auto name_of = [](int i) { return "d" + std::to_string(i % 6) + "/f" + std::to_string(i) + ".txt"; };
  for (int i = 0; i < kFiles; i++) write_file(dir / name_of(i), "v1 " + std::to_string(i));
  std::vector<std::unique_ptr<raw_client>> clients;
  for (int k = 0; k < kConnections; k++) clients.push_back(std::make_unique<raw_client>(server_->port()));
  auto body_of = [&](int i) {
    raw_client &c = *clients[size_t(i % kConnections)];
    return ask_whole(c, "GET /many/" + name_of(i) + " HTTP/1.1\r\nHost: x\r\n\r\n").body;
  };
  for (int i = 0; i < kFiles; i++) {
    ASSERT_EQ(body_of(i), "v1 " + std::to_string(i));
    ASSERT_EQ(body_of(i), "v1 " + std::to_string(i));
  }
  // Every seventh file is replaced (another file renamed over it); each is
  // asked right after its change, and again with its neighbours.
  for (int i = 0; i < kFiles; i += 7) {
    body_of(i);
    body_of(i);
    write_file(dir / "next.tmp", "second " + std::to_string(i));
    fs::rename(dir / "next.tmp", dir / name_of(i));
    ASSERT_EQ(body_of(i), "second " + std::to_string(i));
  }
  for (int i = 0; i < kFiles; i++) EXPECT_EQ(body_of(i), (i % 7 ? "v1 " : "second ") + std::to_string(i)) << i;
  for (auto &c : clients) EXPECT_FALSE(c->closed());
  fs::remove_all(dir);
}

// A small file whose status has not changed for a while is answered from
// bytes the connection keeps (also across a revalidation); a change in place
// that keeps the size, and a byte range of it, must still show the file as it
// is now.
TEST_F(HttpServe, KeptBytesOfAnUnchangedSmallFileGiveWayToAChangeInPlace) {
  const fs::path file = fs::path(*root_) / "settled.txt";
  write_file(file, "settled one");
  // Older than the time after which the bytes are kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  raw_client c(server_->port());
  auto ask = [&c](const std::string &request) { return ask_whole(c, request); };
  const std::string get = "GET /settled.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string tail = "GET /settled.txt HTTP/1.1\r\nHost: x\r\nRange: bytes=8-\r\n\r\n";
  const response first = ask(get);
  EXPECT_EQ(first.body, "settled one");
  EXPECT_EQ(ask(get).body, "settled one");
  const std::string etag = header_of(first.head, "Etag");
  EXPECT_EQ(ask("GET /settled.txt HTTP/1.1\r\nHost: x\r\nIf-None-Match: " + etag + "\r\n\r\n").status, 304);
  EXPECT_EQ(ask(tail).body, "one");
  write_file(file, "settled two");
  EXPECT_EQ(ask(tail).body, "two");
  EXPECT_EQ(ask(get).body, "settled two");
  EXPECT_FALSE(c.closed());
  fs::remove(file);
}

// ---- WebSocket ----

std::string ws_handshake(raw_client &c) {
  c.send(
      "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
      "Sec-WebSocket-Protocol: chat, superchat\r\n\r\n");
  std::string head = c.read(SIZE_MAX, 500);
  return head;
}

std::string masked_frame(int first_byte, const std::string &payload) {
  uint8_t head[14];
  const uint8_t mask[4] = {1, 2, 3, 4};
  const size_t n = nev_ws_build_head(head, 0, payload.size(), mask);
  head[0] = uint8_t(first_byte);
  std::string out(reinterpret_cast<char *>(head), n);
  std::string data = payload;
  nev_ws_apply_mask(reinterpret_cast<uint8_t *>(data.data()), data.size(), mask);
  return out + data;
}

TEST_F(HttpServe, WebSocketRawFramesLengthsAndViolations) {
  raw_client c(server_->port());
  const std::string head = ws_handshake(c);
  EXPECT_NE(head.find("HTTP/1.1 101"), std::string::npos) << head;
  EXPECT_NE(head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
  EXPECT_NE(head.find("Sec-WebSocket-Protocol: chat\r\n"), std::string::npos) << head;
  struct form {
    size_t length;
    std::string header;
  } forms[] = {{125, "\x82\x7d"},
               {126, std::string("\x82\x7e\x00\x7e", 4)},
               {65535, std::string("\x82\x7e\xff\xff", 4)},
               {65536, std::string("\x82\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10)}};
  for (const form &f : forms) {
    const std::string payload = pattern_bytes(f.length);
    c.send(masked_frame(0x82, payload));
    const std::string echo = c.read(f.header.size() + f.length, 3000);
    ASSERT_EQ(echo.size(), f.header.size() + f.length) << f.length;
    EXPECT_EQ(echo.substr(0, f.header.size()), f.header) << f.length;
    EXPECT_TRUE(echo.substr(f.header.size()) == payload) << f.length;
  }
  // A continuation without a started message closes with a protocol error.
  c.send(masked_frame(0x80, "orphan"));
  const std::string close = c.read(4, 3000);
  ASSERT_GE(close.size(), 4u);
  EXPECT_EQ(uint8_t(close[0]), 0x88);
  EXPECT_EQ(close.substr(2, 2), std::string("\x03\xea", 2));  // 1002
  EXPECT_TRUE(c.wait_closed(3000));

  const std::pair<std::string, std::string> violations[] = {
      {"control frame over 125", masked_frame(0x89, std::string(126, 'p'))},
      {"fragmented ping", masked_frame(0x09, "p")},
      {"first fragment inside a message", masked_frame(0x01, "a") + masked_frame(0x01, "b")},
  };
  for (const auto &v : violations) {
    raw_client d(server_->port());
    ws_handshake(d);
    d.send(v.second);
    const std::string reply = d.read(4, 3000);
    ASSERT_GE(reply.size(), 4u) << v.first;
    EXPECT_EQ(reply.substr(2, 2), std::string("\x03\xea", 2)) << v.first;
    EXPECT_TRUE(d.wait_closed(3000)) << v.first;
  }
  // A frame that comes in the same write as the upgrade request is delivered too.
  raw_client f(server_->port());
  f.send(
      "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" +
      masked_frame(0x81, "early"));
  const std::string early = f.read(SIZE_MAX, 1000);
  EXPECT_NE(early.find("HTTP/1.1 101"), std::string::npos) << early;
  EXPECT_EQ(early.substr(early.size() - 7),
            "\x81\x05"
            "early");

  raw_client e(strict_server_->port());
  ws_handshake(e);
  e.send(masked_frame(0x82, std::string(1001, 'x')));
  const std::string reply = e.read(4, 3000);
  ASSERT_GE(reply.size(), 4u);
  EXPECT_EQ(reply.substr(2, 2), std::string("\x03\xf1", 2));  // 1009
}

TEST_F(HttpServe, WebSocketPythonPeer) {
  const std::string script = std::string(NET_HTTP_TEST_DIR) + "/ws_peer.py";
  const std::string out = run("/usr/bin/python3 " + script + " " + std::to_string(server_->port()));
  EXPECT_NE(out.find("ALL OK"), std::string::npos) << out;
}

// ---- Conformance (RFC 9110/9112 and RFC 6455) ----

TEST_F(HttpServe, HeadsMethodsAndTargetsAreAnsweredAsTheRfcsSay) {
  const std::string next = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  struct row {
    const char *what;
    std::string request;
    int status;
    const char *header;  // "Name: value" the reply carries; "" none checked
    bool stays_open;     // the pipelined GET behind it is served
  } rows[] = {
      {"HTTP/2.0", "GET /small.txt HTTP/2.0\r\nHost: x\r\n\r\n", 505, "", false},
      {"HTTP/9.9", "GET /small.txt HTTP/9.9\r\nHost: x\r\n\r\n", 505, "", false},
      {"unknown method", "FOO /small.txt HTTP/1.1\r\nHost: x\r\n\r\n", 501, "", false},
      {"lower-case get", "get /small.txt HTTP/1.1\r\nHost: x\r\n\r\n", 501, "", false},
      {"TRACE", "TRACE /small.txt HTTP/1.1\r\nHost: x\r\n\r\n", 405, "Allow: GET, POST, HEAD, OPTIONS", false},
      {"no Host", "GET /small.txt HTTP/1.1\r\n\r\n", 400, "", false},
      {"two Host", "GET /small.txt HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400, "", false},
      {"bare CR", "GET /small.txt HTTP/1.1\r\nHost: x\r\nX-A: a\rb\r\n\r\n", 400, "", false},
      {"TAB in a value", "GET /small.txt HTTP/1.1\r\nHost: x\r\nX-A: a\tb\r\n\r\n", 200, "", true},
      {"absolute form", "GET http://elsewhere/small.txt HTTP/1.1\r\nHost: x\r\n\r\n", 200, "", true},
      {"OPTIONS *", "OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n", 200, "Allow: GET, POST, HEAD, OPTIONS", true},
      {"OPTIONS file", "OPTIONS /small.txt HTTP/1.1\r\nHost: x\r\n\r\n", 200, "Allow: GET, POST, HEAD, OPTIONS", true},
      {"segment after a file", "GET /small.txt/more HTTP/1.1\r\nHost: x\r\n\r\n", 404, "", false},
      {"directory redirect", "GET //evil.example/%2e%2e/dir HTTP/1.1\r\nHost: x\r\n\r\n", 301, "", true},
  };
  for (const row &r : rows) {
    raw_client c(server_->port());
    std::string rest;
    const response first = ask_whole(c, r.request + next, &rest);
    EXPECT_EQ(first.status, r.status) << r.what << ": " << first.head;
    if (*r.header) {
      const std::string header = r.header;
      const size_t colon = header.find(": ");
      EXPECT_EQ(header_of(first.head, header.substr(0, colon)), header.substr(colon + 2)) << r.what;
    }
    // The head ends at its blank line only: no empty line inside it.
    EXPECT_EQ(first.head.find("\r\n\r\n"), std::string::npos) << r.what << ": " << first.head;
    const std::string location = header_of(first.head, "Location");
    EXPECT_NE(location.rfind("//", 0), 0u) << r.what << ": " << location;
    if (r.stays_open) {
      response second;
      while (!take_response(rest, second) && !c.closed()) rest += c.read(SIZE_MAX, 200);
      EXPECT_EQ(second.body, "0123456789") << r.what;
    } else if (r.status >= 400) {
      EXPECT_TRUE(c.wait_closed(3000)) << r.what;
    }
  }
}

TEST_F(HttpServe, WebSocketFramesAreCheckedAsRfc6455Says) {
  const std::string protocol_error("\x03\xea", 2), invalid_data("\x03\xef", 2);
  struct row {
    const char *what;
    std::string frames;
    std::string reply;  // the frame the server answers with (a close: its first four bytes)
    bool closes;
  } rows[] = {
      {"unmasked frame", std::string("\x81\x02hi", 4), "\x88" + protocol_error, true},
      {"RSV1 set", masked_frame(0xc1, "hi"), "\x88" + protocol_error, true},
      {"reserved data opcode", masked_frame(0x83, "x"), "\x88" + protocol_error, true},
      {"reserved control opcode", masked_frame(0x8b, ""), "\x88" + protocol_error, true},
      {"text not UTF-8", masked_frame(0x81, "a\xff"), "\x88" + invalid_data, true},
      {"overlong UTF-8", masked_frame(0x81, "\xc0\xaf"), "\x88" + invalid_data, true},
      {"bad UTF-8 across fragments", masked_frame(0x01, "\xc3") + masked_frame(0x80, "("), "\x88" + invalid_data, true},
      {"UTF-8 across fragments", masked_frame(0x01, "\xc3") + masked_frame(0x80, "\xa9"), "\x81\x02\xc3\xa9", false},
      {"close of one byte", masked_frame(0x88, "\x03"), "\x88" + protocol_error, true},
      {"close code 999", masked_frame(0x88, "\x03\xe7"), "\x88" + protocol_error, true},
      {"close code 1005", masked_frame(0x88, "\x03\xed"), "\x88" + protocol_error, true},
      {"close reason not UTF-8", masked_frame(0x88, "\x03\xe8\xff"), "\x88" + invalid_data, true},
      {"valid close", masked_frame(0x88, "\x03\xe8ok"), "\x88\x04\x03\xe8ok", true},
      {"private close code", masked_frame(0x88, "\x0f\xa0"), "\x88\x02\x0f\xa0", true},
  };
  for (const row &r : rows) {
    raw_client c(server_->port());
    const std::string head = ws_handshake(c);
    ASSERT_NE(head.find("HTTP/1.1 101"), std::string::npos) << r.what << head;
    c.send(r.frames);
    if (r.reply.size() == 3) {  // a refusal: the close code behind the length byte
      const std::string reply = c.read(4, 3000);
      ASSERT_EQ(reply.size(), 4u) << r.what;
      EXPECT_EQ(reply.substr(0, 1) + reply.substr(2), r.reply) << r.what;
    } else {
      EXPECT_EQ(c.read(r.reply.size(), 3000), r.reply) << r.what;
    }
    if (r.closes) EXPECT_TRUE(c.wait_closed(3000)) << r.what;
  }
}

// ---- The engine's own HTTP client ----

struct fetched {
  int status = 0;
  std::string body;
  bool done = false;
};

void fetch_handler(nev_connection *conn, int event, void *data, nev_unlock_fn) {
  auto *out = static_cast<fetched *>(conn->manager->user_data);
  if (event == NEV_EVENT_HTTP_REPLY && !out->done) {
    const auto *view = static_cast<const nev_http_view *>(data);
    out->status = view->status_code;
    out->body.assign(view->body.p, view->body.len);
    out->done = true;
    conn->flags |= NEV_CONN_CLOSE_NOW;
  }
}

// Opens url through nev_connect_http_opt on a manager of its own and polls
// until the reply came (or 10 s went by).
fetched fetch(const std::string &url, const char *post_data = nullptr, bool tls = false) {
  fetched out;
  nev_manager mgr{};
  nev_manager_setup(&mgr, &out);
  const char *error = nullptr;
  nev_dial_options options{};
  options.error_text = &error;
  nev_connection *conn = tls ? nev_connect_http_opt(&mgr, fetch_handler, &options, url.c_str(), "X-Test: 1\r\n", post_data)
                             : nev_connect_http(&mgr, fetch_handler, url.c_str(), "X-Test: 1\r\n", post_data);
  if (conn != nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!out.done && std::chrono::steady_clock::now() < deadline) nev_manager_poll(&mgr, 50);
  }
  nev_manager_teardown(&mgr);
  return out;
}

TEST_F(HttpServe, TheEngineClientFetchesAndPostsToALocalServer) {
  const std::string base = "http://127.0.0.1:" + std::to_string(server_->port());
  struct row {
    const char *what;
    std::string url;
    const char *post;
    bool tls;
    int status;
    std::string body;
  } rows[] = {
      {"GET", base + "/small.txt", nullptr, false, 200, "0123456789"},
      {"GET with credentials in the URL", "http://u:p@127.0.0.1:" + std::to_string(server_->port()) + "/small.txt",
       nullptr, false, 200, "0123456789"},
      {"POST", base + "/echo", "posted body", false, 200, "posted body"},
      {"missing file", base + "/none.txt", nullptr, false, 404, ""},
      {"HTTPS", "https://127.0.0.1:" + std::to_string(tls_server_->port()) + "/small.txt", nullptr, true, 200,
       "0123456789"},
  };
  for (const row &r : rows) {
    fetched got = fetch(r.url, r.post, r.tls);
    ASSERT_TRUE(got.done) << r.what;
    EXPECT_EQ(got.status, r.status) << r.what;
    if (r.status == 200) EXPECT_EQ(got.body, r.body) << r.what;
  }
  // A URL that is none opens nothing, and neither does one whose bytes would
  // end the request line early and write headers of their own.
  EXPECT_FALSE(fetch("http://").done);
  for (const char *bad : {"/small.txt\r\nX-Injected: 1", "/small.txt HTTP/1.0\r\n\r\nGET /none.txt",
                                "/small.txt\tx", "/small.txt?q=\n"})
    EXPECT_FALSE(fetch(base + bad).done) << bad;
  EXPECT_FALSE(fetch("http://127.0.0.1\r\nX-Injected: 1:" + std::to_string(server_->port()) + "/small.txt").done);
}

TEST_F(HttpServe, WebSocketHandshakesThatCannotBeAcceptedAreAnswered) {
  const std::string rest = "Host: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
  const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  struct row {
    const char *what;
    std::string request;
    int status;
    const char *version_header;
  } rows[] = {
      {"no key", "GET /ws HTTP/1.1\r\n" + rest + "Sec-WebSocket-Version: 13\r\n\r\n", 400, ""},
      {"version 8", "GET /ws HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 8\r\n\r\n", 426, "13"},
      {"no version", "GET /ws HTTP/1.1\r\n" + rest + key + "\r\n", 426, "13"},
      {"POST", "POST /ws HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 13\r\n\r\n", 400, ""},
      {"unserved path", "GET /elsewhere HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 13\r\n\r\n", 404, ""},
      {"accepted", "GET /ws HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 13\r\n\r\n", 101, ""},
      {"page of another host", "GET /ws HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 13\r\nOrigin: http://evil.example\r\n\r\n", 403, ""},
      {"page of this host", "GET /ws HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 13\r\nOrigin: http://X:8080\r\n\r\n", 101, ""},
      {"two origins, the first of this host", "GET /ws HTTP/1.1\r\n" + rest + key + "Sec-WebSocket-Version: 13\r\nOrigin: http://x\r\nOrigin: http://evil.example\r\n\r\n", 403, ""},
  };
  for (const row &r : rows) {
    raw_client c(server_->port());
    c.send(r.request);
    std::string stream = c.read(SIZE_MAX, 500);
    response reply;
    ASSERT_TRUE(take_response(stream, reply)) << r.what << ": " << stream;
    EXPECT_EQ(reply.status, r.status) << r.what;
    EXPECT_EQ(header_of(reply.head, "Sec-WebSocket-Version"), r.version_header) << r.what;
    if (r.status != 101) EXPECT_TRUE(c.wait_closed(3000)) << r.what;
  }
}

// ---- Clients that do not read, and silent ones ----

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Sends `block` over and over, up to `total` bytes, as long as the peer takes
// them; stops once the socket has not been writable for a second. Returns
// the bytes sent.
size_t send_until_stalled(raw_client &c, const std::string &block, size_t total) {
  size_t done = 0;
  while (done < total) {
    pollfd p{c.fd(), POLLOUT, 0};
    if (poll(&p, 1, 1000) <= 0) break;
    const size_t at = done % block.size();
    const ssize_t n = ::send(c.fd(), block.data() + at, block.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0 && errno != EAGAIN) break;
    if (n > 0) done += size_t(n);
  }
  return done;
}

// Counts the replies that arrive whole in a stream fed piece by piece,
// keeping only the unfinished one (Content-Length bodies only).
class reply_counter {
 public:
  void feed(const std::string &bytes) {
    stream_ += bytes;
    size_t at = 0;
    for (;;) {
      const size_t end = stream_.find("\r\n\r\n", at);
      if (end == std::string::npos) break;
      const std::string length = header_of(stream_.substr(at, end + 2 - at), "Content-Length");
      const size_t whole = end + 4 + (length.empty() ? 0 : std::stoul(length));
      if (stream_.size() < whole) break;
      if (stream_.compare(at, 12, "HTTP/1.1 200") == 0) ++ok_;
      at = whole;
    }
    stream_.erase(0, at);
  }
  int ok() const { return ok_; }

 private:
  std::string stream_;
  int ok_ = 0;
};

// A client that sends and never reads its replies is no longer read once its
// replies back up: TCP holds back what it sends next, so it costs the server
// the bounded backlog and a read, not megabytes of replies and the requests
// behind them. Other clients are served meanwhile, and once the stalled
// client reads again every request gets its reply.
TEST_F(HttpServe, ClientsThatDoNotReadLeaveMemoryBoundedWhileOthersAreServed) {
  const long margin_kib = 32 * 1024;
  const int request_count = 20000;
  std::string gets;
  for (int i = 0; i < request_count; ++i) gets += "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string ping = masked_frame(0x89, std::string(125, 'p'));
  std::string pings;
  while (pings.size() < (64u << 10)) pings += ping;
  const long before = resident_kib();

  raw_client http_stalled(server_->port());
  const size_t gets_sent = send_until_stalled(http_stalled, gets, gets.size());
  raw_client ws_stalled(server_->port());
  ASSERT_NE(ws_handshake(ws_stalled).find("HTTP/1.1 101"), std::string::npos);
  const size_t total = 64u << 20;
  const size_t pings_sent = send_until_stalled(ws_stalled, pings, total);
  EXPECT_LT(pings_sent, total) << "the server went on reading pings whose pongs nobody takes";

  // Watched for a while: nothing grows behind the stalled clients.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  long most = 0;
  do {
    most = std::max(most, resident_kib());
    EXPECT_NE(curl(url("/small.txt")).find("HTTP/1.1 200"), std::string::npos);
  } while (std::chrono::steady_clock::now() < until);
  std::fprintf(stderr, "RSS %ld KiB before, %ld KiB at most; %zu request bytes and %zu ping bytes taken\n", before,
               most, gets_sent, pings_sent);
  EXPECT_LT(most - before, margin_kib);

  // The stalled clients read again: the rest of the requests go in as the
  // replies come out, and every request and ping is answered.
  reply_counter replies;
  size_t sent = gets_sent;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (replies.ok() < request_count && !http_stalled.closed() && std::chrono::steady_clock::now() < deadline) {
    if (sent < gets.size()) {
      const ssize_t n = ::send(http_stalled.fd(), gets.data() + sent, gets.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += size_t(n);
    }
    replies.feed(http_stalled.read(1 << 20, 50));
  }
  EXPECT_EQ(replies.ok(), request_count);
  const size_t pong_bytes = pings_sent / ping.size() * (ping.size() - 4);  // unmasked: no key
  EXPECT_EQ(ws_stalled.read(pong_bytes, 5000).size(), pong_bytes);
}

// Requests the server took in before it stopped reading a client that does
// not read are served once that client reads, though it sends nothing more:
// the receive buffer is parsed when the backlog drains, not when new bytes
// arrive. Replies queued whole and files streamed to the socket, on a thread
// per connection and on the listener's thread.
TEST_F(HttpServe, PipelinedRequestsTakenInAreServedWhenTheClientReadsAgain) {
  struct row {
    const char *path;
    int request_count;  // replies far past the bound and the socket buffers
  };
  const row rows[] = {{"/medium.bin", 3000}, {"/big.bin", 24}};
  test_http_server::settings one_thread;
  one_thread.options.document_root = root_->c_str();
  one_thread.threads = false;
  test_http_server one_thread_server(one_thread);
  for (test_http_server *srv : {server_, &one_thread_server}) {
    for (const row &r : rows) {
      std::string gets;
      for (int i = 0; i < r.request_count; ++i) gets += std::string("GET ") + r.path + " HTTP/1.1\r\nHost: x\r\n\r\n";
      raw_client stalled(srv->port());
      ASSERT_EQ(send_until_stalled(stalled, gets, gets.size()), gets.size());
      // The server fills the backlog and stops reading the client.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      reply_counter replies;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (replies.ok() < r.request_count && !stalled.closed() && std::chrono::steady_clock::now() < deadline)
        replies.feed(stalled.read(1 << 20, 1000));
      EXPECT_EQ(replies.ok(), r.request_count)
          << r.path << (srv == server_ ? " a thread per connection" : " one thread");
    }
  }
}

// Connections outlive their listener: one closed while they are open (as a
// stopping server closes its listeners before it stops their threads) leaves
// them served, their endpoints and limits still in place.
TEST_F(HttpServe, ConnectionsAreServedAfterTheirListenerClosed) {
  test_http_server::settings threaded;
  threaded.options.document_root = root_->c_str();
  test_http_server srv(threaded);
  raw_client open(srv.port());
  const std::string get = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  open.send(get);
  response reply;
  std::string stream = open.read(SIZE_MAX, 500);
  ASSERT_TRUE(take_response(stream, reply)) << stream;
  srv.close_listener();
  EXPECT_FALSE(raw_client(srv.port()).connected());
  open.send(get);
  stream = open.read(SIZE_MAX, 500);
  ASSERT_TRUE(take_response(stream, reply)) << stream;
  EXPECT_EQ(reply.status, 200);
}

// A connection that never completes its first head is closed after the head
// time-out even while it trickles bytes; a WebSocket peer that leaves our
// ping without a pong is closed after the time-out, one that answers stays.
TEST_F(HttpServe, SilentPeersAreClosedAfterTheirTimeOut) {
  raw_client quiet(strict_server_->port());
  raw_client trickle(strict_server_->port());
  raw_client ws_silent(strict_server_->port());
  raw_client ws_answering(strict_server_->port());
  ASSERT_NE(ws_handshake(ws_silent).find("HTTP/1.1 101"), std::string::npos);
  ASSERT_NE(ws_handshake(ws_answering).find("HTTP/1.1 101"), std::string::npos);
  trickle.send("GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int pongs = 0;
  while (!(quiet.closed() && trickle.closed() && ws_silent.closed()) && std::chrono::steady_clock::now() < deadline) {
    if (!trickle.closed()) trickle.send("a");
    quiet.read(SIZE_MAX, 50);
    trickle.read(SIZE_MAX, 50);
    ws_silent.read(SIZE_MAX, 50);
    const std::string from_server = ws_answering.read(SIZE_MAX, 50);
    if (from_server.find("\x89\x00", 0, 2) != std::string::npos) {
      ws_answering.send(masked_frame(0x8a, ""));
      ++pongs;
    }
  }
  EXPECT_TRUE(quiet.closed());
  EXPECT_TRUE(trickle.closed());
  EXPECT_TRUE(ws_silent.closed());
  EXPECT_GE(pongs, 1);
  ASSERT_FALSE(ws_answering.closed());
  ws_answering.send(masked_frame(0x81, "still here"));
  EXPECT_EQ(ws_answering.read(12, 3000), "\x81\x0astill here");
}
}  // namespace
