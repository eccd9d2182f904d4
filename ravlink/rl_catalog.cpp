// The catalog kept in each database file: table definitions read (and
// cached per connection) and written. Every value is bound; no caller text
// becomes SQL.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- catalog ------------------------------------------------------------------

int TableDef::fieldNumber(const std::string& n) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].name == n) return int(i);
  return -1;
}

int TableDef::indexNumber(const std::string& n) const {
  for (size_t i = 0; i < indexes.size(); ++i)
    if (indexes[i].name == n) return int(i);
  return -1;
}

static std::string columnText(sqlite3_stmt* st, int c) {
  const unsigned char* p = sqlite3_column_text(st, c);
  return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(st, c)) : std::string();
}

bool catalogStoredName(sqlite3* db, const std::string& name, std::string* stored) {
  sqlite3_stmt* st = prepareOnce(db, "SELECT name FROM rl_tables WHERE name = ?1 COLLATE NOCASE");
  Finalizer f{st};
  sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
  if (!stepRow(db, st, "reading the catalog")) return false;
  *stored = columnText(st, 0);
  return true;
}

bool catalogHasTable(sqlite3* db, const std::string& name) {
  std::string stored;
  return catalogStoredName(db, name, &stored);
}

bool catalogRead(sqlite3* db, const std::string& wantedName, TableDef* def) {
  *def = TableDef();
  std::string name;
  if (!catalogStoredName(db, wantedName, &name)) return false;
  def->name = name;
  std::string identityName;
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT create_mode, identity_field, part_rule, part_index, part_bits,"
                                   " part_max_active, part_low, replication, identity_seed, identity_increment"
                                   " FROM rl_tables WHERE name = ?1");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    if (!stepRow(db, st, "reading the catalog")) return false;
    def->createMode = sqlite3_column_int(st, 0);
    identityName = columnText(st, 1);
    def->partRule = columnText(st, 2);
    def->partIndex = sqlite3_column_type(st, 3) == SQLITE_NULL ? -1 : sqlite3_column_int(st, 3);
    def->partBits = sqlite3_column_int(st, 4);
    def->partMaxActive = sqlite3_column_int(st, 5);
    def->partLow = sqlite3_column_int64(st, 6);
    def->replication = sqlite3_column_int(st, 7);
    if (sqlite3_column_type(st, 8) != SQLITE_NULL) def->identitySeed = sqlite3_column_int64(st, 8);
    if (sqlite3_column_type(st, 9) != SQLITE_NULL) def->identityIncrement = sqlite3_column_int64(st, 9);
  }
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT name, type, length, scale, binary_flag, auto_timestamp FROM rl_fields"
                                   " WHERE tbl = ?1 ORDER BY pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      FieldDef fd;
      fd.name = columnText(st, 0);
      fd.type = sqlite3_column_int(st, 1);
      fd.length = sqlite3_column_int(st, 2);
      // The time stamp column holds a bit for creation (1) and one for update (2).
      setScaleWord(fd, sqlite3_column_int(st, 3));
      fd.binaryFlag = sqlite3_column_int(st, 4);
      int stampBits = sqlite3_column_int(st, 5);
      fd.autoTimestamp = (stampBits & 1) != 0;
      fd.autoUpdate = (stampBits & 2) != 0;
      def->fields.push_back(fd);
    }
  }
  {
    sqlite3_stmt* st =
        prepareOnce(db,
                    "SELECT name, key_type, duplicates, null_key, condition FROM rl_indexes WHERE tbl = ?1"
                    " ORDER BY pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      IndexDef ix;
      ix.name = columnText(st, 0);
      ix.keyType = sqlite3_column_int(st, 1);
      ix.duplicates = sqlite3_column_int(st, 2);
      ix.nullKey = sqlite3_column_int(st, 3);
      ix.condition = columnText(st, 4);
      def->indexes.push_back(ix);
    }
  }
  {
    sqlite3_stmt* st = prepareOnce(db,
                                   "SELECT idx, field, mode, json_key, json_type, json_size FROM rl_segments"
                                   " WHERE tbl = ?1 ORDER BY idx, pos");
    Finalizer f{st};
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_STATIC);
    while (stepRow(db, st, "reading the catalog")) {
      int idx = sqlite3_column_int(st, 0);
      int field = sqlite3_column_int(st, 1);
      if (idx < 0 || size_t(idx) >= def->indexes.size() || field < 0 || size_t(field) >= def->fields.size())
        fail(RL_STORAGE_ERROR, "The catalog of table [" + name + "] is inconsistent");
      SegmentDef seg{field, sqlite3_column_int(st, 2)};
      seg.jsonKey = columnText(st, 3);
      seg.jsonType = sqlite3_column_int(st, 4);
      seg.jsonSize = sqlite3_column_int(st, 5);
      def->indexes[idx].segments.push_back(seg);
    }
  }
  def->identity = identityName.empty() ? -1 : def->fieldNumber(identityName);
  return true;
}

