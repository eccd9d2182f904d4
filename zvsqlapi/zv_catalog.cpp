// The catalog of the owner "admin": tables of the attached in-memory schema
// "admin", filled from the schema of "main" (and from the engine's own
// catalog tables, which describe the tables made through ravlink).
#include "zv_core.h"

#include <strings.h>

#include <cctype>
#include <map>
#include <memory>
#include <set>

namespace zvsql {

namespace {

struct CatalogTable {
  const char* name;
  const char* columns;
};

// Column names obey the joins of the callers' texts: systables has no
// tblowner, idxseq or idxname; sysidentity no col, id or type columns;
// syscolumns no colid, seed, incr or idxseq. Ids are INTEGER so that quoted
// numbers compare as numbers.
const CatalogTable kCatalog[] = {
    {"systables",
     "tbl TEXT, owner TEXT, tbltype TEXT, tbl_origin TEXT, has_pcnstrs TEXT, has_fcnstrs TEXT,"
     " has_ccnstrs TEXT, has_ucnstrs TEXT, tbl_attrib TEXT"},
    {"syscolumns",
     "owner TEXT, tbl TEXT, col TEXT, id INTEGER, coltype TEXT, width INTEGER, scale INTEGER, dflt_value TEXT,"
     " nullflag TEXT, charset TEXT, collation TEXT"},
    {"sysidentity", "owner TEXT, tbl TEXT, colid INTEGER, seed INTEGER, incr INTEGER"},
    {"sysindexes",
     "idxname TEXT, idxowner TEXT, tbl TEXT, tblowner TEXT, idxseq INTEGER, colname TEXT, idxtype TEXT,"
     " idxorder TEXT, idxcompress TEXT, idxmethod TEXT, idxattrib TEXT, id INTEGER, idxsegid INTEGER,"
     " rssid INTEGER"},
    {"sys_tbl_constrs", "owner TEXT, tblname TEXT, cnstrname TEXT, cnstrtype TEXT, idxname TEXT"},
    {"sys_keycol_usage", "owner TEXT, tblname TEXT, cnstrname TEXT, colname TEXT, colposition INTEGER"},
    {"sys_chk_constrs", "owner TEXT, tblname TEXT, cnstrname TEXT, chkclause TEXT"},
    {"sys_ref_constrs", "owner TEXT, tblname TEXT, cnstrname TEXT, refowner TEXT, refcnstrname TEXT, reftblname TEXT"},
    {"sysviews", "viewname TEXT, owner TEXT, viewtext TEXT"},
    {"systrigger",
     "triggername TEXT, owner TEXT, rssid INTEGER, triggerid INTEGER, tbl TEXT, tblowner TEXT, trigger_time TEXT,"
     " trigger_event TEXT, refers_to_old TEXT, refers_to_new TEXT, statement_or_row TEXT"},
    {"systrigcols", "owner TEXT, triggername TEXT, colid INTEGER"},
    {"sysproctext", "proc_type TEXT, id INTEGER, rssId INTEGER, seq INTEGER, proc_text TEXT"},
    {"sysprocedures", "proc_name TEXT, owner TEXT, proc_type TEXT, rssid INTEGER, proc_id INTEGER"},
    {"sysproccolumns",
     "proc_id INTEGER, rssid INTEGER, id INTEGER, argtype TEXT, col TEXT, datatype TEXT, width INTEGER,"
     " scale INTEGER"},
    {"syssynonyms", "sname TEXT, sowner TEXT, screator TEXT, ispublic INTEGER, sremdb TEXT, stbl TEXT, stblowner TEXT"},
    {"systabauth",
     "tbl TEXT, tblowner TEXT, grantee TEXT, sel TEXT, ins TEXT, del TEXT, upd TEXT, ndx TEXT, alt TEXT,"
     " exe TEXT"},
};

// The engine's own catalog tables in each database file.
const char* const kEngineTables[] = {"rl_schema", "rl_tables", "rl_fields", "rl_indexes", "rl_segments"};

constexpr int kRssid = 1;  // one storage space per file

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

class Filler {
 public:
  explicit Filler(sqlite3* db) : db_(db) {}
  int run(std::string* error);

 private:
  struct Column {
    std::string name, declared, dflt;
    int cid = 0, notNull = 0, pk = 0, hidden = 0;
  };
  struct Index {
    std::string name, origin;
    bool unique = false;
    std::vector<std::pair<std::string, bool>> keys;  // column, descending
  };

