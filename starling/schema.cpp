// Message schemas: the structure-syntax parser and the binary-to-JSON decoder.
#include "schema.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ravlink.h"

namespace {

const char* kParseName = "MQTTSchemaUDT::Parse";
const char* kElementName = "MQTTSchemaUDT::ParseElement";
const char* kDecodeName = "MQTTSchema::BuildJson";

std::string printf_(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string printf_(const char* pattern, ...) {
  char text[YXException::YX_EXCEPTION_MSG_MAX];
  va_list args;
  va_start(args, pattern);
  vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

[[noreturn]] void fail(const char* function, int code, const std::string& message) {
  throw YXException(function, YX_KIND_OPERATION, code, message.c_str(), __FILE__, __LINE__);
}

struct Keyword {
  const char* text;
  int type;
};
const Keyword kKeywords[] = {
    {"BOOL", MQTT_SCHEMA_BOOL},
    {"BYTE", MQTT_SCHEMA_BYTE},
    {"WORD", MQTT_SCHEMA_WORD},
    {"DWORD", MQTT_SCHEMA_DWORD},
    {"INT", MQTT_SCHEMA_INT},
    {"DINT", MQTT_SCHEMA_DINT},
    {"REAL", MQTT_SCHEMA_REAL},
    {"S5TIME", MQTT_SCHEMA_S5TIME},
    {"TIME", MQTT_SCHEMA_TIME},
    {"DATE", MQTT_SCHEMA_DATE},
    {"TIME_OF_DAY", MQTT_SCHEMA_TIME_OF_DAY},
    {"CHAR", MQTT_SCHEMA_CHAR},
    {"DATE_AND_TIME", MQTT_SCHEMA_DATE_AND_TIME},
    {"DT", MQTT_SCHEMA_DT},
    {"STRING", MQTT_SCHEMA_STRING},
    {"ARRAY", MQTT_SCHEMA_ARRAY},
    {"STRUCT", MQTT_SCHEMA_STRUCT},
};

// A decimal number as the schema writes bounds and lengths: leading blanks
// and a sign allowed, digits up to the first other character, at most nine
// of them (so no overflow); 0 only when the text is exactly "0".
bool parseNumber(const std::string& text, int32_t* out) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  int64_t value = 0;
  size_t digits = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 10) {
    value = value * 10 + (text[at++] - '0');
    ++digits;
  }
  if (digits == 0 || digits > 9) return false;
  if (value == 0 && text != "0") return false;
  *out = static_cast<int32_t>(negative ? -value : value);
  return true;
}

bool isStringlike(int type) { return type == MQTT_SCHEMA_STRING; }

}  // namespace

// ---- decoding state ---------------------------------------------------------------

// The payload ended inside an element: decoding stops there.
struct PayloadEnd {
  std::string message;
};

struct MQTTSchemaDecoder {
  MQTTSchemaDecoder(const MQTTSchema* owner, const uint8_t* payload, int length, json_object* errorList)
      : schema(owner),
        cursor(payload),
        remaining(length),
        errors(errorList),
        valueBudget(8 * static_cast<int64_t>(length) + MQTTSchema::kValueAllowance) {}

  const MQTTSchema* schema;
  const uint8_t* cursor;
  int remaining;
  int offset = 0;
  int bitIndex = 0;  // 0: no open run of BOOL elements
  json_object* errors;
  int64_t valueBudget;
  int depth = 0;

  void Advance(int n) {
    if (n <= 0 || remaining < n) return;
    cursor += n;
    remaining -= n;
    offset += n;
  }
  void Align() {
    if (offset % 2 && remaining > 0) Advance(1);
  }
  void CloseBits() {
    if (bitIndex == 0) return;
    bitIndex = 0;
    Advance(1);
  }
  // The next n bytes, which must all lie inside the payload.
  const uint8_t* Need(int n, const char* name) {
    if (n > remaining)
      throw PayloadEnd{
          printf_("Invalid binary UDT message. The message ends at byte [%d], inside element [%s] "
                  "that needs [%d] more bytes.",
                  offset + remaining, name, n - remaining)};
    return cursor;
  }
  // Counts one value made; an array of empty structures cannot go on for ever.
  void CountValue() {
    if (--valueBudget < 0)
      fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED,
           "Invalid binary UDT message. The schema describes more values than the message can carry.");
  }
  void Enter() {
    if (++depth > MQTTSchema::kMaxNesting)
      fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED,
           printf_("Schema nested deeper than %d levels", MQTTSchema::kMaxNesting));
  }
  void Leave() { --depth; }
};

