// What one client may take from the engine: connections beyond the manager's
// cap, descriptors, queued output.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_host.h"

namespace {

using namespace std::chrono_literals;

std::mutex notices_mutex;
std::vector<std::string> notices;

void keep_notice(nev_manager *, const char *text) {
  std::lock_guard<std::mutex> guard(notices_mutex);
  notices.emplace_back(text);
}

std::string all_notices() {
  std::lock_guard<std::mutex> guard(notices_mutex);
  std::string all;
  for (const std::string &n : notices) all += n + "\n";
  return all;
}

int open_connections(nev_manager *mgr) { return __atomic_load_n(&mgr->open_connections, __ATOMIC_ACQUIRE); }

// "ping" comes back from a served connection; a refused one ends with nothing.
std::string round_trip(int sock, const std::string &line) {
  if (!client_send(sock, line + "\n")) return "";
  return client_read_until(sock, line + "\n");
}

TEST(NetCoreLimits, ConnectionsBeyondTheCapAreClosedAtOnceWhileOthersAreServed) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg, nullptr, true);
  ASSERT_NE(l, nullptr);
  int port = host.port_of(l);
  EXPECT_GT(host.mgr()->max_connections, 0);  // derived from the descriptor limit
  host.mgr()->max_connections = 3;
  host.mgr()->notice = keep_notice;
  host.start();

  int served = client_connect(port);
  ASSERT_GE(served, 0);
  EXPECT_EQ(round_trip(served, "first"), "first\n");
  std::vector<int> idle = {client_connect(port), client_connect(port)};
  ASSERT_TRUE(wait_for([&] { return open_connections(host.mgr()) == 3; }));

  // Over the cap: the handshake completes in the kernel, then the engine
  // closes at once, before any byte is read.
  std::vector<int> over;
  for (int i = 0; i < 5; i++) over.push_back(client_connect(port));
  for (int fd : over) {
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(wait_for([fd] { return peek_peer(fd) == peer_state::closed; })) << fd;
  }
  EXPECT_EQ(round_trip(served, "still served"), "still served\n");
  EXPECT_EQ(open_connections(host.mgr()), 3);
  ASSERT_TRUE(wait_for([] { return all_notices().find("closed at once") != std::string::npos; }));
  EXPECT_NE(all_notices().find("3 connections are open, the most allowed"), std::string::npos) << all_notices();

  // A slot given back takes a new client.
  close(idle[0]);
  ASSERT_TRUE(wait_for([&] { return open_connections(host.mgr()) == 2; }));
  int fresh = client_connect(port);
  ASSERT_GE(fresh, 0);
  EXPECT_EQ(round_trip(fresh, "fresh"), "fresh\n");

  for (int fd : over) close(fd);
  close(idle[1]);
  close(fresh);
  close(served);
  EXPECT_TRUE(wait_for([&] { return open_connections(host.mgr()) == 0; }));
  EXPECT_EQ(host.shutdown(), 0);
}

// CPU seconds a process has used (user and system).
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::vector<std::string> fields;
  size_t at = paren + 2;
  while (at < stat.size()) {
    size_t end = stat.find(' ', at);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(at, end - at));
    at = end + 1;
  }
  // Fields 14 and 15 of the line; the list starts at field 3.
  if (fields.size() < 13) return -1;
  return (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
}

