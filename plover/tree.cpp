// The console's object tree: the children of one node, read from the
// server's catalog (the owner "admin") and its procedures. The tree reports
// no errors: a statement that fails leaves its list null or its part out.
#include <algorithm>
#include <cstring>
#include <set>

#include "VOKTBasic.h"
#include "plover.h"

namespace plover {

namespace {

constexpr const char* kAdmin = "admin";

struct Folder {
  int type;
  const char* text;
  const char* icon;
  const char* objectIcon;
  const char* qtip;
  const char* statement;  // its %s is the owner, quoted as a literal
  bool adminOnly;
};

const Folder kFolders[] = {
    {3, "Tables", "resources/images/tables.png", "resources/images/table.png", "Table",
     "select tbl from admin.systables where owner = %s and tbltype = 'T' order by 1", false},
    {5, "System Tables", "resources/images/tablesplus.png", "resources/images/tableplus.png", "System Table",
     "select tbl from admin.systables where owner = %s and tbltype = 'S' order by 1", true},
    {7, "Views", "resources/images/views.png", "resources/images/view.png", "View",
     "select tbl from admin.systables where owner = %s and (tbltype = 'V' or tbltype = 'C') order by 1", false},
    {9, "Built-in Procedures", "resources/images/bprocedures.png", "resources/images/bprocedure.png",
     "Built-in stored procedure",
     "select proc_name from admin.sysprocedures where owner = %s and proc_type = 'built_in'  order by 1", true},
    {11, "Procedures", "resources/images/uprocedures.png", "resources/images/uprocedure.png", "Stored procedure",
     "select proc_name from admin.sysprocedures where owner = %s and proc_type = 'stored'  order by 1", false},
    {13, "User Defined Functions", "resources/images/udfs.png", "resources/images/udf.png", "User Defined Function",
     "select proc_name from admin.sysprocedures where owner = %s and proc_type = 'udf'  order by 1", false},
    {17, "Indexes", "resources/images/indexes.png", "resources/images/index.png", "Index",
     "select admin.sysindexes.idxname, admin.sysindexes.tbl from admin.sysindexes, admin.systables where tblowner = "
     "%s and idxseq = 0 and admin.sysindexes.tbl = admin.systables.tbl and admin.systables.tbltype <> 'S'  order by 1",
     false},
    {15, "System Indexes", "resources/images/indexesplus.png", "resources/images/indexplus.png", "System table index",
     "select idxname from admin.sysindexes, admin.systables where tblowner = %s and idxseq = 0 and "
     "admin.sysindexes.tbl = admin.systables.tbl and admin.systables.tbltype = 'S'  order by 1",
     true},
    {21, "Synonyms", "resources/images/synonyms.png", "resources/images/synonym.png", "Synonym",
     "select sname, ispublic from admin.syssynonyms where sowner = %s order by 1", false},
    {23, "Triggers", "resources/images/triggers.png", "resources/images/trigger.png", "Trigger",
     "select triggername from admin.systrigger where owner = %s order by 1", false},
    {25, "Execution Plans", "resources/images/statements.png", "resources/images/statements.png", "Execution plan",
     "select distinct tbl from admin.syscolumns where owner = %s  and col='query_stmt' order by 1", false},
};

// The request's node: what the builders read of "nodeId".
struct Node {
  int type = -1;
  std::string user, dbName, name, table;
  int dbVersion = 0;
  bool hasVersion = false;
};

std::string text(json_object* node, const char* key) {
  const char* value = nullptr;
  return zvJsonGetStringByName(node, key, &value) && value ? value : "";
}

std::string withOwner(const char* statement, const std::string& owner) {
  std::string out = statement;
  size_t at = out.find("%s");
  return out.replace(at, 2, sqlLiteral(owner));
}

json_object* nodeId(int type, const Node& from, bool withName, const std::string& name = "") {
  json_object* id = zvJsonAlloc();
  zvJsonAddInt(id, "type", type);
  if (withName) zvJsonAddString(id, "name", name.c_str());
  zvJsonAddString(id, "user", from.user.c_str());
  zvJsonAddString(id, "dbName", from.dbName.c_str());
  return id;
}

std::set<std::string> names(PooledConnection* c, const std::string& statement) {
  std::vector<SqlRow> rows;
  int code = 0;
  std::set<std::string> out;
  if (queryRows(c, statement, rows, code))
    for (auto& r : rows)
      if (!r.empty() && r[0]) out.insert(*r[0]);
  return out;
}

json_object* folderItems(PooledConnection* c, int type, const Node& n) {
  const Folder* folder = nullptr;
  for (const auto& f : kFolders)
    if (f.type == type) folder = &f;
  if (!folder) return nullptr;
  std::set<std::string> constraintIndexes;
  if (type == 17)
    constraintIndexes =
        names(c, "select distinct idxname, tblname from admin.sys_tbl_constrs where owner = " + sqlLiteral(n.user) +
                     " and cnstrtype in ('P','U','F')");
  std::string statement = withOwner(folder->statement, n.user);
  if (type == 3 && n.dbVersion >= 2)
    statement = "select tbl, tbl_origin from admin.systables where owner = " + sqlLiteral(n.user) +
                " and tbltype = 'T' order by 1";
  std::vector<SqlRow> rows;
  int code = 0;
  if (!queryRows(c, statement, rows, code)) return nullptr;
  json_object* list = zvJsonAllocArray();
  for (auto& row : rows) {
    std::string name = row.empty() ? "" : row[0].value_or("");
    json_object* item = zvJsonAlloc();
    zvJsonAddString(item, "text", name.c_str());
    zvJsonAddString(item, "icon", folder->objectIcon);
    zvJsonAddString(item, "qtip", folder->qtip);
    zvJsonAddBoolean(item, "leaf", 1);
    json_object* id = nodeId(type + 1, n, true, name);
    zvJsonAdd(item, "nodeId", id);
    std::optional<std::string> second = row.size() > 1 ? row[1] : std::nullopt;
    if (type == 3 && n.dbVersion >= 2) {
      if (!second) {
        zvJsonAddString(item, "qtip", "SQL table");
      } else {
        zvJsonAddString(item, "subType", second->c_str());
        if (*second == "KZV" || *second == "LINKED") {
          zvJsonAddString(item, "icon",
                          *second == "KZV" ? "resources/images/tablekzv.png" : "resources/images/tablelinked.png");
          zvJsonAddString(item, "qtip", *second == "KZV" ? "KZV table" : "LINKED table");
        }
      }
    }
    if (type == 17) {
      if (constraintIndexes.count(name)) {
        zvJsonAddString(item, "icon", "resources/images/indexcon.png");
        zvJsonAddString(item, "qtip", "Constraint index");
      }
      if (second) zvJsonAddString(id, "tableName", second->c_str());
    }
    zvJsonArrayAdd(list, item);
  }
  return list;
}

// An owner node, unless the list has one with that text.
void addOwnerNode(json_object* list, const std::string& owner, const Node& n) {
  for (int i = 0; i < zvJsonArrayLength(list); ++i) {
    const char* t = nullptr;
    if (zvJsonGetStringByName(zvJsonArrayGetIdx(list, i), "text", &t) && t && owner == t) return;
  }
  json_object* node = zvJsonAlloc();
  zvJsonAddString(node, "text", owner.c_str());
  zvJsonAddString(node, "icon", "resources/images/user.png");
  zvJsonAddBoolean(node, "leaf", 0);
  json_object* id = zvJsonAlloc();
  zvJsonAddInt(id, "type", 2);
  zvJsonAddString(id, "user", owner.c_str());
  zvJsonAddString(id, "dbName", n.dbName.c_str());
  zvJsonAddInt(id, "dbVersion", n.hasVersion ? n.dbVersion : 1);
  zvJsonAdd(node, "nodeId", id);
  zvJsonArrayAdd(list, node);
}

json_object* serverNode(PooledConnection* c) {
  std::vector<SqlRow> rows;
  int code = 0;
  int version = 1;
  if (queryRows(c, "call yx_db_version()", rows, code) && !rows.empty() && !rows[0].empty() && rows[0][0])
    version = atoi(rows[0][0]->c_str());
  rows.clear();
  // A list that does not run leaves the server without children.
  bool listed = queryRows(c, "call yx_get_dbList()", rows, code);
  json_object* root = zvJsonAlloc();
  zvJsonAddBoolean(root, "expanded", 1);
  zvJsonAddString(root, "icon", "resources/images/server.png");
  zvJsonAddBoolean(root, "leaf", 0);
  zvJsonAddInt(root, "dbVersion", version);
  zvJsonAddString(root, "cls", "folder");
  json_object* id = zvJsonAlloc();
  zvJsonAddInt(id, "type", 0);
  zvJsonAdd(root, "nodeId", id);
  json_object* children = nullptr;
  if (listed) {
    children = zvJsonAllocArray();
    for (auto& row : rows) {
      std::string name = row.empty() ? "" : row[0].value_or("");
      json_object* db = zvJsonAlloc();
      zvJsonAddString(db, "text", name.c_str());
      zvJsonAddString(db, "icon", "resources/images/database.png");
      zvJsonAddBoolean(db, "leaf", 0);
      zvJsonAddString(db, "cls", "folder");
      json_object* dbId = zvJsonAlloc();
      zvJsonAddInt(dbId, "type", 1);
      zvJsonAddString(dbId, "dbName", name.c_str());
      zvJsonAddInt(dbId, "dbVersion", version);
      zvJsonAdd(db, "nodeId", dbId);
      zvJsonArrayAdd(children, db);
    }
  }
  zvJsonAdd(root, "children", children);
  return root;
}

json_object* ownerFolderNodes(PooledConnection* c, Node n) {
  if (!n.hasVersion) n.dbVersion = 1;
  json_object* list = zvJsonAllocArray();
  for (const auto& f : kFolders) {
    if (f.adminOnly && n.user != kAdmin) continue;
    json_object* folder = zvJsonAlloc();
    zvJsonAddString(folder, "icon", f.icon);
    zvJsonAddString(folder, "cls", "folder");
    zvJsonAddBoolean(folder, "expanded", 0);
    zvJsonAddString(folder, "text", f.text);
    json_object* id = zvJsonAlloc();
    zvJsonAddInt(id, "type", f.type);
    zvJsonAddString(id, "user", n.user.c_str());
    zvJsonAddString(id, "dbName", n.dbName.c_str());
    zvJsonAddInt(id, "dbVersion", n.dbVersion);
    zvJsonAdd(folder, "nodeId", id);
    zvJsonAdd(folder, "children", folderItems(c, f.type, n));
    zvJsonAddInt(folder, "leaf", 0);
    zvJsonArrayAdd(list, folder);
  }
  return list;
}

json_object* tableFolder(const char* title, const char* icon, int type, const Node& n) {
  json_object* folder = zvJsonAlloc();
  zvJsonAddString(folder, "text", title);
  zvJsonAddString(folder, "icon", icon);
  zvJsonAddInt(folder, "leaf", 0);
  json_object* id = zvJsonAlloc();
  zvJsonAddInt(id, "type", type);
  zvJsonAddString(id, "user", n.user.c_str());
  zvJsonAddString(id, "dbName", n.dbName.c_str());
  zvJsonAddString(id, "table", n.name.c_str());
  zvJsonAdd(folder, "nodeId", id);
  return folder;
}

json_object* tableFolderNodes(const Node& n) {
  json_object* list = zvJsonAllocArray();
  if (n.type == 4) {
    zvJsonArrayAdd(list, tableFolder("Indexes", "resources/images/indexes.png", 28, n));
    zvJsonArrayAdd(list, tableFolder("Columns", "resources/images/columns.png", 30, n));
  } else {
    zvJsonArrayAdd(list, tableFolder("Indexes", "resources/images/indexesplus.png", 29, n));
  }
  return list;
}

// One node per row's column 0 made by make; null when the statement fails.
template <typename Make>
json_object* rowNodes(PooledConnection* c, const std::string& statement, Make make) {
  std::vector<SqlRow> rows;
  int code = 0;
  if (!queryRows(c, statement, rows, code)) return nullptr;
  json_object* list = zvJsonAllocArray();
  for (auto& row : rows) zvJsonArrayAdd(list, make(row.empty() ? std::string() : row[0].value_or("")));
  return list;
}

json_object* leafNode(const std::string& name, const char* icon, json_object* id, json_object* leaf) {
  json_object* node = zvJsonAlloc();
  zvJsonAddString(node, "text", name.c_str());
  zvJsonAddString(node, "icon", icon);
  zvJsonAdd(node, "leaf", leaf);
  zvJsonAdd(node, "nodeId", id);
  return node;
}

json_object* tableIndexNodes(PooledConnection* c, const Node& n) {
  std::set<std::string> constraintIndexes =
      names(c, "select distinct idxname from admin.sys_tbl_constrs where owner = " + sqlLiteral(n.user) +
                   " and tblname = " + sqlLiteral(n.table) + " and cnstrtype in ('P','U','F')");
  return rowNodes(c,
                  "select idxname from admin.sysindexes where tblowner = " + sqlLiteral(n.user) +
                      " and tbl = " + sqlLiteral(n.table) + " and idxseq = 0 order by 1",
                  [&](const std::string& name) {
                    bool marked = constraintIndexes.count(name) > 0;
                    json_object* node =
                        leafNode(name, marked ? "resources/images/indexcon.png" : "resources/images/index.png",
                                 nodeId(20, n, true, name), zvJsonAllocBoolean(1));
                    zvJsonAddString(node, "qtip", marked ? "Constraint index" : "Index");
                    return node;
                  });
}

}  // namespace

void getLeftTree(SqlCallContext& context, json_object* reply, json_object* yxInfo) {
  json_object* id = nullptr;
  if (!zvJsonGetByName(yxInfo, "nodeId", &id) || !json_object_is_type(id, json_type_object)) return;
  json_object* typeValue = nullptr;
  if (!zvJsonGetByName(id, "type", &typeValue) || !json_object_is_type(typeValue, json_type_int)) return;
  Node n;
  n.type = zvJsonGetInt(typeValue);
  n.user = text(id, "user");
  n.dbName = text(id, "dbName");
  n.name = text(id, "name");
  n.table = text(id, "table");
  int32_t version = 0;
  n.hasVersion = zvJsonGetIntByName(id, "dbVersion", &version);
  n.dbVersion = n.hasVersion ? version : 0;
  PooledConnection* c = context.connection;
  json_object* result = nullptr;
  switch (n.type) {
    case 0:
      result = serverNode(c);
      break;
    case 1: {
      Node owners = n;
      std::vector<SqlRow> rows;
      int code = 0;
      json_object* list = nullptr;
      for (const char* statement :
           {"call yx_get_userlist()", "select distinct owner from admin.systables order by owner"}) {
        rows.clear();
        if (!queryRows(c, statement, rows, code)) continue;
        if (!list) list = zvJsonAllocArray();
        for (auto& row : rows) addOwnerNode(list, row.empty() ? "" : row[0].value_or(""), owners);
      }
      result = list;
      break;
    }
    case 2:
      result = ownerFolderNodes(c, n);
      break;
    case 4:
    case 6:
      result = tableFolderNodes(n);
      break;
    case 26:
      result = rowNodes(
          c, "select stmt_id from " + sqlIdentifier(n.user) + "." + sqlIdentifier(n.name) + " where parent_id = -1",
          [&](const std::string& stmt) {
            json_object* nid = zvJsonAlloc();
            zvJsonAddInt(nid, "type", 27);
            zvJsonAddString(nid, "user", n.user.c_str());
            zvJsonAddString(nid, "dbName", n.dbName.c_str());
            zvJsonAddString(nid, "name", stmt.c_str());
            return leafNode(stmt, "resources/images/statement.png", nid, zvJsonAllocInt(1));
          });
      break;
    case 28:
    case 29:
      result = tableIndexNodes(c, n);
      break;
    case 30:
      result = rowNodes(c,
                        "select col from admin.syscolumns where owner = " + sqlLiteral(n.user) +
                            " and tbl = " + sqlLiteral(n.table) + " order by id",
                        [](const std::string& col) {
                          json_object* nid = zvJsonAlloc();
                          zvJsonAddInt(nid, "type", 31);
                          return leafNode(col, "resources/images/tablecolumn.png", nid, zvJsonAllocBoolean(1));
                        });
      break;
    default:
      if (n.type >= 3 && n.type <= 25 && n.type % 2 == 1) {
        result = folderItems(c, n.type, n);
        break;
      }
      return;  // any other type: no result
  }
  zvJsonAdd(reply, "result", result);
}

}  // namespace plover
