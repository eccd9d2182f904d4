// Table schema methods.
#include <cstdio>
#include <memory>

#include "wren.h"

namespace wren {
namespace {

constexpr int kCreateSmallFile = 0x100;    // unless "smallFile" is true
constexpr int kCreateRecByteIndex = 0x20;  // unless "createRecByteIndex" is true

bool isTrue(const json& params, const char* name) {
  auto member = params.find(name);
  return member != params.end() && member->is_boolean() && member->get<bool>();
}

const char* const kDateFormats[] = {"unused", "MDCY", "MDY", "DMCY", "DMY", "CYMD", "YMD"};
const char* const kTimeFormats[] = {"unused", "HMSP", "HMP", "HMS", "HM", "MIL"};

template <size_t N>
int formatPosition(const char* const (&formats)[N], const json& params, const char* name) {
  auto member = params.find(name);
  if (member == params.end() || !member->is_string()) return 0;
  for (size_t i = 1; i < N; ++i)
    if (*member == formats[i]) return static_cast<int>(i);
  throw ZVException(-1, std::string("Unknown ") + name + ": " + member->get<std::string>(), "wren", __LINE__);
}

// Adds one caller's field; false (with the reply's error) for an unknown type.
bool addField(Call& call, ZVTable& table, const json& entry, int datePosition, int timePosition) {
  std::string type = readRequiredText(entry, "type");
  int code = fieldTypeCode(type);
  if (code < 0) {
    setError(call.reply, -1, "Unknown field type in createTable call: " + type);
    return false;
  }
  std::string name = readRequiredText(entry, "name");
  ZVField* field = table.AddField(name.c_str(), code, readRequiredInt(entry, "length"));
  if (type == "VARCHAR") field->SetBinaryFlag(4);
  if (type == "MONEY") field->SetBinaryFlag(7);
  if (type == "DATE" && datePosition > 0) field->SetFieldDefaultDateTimeType(datePosition, 0);
  if (type == "TIME" && timePosition > 0) field->SetFieldDefaultDateTimeType(0, timePosition);
  if (type == "TIMESTAMP" && (datePosition > 0 || timePosition > 0))
    field->SetFieldDefaultDateTimeType(datePosition, timePosition);
  return true;
}

// The part of a path before its last separator; empty without one.
std::string directoryOf(const std::string& path) {
  size_t last = path.find_last_of("/\\");
  return last == std::string::npos ? "" : path.substr(0, last);
}

std::string tablePath(ZVDatabase& database, const std::string& table) {
  ZVString name, path;
  for (bool more = database.FirstTable(&name, &path); more; more = database.NextTable(&name, &path))
    if (name.str() == table) return path.str();
  return "";
}

// The engine code of a field description's type; 0 with the reply's error
// when unknown.
bool typeOf(Call& call, const json& entry, int* code) {
  std::string type = readRequiredText(entry, "type");
  *code = fieldTypeCode(type);
  if (*code < 0) setError(call.reply, -1, "Unknown field type in alterTable call: " + type);
  return *code >= 0;
}

void setBinaryFlag(ZVField* field, const json& entry) {
  std::string type = entry["type"].get<std::string>();
  if (type == "VARCHAR") field->SetBinaryFlag(4);
  if (type == "MONEY") field->SetBinaryFlag(7);
}

// One field description of "alterTable"; false when the call must end.
bool alterField(Call& call, ZVTable& table, const json& entry) {
  bool named = entry.contains("name");
  if (named && entry.contains("newPosition")) {
    table.MoveField(readInt(entry, "name", 0), readInt(entry, "newPosition", 0));
  } else if (named && entry.contains("type") && entry.contains("length")) {
    ZVField* field = table.GetField(readRequiredText(entry, "name").c_str());
    int code = 0;
    if (!typeOf(call, entry, &code)) return false;
    field->SetType(code, readInt(entry, "length", 0));
    setBinaryFlag(field, entry);
  } else if (named && entry.contains("length")) {
    table.GetField(readRequiredText(entry, "name").c_str())->SetLength(readInt(entry, "length", 0));
  } else if (named && entry.contains("type")) {
    ZVField* field = table.GetField(readRequiredText(entry, "name").c_str());
    int code = 0;
    if (!typeOf(call, entry, &code)) return false;
    if (isStringFieldType(code)) {
      setError(call.reply, -1, "String field types need a length parameter.");
      return false;
    }
    field->SetType(code, 0);
    setBinaryFlag(field, entry);
  }
  if (named && entry.contains("newName"))
    table.GetField(readRequiredText(entry, "name").c_str())->SetName(readRequiredText(entry, "newName").c_str());
  return true;
}

}  // namespace

void connectDatabase(ZVSession& session, ZVDatabase& database, const std::string& name, bool createIfMissing) {
  if (createIfMissing && !session.FindDatabase(name.c_str())) session.CreateDatabase(name.c_str(), "");
  database.Connect(name.c_str());
}

void createTable(Call& call) {
  traceMethod("createTable");
  ZVSession& session = *call.entry->session;
  ZVDatabase database(&session);
  connectDatabase(session, database, call.database, true);
  ZVTable table(&database);
  ZVField* id = table.AddField("id", 231, 8);
  ZVIndex* primary = table.AddIndex((call.table + "_id_pk").c_str(), 0, 0, 0);
  primary->AddSegment(id, 12);
  rlSetIdentityField(table.GetHandle(), "id", 1, 1);
  int datePosition = formatPosition(kDateFormats, call.params, "defaultDateFormat");
  int timePosition = formatPosition(kTimeFormats, call.params, "defaultTimeFormat");
  auto fields = call.params.find("fields");
  if (fields != call.params.end()) {
    for (const json& entry : *fields) {
      if (entry.contains("name") && entry["name"] == "id") continue;
      if (!addField(call, table, entry, datePosition, timePosition)) return;
    }
  }
  int mode = (isTrue(call.params, "smallFile") ? 0 : kCreateSmallFile) |
             (isTrue(call.params, "createRecByteIndex") ? 0 : kCreateRecByteIndex);
  table.Create(call.table.c_str(), mode);
}

void deleteTables(Call& call) {
  traceMethod("deleteTables");
  ZVSession& session = *call.entry->session;
  ZVDatabase database(&session);
  connectDatabase(session, database, call.database, true);
  auto names = call.params.find("tableNames");
  if (names == call.params.end()) return;
  for (const json& name : *names) {
    try {
      database.DeleteTable(name.get<std::string>().c_str(), "");
    } catch (const ZVException& failure) {
      setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
      return;
    }
  }
}

}  // namespace wren

