// The broker's own MQTT clients.
//
//   MQTTSubscription      abstract base: the settings of one outgoing MQTT
//                         connection and the client thread that runs it
//                         (private event manager, dial, CONNECT, SUBSCRIBE
//                         to the topic at QoS 2, received publications handed
//                         to ProcessPub, the forward queue published at QoS 0).
//   MQTTLocalSys          client of the broker's own MQTT listener on
//                         127.0.0.1; the statistics publisher sends through
//                         Publish on the "brenloxAdmin/..." topics.
//   MQTTRemoteSysPersist  link to a remote broker, configured by
//                         config/starling.cfg: every message received on its
//                         system topic runs as a persistence command; with
//                         forwarding on, ForwardPub sends every local
//                         publication to the remote broker.
//
// Client thread states (YX_THREAD_DATA::state): 0 connecting (dialled,
// waiting for CONNACK or SUBACK), 1 running, 2 stop (the owner asked), 3
// ended, 4 refused (CONNACK refused, TLS failed, the connection failed or
// closed; at the very end: ended with a recorded code). The thread logs each
// refusal, failure and loss, and a link that runs again after a loss, and
// dials again after a pause of 1 s that doubles, up to 30 s, while attempts
// keep failing.
//
// Ownership: objects are created with new, deleted through the virtual
// destructor and never copied. Owned texts are dupStr copies. Forward queues
// own the MQTTPersistMsg elements they hold; messages still queued when an
// object is destroyed are deleted with it.
//
// Lifetime rule for derived classes: the client thread calls the virtual
// ProcessPub and GetMsgFwdQueue, so the destructor of the most-derived class
// calls _stopSubscription() first, before anything it owns is torn down (a
// class derived further does the same in its own destructor). A constructor
// that fails after _startSubscription() is safe only if _startSubscription
// was its last step, or if it calls _stopSubscription() before it throws;
// _startSubscription itself stops the thread before it throws.
//
// Threading: setters are called while no client thread runs (before
// _startSubscription, or after _stopSubscription). Publish and ForwardPub may
// be called from any thread: they meet the client thread only in the queue,
// which locks its own mutex. ProcessPub runs on the client thread.
//
// Errors: YXException (voktbasic/VOKTBasic.h), thrown by value.
#ifndef STARLING_MQTT_CLIENTS_H
#define STARLING_MQTT_CLIENTS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "osprey_plugin.h"  // LogCallback
#include "persist_msg.h"
#include "yxutil.h"  // YX_THREAD_DATA, YX_THREAD, YXQueue, dupStr

class ZVDatabaseConfig;
struct MQTTClientThread;  // the client thread's record and settings

// ---------------------------------------------------------------------------
// Provided by the broker application (starling's other sources; the tests of
// these classes give their own). Declared here with the exact signatures the
// clients call.
// ---------------------------------------------------------------------------

// Opens config/starling.cfg ("../config/starling.cfg", then
// "./config/starling.cfg"); null when neither opens. The caller closes it.
FILE* findConfigFile();
// Reads a user and a password from a scrambled authentication set file and
// returns dupStr copies the caller frees with VOKTFree; throws YXException.
void _readAuthFile(const char* path, char** user, char** password);
// Runs one JSON persistence command (config may be null); returns 0 or a code.
int processPersistenceCommandText(ZVDatabaseConfig* config, const void* payload, size_t length, const char* requester,
                                  LogCallback log);
// The broker's MQTT listening port as a number (mqtt_listening_port); the
// statistics client connects to it. To be defined next to the broker state.
int32_t starlingMqttListeningPort();

// ---------------------------------------------------------------------------
// Topics
// ---------------------------------------------------------------------------

// Statistics topics of MQTTLocalSys.
constexpr char STARLING_STATS_CONNECTIONS_TOPIC[] = "brenloxAdmin/connections";
constexpr char STARLING_STATS_SUBSCRIBERS_TOPIC[] = "brenloxAdmin/subscribers";
constexpr char STARLING_STATS_TOPICS_TOPIC[] = "brenloxAdmin/topics";

// Codes of the client thread and its start.
constexpr int32_t MQTT_CLIENT_ERR_NOT_SUPPORTED = 10001;  // ProcessPub without a topic
constexpr int32_t MQTT_CLIENT_ERR_THREAD_DATA = 10006;    // no thread record
constexpr int32_t MQTT_CLIENT_ERR_CONNECT = 10012;        // dial failed / no code recorded
constexpr int32_t MQTT_CLIENT_ERR_TLS = 10013;            // TLS setup or handshake failed
constexpr int32_t MQTT_CLIENT_ERR_NO_ANSWER = 10026;      // no first result within ~10 s

