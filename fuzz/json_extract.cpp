// The persisted topics' extractor: a payload prepared as the persistence
// engine prepares each message, then a property path (validated first, as a
// field's path is when configured) extracted in the binary form of a field
// type the input chooses, into a buffer that may be too small; arrays as
// lists, their element handles used as contexts in turn. The results stay
// within the documented codes and sizes.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "starlingjson.h"

namespace {

// Field type codes of every form the extractor writes.
const int32_t kTypes[] = {8, 16, 24, 33, 41, 51, 59, 67, 91, 103, 143, 231, 239, 75, 124, 257, 105, 259, 1, 128, 160};
const int32_t kFormats[] = {0, 1, 2, 100, 206};

bool documented(int32_t result) {
  return result == 0 || result == STARLINGJSON_BUFFER_TOO_SMALL || (result >= 10101 && result <= 10107);
}

void extract(const char *path, int32_t type, bool binary, int32_t format, int64_t context, int32_t room) {
  std::vector<char> buffer(size_t(room) + 1);
  int32_t length = -1;
  char error[STARLINGJSON_ERROR_TEXT_SIZE];
  const int32_t result = mqttExtract(path, type, binary, format, context, buffer.data(), room, &length, error);
  FUZZ_CHECK(documented(result));
  if (result == 0) FUZZ_CHECK(length >= 0 && length <= room);
  if (result == STARLINGJSON_BUFFER_TOO_SMALL) FUZZ_CHECK(length > room);
  if (result != 0 && result != STARLINGJSON_BUFFER_TOO_SMALL)
    FUZZ_CHECK(std::strlen(error) < STARLINGJSON_ERROR_TEXT_SIZE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t choice = in.byte();
  const int32_t type = kTypes[in.byte() % (sizeof kTypes / sizeof *kTypes)];
  const int32_t format = kFormats[choice % 5];
  const bool binary = (choice & 8) != 0;
  const int32_t room = (choice & 16) ? 4 : 4096;
  const fuzz::exact path = fuzz::c_text(in.text());
  const fuzz::exact element_path = fuzz::c_text(in.text());
  const fuzz::exact payload(in.rest());

  char error[STARLINGJSON_ERROR_TEXT_SIZE];
  const int32_t valid = mqttValidate(path.data(), error);
  FUZZ_CHECK(valid == 0 || valid == STARLINGJSON_BAD_PATH);
  const int64_t message = mqttPrepare(payload.data(), payload.size());
  if (message == 0) return 0;
  extract(path.data(), type, binary, format, message, room);
  extract(nullptr, type, binary, format, message, room);

  // Arrays: the elements as values, then as handles read with the second path.
  std::vector<char> list(size_t(room) * 4 + 8);
  int32_t needed = -1, count = -1;
  int32_t result = mqttExtractList(path.data(), type, binary, format, message, list.data(), int32_t(list.size()),
                                   &needed, &count, error);
  FUZZ_CHECK(documented(result));
  if (result == 0) FUZZ_CHECK(needed >= 0 && size_t(needed) <= list.size() && count >= 0);
  result =
      mqttExtractList(path.data(), -1, false, 0, message, list.data(), int32_t(list.size()), &needed, &count, error);
  FUZZ_CHECK(documented(result));
  if (result == 0) {
    size_t at = 0;
    for (int32_t i = 0; i < count && i < 8; ++i) {
      int32_t entry_length;
      FUZZ_CHECK(at + 4 <= size_t(needed));
      std::memcpy(&entry_length, list.data() + at, 4);
      at += 4;
      FUZZ_CHECK(entry_length == 8 && at + 8 <= size_t(needed));
      int64_t element;
      std::memcpy(&element, list.data() + at, 8);
      at += 8;
      extract(element_path.data(), type, binary, format, element, room);
    }
  }
  mqttRelease(message);
  // A released message's handle is refused, never read.
  int32_t length = 0;
  char byte;
  FUZZ_CHECK(mqttExtract(path.data(), 1, false, 0, message, &byte, 1, &length, error) == STARLINGJSON_BAD_CONTEXT);
  return 0;
}
