// Conversions between JSON and the engine's tables, fields and records.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "gannet.h"

namespace gannet {

int setError(json_object* reply, int code, const char* message, int status) {
  if (reply) {
    json_object_object_add(reply, "_errorCode", json_object_new_int(code));
    json_object_object_add(reply, "_errorMessage", json_object_new_string(message));
  }
  return status;
}

int setJsonFormatError(json_object* reply, const char* detailFormat, ...) {
  if (!reply) return 400;
  char message[1024] = "incorrect json format";
  if (detailFormat) {
    char detail[1000];
    va_list args;
    va_start(args, detailFormat);
    std::vsnprintf(detail, sizeof detail, detailFormat, args);
    va_end(args);
    std::snprintf(message, sizeof message, "incorrect json format: %s", detail);
  }
  return setError(reply, kJsonFormat, message, 400);
}

RLHANDLE openTable(RLHANDLE database, const char* name, int* status, json_object* reply) {
  *status = 200;
  RLHANDLE table = rlAllocTable(database);
  if (!table) {
    *status = setError(reply, kClientNoMemory, "cannot access table", 500);
    return nullptr;
  }
  int rc = rlOpenTable(table, name, 0);
  if (rc != 0) {
    *status = setError(reply, rc, "cannot access table", rc == 12 || rc == RL_NO_TABLE ? 404 : 500);
  } else if (rlCheckTableSupport(table) != 1) {
    *status = setError(reply, kTableNotServed, "cannot access table", 500);
  } else {
    return table;
  }
  rlFreeTable(table);
  return nullptr;
}

RLHANDLE openTableRecord(RLHANDLE database, const char* name, int* status, json_object* reply) {
  RLHANDLE table = openTable(database, name, status, reply);
  if (!table) return nullptr;
  RLHANDLE record = rlAllocRecord(table);
  if (!record) {
    *status = 500;
    rlFreeTable(table);
  }
  return record;
}

void closeTableRecord(RLHANDLE record) {
  RLHANDLE table = rlGetTableOfHandle(record);
  rlFreeRecord(record);
  rlFreeTable(table);
}

// ---- type names --------------------------------------------------------------------

namespace {

struct TypeByName {
  const char* name;
  int type, binaryFlag, prefix;
};

const TypeByName kTypesByName[] = {
    {"BIT", 8, 1, 0},          {"TINYINT", 16, 1, 0},    {"SMALLINT", 33, 1, 0},  {"INTEGER", 51, 1, 0},
    {"BIGINT", 231, 1, 0},     {"REAL", 91, 1, 0},       {"DOUBLE", 103, 1, 0},   {"DATE", 75, 1, 0},
    {"TIME", 258, 1, 0},       {"TIMESTAMP", 257, 1, 0}, {"NUMBER", 105, 1, 0},   {"CHAR", 144, 1, 0},
    {"VARCHAR", 162, 4, 2},    {"LVARCHAR", 170, 4, 4},  {"BINARY", 160, 1, 2},   {"VARBINARY", 162, 1, 2},
    {"LVARBINARY", 170, 1, 4}, {"NCHAR", 193, 1, 2},     {"NVARCHAR", 201, 1, 2}, {"CLOB", 170, 5, 4},
    {"BLOB", 170, 6, 4},       {"JSON", 259, 1, 0},
};

}  // namespace

int fieldTypeFromName(const char* name, int precision, int* binaryFlag, int* prefixWidth) {
  *binaryFlag = 1;
  *prefixWidth = 0;
  if (!name) return 0;
  if (strcasecmp(name, "MONEY") == 0) {
    if (precision < 19) return 143;
    *binaryFlag = 7;
    return 105;
  }
  for (const auto& t : kTypesByName)
    if (strcasecmp(name, t.name) == 0) {
      *binaryFlag = t.binaryFlag;
      *prefixWidth = t.prefix;
      return t.type;
    }
  return 0;
}

// The engine names the number, date and time types; the alternative double
// code, decimals, texts and binaries are named here as the REST documents
// spell them (by length, variable flag and binary flag).
const char* fieldTypeToName(int type, int length, bool variable, int binaryFlag) {
  if (const char* scalar = rlScalarTypeName(type)) return scalar;
  switch (type) {
    case RL_TYPE_DOUBLE_ALT:
      return "DOUBLE";
    case RL_TYPE_MONEY4:
    case RL_TYPE_MONEY:
      return "MONEY";
    case RL_TYPE_NUMBER:
      return binaryFlag == 7 ? "MONEY" : "NUMBER";
    case RL_TYPE_BINARY_FIXED:
      return length <= 8192 ? "BINARY" : "LVARBINARY";
    case RL_TYPE_BINARY:
      return length <= 8194 ? "BINARY" : "LVARBINARY";
    case RL_TYPE_VARBINARY:
      if (length >= 1 && length <= 8194) return binaryFlag == 4 ? "VARCHAR" : "VARBINARY";
      return "LVARBINARY";
    case RL_TYPE_LONG:
      return binaryFlag == 4 ? "LVARCHAR" : binaryFlag == 5 ? "CLOB" : binaryFlag == 6 ? "BLOB" : "LVARBINARY";
    case RL_TYPE_CHAR:
      return length >= 1 && length <= 8192 ? "CHAR" : "LVARCHAR";
    case RL_TYPE_CHAR1:
      return length >= 1 && length <= 8193 ? "CHAR" : "LVARCHAR";
    case RL_TYPE_CHAR4:
      return length >= 1 && length <= 8196 ? "CHAR" : "LVARCHAR";
    case RL_TYPE_VARCHAR_FIXED:
      return length == 0 || length > 8192 ? "LVARCHAR" : variable ? "VARCHAR" : "CHAR";
    case RL_TYPE_VARCHAR1:
      return length == 0 || length > 8193 ? "LVARCHAR" : variable ? "VARCHAR" : "CHAR";
    case RL_TYPE_NCHAR:
      return "NCHAR";
    case RL_TYPE_NVARCHAR:
      return "NVARCHAR";
    case RL_TYPE_JSON:
      return "JSON";
    default:
      return nullptr;
  }
}


// ---- values ------------------------------------------------------------------------

namespace {

// MONEY and NUMBER keep their declared precision and scale: they travel as
// decimal text, never through a double or a 64-bit integer.
bool isDecimalType(int type) { return rlTypeClass(type) == RL_CLASS_DECIMAL; }

// A JSON field keeps the JSON it is given as written: a number's digits are
// its own, never a double's.
bool keepsNumberText(int type) { return isDecimalType(type) || type == RL_TYPE_JSON; }

// A JSON field's value as the JSON text it was sent as (the body parse
// widened its large integers).
int storeJsonText(RLHANDLE record, int number, const char* name, const char* text, json_object* reply) {
  std::string sent = zvJsonNarrowWidenedIntegers(text);
  if (rlSetFieldAsText(record, number, sent.c_str()) != 0)
    return setJsonFormatError(reply, "value assignment for %s field failed", name);
  return 200;
}

// A JSON number as the engine should take it: decimals from the number's
// own text (the parser keeps it), integers whole; 200 or the error status.
// json-c reads an integer above the signed 64-bit range as unsigned and
// clamps one beyond that to the largest unsigned value, so that value
// cannot be trusted.
int numberToField(RLHANDLE record, int number, const char* name, json_object* value, json_object* reply) {
  int type = rlGetFieldType(rlGetField(record, number));
  bool decimal = keepsNumberText(type);
  int rc = 0;
  if (json_object_is_type(value, json_type_double)) {
    const char* text = decimal ? json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN) : nullptr;
    errno = 0;
    double d = decimal ? 0 : json_object_get_double(value);
    if (decimal && !text) return setError(reply, kOutOfMemory, "Out of memory", 500);
    if (errno != 0) return setJsonFormatError(reply, "value for %s field not properly interpreted as double", name);
    if (type == RL_TYPE_JSON) return storeJsonText(record, number, name, text, reply);
    rc = decimal ? rlSetFieldAsText(record, number, text) : rlSetFieldAsDouble(record, number, d);
  } else {
    errno = 0;
    int64_t signedValue = json_object_get_int64(value);
    if (errno != 0) return setJsonFormatError(reply, "value for %s field not properly interpreted as integer", name);
    uint64_t unsignedValue = json_object_get_uint64(value);
    bool aboveSigned = signedValue == INT64_MAX && unsignedValue > uint64_t(INT64_MAX);
    if (aboveSigned && (unsignedValue == UINT64_MAX || !decimal))
      return setJsonFormatError(reply, "value for %s field is out of range%s", name,
                                decimal ? ": send a number this large as a string" : "");
    if (decimal) {
      std::string text = aboveSigned ? std::to_string(unsignedValue) : std::to_string(signedValue);
      rc = rlSetFieldAsText(record, number, text.c_str());
    } else {
      rc = rlSetFieldAsInt64(record, number, signedValue);
    }
  }
  if (rc != 0) return setJsonFormatError(reply, "value assignment for %s field failed", name);
  return 200;
}

}  // namespace

