// Authentication set files (scrambled keyword files) and config/starling.cfg.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <cstring>

#include "starling.h"

extern "C" {
__attribute__((visibility("default"))) UTILKW utilkeywds[2] = {{"USERID", ""}, {"PASSWD", ""}};
}

void starlingParseAuthText(char* text) {
  for (char* line = text; line != nullptr && *line != '\0';) {
    char* end = strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\r') p++;
    if (*p != '\0' && *p != '/' && *p != ';') {
      char keyword[64] = {};
      size_t k = 0;
      while (*p != '\0' && !isspace(static_cast<unsigned char>(*p))) {
        if (k < sizeof keyword - 1) keyword[k++] = *p;
        p++;
      }
      while (*p == ' ' || *p == '\t') p++;
      char value[255] = {};
      snprintf(value, sizeof value, "%.*s", OSPREY_AUTH_VALUE_MAX, p);
      for (size_t n = strlen(value); n > 0 && isspace(static_cast<unsigned char>(value[n - 1])); n--)
        value[n - 1] = '\0';
      for (UTILKW& row : utilkeywds)
        if (strcmp(row.keyword, keyword) == 0) snprintf(row.value, sizeof row.value, "%s", value);
    }
    line = end != nullptr ? end + 1 : nullptr;
  }
}

std::string starlingConfigValueIn(FILE* file, const char* key) {
  char line[1024];
  while (fgets(line, sizeof line, file) != nullptr) {
    char* p = line;
    while (isspace(static_cast<unsigned char>(*p))) p++;
    if (*p == '\0' || *p == ';') continue;
    char name[1024] = {}, value[1024] = {};
    if (sscanf(p, "%1023s %1023s", name, value) < 1) continue;
    if (strcasecmp(name, key) == 0) return value;
  }
  return "";
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