  sqlite3* db_;
  std::string error_;
  std::map<std::string, Stmt> inserts_;
  struct Key {
    std::string name;
    char type;
    std::vector<std::string> columns;
  };
  struct PendingReference {
    std::string table, constraint, refTable;
    std::vector<std::string> to;
  };
  std::map<std::string, std::vector<Key>> keys_;  // by lower-case table name
  std::vector<PendingReference> references_;
  int nextIndexId_ = 1;
  int nextTriggerId_ = 1;

  bool check(int rc) {
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
    if (error_.empty()) error_ = sqlite3_errmsg(db_);
    return false;
  }
  Stmt prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr));
    return Stmt(s);
  }
  void insert(const char* table, const std::vector<Value>& values);
  std::vector<Column> columns(const std::string& table);
  std::vector<Index> indexes(const std::string& table);
  void addTable(const std::string& name, const std::string& sql, bool engineTable);
  void addColumns(const std::string& owner, const std::string& table, const std::vector<Column>& cols);
  void addView(const std::string& name, const std::string& sql);
  void addTrigger(const std::string& name, const std::string& table, const std::string& sql);
  void addSystemTables();
  void addProcedures();
  void addRoutines(int firstId);
  void addReferences();
};

void Filler::insert(const char* table, const std::vector<Value>& values) {
  Stmt& s = inserts_[table];
  if (!s) {
    std::string sql = std::string("INSERT INTO admin.") + table + " VALUES(";
    for (size_t i = 0; i < values.size(); ++i) sql += i ? ",?" : "?";
    s = prepare(sql + ")");
    if (!s) return;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const Value& v = values[i];
    if (std::holds_alternative<int64_t>(v))
      sqlite3_bind_int64(s.get(), int(i) + 1, std::get<int64_t>(v));
    else if (std::holds_alternative<std::string>(v))
      sqlite3_bind_text(s.get(), int(i) + 1, std::get<std::string>(v).c_str(), -1, SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(s.get(), int(i) + 1);
  }
  check(sqlite3_step(s.get()));
  sqlite3_reset(s.get());
}

std::vector<Filler::Column> Filler::columns(const std::string& table) {
  std::vector<Column> out;
  Stmt s = prepare("SELECT cid, name, type, \"notnull\", dflt_value, pk, hidden FROM main.pragma_table_xinfo(?1)");
  if (!s) return out;
  sqlite3_bind_text(s.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    Column c;
    c.cid = sqlite3_column_int(s.get(), 0);
    c.name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1));
    c.declared = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 2));
    if (const unsigned char* d = sqlite3_column_text(s.get(), 4))
      c.dflt = reinterpret_cast<const char*>(d);
    else
      c.dflt = "\x01";  // no default
    c.notNull = sqlite3_column_int(s.get(), 3);
    c.pk = sqlite3_column_int(s.get(), 5);
    c.hidden = sqlite3_column_int(s.get(), 6);
    out.push_back(c);
  }
  return out;
}

std::vector<Filler::Index> Filler::indexes(const std::string& table) {
  std::vector<Index> out;
  Stmt list = prepare("SELECT name, \"unique\", origin FROM main.pragma_index_list(?1) ORDER BY name");
  if (!list) return out;
  sqlite3_bind_text(list.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(list.get()) == SQLITE_ROW) {
    Index ix;
    ix.name = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
    ix.unique = sqlite3_column_int(list.get(), 1) != 0;
    ix.origin = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 2));
    Stmt info = prepare("SELECT name, \"desc\" FROM main.pragma_index_xinfo(?1) WHERE key = 1 ORDER BY seqno");
    if (!info) return out;
    sqlite3_bind_text(info.get(), 1, ix.name.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(info.get()) == SQLITE_ROW) {
      const unsigned char* n = sqlite3_column_text(info.get(), 0);
      ix.keys.push_back({n ? reinterpret_cast<const char*>(n) : "", sqlite3_column_int(info.get(), 1) != 0});
    }
    out.push_back(ix);
  }
  return out;
}

// Catalog type name, width and scale of a declared type.
struct TypeInfo {
  std::string name;
  int width, scale;
};

