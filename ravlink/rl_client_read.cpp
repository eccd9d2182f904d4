// Client functions over handles: record values by field number, records,
// and reading limited by a filter, a record set or a range.
//
// Keys built here (rlBuildTargetKey) are the engine's own layout: one slot
// per segment of the default index, 8 bytes for numbers (big-endian, ordered
// as the values), the field's length for texts and binaries (zero-padded),
// so comparing two keys slot by slot with memcmp compares the values, and a
// text's first bytes are its key's first bytes.
#include "rl_core.h"
#include "rl_filter.h"

#include <cmath>
#include <cstdio>
#include <cstring>

using namespace ravlink_detail;

namespace ravlink_detail {

// ---- keys -------------------------------------------------------------------------

namespace {

int slotWidth(const FieldDef& f) {
  switch (semOf(f)) {
    case Sem::Bit:
    case Sem::Int:
    case Sem::Real:
      return 8;
    case Sem::Date:
    case Sem::Time:
    case Sem::Timestamp:
      return 32;
    default:
      return f.length > 0 ? std::min(f.length, 1024) : 255;
  }
}

void putOrdered(std::string& out, uint64_t bits) {
  for (int b = 7; b >= 0; --b) out += char((bits >> (8 * b)) & 0xff);
}

void encodeSlot(const FieldDef& f, const Value& v, std::string& out) {
  int width = slotWidth(f);
  if (v.isNull()) {
    out.append(size_t(width), '\0');
    return;
  }
  switch (semOf(f)) {
    case Sem::Bit:
    case Sem::Int:
      putOrdered(out, uint64_t(toInteger(f, v)) ^ (uint64_t(1) << 63));
      return;
    case Sem::Real: {
      double d = toFloat(f, v);
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      putOrdered(out, (bits & (uint64_t(1) << 63)) ? ~bits : bits | (uint64_t(1) << 63));
      return;
    }
    default: {
      std::string bytes = v.kind == Value::Text || v.kind == Value::Blob ? v.s
                          : v.kind == Value::Int                         ? std::to_string(v.i)
                                                                         : std::to_string(v.d);
      bytes.resize(size_t(width), '\0');
      out += bytes;
    }
  }
}

}  // namespace

struct ReadLimits {
  bool filtered = false;
  Filter filter;
  int setLength = 0;  // 0: no record set
  std::string setKey;
  int rangeCount = 0;  // 0: no range
  std::string lower, upper;
  std::vector<int> codes;
  int index = -1;  // the default index the set or range was made for

  bool any() const { return filtered || setLength > 0 || rangeCount > 0; }
};

}  // namespace ravlink_detail

