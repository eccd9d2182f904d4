// Index segments over keys inside JSON fields, conditional indexes, tables
// moved between databases, and table definitions cached per connection while
// the catalog is unchanged.
#include "engine_fixture.h"

#include <vector>

using namespace enginetest;

namespace {

// "docs": name 146/16, doc JSON, qty 51; index "bylevel" over doc.level (integer, 8 bytes).
void createDocs(ZVDatabase* db, bool unique = false) {
  ZVTable t(db);
  t.AddField("name", 146, 16);
  ZVField* doc = t.AddField("doc", 259, 0);
  t.AddField("qty", 51, 4);
  RLHANDLE ix = rlAddIndex(t.GetHandle(), "bylevel", 0, unique ? 0 : 1, 0);
  ASSERT_NE(ix, nullptr);
  ASSERT_NE(rlAddJsonSegment(ix, doc->GetHandle(), "level", 231, 8), nullptr) << rlGetError(t.GetHandle());
  t.Create("docs", 2);
}

void insertDoc(ZVRecord& r, const char* name, const char* doc, int qty = 0) {
  r.Clear();
  r.SetFieldAsString("name", name);
  r.SetFieldAsString("doc", doc);
  r.SetFieldAsSigned("qty", qty);
  r.Write();
}

std::vector<std::string> walkNames(ZVRecord& r, int found) {
  std::vector<std::string> names;
  for (; found; found = r.Next()) names.push_back(r.GetFieldAsString("name"));
  return names;
}

}  // namespace

TEST_F(EngineTest, JsonKeySegmentsIndexFindAndRangeAcrossReopen) {
  {
    auto c = connect();
    createDocs(c.database.get());
    ZVTable t(c.database.get());
    t.Open("docs", 0);
    ZVRecord r(&t);
    insertDoc(r, "five", R"({"level": 5, "tag": "x"})");
    insertDoc(r, "one", R"({"level": 1})");
    insertDoc(r, "three", R"({"level": 3, "nested": {"level": 9}})");
    insertDoc(r, "nokey", R"({"other": 2})");
    EXPECT_EQ(codeOf([&] { insertDoc(r, "notjson", "level=4"); }), RL_BAD_VALUE);  // the engine writes JSON only
  }
  // Text that is no JSON, put there by another program, has a null key and reads.
  shell(dbFile(), "insert into docs(name, doc, qty) values('notjson', 'level=4', 0)");
  // The index is SQLite's own, over the key: the shell sees it and SQLite reads it.
  std::string sql = shell(dbFile(), "select sql from sqlite_master where name='docs.bylevel'");
  EXPECT_NE(sql.find("json_extract"), std::string::npos) << sql;
  EXPECT_EQ(shell(dbFile(), "select json_key, json_type, json_size from rl_segments where tbl='docs'"), "level|231|8");
  EXPECT_EQ(shell(dbFile(), "pragma integrity_check"), "ok");

  auto c = connect();  // a new session reads the definition from the file
  ZVTable t(c.database.get());
  t.Open("docs", 0);
  RLHANDLE segment = rlGetSegment(rlGetIndexByName(t.GetHandle(), "bylevel"), 0);
  char key[32];
  int type = 0, size = 0;
  ASSERT_EQ(rlGetJsonSegmentInfo(segment, key, sizeof key, &type, &size), 0);
  EXPECT_EQ(std::string(key), "level");
  EXPECT_EQ(type, 231);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(rlGetIndexKeyLength(rlGetIndexByName(t.GetHandle(), "bylevel")), 8);
  EXPECT_EQ(rlGetJsonSegmentInfo(rlGetSegment(rlGetIndexByName(t.GetHandle(), "bylevel"), 1), key, 32, &type, &size),
            RL_BAD_HANDLE);

  ZVRecord r(&t);
  r.SetDefaultIndex("bylevel");
  EXPECT_EQ(walkNames(r, r.First()), (std::vector<std::string>{"nokey", "notjson", "one", "three", "five"}));
  // A key asked for by an object holding it, or by the single value itself.
  for (const char* asked : {R"({"level": 3})", "3", R"({"level": "3"})"}) {
    SCOPED_TRACE(asked);
    r.Clear();
    r.SetFieldAsString("doc", asked);
    ASSERT_EQ(r.Find(RL_FIND_EQ), 1);
    EXPECT_EQ(r.GetFieldAsString("name"), "three");
  }
  r.Clear();
  r.SetFieldAsString("doc", "2");
  EXPECT_EQ(walkNames(r, r.Find(RL_FIND_GE)), (std::vector<std::string>{"three", "five"}));
  r.Clear();
  r.SetFieldAsString("doc", "4");
  EXPECT_EQ(r.Find(RL_FIND_EQ), 0);

  // A range over the key, built from target keys as the REST query does.
  RLHANDLE lower = rlAllocRecord(r.GetHandle());
  RLHANDLE upper = rlAllocRecord(r.GetHandle());
  rlClearRecord(lower);
  rlClearRecord(upper);
  ASSERT_EQ(rlSetFieldAsText(lower, 1, "1"), 0);
  ASSERT_EQ(rlSetFieldAsText(upper, 1, R"({"level": 5})"), 0);
  std::vector<char> low(8), high(8);
  ASSERT_EQ(rlBuildTargetKey(lower, low.data(), 8), 0);
  ASSERT_EQ(rlBuildTargetKey(upper, high.data(), 8), 0);
  int codes[] = {RL_RANGE_BETWEEN_EXCL_LOW};
  ASSERT_EQ(rlSetRecordRange(lower, 1, low.data(), high.data(), codes), 0);
  std::vector<std::string> names;
  char name[32];
  for (int rc = rlFirstRecord(lower); rc == 0; rc = rlNextRecord(lower)) {
    ASSERT_EQ(rlGetFieldAsText(lower, 0, name, sizeof name), 0);
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"three", "five"}));
  rlFreeRecord(lower);
  rlFreeRecord(upper);
}

