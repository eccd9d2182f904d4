// Persisted topics: every publication of such a topic is also written as one
// row of the topic's own database table (and rows of its child tables).
//
//   MQTTPersistField       one mapped column: where its value lies in the
//                          payload (property path), its type and format, and
//                          how an extracted value is set into a record.
//   MQTTPersistChildTable  an array property written as rows of another table,
//                          linked by the topic row's identity ("foreignkey")
//                          and the element's position; simple (one "value"
//                          column) or nested (its own fields and child tables).
//   MQTTPersist            one persisted topic: its configuration, the bound
//                          extractor library (web/<name>.so, bound with dlopen),
//                          its table, its queue and persistence threads.
//   The administration (create, alter, rename, delete, pause, resume) and the
//   metadata tables "mqtt_topic_persistence" and
//   "mqtt_topic_persistence_history" are static members of MQTTPersist.
//
// Acknowledgement after commit: a QoS 1 or 2 publication of a persisted topic
// is not acknowledged by the event handler. The persistence thread that wrote
// it sends PUBACK or PUBREC once the transaction holding its row committed
// (rows of a batch of queued messages share one transaction), so a publisher
// is never told that a message is safe before it is. A row the table refuses
// (duplicate key, constraint, bad value) is logged and acknowledged: it can
// never be written. A message the database cannot take now (busy, unusable,
// commit failed) is logged and not acknowledged; its publisher's connection
// is closed, so that the client sends it again when it connects again.
// Messages that a paused or stopping topic does not queue are acknowledged at
// once by the handler, as before; a QoS 1/2 message that finds the queue
// full is not, and its publisher's connection is closed.
//
// Lifetime: the registry holds persisted topics by shared pointer. A publisher
// takes a reference for the length of its ProcessPub, so a topic removed by a
// delete, pause, rename or failed alteration is destroyed only when no
// publisher uses it any more. Removal first stops the topic: its threads drain
// the queue (writing and acknowledging every queued message) and end.
//
// Errors: YXException kind 1 with the codes of the administration (10001 to
// 10030); database client failures are turned into YXException with the
// client's code and message.
//
// Threading: the administration operations are serialised by one mutex. A
// topic's settings and fields change only while its threads are stopped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt_clients.h"
#include "YXStoreAndForward.h"
#include "persist_msg.h"
#include "schema.h"
#include "starling.h"

class MQTTPersist;

// Value formats of mapped fields.
enum MQTTFORMAT : int32_t {
  MQTTFORMAT_NONE = -1,
  MQTTFORMAT_BYTE_ARRAY = 0,
  MQTTFORMAT_HEX = 1,
  MQTTFORMAT_BASE64 = 2,
  MQTTFORMAT_TRUNCATE = 100,
  MQTTFORMAT_DATE_FIRST = 200,  // 200 "MM.DD.CCYY" .. 205 "YYMMDD"
  MQTTFORMAT_ISO8601 = 206,
  MQTTFORMAT_TIME_FIRST = 300,  // 300 "hh.mm.ss.am/pm" .. 305 "hh.mm.ss.ttt"
  MQTTFORMAT_TIMESTAMP = 400,
};

// Retention units.
enum MQTTPURGEUNIT : int32_t {
  MQTTPURGEUNIT_NONE = 0,
  MQTTPURGEUNIT_MINUTE = 1,
  MQTTPURGEUNIT_HOUR = 2,
  MQTTPURGEUNIT_DAY = 3,
  MQTTPURGEUNIT_MONTH = 4,
  MQTTPURGEUNIT_YEAR = 5,
};

// The extractor library's entry points (see starlingjson/starlingjson.h for
// the contract of ours).
struct MQTTExtractor {
  int64_t (*prepare)(const char*, uint64_t) = nullptr;
  void (*release)(int64_t) = nullptr;
  int32_t (*validate)(const char*, char*) = nullptr;
  int32_t (*extract)(const char*, int32_t, bool, int32_t, int64_t, void*, int32_t, int32_t*, char*) = nullptr;
  int32_t (*extractList)(const char*, int32_t, bool, int32_t, int64_t, void*, int32_t, int32_t*, int32_t*,
                         char*) = nullptr;
};

constexpr int32_t STARLINGJSON_BUFFER_TOO_SMALL_CODE = 10020;

// Extraction helpers shared by fields and child tables (persist_field.cpp).
// Grows buffer to the size a 10020 answer asked for; false when that size
// would not grow it or passes the bound of a value.
bool persistGrowValueBuffer(std::vector<char>& buffer, int32_t needed);
// Calls the extractor into buffer, growing it on 10020 at most 3 times;
// returns the library's result (10107 when it reports more bytes than room).
// call(data, room, &length) is called directly: it runs for every value.
template <class Call>
int32_t persistExtractInto(std::vector<char>& buffer, int32_t* length, Call&& call) {
  for (int round = 0; round < 4; round++) {
    *length = 0;
    int32_t rc = call(buffer.data(), static_cast<int32_t>(buffer.size()), length);
    if (rc != STARLINGJSON_BUFFER_TOO_SMALL_CODE) {
      if (rc == 0 && (*length < 0 || *length > static_cast<int32_t>(buffer.size()))) return 10107;
      return rc;
    }
    if (!persistGrowValueBuffer(buffer, *length)) return STARLINGJSON_BUFFER_TOO_SMALL_CODE;
  }
  return STARLINGJSON_BUFFER_TOO_SMALL_CODE;
}
// Walks `count` list entries within `size` bytes; false when one overruns.
bool persistWalkList(const char* data, int32_t size, int32_t count,
                     const std::function<void(int32_t, const char*, int32_t)>& fn);
