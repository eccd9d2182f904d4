// Details of a tree node for the console's grid (the objects of a folder,
// the parts of an object), and the query plan of a plan table's statement
// as text rows or as a graph. Names from the request are quoted as SQL
// literals or identifiers, never pasted into the statements.
#include <strings.h>

#include <cstring>
#include <vector>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr const char* kUnit = "plover";
constexpr size_t kPlanGraphLimit = 1048576;  // bytes of gathered plan graph text

// The stored procedure behind the plan graph, created the first time its call fails to prepare.
const char* const kPlanGraphProcedure =
    "CREATE PROCEDURE \"admin\".\"access_get_qep_graph\" ( \n"
    "IN\t\"user\" char(64), \n"
    "IN\t\"qep_tbl\" char(64), \n"
    "IN\t\"query_id\" integer \n"
    ") \n"
    "RESULT( \n"
    "\"block\" varchar(8192) \n"
    ") \n"
    "IMPORT \n"
    "import quarn.sqlsp.*; \n"
    "import execPlanGraph.*; \n"
    "BEGIN \n"
    "QEPTree tree = new QEPTree(user, qep_tbl, query_id); \n"
    "int lastIndex = tree.jsonText.length() - 1; \n"
    "int j = 0; \n"
    "int blockSize = 1000; \n"
    "String chunk; \n"
    "for (j = 0; j < lastIndex - blockSize; j += blockSize) { \n"
    "chunk = tree.jsonText.substring(j, j + blockSize); \n"
    "SQLResultSet.set(1, chunk); \n"
    "SQLResultSet.insert(); \n"
    "} \n"
    "chunk = tree.jsonText.substring(j); \n"
    "SQLResultSet.set(1, chunk); \n"
    "SQLResultSet.insert(); \n"
    "END \n";

std::string textMember(json_object* object, const char* key) {
  const char* value = nullptr;
  return object && zvJsonGetStringByName(object, key, &value) && value ? value : "";
}

