// The script console: one statement of a script a call, answered with its
// changed-row count, timing, columns and rows, and its error. The console's
// own commands (commit, rollback, echo, spool and the "set" settings) are
// carried out here; every other text goes to the SQL client. A failing
// statement stops nothing here: the browser decides whether the script goes on.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <sstream>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr int kUnrecognisedLevel = 4;  // the client refuses it, and its answer is the statement's error

bool startsWith(const std::string& text, const char* word) {
  return strncasecmp(text.c_str(), word, strlen(word)) == 0;
}

// What execScriptStatement reads of "yxInfo".
struct ScriptRequest {
  bool time = false;
  bool noTruncate = false;
  int timeout = 0;
  int rowLimit = -1;  // -1 every row
};

ScriptRequest readRequest(json_object* yxInfo, int defaultTimeout) {
  ScriptRequest r;
  r.timeout = defaultTimeout;
  zvJsonGetBooleanByName(yxInfo, "time", &r.time);
  zvJsonGetBooleanByName(yxInfo, "noTruncate", &r.noTruncate);
  json_object* server = nullptr;
  if (zvJsonGetByName(yxInfo, "currentServer", &server) && json_object_is_type(server, json_type_object))
    zvJsonGetIntByName(server, "queryTimeout", &r.timeout);
  const char* maxRows = nullptr;
  if (zvJsonGetStringByName(yxInfo, "maxRows", &maxRows) && maxRows && strcmp(maxRows, "All") != 0)
    zvJsonGetIntByName(yxInfo, "maxRows", &r.rowLimit);
  return r;
}

// The outcome of one script statement, in the order the reply lists it.
struct ScriptOutcome {
  int code = 0;
  const char* message = nullptr;  // the failure's text when it is the console's own, not the client's
  double exec = 0, fetch = 0;
  zvJsonPtr columns;  // {"type", "name", "len"} when the result has columns
  zvJsonPtr rows;
};

// "set autocommit ..." and "set transaction ...": the code of the client's answer that counts.
int scriptSetting(PooledConnection* connection, const std::vector<std::string>& words) {
  if (words.size() < 3 || applyAutoCommitSetting(connection, words)) return 0;
  if (words.size() < 5 || words[1] != "transaction") return 0;
  int level = isolationLevelOf(words);
  return sql.zvsqlSetIsolationLevel(connection->handle, level < 0 ? kUnrecognisedLevel : level);
}

// Runs an ordinary statement and fetches its rows; the cursor stays with command.
void runStatement(PooledConnection* connection, ZVSQL_CMD command, const std::string& text,
                  const ScriptRequest& request, int64_t started, ScriptOutcome& out) {
  sql.zvsqlSetTimeout(command, request.timeout);
  ZVSQL_CURSOR cursor = nullptr;
  if ((out.code = sql.zvsqlPrepare(command, text.c_str())) != 0) return;
  if (holdsParameters(command)) {
    out.code = ZVSQL_BAD_PARAMETER;
    out.message = kParametersRefusedText;
    return;
  }
  if ((out.code = sql.zvsqlExecute(command, &cursor)) != 0) return;
  int count = sql.zvsqlGetColumnCount(cursor);
  json_object *types = zvJsonAllocArray(), *names = zvJsonAllocArray(), *lens = zvJsonAllocArray();
  std::vector<int> widths;
  for (int i = 0; i < count; ++i) {
    zvJsonArrayAdd(types, zvJsonAllocString(sqlTypeName(int16_t(sql.zvsqlGetColumnType(cursor, i) & 0xFFFF))));
    std::string name = resultColumnName(cursor, i);
    zvJsonArrayAdd(names, zvJsonAllocString(name.c_str()));
    widths.push_back(int(name.size()));
  }
  out.exec = (nowMs() - started) / 1000.0;
  ReplyRows rows;
  int fetched = 0, next = 0;
  while ((request.rowLimit == -1 || fetched < request.rowLimit) && (next = sql.zvsqlNext(cursor)) == 0) {
    ++fetched;
    json_object* row = zvJsonAlloc();
    for (int i = 0; i < count; ++i)
      widths[size_t(i)] = std::max(widths[size_t(i)], renderScriptCell(cursor, i, row, request.noTruncate));
    if (!rows.add(row)) {
      next = rows.refusal();
      break;
    }
  }
  // Rows cut short by a failure carry the failure: they are never a whole result.
  if (next != 0 && next != ZVSQL_END_OF_ROWS) out.code = next;
  out.fetch = (nowMs() - started) / 1000.0;
  for (int w : widths) zvJsonArrayAdd(lens, zvJsonAllocInt(w));
  if (count > 0 && !rows.full()) {  // a result too large for the reply is not sent at all
    out.columns.reset(zvJsonAlloc());
    zvJsonAdd(out.columns.get(), "type", types);
    zvJsonAdd(out.columns.get(), "name", names);
    zvJsonAdd(out.columns.get(), "len", lens);
    out.rows.reset(rows.release());
  } else {
    zvJsonRelease(types);
    zvJsonRelease(names);
    zvJsonRelease(lens);
  }
}

