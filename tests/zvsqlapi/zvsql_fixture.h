// A fresh data root per test with a database made through the engine
// (ravlink), a logged-on client connection and helpers that read whole
// results and look at the file with the sqlite3 shell.
#pragma once

#include "ravlink.h"
#include "test_common.h"
#include "zvsqlapi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zvsqltest {

using Rows = std::vector<std::vector<std::string>>;

class ZvsqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zvsql-test-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("RAVLINK_DATA", root_.c_str(), 1);
    setenv("ZVSQL_SERVER", "SRV", 1);
    ASSERT_EQ(rlCreateServer("SRV"), 0);  // a logon never makes its server
    createDatabase("testdb");
    conn_ = zvsqlNewConnection();
    ASSERT_NE(conn_, nullptr);
    ASSERT_EQ(zvsqlConnect(conn_, "6597@localhost:testdb", "ADMIN", "TRUVE"), 0) << zvsqlGetErrorMessage(conn_);
  }
  void TearDown() override {
    zvsqlFreeConnection(conn_);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  // A database of the engine with one engine table "items" (id, name, qty).
  void createDatabase(const char* name) {
    ZVSession s(2);
    s.Logon("SRV", "ADMIN", "TRUVE");
    if (!s.FindDatabase(name)) s.CreateDatabase(name, "");
    ZVDatabase db(&s);
    db.Connect(name);
    ZVTable t(&db);
    t.AddField("id", 51, 4);
    t.AddField("name", 146, 64);
    t.AddField("qty", 51, 4);
    rlSetIdentityField(t.GetHandle(), "id", 1, 1);
    t.AddIndex("items_name", 0, 0, 0)->AddSegment(t.GetField("name"), 12);
    t.Create("items", 2);
  }
  std::string file(const char* name = "testdb") const { return root_ + "/SRV/" + name + ".db"; }
  std::string shell(const std::string& sql, const char* db = "testdb") const {
    std::string cmd = "sqlite3 -batch '" + file(db) + "' \"" + sql + "\" 2>&1";
    return testcommon::without_line_ends(testcommon::run_command(cmd).output);
  }
  // Runs a statement on a fresh command; fails the test on an error.
  void exec(const std::string& sql) {
    ZVSQL_CMD cmd = zvsqlNewCommand(conn_);
    ASSERT_EQ(zvsqlExecuteDirect(cmd, sql.c_str()), 0) << sql << ": " << zvsqlGetErrorMessage(conn_);
    zvsqlFreeCommand(cmd);
  }
  // Every row of a query, each value read as text ("NULL" for null).
  Rows query(const std::string& sql, int* code = nullptr) {
    Rows rows;
    ZVSQL_CMD cmd = zvsqlNewCommand(conn_);
    ZVSQL_CURSOR cur = nullptr;
    int rc = zvsqlPrepare(cmd, sql.c_str());
    if (rc == 0) rc = zvsqlExecute(cmd, &cur);
    if (code) *code = rc;
    if (rc != 0) {
      EXPECT_NE(code, nullptr) << sql << ": " << zvsqlGetErrorMessage(conn_);
      zvsqlFreeCommand(cmd);
      return rows;
    }
    int columns = zvsqlGetColumnCount(cur);
    while ((rc = zvsqlNext(cur)) == 0) {
      std::vector<std::string> row;
      for (int c = 0; c < columns; ++c) {
        std::vector<char> buf(size_t(zvsqlGetColumnLength(cur, c)) + 1);
        int r = zvsqlGetChar(cur, c, buf.data(), int32_t(buf.size()));
        row.push_back(r == ZVSQL_NULL_VALUE ? "NULL" : std::string(buf.data()));
      }
      rows.push_back(row);
    }
    EXPECT_EQ(rc, ZVSQL_END_OF_ROWS) << sql << ": " << zvsqlGetErrorMessage(conn_);
    zvsqlFreeCursor(cur);
    zvsqlFreeCommand(cmd);
    return rows;
  }
  // The rows of a query joined as "a|b,c|d" (the sqlite3 shell's form, one row a line).
  std::string joined(const std::string& sql) {
    std::string out;
    for (const auto& row : query(sql)) {
      if (!out.empty()) out += "\n";
      for (size_t i = 0; i < row.size(); ++i) out += (i ? "|" : "") + (row[i] == "NULL" ? std::string() : row[i]);
    }
    return out;
  }

  std::string root_;
  ZVSQL_CONN conn_ = nullptr;
};

// A result to read cell by cell; frees cursor and command.
struct Result {
  ZVSQL_CMD cmd = nullptr;
  ZVSQL_CURSOR cur = nullptr;
  int code = -1;
  Result(ZVSQL_CONN conn, const std::string& sql) {
    cmd = zvsqlNewCommand(conn);
    code = zvsqlPrepare(cmd, sql.c_str());
    if (code == 0) code = zvsqlExecute(cmd, &cur);
  }
  ~Result() {
    zvsqlFreeCursor(cur);
    zvsqlFreeCommand(cmd);
  }
  std::string text(int column) {
    char buf[256];
    int rc = zvsqlGetChar(cur, column, buf, sizeof buf);
    return rc == ZVSQL_NULL_VALUE ? "NULL" : rc ? "ERROR" : buf;
  }
};

}  // namespace zvsqltest
