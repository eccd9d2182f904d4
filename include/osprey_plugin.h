/* The plug-in boundary: what a host (the database server, or heron) and the
 * plug-in osprey exchange.
 *
 * Contents
 *   LogCallback            the host's logger, kept by the plug-in.
 *   PluginInfo             filled by zvPlugin_init when the host passes one.
 *   ServerContext          given to zvPlugin_start by the database server.
 *   PluginList/PluginEntry the database server's list of its plug-ins.
 *   zvPlugin_* entry points and their pointer types, for hosts that bind them
 *                          with dlsym.
 *
 * Layout
 *   PluginInfo, ServerContext and PluginEntry are laid out by the database
 *   server; the offsets below are its own and are pinned by static assertions.
 *   Bytes named reserved* are the server's and are never touched here.
 *   Everything is plain C so that a C host can use the same declarations.
 *
 * Ownership
 *   Every record a host passes stays the host's; the plug-in copies what it
 *   keeps. Texts are UTF-8, NUL-terminated.
 *
 * Threading
 *   A LogCallback is called from any thread of the plug-in at any time after
 *   zvPlugin_init, also after zvPlugin_start has returned (threads of
 *   applications may outlive it): a host keeps its logger usable until the
 *   process ends.
 */
#ifndef OSPREY_PLUGIN_H
#define OSPREY_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define OSPREY_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define OSPREY_EXTERN_C extern "C"
#else
#define OSPREY_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define OSPREY_EXTERN_C
#endif

/* Symbols a shared object hands to its loader; everything else stays hidden. */
#define OSPREY_EXPORT __attribute__((visibility("default")))

/* Shown by heron's usage text and logged by the plug-in at every start. */
#define OSPREY_PRODUCT_NAME "Brenlox Web Server"
#define OSPREY_PRODUCT_VERSION "1.0.0"

/* Every error buffer that crosses the boundary has this size. */
#define OSPREY_ERROR_SIZE 1024

OSPREY_STATIC_ASSERT(sizeof(void*) == 8 && sizeof(int) == 4, "the shared records are laid out for LP64");

#ifdef __cplusplus
extern "C" {
#endif

/* code 0 marks information, OSPREY_LOG_WARNING a warning (a setting not
 * understood, the default used instead), any other value an error and its
 * code. The result is ignored by the plug-in. */
#define OSPREY_LOG_WARNING (-2)
typedef int32_t (*LogCallback)(const char* message, int32_t code);

/* The form of zvPlugin_call and of every plug-in's call entry in the list. */
typedef int32_t (*PluginCallEntry)(int32_t operation, const char* input, char* output, int32_t* outputLength);

/* Operations of the ServiceControlCallback. */
enum { PLUGIN_CTL_START = 1, PLUGIN_CTL_STOP = 2 };

/* Starts or stops one of the database server's plug-ins by name. message is a
 * 1024-byte buffer; *messageLength is its size on entry. Returns 0 or an error
 * code with a message in the buffer; a stop may answer 1167 (not running). */
typedef int32_t (*ServiceControlCallback)(int32_t operation, const char* pluginName, char* message,
                                          int32_t* messageLength);

/* Value of PluginEntry.state for a plug-in that runs. */
enum { PLUGIN_STATE_RUNNING = 4 };

typedef struct PluginInfo {
  int32_t reserved0;
  char description[1024];
  const char* configType; /* points to a constant text */
  char configPath[1024];
} PluginInfo;

typedef struct PluginEntry {
  char name[1024];
  char reserved1[1056];
  PluginCallEntry call;
  char reserved2[24];
  PluginInfo* info;
  int32_t state; /* PLUGIN_STATE_RUNNING when it runs */
  int32_t reserved3;
} PluginEntry;

typedef struct PluginList {
  PluginEntry* entries;
  int32_t count;
} PluginList;

typedef struct ServerContext {
  char reserved0[8];
  const char* serverDirectory;
  const char* defaultServerName;
  const char* jvmLibrary;
  char reserved1[8];
  const int32_t* shuttingDown; /* non-zero while the database server shuts down */
  char reserved2[8];
  uint64_t serverValue; /* opaque */
  char reserved3[8];
  int32_t sqlPort;
  char serverName[268];
  const char* defaultSqlDatabase;
  PluginList* plugins;
  ServiceControlCallback control;
} ServerContext;

/* Resolved by name from the database server's library "quarndbs". Returns 0
 * and points *entry at the server's own entry when the plug-in is known. */
typedef int32_t (*ZvPluginGetFn)(const char* pluginName, int32_t flags, PluginEntry** entry);

/* The plug-in's exports. Each returns 0 on success (see the plug-in's own
 * contract for its codes). zvPlugin_start runs the server on the caller's
 * thread and returns when it has ended; zvPlugin_stop may be called from
 * another thread and returns when the server has ended. */
typedef int32_t (*ZvPluginInitFn)(PluginInfo* info, LogCallback log, const char* webDirectory);
typedef int32_t (*ZvPluginStartFn)(ServerContext* context);
typedef int32_t (*ZvPluginStopFn)(void);
typedef int32_t (*ZvPluginTermFn)(void);
typedef PluginCallEntry ZvPluginCallFn;

OSPREY_EXPORT int32_t zvPlugin_init(PluginInfo* info, LogCallback log, const char* webDirectory);
OSPREY_EXPORT int32_t zvPlugin_start(ServerContext* context);
OSPREY_EXPORT int32_t zvPlugin_stop(void);
OSPREY_EXPORT int32_t zvPlugin_term(void);
OSPREY_EXPORT int32_t zvPlugin_call(int32_t operation, const char* input, char* output, int32_t* outputLength);

#ifdef __cplusplus
}
#endif