size_t characterCount(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The node of a getObjectsInfo request.
struct ObjectNode {
  json_object* yxInfo = nullptr;
  int type = 0;
  std::string owner, table, name;  // name: the object the request's option names
  std::string indexTable;          // yxInfo.tbl, for an index under a table
  bool hasIndexTable = false;
  bool withRowCounts = false;
};

const char* const kColumnQuery =
    "select id, col, coltype, case when coltype='lvarbinary' or coltype='lvarchar' then cast(4294967296 as BIGINT) "
    "else cast(width as BIGINT) end as width, scale, dflt_value, nullflag, case when colid is null then 'N' else "
    "'Y' end as 'identity', seed, incr, charset, collation from admin.syscolumns cols left join admin.sysidentity "
    "ids on cols.owner = ids.owner and cols.tbl = ids.tbl and cols.id = ids.colid ";

const char* const kIndexList =
    "select i.id, i.idxname, i.idxowner, i.tbl, i.tblowner, i.idxtype, i.idxorder, i.idxcompress, i.idxmethod,  "
    "i.rssid from admin.sysindexes i, admin.systables t ";

const char* const kIndexSegments =
    "select distinct a.colname, b.coltype, a.idxseq, a.idxname, a.idxowner, a.tbl, a.tblowner, a.idxtype, a.id, "
    "a.idxsegid, a.idxorder, a.idxcompress, a.idxmethod, a.rssid from admin.sysindexes a, admin.syscolumns b where ";

std::string procedureList(const std::string& owner, const char* procType) {
  return "select * from admin.sysprocedures where owner = " + sqlLiteral(owner) + " and proc_type = '" + procType +
         "' order by proc_name";
}

std::string indexSegments(const ObjectNode& n, bool ofTable) {
  std::string text =
      std::string(kIndexSegments) + " a.idxowner = " + sqlLiteral(n.owner) + " and a.idxname = " + sqlLiteral(n.name);
  if (ofTable) text += " and a.tbl = " + sqlLiteral(n.indexTable);
  return text + " and a.tbl = b.tbl and a.colname = b.col order by idxseq";
}

// The catalog statement of a node type; empty for a type without one.
std::string objectsStatement(const ObjectNode& n) {
  std::string owner = sqlLiteral(n.owner);
  switch (n.type) {
    case 3:
    case 5:
      return "select * from admin.systables where owner = " + owner + " and tbltype = '" + (n.type == 3 ? "T" : "S") +
             "' order by tbl";
    case 4:
    case 6:
    case 8:
      return std::string(kColumnQuery) + " where cols.tbl = " + sqlLiteral(n.table) + " and cols.owner = " + owner +
             " order by id";
    case 7:
      return "select * from admin.systables where owner = " + owner +
             " and (tbltype = 'V' or tbltype = 'C') order by tbl";
    case 9:
      return procedureList(n.owner, "built_in");
    case 11:
      return procedureList(n.owner, "stored");
    case 13:
      return procedureList(n.owner, "udf");
    case 10:
    case 12:
    case 14:
      return "call admin.sqlprocedurecols2x('', 0, " + owner + ", " + std::to_string(characterCount(n.owner)) + ", " +
             sqlLiteral(n.name) + ", " + std::to_string(characterCount(n.name)) + ", '%', 1)";
    case 15:
    case 17:
      return std::string(kIndexList) + " where tblowner = " + owner + " and idxseq = 0 and i.tbl = t.tbl and " +
             (n.type == 15 ? "t.tbltype = 'S'" : "t.tbltype <> 'S'") + " order by i.idxname";
    case 16:
    case 18:
      return indexSegments(n, false);
    case 20:
      return indexSegments(n, true);
    case 21:
      return "select * from admin.syssynonyms where sowner = " + owner + " order by sname";
    case 22:
      return "select * from admin.syssynonyms where sowner = " + owner + " and sname = " + sqlLiteral(n.name);
    case 23:
      return "select * from admin.systrigger where owner = " + owner + " order by triggername";
    case 24:
      return "select * from admin.systrigcols where owner = " + owner + " and triggername = " + sqlLiteral(n.name);
    case 25:
      return "select distinct tbl from admin.syscolumns where owner = " + owner + " and col='query_stmt' order by tbl";
    case 26:
      return "select stmt_id, query_stmt from " + sqlIdentifier(n.owner) + "." + sqlIdentifier(n.name) +
             " where parent_id = -1";
    case 28:
    case 29:
      return "select * from admin.sysindexes  where tblowner = " + owner + " and tbl = " + sqlLiteral(n.table) +
             " and idxseq = 0 order by idxname ";
    default:
      return "";
  }
}

// The grid of a node type without a statement: one blank column, no rows.
json_object* emptyGrid() {
  json_object* column = zvJsonAlloc();
  zvJsonAddString(column, "dataIndex", "field1");
  zvJsonAddInt(column, "flex", 1);
  zvJsonAddBoolean(column, "sortable", 0);
  zvJsonAddBoolean(column, "hideable", 0);
  zvJsonAddInt(column, "height", 22);
  zvJsonAddString(column, "text", "");
  json_object* columns = zvJsonAllocArray();
  zvJsonArrayAdd(columns, column);
  json_object* meta = zvJsonAlloc();
  zvJsonAdd(meta, "columns", columns);
  zvJsonAdd(meta, "fields", zvJsonAllocArray());
  json_object* grid = zvJsonAlloc();
  zvJsonAdd(grid, "metaData", meta);
  zvJsonAdd(grid, "rows", zvJsonAllocArray());
  return grid;
}

json_object* gridColumns(json_object* grid) {
  json_object *meta = nullptr, *columns = nullptr;
  if (!grid || !zvJsonGetByName(grid, "metaData", &meta) || !zvJsonGetByName(meta, "columns", &columns) ||
      !json_object_is_type(columns, json_type_array))
    return nullptr;
  return columns;
}

// Each table row of the list gets "rows": its count, or "n.a." when it cannot be counted.
void addRowCounts(PooledConnection* connection, const std::string& owner, json_object* rows) {
  for (int i = 0; i < zvJsonArrayLength(rows); ++i) {
    json_object* row = zvJsonArrayGetIdx(rows, i);
    zvJsonAddString(row, "rows", "n.a.");
    const char* table = nullptr;
    if (!zvJsonGetStringByName(row, "tbl", &table) || !table) continue;
    std::vector<SqlRow> counted;
    int code = 0;
    if (!queryRows(connection, "select count(*) as nbrofrows from " + sqlIdentifier(owner) + "." + sqlIdentifier(table),
                   counted, code))
      continue;
    for (const SqlRow& count : counted)
      if (!count.empty() && count[0]) zvJsonAddBigint(row, "rows", strtoll(count[0]->c_str(), nullptr, 10));
  }
}

bool readObjectNode(json_object* params, ObjectNode& n) {
  json_object *yxInfo = nullptr, *id = nullptr, *type = nullptr;
  if (!zvJsonGetByName(params, "yxInfo", &yxInfo) || !json_object_is_type(yxInfo, json_type_object) ||
      !zvJsonGetByName(yxInfo, "nodeId", &id) || !json_object_is_type(id, json_type_object) ||
      !zvJsonGetByName(id, "type", &type) || !json_object_is_type(type, json_type_int))
    return false;
  n.yxInfo = yxInfo;
  n.type = zvJsonGetInt(type);
  n.owner = textMember(id, "user");
  n.table = textMember(id, "table");
  if (n.type == 4 || n.type == 6 || n.type == 8) {
    const char* name = nullptr;
    if (zvJsonGetStringByName(id, "name", &name) && name) n.table = name;
  }
  const char* tbl = nullptr;
  n.hasIndexTable = zvJsonGetStringByName(yxInfo, "tbl", &tbl) && tbl;
  if (n.hasIndexTable) n.indexTable = tbl;
  json_object* option = nullptr;
  if (zvJsonGetByName(params, "yxOption", &option)) {
    if (json_object_is_type(option, json_type_boolean))
      n.withRowCounts = zvJsonGetBoolean(option);
    else if (json_object_is_type(option, json_type_string))
      n.name = zvJsonGetString(option);
  }
  return true;
}

void setNullResult(json_object* reply) { zvJsonAdd(reply, "result", nullptr); }

}  // namespace

