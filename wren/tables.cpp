// Table schema methods.
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
  ZVField* field = table.AddField(name.c_str(), code, readInt(entry, "length", INT32_MIN));
  if (type == "VARCHAR") field->SetBinaryFlag(4);
  if (type == "MONEY") field->SetBinaryFlag(7);
  if (type == "DATE" && datePosition > 0) field->SetFieldDefaultDateTimeType(datePosition, 0);
  if (type == "TIME" && timePosition > 0) field->SetFieldDefaultDateTimeType(0, timePosition);
  if (type == "TIMESTAMP" && (datePosition > 0 || timePosition > 0))
    field->SetFieldDefaultDateTimeType(datePosition, timePosition);
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
