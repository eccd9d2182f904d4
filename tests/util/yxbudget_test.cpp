// The memory budget under contention: requests that each fit alone, growing
// step by step at once, run the budget out together; at least one of them
// must still be served, and the budget's bound holds throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "yxbudget.h"

namespace {

constexpr size_t kStep = 1 << 20;

// Requests growing in lockstep: every step each asks one more kStep, and one
// refused gives back only once every other has had its answer for that step,
// so that all of them hold part of the budget when it runs out.
class Lockstep {
 public:
  Lockstep(int requests, int steps) : alive_(requests), returned_(steps, 0), stepDone_(requests) {}

  // Runs one request; true when it got all its steps.
  bool run(yx::MemoryBudget& budget, int steps) {
    yx::BudgetLease lease(budget);
    for (int step = 0; step < steps; ++step) {
      bool grown = lease.grow(kStep);
      if (grown) noteHeld(kStep);
      if (!grown) {
        awaitAnswers(step);
        noteHeld(0 - lease.held());
        lease.giveBack();
        stepDone_.arrive_and_drop();
        return false;
      }
      answered(step);
      stepDone_.arrive_and_wait();
    }
    noteHeld(0 - lease.held());
    return true;
  }

  size_t peak() const { return peak_; }

 private:
  void answered(int step) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++returned_[step];
    changed_.notify_all();
  }

  // A request that waits inside grow for room never answers until others
  // give back: past a while, give back without its answer.
  void awaitAnswers(int step) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++returned_[step];
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(200), [&] { return returned_[step] >= alive_; });
    --alive_;
  }

  void noteHeld(size_t change) {
    size_t now = held_ += change;
    size_t seen = peak_;
    while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int alive_;
  std::vector<int> returned_;
  std::barrier<> stepDone_;
  std::atomic<size_t> held_{0}, peak_{0};
};

TEST(MemoryBudget, ContentionStillServesOneWithinTheLimit) {
  struct Case {
    int requests, steps, budgetSteps;  // each alone fits; at one step all at once fill it exactly
  };
  for (Case c : {Case{4, 5, 8}, Case{6, 4, 6}, Case{8, 3, 8}}) {
    SCOPED_TRACE(testing::Message() << c.requests << " requests of " << c.steps << " steps in " << c.budgetSteps);
    yx::MemoryBudget budget(c.budgetSteps * kStep);
    Lockstep lockstep(c.requests, c.steps);
    std::atomic<int> served{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < c.requests; ++i)
      threads.emplace_back([&] { served += lockstep.run(budget, c.steps) ? 1 : 0; });
    for (auto& thread : threads) thread.join();
    EXPECT_GE(served.load(), 1);
    EXPECT_LT(served.load(), c.requests);
    EXPECT_LE(lockstep.peak(), budget.limit());
    // Everything went back: the whole budget is free again.
    yx::BudgetLease whole(budget);
    EXPECT_TRUE(whole.grow(budget.limit()));
  }
}

}  // namespace
