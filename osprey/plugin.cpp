// The plug-in's exports: init, start (the whole server run), stop, term and
// the call entry; the agent hand-over of the database-server setting.
#include <dlfcn.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "internal.h"
#include "ravlink.h"
#include "run.h"
#include "yxlogon.h"

namespace osprey {

namespace {

constexpr size_t kPathSize = 4096;
constexpr int kAgentTurns = 20;
constexpr int kAgentOutputSize = 1024;
constexpr int kAgentUpdate = 10;       // "UpdateLocalWebServer"
constexpr int kAgentCheckMaster = 11;  // "CheckIsZVAgentMaster"
constexpr int kAgentNoEffect = 1141;
constexpr int kAgentNotReady = 156;
constexpr const char* kServerLibrary = "quarndbs.so";
// The engine's local server when no database server names one.
constexpr const char* kDefaultLocalServer = "BRENLOXS";

// Process-wide state of the plug-in.
struct Plugin {
  // Held by a start until the server is ready (or its start failed); stop and
  // term wait for it. Re-entrant: term calls stop under it.
  std::recursive_mutex mutex;
  // Guards `record` (and its retained mark) for zvPlugin_call, the stop that
  // frees it and the wake-up of a running poll.
  std::mutex recordMutex;
  WebServerThreadData* record = nullptr;
  bool recordRetained = false;
  nev_manager* manager = nullptr;
  char webDirectory[kPathSize] = {};
  char configPath[kPathSize] = {};
  // From the last ServerContext.
  PluginList* plugins = nullptr;
  ServiceControlCallback control = nullptr;
  std::atomic<ZvPluginGetFn> pluginGet{nullptr};
  void* pluginTryLock = nullptr;
  void* pluginRelease = nullptr;
};

Plugin& plugin() {
  static Plugin instance;
  return instance;
}

// What connection threads that outlived a teardown may still use. Kept until
// the process ends rather than freed under them (and never destroyed at exit,
// while such a thread may still run).
std::list<std::unique_ptr<ServerRun>>& retiredRuns() {
  static auto* runs = new std::list<std::unique_ptr<ServerRun>>;
  return *runs;
}
std::list<WebServerThreadData*>& retiredRecords() {
  static auto* records = new std::list<WebServerThreadData*>;
  return *records;
}

WebServerState stateOf(WebServerThreadData* record) { return webServerStateLoad(record); }

// Copies at most size - 1 bytes and terminates.
void copyBounded(char* destination, size_t size, const char* source) {
  size_t length = source != nullptr ? strnlen(source, size - 1) : 0;
  if (length > 0) std::memcpy(destination, source, length);
  destination[length] = '\0';
}

// ---- The database server's library ----

// Resolves zvplugin_get, zvplugin_trylock and zvplugin_release from the
// library the database server already loaded. Returns 0, or the start's
// result when it must end (0 without the library, 8008 without a function).
int bindServerLibrary(bool* ended) {
  *ended = true;
  void* library = dlopen(kServerLibrary, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) {
    char text[kMessageSize];
    snprintf(text, sizeof text, "Not able to load local server library [%s]: %d", kServerLibrary, errno);
    logf(0, "Couldn't load local server library handle - %d - %s", 0, text);
    return 0;
  }
  const char* names[] = {"zvplugin_get", "zvplugin_trylock", "zvplugin_release"};
  void* functions[3] = {};
  for (int i = 0; i < 3; ++i) {
    functions[i] = dlsym(library, names[i]);
    if (functions[i] == nullptr) {
      char text[kMessageSize];
      snprintf(text, sizeof text,
               "Not able to load symbols from local server library. Unable to resolve quarn "
               "function %s: %d",
               names[i], errno);
      logf(kErrSymbols, "Couldn't load local server symbols - %d - %s", kErrSymbols, text);
      dlclose(library);
      return kErrSymbols;
    }
  }
  // The handle stays open: the functions are used for the server's life.
  Plugin& p = plugin();
  p.pluginGet.store(reinterpret_cast<ZvPluginGetFn>(functions[0]));
  p.pluginTryLock = functions[1];
  p.pluginRelease = functions[2];
  *ended = false;
  return 0;
}

// A logon to the database engine never makes a server; the configured ones
// (the local server the broker and the tools use, and the server linked to
// the applications) are made here, on a fresh data root, before any
// application logs on.
void createConfiguredServers(const WebServerThreadData* record) {
  const char* local =
      record->serverName != nullptr && record->serverName[0] != '\0' ? record->serverName : kDefaultLocalServer;
  for (const char* server : {local, static_cast<const char*>(record->linked_vix_server)}) {
    if (server == nullptr || server[0] == '\0') continue;
    int code = rlCreateServer(server);
    if (code != 0) logf(code, "osprey - Not able to create the database server [%s] - %d\n", server, code);
  }
}

// Without a linked server the applications that log on to the database
// engine per request (the REST application) fail every request; the operator
// learns why at start rather than from each refusal.
void warnWithoutLinkedServer(const WebServerThreadData* record, const char* path) {
  if (record->linked_vix_server != nullptr && record->linked_vix_server[0] != '\0') return;
  json_object* applications = nullptr;
  if (!zvJsonGetByName(record->config, "applications", &applications) || applications == nullptr ||
      json_object_get_type(applications) != json_type_array || zvJsonArrayLength(applications) == 0)
    return;
  logf(OSPREY_LOG_WARNING,
       "osprey - The setting [linked_vix_server] is missing from [%s]: the web applications have no database server "
       "to log on to, and the REST application answers every request 500 with 4201 \"can't create connection\"",
       path);
}

void copyContext(WebServerThreadData* record, const ServerContext* context) {
  if ((record->linked_vix_server == nullptr || record->linked_vix_server[0] == '\0') &&
      context->defaultServerName != nullptr) {
    VOKTFree(record->linked_vix_server);
    record->linked_vix_server = nullptr;
    record->linked_vix_server = dupStr(context->defaultServerName);
  }
  record->serverValue = context->serverValue;
  VOKTFree(record->jvm_lib);
  record->jvm_lib = nullptr;
  record->jvm_lib = dupStr(context->jvmLibrary);
  record->sqlPort = context->sqlPort;
  char serverName[sizeof context->serverName + 1];
  copyBounded(serverName, sizeof serverName, context->serverName);
  record->serverName = dupStr(serverName);
  record->defaultSqlDatabase = dupStr(context->defaultSqlDatabase);
  record->logCallback = logCallback();
}

// The osprey.json text of a record. json-c serialises into a buffer of the
// object itself, so every serialisation of the configuration (zvPlugin_call
// from the host's threads, the agent hand-over from the server thread) runs
// under the record mutex.
std::string configText(WebServerThreadData* record) {
  std::lock_guard<std::mutex> hold(plugin().recordMutex);
  const char* text = zvJsonToString(record->config);
  return text != nullptr ? text : "";
}

// ---- Agent hand-over ----

// Hands the settings to the "zvagent" plug-in and asks it whether this web
// server is the master, one step per poll turn.
class AgentHandOver {
 public:
  AgentHandOver(WebServerThreadData* record, const ServerContext* context, int* result)
      : record_(record), context_(context), result_(result) {}

