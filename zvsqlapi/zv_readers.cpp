// Cursors, result metadata, the typed readers and zvsqlConvert.
#include "zv_objects.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

using namespace zvsql;

namespace zvsql {

// Type code of a declared column type; 0 when it names none (the value's
// storage class decides). *scale: the declared scale.
int16_t typeOfDeclared(const char* declared, int* scale) {
  *scale = 0;
  if (!declared || !*declared) return 0;
  std::string d;
  for (const char* p = declared; *p; ++p) d += char(toupper(static_cast<unsigned char>(*p)));
  size_t paren = d.find('(');
  if (paren != std::string::npos) {
    size_t comma = d.find(',', paren);
    if (comma != std::string::npos) *scale = atoi(d.c_str() + comma + 1);
  }
  std::string base = d.substr(0, paren);
  while (!base.empty() && isspace(static_cast<unsigned char>(base.back()))) base.pop_back();
  struct Map {
    const char* name;
    int16_t code;
  };
  static const Map kMap[] = {
      {"CHAR", 1},
      {"CHARACTER", 1},
      {"NCHAR", 1},
      {"NUMERIC", 2},
      {"DECIMAL", 2},
      {"SMALLINT", 3},
      {"INT", 4},
      {"INTEGER", 4},
      {"MEDIUMINT", 4},
      {"REAL", 6},
      {"DOUBLE", 6},
      {"DOUBLE PRECISION", 6},
      {"FLOAT", 6},
      {"DATE", 7},
      {"MONEY", 8},
      {"TIME", 9},
      {"TIMESTAMP", 10},
      {"DATETIME", 10},
      {"TINYINT", 11},
      {"BINARY", 12},
      {"BIT", 13},
      {"BOOLEAN", 13},
      {"TEXT", 21},  // the engine's own text columns (JSON and its other text types): read as varchar
      {"LVARCHAR", 14},
      {"LVARBINARY", 15},
      {"BLOB", 15},
      {"BIGINT", 16},
      {"INT8", 16},
      {"VARCHAR", 21},
      {"NVARCHAR", 21},
      {"NATIONAL VARCHAR", 21},
      {"CLOB", 23},
      {"VARBINARY", 26},
  };
  for (const Map& m : kMap)
    if (base == m.name) return m.code;
  return 0;
}

}  // namespace zvsql

namespace {

Cursor* cursorOf(ZVSQL_CURSOR h) {
  return static_cast<Cursor*>(handles().find(reinterpret_cast<uintptr_t>(h), HandleKind::Cursor));
}

bool isTextType(int16_t t) { return t == 1 || t == 21 || (t >= 17 && t <= 20) || t == 24 || t == 25 || t == 27; }
bool isLongOrBinary(int16_t t) { return t == 12 || t == 14 || t == 15 || t == 22 || t == 23 || t == 26; }

// A cursor, locked, positioned on a row, with the column in range; or the
// failure code (also on the connection).
class CellAccess {
 public:
  CellAccess(ZVSQL_CURSOR h, int column) : cur_(cursorOf(h)) {
    if (!cur_) {
      code_ = ZVSQL_BAD_HANDLE;
      return;
    }
    conn_ = cur_->command->conn.get();  // the cursor's command keeps it
    lock_ = std::unique_lock<ConnectionLock>(conn_->mutex);
    Connection& c = *conn_;
    if (column < 0 || column >= cur_->columns)
      code_ = c.fail(ZVSQL_BAD_COLUMN, "Column " + std::to_string(column) + " is out of range (the result has " +
                                           std::to_string(cur_->columns) + ")");
    else if (cur_->state != CursorState::OnRow || cur_->command->current != cur_ || !cur_->command->stmt)
      code_ = c.fail(ZVSQL_NO_ROW, "The cursor is not on a row");
    else
      column_ = column;
  }
  int code() const { return code_; }
  sqlite3_stmt* stmt() const { return cur_->command->stmt; }
  int column() const { return column_; }
  int16_t type() const { return cur_->types[size_t(column_)]; }
  int scale() const { return cur_->scales[size_t(column_)]; }
  bool isNull() const { return sqlite3_column_type(stmt(), column_) == SQLITE_NULL; }
  int fail(int code, const std::string& text) { return conn_->fail(code, text); }
  int nullValue() { return fail(ZVSQL_NULL_VALUE, "Column " + std::to_string(column_) + " is null"); }

