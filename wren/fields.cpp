// Field types by name and code, and the conversions between JSON values and
// the fields of a record.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "wren.h"

namespace wren {
namespace {

// Position = the type's number in the SQL client; the code is the engine's.
// The two case-sensitive national types have no engine code of their own.
struct FieldTypeName {
  const char* name;
  int code;  // -1: none
};
const FieldTypeName kFieldTypes[] = {
    {"unsused", -1},
    {"CHAR", RL_TYPE_CHAR},
    {"NUMERIC", RL_TYPE_NUMBER},
    {"SMALLINT", RL_TYPE_SMALLINT},
    {"INTEGER", RL_TYPE_INTEGER},
    {"REAL", RL_TYPE_REAL},
    {"FLOAT", RL_TYPE_DOUBLE},
    {"DATE", RL_TYPE_DATE},
    {"MONEY", RL_TYPE_MONEY4},
    {"TIME", RL_TYPE_TIME4},
    {"TIMESTAMP", RL_TYPE_TIMESTAMP},
    {"TINYINT", RL_TYPE_TINYINT},
    {"BINARY", RL_TYPE_BINARY},
    {"BIT", RL_TYPE_BIT},
    {"LVC", RL_TYPE_LONG},
    {"LVB", RL_TYPE_LONG},
    {"BIGINT", RL_TYPE_BIGINT},
    {"NCHAR", RL_TYPE_NCHAR},
    {"NVARCHAR", RL_TYPE_NVARCHAR},
    {"NCHAR_CS", -1},
    {"NVARCHAR_CS", -1},
    {"VARCHAR", RL_TYPE_VARBINARY},
    {"BLOB", RL_TYPE_LONG},
    {"CLOB", RL_TYPE_LONG},
    {"NLVC", 0},
    {"NCLOB", 0},
    {"VARBINARY", RL_TYPE_VARBINARY},
    {"JSON", RL_TYPE_JSON},
};

constexpr int kDateFormatCYMD = 5;
constexpr int kTimeFormatHMS = 3;
constexpr int kTimeFormatOut = 11;

[[noreturn]] void badValue(const std::string& message) { throw ZVException(-1, message, "wren", __LINE__); }

std::string fieldLabel(int field) { return "field " + std::to_string(field); }

// A whole number in [low, high]; a fraction is cut off, booleans count 0/1.
int64_t wholeInRange(const json& value, int64_t low, int64_t high, int field) {
  int64_t whole;
  if (value.is_boolean()) {
    whole = value.get<bool>() ? 1 : 0;
  } else if (value.is_number_unsigned()) {
    uint64_t n = value.get<uint64_t>();
    if (n > static_cast<uint64_t>(high)) badValue("value out of range for " + fieldLabel(field));
    whole = static_cast<int64_t>(n);
  } else if (value.is_number_integer()) {
    whole = value.get<int64_t>();
  } else {
    double d = std::trunc(value.get<double>());  // type error for anything else
    if (!(d >= -9.2e18 && d <= 9.2e18)) badValue("value out of range for " + fieldLabel(field));
    whole = static_cast<int64_t>(d);
  }
  if (whole < low || whole > high) badValue("value out of range for " + fieldLabel(field));
  return whole;
}

// The library's own type error, so the text reads like every other one.
[[noreturn]] void notANumber(const json& value) {
  throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(), &value);
}

// A number only: the library would read a boolean as 0 or 1.
double floatOf(const json& value) {
  if (!value.is_number()) notANumber(value);
  return value.get<double>();
}

// A decimal as text: [sign] digits [. digits] [exponent], or digits after
// the point alone.
bool isDecimalText(const std::string& text) {
  size_t at = 0, digits = 0;
  auto run = [&] {
    size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at - start;
  };
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  digits = run();
  if (at < text.size() && text[at] == '.') {
    ++at;
    digits += run();
  }
  if (digits == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    if (run() == 0) return false;
  }
  return at == text.size();
}

// The decimal a MONEY or NUMERIC value stands for, as text for the engine,
// which keeps the digits it is given: a JSON text holds them all; a JSON
// number has the shortest form that reads back as the same double, so 12.34
// is stored as 12.34 and not as the binary fraction nearest to it.
std::string decimalTextOf(const json& value, int field) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (!isDecimalText(text)) badValue("not a decimal number for " + fieldLabel(field) + ": " + text);
    return text;
  }
  if (!value.is_number()) notANumber(value);
  return value.dump();
}

