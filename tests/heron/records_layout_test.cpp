// The plug-in and the applications may be built by different compilers and
// languages; each shared record must have one layout for all of them.
#include <gtest/gtest.h>

#include "osprey_plugin.h"
#include "osprey_server.h"
#include "osprey_webapp.h"

#include "records_layout.h"

namespace {

#define FIELD(record, field) \
  { #record "." #field, offsetof(record, field) }
#define SIZE(record) \
  { "sizeof " #record, sizeof(record) }

// The same table as in records_layout_c.c.
const RecordLayoutEntry layoutInCxx[] = {SIZE(PluginInfo),
                                         FIELD(PluginInfo, configType),
                                         FIELD(PluginInfo, configPath),
                                         SIZE(PluginEntry),
                                         FIELD(PluginEntry, call),
                                         FIELD(PluginEntry, info),
                                         FIELD(PluginEntry, state),
                                         SIZE(PluginList),
                                         FIELD(PluginList, count),
                                         SIZE(ServerContext),
                                         FIELD(ServerContext, shuttingDown),
                                         FIELD(ServerContext, serverValue),
                                         FIELD(ServerContext, serverName),
                                         FIELD(ServerContext, control),
                                         SIZE(WebServerThreadData),
                                         FIELD(WebServerThreadData, web_thread_count),
                                         FIELD(WebServerThreadData, state),
                                         FIELD(WebServerThreadData, config),
                                         FIELD(WebServerThreadData, agentMaster),
                                         FIELD(WebServerThreadData, logCallback),
                                         SIZE(WebAppInitRecord),
                                         FIELD(WebAppInitRecord, unicode),
                                         FIELD(WebAppInitRecord, bodyByMethod),
                                         FIELD(WebAppInitRecord, connTypes),
                                         FIELD(WebAppInitRecord, description),
                                         FIELD(WebAppInitRecord, configPath),
                                         FIELD(WebAppInitRecord, pluginGet),
                                         SIZE(WebAppRequestRecord),
                                         FIELD(WebAppRequestRecord, url),
                                         FIELD(WebAppRequestRecord, allocate),
                                         SIZE(UTILKW),
                                         FIELD(UTILKW, value)};

TEST(SharedRecords, CAndCxxAgreeOnEveryLayout) {
  size_t count = 0;
  const RecordLayoutEntry* inC = recordLayoutC(&count);
  ASSERT_EQ(count, std::size(layoutInCxx));
  for (size_t i = 0; i < count; ++i) {
    EXPECT_STREQ(inC[i].what, layoutInCxx[i].what);
    EXPECT_EQ(inC[i].value, layoutInCxx[i].value) << layoutInCxx[i].what;
  }
}

TEST(SharedRecords, ServerStateIsReadAndWrittenInPlace) {
  WebServerThreadData record{};
  EXPECT_EQ(webServerStateLoad(&record), WEB_SERVER_STARTING);
  webServerStateStore(&record, WEB_SERVER_STOP_REQUESTED);
  EXPECT_EQ(record.state, WEB_SERVER_STOP_REQUESTED);
  EXPECT_EQ(webServerStateLoad(&record), WEB_SERVER_STOP_REQUESTED);
}

}  // namespace
