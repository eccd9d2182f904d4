// URI mapping, hidden files, MIME types, ranges and Digest checks against a
// temporary tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "nev_codec.h"
#include "nev_digest.h"
#include "nev_static.h"

namespace fs = std::filesystem;

namespace {

std::string str(nev_slice s) { return std::string(s.p ? s.p : "", s.len); }

void write_file(const fs::path &p, const std::string &text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

class StaticTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/nev_static_XXXXXX";
    base_ = mkdtemp(tmpl);
    root_ = base_ / "root";
    write_file(root_ / "a" / "x.txt", "x");
    write_file(root_ / "b", "b");
    write_file(root_ / "file.txt", "0123456789");
    write_file(root_ / "sub" / ".htpasswd", "alice:R:0\n");
    write_file(root_ / "secretdir" / "in.txt", "in");
    write_file(root_ / "alt" / "page.html", "alt");
    write_file(base_ / "outside.txt", "outside");
    options_ = nev_serve_options{};
    rootText_ = root_.string();
    options_.document_root = rootText_.c_str();
    nev_serve_options_defaults(options_);
  }
  void TearDown() override { fs::remove_all(base_); }

  // Maps a request target; "" when refused.
  std::string map(const std::string &uri, std::string *path_info = nullptr, const char *host = nullptr) {
    std::string request = "GET " + uri + " HTTP/1.1\r\nHost: " + std::string(host ? host : "x") + "\r\n";
    request += "\r\n";
    nev_http_view view;
    EXPECT_GT(nev_http_parse(request.data(), request.size(), &view, 1), 0);
    std::string normalized = str(view.uri);
    nev_slice out{normalized.data(), 0};
    if (!nev_normalize_uri_path(nev_slice{normalized.data(), normalized.size()}, &out)) return "";
    view.uri = out;
    nev_http_mapped mapped;
    if (!nev_http_map_uri(&view, options_, mapped)) return "";
    if (path_info) *path_info = str(mapped.path_info);
    return mapped.path.substr(mapped.root_length);
  }

  fs::path base_, root_;
  std::string rootText_;
  nev_serve_options options_;
};

TEST_F(StaticTree, MappingNeverLeavesTheRoot) {
  EXPECT_EQ(map("/a/x.txt"), "/a/x.txt");
  EXPECT_EQ(map("/a/%2e%2e/b"), "/b");
  EXPECT_EQ(map("/../outside.txt"), "/outside.txt");
  EXPECT_EQ(map("/%2e%2e/outside.txt"), "/outside.txt");
  EXPECT_EQ(map("/%2e%2e/%2e%2e/%2e%2e/outside.txt"), "/outside.txt");
  EXPECT_EQ(map("/a%2fb"), "");  // an encoded separator
  EXPECT_EQ(map("/..%2foutside.txt"), "");
  EXPECT_EQ(map("/..%5coutside.txt"), "");          // backslash
  EXPECT_EQ(map("/%c0%ae%c0%ae/outside.txt"), "");  // overlong dots
  EXPECT_EQ(map("/%c0%af"), "");                    // overlong slash
  EXPECT_EQ(map("/a%00.txt"), "");
  EXPECT_EQ(map("/bad%zz"), "");
  EXPECT_EQ(map("/caf%c3%a9"), "/caf\xc3\xa9");  // proper UTF-8 is fine
  std::string info;
  EXPECT_EQ(map("/file.txt/extra/more", &info), "/file.txt");
  EXPECT_EQ(info, "/extra/more");
}

TEST_F(StaticTree, Rewrites) {
  const std::string alt = (root_ / "alt").string();
  const std::string rewrites = "/docs=" + alt + ",@other.example=" + alt + ",/p=http://127.0.0.1:1/,%80=https://x/";
  options_.url_rewrites = rewrites.c_str();
  nev_http_mapped m;
  EXPECT_EQ(map("/docs/page.html"), "/page.html");
  EXPECT_EQ(map("/docsx/page.html"), "/docsx/page.html");  // not at a "/" boundary
  EXPECT_EQ(map("/page.html", nullptr, "OTHER.example"), "/page.html");
  EXPECT_EQ(map("/p/x"), "/p/x");  // proxy entries are not roots
}

