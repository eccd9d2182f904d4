// The monitor's calls (monitor.h): logons made for a monitor, instance
// names, threads, the lists of logons, open files, file users and locks,
// ending a logon, and the event log.
#include "monitor.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "rl_core.h"

using namespace ravlink_detail;
using namespace ravlink_detail::monitor;

namespace ravlink_detail {
namespace monitor {

namespace {

constexpr size_t kMaxInstanceNames = 256;
constexpr size_t kMaxMonitorLogons = 1024;
constexpr size_t kMaxOpenLogs = 64;

thread_local RlThreadRecord tlsThread = {};
// The owner a caller made current with zvdbSetQuarnOWNER after its logon
// ended: calls then answer RL_MON_KILLED instead of "no logon".
thread_local int32_t tlsEndedOwner = -1;

struct MonitorState {
  std::mutex mutex;
  std::set<std::string> instanceNames;
  std::map<int32_t, std::unique_ptr<ZVSession>> logons;  // made by INTISAMX4, by owner
  std::set<int32_t> endedLogons;                         // of those, the ones ended by zvklusr
  // A reader of one server's log: the records up to the last one written
  // when it was opened, walked by sequence number.
  struct OpenLog {
    bool used = false;
    std::string serverDir;
    int32_t lastSeq = 0;
    int32_t at = 0;  // sequence number of the record read last
  };
  OpenLog logs[kMaxOpenLogs];
};

MonitorState& state() {
  static MonitorState* s = new MonitorState();
  return *s;
}

void copyText(char* out, size_t size, const std::string& text) {
  size_t n = std::min(size - 1, text.size());
  memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Writes an entry (its length returned by write) for each open table of the
// server that wanted picks, while the capacity lasts; returns how many.
template <class Pick, class Write>
int32_t writeOpenTables(const std::string& serverDir, int32_t capacity, Pick wanted, Write write) {
  int32_t written = 0;
  size_t at = 0;
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const auto& [core, entry] : r.openTables) {
    if (written >= capacity) break;
    if (entry.serverDir != serverDir || !wanted(entry)) continue;
    at += write(entry, at);
    ++written;
  }
  return written;
}

}  // namespace

std::shared_ptr<Logon> currentLogon(int* code) {
  int32_t owner = rlGetCurrentOwner();
  if (auto l = logonOf(owner)) return l;
  bool ended = false;
  if (owner < 1 && tlsEndedOwner > 0) {
    std::lock_guard<std::mutex> lock(state().mutex);
    ended = state().endedLogons.count(tlsEndedOwner) > 0;
  }
  *code = ended ? RL_MON_KILLED : RL_MON_NO_LOGON;
  return nullptr;
}

}  // namespace monitor
}  // namespace ravlink_detail

#define NOT_SUPPORTED(name) \
  int32_t name(void) { return RL_MON_NOT_SUPPORTED; }

extern "C" {

NOT_SUPPORTED(USERINFO)
NOT_SUPPORTED(INTISAMX)
NOT_SUPPORTED(zvOWNER)
NOT_SUPPORTED(zvSetOWNER)
NOT_SUPPORTED(GETQUARN)
NOT_SUPPORTED(IDXENT)
NOT_SUPPORTED(FRSKEY)
NOT_SUPPORTED(NXTKEY)
NOT_SUPPORTED(REDIVREC)
NOT_SUPPORTED(SETCURI)
NOT_SUPPORTED(DELVREC)
NOT_SUPPORTED(LKISAM)
NOT_SUPPORTED(TRANBEG)
NOT_SUPPORTED(TRANEND)

void revobj(void* object, int32_t length) {
  if (object && length > 0) rlReverseBytes(object, length);
}

void revlng(void* value) {
  if (value) rlReverseBytes(value, 4);
}

// ---- threads, owners and instance names ------------------------------------------------

int32_t zvThrdInit(int32_t, int32_t, int32_t) {
  static std::atomic<bool> done{false};
  return done.exchange(true) ? 125 : 0;
}

int32_t zvThrdAttach(void) {
  ++tlsThread.attached;
  return 0;
}

int32_t zvThrdDetach(void) {
  if (tlsThread.attached > 0) --tlsThread.attached;
  return 0;
}

RlThreadRecord* zvThrdGet(void) { return &tlsThread; }

int32_t zvdbGetQuarnOWNER(void) { return rlGetCurrentOwner(); }

int32_t zvdbSetQuarnOWNER(int32_t owner) {
  tlsEndedOwner = owner;
  int rc = rlSetCurrentOwner(owner);
  if (rc != RL_OK) rlSetCurrentOwner(-1);
  return rc;
}

int16_t REGQUARN(const char* name) {
  if (!name || !*name) return RL_BAD_ARGUMENT;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.instanceNames.count(name)) return RL_MON_NAME_REGISTERED;
  if (s.instanceNames.size() >= kMaxInstanceNames) return RL_MON_LIMIT;
  s.instanceNames.insert(name);
  return 0;
}

