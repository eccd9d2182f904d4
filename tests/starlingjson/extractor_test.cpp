// The JSON extractor library driven as the persistence engine drives it: bound
// with dlopen, every value grown into a heap block of exactly the size the
// library asked for (so one byte written too far is a sanitizer report).

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "starlingjson.h"

namespace {

struct Library {
  void* handle = nullptr;
  starlingjson_prepare_fn prepare = nullptr;
  starlingjson_release_fn release = nullptr;
  starlingjson_validate_fn validate = nullptr;
  starlingjson_extract_fn extract = nullptr;
  starlingjson_extract_list_fn extractList = nullptr;
};

const Library& lib() {
  static Library* loaded = [] {
    auto* l = new Library;
    std::string path = std::string(OSPREY_DIST_DIR) + "/web/starlingjson.so";
    l->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!l->handle) return l;
    l->prepare = reinterpret_cast<starlingjson_prepare_fn>(dlsym(l->handle, "mqttPrepare"));
    l->release = reinterpret_cast<starlingjson_release_fn>(dlsym(l->handle, "mqttRelease"));
    l->validate = reinterpret_cast<starlingjson_validate_fn>(dlsym(l->handle, "mqttValidate"));
    l->extract = reinterpret_cast<starlingjson_extract_fn>(dlsym(l->handle, "mqttExtract"));
    l->extractList = reinterpret_cast<starlingjson_extract_list_fn>(dlsym(l->handle, "mqttExtractList"));
    return l;
  }();
  return *loaded;
}