void execBound(sqlite3* db, const char* sql, const std::vector<Value>& values) {
  sqlite3_stmt* st = prepareOnce(db, sql);
  Finalizer f{st};
  for (size_t i = 0; i < values.size(); ++i) bindValue(st, int(i + 1), values[i]);
  stepDone(db, st, "writing the catalog");
}

void catalogWrite(sqlite3* db, const TableDef& def) {
  Value name = Value::text(def.name);
  for (const char* sql :
       {"DELETE FROM rl_tables WHERE name = ?1 COLLATE NOCASE", "DELETE FROM rl_fields WHERE tbl = ?1 COLLATE NOCASE",
        "DELETE FROM rl_indexes WHERE tbl = ?1 COLLATE NOCASE",
        "DELETE FROM rl_segments WHERE tbl = ?1 COLLATE NOCASE"})
    execBound(db, sql, {name});
  execBound(
      db,
      "INSERT INTO rl_tables(name, create_mode, identity_field, part_rule, part_index, part_bits,"
      " part_max_active, part_low, replication, identity_seed, identity_increment)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
      {name, Value::integer(def.createMode), def.identity >= 0 ? Value::text(def.fields[def.identity].name) : Value(),
       def.partRule.empty() ? Value() : Value::text(def.partRule),
       def.partIndex >= 0 ? Value::integer(def.partIndex) : Value(), Value::integer(def.partBits),
       Value::integer(def.partMaxActive), Value::integer(def.partLow), Value::integer(def.replication),
       Value::integer(def.identitySeed), Value::integer(def.identityIncrement)});
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldDef& f = def.fields[i];
    execBound(db,
              "INSERT INTO rl_fields(tbl, pos, name, type, length, scale, binary_flag, auto_timestamp)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
              {name, Value::integer(int64_t(i)), Value::text(f.name), Value::integer(f.type), Value::integer(f.length),
               Value::integer(scaleWord(f)), Value::integer(f.binaryFlag),
               Value::integer((f.autoTimestamp ? 1 : 0) | (f.autoUpdate ? 2 : 0))});
  }
  for (size_t i = 0; i < def.indexes.size(); ++i) {
    const IndexDef& ix = def.indexes[i];
    execBound(db,
              "INSERT INTO rl_indexes(tbl, pos, name, key_type, duplicates, null_key, condition)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
              {name, Value::integer(int64_t(i)), Value::text(ix.name), Value::integer(ix.keyType),
               Value::integer(ix.duplicates), Value::integer(ix.nullKey),
               ix.condition.empty() ? Value() : Value::text(ix.condition)});
    for (size_t s = 0; s < ix.segments.size(); ++s) {
      const SegmentDef& seg = ix.segments[s];
      execBound(db,
                "INSERT INTO rl_segments(tbl, idx, pos, field, mode, json_key, json_type, json_size)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                {name, Value::integer(int64_t(i)), Value::integer(int64_t(s)), Value::integer(seg.field),
                 Value::integer(seg.mode), seg.overJsonKey() ? Value::text(seg.jsonKey) : Value(),
                 seg.overJsonKey() ? Value::integer(seg.jsonType) : Value(),
                 seg.overJsonKey() ? Value::integer(seg.jsonSize) : Value()});
    }
  }
  catalogChanged(db);
}

void catalogChanged(sqlite3* db) {
  execBound(db,
            "INSERT INTO rl_schema(key, value) VALUES('catalog_generation', 1)"
            " ON CONFLICT(key) DO UPDATE SET value = value + 1",
            {});
}

static int64_t catalogGeneration(Connection& conn) {
  sqlite3_stmt* st = conn.prepare("SELECT value FROM rl_schema WHERE key = 'catalog_generation'");
  int64_t gen = stepRow(conn.db, st, "reading the catalog generation") ? sqlite3_column_int64(st, 0) : 0;
  sqlite3_reset(st);
  return gen;
}

static unsigned pagerVersion(Connection& conn, bool* known) {
  unsigned version = 0;
  *known = sqlite3_file_control(conn.db, "main", SQLITE_FCNTL_DATA_VERSION, &version) == SQLITE_OK;
  return version;
}

