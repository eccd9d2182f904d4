// Long cells the grid does not carry: read page by page (or whole) by
// running the grid's query again, written back by rowid. Reads are sized
// from the column's length; the column is found by its exact name or the
// call is refused; the value is bound as a parameter, the names quoted.
#include <cstring>
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr const char* kUnit = "plover";

bool isCharType(const char* t) {
  return !strcmp(t, "CHAR") || !strcmp(t, "VARCHAR") || !strcmp(t, "LVC") || !strcmp(t, "CLOB");
}

std::string hexText(const unsigned char* bytes, size_t count) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < count; ++i) out += kHex[bytes[i] >> 4], out += kHex[bytes[i] & 15];
  return out;
}

struct Command {
  explicit Command(PooledConnection* c) : command(sql.zvsqlNewCommand(c->handle)) {
    if (command) sql.zvsqlSetTimeout(command, c->queryTimeout);
  }
  ~Command() {
    if (command) sql.zvsqlFreeCommand(command);
  }
  ZVSQL_CMD command;
};

// A session that commits each change commits the write that just ran.
void commitWhenAuto(SqlCallContext& context, json_object* reply) {
  int code = 0;
  if (context.connection->autoCommit && (code = sql.zvsqlCommit(context.connection->handle)) != 0)
    setExceptionReply(reply, context.tid, code, "execStatement -> Commit",
                      sql.zvsqlGetErrorMessage(context.connection->handle), kUnit);
}

// The column to read: 0, or in query mode 1 the one named exactly; -1 when none is.
int chosenColumn(ZVSQL_CURSOR cursor, json_object* yxInfo, int queryMode) {
  if (queryMode != 1) return 0;
  const char* wanted = nullptr;
  if (!zvJsonGetStringByName(yxInfo, "columnName", &wanted) || !wanted) return -1;
  for (int i = 0, n = sql.zvsqlGetColumnCount(cursor); i < n; ++i) {
    const char* name = sql.zvsqlGetColumnName(cursor, i);
    if (name && strcmp(name, wanted) == 0) return i;
  }
  return -1;
}

// Reads the page (or the whole value) into result's "data"; the reader's code.
int readCell(ZVSQL_CURSOR cursor, int column, int pageSize, int start, bool full, json_object* result) {
  int32_t length = std::max(sql.zvsqlGetColumnLength(cursor, column), 0);
  int type = sql.zvsqlGetColumnType(cursor, column);
  int32_t read = 0;
  if (type == 1 || type == 21 || type == 14 || type == 23) {
    // Character values of any type are read page by page, as long text is.
    std::vector<char> text(size_t(pageSize) + 1, '\0');
    int code = sql.zvsqlGetBlob(cursor, column, text.data(), pageSize + 1, int64_t(start) * pageSize, &read);
    zvJsonAddString(result, "data", text.data());
    zvJsonAddString(result, "type", "CHAR");
    return code;
  }
  if (type == 12 || type == 26) {
    std::vector<unsigned char> bytes(size_t(length) + 1);
    zvsqlBinary value{0, int32_t(bytes.size()), bytes.data()};
    int code = sql.zvsqlGetBinary(cursor, column, &value);
    zvJsonAddString(result, "data", hexText(bytes.data(), size_t(std::min(value.length, value.capacity))).c_str());
    return code;
  }
  int32_t size = full ? length : pageSize;
  std::vector<unsigned char> bytes(size_t(size) + 1, 0);
  int code =
      size > 0 ? sql.zvsqlGetBlob(cursor, column, bytes.data(), size, full ? 0 : int64_t(start) * pageSize, &read) : 0;
  zvJsonAddString(result, "data", hexText(bytes.data(), size_t(std::max(read, 0))).c_str());
  return code;
}

}  // namespace

