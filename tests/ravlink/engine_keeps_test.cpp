// What the engine keeps and what it refuses: servers made only on request,
// databases in use, values whole (NUL bytes, exact decimals, long values,
// JSON), identities and type-changing alterations. Files are checked with
// the sqlite3 shell.
#include "engine_fixture.h"

#include <algorithm>
#include <filesystem>
#include <set>

using namespace enginetest;
namespace fs = std::filesystem;

namespace {

std::set<std::string> listing(const std::string& root) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    names.insert(it->path().lexically_relative(root).string());
  return names;
}

}  // namespace

TEST_F(EngineTest, ALogonNeverMakesAServerOnlyTheExplicitCreationDoes) {
  auto before = listing(root_);
  struct Case {
    const char* server;
    const char* user;
    const char* password;
    int code;
  } cases[] = {{"NEWSRV", "ADMIN", "TRUVE", RL_NO_SERVER},
               {"NEWSRV@localhost", "EVIL", "x", RL_NO_SERVER},
               {"SRV", "ADMIN", "nope", RL_WRONG_PASSWORD},
               {"SRV", "EVIL", "x", RL_UNKNOWN_USER}};
  for (const auto& c : cases) {
    RLHANDLE s = rlAllocSession(2);
    EXPECT_EQ(rlLogon(s, c.server, c.user, c.password), c.code) << c.server << " " << c.user;
    // Creating with credentials other than the new administrator's makes nothing either.
    if (c.code == RL_NO_SERVER) EXPECT_EQ(rlCreateSession(s, c.server, "ADMIN", "guess"), RL_WRONG_PASSWORD);
    rlFreeSession(s);
  }
  EXPECT_EQ(listing(root_), before);
  // An unset data root is not made by a logon.
  setenv("RAVLINK_DATA", (root_ + "/not/there").c_str(), 1);
  EXPECT_EQ(codeOf([] { ZVSession(2).Logon("SRV", "ADMIN", "TRUVE"); }), RL_NO_SERVER);
  EXPECT_FALSE(fs::exists(root_ + "/not"));
  setenv("RAVLINK_DATA", root_.c_str(), 1);

  RLHANDLE s = rlAllocSession(2);
  EXPECT_EQ(rlCreateSession(s, "NEWSRV", "ADMIN", "TRUVE"), 0);
  EXPECT_EQ(rlLogon(s, "NEWSRV", "ADMIN", "TRUVE"), 0);
  rlFreeSession(s);
  EXPECT_EQ(rlCreateServer("SRV"), 0);  // there already: nothing changes
  EXPECT_EQ(rlCreateServer("bad name"), RL_BAD_NAME);
  EXPECT_EQ(rlCreateServer("X@elsewhere.example"), RL_SERVER_UNREACHABLE);
  EXPECT_TRUE(fs::exists(root_ + "/NEWSRV/rl_server.db"));
}

TEST_F(EngineTest, ADatabaseInUseIsNeitherDeletedNorDropped) {
  Connected user = connect("shop");
  createItems(user.database.get());
  ZVSession admin(2);
  admin.Logon("SRV", "ADMIN", "TRUVE");
  EXPECT_EQ(codeOf([&] { admin.DeleteDatabase("shop"); }), RL_IN_USE);
  EXPECT_EQ(codeOf([&] { admin.DropDatabase("shop"); }), RL_IN_USE);
  EXPECT_TRUE(admin.FindDatabase("shop"));
  {
    ZVTable t(user.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    insertItem(r, "kept", 1);  // acknowledged into the file that is still there
  }
  EXPECT_EQ(shell(dbFile("shop"), "select name from items"), "kept");
  user.database->Disconnect();
  admin.DeleteDatabase("shop");
  EXPECT_FALSE(fs::exists(dbFile("shop")));
  // The next connection finds no database rather than an empty new file.
  EXPECT_EQ(codeOf([&] { user.database->Connect("shop"); }), RL_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dbFile("shop")));
}

