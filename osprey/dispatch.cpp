// Request routing into web applications, replies, and websocket sessions.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <strings.h>

#include "admin/admin.h"
#include "run.h"

namespace osprey {

namespace {

constexpr size_t kTokenMax = 1023;
constexpr const char* kJsonHead = "Content-Type: text/json; charset=iso-8859-1\r\nContent-Length: %zu\r\n\r\n";
constexpr const char* kEmptyBlock = "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Length: 0\r\n\r\n";
constexpr const char* kRemotingPrefix = "Ext.ns(\"Ext.app\"); Ext.app.REMOTING_API = ";

std::atomic<ServerRun*> gCurrentRun{nullptr};

// Websocket sessions by connection, so that the teardown can end those whose
// connection the engine dropped without a close event.
struct SessionEntry {
  WebsocketAppSession* session;
  WebsocketApp* app;
};
std::mutex gSessionsMutex;
std::map<nev_connection*, SessionEntry>& sessions() {
  static std::map<nev_connection*, SessionEntry> table;
  return table;
}

// Frees the iterator's buffers on every return path.
class SegmentWalk {
 public:
  explicit SegmentWalk(nev_slice uri) { uriSegmentsOpen(&it_, uri.p, uri.len); }
  ~SegmentWalk() { uriSegmentsClose(&it_); }
  SegmentWalk(const SegmentWalk&) = delete;
  SegmentWalk& operator=(const SegmentWalk&) = delete;
  const char* next() { return nextUriSegment(&it_); }
  const char* rest() const { return uriSegmentsRest(&it_); }

