// Request bodies before they are parsed: their size and shape against the
// bounds of the route, NUL bytes in their texts, and the process-wide budget
// of memory that parses and replies in flight may hold.
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gannet.h"

namespace gannet {

BodyShape scanBody(const char* text, size_t length) {
  BodyShape shape;
  size_t depth = 0;
  bool inText = false;
  shape.values = 1;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (inText) {
      if (c == '\\') {
        // json-c cuts a key at "\u0000" and the engine takes texts as C
        // strings: such a text would be stored cut, so the body is refused.
        if (length - i >= 6 && std::memcmp(text + i + 1, "u0000", 5) == 0) shape.nulByte = true;
        ++i;  // the escaped character never ends the text
      } else if (c == '"') {
        inText = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inText = true;
        break;
      case '[':
      case '{':
        ++shape.values;
        if (++depth > shape.depth) shape.depth = depth;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      case ',':
        ++shape.values;
        break;
      default:
        break;
    }
  }
  return shape;
}

BodyLimits limitsOf(const std::string& resource) {
  if (resource == "record") return BodyLimits{kMaxRecordBodyBytes, kMaxRecordBodyValues};
  if (resource == "index") return BodyLimits{kMaxIndexBodyBytes, kMaxDefinitionBodyValues};
  return BodyLimits{kMaxDefinitionBodyBytes, kMaxDefinitionBodyValues};
}

size_t parseCostOf(size_t length, const BodyShape& shape) { return 2 * length + shape.values * kParseBytesPerValue; }

// ---- the budget ----

// Building a reply holds about three times its size: a quarter of the budget
// leaves room for the request's parse beside it.
size_t maxReplyBytes() { return std::min(kMaxReplyBytes, MemoryBudget::process().limit() / 4); }

}  // namespace gannet