TEST_F(EngineTest, JsonKeySegmentsRefuseBadDefinitionsAndDuplicateKeys) {
  auto c = connect();
  createDocs(c.database.get(), true);
  ZVTable t(c.database.get());
  t.Open("docs", 0);
  ZVRecord r(&t);
  insertDoc(r, "a", R"({"level": 1})");
  EXPECT_EQ(codeOf([&] { insertDoc(r, "b", R"({"level": 1, "x": 0})"); }), RL_DUPLICATE_KEY);
  insertDoc(r, "c", R"({"x": 0})");  // no key: nulls never collide
  insertDoc(r, "d", R"({"x": 1})");
  EXPECT_EQ(shell(dbFile(), "select count(*) from docs"), "3");

  RLHANDLE ix = rlAddIndex(t.GetHandle(), "more", 0, 1, 0);
  RLHANDLE doc = rlGetFieldByName(t.GetHandle(), "doc");
  RLHANDLE name = rlGetFieldByName(t.GetHandle(), "name");
  std::string tooLong(300, 'a');
  struct Case {
    RLHANDLE field;
    const char* key;
    int type, size;
  } refused[] = {
      {name, "level", 231, 8},         // no JSON field
      {doc, "", 231, 8},               // no key
      {doc, "a') OR 1=1 --", 231, 8},  // no path
      {doc, "a..b", 231, 8},           //
      {doc, "a[x]", 231, 8},           //
      {doc, tooLong.c_str(), 51, 4},   // too long
      {doc, "a", 75, 4},               // a type keys cannot have
      {doc, "a", 146, 0},              // a text key needs its size
  };
  for (const auto& k : refused) {
    SCOPED_TRACE(k.key);
    EXPECT_EQ(rlAddJsonSegment(ix, k.field, k.key, k.type, k.size), nullptr);
    EXPECT_EQ(rlGetError(t.GetHandle()), RL_BAD_ARGUMENT);
  }
  ASSERT_NE(rlAddJsonSegment(ix, doc, "$.a.b[2].c", 146, 12), nullptr);
  t.Alter(0);
  EXPECT_EQ(shell(dbFile(), "select json_key, json_type, json_size from rl_segments where tbl='docs' and idx=1"),
            "$.a.b[2].c|146|12");
}

