// The "index" resource: create (POST), read or list (GET), change (PUT) and
// delete (DELETE) an index of a table, and make a table partitioned.
#include <cstring>
#include <strings.h>
#include <string>

#include "gannet.h"

namespace gannet {

namespace {

constexpr int kAscending = 12;
constexpr int kDescending = 28;

struct PartitionRequest {
  bool given = false, hasRule = false, hasBits = false, hasMax = false;
  std::string rule;
  int bits = 0, maxActive = 0;
};

// Duplicates are allowed unless "unique" reads true.
int duplicatesAllowed(json_object* body) {
  json_object* unique = nullptr;
  if (json_object_object_get_ex(body, "unique", &unique) && unique) return json_object_get_boolean(unique) ? 0 : 1;
  return 1;
}

int readPartition(json_object* value, PartitionRequest* p, json_object* reply) {
  if (!json_object_is_type(value, json_type_object))
    return setJsonFormatError(reply, "'partition' value must be an object");
  p->given = true;
  json_object_object_foreach(value, key, member) {
    if (std::strcmp(key, "rule") == 0) {
      if (!json_object_is_type(member, json_type_string))
        return setJsonFormatError(reply, "in 'partition', 'rule' value is not a string");
      p->hasRule = true;
      p->rule = json_object_get_string(member);
    } else if (std::strcmp(key, "numberofbits") == 0 || std::strcmp(key, "maximumactive") == 0) {
      bool bits = key[0] == 'n';
      if (!json_object_is_type(member, json_type_int))
        return setJsonFormatError(reply, "in 'partition', '%s' value is not an integer", key);
      int64_t v = json_object_get_int64(member);
      uint64_t asUnsigned = uint64_t(v);
      if (bits && asUnsigned > 32)
        return setJsonFormatError(
            reply, "in 'partition', 'numberofbits' value is out of range. Valid values between 0 and 32");
      if (!bits && asUnsigned > 65535)
        return setJsonFormatError(
            reply, "in 'partition', 'maximumactive' value is out of range. Valid values between 0 and 65535");
      (bits ? p->hasBits : p->hasMax) = true;
      (bits ? p->bits : p->maxActive) = int(v);
    } else {
      return setJsonFormatError(reply, "'%s' is invalid in 'partition'", key);
    }
  }
  if (!p->hasRule) return setJsonFormatError(reply, "missing mandatory 'rule' property in 'partition' object");
  return 200;
}

// One element of "fields" in a creation.
struct SegmentRequest {
  RLHANDLE field = nullptr;
  bool hasName = false, ascending = true, hasKey = false, hasType = false;
  std::string key, type;
  int size = -1;
};

int readSegment(RLHANDLE table, json_object* element, size_t position, bool creation, SegmentRequest* s,
                json_object* reply) {
  json_object_object_foreach(element, key, value) {
    if (std::strcmp(key, "name") == 0) {
      if (creation && !json_object_is_type(value, json_type_string))
        return setJsonFormatError(reply, "in 'fields' element %zu, 'name' value is not a string", position);
      s->hasName = true;
      s->field = rlGetFieldByName(table, json_object_get_string(value));
      if (!s->field) return setError(reply, rlGetError(table), "cannot access field", 404);
    } else if (std::strcmp(key, "ascending") == 0) {
      if (creation && !json_object_is_type(value, json_type_boolean))
        return setJsonFormatError(reply, "in 'fields' element %zu, 'ascending' value is not a boolean", position);
      s->ascending = json_object_get_boolean(value);
    } else if (creation && (std::strcmp(key, "key") == 0 || std::strcmp(key, "type") == 0)) {
      if (!json_object_is_type(value, json_type_string))
        return setJsonFormatError(reply, "in 'fields' element %zu, '%s' value is not a string", position, key);
      (key[0] == 'k' ? s->hasKey : s->hasType) = true;
      (key[0] == 'k' ? s->key : s->type) = json_object_get_string(value);
    } else if (creation && std::strcmp(key, "size") == 0) {
      if (!json_object_is_type(value, json_type_int))
        return setJsonFormatError(reply, "in 'fields' element %zu, 'size' value is not an integer", position);
      s->size = json_object_get_int(value);
    } else {
      return setJsonFormatError(reply, "'%s' is invalid in 'fields' element %zu", key, position);
    }
  }
  if (!s->hasName) return setJsonFormatError(reply, "no 'name' specified in 'fields' element %zu", position);
  return 200;
}

// The client type code and key size of a key inside a JSON field, or 0.
int jsonKeyType(const std::string& type, int size, int* keySize) {
  const char* t = type.c_str();
  auto bySize = [&](int one, int two, int four, int eight) {
    *keySize = size == 1 || size == 2 || size == 4 ? size : 8;
    return size == 1 ? one : size == 2 ? two : size == 4 ? four : eight;
  };
  if (strcasecmp(t, "double") == 0 || strcasecmp(t, "float") == 0) return *keySize = 8, 103;
  if (strcasecmp(t, "string") == 0) return *keySize = size, 146;
  if (strcasecmp(t, "integer") == 0) return bySize(16, 33, 51, 231);
  if (strcasecmp(t, "unsigned") == 0) return bySize(24, 41, 59, 239);
  if (strcasecmp(t, "boolean") == 0) return *keySize = 1, 8;
  return 0;
}

int addSegment(RLHANDLE table, RLHANDLE index, const SegmentRequest& s, size_t position, json_object* reply) {
  RLHANDLE segment;
  if (rlGetFieldType(s.field) == 259) {
    if (!s.hasKey || !s.hasType || s.size == -1)
      return setJsonFormatError(reply, "in 'fields' element %zu, 'key', 'type', 'size' are mandatory for JSON fields",
                                position);
    int keySize = 0;
    int code = jsonKeyType(s.type, s.size, &keySize);
    if (code == 0)
      return setJsonFormatError(reply, "unknown %s 'type' in 'fields' element %zu", s.type.c_str(), position);
    segment = rlAddJsonSegment(index, s.field, s.key.c_str(), code, keySize);
  } else {
    if (s.hasKey || s.hasType || s.size != -1)
      return setJsonFormatError(reply, "in 'fields' element %zu, 'key', 'type', 'size' apply only to JSON fields",
                                position);
    segment = rlAddSegment(index, s.field, s.ascending ? kAscending : kDescending);
  }
  if (!segment) return setError(reply, rlGetError(table), "segment addition failed", 500);
  return 200;
}

int addIndexFields(RLHANDLE table, const char* name, int duplicates, json_object* fields, json_object* reply) {
  if (!json_object_is_type(fields, json_type_array))
    return setJsonFormatError(reply, "'fields' value must be an array of objects");
  RLHANDLE index = rlAddIndex(table, name, 0, duplicates, 0);
  if (!index) return setError(reply, rlGetError(table), "index create failed", 500);
  std::string file = std::string(rlGetTableName(table)) + "_" + name;
  if (file.size() > 253) file.resize(253);
  int rc = rlSetIndexFilePath(index, rlGetTablePath(table), file.c_str());
  if (rc != 0) return setError(reply, rc, "set index file name failed", 500);
  size_t count = json_object_array_length(fields);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(fields, i);
    if (!element) continue;
    if (!json_object_is_type(element, json_type_object))
      return setJsonFormatError(reply, "element %zu in 'fields' is not an object", i + 1);
    SegmentRequest s;
    int status = readSegment(table, element, i + 1, true, &s, reply);
    if (status == 200) status = addSegment(table, index, s, i + 1, reply);
    if (status != 200) return status;
  }
  return 200;
}

// Stores the definition changes in a transaction.
int storeDefinition(RLHANDLE table, int alterMode, json_object* reply, const PartitionRequest* partition = nullptr,
                    const char* indexName = nullptr) {
  int rc = rlBeginTransaction(table);
  if (rc != 0) return setError(reply, rc, "transaction begin failed", 500);
  auto failed = [&](int code, const char* message) {
    rlAbortTransaction(table);
    return setError(reply, code, message, 500);
  };
  if (partition && partition->given) {
    int number = -1;
    if ((rc = rlGetIndexNumber(rlGetIndexByName(table, indexName), &number)) != 0)
      return failed(rc, "failed to set partition rule (1)");
    if ((rc = rlSetPartitionIndex(table, number)) != 0) return failed(rc, "failed to set partition rule (2)");
    if ((rc = rlSetPartitionRule(table, partition->rule.c_str())) != 0)
      return failed(rc, "failed to set partition rule (4)");
    if (partition->hasBits && (rc = rlSetPartitionBits(table, partition->bits)) != 0)
      return failed(rc, "failed to set partition rule (3)");
    if (partition->hasMax && (rc = rlSetPartitionMaxActive(table, partition->maxActive)) != 0)
      return failed(rc, "failed to set partition rule (4)");
  }
  if ((rc = rlAlterTable(table, alterMode)) != 0) return failed(rc, "table alter failed");
  if ((rc = rlCommitTransaction(table)) != 0) return setError(reply, rc, "transaction commit failed", 500);
  return 200;
}

int postIndex(RLHANDLE table, const char* name, json_object* body, json_object* reply) {
  int duplicates = duplicatesAllowed(body);
  bool hasFields = false;
  PartitionRequest partition;
  int status = 200;
  json_object_object_foreach(body, key, value) {
    if (std::strcmp(key, "unique") == 0) continue;
    if (std::strcmp(key, "fields") == 0) {
      hasFields = true;
      status = addIndexFields(table, name, duplicates, value, reply);
    } else if (std::strcmp(key, "partition") == 0) {
      status = readPartition(value, &partition, reply);
    } else {
      status = setJsonFormatError(reply, "'%s' is invalid", key);
    }
    if (status != 200) return status;
  }
  if (!hasFields) return setJsonFormatError(reply, "missing mandatory 'fields' property");
  return storeDefinition(table, partition.given ? 3 : 0, reply, &partition, name);
}

int describeIndex(RLHANDLE table, const char* name, json_object* reply) {
  RLHANDLE index = rlGetIndexByName(table, name);
  if (!index) return setError(reply, rlGetError(table), "cannot access index", 404);
  json_object_object_add(reply, "unique", json_object_new_boolean(rlGetIndexDuplicateFlag(index) == 0));
  json_object* fields = json_object_new_array();
  json_object_object_add(reply, "fields", fields);
  int count = rlGetSegmentCount(index);
  for (int s = 0; s < count; ++s) {
    RLHANDLE segment = rlGetSegment(index, s);
    json_object* out = json_object_new_object();
    if (!segment || !out) return setError(reply, kOutOfMemory, "out of memory", 500);
    json_object_object_add(out, "name", json_object_new_string(rlGetFieldName(rlGetSegmentField(segment))));
    char key[256];
    int type = 0, size = 0;
    if (rlGetFieldType(rlGetSegmentField(segment)) == 259 &&
        rlGetJsonSegmentInfo(segment, key, sizeof key, &type, &size) == 0) {
      json_object_object_add(out, "key", json_object_new_string(key));
      const char* typeName = type == 8                                               ? "boolean"
                             : type == 16 || type == 33 || type == 51 || type == 231 ? "integer"
                             : type == 24 || type == 41 || type == 59 || type == 239 ? "unsigned"
                             : type == 103                                           ? "double"
                             : type == 146                                           ? "string"
                                                                                     : "";
      json_object_object_add(out, "type", json_object_new_string(typeName));
      json_object_object_add(out, "size", json_object_new_int(size));
    }
    int mode = rlGetSegmentMode(segment);
    if (mode != 0) json_object_object_add(out, "ascending", json_object_new_boolean((mode & 0x10) == 0));
    json_object_array_add(fields, out);
  }
  int number = rlGetPartitionIndex(table);
  if (number != -1 && number == rlGetIndexNumberByName(table, name))
    json_object_object_add(reply, "partition", partitionToJson(index));
  return 200;
}

int getIndex(RLHANDLE table, const char* name, json_object* reply) {
  if (name) return describeIndex(table, name, reply);
  json_object* names = json_object_new_array();
  if (!names) return setError(reply, kOutOfMemory, "out of memory", 500);
  json_object_object_add(reply, "_indexes", names);
  int count = rlGetIndexCount(table);
  for (int n = 0; n < count; ++n) {
    RLHANDLE index = rlGetIndex(table, n);
    if (!index) {
      json_object_object_del(reply, "_indexes");
      return setError(reply, rlGetError(table), "cannot access index", 500);
    }
    json_object_array_add(names, json_object_new_string(rlGetIndexName(index)));
  }
  return 200;
}

int changeSegments(RLHANDLE table, RLHANDLE index, json_object* fields, json_object* reply) {
  size_t count = json_object_array_length(fields);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(fields, i);
    if (!element) continue;
    if (!json_object_is_type(element, json_type_object))
      return setJsonFormatError(reply, "element %zu in 'fields' is not an object", i + 1);
    SegmentRequest s;
    int status = readSegment(table, element, i + 1, false, &s, reply);
    if (status != 200) return status;
    RLHANDLE segment = rlGetSegment(index, int(i));
    if (!segment) return setError(reply, rlGetError(table), "cannot access segment", 500);
    int mode = s.ascending ? kAscending : kDescending;
    if (std::strcmp(rlGetSegmentFieldName(segment), rlGetFieldName(s.field)) == 0 && rlGetSegmentMode(segment) == mode)
      continue;
    int rc = rlDeleteSegment(index, int(i));
    if (rc != 0) return setError(reply, rc, "segment deletion failed", 500);
    if (!rlInsertSegment(index, int(i), s.field, mode))
      return setError(reply, rlGetError(table), "segment insertion failed", 500);
  }
  return 200;
}

