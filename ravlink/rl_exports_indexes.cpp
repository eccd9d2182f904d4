// Exported functions on index and segment definitions: thin adapters over
// the working definition's changes (rl_definitions.cpp), stored as the
// field changes are.
#include "rl_core.h"

using namespace ravlink_detail;

namespace {

Held<ZVIndex> indexHandle(RLHANDLE h) { return handleAs<ZVIndex>(h); }
// The field of a segment call, looked up while the index's session is held.
Held<ZVField> segmentFieldHandle(RLHANDLE h) { return Held<ZVField>(h, Held<ZVField>::Wait::kNever); }
Held<ZVSegment> segmentHandle(RLHANDLE h) { return handleAs<ZVSegment>(h); }

}  // namespace

extern "C" {

RLHANDLE rlAddIndex(RLHANDLE table, const char* name, int keyType, int duplicates, int nullKey) {
  auto t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    checkNewIndexName(Access::definition(t), name);
    return t->AddIndex(name, keyType, duplicates, nullKey)->GetHandle();
  });
}

// Index files are the engine's: an index lives in its table's database file.
int rlSetIndexFilePath(RLHANDLE index, const char* directory, const char* fileName) {
  return indexHandle(index).get() ? RL_OK : RL_BAD_HANDLE;
}

int rlSetIndexFileName(RLHANDLE index, const char* name) { return indexHandle(index).get() ? RL_OK : RL_BAD_HANDLE; }

int rlSetIndexDistinctCount(RLHANDLE index, int on) { return indexHandle(index).get() ? RL_OK : RL_BAD_HANDLE; }

// The condition is checked against the working definition now and stored
// as given; the index then holds only the rows it accepts.
int rlSetIndexCondition(RLHANDLE index, const char* expression) {
  auto ix = indexHandle(index);
  return codeOf(ix, [&] { setIndexCondition(ix, expression); });
}

int rlGetIndexCondition(RLHANDLE index, char* buffer, int size) {
  auto ix = indexHandle(index);
  int copied = RL_OK;
  int rc = codeOf(ix, [&] { copied = copyOut(liveIndexDef(ix).condition, buffer, size); });
  return rc != RL_OK ? rc : copied;
}

RLHANDLE rlAddSegment(RLHANDLE index, RLHANDLE field, int mode) {
  auto ix = indexHandle(index);
  auto f = segmentFieldHandle(field);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] {
    if (!f && !f.heldElsewhere()) fail(RL_BAD_HANDLE, "No such field");
    return ix->AddSegment(f, mode)->GetHandle();
  });
}

// An ascending segment over the values of one key inside a JSON field.
RLHANDLE rlAddJsonSegment(RLHANDLE index, RLHANDLE field, const char* key, int type, int size) {
  auto ix = indexHandle(index);
  auto f = segmentFieldHandle(field);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] {
    int position = addJsonSegmentDef(ix, f, key, type, size);
    Access::refreshObjects(t);
    return ix->GetSegment(position)->GetHandle();
  });
}

int rlGetIndexNumber(RLHANDLE index, int* number) {
  auto ix = indexHandle(index);
  return codeOf(ix, [&] {
    liveIndexDef(ix);
    if (number) *number = ix->GetNumber();
  });
}

int rlGetIndexCount(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? t->GetIndexCount() : 0;
}

RLHANDLE rlGetIndex(RLHANDLE table, int number) {
  auto t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    if (number < 0 || number >= t->GetIndexCount()) fail(RL_UNKNOWN_INDEX, "No index " + std::to_string(number));
    return t->GetIndex(number)->GetHandle();
  });
}

const char* rlGetIndexName(RLHANDLE index) {
  auto ix = indexHandle(index);
  return ix ? ix->GetName() : nullptr;
}

RLHANDLE rlGetIndexByName(RLHANDLE table, const char* name) {
  auto t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] { return t->GetIndex(definedIndexNumber(Access::definition(t), name))->GetHandle(); });
}

int rlGetIndexNumberByName(RLHANDLE table, const char* name) {
  auto t = handleAs<ZVTable>(table);
  if (!t) return -RL_BAD_HANDLE;
  int n = -1;
  int rc = codeOf(t, [&] { n = definedIndexNumber(Access::definition(t), name); });
  return rc == RL_OK ? n : -rc;
}

int rlDeleteIndex(RLHANDLE table, int number) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(t, [&] { deleteIndexDef(Access::definition(t), number); });
}

int rlGetIndexDuplicateFlag(RLHANDLE index) {
  auto ix = indexHandle(index);
  return ix ? ix->GetDuplicates() : 0;
}

int rlSetIndexDuplicateFlag(RLHANDLE index, int duplicates) {
  auto ix = indexHandle(index);
  return codeOf(ix, [&] { liveIndexDef(ix).duplicates = duplicates ? 1 : 0; });
}

int rlGetSegmentCount(RLHANDLE index) {
  auto ix = indexHandle(index);
  return ix ? ix->GetSegmentCount() : 0;
}

RLHANDLE rlGetSegment(RLHANDLE index, int position) {
  auto ix = indexHandle(index);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] { return ix->GetSegment(position)->GetHandle(); });
}

RLHANDLE rlGetSegmentField(RLHANDLE segment) {
  auto s = segmentHandle(segment);
  int n = s ? segmentFieldNumber(s) : -1;
  return n >= 0 ? Access::table(s)->GetField(n)->GetHandle() : nullptr;
}

RLHANDLE rlGetSegmentFieldXtd(RLHANDLE segment) { return rlGetSegmentField(segment); }

const char* rlGetSegmentFieldName(RLHANDLE segment) {
  auto s = segmentHandle(segment);
  return s ? s->GetFieldName() : nullptr;
}

int rlGetSegmentMode(RLHANDLE segment) {
  auto s = segmentHandle(segment);
  return s ? s->GetMode() : 0;
}

int rlGetJsonSegmentInfo(RLHANDLE segment, char* key, int keySize, int* type, int* size) {
  auto s = segmentHandle(segment);
  int copied = RL_OK;
  int rc = codeOf(s, [&] {
    const SegmentDef& seg = jsonSegmentDef(s);
    if (type) *type = seg.jsonType;
    if (size) *size = seg.jsonSize;
    copied = copyOut(seg.jsonKey, key, keySize);
  });
  return rc != RL_OK ? rc : copied;
}

int rlDeleteSegment(RLHANDLE index, int position) {
  auto ix = indexHandle(index);
  return codeOf(ix, [&] { deleteSegmentDef(ix, position); });
}

RLHANDLE rlInsertSegment(RLHANDLE index, int position, RLHANDLE field, int mode) {
  auto ix = indexHandle(index);
  auto f = segmentFieldHandle(field);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] {
    insertSegmentDef(ix, position, f, mode);
    Access::refreshObjects(t);
    return ix->GetSegment(position)->GetHandle();
  });
}

}  // extern "C"
