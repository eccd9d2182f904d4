// The "query" resource: records found through an index by exact key
// ("advanced_find": "find_record" or "find_set") or by ranges per index
// field ("find"), with a filter, a field selection, reverse order and the
// paging of the URL query ("top", "skip").
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gannet.h"

namespace gannet {

namespace {

constexpr int kMaxSetLength = 21854;

struct Search {
  json_object* filter = nullptr;
  json_object* select = nullptr;
  bool reverse = false;
  Paging paging;
  RecordsText* records = nullptr;
};

// The text grows in steps of this many bytes of budget; each byte of text
// is counted three times: the string's spare capacity and the framed copy.
constexpr size_t kBudgetStep = size_t(3) << 20;

// Appends one rendered record; 200, or the error status with its members.
int appendRecord(RecordsText* records, json_object* item, json_object* reply) {
  size_t length = 0;
  const char* text = json_object_to_json_string_length(item, JSON_C_TO_STRING_PLAIN, &length);
  if (!text) return setError(reply, kOutOfMemory, "Out of memory", 500);
  size_t size = records->text.size() + length + 2;  // a separator and the closing bracket
  if (size > maxReplyBytes())
    return setError(reply, kReplyTooLarge,
                    ("reply too large: more than " + std::to_string(maxReplyBytes()) +
                     " bytes; ask for fewer records with top and skip")
                        .c_str(),
                    500);
  while (3 * size > records->reserved) {
    if (!records->budget->grow(kBudgetStep))
      return setError(reply, kServerBusy, "server busy: too many large requests at once, try again", 503);
    records->reserved += kBudgetStep;
  }
  records->text += records->text.empty() ? '[' : ',';
  records->text.append(text, length);
  return 200;
}

}  // namespace

bool parseUrlQuery(const char* text, Paging* paging) {
  if (!text) return false;
  std::string query = text;
  size_t start = 0;
  while (start < query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string part = query.substr(start, end - start);
    if (part.empty()) break;
    size_t eq = part.find('=');
    if (eq == std::string::npos || eq == 0 || part.find('=', eq + 1) != std::string::npos) return false;
    std::string name = part.substr(0, eq);
    long number = std::strtol(part.c_str() + eq + 1, nullptr, 10);
    int value = int(std::clamp<long>(number, INT_MIN, INT_MAX));
    if (name == "top")
      paging->top = value;
    else if (name == "skip")
      paging->skip = value;
    else
      return false;
    start = end + 1;
  }
  return true;
}

namespace {

int setQueryFilter(RLHANDLE record, json_object* filter, json_object* reply) {
  if (filter && !json_object_is_type(filter, json_type_string))
    return setJsonFormatError(reply, "'filter' value must be a string");
  const char* text = filter ? json_object_get_string(filter) : nullptr;
  int rc = text && *text ? rlSetRecordFilter(record, text, 1) : rlSetRecordFilter(record, nullptr, 0);
  if (rc != 0) return setError(reply, rc, "Error setting record filter", 500);
  return 200;
}

// A query whose client has gone stops walking: nobody is left to receive
// its records. The answer is never read; the code marks it in traces.
constexpr int kClientGone = 14018;

// Whether the request's client has gone, asked once every kEvery records
// (asking costs a system call).
class ClientWatch {
 public:
  bool gone() { return ++seen_ % kEvery == 0 && VOKTClientGone() != 0; }