constexpr int MQTT_LOCAL_QUEUE_CAPACITY = 256;
constexpr size_t MQTT_LOCAL_QUEUE_MAX_BYTES = 32u << 20;
// The link's forward queue holds at most this many publications and this
// many bytes of topics and payloads; beyond either, new publications are
// dropped, counted and logged (at most every MQTT_REMOTE_DROP_LOG_MS).
constexpr int MQTT_REMOTE_QUEUE_CAPACITY = 65536;
constexpr size_t MQTT_REMOTE_QUEUE_MAX_BYTES = 16u << 20;
constexpr int64_t MQTT_REMOTE_DROP_LOG_MS = 10000;
constexpr int32_t MQTT_CLIENT_ERR_QUEUE_FULL = 10029;  // forward queue full: publications dropped

// A dupStr copy, freed with VOKTFree.
using OwnedText = VOKTText;

// A queue of MQTTPersistMsg pointers that deletes the messages still in it
// together with the ring.
struct MsgQueueDeleter {
  void operator()(YXQueue* queue) const noexcept;
};
using MsgQueue = std::unique_ptr<YXQueue, MsgQueueDeleter>;

// ---------------------------------------------------------------------------
// MQTTSubscription
// ---------------------------------------------------------------------------
class MQTTSubscription {
 public:
  // All texts null, port 1883, a client id "starling_<run>_<n>" of its own
  // (a random tag of this run and a counter: it tells nothing of the
  // process's memory). Starts no thread.
  explicit MQTTSubscription(LogCallback log);
  // Stops the client thread (a no-op when the derived destructor already did)
  // and frees the texts.
  virtual ~MQTTSubscription();
  MQTTSubscription(const MQTTSubscription&) = delete;
  MQTTSubscription& operator=(const MQTTSubscription&) = delete;

  // Called on the client thread for every publication received; may throw
  // YXException (logged by the client thread with its code).
  virtual void ProcessPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength,
                          uint16_t packetId, int qos) = 0;
  // The queue whose MQTTPersistMsg elements the client thread publishes (and
  // deletes), or null.
  virtual YXQueue* GetMsgFwdQueue() = 0;

  // Each keeps a copy (null clears); dupStr failures propagate.
  void SetTopic(const char* topic);
  void SetBrokerHost(const char* host);  // null or empty: 127.0.0.1
  void SetBrokerPort(int32_t port);
  void SetBrokerUser(const char* user);
  void SetBrokerPass(const char* password);
  // Client certificate (with its key) for TLS; null: plain TCP.
  void SetBrokerSSLCert(const char* certFile);
  // CA file that the remote broker's certificate must chain to; with it the
  // certificate must also name the broker host (DNS name or IP address).
  // Without it a TLS link does not verify the peer.
  void SetBrokerSSLCA(const char* caFile);

  const char* GetTopic() const { return topic_.get(); }
  const char* GetBrokerHost() const { return brokerHost_.get(); }
  int32_t GetBrokerPort() const { return brokerPort_; }
  const char* GetBrokerUser() const { return brokerUser_.get(); }
  const char* GetBrokerPass() const { return brokerPass_.get(); }
  const char* GetBrokerSSLCert() const { return brokerSSLCert_.get(); }
  const char* GetBrokerSSLCA() const { return brokerSSLCA_.get(); }
  const char* GetClientID() const { return clientId_; }
  LogCallback GetWebLog() const { return log_; }
  // The client thread's state (0-4 above), or -1 when no thread runs.
  int32_t GetSubscriptionState() const;

  // Passes the message to the log callback when one is set.
  void Log(const char* message, int32_t code) const;

 protected:
  // Starts the client thread and waits (up to 999 x 10 ms) for its first
  // result: CONNACK refused, running, or closed. Logs
  // "starling - Subscribed to MQTT Broker [%s:%d] on topic [%s]" when a topic
  // is set. Throws "MQTTSubscription::_startSubscription", kind 1, 10006 when
  // the record cannot be allocated, 10026 "Not able to connect thread to
  // subscribe to MQTT" when no result came (the thread is stopped first), and
  // yxThrdCreate's failure.
  void _startSubscription();
  // Asks the thread to stop and waits for it to end; frees the record. A
  // no-op without a thread. Never throws.
  void _stopSubscription() noexcept;
  // Replaces the client id (cut to 39 bytes); before _startSubscription only.
  void SetClientID(const char* clientId);

 public:
  // Bytes of the messages in the forward queue: the client thread gives back
  // those of each message it takes.
  void _forwardTaken(size_t bytes) { queuedBytes_.fetch_sub(bytes); }

 protected:
  // Counts bytes in when they stay within maxBytes; false otherwise.
  bool _admitForward(size_t bytes, size_t maxBytes);
  // Queues the message make() builds when its bytes fit within maxBytes and
  // the queue has room; false, with nothing queued, otherwise.
  template <class Make>
  bool _enqueueForward(YXQueue* queue, size_t bytes, size_t maxBytes, Make make) {
    if (!_admitForward(bytes, maxBytes)) return false;
    MQTTPersistMsg* msg = nullptr;
    try {
      msg = make();
      if (queue->Push(msg) == 0) return true;
    } catch (...) {
      _forwardTaken(bytes);
      throw;
    }
    delete msg;
    _forwardTaken(bytes);
    return false;
  }

 private:
  OwnedText topic_;
  LogCallback log_;
  OwnedText brokerHost_;
  int32_t brokerPort_ = 1883;
  OwnedText brokerUser_;
  OwnedText brokerPass_;
  OwnedText brokerSSLCA_;  // the spare text of the record: the CA file
  OwnedText brokerSSLCert_;
  char clientId_[40] = {};
  std::atomic<size_t> queuedBytes_{0};
  // The running client thread (its YX_THREAD_DATA record, with this object
  // as owner, and its handle); null while no thread runs.
  std::unique_ptr<MQTTClientThread> client_;
};

