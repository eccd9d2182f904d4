/* The application boundary: what the plug-in osprey and the web and websocket
 * application libraries it loads from web/ exchange.
 *
 * Contents
 *   WebAppMethod, WebAppAuthMode, WebAppContentMode   request option codes.
 *   WebAppInitRecord      filled by the plug-in for every init/initXtd.
 *   WebAppRequestRecord   passed to routerXtd for each request.
 *   ResponseAllocator     allocates a RAW reply (freed by the plug-in with free).
 *   UTILKW                row of the data export utilkeywds.
 *   Web*Fn / Ws*Fn        the entry points an application exports, by name:
 *     web:       initXtd or init, term, routerXtd or router; optional getAPI,
 *                start and stop (start/stop only for the MQTT broker).
 *     websocket: init, term, handler; optional connectSession and
 *                disconnectSession.
 *   C++ only: CONNTYPE, WebsocketApp, WebsocketAppSession.
 *
 * Results
 *   init/initXtd/start/stop/term return 0 on success; otherwise a code, with a
 *   message in the 1024-byte error buffer. routerXtd returns the HTTP status
 *   (0 stands for 200, -1 "not handled"). connectSession returns the new
 *   session or null with a message in the error buffer. No entry point lets an
 *   exception escape.
 *
 * Ownership
 *   Records, and every text and table they point to, belong to the plug-in and
 *   are valid during the call (the init record's texts while the application
 *   is initialised); an application copies what it keeps. An application owns
 *   its replies until it returns them: a JSON reply is released by the plug-in
 *   with zvJsonRelease, a RAW reply (from ResponseAllocator) with free, a
 *   websocket reply (from VOKTAlloc) with VOKTFree. configType must point to a
 *   constant text: the plug-in keeps the pointer, not a copy.
 *
 * Threading
 *   Routers and websocket handlers are called from many connection threads at
 *   once; init, term, start and stop from the plug-in's server thread only.
 *
 * Layout
 *   The plain records are C; the C++ classes carry a virtual destructor as
 *   their first (only) virtual operation. Every layout is pinned below.
 *   The connection-type registry is util's YXHashTable<CONNTYPE>, forward-
 *   declared here (C sees an opaque pointer): include util's header to walk it.
 */
#ifndef OSPREY_WEBAPP_H
#define OSPREY_WEBAPP_H

#include <stddef.h>
#include <stdint.h>

#include "osprey_plugin.h"
#include "osprey_server.h"

struct json_object;
struct nev_manager;
struct nev_connection;

#ifdef __cplusplus
template <class T>
class YXHashTable;
class CONNTYPE;
typedef YXHashTable<CONNTYPE> ConnTypeTable;
#else
typedef struct ConnTypeTable ConnTypeTable; /* opaque to C */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version the plug-in writes into both records. An application that finds
 * another value answers -1 with a message. */
#define WEBAPP_RECORD_VERSION 1

/* WebAppMethod; also the index into WebAppInitRecord.bodyByMethod. */
enum {
  WEBAPP_METHOD_NONE = 0,
  WEBAPP_METHOD_POST = 1,
  WEBAPP_METHOD_GET = 2,
  WEBAPP_METHOD_PUT = 3,
  WEBAPP_METHOD_DELETE = 4,
  WEBAPP_METHOD_OPTIONS = 5,
  WEBAPP_METHOD_PATCH = 6,
  WEBAPP_METHOD_COUNT = 7
};

/* WebAppAuthMode: Basic credentials. */
enum { WEBAPP_AUTH_NONE = 0, WEBAPP_AUTH_REQUIRED = 1, WEBAPP_AUTH_OPTIONAL = 2 };

/* WebAppContentMode; every value other than RAW is treated as JSON. */
enum { WEBAPP_CONTENT_JSON = 1, WEBAPP_CONTENT_RAW = 2 };

typedef void* (*ResponseAllocator)(size_t size);

