// ravlink: the embedded database engine (web/ravlink.so).
//
// A server is a directory under the data root ($RAVLINK_DATA, or ./data);
// a database is one SQLite file in it (WAL mode); a table is an SQLite table
// whose client definition (type codes, lengths, flags, identity, automatic
// time stamps, partition rule) is kept in catalog tables of the same file.
// Values are natural SQLite values (dates and times as ISO text), so the SQL
// client and the sqlite3 shell see ordinary tables.
//
// Errors
//   Every failing class method throws ZVException (code, message). Numbered
//   rl* functions return 0 for "done" and the code otherwise, unless a
//   result is documented. The codes callers test are listed in RlCode.
//
// Ownership
//   Objects are created with new and deleted by the caller, in any order:
//   a record may outlive its table object, a table its database object, a
//   database its session. A child whose parent is gone fails with
//   RL_NOT_OPEN on use; deleting it is always safe. ZVDatabase::CloseAll
//   deletes the table objects it closes. ZVField, ZVIndex and ZVSegment
//   belong to their table object.
//
// Threading
//   Any number of sessions may work at once on any threads. The objects of
//   one session serialise their calls on the session's mutex; a session may
//   move between threads. Client options and the current owner are per
//   thread. Record locks, blocking-read wake-ups, file blocking and the
//   partition state are shared by every session of the process.
//
// Record ids grow with insertion, are never reused (also after deletes and
// purges), and their order is commit order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#define RAVLINK_API __attribute__((visibility("default")))

typedef void* RLHANDLE;

enum RlCode : int {
  RL_OK = 0,
  RL_DUPLICATE_KEY = 2,         // Write: a unique index already holds the key
  RL_IN_USE = -8,               // Delete, Drop: a session of the process has the database or table open
  RL_NO_SERVER = 12,            // Logon: no such server (rlCreateServer makes one)
  RL_TABLE_EXISTS = 18,         // Create: the table exists
  RL_WAIT_INTERRUPTED = 100,    // blocking read ended because its logon ended
  RL_NOT_FOUND = 101,           // no (more) records; Connect: no such database; batch delete: nothing matched
  RL_SERVER_UNREACHABLE = 133,  // Logon: server of another host, or data root unusable
  RL_WAIT_TIMED_OUT = 156,      // blocking read ended without a record
  RL_WRONG_PASSWORD = 450,
  RL_UNKNOWN_USER = 451,
  RL_PARTITION_NOTHING_TO_DO = 730,
  RL_FILE_BLOCKED = 799,  // the table was closed for everyone by rlBlockFile; Close and Open again
  RL_KEY_PRESENT = 4004,
  RL_NO_TABLE = 4023,      // Open: no such table
  RL_BEFORE_START = 4025,  // JumpTo: before the first record
  RL_NO_DATABASE = 4094,   // AddDatabase: no database file to add
  // The engine's own codes.
  RL_BAD_NAME = 4201,  // table, database, server, field or index name refused
  RL_BAD_ARGUMENT = 4202,
  RL_NOT_OPEN = 4203,  // not logged on, not connected, table not open, parent object gone
  RL_NO_CURRENT_RECORD = 4204,
  RL_UNKNOWN_FIELD = 4205,
  RL_BAD_VALUE = 4206,  // a value that does not convert to the field's type
  RL_VALUE_TOO_LONG = 4207,
  RL_LOCK_TIMED_OUT = 4208,
  RL_DATABASE_EXISTS = 4209,
  RL_STORAGE_ERROR = 4210,  // SQLite failed; the message carries its text
  RL_BUSY = 4211,           // the file stayed locked by another process
  RL_UNKNOWN_INDEX = 4212,
  RL_BAD_PATH = 4213,  // a path outside the server's directory
  RL_BAD_HANDLE = 4214,
  RL_NOT_PARTITIONED = 4215,
  RL_BAD_RULE = 4216,        // partition rule text refused
  RL_NO_TRANSACTION = 4217,  // commit or abort without a transaction
  RL_BAD_FILTER = 4218,      // filter text refused
};

// Buffer sizes, terminator included, that every name and every path the
// engine returns fits: a name has at most 128 bytes; a path (absolute, as
// the walks of databases and tables give it) is the data root's (at most
// PATH_MAX, 4096 bytes) with a server, a database and a table name.
constexpr int RL_NAME_BUFFER_SIZE = 129;
constexpr int RL_PATH_BUFFER_SIZE = 8192;

// Client field type codes. Several codes name one kind of value: the
// unsigned integers, the fixed-width forms of money, time and time stamp,
// and the character and binary forms that differ in their length prefix.
enum RlFieldType : int {
  RL_TYPE_BIT = 8,
  RL_TYPE_TINYINT = 16,
  RL_TYPE_UTINYINT = 24,
  RL_TYPE_SMALLINT = 33,
  RL_TYPE_USMALLINT = 41,
  RL_TYPE_INTEGER = 51,
  RL_TYPE_UINTEGER = 59,
  RL_TYPE_MONEY4 = 67,  // money of tables made elsewhere
  RL_TYPE_DATE = 75,
  RL_TYPE_TIME4 = 83,  // time of tables made elsewhere
  RL_TYPE_REAL = 91,
  RL_TYPE_DOUBLE = 103,
  RL_TYPE_NUMBER = 105,  // also MONEY of 19 digits or more
  RL_TYPE_DOUBLE_ALT = 119,
  RL_TYPE_TIMESTAMP8 = 124,  // time stamp of tables made elsewhere
  RL_TYPE_BINARY_FIXED = 128,
  RL_TYPE_MONEY = 143,  // MONEY of up to 18 digits
  RL_TYPE_CHAR = 144,
  RL_TYPE_VARCHAR_FIXED = 146,
  RL_TYPE_CHAR1 = 152,  // a one-byte length prefix
  RL_TYPE_VARCHAR1 = 154,
  RL_TYPE_BINARY = 160,
  RL_TYPE_VARBINARY = 162,  // VARCHAR with the binary flag 4
  RL_TYPE_CHAR4 = 168,      // a four-byte length prefix
  RL_TYPE_LONG = 170,       // LVARBINARY; LVARCHAR, CLOB, BLOB by the binary flag 4, 5, 6
  RL_TYPE_NCHAR = 193,
  RL_TYPE_NVARCHAR = 201,
  RL_TYPE_BIGINT = 231,
  RL_TYPE_UBIGINT = 239,
  RL_TYPE_TIMESTAMP = 257,
  RL_TYPE_TIME = 258,
  RL_TYPE_JSON = 259,
};

// The binary flag that makes a VARBINARY or long field hold text.
constexpr int RL_BINARY_FLAG_TEXT = 4;

// The kind of value a field type holds.
enum RlTypeClass : int {
  RL_CLASS_BIT,
  RL_CLASS_INTEGER,
  RL_CLASS_DECIMAL,  // exact decimals: NUMBER and MONEY
  RL_CLASS_FLOAT,
  RL_CLASS_DATE,
  RL_CLASS_TIME,
  RL_CLASS_TIMESTAMP,
  RL_CLASS_TEXT,
  RL_CLASS_BINARY,
  RL_CLASS_JSON,
  RL_CLASS_UNKNOWN,
};