// Instance names are process-wide and logons never end with them, so any
// thread may switch to any name.
int16_t SWTQUARN(const char* name) { return name && *name ? 0 : RL_BAD_ARGUMENT; }

int16_t UNRQUARN(const char* name) {
  if (!name) return RL_BAD_ARGUMENT;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.instanceNames.erase(name);
  return 0;
}

// ---- logons ------------------------------------------------------------------------------

int16_t INTISAMX4(int16_t, int16_t, int16_t, int16_t, int16_t, const char* user, const char* password,
                  const char* server) {
  CallScope scope(nullptr, nullptr, "INTISAMX4");
  auto& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.logons.size() >= kMaxMonitorLogons) return RL_MON_LIMIT;
  }
  auto session = std::make_unique<ZVSession>(2);
  try {
    session->Logon(server ? server : "", user ? user : "", password ? password : "");
  } catch (const ZVException& e) {
    return int16_t(e.GetErrorCode());
  }
  int32_t owner = session->GetOwner();
  std::unique_ptr<ZVSession> stale;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& slot = s.logons[owner];
    stale = std::move(slot);  // a killed logon's object whose number came round again
    slot = std::move(session);
    s.endedLogons.erase(owner);
  }
  tlsEndedOwner = owner;
  return 0;
}

int16_t CLISAM(void) {
  CallScope scope(nullptr, nullptr, "CLISAM");
  int32_t owner = rlGetCurrentOwner();
  if (owner < 1) owner = tlsEndedOwner;
  std::unique_ptr<ZVSession> session;
  {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.logons.find(owner);
    if (it == s.logons.end()) return 0;
    session = std::move(it->second);
    s.logons.erase(it);
    s.endedLogons.erase(owner);
  }
  session.reset();  // logs off; outside the lock, the logoff takes the engine's locks
  rlSetCurrentOwner(-1);
  tlsEndedOwner = -1;
  return 0;
}

int16_t SETNODE(const char* node) {
  CallScope scope(nullptr, nullptr, "SETNODE");
  int code = 0;
  auto l = currentLogon(&code);
  if (!l) return int16_t(code);
  std::lock_guard<std::mutex> lock(l->stats.textMutex);
  copyText(l->stats.node, sizeof l->stats.node, node ? node : "");
  return 0;
}

int16_t SETSQLLOGON(void) {
  CallScope scope(nullptr, nullptr, "SETSQLLOGON");
  int code = 0;
  auto l = currentLogon(&code);
  if (!l) return int16_t(code);
  l->stats.sqlClient = true;
  return 0;
}

int16_t zvklusr(int16_t task, const char* uid) {
  CallScope scope(nullptr, nullptr, "zvklusr");
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return int16_t(code);
  if (!isAdministrator(*self)) return RL_MON_NOT_ADMINISTRATOR;
  if (task == self->owner) return RL_MON_OWN_TASK;
  auto victim = logonOf(task);
  if (!victim || victim->serverDir != self->serverDir || !victim->loggedOn) return RL_MON_UNKNOWN_TASK;
  if (uid && *uid && strcasecmp(uid, victim->user.c_str()) != 0) return RL_MON_UNKNOWN_TASK;
  registry().kills++;
  logEvent(self->serverDir, kClassLogon, kLogoff, RL_MON_KILLED, victim->user, nodeOf(*victim),
           "Task " + std::to_string(task) + " ended by task " + std::to_string(self->owner));
  victim->killed = true;
  {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.logons.count(task)) s.endedLogons.insert(task);
  }
  // Between calls the logon ends now (rolled back, locks released); inside a
  // call its own thread ends it at its next call.
  if (victim->mutex.try_lock()) {
    victim->end();
    victim->mutex.unlock();
  }
  return 0;
}

// ---- lists of logons, files, users and locks ------------------------------------------------

int16_t USERLIST(int16_t* buffer) {
  CallScope scope(nullptr, nullptr, "USERLIST");
  if (!buffer) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return int16_t(code);
  buffer[0] = int16_t(std::min<size_t>(logonsOf(self->serverDir).size(), 8192));
  return 0;
}

int32_t USERINFOX(RlUserInfoRequest* request) {
  CallScope scope(nullptr, nullptr, "USERINFOX");
  if (!request || request->version != 2 || request->entrySize != kUserEntrySize) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return code;
  auto logons = logonsOf(self->serverDir);
  uint64_t needed = uint64_t(logons.size()) * kUserEntrySize;
  if (!request->buffer || request->bufferSize < needed) {
    request->bufferSize = uint32_t(needed);
    return RL_MON_BUFFER_TOO_SMALL;
  }
  auto* out = static_cast<unsigned char*>(request->buffer);
  memset(out, 0, needed);
  for (size_t i = 0; i < logons.size(); ++i) fillUserEntry(*logons[i], out + i * kUserEntrySize);
  request->entries = uint16_t(logons.size());
  return 0;
}

