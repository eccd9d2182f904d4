// The table browser's calls (browser.h) not implemented yet: each answers
// "not supported".
#include "browser.h"

extern "C" {
int32_t rlGetAlterProgress(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAllocSession(int32_t) { return nullptr; }
int32_t zvdbLogon(RLHANDLE, const char*, const char*, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetCurrentNodeName(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDisconnect(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbLogout(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
void zvdbFreeSession(RLHANDLE) {}
int32_t zvdbFirstDatabase(RLHANDLE, char*, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbNextDatabase(RLHANDLE, char*, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAllocDatabase(RLHANDLE) { return nullptr; }
int32_t zvdbConnect(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbFirstTable(RLHANDLE, char*, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbNextTable(RLHANDLE, char*, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
void zvdbFreeDatabase(RLHANDLE) {}
int32_t zvdbGetTableFieldCount(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAllocTable(RLHANDLE) { return nullptr; }
void zvdbFreeTable(RLHANDLE) {}
int32_t zvdbOpenTable(RLHANDLE, const char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbCloseTable(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbGetField(RLHANDLE, int32_t) { return nullptr; }
int32_t zvdbGetFieldProperties(RLHANDLE, const char**, int32_t*, int32_t*) { return RL_MON_NOT_SUPPORTED; }
const char* zvdbGetFieldDefaultValue(RLHANDLE, int32_t*) { return nullptr; }
int32_t zvdbGetFieldNullFlag(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldPrecision(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldScale(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
const char* zvdbGetIdentityFieldDetails(RLHANDLE, int64_t*, int64_t*) { return nullptr; }
int64_t zvdbGetFieldOffset(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAllocRecord(RLHANDLE) { return nullptr; }
int32_t zvdbFirstRecord(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
void zvdbFreeRecord(RLHANDLE) {}
int32_t zvdbGetTableCreateMode(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetRecordCount(RLHANDLE, int64_t*) { return RL_MON_NOT_SUPPORTED; }
const char* zvdbGetTableExtension(RLHANDLE) { return nullptr; }
const char* zvdbGetIndexExtension(RLHANDLE) { return nullptr; }
int32_t zvdbGetTableDefaultDataExtentSize(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetTableDefaultIndexExtentSize(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetPadChar(RLHANDLE, char*, char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetTableIndexCount(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbGetIndex(RLHANDLE, int32_t) { return nullptr; }
const char* zvdbGetIndexName(RLHANDLE) { return nullptr; }
const char* zvdbGetIndexFilename(RLHANDLE) { return nullptr; }
int32_t zvdbGetIndexKeyType(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetIndexKeyLength(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetIndexNullFlag(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetIndexDuplicateFlag(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetIndexSegmentCount(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbGetSegment(RLHANDLE, int32_t) { return nullptr; }
const char* zvdbGetSegmentFieldName(RLHANDLE) { return nullptr; }
int32_t zvdbGetSegmentMode(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsString(RLHANDLE, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldDataLength(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbNextRecord(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetDefaultIndex(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbIsNullField(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbJumpToRecord(RLHANDLE, int64_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsFloat(RLHANDLE, int32_t, double*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsMoney(RLHANDLE, int32_t, ZvdbMoney*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsNumber(RLHANDLE, int32_t, ZvdbNumber*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbNumberToString(const ZvdbNumber*, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsTime(RLHANDLE, int32_t, int32_t*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsTimeMsec(RLHANDLE, int32_t, int32_t*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbTimeToString(int32_t, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbTimeMsecToString(int32_t, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsDateTime(RLHANDLE, int32_t, ZvdbDateTime*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDateTimeToString(const ZvdbDateTime*, int32_t, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDateTimeGetTime(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDateTimeGetDate(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbHasRecbyt(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetRecordPos(RLHANDLE, int64_t*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbHasRowid(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetRowid(RLHANDLE, int64_t*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSeekRecord(RLHANDLE, int64_t) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbGetFieldByName(RLHANDLE, const char*) { return nullptr; }
int32_t zvdbSetFieldAsString(RLHANDLE, int32_t, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldNumber(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbWriteRecord(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbLockRecord(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbUnlockRecord(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbBegin(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbCommit(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbClearField(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldAsBlob(RLHANDLE, int32_t, ZvdbBlob*) { return RL_MON_NOT_SUPPORTED; }
ZvdbBlob* zvdbBlobAlloc(int32_t) { return nullptr; }
void zvdbBlobFree(ZvdbBlob*) {}
const unsigned char* zvdbBlobGetData(const ZvdbBlob*) { return nullptr; }
int32_t zvdbBlobGetSize(const ZvdbBlob*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbBlobSet(ZvdbBlob*, const void*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetRecordBuffer(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldType(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldAsBlob(RLHANDLE, int32_t, const ZvdbBlob*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetRecordLock(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetDefTimeType(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDeleteRecord(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbClearRecord(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetEditedRecord(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbAddDatabase(RLHANDLE, const char*, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbCreateDatabase(RLHANDLE, const char*, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDropDatabase(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDeleteDatabase(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbAddTableXtd(RLHANDLE, const char*, const char*, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDropTable(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDeleteTable(RLHANDLE, const char*, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetSqlCallBack(void) { return RL_MON_NOT_SUPPORTED; }
const char* zvdbGetTablePath(RLHANDLE) { return nullptr; }
int32_t zvdbGetFieldAsJSON(RLHANDLE, int32_t, char*, int32_t, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetFieldBinaryFlag(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetCndxIndex(RLHANDLE, int32_t, char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetCndxIndexLength(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbCndxCompile(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetIndexEmptyChar(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetTablePath(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbCreateTable(RLHANDLE, const char*, int32_t) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAddField(RLHANDLE, const char*, int32_t, int32_t) { return nullptr; }
int32_t zvdbSetTableExtension(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexExtension(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetTableDefaultDataExtentSize(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetTableDefaultIndexExtentSize(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetPadChar(RLHANDLE, char, char) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldScale(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldPrecision(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIdentityField(RLHANDLE, const char*, int64_t, int64_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldBinaryFlag(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldNullFlag(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAddIndex(RLHANDLE, const char*, int32_t, int32_t, int32_t) { return nullptr; }
int32_t zvdbSetIndexEmptyChar(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexCndxExpr(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbAddSegment(RLHANDLE, RLHANDLE, int32_t) { return nullptr; }
RLHANDLE zvdbAddJSONSegment(RLHANDLE, RLHANDLE, const char*, int32_t, int32_t) { return nullptr; }
int32_t zvdbGetError(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbAlterTable(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetTransactionMode(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbUpdatePadChar(RLHANDLE, char, char, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbUpdateCreateMode(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDelField(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDelFieldByName(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldName(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldType(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetFieldLength(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbMoveField(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexName(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexFilename(RLHANDLE, const char*, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexKeyType(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexDuplicateFlag(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetIndexNullFlag(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetSegmentField(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetJSONSegmentField(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetSegmentMode(void) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDelIndex(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbDelSegment(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbAbort(RLHANDLE) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetIndexNbrByName(RLHANDLE, const char*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbSetCallback(RLHANDLE, int32_t, ZvdbAlterCallback) { return RL_MON_NOT_SUPPORTED; }
RLHANDLE zvdbGetSessionHandle(RLHANDLE) { return nullptr; }
int32_t zvdbSetCallbackOnRebuild(ZvdbRebuildCallback, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetJSONSegmentProperties(RLHANDLE, const char**, int32_t*, int32_t*) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbRebuildTable(RLHANDLE, int32_t) { return RL_MON_NOT_SUPPORTED; }
int32_t zvdbGetDatabaseCount(void) { return RL_MON_NOT_SUPPORTED; }
char _zvdbGetPathSeparator(RLHANDLE) { return '/'; }
double zvdbMoneyToFloat(ZvdbMoney) { return 0; }
}