// The class of a type code; VARBINARY and the long type hold text when
// their binary flag is RL_BINARY_FLAG_TEXT.
constexpr RlTypeClass rlTypeClass(int type, int binaryFlag = 0) {
  switch (type) {
    case RL_TYPE_BIT:
      return RL_CLASS_BIT;
    case RL_TYPE_TINYINT:
    case RL_TYPE_UTINYINT:
    case RL_TYPE_SMALLINT:
    case RL_TYPE_USMALLINT:
    case RL_TYPE_INTEGER:
    case RL_TYPE_UINTEGER:
    case RL_TYPE_BIGINT:
    case RL_TYPE_UBIGINT:
      return RL_CLASS_INTEGER;
    case RL_TYPE_MONEY4:
    case RL_TYPE_NUMBER:
    case RL_TYPE_MONEY:
      return RL_CLASS_DECIMAL;
    case RL_TYPE_REAL:
    case RL_TYPE_DOUBLE:
    case RL_TYPE_DOUBLE_ALT:
      return RL_CLASS_FLOAT;
    case RL_TYPE_DATE:
      return RL_CLASS_DATE;
    case RL_TYPE_TIME4:
    case RL_TYPE_TIME:
      return RL_CLASS_TIME;
    case RL_TYPE_TIMESTAMP8:
    case RL_TYPE_TIMESTAMP:
      return RL_CLASS_TIMESTAMP;
    case RL_TYPE_CHAR:
    case RL_TYPE_VARCHAR_FIXED:
    case RL_TYPE_CHAR1:
    case RL_TYPE_VARCHAR1:
    case RL_TYPE_CHAR4:
    case RL_TYPE_NCHAR:
    case RL_TYPE_NVARCHAR:
      return RL_CLASS_TEXT;
    case RL_TYPE_BINARY_FIXED:
    case RL_TYPE_BINARY:
      return RL_CLASS_BINARY;
    case RL_TYPE_VARBINARY:
    case RL_TYPE_LONG:
      return binaryFlag == RL_BINARY_FLAG_TEXT ? RL_CLASS_TEXT : RL_CLASS_BINARY;
    case RL_TYPE_JSON:
      return RL_CLASS_JSON;
    default:
      return RL_CLASS_UNKNOWN;
  }
}

// The bytes of the length prefix a variable field of this type stores in
// front of its content (1, 2 or 4; 0 for fixed types): a stored length counts
// them, so VARCHAR(20) is stored as 22.
constexpr int rlLengthPrefix(int type) {
  switch (type) {
    case RL_TYPE_CHAR1:
    case RL_TYPE_VARCHAR1:
      return 1;
    case RL_TYPE_BINARY:
    case RL_TYPE_VARBINARY:
    case RL_TYPE_NCHAR:
    case RL_TYPE_NVARCHAR:
      return 2;
    case RL_TYPE_CHAR4:
    case RL_TYPE_LONG:
      return 4;
    default:
      return 0;
  }
}

// Index number that walks a table in record-id order.
constexpr int RL_ROWID_INDEX = 10001;

// Find and FindRowid modes.
enum RlFindMode : int { RL_FIND_EQ = 0, RL_FIND_LT = 1, RL_FIND_LE = 2, RL_FIND_GT = 3, RL_FIND_GE = 4 };

// Client options (rlSetClientOption), per calling thread, for the next Logon.
enum RlClientOption : int { RL_OPT_CONNECT_TIMEOUT = 4, RL_OPT_INTERNAL = 6 };

// Lock modes (ZVBase::Lock, ZVRecord::LockRecord): any non-zero mode takes an
// exclusive lock, waiting for other sessions' locks (bounded, then
// RL_LOCK_TIMED_OUT); LockRecord (0) releases.
// PartAdminByNumber modes.
enum RlPartitionAdmin : int { RL_PART_PURGE = 16, RL_PART_SET_LOWEST = 132, RL_PART_QUERY = 2048 };
// rlGetFileInfo items.
enum RlFileInfo : int { RL_INFO_LOWEST_PARTITION = 38 };
// rlBlockFile modes.
enum RlBlockMode : int { RL_UNBLOCK_FILE = 2, RL_BLOCK_FILE = 261 };
// Create mode bit of partitioned tables.
constexpr int RL_CREATE_PARTITIONED = 0x800;

class RAVLINK_API ZVException : public std::exception {
 public:
  ZVException(int code, std::string message, const char* sourceFile = "", int sourceLine = 0);
  ~ZVException() override;
  int GetErrorCode() const noexcept { return code_; }
  const char* GetErrorMsg() const noexcept { return message_.c_str(); }
  const char* GetSourceFile() const noexcept { return file_.c_str(); }
  int GetSourceLine() const noexcept { return line_; }
  const char* what() const noexcept override;

 private:
  int code_;
  std::string message_;
  std::string file_;
  int line_;
};

// ---- values -----------------------------------------------------------

