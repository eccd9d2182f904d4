// wren: the JSON-RPC websocket application (web/wren.so). Every text frame of
// a connection carries one JSON-RPC 2.0 request; every request gets exactly
// one reply frame {"id", "jsonrpc": "2.0", "result": {"apiVersion",
// "errorCode", "errorMessage", "method", ...}}.
//
// Road of a request: handler (entry.cpp) -> processRequest (parse, id) ->
// dispatchMethod (envelope checks, token check) -> the method
// (login.cpp, catalog.cpp) with the token's database session.
//
// Tokens and cursors belong to the process (registry.cpp): a token obtained
// on one connection is valid on every other until a login purges it after
// two hours idle.
//
// Threading
//   handler runs on every connection's thread at once. The registries have
//   one mutex, held only for look-ups and updates, never across a call of
//   the database engine. Calls sharing one token's session are serialised by
//   that session's own mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "ravlink.h"

namespace wren {

using json = nlohmann::json;

constexpr const char* kLinkedServer = "BRENLOXS";
constexpr int64_t kIdleLimitSeconds = 7200;
// Log-ins held at once (each holds an engine session until it idles out) and
// cursors one log-in may keep open: past them a call is refused, never queued.
constexpr size_t kMaxLogins = 1024;
constexpr size_t kMaxCursorsPerLogin = 256;

// One log-in: the session it opened and the password it used. Shared by the
// registry and every call running on it, so a purge never frees a session
// under a running call.
struct AuthEntry {
  std::string password;
  int64_t lastUse = 0;
  std::unique_ptr<ZVSession> session;
  std::mutex useMutex;  // one call at a time per session
};
using AuthEntryRef = std::shared_ptr<AuthEntry>;

// ---- registry.cpp ----
// 64 characters of [0-9A-Za-z] from the kernel's random source.
std::string generateId();
// The entry of a token with its last use renewed, or null.
AuthEntryRef findAuthEntry(const std::string& token);
// Stores the entry under a fresh token (drawn again on a collision) and
// returns the token; drops entries idle beyond the limit with their cursors.
// Empty when the registry already holds its most log-ins.
std::string registerLogin(AuthEntryRef entry);

// An open query kept between calls: its record, table and database, and
// the log-in whose session they belong to (kept alive while the cursor is).
struct Cursor {
  AuthEntryRef owner;
  std::unique_ptr<ZVDatabase> database;
  std::unique_ptr<ZVTable> table;
  std::unique_ptr<ZVRecord> record;
  enum class Step { kNotStarted, kPositioned, kStepping } step = Step::kNotStarted;
  int found = 0;  // result of the positioning search
  // Reads the next record: the first, the one a search reached, then on.
  int next();
};
using CursorRef = std::shared_ptr<Cursor>;
// Stores the cursor under a fresh id and returns the id; empty when its
// log-in already keeps its most cursors.
std::string registerCursor(CursorRef cursor);
CursorRef findCursor(const std::string& id);
bool removeCursor(const std::string& id);
// Drops a reference under the owner session's lock, so a last reference
// closes the cursor's objects while no other call uses that session.
void releaseCursor(CursorRef cursor);

// ---- params.cpp: reading request members ----
// Text member; a missing member gives fallback, another type a type error.
std::string readText(const json& params, const char* name, const std::string& fallback);
std::string readRequiredText(const json& params, const char* name);
// Integer member (number or boolean; a fraction is cut off); a value outside
// 32 bits is an error, never wrapped.
int32_t readInt(const json& params, const char* name, int32_t fallback);
int32_t readRequiredInt(const json& params, const char* name);
bool readBool(const json& params, const char* name, bool fallback);
// Sets errorCode/errorMessage of reply["result"].
void setError(json& reply, int code, const std::string& message);
void traceMethod(const char* name);
// A client path names a place under the server's data directory: refuses
// absolute paths and "..". Returns false with the reply's error set.
bool checkRelativePath(json& reply, const std::string& path, const char* what);

// ---- paging of listings and queries ----
// Paging of every listing: skip counts every entry, filtered or not; a
// maximum of N (0 or more) lets N + 1 rows through, a negative one all.
class Pager {
 public:
  Pager(int32_t skip, int32_t max) : skip_(skip), left_(max) {}
  // False while the entry is to be skipped.
  bool take() {
    if (skip_ <= 0) return true;
    --skip_;
    return false;
  }
  // After a row was appended: false when the listing is full.
  bool more() {
    if (left_ > 0)
      --left_;
    else if (left_ == 0)
      return false;
    return true;
  }

 private:
  int32_t skip_;
  int32_t left_;
};

// ---- methods ----
struct Call {
  const json& params;
  const std::string& database;
  const std::string& table;
  AuthEntryRef entry;  // null for login
  json& reply;
  json& result() { return reply["result"]; }
};
void login(Call& call);
void listDatabases(Call& call);
void createDatabase(Call& call);
void alterDatabase(Call& call);
void deleteDatabase(Call& call);
void listTables(Call& call);

}  // namespace wren

namespace wren {
// ---- fields.cpp ----
// The engine's code of a field type name; -1 when unknown (or "unsused").
int fieldTypeCode(const std::string& name);
bool isStringFieldType(int code);
// Writes a request value into a field of the record's buffer; a value of
// the wrong type, out of range or unreadable is an error, never dropped.
void setFieldFromJson(ZVRecord& record, int field, const json& value);
// The field's value for a reply; null for a null field or a type that has
// no reply form, so the row keeps one value per field.
json fieldValue(ZVRecord& record, ZVTable& table, int field);

// ---- tables.cpp / records.cpp ----
// Connects to a database of the session, made first (in the data
// directory) when missing and asked for.
void connectDatabase(ZVSession& session, ZVDatabase& database, const std::string& name, bool createIfMissing);
// The call's table opened in mode 0 (rows) or 1 (definition changes);
// closed with its database on every path.
struct OpenTable {
  ZVDatabase database;
  ZVTable table;
  OpenTable(Call& call, int mode) : database(call.entry->session.get()), table(&database) {
    connectDatabase(*call.entry->session, database, call.database, true);
    table.Open(call.table.c_str(), mode);
  }
};
void createTable(Call& call);
void deleteTables(Call& call);
void alterTable(Call& call);
void rebuildTables(Call& call);
void insertRecords(Call& call);
void updateRecords(Call& call);
void deleteRecords(Call& call);
void truncateRecords(Call& call);
void getRecordById(Call& call);

// ---- indexes.cpp ----
// Stores the open table's definition changes (ZVTable::Alter mode) in a
// transaction; a failure is aborted and answered with its code and message.
void alterInTransaction(Call& call, ZVTable& table, int mode);
// Opens each table of "tableNames" for definition changes and stores them
// again with the alter mode (3: tables, 1: their indexes).
void rebuildEach(Call& call, int alterMode);
void listIndexes(Call& call);
void createIndex(Call& call);
void alterIndex(Call& call);
void deleteIndex(Call& call);
void rebuildIndex(Call& call);

// ---- sql.cpp ----
void getRecordsUsingSQL(Call& call);
// The name of an SQL client column type (a position of the type table),
// "UNKNOWN" beyond it.
std::string sqlTypeName(int code);

// ---- queries.cpp ----
void getRecordsInKeyRange(Call& call);
void getRecordsByPartialKey(Call& call);
void getRecordsStartingAtKey(Call& call);
void getRecordsFromCursor(Call& call);
void closeCursor(Call& call);
// ---- fields.cpp ----
// The type name of an engine code (first match); an error for a code
// that has none.
std::string fieldTypeName(int code);
}  // namespace wren
