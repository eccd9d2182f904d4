// avocet, the table browser: a web application (web/avocet.so) with which a
// browser logs on to a database server, walks its databases and tables,
// reads and changes table definitions, creates, alters and rebuilds tables,
// and pages through and edits records.
//
// The browser posts one JSON object per command to <prefix>/<command>, with
// the token of its logon in the header "token"; the plug-in calls `router`,
// which answers one JSON reply object. avocet binds the engine (ravlink.so)
// by name at init and keeps each browser logon in a fixed pool of slots,
// found by a random token; an idle slot is logged off by the reaper.
//
// Every table command allocates its database, table and record handles,
// works and releases them before it answers; nothing but the logon stays
// open between commands. An alteration or rebuild is the exception: it runs
// on a worker thread of its own with the table open, the slot is busy
// meanwhile (only progress polls and disconnects are served), and the
// browser polls the slot's progress until it reads 100 or a negated code.
//
// Threading: connect, disconnect and every token command run under one
// mutex (the engine's current owner is per thread, and a command makes the
// slot's current for its duration); the reaper takes it for one slot at a
// time. Workers do not take it: they touch only their slot's busy flag and
// progress and the handles they were given, which no other thread uses
// while the slot is busy.
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "browser.h"
#include "ravlink.h"

namespace avocet {

// ---- the engine's functions, bound by name, in the binding order -------------------------

#define AVOCET_CLIENT_FUNCTIONS(X)      \
  X(zvThrdAttach)                       \
  X(zvdbAllocSession)                   \
  X(zvdbGetQuarnOWNER)                  \
  X(zvdbSetQuarnOWNER)                  \
  X(zvdbLogon)                          \
  X(zvdbSetCurrentNodeName)             \
  X(zvdbDisconnect)                     \
  X(zvdbLogout)                         \
  X(zvdbFreeSession)                    \
  X(zvdbFirstDatabase)                  \
  X(zvdbNextDatabase)                   \
  X(zvdbAllocDatabase)                  \
  X(zvdbConnect)                        \
  X(zvdbFirstTable)                     \
  X(zvdbNextTable)                      \
  X(zvdbFreeDatabase)                   \
  X(zvdbGetTableFieldCount)             \
  X(zvdbAllocTable)                     \
  X(zvdbFreeTable)                      \
  X(zvdbOpenTable)                      \
  X(zvdbCloseTable)                     \
  X(zvdbGetField)                       \
  X(zvdbGetFieldProperties)             \
  X(zvdbGetFieldDefaultValue)           \
  X(zvdbGetFieldNullFlag)               \
  X(zvdbGetFieldPrecision)              \
  X(zvdbGetFieldScale)                  \
  X(zvdbGetIdentityFieldDetails)        \
  X(zvdbGetFieldOffset)                 \
  X(zvdbAllocRecord)                    \
  X(zvdbFirstRecord)                    \
  X(zvdbFreeRecord)                     \
  X(zvdbGetTableCreateMode)             \
  X(zvdbGetRecordCount)                 \
  X(zvdbGetTableExtension)              \
  X(zvdbGetIndexExtension)              \
  X(zvdbGetTableDefaultDataExtentSize)  \
  X(zvdbGetTableDefaultIndexExtentSize) \
  X(zvdbGetPadChar)                     \
  X(zvdbGetTableIndexCount)             \
  X(zvdbGetIndex)                       \
  X(zvdbGetIndexName)                   \
  X(zvdbGetIndexFilename)               \
  X(zvdbGetIndexKeyType)                \
  X(zvdbGetIndexKeyLength)              \
  X(zvdbGetIndexNullFlag)               \
  X(zvdbGetIndexDuplicateFlag)          \
  X(zvdbGetIndexSegmentCount)           \
  X(zvdbGetSegment)                     \
  X(zvdbGetSegmentFieldName)            \
  X(zvdbGetSegmentMode)                 \
  X(zvdbGetFieldAsString)               \
  X(zvdbGetFieldDataLength)             \
  X(zvdbNextRecord)                     \
  X(zvdbSetDefaultIndex)                \
  X(zvdbIsNullField)                    \
  X(zvdbJumpToRecord)                   \
  X(zvdbGetFieldAsFloat)                \
  X(zvdbGetFieldAsMoney)                \
  X(zvdbGetFieldAsNumber)               \
  X(zvdbNumberToString)                 \
  X(zvdbGetFieldAsTime)                 \
  X(zvdbGetFieldAsTimeMsec)             \
  X(zvdbTimeToString)                   \
  X(zvdbTimeMsecToString)               \
  X(zvdbGetFieldAsDateTime)             \
  X(zvdbDateTimeToString)               \
  X(zvdbDateTimeGetTime)                \
  X(zvdbDateTimeGetDate)                \
  X(zvdbHasRecbyt)                      \
  X(zvdbGetRecordPos)                   \
  X(zvdbHasRowid)                       \
  X(zvdbGetRowid)                       \
  X(zvdbSeekRecord)                     \
  X(zvdbGetFieldByName)                 \
  X(zvdbSetFieldAsString)               \
  X(zvdbSetFieldAsText)                 \
  X(zvdbGetFieldNumber)                 \
  X(zvdbWriteRecord)                    \
  X(zvdbLockRecord)                     \
  X(zvdbUnlockRecord)                   \
  X(zvdbBegin)                          \
  X(zvdbCommit)                         \
  X(zvdbClearField)                     \
  X(zvdbGetFieldAsBlob)                 \
  X(zvdbBlobAlloc)                      \
  X(zvdbBlobFree)                       \
  X(zvdbBlobGetData)                    \
  X(zvdbBlobGetSize)                    \
  X(zvdbBlobSet)                        \
  X(zvdbGetRecordBuffer)                \
  X(zvdbGetFieldType)                   \
  X(zvdbSetFieldAsBlob)                 \
  X(zvdbGetRecordLock)                  \
  X(zvdbSetDefTimeType)                 \
  X(zvdbDeleteRecord)                   \
  X(zvdbClearRecord)                    \
  X(zvdbSetEditedRecord)                \
  X(zvdbAddDatabase)                    \
  X(zvdbCreateDatabase)                 \
  X(zvdbDropDatabase)                   \
  X(zvdbDeleteDatabase)                 \
  X(zvdbAddTableXtd)                    \
  X(zvdbDropTable)                      \
  X(zvdbDeleteTable)                    \
  X(zvdbSetSqlCallBack)                 \
  X(zvdbGetTablePath)                   \
  X(zvdbGetFieldAsJSON)                 \
  X(zvdbGetFieldBinaryFlag)             \
  X(zvdbGetCndxIndex)                   \
  X(zvdbGetCndxIndexLength)             \
  X(zvdbCndxCompile)                    \
  X(zvdbGetIndexEmptyChar)              \
  X(zvdbSetTablePath)                   \
  X(zvdbCreateTable)                    \
  X(zvdbAddField)                       \
  X(zvdbSetTableExtension)              \
  X(zvdbSetIndexExtension)              \
  X(zvdbSetTableDefaultDataExtentSize)  \
  X(zvdbSetTableDefaultIndexExtentSize) \
  X(zvdbSetPadChar)                     \
  X(zvdbSetFieldScale)                  \
  X(zvdbSetFieldPrecision)              \
  X(zvdbSetIdentityField)               \
  X(zvdbSetFieldBinaryFlag)             \
  X(zvdbSetFieldNullFlag)               \
  X(zvdbAddIndex)                       \
  X(zvdbSetIndexEmptyChar)              \
  X(zvdbSetIndexCndxExpr)               \
  X(zvdbAddSegment)                     \
  X(zvdbAddJSONSegment)                 \
  X(zvdbGetError)                       \
  X(zvdbAlterTable)                     \
  X(zvdbSetTransactionMode)             \
  X(zvdbUpdatePadChar)                  \
  X(zvdbUpdateCreateMode)               \
  X(zvdbDelField)                       \
  X(zvdbDelFieldByName)                 \
  X(zvdbSetFieldName)                   \
  X(zvdbSetFieldType)                   \
  X(zvdbSetFieldLength)                 \
  X(zvdbMoveField)                      \
  X(zvdbSetIndexName)                   \
  X(zvdbSetIndexFilename)               \
  X(zvdbSetIndexKeyType)                \
  X(zvdbSetIndexDuplicateFlag)          \
  X(zvdbSetIndexNullFlag)               \
  X(zvdbSetSegmentField)                \
  X(zvdbSetJSONSegmentField)            \
  X(zvdbSetSegmentMode)                 \
  X(zvdbDelIndex)                       \
  X(zvdbDelSegment)                     \
  X(zvdbAbort)                          \
  X(zvdbGetIndexNbrByName)              \
  X(zvdbSetCallback)                    \
  X(zvdbGetSessionHandle)               \
  X(zvdbSetCallbackOnRebuild)           \
  X(zvdbGetJSONSegmentProperties)       \
  X(zvdbRebuildTable)                   \
  X(zvThrdInit)                         \
  X(zvdbIsActiveSession)                \
  X(zvdbGetDatabaseCount)               \
  X(_zvdbGetPathSeparator)              \
  X(zvdbMoneyToFloat)

struct ClientApi {
#define AVOCET_CLIENT_MEMBER(name) decltype(&::name) name;
  AVOCET_CLIENT_FUNCTIONS(AVOCET_CLIENT_MEMBER)
#undef AVOCET_CLIENT_MEMBER
  // Not among the names above: the progress the engine holds for an altered
  // table (read by the alteration callback), and blob bytes from hexadecimal text.
  decltype(&::rlGetAlterProgress) rlGetAlterProgress;
  decltype(&::rlBlobSetHex) rlBlobSetHex;
};
extern ClientApi api;

// Loads ravlink.so and fills `api` in the binding order; 0, or the code with the message in error (1024 bytes).
int bindClientLibrary(char* error);

// ---- session slots -----------------------------------------------------------------------

struct Slot;

// What a table command works with. The slot's kept context also carries an
// alteration or rebuild to its worker, which releases the handles.
struct TableCommandContext {
  Slot* slot = nullptr;
  int kind = 0;  // alterations: 1 update the create mode (with the definition), 2 alter the table
  int mode = 0;  // the create mode or alteration mode to apply; 0 for a rebuild
  uint16_t rebuildStep = 0;
  RLHANDLE table = nullptr;
  RLHANDLE database = nullptr;
  std::thread worker;  // joined before it is replaced and before the context is freed
  ~TableCommandContext();
};

struct Slot {
  std::string token;  // empty when never used or disconnected; an expired slot keeps it
  RLHANDLE session = nullptr;
  int32_t owner = -1;                             // -1 free, -2 expired, else the engine's owner number
  time_t lastUse = 0;                             // 0: a disconnect was asked while busy, the reaper ends the logon
  TableCommandContext* commandContext = nullptr;  // the kept context of alterations and rebuilds
  std::atomic<bool> busy{false};                  // an alteration or rebuild worker runs
  std::atomic<int64_t> progress{0};               // percent while altering, 100 done, the negated code on failure
  bool inUse() const { return owner >= 0; }
};

// Whether term asked the running alterations to stop.
bool stopRequested();

// Writes a trace line to the system log at debug level.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- the handles of one table command ------------------------------------------------------

// Allocated step by step and released in reverse order when the command
// ends, on its failure paths too; handOver() gives the table and database
// to a worker instead.
class TableHandles {
 public:
  explicit TableHandles(RLHANDLE session) : session_(session) {}
  ~TableHandles();
  TableHandles(const TableHandles&) = delete;
  TableHandles& operator=(const TableHandles&) = delete;