// Whether the connection's cached definitions still hold. A commit by
// another connection (of this process or another) changes the file's data
// version; only then is the catalog generation read. It is read while the
// data version's statement still holds its read transaction open: under
// concurrent writers the data version changes between nearly every two
// checks, and a read after the reset would be a second transaction (a second
// round of file locks) seeing a snapshot newer than the version's.
static void dropStaleDefinitions(Connection& conn) {
  sqlite3_stmt* st = conn.prepare("PRAGMA data_version");
  StmtReset reset{st};
  int64_t version = stepRow(conn.db, st, "reading the data version") ? sqlite3_column_int64(st, 0) : -1;
  // Read inside the same transaction: what the pager has seen up to here.
  conn.pagerVersionSeen = pagerVersion(conn, &conn.pagerVersionKnown);
  if (version == conn.dataVersionSeen) return;
  int64_t gen = catalogGeneration(conn);
  if (gen != conn.catalogGenSeen) conn.definitions.clear();
  conn.dataVersionSeen = version;
  conn.catalogGenSeen = gen;
}

bool definitionsHoldInSnapshot(Connection& conn) {
  bool known = false;
  unsigned version = pagerVersion(conn, &known);
  if (!known) return false;
  if (conn.pagerVersionKnown && version == conn.pagerVersionSeen) return true;
  // Something was committed since: the catalog generation, read in this
  // same transaction, tells whether it was the catalog.
  if (catalogGeneration(conn) != conn.catalogGenSeen) return false;
  conn.pagerVersionSeen = version;
  conn.pagerVersionKnown = true;
  return true;
}

bool cachedDefinitionCurrent(Connection& conn, const std::string& name, const TableShared& shared) {
  conn.parkWalks();
  dropStaleDefinitions(conn);
  auto it = conn.definitions.find(name);
  return it != conn.definitions.end() && it->second.schemaGen == shared.schemaGen.load();
}

bool catalogReadCached(Connection& conn, const std::string& name, const TableShared& shared, TableDef* def,
                       bool* deferred) {
  uint64_t schemaGen = shared.schemaGen.load();
  if (deferred && conn.pagerVersionKnown && !conn.txnOpen) {
    auto it = conn.definitions.find(name);
    if (it != conn.definitions.end() && it->second.schemaGen == schemaGen) {
      *def = it->second.def;
      *deferred = true;
      return true;
    }
  }
  conn.parkWalks();
  dropStaleDefinitions(conn);
  schemaGen = shared.schemaGen.load();
  auto it = conn.definitions.find(name);
  if (it != conn.definitions.end() && it->second.schemaGen == schemaGen) {
    *def = it->second.def;
    return true;
  }
  if (!catalogRead(conn.db, name, def)) return false;
  // What a transaction of this connection wrote may yet be undone.
  if (!conn.txnOpen) conn.definitions[name] = Connection::CachedDefinition{*def, schemaGen};
  return true;
}

// The catalog's scale column holds the precision in its upper half.
int scaleWord(const FieldDef& f) { return f.scale | (f.precision << 16); }

void setScaleWord(FieldDef& f, int word) {
  f.scale = word & 0xffff;
  f.precision = (word >> 16) & 0x7fff;
}

// ---- calls that name a data file number ------------------------------------------

namespace {

// A short-lived connection for the calls that name a data file number.
struct FileConnection {
  sqlite3* db = nullptr;
  std::string table;
  std::string path;
  explicit FileConnection(int32_t datno) {
    if (!engine().lookupDatno(datno, &path, &table))
      fail(RL_BAD_HANDLE, "Unknown data file number " + std::to_string(datno));
    db = openDatabaseFile(path, FileOpen::Peek, kBusyTimeoutMs);
  }
  ~FileConnection() { sqlite3_close_v2(db); }
};

}  // namespace

int setTableReplication(int32_t datno, int on, int flags) {
  FileConnection fc(datno);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(fc.db, "UPDATE rl_tables SET replication = ?2 WHERE name = ?1 COLLATE NOCASE", -1, &st,
                         nullptr) != SQLITE_OK)
    return RL_STORAGE_ERROR;
  sqlite3_bind_text(st, 1, fc.table.data(), int(fc.table.size()), SQLITE_STATIC);
  sqlite3_bind_int(st, 2, on ? flags | 1 : 0);
  int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return RL_STORAGE_ERROR;
  catalogChanged(fc.db);
  engine().table(fc.path, fc.table)->schemaGen++;
  return RL_OK;
}

int64_t lowestPartition(int32_t datno) {
  FileConnection fc(datno);
  sqlite3_stmt* st = nullptr;
  std::string sql = "SELECT min(rl_partition) FROM " + quoteName(fc.table);
  if (sqlite3_prepare_v2(fc.db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return -RL_NOT_PARTITIONED;
  }
  int64_t result = -RL_NOT_FOUND;
  if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
    result = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return result;
}

}  // namespace ravlink_detail