int32_t zvGetOpenFiles(int32_t task, void* buffer, int32_t* count) {
  CallScope scope(nullptr, nullptr, "zvGetOpenFiles");
  if (!buffer || !count || *count < 0) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return code;
  auto* out = static_cast<unsigned char*>(buffer);
  *count = writeOpenTables(
      self->serverDir, *count, [&](const OpenTable& entry) { return entry.owner == task; },
      [&](const OpenTable& entry, size_t at) {
        // The name is at most 255 characters: within RL_MON_OPEN_FILE_ENTRY.
        int16_t number = int16_t(entry.datno & 0x7FFF), status = 0;
        memcpy(out + at + RL_OFILE_AT_FILE_NUMBER, &number, 2);
        memcpy(out + at + RL_OFILE_AT_STATUS, &status, 2);
        out[at + RL_OFILE_AT_TYPE] = 0;            // data file
        out[at + RL_OFILE_AT_SUPERFILE_TYPE] = 0;  // no superfile
        memcpy(out + at + RL_OFILE_AT_NAME, entry.name.c_str(), entry.name.size() + 1);
        return rlOpenFileEntryLength(entry.name.size());
      });
  return 0;
}

int32_t zvGetFileUsers(const char* fileName, void* buffer, int32_t* count) {
  CallScope scope(nullptr, nullptr, "zvGetFileUsers");
  if (!fileName || !buffer || !count || *count < 0) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return code;
  auto* out = static_cast<unsigned char*>(buffer);
  *count = writeOpenTables(
      self->serverDir, *count, [&](const OpenTable& entry) { return entry.name == fileName; },
      [&](const OpenTable& entry, size_t at) {
        std::string user = entry.user.substr(0, 27);  // with its NUL and padding within RL_MON_FILE_USER_ENTRY
        int32_t number = entry.datno;
        memcpy(out + at + RL_FUSER_AT_TASK, &entry.owner, 4);
        memcpy(out + at + RL_FUSER_AT_FILE_NUMBER, &number, 4);
        memcpy(out + at + RL_FUSER_AT_USER, user.c_str(), user.size() + 1);
        return rlFileUserEntryLength(user.size());
      });
  return 0;
}

int32_t zvGetFileLocks(const char* fileName, int32_t, void* buffer, int32_t* count) {
  CallScope scope(nullptr, nullptr, "zvGetFileLocks");
  if (!fileName || !buffer || !count || *count < 0) return RL_BAD_ARGUMENT;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return code;
  std::map<uint64_t, std::shared_ptr<Logon>> holders;
  for (auto& l : logonsOf(self->serverDir)) holders[l->id] = l;
  auto* out = static_cast<unsigned char*>(buffer);
  int32_t written = 0;
  size_t at = 0;
  for (const auto& held : engine().locks.list(size_t(*count) * 4 + 64)) {
    if (written >= *count) break;
    auto holder = holders.find(held.holder);
    if (holder == holders.end()) continue;  // another server's lock
    if (fileNameOf(self->serverDir, held.key.file, held.key.table) != fileName) continue;
    std::string user = holder->second->user.substr(0, 27);  // with its NUL within RL_MON_FILE_LOCK_ENTRY
    int64_t row = held.key.row;
    int32_t type = 1, task = holder->second->owner, waiters = 0;  // exclusive; waiters are not counted
    memcpy(out + at + RL_FLOCK_AT_ROW, &row, 8);
    memcpy(out + at + RL_FLOCK_AT_TYPE, &type, 4);
    memcpy(out + at + RL_FLOCK_AT_TASK, &task, 4);
    memcpy(out + at + RL_FLOCK_AT_WAITERS, &waiters, 4);
    memcpy(out + at + RL_FLOCK_AT_USER, user.c_str(), user.size() + 1);
    at += rlFileLockEntryLength(user.size());
    ++written;
  }
  *count = written;
  return 0;
}

// ---- the event log -----------------------------------------------------------------------

int16_t OPNRFIL(int16_t, const char* name, int16_t) {
  CallScope scope(nullptr, nullptr, "OPNRFIL");
  if (!name || strcasecmp(name, "SYSLOGDT.YXS") != 0) return -RL_MON_BAD_LOG;
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return int16_t(-code);
  int32_t lastSeq = 0;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    lastSeq = r.eventSeq;
  }
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (size_t i = 0; i < kMaxOpenLogs; ++i) {
    if (s.logs[i].used) continue;
    s.logs[i] = MonitorState::OpenLog{true, self->serverDir, lastSeq, 0};
    return int16_t(i * 3);  // index numbers file + 1 and file + 2 stay apart
  }
  return -RL_MON_LIMIT;
}

