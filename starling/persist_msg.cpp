// The copying part of MQTTPersistMsg; the database write of persisted topics
// joins this file with them.
#include "persist_msg.h"

#include <cstring>

#include "yxutil.h"

namespace {

// length bytes of source (may be null when length is 0) and a NUL, in a
// VOKTAlloc block.
char* copy_payload(const char* source, uint64_t length) {
  if (length >= static_cast<uint64_t>(INT32_MAX))
    YX_THROW("MQTTPersistMsg::MQTTPersistMsg", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate message payload");
  auto* block = static_cast<char*>(VOKTAlloc(static_cast<int>(length + 1)));
  if (block == nullptr)
    YX_THROW("MQTTPersistMsg::MQTTPersistMsg", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate message payload");
  if (length > 0) memcpy(block, source, length);
  block[length] = '\0';
  return block;
}

// The topic slice, stopped early at a NUL as strncpy does, terminated at
// length.
char* copy_topic_slice(const char* source, uint64_t length) {
  if (length >= static_cast<uint64_t>(INT32_MAX))
    YX_THROW("MQTTPersistMsg::MQTTPersistMsg", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate message topic");
  auto* block = static_cast<char*>(VOKTAlloc(static_cast<int>(length + 1)));
  if (block == nullptr)
    YX_THROW("MQTTPersistMsg::MQTTPersistMsg", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate message topic");
  memset(block, 0, length + 1);
  if (source != nullptr) strncpy(block, source, length);
  return block;
}

}  // namespace

MQTTPersistMsg::MQTTPersistMsg(const char* topicText, const char* payloadBytes, uint64_t payloadBytesLength,
                               uint16_t id, uint8_t qosLevel)
    : topicLength(topicText != nullptr ? strlen(topicText) : 0),
      payloadLength(payloadBytesLength),
      packetId(id),
      qos(qosLevel) {
  topic = dupStr(topicText != nullptr ? topicText : "");
  try {
    payload = copy_payload(payloadBytes, payloadBytesLength);
  } catch (...) {
    VOKTFree(topic);
    throw;
  }
}

MQTTPersistMsg::MQTTPersistMsg(const char* topicSlice, uint64_t topicSliceLength, const char* payloadBytes,
                               uint64_t payloadBytesLength, uint16_t id, uint8_t qosLevel)
    : topicLength(topicSliceLength), payloadLength(payloadBytesLength), packetId(id), qos(qosLevel) {
  topic = copy_topic_slice(topicSlice, topicSliceLength);
  try {
    payload = copy_payload(payloadBytes, payloadBytesLength);
  } catch (...) {
    VOKTFree(topic);
    throw;
  }
}

MQTTPersistMsg::~MQTTPersistMsg() {
  VOKTFree(topic);
  VOKTFree(payload);
}
