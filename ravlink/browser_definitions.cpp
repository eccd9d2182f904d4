// The table browser's calls on table definitions: fields, indexes and
// segments read and changed on a table handle, the properties the engine
// keeps for the browser, and creation.
#include "browser_engine.h"

#include <cstring>
#include <filesystem>

using namespace ravlink_detail;
using namespace ravlink_detail::browser;

namespace fs = std::filesystem;

namespace ravlink_detail {
namespace browser {

namespace {

constexpr const char* kPropsTable = "rl_browser_props";

struct PropsEntry {
  TableProps props;
  bool loaded = false;
};

struct PropsRegistry {
  std::mutex mutex;
  std::map<ZVTable*, PropsEntry> tables;
};

PropsRegistry& propsRegistry() {
  static PropsRegistry* r = new PropsRegistry();
  return *r;
}

bool propsTableExists(Connection& conn) {
  conn.parkWalks();
  sqlite3_stmt* st = conn.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  sqlite3_bind_text(st, 1, kPropsTable, -1, SQLITE_STATIC);
  bool found = stepRow(conn.db, st, "looking for the table properties");
  sqlite3_reset(st);
  return found;
}

int32_t toInt(const std::string& text, int32_t fallback) {
  try {
    return int32_t(std::stol(text));
  } catch (...) {
    return fallback;
  }
}

// One stored item ("pad", "field:<name>:nulls", "index:<name>:file" ...) into props.
void applyItem(TableProps& p, const std::string& item, const std::string& value) {
  auto after = [&](const char* prefix, const char* suffix, std::string* name) {
    size_t a = std::strlen(prefix), b = std::strlen(suffix);
    if (item.size() <= a + b || item.compare(0, a, prefix) != 0 || item.compare(item.size() - b, b, suffix) != 0)
      return false;
    *name = item.substr(a, item.size() - a - b);
    return true;
  };
  std::string name;
  if (item == "pad")
    p.pad = char(toInt(value, ' '));
  else if (item == "delimiter")
    p.delimiter = char(toInt(value, 0));
  else if (item == "dataExtension")
    p.dataExtension = value;
  else if (item == "indexExtension")
    p.indexExtension = value;
  else if (item == "path")
    p.path = value;
  else if (item == "dataExtent")
    p.dataExtent = toInt(value, 0);
  else if (item == "indexExtent")
    p.indexExtent = toInt(value, 0);
  else if (after("field:", ":nulls", &name))
    p.fieldNulls[name] = toInt(value, 1);
  else if (after("index:", ":file", &name))
    p.indexes[name].fileName = value;
  else if (after("index:", ":empty", &name))
    p.indexes[name].emptyChar = toInt(value, -1);
  else if (after("index:", ":nulls", &name))
    p.indexes[name].nulls = toInt(value, 0);
}

std::vector<std::pair<std::string, std::string>> itemsOf(const TableProps& p, const TableDef& def) {
  std::vector<std::pair<std::string, std::string>> items = {
      {"pad", std::to_string(int(p.pad))},
      {"delimiter", std::to_string(int(p.delimiter))},
      {"dataExtension", p.dataExtension},
      {"indexExtension", p.indexExtension},
      {"path", p.path},
      {"dataExtent", std::to_string(p.dataExtent)},
      {"indexExtent", std::to_string(p.indexExtent)},
  };
  // Only what belongs to fields and indexes the definition still has.
  for (const auto& [name, nulls] : p.fieldNulls)
    if (def.fieldNumber(name) >= 0) items.push_back({"field:" + name + ":nulls", std::to_string(nulls)});
  for (const auto& [name, ix] : p.indexes) {
    if (def.indexNumber(name) < 0) continue;
    items.push_back({"index:" + name + ":file", ix.fileName});
    items.push_back({"index:" + name + ":empty", std::to_string(ix.emptyChar)});
    items.push_back({"index:" + name + ":nulls", std::to_string(ix.nulls)});
  }
  return items;
}

TableProps loadProps(Connection& conn, const std::string& table) {
  TableProps p;
  if (!propsTableExists(conn)) return p;
  sqlite3_stmt* st =
      conn.prepare(std::string("SELECT item, value FROM ") + kPropsTable + " WHERE tbl = ?1 COLLATE NOCASE");
  sqlite3_bind_text(st, 1, table.data(), int(table.size()), SQLITE_TRANSIENT);
  while (stepRow(conn.db, st, "reading the table properties"))
    applyItem(p, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
              reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
  sqlite3_reset(st);
  return p;
}

}  // namespace

TableProps& propsOf(ZVTable* t) {
  auto& r = propsRegistry();
  std::unique_lock<std::mutex> lock(r.mutex);
  PropsEntry& e = r.tables[t];
  if (!e.loaded && t->IsOpen()) {
    lock.unlock();  // the read runs under the session, not under the registry
    TableProps loaded = loadProps(*Access::core(t).conn, t->GetName());
    lock.lock();
    PropsEntry& again = r.tables[t];
    if (!again.loaded) again.props = std::move(loaded);
    again.loaded = true;
    return again.props;
  }
  e.loaded = true;
  return e.props;
}

void forgetProps(ZVTable* t) {
  std::lock_guard<std::mutex> lock(propsRegistry().mutex);
  propsRegistry().tables.erase(t);
}

void dropStoredProps(Connection& conn, const std::string& name) {
  if (!propsTableExists(conn)) return;
  sqlite3_stmt* st = conn.prepare(std::string("DELETE FROM ") + kPropsTable + " WHERE tbl = ?1 COLLATE NOCASE");
  sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_TRANSIENT);
  stepDone(conn.db, st, "removing the table properties");
}

void storeProps(ZVTable* t, Connection& conn, const TableDef& def) {
  const std::string& name = def.name;
  auto items = itemsOf(propsOf(t), def);
  WriteScope write(conn, true);
  conn.exec(std::string("CREATE TABLE IF NOT EXISTS ") + kPropsTable +
            " (tbl TEXT NOT NULL COLLATE NOCASE, item TEXT NOT NULL, value TEXT, PRIMARY KEY (tbl, item))");
  dropStoredProps(conn, name);
  sqlite3_stmt* st =
      conn.prepare(std::string("INSERT INTO ") + kPropsTable + " (tbl, item, value) VALUES (?1, ?2, ?3)");
  for (const auto& [item, value] : items) {
    sqlite3_bind_text(st, 1, name.data(), int(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, item.data(), int(item.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, value.data(), int(value.size()), SQLITE_TRANSIENT);
    stepDone(conn.db, st, "storing the table properties");
    sqlite3_reset(st);
  }
  write.done();
}

// A folder given for a table or an index: relative to the server's
// directory (no "..") or an absolute path inside the data root.
void checkInsideData(const char* path) {
  std::string p = path ? path : "";
  if (p.empty()) return;
  fs::path given(p);
  for (const auto& part : given)
    if (part == "..") fail(RL_BAD_PATH, "The path [" + p + "] leaves the data directory");
  if (given.is_absolute()) {
    std::string root = fs::weakly_canonical(fs::path(dataRoot())).string();
    std::string full = fs::weakly_canonical(given).string();
    if (full != root && full.compare(0, root.size() + 1, root + "/") != 0)
      fail(RL_BAD_PATH, "The path [" + p + "] leaves the data directory");
  }
}

}  // namespace browser
}  // namespace ravlink_detail

namespace {

Held<ZVTable> tableHandle(RLHANDLE h) { return handleAs<ZVTable>(h); }
Held<ZVField> fieldHandle(RLHANDLE h) { return handleAs<ZVField>(h); }
Held<ZVIndex> indexHandle(RLHANDLE h) { return handleAs<ZVIndex>(h); }

// A look-up that answered null: its code, kept on `asked`, goes upwards.
RLHANDLE upOnNull(RLHANDLE asked, RLHANDLE result) {
  if (!result) {
    auto b = handleAs<ZVBase>(asked);
    noteUp(b, b ? b->GetError() : RL_BAD_HANDLE);
  }
  return result;
}

std::string fieldNameOf(ZVField* f) { return f->GetName(); }

// The properties of the field's or index's table, and its name there.
TableProps& propsOfField(ZVField* f) { return propsOf(Access::table(f)); }
TableProps::Index& propsOfIndex(ZVIndex* ix) { return propsOf(Access::table(ix)).indexes[ix->GetName()]; }

// A value read from a definition handle: fallback for a bad handle.
template <class Obj, class Fn>
auto readOf(const Held<Obj>& obj, decltype(std::declval<Fn>()()) fallback, Fn&& fn) -> decltype(fn()) {
  if (!obj) return fallback;
  try {
    decltype(fn()) value = fallback;
    Access::guard(
        obj, [&] { value = fn(); }, "read");
    return value;
  } catch (const ZVException& e) {
    noteUp(obj, e.GetErrorCode());
    return fallback;
  }
}

thread_local std::string tlsJsonKey;

// The handle's table, holding the stored definition again when another
// handle stored one (or an abort undid one) since it was read. A failure
// shows on the call that follows.
RLHANDLE current(RLHANDLE h) {
  auto t = clientTableOf(h);
  if (t && t->IsOpen()) codeOf(t, [&] { Access::core(t).requireOpen(); });
  return h;
}

}  // namespace

extern "C" {

int32_t zvdbGetTableFieldCount(RLHANDLE table) { return rlGetFieldCount(current(table)); }

RLHANDLE zvdbGetField(RLHANDLE table, int32_t number) { return upOnNull(table, rlGetField(current(table), number)); }

int32_t zvdbGetFieldProperties(RLHANDLE field, const char** name, int32_t* type, int32_t* length) {
  auto f = fieldHandle(field);
  return run(f, [&] {
    if (name) *name = f->GetName();
    if (type) *type = f->GetType();
    if (length) *length = f->GetLength();
  });
}

// The engine keeps no default values: every field's default is empty.
const char* zvdbGetFieldDefaultValue(RLHANDLE field, int32_t* length) {
  if (length) *length = 0;
  auto f = fieldHandle(field);
  return f ? "" : nullptr;
}

int32_t zvdbGetFieldNullFlag(RLHANDLE field) {
  auto f = fieldHandle(field);
  return readOf(f, 1, [&] {
    auto& nulls = propsOfField(f).fieldNulls;
    auto it = nulls.find(fieldNameOf(f));
    return it == nulls.end() ? 1 : it->second;
  });
}

int32_t zvdbGetFieldPrecision(RLHANDLE field) { return rlGetFieldPrecision(field); }
int32_t zvdbGetFieldScale(RLHANDLE field) { return rlGetFieldScale(field); }

const char* zvdbGetIdentityFieldDetails(RLHANDLE table, int64_t* seed, int64_t* increment) {
  const char* name = rlGetIdentityFieldName(table);
  auto t = handleAs<ZVTable>(table);
  if (seed) *seed = name && t ? Access::definition(t).identitySeed : 0;
  if (increment) *increment = name && t ? Access::definition(t).identityIncrement : 0;
  return name;
}

int64_t zvdbGetFieldOffset(RLHANDLE record, int32_t number) {
  if (number < 0 || number >= rlGetFieldCount(record)) return -1;
  int64_t offset = 0;
  for (int32_t i = 0; i < number; ++i) offset += rlGetFieldLength(rlGetField(record, i));
  return offset;
}

int32_t zvdbGetTableCreateMode(RLHANDLE table) {
  auto t = tableHandle(table);
  return readOf(t, 0, [&] {
    int mode = t->GetCreateMode() & ~RL_BR_MODE_VRLEN;
    for (int i = 0; i < rlGetFieldCount(table); ++i)
      if (rlIsFieldVariable(rlGetField(table, i)) == 1) mode |= RL_BR_MODE_VRLEN;
    return mode;
  });
}

const char* zvdbGetTableExtension(RLHANDLE table) {
  auto t = tableHandle(table);
  return readOf(t, (const char*)nullptr, [&] { return propsOf(t).dataExtension.c_str(); });
}

const char* zvdbGetIndexExtension(RLHANDLE table) {
  auto t = tableHandle(table);
  return readOf(t, (const char*)nullptr, [&] { return propsOf(t).indexExtension.c_str(); });
}

int32_t zvdbGetTableDefaultDataExtentSize(RLHANDLE table) {
  auto t = tableHandle(table);
  return readOf(t, 0, [&] { return propsOf(t).dataExtent; });
}

int32_t zvdbGetTableDefaultIndexExtentSize(RLHANDLE table) {
  auto t = tableHandle(table);
  return readOf(t, 0, [&] { return propsOf(t).indexExtent; });
}

int32_t zvdbGetPadChar(RLHANDLE table, char* pad, char* delimiter) {
  auto t = tableHandle(table);
  return run(t, [&] {
    const TableProps& p = propsOf(t);
    if (pad) *pad = p.pad;
    if (delimiter) *delimiter = p.delimiter;
  });
}

int32_t zvdbGetTableIndexCount(RLHANDLE table) { return rlGetIndexCount(current(table)); }
RLHANDLE zvdbGetIndex(RLHANDLE table, int32_t number) { return upOnNull(table, rlGetIndex(current(table), number)); }
const char* zvdbGetIndexName(RLHANDLE index) { return rlGetIndexName(index); }

const char* zvdbGetIndexFilename(RLHANDLE index) {
  auto ix = indexHandle(index);
  return readOf(ix, (const char*)nullptr, [&]() -> const char* {
    const std::string& file = propsOfIndex(ix).fileName;
    return file.empty() ? nullptr : file.c_str();
  });
}

int32_t zvdbGetIndexKeyType(RLHANDLE index) {
  auto ix = indexHandle(index);
  return readOf(ix, 0, [&] { return ix->GetKeyType(); });
}

int32_t zvdbGetIndexKeyLength(RLHANDLE index) { return rlGetIndexKeyLength(index); }

int32_t zvdbGetIndexNullFlag(RLHANDLE index) {
  auto ix = indexHandle(index);
  return readOf(ix, 0, [&] { return propsOfIndex(ix).nulls; });
}

int32_t zvdbGetIndexDuplicateFlag(RLHANDLE index) { return rlGetIndexDuplicateFlag(index); }
int32_t zvdbGetIndexSegmentCount(RLHANDLE index) { return rlGetSegmentCount(index); }
RLHANDLE zvdbGetSegment(RLHANDLE index, int32_t number) { return upOnNull(index, rlGetSegment(index, number)); }
const char* zvdbGetSegmentFieldName(RLHANDLE segment) { return rlGetSegmentFieldName(segment); }
int32_t zvdbGetSegmentMode(RLHANDLE segment) { return rlGetSegmentMode(segment); }

int32_t zvdbGetIndexEmptyChar(RLHANDLE index) {
  auto ix = indexHandle(index);
  return readOf(ix, -1, [&] { return propsOfIndex(ix).emptyChar; });
}

int32_t zvdbGetJSONSegmentProperties(RLHANDLE segment, const char** key, int32_t* type, int32_t* size) {
  char buffer[1024];
  int rc = rlGetJsonSegmentInfo(segment, buffer, sizeof buffer, type, size);
  if (rc == RL_OK) tlsJsonKey = buffer;
  if (key) *key = rc == RL_OK ? tlsJsonKey.c_str() : nullptr;
  return upOnCode(segment, rc);
}

// The condition of a conditional index, or false when it has none.
static bool conditionOf(ZVTable* t, int32_t number, std::string* condition) {
  if (number < 0 || number >= t->GetIndexCount()) fail(RL_UNKNOWN_INDEX, "No index number " + std::to_string(number));
  std::vector<char> buffer(64);
  RLHANDLE index = t->GetIndex(number)->GetHandle();
  int rc;
  while ((rc = rlGetIndexCondition(index, buffer.data(), int(buffer.size()))) == RL_VALUE_TOO_LONG &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 4);
  if (rc != RL_OK) fail(rc, "The index condition is not readable");
  *condition = buffer.data();
  return !condition->empty();
}

int32_t zvdbGetCndxIndexLength(RLHANDLE table, int32_t number) {
  auto t = tableHandle(table);
  return readOf(t, -1, [&] {
    std::string condition;
    return conditionOf(t, number, &condition) ? int32_t(condition.size() + 1) : -1;
  });
}

int32_t zvdbGetCndxIndex(RLHANDLE table, int32_t number, char* buffer, int32_t size) {
  auto t = tableHandle(table);
  int rc = RL_OK;
  int code = run(t, [&] {
    std::string condition;
    conditionOf(t, number, &condition);
    rc = copyOut(condition, buffer, size);
  });
  return code != RL_OK ? code : upOnCode(table, rc);
}

RLHANDLE zvdbGetFieldByName(RLHANDLE table, const char* name) {
  return upOnNull(table, rlGetFieldByName(current(table), name));
}

int32_t zvdbGetFieldType(RLHANDLE field) { return rlGetFieldType(field); }
int32_t zvdbGetFieldNumber(RLHANDLE table, const char* name) { return rlGetFieldNumberByName(current(table), name); }
int32_t zvdbGetFieldBinaryFlag(RLHANDLE field) { return rlGetFieldBinaryFlag(field); }

const char* zvdbGetTablePath(RLHANDLE table) {
  auto t = tableHandle(table);
  return readOf(t, (const char*)nullptr, [&] { return propsOf(t).path.c_str(); });
}

// A condition is valid when it reads in the record filter grammar against
// the record's table.
int32_t zvdbCndxCompile(RLHANDLE record, const char* expression) {
  if (!expression || !*expression) return upOnCode(record, RL_BAD_FILTER);
  RLHANDLE probe = rlAllocRecord(record);
  if (!probe) return upOnCode(record, rlGetError(record));
  int rc = rlSetRecordFilter(probe, expression, 1);
  rlFreeRecord(probe);
  return upOnCode(record, rc);
}

// ---- definitions written ---------------------------------------------------------

int32_t zvdbSetTablePath(RLHANDLE table, const char* path) {
  auto t = tableHandle(table);
  return run(t, [&] {
    checkInsideData(path);
    propsOf(t).path = path ? path : "";
  });
}

int32_t zvdbSetTableExtension(RLHANDLE table, const char* extension) {
  auto t = tableHandle(table);
  return run(t, [&] { propsOf(t).dataExtension = extension ? extension : ""; });
}

int32_t zvdbSetIndexExtension(RLHANDLE table, const char* extension) {
  auto t = tableHandle(table);
  return run(t, [&] { propsOf(t).indexExtension = extension ? extension : ""; });
}

int32_t zvdbSetTableDefaultDataExtentSize(RLHANDLE table, int32_t size) {
  auto t = tableHandle(table);
  return run(t, [&] { propsOf(t).dataExtent = size; });
}

int32_t zvdbSetTableDefaultIndexExtentSize(RLHANDLE table, int32_t size) {
  auto t = tableHandle(table);
  return run(t, [&] { propsOf(t).indexExtent = size; });
}

int32_t zvdbSetPadChar(RLHANDLE table, char pad, char delimiter) {
  auto t = tableHandle(table);
  return run(t, [&] {
    propsOf(t).pad = pad;
    propsOf(t).delimiter = delimiter;
  });
}

RLHANDLE zvdbAddField(RLHANDLE table, const char* name, int32_t type, int32_t length) {
  auto t = tableHandle(table);
  return make(t, [&] {
    if (type <= 0) fail(RL_BAD_ARGUMENT, "Field [" + std::string(name ? name : "") + "] has no known type");
    RLHANDLE f = rlAddField(table, name, type, length);
    if (!f) fail(t->GetError(), "The field is refused");
    return f;
  });
}

int32_t zvdbSetFieldScale(RLHANDLE field, int32_t scale) { return upOnCode(field, rlSetFieldScale(field, scale)); }

int32_t zvdbSetFieldPrecision(RLHANDLE field, int32_t precision) {
  return upOnCode(field, rlSetFieldPrecision(field, precision));
}

int32_t zvdbSetIdentityField(RLHANDLE table, const char* name, int64_t seed, int64_t increment) {
  if (seed != int32_t(seed) || increment != int32_t(increment)) return upOnCode(table, RL_BAD_ARGUMENT);
  return upOnCode(table, rlSetIdentityField(table, name, int(seed), int(increment)));
}

int32_t zvdbSetFieldBinaryFlag(RLHANDLE field, int32_t flag) {
  return upOnCode(field, rlSetFieldBinaryFlag(field, flag));
}

int32_t zvdbSetFieldNullFlag(RLHANDLE field, int32_t nulls) {
  auto f = fieldHandle(field);
  return run(f, [&] {
    if (nulls != 0 && nulls != 1) fail(RL_BAD_ARGUMENT, "The null flag is 0 or 1");
    propsOfField(f).fieldNulls[fieldNameOf(f)] = nulls;
  });
}

RLHANDLE zvdbAddIndex(RLHANDLE table, const char* name, int32_t keyType, int32_t duplicates, int32_t nulls) {
  auto t = tableHandle(table);
  return make(t, [&] {
    RLHANDLE ix = rlAddIndex(table, name, keyType, duplicates, nulls);
    if (!ix) fail(t->GetError(), "The index is refused");
    propsOf(t).indexes[name].nulls = nulls;
    return ix;
  });
}

int32_t zvdbSetIndexEmptyChar(RLHANDLE index, int32_t character) {
  auto ix = indexHandle(index);
  return run(ix, [&] {
    if (character < -1 || character > 255) fail(RL_BAD_ARGUMENT, "The empty character is a byte");
    propsOfIndex(ix).emptyChar = character;
  });
}

int32_t zvdbSetIndexCndxExpr(RLHANDLE index, const char* expression) {
  return upOnCode(index, rlSetIndexCondition(index, expression));
}

RLHANDLE zvdbAddSegment(RLHANDLE index, RLHANDLE field, int32_t mode) {
  RLHANDLE s = rlAddSegment(index, field, mode);
  return s ? s : upOnNull(rlGetTableOfHandle(index) ? rlGetTableOfHandle(index) : index, nullptr);
}

RLHANDLE zvdbAddJSONSegment(RLHANDLE index, RLHANDLE field, const char* key, int32_t type, int32_t size) {
  RLHANDLE s = rlAddJsonSegment(index, field, key, type, size);
  return s ? s : upOnNull(rlGetTableOfHandle(index) ? rlGetTableOfHandle(index) : index, nullptr);
}

int32_t zvdbDelFieldByName(RLHANDLE table, const char* name) {
  int number = rlGetFieldNumberByName(table, name);
  if (number < 0) return upOnCode(table, handleAs<ZVTable>(table).get() ? RL_UNKNOWN_FIELD : RL_BAD_HANDLE);
  return upOnCode(table, rlDeleteField(table, number));
}

int32_t zvdbSetFieldName(RLHANDLE field, const char* name) {
  auto f = fieldHandle(field);
  return run(f, [&] {
    std::string old = fieldNameOf(f);
    f->SetName(name);
    auto& nulls = propsOfField(f).fieldNulls;
    auto it = nulls.find(old);
    if (it == nulls.end()) return;
    int32_t flag = it->second;
    nulls.erase(it);
    nulls[fieldNameOf(f)] = flag;
  });
}

int32_t zvdbSetFieldType(RLHANDLE field, int32_t type) {
  auto f = fieldHandle(field);
  return run(f, [&] {
    if (type <= 0) fail(RL_BAD_ARGUMENT, "Field [" + fieldNameOf(f) + "] gets no known type");
    f->SetType(type, f->GetLength());
  });
}

int32_t zvdbSetFieldLength(RLHANDLE field, int32_t length) {
  auto f = fieldHandle(field);
  return run(f, [&] { f->SetLength(length); });
}

int32_t zvdbMoveField(RLHANDLE field, int32_t position) { return upOnCode(field, rlMoveField(field, position)); }

int32_t zvdbSetIndexName(RLHANDLE index, const char* name) {
  auto ix = indexHandle(index);
  return run(ix, [&] {
    std::string n = name ? name : "";
    checkFieldName(n, "index");
    TableDef& def = Access::definition(Access::table(ix));
    if (ix->GetNumber() >= int(def.indexes.size())) fail(RL_UNKNOWN_INDEX, "The index is gone");
    std::string old = def.indexes[ix->GetNumber()].name;
    if (n == old) return;
    if (def.indexNumber(n) >= 0) fail(RL_BAD_NAME, "Index [" + n + "] already exists");
    def.indexes[ix->GetNumber()].name = n;
    auto& indexes = propsOf(Access::table(ix)).indexes;
    auto it = indexes.find(old);
    if (it == indexes.end()) return;
    TableProps::Index kept = it->second;
    indexes.erase(it);
    indexes[n] = kept;
  });
}

int32_t zvdbSetIndexFilename(RLHANDLE index, const char* path, const char* fileName) {
  auto ix = indexHandle(index);
  return run(ix, [&] {
    checkInsideData(path);
    std::string file = fileName ? fileName : "";
    if (file.find('/') != std::string::npos || file == "..")
      fail(RL_BAD_PATH, "An index file name is a name, not a path");
    propsOfIndex(ix).fileName = file;
  });
}

int32_t zvdbSetIndexKeyType(RLHANDLE index, int32_t keyType) {
  auto ix = indexHandle(index);
  return run(ix, [&] { ix->SetKeyType(keyType); });
}

int32_t zvdbSetIndexDuplicateFlag(RLHANDLE index, int32_t duplicates) {
  return upOnCode(index, rlSetIndexDuplicateFlag(index, duplicates));
}

int32_t zvdbSetIndexNullFlag(RLHANDLE index, int32_t nulls) {
  auto ix = indexHandle(index);
  return run(ix, [&] { propsOfIndex(ix).nulls = nulls ? 1 : 0; });
}

int32_t zvdbDelIndex(RLHANDLE table, int32_t number) { return upOnCode(table, rlDeleteIndex(table, number)); }
int32_t zvdbDelSegment(RLHANDLE index, int32_t number) { return upOnCode(index, rlDeleteSegment(index, number)); }

int32_t zvdbGetIndexNbrByName(RLHANDLE table, const char* name) {
  int number = rlGetIndexNumberByName(current(table), name);
  return number < 0 ? -1 : number;
}

int32_t zvdbCreateTable(RLHANDLE table, const char* name, int32_t mode) {
  auto t = tableHandle(table);
  return run(t, [&] {
    checkObjectName(name, "table");
    inOneTransaction(t, [&] {
      t->Create(name, mode & ~RL_BR_MODE_VRLEN);
      storeProps(t, *Access::connection(Access::database(t)), Access::definition(t));
    });
  });
}

}  // extern "C"
