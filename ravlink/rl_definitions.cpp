// Definitions in SQL: the statements that create, alter, rebuild and copy
// tables and their indexes, keys inside JSON fields among them. Every
// identifier is quoted and every value is bound; no caller text becomes SQL.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- definitions in SQL --------------------------------------------------------

static const char* kRecordIdColumn = "rl_recid";
static const char* kPartitionColumn = "rl_partition";

std::string indexSqlName(const std::string& table, const std::string& index) {
  // Table names hold no '.', so the pair cannot collide with another pair.
  return table + "." + index;
}

std::string createTableSql(const TableDef& def, const std::string& sqlName) {
  std::string sql = "CREATE TABLE " + quoteName(sqlName) + " (";
  if (def.identity < 0) sql += quoteName(kRecordIdColumn) + " INTEGER PRIMARY KEY AUTOINCREMENT, ";
  for (size_t i = 0; i < def.fields.size(); ++i) {
    bool identity = int(i) == def.identity;
    sql += quoteName(def.fields[i].name) + " " + declaredType(def.fields[i], identity);
    if (identity) sql += " PRIMARY KEY AUTOINCREMENT";
    sql += ", ";
  }
  if (def.partitioned()) sql += quoteName(kPartitionColumn) + " INTEGER, ";
  sql.resize(sql.size() - 2);
  sql += ")";
  return sql;
}

// ---- keys inside JSON fields ----------------------------------------------------

void checkJsonKey(const std::string& key) {
  auto refuse = [&](const char* why) { fail(RL_BAD_ARGUMENT, "JSON key [" + key + "]: " + why); };
  if (key.empty() || key.size() > kMaxJsonKeyLength) refuse("empty or too long");
  size_t p = key.compare(0, 2, "$.") == 0 ? 2 : 0;
  auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (;;) {
    size_t start = p;
    while (p < key.size() && isNameChar(key[p])) ++p;
    if (p == start) refuse("a member name is expected");
    while (p < key.size() && key[p] == '[') {
      size_t digits = ++p;
      while (p < key.size() && std::isdigit(static_cast<unsigned char>(key[p]))) ++p;
      if (p == digits || p - digits > 9 || p >= key.size() || key[p] != ']') refuse("bad array position");
      ++p;
    }
    if (p == key.size()) return;
    if (key[p] != '.') refuse("unexpected character");
    ++p;
  }
}

void checkJsonKeyType(int type, int size) {
  switch (type) {
    case RL_TYPE_BIT:
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
    case RL_TYPE_DOUBLE:
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      return;
    case RL_TYPE_VARCHAR_FIXED:
      if (size < 1 || size > 1024) fail(RL_BAD_ARGUMENT, "A JSON text key has a size of 1 to 1024 bytes");
      return;
    default:
      fail(RL_BAD_ARGUMENT, "Type " + std::to_string(type) + " cannot index a key of a JSON field");
  }
}

FieldDef segmentKeyField(const TableDef& def, const SegmentDef& seg) {
  if (!seg.overJsonKey()) return def.fields[seg.field];
  FieldDef f;
  f.name = def.fields[seg.field].name;
  f.type = seg.jsonType;
  f.length = seg.jsonSize;
  return f;
}

static const char* jsonKeyCast(int type) {
  return type == RL_TYPE_VARCHAR_FIXED ? "TEXT" : type == RL_TYPE_DOUBLE ? "REAL" : "INTEGER";
}

// The key path in SQLite's path syntax: the checked key is already in it.
static std::string jsonPathLiteral(const std::string& key) {
  return "'" + (key.compare(0, 2, "$.") == 0 ? key : "$." + key) + "'";
}

// A text that is no JSON has no key (json_extract would fail the write).
static std::string rowKeySql(const SegmentDef& seg, const std::string& column) {
  return "CAST(json_extract(CASE WHEN json_valid(" + column + ") THEN " + column + " END, " +
         jsonPathLiteral(seg.jsonKey) + ") AS " + jsonKeyCast(seg.jsonType) + ")";
}

