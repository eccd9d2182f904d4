// The objects behind the handles: a connection (one SQLite connection with
// its catalog and procedures), its commands (one statement each) and their
// cursors. Every call holds the connection's lock.
#pragma once

#include "zv_core.h"
#include "zv_handles.h"
#include "zvsqlapi.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class ZVSession;

namespace zvsql {

struct Command;

// Calls on one connection come one at a time; the lock only keeps a stray
// concurrent call (a reaper's free) from meeting a call in progress.
using ConnectionLock = SpinLock;

struct Connection {
  ConnectionLock mutex;
  sqlite3* db = nullptr;
  std::unique_ptr<ZVSession> session;  // the engine log-on that admitted this connection
  ConnectionContext context;
  std::vector<Command*> commands;  // live commands, whose statements end with the connection

  int error = 0;
  std::string message;
  long errorPos = -1;

  bool clientAutoCommit = false;
  int isolation = 1;
  int64_t catalogVersion = -1;           // schema version the catalog was filled from; -1 stale
  bool internal = false;                 // the library's own statements pass the authorizer
  std::string refusal;                   // why the authorizer refused the last statement
  bool schemaChange = false;             // the statement being prepared is a drop or an alter
  std::set<std::string> storedRoutines;  // lower-case names registered for calls on this connection

  int64_t deadlineMs = 0;  // on the coarse monotonic clock
  bool hasDeadline = false;
  bool interruptAtDeadline = false;
  bool timedOut = false;
  int timeoutSeconds = 0;
  bool interrupted = false;                  // the caller's check ended the statement
  bool valueRefused = false;                 // a field of the engine's refused a value the statement wrote
  int (*interruptCheck)(void*) = nullptr;    // zvsqlSetInterruptCheck
  void* interruptArgument = nullptr;
  int64_t lastInterruptCheckMs = 0;

  int fail(int code, std::string text, long pos = -1) {
    error = code;
    message = std::move(text);
    errorPos = pos;
    return code;
  }
  int failSqlite(int rc, const char* doing);  // code and text of SQLite's error
  void close();                               // rolls back, ends the statements, closes
};

struct Cursor;

// A statement the library carries out itself; SQLite prepares a stand-in that does nothing.
enum class OwnStatement { None, CreateRoutine, AddForeignKey };

struct Command {
  std::shared_ptr<Connection> conn;
  uintptr_t handle = 0;
  sqlite3_stmt* stmt = nullptr;
  Rewritten text;
  OwnStatement own = OwnStatement::None;
  std::string ownText;  // the caller's text of an own statement
  int timeoutSeconds = 30;
  int runSeconds = 30;        // the time the present run of the statement has in all
  int64_t runDeadlineMs = 0;  // when it ends, from the execute on through every fetch
  int64_t affected = 0;
  std::vector<bool> bound;                     // parameters bound since the prepare
  std::vector<std::string> texts;              // bound texts, kept for SQLite while bound (no copy per bind)
  bool armed = false;                          // executed, waiting for its long parameters
  std::vector<uintptr_t> cursors;              // cursor handles not yet freed
  Cursor* current = nullptr;                   // the cursor on the statement's present run
  std::vector<std::unique_ptr<Cursor>> spare;  // freed cursors kept for the next execute

  ~Command();

  void finalize();  // ends the statement and its cursor
};

enum class CursorState { OnRow, Done };

struct Cursor {
  Command* command = nullptr;
  uintptr_t handle = 0;
  CursorState state = CursorState::Done;
  bool firstPending = false;  // row 1 is current and the first Next stays on it
  int columns = 0;
  std::vector<int16_t> types;
  std::vector<int> scales;
  std::vector<std::string> names;
};

constexpr int kDefaultTimeoutSeconds = 30;
// The longest any statement may run, execute and fetches together: a time-out
// of 0 (none), or longer, gets this. ZVSQL_MAX_STATEMENT_SECONDS lowers it.
constexpr int kMaxStatementSeconds = 300;
int maxStatementSeconds();
// Starts the statement's run: its deadline counts from now.
void startRun(Command& c);

// A cursor for the command's next execute, with a handle; null when no
// handle is left. Released cursors lose their handle and are kept for reuse.
Cursor* newCursor(Command& cmd);
void releaseCursor(Command& cmd, Cursor* cur);

// Milliseconds of a monotonic clock cheap enough to read at every fetch.
int64_t monotonicMs();

// Type code (1 to 26) of a declared column type; 0 when it names none.
int16_t typeOfDeclared(const char* declared, int* scale);

// Statements run by the library for itself, never refused, within the default time-out.
int runInternalStatement(Connection& c, const char* sql);

// Prepares a create procedure or function, or an added foreign key; -1
// when the text is none of them, else its result.
int prepareOwnStatement(Command& cmd, const char* sql);
// Carries out the command's own statement.
int runOwnStatement(Command& cmd);
// Makes a stored routine callable on the connection before a call of it is prepared.
void registerStoredRoutine(Connection& c, const std::string& name);
// Changes with the stored routines, so that other connections refill their catalog.
int64_t routinesStamp(sqlite3* db);

// Runs one step of the command's statement within its time-out.
int stepStatement(Command& c, int* sqliteRc);
// Maps a failed step to the connection's error (time-outs included).
int stepFailure(Command& c, int rc);

}  // namespace zvsql