  bool pending() const {
    return context_ != nullptr && !(updateDone_ && masterDone_) &&
           (context_->shuttingDown == nullptr || *context_->shuttingDown == 0);
  }

  void step() {
    if (!pending()) return;
    if (!updateDone_) updateStep();
    if (!masterDone_) masterStep();
    if (--turnsLeft_ <= 0 && !(updateDone_ && masterDone_)) {
      logf(kAgentNotReady, "osprey - Not able to check Agent plugin, it is not ready yet.");
      record_->agentMaster = 0;
      updateDone_ = masterDone_ = true;
      *result_ = kAgentNotReady;
    }
  }

 private:
  // Calls the agent's entry; sets *called when the agent has one.
  int callAgent(int operation, const char* input, bool* called) {
    *called = false;
    VOKTText output(static_cast<char*>(VOKTAlloc(kAgentOutputSize)));
    if (!output) return 540;
    std::memset(output.get(), 0, kAgentOutputSize);
    ZvPluginGetFn get = pluginGetFunction();
    PluginEntry* entry = nullptr;
    if (get == nullptr || get("zvagent", 0, &entry) != 0 || entry == nullptr || entry->call == nullptr) return 0;
    int32_t length = kAgentOutputSize;
    *called = true;
    return entry->call(operation, input, output.get(), &length);
  }

  void record(int code) { *result_ = code == kAgentNoEffect ? 0 : code; }

