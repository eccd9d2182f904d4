// The handle table from many threads at once: a live handle finds its own
// object, a handle given back finds nothing, and a handle read from another
// thread finds that thread's object or nothing, never an object that took
// its slot later.
#include "rl_handles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Fake {
  std::atomic<uintptr_t> handle{0};
};

ZVBase* asObject(Fake* fake) { return reinterpret_cast<ZVBase*>(fake); }

TEST(HandleTable, SlotsReusedAcrossThreadsNeverFindAnotherObject) {
  static ravlink_detail::HandleTable table;  // its slots last as long as the process, as the engine's do
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  std::atomic<uintptr_t> shown[kThreads] = {};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<Fake>> made;
      made.reserve(kRounds);
      for (int i = 0; i < kRounds; ++i) {
        made.push_back(std::make_unique<Fake>());
        Fake* fake = made.back().get();
        RLHANDLE h = table.add(asObject(fake));
        fake->handle.store(reinterpret_cast<uintptr_t>(h));
        shown[t].store(reinterpret_cast<uintptr_t>(h));
        if (table.find(h) != asObject(fake)) wrong.fetch_add(1);
        // Another thread's handle, live or given back by now.
        auto other = reinterpret_cast<RLHANDLE>(shown[(t + 1 + i) % kThreads].load());
        if (ZVBase* found = table.find(other)) {
          if (reinterpret_cast<Fake*>(found)->handle.load() != reinterpret_cast<uintptr_t>(other)) wrong.fetch_add(1);
        }
        table.remove(h);
        table.remove(h);  // a second give-back changes nothing
        if (table.find(h) != nullptr) wrong.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  // A slot given back is taken again and finds its new object.
  Fake last;
  RLHANDLE h = table.add(asObject(&last));
  EXPECT_EQ(table.find(h), asObject(&last));
  table.remove(h);
}

}  // namespace
