// The runtime library: exception copies, the allocator, and every zvJson
// function with its ownership rules (the sanitizers turn a double free or a
// leaked tree into a failure).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VOKTBasic.h"

namespace {

using JsonPtr = zvJsonPtr;

std::string text(json_object* value) { return zvJsonToString(value) ? zvJsonToString(value) : "<null>"; }

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/voktbasic_test.XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }
  std::string path() const { return path_; }

 private:
  std::string path_;
};

TEST(YXExceptionTest, KeepsOwnCopyOfMessageAndCode) {
  char message[] = "first text";
  YXException error("YXTest::Run", YX_KIND_OPERATION, 4711, message, __FILE__, __LINE__);
  message[0] = 'X';
  EXPECT_EQ(error.GetErrorCode(), 4711);
  EXPECT_STREQ(error.GetErrorMsg(), "first text");
  EXPECT_STREQ(error.GetFunction(), "YXTest::Run");

  YXException older(0, nullptr, "f", YX_KIND_SYSTEM, 8001, nullptr, nullptr, 0);
  EXPECT_STREQ(older.GetErrorMsg(), "");
  older = error;
  EXPECT_STREQ(older.GetErrorMsg(), "first text");
  EXPECT_EQ(older.GetErrorCode(), 4711);
}

TEST(YXExceptionTest, LongMessageIsCutTo1023Characters) {
  std::string longText(3000, 'm');
  YXException error("f", YX_KIND_OPERATION, 1, longText.c_str(), __FILE__, __LINE__);
  EXPECT_EQ(std::string(error.GetErrorMsg()), std::string(1023, 'm'));
}

TEST(YXExceptionTest, CaughtByReferenceAfterCopyAndAsStdException) {
  try {
    try {
      throw YXException("inner", YX_KIND_NOT_FOUND, 100, "Key not found", __FILE__, __LINE__);
    } catch (const YXException& inner) {
      throw YXException(inner);  // a catch block throws a copy on
    }
  } catch (const std::exception& outer) {
    const auto* error = dynamic_cast<const YXException*>(&outer);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->GetErrorCode(), 100);
    EXPECT_STREQ(outer.what(), "Key not found");
  }
}

TEST(VOKTAllocTest, SizesAndFree) {
  void* empty = VOKTAlloc(0);
  EXPECT_NE(empty, nullptr);
  VOKTFree(empty);
  EXPECT_EQ(VOKTAlloc(-1), nullptr);
  char* block = static_cast<char*>(VOKTAlloc(16));
  ASSERT_NE(block, nullptr);
  block[15] = 'x';
  VOKTFree(block);
  VOKTFree(nullptr);
}

