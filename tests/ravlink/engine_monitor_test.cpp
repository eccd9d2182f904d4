// The engine's monitor calls used directly: ending a logon (between calls
// and inside one), the bounds of the lists, the log and the blocks, paths
// of the memory log, and the names a monitor binds.
#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "engine_fixture.h"
#include "monitor.h"

namespace {

using enginetest::codeOf;

class MonitorCallsTest : public enginetest::EngineTest {
 protected:
  // One committed row of "items" (name "a", qty 1), and A's record on it.
  struct Worker {
    Connected c;
    std::unique_ptr<ZVTable> table;
    std::unique_ptr<ZVRecord> record;
    int32_t owner = 0;
  };
  Worker worker(bool create) {
    Worker w;
    w.c = connect();
    w.owner = w.c.session->GetOwner();
    if (create) createItems(w.c.database.get());
    w.table = std::make_unique<ZVTable>(w.c.database.get());
    w.table->Open("items", 0);
    w.record = std::make_unique<ZVRecord>(w.table.get());
    if (create) {
      w.record->Clear();
      w.record->SetFieldAsString("name", "a");
      w.record->SetFieldAsSigned("qty", 1);
      w.record->Write();
    }
    EXPECT_EQ(w.record->First(), 1);
    return w;
  }
  // The events of the current logon's server: {class, code, error, text}.
  struct Event {
    int32_t evclass, event, error;
    std::string text;
  };
  std::vector<Event> events() {
    std::vector<Event> out;
    int16_t file = OPNRFIL(-1, "SYSLOGDT.YXS", 9);
    EXPECT_GE(file, 0);
    unsigned char buffer[RL_MON_LOG_BUFFER];
    for (uint32_t length = sizeof buffer; (out.empty() ? FRSVREC : NXTVREC)(file + 1, buffer, &length) == 0;
         length = sizeof buffer) {
      Event e{};
      memcpy(&e.evclass, buffer, 4);
      memcpy(&e.event, buffer + 4, 4);
      memcpy(&e.error, buffer + 24, 4);
      e.text = reinterpret_cast<char*>(buffer + 112);
      out.push_back(e);
    }
    EXPECT_EQ(CLRFIL(file), 0);
    return out;
  }
  uint64_t systemCounter(uint32_t offset) {
    unsigned char block[RL_MON_SYSTEM_BLOCK];
    EXPECT_EQ(zvSNAPSHOT(RL_SNAP_SYSTEM, nullptr, block, sizeof block), 0);
    uint64_t v;
    memcpy(&v, block + offset, 8);
    return v;
  }
};

TEST_F(MonitorCallsTest, KilledBetweenCallsRollsBackAndReleasesAtOnce) {
  Worker a = worker(true);
  Worker monitor = worker(false);  // its file is open before A's transaction holds it
  a.c.session->Begin();
  a.record->SetFieldAsSigned("qty", 99);
  a.record->Write();
  a.record->LockRecord(3);
  rlSetCurrentOwner(monitor.owner);
  EXPECT_EQ(zvklusr(int16_t(monitor.owner), "ADMIN"), RL_MON_OWN_TASK);
  EXPECT_EQ(zvklusr(30000, "ADMIN"), RL_MON_UNKNOWN_TASK);
  EXPECT_EQ(zvklusr(int16_t(a.owner), "SOMEONE"), RL_MON_UNKNOWN_TASK);
  EXPECT_EQ(zvklusr(int16_t(a.owner), "admin"), 0);

  // Its lock is gone and its update undone before it calls again.
  EXPECT_EQ(codeOf([&] { monitor.record->LockRecord(3); }), 0);
  monitor.record->Read();
  EXPECT_EQ(monitor.record->GetFieldAsSigned("qty"), 1);
  monitor.record->UnlockRecord();

  EXPECT_EQ(codeOf([&] { a.record->Next(); }), RL_MON_KILLED);
  EXPECT_EQ(codeOf([&] { a.record->Next(); }), RL_NOT_OPEN);

  bool logged = false;
  for (const auto& e : events()) logged = logged || (e.evclass == 1 && e.event == 2 && e.error == RL_MON_KILLED);
  EXPECT_TRUE(logged);
}

TEST_F(MonitorCallsTest, KilledInsideACallEndsAtItsNextCallOnItsOwnThread) {
  Worker a = worker(true);
  a.record->LockRecord(3);
  ASSERT_EQ(rlSetBlockingRead(a.record->GetHandle(), 2, 0), 0);
  int waitResult = -1, nextResult = -1;
  std::thread inside([&] {
    rlSetCurrentOwner(a.owner);
    waitResult = codeOf([&] { a.record->Next(); });  // waits inside the call
    nextResult = codeOf([&] { a.record->First(); });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Worker monitor = worker(false);
  EXPECT_EQ(zvklusr(int16_t(a.owner), ""), 0);
  inside.join();
  EXPECT_EQ(waitResult, RL_WAIT_TIMED_OUT);
  EXPECT_EQ(nextResult, RL_MON_KILLED);
  EXPECT_EQ(codeOf([&] { monitor.record->LockRecord(3); }), 0);
}

TEST_F(MonitorCallsTest, ListsStayWithinTheCapacityGiven) {
  Worker a = worker(true);
  for (const char* name : {"b", "c"}) {
    a.record->Clear();
    a.record->SetFieldAsString("name", name);
    a.record->Write();
  }
  int locked = 0;
  for (int found = a.record->First(); found; found = a.record->Next(), ++locked) a.record->LockRecord(3);
  ASSERT_EQ(locked, 3);
  Worker monitor = worker(false);

  unsigned char buffer[RL_MON_FILE_LOCK_ENTRY * 4];
  memset(buffer, 0xAB, sizeof buffer);
  int32_t count = 1;
  ASSERT_EQ(zvGetFileLocks("testdb.db/items", 0, buffer, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(buffer[RL_MON_FILE_LOCK_ENTRY], 0xAB);  // nothing beyond the one entry asked for
  count = 4;
  ASSERT_EQ(zvGetFileLocks("testdb.db/items", 0, buffer, &count), 0);
  EXPECT_EQ(count, 3);
  count = 0;
  EXPECT_EQ(zvGetOpenFiles(a.owner, buffer, &count), 0);
  EXPECT_EQ(count, 0);

  RlUserInfoRequest request{2, 0, 248, 10, buffer};
  EXPECT_EQ(USERINFOX(&request), RL_MON_BUFFER_TOO_SMALL);
  EXPECT_EQ(request.bufferSize, 2u * 248);

  // A log record is cut to the room it is given.
  std::string longText(3000, 'x');
  ASSERT_EQ(SYSLOG(1025, 1, longText.data(), int32_t(longText.size())), 0);
  int16_t file = OPNRFIL(-1, "SYSLOGDT.YXS", 9);
  ASSERT_GE(file, 0);
  unsigned char small[200];
  uint32_t length = sizeof small;
  EXPECT_EQ(LSTVREC(file + 1, small, &length), 0);
  EXPECT_LE(length, sizeof small);
  uint32_t tooSmall = 112;  // the fixed part without room for the text
  EXPECT_EQ(LSTVREC(file + 1, small, &tooSmall), RL_MON_BUFFER_TOO_SMALL);
  EXPECT_EQ(CLRFIL(file), 0);
  EXPECT_EQ(OPNRFIL(-1, "../rl_server.db", 9), -RL_MON_BAD_LOG);

  // At most 64 logs open at once.
  std::vector<int16_t> open;
  for (int i = 0; i < 64; ++i) open.push_back(OPNRFIL(-1, "SYSLOGDT.YXS", 9));
  EXPECT_EQ(OPNRFIL(-1, "SYSLOGDT.YXS", 9), -RL_MON_LIMIT);
  for (int16_t f : open) EXPECT_EQ(CLRFIL(f), 0);
}

TEST_F(MonitorCallsTest, CountersMoveWithTheWorkAndTimingFillsItsRegion) {
  Worker a = worker(true);
  Worker monitor = worker(false);
  uint64_t added = systemCounter(1136);
  ASSERT_EQ(zvSNAPSHOT(RL_SNAP_TIMING_START, nullptr, nullptr, 0), 0);
  rlSetCurrentOwner(a.owner);
  for (int i = 0; i < 5; ++i) {
    a.record->Clear();
    a.record->SetFieldAsString("name", ("n" + std::to_string(i)).c_str());
    a.record->Write();
  }
  rlSetCurrentOwner(monitor.owner);
  EXPECT_EQ(systemCounter(1136), added + 5);

  std::vector<unsigned char> block(8192);
  ASSERT_EQ(zvSNAPSHOT(RL_SNAP_SYSTEM, nullptr, block.data(), uint32_t(block.size())), 0);
  EXPECT_EQ(block[1252], 2);
  uint32_t varlen, diag;
  int32_t last;
  memcpy(&varlen, block.data() + 12, 4);
  memcpy(&diag, block.data() + 1068, 4);
  memcpy(&last, block.data() + RL_MON_SYSTEM_BLOCK + 4, 4);
  EXPECT_TRUE(diag & 0x10000000);
  EXPECT_EQ(varlen, 8u + 16u * uint32_t(last + 1));
  bool writes = false;
  for (int i = 0; i <= last; ++i) {
    uint32_t number, calls;
    memcpy(&number, block.data() + RL_MON_SYSTEM_BLOCK + 8 + 16 * i, 4);
    memcpy(&calls, block.data() + RL_MON_SYSTEM_BLOCK + 12 + 16 * i, 4);
    writes = writes || (number == 63 && calls >= 5);  // WRTREC
  }
  EXPECT_TRUE(writes);
  // A block with room for the fixed part only has no region.
  ASSERT_EQ(zvSNAPSHOT(RL_SNAP_SYSTEM, nullptr, block.data(), RL_MON_SYSTEM_BLOCK), 0);
  memcpy(&varlen, block.data() + 12, 4);
  EXPECT_EQ(varlen, 0u);
  EXPECT_EQ(zvSNAPSHOT(RL_SNAP_TIMING_STOP, nullptr, nullptr, 0), 0);
  EXPECT_EQ(zvSNAPSHOT(99, nullptr, block.data(), 100), RL_MON_NOT_SUPPORTED);
}

// The engine counts SQLite's memory itself (SQLite keeps no figures of its
// own then): what is in use follows the work and never passes its highest.
TEST_F(MonitorCallsTest, SqlMemoryFiguresFollowTheWork) {
  Worker a = worker(true);
  Worker monitor = worker(false);
  auto figures = [&] {
    rlSetCurrentOwner(monitor.owner);
    std::vector<unsigned char> block(4096);
    EXPECT_EQ(zvSNAPSHOT(RL_SNAP_SQL, nullptr, block.data(), uint32_t(block.size())), 0);
    uint64_t high = 0, used = 0;
    int32_t allocations = 0;
    memcpy(&high, block.data() + RL_SQL_AT_MEMORY_HIGH, 8);
    memcpy(&used, block.data() + RL_SQL_AT_MEMORY_HIGH + 8, 8);
    memcpy(&allocations, block.data() + RL_SQL_AT_ALLOCATIONS, 4);
    EXPECT_GT(used, 0u);
    EXPECT_GT(allocations, 0);
    EXPECT_LE(used, high);
    return high;
  };
  uint64_t before = figures();
  rlSetCurrentOwner(a.owner);
  for (int i = 0; i < 50; ++i) {
    a.record->Clear();
    a.record->SetFieldAsString("name", (std::to_string(i) + std::string(60, 'x')).c_str());
    a.record->Write();
  }
  EXPECT_GE(figures(), before);
}

// Read while other threads allocate and free: what is in use is never above
// its highest in one block, and both stay clear of wrapping.
TEST_F(MonitorCallsTest, SqlMemoryFiguresStaySaneUnderThreads) {
  Worker first = worker(true);
  std::vector<Worker> writers;
  for (int i = 0; i < 4; ++i) writers.push_back(worker(false));
  Worker monitor = worker(false);
  std::atomic<int> running{int(writers.size())};
  std::vector<std::thread> threads;
  for (size_t n = 0; n < writers.size(); ++n)
    threads.emplace_back([&w = writers[n], n, &running] {
      rlSetCurrentOwner(w.owner);
      for (int i = 0; i < 150; ++i) {
        w.record->Clear();
        w.record->SetFieldAsString("name", (std::to_string(n * 1000 + i) + std::string(i % 50, 'm')).c_str());
        w.record->Write();
        w.record->First();
      }
      running--;
    });
  rlSetCurrentOwner(monitor.owner);
  std::vector<unsigned char> block(4096);
  int reads = 0;
  while (running.load() > 0 || reads == 0) {
    ASSERT_EQ(zvSNAPSHOT(RL_SNAP_SQL, nullptr, block.data(), uint32_t(block.size())), 0);
    int64_t high = 0, used = 0;
    memcpy(&high, block.data() + RL_SQL_AT_MEMORY_HIGH, 8);
    memcpy(&used, block.data() + RL_SQL_AT_MEMORY_HIGH + 8, 8);
    ASSERT_GT(used, 0);
    ASSERT_LE(used, high);
    ++reads;
  }
  for (std::thread& t : threads) t.join();
}

TEST_F(MonitorCallsTest, MemoryLogStaysInsideTheServerDirectory) {
  Worker monitor = worker(true);
  RlMemStatLogRequest request{};
  request.one = 1;
  for (const char* outside : {"../escape.txt", "/tmp/escape.txt", "a/../../escape.txt", ""}) {
    snprintf(request.fileName, sizeof request.fileName, "%s", outside);
    EXPECT_EQ(zvMEMSTAT(1, &request), RL_MON_BAD_PATH) << outside;
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/escape.txt"));
  snprintf(request.fileName, sizeof request.fileName, "memory.txt");
  ASSERT_EQ(zvMEMSTAT(4, "+SIZ16,+SIZ32"), 0);
  ASSERT_EQ(zvMEMSTAT(1, &request), 0);
  std::ifstream log(root_ + "/SRV/memory.txt");
  std::string first;
  std::getline(log, first);
  EXPECT_NE(first.find("+SIZ16,+SIZ32"), std::string::npos);
}

TEST_F(MonitorCallsTest, EveryBoundNameExistsAndTheUnusedOnesSayNotSupported) {
  void* library = dlopen("ravlink.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  for (const char* name : {"USERINFO",
                           "USERLIST",
                           "revobj",
                           "revlng",
                           "CLISAM",
                           "INTISAMX",
                           "IOPERFORMANCEX",
                           "SETNODE",
                           "SYSCFG",
                           "zvSNAPSHOT",
                           "zvGetOpenFiles",
                           "zvGetFileUsers",
                           "zvGetFileLocks",
                           "zvOWNER",
                           "zvSetOWNER",
                           "zvdbGetQuarnOWNER",
                           "zvdbSetQuarnOWNER",
                           "zvMEMSTAT",
                           "zvThrdAttach",
                           "REGQUARN",
                           "SWTQUARN",
                           "UNRQUARN",
                           "GETQUARN",
                           "zvThrdGet",
                           "zvThrdInit",
                           "OPNRFIL",
                           "CLRFIL",
                           "FRSVREC",
                           "NXTVREC",
                           "IDXENT",
                           "FRSKEY",
                           "NXTKEY",
                           "REDIVREC",
                           "SETCURI",
                           "LSTVREC",
                           "PRVVREC",
                           "zvklusr",
                           "USERINFOX",
                           "DELVREC",
                           "LKISAM",
                           "TRANBEG",
                           "TRANEND",
                           "SYSLOG",
                           "INTISAMX4",
                           "zvThrdDetach"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"USERINFO", "INTISAMX", "zvOWNER", "zvSetOWNER", "GETQUARN", "IDXENT", "FRSKEY", "NXTKEY",
                           "REDIVREC", "SETCURI", "DELVREC", "LKISAM", "TRANBEG", "TRANEND"}) {
    auto call = reinterpret_cast<int32_t (*)()>(dlsym(library, name));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call(), RL_MON_NOT_SUPPORTED) << name;
  }
  int32_t first = zvThrdInit(100, 0, 0);
  EXPECT_TRUE(first == 0 || first == 125);
  EXPECT_EQ(zvThrdInit(100, 0, 0), 125);
  dlclose(library);
}

}  // namespace
