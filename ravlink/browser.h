// ravlink's handle calls for a table browser: sessions, databases, tables,
// records, values, definitions, alteration and rebuild.
//
// The functions are plain C names, bound by name by the tools that load the
// engine (dlsym); their order below is the order in which the table browser
// binds them (163 names). zvThrdAttach, zvdbGetQuarnOWNER, zvdbSetQuarnOWNER
// and zvThrdInit are the monitor's own (monitor.h): one implementation
// serves both tools. Names marked "binding only" answer RL_MON_NOT_SUPPORTED.
//
// Handles: session -> database (connected by name) -> table (opened by name
// or defined for a creation) -> record (a cursor with a default index).
// Field, index and segment handles belong to their table handle and are
// never freed by the caller. Freeing a table closes it and frees its records;
// freeing a database disconnects it. A handle may be used on any thread, but
// never by two threads at once; the owner made current by the caller is not
// needed, since every handle carries its session.
//
// Results: 0 is success; 101 no (more) entries or records; other values are
// codes (ravlink.h RlCode, monitor.h RlMonitorCode, and the ones below).
// A call that fails leaves its code readable with zvdbGetError on its handle
// and on every handle above it (record -> table -> database -> session); a
// call returning a handle answers null on failure and leaves the code on the
// handle it was asked of. Text out-arguments with a size are always
// NUL-terminated within it (a longer value is RL_VALUE_TOO_LONG, cut).
// Texts returned as pointers belong to the handle and stay valid until its
// next call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "monitor.h"

#define RAVLINK_BROWSER_API __attribute__((visibility("default")))

typedef void* RLHANDLE;

// Codes of these calls beyond the engine's RlCode values.
enum RlBrowserCode {
  RL_BR_CONFLICT = -8,        // the table is open exclusively elsewhere, or opening it exclusively found it in use
  RL_BR_STOPPED = 4240,       // an alteration or rebuild ended early (its callback answered non-zero)
  RL_BR_BAD_HEX = 4241,       // blob text: odd length or a character that is not a hexadecimal digit
  RL_BR_BAD_POSITION = 4242,  // a negative or unknown record position
  RL_BR_LOCKED = 4243,        // the record is locked by another session
};

// Open modes (or-ed): 0 read and write, 32 browsing (read only), 1 exclusive
// (alteration, rebuild), 4 open even when damaged, 64 data only.
enum RlBrowserOpenMode {
  RL_BR_OPEN_EXCLUSIVE = 1,
  RL_BR_OPEN_CORRUPT = 4,
  RL_BR_OPEN_READONLY = 32,
  RL_BR_OPEN_DATAONLY = 64,
};

// Create-mode bits the engine reports on its own: 16 when the table has
// variable-length fields, 65536 once stored with it.
enum RlBrowserCreateMode {
  RL_BR_MODE_VRLEN = 16,
  RL_BR_MODE_FLEXREC = 65536,
};

// Index numbers of zvdbSetDefaultIndex beyond the table's own indexes.
enum RlBrowserOrder {
  RL_BR_ORDER_PHYSICAL = 10000,  // storage order (record-id order in this engine)
  RL_BR_ORDER_ROWID = 10001,     // record-id order
};

// The zvdbSetCallback kind of the alteration progress callback.
enum { RL_BR_CALLBACK_ALTER = 17 };

