// plover, the SQL workbench: a web application (web/plover.so) that gives a
// browser SQL console a remoting API over the SQL client library zvsqlapi.
//
// The host serves the API descriptor (getAPI) at GET <prefix>/zvGetApi and
// hands every POST to `router`: one remoting request {"action", "method",
// "data": [params], "tid"} or an array of them, answered with one reply
// object or an array of replies {"type": "rpc"|"exception", "action",
// "method", "tid", "result" | "message", "where", "error"}.
//
// Sessions: every connect gets a new random session token (128 hex digits,
// never derived from the credentials) that keys a pool of logged-on SQL
// connections; each later call sends the token in params and borrows one idle
// connection of its pool for the length of the call. A reaper thread closes
// connections idle for the inactivity time-out and removes empty pools.
//
// Threading: calls run on the host's connection threads at the same time.
// The table of pools has one mutex, each pool its own; a call holds the
// table's mutex only to find (and pin) its pool, never while it works on it.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "osprey_plugin.h"
#include "yxbudget.h"
#include "yxutil.h"
#include "zvsqlapi.h"

namespace plover {

// ---- the log (log.cpp) ----------------------------------------------------------------------------

// One line to the application's log (appkit's: the host's logger when init
// was given one), marked as the workbench's.
void logLine(const std::string& line);

// ---- the SQL client library, bound by name ------------------------------------------------

struct SqlApi {
#define PLOVER_SQL_FUNCTIONS(X)                                                                                 \
  X(zvsqlNewConnection)                                                                                         \
  X(zvsqlFreeConnection)                                                                                        \
  X(zvsqlConnect)                                                                                               \
  X(zvsqlDisconnect)                                                                                            \
  X(zvsqlIsActiveConn)                                                                                          \
  X(zvsqlCommit)                                                                                                \
  X(zvsqlAbort)                                                                                                 \
  X(zvsqlGetErrorMessage)                                                                                       \
  X(zvsqlGetError) X(zvsqlSetAutoCommit) X(zvsqlNewCommand) X(zvsqlFreeCommand) X(zvsqlSetParameter)            \
      X(zvsqlSetIntegerParameter) X(zvsqlSetBigIntParameter) X(zvsqlSetTimeStampParameter) X(zvsqlExecute)      \
          X(zvsqlExecuteDirect) X(zvsqlAffectedRows) X(zvsqlFreeCursor) X(zvsqlNext) X(zvsqlGetChar)            \
              X(zvsqlGetSmallInt) X(zvsqlGetInteger) X(zvsqlGetTimeStamp) X(zvsqlGetBit) X(zvsqlGetBigInt)      \
                  X(zvsqlPrepare) X(zvsqlSetTimeout) X(zvsqlGetColumnCount) X(zvsqlGetColumnName)               \
                      X(zvsqlGetColumnLength) X(zvsqlGetColumnType) X(zvsqlGetColumnScale) X(zvsqlIsColumnNull) \
                          X(zvsqlGetReal) X(zvsqlGetFloat) X(zvsqlGetDate) X(zvsqlGetTime) X(zvsqlGetMoney)     \
                              X(zvsqlGetTinyInt) X(zvsqlGetBinary) X(zvsqlGetBlob) X(zvsqlConvert)              \
                                  X(zvsqlGetNumericAsString) X(zvsqlSetIsolationLevel) X(zvsqlGetErrorPos)      \
                                      X(zvsqlSetParameterAsString) X(zvsqlSetBlob) X(zvsqlGetNChar) \
                                          X(zvsqlSetInterruptCheck)
#define PLOVER_SQL_MEMBER(name) decltype(&::name) name = nullptr;
  PLOVER_SQL_FUNCTIONS(PLOVER_SQL_MEMBER)
#undef PLOVER_SQL_MEMBER
};
extern SqlApi sql;

// Loads zvsqlapi.so (beside this library) and resolves its 51 functions in
// order (the 50 of the console and the interrupt check that ends a
// disconnected session's statement); 0, or the code with the message in error (1024 bytes). The library
// stays loaded for the process's life.
int bindSqlClientLibrary(char* error);

// ---- request bodies (body.cpp) --------------------------------------------------------------

// The largest body a method needs: a long value written whole by setBlobData
// (hexadecimal for binary values) or a statement with long literals.
constexpr size_t kMaxBodyBytes = size_t(4) << 20;
// A batch of requests with their parameters stays far below these.
constexpr size_t kMaxBodyValues = 16384;
constexpr int kMaxBodyDepth = 32;
// Why a body is not parsed (its size, its values or its nesting past the
// bounds above); "" when it may be.
std::string bodyRefusal(const char* text, size_t length);

// ---- module state ---------------------------------------------------------------------------

struct Settings {
  int sqlPort = 0;  // the host's default SQL port
};
extern Settings settings;

// ---- pooled SQL connections (sessions.cpp) ----------------------------------------------------

class SessionPool;

// One logged-on SQL connection of a session, borrowed by one call at a time;
// its pool (util's YXPool) logs it on (Init) and closes it.
struct PooledConnection : YXPooledObj {
  explicit PooledConnection(YXConfig* sessionConfig) : YXPooledObj(sessionConfig) {}
  ~PooledConnection() override;
  // Logs on and names the connection to the server; a refusal throws
  // LogOnFailed with the client's code.
  void Init() override;
  void Close() override;
  // Going back refreshes the last use unless the call said not to (touch).
  void OnRelease() override;
  ZVSQL_CONN handle = nullptr;
  bool autoCommit = false;
  bool scriptSuspended = false;  // a script turned auto-commit off while it was on
  int isolationLevel = 1;
  int queryTimeout = 20;         // seconds, given to every command
  SessionPool* owner = nullptr;  // where the call returns it
  bool touch = true;             // returning it refreshes its last use
};

// Milliseconds of the monotonic clock the pools measure idle time on.
int64_t nowMs();

// Takes a connection of the token's pool, making the pool and logging on a
// new connection as needed (waiting up to 10 s for a busy pool); null with
// code set on failure (8004 exhausted, or the client's log-on code).
PooledConnection* getOrCreateSessionPool(const std::string& token, const std::string& connectString,
                                         const std::string& user, const std::string& password, int& code);
// Takes an idle connection of the token's pool without waiting; null with
// code 0 when the token is unknown, 8004 when all its connections are busy.
PooledConnection* findSessionConnection(const char* token, int& code);
// Returns a connection taken by one of the two above to its pool.
void releaseConnection(PooledConnection* connection);
// Ends the token's session at once: its idle connections close now, those in
// use when their calls return them, and no call finds it any more.
void endSession(const char* token);

// Size and idle time-out (seconds) of the pools made from now on.
void setPoolSettings(int poolSize, int idleTimeoutSeconds);
// Calls of the router: enterCall is false once term closed the gate (the
// call is then refused); term waits for the calls in flight before it
// frees the pools; init opens the gate again.
bool enterCall();
void leaveCall();
void closeCallsAndWait();
void openCalls();
// The reaper: started by init, stopped (with every pool deleted) by term.
int startReaper(char* error);
void stopReaper();

// ---- SQL text from request text (sqltext.cpp) ---------------------------------------------------

std::string sqlLiteral(const std::string& text);     // 'text' with quotes doubled
std::string sqlIdentifier(const std::string& name);  // "name" with quotes doubled
bool isIntegerRowid(const char* text);               // an optional '-' and 1 to 19 digits
bool isHexDigits(const char* text);                  // an even count of hexadecimal digits
// Whether the prepared statement holds a parameter. The console gives no
// values, and the SQL client runs a statement without a result only once its
// last value is given: such a statement would never run though answered as
// done, so the console refuses it (with ZVSQL_BAD_PARAMETER and this text).
bool holdsParameters(ZVSQL_CMD command);
constexpr const char* kParametersRefusedText =
    "The statement holds parameters (?, :name), which the console gives no values for";

struct SqlCallContext {
  PooledConnection* connection;
  int tid;
};

// ---- result rows of a reply (rows.cpp) ----------------------------------------------------------

// The most bytes of rows one reply carries; a result past it is answered
// with kReplyTooLarge, never cut silently.
constexpr size_t kMaxReplyBytes = size_t(64) << 20;
constexpr int kReplyTooLarge = 8010;
constexpr const char* kReplyTooLargeText =
    "The result is larger than the 64 MiB a reply may carry: narrow the query or give a row limit";

// Replies being gathered reserve about what they will hold from the
// process's memory budget (shared with every application); one that does
// not fit beside the others now is answered kServerBusy, to be sent again.
constexpr int kServerBusy = 8011;
constexpr const char* kServerBusyText = "server busy: too many large replies in flight, send again";

// Rows gathered as their JSON text, each row object freed once written.
class ReplyRows {
 public:
  ReplyRows();
  // Takes the row; false (the row dropped) once the rows would pass
  // kMaxReplyBytes or the memory budget; the rows gathered are then freed.
  bool add(json_object* row);
  bool full() const { return full_; }
  bool busy() const { return busy_; }
  // kServerBusy or kReplyTooLarge for rows that are full().
  int refusal() const { return busy_ ? kServerBusy : kReplyTooLarge; }
  int count() const { return count_; }
  // The rows as one JSON array value for the reply, holding their budget
  // until the reply is written; the collection starts empty again.
  json_object* release();