// A prepared message, released when it goes.
class Message {
 public:
  explicit Message(const std::string& payload) {
    // An exact heap copy: reading one byte past the payload is a report.
    std::unique_ptr<char[]> copy(new char[payload.size() + 1]);
    std::memcpy(copy.get(), payload.data(), payload.size());
    handle_ = lib().prepare(copy.get(), payload.size());
  }
  ~Message() { lib().release(handle_); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  int64_t handle() const { return handle_; }

 private:
  int64_t handle_ = 0;
};

struct Result {
  int32_t code = -1;
  std::string bytes;
  int32_t count = 0;
  std::string error;
  int rounds = 0;
};

// The engine's loop: start without a buffer, grow to exactly the size asked
// for. `call` (buffer, size, out needed size) answers the library's code.
template <typename Call>
void growAndRetry(Result& r, Call call) {
  std::unique_ptr<char[]> buffer;
  int32_t size = 0, needed = -1;
  for (r.rounds = 1; r.rounds <= 3; r.rounds++) {
    r.code = call(buffer.get(), size, &needed);
    if (r.code != STARLINGJSON_BUFFER_TOO_SMALL) break;
    if (needed <= size) {
      ADD_FAILURE() << "10020 without a larger needed size: " << needed;
      break;
    }
    size = needed;
    buffer.reset(new char[size_t(size)]);
  }
  if (r.code == 0) r.bytes.assign(buffer.get() ? buffer.get() : "", size_t(needed));
  if (r.code != 0 && r.code != STARLINGJSON_BUFFER_TOO_SMALL) {
    EXPECT_EQ(needed, 0) << "no size on an error";
  }
}

Result extract(const char* path, int32_t type, bool binary, int32_t format, int64_t context) {
  Result r;
  char error[STARLINGJSON_ERROR_TEXT_SIZE] = "untouched";
  growAndRetry(r, [&](char* buffer, int32_t size, int32_t* length) {
    return lib().extract(path, type, binary, format, context, buffer, size, length, error);
  });
  r.error = error;
  return r;
}

Result extractList(const char* path, int32_t type, bool binary, int32_t format, int64_t context) {
  Result r;
  char error[STARLINGJSON_ERROR_TEXT_SIZE] = "untouched";
  growAndRetry(r, [&](char* buffer, int32_t size, int32_t* needed) {
    return lib().extractList(path, type, binary, format, context, buffer, size, needed, &r.count, error);
  });
  r.error = error;
  return r;
}

template <typename T>
std::string bin(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}
std::string i32(int32_t v) { return bin(v); }
std::string i64(int64_t v) { return bin(v); }
std::string f64(double v) { return bin(v); }
std::string text(const std::string& s) { return s + std::string(1, '\0'); }
std::string entry(const std::string& value) { return i32(int32_t(value.size())) + value; }

// Splits a list buffer into its entries, reading every length within the buffer.
std::vector<std::string> entries(const Result& r) {
  std::vector<std::string> out;
  size_t at = 0;
  for (int32_t i = 0; i < r.count; i++) {
    int32_t length;
    if (at + sizeof length > r.bytes.size()) {
      ADD_FAILURE() << "entry " << i << " starts past the list";
      break;
    }
    std::memcpy(&length, r.bytes.data() + at, sizeof length);
    at += sizeof length;
    if (length < 0 || at + size_t(length) > r.bytes.size()) {
      ADD_FAILURE() << "entry " << i << " runs past the list";
      break;
    }
    out.push_back(r.bytes.substr(at, size_t(length)));
    at += size_t(length);
  }
  EXPECT_EQ(at, r.bytes.size()) << "bytes after the last entry";
  return out;
}

constexpr int32_t BIT = 8, TINYINT = 16, SMALLINT = 33, INTEGER = 51, DATE = 75, REAL = 91, DOUBLE = 103, NUMBER = 105,
                  CHAR = 144, VARCHAR = 146, VARBINARY = 162, LVARBINARY = 170, BIGINT = 231, TIMESTAMP = 257,
                  JSONTYPE = 259;
constexpr int32_t NONE = -1, BYTE_ARRAY = 0, HEX = 1, BASE64 = 2, TRUNCATE = 100, MMDDCCYY_TIME = 400, ISO8601 = 206;

struct ValueCase {
  const char* payload;
  const char* path;
  int32_t type;
  bool binary;
  int32_t format;
  int32_t code;
  std::string expected;  // the delivered bytes; empty: no value
};

TEST(StarlingJson, ExportsOnlyTheFiveEntryPoints) {
  ASSERT_NE(lib().handle, nullptr) << dlerror();
  EXPECT_TRUE(lib().prepare && lib().release && lib().validate && lib().extract && lib().extractList);
  EXPECT_EQ(dlsym(lib().handle, "_ZN2sj8Document7resolveESt17basic_string_viewIcSt11char_traitsIcEEiPi"), nullptr);
}

TEST(StarlingJson, ValuesInTheFormsOfTheirFieldTypes) {
  const ValueCase cases[] = {
      // numbers
      {R"({"t":21.5})", "t", DOUBLE, false, NONE, 0, f64(21.5)},
      {R"({"t":21})", "t", REAL, false, NONE, 0, f64(21)},
      {R"({"t":-0.25E+2})", "t", DOUBLE, false, NONE, 0, f64(-25)},
      {R"({"t":4e-320})", "t", DOUBLE, false, NONE, 0, f64(4e-320)},
      {R"({"t":"-2.5e3"})", "t", DOUBLE, false, NONE, 0, f64(-2500)},
      {R"({"t":"21.5 C"})", "t", DOUBLE, false, TRUNCATE, 0, f64(21.5)},
      {R"({"t":"21.5 C"})", "t", NUMBER, false, TRUNCATE, 0, text("21.5")},
      {R"({"t":"21.5 C"})", "t", DOUBLE, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"t":"+.5"})", "t", DOUBLE, false, NONE, 0, f64(0.5)},
      {R"({"t":"1e999"})", "t", DOUBLE, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"t":"1e-400"})", "t", DOUBLE, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"t":{}})", "t", DOUBLE, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"n":"42"})", "n", INTEGER, false, NONE, 0, i32(42)},
      {R"({"n":"+42"})", "n", INTEGER, false, NONE, 0, i32(42)},
      {R"({"n":-7})", "n", TINYINT, false, NONE, 0, i32(-7)},
      {R"({"n":2147483647})", "n", INTEGER, false, NONE, 0, i32(2147483647)},
      {R"({"n":2147483648})", "n", INTEGER, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"n":-2147483649})", "n", SMALLINT, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"n":1.5})", "n", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"n":"4 2"})", "n", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"n":true})", "n", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"n":9007199254740993})", "n", BIGINT, false, NONE, 0, i64(9007199254740993LL)},
      {R"({"n":"-9223372036854775808"})", "n", BIGINT, false, NONE, 0, i64(INT64_MIN)},
      {R"({"n":9223372036854775808})", "n", BIGINT, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"n":123456789012345678901234567890})", "n", BIGINT, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"n":"99999999999999999999"})", "n", BIGINT, false, NONE, STARLINGJSON_OUT_OF_RANGE, ""},
      {R"({"m":12345678901234567890.12})", "m", NUMBER, false, NONE, 0, text("12345678901234567890.12")},
      {R"({"m":"19.99"})", "m", NUMBER, false, NONE, 0, text("19.99")},
      {R"({"m":"n/a"})", "m", NUMBER, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      // booleans
      {R"({"b":true})", "b", BIT, false, NONE, 0, i32(1)},
      {R"({"b":"0"})", "b", BIT, false, NONE, 0, i32(0)},
      {R"({"b":2})", "b", BIT, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      // texts
      {R"({"s":"h\u00e9llo"})", "s", VARCHAR, false, NONE, 0, text("h\xc3\xa9llo")},
      {R"({"s":"\ud83d\ude00 \"\\\/\b\f\r\t"})", "s", VARCHAR, false, NONE, 0, text("\xf0\x9f\x98\x80 \"\\/\b\f\r\t")},
      {"\xef\xbb\xbf {\"s\" : \"\xe2\x82\xac\xf4\x8f\xbf\xbf\"}\r\n", "s", VARCHAR, false, NONE, 0, text("\xe2\x82\xac\xf4\x8f\xbf\xbf")},
      {R"({"s":""})", "s", VARCHAR, false, NONE, 0, text("")},
      {R"({"s":12.50})", "s", CHAR, false, NONE, 0, text("12.50")},
      {R"({"s":"a\u0000b"})", "s", VARCHAR, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"o":{"a":[1,"x\n"],"b":null}})", "o", JSONTYPE, false, NONE, 0, text(R"({"a":[1,"x\n"],"b":null})")},
      {R"({"s":"a\"b"})", "s", JSONTYPE, false, NONE, 0, text(R"("a\"b")")},
      {R"({"s":1.50})", "s", JSONTYPE, false, NONE, 0, text("1.50")},
      // binary
      {R"({"h":"DEADbeef"})", "h", VARBINARY, true, HEX, 0, "\xde\xad\xbe\xef"},
      {R"({"h":"abc"})", "h", VARBINARY, true, HEX, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"h":"zz"})", "h", VARBINARY, true, HEX, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"h":12})", "h", VARBINARY, true, HEX, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"b":"aGVsbG8="})", "b", LVARBINARY, true, BASE64, 0, "hello"},
      {R"({"b":"aGVsbG8"})", "b", LVARBINARY, true, BASE64, 0, "hello"},
      {R"({"b":"a==="})", "b", LVARBINARY, true, BASE64, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"b":"aG=sbG8="})", "b", LVARBINARY, true, BASE64, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"b":""})", "b", LVARBINARY, true, BASE64, 0, ""},
      {R"({"r":"a\u0000b"})", "r", LVARBINARY, true, BYTE_ARRAY, 0, std::string("a\0b", 3)},
      {R"({"r":[1,2]})", "r", LVARBINARY, true, BYTE_ARRAY, 0, "[1,2]"},
      // dates
      {R"({"d":"2024-02-29"})", "d", DATE, false, ISO8601, 0, i64(1709164800)},
      {R"({"d":"1969-12-31T23:59:59.5Z"})", "d", DATE, false, ISO8601, 0, i64(-1)},
      {R"({"d":"2023-02-29"})", "d", DATE, false, ISO8601, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"d":1700000000})", "d", DATE, false, ISO8601, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"ts":"1970-01-01T00:00:01.500Z"})", "ts", TIMESTAMP, false, ISO8601, 0, i64(1500)},
      {R"({"ts":"2024-05-01T12:00:00+02:00"})", "ts", TIMESTAMP, false, ISO8601, 0, i64(1714557600000LL)},
      {R"({"ts":"2024-05-01 12:00:07.1234"})", "ts", TIMESTAMP, false, ISO8601, 0, i64(1714564807123LL)},
      {R"({"ts":"2024-05-01T24:00"})", "ts", TIMESTAMP, false, ISO8601, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"ts":"05.01.2024 10:00"})", "ts", TIMESTAMP, false, MMDDCCYY_TIME, 0, text("05.01.2024 10:00")},
      // paths
      {R"({"a":{"b.c":{"x":[10,[20,30]]}}})", R"(a.b\.c.x[1][0])", INTEGER, false, NONE, 0, i32(20)},
      {R"([{"id":5}])", "[0].id", INTEGER, false, NONE, 0, i32(5)},
      {R"({"k\\e[y]":1})", R"(k\\e\[y\])", INTEGER, false, NONE, 0, i32(1)},
      {R"({"dup":1,"dup":2})", "dup", INTEGER, false, NONE, 0, i32(2)},
      {R"({"a":1})", "b", INTEGER, false, NONE, 0, ""},
      {R"({"a":null})", "a", INTEGER, false, NONE, 0, ""},
      {R"({"a":null})", "a.b[3]", INTEGER, false, NONE, 0, ""},
      {R"({"a":[1]})", "a[5]", INTEGER, false, NONE, 0, ""},
      {R"({"a":[1]})", "a[2147483647]", INTEGER, false, NONE, 0, ""},
      {R"({"a":5})", "a.b", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"a":{}})", "a[0]", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, ""},
      {R"({"a":1})", "a[", INTEGER, false, NONE, STARLINGJSON_BAD_PATH, ""},
      // arguments
      {R"({"a":1})", "a", INTEGER, false, TRUNCATE, STARLINGJSON_BAD_ARGUMENT, ""},
      {R"({"a":"00"})", "a", VARBINARY, true, 7, STARLINGJSON_BAD_ARGUMENT, ""},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(std::string(c.payload) + " " + c.path + " type " + std::to_string(c.type));
    Message message(c.payload);
    ASSERT_NE(message.handle(), 0);
    Result r = extract(c.path, c.type, c.binary, c.format, message.handle());
    EXPECT_EQ(r.code, c.code) << r.error;
    if (c.code == 0) {
      EXPECT_EQ(r.bytes, c.expected);
      EXPECT_EQ(r.rounds, c.expected.empty() ? 1 : 2) << "one round to learn the size, one to fill";
      EXPECT_EQ(r.error, "untouched") << "the error text is written only on errors";
    } else {
      EXPECT_FALSE(r.error.empty() || r.error == "untouched");
    }
  }
}