TEST_F(StaticTree, HiddenComponentsAndPasswordFiles) {
  options_.hidden_pattern = "secret*";
  const std::string global = (root_ / "a" / "x.txt").string();
  options_.global_auth_file = global.c_str();
  auto hidden = [&](const std::string &uri) {
    std::string request = "GET " + uri + " HTTP/1.1\r\nHost: x\r\n\r\n";
    nev_http_view view;
    EXPECT_GT(nev_http_parse(request.data(), request.size(), &view, 1), 0);
    nev_http_mapped mapped;
    EXPECT_TRUE(nev_http_map_uri(&view, options_, mapped));
    return nev_http_path_is_hidden(mapped, options_);
  };
  EXPECT_TRUE(hidden("/sub/.htpasswd"));
  EXPECT_TRUE(hidden("/secretdir/in.txt"));  // a hidden directory hides what is below it
  EXPECT_TRUE(hidden("/a/x.txt"));           // the global password file itself
  EXPECT_FALSE(hidden("/file.txt"));
}

TEST(StaticMime, TypesAndCompressedVariants) {
  nev_serve_options o{};
  nev_serve_options_defaults(o);
  struct row {
    const char *path, *mime, *encoding;
  } rows[] = {
      {"/x/page.html.gz", "text/html", "gzip"},
      {"/x.gz", "application/x-gunzip", ""},
      {"/a.tar.gz", "application/x-tar", "gzip"},
      {"/A.JPG", "image/jpeg", ""},
      {"/noext", "", ""},
      {"/html", "", ""},
  };
  for (const row &r : rows) {
    nev_slice mime, enc;
    nev_mime_type_of(nev_slice_from_cstr(r.path), &mime, &enc, o);
    EXPECT_EQ(str(mime), r.mime) << r.path;
    EXPECT_EQ(str(enc), r.encoding) << r.path;
  }
  o.extra_mime_types = ".txt=text/x-mine,.md=text/markdown";
  nev_slice mime, enc;
  EXPECT_TRUE(nev_mime_type_of(nev_slice_from_cstr("/r.TXT"), &mime, &enc, o));
  EXPECT_EQ(str(mime), "text/x-mine");
}

TEST(StaticRange, TenByteFile) {
  struct row {
    const char *header;
    int status;
    int64_t first, length;
  } rows[] = {
      {"bytes=0-0", 206, 0, 1},   {"bytes=5-", 206, 5, 5},         {"bytes=5-100", 206, 5, 5},  // clamped
      {"bytes=10-20", 416, 0, 0}, {"bytes=-3", 200, 0, 10},        {"bytes=4-2", 416, 0, 0},
      {"items=1-2", 200, 0, 10},  {"bytes=0-9,20-30", 206, 0, 10},
  };
  for (const row &r : rows) {
    const nev_slice h = nev_slice_from_cstr(r.header);
    nev_http_range range = nev_http_select_range(&h, 10);
    EXPECT_EQ(range.status, r.status) << r.header;
    EXPECT_EQ(range.first, r.first) << r.header;
    EXPECT_EQ(range.length, r.length) << r.header;
  }
  const nev_slice open = nev_slice_from_cstr("bytes=0-");
  EXPECT_EQ(nev_http_select_range(&open, 0).status, 416);
  EXPECT_EQ(nev_http_select_range(nullptr, 10).status, 200);
}

// ---- Digest ----

std::string md5hex(const std::string &s) {
  char out[33];
  nev_md5_hex(out, s.data(), s.size(), nullptr);
  return out;
}

TEST(Digest, ResponseOfTheRfcExample) {
  char out[33];
  const std::string ha1 = md5hex("Mufasa:testrealm@host.com:Circle Of Life");
  nev_http_digest_response(nev_slice{ha1.data(), 32}, nev_slice_from_cstr("dcd98b7102dd2f0e8b11d0f600bfb0c093"),
                           nev_slice_from_cstr("00000001"), nev_slice_from_cstr("0a4f113b"),
                           nev_slice_from_cstr("auth"), nev_slice_from_cstr("GET"),
                           nev_slice_from_cstr("/dir/index.html"), out);
  EXPECT_STREQ(out, "6629fae49393a05397450978507c4ef1");
}

std::string authorization(const std::string &user, const std::string &realm, const std::string &password,
                          const std::string &nonce, const std::string &target, bool upper = false) {
  const std::string ha1 = md5hex(user + ":" + realm + ":" + password);
  const std::string ha2 = md5hex("GET:" + target);
  std::string response = md5hex(ha1 + ":" + nonce + ":00000001:c0ffee:auth:" + ha2);
  if (upper) {
    for (char &c : response) c = char(toupper(c));
  }
  return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
         "\", uri=\"/whatever\", qop=auth, nc=00000001, cnonce=\"c0ffee\", response=\"" + response + "\"\r\n";
}