std::string segmentKeySql(const TableDef& def, const SegmentDef& seg) {
  std::string column = quoteName(def.fields[seg.field].name);
  return seg.overJsonKey() ? rowKeySql(seg, column) : column;
}

Value segmentKeyValue(Connection& conn, const TableDef& def, const SegmentDef& seg, const Value& fieldValue,
                      bool search) {
  if (!seg.overJsonKey() || fieldValue.isNull()) return fieldValue;
  std::string cast = jsonKeyCast(seg.jsonType);
  std::string sql = search ? "SELECT CASE WHEN json_valid(?1) AND json_type(?1) IN ('object', 'array') THEN " +
                                 rowKeySql(seg, "?1") + " WHEN json_valid(?1) THEN CAST(json_extract(?1, '$') AS " +
                                 cast + ") ELSE CAST(?1 AS " + cast + ") END"
                           : "SELECT " + rowKeySql(seg, "?1");
  sqlite3_stmt* st = conn.prepareScalar(sql);
  StmtReset reset{st};
  bindValue(st, 1, fieldValue);
  return stepRow(conn.db, st, "reading a JSON key") ? columnValue(st, 0) : Value();
}

std::string createIndexSql(const TableDef& def, int index) {
  const IndexDef& ix = def.indexes[index];
  std::string sql = std::string("CREATE ") + (ix.duplicates ? "" : "UNIQUE ") + "INDEX " +
                    quoteName(indexSqlName(def.name, ix.name)) + " ON " + quoteName(def.name) + " (";
  for (size_t s = 0; s < ix.segments.size(); ++s) {
    if (s) sql += ", ";
    sql += segmentKeySql(def, ix.segments[s]) + (ix.segments[s].descending() ? " DESC" : "");
  }
  sql += ")";
  if (!ix.condition.empty()) sql += " WHERE " + conditionSql(ix.condition, def);
  return sql;
}

