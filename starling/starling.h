// The MQTT broker web application (web/starling.so): its exports, the
// broker's process-wide state, the registries of connections, subscribers
// and topics with their metadata tables, the event handler of the MQTT
// listener, the worker threads and the MQTT-over-WebSocket bridge.
//
// Exports (C linkage, see include/osprey_webapp.h): initXtd, term, routerXtd,
// start, stop and the data table utilkeywds.
//
// Errors: every internal function reports with YXException (kind 1 unless
// noted); the exports, the handlers and the threads never let one escape:
// they log through the broker's log callback or fill the caller's buffer.
//
// Ownership: each registry owns its entries; the lists inside entries never
// own what they point to. A MQTTConnection's session belongs to the engine's
// broker core; it is read only while the connection is registered.
//
// Threading and lock order (never taken the other way round):
//   broker lock (shared per MQTT event, exclusive in term)
//   -> topic registry mutex -> subscriber registry mutex -> an entry's mutex.
//   The connection registry mutex is taken alone: lists are copied out under
//   it and processed after it is released.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VOKTBasic.h"
#include "osprey_authfile.h"
#include "ZVDatabasePooled.h"
#include "nev.h"
#include "osprey_server.h"
#include "osprey_webapp.h"
#include "yxutil.h"

struct json_object;
class MQTTConnection;
class MQTTSubscriber;
class MQTTTopic;
class MQTTRemoteSysPersist;  // broker-owned clients (mqtt_clients.h)

// ---- Persistence operations ----
enum MQTTSYSOP {
  MQTTSYSOP_CREATE = 0,
  MQTTSYSOP_ALTER = 1,
  MQTTSYSOP_RENAME = 2,
  MQTTSYSOP_DELETE = 3,
  MQTTSYSOP_PAUSE = 4,
  MQTTSYSOP_RESUME = 5,
};
// The operation's name, "Invalid Operation" for any other value.
const char* mqttSysOpName(int op);

// The topic whose publications are persistence commands (matched exactly).
constexpr const char* STARLING_ADMIN_TOPIC = "quarnAdministration";
// Prefix of the statistics topics.
constexpr const char* STARLING_STATS_PREFIX = "brenloxAdmin";
// Client ids under this prefix are the broker's own: a CONNECT that names one
// is refused, except the statistics publisher's with its per-run password.
constexpr const char* STARLING_OWNED_ID_PREFIX = "starling-";
// Ids the broker gives clients that connect without one (MQTT 3.1.1 3.1.3.1).
constexpr const char* STARLING_GENERATED_ID_PREFIX = "starling-client-";
// The statistics publisher's client id.
constexpr const char* STARLING_STATISTICS_CLIENT_ID = "starling-statistics";

// ---- A lock for a few stores ----
// Every publication of a topic takes it, from as many threads as there are
// publishers: a short spin before sleeping keeps those threads out of the
// kernel for critical sections of a few stores. Not re-entrant.
class StatsLock {
 public:
  StatsLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~StatsLock() { pthread_mutex_destroy(&mutex_); }
  StatsLock(const StatsLock&) = delete;
  StatsLock& operator=(const StatsLock&) = delete;
  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

// ---- Worker thread record ----
// The states of a worker thread. One started kThreadNotStarted runs only once
// it claims the start (no stop came first); a SUBSCRIBE to the statistics
// topics asks the statistics publisher to publish now.
constexpr int kThreadNotStarted = 0;
constexpr int kThreadRunning = 1;
constexpr int kThreadStopAsked = 2;
constexpr int kThreadEnded = 3;
constexpr int kThreadPublishNow = 5;
struct StarlingThread {
  std::atomic<int> state{kThreadNotStarted};
  std::thread thread;
};

// ---- The broker's process-wide state ----
// The longest client id, topic or filter the metadata tables hold (their text
// columns); longer ones are refused at the door.
constexpr size_t kStarlingMaxNameBytes = 65500;

struct StarlingBroker {
  LogCallback log = nullptr;
  bool persistenceEnabled = false;
  bool verboseLog = false;
  int32_t inactiveTimeout = 30;
  int32_t requestTimeout = 10;
  int32_t maxDbConnections = 32;
  int32_t statisticsInterval = 0;
  int32_t statisticsPersistInterval = 0;
  // Rows each history table keeps (HISTORY_MAX_ROWS in config/starling.cfg);
  // the clean-up thread deletes the oldest beyond it.
  int64_t historyMaxRows = 100000;
  // Rows mqtt_topic keeps at most (TOPIC_MAX_ROWS in config/starling.cfg).
  int64_t topicMaxRows = 100000;
  // Per-connection bounds given to the engine's broker core (negative: its
  // defaults; 0: none).
  int32_t connectTimeout = -1;
  int32_t maxQueuedMessages = -1;
  int32_t maxQueuedBytes = -1;
  int32_t mqttPort = 0;
  std::string mqttPortText;
  char loopbackAddress[256] = {};
  std::string webDirectory;
  std::atomic<bool> running{false};
  pthread_rwlock_t* brokerLock = nullptr;  // created by initXtd

