// Connections, transactions, errors and commands.
#include "monitor.h"
#include "ravlink.h"
#include "zv_objects.h"

#include <strings.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <ctime>
#include <thread>

namespace fs = std::filesystem;
using namespace zvsql;

namespace {

struct ConnHandle {
  std::shared_ptr<Connection> conn;
};

ConnHandle* connOf(ZVSQL_CONN h) {
  return static_cast<ConnHandle*>(handles().find(reinterpret_cast<uintptr_t>(h), HandleKind::Connection));
}
Command* commandOf(ZVSQL_CMD h) {
  return static_cast<Command*>(handles().find(reinterpret_cast<uintptr_t>(h), HandleKind::Command));
}

const char* const kDefaultServer = "BRENLOXS";
constexpr int kUnboundedLockWaitSeconds = 60;  // lock waits of internal statements without a time-out
constexpr int64_t kInterruptCheckMs = 100;      // how often a running statement asks its caller

// Pragmas a statement may set: they change this connection's behaviour,
// never a file's form or place.
const char* const kSettablePragmas[] = {"foreign_keys",
                                        "defer_foreign_keys",
                                        "recursive_triggers",
                                        "case_sensitive_like",
                                        "cache_size",
                                        "user_version",
                                        "application_id",
                                        "table_info",
                                        "table_xinfo",
                                        "index_list",
                                        "index_info",
                                        "index_xinfo",
                                        "foreign_key_list",
                                        "foreign_key_check",
                                        "integrity_check",
                                        "quick_check",
                                        "reverse_unordered_selects",
                                        "analysis_limit"};

bool settablePragma(const char* name) {
  for (const char* p : kSettablePragmas)
    if (strcasecmp(p, name) == 0) return true;
  return false;
}

// Tables the engine keeps for itself in every database file: its catalog
// (rl_tables, rl_fields, ...), its browser properties and the identity
// sequences. SQL reads them; only the engine writes them.
bool enginesOwnTable(const char* name) {
  return name && (strncasecmp(name, "rl_", 3) == 0 || strcasecmp(name, "sqlite_sequence") == 0);
}

// Functions whose results are memory addresses of the process.
bool exposesAddresses(const char* function) { return function && strcasecmp(function, "fts3_tokenizer") == 0; }

const char* const kEngineTableRefusal = "The engine's own tables are written by the engine only";

int refuse(Connection* c, std::string why) {
  c->refusal = std::move(why);
  return SQLITE_DENY;
}

int catalogWrite(Connection* c, const char* dbName) {
  if (dbName && strcasecmp(dbName, kCatalogOwner) == 0) return refuse(c, "The catalog of admin is read-only");
  return SQLITE_OK;
}

int authorize(void* user, int action, const char* a1, const char* a2, const char* dbName, const char*) {
  auto* c = static_cast<Connection*>(user);
  if (c->internal) return SQLITE_OK;
  switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return refuse(c, "ATTACH and DETACH are not run: a connection works on its own database only");
    case SQLITE_PRAGMA:
      if (a2 && !settablePragma(a1)) return refuse(c, std::string("PRAGMA ") + a1 + " cannot be set here");
      if (strcasecmp(a1, "temp_store_directory") == 0 || strcasecmp(a1, "data_store_directory") == 0)
        return refuse(c, std::string("PRAGMA ") + a1 + " is not run");
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      if (a2 && strcasecmp(a2, "load_extension") == 0) return refuse(c, "Extensions are not loaded");
      if (exposesAddresses(a2)) return refuse(c, std::string("The function ") + a2 + " is not run");
      return SQLITE_OK;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
      // Dropping or renaming a table makes SQLite itself update its sequence row.
      if (c->schemaChange && a1 && strcasecmp(a1, "sqlite_sequence") == 0) return SQLITE_OK;
      [[fallthrough]];
    case SQLITE_CREATE_TABLE:
    case SQLITE_DROP_TABLE:
      if (enginesOwnTable(a1)) return refuse(c, kEngineTableRefusal);
      return catalogWrite(c, dbName);
    case SQLITE_CREATE_INDEX:
    case SQLITE_DROP_INDEX:
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_DROP_TRIGGER:
    case SQLITE_ALTER_TABLE:
      if (enginesOwnTable(a2)) return refuse(c, kEngineTableRefusal);
      return catalogWrite(c, action == SQLITE_ALTER_TABLE ? a1 : dbName);
    case SQLITE_CREATE_VIEW:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_VTABLE:
      if (enginesOwnTable(a1)) return refuse(c, kEngineTableRefusal);
      return catalogWrite(c, dbName);
    default:
      return SQLITE_OK;
  }
}

// Asks the caller's interrupt check, at most every kInterruptCheckMs.
bool callerWantsInterrupt(Connection& c, int64_t now) {
  if (!c.interruptCheck || now - c.lastInterruptCheckMs < kInterruptCheckMs) return false;
  c.lastInterruptCheckMs = now;
  if (c.interruptCheck(c.interruptArgument) == 0) return false;
  c.interrupted = true;
  return true;
}

// Interrupts a statement past its command's deadline, or when its caller asks.
int onProgress(void* user) {
  auto* c = static_cast<Connection*>(user);
  int64_t now = monotonicMs();
  if (c->hasDeadline && c->interruptAtDeadline && now >= c->deadlineMs) {
    c->timedOut = true;
    return 1;
  }
  return callerWantsInterrupt(*c, now) ? 1 : 0;
}

// Waits for a lock held by another connection, up to the deadline.
int onBusy(void* user, int) {
  auto* c = static_cast<Connection*>(user);
  int64_t now = monotonicMs();
  if (!c->hasDeadline || now >= c->deadlineMs) {
    c->timedOut = c->hasDeadline;
    return 0;
  }
  if (callerWantsInterrupt(*c, now)) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(2, c->deadlineMs - now)));
  return 1;
}

void onRollback(void* user) { static_cast<Connection*>(user)->catalogVersion = -1; }

void setDeadline(Connection& c, int seconds) {
  c.timedOut = false;
  c.timeoutSeconds = seconds;
  c.hasDeadline = true;
  c.interruptAtDeadline = seconds > 0;  // no limit: only lock waits are bounded
  c.deadlineMs = monotonicMs() + 1000 * int64_t(seconds > 0 ? seconds : kUnboundedLockWaitSeconds);
  if (seconds <= 0) c.timeoutSeconds = 0;
}

// Internal statements: never refused, bounded by the default time-out.
int runInternal(Connection& c, const char* sql) {
  c.internal = true;
  setDeadline(c, kDefaultTimeoutSeconds);  // a commit waits for readers of other connections
  char* msg = nullptr;
  int rc = sqlite3_exec(c.db, sql, nullptr, nullptr, &msg);
  c.hasDeadline = false;
  c.internal = false;
  if (rc != SQLITE_OK) c.fail(rc, msg ? msg : sqlite3_errstr(rc));
  sqlite3_free(msg);
  return rc;
}

bool anyStatementActive(sqlite3* db) {
  for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
    if (sqlite3_stmt_busy(s)) return true;
  return false;
}