  void updateStep() {
    bool called = false;
    std::string settings = configText(record_);
    int code = callAgent(kAgentUpdate, settings.c_str(), &called);
    if (called) record(code);
    if (code == kAgentNotReady) return;
    if (code != 0 && code != kAgentNoEffect) logNotReady(code);
    updateDone_ = true;
  }

  void masterStep() {
    bool called = false;
    int code = callAgent(kAgentCheckMaster, nullptr, &called);
    if (called) record(code);
    if (code == kAgentNotReady) return;
    if (code == 0) {
      record_->agentMaster = 1;
    } else {
      if (code != kAgentNoEffect) logNotReady(code);
      record_->agentMaster = 0;
    }
    masterDone_ = true;
  }

  static void logNotReady(int code) {
    logf(code,
         "osprey - Agent plugin is not ready yet, web server information is not persisted at this "
         "time, it will be retried later");
  }

  WebServerThreadData* record_;
  const ServerContext* context_;
  int* result_;
  bool updateDone_ = false;
  bool masterDone_ = false;
  int turnsLeft_ = kAgentTurns;
};

// The engine's messages for the operator: connections it refused.
void logEngineNotice(nev_manager*, const char* text) { logf(kErrListener, "osprey - %s", text); }

}  // namespace

ZvPluginGetFn pluginGetFunction() { return plugin().pluginGet.load(); }

PluginList* serverPlugins() { return plugin().plugins; }

ServiceControlCallback serviceControl() { return plugin().control; }

std::string localServerName() {
  Plugin& p = plugin();
  std::lock_guard<std::mutex> hold(p.recordMutex);
  if (p.record != nullptr && p.record->serverName != nullptr && p.record->serverName[0] != '\0')
    return p.record->serverName;
  return kDefaultLocalServer;
}

const char* pluginConfigPath() { return plugin().configPath; }

// ---- The server run ----

ServerRun::ServerRun(ServerContext* context) : context_(context) {}

ServerRun::~ServerRun() { clearCurrentRun(this); }

int ServerRun::run(std::unique_lock<std::recursive_mutex>& pluginLock) {
  int result = startUp(pluginLock);
  if (started_) result = pollUntilStopped(result);
  tearDown(pluginLock);
  return result;
}

int ServerRun::startUp(std::unique_lock<std::recursive_mutex>& pluginLock) {
  Plugin& p = plugin();
  if (context_ != nullptr && context_->shuttingDown != nullptr && *context_->shuttingDown != 0) {
    logf(kErrNotAllowed, "osprey - Couldn't start Web server. Server is shutting down.");
    return kErrNotAllowed;
  }
  if (context_ != nullptr) {
    p.plugins = context_->plugins;
    p.control = context_->control;
  }
  auto* record = static_cast<WebServerThreadData*>(VOKTAlloc(sizeof(WebServerThreadData)));
  if (record == nullptr) {
    logf(kErrAlloc, "osprey - Couldn't start Web server. Not able to allocate Web Server thread data.");
    return kErrAlloc;
  }
  std::memset(record, 0, sizeof *record);
  {
    std::lock_guard<std::mutex> hold(p.recordMutex);
    p.record = record;
    p.recordRetained = false;
  }
  record_ = record;
  int code = readConfiguration(record, p.webDirectory, p.configPath, sizeof p.configPath);
  if (code != 0) {
    logf(code, "osprey - Couldn't start Web server. Not able to load configuration.");
    return code;
  }
  try {
    if (context_ == nullptr) {
      record->agentMaster = 1;
    } else {
      bool ended = false;
      code = bindServerLibrary(&ended);
      if (ended) return code;
      copyContext(record, context_);
    }
    registerConnType("NAV", nullptr, record->serverName, record->linked_vix_server, nullptr);
    if (record->sqlPort > 0) {
      char port[16];
      snprintf(port, sizeof port, "%d", record->sqlPort);
      registerConnType("SQL", nullptr, port, nullptr, record->defaultSqlDatabase);
    }
  } catch (const YXException& e) {
    logf(e.GetErrorCode(), "osprey - Couldn't start Web server - %s", e.GetErrorMsg());
    return e.GetErrorCode();
  }
  warnWithoutLinkedServer(record, p.configPath);
  createConfiguredServers(record);
  code = initAllApps(record, error_);
  if (code != 0) {
    logf(code, "osprey - Not able to initialize the HTTP server requests - %s", error_);
    return code;
  }
  setUpEngine();
  openVerboseLog();
  // A listener that could not be bound fails the start: the host must not
  // take a server that serves nothing for a running one.
  if (!bindHttps() || !bindHttp()) return kErrListener;
  warnWhenNothingListens();
  logDataRoot();
  int brokerResult = startBroker();
  webServerStateStore(record, WEB_SERVER_READY);
  started_ = true;
  pluginLock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  logf(0, "osprey - Web server is ready");
  return brokerResult;
}

void ServerRun::setUpEngine() {
  manager_ = std::make_unique<nev_manager>();
  std::memset(manager_.get(), 0, sizeof(nev_manager));
  nev_manager_setup(manager_.get(), nullptr);
  manager_->hexdump_path = record_->hexdump_file;
  manager_->notice = logEngineNotice;
  logf(0, "osprey - At most %d connections at once", manager_->max_connections);
  fillServeOptions();
  {
    Plugin& p = plugin();
    std::lock_guard<std::mutex> hold(p.recordMutex);
    p.manager = manager_.get();
  }
  setCurrentRun(this);
  appCalls().open();
}

namespace {

// Wrong answers to the static files' Digest challenge are counted, slowed and
// logged like the applications' failed log-ons.
void digestAttempt(const char* user, const char* address, int result) {
  static yx::LogonGuard* guard =
      new yx::LogonGuard("osprey digest", [](const std::string& line) { logf(-1, "osprey - %s", line.c_str()); });
  if (result < 0)
    guard->beforeAttempt(user, address);
  else if (result > 0)
    guard->succeeded(user, address);
  else
    guard->failed(user, address);
}

}  // namespace

void ServerRun::fillServeOptions() {
  const WebServerThreadData* r = record_;
  // The default document root is the folder of the plug-in and the
  // application libraries (and of localAuthFile.set): whatever the
  // configuration hides, libraries and authentication files are never served.
  hiddenPattern_ = "**.so$|**.dll$|**.set$";
  if (r->hide_files_patterns != nullptr && r->hide_files_patterns[0] != '\0')
    hiddenPattern_ = std::string(r->hide_files_patterns) + "|" + hiddenPattern_;
  std::memset(&serveOptions_, 0, sizeof serveOptions_);
  serveOptions_.document_root = r->document_root;
  serveOptions_.index_files = r->index_files;
  serveOptions_.dir_password_file = r->dav_auth_file;
  serveOptions_.auth_domain = r->auth_domain;
  serveOptions_.global_auth_file = r->global_auth_file;
  serveOptions_.enable_directory_listing = r->enable_directory_listing;
  serveOptions_.ssi_pattern = r->ssi_pattern;
  serveOptions_.access_list = r->access_control_list;
  serveOptions_.url_rewrites = r->url_rewrites;
  serveOptions_.dav_root = nullptr;
  serveOptions_.dav_password_file = nullptr;
  serveOptions_.hidden_pattern = hiddenPattern_.c_str();
  serveOptions_.cgi_pattern = r->cgi_pattern;
  serveOptions_.cgi_interpreter = r->cgi_interpreter;
  serveOptions_.extra_mime_types = r->extra_mime_type;
  serveOptions_.extra_headers = r->extra_headers;
  serveOptions_.digest_attempt = digestAttempt;
}

void ServerRun::openVerboseLog() {
  WebServerThreadData* r = record_;
  if (r->verbose_level < 0) return;
  char path[kPathSize];
  if (context_ != nullptr && context_->serverDirectory != nullptr)
    snprintf(path, sizeof path, "%s/%s", context_->serverDirectory, "osprey.log");
  else
    snprintf(path, sizeof path, "%s", "osprey.log");
  r->verboseLog = fopen(path, "a");
  if (r->verboseLog == nullptr) {
    logf(errno, "osprey - Not able to create/open log file [%s] for verbose messages.", path);
    return;
  }
  nev_log_set_level(r->verbose_level);
  nev_log_set_file(r->verboseLog);
}

// A configuration may leave every listener out; the server then starts and
// serves nothing, which the operator hardly meant.
void ServerRun::warnWhenNothingListens() {
  const WebServerThreadData* r = record_;
  const bool broker = r->mqtt_enabled != nullptr && (r->mqtt_enabled[0] == 'Y' || r->mqtt_enabled[0] == 'y');
  if (http_ == nullptr && https_ == nullptr && !broker)
    logf(OSPREY_LOG_WARNING,
         "osprey - Nothing listens: the configuration sets neither listening_http_port, listening_https_port nor "
         "mqtt_enabled.");
}

// Where the database engine keeps its servers: $RAVLINK_DATA, else ./data,
// as the engine reads it.
void ServerRun::logDataRoot() {
  const char* variable = getenv("RAVLINK_DATA");
  const std::string root = variable != nullptr && variable[0] != '\0' ? variable : "./data";
  char* absolute = realpath(root.c_str(), nullptr);
  logf(0, "osprey - Database data root [%s]%s", absolute != nullptr ? absolute : root.c_str(),
       absolute != nullptr ? "" : " (not there yet)");
  std::free(absolute);
}

bool ServerRun::bindHttps() {
  WebServerThreadData* r = record_;
  const char* port = r->listening_https_port;
  if (port == nullptr || port[0] == '\0') return true;
  if (r->ssl_certificate == nullptr || r->ssl_certificate[0] == '\0') {
    logf(kErrListener,
         "osprey - Not able to start HTTPS server - Missing SSL certificate (SSL_CERTIFICATE "
         "keyword in osprey.json file) - %s",
         port);
    return false;
  }
  nev_listen_options options;
  std::memset(&options, 0, sizeof options);
  options.tls_cert = r->ssl_certificate;
  options.tls_key = r->ssl_key;
  options.tls_ca = r->ssl_ca;
  options.tls_ciphers = r->ssl_cipher_suites;
  https_ = listenOrReport("HTTPS", port, &options);
  if (https_ == nullptr) return false;
  prepareListener(https_);
  logf(0, "osprey - HTTPS server listening at port %s", port);
  logf(0, "osprey - HTTPS server listening at root %s", r->document_root);
  logf(0, "osprey - HTTPS server using certificate %s", r->ssl_certificate);
  if (r->ssl_key != nullptr && r->ssl_key[0] != '\0') logf(0, "osprey - HTTPS server using private key %s", r->ssl_key);
  if (r->ssl_ca != nullptr && r->ssl_ca[0] != '\0') logf(0, "osprey - HTTPS server using CA %s", r->ssl_ca);
  if (r->ssl_cipher_suites != nullptr && r->ssl_cipher_suites[0] != '\0')
    logf(0, "osprey - HTTPS server using cipher suites %s", r->ssl_cipher_suites);
  registerConnType("HTTPS", "TCP/IP", port, nullptr, nullptr);
  return true;
}

bool ServerRun::bindHttp() {
  WebServerThreadData* r = record_;
  const char* port = r->listening_http_port;
  if (port == nullptr || port[0] == '\0') return true;
  nev_listen_options options;
  std::memset(&options, 0, sizeof options);
  http_ = listenOrReport("HTTP", port, &options);
  if (http_ == nullptr) return false;
  prepareListener(http_);
  logf(0, "osprey - HTTP server listening at port %s", port);
  logf(0, "osprey - HTTP server listening at root %s", r->document_root);
  registerConnType("HTTP", "TCP/IP", port, nullptr, nullptr);
  return true;
}

// Binds the port; a failure is logged with its cause. A port text that is
// not a port is reported as such, not as a port in use.
nev_connection* ServerRun::listenOrReport(const char* server, const char* port, nev_listen_options* options) {
  if (!nev_listen_address_valid(port)) {
    logf(kErrListener,
         "osprey - Not able to start %s server - Invalid port [%s] - a port number below 65535 "
         "is expected.",
         server, port);
    return nullptr;
  }
  nev_connection* listener = nev_listen_with_options(manager_.get(), port, webServerEventHandler, options);
  if (listener == nullptr)
    logf(kErrListener,
         "osprey - Not able to start %s server - Not able to bind to port [%s] - Check if "
         "communication port is available. Cause: %s",
         server, port, nev_listen_failure());
  return listener;
}

void ServerRun::prepareListener(nev_connection* listener) {
  listener->user_data = record_;
  nev_listener_enable_threads(listener);
  nev_http_attach(listener);
}

int ServerRun::startBroker() {
  WebServerThreadData* r = record_;
  if (r->mqtt_enabled == nullptr || std::strcmp(r->mqtt_enabled, "Y") != 0) return 0;
  WEBAPP* broker = mqttApp();
  if (broker == nullptr) {
    logf(kErrListener,
         "osprey - Cannot start MQTT server - MQTT Broker is enabled in osprey.json but its web "
         "application is not present.");
    return 0;
  }
  int result = 0;
  if (!broker->active) {
    char error[kMessageSize] = {};
    if (broker->start == nullptr) {
      result = kErrEntryMissing;
      snprintf(error, sizeof error, "%s", "start() entry point is not present");
    } else {
      result = broker->start(manager_.get(), r, logCallback(), error);
    }
    if (result != 0) {
      logf(result, "osprey - Not able to start MQTT broker - %s", error);
      return result;
    }
    broker->active = 1;
  }
  logf(0, "starling - MQTT broker started at port %s", r->mqtt_listening_port);
  registerConnType("MQTT", "TCP/IP", r->mqtt_listening_port, nullptr, nullptr);
  if (r->mqtt_websocket_port != nullptr && r->mqtt_websocket_port[0] != '\0') {
    logf(0, "starling - MQTT websocket started at port %s", r->mqtt_websocket_port);
    registerConnType("MQTT_Websocket", "TCP/IP", r->mqtt_websocket_port, nullptr, nullptr);
  }
  return 0;
}

int ServerRun::pollUntilStopped(int result) {
  AgentHandOver agent(record_, context_, &result);
  while (webServerStateLoad(record_) != WEB_SERVER_STOP_REQUESTED) {
    agent.step();
    nev_manager_poll(manager_.get(), 1000);
  }
  return result;
}

void ServerRun::stopBroker() {
  WEBAPP* broker = mqttApp();
  if (broker == nullptr || !broker->active) return;
  broker->active = 0;
  char error[kMessageSize] = {};
  if (broker->stop == nullptr) {
    logf(kErrEntryMissing, "osprey - Not able to stop MQTT broker - %s", "stop() entry point is not present");
    return;
  }
  int result = broker->stop(error);
  if (result != 0) logf(result, "osprey - Not able to stop MQTT broker - %s", error);
}

void ServerRun::stopEngine() {
  if (!manager_) return;
  nev_manager_request_stop(manager_.get());
  appCalls().close();
  if (https_ != nullptr) https_->flags |= NEV_CONN_CLOSE_NOW;
  if (http_ != nullptr) http_->flags |= NEV_CONN_CLOSE_NOW;
  nev_manager_poll(manager_.get(), 1000);
  {
    Plugin& p = plugin();
    std::lock_guard<std::mutex> hold(p.recordMutex);
    p.manager = nullptr;
  }
  threadsRemain_ = nev_manager_teardown(manager_.get()) != 0;
  // With threads still running, the manager stays with this run, which the
  // plug-in then keeps for the process's life.
  if (threadsRemain_) logf(0, "osprey - Connection threads are still running; their server data is kept");
}

void ServerRun::tearDown(std::unique_lock<std::recursive_mutex>& pluginLock) {
  if (pluginLock.owns_lock()) pluginLock.unlock();
  stopBroker();
  stopEngine();
  nev_tls_close_locks();
  // No term while a router or handler still runs; sessions the engine closed
  // without a close event are ended first.
  appCalls().closeAndDrain();
  disconnectRemainingSessions();
  appCalls().drain();
  int first = termAllApps(error_);
  if (first != 0) logf(first, "%s", error_);
  logf(0, "osprey - HTTP server terminated");
  if (record_ != nullptr) {
    if (threadsRemain_) {
      Plugin& p = plugin();
      std::lock_guard<std::mutex> hold(p.recordMutex);
      p.recordRetained = true;
    }
    webServerStateStore(record_, WEB_SERVER_TERMINATED);
  }
}

}  // namespace osprey

