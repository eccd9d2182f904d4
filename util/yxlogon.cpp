#include "yxlogon.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace yx {

namespace {

std::string userKey(const std::string& user) { return "u:" + user; }
std::string addressKey(const std::string& address) { return "a:" + address; }

}  // namespace

LogonGuard::LogonGuard(std::string application, LogFunction log, NowFunction now, SleepFunction sleep)
    : application_(std::move(application)),
      log_(std::move(log)),
      now_(now ? std::move(now) : NowFunction([] { return Clock::now(); })),
      sleep_(sleep ? std::move(sleep) : SleepFunction([](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); })) {}

std::chrono::milliseconds LogonGuard::delayOf(const Entry& entry) const {
  if (entry.failures < kFreeFailures) return std::chrono::milliseconds(0);
  unsigned doublings = std::min(entry.failures - kFreeFailures, 16u);
  auto delay = kFirstDelay * (1LL << doublings);
  return std::min<std::chrono::milliseconds>(delay, kMaxDelay);
}

LogonGuard::Entry* LogonGuard::find(const std::string& key, Clock::time_point now) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  if (now - it->second.last > kForgetAfter) {
    entries_.erase(it);
    return nullptr;
  }
  return &it->second;
}

// Drops the eighth of the table idle longest, so a flood of new sources costs
// one pass over the table every kMaxEntries / 8 insertions.
void LogonGuard::evictOldest() {
  std::vector<Clock::time_point> times;
  times.reserve(entries_.size());
  for (const auto& item : entries_) times.push_back(item.second.last);
  if (times.empty()) return;
  size_t cut = std::max<size_t>(1, times.size() / 8);
  std::nth_element(times.begin(), times.begin() + (cut - 1), times.end());
  Clock::time_point threshold = times[cut - 1];
  for (auto it = entries_.begin(); it != entries_.end();)
    it = it->second.last <= threshold ? entries_.erase(it) : std::next(it);
}

LogonGuard::Entry& LogonGuard::touch(const std::string& key, Clock::time_point now) {
  if (Entry* entry = find(key, now)) return *entry;
  if (entries_.size() >= kMaxEntries) evictOldest();
  return entries_[key];
}

std::chrono::milliseconds LogonGuard::delayFor(const std::string& user, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point now = now_();
  std::chrono::milliseconds delay(0);
  if (Entry* entry = find(userKey(user), now)) delay = std::max(delay, delayOf(*entry));
  if (Entry* entry = find(addressKey(address), now)) delay = std::max(delay, delayOf(*entry));
  return delay;
}

void LogonGuard::beforeAttempt(const std::string& user, const std::string& address) {
  std::chrono::milliseconds delay = delayFor(user, address);
  if (delay.count() > 0) sleep_(delay);
}

void LogonGuard::failed(const std::string& user, const std::string& address) {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = now_();
    Entry& byUser = touch(userKey(user), now);
    byUser.failures++;
    byUser.last = now;
    Entry& byAddress = touch(addressKey(address), now);
    byAddress.failures++;
    byAddress.last = now;
    byAddress.unlogged++;
    if (now - byAddress.lastLogged >= std::chrono::seconds(1) || byAddress.lastLogged == Clock::time_point{}) {
      line = application_ + ": " + std::to_string(byAddress.unlogged) + " failed log-on(s) from " + address +
             " (last user [" + user + "])";
      byAddress.lastLogged = now;
      byAddress.unlogged = 0;
    }
  }
  if (!line.empty() && log_) log_(line);
}

void LogonGuard::succeeded(const std::string& user, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(userKey(user));
  auto it = entries_.find(addressKey(address));
  if (it != entries_.end()) it->second.failures = 0;
}

bool hasNulByte(const char* data, size_t length) { return data && std::memchr(data, '\0', length) != nullptr; }

}  // namespace yx