TEST(ZvJsonTest, TypedMembersRoundTripThroughText) {
  JsonPtr object(zvJsonAlloc());
  EXPECT_EQ(zvJsonAddString(object.get(), "s", "a/b \"q\""), 0);
  EXPECT_EQ(zvJsonAddInt(object.get(), "i", -42), 0);
  EXPECT_EQ(zvJsonAddBigint(object.get(), "b", 9007199254740993LL), 0);
  EXPECT_EQ(zvJsonAddBoolean(object.get(), "t", 7), 0);
  EXPECT_EQ(zvJsonAddDouble(object.get(), "d", 2.5), 0);
  EXPECT_EQ(zvJsonAddString(object.get(), "n", nullptr), 0);
  json_object* list = zvJsonAllocArray();
  EXPECT_EQ(zvJsonArrayAdd(list, zvJsonAllocInt(1)), 0);
  EXPECT_EQ(zvJsonArrayAdd(list, zvJsonAllocString("two")), 0);
  EXPECT_EQ(zvJsonArrayAdd(list, zvJsonAllocBigint(-3)), 0);
  EXPECT_EQ(zvJsonArrayAdd(list, zvJsonAllocBoolean(0)), 0);
  EXPECT_EQ(zvJsonArrayAdd(list, zvJsonAllocDouble(0.5)), 0);
  EXPECT_EQ(zvJsonAdd(object.get(), "list", list, 0), 0);

  std::string serialised = text(object.get());
  EXPECT_NE(serialised.find("\"s\":\"a/b \\\"q\\\"\""), std::string::npos) << serialised;
  JsonPtr back(zvJsonFromString(serialised.c_str()));
  ASSERT_TRUE(back);

  const char* s = nullptr;
  int32_t i = 0;
  int64_t b = 0;
  int t = 0;
  bool tb = false;
  json_object* array = nullptr;
  json_object* member = nullptr;
  EXPECT_TRUE(zvJsonGetStringByName(back.get(), "s", &s));
  EXPECT_STREQ(s, "a/b \"q\"");
  EXPECT_TRUE(zvJsonGetIntByName(back.get(), "i", &i));
  EXPECT_EQ(i, -42);
  EXPECT_TRUE(zvJsonGetBigintByName(back.get(), "b", &b));
  EXPECT_EQ(b, 9007199254740993LL);
  EXPECT_TRUE(zvJsonGetBooleanByName(back.get(), "t", &t));
  EXPECT_EQ(t, 1);
  EXPECT_TRUE(zvJsonGetBooleanByName(back.get(), "t", &tb));
  EXPECT_TRUE(tb);
  EXPECT_TRUE(zvJsonGetByName(back.get(), "d", &member));
  EXPECT_EQ(zvJsonGetType(member), json_type_double);
  EXPECT_DOUBLE_EQ(json_object_get_double(member), 2.5);

  ASSERT_TRUE(zvJsonGetArrayByName(back.get(), "list", &array));
  ASSERT_EQ(zvJsonArrayLength(array), 5);
  EXPECT_EQ(zvJsonGetInt(zvJsonArrayGetIdx(array, 0)), 1);
  EXPECT_STREQ(zvJsonGetString(zvJsonArrayGetIdx(array, 1)), "two");
  EXPECT_EQ(zvJsonGetBigint(zvJsonArrayGetIdx(array, 2)), -3);
  EXPECT_EQ(zvJsonGetBoolean(zvJsonArrayGetIdx(array, 3)), 0);
  EXPECT_TRUE(zvJsonArrayGetIdx(array, 4, &member));
  EXPECT_EQ(zvJsonGetType(member), json_type_double);
  EXPECT_FALSE(zvJsonArrayGetIdx(array, 5, &member));
  EXPECT_FALSE(zvJsonArrayGetIdx(array, -1, &member));
  EXPECT_EQ(zvJsonArrayGetIdx(array, 5), nullptr);
}

TEST(ZvJsonTest, AbsentNullAndWrongTypedMembers) {
  JsonPtr object(zvJsonFromString(R"({"n":null,"s":"x","i":12,"a":[1]})"));
  ASSERT_TRUE(object);
  json_object* member = reinterpret_cast<json_object*>(1);
  const char* s = "untouched";
  int32_t i = -1;

  EXPECT_TRUE(zvJsonGetByName(object.get(), "n", &member));  // present, JSON null
  EXPECT_EQ(member, nullptr);
  EXPECT_FALSE(zvJsonGetStringByName(object.get(), "n", &s));
  EXPECT_STREQ(s, "untouched");
  EXPECT_FALSE(zvJsonGetStringByName(object.get(), "missing", &s));
  EXPECT_FALSE(zvJsonGetIntByName(object.get(), nullptr, &i));
  EXPECT_FALSE(zvJsonGetArrayByName(object.get(), "s", &member));  // not an array
  EXPECT_TRUE(zvJsonGetStringByName(object.get(), "i", &s));       // json-c's conversion
  EXPECT_STREQ(s, "12");

  // Reads on null or on values of another kind never crash.
  EXPECT_FALSE(zvJsonGetByName(nullptr, "s", &member));
  JsonPtr number(zvJsonAllocInt(3));
  EXPECT_FALSE(zvJsonGetIntByName(number.get(), "s", &i));
  EXPECT_EQ(zvJsonArrayLength(number.get()), 0);
  EXPECT_EQ(zvJsonArrayGetIdx(number.get(), 0), nullptr);
  EXPECT_EQ(zvJsonGetString(nullptr), nullptr);
  EXPECT_EQ(zvJsonGetType(nullptr), json_type_null);
  EXPECT_EQ(zvJsonToString(nullptr), nullptr);
  zvJsonRelease(nullptr);
}