void validateDefinition(const TableDef& def) {
  if (def.fields.empty()) fail(RL_BAD_ARGUMENT, "Table [" + def.name + "] has no fields");
  std::set<std::string> seen;
  for (const auto& f : def.fields) {
    std::string lower = f.name;
    for (auto& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
    if (!seen.insert(lower).second) fail(RL_BAD_NAME, "Field [" + f.name + "] is defined twice");
  }
  std::set<std::string> indexNames;
  for (const auto& ix : def.indexes) {
    if (!indexNames.insert(ix.name).second) fail(RL_BAD_NAME, "Index [" + ix.name + "] is defined twice");
    if (ix.segments.empty()) fail(RL_BAD_ARGUMENT, "Index [" + ix.name + "] has no segments");
    for (const auto& seg : ix.segments)
      if (seg.overJsonKey() && def.fields[seg.field].type != RL_TYPE_JSON)
        fail(RL_BAD_ARGUMENT, "Index [" + ix.name + "] has a JSON key over field [" + def.fields[seg.field].name +
                                  "], which is no JSON field");
    if (!ix.condition.empty()) conditionSql(ix.condition, def);  // its fields still exist
  }
  if (def.identity >= 0 && semOf(def.fields[def.identity]) != Sem::Int)
    fail(RL_BAD_ARGUMENT, "Identity field [" + def.fields[def.identity].name + "] is not an integer field");
  if ((def.createMode & RL_CREATE_PARTITIONED) && !def.partitioned())
    fail(RL_BAD_RULE, "Table [" + def.name + "] is created partitioned without a partition rule");
  if (def.partitioned()) {
    PartitionRule rule;
    rule.parse(def.partRule, def);
  }
}

static void execSql(Connection& conn, const std::string& sql) {
  conn.parkWalks();
  char* err = nullptr;
  int rc = sqlite3_exec(conn.db, sql.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : "";
    sqlite3_free(err);
    int ext = sqlite3_extended_errcode(conn.db);
    if ((rc & 0xff) == SQLITE_CONSTRAINT) fail(RL_DUPLICATE_KEY, "Duplicate key: " + msg);
    failSqlite(conn.db, ext, "changing the table definition");
  }
}

// A definition change is whole or not at all, also when it joins a
// transaction of the session: a failed step would otherwise leave the steps
// before it (columns added, the table rebuilt) to the session's commit, with
// a catalog that no longer describes the table.
class DefinitionChange {
 public:
  explicit DefinitionChange(Connection& conn) : write_(conn, true), conn_(conn) {
    execSql(conn_, "SAVEPOINT rl_definition");
    open_ = true;
  }
  ~DefinitionChange() {
    if (open_) sqlite3_exec(conn_.db, "ROLLBACK TO rl_definition; RELEASE rl_definition", nullptr, nullptr, nullptr);
  }
  void done() {
    execSql(conn_, "RELEASE rl_definition");
    open_ = false;
    write_.done();
  }

 private:
  WriteScope write_;
  Connection& conn_;
  bool open_ = false;
};

// SQLite's sequence of a table that has no row in sqlite_sequence counts
// from 0, so after a negative seed the next value would be the increment:
// an identity with its own seed and increment has its row from the start,
// one increment before the seed (or at the highest value the table holds).
static void startIdentitySequence(Connection& conn, const TableDef& def) {
  if (!def.customIdentity()) return;
  std::string sql = "INSERT INTO sqlite_sequence(name, seq) SELECT ?1, coalesce((SELECT max(" +
                    quoteName(def.fields[def.identity].name) + ") FROM " + quoteName(def.name) +
                    "), ?2) WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = ?1)";
  execBound(conn.db, sql.c_str(), {Value::text(def.name), Value::integer(def.identitySeed - def.identityIncrement)});
}

void createTableInFile(Connection& conn, const TableDef& def) {
  DefinitionChange write(conn);
  std::string existing;
  if (catalogStoredName(conn.db, def.name, &existing)) fail(RL_TABLE_EXISTS, "Table [" + existing + "] already exists");
  execSql(conn, createTableSql(def, def.name));
  startIdentitySequence(conn, def);
  for (size_t i = 0; i < def.indexes.size(); ++i) execSql(conn, createIndexSql(def, int(i)));
  if (def.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(def.name, kPartitionColumn)) + " ON " + quoteName(def.name) +
                      " (" + quoteName(kPartitionColumn) + ")");
  catalogWrite(conn.db, def);
  write.done();
}

// Rebuilds the table when declared column types change: SQLite cannot alter
// a column's type in place. Values are copied as they are; the sequence of
// record ids is carried over so ids are never reused.
thread_local CopyProgress* tlsCopyProgress = nullptr;

// Runs the copy `insertSelect` (an INSERT ... SELECT ... FROM the table);
// with a progress hook on this thread, in chunks of its step rows in id
// order, telling it the rows copied after each chunk.
static void copyRows(Connection& conn, const std::string& insertSelect, const std::string& idColumn) {
  CopyProgress* progress = tlsCopyProgress;
  if (!progress || progress->step <= 0) {
    execSql(conn, insertSelect);
    return;
  }
  sqlite3_stmt* chunk = prepareOnce(
      conn.db,
      (insertSelect + " WHERE " + idColumn + " > ?1 ORDER BY " + idColumn + " LIMIT ?2 RETURNING " + idColumn).c_str());
  Finalizer f{chunk};
  int64_t last = INT64_MIN, copied = 0;
  for (;;) {
    sqlite3_bind_int64(chunk, 1, last);
    sqlite3_bind_int64(chunk, 2, progress->step);
    int64_t rows = 0;
    while (stepRow(conn.db, chunk, "copying records")) {
      last = std::max<int64_t>(last, sqlite3_column_int64(chunk, 0));
      ++rows;
    }
    sqlite3_reset(chunk);
    if (rows == 0) break;
    copied += rows;
    progress->copied(copied);
  }
}