namespace {

class Nesting {
 public:
  explicit Nesting(MQTTSchemaDecoder& decoder) : decoder_(decoder) { decoder_.Enter(); }
  ~Nesting() { decoder_.Leave(); }

 private:
  MQTTSchemaDecoder& decoder_;
};

uint32_t bigEndian(const uint8_t* p, int n) {
  uint32_t value = 0;
  for (int i = 0; i < n; ++i) value = (value << 8) | p[i];
  return value;
}

json_object* textValue(const char* format, int limit, ...) __attribute__((format(printf, 1, 3)));
json_object* textValue(const char* format, int limit, ...) {
  char text[32];
  va_list args;
  va_start(args, limit);
  vsnprintf(text, static_cast<size_t>(limit) + 1, format, args);
  va_end(args);
  return zvJsonAllocString(text);
}

json_object* s5time(uint32_t word) {
  static const int kBaseMs[] = {10, 100, 1000, 10000};
  int digits = ((word >> 8) & 0xF) * 100 + ((word >> 4) & 0xF) * 10 + (word & 0xF);
  int ms = digits * kBaseMs[(word >> 12) & 3];
  return textValue("S5T#%dH_%dM_%dS_%dMS", 20, ms / 3600000, ms % 3600000 / 60000, ms % 60000 / 1000, ms % 1000);
}

json_object* time32(int32_t ms) {
  int32_t rest = ms % 86400000;
  return textValue("T#%dD_%dH_%dM_%dS_%dMS", 23, ms / 86400000, rest / 3600000, rest % 3600000 / 60000,
                   rest % 60000 / 1000, rest % 1000);
}

json_object* date16(uint32_t days) {
  int year = 0, month = 0, day = 0;
  rlUnpackDate(rlPackDate(1990, 1, 1) + static_cast<int32_t>(days), &year, &month, &day);
  return textValue("%d-%d-%d", 10, year, month, day);
}

json_object* timeOfDay(uint32_t ms) {
  return textValue("%d:%d:%d.%d", 12, static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                   static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
}

json_object* dateAndTime(const uint8_t* p) {
  auto s = [&](int i) { return static_cast<int>(static_cast<int8_t>(p[i])); };
  int year = s(0) < 90 ? 2000 + s(0) : 1900 + s(0);
  int ms = p[6] * 10 + (p[7] >> 4);
  return textValue("%d-%d-%d-%d:%d:%d.%d", 23, year, s(1), s(2), s(3), s(4), s(5), ms);
}

// Checks a string's header and padding; entries go to the error list when
// there is one (the check-consistency flag).
void validateString(MQTTSchemaDecoder& d, const uint8_t* area, int maximum, int actual, const std::string& text,
                    const char* name, int declared) {
  if (!d.errors) return;
  if (declared > 0 && maximum != declared)
    MQTTSchema::AddError(d.errors, MQTT_SCHEMA_STRING_MAX,
                         printf_("Invalid string max length for property [%s]. The binary UDT message claims the "
                                 "string's max length is [%d], but the schema specified a max length of [%d]",
                                 name, maximum, declared)
                             .c_str());
  if (actual > maximum)
    MQTTSchema::AddError(d.errors, MQTT_SCHEMA_STRING_TOO_LONG,
                         printf_("Binary UDT contains invalid string length information for property [%s] with value "
                                 "of [%s]. The binary UDT's 'actual string length' [%d] is larger than the binary "
                                 "UDT's 'maximum string length' [%d]",
                                 name, text.c_str(), actual, maximum)
                             .c_str());
  if (maximum == 255 || actual == 255)
    MQTTSchema::AddError(d.errors, MQTT_SCHEMA_STRING_255,
                         printf_("Invalid string content for property [%s] with value of [%s]. Maximum and/or Actual "
                                 "string length in binary UDT message is greater than the limit of 253. Maximum "
                                 "string length is [%d] and actual length is [%d]",
                                 name, text.c_str(), maximum, actual)
                             .c_str());
  for (int i = maximum - 1; i >= actual && i >= 0; --i) {
    if (area[i] != 0) {
      MQTTSchema::AddError(d.errors, MQTT_SCHEMA_STRING_PADDING,
                           printf_("Invalid string content for property [%s] with value of [%s]. String padding "
                                   "after the actual content is not NULL",
                                   name, text.c_str())
                               .c_str());
      break;
    }
  }
}

// Reads a STRING at the cursor: two header bytes, then the maximum length's
// bytes; the text runs to the first zero byte among them.
json_object* readString(MQTTSchemaDecoder& d, const char* name, int declared) {
  const uint8_t* header = d.Need(2, name);
  int maximum = header[0], actual = header[1];
  d.Advance(2);
  const uint8_t* area = d.Need(maximum, name);
  std::string text(reinterpret_cast<const char*>(area), strnlen(reinterpret_cast<const char*>(area), maximum));
  validateString(d, area, maximum, actual, text, name, declared);
  d.Advance(maximum);
  return zvJsonAllocString(text.c_str());
}

// One value of an elementary type at the cursor (alignment done by the
// caller). BOOL reads the bit of the open run.
json_object* readValue(MQTTSchemaDecoder& d, int type, const char* name, int declared) {
  d.CountValue();
  auto take = [&](int n) {
    const uint8_t* p = d.Need(n, name);
    d.Advance(n);
    return p;
  };
  switch (type) {
    case MQTT_SCHEMA_BOOL: {
      const uint8_t* p = d.Need(1, name);
      int bit = (p[0] >> d.bitIndex) & 1;
      if (++d.bitIndex == 8) d.CloseBits();
      return zvJsonAllocBoolean(bit);
    }
    case MQTT_SCHEMA_BYTE:
      return zvJsonAllocInt(take(1)[0]);
    case MQTT_SCHEMA_CHAR: {
      char text[2] = {static_cast<char>(take(1)[0]), 0};
      return zvJsonAllocString(text);
    }
    case MQTT_SCHEMA_WORD:
      return zvJsonAllocInt(static_cast<int32_t>(bigEndian(take(2), 2)));
    case MQTT_SCHEMA_INT:
      return zvJsonAllocInt(static_cast<int16_t>(bigEndian(take(2), 2)));
    case MQTT_SCHEMA_DWORD:
      return zvJsonAllocBigint(bigEndian(take(4), 4));
    case MQTT_SCHEMA_DINT:
      return zvJsonAllocInt(static_cast<int32_t>(bigEndian(take(4), 4)));
    case MQTT_SCHEMA_REAL: {
      uint32_t bits = bigEndian(take(4), 4);
      float value;
      memcpy(&value, &bits, sizeof value);
      return zvJsonAllocDouble(value);
    }
    case MQTT_SCHEMA_S5TIME:
      return s5time(bigEndian(take(2), 2));
    case MQTT_SCHEMA_TIME:
      return time32(static_cast<int32_t>(bigEndian(take(4), 4)));
    case MQTT_SCHEMA_DATE:
      return date16(bigEndian(take(2), 2));
    case MQTT_SCHEMA_TIME_OF_DAY:
      return timeOfDay(bigEndian(take(4), 4));
    case MQTT_SCHEMA_DATE_AND_TIME:
    case MQTT_SCHEMA_DT:
      return dateAndTime(take(8));
    case MQTT_SCHEMA_STRING:
      return readString(d, name, declared);
    default:
      fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Schema element type not supported");
  }
}

// Adds value under name, or fails (the value is released).
void addMember(json_object* parent, const char* name, json_object* value) {
  if (!value || zvJsonAdd(parent, name, value) != 0) {
    zvJsonRelease(value);
    fail(kDecodeName, MQTT_SCHEMA_ERR_ALLOC, "Not able to allocate JSON value");
  }
}

void addItem(json_object* array, json_object* value) {
  if (!value || zvJsonArrayAdd(array, value) != 0) {
    zvJsonRelease(value);
    fail(kDecodeName, MQTT_SCHEMA_ERR_ALLOC, "Not able to allocate JSON value");
  }
}

// The owner of a value just made; failing when there was no memory for it.
zvJsonPtr ownJson(json_object* value) {
  if (!value) fail(kDecodeName, MQTT_SCHEMA_ERR_ALLOC, "Not able to allocate JSON value");
  return zvJsonPtr(value);
}

// A named type's root structure decoded into an object of its own, then the
// bit run closed and the cursor aligned.
json_object* readStructure(MQTTSchemaDecoder& d, MQTTSchemaStruct* structure) {
  Nesting nesting(d);
  d.CountValue();
  zvJsonPtr object = ownJson(zvJsonAlloc());
  structure->DecodeInto(d, object.get());
  d.CloseBits();
  d.Align();
  return object.release();
}

}  // namespace

// ---- elements --------------------------------------------------------------------

MQTTSchemaElement::MQTTSchemaElement(MQTTSchema* owner, const std::string& elementName, int elementType,
                                     int elementSize, MQTTSchemaStruct* referencedStruct)
    : schema(owner), name(elementName), type(elementType), size(elementSize), referenced(referencedStruct) {}

MQTTSchemaElement::~MQTTSchemaElement() = default;

void MQTTSchemaElementUDT::BuildJson(MQTTSchemaDecoder& d, json_object* parent) {
  if (type != MQTT_SCHEMA_BOOL) d.CloseBits();
  if (type != MQTT_SCHEMA_BOOL && type != MQTT_SCHEMA_BYTE && type != MQTT_SCHEMA_CHAR) d.Align();
  if (type == MQTT_SCHEMA_STRUCT) {
    if (!referenced) fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Unexpected schema element of type STRUCT");
    addMember(parent, name.c_str(), readStructure(d, referenced));
    return;
  }
  if (type == MQTT_SCHEMA_ARRAY)
    fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Unexpected schema element of type ARRAY");
  if (type < MQTT_SCHEMA_BOOL || type > MQTT_SCHEMA_STRUCT)
    fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Schema element type not supported");
  addMember(parent, name.c_str(), readValue(d, type, name.c_str(), size));
}

MQTTSchemaStruct::MQTTSchemaStruct(MQTTSchema* owner, const std::string& structName)
    : MQTTSchemaElement(owner, structName, MQTT_SCHEMA_STRUCT, 0, nullptr) {}

MQTTSchemaElement* MQTTSchemaStruct::AddElement(const char* line, MQTTSchemaTable* table) {
  MQTTSchemaElement* element = schema->ParseElement(line, table);
  AddElement(element);
  return element;
}

void MQTTSchemaStruct::AddElement(MQTTSchemaElement* element) { elements.emplace_back(element); }

void MQTTSchemaStruct::DecodeInto(MQTTSchemaDecoder& d, json_object* target) {
  for (auto& element : elements) element->BuildJson(d, target);
}

void MQTTSchemaStruct::BuildJson(MQTTSchemaDecoder& d, json_object* parent) {
  if (name.empty()) {
    DecodeInto(d, parent);
    return;
  }
  Nesting nesting(d);
  d.CountValue();
  zvJsonPtr object = ownJson(zvJsonAlloc());
  DecodeInto(d, object.get());
  addMember(parent, name.c_str(), object.release());
}

// ---- arrays ------------------------------------------------------------------------

MQTTSchemaArrayDimRangeUDT::MQTTSchemaArrayDimRangeUDT(const std::string& text) {
  size_t dots = text.find("..");
  if (dots == std::string::npos) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Not able to retrieve dimension range.");
  if (!parseNumber(text.substr(0, dots), &init))
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Invalid numeric value for the initial dimension range.");
  if (!parseNumber(text.substr(dots + 2), &term))
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Invalid numeric value for the term dimension range.");
}

MQTTSchemaArray::MQTTSchemaArray(MQTTSchema* owner, const std::string& arrayName)
    : MQTTSchemaElement(owner, arrayName, MQTT_SCHEMA_ARRAY, 0, nullptr) {}

void MQTTSchemaArrayUDT::Parse(const char* text, const char* end, MQTTSchemaTable* table) {
  const char* close = static_cast<const char*>(memchr(text, ']', end - text));
  if (!close)
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Not able to retrieve list of dimension ranges for Array element.");
  std::string list(text, close);
  for (size_t start = 0;;) {
    size_t comma = list.find(',', start);
    dimensions.push_back(MQTTSchemaArrayDimRangeUDT(list.substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  const char* of = close + 1;
  while (of < end && *of == ' ') ++of;
  if (end - of < 2 || strncmp(of, "of", 2) != 0)
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Missing 'of' on the Array definition.");
  const char* cursor = of + 3 <= end ? of + 3 : end;
  int32_t length = 0;
  MQTTSchemaStruct* named = nullptr;
  MQTTSchemaUDT::ParseType(&cursor, end, table, &elementType, &length, &named);
  if (elementType == MQTT_SCHEMA_STRUCT && !named) {
    ownedStruct.reset(new MQTTSchemaStruct(schema, ""));
    elementStruct = ownedStruct.get();
    inlineStruct = true;
  } else {
    elementStruct = named;
  }
  if (isStringlike(elementType) && length > 0) {
    declaredLength = length;
    elementSize = length + (length % 2);
  }
}

json_object* MQTTSchemaArrayUDT::buildLevel(MQTTSchemaDecoder& d, size_t dimension) {
  Nesting nesting(d);
  const MQTTSchemaArrayDimRange& range = dimensions[dimension];
  bool last = dimension + 1 == dimensions.size();
  if (last && elementType == MQTT_SCHEMA_CHAR) {
    d.CountValue();
    int64_t count = range.Count();
    if (count > d.remaining) d.Need(static_cast<int>(count > INT_MAX ? INT_MAX : count), name.c_str());
    const char* area = reinterpret_cast<const char*>(d.cursor);
    std::string text(area, strnlen(area, static_cast<size_t>(count)));
    d.Advance(static_cast<int>(count));
    return zvJsonAllocString(text.c_str());
  }
  d.CountValue();
  zvJsonPtr array = ownJson(zvJsonAllocArray());
  d.CloseBits();
  d.Align();
  for (int64_t i = 0; i < range.Count(); ++i) {
    if (!last) {
      addItem(array.get(), buildLevel(d, dimension + 1));
      continue;
    }
    switch (elementType) {
      case MQTT_SCHEMA_STRUCT:
        if (!elementStruct) fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Schema array element type not supported");
        addItem(array.get(), readStructure(d, elementStruct));
        break;
      case MQTT_SCHEMA_S5TIME:
      case MQTT_SCHEMA_TIME:
      case MQTT_SCHEMA_DATE:
      case MQTT_SCHEMA_TIME_OF_DAY:
      case MQTT_SCHEMA_DATE_AND_TIME:
      case MQTT_SCHEMA_DT:
      case MQTT_SCHEMA_STRING:
        d.Align();
        addItem(array.get(), readValue(d, elementType, name.c_str(), declaredLength));
        break;
      case MQTT_SCHEMA_ARRAY:
        fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Unexpected schema array element of type ARRAY");
      default:
        if (elementType < MQTT_SCHEMA_BOOL || elementType > MQTT_SCHEMA_STRUCT)
          fail(kDecodeName, MQTT_SCHEMA_ERR_UNSUPPORTED, "Schema array element type not supported");
        addItem(array.get(), readValue(d, elementType, name.c_str(), declaredLength));
    }
  }
  d.CloseBits();
  return array.release();
}

void MQTTSchemaArrayUDT::BuildJson(MQTTSchemaDecoder& d, json_object* parent) {
  d.CloseBits();
  d.Align();
  addMember(parent, name.c_str(), buildLevel(d, 0));
  d.Align();
}

// ---- schema ------------------------------------------------------------------------

MQTTSchema::MQTTSchema(const char* schemaText, bool check)
    : text(schemaText ? schemaText : ""), checkConsistency(check) {}

MQTTSchema::~MQTTSchema() = default;

MQTTSchema* MQTTSchema::Create(int syntax, const char* typeName, const char* schemaText, MQTTSchemaTable* table,
                               bool check) {
  if (syntax != MQTT_MSG_SCHEMA_SYNTAX_UDT)
    fail("MQTTSchema::Create", MQTT_SCHEMA_ERR_UNSUPPORTED,
         printf_("MQTT message schema type [%d] not supported", syntax));
  return MQTTSchemaUDT::Parse(typeName, schemaText, table, check);
}

int MQTTSchema::GetType(const char* keyword) {
  for (const Keyword& k : kKeywords)
    if (keyword && strcasecmp(keyword, k.text) == 0) return k.type;
  fail("MQTTSchema::GetType", MQTT_SCHEMA_ERR_UNSUPPORTED, printf_("Invalid element type: %s", keyword ? keyword : ""));
}

int MQTTSchema::GetMsgSchemaSyntax(const char* syntaxText) {
  if (syntaxText && strcmp(syntaxText, "UDT") == 0) return MQTT_MSG_SCHEMA_SYNTAX_UDT;
  fail("MQTTSchema::GetMsgSchemaSyntax", MQTT_SCHEMA_ERR_SYNTAX,
       printf_("Invalid schema syntax. [%s] is not supported.", syntaxText ? syntaxText : ""));
}

const char* MQTTSchema::GetMsgSchemaSyntaxStr(int syntax) {
  if (syntax == MQTT_MSG_SCHEMA_SYNTAX_UDT) return "UDT";
  fail("MQTTSchema::GetMsgSchemaSyntaxStr", MQTT_SCHEMA_ERR_UNSUPPORTED, "Invalid Schema Syntax");
}

void MQTTSchema::AddError(json_object* errors, int code, const char* message) {
  json_object* entry = zvJsonAlloc();
  if (!entry) return;
  zvJsonAddInt(entry, "errorCode", code);
  zvJsonAddString(entry, "errorMessage", message);
  if (zvJsonArrayAdd(errors, entry) != 0) zvJsonRelease(entry);
}

json_object* MQTTSchema::BuildJson(const void* payload, int length) {
  if (length < 0) length = 0;
  zvJsonPtr object = ownJson(zvJsonAlloc());
  zvJsonPtr errors(checkConsistency ? zvJsonAllocArray() : nullptr);
  if (checkConsistency && !errors) fail(kDecodeName, MQTT_SCHEMA_ERR_ALLOC, "Not able to allocate JSON value");
  bool shortMessage = length < size;
  if (shortMessage) {
    std::string message = printf_(
        "Invalid binary UDT message. The message ([%d] bytes long) is shorter than the current "
        "schema requires ([%d] bytes).",
        length, size);
    if (!checkConsistency) fail(kDecodeName, MQTT_SCHEMA_MSG_SHORT, message);
    AddError(errors.get(), MQTT_SCHEMA_MSG_SHORT, message.c_str());
  }
  MQTTSchemaDecoder d(this, static_cast<const uint8_t*>(payload), payload ? length : 0, errors.get());
  try {
    if (root) root->BuildJson(d, object.get());
  } catch (const PayloadEnd& end) {
    if (!checkConsistency) fail(kDecodeName, MQTT_SCHEMA_MSG_SHORT, end.message);
    if (!shortMessage) AddError(errors.get(), MQTT_SCHEMA_MSG_SHORT, end.message.c_str());
  } catch (const YXException& e) {
    if (!checkConsistency) throw;
    AddError(errors.get(), e.GetErrorCode(), e.GetErrorMsg());
  }
  int consumed = d.offset + (d.bitIndex ? 1 : 0);
  consumed += consumed % 2;
  if (!checkConsistency) return object.release();
  if (length - consumed > 1 && zvJsonArrayLength(errors.get()) == 0)
    AddError(errors.get(), MQTT_SCHEMA_MSG_LONG,
             printf_("Invalid message. Buffer is larger than expected for the current schema. Received [%d], while "
                     "expected was [%d]",
                     length, consumed)
                 .c_str());
  if (zvJsonArrayLength(errors.get()) > 0 && zvJsonAdd(object.get(), "errorList", errors.get()) == 0) errors.release();
  return object.release();
}

json_object* MQTTSchema::GetJson() {
  json_object* object = zvJsonAlloc();
  if (!object)
    fail("MQTTSchema::GetJson", MQTT_SCHEMA_ERR_JSON,
         "Not able to build JSON with topic schema information. JSON allocation failed.");
  zvJsonAddString(object, "messageSchemaSyntax", GetMsgSchemaSyntaxStr(GetSyntax()));
  zvJsonAddString(object, "messageSchemaType", GetType());
  zvJsonAddString(object, "messageSchemaBody", text.c_str());
  return object;
}

// ---- the structure syntax ----------------------------------------------------------------

MQTTSchemaUDT::MQTTSchemaUDT(const char* name, const char* schemaText, bool check)
    : MQTTSchema(schemaText, check), typeName(name ? name : "") {}

// The size is what decoding the root over a zero-filled buffer consumes,
// rounded up to even. A schema that runs past the buffer is measured again
// over one twice as large, up to kMaxSchemaSize.
void MQTTSchemaUDT::CalculateSize() {
  for (int bufferSize = kMeasureBufferSize;; bufferSize *= 2) {
    std::vector<uint8_t> zeros(static_cast<size_t>(bufferSize), 0);
    zvJsonPtr scratch = ownJson(zvJsonAlloc());
    MQTTSchemaDecoder d(this, zeros.data(), bufferSize, nullptr);
    try {
      if (root) root->BuildJson(d, scratch.get());
    } catch (const PayloadEnd&) {
      if (bufferSize >= kMaxSchemaSize)
        fail("MQTTSchemaUDT::CalculateSize", MQTT_SCHEMA_ERR_TEXT,
             printf_("The schema of type [%s] describes more than %d bytes", typeName.c_str(), kMaxSchemaSize));
      continue;
    }
    size = d.offset + d.offset % 2;
    return;
  }
}

void MQTTSchemaUDT::ParseType(const char** cursor, const char* end, MQTTSchemaTable* table, int* type, int32_t* size,
                              MQTTSchemaStruct** structure) {
  const char* start = *cursor;
  const char* stop = start;
  while (stop < end && *stop != ';' && *stop != ' ' && *stop != '[') ++stop;
  char ended = stop < end ? *stop : 0;
  *cursor = stop < end ? stop + 1 : end;
  *size = 0;
  *structure = nullptr;
  if (start < end && *start == '\'') {
    const char* quote = static_cast<const char*>(memchr(start + 1, '\'', end - start - 1));
    if (!quote) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Invalid struct defined by name - missing '");
    std::string name(start + 1, quote);
    MQTTSchema* named = table ? table->Get(name.c_str()) : nullptr;
    if (!named)
      fail(kElementName, MQTT_SCHEMA_ERR_TEXT,
           "Invalid type based on the user defined struct, struct not found by name");
    *type = MQTT_SCHEMA_STRUCT;
    *structure = named->GetStruct();
    return;
  }
  std::string word(start, stop);
  *type = MQTTSchema::GetType(word.c_str());
  if (ended != '[' || *type == MQTT_SCHEMA_ARRAY) return;
  if (*type != MQTT_SCHEMA_STRING)
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Size element is expected only for types ARRAY and STRING");
  const char* close = static_cast<const char*>(memchr(*cursor, ']', end - *cursor));
  if (!close) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Invalid size element - missing ]");
  int32_t length = 0;
  if (!parseNumber(std::string(*cursor, close), &length) || length <= 0 || length > 65535)
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "Invalid numeric value for size");
  *size = length;
  *cursor = close + 1;
}

MQTTSchemaElement* MQTTSchemaUDT::ParseElement(const char* line, MQTTSchemaTable* table) {
  const char* end = line + strlen(line);
  const char* blank = strchr(line, ' ');
  try {
    if (!blank) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "");
    std::string name(line, blank);
    const char* p = blank + 1;
    while (p < end && *p != ':' && *p != '{') ++p;
    if (p == end) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "");
    if (*p == '{') {
      p = static_cast<const char*>(memchr(p, '}', end - p));
      if (!p) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "");
      ++p;
    }
    while (p < end && (*p == ' ' || *p == ':')) ++p;
    if (p == end) fail(kElementName, MQTT_SCHEMA_ERR_TEXT, "");
    int type = 0;
    int32_t size = 0;
    MQTTSchemaStruct* referenced = nullptr;
    try {
      ParseType(&p, end, table, &type, &size, &referenced);
      if (type == MQTT_SCHEMA_ARRAY) {
        std::unique_ptr<MQTTSchemaArrayUDT> array(new MQTTSchemaArrayUDT(this, name));
        array->Parse(p, end, table);
        return array.release();
      }
    } catch (const YXException& e) {
      fail(kElementName, e.GetErrorCode(), printf_("Invalid UDT element [%s]. %s", line, e.GetErrorMsg()));
    }
    if (type == MQTT_SCHEMA_STRUCT && !referenced) return new MQTTSchemaStruct(this, name);
    return new MQTTSchemaElementUDT(this, name, type, size, referenced);
  } catch (const YXException& e) {
    if (e.GetErrorMsg()[0] != 0) throw;
    fail(kElementName, MQTT_SCHEMA_ERR_TEXT, printf_("Invalid UDT element [%s].", line));
  }
}

