// ravlink's statistics and management calls: what a server monitor reads of
// the engine (logons, open files, locks, the event log, counters, memory and
// function timing) and the few things it may do (end a logon, purge the log).
//
// The functions are plain C names, bound by name by the tools that load the
// engine (dlsym); their order below is the order in which the monitor binds
// them. Handle-less calls act on the server of the calling thread's current
// logon (rlSetCurrentOwner / zvdbSetQuarnOWNER): without one they answer
// RL_MON_NO_LOGON.
//
// Results: 0 is success; 101 no (more) entries; other values are codes, all
// within -32768..32767 because several callers read them as 16-bit values.
// Blocks are written in this machine's byte order; the byte-order byte of
// every block ("sflvr") is 2. No call writes beyond the length it is given
// (or, where no length is passed, beyond the size stated here).
//
// Threading: every call may come from any thread, at the same time as the
// engine's other calls; the figures are read under the engine's registries'
// own locks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define RAVLINK_MON_API __attribute__((visibility("default")))

// Codes of these calls beyond the engine's RlCode values.
enum RlMonitorCode {
  RL_MON_BUFFER_TOO_SMALL = 153,  // USERINFOX: bufferSize now holds the size needed
  RL_MON_NAME_REGISTERED = 518,   // REGQUARN: the instance name is registered already
  RL_MON_NOT_SUPPORTED = 4230,    // a name that exists for binding only, or an unknown action
  RL_MON_NO_LOGON = 4231,         // no current logon on the calling thread
  RL_MON_KILLED = 4232,           // the logon was ended by zvklusr; it has rolled back and let go of its locks
  RL_MON_UNKNOWN_TASK = 4233,     // zvklusr: no such task on this server (or its user is not uid)
  RL_MON_OWN_TASK = 4234,         // zvklusr: a logon does not end itself this way
  RL_MON_BAD_PATH = 4235,         // a file name outside the server's directory
  RL_MON_LIMIT = 4236,            // a registry of these calls is full (instance names, open logs)
  RL_MON_BAD_LOG = 4237,          // OPNRFIL of another file than the event log, or a log not open
  RL_MON_NOT_ADMINISTRATOR = 4238,  // zvklusr, the log purge, timing start/stop/clear, the memory log: the
                                    // caller's user is not an administrator of its server (the catalog's admin flag)
  RL_MON_NOT_A_LOG = 4239,          // zvMEMSTAT log: the name is a database or engine file, or another
                                    // file than a memory log
};

// Sizes of the blocks the snapshot actions fill.
enum RlMonitorBlock {
  RL_MON_SYSTEM_BLOCK = 1952,  // zvSNAPSHOT 25; more room adds the function-timing region
  RL_MON_SQL_BLOCK = 168,      // zvSNAPSHOT 35
  RL_MON_USER_BLOCK = 576,     // zvSNAPSHOT 26 (the calling logon), 36 (task "%d")
  RL_MON_FILE_BLOCK = 640,     // zvSNAPSHOT 37 (file number "%d")
  RL_MON_MEMORY_BLOCK = 616,   // zvSNAPSHOT 40
  RL_MON_CONFIG_VALUES = 256,  // SYSCFG: signed 32-bit values
  RL_MON_IO_COUNTERS = 22,     // IOPERFORMANCEX: unsigned 32-bit counters
  RL_MON_LOG_BUFFER = 8192,    // the largest event-log record
  RL_MON_FUNCTIONS = 319,      // function numbers of the timing region
};

// Offsets of the fields the engine writes in the snapshot blocks, in bytes
// from the block's start; the monitor reads them at the same names. Every
// block starts with the same head.
enum RlMonitorHeadOffset {
  RL_MON_AT_CLIENT_VERSION = 0,       // structure version, u32
  RL_MON_AT_SERVER_VERSION = 4,       // structure version, u32
  RL_MON_AT_FIXED_LENGTH = 8,         // u32
  RL_MON_AT_VARIABLE_LENGTH = 12,     // u32: the function-timing region's length
  RL_MON_AT_CONTENTS = 16,            // u32: 1 when the timing region follows
  RL_MON_AT_SNAPSHOT_TIME = 24,       // u64 seconds (system, SQL and user blocks)
  RL_MON_FILE_AT_SNAPSHOT_TIME = 16,  // u64 seconds (file block)
};

