// Reading limited by a filter, a record set or a range, and the keys they
// compare: the work behind the numbered functions on them.
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

namespace {

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

}  // namespace

int readWithin(RecordState& rs, int found, int dir) {
  if (!rs.limits || !rs.limits->any()) return found;
  while (found && !rowAccepted(rs)) found = rs.walk(dir, false);
  return found;
}

void setReadFilter(RecordState& rs, const char* filter, bool on) {
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
}

void setRecordSet(RecordState& rs, int length) {
  rs.sync();
  std::string key = keyOf(rs, true);
  if (length <= 0 || size_t(length) > key.size()) fail(RL_BAD_ARGUMENT, "Record set length outside the key");
  ReadLimits& limits = limitsOf(rs);
  limits.setKey = key.substr(0, size_t(length));
  limits.setLength = length;
  limits.index = rs.effectiveIndex();
}

void clearRecordSet(RecordState& rs) { limitsOf(rs).setLength = 0; }

void setRecordRange(RecordState& rs, int count, const void* lowerKey, const void* upperKey, const int* codes) {
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
}

void clearRecordRange(RecordState& rs) { limitsOf(rs).rangeCount = 0; }

int indexKeyLength(const TableDef& d, int indexNumber) {
  if (indexNumber < 0 || size_t(indexNumber) >= d.indexes.size()) return 0;
  return keyLength(d, d.indexes[indexNumber]);
}

void buildTargetKey(RecordState& rs, void* buffer, int size) {
  rs.sync();
  std::string key = keyOf(rs, true);
  if (!buffer || size < 0 || size_t(size) < key.size()) fail(RL_VALUE_TOO_LONG, "Key buffer too small");
  std::memcpy(buffer, key.data(), key.size());
}

}  // namespace ravlink_detail
