// The broker-owned MQTT clients against real brokers on loopback (the
// engine's broker core in-process) with mosquitto_pub/mosquitto_sub as peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "mqtt_clients.h"
#include "test_broker.h"
#include "test_hooks.h"
#include "test_common.h"

namespace fs = std::filesystem;

namespace {

using testcommon::wait_for;

// Starts mosquitto_sub on a broker and collects its output lines until it
// ends (after `count` messages or its time-out).
class Subscriber {
 public:
  Subscriber(TestBroker& broker, const std::string& filter, int count) {
    std::string cmd = "mosquitto_sub -h 127.0.0.1 -p " + std::to_string(broker.port()) + " -t '" + filter + "' -v -C " +
                      std::to_string(count) + " -W 20";
    reader_ = std::thread([this, cmd] { output_ = testcommon::run_command(cmd).output; });
    EXPECT_TRUE(broker.waitFor([&](const std::vector<BrokerRecord>& rs) {
      for (const auto& r : rs)
        if (r.event == NEV_EVENT_MQTT_SUBSCRIBE && r.text == filter) return true;
      return false;
    })) << "mosquitto_sub did not subscribe";
  }
  std::string wait() {
    if (reader_.joinable()) reader_.join();
    return output_;
  }
  ~Subscriber() { wait(); }

 private:
  std::thread reader_;
  std::string output_;
};

void publish(TestBroker& broker, const std::string& topic, const std::string& message, int qos) {
  std::string cmd = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port()) + " -t '" + topic + "' -m '" +
                    message + "' -q " + std::to_string(qos);
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

class ClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hooks::reset();
    char tmpl[] = "/tmp/starling_clients_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "config");
  }
  void TearDown() override {
    hooks::reset();
    fs::remove_all(dir_);
  }
  void writeConfig(const std::string& text) {
    std::ofstream(dir_ / "config" / "starling.cfg") << text;
    hooks::setConfigPath((dir_ / "config" / "starling.cfg").string());
  }
  std::string writeFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }
  static std::string linkConfig(int port, const std::string& extra) {
    return "SYS_BROKER_HOST 127.0.0.1\nSYS_BROKER_PORT " + std::to_string(port) + "\n" + extra;
  }
  fs::path dir_;
};

size_t countRecords(const std::vector<BrokerRecord>& rs, int event, const std::string& text = "") {
  size_t n = 0;
  for (const auto& r : rs)
    if (r.event == event && (text.empty() || r.text == text)) n++;
  return n;
}

// ---- Queued messages ----

TEST(PersistMsgTest, CopiesTopicSliceAndTerminatesPayload) {
  struct Case {
    const char* topic;
    uint64_t length;
    const char* expected;
  } cases[] = {{"a/b/c-rest", 5, "a/b/c"}, {"ab\0cd", 5, "ab"}, {"", 0, ""}};
  for (const auto& c : cases) {
    MQTTPersistMsg msg(c.topic, c.length, "pay\0load", 8, 7, 1);
    EXPECT_STREQ(msg.topic, c.expected);
    EXPECT_EQ(msg.topicLength, c.length);
    EXPECT_EQ(msg.topic[c.length], '\0');
    EXPECT_EQ(memcmp(msg.payload, "pay\0load", 9), 0);
    EXPECT_EQ(msg.payloadLength, 8u);
    EXPECT_EQ(msg.packetId, 7);
  }
  MQTTPersistMsg text("t/x", nullptr, 0, 0, 0);
  EXPECT_EQ(text.topicLength, 3u);
  EXPECT_STREQ(text.payload, "");
}

// ---- Statistics client ----

TEST_F(ClientsTest, LocalSysPublishesStatisticsToSubscribers) {
  TestBroker broker;
  hooks::setLocalPort(broker.port());
  auto local = std::make_unique<MQTTLocalSys>(hooks::logCallback);
  EXPECT_EQ(local->GetSubscriptionState(), YX_THREAD_RUNNING);
  EXPECT_EQ(broker.count(NEV_EVENT_MQTT_SUBSCRIBE), 0u);
  EXPECT_EQ(broker.count(NEV_EVENT_MQTT_CONNECT, local->GetClientID()), 1u);

  Subscriber sub(broker, "brenloxAdmin/#", 3);
  local->Publish(STARLING_STATS_CONNECTIONS_TOPIC, "{\"connections\":1}");
  local->Publish(STARLING_STATS_SUBSCRIBERS_TOPIC, "{\"subscribers\":1}");
  local->Publish(STARLING_STATS_TOPICS_TOPIC, "{\"topics\":0}");
  std::string out = sub.wait();
  EXPECT_NE(out.find("brenloxAdmin/connections {\"connections\":1}"), std::string::npos) << out;
  EXPECT_NE(out.find("brenloxAdmin/subscribers {\"subscribers\":1}"), std::string::npos) << out;
  EXPECT_NE(out.find("brenloxAdmin/topics {\"topics\":0}"), std::string::npos) << out;
  for (const auto& r : broker.records())
    if (r.event == NEV_EVENT_MQTT_PUBLISH) {
      EXPECT_EQ(r.qos, 0);
    }

  try {
    local->ProcessPub("x", 1, "y", 1, 0, 0);
    ADD_FAILURE() << "ProcessPub did not throw";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), 10001);
    EXPECT_STREQ(e.GetErrorMsg(), "ProcessPub not supported");
  }
}

