// plover's entry points, configuration and the binding of the SQL client
// library.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "VOKTBasic.h"
#include "finch.h"
#include "osprey_webapp.h"
#include "plover.h"

// The tools' shared helpers keep their state here.
finch::Module finch::module;

namespace plover {

SqlApi sql;
Settings settings;

namespace {

constexpr int kMaxPoolSize = 1024;  // a configured size beyond it is cut to it
bool started = false;

// zvsqlapi.so next to this library in web/ (a sanitizer's dlopen would not
// search this library's own run path).
std::string clientLibraryPath() {
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&bindSqlClientLibrary), &self) || !self.dli_fname) return "zvsqlapi.so";
  std::string path = self.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "zvsqlapi.so" : path.substr(0, slash + 1) + "zvsqlapi.so";
}

}  // namespace

int bindSqlClientLibrary(char* error) {
  errno = 0;
  void* library = dlopen(clientLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    int code = errno ? errno : ENOENT;
    snprintf(error, 1024, "Not able to load client symbols for plover tool. Can't find local client library handle: %d",
             code);
    return code;
  }
#define PLOVER_BIND(name)                                                                                         \
  sql.name = reinterpret_cast<decltype(sql.name)>(dlsym(library, #name));                                         \
  if (!sql.name) {                                                                                                \
    snprintf(error, 1024, "Not able to load client symbols for plover tool. Unable to resolve quarn function %s", \
             #name);                                                                                              \
    return 1;                                                                                                     \
  }
  PLOVER_SQL_FUNCTIONS(PLOVER_BIND)
#undef PLOVER_BIND
  return 0;
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

}  // namespace

}  // namespace plover

using namespace plover;

extern "C" {

// Two keyword rows the host may read; nothing here reads them.
__attribute__((visibility("default"))) UTILKW utilkeywds[2] = {{"USERID", ""}, {"PASSWD", ""}};

__attribute__((visibility("default"))) int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData*) {
  try {
    auto& module = finch::module;
    module.documentRoot = record->documentRoot ? record->documentRoot : ".";
    module.agentMaster = record->agentMaster != 0;
    module.unicode = record->unicode != 0;
    module.connTypes = record->connTypes;
    settings.sqlPort = record->sqlPort;
    module.poolSize = 2;
    module.idleTimeout = 300;
    finch::readConfiguration("plover.cfg", kMaxPoolSize);
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
    if (!json_object_is_type(request, json_type_array)) {
      *reply = zvJsonAlloc();
      if (*reply) dispatchOrRefuse(pass, request, reply);
      return 0;
    }
    *reply = zvJsonAllocArray();
    if (!*reply) return 0;
    int count = zvJsonArrayLength(request);
    for (int i = 0; i < count; ++i) {
      json_object* one = zvJsonAlloc();
      if (!one) break;
      int r = dispatchOrRefuse(pass, zvJsonArrayGetIdx(request, i), &one);
      zvJsonArrayAdd(*reply, one);
      if (r != 0) break;  // the dispatcher's own refusals end a batch
    }
  } catch (const std::exception&) {
    // Out of memory: the reply holds what was answered so far.
  }
  return 0;
}

}  // extern "C"
