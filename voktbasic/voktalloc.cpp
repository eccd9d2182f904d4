// The allocator shared by every deliverable: one heap per process, so a block
// may be freed by a deliverable other than the one that made it. Also the
// per-thread address of the client being served, shared the same way.
#include <cstdio>
#include <cstdlib>

#include "VOKTBasic.h"

void* VOKTAlloc(int size) {
  if (size < 0) return nullptr;
  // malloc(0) may give null, which callers would report as out of memory.
  return std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
}

void VOKTFree(void* block) { std::free(block); }

namespace {
// An IPv6 address in text is at most 45 characters.
thread_local char tClientAddress[64] = "";
}  // namespace

const char* VOKTClientAddress() { return tClientAddress; }

void VOKTSetClientAddress(const char* address) {
  std::snprintf(tClientAddress, sizeof tClientAddress, "%s", address != nullptr ? address : "");
}