TEST_F(ClientsTest, DestroyingBusyClientsIsClean) {
  TestBroker broker;
  hooks::setLocalPort(broker.port());
  writeConfig(linkConfig(broker.port(), "SYS_BROKER_TOPIC sys/cmd\nSYS_BROKER_FORWARD YES\n"));
  for (int round = 0; round < 3; round++) {
    auto local = std::make_unique<MQTTLocalSys>(hooks::logCallback);
    auto link = std::make_unique<MQTTRemoteSysPersist>("srv", hooks::logCallback);
    // Queued messages outlive the thread and are freed with their queue.
    for (int i = 0; i < 300; i++) {
      local->Publish("brenloxAdmin/topics", "{}");
      link->ForwardPub("f/t", 3, "payload", 7, 0);
    }
    EXPECT_LE(local->GetMsgFwdQueue()->Count(), MQTT_LOCAL_QUEUE_CAPACITY);
    link.reset();
    local.reset();
  }
}

// ---- Remote link ----

TEST_F(ClientsTest, RemoteLinkRunsCommandsAndForwardsBetweenTwoBrokers) {
  TestBroker local;
  TestBroker remote;
  writeConfig(
      "; remote system\n"
      "   sys_broker_host 127.0.0.1 trailing words\n"
      "SYS_BROKER_PORT 1\n" +
      linkConfig(remote.port(),
                 "SYS_BROKER_TOPIC sys/commands\n"
                 "SYS_BROKER_USER remoteUser\nSYS_BROKER_PASSWORD remotePass\n"
                 "LOCAL_USER localUser\n\tLOCAL_PASSWORD localPass\n"
                 "SYS_BROKER_FORWARD yes\nUNKNOWN_KEY x\n"));
  auto link = std::make_unique<MQTTRemoteSysPersist>("localServer", hooks::logCallback);
  local.setOnPublish([&link](const nev_mqtt_packet* pkt) {
    link->ForwardPub(pkt->topic.p, pkt->topic.len, pkt->payload.p, pkt->payload.len, pkt->message_id);
  });

  EXPECT_EQ(link->GetSubscriptionState(), YX_THREAD_RUNNING);
  EXPECT_TRUE(link->IsForwarding());
  auto records = remote.records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].event, NEV_EVENT_MQTT_CONNECT);
  EXPECT_EQ(records[0].text, link->GetClientID());
  EXPECT_EQ(records[0].payload, "remoteUser:remotePass");
  EXPECT_EQ(records[1].event, NEV_EVENT_MQTT_SUBSCRIBE);
  EXPECT_EQ(records[1].text, "sys/commands");
  EXPECT_EQ(records[1].qos, 2);
  std::string subscribed =
      "starling - Subscribed to MQTT Broker [127.0.0.1:" + std::to_string(remote.port()) + "] on topic [sys/commands]";
  EXPECT_EQ(hooks::countLogs(subscribed, 0), 1u);

  // Commands at QoS 1 and 2, acknowledged by the link.
  publish(remote, "sys/commands", "{\"operation\":\"PausePersistenceTopic\"}", 1);
  publish(remote, "sys/commands", "{\"operation\":\"ResumePersistenceTopic\"}", 2);
  ASSERT_TRUE(wait_for([] { return hooks::commands().size() == 2; }));
  for (const auto& call : hooks::commands()) {
    EXPECT_EQ(call.server, "localServer");
    EXPECT_EQ(call.user, "localUser");
    EXPECT_EQ(call.password, "localPass");
    EXPECT_EQ(call.requester, link->GetClientID());
  }
  EXPECT_EQ(hooks::commands()[1].payload, "{\"operation\":\"ResumePersistenceTopic\"}");
  EXPECT_TRUE(remote.waitFor([](const std::vector<BrokerRecord>& rs) {
    return countRecords(rs, NEV_EVENT_MQTT_PUBACK) >= 1 && countRecords(rs, NEV_EVENT_MQTT_PUBREC) >= 1 &&
           countRecords(rs, NEV_EVENT_MQTT_PUBCOMP) >= 1;
  }));

  // A publication on the local broker reaches a subscriber of the remote one.
  {
    Subscriber sub(remote, "fwd/#", 1);
    publish(local, "fwd/one", "hello", 1);
    EXPECT_EQ(sub.wait(), "fwd/one hello\n");
  }
  bool found = false;
  for (const auto& r : remote.records())
    if (r.event == NEV_EVENT_MQTT_PUBLISH && r.text == "fwd/one") {
      found = true;
      EXPECT_EQ(r.qos, 0);
      EXPECT_EQ(r.payload, "hello");
    }
  EXPECT_TRUE(found);

  local.setOnPublish(nullptr);
  link.reset();
}

