// Store-and-forward delivery against a real database: order, confirmation,
// redelivery after a restart (a new engine on the same files), purged
// records, starting points, names, unsubscribing while a reader is busy, and
// the transactions of failing deliveries.
#include "YXStoreAndForward.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const ZVFieldDescriptor kMessageFields[] = {
    {"id", 51, 4, 0, 1, 0, {0, 0}},
    {"n", 51, 4, 0, 0, 0, {0, 0}},
};
const ZVSegmentDescriptor kIdSegment[] = {{"id", 12, 0}};
const ZVIndexDescriptor kMessageIndexes[] = {{"messages_pk", 512, 0, 0, 0, kIdSegment, 1, 0}};

// What one subscriber received: message numbers and record ids, in order.
struct Inbox {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> numbers;
  std::vector<int64_t> ids;
  std::vector<uint64_t> ticks;
  std::function<int(int)> onDelivery;  // optional: result for message n

  static int Deliver(ZVRecord* record, void* context) {
    auto* inbox = static_cast<Inbox*>(context);
    int n = record->GetFieldAsSigned("n");
    if (inbox->onDelivery) {
      int result = inbox->onDelivery(n);
      if (result != 0) return result;
    }
    std::lock_guard<std::mutex> hold(inbox->mutex);
    inbox->numbers.push_back(n);
    inbox->ids.push_back(record->GetRowid());
    inbox->ticks.push_back(yxTickCount64());
    inbox->changed.notify_all();
    return 0;
  }
  // Waits (bounded) until count messages arrived; returns the numbers.
  std::vector<int> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(15), [&] { return numbers.size() >= count; });
    return numbers;
  }
  int64_t IdOf(int n) {
    std::lock_guard<std::mutex> hold(mutex);
    for (size_t i = 0; i < numbers.size(); ++i)
      if (numbers[i] == n) return ids[i];
    return -1;
  }
};

std::vector<int> range(int from, int to) {
  std::vector<int> out;
  for (int i = from; i <= to; ++i) out.push_back(i);
  return out;
}

class StoreForwardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sf-test-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("RAVLINK_DATA", root_.c_str(), 1);
    ASSERT_EQ(rlCreateServer("SRV"), 0);
    rlSetCurrentOwner(-1);
    ZVDatabaseConfig cfg("SRV", "ADMIN", "TRUVE", "src");
    ZVDatabasePooled::CheckDatabase(&cfg);
    writerConfig_.reset(new ZVDatabaseConfig("SRV", "ADMIN", "TRUVE", "src"));
    writer_.reset(new ZVDatabasePooled(writerConfig_.get()));
    writer_->Init();
    writer_->CheckTable("messages", kMessageFields, 2, kMessageIndexes, 1);
  }
  void TearDown() override {
    writer_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::unique_ptr<YXStoreAndForward> NewEngine(int rate = 0, int mode = 0, int maxStored = 1000) {
    std::unique_ptr<YXStoreAndForward> engine(new YXStoreAndForward("SRV", "src", "messages", "ADMIN", "TRUVE"));
    engine->deliveryRate = rate;
    engine->deliveryMode = mode;
    engine->maxStoredMessages = maxStored;
    return engine;
  }
  void Write(int from, int to) {
    ZVRecord* r = writer_->GetRecord("messages", true);
    for (int n = from; n <= to; ++n) {
      r->Clear();
      r->SetFieldAsSigned("n", n);
      r->Write();
    }
  }
  void DeleteUpTo(int n) {
    ZVRecord* r = writer_->GetRecord("messages", true);
    r->SetDefaultIndex(RL_ROWID_INDEX);
    while (r->First() && r->GetFieldAsSigned("n") <= n) r->Delete();
  }
  static int CodeOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const YXException& e) {
      return e.GetErrorCode();
    }
    return 0;
  }

  std::string root_;
  std::unique_ptr<ZVDatabaseConfig> writerConfig_;
  std::unique_ptr<ZVDatabasePooled> writer_;
};

}  // namespace