TEST_F(EngineTest, CatalogOfAnOlderFileGainsItsNewColumnsOnOpen) {
  {
    auto c = connect();
    createItems(c.database.get());
    OpenedItems o = openItemsByQty();
    insertItem(*o.record, "pen", 3);
  }
  // A file made before segments had JSON keys and indexes had conditions.
  shell(dbFile(),
        "alter table rl_segments drop column json_key; alter table rl_segments drop column json_type;"
        " alter table rl_segments drop column json_size; alter table rl_indexes drop column condition;");
  ASSERT_EQ(shell(dbFile(), "select count(*) from pragma_table_info('rl_segments') where name='json_key'"), "0");
  OpenedItems o = openItemsByQty();
  ASSERT_EQ(o.record->First(), 1);
  EXPECT_EQ(o.record->GetFieldAsString("name"), "pen");
  EXPECT_EQ(shell(dbFile(), "select count(*) from pragma_table_info('rl_segments') where name='json_key'"), "1");
  EXPECT_EQ(shell(dbFile(), "select count(*) from pragma_table_info('rl_indexes') where name='condition'"), "1");
}

TEST_F(EngineTest, ConditionalIndexHoldsOnlyTheRowsItsConditionAccepts) {
  auto c = connect();
  createItems(c.database.get());
  {
    ZVTable t(c.database.get());
    t.Open("items", 1);
    RLHANDLE ix = rlAddIndex(t.GetHandle(), "big", 0, 0, 0);  // unique among the rows it holds
    ASSERT_NE(rlAddSegment(ix, rlGetFieldByName(t.GetHandle(), "qty"), 12), nullptr);
    const char* refused[] = {"nosuch > 1", "qty > 5; DROP TABLE items", "qty >", "qty > 5) OR (1 = 1"};
    for (const char* condition : refused) EXPECT_EQ(rlSetIndexCondition(ix, condition), RL_BAD_FILTER) << condition;
    ASSERT_EQ(rlSetIndexCondition(ix, "qty > 5 AND name <> 'it''s'"), 0);
    t.Alter(0);
  }
  EXPECT_EQ(shell(dbFile(), "select condition from rl_indexes where name='big'"), "qty > 5 AND name <> 'it''s'");
  std::string sql = shell(dbFile(), "select sql from sqlite_master where name='items.big'");
  EXPECT_NE(sql.find(R"(WHERE (("qty" > 5) AND ("name" IS NOT 'it''s')))"), std::string::npos) << sql;

  OpenedItems o = openItemsByQty();
  insertItem(*o.record, "small", 2);
  insertItem(*o.record, "again", 2);  // outside the condition: no uniqueness
  insertItem(*o.record, "it's", 9);
  insertItem(*o.record, "big", 9);
  insertItem(*o.record, "bigger", 12);
  EXPECT_EQ(codeOf([&] { insertItem(*o.record, "twin", 12); }), RL_DUPLICATE_KEY);
  o.record->SetDefaultIndex("big");
  EXPECT_EQ(walkNames(*o.record, o.record->First()), (std::vector<std::string>{"big", "bigger"}));
  o.record->Clear();
  o.record->SetFieldAsSigned("qty", 2);
  EXPECT_EQ(o.record->Find(RL_FIND_EQ), 0);
  o.record->SetFieldAsSigned("qty", 0);
  EXPECT_EQ(walkNames(*o.record, o.record->Find(RL_FIND_GE)), (std::vector<std::string>{"big", "bigger"}));

  char text[64];
  RLHANDLE big = rlGetIndexByName(o.table->GetHandle(), "big");
  ASSERT_EQ(rlGetIndexCondition(big, text, sizeof text), 0);
  EXPECT_EQ(std::string(text), "qty > 5 AND name <> 'it''s'");
  EXPECT_EQ(rlGetIndexCondition(rlGetIndexByName(o.table->GetHandle(), "items_qty"), text, sizeof text), 0);
  EXPECT_EQ(std::string(text), "");
  // A field the condition names cannot go while the index needs it.
  ZVTable t(c.database.get());
  t.Open("items", 1);
  ASSERT_EQ(rlDeleteField(t.GetHandle(), 1), 0);  // "name"
  EXPECT_EQ(codeOf([&] { t.Alter(0); }), RL_BAD_FILTER);
}