namespace {

RecordState& stateOf(ZVRecord* r) { return Access::state(r); }

const IndexDef& defaultIndexDef(RecordState& rs) {
  int ix = rs.effectiveIndex();
  if (ix < 0 || size_t(ix) >= rs.table->stored.indexes.size())
    fail(RL_UNKNOWN_INDEX, "The record has no default index");
  return rs.table->stored.indexes[ix];
}

// The default index's key of the record's current values: of the row it
// stands on, or (`search`) the key it asks for.
std::string keyOf(RecordState& rs, bool search) {
  const IndexDef& ix = defaultIndexDef(rs);
  const TableDef& d = rs.table->stored;
  std::string key;
  for (const auto& seg : ix.segments) {
    const Value& v = rs.fieldValue(seg.field);
    if (seg.overJsonKey())
      encodeSlot(segmentKeyField(d, seg), segmentKeyValue(*rs.table->conn, d, seg, v, search), key);
    else
      encodeSlot(d.fields[seg.field], v, key);
  }
  return key;
}

int keyLength(const TableDef& d, const IndexDef& ix) {
  int length = 0;
  for (const auto& seg : ix.segments) length += slotWidth(segmentKeyField(d, seg));
  return length;
}

bool inRange(int code, int low, int high) {  // low, high: value compared with the lower and upper slot
  switch (code) {
    case RL_RANGE_EQ:
      return low == 0;
    case RL_RANGE_LT:
      return low < 0;
    case RL_RANGE_LE:
      return low <= 0;
    case RL_RANGE_GT:
      return low > 0;
    case RL_RANGE_GE:
      return low >= 0;
    case RL_RANGE_BETWEEN:
      return low >= 0 && high <= 0;
    case RL_RANGE_BETWEEN_EXCL_UP:
      return low >= 0 && high < 0;
    case RL_RANGE_BETWEEN_EXCL_LOW:
      return low > 0 && high <= 0;
    case RL_RANGE_BETWEEN_EXCL:
      return low > 0 && high < 0;
    default:
      return true;
  }
}

bool validRangeCode(int code) {
  for (int c : {0, 193, 69, 196, 130, 195, 199, 72, 137, 10})
    if (code == c) return true;
  return false;
}

int sign(int c) { return c < 0 ? -1 : c > 0; }

bool rowAccepted(RecordState& rs) {
  ReadLimits* limits = rs.limits.get();
  if (!limits || !limits->any()) return true;
  if (limits->setLength > 0 || limits->rangeCount > 0) {
    if (rs.effectiveIndex() != limits->index) return true;  // made for another index: not applied
    std::string key = keyOf(rs, false);
    if (limits->setLength > 0 && key.compare(0, size_t(limits->setLength), limits->setKey) != 0) return false;
    if (limits->rangeCount > 0) {
      const IndexDef& ix = defaultIndexDef(rs);
      size_t offset = 0;
      for (int s = 0; s < limits->rangeCount; ++s) {
        size_t width = size_t(slotWidth(segmentKeyField(rs.table->stored, ix.segments[s])));
        int low = sign(std::memcmp(key.data() + offset, limits->lower.data() + offset, width));
        int high =
            limits->upper.empty() ? 0 : sign(std::memcmp(key.data() + offset, limits->upper.data() + offset, width));
        if (!inRange(limits->codes[s], low, high)) return false;
        offset += width;
      }
    }
  }
  return !limits->filtered || limits->filter.matches(rs);
}

ReadLimits& limitsOf(RecordState& rs) {
  if (!rs.limits) rs.limits = std::make_shared<ReadLimits>();
  return *rs.limits;
}

int moveRecord(RLHANDLE record, int dir, bool fromEnd) {
  ZVRecord* r = clientRecord(record);
  int result = RL_NOT_FOUND;
  int rc = codeOf(r, [&] {
    int found = fromEnd ? (dir > 0 ? r->First() : r->Last()) : (dir > 0 ? r->Next() : r->Prev());
    result = found ? RL_OK : RL_NOT_FOUND;
  });
  return rc != RL_OK ? rc : result;
}

const std::string& fieldName(ZVRecord* r, int number) {
  RecordState& rs = stateOf(r);
  rs.sync();
  const auto& fields = rs.table->stored.fields;
  if (number < 0 || size_t(number) >= fields.size()) fail(RL_UNKNOWN_FIELD, "No field " + std::to_string(number));
  return fields[number].name;
}

template <class Fn>
int onField(RLHANDLE record, int number, Fn&& fn) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { fn(r, fieldName(r, number).c_str()); });
}

}  // namespace

namespace ravlink_detail {
ZVRecord* clientRecord(RLHANDLE h) { return handleAs<ZVRecord>(h); }

int readWithin(RecordState& rs, int found, int dir) {
  if (!rs.limits || !rs.limits->any()) return found;
  while (found && !rowAccepted(rs)) found = rs.walk(dir, false);
  return found;
}
}  // namespace ravlink_detail

extern "C" {

int rlClearField(RLHANDLE record, int number) {
  return onField(record, number, [](ZVRecord* r, const char* name) { r->SetFieldNull(name); });
}

int rlIsFieldNull(RLHANDLE record, int number) {
  int isNull = -1;
  onField(record, number, [&](ZVRecord* r, const char* name) { isNull = r->IsFieldNull(name) ? 1 : 0; });
  return isNull;
}

int rlSetFieldAsBool(RLHANDLE record, int number, int value) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { r->SetFieldAsBool(name, value); });
}

int rlSetFieldAsDouble(RLHANDLE record, int number, double value) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { r->SetFieldAsFloat(name, value); });
}

int rlSetFieldAsInt64(RLHANDLE record, int number, int64_t value) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { r->SetFieldAsBigint(name, value); });
}

