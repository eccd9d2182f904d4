// MQTTLocalSys: the broker's client of its own listener, through which the
// statistics publisher sends.
#include <cstring>

#include "mqtt_clients.h"

MQTTLocalSys::MQTTLocalSys(LogCallback log, const char* clientId, const char* password)
    : MQTTSubscription(log), queue_(new YXQueue(MQTT_LOCAL_QUEUE_CAPACITY)) {
  SetBrokerPort(starlingMqttListeningPort());
  if (clientId != nullptr) SetClientID(clientId);
  if (password != nullptr) {
    SetBrokerUser(clientId != nullptr ? clientId : GetClientID());
    SetBrokerPass(password);
  }
  _startSubscription();
}

MQTTLocalSys::~MQTTLocalSys() {
  // The client thread reads the queue through the virtual GetMsgFwdQueue.
  _stopSubscription();
}

void MQTTLocalSys::Publish(const char* topic, const char* text) {
  size_t length = text != nullptr ? strlen(text) : 0;
  _enqueueForward(queue_.get(), strlen(topic) + length, MQTT_LOCAL_QUEUE_MAX_BYTES,
                  [&] { return new MQTTPersistMsg(topic, text, length, 0, 0); });
}

void MQTTLocalSys::ProcessPub(const char*, size_t, const char*, size_t, uint16_t, int) {
  YX_THROW("MQTTLocalSys::ProcessPub", YX_KIND_OPERATION, MQTT_CLIENT_ERR_NOT_SUPPORTED, "ProcessPub not supported");
}
