// zvsqlapi: the SQL client library (web/zvsqlapi.so) over the database
// engine's SQLite files. A table written through ravlink is read here and
// the other way round.
//
// Log-on
//   zvsqlConnect takes "PORT@HOST:DATABASE". HOST must name this machine
//   (empty, "localhost", 127.0.0.1, ::1 or the host name); it may be written
//   "SERVER@HOST" to name the engine server, which is otherwise
//   $ZVSQL_SERVER, or "BRENLOXS". The user and password are checked by the
//   engine (ravlink): whoever logs on there logs on here, nobody else. The
//   database must exist; it is opened, never created.
//
// Handles
//   Connection, command and cursor handles are opaque and checked on every
//   call: a freed or unknown handle is refused with ZVSQL_BAD_HANDLE (or
//   ignored by the free functions). Free them in any order: freeing a
//   command frees its cursors, freeing a connection ends its commands
//   (their later use fails with ZVSQL_NOT_CONNECTED) and rolls back its
//   uncommitted work. One connection serves one call at a time, from any
//   thread; its calls are serialised on its own lock.
//
// Errors
//   0 is success; every failure returns a non-zero code and leaves the code,
//   the message and (for statements) the byte offset of the error in the
//   caller's text on the connection, where they stay after the command and
//   the cursor are freed. SQLite failures give SQLite's extended codes;
//   the library's own codes are listed in ZvsqlCode.
//
// Statements
//   A command holds one statement at a time; a second zvsqlPrepare replaces
//   it (its old cursor then answers ZVSQL_END_OF_ROWS). zvsqlExecute runs the
//   statement up to its first row, which is current at once; the first
//   zvsqlNext stays on it, each later one moves on. A statement without
//   result columns whose "?" parameters are not all bound is only armed by
//   zvsqlExecute: the zvsqlSetBlob that binds its last parameter runs it.
//   The dialect "call name(args)", "select top N skip M ...", a trailing
//   "ZVOPTION(BADREC)" and the select-list item "rowid" are rewritten to
//   SQLite's forms; the catalog of the owner "admin" (systables, syscolumns,
//   ...) is an attached schema of each connection.
//
// Time-outs
//   zvsqlSetTimeout(command, seconds) bounds each run of the command's
//   statement as a whole: from the execute (or the blob send that runs it)
//   through every fetch of its cursor, lock waits included. No statement runs
//   longer than the library's maximum of 300 seconds (lowered by
//   $ZVSQL_MAX_STATEMENT_SECONDS): 0, a negative time-out or a longer one
//   gets that maximum. Commands start with the default of 30 seconds.
//   zvsqlSetInterruptCheck(connection, check, argument) gives the
//   connection a function that a running statement calls on its own thread
//   about every 100 ms (also while it waits for a lock); when it answers
//   non-zero the statement ends with ZVSQL_INTERRUPTED. A server calls it
//   with a check of whether its client is still connected.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZVSQL_API __attribute__((visibility("default")))

typedef struct ZvsqlConnection* ZVSQL_CONN;
typedef struct ZvsqlCommand* ZVSQL_CMD;
typedef struct ZvsqlCursor* ZVSQL_CURSOR;