namespace {

// The text between the first two single quotes, or false.
bool quotedName(const char* line, std::string* out) {
  const char* first = strchr(line, '\'');
  const char* second = first ? strchr(first + 1, '\'') : nullptr;
  if (!second) return false;
  out->assign(first + 1, second);
  return true;
}

// The value after the first separator, leading blanks skipped, or false.
bool valueAfter(const char* line, char separator, std::string* out) {
  const char* at = strchr(line, separator);
  if (!at) return false;
  ++at;
  while (*at == ' ' || *at == '\t') ++at;
  out->assign(at);
  return true;
}

bool startsWith(const char* line, const char* word) { return strncmp(line, word, strlen(word)) == 0; }

// One parse of a schema text: the type being built and its open structures.
class UdtParser {
 public:
  UdtParser(MQTTSchemaTable* table, const char* text, bool check) : table_(table), text_(text), check_(check) {}

  void Line(const char* line) {
    if (startsWith(line, "TYPE")) return openType(line);
    if (startsWith(line, "TITLE")) return setText(line, '=', "TITLE", &MQTTSchemaUDT::SetTitle);
    if (startsWith(line, "VERSION")) return setText(line, ':', "VERSION", &MQTTSchemaUDT::SetVersion);
    if (startsWith(line, "STRUCT")) return openRoot();
    if (startsWith(line, "END_STRUCT")) {
      if (stack_.empty()) fail(kParseName, YX_ERR_NOT_FOUND, "Invalid index");
      stack_.pop_back();
      return;
    }
    if (startsWith(line, "//") || *line == 0) return;
    if (startsWith(line, "END_TYPE")) return closeType();
    element(line);
  }

