#include "yxlogon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct FakeTime {
  yx::LogonGuard::Clock::time_point now = yx::LogonGuard::Clock::time_point{} + 1000h;
  std::vector<std::chrono::milliseconds> slept;
  std::vector<std::string> lines;

  yx::LogonGuard make() {
    return yx::LogonGuard(
        "app", [this](const std::string& line) { lines.push_back(line); }, [this] { return now; },
        [this](std::chrono::milliseconds d) { slept.push_back(d); });
  }
};

TEST(LogonGuard, FailuresSlowTheUserAndTheAddressUntilASuccessOrSilence) {
  FakeTime time;
  yx::LogonGuard guard = time.make();
  for (unsigned i = 0; i < yx::LogonGuard::kFreeFailures; ++i) {
    EXPECT_EQ(guard.delayFor("ADMIN", "10.0.0.1").count(), 0) << i;
    guard.failed("ADMIN", "10.0.0.1");
  }
  // The user is slowed from any address, the address for any user.
  EXPECT_EQ(guard.delayFor("ADMIN", "10.0.0.2"), yx::LogonGuard::kFirstDelay);
  EXPECT_EQ(guard.delayFor("OTHER", "10.0.0.1"), yx::LogonGuard::kFirstDelay);
  EXPECT_EQ(guard.delayFor("OTHER", "10.0.0.2").count(), 0);
  for (int i = 0; i < 40; ++i) guard.failed("ADMIN", "10.0.0.1");
  EXPECT_EQ(guard.delayFor("ADMIN", "10.0.0.1"), yx::LogonGuard::kMaxDelay);
  guard.beforeAttempt("ADMIN", "10.0.0.1");
  ASSERT_EQ(time.slept.size(), 1u);
  EXPECT_EQ(time.slept[0], yx::LogonGuard::kMaxDelay);

  guard.succeeded("ADMIN", "10.0.0.1");
  EXPECT_EQ(guard.delayFor("ADMIN", "10.0.0.1").count(), 0);

  for (int i = 0; i < 10; ++i) guard.failed("X", "10.0.0.3");
  time.now += yx::LogonGuard::kForgetAfter + 1s;
  EXPECT_EQ(guard.delayFor("X", "10.0.0.3").count(), 0);
}

TEST(LogonGuard, LogsAtMostOnceASecondPerAddressWithACount) {
  FakeTime time;
  yx::LogonGuard guard = time.make();
  for (int i = 0; i < 50; ++i) guard.failed("ADMIN", "10.0.0.1");
  ASSERT_EQ(time.lines.size(), 1u);
  EXPECT_NE(time.lines[0].find("1 failed log-on(s) from 10.0.0.1"), std::string::npos) << time.lines[0];
  time.now += 1s;
  guard.failed("ADMIN", "10.0.0.1");
  ASSERT_EQ(time.lines.size(), 2u);
  EXPECT_NE(time.lines[1].find("50 failed log-on(s)"), std::string::npos) << time.lines[1];
}

TEST(LogonGuard, TheTableStaysBounded) {
  FakeTime time;
  yx::LogonGuard guard = time.make();
  for (size_t i = 0; i < yx::LogonGuard::kMaxEntries + 100; ++i) {
    time.now += 1ms;
    guard.failed("u" + std::to_string(i), "a");
  }
  // The oldest users left; the newest are still counted.
  EXPECT_EQ(guard.delayFor("u0", "b").count(), 0);
}

TEST(LogonGuard, NulBytesAreFound) {
  EXPECT_TRUE(yx::hasNulByte("ADMIN\0junk", 10));
  EXPECT_FALSE(yx::hasNulByte("ADMIN", 5));
  EXPECT_FALSE(yx::hasNulByte(nullptr, 0));
}

}  // namespace
