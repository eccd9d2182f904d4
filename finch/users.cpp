// Logons of the server, their open files, the users and locks of a file,
// and ending a logon.
#include <strings.h>

#include <cstring>
#include <memory>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

constexpr uint32_t kEntrySize = RL_MON_USER_ENTRY;
constexpr int kDefaultFiles = 2048, kDefaultConnections = 8192, kLockCapacity = 1024;
constexpr int kMaxCapacity = 32768;  // a configured capacity beyond it is cut to it

template <class T>
T readAt(const unsigned char* p, size_t offset) {
  T v;
  memcpy(&v, p + offset, sizeof v);
  return v;
}

std::string textAt(const unsigned char* p, size_t offset, size_t width) {
  return std::string(reinterpret_cast<const char*>(p + offset),
                     strnlen(reinterpret_cast<const char*>(p + offset), width));
}

// The entry's address from the logon's user snapshot: "" for none, or no member when the snapshot fails.
bool addressOf(int task, std::string* address) {
  char name[16];
  snprintf(name, sizeof name, "%d", task);
  unsigned char block[RL_MON_USER_BLOCK] = {};
  if (api.zvSNAPSHOT(RL_SNAP_USER, name, block, sizeof block) != 0) return false;
  uint32_t v4 = readAt<uint32_t>(block, RL_USER_AT_ADDRESS);
  address->clear();
  if (v4 != 0)
    *address = ipv4Text(v4);
  else if (ipv6Text(block + RL_USER_AT_ADDRESS_V6) != "-")
    *address = ipv6Text(block + RL_USER_AT_ADDRESS_V6);
  return true;
}

int configValue(int index, int fallback) {
  int32_t values[RL_MON_CONFIG_VALUES];
  if (int16_t(api.SYSCFG(values)) != 0 || values[index] <= 0) return fallback;
  return std::min(values[index], kMaxCapacity);
}

}  // namespace

void listActiveConnections(CounterContext& c, json_object* request, json_object** reply) {
  int showAll = 1;
  zvJsonGetBooleanByName(request, "showAll", &showAll);
  const char* type = nullptr;
  zvJsonGetStringByName(request, "type", &type);
  bool onlyIsam = type && strcasecmp(type, "isam") == 0, onlySql = type && strcasecmp(type, "sql") == 0;

  std::vector<int16_t> words(8193, 0);
  int r = int16_t(api.USERLIST(words.data()));
  int n = words[0];
  unsigned char own[RL_MON_USER_BLOCK] = {};
  int currentTask = -1;
  if (api.zvSNAPSHOT(RL_SNAP_OWN_USER, c.text, own, sizeof own) == 0) {
    c.reverseBytes = own[RL_USER_AT_BYTE_ORDER] == 1;
    uint32_t owner = readAt<uint32_t>(own, RL_USER_AT_OWNER);
    if (c.reverseBytes) api.revlng(&owner);
    currentTask = int(owner & 0xFFFF);
    ++n;
  }
  if (r != 0) {
    zvJsonSetError(r, "zvMonGetUserList error", *reply);
    return;
  }
  RlUserInfoRequest info{2, 0, kEntrySize, uint32_t(std::max(0, n + 5)) * kEntrySize, nullptr};
  std::vector<unsigned char> buffer(info.bufferSize);
  info.buffer = buffer.data();
  r = api.USERINFOX(&info);
  if (r == RL_MON_BUFFER_TOO_SMALL && info.bufferSize > buffer.size()) {
    buffer.assign(info.bufferSize, 0);
    info.buffer = buffer.data();
    r = api.USERINFOX(&info);
  }
  if (r != 0) {
    zvJsonSetError(r, "zvMonGetUserList error", *reply);
    return;
  }
  zvJsonPtr connections(zvJsonAllocArray());
  int64_t total = 0, sql = 0, isam = 0;
  size_t entries = std::min<size_t>(info.entries, buffer.size() / kEntrySize);
  for (size_t i = 0; i < entries; ++i) {
    const unsigned char* e = buffer.data() + i * kEntrySize;
    int task = readAt<int16_t>(e, RL_UENT_AT_TASK);
    std::string comm = textAt(e, RL_UENT_AT_COMM_INFO, 52);
    bool isSql = !comm.empty() && comm[0] == 'S';
    ++total;
    ++(isSql ? sql : isam);
    zvJsonPtr owned(zvJsonAlloc());
    json_object* row = owned.get();
    zvJsonAddInt(row, "Task", task);
    std::string user = textAt(e, RL_UENT_AT_USER, 32);
    if (task == currentTask) user += " (Current)";
    zvJsonAddString(row, "UserName", user.c_str());
    std::string address;
    bool hasSnapshot = addressOf(task, &address);
    if (hasSnapshot) zvJsonAddString(row, "IPAddress", address.c_str());
    zvJsonAddString(row, "NodeName", textAt(e, RL_UENT_AT_NODE, 32).c_str());
    zvJsonAddString(row, "LastFunction", textAt(e, RL_UENT_AT_LAST_FUNCTION, 32).c_str());
    static const char* const kCounters[] = {"DiskReadOps",   "DiskReadBytes", "DiskWriteOps",   "DiskWriteBytes",
                                            "DataCacheReqs", "DataCacheHits", "IndexCacheReqs", "IndexCacheHits"};
    for (int k = 0; k < 8; ++k)
      zvJsonAddBigint(row, kCounters[k], int64_t(readAt<uint64_t>(e, RL_UENT_AT_COUNTERS + 8 * k)));
    zvJsonAddInt(row, "Active", readAt<int16_t>(e, RL_UENT_AT_ACTIVE));
    zvJsonAddString(row, "LastRequestTime", localTimeText(readAt<int32_t>(e, RL_UENT_AT_LAST_REQUEST_TIME)).c_str());
    int32_t tranBegin = readAt<int32_t>(e, RL_UENT_AT_TRANSACTION_BEGIN);
    zvJsonAddString(row, "LastTranbegTime", tranBegin ? localTimeText(tranBegin).c_str() : "n.a.");
    zvJsonAddString(row, "LogonTime", localTimeText(readAt<int32_t>(e, RL_UENT_AT_LOGON_TIME)).c_str());
    zvJsonAddBigint(row, "Files", readAt<int32_t>(e, RL_UENT_AT_FILES));
    zvJsonAddBigint(row, "Memory", int64_t(readAt<uint64_t>(e, RL_UENT_AT_MEMORY)));
    zvJsonAddString(row, "CommInfo", comm.c_str());
    bool hidden = (hasSnapshot && address.empty() && !showAll) || (onlyIsam && isSql) || (onlySql && !isSql);
    if (!hidden) zvJsonArrayAdd(connections.get(), owned.release());
  }
  zvJsonAdd(*reply, "Connections", connections.release());
  zvJsonAddBigint(*reply, "Total", total);
  zvJsonAddBigint(*reply, "SQL", sql);
  zvJsonAddBigint(*reply, "Isam", isam);
  zvJsonSetSuccess(*reply);
}

