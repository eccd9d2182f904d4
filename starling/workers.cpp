// The worker threads run when persistence is enabled: command files,
// connection clean-up, statistics publisher and statistics writer.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "starling.h"
#if __has_include("mqtt_clients.h")
#include "mqtt_clients.h"
#define STARLING_HAS_CLIENTS 1
#else
#define STARLING_HAS_CLIENTS 0
#endif

namespace fs = std::filesystem;

namespace {

// Waits `steps` times `stepMs` while the state stays `state`.
void waitWhile(StarlingThread* thread, int state, int steps, int stepMs) {
  for (int i = 0; i < steps && thread->state.load() == state; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
}

// A thread started kThreadNotStarted runs only when no stop came first.
bool claimStart(StarlingThread* thread) {
  int expected = kThreadNotStarted;
  return thread->state.compare_exchange_strong(expected, kThreadRunning) || thread->state.load() == kThreadRunning;
}

// A file written within the last second may still be growing.
bool settled(const fs::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  return time(nullptr) - st.st_mtime >= 1;
}

// The broker closes a client whose packet passes its receive limit (8 MiB),
// its own statistics publisher included: a document stays at half of it.
constexpr size_t kStatisticsDocumentLimit = 4u << 20;

// The document's text, its list cut to the first entries that keep it within
// the limit; a cut document says "truncated" and the entries' "totalCount".
const char* boundedText(json_object* json, const char* listKey) {
  const char* text = zvJsonToString(json);
  if (text == nullptr || strlen(text) <= kStatisticsDocumentLimit) return text;
  json_object* list = nullptr;
  if (!json_object_object_get_ex(json, listKey, &list) || !json_object_is_type(list, json_type_array)) return nullptr;
  size_t total = json_object_array_length(list);
  size_t room = kStatisticsDocumentLimit - 256;  // the list is the document's only large part
  size_t used = 0, kept = 0;
  for (; kept < total; kept++) {
    size_t length = strlen(zvJsonToString(json_object_array_get_idx(list, kept))) + 1;
    if (used + length > room) break;
    used += length;
  }
  json_object_array_del_idx(list, kept, total - kept);
  zvJsonAddBoolean(json, "truncated", true);
  zvJsonAddBigint(json, "totalCount", static_cast<int64_t>(total));
  return zvJsonToString(json);
}

// Rows deleted per table in one pass: a large excess (a lowered bound, a
// flood between two passes) goes over a few passes without holding the
// database for long.
constexpr int64_t kHistoryTrimBatch = 20000;

void trimHistory(int64_t maxRows) {
  try {
    MQTTConnection::TrimHistory(maxRows, kHistoryTrimBatch);
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(), "starling - Failed to trim the history tables - %s", e.GetErrorMsg());
  }
}

}  // namespace

void starlingRunCommandFiles() {
  StarlingBroker& b = starlingBroker();
  fs::path pending = fs::path(b.webDirectory) / "mqtt" / "pending";
  fs::path done = fs::path(b.webDirectory) / "mqtt" / "done";
  std::error_code ec;
  if (!fs::is_directory(pending, ec)) return;
  for (const auto& entry : fs::directory_iterator(pending, ec)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || name[0] == '.' || !entry.is_regular_file(ec) || !settled(entry.path())) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    if (!bytes.empty())
      processPersistenceCommandText(nullptr, bytes.data(), bytes.size(), "internal - command from disk file", b.log);
    // Run once: the file leaves the pending directory whatever the outcome.
    fs::create_directories(done, ec);
    fs::rename(entry.path(), done / name, ec);
    if (ec) {
      starlingLog(ec.value(), "starling - Not able to move command file [%s] aside - %s", name.c_str(),
                  ec.message().c_str());
      fs::remove(entry.path(), ec);
    }
  }
}

void _processThrdFunction(StarlingThread* thread) {
  while (thread->state.load() == kThreadRunning) {
    starlingRunCommandFiles();
    waitWhile(thread, kThreadRunning, 100, 50);
  }
  thread->state = kThreadEnded;
}

