// The shared pieces of the applications. Expiry runs on a clock the test
// moves itself: no test sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "appkit.h"

namespace {

// ---- keyword files ----------------------------------------------------------------------------

struct KeywordCase {
  const char* line;
  bool parsed;
  const char* key;
  const char* value;
};

void expectLines(const appkit::KeywordRules& rules, const std::vector<KeywordCase>& cases) {
  for (const KeywordCase& c : cases) {
    appkit::KeywordLine line;
    bool parsed = appkit::parseKeywordLine(c.line, rules, &line);
    EXPECT_EQ(parsed, c.parsed) << "[" << c.line << "]";
    if (!parsed || !c.parsed) continue;
    EXPECT_EQ(line.key, c.key) << "[" << c.line << "]";
    EXPECT_EQ(line.value, c.value) << "[" << c.line << "]";
  }
}

// The documented rule: white space separates, ";" starts a comment, the value
// is the next word (empty when there is none).
TEST(KeywordFile, DocumentedRule) {
  expectLines(appkit::KeywordRules{}, {
                                          {"SYS_BROKER_HOST broker.local\n", true, "SYS_BROKER_HOST", "broker.local"},
                                          {"  \tKEY\tvalue  more\r\n", true, "KEY", "value"},
                                          {"KEY\n", true, "KEY", ""},
                                          {"KEY   \r\n", true, "KEY", ""},
                                          {"; KEY value\n", false, "", ""},
                                          {"   ;KEY value", false, "", ""},
                                          {"/KEY value", true, "/KEY", "value"},
                                          {"\n", false, "", ""},
                                          {"  \t \r\n", false, "", ""},
                                      });
}

// The tools' files: only blanks separate, so a tab belongs to its word; a
// line needs a key and a value.
TEST(KeywordFile, ToolRule) {
  expectLines(appkit::kToolConfigRules, {
                                            {"CONN_POOL_SIZE 5\n", true, "CONN_POOL_SIZE", "5"},
                                            {"   conn_pool_size   7\r\n", true, "conn_pool_size", "7"},
                                            {"CONN_POOL_SIZE\t5\n", false, "", ""},
                                            {"INACTIVE_TIMEOUT \t60\n", true, "INACTIVE_TIMEOUT", "60"},
                                            {"INACTIVE_TIMEOUT 60\t; note\n", true, "INACTIVE_TIMEOUT", "60\t;"},
                                            {";CONN_POOL_SIZE 5\n", false, "", ""},
                                            {"CONN_POOL_SIZE\n", false, "", ""},
                                        });
}

// The authentication set: "/" comments too, the value is the rest of the
// line without its trailing white space.
TEST(KeywordFile, RestOfLineRule) {
  const appkit::KeywordRules rules{false, ";/", true, false};
  expectLines(rules, {
                         {"USERID ADMIN\r\n", true, "USERID", "ADMIN"},
                         {"PASSWD  two words \t\r", true, "PASSWD", "two words"},
                         {"// USERID x", false, "", ""},
                         {"/USERID x", false, "", ""},
                         {"PASSWD", true, "PASSWD", ""},
                     });
}

TEST(KeywordFile, TextAndFileGiveEveryLineInOrder) {
  const char* text = "A 1\n; B 2\nC 3\n\nA 4";
  std::vector<std::string> seen;
  appkit::forEachKeyword(std::string_view(text), appkit::KeywordRules{}, [&](const appkit::KeywordLine& line) {
    seen.push_back(std::string(line.key) + "=" + std::string(line.value));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"A=1", "C=3", "A=4"}));

  // A line longer than a read is taken in pieces, each a line of its own.
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  std::string longValue(1500, 'x');
  fprintf(file, "KEY %s\nNEXT 2\n", longValue.c_str());
  rewind(file);
  seen.clear();
  appkit::forEachKeyword(file, appkit::KeywordRules{},
                         [&](const appkit::KeywordLine& line) { seen.push_back(std::string(line.key)); });
  fclose(file);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], "KEY");
  EXPECT_EQ(seen[1], std::string(1500 - 1019, 'x'));
  EXPECT_EQ(seen[2], "NEXT");
}

// ---- codecs and tokens --------------------------------------------------------------------------