void openFiles(json_object* request, json_object** reply) {
  int32_t task = 0;
  if (!zvJsonGetIntByName(request, "taskId", &task)) {
    zvJsonSetError(9007, "zvMonFilesLocks - Invalid parameter - Missing taskId in the request", *reply);
    return;
  }
  int32_t capacity = configValue(0, kDefaultFiles);
  std::vector<unsigned char> buffer(size_t(capacity) * RL_MON_OPEN_FILE_ENTRY, 0);
  int r = api.zvGetOpenFiles(task & 0xFFFF, buffer.data(), &capacity);
  if (r != 0) {
    zvJsonSetError(r, "zvGetOpenFiles Error", *reply);
    return;
  }
  json_object* files = zvJsonAllocArray();
  size_t at = 0;
  for (int32_t i = 0; i < capacity && at + RL_OFILE_AT_NAME + 1 <= buffer.size(); ++i) {
    const unsigned char* e = buffer.data() + at;
    std::string name = textAt(e, RL_OFILE_AT_NAME, buffer.size() - at - RL_OFILE_AT_NAME);
    json_object* row = zvJsonAlloc();
    zvJsonAddInt(row, "FileNumber", readAt<int16_t>(e, RL_OFILE_AT_FILE_NUMBER));
    zvJsonAddInt(row, "Status", readAt<int16_t>(e, RL_OFILE_AT_STATUS));
    zvJsonAddInt(row, "FileType", int8_t(e[RL_OFILE_AT_TYPE]));
    zvJsonAddInt(row, "SuperfileType", int8_t(e[RL_OFILE_AT_SUPERFILE_TYPE]));
    zvJsonAddString(row, "FileName", name.c_str());
    zvJsonArrayAdd(files, row);
    at += rlOpenFileEntryLength(name.size());
  }
  zvJsonSetSuccess(*reply);
  zvJsonAdd(*reply, "Files", files);
}