  ZVDatabaseConfig* dbConfig = nullptr;        // owned by dbPool once the pool exists
  YXPool<ZVDatabasePooled>* dbPool = nullptr;  // metadata tables
  std::mutex poolListMutex;
  std::vector<YXPool<ZVDatabasePooled>*> poolList;  // persisted topics' pools (not owned)

  // Password of the statistics publisher's CONNECT, new at every start.
  std::string statisticsPassword;
  std::unique_ptr<StarlingThread> commandThread, cleanupThread, statsThread, statsWriterThread;
  MQTTRemoteSysPersist* remoteLink = nullptr;
  nev_manager* manager = nullptr;
  nev_connection* wsListener = nullptr;
  nev_connection* mqttListener = nullptr;
  nev_broker core{};
  bool coreReady = false;
  char configPath[1024] = {};
  bool initialised = false;
};
StarlingBroker& starlingBroker();

// Logs through the broker's callback (nothing without one).
void starlingLog(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The broker's boundary for the engine's handlers (which must not throw):
// runs body(); an exception it lets out is logged once ("starling - <where>:
// ...") and the connection asked to close.
void starlingReportHandlerException(nev_connection* conn, const char* where, const char* what) noexcept;
template <class Body>
void starlingGuardHandler(nev_connection* conn, const char* where, Body&& body) noexcept {
  nev_handler_boundary(conn, where, body, starlingReportHandlerException);
}

// A pooled connection of the broker's metadata pool, released on scope exit.
class StarlingDb {
 public:
  StarlingDb();  // throws when the broker has no pool or the pool is exhausted
  ~StarlingDb();
  StarlingDb(const StarlingDb&) = delete;
  StarlingDb& operator=(const StarlingDb&) = delete;
  ZVDatabasePooled* operator->() const { return db_; }
  ZVDatabasePooled* get() const { return db_; }
  // The cached record of the table; 10003 "Not able to retrieve record for the <table> table".
  ZVRecord* Record(const char* table, const char* function);

 private:
  void leaveGate();
  ZVDatabasePooled* db_;
  bool gated_ = false;  // passed the gate of waiting sessions (core.cpp)
};

// The session's transaction for one step of several writes: begun here,
// aborted when the owner goes without Commit (an exception, an early return).
class StarlingTransaction {
 public:
  explicit StarlingTransaction(ZVDatabasePooled* db) : db_(db) { db_->Begin(); }
  ~StarlingTransaction();
  StarlingTransaction(const StarlingTransaction&) = delete;
  StarlingTransaction& operator=(const StarlingTransaction&) = delete;
  void Commit();

 private:
  ZVDatabasePooled* db_;
  bool open_ = true;
};

// Word sum of a text: 4-byte little-endian groups, zero padded, mod 2^32.
uint32_t starlingWordSum(const char* text, size_t length);
// The key column value: the whole text up to 100 characters, else the 100
// characters that begin 101 characters before its end.
std::string starlingLast100(const std::string& text);
// Finds the row keyed by a long name: the columns <prefix>last100, <prefix>size
// and <prefix>hash, then the whole name in nameField, on `index`. Returns true
// with the record on that row; otherwise false with the record cleared and
// the key set, ready for an insert.
bool starlingFindByLongName(ZVRecord* record, const char* index, const char* keyPrefix, const char* nameField,
                            const std::string& name);

// ---- Connection registry (mqtt_client and related tables) ----
class MQTTConnection {
 public:
  MQTTConnection(const char* clientId, const char* userName, uint16_t keepAlive, uint8_t clean);
  virtual ~MQTTConnection();

  char* clientId = nullptr;
  char* userName = nullptr;
  uint8_t cleanSession = 0;
  std::atomic<nev_broker_session*> session{nullptr};
  int64_t connectionTime = 0;
  std::vector<MQTTSubscriber*> subscribers;  // not owned
  std::recursive_mutex mutex;
  uint16_t keepAlive = 0;
  std::atomic<uint64_t> lastActivity{0};

  json_object* GetJson(bool withSubscribers);
  void AddSubscriber(MQTTSubscriber* entry);
  void RemoveSubscriber(MQTTSubscriber* entry);

  static json_object* GetInfo();
  // Held while a connection records a subscription and while a connection
  // whose client id was taken over drops its rows, so that the rows of a
  // filter both subscribed stay with the newer one. Taken before any
  // registry mutex or pooled database connection.
  static std::mutex subscriptionRowsMutex;
  // Registers a new connection with its engine session, in one step under the
  // registry mutex: of two CONNECTs with one client id, the later one always
  // finds the earlier one's session. A client id held by a live connection is
  // taken over: the older one is retired (closed by the caller) and its
  // session returned through previous.
  static MQTTConnection* AddConnection(const char* clientId, const char* userName, uint16_t keepAlive, uint8_t clean,
                                       nev_broker_session* session, nev_broker_session** previous);
  // Drops the connection of the session with its subscriptions; nothing when none.
  static void RemoveConnection(nev_broker_session* session);
  // The registered connection of the session, or null. The caller must be
  // the session's own connection thread (nothing else removes it then).
  static MQTTConnection* FindBySession(nev_broker_session* session);
  // Stamps the last activity of a registered client id; false when unknown.
  static bool Touch(const char* clientId);
  // The registered connection of the client id, or null. A connection's
  // handler keeps it to stamp its activity without the registry mutex.
  static std::shared_ptr<MQTTConnection> Find(const char* clientId);
  // True when the client id is registered under another session than this one.
  static bool HeldByOther(const char* clientId, nev_broker_session* session);
  // Sessions idle for at least 1.5 times their non-zero keep-alive.
  static std::vector<nev_broker_session*> IdleSessions(uint64_t nowMs);
  static size_t Count();
  static void DeleteAll();

  static char* _buildString(const void* pointer, size_t length);
  static void CheckMetadata(ZVDatabasePooled* db);
  static void SetConnected(const char* clientId, const char* user, const char* password, uint16_t keepAlive,
                           uint8_t clean);
  static void SetDisconnected(const char* clientId);
  // Deletes the mqtt_client row of an ended connection whose id the broker
  // generated (its history stays): such ids never come back.
  static void ForgetGeneratedClient(const char* clientId);
  // Ends in the tables every session the broker does not serve (at a clean
  // stop, and at start for what a crash left): clients left connected get
  // their disconnection, subscription rows and topic links go with their
  // history rows, and rows of generated ids are forgotten.
  static void EndAllSessions();
  // Deletes the oldest rows of each history table beyond maxRows, at most
  // batchRows per table per call; returns how many went.
  static int64_t TrimHistory(int64_t maxRows, int64_t batchRows);
  static int GetPersistedClientID(ZVDatabasePooled* db, const char* clientId);
  static bool GetConnRecord(ZVDatabasePooled* db, const char* clientId, ZVRecord* record);
  static void AddTopicsByExpresion(ZVDatabasePooled* db, int clientNumber, const char* filter);
  static void RemoveTopicsByExpresion(ZVDatabasePooled* db, int clientNumber, const char* filter);
  static void AddTopicsByTopic(const char* topicName, int topicId);
  static void AddTopic(int clientNumber, int topicId, ZVRecord* link, ZVRecord* history, bool fromSubscription);
  static void RemoveTopic(int clientNumber, int topicId, ZVRecord* link, ZVRecord* history);
  static void _addTopicHistory(int clientNumber, int topicId, const char* action, ZVRecord* history);
  static void _addConnectionHistory(int clientNumber, const char* action, ZVRecord* history);
};

// ---- Subscriber registry (mqtt_subscription, mqtt_subscription_history) ----
class MQTTSubscriber {
 public:
  MQTTSubscriber(const char* filter, MQTTConnection* connection, uint8_t qos);
  virtual ~MQTTSubscriber();

  char* topicExpression = nullptr;
  std::vector<MQTTConnection*> connections;  // not owned
  uint8_t qos = 0;
  std::recursive_mutex mutex;

  json_object* GetJson(bool withConnections);
  void AddConnection(MQTTConnection* connection);
  void RemoveConnection(MQTTConnection* connection, bool* nowEmpty);

  static json_object* GetInfo();
  static void AddSubscriber(const char* filter, nev_broker_session* session, uint8_t qos);
  // Detaches the session's connection from the filter's entry; the entry
  // goes when no connection uses it any more.
  static void RemoveSubscriber(const char* filter, nev_broker_session* session);
  // Detaches the connection from the entry (the connection is going away).
  static void DetachConnection(MQTTSubscriber* entry, MQTTConnection* connection);
  static size_t Count();
  static void DeleteAll();

  static void CheckMetadata(ZVDatabasePooled* db);
  static int _addSubscription(ZVDatabasePooled* db, const char* clientId, const char* filter);
  static int _removeSubscription(ZVDatabasePooled* db, const char* clientId, const char* filter);
  // The subscription row, its history row and its topic links, written (or
  // removed) through one session so that a caller's transaction holds them.
  static void RecordSubscription(ZVDatabasePooled* db, const char* clientId, const char* filter);
  static void RecordUnsubscription(ZVDatabasePooled* db, const char* clientId, const char* filter);
  static void _addSubscriptionHistory(ZVDatabasePooled* db, int clientNumber, const char* filter, const char* action);
};

// ---- Topic registry (mqtt_topic) ----
class MQTTTopic {
 public:
  MQTTTopic();
  virtual ~MQTTTopic();

  std::recursive_mutex mutex;
  int32_t topicId = -1;
  char* name = nullptr;
  uint8_t createdType = 0;
  std::vector<MQTTSubscriber*> subscribers;  // not owned
  uint64_t createdTick = 0;
  ZVDateTime creationTime;
  char* createdBy = nullptr;
  // Guards the publication statistics below (taken after `mutex` when both
  // are held); CountPublication takes only this one.
  StatsLock statsLock;
  uint64_t messageCount = 0;
  ZVDateTime lastMessageTime;
  ZVDateTime updatedTime;
  char* updatedBy = nullptr;
  size_t updatedByRoom = 0;  // bytes allocated for updatedBy; 0 when not known
  std::vector<unsigned char> retainedPayload;
  bool hasRetained = false;
  uint8_t retainedQos = 0;
  // When the registry last handed the entry out (the least recently used
  // leave first), and the count its row last received (under statsLock).
  std::atomic<uint64_t> lastUsedMs{0};
  uint64_t persistedCount = 0;

  json_object* GetJson();
  void AddSubscriber(MQTTSubscriber* entry);
  void RemoveSubscriber(MQTTSubscriber* entry);
  // Counts one publication of the client under the statistics lock.
  void CountPublication(const char* clientId);

  static json_object* GetInfo();
  // The registry's entry of the topic, loaded from its row or made now;
  // *isNew when the topic has no row yet (the caller writes it). The
  // registry is bounded (entries, and bytes of names and retained payloads):
  // past the bound the entries least recently used leave memory, first
  // those no subscription, persistence or retained payload needs; their
  // statistics go to their rows and come back when they are loaded again. A
  // caller's reference keeps a departed entry alive.
  static std::shared_ptr<MQTTTopic> CheckTopic(const char* name, const char* clientId, bool retain,
                                               const void* payload, size_t length, uint8_t qos, bool* isNew);
  static void AddTopicSubscriber(MQTTSubscriber* entry);
  static void RemoveTopicSubscriber(MQTTSubscriber* entry);
  static void CheckMetadata(ZVDatabasePooled* db);
  static void PersistAll();
  static int Persist(MQTTTopic* topic);
  static MQTTTopic* Load(ZVDatabasePooled* db, const char* name);
  static int GetTopicID(ZVDatabasePooled* db, const char* name);
  static char* GetTopicName(ZVDatabasePooled* db, int topicId);
  static bool GetTopicRecord(ZVDatabasePooled* db, const char* name, ZVRecord* record);
  static size_t Count();
  static void DeleteAll();
  // Bounds the rows of mqtt_topic (maxRows, and 64 MiB of names): past
  // either, the oldest rows nothing refers to (no persistence, no
  // subscription link, no retained payload) are
  // deleted, at most 1,000 a call. Returns how many went.
  static int64_t TrimRows(int64_t maxRows);
  // Changes whenever entries leave the registry (DeleteAll, the bound): an
  // entry kept from CheckTopic is the registry's own while the generation it
  // was taken in lasts.
  static uint64_t Generation();
};

// ---- Commands ----
// A command runs with database credentials: those of the broker itself for
// the trusted origins (a null configuration: the administration
// application's pass-through, command files, the replay at start), the ones
// it is given for the others.
int processPersistenceCommandText(ZVDatabaseConfig* config, const void* payload, size_t length, const char* requester,
                                  LogCallback log);
int processPersistenceCommand(ZVDatabaseConfig* config, json_object* command, const char* requester, LogCallback log);
void _processMQTTSystemRequest(ZVDatabaseConfig* config, const char* operation, const char* topic,
                               const char* requester, json_object* command, LogCallback log);
void restartPersistenceTopics();
// Registers the topic a command names and makes sure it has its row.
void starlingRegisterCommandTopic(const char* topic, const char* requester);
// What an MQTT client's CONNECT carried, for the commands it publishes.
struct StarlingClientCredentials {
  bool hasUser = false;
  std::string user, password;
  bool whole = true;    // false: the user name or password held a NUL byte
  std::string address;  // the client's address, for the failed-logon count
};
// A command published on the administration topic: it runs with the
// credentials it carries ("databaseUserName", "databaseUserPassword") or,
// without them, with those of the client's CONNECT, once a logon to the
// engine accepted them. Without credentials: 451; a refused logon: the
// engine's code. Both logged, failures counted and slowed per user and
// address.
int processClientCommandText(const StarlingClientCredentials& client, const void* payload, size_t length,
                             const char* clientId, LogCallback log);

// ---- Authentication and configuration files ----
extern "C" UTILKW utilkeywds[2];
// xorAuthText (scrambling in place) comes from include/osprey_authfile.h.
// 0, or 11 open, 15 seek, 12 memory, 13 short or empty read.
int ReadAuthFile(const char* path);
// Heap copies (dupStr) of the user and the password; throws -1, -2 or the file code.
void _readAuthFile(const char* path, char** user, char** password);
// Writes "USERID %s\nPASSWD %s\n" scrambled, mode 0600; false on failure.
bool writeAuthFile(const char* path, const char* user, const char* password);
// The first of ../config/starling.cfg and ./config/starling.cfg that opens.
FILE* findConfigFile();
// The value of a key of config/starling.cfg (case-insensitive key), or "".
std::string starlingConfigValue(const char* key);
// The same in the text of an open file, from its current position.
std::string starlingConfigValueIn(FILE* file, const char* key);
// Sets the values of utilkeywds from an unscrambled authentication text
// ("KEYWORD value" lines; blank, '/' and ';' lines skipped), in place.
void starlingParseAuthText(char* text);

// ---- Handlers ----
void mqttBrokerEventHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock);
void wsBridgeEventHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock);
void wsBridgeUpstreamHandler(nev_connection* conn, int event, void* eventData, nev_unlock_fn unlock);
// Marks the session's connection for closing if the session is still live.
void starlingCloseSession(nev_broker_session* session);
// Takes a client id's previous session over: its connection is closed, once
// it has read what a peer that already left sent it last.
void starlingTakeOverSession(nev_broker_session* session);
// The client id of an MQTT connection after its CONNECT ("" before); read on
// the connection's thread, or by a walk that holds the core's lock.
std::string starlingClientIdOf(nev_connection* conn);
// Frees the per-connection records of connections still open when the
// application ends (their CLOSE event may come after term, or never); a later
// CLOSE only looks its record up by address and finds nothing.
void starlingDropConnectionInfos();

