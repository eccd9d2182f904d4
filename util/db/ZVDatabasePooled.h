// Pooled database connections: ZVDatabaseConfig (what a connection logs on
// to), ZVDatabasePooled (a connection living in a YXPool, with its own
// session and a cache of open records by table name), ZVDatabaseLease (the
// owner of a connection taken from a pool), the static table
// descriptors CheckTable builds missing tables from, CheckDatabase and
// zvGetCurrentDateTime.
//
// Errors: Init and CheckDatabase throw YXException kind 1 named
// "ZVDatabasePooled::Init" / "ZVDatabasePooled::CheckDatabase" with the
// client's code and message. CheckTable and GetRecord let ZVException pass.
// Close never throws.
//
// Threading: a connection is used by one thread at a time, the one that
// acquired it; OnAcquire makes its logon's owner current on that thread and
// OnRelease gives the thread its previous owner back. Missing tables are
// created under one process-wide mutex, so connections racing to create the
// same table all succeed.
#ifndef ZVDATABASEPOOLED_H
#define ZVDATABASEPOOLED_H

#include <cstdint>

#include "ravlink.h"
#include "yxutil.h"

// Server, user, password and database of a connection; each text is a copy
// (dupStr) freed by the destructor.
class ZVDatabaseConfig : public YXConfig {
 public:
  ZVDatabaseConfig(const char* server, const char* user, const char* password, const char* database);
  ~ZVDatabaseConfig() override;
  // True when all five texts match: null matches only null; server and
  // password byte for byte; the unnamed text, user and database ignoring case.
  bool Compare(YXConfig* other) override;

  char* unnamed = nullptr;  // always null here
  char* server = nullptr;
  char* user = nullptr;
  char* password = nullptr;
  char* database = nullptr;
};

// Field descriptor of a static table definition. Read as one 32-bit value,
// the last four bytes are the flags: 1 identity, 256 auto-timestamp.
struct ZVFieldDescriptor {
  const char* name;
  int32_t type;  // the client's type code
  int32_t length;
  int32_t binaryFlag;     // 0: none
  uint8_t identity;       // 1: the table's identity field
  uint8_t autoTimestamp;  // 1: takes the time of the record's creation
  uint8_t reserved[2];
};

struct ZVSegmentDescriptor {
  const char* fieldName;
  int32_t mode;  // 12 in every table of the system
  int32_t reserved;
};

struct ZVIndexDescriptor {
  const char* name;
  int32_t keyType;     // 0, or 512 for primary-key indexes
  int32_t duplicates;  // 1: not unique
  int32_t nullKey;     // always 0
  int32_t reserved;
  const ZVSegmentDescriptor* segments;
  int32_t segmentCount;
  int32_t zero;
};

class ZVDatabasePooled : public YXPooledObj, public ZVDatabase {
 public:
  // config must be a ZVDatabaseConfig (the pool passes its own).
  explicit ZVDatabasePooled(YXConfig* config);
  // Close, then the record cache, then the session.
  ~ZVDatabasePooled() override;

  // Internal-connection and time-out options, logon, autocommit on, connect,
  // time-out option reset (on every path), owner kept.
  void Init() override;
  // With the connection's owner current: the cached records, every open
  // table, disconnect, logout; the thread's previous owner comes back.
  void Close() override;
  void OnAcquire() override;
  void OnRelease() override;

  // Makes sure the table exists (creating it from the descriptors when Open
  // reports 4023) and that a record on it is cached. A second call for the
  // same name returns at once.
  void CheckTable(const char* tableName, const ZVFieldDescriptor* fields, int fieldCount,
                  const ZVIndexDescriptor* indexes, int indexCount);
  // The cached record of the table; when there is none, null unless create,
  // then a new cleared record on the open table. The cache owns it.
  ZVRecord* GetRecord(const char* tableName, bool create);

  // Once at start: logs on as Init does and creates the database when the
  // server does not know it.
  static void CheckDatabase(ZVDatabaseConfig* config);

  ZVSession* session = nullptr;
  int32_t owner = -1;
  int32_t savedOwner = -1;
  YXHashTable<ZVRecord>* records = nullptr;

 private:
  ZVDatabasePooled(YXConfig* config, ZVSession* newSession);
  void createTable(const char* tableName, const ZVFieldDescriptor* fields, int fieldCount,
                   const ZVIndexDescriptor* indexes, int indexCount);
  ZVTable* openTable(const char* tableName);
  void deleteRecords();
};

// A connection taken from a pool for a scope: the destructor gives it back
// however the scope is left, so no caller releases one by hand (or in a
// catch arm). Moving a lease hands the connection on; reset() gives it back
// early. The constructor lets Acquire's YXException pass (nothing is then
// held); giving back never throws.
class ZVDatabaseLease {
 public:
  ZVDatabaseLease() = default;
  ZVDatabaseLease(YXPool<ZVDatabasePooled>* pool, YXConfig* config, int timeoutSeconds)
      : pool_(pool), connection_(pool->Acquire(config, timeoutSeconds)) {}
  ~ZVDatabaseLease() { reset(); }
  ZVDatabaseLease(ZVDatabaseLease&& other) noexcept : pool_(other.pool_), connection_(other.connection_) {
    other.connection_ = nullptr;
  }
  ZVDatabaseLease& operator=(ZVDatabaseLease&& other) noexcept {
    if (this != &other) {
      reset();
      pool_ = other.pool_;
      connection_ = other.connection_;
      other.connection_ = nullptr;
    }
    return *this;
  }
  ZVDatabaseLease(const ZVDatabaseLease&) = delete;
  ZVDatabaseLease& operator=(const ZVDatabaseLease&) = delete;

  ZVDatabasePooled* get() const { return connection_; }
  ZVDatabasePooled* operator->() const { return connection_; }
  explicit operator bool() const { return connection_ != nullptr; }
  void reset() noexcept {
    if (connection_ != nullptr) pool_->Release(connection_);
    connection_ = nullptr;
  }

 private:
  YXPool<ZVDatabasePooled>* pool_ = nullptr;
  ZVDatabasePooled* connection_ = nullptr;
};

// Holds an engine lock (on a database, table or record) for a scope, so a
// return or an exception releases it. The constructor lets Lock's ZVException
// pass (nothing is then held). release() unlocks early and lets Unlock's
// ZVException pass; the destructor cannot throw, so a failed Unlock there is
// reported through yxReportError.
class ZVLockGuard {
 public:
  // The mode the system locks with (the engine takes any non-zero mode as
  // exclusive).
  static constexpr int kExclusive = 4;

  explicit ZVLockGuard(ZVBase* object, int mode = kExclusive);
  ~ZVLockGuard();
  ZVLockGuard(const ZVLockGuard&) = delete;
  ZVLockGuard& operator=(const ZVLockGuard&) = delete;

  void release();

 private:
  ZVBase* object_;
  bool held_ = false;
};

// Fills out with the engine's current date and time; a failure throws
// ZVException (code, "Not able to retrieve current datetime").
void zvGetCurrentDateTime(ZVDateTime* out);

#endif  // ZVDATABASEPOOLED_H