void getBlobData(SqlCallContext& context, json_object* reply, json_object* params) {
  json_object* yxInfo = nullptr;
  const char *columnType = nullptr, *query = nullptr;
  if (!zvJsonGetByName(params, "yxInfo", &yxInfo) || !zvJsonGetStringByName(yxInfo, "columnType", &columnType) ||
      !columnType || !zvJsonGetStringByName(yxInfo, "query", &query) || !query)
    return;
  int pageSize = isCharType(columnType) ? 8192 : 4096;
  bool full = false;
  zvJsonGetBooleanByName(yxInfo, "fullBlob", &full);
  int32_t queryMode = 0, start = 0, row = 0;
  zvJsonGetIntByName(yxInfo, "queryMode", &queryMode);
  zvJsonGetIntByName(params, "start", &start);
  Command cmd(context.connection);
  ZVSQL_CURSOR cursor = nullptr;
  if (!cmd.command || sql.zvsqlPrepare(cmd.command, query) != 0 || sql.zvsqlExecute(cmd.command, &cursor) != 0) return;
  if (queryMode == 1) zvJsonGetIntByName(yxInfo, "row", &row);
  if (row < 0) row = 0;
  // The rows before the wanted one, as far as the result has rows.
  for (int i = 0; i <= row; ++i)
    if (sql.zvsqlNext(cursor) != 0) return;
  int column = chosenColumn(cursor, yxInfo, queryMode);
  if (column < 0)  // another column's value is never the answer for an unknown name
    return setExceptionReply(reply, context.tid, ZVSQL_BAD_COLUMN, "GetBlobData", "Unknown column name", kUnit);
  int32_t length = std::max(sql.zvsqlGetColumnLength(cursor, column), 0);
  if (full && size_t(length) * 2 > kMaxReplyBytes) return setReplyTooLarge(reply, context.tid, "GetBlobData", kUnit);
  json_object* result = zvJsonAlloc();
  zvJsonAddInt(result, "total", int32_t((length + pageSize - 1) / pageSize));
  zvJsonAddInt(result, "pageSize", pageSize);
  zvJsonAddInt(result, "start", start);
  int code = readCell(cursor, column, pageSize, start, full, result);
  if (code == 0) return (void)zvJsonAdd(reply, "result", result);
  zvJsonRelease(result);
  setExceptionReply(reply, context.tid, code, "GetBlobData", sql.zvsqlGetErrorMessage(context.connection->handle),
                    kUnit);
}

void setBlobData(SqlCallContext& context, json_object* reply, json_object* params) {
  json_object *yxInfo = nullptr, *data = nullptr;
  if (!zvJsonGetByName(params, "yxInfo", &yxInfo) || !zvJsonGetByName(yxInfo, "data", &data)) return;
  const char *user = nullptr, *table = nullptr, *column = nullptr, *colType = nullptr, *rowId = nullptr,
             *blob = nullptr;
  if (!zvJsonGetStringByName(data, "user", &user) || !zvJsonGetStringByName(data, "table", &table) ||
      !zvJsonGetStringByName(data, "colName", &column) || !zvJsonGetStringByName(data, "colType", &colType) ||
      !zvJsonGetStringByName(data, "rowId", &rowId) || !zvJsonGetStringByName(data, "blob", &blob) || !user || !table ||
      !column || !colType || !rowId || !blob)
    return setExceptionReply(reply, context.tid, -20014, "Missing input data", nullptr, kUnit);
  bool binary = !strcmp(colType, "BLOB") || !strcmp(colType, "LVB");
  if (!isIntegerRowid(rowId) || (binary && !isHexDigits(blob)))
    return setExceptionReply(reply, context.tid, ZVSQL_BAD_ARGUMENT, "SetBlobData",
                             binary ? "Invalid rowid or hexadecimal value" : "Invalid rowid", kUnit);
  std::string statement = "update " + sqlIdentifier(user) + "." + sqlIdentifier(table) + " set " +
                          sqlIdentifier(column) + (*blob ? " = ?" : " = NULL") + " where rowid = " + rowId;
  Command cmd(context.connection);
  ZVSQL_CURSOR cursor = nullptr;
  if (!cmd.command || sql.zvsqlPrepare(cmd.command, statement.c_str()) != 0) return;
  bool armed = binary || !strcmp(colType, "CLOB") || !strcmp(colType, "LVC");
  if (!*blob) {
    int code = sql.zvsqlExecute(cmd.command, &cursor);
    if (code != 0)
      return setExceptionReply(reply, context.tid, code, "SetBlobData",
                               sql.zvsqlGetErrorMessage(context.connection->handle), kUnit);
    return commitWhenAuto(context, reply);
  }
  if (armed && sql.zvsqlExecute(cmd.command, &cursor) != 0) return;
  int code = 0;
  if (binary) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; blob[i] && blob[i + 1]; i += 2)
      bytes.push_back(uint8_t(std::stoi(std::string(blob + i, 2), nullptr, 16)));
    code = sql.zvsqlSetBlob(cmd.command, 0, bytes.data(), int(bytes.size()), 0);
  } else if (armed) {
    code = sql.zvsqlSetBlob(cmd.command, 0, blob, int(strlen(blob)), 0);
  } else {
    code = sql.zvsqlSetParameterAsString(cmd.command, 0, blob);
    if (code == 0) code = sql.zvsqlExecute(cmd.command, &cursor);
  }
  if (code != 0)
    return setExceptionReply(reply, context.tid, code, "SetBlobData",
                             sql.zvsqlGetErrorMessage(context.connection->handle), kUnit);
  commitWhenAuto(context, reply);
}

}  // namespace plover
