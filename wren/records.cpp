// Record methods: writes, deletes and reads of one table's records.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "wren.h"

namespace wren {
namespace {

constexpr int kRowidIndex = 10001;
constexpr int kNotFound = 101;
constexpr int kInsertBatch = 5;

// The session's transaction: aborted unless committed, whatever leaves the
// scope, so no write of a failed call lingers on the shared session.
class Transaction {
 public:
  explicit Transaction(ZVBase& object) : object_(object) { object_.Begin(); }
  ~Transaction() {
    if (open_) {
      try {
        object_.Abort();
      } catch (...) {  // the session may already be gone; nothing is left to undo then
      }
    }
  }
  void commit() {
    object_.Commit();
    open_ = false;
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

 private:
  ZVBase& object_;
  bool open_ = true;
};

// Ends the record's batch on every path; the rows inserted so far stay.
struct BatchEnd {
  EasyRecord& record;
  ~BatchEnd() {
    try {
      record.EndBatch();
    } catch (...) {  // an end that fails has nothing left to store
    }
  }
};

[[noreturn]] void notFound(int64_t id) {
  throw ZVException(kNotFound, "record " + std::to_string(id) + " not found", "wren", __LINE__);
}

int64_t rowIdOf(const json& value) {
  if (!value.is_number_integer()) (void)value.get<int64_t>();  // the library's type error for non-numbers
  if (value.is_number_unsigned() && value.get<uint64_t>() > INT64_MAX)
    throw ZVException(-1, "id out of range", "wren", __LINE__);
  if (!value.is_number_integer()) throw ZVException(-1, "id must be a whole number", "wren", __LINE__);
  return value.get<int64_t>();
}

// Field numbers of "fieldNames"; every row must fit them.
std::vector<int> fieldNumbers(EasyTable& table, const json& params) {
  std::vector<int> numbers;
  auto names = params.find("fieldNames");
  if (names != params.end())
    for (const json& name : *names) numbers.push_back(table.GetFieldNumber(checkedText("fieldNames", name.get<std::string>())));
  return numbers;
}

const json& rowsOf(const json& params, size_t width) {
  static const json kNone = json::array();
  auto rows = params.find("sourceData");
  if (rows == params.end()) return kNone;
  if (!rows->is_array()) throw ZVException(-1, "sourceData must be an array of rows", "wren", __LINE__);
  for (const json& row : *rows)
    if (!row.is_array() || row.size() > width)
      throw ZVException(-1, "every row of sourceData must be an array with no more values than fieldNames", "wren",
                        __LINE__);
  return *rows;
}

// Reads by row id need them; false with the reply's error otherwise.
bool hasRowIds(Call& call, EasyTable& table) {
  if (table.HasRowid()) return true;
  setError(call.reply, -1, "table does not have row ids");
  return false;
}

void setRow(EasyRecord& record, const std::vector<int>& fields, const json& row) {
  for (size_t j = 0; j < row.size(); ++j) setFieldFromJson(record, fields[j], row[j]);
}

}  // namespace

void insertRecords(Call& call) {
  if (readText(call.params, "insertFormat", "") != "arrays") {
    setError(call.reply, -1, "insertFormat currently must be arrays");
    return;
  }
  OpenTable open(call, 0);
  std::vector<int> fields = fieldNumbers(open.table, call.params);
  const json& rows = rowsOf(call.params, fields.size());
  EasyRecord record(&open.table);
  record.SetBatch(kInsertBatch, 0, 0);
  BatchEnd batchEnd{record};
  for (const json& row : rows) {
    record.Clear();
    setRow(record, fields, row);
    record.InsertBatch();
  }
}

void updateRecords(Call& call) {
  traceMethod("updateRecords");
  std::string format = readText(call.params, "dataFormat", "");
  if (format != "arrays" && format != "objects") {
    setError(call.reply, -1, "Unsupported dataFormat. It must be either arrays or objects.");
    return;
  }
  if (format == "objects") return;
  OpenTable open(call, 0);
  std::vector<int> fields = fieldNumbers(open.table, call.params);
  int idField = open.table.GetFieldNumber("id");
  size_t idPosition = std::find(fields.begin(), fields.end(), idField) - fields.begin();
  if (idPosition == fields.size()) throw ZVException(-1, "fieldNames must hold id", "wren", __LINE__);
  const json& rows = rowsOf(call.params, fields.size());
  EasyRecord record(&open.table);
  record.SetDefaultIndex(call.table + "_id_pk");
  try {
    Transaction transaction(open.table);
    for (const json& row : rows) {
      if (row.size() <= idPosition) throw ZVException(-1, "a row has no id", "wren", __LINE__);
      int64_t id = rowIdOf(row[idPosition]);
      record.Clear();
      record.SetFieldAsBigint("id", id);
      if (record.Find(0) == 0) notFound(id);
      setRow(record, fields, row);
      record.Write();
    }
    transaction.commit();
  } catch (const ZVException& failure) {
    setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
  }
}

void deleteRecords(Call& call) {
  traceMethod("deleteRecords");
  OpenTable open(call, 0);
  if (!hasRowIds(call, open.table)) return;
  EasyRecord record(&open.table);
  record.SetDefaultIndex(kRowidIndex);
  auto ids = call.params.find("id");
  if (ids == call.params.end()) return;
  Transaction transaction(open.table);  // every id or none
  for (const json& value : *ids) {
    int64_t id = rowIdOf(value);
    if (record.FindRowid(id, 0) == 0) notFound(id);
    record.Delete();
  }
  transaction.commit();
}

void truncateRecords(Call& call) {
  traceMethod("truncateRecords");
  OpenTable open(call, 0);
  try {
    Transaction transaction(open.table);
    open.table.Truncate();
    transaction.commit();
  } catch (const ZVException& failure) {
    setError(call.reply, failure.GetErrorCode(), failure.GetErrorMsg());
  }
}

namespace {

void readRecordById(Call& call, EasyTable& table) {
  if (!hasRowIds(call, table)) return;
  EasyRecord record(&table);
  record.SetDefaultIndex(kRowidIndex);
  int64_t id = rowIdOf(call.params.contains("id") ? call.params["id"] : json());
  if (record.FindRowid(id, 0) == 0) {
    setError(call.reply, kNotFound, "record " + std::to_string(id) + " not found");
    return;
  }
  json names = json::array(), types = json::array(), data = json::array();
  for (int field = 0; field < table.GetFieldCount(); ++field) {
    ZVField* definition = table.GetField(field);
    names.push_back(definition->GetName());
    types.push_back(definition->GetType() == 146 ? "STRING" : "NUMBER");
    data.push_back(fieldValue(record, field));
  }
  json& result = call.result();
  result["fieldNames"] = std::move(names);
  result["fieldTypes"] = std::move(types);
  result["dataFormat"] = "arrays";
  result["data"] = std::move(data);
}

}  // namespace

void getRecordById(Call& call) {
  traceMethod("getRecordById");
  AuthEntry& entry = *call.entry;
  try {
    readRecordById(call, keptTable(entry, call.database, call.table));
  } catch (...) {
    forgetKeptTable(entry);  // the next read opens the table anew, or finds it gone
    throw;
  }
}

}  // namespace wren
