// Client functions over handles: field, index, segment and partition
// definitions. Changes go to the table object's working definition and are
// stored by rlCreateTable or rlAlterTable; freeing the table drops them.
#include "rl_core.h"

#include <cstring>

using namespace ravlink_detail;

namespace {

TableDef& workingDefinition(ZVTable* t) { return Access::definition(t); }

int numberOf(ZVField* f) { return f->GetNumber(); }

// The definition index of an index object, checked against the working definition.
IndexDef& liveIndexDef(ZVIndex* ix) {
  TableDef& d = workingDefinition(Access::table(ix));
  int n = ix->GetNumber();
  if (n < 0 || size_t(n) >= d.indexes.size()) fail(RL_UNKNOWN_INDEX, "The index is no longer part of the definition");
  return d.indexes[n];
}

FieldDef& liveFieldDef(ZVField* f) {
  int n;
  return Access::definition(f, &n).fields[n];
}

// Field numbers move when a field is inserted, moved or deleted: segments
// and the identity follow their fields.
void renumberFields(TableDef& d, const std::vector<int>& newNumberOf) {
  for (auto& ix : d.indexes) {
    std::vector<SegmentDef> kept;
    for (auto seg : ix.segments)
      if (newNumberOf[seg.field] >= 0) {
        seg.field = newNumberOf[seg.field];
        kept.push_back(seg);
      }
    ix.segments = kept;
  }
  std::vector<IndexDef> indexes;
  for (size_t i = 0; i < d.indexes.size(); ++i) {
    if (!d.indexes[i].segments.empty()) {
      if (d.partIndex == int(i)) d.partIndex = int(indexes.size());
      indexes.push_back(d.indexes[i]);
    } else if (d.partIndex == int(i)) {
      d.partIndex = -1;
    }
  }
  d.indexes = indexes;
  if (d.identity >= 0) d.identity = newNumberOf[d.identity];
}

// The order of fields after moving the field at `from` to `to`.
std::vector<int> movedNumbers(size_t count, int from, int to) {
  std::vector<int> order;
  for (size_t i = 0; i < count; ++i)
    if (int(i) != from) order.push_back(int(i));
  order.insert(order.begin() + to, from);
  std::vector<int> newNumberOf(count);
  for (size_t i = 0; i < order.size(); ++i) newNumberOf[order[i]] = int(i);
  return newNumberOf;
}

FieldDef newField(const TableDef& d, const char* name, int type, int length) {
  std::string n = name ? name : "";
  checkFieldName(n, "field");
  if (d.fieldNumber(n) >= 0) fail(RL_BAD_NAME, "Field [" + n + "] already exists");
  if (type <= 0 || length < 0) fail(RL_BAD_ARGUMENT, "Field [" + n + "] has a bad type or length");
  FieldDef f;
  f.name = n;
  f.type = type;
  f.length = length;
  return f;
}

// A handle made under the parent's session; on failure the parent keeps the code.
template <class Fn>
RLHANDLE handleFrom(ZVBase* parent, Fn&& make) {
  if (!parent) return nullptr;
  RLHANDLE result = nullptr;
  codeOf(parent, [&] { result = make(); });
  return result;
}

ZVIndex* indexHandle(RLHANDLE h) { return handleAs<ZVIndex>(h); }
ZVField* fieldHandle(RLHANDLE h) { return handleAs<ZVField>(h); }
ZVSegment* segmentHandle(RLHANDLE h) { return handleAs<ZVSegment>(h); }

// Field definition of a segment handle, or null.
const FieldDef* segmentField(ZVSegment* s, int* fieldNumber) {
  if (!s) return nullptr;
  ZVTable* t = Access::table(s);
  const char* name = s->GetFieldName();
  TableDef& d = workingDefinition(t);
  int n = d.fieldNumber(name ? name : "");
  if (n < 0) return nullptr;
  *fieldNumber = n;
  return &d.fields[n];
}

}  // namespace

