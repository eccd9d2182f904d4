// Pooled database connections over the engine.
#include "ZVDatabasePooled.h"

#include <strings.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace {

const char* kInitName = "ZVDatabasePooled::Init";
const char* kCheckDatabaseName = "ZVDatabasePooled::CheckDatabase";
const int kRecordCacheCapacity = 1024;

// Connections of every pool in the process create missing tables one at a
// time, so a second creator finds the table made by the first.
std::mutex& tableCreationMutex() {
  static std::mutex mutex;
  return mutex;
}

bool sameText(const char* a, const char* b, bool ignoreCase) {
  if (!a || !b) return a == b;
  return ignoreCase ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

[[noreturn]] void throwAs(const char* function, const ZVException& e) {
  throw YXException(function, YX_KIND_OPERATION, e.GetErrorCode(), e.GetErrorMsg(), __FILE__, __LINE__);
}

void setOption(const char* function, int option, const char* value, const char* message) {
  int rc = rlSetClientOption(option, value);
  if (rc != 0) throw YXException(function, YX_KIND_OPERATION, rc, message, __FILE__, __LINE__);
}

// Logs a session on as a pooled connection does. The time-out option
// applies to this logon only: it is reset on every path, failures included,
// so no later logon of the thread inherits it.
void logOn(const char* function, ZVSession* session, ZVDatabaseConfig* config, ZVDatabase* connectTo) {
  setOption(function, RL_OPT_INTERNAL, "YES", "Not able to set connection as Brenlox internal connection");
  setOption(function, RL_OPT_CONNECT_TIMEOUT, "10", "Not able to set connection timeout");
  try {
    session->Logon(config->server, config->user, config->password);
    session->SetAutoCommit(1);
    if (connectTo) connectTo->Connect(config->database);
  } catch (const ZVException& e) {
    rlSetClientOption(RL_OPT_CONNECT_TIMEOUT, "0");
    throwAs(function, e);
  }
  setOption(function, RL_OPT_CONNECT_TIMEOUT, "0", "Not able to reset connection timeout");
}

// Gives the thread back the owner it had when the guard was made, however
// the scope is left, unless keep() was called. An owner whose logon ended
// meanwhile cannot come back: the thread is left with none.
class OwnerRestorer {
 public:
  OwnerRestorer() : previous_(rlGetCurrentOwner()) {}
  ~OwnerRestorer() {
    if (!kept_ && rlSetCurrentOwner(previous_) != 0) rlSetCurrentOwner(-1);
  }
  OwnerRestorer(const OwnerRestorer&) = delete;
  OwnerRestorer& operator=(const OwnerRestorer&) = delete;
  int32_t previous() const { return previous_; }
  void keep() { kept_ = true; }

 private:
  int32_t previous_;
  bool kept_ = false;
};

void checkDefinitionCall(int rc, const char* message) {
  if (rc != 0) throw ZVException(rc, message, __FILE__, __LINE__);
}

}  // namespace

// ---- configuration ----------------------------------------------------------------

ZVDatabaseConfig::ZVDatabaseConfig(const char* serverName, const char* userName, const char* pass,
                                   const char* databaseName) {
  dupStrAll({{&server, serverName}, {&user, userName}, {&password, pass}, {&database, databaseName}});
}

ZVDatabaseConfig::~ZVDatabaseConfig() {
  VOKTFree(unnamed);
  VOKTFree(server);
  VOKTFree(user);
  VOKTFree(password);
  VOKTFree(database);
}

bool ZVDatabaseConfig::Compare(YXConfig* other) {
  auto* o = dynamic_cast<ZVDatabaseConfig*>(other);
  if (!o) return false;
  return sameText(unnamed, o->unnamed, true) && sameText(server, o->server, false) && sameText(user, o->user, true) &&
         sameText(password, o->password, false) && sameText(database, o->database, true);
}

// ---- connection ----------------------------------------------------------------------

ZVDatabasePooled::ZVDatabasePooled(YXConfig* config) : ZVDatabasePooled(config, new ZVSession(2)) {}

ZVDatabasePooled::ZVDatabasePooled(YXConfig* config, ZVSession* newSession)
    : YXPooledObj(config), ZVDatabase(newSession), session(newSession) {
  std::unique_ptr<ZVSession> owner(newSession);  // until the cache exists
  records = new YXHashTable<ZVRecord>(kRecordCacheCapacity);
  owner.release();
}

ZVDatabasePooled::~ZVDatabasePooled() {
  Close();
  delete records;
  records = nullptr;
  delete session;
  session = nullptr;
}

void ZVDatabasePooled::Init() {
  auto* cfg = dynamic_cast<ZVDatabaseConfig*>(config);
  if (!cfg)
    throw YXException(kInitName, YX_KIND_ARGUMENT, RL_BAD_ARGUMENT, "No database configuration", __FILE__, __LINE__);
  // A new connection gives the thread its previous owner back on release,
  // as a reused one does. A logon that went through before a later step
  // failed made its owner current; the pool deletes this connection, and the
  // thread keeps the owner it had.
  OwnerRestorer restorer;
  savedOwner = restorer.previous();
  logOn(kInitName, session, cfg, this);
  owner = rlGetCurrentOwner();
  restorer.keep();
}

// Records are deleted before the tables they belong to.
void ZVDatabasePooled::deleteRecords() {
  if (records) records->Clear();
}

