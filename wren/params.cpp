// Reading the members of "params" by the application's rules, and the
// error members of a reply.
#include <cmath>
#include <cstdio>
#include <limits>

#include "wren.h"
#include "yxlogon.h"

namespace wren {
namespace {

// A value of the wrong type is read anyway, so the library raises its own
// type error and the text reads like every other one.
const json kMissing;

}  // namespace

std::string readText(const json& params, const char* name, const std::string& fallback) {
  auto member = params.find(name);
  if (member == params.end()) return fallback;
  return checkedText(name, member->get<std::string>());
}

std::string readRequiredText(const json& params, const char* name) {
  auto member = params.find(name);
  return checkedText(name, (member == params.end() ? kMissing : *member).get<std::string>());
}

std::string checkedText(const std::string& what, std::string text) {
  // The engine and the SQL client take C texts: a NUL would end the text
  // there, and what follows would be dropped without a word.
  if (yx::hasNulByte(text.data(), text.size())) throw RequestRefused(what + " holds a NUL character.");
  return text;
}

int32_t readInt(const json& params, const char* name, int32_t fallback) {
  auto member = params.find(name);
  if (member == params.end()) return fallback;
  const json& value = *member;
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (!value.is_number()) return value.get<int32_t>();  // throws the type error
  double whole = value.is_number_float() ? std::trunc(value.get<double>()) : 0;
  bool inRange = value.is_number_unsigned()  ? value.get<uint64_t>() <= INT32_MAX
                 : value.is_number_integer() ? value.get<int64_t>() >= INT32_MIN && value.get<int64_t>() <= INT32_MAX
                                             : whole >= INT32_MIN && whole <= INT32_MAX;
  if (!inRange) throw std::out_of_range(std::string(name) + " is outside the 32-bit range");
  return value.is_number_float() ? static_cast<int32_t>(whole) : value.get<int32_t>();
}

int32_t readRequiredInt(const json& params, const char* name) {
  if (!params.contains(name)) return kMissing.get<int32_t>();  // the library's type error
  return readInt(params, name, 0);
}

bool readBool(const json& params, const char* name, bool fallback) {
  auto member = params.find(name);
  return member == params.end() ? fallback : member->get<bool>();
}

void setError(json& reply, int code, const std::string& message) {
  reply["result"]["errorCode"] = code;
  reply["result"]["errorMessage"] = message;
}

void traceMethod(const char* name) {
  std::printf("detected %s method\n", name);
  std::fflush(stdout);
}

bool checkRelativePath(json& reply, const std::string& path, const char* what) {
  bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\');
  bool climbs = false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) climbs = true;
    start = end + 1;
  }
  if (!absolute && !climbs) return true;
  setError(reply, -1, std::string(what) + " must be a relative path under the server's data directory.");
  return false;
}

}  // namespace wren
