// Store-and-forward delivery: the records of one source table handed to named
// subscribers in record-id order, each by a reader thread of its own that
// waits on the database for new records. Two rows per subscriber, in the
// database "brenlox" of the same server, carry delivery over restarts:
//   "position"  the id of the last record handed out (index "subsTableIndex");
//   "completed" the id just before the first record the subscriber has not
//               confirmed (index "compTableIndex").
// A subscriber that subscribes again (after Unsubscribe, a restart or a crash)
// gets every record after "completed" once more, then the new ones.
//
// Errors: every operation throws YXException (kind 3 for the caller's
// mistakes, kind 1 for database failures, with the client's code and
// message) and always leaves the engine mutex released, the thread's client
// owner restored and no transaction open. Reader threads never throw: they
// report through the code and message of their record.
//
// Threading: Subscribe, Unsubscribe, UnsubscribeAll, UpdateCompletedPosition
// and Clean may be called from any thread; they serialise on the engine
// mutex, which is never held while a reader thread is joined. The callback
// runs on the subscriber's reader thread, outside any transaction; "position"
// moves to a record once the callback returned 0 for it. It may call
// UpdateCompletedPosition (a subscriber without acknowledgements confirms
// each record as it sends it); a callback that blocks holds up only its own
// subscriber, and Unsubscribe of it waits for the callback to return.
#ifndef YXSTOREANDFORWARD_H
#define YXSTOREANDFORWARD_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ZVDatabasePooled.h"

// Codes of the engine's own errors.
constexpr int YX_SF_NAME_IN_USE = 11001;
constexpr int YX_SF_NAME_NOT_FOUND = 11002;
constexpr int YX_SF_ALLOC = 11003;
constexpr int YX_SF_NAME_MISSING = 11004;
constexpr int YX_SF_BAD_DELIVERY_MODE = 11005;
constexpr int YX_SF_NAME_TOO_LONG = 11006;

// Starting point of a subscriber that has no "position" row yet.
enum YX_STOREANDFORWARD_DELIVERY_MODE : int32_t {
  YX_SF_MODE_DEFAULT = -1,         // "default": as NewMessages
  YX_SF_MODE_NEW_MESSAGES = 0,     // "NewMessages": records written after subscribing
  YX_SF_MODE_STORED_MESSAGES = 1,  // "StoredMessages": the last maxStored records first
};

class YXStoreAndForward;

// Delivers one record; 0 when it was delivered, anything else stops the
// subscriber's reader (the code lands in its record). Runs on the reader.
typedef int (*YXStoreAndForwardCallback)(ZVRecord* record, void* context);

// One subscriber's reader. Written by its thread; state is also written by
// the engine (2: stop).
struct YX_STOREANDFORWARD_THREAD_DATA {
  static constexpr int kNameSize = 64;  // a name holds at most kNameSize - 1 bytes
  char name[kNameSize] = {};
  YXStoreAndForward* engine = nullptr;
  int32_t rate = 0;
  int32_t mode = 0;
  int32_t maxStored = 0;
  YXStoreAndForwardCallback callback = nullptr;
  void* context = nullptr;
  char message[1024] = {};
  std::atomic<int32_t> code{0};
  std::atomic<int32_t> state{0};  // 0 starting, 1 running, 2 stop requested or ended
  int64_t completedPosition = 0;  // "completed" at subscription
};

class YXStoreAndForward {
 public:
  // Logs on to server as user, creates "brenlox", "position" and "completed"
  // when missing and keeps a session for the "completed" rows. A client error:
  // "YXStoreAndForward::YXStoreAndForward", kind 1, the client's code/message.
  YXStoreAndForward(const char* server, const char* databaseName, const char* tableName, const char* user,
                    const char* password);
  // Stops every reader, then ends the engine's session.
  virtual ~YXStoreAndForward();
  YXStoreAndForward(const YXStoreAndForward&) = delete;
  YXStoreAndForward& operator=(const YXStoreAndForward&) = delete;

  // Starts the reader of name and returns once it waits for records (the
  // records a returning subscriber has not confirmed are delivered by the
  // reader right after). Codes: 11004 no name, 11006 a name of 64 bytes or
  // more, 11001 the name is subscribed (or still stopping), the reader's code
  // when it could not start, 4004 when the name is already in the completion
  // list, client codes (kind 1).
  void Subscribe(const char* name, YXStoreAndForwardCallback callback, void* context);
  // Stops and joins the reader (at most about a second for a reader waiting
  // on the database, plus its callback); the rows stay. 11004, 11002.
  void Unsubscribe(const char* name);
  // Stops and joins every reader.
  void UnsubscribeAll();
  // The subscriber confirmed the record with id position: "completed" moves
  // there (never backwards). The caller confirms in record order (one
  // subscriber's acknowledgements applied in the order of delivery), so that
  // "completed" stays just before the first record not confirmed.
  // 4002 no completion list, 4004 the name is not subscribed, client codes.
  void UpdateCompletedPosition(const char* name, int64_t position);
  // Deletes every "position" and "completed" row of this source table.
  // Client errors as "YXStoreAndForward::Clean", kind 1.
  void Clean();

  // "NewMessages" 0, "StoredMessages" 1, "default" -1 (case-sensitive);
  // anything else: "GetDeliveryMode", kind 3, 11005.
  static int GetDeliveryMode(const char* text);
  // The reverse; "GetDeliveryModeString", kind 3, 11005 for any other value.
  static const char* GetDeliveryModeString(int mode);

  // Set by the owner after construction, read at each Subscribe.
  int32_t deliveryRate = 100;  // records per second per subscriber; 0 or less: no limit
  int32_t deliveryMode = 0;
  int32_t maxStoredMessages = 1000;  // mode 1: how many stored records; 0 or less: all

  const std::string& GetServer() const { return server_; }
  const std::string& GetUser() const { return user_; }
  const std::string& GetPassword() const { return password_; }
  const std::string& GetDatabaseName() const { return databaseName_; }
  const std::string& GetTableName() const { return tableName_; }

  struct Subscriber;  // one reader: its record, its thread and its completion row

 private:
  std::shared_ptr<Subscriber> takeForStop(const char* name);
  void joinAndForget(const std::shared_ptr<Subscriber>& subscriber);

  std::string server_, user_, password_, databaseName_, tableName_;
  std::mutex mutex_;
  ZVDatabaseConfig completionConfig_;
  std::unique_ptr<ZVDatabasePooled> completion_;  // the engine's own session on "brenlox"
  std::map<std::string, std::shared_ptr<Subscriber>> subscribers_;
};

#endif  // YXSTOREANDFORWARD_H
