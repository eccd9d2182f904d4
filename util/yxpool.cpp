// The pool's base classes (the pool itself is a template in yxpool.h).
#include "yxpool.h"

YXConfig::YXConfig() : created(yxTickCount64()) {}

YXConfig::~YXConfig() { delete params; }

const char* YXConfig::GetValue(const char* key) { return params ? params->Find(key) : nullptr; }

YXParamHash* YXConfig::GetParams() { return params; }

void YXConfig::SetValue(const char* key, const char* value) {
  if (!params) params = new YXParamHash();
  params->Add(key, value);
}

YXPooledObj::YXPooledObj(YXConfig* objectConfig) : lastUsed(yxTickCount64()), config(objectConfig) {}

YXPooledObj::~YXPooledObj() = default;

void YXPooledObj::OnAcquire() {}

void YXPooledObj::OnRelease() { lastUsed = yxTickCount64(); }

bool YXPooledObj::Matches(YXConfig* wanted) {
  if (!config || !wanted) return config == wanted;
  return config->Compare(wanted);
}

uint64_t YXPooledObj::GetLastUsed() { return lastUsed; }

uint64_t YXPoolChanges::Count() {
  std::lock_guard<std::mutex> hold(mutex_);
  return count_;
}

// Only drainers sleep on the count, and each counts itself before it reads
// the count and looks at the pool: a change made under the pool's mutex
// after that look sees it counted, one made before it is seen by the look.
// Releases that nobody drains for then cost no second mutex.
void YXPoolChanges::Announce() {
  if (drainers_.load() == 0) return;
  std::lock_guard<std::mutex> hold(mutex_);
  ++count_;
  changed_.notify_all();
}

bool YXPoolChanges::WaitPast(uint64_t seen, Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_until(hold, deadline, [&] { return count_ != seen; });
}

void YXPoolChanges::WaitPast(uint64_t seen) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [&] { return count_ != seen; });
}

int32_t YXPoolChanges::Waiters() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiters_;
}

void YXPoolChanges::Enter() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++waiters_;
}

// Only the last waiter's leaving can end WaitForNoWaiters: the others wake nobody.
void YXPoolChanges::Leave() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (--waiters_ == 0) changed_.notify_all();
}

void YXPoolChanges::EnterDrain() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++drainers_;
}

void YXPoolChanges::LeaveDrain() {
  std::lock_guard<std::mutex> hold(mutex_);
  --drainers_;
}

bool YXPoolChanges::WaitForNoWaiters(Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_until(hold, deadline, [&] { return waiters_ == 0; });
}
