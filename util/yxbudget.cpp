// The process-wide memory budget of requests in flight.
#include "yxbudget.h"

#include <malloc.h>

#include <chrono>
#include <cstdlib>

namespace yx {

namespace {

// How long the request with precedence waits for room before it is refused
// too: the others give back as soon as they are refused, yet replies already
// built are held until they are written to their clients.
constexpr auto kWaitForRoom = std::chrono::seconds(5);

size_t lowered(const char* name) {
  const char* text = std::getenv(name);
  unsigned long long bytes = text ? std::strtoull(text, nullptr, 10) : 0;
  return bytes > 0 && bytes < kMemoryBudgetBytes ? size_t(bytes) : 0;
}

size_t budgetFromEnvironment() {
  size_t bytes = lowered("OSPREY_MEMORY_BUDGET");
  if (bytes == 0) bytes = lowered("GANNET_MEMORY_BUDGET");
  return bytes > 0 ? bytes : kMemoryBudgetBytes;
}

}  // namespace

MemoryBudget& MemoryBudget::process() {
  static MemoryBudget budget(budgetFromEnvironment(), &detail::processCount());
  return budget;
}

bool MemoryBudget::reserve(size_t bytes) {
  size_t used = count_->used.load();
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!count_->used.compare_exchange_weak(used, used + bytes));
  return true;
}

void MemoryBudget::release(size_t bytes) {
  count_->used.fetch_sub(bytes);
  // Taking the mutex orders this release before the waiter's next look.
  if (count_->waiting.load()) {
    { std::lock_guard<std::mutex> lock(count_->mutex); }
    count_->freed.notify_all();
  }
}

bool MemoryBudget::takePrecedence(const void* lease) {
  const void* none = nullptr;
  return count_->first.compare_exchange_strong(none, lease);
}

void MemoryBudget::dropPrecedence(const void* lease) {
  const void* self = lease;
  count_->first.compare_exchange_strong(self, nullptr);
}

bool MemoryBudget::reserveWhenFreed(size_t bytes) {
  std::unique_lock<std::mutex> lock(count_->mutex);
  count_->waiting = true;
  bool reserved = count_->freed.wait_for(lock, kWaitForRoom, [&] { return reserve(bytes); });
  count_->waiting = false;
  return reserved;
}

size_t BudgetLease::limit() const { return budget_.limit(); }

bool BudgetLease::grow(size_t bytes) {
  bool reserved = budget_.reserve(bytes);
  // Room that even everything given back cannot make is never waited for.
  if (!reserved && bytes <= budget_.limit() - held_ && (first_ || budget_.takePrecedence(this))) {
    first_ = true;
    reserved = budget_.reserveWhenFreed(bytes);
  }
  if (reserved) held_ += bytes;
  return reserved;
}

void BudgetLease::giveBack() {
  if (held_ > 0) budget_.release(held_);
  held_ = 0;
  if (first_) budget_.dropPrecedence(this);
  first_ = false;
}

BudgetLease::~BudgetLease() {
  size_t held = held_;
  giveBack();
  // A large parse or reply leaves its pages in the allocator's free lists:
  // give them back so that one burst does not stay resident.
  if (held >= kTrimAfterBytes) malloc_trim(0);
}

}  // namespace yx
