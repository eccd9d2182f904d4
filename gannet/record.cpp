// The "record" resource: read (GET), insert (POST), replace (PUT), change
// (PATCH) and delete (DELETE) records by their record id.
#include <cstdlib>
#include <cstring>

#include "gannet.h"

namespace gannet {

namespace {

constexpr int kReadLock = 2;
constexpr int kWriteLock = 4;

int writeStatus(int rc) { return rc == RL_DUPLICATE_KEY || rc == 420 ? 409 : 500; }

int seekRecordById(RLHANDLE record, int64_t id, json_object* reply) {
  int rc = rlFindRecordById(record, id, 0);
  if (rc == 0) return 200;
  return setError(reply, rc, "record cannot be found", rc == RL_NOT_FOUND ? 404 : 500);
}

int64_t recordIdOf(const char* text) { return std::strtoll(text ? text : "", nullptr, 10); }

int getRecord(RLHANDLE record, const char* id, json_object* reply) {
  rlSetLockMode(record, kReadLock);
  rlClearRecord(record);
  int status = seekRecordById(record, recordIdOf(id), reply);
  if (status == 200) status = recordToJson(record, nullptr, reply);
  rlSetLockMode(record, 0);
  return status;
}

// Inserts one item; its id goes to ids (an array body) or becomes "_id".
int postItem(RLHANDLE record, json_object* item, json_object* ids, json_object* reply) {
  rlClearRecord(record);
  if (!json_object_is_type(item, json_type_object))
    return setJsonFormatError(reply, "%s content is not a json object", "array item");
  json_object_object_foreach(item, key, value) {
    int status = jsonToField(record, key, value, reply);
    if (status != 200) return status;
  }
  int rc = rlWriteRecord(record);
  if (rc != 0) return setError(reply, rc, "record write failed", writeStatus(rc));
  int64_t id = 0;
  rc = rlGetRecordId(record, &id);
  if (rc != 0) return setError(reply, rc, "record id retrieval failed", 500);
  if (ids)
    json_object_array_add(ids, json_object_new_int64(id));
  else
    json_object_object_add(reply, "_id", json_object_new_int64(id));
  return 200;
}

int postRecord(RLHANDLE record, json_object* body, json_object* reply) {
  rlBeginTransaction(record);
  bool many = json_object_is_type(body, json_type_array);
  json_object* ids = nullptr;
  if (many) {
    ids = json_object_new_array();
    if (!ids) {
      rlAbortTransaction(record);
      return setError(reply, kOutOfMemory, "Out of memory", 500);
    }
    json_object_object_add(reply, "_ids", ids);
  }
  size_t count = many ? json_object_array_length(body) : 1;
  for (size_t i = 0; i < count; ++i) {
    int status = postItem(record, many ? json_object_array_get_idx(body, i) : body, ids, reply);
    if (status != 200) {
      rlAbortTransaction(record);
      return status;
    }
  }
  int rc = rlCommitTransaction(record);
  if (rc != 0) {
    json_object_object_del(reply, many ? "_ids" : "_id");
    return setError(reply, rc, "transaction commit failed", 500);
  }
  return 200;
}

// Commits when status is 200, else aborts; the status of the whole.
int endTransaction(RLHANDLE record, int status, json_object* reply) {
  if (status != 200) {
    rlAbortTransaction(record);
    return status;
  }
  int rc = rlCommitTransaction(record);
  if (rc != 0) return setError(reply, rc, "transaction commit failed", 500);
  return 200;
}

// Locks, opens the transaction and finds the record of an update or delete.
int seekForWrite(RLHANDLE record, const char* id, json_object* reply) {
  rlSetLockMode(record, kWriteLock);
  rlBeginTransaction(record);
  rlClearRecord(record);
  return seekRecordById(record, recordIdOf(id), reply);
}

// PUT: every field but the identity becomes null before the body applies.
int resetFields(RLHANDLE record, json_object* reply) {
  const char* identity = rlGetIdentityFieldName(record);
  for (int i = rlGetFieldCount(record) - 1; i >= 0; --i) {
    if (identity && std::strcmp(rlGetFieldName(rlGetField(record, i)), identity) == 0) continue;
    int rc = rlClearField(record, i);
    if (rc != 0) return setError(reply, rc, "field reset failed", 500);
  }
  return 200;
}

int putRecord(RLHANDLE record, const char* id, json_object* body, json_object* reply, bool patch) {
  int status = seekForWrite(record, id, reply);
  if (status == 200 && !patch) status = resetFields(record, reply);
  if (status == 200) status = jsonToRecord(record, body, reply, "request body");
  if (status == 200) {
    int rc = rlWriteRecord(record);
    if (rc != 0) status = setError(reply, rc, "record write failed", writeStatus(rc));
  }
  return endTransaction(record, status, reply);
}

int deleteRecord(RLHANDLE record, const char* id, json_object* reply) {
  int status = seekForWrite(record, id, reply);
  if (status == 200) {
    int rc = rlDeleteRecord(record);
    if (rc != 0) status = setError(reply, rc, "record delete failed", 500);
  }
  return endTransaction(record, status, reply);
}

}  // namespace

int handleRecord(RLHANDLE database, const char* table, const char* id, int method, json_object* body,
                 json_object* reply) {
  int status;
  RLHANDLE record = openTableRecord(database, table, &status, reply);
  if (!record) return status;
  switch (method) {
    case WEBAPP_METHOD_GET:
      status = getRecord(record, id, reply);
      break;
    case WEBAPP_METHOD_POST:
      status = postRecord(record, body, reply);
      break;
    case WEBAPP_METHOD_PUT:
    case WEBAPP_METHOD_PATCH:
      status = putRecord(record, id, body, reply, method == WEBAPP_METHOD_PATCH);
      break;
    case WEBAPP_METHOD_DELETE:
      status = deleteRecord(record, id, reply);
      break;
    default:
      status = setError(reply, kNotImplemented, "Record request not yet implemented", 501);
  }
  closeTableRecord(record);
  return status;
}

}  // namespace gannet
