// The memory budget of the process: bytes that parses and replies in flight
// may hold at once, shared by every application of the process.
#pragma once

#include <atomic>
#include <cstddef>

namespace yx {

// The whole budget ($OSPREY_MEMORY_BUDGET, or the older
// $GANNET_MEMORY_BUDGET, in bytes may lower it, never raise it).
constexpr size_t kMemoryBudgetBytes = size_t(256) << 20;
// A lease that held at least this much returns free pages to the system.
constexpr size_t kTrimAfterBytes = size_t(16) << 20;

namespace detail {
// Each application links its own copy of this library, yet the process must
// have one count: the static of a visible inline function is one object for
// every loaded library (the dynamic linker unifies it).
struct SharedCount {
  std::atomic<size_t> used{0};
};
__attribute__((visibility("default"))) inline SharedCount& processCount() {
  static SharedCount count;
  return count;
}
}  // namespace detail

// Bytes reserved by requests in flight, shared by every request thread.
class MemoryBudget {
 public:
  explicit MemoryBudget(size_t limit) : limit_(limit), used_(&own_) {}
  // The process's one budget, counted once across all applications.
  static MemoryBudget& process();
  bool reserve(size_t bytes);  // false when it would pass the limit
  void release(size_t bytes);
  size_t limit() const { return limit_; }

 private:
  MemoryBudget(size_t limit, std::atomic<size_t>* shared) : limit_(limit), used_(shared) {}
  const size_t limit_;
  std::atomic<size_t> own_{0};
  std::atomic<size_t>* used_;
};

// The reservations of one request, given back when it ends.
class BudgetLease {
 public:
  explicit BudgetLease(MemoryBudget& budget = MemoryBudget::process()) : budget_(budget) {}
  ~BudgetLease();
  BudgetLease(const BudgetLease&) = delete;
  BudgetLease& operator=(const BudgetLease&) = delete;
  bool grow(size_t bytes);
  // Gives back everything held, for a request that dropped what it built.
  void giveBack();
  size_t held() const { return held_; }
  size_t limit() const;  // the whole budget's

 private:
  MemoryBudget& budget_;
  size_t held_ = 0;
};

}  // namespace yx