void ZVDatabasePooled::Close() {
  int32_t previous = rlGetCurrentOwner();
  if (owner >= 0) rlSetCurrentOwner(owner);
  deleteRecords();
  try {
    CloseAll();
  } catch (const ZVException&) {
  }
  try {
    if (IsConnected()) Disconnect();
  } catch (const ZVException&) {
  }
  try {
    if (session && session->IsLoggedOn()) session->Logout();
  } catch (const ZVException&) {
  }
  // The logon has ended: its owner is no owner any more.
  rlSetCurrentOwner(previous == owner ? -1 : previous);
  owner = -1;
}

void ZVDatabasePooled::OnAcquire() {
  savedOwner = rlGetCurrentOwner();
  rlSetCurrentOwner(owner);
}

void ZVDatabasePooled::OnRelease() {
  int32_t current = rlGetCurrentOwner();
  rlSetCurrentOwner(current == savedOwner ? -1 : savedOwner);
  YXPooledObj::OnRelease();
}

ZVTable* ZVDatabasePooled::openTable(const char* tableName) {
  if (ZVTable* active = FindActive(tableName)) return active;
  std::unique_ptr<ZVTable> table(new ZVTable(this));
  table->Open(tableName, 0);  // a failure frees the table object
  return table.release();     // owned by the database from now on (CloseAll)
}

void ZVDatabasePooled::createTable(const char* tableName, const ZVFieldDescriptor* fields, int fieldCount,
                                   const ZVIndexDescriptor* indexes, int indexCount) {
  std::unique_ptr<ZVTable> table(new ZVTable(this));
  for (int i = 0; i < fieldCount; ++i) {
    const ZVFieldDescriptor& f = fields[i];
    ZVField* field = table->AddField(f.name, f.type, f.length);
    if (f.binaryFlag)
      checkDefinitionCall(rlSetFieldBinaryFlag(field->GetHandle(), f.binaryFlag),
                          "Not able to update new field binary flag");
    if (f.identity)
      checkDefinitionCall(rlSetIdentityField(table->GetHandle(), f.name, 1, 1),
                          "Not able to update new field as identity");
    if (f.autoTimestamp)
      checkDefinitionCall(rlSetFieldAutoTimestamp(field->GetHandle(), 1, 0),
                          "Not able to update new field as auto-timestamp");
  }
  for (int i = 0; i < indexCount; ++i) {
    const ZVIndexDescriptor& d = indexes[i];
    ZVIndex* index = table->AddIndex(d.name, d.keyType, d.duplicates, d.nullKey);
    for (int s = 0; s < d.segmentCount; ++s)
      index->AddSegment(table->GetField(d.segments[s].fieldName), d.segments[s].mode);
  }
  try {
    table->Create(tableName, 2);
  } catch (const ZVException& e) {
    // Another process made it meanwhile: open it like any existing table.
    if (e.GetErrorCode() != RL_TABLE_EXISTS) throw;
  }
}

void ZVDatabasePooled::CheckTable(const char* tableName, const ZVFieldDescriptor* fields, int fieldCount,
                                  const ZVIndexDescriptor* indexes, int indexCount) {
  if (records->Get(tableName)) return;
  ZVTable* table = nullptr;
  try {
    table = openTable(tableName);
  } catch (const ZVException& e) {
    if (e.GetErrorCode() != RL_NO_TABLE) throw;
  }
  if (!table) {
    std::lock_guard<std::mutex> lock(tableCreationMutex());
    try {
      table = openTable(tableName);  // made by another connection while we waited
    } catch (const ZVException& e) {
      if (e.GetErrorCode() != RL_NO_TABLE) throw;
      createTable(tableName, fields, fieldCount, indexes, indexCount);
      table = openTable(tableName);
    }
  }
  auto* record = new ZVRecord(table);
  if (!records->Add(tableName, record)) delete record;
}

ZVRecord* ZVDatabasePooled::GetRecord(const char* tableName, bool create) {
  if (ZVRecord* cached = records->Get(tableName)) return cached;
  if (!create) return nullptr;
  ZVTable* table = openTable(tableName);
  std::unique_ptr<ZVRecord> record(new ZVRecord(table));
  record->Clear();
  ZVRecord* result = record.get();
  if (!records->Add(tableName, record.get())) return records->Get(tableName);
  record.release();
  return result;
}

void ZVDatabasePooled::CheckDatabase(ZVDatabaseConfig* config) {
  // The logon is this function's own: on every path, a failure after the
  // logon included, the thread gets back the owner it had. The restorer is
  // made first so that it runs after the session's end has cleared the owner.
  OwnerRestorer restorer;
  std::unique_ptr<ZVSession> session(new ZVSession(2));
  logOn(kCheckDatabaseName, session.get(), config, nullptr);
  try {
    if (!session->FindDatabase(config->database)) session->CreateDatabase(config->database, "");
    session->Logout();
  } catch (const ZVException& e) {
    throwAs(kCheckDatabaseName, e);
  }
}

void zvGetCurrentDateTime(ZVDateTime* out) {
  int rc = rlGetCurrentDateTime(out);
  if (rc != 0) throw ZVException(rc, "Not able to retrieve current datetime", __FILE__, __LINE__);
}

ZVLockGuard::ZVLockGuard(ZVBase* object, int mode) : object_(object) {
  object_->Lock(mode);
  held_ = true;
}

ZVLockGuard::~ZVLockGuard() {
  if (!held_) return;
  try {
    release();
  } catch (const ZVException& e) {
    // Already leaving the scope (often on another error): the lock ends with
    // the logon at the latest, so report and go on.
    yxReportError(e.GetErrorMsg(), e.GetErrorCode());
  }
}

void ZVLockGuard::release() {
  if (!held_) return;
  held_ = false;
  object_->Unlock();
}
