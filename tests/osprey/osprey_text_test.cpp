// The plug-in's text helpers: the URI iterator, Basic credentials, the body
// escape folding and the method codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "osprey.h"
#include "osprey_webapp.h"

namespace {

std::vector<std::string> segmentsOf(const std::string& uri, std::string* rest = nullptr) {
  UriSegments it;
  EXPECT_TRUE(uriSegmentsOpen(&it, uri.data(), uri.size()));
  std::vector<std::string> out;
  while (const char* segment = nextUriSegment(&it)) out.push_back(segment);
  if (rest != nullptr) *rest = uriSegmentsRest(&it);
  uriSegmentsClose(&it);
  return out;
}

TEST(UriSegments, WalksSegmentsUntilTheEndOrAnEmptyOne) {
  struct Case {
    std::string uri;
    std::vector<std::string> segments;
    std::string rest;
  } cases[] = {
      {"/rest/items/7", {"rest", "items", "7"}, ""},
      {"/", {}, "/"},
      {"", {}, ""},
      {"/a//b", {"a"}, "//b"},
      {"/abc/", {"abc"}, "/"},
      {"/a-much-longer-segment/x", {"a-much-longer-segment", "x"}, ""},
  };
  for (const Case& c : cases) {
    std::string rest;
    EXPECT_EQ(segmentsOf(c.uri, &rest), c.segments) << c.uri;
    EXPECT_EQ(rest, c.rest) << c.uri;
  }
}

TEST(UriSegments, RestFollowsTheSegmentsTaken) {
  std::string uri = "/build/production/rest/items/7";
  UriSegments it;
  ASSERT_TRUE(uriSegmentsOpen(&it, uri.data(), uri.size()));
  EXPECT_STREQ(nextUriSegment(&it), "build");
  EXPECT_STREQ(nextUriSegment(&it), "production");
  EXPECT_STREQ(nextUriSegment(&it), "rest");
  EXPECT_STREQ(uriSegmentsRest(&it), "/items/7");
  it.position = -1;
  EXPECT_EQ(nextUriSegment(&it), nullptr);
  uriSegmentsClose(&it);
}

std::string fold(std::string text) {
  text.resize(foldUnicodeEscapes(text.data(), text.size()));
  return text;
}

TEST(UnicodeFolding, FoldsInOnePassAndKeepsTheJsonStructure) {
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      // Characters above 0x7F become their UTF-8 bytes, as the JSON parser would make them.
      {R"("caf\u00e9")", "\"caf\xc3\xa9\""},
      {R"("\u00E9\u00e8\u0080\u00ff")", "\"\xc3\xa9\xc3\xa8\xc2\x80\xc3\xbf\""},
      {R"("\u0041")", "\"A\""},
      // Escapes JSON must still see stay as they are.
      {R"("\u0022")", R"("\u0022")"},
      {R"("\u005c")", R"("\u005c")"},
      {R"("a\u0000b")", R"("a\u0000b")"},
      {R"("\u001f")", R"("\u001f")"},
      // An escaped backslash followed by text that looks like an escape.
      {R"("\\u0041")", R"("\\u0041")"},
      {R"("\\\u0041")", R"("\\A")"},
      // Folding does not run again over its own output.
      {R"("\u005cu0041")", R"("\u005cu0041")"},
      {R"("\u00zz \u01e9 \u00e")", R"("\u00zz \u01e9 \u00e")"},
      {R"("tail\")", R"("tail\")"},
      {R"(\)", R"(\)"},
  };
  for (const Case& c : cases) EXPECT_EQ(fold(c.in), c.out) << c.in;
}

TEST(ContentType, Iso8859CharsetIsRecognised) {
  struct Case {
    const char* value;
    bool iso;
  } cases[] = {
      {"application/json; charset=ISO-8859-1", true}, {"application/json;charset=\"iso-8859-15\"", true},
      {"application/json; charset=utf-8", false},     {"application/json", false},
      {"text/plain; Charset = iso-8859-1", true},     {"charset", false},
  };
  for (const Case& c : cases) EXPECT_EQ(contentTypeIsIso8859(c.value, std::strlen(c.value)), c.iso) << c.value;
}

