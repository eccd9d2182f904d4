// Exported functions on definitions, partitions and data files: thin
// adapters over the definition changes and the file-number calls.
#include "rl_core.h"

using namespace ravlink_detail;

// ---- numbered functions: definitions, partitions, files -------------------------------------

extern "C" {

int rlSetFieldBinaryFlag(RLHANDLE field, int flag) {
  auto f = handleAs<ZVField>(field);
  return codeOf(
      f,
      [&] {
        int n;
        Access::definition(f, &n).fields[n].binaryFlag = flag;
      },
      kUntimed);
}

int rlGetFieldBinaryFlag(RLHANDLE field) {
  auto f = handleAs<ZVField>(field);
  return f ? f->GetBinaryFlag() : -1;
}

int rlSetIdentityField(RLHANDLE table, const char* fieldName, int seed, int increment) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(
      t, [&] { setIdentityField(Access::definition(t), t->IsOpen(), fieldName, seed, increment); }, kUntimed);
}

int rlSetFieldAutoTimestamp(RLHANDLE field, int onCreate, int onUpdate) {
  auto f = handleAs<ZVField>(field);
  return codeOf(
      f,
      [&] {
        int n;
        setAutoTimestamp(Access::definition(f, &n).fields[n], onCreate, onUpdate);
      },
      kUntimed);
}

int rlSetPartitionIndex(RLHANDLE table, int indexNumber) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(
      t, [&] { setPartitionIndex(Access::definition(t), indexNumber); }, kUntimed);
}

int rlSetPartitionRule(RLHANDLE table, const char* rule) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(
      t, [&] { setPartitionRule(Access::definition(t), rule); }, kUntimed);
}

int rlSetPartitionBits(RLHANDLE table, int bits) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(
      t, [&] { setPartitionBits(Access::definition(t), bits); }, kUntimed);
}

int rlSetPartitionMaxActive(RLHANDLE table, int maxActive) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(
      t, [&] { setPartitionMaxActive(Access::definition(t), maxActive); }, kUntimed);
}

int rlGetPartitionIndex(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? Access::definition(t).partIndex : -1;
}

const char* rlGetPartitionRule(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? Access::definition(t).partRule.c_str() : "";
}

int rlGetPartitionBits(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? Access::definition(t).partBits : 0;
}

int rlGetPartitionMaxActive(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? Access::definition(t).partMaxActive : 0;
}

int rlSetTableReplication(int32_t datno, int on, int flags) {
  try {
    return setTableReplication(datno, on, flags);
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
}

int64_t rlGetFileInfo(int32_t datno, int item) {
  if (item != RL_INFO_LOWEST_PARTITION) return -RL_BAD_ARGUMENT;
  try {
    return lowestPartition(datno);
  } catch (const ZVException& e) {
    return -e.GetErrorCode();
  }
}

int rlBlockFile(const char* path, int mode) { return blockTableFile(path, mode); }

}  // extern "C"