static void rebuildTable(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  std::string tmp = "rl_rebuild_" + wanted.name;
  execSql(conn, "DROP TABLE IF EXISTS " + quoteName(tmp));
  execSql(conn, createTableSql(wanted, tmp));
  std::string cols = quoteName(stored.identity >= 0 ? stored.fields[stored.identity].name : kRecordIdColumn);
  std::string from = cols;
  // Fields the new definition drops leave with the old table; renamed ones keep their values.
  for (const auto& f : wanted.fields) {
    const std::string& source = f.formerName.empty() ? f.name : f.formerName;
    int s = stored.fieldNumber(source);
    if (s < 0 || s == stored.identity) continue;
    cols += ", " + quoteName(f.name);
    from += ", " + quoteName(stored.fields[s].name);
  }
  if (stored.partitioned() && wanted.partitioned()) {
    cols += ", " + quoteName(kPartitionColumn);
    from += ", " + quoteName(kPartitionColumn);
  }
  copyRows(conn, "INSERT INTO " + quoteName(tmp) + " (" + cols + ") SELECT " + from + " FROM " + quoteName(wanted.name),
           quoteName(stored.identity >= 0 ? stored.fields[stored.identity].name : kRecordIdColumn));
  sqlite3_stmt* seq = prepareOnce(conn.db, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
  Finalizer f{seq};
  sqlite3_bind_text(seq, 1, wanted.name.data(), int(wanted.name.size()), SQLITE_STATIC);
  int64_t high = stepRow(conn.db, seq, "reading the id sequence") ? sqlite3_column_int64(seq, 0) : 0;
  sqlite3_reset(seq);
  execSql(conn, "DROP TABLE " + quoteName(wanted.name));
  execSql(conn, "ALTER TABLE " + quoteName(tmp) + " RENAME TO " + quoteName(wanted.name));
  execBound(conn.db, "UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1",
            {Value::text(wanted.name), Value::integer(high)});
  startIdentitySequence(conn, wanted);
  for (size_t i = 0; i < wanted.indexes.size(); ++i) execSql(conn, createIndexSql(wanted, int(i)));
  if (wanted.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(wanted.name, kPartitionColumn)) + " ON " +
                      quoteName(wanted.name) + " (" + quoteName(kPartitionColumn) + ")");
}

static bool sameStorage(const FieldDef& a, const FieldDef& b) {
  return a.type == b.type && a.length == b.length && a.scale == b.scale && a.precision == b.precision &&
         a.binaryFlag == b.binaryFlag;
}

// Fields whose type, length, scale or flags change have their stored values
// converted in place first; a value that does not convert fails the whole
// alteration, which then changes nothing.
static void convertChangedFields(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  for (const auto& f : wanted.fields) {
    int s = stored.fieldNumber(f.formerName.empty() ? f.name : f.formerName);
    if (s < 0 || s == stored.identity || sameStorage(stored.fields[s], f)) continue;
    const FieldDef& old = stored.fields[s];
    std::string column = quoteName(old.name), table = quoteName(stored.name);
    sqlite3_stmt* read = prepareOnce(conn.db, ("SELECT rowid, " + column + " FROM " + table).c_str());
    Finalizer readDone{read};
    sqlite3_stmt* write =
        prepareOnce(conn.db, ("UPDATE " + table + " SET " + column + " = ?1 WHERE rowid = ?2").c_str());
    Finalizer writeDone{write};
    std::vector<std::pair<int64_t, Value>> changed;
    while (stepRow(conn.db, read, "reading values to convert")) {
      Value v = columnValue(read, 1);
      Value converted;
      try {
        converted = convertValue(old, v, f);
      } catch (const ZVException& e) {
        fail(RL_BAD_VALUE, "Field [" + old.name + "] of record " + std::to_string(sqlite3_column_int64(read, 0)) +
                               " does not convert: " + e.GetErrorMsg());
      }
      if (!sameValue(v, converted)) changed.emplace_back(sqlite3_column_int64(read, 0), std::move(converted));
    }
    for (const auto& [rowid, value] : changed) {
      bindValue(write, 1, value);
      sqlite3_bind_int64(write, 2, rowid);
      stepDone(conn.db, write, "converting a value");
      sqlite3_reset(write);
    }
  }
}

