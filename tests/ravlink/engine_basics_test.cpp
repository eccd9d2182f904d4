// Servers, logons, databases, table definitions, alteration and the codes
// callers branch on.
#include "engine_fixture.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

using namespace enginetest;

TEST_F(EngineTest, LogonChecksServerUserAndPassword) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  struct Case {
    std::string server, user, password;
    int code;
  } cases[] = {
      {"SRV", "ADMIN", "TRUVE", 0},
      {"SRV@localhost", "admin", "TRUVE", 0},  // user names ignore case
      {std::string("SRV@") + host, "ADMIN", "TRUVE", 0},
      {"SRV@127.0.0.1", "ADMIN", "truve", RL_WRONG_PASSWORD},
      {"SRV", "NOBODY", "TRUVE", RL_UNKNOWN_USER},
      {"SRV@db.example.org", "ADMIN", "TRUVE", RL_SERVER_UNREACHABLE},
      {"../SRV", "ADMIN", "TRUVE", RL_BAD_NAME},
      {"", "ADMIN", "TRUVE", RL_BAD_NAME},
  };
  for (const auto& c : cases) {
    ZVSession s(2);
    EXPECT_EQ(codeOf([&] { s.Logon(c.server.c_str(), c.user.c_str(), c.password.c_str()); }), c.code)
        << c.server << " " << c.user << " " << c.password;
    EXPECT_EQ(s.IsLoggedOn(), c.code == 0);
  }
  // The password is kept as a salted hash, never as text.
  std::string users = shell(root_ + "/SRV/rl_server.db", "select name, length(salt), length(hash) from rl_users");
  EXPECT_EQ(users, "ADMIN|16|32");
  EXPECT_EQ(shell(root_ + "/SRV/rl_server.db", "select count(*) from rl_users where hash like '%TRUVE%'"), "0");
}

TEST_F(EngineTest, DataRootThatCannotBeUsedIsUnreachable) {
  std::string file = root_ + "/plainfile";
  fclose(fopen(file.c_str(), "w"));
  setenv("RAVLINK_DATA", file.c_str(), 1);
  EXPECT_EQ(rlCreateServer("SRV"), RL_SERVER_UNREACHABLE);
  ZVSession s(2);
  EXPECT_EQ(codeOf([&] { s.Logon("SRV", "ADMIN", "TRUVE"); }), RL_NO_SERVER);
}