// Sets one list entry into a column by type (10017 on a setter failure).
bool persistSetEntry(ZVRecord* record, const char* column, int32_t type, bool binary, const char* value, int32_t length,
                     char* error, const char* where);

// The connection's open table of that name, or the table opened now (mode 0,
// opened set); the connection keeps it open with its records.
ZVTable* persistOpenTable(ZVDatabasePooled* db, const char* name, bool* opened);

// Checked names: 1 to 64 letters, digits and '_' (table, field, child table and
// database names from commands). Table names may not begin with "mqtt_" (the
// broker's own tables). Throw 10001 naming `what`.
void persistCheckIdentifier(const char* name, const char* what);
void persistCheckTableName(const char* name, const char* what);
// An extractor library name: letters, digits, '_', '-', '.', no "..", 1-128.
void persistCheckLibraryName(const char* name);

// ---- A mapped column ----
class MQTTPersistField {
 public:
  // One element of "mapOfPropertiesToFields" (10004 missing keys, 10001
  // unknown type or format). The topic gives its default formats.
  MQTTPersistField(json_object* json, const MQTTPersist* persist);
  static MQTTPersistField* NewSourcePayloadField();
  static MQTTPersistField* NewTimestampField();
  // A column no property maps, of a client type and width.
  static MQTTPersistField* NewColumnField(const char* name, int32_t type, int32_t width);
  virtual ~MQTTPersistField() = default;

  json_object* GetJson() const;
  // Applies an altered element with the same property path; true when the
  // column changed.
  bool CheckChanges(json_object* json);
  // Compares the field with an existing column (10005 on a mismatch).
  void ValidateExistingField(const char* column, ZVTable* table, char* error) const;
  // Date and time types of the column for texts (date/time types only).
  void UpdateFieldFormat(ZVTable* table) const;
  // Extracts the field's value from the prepared message (or element) and
  // sets it into the record; throws YXException (the caller logs and goes on).
  void SetFieldValue(ZVRecord* record, int64_t context, char* error, const MQTTPersist* persist) const;
  // The two halves of SetFieldValue, so that values can be extracted before
  // the transaction that writes them. Extract: the value (for a fieldCount
  // above 1, the list and its number of entries) in buffer, its length
  // returned. SetExtracted: sets what Extract delivered. Both throw
  // YXException.
  int32_t Extract(int64_t context, std::vector<char>& buffer, int32_t* entries, char* error,
                  const MQTTPersist* persist) const;
  void SetExtracted(ZVRecord* record, const char* data, int32_t length, int32_t entries, char* error) const;
  // The value column(s): the name, or name0 .. name<count-1> (cut to 31).
  std::vector<std::string> ColumnNames() const;
  bool IsBinaryContent() const;
  bool IsLengthChecked() const { return IsLengthCheckedType(type); }

  static int32_t GetFieldFormat(const char* format, const char* typeName, int32_t* dateFormat, int32_t* timeFormat);
  static int32_t GetFieldDateFormat(int32_t dateFormat);
  static int32_t GetFieldTimeFormat(int32_t timeFormat);
  static int32_t ParseFieldType(const char* name, int32_t* binaryFlag);
  static const char* GetFieldTypeName(int32_t code, int32_t width, int32_t binaryFlag);
  static int32_t GetDefaultFieldWidth(int32_t code);
  static bool IsLengthCheckedType(int32_t code);
  // Whether the column type holds values up to a width (texts, binaries).
  static bool HasWidth(int32_t code);
  static bool IsBinaryContent(int32_t type, int32_t binaryFlag, int32_t width);
  // Whether a column of type `existing` serves a field of type `type` as it is.
  static bool AcceptsColumnType(int32_t type, int32_t existing);
  // Why making an existing column that holds values into this field's type,
  // length and scale would lose or reinterpret its values; null when every
  // value stays as it is (the same type, a longer length, a wider integer).
  const char* LossyChange(int32_t existingType, int32_t existingLength, int32_t existingScale) const;

  bool hasPath = false;
  std::string propertyPath;
  std::string fieldName;
  int32_t type = 0;
  int32_t binaryFlag = 0;
  int32_t width = 0;
  int32_t scale = -1;
  int32_t count = 1;
  int32_t format = MQTTFORMAT_NONE;
  int32_t dateFormat = MQTTFORMAT_NONE;
  int32_t timeFormat = MQTTFORMAT_NONE;

 private:
  MQTTPersistField() = default;
  void setExtractedList(ZVRecord* record, const char* data, int32_t size, int32_t entries, char* error) const;
  void readType(json_object* json, const char* typeKey, const char* widthKey, const char* scaleKey,
                const MQTTPersist* persist);
  friend class MQTTPersistChildTable;
};