extern "C" {

RLHANDLE rlAddField(RLHANDLE table, const char* name, int type, int length) {
  ZVTable* t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] { return t->AddField(name, type, length)->GetHandle(); });
}

RLHANDLE rlInsertField(RLHANDLE table, int position, const char* name, int type, int length) {
  ZVTable* t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    TableDef& d = workingDefinition(t);
    if (position < 0 || size_t(position) > d.fields.size()) fail(RL_BAD_ARGUMENT, "Field position out of range");
    FieldDef f = newField(d, name, type, length);
    d.fields.push_back(f);
    renumberFields(d, movedNumbers(d.fields.size(), int(d.fields.size() - 1), position));
    std::rotate(d.fields.begin() + position, d.fields.end() - 1, d.fields.end());
    Access::refreshObjects(t);
    return t->GetField(position)->GetHandle();
  });
}

int rlMoveField(RLHANDLE field, int position) {
  ZVField* f = fieldHandle(field);
  return codeOf(f, [&] {
    ZVTable* t = Access::table(f);
    TableDef& d = workingDefinition(t);
    int from = numberOf(f);
    if (from < 0 || size_t(from) >= d.fields.size()) fail(RL_UNKNOWN_FIELD, "The field is no longer defined");
    if (position < 0 || size_t(position) >= d.fields.size()) fail(RL_BAD_ARGUMENT, "Field position out of range");
    if (position == from) return;
    FieldDef moving = d.fields[from];
    renumberFields(d, movedNumbers(d.fields.size(), from, position));
    d.fields.erase(d.fields.begin() + from);
    d.fields.insert(d.fields.begin() + position, moving);
  });
}

int rlDeleteField(RLHANDLE table, int position) {
  ZVTable* t = handleAs<ZVTable>(table);
  return codeOf(t, [&] {
    TableDef& d = workingDefinition(t);
    if (position < 0 || size_t(position) >= d.fields.size()) fail(RL_UNKNOWN_FIELD, "No field at that position");
    std::vector<int> newNumberOf(d.fields.size());
    for (size_t i = 0; i < d.fields.size(); ++i)
      newNumberOf[i] = int(i) == position ? -1 : int(i) > position ? int(i) - 1 : int(i);
    renumberFields(d, newNumberOf);
    d.fields.erase(d.fields.begin() + position);
  });
}

RLHANDLE rlGetFieldByName(RLHANDLE tableOrRecord, const char* name) {
  ZVTable* t = clientTableOf(tableOrRecord);
  ZVBase* noted = handleAs<ZVBase>(tableOrRecord);
  if (!t || !noted) return nullptr;
  RLHANDLE result = nullptr;
  codeOf(noted, [&] {
    int n = workingDefinition(t).fieldNumber(name ? name : "");
    if (n < 0) fail(RL_UNKNOWN_FIELD, "Field [" + std::string(name ? name : "") + "] not found");
    result = t->GetField(n)->GetHandle();
  });
  return result;
}

int rlSetFieldPrecision(RLHANDLE field, int precision) {
  ZVField* f = fieldHandle(field);
  return codeOf(f, [&] {
    if (precision < 0 || precision > 0x7fff) fail(RL_BAD_ARGUMENT, "Bad field precision");
    liveFieldDef(f).precision = precision;
  });
}

int rlGetFieldPrecision(RLHANDLE field) {
  ZVField* f = fieldHandle(field);
  int precision = 0;
  codeOf(f, [&] { precision = liveFieldDef(f).precision; });
  return precision;
}

int rlSetFieldScale(RLHANDLE field, int scale) {
  ZVField* f = fieldHandle(field);
  return codeOf(f, [&] { f->SetScale(scale); });
}

int rlGetFieldScale(RLHANDLE field) {
  ZVField* f = fieldHandle(field);
  return f ? f->GetScale() : 0;
}

