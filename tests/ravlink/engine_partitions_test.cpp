// Partitions by rule over a time stamp: placement, maximum active, purge.
#include "engine_fixture.h"

using namespace enginetest;

namespace {

const char* kDayRule = "(YEAR(ts)-2018)*366 + DAYOFYEAR(ts)";

class PartitionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    c_ = connect();
  }
  void TearDown() override {
    c_ = Connected();
    EngineTest::TearDown();
  }
  void createTopic(const char* rule, int maxActive) {
    ZVTable t(c_.database.get());
    t.AddField("qos", 16, 0);
    t.AddField("source_payload", 170, 0);
    ZVField* ts = t.AddField("ts", 257, 8);
    ASSERT_EQ(rlSetFieldAutoTimestamp(ts->GetHandle(), 1, 0), 0);
    t.AddIndex("topic_ts_index", 0, 1, 0)->AddSegment(ts, 12);
    ASSERT_EQ(rlSetPartitionIndex(t.GetHandle(), 0), 0);
    ASSERT_EQ(rlSetPartitionRule(t.GetHandle(), rule), 0);
    ASSERT_EQ(rlSetPartitionBits(t.GetHandle(), 31), 0);
    ASSERT_EQ(rlSetPartitionMaxActive(t.GetHandle(), maxActive), 0);
    t.Create("topic", 0x12001 + 0x800);
  }
  static void insertAt(ZVRecord& r, int y, int m, int d) {
    r.Clear();
    ZVDateTime ts;
    ts.Pack(y, m, d, 12, 0, 0);
    r.SetFieldAsDateTime("ts", ts);
    r.SetFieldAsString("source_payload", "x");
    r.Write();
  }
  static int64_t dayPartition(int y, int m, int d) {
    ZVDateTime ts;
    ts.Pack(y, m, d, 0, 0, 0);
    return (y - 2018) * 366 + ts.GetDayOfYear();
  }
  Connected c_;
};

}  // namespace

TEST_F(PartitionTest, RuleTextIsKeptByteForByteAndRefusedWhenBad) {
  const char* minuteRule = "(YEAR(ts)-2018)*366*24*60 + DAYOFYEAR(ts)*24*60 + HOUR(ts)*60 + MINUTE(ts) ";
  createTopic(minuteRule, 3);
  ZVTable t(c_.database.get());
  t.Open("topic", 0);
  EXPECT_TRUE(t.IsPartitioned());
  EXPECT_STREQ(t.GetPartitionRule(), minuteRule);
  EXPECT_EQ(t.GetPartitionMaxActive(), 3);
  EXPECT_EQ(t.GetCreateMode(), 0x12001 + 0x800);
  ZVTable bad(c_.database.get());
  bad.AddField("ts", 257, 8);
  bad.AddField("n", 51, 4);
  for (const char* rule : {"YEAR(nope)", "YEAR(n)", "SLEEP(ts)", "(YEAR(ts)", "1; drop table topic", "YEAR(ts)/"})
    EXPECT_EQ(rlSetPartitionRule(bad.GetHandle(), rule), RL_BAD_RULE) << rule;
  EXPECT_EQ(codeOf([&] { bad.Create("bad", 0x800); }), RL_BAD_RULE);  // partitioned without a rule
  ZVTable plain(c_.database.get());
  plain.AddField("n", 51, 4);
  plain.Create("plain", 2);
  plain.Open("plain", 0);
  EXPECT_FALSE(plain.IsPartitioned());
  EXPECT_EQ(codeOf([&] { plain.PartAdminByNumber(1, 2048); }), RL_NOT_PARTITIONED);
}

TEST_F(PartitionTest, RowsArePlacedByRuleAndOldPartitionsLeaveByThemselves) {
  createTopic(kDayRule, 2);
  ZVTable t(c_.database.get());
  t.Open("topic", 0);
  ZVRecord r(&t);
  insertAt(r, 2024, 3, 1);
  insertAt(r, 2024, 3, 1);
  insertAt(r, 2024, 3, 2);
  EXPECT_EQ(shell(dbFile(), "select group_concat(rl_partition) from topic"),
            std::to_string(dayPartition(2024, 3, 1)) + "," + std::to_string(dayPartition(2024, 3, 1)) + "," +
                std::to_string(dayPartition(2024, 3, 2)));
  insertAt(r, 2024, 3, 3);  // a third day: at most two partitions stay active
  EXPECT_EQ(shell(dbFile(), "select group_concat(id) from (select rl_recid id from topic order by 1)"), "3,4");
  EXPECT_EQ(rlGetFileInfo(t.GetDatno(), 38), dayPartition(2024, 3, 2));
  // An automatic time stamp places the row in today's partition.
  r.Clear();
  r.SetFieldAsString("source_payload", "now");
  r.Write();
  ZVDateTime now = ZVDateTime::CurrentDateTime();
  EXPECT_EQ(shell(dbFile(), "select rl_partition from topic where cast(source_payload as text) = 'now'"),
            std::to_string((now.GetYear() - 2018) * 366 + now.GetDayOfYear()));
  // Record ids go on growing after the purge.
  EXPECT_EQ(r.GetRowid(), 5);
}

