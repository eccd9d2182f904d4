// Table creation, alteration and rebuild. A creation answers when it is
// done; an alteration or rebuild makes its changes ready on the request
// thread and hands the open table to a worker thread, which applies them and
// leaves the outcome in the slot's progress (100, or the negated code). A
// creation, alteration or rebuild that fails or is stopped changes nothing:
// its transaction is aborted.
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "VOKTBasic.h"
#include "avocet.h"
#include "appkit.h"

namespace avocet {

namespace {

constexpr int kCreateMessageSize = 88;
constexpr int kAlterMessageSize = 64;
constexpr int kConditionSize = 1024;
constexpr int kAlterTableMode = 3;

// The slot whose alteration runs on this thread, for the callback, which gets only the table.
thread_local Slot* alteringSlot = nullptr;

struct Failure {
  int code;
  std::string message;
};

// ---- definitions read from the request ----------------------------------------------------

int createModeOf(json_object* properties) {
  static const std::pair<const char*, int> kBits[] = {{"preimg", 1},      {"trnlog", 2},      {"writethru", 4},
                                                      {"checklock", 8},   {"norecbyt", 32},   {"norowid", 64},
                                                      {"checkread", 128}, {"hugefile", 256},  {"nodelfld", 512},
                                                      {"nonulfld", 1024}, {"compress", 8192}, {"flexrec", 65536}};
  int mode = 0;
  for (const auto& [key, bit] : kBits) {
    bool set = false;
    if (memberBool(properties, key, &set) && set) mode |= bit;
  }
  return mode;
}

int32_t intOr(json_object* object, const char* key, int32_t fallback) {
  int32_t value = fallback;
  memberInt(object, key, &value);
  return value;
}

int64_t bigintOr(json_object* object, const char* key, int64_t fallback) {
  int64_t value = fallback;
  memberBigint(object, key, &value);
  return value;
}

bool boolOr(json_object* object, const char* key) {
  bool value = false;
  memberBool(object, key, &value);
  return value;
}

json_object* arrayOf(json_object* object, const char* key) {
  json_object* value = nullptr;
  if (!zvJsonGetByName(object, key, &value) || !json_object_is_type(value, json_type_array)) return nullptr;
  return value;
}

template <typename Each>
void forEach(json_object* array, Each each) {
  int count = array ? zvJsonArrayLength(array) : 0;
  for (int i = 0; i < count; ++i) each(zvJsonArrayGetIdx(array, i), i);
}

// The number-only and identity settings of a field definition; 0, or the
// engine's code when it refuses the identity (a field silently left without
// it would be a failure reported as success).
int setFieldDetails(RLHANDLE table, RLHANDLE field, json_object* definition, int type, const char* name) {
  if (type == kTypeNumber) {
    api.zvdbSetFieldScale(field, intOr(definition, "scale", 0));
    api.zvdbSetFieldPrecision(field, intOr(definition, "precision", 0));
  }
  if (!boolOr(definition, "identity")) return 0;
  return api.zvdbSetIdentityField(table, name, bigintOr(definition, "seed", 0), bigintOr(definition, "increment", 0));
}

// Adds a field; the result of its last setting, or a failure.
bool addField(RLHANDLE table, json_object* definition, size_t messageSize, int* last, Failure* failure) {
  const char* name = textOr(definition, "name", "");
  int type = fieldTypeCode(textOr(definition, "type", ""));
  RLHANDLE field = api.zvdbAddField(table, name, type, intOr(definition, "length", 0));
  if (!field) {
    *failure = {-1, boundedMessage(messageSize, "Addfield error on field: %s", name)};
    return false;
  }
  int r = setFieldDetails(table, field, definition, type, name);
  if (r != 0) {
    *failure = {r, boundedMessage(messageSize, "Addfield error on field: %s", name)};
    return false;
  }
  *last = api.zvdbSetFieldBinaryFlag(field, binaryFlagCode(textOr(definition, "binFlag", "")));
  api.zvdbSetFieldNullFlag(field, boolOr(definition, "nulls") ? 1 : 0);
  return true;
}

// Adds the index's segments; jsonNames are "JSONkey", "JSONtype", "JSONsize" or "key", "type", "size".
bool addSegments(RLHANDLE database, RLHANDLE table, RLHANDLE index, json_object* segments, const char* const* jsonNames,
                 size_t messageSize, Failure* failure) {
  bool ok = true;
  forEach(segments, [&](json_object* segment, int j) {
    if (!ok) return;
    RLHANDLE field = api.zvdbGetFieldByName(table, textOr(segment, "fieldName", ""));
    RLHANDLE added = nullptr;
    if (field && api.zvdbGetFieldType(field) == kTypeJson) {
      added = api.zvdbAddJSONSegment(index, field, textOr(segment, jsonNames[0], ""),
                                     fieldTypeCode(textOr(segment, jsonNames[1], "")), intOr(segment, jsonNames[2], 0));
    } else {
      int mode = segmentModeCode(textOr(segment, "segmentMode", ""), boolOr(segment, "descending"));
      added = api.zvdbAddSegment(index, field, mode);
    }
    if (!added) {
      *failure = {-1, boundedMessage(messageSize, "Error %d on Segment %d creation.", api.zvdbGetError(database), j)};
      ok = false;
    }
  });
  return ok;
}

void setIndexOptions(RLHANDLE index, json_object* definition) {
  int32_t emptyChar = intOr(definition, "emptyChar", -1);
  if (emptyChar >= 0) api.zvdbSetIndexEmptyChar(index, emptyChar);
  const char* condition = textOr(definition, "condition", "");
  if (*condition) api.zvdbSetIndexCndxExpr(index, condition);
}

RLHANDLE addIndex(RLHANDLE table, json_object* definition) {
  return api.zvdbAddIndex(table, textOr(definition, "name", ""), keyTypeCode(textOr(definition, "type", "")),
                          boolOr(definition, "dupAllowed") ? 1 : 0, boolOr(definition, "nullAllowed") ? 1 : 0);
}

// ---- creation ----------------------------------------------------------------------------

const char* const kCreateJsonNames[] = {"JSONkey", "JSONtype", "JSONsize"};
const char* const kAlterJsonNames[] = {"key", "type", "size"};

bool defineTable(RLHANDLE database, RLHANDLE table, json_object* tableInfo, json_object* properties, Failure* failure) {
  const char* path = textOr(properties, "path", "");
  // The engine refuses a path outside its data directory.
  int r = api.zvdbSetTablePath(table, path);
  if (r != 0) {
    *failure = {r, "Creation error"};
    return false;
  }
  api.zvdbSetTableExtension(table, textOr(properties, "datExt", ""));
  api.zvdbSetIndexExtension(table, textOr(properties, "idxExt", ""));
  api.zvdbSetTableDefaultDataExtentSize(table, intOr(properties, "datExtSize", 0));
  api.zvdbSetTableDefaultIndexExtentSize(table, intOr(properties, "idxExtSize", 0));
  api.zvdbSetPadChar(table, char(intOr(properties, "padChar", 0)), char(intOr(properties, "fieldDelimiter", 0)));
  bool ok = true;
  int last = 0;
  forEach(arrayOf(tableInfo, "fields"), [&](json_object* field, int) {
    if (ok) ok = addField(table, field, kCreateMessageSize, &last, failure);
  });
  forEach(arrayOf(tableInfo, "indexes"), [&](json_object* definition, int k) {
    if (!ok) return;
    RLHANDLE index = addIndex(table, definition);
    if (!index) {
      *failure = {-1,
                  boundedMessage(kCreateMessageSize, "Error %d on Index %d creation.", api.zvdbGetError(database), k)};
      ok = false;
      return;
    }
    api.zvdbSetIndexFilename(index, path, textOr(definition, "fileName", ""));
    setIndexOptions(index, definition);
    ok = addSegments(database, table, index, arrayOf(definition, "segments"), kCreateJsonNames, kCreateMessageSize,
                     failure);
  });
  return ok;
}

// The three checks of a creation or alteration; false with the reply set.
bool checkTableRequest(json_object* request, json_object* reply, const char** database, json_object** tableInfo,
                       json_object** properties) {
  if (!memberText(request, "database", database)) {
    zvJsonSetError(999, "Missing database", reply);
    return false;
  }
  if (!zvJsonGetByName(request, "tableInfo", tableInfo) || !json_object_is_type(*tableInfo, json_type_object)) {
    zvJsonSetError(999, "Missing tableInfo", reply);
    return false;
  }
  if (!zvJsonGetByName(*tableInfo, "properties", properties) || !json_object_is_type(*properties, json_type_object)) {
    zvJsonSetError(999, "Missing properties", reply);
    return false;
  }
  return true;
}

// ---- alteration --------------------------------------------------------------------------

bool changeFields(RLHANDLE table, json_object* fields, int* last, Failure* failure) {
  bool ok = true;
  forEach(arrayOf(fields, "newFields"), [&](json_object* field, int) {
    if (ok) ok = addField(table, field, kAlterMessageSize, last, failure);
  });
  if (!ok) return false;
  forEach(arrayOf(fields, "removedFields"),
          [&](json_object* field, int) { api.zvdbDelFieldByName(table, textOr(field, "name", "")); });
  forEach(arrayOf(fields, "updatedFields"), [&](json_object* definition, int) {
    if (!ok) return;
    const char* oldName = textOr(definition, "oldName", "");
    RLHANDLE field = api.zvdbGetFieldByName(table, oldName);
    if (!field) {
      *failure = {-1, boundedMessage(kAlterMessageSize, "Field %s not found.", oldName)};
      ok = false;
      return;
    }
    const char* name = textOr(definition, "name", "");
    int type = fieldTypeCode(textOr(definition, "type", ""));
    api.zvdbSetFieldName(field, name);
    api.zvdbSetFieldType(field, type);
    api.zvdbSetFieldLength(field, intOr(definition, "length", 0));
    *last = api.zvdbSetFieldNullFlag(field, boolOr(definition, "nulls") ? 1 : 0);
    int r = setFieldDetails(table, field, definition, type, name);
    if (r != 0) {
      *failure = {r, boundedMessage(kAlterMessageSize, "Addfield error on field: %s", name)};
      ok = false;
      return;
    }
    *last = api.zvdbSetFieldBinaryFlag(field, binaryFlagCode(textOr(definition, "binFlag", "")));
  });
  if (!ok) return false;
  forEach(arrayOf(fields, "movedFields"), [&](json_object* move, int) {
    if (!ok) return;
    const char* name = textOr(move, "name", "");
    RLHANDLE field = api.zvdbGetFieldByName(table, name);
    if (!field) {
      *failure = {-1, boundedMessage(kAlterMessageSize, "Field %s not found.", name)};
      ok = false;
      return;
    }
    api.zvdbMoveField(field, intOr(move, "index", 0));
  });
  return ok;
}

bool updateIndex(RLHANDLE database, RLHANDLE table, json_object* definition, Failure* failure) {
  const char* oldName = textOr(definition, "oldName", "");
  int number = api.zvdbGetIndexNbrByName(table, oldName);
  RLHANDLE index = number >= 0 ? api.zvdbGetIndex(table, number) : nullptr;
  if (!index) {
    *failure = {-1, boundedMessage(kAlterMessageSize, "Index %s not found.", oldName)};
    return false;
  }
  api.zvdbSetIndexName(index, textOr(definition, "name", ""));
  api.zvdbSetIndexKeyType(index, keyTypeCode(textOr(definition, "type", "")));
  api.zvdbSetIndexDuplicateFlag(index, boolOr(definition, "dupAllowed") ? 1 : 0);
  api.zvdbSetIndexNullFlag(index, boolOr(definition, "nullAllowed") ? 1 : 0);
  int32_t emptyChar = intOr(definition, "emptyChar", -1);
  if (emptyChar >= 0) api.zvdbSetIndexEmptyChar(index, emptyChar);
  char stored[kConditionSize] = {};
  api.zvdbGetCndxIndex(table, number, stored, kConditionSize);
  const char* condition = textOr(definition, "condition", "");
  if (strcmp(stored, condition) != 0) api.zvdbSetIndexCndxExpr(index, condition);
  // Removed from the last: the engine moves the following segments up after each removal.
  for (int j = api.zvdbGetIndexSegmentCount(index) - 1; j >= 0; --j) api.zvdbDelSegment(index, j);
  return addSegments(database, table, index, arrayOf(definition, "newSegments"), kAlterJsonNames, kAlterMessageSize,
                     failure);
}

bool changeIndexes(RLHANDLE database, RLHANDLE table, json_object* indexes, Failure* failure) {
  bool ok = true;
  forEach(arrayOf(indexes, "newIndexes"), [&](json_object* definition, int k) {
    if (!ok) return;
    RLHANDLE index = addIndex(table, definition);
    if (!index) {
      *failure = {-1,
                  boundedMessage(kAlterMessageSize, "Error %d on Index %d creation.", api.zvdbGetError(database), k)};
      ok = false;
      return;
    }
    setIndexOptions(index, definition);
    ok = addSegments(database, table, index, arrayOf(definition, "newSegments"), kAlterJsonNames, kAlterMessageSize,
                     failure);
  });
  forEach(arrayOf(indexes, "updatedIndexes"), [&](json_object* definition, int) {
    if (ok) ok = updateIndex(database, table, definition, failure);
  });
  forEach(arrayOf(indexes, "removedIndexes"), [&](json_object* definition, int) {
    if (!ok) return;
    int number = api.zvdbGetIndexNbrByName(table, textOr(definition, "name", ""));
    int r = api.zvdbDelIndex(table, number);
    if (r != 0) {
      *failure = {-1, boundedMessage(kAlterMessageSize, "Error %d on Index %d delete.", r, number)};
      ok = false;
    }
  });
  return ok;
}

// ---- workers -----------------------------------------------------------------------------

int32_t alterCallback(RLHANDLE table) {
  int32_t percent = api.rlGetAlterProgress(table);
  trace("AlterCallBack %d \n", percent);
  Slot* slot = alteringSlot;
  if (slot && api.zvdbGetSessionHandle(table) == slot->session) slot->progress = percent;
  return stopRequested() ? 1 : 0;  // asked by term: the alteration stops and changes nothing
}

void rebuildCallback(int32_t number, char phase, const char* text) {
  trace("\nRebuild Callback %d %c %s ", number, phase, text ? text : "");
}

// Ends the worker's transaction and releases its handles; the code that ends the work.
int finishWork(TableCommandContext& context, int rc) {
  if (rc != 0)
    api.zvdbAbort(context.table);
  else
    rc = api.zvdbCommit(context.table);
  api.zvdbFreeTable(context.table);
  api.zvdbDisconnect(context.database);
  api.zvdbFreeDatabase(context.database);
  context.table = context.database = nullptr;
  return rc;
}

void endWork(TableCommandContext& context, int rc) {
  Slot& slot = *context.slot;
  slot.progress = rc == 0 ? 100 : -std::abs(int64_t(rc));
  trace("\nEnd\n");
  // The page learns the end by polling; the log keeps it too.
  appkit::toolLog(rc == 0 ? std::string("avocet: the table's alteration or rebuild ended")
                          : "avocet: the table's alteration or rebuild failed with " + std::to_string(rc),
                  rc);
  api.zvdbSetQuarnOWNER(-1);
  slot.busy = false;  // last: the router may reuse the context from here on
}

void alterWorker(TableCommandContext* context) {
  Slot& slot = *context->slot;
  api.zvdbSetQuarnOWNER(slot.owner);
  int rc = RL_NOT_OPEN;
  if (api.zvdbGetSessionHandle(context->table)) {
    alteringSlot = &slot;
    api.zvdbSetCallback(context->table, RL_BR_CALLBACK_ALTER, alterCallback);
    rc = context->kind == 1 ? api.zvdbUpdateCreateMode(context->table, context->mode)
                            : api.zvdbAlterTable(context->table, context->mode);
    api.zvdbSetCallback(context->table, RL_BR_CALLBACK_ALTER, nullptr);
    alteringSlot = nullptr;
  }
  slot.progress = 0;
  endWork(*context, finishWork(*context, rc));
}

void rebuildWorker(TableCommandContext* context) {
  Slot& slot = *context->slot;
  api.zvdbSetQuarnOWNER(slot.owner);
  int rc = RL_NOT_OPEN;
  if (api.zvdbGetSessionHandle(context->table)) {
    trace("\nStart");
    api.zvdbSetCallbackOnRebuild(rebuildCallback, context->rebuildStep);
    rc = api.zvdbRebuildTable(context->table, context->mode);
    api.zvdbSetCallbackOnRebuild(nullptr, 0);
  }
  slot.progress = 0;
  endWork(*context, finishWork(*context, rc));
}

// Starts the worker with the slot busy; 0, or the system's code when no thread can be had.
int startWorker(TableCommandContext& context, void (*work)(TableCommandContext*)) {
  context.slot->busy = true;
  try {
    context.worker = std::thread(work, &context);
    return 0;
  } catch (const std::system_error& e) {
    context.slot->busy = false;
    return e.code().value() ? e.code().value() : EAGAIN;
  }
}

}  // namespace

void createTable(TableCommandContext& context, json_object* reply, json_object* request) {
  const char* database = nullptr;
  json_object* tableInfo = nullptr;
  json_object* properties = nullptr;
  if (!checkTableRequest(request, reply, &database, &tableInfo, &properties)) return;
  TableHandles handles(context.slot->session);
  int rc = handles.allocDatabase() ? handles.connect(database) : api.zvdbGetError(handles.session());
  if (rc == 0 && !handles.allocTable()) rc = api.zvdbGetError(handles.database);
  if (rc != 0) {
    zvJsonSetError(rc, "Creation error", reply);
    return;
  }
  api.zvdbBegin(handles.table);
  Failure failure{0, ""};
  if (defineTable(handles.database, handles.table, tableInfo, properties, &failure))
    rc = api.zvdbCreateTable(handles.table, textOr(properties, "name", ""), createModeOf(properties));
  // A creation that stopped or failed leaves nothing behind.
  if (failure.code != 0 || rc != 0)
    api.zvdbAbort(handles.table);
  else
    rc = api.zvdbCommit(handles.table);
  if (failure.code != 0)
    zvJsonSetError(failure.code, failure.message.c_str(), reply);
  else if (rc != 0)
    zvJsonSetError(rc, "Creation error", reply);
  else
    zvJsonSetSuccess(reply);
}

void alterTable(TableCommandContext& context, json_object* reply, json_object* request) {
  const char* database = nullptr;
  json_object* tableInfo = nullptr;
  json_object* properties = nullptr;
  if (!checkTableRequest(request, reply, &database, &tableInfo, &properties)) return;
  Slot& slot = *context.slot;
  slot.progress = 0;
  TableHandles handles(slot.session);
  if (!handles.allocDatabase() || handles.connect(database) != 0 || !handles.allocTable()) {
    zvJsonSetError(api.zvdbGetError(slot.session), "Update error", reply);
    return;
  }
  int last = handles.open(textOr(properties, "name", ""), RL_BR_OPEN_EXCLUSIVE, request);
  if (last != 0) {
    zvJsonSetError(-1, boundedMessage(kAlterMessageSize, "Error %d opening Table.", last).c_str(), reply);
    return;
  }
  int current = api.zvdbGetTableCreateMode(handles.table);
  api.zvdbBegin(handles.table);
  int mode = createModeOf(properties) | RL_BR_MODE_FLEXREC;
  last = api.zvdbUpdatePadChar(handles.table, char(intOr(properties, "padChar", 0)),
                               char(intOr(properties, "fieldDelimiter", 0)), 0);
  Failure failure{0, ""};
  json_object* fields = nullptr;
  json_object* indexes = nullptr;
  bool ok = last == 0;
  if (ok && zvJsonGetByName(tableInfo, "fields", &fields)) ok = changeFields(handles.table, fields, &last, &failure);
  if (ok && zvJsonGetByName(tableInfo, "indexes", &indexes))
    ok = changeIndexes(handles.database, handles.table, indexes, &failure);
  if (!ok || last != 0) {
    // Nothing of a refused alteration is kept, the pad characters included.
    api.zvdbAbort(handles.table);
    if (failure.code != 0)
      zvJsonSetError(failure.code, failure.message.c_str(), reply);
    else
      zvJsonSetError(last, "Update error", reply);
    return;
  }
  trace("\nStart\n");
  // A table keeping its create mode gets its definition altered; otherwise the
  // new mode is stored together with the definition.
  bool sameMode = current == (mode | RL_BR_MODE_VRLEN);
  context.kind = sameMode ? 2 : 1;
  context.mode = sameMode ? kAlterTableMode : mode;
  handles.handOver(context);
  int r = startWorker(context, alterWorker);
  if (r != 0) {
    finishWork(context, r);
    zvJsonSetError(r, "Cannot create alteration thread", reply);
    return;
  }
  zvJsonSetSuccess(reply);
}

void rebuildTable(TableCommandContext& context, json_object* reply, json_object* request) {
  const char* database = nullptr;
  const char* name = nullptr;
  if (!memberText(request, "database", &database)) {
    zvJsonSetError(999, "Missing database", reply);
    return;
  }
  if (!memberText(request, "name", &name)) {
    zvJsonSetError(999, "Missing name", reply);
    return;
  }
  Slot& slot = *context.slot;
  slot.progress = 0;
  TableHandles handles(slot.session);
  if (!handles.allocDatabase() || handles.connect(database) != 0 || !handles.allocTable()) {
    zvJsonSetError(api.zvdbGetError(slot.session), "Rebuild error", reply);
    return;
  }
  int rc = handles.open(name, RL_BR_OPEN_EXCLUSIVE, request);
  if (rc != 0) {
    zvJsonSetError(rc, "Rebuild error", reply);
    return;
  }
  int64_t count = 0;
  if (handles.allocRecord()) api.zvdbGetRecordCount(handles.record, &count);
  context.mode = 0;
  context.rebuildStep = uint16_t((count % 65536) / 20);
  handles.handOver(context);  // freeing the table frees the record too
  int r = startWorker(context, rebuildWorker);
  if (r != 0) {
    finishWork(context, r);
    zvJsonSetError(r, "Cannot create rebuild thread", reply);
    return;
  }
  zvJsonSetSuccess(reply);
}

}  // namespace avocet