TEST(ZvJsonTest, AddOwnershipFlagsAndReplacement) {
  JsonPtr first(zvJsonAlloc());
  JsonPtr second(zvJsonAlloc());
  json_object* shared = zvJsonAllocString("shared");
  // flag 0 hands the value to first; flag 1 lets second hold a reference too.
  ASSERT_EQ(zvJsonAdd(first.get(), "v", shared, 0), 0);
  ASSERT_EQ(zvJsonAdd(second.get(), "v", shared, 1), 0);
  first.reset();
  EXPECT_EQ(text(second.get()), R"({"v":"shared"})");

  // Replacing a key releases the old value; re-adding the same value is harmless.
  ASSERT_EQ(zvJsonAddInt(second.get(), "v", 5), 0);
  json_object* five = nullptr;
  ASSERT_TRUE(zvJsonGetByName(second.get(), "v", &five));
  EXPECT_EQ(zvJsonAdd(second.get(), "v", five, 0), 0);
  EXPECT_EQ(zvJsonAdd(second.get(), "v", five, 1), 0);
  EXPECT_EQ(text(second.get()), R"({"v":5})");

  EXPECT_EQ(zvJsonAdd(second.get(), "nothing", nullptr, 0), 0);
  EXPECT_EQ(text(second.get()), R"({"v":5,"nothing":null})");
}

TEST(ZvJsonTest, FailedAddsReleaseWhatWasHandedOver) {
  JsonPtr array(zvJsonAllocArray());
  JsonPtr object(zvJsonAlloc());
  // Each value below would leak (and fail the leak check) if a failed add kept it.
  EXPECT_EQ(zvJsonAdd(array.get(), "k", zvJsonAllocString("lost?"), 0), -1);
  EXPECT_EQ(zvJsonAdd(object.get(), nullptr, zvJsonAllocInt(1), 0), -1);
  EXPECT_EQ(zvJsonAdd(nullptr, "k", zvJsonAlloc(), 0), -1);
  EXPECT_EQ(zvJsonArrayAdd(object.get(), zvJsonAllocInt(2)), -1);
  EXPECT_EQ(zvJsonAddInt(array.get(), "k", 3), -1);
  EXPECT_EQ(zvJsonAdd(object.get(), "self", object.get(), 0), -1);

  // With flag 1 the caller's own reference survives the failure.
  JsonPtr kept(zvJsonAllocString("kept"));
  EXPECT_EQ(zvJsonAdd(array.get(), "k", kept.get(), 1), -1);
  EXPECT_STREQ(zvJsonGetString(kept.get()), "kept");
}

TEST(ZvJsonTest, FromStringAcceptsJsonOnly) {
  struct Case {
    const char* input;
    bool valid;
  } cases[] = {
      {R"({"a":[1,2,{"b":null}]})", true},
      {"  [1, 2]  \n", true},
      {"12", true},
      {"\"text\"", true},
      {"", false},
      {"{", false},
      {"{} trailing", false},
      {"[1] [2]", false},
      {"{\"a\":}", false},
      {"nul", false},
  };
  for (const Case& c : cases) {
    json_object* out = reinterpret_cast<json_object*>(1);
    JsonPtr value(zvJsonFromString(c.input, &out));
    EXPECT_EQ(value != nullptr, c.valid) << c.input;
    EXPECT_EQ(out, value.get()) << c.input;
  }
  EXPECT_EQ(zvJsonFromString(nullptr), nullptr);
}

std::string nested(int depth) { return std::string(size_t(depth), '[') + std::string(size_t(depth), ']'); }

std::string zeros(size_t count) {
  std::string text = "[0";
  for (size_t i = 1; i < count; ++i) text += ",0";
  return text + "]";
}

