// What static serving hands elsewhere: CGI programs (sh scripts), server-side
// includes, the reverse proxy in front of python3 -m http.server and of an
// upstream of the test's own (upstream_peer.py), and the port redirect.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "test_common.h"

namespace fs = std::filesystem;
using testcommon::run_command;
using testcommon::wait_for;

namespace {

std::string run(const std::string &command) { return run_command(command + " 2>&1").output; }
std::string curl(const std::string &args) { return run("curl -s -S -i --max-time 15 " + args); }

void write_file(const fs::path &path, const std::string &text, bool executable = false) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  if (executable) fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add);
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A peer program run for the whole suite; its first output line is kept.
class peer_process {
 public:
  explicit peer_process(const std::string &command) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    ::close(out[1]);
    FILE *f = fdopen(out[0], "r");
    char line[64] = "";
    if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) first_line_ = line;
    if (f != nullptr) std::fclose(f);
  }
  ~peer_process() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return std::atoi(first_line_.c_str()); }

 private:
  pid_t pid_ = -1;
  std::string first_line_;
};

class Gateway : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (getenv("GW_DEBUG")) {
      nev_log_set_level(4);
      nev_log_set_file(stderr);
    }
    base_ = new fs::path(fs::temp_directory_path() / ("gateway-" + std::to_string(getpid())));
    const fs::path root = *base_ / "root";
    fs::create_directories(root);
    root_ = new std::string(fs::canonical(root).string());
    write_cgi(root);
    write_ssi(root);
    write_file(*base_ / "outside.txt", "TOPSECRET");
    write_file(*base_ / "files" / "plain.txt", "from http.server");

    upstream_ = new peer_process("python3 " NET_HTTP_TEST_DIR "/upstream_peer.py");
    const int files_port = testcommon::free_port();
    files_ = new peer_process("python3 -m http.server --bind 127.0.0.1 --directory " + (*base_ / "files").string() +
                              " " + std::to_string(files_port) + " >/dev/null 2>&1");
    ASSERT_TRUE(wait_for([&] {
      const int fd = testcommon::connect_loopback(files_port);
      if (fd >= 0) ::close(fd);
      return fd >= 0;
    }));
    const int dead_port = testcommon::free_port();  // nobody listens there
    rules_ = new std::string("/api=http://127.0.0.1:" + std::to_string(upstream_->port()) +
                             "/base,/files=http://127.0.0.1:" + std::to_string(files_port) +
                             ",/dead=http://127.0.0.1:" + std::to_string(dead_port));

    test_http_server::settings s;
    s.options.document_root = root_->c_str();
    s.options.url_rewrites = rules_->c_str();
    s.options.proxy_timeout_s = 2;
    s.options.hidden_pattern = "hidden|**.so$|**.set$";
    server_ = new test_http_server(s);
    test_http_server::settings hasty = s;
    hasty.options.cgi_timeout_s = 2;
    hasty_server_ = new test_http_server(hasty);
    test_http_server::settings redirecting = s;
    redirecting.options.url_rewrites = redirect_rules_;
    redirect_server_ = new test_http_server(redirecting);
    std::snprintf(redirect_rules_, sizeof redirect_rules_, "%%%d=https://example.test:8443", redirect_server_->port());
  }

  static void TearDownTestSuite() {
    delete server_;
    delete hasty_server_;
    delete redirect_server_;
    delete upstream_;
    delete files_;
    fs::remove_all(*base_);
    delete base_;
    delete root_;
    delete rules_;
  }

  static void write_cgi(const fs::path &root) {
    write_file(root / "status.cgi", "#!/bin/sh\nprintf 'Status: 404 Not Found\\r\\nX-Cgi: 1\\r\\n\\r\\nnot here'\n");
    write_file(root / "location.cgi", "#!/bin/sh\nprintf 'Location: /elsewhere\\r\\n\\r\\n'\n");
    write_file(root / "env.cgi",
               "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
               "echo \"STDIN=$(cat)\"\n"
               "for v in REQUEST_METHOD QUERY_STRING CONTENT_LENGTH CONTENT_TYPE HTTP_X_TEST SCRIPT_NAME PATH_INFO "
               "GATEWAY_INTERFACE; do eval \"echo $v=\\$$v\"; done\n"
               "echo \"PROXY=[${HTTP_PROXY}]\"\n"
               "echo \"PWD=$(pwd)\"\n"
               "echo \"SOCKETS=$(ls -l /proc/$$/fd | grep -c socket:)\"\n");
    // Started in the background, the sleeper's child must die with it.
    write_file(root / "sleep.cgi", "#!/bin/sh\nsleep 60 &\necho $! > \"$DOCUMENT_ROOT/../sleeper.pid\"\nwait\n");
    write_file(root / "nothing.cgi", "#!/bin/sh\nexit 0\n");
    write_file(root / "headless.cgi", "#!/bin/sh\necho no head here\n");
    // A carriage return inside Status would end the status line early.
    write_file(root / "split_status.cgi", "#!/bin/sh\nprintf 'Status: 200 OK\\rX-Split: 1\\r\\n\\r\\nno head here'\n");
    write_file(root / "dir" / "index.cgi",
               "#!/bin/sh\nprintf '\\r\\n'; echo \"SCRIPT_NAME=$SCRIPT_NAME\"; echo \"PWD=$(pwd)\"\n");
  }

  static void write_ssi(const fs::path &root) {
    write_file(root / "a.txt", "AAA");
    write_file(root / "page.shtml",
               "top <!--#include virtual=\"a.txt\" --> mid <!--#include \"sub/b.shtml\" --> "
               "<!--#echo var=\"x\" --><b>bold</b> <!--#call foo --> end");
    write_file(root / "sub" / "b.shtml", "B:<!--#include file=\"c.txt\" -->");
    write_file(root / "sub" / "c.txt", "CCC");
    write_file(root / "self.shtml", "x<!--#include \"self.shtml\" -->");
    write_file(root / "missing.shtml", "<!--#include \"nope.txt\" -->");
    write_file(root / "escape.shtml",
               "<!--#include abspath=\"/etc/passwd\" -->|<!--#include virtual=\"../outside.txt\" -->|"
               "<!--#include bogus -->");
    write_file(root / "unfinished.shtml", "a<!--#include");
    // What is never served directly is never included either.
    write_file(root / "keys.set", "SECRET SET");
    write_file(root / "lib.so", "SECRET LIBRARY");
    write_file(root / "hidden" / "note.txt", "SECRET HIDDEN");
    write_file(root / "hiding.shtml",
               "<!--#include \"keys.set\" -->|<!--#include \"lib.so\" -->|<!--#include \"hidden/note.txt\" -->|"
               "<!--#include \"status.cgi\" -->|<!--#include \"a.txt\" -->");
  }

  static std::string url(const std::string &path, test_http_server *srv = nullptr) {
    return "'http://127.0.0.1:" + std::to_string((srv ? srv : server_)->port()) + path + "'";
  }

  static fs::path *base_;
  static std::string *root_, *rules_;
  static char redirect_rules_[128];
  static peer_process *upstream_, *files_;
  static test_http_server *server_, *hasty_server_, *redirect_server_;
};

