// Exported functions on definitions, partitions and data files: thin
// adapters over the definition changes and the file-number calls.
#include "rl_core.h"

using namespace ravlink_detail;

namespace {

// Runs a definition change on a table or field handle under its session.
template <class Obj, class Fn>
int onHandle(Obj* obj, Fn&& fn) {
  if (!obj) return RL_BAD_HANDLE;
  auto logon = Access::logon(obj);
  std::lock_guard<ravlink_detail::SessionMutex> lock(logon->mutex);
  try {
    fn();
    return RL_OK;
  } catch (const ZVException& e) {
    Access::noteError(obj, e.GetErrorCode());
    return e.GetErrorCode();
  } catch (const std::exception&) {
    return RL_STORAGE_ERROR;
  }
}

}  // namespace

// ---- numbered functions: definitions, partitions, files -------------------------------------

extern "C" {

int rlSetFieldBinaryFlag(RLHANDLE field, int flag) {
  ZVField* f = Access::field(field);
  return onHandle(f, [&] {
    int n;
    Access::definition(f, &n).fields[n].binaryFlag = flag;
  });
}

int rlGetFieldBinaryFlag(RLHANDLE field) {
  ZVField* f = Access::field(field);
  return f ? f->GetBinaryFlag() : -1;
}

int rlSetIdentityField(RLHANDLE table, const char* fieldName, int seed, int increment) {
  ZVTable* t = Access::table(table);
  return onHandle(t, [&] { setIdentityField(Access::definition(t), t->IsOpen(), fieldName, seed, increment); });
}

int rlSetFieldAutoTimestamp(RLHANDLE field, int onCreate, int onUpdate) {
  ZVField* f = Access::field(field);
  return onHandle(f, [&] {
    int n;
    setAutoTimestamp(Access::definition(f, &n).fields[n], onCreate, onUpdate);
  });
}

int rlSetPartitionIndex(RLHANDLE table, int indexNumber) {
  ZVTable* t = Access::table(table);
  return onHandle(t, [&] { setPartitionIndex(Access::definition(t), indexNumber); });
}

int rlSetPartitionRule(RLHANDLE table, const char* rule) {
  ZVTable* t = Access::table(table);
  return onHandle(t, [&] { setPartitionRule(Access::definition(t), rule); });
}

int rlSetPartitionBits(RLHANDLE table, int bits) {
  ZVTable* t = Access::table(table);
  return onHandle(t, [&] { setPartitionBits(Access::definition(t), bits); });
}

int rlSetPartitionMaxActive(RLHANDLE table, int maxActive) {
  ZVTable* t = Access::table(table);
  return onHandle(t, [&] { setPartitionMaxActive(Access::definition(t), maxActive); });
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
