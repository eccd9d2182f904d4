// Inside the SQL client library: the statement text helpers (free of any
// database), the catalog and the built-in procedures.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace zvsql {

// ---- tokens ----
enum class TokenKind { Space, Comment, Word, Quoted, String, Number, Punct };

struct Token {
  TokenKind kind;
  size_t begin;  // byte offset in the text
  size_t length;
};

// Splits SQL text into tokens; unterminated literals and comments run to the end.
std::vector<Token> tokenize(const std::string& text);
bool isWord(const std::string& text, const Token& t, const char* word);  // case-insensitive
// The name a Word or Quoted token stands for (quotes removed, doubled quotes undone).
std::string identifierOf(const std::string& text, const Token& t);
std::string quoteIdentifier(const std::string& name);  // "a""b"

// ---- dialect rewrite ----
// The text SQLite runs and how its offsets map back to the caller's text.
struct Rewritten {
  std::string text;
  struct Piece {
    size_t outBegin, length;
    long inBegin;  // -1: written by the rewrite
  };
  std::vector<Piece> pieces;
  bool refused = false;  // a statement the library does not run
  std::string refusal;
  long callerOffset(long outOffset) const;  // -1 inside rewritten parts or when unknown
  // Replaces length bytes at outBegin (0: inserts) with text of the library's own.
  void replace(size_t outBegin, size_t length, const std::string& with);
  bool mentions(const char* word) const;    // the text uses this word as a token
  std::vector<std::string> words;           // lower-case Word tokens, for mentions()
};

// "call p(args)" -> "select * from p(args)"; "select top N skip M ..." ->
// "select ... LIMIT N OFFSET M"; a trailing "ZVOPTION(BADREC)" dropped; the
// select-list item rowid named "rowid". Works on tokens only.
Rewritten rewriteDialect(const std::string& text);

// ---- values an INSERT ... VALUES or an UPDATE ... SET writes ----
// One value written into a named column, offsets in the statement text.
struct ColumnValue {
  enum Kind { Text, Number, Null, Other };
  std::string column;
  size_t begin, length;
  Kind kind;
  std::string literal;  // a text's content unquoted; a number (with its sign) as written
};
struct WrittenValues {
  std::string table;  // empty: the statement is none of these
  std::string schema;  // the schema the statement names ("main", "temp"), empty when it names none
  size_t tableEnd = 0;  // just past the table's name
  std::vector<ColumnValue> values;
  std::vector<ColumnValue> upsertValues;  // of an insert's ON CONFLICT ... DO UPDATE SET
  size_t rows = 0;  // rows of an insert's VALUES
  // An insert that lists its columns: where one more column and, per row,
  // one more value go (at the closing parentheses).
  bool columnsListed = false;
  std::vector<std::string> listedColumns;
  size_t columnListClose = 0;
  std::vector<size_t> rowCloses;
  std::vector<size_t> rowItems;  // how many values each row holds
  // The statement's first word ("insert", "replace", "update"), its start
  // (after a leading WITH clause, if any) and whether it had one.
  std::string verb;
  size_t statementBegin = 0;
  bool withClause = false;
  // An insert whose rows come from a SELECT: the columns it fills and the
  // SELECT's text [selectBegin, selectEnd) (an upsert clause follows it).
  bool fromSelect = false;
  std::vector<std::string> targetColumns;
  size_t selectBegin = 0, selectEnd = 0;
};
// tableColumns: a table's columns in order, for an insert that lists none.
WrittenValues writtenValues(const std::string& text,
                            const std::function<std::vector<std::string>(const std::string&)>& tableColumns);

// ---- statements the library carries out itself ----
// Stored procedures and functions: their create texts are kept in the
// table below; the catalog lists them and a call of one runs it when its
// body is one the library knows (the plan graph), else it is refused.
constexpr const char* kRoutineTable = "zv_routines";

struct RoutineColumn {
  std::string argtype;  // "IN", "OUT", "INOUT"; "result"; "udf_return"
  std::string name, declared;
};
struct RoutineDefinition {
  bool function = false;
  std::string owner, name;  // owner "main" when the text names none
  std::vector<RoutineColumn> columns;
  std::string importText, body;
};
// "create procedure|function ..."; false with a message when the text is not one.
bool parseRoutine(const std::string& text, RoutineDefinition* out, std::string* error);
bool isCreateRoutine(const std::string& text);
bool runsPlanGraph(const RoutineDefinition& routine);  // its body builds the plan tree

// "alter table [o.]t add [constraint n] foreign key (...) references [o.]r [(...)] [actions]":
// the table and the constraint clause to add to its definition.
struct AddedForeignKey {
  std::string table, clause;
};
// 1 when the text is such a statement, 0 when it is not, -1 when it is one the library cannot read.
int parseAddForeignKey(const std::string& text, AddedForeignKey* out, std::string* error);
// The target of "call [owner.]name(...)"; empty when the text is no call.
std::string callTarget(const std::string& text);

// ---- CREATE texts of the schema ----
struct ParsedConstraint {
  char type;         // 'P', 'U', 'C', 'F'
  std::string name;  // empty when unnamed
  std::vector<std::string> columns;
  std::string checkClause;  // with its parentheses
  std::string refTable;
};
std::vector<ParsedConstraint> parseTableConstraints(const std::string& createSql);

struct ParsedTrigger {
  char time = 'A';   // 'B' before, 'A' after, 'I' instead of
  char event = 'I';  // 'I', 'U', 'D'
  std::vector<std::string> updateColumns;
  std::string body;  // between BEGIN and END
};
ParsedTrigger parseTrigger(const std::string& createSql);
std::string viewBody(const std::string& createSql);  // the text after AS

// ---- values of the built-in procedures ----
using Value = std::variant<std::monostate, int64_t, std::string>;
using Row = std::vector<Value>;

struct ProcedureColumn {
  std::string name;
  std::string type;  // declared type: "INTEGER" or "VARCHAR(8192)"
};

struct ConnectionContext;  // what a procedure may use of its connection

struct Procedure {
  std::string name;
  std::vector<ProcedureColumn> results;
  std::vector<std::string> parameters;
  std::function<int(ConnectionContext&, const std::vector<Value>& args, std::vector<Row>* rows, std::string* error)>
      run;
};
const std::vector<Procedure>& builtInProcedures();
// The procedure a stored routine is called as.
Procedure storedProcedure(const RoutineDefinition& routine);
int registerProcedure(sqlite3* db, ConnectionContext* context, Procedure procedure);

struct ConnectionContext {
  sqlite3* db = nullptr;
  std::string serverDirectory;
  std::string nodeName;
  std::function<std::vector<std::string>()> listDatabases;
};

// Registers the procedures as table-valued functions of the connection.
int registerProcedures(sqlite3* db, ConnectionContext* context);

// ---- the catalog ----
// Creates the catalog tables in the attached schema "admin".
int createCatalog(sqlite3* db, std::string* error);
// Refills them from the schema of "main".
int fillCatalog(sqlite3* db, std::string* error);

// Owners: user objects belong to "main", the catalog to "admin".
constexpr const char* kUserOwner = "main";
constexpr const char* kCatalogOwner = "admin";

}  // namespace zvsql