TEST_F(EngineTest, CreatingADatabaseNeverBringsBackAnOldOne) {
  Connected c = connect("old");
  createItems(c.database.get());
  c.database->Disconnect();
  c.session->DropDatabase("old");  // the file stays, with its table
  EXPECT_EQ(codeOf([&] { c.session->CreateDatabase("old", ""); }), RL_DATABASE_EXISTS);
  EXPECT_FALSE(c.session->FindDatabase("old"));
  c.session->AddDatabase("old", "");  // adding it is how it comes back
  c.database->Connect("old");
  EXPECT_TRUE(c.database->FindTable("items"));
  c.database->Disconnect();
  c.session->DeleteDatabase("old");
  c.session->CreateDatabase("old", "");
  c.database->Connect("old");
  EXPECT_FALSE(c.database->FindTable("items"));
  EXPECT_EQ(shell(dbFile("old"), "select count(*) from sqlite_master where name = 'items'"), "0");
}

TEST_F(EngineTest, OpeningADatabaseWaitsForNoWriter) {
  Connected writer = connect();
  createItems(writer.database.get());
  ZVTable t(writer.database.get());
  t.Open("items", 0);
  ZVRecord r(&t);
  writer.session->SetAutoCommit(0);
  insertItem(r, "pending", 1);                  // an uncommitted write holds the file's write lock
  Connected reader = connect("testdb", false);  // a writing open would wait for the commit, then fail with 4211
  ZVTable other(reader.database.get());
  other.Open("items", 0);
  EXPECT_EQ(ZVRecord(&other).GetRecordCount(), 0);
  writer.session->Commit();
  EXPECT_EQ(ZVRecord(&other).GetRecordCount(), 1);
}

TEST_F(EngineTest, AFailedWalkStepLeavesItsCodeForGetError) {
  Connected c = connect();
  char name[RL_NAME_BUFFER_SIZE], path[16], roomy[RL_PATH_BUFFER_SIZE];
  RLHANDLE s = c.session->GetHandle();
  EXPECT_EQ(rlFirstDatabase(s, name, sizeof name, path, sizeof path), RL_VALUE_TOO_LONG);
  EXPECT_EQ(rlGetError(s), RL_VALUE_TOO_LONG);
  ASSERT_EQ(rlFirstDatabase(s, name, sizeof name, roomy, sizeof roomy), 0);
  EXPECT_EQ(std::string(roomy), fs::weakly_canonical(dbFile()).string());
  createItems(c.database.get());
  RLHANDLE d = c.database->GetHandle();
  EXPECT_EQ(rlFirstTable(d, name, sizeof name, path, sizeof path), RL_VALUE_TOO_LONG);
  EXPECT_EQ(rlGetError(d), RL_VALUE_TOO_LONG);
}

class ValuesTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    c_ = connect();
  }
  Connected c_;
};

TEST_F(ValuesTest, TextsAreKeptWholeOrRefusedNeverCutAtANul) {
  ZVTable t(c_.database.get());
  rlSetFieldBinaryFlag(t.AddField("txt", 162, 22)->GetHandle(), 4);
  t.AddField("bin", 170, 0);
  t.AddField("js", 259, 0);
  t.Create("nul", 2);
  t.Open("nul", 0);
  ZVRecord r(&t);
  const std::string withNul("abc\0def", 7);
  r.Clear();
  EXPECT_EQ(codeOf([&] { r.SetFieldAsText("txt", withNul.data(), withNul.size()); }), RL_BAD_VALUE);
  EXPECT_TRUE(r.IsFieldNull("txt"));
  EXPECT_EQ(codeOf([&] { r.SetFieldAsJSON(2, ZVJsonString(std::string("\"a\0b\"", 5))); }), RL_BAD_VALUE);
  EXPECT_EQ(rlSetFieldAsTextLength(r.GetHandle(), 0, withNul.data(), int64_t(withNul.size())), RL_BAD_VALUE);
  EXPECT_EQ(rlGetError(r.GetHandle()), RL_BAD_VALUE);
  r.SetFieldAsText("bin", withNul.data(), withNul.size());
  r.SetFieldAsText("txt", "abc", 3);
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select txt, hex(bin), js is null from nul"), "abc|61626300646566|1");
}

