// The "table" resource: create (POST), alter (PUT), read or list (GET) and
// delete (DELETE) table definitions.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gannet.h"

namespace gannet {

namespace {

// One element of "fields" as the request gives it.
struct FieldRequest {
  std::string name, type;
  bool hasName = false, hasType = false;
  int64_t requestedLength = 0;  // as given, checked against the type's range before it becomes length
  int length = 0, precision = 0, scale = 0;
  bool hasLength = false, hasPrecision = false, hasScale = false;
  bool hasAutoTime = false, onCreate = false, onUpdate = false;
  int code = 0, binaryFlag = 1, prefix = 0;
};

// Frees a table handle on every path.
struct TableOwner {
  RLHANDLE handle = nullptr;
  ~TableOwner() {
    if (handle) rlFreeTable(handle);
  }
};

int readAutoTime(json_object* value, size_t position, FieldRequest* f, json_object* reply) {
  if (!json_object_is_type(value, json_type_object))
    return setJsonFormatError(reply, "'autosystemtime' value must be an object");
  f->hasAutoTime = true;
  json_object_object_foreach(value, key, member) {
    if (std::strcmp(key, "create") == 0)
      f->onCreate = json_object_get_boolean(member);
    else if (std::strcmp(key, "update") == 0)
      f->onUpdate = json_object_get_boolean(member);
    else
      return setJsonFormatError(reply, "'%s' is invalid for %s in %s element %zu", key, "autosystemtime", "fields",
                                position);
  }
  return 200;
}

// The content lengths a type takes (without its length prefix). Fixed-length
// character and binary types end where GET would report them as the long
// types; the long types end where prefix and content still fit the engine's
// 32-bit length.
struct LengthRange {
  int64_t least, most;
};

LengthRange lengthRangeOf(int code, int prefix) {
  constexpr int64_t kShortMost = 8192;
  switch (code) {
    case 144:
    case 162:
      return {1, kShortMost};
    case 160:
    case 193:
    case 201:
      return {0, kShortMost};
    default:
      return {0, int64_t(INT32_MAX) - prefix};
  }
}

// A creation gives the content length; an alteration the stored length,
// prefix included.
int checkLength(FieldRequest* f, size_t position, bool alteration, json_object* reply) {
  if (f->code == 259) {
    f->length = 0;
    return 200;
  }
  int64_t content = alteration ? f->requestedLength - f->prefix : f->requestedLength;
  LengthRange range = lengthRangeOf(f->code, f->prefix);
  if (f->hasLength && (content < range.least || content > range.most)) {
    int64_t shift = alteration ? f->prefix : 0;
    return setJsonFormatError(reply, "'length' %lld is out of range for %s: %lld to %lld in 'fields' element %zu",
                              static_cast<long long>(f->requestedLength), f->type.c_str(),
                              static_cast<long long>(range.least + shift), static_cast<long long>(range.most + shift),
                              position);
  }
  f->length = int(f->requestedLength);
  return 200;
}

int readFieldMembers(json_object* element, size_t position, bool alteration, FieldRequest* f, json_object* reply) {
  json_object_object_foreach(element, key, value) {
    if (std::strcmp(key, "name") == 0) {
      f->hasName = true;
      f->name = json_object_get_string(value) ? json_object_get_string(value) : "";
    } else if (std::strcmp(key, "type") == 0) {
      f->hasType = true;
      f->type = json_object_get_string(value) ? json_object_get_string(value) : "";
    } else if (std::strcmp(key, "length") == 0) {
      f->hasLength = true;
      f->requestedLength = json_object_get_int64(value);
    } else if (std::strcmp(key, "precision") == 0) {
      f->hasPrecision = true;
      f->precision = json_object_get_int(value);
    } else if (std::strcmp(key, "scale") == 0) {
      f->hasScale = true;
      f->scale = json_object_get_int(value);
    } else if (std::strcmp(key, "autosystemtime") == 0) {
      int status = readAutoTime(value, position, f, reply);
      if (status != 200) return status;
    } else {
      return setJsonFormatError(reply, "'%s' is invalid in 'fields' element %zu", key, position);
    }
  }
  if (!f->hasName || !f->hasType)
    return setJsonFormatError(reply, "'name' and 'type' must be present in 'fields' element %zu", position);
  f->code = fieldTypeFromName(f->type.c_str(), f->precision, &f->binaryFlag, &f->prefix);
  if (f->code == 0)
    return setJsonFormatError(reply, "unknown %s 'type' in 'fields' element %zu", f->type.c_str(), position);
  if ((f->code == 144 || f->code == 162) && f->requestedLength == 0)
    return setJsonFormatError(reply, "'length' must be present and different than 0 in 'fields' element %zu", position);
  if (!f->hasPrecision && (f->code == 143 || f->code == 105 || f->hasScale))
    return setJsonFormatError(reply, "'precision' must be present in 'fields' element %zu", position);
  return checkLength(f, position, alteration, reply);
}

int setFieldDetails(RLHANDLE field, const FieldRequest& f, json_object* reply) {
  int rc;
  if (f.binaryFlag != 1 && (rc = rlSetFieldBinaryFlag(field, f.binaryFlag)) != 0)
    return setError(reply, rc, "field binary flag set failed", 500);
  if (f.hasPrecision) {
    if ((rc = rlSetFieldPrecision(field, f.precision)) != 0)
      return setError(reply, rc, "field precision set failed", 500);
    if (f.hasScale && (rc = rlSetFieldScale(field, f.scale)) != 0)
      return setError(reply, rc, "field scale set failed", 500);
  }
  if (f.hasAutoTime && (rc = rlSetFieldAutoTimestamp(field, f.onCreate, f.onUpdate)) != 0)
    return setError(reply, rc, "field autosystemtime set failed", 500);
  return 200;
}

int createField(RLHANDLE table, const FieldRequest& f, json_object* reply) {
  RLHANDLE field = rlAddField(table, f.name.c_str(), f.code, f.prefix + f.length);
  if (!field) return setError(reply, rlGetError(table), "field addition failed", 500);
  return setFieldDetails(field, f, reply);
}

// An alteration: an existing field must match and moves to its position; a
// new one is inserted there (its length is the full stored length).
int alterField(RLHANDLE table, size_t position, const FieldRequest& f, json_object* reply) {
  RLHANDLE field = rlGetFieldByName(table, f.name.c_str());
  if (field) {
    int flag = rlGetFieldBinaryFlag(field);
    bool same = rlGetFieldType(field) == f.code && (flag == 0 ? 1 : flag) == f.binaryFlag &&  // 0: never set
                (!f.hasLength || rlGetFieldLength(field) == f.length) &&
                (!f.hasPrecision || rlGetFieldPrecision(field) == f.precision) &&
                (!f.hasScale || rlGetFieldScale(field) == f.scale);
    if (!same) return setJsonFormatError(reply, "'%s' field definition does not match the current one", f.name.c_str());
    if (rlMoveField(field, int(position)) != 0) return setError(reply, rlGetError(table), "field move failed", 500);
    return 200;
  }
  field = rlInsertField(table, int(position), f.name.c_str(), f.code, f.length);
  if (!field) return setError(reply, rlGetError(table), "field insertion failed", 500);
  int rc;
  if (f.binaryFlag != 1 && (rc = rlSetFieldBinaryFlag(field, f.binaryFlag)) != 0)
    return setError(reply, rc, "field binary flag set failed", 500);
  return 200;
}

int applyFields(RLHANDLE table, json_object* fields, bool create, json_object* reply) {
  if (!json_object_is_type(fields, json_type_array))
    return setJsonFormatError(reply, "'fields' value must be an array of objects");
  size_t count = json_object_array_length(fields);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(fields, i);
    if (!element) continue;
    if (!json_object_is_type(element, json_type_object))
      return setJsonFormatError(reply, "element %zu in 'fields' is not an object", i + 1);
    FieldRequest f;
    int status = readFieldMembers(element, i + 1, !create, &f, reply);
    if (status == 200) status = create ? createField(table, f, reply) : alterField(table, i, f, reply);
    if (status != 200) return status;
  }
  if (!create)
    while (rlGetFieldCount(table) > int(count))
      if (rlDeleteField(table, int(count)) != 0)
        return setError(reply, rlGetError(table), "field deletion failed", 500);
  return 200;
}

int defineTable(RLHANDLE database, const char* name, json_object* body, json_object* reply, bool create) {
  TableOwner table;
  int status = 200;
  if (create) {
    table.handle = rlAllocTable(database);
    if (!table.handle) return setError(reply, rlGetError(database), "out of memory", 500);
  } else {
    table.handle = openTable(database, name, &status, reply);
    if (!table.handle) return status;
  }
  // A new table needs at least one field; the engine would only refuse it later as a server fault.
  json_object* fields = nullptr;
  if (create && (!json_object_object_get_ex(body, "fields", &fields) ||
                 (json_object_is_type(fields, json_type_array) && json_object_array_length(fields) == 0)))
    return setJsonFormatError(reply, "'fields' must be present with at least one field");
  json_object_object_foreach(body, key, value) {
    if (std::strcmp(key, "fields") == 0)
      status = applyFields(table.handle, value, create, reply);
    else if (std::strcmp(key, "remarks") != 0)
      status = setJsonFormatError(reply, "'%s' is invalid", key);
    if (status != 200) return status;
  }
  int rc = rlBeginTransaction(database);
  if (rc != 0) return setError(reply, rc, "transaction begin failed", 500);
  rc = create ? rlCreateTable(table.handle, name, 2) : rlAlterTable(table.handle, 0);
  if (rc != 0) {
    rlAbortTransaction(database);
    if (create) return setError(reply, rc, "table create failed", rc == RL_TABLE_EXISTS || rc == 420 ? 409 : 500);
    return setError(reply, rc, "table alter failed", 500);
  }
  rc = rlCommitTransaction(database);
  if (rc != 0) return setError(reply, rc, "transaction commit failed", 500);
  return 200;
}

int listTables(RLHANDLE database, json_object* names, json_object* reply) {
  char name[128], path[255];
  int rc;
  for (rc = rlFirstTable(database, name, sizeof name, path, sizeof path); rc == 0;
       rc = rlNextTable(database, name, sizeof name, path, sizeof path))
    if (!std::strstr(path, "SQL_SYS")) json_object_array_add(names, json_object_new_string(name));
  if (rc != RL_NOT_FOUND) return setError(reply, rlGetError(database), "cannot access database", 500);
  json_object_object_add(reply, "_tables", json_object_get(names));
  return 200;
}

json_object* fieldDefinition(RLHANDLE field) {
  json_object* out = json_object_new_object();
  if (!out) return nullptr;
  int type = rlGetFieldType(field), length = rlGetFieldLength(field), flag = rlGetFieldBinaryFlag(field);
  json_object_object_add(out, "name", json_object_new_string(rlGetFieldName(field)));
  const char* typeName = fieldTypeToName(type, length, rlIsFieldVariable(field) != 0, flag);
  if (!typeName) return out;
  json_object_object_add(out, "type", json_object_new_string(typeName));
  std::string t = typeName;
  if (t == "CHAR" || t == "VARCHAR" || t == "BINARY" || t == "VARBINARY")
    json_object_object_add(out, "length", json_object_new_int(length - rlFieldLengthPrefix(type)));
  if (t == "MONEY" || t == "NUMBER")
    json_object_object_add(out, "precision", json_object_new_int(rlGetFieldPrecision(field)));
  if (t == "NUMBER") json_object_object_add(out, "scale", json_object_new_int(rlGetFieldScale(field)));
  int onCreate = 0, onUpdate = 0;
  if (rlGetFieldAutoTimestamp(field, &onCreate, &onUpdate) == 0 && (onCreate == 1 || onUpdate == 1)) {
    json_object* stamps = json_object_new_object();
    if (onCreate == 1) json_object_object_add(stamps, "create", json_object_new_boolean(1));
    if (onUpdate == 1) json_object_object_add(stamps, "update", json_object_new_boolean(1));
    json_object_object_add(out, "autosystemtime", stamps);
  }
  return out;
}

int describeTable(RLHANDLE database, const char* name, json_object* fields, json_object* reply) {
  int status;
  TableOwner table;
  table.handle = openTable(database, name, &status, reply);
  if (!table.handle) return status;
  int count = rlGetFieldCount(table.handle);
  for (int i = 0; i < count; ++i) {
    json_object* field = fieldDefinition(rlGetField(table.handle, i));
    if (!field) return setError(reply, kOutOfMemory, "out of memory", 500);
    json_object_array_add(fields, field);
  }
  json_object_object_add(reply, "fields", json_object_get(fields));
  if (rlGetTableCreateMode(table.handle) & RL_CREATE_PARTITIONED) {
    json_object* remarks = json_object_new_object();
    json_object_object_add(remarks, "partitioned", partitionToJson(table.handle));
    json_object_object_add(reply, "remarks", remarks);
  }
  return 200;
}

int getTable(RLHANDLE database, const char* name, json_object* reply) {
  json_object* array = json_object_new_array();
  if (!array) return setError(reply, kOutOfMemory, "out of memory", 500);
  int status = name ? describeTable(database, name, array, reply) : listTables(database, array, reply);
  json_object_put(array);
  return status;
}

int deleteTable(RLHANDLE database, const char* name, json_object* reply) {
  int rc = rlBeginTransaction(database);
  if (rc != 0) return setError(reply, rc, "transaction begin failed", 500);
  rc = rlDeleteTable(database, name, 0);
  if (rc != 0) {
    rlAbortTransaction(database);
    return setError(reply, rc, "table delete failed", 500);
  }
  rc = rlCommitTransaction(database);
  if (rc != 0) return setError(reply, rc, "transaction commit failed", 500);
  return 200;
}

}  // namespace

int handleTable(RLHANDLE database, const char* table, int method, json_object* body, json_object* reply) {
  switch (method) {
    case WEBAPP_METHOD_POST:
    case WEBAPP_METHOD_PUT:
      if (!json_object_is_type(body, json_type_object))
        return setJsonFormatError(reply, "request body is not a json object");
      return defineTable(database, table, body, reply, method == WEBAPP_METHOD_POST);
    case WEBAPP_METHOD_GET:
      return getTable(database, table, reply);
    case WEBAPP_METHOD_DELETE:
      return deleteTable(database, table, reply);
    default:
      return setError(reply, kNotImplemented, "Table request not yet implemented", 501);
  }
}

}  // namespace gannet