void _cleanConnThrdFunction(StarlingThread* thread) {
  StarlingBroker& b = starlingBroker();
  while (thread->state.load() == kThreadRunning) {
    for (nev_broker_session* session : MQTTConnection::IdleSessions(starlingTickMs())) starlingCloseSession(session);
    try {
      std::lock_guard<std::mutex> lock(b.poolListMutex);
      for (auto* pool : b.poolList) pool->CleanIdle();
    } catch (const YXException& e) {
      starlingLog(e.GetErrorCode(), "starling - Failed to clean unused connections from the pool - %s",
                  e.GetErrorMsg());
    }
    trimHistory(b.historyMaxRows);
    try {
      MQTTTopic::TrimRows(b.topicMaxRows);
    } catch (const YXException& e) {
      starlingLog(e.GetErrorCode(), "starling - Failed to trim the topic table - %s", e.GetErrorMsg());
    }
    waitWhile(thread, kThreadRunning, 100, 50);
  }
  thread->state = kThreadEnded;
}

void _statisticsThrdFunction(StarlingThread* thread) {
  StarlingBroker& b = starlingBroker();
#if STARLING_HAS_CLIENTS
  std::unique_ptr<MQTTLocalSys> client;
  try {
    client = std::make_unique<MQTTLocalSys>(b.log, STARLING_STATISTICS_CLIENT_ID, b.statisticsPassword.c_str());
  } catch (const YXException& e) {
    starlingLog(e.GetErrorCode(),
                "starling - Failed to connect local broker for statistics - %s - or server is shutting down.",
                e.GetErrorMsg());
    thread->state = kThreadEnded;
    return;
  }
  if (!claimStart(thread)) {
    starlingLog(150, "starling - Failed to connect local broker for statistics or server is shutting down.");
    client.reset();
    thread->state = kThreadEnded;
    return;
  }
  struct Source {
    const char* topic;
    json_object* (*info)();
    const char* listKey;
  };
  const Source sources[] = {{"brenloxAdmin/connections", MQTTConnection::GetInfo, "connectionList"},
                            {"brenloxAdmin/subscribers", MQTTSubscriber::GetInfo, "subscriberList"},
                            {"brenloxAdmin/topics", MQTTTopic::GetInfo, "topicList"}};
  int stepMs = b.statisticsInterval * 1000 / 100;
  for (;;) {
    for (const Source& source : sources) {
      try {
        zvJsonPtr json(source.info());
        const char* text = boundedText(json.get(), source.listKey);
        client->Publish(source.topic, text != nullptr ? text : "{}");
      } catch (const YXException& e) {
        starlingLog(e.GetErrorCode(), "starling - Failed to publish statistic message - %s", e.GetErrorMsg());
      }
    }
    waitWhile(thread, kThreadRunning, 100, stepMs);
    int state = thread->state.load();
    if (state == kThreadPublishNow) {
      int expected = kThreadPublishNow;
      thread->state.compare_exchange_strong(expected, kThreadRunning);
      continue;
    }
    if (state != kThreadRunning) break;
  }
  client.reset();
#else
  (void)b;
#endif
  thread->state = kThreadEnded;
}

void _persistStatisticsThrdFunction(StarlingThread* thread) {
  StarlingBroker& b = starlingBroker();
  if (!claimStart(thread)) {
    thread->state = kThreadEnded;
    return;
  }
  int stepMs = b.statisticsPersistInterval * 1000 / 100;
  while (thread->state.load() == kThreadRunning) {
    try {
      MQTTTopic::PersistAll();
    } catch (const YXException& e) {
      starlingLog(e.GetErrorCode(), "starling - Failed to persist topic information - %s", e.GetErrorMsg());
    }
    waitWhile(thread, kThreadRunning, 100, stepMs);
  }
  thread->state = kThreadEnded;
}
