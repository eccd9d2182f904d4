// The allocator shared by every deliverable: one heap per process, so a block
// may be freed by a deliverable other than the one that made it. Also the
// per-thread address and connection of the client being served, shared the
// same way.
#include <poll.h>

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
thread_local int tClientSocket = -1;
}  // namespace

const char* VOKTClientAddress() { return tClientAddress; }

void VOKTSetClientAddress(const char* address) {
  std::snprintf(tClientAddress, sizeof tClientAddress, "%s", address != nullptr ? address : "");
}

int VOKTClientGone() { return VOKTSocketGone(tClientSocket); }

int VOKTSocketGone(int socket) {
  if (socket < 0) return 0;
  pollfd watch{socket, POLLRDHUP, 0};
  // Polled, never read: bytes the client sent ahead stay in the socket.
  if (poll(&watch, 1, 0) <= 0) return 0;
  return (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

void VOKTSetClientSocket(int socket) { tClientSocket = socket; }
