// Pooled database connections through YXPool: acquisition, reuse, owners,
// idle clean-up, table checks and concurrent first use of a missing table.
#include "ZVDatabasePooled.h"
#include "test_common.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Set to make the connect time-out's reset to "0" fail: the one step of a
// logon that comes after the session is logged on and can fail.
std::atomic<bool> failTimeoutReset{false};

}  // namespace

// The engine's option call as the pooled connections see it; passes through
// to the engine unless failTimeoutReset is set.
extern "C" int rlSetClientOption(int option, const char* value) {
  using Call = int (*)(int, const char*);
  static Call engineCall = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "rlSetClientOption"));
  if (failTimeoutReset && option == RL_OPT_CONNECT_TIMEOUT && value && std::string(value) == "0") return RL_BAD_VALUE;
  return engineCall(option, value);
}

namespace {

std::string shell(const std::string& file, const std::string& sql) {
  std::string cmd = "sqlite3 -batch '" + file + "' \"" + sql + "\" 2>&1";
  return testcommon::without_line_ends(testcommon::run_command(cmd).output);
}

// Two tables in the shape of the broker's metadata tables.
const ZVFieldDescriptor kClientFields[] = {
    {"client_id", 51, 4, 0, 1, 0, {0, 0}},          {"client_id_last100", 146, 100, 4, 0, 0, {0, 0}},
    {"client_id_size", 33, 2, 0, 0, 0, {0, 0}},     {"client_id_hash", 59, 4, 0, 0, 0, {0, 0}},
    {"keep_alive_seconds", 41, 2, 0, 0, 0, {0, 0}}, {"will_payload", 170, 0, 0, 0, 0, {0, 0}},
    {"last_connect_ts", 257, 8, 0, 0, 1, {0, 0}},
};
const ZVSegmentDescriptor kSubsSegments[] = {{"client_id", 12, 0}};
const ZVSegmentDescriptor kPkSegments[] = {
    {"client_id_last100", 12, 0}, {"client_id_size", 12, 0}, {"client_id_hash", 12, 0}};
const ZVIndexDescriptor kClientIndexes[] = {
    {"mqtt_client_pk_subs", 0, 0, 0, 0, kSubsSegments, 1, 0},
    {"mqtt_client_pk", 512, 0, 0, 0, kPkSegments, 3, 0},
};

class PooledTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/util-db-test-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("RAVLINK_DATA", root_.c_str(), 1);
    ASSERT_EQ(rlCreateServer("SRV"), 0);
    rlSetCurrentOwner(-1);
    ZVDatabaseConfig cfg("SRV", "ADMIN", "TRUVE", "brenlox");
    ZVDatabasePooled::CheckDatabase(&cfg);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  YXPool<ZVDatabasePooled>* newPool(int size, int idle = 60) {
    return new YXPool<ZVDatabasePooled>(new ZVDatabaseConfig("SRV", "ADMIN", "TRUVE", "brenlox"), size, idle);
  }
  std::string dbFile() const { return root_ + "/SRV/brenlox.db"; }
  std::string root_;
};

}  // namespace

TEST(ZVDatabaseConfigTest, CompareIgnoresCaseOnlyOfUserAndDatabase) {
  ZVDatabaseConfig base("SRV@localhost", "Admin", "Secret", "Brenlox");
  struct Case {
    const char *server, *user, *password, *database;
    bool equal;
  } cases[] = {
      {"SRV@localhost", "ADMIN", "Secret", "brenlox", true},  {"srv@localhost", "Admin", "Secret", "Brenlox", false},
      {"SRV@localhost", "Admin", "secret", "Brenlox", false}, {"SRV@localhost", "Admin", "Secret", "other", false},
      {"SRV@localhost", nullptr, "Secret", "Brenlox", false},
  };
  for (const auto& c : cases) {
    ZVDatabaseConfig other(c.server, c.user, c.password, c.database);
    EXPECT_EQ(base.Compare(&other), c.equal) << c.server << " " << (c.user ? c.user : "null");
  }
  ZVDatabaseConfig a(nullptr, nullptr, "p", "d"), b(nullptr, nullptr, "p", "D");
  EXPECT_TRUE(a.Compare(&b));
}