// The system block (RL_SNAP_SYSTEM); u64 unless marked.
enum RlSystemBlockOffset {
  RL_SYS_AT_LOCK_TRIES = 80,
  RL_SYS_AT_LOCK_GRANTS = 88,
  RL_SYS_AT_LOCK_DENIALS = 96,
  RL_SYS_AT_LOCK_RELEASES = 136,
  RL_SYS_AT_LOCKS_HELD = 144,
  RL_SYS_AT_TRANSACTION_TIME = 160,  // nanoseconds, summed
  RL_SYS_AT_TRANSACTIONS_TIMED = 168,
  RL_SYS_AT_TRANSACTION_MAX = 176,  // nanoseconds
  RL_SYS_AT_MEMORY_HIGH = 224,
  RL_SYS_AT_MEMORY_USED = 232,
  RL_SYS_AT_CACHE_REQUESTS = 240,
  RL_SYS_AT_CACHE_HITS = 248,
  RL_SYS_AT_DATA_READS = 272,          // then read bytes, writes, write bytes
  RL_SYS_AT_LOG_WRITES = 336,          // then write bytes, reads, read bytes
  RL_SYS_AT_TRANSACTIONS_BEGUN = 384,  // then committed, aborted
  RL_SYS_AT_SYNCS = 432,               // then log syncs, data syncs
  RL_SYS_AT_TICKS_PER_SECOND = 456,    // i64, never byte-reversed by the monitor
  RL_SYS_AT_ELAPSED_SERVER_TIME = 712,
  RL_SYS_AT_TRANSACTION_HISTOGRAM = 896,  // u32 buckets
  RL_SYS_AT_OPEN_TABLES = 992,            // i32, then connections, -, tables high, connections high
  RL_SYS_AT_LOGONS = 1016,                // u32
  RL_SYS_AT_LOCK_ENTRIES = 1024,          // u32
  RL_SYS_AT_DIAGNOSTIC_FLAG = 1068,       // u32
  RL_SYS_AT_RECORDS_ADDED = 1136,         // then deleted
  RL_SYS_AT_ACTIVE_LOGONS = 1176,         // u32: logons inside a call
  RL_SYS_AT_BYTE_ORDER = 1252,            // u8, then alignment, pointer size
  RL_SYS_AT_KILLS = 1256,
  RL_SYS_AT_RECORDS_UPDATED = 1264,
  RL_SYS_AT_DESCRIPTION = 1472,     // text of 128
  RL_SYS_AT_CURRENT_USERS = 1600,   // u32, then maximum users
  RL_SYS_AT_SERVER_VERSION = 1608,  // u32
  RL_SYS_AT_FILE_OPENS = 1696,      // then closes (structure version 21 on)
  RL_SYS_AT_FILE_OPENS_LENGTH = 16,
  RL_SYS_AT_TABLE_OPENS = 1856,  // then closes, creates, renames, deletes (version 21 on)
  RL_SYS_AT_TABLE_OPENS_LENGTH = 40,
};

// The SQL block (RL_SNAP_SQL).
enum RlSqlBlockOffset {
  RL_SQL_AT_MEMORY_HIGH = 32,  // u64, then memory used
  RL_SQL_AT_ALLOCATIONS = 80,  // i32
  RL_SQL_AT_BYTE_ORDER = 108,  // u8, then alignment, pointer size
};

// The user block (RL_SNAP_USER, RL_SNAP_OWN_USER).
enum RlUserBlockOffset {
  RL_USER_AT_TRANSACTION_TIME = 32,    // u64 nanoseconds, then the longest
  RL_USER_AT_TICKS_PER_SECOND = 48,    // i64, never byte-reversed by the monitor
  RL_USER_AT_OWNER = 320,              // u32, the task
  RL_USER_AT_TRANSACTIONS = 340,       // u32, then begun, committed, aborted
  RL_USER_AT_OPEN_TABLES = 356,        // u32
  RL_USER_AT_LOGON_TIME = 360,         // u32, then the last request's time
  RL_USER_AT_LAST_FUNCTION = 368,      // u32
  RL_USER_AT_ACTIVE = 376,             // u32
  RL_USER_AT_OPEN_TABLES_HIGH = 396,   // u32
  RL_USER_AT_ADDRESS = 448,            // u32 IPv4
  RL_USER_AT_ADDRESS_V6 = 452,         // 16 bytes
  RL_USER_AT_CLIENT_BYTE_ORDER = 480,  // u8, then alignment, pointer size
  RL_USER_AT_BYTE_ORDER = 483,         // u8, then alignment, pointer size
  RL_USER_AT_NODE = 512,               // text of 32
  RL_USER_AT_USER = 544,               // text of 32
};

