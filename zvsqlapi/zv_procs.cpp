// The built-in procedures. "call p(args)" becomes "select * from p(args)":
// each procedure is a table-valued function of the connection whose hidden
// columns are its parameters and whose rows it computes when scanned.
#include "zv_core.h"

#include <strings.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace zvsql {

namespace {

constexpr size_t kBlockSize = 8192;  // characters per row of a long text

std::string argText(const std::vector<Value>& args, size_t i) {
  if (i >= args.size()) return "";
  if (std::holds_alternative<std::string>(args[i])) return std::get<std::string>(args[i]);
  if (std::holds_alternative<int64_t>(args[i])) return std::to_string(std::get<int64_t>(args[i]));
  return "";
}

std::string quoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string jsonText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\')
      out += '\\', out += char(c);
    else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else
      out += char(c);
  }
  return out + "\"";
}

// Cuts text into blocks of at most kBlockSize bytes, never inside a UTF-8 character.
std::vector<Row> blocks(const std::string& text) {
  std::vector<Row> rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = std::min(kBlockSize, text.size() - pos);
    while (n > 0 && pos + n < text.size() && (static_cast<unsigned char>(text[pos + n]) & 0xC0) == 0x80) --n;
    rows.push_back({text.substr(pos, n)});
    pos += n;
  }
  return rows;
}

// The statement text that a plan table row holds, for (table, statement id).
int planStatement(ConnectionContext& c, const std::string& table, const std::string& stmtId, std::string* query,
                  std::string* error) {
  std::string sql = "SELECT query_stmt FROM main." + quoteName(table) + " WHERE stmt_id = ?1 AND parent_id = -1";
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    *error = "Plan table [" + table + "] cannot be read: " + sqlite3_errmsg(c.db);
    sqlite3_finalize(s);
    return SQLITE_ERROR;
  }
  sqlite3_bind_text(s, 1, stmtId.c_str(), -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW && sqlite3_column_text(s, 0)) *query = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  sqlite3_finalize(s);
  if (rc != SQLITE_ROW) {
    *error = "No statement [" + stmtId + "] in plan table [" + table + "]";
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

struct PlanLine {
  int id, parent;
  std::string detail;
};

int explain(ConnectionContext& c, const std::string& query, std::vector<PlanLine>* lines, std::string* error) {
  Rewritten r = rewriteDialect(query);
  sqlite3_stmt* s = nullptr;
  const char* tail = nullptr;
  std::string sql = "EXPLAIN QUERY PLAN " + r.text;
  if (r.refused || sqlite3_prepare_v2(c.db, sql.c_str(), -1, &s, &tail) != SQLITE_OK) {
    *error = r.refused ? r.refusal : std::string("The plan cannot be made: ") + sqlite3_errmsg(c.db);
    sqlite3_finalize(s);
    return SQLITE_ERROR;
  }
  while (sqlite3_step(s) == SQLITE_ROW)
    lines->push_back(
        {sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), reinterpret_cast<const char*>(sqlite3_column_text(s, 3))});
  sqlite3_finalize(s);
  return SQLITE_OK;
}

// The plan of the statement that row (table, statement id) of a plan table holds.
int planOf(ConnectionContext& c, const std::vector<Value>& args, std::string* query, std::vector<PlanLine>* lines,
           std::string* error) {
  int rc = planStatement(c, argText(args, 1), argText(args, 2), query, error);
  return rc == SQLITE_OK ? explain(c, *query, lines, error) : rc;
}

std::string planJson(const std::vector<PlanLine>& lines, int parent) {
  std::string out = "[";
  bool first = true;
  for (const PlanLine& l : lines) {
    if (l.parent != parent) continue;
    if (!first) out += ",";
    first = false;
    out += "{\"id\":" + std::to_string(l.id) + ",\"detail\":" + jsonText(l.detail) +
           ",\"children\":" + planJson(lines, l.id) + "}";
  }
  return out + "]";
}