TEST_F(PartitionTest, PartAdminQueriesPurgesAndRaisesTheLowest) {
  createTopic(kDayRule, 0);
  ZVTable t(c_.database.get());
  t.Open("topic", 0);
  ZVRecord r(&t);
  for (int d = 1; d <= 4; ++d) insertAt(r, 2024, 5, d);
  int64_t p1 = dayPartition(2024, 5, 1);
  EXPECT_EQ(t.PartAdminByNumber(p1, 2048), 1);
  EXPECT_EQ(t.PartAdminByNumber(p1 - 10, 2048), 0);
  EXPECT_EQ(t.PartAdminByNumber(p1, 16), 0);
  EXPECT_EQ(codeOf([&] { t.PartAdminByNumber(p1, 16); }), RL_PARTITION_NOTHING_TO_DO);
  EXPECT_EQ(t.PartAdminByNumber(p1 + 2, 132), 0);  // drops the partition below it
  EXPECT_EQ(codeOf([&] { t.PartAdminByNumber(p1 + 2, 132); }), RL_PARTITION_NOTHING_TO_DO);
  EXPECT_EQ(shell(dbFile(), "select group_concat(rl_partition - " + std::to_string(p1) + ") from topic"), "2,3");
  // The walk of the broker's purge: lowest partition, purge, until none is left.
  int64_t b;
  int purged = 0;
  while ((b = rlGetFileInfo(t.GetDatno(), 38)) >= 0 && b <= p1 + 3) {
    EXPECT_EQ(t.PartAdminByNumber(b, 16), 0);
    ++purged;
  }
  EXPECT_EQ(purged, 2);
  EXPECT_LT(rlGetFileInfo(t.GetDatno(), 38), 0);
  EXPECT_LT(rlGetFileInfo(999999, 38), 0);
  EXPECT_EQ(shell(dbFile(), "select count(*) from topic"), "0");
  EXPECT_EQ(rlSetTableReplication(t.GetDatno(), 1, 24), 0);
  EXPECT_EQ(shell(dbFile(), "select replication != 0 from rl_tables where name = 'topic'"), "1");
}

// A rule is caller text: a deeply nested one is refused, and one whose
// arithmetic leaves 64 bits refuses the row instead of crashing the process
// (INT64_MIN / -1 traps) or wrapping into a wrong partition.
TEST_F(PartitionTest, HostileRulesAreRefusedNotEvaluatedPastTheirLimits) {
  ZVTable nested(c_.database.get());
  nested.AddField("ts", 257, 8);
  std::string deep = std::string(2000, '(') + "1" + std::string(2000, ')');
  EXPECT_EQ(rlSetPartitionRule(nested.GetHandle(), deep.c_str()), RL_BAD_RULE);
  std::string negations = std::string(4000, '-') + "1";
  EXPECT_EQ(rlSetPartitionRule(nested.GetHandle(), negations.c_str()), RL_BAD_RULE);
  EXPECT_EQ(rlSetPartitionRule(nested.GetHandle(), "((YEAR(ts)-2018))*366"), 0);

  createTopic("(-4611686018427387904-4611686018427387904)/-1 + 0*YEAR(ts)", 0);
  ZVTable t(c_.database.get());
  t.Open("topic", 0);
  ZVRecord r(&t);
  EXPECT_EQ(codeOf([&] { insertAt(r, 2024, 3, 1); }), RL_BAD_VALUE);
  EXPECT_EQ(t.GetRecordCount(), 0);
}

TEST_F(PartitionTest, RuleArithmeticOverflowRefusesTheRow) {
  int tableNumber = 0;
  for (const char* rule : {"YEAR(ts)*999999999999999999", "-(-4611686018427387904-4611686018427387904)+YEAR(ts)",
                           "(-4611686018427387904-4611686018427387904)%-1+YEAR(ts)",
                           "YEAR(ts)-4611686018427387904-4611686018427387904-4611686018427387904"}) {
    std::string name = "overflow" + std::to_string(tableNumber++);
    ZVTable t(c_.database.get());
    t.AddField("ts", 257, 8);
    ASSERT_EQ(rlSetPartitionRule(t.GetHandle(), rule), 0) << rule;
    t.Create(name.c_str(), 0x800);
    t.Open(name.c_str(), 0);
    ZVRecord r(&t);
    ZVDateTime ts;
    ts.Pack(2024, 3, 1, 12, 0, 0);
    r.SetFieldAsDateTime("ts", ts);
    EXPECT_EQ(codeOf([&] { r.Write(); }), RL_BAD_VALUE) << rule;
    EXPECT_EQ(t.GetRecordCount(), 0) << rule;
    t.Close();
  }
}

// An update places the row by the rule again: a partition number the width
// refuses on insert is refused on update too, and the row stays as it was.
TEST_F(PartitionTest, UpdateOutsideThePartitionWidthIsRefused) {
  createTopic(kDayRule, 0);
  ZVTable t(c_.database.get());
  t.Open("topic", 0);
  ZVRecord r(&t);
  insertAt(r, 2024, 3, 1);
  ZVDateTime before;
  before.Pack(2010, 1, 1, 12, 0, 0);
  r.SetFieldAsDateTime("ts", before);
  EXPECT_EQ(codeOf([&] { r.Write(); }), RL_BAD_VALUE);
  EXPECT_EQ(shell(dbFile(), "select rl_partition from topic"), std::to_string(dayPartition(2024, 3, 1)));
}