// The file block (RL_SNAP_FILE).
enum RlFileBlockOffset {
  RL_FILE_AT_PHYSICAL_SIZE = 24,      // u64
  RL_FILE_AT_TICKS_PER_SECOND = 112,  // i64, never byte-reversed by the monitor
  RL_FILE_AT_FILE_NUMBER = 196,       // u32
  RL_FILE_AT_SERVER_VERSION = 200,    // u32
  RL_FILE_AT_USERS = 316,             // u32
  RL_FILE_AT_FILE_BYTE_ORDER = 369,   // u8, then alignment, pointer size
  RL_FILE_AT_BYTE_ORDER = 372,        // u8, then alignment, pointer size
  RL_FILE_AT_NAME = 384,              // text of 256
};

// The memory block (RL_SNAP_MEMORY): 25 size classes.
enum RlMemoryBlockOffset {
  RL_MEMORY_AT_NAMES = 16,    // 8 characters each
  RL_MEMORY_AT_COUNTS = 216,  // u64 each
  RL_MEMORY_AT_BYTES = 416,   // u64 each
};

// An entry of USERINFOX's logon list, RL_MON_USER_ENTRY bytes; texts are
// NUL-ended within their room.
enum RlUserEntryOffset {
  RL_UENT_AT_TASK = 0,                 // i16
  RL_UENT_AT_ACTIVE = 2,               // i16: inside a call
  RL_UENT_AT_USER = 4,                 // text of 32
  RL_UENT_AT_COMM_INFO = 36,           // text of 52
  RL_UENT_AT_LOGON_TIME = 88,          // i32
  RL_UENT_AT_LAST_REQUEST_TIME = 96,   // i32
  RL_UENT_AT_TRANSACTION_BEGIN = 100,  // i32, 0 outside a transaction
  RL_UENT_AT_FILES = 104,              // i32
  RL_UENT_AT_NODE = 112,               // text of 32
  RL_UENT_AT_LAST_FUNCTION = 144,      // text of 32
  RL_UENT_AT_COUNTERS = 176,           // u64 x 9: disk, data cache, index cache, then the memory
  RL_UENT_AT_MEMORY = 240,             // u64, the last counter
  RL_MON_USER_ENTRY = 248,
};

// An event-log record: the fixed part, then the text and its NUL.
enum RlLogRecordOffset {
  RL_LOG_AT_CLASS = 0,          // i32
  RL_LOG_AT_EVENT = 4,          // i32
  RL_LOG_AT_DAY = 8,            // i32 day number
  RL_LOG_AT_SECONDS = 12,       // i32 seconds of the day
  RL_LOG_AT_RESERVED = 16,      // i32
  RL_LOG_AT_SEQUENCE = 20,      // i32
  RL_LOG_AT_ERROR = 24,         // i32
  RL_LOG_AT_INSTANCE = 28,      // i32
  RL_LOG_AT_USER = 32,          // text of 32
  RL_LOG_AT_NODE = 64,          // text of 32
  RL_LOG_AT_TEXT_LENGTH = 110,  // u16
  RL_LOG_FIXED_PART = 112,      // where the text starts
};

// An entry of zvGetOpenFiles' list: the name follows the fixed part.
enum RlOpenFileEntryOffset {
  RL_OFILE_AT_FILE_NUMBER = 0,     // i16
  RL_OFILE_AT_STATUS = 2,          // i16
  RL_OFILE_AT_TYPE = 4,            // i8: 0 data file
  RL_OFILE_AT_SUPERFILE_TYPE = 5,  // i8: 0 none
  RL_OFILE_AT_NAME = 6,            // text of at most 256 with its NUL
  RL_MON_OPEN_FILE_ENTRY = 262,    // the most one entry takes
};

// An entry of zvGetFileUsers' list.
enum RlFileUserEntryOffset {
  RL_FUSER_AT_TASK = 0,         // i32
  RL_FUSER_AT_FILE_NUMBER = 4,  // i32
  RL_FUSER_AT_USER = 8,         // text of at most 27 with its NUL
  RL_MON_FILE_USER_ENTRY = 40,  // the most one entry takes
};