int16_t CLRFIL(int16_t fileNumber) {
  CallScope scope(nullptr, nullptr, "CLRFIL");
  if (fileNumber < 0 || fileNumber % 3 != 0 || size_t(fileNumber / 3) >= kMaxOpenLogs) return RL_MON_BAD_LOG;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.logs[fileNumber / 3] = MonitorState::OpenLog{};
  return 0;
}

static int16_t readLog(int16_t index, void* buffer, uint32_t* length, int step, bool restart) {
  if (index < 1 || index % 3 == 0 || size_t(index / 3) >= kMaxOpenLogs || !buffer || !length) return RL_MON_BAD_LOG;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto& log = s.logs[index / 3];
  if (!log.used) return RL_MON_BAD_LOG;
  // Both indexes read in sequence order: records are appended as they happen,
  // so sequence order is date order too.
  if (restart) log.at = step > 0 ? 0 : log.lastSeq + 1;
  auto& r = registry();
  std::lock_guard<std::mutex> events(r.mutex);
  auto bySeq = [](const Event& e, int32_t seq) { return e.seq < seq; };
  if (step > 0) {
    for (auto it = std::lower_bound(r.events.begin(), r.events.end(), log.at + 1, bySeq);
         it != r.events.end() && it->seq <= log.lastSeq; ++it)
      if (it->serverDir == log.serverDir) {
        log.at = it->seq;
        return writeLogRecord(*it, buffer, length) ? 0 : RL_MON_BUFFER_TOO_SMALL;
      }
  } else {
    auto it = std::lower_bound(r.events.begin(), r.events.end(), log.at, bySeq);
    while (it != r.events.begin()) {
      --it;
      if (it->serverDir != log.serverDir) continue;
      log.at = it->seq;
      return writeLogRecord(*it, buffer, length) ? 0 : RL_MON_BUFFER_TOO_SMALL;
    }
  }
  return RL_NOT_FOUND;
}

int16_t FRSVREC(int16_t index, void* buffer, uint32_t* length) {
  CallScope scope(nullptr, nullptr, "FRSVREC");
  return readLog(index, buffer, length, 1, true);
}

int16_t NXTVREC(int16_t index, void* buffer, uint32_t* length) {
  CallScope scope(nullptr, nullptr, "NXTVREC");
  return readLog(index, buffer, length, 1, false);
}

int16_t LSTVREC(int16_t index, void* buffer, uint32_t* length) {
  CallScope scope(nullptr, nullptr, "LSTVREC");
  return readLog(index, buffer, length, -1, true);
}

int16_t PRVVREC(int16_t index, void* buffer, uint32_t* length) {
  CallScope scope(nullptr, nullptr, "PRVVREC");
  return readLog(index, buffer, length, -1, false);
}

int16_t SYSLOG(int32_t eventClass, int32_t eventCode, const void* data, int32_t length) {
  CallScope scope(nullptr, nullptr, "SYSLOG");
  int code = 0;
  auto self = currentLogon(&code);
  if (!self) return int16_t(code);
  if (length < 0 || (length > 0 && !data)) return RL_BAD_ARGUMENT;
  if (eventClass == kClassPurge) {
    // The log is the server's record of who did what: only its administrators shorten it.
    if (!isAdministrator(*self)) return RL_MON_NOT_ADMINISTRATOR;
    int32_t days = 0;
    if (length != 4) return RL_BAD_ARGUMENT;
    memcpy(&days, data, 4);
    if (days < 1) return RL_BAD_ARGUMENT;
    int64_t before = nowSeconds() - int64_t(days) * 86400;
    size_t purged = 0;
    {
      auto& r = registry();
      std::lock_guard<std::mutex> lock(r.mutex);
      auto keep = std::remove_if(r.events.begin(), r.events.end(),
                                 [&](const Event& e) { return e.serverDir == self->serverDir && e.time < before; });
      purged = size_t(r.events.end() - keep);
      r.events.erase(keep, r.events.end());
    }
    logEvent(self->serverDir, kClassPurge, eventCode, 0, self->user, nodeOf(*self),
             "Purged " + std::to_string(purged) + " entries older than " + std::to_string(days) + " days");
    return 0;
  }
  std::string text(static_cast<const char*>(data ? data : ""), size_t(length));
  text = text.substr(0, strnlen(text.c_str(), text.size()));
  logEvent(self->serverDir, eventClass, eventCode, 0, self->user, nodeOf(*self), text);
  return 0;
}

}  // extern "C"
