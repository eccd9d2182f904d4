// The binary forms of values, by field type code and format (starlingjson.h).

#include <charconv>
#include <cstring>

#include "sj_document.h"
#include "starlingjson.h"
#include "ravlink.h"

namespace sj {

namespace {

// Field type codes and formats of the persistence layer that change the form.
constexpr int32_t kFormatByteArray = 0, kFormatHex = 1, kFormatBase64 = 2, kFormatTruncate = 100, kFormatIso8601 = 206;

enum class Category { Bool, Int32, Float, Int64, Blob, Number, Json, Text };

Category categoryOf(int32_t type) {
  switch (type) {
    case RL_TYPE_BIT:
      return Category::Bool;
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
      return Category::Int32;
    case RL_TYPE_MONEY4:
    case RL_TYPE_REAL:
    case RL_TYPE_DOUBLE:
    case RL_TYPE_MONEY:
      return Category::Float;
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      return Category::Int64;
    case RL_TYPE_BINARY_FIXED:
    case RL_TYPE_BINARY:
    case RL_TYPE_VARBINARY:
    case RL_TYPE_LONG:
      return Category::Blob;
    case RL_TYPE_NUMBER:
      return Category::Number;
    case RL_TYPE_JSON:
      return Category::Json;
    default:
      return Category::Text;
  }
}

bool takesTruncate(int32_t type) {
  Category c = categoryOf(type);
  return c == Category::Float || c == Category::Number;
}

template <typename T>
void appendBinary(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

Outcome wrongType(const Value& v, const char* wanted) {
  return fail(STARLINGJSON_WRONG_TYPE, std::string("The member is ") + describe(v.kind) + ", not " + wanted);
}

// Length of the number at the start of s: [+-]digits[.digits][(e|E)[+-]digits],
// with at least one digit before the exponent; 0 when s does not begin so.
size_t numberPrefix(std::string_view s) {
  size_t i = 0, digits = 0;
  auto runOfDigits = [&] {
    size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') i++;
    return i - start;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
  digits += runOfDigits();
  if (i < s.size() && s[i] == '.') {
    i++;
    digits += runOfDigits();
  }
  if (digits == 0) return 0;
  size_t mantissa = i;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    i++;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
    if (runOfDigits() == 0) return mantissa;
  }
  return i;
}

// The number a value holds as written: a JSON number, or a string holding one
// (with TRUNCATE, a string that only begins with one).
Outcome numberText(const Document& doc, const Value& v, int32_t format, std::string& out) {
  switch (v.kind) {
    case Kind::Integer:
      out = std::to_string(v.integer);
      return {};
    case Kind::Unsigned:
      out = std::to_string(uint64_t(v.integer));
      return {};
    case Kind::Float:
      out = std::string(doc.text(v));
      return {};
    case Kind::String: {
      std::string_view s = doc.text(v);
      size_t n = numberPrefix(s);
      if (n == 0) return fail(STARLINGJSON_WRONG_TYPE, "The member is a string that holds no number");
      if (n < s.size() && format != kFormatTruncate)
        return fail(STARLINGJSON_WRONG_TYPE,
                    "The member is a string that holds more than a number (TRUNCATE takes its leading number)");
      out = std::string(s.substr(0, n));
      return {};
    }
    default:
      return wrongType(v, "a number");
  }
}

Outcome toDouble(const Document& doc, const Value& v, int32_t format, double* result) {
  if (v.kind == Kind::Float) {
    *result = v.number;
    return {};
  }
  std::string text;
  Outcome o = numberText(doc, v, format, text);
  if (!o.ok()) return o;
  // from_chars, unlike strtod, reads '.' whatever the process's locale says.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  auto [end, ec] = std::from_chars(first, text.data() + text.size(), *result);
  if (ec != std::errc() || end != text.data() + text.size())
    return fail(STARLINGJSON_OUT_OF_RANGE, "The number " + text + " is beyond the double range");
  return {};
}

// An integer: a JSON integer, or a string holding only [+-]digits.
Outcome toInteger(const Document& doc, const Value& v, int64_t low, int64_t high, int64_t* result) {
  bool fits = false;  // held in 64 bits
  switch (v.kind) {
    case Kind::Integer:
      *result = v.integer;
      fits = true;
      break;
    case Kind::Unsigned:
      break;
    case Kind::Float:  // the reader keeps integers beyond 64 bits as floats
      if (doc.text(v).find_first_of(".eE") != std::string_view::npos) return wrongType(v, "an integer");
      break;
    case Kind::String: {
      std::string_view s = doc.text(v);
      size_t sign = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
      if (s.size() == sign || s.find_first_not_of("0123456789", sign) != std::string_view::npos)
        return fail(STARLINGJSON_WRONG_TYPE, "The member is a string that holds no integer");
      const char* first = s.data() + (s[0] == '+' ? 1 : 0);
      fits = std::from_chars(first, s.data() + s.size(), *result).ec == std::errc();
      break;
    }
    default:
      return wrongType(v, "an integer");
  }
  if (fits && *result >= low && *result <= high) return {};
  // The integer as the payload gives it, for the message.
  std::string written = v.kind == Kind::Integer    ? std::to_string(v.integer)
                        : v.kind == Kind::Unsigned ? std::to_string(uint64_t(v.integer))
                                                   : std::string(doc.text(v));
  return fail(STARLINGJSON_OUT_OF_RANGE,
              "The integer " + written + " is beyond " + std::to_string(low) + " to " + std::to_string(high));
}

Outcome toBool(const Document& doc, const Value& v, int32_t* result) {
  if (v.kind == Kind::Bool) {
    *result = v.boolean ? 1 : 0;
    return {};
  }
  if (v.kind == Kind::Integer && (v.integer == 0 || v.integer == 1)) {
    *result = int32_t(v.integer);
    return {};
  }
  if (v.kind == Kind::String) {
    std::string_view s = doc.text(v);
    if (s == "true" || s == "1") return *result = 1, Outcome{};
    if (s == "false" || s == "0") return *result = 0, Outcome{};
  }
  return fail(STARLINGJSON_WRONG_TYPE,
              std::string("The member is ") + describe(v.kind) + ", not a boolean (true, false, 0, 1)");
}

Outcome decodeHex(std::string_view s, std::string& out) {
  if (s.size() % 2 != 0) return fail(STARLINGJSON_WRONG_TYPE, "The member is a string of odd length, not HEX");
  for (size_t i = 0; i < s.size(); i += 2) {
    int high = hexDigit(s[i]), low = hexDigit(s[i + 1]);
    if (high < 0 || low < 0)
      return fail(STARLINGJSON_WRONG_TYPE, "The member is not HEX: byte " + std::to_string(i) + " of the string");
    out.push_back(char(high << 4 | low));
  }
  return {};
}

int base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard alphabet; the '=' padding may be left out but never stands inside.
Outcome decodeBase64(std::string_view s, std::string& out) {
  size_t length = s.size();
  if (length % 4 == 0 && length > 0 && s[length - 1] == '=') length--;
  if (length % 4 == 3 && length > 0 && s[length - 1] == '=') length--;
  if (length % 4 == 1) return fail(STARLINGJSON_WRONG_TYPE, "The member is not BASE64: its length is wrong");
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < length; i++) {
    int d = base64Digit(s[i]);
    if (d < 0)
      return fail(STARLINGJSON_WRONG_TYPE, "The member is not BASE64: byte " + std::to_string(i) + " of the string");
    bits = bits << 6 | uint32_t(d);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(char((bits >> held) & 0xFF));
    }
  }
  return {};
}

Outcome binaryBytes(const Document& doc, int32_t index, int32_t format, std::string& out) {
  const Value& v = doc.at(index);
  if (format == -1 || format == kFormatByteArray) {
    if (v.kind == Kind::String)
      out.append(doc.text(v));
    else
      doc.appendJson(index, out);
    return {};
  }
  if (format != kFormatHex && format != kFormatBase64)
    return fail(STARLINGJSON_BAD_ARGUMENT, "Format " + std::to_string(format) + " is not a binary format");
  if (v.kind != Kind::String) return wrongType(v, format == kFormatHex ? "a HEX string" : "a BASE64 string");
  return format == kFormatHex ? decodeHex(doc.text(v), out) : decodeBase64(doc.text(v), out);
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

// Reads `count` digits at s[*pos] into *value.
bool digitsAt(std::string_view s, size_t* pos, size_t count, int* value) {
  if (*pos + count > s.size()) return false;
  *value = 0;
  for (size_t i = 0; i < count; i++) {
    char c = s[*pos + i];
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + (c - '0');
  }
  *pos += count;
  return true;
}

bool charAt(std::string_view s, size_t pos, char c) { return pos < s.size() && s[pos] == c; }

// "YYYY-MM-DD[(T| )hh:mm[:ss[.f...]][Z|(+|-)hh[:]mm]]" → milliseconds since 1970 UTC.
bool parseIso8601(std::string_view s, int64_t* millis) {
  size_t p = 0;
  int year, month, day, hour = 0, minute = 0, second = 0, ms = 0;
  if (!digitsAt(s, &p, 4, &year) || !charAt(s, p++, '-') || !digitsAt(s, &p, 2, &month) || !charAt(s, p++, '-') ||
      !digitsAt(s, &p, 2, &day))
    return false;
  static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || (month == 2 && day == 29 && !leap))
    return false;
  int64_t offsetMinutes = 0;
  if (p < s.size()) {
    if (s[p] != 'T' && s[p] != ' ') return false;
    p++;
    if (!digitsAt(s, &p, 2, &hour) || !charAt(s, p++, ':') || !digitsAt(s, &p, 2, &minute)) return false;
    if (charAt(s, p, ':') && (++p, !digitsAt(s, &p, 2, &second))) return false;
    if (charAt(s, p, '.')) {
      p++;
      size_t start = p;
      for (int scale = 100; p < s.size() && s[p] >= '0' && s[p] <= '9'; p++, scale /= 10) ms += (s[p] - '0') * scale;
      if (p == start) return false;
    }
    if (hour > 23 || minute > 59 || second > 59) return false;
    if (charAt(s, p, 'Z')) {
      p++;
    } else if (charAt(s, p, '+') || charAt(s, p, '-')) {
      int sign = s[p++] == '-' ? -1 : 1, oh, om;
      if (!digitsAt(s, &p, 2, &oh)) return false;
      if (charAt(s, p, ':')) p++;
      if (!digitsAt(s, &p, 2, &om) || oh > 23 || om > 59) return false;
      offsetMinutes = sign * (oh * 60 + om);
    }
    if (p != s.size()) return false;
  }
  int64_t seconds = daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 + minute * 60 + second -
                    offsetMinutes * 60;
  *millis = seconds * 1000 + ms;
  return true;
}

Outcome isoValue(const Document& doc, const Value& v, bool inMillis, std::string& out) {
  if (v.kind != Kind::String) return wrongType(v, "an ISO8601 string");
  int64_t millis;
  if (!parseIso8601(doc.text(v), &millis))
    return fail(STARLINGJSON_WRONG_TYPE, "The member is a string that is not an ISO8601 date and time");
  // Seconds are floored so that an instant before 1970 still names its own second.
  int64_t value = inMillis ? millis : (millis >= 0 ? millis / 1000 : -((-millis + 999) / 1000));
  appendBinary(out, value);
  return {};
}

// The text of a value without its zero byte.
Outcome plainText(const Document& doc, int32_t index, std::string& out) {
  const Value& v = doc.at(index);
  if (v.kind != Kind::String) {
    doc.appendJson(index, out);
    return {};
  }
  std::string_view s = doc.text(v);
  if (s.find('\0') != std::string_view::npos)
    return fail(STARLINGJSON_WRONG_TYPE, "The member is a string holding a zero byte, which would cut the text");
  out.append(s);
  return {};
}

}  // namespace

