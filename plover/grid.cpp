// Result sets rendered for the console's grid: one object per row keyed by
// column name, values as text (null for SQL NULL), and on request the
// column model with the execute and fetch times.
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

// A command freed with its cursors when the call ends.
struct CommandOwner {
  explicit CommandOwner(ZVSQL_CONN connection) : command(sql.zvsqlNewCommand(connection)) {}
  ~CommandOwner() {
    if (command) sql.zvsqlFreeCommand(command);
  }
  ZVSQL_CMD command;
};

// The current row's value of column as text; sized from the column's length.
json_object* columnText(ZVSQL_CURSOR cursor, int column) {
  if (sql.zvsqlIsColumnNull(cursor, column)) return nullptr;
  int32_t length = sql.zvsqlGetColumnLength(cursor, column);
  std::vector<char> buffer(size_t(length > 0 ? length : 0) + 64);
  if (sql.zvsqlGetChar(cursor, column, buffer.data(), int32_t(buffer.size())) != 0) return nullptr;
  return zvJsonAllocString(buffer.data());
}

json_object* columnModel(ZVSQL_CURSOR cursor, double execSeconds, double fetchSeconds) {
  json_object* meta = zvJsonAlloc();
  json_object* timing = zvJsonAlloc();
  zvJsonAddDouble(timing, "exec", execSeconds);
  zvJsonAddDouble(timing, "fetch", fetchSeconds);
  zvJsonAdd(meta, "timing", timing);
  json_object* columns = zvJsonAllocArray();
  json_object* fields = zvJsonAllocArray();
  for (int i = 0, n = sql.zvsqlGetColumnCount(cursor); i < n; ++i) {
    const char* name = sql.zvsqlGetColumnName(cursor, i);
    json_object* column = zvJsonAlloc();
    zvJsonAddString(column, "dataIndex", name ? name : "");
    zvJsonAddString(column, "text", name ? name : "");
    zvJsonArrayAdd(columns, column);
    json_object* field = zvJsonAlloc();
    zvJsonAddString(field, "name", name ? name : "");
    zvJsonAddInt(field, "type", sql.zvsqlGetColumnType(cursor, i));
    zvJsonArrayAdd(fields, field);
  }
  zvJsonAdd(meta, "columns", columns);
  zvJsonAdd(meta, "fields", fields);
  return meta;
}

}  // namespace

bool queryRows(PooledConnection* connection, const std::string& statement, std::vector<SqlRow>& out, int& code) {
  CommandOwner owner(connection->handle);
  code = owner.command ? 0 : sql.zvsqlGetError(connection->handle);
  if (!owner.command) return false;
  sql.zvsqlSetTimeout(owner.command, connection->queryTimeout);
  ZVSQL_CURSOR cursor = nullptr;
  code = sql.zvsqlPrepare(owner.command, statement.c_str());
  if (code == 0) code = sql.zvsqlExecute(owner.command, &cursor);
  if (code != 0) return false;
  int columns = sql.zvsqlGetColumnCount(cursor);
  while ((code = sql.zvsqlNext(cursor)) == 0) {
    out.emplace_back();
    for (int i = 0; i < columns; ++i) {
      json_object* text = columnText(cursor, i);
      out.back().push_back(text ? std::optional<std::string>(zvJsonGetString(text)) : std::nullopt);
      zvJsonRelease(text);
    }
  }
  if (code != ZVSQL_END_OF_ROWS) return false;  // a failed fetch is no shorter list
  code = 0;
  return true;
}

int fetchRows(ZVSQL_CURSOR cursor, int rowLimit, json_object* rows) {
  int columns = sql.zvsqlGetColumnCount(cursor);
  int code = 0;
  for (int count = 0; (rowLimit == -1 || count < rowLimit) && (code = sql.zvsqlNext(cursor)) == 0; ++count) {
    json_object* row = zvJsonAlloc();
    for (int i = 0; i < columns; ++i) zvJsonAdd(row, sql.zvsqlGetColumnName(cursor, i), columnText(cursor, i));
    zvJsonArrayAdd(rows, row);
  }
  return code == ZVSQL_END_OF_ROWS ? 0 : code;
}

json_object* renderGridResult(PooledConnection* connection, const std::string& statement, int rowLimit, bool withMeta) {
  if (statement.empty()) return nullptr;
  CommandOwner owner(connection->handle);
  if (!owner.command) return nullptr;
  sql.zvsqlSetTimeout(owner.command, connection->queryTimeout);
  int64_t started = nowMs();
  ZVSQL_CURSOR cursor = nullptr;
  if (sql.zvsqlPrepare(owner.command, statement.c_str()) != 0 || sql.zvsqlExecute(owner.command, &cursor) != 0)
    return nullptr;
  int64_t executed = nowMs();
  json_object* rows = zvJsonAllocArray();
  // A loop ended by a failure is a failed statement, not a shorter result.
  if (fetchRows(cursor, rowLimit, rows) != 0) {
    zvJsonRelease(rows);
    return nullptr;
  }
  json_object* result = zvJsonAlloc();
  if (withMeta)
    zvJsonAdd(result, "metaData", columnModel(cursor, (executed - started) / 1000.0, (nowMs() - executed) / 1000.0));
  zvJsonAdd(result, "rows", rows);
  return result;
}

}  // namespace plover
