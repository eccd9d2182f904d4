// Slices, text helpers, the prefix matcher and the formatters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nev.h"

namespace {

nev_slice S(const char *text) { return nev_slice_from_cstr(text); }

std::string str(nev_slice s) { return s.p == nullptr ? std::string() : std::string(s.p, s.len); }

TEST(NevSlice, Compares) {
  EXPECT_EQ(-1, nev_slice_cmp(S("ab"), S("abc")));
  EXPECT_EQ(1, nev_slice_cmp(S("abc"), S("ab")));
  EXPECT_EQ(0, nev_slice_cmp(S("abc"), S("abc")));
  EXPECT_EQ(-1, nev_slice_cmp(S("\xe9t\xe9"), S("ete")));  // high bytes sort first
  EXPECT_EQ(-1, nev_slice_cmp(S("abc"), S("abd")));
  EXPECT_EQ(0, nev_slice_ncmp(S("abcX"), S("abcY"), 3));
  EXPECT_EQ(0, nev_slice_casecmp(S("Content-Type"), S("content-type")));
  EXPECT_EQ(-1, nev_slice_casecmp(S("A"), S("ab")));

  EXPECT_LT(nev_slice_cmp_cstr(S("ab"), "abc"), 0);
  EXPECT_EQ(-1, nev_slice_cmp_cstr(S("ab"), "abc"));  // the length difference
  EXPECT_EQ(2, nev_slice_cmp_cstr(S("abcde"), "abc"));
  EXPECT_EQ(0, nev_slice_cmp_cstr(nev_slice{"GETX", 3}, "GET"));
  EXPECT_EQ(0, nev_slice_casecmp_cstr(S("KEEP-alive"), "keep-ALIVE"));
  EXPECT_NE(0, nev_slice_casecmp_cstr(S("close"), "keep-alive"));

  EXPECT_EQ(0, nev_ncasecmp("HeLLo", "hello world", 5));
  EXPECT_EQ(0, nev_ncasecmp("ab", "AB", 10));  // stops after the NUL of a
  EXPECT_LT(nev_casecmp("abc", "abd"), 0);
  EXPECT_GT(nev_casecmp("b", "A"), 0);
}

TEST(NevSlice, SearchStripDup) {
  nev_slice hay = S("GET /index.html HTTP/1.1");
  EXPECT_EQ(hay.p + 3, nev_slice_chr(hay, ' '));
  EXPECT_EQ(nullptr, nev_slice_chr(hay, '#'));
  EXPECT_EQ(hay.p + 16, nev_slice_find(hay, S("HTTP")));
  EXPECT_EQ(nullptr, nev_slice_find(hay, S("HTTP/1.0")));
  EXPECT_EQ(nullptr, nev_slice_find(S("ab"), S("abc")));
  EXPECT_EQ(hay.p, nev_slice_find(hay, S("")));
  EXPECT_EQ("a b", str(nev_slice_strip(S(" \t a b \r\n"))));
  EXPECT_EQ(0u, nev_slice_strip(S(" \t ")).len);
  EXPECT_EQ(1, nev_slice_starts_with(hay, S("GET ")));
  EXPECT_EQ(0, nev_slice_starts_with(S("GE"), S("GET")));

  nev_slice copy = nev_slice_dup_cstr(nev_slice{"abcdef", 3});
  ASSERT_NE(nullptr, copy.p);
  EXPECT_STREQ("abc", copy.p);
  EXPECT_EQ(3u, copy.len);
  nev_slice_free(&copy);
  EXPECT_EQ(nullptr, copy.p);
  EXPECT_EQ(0u, copy.len);
  nev_slice raw = nev_slice_dup(S("xy"));
  EXPECT_EQ("xy", str(raw));
  nev_slice_free(&raw);
  EXPECT_EQ(nullptr, nev_slice_dup(S("")).p);
  EXPECT_EQ(nullptr, nev_slice_dup(nev_slice{nullptr, 5}).p);
}

TEST(NevText, BoundedHelpers) {
  EXPECT_EQ(3u, nev_bounded_strlen("abc", 10));
  EXPECT_EQ(2u, nev_bounded_strlen("abc", 2));
  const char text[] = "xx--boundary--";
  EXPECT_EQ(text + 4, nev_bounded_strstr(text, "boundary", sizeof text - 1));
  EXPECT_EQ(nullptr, nev_bounded_strstr(text, "boundary", 11));  // would end past n
  EXPECT_EQ(text + 4, nev_bounded_strstr(text, "boundary", 12));
}

TEST(NevText, SkipTokenAndNextToken) {
  const char text[] = "a,b;;c";
  const char *end = text + strlen(text);
  const char *cur = text;
  nev_slice tok;
  nev_skip_token(&cur, end, ",;", &tok);
  EXPECT_EQ("a", str(tok));
  nev_skip_token(&cur, end, ",;", &tok);
  EXPECT_EQ("b", str(tok));
  // Exactly one delimiter was skipped, so the second ';' ends an empty token.
  EXPECT_EQ(text + 5, nev_skip_token(&cur, end, ",;", &tok));
  EXPECT_EQ("", str(tok));
  nev_skip_token(&cur, end, ",;", &tok);
  EXPECT_EQ("c", str(tok));
  EXPECT_EQ(end, cur);

  const char line[] = "GET  /x \tHTTP/1.1";
  const char *lend = line + strlen(line);
  const char *p = nev_next_token(line, lend, " \t", &tok);
  EXPECT_EQ("GET", str(tok));
  p = nev_next_token(p, lend, " \t", &tok);
  EXPECT_EQ("/x", str(tok));
  p = nev_next_token(p, lend, " \t", &tok);
  EXPECT_EQ("HTTP/1.1", str(tok));
  EXPECT_EQ(lend, p);
}

TEST(NevText, ListEntries) {
  std::vector<std::pair<std::string, std::string>> seen;
  nev_slice list = S("a=1,b,c=x=y,");
  nev_slice key, value;
  while ((list = nev_next_list_entry_slice(list, &key, &value)).p != nullptr) seen.emplace_back(str(key), str(value));
  std::vector<std::pair<std::string, std::string>> want = {{"a", "1"}, {"b", ""}, {"c", "x=y"}};
  EXPECT_EQ(want, seen);

  seen.clear();
  const char *rest = "x=1,y=2";
  while ((rest = nev_next_list_entry(rest, &key, nullptr)) != nullptr) seen.emplace_back(str(key), "");
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ("x=1", seen[0].first);  // without a value slot the key keeps "="
  EXPECT_EQ(nullptr, nev_next_list_entry("", &key, &value));
}

TEST(NevMatch, PrefixPatterns) {
  struct Case {
    const char *pattern, *text;
    size_t want;
  } cases[] = {
      {"/api", "/API/x", 4},
      {"**.cgi$", "/x/run.cgi", 10},
      {"**.cgi$", "/x/run.cgi.txt", 0},
      {"abc", "ab", 0},
      {"a|b", "b1", 1},
      {"x,/y", "/yes", 2},
      {"*.html", "/index.html", 0},
      {"**.html$", "/index.html", 11},
      {"/*/b", "/aaa/b/c", 6},
      {"/*", "/abc/def", 4},
      {"/**", "/abc/def", 8},
      {"?b?", "abc", 3},
      {"abc$", "abc", 3},
      {"abc$", "abcd", 0},
      {"**/.*$", "/dir/.hidden", 12},
      {"**/.*$", "/dir/visible", 0},
      {"", "x", 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.want, nev_match_prefix(c.pattern, strlen(c.pattern), c.text)) << c.pattern << " vs " << c.text;
  }
}

TEST(NevHex, EncodeDecode) {
  char out[16];
  nev_hex_encode(out, "\x00\xab\x7f", 3);
  EXPECT_STREQ("00ab7f", out);
  nev_hex_encode(out, "", 0);
  EXPECT_STREQ("", out);
  char bytes[8];
  nev_hex_decode(bytes, "41aB7e", 6);
  EXPECT_STREQ("A\xab~", bytes);
  nev_hex_decode(bytes, "4z", 2);  // a non-digit counts as 0
  EXPECT_EQ('\x40', bytes[0]);
  nev_hex_decode(bytes, "414", 3);  // odd: the last digit pairs with 0
  EXPECT_EQ('A', bytes[0]);
  EXPECT_EQ('\x40', bytes[1]);
  EXPECT_EQ('\0', bytes[2]);
  EXPECT_EQ(15, nev_hex_digit_value('F'));
  EXPECT_EQ(0, nev_hex_digit_value('g'));
}

TEST(NevFormat, AllocStaysOnTheCallersBufferWhileTheTextFits) {
  char stack[16];
  char *buf = stack;
  EXPECT_EQ(5, nev_format_alloc(&buf, sizeof stack, "%s-%d", "ab", 42));
  EXPECT_EQ(stack, buf);
  EXPECT_STREQ("ab-42", buf);
}

TEST(NevFormat, AllocMovesToTheHeapWhenFullOrLonger) {
  char stack[8];
  char *buf = stack;
  // Exactly the buffer's size: no room for the NUL, so the heap takes it.
  EXPECT_EQ(8, nev_format_alloc(&buf, sizeof stack, "%s", "12345678"));
  ASSERT_NE(stack, buf);
  EXPECT_STREQ("12345678", buf);
  free(buf);

  // Long text with several arguments: each try must read them afresh.
  std::string long_text(300, 'q');
  buf = stack;
  int n = nev_format_alloc(&buf, sizeof stack, "%s|%d|%s|%c", long_text.c_str(), 7, "end", '!');
  std::string want = long_text + "|7|end|!";
  EXPECT_EQ(static_cast<int>(want.size()), n);
  ASSERT_NE(stack, buf);
  EXPECT_EQ(want, buf);
  free(buf);

  buf = nullptr;  // size 0: always the heap
  EXPECT_EQ(3, nev_format_alloc(&buf, 0, "%s", "abc"));
  ASSERT_NE(nullptr, buf);
  EXPECT_STREQ("abc", buf);
  free(buf);
}

TEST(NevFormat, BoundedFormatter) {
  char out[64];
  auto f = [&](const char *fmt, auto... args) {
    nev_bounded_format(out, sizeof out, fmt, args...);
    return std::string(out);
  };
  EXPECT_EQ("x=42 y=-7", f("x=%d y=%d", 42, -7));
  EXPECT_EQ("00042|  -7|-0007", f("%05d|%4d|%05d", 42, -7, -7));
  EXPECT_EQ("ff|0000ff|4294967295", f("%x|%06x|%u", 255u, 255u, 4294967295u));
  EXPECT_EQ("9223372036854775807", f("%lld", 9223372036854775807LL));
  EXPECT_EQ("18446744073709551615", f("%zu", SIZE_MAX));
  EXPECT_EQ("   ab|abc|    |c|%", f("%5s|%.3s|%4s|%c|%%", "ab", "abcdef", (const char *)nullptr, 'c'));
  EXPECT_EQ("  xy", f("%*s", 4, "xy"));
  EXPECT_EQ("0x1234abcd5678", f("%p", reinterpret_cast<void *>(0x1234abcd5678ULL)));

  char small[5];
  EXPECT_EQ(11, nev_bounded_format(small, sizeof small, "hello %s", "world"));
  EXPECT_STREQ("hell", small);
  EXPECT_EQ(3, nev_bounded_format(nullptr, 0, "%d", 123));
}

TEST(NevFormatDeath, UnknownConversionStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char out[16];
  EXPECT_DEATH(nev_bounded_format(out, sizeof out, "%f", 1.0), "unsupported conversion");
}

TEST(NevMd5ByteOrder, WordsAreLittleEndian) {
  unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  nev_md5_byte_order(bytes, 2);
  uint32_t words[2];
  memcpy(words, bytes, 8);
  EXPECT_EQ(0x04030201u, words[0]);
  EXPECT_EQ(0x08070605u, words[1]);
}

}  // namespace
