// The memory budget of the process: bytes that parses and replies in flight
// may hold at once, shared by every application of the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace yx {

// The whole budget ($OSPREY_MEMORY_BUDGET, or the older
// $GANNET_MEMORY_BUDGET, in bytes may lower it, never raise it).
constexpr size_t kMemoryBudgetBytes = size_t(256) << 20;
// A lease that held at least this much returns free pages to the system.
constexpr size_t kTrimAfterBytes = size_t(16) << 20;

namespace detail {
// The count of a budget, and the one lease that may wait in it for room.
struct SharedCount {
  std::atomic<size_t> used{0};
  std::atomic<const void*> first{nullptr};  // the lease that waits rather than fails
  std::atomic<bool> waiting{false};         // set while it waits: releases wake it
  std::mutex mutex;
  std::condition_variable freed;
};
// Each application links its own copy of this library, yet the process must
// have one count: the static of a visible inline function is one object for
// every loaded library (the dynamic linker unifies it).
__attribute__((visibility("default"))) inline SharedCount& processCount() {
  static SharedCount count;
  return count;
}
}  // namespace detail

// Bytes reserved by requests in flight, shared by every request thread.
//
// Requests grow their reservations step by step, so at once they may run the
// budget out together, each holding a part, none able to finish. Then the
// first of them to be refused keeps precedence until it gives everything
// back: it waits a while for room, which the others, refused at once, give
// back; so contention always leaves one request served.
class MemoryBudget {
 public:
  explicit MemoryBudget(size_t limit) : limit_(limit), count_(&own_) {}
  // The process's one budget, counted once across all applications.
  static MemoryBudget& process();
  bool reserve(size_t bytes);  // false when it would pass the limit
  void release(size_t bytes);
  size_t limit() const { return limit_; }

 private:
  friend class BudgetLease;
  MemoryBudget(size_t limit, detail::SharedCount* shared) : limit_(limit), count_(shared) {}
  // True when lease has, or now takes, precedence over the other leases.
  bool takePrecedence(const void* lease);
  void dropPrecedence(const void* lease);
  // Reserves bytes once room is given back, or false after a while.
  bool reserveWhenFreed(size_t bytes);
  const size_t limit_;
  detail::SharedCount own_;
  detail::SharedCount* count_;
};

// The reservations of one request, given back when it ends.
class BudgetLease {
 public:
  explicit BudgetLease(MemoryBudget& budget = MemoryBudget::process()) : budget_(budget) {}
  ~BudgetLease();
  BudgetLease(const BudgetLease&) = delete;
  BudgetLease& operator=(const BudgetLease&) = delete;
  // False when the budget has no room: the caller gives back what it holds
  // soon, so that a request with precedence can finish.
  bool grow(size_t bytes);
  // Gives back everything held, for a request that dropped what it built.
  void giveBack();
  size_t held() const { return held_; }
  size_t limit() const;  // the whole budget's

 private:
  MemoryBudget& budget_;
  size_t held_ = 0;
  bool first_ = false;  // holds the budget's precedence
};

}  // namespace yx