int rlSetFieldAsText(RLHANDLE record, int number, const char* text) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { r->SetFieldAsString(name, text ? text : ""); });
}

int rlSetFieldAsTextLength(RLHANDLE record, int number, const char* text, int64_t length) {
  if (length < 0 || (!text && length > 0)) return RL_BAD_ARGUMENT;
  return onField(record, number,
                 [&](ZVRecord* r, const char* name) { r->SetFieldAsText(name, text ? text : "", size_t(length)); });
}

int rlGetFieldAsBool(RLHANDLE record, int number, int* value) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { *value = r->GetFieldAsBool(name); });
}

int rlGetFieldAsInt64(RLHANDLE record, int number, int64_t* value) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { *value = r->GetFieldAsBigint(name); });
}

int rlGetFieldAsDouble(RLHANDLE record, int number, double* value) {
  return onField(record, number, [&](ZVRecord* r, const char* name) { *value = r->GetFieldAsFloat(name); });
}

int rlGetFieldAsText(RLHANDLE record, int number, char* buffer, int size) {
  int copied = RL_OK;
  int rc = onField(record, number,
                   [&](ZVRecord* r, const char* name) { copied = copyOut(r->GetFieldAsString(name), buffer, size); });
  if (rc == RL_OK && copied != RL_OK) Access::noteError(Access::record(record), copied);  // rlGetError says why
  return rc != RL_OK ? rc : copied;
}

int rlGetFieldAsTextSize(RLHANDLE record, int number, int64_t* size) {
  if (!size) return RL_BAD_ARGUMENT;
  return onField(record, number,
                 [&](ZVRecord* r, const char* name) { *size = int64_t(r->GetFieldAsString(name).size()) + 1; });
}

RLHANDLE rlAllocRecord(RLHANDLE tableOrRecord) {
  ZVBase* parent = handleAs<ZVBase>(tableOrRecord);
  ZVTable* t = clientTableOf(tableOrRecord);
  if (!parent || !t) return nullptr;
  RLHANDLE result = nullptr;
  codeOf(parent, [&] {
    auto record = std::make_unique<ZVRecord>(t);
    if (ZVRecord* from = clientRecord(tableOrRecord)) {
      int ix = stateOf(from).effectiveIndex();
      if (ix >= 0) record->SetDefaultIndex(ix);
    }
    result = record.release()->GetHandle();
  });
  return result;
}

void rlFreeRecord(RLHANDLE record) { delete clientRecord(record); }

void rlClearRecord(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  codeOf(r, [&] { r->Clear(); });
}

void rlResetRecord(RLHANDLE record) { rlClearRecord(record); }

int rlIsRecordChanged(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  int changed = 0;
  codeOf(r, [&] {
    const auto& dirty = stateOf(r).dirty;
    changed = std::find(dirty.begin(), dirty.end(), 1) != dirty.end() ? 1 : 0;
  });
  return changed;
}

// Reads see committed rows without locking; modes that write (4 and above
// the read mode 2) lock the rows found by id until mode 0 or the record's end.
int rlSetLockMode(RLHANDLE record, int mode) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] {
    RecordState& rs = stateOf(r);
    rs.lockMode = mode;
    if (mode == 0)
      while (!rs.lockedRows.empty()) r->UnlockRecord();
  });
}

int rlFindRecordById(RLHANDLE record, int64_t id, int mode) {
  ZVRecord* r = clientRecord(record);
  int result = RL_NOT_FOUND;
  int rc = codeOf(r, [&] {
    if (!r->FindRowid(id, RL_FIND_EQ)) return;
    if (stateOf(r).lockMode > 2) r->LockRecord(stateOf(r).lockMode);
    result = RL_OK;
  });
  return rc != RL_OK ? rc : result;
}

int rlGetRecordId(RLHANDLE record, int64_t* id) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { *id = r->GetRowid(); });
}

int rlWriteRecord(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { r->Write(); });
}

int rlDeleteRecord(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { r->Delete(); });
}

int rlSetDefaultIndex(RLHANDLE record, const char* indexName) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { r->SetDefaultIndex(indexName); });
}

int rlGetDefaultIndex(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  int ix = -1;
  codeOf(r, [&] {
    stateOf(r).sync();
    ix = stateOf(r).effectiveIndex();
  });
  return ix;
}

