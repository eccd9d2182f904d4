// A fresh data root per test, a logged-on session and helpers to look at
// the files with the sqlite3 shell.
#pragma once

#include "ravlink.h"
#include "test_common.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace enginetest {

inline std::string shell(const std::string& file, const std::string& sql) {
  std::string cmd = "sqlite3 -batch '" + file + "' \"" + sql + "\" 2>&1";
  return testcommon::without_line_ends(testcommon::run_command(cmd).output);
}

// Runs a call and returns the ZVException code, 0 when it did not throw.
template <class Fn>
int codeOf(Fn&& fn) {
  try {
    fn();
  } catch (const ZVException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ravlink-test-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("RAVLINK_DATA", root_.c_str(), 1);
    ASSERT_EQ(rlCreateServer("SRV"), 0);  // a logon never makes its server
    rlSetCurrentOwner(-1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  // A logged-on session with database `name` created and connected.
  struct Connected {
    std::unique_ptr<ZVSession> session;
    std::unique_ptr<ZVDatabase> database;
  };
  Connected connect(const char* name = "testdb", bool create = true) {
    Connected c;
    c.session = std::make_unique<ZVSession>(2);
    c.session->Logon("SRV", "ADMIN", "TRUVE");
    if (create && !c.session->FindDatabase(name)) c.session->CreateDatabase(name, "");
    c.database = std::make_unique<ZVDatabase>(c.session.get());
    c.database->Connect(name);
    return c;
  }
  std::string dbFile(const char* name = "testdb") const { return root_ + "/SRV/" + name + ".db"; }
  // "items": id identity 51, name 146/64 flag 4, qty 51, ts 257 auto; unique index on name,
  // duplicate index on qty.
  void createItems(ZVDatabase* db, const char* name = "items") {
    ZVTable t(db);
    ZVField* id = t.AddField("id", 51, 4);
    ZVField* nm = t.AddField("name", 146, 64);
    ASSERT_EQ(rlSetFieldBinaryFlag(nm->GetHandle(), 4), 0);
    t.AddField("qty", 51, 4);
    ZVField* ts = t.AddField("ts", 257, 8);
    ASSERT_EQ(rlSetFieldAutoTimestamp(ts->GetHandle(), 1, 0), 0);
    ASSERT_EQ(rlSetIdentityField(t.GetHandle(), "id", 1, 1), 0);
    t.AddIndex("items_name", 0, 0, 0)->AddSegment(nm, 12);
    t.AddIndex("items_qty", 0, 1, 0)->AddSegment(t.GetField("qty"), 12);
    t.Create(name, 2);
    (void)id;
  }
  // "items" on a connection of its own, walked by qty.
  struct OpenedItems {
    Connected c;
    std::unique_ptr<ZVTable> table;
    std::unique_ptr<ZVRecord> record;
  };
  OpenedItems openItemsByQty() {
    OpenedItems o;
    o.c = connect();
    o.table = std::make_unique<ZVTable>(o.c.database.get());
    o.table->Open("items", 0);
    o.record = std::make_unique<ZVRecord>(o.table.get());
    o.record->SetDefaultIndex("items_qty");
    return o;
  }
  static void insertItem(ZVRecord& r, const char* name, int qty) {
    r.Clear();
    r.SetFieldAsString("name", name);
    r.SetFieldAsSigned("qty", qty);
    r.Write();
  }
  std::string root_;
};

}  // namespace enginetest
