// The application's exports: initXtd, term, routerXtd, start and stop.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "persist.h"
#include "starling.h"
#if __has_include("mqtt_clients.h")
#include "mqtt_clients.h"
#define STARLING_HAS_CLIENTS 1
#else
#define STARLING_HAS_CLIENTS 0
#endif

#define STARLING_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char* kLocalAuthFile = OSPREY_LOCAL_AUTH_FILE;
// Rows kept per history table unless config/starling.cfg says otherwise:
// months of an ordinary site's connects and subscriptions, a few hundred MB
// at most even with 1 KB filters.
constexpr int64_t kHistoryMaxRowsDefault = 100000;
constexpr int64_t kTopicMaxRowsDefault = 100000;

bool startsWithY(const char* text) { return text != nullptr && (text[0] == 'Y' || text[0] == 'y'); }

// A whole-number key of osprey.json that the host's settings record does not
// carry (its layout is fixed); negative when absent or not a whole number.
int32_t optionalSetting(WebServerThreadData* server, const char* name) {
  json_object* member = nullptr;
  if (server->config == nullptr || !zvJsonGetByName(server->config, name, &member) || member == nullptr) return -1;
  if (json_object_get_type(member) == json_type_int) {
    int64_t value = json_object_get_int64(member);
    return value >= 0 && value <= INT32_MAX ? static_cast<int32_t>(value) : -1;
  }
  if (json_object_get_type(member) == json_type_string) {
    char* end = nullptr;
    long value = strtol(json_object_get_string(member), &end, 10);
    return end != nullptr && *end == '\0' && value >= 0 && value <= INT32_MAX ? static_cast<int32_t>(value) : -1;
  }
  return -1;
}

void copySettings(StarlingBroker& b, WebServerThreadData* server) {
  b.persistenceEnabled = startsWithY(server->mqtt_persistence_enabled);
  b.verboseLog = startsWithY(server->mqtt_log_enabled);
  b.inactiveTimeout = server->mqtt_conn_inactive_timeout;
  b.requestTimeout = server->mqtt_conn_request_timeout;
  b.maxDbConnections = server->mqtt_max_dbconn_count > 0 ? server->mqtt_max_dbconn_count : 32;
  b.statisticsInterval = server->mqtt_statistics_interval;
  b.statisticsPersistInterval = server->mqtt_statistics_persistence_interval;
  b.connectTimeout = optionalSetting(server, "mqtt_connect_timeout");
  b.maxQueuedMessages = optionalSetting(server, "mqtt_max_queued_messages");
  b.maxQueuedBytes = optionalSetting(server, "mqtt_max_queued_bytes");
  b.mqttPortText = server->mqtt_listening_port != nullptr ? server->mqtt_listening_port : "1883";
  b.mqttPort = atoi(b.mqttPortText.c_str());
  b.webDirectory = server->webDirectory != nullptr ? server->webDirectory : ".";
  std::string historyRows = starlingConfigValue("HISTORY_MAX_ROWS");
  b.historyMaxRows = historyRows.empty() ? kHistoryMaxRowsDefault : std::max(0LL, atoll(historyRows.c_str()));
  std::string topicRows = starlingConfigValue("TOPIC_MAX_ROWS");
  b.topicMaxRows = topicRows.empty() ? kTopicMaxRowsDefault : std::max(1LL, atoll(topicRows.c_str()));
}

// Metadata sessions beyond a small floor close after this long unused, or
// after the configured inactive time-out when that is shorter (the handler's
// poll rounds clean the pool).
constexpr int32_t kMetadataSessionIdleSeconds = 5;

