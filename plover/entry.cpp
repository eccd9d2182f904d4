// plover's entry points, configuration and the binding of the SQL client
// library.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "VOKTBasic.h"
#include "appkit.h"
#include "osprey_webapp.h"
#include "plover.h"

namespace plover {

SqlApi sql;
Settings settings;

namespace {

constexpr int kMaxPoolSize = 1024;  // a configured size beyond it is cut to it
bool started = false;

}  // namespace

int bindSqlClientLibrary(char* error) {
#define PLOVER_BINDING(name) APPKIT_BINDING(sql, name),
  return appkit::bindLibrary("zvsqlapi.so", "plover", {PLOVER_SQL_FUNCTIONS(PLOVER_BINDING)}, error);
#undef PLOVER_BINDING
}

namespace {

// A router call counted in flight for its whole length, unless the
// application is stopping.
struct CallPass {
  CallPass() : entered(enterCall()) {}
  ~CallPass() {
    if (entered) leaveCall();
  }
  CallPass(const CallPass&) = delete;
  CallPass& operator=(const CallPass&) = delete;
  const bool entered;
};

int dispatchOrRefuse(const CallPass& pass, json_object* request, json_object** reply) {
  if (pass.entered) return dispatchRemotingCall(request, reply);
  int32_t tid = 0;
  zvJsonGetIntByName(request, "tid", &tid);
  setRouterException(*reply, tid, "ploverRouter -> Application is stopping");
  return -1;
}

// A batch's replies are kept as their text as each is answered, and together
// they carry at most kMaxReplyBytes, as one reply does: a batch of large
// results would otherwise hold them all at once. The call that passes the
// bound is answered with kReplyTooLarge and ends the batch.
bool addBatchReply(json_object* replies, zvJsonPtr one, int32_t tid, size_t* total) {
  const char* text = zvJsonToString(one.get());
  size_t length = text ? strlen(text) : 0;
  if (*total + length + 1 > kMaxReplyBytes) {
    zvJsonPtr tooLarge(zvJsonAlloc());
    if (!tooLarge) return false;
    setReplyTooLarge(tooLarge.get(), tid, "ploverRouter", kRouterUnit);
    zvJsonArrayAdd(replies, tooLarge.release());
    return false;
  }
  json_object* kept = jsonAsText(std::string(text ? text : "null", text ? length : 4));
  if (!kept) return false;
  one.reset();  // the answer's tree and its text go before the next call runs
  *total += length + 1;
  zvJsonArrayAdd(replies, kept);
  return true;
}

// One request or a batch of them; the reply object or array (null when no
// memory was left for it).
json_object* dispatchRequest(const CallPass& pass, json_object* request) {
  json_object* reply = nullptr;
  if (!json_object_is_type(request, json_type_array)) {
    reply = zvJsonAlloc();
    if (reply) dispatchOrRefuse(pass, request, &reply);
    return reply;
  }
  reply = zvJsonAllocArray();
  if (!reply) return nullptr;
  try {
    int count = zvJsonArrayLength(request);
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
      json_object* one = zvJsonAlloc();
      if (!one) break;
      json_object* call = zvJsonArrayGetIdx(request, i);
      int r = dispatchOrRefuse(pass, call, &one);
      int32_t tid = 0;
      zvJsonGetIntByName(call, "tid", &tid);
      if (!addBatchReply(reply, zvJsonPtr(one), tid, &total)) break;
      if (r != 0) break;  // the dispatcher's own refusals end a batch
    }
  } catch (const std::exception&) {
    // Out of memory: the reply holds what was answered so far.
  }
  return reply;
}

zvJsonPtr refusalReply(const char* message) {
  zvJsonPtr reply(zvJsonAlloc());
  if (reply) setRouterException(reply.get(), 0, message);
  return reply;
}

// The reply as the host sends a RAW one: its header block and the JSON text;
// a reply of an empty object or array, or none, has an empty body.
char* replyText(WebAppRequestRecord* request, json_object* reply) {
  const char* json = reply ? zvJsonToString(reply) : nullptr;
  size_t length = json ? strlen(json) : 0;
  if (length <= 3) json = "", length = 0;
  char head[128];
  int headLength =
      snprintf(head, sizeof head, "Content-Type: text/json; charset=iso-8859-1\r\nContent-Length: %zu\r\n\r\n", length);
  char* text = static_cast<char*>(request->allocate(size_t(headLength) + length + 1));
  if (!text) return nullptr;
  memcpy(text, head, size_t(headLength));
  memcpy(text + headLength, json, length);
  text[size_t(headLength) + length] = '\0';
  return text;
}

}  // namespace

}  // namespace plover

