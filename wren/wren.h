// wren: the JSON-RPC websocket application (web/wren.so). Every text frame of
// a connection carries one JSON-RPC 2.0 request; every request gets exactly
// one reply frame {"id", "jsonrpc": "2.0", "result": {"apiVersion",
// "errorCode", "errorMessage", "method", ...}}.
//
// Road of a request: handler (entry.cpp) -> processRequest (parse, id) ->
// dispatchMethod (envelope checks, token check) -> the method (login.cpp,
// catalog.cpp, tables.cpp, records.cpp, queries.cpp, indexes.cpp, sql.cpp)
// with the token's database session. Methods reach the engine through the
// wrapper classes of easy.cpp; the SQL method through the SQL client library.
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
#include <stdexcept>
#include <string>

#include "VOKTBasic.h"
#include "ravlink.h"
#include "yxbudget.h"

namespace wren {

using json = nlohmann::json;

constexpr const char* kLinkedServer = "BRENLOXS";
constexpr int64_t kIdleLimitSeconds = 7200;
// Log-ins held at once (each holds an engine session until it idles out) and
// cursors one log-in may keep open: past them a call is refused, never queued.
constexpr size_t kMaxLogins = 1024;
constexpr size_t kMaxCursorsPerLogin = 256;
// Log-ins one user, and one connection, may hold of those: at its bound a
// new log-in replaces the oldest one of theirs that no call is using, so
// nobody can fill the table for everybody else.
constexpr size_t kMaxLoginsPerUser = 64;
constexpr size_t kMaxLoginsPerConnection = 16;

// ---- easy.cpp: wrappers over the client classes ----
// Thin layers over the engine's client classes that take and give standard
// strings, bundle a few steps and add what the client offers only as plain
// functions over handles. Each derives virtually from its client class, so
// every client member stays callable on it; client failures pass through as
// ZVException unless a member says otherwise.

class EasyString : public virtual ZVString {
 public:
  explicit EasyString(const std::string& text);
  explicit EasyString(const ZVString& other);
  virtual ~EasyString();
};

class EasySession : public virtual ZVSession {
 public:
  // A session of type 2. The first one made in the process starts the
  // client; a start that fails throws a plain std::exception.
  EasySession();
  ~EasySession() override;
  using ZVSession::CreateDatabase;
  using ZVSession::Logon;
  void Logon(const std::string& server, const std::string& user, const std::string& password);
  std::string GetUserLogonName() const;
  void CreateDatabase(const std::string& name, const std::string& path);
};

class EasyIndex;

class EasyDatabase : public virtual ZVDatabase {
 public:
  // Connected to the database `name` of the session; with createIfMissing a
  // database the server does not know is made first (in the server's
  // directory). A failing Connect throws out of the construction.
  EasyDatabase(EasySession* session, const std::string& name, bool createIfMissing);
  explicit EasyDatabase(const ZVDatabase& other);  // same session and database, no open tables
  EasyDatabase(const EasyDatabase& other);
  EasyDatabase& operator=(const EasyDatabase& other);
  ~EasyDatabase() override;
  using ZVDatabase::AddTable;
  using ZVDatabase::DropTable;
  using ZVDatabase::FirstTable;
  using ZVDatabase::NextTable;
  // The tables in the client's order; false at the end.
  bool FirstTable(std::string& name, std::string& path);
  bool NextTable(std::string& name, std::string& path);
  void AddTable(const std::string& name, const std::string& path);
  // The path of the table named exactly so; empty when there is none.
  std::string GetTablePath(const std::string& name);
  void DropTable(const std::string& name);
};

class EasyTable : public virtual ZVTable {
 public:
  explicit EasyTable(ZVDatabase* database);
  ~EasyTable() override;
  using ZVTable::GetField;  // by number
  using ZVTable::GetIndex;  // by number
  void Create(const std::string& name, int mode);
  void Open(const std::string& name, int mode);
  // A refused field writes its name, type and length and the failure to
  // standard output, then throws the failure on.
  virtual ZVField* AddField(const std::string& name, int type, int length);
  virtual ZVIndex* AddIndex(const std::string& name, int keyType, int duplicates, int nullKey);
  // The index as a wrapper; it must not outlive this table object.
  virtual EasyIndex GetIndex(const std::string& name);
  virtual ZVField* GetField(const std::string& name);
  virtual int GetFieldNumber(const std::string& name);
  int GetPartitionIndexNbr() override;
};

class EasyIndex : public virtual ZVIndex {
 public:
  explicit EasyIndex(const ZVIndex& index);  // works on the same index of the same table object
  EasyIndex(const EasyIndex& other);
  ~EasyIndex() override;
  // The four settings below throw ZVException with the client's code when
  // the client refuses them. Empty texts pass as "none".
  virtual void SetFilename(const std::string& path, const std::string& fileName);
  virtual void SetName(const std::string& name);
  void SetDistinctKeyCount();
  void SetCondition(const std::string& expression);
};

class EasyRecord : public virtual ZVRecord {
 public:
  explicit EasyRecord(ZVTable* table);  // cleared, not started
  ~EasyRecord() override;
  using ZVRecord::GetFieldAsString;
  using ZVRecord::GetFieldType;
  using ZVRecord::SetDefaultIndex;
  using ZVRecord::SetFieldAsFloat;
  using ZVRecord::SetFieldAsJSON;
  using ZVRecord::SetFieldAsSigned;
  using ZVRecord::SetFieldAsString;
  virtual int GetFieldNumber(const std::string& name);
  virtual int GetFieldType(const ZVString& name);
  virtual int GetFieldType(const std::string& name);
  virtual void SetFieldAsString(int number, const std::string& text);
  virtual void SetFieldAsString(const std::string& name, const std::string& text);
  virtual void SetFieldAsSigned(const std::string& name, int32_t value);
  virtual void SetFieldAsFloat(const std::string& name, double value);
  virtual void SetFieldAsJSON(const std::string& name, const std::string& text);
  virtual void SetDefaultIndex(const std::string& indexName);
  virtual std::string GetFieldAsString(const std::string& name);
  void SetDefaultIndex(int indexNumber) override;
  // Reads the next record (non-zero: one was read): the first one, or the
  // one a key search reached (see SetPositioned), then on with Next. Ranges
  // and record sets switched on keep the reading inside them.
  int Step();
  // After a key search: the first Step reports `found` without moving.
  void SetPositioned(int found);

