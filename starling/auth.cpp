// Authentication set files (scrambled keyword files) and config/starling.cfg.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <cstring>

#include "appkit.h"
#include "starling.h"

extern "C" {
__attribute__((visibility("default"))) UTILKW utilkeywds[2] = {{"USERID", ""}, {"PASSWD", ""}};
}

// The authentication set's rule: "/" comments too, the value is the rest of
// the line, keywords are compared exactly.
void starlingParseAuthText(char* text) {
  const appkit::KeywordRules rules{false, ";/", true, false};
  appkit::forEachKeyword(std::string_view(text), rules, [](const appkit::KeywordLine& line) {
    std::string keyword(line.key.substr(0, sizeof(UTILKW::keyword) - 1));
    std::string value(line.value.substr(0, OSPREY_AUTH_VALUE_MAX));
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    for (UTILKW& row : utilkeywds)
      if (keyword == row.keyword) snprintf(row.value, sizeof row.value, "%s", value.c_str());
  });
}

std::string starlingConfigValueIn(FILE* file, const char* key) {
  std::string found;
  bool seen = false;
  appkit::forEachKeyword(file, appkit::KeywordRules{}, [&](const appkit::KeywordLine& line) {
    if (!seen && line.key.size() == strlen(key) && strncasecmp(line.key.data(), key, line.key.size()) == 0) {
      found.assign(line.value);
      seen = true;
    }
  });
  return found;
}

namespace {

std::mutex gAuthMutex;  // utilkeywds is one table for the process

}  // namespace

int ReadAuthFile(const char* path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "rb"), fclose);
  if (!file) return 11;
  if (fseek(file.get(), 0, SEEK_END) != 0) return 15;
  long length = ftell(file.get());
  if (length < 0 || fseek(file.get(), 0, SEEK_SET) != 0) return 15;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(length) + 1]());
  if (!buffer) return 12;
  if (length == 0 || fread(buffer.get(), 1, static_cast<size_t>(length), file.get()) != static_cast<size_t>(length))
    return 13;
  file.reset();
  xorAuthText(buffer.get(), static_cast<size_t>(length));
  buffer[length] = '\0';
  starlingParseAuthText(buffer.get());
  return 0;
}

void _readAuthFile(const char* path, char** user, char** password) {
  if (path == nullptr || path[0] == '\0')
    throw YXException("_readAuthFile", 1, -1, "Missing authentication file []", __FILE__, __LINE__);
  std::lock_guard<std::mutex> lock(gAuthMutex);
  int code = 0;
  for (int attempt = 0; attempt < 11; attempt++) {
    utilkeywds[0].value[0] = '\0';
    utilkeywds[1].value[0] = '\0';
    code = ReadAuthFile(path);
    if (code == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (code != 0) starlingThrow("ReadAuthFile", code, "Failed to load user name from authentication file [%s]", path);
  if (utilkeywds[0].value[0] == '\0')
    starlingThrow("_readAuthFile", -1, "Failed to read user name from authentication file [%s]", path);
  if (utilkeywds[1].value[0] == '\0')
    starlingThrow("_readAuthFile", -2, "Failed to load password from authentication file [%s]", path);
  *user = dupStr(utilkeywds[0].value);
  *password = dupStr(utilkeywds[1].value);
}

bool writeAuthFile(const char* path, const char* user, const char* password) {
  std::string text = std::string("USERID ") + user + "\nPASSWD " + password + "\n";
  xorAuthText(text.data(), text.size());
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  fchmod(fd, 0600);  // an existing file keeps its mode otherwise
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

FILE* findConfigFile() {
  StarlingBroker& b = starlingBroker();
  for (const char* path : {"../config/starling.cfg", "./config/starling.cfg"}) {
    if (FILE* file = fopen(path, "r")) {
      snprintf(b.configPath, sizeof b.configPath, "%s", path);
      return file;
    }
  }
  b.configPath[0] = '\0';
  return nullptr;
}

std::string starlingConfigValue(const char* key) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(findConfigFile(), fclose);
  return file ? starlingConfigValueIn(file.get(), key) : "";
}