 private:
  Cursor* cur_;
  Connection* conn_ = nullptr;
  std::unique_lock<ConnectionLock> lock_;
  int code_ = ZVSQL_OK;
  int column_ = -1;
};

// Copies text into buffer: at most size - 1 bytes, cut on a character
// boundary, always terminated.
void copyText(char* buffer, int32_t size, const char* text, size_t length) {
  size_t n = std::min(length, size_t(size - 1));
  if (n < length)
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  memcpy(buffer, text, n);
  buffer[n] = '\0';
}

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The value as a 64-bit integer: integers, whole reals, integer texts.
bool integerOf(sqlite3_stmt* s, int col, int64_t* out) {
  switch (sqlite3_column_type(s, col)) {
    case SQLITE_INTEGER:
      *out = sqlite3_column_int64(s, col);
      return true;
    case SQLITE_FLOAT: {
      double d = sqlite3_column_double(s, col);
      if (d != std::floor(d) || d < -9.2e18 || d > 9.2e18) return false;
      *out = int64_t(d);
      return true;
    }
    default: {
      std::string t = trimmed(reinterpret_cast<const char*>(sqlite3_column_text(s, col)));
      if (t.empty()) return false;
      char* end = nullptr;
      errno = 0;
      long long v = strtoll(t.c_str(), &end, 10);
      if (errno || *end) return false;
      *out = v;
      return true;
    }
  }
}

bool doubleOf(sqlite3_stmt* s, int col, double* out) {
  int t = sqlite3_column_type(s, col);
  if (t == SQLITE_INTEGER || t == SQLITE_FLOAT) {
    *out = sqlite3_column_double(s, col);
    return true;
  }
  std::string text = trimmed(reinterpret_cast<const char*>(sqlite3_column_text(s, col)));
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = strtod(text.c_str(), &end);
  return !errno && !*end && std::isfinite(*out);
}

template <class T>
int readInteger(ZVSQL_CURSOR h, int column, T* out, int64_t low, int64_t high, const char* what) {
  CellAccess a(h, column);
  if (a.code()) return a.code();
  if (!out) return a.fail(ZVSQL_BAD_ARGUMENT, "No place for the value");
  int storage = sqlite3_column_type(a.stmt(), column);
  if (storage == SQLITE_NULL) return a.nullValue();
  int64_t v;
  if (storage == SQLITE_INTEGER)
    v = sqlite3_column_int64(a.stmt(), column);  // the common case, read once
  else if (!integerOf(a.stmt(), column, &v))
    return a.fail(ZVSQL_CONVERSION, "The value of column " + std::to_string(column) + " is not " + what);
  if (v < low || v > high)
    return a.fail(ZVSQL_CONVERSION, "The value of column " + std::to_string(column) + " is not " + what);
  *out = T(v);
  return ZVSQL_OK;
}

// Date and time texts: ISO "YYYY-MM-DD[ HH:MM[:SS[.mmm]]]" (also with 'T'),
// "MM/DD/YYYY[ ...]", or a time alone "HH:MM[:SS[.mmm]]".
struct DateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  bool hasDate = false, hasTime = false;
};

bool parseTime(const char* p, DateTimeParts* d) {
  int h, mi, s = 0, n = 0;
  if (sscanf(p, "%2d:%2d%n", &h, &mi, &n) < 2) return false;
  p += n;
  if (*p == ':') {
    if (sscanf(p + 1, "%2d%n", &s, &n) < 1) return false;
    p += 1 + n;
    if (*p == '.') {
      ++p;
      int ms = 0, digits = 0;
      while (isdigit(static_cast<unsigned char>(*p))) {
        if (digits < 3) ms = ms * 10 + (*p - '0'), ++digits;
        ++p;
      }
      while (digits && digits < 3) ms *= 10, ++digits;
      d->ms = ms;
    }
  }
  while (*p == ' ') ++p;
  if (*p && *p != 'Z' && *p != '+' && *p != '-') return false;
  if (h > 23 || mi > 59 || s > 59) return false;
  d->hour = h, d->minute = mi, d->second = s, d->hasTime = true;
  return true;
}