 private:
  enum class StepState { kNotStarted, kPositioned, kStepping };
  StepState step_ = StepState::kNotStarted;
  int found_ = 0;
};

// Walks the databases of a session: the first Next reads the first one.
class DatabaseIterator {
 public:
  explicit DatabaseIterator(EasySession& session) : session_(session) {}
  bool Next(std::string& name, std::string& path);

 private:
  bool started_ = false;
  EasySession& session_;
};

// Walks the tables of a database: the first Next reads the first one.
class TableIterator {
 public:
  explicit TableIterator(EasyDatabase& database) : database_(database) {}
  bool Next(std::string& name, std::string& path);

 private:
  bool started_ = false;
  EasyDatabase& database_;
};

// One log-in: the session it opened and the password it used. Shared by the
// registry and every call running on it, so a purge never frees a session
// under a running call.
struct AuthEntry {
  std::string user;         // as the engine names the logged-on user
  uint64_t connection = 0;  // Client::id of the connection it was made on; 0: none
  std::string password;
  size_t openCursors = 0;  // its cursors in the registry (under the registry's lock)
  std::unique_ptr<EasySession> session;
  // The database its calls' tables were last opened in, kept connected
  // between calls (under useMutex): connecting looks the database up in the
  // server's catalog and opens its file, which costs far more than reading
  // or writing a record. A connection holds its file open, so it is let go
  // after kKeptDatabaseIdleSeconds unused and before a deletion of the
  // database through this application.
  std::unique_ptr<EasyDatabase> keptDatabase;
  std::string keptDatabaseName;
  int64_t keptDatabaseUse = 0;
  // The table its reads by id last used, open on keptDatabase and let go
  // with it (declared after it, so it closes first). Opening a table costs
  // several times the read itself; each use asks the file again whether
  // the catalog changed, so an alteration, deletion or recreation made
  // anywhere is seen by the next read.
  std::unique_ptr<EasyTable> keptTable;
  std::string keptTableName;
  std::mutex useMutex;  // one call at a time per session
};
using AuthEntryRef = std::shared_ptr<AuthEntry>;

// ---- registry.cpp ----
constexpr int64_t kKeptDatabaseIdleSeconds = 5;
// 64 characters of [0-9A-Za-z] from the kernel's random source.
std::string generateId();
// The entry of a token with its last use renewed, or null; one idle past
// the limit is dropped when met, with its cursors.
AuthEntryRef findAuthEntry(const std::string& token);
// Stores the entry under a fresh token (drawn again on a collision) and
// returns the token; drops entries idle beyond the limit with their cursors,
// and the oldest unused one of the entry's user or connection when either
// holds its most. Empty, with the reason in refusal, when the registry, the
// user or the connection holds its most log-ins and none can go.
std::string registerLogin(AuthEntryRef entry, std::string* refusal);
// The database of the call, connected: the log-in's kept one when it is
// that database, else connected anew (made first when missing) and kept
// instead. The caller holds the entry's useMutex.
EasyDatabase& connectedDatabase(AuthEntry& entry, const std::string& name);
// The call's table open for reading on the connected database: the
// log-in's kept one when it is that table (checked afresh against the file's
// catalog), else opened anew and kept instead. The caller holds useMutex and
// calls forgetKeptTable when a call on it fails.
EasyTable& keptTable(AuthEntry& entry, const std::string& database, const std::string& table);
void forgetKeptTable(AuthEntry& entry);
// Lets go of every log-in's kept connection to the database (its name in
// any case), so that it can be deleted: own is the caller's log-in, whose
// useMutex it holds; a log-in running a call keeps its connection.
void releaseKeptDatabases(const std::string& name, AuthEntry* own);
// A thread that lets go of kept databases unused for kKeptDatabaseIdleSeconds.
void startKeeper();
void stopKeeper();

// An open query kept between calls: its record, table and database, and
// the log-in whose session they belong to (kept alive while the cursor is).
struct Cursor {
  AuthEntryRef owner;
  std::unique_ptr<EasyDatabase> database;
  std::unique_ptr<EasyTable> table;
  std::unique_ptr<EasyRecord> record;
};
using CursorRef = std::shared_ptr<Cursor>;
// Stores the cursor under a fresh id and returns the id; empty when its
// log-in already keeps its most cursors.
std::string registerCursor(CursorRef cursor);
CursorRef findCursor(const std::string& id);
// Ends the cursor's reading and drops it (closing its objects when no
// running call holds it); false when no cursor has the id.
bool removeCursor(const std::string& id);
// Drops a reference under the owner session's lock, so a last reference
// closes the cursor's objects while no other call uses that session.
void releaseCursor(CursorRef cursor);

// ---- params.cpp: reading request members ----
// Text member; a missing member gives fallback, another type a type error.
std::string readText(const json& params, const char* name, const std::string& fallback);
std::string readRequiredText(const json& params, const char* name);
// The text as it is; RequestRefused naming `what` when it holds a NUL byte,
// which the engine would take for its end. Every text read from a request
// goes through it.
std::string checkedText(const std::string& what, std::string text);
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

// ---- client.cpp: the connection a request came on ----
// What the application knows of one WebSocket connection. Requests of one
// connection arrive one after the other on its own thread.
struct Client {
  uint64_t id = 0;      // unique among the process's connections; 0: no connection
  std::string address;  // the peer's address, for the log-on accounting; empty when unknown
  int socket = -1;      // polled, never read: tells when the peer has gone
  // A log-in succeeded, or a request carried a valid token, on this
  // connection: until then only small requests are parsed.
  bool authenticated = false;
  // True when the peer has closed its side or the socket failed: no reply
  // can reach it any more, so long work for it may stop.
  bool gone() const;
};

// ---- document.cpp: reading a request frame ----
// Bounds of one request document: nesting (the same for every document the
// application reads), values, and the memory the parsed document may take;
// and the memory all parses in flight may take at once. A frame larger than
// kMaxFrameBeforeLogin is parsed only for a connection that is
// authenticated or a request that carries a valid token.
constexpr size_t kMaxDocumentDepth = VOKT_JSON_MAX_DEPTH;  // the one nesting bound of the system's JSON documents
constexpr size_t kMaxDocumentValues = 1000000;
constexpr size_t kMaxDocumentMemory = 64u * 1024 * 1024;
constexpr size_t kParseMemoryBudget = 256u * 1024 * 1024;
constexpr size_t kMaxFrameBeforeLogin = 64u * 1024;

// A request refused by a bound: answered -1 with its message.
class RequestRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The share of the parse budget one request holds, given back (and large
// amounts returned to the system) when it ends.
class ParseMemory {
 public:
  ParseMemory() = default;
  ~ParseMemory();
  ParseMemory(const ParseMemory&) = delete;
  ParseMemory& operator=(const ParseMemory&) = delete;
  // False, holding nothing more, when the request or the process would pass its bound.
  bool charge(size_t bytes);

 private:
  size_t held_ = 0;
};

// The document of a request text; RequestRefused past a bound, the JSON
// library's parse error for a text that is not JSON.
json parseRequest(const std::string& text, ParseMemory& memory);
// The text member "authToken" of the member "params" of a request, read
// without building the document; empty when there is none.
std::string findAuthToken(const std::string& text);

// ---- rows.cpp: result rows written as reply text ----
// The most bytes a reply's rows may take: a result past it is refused with
// a message, never cut silently and never held whole.
constexpr size_t kMaxReplyBytes = 16u * 1024 * 1024;

// The rows of a result as the JSON text of an array, written row by row so
// that a large result costs about its own size once, not a document of it.
// What the text and the reply written from it hold is reserved from the
// process's memory budget (shared with every application) on the request's
// lease, which the request holds until its reply is written.
class RowsText {
 public:
  explicit RowsText(yx::BudgetLease& lease) : lease_(lease) {}
  ~RowsText();
  RowsText(const RowsText&) = delete;
  RowsText& operator=(const RowsText&) = delete;
  // False, appending nothing, when the row would take the rows past
  // kMaxReplyBytes or past the memory budget (then busy()). A text that is
  // not UTF-8 throws the library's error.
  bool append(const json& row);
  size_t count() const { return count_; }
  bool busy() const { return busy_; }
  // The array's text; the rows are gone afterwards.
  std::string take();

 private:
  yx::BudgetLease& lease_;
  std::string text_ = "[";
  size_t count_ = 0;
  bool busy_ = false;
  bool taken_ = false;
};
// Why rows that did not fit were refused: too large, or the server busy.
std::string rowsRefusedMessage(const RowsText& rows);

// ---- methods ----
struct Call {
  const json& params;
  const std::string& database;
  const std::string& table;
  AuthEntryRef entry;  // null for login
  json& reply;
  Client& client;
  // The "data" member of the result as JSON text (from RowsText::take);
  // when set, the reply is written with it and the document's own "data"
  // member, if any, is ignored.
  std::string& dataText;
  // The request's share of the memory budget, held until its reply is written.
  yx::BudgetLease& replyLease;
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
void setFieldFromJson(EasyRecord& record, int field, const json& value);
// The field's value for a reply; null for a null field or a type that has
// no reply form, so the row keeps one value per field.
json fieldValue(EasyRecord& record, int field);

// ---- tables.cpp / records.cpp ----
// The call's database (made when missing) and its table opened in mode 0
// (rows) or 1 (definition changes); both closed on every path.
struct OpenTable {
  EasyDatabase database;
  EasyTable table;
  OpenTable(Call& call, int mode) : database(connectedDatabase(*call.entry, call.database)), table(&database) {
    table.Open(call.table, mode);
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
