// The workbench's session pools over the real SQL client and engine: a
// connect that finds its session's pool busy is served as soon as a
// connection comes back, and still gives up once its wait is over.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "plover.h"
#include "zvsql_fixture.h"

// The plug-in binds the client library by name at load; here it is linked.
plover::SqlApi plover::sql = [] {
  plover::SqlApi api;
#define PLOVER_TEST_BIND(name) api.name = &::name;
  PLOVER_SQL_FUNCTIONS(PLOVER_TEST_BIND)
#undef PLOVER_TEST_BIND
  return api;
}();

namespace {

constexpr int kExhausted = 8004;
constexpr const char* kToken = "A1";
constexpr const char* kConnectString = "6597@localhost:testdb";

class SessionPoolTest : public zvsqltest::ZvsqlTest {
 protected:
  void SetUp() override {
    ZvsqlTest::SetUp();
    plover::setPoolSettings(1, 300);
    char error[1024] = "";
    ASSERT_EQ(plover::startReaper(error), 0) << error;
  }
  void TearDown() override {
    plover::stopReaper();
    ZvsqlTest::TearDown();
  }
  static plover::PooledConnection* take(int& code) {
    return plover::getOrCreateSessionPool(kToken, kConnectString, "ADMIN", "TRUVE", code);
  }
};

// Connects that all arrive at once on one connection: each is served in turn
// as the one before gives the connection back, none runs out of its wait.
TEST_F(SessionPoolTest, ConcurrentConnectsOnABusyPoolAreAllServed) {
  constexpr int kConnects = 20;
  std::atomic<int> served{0};
  std::vector<int> codes(kConnects, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnects; ++i)
    threads.emplace_back([&, i] {
      plover::PooledConnection* connection = take(codes[i]);
      if (!connection) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a call's work
      plover::releaseConnection(connection);
      ++served;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(served.load(), kConnects);
  for (int code : codes) EXPECT_EQ(code, 0);
}

// A connection that never comes back: the waiting connect ends exhausted,
// and one made after the release is served.
TEST_F(SessionPoolTest, AWaitForABusyPoolEndsExhausted) {
  int code = -1;
  plover::PooledConnection* held = take(code);
  ASSERT_NE(held, nullptr) << code;
  EXPECT_EQ(take(code), nullptr);
  EXPECT_EQ(code, kExhausted);
  plover::releaseConnection(held);
  plover::PooledConnection* again = take(code);
  ASSERT_NE(again, nullptr) << code;
  plover::releaseConnection(again);
}

}  // namespace