 private:
  bool reserveFor(size_t length);
  std::string text_;
  std::unique_ptr<yx::BudgetLease> lease_;
  int count_ = 0;
  bool full_ = false;
  bool busy_ = false;
};

// A JSON value kept as its text (a document's own text), written as it is
// when the reply is; null when no memory was left for it.
json_object* jsonAsText(std::string text);

// The exception reply of a result too large for a reply (or, with
// kServerBusy, of one refused for the memory budget).
void setReplyTooLarge(json_object* reply, int tid, const char* context, const char* unit,
                      int code = kReplyTooLarge);

// ---- grid results (grid.cpp) --------------------------------------------------------------

// Runs statement and renders up to rowLimit rows (-1 all) as {"rows", and
// "metaData" when asked}; null when it did not run or a fetch failed, the
// error then left on the connection.
json_object* renderGridResult(PooledConnection* connection, const std::string& statement, int rowLimit, bool withMeta);
// Every row of statement as texts (nullopt for SQL NULL); false with code
// set when it did not run or a fetch failed.
using SqlRow = std::vector<std::optional<std::string>>;
bool queryRows(PooledConnection* connection, const std::string& statement, std::vector<SqlRow>& out, int& code);
// Appends up to rowLimit rows (-1 all) of cursor to rows; 0 at the end of
// the rows or the limit, else the failure that ended the fetch.
int fetchRows(ZVSQL_CURSOR cursor, int rowLimit, json_object* rows);

// ---- SQL scripts of database objects (ddl.cpp, routines.cpp) ---------------------------------

// What getSqlScript builds: the script text and the constraint names whose
// indexes the table's create statement already makes.
struct SqlScriptContext : SqlCallContext {
  std::string script;
  std::vector<std::string> constraintIndexes;
};
// Types a script writes with their width, and scale when above 0.
bool isSizedType(const std::string& type);
// A cell of a catalog row: its text ("" for NULL) or its integer (absent for NULL).
std::string cellText(const SqlRow& row, size_t column);
int cellInt(const SqlRow& row, size_t column, int absent);
// "owner"."name"
std::string qualifiedName(const std::string& owner, const std::string& name);
// Appends text; 0, or 1100 when the script would pass kMaxScriptBytes (nothing is appended).
int appendScript(SqlScriptContext& context, const std::string& text);
// The create statement of a stored procedure ("UPROCEDURE"), function
// ("UDF") or trigger ("TRIGGER"), with its execute grants when asked.
void routineScript(SqlScriptContext& context, const std::string& owner, const std::string& name,
                   const std::string& objectType, bool withGrants);

// ---- method handlers: handler(context, reply, input) writes "result" or an exception ----------

using MethodHandler = void (*)(SqlCallContext& context, json_object* reply, json_object* input);
void getTableRecords(SqlCallContext& context, json_object* reply, json_object* params);    // records.cpp
void createTableRecord(SqlCallContext& context, json_object* reply, json_object* params);  // records.cpp
void updateTableRecord(SqlCallContext& context, json_object* reply, json_object* params);  // records.cpp
void deleteTableRecord(SqlCallContext& context, json_object* reply, json_object* params);  // records.cpp
void execStatement(SqlCallContext& context, json_object* reply, json_object* yxInfo);      // statements.cpp
void execQuery(SqlCallContext& context, json_object* reply, json_object* yxInfo);          // statements.cpp
void getBlobData(SqlCallContext& context, json_object* reply, json_object* params);        // blobs.cpp
void setBlobData(SqlCallContext& context, json_object* reply, json_object* params);        // blobs.cpp
void getLeftTree(SqlCallContext& context, json_object* reply, json_object* yxInfo);        // tree.cpp
void getObjectsInfo(SqlCallContext& context, json_object* reply, json_object* params);     // objects.cpp
void getExecPlanText(SqlCallContext& context, json_object* reply, json_object* params);    // objects.cpp
void getExecPlanGraph(SqlCallContext& context, json_object* reply, json_object* params);   // objects.cpp
void getSqlScript(SqlCallContext& context, json_object* reply, json_object* params);       // ddl.cpp

// ---- the dispatcher (dispatch.cpp) -----------------------------------------------------------

// Exception replies: see the message forms in dispatch.cpp.
void setExceptionReply(json_object* reply, int tid, int code, const char* context, const char* detail,
                       const char* where);
void setRouterException(json_object* reply, int tid, const char* message);
constexpr const char* kRouterUnit = "ploverrouter";  // the "where" of the router's own exceptions

// One remoting request into *reply (the file actions may replace it); -1
// when the dispatcher itself refused it (which ends a batch), else 0.
int dispatchRemotingCall(json_object* request, json_object** reply);

// The API descriptor served at GET <prefix>/zvGetApi.
json_object* apiDescriptor();

// ---- the console's rendering, script statements and row dumps -----------------------------------
// (render.cpp, script.cpp, dump.cpp)

// A command freed (with its cursors) when its owner ends.
struct CommandFree {
  void operator()(ZvsqlCommand* command) const { sql.zvsqlFreeCommand(command); }
};
using CommandPtr = std::unique_ptr<ZvsqlCommand, CommandFree>;

// Runs statement and renders the grid: {"metaData" (when withMeta):
// {"timing", "columns", "fields"}, "rows"}. rowLimit -1 takes every row, 0
// or below none; params may give "identityColName" (read-only column) and
// "createNew" (one empty row, nothing fetched); listKind 3 and 5 put the
// row-count column first. Null when it did not run or a fetch failed, the
// error then left on the connection. (The form above is list kind 32
// without request parameters.)
// A result whose rows would pass kMaxReplyBytes, or the memory budget, gives
// null with *refusal set (kReplyTooLarge or kServerBusy).
json_object* renderGridResult(PooledConnection* connection, const std::string& statement, int rowLimit,
                              json_object* params, int listKind, bool withMeta, int* refusal = nullptr);
// Appends every row of cursor to rows as the query console shows them; 0 at
// the end of the rows, kReplyTooLarge past the reply's bound, kServerBusy
// past the memory budget, else the
// failure that ended the fetch.
int fetchQueryRows(ZVSQL_CURSOR cursor, ReplyRows& rows);
// Adds the current row's cell of column to row (keyed by its name) for the
// script console and returns its display width; long values are cut at 1024
// bytes unless wholeLongValues.
int renderScriptCell(ZVSQL_CURSOR cursor, int column, json_object* row, bool wholeLongValues);
const char* sqlTypeName(int16_t type);                            // "char" ... "varbinary"; "unknown" outside 1 to 26
int longestLineLength(const char* text);                          // longest piece between CR and LF characters
std::string resultColumnName(ZVSQL_CURSOR cursor, int column);    // at most 64 bytes; "" when none
std::string hexDigits(const unsigned char* bytes, size_t count);  // two upper-case digits a byte
// Date, time, time stamp (the console's patterns), money and bigint cells
// as text; the reader's code (text empty unless 0).
int readConvertedCell(ZVSQL_CURSOR cursor, int column, int16_t type, std::string& text);
// A numeric or money value as its exact decimal text (the engine keeps up to
// 400 digits); the reader's code.
constexpr size_t kMaxNumericText = 512;
int readNumeric(ZVSQL_CURSOR cursor, int column, std::string& text);

void execScriptStatement(SqlCallContext& context, json_object* reply, json_object* params);

// The console's "set" commands: the text lower-cased and split at white
// space; "set autocommit on|<other>" carried out on the connection (false
// when the words are not one); the level (0 to 3) that "set transaction
// isolation level ..." selects, -1 when none.
std::vector<std::string> consoleWords(const std::string& text);
bool applyAutoCommitSetting(PooledConnection* connection, const std::vector<std::string>& words);
int isolationLevelOf(const std::vector<std::string>& words);

// Appends every row of "owner"."table" to script as insert statements, with
// "\ncommit;" after every commitFrequency rows (none when 0 or less); 0, or
// 1100 when the script would pass kMaxScriptBytes (the dump then stops with
// a comment line saying the remaining rows are left out). A query that does
// not run adds nothing.
constexpr size_t kMaxScriptBytes = size_t(64) << 20;
int dumpTableRows(PooledConnection* connection, const std::string& owner, const std::string& table, int commitFrequency,
                  std::string& script);

}  // namespace plover
