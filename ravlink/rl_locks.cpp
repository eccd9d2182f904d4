// Locks the sessions take on databases, tables and rows: one table for the
// process, waited on with a time-out.
#include "rl_core.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace ravlink_detail {

// ---- locks -----------------------------------------------------------------

bool LockKey::operator<(const LockKey& o) const {
  if (file != o.file) return file < o.file;
  TableNameLess less;
  if (less(table, o.table)) return true;
  if (less(o.table, table)) return false;
  return row < o.row;
}

void LockTable::acquire(const LockKey& key, uint64_t holder, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  monitor::lockTried();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto it = held_.find(key);
    if (it == held_.end()) {
      held_.emplace(key, Entry{holder, 1});
      monitor::lockGranted();
      return;
    }
    if (it->second.holder == holder) {
      ++it->second.count;
      return;
    }
    if (freed_.wait_until(lock, deadline) == std::cv_status::timeout && held_.count(key) &&
        held_.at(key).holder != holder) {
      monitor::lockDenied();
      fail(RL_LOCK_TIMED_OUT, "The lock is held by another session");
    }
  }
}

bool LockTable::release(const LockKey& key, uint64_t holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(key);
  if (it == held_.end() || it->second.holder != holder) return false;
  if (--it->second.count == 0) {
    held_.erase(it);
    monitor::lockReleased();
    freed_.notify_all();
  }
  return true;
}

void LockTable::releaseAll(uint64_t holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = held_.begin(); it != held_.end();) it = it->second.holder == holder ? held_.erase(it) : std::next(it);
  freed_.notify_all();
}

bool LockTable::heldByOther(const LockKey& key, uint64_t holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(key);
  return it != held_.end() && it->second.holder != holder;
}

}  // namespace ravlink_detail
