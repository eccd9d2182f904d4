// The exports the plug-in binds, the request envelope and the dispatch.
#include <arpa/inet.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "VOKTBasic.h"
#include "nev.h"
#include "yxaux.h"
#include "osprey_webapp.h"
#include "wren.h"

namespace wren {
namespace {

using MethodFn = void (*)(Call&);

struct Method {
  const char* name;
  MethodFn run;  // null: not served by this build
  // Cursor methods work on the cursor owner's session, not the caller's.
  bool usesSession = true;
};

// The position is the method's number.
const Method kMethods[] = {
    {"login", login},
    {"listDatabases", listDatabases},
    {"createDatabase", createDatabase},
    {"alterDatabase", alterDatabase},
    {"deleteDatabase", deleteDatabase},
    {"listTables", listTables},
    {"createTable", createTable},
    {"alterTable", alterTable},
    {"deleteTables", deleteTables},
    {"rebuildTables", rebuildTables},
    {"listIndexes", listIndexes},
    {"createIndex", createIndex},
    {"alterIndex", alterIndex},
    {"deleteIndex", deleteIndex},
    {"rebuildIndex", rebuildIndex},
    {"insertRecords", insertRecords},
    {"updateRecords", updateRecords},
    {"deleteRecords", deleteRecords},
    {"truncateRecords", truncateRecords},
    {"getRecordById", getRecordById},
    {"getRecordsUsingSQL", getRecordsUsingSQL},
    {"getRecordsInKeyRange", getRecordsInKeyRange},
    {"getRecordsByPartialKey", getRecordsByPartialKey},
    {"getRecordsStartingAtKey", getRecordsStartingAtKey},
    {"getRecordsFromCursor", getRecordsFromCursor, false},
    {"closeCursor", closeCursor, false},
};

const char* const kWithoutDatabase[] = {"ping", "login", "listDatabases", "getRecordsFromCursor", "closeCursor"};
const char* const kWithoutTable[] = {"createDatabase", "alterDatabase",      "deleteDatabase",
                                     "listTables",     "getRecordsUsingSQL", "deleteTables"};

template <size_t N>
bool listed(const char* const (&names)[N], const std::string& name) {
  for (const char* entry : names)
    if (name == entry) return true;
  return false;
}

const Method* findMethod(const std::string& name) {
  for (const Method& method : kMethods)
    if (name == method.name) return &method;
  return nullptr;
}

json makeResponse(int code, const std::string& message, const json& id) {
  json reply = {{"jsonrpc", "2.0"},
                {"result", {{"errorCode", code}, {"errorMessage", message}, {"apiVersion", "1.0.0"}}}};
  if (!id.is_null()) reply["id"] = id;
  return reply;
}

bool nonEmptyText(const json& params, const char* name) {
  auto member = params.find(name);
  return member != params.end() && member->is_string() && !member->get_ref<const std::string&>().empty();
}

// The decimal text of a numeric id: a fraction is cut off; integers keep
// every digit rather than being squeezed into 32 bits.
std::string idText(const json& id) {
  if (id.is_number_float()) {
    double whole = std::trunc(id.get<double>());
    if (whole >= -9.2e18 && whole <= 9.2e18) return std::to_string(static_cast<int64_t>(whole));
    return json(whole).dump();
  }
  if (id.is_number()) return id.dump();
  return id.get<std::string>();
}

json dispatchMethod(const json& request, Client& client, std::string& dataText, yx::BudgetLease& replyLease) {
  json reply = makeResponse(0, "", request["id"]);
  auto member = request.find("jsonrpc");
  if (member == request.end() || *member != "2.0") {
    setError(reply, -2, "Invalid jsonrpc version detected. Expected 2.0 as a string value");
    return reply;
  }
  member = request.find("method");
  if (member == request.end() || !member->is_string()) {
    setError(reply, -3, "Method missing or isn't a string.");
    return reply;
  }
  const std::string name = member->get<std::string>();
  member = request.find("params");
  if (member == request.end() || !member->is_object()) {
    setError(reply, -4, "Params missing or isn't an object.");
    return reply;
  }
  const json& params = *member;
  bool needsDatabase = !listed(kWithoutDatabase, name);
  if (needsDatabase && !nonEmptyText(params, "databaseName")) {
    setError(reply, -1, "databaseName missing or isn't a string.");
    return reply;
  }
  bool needsTable = needsDatabase && !listed(kWithoutTable, name);
  if (needsTable && !nonEmptyText(params, "tableName")) {
    setError(reply, -1, "tableName missing or isn't a string.");
    return reply;
  }
  reply["result"]["method"] = name;
  if (name == "ping") {
    std::printf("detected ping method\n");
    std::fflush(stdout);
    reply["result"]["data"] = "pong";
    return reply;
  }
  const Method* method = findMethod(name);
  if (method == nullptr) {
    setError(reply, -1, "method unknown.");
    return reply;
  }
  const std::string database = needsDatabase ? checkedText("databaseName", params["databaseName"]) : "";
  const std::string table = needsTable ? checkedText("tableName", params["tableName"]) : "";
  if (method->run == login) {
    Call call{params, database, table, nullptr, reply, client, dataText, replyLease};
    login(call);
    return reply;
  }
  member = params.find("authToken");
  if (member == params.end()) {
    setError(reply, -1, "authToken missing.");
    return reply;
  }
  AuthEntryRef entry = findAuthEntry(member->get<std::string>());
  if (!entry || !entry->session) {
    setError(reply, -1, "authToken invalid.");
    return reply;
  }
  client.authenticated = true;
  if (method->run == nullptr) {
    traceMethod(name.c_str());
    setError(reply, -1, "this method is not implemented yet.");
    return reply;
  }
  std::unique_lock<std::mutex> serialised(entry->useMutex, std::defer_lock);
  if (method->usesSession) serialised.lock();
  Call call{params, database, table, entry, reply, client, dataText, replyLease};
  method->run(call);
  return reply;
}

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::strict); }

