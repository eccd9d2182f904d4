// The bounds of a request body, checked on its text before it is parsed: a
// parse costs many times the text, so only bodies of the size and shape the
// workbench's methods need are parsed at all.
#include <string>

#include "plover.h"

namespace plover {

std::string bodyRefusal(const char* text, size_t length) {
  if (length > kMaxBodyBytes)
    return "ploverRouter -> The request body is longer than " + std::to_string(kMaxBodyBytes) + " bytes";
  size_t values = 1;
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > kMaxBodyDepth)
          return "ploverRouter -> The request nests deeper than " + std::to_string(kMaxBodyDepth) + " levels";
        ++values;
        break;
      case ']':
      case '}':
        --depth;
        break;
      case ',':
        if (++values > kMaxBodyValues)
          return "ploverRouter -> The request holds more than " + std::to_string(kMaxBodyValues) + " values";
        break;
      default:
        break;
    }
  }
  return "";
}

}  // namespace plover