TEST(StarlingJson, TooSmallBufferAnswersTheExactNeededSizeAndWritesNothing) {
  Message message(R"({"s":"hello","v":[1,2,3]})");
  char error[STARLINGJSON_ERROR_TEXT_SIZE];
  int32_t length = -1;
  char buffer[16];
  for (int32_t size : {0, 1, 5}) {
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(lib().extract("s", VARCHAR, false, NONE, message.handle(), size ? buffer : nullptr, size, &length, error),
              STARLINGJSON_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 6);  // the text and its zero byte
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
  }
  EXPECT_EQ(lib().extract("s", VARCHAR, false, NONE, message.handle(), buffer, sizeof buffer, &length, error), 0);
  EXPECT_EQ(length, 6);
  EXPECT_STREQ(buffer, "hello");

  int32_t needed = -1, count = -1;
  EXPECT_EQ(lib().extractList("v", INTEGER, false, NONE, message.handle(), buffer, 23, &needed, &count, error),
            STARLINGJSON_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 24);
  EXPECT_EQ(count, 3);
  Result r = extractList("v", INTEGER, false, NONE, message.handle());
  EXPECT_EQ(r.bytes, entry(i32(1)) + entry(i32(2)) + entry(i32(3)));

  // Bad arguments are refused, never written through.
  EXPECT_EQ(lib().extract("s", VARCHAR, false, NONE, message.handle(), buffer, -1, &length, error),
            STARLINGJSON_BAD_ARGUMENT);
  EXPECT_EQ(lib().extract("s", VARCHAR, false, NONE, message.handle(), nullptr, 8, &length, error),
            STARLINGJSON_BAD_ARGUMENT);
  EXPECT_EQ(lib().extract("s", VARCHAR, false, NONE, message.handle(), buffer, 8, nullptr, error),
            STARLINGJSON_BAD_ARGUMENT);
  EXPECT_EQ(lib().extractList("v", INTEGER, false, NONE, message.handle(), buffer, 8, nullptr, &count, error),
            STARLINGJSON_BAD_ARGUMENT);
  EXPECT_EQ(lib().extract("s", VARCHAR, false, NONE, message.handle(), buffer, 8, &length, nullptr), 0);
}

