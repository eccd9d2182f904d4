// The process-wide registry of log-in tokens.
#include <sys/random.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <stdexcept>
#include <vector>

#include "wren.h"

namespace wren {
namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr size_t kIdLength = 64;

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, AuthEntryRef>& authRegistry() {
  static std::map<std::string, AuthEntryRef> registry;
  return registry;
}

void fillRandom(unsigned char* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t got = getrandom(bytes + done, count - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random source for ids");
    }
    done += static_cast<size_t>(got);
  }
}

int64_t now() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace

std::string generateId() {
  std::string id;
  id.reserve(kIdLength);
  while (id.size() < kIdLength) {
    unsigned char bytes[kIdLength];
    fillRandom(bytes, sizeof bytes);
    for (unsigned char byte : bytes) {
      // 248 = 4 * 62: rejecting the rest keeps every character equally likely.
      if (byte < 248 && id.size() < kIdLength) id.push_back(kAlphabet[byte % 62]);
    }
  }
  return id;
}

AuthEntryRef findAuthEntry(const std::string& token) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto found = authRegistry().find(token);
  if (found == authRegistry().end()) return nullptr;
  found->second->lastUse = now();
  return found->second;
}

std::string registerLogin(AuthEntryRef entry) {
  std::vector<AuthEntryRef> purged;  // released after the lock, outside it
  std::string token;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto& registry = authRegistry();
    do token = generateId();
    while (registry.count(token) != 0);
    entry->lastUse = now();
    registry.emplace(token, std::move(entry));
    int64_t oldest = now() - kIdleLimitSeconds;
    for (auto it = registry.begin(); it != registry.end();) {
      if (it->second->lastUse < oldest) {
        purged.push_back(std::move(it->second));
        it = registry.erase(it);
      } else {
        ++it;
      }
    }
  }
  return token;
}

}  // namespace wren