// A server in a child process with a low descriptor limit and no cap, whose
// other descriptors (files, databases) take every free one on command: new
// clients then find accept failing with EMFILE. The server must close them at
// once and rest instead of polling a listener it cannot accept from, keep
// serving its clients, and accept again once descriptors are free.
class ChildServer {
 public:
  ChildServer() {
    if (pipe(commands_) != 0 || pipe(answers_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(commands_[1]);
      close(answers_[0]);
      _exit(serve());
    }
    close(commands_[0]);
    close(answers_[1]);
    if (pid_ > 0 && read(answers_[0], &port_, sizeof(port_)) != sizeof(port_)) port_ = -1;
  }
  ~ChildServer() {
    close(commands_[1]);
    close(answers_[0]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // 'f': take every free descriptor; 'r': give them back. True once done.
  bool command(char c) {
    char done = 0;
    return write(commands_[1], &c, 1) == 1 && read(answers_[0], &done, 1) == 1 && done == c;
  }
  // Ends the child; its exit status.
  int finish() {
    close(commands_[1]);
    commands_[1] = -1;
    int status = -1;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int serve() {
    rlimit lim{128, 128};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 2;
    EngineHost host;
    HostConfig cfg;
    nev_connection *l = host.listen(&cfg, nullptr, true);
    if (l == nullptr) return 3;
    host.mgr()->max_connections = 0;  // no cap: only the descriptor limit
    int port = host.port_of(l);
    host.start();
    if (write(answers_[1], &port, sizeof(port)) != sizeof(port)) return 4;
    std::vector<int> taken;
    char c;
    while (read(commands_[0], &c, 1) == 1) {
      if (c == 'f') {
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
      } else {
        for (int fd : taken) close(fd);
        taken.clear();
      }
      if (write(answers_[1], &c, 1) != 1) return 5;
    }
    return host.shutdown();
  }

  int commands_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
  pid_t pid_ = -1;
  int port_ = -1;
};

TEST(NetCoreLimits, AcceptWithoutFreeDescriptorsBacksOffAndRecovers) {
  ChildServer server;
  ASSERT_GT(server.port(), 0);
  std::vector<int> clients;
  for (int i = 0; i < 5; i++) {
    clients.push_back(client_connect(server.port()));
    ASSERT_EQ(round_trip(clients.back(), "hello"), "hello\n");
  }
  ASSERT_TRUE(server.command('f'));

  // New clients keep coming while no descriptor is free: each is closed at
  // once, and the server spends next to no CPU meanwhile.
  double before = cpu_seconds(server.pid());
  auto window_end = std::chrono::steady_clock::now() + 2s;
  int late = 0;
  while (std::chrono::steady_clock::now() < window_end) {
    int fd = client_connect(server.port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(wait_for([fd] { return peek_peer(fd) == peer_state::closed; }));
    close(fd);
    late++;
    std::this_thread::sleep_for(100ms);
  }
  double used = cpu_seconds(server.pid()) - before;
  EXPECT_LT(used, 0.3) << "CPU seconds used in 2 s without a free descriptor";
  EXPECT_GT(late, 3);
  for (int fd : clients) EXPECT_EQ(round_trip(fd, "still"), "still\n");

  ASSERT_TRUE(server.command('r'));
  bool recovered = wait_for([&] {
    int fd = client_connect(server.port());
    bool ok = fd >= 0 && round_trip(fd, "again") == "again\n";
    if (fd >= 0) close(fd);
    return ok;
  });
  EXPECT_TRUE(recovered);
  for (int fd : clients) close(fd);
  EXPECT_EQ(server.finish(), 0);
}

TEST(NetCoreLimits, SendBacklogCountsWhatThePeerHasNotTaken) {
  EngineHost host;
  HostConfig cfg;
  nev_connection *l = host.listen(&cfg, nullptr);  // on the polling thread, for run_on_poller
  ASSERT_NE(l, nullptr);
  host.start();
  int s = client_connect(host.port_of(l));
  ASSERT_GE(s, 0);
  const size_t size = 32u * 1024 * 1024;
  ASSERT_TRUE(client_send(s, "big " + std::to_string(size) + "\n"));
  size_t queued = 0;
  ASSERT_TRUE(wait_for([&] {
    host.run_on_poller([&] {
      nev_connection *c = cfg.last_received;
      queued = c != nullptr ? nev_connection_send_backlog(c) : 0;
    });
    return queued > 0;
  }));
  EXPECT_LE(queued, size);
  size_t got = 0;
  char buf[65536];
  for (ssize_t n; got < size && (n = recv(s, buf, sizeof(buf), 0)) > 0;) got += static_cast<size_t>(n);
  EXPECT_EQ(got, size);
  host.run_on_poller([&] { EXPECT_EQ(nev_connection_send_backlog(cfg.last_received), 0u); });
  close(s);
  EXPECT_EQ(host.shutdown(), 0);
}

}  // namespace