enum ZvsqlCode {
  ZVSQL_OK = 0,
  ZVSQL_END_OF_ROWS = 9100,     // zvsqlNext: no (more) rows; never a failure
  ZVSQL_NULL_VALUE = 9101,      // readers: the value is SQL NULL (nothing is read)
  ZVSQL_BAD_HANDLE = 9102,      // a null, freed or unknown handle
  ZVSQL_BAD_COLUMN = 9103,      // column number out of range
  ZVSQL_BAD_ARGUMENT = 9104,    // null buffer, size below 1, unknown type code or level
  ZVSQL_NOT_CONNECTED = 9105,   // not logged on, or the connection was freed
  ZVSQL_TIMED_OUT = 9106,       // the command's time-out passed (lock waits included)
  ZVSQL_CONVERSION = 9107,      // the value does not convert to the reader's type or range
  ZVSQL_NO_ROW = 9108,          // readers: no current row
  ZVSQL_NOT_PREPARED = 9109,    // execute without a prepared statement
  ZVSQL_MULTIPLE = 9110,        // more than one statement in one text
  ZVSQL_BAD_CONNECT = 9111,     // connect string refused: its form, a remote host, an unknown database
  ZVSQL_REFUSED = 9112,         // a statement the library does not run (file access, catalog changes,
                                // writes to the engine's own tables, functions that answer addresses)
  ZVSQL_BAD_PARAMETER = 9113,   // parameter index out of range
  ZVSQL_EMPTY_STATEMENT = 9114,  // a text without a statement
  ZVSQL_INTERRUPTED = 9115       // the connection's interrupt check ended the statement
};

// Column types (zvsqlGetColumnType), each with the reader that takes it.
enum ZvsqlColumnType {
  ZVSQL_TYPE_CHAR = 1,
  ZVSQL_TYPE_NUMERIC = 2,
  ZVSQL_TYPE_SMALLINT = 3,
  ZVSQL_TYPE_INTEGER = 4,
  ZVSQL_TYPE_REAL = 5,
  ZVSQL_TYPE_FLOAT = 6,
  ZVSQL_TYPE_DATE = 7,
  ZVSQL_TYPE_MONEY = 8,
  ZVSQL_TYPE_TIME = 9,
  ZVSQL_TYPE_TIMESTAMP = 10,
  ZVSQL_TYPE_TINYINT = 11,
  ZVSQL_TYPE_BINARY = 12,
  ZVSQL_TYPE_BIT = 13,
  ZVSQL_TYPE_LVC = 14,  // long text
  ZVSQL_TYPE_LVB = 15,  // long binary
  ZVSQL_TYPE_BIGINT = 16,
  ZVSQL_TYPE_NCHAR = 17,
  ZVSQL_TYPE_NVARCHAR = 18,
  ZVSQL_TYPE_NCHAR_CS = 19,
  ZVSQL_TYPE_NVARCHAR_CS = 20,
  ZVSQL_TYPE_VARCHAR = 21,
  ZVSQL_TYPE_BLOB = 22,
  ZVSQL_TYPE_CLOB = 23,
  ZVSQL_TYPE_NLVC = 24,
  ZVSQL_TYPE_NCLOB = 25,
  ZVSQL_TYPE_VARBINARY = 26
};

// Records of the typed readers. Date, time and time stamp fit in 32 bytes,
// money in 16 (the sizes zvsqlConvert is given).
typedef struct {
  int16_t year;
  uint8_t month;
  uint8_t day;
} zvsqlDate;

typedef struct {
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
  uint8_t reserved;
  uint16_t millisecond;
} zvsqlTime;

typedef struct {
  int16_t year;
  uint8_t month, day, hour, minute, second;
  uint8_t reserved;
  uint16_t millisecond;
} zvsqlTimeStamp;

// whole: the integer part, saturated to 16 bits (its sign is that of the
// value); text: the whole value as decimal text with four decimals, which
// callers print. A value whose text needs more than 13 characters is
// refused with ZVSQL_CONVERSION.
typedef struct {
  int16_t whole;
  char text[14];
} zvsqlMoney;

// The caller sets data and capacity; the reader copies at most capacity
// bytes and sets length to the value's whole length.
typedef struct {
  int32_t length;
  int32_t capacity;
  unsigned char* data;
} zvsqlBinary;

