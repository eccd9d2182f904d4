/* The shared records as a C compiler lays them out; records_layout_test.cpp
 * compares them with the C++ view. Compiling this file at all also proves the
 * headers are valid C. */
#include <stddef.h>

#include "osprey_plugin.h"
#include "osprey_server.h"
#include "osprey_webapp.h"

#include "records_layout.h"

#define FIELD(record, field) \
  { #record "." #field, offsetof(record, field) }
#define SIZE(record) \
  { "sizeof " #record, sizeof(record) }

#define RECORD_LAYOUT_TABLE                                                                                            \
  {                                                                                                                    \
    SIZE(PluginInfo), FIELD(PluginInfo, configType), FIELD(PluginInfo, configPath), SIZE(PluginEntry),                 \
        FIELD(PluginEntry, call), FIELD(PluginEntry, info), FIELD(PluginEntry, state), SIZE(PluginList),               \
        FIELD(PluginList, count), SIZE(ServerContext), FIELD(ServerContext, shuttingDown),                             \
        FIELD(ServerContext, serverValue), FIELD(ServerContext, serverName), FIELD(ServerContext, control),            \
        SIZE(WebServerThreadData), FIELD(WebServerThreadData, web_thread_count), FIELD(WebServerThreadData, state),    \
        FIELD(WebServerThreadData, config), FIELD(WebServerThreadData, agentMaster),                                   \
        FIELD(WebServerThreadData, logCallback), SIZE(WebAppInitRecord), FIELD(WebAppInitRecord, unicode),             \
        FIELD(WebAppInitRecord, bodyByMethod), FIELD(WebAppInitRecord, connTypes),                                     \
        FIELD(WebAppInitRecord, description), FIELD(WebAppInitRecord, configPath), FIELD(WebAppInitRecord, pluginGet), \
        SIZE(WebAppRequestRecord), FIELD(WebAppRequestRecord, url), FIELD(WebAppRequestRecord, allocate),              \
        SIZE(UTILKW), FIELD(UTILKW, value)                                                                             \
  }

static const RecordLayoutEntry layoutInC[] = RECORD_LAYOUT_TABLE;

const RecordLayoutEntry* recordLayoutC(size_t* count) {
  *count = sizeof layoutInC / sizeof layoutInC[0];
  return layoutInC;
}