typedef struct WebAppInitRecord {
  int32_t version;                           /* in: WEBAPP_RECORD_VERSION */
  uint8_t unicode;                           /* in/out: 0 lets the plug-in fold "\u00XX" in bodies */
  int32_t tokenMode;                         /* out: non-zero passes the "token" header */
  int32_t basicAuthMode;                     /* out: WEBAPP_AUTH_* */
  int32_t bodyByMethod[WEBAPP_METHOD_COUNT]; /* out: 0 no body, 1 body and 400 on bad JSON */
  int32_t contentMode;                       /* out: WEBAPP_CONTENT_* */
  const char* documentRoot;
  uint64_t serverValue;
  const char* jvmLibrary;
  uint8_t agentMaster; /* web applications only */
  int32_t sqlPort;
  const char* serverName;   /* may be null */
  ConnTypeTable* connTypes; /* may be null; walk under the table's own mutex */
  char description[1032];   /* out: at most 1024 bytes written */
  const char* configType;   /* out: constant text ("CFG", "NONE", ...) */
  char configPath[1032];    /* out: at most 1024 bytes written */
  LogCallback logCallback;  /* the host's log; null when the host gave none */
  ZvPluginGetFn pluginGet;  /* web applications only; null without a database server */
} WebAppInitRecord;

typedef struct WebAppRequestRecord {
  int32_t version;   /* WEBAPP_RECORD_VERSION */
  int32_t method;    /* WEBAPP_METHOD_* */
  const char* url;   /* rest of the URI, "/..." or "" (never null) */
  const char* query; /* null when empty */
  const char* token; /* "" when missing; null when tokenMode is 0 */
  const char* user;  /* Basic credentials, null when none accepted */
  const char* password;
  const char* linkedServer; /* may be null */
  ResponseAllocator allocate;
} WebAppRequestRecord;

typedef struct UTILKW {
  char keyword[64];
  char value[255];
} UTILKW;

/* Web application entry points. initXtd and init share one form; error is
 * always a 1024-byte buffer. */
typedef int32_t (*WebAppInitFn)(WebAppInitRecord* record, char* error, WebServerThreadData* server);
typedef int32_t (*WebAppTermFn)(char* error);
/* body: a struct json_object* (JSON mode), NUL-terminated text (RAW mode), or
 * null. *reply starts null; the application stores a struct json_object* or a
 * text from record->allocate. */
typedef int32_t (*WebAppRouterXtdFn)(WebAppRequestRecord* record, void* body, void** reply);
/* Only for POST; the result is ignored (200). */
typedef int32_t (*WebAppRouterFn)(const char* command, const char* token, struct json_object* request,
                                  struct json_object** reply);
typedef int32_t (*WebAppGetApiFn)(struct json_object** api);
/* Optional export "requestBodyLimit": the most bytes of request body the
 * route command (the URI rest without its leading "/") accepts. The plug-in
 * answers a larger body with 413 and a JSON error (code 9006) without
 * parsing it or calling the router; 0 or less leaves the engine's bound. */
typedef int64_t (*WebAppBodyLimitFn)(const char* command);
typedef int32_t (*WebAppStartFn)(struct nev_manager* manager, WebServerThreadData* server, LogCallback log,
                                 char* error);
typedef int32_t (*WebAppStopFn)(char* error);

/* Exported by the plug-in (osprey.so): the address of the client whose
 * request the calling thread is serving ("" outside a request), for
 * applications that count failed log-ons per address. Applications find it
 * with dlsym on dlopen("osprey.so", RTLD_NOW | RTLD_NOLOAD). */
typedef const char* (*OspreyClientAddressFn)(void);

/* Websocket application entry points (the session types are C++). */
typedef int32_t (*WsAppInitFn)(WebAppInitRecord* record, char* error);
typedef int32_t (*WsAppTermFn)(char* error);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus

#include "VOKTBasic.h"

class WebsocketApp;
class WebsocketAppSession;

