// The SQL script that recreates a table (columns, keys, checks, indexes,
// foreign keys, synonyms, grants and on request its rows) or a view, from
// the server's catalog. Names from the request reach the catalog queries as
// quoted literals; names in the script are written quoted.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <new>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr const char* kUnit = "ploversqlscripts";
constexpr int kCannotGrow = 1100;

// Defaults written as they are: the catalog's names of values the server computes.
const char* const kDefaultKeywords[] = {"user", "null", "uid", "sysdate", "systime", "systimestamp"};

// Types written with their width (and scale when above 0).
const char* const kSizedTypes[] = {"character", "nchar", "varchar", "national varchar", "binary",
                                   "varbinary", "float", "numeric", "decimal"};

template <size_t N>
bool equalsAny(const std::string& text, const char* const (&words)[N]) {
  for (const char* word : words)
    if (strcasecmp(text.c_str(), word) == 0) return true;
  return false;
}

// A constraint name as written after "constraint": bare when it is a plain word.
std::string constraintName(const std::string& name) {
  bool plain = !name.empty() && !isdigit(static_cast<unsigned char>(name[0]));
  for (char c : name) plain &= isalnum(static_cast<unsigned char>(c)) || c == '_';
  return plain ? name : sqlIdentifier(name);
}

std::string joinedNames(const std::vector<SqlRow>& rows) {
  std::string out;
  for (const SqlRow& row : rows) out += (out.empty() ? "" : ", ") + sqlIdentifier(cellText(row, 0));
  return out;
}

// The catalog queries of one script, and the code of the last one run.
struct Catalog {
  SqlScriptContext& context;
  int code = 0;
  bool rows(const std::string& statement, std::vector<SqlRow>& out) {
    out.clear();
    return queryRows(context.connection, statement, out, code);
  }
};

std::string columnLine(const SqlRow& row) {
  std::string type = cellText(row, 1);
  std::string line = "\t" + sqlIdentifier(cellText(row, 0));
  line += strcasecmp(type.c_str(), "double") == 0 ? " double precision" : " " + type;
  int width = cellInt(row, 2, 0), scale = cellInt(row, 3, 0);
  if (isSizedType(type))
    line += "(" + std::to_string(width) + (scale > 0 ? "," + std::to_string(scale) : "") + ")";
  else if (strcasecmp(type.c_str(), "money") == 0)
    line += "(" + std::to_string(width) + ")";
  if (strcasecmp(cellText(row, 4).c_str(), "N") == 0) line += " not null";
  std::string dflt = cellText(row, 5);
  if (!dflt.empty()) {
    // The catalog keeps a literal with its delimiters; a keyword stands alone.
    if (equalsAny(dflt, kDefaultKeywords))
      line += " default " + dflt;
    else
      line += " default '" + (dflt.size() >= 2 ? dflt.substr(1, dflt.size() - 2) : std::string()) + "'";
  }
  if (cellInt(row, 6, -1) >= 0)
    line += " identity (" + std::to_string(cellInt(row, 7, 0)) + "," + std::to_string(cellInt(row, 8, 0)) + ")";
  return line;
}

std::string keyColumnQuery(const std::string& owner, const std::string& table, const std::string& constraint) {
  return "select colname from admin.sys_keycol_usage where owner = " + sqlLiteral(owner) +
         " and tblname = " + sqlLiteral(table) + " and cnstrname = " + sqlLiteral(constraint) + " order by colposition";
}

std::string constraintsOfType(const std::string& owner, const std::string& table, char type) {
  return "select cnstrname, idxname from admin.sys_tbl_constrs where owner = " + sqlLiteral(owner) +
         " and tblname = " + sqlLiteral(table) + " and cnstrtype = '" + type + "'";
}

// Primary key ('P') or unique ('U') constraints, inside the create statement;
// the code of the last query.
int keyConstraints(Catalog& catalog, const std::string& owner, const std::string& table, char type) {
  std::vector<SqlRow> constraints, columns;
  if (!catalog.rows(constraintsOfType(owner, table, type), constraints)) return catalog.code;
  for (const SqlRow& c : constraints) {
    catalog.context.constraintIndexes.push_back(cellText(c, 1));
    if (!catalog.rows(keyColumnQuery(owner, table, cellText(c, 0)), columns)) continue;
    appendScript(catalog.context, ", \nconstraint " + constraintName(cellText(c, 0)) +
                                      (type == 'P' ? " primary key (" : " unique (") + joinedNames(columns) + ")");
  }
  return catalog.code;
}

