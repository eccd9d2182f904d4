// Statements SQLite has no form for, carried out by the library: creating a
// stored procedure or function (its text is kept in the database and the
// catalog lists it), and adding a foreign key to a table (written into the
// table's definition, which changes nothing in its stored rows).
#include "zv_objects.h"

#include <strings.h>

#include <memory>

namespace zvsql {

namespace {

// SQLite's stand-in for an own statement: the catalog table exists, so nothing is done.
const char* const kStandIn = "CREATE TABLE IF NOT EXISTS admin.systables(x)";

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

// The library's own statements pass the authorizer.
struct Internal {
  explicit Internal(Connection& c) : c(c) { c.internal = true; }
  ~Internal() { c.internal = false; }
  Connection& c;
};

Stmt prepareInternal(Connection& c, const std::string& sql) {
  Internal internal(c);
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return nullptr;
  }
  return Stmt(s);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isBuiltIn(const std::string& name) {
  for (const Procedure& p : builtInProcedures())
    if (strcasecmp(p.name.c_str(), name.c_str()) == 0) return true;
  return false;
}

// Work of an own statement belongs to the caller's transaction, as any statement's.
int beginIfNeeded(Connection& c) {
  if (c.clientAutoCommit || !sqlite3_get_autocommit(c.db)) return SQLITE_OK;
  return runInternalStatement(c, "BEGIN");
}

int createRoutine(Command& cmd) {
  Connection& c = *cmd.conn;
  RoutineDefinition routine;
  std::string error;
  if (!parseRoutine(cmd.ownText, &routine, &error)) return c.fail(SQLITE_ERROR, error);
  int rc = beginIfNeeded(c);
  if (rc == SQLITE_OK)
    rc = runInternalStatement(c, (std::string("CREATE TABLE IF NOT EXISTS main.") + kRoutineTable +
                                  "(owner TEXT NOT NULL, name TEXT NOT NULL COLLATE NOCASE, kind TEXT NOT NULL,"
                                  " definition TEXT NOT NULL, PRIMARY KEY(owner, name))")
                                     .c_str());
  if (rc != SQLITE_OK) return c.error;
  Stmt insert = prepareInternal(c, std::string("INSERT INTO main.") + kRoutineTable + " VALUES(?1, ?2, ?3, ?4)");
  if (!insert) return c.failSqlite(SQLITE_ERROR, "keeping the routine");
  sqlite3_bind_text(insert.get(), 1, routine.owner.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert.get(), 2, routine.name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert.get(), 3, routine.function ? "udf" : "stored", -1, SQLITE_STATIC);
  sqlite3_bind_text(insert.get(), 4, cmd.ownText.c_str(), -1, SQLITE_TRANSIENT);
  Internal internal(c);
  rc = sqlite3_step(insert.get());
  if ((rc & 0xff) == SQLITE_CONSTRAINT)
    return c.fail(rc, "The routine \"" + routine.owner + "\".\"" + routine.name + "\" already exists");
  if (rc != SQLITE_DONE) return c.failSqlite(rc, "keeping the routine");
  c.catalogVersion = -1;
  return ZVSQL_OK;
}

// The table's definition with the clause added as its last definition;
// empty when the table is unknown or its text has no definition list.
std::string definitionWith(Connection& c, const AddedForeignKey& key) {
  Stmt read = prepareInternal(c, "SELECT sql FROM main.sqlite_schema WHERE type = 'table' AND name = ?1");
  if (!read) return "";
  sqlite3_bind_text(read.get(), 1, key.table.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(read.get()) != SQLITE_ROW || !sqlite3_column_text(read.get(), 0)) return "";
  std::string sql = reinterpret_cast<const char*>(sqlite3_column_text(read.get(), 0));
  size_t close = std::string::npos;
  for (const Token& t : tokenize(sql))
    if (t.kind == TokenKind::Punct && sql[t.begin] == ')') close = t.begin;
  if (close == std::string::npos) return "";
  return sql.substr(0, close) + ", " + key.clause + sql.substr(close);
}

// Whether text creates a table on an empty database.
bool validDefinition(const std::string& text) {
  sqlite3* scratch = nullptr;
  bool valid = sqlite3_open_v2(":memory:", &scratch, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
               sqlite3_exec(scratch, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close_v2(scratch);
  return valid;
}

int addForeignKey(Command& cmd) {
  Connection& c = *cmd.conn;
  AddedForeignKey key;
  std::string error;
  if (parseAddForeignKey(cmd.ownText, &key, &error) != 1) return c.fail(SQLITE_ERROR, error);
  std::string definition = definitionWith(c, key);
  if (definition.empty()) return c.fail(SQLITE_ERROR, "no such table: " + key.table);
  if (!validDefinition(definition))
    return c.fail(SQLITE_ERROR, "The foreign key cannot be added to the definition of " + key.table);
  int64_t version = 0;
  {
    Stmt s = prepareInternal(c, "PRAGMA main.schema_version");
    if (s && sqlite3_step(s.get()) == SQLITE_ROW) version = sqlite3_column_int64(s.get(), 0);
  }
  int rc = beginIfNeeded(c);
  if (rc != SQLITE_OK) return c.error;
  // The definition is rewritten in place; the new schema version makes every connection read it again.
  sqlite3_db_config(c.db, SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
  rc = runInternalStatement(c, "SAVEPOINT zv_add_key; PRAGMA writable_schema = ON");
  if (rc == SQLITE_OK) {
    Stmt update = prepareInternal(c, "UPDATE main.sqlite_schema SET sql = ?1 WHERE type = 'table' AND name = ?2");
    if (update) {
      sqlite3_bind_text(update.get(), 1, definition.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(update.get(), 2, key.table.c_str(), -1, SQLITE_TRANSIENT);
      Internal internal(c);
      rc = sqlite3_step(update.get()) == SQLITE_DONE ? SQLITE_OK : c.failSqlite(SQLITE_ERROR, "adding the key");
    } else {
      rc = c.failSqlite(SQLITE_ERROR, "adding the key");
    }
    std::string bump = "PRAGMA main.schema_version = " + std::to_string(version + 1);
    if (rc == SQLITE_OK) rc = runInternalStatement(c, bump.c_str());
    runInternalStatement(c, "PRAGMA writable_schema = OFF");
    runInternalStatement(c, rc == SQLITE_OK ? "RELEASE zv_add_key" : "ROLLBACK TO zv_add_key; RELEASE zv_add_key");
  }
  sqlite3_db_config(c.db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  return rc == SQLITE_OK ? ZVSQL_OK : c.error;
}

}  // namespace

int prepareOwnStatement(Command& cmd, const char* sql) {
  Connection& c = *cmd.conn;
  std::string text = sql;
  std::string error;
  AddedForeignKey key;
  int foreignKey = parseAddForeignKey(text, &key, &error);
  if (foreignKey < 0) return c.fail(SQLITE_ERROR, error);
  OwnStatement own = foreignKey > 0 ? OwnStatement::AddForeignKey : OwnStatement::None;
  if (own == OwnStatement::None && isCreateRoutine(text)) {
    RoutineDefinition routine;
    if (!parseRoutine(text, &routine, &error)) return c.fail(SQLITE_ERROR, error);
    if (isBuiltIn(routine.name)) return c.fail(ZVSQL_REFUSED, "\"" + routine.name + "\" is a built-in procedure");
    own = OwnStatement::CreateRoutine;
  }
  if (own == OwnStatement::None) {
    std::string target = callTarget(text);
    if (!target.empty() && !isBuiltIn(target)) registerStoredRoutine(c, target);
    return -1;
  }
  Internal internal(c);
  if (sqlite3_prepare_v2(c.db, kStandIn, -1, &cmd.stmt, nullptr) != SQLITE_OK) {
    cmd.stmt = nullptr;
    return c.failSqlite(SQLITE_ERROR, "preparing the statement");
  }
  cmd.own = own;
  cmd.ownText = text;
  cmd.bound.clear();
  cmd.texts.clear();
  return ZVSQL_OK;
}

int runOwnStatement(Command& cmd) {
  return cmd.own == OwnStatement::CreateRoutine ? createRoutine(cmd) : addForeignKey(cmd);
}

void registerStoredRoutine(Connection& c, const std::string& name) {
  if (c.storedRoutines.count(lower(name))) return;
  Stmt find = prepareInternal(c, std::string("SELECT definition FROM main.") + kRoutineTable + " WHERE name = ?1");
  if (!find) return;  // no routine was ever stored here
  sqlite3_bind_text(find.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
  RoutineDefinition routine;
  std::string error;
  if (sqlite3_step(find.get()) != SQLITE_ROW || !sqlite3_column_text(find.get(), 0) ||
      !parseRoutine(reinterpret_cast<const char*>(sqlite3_column_text(find.get(), 0)), &routine, &error))
    return;
  if (registerProcedure(c.db, &c.context, storedProcedure(routine)) == SQLITE_OK) c.storedRoutines.insert(lower(name));
}

int64_t routinesStamp(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  int64_t stamp = 0;
  std::string sql = std::string("SELECT count(*) * 65599 + coalesce(max(rowid), 0) FROM main.") + kRoutineTable;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    stamp = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return stamp;
}

}  // namespace zvsql
