// Parsing a payload into a flat table of values, and walking property paths.

#include "sj_document.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "starlingjson.h"

namespace sj {

Outcome fail(int32_t code, std::string message) { return Outcome{code, std::move(message)}; }

// Builds the value table from the parser's events. Each value is linked to
// its container's last child, so the table keeps document order and no value
// holds more than indexes.
class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit Builder(Document& doc) : doc_(doc) {}

  bool null() override { return add(Kind::Null) >= 0; }
  bool boolean(bool b) override {
    int32_t i = add(Kind::Bool);
    if (i >= 0) doc_.values_[size_t(i)].boolean = b;
    return i >= 0;
  }
  bool number_integer(number_integer_t n) override {
    int32_t i = add(Kind::Integer);
    if (i >= 0) doc_.values_[size_t(i)].integer = n;
    return i >= 0;
  }
  bool number_unsigned(number_unsigned_t n) override {
    int32_t i = add(n <= uint64_t(INT64_MAX) ? Kind::Integer : Kind::Unsigned);
    if (i >= 0) doc_.values_[size_t(i)].integer = int64_t(n);
    return i >= 0;
  }
  bool number_float(number_float_t n, const string_t& lexeme) override {
    int32_t i = add(Kind::Float);
    if (i < 0) return false;
    Value& v = doc_.values_[size_t(i)];
    v.number = n;
    storeText(lexeme, &v.textOffset, &v.textLength);
    return true;
  }
  bool string(string_t& s) override {
    int32_t i = add(Kind::String);
    if (i < 0) return false;
    Value& v = doc_.values_[size_t(i)];
    storeText(s, &v.textOffset, &v.textLength);
    return true;
  }
  bool binary(binary_t&) override { return false; }  // never raised for JSON text
  bool start_object(std::size_t) override { return open(Kind::Object); }
  bool start_array(std::size_t) override { return open(Kind::Array); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    storeText(k, &keyOffset_, &keyLength_);
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
    const char* what = e.id == 406 ? "a number beyond the double range" : "a syntax error";
    doc_.error_ = fail(STARLINGJSON_NOT_JSON,
                       "Payload is not JSON: " + std::string(what) + " at byte " + std::to_string(position));
    return false;
  }

 private:
  struct Open {
    int32_t container;
    int32_t lastChild;
  };

  void storeText(const std::string& s, uint32_t* offset, uint32_t* length) {
    *offset = uint32_t(doc_.arena_.size());
    *length = uint32_t(s.size());
    doc_.arena_.append(s);
  }

  int32_t add(Kind kind) {
    if (doc_.values_.size() >= size_t(kMaxValues)) {
      doc_.error_ = fail(STARLINGJSON_NOT_JSON,
                         "Payload is not usable: more than " + std::to_string(kMaxValues) + " JSON values");
      return -1;
    }
    int32_t index = int32_t(doc_.values_.size());
    Value v;
    v.kind = kind;
    if (!stack_.empty()) {
      Open& parent = stack_.back();
      Value& container = doc_.values_[size_t(parent.container)];
      if (container.kind == Kind::Object) {
        v.keyOffset = keyOffset_;
        v.keyLength = keyLength_;
      }
      if (parent.lastChild < 0)
        container.firstChild = index;
      else
        doc_.values_[size_t(parent.lastChild)].nextSibling = index;
      parent.lastChild = index;
      container.childCount++;
    }
    doc_.values_.push_back(v);
    return index;
  }