TEST_F(ValuesTest, DecimalsKeepEveryDigitAtTheirDeclaredPrecisionAndScale) {
  ZVTable t(c_.database.get());
  ZVField* number = t.AddField("number", 105, 20);
  rlSetFieldPrecision(number->GetHandle(), 20);
  number->SetScale(2);
  ZVField* money = t.AddField("money", 105, 20);  // MONEY(20): no scale declared
  rlSetFieldPrecision(money->GetHandle(), 20);
  rlSetFieldBinaryFlag(money->GetHandle(), 7);
  t.AddField("small", 143, 8)->SetScale(4);
  t.Create("amounts", 2);
  t.Open("amounts", 0);
  ZVRecord r(&t);
  struct Case {
    const char *number, *money, *small;           // written
    const char *numberOut, *moneyOut, *smallOut;  // read back, and shown by sqlite3 for number and money
  } cases[] = {
      {"1234567890123456.78", "123456789012345678.91", "12.34", "1234567890123456.78", "123456789012345678.91",
       "12.3400"},
      {"-999999999999999999.99", "-99999999999999999999", "-0.0001", "-999999999999999999.99", "-99999999999999999999",
       "-0.0001"},
      {"0.01", "7.89", "922337203685477.5807", "0.01", "7.89", "922337203685477.5807"},
      {"12", "0", "1.23455", "12.00", "0", "1.2346"},
  };
  int64_t row = 0;
  for (const auto& c : cases) {
    r.Clear();
    r.SetFieldAsString("number", c.number);
    r.SetFieldAsString("money", c.money);
    r.SetFieldAsString("small", c.small);
    r.Write();
    ASSERT_EQ(r.FindRowid(++row, RL_FIND_EQ), 1);
    EXPECT_EQ(r.GetFieldAsString("number"), c.numberOut);
    EXPECT_EQ(r.GetFieldAsString("money"), c.moneyOut);
    EXPECT_EQ(r.GetFieldAsString("small"), c.smallOut);
    std::string stored =
        shell(dbFile(), "select number || '|' || money from amounts where rowid = " + std::to_string(row));
    std::string numberShown = c.numberOut;
    if (std::string(c.number) == "12") numberShown = "12";  // a whole number is stored as the integer
    EXPECT_EQ(stored, numberShown + "|" + c.moneyOut);
  }
  // A value with more digits than the precision is refused, not rounded into another.
  r.Clear();
  EXPECT_EQ(codeOf([&] { r.SetFieldAsString("number", "1234567890123456789.5"); }), RL_BAD_VALUE);
  EXPECT_EQ(codeOf([&] { r.SetFieldAsString("money", "12x"); }), RL_BAD_VALUE);
  EXPECT_TRUE(r.IsFieldNull("number"));
  // Numbers set as numbers take the same way.
  r.SetFieldAsFloat("money", 12.34);
  EXPECT_EQ(r.GetFieldAsString("money"), "12.34");
  r.SetFieldAsBigint("number", INT64_C(-123456789012345678));
  EXPECT_EQ(r.GetFieldAsString("number"), "-123456789012345678.00");
}

TEST_F(ValuesTest, DeclaredLengthsBoundTheContentAndLongTypesTakeLongValues) {
  ZVTable t(c_.database.get());
  rlSetFieldBinaryFlag(t.AddField("v20", 162, 22)->GetHandle(), 4);  // VARCHAR(20): stored length 22
  rlSetFieldBinaryFlag(t.AddField("lvc", 170, 4)->GetHandle(), 4);   // LVARCHAR without length
  t.AddField("lvb", 170, 4);                                         // LVARBINARY without length
  t.AddField("js", 259, 0);
  t.Create("longs", 2);
  t.Open("longs", 0);
  ZVRecord r(&t);
  r.Clear();
  EXPECT_EQ(codeOf([&] { r.SetFieldAsString("v20", std::string(21, 'x').c_str()); }), RL_VALUE_TOO_LONG);
  r.SetFieldAsString("v20", std::string(20, 'x').c_str());
  std::string big(3 << 20, 'a');
  r.SetFieldAsString("lvc", big.c_str());
  r.SetFieldAsBlob("lvb", big.data(), big.size());
  std::string json = "{\"k\":\"" + big + "\"}";
  r.SetFieldAsString("js", json.c_str());
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select length(v20), length(lvc), length(lvb), length(js) from longs"),
            "20|3145728|3145728|" + std::to_string(json.size()));
  ASSERT_EQ(r.First(), 1);
  int64_t size = 0;
  ASSERT_EQ(rlGetFieldAsTextSize(r.GetHandle(), 3, &size), 0);
  EXPECT_EQ(size, int64_t(json.size()) + 1);
  std::vector<char> buffer(size_t(size), '\0');
  ASSERT_EQ(rlGetFieldAsText(r.GetHandle(), 3, buffer.data(), int(buffer.size())), 0);
  EXPECT_EQ(std::string(buffer.data()), json);
}

