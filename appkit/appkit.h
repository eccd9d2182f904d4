// appkit: what the web applications share, built once as a static library
// that each application's .so links (every .so gets its own copy of the
// state below, so nothing is shared across applications at run time).
//
// - The idle reaper: one thread that calls back now and then to expire idle
//   entries, woken at once when it is stopped.
// - The slot pool of the browser tools: logon slots found by token, the
//   connect command's request, log-on accounting and replies, getInfo.
// - The idle-expiring token registry, on an injected clock.
// - Binding a library's functions by name from an X-list.
// - The keyword-file reader ("KEY value" lines).
// - base64, hexadecimal, random tokens.
// - The browser tools' settings, configuration file, log and JSON file
//   replies (servers list, errors, the monitor's layouts and dashboard).
// - The engine credential check (a log-on and log-off of the local engine);
//   only the applications that link the engine use it.
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct WebAppInitRecord;
namespace yx {
class LogonGuard;
}

namespace appkit {

// ---- clocks ---------------------------------------------------------------------------------

// Milliseconds of the monotonic clock; the shared pieces that expire things
// take a clock like it so that tests can move time themselves.
int64_t monotonicMs();
using Clock = std::function<int64_t()>;

// ---- limits from the environment -------------------------------------------------------------

// A bound that the environment variable `name` may lower for tests: its
// value when it is a number above 0 and below `ceiling`; otherwise (unset,
// not a number, 0 or less, at or above the ceiling) `fallback`.
int64_t limitFromEnvironment(const char* name, int64_t fallback, int64_t ceiling = std::numeric_limits<int64_t>::max());

// ---- the idle reaper --------------------------------------------------------------------------

// One thread that runs turn() at once and then every period until stop().
// turn() takes whatever lock guards the entries it expires; the reaper holds
// none while it calls it. Stopping wakes the thread at once and joins it.
class IdleReaper {
 public:
  IdleReaper() = default;
  ~IdleReaper() { stop(); }
  IdleReaper(const IdleReaper&) = delete;
  IdleReaper& operator=(const IdleReaper&) = delete;

  // Starts the thread; std::system_error when it cannot be made. A running
  // reaper is stopped first.
  void start(std::chrono::milliseconds period, std::function<void()> turn);
  // Ends the thread after the turn it may be in; a reaper not running is left as it is.
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  void loop();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;
  std::chrono::milliseconds period_{1000};
  std::function<void()> turn_;
};

// ---- the idle-expiring token registry ---------------------------------------------------------

// Entries found by a token text, each dropped once unused for the idle time
// on the given clock. Not locked: its owner guards it with its own mutex.
template <class Entry>
class TokenRegistry {
 public:
  // Called with an entry just before the registry drops it.
  using Dropped = std::function<void(const std::string&, Entry&)>;

  explicit TokenRegistry(int64_t idleMs, Clock clock = monotonicMs) : idleMs_(idleMs), clock_(std::move(clock)) {}

  // Adds or replaces the token's entry, used now.
  Entry& add(const std::string& token, Entry entry) {
    Held& held = entries_[token];
    held.entry = std::move(entry);
    use(held, clock_());
    return held.entry;
  }
  // The live entry of token (its use now counted when touch is set), or
  // null: an expired one is dropped when met, after onExpired(token, entry).
  Entry* find(const std::string& token, bool touch = true, const Dropped& onExpired = nullptr) {
    auto it = entries_.find(token);
    if (it == entries_.end()) return nullptr;
    int64_t now = clock_();
    if (expired(it->second, now)) {
      if (onExpired) onExpired(it->first, it->second.entry);
      entries_.erase(it);
      return nullptr;
    }
    if (touch) use(it->second, now);
    return &it->second.entry;
  }
  // Whether the token has an entry, live or expired (1 or 0, as a map's count).
  size_t count(const std::string& token) const { return entries_.count(token); }
  // Calls visit(token, entry) for every live entry.
  template <class Visit>
  void forEach(Visit visit) {
    int64_t now = clock_();
    for (auto& [token, held] : entries_)
      if (!expired(held, now)) visit(token, held.entry);
  }
  // Bounds the live entries that match: when they number most or more, drops
  // the least recently used of them that canGo(entry) lets go, after
  // onDropped(token, entry). False when they are at the bound and none may
  // go (nothing is dropped then).
  template <class Match, class CanGo>
  bool makeRoom(Match match, size_t most, CanGo canGo, const Dropped& onDropped = nullptr) {
    int64_t now = clock_();
    size_t held = 0;
    auto victim = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (expired(it->second, now) || !match(it->second.entry)) continue;
      ++held;
      if (victim != entries_.end() && victim->second.useOrder <= it->second.useOrder) continue;
      if (canGo(it->second.entry)) victim = it;
    }
    if (held < most) return true;
    if (victim == entries_.end()) return false;
    if (onDropped) onDropped(victim->first, victim->second.entry);
    entries_.erase(victim);
    return true;
  }
  // Milliseconds the token's entry has left (negative once expired), or -1 when unknown.
  int64_t remainingMs(const std::string& token) const {
    auto it = entries_.find(token);
    return it == entries_.end() ? -1 : idleMs_ - (clock_() - it->second.lastUse);
  }
  bool remove(const std::string& token) { return entries_.erase(token) > 0; }
  // Drops every expired entry, each after onExpired(token, entry); how many.
  size_t expire(const Dropped& onExpired = nullptr) {
    int64_t now = clock_();
    size_t dropped = 0;
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (!expired(it->second, now)) {
        ++it;
        continue;
      }
      if (onExpired) onExpired(it->first, it->second.entry);
      it = entries_.erase(it);
      ++dropped;
    }
    return dropped;
  }
  // The first live entry for which match holds, or null.
  template <class Match>
  Entry* findIf(Match match) {
    int64_t now = clock_();
    for (auto& [token, held] : entries_)
      if (!expired(held, now) && match(held.entry)) return &held.entry;
    return nullptr;
  }
  size_t size() const { return entries_.size(); }
  void clear() { entries_.clear(); }
  void setIdleMs(int64_t idleMs) { idleMs_ = idleMs; }

 private:
  struct Held {
    Entry entry{};
    int64_t lastUse = 0;
    uint64_t useOrder = 0;  // orders uses within one tick of the clock
  };
  bool expired(const Held& held, int64_t now) const { return now - held.lastUse >= idleMs_; }
  void use(Held& held, int64_t now) {
    held.lastUse = now;
    held.useOrder = ++uses_;
  }

  std::map<std::string, Held> entries_;
  uint64_t uses_ = 0;
  int64_t idleMs_;
  Clock clock_;
};