  bool open(Kind kind) {
    if (stack_.size() >= size_t(kMaxDepth)) {
      doc_.error_ = fail(STARLINGJSON_NOT_JSON,
                         "Payload is not usable: nested deeper than " + std::to_string(kMaxDepth) + " levels");
      return false;
    }
    int32_t index = add(kind);
    if (index < 0) return false;
    stack_.push_back(Open{index, -1});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  Document& doc_;
  std::vector<Open> stack_;
  uint32_t keyOffset_ = 0, keyLength_ = 0;
};

Document::Document(const char* payload, size_t length) {
  if (length > UINT32_MAX) {  // the text arena counts in 32 bits
    error_ = fail(STARLINGJSON_NOT_JSON, "Payload is not usable: longer than 4294967295 bytes");
    return;
  }
  // The parser takes a zero byte for the end of the text; JSON has none anywhere.
  if (const void* zero = std::memchr(payload, 0, length)) {
    error_ = fail(STARLINGJSON_NOT_JSON, "Payload is not JSON: a zero byte at byte " +
                                             std::to_string(static_cast<const char*>(zero) - payload));
    return;
  }
  // Room for a small message at once: most payloads then parse without
  // growing the tables value by value. A large one grows as it needs.
  constexpr size_t kReservedValues = 64, kBytesPerValue = 8;
  values_.reserve(std::min(kReservedValues, length / kBytesPerValue + 1));
  arena_.reserve(std::min(kReservedValues * kBytesPerValue, length));
  Builder builder(*this);
  if (!nlohmann::json::sax_parse(payload, payload + length, &builder) && error_.ok())
    error_ = fail(STARLINGJSON_NOT_JSON, "Payload is not JSON");
  if (!error_.ok()) {
    values_.clear();
    arena_.clear();
  }
}

// ---- property paths -------------------------------------------------------

namespace {

bool isEscapable(char c) { return c == '.' || c == '[' || c == ']' || c == '\\'; }

// A quoted piece of the path for messages, cut on a UTF-8 boundary.
std::string quoted(std::string_view path) {
  constexpr size_t kShown = 200;
  if (path.size() <= kShown) return "[" + std::string(path) + "]";
  size_t cut = kShown;
  while (cut > 0 && (uint8_t(path[cut]) & 0xC0) == 0x80) cut--;
  return "[" + std::string(path.substr(0, cut)) + "...]";
}

struct Step {
  bool isIndex = false;
  int32_t index = 0;
  std::string_view name;  // still escaped
};

// Reads the path one step at a time.
class PathReader {
 public:
  explicit PathReader(std::string_view path) : path_(path) {}

  bool done() const { return pos_ >= path_.size(); }

  Outcome next(Step* step) {
    bool first = pos_ == 0;
    if (path_[pos_] == '[') return readIndex(step);
    if (!first) {
      if (path_[pos_] != '.') return bad("expects '.' or '['");
      pos_++;
    }
    return readName(step);
  }

 private:
  Outcome bad(const char* what) const {
    return fail(STARLINGJSON_BAD_PATH,
                "Property path " + quoted(path_) + " " + what + " at byte " + std::to_string(pos_));
  }

  Outcome readName(Step* step) {
    size_t start = pos_;
    while (pos_ < path_.size() && path_[pos_] != '.' && path_[pos_] != '[') {
      char c = path_[pos_];
      if (c == ']') return bad("has a ']' without '['");
      if (c == '\\') {
        if (pos_ + 1 >= path_.size() || !isEscapable(path_[pos_ + 1]))
          return bad("has an escape other than \\. \\[ \\] \\\\");
        pos_++;
      }
      pos_++;
    }
    if (pos_ == start) return bad("has an empty member name");
    step->isIndex = false;
    step->name = path_.substr(start, pos_ - start);
    return {};
  }

  Outcome readIndex(Step* step) {
    pos_++;  // '['
    int64_t value = 0;
    size_t digits = 0;
    while (pos_ < path_.size() && path_[pos_] >= '0' && path_[pos_] <= '9') {
      value = value * 10 + (path_[pos_] - '0');
      if (value > INT32_MAX) return bad("has an array index beyond 2147483647");
      pos_++;
      digits++;
    }
    if (digits == 0 || pos_ >= path_.size() || path_[pos_] != ']')
      return bad("has an array index that is not digits closed by ']'");
    pos_++;
    step->isIndex = true;
    step->index = int32_t(value);
    return {};
  }