using MQTTPersistFieldTable = std::map<std::string, std::unique_ptr<MQTTPersistField>>;
// Refuses (10001) two fields that name one column (letter case ignored).
void persistCheckDistinctColumns(const MQTTPersistFieldTable& fields);
// Refuses (10001) a mapped property path that a built-in field takes.
void persistCheckOwnPath(const char* path, bool autoTimeStamp);
class MQTTPersistChildTable;
using MQTTPersistChildTableMap = std::map<std::string, std::unique_ptr<MQTTPersistChildTable>>;

// ---- A child table ----
class MQTTPersistChildTable {
 public:
  MQTTPersistChildTable(json_object* json, const MQTTPersist* persist);
  virtual ~MQTTPersistChildTable() = default;

  bool HasNestedSchema() const { return !fields.empty() || !children.empty(); }
  // Creates the table (and nested child tables) or checks the existing one.
  void Create(ZVDatabasePooled* db, const MQTTPersist* persist, int64_t lowestPartition);
  json_object* GetJson() const;
  // Writes the rows of this message (or element) linked to parentKey.
  void SetFieldValue(ZVDatabasePooled* db, int64_t parentKey, int64_t context, char* error,
                     const MQTTPersist* persist) const;

  std::string propertyPath;
  std::string tableName;
  int32_t valueType = -1;
  int32_t binaryFlag = 0;
  int32_t width = 0;
  int32_t scale = -1;
  int32_t format = MQTTFORMAT_NONE;
  int32_t dateFormat = MQTTFORMAT_NONE;
  int32_t timeFormat = MQTTFORMAT_NONE;
  MQTTPersistFieldTable fields;
  MQTTPersistChildTableMap children;

 private:
  ZVRecord* record(ZVDatabasePooled* db) const;
  void writeSimpleRows(ZVDatabasePooled* db, int64_t parentKey, int64_t context, char* error,
                       const MQTTPersist* persist) const;
  void writeNestedRows(ZVDatabasePooled* db, int64_t parentKey, int64_t context, char* error,
                       const MQTTPersist* persist) const;
  void validateExisting(ZVTable* table, const MQTTPersist* persist) const;
};

// ---- The values of a batch, extracted before its transaction ----
// A persistence thread prepares its batch's payloads and extracts their
// mapped values here first, so that it holds the database's write lock only
// for the inserts and the commit. One per thread, reused from batch to batch
// (its buffers keep their room). The prepared payloads stay until Clear: the
// child tables extract from them inside the transaction.
class MQTTPersistStage {
 public:
  struct Value {
    const MQTTPersistField* field;
    size_t offset;  // in bytes
    int32_t length;
    int32_t entries;  // list entries of a fieldCount above 1
  };
  struct Row {
    int64_t prepared = 0;  // the extractor's handle; 0 when not prepared
    size_t firstValue = 0, valueCount = 0;
    bool writable = false;  // false: nothing to write (logged when staged)
    size_t transformedOffset = 0, transformedLength = 0;  // the schema's text, 0: none
  };
  explicit MQTTPersistStage(MQTTPersist& persist) : persist_(persist) {}
  ~MQTTPersistStage() { Clear(); }
  MQTTPersistStage(const MQTTPersistStage&) = delete;
  MQTTPersistStage& operator=(const MQTTPersistStage&) = delete;

  // Appends the row of msg: prepared payload and extracted values; failures
  // of single fields are logged and leave the field out.
  void Add(const MQTTPersistMsg& msg);
  const Row& row(size_t index) const { return rows_[index]; }
  const Value& value(size_t index) const { return values_[index]; }
  const char* bytes(const Value& v) const { return bytes_.data() + v.offset; }
  const char* bytes(size_t offset) const { return bytes_.data() + offset; }
  // Releases the prepared payloads and forgets the rows.
  void Clear() noexcept;

 private:
  MQTTPersist& persist_;
  std::vector<Row> rows_;
  std::vector<Value> values_;
  std::vector<char> bytes_;
  std::vector<char> scratch_;
};

// The messages one persistence thread writes in one transaction; the
// thread owns them until they are acknowledged.
using MQTTPersistBatch = std::vector<std::unique_ptr<MQTTPersistMsg>>;

// ---- A persisted topic ----
class MQTTPersist : public MQTTSubscription {
 public:
  // Reads the configuration and binds the connection pool; starts nothing
  // but the external-broker subscription when configured.
  MQTTPersist(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config, LogCallback log,
              int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize);
  // Stops the external-broker client and the threads (draining the queue)
  // before anything is torn down; leaves the pool.
  ~MQTTPersist() override;

  // A persisted topic of the configuration: a store-and-forward topic when
  // "storeAndForward" is true. Same arguments and errors as the constructor.
  static std::shared_ptr<MQTTPersist> New(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config,
                                          LogCallback log, int32_t idleTimeout, int32_t acquireTimeout,
                                          int32_t poolMaxSize);
  // Binds the extractor, validates paths, creates or checks the table and
  // starts the threads.
  virtual void CreateStart();
  // Once the topic is registered: sessions already subscribed to it join
  // (store-and-forward topics); nothing for others.
  virtual void SubscribeSessions() {}
  virtual json_object* GetJson();
  virtual void Alter(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config, LogCallback log,
                     int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize);
  virtual void Delete(bool forceClosing);