// Significant digits of a decimal text: up to 15 of them read back exactly
// from a double.
size_t significantDigits(const std::string& text) {
  size_t end = text.find_first_of("eE");
  std::string digits;
  for (size_t i = 0; i < std::min(end, text.size()); ++i)
    if (text[i] >= '0' && text[i] <= '9') digits += text[i];
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  size_t last = digits.find_last_not_of('0');
  bool fraction = text.find('.') != std::string::npos;
  // Zeros before the point are digits of the value; after it they are not.
  return (fraction ? last + 1 : digits.size()) - first;
}

constexpr size_t kExactDoubleDigits = 15;
constexpr size_t kMoneyDecimals = 4;

// A money amount as text with at least four decimals, as clients have
// always read it, from the engine's own text, so no digit is lost or made up.
std::string moneyText(std::string text) {
  if (!isDecimalText(text) || text.find_first_of("eE") != std::string::npos)
    return ZVMoney(std::stod(text)).AsString();  // never from the engine; kept readable all the same
  size_t point = text.find('.');
  if (point == std::string::npos) {
    point = text.size();
    text += '.';
  }
  size_t decimals = text.size() - point - 1;
  if (decimals < kMoneyDecimals) text.append(kMoneyDecimals - decimals, '0');
  return text;
}

// A NUMERIC value: a number, or the engine's exact text where a double
// would not hold all its digits.
json numericValue(const std::string& text) {
  if (!isDecimalText(text)) return text;
  if (significantDigits(text) > kExactDoubleDigits) return text;
  return std::stod(text);
}

}  // namespace

int fieldTypeCode(const std::string& name) {
  for (size_t i = 1; i < sizeof kFieldTypes / sizeof kFieldTypes[0]; ++i) {
    if (name != kFieldTypes[i].name) continue;
    if (kFieldTypes[i].code < 0) badValue("Field type " + name + " is not supported by the engine.");
    return kFieldTypes[i].code;
  }
  return -1;
}

std::string fieldTypeName(int code) {
  for (const FieldTypeName& type : kFieldTypes)
    if (type.code == code) return type.name;
  throw std::out_of_range("Field type code " + std::to_string(code) + " has no name.");
}

std::string sqlTypeName(int code) {
  constexpr int kCount = sizeof kFieldTypes / sizeof kFieldTypes[0];
  return code >= 1 && code < kCount ? kFieldTypes[code].name : "UNKNOWN";
}

bool isStringFieldType(int code) {
  return code == RL_TYPE_VARCHAR_FIXED || code == RL_TYPE_CHAR || code == RL_TYPE_VARBINARY || code == RL_TYPE_BINARY ||
         code == RL_TYPE_LONG || code == RL_TYPE_CHAR4;
}

