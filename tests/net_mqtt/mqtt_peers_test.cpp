// The engine's broker core with real MQTT clients on 127.0.0.1:
// mosquitto_pub/mosquitto_sub and paho (mqtt_peer.py) against
// mqtt_test_host. The host must stop cleanly on SIGTERM with no sanitizer
// report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_common.h"

extern char **environ;

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs a shell command under a time limit; returns its exit status and output.
int run(const std::string &command, std::string *output, int seconds = 60) {
  testcommon::command_result result =
      testcommon::run_command("timeout " + std::to_string(seconds) + " sh -c '" + command + "' 2>&1");
  *output = result.output;
  return result.status;
}

class BrokerHost : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mqtt_host_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    stderr_path_ = tmpl;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(), O_WRONLY | O_TRUNC, 0600);
    char *argv[] = {const_cast<char *>(MQTT_TEST_HOST), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, MQTT_TEST_HOST, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    // "PORT <n>" once the listener is bound.
    std::string line;
    pollfd pfd{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
      char c;
      if (read(out[0], &c, 1) != 1) break;
      line.push_back(c);
    }
    close(out[0]);
    ASSERT_EQ(sscanf(line.c_str(), "PORT %d", &port_), 1) << line << slurp(stderr_path_);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      bool ended = false;
      for (int i = 0; i < 200 && !ended; i++) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      std::string log = slurp(stderr_path_);
      EXPECT_TRUE(ended) << "host did not stop within 10 s\n" << log;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
      EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
      EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }
    unlink(stderr_path_.c_str());
  }

  std::string port() const { return std::to_string(port_); }

  void peer(const std::string &scenario) {
    std::string out;
    int rc = run(std::string("/usr/bin/python3 ") + MQTT_PEER_SCRIPT + " " + port() + " " + scenario, &out, 90);
    EXPECT_EQ(rc, 0) << out << "\nhost log:\n" << slurp(stderr_path_);
  }

  // Starts mosquitto_sub and returns once its SUBACK arrived; the reader
  // takes the rest of its output.
  FILE *start_sub(const std::string &args) {
    std::string line = "timeout 30 stdbuf -oL mosquitto_sub -d -p " + port() + " " + args + " 2>&1";
    FILE *p = popen(line.c_str(), "r");
    char buf[1024];
    while (p != nullptr && fgets(buf, sizeof(buf), p) != nullptr)
      if (strstr(buf, "received SUBACK") != nullptr) return p;
    ADD_FAILURE() << "mosquitto_sub got no SUBACK: " << args;
    return p;
  }

  static std::string finish(FILE *p) {
    std::string out;
    char buf[4096];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    if (p != nullptr) pclose(p);
    return out;
  }

  void pub(const std::string &args) {
    std::string out;
    EXPECT_EQ(run("mosquitto_pub -p " + port() + " " + args, &out), 0) << out;
  }

  pid_t pid_ = -1;
  int port_ = 0;
  std::string stderr_path_;
};

TEST_F(BrokerHost, MosquittoQosBothWays) {
  for (int sub_qos = 0; sub_qos <= 2; sub_qos++) {
    for (int pub_qos = 0; pub_qos <= 2; pub_qos++) {
      SCOPED_TRACE("sub " + std::to_string(sub_qos) + " pub " + std::to_string(pub_qos));
      FILE *sub = start_sub("-q " + std::to_string(sub_qos) + " -t q/t -C 1 -W 20 -v");
      pub("-q " + std::to_string(pub_qos) + " -t q/t -m hello");
      std::string out = finish(sub);
      EXPECT_NE(out.find("q/t hello"), std::string::npos) << out;
      int delivered = std::min(sub_qos, pub_qos);
      EXPECT_NE(out.find("received PUBLISH (d0, q" + std::to_string(delivered)), std::string::npos) << out;
    }
  }
}

TEST_F(BrokerHost, MosquittoWildcardsDeliverOnce) {
  FILE *sub = start_sub("-t w/+/c -t w/# -t +/solo -C 3 -W 20 -v");
  pub("-t w/b/c -m one");
  pub("-t other -m none");
  pub("-t w -m parent");
  pub("-t x/solo -m three");
  std::string out = finish(sub);
  EXPECT_NE(out.find("w/b/c one"), std::string::npos) << out;
  EXPECT_NE(out.find("w parent"), std::string::npos) << out;
  EXPECT_NE(out.find("x/solo three"), std::string::npos) << out;
  EXPECT_EQ(out.find("none"), std::string::npos) << out;
  size_t count = 0;
  for (size_t at = 0; (at = out.find("received PUBLISH", at)) != std::string::npos; at++) count++;
  EXPECT_EQ(count, 3u) << out;
}

TEST_F(BrokerHost, TwoQos2PublishersLoseNothing) {
  FILE *sub = start_sub("-q 2 -t lot -C 400 -W 60");
  std::string out_a, out_b;
  std::thread a([&] { run("seq 1 200 | sed s/^/a/ | mosquitto_pub -p " + port() + " -q 2 -t lot -l", &out_a); });
  std::thread b([&] { run("seq 1 200 | sed s/^/b/ | mosquitto_pub -p " + port() + " -q 2 -t lot -l", &out_b); });
  a.join();
  b.join();
  std::string out = finish(sub);
  std::set<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && (line[0] == 'a' || line[0] == 'b') && line.find(' ') == std::string::npos) lines.insert(line);
  EXPECT_EQ(lines.size(), 400u) << out_a << out_b;
}

TEST_F(BrokerHost, PahoQosRoundTrip) { peer("qos_round_trip"); }
TEST_F(BrokerHost, PahoUnsubscribeRemovesEveryFilter) { peer("unsubscribe_every_filter"); }
TEST_F(BrokerHost, PahoOverlapAndDollarTopics) { peer("overlap_and_dollar"); }
TEST_F(BrokerHost, PahoKeepAlivePings) { peer("keepalive_pings"); }
TEST_F(BrokerHost, RawRefusals) { peer("refusals"); }
TEST_F(BrokerHost, RawConnectSplitAcrossWrites) { peer("split_connect"); }
TEST_F(BrokerHost, SilentClientClosedAfterKeepAlive) { peer("silent_client_closed"); }
TEST_F(BrokerHost, ManyClientsAtOnce) { peer("churn"); }
TEST_F(BrokerHost, SubscribersVanishDuringFanOut) { peer("abrupt_disconnects"); }
TEST_F(BrokerHost, LockstepPublishersDeliverPromptly) { peer("lockstep_publishers"); }
TEST_F(BrokerHost, PipelinedPublicationsFanOutWholeAndInOrder) { peer("pipelined_fan_out"); }

// SIGTERM while clients are connected: their sessions go with their
// connections, and the host ends without leaks (checked at its exit).
TEST_F(BrokerHost, StopsWithClientsConnected) {
  FILE *a = start_sub("-q 1 -t keep/# -W 5");
  FILE *b = start_sub("-q 2 -t keep/x -W 5");
  pub("-q 1 -t keep/x -m held");
  TearDown();
  pid_ = -1;
  finish(a);
  finish(b);
}

}  // namespace
