// "login": a database session logged on with the caller's credentials,
// registered under a new token.
#include <cstdio>

#include "wren.h"
#include "yxlogon.h"

namespace wren {
namespace {

void logLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Failed log-ons of every connection, counted per user and per address.
yx::LogonGuard& logonGuard() {
  static yx::LogonGuard guard("wren", logLine);
  return guard;
}

bool refusedCredentials(int code) { return code == RL_WRONG_PASSWORD || code == RL_UNKNOWN_USER; }

}  // namespace

void login(Call& call) {
  traceMethod("login");
  std::string user = readText(call.params, "username", "");
  std::string password = readText(call.params, "password", "");
  if (user.empty() || password.empty()) {
    setError(call.reply, -1, "Username or Password missing or isn't a string.");
    return;
  }
  // The engine takes C texts: a NUL inside would cut the credential, and
  // what follows it would never be checked.
  if (yx::hasNulByte(user.data(), user.size()) || yx::hasNulByte(password.data(), password.size())) {
    setError(call.reply, -1, "Username or Password holds a NUL character.");
    return;
  }
  auto entry = std::make_shared<AuthEntry>();
  entry->password = password;
  entry->session = std::make_unique<EasySession>();
  yx::LogonGuard& guard = logonGuard();
  guard.beforeAttempt(user, call.client.address);
  try {
    // The round trip to the server runs outside the registry's lock; a
    // refused log-on frees its session with the entry.
    entry->session->Logon(kLinkedServer, user, password);
  } catch (const ZVException& refused) {
    if (refusedCredentials(refused.GetErrorCode())) guard.failed(user, call.client.address);
    setError(call.reply, refused.GetErrorCode(), refused.GetErrorMsg());
    return;
  }
  guard.succeeded(user, call.client.address);
  entry->user = entry->session->GetUserLogonName();
  entry->connection = call.client.id;
  std::string refusal;
  std::string token = registerLogin(std::move(entry), &refusal);
  if (token.empty()) {
    setError(call.reply, -1, refusal);
    return;
  }
  call.client.authenticated = true;
  call.result()["authToken"] = token;
}

}  // namespace wren
