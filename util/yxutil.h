// The utility library (static library yxutil, compiled into each deliverable
// that links it). Other folders include only this header.
//
//   yxaux.h        codes, system error text, dupStr, re-entrant mutexes,
//                  reader/writer locks, threads, tick clock, YX_THREAD_DATA
//   yxcontainers.h YXHashTable, YXHashIntTable, YXList, YXQueue, YXParamHash
//   yxpool.h       YXConfig, YXPooledObj, YXPool<T>
//   yxlogon.h      LogonGuard: failed log-ons counted, slowed and logged
//
// Errors travel as YXException (voktbasic/VOKTBasic.h), thrown by value and
// caught by reference, always with the thrower's locks released. Memory that
// crosses deliverables comes from VOKTAlloc and goes back with VOKTFree;
// objects inside a deliverable use new and delete.
#ifndef YXUTIL_H
#define YXUTIL_H

#include "VOKTBasic.h"
#include "yxaux.h"
#include "yxcontainers.h"
#include "yxpool.h"
#include "yxlogon.h"

#endif  // YXUTIL_H