TEST_F(PooledTest, AcquireReusesConnectionsAndSwitchesOwners) {
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(2));
  ZVDatabasePooled* first = pool->Acquire(pool->config, 1);
  ASSERT_NE(first->owner, -1);
  EXPECT_EQ(rlGetCurrentOwner(), first->owner);
  EXPECT_TRUE(first->IsConnected());
  pool->Release(first);
  EXPECT_EQ(rlGetCurrentOwner(), -1);  // the thread had no owner before

  std::thread([&] {
    ZVDatabasePooled* again = pool->Acquire(pool->config, 1);
    EXPECT_EQ(again, first);  // the idle connection is reused, on another thread
    EXPECT_EQ(rlGetCurrentOwner(), first->owner);
    again->CheckTable("mqtt_client", kClientFields, 7, kClientIndexes, 2);
    ZVRecord* r = again->GetRecord("mqtt_client", false);
    ASSERT_NE(r, nullptr);
    r->Clear();
    r->SetFieldAsString("client_id_last100", "dev-1");
    r->Write();
    pool->Release(again);
    EXPECT_EQ(rlGetCurrentOwner(), -1);
  }).join();

  // A thread with an owner of its own gets it back after the release.
  ZVSession other(2);
  other.Logon("SRV", "ADMIN", "TRUVE");
  int32_t mine = rlGetCurrentOwner();
  ZVDatabasePooled* c = pool->Acquire(pool->config, 1);
  EXPECT_EQ(rlGetCurrentOwner(), c->owner);
  pool->Release(c);
  EXPECT_EQ(rlGetCurrentOwner(), mine);
  // So does a thread whose connection was new (Init, not OnAcquire).
  ZVDatabasePooled* x = pool->Acquire(pool->config, 1);
  ZVDatabasePooled* y = pool->Acquire(pool->config, 1);
  EXPECT_NE(x, y);
  pool->Release(y);
  pool->Release(x);
  EXPECT_EQ(rlGetCurrentOwner(), mine);
  EXPECT_EQ(shell(dbFile(), "select client_id, client_id_last100 from mqtt_client"), "1|dev-1");
}

TEST_F(PooledTest, IdleConnectionsAreClosedAndTheirLogonsEnd) {
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(2, 0));
  ZVDatabasePooled* c = pool->Acquire(pool->config, 1);
  c->CheckTable("mqtt_client", kClientFields, 7, kClientIndexes, 2);
  int32_t owner = c->owner;
  pool->Release(c);
  pool->CleanIdle();
  EXPECT_EQ(pool->availableCount, 0);
  EXPECT_NE(rlSetCurrentOwner(owner), 0);  // the logon is gone
  ZVDatabasePooled* fresh = pool->Acquire(pool->config, 1);
  EXPECT_NE(fresh->owner, owner);
  EXPECT_EQ(fresh->GetRecord("mqtt_client", false), nullptr);  // a new connection has no cache
  pool->Release(fresh);
}

TEST_F(PooledTest, CheckTableBuildsExactlyTheDescribedTable) {
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(1));
  ZVDatabasePooled* c = pool->Acquire(pool->config, 1);
  c->CheckTable("mqtt_client", kClientFields, 7, kClientIndexes, 2);
  ZVRecord* cached = c->GetRecord("mqtt_client", false);
  ASSERT_NE(cached, nullptr);
  c->CheckTable("mqtt_client", kClientFields, 7, kClientIndexes, 2);  // seen before: nothing happens
  EXPECT_EQ(c->GetRecord("mqtt_client", false), cached);
  EXPECT_EQ(shell(dbFile(),
                  "select group_concat(name || ':' || type || ':' || length || ':' || binary_flag || ':' || "
                  "auto_timestamp, ' ') from (select * from rl_fields where tbl = 'mqtt_client' order by pos)"),
            "client_id:51:4:0:0 client_id_last100:146:100:4:0 client_id_size:33:2:0:0 client_id_hash:59:4:0:0 "
            "keep_alive_seconds:41:2:0:0 will_payload:170:0:0:0 last_connect_ts:257:8:0:1");
  EXPECT_EQ(shell(dbFile(), "select identity_field, create_mode from rl_tables where name = 'mqtt_client'"),
            "client_id|2");
  EXPECT_EQ(shell(dbFile(),
                  "select group_concat(i.name || ':' || i.key_type || ':' || i.duplicates || ':' || s.pos || ':' "
                  "|| s.field || ':' || s.mode, ' ') from rl_indexes i join rl_segments s on s.tbl = i.tbl and "
                  "s.idx = i.pos where i.tbl = 'mqtt_client'"),
            "mqtt_client_pk_subs:0:0:0:0:12 mqtt_client_pk:512:0:0:1:12 mqtt_client_pk:512:0:1:2:12 "
            "mqtt_client_pk:512:0:2:3:12");
  EXPECT_EQ(shell(dbFile(), "select count(*) from pragma_index_list('mqtt_client') where \\\"unique\\\" = 1"), "2");

  // A name the engine refuses is passed on and nothing is created.
  try {
    c->CheckTable("bad name", kClientFields, 7, kClientIndexes, 2);
    ADD_FAILURE() << "no exception";
  } catch (const ZVException& e) {
    EXPECT_EQ(e.GetErrorCode(), RL_BAD_NAME);
  }
  // GetRecord on a table that does not exist frees what it made and throws 4023.
  EXPECT_EQ(c->GetRecord("never_used", false), nullptr);
  try {
    c->GetRecord("never_used", true);
    ADD_FAILURE() << "no exception";
  } catch (const ZVException& e) {
    EXPECT_EQ(e.GetErrorCode(), RL_NO_TABLE);
  }
  EXPECT_EQ(c->FindActive("never_used"), nullptr);
  pool->Release(c);
}