// 50 delivered, 45 confirmed, engine gone: the next engine hands out 46-50
// again and then 51, in order; a second subscriber at its own position is
// not disturbed.
TEST_F(StoreForwardTest, RestartRedeliversFromTheFirstUnconfirmed) {
  Write(1, 10);  // before anyone subscribed: NewMessages skips them
  Inbox first, other;
  {
    auto engine = NewEngine();
    engine->Subscribe("client-1", Inbox::Deliver, &first);
    engine->Subscribe("client-2", Inbox::Deliver, &other);
    Write(11, 60);
    ASSERT_EQ(first.WaitFor(50), range(11, 60));
    ASSERT_EQ(other.WaitFor(50), range(11, 60));
    for (int n = 11; n <= 55; ++n) engine->UpdateCompletedPosition("client-1", first.IdOf(n));
    engine->UpdateCompletedPosition("client-2", other.IdOf(60));
    engine->UpdateCompletedPosition("client-1", first.IdOf(20));  // late: never moves back
  }
  Write(61, 61);
  Inbox again, otherAgain;
  auto engine = NewEngine();
  engine->Subscribe("client-1", Inbox::Deliver, &again);
  engine->Subscribe("client-2", Inbox::Deliver, &otherAgain);
  EXPECT_EQ(again.WaitFor(6), range(56, 61));
  EXPECT_EQ(otherAgain.WaitFor(1), range(61, 61));
  // Unsubscribe and subscribe again in the same engine: the same rule.
  engine->UpdateCompletedPosition("client-1", again.IdOf(58));
  engine->Unsubscribe("client-1");
  Inbox third;
  engine->Subscribe("client-1", Inbox::Deliver, &third);
  EXPECT_EQ(third.WaitFor(3), range(59, 61));
}

// A new subscriber that never confirmed anything still gets everything it
// was handed again: "completed" starts just before its first record.
TEST_F(StoreForwardTest, NothingConfirmedIsRedeliveredAfterRestart) {
  Write(1, 3);
  Inbox inbox;
  {
    auto engine = NewEngine();
    engine->Subscribe("c", Inbox::Deliver, &inbox);
    Write(4, 8);
    ASSERT_EQ(inbox.WaitFor(5), range(4, 8));
  }
  Inbox again;
  auto engine = NewEngine();
  engine->Subscribe("c", Inbox::Deliver, &again);
  EXPECT_EQ(again.WaitFor(5), range(4, 8));
  // StoredMessages: the first stored record handed out is unconfirmed too.
  engine->deliveryMode = YX_SF_MODE_STORED_MESSAGES;
  engine->maxStoredMessages = 2;
  Inbox stored;
  engine->Subscribe("s", Inbox::Deliver, &stored);
  ASSERT_EQ(stored.WaitFor(2), range(7, 8));
  engine.reset();
  engine = NewEngine();
  Inbox storedAgain;
  engine->Subscribe("s", Inbox::Deliver, &storedAgain);
  EXPECT_EQ(storedAgain.WaitFor(2), range(7, 8));
}

TEST_F(StoreForwardTest, StartingPoints) {
  // An empty table: the subscriber starts at 0 and reads from the first record.
  auto engine = NewEngine();
  Inbox empty;
  engine->Subscribe("empty", Inbox::Deliver, &empty);
  Write(1, 3);
  EXPECT_EQ(empty.WaitFor(3), range(1, 3));
  // StoredMessages: the last maxStored first; 0 or more than there are: all.
  struct Case {
    int maxStored;
    std::vector<int> expected;
  } cases[] = {{2, {2, 3, 4}}, {0, {1, 2, 3, 4}}, {10, {1, 2, 3, 4}}};
  engine->deliveryMode = YX_SF_MODE_STORED_MESSAGES;
  std::vector<std::unique_ptr<Inbox>> inboxes;
  for (const Case& c : cases) {
    engine->maxStoredMessages = c.maxStored;
    inboxes.emplace_back(new Inbox);
    engine->Subscribe(("stored-" + std::to_string(c.maxStored)).c_str(), Inbox::Deliver, inboxes.back().get());
  }
  Write(4, 4);
  for (size_t i = 0; i < inboxes.size(); ++i)
    EXPECT_EQ(inboxes[i]->WaitFor(cases[i].expected.size()), cases[i].expected) << cases[i].maxStored;
  engine.reset();  // the readers end before their inboxes
}