bool parseDateTime(const char* text, DateTimeParts* d) {
  std::string t = trimmed(text);
  const char* p = t.c_str();
  int a, b, c, n = 0;
  if (sscanf(p, "%4d-%2d-%2d%n", &a, &b, &c, &n) == 3 && n >= 8) {
    d->year = a, d->month = b, d->day = c;
  } else if (sscanf(p, "%2d/%2d/%4d%n", &b, &c, &a, &n) == 3 && n >= 8) {
    d->year = a, d->month = b, d->day = c;
  } else {
    return parseTime(p, d);
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d->month < 1 || d->month > 12 || d->day < 1 || d->day > kDays[d->month - 1]) return false;
  bool leap = (d->year % 4 == 0 && d->year % 100 != 0) || d->year % 400 == 0;
  if (d->month == 2 && d->day == 29 && !leap) return false;
  d->hasDate = true;
  p += n;
  if (!*p) return true;
  if (*p != ' ' && *p != 'T') return false;
  while (*p == ' ' || *p == 'T') ++p;
  return parseTime(p, d);
}

int readDateTime(ZVSQL_CURSOR h, int column, DateTimeParts* parts, bool needDate, bool needTime) {
  CellAccess a(h, column);
  if (a.code()) return a.code();
  if (a.isNull()) return a.nullValue();
  const char* text = reinterpret_cast<const char*>(sqlite3_column_text(a.stmt(), column));
  if (!parseDateTime(text, parts) || (needDate && !parts->hasDate) || (needTime && !parts->hasTime && !parts->hasDate))
    return a.fail(ZVSQL_CONVERSION, "The value of column " + std::to_string(column) + " is not a date or time");
  return ZVSQL_OK;
}

// Formats a number with the column's scale.
// The text when it is a plain decimal ("-12.50", "123456789012345678.91"): the
// engine keeps decimals too long for a double as their text, digit for digit.
bool plainDecimal(const std::string& text) {
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0, digits = 0, dots = 0;
  for (; i < text.size(); ++i)
    if (isdigit(static_cast<unsigned char>(text[i])))
      ++digits;
    else if (text[i] == '.' && ++dots == 1)
      continue;
    else
      return false;
  return digits > 0;
}