TEST_F(ClientsTest, ForwardOnlyLinkWithCredentialsFromAuthFiles) {
  TestBroker remote;
  std::string brokerAuth = writeFile("broker.set", "fileUser filePass\n");
  std::string localAuth = writeFile("local.set", "dbUser dbPass\n");
  writeConfig(linkConfig(remote.port(), "SYS_BROKER_USER onlyUser\nSYS_BROKER_AUTH_FILE " + brokerAuth +
                                            "\nLOCAL_AUTH_FILE " + localAuth + "\nSYS_BROKER_FORWARD YES\n"));
  auto link = std::make_unique<MQTTRemoteSysPersist>("srv", hooks::logCallback);
  EXPECT_EQ(link->GetSubscriptionState(), YX_THREAD_RUNNING);
  EXPECT_STREQ(link->GetLocalUser(), "dbUser");
  EXPECT_STREQ(link->GetLocalPass(), "dbPass");
  EXPECT_EQ(remote.count(NEV_EVENT_MQTT_SUBSCRIBE), 0u);
  auto records = remote.records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].payload, "fileUser:filePass");

  link->ForwardPub("a/b-not-part", 3, "x", 1, 9);
  EXPECT_TRUE(remote.waitFor([](const std::vector<BrokerRecord>& rs) {
    for (const auto& r : rs)
      if (r.event == NEV_EVENT_MQTT_PUBLISH && r.text == "a/b" && r.qos == 0) return true;
    return false;
  }));
}

TEST_F(ClientsTest, LinkWithoutForwardingQueuesNothing) {
  TestBroker remote;
  writeConfig(linkConfig(remote.port(), "SYS_BROKER_FORWARD no\n"));
  MQTTRemoteSysPersist link("srv", hooks::logCallback);
  EXPECT_FALSE(link.IsForwarding());
  link.ForwardPub("a", 1, "x", 1, 0);
  EXPECT_EQ(link.GetMsgFwdQueue()->Count(), 0);
}

// Commands from the remote topic run only with the database user configured
// for them: without one they are refused and logged, never run as a default user.
TEST_F(ClientsTest, RemoteCommandsWithoutALocalUserAreRefused) {
  TestBroker remote;
  writeConfig(linkConfig(remote.port(), "SYS_BROKER_TOPIC sys/commands\n"));
  MQTTRemoteSysPersist link("srv", hooks::logCallback);
  ASSERT_EQ(link.GetSubscriptionState(), YX_THREAD_RUNNING);
  publish(remote, "sys/commands", "{\"operation\":\"PausePersistenceTopic\"}", 1);
  const std::string refused =
      "starling - A command from the remote broker was refused: no database user is configured for them "
      "(LOCAL_USER and LOCAL_PASSWORD, or LOCAL_AUTH_FILE, in config/starling.cfg).";
  ASSERT_TRUE(wait_for([&] { return hooks::countLogs(refused, 451) == 1; }));
  EXPECT_TRUE(hooks::commands().empty());
}

TEST_F(ClientsTest, NoRemoteHostMeansNoLink) {
  for (const std::string& config : {std::string(), std::string("SYS_BROKER_PORT 1883\n; x\n")}) {
    if (config.empty())
      hooks::setConfigPath("");
    else
      writeConfig(config);
    try {
      MQTTRemoteSysPersist link("srv", hooks::logCallback);
      ADD_FAILURE() << "constructed without a host";
    } catch (const YXException& e) {
      EXPECT_EQ(e.GetErrorCode(), 0);
      EXPECT_STREQ(e.GetErrorMsg(), "Remote System topic not set.");
    }
  }
  EXPECT_TRUE(hooks::logs().empty());
}

