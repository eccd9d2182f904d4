// The administration application: its entry points, the function table, and
// the login tokens with their idle reaper.
#include <strings.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "../internal.h"
#include "admin.h"
#include "ravlink.h"

namespace osprey::admin {

namespace {

constexpr int32_t kDefaultIdleSeconds = 600;
constexpr const char* kIdleVariable = "OSPREY_ADMIN_TOKEN_IDLE_SECONDS";
constexpr int kReaperPauseMs = 5000;
constexpr size_t kUserNameMax = 64;
constexpr size_t kPasswordMax = 1024;
constexpr size_t kRandomBytes = 64;
constexpr int kWrongPassword = 450;
constexpr int kUnknownUser = 451;

constexpr const char* kLoginFunction = "adminLogin";

// One login token. Keyed in the table by the SHA-256 of its text, so that
// finding it compares digests and never the secret itself.
class ConnToken {
 public:
  virtual ~ConnToken() {
    explicit_bzero(token.data(), token.size());
    explicit_bzero(credential.data(), credential.size());
  }
  uint64_t lastUse = 0;  // tick count, milliseconds
  int32_t timeout = kDefaultIdleSeconds;
  int32_t count = 0;       // logins sharing the token
  std::string token;       // 128 upper-case hexadecimal characters
  std::string credential;  // keyed digest of the credentials, to find the token of a second login
};

struct FunctionEntry {
  AdminFunction function;
};

int32_t adminLogin(const char* token, json_object* request, json_object* reply);
int32_t adminLogout(const char* token, json_object* request, json_object* reply);

// The table's rows, in the order they are added.
const struct {
  const char* name;
  FunctionEntry entry;
} kFunctions[] = {
    {"adminLogin", {adminLogin}},
    {"adminLogout", {adminLogout}},
    {"adminGetServiceList", {adminGetServiceList}},
    {"adminGetServiceConfig", {adminGetServiceConfig}},
    {"adminSaveServiceConfig", {adminSaveServiceConfig}},
    {"adminGetServiceConfigVersionList", {adminGetServiceConfigVersionList}},
    {"adminRestartService", {adminRestartService}},
    {"adminStopService", {adminStopService}},
    {"adminStartService", {adminStartService}},
    {"adminSetAuthentication", {adminSetAuthentication}},
    {"integration/mqtt", {zvAdminMQTTExec}},
};

// Process-wide state of the application. Never destroyed: a process that
// ends without term must not meet a running reaper in a destructor.
struct AdminState {
  std::mutex mutex;  // every router call, and the reaper's walk
  std::unique_ptr<YXHashTable<FunctionEntry>> functions;
  std::unique_ptr<YXHashTable<ConnToken>> tokens;
  std::thread reaper;
  std::condition_variable reaperWake;
  bool stopping = false;
  std::string documentRoot = "./web";
  int32_t idleSeconds = kDefaultIdleSeconds;
  // Keys the credential digests: without it nobody can tell from a digest
  // which credentials made it.
  uint8_t credentialKey[kRandomBytes] = {};
};

AdminState& state() {
  static AdminState* instance = new AdminState;
  return *instance;
}

void randomBytes(uint8_t* out, size_t size) {
  while (size > 0) {
    ssize_t got = getrandom(out, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) yxThrowSysError("randomBytes", errno, "No random bytes for a token", __FILE__, __LINE__);
    out += got;
    size -= static_cast<size_t>(got);
  }
}

// Compares without stopping at the first difference.
bool constantTimeEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

std::string tableKey(const char* token) { return sha2Hex(token, std::strlen(token), 32); }

bool expired(const ConnToken& token, uint64_t now) {
  return now - token.lastUse >= static_cast<uint64_t>(token.timeout) * 1000;
}

// SHA-512 of secret bytes, the user and the password, a NUL between the two
// so that no two pairs give the same text.
std::string keyedDigest(const uint8_t* secret, const std::string& user, const std::string& password) {
  std::string text(reinterpret_cast<const char*>(secret), kRandomBytes);
  text += user;
  text += '\0';
  text += password;
  std::string digest = sha2Hex(text.data(), text.size(), 64);
  explicit_bzero(text.data(), text.size());
  return digest;
}

int32_t answer(json_object* reply, int32_t code, const char* text) { return zvJsonSetError(code, text, reply); }

int32_t answerFormatted(json_object* reply, int32_t code, const char* context, const char* message) {
  char text[kMessageSize];
  snprintf(text, sizeof text, "%s - %s", context, message);
  return zvJsonSetError(code, text, reply);
}

// Removes every token whose idle time is up. The caller holds the admin mutex.
void reapTokens(YXHashTable<ConnToken>& tokens) {
  uint64_t now = yxTickCount64();
  tokens.Lock();
  for (int32_t i = tokens.count - 1; i >= 0; --i) {
    if (!expired(*tokens.items[i]->value, now)) continue;
    try {
      tokens.Remove(tokens.items[i]->key);
    } catch (const YXException&) {
      // Gone already: nothing to reap.
    }
  }
  tokens.Unlock();
}

void reaperLoop() {
  AdminState& s = state();
  std::unique_lock<std::mutex> hold(s.mutex);
  while (s.tokens && !s.stopping) {
    reapTokens(*s.tokens);
    s.reaperWake.wait_for(hold, std::chrono::milliseconds(kReaperPauseMs));
  }
}

// The live token of the credentials, or null; expired ones met are removed.
ConnToken* findByCredential(YXHashTable<ConnToken>& tokens, const std::string& credential) {
  reapTokens(tokens);
  YXMutexLock hold(tokens.mutex);
  for (int32_t i = 0; i < tokens.count; ++i) {
    ConnToken* token = tokens.items[i]->value;
    if (constantTimeEqual(token->credential, credential)) return token;
  }
  return nullptr;
}

// Logs on to the local database server and off again: 0, or the engine's
// code with its message.
int checkCredentials(const std::string& user, const std::string& password, std::string* message) {
  std::string server = localServerName();
  int32_t owner = rlGetCurrentOwner();
  int code = 0;
  try {
    ZVSession session(2);
    session.Logon(server.c_str(), user.c_str(), password.c_str());
    session.Logout();
  } catch (const ZVException& e) {
    code = e.GetErrorCode();
    *message = e.GetErrorMsg();
  }
  // The logon made its owner current on this connection's thread.
  rlSetCurrentOwner(owner);
  return code;
}

int32_t newToken(YXHashTable<ConnToken>& tokens, const std::string& user, const std::string& password,
                 const std::string& credential, json_object* reply, std::string* text) {
  uint8_t salt[kRandomBytes];
  randomBytes(salt, sizeof salt);
  auto token = std::make_unique<ConnToken>();
  token->token = keyedDigest(salt, user, password);
  explicit_bzero(salt, sizeof salt);
  token->credential = credential;
  token->timeout = state().idleSeconds;
  token->lastUse = yxTickCount64();
  token->count = 1;
  std::string key = tableKey(token->token.c_str());
  try {
    if (!tokens.Add(key.c_str(), token.get()))
      return answer(reply, kErrAlloc,
                    "Unexpected exception - Not able to generate connection token for the given user name and "
                    "password.");
  } catch (const YXException& e) {
    return answerFormatted(reply, e.GetErrorCode(), "zvGalenaLogin - Unexpected exception", e.GetErrorMsg());
  }
  *text = token.release()->token;
  return 0;
}

int32_t adminLogin(const char*, json_object* request, json_object* reply) {
  AdminState& s = state();
  if (!s.tokens)
    return answer(reply, kErrNoTokenTable,
                  "Unexpected exception - Token list is not allocated. Please restart server.");
  const char* userName = nullptr;
  if (request == nullptr || !zvJsonGetStringByName(request, "username", &userName) || userName == nullptr ||
      userName[0] == '\0')
    return answer(reply, kErrInvalid, "Invalid parameter - Missing user name property at the request.");
  // A longer name would be cut to another user's.
  if (std::strlen(userName) > kUserNameMax)
    return answer(reply, kErrInvalid, "Invalid parameter - The user name is longer than 64 characters.");
  const char* password = nullptr;
  if (!zvJsonGetStringByName(request, "password", &password) || password == nullptr)
    return answer(reply, kErrInvalid, "Invalid parameter - Missing user password property at the request.");
  if (std::strlen(password) > kPasswordMax)
    return answer(reply, kErrInvalid, "Invalid parameter - The user password is longer than 1024 characters.");
  std::string user = userName;
  for (char& c : user) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

  std::string message;
  int code = checkCredentials(user, password, &message);
  if (code == kWrongPassword || code == kUnknownUser)
    return answer(reply, kErrInvalid, "Invalid parameter - Not able to log on with the given user name and password.");
  if (code != 0)
    return answerFormatted(reply, code, "zvGalenaLogin - Not able to check the user at the local server",
                           message.c_str());

  std::string credential = keyedDigest(s.credentialKey, user, password);
  std::string text;
  if (ConnToken* living = findByCredential(*s.tokens, credential)) {
    living->count++;
    living->lastUse = yxTickCount64();
    text = living->token;
  } else {
    int32_t result = newToken(*s.tokens, user, password, credential, reply, &text);
    if (result != 0) return result;
  }
  zvJsonSetError(0, "Success", reply);
  zvJsonAddString(reply, "token", text.c_str());
  return 0;
}

int32_t adminLogout(const char* token, json_object*, json_object* reply) {
  YXHashTable<ConnToken>& tokens = *state().tokens;
  std::string key = tableKey(token);
  ConnToken* found = tokens.Get(key.c_str());
  if (found->count < 2) {
    try {
      tokens.Remove(key.c_str());
    } catch (const YXException& e) {
      return answerFormatted(reply, e.GetErrorCode(), "Not able to clean connection token", e.GetErrorMsg());
    }
  } else {
    found->count--;
  }
  return answer(reply, 0, "Success");
}

// 0 when the token lives (its idle time starts again), else the code with
// the reply filled.
int32_t checkToken(const char* token, json_object* reply) {
  AdminState& s = state();
  if (!s.tokens)
    return answer(reply, kErrNoTokenTable,
                  "Unexpected exception - Token list is not allocated. Please restart server.");
  if (token == nullptr || token[0] == '\0') return answer(reply, kErrMissing, "Missing connection token.");
  std::string key = tableKey(token);
  ConnToken* found = s.tokens->Get(key.c_str());
  uint64_t now = yxTickCount64();
  if (found != nullptr && expired(*found, now)) {
    s.tokens->Remove(key.c_str());
    found = nullptr;
  }
  if (found == nullptr || !constantTimeEqual(found->token, token))
    return answer(reply, kErrInvalid,
                  "Invalid parameter - Not able to find login object for the given token. Please check if token "
                  "is valid or call adminLogin again to reconnect.");
  found->lastUse = now;
  return 0;
}

int32_t idleSecondsFromEnvironment() {
  const char* text = getenv(kIdleVariable);
  if (text == nullptr || text[0] == '\0') return kDefaultIdleSeconds;
  char* end = nullptr;
  long seconds = strtol(text, &end, 10);
  if (*end != '\0' || seconds < 1 || seconds > kDefaultIdleSeconds) {
    logf(kErrInvalid, "osprey - %s [%s] is not a number of seconds from 1 to %d; %d is used", kIdleVariable, text,
         kDefaultIdleSeconds, kDefaultIdleSeconds);
    return kDefaultIdleSeconds;
  }
  return static_cast<int32_t>(seconds);
}

void createTables(AdminState& s) {
  auto functions = std::make_unique<YXHashTable<FunctionEntry>>(11);
  functions->ownsValues = 0;
  for (const auto& row : kFunctions)
    if (!functions->Add(row.name, const_cast<FunctionEntry*>(&row.entry)))
      YX_THROW("init", YX_KIND_SYSTEM, kErrAlloc, "Not able to fill the admin function table");
  s.functions = std::move(functions);
}

void stopReaper(AdminState& s) {
  {
    std::lock_guard<std::mutex> hold(s.mutex);
    s.tokens.reset();
    s.stopping = true;
  }
  s.reaperWake.notify_all();
  if (s.reaper.joinable()) s.reaper.join();
}

}  // namespace

const std::string& documentRoot() { return state().documentRoot; }

int32_t tokenIdleSeconds() { return state().idleSeconds; }

}  // namespace osprey::admin

