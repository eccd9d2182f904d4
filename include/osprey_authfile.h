/* The local authentication file of the MQTT broker, web/localAuthFile.set:
 * the text "USERID <user>\nPASSWD <password>\n" scrambled by xorAuthText over
 * its whole length, without a terminator. The broker reads it at start; the
 * administration application writes it. Both take the scrambling from here,
 * so the two can never disagree.
 *
 * The reader keeps at most OSPREY_AUTH_VALUE_MAX characters of a value and
 * trims blanks at its ends; a writer refuses what would not read back the
 * same. C++ only (the broker and the plug-in). */
#ifndef OSPREY_AUTHFILE_H
#define OSPREY_AUTHFILE_H

#include <array>
#include <cstddef>
#include <cstdint>

/* Relative to the current directory (the program's). */
#define OSPREY_LOCAL_AUTH_FILE "./web/localAuthFile.set"
/* Longest value the reader keeps, and longest whole text a writer makes. */
#define OSPREY_AUTH_VALUE_MAX 254
#define OSPREY_AUTH_TEXT_MAX 511

namespace ospreyauth {

/* The scrambling key: a fixed xorshift32 sequence, made at compile time. */
constexpr size_t kKeySize = 4;
constexpr std::array<unsigned char, kKeySize> makeKey() {
  std::array<unsigned char, kKeySize> key{};
  uint32_t state = 0x5eed1e55u;
  for (auto& byte : key) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<unsigned char>(state >> 24);
  }
  return key;
}
inline constexpr std::array<unsigned char, kKeySize> kAuthKey = makeKey();

}  // namespace ospreyauth

/* Scrambles (or unscrambles: the same operation) length bytes in place. Equal
 * to the word-wise form on a 4-byte aligned buffer, which is how the files in
 * use were written: byte i takes key byte i mod 4. */
inline void xorAuthText(void* buffer, size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i < length; i++) bytes[i] ^= ospreyauth::kAuthKey[i % ospreyauth::kKeySize];
}

#endif /* OSPREY_AUTHFILE_H */
