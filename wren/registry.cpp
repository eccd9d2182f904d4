// The process-wide registry of log-in tokens.
#include <sys/random.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "appkit.h"
#include "wren.h"

namespace wren {
namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr size_t kIdLength = 64;

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Seconds a log-in may stay unused; WREN_TOKEN_IDLE_SECONDS shortens it for tests.
int64_t idleLimit() {
  static const int64_t limit = appkit::limitFromEnvironment("WREN_TOKEN_IDLE_SECONDS", kIdleLimitSeconds);
  return limit;
}

using AuthRegistry = appkit::TokenRegistry<AuthEntryRef>;

AuthRegistry& authRegistry() {
  static AuthRegistry registry(idleLimit() * 1000);
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

std::map<std::string, CursorRef>& cursorRegistry() {
  static std::map<std::string, CursorRef> registry;
  return registry;
}

// A fresh id, not in use in the registry (the caller holds the lock).
template <class Registry>
std::string unusedId(const Registry& registry) {
  std::string id;
  do id = generateId();
  while (registry.count(id) != 0);
  return id;
}

int64_t now() { return static_cast<int64_t>(time(nullptr)); }

// The most log-ins held at once; WREN_MAX_LOGINS lowers it for tests.
size_t loginLimit() {
  static const size_t limit =
      static_cast<size_t>(appkit::limitFromEnvironment("WREN_MAX_LOGINS", int64_t(kMaxLogins), int64_t(kMaxLogins)));
  return limit;
}

// The cursors of purged log-ins go with them (the caller holds the lock
// and releases the cursors after it).
void takeCursorsOf(const std::vector<AuthEntryRef>& purged, std::vector<CursorRef>* taken) {
  auto& cursors = cursorRegistry();
  for (auto it = cursors.begin(); it != cursors.end();) {
    if (std::find(purged.begin(), purged.end(), it->second->owner) != purged.end()) {
      taken->push_back(std::move(it->second));
      it = cursors.erase(it);
    } else {
      ++it;
    }
  }
}

// Whether a log-in may be dropped to make room for another: no call runs on
// it (a call holds its useMutex while it runs) and it keeps no open cursor,
// whose reading its client means to go on with. The caller holds the lock.
bool idle(const AuthEntryRef& held) {
  if (held->openCursors > 0) return false;
  std::unique_lock<std::mutex> unused(held->useMutex, std::try_to_lock);
  return unused.owns_lock();
}

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
  AuthEntryRef found;
  std::vector<AuthEntryRef> expired;  // released after the lock, outside it
  std::vector<CursorRef> cursors;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    AuthEntryRef* held =
        authRegistry().find(token, true, [&](const std::string&, AuthEntryRef& gone) { expired.push_back(gone); });
    if (held != nullptr) found = *held;
    if (!expired.empty()) takeCursorsOf(expired, &cursors);
  }
  for (CursorRef& cursor : cursors) releaseCursor(std::move(cursor));
  return found;
}

std::string registerLogin(AuthEntryRef entry, std::string* refusal) {
  std::vector<AuthEntryRef> purged;  // released after the lock, outside it
  std::vector<CursorRef> cursors;
  std::string token;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto& registry = authRegistry();
    auto purge = [&](const std::string&, AuthEntryRef& gone) { purged.push_back(gone); };
    registry.expire(purge);
    // At the bound of the user's, or the connection's, log-ins the least
    // recently used idle one of theirs goes; none idle: refused.
    auto fits = [&](auto mine, size_t most, const char* message) {
      if (registry.makeRoom(mine, most, idle, purge)) return true;
      *refusal = message;
      return false;
    };
    const std::string& user = entry->user;
    uint64_t connection = entry->connection;
    bool room = fits([&](const AuthEntryRef& held) { return held->user == user; }, kMaxLoginsPerUser,
                     "Too many log-ins of this user, all in use: end some first.") &&
                (connection == 0 ||
                 fits([&](const AuthEntryRef& held) { return held->connection == connection; }, kMaxLoginsPerConnection,
                      "Too many log-ins on this connection, all in use: end some first."));
    takeCursorsOf(purged, &cursors);
    if (room && registry.size() >= loginLimit()) {
      *refusal = "Too many log-ins: try again when others have ended.";
      room = false;
    }
    if (room) {
      token = unusedId(registry);
      registry.add(token, std::move(entry));
    }
  }
  for (CursorRef& cursor : cursors) releaseCursor(std::move(cursor));
  return token;
}

std::string registerCursor(CursorRef cursor) {
  std::lock_guard<std::mutex> lock(registryMutex());
  if (cursor->owner->openCursors >= kMaxCursorsPerLogin) return std::string();
  ++cursor->owner->openCursors;
  std::string id = unusedId(cursorRegistry());
  cursorRegistry().emplace(id, std::move(cursor));
  return id;
}