// Carries out the statement (or console command) text; its outcome in out.
void runScriptText(PooledConnection* connection, ZVSQL_CMD command, std::string& text, const ScriptRequest& request,
                   ScriptOutcome& out) {
  int64_t started = nowMs();
  ZVSQL_CONN handle = connection->handle;
  if (startsWith(text, "commit")) {
    out.code = sql.zvsqlCommit(handle);
  } else if (startsWith(text, "rollback")) {
    out.code = sql.zvsqlAbort(handle);
  } else if (startsWith(text, "echo") || startsWith(text, "spool")) {
    // the browser's own commands
  } else if (startsWith(text, "set")) {
    for (char& c : text) c = char(tolower(static_cast<unsigned char>(c)));  // the reply shows it lowered
    out.code = scriptSetting(connection, consoleWords(text));
  } else {
    runStatement(connection, command, text, request, started, out);
  }
}

}  // namespace

std::vector<std::string> consoleWords(const std::string& text) {
  std::string lower(text);
  for (char& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
  std::istringstream split(lower);
  std::vector<std::string> words;
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

bool applyAutoCommitSetting(PooledConnection* connection, const std::vector<std::string>& words) {
  if (words.size() < 3 || words[1] != "autocommit") return false;
  bool on = words[2] == "on";
  sql.zvsqlSetAutoCommit(connection->handle, on ? 1 : 0);
  if (!on && connection->autoCommit) {
    connection->scriptSuspended = true;  // terminateScript turns the session's auto-commit back on
    connection->autoCommit = false;
  }
  return true;
}

int isolationLevelOf(const std::vector<std::string>& words) {
  if (words.size() < 5 || words[2] != "isolation" || words[3] != "level") return -1;
  const std::string& fifth = words[4];
  const std::string sixth = words.size() > 5 ? words[5] : "";
  if (fifth == "read" && sixth == "uncommitted") return 0;
  if (fifth == "read" && sixth == "committed") return 1;
  if (fifth == "repeatable" && sixth == "read") return 2;
  if (fifth == "serializable") return 3;
  return -1;
}

void execScriptStatement(SqlCallContext& context, json_object* reply, json_object* params) {
  PooledConnection* connection = context.connection;
  CommandPtr command(sql.zvsqlNewCommand(connection->handle));
  ScriptOutcome out;
  ScriptRequest request;
  std::optional<std::string> text;
  json_object* yxInfo = nullptr;
  if (zvJsonGetByName(params, "yxInfo", &yxInfo) && json_object_is_type(yxInfo, json_type_object)) {
    request = readRequest(yxInfo, connection->queryTimeout);
    const char* query = nullptr;
    if (zvJsonGetStringByName(yxInfo, "query", &query) && query) text = query;
  }
  if (text) runScriptText(connection, command.get(), *text, request, out);

  json_object* error = zvJsonAlloc();
  zvJsonAddInt(error, "errNo", out.code);
  const bool tooLarge = out.code == kReplyTooLarge || out.code == kServerBusy;
  zvJsonAddString(error, "errDesc", tooLarge      ? (out.code == kServerBusy ? kServerBusyText : kReplyTooLargeText)
                                    : out.message ? out.message
                                    : out.code    ? sql.zvsqlGetErrorMessage(connection->handle)
                                                  : "");
  if (out.code != 0)
    zvJsonAddInt(error, "errPos", tooLarge || out.message ? -1 : sql.zvsqlGetErrorPos(connection->handle));
  json_object* result = zvJsonAlloc();
  zvJsonAddBigint(result, "affectedRows", command ? sql.zvsqlAffectedRows(command.get()) : 0);
  command.reset();                                                  // frees its cursor
  if (connection->autoCommit) sql.zvsqlCommit(connection->handle);  // its answer is not the statement's
  if (request.time) {
    json_object* timing = zvJsonAlloc();
    zvJsonAddDouble(timing, "exec", out.exec);
    zvJsonAddDouble(timing, "fetch", out.fetch);
    zvJsonAdd(result, "timing", timing);
  }
  if (text) zvJsonAddString(result, "statement", text->c_str());
  if (out.columns) {
    zvJsonAdd(result, "columns", out.columns.release());
    zvJsonAdd(result, "rows", out.rows.release());
  }
  zvJsonAdd(result, "error", error);
  zvJsonAdd(reply, "result", result);
}

}  // namespace plover