Outcome deliver(const Document& doc, int32_t index, const Form& form, std::string& out, bool* present) {
  out.clear();
  const Value& v = doc.at(index);
  *present = v.kind != Kind::Null;
  if (!*present) return {};
  if (form.type < 0) return fail(STARLINGJSON_BAD_ARGUMENT, "A value needs a field type");
  if (form.format == kFormatTruncate && !takesTruncate(form.type))
    return fail(STARLINGJSON_BAD_ARGUMENT, "TRUNCATE is a format of number types only");
  Outcome o;
  switch (categoryOf(form.type)) {
    case Category::Bool: {
      int32_t b = 0;
      if ((o = toBool(doc, v, &b)).ok()) appendBinary(out, b);
      return o;
    }
    case Category::Int32: {
      int64_t n = 0;
      if ((o = toInteger(doc, v, INT32_MIN, INT32_MAX, &n)).ok()) appendBinary(out, int32_t(n));
      return o;
    }
    case Category::Int64: {
      int64_t n = 0;
      if ((o = toInteger(doc, v, INT64_MIN, INT64_MAX, &n)).ok()) appendBinary(out, n);
      return o;
    }
    case Category::Float: {
      double d = 0;
      if ((o = toDouble(doc, v, form.format, &d)).ok()) appendBinary(out, d);
      return o;
    }
    case Category::Number:
      if (!(o = numberText(doc, v, form.format, out)).ok()) return o;
      out.push_back('\0');
      return {};
    case Category::Blob:
      if (form.binary) return binaryBytes(doc, index, form.format, out);
      if (form.listEntry) return plainText(doc, index, out);  // the engine stores these entries as blobs
      break;
    case Category::Json:  // a JSON column holds JSON text, strings quoted
      doc.appendJson(index, out);
      out.push_back('\0');
      return {};
    case Category::Text:
      if (!form.listEntry && form.format == kFormatIso8601 &&
          (form.type == RL_TYPE_DATE || form.type == RL_TYPE_TIMESTAMP8))
        return isoValue(doc, v, false, out);
      if (!form.listEntry && form.format == kFormatIso8601 && form.type == RL_TYPE_TIMESTAMP)
        return isoValue(doc, v, true, out);
      if (form.binary) return binaryBytes(doc, index, form.format, out);
      break;
  }
  if (!(o = plainText(doc, index, out)).ok()) return o;
  out.push_back('\0');
  return {};
}

}  // namespace sj
