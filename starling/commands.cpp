// The persistence command entry shared by the HTTP route, the administration
// topic, the command files and the remote link.
#include <strings.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <json-c/json.h>

#include "appkit.h"
#include "persist.h"
#include "starling.h"
#include "yxlogon.h"

namespace {

const char* const kOpNames[] = {"CreatePersistenceTopic", "AlterPersistenceTopic", "RenamePersistenceTopic",
                                "DeletePersistenceTopic", "PausePersistenceTopic", "ResumePersistenceTopic"};

void logWith(LogCallback log, int code, const char* text) {
  if (log != nullptr) log(text, code);
}

// The broker's own database credentials, for the origins that are trusted:
// the administration application's pass-through (behind its token), command
// files on the server's disk, the replay of stored topics at start. Server
// and database stay open so that the command's defaults apply.
std::unique_ptr<ZVDatabaseConfig> brokerCommandConfig() {
  StarlingBroker& b = starlingBroker();
  const char* user = b.dbConfig != nullptr ? b.dbConfig->user : nullptr;
  const char* password = b.dbConfig != nullptr ? b.dbConfig->password : nullptr;
  return std::make_unique<ZVDatabaseConfig>(nullptr, user, password, nullptr);
}

// A JSON text member whole: false when absent or not a text; *whole false
// when it holds a NUL byte (refused, never cut at it).
bool jsonText(json_object* json, const char* key, std::string* out, bool* whole) {
  json_object* value = nullptr;
  if (json == nullptr || !json_object_object_get_ex(json, key, &value) || !json_object_is_type(value, json_type_string))
    return false;
  const char* text = json_object_get_string(value);
  int length = json_object_get_string_len(value);
  *whole = !yx::hasNulByte(text, static_cast<size_t>(length));
  out->assign(text, static_cast<size_t>(length));
  return true;
}

// Failed command logons of MQTT clients: counted, slowed and logged as every
// application's logons are.
yx::LogonGuard& commandLogonGuard() {
  static yx::LogonGuard guard("starling", [](const std::string& line) {
    starlingLog(RL_WRONG_PASSWORD, "starling - %s", line.c_str());
  });
  return guard;
}

// Commands run on several threads: attempts of one source that overlapped
// would each wait out their delay at the same time, so a flood of guesses
// would not be slowed at all. One attempt per address and per user is checked
// at a time; the others queue behind it (every attempt takes its address's
// turn before its user's, so no two wait on each other). Entries live only as
// long as attempts hold them.
class AttemptTurns {
 public:
  class Turn {
   public:
    Turn(std::shared_ptr<std::mutex> first, std::shared_ptr<std::mutex> second)
        : first_(std::move(first)), second_(std::move(second)), firstLock_(*first_), secondLock_(*second_) {}

   private:
    std::shared_ptr<std::mutex> first_, second_;
    std::unique_lock<std::mutex> firstLock_, secondLock_;
  };

  std::unique_ptr<Turn> take(const std::string& user, const std::string& address) {
    std::shared_ptr<std::mutex> byAddress = lockOf("a:" + address);
    std::shared_ptr<std::mutex> byUser = lockOf("u:" + user);
    return std::make_unique<Turn>(std::move(byAddress), std::move(byUser));
  }

 private:
  std::shared_ptr<std::mutex> lockOf(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = locks_.begin(); it != locks_.end();)
      it = it->second.expired() ? locks_.erase(it) : std::next(it);
    std::shared_ptr<std::mutex> held = locks_[key].lock();
    if (!held) {
      held = std::make_shared<std::mutex>();
      locks_[key] = held;
    }
    return held;
  }

  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<std::mutex>> locks_;
};

AttemptTurns& commandAttemptTurns() {
  static AttemptTurns turns;
  return turns;
}

// Parses a command text; null (logged with 10007) when it is not JSON.
json_object* parseCommandText(const void* payload, size_t length, LogCallback log) {
  std::string text(static_cast<const char*>(payload), payload != nullptr ? length : 0);
  json_object* command = zvJsonFromString(text.c_str());
  if (command == nullptr) {
    logWith(log, 10007, "starling - Trying to process the MQTT command, but Json message looks to be malformed:");
    char line[512];
    snprintf(line, sizeof line, "%.256s<JSON truncated to save space in the log file>", text.c_str());
    logWith(log, 10007, line);
  }
  return command;
}

