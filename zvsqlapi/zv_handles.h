// Handles that are checked on every use: a handle is a slot number and a
// generation that is never reused, so a freed, stale or made-up handle is
// refused instead of being followed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace zvsql {

// A lock for short sections that are almost never contended: one atomic
// exchange instead of a mutex call on every reader call. A waiter spins
// briefly, then yields its processor.
class SpinLock {
 public:
  void lock() {
    for (int spins = 0; locked_.exchange(true, std::memory_order_acquire); ++spins) {
      while (locked_.load(std::memory_order_relaxed)) {
        if (++spins > 100000)
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        else if (spins > 64)
          std::this_thread::yield();
      }
    }
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

enum class HandleKind : uint8_t { Connection = 1, Command = 2, Cursor = 3 };

class HandleTable {
 public:
  // A new handle for object; 0 when the table is full.
  uintptr_t add(HandleKind kind, void* object);
  // The object of a live handle of that kind, or null.
  void* find(uintptr_t handle, HandleKind kind) const;
  // Ends a live handle and returns its object (null when not live).
  void* remove(uintptr_t handle, HandleKind kind);

 private:
  static constexpr size_t kChunkSize = 4096;
  static constexpr size_t kChunks = 4096;
  static constexpr int kIndexBits = 24;
  struct Slot {
    std::atomic<uint64_t> tag{0};  // generation << 8 | kind; 0 when free
    void* object = nullptr;
  };
  std::atomic<Slot*> chunks_[kChunks] = {};
  SpinLock mutex_;
  std::vector<uint32_t> free_;
  uint32_t used_ = 0;
  uint64_t generation_ = 0;
  const Slot* slot(uintptr_t handle, uint64_t* tag) const;
};

HandleTable& handles();

}  // namespace zvsql
