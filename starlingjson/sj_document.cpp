// Parsing a payload into a flat table of values, and walking property paths.

#include "sj_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>


#include "starlingjson.h"

namespace sj {

Outcome fail(int32_t code, std::string message) { return Outcome{code, std::move(message)}; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a payload into the value table in one pass over its bytes, strictly
// as RFC 8259 reads JSON (an optional UTF-8 byte order mark first): texts
// must be well-formed UTF-8, escapes complete, numbers in the JSON grammar,
// and nothing but white space may follow the top value. Each value is linked
// to its container's last child, so the table keeps document order and no
// value holds more than indexes. Containers nest on an explicit stack, so a
// deep payload never deepens the thread's own stack.
class Parser {
 public:
  Parser(Document& doc, const char* payload, size_t length)
      : doc_(doc),
        begin_(reinterpret_cast<const uint8_t*>(payload)),
        p_(begin_),
        end_(begin_ + length),
        stack_(threadStack()) {
    stack_.clear();
  }

  void run() {
    if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) p_ += 3;
    if (!values()) return;
    if (skipSpace()) syntaxError();  // more than white space after the value
  }

 private:
  struct Open {
    int32_t container;
    int32_t lastChild;
    bool object;
  };

  // White space; false when the payload ends.
  bool skipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) p_++;
    return p_ < end_;
  }

  bool syntaxError() {
    if (doc_.error_.ok())
      doc_.error_ = fail(STARLINGJSON_NOT_JSON,
                         "Payload is not JSON: a syntax error at byte " + std::to_string(p_ - begin_));
    return false;
  }

  // The top value and everything inside it.
  bool values() {
    for (;;) {
      Step step = value();
      if (step == Step::Failed) return false;
      if (step == Step::Opened) continue;  // its first member or element comes next
      // After a value: the next member or element, or the container's end.
      for (;;) {
        if (stack_.empty()) return true;
        if (!skipSpace()) return syntaxError();
        Open& top = stack_.back();
        if (*p_ == ',') {
          p_++;
          if (top.object && !memberName()) return false;
          break;
        }
        if (*p_ != (top.object ? '}' : ']')) return syntaxError();
        p_++;
        stack_.pop_back();
      }
    }
  }

  enum class Step { Failed, Done, Opened };
  static Step stepOf(bool ok) { return ok ? Step::Done : Step::Failed; }

  // One value. A container is opened: Opened when its first member or
  // element follows, Done when it was empty.
  Step value() {
    if (!skipSpace()) return stepOf(syntaxError());
    switch (*p_) {
      case '{':
      case '[': {
        bool object = *p_ == '{';
        p_++;
        if (!open(object ? Kind::Object : Kind::Array)) return Step::Failed;
        if (!skipSpace()) return stepOf(syntaxError());
        if (*p_ == (object ? '}' : ']')) {
          p_++;
          stack_.pop_back();
          return Step::Done;
        }
        if (object && !memberName()) return Step::Failed;
        return Step::Opened;
      }
      case '"':
        return stepOf(string());
      case 't':
        return stepOf(literal("true", Kind::Bool, true));
      case 'f':
        return stepOf(literal("false", Kind::Bool, false));
      case 'n':
        return stepOf(literal("null", Kind::Null, false));
      default:
        return stepOf(number());
    }
  }

  bool string() {
    p_++;
    uint32_t offset = 0, length = 0;
    if (!text(&offset, &length)) return false;
    int32_t i = add(Kind::String);
    if (i < 0) return false;
    doc_.values_[size_t(i)].textOffset = offset;
    doc_.values_[size_t(i)].textLength = length;
    return true;
  }

  // A member's name and its ':'; the name is kept for the value that follows.
  bool memberName() {
    if (!skipSpace() || *p_ != '"') return syntaxError();
    p_++;
    if (!text(&keyOffset_, &keyLength_)) return false;
    if (!skipSpace() || *p_ != ':') return syntaxError();
    p_++;
    return true;
  }

  bool literal(const char* word, Kind kind, bool truth) {
    size_t n = strlen(word);
    if (size_t(end_ - p_) < n || memcmp(p_, word, n) != 0) return syntaxError();
    p_ += n;
    int32_t i = add(kind);
    if (i >= 0) doc_.values_[size_t(i)].boolean = truth;
    return i >= 0;
  }

  bool digits() {
    const uint8_t* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') p_++;
    return p_ > start;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? : an integer that fits 64
  // bits (signed, or unsigned when positive) is kept as one; any other number
  // as a double with its text as written.
  bool number() {
    const uint8_t* start = p_;
    bool negative = *p_ == '-';
    if (negative) p_++;
    if (p_ >= end_ || *p_ < '0' || *p_ > '9') return syntaxError();
    if (*p_ == '0')
      p_++;
    else
      digits();
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
      p_++;
      integral = false;
      if (!digits()) return syntaxError();
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      p_++;
      integral = false;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) p_++;
      if (!digits()) return syntaxError();
    }
    std::string_view lexeme(reinterpret_cast<const char*>(start), size_t(p_ - start));
    if (integral) {
      uint64_t magnitude = 0;
      const char* first = lexeme.data() + (negative ? 1 : 0);
      auto [last, ec] = std::from_chars(first, lexeme.data() + lexeme.size(), magnitude);
      (void)last;
      if (ec == std::errc() && (!negative || magnitude <= uint64_t(INT64_MAX) + 1)) {
        int32_t i = add(negative || magnitude <= uint64_t(INT64_MAX) ? Kind::Integer : Kind::Unsigned);
        if (i < 0) return false;
        doc_.values_[size_t(i)].integer = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
        return true;
      }
    }
    double number = 0;
    if (!toDouble(lexeme, &number)) {
      doc_.error_ = fail(STARLINGJSON_NOT_JSON, "Payload is not JSON: a number beyond the double range at byte " +
                                                    std::to_string(start - begin_));
      return false;
    }
    int32_t i = add(Kind::Float);
    if (i < 0) return false;
    Value& v = doc_.values_[size_t(i)];
    v.number = number;
    storeText(lexeme, &v.textOffset, &v.textLength);
    return true;
  }

  // A number of the JSON grammar as the nearest double; false beyond the
  // double range. A value too small to hold becomes 0 or a subnormal, as
  // the C library reads it (in the "C" locale: '.' whatever the process's).
  static bool toDouble(std::string_view lexeme, double* result) {
    auto [last, ec] = std::from_chars(lexeme.data(), lexeme.data() + lexeme.size(), *result);
    (void)last;
    if (ec == std::errc()) return std::isfinite(*result);
    if (ec != std::errc::result_out_of_range) return false;
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    std::string text(lexeme);
    *result = strtod_l(text.c_str(), nullptr, c);
    return std::isfinite(*result);
  }

  // The four hex digits of a \u escape; -1 when they are not.
  int32_t codeUnit() {
    if (end_ - p_ < 4) return -1;
    int32_t unit = 0;
    for (int k = 0; k < 4; k++) {
      int d = hexDigit(char(p_[k]));
      if (d < 0) return -1;
      unit = unit << 4 | d;
    }
    p_ += 4;
    return unit;
  }

  void appendUtf8(uint32_t c) {
    std::string& out = doc_.arena_;
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | c >> 6));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | c >> 12));
      out.push_back(char(0x80 | (c >> 6 & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | c >> 18));
      out.push_back(char(0x80 | (c >> 12 & 0x3F)));
      out.push_back(char(0x80 | (c >> 6 & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }

  // After "\u": one code point, a surrogate pair written as two escapes.
  bool unicodeEscape() {
    int32_t unit = codeUnit();
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return syntaxError();
    uint32_t c = uint32_t(unit);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return syntaxError();
      p_ += 2;
      int32_t low = codeUnit();
      if (low < 0xDC00 || low > 0xDFFF) return syntaxError();
      c = 0x10000 + ((c - 0xD800) << 10) + uint32_t(low - 0xDC00);
    }
    appendUtf8(c);
    return true;
  }

  // The length of the well-formed UTF-8 sequence of more than one byte at
  // p_, or 0 (overlong forms, surrogates and code points past U+10FFFF are not).
  size_t multiByte() const {
    size_t room = size_t(end_ - p_);
    auto cont = [&](size_t k, uint8_t low = 0x80, uint8_t high = 0xBF) {
      return k < room && p_[k] >= low && p_[k] <= high;
    };
    uint8_t b = p_[0];
    if (b >= 0xC2 && b <= 0xDF) return cont(1) ? 2 : 0;
    if (b == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
    if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (b == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    if (b == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    if (b >= 0xF1 && b <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (b == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
  }

  // After the opening quote: the text, unescaped, appended to the arena.
  bool text(uint32_t* offset, uint32_t* length) {
    std::string& out = doc_.arena_;
    *offset = uint32_t(out.size());
    for (;;) {
      const uint8_t* run = p_;
      while (p_ < end_ && *p_ >= 0x20 && *p_ < 0x80 && *p_ != '"' && *p_ != '\\') p_++;
      out.append(reinterpret_cast<const char*>(run), size_t(p_ - run));
      if (p_ >= end_ || *p_ < 0x20) return syntaxError();
      if (*p_ == '"') {
        p_++;
        *length = uint32_t(out.size() - *offset);
        return true;
      }
      if (*p_ >= 0x80) {
        size_t n = multiByte();
        if (n == 0) return syntaxError();
        out.append(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        continue;
      }
      p_++;  // the backslash
      if (p_ >= end_) return syntaxError();
      char c = char(*p_++);
      switch (c) {
        case '"':
        case '\\':
        case '/':
          out.push_back(c);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u':
          if (!unicodeEscape()) return false;
          break;
        default:
          p_--;
          return syntaxError();
      }
    }
  }

  void storeText(std::string_view s, uint32_t* offset, uint32_t* length) {
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
      if (parent.object) {
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
    stack_.push_back(Open{index, -1, kind == Kind::Object});
    return true;
  }

  // The open containers. A thread reads one payload at a time, and keeps
  // the room of its stack (at most kMaxDepth entries) from one to the next.
  static std::vector<Open>& threadStack() {
    thread_local std::vector<Open> stack;
    return stack;
  }

  Document& doc_;
  const uint8_t* begin_;
  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<Open>& stack_;
  uint32_t keyOffset_ = 0, keyLength_ = 0;
};

Document::Document(const char* payload, size_t length) {
  if (length > UINT32_MAX) {  // the text arena counts in 32 bits
    error_ = fail(STARLINGJSON_NOT_JSON, "Payload is not usable: longer than 4294967295 bytes");
    return;
  }
  // JSON has no zero byte anywhere, not even escaped outside a text.
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
  Parser(*this, payload, length).run();
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
    // A name without escapes reads as it is written: a plain comparison.
    bool plain = !step.isIndex && step.name.find('\\') == std::string_view::npos;
    for (int32_t child = v.firstChild; child >= 0; child = at(child).nextSibling, position++) {
      if (step.isIndex  ? position == step.index
          : plain       ? key(at(child)) == step.name
                        : sameName(step.name, key(at(child)))) {
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
