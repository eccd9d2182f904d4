// Exported functions on records and values: thin adapters over the record
// class, the record state and the value conversions.
#include "rl_core.h"

#include <algorithm>
#include <cstring>

using namespace ravlink_detail;

namespace {

int moveRecord(RLHANDLE record, int dir, bool fromEnd) {
  auto r = clientRecord(record);
  int result = RL_NOT_FOUND;
  int rc = codeOf(r, [&] {
    int found = fromEnd ? (dir > 0 ? r->First() : r->Last()) : (dir > 0 ? r->Next() : r->Prev());
    result = found ? RL_OK : RL_NOT_FOUND;
  });
  return rc != RL_OK ? rc : result;
}

template <class Fn>
int onField(RLHANDLE record, int number, Fn&& fn) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { fn(r, fieldNameAt(r, number).c_str()); });
}

// The text read as a field of `type`: 0, or the code it failed with.
int parseAs(int type, const char* text, int dateType, int timeType, ZVDateTime* out) {
  *out = ZVDateTime();
  try {
    *out = parseDateTimeText(type, text, dateType, timeType);
    return RL_OK;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

}  // namespace

// ---- numbered functions: records and values ---------------------------------------------------

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
  if (rc == RL_OK && copied != RL_OK) {
    if (auto r = clientRecord(record)) Access::noteError(r, copied);  // rlGetError says why
  }
  return rc != RL_OK ? rc : copied;
}

int rlGetFieldAsTextSize(RLHANDLE record, int number, int64_t* size) {
  if (!size) return RL_BAD_ARGUMENT;
  return onField(record, number,
                 [&](ZVRecord* r, const char* name) { *size = int64_t(r->GetFieldAsString(name).size()) + 1; });
}

RLHANDLE rlAllocRecord(RLHANDLE tableOrRecord) {
  auto parent = handleAs<ZVBase>(tableOrRecord);
  auto t = clientTableOf(tableOrRecord);
  if (!parent || !t) return nullptr;
  RLHANDLE result = nullptr;
  auto from = clientRecord(tableOrRecord);
  codeOf(parent, [&] { result = newRecordOn(t, from)->GetHandle(); });
  return result;
}

void rlFreeRecord(RLHANDLE record) {
  auto r = clientRecord(record);
  r.destroy();
}

void rlClearRecord(RLHANDLE record) {
  auto r = clientRecord(record);
  codeOf(r, [&] { r->Clear(); });
}

void rlResetRecord(RLHANDLE record) { rlClearRecord(record); }

int rlIsRecordChanged(RLHANDLE record) {
  auto r = clientRecord(record);
  int changed = 0;
  codeOf(r, [&] { changed = recordChanged(Access::state(r)) ? 1 : 0; });
  return changed;
}

// Reads see committed rows without locking; modes that write (4 and above
// the read mode 2) lock the rows found by id until mode 0 or the record's end.
int rlSetLockMode(RLHANDLE record, int mode) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { setLockMode(r, mode); });
}

int rlFindRecordById(RLHANDLE record, int64_t id, int mode) {
  auto r = clientRecord(record);
  int result = RL_NOT_FOUND;
  int rc = codeOf(r, [&] { result = findRowidLocking(r, id) ? RL_OK : RL_NOT_FOUND; });
  return rc != RL_OK ? rc : result;
}

int rlGetRecordId(RLHANDLE record, int64_t* id) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { *id = r->GetRowid(); });
}

int rlWriteRecord(RLHANDLE record) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { r->Write(); });
}

int rlDeleteRecord(RLHANDLE record) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { r->Delete(); });
}

int rlSetDefaultIndex(RLHANDLE record, const char* indexName) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { r->SetDefaultIndex(indexName); });
}

int rlGetDefaultIndex(RLHANDLE record) {
  auto r = clientRecord(record);
  int ix = -1;
  codeOf(r, [&] { ix = defaultIndexOf(Access::state(r)); });
  return ix;
}

int rlFindRecord(RLHANDLE record, int mode) {
  auto r = clientRecord(record);
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

int rlSetBlockingRead(RLHANDLE record, int seconds, int flags) {
  auto r = handleAs<ZVRecord>(record);
  if (!r) return RL_BAD_HANDLE;
  if (seconds < 0 || seconds > 3600) return RL_BAD_ARGUMENT;
  auto logon = Access::logon(r);
  std::lock_guard<ravlink_detail::SessionMutex> lock(logon->mutex);
  Access::state(r).blockingSeconds = seconds;
  return RL_OK;
}

int rlGetIdentityValue(RLHANDLE record, int64_t* out) {
  auto r = handleAs<ZVRecord>(record);
  if (!r || !out) return RL_BAD_HANDLE;
  auto logon = Access::logon(r);
  std::lock_guard<ravlink_detail::SessionMutex> lock(logon->mutex);
  RecordState& s = Access::state(r);
  if (!s.table->open) return RL_NOT_OPEN;
  int identity = s.table->stored.identity;
  if (identity < 0) return RL_BAD_ARGUMENT;
  if (s.pos != RecordState::Pos::At || size_t(identity) >= s.values.size()) return RL_NO_CURRENT_RECORD;
  *out = s.posRowid;
  return RL_OK;
}

int rlGetCurrentDateTime(ZVDateTime* out) {
  if (!out) return RL_BAD_ARGUMENT;
  *out = ZVDateTime::CurrentDateTime();
  return RL_OK;
}

int32_t rlPackDate(int year, int month, int day) {
  return validDate(year, month, day) ? packDay(year, month, day) : -1;
}

int rlUnpackDate(int32_t dayNumber, int* year, int* month, int* day) {
  if (!year || !month || !day || dayNumber < 0) return RL_BAD_ARGUMENT;
  unpackDay(dayNumber, year, month, day);
  return RL_OK;
}

int rlPackDateTime(ZVDateTime* out, int year, int month, int day, int hour, int minute, int second, int millisecond) {
  if (!out) return RL_BAD_ARGUMENT;
  try {
    out->Pack(year, month, day, hour, minute, second, millisecond);
    return RL_OK;
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

int rlReverseBytes(void* data, int length) {
  if (!data || length < 0) return RL_BAD_ARGUMENT;
  auto* p = static_cast<unsigned char*>(data);
  std::reverse(p, p + length);
  return RL_OK;
}

int rlStringToDate(const char* text, int dateType, int32_t* day) {
  ZVDateTime dt;
  int rc = parseAs(75, text, dateType, 0, &dt);
  if (day) *day = rc == RL_OK ? dt.GetDate() : 0;
  return rc;
}

int rlStringToTime(const char* text, int timeType, int32_t* milliseconds) {
  ZVDateTime dt;
  int rc = parseAs(83, text, 0, timeType, &dt);
  if (milliseconds) *milliseconds = rc == RL_OK ? dt.GetMilliseconds() : 0;
  return rc;
}

int rlStringToDateTime(const char* text, ZVDateTime* out, int dateType, int timeType) {
  ZVDateTime dt;
  int rc = parseAs(257, text, dateType, timeType, &dt);
  if (out) *out = rc == RL_OK ? dt : ZVDateTime();
  return rc;
}

}  // extern "C"