 private:
  static constexpr unsigned kEvery = 256;
  unsigned seen_ = 0;
};

// Emits records from the current one: `skip` passed over, then at most `top`.
int readRecords(RLHANDLE record, const Search& search, int skip, json_object* reply) {
  RecordsText* records = search.records;
  records->text.clear();
  int top = search.paging.top;
  ClientWatch client;
  while (skip >= 0 && (skip > 0 || top > 0)) {
    if (client.gone()) {
      logLine("gannet - the client of a query has gone; its walk over the records is stopped");
      return setError(reply, kClientGone, "the client has gone", 500);
    }
    if (skip > 0) {
      --skip;
    } else {
      json_object* item = json_object_new_object();
      if (!item) return setError(reply, kOutOfMemory, "Out of memory", 500);
      std::unique_ptr<json_object, decltype(&json_object_put)> owner(item, json_object_put);
      int64_t id = 0;
      int rc = rlGetRecordId(record, &id);
      if (rc != 0) return setError(reply, rc, "record id retrieval failed", 500);
      json_object_object_add(item, "_id", json_object_new_int64(id));
      int status = recordToJson(record, search.select, item);
      if (status != 200) {
        json_object_object_foreach(item, key, value) {
          if (key[0] == '_' && std::strcmp(key, "_id") != 0) json_object_object_add(reply, key, json_object_get(value));
        }
        return status;
      }
      status = appendRecord(records, item, reply);
      if (status != 200) return status;
      --top;
    }
    if (top <= 0 && skip <= 0) break;
    int rc = search.reverse ? rlPrevRecord(record) : rlNextRecord(record);
    if (rc == RL_NOT_FOUND) break;
    if (rc != 0) return setError(reply, rc, "cannot retrieve record", 500);
  }
  records->text += records->text.empty() ? "[]" : "]";
  records->present = true;
  return 200;
}

int emptyResult(json_object* reply) {
  json_object_object_add(reply, "_records", json_object_new_array());
  return 200;
}

// After a positioning call: 0 reads on, 101 is no record.
int readFrom(RLHANDLE record, int rc, const Search& search, int skip, json_object* reply) {
  if (rc == RL_NOT_FOUND) return emptyResult(reply);
  if (rc != 0) return setError(reply, rc, "cannot retrieve record", 500);
  return readRecords(record, search, skip, reply);
}

int findModeOf(const char* op) {
  const char* ops[] = {"=", "<", "<=", ">", ">="};
  for (int i = 0; i < 5; ++i)
    if (std::strcmp(op, ops[i]) == 0) return i;
  return -1;
}

int assignFields(RLHANDLE record, json_object* fields, json_object* reply) {
  rlClearRecord(record);
  if (!json_object_is_type(fields, json_type_object))
    return setJsonFormatError(reply, "%s content is not a json object", "fields");
  json_object_object_foreach(fields, key, value) {
    int status = jsonToField(record, key, value, reply);
    if (status != 200) return status;
  }
  return 200;
}

int queryFindRecord(RLHANDLE record, json_object* find, const Search& search, json_object* reply) {
  const char* op = nullptr;
  bool hasFields = false;
  json_object_object_foreach(find, key, value) {
    if (std::strcmp(key, "operator") == 0) {
      if (!json_object_is_type(value, json_type_string))
        return setJsonFormatError(reply, "'operator' value must be a string");
      op = json_object_get_string(value);
    } else if (std::strcmp(key, "fields") == 0) {
      hasFields = true;
      int status = assignFields(record, value, reply);
      if (status != 200) return status;
    } else {
      return setJsonFormatError(reply, "'%s' is invalid in 'find' object", key);
    }
  }
  if (!op || !hasFields)
    return setJsonFormatError(reply, "'operator' and 'fields' must be present in 'find_record' object");
  int mode = findModeOf(op);
  if (mode < 0) return setJsonFormatError(reply, "'operator' %s specified in 'find_record' object is invalid", op);
  int status = setQueryFilter(record, search.filter, reply);
  if (status != 200) return status;
  int rc = rlFindRecord(record, mode);
  int skip = search.paging.skip;
  bool filtered = search.filter && *json_object_get_string(search.filter);
  if (rc == 0 && !filtered && skip != 0) {
    rc = rlSkipRecords(record, search.reverse ? -int64_t(skip) : skip);
    skip = 0;
  }
  return readFrom(record, rc, search, skip, reply);
}

int queryFindSet(RLHANDLE record, json_object* find, const Search& search, json_object* reply) {
  int64_t length = 0;
  bool hasFields = false;
  json_object_object_foreach(find, key, value) {
    if (std::strcmp(key, "length") == 0) {
      if (!json_object_is_type(value, json_type_int))
        return setJsonFormatError(reply, "'length' value must be an integer");
      length = json_object_get_int64(value);
      if (length > kMaxSetLength) return setJsonFormatError(reply, "'length' value is too large");
    } else if (std::strcmp(key, "fields") == 0) {
      hasFields = true;
      int status = assignFields(record, value, reply);
      if (status != 200) return status;
    } else {
      return setJsonFormatError(reply, "'%s' is invalid in 'find_set' object", key);
    }
  }
  if (length == 0 || !hasFields)
    return setJsonFormatError(reply, "'length' and 'fields' must be present in 'find_set' object");
  int status = setQueryFilter(record, search.filter, reply);
  if (status != 200) return status;
  int rc = rlSetRecordSet(record, int(length));
  if (rc != 0) return setError(reply, rc, "cannot configure set properly", 500);
  rc = search.reverse ? rlLastRecord(record) : rlFirstRecord(record);
  return readFrom(record, rc, search, search.paging.skip, reply);
}

// ---- ranges ----

struct RangeCodes {
  const char* op;
  int code;
};
const RangeCodes kRangeCodes[] = {{">", 130}, {"=", 193}, {"<", 69}, {"<=", 196}, {">=", 195}};

// Buffers of one range query, released on every path.
struct RangeState {
  RLHANDLE record = nullptr;
  RLHANDLE upper = nullptr;
  std::vector<int> codes;
  void* lowerKey = nullptr;
  void* upperKey = nullptr;
  ~RangeState() {
    if (record) rlClearRecordRange(record);
    rlFreeMemory(lowerKey);
    rlFreeMemory(upperKey);
    if (upper) rlFreeRecord(upper);
  }
};

int assignBound(RangeState& range, bool toUpper, const char* field, const char* member, json_object* value,
                json_object* reply) {
  json_type type = json_object_get_type(value);
  if (type == json_type_null || type == json_type_array)
    return setJsonFormatError(reply, "'%s' value type is invalid (null or array)", member);
  RLHANDLE target = range.record;
  if (toUpper) {
    if (!range.upper) {
      range.upper = rlAllocRecord(range.record);
      if (!range.upper) return setError(reply, kOutOfMemory, "Out of memory", 500);
      rlClearRecord(range.upper);
    }
    target = range.upper;
  }
  return jsonToField(target, field, value, reply);
}

int parseFindOperand(RangeState& range, const char* field, json_object* operand, int* code, json_object* reply) {
  const char* op = nullptr;
  bool hasValue = false, lower = false, upper = false, excludeLower = false, excludeUpper = false;
  json_object_object_foreach(operand, key, value) {
    int status = 200;
    if (std::strcmp(key, "operator") == 0) {
      if (!json_object_is_type(value, json_type_string))
        return setJsonFormatError(reply, "'operator' value must be a string");
      op = json_object_get_string(value);
      bool known = std::strcmp(op, "between") == 0;
      for (const auto& r : kRangeCodes) known = known || std::strcmp(op, r.op) == 0;
      if (!known) return setJsonFormatError(reply, "'operator' %s specified in '%s' object is invalid", op, field);
      continue;
    }
    bool isValue = std::strcmp(key, "value") == 0;
    bool isLower = std::strcmp(key, "lowervalue") == 0 || std::strcmp(key, "excludelowervalue") == 0;
    bool isUpper = std::strcmp(key, "uppervalue") == 0 || std::strcmp(key, "excludeuppervalue") == 0;
    if (!isValue && !isLower && !isUpper)
      return setJsonFormatError(reply, "'%s' is invalid in '%s' object. Valid properties are 'operator' and 'value'",
                                key, field);
    if ((isValue && hasValue) || (isLower && lower) || (isUpper && upper))
      return setJsonFormatError(reply, "ambiguous use of '%s' in '%s' object", key, field);
    status = assignBound(range, isUpper, field, key, value, reply);
    if (status != 200) return status;
    hasValue = hasValue || isValue;
    if (isLower) lower = true, excludeLower = key[0] == 'e';
    if (isUpper) upper = true, excludeUpper = key[0] == 'e';
  }
  if (!op) return setJsonFormatError(reply, "'operator' must be present in '%s' object", field);
  if (std::strcmp(op, "between") != 0) {
    if (hasValue && (lower || upper))
      return setJsonFormatError(
          reply, "'upperbound' and 'lowerbound' can be used only with 'between' 'operator' in '%s' object", field);
    if (!hasValue) return setJsonFormatError(reply, "'value' must be present in '%s' object", field);
    for (const auto& r : kRangeCodes)
      if (std::strcmp(op, r.op) == 0) *code = r.code;
    return 200;
  }
  if (hasValue)
    return setJsonFormatError(reply, "'value' cannot be specified with 'between' 'operator' in '%s' object", field);
  if (!lower || !upper)
    return setJsonFormatError(reply, "'between' 'operator' requires 'upperbound' and 'lowerbound' in '%s' object",
                              field);
  *code = excludeLower ? (excludeUpper ? 10 : 137) : (excludeUpper ? 72 : 199);
  return 200;
}

// The default index's segment position of a field, or -1.
int segmentOf(RLHANDLE index, const char* field) {
  int count = rlGetSegmentCount(index);
  for (int s = 0; s < count; ++s) {
    RLHANDLE segment = rlGetSegment(index, s);
    const char* name = rlGetSegmentFieldName(segment);
    if (!name || !*name) name = rlGetFieldName(rlGetSegmentFieldXtd(segment));
    if (name && std::strcmp(name, field) == 0) return s;
  }
  return -1;
}

int queryFindRange(RLHANDLE record, json_object* find, const Search& search, json_object* reply) {
  RangeState range;
  RLHANDLE index = rlGetIndex(rlGetTableOfHandle(record), rlGetDefaultIndex(record));
  int segments = rlGetSegmentCount(index);
  range.codes.assign(size_t(segments), 0);
  rlClearRecord(record);
  range.record = record;
  json_object_object_foreach(find, key, operand) {
    if (!json_object_is_type(operand, json_type_object))
      return setJsonFormatError(reply, "'%s' value in 'find' is not an object", key);
    int s = segmentOf(index, key);
    if (s < 0) return setJsonFormatError(reply, "field '%s' is not part of the index in use", key);
    int status = parseFindOperand(range, key, operand, &range.codes[size_t(s)], reply);
    if (status != 200) return status;
  }
  if (!rlIsRecordChanged(record)) return setJsonFormatError(reply, "'find' object seems empty");
  int keyLength = rlGetIndexKeyLength(index);
  range.lowerKey = rlAllocMemory(1, keyLength);
  if (range.upper) range.upperKey = rlAllocMemory(1, keyLength);
  if (!range.lowerKey || (range.upper && !range.upperKey)) return setError(reply, kOutOfMemory, "Out of memory", 500);
  int rc = rlBuildTargetKey(record, range.lowerKey, keyLength);
  if (rc == 0 && range.upper) rc = rlBuildTargetKey(range.upper, range.upperKey, keyLength);
  if (rc != 0) return setError(reply, rc, "Error building range key", 500);
  int count = 0;
  bool seen = false;
  for (int s = segments - 1; s >= 0; --s) {
    if (range.codes[size_t(s)] != 0) {
      seen = true;
      ++count;
    } else if (seen) {
      return setError(reply, kNotImplemented, "Ranges with missing segments not yet supported", 501);
    }
  }
  rc = rlSetRecordRange(record, count, range.lowerKey, range.upperKey, range.codes.data());
  if (rc != 0) return setError(reply, rc, "Error setting up the range", 500);
  int status = setQueryFilter(record, search.filter, reply);
  if (status != 200) return status;
  rc = search.reverse ? rlLastRecord(record) : rlFirstRecord(record);
  return readFrom(record, rc, search, search.paging.skip, reply);
}

enum class Kind { None, FindRecord, FindSet, Range };

// Step 6: the body's members; the search kind and its object.
int readQueryBody(json_object* body, Kind* kind, json_object** kindValue, Search* search, json_object* reply) {
  json_object_object_foreach(body, key, value) {
    if (*kind == Kind::None && std::strcmp(key, "advanced_find") == 0) {
      if (!json_object_is_type(value, json_type_object))
        return setJsonFormatError(reply, "'advanced_find' value must be an object");
      json_object_object_foreach(value, advancedKey, advancedValue) {
        bool record = std::strcmp(advancedKey, "find_record") == 0, set = std::strcmp(advancedKey, "find_set") == 0;
        if ((!record && !set) || *kind != Kind::None) return setJsonFormatError(reply, "'%s' is invalid", advancedKey);
        *kind = record ? Kind::FindRecord : Kind::FindSet;
        *kindValue = advancedValue;
      }
      if (*kind == Kind::None)
        return setJsonFormatError(reply, "no one of \"find_record\", \"find_set\", has been specified in request body");
    } else if (*kind == Kind::None && std::strcmp(key, "find") == 0) {
      *kind = Kind::Range;
      *kindValue = value;
    } else if (std::strcmp(key, "filter") == 0) {
      search->filter = value;
    } else if (std::strcmp(key, "select") == 0) {
      search->select = value;
    } else if (std::strcmp(key, "reverse") == 0) {
      if (!json_object_is_type(value, json_type_boolean))
        return setJsonFormatError(reply, "'reverse' value must be a boolean");
      search->reverse = json_object_get_boolean(value);
    } else {
      return setJsonFormatError(reply, "'%s' is invalid", key);
    }
  }
  return 200;
}

int runQuery(RLHANDLE record, json_object* body, Search& search, json_object* reply) {
  if (!json_object_is_type(body, json_type_object))
    return setJsonFormatError(reply, "request body is not a json object");
  Kind kind = Kind::None;
  json_object* value = nullptr;
  int status = readQueryBody(body, &kind, &value, &search, reply);
  if (status != 200) return status;
  bool isObject = json_object_is_type(value, json_type_object);
  switch (kind) {
    case Kind::None:
      return setJsonFormatError(reply, "neither \"find\" nor \"advanced_find\" has been specified in request body");
    case Kind::FindRecord:
      return isObject ? queryFindRecord(record, value, search, reply)
                      : setJsonFormatError(reply, "\"find_record\" value is not a json object");
    case Kind::FindSet:
      return isObject ? queryFindSet(record, value, search, reply)
                      : setJsonFormatError(reply, "\"find_set\" value is not a json object");
    case Kind::Range:
      return isObject ? queryFindRange(record, value, search, reply)
                      : setJsonFormatError(reply, "\"find\" value is is not a json object");
  }
  return 500;
}

}  // namespace

int handleQuery(RLHANDLE database, const char* table, const char* index, const char* urlQuery, int method,
                json_object* body, json_object* reply, RecordsText* records) {
  if (method != WEBAPP_METHOD_POST) return 405;
  Search search;
  search.records = records;
  if (!parseUrlQuery(urlQuery, &search.paging) || search.paging.top == -1)
    return setError(reply, kBadUrlQuery, "incorrect URL query format. ?top= URL query part is mandatory ", 400);
  if (search.paging.skip == -1) search.paging.skip = 0;
  int status = 200;
  if (!index) {
    if (!table) return 501;
    RLHANDLE record = openTableRecord(database, table, &status, reply);
    if (!record) return status;
    closeTableRecord(record);
    return 501;
  }
  RLHANDLE record = openTableRecord(database, table, &status, reply);
  if (!record) return status;
  int rc = rlSetDefaultIndex(record, index);
  if (rc != 0)
    status = setError(reply, rc, "cannot access index", 404);
  else
    status = runQuery(record, body, search, reply);
  closeTableRecord(record);
  return status;
}

}  // namespace gannet