TEST_F(ClientsTest, RefusedLinkDialsAgainEverySecond) {
  TestBroker remote(TestBrokerOptions{5, nullptr});
  writeConfig(linkConfig(remote.port(), "SYS_BROKER_TOPIC sys/t\n"));
  auto link = std::make_unique<MQTTRemoteSysPersist>("srv", hooks::logCallback);
  std::string refused = "Not able to connect MQTT client - 127.0.0.1:" + std::to_string(remote.port());
  // The refused connection's close must not end the thread: attempts go on.
  EXPECT_TRUE(wait_for([&] { return hooks::countLogs(refused, 5) >= 3; }, std::chrono::seconds(15)));
  EXPECT_GE(remote.count(NEV_EVENT_MQTT_CONNECT), 3u);
  EXPECT_NE(link->GetSubscriptionState(), YX_THREAD_ENDED);
  link.reset();
}

TEST_F(ClientsTest, ConstructorThatGivesUpStopsItsThread) {
  // Accepts TCP (backlog) but never answers the CONNECT.
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  socklen_t len = sizeof(addr);
  getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
  writeConfig(linkConfig(ntohs(addr.sin_port), "SYS_BROKER_FORWARD YES\n"));

  try {
    MQTTRemoteSysPersist link("srv", hooks::logCallback);
    ADD_FAILURE() << "constructed without an answer";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), 10026);
    EXPECT_STREQ(e.GetErrorMsg(), "Not able to connect thread to subscribe to MQTT");
  }
  // The client's socket is already closed: its thread and manager are gone.
  int conn = accept(silent, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  pollfd pfd{conn, POLLIN, 0};
  char buf[256];
  ssize_t got = 1;
  while (got > 0 && poll(&pfd, 1, 0) == 1) got = read(conn, buf, sizeof(buf));
  EXPECT_EQ(got, 0) << "the client connection is still open";
  close(conn);
  close(silent);
}

// ---- TLS ----

class TlsLinkTest : public ClientsTest {
 protected:
  // A self-signed certificate with its key, naming `san`.
  std::string makeCert(const std::string& name, const std::string& san) {
    std::string key = (dir_ / (name + ".key")).string(), crt = (dir_ / (name + ".crt")).string();
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=starling-test "
        "-addext 'subjectAltName=" +
        san + "' -keyout " + key + " -out " + crt + " 2>/dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0);
    std::string pem = (dir_ / (name + ".pem")).string();
    EXPECT_EQ(system(("cat " + key + " " + crt + " > " + pem).c_str()), 0);
    return pem;
  }
};

TEST_F(TlsLinkTest, CaFileRequiresCertificateNamingTheHost) {
  std::string good = makeCert("good", "IP:127.0.0.1");
  std::string wrong = makeCert("wrong", "DNS:elsewhere.example");
  struct Case {
    std::string serverCert, ca;
    bool links;
  } cases[] = {{good, good, true}, {wrong, wrong, false}, {wrong, "", true}};
  for (const auto& c : cases) {
    hooks::reset();
    TestBroker remote(TestBrokerOptions{0, c.serverCert.c_str()});
    std::string extra = "SYS_BROKER_TOPIC sys/tls\nSYS_BROKER_SSL_CERT " + good + "\n";
    if (!c.ca.empty()) extra += "SYS_BROKER_SSL_CA " + c.ca + "\n";
    writeConfig(linkConfig(remote.port(), extra));
    auto link = std::make_unique<MQTTRemoteSysPersist>("srv", hooks::logCallback);
    std::string refused = "Not able to connect MQTT client - 127.0.0.1:" + std::to_string(remote.port());
    if (c.links) {
      EXPECT_EQ(link->GetSubscriptionState(), YX_THREAD_RUNNING) << c.serverCert << " " << c.ca;
      EXPECT_EQ(remote.count(NEV_EVENT_MQTT_SUBSCRIBE, "sys/tls"), 1u);
    } else {
      EXPECT_TRUE(wait_for([&] { return hooks::countLogs(refused, 10013) >= 1; }));
      EXPECT_EQ(remote.count(NEV_EVENT_MQTT_CONNECT), 0u);
    }
    link.reset();
  }
}

}  // namespace
namespace {
struct LogEnv {
  LogEnv() {
    if (getenv("NEV_TEST_LOG") != nullptr) nev_log_set_level(atoi(getenv("NEV_TEST_LOG")));
  }
} g_log_env;
}  // namespace
