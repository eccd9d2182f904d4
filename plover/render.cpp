// Result sets rendered for the console: the grid (column model with editors,
// formats and pixel widths, record fields, rows and timings) and the cells of
// the script console, with the display widths both keep per column.
//
// Long values never travel in the grid: a text whose longest line passes
// 1024 characters, or a long or binary value of more than 1024 bytes, is
// sent as "< Large Data >" and fetched page by page with getBlobData.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr int kLongValueLimit = 1024;  // longest line (text) or byte length (long, binary) the grid sends
constexpr const char* kLargeData = "< Large Data >";
constexpr int kLargeDataWidth = 14;
constexpr const char* kNullText = "(null)";
constexpr const char* kUnknownType = "Unknown Type";
constexpr int kRowCountWidth = 8;
constexpr int kScriptReadFailedWidth = 6;  // the width of "(null)"

constexpr size_t kMaxColumnName = 64;  // bytes of a column name that key a row's member

int32_t columnLength(ZVSQL_CURSOR cursor, int column) {
  return std::max(sql.zvsqlGetColumnLength(cursor, column), int32_t(0));
}

// A text read with zvsqlGetChar into a zero-filled buffer of size bytes.
int readChar(ZVSQL_CURSOR cursor, int column, int32_t size, std::string& text) {
  std::vector<char> buffer(size_t(std::max(size, int32_t(1))), '\0');
  int code = sql.zvsqlGetChar(cursor, column, buffer.data(), int32_t(buffer.size()));
  text = buffer.data();
  return code;
}

}  // namespace

int readNumeric(ZVSQL_CURSOR cursor, int column, std::string& text) {
  char buffer[kMaxNumericText] = {};
  int code = sql.zvsqlGetNumericAsString(cursor, column, buffer, int32_t(sizeof buffer));
  text = buffer;
  return code;
}