extern "C" {
typedef WebsocketAppSession* (*WsConnectSessionFn)(WebsocketApp* app, struct nev_connection* connection, char* error);
/* Destroys the session; the result is ignored. */
typedef int32_t (*WsDisconnectSessionFn)(struct nev_connection* connection, WebsocketAppSession* session, char* error,
                                         WebsocketApp* app);
/* data is not NUL-terminated. A reply of *replyLength > 0 bytes from VOKTAlloc
 * is sent as one text frame; the result is ignored. */
typedef int32_t (*WsHandlerFn)(WebsocketAppSession* session, const char* data, size_t length, char** reply,
                               size_t* replyLength);
}

/* One registered listener or connection type. Created and deleted only by the
 * plug-in, which defines the constructor (copies of each text, null stays
 * null); applications read the texts in place while walking the registry.
 * The destructor is inline, like WebsocketApp's: a class whose virtual
 * destructor is defined in the plug-in alone would have its type information
 * only there, and an application built with the vptr sanitizer, which needs
 * it for every member read, would not load. */
class CONNTYPE {
 public:
  CONNTYPE(const char* connectionType, const char* protocol, const char* port, const char* serverName,
           const char* defaultDB);
  virtual ~CONNTYPE() {
    VOKTFree(connectionType);
    VOKTFree(protocol);
    VOKTFree(port);
    VOKTFree(serverName);
    VOKTFree(defaultDB);
  }
  CONNTYPE(const CONNTYPE&) = delete;
  CONNTYPE& operator=(const CONNTYPE&) = delete;

  char* connectionType = nullptr;
  char* protocol = nullptr;
  char* port = nullptr;
  char* serverName = nullptr;
  char* defaultDB = nullptr;
};

/* One loaded websocket application: the plug-in's record, passed to
 * connectSession. Created, loaded (_loadApp) and deleted only by the plug-in,
 * which defines those members; applications read `handler`. */
class WebsocketApp {
 public:
  WebsocketApp() = default;
  virtual ~WebsocketApp() {
    VOKTFree(prefix);
    VOKTFree(library);
    VOKTFree(description);
    VOKTFree(configPath);
  }
  WebsocketApp(const WebsocketApp&) = delete;
  WebsocketApp& operator=(const WebsocketApp&) = delete;

  /* Binds the entry points of web/<library>; throws YXException. */
  void _loadApp(const char* library);

  char* prefix = nullptr;
  char* library = nullptr;
  uint8_t unicode = 0;
  WsAppInitFn init = nullptr;
  WsAppTermFn term = nullptr;
  WsConnectSessionFn connectSession = nullptr;
  WsDisconnectSessionFn disconnectSession = nullptr;
  WsHandlerFn handler = nullptr;
  uint8_t active = 0;
  char* description = nullptr;
  const char* configType = nullptr;
  char* configPath = nullptr;
};

/* What connectSession returns; an application derives its session from it
 * and destroys it in disconnectSession. The plug-in reads `app` and `handler`
 * in place. */
class WebsocketAppSession {
 public:
  explicit WebsocketAppSession(WebsocketApp* owner)
      : app(owner), handler(owner != nullptr ? owner->handler : nullptr) {}
  virtual ~WebsocketAppSession() = default;
  WebsocketAppSession(const WebsocketAppSession&) = delete;
  WebsocketAppSession& operator=(const WebsocketAppSession&) = delete;

  WebsocketApp* app;
  WsHandlerFn handler;
};