void usersForFile(json_object* request, json_object** reply) {
  const char* fileName = nullptr;
  if (!zvJsonGetStringByName(request, "fileName", &fileName) || !fileName) {
    zvJsonSetError(9007, "zvMonGetFileUsers - Invalid parameter - Missing fileName in the request", *reply);
    return;
  }
  int32_t capacity = configValue(100, kDefaultConnections);
  std::vector<unsigned char> buffer(size_t(capacity) * RL_MON_FILE_USER_ENTRY, 0);
  int r = api.zvGetFileUsers(fileName, buffer.data(), &capacity);
  if (r != 0) {
    zvJsonSetError(r, "zvGetFileUsers Error", *reply);
    return;
  }
  json_object* users = zvJsonAllocArray();
  size_t at = 0;
  for (int32_t i = 0; i < capacity && at + RL_FUSER_AT_USER + 1 <= buffer.size(); ++i) {
    const unsigned char* e = buffer.data() + at;
    std::string user =
        textAt(e, RL_FUSER_AT_USER,
               std::min<size_t>(RL_MON_FILE_USER_ENTRY - RL_FUSER_AT_USER, buffer.size() - at - RL_FUSER_AT_USER));
    json_object* row = zvJsonAlloc();
    zvJsonAddInt(row, "TaskId", readAt<int32_t>(e, RL_FUSER_AT_TASK));
    zvJsonAddInt(row, "FileNumber", readAt<int32_t>(e, RL_FUSER_AT_FILE_NUMBER));
    zvJsonAddString(row, "UserName", user.c_str());
    zvJsonArrayAdd(users, row);
    at += rlFileUserEntryLength(user.size());
  }
  zvJsonSetSuccess(*reply);
  zvJsonAdd(*reply, "Users", users);
}

void locksForFile(json_object* request, json_object** reply) {
  const char* fileName = nullptr;
  if (!zvJsonGetStringByName(request, "fileName", &fileName) || !fileName) {
    zvJsonSetError(9007, "zvMonGetFileLocks - Invalid parameter - Missing fileName in the request", *reply);
    return;
  }
  int32_t capacity = kLockCapacity;
  std::vector<unsigned char> buffer(size_t(capacity) * RL_MON_FILE_LOCK_ENTRY, 0);
  int r = api.zvGetFileLocks(fileName, 0, buffer.data(), &capacity);
  if (r != 0) {
    zvJsonSetError(r, "zvGetFileLocks Error", *reply);
    return;
  }
  json_object* locks = zvJsonAllocArray();
  size_t at = 0;
  // The engine's count is trusted only as far as the buffer reaches.
  for (int32_t i = 0; i < std::min(capacity, kLockCapacity) && at + RL_FLOCK_AT_USER + 1 <= buffer.size(); ++i) {
    const unsigned char* e = buffer.data() + at;
    std::string user =
        textAt(e, RL_FLOCK_AT_USER,
               std::min<size_t>(RL_MON_FILE_LOCK_ENTRY - RL_FLOCK_AT_USER, buffer.size() - at - RL_FLOCK_AT_USER));
    json_object* row = zvJsonAlloc();
    zvJsonAddInt(row, "TaskId", readAt<int32_t>(e, RL_FLOCK_AT_TASK));
    zvJsonAddInt(row, "LockType", readAt<int32_t>(e, RL_FLOCK_AT_TYPE));
    zvJsonAddString(row, "UserName", user.c_str());
    zvJsonAddBigint(row, "Offset", readAt<int64_t>(e, RL_FLOCK_AT_ROW));
    zvJsonAddInt(row, "Waiters", readAt<int32_t>(e, RL_FLOCK_AT_WAITERS));
    zvJsonArrayAdd(locks, row);
    at += rlFileLockEntryLength(user.size());
  }
  zvJsonSetSuccess(*reply);
  zvJsonAdd(*reply, "Locks", locks);
}

void killUser(json_object* request, json_object** reply) {
  int32_t task = 0;
  const char* uid = nullptr;
  if (!zvJsonGetIntByName(request, "task", &task)) {
    zvJsonSetError(9007, "zvMonKillUser - Invalid parameter - Missing task in the request", *reply);
    return;
  }
  if (!zvJsonGetStringByName(request, "uid", &uid) || !uid) {
    zvJsonSetError(9007, "zvMonKillUser - Invalid parameter - Missing uid in the request", *reply);
    return;
  }
  int r = int16_t(api.zvklusr(int16_t(task & 0xFFFF), uid));
  if (r == RL_MON_OWN_TASK) {
    zvJsonSetError(r, "zvMonKillUser error - the monitor's own connection is not killed", *reply);
    return;
  }
  if (r == RL_MON_UNKNOWN_TASK) {
    zvJsonSetError(r, "zvMonKillUser error - no such task on this server", *reply);
    return;
  }
  if (r == RL_MON_NOT_ADMINISTRATOR) {
    zvJsonSetError(r, "zvMonKillUser error - only an administrator of this server ends a logon", *reply);
    return;
  }
  if (r != 0) {
    zvJsonSetError(r, "zvMonKillUser error", *reply);
    return;
  }
  zvJsonSetSuccess(*reply);
}

}  // namespace finch
