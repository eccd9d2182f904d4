// The engine's database files go through a file layer over SQLite's own
// that counts reads, writes and syncs, apart for data files and for their
// logs (WAL and journal): the disk figures of the monitor's blocks.
#include <cstring>

#include "rl_core.h"

namespace ravlink_detail {
namespace monitor {

namespace {

struct CountingFile {
  sqlite3_file base;  // first: SQLite sees this
  bool log;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_vfs* realVfs() {
  static sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  return vfs;
}

CountingFile* counted(sqlite3_file* f) { return reinterpret_cast<CountingFile*>(f); }

int xClose(sqlite3_file* f) { return counted(f)->real()->pMethods->xClose(counted(f)->real()); }

int xRead(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset) {
  CountingFile* c = counted(f);
  IoCounters& io = ioCounters();
  (c->log ? io.logReads : io.dataReads)++;
  (c->log ? io.logReadBytes : io.dataReadBytes) += uint64_t(amount);
  return c->real()->pMethods->xRead(c->real(), out, amount, offset);
}

int xWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  CountingFile* c = counted(f);
  IoCounters& io = ioCounters();
  (c->log ? io.logWrites : io.dataWrites)++;
  (c->log ? io.logWriteBytes : io.dataWriteBytes) += uint64_t(amount);
  return c->real()->pMethods->xWrite(c->real(), data, amount, offset);
}

int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
  return counted(f)->real()->pMethods->xTruncate(counted(f)->real(), size);
}

int xSync(sqlite3_file* f, int flags) {
  CountingFile* c = counted(f);
  (c->log ? ioCounters().logSyncs : ioCounters().dataSyncs)++;
  return c->real()->pMethods->xSync(c->real(), flags);
}

int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
  return counted(f)->real()->pMethods->xFileSize(counted(f)->real(), size);
}
int xLock(sqlite3_file* f, int level) { return counted(f)->real()->pMethods->xLock(counted(f)->real(), level); }
int xUnlock(sqlite3_file* f, int level) { return counted(f)->real()->pMethods->xUnlock(counted(f)->real(), level); }
int xCheckReservedLock(sqlite3_file* f, int* out) {
  return counted(f)->real()->pMethods->xCheckReservedLock(counted(f)->real(), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
  return counted(f)->real()->pMethods->xFileControl(counted(f)->real(), op, arg);
}
int xSectorSize(sqlite3_file* f) { return counted(f)->real()->pMethods->xSectorSize(counted(f)->real()); }
int xDeviceCharacteristics(sqlite3_file* f) {
  return counted(f)->real()->pMethods->xDeviceCharacteristics(counted(f)->real());
}
int xShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return counted(f)->real()->pMethods->xShmMap(counted(f)->real(), page, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return counted(f)->real()->pMethods->xShmLock(counted(f)->real(), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) { counted(f)->real()->pMethods->xShmBarrier(counted(f)->real()); }
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
  return counted(f)->real()->pMethods->xShmUnmap(counted(f)->real(), deleteFlag);
}
int xFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
  return counted(f)->real()->pMethods->xFetch(counted(f)->real(), offset, amount, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
  return counted(f)->real()->pMethods->xUnfetch(counted(f)->real(), offset, page);
}

const sqlite3_io_methods kMethods = {3,
                                     xClose,
                                     xRead,
                                     xWrite,
                                     xTruncate,
                                     xSync,
                                     xFileSize,
                                     xLock,
                                     xUnlock,
                                     xCheckReservedLock,
                                     xFileControl,
                                     xSectorSize,
                                     xDeviceCharacteristics,
                                     xShmMap,
                                     xShmLock,
                                     xShmBarrier,
                                     xShmUnmap,
                                     xFetch,
                                     xUnfetch};

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  CountingFile* c = counted(f);
  c->base.pMethods = nullptr;
  c->log = (flags & (SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL)) != 0;
  int rc = realVfs()->xOpen(realVfs(), name, c->real(), flags, outFlags);
  // The real file's methods decide: a failed open has none, and a file
  // without shared memory must not seem to have it.
  if (c->real()->pMethods) c->base.pMethods = &kMethods;
  return rc;
}

int xDelete(sqlite3_vfs*, const char* name, int sync) { return realVfs()->xDelete(realVfs(), name, sync); }
int xAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return realVfs()->xAccess(realVfs(), name, flags, out);
}
int xFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return realVfs()->xFullPathname(realVfs(), name, size, out);
}
void* xDlOpen(sqlite3_vfs*, const char* name) { return realVfs()->xDlOpen(realVfs(), name); }
void xDlError(sqlite3_vfs*, int size, char* out) { realVfs()->xDlError(realVfs(), size, out); }
void (*xDlSym(sqlite3_vfs*, void* handle, const char* name))(void) {
  return realVfs()->xDlSym(realVfs(), handle, name);
}
void xDlClose(sqlite3_vfs*, void* handle) { realVfs()->xDlClose(realVfs(), handle); }
int xRandomness(sqlite3_vfs*, int size, char* out) { return realVfs()->xRandomness(realVfs(), size, out); }
int xSleep(sqlite3_vfs*, int micros) { return realVfs()->xSleep(realVfs(), micros); }
int xCurrentTime(sqlite3_vfs*, double* out) { return realVfs()->xCurrentTime(realVfs(), out); }
int xGetLastError(sqlite3_vfs*, int size, char* out) { return realVfs()->xGetLastError(realVfs(), size, out); }
int xCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) { return realVfs()->xCurrentTimeInt64(realVfs(), out); }

}  // namespace

IoCounters& ioCounters() {
  static IoCounters* counters = new IoCounters();
  return *counters;
}

const char* countingVfs() {
  static const char* name = [] {
    static sqlite3_vfs vfs = {};
    sqlite3_vfs* real = realVfs();
    vfs.iVersion = 2;
    vfs.szOsFile = int(sizeof(CountingFile)) + real->szOsFile;
    vfs.mxPathname = real->mxPathname;
    vfs.zName = "ravlink-counting";
    vfs.xOpen = xOpen;
    vfs.xDelete = xDelete;
    vfs.xAccess = xAccess;
    vfs.xFullPathname = xFullPathname;
    vfs.xDlOpen = xDlOpen;
    vfs.xDlError = xDlError;
    vfs.xDlSym = xDlSym;
    vfs.xDlClose = xDlClose;
    vfs.xRandomness = xRandomness;
    vfs.xSleep = xSleep;
    vfs.xCurrentTime = xCurrentTime;
    vfs.xGetLastError = xGetLastError;
    vfs.xCurrentTimeInt64 = xCurrentTimeInt64;
    // Without it the engine's files open through SQLite's own layer, uncounted.
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
  }();
  return name;
}

}  // namespace monitor
}  // namespace ravlink_detail
