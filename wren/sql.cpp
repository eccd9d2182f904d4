// "getRecordsUsingSQL": one statement with text parameters through the SQL
// client library, on a connection of its own logged on as the caller. Any
// statement runs, and what it writes is committed before it is answered.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wren.h"
#include "zvsqlapi.h"

namespace wren {
namespace {

constexpr const char* kSqlService = "6597@localhost:";
// The server's most seconds for one statement, from its execute to its last
// row: the SQL client's own default time-out of a step, now for the whole.
constexpr int kMaxStatementSeconds = 30;

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

// A value the SQL client could not read (out of its reader's range, say):
// the call fails rather than answer a made-up value.
struct ReadFailure {};

void checkRead(int code) {
  if (code != 0 && code != ZVSQL_NULL_VALUE) throw ReadFailure{};
}

// A text column read into a buffer of the current value's size.
template <class Reader>
json readTextColumn(ZVSQL_CURSOR cursor, int column, Reader reader) {
  int32_t size = zvsqlGetColumnLength(cursor, column);
  std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1) + 1, 0);
  checkRead(reader(cursor, column, buffer.data(), static_cast<int32_t>(buffer.size())));
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
      checkRead(zvsqlGetSmallInt(cursor, column, &v));
      return v;
    }
    case 4: {
      int32_t v = 0;
      checkRead(zvsqlGetInteger(cursor, column, &v));
      return v;
    }
    case 5: {
      float v = 0;
      checkRead(zvsqlGetReal(cursor, column, &v));
      return v;
    }
    case 6: {
      double v = 0;
      checkRead(zvsqlGetFloat(cursor, column, &v));
      return v;
    }
    case 11: {
      int8_t v = 0;
      checkRead(zvsqlGetTinyInt(cursor, column, &v));
      return v;
    }
    case 13: {
      unsigned char v = 0;
      checkRead(zvsqlGetBit(cursor, column, &v));
      return v != 0;
    }
    case 16: {
      int64_t v = 0;
      checkRead(zvsqlGetBigInt(cursor, column, &v));
      return v;
    }
    case 7: {
      zvsqlDate d{};
      checkRead(zvsqlGetDate(cursor, column, &d));
      return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day) + "Z";
    }
    case 9: {
      zvsqlTime t{};
      checkRead(zvsqlGetTime(cursor, column, &t));
      return std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second) + "Z";
    }
    case 10: {
      zvsqlTimeStamp s{};
      checkRead(zvsqlGetTimeStamp(cursor, column, &s));
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

// Seconds a statement may run, from its execute to its last row; the
// server's maximum, which WREN_SQL_TIMEOUT_SECONDS lowers for tests.
int statementSeconds() {
  static const int limit = [] {
    const char* text = getenv("WREN_SQL_TIMEOUT_SECONDS");
    long seconds = text != nullptr ? atol(text) : 0;
    return seconds > 0 && seconds < kMaxStatementSeconds ? static_cast<int>(seconds) : kMaxStatementSeconds;
  }();
  return limit;
}

// The whole statement's deadline, handed to the SQL client as what is left
// of it before each step, so no step can reach past it.
class Deadline {
 public:
  Deadline() : end_(std::chrono::steady_clock::now() + std::chrono::seconds(statementSeconds())) {}
  // False when the time is up; otherwise the command is bounded by what is left.
  bool bound(ZVSQL_CMD command) const {
    auto left = std::chrono::ceil<std::chrono::seconds>(end_ - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    zvsqlSetTimeout(command, static_cast<int>(left));
    return true;
  }
  // After a failed step: whether it failed for want of time.
  bool passed(ZVSQL_CONN connection) const {
    return zvsqlGetError(connection) == ZVSQL_TIMED_OUT || std::chrono::steady_clock::now() >= end_;
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

std::string deadlineMessage() {
  return "The statement ran past the server's limit of " + std::to_string(statementSeconds()) + " seconds.";
}

// Whether the caller's connection is gone, asked at most every kGoneCheckMs
// between rows: a result nobody can receive is not read on.
class GoneCheck {
 public:
  explicit GoneCheck(const Client& client) : client_(client) {}
  bool now() {
    auto at = std::chrono::steady_clock::now();
    if (at - last_ < std::chrono::milliseconds(kGoneCheckMs)) return false;
    last_ = at;
    return client_.gone();
  }

 private:
  static constexpr int kGoneCheckMs = 100;
  const Client& client_;
  std::chrono::steady_clock::time_point last_{};
};

// The SQL client asks this while a statement runs, on the statement's
// thread: the caller's connection, polled. A statement whose client has
// gone is interrupted, even before its first row.
int clientGone(void* client) { return static_cast<const Client*>(client)->gone() ? 1 : 0; }

void traceGone() {
  std::printf("getRecordsUsingSQL: the client has gone; its statement is stopped\n");
  std::fflush(stdout);
}

// Reads every row into the reply's rows; false with the reply's error set
// when a fetch fails, the deadline passes, the client goes or the rows
// outgrow their bound.
bool readAllRows(Call& call, SqlCall& sql, const Deadline& deadline, const std::vector<int>& types,
                 RowsText& rows) {
  GoneCheck gone(call.client);
  while (true) {
    if (!deadline.bound(sql.command)) {
      setError(call.reply, -1, deadlineMessage());
      return false;
    }
    int code = zvsqlNext(sql.cursor);
    if (code == ZVSQL_END_OF_ROWS) return true;
    if (code != 0) {
      if (call.client.gone()) traceGone();
      setError(call.reply, -1,
               deadline.passed(sql.connection) ? deadlineMessage()
                                 : std::string("zvsqlNext error: ") + zvsqlGetErrorMessage(sql.connection));
      return false;
    }
    json row = json::array();
    for (size_t c = 0; c < types.size(); ++c) {
      try {
        row.push_back(columnValue(sql.cursor, static_cast<int>(c), types[c]));
      } catch (const ReadFailure&) {
        setError(call.reply, -1,
                 "Column " + std::to_string(c + 1) + " cannot be read: " + zvsqlGetErrorMessage(sql.connection));
        return false;
      }
    }
    if (!rows.append(row)) {
      setError(call.reply, -1, rowsRefusedMessage(rows));
      return false;
    }
    if (gone.now()) {
      traceGone();
      setError(call.reply, -1, "The client has gone.");
      return false;
    }
  }
}

// Binds "sqlParams" in order; false with the reply's error set when their
// count is not the statement's: a value beyond its parameters would be
// dropped, and a writing statement with a parameter left unbound would wait
// for it and never run, though answered as done.
bool bindParameters(Call& call, SqlCall& sql) {
  int count = 0;
  auto params = call.params.find("sqlParams");
  if (params != call.params.end()) {
    for (const json& value : *params) {
      std::string text = value.is_string() ? checkedText("sqlParams", value.get<std::string>()) : value.dump();
      if (zvsqlSetParameterAsString(sql.command, count, text.c_str()) != 0) {
        setError(call.reply, -1, "sqlParams holds more values than the statement has parameters: " +
                                     std::string(zvsqlGetErrorMessage(sql.connection)));
        return false;
      }
      ++count;
    }
  }
  // A parameter past the last value given takes a binding only when the
  // statement has it; the call then ends here, so the binding is never used.
  if (zvsqlSetParameterAsString(sql.command, count, nullptr) == 0) {
    setError(call.reply, -1,
             "sqlParams holds " + std::to_string(count) + " values: the statement has more parameters than that");
    return false;
  }
  return true;
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
  zvsqlSetInterruptCheck(sql.connection, clientGone, &call.client);
  std::string statement = readRequiredText(call.params, "sql");
  if (zvsqlPrepare(sql.command, statement.c_str()) != 0) {
    setError(call.reply, -1, "zvsqlPrepare error");
    return;
  }
  if (!bindParameters(call, sql)) return;
  Deadline deadline;
  deadline.bound(sql.command);
  if (zvsqlExecute(sql.command, &sql.cursor) != 0) {
    if (call.client.gone()) traceGone();
    setError(call.reply, -1, deadline.passed(sql.connection) ? deadlineMessage() : "zvsqlExecute error");
    return;
  }
  int columns = zvsqlGetColumnCount(sql.cursor);
  std::vector<int> types;
  json names = json::array(), typeNames = json::array();
  for (int c = 0; c < columns; ++c) {
    types.push_back(zvsqlGetColumnType(sql.cursor, c));
    const char* name = zvsqlGetColumnName(sql.cursor, c);
    names.push_back(name != nullptr ? name : "");
    typeNames.push_back(sqlTypeName(types.back()));
  }
  RowsText rows(call.replyLease);
  bool complete = readAllRows(call, sql, deadline, types, rows);
  std::fflush(stdout);
  // Nothing is committed unless the whole result is answered: the end of
  // the connection rolls an unanswered statement back.
  if (!complete) return;
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
  call.dataText = rows.take();
}

}  // namespace wren
