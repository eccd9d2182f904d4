// Text helpers of request dispatch: pure functions of bytes, no connection.
#include "osprey.h"

#include <cctype>
#include <cstring>
#include <strings.h>

#include "nev.h"
#include "osprey_webapp.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes a JSON parser must still see escaped: turning them into raw bytes
// would end the string early ('"'), start a new escape ('\\') or put a
// control byte (or a terminator) where JSON allows none.
bool mustStayEscaped(int byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

const char* findNoCase(const char* text, size_t length, const char* needle) {
  size_t n = std::strlen(needle);
  for (size_t i = 0; i + n <= length; ++i)
    if (strncasecmp(text + i, needle, n) == 0) return text + i;
  return nullptr;
}

}  // namespace

size_t foldUnicodeEscapes(char* text, size_t length) {
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    char c = text[in];
    if (c != '\\' || in + 1 >= length) {
      text[out++] = c;
      ++in;
      continue;
    }
    if (text[in + 1] == 'u' && in + 5 < length && text[in + 2] == '0' && text[in + 3] == '0') {
      int high = hexValue(text[in + 4]);
      int low = hexValue(text[in + 5]);
      int code = high * 16 + low;
      if (high >= 0 && low >= 0 && !mustStayEscaped(code)) {
        // The character the escape names, in UTF-8 as the JSON text around
        // it: a lone Latin-1 byte would make the text invalid, and a value
        // that mixes it with other characters could never be read back whole.
        // Two bytes never outgrow the six of the escape.
        if (code < 0x80) {
          text[out++] = static_cast<char>(code);
        } else {
          text[out++] = static_cast<char>(0xC0 | (code >> 6));
          text[out++] = static_cast<char>(0x80 | (code & 0x3F));
        }
        in += 6;
        continue;
      }
    }
    // Any other escape (an escaped backslash above all) is copied whole, so
    // the character after it never starts an escape of its own.
    text[out++] = text[in++];
    text[out++] = text[in++];
  }
  if (out < length) text[out] = '\0';
  return out;
}

bool contentTypeIsIso8859(const char* value, size_t length) {
  if (value == nullptr) return false;
  const char* charset = findNoCase(value, length, "charset");
  if (charset == nullptr) return false;
  const char* end = value + length;
  const char* equals = static_cast<const char*>(std::memchr(charset, '=', end - charset));
  if (equals == nullptr) return false;
  const char* p = equals + 1;
  while (p < end && (*p == ' ' || *p == '\t' || *p == '"')) ++p;
  return end - p >= 8 && strncasecmp(p, "iso-8859", 8) == 0;
}

bool decodeBasicCredentials(const char* value, size_t length, BasicCredentials* out) {
  out->user[0] = '\0';
  out->password[0] = '\0';
  if (value == nullptr || length < 6 || strncasecmp(value, "Basic ", 6) != 0) return false;
  const char* encoded = value + 6;
  size_t encodedLength = length - 6;
  // Decoding writes three bytes for every four characters: refuse what could
  // not fit the buffer instead of decoding past its end.
  char decoded[kBasicDecodedMax];
  if (encodedLength > (sizeof decoded - 1) / 3 * 4) return false;
  int decodedLength = 0;
  nev_base64_decode(encoded, static_cast<int>(encodedLength), decoded, &decodedLength);
  if (decodedLength <= 0) return false;
  size_t total = static_cast<size_t>(decodedLength);
  // A trailing line end (as "echo user:password | base64" leaves) is not
  // part of the password; anything after a line break would be cut off.
  if (total > 0 && decoded[total - 1] == '\n') --total;
  if (total > 0 && decoded[total - 1] == '\r') --total;
  if (std::memchr(decoded, '\n', total) != nullptr) return false;
  // Cut at a NUL byte, "ADMIN:TRUVE\0junk" would pass for ADMIN's password.
  if (std::memchr(decoded, '\0', total) != nullptr) return false;
  const char* colon = static_cast<const char*>(std::memchr(decoded, ':', total));
  size_t userLength = colon != nullptr ? static_cast<size_t>(colon - decoded) : total;
  if (userLength == 0 || userLength > kCredentialMax) return false;
  size_t passwordLength = colon != nullptr ? total - userLength - 1 : 0;
  if (passwordLength > kCredentialMax) return false;
  const char* password = colon != nullptr ? colon + 1 : decoded + total;
  std::memcpy(out->user, decoded, userLength);
  out->user[userLength] = '\0';
  std::memcpy(out->password, password, passwordLength);
  out->password[passwordLength] = '\0';
  return true;
}

namespace {

// Whether a comma-separated header value lists the token, ignoring case.
bool hasToken(const char* value, size_t length, const char* token) {
  size_t tokenLength = std::strlen(token);
  size_t at = 0;
  while (at < length) {
    size_t end = at;
    while (end < length && value[end] != ',') ++end;
    size_t first = at;
    size_t last = end;
    while (first < last && (value[first] == ' ' || value[first] == '\t')) ++first;
    while (last > first && (value[last - 1] == ' ' || value[last - 1] == '\t')) --last;
    if (last - first == tokenLength && strncasecmp(value + first, token, tokenLength) == 0) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

bool requestWantsClose(const char* protocol, size_t protocolLength, const char* connection, size_t connectionLength) {
  if (connection == nullptr) connectionLength = 0;
  if (hasToken(connection, connectionLength, "close")) return true;
  bool persistentByDefault = protocol != nullptr && protocolLength == 8 && std::memcmp(protocol, "HTTP/1.1", 8) == 0;
  return !persistentByDefault && !hasToken(connection, connectionLength, "keep-alive");
}

int webAppMethodCode(const char* method, size_t length) {
  static const struct {
    const char* name;
    int code;
  } kMethods[] = {{"POST", WEBAPP_METHOD_POST},     {"GET", WEBAPP_METHOD_GET},     {"PUT", WEBAPP_METHOD_PUT},
                  {"DELETE", WEBAPP_METHOD_DELETE}, {"PATCH", WEBAPP_METHOD_PATCH}, {"OPTIONS", WEBAPP_METHOD_OPTIONS}};
  if (method == nullptr) return 0;
  for (const auto& m : kMethods) {
    size_t n = std::strlen(m.name);
    if (length >= n && strncasecmp(method, m.name, n) == 0) return m.code;
  }
  return 0;
}
