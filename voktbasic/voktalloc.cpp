// The allocator shared by every deliverable: one heap per process, so a block
// may be freed by a deliverable other than the one that made it.
#include <cstdlib>
#include <cstring>

#include "VOKTBasic.h"

void* VOKTAlloc(int size) {
  if (size < 0) return nullptr;
  // malloc(0) may give null, which callers would report as out of memory.
  return std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
}

void VOKTFree(void* block) { std::free(block); }

namespace {
thread_local char clientAddress[64] = "";
}

void VOKTSetClientAddress(const char* address) {
  if (address == nullptr) address = "";
  std::strncpy(clientAddress, address, sizeof clientAddress - 1);
  clientAddress[sizeof clientAddress - 1] = '\0';
}

const char* VOKTClientAddress() { return clientAddress; }