  void End() {
    if (open_)
      bodyError(
          printf_("Invalid UDT body. Found the end of the schema definition without closing a type definition. "
                  "Missing END_TYPE for type [%s]",
                  open_->GetType()));
    if (!stack_.empty()) bodyError("Invalid UDT body. Missing END_STRUCT before closing a type definition.");
  }

 private:
  [[noreturn]] void bodyError(const std::string& message) { fail(kParseName, MQTT_SCHEMA_ERR_TEXT, message); }

  void openType(const char* line) {
    std::string name;
    if (!quotedName(line, &name)) return;
    if (open_)
      bodyError(
          printf_("Invalid UDT body. Found a new TYPE definition without closing the previous one. Missing "
                  "END_TYPE for type [%s]",
                  open_->GetType()));
    open_.reset(new MQTTSchemaUDT(name.c_str(), text_, check_));
  }

  void setText(const char* line, char separator, const char* keyword, void (MQTTSchemaUDT::*set)(const char*)) {
    std::string value;
    if (!valueAfter(line, separator, &value)) return;
    if (!open_) bodyError(printf_("Invalid UDT body. Found a %s without a valid TYPE definition.", keyword));
    (open_.get()->*set)(value.c_str());
  }

  void openRoot() {
    if (!stack_.empty()) bodyError("Invalid UDT body. Found multiple STRUCT tokens.");
    if (!open_) bodyError("Invalid UDT body. Found a STRUCT without a valid TYPE definition.");
    if (open_->GetStruct()) bodyError("Invalid UDT body. Found more than one STRUCT for the same TYPE.");
    open_->SetStruct(new MQTTSchemaStruct(open_.get(), ""));
    stack_.push_back(open_->GetStruct());
  }

