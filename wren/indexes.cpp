// Index schema methods.
#include "wren.h"

namespace wren {
namespace {

constexpr int kVariableLengthKey = 0x200;
constexpr int kRepeatingCharacterKey = 0x800;
constexpr int kCompressAboveLength = 20;
constexpr int kAscending = 12;

int indexKeyType(const json& params, EasyTable& table) {
  std::string compression = readText(params, "variableLengthCompression", "auto");
  int keyType = 0;
  if (compression == "on") keyType = kVariableLengthKey;
  if (compression == "auto") {
    int length = 0;
    auto fields = params.find("fields");
    if (fields != params.end())
      for (const json& entry : *fields) length += table.GetField(readRequiredText(entry, "name"))->GetLength();
    if (length > kCompressAboveLength) keyType = kVariableLengthKey;
  }
  if (readBool(params, "repeatingCharacterCompression", false)) keyType |= kRepeatingCharacterKey;
  return keyType;
}

// File name, statistics and condition of an index, each when asked for.
bool applySettings(Call& call, EasyIndex& index) {
  auto filename = call.params.find("filename");
  if (filename != call.params.end()) {
    std::string name = checkedText("filename", filename->get<std::string>());
    if (!checkRelativePath(call.reply, name, "filename")) return false;
    index.SetFilename("", name);
  }
  auto stats = call.params.find("collectStats");
  if (stats != call.params.end() && stats->is_boolean() && stats->get<bool>()) index.SetDistinctKeyCount();
  auto condition = call.params.find("conditionalExpression");
  if (condition != call.params.end() && condition->is_string()) index.SetCondition(checkedText("conditionalExpression", condition->get<std::string>()));
  return true;
}

}  // namespace

// Stores the table's definition changes in one transaction, aborted on failure.
void alterInTransaction(Call& call, ZVTable& table, int mode) {
  try {
    table.Begin();
    table.Alter(mode);
    table.Commit();
  } catch (const ZVException& failure) {
    table.Abort();
    setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
  }
}

void listIndexes(Call& call) {
  traceMethod("listIndexes");
  OpenTable open(call, 0);
  json rows = json::array();
  for (int i = 0; i < open.table.GetIndexCount(); ++i) {
    ZVIndex* index = open.table.GetIndex(i);
    rows.push_back({call.database, call.table, index->GetName(), index->GetNumber()});
  }
  json& result = call.result();
  result["fieldNames"] = {"database", "table", "index", "index_number"};
  result["fieldTypes"] = {"STRING", "STRING", "STRING", "NUMBER"};
  result["data"] = std::move(rows);
}

void createIndex(Call& call) {
  traceMethod("createIndex");
  std::string name = readRequiredText(call.params, "indexName");
  OpenTable open(call, 0);
  int keyType = indexKeyType(call.params, open.table);
  bool unique = readBool(call.params, "unique", false);
  EasyIndex index(*open.table.AddIndex(name, keyType, unique ? 0 : 1, 1));
  if (!applySettings(call, index)) return;
  auto extent = call.params.find("growthExtent");
  if (extent != call.params.end() && extent->is_number())
    open.table.SetDataDefaultExtentSize(readInt(call.params, "growthExtent", 0));
  auto fields = call.params.find("fields");
  if (fields != call.params.end())
    for (const json& entry : *fields)
      index.AddSegment(open.table.GetField(readRequiredText(entry, "name")), kAscending);
  alterInTransaction(call, open.table, 0);
}

void alterIndex(Call& call) {
  traceMethod("alterIndex");
  std::string name = readRequiredText(call.params, "indexName");
  OpenTable open(call, 1);
  EasyIndex index = open.table.GetIndex(name);
  // The engine keeps an index under the name it was made with and has no
  // way to rename one: a new name is refused before anything changes,
  // rather than answered as done and dropped.
  auto newName = call.params.find("newIndexName");
  if (newName != call.params.end() && newName->get<std::string>() != name) {
    setError(call.reply, RL_BAD_ARGUMENT,
             "An index cannot be renamed: delete it and create it again under the new name.");
    return;
  }
  try {
    if (!applySettings(call, index)) return;
    if (call.params.contains("unique")) index.SetDuplicateFlag(readInt(call.params, "unique", 0) == 0 ? 1 : 0);
    index.SetKeyType(indexKeyType(call.params, open.table));
  } catch (const ZVException& failure) {
    setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
    return;
  }
  alterInTransaction(call, open.table, 1);
}

void deleteIndex(Call& call) {
  traceMethod("deleteIndex");
  std::string name = readRequiredText(call.params, "indexName");
  OpenTable open(call, 0);
  open.table.DelIndex(name.c_str());
  alterInTransaction(call, open.table, 0);
}

void rebuildIndex(Call& call) {
  traceMethod("rebuildIndex");
  rebuildEach(call, 1);
}

}  // namespace wren
