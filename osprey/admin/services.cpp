// Service management of the administration application: the services, their
// configurations with history, stop/start/restart through the database
// server, the broker's authentication file, and commands to the broker.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "../internal.h"
#include "admin.h"
#include "osprey_authfile.h"
#include "yxlogon.h"

namespace osprey::admin {

namespace {

constexpr const char* kServerService = "zvsrvr";
constexpr const char* kServerConfig = "../config/zvsrvr.cfg";
constexpr const char* kWebServerService = "osprey";
// As the plug-in describes itself to a database server.
constexpr const char* kWebServerDescription = "App Server";
constexpr const char* kAppServicePrefix = "osprey.";
constexpr size_t kServiceNameMax = 255;
constexpr size_t kConfigMaxBytes = 4 * 1024 * 1024;
constexpr int kStopNotRunning = 1167;

enum class ServiceKind { Server, WebServer, Application, Plugin };

struct Service {
  ServiceKind kind = ServiceKind::Plugin;
  std::string name;
  std::string description;
  std::string configType;
  std::string configPath;
  bool running = false;
};

std::string textOf(const char* text) { return text != nullptr ? text : ""; }

std::string formatted(const char* format, const std::string& value) {
  char text[kMessageSize];
  snprintf(text, sizeof text, format, value.c_str());
  return text;
}

// "<context> - <message>" as the answer.
int32_t fail(json_object* reply, int32_t code, const char* context, const std::string& message) {
  char text[kMessageSize];
  snprintf(text, sizeof text, "%s - %s", context, message.c_str());
  return zvJsonSetError(code, text, reply);
}

int32_t fail(json_object* reply, int32_t code, const std::string& text) {
  return zvJsonSetError(code, text.c_str(), reply);
}

bool isExcludedPrefix(const char* prefix) { return strcmp(prefix, "quarn") == 0 || strcmp(prefix, "admin") == 0; }

bool namesWebServer(const std::string& name) {
  return name == kWebServerService || name.compare(0, strlen(kAppServicePrefix), kAppServicePrefix) == 0;
}

// Inside a database server, which hands over its plug-ins and their control.
// Without one (heron) there is no database server service and no plug-in
// list: the web server then stands for itself.
bool underDatabaseServer() { return serverPlugins() != nullptr || serviceControl() != nullptr; }

Service serverService() {
  Service s;
  s.kind = ServiceKind::Server;
  s.name = kServerService;
  s.description = "Database Server";
  s.configType = "CFG";
  s.configPath = kServerConfig;
  s.running = true;
  return s;
}

// This web server when no database server lists it among its plug-ins: the
// configuration it was started with.
Service webServerService() {
  Service s;
  s.kind = ServiceKind::WebServer;
  s.name = kWebServerService;
  s.description = kWebServerDescription;
  s.configType = "JSON";
  s.configPath = textOf(pluginConfigPath());
  s.running = true;
  return s;
}

Service pluginService(const PluginEntry& entry) {
  Service s;
  s.kind = entry.name == std::string(kWebServerService) ? ServiceKind::WebServer : ServiceKind::Plugin;
  s.name.assign(entry.name, strnlen(entry.name, sizeof entry.name));
  if (entry.info != nullptr) {
    s.description.assign(entry.info->description, strnlen(entry.info->description, sizeof entry.info->description));
    s.configType = textOf(entry.info->configType);
    s.configPath.assign(entry.info->configPath, strnlen(entry.info->configPath, sizeof entry.info->configPath));
  }
  s.running = entry.state == PLUGIN_STATE_RUNNING;
  return s;
}

template <class App>
Service applicationService(const App& app) {
  Service s;
  s.kind = ServiceKind::Application;
  char name[kServiceNameMax + 1];
  snprintf(name, sizeof name, "%s%s", kAppServicePrefix, app.prefix);
  s.name = name;
  s.description = textOf(app.description);
  s.configType = textOf(app.configType);
  s.configPath = textOf(app.configPath);
  s.running = app.active != 0;
  return s;
}

// The application registered with exactly this prefix, web before websocket.
bool findApplication(const std::string& prefix, Service* out) {
  {
    YXHashTable<WEBAPP>& registry = webApps();
    YXMutexLock hold(registry.mutex);
    if (WEBAPP* app = registry.Get(prefix.c_str())) {
      *out = applicationService(*app);
      return true;
    }
  }
  YXHashTable<WebsocketApp>& registry = websocketApps();
  YXMutexLock hold(registry.mutex);
  if (WebsocketApp* app = registry.Get(prefix.c_str())) {
    *out = applicationService(*app);
    return true;
  }
  return false;
}

bool findPlugin(const std::string& name, Service* out) {
  PluginList* plugins = serverPlugins();
  if (plugins == nullptr || plugins->entries == nullptr) return false;
  for (int32_t i = 0; i < plugins->count; ++i) {
    const PluginEntry& entry = plugins->entries[i];
    if (strncmp(entry.name, name.c_str(), sizeof entry.name) == 0 && name.size() < sizeof entry.name) {
      *out = pluginService(entry);
      return true;
    }
  }
  return false;
}

// The service of a name, or false with the message.
bool findService(const std::string& name, Service* out, std::string* message) {
  if (name == kServerService) {
    if (!underDatabaseServer()) {
      *message = formatted("Service [%s] is not available - no database server runs this web server", name);
      return false;
    }
    *out = serverService();
    return true;
  }
  if (name == kWebServerService && !underDatabaseServer()) {
    *out = webServerService();
    return true;
  }
  if (name.compare(0, strlen(kAppServicePrefix), kAppServicePrefix) == 0) {
    std::string prefix = name.substr(strlen(kAppServicePrefix));
    if (!isExcludedPrefix(prefix.c_str()) && findApplication(prefix, out)) return true;
    *message = formatted("Web application service not found [%s]", name);
    return false;
  }
  if (findPlugin(name, out)) return true;
  *message = formatted("Not able to find a plugin for the given service name [%s]", name);
  return false;
}

json_object* serviceEntry(const Service& service, int32_t id, bool withState) {
  json_object* entry = zvJsonAlloc();
  if (entry == nullptr) YX_THROW("serviceEntry", YX_KIND_SYSTEM, kErrAlloc, "Not able to allocate a service entry");
  zvJsonAddInt(entry, "id", id);
  zvJsonAddString(entry, "serviceName", service.name.c_str());
  zvJsonAddString(entry, "serviceDescription", service.description.c_str());
  zvJsonAddString(entry, "serviceConfigType", service.configType.c_str());
  if (withState) zvJsonAddString(entry, "serviceState", service.running ? "running" : "stopped");
  return entry;
}

zvJsonPtr newArray() {
  zvJsonPtr array(zvJsonAllocArray());
  if (!array) YX_THROW("newArray", YX_KIND_SYSTEM, kErrAlloc, "Not able to allocate a JSON array");
  return array;
}

// A configuration file this application may read or write: it has a path
// and lies outside the document root (whatever lies there may be served).
bool configFileAllowed(const Service& service, std::string* message) {
  if (service.configPath.empty()) {
    *message = formatted("Service [%s] has no configuration file", service.name);
    return false;
  }
  if (pathIsUnder(service.configPath, documentRoot())) {
    *message =
        formatted("Configuration file [%s] lies under the document root and is not handled here", service.configPath);
    return false;
  }
  return true;
}

// A service whose configuration can be read and saved here: its file is
// allowed and there.
bool configurable(const Service& service) {
  std::string message;
  return configFileAllowed(service, &message) && access(service.configPath.c_str(), R_OK) == 0;
}

// The "name" member of element index of a list; empty when missing.
std::string memberText(json_object* element, const char* name) {
  // A string whole, NUL bytes included, so that checks see them.
  json_object* value = nullptr;
  if (element != nullptr && json_object_object_get_ex(element, name, &value) &&
      json_object_get_type(value) == json_type_string)
    return std::string(json_object_get_string(value), static_cast<size_t>(json_object_get_string_len(value)));
  const char* text = nullptr;
  if (element == nullptr || !zvJsonGetStringByName(element, name, &text) || text == nullptr) return "";
  return text;
}

// ---- Control ----

enum class Control { Stop, Start, Restart };

struct ControlNames {
  const char* function;  // "zvAdminStopService"
  const char* context;   // "... - Not able to stop service"
  const char* verb;      // "stop"
};

ControlNames namesOf(Control control) {
  switch (control) {
    case Control::Stop:
      return {"zvAdminStopService", "zvAdminStopService - Not able to stop service", "stop"};
    case Control::Start:
      return {"zvAdminStartService", "zvAdminStartService - Not able to start service", "start"};
    default:
      return {"zvAdminRestartService", "zvAdminRestartService - Not able to restart service", "restart"};
  }
}

// One call of the database server's service control: 0, or its code with
// its message.
int32_t callControl(int32_t operation, const std::string& name, std::string* message) {
  ServiceControlCallback control = serviceControl();
  if (control == nullptr) {
    *message = formatted("Not able to control service [%s] - this host runs no database server", name);
    return kErrNotSupported;
  }
  char buffer[kMessageSize] = {};
  int32_t length = sizeof buffer;
  int32_t result = control(operation, name.c_str(), buffer, &length);
  buffer[sizeof buffer - 1] = '\0';
  if (result != 0) *message = buffer;
  return result;
}

int32_t controlService(Control control, const std::string& name, std::string* message) {
  const char* verb = namesOf(control).verb;
  char text[kMessageSize];
  if (name == kServerService) {
    snprintf(text, sizeof text, "Not able to %s server service [%s]", verb, name.c_str());
    *message = text;
    return kErrNotSupported;
  }
  // The web server is never stopped from inside its own request.
  if (namesWebServer(name)) {
    snprintf(text, sizeof text, "Not able to %s web server service [%s]", verb, name.c_str());
    *message = text;
    return kErrNotSupported;
  }
  if (control == Control::Start) return callControl(PLUGIN_CTL_START, name, message);
  int32_t stopped = callControl(PLUGIN_CTL_STOP, name, message);
  if (control == Control::Stop) return stopped;
  if (stopped == kStopNotRunning) return 0;
  if (stopped != 0) return stopped;
  return callControl(PLUGIN_CTL_START, name, message);
}

int32_t controlServices(Control control, json_object* request, json_object* reply) {
  ControlNames names = namesOf(control);
  json_object* list = nullptr;
  if (request == nullptr || !zvJsonGetArrayByName(request, "serviceList", &list) || list == nullptr)
    return fail(reply, kErrMissing,
                formatted("%s - Invalid parameter - Missing service configuration list property at the request.",
                          names.function));
  int32_t count = zvJsonArrayLength(list);
  for (int32_t i = 0; i < count; ++i) {
    std::string name = memberText(zvJsonArrayGetIdx(list, i), "serviceName");
    if (name.empty()) {
      char text[kMessageSize];
      snprintf(text, sizeof text,
               "%s - Invalid parameter - Missing service name property at the service [%d] from the list.",
               names.function, i);
      return fail(reply, kErrMissing, text);
    }
    std::string message;
    int32_t result = controlService(control, name, &message);
    if (result != 0) return fail(reply, result, names.context, message);
  }
  zvJsonSetError(0, "Success", reply);
  zvJsonAddInt(reply, "total", count);
  return 0;
}

// ---- Saving ----

struct SaveResult {
  int32_t code = 0;
  std::string message;
};

// Saves one service's configuration; applies it at once where that is
// possible (a plug-in of the database server, restarted; its previous file
// put back when it does not start again).
// Why contents cannot be this service's configuration, or empty when they
// can. The web server reads its file only when it starts: a document it
// cannot parse would be found out at the next restart, which then fails.
std::string contentsProblem(const Service& service, const std::string& contents) {
  if (yx::hasNulByte(contents.data(), contents.size()))
    return formatted("Service configuration contents of [%s] hold a NUL byte", service.name);
  if (service.kind != ServiceKind::WebServer) return "";
  zvJsonPtr document(zvJsonFromString(contents.c_str()));
  if (document != nullptr && json_object_get_type(document.get()) == json_type_object) return "";
  if (document != nullptr)
    return formatted("Service configuration contents of [%s] are not a JSON object", service.name);
  const size_t offset = std::min(zvJsonLastParseStatus().offset, contents.size());
  size_t line = 1, column = 1;
  for (size_t at = 0; at < offset; ++at) {
    if (contents[at] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  char text[kMessageSize];
  snprintf(text, sizeof text,
           "Service configuration contents of [%s] are not a valid JSON document (line %zu, column %zu)",
           service.name.c_str(), line, column);
  return text;
}

SaveResult saveService(const std::string& name, const std::string& contents, bool apply) {
  SaveResult result;
  Service service;
  if (!findService(name, &service, &result.message)) {
    result.code = kErrInvalid;
    return result;
  }
  if (!configFileAllowed(service, &result.message)) {
    result.code = kErrInvalid;
    return result;
  }
  result.message = contentsProblem(service, contents);
  if (!result.message.empty()) {
    result.code = kErrInvalid;
    return result;
  }
  std::string saved = saveConfigWithHistory(service.configPath, contents);
  if (!apply) return result;
  switch (service.kind) {
    case ServiceKind::Server:
      result.code = kErrNotSupported;
      result.message = formatted("Not able to apply any changes immediately for the server service [%s]", name);
      return result;
    case ServiceKind::WebServer:
    case ServiceKind::Application:
      // The caller answers that a restart is needed: restarting this plug-in
      // from inside its own request would stop the thread answering it.
      return result;
    case ServiceKind::Plugin:
      break;
  }
  result.code = controlService(Control::Restart, name, &result.message);
  if (result.code != 0) restoreConfigVersion(service.configPath, saved);
  return result;
}

// ---- Authentication file ----

// A value the broker reads back exactly: not empty, no control characters
// (a line break would start another keyword), no blanks at its ends (the
// reader trims them), and not longer than the reader keeps.
const char* authValueProblem(const std::string& value) {
  if (value.empty()) return "is empty";
  if (value.size() > OSPREY_AUTH_VALUE_MAX) return "is longer than 254 characters";
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return "holds a control character";
  if (value.front() == ' ' || value.back() == ' ') return "begins or ends with a blank";
  return nullptr;
}

int32_t refuseAuthValue(json_object* reply, const char* what, const char* problem) {
  char text[kMessageSize];
  snprintf(text, sizeof text, "zvAdminSetAuthentication - Invalid parameter - The %s %s.", what, problem);
  return fail(reply, kErrInvalid, text);
}

// Copies the members of an application's reply into the admin reply.
void takeMembers(json_object* from, json_object* into) {
  if (from == nullptr || !json_object_is_type(from, json_type_object)) return;
  json_object_object_foreach(from, key, value) { zvJsonAdd(into, key, json_object_get(value)); }
}

// The reading functions' walk over "serviceList": each element names a
// service whose configuration file may be handled here.
struct ListedServices {
  const char* function;     // "zvAdminGetServiceConfig"
  const char* missingList;  // the text when "serviceList" is missing
  const char* context;      // the context of a failure of one element
};

// Calls visit(element, index, service, entry) for each element, entry being
// the service's entry of the result (added when visit returns 0); the result
// array goes into the reply as resultName. Returns 0 or the code of the
// first failure, answered in the reply.
template <class Visit>
int32_t forEachListedService(const ListedServices& walk, json_object* request, json_object* reply, Visit&& visit,
                             const char* resultName) {
  char text[kMessageSize];
  json_object* services = nullptr;
  if (request == nullptr || !zvJsonGetArrayByName(request, "serviceList", &services) || services == nullptr) {
    snprintf(text, sizeof text, "%s - Invalid parameter - %s", walk.function, walk.missingList);
    return fail(reply, kErrMissing, text);
  }
  try {
    zvJsonPtr result = newArray();
    int32_t count = zvJsonArrayLength(services);
    for (int32_t i = 0; i < count; ++i) {
      json_object* element = zvJsonArrayGetIdx(services, i);
      std::string name = memberText(element, "serviceName");
      if (name.empty()) {
        snprintf(text, sizeof text,
                 "%s - Invalid parameter - Missing service name property at the service [%d] from the list.",
                 walk.function, i);
        return fail(reply, kErrMissing, text);
      }
      Service service;
      std::string message;
      if (!findService(name, &service, &message) || !configFileAllowed(service, &message))
        return fail(reply, kErrNotActive, walk.context, message);
      zvJsonPtr entry(serviceEntry(service, i + 1, false));
      int32_t code = visit(element, i, service, entry.get());
      if (code != 0) return code;
      zvJsonArrayAdd(result.get(), entry.release());
    }
    zvJsonAdd(reply, resultName, result.release());
    return 0;
  } catch (const YXException& e) {
    return fail(reply, e.GetErrorCode(), walk.context, e.GetErrorMsg());
  }
}

}  // namespace

int32_t adminGetServiceList(const char*, json_object*, json_object* reply) {
  constexpr const char* kContext = "adminGetServiceList - Not able to retrieve list of services";
  try {
    zvJsonPtr list = newArray();
    int32_t id = 0;
    // Without a database server only what can be configured here is listed:
    // the web server itself and the applications that have a configuration.
    bool standalone = !underDatabaseServer();
    if (!standalone)
      zvJsonArrayAdd(list.get(), serviceEntry(serverService(), ++id, true));
    else if (Service web = webServerService(); configurable(web))
      zvJsonArrayAdd(list.get(), serviceEntry(web, ++id, true));
    if (PluginList* plugins = serverPlugins(); plugins != nullptr && plugins->entries != nullptr)
      for (int32_t i = 0; i < plugins->count; ++i)
        zvJsonArrayAdd(list.get(), serviceEntry(pluginService(plugins->entries[i]), ++id, true));
    YXHashTable<WEBAPP>& registry = webApps();
    YXMutexLock hold(registry.mutex);
    for (int32_t i = 0; i < registry.count; ++i) {
      const WEBAPP& app = *registry.items[i]->value;
      if (isExcludedPrefix(app.prefix)) continue;
      Service service = applicationService(app);
      if (!standalone || configurable(service)) zvJsonArrayAdd(list.get(), serviceEntry(service, ++id, true));
    }
    zvJsonAdd(reply, "serviceList", list.release());
    zvJsonAddInt(reply, "total", id);
    return 0;
  } catch (const YXException& e) {
    return fail(reply, e.GetErrorCode(), kContext, e.GetErrorMsg());
  }
}

int32_t adminGetServiceConfig(const char*, json_object* request, json_object* reply) {
  ListedServices walk = {"zvAdminGetServiceConfig", "Missing service list property at the request.",
                         "zvAdminGetServiceConfig - Not able to add service configuration"};
  int32_t total = 0;
  int32_t code = forEachListedService(
      walk, request, reply,
      [&](json_object* element, int32_t index, const Service& service, json_object* entry) {
        std::string version = memberText(element, "serviceConfigVersion");
        if (version.empty()) version = "current";
        // A version becomes part of a path: only the names the history makes.
        if (!isVersionName(version)) {
          char text[kMessageSize];
          snprintf(text, sizeof text,
                   "zvAdminGetServiceConfig - Invalid parameter - Unknown service configuration version [%.200s] at "
                   "the service [%d] from the list.",
                   version.c_str(), index);
          return fail(reply, kErrInvalid, text);
        }
        std::string path = version == "current" ? service.configPath : historyPath(service.configPath, version);
        std::string contents;
        std::string message;
        if (!readFileWhole(path, kConfigMaxBytes, &contents, &message))
          return fail(reply, kErrNotActive, walk.context, message);
        zvJsonAddString(entry, "serviceConfigVersion", version.c_str());
        zvJsonAddString(entry, "serviceConfigContents", contents.c_str());
        ++total;
        return 0;
      },
      "serviceConfigList");
  if (code == 0) zvJsonAddInt(reply, "total", total);
  return code;
}

int32_t adminSaveServiceConfig(const char*, json_object* request, json_object* reply) {
  constexpr const char* kContext = "zvAdminSaveServiceConfig - Not able to add service configuration";
  json_object* list = nullptr;
  if (request == nullptr || !zvJsonGetArrayByName(request, "serviceConfigList", &list) || list == nullptr)
    return fail(reply, kErrMissing,
                "zvAdminSaveServiceConfig - Invalid parameter - Missing service configuration list property at the "
                "request.");
  int32_t count = zvJsonArrayLength(list);
  bool webServerApply = false;
  for (int32_t i = 0; i < count; ++i) {
    json_object* element = zvJsonArrayGetIdx(list, i);
    std::string name = memberText(element, "serviceName");
    char text[kMessageSize];
    if (name.empty()) {
      snprintf(text, sizeof text,
               "zvAdminSaveServiceConfig - Invalid parameter - Missing service name property at the service [%d] "
               "from the list.",
               i);
      return fail(reply, kErrMissing, text);
    }
    std::string contents = memberText(element, "serviceConfigContents");
    if (contents.empty()) {
      snprintf(text, sizeof text,
               "zvAdminSaveServiceConfig - Invalid parameter - Missing service configuration contents property at "
               "the service [%d] from the list.",
               i);
      return fail(reply, kErrMissing, text);
    }
    if (contents.size() > kConfigMaxBytes) {
      snprintf(text, sizeof text,
               "zvAdminSaveServiceConfig - Invalid parameter - Service configuration contents longer than %zu bytes "
               "at the service [%d] from the list.",
               kConfigMaxBytes, i);
      return fail(reply, kErrInvalid, text);
    }
    bool apply = false;
    zvJsonGetBooleanByName(element, "applyImmediately", &apply);
    SaveResult saved;
    try {
      saved = saveService(name, contents, apply);
    } catch (const YXException& e) {
      return fail(reply, e.GetErrorCode(), kContext, e.GetErrorMsg());
    }
    if (saved.code != 0) return fail(reply, saved.code, kContext, saved.message);
    if (apply && namesWebServer(name)) webServerApply = true;
  }
  if (webServerApply)
    return fail(reply, kErrNotSupported,
                "zvAdminSaveServiceConfig - Not able to apply any changes immediately for the web server service - "
                "the configuration is saved; restart the web server service to apply it");
  zvJsonSetError(0, "Success", reply);
  zvJsonAddInt(reply, "total", count);
  return 0;
}

int32_t adminGetServiceConfigVersionList(const char*, json_object* request, json_object* reply) {
  ListedServices walk = {"zvAdminGetServiceConfigVersionList",
                         "Missing service configuration list property at the request.",
                         "zvAdminGetServiceConfigVersionList - Not able to add service configuration"};
  int32_t total = 0;
  int32_t code = forEachListedService(
      walk, request, reply,
      [&](json_object*, int32_t, const Service& service, json_object* entry) {
        zvJsonPtr versions = newArray();
        for (const std::string& version : listConfigVersions(service.configPath)) {
          zvJsonArrayAdd(versions.get(), zvJsonAllocString(version.c_str()));
          ++total;
        }
        zvJsonAdd(entry, "serviceConfigVersionList", versions.release());
        return 0;
      },
      "serviceList");
  if (code == 0) zvJsonAddInt(reply, "total", total);
  return code;
}

int32_t adminRestartService(const char*, json_object* request, json_object* reply) {
  return controlServices(Control::Restart, request, reply);
}

int32_t adminStopService(const char*, json_object* request, json_object* reply) {
  return controlServices(Control::Stop, request, reply);
}

int32_t adminStartService(const char*, json_object* request, json_object* reply) {
  return controlServices(Control::Start, request, reply);
}

int32_t adminSetAuthentication(const char*, json_object* request, json_object* reply) {
  const char* missing = nullptr;
  std::string service = memberText(request, "serviceName");
  std::string user = memberText(request, "userName");
  const char* password = nullptr;
  if (request == nullptr || !zvJsonGetStringByName(request, "serviceName", nullptr))
    missing = "service name";
  else if (!zvJsonGetStringByName(request, "userName", nullptr))
    missing = "user name";
  else if (!zvJsonGetStringByName(request, "userPassword", &password) || password == nullptr)
    missing = "user password";
  if (missing != nullptr) {
    char text[kMessageSize];
    snprintf(text, sizeof text, "zvAdminSetAuthentication - Invalid parameter - Missing %s property at the request.",
             missing);
    return fail(reply, kErrMissing, text);
  }
  if (strcasecmp(service.c_str(), "mqtt") != 0)
    return fail(reply, kErrNotSupported,
                "zvAdminSetAuthentication - Service name provided is not supported for this operation.");
  if (const char* problem = authValueProblem(user)) return refuseAuthValue(reply, "user name", problem);
  const std::string wholePassword = memberText(request, "userPassword");
  if (const char* problem = authValueProblem(wholePassword))
    return refuseAuthValue(reply, "user password", problem);
  std::string text = "USERID " + user + "\nPASSWD " + wholePassword + "\n";
  if (text.size() > OSPREY_AUTH_TEXT_MAX)
    return refuseAuthValue(reply, "user name and password", "are longer than the authentication file holds");
  // Credentials the engine refuses would keep the broker from starting at
  // all: only a pair that logs on now is written.
  std::string message;
  if (int code = checkCredentials(user, wholePassword, &message)) {
    explicit_bzero(text.data(), text.size());
    char answerText[kMessageSize];
    snprintf(answerText, sizeof answerText,
             "zvAdminSetAuthentication - Invalid parameter - Not able to log on with the given user name and "
             "password - %.700s",
             message.c_str());
    return fail(reply, code == 450 || code == 451 ? kErrInvalid : code, answerText);
  }
  xorAuthText(text.data(), text.size());
  try {
    writeFileWhole(OSPREY_LOCAL_AUTH_FILE, text, 0600);
  } catch (const YXException& e) {
    explicit_bzero(text.data(), text.size());
    logf(e.GetErrorCode(), "osprey - %s", e.GetErrorMsg());
    return fail(reply, kErrMissing,
                "zvAdminSetAuthentication - Not able to create the authentication set file on disk.");
  }
  explicit_bzero(text.data(), text.size());
  return zvJsonSetError(0, "Success", reply);
}

int32_t zvAdminMQTTExec(const char*, json_object* request, json_object* reply) {
  YXHashTable<WEBAPP>& registry = webApps();
  WEBAPP* broker;
  {
    YXMutexLock hold(registry.mutex);
    broker = registry.Get("mqtt");
  }
  if (broker == nullptr) return fail(reply, kErrMqttInactive, "zvAdminMQTTExec - MQTT service is not active.");
  WebAppRequestRecord record;
  std::memset(&record, 0, sizeof record);
  record.version = WEBAPP_RECORD_VERSION;
  record.method = WEBAPP_METHOD_POST;
  record.url = "executeCommand";
  // The broker answers into a reply of its own, taken over member by member.
  void* answer = nullptr;
  int32_t result = 0;
  if (broker->routerXtd != nullptr) {
    result = broker->routerXtd(&record, request, &answer);
  } else {
    json_object* object = nullptr;
    broker->router("executeCommand", nullptr, request, &object);
    answer = object;
  }
  zvJsonPtr owned(static_cast<json_object*>(answer));
  takeMembers(owned.get(), reply);
  return result;
}

}  // namespace osprey::admin
