// A small MQTT broker on loopback for the client tests: the engine's broker
// core behind a threaded listener, the acknowledgements the broker
// application adds, a record of what the clients sent, and optionally a
// refusal of every CONNECT or a TLS listener.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nev.h"

struct BrokerRecord {
  int event;            // NEV_EVENT_MQTT_*
  std::string text;     // CONNECT: client id; PUBLISH: topic; SUBSCRIBE: first filter
  std::string payload;  // PUBLISH: payload; CONNECT: "user:password"
  int qos;
  uint16_t id;
};

struct TestBrokerOptions {
  uint8_t refuseCode = 0;         // non-zero: CONNACK with it, then close
  const char* tlsCert = nullptr;  // PEM with certificate and key
};

class TestBroker {
 public:
  explicit TestBroker(TestBrokerOptions options = {});
  ~TestBroker();

  int port() const { return port_; }
  // Called for every PUBLISH the broker receives (on the connection thread).
  void setOnPublish(std::function<void(const nev_mqtt_packet*)> hook);
  std::vector<BrokerRecord> records();
  // Waits (polling, at most timeoutMs) until pred holds over the records.
  bool waitFor(const std::function<bool(const std::vector<BrokerRecord>&)>& pred, int timeoutMs = 10000);
  size_t count(int event, const std::string& text = "");

  // Internal, for the handler.
  void record(const BrokerRecord& r);
  void onPublish(const nev_mqtt_packet* pkt);
  const TestBrokerOptions options;
  nev_broker core{};

 private:
  nev_manager mgr_{};
  nev_connection* listener_ = nullptr;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<BrokerRecord> records_;
  std::function<void(const nev_mqtt_packet*)> hook_;
  bool stop_ = false;
  std::thread poller_;
};