// The code of the last query.
int checkConstraints(Catalog& catalog, const std::string& owner, const std::string& table) {
  std::vector<SqlRow> constraints, clauses;
  if (!catalog.rows(constraintsOfType(owner, table, 'C'), constraints)) return catalog.code;
  for (const SqlRow& c : constraints) {
    std::string name = cellText(c, 0);
    catalog.context.constraintIndexes.push_back(name);
    if (!catalog.rows("select chkclause from admin.sys_chk_constrs where owner = " + sqlLiteral(owner) +
                          " and tblname = " + sqlLiteral(table) + " and cnstrname = " + sqlLiteral(name),
                      clauses))
      continue;
    std::string text = ",\n";
    if (strncasecmp(name.c_str(), "sys_", 4) != 0) text += "constraint " + constraintName(name) + " ";
    text += "check ";
    for (size_t i = 0; i < clauses.size(); ++i) text += (i ? ", " : "") + cellText(clauses[i], 0);
    appendScript(catalog.context, text);
  }
  return catalog.code;
}

bool madeByConstraint(const SqlScriptContext& context, const std::string& index) {
  for (const std::string& name : context.constraintIndexes)
    if (strcasecmp(name.c_str(), index.c_str()) == 0) return true;
  return false;
}

// The indexes that no key constraint makes. Their failures leave them out.
void indexes(SqlScriptContext& context, const std::string& owner, const std::string& table) {
  Catalog catalog{context};
  std::vector<SqlRow> list, columns;
  if (!catalog.rows("select idxname, idxowner, idxtype, idxcompress, idxattrib from admin.sysindexes  where "
                    "tblowner = " +
                        sqlLiteral(owner) + " and tbl = " + sqlLiteral(table) + "  and idxseq = 0 order by idxname",
                    list))
    return;
  for (const SqlRow& index : list) {
    std::string name = cellText(index, 0);
    if (madeByConstraint(context, name)) continue;
    std::string text = "create ";
    if (strcasecmp(cellText(index, 2).c_str(), "U") == 0) text += "unique ";
    text += "index " + qualifiedName(owner, name) + " on " + qualifiedName(owner, table) + " ";
    if (catalog.rows("select colname, idxorder from admin.sysindexes where tblowner = " + sqlLiteral(owner) +
                         " and tbl = " + sqlLiteral(table) + " and idxname = " + sqlLiteral(name) + " order by idxseq",
                     columns)) {
      std::string keys;
      // A descending key stays descending in the copy.
      for (const SqlRow& key : columns)
        keys += (keys.empty() ? "" : ", ") + sqlIdentifier(cellText(key, 0)) +
                (strcasecmp(cellText(key, 1).c_str(), "D") == 0 ? " desc" : "");
      text += "(" + keys + ")";
    }
    std::string attributes = cellText(index, 4);
    text += attributes.empty() ? ";\n" : "\nSTORAGE_ATTRIBUTES '" + attributes + "';\n";
    appendScript(context, text);
  }
}

// The code of the last referenced key-column query.
int foreignKeys(Catalog& catalog, const std::string& owner, const std::string& table) {
  std::vector<SqlRow> constraints, columns, references;
  if (!catalog.rows(constraintsOfType(owner, table, 'F'), constraints)) return catalog.code;
  for (const SqlRow& c : constraints) {
    std::string name = cellText(c, 0);
    std::string text =
        " alter table " + qualifiedName(owner, table) + " add constraint " + constraintName(name) + " foreign key (";
    if (catalog.rows(keyColumnQuery(owner, table, name), columns)) text += joinedNames(columns);
    text += ")";
    std::string refOwner, refConstraint, refTable;
    if (catalog.rows(
            "select refowner,refcnstrname,reftblname from admin.sys_ref_constrs where owner = " + sqlLiteral(owner) +
                " and tblname = " + sqlLiteral(table) + " and cnstrname = " + sqlLiteral(name),
            references) &&
        !references.empty()) {
      refOwner = cellText(references.back(), 0);
      refConstraint = cellText(references.back(), 1);
      refTable = cellText(references.back(), 2);
    }
    text += " references " + qualifiedName(refOwner, refTable) + " ";
    if (catalog.rows(keyColumnQuery(refOwner, refTable, refConstraint), columns) && !columns.empty())
      text += " (" + joinedNames(columns) + ")";
    appendScript(catalog.context, text + ";\n");
  }
  return catalog.code;
}