// Local credentials, database check and pool; retried while the database
// server cannot be reached yet.
int openDatabase(StarlingBroker& b, WebServerThreadData* server, char* error) {
  // Standalone there is no server name: the engine's default local server.
  const char* serverName =
      server->serverName != nullptr && server->serverName[0] != '\0' ? server->serverName : "BRENLOXS";
  for (int retries = 0;; retries++) {
    char* user = nullptr;
    char* password = nullptr;
    ZVDatabaseConfig* config = nullptr;
    try {
      _readAuthFile(kLocalAuthFile, &user, &password);
      config = new ZVDatabaseConfig(serverName, user, password, "brenlox");
      VOKTFree(user), user = nullptr;
      VOKTFree(password), password = nullptr;
      ZVDatabasePooled::CheckDatabase(config);
      int32_t idleSeconds = b.inactiveTimeout > 0 ? std::min(b.inactiveTimeout, kMetadataSessionIdleSeconds) : 1;
      b.dbPool = new YXPool<ZVDatabasePooled>(config, b.maxDbConnections, idleSeconds);
      b.dbConfig = config;
      return 0;
    } catch (const YXException& e) {
      VOKTFree(user);
      VOKTFree(password);
      delete config;
      int code = e.GetErrorCode();
      if ((code == 133 || code == 162) && retries < 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        continue;
      }
      snprintf(error, 1024, "Not able to connect to local server - %.900s", e.GetErrorMsg());
      return code;
    }
  }
}

// The broker's tables hold user names and password sums: its database file
// and SQLite's companions are for this account only, also when an earlier
// version created them readable by all.
void restrictDatabaseFiles(const char* path) {
  if (path == nullptr || path[0] == '\0') return;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::string file = std::string(path) + suffix;
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) continue;
    if (chmod(file.c_str(), st.st_mode & 0700) != 0)
      starlingLog(errno, "starling - Not able to restrict the access of [%s] to its owner - %s", file.c_str(),
                  strerror(errno));
  }
}

int checkMetadata(char* error) {
  try {
    StarlingDb db;
    restrictDatabaseFiles(db->GetPath());
    MQTTConnection::CheckMetadata(db.get());
    MQTTSubscriber::CheckMetadata(db.get());
    MQTTTopic::CheckMetadata(db.get());
    MQTTPersist::CheckPersistenceMetadata(db.get());
    return 0;
  } catch (const YXException& e) {
    snprintf(error, 1024, "Not able to initialize MQTT metadata - %.900s", e.GetErrorMsg());
    return e.GetErrorCode();
  } catch (const ZVException& e) {
    snprintf(error, 1024, "Not able to initialize MQTT metadata - %.900s", e.GetErrorMsg());
    return e.GetErrorCode();
  }
}

int bindWebsocket(StarlingBroker& b, nev_manager* manager, WebServerThreadData* server, char* error) {
  const char* port = server->mqtt_websocket_port;
  if (port == nullptr || port[0] == '\0') return 0;
  if (!nev_listen_address_valid(port)) {
    snprintf(error, 1024, "Invalid websocket port [%.200s] - a port number below 65535 is expected.", port);
    return 1101;
  }
  if (atoi(port) <= 0) return 0;
  if (startsWithY(server->mqtt_websocket_ssl_enabled)) {
    if (server->ssl_certificate == nullptr || server->ssl_certificate[0] == '\0') {
      snprintf(error, 1024,
               "Not able to bind to websocket port [%s] with SSL - Missing SSL certificate (ssl_certificate keyword in "
               "osprey.json file).",
               port);
      return 1101;
    }
    nev_listen_options options{};
    options.tls_cert = server->ssl_certificate;
    options.tls_key = server->ssl_key;
    options.tls_ca = server->ssl_ca;
    options.tls_ciphers = server->ssl_cipher_suites;
    b.wsListener = nev_listen_with_options(manager, port, wsBridgeEventHandler, &options);
    if (b.wsListener == nullptr) {
      snprintf(error, 1024,
               "Not able to bind to websocket port [%.200s] with SSL - Check if communication port is available. "
               "Cause: %.600s",
               port, nev_listen_failure());
      return 1101;
    }
  } else {
    b.wsListener = nev_listen(manager, port, wsBridgeEventHandler);
    if (b.wsListener == nullptr) {
      snprintf(error, 1024,
               "Not able to bind to websocket port [%.200s] - Check if communication port is available. Cause: %.600s",
               port, nev_listen_failure());
      return 1101;
    }
  }
  nev_http_attach(b.wsListener);
  return 0;
}