  std::string_view path_;
  size_t pos_ = 0;
};

Outcome checkLength(std::string_view path) {
  if (path.empty()) return fail(STARLINGJSON_BAD_PATH, "Property path is empty");
  if (path.size() > kMaxPathLength)
    return fail(STARLINGJSON_BAD_PATH,
                "Property path " + quoted(path) + " is longer than " + std::to_string(kMaxPathLength) + " bytes");
  return {};
}

// The escaped path name against a member name as the payload spells it.
bool sameName(std::string_view escaped, std::string_view key) {
  size_t k = 0;
  for (size_t i = 0; i < escaped.size(); i++, k++) {
    if (escaped[i] == '\\') i++;
    if (k >= key.size() || key[k] != escaped[i]) return false;
  }
  return k == key.size();
}

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return "a boolean";
    case Kind::Integer:
    case Kind::Unsigned:
    case Kind::Float:
      return "a number";
    case Kind::String:
      return "a string";
    case Kind::Array:
      return "an array";
    case Kind::Object:
      return "an object";
  }
  return "a value";
}

}  // namespace

const char* describe(Kind kind) { return kindName(kind); }

Outcome validatePath(std::string_view path) {
  Outcome o = checkLength(path);
  PathReader reader(path);
  Step step;
  while (o.ok() && !reader.done()) o = reader.next(&step);
  return o;
}

Outcome Document::resolve(std::string_view path, int32_t from, int32_t* found) const {
  *found = -1;
  Outcome o = checkLength(path);
  if (!o.ok()) return o;
  PathReader reader(path);
  int32_t current = from;
  Step step;
  while (!reader.done()) {
    if (!(o = reader.next(&step)).ok()) return o;
    if (current < 0) continue;  // absent already: the rest is only checked
    const Value& v = at(current);
    if (v.kind == Kind::Null) {
      current = -1;
      continue;
    }
    Kind wanted = step.isIndex ? Kind::Array : Kind::Object;
    if (v.kind != wanted)
      return fail(STARLINGJSON_WRONG_TYPE, "Property path " + quoted(path) + " steps into " + kindName(v.kind) +
                                               (step.isIndex ? " by an index" : " by a member name"));
    int32_t next = -1;
    int32_t position = 0;
    for (int32_t child = v.firstChild; child >= 0; child = at(child).nextSibling, position++) {
      if (step.isIndex ? position == step.index : sameName(step.name, key(at(child)))) {
        next = child;
        if (step.isIndex) break;  // by name the last one with that name counts
      }
    }
    current = next;
  }
  *found = current;
  return {};
}

// ---- JSON text --------------------------------------------------------------

namespace {

void appendString(std::string_view s, std::string& out) {
  static const char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : s) {
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      default:
        if (uint8_t(c) < 0x20) {
          out.append("\\u00");
          out.push_back(hex[(uint8_t(c) >> 4) & 0xF]);
          out.push_back(hex[uint8_t(c) & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

void Document::appendJson(int32_t index, std::string& out) const {
  const Value& v = at(index);
  switch (v.kind) {
    case Kind::Null:
      out.append("null");
      break;
    case Kind::Bool:
      out.append(v.boolean ? "true" : "false");
      break;
    case Kind::Integer:
      out.append(std::to_string(v.integer));
      break;
    case Kind::Unsigned:
      out.append(std::to_string(uint64_t(v.integer)));
      break;
    case Kind::Float:
      out.append(text(v));
      break;
    case Kind::String:
      appendString(text(v), out);
      break;
    case Kind::Array:
    case Kind::Object: {
      bool object = v.kind == Kind::Object;
      out.push_back(object ? '{' : '[');
      for (int32_t child = v.firstChild; child >= 0; child = at(child).nextSibling) {
        if (child != v.firstChild) out.push_back(',');
        if (object) {
          appendString(key(at(child)), out);
          out.push_back(':');
        }
        appendJson(child, out);  // depth is bounded by the parser's limit
      }
      out.push_back(object ? '}' : ']');
      break;
    }
  }
}

void copyMessage(const std::string& message, char* errorText, size_t size) {
  if (!errorText || size == 0) return;
  size_t n = message.size();
  if (n >= size) {
    n = size - 1;
    while (n > 0 && (uint8_t(message[n]) & 0xC0) == 0x80) n--;
  }
  message.copy(errorText, n);
  errorText[n] = '\0';
}

}  // namespace sj