int putIndex(RLHANDLE table, const char* name, json_object* body, json_object* reply) {
  int duplicates = duplicatesAllowed(body);
  // A missing index is an error whatever the body holds, an empty one included.
  RLHANDLE index = rlGetIndexByName(table, name);
  if (!index) return setError(reply, rlGetError(table), "cannot access index", 500);
  json_object_object_foreach(body, key, value) {
    if (std::strcmp(key, "unique") == 0) continue;
    if (std::strcmp(key, "fields") != 0) return setJsonFormatError(reply, "'%s' is invalid", key);
    if (!json_object_is_type(value, json_type_array))
      return setJsonFormatError(reply, "'fields' value must be an array of objects");
    rlSetIndexDuplicateFlag(index, duplicates);
    int status = changeSegments(table, index, value, reply);
    if (status != 200) return status;
  }
  return storeDefinition(table, 0, reply);
}

int deleteIndex(RLHANDLE table, const char* name, json_object* reply) {
  int number = rlGetIndexNumberByName(table, name);
  if (number < 0) return setError(reply, rlGetError(table), "cannot access index", 404);
  int rc = rlDeleteIndex(table, number);
  if (rc != 0) return setError(reply, rc, "index delete failed", 500);
  return storeDefinition(table, 0, reply);
}

}  // namespace

int handleIndex(RLHANDLE database, const char* tableName, const char* index, int method, json_object* body,
                json_object* reply) {
  int status;
  RLHANDLE table = openTable(database, tableName, &status, reply);
  if (!table) return status;
  if ((method == WEBAPP_METHOD_POST || method == WEBAPP_METHOD_PUT) && !json_object_is_type(body, json_type_object))
    status = setJsonFormatError(reply, "request body is not a json object");
  else if (method == WEBAPP_METHOD_POST)
    status = postIndex(table, index, body, reply);
  else if (method == WEBAPP_METHOD_GET)
    status = getIndex(table, index, reply);
  else if (method == WEBAPP_METHOD_PUT)
    status = putIndex(table, index, body, reply);
  else if (method == WEBAPP_METHOD_DELETE)
    status = deleteIndex(table, index, reply);
  else
    status = setError(reply, kNotImplemented, "Index request not yet implemented", 501);
  rlFreeTable(table);
  return status;
}

}  // namespace gannet