namespace {

// Bytes of a binary value, at most capacity of them.
int readBinary(ZVSQL_CURSOR cursor, int column, int32_t capacity, std::vector<unsigned char>& bytes) {
  bytes.assign(size_t(std::max(capacity, int32_t(1))), 0);
  zvsqlBinary value{0, int32_t(bytes.size()), bytes.data()};
  int code = sql.zvsqlGetBinary(cursor, column, &value);
  bytes.resize(size_t(std::max(0, std::min(value.length, value.capacity))));
  return code;
}

// The first bytes (at most size) of a long value from offset 0, in a
// zero-filled buffer one byte longer, so a text read ends in a NUL.
int readLong(ZVSQL_CURSOR cursor, int column, int32_t size, std::vector<unsigned char>& bytes, int32_t& read) {
  bytes.assign(size_t(std::max(size, int32_t(0))) + 1, 0);
  read = 0;
  int code = size > 0 ? sql.zvsqlGetBlob(cursor, column, bytes.data(), size, 0, &read) : 0;
  read = std::max(read, int32_t(0));
  return code;
}

std::string bytesAsText(const std::vector<unsigned char>& bytes, int32_t read) {
  size_t n = std::min(size_t(read), bytes.size());
  return std::string(reinterpret_cast<const char*>(bytes.data()),
                     strnlen(reinterpret_cast<const char*>(bytes.data()), n));
}

// The text a default string stream gives a floating value (6 significant digits).
std::string floatText(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string fixedText(double value) {
  char text[512];
  snprintf(text, sizeof text, "%f", value);
  return text;
}

int decimalDigits(uint64_t value) {
  int digits = 1;
  while (value >= 10) value /= 10, ++digits;
  return digits;
}

// ---- the grid's column model ----

struct GridColumn {
  json_object* column;
  json_object* field;
  json_object* editor;  // null once the column is read-only
};

void makeReadOnly(GridColumn& g) {
  zvJsonAdd(g.column, "editor", nullptr);  // frees the editor it held
  g.editor = nullptr;
}

void addEditor(GridColumn& g, const char* key, json_object* value) {
  if (g.editor)
    zvJsonAdd(g.editor, key, value);
  else
    zvJsonRelease(value);
}

void numberColumn(GridColumn& g, const char* format, bool decimals, int precision) {
  zvJsonAddString(g.column, "align", "right");
  zvJsonAddString(g.column, "xtype", "numbercolumn");
  zvJsonAddString(g.column, "format", format);
  zvJsonAddString(g.field, "type", "number");
  addEditor(g, "xtype", zvJsonAllocString("numberfield"));
  addEditor(g, "allowDecimals", zvJsonAllocBoolean(decimals));
  if (decimals) addEditor(g, "decimalPrecision", zvJsonAllocInt(precision));
  addEditor(g, "hideTrigger", zvJsonAllocBoolean(false));
}

void tooltipColumn(GridColumn& g, const char* yxType, bool tooltip) {
  zvJsonAddString(g.column, "yxType", yxType);
  if (tooltip) zvJsonAddBoolean(g.column, "yxTooltip", true);
}

void longColumn(GridColumn& g, const char* yxType) {
  tooltipColumn(g, yxType, true);
  zvJsonAddBoolean(g.column, "sortable", false);
  zvJsonAddString(g.column, "tdCls", "custom-column");
  makeReadOnly(g);
}

// The members a column's type adds to its column, field and editor.
void typeMembers(GridColumn& g, int16_t type, int scale, const std::string& name) {
  switch (type) {
    case ZVSQL_TYPE_CHAR:
      return tooltipColumn(g, "CHAR", name != "rowid");
    case ZVSQL_TYPE_VARCHAR:
      return tooltipColumn(g, "VARCHAR", true);
    case ZVSQL_TYPE_BINARY:
      return tooltipColumn(g, "BINARY", true);
    case ZVSQL_TYPE_VARBINARY:
      return tooltipColumn(g, "VARBINARY", true);
    case ZVSQL_TYPE_LVC:
      return longColumn(g, "LVC");
    case ZVSQL_TYPE_CLOB:
      return longColumn(g, "CLOB");
    case ZVSQL_TYPE_LVB:
      return longColumn(g, "LVB");
    case ZVSQL_TYPE_BLOB:
      return longColumn(g, "BLOB");
    case ZVSQL_TYPE_NUMERIC: {
      std::string format = "0";
      if (scale > 0) format += "." + std::string(size_t(scale), '0');
      return numberColumn(g, format.c_str(), true, scale);
    }
    case ZVSQL_TYPE_SMALLINT:
    case ZVSQL_TYPE_INTEGER:
    case ZVSQL_TYPE_TINYINT:
    case ZVSQL_TYPE_BIGINT:
      return numberColumn(g, "0,000", false, 0);
    case ZVSQL_TYPE_MONEY:
      return numberColumn(g, "0,000.00", true, 2);
    case ZVSQL_TYPE_REAL:
    case ZVSQL_TYPE_FLOAT:
      return numberColumn(g, "0,000.000000", true, 6);
    case ZVSQL_TYPE_DATE:
      zvJsonAddString(g.column, "xtype", "datecolumn");
      zvJsonAddString(g.field, "type", "date");
      return addEditor(g, "xtype", zvJsonAllocString("datefield"));
    case ZVSQL_TYPE_TIME:
      zvJsonAddString(g.column, "xtype", "timecolumn");
      zvJsonAddString(g.field, "type", "date");
      zvJsonAddString(g.field, "dateFormat", "H:i:s.u");
      return;
    case ZVSQL_TYPE_TIMESTAMP:
      zvJsonAddString(g.column, "xtype", "datetimecolumn");
      zvJsonAddString(g.field, "type", "date");
      zvJsonAddString(g.field, "dateFormat", "m/d/Y H:i:s.u");
      return;
    case ZVSQL_TYPE_BIT:
      zvJsonAddString(g.column, "xtype", "booleancolumn");
      zvJsonAddString(g.field, "type", "bool");
      zvJsonAddString(g.field, "uncheckedValue", "false");
      return addEditor(g, "xtype", zvJsonAllocString("checkbox"));
    default:
      return;
  }
}

json_object* rowCountColumn() {
  json_object* column = zvJsonAlloc();
  zvJsonAddString(column, "dataIndex", "rows");
  zvJsonAddString(column, "tdCls", "custom-column");
  zvJsonAddString(column, "xtype", "numbercolumn");
  zvJsonAddString(column, "format", "0,000");
  zvJsonAddBoolean(column, "sortable", true);
  zvJsonAddBoolean(column, "hideable", false);
  zvJsonAddString(column, "align", "right");
  zvJsonAddString(column, "text", "# of Rows");
  return column;
}

// The column and field of result column i; its display width starts from the header.
GridColumn describeColumn(ZVSQL_CURSOR cursor, int i, const char* identityColumn, int& width) {
  std::string name = resultColumnName(cursor, i);
  int scale = sql.zvsqlGetColumnScale(cursor, i);
  if (scale == 0 && name.compare(0, 4, "avg(") == 0) scale = 2;
  GridColumn g{zvJsonAlloc(), zvJsonAlloc(), nullptr};
  zvJsonAddBoolean(g.field, "allowNull", true);
  int16_t type = sql.zvsqlGetColumnType(cursor, i);
  const char* typeName = sqlTypeName(type);
  zvJsonAddString(g.column, "align", "left");
  zvJsonAddString(g.column, "dataIndex", name.c_str());
  std::string header = name + "<br><font size = \"1\" color = \"blue\">(" + typeName + ")";
  zvJsonAddString(g.column, "text", header.c_str());
  width = std::max(int(name.size()), int(strlen(typeName)) + 2);
  zvJsonAddInt(g.column, "minWidth", 50);
  g.editor = zvJsonAlloc();
  zvJsonAddString(g.editor, "xtype", "textfield");
  zvJsonAdd(g.column, "editor", g.editor);
  zvJsonAddString(g.field, "name", name.c_str());
  if (name == "rowid") {
    makeReadOnly(g);
    zvJsonAddString(g.column, "tdCls", "custom-column");
    zvJsonAddString(g.column, "xtype", "numbercolumn");
    zvJsonAddString(g.column, "format", "0");
    zvJsonAddBoolean(g.column, "hideable", false);
    zvJsonAddString(g.column, "align", "right");
  }
  typeMembers(g, type, scale, name);
  if (identityColumn && *identityColumn && strcasecmp(identityColumn, name.c_str()) == 0) {
    makeReadOnly(g);
    zvJsonAddString(g.column, "tdCls", "custom-column");
  }
  return g;
}

// ---- grid cells ----

// A text shown whole unless its longest line is too long for the grid.
json_object* gridText(const std::string& text, int& width) {
  int longest = longestLineLength(text.c_str());
  if (longest > kLongValueLimit) {
    width = std::max(width, kLargeDataWidth);
    return zvJsonAllocString(kLargeData);
  }
  width = std::max(width, longest);
  return zvJsonAllocString(text.c_str());
}

json_object* gridHex(const std::string& hex, int& width) {
  width = std::max(width, int(hex.size()));
  return zvJsonAllocString(hex.c_str());
}

// Long and binary cells: "(null)", "< Large Data >" past the limit, else the value.
json_object* gridLongCell(ZVSQL_CURSOR cursor, int i, int16_t type, int32_t length, int& width) {
  if (sql.zvsqlIsColumnNull(cursor, i)) return zvJsonAllocString(kNullText);
  if (length > kLongValueLimit) {
    width = std::max(width, kLargeDataWidth);
    return zvJsonAllocString(kLargeData);
  }
  std::vector<unsigned char> bytes;
  if (type == ZVSQL_TYPE_BINARY || type == ZVSQL_TYPE_VARBINARY) {
    if (readBinary(cursor, i, length, bytes) != 0) return nullptr;
    return gridHex(hexDigits(bytes.data(), bytes.size()), width);
  }
  int32_t read = 0;
  bool text = type == ZVSQL_TYPE_LVC || type == ZVSQL_TYPE_CLOB;
  if (readLong(cursor, i, text ? length + 1 : length, bytes, read) != 0) return nullptr;
  if (text) return gridText(bytesAsText(bytes, read), width);
  return gridHex(hexDigits(bytes.data(), size_t(std::min(read, length))), width);
}

// The grid's value of column i of the current row (null: JSON null); sets
// omit when the member is left out (a numeric value that could not be read).
json_object* gridCell(ZVSQL_CURSOR cursor, int i, int& width, bool& omit) {
  int16_t type = sql.zvsqlGetColumnType(cursor, i);
  int32_t length = columnLength(cursor, i);
  omit = false;
  std::string text;
  switch (type) {
    case ZVSQL_TYPE_CHAR:
    case ZVSQL_TYPE_VARCHAR:
      if (readChar(cursor, i, length, text) != 0) return zvJsonAllocString(kNullText);
      return gridText(text, width);
    case ZVSQL_TYPE_NUMERIC:
      if (readNumeric(cursor, i, text) != 0) {
        omit = true;
        return nullptr;
      }
      width = std::max(width, int(text.size()) + 2);
      return zvJsonAllocString(text.c_str());
    case ZVSQL_TYPE_SMALLINT: {
      int16_t v = 0;
      return sql.zvsqlGetSmallInt(cursor, i, &v) == 0 ? zvJsonAllocInt(v) : nullptr;
    }
    case ZVSQL_TYPE_INTEGER: {
      int32_t v = 0;
      return sql.zvsqlGetInteger(cursor, i, &v) == 0 ? zvJsonAllocInt(v) : nullptr;
    }
    case ZVSQL_TYPE_TINYINT: {
      int8_t v = 0;
      return sql.zvsqlGetTinyInt(cursor, i, &v) == 0 ? zvJsonAllocInt(v) : nullptr;
    }
    case ZVSQL_TYPE_BIGINT: {
      int64_t v = 0;
      if (sql.zvsqlGetBigInt(cursor, i, &v) != 0) return nullptr;
      width = std::max(width, decimalDigits(uint64_t(v)) + 4);
      return zvJsonAllocBigint(v);
    }
    case ZVSQL_TYPE_REAL: {
      float v = 0;
      if (sql.zvsqlGetReal(cursor, i, &v) != 0) return nullptr;
      width = std::max(width, int(fixedText(v).size()));
      return zvJsonAllocDouble(double(v));
    }
    case ZVSQL_TYPE_FLOAT: {
      double v = 0;
      if (sql.zvsqlGetFloat(cursor, i, &v) != 0) return nullptr;
      width = std::max(width, int(fixedText(v).size()));
      return zvJsonAllocDouble(v);
    }
    case ZVSQL_TYPE_DATE:
    case ZVSQL_TYPE_MONEY:
    case ZVSQL_TYPE_TIME:
    case ZVSQL_TYPE_TIMESTAMP:
      if (readConvertedCell(cursor, i, type, text) != 0) return nullptr;
      if (type == ZVSQL_TYPE_DATE) width = 10;
      if (type == ZVSQL_TYPE_TIME) width = 14;
      if (type == ZVSQL_TYPE_TIMESTAMP) width = 25;
      return zvJsonAllocString(text.c_str());
    case ZVSQL_TYPE_BIT: {
      unsigned char v = 0;
      return sql.zvsqlGetBit(cursor, i, &v) == 0 ? zvJsonAllocBoolean(v != 0) : nullptr;
    }
    case ZVSQL_TYPE_BINARY:
    case ZVSQL_TYPE_VARBINARY:
    case ZVSQL_TYPE_LVC:
    case ZVSQL_TYPE_CLOB:
    case ZVSQL_TYPE_LVB:
    case ZVSQL_TYPE_BLOB:
      return gridLongCell(cursor, i, type, length, width);
    default:
      return zvJsonAllocString(kUnknownType);
  }
}

json_object* queryBit(ZVSQL_CURSOR cursor, int i) {
  unsigned char v = 0;
  return sql.zvsqlGetBit(cursor, i, &v) == 0 ? zvJsonAllocInt(v) : nullptr;
}

// One row object of every result column; widths[i + shift] raised by its cells.
json_object* gridRow(ZVSQL_CURSOR cursor, int columns, std::vector<int>& widths, int shift) {
  json_object* row = zvJsonAlloc();
  for (int i = 0; i < columns; ++i) {
    bool omit = false;
    json_object* value = gridCell(cursor, i, widths[size_t(i + shift)], omit);
    if (!omit) zvJsonAdd(row, resultColumnName(cursor, i).c_str(), value);
  }
  return row;
}

// The query console's value of column i of the current row: numbers as
// JSON numbers (a bit as its byte), dates, times and 64-bit integers as
// text, long and binary values as the text of their bytes; null when the
// read fails.
json_object* queryCell(ZVSQL_CURSOR cursor, int i) {
  int16_t type = sql.zvsqlGetColumnType(cursor, i);
  int32_t length = columnLength(cursor, i);
  std::string text;
  std::vector<unsigned char> bytes;
  int32_t read = 0;
  int code = 0;
  switch (type) {
    case ZVSQL_TYPE_CHAR:
    case ZVSQL_TYPE_VARCHAR:
      code = readChar(cursor, i, length, text);
      break;
    case ZVSQL_TYPE_NUMERIC:
      code = readNumeric(cursor, i, text);
      break;
    case ZVSQL_TYPE_SMALLINT:
    case ZVSQL_TYPE_INTEGER:
    case ZVSQL_TYPE_TINYINT:
    case ZVSQL_TYPE_BIT:
    case ZVSQL_TYPE_REAL:
    case ZVSQL_TYPE_FLOAT: {
      bool ignored = false;
      int width = 0;
      return type == ZVSQL_TYPE_BIT ? queryBit(cursor, i) : gridCell(cursor, i, width, ignored);
    }
    case ZVSQL_TYPE_DATE:
    case ZVSQL_TYPE_MONEY:
    case ZVSQL_TYPE_TIMESTAMP:
    case ZVSQL_TYPE_BIGINT:
      code = readConvertedCell(cursor, i, type, text);
      break;
    case ZVSQL_TYPE_TIME:
      code = readConvertedCell(cursor, i, type, text);
      text = "01/01/2016 " + text;  // the console's columns of times are date-times
      break;
    case ZVSQL_TYPE_BINARY:
    case ZVSQL_TYPE_VARBINARY:
      code = readBinary(cursor, i, length, bytes);
      text = bytesAsText(bytes, int32_t(bytes.size()));
      break;
    case ZVSQL_TYPE_LVC:
    case ZVSQL_TYPE_LVB:
    case ZVSQL_TYPE_BLOB:
    case ZVSQL_TYPE_CLOB:
      code = readLong(cursor, i, length + 1, bytes, read);
      text = bytesAsText(bytes, read);
      break;
    default:
      return zvJsonAllocString(kUnknownType);
  }
  return code == 0 ? zvJsonAllocString(text.c_str()) : nullptr;
}

}  // namespace

int fetchQueryRows(ZVSQL_CURSOR cursor, ReplyRows& rows) {
  int columns = sql.zvsqlGetColumnCount(cursor);
  int code;
  while ((code = sql.zvsqlNext(cursor)) == 0) {
    json_object* row = zvJsonAlloc();
    for (int i = 0; i < columns; ++i) zvJsonAdd(row, resultColumnName(cursor, i).c_str(), queryCell(cursor, i));
    if (!rows.add(row)) return rows.refusal();
  }
  return code == ZVSQL_END_OF_ROWS ? 0 : code;
}

std::string resultColumnName(ZVSQL_CURSOR cursor, int column) {
  const char* name = sql.zvsqlGetColumnName(cursor, column);
  std::string text = name ? name : "";
  if (text.size() <= kMaxColumnName) return text;
  size_t cut = kMaxColumnName;  // cut on a character boundary: the reply stays valid UTF-8
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

const char* sqlTypeName(int16_t type) {
  static const char* const kNames[] = {
      "char",      "numeric",    "smallint", "int",  "float",    "double",     "date",   "money",    "time",
      "timestamp", "tinyint",    "binary",   "bit",  "lvarchar", "lvarbinary", "bigint", "nchar",    "nvarchar",
      "ncharcs",   "nvarcharcs", "varchar",  "blob", "clob",     "nlvc",       "nclob",  "varbinary"};
  return type >= 1 && type <= 26 ? kNames[type - 1] : "unknown";
}

int longestLineLength(const char* text) {
  int longest = 0, current = 0;
  for (const char* p = text ? text : ""; *p; ++p) {
    if (*p == '\r' || *p == '\n') {
      current = 0;
      continue;
    }
    longest = std::max(longest, ++current);
  }
  return longest;
}

std::string hexDigits(const unsigned char* bytes, size_t count) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) out += kHex[bytes[i] >> 4], out += kHex[bytes[i] & 15];
  return out;
}