int jsonToField(RLHANDLE record, const char* name, json_object* value, json_object* reply) {
  int number = rlGetFieldNumberByName(record, name);
  if (number == -1) return setJsonFormatError(reply, "unknown field: %s", name);
  int rc = 0;
  switch (json_object_get_type(value)) {
    case json_type_null:
      rc = rlClearField(record, number);
      break;
    case json_type_boolean:
      rc = rlSetFieldAsBool(record, number, json_object_get_boolean(value));
      break;
    case json_type_double:
    case json_type_int:
      return numberToField(record, number, name, value, reply);
    case json_type_string:
      rc = rlSetFieldAsText(record, number, json_object_get_string(value));
      break;
    case json_type_object:
    case json_type_array: {
      if (rlGetFieldType(rlGetField(record, number)) != RL_TYPE_JSON)
        return setJsonFormatError(reply, "value for %s field cannot be a JSON %s", name,
                                  json_object_is_type(value, json_type_array) ? "array" : "object");
      const char* text = json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
      if (!text) return setJsonFormatError(reply, "value for %s field not properly interpreted as JSON object", name);
      return storeJsonText(record, number, name, text, reply);
    }
  }
  if (rc != 0) return setJsonFormatError(reply, "value assignment for %s field failed", name);
  return 200;
}

