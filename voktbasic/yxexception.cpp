// YXException: the message and names are copied into fixed buffers so that
// building, copying and throwing one never allocates (it is often thrown
// because memory ran out).
#include <cstdio>

#include "VOKTBasic.h"

namespace {

void copyText(char* target, size_t size, const char* text) { std::snprintf(target, size, "%s", text ? text : ""); }

}  // namespace

YXException::YXException(int, const char*, const char* function, int kind, int code, const char* message,
                         const char* file, int line) noexcept {
  _set(function, kind, code, message, file, line);
}

YXException::YXException(const char* function, int kind, int code, const char* message, const char* file,
                         int line) noexcept {
  _set(function, kind, code, message, file, line);
}

YXException::YXException(const YXException& other) noexcept : std::exception(other) {
  _set(other.function_, other.kind_, other.code_, other.message_, other.file_, other.line_);
}

YXException& YXException::operator=(const YXException& other) noexcept {
  if (this != &other) _set(other.function_, other.kind_, other.code_, other.message_, other.file_, other.line_);
  return *this;
}

YXException::~YXException() = default;

void YXException::_set(const char* function, int kind, int code, const char* message, const char* file,
                       int line) noexcept {
  code_ = code;
  kind_ = kind;
  line_ = line;
  copyText(function_, sizeof function_, function);
  copyText(file_, sizeof file_, file);
  copyText(message_, sizeof message_, message);
}