// Refills the catalog when the schema changed, never under an open cursor.
int refreshCatalog(Connection& c) {
  if (anyStatementActive(c.db) && c.catalogVersion >= 0) return SQLITE_OK;
  c.internal = true;
  sqlite3_stmt* s = nullptr;
  int64_t version = -1;
  int rc = sqlite3_prepare_v2(c.db, "PRAGMA main.schema_version", -1, &s, nullptr);
  if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) version = sqlite3_column_int64(s, 0), rc = SQLITE_OK;
  sqlite3_finalize(s);
  if (rc == SQLITE_OK) version ^= routinesStamp(c.db) << 32;
  std::string error;
  if (rc == SQLITE_OK && version != c.catalogVersion) {
    rc = fillCatalog(c.db, &error);
    if (rc == SQLITE_OK) c.catalogVersion = version;
  }
  c.internal = false;
  if (rc != SQLITE_OK)
    return c.fail(rc, "The catalog cannot be read: " + (error.empty() ? std::string(sqlite3_errmsg(c.db)) : error));
  return SQLITE_OK;
}

bool onlyBlanks(const char* tail) {
  std::string rest = tail ? tail : "";
  for (const Token& t : tokenize(rest))
    if (t.kind != TokenKind::Space && t.kind != TokenKind::Comment &&
        !(t.kind == TokenKind::Punct && rest[t.begin] == ';'))
      return false;
  return true;
}

// A trigger runs its body later on whichever connection fires it, the
// engine's included, where no authorizer looks: a trigger whose text names
// one of the engine's tables is not made at all.
bool triggerNamesEngineTable(const std::string& text) {
  std::vector<Token> tokens = tokenize(text);
  size_t word = 0;
  bool trigger = false;
  for (const Token& t : tokens) {
    if (t.kind != TokenKind::Word) continue;
    if (word == 0 && !isWord(text, t, "create")) return false;
    if (word > 0 && word < 3 && isWord(text, t, "trigger")) trigger = true;
    if (++word == 3) break;
  }
  if (!trigger) return false;
  for (const Token& t : tokens)
    if ((t.kind == TokenKind::Word || t.kind == TokenKind::Quoted) && enginesOwnTable(identifierOf(text, t).c_str()))
      return true;
  return false;
}

std::vector<std::vector<std::string>> readRows(Connection& c, const char* sql, const std::string& parameter);

// The tables a trigger's body inserts into or updates ("INTO t", "UPDATE
// [OR ...] t", schema-qualified or not), or none when the text makes no trigger.
std::vector<std::string> tablesTriggerWrites(const std::string& text) {
  std::vector<Token> toks;
  for (const Token& t : tokenize(text))
    if (t.kind != TokenKind::Space && t.kind != TokenKind::Comment) toks.push_back(t);
  bool trigger = false;
  for (size_t i = 1; i < toks.size() && i < 3; ++i) trigger = trigger || isWord(text, toks[i], "trigger");
  if (toks.empty() || !isWord(text, toks[0], "create") || !trigger) return {};
  auto named = [&](const Token& t) { return t.kind == TokenKind::Word || t.kind == TokenKind::Quoted; };
  std::vector<std::string> tables;
  for (size_t i = 0; i + 1 < toks.size(); ++i) {
    if (!isWord(text, toks[i], "into") && !isWord(text, toks[i], "update")) continue;
    size_t k = i + 1;
    if (isWord(text, toks[i], "update") && k + 1 < toks.size() && isWord(text, toks[k], "or")) k += 2;
    if (k >= toks.size() || !named(toks[k])) continue;
    if (k + 2 < toks.size() && text[toks[k + 1].begin] == '.' && named(toks[k + 2])) k += 2;
    tables.push_back(identifierOf(text, toks[k]));
  }
  return tables;
}

// A trigger's body runs unrewritten, on whichever connection fires it: one
// that writes a table of the engine's would store what its fields refuse.
bool triggerWritesEngineFields(Connection& c, const std::string& text) {
  for (const std::string& table : tablesTriggerWrites(text))
    if (!readRows(c, "SELECT 1 FROM main.rl_tables WHERE name = ?1 COLLATE NOCASE", table).empty()) return true;
  return false;
}

