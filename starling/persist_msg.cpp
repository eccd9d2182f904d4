// The copying part of MQTTPersistMsg; the database write of persisted topics
// joins this file with them.
#include "persist_msg.h"

#include <cstring>

#include "yxutil.h"

namespace {

// One VOKTAlloc block for both copies, the topic first: topicLength bytes of
// topicText (stopped early at a NUL, as strncpy) and a NUL, then
// payloadLength bytes of payloadBytes (may be null when 0) and a NUL. One
// block is one allocation for the receiving thread and one release for the
// thread that writes the message.
char* copy_message(const char* topicText, uint64_t topicLength, const char* payloadBytes, uint64_t payloadLength) {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT32_MAX);
  if (topicLength >= kMax || payloadLength >= kMax || topicLength + payloadLength + 2 > kMax)
    YX_THROW("MQTTPersistMsg::MQTTPersistMsg", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate message payload");
  auto* block = static_cast<char*>(VOKTAlloc(static_cast<int>(topicLength + 1 + payloadLength + 1)));
  if (block == nullptr)
    YX_THROW("MQTTPersistMsg::MQTTPersistMsg", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate message payload");
  memset(block, 0, topicLength + 1);
  if (topicText != nullptr) strncpy(block, topicText, topicLength);
  char* payload = block + topicLength + 1;
  if (payloadLength > 0) memcpy(payload, payloadBytes, payloadLength);
  payload[payloadLength] = '\0';
  return block;
}

}  // namespace

MQTTPersistMsg::MQTTPersistMsg(const char* topicText, const char* payloadBytes, uint64_t payloadBytesLength,
                               uint16_t id, uint8_t qosLevel)
    : MQTTPersistMsg(topicText != nullptr ? topicText : "", topicText != nullptr ? strlen(topicText) : 0,
                     payloadBytes, payloadBytesLength, id, qosLevel) {}

MQTTPersistMsg::MQTTPersistMsg(const char* topicSlice, uint64_t topicSliceLength, const char* payloadBytes,
                               uint64_t payloadBytesLength, uint16_t id, uint8_t qosLevel)
    : topicLength(topicSliceLength), payloadLength(payloadBytesLength), packetId(id), qos(qosLevel) {
  topic = copy_message(topicSlice, topicSliceLength, payloadBytes, payloadBytesLength);
  payload = topic + topicLength + 1;
}

MQTTPersistMsg::~MQTTPersistMsg() { VOKTFree(topic); }
