// Tables: definitions, create, open, alter, partitions and file blocking.
#include "rl_core.h"

#include <filesystem>

namespace fs = std::filesystem;
using namespace ravlink_detail;

static const char* kDataExtension = ".dat";

namespace ravlink_detail {

// ---- table core -------------------------------------------------------------------

void TableCore::close() {
  if (open) monitor::tableClosed(*this);
  insertStmt = nullptr;
  open = false;
  catalogUnchecked = false;
  if (conn) conn->parkWalks();  // records of this table may still be stepping
  conn.reset();
  shared.reset();
}

void TableCore::prepareTexts() {
  fieldByName.clear();
  for (size_t i = 0; i < stored.fields.size(); ++i) fieldByName.emplace(stored.fields[i].name, int(i));
  rowidName = stored.identity >= 0 ? stored.fields[stored.identity].name : "rl_recid";
  selectList.clear();
  // Qualified: a field whose column is gone from the file (an outside tool
  // renamed it) fails the statement; a bare "name" would read as a string.
  const std::string qualifier = quoteName(stored.name) + ".";
  for (const auto& f : stored.fields) selectList += qualifier + quoteName(f.name) + " AS " + quoteName(f.name) + ", ";
  selectList += "rowid";
  std::string cols, params;
  int n = 0;
  for (size_t i = 0; i < stored.fields.size(); ++i) {
    if (int(i) == stored.identity) continue;
    cols += (n ? ", " : "") + quoteName(stored.fields[i].name);
    params += (n ? ", ?" : "?") + std::to_string(n + 1);
    ++n;
  }
  if (stored.partitioned()) {
    cols += (n ? ", " : "") + quoteName("rl_partition");
    params += (n ? ", ?" : "?") + std::to_string(n + 1);
  }
  if (stored.customIdentity()) {
    // The seed first, then the step past the highest id the table ever
    // had (a falling identity: below the lowest it holds); read inside the
    // insert's own write, so no two writers meet.
    std::string literal = "'";
    for (char c : stored.name) literal += c == '\'' ? std::string("''") : std::string(1, c);
    literal += "'";
    std::string id = quoteName(stored.fields[stored.identity].name);
    cols += (cols.empty() ? "" : ", ") + id;
    std::string last = stored.identityIncrement > 0 ? "(SELECT seq FROM sqlite_sequence WHERE name = " + literal + ")"
                                                     : "(SELECT min(" + id + ") FROM " + quoteName(stored.name) + ")";
    params += std::string(params.empty() ? "" : ", ") + "coalesce(" + last + " + " +
              std::to_string(stored.identityIncrement) + ", " + std::to_string(stored.identitySeed) + ")";
  }
  insertSql = "INSERT INTO " + quoteName(stored.name) + " (" + cols + ") VALUES (" + params + ")";
  insertStmt = nullptr;
  if (stored.partitioned())
    rule.parse(stored.partRule, stored);
  else
    rule = PartitionRule();
}

void TableCore::loadFromCatalog(const std::string& name, bool mayDefer) {
  TableDef fresh;
  bool deferred = false;
  // (parks the connection's walks: a stepping walk would keep the catalog as it was when it started)
  if (!catalogReadCached(*conn, name, *shared, &fresh, mayDefer ? &deferred : nullptr))
    fail(RL_NO_TABLE, "Table [" + name + "] does not exist");
  catalogUnchecked = deferred;
  // Date and time types belong to this open table, not to the file.
  for (auto& f : fresh.fields) {
    int old = stored.fieldNumber(f.name);
    if (old >= 0 && sameTableName(stored.name, name)) {
      f.dateType = stored.fields[old].dateType;
      f.timeType = stored.fields[old].timeType;
    }
  }
  stored = fresh;
  def = fresh;
  schemaGen = shared->schemaGen.load();
  ++version;
  prepareTexts();
}

void TableCore::catchUp(bool settleCatalog) {
  if (!open) fail(RL_NOT_OPEN, "The table is not open");
  logon->requireLoggedOn();
  if (shared->blocked.load() || shared->blockGen.load() != blockGen) {
    std::string name = stored.name;
    close();
    fail(RL_FILE_BLOCKED, "Table [" + name + "] was closed for all clients");
  }
  // Another session stored a new definition: follow it, so this table keeps working.
  if (shared->schemaGen.load() != schemaGen) {
    if (object) {
      loadFromCatalog(stored.name);
      object->rebuildObjects();
    } else {
      loadFromCatalog(stored.name);
    }
  }
  if (settleCatalog && catalogUnchecked) {
    catalogUnchecked = false;
    if (!cachedDefinitionCurrent(*conn, stored.name, *shared)) {
      loadFromCatalog(stored.name);
      if (object) object->rebuildObjects();
    }
  }
}

int TableCore::field(std::string_view name) const {
  auto it = fieldByName.find(name);
  if (it == fieldByName.end())
    fail(RL_UNKNOWN_FIELD, "Field [" + std::string(name) + "] not found in table [" + stored.name + "]");
  return it->second;
}

// ---- access for the numbered functions -------------------------------------------------

TableDef& Access::definition(ZVTable* t) { return t->core_->def; }
TableDef& Access::settledDefinition(ZVTable* t) {
  t->settleCatalog();
  return t->core_->def;
}
TableDef& Access::definition(ZVField* f, int* number) {
  TableDef& d = f->table_->core_->def;
  if (f->number_ < 0 || size_t(f->number_) >= d.fields.size())
    fail(RL_UNKNOWN_FIELD, "The field is no longer part of the table's definition");
  *number = f->number_;
  return d;
}
RecordState& Access::state(ZVRecord* r) { return *r->state_; }
Logon* Access::logon(ZVBase* b) { return b->logon(); }
void Access::noteError(ZVBase* b, int code) { b->lastError_ = code; }

}  // namespace ravlink_detail