TEST_F(EngineTest, OnlyTheOwnerMayReadWhatTheEngineCreates) {
  // A data root that does not exist yet: the engine makes every directory.
  std::string data = root_ + "/data/nested";
  setenv("RAVLINK_DATA", data.c_str(), 1);
  mode_t previousMask = umask(022);
  ASSERT_EQ(rlCreateServer("SRV"), 0);
  {
    auto c = connect();
    c.session->CreateDatabase("other", "sub/deeper");
    createItems(c.database.get());
    ZVTable t(c.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    insertItem(r, "kept", 1);  // the connection stays open: -wal and -shm exist
    int walFiles = 0, checked = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_ + "/data")) {
      struct stat info;
      ASSERT_EQ(lstat(entry.path().c_str(), &info), 0);
      mode_t wanted = S_ISDIR(info.st_mode) ? 0700 : 0600;
      EXPECT_EQ(info.st_mode & 0777, wanted) << entry.path();
      std::string name = entry.path().filename().string();
      if (name == "testdb.db-wal" || name == "testdb.db-shm") ++walFiles;
      ++checked;
    }
    EXPECT_EQ(walFiles, 2);
    EXPECT_GE(checked, 8);  // nested, SRV, sub, deeper, rl_server.db, testdb.db and its two, other.db
    struct stat info;
    ASSERT_EQ(stat((root_ + "/data").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
  }
  umask(previousMask);
}

TEST_F(EngineTest, OwnersArePerThreadAndFollowLogons) {
  EXPECT_EQ(rlGetCurrentOwner(), -1);
  ZVSession a(2), b(2);
  a.Logon("SRV", "ADMIN", "TRUVE");
  int32_t ownerA = rlGetCurrentOwner();
  EXPECT_EQ(ownerA, a.GetOwner());
  b.Logon("SRV", "ADMIN", "TRUVE");
  EXPECT_NE(rlGetCurrentOwner(), ownerA);
  EXPECT_EQ(rlSetCurrentOwner(ownerA), 0);
  EXPECT_EQ(rlGetCurrentOwner(), ownerA);
  std::thread([&] { EXPECT_EQ(rlGetCurrentOwner(), -1); }).join();
  EXPECT_NE(rlSetCurrentOwner(987654), 0);
  a.Logout();
  EXPECT_EQ(rlGetCurrentOwner(), -1);
  EXPECT_NE(rlSetCurrentOwner(ownerA), 0);  // an ended logon is no owner
  EXPECT_EQ(codeOf([&] { a.Logout(); }), RL_NOT_OPEN);
  EXPECT_EQ(rlSetClientOption(4, "10"), 0);
  EXPECT_EQ(rlSetClientOption(4, "0"), 0);
  EXPECT_EQ(rlSetClientOption(6, "YES"), 0);
  EXPECT_NE(rlSetClientOption(4, "ten"), 0);
  EXPECT_NE(rlSetClientOption(99, "1"), 0);
}

TEST_F(EngineTest, DatabasesAreCreatedAddedAndConnected) {
  ZVSession s(2);
  s.Logon("SRV", "ADMIN", "TRUVE");
  ZVDatabase db(&s);
  EXPECT_EQ(codeOf([&] { db.Connect("brenlox"); }), RL_NOT_FOUND);
  EXPECT_FALSE(s.FindDatabase("brenlox"));
  EXPECT_EQ(codeOf([&] { s.AddDatabase("brenlox", "."); }), RL_NO_DATABASE);
  s.CreateDatabase("brenlox", ".");
  EXPECT_TRUE(s.FindDatabase("brenlox"));
  EXPECT_EQ(codeOf([&] { s.CreateDatabase("brenlox", ""); }), RL_DATABASE_EXISTS);
  db.Connect("brenlox");
  EXPECT_TRUE(db.IsConnected());
  EXPECT_EQ(shell(root_ + "/SRV/brenlox.db", "pragma journal_mode"), "wal");

  // A database file placed in the server's directory is added, not created.
  s.CreateDatabase("other", "sub");
  EXPECT_TRUE(std::filesystem::exists(root_ + "/SRV/sub/other.db"));
  EXPECT_EQ(codeOf([&] { s.CreateDatabase("evil", "../../elsewhere"); }), RL_BAD_PATH);
  EXPECT_EQ(codeOf([&] { s.CreateDatabase("evil", "/tmp"); }), RL_BAD_PATH);
  EXPECT_EQ(codeOf([&] { s.CreateDatabase("bad;name", ""); }), RL_BAD_NAME);
  EXPECT_FALSE(s.FindDatabase("bad;name"));
  std::filesystem::copy_file(root_ + "/SRV/brenlox.db", root_ + "/SRV/copy.db");
  ZVDatabase copy(&s);
  EXPECT_EQ(codeOf([&] { copy.Connect("copy"); }), RL_NOT_FOUND);
  s.AddDatabase("copy", "");
  copy.Connect("copy");
}

TEST_F(EngineTest, TablesOpenCreateAndReportTheirCodes) {
  auto c = connect();
  ZVTable t(c.database.get());
  EXPECT_EQ(codeOf([&] { t.Open("items", 0); }), RL_NO_TABLE);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_FALSE(c.database->FindTable("items"));
  createItems(c.database.get());
  EXPECT_TRUE(c.database->FindTable("items"));
  EXPECT_EQ(codeOf([&] { createItems(c.database.get()); }), RL_TABLE_EXISTS);
  EXPECT_EQ(codeOf([&] { createItems(c.database.get(), "ITEMS"); }), RL_TABLE_EXISTS);  // names ignore case in the file
  for (const char* bad : {"it\"ems", "a b", "x;drop table items", "../items", "", "rl_tables"}) {
    ZVTable b(c.database.get());
    EXPECT_EQ(codeOf([&] { b.Open(bad, 0); }), RL_BAD_NAME) << bad;
    b.AddField("f", 51, 4);
    EXPECT_EQ(codeOf([&] { b.Create(bad, 2); }), RL_BAD_NAME) << bad;
  }
  EXPECT_EQ(c.database->FindActive("items"), nullptr);
  t.Open("items", 0);
  EXPECT_EQ(c.database->FindActive("items"), &t);
  t.Close();
  EXPECT_EQ(c.database->FindActive("items"), nullptr);

  // CloseAll deletes the open tables; records on them stay safe to delete.
  ZVTable* open = new ZVTable(c.database.get());
  open->Open("items", 0);
  auto* rec = new ZVRecord(open);
  c.database->CloseAll();
  EXPECT_EQ(c.database->FindActive("items"), nullptr);
  EXPECT_EQ(codeOf([&] { rec->First(); }), RL_NOT_OPEN);
  delete rec;
}

TEST_F(EngineTest, FieldDefinitionsReadBackExactly) {
  auto c = connect();
  struct F {
    const char* name;
    int type, length, scale, flag;
  } fields[] = {
      {"bit", 8, 1, 0, 0},    {"tiny", 16, 1, 0, 0},    {"small", 33, 2, 0, 0},         {"usmall", 41, 2, 0, 0},
      {"int", 51, 4, 0, 0},   {"hash", 59, 4, 0, 0},    {"money", 105, 20, 2, 7},       {"num", 67, 20, 4, 0},
      {"d", 75, 4, 0, 0},     {"t", 258, 4, 0, 0},      {"t83", 83, 4, 0, 0},           {"ts", 257, 8, 0, 0},
      {"c", 144, 1, 0, 0},    {"vc", 146, 65500, 0, 4}, {"key", 162, 66, 0, 4},         {"payload", 170, 0, 0, 0},
      {"json", 259, 0, 0, 0}, {"big", 231, 0, 0, 0},    {"with \"quote", 146, 10, 0, 4}};
  {
    ZVTable t(c.database.get());
    for (const auto& f : fields) {
      ZVField* fd = t.AddField(f.name, f.type, f.length);
      if (f.scale) fd->SetScale(f.scale);
      if (f.flag) ASSERT_EQ(rlSetFieldBinaryFlag(fd->GetHandle(), f.flag), 0);
    }
    t.AddIndex("by_key", 512, 0, 0)->AddSegment(t.GetField("key"), 12);
    t.Create("typed", 0x12001);
  }
  ZVTable t(c.database.get());
  t.Open("typed", 0);
  ASSERT_EQ(t.GetFieldCount(), int(std::size(fields)));
  for (const auto& f : fields) {
    ZVField* fd = t.GetField(f.name);
    EXPECT_EQ(fd->GetType(), f.type) << f.name;
    EXPECT_EQ(fd->GetLength(), f.length) << f.name;
    EXPECT_EQ(fd->GetScale(), f.scale) << f.name;
    EXPECT_EQ(rlGetFieldBinaryFlag(fd->GetHandle()), f.flag) << f.name;
  }
  EXPECT_EQ(t.GetIndex("by_key")->GetKeyType(), 512);
  EXPECT_EQ(t.GetIndex("by_key")->GetDuplicates(), 0);
  EXPECT_EQ(t.GetCreateMode(), 0x12001);
  EXPECT_EQ(codeOf([&] { t.GetField("missing"); }), RL_UNKNOWN_FIELD);
  EXPECT_EQ(codeOf([&] { t.GetIndex("missing"); }), RL_UNKNOWN_INDEX);
  // The sqlite3 shell sees an ordinary table with the quoted names.
  std::string cols = shell(dbFile(), "select group_concat(name, ',') from pragma_table_info('typed')");
  EXPECT_NE(cols.find("with \"quote"), std::string::npos) << cols;
  EXPECT_EQ(shell(dbFile(), "select count(*) from pragma_index_list('typed') where \\\"unique\\\" = 1"), "1");
}

TEST_F(EngineTest, AlterAddsFieldsAndChangesTypesKeepingRows) {
  auto c = connect();
  createItems(c.database.get());
  ZVTable other(c.database.get());  // another table object with the table open
  other.Open("items", 0);
  ZVRecord otherRec(&other);
  {
    ZVTable t(c.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    insertItem(r, "apple", 5);
    insertItem(r, "pear", 7);
    r.Delete();  // the last id must not come back after the rebuild below
  }
  auto s2 = connect();
  ZVTable t(s2.database.get());
  t.Open("items", 1);
  ZVField* note = t.AddField("note", 146, 20);
  rlSetFieldBinaryFlag(note->GetHandle(), 4);
  ZVField* amount = t.AddField("amount", 105, 20);
  amount->SetScale(2);
  t.GetField("qty")->SetType(146, 12);  // number to text: a rebuild
  t.GetField("name")->SetLength(100);
  t.AddIndex("items_note", 0, 1, 0)->AddSegment(note, 12);
  t.Alter(0);
  EXPECT_EQ(t.GetField("qty")->GetType(), 146);
  EXPECT_EQ(t.GetField("qty")->GetLength(), 12);
  EXPECT_EQ(t.GetField("name")->GetLength(), 100);
  EXPECT_EQ(t.GetField("amount")->GetScale(), 2);
  ZVRecord r(&t);
  ASSERT_TRUE(r.First());
  EXPECT_EQ(r.GetFieldAsString("name"), "apple");
  EXPECT_EQ(r.GetFieldAsString("qty"), "5");
  EXPECT_TRUE(r.IsFieldNull("note"));
  insertItem(r, "plum", 9);
  EXPECT_EQ(r.GetFieldAsSigned("id"), 3);  // ids stay unused after the rebuild
  // The table object that was open elsewhere follows the new definition.
  ASSERT_TRUE(otherRec.First());
  EXPECT_EQ(otherRec.GetFieldAsString("name"), "apple");
  EXPECT_TRUE(otherRec.IsFieldNull("amount"));
  EXPECT_EQ(shell(dbFile(), "select typeof(qty), qty from items where name = 'apple'"), "text|5");
}

// Table names ignore ASCII case everywhere, as they do in the file: every
// spelling opens the one table, shares its definition changes, blocks and
// rows, and the table keeps the name it was created with.
TEST_F(EngineTest, TableNamesIgnoreCaseEverywhere) {
  auto a = connect();
  createItems(a.database.get());
  OpenedItems opened = openItemsByQty();
  ZVTable& lower = *opened.table;
  ZVRecord& lowerRec = *opened.record;
  insertItem(lowerRec, "apple", 5);
  auto b = connect();
  ZVTable mixed(b.database.get());
  EXPECT_TRUE(b.database->FindTable("ITEMS"));
  ASSERT_EQ(codeOf([&] { mixed.Open("Items", 0); }), 0);
  EXPECT_STREQ(mixed.GetName(), "items");
  EXPECT_EQ(b.database->FindActive("iTeMs"), &mixed);
  ZVRecord mixedRec(&mixed);
  ASSERT_TRUE(mixedRec.First());
  EXPECT_EQ(mixedRec.GetFieldAsString("name"), "apple");

  // A definition change through one spelling reaches the table opened by another.
  mixed.AddField("note", 146, 20);
  mixed.Alter(0);
  ASSERT_TRUE(lowerRec.First());
  EXPECT_TRUE(lowerRec.IsFieldNull("note"));
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from rl_tables"), "items");
  EXPECT_EQ(shell(dbFile(), "select count(distinct tbl) || ':' || min(tbl) from rl_fields"), "1:items");

  // Blocking the file under another spelling closes it for both.
  std::string path = std::string(lower.GetPath()) + "\\ITEMS" + lower.GetDataExtension();
  EXPECT_EQ(rlBlockFile(path.c_str(), 261), 0);
  EXPECT_EQ(codeOf([&] { lowerRec.First(); }), RL_FILE_BLOCKED);
  EXPECT_EQ(codeOf([&] { mixedRec.First(); }), RL_FILE_BLOCKED);
  EXPECT_EQ(rlBlockFile(path.c_str(), 2), 0);
}

// An Alter that fails inside the session's transaction takes back every step
// it made: the session's own writes still commit, and the file and its
// catalog keep describing the same table.
TEST_F(EngineTest, FailedAlterInATransactionLeavesTheTableAsItWas) {
  auto c = connect();
  createItems(c.database.get());
  ZVTable t(c.database.get());
  t.Open("items", 0);
  ZVRecord r(&t);
  insertItem(r, "a", 1);
  insertItem(r, "b", 1);
  c.session->SetAutoCommit(0);
  t.AddField("note", 146, 10);
  t.GetField("name")->SetType(170, 0);                                   // a rebuild
  t.AddIndex("qty_unique", 0, 0, 0)->AddSegment(t.GetField("qty"), 12);  // refused: two rows hold qty 1
  EXPECT_EQ(codeOf([&] { t.Alter(0); }), RL_DUPLICATE_KEY);
  insertItem(r, "c", 2);
  r.Commit();
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from pragma_table_info('items')"), "id,name,qty,ts");
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from pragma_index_list('items')"),
            "items.items_qty,items.items_name");
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from items"), "a,b,c");
  ZVTable again(c.database.get());
  again.Open("items", 0);
  again.AddField("note", 146, 10);
  again.Alter(0);
  r.Commit();
  EXPECT_EQ(shell(dbFile(), "select group_concat(name) from rl_fields where tbl = 'items'"), "id,name,qty,ts,note");
}

TEST_F(EngineTest, ObjectsMayBeDeletedInAnyOrder) {
  auto* session = new ZVSession(2);
  session->Logon("SRV", "ADMIN", "TRUVE");
  session->CreateDatabase("testdb", "");
  auto* db = new ZVDatabase(session);
  db->Connect("testdb");
  createItems(db);
  auto* table = new ZVTable(db);
  table->Open("items", 0);
  auto* rec = new ZVRecord(table);
  insertItem(*rec, "a", 1);
  delete table;  // table before its record
  EXPECT_EQ(codeOf([&] { rec->Next(); }), RL_NOT_OPEN);
  delete session;                                                   // session before the database object
  EXPECT_EQ(codeOf([&] { db->FindTable("items"); }), RL_NOT_OPEN);  // the logon has ended
  ZVTable late(db);
  EXPECT_EQ(codeOf([&] { late.Open("items", 0); }), RL_NOT_OPEN);
  delete db;
  delete rec;
  // A session that never logged on: the calls fail cleanly.
  ZVSession never(2);
  ZVDatabase d(&never);
  EXPECT_EQ(codeOf([&] { d.Connect("testdb"); }), RL_NOT_OPEN);
  EXPECT_EQ(codeOf([&] { d.Disconnect(); }), RL_NOT_OPEN);
  EXPECT_EQ(codeOf([&] { never.Logout(); }), RL_NOT_OPEN);
  EXPECT_EQ(codeOf([&] { ZVSession bad(7); }), RL_BAD_ARGUMENT);
}

// A table object reopened on a narrower definition (another table, or its
// own pending changes dropped) keeps the field and index objects it handed
// out: they name nothing now, and numbers past the definition are refused.
TEST_F(EngineTest, FieldObjectsOfAnEarlierDefinitionNameNothing) {
  auto c = connect();
  {
    ZVTable wide(c.database.get());
    wide.AddField("a_field_name_longer_than_short_strings", 51, 4);
    ZVField* second = wide.AddField("another_field_name_longer_than_short", 51, 4);
    wide.AddIndex("an_index_name_longer_than_short_strings", 0, 1, 0)->AddSegment(second, 12);
    wide.AddIndex("another_index_name_longer_than_short", 0, 1, 0)->AddSegment(second, 12);
    wide.Create("wide", 2);
    ZVTable narrow(c.database.get());
    narrow.AddField("only", 51, 4);
    narrow.Create("narrow", 2);
  }
  ZVTable t(c.database.get());
  t.Open("wide", 0);
  ZVField* field = t.GetField(1);
  ZVIndex* index = t.GetIndex(1);
  ZVSegment* segment = index->GetSegment(0);
  t.Open("narrow", 0);
  EXPECT_EQ(codeOf([&] { t.GetField(1); }), RL_UNKNOWN_FIELD);
  EXPECT_EQ(codeOf([&] { t.GetIndex(1); }), RL_UNKNOWN_INDEX);
  EXPECT_STREQ(field->GetName(), "");
  EXPECT_EQ(field->GetType(), 0);
  EXPECT_STREQ(index->GetName(), "");
  EXPECT_STREQ(segment->GetFieldName(), "");
  EXPECT_EQ(codeOf([&] { field->SetType(146, 10); }), RL_UNKNOWN_FIELD);
  EXPECT_EQ(rlSetFieldBinaryFlag(field->GetHandle(), 4), RL_UNKNOWN_FIELD);
  EXPECT_EQ(codeOf([&] { index->AddSegment(t.GetField("only"), 12); }), RL_UNKNOWN_INDEX);
  EXPECT_EQ(codeOf([&] { index->GetSegment(0); }), RL_BAD_ARGUMENT);
  // Pending changes dropped by a reopen leave their objects behind too.
  ZVField* pending = t.AddField("a_pending_field_name_longer_than_short", 51, 4);
  t.Open("narrow", 0);
  EXPECT_STREQ(pending->GetName(), "");
  EXPECT_EQ(t.GetFieldCount(), 1);
}

TEST_F(EngineTest, BlockFileClosesTheTableForEverySession) {
  auto a = connect();
  createItems(a.database.get());
  auto b = connect();
  ZVTable ta(a.database.get()), tb(b.database.get());
  ta.Open("items", 0);
  tb.Open("items", 0);
  ZVRecord ra(&ta), rb(&tb);
  insertItem(ra, "kept", 1);
  std::string path = std::string(ta.GetPath()) + "\\" + ta.GetName() + ta.GetDataExtension();
  EXPECT_EQ(rlBlockFile(path.c_str(), 261), 0);
  EXPECT_EQ(codeOf([&] { ra.First(); }), RL_FILE_BLOCKED);
  EXPECT_EQ(codeOf([&] { rb.First(); }), RL_FILE_BLOCKED);
  EXPECT_FALSE(ta.IsOpen());
  EXPECT_EQ(codeOf([&] { ta.Open("items", 0); }), RL_FILE_BLOCKED);
  EXPECT_EQ(rlBlockFile(path.c_str(), 2), 0);
  ta.Open("items", 0);
  ASSERT_TRUE(ra.First());
  EXPECT_EQ(ra.GetFieldAsString("name"), "kept");
  EXPECT_EQ(shell(dbFile(), "select count(*) from items"), "1");
  // Paths outside the data root or to no database are refused.
  EXPECT_EQ(rlBlockFile("/etc\\passwd.dat", 261), RL_BAD_PATH);
  EXPECT_EQ(rlBlockFile((root_ + "/SRV/none.db\\items.dat").c_str(), 261), RL_BAD_PATH);
  EXPECT_EQ(rlBlockFile((std::string(ta.GetPath()) + "\\items.txt").c_str(), 261), RL_BAD_PATH);
}

// A commit that fails (here the file size limit stops the log from growing)
// must not leave its transaction open: later writes of the session would
// join it and be rolled back when the database closes.
TEST_F(EngineTest, FailedCommitLeavesNoTransactionBehind) {
  Connected c = connect();
  createItems(c.database.get());
  std::string wal = dbFile() + "-wal";
  ASSERT_TRUE(std::filesystem::exists(wal));
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = std::filesystem::file_size(wal);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  int failed = codeOf([&] { createItems(c.database.get(), "lost"); });
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  ASSERT_NE(failed, 0);

  createItems(c.database.get(), "kept");
  {
    ZVTable t(c.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    insertItem(r, "apple", 3);
    c.session->Begin();  // an aborted transaction takes its writes along
    insertItem(r, "pear", 4);
    c.session->Abort();
  }
  c = Connected();
  EXPECT_EQ(shell(dbFile(), "SELECT name FROM rl_tables ORDER BY name"), "items\nkept");
  EXPECT_EQ(shell(dbFile(), "SELECT name FROM items"), "apple");
}