// The confirmed record was purged while the subscriber was away: delivery
// falls back to the first record there is.
TEST_F(StoreForwardTest, PurgedConfirmedRecordFallsBackToFirst) {
  Inbox inbox;
  {
    auto engine = NewEngine();
    engine->Subscribe("c", Inbox::Deliver, &inbox);
    Write(1, 6);
    ASSERT_EQ(inbox.WaitFor(6), range(1, 6));
    engine->UpdateCompletedPosition("c", inbox.IdOf(2));
  }
  DeleteUpTo(4);
  Inbox again;
  auto engine = NewEngine();
  engine->Subscribe("c", Inbox::Deliver, &again);
  Write(7, 7);
  EXPECT_EQ(again.WaitFor(3), range(5, 7));
}

TEST_F(StoreForwardTest, NamesAndModes) {
  auto engine = NewEngine();
  Inbox inbox;
  std::string longest(63, 'a'), tooLong(64, 'a');
  EXPECT_EQ(CodeOf([&] { engine->Subscribe("", Inbox::Deliver, &inbox); }), YX_SF_NAME_MISSING);
  EXPECT_EQ(CodeOf([&] { engine->Subscribe(nullptr, Inbox::Deliver, &inbox); }), YX_SF_NAME_MISSING);
  EXPECT_EQ(CodeOf([&] { engine->Subscribe(tooLong.c_str(), Inbox::Deliver, &inbox); }), YX_SF_NAME_TOO_LONG);
  EXPECT_EQ(CodeOf([&] { engine->Subscribe((tooLong + "b").c_str(), Inbox::Deliver, &inbox); }), YX_SF_NAME_TOO_LONG);
  EXPECT_EQ(CodeOf([&] { engine->Subscribe(longest.c_str(), Inbox::Deliver, &inbox); }), 0);
  EXPECT_EQ(CodeOf([&] { engine->Subscribe(longest.c_str(), Inbox::Deliver, &inbox); }), YX_SF_NAME_IN_USE);
  EXPECT_EQ(CodeOf([&] { engine->Unsubscribe("nobody"); }), YX_SF_NAME_NOT_FOUND);
  EXPECT_EQ(CodeOf([&] { engine->Unsubscribe(""); }), YX_SF_NAME_MISSING);
  EXPECT_EQ(CodeOf([&] { engine->UpdateCompletedPosition("nobody", 1); }), RL_KEY_PRESENT);
  EXPECT_EQ(CodeOf([&] { engine->Unsubscribe(longest.c_str()); }), 0);

  struct Mode {
    const char* text;
    int mode;
  } modes[] = {{"NewMessages", 0}, {"StoredMessages", 1}, {"default", -1}};
  for (const Mode& m : modes) {
    EXPECT_EQ(YXStoreAndForward::GetDeliveryMode(m.text), m.mode);
    EXPECT_STREQ(YXStoreAndForward::GetDeliveryModeString(m.mode), m.text);
  }
  for (const char* bad : {"newmessages", "", "Stored"})
    EXPECT_EQ(CodeOf([&] { YXStoreAndForward::GetDeliveryMode(bad); }), YX_SF_BAD_DELIVERY_MODE) << bad;
  EXPECT_EQ(CodeOf([&] { YXStoreAndForward::GetDeliveryMode(nullptr); }), YX_SF_BAD_DELIVERY_MODE);
  EXPECT_EQ(CodeOf([&] { YXStoreAndForward::GetDeliveryModeString(2); }), YX_SF_BAD_DELIVERY_MODE);
}