int readConvertedCell(ZVSQL_CURSOR cursor, int column, int16_t type, std::string& text) {
  // The value records, in the 32 bytes the conversion is told they take.
  union {
    zvsqlDate date;
    zvsqlTime time;
    zvsqlTimeStamp stamp;
    zvsqlMoney money;
    int64_t big;
    unsigned char bytes[32];
  } value;
  memset(&value, 0, sizeof value);
  const char* pattern = nullptr;
  int32_t size = 32;
  int code = 0;
  switch (type) {
    case ZVSQL_TYPE_DATE:
      code = sql.zvsqlGetDate(cursor, column, &value.date), pattern = "MM/DD/YYYY";
      break;
    case ZVSQL_TYPE_TIME:
      code = sql.zvsqlGetTime(cursor, column, &value.time), pattern = "HH24:MI:SS.MLS";
      break;
    case ZVSQL_TYPE_TIMESTAMP:
      code = sql.zvsqlGetTimeStamp(cursor, column, &value.stamp), pattern = "MM/DD/YYYY HH24:MI:SS.MLS";
      break;
    case ZVSQL_TYPE_MONEY:
      code = sql.zvsqlGetMoney(cursor, column, &value.money), size = 16;
      // The money record holds 13 characters; a larger amount is read as its exact decimal text.
      if (code == ZVSQL_CONVERSION) return readNumeric(cursor, column, text);
      break;
    case ZVSQL_TYPE_BIGINT:
      code = sql.zvsqlGetBigInt(cursor, column, &value.big);
      break;
    default:
      return ZVSQL_BAD_ARGUMENT;
  }
  char converted[33] = {};
  if (code == 0) sql.zvsqlConvert(type, &value, size, pattern, 1, converted, 32);
  text = converted;
  return code;
}