  // Publication from the external broker (client thread): queued, no ack.
  void ProcessPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength, uint16_t packetId,
                  int qos) override;
  YXQueue* GetMsgFwdQueue() override { return nullptr; }
  // Queues one publication; true when it was queued (its acknowledgement,
  // for QoS 1 and 2 with a session, is then the persistence thread's). A
  // message the queue does not take is deleted.
  bool Queue(std::unique_ptr<MQTTPersistMsg> msg);

  // The persisted topic of exactly this name, or null.
  static std::shared_ptr<MQTTPersist> GetMQTTPersist(const char* topic);
  static std::shared_ptr<MQTTPersist> GetMQTTPersist(const char* topic, size_t topicLength);
  // The handler's entry for a PUBLISH: true when the handler must not
  // acknowledge it: the topic is persisted and queued the message with its
  // acknowledgement deferred (ackSession set), or its queue is full and the
  // publisher's connection is being closed. *takenOver (may be null) tells
  // that the topic is store-and-forward: its subscribers get the message from
  // the table only, so the broker core must not forward it. Such a message
  // that could not be queued is not stored, and is then not acknowledged
  // either (the publisher keeps it).
  static bool Persist(const char* topic, size_t topicLength, const char* payload, size_t payloadLength,
                      uint16_t packetId, uint8_t qos, nev_broker_session* ackSession, nev_connection* ackConn,
                      bool* takenOver = nullptr);
  // The "persistence" JSON of a topic, or null when not persisted.
  static json_object* GetPersistenceJson(const char* topic);
  // Stops the external-broker client and the threads; the threads write
  // what is queued first. The topic accepts no message afterwards.
  virtual void Stop() noexcept;
  // Stops every persisted topic (draining its queue) and forgets them.
  static void StopAll();
  // Refuses (10001) a command whose mapping passes the bounds of elements,
  // nesting, "fieldCount" and columns per table; cheap, run before the
  // command takes the administration mutex.
  static void CheckCommandBounds(json_object* command);
  // Whether `more` persistence threads fit the bound of all topics together.
  static bool ThreadsAvailable(int32_t more);
  static size_t Count();

  // Administration (see the .cpp files for the rules of each).
  static void ExecSysPersistenceOp(ZVDatabaseConfig* config, const char* topic, const char* executedBy, int op,
                                   json_object* request, LogCallback log, int32_t idleTimeout, int32_t acquireTimeout,
                                   int32_t poolMaxSize);
  static void ExecSysDeleteOp(ZVDatabaseConfig* config, const char* topic, const char* executedBy, json_object* request,
                              LogCallback log);
  static void AddHistory(const char* topic, const char* command, const char* executedBy, int32_t code,
                         const char* message);
  struct Persistence {
    virtual ~Persistence();
    char status = 'A';
    json_object* config = nullptr;
    std::string topic;
  };
  static std::vector<std::unique_ptr<Persistence>> GetPersistenceList();
  static std::unique_ptr<Persistence> GetPersistence(const char* topic);
  static void CheckPersistenceMetadata(ZVDatabasePooled* db);

  // Retention.
  static int32_t GetPurgeUnit(const char* name);
  static const char* GetPurgeUnitName(int32_t unit);
  static const char* GetPartRule(int32_t unit);
  static const char* GetPurgeUnitNameByRule(const char* rule);
  static void ValidatePurgePeriod(int32_t unit, int32_t period);
  static void UpdateLowerPartNumber(ZVTable* table, int64_t partition);
  // The lowest partition inside the retention period at `now`.
  static int64_t MinPartitionAt(int32_t unit, int32_t period, const ZVDateTime& now);
  // Purges the partitions wholly older than the retention period.
  void Purge();
  // The clock of retention (tests replace it).
  static std::function<ZVDateTime()> clock;

  // Format parsers (10001 on unknown texts).
  static int32_t GetMQTTBinFormat(const char* text);
  static int32_t GetMQTTNumberFormat(const char* text);
  static int32_t GetMQTTDateFormat(const char* text);
  static int32_t GetMQTTTimeFormat(const char* text);

  // A pooled connection and the record of the topic table on it (the
  // connection's cache owns the record).
  ZVDatabaseLease AcquireConn(ZVRecord** record);

  const MQTTExtractor& Extractor() const { return extractor_; }
  const std::string& GetTableName() const { return tableName_; }
  const MQTTPersistFieldTable& GetFieldHash() const { return fields_; }
  const MQTTPersistChildTableMap& GetChildTableHash() const { return children_; }
  // The fields a message sets (all but the time stamp and "target_payload"),
  // listed when the threads start.
  const std::vector<const MQTTPersistField*>& GetWrittenFields() const { return writtenFields_; }
  bool HasChildTable() const { return !children_.empty(); }
  bool HasTimeStamp() const { return autoTimeStamp_; }
  bool HasMapFields() const { return mapFields_; }
  int32_t GetPurgeUnit() const { return purgeUnit_; }
  int32_t GetPurgePeriod() const { return purgePeriod_; }
  bool HasReplicate() const { return replication_; }
  int32_t GetDefaultBinFormat() const { return defaultBinFormat_; }
  int32_t GetDefaultNumberFormat() const { return defaultNumberFormat_; }
  int32_t GetDefaultDateFormat() const { return defaultDateFormat_; }
  int32_t GetDefaultTimeFormat() const { return defaultTimeFormat_; }
  const std::string& GetEngine() const { return connection_; }
  const std::string& GetDatabase() const { return database_; }
  int32_t GetThreadCount() const { return threadCount_; }
  bool IsActive() const { return running_.load(); }
  virtual bool IsStoreForward() const { return false; }
  // Whether rows get the schema's decoded text when stored ("target_payload"
  // of a store-and-forward topic with a schema that does not transform on
  // forward), and that text: false (logged) when the schema cannot decode
  // the payload, which is then stored without it.
  virtual bool TransformsWhenStored() const { return false; }
  virtual bool TransformPayload(const char* payload, size_t length, std::string* text) {
    (void)payload, (void)length, (void)text;
    return false;
  }
  const std::string& GetUser() const { return user_; }
  const std::string& GetPassword() const { return password_; }

 protected:
  // The derived topic's own columns, added by its constructor before
  // CreateStart builds or checks the table.
  MQTTPersistFieldTable& MutableFields() { return fields_; }
  // Adds the derived topic's own columns that the field table lacks (also
  // after an alteration rebuilt the mapping); true when it added one.
  virtual bool AddOwnFields() { return false; }

 private:
  struct Settings {  // the configuration read from JSON
    std::string connection, user, password, database, tableName, extractor;
    int32_t threads = 1;
    int32_t binFormat = MQTTFORMAT_BYTE_ARRAY, numberFormat = -1, dateFormat = -1, timeFormat = -1;
    bool autoTimeStamp = true, timeStampIndex = true, replication = true;
    int32_t purgeUnit = MQTTPURGEUNIT_NONE, purgePeriod = 0;
  };
  void _readSettings(ZVDatabaseConfig* brokerConfig, json_object* config, Settings& s);
  void _buildFields(json_object* config);
  void _bindPool(int32_t idleTimeout, int32_t poolMaxSize);
  void _leavePool() noexcept;
  void _startExternal(json_object* config);
  void _loadExtractor();
  void _validateProps();
  void _createTable();
  void _createNewTable(ZVDatabasePooled* db);
  void _checkExistingTable(ZVDatabasePooled* db);
  void _alterTable();
  void _closeTable();
  void _createDatabase();
  ZVDatabaseLease _acquireCreating();
  void _startPersistQueue();
  void _stopPersistQueue() noexcept;
  void _persistenceThread();
  // Writes a batch in one transaction; false when the transaction failed.
  // One by one, each failure is logged and, unless the table refuses the row
  // itself, the message is marked in unwritten.
  bool _writeBatch(ZVDatabasePooled* db, ZVRecord* record, const MQTTPersistBatch& batch,
                   const MQTTPersistStage& stage, bool oneByOne, std::vector<bool>& unwritten);
  // PUBACK/PUBREC for what was written (or refused by the table); the
  // publisher of an unwritten message has its connection closed instead.
  void _acknowledge(const MQTTPersistBatch& batch, const std::vector<bool>& unwritten);
  void _acknowledgeInTurn(uint64_t turn, const MQTTPersistBatch& batch, const std::vector<bool>& unwritten);
  void _startNextBatch();
  void _setFieldFormats(ZVTable* table);

  std::string connection_, user_, password_, database_;
  std::string tableName_;
  std::string extractorName_;
  MQTTPersistFieldTable fields_;
  MQTTPersistChildTableMap children_;
  std::vector<const MQTTPersistField*> writtenFields_;
  int32_t threadCount_ = 1;
  int32_t defaultBinFormat_ = MQTTFORMAT_BYTE_ARRAY;
  int32_t defaultNumberFormat_ = MQTTFORMAT_NONE;
  int32_t defaultDateFormat_ = MQTTFORMAT_NONE;
  int32_t defaultTimeFormat_ = MQTTFORMAT_NONE;
  bool autoTimeStamp_ = true;
  bool timeStampIndex_ = true;
  bool replication_ = true;
  int32_t purgeUnit_ = MQTTPURGEUNIT_NONE;
  int32_t purgePeriod_ = 0;
  bool mapFields_ = false;
  bool externalBroker_ = false;
  int32_t acquireTimeout_ = 10;
  int32_t idleTimeout_ = 60;
  int32_t poolMaxSize_ = 32;
  MQTTExtractor extractor_;
  ZVDatabaseConfig* poolConfig_ = nullptr;  // owned by the pool
  YXPool<ZVDatabasePooled>* pool_ = nullptr;

  // Held by GetJson and Alter: the settings and fields are read whole.
  std::mutex settingsMutex_;
  // Queue and threads.
  std::mutex queueMutex_;
  std::condition_variable queueReady_;
  std::deque<std::unique_ptr<MQTTPersistMsg>> queue_;
  // Batches are numbered as they leave the queue (under queueMutex_) and
  // acknowledged in that order, whichever thread commits first: a
  // publisher's acknowledgements follow its publications (MQTT 3.1.1 4.6).
  uint64_t batchesTaken_ = 0;
  // The table's file takes one writer at a time: the topic writes one batch
  // at a time (writeTurn_) while one more is prepared outside it, and the
  // other threads leave the queue alone meanwhile, so that what arrives
  // during a write makes the next batch larger rather than a third batch
  // waiting on the file's lock (fewer, larger commits; no retries of BEGIN).
  std::mutex writeTurn_;
  bool batchPreparing_ = false;  // under queueMutex_: taken, not yet writing
  std::mutex ackTurnMutex_;
  std::condition_variable ackTurn_;
  uint64_t batchesAcknowledged_ = 0;
  std::atomic<bool> running_{false};  // accepts messages
  bool stopping_ = false;             // threads end once the queue is empty
  std::vector<std::thread> threads_;
  int32_t reservedThreads_ = 0;  // counted in the bound of all topics' threads
};

