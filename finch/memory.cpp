// Memory reports: use by allocation class, and the memory statistics kept.
#include <cstring>

#include "VOKTBasic.h"
#include "finch.h"

namespace finch {

namespace {

constexpr int kClasses = 25;
const char* const kClassDescriptions[kClasses] = {
    "Key buffer, size of the largest supported maximum key value (MAXLEN = 1024)",
    "Allocations of size > 0 and <= PI_UNIT (PI_UNIT = 16)",
    "Allocations of size > PI_UNIT and <= 2 * PI_UNIT",
    "Allocations of size > 2 * PI_UNIT and <= 4 * PI_UNIT",
    "Allocations of size > 4 * PI_UNIT and <= 8 * PI_UNIT",
    "Allocations of size > 8 * PI_UNIT and <= 16 * PI_UNIT",
    "Allocations of size > 16 * PI_UNIT and <= 32 * PI_UNIT",
    "Allocations of size > 32 * PI_UNIT and <= 64 * PI_UNIT",
    "Allocations of size > 64 * PI_UNIT and <= 128 * PI_UNIT",
    "Allocations of size > 128 * PI_UNIT and <= 256 * PI_UNIT",
    "Allocations of size > 256 * PI_UNIT and <= 512 * PI_UNIT",
    "Preimage space list entry, size of SHADLST structure (the variable-length contents are allocated separately if "
    "larger than zvSHADOWlen)",
    "Batch retrieval list entry, size of BATLST structure",
    "User lock table list entry, size of LOKS structure",
    "File name, size of the largest supported file name (MAX_NAME = 255)",
    "Commit node list entry, size of COMLST structure",
    "Abort node list entry, size of ABTLST structure",
    "System lock table list entry, size of RECLOK structure",
    "Commit data list entry, size of COMLST structure",
    "Index cache page control structure, size of TREEBUFF structure (allocated at startup and does not change after "
    "that)",
    "Data cache page control structure, size of DATBUF structure (allocated at startup and does not change after "
    "that)",
    "System file control block entry, size of ZVFILE structure",
    "Index cache page buffer, size of PAGE_SIZE + MAXLEN + 2 * sizeof(zvRECPT) (allocated at startup and does not "
    "change after that)",
    "Data cache page buffer, size of PAGE_SIZE (allocated at startup and does not change after that)",
    "Allocation size > 512 * PI_UNIT"};

constexpr size_t kMaxText = 255;

}  // namespace

void memAllocRows(json_object* request, json_object** reply) {
  json_object* checked = nullptr;
  if (!zvJsonGetArrayByName(request, "checked", &checked)) {
    zvJsonSetError(9007, "zvMonConnect - Invalid parameter - Missing counters in the request", *reply);
    return;
  }
  unsigned char block[RL_MON_MEMORY_BLOCK] = {};
  int r = api.zvSNAPSHOT(RL_SNAP_MEMORY, nullptr, block, sizeof block);
  if (r != 0) {
    zvJsonSetError(r, "zvMonMemAlloc Error", *reply);
    return;
  }
  json_object* rows = zvJsonAllocArray();
  if (!rows) return;
  uint64_t counts[kClasses], bytes[kClasses], total = 0;
  memcpy(counts, block + 216, sizeof counts);
  memcpy(bytes, block + 416, sizeof bytes);
  for (uint64_t c : counts) total += c;
  int checkedCount = zvJsonArrayLength(checked);
  for (int i = 0; i < kClasses; ++i) {
    char name[9] = {};
    memcpy(name, block + 16 + 8 * i, 8);
    json_object* row = zvJsonAlloc();
    zvJsonAddString(row, "name", name);
    zvJsonAddString(row, "description", kClassDescriptions[i]);
    zvJsonAddBigint(row, "memalloc", int64_t(counts[i]));
    zvJsonAddBigint(row, "memuse", int64_t(bytes[i]));
    zvJsonAddDouble(row, "pct", int64_t(total) > 0 ? 100.0 * double(counts[i]) / double(total) : 0.0);
    // Positions the page did not send are unchecked.
    zvJsonAddBoolean(row, "checked", i < checkedCount && zvJsonGetBoolean(zvJsonArrayGetIdx(checked, i)));
    zvJsonArrayAdd(rows, row);
  }
  zvJsonSetSuccess(*reply);
  zvJsonAdd(*reply, "Counters", rows);
}

void memStat(json_object* request, json_object** reply) {
  const char* mode = nullptr;
  if (!zvJsonGetStringByName(request, "mode", &mode) || !mode) {
    zvJsonSetError(9007, "zvMonMemStat - Invalid parameter - Missing mode in the request", *reply);
    return;
  }
  int r;
  if (strcmp(mode, "set") == 0) {
    json_object* counters = nullptr;
    if (!zvJsonGetArrayByName(request, "counters", &counters)) {
      zvJsonSetError(9007, "zvMonMemStat - Invalid parameter - Missing counters in the request", *reply);
      return;
    }
    std::string text;
    for (int i = 0, n = zvJsonArrayLength(counters); i < n; ++i) {
      json_object* element = zvJsonArrayGetIdx(counters, i);
      if (!json_object_is_type(element, json_type_string)) {
        zvJsonSetError(9007, "zvMonMemStat - Invalid parameter - counters must be texts", *reply);
        return;
      }
      text += (i ? ",+" : "+") + std::string(zvJsonGetString(element));
    }
    if (text.size() > kMaxText) {
      zvJsonSetError(9007, "zvMonMemStat - Invalid parameter - counters longer than 255 characters", *reply);
      return;
    }
    r = api.zvMEMSTAT(4, text.c_str());
  } else if (strcmp(mode, "clear") == 0) {
    r = api.zvMEMSTAT(4, "-ALL");
  } else if (strcmp(mode, "log") == 0) {
    const char* fileName = nullptr;
    if (!zvJsonGetStringByName(request, "fileName", &fileName) || !fileName) {
      zvJsonSetError(9007, "zvMonMemStat - Invalid parameter - Missing fileName in the request", *reply);
      return;
    }
    if (strlen(fileName) > kMaxText) {
      zvJsonSetError(9007, "zvMonMemStat - Invalid parameter - fileName longer than 255 characters", *reply);
      return;
    }
    RlMemStatLogRequest log{};
    log.one = 1;
    snprintf(log.fileName, sizeof log.fileName, "%s", fileName);
    r = api.zvMEMSTAT(1, &log);
  } else {
    zvJsonSetError(9007, "zvMonMemStat - Unknown mode", *reply);
    return;
  }
  if (r == RL_MON_NOT_ADMINISTRATOR) {
    zvJsonSetError(r, "zvMonMemStat - Error - only an administrator of this server writes the memory log", *reply);
    return;
  }
  if (r == RL_MON_NOT_A_LOG) {
    zvJsonSetError(r, "zvMonMemStat - Error - the file is a database or engine file, or not a memory log", *reply);
    return;
  }
  if (r == RL_MON_BAD_PATH) {
    zvJsonSetError(r, "zvMonMemStat - Error - the file name leaves the server's directory", *reply);
    return;
  }
  if (r != 0) {
    zvJsonSetError(r, "zvMonMemStat - Error", *reply);
    return;
  }
  zvJsonSetSuccess(*reply);
}

}  // namespace finch