void releaseJson(json_object* json) { zvJsonRelease(json); }
using JsonOwner = std::unique_ptr<json_object, decltype(&releaseJson)>;

}  // namespace

void starlingRegisterCommandTopic(const char* topic, const char* requester) {
  bool isNew = false;
  std::shared_ptr<MQTTTopic> entry = MQTTTopic::CheckTopic(topic, requester, false, nullptr, 0, 0, &isNew);
  // A topic nothing needed may have lost its row to the bound on rows while
  // its entry stayed in memory: the command's tables refer to the row.
  bool rowMissing = false;
  if (!isNew) {
    StarlingDb db;
    rowMissing = MQTTTopic::GetTopicID(db.get(), topic) < 0;
  }
  if (isNew || rowMissing) MQTTConnection::AddTopicsByTopic(topic, MQTTTopic::Persist(entry.get()));
}

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
  // Before the administration mutex: what a command may ask is bounded.
  MQTTPersist::CheckCommandBounds(command);
  StarlingBroker& b = starlingBroker();
  std::unique_ptr<ZVDatabaseConfig> own;
  if (config == nullptr) {
    own = brokerCommandConfig();
    config = own.get();
  }
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
    starlingRegisterCommandTopic(topic, requester);
    _processMQTTSystemRequest(config, operation, topic, requester, command, log);
  } catch (const YXException& e) {
    logWith(log, e.GetErrorCode(), e.GetErrorMsg());
    return e.GetErrorCode();
  }
  return 0;
}

int processPersistenceCommandText(ZVDatabaseConfig* config, const void* payload, size_t length, const char* requester,
                                  LogCallback log) {
  JsonOwner command(parseCommandText(payload, length, log), releaseJson);
  if (command == nullptr) return 10007;
  return processPersistenceCommand(config, command.get(), requester, log);
}

int processClientCommandText(const StarlingClientCredentials& client, const void* payload, size_t length,
                             const char* clientId, LogCallback log) {
  JsonOwner command(parseCommandText(payload, length, log), releaseJson);
  if (command == nullptr) return 10007;
  const char* id = clientId != nullptr ? clientId : "";
  // The command's own credentials, else those of the client's CONNECT.
  std::string user, password;
  bool whole = true, passwordWhole = true;
  bool ownUser = jsonText(command.get(), "databaseUserName", &user, &whole);
  bool ownPassword = jsonText(command.get(), "databaseUserPassword", &password, &passwordWhole);
  if (!ownUser && client.hasUser) user = client.user, whole = client.whole;
  if (!ownUser && !ownPassword && client.hasUser) password = client.password;
  if (user.empty()) {
    logWith(log, RL_UNKNOWN_USER,
            ("starling - Command of client [" + std::string(id) +
             "] refused: it carries no database credentials (databaseUserName and databaseUserPassword, or the user "
             "name and password of its CONNECT).")
                .c_str());
    return RL_UNKNOWN_USER;
  }
  StarlingBroker& b = starlingBroker();
  std::string server = b.dbConfig != nullptr && b.dbConfig->server != nullptr ? b.dbConfig->server : "BRENLOXS";
  bool serverWhole = true;
  jsonText(command.get(), "databaseConnectionString", &server, &serverWhole);
  yx::LogonGuard& guard = commandLogonGuard();
  std::unique_ptr<AttemptTurns::Turn> turn = commandAttemptTurns().take(user, client.address);
  guard.beforeAttempt(user, client.address);
  std::string why = "a credential or the server name holds a NUL byte";
  int code = whole && passwordWhole && serverWhole ? appkit::checkEngineLogon(server, user, password, &why)
                                                   : RL_WRONG_PASSWORD;
  if (code != 0) {
    guard.failed(user, client.address);
    char line[1400];
    snprintf(line, sizeof line, "starling - Command of client [%.256s] refused: database logon of user [%.256s] failed - %.700s",
             id, user.c_str(), why.c_str());
    logWith(log, code, line);
    return code;
  }
  guard.succeeded(user, client.address);
  turn.reset();  // the command itself runs beside others of its user
  ZVDatabaseConfig config(nullptr, user.c_str(), password.c_str(), nullptr);
  return processPersistenceCommand(&config, command.get(), id, log);
}

void persistRestartTopics();

void restartPersistenceTopics() { persistRestartTopics(); }