TEST_F(PooledTest, CheckTableFindsATableSpelledInAnotherCase) {
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(2));
  ZVDatabasePooled* first = pool->Acquire(pool->config, 1);
  first->CheckTable("mqtt_client", kClientFields, 7, kClientIndexes, 2);
  ZVRecord* r = first->GetRecord("mqtt_client", false);
  r->Clear();
  r->SetFieldAsString("client_id_last100", "dev-1");
  r->Write();
  ZVDatabasePooled* second = pool->Acquire(pool->config, 1);
  ASSERT_NE(second, first);
  try {
    second->CheckTable("MQTT_Client", kClientFields, 7, kClientIndexes, 2);
  } catch (const ZVException& e) {
    FAIL() << e.GetErrorCode() << " " << e.GetErrorMsg();
  }
  ZVRecord* found = second->GetRecord("MQTT_Client", false);
  ASSERT_NE(found, nullptr);
  ASSERT_TRUE(found->First());
  EXPECT_EQ(found->GetFieldAsString("client_id_last100"), "dev-1");
  pool->Release(second);
  pool->Release(first);
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from rl_tables"), "mqtt_client");
}

TEST_F(PooledTest, ConnectionsRacingToCreateAMissingTableAllSucceed) {
  const int threads = 6;
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(threads));
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      try {
        ZVDatabasePooled* c = pool->Acquire(pool->config, 5);
        c->CheckTable("mqtt_client", kClientFields, 7, kClientIndexes, 2);
        ZVRecord* r = c->GetRecord("mqtt_client", false);
        r->Clear();
        r->SetFieldAsString("client_id_last100", ("dev-" + std::to_string(t)).c_str());
        r->Write();
        pool->Release(c);
      } catch (const YXException& e) {
        ADD_FAILURE() << e.GetErrorMsg();
        ++failures;
      } catch (const ZVException& e) {
        ADD_FAILURE() << e.GetErrorCode() << " " << e.GetErrorMsg();
        ++failures;
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(shell(dbFile(), "select count(*) from mqtt_client"), std::to_string(threads));
  EXPECT_EQ(shell(dbFile(), "select count(*) from rl_tables where name = 'mqtt_client'"), "1");
}