 private:
  UriSegments it_;
};

WebServerThreadData* recordOf(nev_connection* conn) {
  auto* record = static_cast<WebServerThreadData*>(conn->user_data);
  if (record != nullptr) return record;
  ServerRun* run = gCurrentRun.load();
  return run != nullptr ? run->record() : nullptr;
}

const char* extraHeadersOf(nev_connection* conn) {
  WebServerThreadData* record = recordOf(conn);
  return record != nullptr ? record->extra_headers : nullptr;
}

template <class App>
App* findByPrefix(YXHashTable<App>& registry, const char* segment) {
  App* found = nullptr;
  registry.Lock();
  for (int32_t i = 0; i < registry.count && found == nullptr; ++i)
    if (strcasecmp(registry.items[i]->value->prefix, segment) == 0) found = registry.items[i]->value;
  registry.Unlock();
  return found;
}

std::string sliceText(nev_slice slice) { return std::string(slice.p != nullptr ? slice.p : "", slice.len); }

void serveStatic(nev_connection* conn, const nev_http_view* view) {
  ServerRun* run = gCurrentRun.load();
  if (run == nullptr) {
    nev_http_send_error(conn, 503, nullptr, nullptr);
    return;
  }
  nev_http_serve_files(conn, view, run->serveOptions());
}

void sendEmptyReply(nev_connection* conn, int status) {
  nev_http_status_line(conn, status, extraHeadersOf(conn));
  nev_enqueue_format(conn, "%s", kEmptyBlock);
}

// A 401 names the scheme the client must answer with (RFC 7235): without it
// clients do not ask for credentials at all.
void sendBasicChallenge(nev_connection* conn) {
  WebServerThreadData* record = recordOf(conn);
  const char* realm = record != nullptr && record->auth_domain != nullptr ? record->auth_domain : "";
  nev_http_status_line(conn, 401, extraHeadersOf(conn));
  nev_enqueue_format(conn, "WWW-Authenticate: Basic realm=\"%s\", charset=\"UTF-8\"\r\n%s", realm, kEmptyBlock);
}

// The HTTP status of an application's own error code: a route the
// application does not have (8006, "not supported") is not found, a request
// that lacks what the route needs (9006) is a bad request; other codes stay
// server errors. The code itself stays in the reply's body.
int httpStatusOfAppCode(int code) {
  switch (code) {
    case 8006:
      return 404;
    case 9006:
      return 400;
    default:
      return 500;
  }
}

void sendJsonBlock(nev_connection* conn, const char* text) {
  // The text goes in as it is: formatted together with its head, a large
  // reply would be copied once more on its way to the send buffer.
  const size_t length = std::strlen(text);
  nev_enqueue_format(conn, kJsonHead, length);
  nev_enqueue(conn, text, length);
}

void sendRemotingDescription(nev_connection* conn, WEBAPP* app) {
  json_object* api = nullptr;
  app->getAPI(&api);
  zvJsonPtr owner(api);
  std::string text = kRemotingPrefix;
  const char* json = zvJsonToString(api);
  if (json != nullptr) text += json;
  nev_enqueue_format(conn,
                     "HTTP/1.1 200 OK\r\nContent-Type: text/json; charset=iso-8859-1\r\n"
                     "Content-Length: %d\r\n\r\n%s",
                     static_cast<int>(text.size()), text.c_str());
}

// The request's body as the application asked for it.
struct Body {
  std::string text;  // the copy, folded; RAW bodies are handed out from here
  json_object* json = nullptr;
  bool present = false;
  ~Body() { zvJsonRelease(json); }
};

// Returns 0, or the HTTP status of a body that was not parsed because of the
// parse bounds (413: too many values, 503: too much parsed at once).
int readBody(const nev_http_view* view, WEBAPP* app, bool raw, Body* body) {
  body->present = true;
  body->text = sliceText(view->body);
  if (app->unicode == 0) {
    const nev_slice* type = nev_http_find_header(view, "Content-Type");
    if (type == nullptr || !contentTypeIsIso8859(type->p, type->len))
      body->text.resize(foldUnicodeEscapes(body->text.data(), body->text.size()));
  }
  if (raw) return 0;
  // A NUL byte would end the text early and leave the rest unseen.
  if (std::memchr(body->text.data(), '\0', body->text.size()) != nullptr) return 0;
  body->json = zvJsonFromString(body->text.c_str());
  // The application gets the tree: the copy of the text would only sit
  // beside it while the request is served.
  std::string().swap(body->text);
  if (body->json != nullptr) return 0;
  switch (zvJsonLastParseStatus().error) {
    case VOKT_JSON_TOO_LARGE:
      return 413;
    case VOKT_JSON_BUSY:
      return 503;
    default:
      return 0;
  }
}

void writeReply(nev_connection* conn, int status, bool raw, void* reply) {
  nev_http_status_line(conn, status, extraHeadersOf(conn));
  bool success = status >= 200 && status <= 299;
  if (raw) {
    if (reply != nullptr)
      nev_enqueue(conn, reply, std::strlen(static_cast<const char*>(reply)));
    else
      nev_enqueue_format(conn, "%s", kEmptyBlock);
    return;
  }
  auto* object = static_cast<json_object*>(reply);
  const char* text = object != nullptr ? zvJsonToString(object) : nullptr;
  if (success) {
    sendJsonBlock(conn, text != nullptr && std::strlen(text) > 3 ? text : "");
  } else if (text != nullptr) {
    sendJsonBlock(conn, text);
  } else {
    nev_enqueue_format(conn, "%s", kEmptyBlock);
  }
}

void releaseReply(bool raw, void* reply) {
  if (raw)
    std::free(reply);
  else
    zvJsonRelease(static_cast<json_object*>(reply));
}

// A body larger than the application takes for the route is answered 413
// before it is parsed: a parse costs many times the body's size.
bool bodyPastLimit(nev_connection* conn, const nev_http_view* view, WEBAPP* app, const SegmentWalk& walk) {
  if (app->bodyLimit == nullptr || view->body.len == 0) return false;
  const char* rest = walk.rest();
  int64_t limit = app->bodyLimit(rest[0] == '/' ? rest + 1 : rest);
  if (limit <= 0 || static_cast<uint64_t>(view->body.len) <= static_cast<uint64_t>(limit)) return false;
  if (app->router == &::router) {  // the administration application answers everything with 200
    zvJsonPtr reply = admin::bodyTooLongReply(limit);
    nev_http_status_line(conn, 200, extraHeadersOf(conn));
    sendJsonBlock(conn, zvJsonToString(reply.get()));
    return true;
  }
  char text[256];
  snprintf(text, sizeof text,
           "{\"success\":false,\"errorCode\":9006,\"errorMessage\":\"The request body of %zu bytes is larger than "
           "the %lld bytes this command accepts\"}",
           static_cast<size_t>(view->body.len), static_cast<long long>(limit));
  nev_http_status_line(conn, 413, extraHeadersOf(conn));
  sendJsonBlock(conn, text);
  return true;
}

// Answers the request through the application; false leaves it to static
// serving.
bool dispatchToWebApp(nev_connection* conn, const nev_http_view* view, WEBAPP* app, SegmentWalk& walk, int method) {
  std::string token;
  bool withToken = app->tokenMode != 0;
  if (withToken) {
    const nev_slice* value = nev_http_find_header(view, "token");
    if (value != nullptr && value->len <= kTokenMax) token = sliceText(*value);
  }
  BasicCredentials credentials;
  bool withCredentials = false;
  if (app->basicAuthMode != WEBAPP_AUTH_NONE) {
    const nev_slice* value = nev_http_find_header(view, "Authorization");
    withCredentials = value != nullptr && decodeBasicCredentials(value->p, value->len, &credentials);
    if (!withCredentials && app->basicAuthMode == WEBAPP_AUTH_REQUIRED) {
      sendBasicChallenge(conn);
      return true;
    }
  }
  bool raw = app->contentMode == WEBAPP_CONTENT_RAW;
  if (bodyPastLimit(conn, view, app, walk)) return true;
  Body body;
  if (method < WEBAPP_METHOD_COUNT && app->bodyByMethod[method] != 0) {
    if (const int refusal = readBody(view, app, raw, &body)) {
      nev_http_send_error(conn, refusal,
                          refusal == 413 ? "The request's JSON holds too many values"
                                         : "Too many large requests at once; try again later",
                          refusal == 503 ? "Retry-After: 1\r\n" : nullptr);
      return true;
    }
    if (!raw && body.json == nullptr && app->bodyByMethod[method] == 1) {
      sendEmptyReply(conn, 400);
      return true;
    }
  }
  std::string query = sliceText(view->query);
  WebServerThreadData* record = recordOf(conn);
  WebAppRequestRecord request;
  std::memset(&request, 0, sizeof request);
  request.version = WEBAPP_RECORD_VERSION;
  request.method = method;
  request.url = walk.rest();
  request.query = query.empty() ? nullptr : query.c_str();
  request.token = withToken ? token.c_str() : nullptr;
  request.user = withCredentials ? credentials.user : nullptr;
  request.password = withCredentials ? credentials.password : nullptr;
  request.linkedServer = record != nullptr ? record->linked_vix_server : nullptr;
  request.allocate = std::malloc;

  void* bodyArgument = nullptr;
  if (body.present) bodyArgument = raw ? static_cast<void*>(body.text.data()) : body.json;
  void* reply = nullptr;
  int status;
  if (app->routerXtd != nullptr) {
    status = app->routerXtd(&request, bodyArgument, &reply);
  } else {
    if (method != WEBAPP_METHOD_POST) return false;
    const char* command = request.url[0] == '/' ? request.url + 1 : request.url;
    json_object* jsonReply = nullptr;
    app->router(command, request.token, body.json, &jsonReply);
    reply = jsonReply;
    status = 0;
  }
  if (status == 0) status = 200;
  if (status == -1) {
    releaseReply(raw, reply);
    return false;
  }
  // Applications return their own error codes (8006, 9006, 101...) as the
  // status. Only 200-599 can end an HTTP exchange: a four-digit status makes
  // clients drop the whole reply, and a 1xx one leaves them waiting for the
  // real answer. The code itself stays in the reply's body.
  if (status < 200 || status > 599) status = httpStatusOfAppCode(status);
  writeReply(conn, status, raw, reply);
  releaseReply(raw, reply);
  return true;
}

// Replies written here carry their length, but a client that asked to close
// (HTTP/1.0, "Connection: close") may read until the connection ends: left
// open, it would wait for the idle time-out.
void closeAfterReplyWhenAsked(nev_connection* conn, const nev_http_view* view) {
  const nev_slice* connection = nev_http_find_header(view, "Connection");
  if (requestWantsClose(view->protocol.p, view->protocol.len, connection != nullptr ? connection->p : nullptr,
                        connection != nullptr ? connection->len : 0))
    conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
}

void routeHttpRequest(nev_connection* conn, const nev_http_view* view) {
  SegmentWalk walk(view->uri);
  const char* first = walk.next();
  std::string segment = first != nullptr ? first : "";
  if (strcasecmp(segment.c_str(), "build") == 0) {
    const char* stage = walk.next();
    if (stage != nullptr && (strcasecmp(stage, "production") == 0 || strcasecmp(stage, "testing") == 0)) {
      const char* third = walk.next();
      segment = third != nullptr ? third : "";
    }
  }
  WEBAPP* app = segment.empty() ? nullptr : findByPrefix(webApps(), segment.c_str());
  int method = app != nullptr ? webAppMethodCode(view->method.p, view->method.len) : 0;
  if (method == 0) {
    serveStatic(conn, view);
    return;
  }
  if (method == WEBAPP_METHOD_GET && app->getAPI != nullptr && strcasecmp(app->prefix, "plover") == 0) {
    const char* next = walk.next();
    if (view->query.len > 0 && next != nullptr && strcasecmp(next, "zvGetApi") == 0) {
      sendRemotingDescription(conn, app);
      closeAfterReplyWhenAsked(conn, view);
    } else {
      serveStatic(conn, view);
    }
    return;
  }
  if (dispatchToWebApp(conn, view, app, walk, method))
    closeAfterReplyWhenAsked(conn, view);
  else
    serveStatic(conn, view);
}

// ---- Websocket sessions ----

// An upgrade on a path no websocket application serves is refused before
// the switch, not accepted and left without a session.
void refuseUnservedUpgrade(nev_connection* conn, const nev_http_view* view) {
  SegmentWalk walk(view->uri);
  const char* segment = walk.next();
  if (segment == nullptr || findByPrefix(websocketApps(), segment) == nullptr)
    nev_http_send_error(conn, 404, nullptr, nullptr);
}

void openSession(nev_connection* conn, const nev_http_view* view) {
  SegmentWalk walk(view->uri);
  const char* segment = walk.next();
  if (segment == nullptr) return;
  WebsocketApp* app = findByPrefix(websocketApps(), segment);
  if (app == nullptr) return;  // the connection stays open without an application
  char error[kMessageSize] = {};
  WebsocketAppSession* session = nullptr;
  if (app->connectSession != nullptr) {
    session = app->connectSession(app, conn, error);
  } else {
    snprintf(error, sizeof error,
             "Not able to connect websocket application [%s]. [connectSession] symbols was not "
             "provided by the application library [%s].",
             app->prefix, app->library);
  }
  conn->private_word = session;
  if (session == nullptr) {
    nev_ws_send_frame(conn, NEV_WS_OP_TEXT, error, std::strlen(error));
    // After the message is out: closing at once would drop it unsent.
    conn->flags |= NEV_CONN_CLOSE_AFTER_SEND;
    return;
  }
  std::lock_guard<std::mutex> hold(gSessionsMutex);
  sessions()[conn] = SessionEntry{session, app};
}

void passFrame(nev_connection* conn, const nev_ws_frame* frame) {
  auto* session = static_cast<WebsocketAppSession*>(conn->private_word);
  if (session == nullptr || session->handler == nullptr) return;
  char* reply = nullptr;
  size_t length = 0;
  session->handler(session, reinterpret_cast<const char*>(frame->data), frame->size, &reply, &length);
  if (reply != nullptr && length > 0) nev_ws_send_frame(conn, NEV_WS_OP_TEXT, reply, length);
  VOKTFree(reply);
}

// Whoever takes the entry out of the table ends the session: the close event
// or the teardown, never both.
bool takeSession(nev_connection* conn, SessionEntry* entry) {
  std::lock_guard<std::mutex> hold(gSessionsMutex);
  auto found = sessions().find(conn);
  if (found == sessions().end()) return false;
  *entry = found->second;
  sessions().erase(found);
  return true;
}

void endSession(nev_connection* conn, const SessionEntry& entry) {
  char error[kMessageSize] = {};
  if (entry.app->disconnectSession != nullptr) entry.app->disconnectSession(conn, entry.session, error, entry.app);
}

void closeSession(nev_connection* conn) {
  appCalls().enterAlways();
  SessionEntry entry;
  if (takeSession(conn, &entry)) endSession(conn, entry);
  conn->private_word = nullptr;
  appCalls().leave();
}

}  // namespace

void setCurrentRun(ServerRun* run) { gCurrentRun.store(run); }

void clearCurrentRun(ServerRun* run) { gCurrentRun.compare_exchange_strong(run, nullptr); }

void disconnectRemainingSessions() {
  std::map<nev_connection*, SessionEntry> remaining;
  {
    std::lock_guard<std::mutex> hold(gSessionsMutex);
    remaining.swap(sessions());
  }
  for (const auto& [conn, entry] : remaining) endSession(nullptr, entry);
}

namespace {

// Names the connection's client to the applications called on this thread
// (their failed log-ons are counted per address), and lets them ask whether
// it is still connected (long work for a client that left stops), until the
// scope ends. The connection's own thread runs the call, so its socket stays
// open meanwhile.
class ClientAddressScope {
 public:
  explicit ClientAddressScope(nev_connection* conn) {
    char address[64] = "";
    nev_conn_addr_to_str(conn, address, sizeof address, NEV_SOCK_STRINGIFY_IP | NEV_SOCK_STRINGIFY_REMOTE);
    VOKTSetClientAddress(address);
    VOKTSetClientSocket(conn->sock);
  }
  ~ClientAddressScope() {
    VOKTSetClientAddress(nullptr);
    VOKTSetClientSocket(-1);
  }
  ClientAddressScope(const ClientAddressScope&) = delete;
  ClientAddressScope& operator=(const ClientAddressScope&) = delete;
};

// Every event of the web server's connections; may throw (applications).
void handleEvent(nev_connection* conn, int event, void* data) {
  ClientAddressScope client(conn);
  if (event == NEV_EVENT_CLOSE) {
    if (conn->private_word != nullptr) closeSession(conn);
    return;
  }
  if (event == NEV_EVENT_WS_HANDSHAKE_REQUEST) {
    refuseUnservedUpgrade(conn, static_cast<const nev_http_view*>(data));
    return;
  }
  if (event != NEV_EVENT_HTTP_REQUEST && event != NEV_EVENT_WS_HANDSHAKE_DONE && event != NEV_EVENT_WS_FRAME) return;
  AppCall call;
  if (!call) {
    // The server is stopping: no application is called any more.
    if (event == NEV_EVENT_HTTP_REQUEST) nev_http_send_error(conn, 503, nullptr, nullptr);
    return;
  }
  switch (event) {
    case NEV_EVENT_HTTP_REQUEST:
      routeHttpRequest(conn, static_cast<const nev_http_view*>(data));
      break;
    case NEV_EVENT_WS_HANDSHAKE_DONE:
      openSession(conn, static_cast<const nev_http_view*>(data));
      break;
    case NEV_EVENT_WS_FRAME:
      passFrame(conn, static_cast<const nev_ws_frame*>(data));
      break;
  }
}

}  // namespace

void webServerEventHandler(nev_connection* conn, int event, void* data, nev_unlock_fn unlock) {
  if (unlock != nullptr) unlock(conn);
  guardHandler(conn, "webServerEventHandler", [&] { handleEvent(conn, event, data); });
}

}  // namespace osprey