TEST(StarlingJson, ListsDeliverOneEntryPerElement) {
  Message message(R"({"i":[1,-2,3],"s":["a",null,"bc",7],"b":["AQI=","Aw=="],"x":["x"],
                        "d":["2024-01-01"],"f":[0.5],"e":[],"n":null,"o":5,"bad":[1,"x"]})");
  struct ListCase {
    const char* path;
    int32_t type;
    bool binary;
    int32_t format;
    int32_t code;
    std::vector<std::string> expected;
  } cases[] = {
      {"i", INTEGER, false, NONE, 0, {i32(1), i32(-2), i32(3)}},
      {"i", BIGINT, false, NONE, 0, {i64(1), i64(-2), i64(3)}},
      {"f", DOUBLE, false, NONE, 0, {f64(0.5)}},
      {"s", VARCHAR, false, NONE, 0, {text("a"), "", text("bc"), text("7")}},
      {"b", LVARBINARY, true, BASE64, 0, {"\x01\x02", "\x03"}},
      {"x", LVARBINARY, false, NONE, 0, {"x"}},  // LVARCHAR entries: the engine stores them as blobs
      {"d", TIMESTAMP, false, ISO8601, 0, {text("2024-01-01")}},
      {"s", JSONTYPE, false, NONE, 0, {text(R"("a")"), "", text(R"("bc")"), text("7")}},
      {"e", INTEGER, false, NONE, 0, {}},
      {"n", INTEGER, false, NONE, 0, {}},
      {"absent", INTEGER, false, NONE, 0, {}},
      {"o", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, {}},
      {"bad", INTEGER, false, NONE, STARLINGJSON_WRONG_TYPE, {}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " type " + std::to_string(c.type));
    Result r = extractList(c.path, c.type, c.binary, c.format, message.handle());
    EXPECT_EQ(r.code, c.code) << r.error;
    if (c.code == 0) {
      EXPECT_EQ(entries(r), c.expected);
    } else {
      EXPECT_EQ(r.count, 0);
    }
  }
  Result bad = extractList("bad", INTEGER, false, NONE, message.handle());
  EXPECT_NE(bad.error.find("Element [1]"), std::string::npos) << bad.error;
}