void alterTableInFile(Connection& conn, const TableDef& stored, const TableDef& wanted) {
  DefinitionChange write(conn);
  convertChangedFields(conn, stored, wanted);
  bool rebuild = wanted.identity != stored.identity || wanted.partitioned() != stored.partitioned();
  for (size_t i = 0; i < stored.fields.size() && !rebuild; ++i) {
    // Fields removed or moved: the table is rebuilt, kept fields keep their values by name.
    rebuild = i >= wanted.fields.size() || wanted.fields[i].name != stored.fields[i].name;
    if (rebuild) break;
    rebuild = std::string(declaredType(stored.fields[i], int(i) == stored.identity)) !=
              declaredType(wanted.fields[i], int(i) == wanted.identity);
  }
  if (rebuild) {
    rebuildTable(conn, stored, wanted);
  } else {
    for (size_t i = stored.fields.size(); i < wanted.fields.size(); ++i)
      execSql(conn, "ALTER TABLE " + quoteName(wanted.name) + " ADD COLUMN " + quoteName(wanted.fields[i].name) + " " +
                        declaredType(wanted.fields[i], false));
    for (size_t i = 0; i < stored.indexes.size(); ++i) {
      int w = wanted.indexNumber(stored.indexes[i].name);
      bool same = w >= 0 && wanted.indexes[w].sameShape(stored.indexes[i]);
      if (!same) execSql(conn, "DROP INDEX IF EXISTS " + quoteName(indexSqlName(wanted.name, stored.indexes[i].name)));
    }
    for (size_t i = 0; i < wanted.indexes.size(); ++i) {
      int s = stored.indexNumber(wanted.indexes[i].name);
      bool existed = s >= 0 && wanted.indexes[i].sameShape(stored.indexes[s]);
      if (!existed) execSql(conn, createIndexSql(wanted, int(i)));
    }
  }
  catalogWrite(conn.db, wanted);
  write.done();
}

void rebuildTableInFile(Connection& conn, const TableDef& def) {
  DefinitionChange write(conn);
  rebuildTable(conn, def, def);
  write.done();
}