void setFieldFromJson(EasyRecord& record, int field, const json& value) {
  int type = record.GetFieldType(field);
  if (isStringFieldType(type) || type == RL_TYPE_NCHAR || type == RL_TYPE_NVARCHAR) {
    record.SetFieldAsString(field, checkedText(fieldLabel(field), value.get<std::string>()));
    return;
  }
  switch (type) {
    case RL_TYPE_BIT:
      record.SetFieldAsBool(field, value.get<bool>() ? 1 : 0);
      return;
    case RL_TYPE_TINYINT:  // signed: stored as the number it is, never as its byte
      record.SetFieldAsSigned(field, static_cast<int32_t>(wholeInRange(value, -128, 127, field)));
      return;
    case RL_TYPE_SMALLINT:
      record.SetFieldAsShort(field, static_cast<int16_t>(wholeInRange(value, INT16_MIN, INT16_MAX, field)));
      return;
    case RL_TYPE_INTEGER:
      record.SetFieldAsSigned(field, static_cast<int32_t>(wholeInRange(value, INT32_MIN, INT32_MAX, field)));
      return;
    case RL_TYPE_MONEY4:
    case RL_TYPE_NUMBER:
    case RL_TYPE_MONEY:
      record.SetFieldAsString(field, decimalTextOf(value, field));
      return;
    case RL_TYPE_DATE: {
      checkedText(fieldLabel(field), value.get<std::string>());
      int32_t day = 0;
      if (rlStringToDate(value.get<std::string>().c_str(), kDateFormatCYMD, &day) != 0)
        badValue("not a date for " + fieldLabel(field) + ": " + value.get<std::string>());
      record.SetFieldAsDate(field, ZVDate(day));
      return;
    }
    case RL_TYPE_TIME4:
    case RL_TYPE_TIME: {
      checkedText(fieldLabel(field), value.get<std::string>());
      int32_t ms = 0;
      if (rlStringToTime(value.get<std::string>().c_str(), kTimeFormatHMS, &ms) != 0)
        badValue("not a time for " + fieldLabel(field) + ": " + value.get<std::string>());
      record.SetFieldAsTime(field, ZVTime(ms));
      return;
    }
    case RL_TYPE_REAL:
    case RL_TYPE_DOUBLE:
      record.SetFieldAsFloat(field, floatOf(value));
      return;
    case RL_TYPE_BIGINT:
      if (value.is_boolean()) notANumber(value);
      record.SetFieldAsBigint(field, wholeInRange(value, INT64_MIN, INT64_MAX, field));
      return;
    case RL_TYPE_TIMESTAMP8:
    case RL_TYPE_TIMESTAMP: {
      checkedText(fieldLabel(field), value.get<std::string>());
      ZVDateTime stamp;
      if (rlStringToDateTime(value.get<std::string>().c_str(), &stamp, kDateFormatCYMD, kTimeFormatHMS) != 0)
        badValue("not a date and time for " + fieldLabel(field) + ": " + value.get<std::string>());
      record.SetFieldAsDateTime(field, stamp);
      return;
    }
    case RL_TYPE_JSON:
      record.SetFieldAsJSON(field, ZVJsonString(value.is_string() ? checkedText(fieldLabel(field), value.get<std::string>())
                                                                  : value.dump()));
      return;
    default:
      badValue(fieldLabel(field) + " has the type " + std::to_string(type) + ", which cannot be written here.");
  }
}

json fieldValue(EasyRecord& record, int field) {
  RLHANDLE handle = record.GetHandle();
  if (rlIsFieldNull(handle, field) != 0) return nullptr;
  int type = rlGetFieldType(rlGetField(handle, field));
  if (isStringFieldType(type) || type == RL_TYPE_NCHAR || type == RL_TYPE_NVARCHAR || type == RL_TYPE_JSON)
    return record.GetFieldAsString(field);
  switch (type) {
    case RL_TYPE_BIT:
      return record.GetFieldAsBool(field) ? 1 : 0;
    case RL_TYPE_TINYINT:
      return static_cast<int>(static_cast<signed char>(record.GetFieldAsChar(field)));
    case RL_TYPE_SMALLINT:
      return record.GetFieldAsShort(field);
    case RL_TYPE_INTEGER:
      return record.GetFieldAsSigned(field);
    case RL_TYPE_MONEY4:
    case RL_TYPE_MONEY:
      return moneyText(record.GetFieldAsString(field));
    case RL_TYPE_DATE:
      return record.GetFieldAsDate(field).DateToString(kDateFormatCYMD);
    case RL_TYPE_TIME4:
    case RL_TYPE_TIME:
      return record.GetFieldAsTime(field).TimeToString(kTimeFormatOut);
    case RL_TYPE_REAL:
    case RL_TYPE_DOUBLE:
      return record.GetFieldAsFloat(field);
    case RL_TYPE_NUMBER:
      return numericValue(record.GetFieldAsString(field));
    case RL_TYPE_BIGINT:
      return ZVBigint(record.GetFieldAsBigint(field)).AsString();
    case RL_TYPE_TIMESTAMP8:
    case RL_TYPE_TIMESTAMP:
      return record.GetFieldAsDateTime(field).DateTimeToString(kDateFormatCYMD, kTimeFormatOut);
    default:
      return nullptr;  // keeps the values of the row under their names
  }
}

}  // namespace wren
