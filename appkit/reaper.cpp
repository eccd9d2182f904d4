// The idle reaper, the monotonic clock and the limits tests may lower.
#include <cstdlib>
#include <ctime>

#include "appkit.h"

namespace appkit {

int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t limitFromEnvironment(const char* name, int64_t fallback, int64_t ceiling) {
  const char* text = getenv(name);
  long long value = text != nullptr ? atoll(text) : 0;
  return value > 0 && value < ceiling ? int64_t(value) : fallback;
}

void IdleReaper::start(std::chrono::milliseconds period, std::function<void()> turn) {
  stop();
  period_ = period;
  turn_ = std::move(turn);
  stopRequested_ = false;
  thread_ = std::thread(&IdleReaper::loop, this);
}

void IdleReaper::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void IdleReaper::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopRequested_) {
    lock.unlock();
    turn_();
    lock.lock();
    wake_.wait_for(lock, period_, [this] { return stopRequested_; });
  }
}

}  // namespace appkit