OSPREY_STATIC_ASSERT(offsetof(PluginInfo, description) == 4, "PluginInfo.description");
OSPREY_STATIC_ASSERT(offsetof(PluginInfo, configType) == 1032, "PluginInfo.configType");
OSPREY_STATIC_ASSERT(offsetof(PluginInfo, configPath) == 1040, "PluginInfo.configPath");
OSPREY_STATIC_ASSERT(sizeof(PluginInfo) == 2064, "PluginInfo size");

OSPREY_STATIC_ASSERT(offsetof(PluginEntry, name) == 0, "PluginEntry.name");
OSPREY_STATIC_ASSERT(offsetof(PluginEntry, call) == 2080, "PluginEntry.call");
OSPREY_STATIC_ASSERT(offsetof(PluginEntry, info) == 2112, "PluginEntry.info");
OSPREY_STATIC_ASSERT(offsetof(PluginEntry, state) == 2120, "PluginEntry.state");
OSPREY_STATIC_ASSERT(sizeof(PluginEntry) == 2128, "PluginEntry size");

OSPREY_STATIC_ASSERT(offsetof(PluginList, entries) == 0, "PluginList.entries");
OSPREY_STATIC_ASSERT(offsetof(PluginList, count) == 8, "PluginList.count");
OSPREY_STATIC_ASSERT(sizeof(PluginList) == 16, "PluginList size");

OSPREY_STATIC_ASSERT(offsetof(ServerContext, serverDirectory) == 8, "ServerContext.serverDirectory");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, defaultServerName) == 16, "ServerContext.defaultServerName");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, jvmLibrary) == 24, "ServerContext.jvmLibrary");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, shuttingDown) == 40, "ServerContext.shuttingDown");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, serverValue) == 56, "ServerContext.serverValue");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, sqlPort) == 72, "ServerContext.sqlPort");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, serverName) == 76, "ServerContext.serverName");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, defaultSqlDatabase) == 344, "ServerContext.defaultSqlDatabase");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, plugins) == 352, "ServerContext.plugins");
OSPREY_STATIC_ASSERT(offsetof(ServerContext, control) == 360, "ServerContext.control");
OSPREY_STATIC_ASSERT(sizeof(ServerContext) == 368, "ServerContext size");

#endif /* OSPREY_PLUGIN_H */
