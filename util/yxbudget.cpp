// The process-wide memory budget of requests in flight.
#include "yxbudget.h"

#include <malloc.h>

#include <cstdlib>

namespace yx {

namespace {

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
  static MemoryBudget budget(budgetFromEnvironment(), &detail::processCount().used);
  return budget;
}

bool MemoryBudget::reserve(size_t bytes) {
  size_t used = used_->load();
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_->compare_exchange_weak(used, used + bytes));
  return true;
}

void MemoryBudget::release(size_t bytes) { used_->fetch_sub(bytes); }

size_t BudgetLease::limit() const { return budget_.limit(); }

bool BudgetLease::grow(size_t bytes) {
  if (!budget_.reserve(bytes)) return false;
  held_ += bytes;
  return true;
}

void BudgetLease::giveBack() {
  budget_.release(held_);
  held_ = 0;
}

BudgetLease::~BudgetLease() {
  budget_.release(held_);
  // A large parse or reply leaves its pages in the allocator's free lists:
  // give them back so that one burst does not stay resident.
  if (held_ >= kTrimAfterBytes) malloc_trim(0);
}

}  // namespace yx