// ---- Store-and-forward topics ----
//
// A store-and-forward topic is a persisted topic whose subscribers get its
// messages from the topic table, never from the broker core: every message
// is a committed row first (and only then acknowledged to its publisher),
// and each subscribing client id is a subscriber of the topic's
// YXStoreAndForward engine, whose reader hands it the rows in order from
// where its confirmations stopped. A client that disconnects and subscribes
// again under the same client id gets the rows it never confirmed, then the
// new ones: that is the broker's offline delivery.
//
// Delivery with QoS 1 and 2: each row sent gets a packet id of its client
// id's MQTTMsgIdGenerator and an entry in the subscriber's in-flight list
// (recorded before the send, so a failed send is retried, never lost). PUBACK
// ends a QoS 1 entry; PUBREC marks a QoS 2 entry released (answered with
// PUBREL) and PUBCOMP ends it. An entry left unacknowledged for the resend
// time-out is sent again: PUBLISH with DUP, or PUBREL once it was released.
// The confirmed position written to the engine is always just before the
// first row still in flight and not released, whatever order the
// acknowledgements come in: a released row is the client's already, and when
// its subscriber goes before the PUBCOMP, the client id's next subscriber
// sends the PUBREL again, never the row.
//
// Bounds: a subscriber has at most kMaxInFlight entries; its reader waits
// while the window is full (and while every packet id of the client is in
// flight), so a client that stops acknowledging holds up only itself.
//
// Lifetime and locks: the topic owns its subscribers (shared pointers). A
// subscriber leaves (UNSUBSCRIBE, CLOSE of its connection, the topic's stop)
// in this order: its housekeeping thread stops and writes the confirmed
// position, the engine's reader stops, then the subscriber is detached under
// its mutex. Acknowledgements find a subscriber through the generator and
// act only under its mutex and only while it is attached, so they never
// touch a subscriber (or its connection) that is going away.

