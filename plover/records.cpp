// The grid's table records: a page of rows with their rowid and the row
// count, and a row inserted, updated or deleted. Names from the request are
// quoted as identifiers and values as literals; row ids must be integers,
// and an update without one is refused, so no request changes rows it does
// not name.
#include <strings.h>

#include <cstring>
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr const char* kUnit = "plovertablerecords";

struct Column {
  std::string name, type;
};

// The table a request names, and the command its statements run on.
struct TableCall {
  TableCall(SqlCallContext& context, json_object* reply) : context(context), reply(reply) {}
  ~TableCall() {
    if (command) sql.zvsqlFreeCommand(command);
  }
  ZVSQL_CONN handle() const { return context.connection->handle; }
  // Reads owner and table from yxInfo.nodeId; false when either is missing.
  bool readTarget(json_object* params) {
    json_object *yxInfo = nullptr, *node = nullptr;
    const char *user = nullptr, *name = nullptr;
    if (!zvJsonGetByName(params, "yxInfo", &yxInfo) || !zvJsonGetByName(yxInfo, "nodeId", &node) ||
        !zvJsonGetStringByName(node, "user", &user) || !zvJsonGetStringByName(node, "name", &name) || !user || !name)
      return false;
    owner = user;
    table = name;
    info = yxInfo;
    return true;
  }
  std::string qualifiedName() const { return sqlIdentifier(owner) + "." + sqlIdentifier(table); }
  bool newCommand(bool withTimeout) {
    command = sql.zvsqlNewCommand(handle());
    if (command && withTimeout) sql.zvsqlSetTimeout(command, context.connection->queryTimeout);
    return command != nullptr;
  }
  void fail(const char* where, int code) {
    setExceptionReply(reply, context.tid, code, where, sql.zvsqlGetErrorMessage(handle()), kUnit);
  }
  // The statement's rows, each as texts (SQL NULL as empty); false on a failure, code set.
  bool rows(const std::string& statement, std::vector<std::vector<std::string>>& out, int& code) {
    std::vector<SqlRow> found;
    if (!queryRows(context.connection, statement, found, code)) return false;
    for (auto& row : found) {
      out.emplace_back();
      for (auto& cell : row) out.back().push_back(cell.value_or(""));
    }
    return true;
  }
  bool columns(std::vector<Column>& out, int& code) {
    std::vector<std::vector<std::string>> found;
    if (!rows("select col, coltype from admin.syscolumns where owner = " + sqlLiteral(owner) +
                  " and tbl = " + sqlLiteral(table) + " order by id",
              found, code))
      return false;
    for (auto& row : found) out.push_back({row[0], row[1]});
    return true;
  }
  // The commit that follows a change when the session commits each change.
  bool commitWhenAuto(const char* where) {
    if (!context.connection->autoCommit) return true;
    int code = sql.zvsqlCommit(handle());
    if (code != 0) fail(where, code);
    return code == 0;
  }

  SqlCallContext& context;
  json_object* reply;
  ZVSQL_CMD command = nullptr;
  json_object* info = nullptr;
  std::string owner, table;
};

// The text of a member's JSON value; false for null.
bool valueText(json_object* value, std::string& text) {
  if (!value || json_object_is_type(value, json_type_null)) return false;
  const char* s = json_object_get_string(value);
  if (!s) return false;
  text = s;
  return true;
}

const Column* findColumn(const std::vector<Column>& columns, const char* name, bool anyCase) {
  for (const auto& c : columns)
    if (anyCase ? strcasecmp(c.name.c_str(), name) == 0 : c.name == name) return &c;
  return nullptr;
}

bool isLong(const std::string& type) { return type == "lvarbinary" || type == "lvarchar"; }

}  // namespace