void synonyms(SqlScriptContext& context, const std::string& owner, const std::string& table) {
  Catalog catalog{context};
  std::vector<SqlRow> list;
  if (!catalog.rows("select sname, sowner, screator, ispublic, sremdb from admin.syssynonyms where stblowner = " +
                        sqlLiteral(owner) + " and stbl = " + sqlLiteral(table) + " order by sname",
                    list))
    return;
  for (const SqlRow& s : list)
    appendScript(context, std::string("\ncreate ") + (cellInt(s, 3, 0) == 1 ? "public " : "") + "synonym " +
                              qualifiedName(owner, cellText(s, 0)) + " for " + qualifiedName(owner, table) + ";");
}

void grants(SqlScriptContext& context, const std::string& owner, const std::string& table) {
  appendScript(context, "\n");
  Catalog catalog{context};
  std::vector<SqlRow> list;
  if (!catalog.rows(
          "select grantee, sel, ins, del, upd, ndx, alt from admin.systabauth where tbl =  " + sqlLiteral(table) +
              " and tblowner = " + sqlLiteral(owner) + " and grantee != " + sqlLiteral(owner) + " order by grantee",
          list))
    return;
  static const char* const kPrivileges[] = {"select", "insert", "delete", "update"};
  for (const SqlRow& g : list)
    for (size_t p = 0; p < 4; ++p) {
      std::string mark = cellText(g, p + 1);
      bool withGrant = strcasecmp(mark.c_str(), "g") == 0;
      if (!withGrant && strcasecmp(mark.c_str(), "y") != 0) continue;
      appendScript(context, std::string(" \ngrant ") + kPrivileges[p] + " on " + qualifiedName(owner, table) + " to " +
                                cellText(g, 0) + (withGrant ? " with grant option;" : ";"));
    }
}

struct TableRequest {
  std::string owner, table;
  bool withGrants = false, dumpRows = false;
  int commitFrequency = 0;
};

// The table script; the code of a failed column, flag, key, check or
// foreign-key query, else 0.
int tableScript(SqlScriptContext& context, const TableRequest& r) {
  Catalog catalog{context};
  std::vector<SqlRow> rows;
  bool columnsRead = catalog.rows(
      "select col, coltype, width, scale, nullflag, dflt_value, colid, seed, incr from admin.syscolumns cols left "
      "join admin.sysidentity ids on cols.owner = ids.owner and cols.tbl = ids.tbl and cols.id = ids.colid where "
      "cols.tbl = " +
          sqlLiteral(r.table) + " and cols.owner = " + sqlLiteral(r.owner) + " order by id",
      rows);
  int code = catalog.code;
  bool hasP = false, hasF = false, hasC = false, hasU = false;
  if (columnsRead) {
    context.script = "create table " + qualifiedName(r.owner, r.table) + " (\n";
    for (size_t i = 0; i < rows.size(); ++i) appendScript(context, (i ? ",\n" : "") + columnLine(rows[i]));
    if (catalog.rows("select has_pcnstrs, has_fcnstrs, has_ccnstrs, has_ucnstrs from admin.systables where tbltype "
                     "= 'T' and tbl =" +
                         sqlLiteral(r.table) + " and owner =" + sqlLiteral(r.owner),
                     rows))
      for (const SqlRow& flags : rows) {
        auto on = [&](size_t i) { return strcasecmp(cellText(flags, i).c_str(), "Y") == 0; };
        hasP = on(0), hasF = on(1), hasC = on(2), hasU = on(3);
      }
    code = catalog.code;
  }
  if (hasP) code = keyConstraints(catalog, r.owner, r.table, 'P');
  if (hasU) code = keyConstraints(catalog, r.owner, r.table, 'U');
  if (hasC) code = checkConstraints(catalog, r.owner, r.table);
  appendScript(context, "\n)");
  if (catalog.rows("select tbl_attrib from admin.systables where owner = " + sqlLiteral(r.owner) +
                       " and tbl = " + sqlLiteral(r.table),
                   rows))
    for (const SqlRow& attributes : rows)
      if (!cellText(attributes, 0).empty())
        appendScript(context, "\nSTORAGE_ATTRIBUTES '" + cellText(attributes, 0) + "'\n");
  appendScript(context, ";\n");
  indexes(context, r.owner, r.table);
  if (hasF) code = foreignKeys(catalog, r.owner, r.table);
  if (r.dumpRows) dumpTableRows(context.connection, r.owner, r.table, r.commitFrequency, context.script);
  synonyms(context, r.owner, r.table);
  if (r.withGrants) grants(context, r.owner, r.table);
  return code;
}

