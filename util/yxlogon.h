// Failed log-on accounting shared by every application that checks a user's
// password: failures are counted per user and per client address, an attempt
// after a few failures waits before it is checked (the wait doubles with each
// further failure, up to a ceiling), and failures are logged at most once a
// second per address with the number seen since the last line.
//
// Usage, around the real credential check:
//
//   static yx::LogonGuard guard("finch", logLine);
//   guard.beforeAttempt(user, address);     // may sleep; never holds a lock while it does
//   if (checkPassword(...)) guard.succeeded(user, address);
//   else guard.failed(user, address);
//
// The table is bounded (kMaxEntries); the entry idle longest leaves first.
#ifndef YXLOGON_H
#define YXLOGON_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace yx {

class LogonGuard {
 public:
  using Clock = std::chrono::steady_clock;
  using LogFunction = std::function<void(const std::string& line)>;
  using NowFunction = std::function<Clock::time_point()>;
  using SleepFunction = std::function<void(std::chrono::milliseconds)>;

  static constexpr unsigned kFreeFailures = 3;            // failures before attempts are slowed
  static constexpr std::chrono::milliseconds kFirstDelay{250};
  static constexpr std::chrono::milliseconds kMaxDelay{4000};
  static constexpr std::chrono::minutes kForgetAfter{15};  // a quiet source starts afresh
  static constexpr size_t kMaxEntries = 16384;

  // application names the log lines; log receives each line (may be empty).
  explicit LogonGuard(std::string application, LogFunction log = nullptr, NowFunction now = nullptr,
                      SleepFunction sleep = nullptr);

  // Waits as long as the user's and the address's failures have earned.
  void beforeAttempt(const std::string& user, const std::string& address);
  void failed(const std::string& user, const std::string& address);
  void succeeded(const std::string& user, const std::string& address);

  // The wait the next attempt of this pair would get (tests and callers that
  // answer "try later" instead of sleeping).
  std::chrono::milliseconds delayFor(const std::string& user, const std::string& address);

 private:
  struct Entry {
    unsigned failures = 0;
    Clock::time_point last{};
    Clock::time_point lastLogged{};
    unsigned unlogged = 0;
  };

  std::chrono::milliseconds delayOf(const Entry& entry) const;
  Entry* find(const std::string& key, Clock::time_point now);
  Entry& touch(const std::string& key, Clock::time_point now);
  void evictOldest();

  std::string application_;
  LogFunction log_;
  NowFunction now_;
  SleepFunction sleep_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

// True when length bytes of data hold a NUL byte: a credential or a name with
// one is refused, never cut at it.
bool hasNulByte(const char* data, size_t length);

}  // namespace yx

#endif  // YXLOGON_H
