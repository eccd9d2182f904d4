// gannet: the REST application (web/gannet.so). Create, read, update and
// delete access to databases, tables, indexes and records, and index
// queries, under <prefix>/api/v1/<resource>/..., plus its OpenAPI document.
//
// Road of a request: routerXtd (entry.cpp) reads the URI, parses the body,
// leases a pooled connection for (linked server, database, user, password)
// (pools.cpp), calls the resource handler (table.cpp, index.cpp,
// record.cpp, query.cpp), and frames the reply object as the raw reply.
//
// Errors
//   Every failed request answers {"_errorCode": code, "_errorMessage": text}
//   with its HTTP status. Codes 14000-14017 are the application's own
//   (GannetCode); 4001 marks a client allocation failure; every other code
//   is the database engine's, passed on.
//
// Names, filters and partition rules from a request reach the engine only
// through its client functions, which check and quote names and parse
// filters and rules: no request text is ever SQL.
//
// Threading
//   Handlers run on the calling request's thread with handles of their own;
//   only the pool list (pools.cpp) is shared, under its own mutex.
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "osprey_webapp.h"
#include "ravlink.h"
#include "yxbudget.h"

namespace gannet {

enum GannetCode : int {
  kNotImplemented = 14000,
  kBadVersion = 14001,
  kNoDatabaseName = 14002,
  kBadResource = 14003,
  kNoResourceName = 14004,
  kNoIndexOrId = 14005,
  kTooManyLevels = 14006,
  kWrongCredentials = 14007,
  kFieldNotRendered = 14008,
  kDatabaseNotFound = 14009,
  kTableNotServed = 14010,
  kOutOfMemory = 14011,
  kBodyNotJson = 14012,
  kJsonFormat = 14013,
  kBadUrlQuery = 14014,
  kBodyTooLarge = 14015,   // 413: the body is beyond what its resource needs
  kReplyTooLarge = 14016,  // 500: the reply would pass kMaxReplyBytes
  kServerBusy = 14017,     // 503: requests in flight hold the memory budget
  kClientNoMemory = 4001,
};

// ---- bounds (body.cpp) ----
// What one request may make the server hold. A record body carries values
// (long texts included) up to the plug-in's own body limit; definitions and
// queries are small documents. "values" counts the JSON values of a body
// (containers and scalars): a parse costs about kParseBytesPerValue each,
// so the count bounds the parse where the byte size cannot.
constexpr size_t kMaxRecordBodyBytes = size_t(8) << 20;
constexpr size_t kMaxRecordBodyValues = 100000;
constexpr size_t kMaxDefinitionBodyBytes = size_t(256) << 10;  // table and query
constexpr size_t kMaxIndexBodyBytes = size_t(64) << 10;
constexpr size_t kMaxDefinitionBodyValues = 16384;
constexpr size_t kMaxBodyDepth = 32;  // the parser's own nesting limit
constexpr size_t kParseBytesPerValue = 256;
// One reply's bytes at most: a record written in one body renders within it
// even when every byte of its values needs a six-byte escape.
constexpr size_t kMaxReplyBytes = size_t(64) << 20;
// Parses and replies in flight across all requests (of every application
// in the process) hold at most yx::kMemoryBudgetBytes (its environment
// variable may lower it). A request that would need more than the whole
// budget is too large (413, or 500 for a reply); one that does not fit
// beside the others now is refused as busy (503).
using yx::kMemoryBudgetBytes;
using yx::kTrimAfterBytes;

// The bytes one reply may have: kMaxReplyBytes, or a quarter of a lowered
// budget.
size_t maxReplyBytes();

struct BodyShape {
  size_t values = 0;      // an upper bound of the values the text holds
  size_t depth = 0;       // deepest nesting of arrays and objects
  bool nulByte = false;   // a text (key or value) holds the escape \u0000
};
// Reads the text's structure without parsing it.
BodyShape scanBody(const char* text, size_t length);

struct BodyLimits {
  size_t bytes, values;
};
BodyLimits limitsOf(const std::string& resource);
// What parsing a body of this size and shape may hold at its peak.
size_t parseCostOf(size_t length, const BodyShape& shape);

using yx::BudgetLease;
using yx::MemoryBudget;

// ---- the log (entry.cpp) ----
// One line to the host's log when the plug-in gave a callback, else to
// standard error (heron writes both to its log).
void logLine(const std::string& line);

// Who asks: the request's linked server, Basic credentials (each may be
// null) and the client's address ("" when unknown).
struct Caller {
  const char* server = nullptr;
  const char* user = nullptr;
  const char* password = nullptr;
  const char* address = "";
};

// ---- replies (convert.cpp) ----
// Adds {"_errorCode", "_errorMessage"} (replacing earlier ones) to reply
// (none: nothing); returns status.
int setError(json_object* reply, int code, const char* message, int status);
// 14013 "incorrect json format[: detail]"; the detail is printf-formatted
// from our own format with request texts as arguments only. Returns 400.
int setJsonFormatError(json_object* reply, const char* detailFormat = nullptr, ...)
    __attribute__((format(printf, 2, 3)));

// ---- conversions (convert.cpp) ----
// Table handle opened by name, or null with status and error members.
RLHANDLE openTable(RLHANDLE database, const char* name, int* status, json_object* reply);
// Record handle on the opened table, or null (status 500, table released).
RLHANDLE openTableRecord(RLHANDLE database, const char* name, int* status, json_object* reply);
// Releases a record and the table it was opened on.
void closeTableRecord(RLHANDLE record);
int fieldTypeFromName(const char* name, int precision, int* binaryFlag, int* prefixWidth);
const char* fieldTypeToName(int type, int length, bool variable, int binaryFlag);
int jsonToField(RLHANDLE record, const char* name, json_object* value, json_object* reply);
int jsonToRecord(RLHANDLE record, json_object* value, json_object* reply, const char* context);
int recordToJson(RLHANDLE record, json_object* select, json_object* out);
json_object* partitionToJson(RLHANDLE tableOrIndex);

// ---- resources ----
int postDatabase(const Caller& caller, const char* name, json_object* reply);
int getDatabases(const Caller& caller, json_object* reply);
int deleteDatabase(const Caller& caller, const char* name, json_object* reply);
int handleTable(RLHANDLE database, const char* table, int method, json_object* body, json_object* reply);
int handleIndex(RLHANDLE database, const char* table, const char* index, int method, json_object* body,
                json_object* reply);
int handleRecord(RLHANDLE database, const char* table, const char* id, int method, json_object* body,
                 json_object* reply);
// The records of a query's reply as JSON text: each record is rendered and
// appended on its own, so a page costs about its own bytes, reserved from
// the request's budget as it grows, and never more than kMaxReplyBytes.
struct RecordsText {
  explicit RecordsText(BudgetLease* lease) : budget(lease) {}
  BudgetLease* budget;
  bool present = false;  // the reply's "_records" member is this text
  std::string text;
  size_t reserved = 0;  // budget bytes taken for the text and its framed copy
};
int handleQuery(RLHANDLE database, const char* table, const char* index, const char* urlQuery, int method,
                json_object* body, json_object* reply, RecordsText* records);

// ---- the URI grammar (entry.cpp, query.cpp) ----

// Path segments after the application prefix: the text after each "/" up to
// the next one; an empty segment ends the path.
class Segments {
 public:
  explicit Segments(const char* url) : text_(url ? url : "") {}
  bool next(std::string* segment) {
    if (pos_ >= text_.size()) return false;
    size_t start = pos_ + 1;
    size_t end = text_.find('/', start);
    if (end == std::string::npos) end = text_.size();
    if (end == start) return false;
    *segment = text_.substr(start, end - start);
    pos_ = end;
    return true;
  }

