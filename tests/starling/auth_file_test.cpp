// The authentication set files: scrambling, parsing rules and file codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "starling.h"

namespace {

std::string tempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("starling-auth-") + std::to_string(getpid()) + name))
      .string();
}

void writeScrambled(const std::string& path, std::string text) {
  xorAuthText(text.data(), text.size());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(AuthFile, ScramblingIsItsOwnInverseAtAnyAddress) {
  alignas(8) char aligned[40];
  char text[] = "USERID someone\nPASSWD 123\n";
  for (size_t offset = 0; offset < 4; offset++) {
    char* at = aligned + offset;
    memcpy(at, text, sizeof text);
    xorAuthText(at, sizeof text);
    if (offset == 0) continue;
    // Same bytes wherever the buffer lies: files stay readable.
    alignas(8) char ref[40];
    memcpy(ref, text, sizeof text);
    xorAuthText(ref, sizeof text);
    EXPECT_EQ(0, memcmp(ref, at, sizeof text)) << offset;
    xorAuthText(at, sizeof text);
    EXPECT_STREQ(text, at);
  }
  char small[3] = {'a', 'b', 'c'};
  xorAuthText(small, 3);
  xorAuthText(small, 3);
  EXPECT_EQ(0, memcmp(small, "abc", 3));
}

TEST(AuthFile, ParsingRules) {
  std::string path = tempPath("rules");
  std::string longValue(300, 'v');
  writeScrambled(path,
                 "; USERID commented\n/ PASSWD slashed\nuserid lower\n  USERID   bob  \r\nPASSWD " + longValue + "\n");
  utilkeywds[0].value[0] = utilkeywds[1].value[0] = '\0';
  ASSERT_EQ(0, ReadAuthFile(path.c_str()));
  EXPECT_STREQ("bob", utilkeywds[0].value);
  EXPECT_EQ(std::string(254, 'v'), utilkeywds[1].value);
  std::filesystem::remove(path);
}

TEST(AuthFile, Codes) {
  std::string path = tempPath("codes");
  EXPECT_EQ(11, ReadAuthFile(path.c_str()));
  std::ofstream(path).close();
  EXPECT_EQ(13, ReadAuthFile(path.c_str()));
  writeScrambled(path, "USERID\nPASSWD x\n");
  char* user = nullptr;
  char* password = nullptr;
  try {
    _readAuthFile(path.c_str(), &user, &password);
    FAIL() << "an empty user must throw";
  } catch (const YXException& e) {
    EXPECT_EQ(-1, e.GetErrorCode());
  }
  writeScrambled(path, "USERID u\n");
  try {
    _readAuthFile(path.c_str(), &user, &password);
    FAIL() << "a missing password must throw";
  } catch (const YXException& e) {
    EXPECT_EQ(-2, e.GetErrorCode());
  }
  std::filesystem::remove(path);
}

TEST(AuthFile, WrittenPrivateAndReadBack) {
  std::string path = tempPath("write");
  std::ofstream(path).close();
  chmod(path.c_str(), 0644);
  ASSERT_TRUE(writeAuthFile(path.c_str(), "ADMIN", "TRUVE"));
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  char* user = nullptr;
  char* password = nullptr;
  _readAuthFile(path.c_str(), &user, &password);
  EXPECT_STREQ("ADMIN", user);
  EXPECT_STREQ("TRUVE", password);
  VOKTFree(user);
  VOKTFree(password);
  std::filesystem::remove(path);
}

TEST(MetadataKeys, WordSumAndLast100) {
  uint32_t abcd = 'a' | 'b' << 8 | 'c' << 16 | uint32_t('d') << 24;
  EXPECT_EQ(abcd, starlingWordSum("abcd", 4));
  EXPECT_EQ(abcd + 0x65, starlingWordSum("abcde", 5));
  std::string id100(100, 'x'), id101 = std::string(100, 'y') + "z";
  EXPECT_EQ(id100, starlingLast100(id100));
  EXPECT_EQ(std::string(100, 'y'), starlingLast100(id101));
}

}  // namespace