TEST_F(EngineTest, TableMovesToAnotherDatabaseWithRowsIndexesAndIds) {
  auto c = connect();
  createItems(c.database.get());
  {
    OpenedItems o = openItemsByQty();
    insertItem(*o.record, "pen", 3);
    insertItem(*o.record, "cup", 1);
    insertItem(*o.record, "gone", 7);
    o.record->Last();
    o.record->Delete();  // the next id stays above it
  }
  c.session->CreateDatabase("other", "");
  ZVDatabase other(c.session.get());
  other.Connect("other");
  std::string from = c.database->GetPath();

  // Dropping a table no AddTable copied would lose its rows.
  EXPECT_EQ(codeOf([&] { c.database->DropTable("items"); }), RL_BAD_ARGUMENT);
  EXPECT_EQ(codeOf([&] { other.AddTable("items", "/etc/passwd"); }), RL_BAD_PATH);
  EXPECT_EQ(codeOf([&] { other.AddTable("items", (root_ + "/SRV/../../x.db").c_str()); }), RL_BAD_PATH);
  EXPECT_EQ(codeOf([&] { other.AddTable("nosuch", from.c_str()); }), RL_NO_TABLE);
  EXPECT_EQ(codeOf([&] { c.database->AddTable("items", from.c_str()); }), RL_BAD_ARGUMENT);

  other.AddTable("items", from.c_str());
  EXPECT_EQ(codeOf([&] { other.AddTable("items", from.c_str()); }), RL_TABLE_EXISTS);
  c.database->DropTable("items");
  EXPECT_EQ(shell(dbFile(), "select count(*) from sqlite_master where tbl_name='items'"), "0");
  EXPECT_EQ(shell(dbFile(), "select count(*) from rl_tables"), "0");
  EXPECT_EQ(shell(dbFile("other"), "select group_concat(name || '=' || qty) from items"), "pen=3,cup=1");
  EXPECT_EQ(shell(dbFile("other"),
                  "select count(*) from sqlite_master where name in ('items.items_name', 'items.items_qty')"),
            "2");

  ZVTable t(&other);
  t.Open("items", 0);
  ZVRecord r(&t);
  r.SetDefaultIndex("items_qty");
  EXPECT_EQ(walkNames(r, r.First()), (std::vector<std::string>{"cup", "pen"}));
  insertItem(r, "new", 5);
  EXPECT_EQ(r.GetRowid(), 4);  // ids are never reused
  EXPECT_EQ(codeOf([&] { insertItem(r, "pen", 8); }), RL_DUPLICATE_KEY);

  // Written after the copy: the table stays in both rather than losing the write.
  c.database->AddTable("items", other.GetPath());
  insertItem(r, "late", 6);
  EXPECT_EQ(codeOf([&] { other.DropTable("items"); }), RL_BAD_ARGUMENT);
  EXPECT_EQ(shell(dbFile("other"), "select count(*) from items"), "4");
}

