// The registries of web and websocket applications and their loader.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>
#include <strings.h>

#include "admin/admin.h"
#include "internal.h"

namespace osprey {

namespace {

std::atomic<WEBAPP*> gMqttApp{nullptr};

// The loader leaves errno at 0 for most failures (an undefined symbol, a
// missing entry point); 0 would read as success and log as information.
int dlErrorCode() { return errno != 0 ? errno : kErrEntryMissing; }

const char* dlErrorText() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

// The library handle: kept for the process's life once the entry points are
// bound; closed again when binding fails.
struct LibraryCloser {
  void operator()(void* handle) const {
    if (handle != nullptr) dlclose(handle);
  }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

template <class Fn>
Fn symbol(void* handle, const char* name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

char* copyOrThrow(const char* text) {
  return dupStr(text);  // throws YXException 8001
}

// Splits "<prefix>;<library>" at the first ';'.
bool splitEntry(const char* entry, std::string* prefix, std::string* library) {
  const char* semicolon = std::strchr(entry, ';');
  if (semicolon == nullptr) return false;
  prefix->assign(entry, semicolon - entry);
  library->assign(semicolon + 1);
  return true;
}

void fillCommonInit(WebAppInitRecord* init, WebServerThreadData* record, uint8_t unicode) {
  std::memset(init, 0, sizeof *init);
  init->version = WEBAPP_RECORD_VERSION;
  init->unicode = unicode;
  init->documentRoot = record->document_root;
  init->serverValue = record->serverValue;
  init->jvmLibrary = record->jvm_lib;
  init->sqlPort = record->sqlPort;
  init->serverName = record->serverName;
  init->connTypes = connTypes();
  // Without a database server the host's own log still takes the applications' lines.
  init->logCallback = record->logCallback != nullptr ? record->logCallback : logCallback();
}

// Copies the texts an init returned; the record's buffers are terminated
// here, whatever the application wrote.
template <class App>
void takeDescription(App* app, WebAppInitRecord* init) {
  init->description[sizeof init->description - 1] = '\0';
  init->configPath[sizeof init->configPath - 1] = '\0';
  VOKTFree(app->description);
  app->description = nullptr;
  VOKTFree(app->configPath);
  app->configPath = nullptr;
  app->description = copyOrThrow(init->description);
  app->configPath = copyOrThrow(init->configPath);
  app->configType = init->configType;
}

int initWebsocketApp(WebsocketApp* app, WebServerThreadData* record, char* error) {
  WebAppInitRecord init;
  fillCommonInit(&init, record, app->unicode);
  int32_t result = app->init(&init, error);
  app->unicode = init.unicode;
  takeDescription(app, &init);
  return result;
}

// The built-in administration application joins the registry with the first
// configured application (later entries find it there).
void registerAdminApp() {
  try {
    auto app = std::make_unique<WEBAPP>();
    app->prefix = dupStr("admin");
    app->init = ::init;
    app->term = ::term;
    app->router = ::router;
    app->bodyLimit = admin::adminBodyLimit;
    app->tokenMode = kDefaultTokenMode;
    app->basicAuthMode = WEBAPP_AUTH_NONE;
    app->configType = "CFG";
    if (webApps().Add(app->prefix, app.get())) app.release();
  } catch (const YXException& e) {
    logf(e.GetErrorCode(), "osprey - Not able to add the administration application - %s", e.GetErrorMsg());
  }
}

}  // namespace

// ---- Library paths ----

void libraryPath(const char* library, char* path, size_t size) {
  std::string name(library);
  size_t slash = name.find_last_of('/');
  size_t dot = name.find_last_of('.');
  bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  if (hasExtension && strcasecmp(name.c_str() + dot, ".dll") == 0)
    name.replace(dot, std::string::npos, ".so");
  else if (!hasExtension && !name.empty())
    name += ".so";
  snprintf(path, size, "%s/%s", "web", name.c_str());
}

// ---- WEBAPPException ----

WEBAPPException::WEBAPPException(int code, const char* message, int line)
    : function_(strdup("WEBAPP::_loadApp")), code_(code), message_(strdup(message)), line_(line) {}

WEBAPPException::WEBAPPException(const WEBAPPException& other)
    : function_(other.function_ != nullptr ? strdup(other.function_) : nullptr),
      code_(other.code_),
      message_(other.message_ != nullptr ? strdup(other.message_) : nullptr),
      line_(other.line_) {}

WEBAPPException::~WEBAPPException() {
  free(function_);
  free(message_);
}

void WEBAPPException::Format(char* buffer) const {
  snprintf(buffer, kMessageSize, "%s - %d - %s", function_ != nullptr ? function_ : "", code_,
           message_ != nullptr ? message_ : "");
}

// ---- WEBAPP ----

WEBAPP::~WEBAPP() {
  VOKTFree(prefix);
  VOKTFree(library);
  VOKTFree(description);
  VOKTFree(configPath);
}

void WEBAPP::_loadApp(const char* name) {
  char path[4096];
  char message[kMessageSize];
  libraryPath(name, path, sizeof path);
  errno = 0;
  LibraryHandle handle(dlopen(path, RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    int code = dlErrorCode();
    snprintf(message, sizeof message, "Not able to load Web Application library [%s]: %s", name, dlErrorText());
    throw WEBAPPException(code, message, __LINE__);
  }
  auto missing = [&](const char* entry) {
    int code = dlErrorCode();
    snprintf(message, sizeof message, "Not able to load %s() entry point from Web Application library [%s]: %d", entry,
             name, code);
    throw WEBAPPException(code, message, __LINE__);
  };
  initXtd = symbol<WebAppInitFn>(handle.get(), "initXtd");
  if (initXtd == nullptr) init = symbol<WebAppInitFn>(handle.get(), "init");
  if (initXtd == nullptr && init == nullptr) missing("init");
  term = symbol<WebAppTermFn>(handle.get(), "term");
  if (term == nullptr) missing("term");
  routerXtd = symbol<WebAppRouterXtdFn>(handle.get(), "routerXtd");
  if (routerXtd == nullptr) router = symbol<WebAppRouterFn>(handle.get(), "router");
  if (routerXtd == nullptr && router == nullptr) missing("router");
  getAPI = symbol<WebAppGetApiFn>(handle.get(), "getAPI");
  bodyLimit = symbol<WebAppBodyLimitFn>(handle.get(), "requestBodyLimit");
  start = symbol<WebAppStartFn>(handle.get(), "start");
  stop = symbol<WebAppStopFn>(handle.get(), "stop");
  handle.release();  // bound: the library stays for the process's life
}

int32_t WEBAPP::_initApp(WebServerThreadData* record, char* error) {
  WebAppInitRecord init;
  fillCommonInit(&init, record, unicode);
  init.agentMaster = agentMaster;
  init.pluginGet = pluginGetFunction();
  int32_t result;
  if (initXtd != nullptr) {
    result = initXtd(&init, error, record);
    unicode = init.unicode;
    tokenMode = init.tokenMode;
    basicAuthMode = init.basicAuthMode;
    std::memcpy(bodyByMethod, init.bodyByMethod, sizeof bodyByMethod);
    contentMode = init.contentMode;
  } else {
    result = this->init(&init, error, record);
    tokenMode = kDefaultTokenMode;
    basicAuthMode = WEBAPP_AUTH_NONE;
    std::memset(bodyByMethod, 0, sizeof bodyByMethod);
    bodyByMethod[WEBAPP_METHOD_POST] = 1;
    contentMode = WEBAPP_CONTENT_JSON;
    unicode = init.unicode;
  }
  takeDescription(this, &init);
  return result;
}

}  // namespace osprey

// ---- WebsocketApp (declared in include/, defined by the plug-in) ----

using namespace osprey;

void WebsocketApp::_loadApp(const char* name) {
  char path[4096];
  char message[kMessageSize];
  libraryPath(name, path, sizeof path);
  errno = 0;
  LibraryHandle handle(dlopen(path, RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    int code = dlErrorCode();
    snprintf(message, sizeof message, "Not able to load Websocket Application library [%s]: %s", name, dlErrorText());
    YX_THROW("WebsocketApp::_loadApp", YX_KIND_OPERATION, code, message);
  }
  auto required = [&](const char* entry) {
    void* address = dlsym(handle.get(), entry);
    if (address == nullptr) {
      int code = dlErrorCode();
      snprintf(message, sizeof message, "Not able to load %s() entry point from Websocket Application library [%s]: %d",
               entry, name, code);
      YX_THROW("WebsocketApp::_loadApp", YX_KIND_OPERATION, code, message);
    }
    return address;
  };
  init = reinterpret_cast<WsAppInitFn>(required("init"));
  term = reinterpret_cast<WsAppTermFn>(required("term"));
  handler = reinterpret_cast<WsHandlerFn>(required("handler"));
  connectSession = symbol<WsConnectSessionFn>(handle.get(), "connectSession");
  disconnectSession = symbol<WsDisconnectSessionFn>(handle.get(), "disconnectSession");
  handle.release();
}

namespace osprey {

// ---- Registries ----

YXHashTable<WEBAPP>& webApps() {
  static YXHashTable<WEBAPP> registry(100);
  return registry;
}

YXHashTable<WebsocketApp>& websocketApps() {
  static YXHashTable<WebsocketApp> registry(100);
  return registry;
}

WEBAPP* mqttApp() { return gMqttApp.load(); }

namespace {

// Why an entry cannot be registered, or null when it can: an application
// needs a prefix to be found under. One library may serve several prefixes.
const char* refusedEntry(const std::string& prefix) {
  if (prefix.empty()) return "it has no prefix";
  return nullptr;
}

}  // namespace

int registerWebApp(const char* entry, char* message) {
  registerAdminApp();
  std::string prefix;
  std::string library;
  if (!splitEntry(entry, &prefix, &library)) {
    snprintf(message, kMessageSize,
             "Not able to parser web application information [%s]. Please make sure it is set in "
             "the following format: <app prefix>;<library name>",
             entry);
    logf(-1, "%s", message);
    return -1;
  }
  if (const char* why = refusedEntry(prefix)) {
    snprintf(message, kMessageSize, "osprey - Web application entry [%.200s] is left out: %s", entry, why);
    logf(OSPREY_LOG_WARNING, "%s", message);
    return -1;
  }
  std::unique_ptr<WEBAPP> app;
  try {
    app = std::make_unique<WEBAPP>();
    app->prefix = dupStr(prefix.c_str());
    app->library = dupStr(library.c_str());
    app->_loadApp(library.c_str());
    if (!webApps().Add(app->prefix, app.get())) {
      snprintf(message, kMessageSize,
               "osprey - Web application prefix [%s] is already registered; the entry [%.200s] is left "
               "out",
               app->prefix, entry);
      logf(-1, "%s", message);
      return -1;  // the duplicate is freed with `app`
    }
  } catch (const WEBAPPException& e) {
    snprintf(message, kMessageSize, "Not able to create web application [%d] - %s", e.GetErrorCode(), e.GetErrorMsg());
    logf(e.GetErrorCode(), "%s", message);
    return e.GetErrorCode();
  } catch (const YXException& e) {
    snprintf(message, kMessageSize, "Not able to add web application to the Web Server list [%d] - %.900s",
             e.GetErrorCode(), e.GetErrorMsg());
    logf(e.GetErrorCode(), "%s", message);
    return e.GetErrorCode();
  }
  WEBAPP* added = app.release();
  // Only an application that went into the registry may become the broker.
  if (strcasecmp(added->prefix, "mqtt") == 0) gMqttApp.store(added);
  snprintf(message, kMessageSize, "osprey - Loaded web app: %s", added->prefix);
  logf(0, "%s", message);
  return 0;
}

int registerWebsocketApp(const char* entry, char* message) {
  std::string prefix;
  std::string library;
  if (!splitEntry(entry, &prefix, &library)) {
    snprintf(message, kMessageSize,
             "Not able to parser websocket application information [%s]. Please make sure it is "
             "set in the following format: <app prefix>;<library name>",
             entry);
    logf(-1, "%s", message);
    return -1;
  }
  if (const char* why = refusedEntry(prefix)) {
    snprintf(message, kMessageSize, "osprey - Websocket application entry [%.200s] is left out: %s", entry, why);
    logf(OSPREY_LOG_WARNING, "%s", message);
    return -1;
  }
  std::unique_ptr<WebsocketApp> app;
  try {
    app = std::make_unique<WebsocketApp>();
    app->prefix = dupStr(prefix.c_str());
    app->library = dupStr(library.c_str());
    app->configType = "CFG";
    app->_loadApp(library.c_str());
    if (!websocketApps().Add(app->prefix, app.get())) {
      snprintf(message, kMessageSize,
               "osprey - Websocket application prefix [%s] is already registered; the entry [%.200s] "
               "is left out",
               app->prefix, entry);
      logf(-1, "%s", message);
      return -1;
    }
  } catch (const YXException& e) {
    snprintf(message, kMessageSize, "Not able to add websocket application to the Web Server list [%d] - %.900s",
             e.GetErrorCode(), e.GetErrorMsg());
    logf(e.GetErrorCode(), "%s", message);
    return e.GetErrorCode();
  }
  WebsocketApp* added = app.release();
  snprintf(message, kMessageSize, "osprey - Loaded websocket app: %s", added->prefix);
  logf(0, "%s", message);
  return 0;
}

// ---- Init and term of every application ----

namespace {

// An application that could not start is left out, so that the others are
// served: its term undoes what its init made, and its prefix falls through
// to the files.
template <class App>
void leaveOut(YXHashTable<App>& registry, App* app, int code, const char* why) {
  logf(code, "osprey - Not able to initialize application [%s] - %s; it is left out and the others are served.",
       app->prefix, why);
  char error[kMessageSize] = {};
  try {
    app->term(error);
  } catch (const YXException&) {
    // Its init failed already: nothing more to undo that term could report.
  }
  if constexpr (std::is_same_v<App, WEBAPP>) {
    WEBAPP* expected = app;
    gMqttApp.compare_exchange_strong(expected, nullptr);  // the broker is gone with it
  }
  std::string key = app->prefix;
  try {
    registry.Remove(key.c_str());
  } catch (const YXException&) {
    // Not registered under its prefix: nothing to remove.
  }
}

template <class App, class Init>
void initEach(YXHashTable<App>& registry, Init&& init) {
  std::vector<std::pair<App*, std::pair<int, std::string>>> failed;
  registry.Lock();
  for (int32_t i = 0; i < registry.count; ++i) {
    App* app = registry.items[i]->value;
    char error[kMessageSize] = {};
    int result;
    try {
      result = init(app, error);
    } catch (const YXException& e) {
      snprintf(error, kMessageSize, "%s", e.GetErrorMsg());
      result = e.GetErrorCode() != 0 ? e.GetErrorCode() : -1;
    }
    if (result != 0) failed.push_back({app, {result, error}});
  }
  registry.Unlock();
  for (auto& [app, failure] : failed) leaveOut(registry, app, failure.first, failure.second.c_str());
}

}  // namespace

int initAllApps(WebServerThreadData* record, char* error) {
  error[0] = '\0';
  WEBAPP* broker = mqttApp();
  initEach(webApps(), [&](WEBAPP* app, char* message) {
    app->agentMaster = record->agentMaster;
    int result = app->_initApp(record, message);
    // The broker becomes active only when its start succeeds.
    if (result == 0 && app != broker) app->active = 1;
    return result;
  });
  initEach(websocketApps(), [&](WebsocketApp* app, char* message) {
    int result = initWebsocketApp(app, record, message);
    if (result == 0) app->active = 1;
    return result;
  });
  return 0;
}

int termAllApps(char* error) {
  int first = 0;
  error[0] = '\0';
  auto remember = [&first](int32_t result) {
    if (first == 0 && result != 0) first = result;
  };
  {
    YXHashTable<WEBAPP>& registry = webApps();
    registry.Lock();
    for (int32_t i = 0; i < registry.count; ++i) {
      WEBAPP* app = registry.items[i]->value;
      app->active = 0;
      remember(app->term(error));
    }
    registry.Unlock();
  }
  YXHashTable<WebsocketApp>& registry = websocketApps();
  registry.Lock();
  for (int32_t i = 0; i < registry.count; ++i) {
    WebsocketApp* app = registry.items[i]->value;
    app->active = 0;
    remember(app->term(error));
  }
  registry.Unlock();
  return first;
}

}  // namespace osprey