// An entry of zvGetFileLocks' list.
enum RlFileLockEntryOffset {
  RL_FLOCK_AT_ROW = 0,          // i64
  RL_FLOCK_AT_TYPE = 8,         // i32: 1 exclusive
  RL_FLOCK_AT_TASK = 12,        // i32
  RL_FLOCK_AT_WAITERS = 16,     // i32
  RL_FLOCK_AT_USER = 20,        // text of at most 27 with its NUL
  RL_MON_FILE_LOCK_ENTRY = 56,  // the most one entry takes
};

// How far each list's entry reaches, from the length of its text (without
// the NUL): the engine steps and the monitor walks by these.
static inline size_t rlOpenFileEntryLength(size_t nameLength) {
  return RL_OFILE_AT_NAME + nameLength + 1 + ((nameLength + 1) % 2);
}
static inline size_t rlFileUserEntryLength(size_t userLength) {
  return (RL_FUSER_AT_USER + userLength + 4) & ~(size_t)3;
}
static inline size_t rlFileLockEntryLength(size_t userLength) {
  return (RL_FLOCK_AT_USER + userLength + 16) & ~(size_t)7;
}

// zvSNAPSHOT actions.
enum RlSnapshotAction {
  RL_SNAP_TIMING_START = 7,
  RL_SNAP_TIMING_STOP = 8,
  RL_SNAP_TIMING_CLEAR = 9,
  RL_SNAP_TO_LOG = 23,  // writes a "System snapshot" event (class 7, code 1)
  RL_SNAP_SYSTEM = 25,
  RL_SNAP_OWN_USER = 26,
  RL_SNAP_SQL = 35,
  RL_SNAP_USER = 36,
  RL_SNAP_FILE = 37,
  RL_SNAP_MEMORY = 40,
};