// ---------------------------------------------------------------------------
// MQTTLocalSys
// ---------------------------------------------------------------------------
class MQTTLocalSys : public MQTTSubscription {
 public:
  // Connects to 127.0.0.1:starlingMqttListeningPort() without topic, as
  // clientId with password when given (else its own id, no credentials);
  // throws what _startSubscription throws.
  explicit MQTTLocalSys(LogCallback log, const char* clientId = nullptr, const char* password = nullptr);
  ~MQTTLocalSys() override;

  // Queues (topic, text) for publishing at QoS 0. A full queue (256
  // messages or MQTT_LOCAL_QUEUE_MAX_BYTES) drops it silently. Out of memory: YXException kind 0, 8001.
  void Publish(const char* topic, const char* text);
  // Throws "MQTTLocalSys::ProcessPub", kind 1, 10001, "ProcessPub not supported".
  void ProcessPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength, uint16_t packetId,
                  int qos) override;
  YXQueue* GetMsgFwdQueue() override { return queue_.get(); }

 private:
  MsgQueue queue_;
};

// ---------------------------------------------------------------------------
// MQTTRemoteSysPersist
// ---------------------------------------------------------------------------
//
// Keywords of config/starling.cfg (case-insensitive; "KEY value" lines, ";"
// comments): SYS_BROKER_HOST, SYS_BROKER_PORT, SYS_BROKER_TOPIC,
// SYS_BROKER_USER, SYS_BROKER_PASSWORD, SYS_BROKER_AUTH_FILE,
// SYS_BROKER_SSL_CERT, SYS_BROKER_SSL_CA, LOCAL_USER, LOCAL_PASSWORD,
// LOCAL_AUTH_FILE, SYS_BROKER_FORWARD ("YES" in any case turns forwarding on).
class MQTTRemoteSysPersist : public MQTTSubscription {
 public:
  // Reads the keywords, fills missing credentials from the authentication
  // files, and starts the link. Throws
  // "MQTTRemoteSysPersist::MQTTRemoteSysPersist", kind 1, code 0,
  // "Remote System topic not set." when no SYS_BROKER_HOST is configured (no
  // thread is started then); _readAuthFile's and _startSubscription's
  // exceptions pass through. Nothing leaks and no thread survives a throw.
  MQTTRemoteSysPersist(const char* localServerName, LogCallback log);
  ~MQTTRemoteSysPersist() override;

  // Runs the payload as a persistence command on the local server with the
  // local credentials; the requester is the client id.
  void ProcessPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength, uint16_t packetId,
                  int qos) override;
  // Called for every PUBLISH the broker receives: with forwarding on, queues
  // a copy for the remote broker; dropped (counted and logged) when the queue
  // is full by count or bytes (see MQTT_REMOTE_QUEUE_CAPACITY). Out of
  // memory: YXException kind 0, 8001.
  void ForwardPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength, uint16_t packetId);
  YXQueue* GetMsgFwdQueue() override { return queue_.get(); }

  bool IsForwarding() const { return forward_; }
  const char* GetLocalServer() const { return localServer_.get(); }
  const char* GetLocalUser() const { return localUser_.get(); }
  const char* GetLocalPass() const { return localPass_.get(); }

 private:
  void _loadKeywords();
  // Cuts the keyword and the next word out of line in place; false for an
  // empty or ";" comment line.
  bool _cfgscan(char* line, char** keyword, char** value);
  void _applyKeyword(const char* keyword, const char* value);
  void _reportDropped();

  OwnedText brokerAuthFile_;
  OwnedText localServer_;
  OwnedText localUser_;
  OwnedText localPass_;
  OwnedText localAuthFile_;
  bool forward_ = false;
  MsgQueue queue_;
  std::atomic<uint64_t> dropped_{0};       // dropped since the last log line
  std::atomic<int64_t> droppedLogged_{0};  // monotonic ms of that line
};

#endif  // STARLING_MQTT_CLIENTS_H