// ---- connections, transactions, errors ----
ZVSQL_API ZVSQL_CONN zvsqlNewConnection(void);
ZVSQL_API void zvsqlFreeConnection(ZVSQL_CONN conn);
ZVSQL_API int zvsqlConnect(ZVSQL_CONN conn, const char* connectString, const char* user, const char* password);
ZVSQL_API int zvsqlDisconnect(ZVSQL_CONN conn);               // rolls back open work; the handle stays usable
ZVSQL_API int zvsqlIsActiveConn(ZVSQL_CONN conn);             // 1 when logged on
ZVSQL_API int zvsqlCommit(ZVSQL_CONN conn);                   // 0 also when nothing is open
ZVSQL_API int zvsqlAbort(ZVSQL_CONN conn);                    // rolls back; 0 also when nothing is open
ZVSQL_API const char* zvsqlGetErrorMessage(ZVSQL_CONN conn);  // never null; valid until the next call on conn
ZVSQL_API int zvsqlGetError(ZVSQL_CONN conn);
ZVSQL_API int zvsqlGetErrorPos(ZVSQL_CONN conn);  // byte offset from 0 in the caller's text; -1 unknown
// 1: each statement commits by itself. 0 (the default): work stays in a
// transaction, opened before the first write, until zvsqlCommit/zvsqlAbort.
ZVSQL_API int zvsqlSetAutoCommit(ZVSQL_CONN conn, int on);
// 0 read uncommitted, 1 read committed: the transaction opens at the first
// write. 2 repeatable read, 3 serializable: also at the first read.
ZVSQL_API int zvsqlSetIsolationLevel(ZVSQL_CONN conn, int level);

// ---- commands ----
ZVSQL_API ZVSQL_CMD zvsqlNewCommand(ZVSQL_CONN conn);  // also before zvsqlConnect
ZVSQL_API void zvsqlFreeCommand(ZVSQL_CMD cmd);
ZVSQL_API int zvsqlSetTimeout(ZVSQL_CMD cmd, int seconds);
// check(argument) != 0 interrupts the connection's running statement; a null check removes it.
ZVSQL_API int zvsqlSetInterruptCheck(ZVSQL_CONN conn, int (*check)(void* argument), void* argument);
ZVSQL_API int zvsqlPrepare(ZVSQL_CMD cmd, const char* sql);
// Writes a cursor on success (also for statements without columns).
ZVSQL_API int zvsqlExecute(ZVSQL_CMD cmd, ZVSQL_CURSOR* cursor);
// Prepares and runs to the end; rows are dropped.
ZVSQL_API int zvsqlExecuteDirect(ZVSQL_CMD cmd, const char* sql);
ZVSQL_API int64_t zvsqlAffectedRows(ZVSQL_CMD cmd);  // rows changed by the last statement run; 0 otherwise
ZVSQL_API int zvsqlSetParameterAsString(ZVSQL_CMD cmd, int index, const char* text);      // NULL text binds NULL
ZVSQL_API int zvsqlSetParameter(ZVSQL_CMD cmd, int index, const void* data, int length);  // bytes
ZVSQL_API int zvsqlSetIntegerParameter(ZVSQL_CMD cmd, int index, int32_t value);
ZVSQL_API int zvsqlSetBigIntParameter(ZVSQL_CMD cmd, int index, int64_t value);
ZVSQL_API int zvsqlSetTimeStampParameter(ZVSQL_CMD cmd, int index, const zvsqlTimeStamp* value);
// Binds a long value (text for a character column, bytes otherwise); once
// every parameter of an armed statement is bound, runs it and answers its code.
ZVSQL_API int zvsqlSetBlob(ZVSQL_CMD cmd, int index, const void* data, int length, int flags);