TEST(BasicCredentials, DecodesWithinBounds) {
  struct Case {
    std::string header;
    bool accepted;
    std::string user;
    std::string password;
  } cases[] = {
      {"Basic dXNlcjpwYXNz", true, "user", "pass"},  // user:pass
      {"basic dXNlcjpwYXNz", true, "user", "pass"},
      {"Basic dXNlcg==", true, "user", ""},  // no ':'
      {"Basic dXNlcjo=", true, "user", ""},  // nothing after ':'
      {"Basic OnBhc3M=", false, "", ""},     // ":pass": no user
      {"Basic dTphOmI=", true, "u", "a:b"},  // split at the first ':'
      {"Bearer dXNlcjpwYXNz", false, "", ""},
      {"Basic ", false, "", ""},
      {"Basic ****", false, "", ""},
      // Never cut: a NUL byte or a line break inside refuses the credentials.
      {"Basic QURNSU46VFJVVkUAanVuaw==", false, "", ""},  // ADMIN:TRUVE\0junk
      {"Basic QUQATUlOOlRSVVZF", false, "", ""},          // AD\0MIN:TRUVE
      {"Basic QURNSU46VFJVVkUKanVuaw==", false, "", ""},  // ADMIN:TRUVE\njunk
      {"Basic QURNSU46VFJVVkUK", true, "ADMIN", "TRUVE"},  // a trailing line end only
  };
  for (const Case& c : cases) {
    BasicCredentials out;
    EXPECT_EQ(decodeBasicCredentials(c.header.data(), c.header.size(), &out), c.accepted) << c.header;
    if (c.accepted) {
      EXPECT_EQ(std::string(out.user), c.user) << c.header;
      EXPECT_EQ(std::string(out.password), c.password) << c.header;
    }
  }
}

std::string base64(const std::string& text) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    unsigned v = (unsigned char)text[i] << 16 | (unsigned char)text[i + 1] << 8 | (unsigned char)text[i + 2];
    for (int s = 18; s >= 0; s -= 6) out += alphabet[(v >> s) & 63];
  }
  if (i + 1 == text.size()) {
    unsigned v = (unsigned char)text[i] << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == text.size()) {
    unsigned v = (unsigned char)text[i] << 16 | (unsigned char)text[i + 1] << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += "=";
  }
  return out;
}

TEST(BasicCredentials, SixtyFourCharactersEachAndNoMore) {
  std::string u64(64, 'u'), p64(64, 'p');
  struct Case {
    std::string decoded;
    bool accepted;
  } cases[] = {
      {u64 + ":" + p64, true},
      {u64 + "u:" + p64, false},
      {u64 + ":" + p64 + "p", false},
      {std::string(5000, 'x') + ":y", false},  // far beyond the decode buffer
  };
  for (const Case& c : cases) {
    std::string header = "Basic " + base64(c.decoded);
    BasicCredentials out;
    EXPECT_EQ(decodeBasicCredentials(header.data(), header.size(), &out), c.accepted) << c.decoded.size();
    if (c.accepted) {
      EXPECT_EQ(std::string(out.user), u64);
      EXPECT_EQ(std::string(out.password), p64);
    }
  }
}

TEST(MethodCode, FirstCharactersDecide) {
  struct Case {
    const char* method;
    int code;
  } cases[] = {
      {"POST", WEBAPP_METHOD_POST},
      {"post", WEBAPP_METHOD_POST},
      {"POSTX", WEBAPP_METHOD_POST},
      {"GET", WEBAPP_METHOD_GET},
      {"PUT", WEBAPP_METHOD_PUT},
      {"DELETE", WEBAPP_METHOD_DELETE},
      {"PATCH", WEBAPP_METHOD_PATCH},
      {"OPTIONS", WEBAPP_METHOD_OPTIONS},
      {"HEAD", 0},
      {"PO", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(webAppMethodCode(c.method, std::strlen(c.method)), c.code) << c.method;
}

TEST(ConnectionHeader, CloseWhenTheClientAskedForIt) {
  struct Case {
    const char* protocol;
    const char* connection;  // null: no header
    bool close;
  } cases[] = {
      {"HTTP/1.1", nullptr, false},
      {"HTTP/1.1", "keep-alive", false},
      {"HTTP/1.1", "close", true},
      {"HTTP/1.1", "Close", true},
      {"HTTP/1.1", "TE, close", true},
      {"HTTP/1.1", "closed", false},
      {"HTTP/1.0", nullptr, true},
      {"HTTP/1.0", "Keep-Alive", false},
      {"HTTP/1.0", " keep-alive , TE", false},
      {"HTTP/1.0", "keep-alive, close", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(requestWantsClose(c.protocol, std::strlen(c.protocol), c.connection,
                                c.connection != nullptr ? std::strlen(c.connection) : 0),
              c.close)
        << c.protocol << " " << (c.connection != nullptr ? c.connection : "(none)");
}

}  // namespace