TypeInfo catalogType(const std::string& declared) {
  std::string d = upper(declared);
  size_t paren = d.find('(');
  std::string base = d.substr(0, paren);
  while (!base.empty() && isspace(static_cast<unsigned char>(base.back()))) base.pop_back();
  int width = -1, scale = 0;
  if (paren != std::string::npos) {
    width = atoi(d.c_str() + paren + 1);
    size_t comma = d.find(',', paren);
    if (comma != std::string::npos) scale = atoi(d.c_str() + comma + 1);
  }
  struct Map {
    const char* declared;
    const char* name;
    int width;
  };
  static const Map kMap[] = {
      {"CHAR", "character", 1},
      {"CHARACTER", "character", 1},
      {"VARCHAR", "varchar", 255},
      {"NCHAR", "nchar", 1},
      {"NVARCHAR", "national varchar", 255},
      {"NATIONAL VARCHAR", "national varchar", 255},
      {"NUMERIC", "numeric", 18},
      {"DECIMAL", "decimal", 18},
      {"INT", "integer", 4},
      {"INTEGER", "integer", 4},
      {"MEDIUMINT", "integer", 4},
      {"SMALLINT", "smallint", 2},
      {"TINYINT", "tinyint", 1},
      {"BIGINT", "bigint", 8},
      {"INT8", "bigint", 8},
      {"REAL", "double", 8},
      {"DOUBLE", "double", 8},
      {"DOUBLE PRECISION", "double", 8},
      {"FLOAT", "double", 8},
      {"BIT", "bit", 1},
      {"BOOLEAN", "bit", 1},
      {"DATE", "date", 4},
      {"TIME", "time", 4},
      {"TIMESTAMP", "timestamp", 8},
      {"DATETIME", "timestamp", 8},
      {"MONEY", "money", 19},
      {"BINARY", "binary", 1},
      {"VARBINARY", "varbinary", 255},
      {"TEXT", "lvarchar", 0},
      {"CLOB", "lvarchar", 0},
      {"LVARCHAR", "lvarchar", 0},
      {"BLOB", "lvarbinary", 0},
      {"LVARBINARY", "lvarbinary", 0},
  };
  for (const Map& m : kMap)
    if (base == m.declared) return {m.name, width >= 0 ? width : m.width, scale};
  return {"lvarchar", width >= 0 ? width : 0, scale};
}

// Defaults as the generator writes them back: literals with one delimiter
// on each side, the current-time keywords by their catalog names.
Value catalogDefault(const std::string& dflt) {
  if (dflt == "\x01") return {};
  std::string u = upper(dflt);
  if (u == "CURRENT_DATE") return std::string("sysdate");
  if (u == "CURRENT_TIME") return std::string("systime");
  if (u == "CURRENT_TIMESTAMP") return std::string("systimestamp");
  if (u == "NULL") return std::string("null");
  if (!dflt.empty() && (dflt[0] == '\'' || dflt[0] == '"')) return dflt;
  return "'" + dflt + "'";
}

void Filler::addColumns(const std::string& owner, const std::string& table, const std::vector<Column>& cols) {
  int id = 0;
  for (const Column& c : cols) {
    if (c.hidden == 1) continue;  // hidden columns of virtual tables
    TypeInfo t = catalogType(c.declared);
    const char* collation = nullptr;
    if (owner == kUserOwner)
      sqlite3_table_column_metadata(db_, "main", table.c_str(), c.name.c_str(), nullptr, &collation, nullptr, nullptr,
                                    nullptr);
    insert("syscolumns", {owner, table, c.name, int64_t(id++), t.name, int64_t(t.width), int64_t(t.scale),
                          catalogDefault(c.dflt), std::string(c.notNull ? "N" : "Y"), std::string("UTF-8"),
                          collation ? Value(std::string(collation)) : Value(std::string("BINARY"))});
  }
}