 private:
  std::string text_;
  size_t pos_ = 0;
};

// What the URI names after the resource.
struct Target {
  std::string resource, database, table, index, id;
  bool hasTable = false, hasIndex = false, hasId = false;
};

struct RouteError {
  int status = 0, code = 0;
  std::string message;
};

// Steps 5 to 8 of the grammar: the names after the resource. false with the error.
bool readNames(Segments& segments, int method, Target* t, RouteError* error);

struct Paging {
  int top = -1, skip = 0;
};

// "top=N&skip=M"; false when the text breaks the grammar. Parsing stops at
// the end or at the first empty part; a later part of a name overrides.
bool parseUrlQuery(const char* text, Paging* paging);

// ---- pools (pools.cpp) ----
// One pool per (server, database, user, password): at most kPoolSize
// connections, idle ones closed after the idle time-out (60 s, or
// $GANNET_IDLE_TIMEOUT seconds) by a reaper that looks every 5 s and removes
// pools left empty; a pool whose logon failed is removed at once.
constexpr int kPoolSize = 10;
bool startPools(char* error, size_t errorSize);
void stopPools();

// A pooled, logged-on connection to one database for one request. Log-ons
// that check a password are counted per user and client address: after a
// few failures the next attempts wait (yx::LogonGuard), and failures are
// logged. A request whose key already has pooled connections proved its
// password before and is never slowed.
class ConnectionLease {
 public:
  ConnectionLease(const Caller& caller, const char* database);
  ~ConnectionLease();
  ConnectionLease(const ConnectionLease&) = delete;
  ConnectionLease& operator=(const ConnectionLease&) = delete;
  int failureCode() const { return code_; }  // 0 when connected
  RLHANDLE database() const;

 private:
  struct PoolEntry* entry_ = nullptr;
  class ZVDatabasePooled* connection_ = nullptr;
  int code_ = 0;
};

// ---- the document (openapi.json, compiled in when the library is built) ----
extern const char kOpenApiDocument[];
extern const size_t kOpenApiLength;
// The document's paths name the prefix the plug-in serves this library
// under; it is read from the server's configuration (its "applications"
// entries) at init, the only time the served text is written.
void adoptConfiguredPrefix(json_object* config);
std::string_view servedDocument();  // the document as served, valid until the next init

}  // namespace gannet