  void closeType() {
    if (!open_) bodyError("Invalid UDT body. Found a END_TYPE without a valid TYPE definition.");
    if (!stack_.empty())
      bodyError("Invalid UDT body. Missing a END_STRUCT before closing the type definition by END_TYPE.");
    if (!*open_->GetType()) bodyError("Not able to extract schema type from the UDT's messageSchema Body ");
    if (!open_->GetStruct()) bodyError("Not able to extract schema struct from the UDT's messageSchema Body ");
    if (table_->Get(open_->GetType())) bodyError(printf_("Type [%s] redefined in UDT body.", open_->GetType()));
    if (!table_->Add(open_->GetType(), open_.get()))
      bodyError(printf_("Type [%s] redefined in UDT body.", open_->GetType()));
    open_.release();
  }

  void element(const char* line) {
    if (stack_.empty()) bodyError("Invalid UDT body. Found element outside a valid STRUCT.");
    if (stack_.size() >= static_cast<size_t>(MQTTSchema::kMaxNesting))
      bodyError(printf_("Invalid UDT body. Structures nested deeper than %d levels.", MQTTSchema::kMaxNesting));
    MQTTSchemaElement* added = stack_.back()->AddElement(line, table_);
    if (!added->IsStruct()) return;
    if (added->GetType() == MQTT_SCHEMA_ARRAY)
      stack_.push_back(static_cast<MQTTSchemaArray*>(added)->GetTypeStruct());
    else
      stack_.push_back(static_cast<MQTTSchemaStruct*>(added));
  }

