// Key queries over an index of one table, and the cursors that keep them
// open between calls.
#include <cstdio>
#include <vector>

#include "wren.h"

namespace wren {
namespace {

constexpr size_t kIdLength = 64;

struct RangeOperator {
  const char* text;
  int code;
};
const RangeOperator kRangeOperators[] = {{"=", 193}, {">", 130}, {">=", 195}, {"<=", 196}, {"<", 69}};
const char* const kKeyOperators[] = {"=", "<", "<=", ">", ">="};

// The query's database, table and record, on the heap so that a cursor can
// keep them.
CursorRef openQuery(Call& call, const std::string& indexName) {
  auto cursor = std::make_shared<Cursor>();
  cursor->owner = call.entry;
  cursor->database = std::make_unique<EasyDatabase>(call.entry->session.get(), call.database, true);
  cursor->table = std::make_unique<EasyTable>(cursor->database.get());
  cursor->table->Open(call.table, 0);
  cursor->record = std::make_unique<EasyRecord>(cursor->table.get());
  cursor->record->Clear();
  cursor->record->SetDefaultIndex(indexName);
  cursor->record->SetFilter(readText(call.params, "tableFilter", "").c_str());
  readText(call.params, "resultOrder", "descending");
  return cursor;
}

// The next records of a query, one array of every field's value per row,
// written into rows. False when the rows reached their bound: the record
// then stays on the row that did not fit, which its next Step reads again.
bool readRows(EasyRecord& record, Pager pager, RowsText& rows) {
  int count = rlGetFieldCount(record.GetHandle());
  while (record.Step() != 0) {
    if (!pager.take()) continue;
    json row = json::array();
    for (int field = 0; field < count; ++field) row.push_back(fieldValue(record, field));
    if (!rows.append(row)) {
      record.SetPositioned(1);
      return false;
    }
    if (!pager.more()) break;
  }
  return true;
}

// Every row a query asks for at once, or its refusal when they outgrow the
// bound of a reply.
void answerRows(Call& call, EasyRecord& record, Pager pager) {
  RowsText rows(call.replyLease);
  if (!readRows(record, pager, rows)) {
    setError(call.reply, -1, rowsRefusedMessage(rows));
    return;
  }
  call.dataText = rows.take();
}

void setColumns(json& result, EasyTable& table, bool typeNames) {
  json names = json::array(), types = json::array();
  for (int field = 0; field < table.GetFieldCount(); ++field) {
    ZVField* definition = table.GetField(field);
    names.push_back(definition->GetName());
    if (typeNames)
      types.push_back(fieldTypeName(definition->GetType()));
    else
      types.push_back(definition->GetType() == 146 ? "STRING" : "NUMBER");
  }
  result["fieldNames"] = std::move(names);
  result["fieldTypes"] = std::move(types);
  result["dataFormat"] = "arrays";
}

Pager queryPager(const json& params) {
  return Pager(readInt(params, "skipRecords", 0), readInt(params, "maxRecords", 20));
}

// Rows at once, or the query kept as a cursor.
void answer(Call& call, CursorRef cursor) {
  bool keep = readBool(call.params, "returnCursor", false);
  json& result = call.result();
  if (!keep) {
    setColumns(result, *cursor->table, true);
    answerRows(call, *cursor->record, queryPager(call.params));
    return;
  }
  std::string id = registerCursor(cursor);
  if (id.empty()) {
    setError(call.reply, -1, "Too many open cursors: close some with closeCursor.");
    return;
  }
  std::printf("cursorId: %s\n", id.c_str());
  std::fflush(stdout);
  result["cursorId"] = id;
  result["recordCount"] = -1;
}

const json& indexFilter(const json& params) {
  static const json kMissing;
  auto member = params.find("indexFilter");
  return member == params.end() ? kMissing : *member;
}

}  // namespace

void getRecordsInKeyRange(Call& call) {
  traceMethod("getRecordsInKeyRange");
  const json& filter = indexFilter(call.params);
  std::string indexName = readRequiredText(filter, "index");
  CursorRef cursor = openQuery(call, indexName);
  std::vector<int> codes;
  auto filters = filter.find("indexFieldFilters");
  if (filters != filter.end()) {
    for (const json& entry : *filters) {
      std::string op = readRequiredText(entry, "operator");
      int code = 0;
      for (const RangeOperator& known : kRangeOperators)
        if (op == known.text) code = known.code;
      if (code < 1) {
        setError(call.reply, -1, "range operator invalid");
        return;
      }
      codes.push_back(code);
      int field = cursor->table->GetFieldNumber(readRequiredText(entry, "fieldName"));
      setFieldFromJson(*cursor->record, field, entry.contains("value") ? entry["value"] : json());
    }
  }
  EasyIndex index = cursor->table->GetIndex(indexName);
  std::vector<unsigned char> key(static_cast<size_t>(index.GetKeyLength()));
  cursor->record->BuildTargetKey(0, key.data(), static_cast<int>(key.size()));
  cursor->record->RangeOn(static_cast<int>(codes.size()), key.data(), nullptr, codes.data());
  readBool(call.params, "returnCursor", false);  // rows are always answered here
  setColumns(call.result(), *cursor->table, false);
  answerRows(call, *cursor->record, queryPager(call.params));
}

void getRecordsByPartialKey(Call& call) {
  traceMethod("getRecordsByPartialKey");
  const json& filter = indexFilter(call.params);
  std::string indexName = readRequiredText(filter, "indexName");
  CursorRef cursor = openQuery(call, indexName);
  EasyIndex index = cursor->table->GetIndex(indexName);
  if (index.GetSegmentCount() != 1) {
    setError(call.reply, -1, "Used index may only have one field at the moment.");
    return;
  }
  std::string partialKey = readRequiredText(filter, "partialKey");
  int field = cursor->table->GetFieldNumber(index.GetSegment(0)->GetFieldName());
  setFieldFromJson(*cursor->record, field, partialKey);
  cursor->record->RecordSetOn(static_cast<int>(partialKey.size()));
  answer(call, cursor);
}

void getRecordsStartingAtKey(Call& call) {
  traceMethod("getRecordsStartingAtKey");
  const json& filter = indexFilter(call.params);
  std::string indexName = readRequiredText(filter, "index");
  CursorRef cursor = openQuery(call, indexName);
  auto fields = filter.find("indexFields");
  if (fields != filter.end()) {
    for (const json& entry : *fields) {
      int field = cursor->table->GetFieldNumber(readRequiredText(entry, "fieldName"));
      setFieldFromJson(*cursor->record, field, entry.contains("value") ? entry["value"] : json());
    }
  }
  std::string op = readRequiredText(filter, "operator");
  int mode = -1;
  for (int i = 0; i < 5; ++i)
    if (op == kKeyOperators[i]) mode = i;
  if (mode < 0) {
    setError(call.reply, -1, "operator invalid");
    return;
  }
  cursor->record->SetPositioned(cursor->record->Find(mode));
  answer(call, cursor);
}

void getRecordsFromCursor(Call& call) {
  traceMethod("getRecordsFromCursor");
  std::string id = readRequiredText(call.params, "cursorId");
  std::printf("b: %s\n", id.c_str());
  std::fflush(stdout);
  CursorRef cursor = id.size() == kIdLength ? findCursor(id) : nullptr;
  if (!cursor) {
    setError(call.reply, -1, "cursorId invalid");
    return;
  }
  Pager pager(readInt(call.params, "skip", 0), readInt(call.params, "fetchNext", 200));
  readText(call.params, "startFrom", "current");
  readInt(call.params, "fetchPrev", 0);
  readText(call.params, "resultOrder", "ascending");
  readInt(call.params, "keepAliveSeconds", 0);
  AuthEntryRef owner = cursor->owner;  // outlives the lock on its mutex
  std::unique_lock<std::mutex> serialised(owner->useMutex);
  RLHANDLE handle = cursor->record->GetHandle();
  std::printf("zvdbIsActiveSession: %d\nzvdbIsActiveTable: %d\n", zvdbIsActiveSession(handle),
              zvdbIsActiveTable(handle));
  std::fflush(stdout);
  // A page that outgrows the bound of a reply ends early; the rest comes
  // with the next page.
  RowsText rows(call.replyLease);
  bool fits = readRows(*cursor->record, pager, rows) || rows.count() > 0;
  cursor.reset();  // a cursor closed meanwhile ends here, under the lock
  if (!fits) {
    setError(call.reply, -1, rowsRefusedMessage(rows));  // one record alone is past the bound
    return;
  }
  call.dataText = rows.take();
}

void closeCursor(Call& call) {
  traceMethod("closeCursor");
  std::string id = readRequiredText(call.params, "cursorId");
  if (id.size() != kIdLength || !removeCursor(id)) setError(call.reply, -1, "cursorId invalid");
}

}  // namespace wren
