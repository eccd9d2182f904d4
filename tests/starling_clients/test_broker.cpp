#include "test_broker.h"

#include "test_common.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

std::string slice_text(nev_slice s) { return s.p != nullptr ? std::string(s.p, s.len) : std::string(); }

void broker_handler(nev_connection* conn, int event, void* data, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  auto* broker = static_cast<TestBroker*>(conn->user_data);
  auto* pkt = static_cast<nev_mqtt_packet*>(data);
  if (broker == nullptr || event == NEV_EVENT_POLL) {
    if (broker != nullptr) nev_broker_on_event(conn, event, data);
    return;
  }
  switch (event) {
    case NEV_EVENT_MQTT_CONNECT:
      broker->record(
          {event, slice_text(pkt->client_id), slice_text(pkt->user_name) + ":" + slice_text(pkt->password), 0, 0});
      if (broker->options.refuseCode != 0) {
        nev_mqtt_send_connack(conn, broker->options.refuseCode);
        conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
        return;
      }
      break;
    case NEV_EVENT_MQTT_PUBLISH:
      broker->record({event, slice_text(pkt->topic), slice_text(pkt->payload), pkt->qos, pkt->message_id});
      broker->onPublish(pkt);
      break;
    case NEV_EVENT_MQTT_SUBSCRIBE: {
      nev_slice filter{};
      uint8_t qos = 0;
      nev_mqtt_next_subscribe_topic(pkt, &filter, &qos, 0);
      broker->record({event, slice_text(filter), "", qos, pkt->message_id});
      break;
    }
    case NEV_EVENT_MQTT_PUBACK:
    case NEV_EVENT_MQTT_PUBCOMP:
    case NEV_EVENT_MQTT_PUBREC:
      broker->record({event, "", "", 0, pkt->message_id});
      break;
    default:
      break;
  }
  nev_broker_on_event(conn, event, data);
}

}  // namespace

TestBroker::TestBroker(TestBrokerOptions opts) : options(opts) {
  nev_manager_setup(&mgr_, nullptr);
  nev_broker_setup(&core, nullptr);
  const char* error = nullptr;
  nev_listen_options lo{};
  lo.user_data = this;
  lo.error_text = &error;
  lo.tls_cert = options.tlsCert;
  listener_ = nev_listen_with_options(&mgr_, "127.0.0.1:0", broker_handler, &lo);
  if (listener_ == nullptr) throw std::runtime_error(error != nullptr ? error : "listen failed");
  nev_mqtt_attach(listener_);
  nev_broker_bind_listener(listener_, &core);
  nev_listener_enable_threads(listener_);
  sockaddr_in bound{};
  socklen_t len = sizeof(bound);
  getsockname(listener_->sock, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.sin_port);
  poller_ = std::thread([this] {
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stop_) break;
      }
      nev_manager_poll(&mgr_, 50);
    }
  });
}

TestBroker::~TestBroker() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
  }
  poller_.join();
  nev_manager_request_stop(&mgr_);
  listener_->flags |= NEV_CONN_CLOSE_NOW;
  nev_manager_poll(&mgr_, 0);
  while (nev_manager_teardown(&mgr_) != 0) usleep(10000);
  nev_broker_teardown(&core);
}

void TestBroker::setOnPublish(std::function<void(const nev_mqtt_packet*)> hook) {
  std::lock_guard<std::mutex> guard(mutex_);
  hook_ = std::move(hook);
}

void TestBroker::onPublish(const nev_mqtt_packet* pkt) {
  std::function<void(const nev_mqtt_packet*)> hook;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    hook = hook_;
  }
  if (hook) hook(pkt);
}

void TestBroker::record(const BrokerRecord& r) {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.push_back(r);
}

std::vector<BrokerRecord> TestBroker::records() {
  std::lock_guard<std::mutex> guard(mutex_);
  return records_;
}

bool TestBroker::waitFor(const std::function<bool(const std::vector<BrokerRecord>&)>& pred, int timeoutMs) {
  return testcommon::wait_for([&] { return pred(records()); }, std::chrono::milliseconds(timeoutMs),
                              std::chrono::milliseconds(20));
}

size_t TestBroker::count(int event, const std::string& text) {
  size_t n = 0;
  for (const auto& r : records())
    if (r.event == event && (text.empty() || r.text == text)) n++;
  return n;
}
