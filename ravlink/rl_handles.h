// The handles callers hold for the engine's objects: a slot number and a
// generation, so that a freed, stale or made-up handle is refused
// (the caller gets RL_BAD_HANDLE) instead of being followed. Every client
// call looks its handle up and every object made or deleted (a table opened
// for one request makes a dozen) takes or gives back a slot, from many
// threads at once: the lookup reads two atomics and takes no lock, and the
// free slots are a lock-free stack.
//
// A lookup that goes on to use the object pins the slot (pin/unpin) for as
// long as it reads the object without its session's mutex; retire ends a
// handle and waits for those pins to drop, so an object is never destroyed
// under a reader that found it. Pins never wait on anything, so retire may
// be called with the session's mutex held.
#pragma once

#include "ravlink.h"

#include <atomic>
#include <cstdint>

namespace ravlink_detail {

class HandleTable {
 public:
  // A new handle for object (never null); throws std::bad_alloc when every
  // slot is taken.
  RLHANDLE add(ZVBase* object);
  // Ends a live handle (lookups find nothing from now on) and waits until
  // no lookup pins its slot; anything else is ignored.
  void retire(RLHANDLE handle);
  // Retires the handle and gives its slot back for reuse.
  void remove(RLHANDLE handle);
  // The object of a live handle, or null.
  ZVBase* find(RLHANDLE handle) const;
  // find, with the slot pinned: a retire of the handle waits until unpin.
  // Every pin that found an object is followed by one unpin of the handle.
  ZVBase* pin(RLHANDLE handle);
  void unpin(RLHANDLE handle);

 private:
  static constexpr uint32_t kIndexBits = 24;  // slot number + 1; the rest of the word is the generation
  static constexpr uint32_t kChunkSize = 4096;
  static constexpr uint32_t kChunks = (1u << kIndexBits) / kChunkSize;
  static constexpr uint64_t kGenerationMask = (uint64_t(1) << (64 - kIndexBits)) - 1;
  static_assert(sizeof(RLHANDLE) == sizeof(uint64_t), "handles carry a 40-bit generation");
  struct Slot {
    std::atomic<uint64_t> generation{0};  // of the live handle; 0 while free
    std::atomic<ZVBase*> object{nullptr};
    std::atomic<uint32_t> nextFree{0};  // slot number + 1 of the next free slot; 0: none
    std::atomic<uint32_t> pins{0};      // lookups reading the object now
    std::atomic<uint64_t> retired{0};   // generation of the handle retired and not yet removed
  };
  Slot* slot(uint32_t index) const;
  Slot* slotOf(RLHANDLE handle, uint64_t* generation) const;
  Slot& claim(uint32_t* index);
  std::atomic<Slot*> chunks_[kChunks] = {};
  std::atomic<uint32_t> used_{0};
  // One count for all slots: a handle number is handed out once, so a
  // made-up handle cannot name another slot's object either.
  std::atomic<uint64_t> nextGeneration_{1};
  // Top of the stack of free slots: slot number + 1 in the low half, a
  // count of changes in the high half (so a slot taken and given back in
  // between is never mistaken for the one read).
  std::atomic<uint64_t> freeTop_{0};
};

}  // namespace ravlink_detail