// ---- cursors ----
// 0 on a row; ZVSQL_END_OF_ROWS after the last; any other code is a failure
// (also on the connection).
ZVSQL_API int zvsqlNext(ZVSQL_CURSOR cursor);
ZVSQL_API void zvsqlFreeCursor(ZVSQL_CURSOR cursor);  // null and freed cursors are ignored
ZVSQL_API int zvsqlGetColumnCount(ZVSQL_CURSOR cursor);
ZVSQL_API const char* zvsqlGetColumnName(ZVSQL_CURSOR cursor, int column);  // null when out of range
ZVSQL_API int16_t zvsqlGetColumnType(ZVSQL_CURSOR cursor, int column);      // a ZvsqlColumnType; 0 out of range
// Text types: bytes of the current value's text plus its NUL (1 for NULL);
// binary and long types: the value's bytes; fixed types: the record size.
ZVSQL_API int32_t zvsqlGetColumnLength(ZVSQL_CURSOR cursor, int column);
ZVSQL_API int zvsqlGetColumnScale(ZVSQL_CURSOR cursor, int column);
ZVSQL_API int zvsqlIsColumnNull(ZVSQL_CURSOR cursor, int column);  // 1 null (or no row), 0 not null

// ---- readers: (cursor, column from 0, out) -> 0, ZVSQL_NULL_VALUE, or a failure ----
// Text readers write at most size bytes, always NUL-terminated; a longer
// value is cut (on a character boundary) and still answers 0. A number is
// never cut: zvsqlGetNumericAsString gives the exact decimal (the engine keeps
// up to 400 digits) or ZVSQL_CONVERSION when it does not fit the buffer.
ZVSQL_API int zvsqlGetChar(ZVSQL_CURSOR cursor, int column, char* buffer, int32_t size);
ZVSQL_API int zvsqlGetNChar(ZVSQL_CURSOR cursor, int column, char* buffer, int32_t size);
ZVSQL_API int zvsqlGetNumericAsString(ZVSQL_CURSOR cursor, int column, char* buffer, int32_t size);
ZVSQL_API int zvsqlGetSmallInt(ZVSQL_CURSOR cursor, int column, int16_t* out);
ZVSQL_API int zvsqlGetInteger(ZVSQL_CURSOR cursor, int column, int32_t* out);
ZVSQL_API int zvsqlGetBigInt(ZVSQL_CURSOR cursor, int column, int64_t* out);
ZVSQL_API int zvsqlGetTinyInt(ZVSQL_CURSOR cursor, int column, int8_t* out);
ZVSQL_API int zvsqlGetBit(ZVSQL_CURSOR cursor, int column, unsigned char* out);
ZVSQL_API int zvsqlGetReal(ZVSQL_CURSOR cursor, int column, float* out);
ZVSQL_API int zvsqlGetFloat(ZVSQL_CURSOR cursor, int column, double* out);
ZVSQL_API int zvsqlGetDate(ZVSQL_CURSOR cursor, int column, zvsqlDate* out);
ZVSQL_API int zvsqlGetTime(ZVSQL_CURSOR cursor, int column, zvsqlTime* out);
ZVSQL_API int zvsqlGetTimeStamp(ZVSQL_CURSOR cursor, int column, zvsqlTimeStamp* out);
ZVSQL_API int zvsqlGetMoney(ZVSQL_CURSOR cursor, int column, zvsqlMoney* out);
ZVSQL_API int zvsqlGetBinary(ZVSQL_CURSOR cursor, int column, zvsqlBinary* out);
// One piece of a long value from a byte offset: at most size bytes; for
// character columns (14, 23) at most size - 1 bytes and a NUL. *read: the
// value bytes delivered (0 at or past the end, still code 0).
ZVSQL_API int zvsqlGetBlob(ZVSQL_CURSOR cursor, int column, void* buffer, int32_t size, int64_t offset, int32_t* read);

// Text of a value record (7 date, 8 money, 9 time, 10 time stamp, 16 64-bit
// integer, 26 binary) into out (at most outSize bytes with the NUL). format:
// MM, DD, YYYY, HH24, MI, SS, MLS; null for the default form. target must be 1.
ZVSQL_API int zvsqlConvert(int sourceType, const void* value, int32_t valueSize, const char* format, int target,
                           char* out, int32_t outSize);

#ifdef __cplusplus
}
#endif