#ifdef __cplusplus
extern "C" {
#endif

// USERINFOX's parameter: version 2, entrySize 248.
typedef struct RlUserInfoRequest {
  uint16_t version;
  uint16_t entries;     // out
  uint32_t entrySize;   // 248
  uint32_t bufferSize;  // in/out
  void* buffer;
} RlUserInfoRequest;

// zvMEMSTAT mode 1: the file the counts are written to, inside the server's
// directory (a path that leaves it answers RL_MON_BAD_PATH). It is never a
// database or engine file (".db", "-wal", "-shm", "-journal", the catalog)
// nor an existing file that is not a memory log (RL_MON_NOT_A_LOG); a new
// log is created readable by the server's owner only (0600).
typedef struct RlMemStatLogRequest {
  int32_t one;  // 1
  char reserved[12];
  char fileName[256];
} RlMemStatLogRequest;

// zvThrdGet: the engine's record of the calling thread.
typedef struct RlThreadRecord {
  int32_t monitorFlag;  // kept for the caller; the engine does not read it
  int32_t attached;     // zvThrdAttach calls minus zvThrdDetach calls on this thread, never below 0
} RlThreadRecord;

// In binding order. Names marked "binding only" answer RL_MON_NOT_SUPPORTED.
RAVLINK_MON_API int32_t USERINFO(void);  // binding only
// buffer[0] = number of logons of the current server (buffer of 8193 words).
RAVLINK_MON_API int16_t USERLIST(int16_t* buffer);
RAVLINK_MON_API void revobj(void* object, int32_t length);  // reverses length bytes in place
RAVLINK_MON_API void revlng(void* value);                   // reverses 4 bytes in place
// Logs off the current logon if INTISAMX4 made it; answers 0 also when there is none.
RAVLINK_MON_API int16_t CLISAM(void);
RAVLINK_MON_API int32_t INTISAMX(void);  // binding only
// 22 unsigned 32-bit counters into buffer (88 bytes).
RAVLINK_MON_API int16_t IOPERFORMANCEX(void* buffer);
// Node name of the current logon (at most 31 characters kept).
RAVLINK_MON_API int16_t SETNODE(const char* node);
// Marks the current logon as one of the SQL client library: the logon lists
// count it as SQL, not as a direct caller of the engine.
RAVLINK_MON_API int16_t SETSQLLOGON(void);
// RL_MON_CONFIG_VALUES signed 32-bit values into buffer.
RAVLINK_MON_API int16_t SYSCFG(void* buffer);
// Timing (actions 7, 8, 9) is kept per server: it counts the calls of that
// server's logons, and only an administrator of the server switches or
// clears it (RL_MON_NOT_ADMINISTRATOR).
RAVLINK_MON_API int32_t zvSNAPSHOT(int32_t action, const char* object, void* buffer, uint32_t length);
// *count: capacity in entries in, entries written out. Entries as the
// monitor walks them: RlOpenFileEntryOffset, RlFileUserEntryOffset and
// RlFileLockEntryOffset, each rl*EntryLength bytes on from the one before.
RAVLINK_MON_API int32_t zvGetOpenFiles(int32_t task, void* buffer, int32_t* count);
RAVLINK_MON_API int32_t zvGetFileUsers(const char* fileName, void* buffer, int32_t* count);
RAVLINK_MON_API int32_t zvGetFileLocks(const char* fileName, int32_t mode, void* buffer, int32_t* count);
RAVLINK_MON_API int32_t zvOWNER(void);     // binding only
RAVLINK_MON_API int32_t zvSetOWNER(void);  // binding only
RAVLINK_MON_API int32_t zvdbGetQuarnOWNER(void);
RAVLINK_MON_API int32_t zvdbSetQuarnOWNER(int32_t owner);  // -1: none
// mode 4: text "+name,..." keeps those classes, "-ALL" clears; mode 1: RlMemStatLogRequest.
RAVLINK_MON_API int32_t zvMEMSTAT(int32_t mode, const void* parameter);
RAVLINK_MON_API int32_t zvThrdAttach(void);
// Process-wide instance names: at most 256 at once.
RAVLINK_MON_API int16_t REGQUARN(const char* name);
RAVLINK_MON_API int16_t SWTQUARN(const char* name);
RAVLINK_MON_API int16_t UNRQUARN(const char* name);
RAVLINK_MON_API int32_t GETQUARN(void);  // binding only
RAVLINK_MON_API RlThreadRecord* zvThrdGet(void);
// Answers 0 the first time in a process and 125 afterwards.
RAVLINK_MON_API int32_t zvThrdInit(int32_t threads, int32_t reserved1, int32_t reserved2);
// Only "SYSLOGDT.YXS", the event log of the current server: a file number
// (>= 0) or a negative code. At most 64 logs open at once in the process.
RAVLINK_MON_API int16_t OPNRFIL(int16_t fileNumber, const char* name, int16_t mode);
RAVLINK_MON_API int16_t CLRFIL(int16_t fileNumber);
// index = file number + 1 (sequence order) or + 2 (date order); *length: room in, record length out.
RAVLINK_MON_API int16_t FRSVREC(int16_t index, void* buffer, uint32_t* length);
RAVLINK_MON_API int16_t NXTVREC(int16_t index, void* buffer, uint32_t* length);
RAVLINK_MON_API int32_t IDXENT(void);    // binding only
RAVLINK_MON_API int32_t FRSKEY(void);    // binding only
RAVLINK_MON_API int32_t NXTKEY(void);    // binding only
RAVLINK_MON_API int32_t REDIVREC(void);  // binding only
RAVLINK_MON_API int32_t SETCURI(void);   // binding only
RAVLINK_MON_API int16_t LSTVREC(int16_t index, void* buffer, uint32_t* length);
RAVLINK_MON_API int16_t PRVVREC(int16_t index, void* buffer, uint32_t* length);
// Ends the logon of task on the current server; only an administrator of
// that server may (RL_MON_NOT_ADMINISTRATOR). uid, when not empty, must be
// its user name (case ignored). The logon rolls back and releases its locks
// at once when it is between calls, else at its next call, which answers
// RL_MON_KILLED.
RAVLINK_MON_API int16_t zvklusr(int16_t task, const char* uid);
RAVLINK_MON_API int32_t USERINFOX(RlUserInfoRequest* request);
RAVLINK_MON_API int32_t DELVREC(void);  // binding only
RAVLINK_MON_API int32_t LKISAM(void);   // binding only
RAVLINK_MON_API int32_t TRANBEG(void);  // binding only
RAVLINK_MON_API int32_t TRANEND(void);  // binding only
// Class 1024 with a 4-byte day count purges older records of the server's
// log (an administrator of the server only); other classes write an event
// with data as its text.
RAVLINK_MON_API int16_t SYSLOG(int32_t eventClass, int32_t eventCode, const void* data, int32_t length);
// Logs on a new logon to server ("NAME" or "NAME@host") and makes it current.
RAVLINK_MON_API int16_t INTISAMX4(int16_t buffers, int16_t files, int16_t sectors, int16_t dataBuffers, int16_t profile,
                                  const char* user, const char* password, const char* server);
RAVLINK_MON_API int32_t zvThrdDetach(void);

#ifdef __cplusplus
}
#endif