int rlGetFieldAutoTimestamp(RLHANDLE field, int* onCreate, int* onUpdate) {
  ZVField* f = fieldHandle(field);
  return codeOf(f, [&] {
    const FieldDef& fd = liveFieldDef(f);
    if (onCreate) *onCreate = fd.autoTimestamp ? 1 : 0;
    if (onUpdate) *onUpdate = fd.autoUpdate ? 1 : 0;
  });
}

const char* rlGetIdentityFieldName(RLHANDLE tableOrRecord) {
  ZVTable* t = clientTableOf(tableOrRecord);
  if (!t) return nullptr;
  const TableDef& d = workingDefinition(t);
  return d.identity >= 0 && size_t(d.identity) < d.fields.size() ? d.fields[d.identity].name.c_str() : nullptr;
}

int rlGetFieldType(RLHANDLE field) {
  ZVField* f = fieldHandle(field);
  return f ? f->GetType() : 0;
}

const char* rlGetFieldName(RLHANDLE field) {
  ZVField* f = fieldHandle(field);
  return f ? f->GetName() : nullptr;
}

int rlGetFieldLength(RLHANDLE field) {
  ZVField* f = fieldHandle(field);
  return f ? f->GetLength() : 0;
}

int rlIsFieldVariable(RLHANDLE field) {
  ZVField* f = fieldHandle(field);
  if (!f) return 0;
  int type = f->GetType();
  return type == 146 || type == 154 || type == 162 || type == 170 || type == 201 ? 1 : 0;
}

int rlGetFieldCount(RLHANDLE tableOrRecord) {
  ZVTable* t = clientTableOf(tableOrRecord);
  return t ? t->GetFieldCount() : 0;
}

RLHANDLE rlGetField(RLHANDLE tableOrRecord, int number) {
  ZVTable* t = clientTableOf(tableOrRecord);
  return handleFrom(t, [&] {
    if (number < 0 || number >= t->GetFieldCount()) fail(RL_UNKNOWN_FIELD, "No field " + std::to_string(number));
    return t->GetField(number)->GetHandle();
  });
}

int rlGetFieldNumberByName(RLHANDLE tableOrRecord, const char* name) {
  ZVTable* t = clientTableOf(tableOrRecord);
  return t && name ? Access::settledDefinition(t).fieldNumber(name) : -1;
}

// ---- indexes and segments -----------------------------------------------------------

RLHANDLE rlAddIndex(RLHANDLE table, const char* name, int keyType, int duplicates, int nullKey) {
  ZVTable* t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    std::string n = name ? name : "";
    checkFieldName(n, "index");
    if (workingDefinition(t).indexNumber(n) >= 0) fail(RL_BAD_NAME, "Index [" + n + "] already exists");
    return t->AddIndex(name, keyType, duplicates, nullKey)->GetHandle();
  });
}

// Index files are the engine's: an index lives in its table's database file.
int rlSetIndexFilePath(RLHANDLE index, const char* directory, const char* fileName) {
  return indexHandle(index) ? RL_OK : RL_BAD_HANDLE;
}

int rlSetIndexFileName(RLHANDLE index, const char* name) { return indexHandle(index) ? RL_OK : RL_BAD_HANDLE; }

int rlSetIndexDistinctCount(RLHANDLE index, int on) { return indexHandle(index) ? RL_OK : RL_BAD_HANDLE; }

// The condition is checked against the working definition now and stored
// as given; the index then holds only the rows it accepts.
int rlSetIndexCondition(RLHANDLE index, const char* expression) {
  ZVIndex* ix = indexHandle(index);
  return codeOf(ix, [&] {
    std::string text = expression ? expression : "";
    if (!text.empty()) conditionSql(text, workingDefinition(Access::table(ix)));
    liveIndexDef(ix).condition = text;
  });
}

int rlGetIndexCondition(RLHANDLE index, char* buffer, int size) {
  ZVIndex* ix = indexHandle(index);
  int copied = RL_OK;
  int rc = codeOf(ix, [&] { copied = copyOut(liveIndexDef(ix).condition, buffer, size); });
  return rc != RL_OK ? rc : copied;
}