fs::path *Gateway::base_;
std::string *Gateway::root_, *Gateway::rules_;
char Gateway::redirect_rules_[128];
peer_process *Gateway::upstream_, *Gateway::files_;
test_http_server *Gateway::server_, *Gateway::hasty_server_, *Gateway::redirect_server_;

TEST_F(Gateway, CgiStatusLocationStdinAndEnvironment) {
  std::string out = curl(url("/status.cgi"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 404 Not Found\r\n")) << out;
  EXPECT_TRUE(contains(out, "X-Cgi: 1")) << out;
  EXPECT_TRUE(contains(out, "not here")) << out;
  out = curl(url("/location.cgi"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 302 Moved\r\n")) << out;
  EXPECT_TRUE(contains(out, "Location: /elsewhere")) << out;

  out = curl("--data-binary abc -H 'Content-Type: text/x' -H 'X-Test: 7' -H 'Proxy: http://evil:1' " +
             url("/env.cgi/extra?q=1"));
  for (const std::string &line : std::vector<std::string>{
           "HTTP/1.1 200 OK", "STDIN=abc", "REQUEST_METHOD=POST", "QUERY_STRING=q=1", "CONTENT_LENGTH=3",
           "CONTENT_TYPE=text/x", "HTTP_X_TEST=7", "SCRIPT_NAME=/env.cgi\n", "PATH_INFO=/extra",
           "GATEWAY_INTERFACE=CGI/1.1", "PROXY=[]", "PWD=" + *root_ + "\n", "SOCKETS=1\n"})
    EXPECT_TRUE(contains(out, line)) << line << "\n" << out;
  out = curl(url("/dir/"));
  EXPECT_TRUE(contains(out, "SCRIPT_NAME=/dir/index.cgi")) << out;
  // A program runs in its own directory.
  EXPECT_TRUE(contains(out, "PWD=" + *root_ + "/dir\n")) << out;
}

TEST_F(Gateway, CgiWithoutOutputFailsAndASleeperIsKilledWithItsChildren) {
  for (const char *path : {"/nothing.cgi", "/headless.cgi", "/split_status.cgi"}) {
    const std::string out = curl(url(path));
    EXPECT_TRUE(contains(out, "HTTP/1.1 500")) << path << out;
    EXPECT_FALSE(contains(out, "no head here")) << out;
  }
  const fs::path pid_file = *base_ / "sleeper.pid";
  fs::remove(pid_file);
  const std::string out = curl(url("/sleep.cgi", hasty_server_));
  EXPECT_TRUE(contains(out, "HTTP/1.1 504")) << out;
  std::string pid;
  std::ifstream(pid_file) >> pid;
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(wait_for([&] { return run("kill -0 " + pid + " && echo alive").find("alive") == std::string::npos; }))
      << "the script's child " << pid << " still runs";

  // A client that goes away takes its program with it.
  fs::remove(pid_file);
  const int fd = testcommon::connect_loopback(server_->port());
  ASSERT_GE(fd, 0);
  const std::string request = "GET /sleep.cgi HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
  ASSERT_TRUE(wait_for([&] { return fs::exists(pid_file) && fs::file_size(pid_file) > 0; }));
  ::close(fd);
  pid.clear();
  std::ifstream(pid_file) >> pid;
  EXPECT_TRUE(wait_for([&] { return run("kill -0 " + pid + " && echo alive").find("alive") == std::string::npos; }))
      << "the script's child " << pid << " outlived its client";
}

TEST_F(Gateway, SsiIncludesNestedFilesToTheLimitAndStaysInTheRoot) {
  std::string out = curl(url("/page.shtml"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 200 OK")) << out;
  EXPECT_TRUE(contains(out, "\r\n\r\ntop AAA mid B:CCC <b>bold</b>  end")) << out;

  out = curl(url("/self.shtml"));
  const std::string body = out.substr(out.find("\r\n\r\n"));
  EXPECT_EQ(std::count(body.begin(), body.end(), 'x'), 11) << out;
  EXPECT_TRUE(contains(out, "SSI #include level is too deep (")) << out;

  out = curl(url("/missing.shtml"));
  EXPECT_TRUE(contains(out, "SSI include error: nev_fopen(" + *root_ + "/nope.txt): No such file or directory")) << out;
  out = curl(url("/escape.shtml"));
  EXPECT_FALSE(contains(out, "root:")) << out;
  EXPECT_FALSE(contains(out, "TOPSECRET")) << out;
  EXPECT_TRUE(contains(out, "SSI include error: nev_fopen(/etc/passwd)")) << out;
  EXPECT_TRUE(contains(out, "Bad SSI #include: [bogus]")) << out;
  out = curl(url("/unfinished.shtml"));
  EXPECT_TRUE(contains(out, "\r\n\r\na<!--#include")) << out;

  out = curl(url("/hiding.shtml"));
  EXPECT_FALSE(contains(out, "SECRET")) << out;
  for (const char *name : {"keys.set", "lib.so", "hidden/note.txt", "status.cgi"})
    EXPECT_TRUE(contains(out, "SSI include error: nev_fopen(" + *root_ + "/" + name + "): No such file or directory"))
        << name << "\n" << out;
  EXPECT_TRUE(contains(out, "|AAA")) << out;
}

TEST_F(Gateway, ProxyForwardsTheNormalisedPathQueryAndBody) {
  std::string out =
      curl("-H 'Connection: keep-alive, X-Hop' -H 'X-Hop: 1' -H 'TE: trailers' -H 'X-Keep: 2' " + url("/api/echo?x=1"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 200 OK")) << out;
  EXPECT_TRUE(contains(out, "GET /base/echo?x=1 HTTP/1.1\r\n")) << out;
  EXPECT_TRUE(contains(out, "Host: 127.0.0.1:" + std::to_string(upstream_->port()) + "\r\n")) << out;
  EXPECT_TRUE(contains(out, "X-Keep: 2")) << out;
  for (const char *hop : {"X-Hop", "TE:", "keep-alive"}) EXPECT_FALSE(contains(out, hop)) << hop << out;

  out = curl("-H 'Transfer-Encoding: chunked' -H 'Expect: 100-continue' --data-binary 0123456789 " + url("/api/echo"));
  EXPECT_TRUE(contains(out, "POST /base/echo HTTP/1.1")) << out;
  EXPECT_TRUE(contains(out, "Content-Length: 10\r\n")) << out;
  EXPECT_TRUE(contains(out, "\r\n\r\n0123456789")) << out;
  EXPECT_FALSE(contains(out, "100-continue")) << out;

  // ".." is resolved before the rules are matched; escaped separators never pass.
  out = curl("--path-as-is " + url("/api/../echo"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 404")) << out;
  for (const char *path : {"/api/%2e%2e/echo", "/api/a%2Fb/echo", "/api/a%5cb"}) {
    out = curl("--path-as-is " + url(path));
    EXPECT_TRUE(contains(out, "HTTP/1.1 400")) << path << out;
  }

  out = curl(url("/files/plain.txt"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 200")) << out;
  EXPECT_TRUE(contains(out, "from http.server")) << out;
}

TEST_F(Gateway, ProxyRewritesRepliesAndAnswersForAFailingUpstream) {
  std::string out = curl(url("/api/chunked"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 200 OK")) << out;
  EXPECT_TRUE(contains(out, "Content-Length: 11\r\n")) << out;
  EXPECT_TRUE(contains(out, "X-Up: 1")) << out;
  EXPECT_TRUE(contains(out, "\r\n\r\nhello world")) << out;
  for (const char *hop : {"Transfer-Encoding", "Keep-Alive", "X-Private"}) EXPECT_FALSE(contains(out, hop)) << out;

  out = curl("-I " + url("/api/head"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 200 OK")) << out;
  EXPECT_TRUE(contains(out, "Content-Length: 1234")) << out;
  out = curl(url("/api/nocontent"));
  EXPECT_TRUE(contains(out, "HTTP/1.1 204")) << out;
  EXPECT_FALSE(contains(out, "Content-Length")) << out;
  out = curl(url("/api/closed"));
  EXPECT_TRUE(contains(out, "Content-Length: 15\r\n")) << out;
  EXPECT_TRUE(contains(out, "until the close")) << out;

  struct {
    const char *path;
    const char *status;
  } failures[] = {
      {"/api/early", "HTTP/1.1 502"},
      {"/api/half", "HTTP/1.1 502"},
      {"/dead/x", "HTTP/1.1 502"},
      {"/api/slow", "HTTP/1.1 504"},
  };
  for (const auto &f : failures) {
    out = curl(url(f.path));
    EXPECT_TRUE(contains(out, f.status)) << f.path << out;
  }
}

TEST_F(Gateway, PortRedirectKeepsTheTargetAndQuery) {
  std::string out = curl(url("/a/b?x=1", redirect_server_));
  EXPECT_TRUE(contains(out, "HTTP/1.1 301")) << out;
  EXPECT_TRUE(contains(out, "Location: https://example.test:8443/a/b?x=1\r\n")) << out;
  // The rule names another port: the main server serves as usual.
  out = curl(url("/a.txt"));
  EXPECT_TRUE(contains(out, "AAA")) << out;
}

}  // namespace