void Filler::addTable(const std::string& name, const std::string& sql, bool engineTable) {
  std::vector<Column> cols = columns(name);
  addColumns(kUserOwner, name, cols);
  std::vector<Index> idx = indexes(name);
  std::vector<ParsedConstraint> parsed = parseTableConstraints(sql);
  auto parsedName = [&](char type, const std::vector<std::string>& keyCols) -> std::string {
    for (const ParsedConstraint& p : parsed)
      if (p.type == type && !p.name.empty() && (type == 'P' || p.columns == keyCols)) return p.name;
    return "";
  };
  bool hasP = false, hasU = false, hasF = false, hasC = false;
  // Indexes and the key constraints they back.
  int uniqueNumber = 0;
  for (const Index& ix : idx) {
    int id = nextIndexId_++;
    for (size_t seq = 0; seq < ix.keys.size(); ++seq)
      insert("sysindexes",
             {ix.name, std::string(kUserOwner), name, std::string(kUserOwner), int64_t(seq), ix.keys[seq].first,
              std::string(ix.unique ? "U" : "D"), std::string(ix.keys[seq].second ? "D" : "A"), std::string("N"),
              std::string("B"), std::string(""), int64_t(id), int64_t(seq), int64_t(kRssid)});
    if (ix.origin != "pk" && ix.origin != "u") continue;
    std::vector<std::string> keyCols;
    for (const auto& k : ix.keys) keyCols.push_back(k.first);
    char type = ix.origin == "pk" ? 'P' : 'U';
    std::string cname = parsedName(type, keyCols);
    if (cname.empty()) cname = type == 'P' ? "sys_pk_" + name : "sys_u_" + name + "_" + std::to_string(++uniqueNumber);
    (type == 'P' ? hasP : hasU) = true;
    insert("sys_tbl_constrs", {std::string(kUserOwner), name, cname, std::string(1, type), ix.name});
    keys_[lower(name)].push_back({cname, type, keyCols});
    for (size_t i = 0; i < keyCols.size(); ++i)
      insert("sys_keycol_usage", {std::string(kUserOwner), name, cname, keyCols[i], int64_t(i + 1)});
  }
  // A rowid alias (INTEGER PRIMARY KEY) has no index: the identity column.
  int pkCount = 0;
  const Column* pkCol = nullptr;
  for (const Column& c : cols)
    if (c.pk) ++pkCount, pkCol = &c;
  if (!hasP && pkCount == 1 && upper(pkCol->declared) == "INTEGER") {
    std::string cname = parsedName('P', {pkCol->name});
    if (cname.empty()) cname = "sys_pk_" + name;
    hasP = true;
    insert("sys_tbl_constrs", {std::string(kUserOwner), name, cname, std::string("P"), "sys_rowid_" + name});
    insert("sys_keycol_usage", {std::string(kUserOwner), name, cname, pkCol->name, int64_t(1)});
    keys_[lower(name)].push_back({cname, 'P', {pkCol->name}});
    insert("sysidentity", {std::string(kUserOwner), name, int64_t(pkCol->cid), int64_t(1), int64_t(1)});
  }
  // Foreign keys, named from the CREATE text where it names them.
  Stmt fk =
      prepare("SELECT id, seq, \"table\", \"from\", \"to\" FROM main.pragma_foreign_key_list(?1) ORDER BY id, seq");
  if (fk) {
    sqlite3_bind_text(fk.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    struct Fk {
      std::string table;
      std::vector<std::string> from, to;
    };
    std::map<int, Fk> fks;
    while (sqlite3_step(fk.get()) == SQLITE_ROW) {
      Fk& f = fks[sqlite3_column_int(fk.get(), 0)];
      f.table = reinterpret_cast<const char*>(sqlite3_column_text(fk.get(), 2));
      f.from.push_back(reinterpret_cast<const char*>(sqlite3_column_text(fk.get(), 3)));
      const unsigned char* to = sqlite3_column_text(fk.get(), 4);
      f.to.push_back(to ? reinterpret_cast<const char*>(to) : "");
    }
    for (auto& [id, f] : fks) {
      std::string cname = parsedName('F', f.from);
      if (cname.empty()) cname = "sys_fk_" + name + "_" + std::to_string(id);
      hasF = true;
      insert("sys_tbl_constrs", {std::string(kUserOwner), name, cname, std::string("F"), Value()});
      for (size_t i = 0; i < f.from.size(); ++i)
        insert("sys_keycol_usage", {std::string(kUserOwner), name, cname, f.from[i], int64_t(i + 1)});
      references_.push_back({name, cname, f.table, f.to});
    }
  }
  int checkNumber = 0;
  for (const ParsedConstraint& p : parsed) {
    if (p.type != 'C') continue;
    std::string cname = p.name.empty() ? "sys_ck_" + name + "_" + std::to_string(++checkNumber) : p.name;
    hasC = true;
    insert("sys_tbl_constrs", {std::string(kUserOwner), name, cname, std::string("C"), Value()});
    insert("sys_chk_constrs", {std::string(kUserOwner), name, cname, p.checkClause});
  }
  auto yn = [](bool b) { return std::string(b ? "Y" : "N"); };
  insert("systables", {name, std::string(kUserOwner), std::string("T"), std::string(engineTable ? "KZV" : "SQL"),
                       yn(hasP), yn(hasF), yn(hasC), yn(hasU), std::string("")});
}

void Filler::addView(const std::string& name, const std::string& sql) {
  addColumns(kUserOwner, name, columns(name));
  insert("systables", {name, std::string(kUserOwner), std::string("V"), std::string("SQL"), std::string("N"),
                       std::string("N"), std::string("N"), std::string("N"), std::string("")});
  insert("sysviews", {name, std::string(kUserOwner), viewBody(sql)});
}

void Filler::addTrigger(const std::string& name, const std::string& table, const std::string& sql) {
  ParsedTrigger t = parseTrigger(sql);
  int id = nextTriggerId_++;
  bool old = t.event == 'D' || t.event == 'U', nw = t.event == 'I' || t.event == 'U';
  insert("systrigger", {name, std::string(kUserOwner), int64_t(kRssid), int64_t(id), table, std::string(kUserOwner),
                        std::string(t.time == 'B' ? "B" : "A"), std::string(1, t.event), std::string(old ? "Y" : "N"),
                        std::string(nw ? "Y" : "N"), std::string("R")});
  std::vector<Column> cols = columns(table);
  for (const std::string& c : t.updateColumns)
    for (const Column& col : cols)
      if (strcasecmp(col.name.c_str(), c.c_str()) == 0)
        insert("systrigcols", {std::string(kUserOwner), name, int64_t(col.cid)});
  insert("sysproctext", {std::string("TP"), int64_t(id), int64_t(kRssid), int64_t(0), std::string("")});
  insert("sysproctext", {std::string("TP"), int64_t(id), int64_t(kRssid), int64_t(1), t.body.substr(0, 8192)});
}

// A reference names the key constraint of the referenced table whose
// columns are the referenced ones (none named: its primary key); without
// such a key there is no row.
void Filler::addReferences() {
  for (const PendingReference& r : references_) {
    bool toPrimary = true;
    for (const std::string& t : r.to) toPrimary &= t.empty();
    bool found = false;
    for (const Key& k : keys_[lower(r.refTable)]) {
      bool same = toPrimary ? k.type == 'P' : k.columns.size() == r.to.size();
      for (size_t i = 0; same && !toPrimary && i < r.to.size(); ++i)
        same = strcasecmp(k.columns[i].c_str(), r.to[i].c_str()) == 0;
      if (!same) continue;
      insert("sys_ref_constrs",
             {std::string(kUserOwner), r.table, r.constraint, std::string(kUserOwner), k.name, r.refTable});
      found = true;
      break;
    }
    if (found || toPrimary) continue;
    // Columns that no key of the referenced table covers: a name of their
    // own keeps the reference and its columns readable.
    std::string cname = "sys_ref_" + r.constraint;
    insert("sys_ref_constrs",
           {std::string(kUserOwner), r.table, r.constraint, std::string(kUserOwner), cname, r.refTable});
    for (size_t i = 0; i < r.to.size(); ++i)
      insert("sys_keycol_usage", {std::string(kUserOwner), r.refTable, cname, r.to[i], int64_t(i + 1)});
  }
}

void Filler::addSystemTables() {
  for (const CatalogTable& t : kCatalog) {
    insert("systables", {std::string(t.name), std::string(kCatalogOwner), std::string("S"), std::string("SQL"),
                         std::string("N"), std::string("N"), std::string("N"), std::string("N"), std::string("")});
    int id = 0;
    std::string cols = t.columns;
    size_t pos = 0;
    while (pos < cols.size()) {
      size_t comma = cols.find(',', pos);
      std::string def = cols.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
      pos = comma == std::string::npos ? cols.size() : comma + 1;
      while (!def.empty() && def[0] == ' ') def.erase(0, 1);
      size_t blank = def.find(' ');
      TypeInfo ti = catalogType(def.substr(blank + 1));
      insert("syscolumns",
             {std::string(kCatalogOwner), std::string(t.name), def.substr(0, blank), int64_t(id++), ti.name,
              int64_t(ti.width), int64_t(0), Value(), std::string("Y"), std::string("UTF-8"), std::string("BINARY")});
    }
  }
}

void Filler::addProcedures() {
  int id = 1;
  for (const Procedure& p : builtInProcedures()) {
    insert("sysprocedures",
           {p.name, std::string(kCatalogOwner), std::string("built_in"), int64_t(kRssid), int64_t(id)});
    int col = 0;
    for (const std::string& param : p.parameters)
      insert("sysproccolumns", {int64_t(id), int64_t(kRssid), int64_t(col++), std::string("in"), param,
                                std::string("lvarchar"), int64_t(0), int64_t(0)});
    for (const ProcedureColumn& r : p.results) {
      TypeInfo t = catalogType(r.type);
      insert("sysproccolumns", {int64_t(id), int64_t(kRssid), int64_t(col++), std::string("result"), r.name, t.name,
                                int64_t(t.width), int64_t(t.scale)});
    }
    ++id;
  }
  addRoutines(id);
}

// The stored procedures and functions, numbered after the built-in ones.
void Filler::addRoutines(int id) {
  Stmt exists = prepare(std::string("SELECT 1 FROM main.sqlite_schema WHERE name = '") + kRoutineTable + "'");
  if (!exists || sqlite3_step(exists.get()) != SQLITE_ROW) return;  // no routine was ever stored here
  Stmt list = prepare(std::string("SELECT definition FROM main.") + kRoutineTable + " ORDER BY owner, name");
  if (!list) return;
  while (sqlite3_step(list.get()) == SQLITE_ROW) {
    RoutineDefinition r;
    std::string ignored;
    const unsigned char* text = sqlite3_column_text(list.get(), 0);
    if (!text || !parseRoutine(reinterpret_cast<const char*>(text), &r, &ignored)) continue;
    insert("sysprocedures",
           {r.name, r.owner, std::string(r.function ? "udf" : "stored"), int64_t(kRssid), int64_t(id)});
    int col = 0;
    for (const RoutineColumn& c : r.columns) {
      TypeInfo t = catalogType(c.declared);
      insert("sysproccolumns", {int64_t(id), int64_t(kRssid), int64_t(col++), c.argtype, c.name, t.name,
                                int64_t(t.width), int64_t(t.scale)});
    }
    insert("sysproctext", {std::string("SP"), int64_t(id), int64_t(kRssid), int64_t(0), r.importText});
    insert("sysproctext", {std::string("SP"), int64_t(id), int64_t(kRssid), int64_t(1), r.body});
    ++id;
  }
}

int Filler::run(std::string* error) {
  for (const CatalogTable& t : kCatalog)
    check(sqlite3_exec(db_, (std::string("DELETE FROM admin.") + t.name).c_str(), nullptr, nullptr, nullptr));
  std::set<std::string> engineTables;
  {
    Stmt known = prepare(
        "SELECT name FROM main.rl_tables WHERE EXISTS(SELECT 1 FROM main.sqlite_schema WHERE name = 'rl_tables')");
    if (known)
      while (sqlite3_step(known.get()) == SQLITE_ROW)
        engineTables.insert(lower(reinterpret_cast<const char*>(sqlite3_column_text(known.get(), 0))));
    error_.clear();  // a file without the engine's catalog has none
  }
  Stmt schema = prepare("SELECT type, name, tbl_name, coalesce(sql, '') FROM main.sqlite_schema ORDER BY type, name");
  if (!schema) {
    *error = error_;
    return SQLITE_ERROR;
  }
  while (sqlite3_step(schema.get()) == SQLITE_ROW) {
    std::string type = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 0));
    std::string name = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 1));
    std::string table = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 2));
    std::string sql = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 3));
    bool engineOwn = false;
    for (const char* e : kEngineTables) engineOwn |= strcasecmp(e, name.c_str()) == 0;
    engineOwn |= strcasecmp(name.c_str(), kRoutineTable) == 0;  // the routines' texts are listed as routines
    if (strncasecmp(name.c_str(), "sqlite_", 7) == 0 || engineOwn) continue;
    if (type == "table") addTable(name, sql, engineTables.count(lower(name)) > 0);
    if (type == "view") addView(name, sql);
    if (type == "trigger") addTrigger(name, table, sql);
  }
  addReferences();
  addSystemTables();
  addProcedures();
  inserts_.clear();
  if (!error_.empty()) {
    *error = error_;
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

}  // namespace

int createCatalog(sqlite3* db, std::string* error) {
  std::string sql;
  for (const CatalogTable& t : kCatalog) sql += std::string("CREATE TABLE admin.") + t.name + "(" + t.columns + ");";
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) *error = msg ? msg : sqlite3_errstr(rc);
  sqlite3_free(msg);
  return rc;
}

int fillCatalog(sqlite3* db, std::string* error) {
  Filler f(db);
  return f.run(error);
}

}  // namespace zvsql
