// MQTTRemoteSysPersist: the link to a remote broker. Messages received on its
// system topic run as persistence commands here; with forwarding on, every
// publication of this broker goes to the remote one.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "ZVDatabasePooled.h"
#include "appkit.h"
#include "mqtt_clients.h"

namespace {

constexpr int CONFIG_LINE_SIZE = 1024;

bool missing(const OwnedText& text) { return text == nullptr || *text == '\0'; }
bool missing(const char* text) { return text == nullptr || *text == '\0'; }

// Closes the configuration file on every path.
struct FileCloser {
  void operator()(FILE* file) const noexcept { fclose(file); }
};

}  // namespace

MQTTRemoteSysPersist::MQTTRemoteSysPersist(const char* localServerName, LogCallback log)
    : MQTTSubscription(log), localServer_(dupStr(localServerName)), queue_(new YXQueue(MQTT_REMOTE_QUEUE_CAPACITY)) {
  _loadKeywords();
  if (missing(GetBrokerHost()))
    YX_THROW("MQTTRemoteSysPersist::MQTTRemoteSysPersist", YX_KIND_OPERATION, 0, "Remote System topic not set.");
  if ((missing(GetBrokerUser()) || missing(GetBrokerPass())) && !missing(brokerAuthFile_)) {
    char* user = nullptr;
    char* password = nullptr;
    _readAuthFile(brokerAuthFile_.get(), &user, &password);
    OwnedText userCopy(user), passwordCopy(password);
    SetBrokerUser(user);
    SetBrokerPass(password);
  }
  if ((missing(localUser_) || missing(localPass_)) && !missing(localAuthFile_)) {
    char* user = nullptr;
    char* password = nullptr;
    _readAuthFile(localAuthFile_.get(), &user, &password);
    localUser_.reset(user);
    localPass_.reset(password);
  }
  // Last step: when it throws, it has already ended the thread it started.
  _startSubscription();
}

MQTTRemoteSysPersist::~MQTTRemoteSysPersist() {
  // The client thread calls ProcessPub and reads the queue and the local
  // credentials: it ends before any of them goes.
  _stopSubscription();
}

// The broker's keyword file rule (appkit's documented one), its key and
// value cut out of the line in place.
bool MQTTRemoteSysPersist::_cfgscan(char* line, char** keyword, char** value) {
  appkit::KeywordLine parsed;
  if (!appkit::parseKeywordLine(line, appkit::KeywordRules{}, &parsed)) return false;
  char* keyEnd = line + (parsed.key.data() - line) + parsed.key.size();
  char* valueEnd = line + (parsed.value.data() - line) + parsed.value.size();
  *keyword = line + (parsed.key.data() - line);
  *value = line + (parsed.value.data() - line);
  *valueEnd = '\0';
  *keyEnd = '\0';
  return true;
}

void MQTTRemoteSysPersist::_applyKeyword(const char* keyword, const char* value) {
  auto is = [keyword](const char* name) { return strcasecmp(keyword, name) == 0; };
  if (is("SYS_BROKER_HOST"))
    SetBrokerHost(value);
  else if (is("SYS_BROKER_PORT"))
    SetBrokerPort(atoi(value));
  else if (is("SYS_BROKER_TOPIC"))
    SetTopic(value);
  else if (is("SYS_BROKER_USER"))
    SetBrokerUser(value);
  else if (is("SYS_BROKER_PASSWORD"))
    SetBrokerPass(value);
  else if (is("SYS_BROKER_AUTH_FILE"))
    brokerAuthFile_.reset(dupStr(value));
  else if (is("SYS_BROKER_SSL_CERT"))
    SetBrokerSSLCert(value);
  else if (is("SYS_BROKER_SSL_CA"))
    SetBrokerSSLCA(value);
  else if (is("LOCAL_USER"))
    localUser_.reset(dupStr(value));
  else if (is("LOCAL_PASSWORD"))
    localPass_.reset(dupStr(value));
  else if (is("LOCAL_AUTH_FILE"))
    localAuthFile_.reset(dupStr(value));
  else if (is("SYS_BROKER_FORWARD"))
    forward_ = strcasecmp(value, "YES") == 0;
}

void MQTTRemoteSysPersist::_loadKeywords() {
  std::unique_ptr<FILE, FileCloser> file(findConfigFile());
  if (file == nullptr) return;
  char line[CONFIG_LINE_SIZE];
  while (fgets(line, sizeof(line), file.get()) != nullptr) {
    char* keyword = nullptr;
    char* value = nullptr;
    if (_cfgscan(line, &keyword, &value)) _applyKeyword(keyword, value);
  }
}

void MQTTRemoteSysPersist::ProcessPub(const char*, size_t, const char* payload, size_t payloadLength, uint16_t, int) {
  // Anyone who may publish on the remote topic sends these: they run with
  // the database user configured for them (LOCAL_USER or LOCAL_AUTH_FILE),
  // never with a default one.
  if (missing(localUser_)) {
    Log("starling - A command from the remote broker was refused: no database user is configured for them "
        "(LOCAL_USER and LOCAL_PASSWORD, or LOCAL_AUTH_FILE, in config/starling.cfg).",
        451);
    return;
  }
  ZVDatabaseConfig config(localServer_.get(), localUser_.get(), localPass_.get() != nullptr ? localPass_.get() : "",
                          nullptr);
  processPersistenceCommandText(&config, payload, payloadLength, GetClientID(), GetWebLog());
}

void MQTTRemoteSysPersist::ForwardPub(const char* topic, size_t topicLength, const char* payload, size_t payloadLength,
                                      uint16_t packetId) {
  if (!forward_) return;
  if (!_enqueueForward(queue_.get(), topicLength + payloadLength, MQTT_REMOTE_QUEUE_MAX_BYTES,
                       [&] { return new MQTTPersistMsg(topic, topicLength, payload, payloadLength, packetId, 0); }))
    _reportDropped();
}

// A link that is down, or slower than the publishers, drops the newest
// publications: counted, and logged at most every MQTT_REMOTE_DROP_LOG_MS.
void MQTTRemoteSysPersist::_reportDropped() {
  uint64_t dropped = dropped_.fetch_add(1) + 1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t nowMs = int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  int64_t last = droppedLogged_.load();
  if (last != 0 && nowMs - last < MQTT_REMOTE_DROP_LOG_MS) return;
  if (!droppedLogged_.compare_exchange_strong(last, nowMs)) return;
  dropped = dropped_.exchange(0);
  char message[YX_MSG_SIZE];
  snprintf(message, sizeof(message),
           "starling - Remote link forward queue full (%d publications or %zu bytes): %llu publications dropped",
           MQTT_REMOTE_QUEUE_CAPACITY, MQTT_REMOTE_QUEUE_MAX_BYTES, static_cast<unsigned long long>(dropped));
  Log(message, MQTT_CLIENT_ERR_QUEUE_FULL);
}