// The source is read in one read transaction of its own, so the copy is
// the table as one commit left it.
void copyTableFromFile(Connection& conn, const std::string& sourcePath, const std::string& name) {
  sqlite3* source = openDatabaseFile(sourcePath, FileOpen::Peek, kBusyTimeoutMs);
  struct Closer {
    sqlite3* db;
    ~Closer() {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close_v2(db);
    }
  } closer{source};
  if (sqlite3_exec(source, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
    failSqlite(source, sqlite3_extended_errcode(source), "reading the table to copy");
  TableDef def;
  if (!catalogRead(source, name, &def)) fail(RL_NO_TABLE, "Table [" + name + "] not found in " + sourcePath);
  DefinitionChange write(conn);
  std::string existing;
  if (catalogStoredName(conn.db, def.name, &existing)) fail(RL_TABLE_EXISTS, "Table [" + existing + "] already exists");
  execSql(conn, createTableSql(def, def.name));
  // The record id column first, then the fields, then the partition number.
  std::string columns = quoteName(def.identity >= 0 ? def.fields[def.identity].name : kRecordIdColumn);
  for (size_t i = 0; i < def.fields.size(); ++i)
    if (int(i) != def.identity) columns += ", " + quoteName(def.fields[i].name);
  if (def.partitioned()) columns += ", " + quoteName(kPartitionColumn);
  sqlite3_stmt* read = prepareOnce(source, ("SELECT " + columns + " FROM " + quoteName(def.name)).c_str());
  Finalizer readDone{read};
  int count = sqlite3_column_count(read);
  std::string params;
  for (int c = 0; c < count; ++c) params += (c ? ", ?" : "?") + std::to_string(c + 1);
  sqlite3_stmt* insert = prepareOnce(
      conn.db, ("INSERT INTO " + quoteName(def.name) + " (" + columns + ") VALUES (" + params + ")").c_str());
  Finalizer insertDone{insert};
  while (stepRow(source, read, "reading the table to copy")) {
    std::vector<Value> row;
    for (int c = 0; c < count; ++c) row.push_back(columnValue(read, c));
    for (int c = 0; c < count; ++c) bindValue(insert, c + 1, row[size_t(c)]);
    stepDone(conn.db, insert, "copying a record");
  }
  // Ids are never reused: the sequence goes on from where it stood.
  sqlite3_stmt* seq = prepareOnce(source, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
  Finalizer seqDone{seq};
  sqlite3_bind_text(seq, 1, def.name.data(), int(def.name.size()), SQLITE_STATIC);
  int64_t high = stepRow(source, seq, "reading the id sequence") ? sqlite3_column_int64(seq, 0) : 0;
  execBound(conn.db, "UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1",
            {Value::text(def.name), Value::integer(high)});
  execBound(conn.db,
            "INSERT INTO sqlite_sequence(name, seq) SELECT ?1, ?2 WHERE NOT EXISTS"
            " (SELECT 1 FROM sqlite_sequence WHERE name = ?1)",
            {Value::text(def.name), Value::integer(high)});
  for (size_t i = 0; i < def.indexes.size(); ++i) execSql(conn, createIndexSql(def, int(i)));
  if (def.partitioned())
    execSql(conn, "CREATE INDEX " + quoteName(indexSqlName(def.name, kPartitionColumn)) + " ON " + quoteName(def.name) +
                      " (" + quoteName(kPartitionColumn) + ")");
  catalogWrite(conn.db, def);
  write.done();
}

// ---- changes of a working definition ------------------------------------------

void setIdentityField(TableDef& d, bool stored, const char* fieldName, int seed, int increment) {
  // Each record takes a new id: the step is not 0. A falling identity
  // (a negative step) goes on below the lowest id the table holds.
  if (increment == 0) fail(RL_BAD_ARGUMENT, "Identity values change by an increment other than 0");
  int n = d.fieldNumber(fieldName ? fieldName : "");
  if (n < 0) fail(RL_UNKNOWN_FIELD, "Field [" + std::string(fieldName ? fieldName : "") + "] not found");
  if (semOf(d.fields[n]) != Sem::Int) fail(RL_BAD_ARGUMENT, "An identity field holds integers");
  // An open table keeps its identity field through an alteration (its
  // values are the record ids); the seed and step may change.
  if (stored && n != d.identity)
    fail(RL_BAD_ARGUMENT, "The identity field of a stored table cannot move to another field");
  d.identity = n;
  d.identitySeed = seed;
  d.identityIncrement = increment;
}

void setAutoTimestamp(FieldDef& fd, int onCreate, int onUpdate) {
  Sem sem = semOf(fd);
  if ((onCreate || onUpdate) && sem != Sem::Timestamp && sem != Sem::Date && sem != Sem::Time)
    fail(RL_BAD_ARGUMENT, "Field [" + fd.name + "] is not a date or time field");
  fd.autoTimestamp = onCreate != 0;
  fd.autoUpdate = onUpdate != 0;
}

void setPartitionIndex(TableDef& d, int indexNumber) {
  if (indexNumber < 0 || size_t(indexNumber) >= d.indexes.size())
    fail(RL_UNKNOWN_INDEX, "Index number " + std::to_string(indexNumber) + " not found");
  d.partIndex = indexNumber;
}

void setPartitionRule(TableDef& d, const char* rule) {
  std::string text = rule ? rule : "";
  if (text.size() > 4096) fail(RL_BAD_RULE, "Partition rule is too long");
  PartitionRule check;
  check.parse(text, d);
  d.partRule = text;
}

void setPartitionBits(TableDef& d, int bits) {
  if (bits < 0 || bits > 32) fail(RL_BAD_ARGUMENT, "Partition number width must be 0 to 32 bits");
  d.partBits = bits;
}

void setPartitionMaxActive(TableDef& d, int maxActive) {
  if (maxActive < 0 || maxActive > 65535) fail(RL_BAD_ARGUMENT, "Maximum active partitions must be 0 to 65535");
  d.partMaxActive = maxActive;
}

// ---- changes of a working definition through the numbered functions ----------------

namespace {

// Field numbers move when a field is inserted, moved or deleted: segments
// and the identity follow their fields.
void renumberFields(TableDef& d, const std::vector<int>& newNumberOf) {
  for (auto& ix : d.indexes) {
    std::vector<SegmentDef> kept;
    for (auto seg : ix.segments)
      if (newNumberOf[seg.field] >= 0) {
        seg.field = newNumberOf[seg.field];
        kept.push_back(seg);
      }
    ix.segments = kept;
  }
  std::vector<IndexDef> indexes;
  for (size_t i = 0; i < d.indexes.size(); ++i) {
    if (!d.indexes[i].segments.empty()) {
      if (d.partIndex == int(i)) d.partIndex = int(indexes.size());
      indexes.push_back(d.indexes[i]);
    } else if (d.partIndex == int(i)) {
      d.partIndex = -1;
    }
  }
  d.indexes = indexes;
  if (d.identity >= 0) d.identity = newNumberOf[d.identity];
}

// The order of fields after moving the field at `from` to `to`.
std::vector<int> movedNumbers(size_t count, int from, int to) {
  std::vector<int> order;
  for (size_t i = 0; i < count; ++i)
    if (int(i) != from) order.push_back(int(i));
  order.insert(order.begin() + to, from);
  std::vector<int> newNumberOf(count);
  for (size_t i = 0; i < order.size(); ++i) newNumberOf[order[i]] = int(i);
  return newNumberOf;
}

FieldDef newField(const TableDef& d, const char* name, int type, int length) {
  std::string n = name ? name : "";
  checkFieldName(n, "field");
  if (d.fieldNumber(n) >= 0) fail(RL_BAD_NAME, "Field [" + n + "] already exists");
  if (type <= 0 || length < 0) fail(RL_BAD_ARGUMENT, "Field [" + n + "] has a bad type or length");
  FieldDef f;
  f.name = n;
  f.type = type;
  f.length = length;
  return f;
}

}  // namespace

FieldDef& liveFieldDef(ZVField* f) {
  int n;
  return Access::definition(f, &n).fields[n];
}

IndexDef& liveIndexDef(ZVIndex* ix) {
  TableDef& d = Access::definition(Access::table(ix));
  int n = ix->GetNumber();
  if (n < 0 || size_t(n) >= d.indexes.size()) fail(RL_UNKNOWN_INDEX, "The index is no longer part of the definition");
  return d.indexes[n];
}

void insertFieldDef(TableDef& d, int position, const char* name, int type, int length) {
  if (position < 0 || size_t(position) > d.fields.size()) fail(RL_BAD_ARGUMENT, "Field position out of range");
  FieldDef f = newField(d, name, type, length);
  d.fields.push_back(f);
  renumberFields(d, movedNumbers(d.fields.size(), int(d.fields.size() - 1), position));
  std::rotate(d.fields.begin() + position, d.fields.end() - 1, d.fields.end());
}

void moveFieldDef(TableDef& d, int from, int position) {
  if (from < 0 || size_t(from) >= d.fields.size()) fail(RL_UNKNOWN_FIELD, "The field is no longer defined");
  if (position < 0 || size_t(position) >= d.fields.size()) fail(RL_BAD_ARGUMENT, "Field position out of range");
  if (position == from) return;
  FieldDef moving = d.fields[from];
  renumberFields(d, movedNumbers(d.fields.size(), from, position));
  d.fields.erase(d.fields.begin() + from);
  d.fields.insert(d.fields.begin() + position, moving);
}

void deleteFieldDef(TableDef& d, int position) {
  if (position < 0 || size_t(position) >= d.fields.size()) fail(RL_UNKNOWN_FIELD, "No field at that position");
  std::vector<int> newNumberOf(d.fields.size());
  for (size_t i = 0; i < d.fields.size(); ++i)
    newNumberOf[i] = int(i) == position ? -1 : int(i) > position ? int(i) - 1 : int(i);
  renumberFields(d, newNumberOf);
  d.fields.erase(d.fields.begin() + position);
}

int definedFieldNumber(const TableDef& d, const char* name) {
  int n = d.fieldNumber(name ? name : "");
  if (n < 0) fail(RL_UNKNOWN_FIELD, "Field [" + std::string(name ? name : "") + "] not found");
  return n;
}

int definedIndexNumber(const TableDef& d, const char* name) {
  int n = d.indexNumber(name ? name : "");
  if (n < 0) fail(RL_UNKNOWN_INDEX, "Index [" + std::string(name ? name : "") + "] not found");
  return n;
}

void checkNewIndexName(const TableDef& d, const char* name) {
  std::string n = name ? name : "";
  checkFieldName(n, "index");
  if (d.indexNumber(n) >= 0) fail(RL_BAD_NAME, "Index [" + n + "] already exists");
}

void deleteIndexDef(TableDef& d, int number) {
  if (number < 0 || size_t(number) >= d.indexes.size()) fail(RL_UNKNOWN_INDEX, "No index " + std::to_string(number));
  if (d.partIndex == number) fail(RL_BAD_ARGUMENT, "The partition index cannot be deleted");
  d.indexes.erase(d.indexes.begin() + number);
  if (d.partIndex > number) --d.partIndex;
}

void setIndexCondition(ZVIndex* ix, const char* expression) {
  std::string text = expression ? expression : "";
  if (!text.empty()) conditionSql(text, Access::definition(Access::table(ix)));
  liveIndexDef(ix).condition = text;
}

int addJsonSegmentDef(ZVIndex* ix, ZVField* f, const char* key, int type, int size) {
  ZVTable* t = Access::table(ix);
  if (!f || Access::table(f) != t) fail(RL_BAD_ARGUMENT, "The segment's field is not a field of this table");
  if (liveFieldDef(f).type != 259) fail(RL_BAD_ARGUMENT, "Field [" + liveFieldDef(f).name + "] is no JSON field");
  std::string path = key ? key : "";
  checkJsonKey(path);
  checkJsonKeyType(type, size);
  IndexDef& d = liveIndexDef(ix);
  SegmentDef seg{f->GetNumber(), 12};
  seg.jsonKey = path;
  seg.jsonType = type;
  seg.jsonSize = size;
  d.segments.push_back(seg);
  return int(d.segments.size() - 1);
}

void insertSegmentDef(ZVIndex* ix, int position, ZVField* f, int mode) {
  if (!f || Access::table(f) != Access::table(ix))
    fail(RL_BAD_ARGUMENT, "The segment's field is not a field of this table");
  IndexDef& d = liveIndexDef(ix);
  if (position < 0 || size_t(position) > d.segments.size()) fail(RL_BAD_ARGUMENT, "Segment position out of range");
  liveFieldDef(f);
  d.segments.insert(d.segments.begin() + position, SegmentDef{f->GetNumber(), mode});
}

void deleteSegmentDef(ZVIndex* ix, int position) {
  IndexDef& d = liveIndexDef(ix);
  if (position < 0 || size_t(position) >= d.segments.size()) fail(RL_BAD_ARGUMENT, "No segment at that position");
  d.segments.erase(d.segments.begin() + position);
}

int segmentFieldNumber(ZVSegment* s) {
  const char* name = s->GetFieldName();
  return Access::definition(Access::table(s)).fieldNumber(name ? name : "");
}

const SegmentDef& jsonSegmentDef(ZVSegment* s) {
  const SegmentDef* seg = Access::segment(s);
  if (!seg || !seg->overJsonKey()) fail(RL_BAD_ARGUMENT, "The segment indexes no key of a JSON field");
  return *seg;
}

}  // namespace ravlink_detail