class MQTTStoreForwardSubscriber;
class MQTTStoreForwardPersist;

// The packet ids of one client id's store-and-forward deliveries. Ids run 1 to
// 65535 and around again; an id still in flight is never handed out again.
class MQTTMsgIdGenerator {
 public:
  // Gives the next candidate id (1 to 65535); the default counts on its own.
  using Candidates = std::function<uint16_t()>;

  // The client id's generator, made when it has none; one per client id while
  // any subscriber holds it.
  static std::shared_ptr<MQTTMsgIdGenerator> Get(const std::string& clientId);
  // The client id's generator, or null.
  static std::shared_ptr<MQTTMsgIdGenerator> Find(const std::string& clientId);

  // An id not in flight, now mapped to the subscriber; 0 when all 65535 are
  // in flight (the caller waits for acknowledgements).
  uint16_t Generate(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber,
                    const Candidates& next = Candidates());
  // The subscriber the id is mapped to, or null (id unknown, or gone).
  std::shared_ptr<MQTTStoreForwardSubscriber> GetSubscriber(uint16_t id);
  // Frees every id of the subscriber.
  void RemoveSubscriber(const MQTTStoreForwardSubscriber* subscriber);
  // Frees the id; 100 "Key not found" when it is not mapped.
  void RemoveMsgID(uint16_t id);
  // Maps that very id to the subscriber; false when it is in flight.
  bool Reserve(uint16_t id, const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber);
  // The client id's released QoS 2 ids whose PUBCOMP never came, kept when
  // its subscriber goes and taken (once) by its next subscriber.
  static void KeepReleased(const std::string& clientId, const std::vector<uint16_t>& ids);
  static std::vector<uint16_t> TakeReleased(const std::string& clientId);
  size_t InFlight();

 private:
  std::mutex mutex_;
  uint16_t counter_ = 0;  // the last id given by the default candidates
  std::map<uint16_t, std::weak_ptr<MQTTStoreForwardSubscriber>> ids_;
};

// One row sent with QoS 1 or 2 and not yet completed.
struct MQTTPersistMsgID {
  uint16_t packetId = 0;
  uint8_t qos = 0;
  int64_t position = 0;   // the row's record id
  uint64_t lastSend = 0;  // tick count in ms of its last sending
  bool released = false;  // QoS 2: PUBREC came, PUBREL is what is resent
};

// One client id's subscription to a store-and-forward topic.
class MQTTStoreForwardSubscriber : public std::enable_shared_from_this<MQTTStoreForwardSubscriber> {
 public:
  static constexpr size_t kMaxInFlight = 1000;

  // Starts nothing; Start runs the housekeeping thread. connection and topic
  // may be null only for a subscriber that is never started.
  MQTTStoreForwardSubscriber(nev_connection* connection, const std::string& clientId,
                             std::shared_ptr<MQTTMsgIdGenerator> generator, char qos, int32_t resendTimeout,
                             MQTTStoreForwardPersist* topic);
  ~MQTTStoreForwardSubscriber();
  MQTTStoreForwardSubscriber(const MQTTStoreForwardSubscriber&) = delete;
  MQTTStoreForwardSubscriber& operator=(const MQTTStoreForwardSubscriber&) = delete;

