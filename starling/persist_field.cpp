// Mapped columns of persisted topics: field types, value formats, and the
// step that takes one extracted value into a record.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "persist.h"
#include "ravlink.h"

namespace {

struct TypeName {
  const char* name;
  int32_t code;
  int32_t binaryFlag;
};
const TypeName kTypes[] = {
    {"BIT", 8, 0},        {"TINYINT", 16, 0},    {"SMALLINT", 33, 0},   {"INTEGER", 51, 0},     {"REAL", 91, 0},
    {"DOUBLE", 103, 0},   {"NUMBER", 105, 0},    {"MONEY", 105, 7},     {"CURRENCY", 105, 7},   {"DATE", 75, 0},
    {"TIME", 258, 0},     {"TIMESTAMP", 257, 0}, {"BIGINT", 231, 0},    {"CHAR", 144, 0},       {"VARCHAR", 146, 4},
    {"LVARCHAR", 170, 4}, {"BINARY", 160, 0},    {"VARBINARY", 162, 0}, {"LVARBINARY", 170, 0}, {"JSON", 259, 0},
};

const char* const kDateTexts[] = {"MM.DD.CCYY", "MM.DD.YY", "DD.MM.CCYY", "DD.MM.YY", "CCYYMMDD", "YYMMDD", "ISO8601"};
const char* const kTimeTexts[] = {"hh.mm.ss.am/pm", "hh.mm.am/pm", "hh.mm.ss", "hh.mm", "hhmm", "hh.mm.ss.ttt"};

bool isOneOf(int32_t code, std::initializer_list<int32_t> codes) {
  for (int32_t c : codes)
    if (c == code) return true;
  return false;
}

bool isType(const char* name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name != nullptr && strcasecmp(name, n) == 0) return true;
  return false;
}

const char* textOr(json_object* json, const char* key) {
  const char* text = nullptr;
  return zvJsonGetStringByName(json, key, &text) ? text : nullptr;
}

// The largest value or list an extractor may ask room for.
constexpr int32_t kMaxValueBuffer = 256 * 1024 * 1024;

// The value buffer of the calling thread: two persistence threads never share
// one, and one thread extracts one value at a time.
std::vector<char>& threadValueBuffer() {
  thread_local std::vector<char> buffer(256);
  return buffer;
}

