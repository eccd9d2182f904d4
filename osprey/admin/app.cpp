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
#include "appkit.h"
#include "ravlink.h"
#include "yxlogon.h"

namespace osprey::admin {

namespace {

constexpr int32_t kDefaultIdleSeconds = 600;
constexpr const char* kIdleVariable = "OSPREY_ADMIN_TOKEN_IDLE_SECONDS";
constexpr auto kReaperPause = std::chrono::milliseconds(5000);
constexpr size_t kUserNameMax = 64;
constexpr size_t kPasswordMax = 1024;
constexpr size_t kRandomBytes = 64;
constexpr int kWrongPassword = 450;
constexpr int kUnknownUser = 451;

constexpr const char* kLoginFunction = "adminLogin";
constexpr size_t kSmallBodyMax = 64 * 1024;
constexpr size_t kCommandBodyMax = 1024 * 1024;
constexpr size_t kSaveBodyMax = 8 * 1024 * 1024;

// One login token. Keyed in the table by the SHA-256 of its text, so that
// finding it compares digests and never the secret itself.
class ConnToken {
 public:
  virtual ~ConnToken() {
    explicit_bzero(token.data(), token.size());
    explicit_bzero(credential.data(), credential.size());
  }
  int32_t count = 0;       // logins sharing the token
  std::string token;       // 128 upper-case hexadecimal characters
  std::string credential;  // keyed digest of the credentials, to find the token of a second login
};

struct FunctionEntry {
  AdminFunction function;
  // Runs outside the admin mutex (after the token check): it checks a
  // password, which costs a key derivation, and shares no state it guards.
  bool unlocked = false;
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
    {"adminSetAuthentication", {adminSetAuthentication, true}},
    {"integration/mqtt", {zvAdminMQTTExec}},
};

// Process-wide state of the application. Never destroyed: a process that
// ends without term must not meet a running reaper in a destructor.
struct AdminState {
  std::mutex mutex;  // every router call, and the reaper's walk
  std::unique_ptr<YXHashTable<FunctionEntry>> functions;
  // Keyed by the SHA-256 of the token text; a token unused for the idle time is gone.
  std::unique_ptr<appkit::TokenRegistry<std::unique_ptr<ConnToken>>> tokens;
  appkit::IdleReaper reaper;
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

using TokenTable = appkit::TokenRegistry<std::unique_ptr<ConnToken>>;

void reaperTurn() {
  AdminState& s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  if (s.tokens) s.tokens->expire();
}

// The live token of the credentials, or null; expired ones are removed.
ConnToken* findByCredential(TokenTable& tokens, const std::string& credential) {
  tokens.expire();
  auto* found = tokens.findIf(
      [&](const std::unique_ptr<ConnToken>& token) { return constantTimeEqual(token->credential, credential); });
  return found ? found->get() : nullptr;
}

}  // namespace

// Logs on to the local database server and off again: 0, or the engine's
// code with its message.
int checkCredentials(const std::string& user, const std::string& password, std::string* message) {
  return appkit::checkEngineLogon(localServerName(), user, password, message);
}

namespace {

int32_t newToken(TokenTable& tokens, const std::string& user, const std::string& password,
                 const std::string& credential, json_object* reply, std::string* text) {
  uint8_t salt[kRandomBytes];
  randomBytes(salt, sizeof salt);
  auto token = std::make_unique<ConnToken>();
  token->token = keyedDigest(salt, user, password);
  explicit_bzero(salt, sizeof salt);
  token->credential = credential;
  token->count = 1;
  std::string key = tableKey(token->token.c_str());
  *text = token->token;
  try {
    tokens.add(key, std::move(token));
  } catch (const std::bad_alloc&) {
    text->clear();
    return answer(reply, kErrAlloc,
                  "Unexpected exception - Not able to generate connection token for the given user name and "
                  "password.");
  }
  return 0;
}

// A text member of the request with its whole length: JSON may carry a NUL
// byte inside a string, where a C string would end early.
bool textMember(json_object* request, const char* name, std::string* text) {
  json_object* value = nullptr;
  if (request == nullptr || !json_object_object_get_ex(request, name, &value) ||
      json_object_get_type(value) != json_type_string)
    return false;
  text->assign(json_object_get_string(value), static_cast<size_t>(json_object_get_string_len(value)));
  return true;
}

yx::LogonGuard& logonGuard() {
  static yx::LogonGuard* guard =
      new yx::LogonGuard("osprey admin", [](const std::string& line) { logf(-1, "osprey - %s", line.c_str()); });
  return *guard;
}

// Runs without the admin mutex: checking a password costs a key derivation,
// and a flood of wrong ones must not hold every other administration call.
int32_t adminLogin(const char*, json_object* request, json_object* reply) {
  std::string user;
  if (!textMember(request, "username", &user) || user.empty())
    return answer(reply, kErrInvalid, "Invalid parameter - Missing user name property at the request.");
  // A longer name would be cut to another user's.
  if (user.size() > kUserNameMax)
    return answer(reply, kErrInvalid, "Invalid parameter - The user name is longer than 64 characters.");
  std::string password;
  if (!textMember(request, "password", &password))
    return answer(reply, kErrInvalid, "Invalid parameter - Missing user password property at the request.");
  if (password.size() > kPasswordMax)
    return answer(reply, kErrInvalid, "Invalid parameter - The user password is longer than 1024 characters.");
  // Cut at the NUL, "ADMIN\0x" would log on as ADMIN.
  if (yx::hasNulByte(user.data(), user.size()) || yx::hasNulByte(password.data(), password.size()))
    return answer(reply, kErrInvalid, "Invalid parameter - The user name or password holds a NUL character.");
  for (char& c : user) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

  const std::string address = VOKTClientAddress();
  yx::LogonGuard& guard = logonGuard();
  guard.beforeAttempt(user, address);
  std::string message;
  int code = checkCredentials(user, password, &message);
  if (code == kWrongPassword || code == kUnknownUser) {
    guard.failed(user, address);
    return answer(reply, kErrInvalid, "Invalid parameter - Not able to log on with the given user name and password.");
  }
  if (code != 0)
    return answerFormatted(reply, code, "zvGalenaLogin - Not able to check the user at the local server",
                           message.c_str());
  guard.succeeded(user, address);

  AdminState& s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  if (!s.tokens)
    return answer(reply, kErrNoTokenTable,
                  "Unexpected exception - Token list is not allocated. Please restart server.");
  std::string credential = keyedDigest(s.credentialKey, user, password);
  std::string text;
  if (ConnToken* living = findByCredential(*s.tokens, credential)) {
    living->count++;
    text = living->token;
    s.tokens->find(tableKey(text.c_str()));  // its idle time starts again
  } else {
    int32_t result = newToken(*s.tokens, user, password, credential, reply, &text);
    if (result != 0) return result;
  }
  zvJsonSetError(0, "Success", reply);
  zvJsonAddString(reply, "token", text.c_str());
  return 0;
}

int32_t adminLogout(const char* token, json_object*, json_object* reply) {
  TokenTable& tokens = *state().tokens;
  std::string key = tableKey(token);
  std::unique_ptr<ConnToken>* found = tokens.find(key, false);  // the router checked it a moment ago
  if (found == nullptr || (*found)->count < 2)
    tokens.remove(key);
  else
    (*found)->count--;
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
  std::unique_ptr<ConnToken>* found = s.tokens->find(tableKey(token));  // an expired one is removed
  if (found == nullptr || !constantTimeEqual((*found)->token, token))
    return answer(reply, kErrInvalid,
                  "Invalid parameter - Not able to find login object for the given token. Please check if token "
                  "is valid or call adminLogin again to reconnect.");
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
  }
  s.reaper.stop();
}

}  // namespace

int64_t adminBodyLimit(const char* function) {
  if (function == nullptr) return kSmallBodyMax;
  // A 4 MiB configuration as JSON text: its quotes, backslashes and line
  // ends escaped, twice its length leaves room for them.
  if (strcasecmp(function, "adminSaveServiceConfig") == 0) return kSaveBodyMax;
  if (strcasecmp(function, "integration/mqtt") == 0) return kCommandBodyMax;
  return kSmallBodyMax;
}

zvJsonPtr bodyTooLongReply(int64_t limit) {
  char text[kMessageSize];
  snprintf(text, sizeof text, "Invalid parameter - The request body is longer than %lld bytes.",
           static_cast<long long>(limit));
  zvJsonPtr reply(zvJsonAlloc());
  zvJsonSetError(kErrInvalid, text, reply.get());
  return reply;
}

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
    s.tokens = std::make_unique<TokenTable>(int64_t(s.idleSeconds) * 1000);
  } catch (const std::bad_alloc& e) {
    snprintf(error, kMessageSize, "Not able to create connection token hash table - %.900s", e.what());
    return kErrAlloc;
  }
  try {
    s.reaper.start(kReaperPause, reaperTurn);
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
  const char* name = function != nullptr ? function : "";
  try {
    // The log-in takes the mutex itself, only for the token table.
    if (std::strcmp(name, kLoginFunction) == 0) {
      {
        std::lock_guard<std::mutex> hold(s.mutex);
        if (!s.functions)
          return answer(*reply, kErrNotActive,
                        "Web application not active - admin function hash table is not allocated yet.");
      }
      return adminLogin(token, request, *reply);
    }
    std::unique_lock<std::mutex> hold(s.mutex);
    if (!s.functions)
      return answer(*reply, kErrNotActive,
                    "Web application not active - admin function hash table is not allocated yet.");
    FunctionEntry* entry = s.functions->Get(name);
    if (entry == nullptr) {
      char text[kMessageSize];
      snprintf(text, sizeof text, "Function [%.900s] not found", name);
      return answer(*reply, kErrFunctionNotFound, text);
    }
    int32_t code = checkToken(token, *reply);
    if (code != 0) return code;
    if (entry->unlocked) hold.unlock();
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
