#include "rl_handles.h"

#include <new>

namespace ravlink_detail {

HandleTable::Slot* HandleTable::slot(uint32_t index) const {
  if (index >= kChunks * kChunkSize) return nullptr;
  Slot* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
  return chunk ? &chunk[index % kChunkSize] : nullptr;
}

HandleTable::Slot& HandleTable::claim(uint32_t* index) {
  uint64_t top = freeTop_.load(std::memory_order_acquire);
  while (uint32_t first = uint32_t(top)) {
    // Slots are never given back to memory, so reading a slot another
    // thread took meanwhile is harmless: the count makes the exchange fail.
    Slot* s = slot(first - 1);
    uint64_t next = ((top >> 32) + 1) << 32 | s->nextFree.load(std::memory_order_relaxed);
    if (freeTop_.compare_exchange_weak(top, next, std::memory_order_acquire, std::memory_order_acquire)) {
      *index = first - 1;
      return *s;
    }
  }
  uint32_t fresh = used_.fetch_add(1, std::memory_order_relaxed);
  if (fresh >= kChunks * kChunkSize - 1) {
    used_.fetch_sub(1, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  std::atomic<Slot*>& chunk = chunks_[fresh / kChunkSize];
  if (!chunk.load(std::memory_order_acquire)) {
    Slot* made = new Slot[kChunkSize];
    Slot* expected = nullptr;
    if (!chunk.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) delete[] made;
  }
  *index = fresh;
  return *slot(fresh);
}

RLHANDLE HandleTable::add(ZVBase* object) {
  uint32_t index = 0;
  Slot& s = claim(&index);
  uint64_t generation = 0;
  while (generation == 0) generation = nextGeneration_.fetch_add(1, std::memory_order_relaxed) & kGenerationMask;
  // Released too: a lookup that reads this object after the slot's earlier
  // handle was given back then reads the new generation, never the old one.
  s.object.store(object, std::memory_order_release);
  s.generation.store(generation, std::memory_order_release);
  return reinterpret_cast<RLHANDLE>(uintptr_t(generation << kIndexBits | (index + 1)));
}

ZVBase* HandleTable::find(RLHANDLE handle) const {
  auto word = reinterpret_cast<uintptr_t>(handle);
  uint32_t number = uint32_t(word & ((uintptr_t(1) << kIndexBits) - 1));
  uint64_t generation = uint64_t(word >> kIndexBits);
  if (number == 0 || generation == 0) return nullptr;
  const Slot* s = slot(number - 1);
  if (!s || s->generation.load(std::memory_order_acquire) != generation) return nullptr;
  ZVBase* object = s->object.load(std::memory_order_acquire);
  // The slot may have been given back and taken again between the reads.
  return s->generation.load(std::memory_order_acquire) == generation ? object : nullptr;
}

void HandleTable::remove(RLHANDLE handle) {
  auto word = reinterpret_cast<uintptr_t>(handle);
  uint32_t number = uint32_t(word & ((uintptr_t(1) << kIndexBits) - 1));
  Slot* s = number ? slot(number - 1) : nullptr;
  uint64_t generation = uint64_t(word >> kIndexBits);
  if (!s || generation == 0 || !s->generation.compare_exchange_strong(generation, 0, std::memory_order_acq_rel))
    return;
  s->object.store(nullptr, std::memory_order_relaxed);
  uint64_t top = freeTop_.load(std::memory_order_relaxed);
  do {
    s->nextFree.store(uint32_t(top), std::memory_order_relaxed);
  } while (!freeTop_.compare_exchange_weak(top, ((top >> 32) + 1) << 32 | number, std::memory_order_release,
                                           std::memory_order_relaxed));
}

}  // namespace ravlink_detail
