// "login": a database session logged on with the caller's credentials,
// registered under a new token.
#include "wren.h"

namespace wren {

void login(Call& call) {
  traceMethod("login");
  std::string user = readText(call.params, "username", "");
  std::string password = readText(call.params, "password", "");
  if (user.empty() || password.empty()) {
    setError(call.reply, -1, "Username or Password missing or isn't a string.");
    return;
  }
  auto entry = std::make_shared<AuthEntry>();
  entry->password = password;
  entry->session = std::make_unique<EasySession>();
  try {
    // The round trip to the server runs outside the registry's lock; a
    // refused log-on frees its session with the entry.
    entry->session->Logon(kLinkedServer, user, password);
  } catch (const ZVException& refused) {
    setError(call.reply, refused.GetErrorCode(), refused.GetErrorMsg());
    return;
  }
  std::string token = registerLogin(std::move(entry));
  if (token.empty()) {
    setError(call.reply, -1, "Too many log-ins: try again when others have ended.");
    return;
  }
  call.result()["authToken"] = token;
}

}  // namespace wren