void startThread(std::unique_ptr<StarlingThread>& slot, int initialState, void (*fn)(StarlingThread*)) {
  slot = std::make_unique<StarlingThread>();
  slot->state = initialState;
  slot->thread = std::thread(fn, slot.get());
}

int startWorkers(StarlingBroker& b, WebServerThreadData* server, char* error) {
  (void)server;
  try {
    startThread(b.commandThread, kThreadRunning, _processThrdFunction);
#if STARLING_HAS_CLIENTS
    try {
      b.remoteLink = new MQTTRemoteSysPersist(server->linked_vix_server, b.log);
    } catch (const YXException& e) {
      if (e.GetErrorCode() != 0 && e.GetErrorCode() != 10001) throw;
      b.remoteLink = nullptr;
    }
#endif
    restartPersistenceTopics();
    return 0;
  } catch (const YXException& e) {
    snprintf(error, 1024, "Cannot start MQTT server - %.900s", e.GetErrorMsg());
    return e.GetErrorCode();
  } catch (const std::system_error& e) {
    snprintf(error, 1024, "Couldn't allocate MQTT thread data.");
    return 1100;
  }
}

// The clean-up thread keeps the history tables within their bound, which
// every broker writes, with or without persistence.
int startCleanup(StarlingBroker& b, char* error) {
  try {
    startThread(b.cleanupThread, kThreadRunning, _cleanConnThrdFunction);
    return 0;
  } catch (const std::system_error& e) {
    snprintf(error, 1024, "Couldn't allocate MQTT thread data.");
    return 1100;
  }
}

// The statistics publisher is a client of the broker's own port: started
// before that port is bound, its first dial can be refused, and a link
// closed before CONNACK ends for good, so statistics would never appear.
int startStatistics(StarlingBroker& b, char* error) {
  try {
    std::random_device random;
    char password[33];
    snprintf(password, sizeof password, "%08x%08x%08x%08x", random(), random(), random(), random());
    b.statisticsPassword = password;
    if (b.statisticsInterval >= 1) startThread(b.statsThread, kThreadNotStarted, _statisticsThrdFunction);
    if (b.statisticsPersistInterval >= 1)
      startThread(b.statsWriterThread, kThreadNotStarted, _persistStatisticsThrdFunction);
    return 0;
  } catch (const std::system_error& e) {
    snprintf(error, 1024, "Couldn't allocate MQTT thread data.");
    return 1100;
  }
}

int bindBroker(StarlingBroker& b, nev_manager* manager, char* error) {
  const char* port = b.mqttPortText.c_str();
  if (!nev_listen_address_valid(port)) {
    snprintf(error, 1024, "Invalid port [%.200s] - a port number below 65535 is expected.", port);
    return 1101;
  }
  b.mqttListener = nev_listen(manager, port, mqttBrokerEventHandler);
  if (b.mqttListener == nullptr) {
    snprintf(error, 1024, "Not able to bind to port [%.200s] - Check if communication port is available. Cause: %.600s",
             port, nev_listen_failure());
    return 1101;
  }
  // One core for the process: sessions of connections that outlive a stop
  // still point to it.
  if (!b.coreReady) {
    nev_broker_setup(&b.core, nullptr);
    b.coreReady = true;
  }
  // Negative settings keep the defaults; 0 turns a bound off.
  if (b.maxQueuedMessages >= 0) b.core.max_queued_messages = static_cast<uint32_t>(b.maxQueuedMessages);
  if (b.maxQueuedBytes >= 0) b.core.max_queued_bytes = static_cast<size_t>(b.maxQueuedBytes);
  nev_mqtt_attach(b.mqttListener);
  nev_mqtt_set_connect_timeout(b.mqttListener, b.connectTimeout >= 0 ? b.connectTimeout : NEV_BROKER_CONNECT_TIMEOUT);
  nev_broker_bind_listener(b.mqttListener, &b.core);
  nev_listener_enable_threads(b.mqttListener);
  return 0;
}

