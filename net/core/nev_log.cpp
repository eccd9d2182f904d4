#include "nev_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "nev_str.h"

std::atomic<int> nev_log_level{0};
// Read without the mutex on every message that the level alone turns away.
std::atomic<bool> nev_log_filter_set{false};

namespace {

constexpr int kPrefixWidth = 24;

std::atomic<FILE *> log_stream{nullptr};

// The filter is replaced while other threads may be reading it.
std::mutex filter_mutex;
std::string filter_text;

FILE *current_stream() {
  FILE *stream = log_stream.load();
  if (stream == nullptr) {
    FILE *expected = nullptr;
    log_stream.compare_exchange_strong(expected, stderr);
    stream = log_stream.load();
  }
  return stream;
}

const char *base_name(const char *file) {
  const char *base = file;
  for (const char *p = file; *p != '\0'; p++) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

int decimal_digits(int line) {
  int digits = 1;
  for (int v = line; v >= 10 && digits < 5; v /= 10) digits++;
  return digits;
}

// "<name>:<line>", the name cut so that name, colon and line fit in 23
// characters and at least one blank follows in the 24-character prefix.
struct source_label {
  char text[64];
  size_t len;

  source_label(const char *file, int line) {
    int room = 22 - decimal_digits(line);
    int n = snprintf(text, sizeof text, "%.*s:%d", room, base_name(file), line);
    len = n < 0 ? 0 : static_cast<size_t>(n);
  }
};

// The level a filter entry gives this source, or -2 when no entry names it.
int filtered_level(const source_label &label) {
  std::lock_guard<std::mutex> lock(filter_mutex);
  if (!nev_log_filter_set.load()) return -2;
  nev_slice list = nev_slice{filter_text.data(), filter_text.size()};
  nev_slice key, value;
  while ((list = nev_next_list_entry_slice(list, &key, &value)).p != NULL) {
    if (key.len <= label.len && memcmp(key.p, label.text, key.len) == 0 && value.len > 0) return value.p[0] - '0';
  }
  return -2;
}

bool filter_present() { return nev_log_filter_set.load(); }

}  // namespace

void nev_log_set_level(int level) { nev_log_level.store(level); }

void nev_log_set_file(FILE *stream) { log_stream.store(stream); }

void nev_log_set_filter(const char *filter) try {
  std::lock_guard<std::mutex> lock(filter_mutex);
  filter_text = filter != nullptr ? filter : "";
  nev_log_filter_set.store(filter != nullptr);
} catch (const std::bad_alloc &) {
  // Keep the previous filter: the log is a diagnostic aid, not worth a crash.
}

int nev_log_enabled(int level, const char *file, int line) {
  int global = nev_log_level.load();
  // -1 is how the plug-in silences the log before it closes the stream; no
  // filter entry may reopen it.
  if (global < 0) return 0;
  if (level > global && !filter_present()) return 0;

  source_label label(file, line);
  int effective = filtered_level(label);
  if (effective == -2) effective = global;
  if (level > effective) return 0;

  fprintf(current_stream(), "%-*s", kPrefixWidth, label.text);
  return 1;
}

void nev_log_print(const char *format, ...) {
  FILE *stream = current_stream();
  va_list args;
  va_start(args, format);
  vfprintf(stream, format, args);
  va_end(args);
  fputc('\n', stream);
  fflush(stream);
}
