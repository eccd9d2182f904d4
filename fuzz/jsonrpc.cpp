// The JSON-RPC application's request envelope, through its websocket
// handler exactly as the plug-in calls it with a text frame: every request
// gets one reply that is a JSON-RPC 2.0 object. Log-ins go to an engine whose
// data root is a fresh temporary folder.
#include <cstdlib>
#include <string>

#include "VOKTBasic.h"
#include "fuzz_input.h"
#include "ravlink.h"

extern "C" int32_t handler(void *session, const char *data, size_t length, char **reply, size_t *replyLength);

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const std::string root = fuzz::scratch_folder("fuzz_jsonrpc");
  if (!root.empty()) setenv("RAVLINK_DATA", root.c_str(), 1);
  // A logon makes no server: the default one is made here, as the plug-in
  // makes it at start.
  rlCreateServer("BRENLOXS");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fuzz::exact frame(data, size);
  char *reply = nullptr;
  size_t reply_length = 0;
  const int32_t result = handler(nullptr, frame.data(), frame.size(), &reply, &reply_length);
  if (result == 0) {
    FUZZ_CHECK(reply != nullptr && std::strlen(reply) == reply_length);
    FUZZ_CHECK(std::string(reply).find("\"jsonrpc\":\"2.0\"") != std::string::npos);
  }
  VOKTFree(reply);
  return 0;
}