// Rows of a read of the library's own, each column as text (null as "").
std::vector<std::vector<std::string>> readRows(Connection& c, const char* sql, const std::string& parameter) {
  std::vector<std::vector<std::string>> rows;
  sqlite3_stmt* st = nullptr;
  c.internal = true;
  if (sqlite3_prepare_v2(c.db, sql, -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(st, 1, parameter.data(), int(parameter.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const unsigned char* text = sqlite3_column_text(st, i);
        row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(st);
  c.internal = false;
  return rows;
}

std::string sqlText(const std::string& text) {
  std::string out = "'";
  for (char ch : text) out += ch == '\'' ? std::string("''") : std::string(1, ch);
  return out + "'";
}

// One field of an engine table as its catalog row gives it.
struct EngineField {
  std::string name;
  int type, length, binaryFlag, scaleWord;
};

// zv_field_value(value, type, length, binary flag, scale word, column): the
// value as the engine stores it in that field, or an error when the field
// refuses it, checked as the engine's own writers check theirs. Values that
// only the running statement knows (expressions, parameters, the rows of
// INSERT ... SELECT) pass through it on their way into a field of the
// engine's, as SQLite's loose typing would take anything.
void fieldValue(sqlite3_context* context, int, sqlite3_value** args) {
  rlSqlValue v{sqlite3_value_type(args[0]), 0, 0, nullptr, 0};
  switch (v.kind) {
    case SQLITE_NULL:
      sqlite3_result_null(context);
      return;
    case SQLITE_INTEGER:
      v.integer = sqlite3_value_int64(args[0]);
      break;
    case SQLITE_FLOAT:
      v.real = sqlite3_value_double(args[0]);
      break;
    case SQLITE_TEXT:
      v.bytes = reinterpret_cast<const char*>(sqlite3_value_text(args[0]));
      v.size = size_t(sqlite3_value_bytes(args[0]));
      break;
    default:
      v.bytes = static_cast<const char*>(sqlite3_value_blob(args[0]));
      v.size = size_t(sqlite3_value_bytes(args[0]));
  }
  const rlSqlValue given = v;
  char out[1024];
  const char* column = reinterpret_cast<const char*>(sqlite3_value_text(args[5]));
  int rc = rlSqlFieldValue(sqlite3_value_int(args[1]), sqlite3_value_int(args[2]), sqlite3_value_int(args[3]),
                           sqlite3_value_int(args[4]), column, &v, out, sizeof out);
  if (rc != RL_OK) {
    static_cast<Connection*>(sqlite3_user_data(context))->valueRefused = true;
    std::string why = std::string("Column ") + (column ? column : "") + ": " + out;
    sqlite3_result_error(context, why.c_str(), -1);
    return;
  }
  bool same = v.kind == given.kind && v.bytes == given.bytes && v.integer == given.integer;
  if (same && v.kind != SQLITE_FLOAT) {
    sqlite3_result_value(context, args[0]);
    return;
  }
  switch (v.kind) {
    case SQLITE_INTEGER:
      sqlite3_result_int64(context, v.integer);
      break;
    case SQLITE_FLOAT:
      sqlite3_result_double(context, v.real);
      break;
    case SQLITE_TEXT:
      sqlite3_result_text64(context, v.bytes, v.size, SQLITE_TRANSIENT, SQLITE_UTF8);
      break;
    case SQLITE_BLOB:
      sqlite3_result_blob64(context, v.bytes, v.size, SQLITE_TRANSIENT);
      break;
    default:
      sqlite3_result_null(context);
  }
}

int registerFieldValue(Connection& c) {
  return sqlite3_create_function_v2(c.db, "zv_field_value", 6, SQLITE_UTF8 | SQLITE_DETERMINISTIC, &c, fieldValue,
                                    nullptr, nullptr, nullptr);
}

const EngineField* fieldNamed(const std::vector<EngineField>& fields, const std::string& column) {
  for (const EngineField& f : fields)
    if (strcasecmp(f.name.c_str(), column.c_str()) == 0) return &f;
  return nullptr;
}

// The call that passes source into field f.
std::string throughField(const EngineField& f, const std::string& source) {
  return "zv_field_value(" + source + ", " + std::to_string(f.type) + ", " + std::to_string(f.length) + ", " +
         std::to_string(f.binaryFlag) + ", " + std::to_string(f.scaleWord) + ", " + sqlText(f.name) + ")";
}

// The k-th identity value one insert draws (k from 1) of a table with its
// own seed and increment, read inside the insert's write. SQLite writes the
// sequence back when the statement ends, so each row of it reads the same.
// A falling identity (a negative increment) goes on below the lowest value
// the table holds.
std::string drawnIdentity(const std::vector<std::string>& identity, const std::string& ordinal) {
  std::string last = identity[3][0] == '-'
                         ? "(SELECT min(" + quoteIdentifier(identity[1]) + ") FROM main." + quoteIdentifier(identity[0]) + ")"
                         : "(SELECT seq FROM main.sqlite_sequence WHERE name = " + sqlText(identity[0]) + ")";
  return "(coalesce(" + last + ", " + identity[2] + " - (" + identity[3] + ")) + (" + identity[3] + ") * " + ordinal +
         ")";
}

// "INSERT ... SELECT" into an engine table: the SELECT becomes a WITH
// table, its columns go in through zv_field_value and the identity is
// drawn row by row.
void keepSelectedValues(const WrittenValues& written, const std::vector<EngineField>& fields,
                        const std::vector<std::string>* identity, Rewritten& text) {
  std::string columns, selected;
  bool rewrite = false, identityGiven = false;
  for (size_t i = 0; i < written.targetColumns.size(); ++i) {
    const std::string& target = written.targetColumns[i];
    std::string source = "zv_c" + std::to_string(i + 1);
    std::string value = source;
    if (const EngineField* f = fieldNamed(fields, target)) {
      value = throughField(*f, source);
      rewrite = true;
    }
    if (identity && strcasecmp(target.c_str(), (*identity)[1].c_str()) == 0) {
      value = "coalesce(" + source + ", " +
              drawnIdentity(*identity, "sum(" + source + " IS NULL) OVER (ROWS UNBOUNDED PRECEDING)") + ")";
      identityGiven = rewrite = true;
    }
    columns += (i ? ", " : "") + source;
    selected += (i ? ", " : "") + value;
  }
  bool identityAdded = identity && !identityGiven && written.columnsListed;
  if (identityAdded) selected += ", " + drawnIdentity(*identity, "row_number() OVER ()");
  if (!rewrite && !identityAdded) return;
  std::string select = text.text.substr(written.selectBegin, written.selectEnd - written.selectBegin);
  // WHERE true: SQLite needs it to tell an upsert clause after the SELECT from a join's ON.
  text.replace(written.selectBegin, written.selectEnd - written.selectBegin,
               "SELECT " + selected + " FROM zv_source WHERE true");
  if (identityAdded) text.replace(written.columnListClose, 0, ", " + quoteIdentifier((*identity)[1]));
  text.replace(written.statementBegin, 0,
               std::string(written.withClause ? ", " : "WITH ") + "zv_source(" + columns + ") AS (" + select + ") ");
}

// Whether a write names a table of the engine's: one in main that no
// temporary table of the same name hides.
bool aimsAtMain(Connection& c, const WrittenValues& written) {
  if (!written.schema.empty()) return strcasecmp(written.schema.c_str(), "main") == 0;
  return readRows(c, "SELECT 1 FROM temp.sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
                  written.table)
      .empty();
}

std::string quotedColumnList(const std::vector<EngineField>& fields) {
  std::string list;
  for (const EngineField& f : fields) list += (list.empty() ? " (" : ", ") + quoteIdentifier(f.name);
  return list + ")";
}

// An INSERT or UPDATE of a table the engine made writes what the engine's
// own writers would: every value checked against its field (declared
// length, integer range, numbers, dates, JSON) and converted as they
// convert it, a decimal with every digit, and an insert that leaves the
// identity to the database draws it from its seed and increment.
int keepEngineValues(Connection& c, Rewritten& text) {
  if (text.words.empty() || (text.words[0] != "insert" && text.words[0] != "replace" && text.words[0] != "update" &&
                             text.words[0] != "with"))
    return ZVSQL_OK;
  std::vector<EngineField> fields;
  bool fieldsRead = false;
  auto readFields = [&](const std::string& table) {
    if (fieldsRead) return;
    fieldsRead = true;
    for (auto& row : readRows(c,
                              "SELECT name, type, length, binary_flag, scale FROM main.rl_fields"
                              " WHERE tbl = ?1 COLLATE NOCASE ORDER BY pos",
                              table))
      fields.push_back({row[0], atoi(row[1].c_str()), atoi(row[2].c_str()), atoi(row[3].c_str()), atoi(row[4].c_str())});
  };
  size_t tableColumns = 0;
  auto columnsOf = [&](const std::string& table) {
    readFields(table);
    std::vector<std::string> columns;
    for (auto& row : readRows(c, "SELECT name FROM pragma_table_info(?1, 'main')", table)) columns.push_back(row[0]);
    tableColumns = columns.size();
    return columns;
  };
  WrittenValues written = writtenValues(text.text, columnsOf);
  if (written.table.empty()) return ZVSQL_OK;
  readFields(written.table);
  if (fields.empty() || !aimsAtMain(c, written)) return ZVSQL_OK;
  // A table of the engine's has columns of its own besides its fields (the
  // record id of a table without an identity, the partition): the rows of
  // an insert that lists no columns may give the fields alone, in their order.
  bool fieldsForColumns = !written.columnsListed && written.rows > 0 && fields.size() < tableColumns &&
                          std::all_of(written.rowItems.begin(), written.rowItems.end(),
                                      [&](size_t items) { return items == fields.size(); });
  if (fieldsForColumns)
    written = writtenValues(text.text, [&](const std::string&) {
      std::vector<std::string> columns;
      for (const EngineField& f : fields) columns.push_back(f.name);
      return columns;
    });
  struct Edit {
    size_t begin, length;
    std::string with;
  };
  // Edits apply from the end; of two insertions at one place the later one
  // made applies first, so the earlier one made stays in front of it.
  auto comesFirst = [](const Edit& a, const Edit& b) { return a.begin > b.begin; };
  std::vector<Edit> edits;
  if (fieldsForColumns) edits.push_back({written.tableEnd, 0, quotedColumnList(fields)});
  for (const auto* list : {&written.values, &written.upsertValues})
    for (const ColumnValue& v : *list) {
      const EngineField* f = fieldNamed(fields, v.column);
      if (!f || v.kind == ColumnValue::Null) continue;
      if (v.length == 0) {
        if (v.kind == ColumnValue::Other)
          return c.fail(ZVSQL_CONVERSION, "Column " + v.column +
                                              ": a value set together with other columns from one row cannot be "
                                              "checked; set each column of the table on its own");
        continue;
      }
      if (v.kind == ColumnValue::Other) {
        // Known only when the statement runs: checked then.
        std::string call = throughField(*f, "");
        edits.push_back({v.begin + v.length, 0, call.substr(call.find(','))});
        edits.push_back({v.begin, 0, "zv_field_value("});
        continue;
      }
      rlSqlValue literal{SQLITE_TEXT, 0, 0, v.literal.data(), v.literal.size()};
      if (v.kind == ColumnValue::Number) {
        const char* b = v.literal.c_str() + (v.literal[0] == '+' ? 1 : 0);
        auto [end, ec] = std::from_chars(b, v.literal.c_str() + v.literal.size(), literal.integer);
        // Not a 64-bit integer: a double, but a decimal takes the digits as written.
        bool integer = ec == std::errc() && end == v.literal.c_str() + v.literal.size();
        literal.kind = integer                                       ? SQLITE_INTEGER
                       : rlTypeClass(f->type) == RL_CLASS_DECIMAL ? SQLITE_TEXT
                                                                    : SQLITE_FLOAT;
        if (literal.kind == SQLITE_FLOAT) literal.real = std::strtod(v.literal.c_str(), nullptr);
      }
      char stored[1024];
      int rc = rlSqlFieldLiteral(f->type, f->length, f->binaryFlag, f->scaleWord, f->name.c_str(), &literal, stored,
                                 sizeof stored);
      if (rc != RL_OK)
        return c.fail(ZVSQL_CONVERSION, "Column " + v.column + ": " + stored, text.callerOffset(long(v.begin)));
      if (*stored) edits.push_back({v.begin, v.length, stored});
    }
  auto identities = readRows(c,
                             "SELECT name, identity_field, identity_seed, identity_increment FROM main.rl_tables"
                             " WHERE name = ?1 COLLATE NOCASE AND identity_field IS NOT NULL",
                             written.table);
  const std::vector<std::string>* identity = nullptr;
  bool inserts = strcasecmp(written.verb.c_str(), "insert") == 0 || strcasecmp(written.verb.c_str(), "replace") == 0;
  if (!identities.empty() && inserts && (identities[0][2] != "1" || identities[0][3] != "1"))
    identity = &identities[0];
  if (identity && written.rows > 0) {
    const std::string& column = (*identity)[1];
    size_t drawn = 0;
    bool given = false;
    for (const ColumnValue& v : written.values)
      if (strcasecmp(v.column.c_str(), column.c_str()) == 0) {
        given = true;
        if (v.kind == ColumnValue::Null) edits.push_back({v.begin, v.length, drawnIdentity(*identity, std::to_string(++drawn))});
      }
    if (!given && written.columnsListed) {
      edits.push_back({written.columnListClose, 0, ", " + quoteIdentifier(column)});
      for (size_t close : written.rowCloses) edits.push_back({close, 0, ", " + drawnIdentity(*identity, std::to_string(++drawn))});
    }
  }
  std::reverse(edits.begin(), edits.end());
  std::stable_sort(edits.begin(), edits.end(), comesFirst);
  for (const Edit& e : edits) text.replace(e.begin, e.length, e.with);
  // (an insert from a SELECT has no VALUES: nothing above moved its text)
  if (written.fromSelect) keepSelectedValues(written, fields, identity, text);
  return ZVSQL_OK;
}

int prepareCommand(Command& cmd, const char* sql) {
  Connection& c = *cmd.conn;
  cmd.finalize();
  if (!sql) return c.fail(ZVSQL_BAD_ARGUMENT, "No statement text");
  cmd.text = rewriteDialect(sql);
  if (cmd.text.refused) return c.fail(ZVSQL_REFUSED, cmd.text.refusal);
  if (triggerNamesEngineTable(cmd.text.text)) return c.fail(ZVSQL_REFUSED, kEngineTableRefusal);
  if (triggerWritesEngineFields(c, cmd.text.text))
    return c.fail(ZVSQL_REFUSED, "A trigger does not write the engine's tables: their values are checked as written");
  if (int rc = keepEngineValues(c, cmd.text); rc != ZVSQL_OK) return rc;
  int own = prepareOwnStatement(cmd, sql);
  if (own >= 0) return own;
  // The catalog is read through its schema name, or by the column procedure.
  if (cmd.text.mentions(kCatalogOwner) || cmd.text.mentions("sqlprocedurecols2x")) {
    int rc = refreshCatalog(c);
    if (rc != SQLITE_OK) return rc;
  }
  const char* tail = nullptr;
  c.refusal.clear();
  c.schemaChange = !cmd.text.words.empty() && (cmd.text.words[0] == "drop" || cmd.text.words[0] == "alter");
  int rc = sqlite3_prepare_v2(c.db, cmd.text.text.c_str(), int(cmd.text.text.size()), &cmd.stmt, &tail);
  if (rc != SQLITE_OK) {
    long pos = cmd.text.callerOffset(sqlite3_error_offset(c.db));
    // A refusal of the authorizer may surface as SQLite's plain error (functions do).
    bool refused = rc == SQLITE_AUTH || !c.refusal.empty();
    std::string msg = refused && !c.refusal.empty() ? c.refusal : sqlite3_errmsg(c.db);
    cmd.stmt = nullptr;
    return c.fail(refused ? ZVSQL_REFUSED : sqlite3_extended_errcode(c.db), msg, pos);
  }
  if (!cmd.stmt) return c.fail(ZVSQL_EMPTY_STATEMENT, "The text holds no statement");
  if (!onlyBlanks(tail)) {
    long pos = cmd.text.callerOffset(long(tail - cmd.text.text.c_str()));
    cmd.finalize();
    return c.fail(ZVSQL_MULTIPLE, "One statement at a time: the text goes on after its first statement", pos);
  }
  cmd.bound.assign(size_t(sqlite3_bind_parameter_count(cmd.stmt)), false);
  cmd.texts.resize(cmd.bound.size());
  return ZVSQL_OK;
}

// Opens the transaction that keeps work until commit or rollback.
int beginIfNeeded(Command& cmd) {
  Connection& c = *cmd.conn;
  if (c.clientAutoCommit || !sqlite3_get_autocommit(c.db)) return SQLITE_OK;
  if (sqlite3_stmt_readonly(cmd.stmt) && c.isolation < 2) return SQLITE_OK;
  if (sqlite3_stmt_readonly(cmd.stmt)) {
    // transaction statements themselves are read-only
    const char* sql = sqlite3_sql(cmd.stmt);
    std::string first;
    for (const Token& t : tokenize(sql))
      if (t.kind == TokenKind::Word) {
        first = std::string(sql + t.begin, t.length);
        break;
      }
    for (const char* w : {"begin", "commit", "end", "rollback", "savepoint", "release", "pragma"})
      if (strcasecmp(first.c_str(), w) == 0) return SQLITE_OK;
  }
  return runInternal(c, "BEGIN");
}

// Column names, types and scales, fixed for the cursor's life.
void describe(Cursor& cur, sqlite3_stmt* s) {
  cur.columns = sqlite3_column_count(s);
  for (int i = 0; i < cur.columns; ++i) {
    const char* name = sqlite3_column_name(s, i);
    cur.names.push_back(name ? name : "");
    int scale = 0;
    int16_t type = typeOfDeclared(sqlite3_column_decltype(s, i), &scale);
    if (type == 0) {
      int storage = cur.state == CursorState::OnRow ? sqlite3_column_type(s, i) : SQLITE_NULL;
      type = storage == SQLITE_INTEGER ? 16 : storage == SQLITE_FLOAT ? 6 : storage == SQLITE_BLOB ? 26 : 21;
    }
    if (cur.names.back() == "rowid") type = 1;  // the grid's row identifier is a text
    cur.types.push_back(type);
    cur.scales.push_back(scale);
  }
}

int runToEnd(Command& cmd) {
  int rc;
  int code;
  startRun(cmd);
  while ((code = stepStatement(cmd, &rc)) == ZVSQL_OK && rc == SQLITE_ROW) {
  }
  if (code != ZVSQL_OK) return code;
  cmd.affected = sqlite3_stmt_readonly(cmd.stmt) ? 0 : sqlite3_changes64(cmd.conn->db);
  sqlite3_reset(cmd.stmt);
  return ZVSQL_OK;
}

bool allBound(const Command& cmd) {
  for (bool b : cmd.bound)
    if (!b) return false;
  return true;
}

// The declared type of the column an "x = ?" assignment of the k-th
// parameter targets in "update t set ...", or null.
const char* targetDeclaredType(Command& cmd, int index) {
  const std::string& sql = cmd.text.text;
  std::vector<Token> toks;
  for (const Token& t : tokenize(sql))
    if (t.kind != TokenKind::Space && t.kind != TokenKind::Comment) toks.push_back(t);
  if (toks.size() < 4 || !isWord(sql, toks[0], "update")) return nullptr;
  size_t k = 1;
  std::string table = identifierOf(sql, toks[k]);
  if (k + 2 < toks.size() && sql[toks[k + 1].begin] == '.') table = identifierOf(sql, toks[k += 2]);
  int seen = -1;
  for (size_t i = k; i < toks.size(); ++i) {
    if (toks[i].kind != TokenKind::Punct || sql[toks[i].begin] != '?' || ++seen != index) continue;
    // (a parameter bound for a field of the engine's is passed through its check)
    size_t at = i >= 3 && sql[toks[i - 1].begin] == '(' && isWord(sql, toks[i - 2], "zv_field_value") ? i - 2 : i;
    if (at < 2 || sql[toks[at - 1].begin] != '=') return nullptr;
    std::string column = identifierOf(sql, toks[at - 2]);
    const char* declared = nullptr;
    Connection& c = *cmd.conn;
    c.internal = true;
    int rc = sqlite3_table_column_metadata(c.db, "main", table.c_str(), column.c_str(), &declared, nullptr, nullptr,
                                           nullptr, nullptr);
    c.internal = false;
    return rc == SQLITE_OK ? declared : nullptr;
  }
  return nullptr;
}

bool validUtf8(const unsigned char* p, int n) {
  for (int i = 0; i < n;) {
    int len = p[i] < 0x80 ? 1 : (p[i] >> 5) == 6 ? 2 : (p[i] >> 4) == 14 ? 3 : (p[i] >> 3) == 30 ? 4 : 0;
    if (!len || i + len > n) return false;
    for (int k = 1; k < len; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

// Binding needs a statement that is not running.
int readyToBind(Command& cmd, int index) {
  Connection& c = *cmd.conn;
  if (!c.db) return c.fail(ZVSQL_NOT_CONNECTED, "The connection is not logged on");
  if (!cmd.stmt) return c.fail(ZVSQL_NOT_PREPARED, "No statement is prepared on the command");
  if (index < 0 || size_t(index) >= cmd.bound.size())
    return c.fail(ZVSQL_BAD_PARAMETER, "Parameter " + std::to_string(index) + " is out of range (the statement has " +
                                           std::to_string(cmd.bound.size()) + ")");
  if (sqlite3_stmt_busy(cmd.stmt)) {
    sqlite3_reset(cmd.stmt);
    if (cmd.current) cmd.current->state = CursorState::Done, cmd.current->firstPending = false;
  }
  return ZVSQL_OK;
}

template <class Bind>
int bindParameter(ZVSQL_CMD h, int index, Bind&& bind) {
  Command* cmd = commandOf(h);
  if (!cmd) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(cmd->conn->mutex);
  int rc = readyToBind(*cmd, index);
  if (rc != ZVSQL_OK) return rc;
  rc = bind(cmd->stmt, index + 1);
  if (rc != SQLITE_OK) return cmd->conn->failSqlite(rc, "binding a parameter");
  cmd->bound[size_t(index)] = true;
  return ZVSQL_OK;
}

std::vector<std::string> databasesOf(ZVSession* session, const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec) || entry.path().extension() != ".db") continue;
    std::string name = entry.path().stem().string();
    try {
      if (session->FindDatabase(name.c_str())) names.push_back(name);
    } catch (const ZVException&) {
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// "PORT@HOST:DATABASE", HOST possibly "SERVER@HOST".
bool parseConnectString(const std::string& text, std::string* server, std::string* database) {
  size_t at = text.find('@');
  size_t colon = text.rfind(':');
  if (at == std::string::npos || colon == std::string::npos || colon < at || at == 0) return false;
  for (size_t i = 0; i < at; ++i)
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  std::string host = text.substr(at + 1, colon - at - 1);
  *database = text.substr(colon + 1);
  if (host.find('@') != std::string::npos) {
    *server = host;
  } else {
    const char* env = getenv("ZVSQL_SERVER");
    *server = std::string(env && *env ? env : kDefaultServer) + "@" + host;
  }
  return !database->empty();
}

int openDatabase(Connection& c, const std::string& path) {
  int rc =
      sqlite3_open_v2(path.c_str(), &c.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (rc != SQLITE_OK) {
    c.fail(rc,
           std::string("The database file cannot be opened: ") + (c.db ? sqlite3_errmsg(c.db) : sqlite3_errstr(rc)));
    sqlite3_close_v2(c.db);
    c.db = nullptr;
    return rc;
  }
  sqlite3_extended_result_codes(c.db, 1);
  sqlite3_db_config(c.db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  sqlite3_db_config(c.db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  // The set-up reads the file's schema, which another writer may hold locked
  // for a moment: it waits for it like any statement does.
  sqlite3_busy_handler(c.db, onBusy, &c);
  rc = runInternal(c, "PRAGMA temp_store = MEMORY; ATTACH DATABASE ':memory:' AS admin;");
  std::string error;
  setDeadline(c, kDefaultTimeoutSeconds);
  if (rc == SQLITE_OK && (rc = createCatalog(c.db, &error)) != SQLITE_OK) c.fail(rc, error);
  if (rc == SQLITE_OK && (rc = registerProcedures(c.db, &c.context)) != SQLITE_OK)
    c.fail(rc, "The procedures cannot be registered");
  if (rc == SQLITE_OK && (rc = registerFieldValue(c)) != SQLITE_OK)
    c.fail(rc, "The check of values written into fields cannot be registered");
  c.hasDeadline = false;
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(c.db);
    c.db = nullptr;
    return rc;
  }
  sqlite3_limit(c.db, SQLITE_LIMIT_ATTACHED, 1);
  sqlite3_set_authorizer(c.db, authorize, &c);
  sqlite3_progress_handler(c.db, 1000, onProgress, &c);
  sqlite3_rollback_hook(c.db, onRollback, &c);
  c.catalogVersion = -1;
  return SQLITE_OK;
}

}  // namespace

namespace zvsql {

int64_t monotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int runInternalStatement(Connection& c, const char* sql) { return runInternal(c, sql); }

int Connection::failSqlite(int rc, const char* doing) {
  if (valueRefused) {
    valueRefused = false;
    return fail(ZVSQL_CONVERSION, std::string(db ? sqlite3_errmsg(db) : "A field refused a value") + " (" + doing + ")");
  }
  if ((rc == SQLITE_INTERRUPT || (rc & 0xff) == SQLITE_BUSY) && interrupted)
    return fail(ZVSQL_INTERRUPTED, std::string("The statement was interrupted by its caller while ") + doing);
  if ((rc == SQLITE_INTERRUPT && timedOut) || ((rc & 0xff) == SQLITE_BUSY && timedOut))
    return fail(ZVSQL_TIMED_OUT,
                "The statement ran past its time-out of " + std::to_string(timeoutSeconds) + " seconds while " + doing);
  std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  return fail(db ? sqlite3_extended_errcode(db) ? sqlite3_extended_errcode(db) : rc : rc, msg + " (" + doing + ")");
}

void Connection::close() {
  for (Command* cmd : commands) {
    cmd->finalize();
    cmd->armed = false;
  }
  if (db) {
    if (!sqlite3_get_autocommit(db)) runInternal(*this, "ROLLBACK");
    sqlite3_close_v2(db);
    db = nullptr;
  }
  context.listDatabases = [] { return std::vector<std::string>(); };  // it used the session
  session.reset();
  catalogVersion = -1;
  storedRoutines.clear();  // their modules went with the SQLite connection
}

Command::~Command() = default;

Cursor* newCursor(Command& cmd) {
  std::unique_ptr<Cursor> cur;
  if (!cmd.spare.empty()) {
    cur = std::move(cmd.spare.back());
    cmd.spare.pop_back();
  } else {
    cur = std::make_unique<Cursor>();
  }
  cur->command = &cmd;
  cur->handle = handles().add(HandleKind::Cursor, cur.get());
  if (!cur->handle) return nullptr;
  cmd.cursors.push_back(cur->handle);
  return cur.release();
}

void releaseCursor(Command& cmd, Cursor* cur) {
  handles().remove(cur->handle, HandleKind::Cursor);
  if (cmd.current == cur) {
    if (cmd.stmt) sqlite3_reset(cmd.stmt);
    cmd.current = nullptr;
  }
  auto at = std::find(cmd.cursors.begin(), cmd.cursors.end(), cur->handle);
  if (at != cmd.cursors.end()) cmd.cursors.erase(at);
  constexpr size_t kSpareCursors = 4;
  if (cmd.spare.size() >= kSpareCursors) {
    delete cur;
    return;
  }
  cur->state = CursorState::Done;
  cur->firstPending = false;
  cur->columns = 0;
  cur->types.clear();
  cur->scales.clear();
  cur->names.clear();
  cmd.spare.emplace_back(cur);
}

void Command::finalize() {
  if (current) {
    current->state = CursorState::Done;
    current->firstPending = false;
    current->command = this;
    current = nullptr;
  }
  if (stmt) sqlite3_finalize(stmt);
  stmt = nullptr;
  armed = false;
  own = OwnStatement::None;
  bound.clear();
}

int maxStatementSeconds() {
  const char* text = getenv("ZVSQL_MAX_STATEMENT_SECONDS");
  int value = text ? atoi(text) : 0;
  return value > 0 && value < kMaxStatementSeconds ? value : kMaxStatementSeconds;
}

void startRun(Command& c) {
  int seconds = c.timeoutSeconds > 0 && c.timeoutSeconds < maxStatementSeconds() ? c.timeoutSeconds
                                                                                  : maxStatementSeconds();
  c.runSeconds = seconds;
  c.runDeadlineMs = monotonicMs() + 1000 * int64_t(seconds);
}

int stepStatement(Command& c, int* sqliteRc) {
  Connection& conn = *c.conn;
  conn.timedOut = false;
  conn.interrupted = false;
  conn.valueRefused = false;
  conn.timeoutSeconds = c.runSeconds;
  conn.deadlineMs = c.runDeadlineMs;
  conn.hasDeadline = true;
  conn.interruptAtDeadline = true;
  if (monotonicMs() >= c.runDeadlineMs) {  // the time went by between two fetches
    conn.timedOut = true;
    *sqliteRc = SQLITE_INTERRUPT;
    conn.hasDeadline = false;
    return stepFailure(c, SQLITE_INTERRUPT);
  }
  int rc = sqlite3_step(c.stmt);
  conn.hasDeadline = false;
  *sqliteRc = rc;
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return ZVSQL_OK;
  return stepFailure(c, rc);
}

int stepFailure(Command& c, int rc) {
  Connection& conn = *c.conn;
  int code = conn.failSqlite(rc, "running the statement");
  sqlite3_reset(c.stmt);
  return code;
}

}  // namespace zvsql

extern "C" {

ZVSQL_CONN zvsqlNewConnection(void) {
  auto* h = new ConnHandle{std::make_shared<Connection>()};
  h->conn->context.listDatabases = [] { return std::vector<std::string>(); };
  uintptr_t id = handles().add(HandleKind::Connection, h);
  if (!id) delete h;
  return reinterpret_cast<ZVSQL_CONN>(id);
}

void zvsqlFreeConnection(ZVSQL_CONN conn) {
  auto* h = static_cast<ConnHandle*>(handles().remove(reinterpret_cast<uintptr_t>(conn), HandleKind::Connection));
  if (!h) return;
  {
    std::lock_guard<ConnectionLock> lock(h->conn->mutex);
    h->conn->close();
  }
  delete h;
}

int zvsqlConnect(ZVSQL_CONN conn, const char* connectString, const char* user, const char* password) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  Connection& c = *h->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  c.close();
  std::string server, database;
  if (!connectString || !parseConnectString(connectString, &server, &database))
    return c.fail(ZVSQL_BAD_CONNECT, std::string("Connect string [") + (connectString ? connectString : "") +
                                         "] is not PORT@HOST:DATABASE");
  int32_t previousOwner = rlGetCurrentOwner();  // the engine log-on must not change the caller's owner
  std::string path;
  try {
    auto session = std::make_unique<ZVSession>(2);
    session->Logon(server.c_str(), user ? user : "", password ? password : "");
    SETSQLLOGON();  // the logon is current now: the monitor lists it as an SQL client's
    ZVDatabase db(session.get());
    db.Connect(database.c_str());
    path = db.GetPath();
    db.Disconnect();
    c.session = std::move(session);
  } catch (const ZVException& e) {
    rlSetCurrentOwner(previousOwner);
    return c.fail(e.GetErrorCode() ? e.GetErrorCode() : ZVSQL_BAD_CONNECT, e.GetErrorMsg());
  }
  rlSetCurrentOwner(previousOwner);
  int rc = openDatabase(c, path);
  if (rc != SQLITE_OK) {
    c.session.reset();
    return rc;
  }
  c.context.db = c.db;
  c.context.serverDirectory = fs::path(path).parent_path().string();
  ZVSession* session = c.session.get();
  std::string dir = c.context.serverDirectory;
  c.context.listDatabases = [session, dir] { return databasesOf(session, dir); };
  c.fail(0, "");
  return ZVSQL_OK;
}

int zvsqlDisconnect(ZVSQL_CONN conn) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  if (!h->conn->db) return h->conn->fail(ZVSQL_NOT_CONNECTED, "The connection is not logged on");
  h->conn->close();
  return ZVSQL_OK;
}

int zvsqlIsActiveConn(ZVSQL_CONN conn) {
  ConnHandle* h = connOf(conn);
  if (!h) return 0;
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  return h->conn->db ? 1 : 0;
}

static int endTransaction(ZVSQL_CONN conn, const char* sql) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  Connection& c = *h->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  if (!c.db) return c.fail(ZVSQL_NOT_CONNECTED, "The connection is not logged on");
  if (sqlite3_get_autocommit(c.db)) return ZVSQL_OK;
  // Finished statements must not hold the transaction open.
  for (Command* cmd : c.commands)
    if (cmd->stmt && !cmd->current) sqlite3_reset(cmd->stmt);
  int rc = runInternal(c, sql);
  if (rc != SQLITE_OK) c.errorPos = -1;
  return rc == SQLITE_OK ? ZVSQL_OK : c.error;
}

int zvsqlCommit(ZVSQL_CONN conn) { return endTransaction(conn, "COMMIT"); }
int zvsqlAbort(ZVSQL_CONN conn) { return endTransaction(conn, "ROLLBACK"); }

const char* zvsqlGetErrorMessage(ZVSQL_CONN conn) {
  ConnHandle* h = connOf(conn);
  if (!h) return "Unknown connection handle";
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  return h->conn->message.c_str();
}

int zvsqlGetError(ZVSQL_CONN conn) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  return h->conn->error;
}

int zvsqlGetErrorPos(ZVSQL_CONN conn) {
  ConnHandle* h = connOf(conn);
  if (!h) return -1;
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  return int(h->conn->errorPos);
}

int zvsqlSetAutoCommit(ZVSQL_CONN conn, int on) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  Connection& c = *h->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  c.clientAutoCommit = on != 0;
  // Switching auto-commit on commits the work kept so far.
  if (on && c.db && !sqlite3_get_autocommit(c.db) && runInternal(c, "COMMIT") != SQLITE_OK) return c.error;
  return ZVSQL_OK;
}

int zvsqlSetIsolationLevel(ZVSQL_CONN conn, int level) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  Connection& c = *h->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  if (level < 0 || level > 3)
    return c.fail(ZVSQL_BAD_ARGUMENT, "Isolation level " + std::to_string(level) +
                                          " is not one of 0 (read uncommitted) to 3 (serializable)");
  c.isolation = level;
  if (c.db) {
    c.internal = true;
    sqlite3_exec(c.db, level == 0 ? "PRAGMA read_uncommitted = 1" : "PRAGMA read_uncommitted = 0", nullptr, nullptr,
                 nullptr);
    c.internal = false;
  }
  return ZVSQL_OK;
}

ZVSQL_CMD zvsqlNewCommand(ZVSQL_CONN conn) {
  ConnHandle* h = connOf(conn);
  if (!h) return nullptr;
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  auto* cmd = new Command();
  cmd->conn = h->conn;
  cmd->timeoutSeconds = kDefaultTimeoutSeconds;
  cmd->handle = handles().add(HandleKind::Command, cmd);
  if (!cmd->handle) {
    delete cmd;
    return nullptr;
  }
  h->conn->commands.push_back(cmd);
  return reinterpret_cast<ZVSQL_CMD>(cmd->handle);
}

void zvsqlFreeCommand(ZVSQL_CMD h) {
  auto* cmd = static_cast<Command*>(handles().remove(reinterpret_cast<uintptr_t>(h), HandleKind::Command));
  if (!cmd) return;
  std::shared_ptr<Connection> conn = cmd->conn;
  std::lock_guard<ConnectionLock> lock(conn->mutex);
  cmd->finalize();  // an armed statement that never ran changes nothing
  for (uintptr_t cur : cmd->cursors) delete static_cast<Cursor*>(handles().remove(cur, HandleKind::Cursor));
  cmd->cursors.clear();
  auto& list = conn->commands;
  list.erase(std::remove(list.begin(), list.end(), cmd), list.end());
  delete cmd;
}

int zvsqlSetTimeout(ZVSQL_CMD h, int seconds) {
  Command* cmd = commandOf(h);
  if (!cmd) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(cmd->conn->mutex);
  cmd->timeoutSeconds = seconds;
  return ZVSQL_OK;
}

int zvsqlSetInterruptCheck(ZVSQL_CONN conn, int (*check)(void* argument), void* argument) {
  ConnHandle* h = connOf(conn);
  if (!h) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(h->conn->mutex);
  h->conn->interruptCheck = check;
  h->conn->interruptArgument = argument;
  h->conn->lastInterruptCheckMs = 0;
  return ZVSQL_OK;
}

int zvsqlPrepare(ZVSQL_CMD h, const char* sql) {
  Command* cmd = commandOf(h);
  if (!cmd) return ZVSQL_BAD_HANDLE;
  std::lock_guard<ConnectionLock> lock(cmd->conn->mutex);
  if (!cmd->conn->db) return cmd->conn->fail(ZVSQL_NOT_CONNECTED, "The connection is not logged on");
  cmd->affected = 0;
  return prepareCommand(*cmd, sql);
}

int zvsqlExecute(ZVSQL_CMD h, ZVSQL_CURSOR* out) {
  Command* cmd = commandOf(h);
  if (!cmd) return ZVSQL_BAD_HANDLE;
  Connection& c = *cmd->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  if (out) *out = nullptr;
  if (!c.db) return c.fail(ZVSQL_NOT_CONNECTED, "The connection is not logged on");
  if (!cmd->stmt) return c.fail(ZVSQL_NOT_PREPARED, "No statement is prepared on the command");
  if (cmd->current) cmd->current->state = CursorState::Done, cmd->current->firstPending = false, cmd->current = nullptr;
  sqlite3_reset(cmd->stmt);
  cmd->affected = 0;
  cmd->armed = false;
  Cursor* cur = newCursor(*cmd);
  if (!cur) return c.fail(ZVSQL_BAD_ARGUMENT, "No more handles");
  if (cmd->own != OwnStatement::None) {
    int rc = runOwnStatement(*cmd);
    if (rc != ZVSQL_OK) {
      releaseCursor(*cmd, cur);
      return rc;
    }
  } else if (sqlite3_column_count(cmd->stmt) == 0 && !allBound(*cmd)) {
    cmd->armed = true;  // runs when zvsqlSetBlob supplies the last long value
  } else {
    int rc = beginIfNeeded(*cmd);
    int step = SQLITE_DONE;
    startRun(*cmd);
    if (rc == SQLITE_OK) rc = stepStatement(*cmd, &step);
    if (rc != ZVSQL_OK) {
      releaseCursor(*cmd, cur);
      return c.error ? c.error : rc;
    }
    cur->state = step == SQLITE_ROW ? CursorState::OnRow : CursorState::Done;
    cur->firstPending = step == SQLITE_ROW;
    if (step == SQLITE_DONE) {
      cmd->affected = sqlite3_stmt_readonly(cmd->stmt) ? 0 : sqlite3_changes64(c.db);
    } else {
      cmd->current = cur;
    }
  }
  describe(*cur, cmd->stmt);
  if (cur->state == CursorState::Done) sqlite3_reset(cmd->stmt);  // a finished statement holds no lock
  if (out) *out = reinterpret_cast<ZVSQL_CURSOR>(cur->handle);
  return ZVSQL_OK;
}

int zvsqlExecuteDirect(ZVSQL_CMD h, const char* sql) {
  Command* cmd = commandOf(h);
  if (!cmd) return ZVSQL_BAD_HANDLE;
  Connection& c = *cmd->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  if (!c.db) return c.fail(ZVSQL_NOT_CONNECTED, "The connection is not logged on");
  cmd->affected = 0;
  int rc = prepareCommand(*cmd, sql);
  if (rc == ZVSQL_OK && cmd->own != OwnStatement::None) return runOwnStatement(*cmd);
  if (rc == ZVSQL_OK) rc = beginIfNeeded(*cmd);
  if (rc == ZVSQL_OK) rc = runToEnd(*cmd);
  return rc == ZVSQL_OK ? ZVSQL_OK : (c.error ? c.error : rc);
}

int64_t zvsqlAffectedRows(ZVSQL_CMD h) {
  Command* cmd = commandOf(h);
  if (!cmd) return 0;
  std::lock_guard<ConnectionLock> lock(cmd->conn->mutex);
  return cmd->affected;
}

int zvsqlSetParameterAsString(ZVSQL_CMD h, int index, const char* text) {
  Command* cmd = commandOf(h);
  return bindParameter(h, index, [&](sqlite3_stmt* s, int i) {
    if (!text) return sqlite3_bind_null(s, i);
    std::string& kept = cmd->texts[size_t(i - 1)];  // its buffer is reused from bind to bind
    kept.assign(text);
    return sqlite3_bind_text(s, i, kept.data(), int(kept.size()), SQLITE_STATIC);
  });
}

int zvsqlSetParameter(ZVSQL_CMD h, int index, const void* data, int length) {
  if (length < 0) length = 0;
  return bindParameter(h, index, [&](sqlite3_stmt* s, int i) {
    return data ? sqlite3_bind_blob(s, i, data, length, SQLITE_TRANSIENT) : sqlite3_bind_null(s, i);
  });
}

int zvsqlSetIntegerParameter(ZVSQL_CMD h, int index, int32_t value) {
  return bindParameter(h, index, [&](sqlite3_stmt* s, int i) { return sqlite3_bind_int(s, i, value); });
}

int zvsqlSetBigIntParameter(ZVSQL_CMD h, int index, int64_t value) {
  return bindParameter(h, index, [&](sqlite3_stmt* s, int i) { return sqlite3_bind_int64(s, i, value); });
}

int zvsqlSetTimeStampParameter(ZVSQL_CMD h, int index, const zvsqlTimeStamp* v) {
  if (!v) return bindParameter(h, index, [](sqlite3_stmt* s, int i) { return sqlite3_bind_null(s, i); });
  char text[40];
  snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u.%03u", v->year, v->month, v->day, v->hour, v->minute,
           v->second, unsigned(v->millisecond % 1000));
  return bindParameter(h, index,
                       [&](sqlite3_stmt* s, int i) { return sqlite3_bind_text(s, i, text, -1, SQLITE_TRANSIENT); });
}

int zvsqlSetBlob(ZVSQL_CMD h, int index, const void* data, int length, int) {
  Command* cmd = commandOf(h);
  if (!cmd) return ZVSQL_BAD_HANDLE;
  Connection& c = *cmd->conn;
  std::lock_guard<ConnectionLock> lock(c.mutex);
  if (length < 0 || (!data && length > 0)) return c.fail(ZVSQL_BAD_ARGUMENT, "A long value needs its data and length");
  bool armed = cmd->armed;
  int rc = readyToBind(*cmd, index);
  if (rc != ZVSQL_OK) return rc;
  const char* declared = targetDeclaredType(*cmd, index);
  int scale = 0;
  int16_t type = declared ? typeOfDeclared(declared, &scale) : 0;
  bool asText = type ? (type == 1 || type == 14 || type == 17 || type == 18 || type == 21 || type == 23)
                     : validUtf8(static_cast<const unsigned char*>(data), length);
  static const char kEmpty[1] = {0};
  const void* bytes = data ? data : kEmpty;
  rc = asText ? sqlite3_bind_text(cmd->stmt, index + 1, static_cast<const char*>(bytes), length, SQLITE_TRANSIENT)
              : sqlite3_bind_blob(cmd->stmt, index + 1, bytes, length, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) return c.failSqlite(rc, "binding a long value");
  cmd->bound[size_t(index)] = true;
  if (!armed || !allBound(*cmd)) {
    cmd->armed = armed;
    return ZVSQL_OK;
  }
  cmd->armed = false;
  rc = beginIfNeeded(*cmd);
  if (rc == SQLITE_OK) rc = runToEnd(*cmd);
  return rc == ZVSQL_OK ? ZVSQL_OK : (c.error ? c.error : rc);
}

}  // extern "C"
