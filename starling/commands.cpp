// The persistence command entry shared by the HTTP route, the administration
// topic, the command files and the remote link.
#include <strings.h>

#include <cstring>

#include "persist.h"
#include "starling.h"

namespace {

const char* const kOpNames[] = {"CreatePersistenceTopic", "AlterPersistenceTopic", "RenamePersistenceTopic",
                                "DeletePersistenceTopic", "PausePersistenceTopic", "ResumePersistenceTopic"};

void logWith(LogCallback log, int code, const char* text) {
  if (log != nullptr) log(text, code);
}

// Registers the topic a command names, writing its row when it is new.
void registerCommandTopic(const char* topic, const char* requester) {
  bool isNew = false;
  MQTTTopic* entry = MQTTTopic::CheckTopic(topic, requester, false, nullptr, 0, 0, &isNew);
  if (isNew) {
    int id = MQTTTopic::Persist(entry);
    MQTTConnection::AddTopicsByTopic(topic, id);
  }
}

}  // namespace

const char* mqttSysOpName(int op) { return op >= 0 && op < 6 ? kOpNames[op] : "Invalid Operation"; }

void _processMQTTSystemRequest(ZVDatabaseConfig* config, const char* operation, const char* topic,
                               const char* requester, json_object* command, LogCallback log) {
  int op = -1;
  for (int i = 0; operation != nullptr && i < 6; i++)
    if (strcasecmp(operation, kOpNames[i]) == 0) op = i;
  if (op < 0)
    starlingThrow("_processMQTTSystemRequest", 10005,
                  "starling - Trying to execute operation [%s], but it is not supported.",
                  operation != nullptr ? operation : "");
  StarlingBroker& b = starlingBroker();
  if (op == MQTTSYSOP_DELETE)
    MQTTPersist::ExecSysDeleteOp(config, topic, requester, command, log);
  else
    MQTTPersist::ExecSysPersistenceOp(config, topic, requester, op, command, log, b.inactiveTimeout, b.requestTimeout,
                                      b.maxDbConnections);
}

int processPersistenceCommand(ZVDatabaseConfig* config, json_object* command, const char* requester, LogCallback log) {
  const char* operation = nullptr;
  const char* topic = nullptr;
  int code = 0;
  const char* text = nullptr;
  if (command == nullptr) {
    code = 10007, text = "starling - Trying to process the following message, but Json command looks to be invalid:";
  } else if (!zvJsonGetStringByName(command, "operation", &operation)) {
    code = 10010,
    text = "starling - Trying to process the following message, but it was missing the operation property:";
  } else if (!zvJsonGetStringByName(command, "persistenceTopic", &topic)) {
    code = 10011, text = "starling - Trying to process the following message, but it was missing the topic property:";
  }
  if (code != 0) {
    logWith(log, code, text);
    const char* json = command != nullptr ? zvJsonToString(command) : "";
    logWith(log, code, json != nullptr ? json : "");
    try {
      MQTTPersist::AddHistory(topic, json, requester, code, text);
    } catch (const YXException& e) {
      logWith(log, e.GetErrorCode(), e.GetErrorMsg());
      return e.GetErrorCode();
    }
    return code;
  }
  try {
    registerCommandTopic(topic, requester);
    _processMQTTSystemRequest(config, operation, topic, requester, command, log);
  } catch (const YXException& e) {
    logWith(log, e.GetErrorCode(), e.GetErrorMsg());
    return e.GetErrorCode();
  }
  return 0;
}

int processPersistenceCommandText(ZVDatabaseConfig* config, const void* payload, size_t length, const char* requester,
                                  LogCallback log) {
  std::string text(static_cast<const char*>(payload), payload != nullptr ? length : 0);
  json_object* command = zvJsonFromString(text.c_str());
  if (command == nullptr) {
    logWith(log, 10007, "starling - Trying to process the MQTT command, but Json message looks to be malformed:");
    char line[512];
    snprintf(line, sizeof line, "%.256s<JSON truncated to save space in the log file>", text.c_str());
    logWith(log, 10007, line);
    return 10007;
  }
  int result = processPersistenceCommand(config, command, requester, log);
  zvJsonRelease(command);
  return result;
}

void persistRestartTopics();

void restartPersistenceTopics() { persistRestartTopics(); }