// While one subscriber's reader is stuck in its callback, Unsubscribe of it
// waits for the reader without holding the engine: another subscriber's
// confirmation goes through meanwhile. A reader waiting on the database
// stops within its bounded wait.
TEST_F(StoreForwardTest, UnsubscribeDoesNotBlockTheEngine) {
  auto engine = NewEngine();
  std::mutex gate;
  std::condition_variable opened;
  bool open = false, entered = false;
  Inbox stuck, other;
  stuck.onDelivery = [&](int) {
    std::unique_lock<std::mutex> lock(gate);
    entered = true;
    opened.notify_all();
    opened.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
    return 0;
  };
  engine->Subscribe("stuck", Inbox::Deliver, &stuck);
  engine->Subscribe("other", Inbox::Deliver, &other);
  Write(1, 1);
  ASSERT_EQ(other.WaitFor(1), range(1, 1));
  {
    std::unique_lock<std::mutex> lock(gate);
    ASSERT_TRUE(opened.wait_for(lock, std::chrono::seconds(15), [&] { return entered; }));
  }
  std::atomic<bool> unsubscribed{false};
  std::thread stopper([&] {
    engine->Unsubscribe("stuck");
    unsubscribed = true;
  });
  engine->UpdateCompletedPosition("other", other.IdOf(1));  // not behind the join
  EXPECT_FALSE(unsubscribed);
  {
    std::lock_guard<std::mutex> lock(gate);
    open = true;
    opened.notify_all();
  }
  stopper.join();
  EXPECT_TRUE(unsubscribed);
  // "other" waits on the database now; its Unsubscribe ends that wait.
  auto started = std::chrono::steady_clock::now();
  engine->Unsubscribe("other");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// A callback that refuses a record stops the reader; its transaction is
// aborted, so "position" did not move (the record comes again) and no
// transaction is left open on the metadata database.
TEST_F(StoreForwardTest, FailedDeliveryAbortsItsTransaction) {
  Inbox refusing;
  refusing.onDelivery = [](int n) { return n == 3 ? 77 : 0; };
  {
    auto engine = NewEngine();
    engine->Subscribe("r", Inbox::Deliver, &refusing);
    Inbox other;
    engine->Subscribe("o", Inbox::Deliver, &other);
    Write(1, 4);
    ASSERT_EQ(refusing.WaitFor(2), range(1, 2));
    ASSERT_EQ(other.WaitFor(4), range(1, 4));
    // A transaction left open would hold the metadata file: this write would
    // wait for its lock and fail.
    engine->UpdateCompletedPosition("o", other.IdOf(4));
    engine->UpdateCompletedPosition("r", refusing.IdOf(2));
  }
  Inbox again;
  auto engine = NewEngine();
  engine->Subscribe("r", Inbox::Deliver, &again);
  EXPECT_EQ(again.WaitFor(2), range(3, 4));
}

// With a rate, records already waiting in the table go out no faster than
// the rate allows (back-to-back reads are paced too).
TEST_F(StoreForwardTest, RateLimitPacesBackToBackRecords) {
  Write(1, 5);
  auto engine = NewEngine(20, YX_SF_MODE_STORED_MESSAGES, 0);
  Inbox inbox;
  engine->Subscribe("paced", Inbox::Deliver, &inbox);
  ASSERT_EQ(inbox.WaitFor(5), range(1, 5));
  std::lock_guard<std::mutex> hold(inbox.mutex);
  for (size_t i = 1; i < inbox.ticks.size(); ++i) EXPECT_GE(inbox.ticks[i] - inbox.ticks[i - 1], 49u) << i;
}

TEST_F(StoreForwardTest, CleanForgetsSubscribers) {
  Write(1, 2);
  {
    auto engine = NewEngine();
    Inbox inbox;
    engine->Subscribe("c", Inbox::Deliver, &inbox);
    Write(3, 4);
    ASSERT_EQ(inbox.WaitFor(2), range(3, 4));
    engine->Unsubscribe("c");
    engine->Clean();
    engine->Clean();  // nothing left to delete: no error
  }
  Write(5, 5);
  auto engine = NewEngine();
  Inbox fresh;
  engine->Subscribe("c", Inbox::Deliver, &fresh);  // new again: nothing of 3-5
  Write(6, 6);
  EXPECT_EQ(fresh.WaitFor(1), range(6, 6));
}

// A reader that cannot start (no such source table) fails Subscribe with the
// database's code and leaves the engine and the name usable.
TEST_F(StoreForwardTest, ReaderThatCannotStartFailsSubscribe) {
  std::unique_ptr<YXStoreAndForward> engine(new YXStoreAndForward("SRV", "src", "missing", "ADMIN", "TRUVE"));
  Inbox inbox;
  try {
    engine->Subscribe("c", Inbox::Deliver, &inbox);
    ADD_FAILURE() << "subscribed to a missing table";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), RL_NO_TABLE);
    EXPECT_NE(std::string(e.GetErrorMsg()).find("Not able to connect to Store & Forward database"), std::string::npos)
        << e.GetErrorMsg();
  }
  EXPECT_EQ(CodeOf([&] { engine->Unsubscribe("c"); }), YX_SF_NAME_NOT_FOUND);
  EXPECT_EQ(CodeOf([&] { engine->Clean(); }), 0);
  auto good = NewEngine();
  EXPECT_EQ(CodeOf([&] { good->Subscribe("c", Inbox::Deliver, &inbox); }), 0);
}