void getTableRecords(SqlCallContext& context, json_object* reply, json_object* params) {
  TableCall call(context, reply);
  if (!call.readTarget(params)) return;
  bool withMeta = false;
  zvJsonGetBooleanByName(call.info, "getMeta", &withMeta);
  std::vector<std::vector<std::string>> found;
  int code = 0;
  if (!call.rows("select count(*) from " + call.qualifiedName(), found, code) || found.empty())
    return call.fail("getTableRecords", code);
  int64_t total = atoll(found[0][0].c_str());
  found.clear();
  if (!call.rows("select col, colid from admin.syscolumns cols left join admin.sysidentity ids on cols.owner = "
                 "ids.owner and cols.tbl = ids.tbl where cols.owner = " +
                     sqlLiteral(call.owner) + " and cols.tbl = " + sqlLiteral(call.table) + " order by id",
                 found, code))
    return call.fail("getTableRecords", code);
  std::string columnList, identity;
  for (size_t i = 0; i < found.size(); ++i) {
    columnList += (i ? ", " : "") + sqlIdentifier(found[i][0]);
    if (!found[i][1].empty() && found[i][1] == std::to_string(i)) identity = found[i][0];
  }
  json_object* chosen = nullptr;
  if (zvJsonGetArrayByName(call.info, "columns", &chosen) && zvJsonArrayLength(chosen) > 0) {
    columnList.clear();
    for (int i = 0; i < zvJsonArrayLength(chosen); ++i) {
      const char* name = zvJsonGetString(zvJsonArrayGetIdx(chosen, i));
      columnList += (i ? ", " : "") + sqlIdentifier(name ? name : "");
    }
  }
  int32_t limit = 0, start = 0;
  zvJsonGetIntByName(params, "limit", &limit);
  zvJsonGetIntByName(params, "start", &start);
  std::string statement = "select ";
  if (limit > 0) statement += " top " + std::to_string(limit);
  if (start > 0) statement += " skip " + std::to_string(start);
  statement += " rowid, " + columnList + " from " + call.qualifiedName();
  // Filter and ordering are SQL the console's user writes, run with that user's rights.
  const char* filter = nullptr;
  if (zvJsonGetStringByName(call.info, "filter", &filter) && filter && *filter)
    statement += " where " + std::string(filter);
  const char* order = nullptr;
  if (zvJsonGetStringByName(call.info, "orderby", &order) && order && *order)
    statement += " order by " + std::string(order);
  const char* bad = nullptr;
  if (zvJsonGetStringByName(call.info, "badRecords", &bad) && bad && strcasecmp(bad, "true") == 0)
    statement += " ZVOPTION(BADREC)";
  zvJsonAddString(call.info, "identityColName", identity.c_str());
  int refusal = 0;
  json_object* result = renderGridResult(context.connection, statement, -1, call.info, 32, withMeta, &refusal);
  if (refusal) return setReplyTooLarge(reply, context.tid, "getTableRecords", "plovertablerecords", refusal);
  if (!result) return call.fail("getTableRecords", sql.zvsqlGetError(call.handle()));
  zvJsonAddBigint(result, "total", total);
  zvJsonAdd(reply, "result", result);
}

void createTableRecord(SqlCallContext& context, json_object* reply, json_object* params) {
  TableCall call(context, reply);
  std::vector<Column> columns;
  int code = 0;
  if (!call.readTarget(params) || !call.newCommand(true)) return;
  if (!call.columns(columns, code)) return call.fail("createTableRecord", code);
  std::string names, values;
  json_object_object_foreach(params, key, value) {
    if (strcasecmp(key, "yxInfo") == 0 || strcasecmp(key, "rowid") == 0) continue;
    const Column* column = findColumn(columns, key, true);
    if (!column) continue;
    if (!names.empty()) names += ",", values += ",";
    names += sqlIdentifier(column->name);
    std::string text;
    bool present = valueText(value, text);
    if (column->type == "bit")
      values += present && text == "true" ? "1" : "0";
    else if (present && strcasecmp(text.c_str(), "(null)") != 0)
      values += sqlLiteral(text);
    else
      values += "NULL";
  }
  std::string statement = "insert into " + call.qualifiedName() + " (" + names + ") values(" + values + ")";
  code = sql.zvsqlExecuteDirect(call.command, statement.c_str());
  if (code != 0) call.fail("createTableRecord -> Execute", code);
  call.commitWhenAuto("createTableRecord -> Commit");
}