TEST(ZvJsonTest, ParsesStayWithinDepthAndValueBounds) {
  struct Case {
    std::string what;
    std::string input;
    VOKTJsonParseError error;
    size_t offset;
  } cases[] = {
      {"deepest allowed", nested(VOKT_JSON_MAX_DEPTH), VOKT_JSON_PARSED, 0},
      {"one level deeper", nested(VOKT_JSON_MAX_DEPTH + 1), VOKT_JSON_TOO_DEEP, size_t(VOKT_JSON_MAX_DEPTH)},
      {"4,000 deep", nested(4000), VOKT_JSON_TOO_DEEP, size_t(VOKT_JSON_MAX_DEPTH)},
      {"most values", zeros(VOKT_JSON_MAX_VALUES - 1), VOKT_JSON_PARSED, 0},
      {"too many values", zeros(VOKT_JSON_MAX_VALUES + 1), VOKT_JSON_TOO_LARGE, 0},
      // Commas inside strings are no values.
      {"commas in a string", "[\"" + std::string(VOKT_JSON_MAX_VALUES * 2, ',') + "\"]", VOKT_JSON_PARSED, 0},
      {"syntax fault", "{\n  \"a\": 1,\n  \"b\" 2\n}", VOKT_JSON_SYNTAX, 18},  // at the "2"
  };
  for (const Case& c : cases) {
    JsonPtr value(zvJsonFromString(c.input.c_str()));
    const VOKTJsonParseStatus status = zvJsonLastParseStatus();
    EXPECT_EQ(value != nullptr, c.error == VOKT_JSON_PARSED) << c.what;
    EXPECT_EQ(status.error, c.error) << c.what;
    if (c.error != VOKT_JSON_PARSED) {
      EXPECT_EQ(status.offset, c.offset) << c.what;
    }
  }
}

TEST(ZvJsonTest, LargeTreesAliveAtOnceShareTheBudget) {
  // Each tree is estimated at about a sixth of the budget: six fit, the
  // seventh waits for one to be freed, by whoever frees it.
  const std::string text = zeros(VOKT_JSON_PARSE_BUDGET / 6 / 100);
  std::vector<JsonPtr> alive;
  for (int i = 0; i < 12; ++i) {
    JsonPtr value(zvJsonFromString(text.c_str()));
    if (!value) break;
    alive.push_back(std::move(value));
  }
  ASSERT_GE(alive.size(), 4u);
  ASSERT_LT(alive.size(), 12u);
  EXPECT_EQ(zvJsonFromString(text.c_str()), nullptr);
  EXPECT_EQ(zvJsonLastParseStatus().error, VOKT_JSON_BUSY);
  // Small documents are never held back.
  JsonPtr small(zvJsonFromString("[1,2,3]"));
  EXPECT_NE(small, nullptr);
  json_object_put(alive.back().release());
  alive.pop_back();
  JsonPtr again(zvJsonFromString(text.c_str()));
  EXPECT_NE(again, nullptr);
  alive.clear();
  again.reset();
  // A tree alone always fits, however large.
  JsonPtr alone(zvJsonFromString(zeros(VOKT_JSON_MAX_VALUES - 1).c_str()));
  EXPECT_NE(alone, nullptr);
}

TEST(ZvJsonTest, TimestampsAcross1970And2038And2100) {
  JsonPtr object(zvJsonAlloc());
  EXPECT_EQ(zvJsonAddTimestamp(object.get(), "epoch", 0), 0);
  EXPECT_EQ(zvJsonAddTimestamp(object.get(), "y2038", 2147483648LL), 0);
  EXPECT_EQ(zvJsonAddTimestamp(object.get(), "y2100", 4102444800LL), 0);
  EXPECT_EQ(text(object.get()), R"({"epoch":"1970-01-01T00:00:00Z","y2038":"2038-01-19T03:14:08Z",)"
                                R"("y2100":"2100-01-01T00:00:00Z"})");
}