// The reply: compact, UTF-8 as it is, members in name order; a text that
// is not UTF-8 fails the whole reply. Rows written as text beforehand go in
// as the result's "data" member, which sorts right after "apiVersion", the
// member every result starts with; "result" sorts after "id" and "jsonrpc".
std::string writeReply(json reply, const std::string& dataText) {
  if (dataText.empty()) return dump(reply);
  json result = std::move(reply["result"]);
  reply.erase("result");
  result.erase("data");
  std::string head = dump(reply);
  std::string body = dump(result);
  const std::string first = "{\"apiVersion\":\"1.0.0\"";
  if (body.compare(0, first.size(), first) != 0) throw std::logic_error("a result without its apiVersion");
  std::string text;
  text.reserve(head.size() + body.size() + dataText.size() + 20);
  text.append(head, 0, head.size() - 1);
  text += ",\"result\":";
  text += first;
  text += ",\"data\":";
  text += dataText;
  text.append(body, first.size(), std::string::npos);
  text += '}';
  return text;
}

// A frame too large to parse for a connection that has not logged in: only
// a request carrying a valid token passes.
void admitLargeFrame(const std::string& text, Client& client) {
  // Without the member's name anywhere in it, no reading can find a token.
  std::string token = text.find("\"authToken\"") != std::string::npos ? findAuthToken(text) : std::string();
  if (token.empty() || !findAuthEntry(token))
    throw RequestRefused("A request of more than " + std::to_string(kMaxFrameBeforeLogin) +
                         " bytes needs a log-in first: log in, or carry a valid authToken.");
  client.authenticated = true;
}