class RAVLINK_API ZVString {
 public:
  ZVString(const char* text = "") : text_(text ? text : "") {}
  ZVString(std::string text) : text_(std::move(text)) {}
  // size counts the terminator: the text is the first size - 1 characters.
  ZVString(const char* chars, size_t size) : text_(chars ? std::string(chars, size ? size - 1 : 0) : "") {}
  const char* GetString() const { return text_.c_str(); }
  void SetString(const char* text) { text_ = text ? text : ""; }
  size_t GetLength() const { return text_.size(); }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

class RAVLINK_API ZVJsonString : public ZVString {
 public:
  using ZVString::ZVString;
};

class RAVLINK_API ZVBlob {
 public:
  ZVBlob() = default;
  ZVBlob(const void* data, size_t size) { SetData(data, size); }
  const unsigned char* GetData() const { return reinterpret_cast<const unsigned char*>(bytes_.data()); }
  size_t GetSize() const { return bytes_.size(); }
  void SetData(const void* data, size_t size) { bytes_.assign(static_cast<const char*>(data), data ? size : 0); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class RAVLINK_API ZVBigint {
 public:
  ZVBigint(int64_t value = 0) : value_(value) {}
  operator int64_t() const { return value_; }
  int64_t Get() const { return value_; }
  std::string AsString() const { return std::to_string(value_); }  // every digit

 private:
  int64_t value_;
};

// A day number: linear, one per day (rlPackDate).
class RAVLINK_API ZVDate {
 public:
  ZVDate(int32_t day = 0) : day_(day) {}
  static ZVDate Pack(int year, int month, int day);  // throws RL_BAD_VALUE for an invalid date
  void Unpack(int* year, int* month, int* day) const;
  int32_t GetDay() const { return day_; }
  std::string DateToString(int dateType) const;

 private:
  int32_t day_;
};

// Milliseconds since midnight.
class RAVLINK_API ZVTime {
 public:
  ZVTime(int32_t ms = 0) : ms_(ms) {}
  static ZVTime Pack(int hour, int minute, int second, int millisecond);
  int32_t GetMilliseconds() const { return ms_; }
  std::string TimeToString(int timeType) const;

 private:
  int32_t ms_;
};

// A date and a time of day, UTC (the engine's clock and its automatic time
// stamps are UTC).
class RAVLINK_API ZVDateTime {
 public:
  ZVDateTime() = default;
  ZVDateTime(int32_t day, int32_t ms) : day_(day), ms_(ms) {}
  static ZVDateTime CurrentDateTime();
  // throws RL_BAD_VALUE for an invalid date or time
  void Pack(int year, int month, int day, int hour, int minute, int second, int millisecond = 0);
  void SetDateTime(int32_t day, int32_t secondsOfDay);
  int32_t GetDate() const { return day_; }
  int32_t GetSeconds() const { return ms_ / 1000; }
  int32_t GetMilliseconds() const { return ms_; }
  int GetYear() const;
  int GetMonth() const;
  int GetDay() const;
  int GetHour() const { return ms_ / 3600000; }
  int GetMinute() const { return ms_ / 60000 % 60; }
  int GetSecond() const { return ms_ / 1000 % 60; }
  int GetDayOfYear() const;
  std::string DateTimeToString(int dateType, int timeType) const;
  bool operator==(const ZVDateTime& o) const { return day_ == o.day_ && ms_ == o.ms_; }

 private:
  int32_t day_ = 0;
  int32_t ms_ = 0;
};

class RAVLINK_API ZVNumber {
 public:
  ZVNumber(double value = 0, int scale = 0) : value_(value), scale_(scale) {}
  double Get() const { return value_; }
  double AsFloat() const { return value_; }
  int GetScale() const { return scale_; }
  std::string AsString() const;  // with GetScale() decimals

 private:
  double value_;
  int scale_;
};

class RAVLINK_API ZVMoney : public ZVNumber {
 public:
  ZVMoney(double value = 0) : ZVNumber(value, 4) {}
};

// ---- objects ----------------------------------------------------------

namespace ravlink_detail {
struct Logon;
struct Connection;
struct TableCore;
struct RecordState;
struct Access;
}  // namespace ravlink_detail

class ZVSession;
class ZVDatabase;
class ZVTable;
class ZVRecord;
class ZVIndex;

// Base of every object. Begin, Commit and Abort act on the session's
// transaction, whichever object of the session they are called on; Commit
// and Abort without a transaction do nothing. While a transaction is open,
// every write of the session (any database, any table) belongs to it.
class RAVLINK_API ZVBase {
 public:
  virtual ~ZVBase();
  ZVBase(const ZVBase&) = delete;
  ZVBase& operator=(const ZVBase&) = delete;

  void Begin();
  void Commit();
  void Abort();
  // Database: an exclusive lock on the database; table: on the table;
  // record: on its current row (sessions cannot be locked: RL_BAD_ARGUMENT).
  // The lock excludes other sessions, which wait; the same session may
  // take it again. Unlock releases one; ending the logon releases all.
  virtual void Lock(int mode);
  virtual void Unlock();
  int GetError() const { return lastError_; }  // code of the last failed call on this object, 0 after success
  RLHANDLE GetHandle() const { return handle_; }
  // Client date type 1-6 and time type 1-5, 10, 11 used for the texts of
  // date and time values in this session (default 1 and 3).
  void SetDefDateType(int dateType);
  void SetDefTimeType(int timeType);

 protected:
  ZVBase();
  virtual ravlink_detail::Logon* logon() const = 0;
  template <class Fn>
  auto guarded(Fn&& fn, const char* call = __builtin_FUNCTION()) -> decltype(fn());  // call: for the monitor
  int lastError_ = 0;
  RLHANDLE handle_;  // checked by generation: a stale handle finds no object
  friend struct ravlink_detail::RecordState;
  friend struct ravlink_detail::Access;
};

class RAVLINK_API ZVSession : public ZVBase {
 public:
  // type 0 or 2; anything else throws RL_BAD_ARGUMENT.
  explicit ZVSession(int type = 2);
  ~ZVSession() override;  // logs out when still logged on

  // server "NAME" or "NAME@HOST" with HOST this machine. Afterwards the new
  // logon's owner is current on the calling thread. Throws 12 (no such
  // server: nothing is made), 133 (server unreachable), 451 (unknown user),
  // 450 (wrong password), RL_BAD_NAME.
  void Logon(const char* server, const char* user, const char* password);
  // Aborts an open transaction, releases the session's locks, ends the logon.
  // Throws RL_NOT_OPEN when not logged on.
  void Logout();
  bool IsLoggedOn() const;
  // 1: a write outside Begin is durable at once (default). 0: a write
  // outside Begin opens a transaction that the next Commit or Abort ends;
  // a blocking read commits such a pending write before it waits.
  void SetAutoCommit(int on);
  int GetAutoCommit() const;
  bool FindDatabase(const char* name);                  // never throws for an unknown name
  bool FindDatabase(const char* name, ZVString* path);  // path: the database file when found
  void DisconnectAll();                                 // ends the logon: every object of it fails afterwards
  // path "" or "." is the server's directory; another path must lie inside
  // it. The new database is empty: throws RL_DATABASE_EXISTS when the
  // database is known and present, or when its file is still there (a
  // dropped database's file comes back only through AddDatabase).
  void CreateDatabase(const char* name, const char* path);
  // Makes an existing database file known to the server; 4094 when none.
  void AddDatabase(const char* name, const char* path);
  int32_t GetOwner() const;  // -1 when not logged on
  // Forgets the database and removes its file; 101 when the server knows
  // none, RL_IN_USE (nothing changes) while a session of the process has
  // it connected.
  void DeleteDatabase(const char* name);
  // Forgets the database and keeps its file (AddDatabase makes it known
  // again); RL_IN_USE as DeleteDatabase.
  void DropDatabase(const char* name);
  // The server's databases in name order with their files; false at the end.
  bool FirstDatabase(ZVString* name, ZVString* path);
  bool NextDatabase(ZVString* name, ZVString* path);
  const char* GetUserLogonName() const;
  void Lock(int mode) override;
  void Unlock() override;

 private:
  friend struct ravlink_detail::Access;
  ravlink_detail::Logon* logon() const override;
  bool nextDatabase(ZVString* name, ZVString* path);
  std::shared_ptr<ravlink_detail::Logon> logon_;
  std::vector<std::pair<std::string, std::string>> databaseWalk_;
  size_t databaseWalkPos_ = 0;
  friend class ZVDatabase;
};

class RAVLINK_API ZVDatabase : public ZVBase {
 public:
  explicit ZVDatabase(ZVSession* session);
  // A copy uses the same session and connected database, with no open tables of its own.
  ZVDatabase(const ZVDatabase& other);
  ZVDatabase& operator=(const ZVDatabase& other);
  ~ZVDatabase() override;  // disconnects; never touches the session object

  // Throws 101 when the server knows no such database, RL_BAD_NAME.
  void Connect(const char* name);
  void Disconnect();  // closes the tables still open through it
  bool IsConnected() const;
  ZVTable* FindActive(const char* tableName);  // open table of this database object, or null
  bool FindTable(const char* tableName);       // the table exists (no open)
  void CloseAll();                             // closes and deletes every open table
  const char* GetName() const;
  const char* GetPath() const;  // the database file
  // The tables in name order, each with the path "<database file>/<name>.dat";
  // false at the end.
  bool FirstTable(ZVString* name, ZVString* path);
  bool NextTable(ZVString* name, ZVString* path);
  // Drops the table with its rows and indexes; 4023 when there is none.
  void DeleteTable(const char* name, const char* password);
  // Renames the table with its indexes; 4023 when there is none, 18 when the new name is taken.
  void RenameTable(const char* oldName, const char* newName);
  // Moving a table to another database: AddTable copies the table with its
  // rows, indexes and id sequence from the database file `path` (as
  // GetPath or the directory part of a table walk's path gives it, under
  // the data root) into this database, in one transaction (4023 when the
  // file has no such table, 18 when this database has one, RL_BAD_PATH).
  // DropTable then removes it from the database it was copied from; it
  // refuses (RL_BAD_ARGUMENT, nothing changes) a table that no AddTable of
  // this process copied, or that was written since the copy, so rows are
  // never left only in a dropped table.
  void AddTable(const char* name, const char* path);
  void DropTable(const char* name);
  void SetUserTag(void* tag) { userTag_ = tag; }
  void* GetUserTag() const { return userTag_; }
  void Lock(int mode) override;
  void Unlock() override;

 private:
  std::vector<std::string> tableWalk_;
  size_t tableWalkPos_ = 0;
  void* userTag_ = nullptr;
  friend struct ravlink_detail::Access;
  ravlink_detail::Logon* logon() const override;
  std::shared_ptr<ravlink_detail::Logon> session_;
  std::shared_ptr<ravlink_detail::Connection> conn_;
  std::string name_;
  std::vector<ZVTable*> tables_;
  friend class ZVTable;
};

class RAVLINK_API ZVField : public ZVBase {
 public:
  ~ZVField() override;
  const char* GetName() const;
  int GetNumber() const { return number_; }
  int GetType() const;
  int GetLength() const;
  int GetScale() const;
  int GetBinaryFlag() const;
  bool IsAutoTimestamp() const;
  // Definition changes: stored by Create, or by Alter (0) on an open table.
  void SetType(int type, int length);
  void SetLength(int length);
  void SetScale(int scale);
  void SetBinaryFlag(int flag);
  // Renames the field; Alter keeps its values under the new name.
  void SetName(const char* name);
  // Date and time types for texts of this field on this open table (not stored).
  void SetFieldDefaultDateTimeType(int dateType, int timeType);

 private:
  friend struct ravlink_detail::Access;
  ZVField(ZVTable* table, int number) : table_(table), number_(number) {}
  ravlink_detail::Logon* logon() const override;
  ZVTable* table_;
  int number_;
  friend class ZVTable;
  friend class ZVIndex;
};

class RAVLINK_API ZVSegment : public ZVBase {
 public:
  ~ZVSegment() override;
  const char* GetFieldName() const;
  int GetMode() const;

 private:
  friend struct ravlink_detail::Access;
  ZVSegment(ZVTable* table, int index, int number) : table_(table), index_(index), number_(number) {}
  ravlink_detail::Logon* logon() const override;
  ZVTable* table_;
  int index_, number_;
  friend class ZVIndex;
  friend class ZVTable;
};

class RAVLINK_API ZVIndex : public ZVBase {
 public:
  ~ZVIndex() override;
  // mode 12 ascending; a mode with bit 0x10 is descending. Text segments
  // compare bytes exactly.
  ZVSegment* AddSegment(ZVField* field, int mode);
  ZVIndex(const ZVIndex& other);  // works on the same index of the same table object
  int GetKeyLength() const;       // bytes of a key built by BuildTargetKey
  void SetDuplicateFlag(int duplicates);
  void SetKeyType(int keyType);
  const char* GetName() const;
  int GetNumber() const { return number_; }
  int GetKeyType() const;
  int GetDuplicates() const;  // 1: duplicates allowed
  int GetSegmentCount() const;
  ZVSegment* GetSegment(int n);

 private:
  friend struct ravlink_detail::Access;
  ZVIndex(ZVTable* table, int number) : table_(table), number_(number) {}
  ravlink_detail::Logon* logon() const override;
  void followSegments();  // a segment object for every segment of the definition
  ZVTable* table_;
  int number_;
  std::vector<std::unique_ptr<ZVSegment>> segments_;
  friend class ZVTable;
};

class RAVLINK_API ZVTable : public ZVBase {
 public:
  explicit ZVTable(ZVDatabase* database);
  ~ZVTable() override;  // closes; records on it fail afterwards with RL_NOT_OPEN

  // mode 0: read and write; mode 1: before definition changes. Throws 4023
  // (no such table), 799 (blocked), RL_BAD_NAME.
  void Open(const char* name, int mode);
  // Creates the table defined with AddField/AddIndex and the rl* definition
  // functions; leaves this object closed. Throws 18 when it exists.
  void Create(const char* name, int mode);
  void Close();
  bool IsOpen() const;
  // For a table kept open between calls: its next statement asks the file
  // again whether another process changed the catalog, as a table opened
  // anew from the connection's cached definition does.
  void Recheck();
  // mode 0 or 1: stores the definition changes of this open table (new
  // fields, indexes, types, lengths, scales, flags); existing rows keep
  // their values, new fields are null.
  void Alter(int mode);

  ZVField* AddField(const char* name, int type, int length);  // length 0: the type's own size
  ZVField* GetField(const char* name);                        // throws RL_UNKNOWN_FIELD
  ZVField* GetField(int number);
  int GetFieldCount() const;
  // keyType 0 or 512; duplicates 1 = not unique; nullKey kept as given.
  ZVIndex* AddIndex(const char* name, int keyType, int duplicates, int nullKey);
  ZVIndex* GetIndex(const char* name);  // throws RL_UNKNOWN_INDEX
  ZVIndex* GetIndex(int number);
  int GetIndexCount() const;
  void MoveField(int number, int position);
  void DelIndex(const char* name);        // stored by Alter
  void Truncate();                        // deletes every row (inside the session's transaction when one is open)
  bool HasRowid() const { return true; }  // every table keeps record ids
  // Files are the engine's (one per database): extent sizes, folders and
  // extensions are accepted and have no effect.
  void SetDataDefaultExtentSize(int extent) {}
  void SetPath(const char* folder) {}
  void SetDataExtension(const char* extension) {}
  void SetIndexExtension(const char* extension) {}
  virtual int GetPartitionIndexNbr();  // -1 when not partitioned

  const char* GetName() const;
  const char* GetPath() const;           // the database file that holds the table
  const char* GetDataExtension() const;  // ".dat"; rlBlockFile takes path + '\\' + name + extension
  int32_t GetDatno() const;              // process-wide data file number
  int GetCreateMode() const;             // includes RL_CREATE_PARTITIONED when partitioned
  bool IsPartitioned() const;
  const char* GetPartitionRule() const;  // byte for byte as set
  int GetPartitionMaxActive() const;
  int64_t GetRecordCount();
  // RL_PART_SET_LOWEST: purge partitions below n and keep n as the lowest
  //   (throws 730 when n is not above the lowest kept);
  // RL_PART_QUERY: 1 when partition n holds rows, 0 otherwise;
  // RL_PART_PURGE: delete the rows of partition n (throws 730 when none).
  int PartAdminByNumber(int64_t partition, int mode);
  void Lock(int mode) override;
  void Unlock() override;

 private:
  friend struct ravlink_detail::Access;
  ravlink_detail::Logon* logon() const override;
  void rebuildObjects();
  void settleCatalog();
  ZVDatabase* database_;
  std::shared_ptr<ravlink_detail::TableCore> core_;
  std::vector<std::unique_ptr<ZVField>> fields_;
  std::vector<std::unique_ptr<ZVIndex>> indexes_;
  friend class ZVDatabase;
  friend class ZVField;
  friend class ZVIndex;
  friend class ZVSegment;
  friend class ZVRecord;
  friend struct ravlink_detail::TableCore;
};

// A cursor with its own buffer on a table. Positioning calls return non-zero
// when a record was read and 0 when none (no exception); the record then has
// no current row. Next and Prev after the end keep the position, so a later
// call reads rows written since. A walk reads every row committed (or written
// by its own session) before the move, by any session of the process; rows
// written by other processes show up within about a thousand rows of a walk.
// Between moves a walk keeps its read of the file open (as an open SQLite
// statement does); destroying or clearing the record ends it. The buffer
// holds the row as it was when the record moved to it, whatever is written
// afterwards. After Next or Prev found no further row it holds that row
// again, read anew by its id: only when another process changed or deleted
// the row in between does it then hold the row as it is now (deleted: only
// its key and id).
class RAVLINK_API ZVRecord : public ZVBase {
 public:
  explicit ZVRecord(ZVTable* table);
  ~ZVRecord() override;  // releases its locks

  void Clear();            // every field null, no current row: the next Write inserts
  void SetNew(int isNew);  // 1: as Clear
  // by name or number; RL_ROWID_INDEX walks in record-id order. The first
  // index is the default of a new record (record-id order when none).
  void SetDefaultIndex(const char* indexName);
  virtual void SetDefaultIndex(int indexNumber);
  int Find(int mode);  // RlFindMode on the default index's key set in the buffer
  int FindRowid(int64_t rowid, int mode);
  int First();
  int Last();
  int Next();  // without a position: as First; after rlSetBlockingRead waits (throws 156 / 100)
  int Prev();
  // Moves n records from the current one (negative: backwards). Throws
  // 4025 before the first record, 101 past the last; the position stays.
  void JumpTo(int64_t n);
  void Read();    // re-reads the current row; throws 101 when it is gone
  void Write();   // updates the current row, or inserts; throws 2 on a duplicate unique key
  void Delete();  // deletes the current row
  int64_t GetRowid() const;
  int64_t GetRecordCount();
  void LockRecord(int mode);
  void UnlockRecord();
  void Lock(int mode) override;
  void Unlock() override;
  // mode 4: delete every row whose default-index key starts with the
  // leading segments set in the buffer (throws 101 when none matched);
  // mode 5: InsertBatch stores each row at once. EndBatch ends either.
  void SetBatch(int mode, int length, int flags);
  void InsertBatch();
  void EndBatch();

  int GetFieldByName(const char* name);  // the field number; throws RL_UNKNOWN_FIELD
  int GetFieldType(int number);
  int GetFieldType(const char* name);
  // Reading limits of the plain functions (rlSetRecordFilter, rlSetRecordSet,
  // rlSetRecordRange): First, Next, Last, Prev and Find stay inside them.
  void SetFilter(const char* filter);  // "" removes it
  void BuildTargetKey(int mode, void* buffer, int length);
  void RangeOn(int count, const void* lowerKey, const void* upperKey, const int* codes);
  void RecordSetOn(int length);

  bool IsFieldNull(const char* name);
  std::string GetFieldAsString(const char* name);
  std::string GetFieldAsString(int number);
  int32_t GetFieldAsSigned(const char* name);
  int32_t GetFieldAsSigned(int number);
  int GetFieldAsBool(const char* name);
  double GetFieldAsFloat(const char* name);
  int64_t GetFieldAsBigint(const char* name);
  int64_t GetFieldAsBigint(int number);
  ZVBlob GetFieldAsBlob(const char* name);
  ZVDateTime GetFieldAsDateTime(const char* name);
  char GetFieldAsChar(const char* name);
  // The same by field number.
  int GetFieldAsBool(int number);
  char GetFieldAsChar(int number);
  int16_t GetFieldAsShort(int number);
  double GetFieldAsFloat(int number);
  ZVMoney GetFieldAsMoney(int number);
  ZVNumber GetFieldAsNumber(int number);
  ZVDate GetFieldAsDate(int number);
  ZVTime GetFieldAsTime(int number);
  ZVDateTime GetFieldAsDateTime(int number);

  // A setter that throws leaves the field null.
  void SetFieldNull(const char* name);
  void SetFieldAsString(const char* name, const char* text);
  void SetFieldAsString(int number, const char* text);
  void SetFieldAsSigned(const char* name, int32_t value);
  void SetFieldAsSigned(int number, int32_t value);
  void SetFieldAsBool(const char* name, int value);
  void SetFieldAsFloat(const char* name, double value);
  void SetFieldAsBigint(const char* name, int64_t value);
  void SetFieldAsBigint(int number, int64_t value);
  void SetFieldAsBlob(const char* name, const ZVBlob& blob);
  void SetFieldAsBlob(const char* name, const void* data, size_t size);
  void SetFieldAsDateTime(const char* name, const ZVDateTime& value);
  void SetFieldAsDate(const char* name, const ZVDate& value);
  void SetFieldAsTime(const char* name, const ZVTime& value);
  void SetFieldAsChar(const char* name, char value);
  // The same by field number.
  void SetFieldAsBool(int number, int value);
  void SetFieldAsChar(int number, char value);
  void SetFieldAsShort(int number, int16_t value);
  void SetFieldAsFloat(int number, double value);
  void SetFieldAsMoney(int number, const ZVMoney& value);
  void SetFieldAsDate(int number, const ZVDate& value);
  void SetFieldAsTime(int number, const ZVTime& value);
  void SetFieldAsDateTime(int number, const ZVDateTime& value);
  void SetFieldAsBigint(const char* name, const ZVBigint& value) { SetFieldAsBigint(name, value.Get()); }
  // A text of `length` bytes, taken whole: a NUL byte in it is kept by a
  // binary field and refused (RL_BAD_VALUE) by any other, never cut.
  void SetFieldAsText(const char* name, const char* text, size_t length);
  void SetFieldAsText(int number, const char* text, size_t length);
  void SetFieldAsJSON(int number, const ZVJsonString& value) {
    SetFieldAsText(number, value.str().data(), value.str().size());
  }

 private:
  friend struct ravlink_detail::Access;
  ravlink_detail::Logon* logon() const override;
  std::unique_ptr<ravlink_detail::RecordState> state_;
  friend struct ravlink_detail::RecordState;
};

// ---- client functions over handles --------------------------------------------
// A handle is an object's GetHandle(). Functions returning a code give 0 for
// success, 101 for "no (more) entries or records", else the error; functions
// returning a handle give null on failure and leave the code for rlGetError
// of the handle they were called on (the database for rlAllocTable, the
// table for field, index and segment look-ups). Text out-arguments carry
// their buffer size: a value that does not fit is RL_VALUE_TOO_LONG, never
// written past the buffer. Names reach the engine only as names (checked and
// quoted), filters only through the filter grammar below, never as SQL.
// An object freed while another thread calls on it stays alive until that
// call ends; the calls after the free answer RL_BAD_HANDLE.
extern "C" {
// Sessions and databases.
RAVLINK_API RLHANDLE rlAllocSession(int type);
RAVLINK_API void rlFreeSession(RLHANDLE session);
// As ZVSession::Logon: 450 wrong password, 451 unknown user, 133 another
// host, RL_BAD_NAME for no server name.
RAVLINK_API int rlLogon(RLHANDLE session, const char* server, const char* user, const char* password);
// A logon never creates a server: only these two do. rlCreateServer makes
// the server "NAME" (or "NAME@HOST") with its directory, its catalog and one
// administrator, ADMIN with the password TRUVE; 0 also when it exists.
// Callers reach it from trusted places only (the plug-in's start for its
// configured server, set-up tools).
RAVLINK_API int rlCreateServer(const char* server);
// The bytes of the length prefix a variable field of this type stores in
// front of its content (1, 2 or 4; 0 for fixed types): a stored length counts
// them, so VARCHAR(20) is stored as 22.
RAVLINK_API int rlFieldLengthPrefix(int type);
// A value an SQL statement writes into a field of the engine's, checked and
// converted as the engine's own writers do (declared length, integer range,
// numbers, dates, JSON, decimals). The field is given by its catalog row
// (rl_fields: type, length, binary_flag, scale word) and name; the value as
// SQLite holds it: kind is SQLite's storage class (SQLITE_INTEGER 1 to
// SQLITE_NULL 5), bytes and size hold a text or a blob. On 0 the value holds
// what the engine stores: bytes point into the value given when it is kept
// as it came, else into out. On RL_BAD_VALUE or RL_VALUE_TOO_LONG out holds
// the message. Nothing is allocated for a value kept as it came.
typedef struct rlSqlValue {
  int kind;
  int64_t integer;
  double real;
  const char* bytes;
  size_t size;
} rlSqlValue;
RAVLINK_API int rlSqlFieldValue(int type, int length, int binaryFlag, int scaleWord, const char* fieldName,
                                rlSqlValue* value, char* out, int outSize);
// The same for a literal of an SQL text: out holds the SQL literal of what
// the engine stores, or is empty when the literal stays as it is written.
RAVLINK_API int rlSqlFieldLiteral(int type, int length, int binaryFlag, int scaleWord, const char* fieldName,
                                  const rlSqlValue* value, char* out, int outSize);
// The same for a caller that holds credentials: 0 when the server exists;
// a missing one is made only when user and password are those its
// administrator will have (else 451 or 450, and nothing is made).
RAVLINK_API int rlCreateSession(RLHANDLE session, const char* server, const char* user, const char* password);
RAVLINK_API int rlLogout(RLHANDLE session);
RAVLINK_API int zvdbIsActiveSession(RLHANDLE handle);  // 1: the handle's session is logged on
RAVLINK_API int zvdbIsActiveTable(RLHANDLE handle);    // 1: the table (of a record) is open
RAVLINK_API int rlCreateDatabase(RLHANDLE session, const char* name, int mode);
RAVLINK_API int rlDeleteDatabase(RLHANDLE session, const char* name);
RAVLINK_API int rlFirstDatabase(RLHANDLE session, char* name, int nameSize, char* path, int pathSize);
RAVLINK_API int rlNextDatabase(RLHANDLE session, char* name, int nameSize, char* path, int pathSize);
RAVLINK_API int rlGetError(RLHANDLE handle);  // last code of the object, 0 after success
RAVLINK_API int rlStartClient(void);
RAVLINK_API void* rlAllocMemory(int count, int size);  // zeroed; null when count * size is not positive
RAVLINK_API void rlFreeMemory(void* block);

// Tables of a database.
RAVLINK_API int rlFirstTable(RLHANDLE database, char* name, int nameSize, char* path, int pathSize);
RAVLINK_API int rlNextTable(RLHANDLE database, char* name, int nameSize, char* path, int pathSize);
RAVLINK_API RLHANDLE rlAllocTable(RLHANDLE database);
RAVLINK_API void rlFreeTable(RLHANDLE table);                               // unstored definition changes are dropped
RAVLINK_API int rlOpenTable(RLHANDLE table, const char* name, int mode);    // 4023: no such table
RAVLINK_API int rlCheckTableSupport(RLHANDLE table);                        // 1: open and served
RAVLINK_API int rlCreateTable(RLHANDLE table, const char* name, int mode);  // 18: exists
RAVLINK_API int rlAlterTable(RLHANDLE table, int mode);                     // 0, 1 or 3 (partition settings)
RAVLINK_API int rlDeleteTable(RLHANDLE database, const char* name, int mode);
RAVLINK_API int rlGetTableCreateMode(RLHANDLE table);      // RL_CREATE_PARTITIONED when partitioned
RAVLINK_API RLHANDLE rlGetTableOfHandle(RLHANDLE handle);  // the table of a table, field, index or record
RAVLINK_API const char* rlGetTablePath(RLHANDLE table);    // the database file that holds the table
RAVLINK_API const char* rlGetTableName(RLHANDLE table);
// On any object of a session: the session's transaction. Commit and abort
// without a transaction give RL_NO_TRANSACTION.
RAVLINK_API int rlBeginTransaction(RLHANDLE handle);
RAVLINK_API int rlCommitTransaction(RLHANDLE handle);
RAVLINK_API int rlAbortTransaction(RLHANDLE handle);

// Field definitions (stored by rlCreateTable or rlAlterTable).
RAVLINK_API RLHANDLE rlAddField(RLHANDLE table, const char* name, int type, int length);
RAVLINK_API RLHANDLE rlInsertField(RLHANDLE table, int position, const char* name, int type, int length);
RAVLINK_API int rlMoveField(RLHANDLE field, int position);
RAVLINK_API int rlDeleteField(RLHANDLE table, int position);  // segments over it go, and indexes left empty
RAVLINK_API RLHANDLE rlGetFieldByName(RLHANDLE tableOrRecord, const char* name);
RAVLINK_API int rlSetFieldPrecision(RLHANDLE field, int precision);
RAVLINK_API int rlGetFieldPrecision(RLHANDLE field);
RAVLINK_API int rlSetFieldScale(RLHANDLE field, int scale);
RAVLINK_API int rlGetFieldScale(RLHANDLE field);
RAVLINK_API int rlGetFieldAutoTimestamp(RLHANDLE field, int* onCreate, int* onUpdate);
RAVLINK_API const char* rlGetIdentityFieldName(RLHANDLE tableOrRecord);  // null when none
RAVLINK_API int rlGetFieldType(RLHANDLE field);
RAVLINK_API const char* rlGetFieldName(RLHANDLE field);
RAVLINK_API int rlGetFieldLength(RLHANDLE field);
RAVLINK_API int rlIsFieldVariable(RLHANDLE field);

// Field values of a record, by field number.
RAVLINK_API int rlGetFieldCount(RLHANDLE tableOrRecord);
RAVLINK_API RLHANDLE rlGetField(RLHANDLE tableOrRecord, int number);
RAVLINK_API int rlGetFieldNumberByName(RLHANDLE tableOrRecord, const char* name);  // -1 when unknown
RAVLINK_API int rlClearField(RLHANDLE record, int number);
RAVLINK_API int rlIsFieldNull(RLHANDLE record, int number);  // 1 null, 0 not, -1 bad arguments
RAVLINK_API int rlSetFieldAsBool(RLHANDLE record, int number, int value);
RAVLINK_API int rlSetFieldAsDouble(RLHANDLE record, int number, double value);
RAVLINK_API int rlSetFieldAsInt64(RLHANDLE record, int number, int64_t value);
RAVLINK_API int rlSetFieldAsText(RLHANDLE record, int number, const char* text);
// The text's `length` bytes, as ZVRecord::SetFieldAsText: a NUL byte in a
// text for a field that is not binary gives RL_BAD_VALUE, never a cut value.
RAVLINK_API int rlSetFieldAsTextLength(RLHANDLE record, int number, const char* text, int64_t length);
RAVLINK_API int rlGetFieldAsBool(RLHANDLE record, int number, int* value);
RAVLINK_API int rlGetFieldAsInt64(RLHANDLE record, int number, int64_t* value);
RAVLINK_API int rlGetFieldAsDouble(RLHANDLE record, int number, double* value);
// The text form (dates and times in the session's date and time types);
// RL_VALUE_TOO_LONG when text and terminator do not fit size bytes.
RAVLINK_API int rlGetFieldAsText(RLHANDLE record, int number, char* buffer, int size);
// The buffer size rlGetFieldAsText needs for the field's text, terminator
// included: values of any stored size are read with a buffer this large.
RAVLINK_API int rlGetFieldAsTextSize(RLHANDLE record, int number, int64_t* size);

// Records.
RAVLINK_API RLHANDLE rlAllocRecord(RLHANDLE tableOrRecord);  // from a record: same table and default index
RAVLINK_API void rlFreeRecord(RLHANDLE record);
RAVLINK_API void rlClearRecord(RLHANDLE record);
RAVLINK_API void rlResetRecord(RLHANDLE record);           // ends the reading: no position, limits kept
RAVLINK_API int rlIsRecordChanged(RLHANDLE record);        // 1 after an assignment since the last clear
RAVLINK_API int rlSetLockMode(RLHANDLE record, int mode);  // 0 releases; 2, 4: rows found by id are locked
RAVLINK_API int rlFindRecordById(RLHANDLE record, int64_t id, int mode);  // 101: none
RAVLINK_API int rlGetRecordId(RLHANDLE record, int64_t* id);
RAVLINK_API int rlWriteRecord(RLHANDLE record);  // 2: duplicate unique key
RAVLINK_API int rlDeleteRecord(RLHANDLE record);
RAVLINK_API int rlSetDefaultIndex(RLHANDLE record, const char* indexName);
RAVLINK_API int rlGetDefaultIndex(RLHANDLE record);  // -1: record-id order
// Filter grammar: comparisons `field op value` (op = <> != < <= > >=,
// value a number, 'text' or null), joined with AND, OR, NOT and
// parentheses; names may be written "quoted". on 0 removes the filter.
RAVLINK_API int rlSetRecordFilter(RLHANDLE record, const char* filter, int on);
// Positioning: 0 when a record was read, 101 when none; all honour the
// filter, record set and range set on the record.
RAVLINK_API int rlFindRecord(RLHANDLE record, int mode);  // RlFindMode
RAVLINK_API int rlFirstRecord(RLHANDLE record);
RAVLINK_API int rlLastRecord(RLHANDLE record);
RAVLINK_API int rlNextRecord(RLHANDLE record);
RAVLINK_API int rlPrevRecord(RLHANDLE record);
RAVLINK_API int rlSkipRecords(RLHANDLE record, int64_t count);  // negative: backwards
// Reading stays among the records whose default-index key begins with the
// first `length` bytes of the key built from the record's fields.
RAVLINK_API int rlSetRecordSet(RLHANDLE record, int length);
RAVLINK_API int rlClearRecordSet(RLHANDLE record);
// Keys: per segment of the default index a fixed slot (8 bytes for numbers,
// the field's length for texts, zero-padded), ordered as the values are.
RAVLINK_API int rlGetIndexKeyLength(RLHANDLE index);
RAVLINK_API int rlBuildTargetKey(RLHANDLE record, void* buffer, int size);
// Range over the first `count` segments of the default index, one RlRangeCode
// per segment; the upper key serves the "between" codes.
RAVLINK_API int rlSetRecordRange(RLHANDLE record, int count, const void* lowerKey, const void* upperKey,
                                 const int* codes);
RAVLINK_API int rlClearRecordRange(RLHANDLE record);

// Indexes and segments.
RAVLINK_API RLHANDLE rlAddIndex(RLHANDLE table, const char* name, int keyType, int duplicates, int nullKey);
RAVLINK_API int rlSetIndexFilePath(RLHANDLE index, const char* directory, const char* fileName);
RAVLINK_API int rlSetIndexFileName(RLHANDLE index, const char* name);
RAVLINK_API int rlSetIndexDistinctCount(RLHANDLE index, int on);
// A conditional index holds only the records the condition accepts: a
// filter text ("qty > 5 AND status = 'open'"), checked now (RL_BAD_FILTER),
// stored as given by the next alter; "" or null makes it hold every record.
// Walks over the index meet only those records; a unique one is unique
// among them.
RAVLINK_API int rlSetIndexCondition(RLHANDLE index, const char* expression);
RAVLINK_API int rlGetIndexCondition(RLHANDLE index, char* buffer, int size);  // "" when none
RAVLINK_API RLHANDLE rlAddSegment(RLHANDLE index, RLHANDLE field, int mode);
// An ascending segment over one key inside a JSON field (type 259): key a
// path of members and array positions ("a.b[2].c"), its values indexed as
// the client type 8, 16, 24, 33, 41, 51, 59, 103, 146 (size 1 to 1024 bytes
// of key), 231 or 239. A record whose field is no JSON or lacks the key has
// a null key there. Keys asked for (Find, target keys) are taken from the
// buffer's field the same way, or are the field's single value when it
// holds no object: {"a": 5} and 5 both ask for a = 5.
RAVLINK_API RLHANDLE rlAddJsonSegment(RLHANDLE index, RLHANDLE field, const char* key, int type, int size);
RAVLINK_API int rlGetIndexNumber(RLHANDLE index, int* number);
RAVLINK_API int rlGetIndexCount(RLHANDLE table);
RAVLINK_API RLHANDLE rlGetIndex(RLHANDLE table, int number);
RAVLINK_API const char* rlGetIndexName(RLHANDLE index);
RAVLINK_API RLHANDLE rlGetIndexByName(RLHANDLE table, const char* name);
RAVLINK_API int rlGetIndexNumberByName(RLHANDLE table, const char* name);  // negative when unknown
RAVLINK_API int rlDeleteIndex(RLHANDLE table, int number);
RAVLINK_API int rlGetIndexDuplicateFlag(RLHANDLE index);  // 0: unique
RAVLINK_API int rlSetIndexDuplicateFlag(RLHANDLE index, int duplicates);
RAVLINK_API int rlGetSegmentCount(RLHANDLE index);
RAVLINK_API RLHANDLE rlGetSegment(RLHANDLE index, int position);
RAVLINK_API RLHANDLE rlGetSegmentField(RLHANDLE segment);
RAVLINK_API RLHANDLE rlGetSegmentFieldXtd(RLHANDLE segment);
RAVLINK_API const char* rlGetSegmentFieldName(RLHANDLE segment);
RAVLINK_API int rlGetSegmentMode(RLHANDLE segment);
// 0 with key, type and size for a segment over a key of a JSON field;
// RL_BAD_ARGUMENT for any other segment.
RAVLINK_API int rlGetJsonSegmentInfo(RLHANDLE segment, char* key, int keySize, int* type, int* size);
RAVLINK_API int rlDeleteSegment(RLHANDLE index, int position);
RAVLINK_API RLHANDLE rlInsertSegment(RLHANDLE index, int position, RLHANDLE field, int mode);

// Partition settings as stored (0, "" or -1 when not set).
RAVLINK_API int rlGetPartitionIndex(RLHANDLE table);
RAVLINK_API const char* rlGetPartitionRule(RLHANDLE table);
RAVLINK_API int rlGetPartitionBits(RLHANDLE table);
RAVLINK_API int rlGetPartitionMaxActive(RLHANDLE table);

// Texts in a client date type (1-6) and time type (1-5, 10, 11) packed as
// ZVDate day numbers, ZVTime milliseconds and ZVDateTime; a text that does
// not read leaves 0 (the zero date time) and gives RL_BAD_VALUE.
RAVLINK_API int rlStringToDate(const char* text, int dateType, int32_t* day);
RAVLINK_API int rlStringToTime(const char* text, int timeType, int32_t* milliseconds);
RAVLINK_API int rlStringToDateTime(const char* text, ZVDateTime* out, int dateType, int timeType);
}

// Range codes per segment (rlSetRecordRange).
enum RlRangeCode : int {
  RL_RANGE_NONE = 0,
  RL_RANGE_EQ = 193,
  RL_RANGE_LT = 69,
  RL_RANGE_LE = 196,
  RL_RANGE_GT = 130,
  RL_RANGE_GE = 195,
  RL_RANGE_BETWEEN = 199,           // lower <= v <= upper
  RL_RANGE_BETWEEN_EXCL_UP = 72,    // lower <= v < upper
  RL_RANGE_BETWEEN_EXCL_LOW = 137,  // lower < v <= upper
  RL_RANGE_BETWEEN_EXCL = 10,       // lower < v < upper
};

// ---- numbered functions -----------------------------------------------
extern "C" {
// option RL_OPT_INTERNAL "YES"/"NO"; RL_OPT_CONNECT_TIMEOUT seconds as text
// ("0": none). Per calling thread, for its following logons.
RAVLINK_API int rlSetClientOption(int option, const char* value);
RAVLINK_API int32_t rlGetCurrentOwner(void);       // -1 when none
RAVLINK_API int rlSetCurrentOwner(int32_t owner);  // -1: none; an owner no logon has is refused
RAVLINK_API int rlSetFieldBinaryFlag(RLHANDLE field, int flag);
RAVLINK_API int rlGetFieldBinaryFlag(RLHANDLE field);  // the flag, or -1 for a bad handle
RAVLINK_API int rlSetIdentityField(RLHANDLE table, const char* fieldName, int seed, int increment);
RAVLINK_API int rlSetFieldAutoTimestamp(RLHANDLE field, int onCreate, int onUpdate);
RAVLINK_API int rlSetTableReplication(int32_t datno, int on, int flags);
RAVLINK_API int rlSetPartitionIndex(RLHANDLE table, int indexNumber);
RAVLINK_API int rlSetPartitionRule(RLHANDLE table, const char* rule);
RAVLINK_API int rlSetPartitionBits(RLHANDLE table, int bits);
RAVLINK_API int rlSetPartitionMaxActive(RLHANDLE table, int maxActive);
// RL_INFO_LOWEST_PARTITION: the lowest partition holding rows; negative when
// there is none or on failure.
RAVLINK_API int64_t rlGetFileInfo(int32_t datno, int item);
// Next, First, Last and Prev of the record then wait up to `seconds` for rows
// committed by any session of the process (0: no wait).
RAVLINK_API int rlSetBlockingRead(RLHANDLE record, int seconds, int flags);
RAVLINK_API int rlGetCurrentDateTime(ZVDateTime* out);
RAVLINK_API int rlGetIdentityValue(RLHANDLE record, int64_t* out);  // the identity of the record's current row
RAVLINK_API int32_t rlPackDate(int year, int month, int day);       // day number; -1 for an invalid date
// The SQL type name of a fixed-size number, date or time type code ("BIT",
// "TINYINT", "SMALLINT", "INTEGER", "BIGINT", "REAL", "DOUBLE", "DATE",
// "TIME", "TIMESTAMP"; signed and unsigned alike); null for every other code.
RAVLINK_API const char* rlScalarTypeName(int type);
RAVLINK_API int rlUnpackDate(int32_t dayNumber, int* year, int* month, int* day);
RAVLINK_API int rlPackDateTime(ZVDateTime* out, int year, int month, int day, int hour, int minute, int second,
                               int millisecond);
RAVLINK_API int rlReverseBytes(void* data, int length);
// path: GetPath() + '\\' (or '/') + table name + GetDataExtension().
// RL_BLOCK_FILE closes the table for every session (their next use gets 799,
// Open gets 799) until RL_UNBLOCK_FILE; the table and its rows remain.
RAVLINK_API int rlBlockFile(const char* path, int mode);
}
