// Retention of persisted topics with an injected clock: the lowest partition
// kept for each unit, and Purge removing only partitions wholly older than
// the retention period. The topic runs in this process on a private data root.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "persist.h"
#include "ravlink.h"

namespace {

ZVDateTime at(int year, int month, int day, int hour = 0, int minute = 0) {
  ZVDateTime t;
  t.Pack(year, month, day, hour, minute, 0);
  return t;
}

TEST(PersistRetention, LowestPartitionForEachUnit) {
  struct Case {
    int32_t unit, period;
    ZVDateTime now;
    int64_t expected;
  } cases[] = {
      // Three months back from March is December of the year before.
      {MQTTPURGEUNIT_MONTH, 3, at(2024, 3, 15), (2023 - 2018) * 12 + 12},
      {MQTTPURGEUNIT_MONTH, 12, at(2024, 3, 15), (2023 - 2018) * 12 + 3},
      // Never negative.
      {MQTTPURGEUNIT_DAY, 180, at(2018, 3, 10), 0},
      {MQTTPURGEUNIT_DAY, 1, at(2024, 1, 1), (2023 - 2018) * 366 + 365},
      {MQTTPURGEUNIT_HOUR, 2, at(2024, 1, 1, 1), (2023 - 2018) * 8784 + 365 * 24 + 23},
      {MQTTPURGEUNIT_MINUTE, 30, at(2024, 1, 1, 0, 10), ((2023 - 2018) * 8784 + 365 * 24 + 23) * 60 + 40},
      {MQTTPURGEUNIT_YEAR, 1, at(2024, 2, 29), (2023 - 2018) + 1},
  };
  for (const Case& c : cases) EXPECT_EQ(MQTTPersist::MinPartitionAt(c.unit, c.period, c.now), c.expected) << c.unit;
}

long countRows(const std::string& path, const char* table) {
  sqlite3* db = nullptr;
  long n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    std::string q = std::string("select count(*) from ") + table;
    if (sqlite3_prepare_v2(db, q.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

TEST(PersistRetention, PurgeRemovesOnlyPartitionsWhollyOlderThanTheRetention) {
  std::string root = std::filesystem::temp_directory_path() / ("persist-retention-" + std::to_string(getpid()));
  std::filesystem::create_directories(root);
  setenv("RAVLINK_DATA", root.c_str(), 1);
  ASSERT_EQ(rlCreateServer("BRENLOXS"), 0);
  starlingBroker().webDirectory = std::string(OSPREY_DIST_DIR) + "/web";
  json_object* config = zvJsonFromString(
      R"({"tableRetentionUnit":"day","tableRetentionPeriod":1,"tableReplicationReady":false,"databaseName":"retention"})");
  ASSERT_NE(config, nullptr);
  {
    MQTTPersist persist(nullptr, "keep/days", config, nullptr, 60, 10, 4);
    persist.CreateStart();
    for (int i = 0; i < 20; i++) {
      std::string payload = "message " + std::to_string(i);
      ASSERT_TRUE(persist.Queue(std::make_unique<MQTTPersistMsg>("keep/days", payload.data(), payload.size(), 0, 0)));
    }
    persist.Stop();  // written before it returns
    std::string file = root + "/BRENLOXS/retention.db";
    ASSERT_EQ(countRows(file, "keep_days"), 20);
    ZVDateTime now = ZVDateTime::CurrentDateTime();
    auto daysLater = [&](int days) {
      ZVDateTime t;
      t.SetDateTime(now.GetDate() + days, now.GetSeconds());
      return t;
    };
    // A day later the rows' day is still inside the retention of one day.
    MQTTPersist::clock = [&] { return daysLater(1); };
    persist.Purge();
    EXPECT_EQ(countRows(file, "keep_days"), 20);
    // Two days later their partition is wholly older: it goes, and a second
    // purge at the same time finds nothing more to do.
    MQTTPersist::clock = [&] { return daysLater(2); };
    persist.Purge();
    EXPECT_EQ(countRows(file, "keep_days"), 0);
    EXPECT_NO_THROW(persist.Purge());
  }
  MQTTPersist::clock = [] { return ZVDateTime::CurrentDateTime(); };
  zvJsonRelease(config);
  std::filesystem::remove_all(root);
}

}  // namespace
