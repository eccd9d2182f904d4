// MQTTPersistMsg: one received or queued MQTT PUBLISH, copied out of the
// connection's receive buffer so that another thread can handle it later.
// The broker-owned clients (mqtt_clients.h) use it as the element of their
// outgoing queues; persisted topics add the database write.
//
// Ownership: created with new, deleted with delete by whoever holds it last
// (the thread that sent or wrote it, or the owner of the queue it is left in).
// The topic and payload copies share one VOKTAlloc block, freed by the
// destructor. Never copied.
//
// Threading: an object is used by one thread at a time; it travels between
// threads through a YXQueue, whose mutex orders the hand-over.
#ifndef STARLING_PERSIST_MSG_H
#define STARLING_PERSIST_MSG_H

#include <cstddef>
#include <cstdint>

class MQTTPersist;
class MQTTPersistStage;
class ZVDatabasePooled;
class ZVRecord;
struct nev_broker_session;
struct nev_connection;

class MQTTPersistMsg {
 public:
  // topic: a NUL-terminated text copied whole. payload: payloadLength bytes,
  // copied with one NUL byte appended (so a text payload reads as a C text;
  // payload may be null when payloadLength is 0).
  // Out of memory: "MQTTPersistMsg::MQTTPersistMsg", kind 0, 8001.
  MQTTPersistMsg(const char* topic, const char* payload, uint64_t payloadLength, uint16_t packetId, uint8_t qos);
  // topic: a slice of topicLength bytes that need not be NUL-terminated; the
  // copy stops early at a NUL byte in the slice (as strncpy) and is always
  // terminated at topicLength. Same failures as above.
  MQTTPersistMsg(const char* topic, uint64_t topicLength, const char* payload, uint64_t payloadLength,
                 uint16_t packetId, uint8_t qos);
  virtual ~MQTTPersistMsg();
  MQTTPersistMsg(const MQTTPersistMsg&) = delete;
  MQTTPersistMsg& operator=(const MQTTPersistMsg&) = delete;

  char* topic = nullptr;       // NUL-terminated copy
  uint64_t topicLength = 0;    // bytes, without the NUL
  char* payload = nullptr;     // payloadLength bytes plus a NUL
  uint64_t payloadLength = 0;  // bytes, without the appended NUL
  uint16_t packetId = 0;       // 0 for QoS 0
  uint8_t qos = 0;             // 0, 1 or 2
  // A persisted topic's message whose PUBACK/PUBREC waits for its commit:
  // the publisher's session and connection (null: nothing to acknowledge).
  nev_broker_session* ackSession = nullptr;
  nev_connection* ackConn = nullptr;

  // Writes the message as one row of the persisted topic's table (and rows
  // of its child tables) through the connection's record of that table,
  // inside the caller's transaction, from the values staged for it (row
  // `index` of stage). Field and child-table failures are logged and
  // skipped; a failure of the row as a whole throws YXException.
  void Persist(MQTTPersist* persist, ZVDatabasePooled* db, ZVRecord* record, const MQTTPersistStage& stage,
               size_t index);
};

#endif  // STARLING_PERSIST_MSG_H
