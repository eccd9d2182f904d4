// Class methods the JSON-RPC application calls beside the engine's own:
// field values by number, reading limits, definition changes, table
// renames, copies of databases and indexes. Most wrap the numbered
// functions, so that both give one answer.
#include "rl_core.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <strings.h>

namespace fs = std::filesystem;
using namespace ravlink_detail;

namespace {

[[noreturn]] void failWith(int code, const char* message) { fail(code, message); }

void check(int rc, const char* message) {
  if (rc != RL_OK) failWith(rc, message);
}

}  // namespace

std::string ZVNumber::AsString() const {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", scale_ < 0 ? 0 : scale_ > 18 ? 18 : scale_, value_);
  return text;
}

// ---- session and database ---------------------------------------------------------------

bool ZVSession::FindDatabase(const char* name, ZVString* path) {
  return guarded([&] {
    if (!FindDatabase(name)) return false;
    if (path) {
      ZVString n, p;
      for (bool more = FirstDatabase(&n, &p); more; more = NextDatabase(&n, &p))
        if (strcasecmp(n.GetString(), name) == 0) {
          path->SetString(p.GetString());
          break;
        }
    }
    return true;
  });
}

void ZVSession::DisconnectAll() {
  guarded([&] {
    if (logon_->loggedOn) Logout();
  });
}

ZVDatabase::ZVDatabase(const ZVDatabase& other) : ZVBase() {
  std::lock_guard<ravlink_detail::SessionMutex> lock(other.session_->mutex);
  session_ = other.session_;
  conn_ = other.conn_;
  name_ = other.name_;
}

ZVDatabase& ZVDatabase::operator=(const ZVDatabase& other) {
  if (this == &other) return *this;
  guarded([&] {
    for (ZVTable* t : tables_) {
      t->core_->close();
      t->database_ = nullptr;
    }
    tables_.clear();
    session_ = other.session_;
    conn_ = other.conn_;
    name_ = other.name_;
  });
  return *this;
}

void ZVDatabase::RenameTable(const char* oldName, const char* newName) {
  guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    session_->requireLoggedOn();
    checkObjectName(oldName, "table");
    checkObjectName(newName, "table");
    Connection& conn = *conn_;
    conn.parkWalks();
    TableDef def;
    if (!catalogRead(conn.db, oldName, &def)) fail(RL_NO_TABLE, "Table [" + std::string(oldName) + "] not found");
    std::string taken;
    if (catalogStoredName(conn.db, newName, &taken) && !sameTableName(taken, def.name))
      fail(RL_TABLE_EXISTS, "Table [" + taken + "] already exists");
    for (ZVTable* t : tables_)
      if (t->core_->open && sameTableName(t->core_->stored.name, def.name)) t->core_->close();
    WriteScope write(conn, true);
    for (const auto& ix : def.indexes) conn.exec("DROP INDEX IF EXISTS " + quoteName(indexSqlName(def.name, ix.name)));
    conn.exec("ALTER TABLE " + quoteName(def.name) + " RENAME TO " + quoteName(newName));
    std::string oldStored = def.name;
    def.name = newName;
    for (size_t i = 0; i < def.indexes.size(); ++i) conn.exec(createIndexSql(def, int(i)));
    for (const char* catalog : {"rl_tables", "rl_fields", "rl_indexes", "rl_segments"}) {
      std::string column = std::string(catalog) == "rl_tables" ? "name" : "tbl";
      sqlite3_stmt* st =
          conn.prepare(std::string("DELETE FROM ") + catalog + " WHERE " + column + " = ?1 COLLATE NOCASE");
      sqlite3_bind_text(st, 1, oldStored.data(), int(oldStored.size()), SQLITE_STATIC);
      stepDone(conn.db, st, "renaming a table in the catalog");
    }
    catalogWrite(conn.db, def);
    write.done();
    for (const std::string& name : {oldStored, def.name}) {
      auto shared = engine().table(conn.path, name);
      shared->schemaGen++;
      shared->writeGen++;
    }
    conn.noteWrite();
  });
}