using namespace osprey::admin;

extern "C" {

OSPREY_EXPORT int32_t init(WebAppInitRecord* record, char* error, WebServerThreadData*) {
  AdminState& s = state();
  snprintf(record->description, kMessageSize, "%s", "Admin Application");
  record->configType = "";
  record->configPath[0] = '\0';
  error[0] = '\0';
  stopReaper(s);  // an init without its term: start afresh
  std::lock_guard<std::mutex> hold(s.mutex);
  s.documentRoot = record->documentRoot != nullptr && record->documentRoot[0] != '\0' ? record->documentRoot : "./web";
  s.idleSeconds = idleSecondsFromEnvironment();
  try {
    createTables(s);
    randomBytes(s.credentialKey, sizeof s.credentialKey);
  } catch (const YXException& e) {
    snprintf(error, kMessageSize, "Not able to create mutex for admin web application - %.900s", e.GetErrorMsg());
    return e.GetErrorCode();
  }
  try {
    s.tokens = std::make_unique<YXHashTable<ConnToken>>(100);
  } catch (const YXException& e) {
    snprintf(error, kMessageSize, "Not able to create connection token hash table - %.900s", e.GetErrorMsg());
    return e.GetErrorCode();
  }
  s.stopping = false;
  try {
    s.reaper = std::thread(reaperLoop);
  } catch (const std::system_error& e) {
    s.tokens.reset();
    snprintf(error, kMessageSize, "Not able to create the inactive check thread - %d - Couldn't create thread - %s",
             e.code().value(), e.what());
    return e.code().value();
  }
  return 0;
}

OSPREY_EXPORT int32_t term(char* error) {
  stopReaper(state());
  error[0] = '\0';
  return 0;
}

OSPREY_EXPORT int32_t router(const char* function, const char* token, json_object* request, json_object** reply) {
  if (reply == nullptr) return 0;
  *reply = zvJsonAlloc();
  if (*reply == nullptr) return 0;
  AdminState& s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  const char* name = function != nullptr ? function : "";
  try {
    if (!s.functions)
      return answer(*reply, kErrNotActive,
                    "Web application not active - admin function hash table is not allocated yet.");
    FunctionEntry* entry = s.functions->Get(name);
    if (entry == nullptr) {
      char text[kMessageSize];
      snprintf(text, sizeof text, "Function [%.900s] not found", name);
      return answer(*reply, kErrFunctionNotFound, text);
    }
    if (std::strcmp(name, kLoginFunction) != 0) {
      int32_t code = checkToken(token, *reply);
      if (code != 0) return code;
    }
    return entry->function(token, request, *reply);
  } catch (const YXException& e) {
    // What the function had put in the reply is no answer any more.
    zvJsonRelease(*reply);
    *reply = zvJsonAlloc();
    return answerFormatted(*reply, e.GetErrorCode(), "Unexpected zvGalena router exception", e.GetErrorMsg());
  } catch (...) {
    zvJsonRelease(*reply);
    *reply = zvJsonAlloc();
    return answer(*reply, kErrNotActive, "Unhandled exception");
  }
}

}  // extern "C"
