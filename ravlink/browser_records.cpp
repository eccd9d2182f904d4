// The table browser's calls on records: the cursor and its order, record
// positions, values read and written in their text forms, blobs and record
// locks.
#include "browser_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace ravlink_detail;
using namespace ravlink_detail::browser;

struct ZvdbBlob {
  std::string bytes;
};

namespace {

// Room reserved up front for a blob: larger values grow as they are set.
constexpr int32_t kMaxBlobReserve = 1 << 20;

Held<ZVRecord> recordHandle(RLHANDLE h) { return handleAs<ZVRecord>(h); }

// The stored value of field `number` of the record's current row.
const Value& storedValue(ZVRecord* r, int number) {
  RecordState& rs = Access::state(r);
  rs.sync();
  if (number < 0 || size_t(number) >= rs.table->stored.fields.size())
    fail(RL_UNKNOWN_FIELD, "No field number " + std::to_string(number));
  return rs.fieldValue(number);
}

int onRecord(RLHANDLE record, const std::function<void(ZVRecord*)>& fn, const char* call = __builtin_FUNCTION()) {
  auto r = recordHandle(record);
  return run(
      r, [&] { fn(r); }, call);
}

// The locks this engine takes wait for the holder; the browser's record
// lock fails at once when another session holds the record.
bool lockedByOther(ZVRecord* r) {
  RecordState& rs = Access::state(r);
  rs.sync();
  if (rs.pos != RecordState::Pos::At) fail(RL_NO_CURRENT_RECORD, "The record has no current row");
  return engine().locks.heldByOther(rs.rowKey(rs.posRowid), rs.table->logon->id);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" {

RLHANDLE zvdbAllocRecord(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  RLHANDLE r = rlAllocRecord(table);
  if (!r) {
    noteUp(t, t ? t->GetError() : RL_BAD_HANDLE);
    return nullptr;
  }
  auto made = recordHandle(r);
  rememberRecord(t, made);
  return r;
}

void zvdbFreeRecord(RLHANDLE record) {
  auto r = recordHandle(record);
  if (!r) return;
  forgetRecord(r);
  r.destroy();
}

int32_t zvdbFirstRecord(RLHANDLE record) {
  int rc = rlFirstRecord(record);
  return rc == RL_NOT_FOUND ? rc : upOnCode(record, rc);
}

int32_t zvdbNextRecord(RLHANDLE record) {
  int rc = rlNextRecord(record);
  return rc == RL_NOT_FOUND ? rc : upOnCode(record, rc);
}

int32_t zvdbGetRecordCount(RLHANDLE record, int64_t* count) {
  return onRecord(record, [&](ZVRecord* r) {
    int64_t n = r->GetRecordCount();
    if (count) *count = n;
  });
}

int32_t zvdbSetDefaultIndex(RLHANDLE record, int32_t index) {
  return onRecord(record, [&](ZVRecord* r) {
    if (index == RL_BR_ORDER_PHYSICAL || index == RL_BR_ORDER_ROWID) return r->SetDefaultIndex(RL_ROWID_INDEX);
    if (index < 0 || index >= rlGetIndexCount(rlGetTableOfHandle(record)))
      fail(RL_UNKNOWN_INDEX, "No index number " + std::to_string(index));
    r->SetDefaultIndex(index);
  });
}

int32_t zvdbJumpToRecord(RLHANDLE record, int64_t position) {
  int rc = RL_OK;
  int code = onRecord(record, [&](ZVRecord* r) {
    if (position < 0) fail(RL_BR_BAD_POSITION, "A record number is 0 or more");
    if (!r->First()) {
      rc = RL_NOT_FOUND;
      return;
    }
    if (position > 0) r->JumpTo(position);
  });
  return code != RL_OK ? code : rc;
}

int32_t zvdbHasRecbyt(RLHANDLE table) { return handleAs<ZVTable>(table).get() ? 1 : 0; }
int32_t zvdbHasRowid(RLHANDLE table) { return handleAs<ZVTable>(table).get() ? 1 : 0; }

// A record's position is its record id: ids are never reused.
int32_t zvdbGetRecordPos(RLHANDLE record, int64_t* position) {
  return upOnCode(record, rlGetRecordId(record, position));
}
int32_t zvdbGetRowid(RLHANDLE record, int64_t* rowid) { return upOnCode(record, rlGetRecordId(record, rowid)); }

int32_t zvdbSeekRecord(RLHANDLE record, int64_t position) {
  if (!recordHandle(record).get()) return RL_BAD_HANDLE;
  if (position < 0) return upOnCode(record, RL_BR_BAD_POSITION);
  int rc = rlFindRecordById(record, position, RL_FIND_EQ);
  return upOnCode(record, rc == RL_NOT_FOUND ? RL_BR_BAD_POSITION : rc);
}

int32_t zvdbIsNullField(RLHANDLE record, int32_t number) { return rlIsFieldNull(record, number); }

int32_t zvdbGetFieldDataLength(RLHANDLE record, int32_t number) {
  int32_t length = 0;
  onRecord(record, [&](ZVRecord* r) {
    const Value& v = storedValue(r, number);
    if (v.kind == Value::Text || v.kind == Value::Blob)
      length = int32_t(std::min<size_t>(v.s.size(), INT32_MAX));
    else if (!v.isNull())
      length = 8;
  });
  return length;
}

int32_t zvdbGetFieldAsString(RLHANDLE record, int32_t number, char* buffer, int32_t size) {
  return upOnCode(record, rlGetFieldAsText(record, number, buffer, size));
}

int32_t zvdbGetFieldAsJSON(RLHANDLE record, int32_t number, char* buffer, int32_t size, int32_t format) {
  int rc = rlGetFieldAsText(record, number, buffer, size);
  if (rc != RL_OK && buffer && size > 0) buffer[0] = '\0';
  return upOnCode(record, rc);
}

int32_t zvdbGetFieldAsFloat(RLHANDLE record, int32_t number, double* value) {
  return upOnCode(record, rlGetFieldAsDouble(record, number, value));
}

int32_t zvdbGetFieldAsMoney(RLHANDLE record, int32_t number, ZvdbMoney* value) {
  double d = 0;
  int rc = rlGetFieldAsDouble(record, number, &d);
  if (rc == RL_OK && !(std::fabs(d) < 9.2e14)) rc = RL_BAD_VALUE;  // beyond money in ten-thousandths
  if (rc == RL_OK && value) *value = std::llround(d * 10000);
  return upOnCode(record, rc);
}

double zvdbMoneyToFloat(ZvdbMoney money) { return double(money) / 10000; }

int32_t zvdbGetFieldAsNumber(RLHANDLE record, int32_t number, ZvdbNumber* value) {
  double d = 0;
  int rc = rlGetFieldAsDouble(record, number, &d);
  if (rc == RL_OK && value) {
    RLHANDLE field = rlGetField(record, number);
    *value = ZvdbNumber{d, rlGetFieldPrecision(field), rlGetFieldScale(field)};
  }
  return upOnCode(record, rc);
}

int32_t zvdbNumberToString(const ZvdbNumber* number, char* buffer, int32_t size) {
  if (!number || !std::isfinite(number->value)) return RL_BAD_ARGUMENT;
  char text[64];
  int scale = std::clamp(number->scale, 0, 18);
  snprintf(text, sizeof text, "%.*f", scale, number->value);
  return copyOut(text, buffer, size);
}

int32_t zvdbGetFieldAsTime(RLHANDLE record, int32_t number, int32_t* milliseconds) {
  return onRecord(record, [&](ZVRecord* r) {
    int32_t ms = r->GetFieldAsTime(number).GetMilliseconds();
    if (milliseconds) *milliseconds = ms;
  });
}

int32_t zvdbGetFieldAsTimeMsec(RLHANDLE record, int32_t number, int32_t* milliseconds) {
  return zvdbGetFieldAsTime(record, number, milliseconds);
}

int32_t zvdbTimeToString(int32_t milliseconds, int32_t timeType, char* buffer, int32_t size) {
  if (milliseconds < 0 || milliseconds >= 86400000) return RL_BAD_VALUE;
  return copyOut(ZVTime(milliseconds).TimeToString(timeType), buffer, size);
}

int32_t zvdbTimeMsecToString(int32_t milliseconds, int32_t timeType, char* buffer, int32_t size) {
  return zvdbTimeToString(milliseconds, timeType, buffer, size);
}

int32_t zvdbGetFieldAsDateTime(RLHANDLE record, int32_t number, ZvdbDateTime* value) {
  return onRecord(record, [&](ZVRecord* r) {
    ZVDateTime dt = r->GetFieldAsDateTime(number);
    if (value) *value = ZvdbDateTime{dt.GetDate(), dt.GetMilliseconds()};
  });
}

int32_t zvdbDateTimeToString(const ZvdbDateTime* value, int32_t dateType, int32_t timeType, char* buffer,
                             int32_t size) {
  if (!value || value->milliseconds < 0 || value->milliseconds >= 86400000) return RL_BAD_VALUE;
  return copyOut(ZVDateTime(value->day, value->milliseconds).DateTimeToString(dateType, timeType), buffer, size);
}

int32_t zvdbSetFieldAsString(RLHANDLE record, int32_t number, const char* text) {
  return upOnCode(record, rlSetFieldAsText(record, number, text ? text : ""));
}

int32_t zvdbSetFieldAsText(RLHANDLE record, int32_t number, const char* text, int64_t length) {
  return upOnCode(record, rlSetFieldAsTextLength(record, number, text, length));
}

int32_t zvdbClearField(RLHANDLE record, int32_t number) { return upOnCode(record, rlClearField(record, number)); }

int32_t zvdbClearRecord(RLHANDLE record) {
  return onRecord(record, [&](ZVRecord* r) { r->Clear(); });
}

int32_t zvdbSetEditedRecord(RLHANDLE record, int32_t edited) {
  return onRecord(record, [&](ZVRecord* r) {
    if (edited != 1) fail(RL_BAD_ARGUMENT, "A record is marked new with 1");
    RecordState& rs = Access::state(r);
    rs.sync();
    rs.materialise();  // the values set so far stay in the buffer
    rs.stopWalk();
    rs.onRow = false;  // the next write adds a record
    rs.pos = RecordState::Pos::Fresh;
  });
}

int32_t zvdbWriteRecord(RLHANDLE record) {
  return onRecord(record, [&](ZVRecord* r) { r->Write(); });
}

int32_t zvdbDeleteRecord(RLHANDLE record) {
  return onRecord(record, [&](ZVRecord* r) { r->Delete(); });
}

int32_t zvdbGetRecordLock(RLHANDLE record) {
  int32_t locked = 0;
  onRecord(record, [&](ZVRecord* r) { locked = lockedByOther(r) ? 1 : 0; });
  return locked;
}

int32_t zvdbLockRecord(RLHANDLE record, int32_t mode) {
  return onRecord(record, [&](ZVRecord* r) {
    if (mode == 0) return r->UnlockRecord();
    if (mode != 3) fail(RL_BAD_ARGUMENT, "Unknown lock mode " + std::to_string(mode));
    if (lockedByOther(r)) fail(RL_BR_LOCKED, "The record is locked by another session");
    r->LockRecord(mode);
  });
}

// Unlocking a record that holds no lock (or was just deleted) succeeds.
int32_t zvdbUnlockRecord(RLHANDLE record) {
  return onRecord(record, [&](ZVRecord* r) { r->UnlockRecord(); });
}

ZvdbBlob* zvdbBlobAlloc(int32_t capacity) {
  if (capacity < 0) return nullptr;
  auto* blob = new ZvdbBlob();
  blob->bytes.reserve(size_t(std::min(capacity, kMaxBlobReserve)));
  return blob;
}

void zvdbBlobFree(ZvdbBlob* blob) { delete blob; }

const unsigned char* zvdbBlobGetData(const ZvdbBlob* blob) {
  return blob ? reinterpret_cast<const unsigned char*>(blob->bytes.data()) : nullptr;
}

int32_t zvdbBlobGetSize(const ZvdbBlob* blob) { return blob ? int32_t(blob->bytes.size()) : 0; }

int32_t zvdbBlobSet(ZvdbBlob* blob, const void* bytes, int32_t size) {
  if (!blob || size < 0 || (!bytes && size > 0)) return RL_BAD_ARGUMENT;
  blob->bytes.assign(static_cast<const char*>(bytes), size_t(size));
  return RL_OK;
}

int32_t rlBlobSetHex(ZvdbBlob* blob, const char* hex) {
  if (!blob || !hex) return RL_BAD_ARGUMENT;
  size_t n = std::strlen(hex);
  if (n % 2 != 0) return RL_BR_BAD_HEX;
  std::string bytes(n / 2, '\0');
  for (size_t i = 0; i < n; i += 2) {
    int high = hexDigit(hex[i]), low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return RL_BR_BAD_HEX;
    bytes[i / 2] = char(high * 16 + low);
  }
  blob->bytes = std::move(bytes);
  return RL_OK;
}

int32_t zvdbGetFieldAsBlob(RLHANDLE record, int32_t number, ZvdbBlob* blob) {
  return onRecord(record, [&](ZVRecord* r) {
    if (!blob) fail(RL_BAD_ARGUMENT, "No blob to fill");
    const Value& v = storedValue(r, number);
    if (v.kind == Value::Text || v.kind == Value::Blob)
      blob->bytes = v.s;
    else if (v.isNull())
      blob->bytes.clear();
    else
      blob->bytes = r->GetFieldAsString(number);
  });
}

int32_t zvdbSetFieldAsBlob(RLHANDLE record, int32_t number, const ZvdbBlob* blob) {
  return onRecord(record, [&](ZVRecord* r) {
    if (!blob) fail(RL_BAD_ARGUMENT, "No blob to set");
    RecordState& rs = Access::state(r);
    storedValue(r, number);  // checks the field number
    rs.setValue(number, [&](const FieldDef& f) { return fromBytes(f, blob->bytes.data(), blob->bytes.size()); });
  });
}

}  // extern "C"