TEST(Digest, PasswordFileDecides) {
  char tmpl[] = "/tmp/nev_digest_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string file = dir + "/.htpasswd";
  std::ofstream(file) << "bob:R:" << md5hex("bob:R:x") << "\nalice:R2:" << md5hex("alice:R2:pw")
                      << "\nalice:R:" << md5hex("alice:R:pw") << "\n";
  char now[16];
  std::snprintf(now, sizeof now, "%lx", static_cast<unsigned long>(static_cast<uint32_t>(nev_now())));
  char old[16];
  std::snprintf(old, sizeof old, "%lx", static_cast<unsigned long>(static_cast<uint32_t>(nev_now()) - 3700));
  char future[16];
  std::snprintf(future, sizeof future, "%lx", static_cast<unsigned long>(static_cast<uint32_t>(nev_now()) + 100));
  struct attempt {
    std::string header;
    std::string target;
    int authorized;
  } attempts[] = {
      {authorization("alice", "R", "pw", now, "/d/f?q=1"), "/d/f?q=1", 1},
      {authorization("alice", "R", "pw", now, "/d/f?q=1", true), "/d/f?q=1", 1},  // upper-case hex
      {authorization("alice", "R", "pw", now, "/d/f"), "/d/f?q=1", 0},            // query left out
      {authorization("alice", "R", "wrong", now, "/d/f"), "/d/f", 0},
      {authorization("alice", "R", "pw", old, "/d/f"), "/d/f", 0},
      {authorization("alice", "R", "pw", future, "/d/f"), "/d/f", 0},
      {authorization("carol", "R", "pw", now, "/d/f"), "/d/f", 0},
      {"", "/d/f", 0},
  };
  for (const attempt &a : attempts) {
    const std::string request = "GET " + a.target + " HTTP/1.1\r\nHost: x\r\n" + a.header + "\r\n";
    nev_http_view view;
    ASSERT_GT(nev_http_parse(request.data(), request.size(), &view, 1), 0);
    const std::string path = dir + "/f";
    const nev_slice p{path.data(), path.size()};
    EXPECT_EQ(nev_http_is_authorized(&view, p, "R", ".htpasswd", 0), a.authorized) << a.header;
    // Realm R2 has its own line for alice with the same password: R's response does not pass there.
    if (a.authorized) {
      EXPECT_EQ(nev_http_is_authorized(&view, p, "R2", ".htpasswd", 0), 0);
    }
  }
  // Missing files: allowed only when the caller says so.
  const std::string request = "GET / HTTP/1.1\r\n\r\n";
  nev_http_view view;
  nev_http_parse(request.data(), request.size(), &view, 1);
  const nev_slice p = nev_slice_from_cstr("/nonexistent/dir/f");
  EXPECT_EQ(nev_http_is_authorized(&view, p, "R", ".htpasswd", NEV_AUTH_ALLOW_MISSING), 1);
  EXPECT_EQ(nev_http_is_authorized(&view, p, "R", "/nonexistent/global", NEV_AUTH_GLOBAL_FILE), 0);
  EXPECT_EQ(nev_http_is_authorized(&view, p, nullptr, "/nonexistent/global", NEV_AUTH_GLOBAL_FILE), 1);
  fs::remove_all(dir);
}

TEST(Digest, BasicCredentials) {
  char user[16], password[16];
  EXPECT_EQ(nev_http_parse_basic_auth(nev_slice_from_cstr("Basic dXNlcjpwYTpzcw=="), user, sizeof user, password,
                                      sizeof password),
            0);
  EXPECT_STREQ(user, "user");
  EXPECT_STREQ(password, "pa:ss");
  EXPECT_EQ(nev_http_parse_basic_auth(nev_slice_from_cstr("Bearer abc"), user, sizeof user, password, sizeof password),
            -1);
  char header[512];
  EXPECT_GT(nev_http_make_digest_header(header, sizeof header, "GET", "/x", "R", "u", "p", "abc"), 0);
  EXPECT_EQ(std::string(header).rfind("Authorization: Digest username=\"u\",realm=\"R\",uri=\"/x\",qop=auth,nc=1,", 0),
            0u);
}

}  // namespace