void updateTableRecord(SqlCallContext& context, json_object* reply, json_object* params) {
  TableCall call(context, reply);
  std::vector<Column> columns;
  int code = 0;
  if (!call.readTarget(params) || !call.newCommand(true)) return;
  if (!call.columns(columns, code)) return call.fail("updateTableRecord", code);
  std::string assignments, condition;
  std::vector<std::string> longValues;
  json_object_object_foreach(params, key, value) {
    std::string text;
    bool present = valueText(value, text);
    if (strcmp(key, "rowid") == 0) {
      if (!present || !isIntegerRowid(text.c_str()))
        return setExceptionReply(reply, context.tid, ZVSQL_BAD_ARGUMENT, "updateTableRecord", "Invalid rowid", kUnit);
      condition = " where rowid = " + text;
      continue;
    }
    if (strcmp(key, "yxInfo") == 0) continue;
    const Column* column = findColumn(columns, key, false);
    if (!column) continue;
    if (!assignments.empty()) assignments += ", ";
    assignments += sqlIdentifier(key) + " = ";
    if (column->type == "bit") {
      assignments += present && text == "true" ? "1" : "0";
    } else if (column->type == "binary" || column->type == "varbinary") {
      if (!isHexDigits(present ? text.c_str() : ""))
        return setExceptionReply(reply, context.tid, ZVSQL_BAD_ARGUMENT, "updateTableRecord",
                                 "Invalid hexadecimal value", kUnit);
      assignments += "x'" + text + "'";
    } else if (isLong(column->type)) {
      assignments += "?";
      longValues.push_back(text);
    } else {
      assignments += present ? sqlLiteral(text) : "NULL";
    }
  }
  // Without a row id the update would change every row of the table.
  if (condition.empty())
    return setExceptionReply(reply, context.tid, ZVSQL_BAD_ARGUMENT, "updateTableRecord", "Missing rowid", kUnit);
  std::string statement = "update " + call.qualifiedName() + " set " + assignments + condition;
  ZVSQL_CURSOR cursor = nullptr;
  if ((code = sql.zvsqlPrepare(call.command, statement.c_str())) != 0)
    return call.fail("updateTableRecord -> Prepare", code);
  if ((code = sql.zvsqlExecute(call.command, &cursor)) != 0) return call.fail("updateTableRecord -> Execute", code);
  for (size_t i = 0; i < longValues.size(); ++i) {
    code = sql.zvsqlSetBlob(call.command, int(i), longValues[i].data(), int(longValues[i].size()), 0);
    if (code != 0) return call.fail("updateTableRecord -> SetBlob", code);
  }
  if (call.commitWhenAuto("updateTableRecord -> Commit") && context.connection->autoCommit)
    sql.zvsqlSetIsolationLevel(call.handle(), context.connection->isolationLevel);
}

void deleteTableRecord(SqlCallContext& context, json_object* reply, json_object* params) {
  TableCall call(context, reply);
  json_object* rowidValue = nullptr;
  std::string rowid;
  if (!call.readTarget(params) || !zvJsonGetByName(params, "rowid", &rowidValue) || !valueText(rowidValue, rowid))
    return;
  if (!isIntegerRowid(rowid.c_str()))
    return setExceptionReply(reply, context.tid, ZVSQL_BAD_ARGUMENT, "deleteTableRecord", "Invalid rowid", kUnit);
  if (!call.newCommand(false)) return;
  std::string statement = "delete from " + call.qualifiedName() + " where rowid = " + rowid;
  int code = sql.zvsqlExecuteDirect(call.command, statement.c_str());
  if (code != 0) call.fail("deleteTableRecord -> Execute", code);
  call.commitWhenAuto("deleteTableRecord -> Commit");
}

}  // namespace plover
