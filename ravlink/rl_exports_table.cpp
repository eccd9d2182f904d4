// Exported functions on tables: thin adapters over the table and
// database classes.
#include "rl_core.h"

using namespace ravlink_detail;

namespace {

int tableWalk(RLHANDLE database, bool first, char* name, int nameSize, char* path, int pathSize) {
  auto d = handleAs<ZVDatabase>(database);
  return catalogWalk(
      d, [&](ZVString* n, ZVString* p) { return first ? d->FirstTable(n, p) : d->NextTable(n, p); }, name, nameSize,
      path, pathSize);
}

}  // namespace

extern "C" {

int zvdbIsActiveTable(RLHANDLE handle) {
  auto t = clientTableOf(handle);
  return t && t->IsOpen() ? 1 : 0;
}

int rlFirstTable(RLHANDLE database, char* name, int nameSize, char* path, int pathSize) {
  return tableWalk(database, true, name, nameSize, path, pathSize);
}

int rlNextTable(RLHANDLE database, char* name, int nameSize, char* path, int pathSize) {
  return tableWalk(database, false, name, nameSize, path, pathSize);
}

RLHANDLE rlAllocTable(RLHANDLE database) {
  auto d = handleAs<ZVDatabase>(database);
  if (!d) return nullptr;
  try {
    ZVTable* t = nullptr;
    Access::guard(
        d, [&] { t = new ZVTable(d); }, "rlAllocTable");
    return t->GetHandle();
  } catch (const ZVException& e) {
    return nullptr;
  }
}

void rlFreeTable(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  t.destroy();
}

int rlOpenTable(RLHANDLE table, const char* name, int mode) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(t, [&] { t->Open(name, mode); });
}

int rlCheckTableSupport(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t && t->IsOpen() ? 1 : 0;
}

int rlCreateTable(RLHANDLE table, const char* name, int mode) {
  auto t = handleAs<ZVTable>(table);
  // Mode 2 is the plain table every caller asks for; only the partition bit means more here.
  return codeOf(t, [&] { t->Create(name, mode & RL_CREATE_PARTITIONED); });
}

int rlAlterTable(RLHANDLE table, int mode) {
  auto t = handleAs<ZVTable>(table);
  return codeOf(t, [&] { t->Alter(mode); });
}

int rlDeleteTable(RLHANDLE database, const char* name, int mode) {
  auto d = handleAs<ZVDatabase>(database);
  return codeOf(d, [&] { d->DeleteTable(name, ""); });
}

int rlGetTableCreateMode(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? t->GetCreateMode() : 0;
}

RLHANDLE rlGetTableOfHandle(RLHANDLE handle) {
  auto t = clientTableOf(handle);
  return t ? t->GetHandle() : nullptr;
}

const char* rlGetTablePath(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  if (!t) return nullptr;
  TableCore& core = Access::core(t);
  return core.conn ? core.conn->path.c_str() : "";
}

const char* rlGetTableName(RLHANDLE table) {
  auto t = handleAs<ZVTable>(table);
  return t ? t->GetName() : nullptr;
}

}  // extern "C"
