// The engine's verbose log: a process-wide level, an output stream and an
// optional filter by source file. Each message is one line: a 24-character
// prefix of source file base name and line, then the text.
//
// Levels used by the engine: 0 errors, 3 connection and protocol tracing,
// 4 detailed traces. Level -1 writes nothing.
//
// Threading: any thread may log or change the settings; messages of several
// threads may interleave between a prefix and its text.
#pragma once

#include <atomic>
#include <cstdio>

extern std::atomic<int> nev_log_level;  // initially 0
// Set while a filter is in force (nev_log_set_filter); read by NEV_LOG.
extern std::atomic<bool> nev_log_filter_set;

void nev_log_set_level(int level);
// The stream stays the caller's (never closed here); NULL falls back to
// standard error at the next message.
void nev_log_set_file(FILE *stream);
// Comma-separated "<file prefix>=<level digit>" entries that override the
// level for the sources they name; NULL clears the filter. The text is copied.
void nev_log_set_filter(const char *filter);

// Decides whether a message of this level from file:line is written; when it
// is, writes the prefix and returns 1, else 0.
int nev_log_enabled(int level, const char *file, int line);
// Writes the formatted text, a line feed, and flushes.
void nev_log_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The part of nev_log_enabled's decision that needs no lock and no source
// label: 0 when no message of this level can be written. Messages turned away
// here cost no call, which matters on paths run for every request.
inline bool nev_log_may_write(int level) {
  const int global = nev_log_level.load(std::memory_order_relaxed);
  return global >= 0 && (level <= global || nev_log_filter_set.load(std::memory_order_relaxed));
}

// NEV_LOG(3, ("%p accepted %s", conn, addr));
#define NEV_LOG(level, args)                                                                          \
  do {                                                                                                \
    if (nev_log_may_write(level) && nev_log_enabled((level), __FILE__, __LINE__)) nev_log_print args; \
  } while (0)
