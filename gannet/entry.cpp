// The exports: initXtd, term and routerXtd. The URI grammar, the dispatch to
// the resource handlers and the framing of every reply.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "gannet.h"

using namespace gannet;

namespace {

const char kCorsHeader[] = "Access-Control-Allow-Origin: *\r\n";
const char kOptionsHeaders[] =
    "Access-Control-Allow-Headers:authorization,content-type\r\nAccess-Control-Allow-Origin: *\r\n"
    "Allow: OPTIONS, GET, POST, PUT, PATCH, DELETE\r\n";
const char kOpenApiOptionsHeaders[] =
    "Access-Control-Allow-Headers:authorization,content-type\r\nAccess-Control-Allow-Origin: *\r\n"
    "Allow: OPTIONS, GET\r\n";

bool initialised = false;
LogCallback hostLog = nullptr;

// The reply text: header lines, Content-Type, Content-Length, the body made
// of its pieces in order. Sized from what is written, headers included.
int frameReply(const WebAppRequestRecord* request, void** reply, int status, const char* headers,
               std::initializer_list<std::string_view> body) {
  if (!reply) return status;
  size_t bodyLength = 0;
  for (std::string_view piece : body) bodyLength += piece.size();
  char head[512];
  int headLength = std::snprintf(head, sizeof head,
                                 "%sContent-Type: application/json; charset=iso-8859-1\r\nContent-Length: %zu\r\n\r\n",
                                 headers, bodyLength);
  if (headLength < 0 || size_t(headLength) >= sizeof head) return status;
  char* text = static_cast<char*>(request->allocate(size_t(headLength) + bodyLength + 1));
  if (!text) return status;
  std::memcpy(text, head, size_t(headLength));
  size_t at = size_t(headLength);
  for (std::string_view piece : body) {
    std::memcpy(text + at, piece.data(), piece.size());
    at += piece.size();
  }
  text[at] = '\0';
  *reply = text;
  return status;
}

int frameReply(const WebAppRequestRecord* request, void** reply, int status, const char* headers, const char* body,
               size_t bodyLength) {
  return frameReply(request, reply, status, headers, {std::string_view(body, bodyLength)});
}

// message: the router's own texts, which need no JSON escapes.
int errorReply(const WebAppRequestRecord* request, void** reply, int status, int code, const std::string& message) {
  std::string body = "{\"_errorCode\":" + std::to_string(code) + ",\"_errorMessage\":\"" + message + "\"}";
  return frameReply(request, reply, status, kCorsHeader, body.c_str(), body.size());
}

int serveDocument(const WebAppRequestRecord* request, void** reply) {
  if (!reply) return 200;
  frameReply(request, reply, 200, kCorsHeader, {servedDocument()});
  if (!*reply) return errorReply(request, reply, 500, kOutOfMemory, "Out of memory");
  return 200;
}

// Reads the leading decimal integer as strtol does (blanks, sign); 0 without digits.
long leadingNumber(const char* text) { return std::strtol(text, nullptr, 10); }

bool isResource(const std::string& name) {
  return name == "table" || name == "index" || name == "record" || name == "query" || name == "database";
}

// Owns the parsed body and the reply object of one request.
struct JsonOwner {
  json_object* object = nullptr;
  ~JsonOwner() { json_object_put(object); }
};

}  // namespace