namespace {

std::string copyKey(const std::string& path, const std::string& table) {
  std::string lower = table;
  for (auto& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
  return path + "\n" + lower;
}

uint64_t tableGenerations(const std::string& path, const std::string& table) {
  auto shared = engine().table(path, table);
  return shared->writeGen.load() + shared->schemaGen.load();
}

// A database file of the session's server, other than `own`.
void checkSourceFile(const Logon& logon, const std::string& path, const std::string& own) {
  std::error_code ec;
  fs::path file = fs::weakly_canonical(path, ec);
  fs::path server = fs::weakly_canonical(logon.serverDir, ec);
  std::string inside = file.lexically_relative(server).string();
  if (ec || path.empty() || inside.empty() || inside.rfind("..", 0) == 0 || !fs::is_regular_file(file, ec) ||
      file.extension() != fs::path(own).extension())
    fail(RL_BAD_PATH, "[" + path + "] is no database file of this server");
  if (file == fs::weakly_canonical(own, ec)) fail(RL_BAD_ARGUMENT, "The table is in this database already");
}

}  // namespace

void ZVDatabase::AddTable(const char* name, const char* path) {
  guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    session_->requireLoggedOn();
    checkObjectName(name, "table");
    std::string source = path ? path : "";
    checkSourceFile(*session_, source, conn_->path);
    uint64_t before = tableGenerations(source, name);
    copyTableFromFile(*conn_, source, name);
    auto shared = engine().table(conn_->path, name);
    shared->schemaGen++;
    shared->writeGen++;
    conn_->noteWrite();
    std::lock_guard<std::mutex> lock(engine().copiesMutex);
    engine().copiedTables[copyKey(source, name)] = before;
  });
}

void ZVDatabase::DropTable(const char* name) {
  guarded([&] {
    if (!conn_) fail(RL_NOT_OPEN, "The database is not connected");
    checkObjectName(name, "table");
    std::string key = copyKey(conn_->path, name);
    {
      std::lock_guard<std::mutex> lock(engine().copiesMutex);
      auto it = engine().copiedTables.find(key);
      if (it == engine().copiedTables.end())
        fail(RL_BAD_ARGUMENT, "Table [" + std::string(name) + "] was not added to another database");
      if (it->second != tableGenerations(conn_->path, name))
        fail(RL_BAD_ARGUMENT, "Table [" + std::string(name) + "] changed after it was added to another database");
    }
    DeleteTable(name, "");
    std::lock_guard<std::mutex> lock(engine().copiesMutex);
    engine().copiedTables.erase(key);
  });
}

// ---- definitions ------------------------------------------------------------------------

void ZVField::SetBinaryFlag(int flag) {
  guarded([&] { check(rlSetFieldBinaryFlag(GetHandle(), flag), "Not able to set the binary flag"); });
}

void ZVField::SetName(const char* name) {
  guarded([&] {
    std::string n = name ? name : "";
    checkFieldName(n, "field");
    TableDef& d = table_->core_->def;
    if (number_ < 0 || size_t(number_) >= d.fields.size()) fail(RL_UNKNOWN_FIELD, "The field is no longer defined");
    int other = d.fieldNumber(n);
    if (other >= 0 && other != number_) fail(RL_BAD_NAME, "Field [" + n + "] already exists");
    FieldDef& f = d.fields[number_];
    if (f.formerName.empty()) f.formerName = f.name;
    f.name = n;
  });
}

ZVIndex::ZVIndex(const ZVIndex& other) : ZVBase(), table_(other.table_), number_(other.number_) {
  std::lock_guard<ravlink_detail::SessionMutex> lock(table_->core_->logon->mutex);
  followSegments();
}

void ZVIndex::followSegments() {
  TableDef& d = table_->core_->def;
  if (number_ < 0 || size_t(number_) >= d.indexes.size()) return;
  for (size_t s = segments_.size(); s < d.indexes[number_].segments.size(); ++s)
    segments_.push_back(std::unique_ptr<ZVSegment>(new ZVSegment(table_, number_, int(s))));
}

int ZVIndex::GetKeyLength() const { return rlGetIndexKeyLength(const_cast<ZVIndex*>(this)->GetHandle()); }

void ZVIndex::SetDuplicateFlag(int duplicates) {
  guarded([&] { check(rlSetIndexDuplicateFlag(GetHandle(), duplicates), "Not able to set the duplicate flag"); });
}

void ZVIndex::SetKeyType(int keyType) {
  guarded([&] {
    TableDef& d = table_->core_->def;
    if (number_ < 0 || size_t(number_) >= d.indexes.size()) fail(RL_UNKNOWN_INDEX, "The index is no longer defined");
    d.indexes[number_].keyType = keyType;
  });
}

void ZVTable::MoveField(int number, int position) {
  guarded([&] { check(rlMoveField(GetField(number)->GetHandle(), position), "Not able to move the field"); });
}

void ZVTable::DelIndex(const char* name) {
  guarded([&] {
    int n = core_->def.indexNumber(name ? name : "");
    if (n < 0) fail(RL_UNKNOWN_INDEX, "Index [" + std::string(name ? name : "") + "] not found");
    check(rlDeleteIndex(GetHandle(), n), "Not able to delete the index");
  });
}