json_object* renderGridResult(PooledConnection* connection, const std::string& statement, int rowLimit,
                              json_object* params, int listKind, bool withMeta, int* refusal) {
  if (refusal) *refusal = 0;
  CommandPtr command(sql.zvsqlNewCommand(connection->handle));
  if (!command) return nullptr;
  const char* identityColumn = nullptr;
  zvJsonGetStringByName(params, "identityColName", &identityColumn);
  int64_t started = nowMs();
  sql.zvsqlSetTimeout(command.get(), connection->queryTimeout);
  ZVSQL_CURSOR cursor = nullptr;
  if (statement.empty() || sql.zvsqlPrepare(command.get(), statement.c_str()) != 0 ||
      sql.zvsqlExecute(command.get(), &cursor) != 0)
    return nullptr;  // freeing the command frees its cursor

  json_object* columns = zvJsonAllocArray();
  json_object* fields = zvJsonAllocArray();
  int count = sql.zvsqlGetColumnCount(cursor);
  std::vector<int> widths(size_t(count) + 1, 0);
  int shift = 0;
  if (listKind == 3 || listKind == 5) {
    zvJsonArrayAdd(columns, rowCountColumn());
    widths[0] = kRowCountWidth;
    shift = 1;
  }
  for (int i = 0; i < count; ++i) {
    GridColumn g = describeColumn(cursor, i, identityColumn, widths[size_t(i + shift)]);
    zvJsonArrayAdd(columns, g.column);
    zvJsonArrayAdd(fields, g.field);
  }

  // Result grids are kept as reply text; the object lists of other kinds stay
  // objects, whose rows getObjectsInfo completes (they are catalog rows, few).
  const bool asText = listKind == 32;
  zvJsonPtr rows(zvJsonAllocArray());
  ReplyRows textRows;
  double execSeconds = 0, fetchSeconds = 0;
  bool createNew = false;
  zvJsonGetBooleanByName(params, "createNew", &createNew);
  if (createNew) {
    json_object* empty = zvJsonAlloc();
    for (int i = 0; i < count; ++i) zvJsonAdd(empty, resultColumnName(cursor, i).c_str(), nullptr);
    zvJsonArrayAdd(rows.get(), empty);
  } else {
    int64_t fetchStarted = nowMs();
    execSeconds = (fetchStarted - started) / 1000.0;
    int code;
    while ((code = sql.zvsqlNext(cursor)) == 0) {
      if (rowLimit > 0)
        --rowLimit;
      else if (rowLimit != -1)
        break;
      if (!asText) {
        zvJsonArrayAdd(rows.get(), gridRow(cursor, count, widths, shift));
      } else if (!textRows.add(gridRow(cursor, count, widths, shift))) {
        break;
      }
    }
    if (textRows.full()) {
      zvJsonRelease(columns);
      zvJsonRelease(fields);
      if (refusal) *refusal = textRows.refusal();
      return nullptr;
    }
    // A fetch that fails part-way is a failed statement, not a shorter result.
    if (code != 0 && code != ZVSQL_END_OF_ROWS) {
      zvJsonRelease(columns);
      zvJsonRelease(fields);
      return nullptr;
    }
    fetchSeconds = (nowMs() - fetchStarted) / 1000.0;
  }

  for (int i = 0, n = zvJsonArrayLength(columns); i < n; ++i) {
    json_object* column = zvJsonArrayGetIdx(columns, i);
    const char* align = nullptr;
    bool right = zvJsonGetStringByName(column, "align", &align) && align && strcmp(align, "right") == 0;
    zvJsonAddInt(column, "width", widths[size_t(i)] * 7 + (right ? 20 : 15));
  }
  json_object* result = zvJsonAlloc();
  if (withMeta) {
    json_object* meta = zvJsonAlloc();
    json_object* timing = zvJsonAlloc();
    zvJsonAddDouble(timing, "exec", execSeconds);
    zvJsonAddDouble(timing, "fetch", fetchSeconds);
    zvJsonAdd(meta, "timing", timing);
    zvJsonAdd(meta, "columns", columns);
    zvJsonAdd(meta, "fields", fields);
    zvJsonAdd(result, "metaData", meta);
  } else {
    zvJsonRelease(columns);
    zvJsonRelease(fields);
  }
  zvJsonAdd(result, "rows", asText && !createNew ? textRows.release() : rows.release());
  return result;
}