#ifdef __cplusplus
extern "C" {
#endif

// A number with its scale (type 105).
typedef struct ZvdbNumber {
  double value;
  int32_t precision;
  int32_t scale;
} ZvdbNumber;

// A date (day number, as rlPackDate) and a time of day in milliseconds.
typedef struct ZvdbDateTime {
  int32_t day;
  int32_t milliseconds;
} ZvdbDateTime;

// Money in ten-thousandths (type 67).
typedef int64_t ZvdbMoney;

// A byte container for blob values (zvdbBlobAlloc .. zvdbBlobFree).
typedef struct ZvdbBlob ZvdbBlob;

// Alteration progress: called on the altering thread each time the progress
// (rlGetAlterProgress) changes: 0 at the start, percentages of the records
// copied while the change copies the table, 100 once stored. A non-zero
// answer before the change is stored stops it: the alteration fails with
// RL_BR_STOPPED and the table is left as it was.
typedef int32_t (*ZvdbAlterCallback)(RLHANDLE table);
// Rebuild progress: called on the rebuilding thread every `step` records
// with the records copied so far, the phase character 'R' and the table name.
typedef void (*ZvdbRebuildCallback)(int32_t number, char phase, const char* text);

// The progress in percent (0..100) of the alteration that runs or ran last
// on this table handle; -1 for a bad handle.
RAVLINK_BROWSER_API int32_t rlGetAlterProgress(RLHANDLE table);
// Sets the blob from hexadecimal text, two digits per byte (either case).
// Odd-length text or a character that is not a digit: RL_BR_BAD_HEX, and
// the blob keeps what it held.
RAVLINK_BROWSER_API int32_t rlBlobSetHex(ZvdbBlob* blob, const char* hex);

// ---- in binding order ------------------------------------------------------

// 1 zvThrdAttach (monitor.h)
// type 2 (or 0); null when the process holds too many sessions.
RAVLINK_BROWSER_API RLHANDLE zvdbAllocSession(int32_t type);
// 3 zvdbGetQuarnOWNER, 4 zvdbSetQuarnOWNER (monitor.h)
// server "NAME" or "NAME@host"; the new logon's owner becomes current.
RAVLINK_BROWSER_API int32_t zvdbLogon(RLHANDLE session, const char* server, const char* user, const char* password);
RAVLINK_BROWSER_API int32_t zvdbSetCurrentNodeName(RLHANDLE session, const char* node);
RAVLINK_BROWSER_API int32_t zvdbDisconnect(RLHANDLE database);  // closes its tables
RAVLINK_BROWSER_API int32_t zvdbLogout(RLHANDLE session);
RAVLINK_BROWSER_API void zvdbFreeSession(RLHANDLE session);  // logs out when still logged on
RAVLINK_BROWSER_API int32_t zvdbFirstDatabase(RLHANDLE session, char* name, int32_t nameSize, char* path,
                                              int32_t pathSize);
RAVLINK_BROWSER_API int32_t zvdbNextDatabase(RLHANDLE session, char* name, int32_t nameSize, char* path,
                                             int32_t pathSize);
RAVLINK_BROWSER_API RLHANDLE zvdbAllocDatabase(RLHANDLE session);
RAVLINK_BROWSER_API int32_t zvdbConnect(RLHANDLE database, const char* name);
// Tables of the connected database; the engine's catalog table is listed
// with a path containing "SQL_SYS".
RAVLINK_BROWSER_API int32_t zvdbFirstTable(RLHANDLE database, char* name, int32_t nameSize, char* path,
                                           int32_t pathSize);
RAVLINK_BROWSER_API int32_t zvdbNextTable(RLHANDLE database, char* name, int32_t nameSize, char* path,
                                          int32_t pathSize);
RAVLINK_BROWSER_API void zvdbFreeDatabase(RLHANDLE database);
RAVLINK_BROWSER_API int32_t zvdbGetTableFieldCount(RLHANDLE table);
RAVLINK_BROWSER_API RLHANDLE zvdbAllocTable(RLHANDLE database);  // usable unopened for a creation
RAVLINK_BROWSER_API void zvdbFreeTable(RLHANDLE table);          // closes it and frees its records
RAVLINK_BROWSER_API int32_t zvdbOpenTable(RLHANDLE table, const char* name, int32_t mode);
RAVLINK_BROWSER_API int32_t zvdbCloseTable(RLHANDLE table);
RAVLINK_BROWSER_API RLHANDLE zvdbGetField(RLHANDLE table, int32_t number);  // from 0
// *name points to the field's name (owned by the handle).
RAVLINK_BROWSER_API int32_t zvdbGetFieldProperties(RLHANDLE field, const char** name, int32_t* type, int32_t* length);
// The default as text ("" when none), its length in *length.
RAVLINK_BROWSER_API const char* zvdbGetFieldDefaultValue(RLHANDLE field, int32_t* length);
// 1 when the field takes nulls, 0 when it must hold a value; stored as set.
RAVLINK_BROWSER_API int32_t zvdbGetFieldNullFlag(RLHANDLE field);
RAVLINK_BROWSER_API int32_t zvdbGetFieldPrecision(RLHANDLE field);
RAVLINK_BROWSER_API int32_t zvdbGetFieldScale(RLHANDLE field);
// The identity field's name, or null when the table has none.
RAVLINK_BROWSER_API const char* zvdbGetIdentityFieldDetails(RLHANDLE table, int64_t* seed, int64_t* increment);
// Byte offset of the field in the record layout: the defined lengths of the
// fields before it, in definition order; -1 for a field it does not have.
RAVLINK_BROWSER_API int64_t zvdbGetFieldOffset(RLHANDLE record, int32_t number);
RAVLINK_BROWSER_API RLHANDLE zvdbAllocRecord(RLHANDLE table);
RAVLINK_BROWSER_API int32_t zvdbFirstRecord(RLHANDLE record);
RAVLINK_BROWSER_API void zvdbFreeRecord(RLHANDLE record);
RAVLINK_BROWSER_API int32_t zvdbGetTableCreateMode(RLHANDLE table);
RAVLINK_BROWSER_API int32_t zvdbGetRecordCount(RLHANDLE record, int64_t* count);
RAVLINK_BROWSER_API const char* zvdbGetTableExtension(RLHANDLE table);
RAVLINK_BROWSER_API const char* zvdbGetIndexExtension(RLHANDLE table);
RAVLINK_BROWSER_API int32_t zvdbGetTableDefaultDataExtentSize(RLHANDLE table);
RAVLINK_BROWSER_API int32_t zvdbGetTableDefaultIndexExtentSize(RLHANDLE table);
RAVLINK_BROWSER_API int32_t zvdbGetPadChar(RLHANDLE table, char* pad, char* delimiter);
RAVLINK_BROWSER_API int32_t zvdbGetTableIndexCount(RLHANDLE table);
RAVLINK_BROWSER_API RLHANDLE zvdbGetIndex(RLHANDLE table, int32_t number);  // from 0
RAVLINK_BROWSER_API const char* zvdbGetIndexName(RLHANDLE index);
RAVLINK_BROWSER_API const char* zvdbGetIndexFilename(RLHANDLE index);  // null: the default
RAVLINK_BROWSER_API int32_t zvdbGetIndexKeyType(RLHANDLE index);
RAVLINK_BROWSER_API int32_t zvdbGetIndexKeyLength(RLHANDLE index);
RAVLINK_BROWSER_API int32_t zvdbGetIndexNullFlag(RLHANDLE index);
RAVLINK_BROWSER_API int32_t zvdbGetIndexDuplicateFlag(RLHANDLE index);  // 1: duplicates allowed
RAVLINK_BROWSER_API int32_t zvdbGetIndexSegmentCount(RLHANDLE index);
RAVLINK_BROWSER_API RLHANDLE zvdbGetSegment(RLHANDLE index, int32_t number);  // from 0
RAVLINK_BROWSER_API const char* zvdbGetSegmentFieldName(RLHANDLE segment);
RAVLINK_BROWSER_API int32_t zvdbGetSegmentMode(RLHANDLE segment);
// The value as text (dates and times in the session's types).
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsString(RLHANDLE record, int32_t number, char* buffer, int32_t size);
// Bytes of the value: text bytes, blob bytes, 8 for numbers; 0 for null.
RAVLINK_BROWSER_API int32_t zvdbGetFieldDataLength(RLHANDLE record, int32_t number);
RAVLINK_BROWSER_API int32_t zvdbNextRecord(RLHANDLE record);
// index: a number of zvdbGetIndex, or RL_BR_ORDER_PHYSICAL / RL_BR_ORDER_ROWID.
RAVLINK_BROWSER_API int32_t zvdbSetDefaultIndex(RLHANDLE record, int32_t index);
RAVLINK_BROWSER_API int32_t zvdbIsNullField(RLHANDLE record, int32_t number);  // 1 null, 0 not
// Positions on the record numbered `position` from 0 in the default order.
RAVLINK_BROWSER_API int32_t zvdbJumpToRecord(RLHANDLE record, int64_t position);
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsFloat(RLHANDLE record, int32_t number, double* value);
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsMoney(RLHANDLE record, int32_t number, ZvdbMoney* value);
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsNumber(RLHANDLE record, int32_t number, ZvdbNumber* value);
// At most size - 1 characters (the number with its scale's decimals).
RAVLINK_BROWSER_API int32_t zvdbNumberToString(const ZvdbNumber* number, char* buffer, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsTime(RLHANDLE record, int32_t number, int32_t* milliseconds);
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsTimeMsec(RLHANDLE record, int32_t number, int32_t* milliseconds);
// Time types: 8 "hh:mm:ss", 11 "hh:mm:ss.ttt" (the engine's other types too).
RAVLINK_BROWSER_API int32_t zvdbTimeToString(int32_t milliseconds, int32_t timeType, char* buffer, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbTimeMsecToString(int32_t milliseconds, int32_t timeType, char* buffer, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsDateTime(RLHANDLE record, int32_t number, ZvdbDateTime* value);
// Date type 1 "mm/dd/yyyy"; time types as zvdbTimeToString.
RAVLINK_BROWSER_API int32_t zvdbDateTimeToString(const ZvdbDateTime* value, int32_t dateType, int32_t timeType,
                                                 char* buffer, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbDateTimeGetTime(void);      // binding only
RAVLINK_BROWSER_API int32_t zvdbDateTimeGetDate(void);      // binding only
RAVLINK_BROWSER_API int32_t zvdbHasRecbyt(RLHANDLE table);  // 1: records have positions
// The record position: stays the record's while it lives, never names another.
RAVLINK_BROWSER_API int32_t zvdbGetRecordPos(RLHANDLE record, int64_t* position);
RAVLINK_BROWSER_API int32_t zvdbHasRowid(RLHANDLE table);  // 1: records have row ids
RAVLINK_BROWSER_API int32_t zvdbGetRowid(RLHANDLE record, int64_t* rowid);
// Positions on the record of that position; RL_BR_BAD_POSITION when none.
RAVLINK_BROWSER_API int32_t zvdbSeekRecord(RLHANDLE record, int64_t position);
RAVLINK_BROWSER_API RLHANDLE zvdbGetFieldByName(RLHANDLE table, const char* name);
// Converts and sets the value; takes at least every text the getters write.
RAVLINK_BROWSER_API int32_t zvdbSetFieldAsString(RLHANDLE record, int32_t number, const char* text);
// The same for a text of `length` bytes: a NUL byte in it is kept by a
// binary field and refused (RL_BAD_VALUE) by any other, never cut.
RAVLINK_BROWSER_API int32_t zvdbSetFieldAsText(RLHANDLE record, int32_t number, const char* text, int64_t length);
RAVLINK_BROWSER_API int32_t zvdbGetFieldNumber(RLHANDLE table, const char* name);  // -1 when unknown
// Adds the record after zvdbClearRecord + zvdbSetEditedRecord (1), else
// rewrites the sought record with the fields set since it was read.
RAVLINK_BROWSER_API int32_t zvdbWriteRecord(RLHANDLE record);
// mode 3 locks the current record for writing (RL_BR_LOCKED when another
// session holds it); mode 0 releases it.
RAVLINK_BROWSER_API int32_t zvdbLockRecord(RLHANDLE record, int32_t mode);
RAVLINK_BROWSER_API int32_t zvdbUnlockRecord(RLHANDLE record);
// On a session, database, table or record: the session's transaction. A
// commit or abort without a transaction answers 0.
RAVLINK_BROWSER_API int32_t zvdbBegin(RLHANDLE handle);
RAVLINK_BROWSER_API int32_t zvdbCommit(RLHANDLE handle);
RAVLINK_BROWSER_API int32_t zvdbClearField(RLHANDLE record, int32_t number);  // sets null
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsBlob(RLHANDLE record, int32_t number, ZvdbBlob* blob);
RAVLINK_BROWSER_API ZvdbBlob* zvdbBlobAlloc(int32_t capacity);  // an empty blob
RAVLINK_BROWSER_API void zvdbBlobFree(ZvdbBlob* blob);
RAVLINK_BROWSER_API const unsigned char* zvdbBlobGetData(const ZvdbBlob* blob);
RAVLINK_BROWSER_API int32_t zvdbBlobGetSize(const ZvdbBlob* blob);
RAVLINK_BROWSER_API int32_t zvdbBlobSet(ZvdbBlob* blob, const void* bytes, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbGetRecordBuffer(void);  // binding only
RAVLINK_BROWSER_API int32_t zvdbGetFieldType(RLHANDLE field);
RAVLINK_BROWSER_API int32_t zvdbSetFieldAsBlob(RLHANDLE record, int32_t number, const ZvdbBlob* blob);
// 1 when another session holds a lock on the current record, else 0.
RAVLINK_BROWSER_API int32_t zvdbGetRecordLock(RLHANDLE record);
RAVLINK_BROWSER_API int32_t zvdbSetDefTimeType(RLHANDLE session, int32_t timeType);
RAVLINK_BROWSER_API int32_t zvdbDeleteRecord(RLHANDLE record);
RAVLINK_BROWSER_API int32_t zvdbClearRecord(RLHANDLE record);
RAVLINK_BROWSER_API int32_t zvdbSetEditedRecord(RLHANDLE record, int32_t edited);
// path "" is the server's directory; any path must stay inside it.
RAVLINK_BROWSER_API int32_t zvdbAddDatabase(RLHANDLE session, const char* name, const char* path);
RAVLINK_BROWSER_API int32_t zvdbCreateDatabase(RLHANDLE session, const char* name, const char* path);
// Drop forgets the database and keeps its file; delete removes the file too.
RAVLINK_BROWSER_API int32_t zvdbDropDatabase(RLHANDLE session, const char* name);
RAVLINK_BROWSER_API int32_t zvdbDeleteDatabase(RLHANDLE session, const char* name);
RAVLINK_BROWSER_API int32_t zvdbAddTableXtd(RLHANDLE database, const char* name, const char* fileName,
                                            const char* path);
RAVLINK_BROWSER_API int32_t zvdbDropTable(RLHANDLE database, const char* name);
RAVLINK_BROWSER_API int32_t zvdbDeleteTable(RLHANDLE database, const char* name, const char* password);
RAVLINK_BROWSER_API int32_t zvdbSetSqlCallBack(void);  // binding only
RAVLINK_BROWSER_API const char* zvdbGetTablePath(RLHANDLE table);
// The JSON value as text; the buffer holds a text also when the call fails.
RAVLINK_BROWSER_API int32_t zvdbGetFieldAsJSON(RLHANDLE record, int32_t number, char* buffer, int32_t size,
                                               int32_t format);
RAVLINK_BROWSER_API int32_t zvdbGetFieldBinaryFlag(RLHANDLE field);
// The condition of index `number` exactly as it was set.
RAVLINK_BROWSER_API int32_t zvdbGetCndxIndex(RLHANDLE table, int32_t number, char* buffer, int32_t size);
// Its length with the terminating NUL; -1 when the index has no condition.
RAVLINK_BROWSER_API int32_t zvdbGetCndxIndexLength(RLHANDLE table, int32_t number);
// 0 when the condition is valid for the record's table.
RAVLINK_BROWSER_API int32_t zvdbCndxCompile(RLHANDLE record, const char* expression);
RAVLINK_BROWSER_API int32_t zvdbGetIndexEmptyChar(RLHANDLE index);  // -1 when none
RAVLINK_BROWSER_API int32_t zvdbSetTablePath(RLHANDLE table, const char* path);
// Creates the table from the handle's definition; nothing is left behind
// when it fails.
RAVLINK_BROWSER_API int32_t zvdbCreateTable(RLHANDLE table, const char* name, int32_t mode);
RAVLINK_BROWSER_API RLHANDLE zvdbAddField(RLHANDLE table, const char* name, int32_t type, int32_t length);
RAVLINK_BROWSER_API int32_t zvdbSetTableExtension(RLHANDLE table, const char* extension);
RAVLINK_BROWSER_API int32_t zvdbSetIndexExtension(RLHANDLE table, const char* extension);
RAVLINK_BROWSER_API int32_t zvdbSetTableDefaultDataExtentSize(RLHANDLE table, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbSetTableDefaultIndexExtentSize(RLHANDLE table, int32_t size);
RAVLINK_BROWSER_API int32_t zvdbSetPadChar(RLHANDLE table, char pad, char delimiter);
RAVLINK_BROWSER_API int32_t zvdbSetFieldScale(RLHANDLE field, int32_t scale);
RAVLINK_BROWSER_API int32_t zvdbSetFieldPrecision(RLHANDLE field, int32_t precision);
RAVLINK_BROWSER_API int32_t zvdbSetIdentityField(RLHANDLE table, const char* name, int64_t seed, int64_t increment);
RAVLINK_BROWSER_API int32_t zvdbSetFieldBinaryFlag(RLHANDLE field, int32_t flag);
RAVLINK_BROWSER_API int32_t zvdbSetFieldNullFlag(RLHANDLE field, int32_t nulls);  // 1: nulls allowed
RAVLINK_BROWSER_API RLHANDLE zvdbAddIndex(RLHANDLE table, const char* name, int32_t keyType, int32_t duplicates,
                                          int32_t nulls);
RAVLINK_BROWSER_API int32_t zvdbSetIndexEmptyChar(RLHANDLE index, int32_t character);
RAVLINK_BROWSER_API int32_t zvdbSetIndexCndxExpr(RLHANDLE index, const char* expression);  // "" removes it
// mode 12 ascending, or-ed with 16 for descending.
RAVLINK_BROWSER_API RLHANDLE zvdbAddSegment(RLHANDLE index, RLHANDLE field, int32_t mode);
RAVLINK_BROWSER_API RLHANDLE zvdbAddJSONSegment(RLHANDLE index, RLHANDLE field, const char* key, int32_t type,
                                                int32_t size);
RAVLINK_BROWSER_API int32_t zvdbGetError(RLHANDLE handle);
// Stores the handle's pending definition: in one transaction (the caller's
// when it began one on the table, else its own). Fails without a change.
RAVLINK_BROWSER_API int32_t zvdbAlterTable(RLHANDLE table, int32_t mode);
RAVLINK_BROWSER_API int32_t zvdbSetTransactionMode(void);  // binding only
RAVLINK_BROWSER_API int32_t zvdbUpdatePadChar(RLHANDLE table, char pad, char delimiter, int32_t flags);
// Stores the new create mode together with the handle's pending definition
// (as zvdbAlterTable does).
RAVLINK_BROWSER_API int32_t zvdbUpdateCreateMode(RLHANDLE table, int32_t mode);
RAVLINK_BROWSER_API int32_t zvdbDelField(void);  // binding only
RAVLINK_BROWSER_API int32_t zvdbDelFieldByName(RLHANDLE table, const char* name);
RAVLINK_BROWSER_API int32_t zvdbSetFieldName(RLHANDLE field, const char* name);
RAVLINK_BROWSER_API int32_t zvdbSetFieldType(RLHANDLE field, int32_t type);
RAVLINK_BROWSER_API int32_t zvdbSetFieldLength(RLHANDLE field, int32_t length);
RAVLINK_BROWSER_API int32_t zvdbMoveField(RLHANDLE field, int32_t position);
RAVLINK_BROWSER_API int32_t zvdbSetIndexName(RLHANDLE index, const char* name);
RAVLINK_BROWSER_API int32_t zvdbSetIndexFilename(RLHANDLE index, const char* path, const char* fileName);
RAVLINK_BROWSER_API int32_t zvdbSetIndexKeyType(RLHANDLE index, int32_t keyType);
RAVLINK_BROWSER_API int32_t zvdbSetIndexDuplicateFlag(RLHANDLE index, int32_t duplicates);
RAVLINK_BROWSER_API int32_t zvdbSetIndexNullFlag(RLHANDLE index, int32_t nulls);
RAVLINK_BROWSER_API int32_t zvdbSetSegmentField(void);      // binding only
RAVLINK_BROWSER_API int32_t zvdbSetJSONSegmentField(void);  // binding only
RAVLINK_BROWSER_API int32_t zvdbSetSegmentMode(void);       // binding only
RAVLINK_BROWSER_API int32_t zvdbDelIndex(RLHANDLE table, int32_t number);
// The following segments move up one place.
RAVLINK_BROWSER_API int32_t zvdbDelSegment(RLHANDLE index, int32_t number);
RAVLINK_BROWSER_API int32_t zvdbAbort(RLHANDLE handle);
RAVLINK_BROWSER_API int32_t zvdbGetIndexNbrByName(RLHANDLE table, const char* name);  // -1 when unknown
// kind RL_BR_CALLBACK_ALTER; callback null removes it.
RAVLINK_BROWSER_API int32_t zvdbSetCallback(RLHANDLE table, int32_t kind, ZvdbAlterCallback callback);
// The session handle (as zvdbAllocSession gave it) of any handle; null when bad.
RAVLINK_BROWSER_API RLHANDLE zvdbGetSessionHandle(RLHANDLE handle);
// For the calling thread's rebuilds; step 0: no periodic call.
RAVLINK_BROWSER_API int32_t zvdbSetCallbackOnRebuild(ZvdbRebuildCallback callback, int32_t step);
// *key points to the segment's JSON key, valid until the calling thread's next call of this.
RAVLINK_BROWSER_API int32_t zvdbGetJSONSegmentProperties(RLHANDLE segment, const char** key, int32_t* type,
                                                         int32_t* size);
// Rebuilds the table's indexes from its records: a failed, stopped or
// interrupted rebuild leaves the table as it was.
RAVLINK_BROWSER_API int32_t zvdbRebuildTable(RLHANDLE table, int32_t mode);
// 159 zvThrdInit (monitor.h)
RAVLINK_BROWSER_API int zvdbIsActiveSession(RLHANDLE handle);      // 1: the handle's session is logged on
RAVLINK_BROWSER_API int32_t zvdbGetDatabaseCount(void);            // binding only
RAVLINK_BROWSER_API char _zvdbGetPathSeparator(RLHANDLE session);  // '/'
RAVLINK_BROWSER_API double zvdbMoneyToFloat(ZvdbMoney money);

#ifdef __cplusplus
}
#endif