RLHANDLE rlAddSegment(RLHANDLE index, RLHANDLE field, int mode) {
  ZVIndex* ix = indexHandle(index);
  ZVField* f = fieldHandle(field);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] {
    if (!f) fail(RL_BAD_HANDLE, "No such field");
    return ix->AddSegment(f, mode)->GetHandle();
  });
}

// An ascending segment over the values of one key inside a JSON field.
RLHANDLE rlAddJsonSegment(RLHANDLE index, RLHANDLE field, const char* key, int type, int size) {
  ZVIndex* ix = indexHandle(index);
  ZVField* f = fieldHandle(field);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] {
    if (!f || Access::table(f) != t) fail(RL_BAD_ARGUMENT, "The segment's field is not a field of this table");
    if (liveFieldDef(f).type != 259) fail(RL_BAD_ARGUMENT, "Field [" + liveFieldDef(f).name + "] is no JSON field");
    std::string path = key ? key : "";
    checkJsonKey(path);
    checkJsonKeyType(type, size);
    IndexDef& d = liveIndexDef(ix);
    SegmentDef seg{f->GetNumber(), 12};
    seg.jsonKey = path;
    seg.jsonType = type;
    seg.jsonSize = size;
    d.segments.push_back(seg);
    Access::refreshObjects(t);
    return ix->GetSegment(int(d.segments.size() - 1))->GetHandle();
  });
}

int rlGetIndexNumber(RLHANDLE index, int* number) {
  ZVIndex* ix = indexHandle(index);
  return codeOf(ix, [&] {
    liveIndexDef(ix);
    if (number) *number = ix->GetNumber();
  });
}

int rlGetIndexCount(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? t->GetIndexCount() : 0;
}

RLHANDLE rlGetIndex(RLHANDLE table, int number) {
  ZVTable* t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    if (number < 0 || number >= t->GetIndexCount()) fail(RL_UNKNOWN_INDEX, "No index " + std::to_string(number));
    return t->GetIndex(number)->GetHandle();
  });
}

const char* rlGetIndexName(RLHANDLE index) {
  ZVIndex* ix = indexHandle(index);
  return ix ? ix->GetName() : nullptr;
}

RLHANDLE rlGetIndexByName(RLHANDLE table, const char* name) {
  ZVTable* t = handleAs<ZVTable>(table);
  return handleFrom(t, [&] {
    int n = workingDefinition(t).indexNumber(name ? name : "");
    if (n < 0) fail(RL_UNKNOWN_INDEX, "Index [" + std::string(name ? name : "") + "] not found");
    return t->GetIndex(n)->GetHandle();
  });
}

int rlGetIndexNumberByName(RLHANDLE table, const char* name) {
  ZVTable* t = handleAs<ZVTable>(table);
  if (!t) return -RL_BAD_HANDLE;
  int n = -1;
  int rc = codeOf(t, [&] {
    n = workingDefinition(t).indexNumber(name ? name : "");
    if (n < 0) fail(RL_UNKNOWN_INDEX, "Index [" + std::string(name ? name : "") + "] not found");
  });
  return rc == RL_OK ? n : -rc;
}

int rlDeleteIndex(RLHANDLE table, int number) {
  ZVTable* t = handleAs<ZVTable>(table);
  return codeOf(t, [&] {
    TableDef& d = workingDefinition(t);
    if (number < 0 || size_t(number) >= d.indexes.size()) fail(RL_UNKNOWN_INDEX, "No index " + std::to_string(number));
    if (d.partIndex == number) fail(RL_BAD_ARGUMENT, "The partition index cannot be deleted");
    d.indexes.erase(d.indexes.begin() + number);
    if (d.partIndex > number) --d.partIndex;
  });
}

