// Exceptions at the engine's boundary: handlers must not throw, and the
// dispatch lock is released even when one does; nev_handler_boundary keeps an
// exception inside and asks for the connection's close.
#include <gtest/gtest.h>

#include <stdexcept>

#include "nev.h"

namespace {

void throwing_handler(nev_connection *, int, void *, nev_unlock_fn) { throw std::runtime_error("handler fault"); }

struct ManagerWithConnection : ::testing::Test {
  void SetUp() override {
    nev_manager_setup(&mgr, nullptr);
    ASSERT_NE(mgr.lock, nullptr);
    conn = nev_connection_create(&mgr, throwing_handler, nullptr);
    ASSERT_NE(conn, nullptr);
  }
  void TearDown() override {
    nev_connection_destroy(conn, 0);
    nev_manager_teardown(&mgr);
  }
  nev_manager mgr{};
  nev_connection *conn = nullptr;
};

TEST_F(ManagerWithConnection, AThrowingHandlerLeavesTheDispatchLockReleased) {
  int64_t seconds = 0;
  EXPECT_THROW(nev_dispatch_event(conn, nullptr, NEV_EVENT_POLL, &seconds), std::runtime_error);
  ASSERT_EQ(pthread_rwlock_trywrlock(mgr.lock), 0);
  pthread_rwlock_unlock(mgr.lock);
  EXPECT_EQ(conn->lock_held, 0);
}

TEST_F(ManagerWithConnection, BoundaryKeepsExceptionsInsideAndClosesTheConnection) {
  nev_handler_boundary(conn, "std", [] { throw std::runtime_error("fault"); });
  EXPECT_TRUE(conn->flags & NEV_CONN_CLOSE_NOW);
  conn->flags &= ~NEV_CONN_CLOSE_NOW;
  nev_handler_boundary(conn, "other", [] { throw 7; });
  EXPECT_TRUE(conn->flags & NEV_CONN_CLOSE_NOW);
  conn->flags &= ~NEV_CONN_CLOSE_NOW;
  nev_handler_boundary(conn, "quiet", [] {});
  EXPECT_FALSE(conn->flags & NEV_CONN_CLOSE_NOW);
}

}  // namespace
