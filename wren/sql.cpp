// "getRecordsUsingSQL": one statement with text parameters through the SQL
// client library, on a connection of its own logged on as the caller. Any
// statement runs, and what it writes is committed before it is answered.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "wren.h"
#include "zvsqlapi.h"

namespace wren {
namespace {

constexpr const char* kSqlService = "6597@localhost:";

// The connection, command and cursor of one call, released on every path.
struct SqlCall {
  ZVSQL_CONN connection = zvsqlNewConnection();
  ZVSQL_CMD command = connection != nullptr ? zvsqlNewCommand(connection) : nullptr;
  ZVSQL_CURSOR cursor = nullptr;
  ~SqlCall() {
    zvsqlFreeCursor(cursor);
    if (command != nullptr) zvsqlFreeCommand(command);
    if (connection != nullptr) {
      zvsqlDisconnect(connection);
      zvsqlFreeConnection(connection);
    }
  }
};

// A text column read into a buffer of the current value's size.
template <class Reader>
json readTextColumn(ZVSQL_CURSOR cursor, int column, Reader reader) {
  int32_t size = zvsqlGetColumnLength(cursor, column);
  std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1) + 1, 0);
  reader(cursor, column, buffer.data(), static_cast<int32_t>(buffer.size()));
  return std::string(buffer.data());
}

// A NUMERIC or MONEY value as "<integer part>.<fraction>": the integer part
// whole and signed (never squeezed into 16 bits, so -0.5 keeps its sign),
// the fraction with the column's scale, or at least two digits where the
// column declares none (12.5 reads 12.50, 3 reads 3.00). A value that is
// not a number comes back as the text it is.
json decimalValue(ZVSQL_CURSOR cursor, int column) {
  constexpr size_t kMinFraction = 2;
  int32_t length = zvsqlGetColumnLength(cursor, column);
  std::vector<char> buffer(std::max<size_t>(static_cast<size_t>(length > 0 ? length : 0), 64) + 1, 0);
  if (zvsqlGetNumericAsString(cursor, column, buffer.data(), static_cast<int32_t>(buffer.size())) != 0)
    return readTextColumn(cursor, column, zvsqlGetChar);
  std::string text(buffer.data());
  if (zvsqlGetColumnScale(cursor, column) > 0 || text.find_first_not_of("-0123456789.") != std::string::npos)
    return text;
  size_t point = text.find('.');
  if (point == std::string::npos) {
    point = text.size();
    text += '.';
  }
  size_t fraction = text.size() - point - 1;
  if (fraction < kMinFraction) text.append(kMinFraction - fraction, '0');
  return text;
}

json columnValue(ZVSQL_CURSOR cursor, int column, int type) {
  if (zvsqlIsColumnNull(cursor, column)) return nullptr;
  switch (type) {
    case 1:
    case 21:
      return readTextColumn(cursor, column, zvsqlGetChar);
    case 17:
    case 18:
    case 19:
    case 20:
      return readTextColumn(cursor, column, zvsqlGetNChar);
    case 2:
    case 8:
      return decimalValue(cursor, column);
    case 3: {
      int16_t v = 0;
      zvsqlGetSmallInt(cursor, column, &v);
      return v;
    }
    case 4: {
      int32_t v = 0;
      zvsqlGetInteger(cursor, column, &v);
      return v;
    }
    case 5: {
      float v = 0;
      zvsqlGetReal(cursor, column, &v);
      return v;
    }
    case 6: {
      double v = 0;
      zvsqlGetFloat(cursor, column, &v);
      return v;
    }
    case 11: {
      int8_t v = 0;
      zvsqlGetTinyInt(cursor, column, &v);
      return v;
    }
    case 13: {
      unsigned char v = 0;
      zvsqlGetBit(cursor, column, &v);
      return v != 0;
    }
    case 16: {
      int64_t v = 0;
      zvsqlGetBigInt(cursor, column, &v);
      return v;
    }
    case 7: {
      zvsqlDate d{};
      zvsqlGetDate(cursor, column, &d);
      return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day) + "Z";
    }
    case 9: {
      zvsqlTime t{};
      zvsqlGetTime(cursor, column, &t);
      return std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second) + "Z";
    }
    case 10: {
      zvsqlTimeStamp s{};
      zvsqlGetTimeStamp(cursor, column, &s);
      return std::to_string(s.year) + "-" + std::to_string(s.month) + "-" + std::to_string(s.day) + "T" +
             std::to_string(s.hour) + ":" + std::to_string(s.minute) + ":" + std::to_string(s.second) + "Z";
    }
    case 12:
      return "binary is currently unsupported.";
    case 14:
      return "LVC is currently unsupported.";
    case 15:
      return "LVB is currently unsupported.";
    case 22:
      return "BLOB is currently unsupported.";
    case 23:
      return "CLOB is currently unsupported.";
    case 24:
      return "NLVC is currently unsupported.";
    case 25:
      return "NCLOB is currently unsupported.";
    case 26:
      return "VARBINARY is currently unsupported.";
    default:
      std::printf("Unsupported data type: %d\n", type);
      return nullptr;  // keeps the later values under their names
  }
}

}  // namespace

void getRecordsUsingSQL(Call& call) {
  traceMethod("getRecordsUsingSQL");
  std::string user = call.entry->session->GetUserLogonName();
  std::string connectText = kSqlService + call.database;
  SqlCall sql;
  if (sql.command == nullptr ||
      zvsqlConnect(sql.connection, connectText.c_str(), user.c_str(), call.entry->password.c_str()) != 0) {
    setError(call.reply, -1,
             std::string("Not able to connect to the SQL service: ") +
                 (sql.connection != nullptr ? zvsqlGetErrorMessage(sql.connection) : "no connection"));
    return;
  }
  std::string statement = readRequiredText(call.params, "sql");
  if (zvsqlPrepare(sql.command, statement.c_str()) != 0) {
    setError(call.reply, -1, "zvsqlPrepare error");
    return;
  }
  auto params = call.params.find("sqlParams");
  if (params != call.params.end()) {
    int position = 0;
    for (const json& value : *params)
      zvsqlSetParameterAsString(sql.command, position++,
                                (value.is_string() ? value.get<std::string>() : value.dump()).c_str());
  }
  if (zvsqlExecute(sql.command, &sql.cursor) != 0) {
    setError(call.reply, -1, "zvsqlExecute error");
    return;
  }
  int columns = zvsqlGetColumnCount(sql.cursor);
  std::vector<int> types;
  json names = json::array(), typeNames = json::array(), rows = json::array();
  for (int c = 0; c < columns; ++c) {
    types.push_back(zvsqlGetColumnType(sql.cursor, c));
    const char* name = zvsqlGetColumnName(sql.cursor, c);
    names.push_back(name != nullptr ? name : "");
    typeNames.push_back(sqlTypeName(types.back()));
  }
  while (zvsqlNext(sql.cursor) == 0) {
    json row = json::array();
    for (int c = 0; c < columns; ++c) row.push_back(columnValue(sql.cursor, c, types[c]));
    rows.push_back(std::move(row));
  }
  std::fflush(stdout);
  // The statement's work is the caller's as soon as it is answered: without
  // this commit the end of the connection would roll it back.
  if (zvsqlCommit(sql.connection) != 0) {
    setError(call.reply, -1, std::string("zvsqlCommit error: ") + zvsqlGetErrorMessage(sql.connection));
    return;
  }
  json& result = call.result();
  result["dataFormat"] = "arrays";
  result["fieldNames"] = std::move(names);
  result["fieldTypes"] = std::move(typeNames);
  result["data"] = std::move(rows);
}

}  // namespace wren