std::string processRequest(const std::string& text, Client& client) {
  std::string id = "-1";
  std::string method;
  try {
    if (!client.authenticated && text.size() > kMaxFrameBeforeLogin) admitLargeFrame(text, client);
    ParseMemory memory;  // outlives the document it pays for
    json request = parseRequest(text, memory);
    if (!request.is_object() || !request.contains("id"))
      return dump(makeResponse(-1, "request id is missing. Please add one!", -1));
    id = idText(request["id"]);
    if (request.contains("method") && request["method"].is_string()) method = request["method"].get<std::string>();
    json reply;
    yx::BudgetLease replyLease;  // outlives the rows' text and the reply written from it
    std::string dataText;
    try {
      reply = dispatchMethod(request, client, dataText, replyLease);
    } catch (const ZVException& failure) {
      reply = makeResponse(failure.GetErrorCode(), failure.GetErrorMsg(), json(id));
      reply["result"]["method"] = method;
      dataText.clear();
    }
    return writeReply(std::move(reply), dataText);
  } catch (const std::exception& failure) {
    std::printf("%s\n", failure.what());
    std::fflush(stdout);
    return dump(makeResponse(-1, failure.what(), json(id)));
  }
}

class WrenSession : public WebsocketAppSession {
 public:
  WrenSession(WebsocketApp* app, const nev_connection* connection) : WebsocketAppSession(app) {
    static std::atomic<uint64_t> lastId{0};
    client.id = ++lastId;
    if (connection == nullptr) return;
    client.socket = connection->sock;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &connection->peer.sin_addr, text, sizeof text) != nullptr) client.address = text;
  }
  Client client;
};

void clearError(char* error) {
  if (error != nullptr) error[0] = 0;
}

}  // namespace
}  // namespace wren

extern "C" {

__attribute__((visibility("default"))) int32_t init(WebAppInitRecord* record, char* error) {
  if (record->version != 1) {
    snprintf(error, 1024,
             "wren websocket application version doesn't match osprey plugin. It is expected to be [1], but it is [%d]",
             static_cast<int>(record->version));
    return -1;
  }
  record->version = 1;
  record->basicAuthMode = 1;
  snprintf(record->description, 1024, "%s", "wren API");
  record->configType = "NONE";
  record->configPath[0] = 0;
  try {
    wren::startKeeper();
  } catch (const std::exception& failure) {
    snprintf(error, 1024, "wren cannot start its connection keeper: %s", failure.what());
    return -1;
  }
  wren::clearError(error);
  return 0;
}

__attribute__((visibility("default"))) int32_t term(char* error) {
  wren::stopKeeper();
  wren::clearError(error);
  return 0;
}

__attribute__((visibility("default"))) WebsocketAppSession* connectSession(WebsocketApp* app,
                                                                           nev_connection* connection, char* error) {
  wren::clearError(error);
  try {
    return new wren::WrenSession(app, connection);
  } catch (const std::exception& failure) {
    snprintf(error, 1024, "%s", failure.what());
    return nullptr;
  }
}

__attribute__((visibility("default"))) int32_t disconnectSession(nev_connection*, WebsocketAppSession* session,
                                                                 char* error, WebsocketApp*) {
  wren::clearError(error);
  delete session;
  return 0;
}

__attribute__((visibility("default"))) int32_t handler(WebsocketAppSession* session, const char* data, size_t length,
                                                       char** reply, size_t* replyLength) {
  *reply = nullptr;
  *replyLength = 0;
  try {
    // Sessions are all made by connectSession; without one (a caller that
    // is no connection) the request comes from nowhere in particular.
    wren::Client nowhere;
    wren::Client& client = session != nullptr ? static_cast<wren::WrenSession*>(session)->client : nowhere;
    std::string text = wren::processRequest(std::string(data, length), client);
    *reply = dupStr(text.c_str());
    *replyLength = text.size();
    return 0;
  } catch (...) {  // no copy of the reply could be made; nothing escapes to the plug-in
    return -1;
  }
}

}  // extern "C"