int rlGetIndexDuplicateFlag(RLHANDLE index) {
  ZVIndex* ix = indexHandle(index);
  return ix ? ix->GetDuplicates() : 0;
}

int rlSetIndexDuplicateFlag(RLHANDLE index, int duplicates) {
  ZVIndex* ix = indexHandle(index);
  return codeOf(ix, [&] { liveIndexDef(ix).duplicates = duplicates ? 1 : 0; });
}

int rlGetSegmentCount(RLHANDLE index) {
  ZVIndex* ix = indexHandle(index);
  return ix ? ix->GetSegmentCount() : 0;
}

RLHANDLE rlGetSegment(RLHANDLE index, int position) {
  ZVIndex* ix = indexHandle(index);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] { return ix->GetSegment(position)->GetHandle(); });
}

RLHANDLE rlGetSegmentField(RLHANDLE segment) {
  ZVSegment* s = segmentHandle(segment);
  int n = -1;
  if (!segmentField(s, &n)) return nullptr;
  return Access::table(s)->GetField(n)->GetHandle();
}

RLHANDLE rlGetSegmentFieldXtd(RLHANDLE segment) { return rlGetSegmentField(segment); }

const char* rlGetSegmentFieldName(RLHANDLE segment) {
  ZVSegment* s = segmentHandle(segment);
  return s ? s->GetFieldName() : nullptr;
}

int rlGetSegmentMode(RLHANDLE segment) {
  ZVSegment* s = segmentHandle(segment);
  return s ? s->GetMode() : 0;
}

int rlGetJsonSegmentInfo(RLHANDLE segment, char* key, int keySize, int* type, int* size) {
  ZVSegment* s = segmentHandle(segment);
  int copied = RL_OK;
  int rc = codeOf(s, [&] {
    const SegmentDef* seg = Access::segment(s);
    if (!seg || !seg->overJsonKey()) fail(RL_BAD_ARGUMENT, "The segment indexes no key of a JSON field");
    if (type) *type = seg->jsonType;
    if (size) *size = seg->jsonSize;
    copied = copyOut(seg->jsonKey, key, keySize);
  });
  return rc != RL_OK ? rc : copied;
}

int rlDeleteSegment(RLHANDLE index, int position) {
  ZVIndex* ix = indexHandle(index);
  return codeOf(ix, [&] {
    IndexDef& d = liveIndexDef(ix);
    if (position < 0 || size_t(position) >= d.segments.size()) fail(RL_BAD_ARGUMENT, "No segment at that position");
    d.segments.erase(d.segments.begin() + position);
  });
}

RLHANDLE rlInsertSegment(RLHANDLE index, int position, RLHANDLE field, int mode) {
  ZVIndex* ix = indexHandle(index);
  ZVField* f = fieldHandle(field);
  ZVTable* t = ix ? Access::table(ix) : nullptr;
  return handleFrom(t, [&] {
    if (!f || Access::table(f) != t) fail(RL_BAD_ARGUMENT, "The segment's field is not a field of this table");
    IndexDef& d = liveIndexDef(ix);
    if (position < 0 || size_t(position) > d.segments.size()) fail(RL_BAD_ARGUMENT, "Segment position out of range");
    liveFieldDef(f);
    d.segments.insert(d.segments.begin() + position, SegmentDef{f->GetNumber(), mode});
    Access::refreshObjects(t);
    return ix->GetSegment(position)->GetHandle();
  });
}

// ---- partitions -----------------------------------------------------------------------

int rlGetPartitionIndex(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? workingDefinition(t).partIndex : -1;
}

const char* rlGetPartitionRule(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? workingDefinition(t).partRule.c_str() : "";
}

int rlGetPartitionBits(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? workingDefinition(t).partBits : 0;
}

int rlGetPartitionMaxActive(RLHANDLE table) {
  ZVTable* t = handleAs<ZVTable>(table);
  return t ? workingDefinition(t).partMaxActive : 0;
}

}  // extern "C"
