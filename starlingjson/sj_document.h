// Inside the extractor library: one parsed payload as a flat table of JSON
// values, the walk of a property path over it, and the value forms the
// entry points deliver. The contract of the library is starlingjson.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sj {

constexpr int32_t kMaxValues = 1 << 20;  // about 40 MiB of table for one message at most
constexpr int kMaxDepth = 512;
constexpr size_t kMaxPathLength = 1024;

enum class Kind : uint8_t { Null, Bool, Integer, Unsigned, Float, String, Array, Object };

// One JSON value. Texts (member names, string contents, number lexemes of
// floats) live in the document's text arena.
struct Value {
  Kind kind = Kind::Null;
  bool boolean = false;
  int32_t firstChild = -1;
  int32_t nextSibling = -1;
  int32_t childCount = 0;
  uint32_t keyOffset = 0, keyLength = 0;
  uint32_t textOffset = 0, textLength = 0;
  union {
    int64_t integer = 0;  // Integer; Unsigned keeps its bits here
    double number;        // Float
  };
};
static_assert(sizeof(Value) == 40, "the value limit counts on 40 bytes a value");

// An outcome of the library: 0 or a code of starlingjson.h with its message.
struct Outcome {
  int32_t code = 0;
  std::string message;
  bool ok() const { return code == 0; }
};

Outcome fail(int32_t code, std::string message);

// The value of a hex digit (either case), or -1.
int hexDigit(char c);

class Document {
 public:
  // Parses; a payload that is not JSON leaves a document whose error() says why.
  Document(const char* payload, size_t length);

  const Outcome& error() const { return error_; }
  int32_t size() const { return int32_t(values_.size()); }
  const Value& at(int32_t index) const { return values_[size_t(index)]; }
  std::string_view key(const Value& v) const { return {arena_.data() + v.keyOffset, v.keyLength}; }
  std::string_view text(const Value& v) const { return {arena_.data() + v.textOffset, v.textLength}; }

  // Walks the path from `from`; *found is -1 when the member is absent.
  Outcome resolve(std::string_view path, int32_t from, int32_t* found) const;

  // Compact JSON text of a value.
  void appendJson(int32_t index, std::string& out) const;

 private:
  friend class Parser;
  std::vector<Value> values_;
  std::string arena_;
  Outcome error_;
};

// "a string", "an object", ...: a value's JSON type for messages.
const char* describe(Kind kind);

// Checks a path's syntax alone.
Outcome validatePath(std::string_view path);

// The bytes of one value in the form a field type asks for (see starlingjson.h).
// `present` is false when there is no value (JSON null).
struct Form {
  int32_t type;
  bool binary;
  int32_t format;
  bool listEntry;  // list forms: dates stay texts, blob types lose the zero byte
};
Outcome deliver(const Document& doc, int32_t index, const Form& form, std::string& out, bool* present);

// A message text cut to fit `size` bytes with its zero byte, on a UTF-8 boundary.
void copyMessage(const std::string& message, char* errorText, size_t size);

}  // namespace sj