using namespace plover;

extern "C" {

// Two keyword rows the host may read; nothing here reads them.
__attribute__((visibility("default"))) UTILKW utilkeywds[2] = {{"USERID", ""}, {"PASSWD", ""}};

__attribute__((visibility("default"))) int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData*) {
  try {
    auto& module = appkit::toolSettings();
    module.documentRoot = record->documentRoot ? record->documentRoot : ".";
    module.agentMaster = record->agentMaster != 0;
    module.unicode = record->unicode != 0;
    module.connTypes = record->connTypes;
    settings.sqlPort = record->sqlPort;
    module.log = record->logCallback;
    module.poolSize = 2;
    module.idleTimeout = 300;
    appkit::readConfiguration("plover.cfg", kMaxPoolSize);
    snprintf(record->description, 1025, "%s", "plover Application");
    record->configType = "CFG";
    snprintf(record->configPath, 1025, "%s", module.configPath.c_str());
    error[0] = '\0';
    if (started) return 0;  // a second init keeps the pools of the first
    // The library is bound before the reaper starts: a failed init leaves no thread behind.
    int r = bindSqlClientLibrary(error);
    if (r != 0) return r;
    setPoolSettings(module.poolSize, module.idleTimeout);
    r = startReaper(error);
    if (r != 0) return r;
    openCalls();
    started = true;
    return 0;
  } catch (const std::exception& e) {
    snprintf(error, 1024, "Not able to start plover web application - %s", e.what());
    return 9022;
  }
}

// The host hands POST bodies over as text, so that their size and shape are
// checked before anything is parsed (routerXtd below).
__attribute__((visibility("default"))) int32_t initXtd(WebAppInitRecord* record, char* error,
                                                       WebServerThreadData* server) {
  int32_t result = init(record, error, server);
  record->tokenMode = 1;
  record->basicAuthMode = WEBAPP_AUTH_NONE;
  for (int32_t& body : record->bodyByMethod) body = 0;
  record->bodyByMethod[WEBAPP_METHOD_POST] = 1;
  record->contentMode = WEBAPP_CONTENT_RAW;
  return result;
}

__attribute__((visibility("default"))) int32_t term(char* error) {
  if (error) error[0] = '\0';
  if (started) {
    closeCallsAndWait();  // no call may be using a pool while the pools are freed
    stopReaper();
  }
  started = false;
  return 0;
}

__attribute__((visibility("default"))) int32_t getAPI(json_object** api) {
  *api = apiDescriptor();
  return *api ? 0 : 9010;
}

__attribute__((visibility("default"))) int32_t router(const char*, const char*, json_object* request,
                                                      json_object** reply) {
  CallPass pass;
  try {
    *reply = dispatchRequest(pass, request);
  } catch (const std::exception&) {
    // Out of memory: no reply.
  }
  return 0;
}

// A host that asks refuses a longer body itself, before it copies it.
__attribute__((visibility("default"))) int64_t requestBodyLimit(const char*) { return int64_t(kMaxBodyBytes); }

__attribute__((visibility("default"))) int32_t routerXtd(WebAppRequestRecord* request, void* body, void** reply) {
  *reply = nullptr;
  if (request->method != WEBAPP_METHOD_POST) return -1;  // GET and others: the document root's files
  try {
    const char* text = static_cast<const char*>(body);
    std::string refusal = text ? bodyRefusal(text, strlen(text)) : "";
    if (!refusal.empty()) {
      *reply = replyText(request, refusalReply(refusal.c_str()).get());
      return 413;
    }
    zvJsonPtr parsed(zvJsonFromString(text ? text : ""));
    if (!parsed) {
      *reply = replyText(request, nullptr);
      return 400;
    }
    CallPass pass;
    zvJsonPtr answer(dispatchRequest(pass, parsed.get()));
    *reply = replyText(request, answer.get());
  } catch (const std::exception&) {
    // Out of memory: no reply.
  }
  return 0;
}

}  // extern "C"