void gannet::logLine(const std::string& line) {
  if (hostLog) {
    hostLog(line.c_str(), 0);
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

bool gannet::readNames(Segments& segments, int method, Target* t, RouteError* error) {
  auto failWith = [&](int status, int code, const char* message) {
    *error = RouteError{status, code, message ? message : ""};
    return false;
  };
  bool listing = t->resource == "database" && method == WEBAPP_METHOD_GET;
  if (!listing) {
    if (!segments.next(&t->database)) return failWith(400, kNoDatabaseName, "missing database name");
    if (t->resource != "database") {
      t->hasTable = segments.next(&t->table);
      if (!t->hasTable && t->resource != "query" && !(t->resource == "table" && method == WEBAPP_METHOD_GET))
        return failWith(400, kNoResourceName, "missing resource name");
      if (t->resource == "index") {
        t->hasIndex = segments.next(&t->index);
        if (!t->hasIndex && method != WEBAPP_METHOD_GET) return failWith(400, kNoIndexOrId, "missing index name");
      } else if (t->resource == "record" && method != WEBAPP_METHOD_POST) {
        t->hasId = segments.next(&t->id);
        if (!t->hasId) return failWith(400, kNoIndexOrId, "missing record id");
      } else if (t->resource == "query") {
        if (method != WEBAPP_METHOD_POST) return failWith(405, 0, nullptr);
        if (t->hasTable) t->hasIndex = segments.next(&t->index);
      }
    }
  }
  std::string extra;
  if (segments.next(&extra)) return failWith(400, kTooManyLevels, "URL format not compliant, too many levels");
  return true;
}

namespace {

Caller callerOf(const WebAppRequestRecord* request) {
  Caller caller;
  caller.server = request->linkedServer;
  caller.user = request->user;
  caller.password = request->password;
  caller.address = VOKTClientAddress();
  return caller;
}

int databaseRequest(const WebAppRequestRecord* request, const Target& t, json_object* reply) {
  switch (request->method) {
    case WEBAPP_METHOD_POST:
      return postDatabase(callerOf(request), t.database.c_str(), reply);
    case WEBAPP_METHOD_GET:
      return getDatabases(callerOf(request), reply);
    case WEBAPP_METHOD_DELETE:
      return deleteDatabase(callerOf(request), t.database.c_str(), reply);
    default:
      return setError(reply, kNotImplemented, "Database request not available", 501);
  }
}

int resourceRequest(const WebAppRequestRecord* request, const Target& t, RLHANDLE database, json_object* body,
                    json_object* reply, RecordsText* records) {
  const char* table = t.hasTable ? t.table.c_str() : nullptr;
  const char* index = t.hasIndex ? t.index.c_str() : nullptr;
  if (t.resource == "table") return handleTable(database, table, request->method, body, reply);
  if (t.resource == "index") return handleIndex(database, table, index, request->method, body, reply);
  if (t.resource == "record")
    return handleRecord(database, table, t.hasId ? t.id.c_str() : nullptr, request->method, body, reply);
  return handleQuery(database, table, index, request->query, request->method, body, reply, records);
}

std::string replyTooLarge() {
  return "reply too large: more than " + std::to_string(maxReplyBytes()) + " bytes";
}

// Serialises the reply object: "{}" is an empty body. A query's records
// come as ready text and become the member "_records".
int sendObject(const WebAppRequestRecord* request, void** reply, int status, json_object* object,
               const RecordsText* records = nullptr) {
  if (!reply) return status;
  size_t length = 0;
  const char* text = json_object_to_json_string_length(object, JSON_C_TO_STRING_PLAIN, &length);
  if (!text) return errorReply(request, reply, 500, kOutOfMemory, "Out of memory");
  if (records && records->present) {
    std::string_view members(text, length - 1);  // without its closing brace
    return frameReply(request, reply, status, kCorsHeader,
                      {members, length > 2 ? "," : "", "\"_records\":", records->text, "}"});
  }
  if (length > maxReplyBytes()) return errorReply(request, reply, 500, kReplyTooLarge, replyTooLarge());
  if (length == 2) length = 0;
  return frameReply(request, reply, status, kCorsHeader, text, length);
}

// Step 9: the body as JSON. A body that is not JSON is 400; the JSON null
// leaves no object, and each handler then answers that the body is not what
// it needs (400). Before the parse the body is held to what its resource
// needs, and its parse to the process's memory budget.
bool parseBody(const char* text, const std::string& resource, BudgetLease* budget, JsonOwner* body,
               RouteError* error) {
  if (!text) return true;
  size_t length = std::strlen(text);
  BodyLimits limits = limitsOf(resource);
  if (length > limits.bytes) {
    *error = RouteError{413, kBodyTooLarge,
                        "request body too large: at most " + std::to_string(limits.bytes) + " bytes for this resource"};
    return false;
  }
  BodyShape shape = scanBody(text, length);
  if (shape.values > limits.values) {
    *error = RouteError{413, kBodyTooLarge,
                        "request body too large: at most " + std::to_string(limits.values) + " values for this resource"};
    return false;
  }
  if (shape.depth > kMaxBodyDepth) {
    *error = RouteError{400, kBodyNotJson, "request body nested deeper than " + std::to_string(kMaxBodyDepth) + " levels"};
    return false;
  }
  if (shape.nulByte) {
    *error = RouteError{400, kJsonFormat, "incorrect json format: a text holds a NUL byte"};
    return false;
  }
  size_t cost = parseCostOf(length, shape);
  if (cost > budget->limit()) {
    *error = RouteError{413, kBodyTooLarge, "request body too large: its parse would hold " + std::to_string(cost) +
                                                " bytes, more than the server allows"};
    return false;
  }
  if (!budget->grow(cost)) {
    *error = RouteError{503, kServerBusy, "server busy: too many large requests at once, try again"};
    return false;
  }
  json_tokener_error parseError = json_tokener_success;
  std::string widened;  // integers past 64 bits parse as doubles, which no integer field takes
  body->object = json_tokener_parse_verbose(
      zvJsonWidenLargeIntegers(text, length, widened) ? widened.c_str() : text, &parseError);
  bool blank = text[std::strspn(text, " \t\r\n")] == '\0';
  if (body->object || (parseError == json_tokener_success && !blank)) return true;
  *error = RouteError{400, kBodyNotJson, "error parsing JSON body"};
  return false;
}

int route(WebAppRequestRecord* request, const char* bodyText, void** reply) {
  Segments segments(request->url);
  std::string segment;
  if (!segments.next(&segment) || segment != "api") return -1;
  if (!segments.next(&segment) || segment[0] != 'v') return -1;
  if (leadingNumber(segment.c_str() + 1) != 1)
    return errorReply(request, reply, 404, kBadVersion, "unsupported API version number");
  Target target;
  if (!segments.next(&target.resource)) return errorReply(request, reply, 400, kBadResource, "missing resource-type");
  int method = request->method;
  if (target.resource == "openapi") {
    if (method == WEBAPP_METHOD_GET) return serveDocument(request, reply);
    if (method == WEBAPP_METHOD_OPTIONS) return frameReply(request, reply, 200, kOpenApiOptionsHeaders, "", 0);
    return -1;
  }
  if (!isResource(target.resource)) return errorReply(request, reply, 400, kBadResource, "unknown resource type");
  if (method == WEBAPP_METHOD_OPTIONS) return frameReply(request, reply, 200, kOptionsHeaders, "", 0);
  RouteError error;
  BudgetLease budget;  // outlives the parsed body and the reply object
  JsonOwner body;
  if (!readNames(segments, method, &target, &error) ||
      (target.resource != "database" && !parseBody(bodyText, target.resource, &budget, &body, &error))) {
    if (error.status == 405) return 405;
    return errorReply(request, reply, error.status, error.code, error.message);
  }
  JsonOwner replyObject;
  if (target.resource == "database") {
    replyObject.object = json_object_new_object();
    if (!replyObject.object) return errorReply(request, reply, 500, kOutOfMemory, "Out of memory");
    return sendObject(request, reply, databaseRequest(request, target, replyObject.object), replyObject.object);
  }
  RecordsText records(&budget);
  int status;
  {
    // The pooled connection goes back before the reply is written: requests
    // queued for the pool wait only for the engine's work.
    ConnectionLease lease(callerOf(request), target.database.c_str());
    int code = lease.failureCode();
    if (code == RL_WRONG_PASSWORD || code == RL_UNKNOWN_USER)
      return errorReply(request, reply, 401, kWrongCredentials, "wrong credentials");
    if (code == RL_NOT_FOUND) return errorReply(request, reply, 404, kDatabaseNotFound, "database not found");
    if (code != 0) return errorReply(request, reply, 500, code, "cannot access db");
    replyObject.object = json_object_new_object();
    if (!replyObject.object) return errorReply(request, reply, 500, kOutOfMemory, "Out of memory");
    status = resourceRequest(request, target, lease.database(), body.object, replyObject.object, &records);
  }
  return sendObject(request, reply, status, replyObject.object, &records);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t initXtd(WebAppInitRecord* record, char* error,
                                                       WebServerThreadData* server) {
  error[0] = '\0';
  if (record->version != WEBAPP_RECORD_VERSION) {
    std::snprintf(error, 1024,
                  "gannet web application version doesn't match osprey plugin. It is expected to be [1], but it is "
                  "[%d]",
                  record->version);
    return -1;
  }
  if (!startPools(error, 1024)) return -1;
  hostLog = record->logCallback;
  adoptConfiguredPrefix(server != nullptr ? server->config : nullptr);
  initialised = true;
  record->version = WEBAPP_RECORD_VERSION;
  record->unicode = 0;
  record->tokenMode = 0;
  record->basicAuthMode = WEBAPP_AUTH_OPTIONAL;
  for (int m = 0; m < WEBAPP_METHOD_COUNT; ++m)
    record->bodyByMethod[m] = m == WEBAPP_METHOD_POST || m == WEBAPP_METHOD_PUT || m == WEBAPP_METHOD_PATCH ? 1 : 0;
  record->contentMode = WEBAPP_CONTENT_RAW;
  return 0;
}

__attribute__((visibility("default"))) int32_t term(char* error) {
  if (initialised) stopPools();
  initialised = false;
  if (error) error[0] = '\0';
  return 0;
}

__attribute__((visibility("default"))) int32_t routerXtd(WebAppRequestRecord* request, void* body, void** reply) {
  try {
    return route(request, static_cast<const char*>(body), reply);
  } catch (const std::bad_alloc&) {
    return 500;
  } catch (...) {
    return 500;
  }
}

}  // extern "C"