void ZVTable::Truncate() {
  guarded([&] {
    core_->requireOpen();
    Connection& conn = *core_->conn;
    conn.parkWalks();
    WriteScope write(conn, false);
    sqlite3_stmt* st = conn.prepare("DELETE FROM " + quoteName(core_->stored.name));
    stepDone(conn.db, st, "deleting every record");
    write.done();
    core_->shared->writeGen++;
    conn.noteWrite();
  });
}

int ZVTable::GetPartitionIndexNbr() { return core_->def.partIndex; }

// ---- records ---------------------------------------------------------------------------

int ZVRecord::GetFieldByName(const char* name) {
  return guarded([&] { return state_->fieldOf(name); });
}

int ZVRecord::GetFieldType(int number) {
  return guarded([&] {
    fieldNameAt(this, number);
    return state_->table->stored.fields[number].type;
  });
}

int ZVRecord::GetFieldType(const char* name) {
  return guarded([&] { return state_->table->stored.fields[state_->fieldOf(name)].type; });
}

void ZVRecord::SetFilter(const char* filter) {
  guarded([&] { check(rlSetRecordFilter(GetHandle(), filter, filter && *filter), "Not able to set the filter"); });
}

void ZVRecord::BuildTargetKey(int mode, void* buffer, int length) {
  guarded([&] { check(rlBuildTargetKey(GetHandle(), buffer, length), "Not able to build the key"); });
}

void ZVRecord::RangeOn(int count, const void* lowerKey, const void* upperKey, const int* codes) {
  guarded([&] { check(rlSetRecordRange(GetHandle(), count, lowerKey, upperKey, codes), "Not able to set the range"); });
}

void ZVRecord::RecordSetOn(int length) {
  guarded([&] { check(rlSetRecordSet(GetHandle(), length), "Not able to set the record set"); });
}

int ZVRecord::GetFieldAsBool(int number) {
  return guarded([&] { return GetFieldAsBool(fieldNameAt(this, number).c_str()); });
}
char ZVRecord::GetFieldAsChar(int number) {
  return guarded([&] { return GetFieldAsChar(fieldNameAt(this, number).c_str()); });
}
int16_t ZVRecord::GetFieldAsShort(int number) {
  return guarded([&] { return int16_t(GetFieldAsSigned(number)); });
}
double ZVRecord::GetFieldAsFloat(int number) {
  return guarded([&] { return GetFieldAsFloat(fieldNameAt(this, number).c_str()); });
}
ZVMoney ZVRecord::GetFieldAsMoney(int number) { return ZVMoney(GetFieldAsFloat(number)); }
ZVNumber ZVRecord::GetFieldAsNumber(int number) {
  return guarded([&] {
    double value = GetFieldAsFloat(number);
    return ZVNumber(value, state_->table->stored.fields[number].scale);
  });
}
ZVDateTime ZVRecord::GetFieldAsDateTime(int number) {
  return guarded([&] { return GetFieldAsDateTime(fieldNameAt(this, number).c_str()); });
}
ZVDate ZVRecord::GetFieldAsDate(int number) { return ZVDate(GetFieldAsDateTime(number).GetDate()); }
ZVTime ZVRecord::GetFieldAsTime(int number) { return ZVTime(GetFieldAsDateTime(number).GetMilliseconds()); }

void ZVRecord::SetFieldAsBool(int number, int value) {
  guarded([&] { SetFieldAsBool(fieldNameAt(this, number).c_str(), value); });
}
void ZVRecord::SetFieldAsChar(int number, char value) {
  guarded([&] { SetFieldAsChar(fieldNameAt(this, number).c_str(), value); });
}
void ZVRecord::SetFieldAsShort(int number, int16_t value) { SetFieldAsSigned(number, int32_t(value)); }
void ZVRecord::SetFieldAsFloat(int number, double value) {
  guarded([&] { SetFieldAsFloat(fieldNameAt(this, number).c_str(), value); });
}
void ZVRecord::SetFieldAsMoney(int number, const ZVMoney& value) { SetFieldAsFloat(number, value.Get()); }
void ZVRecord::SetFieldAsDate(int number, const ZVDate& value) {
  guarded([&] { SetFieldAsDate(fieldNameAt(this, number).c_str(), value); });
}
void ZVRecord::SetFieldAsTime(int number, const ZVTime& value) {
  guarded([&] { SetFieldAsTime(fieldNameAt(this, number).c_str(), value); });
}
void ZVRecord::SetFieldAsDateTime(int number, const ZVDateTime& value) {
  guarded([&] { SetFieldAsDateTime(fieldNameAt(this, number).c_str(), value); });
}
