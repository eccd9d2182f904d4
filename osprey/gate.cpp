// Calls in flight into applications, so that no term runs under a router.
#include <chrono>

#include "internal.h"

namespace osprey {

AppCallGate& appCalls() {
  static AppCallGate gate;
  return gate;
}

void AppCallGate::open() { open_.store(true); }

bool AppCallGate::enter() {
  // Count first, then look: a teardown that closes the gate and then sees no
  // call counted can be sure no call passes the gate after it.
  inFlight_.fetch_add(1);
  if (open_.load()) return true;
  leave();
  return false;
}

void AppCallGate::leave() {
  if (inFlight_.fetch_sub(1) == 1) {
    std::lock_guard<std::mutex> hold(mutex_);
    idle_.notify_all();
  }
}

void AppCallGate::closeAndDrain() {
  open_.store(false);
  drain();
}

void AppCallGate::drain() {
  std::unique_lock<std::mutex> hold(mutex_);
  bool reported = false;
  while (!idle_.wait_for(hold, std::chrono::seconds(5), [this] { return inFlight_.load() == 0; })) {
    if (!reported)
      logf(0, "osprey - Waiting for %d application call(s) to end before the applications end", inFlight_.load());
    reported = true;
  }
}

}  // namespace osprey