// The view script; it reports nothing: a failing query leaves its part out.
void viewScript(SqlScriptContext& context, const std::string& owner, const std::string& view) {
  Catalog catalog{context};
  std::vector<SqlRow> rows, columns;
  if (catalog.rows("select viewtext from admin.sysviews where viewname = " + sqlLiteral(view) +
                       " and owner = " + sqlLiteral(owner),
                   rows)) {
    context.script = "create view " + qualifiedName(owner, view) + " (\n";
    if (catalog.rows("select col from admin.syscolumns where tbl = " + sqlLiteral(view) +
                         " and owner = " + sqlLiteral(owner) + " order by id",
                     columns)) {
      std::string list;
      for (const SqlRow& c : columns) list += (list.empty() ? "\t" : ",\n\t") + sqlIdentifier(cellText(c, 0));
      appendScript(context, list + "\n)");
    }
    appendScript(context, " as\n" + (rows.empty() ? std::string() : cellText(rows[0], 0)));
  }
  if (catalog.rows("select tbltype from admin.systables where tbl = " + sqlLiteral(view) +
                       " and owner = " + sqlLiteral(owner) + " and (tbltype = 'V' or tbltype = 'C')",
                   rows)) {
    if (!rows.empty() && strcasecmp(cellText(rows[0], 0).c_str(), "C") == 0)
      appendScript(context, " with check option");
    appendScript(context, ";");
  }
}

std::string requestText(json_object* object, const char* key, bool& present) {
  const char* value = nullptr;
  present = zvJsonGetStringByName(object, key, &value) && value;
  return present ? value : "";
}

}  // namespace

bool isSizedType(const std::string& type) { return equalsAny(type, kSizedTypes); }

std::string cellText(const SqlRow& row, size_t column) {
  return column < row.size() && row[column] ? *row[column] : "";
}

int cellInt(const SqlRow& row, size_t column, int absent) {
  return column < row.size() && row[column] ? atoi(row[column]->c_str()) : absent;
}

std::string qualifiedName(const std::string& owner, const std::string& name) {
  return sqlIdentifier(owner) + "." + sqlIdentifier(name);
}

int appendScript(SqlScriptContext& context, const std::string& text) {
  if (context.script.size() + text.size() > kMaxScriptBytes) return kCannotGrow;
  try {
    context.script += text;  // the string grows geometrically
  } catch (const std::bad_alloc&) {
    return kCannotGrow;
  }
  return 0;
}

void getSqlScript(SqlCallContext& call, json_object* reply, json_object* params) {
  SqlScriptContext context{call, {}, {}};
  json_object* yxInfo = nullptr;
  bool hasType = false, hasOwner = false, hasName = false;
  std::string type, owner, name;
  if (zvJsonGetByName(params, "yxInfo", &yxInfo) && json_object_is_type(yxInfo, json_type_object)) {
    type = requestText(yxInfo, "objectType", hasType);
    owner = requestText(yxInfo, "objectOwner", hasOwner);
    name = requestText(yxInfo, "objectName", hasName);
  }
  if (hasType && hasOwner && hasName) {
    bool withGrants = false;
    zvJsonGetBooleanByName(yxInfo, "objectPerms", &withGrants);
    if (strcasecmp(type.c_str(), "TABLE") == 0) {
      TableRequest table{owner, name, withGrants};
      zvJsonGetBooleanByName(yxInfo, "dumpRows", &table.dumpRows);
      zvJsonGetIntByName(yxInfo, "commitFrequency", &table.commitFrequency);
      int code = tableScript(context, table);
      if (code != 0) {
        setExceptionReply(reply, call.tid, code, "getSqlScript", sql.zvsqlGetErrorMessage(call.connection->handle),
                          kUnit);
        return;
      }
    } else if (strcasecmp(type.c_str(), "VIEW") == 0) {
      viewScript(context, owner, name);
      if (withGrants) grants(context, owner, name);
    } else if (strcasecmp(type.c_str(), "UPROCEDURE") == 0 || strcasecmp(type.c_str(), "UDF") == 0 ||
               strcasecmp(type.c_str(), "TRIGGER") == 0) {
      routineScript(context, owner, name, type, withGrants);
    }
  }
  json_object* result = zvJsonAlloc();
  zvJsonAddString(result, "text", context.script.c_str());
  zvJsonAdd(reply, "result", result);
}

}  // namespace plover