void joinThread(std::unique_ptr<StarlingThread>& slot) {
  if (!slot) return;
  slot->state = kThreadStopAsked;
  if (slot->thread.joinable()) slot->thread.join();
  slot.reset();
}

// Writes the end of every session the broker no longer serves; a failure is
// logged and leaves the broker's state as it is.
void endSessionsInTables() {
  try {
    MQTTConnection::EndAllSessions();
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), "starling - Not able to update connection status - %s", e.GetErrorMsg());
  } catch (const ZVException& e) {
    starlingLog(e.GetErrorCode(), "starling - Not able to update connection status - %s", e.GetErrorMsg());
  }
}

void closeDatabase(StarlingBroker& b) {
  delete b.dbPool;  // owns the configuration
  b.dbPool = nullptr;
  b.dbConfig = nullptr;
}

}  // namespace

STARLING_EXPORT int32_t initXtd(WebAppInitRecord* record, char* error, WebServerThreadData* server) {
  (void)server;
  StarlingBroker& b = starlingBroker();
  if (FILE* file = findConfigFile()) fclose(file);
  if (record->version != 1) {
    snprintf(error, 1024,
             "starling web application version doesn't match osprey plugin. It is expected to be [1], but it is [%d]",
             record->version);
    return -1;
  }
  record->basicAuthMode = WEBAPP_AUTH_REQUIRED;
  record->tokenMode = 0;
  record->bodyByMethod[WEBAPP_METHOD_POST] = 1;
  record->bodyByMethod[WEBAPP_METHOD_PUT] = 1;
  record->bodyByMethod[WEBAPP_METHOD_PATCH] = 1;
  record->bodyByMethod[WEBAPP_METHOD_GET] = 0;
  record->bodyByMethod[WEBAPP_METHOD_DELETE] = 0;
  record->bodyByMethod[WEBAPP_METHOD_OPTIONS] = 0;
  snprintf(record->description, 1024, "%s", "MQTT Server");
  record->configType = "CFG";
  snprintf(record->configPath, 1024, "%s", b.configPath);
  if (b.brokerLock == nullptr) b.brokerLock = nev_srwlock_new();
  if (b.brokerLock == nullptr) {
    snprintf(error, 1024, "Not able to initialize starling web application - %s", "Couldn't allocate the broker lock");
    return 8001;
  }
  b.initialised = true;
  return 0;
}

STARLING_EXPORT int32_t term(char* error) {
  StarlingBroker& b = starlingBroker();
  b.running = false;
  if (b.brokerLock != nullptr) {
    nev_rwlock_guard held(b.brokerLock, nev_rwlock_mode::exclusive);
    MQTTTopic::DeleteAll();
    MQTTSubscriber::DeleteAll();
    MQTTConnection::DeleteAll();
    // Connections still open at the stop leave their records to us: without
    // this they leaked when the set went away at exit.
    starlingDropConnectionInfos();
  }
  closeDatabase(b);
  if (error != nullptr) error[0] = '\0';
  return 0;
}

STARLING_EXPORT int32_t stop(char* error) {
  (void)error;
  StarlingBroker& b = starlingBroker();
  if (b.wsListener != nullptr) b.wsListener->flags |= NEV_CONN_CLOSE_NOW;
  if (b.mqttListener != nullptr) {
    b.mqttListener->flags |= NEV_CONN_CLOSE_NOW;
    if (b.manager != nullptr) nev_manager_poll(b.manager, 1000);
  }
  b.wsListener = nullptr;
  b.mqttListener = nullptr;
  bool wasRunning = b.running.exchange(false);
  // Handlers already inside the broker use the worker records (a SUBSCRIBE
  // to the statistics topics wakes the publisher) and the link: wait them out
  // before anything they reach is freed. Later events see the broker stopped.
  if (b.brokerLock != nullptr) {
    nev_rwlock_guard waitForHandlers(b.brokerLock, nev_rwlock_mode::exclusive);
  }
  joinThread(b.commandThread);
  joinThread(b.cleanupThread);
  joinThread(b.statsWriterThread);
  joinThread(b.statsThread);
  // Persisted topics write (and acknowledge) what they queued before the stop returns.
  MQTTPersist::StopAll();
  // Connections still open end here for the broker: their CLOSE finds it stopped.
  if (wasRunning) endSessionsInTables();
#if STARLING_HAS_CLIENTS
  delete b.remoteLink;
#endif
  b.remoteLink = nullptr;
  return 0;
}

