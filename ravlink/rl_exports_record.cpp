// Exported functions on records and values: thin adapters over the record
// state and the value conversions.
#include "rl_core.h"

#include <algorithm>
#include <cstring>

using namespace ravlink_detail;

// ---- numbered functions: records and values ---------------------------------------------------

extern "C" {

int rlSetBlockingRead(RLHANDLE record, int seconds, int flags) {
  ZVRecord* r = Access::record(record);
  if (!r) return RL_BAD_HANDLE;
  if (seconds < 0 || seconds > 3600) return RL_BAD_ARGUMENT;
  auto logon = Access::logon(r);
  std::lock_guard<ravlink_detail::SessionMutex> lock(logon->mutex);
  Access::state(r).blockingSeconds = seconds;
  return RL_OK;
}

int rlGetIdentityValue(RLHANDLE record, int64_t* out) {
  ZVRecord* r = Access::record(record);
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

}  // extern "C"