  bool allocDatabase();
  int connect(const char* name);  // 0 or the engine's code
  bool allocTable();
  // Opens with the base mode or-ed with the request's "openMode" flags.
  int open(const char* name, int baseMode, json_object* request);
  bool allocRecord();
  void handOver(TableCommandContext& context);

  RLHANDLE session() const { return session_; }
  RLHANDLE database = nullptr;
  RLHANDLE table = nullptr;
  RLHANDLE record = nullptr;

 private:
  RLHANDLE session_;
  bool connected_ = false;
  bool opened_ = false;
};

// A database or table as the engine lists it: its name and its path (a
// database's file; a table's "<database file>/<table file>").
struct CatalogEntry {
  std::string name, path;
};
// Every entry of a walk (the databases of a session, or the tables of a
// connected database), read with room for any path the system allows. code:
// 0 when the walk reached its end, else the engine's code that stopped it.
std::vector<CatalogEntry> listDatabases(RLHANDLE session, int* code);
std::vector<CatalogEntry> listTables(RLHANDLE database, int* code);

// The request's "openMode" flags added to a base open mode.
int openModeOf(int baseMode, json_object* request);

// ---- vocabulary shared by the table commands -------------------------------------------------

int fieldTypeCode(const char* name);   // 0 for an unknown name
const char* fieldTypeName(int code);   // "Unknown Type" for an unknown code
const char* gridTypeName(int code);    // "unknown" for a type the grid does not show
int binaryFlagCode(const char* name);  // 0 for an unknown name
const char* binaryFlagName(int code);  // "" outside 1..7
int keyTypeCode(const char* name);     // 0 for an unknown name
const char* keyTypeName(int code);     // "Unknown Type" for an unknown code
int segmentModeCode(const char* name, bool descending);
std::string segmentModeText(int mode);
constexpr int kTypeNumber = 105;
constexpr int kTypeJson = 259;

// Member readers: true when the member is present with the right type.
bool memberText(json_object* request, const char* key, const char** out);
bool memberInt(json_object* request, const char* key, int32_t* out);
bool memberBigint(json_object* request, const char* key, int64_t* out);
bool memberBool(json_object* request, const char* key, bool* out);
// The member's text or fallback when absent.
const char* textOr(json_object* object, const char* key, const char* fallback);

// A refusal the browser knows by code 0 and its message: marked as a failure
// all the same ("success" false), since code 0 alone would read as success.
void refuseWithCodeZero(const char* message, json_object* reply);

// A message formed like the fixed-size buffers of the browser's texts (cut to size - 1 characters).
std::string boundedMessage(size_t size, const char* format, ...) __attribute__((format(printf, 2, 3)));

// ---- command handlers --------------------------------------------------------------------

using TableHandler = void (*)(TableCommandContext& context, json_object* reply, json_object* request);

void listTreeNodes(Slot& slot, json_object* request, json_object* reply);
void doAction(Slot& slot, json_object* request, json_object* reply);
void getFields(TableCommandContext& context, json_object* reply, json_object* request);
void getProperties(TableCommandContext& context, json_object* reply, json_object* request);
void getIndexes(TableCommandContext& context, json_object* reply, json_object* request);
void getIndexSegments(TableCommandContext& context, json_object* reply, json_object* request);
void getIndexesSegments(TableCommandContext& context, json_object* reply, json_object* request);

void readRecordPage(TableCommandContext& context, json_object* reply, json_object* request);
void getTableBlob(TableCommandContext& context, json_object* reply, json_object* request);
void setTableBlob(TableCommandContext& context, json_object* reply, json_object* request);
void updateRecord(TableCommandContext& context, json_object* reply, json_object* request);
void createRecord(TableCommandContext& context, json_object* reply, json_object* request);
void removeRecord(TableCommandContext& context, json_object* reply, json_object* request);
void setFieldNull(TableCommandContext& context, json_object* reply, json_object* request);

void createTable(TableCommandContext& context, json_object* reply, json_object* request);
// These two start a worker on the slot's kept context and answer at once.
void alterTable(TableCommandContext& context, json_object* reply, json_object* request);
void rebuildTable(TableCommandContext& context, json_object* reply, json_object* request);

}  // namespace avocet
