// Result sets read as plain rows: every value as text (null for SQL NULL),
// for the catalog reads and the console's queries.
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

// The current row's value of column as text; sized from the column's length.
json_object* columnText(ZVSQL_CURSOR cursor, int column) {
  if (sql.zvsqlIsColumnNull(cursor, column)) return nullptr;
  int32_t length = sql.zvsqlGetColumnLength(cursor, column);
  std::vector<char> buffer(size_t(length > 0 ? length : 0) + 64);
  if (sql.zvsqlGetChar(cursor, column, buffer.data(), int32_t(buffer.size())) != 0) return nullptr;
  return zvJsonAllocString(buffer.data());
}

}  // namespace

bool queryRows(PooledConnection* connection, const std::string& statement, std::vector<SqlRow>& out, int& code) {
  CommandPtr command(sql.zvsqlNewCommand(connection->handle));
  code = command.get() ? 0 : sql.zvsqlGetError(connection->handle);
  if (!command) return false;
  sql.zvsqlSetTimeout(command.get(), connection->queryTimeout);
  ZVSQL_CURSOR cursor = nullptr;
  code = sql.zvsqlPrepare(command.get(), statement.c_str());
  if (code == 0) code = sql.zvsqlExecute(command.get(), &cursor);
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

}  // namespace plover