  MQTTSchemaTable* table_;
  const char* text_;
  bool check_;
  std::unique_ptr<MQTTSchemaUDT> open_;
  std::vector<MQTTSchemaStruct*> stack_;
};

}  // namespace

MQTTSchema* MQTTSchemaUDT::Parse(const char* typeName, const char* schemaText, MQTTSchemaTable* table, bool check) {
  if (!schemaText) fail(kParseName, MQTT_SCHEMA_ERR_ALLOC, "Not able to allocate buffer for the UDT schema string");
  if (!table) fail(kParseName, MQTT_SCHEMA_ERR_TEXT, "Missing schema table");
  UdtParser parser(table, schemaText, check);
  int lineNumber = 0;
  try {
    const char* line = schemaText;
    for (;;) {
      const char* feed = strchr(line, '\n');
      std::string current(line, feed ? feed : line + strlen(line));
      if (!current.empty() && current.back() == '\r') current.pop_back();
      ++lineNumber;
      size_t first = current.find_first_not_of(" \t");
      parser.Line(first == std::string::npos ? "" : current.c_str() + first);
      if (!feed) break;
      line = feed + 1;
    }
    parser.End();
  } catch (const YXException& e) {
    fail(kParseName, e.GetErrorCode(),
         printf_("Error in %s in line %d - %s", "messageSchemaBody", lineNumber, e.GetErrorMsg()));
  }
  MQTTSchema* schema = table->Get(typeName ? typeName : "");
  if (!schema)
    fail(kParseName, MQTT_SCHEMA_ERR_TEXT,
         printf_("Invalid type based on the user defined struct, struct not found by name [%s]",
                 typeName ? typeName : ""));
  schema->CalculateSize();
  return schema;
}