// ---- table -----------------------------------------------------------------------------

ZVTable::ZVTable(ZVDatabase* database) : database_(database), core_(std::make_shared<TableCore>()) {
  if (!database) fail(RL_BAD_ARGUMENT, "A table needs a database");
  std::lock_guard<ravlink_detail::SessionMutex> lock(database->session_->mutex);
  core_->logon = database->session_;
  core_->object = this;
  database->tables_.push_back(this);
}

ZVTable::~ZVTable() {
  retireHandle(this);
  std::lock_guard<ravlink_detail::SessionMutex> lock(core_->logon->mutex);
  core_->close();
  core_->object = nullptr;
  if (database_) {
    auto& list = database_->tables_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

Logon* ZVTable::logon() const { return core_->logon.get(); }

// Field, index and segment objects follow the working definition by
// position; existing objects stay valid.
void ZVTable::rebuildObjects() {
  const TableDef& d = core_->def;
  for (size_t i = fields_.size(); i < d.fields.size(); ++i)
    fields_.push_back(std::unique_ptr<ZVField>(new ZVField(this, int(i))));
  for (size_t i = indexes_.size(); i < d.indexes.size(); ++i)
    indexes_.push_back(std::unique_ptr<ZVIndex>(new ZVIndex(this, int(i))));
  for (size_t i = 0; i < d.indexes.size(); ++i) {
    auto& segs = indexes_[i]->segments_;
    for (size_t s = segs.size(); s < d.indexes[i].segments.size(); ++s)
      segs.push_back(std::unique_ptr<ZVSegment>(new ZVSegment(this, int(i), int(s))));
  }
}

void ZVTable::Open(const char* name, int mode) {
  guarded([&] {
    checkObjectName(name, "table");
    if (!database_ || !database_->conn_) fail(RL_NOT_OPEN, "The database is not connected");
    if (mode != 0 && mode != 1) fail(RL_BAD_ARGUMENT, "Unknown open mode " + std::to_string(mode));
    core_->logon->requireLoggedOn();
    core_->close();
    auto conn = database_->conn_;
    // The connection's own file entry spares the process-wide look-up by path;
    // a table never numbered before goes through the engine, which numbers it.
    auto shared = conn->file->table(name);
    if (shared->datno == 0) shared = engine().table(conn->path, name);
    if (shared->blocked.load()) fail(RL_FILE_BLOCKED, "Table [" + std::string(name) + "] is closed for all clients");
    core_->conn = conn;
    core_->shared = shared;
    core_->blockGen = shared->blockGen.load();
    try {
      // A table opened for definition changes reads the catalog now: a late
      // reload would drop the changes made on it in between.
      core_->loadFromCatalog(name, mode == 0);
    } catch (...) {
      core_->close();
      throw;
    }
    core_->open = true;
    core_->openMode = mode;
    monitor::tableOpened(*core_);
    rebuildObjects();
  });
}

void ZVTable::Recheck() {
  if (core_->open) core_->catalogUnchecked = true;
}

void ZVTable::Create(const char* name, int mode) {
  guarded([&] {
    checkObjectName(name, "table");
    if (!database_ || !database_->conn_) fail(RL_NOT_OPEN, "The database is not connected");
    core_->logon->requireLoggedOn();
    TableDef d = core_->def;
    d.name = name;
    d.createMode = mode & ~RL_CREATE_PARTITIONED;
    if ((mode & RL_CREATE_PARTITIONED) && !d.partitioned())
      fail(RL_BAD_RULE, "Table [" + std::string(name) + "] is created partitioned without a partition rule");
    validateDefinition(d);
    createTableInFile(*database_->conn_, d);
    engine().table(database_->conn_->path, d.name)->schemaGen++;  // cached definitions of a former table go
    monitor::tableCreated(*core_->logon, database_->name_, d.name);
    core_->close();
    core_->def = d;
  });
}

void ZVTable::Close() {
  guarded([&] { core_->close(); });
}

bool ZVTable::IsOpen() const { return core_->open; }

void ZVTable::Alter(int mode) {
  guarded([&] {
    if (mode != 0 && mode != 1 && mode != 3) fail(RL_BAD_ARGUMENT, "Unknown alter mode " + std::to_string(mode));
    core_->requireOpen();
    TableDef wanted = core_->def;
    validateDefinition(wanted);
    alterTableInFile(*core_->conn, core_->stored, wanted);
    if (core_->logon->inTransaction()) core_->logon->redefinedInTransaction.push_back(core_->shared);
    core_->shared->schemaGen++;
    core_->shared->writeGen++;
    core_->loadFromCatalog(wanted.name);
    rebuildObjects();
  });
}

ZVField* ZVTable::AddField(const char* name, int type, int length) {
  return guarded([&] {
    std::string n = name ? name : "";
    checkFieldName(n, "field");
    if (core_->def.fieldNumber(n) >= 0) fail(RL_BAD_NAME, "Field [" + n + "] already exists");
    if (type <= 0 || length < 0) fail(RL_BAD_ARGUMENT, "Field [" + n + "] has a bad type or length");
    FieldDef f;
    f.name = n;
    f.type = type;
    f.length = length;
    core_->def.fields.push_back(f);
    rebuildObjects();
    return fields_.back().get();
  });
}

ZVField* ZVTable::GetField(const char* name) {
  return guarded([&] {
    if (core_->open) core_->requireOpen();
    int n = core_->def.fieldNumber(name ? name : "");
    if (n < 0) fail(RL_UNKNOWN_FIELD, "Field [" + std::string(name ? name : "") + "] not found");
    return fields_[n].get();
  });
}

ZVField* ZVTable::GetField(int number) {
  return guarded([&] {
    if (core_->open) core_->requireOpen();
    if (number < 0 || size_t(number) >= core_->def.fields.size())
      fail(RL_UNKNOWN_FIELD, "Field number " + std::to_string(number) + " not found");
    return fields_[number].get();
  });
}

// A count read from a table opened on its cached definition asks the file
// first; a failure is left to the next call that works on the table.
void ZVTable::settleCatalog() {
  if (!core_->open || !core_->catalogUnchecked) return;
  try {
    guarded([&] { core_->requireOpen(); });
  } catch (const ZVException&) {
  }
}

int ZVTable::GetFieldCount() const {
  const_cast<ZVTable*>(this)->settleCatalog();
  return int(core_->def.fields.size());
}

ZVIndex* ZVTable::AddIndex(const char* name, int keyType, int duplicates, int nullKey) {
  return guarded([&] {
    std::string n = name ? name : "";
    checkFieldName(n, "index");
    if (core_->def.indexNumber(n) >= 0) fail(RL_BAD_NAME, "Index [" + n + "] already exists");
    IndexDef ix;
    ix.name = n;
    ix.keyType = keyType;
    ix.duplicates = duplicates ? 1 : 0;
    ix.nullKey = nullKey;
    core_->def.indexes.push_back(ix);
    rebuildObjects();
    return indexes_.back().get();
  });
}

ZVIndex* ZVTable::GetIndex(const char* name) {
  return guarded([&] {
    if (core_->open) core_->requireOpen();
    int n = core_->def.indexNumber(name ? name : "");
    if (n < 0) fail(RL_UNKNOWN_INDEX, "Index [" + std::string(name ? name : "") + "] not found");
    return indexes_[n].get();
  });
}

ZVIndex* ZVTable::GetIndex(int number) {
  return guarded([&] {
    if (number < 0 || size_t(number) >= core_->def.indexes.size())
      fail(RL_UNKNOWN_INDEX, "Index number " + std::to_string(number) + " not found");
    return indexes_[number].get();
  });
}

int ZVTable::GetIndexCount() const {
  const_cast<ZVTable*>(this)->settleCatalog();
  return int(core_->def.indexes.size());
}
const char* ZVTable::GetName() const { return core_->open ? core_->stored.name.c_str() : core_->def.name.c_str(); }
const char* ZVTable::GetPath() const {
  if (core_->conn) return core_->conn->path.c_str();
  return database_ ? database_->GetPath() : "";
}
const char* ZVTable::GetDataExtension() const { return kDataExtension; }

int32_t ZVTable::GetDatno() const {
  return const_cast<ZVTable*>(this)->guarded([&] {
    core_->requireOpen();
    return core_->shared->datno;
  });
}

int ZVTable::GetCreateMode() const {
  const TableDef& d = core_->open ? core_->stored : core_->def;
  return d.createMode | (d.partitioned() ? RL_CREATE_PARTITIONED : 0);
}

bool ZVTable::IsPartitioned() const { return (core_->open ? core_->stored : core_->def).partitioned(); }
const char* ZVTable::GetPartitionRule() const { return (core_->open ? core_->stored : core_->def).partRule.c_str(); }
int ZVTable::GetPartitionMaxActive() const { return (core_->open ? core_->stored : core_->def).partMaxActive; }

int64_t ZVTable::GetRecordCount() {
  return guarded([&] {
    core_->requireOpen();
    sqlite3_stmt* st = core_->conn->prepare("SELECT count(*) FROM " + quoteName(core_->stored.name));
    int64_t n = stepRow(core_->conn->db, st, "counting records") ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_reset(st);
    return n;
  });
}

int ZVTable::PartAdminByNumber(int64_t partition, int mode) {
  return guarded([&]() -> int {
    core_->requireOpen();
    TableCore& c = *core_;
    if (!c.stored.partitioned()) fail(RL_NOT_PARTITIONED, "Table [" + c.stored.name + "] is not partitioned");
    Connection& conn = *c.conn;
    std::string table = quoteName(c.stored.name);
    if (mode == RL_PART_QUERY) {
      sqlite3_stmt* st = conn.prepare("SELECT 1 FROM " + table + " WHERE rl_partition = ?1 LIMIT 1");
      sqlite3_bind_int64(st, 1, partition);
      bool any = stepRow(conn.db, st, "querying a partition");
      sqlite3_reset(st);
      return any ? 1 : 0;
    }
    if (mode == RL_PART_PURGE) {
      WriteScope write(conn, false);
      sqlite3_stmt* st = conn.prepare("DELETE FROM " + table + " WHERE rl_partition = ?1");
      sqlite3_bind_int64(st, 1, partition);
      stepDone(conn.db, st, "purging a partition");
      int changed = sqlite3_changes(conn.db);
      write.done();
      c.shared->writeGen++;
      if (!changed) fail(RL_PARTITION_NOTHING_TO_DO, "Partition " + std::to_string(partition) + " holds no rows");
      return 0;
    }
    if (mode == RL_PART_SET_LOWEST) {
      WriteScope write(conn, true);
      sqlite3_stmt* st = conn.prepare("SELECT part_low FROM rl_tables WHERE name = ?1 COLLATE NOCASE");
      sqlite3_bind_text(st, 1, c.stored.name.data(), int(c.stored.name.size()), SQLITE_STATIC);
      int64_t low = stepRow(conn.db, st, "reading the lowest partition") ? sqlite3_column_int64(st, 0) : 0;
      sqlite3_reset(st);
      if (partition <= low)
        fail(RL_PARTITION_NOTHING_TO_DO, "Partition " + std::to_string(partition) + " is not above the lowest kept");
      st = conn.prepare("DELETE FROM " + table + " WHERE rl_partition < ?1");
      sqlite3_bind_int64(st, 1, partition);
      stepDone(conn.db, st, "purging partitions");
      st = conn.prepare("UPDATE rl_tables SET part_low = ?2 WHERE name = ?1 COLLATE NOCASE");
      sqlite3_bind_text(st, 1, c.stored.name.data(), int(c.stored.name.size()), SQLITE_STATIC);
      sqlite3_bind_int64(st, 2, partition);
      stepDone(conn.db, st, "keeping the lowest partition");
      catalogChanged(conn.db);
      write.done();
      c.stored.partLow = c.def.partLow = partition;
      c.shared->writeGen++;
      c.shared->schemaGen++;
      c.schemaGen = c.shared->schemaGen.load();  // this table has the new value already
      return 0;
    }
    fail(RL_BAD_ARGUMENT, "Unknown partition operation " + std::to_string(mode));
  });
}

void ZVTable::Lock(int) {
  guarded([&] {
    core_->requireOpen();
    engine().locks.acquire(LockKey{core_->conn->path, core_->stored.name, -1}, core_->logon->id, kLockTimeoutMs);
  });
}

void ZVTable::Unlock() {
  guarded([&] {
    if (core_->open) engine().locks.release(LockKey{core_->conn->path, core_->stored.name, -1}, core_->logon->id);
  });
}

// ---- fields, indexes, segments ----------------------------------------------------------
// A field, index or segment object outlives the definition it was made for
// when its table object opens another table or reloads its definition
// (pending changes dropped, another session's Alter): it then names nothing,
// reads as empty and refuses changes.

namespace {

FieldDef* liveField(TableDef& d, int number) {
  return number >= 0 && size_t(number) < d.fields.size() ? &d.fields[number] : nullptr;
}

IndexDef* liveIndex(TableDef& d, int number) {
  return number >= 0 && size_t(number) < d.indexes.size() ? &d.indexes[number] : nullptr;
}

SegmentDef* liveSegment(TableDef& d, int index, int number) {
  IndexDef* ix = liveIndex(d, index);
  if (!ix || number < 0 || size_t(number) >= ix->segments.size()) return nullptr;
  return size_t(ix->segments[number].field) < d.fields.size() ? &ix->segments[number] : nullptr;
}

FieldDef& fieldOrFail(TableDef& d, int number) {
  FieldDef* f = liveField(d, number);
  if (!f) fail(RL_UNKNOWN_FIELD, "The field is no longer part of the table's definition");
  return *f;
}

IndexDef& indexOrFail(TableDef& d, int number) {
  IndexDef* ix = liveIndex(d, number);
  if (!ix) fail(RL_UNKNOWN_INDEX, "The index is no longer part of the table's definition");
  return *ix;
}

}  // namespace

ZVField::~ZVField() { retireHandle(this); }
Logon* ZVField::logon() const { return table_->core_->logon.get(); }
const char* ZVField::GetName() const {
  const FieldDef* f = liveField(table_->core_->def, number_);
  return f ? f->name.c_str() : "";
}
int ZVField::GetType() const {
  const FieldDef* f = liveField(table_->core_->def, number_);
  return f ? f->type : 0;
}
int ZVField::GetLength() const {
  const FieldDef* f = liveField(table_->core_->def, number_);
  return f ? f->length : 0;
}
int ZVField::GetScale() const {
  const FieldDef* f = liveField(table_->core_->def, number_);
  return f ? f->scale : 0;
}
int ZVField::GetBinaryFlag() const {
  const FieldDef* f = liveField(table_->core_->def, number_);
  return f ? f->binaryFlag : 0;
}
bool ZVField::IsAutoTimestamp() const {
  const FieldDef* f = liveField(table_->core_->def, number_);
  return f && f->autoTimestamp;
}

void ZVField::SetType(int type, int length) {
  guarded([&] {
    if (type <= 0 || length < 0) fail(RL_BAD_ARGUMENT, "Bad field type or length");
    auto& f = fieldOrFail(table_->core_->def, number_);
    f.type = type;
    f.length = length;
  });
}

void ZVField::SetLength(int length) {
  guarded([&] {
    if (length < 0) fail(RL_BAD_ARGUMENT, "Bad field length");
    fieldOrFail(table_->core_->def, number_).length = length;
  });
}

void ZVField::SetScale(int scale) {
  guarded([&] {
    if (scale < 0 || scale > 64) fail(RL_BAD_ARGUMENT, "Bad field scale");
    fieldOrFail(table_->core_->def, number_).scale = scale;
  });
}

void ZVField::SetFieldDefaultDateTimeType(int dateType, int timeType) {
  guarded([&] {
    if (dateType < 0 || dateType > 6) fail(RL_BAD_ARGUMENT, "Unknown date type " + std::to_string(dateType));
    if (timeType < 0 || (timeType > 5 && timeType != 10 && timeType != 11))
      fail(RL_BAD_ARGUMENT, "Unknown time type " + std::to_string(timeType));
    auto& core = *table_->core_;
    FieldDef& f = fieldOrFail(core.def, number_);
    f.dateType = dateType;
    f.timeType = timeType;
    if (size_t(number_) < core.stored.fields.size() && core.stored.fields[number_].name == f.name) {
      core.stored.fields[number_].dateType = dateType;
      core.stored.fields[number_].timeType = timeType;
    }
  });
}

ZVIndex::~ZVIndex() { retireHandle(this); }
Logon* ZVIndex::logon() const { return table_->core_->logon.get(); }
const char* ZVIndex::GetName() const {
  const IndexDef* ix = liveIndex(table_->core_->def, number_);
  return ix ? ix->name.c_str() : "";
}
int ZVIndex::GetKeyType() const {
  const IndexDef* ix = liveIndex(table_->core_->def, number_);
  return ix ? ix->keyType : 0;
}
int ZVIndex::GetDuplicates() const {
  const IndexDef* ix = liveIndex(table_->core_->def, number_);
  return ix ? ix->duplicates : 0;
}
int ZVIndex::GetSegmentCount() const {
  const IndexDef* ix = liveIndex(table_->core_->def, number_);
  return ix ? int(ix->segments.size()) : 0;
}

ZVSegment* ZVIndex::AddSegment(ZVField* field, int mode) {
  return guarded([&] {
    if (!field || field->table_ != table_) fail(RL_BAD_ARGUMENT, "The segment's field is not a field of this table");
    TableDef& d = table_->core_->def;
    IndexDef& ix = indexOrFail(d, number_);
    fieldOrFail(d, field->number_);
    ix.segments.push_back(SegmentDef{field->number_, mode});
    table_->rebuildObjects();
    followSegments();
    return segments_[ix.segments.size() - 1].get();
  });
}

ZVSegment* ZVIndex::GetSegment(int n) {
  return guarded([&] {
    if (!liveSegment(table_->core_->def, number_, n)) fail(RL_BAD_ARGUMENT, "No segment " + std::to_string(n));
    followSegments();
    return segments_[n].get();
  });
}

ZVSegment::~ZVSegment() { retireHandle(this); }
Logon* ZVSegment::logon() const { return table_->core_->logon.get(); }
const char* ZVSegment::GetFieldName() const {
  TableDef& d = table_->core_->def;
  const SegmentDef* s = liveSegment(d, index_, number_);
  return s ? d.fields[s->field].name.c_str() : "";
}
int ZVSegment::GetMode() const {
  const SegmentDef* s = liveSegment(table_->core_->def, index_, number_);
  return s ? s->mode : 0;
}

const SegmentDef* ravlink_detail::Access::segment(ZVSegment* s) {
  return liveSegment(s->table_->core_->def, s->index_, s->number_);
}

// ---- file blocking ------------------------------------------------------------------

namespace ravlink_detail {

int blockTableFile(const char* path, int mode) {
  if (mode != RL_BLOCK_FILE && mode != RL_UNBLOCK_FILE) return RL_BAD_ARGUMENT;
  std::string p = path ? path : "";
  size_t cut = p.find_last_of("\\/");
  if (cut == std::string::npos) return RL_BAD_PATH;
  std::string dir = p.substr(0, cut), file = p.substr(cut + 1);
  std::string ext = kDataExtension;
  if (file.size() <= ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0) return RL_BAD_PATH;
  std::string table = file.substr(0, file.size() - ext.size());
  try {
    checkObjectName(table.c_str(), "table");
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
  std::error_code ec;
  fs::path database = fs::weakly_canonical(dir, ec);
  fs::path root = fs::weakly_canonical(dataRoot(), ec);
  auto rel = database.lexically_relative(root);
  if (ec || rel.empty() || *rel.begin() == ".." || !fs::is_regular_file(database, ec)) return RL_BAD_PATH;
  auto shared = engine().table(database.string(), table);
  if (mode == RL_BLOCK_FILE) {
    shared->blocked = true;
    shared->blockGen++;
    engine().file(database.string())->notifyCommit();  // wakes blocking readers so they see it
  } else {
    shared->blocked = false;
  }
  return RL_OK;
}

}  // namespace ravlink_detail
