// HTTP heads, chunked bodies and the small text helpers, driven as bytes.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "nev_codec.h"
#include "nev_http.h"

namespace {

std::string str(nev_slice s) { return std::string(s.p ? s.p : "", s.len); }

// Views point into the text: keep every parsed text alive for the test's run.
int parse(const std::string &text, nev_http_view &view, int is_request = 1, nev_http_limits limits = {},
          nev_http_framing *framing = nullptr) {
  static std::list<std::string> kept;
  kept.push_back(text);
  return nev_http_parse_checked(kept.back().data(), kept.back().size(), &view, is_request, limits, framing);
}

TEST(HttpHead, RequestFieldsAndEveryShorterPrefixIsIncomplete) {
  const std::string req = "GET /a/b?x=1&y=2 HTTP/1.1\r\nHost: example\r\n\r\n";
  nev_http_view v;
  for (size_t cut = 0; cut < req.size(); ++cut) ASSERT_EQ(parse(req.substr(0, cut), v), 0) << "cut at " << cut;
  ASSERT_EQ(parse(req, v), int(req.size()));
  EXPECT_EQ(str(v.method), "GET");
  EXPECT_EQ(str(v.uri), "/a/b");
  EXPECT_EQ(str(v.query), "x=1&y=2");
  EXPECT_EQ(str(v.protocol), "HTTP/1.1");
  EXPECT_EQ(str(v.header_name[0]), "Host");
  EXPECT_EQ(str(v.header_value[0]), "example");
  EXPECT_EQ(v.header_name[1].len, 0u);
  EXPECT_EQ(v.body.len, 0u);
  EXPECT_EQ(v.message.len, req.size());
  ASSERT_NE(nev_http_find_header(&v, "hOsT"), nullptr);
  EXPECT_EQ(nev_http_find_header(&v, "Hos"), nullptr);
}

TEST(HttpHead, BodyFraming) {
  nev_http_view v;
  nev_http_framing f;
  // A request without Content-Length or chunked coding has an empty body, PUT and POST too.
  ASSERT_GT(parse("POST /p HTTP/1.1\r\nHost: h\r\n\r\nbody", v, 1, {}, &f), 0);
  EXPECT_EQ(v.body.len, 0u);
  // The name must be exactly Content-Length.
  ASSERT_GT(parse("POST /p HTTP/1.1\r\nHost: h\r\nContent-Length-Extra: 5\r\n\r\n", v, 1, {}, &f), 0);
  EXPECT_EQ(v.body.len, 0u);
  ASSERT_GT(parse("POST /p HTTP/1.1\r\nHost: h\r\ncontent-length: 5\r\n\r\nhello", v, 1, {}, &f), 0);
  EXPECT_EQ(v.body.len, 5u);
  EXPECT_EQ(f.content_length, 5);
  ASSERT_GT(parse("POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: Chunked\r\n\r\n", v, 1, {}, &f), 0);
  EXPECT_TRUE(f.chunked);
  EXPECT_EQ(v.body.len, NEV_HTTP_UNBOUNDED);
  // Replies without length run to the close, except those that never have a body.
  ASSERT_GT(parse("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", v, 0), 0);
  EXPECT_EQ(v.status_code, 200);
  EXPECT_EQ(str(v.status_text), "OK");
  EXPECT_EQ(v.body.len, NEV_HTTP_UNBOUNDED);
  ASSERT_GT(parse("HTTP/1.1 204 No Content\r\n\r\n", v, 0), 0);
  EXPECT_EQ(v.body.len, 0u);
}

TEST(HttpHead, EmptyValuedHeaderIsNotShownAndLineEndsMayBeBare) {
  nev_http_view v;
  ASSERT_GT(parse("GET / HTTP/1.0\nA:\nB: 2  \n\n", v), 0);
  EXPECT_EQ(str(v.header_name[0]), "B");
  EXPECT_EQ(str(v.header_value[0]), "2");
  EXPECT_EQ(v.header_name[1].len, 0u);
}

std::string with_headers(int n) {
  std::string s = "GET / HTTP/1.0\r\n";
  for (int i = 0; i < n; ++i) s += "X-H" + std::to_string(i) + ": v\r\n";
  return s + "\r\n";
}

TEST(HttpHead, RefusedHeads) {
  nev_http_limits small;
  small.max_head = 200;
  small.max_body = 100;
  struct refusal {
    std::string text;
    int result;
    nev_http_limits limits;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: h\r\nX-A: a\x01b\r\n\r\n", -400, {}},  // control byte
      {"GET / HTTP/1.1\r\nHost: h\r\nX-A: a\rb\r\n\r\n", -400, {}},    // bare CR in a value
      {"GET / HTTP/1.1\r\n\r\n", -400, {}},                            // HTTP/1.1 without Host
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", -400, {}},      // two Host headers
      {"GET / HTTP/1.0\r\nHost: a\r\nhost: a\r\n\r\n", -400, {}},
      {"GET / HTTP/2.0\r\nHost: h\r\n\r\n", -505, {}},
      {"GET / HTTP/9.9\r\nHost: h\r\n\r\n", -505, {}},
      {"GET / HTTP/0.9\r\nHost: h\r\n\r\n", -505, {}},
      {"GET * HTTP/1.1\r\nHost: h\r\n\r\n", -400, {}},            // "*" is for OPTIONS only
      {"GET / HTTP/1.1\r\nX-A: a\r\n folded\r\n\r\n", -400, {}},  // obs-fold
      {"GET / HTTP/1.1\r\nX-A : a\r\n\r\n", -400, {}},            // blank before the colon
      {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", -400, {}},
      {"GET /\r\n\r\n", -400, {}},  // no protocol
      {"GET / FTP/1.0\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", -400, {}},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", -501, {}},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", -501, {}},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", -501, {}},
      {with_headers(40), -431, {}},
      {"GET / HTTP/1.1\r\nX: " + std::string(300, 'a') + "\r\n\r\n", -431, small},
      {"GET / HTTP/1.1\r\nX: " + std::string(300, 'a'), -431, small},  // still incomplete, already too long
      {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", -413, small},
      {"HTTP/1.1 600 Odd\r\n\r\n", -400, {}},
  };
  for (const refusal &c : cases) {
    nev_http_view v;
    const bool reply = c.text.rfind("HTTP/", 0) == 0;
    EXPECT_EQ(parse(c.text, v, reply ? 0 : 1, c.limits), c.result) << c.text;
  }
  nev_http_view v;
  EXPECT_GT(parse(with_headers(39), v), 0);
  EXPECT_EQ(str(v.header_name[38]), "X-H38");
  EXPECT_EQ(v.header_name[39].len, 0u);
  const std::string tab_in_name = "GET / HTTP/1.1\r\nHost: h\r\nA\tB: 1\r\n\r\n";
  EXPECT_EQ(nev_http_parse(tab_in_name.data(), tab_in_name.size(), &v, 1), -1);
}

TEST(HttpHead, TabValuesAbsoluteFormAndAsterisk) {
  struct accepted {
    std::string text;
    const char *uri;
    const char *query;
  } cases[] = {
      {"GET /a HTTP/1.1\r\nHost: h\r\nX-A: a\tb\t\r\n\r\n", "/a", ""},
      {"GET http://h/p/q?x=1 HTTP/1.1\r\nHost: h\r\n\r\n", "/p/q", "x=1"},
      {"GET HTTPS://h:8443 HTTP/1.1\r\nHost: h\r\n\r\n", "/", ""},
      {"GET http://h?y HTTP/1.1\r\nHost: h\r\n\r\n", "/", "y"},
      {"OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", "*", ""},
      {"TRACE / HTTP/1.1\r\nHost: h\r\n\r\n", "/", ""},  // known: refused later with 405
      {"GET / HTTP/1.0\r\n\r\n", "/", ""},               // HTTP/1.0 needs no Host
  };
  for (const accepted &c : cases) {
    nev_http_view v;
    ASSERT_EQ(parse(c.text, v), int(c.text.size())) << c.text;
    EXPECT_EQ(str(v.uri), c.uri) << c.text;
    EXPECT_EQ(str(v.query), c.query) << c.text;
  }
  nev_http_view v;
  ASSERT_GT(parse("GET / HTTP/1.1\r\nHost: h\r\nX-A: a\tb\t\r\n\r\n", v), 0);
  EXPECT_EQ(str(*nev_http_find_header(&v, "X-A")), "a\tb");
}

// ---- Chunked bodies ----

struct dechunk_run {
  std::string decoded;
  std::string rest;
  nev_http_dechunk_status status = nev_http_dechunk_status::need_more;
};

// Feeds the body in pieces as reads would append them, decoding after each.
dechunk_run feed_in_pieces(const std::string &wire, size_t piece, uint64_t max_body = UINT64_MAX) {
  std::string area;
  size_t decoded = 0;
  uint64_t total = 0;
  dechunk_run run;
  for (size_t at = 0; at < wire.size() && run.status == nev_http_dechunk_status::need_more; at += piece) {
    area += wire.substr(at, piece);
    size_t length = area.size();
    run.status = nev_http_dechunk(area.data(), length, decoded, total, max_body);
    area.resize(length);
  }
  run.decoded = area.substr(0, decoded);
  run.rest = area.substr(decoded);
  return run;
}

TEST(HttpChunked, ReassembledWhateverTheReadBoundaries) {
  const std::string wire = "5\r\nhello\r\n6;ext=1\r\n world\r\n1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-T: 1\r\n\r\n";
  const std::string next = "GET /next HTTP/1.1\r\n\r\n";
  for (size_t piece = 1; piece <= wire.size(); ++piece) {
    // Every split offset of two reads, and reads of every fixed size.
    for (size_t split = 0; split <= wire.size(); split += (piece == 1 ? 1 : wire.size() + 1)) {
      std::string area = wire.substr(0, split);
      size_t decoded = 0;
      uint64_t total = 0;
      size_t length = area.size();
      auto st = nev_http_dechunk(area.data(), length, decoded, total, UINT64_MAX);
      area.resize(length);
      ASSERT_NE(st, nev_http_dechunk_status::malformed) << split;
      area += wire.substr(split) + next;
      if (st != nev_http_dechunk_status::done) {
        length = area.size();
        st = nev_http_dechunk(area.data(), length, decoded, total, UINT64_MAX);
        area.resize(length);
      }
      ASSERT_EQ(st, nev_http_dechunk_status::done) << split;
      EXPECT_EQ(area.substr(0, decoded), "hello worldabcdefghijklmnopqrstuvwxyz");
      EXPECT_EQ(area.substr(decoded), next);
    }
    dechunk_run run = feed_in_pieces(wire + next, piece);
    ASSERT_EQ(run.status, nev_http_dechunk_status::done) << "piece " << piece;
    EXPECT_EQ(run.decoded, "hello worldabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(next.rfind(run.rest, 0), 0u);  // the next request is intact (fed up to the piece)
  }
}

TEST(HttpChunked, MalformedAndOversized) {
  struct bad {
    std::string wire;
    nev_http_dechunk_status status;
  } cases[] = {
      {"1000000\r\n", nev_http_dechunk_status::malformed},   // seventh digit
      {"5\r\nhelloXX", nev_http_dechunk_status::malformed},  // no CR LF after the data
      {"5\nhello\r\n", nev_http_dechunk_status::malformed},  // bare LF
      {"zz\r\n", nev_http_dechunk_status::malformed},
      {"\r\n", nev_http_dechunk_status::malformed},
      {"0\r\nbad trailer\r\n\r\n", nev_http_dechunk_status::malformed},
      {"65\r\n", nev_http_dechunk_status::too_large},  // 101 bytes over a limit of 100
      {"0\r\n\r\n", nev_http_dechunk_status::done},    // empty body right after the head
      {"FFFFFF\r\n", nev_http_dechunk_status::too_large},
  };
  for (const bad &c : cases) {
    std::string area = c.wire;
    size_t length = area.size(), decoded = 0;
    uint64_t total = 0;
    EXPECT_EQ(nev_http_dechunk(area.data(), length, decoded, total, 100), c.status) << c.wire;
  }
  const char *data = nullptr;
  size_t size = 0;
  EXPECT_EQ(nev_http_parse_chunk("5\r\nhello\r\n", 10, &data, &size), 10);
  EXPECT_EQ(std::string(data, size), "hello");
  EXPECT_EQ(nev_http_parse_chunk("5\r\nhel", 6, &data, &size), 0);
  EXPECT_EQ(nev_http_parse_chunk("1234567\r\n", 9, &data, &size), -1);
}

// ---- Helpers ----

TEST(HttpText, StatusUrlFormParams) {
  EXPECT_STREQ(nev_http_status_text(999), "OK");
  EXPECT_STREQ(nev_http_status_text(301), "Moved");
  EXPECT_STREQ(nev_http_status_text(431), "Request Header Fields Too Large");

  char out[32];
  EXPECT_EQ(nev_url_decode("a%2", 3, out, sizeof out, 0), -1);
  EXPECT_EQ(nev_url_decode("a%zz", 4, out, sizeof out, 0), -1);
  EXPECT_EQ(nev_url_decode("a+b%41", 6, out, sizeof out, 0), 4);
  EXPECT_STREQ(out, "a+bA");
  EXPECT_EQ(nev_url_decode("a+b", 3, out, sizeof out, 1), 3);
  EXPECT_STREQ(out, "a b");
  EXPECT_EQ(nev_url_decode("abcdef", 6, out, 4, 0), -1);  // no room

  const std::string q = "a=1&name=J%20o+e&x=";
  EXPECT_EQ(nev_http_get_var(nev_slice{q.data(), q.size()}, "NAME", out, sizeof out), 5);
  EXPECT_STREQ(out, "J o e");
  EXPECT_EQ(nev_http_get_var(nev_slice{q.data(), q.size()}, "b", out, sizeof out), -4);
  EXPECT_EQ(nev_http_get_var(nev_slice{nullptr, 0}, "a", out, sizeof out), -1);

  const std::string auth = "username=\"al\\\"ice\", realm=R,nonce='n1';qop=auth, bad=\"open";
  const nev_slice a{auth.data(), auth.size()};
  EXPECT_EQ(nev_http_header_param_fixed(a, "username", out, sizeof out), 6);
  EXPECT_STREQ(out, "al\"ice");
  EXPECT_EQ(nev_http_header_param_fixed(a, "realm", out, sizeof out), 1);
  EXPECT_EQ(nev_http_header_param_fixed(a, "nonce", out, sizeof out), 2);
  EXPECT_EQ(nev_http_header_param_fixed(a, "qop", out, sizeof out), 4);
  EXPECT_EQ(nev_http_header_param_fixed(a, "bad", out, sizeof out), 0);
  EXPECT_EQ(nev_http_header_param_fixed(a, "name", out, sizeof out), 0);  // only whole names
  EXPECT_EQ(nev_http_header_param_fixed(a, "username", out, 4), 0);       // too long for the buffer
  char small[2];
  char *buf = small;
  EXPECT_EQ(nev_http_header_param(a, "username", &buf, sizeof small), 6);
  ASSERT_NE(buf, small);
  EXPECT_STREQ(buf, "al\"ice");
  free(buf);
}

TEST(HttpText, DatesAndEtags) {
  EXPECT_EQ(nev_http_parse_date("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(nev_http_parse_date("06 Nov 1994 08:49:37"), 784111777);
  EXPECT_EQ(nev_http_parse_date("06-Nov-1994 08:49:37"), 784111777);
  EXPECT_EQ(nev_http_parse_date("Thu, 01 Feb 2024 00:00:00 GMT"), 1706745600);
  EXPECT_EQ(nev_http_parse_date("Fri, 02 Jan 1970 00:00:00 GMT"), 0);
  EXPECT_EQ(nev_http_parse_date("Sun, 06 nov 1994 08:49:37 GMT"), 0);
  EXPECT_EQ(nev_http_parse_date("garbage"), 0);
  char buf[64];
  nev_http_format_date(buf, sizeof buf, 784111777);
  EXPECT_STREQ(buf, "Sun, 06 Nov 1994 08:49:37 GMT");
  struct stat st {};
  st.st_mtime = 1600000000;
  st.st_size = 1234;
  nev_http_etag(buf, sizeof buf, st);
  EXPECT_STREQ(buf, "\"5f5e1000.1234\"");
}

TEST(HttpText, MultipartPart) {
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nfile data\r\n--XyZ--\r\n";
  char name[16], file[16];
  const char *data = nullptr;
  size_t len = 0;
  const size_t used =
      nev_http_parse_multipart(body.data(), body.size(), name, sizeof name, file, sizeof file, &data, &len);
  ASSERT_GT(used, 0u);
  EXPECT_STREQ(name, "f");
  EXPECT_STREQ(file, "a.txt");
  EXPECT_EQ(std::string(data, len), "file data");
  EXPECT_EQ(nev_http_parse_multipart(body.data(), 50, name, sizeof name, file, sizeof file, &data, &len), 0u);
}

TEST(HttpText, HtmlEscape) {
  std::string out;
  nev_html_escape_append(out, nev_slice_from_cstr("<a href=\"x\">&'</a>"));
  EXPECT_EQ(out, "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
}

}  // namespace
