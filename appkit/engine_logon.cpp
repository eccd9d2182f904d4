// The engine credential check of the applications that link the engine.
#include "appkit.h"
#include "ravlink.h"

namespace appkit {

int checkEngineLogon(const std::string& server, const std::string& user, const std::string& password,
                     std::string* why) {
  int32_t previousOwner = rlGetCurrentOwner();
  int code = 0;
  try {
    ZVSession session(2);
    session.Logon(server.c_str(), user.c_str(), password.c_str());
    session.Logout();
  } catch (const ZVException& e) {
    code = e.GetErrorCode() != 0 ? e.GetErrorCode() : RL_WRONG_PASSWORD;
    *why = e.GetErrorMsg();
  }
  // The log-on made its owner current on this thread.
  if (rlSetCurrentOwner(previousOwner) != 0) rlSetCurrentOwner(-1);
  return code;
}

}  // namespace appkit
