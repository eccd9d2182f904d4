/* The plug-in's server record, WebServerThreadData.
 *
 * The plug-in (osprey) allocates, fills and frees it; the MQTT broker
 * application reads it in place from its start entry and through the pointer
 * passed to every application's init. One declaration serves both, so the
 * field order is fixed and pinned below.
 *
 * Ownership
 *   Texts are the plug-in's own copies (VOKTAlloc'd, freed with VOKTFree when
 *   the record is freed); a text setting absent from osprey.json stays null
 *   unless it has a default. Readers never free or keep them beyond the
 *   record's life (from zvPlugin_start to zvPlugin_stop).
 *
 * Threading
 *   Settings are written once by the server thread before the state becomes
 *   WEB_SERVER_READY and only read afterwards. `state` is written by the
 *   server thread and by zvPlugin_stop's thread: go through
 *   webServerStateLoad/webServerStateStore, never a plain access.
 */
#ifndef OSPREY_SERVER_H
#define OSPREY_SERVER_H

#include <stdint.h>
#include <stdio.h>

#include "osprey_plugin.h"

struct json_object;

#ifdef __cplusplus
extern "C" {
#endif

/* WebServerState */
enum {
  WEB_SERVER_STARTING = 0,       /* record just allocated */
  WEB_SERVER_READY = 1,          /* listeners bound, poll loop running */
  WEB_SERVER_STOP_REQUESTED = 2, /* set by zvPlugin_stop */
  WEB_SERVER_TERMINATED = 3      /* teardown done */
};
typedef int32_t WebServerState;

typedef struct WebServerThreadData {
  char* access_control_list;
  char* auth_domain;
  char* cgi_interpreter;
  char* cgi_pattern;
  char* dav_auth_file;
  char* document_root;
  char* enable_directory_listing;
  char* extra_mime_type;
  char* extra_headers; /* the array's strings joined with "\r\n" */
  char* global_auth_file;
  char* hide_files_patterns;
  char* hexdump_file;
  char* index_files;
  char* listening_https_port;
  char* ssi_pattern;
  char* ssl_certificate;
  char* ssl_key;
  char* ssl_ca;
  char* ssl_cipher_suites;
  char* url_rewrites;
  int32_t web_thread_count;
  char* listening_http_port;
  char* mqtt_enabled; /* "Y" or "N" */
  char* mqtt_listening_port;
  char* mqtt_websocket_port;
  char* mqtt_websocket_ssl_enabled; /* "Y" or "N" */
  char* mqtt_persistence_enabled;   /* "Y" or "N" */
  char* mqtt_log_enabled;           /* "Y" or "N" */
  int32_t mqtt_conn_inactive_timeout;
  int32_t mqtt_conn_request_timeout;
  int32_t mqtt_max_dbconn_count;
  int32_t mqtt_statistics_interval;
  int32_t mqtt_statistics_persistence_interval;
  char* linked_vix_server;
  WebServerState state; /* atomic: see webServerStateLoad */
  char* webDirectory;
  int32_t verbose_level;
  FILE* verboseLog;
  struct json_object* config; /* the parsed osprey.json */
  uint64_t serverValue;       /* opaque, from the ServerContext */
  char* jvm_lib;
  uint8_t agentMaster;
  int32_t sqlPort;
  char* serverName;
  char* defaultSqlDatabase;
  LogCallback logCallback; /* set only with a ServerContext */
} WebServerThreadData;

/* The run state is shared by the server thread and the stopping thread. */
static inline WebServerState webServerStateLoad(const WebServerThreadData* record) {
  return __atomic_load_n(&record->state, __ATOMIC_ACQUIRE);
}

static inline void webServerStateStore(WebServerThreadData* record, WebServerState state) {
  __atomic_store_n(&record->state, state, __ATOMIC_RELEASE);
}

#ifdef __cplusplus
}
#endif

OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, access_control_list) == 0, "access_control_list");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, document_root) == 40, "document_root");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, url_rewrites) == 152, "url_rewrites");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, web_thread_count) == 160, "web_thread_count");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, listening_http_port) == 168, "listening_http_port");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, mqtt_enabled) == 176, "mqtt_enabled");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, mqtt_listening_port) == 184, "mqtt_listening_port");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, mqtt_websocket_port) == 192, "mqtt_websocket_port");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, mqtt_log_enabled) == 216, "mqtt_log_enabled");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, mqtt_conn_inactive_timeout) == 224, "mqtt_conn_inactive_timeout");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, mqtt_statistics_persistence_interval) == 240,
                     "mqtt_statistics_persistence_interval");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, linked_vix_server) == 248, "linked_vix_server");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, state) == 256, "state");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, webDirectory) == 264, "webDirectory");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, verbose_level) == 272, "verbose_level");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, verboseLog) == 280, "verboseLog");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, config) == 288, "config");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, serverValue) == 296, "serverValue");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, jvm_lib) == 304, "jvm_lib");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, agentMaster) == 312, "agentMaster");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, sqlPort) == 316, "sqlPort");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, serverName) == 320, "serverName");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, defaultSqlDatabase) == 328, "defaultSqlDatabase");
OSPREY_STATIC_ASSERT(offsetof(WebServerThreadData, logCallback) == 336, "logCallback");
OSPREY_STATIC_ASSERT(sizeof(WebServerThreadData) == 344, "WebServerThreadData size");

#endif /* OSPREY_SERVER_H */
