// MQTTLocalSys: the broker's client of its own listener, through which the
// statistics publisher sends.
#include <cstring>

#include "mqtt_clients.h"

MQTTLocalSys::MQTTLocalSys(LogCallback log)
    : MQTTSubscription(log), queue_(new YXQueue(MQTT_LOCAL_QUEUE_CAPACITY)) {
  SetBrokerPort(starlingMqttListeningPort());
  _startSubscription();
}

MQTTLocalSys::~MQTTLocalSys() {
  // The client thread reads the queue through the virtual GetMsgFwdQueue.
  _stopSubscription();
}

void MQTTLocalSys::Publish(const char* topic, const char* text) {
  auto* msg = new MQTTPersistMsg(topic, text, text != nullptr ? strlen(text) : 0, 0, 0);
  if (queue_->Push(msg) != 0) delete msg;
}

void MQTTLocalSys::ProcessPub(const char*, size_t, const char*, size_t, uint16_t, int) {
  YX_THROW("MQTTLocalSys::ProcessPub", YX_KIND_OPERATION, MQTT_CLIENT_ERR_NOT_SUPPORTED,
           "ProcessPub not supported");
}
