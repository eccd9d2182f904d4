#include "rl_handles.h"

#include <new>
#include <thread>

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

HandleTable::Slot* HandleTable::slotOf(RLHANDLE handle, uint64_t* generation) const {
  auto word = reinterpret_cast<uintptr_t>(handle);
  uint32_t number = uint32_t(word & ((uintptr_t(1) << kIndexBits) - 1));
  *generation = uint64_t(word >> kIndexBits);
  if (number == 0 || *generation == 0) return nullptr;
  return slot(number - 1);
}

ZVBase* HandleTable::find(RLHANDLE handle) const {
  uint64_t generation = 0;
  const Slot* s = slotOf(handle, &generation);
  if (!s || s->generation.load(std::memory_order_acquire) != generation) return nullptr;
  ZVBase* object = s->object.load(std::memory_order_acquire);
  // The slot may have been given back and taken again between the reads.
  return s->generation.load(std::memory_order_acquire) == generation ? object : nullptr;
}

// The pin is counted before the generation is read, and retire clears the
// generation before it reads the pins (both sequentially consistent): either
// the pin sees the handle ended, or retire sees the pin and waits for it.
ZVBase* HandleTable::pin(RLHANDLE handle) {
  uint64_t generation = 0;
  Slot* s = slotOf(handle, &generation);
  if (!s) return nullptr;
  s->pins.fetch_add(1);
  if (s->generation.load() == generation) {
    if (ZVBase* object = s->object.load(std::memory_order_acquire)) return object;
  }
  s->pins.fetch_sub(1, std::memory_order_release);
  return nullptr;
}

void HandleTable::unpin(RLHANDLE handle) {
  uint64_t generation = 0;
  if (Slot* s = slotOf(handle, &generation)) s->pins.fetch_sub(1, std::memory_order_release);
}

void HandleTable::retire(RLHANDLE handle) {
  uint64_t generation = 0;
  Slot* s = slotOf(handle, &generation);
  uint64_t live = generation;
  if (!s || !s->generation.compare_exchange_strong(live, 0)) return;
  s->retired.store(generation, std::memory_order_relaxed);
  // A pin lasts a few loads (a lookup that missed, or one reading the
  // object before it takes the session's mutex): no pin ever waits.
  while (s->pins.load() != 0) std::this_thread::yield();
}

void HandleTable::remove(RLHANDLE handle) {
  retire(handle);
  uint64_t generation = 0;
  Slot* s = slotOf(handle, &generation);
  if (!s || !s->retired.compare_exchange_strong(generation, 0, std::memory_order_acq_rel)) return;
  uint32_t number = uint32_t(reinterpret_cast<uintptr_t>(handle) & ((uintptr_t(1) << kIndexBits) - 1));
  s->object.store(nullptr, std::memory_order_relaxed);
  uint64_t top = freeTop_.load(std::memory_order_relaxed);
  do {
    s->nextFree.store(uint32_t(top), std::memory_order_relaxed);
  } while (!freeTop_.compare_exchange_weak(top, ((top >> 32) + 1) << 32 | number, std::memory_order_release,
                                           std::memory_order_relaxed));
}

}  // namespace ravlink_detail
