// The administration application's own SHA-2 against the published test
// vectors, its path joining, and the configuration history in a scratch
// directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "admin.h"
#include "yxutil.h"

using namespace osprey::admin;
namespace fs = std::filesystem;

namespace {

// The digest of text fed in pieces of `piece` bytes (0: at once).
std::string digestOf(const std::string& text, int32_t length, size_t piece = 0) {
  SHA2Context context;
  sha2Start(&context, length);
  if (piece == 0) piece = text.size() + 1;
  for (size_t at = 0; at < text.size(); at += piece)
    sha2Update(&context, text.data() + at, static_cast<uint32_t>(std::min(piece, text.size() - at)));
  uint8_t digest[64];
  sha2Final(digest, &context);
  return upperHex(digest, length == 32 ? 32 : 64);
}

struct Vector {
  std::string message;
  const char* sha256;
  const char* sha512;
};

const Vector kVectors[] = {
    {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
     "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E"
     "2A9AC94FA54CA49F"},
    {"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855",
     "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F63B931BD47417A81"
     "A538327AF927DA3E"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1",
     "204A8FC6DDA82F0A0CED7BEB8E08A41657C16EF468B228A8279BE331A703C33596FD15C13B1B07F9AA1D3BEA57789CA031AD85C7A71DD703"
     "54EC631238CA3445"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "CF5B16A778AF8380036CE59E7B0492370B249B11E8F07A51AFAC45037AFEE9D1",
     "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018501D289E4900F7E4331B99DEC4B5433AC7D329EEB6DD2654"
     "5E96E55B874BE909"},
};

TEST(AdminSha2, KnownVectorsWhateverThePieces) {
  for (const Vector& v : kVectors) {
    for (size_t piece : {0, 1, 3, 55, 63, 64, 65, 111, 127, 128}) {
      SCOPED_TRACE("message [" + v.message + "] in pieces of " + std::to_string(piece));
      EXPECT_EQ(digestOf(v.message, 32, piece), v.sha256);
      EXPECT_EQ(digestOf(v.message, 64, piece), v.sha512);
    }
  }
}

TEST(AdminSha2, AMillionAs) {
  std::string text(1000000, 'a');
  EXPECT_EQ(digestOf(text, 32, 4093), "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");
  EXPECT_EQ(
      sha2Hex(text.data(), text.size(), 64),
      "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EBDE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49"
      "AA2E4EADB217AD8CC09B");
}

TEST(AdminSha2, FinalWipesTheContext) {
  SHA2Context context;
  sha2Start(&context, 64);
  sha2Update(&context, "secret", 6);
  uint8_t digest[64];
  sha2Final(digest, &context);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&context);
  for (size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

std::string join(const char* base, const char* relative) {
  char out[kPathBufferSize] = "untouched";
  try {
    yxJoinPath(base, relative, out);
  } catch (const YXException& e) {
    return "error " + std::to_string(e.GetErrorCode());
  }
  return out;
}

TEST(AdminFiles, JoinPath) {
  const struct {
    const char* base;
    const char* relative;
    std::string expected;
  } cases[] = {
      {"C:/data/a/b", "../../x", "C:/data/x"}, {"C:/data/a/b", "./config", "C:/data/a/b/config"},
      {"C:/data/", "x", "C:/data/x"},          {"/srv/web", "", "/srv/web"},
      {"/srv/web", nullptr, "/srv/web"},       {"/srv/web", "../../../etc", "error 9007"},  // never above the root
      {"/srv/web", "a/../../x", "error 9007"},                                              // nor from further in
      {"/srv/web", "a/..", "error 9007"},      {"/srv/web", "a..b/c", "/srv/web/a..b/c"},
  };
  for (const auto& c : cases) EXPECT_EQ(join(c.base, c.relative), c.expected) << c.base << " + " << c.relative;
  // A result that would not fit fails rather than being cut.
  std::string fits(4090, 'd');
  EXPECT_EQ(join("/srv", fits.c_str()), "/srv/" + fits);  // 4095 characters
  std::string deep(4091, 'd');
  EXPECT_EQ(join("/srv", deep.c_str()), "error 9007");
  char untouched[kPathBufferSize] = "untouched";
  yxJoinPath(nullptr, "x", untouched);
  EXPECT_STREQ(untouched, "untouched");
}

TEST(AdminFiles, PathUnderRoot) {
  EXPECT_TRUE(pathIsUnder("./web/x.cfg", "./web"));
  EXPECT_TRUE(pathIsUnder("web/sub/../x.cfg", "./web/"));
  EXPECT_FALSE(pathIsUnder("./config/x.cfg", "./web"));
  EXPECT_FALSE(pathIsUnder("./web2/x.cfg", "./web"));
  EXPECT_FALSE(pathIsUnder("./web/../config/x.cfg", "./web"));
}

TEST(AdminHistory, VersionNames) {
  for (const char* good :
       {"current", "default", "2024-02-29-23-59-59", "2024-02-29-23-59-59-2", "2024-02-29-23-59-59-999"})
    EXPECT_TRUE(isVersionName(good)) << good;
  for (const char* bad : {"", "Current", "x", "../../etc/passwd", "2024-02-29", "2024-02-29-23-59-59-1",
                          "2024-02-29-23-59-59-02", "2024-02-29-23-59-59-1000", "2024-02-29-23-59-59_2",
                          "2024/02/29-23-59-59", "2024-02-29-23-59-5x", "default/../x"})
    EXPECT_FALSE(isVersionName(bad)) << bad;
}

// A scratch directory that is the current one for the test.
class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/admin-history-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    previous_ = fs::current_path();
    fs::current_path(dir_);
    fs::create_directory("config");
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_;
  fs::path previous_;
};

TEST_F(HistoryTest, SavesInOneSecondKeepEveryVersion) {
  write("config/app.cfg", "v0");
  write("config/app_b.cfg", "another file");  // a base sharing the prefix
  for (int n = 1; n <= 4; ++n) saveConfigWithHistory("./config/app.cfg", "v" + std::to_string(n));
  EXPECT_EQ(read("config/app.cfg"), "v4");
  std::vector<std::string> versions = listConfigVersions("./config/app.cfg");
  ASSERT_EQ(versions.size(), 5u);
  EXPECT_EQ(versions[0], "current");
  EXPECT_EQ(versions[1], "default");
  std::vector<std::string> contents;
  for (size_t i = 1; i < versions.size(); ++i) contents.push_back(read(historyPath("./config/app.cfg", versions[i])));
  EXPECT_EQ(contents, (std::vector<std::string>{"v0", "v1", "v2", "v3"}));
  struct stat st {};
  ASSERT_EQ(stat("config/app.cfg", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(listConfigVersions("./config/app_b.cfg"), std::vector<std::string>{"current"});
}

TEST_F(HistoryTest, RestoreAndRefusedPaths) {
  write("config/app.cfg", "good");
  std::string saved = saveConfigWithHistory("config/app.cfg", "bad");
  restoreConfigVersion("config/app.cfg", saved);
  EXPECT_EQ(read("config/app.cfg"), "good");
  EXPECT_EQ(listConfigVersions("config/app.cfg"), std::vector<std::string>{"current"});
  for (const char* path : {"config/noextension", "app.cfg"}) {
    try {
      saveConfigWithHistory(path, "x");
      ADD_FAILURE() << path;
    } catch (const YXException& e) {
      EXPECT_EQ(e.GetErrorCode(), kErrInvalid) << path;
    }
  }
  // No source file: nothing is written.
  EXPECT_THROW(saveConfigWithHistory("config/missing.cfg", "x"), YXException);
  EXPECT_FALSE(fs::exists("config/missing.cfg"));
}

}  // namespace
