// Exported functions on reading limits (filter, record set, range) and the
// keys they compare: thin adapters over rl_read_limits.cpp.
#include "rl_core.h"

using namespace ravlink_detail;

extern "C" {

int rlSetRecordFilter(RLHANDLE record, const char* filter, int on) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { setReadFilter(Access::state(r), filter, on != 0); });
}

int rlSetRecordSet(RLHANDLE record, int length) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { setRecordSet(Access::state(r), length); });
}

int rlClearRecordSet(RLHANDLE record) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { clearRecordSet(Access::state(r)); });
}

int rlGetIndexKeyLength(RLHANDLE index) {
  auto ix = handleAs<ZVIndex>(index);
  auto t = clientTableOf(index);
  if (!ix || !t) return 0;
  int length = 0;
  codeOf(ix, [&] { length = indexKeyLength(Access::definition(t), ix->GetNumber()); });
  return length;
}

int rlBuildTargetKey(RLHANDLE record, void* buffer, int size) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { buildTargetKey(Access::state(r), buffer, size); });
}

int rlSetRecordRange(RLHANDLE record, int count, const void* lowerKey, const void* upperKey, const int* codes) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { setRecordRange(Access::state(r), count, lowerKey, upperKey, codes); });
}

int rlClearRecordRange(RLHANDLE record) {
  auto r = clientRecord(record);
  return codeOf(r, [&] { clearRecordRange(Access::state(r)); });
}

}  // extern "C"
