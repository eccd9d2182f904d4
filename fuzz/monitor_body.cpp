// The server monitor's request bodies, through its router exactly as the
// plug-in calls it: a command from the URI, the body folded and parsed as the
// plug-in does (a body that is not JSON arrives as null), the token of a
// logon made at start. The monitor runs on an engine whose data root and
// document root are fresh temporary folders; a command that ends the logon
// (zvMonKillUser, zvMonDisconnect) is followed by a new one.

#include <cstdlib>
#include <string>

#include "VOKTBasic.h"
#include "fuzz_input.h"
#include "ravlink.h"
#include "osprey.h"
#include "osprey_webapp.h"

extern "C" {
int32_t init(WebAppInitRecord *record, char *error, WebServerThreadData *server);
int32_t router(const char *command, const char *token, json_object *request, json_object **reply);
}

namespace {

const char *const kCommands[] = {
    "zvMonGetInfo",      "zvMonLayouts",           "zvMonDashboard",
    "zvMonGetErrors",    "zvMonServers",           "zvMonConnect",
    "zvMonDisconnect",   "zvMonConnectionStatus",  "zvMonRefreshConnection",
    "zvMonSysSnapShot",  "zvMonSysConfig",         "zvMonSqlSnapShot",
    "zvMonUserSnapShot", "zvMonGetCounters",       "zvMonGetActiveConnections",
    "zvMonGetEventLogs", "zvMonPurgeEventLogs",    "zvMonIoPerformanceX",
    "zvMonOpenFiles",    "zvMonUsersForFile",      "zvMonLocksForFile",
    "zvMonStatsForFile", "zvMonSetFunctionTiming", "zvMonGetFunctionTiming",
    "zvMonTakeSnapshot", "zvMonMemAlloc",          "zvMonMemStat",
    "zvMonGetDashboard", "zvMonKillUser",          "zvMonNoSuchCommand",
};

std::string token;
bool started = false;

// Logs on as the fresh engine's administrator (credentials in Base64, as the page sends them).
void connect() {
  json_object *request = zvJsonFromString(R"({"serverInfo":{"userName":"QURNSU4=","userPassword":"VFJVVkU="}})");
  json_object *reply = nullptr;
  router("zvMonConnect", nullptr, request, &reply);
  json_object *result = nullptr;
  const char *text = nullptr;
  token.clear();
  if (zvJsonGetByName(reply, "result", &result) && zvJsonGetStringByName(result, "token", &text) && text) token = text;
  zvJsonRelease(reply);
  zvJsonRelease(request);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static const std::string document_root = fuzz::webapp_folders("fuzz_monitor");
  // A logon makes no server: the one the tool logs on to is made here, as
  // the plug-in makes it at start.
  rlCreateServer("BRENLOXS");
  if (document_root.empty()) return 0;
  WebAppInitRecord record{};
  record.version = WEBAPP_RECORD_VERSION;
  record.documentRoot = document_root.c_str();
  char error[1032] = {};
  started = init(&record, error, nullptr) == 0;
  if (!started) std::fprintf(stderr, "monitor init failed: %s\n", error);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!started) return 0;
  fuzz::input in(data, size);
  const char *command = kCommands[in.byte() % (sizeof kCommands / sizeof *kCommands)];
  std::string body = in.rest();
  body.resize(foldUnicodeEscapes(body.data(), body.size()));
  json_object *request = zvJsonFromString(body.c_str());
  if (token.empty()) connect();
  json_object *reply = nullptr;
  FUZZ_CHECK(router(command, token.c_str(), request, &reply) == 0);
  FUZZ_CHECK(reply != nullptr && json_object_is_type(reply, json_type_object));
  zvJsonRelease(reply);
  zvJsonRelease(request);
  // A command that may have ended the logon: make sure there is one.
  if (command == std::string("zvMonKillUser") || command == std::string("zvMonDisconnect") ||
      command == std::string("zvMonConnect")) {
    reply = nullptr;
    router("zvMonConnectionStatus", token.c_str(), nullptr, &reply);
    json_object *code = nullptr;
    if (!zvJsonGetByName(reply, "errorCode", &code) || json_object_get_int(code) != 0) token.clear();
    zvJsonRelease(reply);
  }
  return 0;
}