json_object* renderGridResult(PooledConnection* connection, const std::string& statement, int rowLimit, bool withMeta) {
  return renderGridResult(connection, statement, rowLimit, nullptr, 32, withMeta);
}

int renderScriptCell(ZVSQL_CURSOR cursor, int column, json_object* row, bool wholeLongValues) {
  int16_t type = sql.zvsqlGetColumnType(cursor, column);
  int32_t length = columnLength(cursor, column);
  std::string name = resultColumnName(cursor, column);
  json_object* value = nullptr;
  int width = 0;
  int code = 0;
  std::string text;
  std::vector<unsigned char> bytes;
  int32_t read = 0;
  switch (type) {
    case ZVSQL_TYPE_CHAR:
    case ZVSQL_TYPE_VARCHAR:
    case ZVSQL_TYPE_NUMERIC:
    case ZVSQL_TYPE_DATE:
    case ZVSQL_TYPE_MONEY:
    case ZVSQL_TYPE_TIME:
    case ZVSQL_TYPE_TIMESTAMP:
    case ZVSQL_TYPE_BIGINT:
      code = type == ZVSQL_TYPE_NUMERIC                 ? readNumeric(cursor, column, text)
             : type == ZVSQL_TYPE_CHAR || type == ZVSQL_TYPE_VARCHAR ? readChar(cursor, column, length, text)
                                       : readConvertedCell(cursor, column, type, text);
      value = zvJsonAllocString(text.c_str());
      width = int(text.size()) + (type == ZVSQL_TYPE_BIGINT ? 4 : 0);
      break;
    case ZVSQL_TYPE_SMALLINT: {
      int16_t v = 0;
      code = sql.zvsqlGetSmallInt(cursor, column, &v);
      value = zvJsonAllocInt(v);
      width = int(std::to_string(v).size());
      break;
    }
    case ZVSQL_TYPE_INTEGER: {
      int32_t v = 0;
      code = sql.zvsqlGetInteger(cursor, column, &v);
      value = zvJsonAllocInt(v);
      width = int(std::to_string(v).size());
      break;
    }
    case ZVSQL_TYPE_TINYINT: {
      int8_t v = 0;
      code = sql.zvsqlGetTinyInt(cursor, column, &v);
      value = zvJsonAllocInt(v);
      width = 1;  // measured as the one character the byte is
      break;
    }
    case ZVSQL_TYPE_REAL: {
      float v = 0;
      code = sql.zvsqlGetReal(cursor, column, &v);
      value = zvJsonAllocDouble(double(v));
      width = int(floatText(double(v)).size());
      break;
    }
    case ZVSQL_TYPE_FLOAT: {
      double v = 0;
      code = sql.zvsqlGetFloat(cursor, column, &v);
      value = zvJsonAllocDouble(v);
      width = int(floatText(v).size());
      break;
    }
    case ZVSQL_TYPE_BIT: {
      unsigned char v = 0;
      code = sql.zvsqlGetBit(cursor, column, &v);
      value = zvJsonAllocBoolean(v != 0);
      width = 5;
      break;
    }
    case ZVSQL_TYPE_BINARY:
    case ZVSQL_TYPE_VARBINARY:
      code = readBinary(cursor, column, length, bytes);
      text = hexDigits(bytes.data(), bytes.size());
      break;
    case ZVSQL_TYPE_LVC:
    case ZVSQL_TYPE_CLOB: {
      int32_t size = wholeLongValues || length < kLongValueLimit ? length + 1 : kLongValueLimit;
      code = readLong(cursor, column, size, bytes, read);
      text = bytesAsText(bytes, read);
      if (length > read) text += " Truncated Data !!! ";
      break;
    }
    case ZVSQL_TYPE_LVB:
    case ZVSQL_TYPE_BLOB: {
      int32_t size = wholeLongValues ? length : std::min(length, int32_t(kLongValueLimit));
      code = readLong(cursor, column, size, bytes, read);
      text = hexDigits(bytes.data(), size_t(std::min(read, size)));
      if (length > read) text += " < Truncated Data !!! >";
      break;
    }
    default:
      value = zvJsonAllocString(kUnknownType);
      width = length;
      break;
  }
  if (!value && code == 0) {  // the long and binary cases: their text is the value
    value = zvJsonAllocString(text.c_str());
    width = int(text.size());
  }
  if (code != 0) {
    zvJsonRelease(value);
    value = nullptr;
    width = kScriptReadFailedWidth;
  }
  zvJsonAdd(row, name.c_str(), value);
  return width;
}

}  // namespace plover