TEST_F(PooledTest, InitFailuresCarryTheClientCode) {
  struct Case {
    const char *server, *user, *password, *database;
    int code;
  } cases[] = {
      {"SRV", "ADMIN", "TRUVE", "missing", RL_NOT_FOUND},
      {"SRV", "ADMIN", "wrong", "brenlox", RL_WRONG_PASSWORD},
      {"SRV@elsewhere.example", "ADMIN", "TRUVE", "brenlox", RL_SERVER_UNREACHABLE},
  };
  for (const auto& c : cases) {
    YXPool<ZVDatabasePooled> pool(new ZVDatabaseConfig(c.server, c.user, c.password, c.database), 1);
    try {
      pool.Acquire(pool.config, 1);
      ADD_FAILURE() << "no exception for " << c.database;
    } catch (const YXException& e) {
      EXPECT_EQ(e.GetErrorCode(), c.code);
      EXPECT_STREQ(e.GetFunction(), "ZVDatabasePooled::Init");
      EXPECT_EQ(e.GetKind(), YX_KIND_OPERATION);
    }
    EXPECT_EQ(pool.usedCount, 0);
    EXPECT_EQ(rlGetCurrentOwner(), -1);
  }
  // A thread with an owner of its own keeps it when a new connection fails,
  // also after the logon of that connection went through.
  ZVSession other(2);
  other.Logon("SRV", "ADMIN", "TRUVE");
  int32_t mine = rlGetCurrentOwner();
  for (const auto& c : cases) {
    YXPool<ZVDatabasePooled> pool(new ZVDatabaseConfig(c.server, c.user, c.password, c.database), 1);
    EXPECT_THROW(pool.Acquire(pool.config, 1), YXException);
    EXPECT_EQ(rlGetCurrentOwner(), mine) << c.database;
  }
}

TEST_F(PooledTest, CheckDatabaseCreatesAMissingDatabaseOnce) {
  ZVDatabaseConfig cfg("SRV", "ADMIN", "TRUVE", "quarnSQL");
  ZVDatabasePooled::CheckDatabase(&cfg);
  ZVDatabasePooled::CheckDatabase(&cfg);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/SRV/quarnSQL.db"));
  ZVDatabaseConfig bad("SRV", "ADMIN", "nope", "quarnSQL");
  try {
    ZVDatabasePooled::CheckDatabase(&bad);
    ADD_FAILURE() << "no exception";
  } catch (const YXException& e) {
    EXPECT_EQ(e.GetErrorCode(), RL_WRONG_PASSWORD);
    EXPECT_STREQ(e.GetFunction(), "ZVDatabasePooled::CheckDatabase");
  }
  ZVDateTime now;
  zvGetCurrentDateTime(&now);
  EXPECT_GE(now.GetYear(), 2024);
}

TEST_F(PooledTest, FailureAfterTheLogonLeavesTheThreadItsOwner) {
  ZVSession other(2);
  other.Logon("SRV", "ADMIN", "TRUVE");
  int32_t mine = rlGetCurrentOwner();
  failTimeoutReset = true;
  struct Case {
    const char* function;
    std::function<void()> call;
  } cases[] = {
      {"ZVDatabasePooled::CheckDatabase",
       [] {
         ZVDatabaseConfig cfg("SRV", "ADMIN", "TRUVE", "brenlox");
         ZVDatabasePooled::CheckDatabase(&cfg);
       }},
      {"ZVDatabasePooled::Init",
       [this] {
         std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(1));
         pool->Acquire(pool->config, 1);
       }},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception from " << c.function;
    } catch (const YXException& e) {
      EXPECT_STREQ(e.GetFunction(), c.function);
      EXPECT_EQ(e.GetErrorCode(), RL_BAD_VALUE);
      EXPECT_STREQ(e.GetErrorMsg(), "Not able to reset connection timeout");
    }
    EXPECT_EQ(rlGetCurrentOwner(), mine) << c.function;
  }
  failTimeoutReset = false;
}

// A lease gives its connection back however its scope ends (an exception
// included) and exactly once when it was moved on: a pool of one connection
// serves every acquisition below without waiting.
TEST_F(PooledTest, LeaseGivesTheConnectionBackOnEveryPath) {
  std::unique_ptr<YXPool<ZVDatabasePooled>> pool(newPool(1));
  ZVDatabasePooled* only = nullptr;
  EXPECT_THROW(
      {
        ZVDatabaseLease lease(pool.get(), pool->config, 1);
        only = lease.get();
        EXPECT_EQ(rlGetCurrentOwner(), only->owner);
        throw ZVException(RL_NOT_FOUND, "the scope fails");
      },
      ZVException);
  EXPECT_EQ(rlGetCurrentOwner(), -1);
  auto take = [&] { return ZVDatabaseLease(pool.get(), pool->config, 1); };
  ZVDatabaseLease moved = take();
  EXPECT_EQ(moved.get(), only);
  ZVDatabaseLease second(std::move(moved));
  EXPECT_FALSE(moved);
  second.reset();
  EXPECT_FALSE(second);
  ZVDatabaseLease again(pool.get(), pool->config, 1);
  EXPECT_EQ(again.get(), only);
}
