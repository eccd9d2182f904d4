// Shared between the units of the plug-in only (not part of its contract).
#ifndef OSPREY_INTERNAL_H
#define OSPREY_INTERNAL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "nev.h"
#include "osprey.h"
#include "osprey_webapp.h"
#include "yxutil.h"

namespace osprey {

constexpr int kErrAlloc = 8001;
constexpr int kErrEntryMissing = 8006;
constexpr int kErrSymbols = 8008;
constexpr int kErrNotAllowed = 8009;
constexpr int kErrNoConfig = 9006;
constexpr int kErrListener = 1100;
constexpr int kMessageSize = OSPREY_ERROR_SIZE;
// The token mode of applications without the extended init: non-zero, so
// they get the "token" header.
constexpr int32_t kDefaultTokenMode = 2;

// ---- Logging (log.cpp) ----

// The host's log callback given to zvPlugin_init; null until then.
void setLogCallback(LogCallback callback);
LogCallback logCallback();
// Formats into a 1024-byte buffer and hands it to the host's callback.
void logf(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Osprey's boundary for the engine's handlers (which must not throw): runs
// body(); an exception it lets out is logged once ("osprey - <where>: ...")
// and the connection asked to close.
void reportHandlerException(nev_connection* conn, const char* where, const char* what) noexcept;
template <class Body>
void guardHandler(nev_connection* conn, const char* where, Body&& body) noexcept {
  nev_handler_boundary(conn, where, body, reportHandlerException);
}

// ---- Configuration (config.cpp) ----

// Parses ../config/osprey.json, or ./config/osprey.json when the first does
// not exist; logs a failure. path (pathSize bytes) receives the path last
// tried. Returns the object (the caller releases it) or null.
json_object* loadConfigFile(char* path, size_t pathSize);
// Fills a zeroed record from the file: the settings with their defaults, the
// listed applications registered, webDirectory and config. Returns 0, 9006
// (no file) or 8001. Invalid values are logged naming the key and the file.
int readConfiguration(WebServerThreadData* record, const char* webDirectory, char* path, size_t pathSize);
// Frees every text and object the record owns, then the record.
void freeServerRecord(WebServerThreadData* record);

// ---- Connection types (conntypes.cpp) ----

// Created by zvPlugin_init, deleted by zvPlugin_term (null outside).
ConnTypeTable* connTypes();
// Creates the registry (replacing an earlier one); throws YXException 8001.
void connTypesCreate();
void connTypesDelete();
// Adds a row unless its type is present (the earlier row stays).
void registerConnType(const char* type, const char* protocol, const char* port, const char* serverName,
                      const char* defaultDB);

// ---- The plug-in (plugin.cpp) ----

// zvplugin_get of the database server's library; null without a context.
ZvPluginGetFn pluginGetFunction();
// The database server's plug-in list and service-control callback from the
// last context; null without a database server (standalone heron).
PluginList* serverPlugins();
ServiceControlCallback serviceControl();
// The local database server the applications log on to: the context's
// server name, or the engine's default local server without one.
std::string localServerName();
// The osprey.json the server was started with (empty before a start).
const char* pluginConfigPath();

// ---- Applications (webapps.cpp) ----

// One loaded web application. Fields beyond the entry points are the request
// options the application chose at init.
class WEBAPP {
 public:
  WEBAPP() = default;
  virtual ~WEBAPP();
  WEBAPP(const WEBAPP&) = delete;
  WEBAPP& operator=(const WEBAPP&) = delete;

  // Binds the entry points of web/<library>; throws WEBAPPException.
  void _loadApp(const char* library);
  // Calls initXtd or init and takes over the options; throws YXException 8001.
  int32_t _initApp(WebServerThreadData* record, char* error);

  char* prefix = nullptr;
  char* library = nullptr;
  uint8_t unicode = 0;
  WebAppInitFn initXtd = nullptr;
  WebAppInitFn init = nullptr;
  WebAppTermFn term = nullptr;
  WebAppRouterXtdFn routerXtd = nullptr;
  WebAppRouterFn router = nullptr;
  WebAppGetApiFn getAPI = nullptr;
  WebAppBodyLimitFn bodyLimit = nullptr;  // optional: bodies past it are refused unparsed
  WebAppStartFn start = nullptr;
  WebAppStopFn stop = nullptr;
  int32_t tokenMode = kDefaultTokenMode;
  int32_t basicAuthMode = WEBAPP_AUTH_NONE;
  int32_t bodyByMethod[WEBAPP_METHOD_COUNT] = {};
  int32_t contentMode = WEBAPP_CONTENT_JSON;
  uint8_t active = 0;
  uint8_t agentMaster = 0;
  char* description = nullptr;
  const char* configType = "CFG";
  char* configPath = nullptr;
};

// The loader's exception: function "WEBAPP::_loadApp", the system code and the
// message.
class WEBAPPException {
 public:
  WEBAPPException(int code, const char* message, int line);
  WEBAPPException(const WEBAPPException& other);
  WEBAPPException& operator=(const WEBAPPException&) = delete;
  virtual ~WEBAPPException();
  virtual const char* GetFunction() const { return function_; }
  virtual int GetErrorCode() const { return code_; }
  virtual const char* GetErrorMsg() const { return message_; }
  virtual const char* GetSourceFile() const { return "webapps"; }
  virtual int GetLine() const { return line_; }
  // "%s - %d - %s" of function, code and message into a 1024-byte buffer.
  virtual void Format(char* buffer) const;

 private:
  char* function_;
  int code_;
  char* message_;
  int line_;
};

YXHashTable<WEBAPP>& webApps();
YXHashTable<WebsocketApp>& websocketApps();
// The broker: the last web application that went into the registry with a
// prefix equal to "mqtt" ignoring case, or null.
WEBAPP* mqttApp();

// One entry of "applications" / "websocket_applications" ("<prefix>;<library>").
// 0, -1 for a malformed entry, or the failing code; message gets the text.
int registerWebApp(const char* entry, char* message);
int registerWebsocketApp(const char* entry, char* message);
// Inits every web application, then every websocket application; stops at the
// first failure and returns its code with the text in error.
int initAllApps(WebServerThreadData* record, char* error);
// Calls every term (web, then websocket) and clears the active marks. Returns
// the first non-zero result; error holds the text the last term left.
int termAllApps(char* error);

// The path of a library listed as "name", "name.dll" or "name.so" under web/.
void libraryPath(const char* library, char* path, size_t size);

// ---- Calls into applications (gate.cpp) ----

// Counts the calls into applications that run on connection threads, so that
// the teardown never calls a term while a router or handler still runs.
class AppCallGate {
 public:
  // Opens the gate for a new run.
  void open();
  // Enters unconditionally (for clean-ups that must run, like a session's
  // disconnect); pair with leave().
  void enterAlways() { inFlight_.fetch_add(1); }
  // Enters when the gate is open; false (and nothing to leave) when closed.
  bool enter();
  void leave();
  // Closes the gate: calls that come later are refused.
  void close() { open_.store(false); }
  // Closes the gate and waits until every call has left.
  void closeAndDrain();
  // Waits until every call has left (gate state unchanged).
  void drain();

 private:
  std::atomic<int> inFlight_{0};
  std::atomic<bool> open_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
};

AppCallGate& appCalls();

// Holds one entry of the gate for a scope.
class AppCall {
 public:
  AppCall() : entered_(appCalls().enter()) {}
  ~AppCall() {
    if (entered_) appCalls().leave();
  }
  AppCall(const AppCall&) = delete;
  AppCall& operator=(const AppCall&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
};

}  // namespace osprey

#endif  // OSPREY_INTERNAL_H
