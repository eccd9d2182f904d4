#include "zv_handles.h"

namespace zvsql {

uintptr_t HandleTable::add(HandleKind kind, void* object) {
  std::lock_guard<SpinLock> lock(mutex_);
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (used_ >= kChunkSize * kChunks || used_ + 1 >= (1u << kIndexBits)) return 0;
    index = used_++;
    if (!chunks_[index / kChunkSize].load(std::memory_order_acquire))
      chunks_[index / kChunkSize].store(new Slot[kChunkSize], std::memory_order_release);
  }
  Slot& s = chunks_[index / kChunkSize].load(std::memory_order_acquire)[index % kChunkSize];
  uint64_t tag = (++generation_ << 8) | uint64_t(kind);
  s.object = object;
  s.tag.store(tag, std::memory_order_release);
  return uintptr_t((tag >> 8) << kIndexBits | (index + 1));
}

const HandleTable::Slot* HandleTable::slot(uintptr_t handle, uint64_t* tag) const {
  uintptr_t index = (handle & ((uintptr_t(1) << kIndexBits) - 1));
  if (index == 0) return nullptr;
  --index;
  const Slot* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
  if (!chunk) return nullptr;
  *tag = uint64_t(handle >> kIndexBits) << 8;
  return &chunk[index % kChunkSize];
}

void* HandleTable::find(uintptr_t handle, HandleKind kind) const {
  uint64_t tag = 0;
  const Slot* s = slot(handle, &tag);
  if (!s || s->tag.load(std::memory_order_acquire) != (tag | uint64_t(kind))) return nullptr;
  return s->object;
}

void* HandleTable::remove(uintptr_t handle, HandleKind kind) {
  std::lock_guard<SpinLock> lock(mutex_);
  uint64_t tag = 0;
  Slot* s = const_cast<Slot*>(slot(handle, &tag));
  if (!s || s->tag.load(std::memory_order_acquire) != (tag | uint64_t(kind))) return nullptr;
  s->tag.store(0, std::memory_order_release);
  void* object = s->object;
  s->object = nullptr;
  free_.push_back(uint32_t((handle & ((uintptr_t(1) << kIndexBits) - 1)) - 1));
  return object;
}

HandleTable& handles() {
  static HandleTable* table = new HandleTable();  // lives to the process end: handles may be freed at exit
  return *table;
}

}  // namespace zvsql