[[noreturn]] void throwClient(const char* function, int32_t code, char* error, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void throwClient(const char* function, int32_t code, char* error, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(error, 1024, format, args);
  va_end(args);
  throw YXException(function, 1, code, error, __FILE__, __LINE__);
}

// Breaks seconds since 1970 down in UTC; false when out of range.
bool utcParts(int64_t seconds, struct tm* out) {
  time_t t = static_cast<time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

}  // namespace

bool persistGrowValueBuffer(std::vector<char>& buffer, int32_t needed) {
  // A needed size that does not grow the buffer would loop for ever.
  if (needed < 1 || needed <= static_cast<int32_t>(buffer.size()) || needed > kMaxValueBuffer) return false;
  buffer.resize(static_cast<size_t>(needed));
  return true;
}

// ---- names ----

void persistCheckIdentifier(const char* name, const char* what) {
  size_t n = name != nullptr ? strlen(name) : 0;
  bool ok = n >= 1 && n <= 64;
  for (size_t i = 0; ok && i < n; i++) ok = isalnum(static_cast<unsigned char>(name[i])) || name[i] == '_';
  if (!ok)
    starlingThrow("persistCheckIdentifier", 10001,
                  "The %s [%.100s] is not valid: use 1 to 64 letters, digits and underscores.", what,
                  name != nullptr ? name : "");
}

void persistCheckTableName(const char* name, const char* what) {
  persistCheckIdentifier(name, what);
  if (strncasecmp(name, "mqtt_", 5) == 0)
    starlingThrow("persistCheckTableName", 10001, "The %s [%s] names a table of the broker's own (mqtt_*).", what,
                  name);
}

void persistCheckLibraryName(const char* name) {
  size_t n = name != nullptr ? strlen(name) : 0;
  bool ok = n >= 1 && n <= 128 && strstr(name, "..") == nullptr;
  for (size_t i = 0; ok && i < n; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    ok = isalnum(c) || c == '_' || c == '-' || c == '.';
  }
  if (!ok)
    starlingThrow(
        "persistCheckLibraryName", 10001,
        "The extractor library name [%.100s] is not valid: use letters, digits, '_', '-' and '.' without \"..\".",
        name != nullptr ? name : "");
}

// ---- formats ----

namespace {

const char* const kBinTexts[] = {"BYTE_ARRAY", "HEX", "BASE64"};
const char* const kNumberTexts[] = {"TRUNCATE"};

// base + the index of text among texts (ignoring case); unknown or null texts
// fail with 10001 naming the type.
template <size_t N>
int32_t formatCode(const char* text, const char* const (&texts)[N], int32_t base, const char* function,
                   const char* typeName) {
  for (size_t i = 0; text != nullptr && i < N; i++)
    if (strcasecmp(text, texts[i]) == 0) return base + static_cast<int32_t>(i);
  starlingThrow(function, 10001,
                "Field format [%s] not supported for %s type. Please check propertyFormat property provided.",
                text != nullptr ? text : "", typeName);
}

}  // namespace

int32_t MQTTPersist::GetMQTTBinFormat(const char* text) {
  return formatCode(text, kBinTexts, MQTTFORMAT_BYTE_ARRAY, "MQTTPersist::GetMQTTBinFormat", "BINARY");
}

int32_t MQTTPersist::GetMQTTNumberFormat(const char* text) {
  return formatCode(text, kNumberTexts, MQTTFORMAT_TRUNCATE, "MQTTPersist::GetMQTTNumberFormat", "NUMBER");
}

int32_t MQTTPersist::GetMQTTDateFormat(const char* text) {
  return formatCode(text, kDateTexts, MQTTFORMAT_DATE_FIRST, "MQTTPersist::GetMQTTDateFormat", "DATE");
}

int32_t MQTTPersist::GetMQTTTimeFormat(const char* text) {
  return formatCode(text, kTimeTexts, MQTTFORMAT_TIME_FIRST, "MQTTPersist::GetMQTTTimeFormat", "TIME");
}

int32_t MQTTPersistField::GetFieldFormat(const char* format, const char* typeName, int32_t* dateFormat,
                                         int32_t* timeFormat) {
  *dateFormat = MQTTFORMAT_NONE;
  *timeFormat = MQTTFORMAT_NONE;
  if (isType(typeName, {"BINARY", "VARBINARY", "LVARBINARY"})) return MQTTPersist::GetMQTTBinFormat(format);
  if (isType(typeName, {"MONEY", "CURRENCY", "NUMBER", "REAL", "DOUBLE"}))
    return MQTTPersist::GetMQTTNumberFormat(format);
  if (isType(typeName, {"DATE"})) return *dateFormat = MQTTPersist::GetMQTTDateFormat(format);
  if (isType(typeName, {"TIME"})) return *timeFormat = MQTTPersist::GetMQTTTimeFormat(format);
  if (isType(typeName, {"TIMESTAMP"}) && format != nullptr) {
    if (strncasecmp(format, "ISO8601", 7) == 0) return *dateFormat = MQTTFORMAT_ISO8601;
    for (int i = 0; i < 6; i++) {
      size_t n = strlen(kDateTexts[i]);
      if (strncasecmp(format, kDateTexts[i], n) != 0) continue;
      *dateFormat = MQTTFORMAT_DATE_FIRST + i;
      if (format[n] != '\0') {
        for (int t = 0; t < 6; t++)
          if (strcasecmp(format + n + 1, kTimeTexts[t]) == 0) *timeFormat = MQTTFORMAT_TIME_FIRST + t;
      }
      return MQTTFORMAT_TIMESTAMP;
    }
  }
  starlingThrow("MQTTPersistField::GetFieldFormat", 10001,
                "Field format [%s] not supported for type [%s]. Please check the propertyFormat property provided.",
                format != nullptr ? format : "", typeName != nullptr ? typeName : "");
}

int32_t MQTTPersistField::GetFieldDateFormat(int32_t dateFormat) {
  if (dateFormat == -1 || dateFormat == 200 || dateFormat == 206) return 1;
  if (dateFormat >= 201 && dateFormat <= 205) return dateFormat - 199;
  starlingThrow("MQTTPersistField::GetFieldDateFormat", 10001, "Date format not supported yet.");
}

int32_t MQTTPersistField::GetFieldTimeFormat(int32_t timeFormat) {
  switch (timeFormat) {
    case 300:
      return 1;
    case 301:
      return 2;
    case -1:
    case 302:
      return 3;
    case 303:
      return 4;
    case 304:
      return 5;
    case 305:
      return 11;
    default:
      break;
  }
  starlingThrow("MQTTPersistField::GetFieldTimeFormat", 10001, "Time format not supported yet.");
}

// ---- types ----

int32_t MQTTPersistField::ParseFieldType(const char* name, int32_t* binaryFlag) {
  for (const TypeName& t : kTypes) {
    if (name == nullptr || strcasecmp(name, t.name) != 0) continue;
    if (binaryFlag != nullptr) *binaryFlag = t.binaryFlag;
    return t.code;
  }
  return -1;
}

// The engine names the number, date and time types; decimals, texts,
// binaries and JSON are named here as the broker's field lists spell them
// (by width and binary flag), which is not the engine's column type.
const char* MQTTPersistField::GetFieldTypeName(int32_t code, int32_t width, int32_t binaryFlag) {
  if (const char* scalar = rlScalarTypeName(code)) return scalar;
  bool wide = width <= 0 || width > 8192;
  switch (code) {
    case RL_TYPE_MONEY4:
    case RL_TYPE_NUMBER:
    case RL_TYPE_MONEY:
      return binaryFlag == 7 ? "MONEY" : "NUMBER";
    case RL_TYPE_BINARY_FIXED:
    case RL_TYPE_BINARY:
      return wide ? "LVARBINARY" : "BINARY";
    case RL_TYPE_CHAR:
    case RL_TYPE_CHAR1:
    case RL_TYPE_CHAR4:
      return wide ? "LVARCHAR" : "CHAR";
    case RL_TYPE_VARCHAR_FIXED:
    case RL_TYPE_VARCHAR1:
      return wide ? "LVARCHAR" : "VARCHAR";
    case RL_TYPE_VARBINARY:
      return wide ? "LVARBINARY" : (binaryFlag == 4 ? "VARCHAR" : "VARBINARY");
    case RL_TYPE_LONG:
      return binaryFlag == 4 ? "LVARCHAR" : "LVARBINARY";
    case RL_TYPE_JSON:
      return "JSON";
    default:
      return "INVALID";
  }
}

int32_t MQTTPersistField::GetDefaultFieldWidth(int32_t code) {
  switch (code) {
    case RL_TYPE_BIT:
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
      return 1;
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
      return 2;
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
    case RL_TYPE_MONEY4:
    case RL_TYPE_TIME4:
    case RL_TYPE_REAL:
    case RL_TYPE_DATE:
    case RL_TYPE_TIME:
      return 4;
    case RL_TYPE_DOUBLE:
    case RL_TYPE_TIMESTAMP8:
    case RL_TYPE_MONEY:
    case RL_TYPE_UBIGINT:
    case RL_TYPE_TIMESTAMP:
    case RL_TYPE_BIGINT:
      return 8;
    case RL_TYPE_NUMBER:
      return 20;
    case RL_TYPE_VARCHAR_FIXED:
    case RL_TYPE_VARBINARY:
    case RL_TYPE_NVARCHAR:
      return 8192;
    default:
      return 0;
  }
}

bool MQTTPersistField::IsLengthCheckedType(int32_t code) {
  return !isOneOf(code,
                  {8, 16, 24, 33, 41, 51, 59, 67, 75, 83, 91, 103, 105, 124, 143, 146, 170, 231, 239, 257, 258, 259});
}

bool MQTTPersistField::HasWidth(int32_t code) { return isOneOf(code, {128, 144, 146, 152, 154, 160, 162, 168}); }

bool MQTTPersistField::IsBinaryContent(int32_t type, int32_t binaryFlag, int32_t width) {
  if (type == RL_TYPE_BINARY_FIXED || type == RL_TYPE_BINARY) return true;
  if (type == RL_TYPE_VARBINARY) return !(binaryFlag == RL_BINARY_FLAG_TEXT && width >= 1 && width <= 8192);
  if (type == RL_TYPE_LONG) return binaryFlag != RL_BINARY_FLAG_TEXT;
  return false;
}

bool MQTTPersistField::IsBinaryContent() const { return IsBinaryContent(type, binaryFlag, width); }

// ---- construction ----

void MQTTPersistField::readType(json_object* json, const char* typeKey, const char* widthKey, const char* scaleKey,
                                const MQTTPersist* persist) {
  const char* typeText = textOr(json, typeKey);
  type = ParseFieldType(typeText, &binaryFlag);
  if (type < 0)
    starlingThrow("MQTTPersistField::MQTTPersistField", 10001,
                  "%s is not a supported field type in MQTT Persistence layer. Please refer to the documentation in "
                  "order to check the supported field type list.",
                  typeText);
  int32_t given = 0;
  width = zvJsonGetIntByName(json, widthKey, &given) ? given : GetDefaultFieldWidth(type);
  if (type == RL_TYPE_BINARY || type == RL_TYPE_VARBINARY) width += 2;
  int32_t givenScale = -1;
  if (strcmp(typeText, "CURRENCY") == 0 || strcmp(typeText, "MONEY") == 0)
    scale = 2;
  else
    scale = zvJsonGetIntByName(json, scaleKey, &givenScale) && givenScale >= 0 ? givenScale : -1;
  const char* formatText = textOr(json, "propertyFormat");
  if (formatText != nullptr) {
    format = GetFieldFormat(formatText, typeText, &dateFormat, &timeFormat);
  } else if (persist != nullptr) {
    if (isType(typeText, {"BINARY", "VARBINARY", "LVARBINARY"}))
      format = persist->GetDefaultBinFormat();
    else if (isType(typeText, {"TIMESTAMP"}))
      format =
          persist->GetDefaultDateFormat() != -1 ? persist->GetDefaultDateFormat() : persist->GetDefaultTimeFormat();
    else if (isType(typeText, {"DATE"}))
      format = persist->GetDefaultDateFormat();
    else if (isType(typeText, {"TIME"}))
      format = persist->GetDefaultTimeFormat();
    // The column reads its texts in the topic's default forms: a field
    // without a format of its own takes them as its own.
    if (isType(typeText, {"DATE", "TIMESTAMP"})) dateFormat = persist->GetDefaultDateFormat();
    if (isType(typeText, {"TIME", "TIMESTAMP"})) timeFormat = persist->GetDefaultTimeFormat();
  }
}

MQTTPersistField::MQTTPersistField(json_object* json, const MQTTPersist* persist) {
  const char* path = textOr(json, "propertyPath");
  if (path == nullptr) starlingThrow("MQTTPersistField::MQTTPersistField", 10004, "Missing Tag Name");
  const char* name = textOr(json, "fieldName");
  if (name == nullptr) starlingThrow("MQTTPersistField::MQTTPersistField", 10004, "Missing Field Name");
  persistCheckIdentifier(name, "field name");
  if (textOr(json, "fieldType") == nullptr)
    starlingThrow("MQTTPersistField::MQTTPersistField", 10004, "Missing Field Type");
  hasPath = true;
  propertyPath = path;
  fieldName = name;
  readType(json, "fieldType", "fieldWidth", "fieldScale", persist);
  int32_t givenCount = 1;
  count = zvJsonGetIntByName(json, "fieldCount", &givenCount) && givenCount >= 0 ? givenCount : 1;
  if (count > 1024) starlingThrow("MQTTPersistField::MQTTPersistField", 10001, "fieldCount %d is above 1024", count);
}

MQTTPersistField* MQTTPersistField::NewSourcePayloadField() { return NewColumnField("source_payload", 170, 0); }

MQTTPersistField* MQTTPersistField::NewColumnField(const char* name, int32_t type, int32_t width) {
  auto* field = new MQTTPersistField();
  field->fieldName = name;
  field->type = type;
  field->width = width;
  return field;
}

MQTTPersistField* MQTTPersistField::NewTimestampField() {
  auto* field = new MQTTPersistField();
  field->fieldName = "ts";
  field->type = 257;
  field->width = 8;
  return field;
}

std::vector<std::string> MQTTPersistField::ColumnNames() const {
  if (count < 2) return {fieldName};
  std::vector<std::string> names;
  for (int i = 0; i < count; i++) {
    char name[32];
    snprintf(name, sizeof name, "%s%d", fieldName.c_str(), i);
    names.emplace_back(name);
  }
  return names;
}

json_object* MQTTPersistField::GetJson() const {
  json_object* json = zvJsonAlloc();
  if (json == nullptr)
    starlingThrow("MQTTPersistField::GetJson", 10006,
                  "Not able to build JSON with topic persistence field information. JSON allocation failed.");
  if (hasPath) zvJsonAddString(json, "propertyPath", propertyPath.c_str());
  zvJsonAddString(json, "fieldName", fieldName.c_str());
  zvJsonAddString(json, "fieldType", GetFieldTypeName(type, width, binaryFlag));
  if (width > 0) zvJsonAddInt(json, "fieldWidth", width);
  if (scale >= 0) zvJsonAddInt(json, "fieldScale", scale);
  if (count > 1) zvJsonAddInt(json, "fieldCount", count);
  return json;
}

bool MQTTPersistField::CheckChanges(json_object* json) {
  const char* fn = "MQTTPersistField::CheckChanges";
  const char* path = textOr(json, "propertyPath");
  if (path == nullptr) starlingThrow(fn, 10004, "Missing Tag Name");
  const char* name = textOr(json, "fieldName");
  if (name == nullptr) starlingThrow(fn, 10004, "Missing Field Name");
  persistCheckIdentifier(name, "field name");
  const char* typeText = textOr(json, "fieldType");
  if (typeText == nullptr) starlingThrow(fn, 10004, "Missing Field Type");
  int32_t newFlag = 0;
  int32_t newType = ParseFieldType(typeText, &newFlag);
  if (newType < 0)
    starlingThrow(fn, 10001,
                  "%s is not a supported field type in MQTT Persistence layer. Please refer to the documentation in "
                  "order to check the supported field type list.",
                  typeText);
  propertyPath = path;
  bool changed = false;
  if (fieldName != name) fieldName = name, changed = true;
  if (newType != type || newFlag != binaryFlag) type = newType, binaryFlag = newFlag, changed = true;
  int32_t newWidth = 0;
  if (!zvJsonGetIntByName(json, "fieldWidth", &newWidth)) newWidth = GetDefaultFieldWidth(type);
  // Binary columns carry 2 more than asked, as at creation: an unchanged
  // element keeps its column.
  if (type == RL_TYPE_BINARY || type == RL_TYPE_VARBINARY) newWidth += 2;
  if (newWidth != width) width = newWidth, changed = true;
  int32_t value = 0;
  if (zvJsonGetIntByName(json, "fieldScale", &value) && value != scale) scale = value, changed = true;
  if (zvJsonGetIntByName(json, "fieldCount", &value) && value != count) {
    // Creation's bound holds for an alteration too.
    if (value < 0 || value > 1024) starlingThrow(fn, 10001, "fieldCount %d is out of limits (0 to 1024)", value);
    count = value, changed = true;
  }
  return changed;
}

// ---- columns of existing tables ----

bool MQTTPersistField::AcceptsColumnType(int32_t type, int32_t existing) {
  bool accepted = existing == type;
  switch (type) {
    case RL_TYPE_TINYINT:
      accepted = accepted || existing == RL_TYPE_UTINYINT;
      break;
    case RL_TYPE_SMALLINT:
      accepted = accepted || existing == RL_TYPE_USMALLINT;
      break;
    case RL_TYPE_INTEGER:
      accepted = accepted || existing == RL_TYPE_UINTEGER;
      break;
    case RL_TYPE_NUMBER:
      accepted = accepted || existing == RL_TYPE_MONEY4 || existing == RL_TYPE_MONEY;
      break;
    case RL_TYPE_TIME:
      accepted = accepted || existing == RL_TYPE_TIME4;
      break;
    case RL_TYPE_TIMESTAMP:
      accepted = accepted || existing == RL_TYPE_TIMESTAMP8;
      break;
    case RL_TYPE_CHAR:
      accepted = accepted || existing == RL_TYPE_CHAR1 || existing == RL_TYPE_CHAR4;
      break;
    case RL_TYPE_VARCHAR_FIXED:
      accepted = accepted || existing == RL_TYPE_VARCHAR1 || existing == RL_TYPE_VARBINARY;
      break;
    case RL_TYPE_VARBINARY:
      accepted = accepted || existing == RL_TYPE_VARCHAR_FIXED || existing == RL_TYPE_VARCHAR1;
      break;
    default:
      break;
  }
  return accepted;
}

namespace {
// Rank of the integer types (0: not one): a wider one holds every value of a
// narrower one unchanged.
int integerRank(int32_t type) {
  if (type == RL_TYPE_TINYINT || type == RL_TYPE_UTINYINT) return 1;
  if (type == RL_TYPE_SMALLINT || type == RL_TYPE_USMALLINT) return 2;
  if (type == RL_TYPE_INTEGER || type == RL_TYPE_UINTEGER) return 3;
  if (type == RL_TYPE_BIGINT) return 4;
  return 0;
}
}  // namespace

const char* MQTTPersistField::LossyChange(int32_t existingType, int32_t existingLength, int32_t existingScale) const {
  if (!AcceptsColumnType(type, existingType)) {
    int from = integerRank(existingType), to = integerRank(type);
    if (from == 0 || to < from) return "its values would be read as another type";
    return nullptr;  // a wider integer
  }
  if (HasWidth(type) && width > 0 && width < existingLength) return "its values would be cut to the shorter length";
  if (type == RL_TYPE_NUMBER && scale >= 0 && existingScale >= 0 && scale != existingScale)
    return "its values would be read with another scale";
  return nullptr;
}

void MQTTPersistField::ValidateExistingField(const char* column, ZVTable* table, char* error) const {
  const char* fn = "MQTTPersistField::ValidateExistingField";
  const char* tableName = table->GetName();
  ZVField* f = nullptr;
  try {
    f = table->GetField(column);
  } catch (const ZVException&) {
    throwClient(fn, 10005, error, "Table [%s] already exists, but schema doesn't match. Missing field [%s].", tableName,
                column);
  }
  if (binaryFlag != 0 && rlGetFieldBinaryFlag(f->GetHandle()) != binaryFlag)
    throwClient(fn, 10005, error,
                "Table [%s] already exists, but schema doesn't match. Field [%s] has binary flag of [%d], but it was "
                "expected to be [%d].",
                tableName, column, binaryFlag, rlGetFieldBinaryFlag(f->GetHandle()));
  int32_t existing = f->GetType();
  bool accepted = AcceptsColumnType(type, existing);
  if (!accepted)
    throwClient(fn, 10005, error,
                "Table [%s] already exists, but schema doesn't match. Field [%s] is of type [%d], but it was expected "
                "to be [%d].",
                tableName, column, type, existing);
  if (IsLengthChecked() && width > 0 && f->GetLength() != width)
    throwClient(fn, 10005, error,
                "Table [%s] already exists, but schema doesn't match. Field [%s] is lenght of [%d], but it was "
                "expected to be [%d].",
                tableName, column, width, f->GetLength());
  if (type == RL_TYPE_NUMBER && scale > 0 && f->GetScale() != scale)
    throwClient(fn, 10005, error,
                "Table [%s] already exists, but schema doesn't match. Field [%s] is scale of [%d], but it was expected "
                "to be [%d].",
                tableName, column, scale, f->GetScale());
}

void MQTTPersistField::UpdateFieldFormat(ZVTable* table) const {
  if (!isOneOf(type, {75, 83, 124, 257, 258}) || format == MQTTFORMAT_ISO8601) return;
  try {
    for (const std::string& column : ColumnNames())
      table->GetField(column.c_str())
          ->SetFieldDefaultDateTimeType(GetFieldDateFormat(dateFormat), GetFieldTimeFormat(timeFormat));
  } catch (const ZVException& e) {
    starlingThrow("MQTTPersistField::UpdateFieldFormat", e.GetErrorCode(),
                  "Not able to set date and time format of field [%s] - %s", fieldName.c_str(), e.GetErrorMsg());
  }
}

// ---- values ----

int32_t MQTTPersistField::Extract(int64_t context, std::vector<char>& buffer, int32_t* entries, char* error,
                                  const MQTTPersist* persist) const {
  bool binary = IsBinaryContent();
  int32_t length = 0;
  const MQTTExtractor& ex = persist->Extractor();
  error[0] = '\0';
  *entries = 0;
  int32_t rc = persistExtractInto(buffer, &length, [&](void* data, int32_t size, int32_t* len) {
    if (count >= 2)
      return ex.extractList(propertyPath.c_str(), type, binary, format, context, data, size, len, entries, error);
    return ex.extract(hasPath ? propertyPath.c_str() : nullptr, type, binary, format, context, data, size, len, error);
  });
  if (rc == 0) return length;
  if (count >= 2)
    throwClient("MQTTPersistField::SetMultipleFieldValues", rc, error,
                "Not able to set multiple field values for [%s] - %.900s", fieldName.c_str(),
                std::string(error).c_str());
  throwClient("MQTTPersistField::SetFieldValue", rc, error, "Not able to set value to field [%s] - %.900s",
              fieldName.c_str(), std::string(error).c_str());
}

void MQTTPersistField::SetFieldValue(ZVRecord* record, int64_t context, char* error, const MQTTPersist* persist) const {
  std::vector<char>& buffer = threadValueBuffer();
  int32_t entries = 0;
  int32_t length = Extract(context, buffer, &entries, error, persist);
  SetExtracted(record, buffer.data(), length, entries, error);
}

void MQTTPersistField::SetExtracted(ZVRecord* record, const char* data, int32_t length, int32_t entries,
                                    char* error) const {
  if (count >= 2) return setExtractedList(record, data, length, entries, error);
  const char* fn = "MQTTPersistField::SetFieldValue";
  bool binary = IsBinaryContent();
  if (length == 0) return;
  const char* name = fieldName.c_str();
  auto need = [&](size_t bytes) {
    if (static_cast<size_t>(length) < bytes)
      throwClient(fn, 10017, error, "Not able to set value to field [%s]. The extractor returned %d bytes.", name,
                  length);
  };
  try {
    if (type == RL_TYPE_BIT) {
      need(4);
      int32_t v;
      memcpy(&v, data, 4);
      try {
        record->SetFieldAsBool(name, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%d] to field [%s]. The value is refused - %s", v, name,
                    e.GetErrorMsg());
      }
    } else if (isOneOf(type, {16, 24, 33, 41, 51, 59})) {
      need(4);
      int32_t v;
      memcpy(&v, data, 4);
      try {
        record->SetFieldAsSigned(name, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%d] to field [%s]. The value is refused - %s", v, name,
                    e.GetErrorMsg());
      }
    } else if (isOneOf(type, {67, 91, 103, 143})) {
      need(8);
      double v;
      memcpy(&v, data, 8);
      try {
        record->SetFieldAsFloat(name, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%f] to field [%s]. The value is refused - %s", v, name,
                    e.GetErrorMsg());
      }
    } else if (type == RL_TYPE_BIGINT || type == RL_TYPE_UBIGINT) {
      need(8);
      int64_t v;
      memcpy(&v, data, 8);
      try {
        record->SetFieldAsBigint(name, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%lld] to field [%s]. The value is refused - %s",
                    static_cast<long long>(v), name, e.GetErrorMsg());
      }
    } else if (binary) {
      try {
        record->SetFieldAsBlob(name, data, static_cast<size_t>(length));
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set binary buffer to field [%s]. The value is refused - %s", name,
                    e.GetErrorMsg());
      }
    } else if ((type == RL_TYPE_DATE || type == RL_TYPE_TIMESTAMP8 || type == RL_TYPE_TIMESTAMP) && format == MQTTFORMAT_ISO8601) {
      need(8);
      int64_t v;
      memcpy(&v, data, 8);
      int64_t seconds = type == RL_TYPE_TIMESTAMP ? v / 1000 : v;
      int millis = type == RL_TYPE_TIMESTAMP ? static_cast<int>(v - seconds * 1000) : 0;
      if (millis < 0) seconds -= 1, millis += 1000;  // before 1970: the second below
      struct tm t {};
      ZVDateTime value;
      if (utcParts(seconds, &t) &&
          rlPackDateTime(&value, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, millis) != 0)
        throwClient(fn, 10017, error, "Not able to set binary pack datetime value for field [%s]. The value is refused",
                    name);
      try {
        record->SetFieldAsDateTime(name, value);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value datetime value to field [%s]. The value is refused - %s",
                    name, e.GetErrorMsg());
      }
    } else {
      // A text ended by a zero byte within the length returned.
      if (memchr(data, '\0', static_cast<size_t>(length)) == nullptr)
        throwClient(fn, 10017, error,
                    "Not able to set value to field [%s]. The extractor returned an unterminated text.", name);
      size_t textLength = strlen(data);
      if ((type == RL_TYPE_VARCHAR_FIXED || type == RL_TYPE_VARCHAR1 || (type == RL_TYPE_VARBINARY && binaryFlag == 4)) && width >= 1 && width <= 8192 &&
          textLength > static_cast<size_t>(width))
        throwClient(fn, 10017, error,
                    "Not able to set value to field [%s]. String is too long. Field width is %d and string is %d chars "
                    "long. The value is refused.",
                    name, width, static_cast<int>(textLength));
      try {
        record->SetFieldAsString(name, data);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%.200s] to field [%s]. The value is refused - %s", data,
                    name, e.GetErrorMsg());
      }
    }
  } catch (const ZVException& e) {
    throwClient(fn, 10017, error, "Not able to set value to field [%s]. The value is refused - %s", name,
                e.GetErrorMsg());
  }
}

