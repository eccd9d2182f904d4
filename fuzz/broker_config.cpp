// The broker's configuration texts: config/starling.cfg looked up for the
// keys the broker reads, and the scrambled authentication set file, read as
// at start (unscrambled, then its keyword lines).
#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "osprey_authfile.h"
#include "starling.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  std::string text = in.rest();
  if (mode & 1) {
    xorAuthText(text.data(), text.size());  // as the file holds it scrambled
    fuzz::exact copy = fuzz::c_text(text);
    xorAuthText(copy.data(), text.size());
    starlingParseAuthText(copy.data());
    for (const UTILKW &row : utilkeywds) FUZZ_CHECK(std::strlen(row.value) <= OSPREY_AUTH_VALUE_MAX);
    return 0;
  }
  fuzz::exact bytes(text);
  for (const char *key : {"HISTORY_MAX_ROWS", "SYS_BROKER_HOST", "LOCAL_AUTH_FILE", "x"}) {
    FILE *file = fmemopen(bytes.data(), bytes.size() > 0 ? bytes.size() : 1, "r");
    if (file == nullptr) return 0;
    if (bytes.size() == 0) std::fgetc(file);
    const std::string value = starlingConfigValueIn(file, key);
    FUZZ_CHECK(value.size() < 1024);
    std::fclose(file);
  }
  return 0;
}