std::string numericText(sqlite3_stmt* s, int col, int scale, bool* ok) {
  *ok = true;
  int t = sqlite3_column_type(s, col);
  if (t == SQLITE_INTEGER && scale <= 0) return std::to_string(sqlite3_column_int64(s, col));
  if (t == SQLITE_INTEGER) return std::to_string(sqlite3_column_int64(s, col)) + "." + std::string(size_t(scale), '0');
  if (t == SQLITE_TEXT || t == SQLITE_BLOB) {
    std::string text = trimmed(reinterpret_cast<const char*>(sqlite3_column_text(s, col)));
    if (!text.empty() && plainDecimal(text)) return text;
  }
  double v;
  if (!doubleOf(s, col, &v)) {
    *ok = false;
    return "";
  }
  char buf[64];
  snprintf(buf, sizeof buf, "%.*f", scale > 0 ? std::min(scale, 30) : 0, v);
  if (scale <= 0 && t != SQLITE_INTEGER && v != std::floor(v)) snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

// A date, time or time stamp record built from the value's parts.
template <class Record, class Make>
int readDateRecord(ZVSQL_CURSOR h, int column, Record* out, bool needDate, Make&& make) {
  if (!out) return ZVSQL_BAD_ARGUMENT;
  DateTimeParts p;
  int rc = readDateTime(h, column, &p, needDate, !needDate);
  if (rc == ZVSQL_OK) *out = make(p);
  return rc;
}

// Metadata of a column in range; fallback (and the error on the connection) otherwise.
template <class T, class Fn>
T columnInfo(ZVSQL_CURSOR h, int column, T fallback, Fn&& fn) {
  Cursor* cur = cursorOf(h);
  if (!cur) return fallback;
  std::lock_guard<ConnectionLock> lock(cur->command->conn->mutex);
  if (column < 0 || column >= cur->columns) {
    cur->command->conn->fail(ZVSQL_BAD_COLUMN, "Column " + std::to_string(column) + " is out of range");
    return fallback;
  }
  return fn(*cur);
}

// Bytes a reader needs for the column of the current row (see the header).
int32_t columnLength(Cursor& cur, int column) {
  int16_t t = cur.types[size_t(column)];
  switch (t) {
    case 3:
      return 2;
    case 4:
      return 4;
    case 5:
      return 4;
    case 6:
      return 8;
    case 7:
      return int32_t(sizeof(zvsqlDate));
    case 8:
      return int32_t(sizeof(zvsqlMoney));
    case 9:
      return int32_t(sizeof(zvsqlTime));
    case 10:
      return int32_t(sizeof(zvsqlTimeStamp));
    case 11:
      return 1;
    case 13:
      return 1;
    case 16:
      return 8;
    default:
      break;
  }
  bool onRow = cur.state == CursorState::OnRow && cur.command->current == &cur && cur.command->stmt;
  sqlite3_stmt* s = cur.command->stmt;
  if (!onRow || sqlite3_column_type(s, column) == SQLITE_NULL) return isLongOrBinary(t) ? 0 : 1;
  if (isLongOrBinary(t)) {
    if (t == 14 || t == 23) sqlite3_column_text(s, column);  // a number's length as text
    return sqlite3_column_bytes(s, column);
  }
  if (t == 2) {
    bool ok;
    return int32_t(numericText(s, column, cur.scales[size_t(column)], &ok).size() + 1);
  }
  sqlite3_column_text(s, column);
  return sqlite3_column_bytes(s, column) + 1;
}

}  // namespace

