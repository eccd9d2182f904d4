// The plug-in's configuration loader on osprey.json texts: the file read from
// ../config/ as at start, every key with its default or a warning, then the
// lists the server walks at run time (rewrites, MIME types, the access list,
// index files and the file patterns) read as it reads them. Applications
// named by the file are recorded, not loaded.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "VOKTBasic.h"
#include "fuzz_input.h"
#include "internal.h"
#include "nev.h"

namespace osprey {

// The plug-in's log and application registry, as the loader calls them.
void logf(int32_t, const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
}
int registerWebApp(const char *entry, char *message) {
  std::snprintf(message, 64, "%.40s", entry);
  return 0;
}
int registerWebsocketApp(const char *entry, char *message) { return registerWebApp(entry, message); }

}  // namespace osprey

namespace {

std::string root;

void walk_list(const char *list) {
  if (list == nullptr) return;
  nev_slice key, value;
  int guard = 0;
  for (const char *rest = list; (rest = nev_next_list_entry(rest, &key, &value)) != nullptr && guard < 10000;) ++guard;
  FUZZ_CHECK(guard < 10000);
}

void match(const char *pattern, const char *path) {
  if (pattern == nullptr) return;
  const size_t n = nev_match_prefix(pattern, std::strlen(pattern), path);
  FUZZ_CHECK(n <= std::strlen(path));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  root = fuzz::scratch_folder("fuzz_config");
  if (root.empty()) return 0;
  std::filesystem::create_directories(root + "/config");
  std::filesystem::create_directories(root + "/bin");
  std::filesystem::create_directories(root + "/web");
  if (chdir((root + "/bin").c_str()) != 0) root.clear();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (root.empty()) return 0;
  {
    std::ofstream file(root + "/config/osprey.json", std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(data), std::streamsize(size));
  }
  auto *record = static_cast<WebServerThreadData *>(VOKTAlloc(int(sizeof(WebServerThreadData))));
  FUZZ_CHECK(record != nullptr);
  std::memset(record, 0, sizeof *record);
  char path[1024];
  const int code = osprey::readConfiguration(record, (root + "/web").c_str(), path, sizeof path);
  if (code == 0) {
    walk_list(record->url_rewrites);
    walk_list(record->extra_mime_type);
    walk_list(record->index_files);
    nev_check_access_list(record->access_control_list, 0x7f000001);
    match(record->cgi_pattern, "/cgi-bin/test.cgi");
    match(record->ssi_pattern, "/index.shtml");
    match(record->hide_files_patterns, "/secret/.htpasswd");
  }
  osprey::freeServerRecord(record);
  return 0;
}