STARLING_EXPORT int32_t start(nev_manager* manager, WebServerThreadData* server, LogCallback log, char* error) {
  StarlingBroker& b = starlingBroker();
  b.log = log;
  b.running = false;
  b.manager = manager;
  if (!b.initialised || b.brokerLock == nullptr) {
    snprintf(error, 1024, "Cannot start MQTT server - %s", "the application was not initialised");
    return 1100;
  }
  copySettings(b, server);
  int code = openDatabase(b, server, error);
  if (code == 0) code = checkMetadata(error);
  // No session outlives a run: what a crash left "connected" is ended now.
  if (code == 0) endSessionsInTables();
  if (code == 0) snprintf(b.loopbackAddress, sizeof b.loopbackAddress, "127.0.0.1:%s", b.mqttPortText.c_str());
  if (code == 0) code = bindWebsocket(b, manager, server, error);
  if (code == 0) code = startCleanup(b, error);
  if (code == 0 && b.persistenceEnabled) code = startWorkers(b, server, error);
  if (code == 0) code = bindBroker(b, manager, error);
  if (code == 0 && b.persistenceEnabled) code = startStatistics(b, error);
  if (code != 0) {
    char ignored[1024];
    stop(ignored);
    closeDatabase(b);
    return code;
  }
  b.running = true;
  return 0;
}

STARLING_EXPORT int32_t routerXtd(WebAppRequestRecord* request, void* body, void** reply) {
  auto** out = reinterpret_cast<json_object**>(reply);
  auto* command = static_cast<json_object*>(body);
  StarlingBroker& b = starlingBroker();
  if (request->url == nullptr)
    return zvJsonSetError(9006, "Failed to execute MQTT service. Missing URI in the request.", out);
  if (strcmp(request->url, "executeCommand") != 0) {
    char text[1200];
    snprintf(text, sizeof text, "Failed to execute MQTT service. Server [%s] is not supported", request->url);
    return zvJsonSetError(8006, text, out);
  }
  const char* operation = nullptr;
  const char* topic = nullptr;
  const char* missing = nullptr;
  if (command == nullptr || !zvJsonGetStringByName(command, "operation", &operation))
    missing = "operation";
  else if (!zvJsonGetStringByName(command, "persistenceTopic", &topic))
    missing = "persistenceTopic";
  if (missing != nullptr) {
    char text[256];
    snprintf(text, sizeof text, "Failed to execute MQTT command operation. Missing %s property in the command",
             missing);
    return zvJsonSetError(9006, text, out);
  }
  // Held shared so that term cannot delete the registries under the command.
  if (b.brokerLock == nullptr)
    return zvJsonSetError(10001, "Failed to execute MQTT command operation - the MQTT broker is not running", out);
  nev_rwlock_guard held(b.brokerLock, nev_rwlock_mode::shared);
  if (!b.running || !b.persistenceEnabled) {
    return zvJsonSetError(
        10001,
        "Failed to execute MQTT command operation - the MQTT broker is not running or its persistence is not enabled",
        out);
  }
  try {
    starlingRegisterCommandTopic(topic, "quarnAdministration");
    _processMQTTSystemRequest(nullptr, operation, topic, "internal - API request", command, b.log);
    *out = zvJsonAlloc();
    zvJsonSetError(0, "Success", out);
    return 0;
  } catch (const YXException& e) {
    char text[1200];
    snprintf(text, sizeof text, "Failed to execute MQTT command operation - %s", e.GetErrorMsg());
    starlingLog(e.GetErrorCode(), "starling - %s", text);
    return zvJsonSetError(e.GetErrorCode(), text, out);
  }
}