extern "C" {

int zvsqlNext(ZVSQL_CURSOR h) {
  Cursor* cur = cursorOf(h);
  if (!cur) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(cur->command->conn->mutex);
  if (cur->firstPending) {
    cur->firstPending = false;
    return ZVSQL_OK;
  }
  Command& cmd = *cur->command;
  if (cur->state != CursorState::OnRow || cmd.current != cur || !cmd.stmt) return ZVSQL_END_OF_ROWS;
  int rc;
  int code = stepStatement(cmd, &rc);
  if (code == ZVSQL_OK && rc == SQLITE_ROW) return ZVSQL_OK;
  cur->state = CursorState::Done;
  cmd.current = nullptr;
  if (code != ZVSQL_OK) return code;  // the failure stays on the connection
  sqlite3_reset(cmd.stmt);
  return ZVSQL_END_OF_ROWS;
}

void zvsqlFreeCursor(ZVSQL_CURSOR h) {
  Cursor* cur = cursorOf(h);
  if (!cur) return;
  std::lock_guard<ConnectionLock> lock(cur->command->conn->mutex);
  releaseCursor(*cur->command, cur);
}

int zvsqlGetColumnCount(ZVSQL_CURSOR h) {
  Cursor* cur = cursorOf(h);
  if (!cur) return 0;
  std::lock_guard<ConnectionLock> lock(cur->command->conn->mutex);
  return cur->columns;
}

const char* zvsqlGetColumnName(ZVSQL_CURSOR h, int column) {
  return columnInfo(h, column, static_cast<const char*>(nullptr),
                    [&](Cursor& cur) { return cur.names[size_t(column)].c_str(); });
}

int16_t zvsqlGetColumnType(ZVSQL_CURSOR h, int column) {
  return columnInfo(h, column, int16_t(0), [&](Cursor& cur) { return cur.types[size_t(column)]; });
}

int zvsqlGetColumnScale(ZVSQL_CURSOR h, int column) {
  return columnInfo(h, column, 0, [&](Cursor& cur) { return cur.scales[size_t(column)]; });
}

int32_t zvsqlGetColumnLength(ZVSQL_CURSOR h, int column) {
  return columnInfo(h, column, int32_t(0), [&](Cursor& cur) { return columnLength(cur, column); });
}

int zvsqlIsColumnNull(ZVSQL_CURSOR h, int column) {
  CellAccess a(h, column);
  if (a.code()) return 1;
  return a.isNull() ? 1 : 0;
}

static int readText(ZVSQL_CURSOR h, int column, char* buffer, int32_t size) {
  CellAccess a(h, column);
  if (a.code()) {
    if (buffer && size > 0) buffer[0] = '\0';
    return a.code();
  }
  if (!buffer || size < 1) return a.fail(ZVSQL_BAD_ARGUMENT, "The text buffer needs a size of at least 1");
  if (a.isNull()) {
    buffer[0] = '\0';
    return a.nullValue();
  }
  const char* text = reinterpret_cast<const char*>(sqlite3_column_text(a.stmt(), column));
  size_t length = size_t(sqlite3_column_bytes(a.stmt(), column));
  copyText(buffer, size, text ? text : "", text ? length : 0);
  return ZVSQL_OK;
}

int zvsqlGetChar(ZVSQL_CURSOR h, int column, char* buffer, int32_t size) { return readText(h, column, buffer, size); }
int zvsqlGetNChar(ZVSQL_CURSOR h, int column, char* buffer, int32_t size) { return readText(h, column, buffer, size); }

int zvsqlGetNumericAsString(ZVSQL_CURSOR h, int column, char* buffer, int32_t size) {
  CellAccess a(h, column);
  if (a.code()) return a.code();
  if (!buffer || size < 1) return a.fail(ZVSQL_BAD_ARGUMENT, "The text buffer needs a size of at least 1");
  buffer[0] = '\0';
  if (a.isNull()) return a.nullValue();
  bool ok;
  std::string text = numericText(a.stmt(), column, a.scale(), &ok);
  if (!ok) return a.fail(ZVSQL_CONVERSION, "The value of column " + std::to_string(column) + " is not a number");
  if (text.size() + 1 > size_t(size))
    return a.fail(ZVSQL_CONVERSION, "The number of column " + std::to_string(column) + " needs " +
                                        std::to_string(text.size() + 1) + " bytes");
  memcpy(buffer, text.c_str(), text.size() + 1);
  return ZVSQL_OK;
}

int zvsqlGetSmallInt(ZVSQL_CURSOR h, int column, int16_t* out) {
  return readInteger(h, column, out, INT16_MIN, INT16_MAX, "a 16-bit integer");
}
int zvsqlGetInteger(ZVSQL_CURSOR h, int column, int32_t* out) {
  return readInteger(h, column, out, INT32_MIN, INT32_MAX, "a 32-bit integer");
}
int zvsqlGetBigInt(ZVSQL_CURSOR h, int column, int64_t* out) {
  return readInteger(h, column, out, INT64_MIN, INT64_MAX, "a 64-bit integer");
}
int zvsqlGetTinyInt(ZVSQL_CURSOR h, int column, int8_t* out) {
  return readInteger(h, column, out, INT8_MIN, INT8_MAX, "an 8-bit integer");
}

int zvsqlGetBit(ZVSQL_CURSOR h, int column, unsigned char* out) {
  int64_t v = 0;
  int rc = readInteger(h, column, &v, INT64_MIN, INT64_MAX, "a bit");
  if (rc == ZVSQL_OK && out) *out = v != 0 ? 1 : 0;
  return rc;
}

static int readDouble(ZVSQL_CURSOR h, int column, double* out, double limit) {
  CellAccess a(h, column);
  if (a.code()) return a.code();
  if (!out) return a.fail(ZVSQL_BAD_ARGUMENT, "No place for the value");
  if (a.isNull()) return a.nullValue();
  double v;
  if (!doubleOf(a.stmt(), column, &v) || std::fabs(v) > limit)
    return a.fail(ZVSQL_CONVERSION, "The value of column " + std::to_string(column) + " is not a number in range");
  *out = v;
  return ZVSQL_OK;
}

int zvsqlGetReal(ZVSQL_CURSOR h, int column, float* out) {
  double v = 0;
  int rc = readDouble(h, column, out ? &v : nullptr, FLT_MAX);
  if (rc == ZVSQL_OK) *out = float(v);
  return rc;
}

int zvsqlGetFloat(ZVSQL_CURSOR h, int column, double* out) { return readDouble(h, column, out, DBL_MAX); }

int zvsqlGetDate(ZVSQL_CURSOR h, int column, zvsqlDate* out) {
  return readDateRecord(h, column, out, true, [](const DateTimeParts& p) {
    return zvsqlDate{int16_t(p.year), uint8_t(p.month), uint8_t(p.day)};
  });
}

int zvsqlGetTime(ZVSQL_CURSOR h, int column, zvsqlTime* out) {
  return readDateRecord(h, column, out, false, [](const DateTimeParts& p) {
    return zvsqlTime{uint8_t(p.hour), uint8_t(p.minute), uint8_t(p.second), 0, uint16_t(p.ms)};
  });
}

int zvsqlGetTimeStamp(ZVSQL_CURSOR h, int column, zvsqlTimeStamp* out) {
  return readDateRecord(h, column, out, true, [](const DateTimeParts& p) {
    return zvsqlTimeStamp{
        int16_t(p.year), uint8_t(p.month), uint8_t(p.day), uint8_t(p.hour), uint8_t(p.minute), uint8_t(p.second), 0,
        uint16_t(p.ms)};
  });
}

int zvsqlGetMoney(ZVSQL_CURSOR h, int column, zvsqlMoney* out) {
  double v = 0;
  if (!out) return ZVSQL_BAD_ARGUMENT;
  int rc = readDouble(h, column, &v, DBL_MAX);
  if (rc) return rc;
  char text[64];
  int n = snprintf(text, sizeof text, "%.4f", v);
  if (n < 0 || size_t(n) >= sizeof out->text) {
    CellAccess a(h, column);
    return a.fail(ZVSQL_CONVERSION, "The money value of column " + std::to_string(column) + " is too large");
  }
  double whole = std::trunc(v);
  out->whole = int16_t(whole > INT16_MAX ? INT16_MAX : whole < INT16_MIN ? INT16_MIN : whole);
  memcpy(out->text, text, size_t(n) + 1);
  return ZVSQL_OK;
}

int zvsqlGetBinary(ZVSQL_CURSOR h, int column, zvsqlBinary* out) {
  CellAccess a(h, column);
  if (a.code()) return a.code();
  if (!out || out->capacity < 0 || (!out->data && out->capacity > 0))
    return a.fail(ZVSQL_BAD_ARGUMENT, "The binary record needs its data and capacity");
  out->length = 0;
  if (a.isNull()) return a.nullValue();
  const void* bytes = sqlite3_column_blob(a.stmt(), column);
  int length = sqlite3_column_bytes(a.stmt(), column);
  out->length = length;
  if (bytes && length) memcpy(out->data, bytes, size_t(std::min(length, out->capacity)));
  return ZVSQL_OK;
}

int zvsqlGetBlob(ZVSQL_CURSOR h, int column, void* buffer, int32_t size, int64_t offset, int32_t* read) {
  if (read) *read = 0;
  CellAccess a(h, column);
  if (a.code()) return a.code();
  bool text = a.type() == 14 || a.type() == 23 || isTextType(a.type());
  if (!buffer || size < (text ? 1 : 0) || offset < 0)
    return a.fail(ZVSQL_BAD_ARGUMENT, "A piece needs a buffer, a size and an offset of 0 or more");
  if (text) static_cast<char*>(buffer)[0] = '\0';
  if (a.isNull()) return a.nullValue();
  const unsigned char* bytes = text ? sqlite3_column_text(a.stmt(), column)
                                    : static_cast<const unsigned char*>(sqlite3_column_blob(a.stmt(), column));
  int64_t length = sqlite3_column_bytes(a.stmt(), column);
  int64_t room = text ? size - 1 : size;
  int64_t n = offset >= length ? 0 : std::min(room, length - offset);
  if (n > 0) memcpy(buffer, bytes + offset, size_t(n));
  if (text) static_cast<char*>(buffer)[n] = '\0';
  if (read) *read = int32_t(n);
  return ZVSQL_OK;
}

int zvsqlConvert(int sourceType, const void* value, int32_t valueSize, const char* format, int target, char* out,
                 int32_t outSize) {
  if (!value || !out || outSize < 1 || target != 1) return ZVSQL_BAD_ARGUMENT;
  out[0] = '\0';
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  const char* defaultFormat = nullptr;
  std::string text;
  switch (sourceType) {
    case 7: {
      if (valueSize < int32_t(sizeof(zvsqlDate))) return ZVSQL_BAD_ARGUMENT;
      auto* d = static_cast<const zvsqlDate*>(value);
      year = d->year, month = d->month, day = d->day;
      defaultFormat = "YYYY-MM-DD";
      break;
    }
    case 9: {
      if (valueSize < int32_t(sizeof(zvsqlTime))) return ZVSQL_BAD_ARGUMENT;
      auto* t = static_cast<const zvsqlTime*>(value);
      hour = t->hour, minute = t->minute, second = t->second, ms = t->millisecond;
      defaultFormat = "HH24:MI:SS";
      break;
    }
    case 10: {
      if (valueSize < int32_t(sizeof(zvsqlTimeStamp))) return ZVSQL_BAD_ARGUMENT;
      auto* t = static_cast<const zvsqlTimeStamp*>(value);
      year = t->year, month = t->month, day = t->day, hour = t->hour, minute = t->minute, second = t->second;
      ms = t->millisecond;
      defaultFormat = "YYYY-MM-DD HH24:MI:SS";
      break;
    }
    case 8: {
      if (valueSize < int32_t(sizeof(zvsqlMoney))) return ZVSQL_BAD_ARGUMENT;
      auto* m = static_cast<const zvsqlMoney*>(value);
      text.assign(m->text, strnlen(m->text, sizeof m->text));
      break;
    }
    case 16: {
      if (valueSize < int32_t(sizeof(int64_t))) return ZVSQL_BAD_ARGUMENT;
      int64_t v;
      memcpy(&v, value, sizeof v);
      text = std::to_string(v);
      break;
    }
    case 26:
    case 12: {
      auto* b = static_cast<const zvsqlBinary*>(value);
      if (valueSize < 0 || b->length < 0 || (!b->data && b->length > 0)) return ZVSQL_BAD_ARGUMENT;
      size_t n = size_t(std::min(b->length, b->capacity));
      text.assign(reinterpret_cast<const char*>(b->data), strnlen(reinterpret_cast<const char*>(b->data), n));
      break;
    }
    default:
      return ZVSQL_BAD_ARGUMENT;
  }
  if (defaultFormat) {
    const char* f = format && *format ? format : defaultFormat;
    char part[16];
    while (*f) {
      auto take = [&](const char* key, const char* fmt, int v) {
        size_t n = strlen(key);
        if (strncmp(f, key, n) != 0) return false;
        snprintf(part, sizeof part, fmt, v);
        text += part;
        f += n;
        return true;
      };
      if (take("YYYY", "%04d", year) || take("HH24", "%02d", hour) || take("MLS", "%03d", ms) ||
          take("MM", "%02d", month) || take("DD", "%02d", day) || take("MI", "%02d", minute) ||
          take("SS", "%02d", second))
        continue;
      text += *f++;
    }
  }
  copyText(out, outSize, text.c_str(), text.size());
  return text.size() < size_t(outSize) ? ZVSQL_OK : ZVSQL_CONVERSION;
}

}  // extern "C"