std::vector<int64_t> handles(const Result& r) {
  std::vector<int64_t> out;
  for (const std::string& e : entries(r)) {
    EXPECT_EQ(e.size(), sizeof(int64_t));
    int64_t h = 0;
    std::memcpy(&h, e.data(), std::min(e.size(), sizeof h));
    out.push_back(h);
  }
  return out;
}

TEST(StarlingJson, NestedElementHandlesAreContextsOfTheirElements) {
  Message message(R"({"readings":[{"id":1,"vals":[1.5,2.5],"tags":[{"k":"a"}]},{"id":2,"vals":[]},null]})");
  Result list = extractList("readings", -1, false, NONE, message.handle());
  ASSERT_EQ(list.code, 0) << list.error;
  std::vector<int64_t> elements = handles(list);
  ASSERT_EQ(elements.size(), 3u);

  EXPECT_EQ(extract("id", INTEGER, false, NONE, elements[0]).bytes, i32(1));
  EXPECT_EQ(extract("id", INTEGER, false, NONE, elements[1]).bytes, i32(2));
  Result missing = extract("id", INTEGER, false, NONE, elements[2]);  // a null element: no value
  EXPECT_EQ(missing.code, 0);
  EXPECT_EQ(missing.bytes, "");
  EXPECT_EQ(entries(extractList("vals", DOUBLE, false, NONE, elements[0])),
            (std::vector<std::string>{f64(1.5), f64(2.5)}));
  EXPECT_EQ(extractList("vals", DOUBLE, false, NONE, elements[1]).count, 0);

  // Grandchildren: a handle of an element of an element.
  std::vector<int64_t> tags = handles(extractList("tags", -1, false, NONE, elements[0]));
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_EQ(extract("k", VARCHAR, false, NONE, tags[0]).bytes, text("a"));

  // No path: the element's own JSON text (the built-in source_payload field).
  EXPECT_EQ(extract(nullptr, LVARBINARY, true, NONE, elements[1]).bytes, R"({"id":2,"vals":[]})");
  EXPECT_EQ(extract(nullptr, VARCHAR, false, NONE, elements[2]).bytes, text("null"));

  // Releasing an element handle does not release the message.
  lib().release(elements[0]);
  EXPECT_EQ(extract("id", INTEGER, false, NONE, elements[0]).bytes, i32(1));
}