// The plan graph of a plan table's statement as JSON, cut in blocks.
int planGraph(ConnectionContext& c, const std::vector<Value>& a, std::vector<Row>* rows, std::string* error) {
  std::string query;
  std::vector<PlanLine> lines;
  int rc = planOf(c, a, &query, &lines, error);
  if (rc != SQLITE_OK) return rc;
  std::string json = "{\"query\":" + jsonText(query) + ",\"plan\":" + planJson(lines, 0) + "}";
  *rows = blocks(json);
  return SQLITE_OK;
}

std::vector<Procedure> makeProcedures() {
  std::vector<Procedure> p;
  p.push_back({"yx_set_nodename",
               {{"result", "INTEGER"}},
               {"node_name"},
               [](ConnectionContext& c, const std::vector<Value>& a, std::vector<Row>*, std::string*) {
                 c.nodeName = argText(a, 0);
                 return SQLITE_OK;
               }});
  p.push_back({"yx_db_version",
               {{"version", "INTEGER"}},
               {},
               [](ConnectionContext&, const std::vector<Value>&, std::vector<Row>* rows, std::string*) {
                 rows->push_back({int64_t(2)});  // tables carry their origin
                 return SQLITE_OK;
               }});
  p.push_back({"yx_get_dbList",
               {{"database_name", "VARCHAR(64)"}},
               {},
               [](ConnectionContext& c, const std::vector<Value>&, std::vector<Row>* rows, std::string*) {
                 for (const std::string& name : c.listDatabases()) rows->push_back({name});
                 return SQLITE_OK;
               }});
  p.push_back({"yx_get_userlist",
               {{"owner", "VARCHAR(64)"}},
               {},
               [](ConnectionContext&, const std::vector<Value>&, std::vector<Row>* rows, std::string*) {
                 rows->push_back({std::string(kCatalogOwner)});
                 rows->push_back({std::string(kUserOwner)});
                 return SQLITE_OK;
               }});
  p.push_back(
      {"sqlprocedurecols2x",
       {{"proc_name", "VARCHAR(64)"},
        {"id", "INTEGER"},
        {"argtype", "VARCHAR(16)"},
        {"col", "VARCHAR(64)"},
        {"datatype", "VARCHAR(32)"},
        {"width", "INTEGER"},
        {"scale", "INTEGER"}},
       {"qualifier", "qualifier_length", "owner", "owner_length", "procedure", "procedure_length", "column", "flags"},
       [](ConnectionContext& c, const std::vector<Value>& a, std::vector<Row>* rows, std::string* error) {
         const char* sql =
             "SELECT p.proc_name, c.id, c.argtype, c.col, c.datatype, c.width, c.scale FROM admin.sysprocedures"
             " p JOIN admin.sysproccolumns c ON c.proc_id = p.proc_id AND c.rssid = p.rssid WHERE p.owner = ?1"
             " AND p.proc_name = ?2 COLLATE NOCASE AND (?3 = '%' OR c.col LIKE ?3) ORDER BY c.id";
         sqlite3_stmt* s = nullptr;
         if (sqlite3_prepare_v2(c.db, sql, -1, &s, nullptr) != SQLITE_OK) {
           *error = sqlite3_errmsg(c.db);
           sqlite3_finalize(s);
           return SQLITE_ERROR;
         }
         std::string column = argText(a, 6).empty() ? "%" : argText(a, 6);
         sqlite3_bind_text(s, 1, argText(a, 2).c_str(), -1, SQLITE_TRANSIENT);
         sqlite3_bind_text(s, 2, argText(a, 4).c_str(), -1, SQLITE_TRANSIENT);
         sqlite3_bind_text(s, 3, column.c_str(), -1, SQLITE_TRANSIENT);
         while (sqlite3_step(s) == SQLITE_ROW) {
           Row r;
           for (int i = 0; i < 7; ++i) {
             if (sqlite3_column_type(s, i) == SQLITE_INTEGER)
               r.push_back(int64_t(sqlite3_column_int64(s, i)));
             else if (sqlite3_column_type(s, i) == SQLITE_NULL)
               r.push_back(Value());
             else
               r.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, i))));
           }
           rows->push_back(r);
         }
         sqlite3_finalize(s);
         return SQLITE_OK;
       }});
  p.push_back({"access_get_qep",
               {{"EXECUTION_PLAN", "VARCHAR(8192)"}},
               {"user", "qep_tbl", "stmt_id", "max_lines"},
               [](ConnectionContext& c, const std::vector<Value>& a, std::vector<Row>* rows, std::string* error) {
                 std::string query;
                 std::vector<PlanLine> lines;
                 int rc = planOf(c, a, &query, &lines, error);
                 if (rc != SQLITE_OK) return rc;
                 std::map<int, int> depth;
                 for (const PlanLine& l : lines) {
                   depth[l.id] = depth.count(l.parent) ? depth[l.parent] + 1 : 0;
                   rows->push_back({std::string(size_t(depth[l.id]) * 2, ' ') + l.detail});
                 }
                 return SQLITE_OK;
               }});
  return p;
}

