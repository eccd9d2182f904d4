// base64, hexadecimal and random tokens.
#include <sys/random.h>

#include <cerrno>

#include "appkit.h"

namespace appkit {

namespace {

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64Decode(const char* text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char* p = text ? text : ""; *p; ++p) {
    int v = base64Value(*p);
    if (v < 0) break;
    bits = bits << 6 | uint32_t(v);
    if (++count == 4) {
      out += char(bits >> 16);
      out += char(bits >> 8);
      out += char(bits);
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) out += char(bits >> 4);
  if (count == 3) out += char(bits >> 10), out += char(bits >> 2);
  return out;
}

size_t base64DecodedLength(const char* text) {
  size_t digits = 0;
  for (const char* p = text ? text : ""; base64Value(*p) >= 0; ++p) ++digits;
  return digits / 4 * 3 + (digits % 4 == 2 ? 1 : digits % 4 == 3 ? 2 : 0);
}

std::string hexText(const void* bytes, size_t length, bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  const auto* in = static_cast<const unsigned char*>(bytes);
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) text += digits[in[i] >> 4], text += digits[in[i] & 15];
  return text;
}

bool randomBytes(void* out, size_t length) {
  auto* bytes = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < length) {
    ssize_t n = getrandom(bytes + got, length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

std::string randomToken(size_t byteCount, bool upperCase) {
  std::vector<unsigned char> bytes(byteCount);
  if (!randomBytes(bytes.data(), bytes.size())) return "";
  return hexText(bytes.data(), bytes.size(), upperCase);
}

bool tokensEqual(const std::string& stored, const char* sent) {
  if (!sent) return false;
  size_t n = strlen(sent);
  if (stored.empty() || n != stored.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(stored[i] ^ sent[i]);
  return diff == 0;
}

}  // namespace appkit