TEST(StarlingJson, ForgedAndStaleHandlesAreRefused) {
  int64_t stale;
  std::vector<int64_t> staleElements;
  {
    Message gone(R"({"a":[{"x":1},{"x":2}]})");
    stale = gone.handle();
    staleElements = handles(extractList("a", -1, false, NONE, stale));
  }
  Message live(R"({"a":[{"x":1},{"x":2}],"b":1})");  // may take the released slot
  std::vector<int64_t> forged = {0,
                                 -1,
                                 1,
                                 INT64_MAX,
                                 INT64_MIN,
                                 stale,
                                 live.handle() + 1000000,
                                 live.handle() ^ (int64_t(1) << 40),
                                 live.handle() ^ (int64_t(1) << 30)};
  forged.insert(forged.end(), staleElements.begin(), staleElements.end());
  for (int64_t handle : forged) {
    SCOPED_TRACE(handle);
    Result r = extract("x", INTEGER, false, NONE, handle);
    EXPECT_EQ(r.code, STARLINGJSON_BAD_CONTEXT);
    EXPECT_NE(r.error.find("not a prepared message"), std::string::npos) << r.error;
    EXPECT_EQ(extractList("a", -1, false, NONE, handle).code, STARLINGJSON_BAD_CONTEXT);
    lib().release(handle);  // ignored
  }
  EXPECT_EQ(extract("b", INTEGER, false, NONE, live.handle()).bytes, i32(1));
}

TEST(StarlingJson, ValidateRefusesBadPathsWithAMessage) {
  char error[STARLINGJSON_ERROR_TEXT_SIZE];
  for (const char* good :
       {"a", "a.b", "a[0]", "[0].x", "m[1][2]", R"(a\.b)", R"(a\\)", "\xc3\xbc.x", "a[2147483647]", "a b"}) {
    EXPECT_EQ(lib().validate(good, error), 0) << good << ": " << error;
  }
  std::string longPath(1025, 'a');  // one byte beyond the limit
  const char* bad[] = {"",      "a.", ".a",  "a..b", "a[",  "a[]",   "a[x]",          "a[-1]",         "a[+1]",
                       "a[ 1]", "a]", "a\\", "a\\x", "a[0", "a[0]b", "a[2147483648]", longPath.c_str()};
  for (const char* path : bad) {
    SCOPED_TRACE(path);
    std::memset(error, 0, sizeof error);
    EXPECT_EQ(lib().validate(path, error), STARLINGJSON_BAD_PATH);
    EXPECT_NE(std::string(error).find("Property path"), std::string::npos) << error;
  }
  EXPECT_EQ(lib().validate(nullptr, error), STARLINGJSON_BAD_PATH);

  // A long path of two-byte characters: the message is cut on a character boundary.
  std::string wide;
  for (int i = 0; i < 600; i++) wide += "\xc3\xa9";
  wide += "[";
  EXPECT_EQ(lib().validate(wide.c_str(), error), STARLINGJSON_BAD_PATH);
  std::string message(error);
  ASSERT_LT(message.size(), sizeof error);
  size_t cut = message.find("...]");
  ASSERT_NE(cut, std::string::npos) << message;
  EXPECT_NE(uint8_t(message[cut - 1]), 0xC3) << "a character cut in half";
}

