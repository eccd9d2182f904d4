// The table browser's request bodies, through its router as the plug-in
// calls it: a command chosen by the first byte, the rest folded and parsed as
// the plug-in does (a body that is not JSON arrives as null), the token of a
// logon made at start. The browser runs on an engine whose data root and
// document root are fresh temporary folders, holding a database "fz" with a
// table "t" of a few records for the table commands to find. An alteration or
// rebuild is waited for before the next input; a logon the input ended, a
// table or database it dropped, is made again.

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

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
    "zvIsamExGetInfo",
    "zvIsamExServers",
    "zvIsamExGetErrors",
    "zvIsamExConnect",
    "zvIsamExDisconnect",
    "zvIsamExConnectionStatus",
    "zvIsamExRefreshConnection",
    "zvIsamExGetTreeNodes",
    "zvIsamExDoAction",
    "zvIsamExGetFields",
    "zvIsamExGetProperties",
    "zvIsamExGetIndexes",
    "zvIsamExGetIndexSegments",
    "zvIsamExGetIndexesSegments",
    "zvIsamExGetTableRecords",
    "zvIsamExGetTableBlob",
    "zvIsamExSetTableBlob",
    "zvIsamExUpdateTableRecord",
    "zvIsamExRemoveTableRecord",
    "zvIsamExCreateTableRecord",
    "zvIsamExSetNull",
    "zvIsamExCreateNewTable",
    "zvIsamExUpdateTable",
    "zvIsamExRebuildTable",
    "zvIsamExCheckRebuildProgress",
    "zvIsamExNoSuchCommand",
};

const char kTable[] =
    R"({"database":"fz","tableInfo":{"properties":{"name":"t","path":""},"fields":[)"
    R"({"name":"ID","type":"ZV_INT4","length":4},{"name":"name","type":"ZV_STRING","length":30,"nulls":true},)"
    R"({"name":"bin","type":"ZV_4STRING","length":0,"nulls":true},)"
    R"({"name":"score","type":"ZV_DFLOAT","length":8,"nulls":true}],)"
    R"("indexes":[{"name":"byName","type":"","dupAllowed":true,)"
    R"("segments":[{"fieldName":"name","segmentMode":"SCHSEG"}]}]}})";

std::string token;
bool started = false;

// One command with a body given as text; the reply's error code (0 on success).
int call(const char *command, const char *body, const std::string &with, json_object **result = nullptr) {
  json_object *request = body ? zvJsonFromString(body) : nullptr;
  json_object *reply = nullptr;
  router(command, with.c_str(), request, &reply);
  json_object *code = nullptr;
  int error = zvJsonGetByName(reply, "errorCode", &code) ? json_object_get_int(code) : 0;
  json_object *success = nullptr;
  if (error == 0 && zvJsonGetByName(reply, "success", &success) && !json_object_get_boolean(success)) error = -1;
  if (result) {
    json_object *inner = nullptr;
    *result = zvJsonGetByName(reply, "result", &inner) ? json_object_get(inner) : nullptr;
  }
  zvJsonRelease(reply);
  zvJsonRelease(request);
  return error;
}

// Logs on as the fresh engine's administrator; the token, empty when refused.
std::string logon() {
  json_object *result = nullptr;
  call("zvIsamExConnect", R"({"serverInfo":{"userName":"QURNSU4=","userPassword":"VFJVVkU="}})", "", &result);
  const char *text = nullptr;
  std::string made = zvJsonGetStringByName(result, "token", &text) && text ? text : "";
  zvJsonRelease(result);
  return made;
}

// Whether the table the table commands name is there (its fields can be read).
bool haveTable() {
  json_object *request = zvJsonFromString(R"({"database":"fz","name":"t"})");
  json_object *reply = nullptr;
  router("zvIsamExGetFields", token.c_str(), request, &reply);
  json_object *fields = nullptr;
  const bool found = zvJsonGetByName(reply, "fields", &fields) && json_object_is_type(fields, json_type_array) &&
                     json_object_array_length(fields) > 0;
  zvJsonRelease(reply);
  zvJsonRelease(request);
  return found;
}

// Makes the database and table the table commands name, when they are missing.
void makeFixture() {
  if (haveTable()) return;
  call("zvIsamExDoAction", R"({"mode":"CREATEDB","name":"fz","path":""})", token);
  if (call("zvIsamExCreateNewTable", kTable, token) != 0) return;
  for (int i = 0; i < 5; ++i) {
    std::string record = R"({"database":"fz","name":"t","fields":"{\"ID\":)" + std::to_string(i) + R"(,\"name\":\"n)" +
                         std::to_string(i) + R"(\",\"score\":1.5}"})";
    call("zvIsamExCreateTableRecord", record.c_str(), token);
  }
}

// Waits (a bounded time) until an alteration or rebuild of the slot has ended.
void waitForWorker() {
  for (int i = 0; i < 500; ++i) {
    if (call("zvIsamExRefreshConnection", "{}", token) == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static const std::string document_root = fuzz::webapp_folders("fuzz_browser");
  // A logon makes no server: the one the tool logs on to is made here, as
  // the plug-in makes it at start.
  rlCreateServer("BRENLOXS");
  if (document_root.empty()) return 0;
  WebAppInitRecord record{};
  record.version = WEBAPP_RECORD_VERSION;
  record.documentRoot = document_root.c_str();
  char error[1032] = {};
  started = init(&record, error, nullptr) == 0;
  if (!started) std::fprintf(stderr, "browser init failed: %s\n", error);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!started) return 0;
  fuzz::input in(data, size);
  const std::string command = kCommands[in.byte() % (sizeof kCommands / sizeof *kCommands)];
  std::string body = in.rest();
  body.resize(foldUnicodeEscapes(body.data(), body.size()));
  json_object *request = zvJsonFromString(body.c_str());
  if (token.empty()) token = logon();
  if (!token.empty()) makeFixture();
  json_object *reply = nullptr;
  FUZZ_CHECK(router(command.c_str(), token.c_str(), request, &reply) == 0);
  FUZZ_CHECK(reply != nullptr && json_object_is_type(reply, json_type_object));
  // A logon the input made is given back, so the pool does not fill up.
  json_object *result = nullptr;
  const char *made = nullptr;
  if (command == "zvIsamExConnect" && zvJsonGetByName(reply, "result", &result) &&
      zvJsonGetStringByName(result, "token", &made) && made)
    call("zvIsamExDisconnect", "{}", made);
  zvJsonRelease(reply);
  zvJsonRelease(request);
  if (command == "zvIsamExUpdateTable" || command == "zvIsamExRebuildTable") waitForWorker();
  if (call("zvIsamExConnectionStatus", "{}", token) != 0) token.clear();
  return 0;
}