  // Joins the housekeeping rounds (one thread serves every subscriber):
  // resends what is due, writes the confirmed position. Throws 10006 when
  // that thread cannot start.
  void Start();
  // Asks the delivery to stop at once (the engine's reader then returns).
  void RequestStop();
  // Leaves the housekeeping rounds (waiting for one in progress) and
  // writes the confirmed position; the engine subscription must still exist.
  void StopAndFlush();
  // After the engine's reader stopped: no acknowledgement or resend touches
  // the subscriber any more, and its packet ids are free.
  void Detach();

  // The engine's delivery callback body: sends one row. 0 when the engine
  // may move past the row (also when the send failed: its entry stays and is
  // resent); non-zero when the subscriber is stopping.
  int Send(ZVRecord* record);
  static int DeliverStoredRecord(ZVRecord* record, void* subscriber);

  // Acknowledgements of the client id (PUBACK, PUBREC, PUBCOMP). Packet id 0:
  // 10027 "Invalid message ID."; an id the client's generator does not map
  // (a publication the broker core forwarded) changes nothing; a mapped id
  // in no list: 10027 "Message ID not found".
  static void RemoveSentList(uint16_t packetId, const char* clientId);
  static void PromoteSentList(uint16_t packetId, const char* clientId);
  static void PromoteConfirmedList(uint16_t packetId, const char* clientId);

  nev_connection* GetConn() const { return connection_; }
  char GetQoS() const { return qos_.load(); }
  // A SUBSCRIBE again on the same connection with a higher QoS raises the
  // delivery's QoS: rows sent from now on go with it; those in flight finish
  // with theirs.
  void SetQoS(char qos) { qos_.store(qos); }
  const std::string& GetClientId() const { return clientId_; }
  size_t InFlight();
  // The position the engine may record as confirmed (just before the first
  // row in flight, else the last row handed out).
  int64_t ConfirmedPosition();

  // For tests: the entry of a packet id (a copy), false when none.
  bool GetEntry(uint16_t packetId, MQTTPersistMsgID* entry);
  // A SUBSCRIBE again of this subscriber's connection; under the topic's
  // subscribers' mutex.
  StarlingLogThrottle resubscribeLog;

 private:
  // Which acknowledgement arrived.
  enum class Ack { PubAck, PubRec, PubComp };
  static void acknowledge(Ack kind, uint16_t packetId, const char* clientId);
  void applyAck(Ack kind, uint16_t packetId);
  uint16_t nextPacketId();
  void resumeReleased();
  bool skipsAcknowledged(int64_t position);
  static void KeepResumePoint(const std::string& key, int64_t handedOut, std::set<int64_t> unconfirmed);
  static bool TakeResumePoint(const std::string& key, int64_t* handedOut, std::set<int64_t>* unconfirmed);

 public:
  // One housekeeping round: the confirmed position written, resends due.
  void HousekeepingRound();

 private:
  void resendDue();
  void resendEntry(const std::string& payload, const MQTTPersistMsgID& entry);
  void flushConfirmed();
  void sendPayload(const std::string& payload, uint16_t packetId, int qos, bool dup);
  // Logs a row that can never be delivered, counted; mutex_ held.
  void skipRow(int64_t position, const char* why);
  void dropEntry(const MQTTPersistMsgID& entry, const char* why);

  nev_connection* connection_;
  std::string clientId_;
  std::shared_ptr<MQTTMsgIdGenerator> generator_;
  std::atomic<char> qos_;
  int32_t resendTimeout_;
  MQTTStoreForwardPersist* topic_;

  std::mutex mutex_;  // the lists, detached_, handedOut_
  std::map<uint16_t, MQTTPersistMsgID> inFlight_;
  std::condition_variable windowOpened_;  // an entry left inFlight_, or the delivery stops
  int64_t handedOut_ = 0;  // the last row handed out
  // What the previous subscriber of the client id handed out (0: nothing to
  // skip) and which of those rows it left unconfirmed.
  int64_t resumeHandedOut_ = 0;
  std::set<int64_t> resumeUnconfirmed_;
  bool detached_ = false;
  int64_t flushed_ = 0;  // the confirmed position last written
  uint64_t skipped_ = 0;  // rows that could never be delivered (under mutex_)
  std::atomic<bool> stopping_{false};
  std::atomic<bool> threadStop_{false};  // out of the housekeeping rounds
  std::mutex roundMutex_;                 // held by a housekeeping round
};

class MQTTStoreForwardPersist : public MQTTPersist {
 public:
  // The persisted topic's constructor, then the store-and-forward properties
  // (10028 for an invalid one) and the extra columns "source_payload",
  // "qos" and, with a schema, "target_payload".
  MQTTStoreForwardPersist(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config, LogCallback log,
                          int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize);
  ~MQTTStoreForwardPersist() override;

  void CreateStart() override;
  void SubscribeSessions() override;
  json_object* GetJson() override;
  void Alter(ZVDatabaseConfig* brokerConfig, const char* topic, json_object* config, LogCallback log,
             int32_t idleTimeout, int32_t acquireTimeout, int32_t poolMaxSize) override;
  // Stops the subscribers, deletes their engine rows, then the persisted
  // topic's deletion.
  void Delete(bool forceClosing) override;
  // Stops the subscribers and refuses new ones, then the persisted topic's stop.
  void Stop() noexcept override;
  bool IsStoreForward() const override { return true; }
  bool TransformsWhenStored() const override { return schema_ != nullptr && !transformOnForward_; }
  bool TransformPayload(const char* payload, size_t length, std::string* text) override;
  bool AddOwnFields() override;