CursorRef findCursor(const std::string& id) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto found = cursorRegistry().find(id);
  return found == cursorRegistry().end() ? nullptr : found->second;
}

bool removeCursor(const std::string& id) {
  CursorRef removed;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto found = cursorRegistry().find(id);
    if (found == cursorRegistry().end()) return false;
    removed = std::move(found->second);
    cursorRegistry().erase(found);
    --removed->owner->openCursors;
  }
  AuthEntryRef owner = removed->owner;  // outlives the lock on its mutex
  std::lock_guard<std::mutex> serialised(owner->useMutex);
  rlResetRecord(removed->record->GetHandle());  // its reading ends before its objects go
  removed.reset();
  return true;
}

// ---- kept database connections ----

void forgetKeptTable(AuthEntry& entry) {
  entry.keptTable.reset();
  entry.keptTableName.clear();
}

EasyDatabase& connectedDatabase(AuthEntry& entry, const std::string& name) {
  if (!entry.keptDatabase || entry.keptDatabaseName != name) {
    forgetKeptTable(entry);  // open on the database about to go
    entry.keptDatabase.reset();  // one at a time: a log-in holds one file open at most
    entry.keptDatabase = std::make_unique<EasyDatabase>(entry.session.get(), name, true);
    entry.keptDatabaseName = name;
  }
  entry.keptDatabaseUse = now();
  return *entry.keptDatabase;
}

EasyTable& keptTable(AuthEntry& entry, const std::string& database, const std::string& table) {
  EasyDatabase& connected = connectedDatabase(entry, database);
  if (entry.keptTable && entry.keptTableName == table && entry.keptTable->IsOpen()) {
    entry.keptTable->Recheck();
    return *entry.keptTable;
  }
  forgetKeptTable(entry);
  auto opened = std::make_unique<EasyTable>(&connected);
  opened->Open(table, 0);
  entry.keptTable = std::move(opened);
  entry.keptTableName = table;
  return *entry.keptTable;
}

namespace {

std::vector<AuthEntryRef> allEntries() {
  std::lock_guard<std::mutex> lock(registryMutex());
  std::vector<AuthEntryRef> entries;
  entries.reserve(authRegistry().size());
  authRegistry().forEach([&](const std::string&, const AuthEntryRef& entry) { entries.push_back(entry); });
  return entries;
}

// Lets go of the kept database of each entry `doomed` picks whose useMutex
// is free (a running call keeps it); own's mutex the caller holds already.
template <class Doomed>
void releaseKept(const std::vector<AuthEntryRef>& entries, AuthEntry* own, Doomed doomed) {
  for (const AuthEntryRef& entry : entries) {
    std::unique_lock<std::mutex> idle(entry->useMutex, std::defer_lock);
    if (entry.get() != own && !idle.try_lock()) continue;
    if (entry->keptDatabase && doomed(*entry)) {
      forgetKeptTable(*entry);
      entry->keptDatabase.reset();
      entry->keptDatabaseName.clear();
    }
  }
}

struct Keeper {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;
};
// Never destroyed: a process that ends without term must not find its thread joinable.
Keeper& keeper = *new Keeper;

void keepLoop() {
  std::unique_lock<std::mutex> lock(keeper.mutex);
  while (!keeper.wake.wait_for(lock, std::chrono::seconds(1), [] { return keeper.stopping; })) {
    lock.unlock();
    int64_t oldest = now() - kKeptDatabaseIdleSeconds;
    releaseKept(allEntries(), nullptr, [&](const AuthEntry& entry) { return entry.keptDatabaseUse <= oldest; });
    lock.lock();
  }
}

}  // namespace

void releaseKeptDatabases(const std::string& name, AuthEntry* own) {
  releaseKept(allEntries(), own,
              [&](const AuthEntry& entry) { return strcasecmp(entry.keptDatabaseName.c_str(), name.c_str()) == 0; });
}

void startKeeper() {
  std::lock_guard<std::mutex> lock(keeper.mutex);
  if (keeper.thread.joinable()) return;
  keeper.stopping = false;
  keeper.thread = std::thread(keepLoop);
}

void stopKeeper() {
  {
    std::lock_guard<std::mutex> lock(keeper.mutex);
    if (!keeper.thread.joinable()) return;
    keeper.stopping = true;
  }
  keeper.wake.notify_all();
  keeper.thread.join();
}

void releaseCursor(CursorRef cursor) {
  if (!cursor) return;
  AuthEntryRef owner = cursor->owner;  // outlives the lock on its mutex
  std::lock_guard<std::mutex> serialised(owner->useMutex);
  cursor.reset();
}

}  // namespace wren
