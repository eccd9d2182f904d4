// The broker's keyword texts: the authentication set file (once unscrambled)
// and config/starling.cfg. Text in, values out; the files are read elsewhere.
#include <strings.h>

#include <cctype>
#include <cstdio>
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
