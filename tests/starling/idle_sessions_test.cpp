// The broker's keep-alive sweep over registered connections: a connection
// stamped by a packet after the sweep read its clock is not idle, and one
// silent past one and a half times its keep-alive is.
#include <gtest/gtest.h>

#include "starling.h"

namespace {

struct Registered : ::testing::Test {
  void TearDown() override { MQTTConnection::DeleteAll(); }
};

TEST_F(Registered, StampNewerThanTheSweepIsNotIdle) {
  int token = 0;  // stands for the connection's session; never read
  auto* session = reinterpret_cast<nev_broker_session*>(&token);
  MQTTConnection* conn = MQTTConnection::AddConnection("busy", nullptr, 60, 1, session, nullptr);
  ASSERT_NE(conn, nullptr);
  const uint64_t sweepNow = starlingTickMs();
  // Another thread's packet lands between the sweep's clock read and its look.
  conn->lastActivity.store(sweepNow + 4);
  EXPECT_TRUE(MQTTConnection::IdleSessions(sweepNow).empty());
  // Silent for 90 s (1.5 x 60): swept.
  conn->lastActivity.store(sweepNow);
  EXPECT_TRUE(MQTTConnection::IdleSessions(sweepNow + 89'000).empty());
  EXPECT_EQ(MQTTConnection::IdleSessions(sweepNow + 90'000), std::vector<nev_broker_session*>{session});
}

}  // namespace