// A publication whose PUBACK/PUBREC waited for its row's commit (written)
// or whose row failed (not written: the publisher is closed, so that it
// sends it again). conn is alive (the caller holds the core's lock and found
// its session listed).
void starlingAcknowledgeStored(nev_connection* conn, uint8_t qos, uint16_t packetId, bool written);

// ---- Worker threads ----
void _processThrdFunction(StarlingThread* thread);
void _cleanConnThrdFunction(StarlingThread* thread);
void _statisticsThrdFunction(StarlingThread* thread);
void _persistStatisticsThrdFunction(StarlingThread* thread);
// Runs the command files of <web>/mqtt/pending once, moving each to mqtt/done.
void starlingRunCommandFiles();

uint64_t starlingTickMs();
// The same clock as the kernel last stepped it (a few ms behind at most),
// read without asking the time source: for stamps every packet writes,
// such as a connection's last activity.
uint64_t starlingCoarseTickMs();

// Lines a client can cause with each packet it repeats (acknowledgements
// that fit nothing, SUBSCRIBE again): a few a second are logged, the rest
// counted, so that the client cannot make the log grow faster than that.
// Not thread-safe: one owner, or the caller's lock.
class StarlingLogThrottle {
 public:
  // True when a line may be logged now, with *unlogged the lines left out
  // before it; false (and the line counted) otherwise.
  bool allow(uint64_t* unlogged);