// Walks the entries of an extracted list, each checked against the bytes the
// library returned: fn(index, value, length) for each.
bool persistWalkList(const char* data, int32_t size, int32_t count,
                     const std::function<void(int32_t, const char*, int32_t)>& fn) {
  int64_t pos = 0;
  for (int32_t i = 0; i < count; i++) {
    if (pos + 4 > size) return false;
    int32_t length;
    memcpy(&length, data + pos, 4);
    if (length < 0 || pos + 4 + length > size) return false;
    fn(i, data + pos + 4, length);
    pos += 4 + length;
  }
  return true;
}

// Sets one list entry into a column by type; false when the type takes no
// entry. Throws ZVException from the setter.
bool persistSetEntry(ZVRecord* record, const char* column, int32_t type, bool binary, const char* value, int32_t length,
                     char* error, const char* where) {
  const char* fn = "MQTTPersistField::SetMultipleFieldValues";
  if (length == 0) return true;
  auto need = [&](int32_t bytes) {
    if (length < bytes)
      throwClient(fn, 10017, error, "Not able to set value to field [%s]%s. The extractor returned %d bytes.", column,
                  where, length);
  };
  try {
    if (type == RL_TYPE_BIT || isOneOf(type, {16, 24, 33, 41, 51, 59})) {
      need(4);
      int32_t v;
      memcpy(&v, value, 4);
      try {
        if (type == RL_TYPE_BIT)
          record->SetFieldAsBool(column, v);
        else
          record->SetFieldAsSigned(column, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%d] to field [%s]%s. The value is refused - %s", v,
                    column, where, e.GetErrorMsg());
      }
    } else if (isOneOf(type, {67, 91, 103, 143})) {
      need(8);
      double v;
      memcpy(&v, value, 8);
      try {
        record->SetFieldAsFloat(column, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%f] to field [%s]%s. The value is refused - %s", v,
                    column, where, e.GetErrorMsg());
      }
    } else if (type == RL_TYPE_BIGINT || type == RL_TYPE_UBIGINT) {
      need(8);
      int64_t v;
      memcpy(&v, value, 8);
      try {
        record->SetFieldAsBigint(column, v);
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%lld] to field [%s]%s. The value is refused - %s",
                    static_cast<long long>(v), column, where, e.GetErrorMsg());
      }
    } else if (binary || isOneOf(type, {160, 162, 170, 128})) {
      try {
        record->SetFieldAsBlob(column, value, static_cast<size_t>(length));
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set binary buffer to field [%s]%s. The value is refused - %s",
                    column, where, e.GetErrorMsg());
      }
    } else if (isOneOf(type, {75, 83, 105, 124, 144, 146, 152, 154, 168, 193, 201, 257, 258, 259})) {
      std::string text(value, strnlen(value, static_cast<size_t>(length)));
      try {
        record->SetFieldAsString(column, text.c_str());
      } catch (const ZVException& e) {
        throwClient(fn, 10017, error, "Not able to set value [%.200s] to field [%s]%s. The value is refused - %s",
                    text.c_str(), column, where, e.GetErrorMsg());
      }
    } else {
      return false;
    }
  } catch (const ZVException& e) {
    throwClient(fn, 10017, error, "Not able to set value to field [%s]%s. The value is refused - %s", column, where,
                e.GetErrorMsg());
  }
  return true;
}

void MQTTPersistField::setExtractedList(ZVRecord* record, const char* data, int32_t size, int32_t entries,
                                        char* error) const {
  bool binary = IsBinaryContent();
  std::vector<std::string> columns = ColumnNames();
  bool whole = persistWalkList(data, size, entries, [&](int32_t i, const char* value, int32_t length) {
    if (i < static_cast<int32_t>(columns.size()))
      persistSetEntry(record, columns[static_cast<size_t>(i)].c_str(), type, binary, value, length, error, "");
  });
  if (!whole)
    throwClient("MQTTPersistField::SetMultipleFieldValues", 10017, error,
                "Not able to set multiple field values for [%s] - the list is longer than the bytes returned",
                fieldName.c_str());
}