int jsonToRecord(RLHANDLE record, json_object* value, json_object* reply, const char* context) {
  if (!json_object_is_type(value, json_type_object))
    return setJsonFormatError(reply, "%s content is not a json object", context);
  json_object_object_foreach(value, key, member) {
    int status = jsonToField(record, key, member, reply);
    if (status != 200) return status;
  }
  return 200;
}

namespace {

// A value's text in a block of the engine's allocator, freed on every path.
struct FieldText {
  char* block = nullptr;
  ~FieldText() { rlFreeMemory(block); }
};

// Reads the text form of a field into buffer, or into a block that grows
// until the value fits: the field's declared length is no bound for what the
// file holds (long types may be declared without one). A value that cannot
// fit a reply is refused rather than read.
int readFieldText(RLHANDLE record, int number, int length, char (&buffer)[8192], FieldText* owned) {
  int rc = rlGetFieldAsText(record, number, buffer, int(sizeof buffer));
  const size_t most = std::max(maxReplyBytes(), 2 * sizeof buffer);
  size_t size = std::clamp(size_t(length > 0 ? length : 0) + 1, 2 * sizeof buffer, most);
  for (bool triedMost = false; rc == RL_VALUE_TOO_LONG; size = std::min(2 * size, most)) {
    if (triedMost) return kReplyTooLarge;
    triedMost = size == most;
    rlFreeMemory(owned->block);
    owned->block = static_cast<char*>(rlAllocMemory(1, int(size)));
    if (!owned->block) return kClientNoMemory;
    rc = rlGetFieldAsText(record, number, owned->block, int(size));
  }
  return rc;
}

// Renders field `number` as member of `out`; 0, or a code with its message.
int fieldToJson(RLHANDLE record, int number, char (&buffer)[8192], json_object* out, std::string* message) {
  RLHANDLE field = rlGetField(record, number);
  int type = rlGetFieldType(field);
  const char* name = rlGetFieldName(field);
  int length = rlGetFieldLength(field);
  json_object* value = nullptr;
  int rc = 0;
  if (rlIsFieldNull(record, number) == 1) {
    json_object_object_add(out, name, nullptr);
    return 0;
  }
  switch (rlTypeClass(type)) {
    case RL_CLASS_BIT: {
      int b = 0;
      rc = rlGetFieldAsBool(record, number, &b);
      if (rc == 0) value = json_object_new_boolean(b);
      break;
    }
    case RL_CLASS_INTEGER: {
      int64_t i = 0;
      rc = rlGetFieldAsInt64(record, number, &i);
      if (rc == 0) value = json_object_new_int64(i);
      break;
    }
    case RL_CLASS_FLOAT: {
      double d = 0;
      rc = rlGetFieldAsDouble(record, number, &d);
      // JSON has no infinities or NaN: such a value (another program may
      // store one) reads as null, as the shared JSON writer writes it.
      if (rc == 0 && !std::isfinite(d)) {
        json_object_object_add(out, name, nullptr);
        return 0;
      }
      if (rc == 0) value = json_object_new_double(d);
      break;
    }
    default: {
      // Dates, times, decimals (MONEY of every code, NUMBER) and the
      // character and binary types: their text form, in the caller's buffer
      // or a block sized for it.
      FieldText owned;
      rc = readFieldText(record, number, length, buffer, &owned);
      if (rc == kReplyTooLarge) {
        *message = std::string("field '") + name + "' value is larger than a reply may be";
        return rc;
      }
      char* text = owned.block ? owned.block : buffer;
      if (rc == 0 && type == RL_TYPE_JSON) {
        json_tokener_error error = json_tokener_success;
        value = json_tokener_parse_verbose(text, &error);
        // A text another program put in the file that is no JSON (or nests
        // deeper than the parser goes) is read back as the text it is: one
        // such record must not fail every read and page that holds it.
        if (!value && error != json_tokener_success) value = json_object_new_string(text);
        if (!value && error == json_tokener_success) {  // the JSON text "null"
          json_object_object_add(out, name, nullptr);
          return 0;
        }
      } else if (rc == 0) {
        value = json_object_new_string(text);
      }
    }
  }
  if (rc != 0) {
    *message = std::string("field '") + name + "' value retrieval error";
    return rc;
  }
  if (!value) {
    json_object_object_add(out, name, nullptr);
    *message = " no memory";
    return kClientNoMemory;
  }
  json_object_object_add(out, name, value);
  return 0;
}

void removeMembers(json_object* out) {
  std::vector<std::string> keys;
  json_object_object_foreach(out, key, member) {
    (void)member;
    keys.push_back(key);
  }
  for (const auto& key : keys) json_object_object_del(out, key.c_str());
}

}  // namespace