namespace wren {

void alterTable(Call& call) {
  traceMethod("alterTable");
  ZVSession& session = *call.entry->session;
  ZVDatabase database(&session);
  connectDatabase(session, database, call.database, false);
  std::unique_ptr<ZVDatabase> moved;
  ZVDatabase* target = &database;
  std::string current = call.table;
  auto newDatabase = call.params.find("newDatabaseName");
  if (newDatabase != call.params.end()) {
    moved = std::make_unique<ZVDatabase>(&session);
    connectDatabase(session, *moved, newDatabase->get<std::string>(), true);
    std::string path = directoryOf(tablePath(database, call.table));
    std::printf("path:%s\n", path.c_str());
    // Entered into the new dictionary first: a refused move leaves the
    // table where it was.
    moved->AddTable(call.table.c_str(), path.c_str());
    database.DropTable(call.table.c_str());
    target = moved.get();
  }
  auto newName = call.params.find("newTableName");
  if (newName != call.params.end()) {
    current = newName->get<std::string>();
    target->RenameTable(call.table.c_str(), current.c_str());
  }
  auto fields = call.params.find("fields");
  if (fields == call.params.end()) return;
  ZVTable table(&database);
  table.Open(current.c_str(), 1);
  for (const json& entry : *fields)
    if (!alterField(call, table, entry)) return;
  alterInTransaction(call, table, 0);  // the changes are stored, not only made on the open table
}

void rebuildEach(Call& call, int alterMode) {
  ZVSession& session = *call.entry->session;
  ZVDatabase database(&session);
  connectDatabase(session, database, call.database, true);
  auto names = call.params.find("tableNames");
  if (names == call.params.end()) return;
  for (const json& name : *names) {
    ZVTable table(&database);
    table.Open(name.get<std::string>().c_str(), 1);
    alterInTransaction(call, table, alterMode);  // a failure is kept; later tables go on
  }
}

void rebuildTables(Call& call) {
  traceMethod("rebuildTable");
  rebuildEach(call, 3);
}

}  // namespace wren