int rlSetRecordFilter(RLHANDLE record, const char* filter, int on) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] {
    RecordState& rs = stateOf(r);
    rs.sync();
    ReadLimits& limits = limitsOf(rs);
    if (!on || !filter || !*filter) {
      limits.filtered = false;
      return;
    }
    Filter parsed;
    parsed.parse(filter, rs.table->stored);
    limits.filter = std::move(parsed);
    limits.filtered = true;
  });
}

int rlFindRecord(RLHANDLE record, int mode) {
  ZVRecord* r = clientRecord(record);
  int result = RL_NOT_FOUND;
  int rc = codeOf(r, [&] { result = r->Find(mode) ? RL_OK : RL_NOT_FOUND; });
  return rc != RL_OK ? rc : result;
}

int rlFirstRecord(RLHANDLE record) { return moveRecord(record, 1, true); }
int rlLastRecord(RLHANDLE record) { return moveRecord(record, -1, true); }
int rlNextRecord(RLHANDLE record) { return moveRecord(record, 1, false); }
int rlPrevRecord(RLHANDLE record) { return moveRecord(record, -1, false); }

int rlSkipRecords(RLHANDLE record, int64_t count) {
  for (int64_t i = 0; i < (count < 0 ? -count : count); ++i) {
    int rc = moveRecord(record, count < 0 ? -1 : 1, false);
    if (rc != RL_OK) return rc;
  }
  return RL_OK;
}

int rlSetRecordSet(RLHANDLE record, int length) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] {
    RecordState& rs = stateOf(r);
    rs.sync();
    std::string key = keyOf(rs, true);
    if (length <= 0 || size_t(length) > key.size()) fail(RL_BAD_ARGUMENT, "Record set length outside the key");
    ReadLimits& limits = limitsOf(rs);
    limits.setKey = key.substr(0, size_t(length));
    limits.setLength = length;
    limits.index = rs.effectiveIndex();
  });
}

int rlClearRecordSet(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { limitsOf(stateOf(r)).setLength = 0; });
}

int rlGetIndexKeyLength(RLHANDLE index) {
  ZVIndex* ix = handleAs<ZVIndex>(index);
  ZVTable* t = clientTableOf(index);
  if (!ix || !t) return 0;
  int length = 0;
  codeOf(ix, [&] {
    const TableDef& d = Access::definition(t);
    if (ix->GetNumber() >= 0 && size_t(ix->GetNumber()) < d.indexes.size())
      length = keyLength(d, d.indexes[ix->GetNumber()]);
  });
  return length;
}

int rlBuildTargetKey(RLHANDLE record, void* buffer, int size) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] {
    RecordState& rs = stateOf(r);
    rs.sync();
    std::string key = keyOf(rs, true);
    if (!buffer || size < 0 || size_t(size) < key.size()) fail(RL_VALUE_TOO_LONG, "Key buffer too small");
    std::memcpy(buffer, key.data(), key.size());
  });
}

int rlSetRecordRange(RLHANDLE record, int count, const void* lowerKey, const void* upperKey, const int* codes) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] {
    RecordState& rs = stateOf(r);
    rs.sync();
    const IndexDef& ix = defaultIndexDef(rs);
    if (count <= 0 || size_t(count) > ix.segments.size() || !lowerKey || !codes)
      fail(RL_BAD_ARGUMENT, "Range over segments the default index does not have");
    for (int s = 0; s < count; ++s)
      if (!validRangeCode(codes[s])) fail(RL_BAD_ARGUMENT, "Unknown range code " + std::to_string(codes[s]));
    size_t length = size_t(keyLength(rs.table->stored, ix));
    ReadLimits& limits = limitsOf(rs);
    limits.lower.assign(static_cast<const char*>(lowerKey), length);
    if (upperKey)
      limits.upper.assign(static_cast<const char*>(upperKey), length);
    else
      limits.upper.clear();
    limits.codes.assign(codes, codes + count);
    limits.rangeCount = count;
    limits.index = rs.effectiveIndex();
  });
}

int rlClearRecordRange(RLHANDLE record) {
  ZVRecord* r = clientRecord(record);
  return codeOf(r, [&] { limitsOf(stateOf(r)).rangeCount = 0; });
}

}  // extern "C"