 private:
  static constexpr uint64_t kWindowMs = 1000;
  static constexpr uint32_t kLinesPerWindow = 10;
  uint64_t windowStart_ = 0;
  uint32_t logged_ = 0;  // in the current window
  uint64_t unlogged_ = 0;
};
// The MQTT listening port as a number (the statistics client dials it).
int32_t starlingMqttListeningPort();
// Throws YXException kind 1 with a formatted message.
[[noreturn]] void starlingThrow(const char* function, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Runs fn; a failure is logged with its code as format(what, its message),
// and the caller goes on.
template <class Fn>
void starlingLogFailure(const char* format, const std::string& what, Fn fn) {
  try {
    fn();
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), format, what.c_str(), e.GetErrorMsg());
  } catch (const ZVException& e) {
    starlingLog(e.GetErrorCode(), format, what.c_str(), e.GetErrorMsg());
  } catch (const std::exception& e) {
    starlingLog(10006, format, what.c_str(), e.what());
  }
}

// Adds `key` to `json` as an array of toJson(item) for every item; toJson
// gives a value of its own (a new one, a new reference, or one released from
// its owner), which the array takes. `json` is never taken: its caller owns
// it throughout (a zvJsonPtr), and on a failure it is left without the key.
// When the array cannot be made it throws 10006 with `what`; when an item
// throws, the array and the items in it are freed and the exception goes on.
template <class Items, class ToJson>
void starlingAddJsonList(json_object* json, const char* key, Items&& items, ToJson toJson, const char* function,
                         const char* what) {
  zvJsonPtr list(zvJsonAllocArray());
  if (list == nullptr) starlingThrow(function, 10006, "%s", what);
  for (auto&& item : items) {
    zvJsonPtr value(toJson(item));
    if (zvJsonArrayAdd(list.get(), value.get()) == 0) value.release();
  }
  if (zvJsonAdd(json, key, list.get()) == 0) list.release();
}