TEST(Codec, Base64KeepsEveryByteAndStopsOutsideTheAlphabet) {
  struct Case {
    const char* text;
    std::string decoded;
  } cases[] = {
      {"QURNSU4=", "ADMIN"},
      {"VFJVVkU", "TRUVE"},
      {"QURNSU4AanVuaw==", std::string("ADMIN\0junk", 10)},
      {"QU JN", "A"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(appkit::base64Decode(c.text), c.decoded) << c.text;
    EXPECT_EQ(appkit::base64DecodedLength(c.text), c.decoded.size()) << c.text;
  }
  EXPECT_EQ(appkit::base64Decode(nullptr), "");
}

TEST(Codec, HexAndTokens) {
  const unsigned char bytes[] = {0x00, 0x9f, 0xa0, 0xff};
  EXPECT_EQ(appkit::hexText(bytes, sizeof bytes, false), "009fa0ff");
  EXPECT_EQ(appkit::hexText(bytes, sizeof bytes, true), "009FA0FF");

  std::string small = appkit::randomToken();
  std::string large = appkit::randomToken(64, true);
  EXPECT_EQ(small.size(), 32u);
  EXPECT_EQ(large.size(), 128u);
  EXPECT_EQ(small.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(large.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_NE(small, appkit::randomToken());

  EXPECT_TRUE(appkit::tokensEqual(small, small.c_str()));
  EXPECT_FALSE(appkit::tokensEqual(small, large.c_str()));
  EXPECT_FALSE(appkit::tokensEqual(small, small.substr(1).c_str()));
  EXPECT_FALSE(appkit::tokensEqual("", ""));  // a free slot's empty token matches nothing
  EXPECT_FALSE(appkit::tokensEqual(small, nullptr));
}

// ---- the token registry on an injected clock ----------------------------------------------------

TEST(TokenRegistry, EntriesExpireOnceUnusedForTheIdleTime) {
  int64_t now = 1000;
  appkit::TokenRegistry<int> registry(600, [&] { return now; });
  registry.add("a", 1);
  registry.add("b", 2);
  now += 500;
  ASSERT_NE(registry.find("a"), nullptr);  // a use starts a's idle time again
  EXPECT_EQ(registry.remainingMs("b"), 100);
  EXPECT_EQ(registry.find("b", false) != nullptr, true);  // a look without touch keeps b's time
  now += 100;
  std::vector<std::string> expired;
  EXPECT_EQ(registry.expire([&](const std::string& token, int&) { expired.push_back(token); }), 1u);
  EXPECT_EQ(expired, std::vector<std::string>{"b"});
  EXPECT_EQ(registry.find("b"), nullptr);
  EXPECT_EQ(registry.remainingMs("b"), -1);
  EXPECT_EQ(registry.size(), 1u);

  // An expired entry met by a lookup is gone, even before the next expiry pass.
  now += 600;
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_EQ(registry.findIf([](int value) { return value == 1; }), nullptr);
  EXPECT_EQ(registry.find("a"), nullptr);
  EXPECT_EQ(registry.size(), 0u);
}

// A lookup that meets an expired entry hands it over before it is dropped,
// so that what it holds elsewhere can go with it; the live ones are visited.
TEST(TokenRegistry, ALookupHandsOverTheExpiredEntryItDrops) {
  int64_t now = 0;
  appkit::TokenRegistry<int> registry(100, [&] { return now; });
  registry.add("old", 1);
  now = 50;
  registry.add("new", 2);
  now = 100;
  std::vector<std::string> dropped;
  auto note = [&](const std::string& token, int& value) { dropped.push_back(token + "=" + std::to_string(value)); };
  EXPECT_EQ(registry.find("old", true, note), nullptr);
  EXPECT_EQ(registry.find("new", true, note) != nullptr, true);
  EXPECT_EQ(dropped, std::vector<std::string>{"old=1"});
  EXPECT_EQ(registry.count("old"), 0u);
  EXPECT_EQ(registry.count("new"), 1u);
  registry.add("stale", 3);
  now = 250;  // "stale" expired, "new" (used at 100) too
  registry.add("fresh", 4);
  std::vector<std::string> live;
  registry.forEach([&](const std::string& token, int&) { live.push_back(token); });
  EXPECT_EQ(live, std::vector<std::string>{"fresh"});
  EXPECT_EQ(registry.count("stale"), 1u);  // still held until a lookup or an expiry pass
}

// At the bound of the entries that match, the least recently used one that
// may go makes room, whatever order the tokens sort in; the uses count in
// order even within one tick of the clock. None may go: refused, nothing dropped.
TEST(TokenRegistry, MakeRoomDropsTheLeastRecentlyUsedThatMayGo) {
  int64_t now = 0;
  appkit::TokenRegistry<int> registry(1000, [&] { return now; });
  for (const char* token : {"c", "a", "b", "x"}) registry.add(token, token[0] == 'x' ? 100 : 1);
  ASSERT_NE(registry.find("c"), nullptr);  // now a is the least recently used, then b
  auto small = [](int value) { return value < 100; };
  auto any = [](int) { return true; };
  std::vector<std::string> dropped;
  auto note = [&](const std::string& token, int&) { dropped.push_back(token); };

  EXPECT_TRUE(registry.makeRoom(small, 4, any, note));  // three held: below the bound
  EXPECT_TRUE(dropped.empty());
  EXPECT_TRUE(registry.makeRoom(small, 3, any, note));
  EXPECT_EQ(dropped, std::vector<std::string>{"a"});

  *registry.find("b") = 0;  // b may not go now: c is the one
  auto notZero = [](int value) { return value != 0; };
  EXPECT_TRUE(registry.makeRoom(small, 2, notZero, note));
  EXPECT_EQ(dropped, (std::vector<std::string>{"a", "c"}));

  EXPECT_FALSE(registry.makeRoom(small, 1, notZero, note));  // only b, which may not go
  EXPECT_EQ(dropped.size(), 2u);
  EXPECT_EQ(registry.size(), 2u);  // b and x
}

// ---- the slot pool -------------------------------------------------------------------------------

struct TestSlot {
  std::string token;
  bool used = false;
  bool inUse() const { return used; }
};

TEST(SlotPool, FindsByTokenAndHandsOutFreeSlotsUntilFull) {
  appkit::SlotPool<TestSlot> pool(2);
  TestSlot* first = pool.firstFree();
  ASSERT_NE(first, nullptr);
  first->used = true;
  first->token = "t1";
  TestSlot* second = pool.firstFree();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  second->used = true;
  second->token = "t2";
  EXPECT_EQ(pool.firstFree(), nullptr);
  EXPECT_EQ(pool.find("t2"), second);
  EXPECT_EQ(pool.find("t3"), nullptr);
  EXPECT_EQ(pool.find(""), nullptr);  // never a free slot's empty token
  first->used = false;
  EXPECT_EQ(pool.firstFree(), first);
  EXPECT_EQ(pool.find("t1"), first);  // an expired slot keeps its token until it is taken again
}

// ---- the reaper ------------------------------------------------------------------------------------

// A reaper turns at once and again each period; stop wakes it however long
// its period is, and a second start or stop is harmless.
TEST(IdleReaper, TurnsAtOnceAndStopsWhenAsked) {
  std::mutex mutex;
  std::condition_variable turned;
  int turns = 0;
  appkit::IdleReaper reaper;
  EXPECT_FALSE(reaper.running());
  reaper.stop();
  reaper.start(std::chrono::hours(1), [&] {
    std::lock_guard<std::mutex> lock(mutex);
    ++turns;
    turned.notify_all();
  });
  EXPECT_TRUE(reaper.running());
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(turned.wait_for(lock, std::chrono::seconds(30), [&] { return turns >= 1; }));
  }
  reaper.stop();  // returns long before the hour is over
  EXPECT_FALSE(reaper.running());
  EXPECT_EQ(turns, 1);

  std::atomic<int> fastTurns{0};
  reaper.start(std::chrono::milliseconds(1), [&] {
    ++fastTurns;
    std::lock_guard<std::mutex> lock(mutex);
    turned.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(turned.wait_for(lock, std::chrono::seconds(30), [&] { return fastTurns >= 3; }));
  }
}  // the destructor stops the running reaper

}  // namespace