TEST(ZvJsonTest, FileDumpAndLoadRoundTrip) {
  TempDir dir;
  std::string path = dir.file("servers.json");
  JsonPtr servers(zvJsonFromString(R"({"Servers":[{"name":"a","port":6597}]})"));
  ASSERT_EQ(zvJsonFileDumpExt(path.c_str(), servers.get()), 0);
  ::chmod(path.c_str(), 0640);

  json_object* out = nullptr;
  JsonPtr loaded(zvJsonFileLoad(path.c_str(), &out));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(out, loaded.get());
  EXPECT_EQ(text(loaded.get()), text(servers.get()));

  // Rewriting keeps the file's permissions and leaves no temporary file.
  zvJsonAddInt(servers.get(), "version", 2);
  ASSERT_EQ(zvJsonFileDumpExt(path.c_str(), servers.get()), 0);
  struct stat info;
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
  JsonPtr again(zvJsonFileLoad(path.c_str()));
  EXPECT_EQ(text(again.get()), text(servers.get()));
}

TEST(ZvJsonTest, FileErrors) {
  TempDir dir;
  JsonPtr object(zvJsonAlloc());
  EXPECT_EQ(zvJsonFileDumpExt(dir.file("no/such/dir.json").c_str(), object.get()), ENOENT);
  EXPECT_NE(zvJsonFileDumpExt(dir.file("x.json").c_str(), nullptr), 0);
  EXPECT_NE(zvJsonFileDumpExt(nullptr, object.get()), 0);

  json_object* out = reinterpret_cast<json_object*>(1);
  EXPECT_EQ(zvJsonFileLoad(dir.file("missing.json").c_str(), &out), nullptr);
  EXPECT_EQ(out, nullptr);
  std::ofstream(dir.file("bad.json")) << "{\"cut\": [1, 2";
  EXPECT_EQ(zvJsonFileLoad(dir.file("bad.json").c_str()), nullptr);
  // A NUL byte is no JSON text: what follows it is not ignored, the file is refused.
  using namespace std::string_literals;
  for (const std::string& content : {"{\"a\":1}\0garbage"s, "{\"a\":1}\0"s, "{\"a\":\"x\0y\"}"s}) {
    std::ofstream(dir.file("nul.json"), std::ios::binary) << content;
    EXPECT_EQ(zvJsonFileLoad(dir.file("nul.json").c_str()), nullptr) << content.size();
  }

  // A dump through a symbolic link replaces the target, not the link.
  std::string target = dir.file("target.json");
  std::string link = dir.file("link.json");
  ASSERT_EQ(zvJsonFileDumpExt(target.c_str(), object.get()), 0);
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  zvJsonAddInt(object.get(), "n", 1);
  ASSERT_EQ(zvJsonFileDumpExt(link.c_str(), object.get()), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  JsonPtr viaTarget(zvJsonFileLoad(target.c_str()));
  EXPECT_EQ(text(viaTarget.get()), R"({"n":1})");
}

TEST(ZvJsonTest, ReplyMarksLastCallWins) {
  JsonPtr reply(zvJsonAlloc());
  zvJsonAddString(reply.get(), "data", "kept");
  zvJsonSetSuccess(reply.get());
  EXPECT_EQ(zvJsonSetError(-1, "/path/servers.json", reply.get()), -1);
  EXPECT_EQ(text(reply.get()), R"({"data":"kept","success":false,"errorCode":-1,"errorMessage":"/path/servers.json"})");

  zvJsonSetSuccess(reply.get());
  EXPECT_EQ(text(reply.get()), R"({"data":"kept","success":true})");

  zvJsonSetError(0, "Success", reply.get());
  int success = 0;
  int32_t code = -5;
  EXPECT_TRUE(zvJsonGetBooleanByName(reply.get(), "success", &success));
  EXPECT_EQ(success, 1);
  EXPECT_TRUE(zvJsonGetIntByName(reply.get(), "errorCode", &code));
  EXPECT_EQ(code, 0);

  json_object* slot = nullptr;  // the slot form makes the reply when it is empty
  EXPECT_EQ(zvJsonSetError(9007, nullptr, &slot), 9007);
  JsonPtr made(slot);
  EXPECT_EQ(text(made.get()), R"({"success":false,"errorCode":9007,"errorMessage":""})");

  JsonPtr notAnObject(zvJsonAllocArray());
  zvJsonSetError(1, "x", notAnObject.get());
  zvJsonSetSuccess(notAnObject.get());
  EXPECT_EQ(text(notAnObject.get()), "[]");
}

}  // namespace