int recordToJson(RLHANDLE record, json_object* select, json_object* out) {
  char buffer[8192];
  std::string message;
  int code = 0;
  std::string formatError;
  if (!select) {
    int count = rlGetFieldCount(record);
    for (int i = 0; i < count && code == 0; ++i) code = fieldToJson(record, i, buffer, out, &message);
  } else if (!json_object_is_type(select, json_type_array)) {
    return setJsonFormatError(out, "'select' value must be an array of strings");
  } else {
    size_t n = json_object_array_length(select);
    for (size_t i = 0; i < n && code == 0 && formatError.empty(); ++i) {
      json_object* element = json_object_array_get_idx(select, i);
      if (!json_object_is_type(element, json_type_string)) {
        formatError = "element " + std::to_string(i + 1) + " in 'select' is not a string";
        break;
      }
      const char* name = json_object_get_string(element);
      int number = rlGetFieldNumberByName(record, name);
      if (number < 0) {
        formatError = std::string("field '") + name + "' not found";
        break;
      }
      code = fieldToJson(record, number, buffer, out, &message);
    }
  }
  if (formatError.empty() && code == 0) return 200;
  removeMembers(out);
  if (!formatError.empty()) return setJsonFormatError(out, "%s", formatError.c_str());
  return setError(out, kFieldNotRendered, message.c_str(), 500);
}

json_object* partitionToJson(RLHANDLE tableOrIndex) {
  json_object* out = json_object_new_object();
  if (!out) return nullptr;
  RLHANDLE table = rlGetTableOfHandle(tableOrIndex);
  if (table == tableOrIndex) {
    int number = rlGetPartitionIndex(table);
    RLHANDLE index = number >= 0 ? rlGetIndex(table, number) : nullptr;
    if (index) json_object_object_add(out, "partition_index", json_object_new_string(rlGetIndexName(index)));
  }
  const char* rule = rlGetPartitionRule(table);
  if (rule && *rule) json_object_object_add(out, "rule", json_object_new_string(rule));
  if (int bits = rlGetPartitionBits(table)) json_object_object_add(out, "numberofbits", json_object_new_int(bits));
  if (int most = rlGetPartitionMaxActive(table))
    json_object_object_add(out, "maximumactive", json_object_new_int(most));
  return out;
}

}  // namespace gannet