void getObjectsInfo(SqlCallContext& context, json_object* reply, json_object* params) {
  ObjectNode n;
  if (!readObjectNode(params, n)) return setNullResult(reply);
  if (n.type == 20 && !n.hasIndexTable) return setNullResult(reply);
  std::string statement = objectsStatement(n);
  if (statement.empty()) {
    zvJsonAdd(reply, "result", emptyGrid());
    return;
  }
  json_object* grid = renderGridResult(context.connection, statement, -1, n.yxInfo, n.type, true);
  json_object* columns = gridColumns(grid);
  if ((n.type == 3 || n.type == 5) && zvJsonArrayLength(columns) > 0) {
    if (!n.withRowCounts) {
      zvJsonAddBoolean(zvJsonArrayGetIdx(columns, 0), "hidden", 1);
    } else {
      json_object* rows = nullptr;
      if (zvJsonGetByName(grid, "rows", &rows)) addRowCounts(context.connection, n.owner, rows);
    }
  }
  zvJsonAdd(reply, "result", grid);
}

void getExecPlanText(SqlCallContext& context, json_object* reply, json_object* params) {
  json_object* yxInfo = nullptr;
  if (!zvJsonGetByName(params, "yxInfo", &yxInfo) || !json_object_is_type(yxInfo, json_type_object))
    return setNullResult(reply);
  std::string call = "call admin.access_get_qep(" + sqlLiteral(textMember(yxInfo, "user")) + "," +
                     sqlLiteral(textMember(yxInfo, "qepTbl")) + "," + sqlLiteral(textMember(yxInfo, "stmtId")) +
                     ",2000)";
  std::vector<SqlRow> rows;
  int code = 0;
  if (!queryRows(context.connection, call, rows, code)) return setNullResult(reply);
  json_object* lines = zvJsonAllocArray();
  for (const SqlRow& row : rows) {
    json_object* line = zvJsonAlloc();
    zvJsonAddString(line, "EXECUTION_PLAN", row.empty() || !row[0] ? "" : row[0]->c_str());
    zvJsonArrayAdd(lines, line);
  }
  zvJsonAdd(reply, "result", lines);
}

void getExecPlanGraph(SqlCallContext& context, json_object* reply, json_object* params) {
  std::string gathered;
  json_object* yxInfo = nullptr;
  if (zvJsonGetByName(params, "yxInfo", &yxInfo) && json_object_is_type(yxInfo, json_type_object)) {
    PooledConnection* connection = context.connection;
    CommandPtr command(sql.zvsqlNewCommand(connection->handle));
    if (command) sql.zvsqlSetTimeout(command.get(), connection->queryTimeout);
    std::string call = "call access_get_qep_graph(" + sqlLiteral(textMember(yxInfo, "user")) + "," +
                       sqlLiteral(textMember(yxInfo, "qepTbl")) + "," + sqlLiteral(textMember(yxInfo, "queryId")) + ")";
    auto fail = [&](int code, const char* where) {
      setExceptionReply(reply, context.tid, code, where, sql.zvsqlGetErrorMessage(connection->handle), kUnit);
    };
    ZVSQL_CURSOR cursor = nullptr;
    int code = command ? sql.zvsqlPrepare(command.get(), call.c_str()) : -1;
    if (command && code != 0) {
      // First use on this database: create the procedure, then call it.
      code = sql.zvsqlExecuteDirect(command.get(), kPlanGraphProcedure);
      if (code != 0) {
        fail(code, "Unable to create stored procedure\"access_get_qep_graph\"");
      } else {
        if (connection->autoCommit) sql.zvsqlCommit(connection->handle);
        code = sql.zvsqlPrepare(command.get(), call.c_str());
        if (code != 0) fail(code, "");
      }
    }
    if (command && code == 0) {
      code = sql.zvsqlExecute(command.get(), &cursor);
      if (code != 0) fail(code, "");
    }
    if (cursor) {
      std::vector<char> block;
      while (sql.zvsqlNext(cursor) == 0) {
        block.assign(size_t(std::max(sql.zvsqlGetColumnLength(cursor, 0), 0)) + 1, '\0');
        if (sql.zvsqlGetChar(cursor, 0, block.data(), int32_t(block.size())) != 0) continue;
        size_t length = strnlen(block.data(), block.size());
        if (gathered.size() + length > kPlanGraphLimit) {  // past the limit the text is not whole: no graph
          gathered.clear();
          break;
        }
        gathered.append(block.data(), length);
      }
      sql.zvsqlFreeCursor(cursor);
    }
  }
  zvJsonAdd(reply, "result", gathered.empty() ? nullptr : zvJsonFromString(gathered.c_str()));
}

}  // namespace plover
