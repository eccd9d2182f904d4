// What the table browser's calls (browser_*.cpp) share: the walk up the
// handles, the open-table registry and the table properties the engine keeps
// for them.
#pragma once

#include "browser.h"
#include "rl_core.h"

#include <string>

namespace ravlink_detail {
namespace browser {

// The handle above b (record -> table -> database -> session), or null.
ZVBase* parentOf(ZVBase* b);
// A failure is readable on the handle it happened on and on every handle
// above it; returns code.
int noteUp(ZVBase* b, int code);
// noteUp on the object of handle h (nothing for a bad handle).
int upOnCode(RLHANDLE h, int code);
// Runs fn under b's session as codeOf does, and notes a failure upwards.
int run(ZVBase* b, const std::function<void()>& fn, const char* call = __builtin_FUNCTION());
// The same for a call that yields a handle: null on failure, the code on b.
RLHANDLE make(ZVBase* b, const std::function<RLHANDLE()>& fn, const char* call = __builtin_FUNCTION());

ZVSession* sessionOf(ZVBase* b);
void rememberDatabase(ZVDatabase* database, ZVSession* session);
void forgetDatabase(ZVDatabase* database);

// Open tables by (file, table): an exclusive open excludes every other
// logon's open of the same table, and is refused while another logon has it
// open (RL_BR_CONFLICT).
void registerOpen(ZVTable* t, const std::string& name, bool exclusive);  // throws RL_BR_CONFLICT
void unregisterOpen(ZVTable* t);
void unregisterDatabase(ZVDatabase* d);
void unregisterLogon(uint64_t logonId);
// Records allocated on a table handle, freed with it.
void rememberRecord(ZVTable* t, ZVRecord* r);
void forgetRecord(ZVRecord* r);

// The table properties this engine keeps for the browser only (files and
// extents are the engine's own; the texts are kept as given): pad and
// delimiter characters, extensions, extent sizes, the table's folder, field
// null flags, index file names, empty characters and null flags. Pending on
// a table handle until the definition is stored; stored in the database
// file next to the catalog, in the same transaction as the definition.
struct TableProps {
  char pad = ' ', delimiter = '\0';
  std::string dataExtension = ".dat", indexExtension = ".idx", path;
  int32_t dataExtent = 0, indexExtent = 0;
  std::map<std::string, int32_t> fieldNulls;  // by field name: 1 nulls allowed (default), 0 not
  struct Index {
    std::string fileName;
    int32_t emptyChar = -1;
    int32_t nulls = 0;
  };
  std::map<std::string, Index> indexes;  // by index name
};
// The handle's pending properties (read from the file at the first use on
// an open table).
TableProps& propsOf(ZVTable* t);
void forgetProps(ZVTable* t);
// Stores t's pending properties for the fields and indexes of def, inside
// the session's write on the table's connection.
void storeProps(ZVTable* t, Connection& conn, const TableDef& def);
void dropStoredProps(Connection& conn, const std::string& name);

// Runs fn inside the session's transaction, beginning (and ending) one of
// its own when the caller has none: all of fn or nothing is stored.
void inOneTransaction(ZVTable* t, const std::function<void()>& fn);
void forgetAlter(ZVTable* t);
// Everything the registries hold of t (its records are not freed).
void forgetTable(ZVTable* t);

}  // namespace browser
}  // namespace ravlink_detail
