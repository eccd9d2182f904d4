// The plug-in's messages go through the host's callback, one line each.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "internal.h"

namespace osprey {

namespace {
std::atomic<LogCallback> gLogCallback{nullptr};
}

void setLogCallback(LogCallback callback) { gLogCallback.store(callback); }

LogCallback logCallback() { return gLogCallback.load(); }

void logf(int32_t code, const char* format, ...) {
  LogCallback callback = gLogCallback.load();
  if (callback == nullptr) return;
  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  callback(message, code);
}

void reportHandlerException(nev_connection* conn, const char* where, const char* what) noexcept {
  logf(-1, "osprey - %s: unexpected exception (%s); the connection is closed.", where,
       what != nullptr ? what : "unknown");
  if (conn != nullptr) conn->flags |= NEV_CONN_CLOSE_NOW;
}

}  // namespace osprey