TEST_F(ValuesTest, JsonFieldsHoldJsonOnlyAndForeignTextReadsBack) {
  ZVTable t(c_.database.get());
  t.AddField("js", 259, 0);
  t.Create("docs", 2);
  t.Open("docs", 0);
  ZVRecord r(&t);
  r.Clear();
  for (const char* bad : {"not json", "{\"a\":", "{'a':1}", "[1,]"})
    EXPECT_EQ(codeOf([&] { r.SetFieldAsString("js", bad); }), RL_BAD_VALUE) << bad;
  for (const char* good : {"{\"a\":[1,2,{\"b\":null}]}", "3.5", "\"text\"", "[]"}) {
    r.Clear();
    r.SetFieldAsString("js", good);
    r.Write();
  }
  EXPECT_EQ(shell(dbFile(), "select count(*) from docs where json_valid(js)"), "4");
  shell(dbFile(), "insert into docs(js) values('written elsewhere')");
  int read = 0;
  std::string last;
  for (int found = r.First(); found; found = r.Next(), ++read) last = r.GetFieldAsString("js");
  EXPECT_EQ(read, 5);
  EXPECT_EQ(last, "written elsewhere");
}

TEST_F(ValuesTest, IdentitiesTakeTheirSeedAndIncrementAndSurviveAlterations) {
  ZVTable t(c_.database.get());
  t.AddField("id", 231, 8);
  t.AddField("name", 144, 10);
  ASSERT_EQ(rlSetIdentityField(t.GetHandle(), "id", 1000, 10), 0);
  EXPECT_EQ(rlSetIdentityField(t.GetHandle(), "id", 1, 0), RL_BAD_ARGUMENT);  // ids only grow
  t.Create("seeded", 2);
  t.Open("seeded", 1);
  ZVRecord r(&t);
  for (const char* name : {"a", "b", "c"}) {
    r.Clear();
    r.SetFieldAsString("name", name);
    r.Write();
  }
  r.Delete();  // the last: its id is not given again
  // An alteration that hands the identity back as reported keeps it.
  ASSERT_EQ(rlSetIdentityField(t.GetHandle(), rlGetIdentityFieldName(t.GetHandle()), 1000, 10), 0);
  t.AddField("extra", 51, 4);
  t.Alter(0);
  EXPECT_STREQ(rlGetIdentityFieldName(t.GetHandle()), "id");
  r.Clear();
  r.SetFieldAsString("name", "d");
  r.Write();
  EXPECT_EQ(shell(dbFile(), "select group_concat(id) from (select id from seeded order by id)"), "1000,1010,1030");
  EXPECT_EQ(rlSetIdentityField(t.GetHandle(), "name", 1, 1), RL_BAD_ARGUMENT);
}

TEST_F(ValuesTest, ATypeChangeConvertsEveryValueOrChangesNothing) {
  ZVTable t(c_.database.get());
  t.AddField("code", 144, 8);
  t.AddField("amount", 103, 8);
  t.Create("conv", 2);
  t.Open("conv", 1);
  ZVRecord r(&t);
  r.Clear();
  r.SetFieldAsString("code", "42");
  r.SetFieldAsFloat("amount", 100.5);
  r.Write();
  // DOUBLE 100.5 to an integer or a bit would lose it: refused, nothing changes.
  struct Change {
    const char* field;
    int type, length;
  } refused[] = {{"amount", 51, 4}, {"amount", 8, 1}, {"code", 144, 1}};
  for (const auto& c : refused) {
    t.GetField(c.field)->SetType(c.type, c.length);
    EXPECT_EQ(codeOf([&] { t.Alter(0); }), RL_BAD_VALUE) << c.field << " " << c.type;
    t.Close();
    t.Open("conv", 1);
  }
  EXPECT_EQ(shell(dbFile(), "select typeof(code), code, amount from conv"), "text|42|100.5");
  EXPECT_EQ(t.GetField("code")->GetType(), 144);
  t.GetField("code")->SetType(51, 4);
  t.Alter(0);
  EXPECT_EQ(shell(dbFile(), "select typeof(code), code from conv"), "integer|42");
  r.Clear();
  EXPECT_EQ(codeOf([&] { r.SetFieldAsString("code", "a"); }), RL_BAD_VALUE);
}
