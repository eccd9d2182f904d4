// The zvJson helpers over json-c. Every function accepts null and values of
// the wrong type without crashing: json-c asserts on those, and request
// bodies decide what callers pass here.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "VOKTBasic.h"

namespace {

constexpr const char* kSuccessKey = "success";
constexpr const char* kErrorCodeKey = "errorCode";
constexpr const char* kErrorMessageKey = "errorMessage";
constexpr int kPlainFlags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;
constexpr int kFileFlags = JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE;

bool isType(json_object* value, json_type type) { return value && json_object_get_type(value) == type; }

// A member that is present and not JSON null.
json_object* memberValue(json_object* object, const char* key) {
  json_object* value = nullptr;
  if (!key || !json_object_object_get_ex(object, key, &value)) return nullptr;
  return value;
}

struct TokenerDeleter {
  void operator()(json_tokener* tokener) const { json_tokener_free(tokener); }
};

struct FileDeleter {
  void operator()(FILE* file) const { std::fclose(file); }
};

bool onlyBlanks(const char* text, size_t from, size_t length) {
  for (size_t i = from; i < length; ++i)
    if (!std::isspace(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

thread_local VOKTJsonParseStatus tLastParse{VOKT_JSON_PARSED, 0};

VOKTJsonParseStatus failedAt(VOKTJsonParseError error, size_t offset) {
  tLastParse = VOKTJsonParseStatus{error, offset};
  return tLastParse;
}

// Bytes a parsed tree is expected to hold per value beyond its text: json-c
// makes an object of each value, a hash entry of each member, and grows
// arrays by doubling.
constexpr size_t kBytesPerValue = 96;
// Trees estimated at least this large are counted against the budget while
// they live; smaller ones cost too little to matter.
constexpr size_t kCountedTree = 64 * 1024;
// Freeing a tree at least this large gives the heap's free top back.
constexpr size_t kTrimAfter = 1024 * 1024;

std::atomic<size_t> gParsedBytes{0};  // estimate of the counted trees alive

// The values (structural characters outside strings) of a text; stops
// counting past `limit`.
size_t countValues(const char* text, size_t length, size_t limit) {
  size_t values = 1;
  bool inString = false;
  for (size_t i = 0; i < length && values <= limit; ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == ',' || c == '[' || c == '{' || c == ':') {
      ++values;
    }
  }
  return values;
}

void releaseEstimate(json_object*, void* userdata) {
  const size_t estimate = reinterpret_cast<uintptr_t>(userdata);
  gParsedBytes.fetch_sub(estimate);
  if (estimate >= kTrimAfter) malloc_trim(0);
}

// Takes estimate bytes of the budget; false when other trees hold so much
// that this one would go past it (one tree alone is always let through: its
// values are bounded already).
bool reserve(size_t estimate) {
  size_t held = gParsedBytes.load();
  do {
    if (held != 0 && held + estimate > VOKT_JSON_PARSE_BUDGET) return false;
  } while (!gParsedBytes.compare_exchange_weak(held, held + estimate));
  return true;
}

// Whether the integer literal text[0, length) ("-" and digits) lies outside
// the signed 64-bit range. json-c would clamp it to the range's end, so a
// caller could not tell -9223372036854775809 from -9223372036854775808.
bool integerOutOfRange(const char* text, size_t length) {
  const bool negative = text[0] == '-';
  size_t start = negative ? 1 : 0;
  while (start + 1 < length && text[start] == '0') ++start;
  const char* limit = negative ? "9223372036854775808" : "9223372036854775807";
  const size_t digits = length - start, limitDigits = std::strlen(limit);
  if (digits != limitDigits) return digits > limitDigits;
  return std::memcmp(text + start, limit, digits) > 0;
}

}  // namespace

bool zvJsonWidenLargeIntegers(const char* text, size_t length, std::string& widened) {
  bool inString = false, found = false;
  size_t copied = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    if (c != '-' && !std::isdigit(static_cast<unsigned char>(c))) continue;
    size_t end = i + 1;
    while (end < length && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    const bool decimal = end < length && (text[end] == '.' || text[end] == 'e' || text[end] == 'E');
    if (!decimal && end - i > 1 && integerOutOfRange(text + i, end - i)) {
      widened.append(text + copied, end - copied).append(".0");
      copied = end;
      found = true;
    }
    i = end - 1;
  }
  if (found) widened.append(text + copied, length - copied);
  return found;
}

std::string zvJsonNarrowWidenedIntegers(const char* text) {
  std::string narrowed;
  const size_t length = text ? std::strlen(text) : 0;
  bool inString = false;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    narrowed += c;
    if (inString) {
      if (c == '\\' && i + 1 < length) narrowed += text[++i];
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    if (c != '-' && !std::isdigit(static_cast<unsigned char>(c))) continue;
    size_t end = i + 1;
    while (end < length && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    narrowed.append(text + i + 1, end - i - 1);
    const bool widenedZero = end + 1 < length && text[end] == '.' && text[end + 1] == '0' &&
                             (end + 2 == length || !std::strchr("0123456789eE", text[end + 2]));
    if (widenedZero && end - i > 1 && integerOutOfRange(text + i, end - i)) end += 2;
    // the rest of a number (its fraction or exponent) is copied as it is
    while (end < length && std::strchr("0123456789.eE+-", text[end])) narrowed += text[end++];
    i = end - 1;
  }
  return narrowed;
}

namespace {

// Parses length bytes of text. JSON text never holds a NUL byte (strings
// escape it), so one inside refuses the text: the parser would stop there
// and never see what follows.
json_object* parseText(const char* text, size_t length) {
  tLastParse = VOKTJsonParseStatus{VOKT_JSON_PARSED, 0};
  if (!text) {
    failedAt(VOKT_JSON_SYNTAX, 0);
    return nullptr;
  }
  if (length > static_cast<size_t>(INT_MAX) - 1) {
    failedAt(VOKT_JSON_TOO_LARGE, 0);
    return nullptr;
  }
  if (const void* nul = std::memchr(text, '\0', length)) {
    failedAt(VOKT_JSON_SYNTAX, static_cast<size_t>(static_cast<const char*>(nul) - text));
    return nullptr;
  }
  const size_t values = countValues(text, length, VOKT_JSON_MAX_VALUES);
  if (values > VOKT_JSON_MAX_VALUES) {
    failedAt(VOKT_JSON_TOO_LARGE, 0);
    return nullptr;
  }
  const size_t estimate = length + values * kBytesPerValue;
  const bool counted = estimate >= kCountedTree;
  if (counted && !reserve(estimate)) {
    failedAt(VOKT_JSON_BUSY, 0);
    return nullptr;
  }
  // Released unless the tree takes the reservation over.
  auto unreserve = [&] {
    if (counted) gParsedBytes.fetch_sub(estimate);
  };
  std::unique_ptr<json_tokener, TokenerDeleter> tokener(json_tokener_new_ex(VOKT_JSON_MAX_DEPTH));
  if (!tokener) {
    unreserve();
    failedAt(VOKT_JSON_BUSY, 0);
    return nullptr;
  }
  std::string widened;
  if (zvJsonWidenLargeIntegers(text, length, widened)) {
    text = widened.c_str();
    length = widened.size();
    if (length > static_cast<size_t>(INT_MAX) - 1) {
      unreserve();
      failedAt(VOKT_JSON_TOO_LARGE, 0);
      return nullptr;
    }
  }
  // The terminating NUL is passed too, so a bare number at the end is complete.
  json_object* value = json_tokener_parse_ex(tokener.get(), text, static_cast<int>(length) + 1);
  const json_tokener_error error = json_tokener_get_error(tokener.get());
  size_t end = json_tokener_get_parse_end(tokener.get());
  if (error != json_tokener_success) {
    json_object_put(value);
    unreserve();
    failedAt(error == json_tokener_error_depth ? VOKT_JSON_TOO_DEEP : VOKT_JSON_SYNTAX, end);
    return nullptr;
  }
  if (end < length && !onlyBlanks(text, end, length)) {
    json_object_put(value);
    unreserve();
    failedAt(VOKT_JSON_SYNTAX, end);
    return nullptr;
  }
  if (counted) {
    // The tree holds its share of the budget until it is freed, by whichever
    // deliverable frees it. Scalars keep their user data for their own text.
    const json_type type = json_object_get_type(value);
    if (type == json_type_object || type == json_type_array || type == json_type_string) {
      json_object_set_userdata(value, reinterpret_cast<void*>(static_cast<uintptr_t>(estimate)), releaseEstimate);
    } else {
      unreserve();
    }
  }
  return value;
}

bool readWholeFile(const char* path, std::string& content) {
  std::unique_ptr<FILE, FileDeleter> file(std::fopen(path, "rb"));
  if (!file) return false;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) content.append(chunk, got);
  return !std::ferror(file.get());
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// The file a path names, through symbolic links, so that replacing it keeps
// the link; the path itself when it does not exist yet.
std::string resolveTarget(const char* path) {
  char* real = ::realpath(path, nullptr);
  if (!real) return path;
  std::string target(real);
  std::free(real);
  return target;
}

// Writes text to a temporary file beside target and renames it over target.
int replaceFile(const std::string& target, const char* text) {
  std::string temporary = target + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return errno ? errno : -1;
  struct stat existing;
  mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  int result = 0;
  if (::fchmod(fd, mode) != 0 || !writeAll(fd, text, std::strlen(text)) || ::fsync(fd) != 0)
    result = errno ? errno : -1;
  if (::close(fd) != 0 && result == 0) result = errno ? errno : -1;
  if (result == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) result = errno ? errno : -1;
  if (result != 0) ::unlink(temporary.c_str());
  return result;
}

int writeNull(json_object*, printbuf* out, int, int) { return printbuf_strappend(out, "null"); }

// JSON has no infinities or NaN (json-c would write "Infinity" and "NaN",
// which no JSON reader takes): every non-finite double of the tree is written
// as null. Walks without recursion, as callers may build trees of any depth.
void nullNonFiniteNumbers(json_object* root) {
  std::vector<json_object*> pending{root};
  while (!pending.empty()) {
    json_object* value = pending.back();
    pending.pop_back();
    switch (json_object_get_type(value)) {
      case json_type_double:
        if (!std::isfinite(json_object_get_double(value)))
          json_object_set_serializer(value, writeNull, nullptr, nullptr);
        break;
      case json_type_array:
        for (size_t i = 0, n = json_object_array_length(value); i < n; ++i)
          pending.push_back(json_object_array_get_idx(value, i));
        break;
      case json_type_object: {
        json_object_object_foreach(value, key, member) {
          (void)key;
          pending.push_back(member);
        }
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

json_object* zvJsonAlloc() { return json_object_new_object(); }
json_object* zvJsonAllocArray() { return json_object_new_array(); }
json_object* zvJsonAllocString(const char* text) { return json_object_new_string(text ? text : ""); }
json_object* zvJsonAllocInt(int32_t value) { return json_object_new_int(value); }
json_object* zvJsonAllocBigint(int64_t value) { return json_object_new_int64(value); }
json_object* zvJsonAllocBoolean(int value) { return json_object_new_boolean(value ? 1 : 0); }
json_object* zvJsonAllocDouble(double value) { return json_object_new_double(value); }

int zvJsonAdd(json_object* object, const char* key, json_object* value, int flag) {
  if (object && object == value) return -1;  // a tree never contains itself
  if (!isType(object, json_type_object) || !key) {
    if (flag == 0) json_object_put(value);
    return -1;
  }
  json_object* present = nullptr;
  if (json_object_object_get_ex(object, key, &present) && present == value && value) {
    // Already the member: the object keeps its one reference (json-c would
    // free the value before storing it again).
    return 0;
  }
  if (flag != 0) json_object_get(value);
  if (json_object_object_add(object, key, value) != 0) {
    json_object_put(value);
    return -1;
  }
  return 0;
}

int zvJsonAddString(json_object* object, const char* key, const char* value) {
  return zvJsonAdd(object, key, value ? json_object_new_string(value) : nullptr, 0);
}
int zvJsonAddInt(json_object* object, const char* key, int32_t value) {
  json_object* member = json_object_new_int(value);
  return member ? zvJsonAdd(object, key, member, 0) : -1;
}
int zvJsonAddBigint(json_object* object, const char* key, int64_t value) {
  json_object* member = json_object_new_int64(value);
  return member ? zvJsonAdd(object, key, member, 0) : -1;
}
int zvJsonAddBoolean(json_object* object, const char* key, int value) {
  json_object* member = json_object_new_boolean(value ? 1 : 0);
  return member ? zvJsonAdd(object, key, member, 0) : -1;
}
int zvJsonAddDouble(json_object* object, const char* key, double value) {
  json_object* member = json_object_new_double(value);
  return member ? zvJsonAdd(object, key, member, 0) : -1;
}

int zvJsonAddTimestamp(json_object* object, const char* key, int64_t seconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm parts;
  if (!gmtime_r(&when, &parts)) return -1;
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return -1;
  return zvJsonAddString(object, key, text);
}

int zvJsonArrayAdd(json_object* array, json_object* value) {
  if (!isType(array, json_type_array) || array == value) {
    if (array != value) json_object_put(value);
    return -1;
  }
  if (json_object_array_add(array, value) != 0) {
    json_object_put(value);
    return -1;
  }
  return 0;
}

int zvJsonArrayLength(json_object* array) {
  if (!isType(array, json_type_array)) return 0;
  size_t length = json_object_array_length(array);
  return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

json_object* zvJsonArrayGetIdx(json_object* array, int index) {
  if (index < 0 || index >= zvJsonArrayLength(array)) return nullptr;
  return json_object_array_get_idx(array, static_cast<size_t>(index));
}

int zvJsonArrayGetIdx(json_object* array, int index, json_object** out) {
  if (index < 0 || index >= zvJsonArrayLength(array)) return 0;
  if (out) *out = json_object_array_get_idx(array, static_cast<size_t>(index));
  return 1;
}

int zvJsonGetByName(json_object* object, const char* key, json_object** out) {
  json_object* value = nullptr;
  if (!key || !json_object_object_get_ex(object, key, &value)) return 0;
  if (out) *out = value;
  return 1;
}

int zvJsonGetStringByName(json_object* object, const char* key, const char** out) {
  json_object* value = memberValue(object, key);
  if (!value) return 0;
  if (out) *out = json_object_get_string(value);
  return 1;
}

int zvJsonGetIntByName(json_object* object, const char* key, int32_t* out) {
  json_object* value = memberValue(object, key);
  if (!value) return 0;
  if (out) *out = json_object_get_int(value);
  return 1;
}

int zvJsonGetBigintByName(json_object* object, const char* key, int64_t* out) {
  json_object* value = memberValue(object, key);
  if (!value) return 0;
  if (out) *out = json_object_get_int64(value);
  return 1;
}

int zvJsonGetBooleanByName(json_object* object, const char* key, int* out) {
  json_object* value = memberValue(object, key);
  if (!value) return 0;
  if (out) *out = json_object_get_boolean(value) ? 1 : 0;
  return 1;
}

int zvJsonGetBooleanByName(json_object* object, const char* key, bool* out) {
  json_object* value = memberValue(object, key);
  if (!value) return 0;
  if (out) *out = json_object_get_boolean(value) != 0;
  return 1;
}

int zvJsonGetArrayByName(json_object* object, const char* key, json_object** out) {
  json_object* value = memberValue(object, key);
  if (!isType(value, json_type_array)) return 0;
  if (out) *out = value;
  return 1;
}

const char* zvJsonGetString(json_object* value) { return value ? json_object_get_string(value) : nullptr; }
int32_t zvJsonGetInt(json_object* value) { return value ? json_object_get_int(value) : 0; }
int64_t zvJsonGetBigint(json_object* value) { return value ? json_object_get_int64(value) : 0; }
int zvJsonGetBoolean(json_object* value) { return value && json_object_get_boolean(value) ? 1 : 0; }
json_type zvJsonGetType(json_object* value) { return json_object_get_type(value); }

VOKTJsonParseStatus zvJsonLastParseStatus() { return tLastParse; }

json_object* zvJsonFromString(const char* text, json_object** out) {
  json_object* value = parseText(text, text ? std::strlen(text) : 0);
  if (out) *out = value;
  return value;
}

json_object* zvJsonFileLoad(const char* path, json_object** out) {
  json_object* value = nullptr;
  std::string content;
  if (path && readWholeFile(path, content))
    value = parseText(content.data(), content.size());
  else
    failedAt(VOKT_JSON_UNREADABLE, 0);
  if (out) *out = value;
  return value;
}

int zvJsonFileDumpExt(const char* path, json_object* object) {
  if (!path || !*path || !object) return EINVAL;
  nullNonFiniteNumbers(object);
  const char* text = json_object_to_json_string_ext(object, kFileFlags);
  if (!text) return -1;
  return replaceFile(resolveTarget(path), text);
}

const char* zvJsonToString(json_object* object, const char** out) {
  if (object) nullNonFiniteNumbers(object);
  const char* text = object ? json_object_to_json_string_ext(object, kPlainFlags) : nullptr;
  if (out) *out = text;
  return text;
}

void zvJsonRelease(json_object* object) { json_object_put(object); }

void zvJsonSetSuccess(json_object* reply) {
  if (!isType(reply, json_type_object)) return;
  json_object_object_del(reply, kErrorCodeKey);
  json_object_object_del(reply, kErrorMessageKey);
  zvJsonAddBoolean(reply, kSuccessKey, 1);
}

int zvJsonSetError(int code, const char* message, json_object* reply) {
  if (!isType(reply, json_type_object)) return code;
  zvJsonAddBoolean(reply, kSuccessKey, code == 0);
  zvJsonAddInt(reply, kErrorCodeKey, code);
  zvJsonAddString(reply, kErrorMessageKey, message ? message : "");
  return code;
}

int zvJsonSetError(int code, const char* message, json_object** reply) {
  if (!reply) return code;
  if (!*reply) *reply = json_object_new_object();
  return zvJsonSetError(code, message, *reply);
}