// ---- the virtual table module ----

struct ProcTable {
  sqlite3_vtab base;
  const Procedure* procedure;
  ConnectionContext* context;
};

struct ProcCursor {
  sqlite3_vtab_cursor base;
  std::vector<Row> rows;
  size_t at = 0;
};

struct ModuleAux {
  Procedure procedure;
  ConnectionContext* context;
};

int procConnect(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char** err) {
  auto* a = static_cast<ModuleAux*>(aux);
  std::string sql = "CREATE TABLE x(";
  for (const ProcedureColumn& c : a->procedure.results) sql += quoteName(c.name) + " " + c.type + ",";
  for (size_t i = 0; i < a->procedure.parameters.size(); ++i) sql += "arg" + std::to_string(i) + " HIDDEN,";
  sql.back() = ')';
  int rc = sqlite3_declare_vtab(db, sql.c_str());
  if (rc != SQLITE_OK) return rc;
  auto* t = new ProcTable{};
  t->procedure = &a->procedure;
  t->context = a->context;
  *out = &t->base;
  (void)err;
  return SQLITE_OK;
}

int procDisconnect(sqlite3_vtab* v) {
  delete reinterpret_cast<ProcTable*>(v);
  return SQLITE_OK;
}

// Each argument is an equality constraint on its hidden column.
int procBestIndex(sqlite3_vtab* v, sqlite3_index_info* info) {
  auto* t = reinterpret_cast<ProcTable*>(v);
  int firstArg = int(t->procedure->results.size());
  int n = 0;
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    if (c.iColumn < firstArg || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (!c.usable) return SQLITE_CONSTRAINT;
    info->aConstraintUsage[i].argvIndex = c.iColumn - firstArg + 1;
    info->aConstraintUsage[i].omit = 1;
    info->idxNum |= 1 << (c.iColumn - firstArg);
    ++n;
  }
  info->estimatedCost = 10;
  info->estimatedRows = 10;
  return SQLITE_OK;
}

int procOpen(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  *out = &(new ProcCursor{})->base;
  return SQLITE_OK;
}

int procClose(sqlite3_vtab_cursor* c) {
  delete reinterpret_cast<ProcCursor*>(c);
  return SQLITE_OK;
}

