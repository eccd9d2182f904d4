// What the console's user typed: one statement for the grid (with the
// console's commit, rollback and "set" commands carried out here), or one
// query answered as plain rows.
#include <strings.h>

#include <cstring>
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr const char* kUnit = "plover";

void failWithClientMessage(SqlCallContext& context, json_object* reply, int code, const char* where) {
  setExceptionReply(reply, context.tid, code, where, sql.zvsqlGetErrorMessage(context.connection->handle), kUnit);
}

// The commit after a statement when the session commits each one.
void commitWhenAuto(SqlCallContext& context, json_object* reply) {
  if (!context.connection->autoCommit) return;
  int code = sql.zvsqlCommit(context.connection->handle);
  if (code != 0) failWithClientMessage(context, reply, code, "execStatement -> Commit");
}

// A statement that failed in a session that commits each one: the
// transaction opened for it is ended at once, as it would keep the
// database locked for every other application until the next statement.
void rollbackWhenAuto(SqlCallContext& context) {
  if (context.connection->autoCommit) sql.zvsqlAbort(context.connection->handle);
}

// "set autocommit on|off" and "set transaction isolation level ...".
void consoleSetting(PooledConnection* connection, const char* text) {
  std::vector<std::string> words = consoleWords(text);
  if (applyAutoCommitSetting(connection, words) || words.size() < 5 || words[1] != "transaction") return;
  int level = isolationLevelOf(words);
  if (level >= 0) sql.zvsqlSetIsolationLevel(connection->handle, level);
}

bool startsWith(const char* text, const char* word) { return strncasecmp(text, word, strlen(word)) == 0; }

}  // namespace

void execStatement(SqlCallContext& context, json_object* reply, json_object* yxInfo) {
  const char* query = nullptr;
  if (!zvJsonGetStringByName(yxInfo, "query", &query) || !query) query = "";
  ZVSQL_CONN handle = context.connection->handle;
  if (startsWith(query, "commit")) {
    int code = sql.zvsqlCommit(handle);
    if (code != 0) failWithClientMessage(context, reply, code, "execStatement -> Commit");
    return;
  }
  if (startsWith(query, "rollback")) {
    int code = sql.zvsqlAbort(handle);
    if (code != 0) failWithClientMessage(context, reply, code, "execStatement -> Rollback");
    return;
  }
  if (startsWith(query, "set")) return consoleSetting(context.connection, query);
  {
    CommandPtr probe(sql.zvsqlNewCommand(handle));
    // A text that does not prepare is reported by the run below.
    if (probe && sql.zvsqlPrepare(probe.get(), query) == 0 && holdsParameters(probe.get())) {
      std::string detail =
          std::string("execStatement -> ") + kParametersRefusedText + " : " + std::to_string(ZVSQL_BAD_PARAMETER);
      return setExceptionReply(reply, context.tid, ZVSQL_BAD_PARAMETER, "", detail.c_str(), kUnit);
    }
  }
  int32_t rowLimit = -1;
  zvJsonGetIntByName(yxInfo, "numRows", &rowLimit);
  bool queryBuilder = false;
  zvJsonGetBooleanByName(yxInfo, "queryBuilder", &queryBuilder);
  int refusal = 0;
  json_object* result = renderGridResult(context.connection, query, rowLimit, yxInfo, 32, true, &refusal);
  if (refusal) {
    rollbackWhenAuto(context);
    return setReplyTooLarge(reply, context.tid, "execStatement", kUnit, refusal);
  }
  if (!result) {
    int code = sql.zvsqlGetError(handle);
    std::string detail = std::string(queryBuilder ? "" : "execStatement -> ") + sql.zvsqlGetErrorMessage(handle) +
                         " : " + std::to_string(code);
    rollbackWhenAuto(context);
    setExceptionReply(reply, context.tid, code, "", detail.c_str(), kUnit);
    return;
  }
  commitWhenAuto(context, reply);
  zvJsonAdd(reply, "result", result);
}

void execQuery(SqlCallContext& context, json_object* reply, json_object* yxInfo) {
  const char* query = nullptr;
  if (!zvJsonGetStringByName(yxInfo, "query", &query) || !query) query = "";
  ZVSQL_CMD command = sql.zvsqlNewCommand(context.connection->handle);
  if (!command)
    return failWithClientMessage(context, reply, sql.zvsqlGetError(context.connection->handle), "execQuery");
  sql.zvsqlSetTimeout(command, context.connection->queryTimeout);
  ZVSQL_CURSOR cursor = nullptr;
  int code = sql.zvsqlPrepare(command, query);
  if (code != 0) {
    sql.zvsqlFreeCommand(command);
    return failWithClientMessage(context, reply, code, "execQuery");
  }
  if (holdsParameters(command)) {
    sql.zvsqlFreeCommand(command);
    return setExceptionReply(reply, context.tid, ZVSQL_BAD_PARAMETER, "execQuery", kParametersRefusedText, kUnit);
  }
  code = sql.zvsqlExecute(command, &cursor);
  if (code != 0) {
    sql.zvsqlFreeCommand(command);
    commitWhenAuto(context, reply);
    return failWithClientMessage(context, reply, code, "execQuery");
  }
  ReplyRows rows;
  code = fetchQueryRows(cursor, rows);
  sql.zvsqlFreeCursor(cursor);
  sql.zvsqlFreeCommand(command);
  if (code == kReplyTooLarge || code == kServerBusy) return setReplyTooLarge(reply, context.tid, "execQuery", kUnit, code);
  // Rows cut short by a failure are reported as the failure, never as the whole result.
  if (code != 0) return failWithClientMessage(context, reply, code, "execQuery");
  commitWhenAuto(context, reply);
  zvJsonAdd(reply, "result", rows.release());
}

}  // namespace plover