TEST_F(EngineTest, CachedDefinitionsFollowChangesMadeElsewhere) {
  auto a = connect();
  createItems(a.database.get());
  auto openedFields = [&](Connected& c) {
    ZVTable t(c.database.get());
    t.Open("items", 0);
    return t.GetFieldCount();
  };
  EXPECT_EQ(openedFields(a), 4);
  // Another session of this process stores a new field.
  auto b = connect();
  {
    ZVTable t(b.database.get());
    t.Open("items", 1);
    t.AddField("extra", 51, 4);
    t.Alter(0);
  }
  EXPECT_EQ(openedFields(a), 5);
  // Another process (an engine elsewhere) changes the catalog.
  shell(dbFile(),
        "update rl_fields set length = 99 where tbl = 'items' and name = 'qty';"
        " update rl_schema set value = value + 1 where key = 'catalog_generation'");
  ZVTable t(a.database.get());
  t.Open("items", 0);
  EXPECT_EQ(t.GetField("qty")->GetLength(), 99);
  t.Close();
  // A read by id as the first call after an open sees a field another
  // process added since, and so do the next reads.
  int64_t id = 0;
  {
    ZVTable w(a.database.get());
    w.Open("items", 0);
    ZVRecord r(&w);
    insertItem(r, "pen", 3);
    id = r.GetRowid();
  }
  shell(dbFile(),
        "alter table items add column note TEXT; update items set note = 'kept';"
        " insert into rl_fields(tbl, pos, name, type, length, scale, binary_flag, auto_timestamp)"
        " values('items', 5, 'note', 146, 32, 0, 4, 0);"
        " update rl_schema set value = value + 1 where key = 'catalog_generation'");
  for (int round = 0; round < 2; ++round) {
    ZVTable w(a.database.get());
    w.Open("items", 0);
    ZVRecord r(&w);
    r.Clear();
    ASSERT_EQ(r.FindRowid(id, 0), 1);
    EXPECT_EQ(r.GetFieldAsString("note"), "kept");
    EXPECT_EQ(r.GetFieldAsString("name"), "pen");
    EXPECT_EQ(w.GetFieldCount(), 6);
  }
  // Deleted and made again with another definition.
  t.Close();
  b.database->DeleteTable("items", "");
  {
    ZVTable n(b.database.get());
    n.AddField("only", 51, 4);
    n.Create("items", 2);
  }
  EXPECT_EQ(openedFields(a), 1);
}

// A client finds a field's number by name, then sets the value by number: on
// a table opened from a cached definition, both must speak of the file's
// definition as it is now, though another process reordered its fields.
TEST_F(EngineTest, FieldNumbersByNameFollowFieldsReorderedElsewhere) {
  auto a = connect();
  createItems(a.database.get());
  {
    ZVTable t(a.database.get());
    t.Open("items", 0);
    ZVRecord r(&t);
    insertItem(r, "cup", 1);
  }
  shell(dbFile(),
        "update rl_fields set pos = -pos where tbl = 'items' and pos in (1, 2);"
        " update rl_fields set pos = 3 + pos where tbl = 'items' and pos < 0;"
        " update rl_segments set field = 3 - field where tbl = 'items' and field in (1, 2);"
        " update rl_schema set value = value + 1 where key = 'catalog_generation'");
  ZVTable t(a.database.get());
  t.Open("items", 0);
  RLHANDLE record = rlAllocRecord(t.GetHandle());
  ASSERT_NE(record, nullptr);
  int name = rlGetFieldNumberByName(record, "name"), qty = rlGetFieldNumberByName(record, "qty");
  EXPECT_EQ(name, 2);
  EXPECT_EQ(rlSetFieldAsText(record, name, "pen"), 0);
  EXPECT_EQ(rlSetFieldAsInt64(record, qty, 7), 0);
  EXPECT_EQ(rlWriteRecord(record), 0);
  rlFreeRecord(record);
  EXPECT_EQ(shell(dbFile(), "select name, qty from items order by id"), "cup|1\npen|7");
}
