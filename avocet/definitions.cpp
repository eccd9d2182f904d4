// Databases and tables as a whole (zvIsamExDoAction) and the table
// definitions read by the browser: fields, properties, indexes, segments.
#include <strings.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "VOKTBasic.h"
#include "avocet.h"

namespace avocet {

namespace {

namespace fs = std::filesystem;

// ---- zvIsamExDoAction --------------------------------------------------------------------

int databaseAction(RLHANDLE session, const char* mode, const char* name, const char* path) {
  if (strcmp(mode, "CREATEDB") == 0) return api.zvdbCreateDatabase(session, name, path);
  if (strcmp(mode, "ADDDB") == 0) return api.zvdbAddDatabase(session, name, path);
  if (strcmp(mode, "DROPDB") == 0) return api.zvdbDropDatabase(session, name);
  return api.zvdbDeleteDatabase(session, name);
}

bool isDatabaseMode(const char* mode) {
  for (const char* m : {"CREATEDB", "ADDDB", "DROPDB", "DELETEDB"})
    if (strcmp(mode, m) == 0) return true;
  return false;
}

// The database file ADDTABLE copies a table from. A file path is taken as
// it is; the tree's own table path ("<database file>/<table file>") names
// its database file; a relative name is taken in the folder of the database
// the table is added to. The engine checks that the file is a database of
// the server.
std::string sourceDatabaseFile(RLHANDLE session, const char* target, const std::string& given) {
  fs::path source(given);
  if (given.empty()) return given;
  if (source.is_relative()) {
    int code = 0;
    for (const CatalogEntry& database : listDatabases(session, &code))
      if (strcasecmp(database.name.c_str(), target) == 0) {
        source = fs::path(database.path).parent_path() / source;
        break;
      }
  }
  std::error_code ec;
  if (!fs::is_regular_file(source, ec) && fs::is_regular_file(source.parent_path(), ec)) source = source.parent_path();
  return source.string();
}

void tableAction(Slot& slot, const char* mode, const char* name, const char* path, json_object* request,
                 json_object* reply) {
  const char* dbName = textOr(request, "dbName", "");
  bool adding = strcmp(mode, "ADDTABLE") == 0;
  json_object* options = nullptr;
  if (adding && (!memberText(request, "dbName", &dbName) || !zvJsonGetByName(request, "options", &options) ||
                 !json_object_is_type(options, json_type_object))) {
    zvJsonSetError(9007, "zvIsamExDoAction - Invalid parameter - Missing option in the request", reply);
    return;
  }
  TableHandles handles(slot.session);
  if (!handles.allocDatabase()) {
    zvJsonSetError(4002, "Operation Error", reply);
    return;
  }
  int r = handles.connect(dbName);
  if (r != 0) {
    zvJsonSetError(r, "zvIsamExDoAction - Cannot connect", reply);
    return;
  }
  if (adding) {
    std::string source = sourceDatabaseFile(slot.session, dbName, path ? path : "");
    r = api.zvdbAddTableXtd(handles.database, name, name, source.c_str());
    if (r != 0) zvJsonSetError(r, "zvdbAddTableXtd error", reply);
  } else {
    r = strcmp(mode, "DROPTABLE") == 0 ? api.zvdbDropTable(handles.database, name)
                                       : api.zvdbDeleteTable(handles.database, name, "");
    if (r != 0) zvJsonSetError(r, "zvdbDropTable error", reply);
  }
  if (r == 0) zvJsonSetSuccess(reply);
}

void checkCondition(Slot& slot, const char* name, json_object* request, json_object* reply) {
  const char* condition = nullptr;
  if (!memberText(request, "condition", &condition)) {
    zvJsonSetError(9007, "zvIsamExDoAction - Invalid parameter - Missing op in the request", reply);
    return;
  }
  TableHandles handles(slot.session);
  if (!handles.allocDatabase()) {
    zvJsonSetError(4002, "Operation Error", reply);
    return;
  }
  int r = handles.connect(textOr(request, "dbName", ""));
  if (r == 0 && !handles.allocTable()) {
    zvJsonSetSuccess(reply);  // nothing to check the condition against
    return;
  }
  if (r == 0) r = handles.open(name, RL_BR_OPEN_READONLY, request);
  if (r != 0) {
    zvJsonSetError(r, "Operation Error", reply);
    return;
  }
  if (!handles.allocRecord()) {
    zvJsonSetError(api.zvdbGetError(handles.table), "Operation Error", reply);
    return;
  }
  r = api.zvdbCndxCompile(handles.record, condition);
  if (r != 0)
    zvJsonSetError(r, "Check Error", reply);
  else
    zvJsonSetSuccess(reply);
}

// ---- the reading commands' common frame ----------------------------------------------------

enum class Reach { kNoRequest, kNoHandle, kNoConnect, kNoOpen, kOpen };

// Database, connection, table (and record when asked) and the open with
// base mode 32; where it stopped, with the open's code in *code.
Reach reachTable(TableHandles& handles, json_object* request, bool withRecord, int* code) {
  const char* database = nullptr;
  const char* name = nullptr;
  if (!memberText(request, "database", &database) || !memberText(request, "name", &name)) return Reach::kNoRequest;
  if (!handles.allocDatabase()) return Reach::kNoHandle;
  if ((*code = handles.connect(database)) != 0) return Reach::kNoConnect;
  if (!handles.allocTable()) return Reach::kNoHandle;
  if (withRecord) handles.allocRecord();
  if ((*code = handles.open(name, RL_BR_OPEN_READONLY, request)) != 0) return Reach::kNoOpen;
  return Reach::kOpen;
}

json_object* describeField(TableHandles& handles, int number, const char* identity, int64_t seed, int64_t increment,
                           int* last) {
  json_object* field = zvJsonAlloc();
  zvJsonAddInt(field, "oldPosition", number);
  RLHANDLE handle = api.zvdbGetField(handles.table, number);
  const char* name = nullptr;
  int32_t type = 0, length = 0;
  *last = api.zvdbGetFieldProperties(handle, &name, &type, &length);
  if (*last == 0) {
    zvJsonAddString(field, "name", name);
    zvJsonAddString(field, "type", fieldTypeName(type));
    zvJsonAddInt(field, "length", length);
  }
  int32_t defaultLength = 0;
  const char* defaultValue = api.zvdbGetFieldDefaultValue(handle, &defaultLength);
  zvJsonAddString(field, "default", defaultValue ? defaultValue : "");
  zvJsonAddBoolean(field, "nulls", api.zvdbGetFieldNullFlag(handle) == 0);
  if (*last == 0 && type == kTypeNumber) {
    zvJsonAddInt(field, "precision", api.zvdbGetFieldPrecision(handle));
    zvJsonAddInt(field, "scale", api.zvdbGetFieldScale(handle));
    zvJsonAddString(field, "binFlag", api.zvdbGetFieldBinaryFlag(handle) == 7 ? "ZVDB_NUMBER_MONEY" : "");
  } else {
    zvJsonAdd(field, "binFlag", nullptr);
  }
  if (*last == 0 && identity && strcmp(identity, name) == 0) {
    zvJsonAddBigint(field, "seed", seed);
    zvJsonAddBigint(field, "increment", increment);
    zvJsonAddBoolean(field, "identity", true);
  } else {
    zvJsonAddString(field, "seed", "");
    zvJsonAddString(field, "increment", "");
    zvJsonAddBoolean(field, "identity", false);
  }
  if (handles.record) zvJsonAddBigint(field, "offset", api.zvdbGetFieldOffset(handles.record, number));
  return field;
}

void addYesNo(json_object* list, const char* label, bool yes) {
  json_object* row = zvJsonAlloc();
  zvJsonAddString(row, "property", label);
  zvJsonAddString(row, "value", yes ? "Yes" : "No");
  zvJsonArrayAdd(list, row);
}

template <typename Value>
void addProperty(json_object* list, const char* label, Value value) {
  json_object* row = zvJsonAlloc();
  zvJsonAddString(row, "property", label);
  if constexpr (std::is_same_v<Value, const char*>)
    zvJsonAddString(row, "value", value ? value : "");
  else if constexpr (std::is_same_v<Value, int64_t>)
    zvJsonAddBigint(row, "value", value);
  else
    zvJsonAddInt(row, "value", value);
  zvJsonArrayAdd(list, row);
}

json_object* listedProperties(TableHandles& handles, int mode, char pad, char delimiter) {
  json_object* list = zvJsonAllocArray();
  int64_t count = 0;
  if (handles.record) api.zvdbGetRecordCount(handles.record, &count);
  addProperty(list, "Number of Records", count);
  addProperty(list, "Datafile Extension", api.zvdbGetTableExtension(handles.table));
  addProperty(list, "Datafile Extent Size", api.zvdbGetTableDefaultDataExtentSize(handles.table));
  addProperty(list, "Indexfile Extension", api.zvdbGetIndexExtension(handles.table));
  addProperty(list, "Indexfile Extent Size", api.zvdbGetTableDefaultIndexExtentSize(handles.table));
  addProperty(list, "Pad Char", int(pad));
  addProperty(list, "Field Delimiter", int(delimiter));
  static const std::pair<const char*, int> kListed[] = {
      {"PREIMG", 1},      {"TRNLOG", 2},      {"WRITETHRU", 4},   {"CHECKLOCK", 8},  {"VRLEN", 16},
      {"NOROWID", 64},    {"NORECBYT", 32},   {"CHECKREAD", 128}, {"HUGEFILE", 256}, {"NODELFLD", 512},
      {"NONULFLD", 1024}, {"COMPRESS", 8192}, {"FLEXREC", 65536}};
  for (const auto& [label, bit] : kListed) addYesNo(list, label, mode & bit);
  return list;
}

json_object* packedProperties(TableHandles& handles, int mode, char pad, char delimiter) {
  json_object* object = zvJsonAlloc();
  const char* path = api.zvdbGetTablePath(handles.table);
  const char* datExt = api.zvdbGetTableExtension(handles.table);
  const char* idxExt = api.zvdbGetIndexExtension(handles.table);
  zvJsonAddString(object, "path", path ? path : "");
  zvJsonAddString(object, "datExt", datExt ? datExt : "");
  zvJsonAddInt(object, "datExtSize", api.zvdbGetTableDefaultDataExtentSize(handles.table));
  zvJsonAddString(object, "idxExt", idxExt ? idxExt : "");
  zvJsonAddInt(object, "idxExtSize", api.zvdbGetTableDefaultIndexExtentSize(handles.table));
  zvJsonAddInt(object, "padChar", pad);
  zvJsonAddInt(object, "fieldDelimiter", delimiter);
  static const std::pair<const char*, int> kPacked[] = {
      {"trnlog", 2},          {"preimg", 1},      {"norowid", 64},    {"nodelfld", 512},  {"nonulfld", 1024},
      {"norecbyt", 32},       {"hugefile", 256},  {"vrlen", 16},      {"checklock", 8},   {"checkread", 128},
      {"writethru", 4},       {"partauto", 2048}, {"v8delfld", 4096}, {"compress", 8192}, {"noflush", 16384},
      {"dynparthost", 32768}, {"flexrec", 65536}};
  for (const auto& [key, bit] : kPacked) zvJsonAddBoolean(object, key, (mode & bit) != 0);
  return object;
}

json_object* describeIndex(RLHANDLE table, int number, RLHANDLE index) {
  json_object* entry = zvJsonAlloc();
  zvJsonAddInt(entry, "indexNo", number);
  const char* name = api.zvdbGetIndexName(index);
  const char* fileName = api.zvdbGetIndexFilename(index);
  zvJsonAddString(entry, "name", name ? name : "");
  zvJsonAddString(entry, "fileName", fileName ? fileName : "(Default)");
  zvJsonAddString(entry, "type", keyTypeName(api.zvdbGetIndexKeyType(index)));
  zvJsonAddBigint(entry, "length", api.zvdbGetIndexKeyLength(index));
  zvJsonAddBoolean(entry, "dupAllowed", api.zvdbGetIndexDuplicateFlag(index) != 0);
  zvJsonAddBoolean(entry, "nullAllowed", api.zvdbGetIndexNullFlag(index) != 0);
  int length = api.zvdbGetCndxIndexLength(table, number);
  if (length >= 0) {
    std::vector<char> condition(size_t(length) + 1, '\0');  // one more: a text that fills it stays terminated
    api.zvdbGetCndxIndex(table, number, condition.data(), length);
    zvJsonAddString(entry, "condition", condition.data());
  }
  zvJsonAddInt(entry, "emptyChar", api.zvdbGetIndexEmptyChar(index));
  return entry;
}

json_object* describeSegment(RLHANDLE table, RLHANDLE segment, bool withJson) {
  json_object* entry = zvJsonAlloc();
  const char* fieldName = api.zvdbGetSegmentFieldName(segment);
  zvJsonAddString(entry, "fieldName", fieldName ? fieldName : "");
  RLHANDLE field = fieldName ? api.zvdbGetFieldByName(table, fieldName) : nullptr;
  if (withJson && field && api.zvdbGetFieldType(field) == kTypeJson) {
    const char* key = nullptr;
    int32_t type = 0, size = 0;
    api.zvdbGetJSONSegmentProperties(segment, &key, &type, &size);
    zvJsonAddString(entry, "JSONkey", key ? key : "");
    zvJsonAddInt(entry, "JSONsize", size);
    zvJsonAddString(entry, "JSONtype", gridTypeName(type));
  }
  int mode = api.zvdbGetSegmentMode(segment);
  zvJsonAddString(entry, "descending", (mode & 16) ? "true" : "false");
  zvJsonAddString(entry, "segmentMode", segmentModeText(mode).c_str());
  return entry;
}

void addSegments(json_object* list, RLHANDLE table, int indexNumber, RLHANDLE index, bool numbered) {
  int count = api.zvdbGetIndexSegmentCount(index);
  for (int j = 0; j < count; ++j) {
    RLHANDLE segment = api.zvdbGetSegment(index, j);
    if (!segment) continue;
    json_object* entry = describeSegment(table, segment, numbered);
    if (numbered) {
      // "indexNo" and "segmentIndex" lead the entry.
      json_object* ordered = zvJsonAlloc();
      zvJsonAddInt(ordered, "indexNo", indexNumber);
      zvJsonAddInt(ordered, "segmentIndex", j);
      json_object_object_foreach(entry, key, value) zvJsonAdd(ordered, key, json_object_get(value));
      zvJsonRelease(entry);
      entry = ordered;
    }
    zvJsonArrayAdd(list, entry);
  }
}

}  // namespace

void doAction(Slot& slot, json_object* request, json_object* reply) {
  const char* mode = nullptr;
  const char* name = nullptr;
  const char* path = nullptr;
  const char* dbName = nullptr;
  bool hasPath = memberText(request, "path", &path);
  if (!memberText(request, "mode", &mode) || !memberText(request, "name", &name) ||
      (!hasPath && !memberText(request, "dbName", &dbName))) {
    zvJsonSetError(9007, "zvIsamExDoAction - Invalid parameter - Missing op in the request", reply);
    return;
  }
  if (isDatabaseMode(mode)) {
    int r = databaseAction(slot.session, mode, name, hasPath ? path : "");
    if (r != 0)
      zvJsonSetError(r, "Operation Error", reply);
    else
      zvJsonSetSuccess(reply);
  } else if (strcmp(mode, "ADDTABLE") == 0 || strcmp(mode, "DROPTABLE") == 0 || strcmp(mode, "DELETETABLE") == 0) {
    tableAction(slot, mode, name, path, request, reply);
  } else if (strcmp(mode, "CHECKCONDITION") == 0) {
    checkCondition(slot, name, request, reply);
  } else {
    zvJsonSetError(999, "Invalid option", reply);
  }
}

void getFields(TableCommandContext& context, json_object* reply, json_object* request) {
  TableHandles handles(context.slot->session);
  int code = 0;
  switch (reachTable(handles, request, true, &code)) {
    case Reach::kNoRequest:
      return;
    case Reach::kNoHandle:
      zvJsonSetSuccess(reply);
      zvJsonAdd(reply, "fields", nullptr);
      return;
    case Reach::kNoConnect:
      zvJsonAdd(reply, "fields", nullptr);
      return;
    case Reach::kNoOpen:
      zvJsonSetError(code, "Open failed", reply);
      return;
    case Reach::kOpen:
      break;
  }
  int last = handles.record ? api.zvdbFirstRecord(handles.record) : 0;
  int count = api.zvdbGetTableFieldCount(handles.table);
  int64_t seed = 0, increment = 0;
  const char* identity = api.zvdbGetIdentityFieldDetails(handles.table, &seed, &increment);
  std::string identityName = identity ? identity : "";
  json_object* fields = zvJsonAllocArray();
  for (int i = 0; i < count; ++i)
    zvJsonArrayAdd(fields,
                   describeField(handles, i, identity ? identityName.c_str() : nullptr, seed, increment, &last));
  // An empty table without fields has no first record: that is no failure.
  if (last == 0 || (count == 0 && last == RL_NOT_FOUND)) zvJsonSetSuccess(reply);
  zvJsonAdd(reply, "fields", fields);
}

void getProperties(TableCommandContext& context, json_object* reply, json_object* request) {
  bool packed = false;
  memberBool(request, "packed", &packed);
  TableHandles handles(context.slot->session);
  int code = 0;
  Reach reach = reachTable(handles, request, !packed, &code);
  if (reach == Reach::kNoRequest) return;
  if (reach != Reach::kOpen) {
    if (reach == Reach::kNoOpen) zvJsonSetError(code, "Open failed", reply);
    zvJsonAdd(reply, "properties", packed ? nullptr : zvJsonAllocArray());
    return;
  }
  char pad = 0, delimiter = 0;
  int r = api.zvdbGetPadChar(handles.table, &pad, &delimiter);
  int mode = api.zvdbGetTableCreateMode(handles.table);
  if (r == 0) zvJsonSetSuccess(reply);
  zvJsonAdd(reply, "properties",
            packed ? packedProperties(handles, mode, pad, delimiter) : listedProperties(handles, mode, pad, delimiter));
}

void getIndexes(TableCommandContext& context, json_object* reply, json_object* request) {
  TableHandles handles(context.slot->session);
  int code = 0;
  Reach reach = reachTable(handles, request, false, &code);
  if (reach == Reach::kNoRequest) return;
  zvJsonSetSuccess(reply);
  if (reach != Reach::kOpen) {
    zvJsonAdd(reply, "indexes", nullptr);
    return;
  }
  json_object* indexes = zvJsonAllocArray();
  int count = api.zvdbGetTableIndexCount(handles.table);
  for (int i = 0; i < count; ++i)
    if (RLHANDLE index = api.zvdbGetIndex(handles.table, i))
      zvJsonArrayAdd(indexes, describeIndex(handles.table, i, index));
  zvJsonAdd(reply, "indexes", indexes);
}

void getIndexesSegments(TableCommandContext& context, json_object* reply, json_object* request) {
  const char* database = nullptr;
  if (!memberText(request, "database", &database)) return;
  TableHandles handles(context.slot->session);
  int code = 0;
  Reach reach = reachTable(handles, request, false, &code);
  zvJsonSetSuccess(reply);
  if (reach != Reach::kOpen) {
    zvJsonAdd(reply, "segments", nullptr);
    return;
  }
  json_object* segments = zvJsonAllocArray();
  int count = api.zvdbGetTableIndexCount(handles.table);
  for (int i = 0; i < count; ++i)
    if (RLHANDLE index = api.zvdbGetIndex(handles.table, i)) addSegments(segments, handles.table, i, index, true);
  zvJsonAdd(reply, "segments", segments);
}

void getIndexSegments(TableCommandContext& context, json_object* reply, json_object* request) {
  const char* database = nullptr;
  const char* name = nullptr;
  if (!memberText(request, "database", &database) || !memberText(request, "name", &name)) return;
  int32_t number = 0;
  TableHandles handles(context.slot->session);
  int code = 0;
  bool hasIndex = memberInt(request, "index", &number);
  Reach reach = hasIndex ? reachTable(handles, request, false, &code) : Reach::kNoHandle;
  zvJsonSetSuccess(reply);
  if (reach != Reach::kOpen) {
    zvJsonAdd(reply, "segments", nullptr);
    return;
  }
  json_object* segments = zvJsonAllocArray();
  RLHANDLE index = number >= 0 && number < api.zvdbGetTableIndexCount(handles.table)
                       ? api.zvdbGetIndex(handles.table, number)
                       : nullptr;
  if (index) addSegments(segments, handles.table, number, index, false);
  zvJsonAdd(reply, "segments", segments);
}

}  // namespace avocet
