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
bool addField(Call& call, EasyTable& table, const json& entry, int datePosition, int timePosition) {
  std::string type = readRequiredText(entry, "type");
  int code = fieldTypeCode(type);
  if (code < 0) {
    setError(call.reply, -1, "Unknown field type in createTable call: " + type);
    return false;
  }
  std::string name = readRequiredText(entry, "name");
  ZVField* field = table.AddField(name, code, readRequiredInt(entry, "length"));
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
bool alterField(Call& call, EasyTable& table, const json& entry) {
  bool named = entry.contains("name");
  if (named && entry.contains("newPosition")) {
    table.MoveField(readInt(entry, "name", 0), readInt(entry, "newPosition", 0));
  } else if (named && entry.contains("type") && entry.contains("length")) {
    ZVField* field = table.GetField(readRequiredText(entry, "name"));
    int code = 0;
    if (!typeOf(call, entry, &code)) return false;
    field->SetType(code, readInt(entry, "length", 0));
    setBinaryFlag(field, entry);
  } else if (named && entry.contains("length")) {
    table.GetField(readRequiredText(entry, "name"))->SetLength(readInt(entry, "length", 0));
  } else if (named && entry.contains("type")) {
    ZVField* field = table.GetField(readRequiredText(entry, "name"));
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
    table.GetField(readRequiredText(entry, "name"))->SetName(readRequiredText(entry, "newName").c_str());
  return true;
}

// Extent size, folder and file extensions of a new table, each when given
// with its type; a folder or extension that would leave the server's data
// directory is refused.
bool applyFileSettings(Call& call, EasyTable& table) {
  const json& params = call.params;
  auto extent = params.find("growthExtent");
  if (extent != params.end() && extent->is_number()) table.SetDataDefaultExtentSize(readInt(params, "growthExtent", 0));
  struct Setting {
    const char* name;
    void (ZVTable::*apply)(const char*);
  };
  const Setting settings[] = {{"folder", &ZVTable::SetPath},
                              {"tableFileExtension", &ZVTable::SetDataExtension},
                              {"indexFileExtension", &ZVTable::SetIndexExtension}};
  for (const Setting& setting : settings) {
    auto member = params.find(setting.name);
    if (member == params.end() || !member->is_string()) continue;
    const std::string& text = member->get_ref<const std::string&>();
    if (!checkRelativePath(call.reply, text, setting.name)) return false;
    (table.*setting.apply)(text.c_str());
  }
  return true;
}

}  // namespace

void createTable(Call& call) {
  traceMethod("createTable");
  EasyDatabase database(call.entry->session.get(), call.database, true);
  EasyTable table(&database);
  ZVField* id = table.AddField("id", 231, 8);
  ZVIndex* primary = table.AddIndex(call.table + "_id_pk", 0, 0, 0);
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
  if (!applyFileSettings(call, table)) return;
  int mode = (isTrue(call.params, "smallFile") ? 0 : kCreateSmallFile) |
             (isTrue(call.params, "createRecByteIndex") ? 0 : kCreateRecByteIndex);
  table.Create(call.table, mode);
}

void deleteTables(Call& call) {
  traceMethod("deleteTables");
  EasyDatabase database(call.entry->session.get(), call.database, true);
  auto names = call.params.find("tableNames");
  if (names == call.params.end()) return;
  for (const json& name : *names) {
    try {
      database.DeleteTable(checkedText("tableNames", name.get<std::string>()).c_str(), "");
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
  EasySession* session = call.entry->session.get();
  EasyDatabase database(session, call.database, false);
  EasyDatabase target(database);
  std::string current = call.table;
  auto newDatabase = call.params.find("newDatabaseName");
  if (newDatabase != call.params.end()) {
    EasyDatabase moved(session, checkedText("newDatabaseName", newDatabase->get<std::string>()), true);
    std::string path = directoryOf(database.GetTablePath(call.table));
    std::printf("path:%s\n", path.c_str());
    std::fflush(stdout);
    // Entered into the new dictionary first: a refused move leaves the
    // table where it was.
    moved.AddTable(call.table, path);
    database.DropTable(call.table);
    target = moved;
  }
  auto newName = call.params.find("newTableName");
  if (newName != call.params.end()) {
    current = checkedText("newTableName", newName->get<std::string>());
    target.RenameTable(call.table.c_str(), current.c_str());
  }
  auto fields = call.params.find("fields");
  if (fields == call.params.end()) return;
  // Opened where the table is now: after a move its old database no longer
  // lists it.
  EasyTable table(&target);
  table.Open(current, 1);
  for (const json& entry : *fields)
    if (!alterField(call, table, entry)) return;
  alterInTransaction(call, table, 0);  // the changes are stored, not only made on the open table
}

void rebuildEach(Call& call, int alterMode) {
  EasyDatabase database(call.entry->session.get(), call.database, true);
  auto names = call.params.find("tableNames");
  if (names == call.params.end()) return;
  for (const json& name : *names) {
    EasyTable table(&database);
    table.Open(checkedText("tableNames", name.get<std::string>()), 1);
    alterInTransaction(call, table, alterMode);  // a failure is kept; later tables go on
  }
}

void rebuildTables(Call& call) {
  traceMethod("rebuildTable");
  rebuildEach(call, 3);
}

}  // namespace wren
