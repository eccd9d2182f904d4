// The table browser binds these names but never calls them: they exist and
// answer "not supported".
#include "browser.h"

#define NOT_SUPPORTED(name) \
  int32_t name(void) { return RL_MON_NOT_SUPPORTED; }

extern "C" {

NOT_SUPPORTED(zvdbDateTimeGetTime)
NOT_SUPPORTED(zvdbDateTimeGetDate)
NOT_SUPPORTED(zvdbGetRecordBuffer)
NOT_SUPPORTED(zvdbSetSqlCallBack)
NOT_SUPPORTED(zvdbSetTransactionMode)
NOT_SUPPORTED(zvdbDelField)
NOT_SUPPORTED(zvdbSetSegmentField)
NOT_SUPPORTED(zvdbSetJSONSegmentField)
NOT_SUPPORTED(zvdbSetSegmentMode)
NOT_SUPPORTED(zvdbGetDatabaseCount)

}  // extern "C"