namespace {

// The engine's "position" and "completed" rows, read and set as a crash
// leaves them: "position" is saved in groups, so it may lag behind what the
// subscriber was handed and even behind what it confirmed.
class MetadataRows {
 public:
  MetadataRows() : config_("SRV", "ADMIN", "TRUVE", "brenlox"), db_(&config_) {
    db_.Init();
    for (const char* table : {"position", "completed"}) db_.CheckTable(table, kFields, 4, kIndex, 1);
  }
  int64_t Get(const char* table, const char* subscriber) {
    ZVRecord* r = find(table, subscriber);
    return r ? r->GetFieldAsBigint("position") : -1;
  }
  void Set(const char* table, const char* subscriber, int64_t position) {
    ZVRecord* r = find(table, subscriber);
    ASSERT_NE(r, nullptr) << table << " " << subscriber;
    r->SetFieldAsBigint("position", position);
    r->Write();
  }

 private:
  ZVRecord* find(const char* table, const char* subscriber) {
    ZVRecord* r = db_.GetRecord(table, true);
    r->Clear();
    r->SetFieldAsString("databaseName", "src");
    r->SetFieldAsString("tableName", "messages");
    r->SetFieldAsString("subscriber", subscriber);
    return r->Find(RL_FIND_EQ) ? r : nullptr;
  }
  static constexpr ZVFieldDescriptor kFields[] = {
      {"databaseName", 162, 66, 4, 0, 0, {0, 0}},
      {"tableName", 162, 66, 4, 0, 0, {0, 0}},
      {"subscriber", 162, 66, 4, 0, 0, {0, 0}},
      {"position", 239, 8, 0, 0, 0, {0, 0}},
  };
  static constexpr ZVSegmentDescriptor kSegments[] = {
      {"databaseName", 12, 0}, {"tableName", 12, 0}, {"subscriber", 12, 0}};
  static constexpr ZVIndexDescriptor kIndex[] = {{"anyIndex", 0, 0, 0, 0, kSegments, 3, 0}};
  ZVDatabaseConfig config_;
  ZVDatabasePooled db_;
};

}  // namespace

// "position" is saved for groups of records: a reader that caught up with
// the table saves it without being stopped, and a crash that left it behind
// (even behind "completed") loses nothing and repeats nothing confirmed.
TEST_F(StoreForwardTest, PositionSavedInGroupsLosesNothingAfterACrash) {
  std::vector<int64_t> ids;
  {
    auto engine = NewEngine();
    Inbox unused;
    for (const char* name : {"behind-completed", "behind-handed-out"}) {
      engine->Subscribe(name, Inbox::Deliver, &unused);  // their rows
      engine->Unsubscribe(name);
    }
    Inbox own;
    engine->Subscribe("caught-up", Inbox::Deliver, &own);
    Write(1, 8);
    ASSERT_EQ(own.WaitFor(8), range(1, 8));
    for (int n = 1; n <= 8; ++n) ids.push_back(own.IdOf(n));
    MetadataRows rows;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (rows.Get("position", "caught-up") != ids[7] && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rows.Get("position", "caught-up"), ids[7]);
  }
  // What a kill -9 may leave of a subscriber that was handed 1-8 and had
  // confirmed up to `completed`, while its last saved "position" was
  // `position`. Delivery is in order, so a repeat would show before 9.
  struct Case {
    const char* name;
    int position, completed;  // message numbers
    std::vector<int> expected;
  } cases[] = {
      {"behind-completed", 3, 6, range(7, 9)},
      {"behind-handed-out", 5, 2, range(3, 9)},
  };
  {
    MetadataRows rows;
    for (const Case& c : cases) {
      rows.Set("position", c.name, ids[c.position - 1]);
      rows.Set("completed", c.name, ids[c.completed - 1]);
    }
  }
  auto engine = NewEngine();
  std::vector<std::unique_ptr<Inbox>> inboxes;
  for (const Case& c : cases) {
    inboxes.emplace_back(new Inbox);
    engine->Subscribe(c.name, Inbox::Deliver, inboxes.back().get());
  }
  Write(9, 9);
  for (size_t i = 0; i < inboxes.size(); ++i) {
    EXPECT_EQ(inboxes[i]->WaitFor(cases[i].expected.size()), cases[i].expected) << cases[i].name;
  }
  engine.reset();
}