// ---- binding a library by name -----------------------------------------------------------------

// One function of a library and where its address goes.
struct Binding {
  const char* name;
  void** slot;
};
// The Binding of table.name: an X-list of names becomes the list of bindings.
#define APPKIT_BINDING(table, name) \
  appkit::Binding { #name, reinterpret_cast<void**>(&(table).name) }

// Loads fileName from the folder of the library this code is built into and
// fills every binding in order. 0, or a code with the message in error
// (1024 bytes): "Not able to load client symbols for <tool> tool. ..." The
// library stays loaded for the process's life.
int bindLibrary(const char* fileName, const char* tool, const std::vector<Binding>& bindings, char* error);

// A library in the same folder as the one this code is built into (a
// sanitizer's dlopen would not search this library's own run path).
std::string libraryNextToSelf(const char* fileName);

// ---- keyword files ----------------------------------------------------------------------------

// How "KEY value" lines are split. The documented rule is the default: words
// separated by white space, a line whose key starts with ";" is a comment,
// the value is the word after the key (empty when there is none).
struct KeywordRules {
  bool blanksOnly = false;          // only " " separates words (a tab belongs to its word)
  const char* commentStarts = ";";  // a key starting with one of these makes the line a comment
  bool valueIsRestOfLine = false;   // the value is the rest of the line, trailing white space removed
  bool lineNeedsValue = false;      // a line with a key and no value is skipped
};
// The key and value of a line: views into the line that was split.
struct KeywordLine {
  std::string_view key, value;
};
// Splits one line (its end of line, if any, included); false for an empty
// line, a comment, or a line the rules skip.
bool parseKeywordLine(std::string_view line, const KeywordRules& rules, KeywordLine* out);
// Calls apply for each line of text (lines end at "\n").
void forEachKeyword(std::string_view text, const KeywordRules& rules,
                    const std::function<void(const KeywordLine&)>& apply);
// Calls apply for each line of file, read in pieces of up to 1023 bytes
// (a longer line is taken as several); stops at a line starting with a NUL byte.
void forEachKeyword(FILE* file, const KeywordRules& rules, const std::function<void(const KeywordLine&)>& apply);

// ---- base64, hexadecimal and tokens ---------------------------------------------------------------

// RFC 4648 base64, up to the first character outside the alphabet. Every
// decoded byte is kept, NUL bytes too: a caller refuses a credential that
// holds one (yx::hasNulByte) rather than use a cut text.
std::string base64Decode(const char* text);
// The bytes a base64 text stands for, up to its first character outside the alphabet.
size_t base64DecodedLength(const char* text);
// Two hexadecimal digits per byte.
std::string hexText(const void* bytes, size_t length, bool upperCase);
// length random bytes from the system; false when it has none to give.
bool randomBytes(void* out, size_t length);
// A session token: byteCount random bytes as hexadecimal digits; empty when
// the system has no randomness to give.
std::string randomToken(size_t byteCount = 16, bool upperCase = false);
// Whether a stored token equals the one a request sent, in time independent
// of where they differ; an empty stored token equals nothing.
bool tokensEqual(const std::string& stored, const char* sent);

// ---- the browser tools: settings, configuration, log ------------------------------------------------

// What the host told the tool at init, and its configuration file's values.
struct ToolSettings {
  bool unicode = false;
  bool agentMaster = false;
  std::string documentRoot;
  std::string localServer;    // "NAME@localhost"
  void* connTypes = nullptr;  // the host's ConnTypeTable, or null
  int poolSize = 10;
  int idleTimeout = 300;
  std::string configPath;
  int32_t (*log)(const char* message, int32_t code) = nullptr;  // the host's log, when it gave one
};
// The settings of the application this library is linked into.
ToolSettings& toolSettings();

// The tools' keyword file rule: single blanks separate the words, a line
// needs a key and a value, a key starting with ";" is a comment.
extern const KeywordRules kToolConfigRules;
// Reads config/<fileName> (first under "..", then under "."): CONN_POOL_SIZE
// and INACTIVE_TIMEOUT into the settings, cut to [0, maxPoolSize] and >= 0;
// the path last tried goes to configPath. A missing file keeps the values.
void readConfiguration(const char* fileName, int maxPoolSize);
// Takes the host's settings from the init record, reads config/<fileName>
// over the given defaults, and writes the application's description,
// configuration type and path into the record.
void readInitRecord(WebAppInitRecord* record, const char* fileName, int maxPoolSize, const char* description,
                    int defaultPoolSize = 10, int defaultIdleTimeout = 300);
// "NAME@localhost": the host's local server, or the engine's default one when the host names none.
std::string localServerName(const WebAppInitRecord* record);
// The host's listeners and connection types; null when the host gave none.
json_object* listAvailableConnections(void* connTypes);
// getInfo of a tool: {"proxy_enabled", "unicode", "availableConnections"} as "result".
void answerToolInfo(json_object* reply, bool markSuccess);

// The address of the client whose request the calling thread serves, as the
// plug-in tells it; "" when it does not.
std::string clientAddress();
// One line to the application's log: the host's log when it gave one, else
// the system log. Control characters (a client's text may hold them) are
// written as "?", so that one line stays one line. code 0 is information.
void toolLog(const std::string& line, int32_t code = 0);
// Logs a command's outcome: a failure always (its code and message), a
// success only when changes says the command changed something.
void logOutcome(const char* application, const char* command, json_object* reply, bool changes);

// ---- the browser tools' JSON files under the document root -------------------------------------

// Replaces *reply with value (released first), or answers code with message when value is null.
void replyWithFile(json_object** reply, json_object* value, int code, const char* message);
// The servers list (zvToolsServers.json), read or written; command names the tool in its messages.
void serversFile(json_object* request, json_object** reply, const char* command);
// The error texts (zvErrors.json), read only.
void errorsFile(json_object** reply);
// The monitor's layouts and dashboard under VixMonitor/.
void layoutsFile(json_object* request, json_object** reply);
void dashboardFile(json_object* request, json_object** reply);

// ---- the slot pool of the browser tools ---------------------------------------------------------

// A pool of logon slots found by token. Slot has `std::string token` and
// `bool inUse() const`. Not locked: the tool's request mutex guards it.
template <class Slot>
class SlotPool {
 public:
  explicit SlotPool(size_t count) : slots(count) {}
  Slot* find(const char* token) {
    for (auto& s : slots)
      if (tokensEqual(s.token, token)) return &s;
    return nullptr;
  }
  Slot* firstFree() {
    for (auto& s : slots)
      if (!s.inUse()) return &s;
    return nullptr;
  }
  std::vector<Slot> slots;
};

// What a tool's connect command asks for.
struct SlotConnectRequest {
  std::string server, user, password;
};
// The result of opening a slot: 0 (done), kSlotPoolFull, or the engine's code.
constexpr int kSlotPoolFull = -1;
// A tool's connect command: reads serverInfo (base64 credentials, the host's
// local server when it names none), refuses NUL bytes, waits as the guard
// asks (before any lock), then calls open, which takes the tool's lock,
// opens a slot and writes "result" on success. The failures are answered
// here: "<command> - Connection pool is full" (9022) or "<command> -
// Connection error" with the code; refused log-ons count in the guard.
void connectSlot(const char* command, json_object* request, json_object* reply, yx::LogonGuard& guard,
                 const std::function<int(const SlotConnectRequest&)>& open);

// ---- the engine credential check -------------------------------------------------------------------

// Logs user on to server and off again, keeping the calling thread's current
// engine owner: 0, or the engine's code (never 0) with its message in why.
int checkEngineLogon(const std::string& server, const std::string& user, const std::string& password, std::string* why);

}  // namespace appkit