using namespace osprey;

// ---- Exports ----

extern "C" {

OSPREY_EXPORT UTILKW utilkeywds[2] = {{"USERID", ""}, {"PASSWD", ""}};

OSPREY_EXPORT int32_t zvPlugin_init(PluginInfo* info, LogCallback log, const char* webDirectory) {
  Plugin& p = plugin();
  std::lock_guard<std::recursive_mutex> hold(p.mutex);
  setLogCallback(log);
  {
    std::lock_guard<std::mutex> recordHold(p.recordMutex);
    // A record that ended is freed; a running one is left to its stop.
    if (p.record != nullptr && stateOf(p.record) == WEB_SERVER_TERMINATED && !p.recordRetained) {
      freeServerRecord(p.record);
      p.record = nullptr;
    }
  }
  copyBounded(p.webDirectory, sizeof p.webDirectory, webDirectory);
  try {
    connTypesCreate();
  } catch (const YXException& e) {
    logf(kErrAlloc, "Couldn't allocate list array");
    return kErrAlloc;
  }
  if (info != nullptr) {
    copyBounded(info->description, sizeof info->description, "App Server");
    info->configType = "JSON";
    zvJsonRelease(loadConfigFile(p.configPath, sizeof p.configPath));
    copyBounded(info->configPath, sizeof info->configPath, p.configPath);
  }
  return 0;
}

OSPREY_EXPORT int32_t zvPlugin_start(ServerContext* context) {
  Plugin& p = plugin();
  std::unique_lock<std::recursive_mutex> pluginLock(p.mutex);
  logf(0, "%s-%s", OSPREY_PRODUCT_NAME, OSPREY_PRODUCT_VERSION);
  logf(0, "osprey - Starting Web server");
  {
    std::lock_guard<std::mutex> hold(p.recordMutex);
    if (p.record != nullptr && stateOf(p.record) != WEB_SERVER_TERMINATED) {
      logf(kErrNotAllowed, "osprey - Couldn't start Web server. It is already running.");
      return kErrNotAllowed;
    }
    // The record of an earlier run that nobody stopped is freed here.
    if (p.record != nullptr) {
      if (p.recordRetained)
        retiredRecords().push_back(p.record);
      else
        freeServerRecord(p.record);
      p.record = nullptr;
    }
  }
  auto run = std::make_unique<ServerRun>(context);
  int result = run->run(pluginLock);
  if (run->threadsRemain()) retiredRuns().push_back(std::move(run));
  return result;
}

OSPREY_EXPORT int32_t zvPlugin_stop(void) {
  Plugin& p = plugin();
  std::lock_guard<std::recursive_mutex> hold(p.mutex);
  WebServerThreadData* record;
  {
    std::lock_guard<std::mutex> recordHold(p.recordMutex);
    record = p.record;
    if (record == nullptr) return 0;
    WebServerState state = stateOf(record);
    if (state == WEB_SERVER_READY || state == WEB_SERVER_STARTING) {
      webServerStateStore(record, WEB_SERVER_STOP_REQUESTED);
      if (p.manager != nullptr) nev_manager_wake(p.manager);
    }
  }
  while (stateOf(record) != WEB_SERVER_TERMINATED) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (record->verbose_level >= 0 && record->verboseLog != nullptr) {
    nev_log_set_level(-1);
    nev_log_set_file(nullptr);
    fclose(record->verboseLog);
    record->verboseLog = nullptr;
  }
  std::lock_guard<std::mutex> recordHold(p.recordMutex);
  if (p.recordRetained)
    retiredRecords().push_back(record);
  else
    freeServerRecord(record);
  p.record = nullptr;
  p.recordRetained = false;
  return 0;
}

OSPREY_EXPORT int32_t zvPlugin_term(void) {
  Plugin& p = plugin();
  std::lock_guard<std::recursive_mutex> hold(p.mutex);
  bool running;
  {
    std::lock_guard<std::mutex> recordHold(p.recordMutex);
    running = p.record != nullptr;
  }
  if (running) zvPlugin_stop();
  connTypesDelete();
  return 0;
}

OSPREY_EXPORT int32_t zvPlugin_call(int32_t operation, const char* input, char* output, int32_t* outputLength) {
  Plugin& p = plugin();
  std::lock_guard<std::mutex> hold(p.recordMutex);
  if (p.record == nullptr || stateOf(p.record) == WEB_SERVER_STARTING) {
    if (output != nullptr && outputLength != nullptr && *outputLength > 0)
      snprintf(output, static_cast<size_t>(*outputLength), "%s", "httpd plugin not started yet");
    return 100;
  }
  if (operation != 1) return 454;
  const char* text = zvJsonToString(p.record->config);
  if (text == nullptr) text = "";
  size_t length = std::strlen(text);
  if (outputLength != nullptr && output != nullptr && *outputLength > 0 &&
      length < static_cast<size_t>(*outputLength)) {
    std::memcpy(output, text, length + 1);
    return 0;
  }
  if (outputLength != nullptr) *outputLength = static_cast<int32_t>(length);
  return 153;
}

}  // extern "C"