/* offsetof on classes with a virtual destructor is conditionally supported;
 * g++ lays them out as vptr then members, which is what the other side
 * relies on. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(CONNTYPE, connectionType) == 8, "CONNTYPE.connectionType");
static_assert(offsetof(CONNTYPE, protocol) == 16, "CONNTYPE.protocol");
static_assert(offsetof(CONNTYPE, port) == 24, "CONNTYPE.port");
static_assert(offsetof(CONNTYPE, serverName) == 32, "CONNTYPE.serverName");
static_assert(offsetof(CONNTYPE, defaultDB) == 40, "CONNTYPE.defaultDB");
static_assert(sizeof(CONNTYPE) == 48, "CONNTYPE size");

static_assert(offsetof(WebsocketApp, prefix) == 8, "WebsocketApp.prefix");
static_assert(offsetof(WebsocketApp, library) == 16, "WebsocketApp.library");
static_assert(offsetof(WebsocketApp, unicode) == 24, "WebsocketApp.unicode");
static_assert(offsetof(WebsocketApp, init) == 32, "WebsocketApp.init");
static_assert(offsetof(WebsocketApp, term) == 40, "WebsocketApp.term");
static_assert(offsetof(WebsocketApp, connectSession) == 48, "WebsocketApp.connectSession");
static_assert(offsetof(WebsocketApp, disconnectSession) == 56, "WebsocketApp.disconnectSession");
static_assert(offsetof(WebsocketApp, handler) == 64, "WebsocketApp.handler");
static_assert(offsetof(WebsocketApp, active) == 72, "WebsocketApp.active");
static_assert(offsetof(WebsocketApp, description) == 80, "WebsocketApp.description");
static_assert(offsetof(WebsocketApp, configType) == 88, "WebsocketApp.configType");
static_assert(offsetof(WebsocketApp, configPath) == 96, "WebsocketApp.configPath");
static_assert(sizeof(WebsocketApp) == 104, "WebsocketApp size");

static_assert(offsetof(WebsocketAppSession, app) == 8, "WebsocketAppSession.app");
static_assert(offsetof(WebsocketAppSession, handler) == 16, "WebsocketAppSession.handler");
static_assert(sizeof(WebsocketAppSession) == 24, "WebsocketAppSession size");
#pragma GCC diagnostic pop

#endif /* __cplusplus */

OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, unicode) == 4, "WebAppInitRecord.unicode");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, tokenMode) == 8, "WebAppInitRecord.tokenMode");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, basicAuthMode) == 12, "WebAppInitRecord.basicAuthMode");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, bodyByMethod) == 16, "WebAppInitRecord.bodyByMethod");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, contentMode) == 44, "WebAppInitRecord.contentMode");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, documentRoot) == 48, "WebAppInitRecord.documentRoot");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, serverValue) == 56, "WebAppInitRecord.serverValue");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, jvmLibrary) == 64, "WebAppInitRecord.jvmLibrary");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, agentMaster) == 72, "WebAppInitRecord.agentMaster");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, sqlPort) == 76, "WebAppInitRecord.sqlPort");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, serverName) == 80, "WebAppInitRecord.serverName");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, connTypes) == 88, "WebAppInitRecord.connTypes");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, description) == 96, "WebAppInitRecord.description");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, configType) == 1128, "WebAppInitRecord.configType");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, configPath) == 1136, "WebAppInitRecord.configPath");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, logCallback) == 2168, "WebAppInitRecord.logCallback");
OSPREY_STATIC_ASSERT(offsetof(WebAppInitRecord, pluginGet) == 2176, "WebAppInitRecord.pluginGet");
OSPREY_STATIC_ASSERT(sizeof(WebAppInitRecord) == 2184, "WebAppInitRecord size");

OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, method) == 4, "WebAppRequestRecord.method");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, url) == 8, "WebAppRequestRecord.url");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, query) == 16, "WebAppRequestRecord.query");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, token) == 24, "WebAppRequestRecord.token");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, user) == 32, "WebAppRequestRecord.user");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, password) == 40, "WebAppRequestRecord.password");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, linkedServer) == 48, "WebAppRequestRecord.linkedServer");
OSPREY_STATIC_ASSERT(offsetof(WebAppRequestRecord, allocate) == 56, "WebAppRequestRecord.allocate");
OSPREY_STATIC_ASSERT(sizeof(WebAppRequestRecord) == 64, "WebAppRequestRecord size");

OSPREY_STATIC_ASSERT(offsetof(UTILKW, value) == 64 && sizeof(UTILKW) == 319, "UTILKW layout");

#endif /* OSPREY_WEBAPP_H */