  // Subscribes the client id of the connection. 10024 when the client id is
  // already a subscriber on this connection (one on another connection, a
  // taken-over session, is replaced); the engine's code when its subscription
  // failed (the subscriber is then removed again). session, when given, is
  // checked under the subscribers' mutex for the closing mark.
  void Subscribe(nev_connection* connection, const std::string& clientId, char qos,
                 nev_broker_session* session = nullptr);
  // Unsubscribes the client id (100 "Key not found" when absent); with a
  // connection, only the subscriber on that connection. The subscriber stops
  // outside the subscribers' mutex.
  void Unsubscribe(const std::string& clientId, nev_connection* connection = nullptr);
  // With a connection: a subscriber of the client id on that connection.
  bool HasSubscriber(const std::string& clientId, nev_connection* connection = nullptr);
  // A SUBSCRIBE again from the client id's subscriber on this connection:
  // its QoS becomes qos when that is higher; logged with 10024. False when
  // it has none here.
  bool Resubscribe(const std::string& clientId, nev_connection* connection, char qos);
  void UpdateSubscriberCompleted(int64_t position, const std::string& clientId);

  // The payload a subscriber gets for a row (the source payload, its schema
  // decoding, or the mapped columns as JSON).
  std::string PayloadOf(ZVRecord* record);
  // For the subscribers' resends: the row of a record id on a pooled
  // connection (fn runs with it; false when the row is gone).
  bool WithRow(int64_t position, const std::function<void(ZVRecord*)>& fn);

  int32_t GetDeliveryRate() const { return deliveryRate_; }
  int32_t GetDeliveryMode() const { return deliveryMode_; }
  int32_t GetMaxStoredMessages() const { return maxStoredMessages_; }
  int32_t GetResendTimeout() const { return resendTimeout_; }
  bool IsQoSDowngradeDisabled() const { return qosDowngradeDisabled_; }
  bool IsTransformOnForward() const { return transformOnForward_; }

  // Store-and-forward hooks of the event handler; each logs its failures.
  // A SUBSCRIBE filter: every store-and-forward topic it matches.
  static void SubscribeFilter(nev_connection* connection, const std::string& clientId, const std::string& filter,
                              uint8_t qos);
  // After an UNSUBSCRIBE: the topics the session no longer matches.
  static void UnsubscribeUnmatched(nev_connection* connection, const std::string& clientId,
                                   nev_broker_session* session);
  // The connection closes: its subscribers leave every topic.
  static void DropConnection(nev_connection* connection, const std::string& clientId);

  // The event handler's hooks find topics under a process-wide mutex that
  // every SUBSCRIBE takes; they use a topic after releasing it, counted
  // here, and stop a leaving subscriber (joining its threads) outside every
  // mutex. The topic's stop waits until no hook uses it.
  void EnterHook();
  void LeaveHook();
  // Takes the client id's subscriber (on that connection) off the topic and
  // marks it stopping; null when none.
  std::shared_ptr<MQTTStoreForwardSubscriber> TakeSubscriber(const std::string& clientId, nev_connection* connection);
  // Stops a taken subscriber, outside the subscribers' mutex.
  void StopTaken(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber) noexcept;

 private:
  struct Properties {
    int32_t deliveryRate = 100;
    int32_t deliveryMode = YX_SF_MODE_DEFAULT;
    int32_t maxStoredMessages = 0;
    int32_t resendTimeout = 20;
    bool qosDowngradeDisabled = false;
    bool transformOnForward = false;
  };
  static Properties readProperties(json_object* config);
  std::unique_ptr<MQTTSchemaTable> readSchema(json_object* config, MQTTSchema** schema);
  void stopSubscriber(const std::shared_ptr<MQTTStoreForwardSubscriber>& subscriber);
  void stopSubscribers() noexcept;

  int32_t deliveryRate_ = 100;
  int32_t deliveryMode_ = YX_SF_MODE_DEFAULT;
  int32_t maxStoredMessages_ = 0;
  int32_t resendTimeout_ = 20;
  bool qosDowngradeDisabled_ = false;
  bool transformOnForward_ = false;

  std::unique_ptr<YXStoreAndForward> engine_;
  // Held shared by deliveries (payloads read the fields and the schema),
  // exclusively by Alter.
  std::shared_mutex deliveryLock_;
  std::unique_ptr<MQTTSchemaTable> schemaTable_;
  MQTTSchema* schema_ = nullptr;  // owned by schemaTable_
  // The persistence threads decode under it; Alter swaps the schema under it
  // (and under deliveryLock_).
  std::mutex schemaMutex_;

  std::mutex subscribersMutex_;
  std::map<std::string, std::shared_ptr<MQTTStoreForwardSubscriber>> subscribers_;
  bool stopped_ = false;  // no new subscriber
  int hookUsers_ = 0;
  std::set<std::string> stoppingOutside_;  // client ids whose subscriber a hook stops
  std::condition_variable hooksDone_;
};
