// A table's rows written into its generated script as insert statements,
// so that running the script on an empty database gives the rows back.
//
// Names are written as quoted identifiers and texts as literals with their
// quotes doubled, so a name or value holding a quote cannot change the
// statement; binary values are written as x'..' literals, so bytes that are
// no text (a zero byte included) come back as they were.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr int kScriptTooLong = 1100;
// Written where a dump stops at the script's bound, so a cut dump never
// passes for the whole table.
constexpr const char* kDumpCut = "\n-- The remaining rows are left out: the script reached its limit of 64 MiB.";

// The text of a value that a read gave, whole.
int readText(ZVSQL_CURSOR cursor, int column, int16_t type, std::string& text) {
  int32_t length = std::max(sql.zvsqlGetColumnLength(cursor, column), int32_t(0));
  if (type == 14 || type == 23) {  // long text, read from offset 0 in one piece
    std::vector<char> buffer(size_t(length) + 1, '\0');
    int32_t read = 0;
    int code = sql.zvsqlGetBlob(cursor, column, buffer.data(), int32_t(buffer.size()), 0, &read);
    text.assign(buffer.data(), size_t(std::max(0, std::min(read, length))));
    return code;
  }
  std::vector<char> buffer(size_t(std::max(length, int32_t(1))), '\0');
  int code = sql.zvsqlGetChar(cursor, column, buffer.data(), int32_t(buffer.size()));
  text = buffer.data();
  return code;
}

// A 16-, 32- or 8-bit integer read by reader, in decimal.
template <class Integer>
int integerText(int (*reader)(ZVSQL_CURSOR, int, Integer*), ZVSQL_CURSOR cursor, int column, std::string& text) {
  Integer value = 0;
  int code = reader(cursor, column, &value);
  text = std::to_string(value);
  return code;
}

// The bytes of a binary or long binary value as an x'..' literal.
int readBinaryLiteral(ZVSQL_CURSOR cursor, int column, int16_t type, std::string& literal) {
  int32_t length = std::max(sql.zvsqlGetColumnLength(cursor, column), int32_t(0));
  std::vector<unsigned char> bytes(size_t(length) + 1, 0);
  int code = 0;
  size_t count = 0;
  if (type == 12 || type == 26) {
    zvsqlBinary value{0, int32_t(bytes.size()), bytes.data()};
    code = sql.zvsqlGetBinary(cursor, column, &value);
    count = size_t(std::max(0, std::min(value.length, value.capacity)));
  } else {
    int32_t read = 0;
    code = length > 0 ? sql.zvsqlGetBlob(cursor, column, bytes.data(), length, 0, &read) : 0;
    count = size_t(std::max(0, std::min(read, length)));
  }
  literal = "x'" + hexDigits(bytes.data(), count) + "'";
  return code;
}

// Whether the cell holds an infinity or a NaN, and then its literal: 1e999,
// which SQLite reads back as the same infinity, or NULL, as SQLite stores a NaN.
bool nonFiniteCell(ZVSQL_CURSOR cursor, int column, int16_t type, std::string& literal) {
  std::string text;
  if (readText(cursor, column, type, text) != 0 || text.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || std::isfinite(value)) return false;
  literal = std::isnan(value) ? "NULL" : value > 0 ? "1e999" : "-1e999";
  return true;
}

// The literal of the current row's value of column: NULL, a quoted value, a
// bit's 1 or 0; false when the read failed.
bool valueLiteral(ZVSQL_CURSOR cursor, int column, std::string& literal) {
  if (sql.zvsqlIsColumnNull(cursor, column)) {
    literal = "NULL";
    return true;
  }
  int16_t type = sql.zvsqlGetColumnType(cursor, column);
  std::string text;
  char number[512];
  int code = 0;
  switch (type) {
    case 2:
      code = readNumeric(cursor, column, text);
      break;
    case 3:
      code = integerText<int16_t>(sql.zvsqlGetSmallInt, cursor, column, text);
      break;
    case 4:
      code = integerText<int32_t>(sql.zvsqlGetInteger, cursor, column, text);
      break;
    case 11:
      code = integerText<int8_t>(sql.zvsqlGetTinyInt, cursor, column, text);
      break;
    case 5:
    case 6: {
      double wide = 0;
      float narrow = 0;
      code = type == 6 ? sql.zvsqlGetFloat(cursor, column, &wide) : sql.zvsqlGetReal(cursor, column, &narrow);
      // The client refuses an infinity as a number out of range; the script
      // must hold it all the same.
      if (code != 0 && nonFiniteCell(cursor, column, type, literal)) return true;
      // Enough digits to read back the same float or double.
      if (type == 5) snprintf(number, sizeof number, "%.9g", double(narrow));
      else snprintf(number, sizeof number, "%.17g", wide);
      text = number;
      break;
    }
    case 7:
    case 8:
    case 9:
    case 10:
    case 16:
      code = readConvertedCell(cursor, column, type, text);
      break;
    case 13: {
      unsigned char v = 0;
      sql.zvsqlGetBit(cursor, column, &v);
      literal = v == 1 ? "1" : "0";
      return true;
    }
    case 12:
    case 26:
    case 15:
    case 22:
      return readBinaryLiteral(cursor, column, type, literal) == 0;
    default:  // char, varchar, long text and the types the console does not render
      code = readText(cursor, column, type, text);
      break;
  }
  if (code != 0) return false;
  literal = sqlLiteral(text);
  return true;
}

}  // namespace

int dumpTableRows(PooledConnection* connection, const std::string& owner, const std::string& table, int commitFrequency,
                  std::string& script) {
  CommandPtr command(sql.zvsqlNewCommand(connection->handle));
  if (!command) return sql.zvsqlGetError(connection->handle);
  sql.zvsqlSetTimeout(command.get(), connection->queryTimeout);
  std::string qualified = sqlIdentifier(owner) + "." + sqlIdentifier(table);
  ZVSQL_CURSOR cursor = nullptr;
  int code = sql.zvsqlPrepare(command.get(), ("select * from " + qualified).c_str());
  if (code == 0) code = sql.zvsqlExecute(command.get(), &cursor);
  if (code != 0) return code;
  int columns = sql.zvsqlGetColumnCount(cursor);
  int sinceCommit = 0;
  std::string statement, literal;
  while ((code = sql.zvsqlNext(cursor)) == 0) {
    statement = "\ninsert into " + qualified + " values(";
    for (int i = 0; i < columns; ++i) {
      if (i > 0) statement += ',';
      // A value that cannot be read ends the dump with the reader's code: a
      // statement with a value left out would not run again.
      if (!valueLiteral(cursor, i, literal)) {
        int failure = sql.zvsqlGetError(connection->handle);
        script += "\n-- The remaining rows are left out: a value could not be read.";
        return failure ? failure : ZVSQL_CONVERSION;
      }
      statement += literal;
    }
    statement += ");";
    if (commitFrequency >= 1 && ++sinceCommit == commitFrequency) {
      statement += "\ncommit;";
      sinceCommit = 0;
    }
    if (script.size() + statement.size() > kMaxScriptBytes) {
      script += kDumpCut;
      return kScriptTooLong;
    }
    script += statement;  // std::string grows geometrically: a long dump copies its text a bounded number of times
  }
  return code == ZVSQL_END_OF_ROWS ? 0 : code;
}

}  // namespace plover