int procFilter(sqlite3_vtab_cursor* cur, int idxNum, const char*, int argc, sqlite3_value** argv) {
  auto* c = reinterpret_cast<ProcCursor*>(cur);
  auto* t = reinterpret_cast<ProcTable*>(cur->pVtab);
  std::vector<Value> args(t->procedure->parameters.size());
  int k = 0;
  for (size_t i = 0; i < args.size() && k < argc; ++i) {
    if (!(idxNum & (1 << i))) continue;
    sqlite3_value* v = argv[k++];
    if (sqlite3_value_type(v) == SQLITE_INTEGER)
      args[i] = int64_t(sqlite3_value_int64(v));
    else if (sqlite3_value_type(v) != SQLITE_NULL)
      args[i] = std::string(reinterpret_cast<const char*>(sqlite3_value_text(v)));
  }
  c->rows.clear();
  c->at = 0;
  std::string error;
  int rc = t->procedure->run(*t->context, args, &c->rows, &error);
  if (rc != SQLITE_OK) {
    sqlite3_free(cur->pVtab->zErrMsg);
    cur->pVtab->zErrMsg = sqlite3_mprintf("%s", error.c_str());
  }
  return rc;
}

int procNext(sqlite3_vtab_cursor* cur) {
  ++reinterpret_cast<ProcCursor*>(cur)->at;
  return SQLITE_OK;
}

int procEof(sqlite3_vtab_cursor* cur) {
  auto* c = reinterpret_cast<ProcCursor*>(cur);
  return c->at >= c->rows.size();
}

int procColumn(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int i) {
  auto* c = reinterpret_cast<ProcCursor*>(cur);
  const Row& r = c->rows[c->at];
  if (size_t(i) >= r.size() || std::holds_alternative<std::monostate>(r[i]))
    sqlite3_result_null(ctx);
  else if (std::holds_alternative<int64_t>(r[i]))
    sqlite3_result_int64(ctx, std::get<int64_t>(r[i]));
  else
    sqlite3_result_text(ctx, std::get<std::string>(r[i]).c_str(), -1, SQLITE_TRANSIENT);
  return SQLITE_OK;
}

int procRowid(sqlite3_vtab_cursor* cur, sqlite3_int64* out) {
  *out = sqlite3_int64(reinterpret_cast<ProcCursor*>(cur)->at);
  return SQLITE_OK;
}

sqlite3_module makeModule() {
  sqlite3_module m{};
  m.iVersion = 0;
  m.xCreate = nullptr;  // eponymous only
  m.xConnect = procConnect;
  m.xBestIndex = procBestIndex;
  m.xDisconnect = procDisconnect;
  m.xOpen = procOpen;
  m.xClose = procClose;
  m.xFilter = procFilter;
  m.xNext = procNext;
  m.xEof = procEof;
  m.xColumn = procColumn;
  m.xRowid = procRowid;
  return m;
}

const sqlite3_module kModule = makeModule();

}  // namespace

const std::vector<Procedure>& builtInProcedures() {
  static const std::vector<Procedure> procedures = makeProcedures();
  return procedures;
}

int registerProcedure(sqlite3* db, ConnectionContext* context, Procedure procedure) {
  std::string name = procedure.name;
  auto* aux = new ModuleAux{std::move(procedure), context};
  return sqlite3_create_module_v2(db, name.c_str(), &kModule, aux, [](void* a) { delete static_cast<ModuleAux*>(a); });
}

int registerProcedures(sqlite3* db, ConnectionContext* context) {
  for (const Procedure& p : builtInProcedures()) {
    int rc = registerProcedure(db, context, p);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

Procedure storedProcedure(const RoutineDefinition& routine) {
  Procedure p{routine.name, {}, {}, nullptr};
  for (const RoutineColumn& c : routine.columns) {
    if (c.argtype == "result")
      p.results.push_back({c.name, c.declared});
    else if (c.argtype != "udf_return")
      p.parameters.push_back(c.name);
  }
  if (p.results.empty()) p.results.push_back({"result", "INTEGER"});  // a table needs a column
  if (runsPlanGraph(routine)) {
    p.run = planGraph;
  } else {
    std::string name = routine.name;
    p.run = [name](ConnectionContext&, const std::vector<Value>&, std::vector<Row>*, std::string* error) {
      *error = "The body of \"" + name + "\" is in a procedure language this server does not run";
      return SQLITE_ERROR;
    };
  }
  return p;
}

}  // namespace zvsql
