// osprey.json into the server record: one table of keys, one loader.
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "internal.h"

namespace osprey {

namespace {

enum class Kind {
  Text,      // owned copy; absent or empty: the default (null when none)
  Flag,      // "Y" when the text equals "true" ignoring case, else "N"
  Int,       // int32 with a default
  Interval,  // int32; 1 to 4 are replaced by the default
  Joined     // array of strings joined with "\r\n"
};

struct ConfigKey {
  const char* name;
  Kind kind;
  size_t offset;
  const char* textDefault;
  int32_t intDefault;
  int32_t least;  // smallest number the key means anything by
};

#define TEXT_KEY(field, def) \
  { #field, Kind::Text, offsetof(WebServerThreadData, field), def, 0, 0 }
#define FLAG_KEY(field) \
  { #field, Kind::Flag, offsetof(WebServerThreadData, field), nullptr, 0, 0 }
#define INT_KEY(field, def, least) \
  { #field, Kind::Int, offsetof(WebServerThreadData, field), nullptr, def, least }
#define INTERVAL_KEY(field, def) \
  { #field, Kind::Interval, offsetof(WebServerThreadData, field), nullptr, def, 0 }

// The Digest realm when "auth_domain" is absent.
constexpr const char* kDefaultAuthDomain = "brenlox.local";

// In the order of the record.
const ConfigKey kConfigKeys[] = {
    TEXT_KEY(access_control_list, nullptr),
    TEXT_KEY(auth_domain, kDefaultAuthDomain),
    TEXT_KEY(cgi_interpreter, nullptr),
    TEXT_KEY(cgi_pattern, "**.cgi$|**.pl$|**.php$"),
    TEXT_KEY(dav_auth_file, nullptr),
    TEXT_KEY(document_root, "./web"),
    TEXT_KEY(enable_directory_listing, "yes"),
    TEXT_KEY(extra_mime_type, nullptr),
    {"extra_headers", Kind::Joined, offsetof(WebServerThreadData, extra_headers), nullptr, 0, 0},
    TEXT_KEY(global_auth_file, nullptr),
    TEXT_KEY(hide_files_patterns, nullptr),
    TEXT_KEY(hexdump_file, nullptr),
    TEXT_KEY(index_files, "index.html,index.htm,index.shtml,index.cgi,index.php,index.lp"),
    TEXT_KEY(listening_https_port, nullptr),
    TEXT_KEY(ssi_pattern, "**.shtml$|**.shtm$"),
    TEXT_KEY(ssl_certificate, nullptr),
    TEXT_KEY(ssl_key, nullptr),
    TEXT_KEY(ssl_ca, nullptr),
    TEXT_KEY(ssl_cipher_suites, nullptr),
    TEXT_KEY(url_rewrites, nullptr),
    INT_KEY(web_thread_count, 10, 1),
    TEXT_KEY(listening_http_port, nullptr),
    FLAG_KEY(mqtt_enabled),
    TEXT_KEY(mqtt_listening_port, "1883"),
    TEXT_KEY(mqtt_websocket_port, nullptr),
    FLAG_KEY(mqtt_websocket_ssl_enabled),
    FLAG_KEY(mqtt_persistence_enabled),
    FLAG_KEY(mqtt_log_enabled),
    INT_KEY(mqtt_conn_inactive_timeout, 30, INT32_MIN),
    INT_KEY(mqtt_conn_request_timeout, 10, 1),
    INT_KEY(mqtt_max_dbconn_count, 32, 1),
    INTERVAL_KEY(mqtt_statistics_interval, 5),
    INTERVAL_KEY(mqtt_statistics_persistence_interval, 15),
    TEXT_KEY(linked_vix_server, nullptr),
    INT_KEY(verbose_level, -1, INT32_MIN),
    TEXT_KEY(jvm_lib, nullptr),
};

// Texts the record owns besides the table's.
const size_t kOtherTexts[] = {
    offsetof(WebServerThreadData, webDirectory),
    offsetof(WebServerThreadData, serverName),
    offsetof(WebServerThreadData, defaultSqlDatabase),
};

char*& textField(WebServerThreadData* record, size_t offset) {
  return *reinterpret_cast<char**>(reinterpret_cast<char*>(record) + offset);
}

int32_t& intField(WebServerThreadData* record, size_t offset) {
  return *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(record) + offset);
}

void logInvalid(const ConfigKey& key, const char* path, const char* why) {
  logf(OSPREY_LOG_WARNING, "osprey - Invalid value of key [%s] in [%s] - %s; the default is used.", key.name, path, why);
}

// The member's text: strings as they are, numbers and booleans as JSON
// writes them (so a port may be given as 8080 or "8080"). Null when absent,
// JSON null, or not a scalar (logged).
const char* scalarText(json_object* config, const ConfigKey& key, const char* path) {
  json_object* value = nullptr;
  if (!zvJsonGetByName(config, key.name, &value) || value == nullptr) return nullptr;
  switch (json_object_get_type(value)) {
    case json_type_string:
    case json_type_int:
    case json_type_double:
    case json_type_boolean:
      return json_object_get_string(value);
    default:
      logInvalid(key, path, "a text or a number is expected");
      return nullptr;
  }
}

void readText(WebServerThreadData* record, json_object* config, const ConfigKey& key, const char* path) {
  const char* text = scalarText(config, key, path);
  if (text == nullptr || text[0] == '\0') text = key.textDefault;
  textField(record, key.offset) = dupStr(text);
}

// "true" or "false" in any case (a JSON boolean writes the same); anything
// else ("yes", "1") counts as false and is logged, so that an operator who
// meant it on learns why it stays off.
void readFlag(WebServerThreadData* record, json_object* config, const ConfigKey& key, const char* path) {
  const char* text = scalarText(config, key, path);
  bool on = text != nullptr && strcasecmp(text, "true") == 0;
  if (text != nullptr && !on && strcasecmp(text, "false") != 0) logInvalid(key, path, "true or false is expected");
  textField(record, key.offset) = dupStr(on ? "Y" : "N");
}

// Texts with a fixed vocabulary: another value behaves as one of them without
// saying so.
void checkChoice(WebServerThreadData* record, const ConfigKey& key, const char* path) {
  if (std::strcmp(key.name, "enable_directory_listing") != 0) return;
  const char* value = textField(record, key.offset);
  if (value != nullptr && std::strcmp(value, "yes") != 0 && std::strcmp(value, "no") != 0)
    logf(OSPREY_LOG_WARNING, "osprey - Invalid value of key [%s] in [%s] - yes or no is expected; no is used.", key.name, path);
}

// A port the broker cannot listen on would keep the whole broker from
// starting: it is refused here, and the listener stays off.
void checkPort(WebServerThreadData* record, const ConfigKey& key, const char* path) {
  if (std::strcmp(key.name, "mqtt_websocket_port") != 0) return;
  char*& value = textField(record, key.offset);
  if (value == nullptr || std::strcmp(value, "0") == 0 || nev_listen_address_valid(value)) return;
  logInvalid(key, path, "a port number below 65535 is expected");
  VOKTFree(value);
  value = nullptr;
}

bool parseInt32(const char* text, int32_t* out) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  while (end != nullptr && (*end == ' ' || *end == '\t')) ++end;
  if (end == text || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

void readInt(WebServerThreadData* record, json_object* config, const ConfigKey& key, const char* path) {
  int32_t value = key.intDefault;
  json_object* member = nullptr;
  if (zvJsonGetByName(config, key.name, &member) && member != nullptr) {
    int32_t parsed = 0;
    bool valid = false;
    if (json_object_get_type(member) == json_type_int) {
      int64_t wide = json_object_get_int64(member);
      valid = wide >= INT32_MIN && wide <= INT32_MAX;
      parsed = static_cast<int32_t>(wide);
    } else if (json_object_get_type(member) == json_type_string) {
      valid = parseInt32(json_object_get_string(member), &parsed);
    }
    if (!valid)
      logInvalid(key, path, "a whole number is expected");
    else if (parsed < key.least)
      logInvalid(key, path, key.least == 1 ? "a number above 0 is expected" : "a number of 0 or more is expected");
    else
      value = parsed;
  }
  if (key.kind == Kind::Interval && value >= 1 && value <= 4) value = key.intDefault;
  intField(record, key.offset) = value;
}

// True when every line of the text has something on it. The joined texts go
// into every reply's head as they are, where an empty line ends the head: the
// rest of the head would then reach the client as body.
bool hasNoEmptyLine(const char* text) {
  const char* line = text;
  for (;;) {
    const char* end = std::strchr(line, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length == 0) return false;
    if (end == nullptr) return true;
    line = end + 1;
  }
}

// The strings of an array member; other elements, and strings that would put
// an empty line into a reply's head, are logged and skipped.
std::string joinStrings(json_object* array, const ConfigKey& key, const char* path) {
  std::string joined;
  int count = zvJsonArrayLength(array);
  for (int i = 0; i < count; ++i) {
    json_object* element = zvJsonArrayGetIdx(array, i);
    if (json_object_get_type(element) != json_type_string) {
      logInvalid(key, path, "an element that is not a text is left out");
      continue;
    }
    if (!hasNoEmptyLine(json_object_get_string(element))) {
      logInvalid(key, path, "an element that is empty or holds an empty line is left out");
      continue;
    }
    if (!joined.empty()) joined += "\r\n";
    joined += json_object_get_string(element);
  }
  return joined;
}

void readJoined(WebServerThreadData* record, json_object* config, const ConfigKey& key, const char* path) {
  json_object* member = nullptr;
  if (!zvJsonGetByName(config, key.name, &member) || member == nullptr) return;
  if (json_object_get_type(member) != json_type_array) {
    logInvalid(key, path, "an array of texts is expected");
    return;
  }
  std::string joined = joinStrings(member, key, path);
  char* text = static_cast<char*>(VOKTAlloc(static_cast<int>(joined.size() + 1)));
  if (text == nullptr) YX_THROW("readConfiguration", YX_KIND_SYSTEM, kErrAlloc, "Couldn't allocate string buffer");
  std::memcpy(text, joined.c_str(), joined.size() + 1);
  textField(record, key.offset) = text;
}

// Registers every string of the array member `name` with `add`.
void registerListed(json_object* config, const char* name, const char* path, int (*add)(const char*, char*)) {
  json_object* array = nullptr;
  if (!zvJsonGetByName(config, name, &array) || array == nullptr) return;
  if (json_object_get_type(array) != json_type_array) {
    logf(OSPREY_LOG_WARNING, "osprey - Invalid value of key [%s] in [%s] - an array of texts is expected.", name, path);
    return;
  }
  int count = zvJsonArrayLength(array);
  for (int i = 0; i < count; ++i) {
    json_object* element = zvJsonArrayGetIdx(array, i);
    if (json_object_get_type(element) != json_type_string) {
      logf(OSPREY_LOG_WARNING, "osprey - Invalid value of key [%s] in [%s] - element %d is not a text.", name, path, i);
      continue;
    }
    char message[kMessageSize];
    add(json_object_get_string(element), message);  // logged by the registration
  }
}

// Keys outside the server record: the application lists, and settings the
// applications read from the document themselves (name, default as text).
struct ApplicationKey {
  const char* name;
  const char* textDefault;
};
// Counts and time-outs among them, where 0 means no limit and a negative
// number means nothing; the broker then takes the default.
const char* const kApplicationCounts[] = {"mqtt_connect_timeout", "mqtt_max_queued_messages", "mqtt_max_queued_bytes"};

const ApplicationKey kApplicationKeys[] = {
    {"applications", nullptr},
    {"websocket_applications", nullptr},
    {"mqtt_connect_timeout", "10"},
    {"mqtt_max_queued_messages", "1000"},
    {"mqtt_max_queued_bytes", "8388608"},
};

// Members the key tables do not know are read by nobody: a misspelt key
// silently leaves its setting at the default.
void warnUnknownKeys(json_object* config, const char* path) {
  json_object_object_foreach(config, name, value) {
    (void)value;
    bool known = false;
    for (const ApplicationKey& key : kApplicationKeys) known = known || std::strcmp(name, key.name) == 0;
    for (const ConfigKey& key : kConfigKeys) known = known || std::strcmp(name, key.name) == 0;
    if (!known) logf(OSPREY_LOG_WARNING, "osprey - Unknown key [%s] in [%s] is ignored.", name, path);
  }
}

void warnNegativeCounts(json_object* config, const char* path) {
  for (const char* name : kApplicationCounts) {
    json_object* member = nullptr;
    if (!zvJsonGetByName(config, name, &member) || member == nullptr) continue;
    bool negative = json_object_get_type(member) == json_type_int ? json_object_get_int64(member) < 0
                    : json_object_get_type(member) == json_type_string
                        ? std::strtoll(json_object_get_string(member), nullptr, 10) < 0
                        : false;
    if (negative)
      logf(OSPREY_LOG_WARNING,
           "osprey - Invalid value of key [%s] in [%s] - a number of 0 or more is expected; the default is used.", name,
           path);
  }
}

// The document root is read at every request; a root that is not there is
// the operator's mistake to learn at the start, not from a 404 later.
void checkDocumentRoot(const WebServerThreadData* record) {
  const char* root = record->document_root;
  struct stat st;
  if (root == nullptr) return;
  int error = stat(root, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (error != 0) logf(error, "osprey - Document root [%s] is not usable - %s", root, strerror(error));
}

// The absolute path of the file read, so the operator knows which of the two
// places was taken.
void logLoadedFrom(const char* path) {
  char* absolute = realpath(path, nullptr);
  logf(0, "osprey - Web Server configuration loaded from [%s]", absolute != nullptr ? absolute : path);
  std::free(absolute);
}

bool fileMissing(const char* path) {
  struct stat st;
  return stat(path, &st) != 0 && errno == ENOENT;
}

// Names the place of a syntax fault by line and column (both from 1), so
// that the operator need not search the file for it.
void logUnreadable(const char* path) {
  const VOKTJsonParseStatus status = zvJsonLastParseStatus();
  if (status.error == VOKT_JSON_UNREADABLE) {
    const int error = errno;
    logf(-1, "Not able to load Web Server configuration from [%s] - %s.", path, strerror(error));
    return;
  }
  if (status.error != VOKT_JSON_SYNTAX && status.error != VOKT_JSON_TOO_DEEP) {
    logf(-1, "Not able to load Web Server configuration from [%s]. Invalid JSON document.", path);
    return;
  }
  size_t line = 1, column = 1;
  if (FILE* file = fopen(path, "rb")) {
    for (size_t at = 0; at < status.offset; ++at) {
      const int c = fgetc(file);
      if (c == EOF) break;
      if (c == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    fclose(file);
  }
  logf(-1, "Not able to load Web Server configuration from [%s]. Invalid JSON document at line %zu, column %zu.",
       path, line, column);
}

}  // namespace

json_object* loadConfigFile(char* path, size_t pathSize) {
  const char* const places[] = {"../config/osprey.json", "./config/osprey.json"};
  for (const char* place : places) {
    snprintf(path, pathSize, "%s", place);
    json_object* config = zvJsonFileLoad(path);
    if (config != nullptr) return config;
    if (!fileMissing(path)) {
      logUnreadable(path);
      return nullptr;
    }
  }
  logf(-1, "Not able to load Web Server configuration from [%s] or [%s] - neither file exists.", places[0],
       places[1]);
  return nullptr;
}

int readConfiguration(WebServerThreadData* record, const char* webDirectory, char* path, size_t pathSize) {
  zvJsonPtr owner(loadConfigFile(path, pathSize));
  json_object* config = owner.get();
  if (config == nullptr) return kErrNoConfig;
  if (json_object_get_type(config) != json_type_object) {
    logf(-1, "Not able to load Web Server configuration from [%s]. A JSON object is expected.", path);
    return kErrNoConfig;
  }
  logLoadedFrom(path);
  warnUnknownKeys(config, path);
  warnNegativeCounts(config, path);
  try {
    for (const ConfigKey& key : kConfigKeys) {
      switch (key.kind) {
        case Kind::Text:
          readText(record, config, key, path);
          checkChoice(record, key, path);
          checkPort(record, key, path);
          break;
        case Kind::Flag:
          readFlag(record, config, key, path);
          break;
        case Kind::Int:
        case Kind::Interval:
          readInt(record, config, key, path);
          break;
        case Kind::Joined:
          readJoined(record, config, key, path);
          break;
      }
    }
    registerListed(config, "applications", path, registerWebApp);
    registerListed(config, "websocket_applications", path, registerWebsocketApp);
    record->webDirectory = dupStr(webDirectory);
    checkDocumentRoot(record);
  } catch (const YXException& e) {
    return e.GetErrorCode() != 0 ? e.GetErrorCode() : kErrAlloc;
  }
  record->config = owner.release();
  return 0;
}

void freeServerRecord(WebServerThreadData* record) {
  if (record == nullptr) return;
  for (const ConfigKey& key : kConfigKeys)
    if (key.kind != Kind::Int && key.kind != Kind::Interval) VOKTFree(textField(record, key.offset));
  for (size_t offset : kOtherTexts) VOKTFree(textField(record, offset));
  zvJsonRelease(record->config);
  VOKTFree(record);
}

}  // namespace osprey