TEST(StarlingJson, PayloadsThatAreNotJsonFailEveryExtractionWithoutACrash) {
  std::string deep(600, '[');
  const std::string payloads[] = {"not json",
                                  R"({"a":1)",
                                  "",
                                  "\xff\xfe",
                                  R"({"a":1}garbage)",
                                  R"({"a":"\xc3"})",
                                  "{\"a\":\"\xc0\xaf\"}",
                                  "{\"a\":\"\xed\xa0\x80\"}",
                                  "{\"a\":\"\xf4\x90\x80\x80\"}",
                                  R"({"a":"\ud800"})",
                                  R"({"a":"\udc00\ud800"})",
                                  "{\"a\":\"\t\"}",
                                  R"({"a":01})",
                                  R"({"a":1.})",
                                  R"({"a":-})",
                                  R"({"a":.5})",
                                  R"({"a":[1,]})",
                                  R"({"a" 1})",
                                  R"({"a":tru})",
                                  "\xef\xbb{}",
                                  R"({"a":1e999,"b":2})",
                                  deep,
                                  std::string("{\"a\":1}\0", 8),
                                  std::string("{\"a\":1}\0{}", 10)};
  for (const std::string& payload : payloads) {
    SCOPED_TRACE(payload.substr(0, 20));
    Message message(payload);
    ASSERT_NE(message.handle(), 0) << "a handle, so the payload can be kept whole";
    Result one = extract("a", INTEGER, false, NONE, message.handle());
    EXPECT_EQ(one.code, STARLINGJSON_NOT_JSON);
    EXPECT_NE(one.error.find("Payload is not"), std::string::npos) << one.error;
    EXPECT_EQ(extract(nullptr, LVARBINARY, true, NONE, message.handle()).code, STARLINGJSON_NOT_JSON);
    EXPECT_EQ(extractList("a", -1, false, NONE, message.handle()).code, STARLINGJSON_NOT_JSON);
  }
  EXPECT_EQ(lib().prepare(nullptr, 5), 0);
}

TEST(StarlingJson, EveryTruncatedPayloadIsReadWithinItsLength) {
  const std::string payload = R"({"id":"s-1","t":21.5,"n":[1,2,{"x":"\u00e9\n"}],"b":"AQID","ok":true,"z":null})";
  for (size_t cut = 0; cut < payload.size(); cut++) {
    SCOPED_TRACE(cut);
    Message message(payload.substr(0, cut));
    EXPECT_EQ(extract("t", DOUBLE, false, NONE, message.handle()).code, STARLINGJSON_NOT_JSON);
    EXPECT_EQ(extractList("n", -1, false, NONE, message.handle()).code, STARLINGJSON_NOT_JSON);
  }
  Message whole(payload);
  EXPECT_EQ(extract("n[2].x", VARCHAR, false, NONE, whole.handle()).bytes, text("\xc3\xa9\n"));
}

TEST(StarlingJson, PreparedMessagesAreBoundedAndFreedOnRelease) {
  std::vector<int64_t> held;
  int64_t h;
  while ((h = lib().prepare("1", 1)) != 0 && held.size() < 70000) held.push_back(h);
  EXPECT_EQ(held.size(), 65536u) << "the table holds 65536 messages (none else live here)";
  lib().release(held.back());
  held.pop_back();
  int64_t again = lib().prepare("2", 1);
  EXPECT_NE(again, 0);
  EXPECT_EQ(extract(nullptr, VARCHAR, false, NONE, again).bytes, text("2"));
  held.push_back(again);
  for (int64_t handle : held) lib().release(handle);
}

TEST(StarlingJson, ThreadsPrepareExtractAndReleaseAtTheSameTime) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; i++) {
        std::string payload = R"({"v":[)" + std::to_string(t) + "," + std::to_string(i) + "]}";
        Message message(payload);
        Result r = extractList("v", INTEGER, false, NONE, message.handle());
        if (r.code != 0 || r.bytes != entry(i32(t)) + entry(i32(i))) failures++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace

namespace {

// An array of `values` JSON values in all: the array and values - 1 zeros.
std::string arrayOfValues(size_t values) {
  std::string payload = "[";
  for (size_t i = 1; i < values; i++) payload += i == 1 ? "0" : ",0";
  return payload + "]";
}

TEST(StarlingJson, PayloadLimitsOnBothSides) {
  struct {
    std::string payload;
    int32_t code;
  } cases[] = {
      {std::string(512, '[') + std::string(512, ']'), 0},
      {std::string(513, '[') + std::string(513, ']'), STARLINGJSON_NOT_JSON},
      {arrayOfValues(1048576), 0},
      {arrayOfValues(1048577), STARLINGJSON_NOT_JSON},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload.size());
    Message message(c.payload);
    Result r = extract("[0]", VARCHAR, false, NONE, message.handle());
    EXPECT_EQ(r.code, c.code) << r.error;
  }
}

}  // namespace
