// The verbose log's prefix, levels and filter; paths, files and directories.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "nev.h"

namespace {

// Captures the log into memory and restores the defaults afterwards.
class NevLog : public ::testing::Test {
 protected:
  void SetUp() override {
    stream_ = open_memstream(&mem_, &len_);
    nev_log_set_file(stream_);
  }
  void TearDown() override {
    nev_log_set_file(nullptr);
    nev_log_set_filter(nullptr);
    nev_log_set_level(0);
    fclose(stream_);
    free(mem_);
  }
  std::string text() {
    fflush(stream_);
    return std::string(mem_, len_);
  }
  FILE *stream_ = nullptr;
  char *mem_ = nullptr;
  size_t len_ = 0;
};

TEST_F(NevLog, PrefixIsTwentyFourColumnsOfFileAndLine) {
  nev_log_set_level(3);
  ASSERT_EQ(1, nev_log_enabled(3, "/src/net/nev_core.cpp", 42));
  nev_log_print("accepted %d", 7);
  EXPECT_EQ(std::string("nev_core.cpp:42") + std::string(9, ' ') + "accepted 7\n", text());
}

TEST_F(NevLog, LongNamesAreCutByTheLineDigits) {
  nev_log_set_level(4);
  std::string name30 = "abcdefghijklmnopqrstuvwxyz0123.cpp";
  name30.resize(30);
  ASSERT_EQ(1, nev_log_enabled(0, ("C:\\src\\" + name30).c_str(), 12345));
  nev_log_print("x");
  EXPECT_EQ(name30.substr(0, 17) + ":12345 x\n", text());
}

TEST_F(NevLog, LevelsGateMessages) {
  nev_log_set_level(3);
  EXPECT_EQ(0, nev_log_enabled(4, "nev", 1));
  EXPECT_EQ("", text());
  EXPECT_EQ(1, nev_log_enabled(0, "nev", 1));
  nev_log_print("err");
  nev_log_set_level(-1);
  nev_log_set_filter("nev=9");
  EXPECT_EQ(0, nev_log_enabled(0, "nev", 1));  // silenced: even a filter cannot reopen it
  EXPECT_EQ("nev:1                   err\n", text());
}

TEST_F(NevLog, FilterOverridesTheLevelPerSource) {
  nev_log_set_level(0);
  nev_log_set_filter("nev_http=4,nev_core.cpp:1=2,nev_tls=");
  EXPECT_EQ(1, nev_log_enabled(4, "net/nev_http.cpp", 10));
  nev_log_print("http trace");
  EXPECT_EQ(1, nev_log_enabled(2, "nev_core.cpp", 17));
  nev_log_print("core 17");
  EXPECT_EQ(0, nev_log_enabled(3, "nev_core.cpp", 17));
  EXPECT_EQ(0, nev_log_enabled(2, "nev_core.cpp", 20));  // "nev_core.cpp:1" does not begin "...:20"
  EXPECT_EQ(0, nev_log_enabled(1, "nev_tls.cpp", 5));    // an empty value names no level
  EXPECT_EQ(1, nev_log_enabled(0, "nev_tls.cpp", 5));
  nev_log_print("tls error");
  std::string t = text();
  EXPECT_NE(std::string::npos, t.find("http trace"));
  EXPECT_NE(std::string::npos, t.find("core 17"));
  EXPECT_NE(std::string::npos, t.find("tls error"));
}

TEST_F(NevLog, MacroWritesOneLine) {
  nev_log_set_level(4);
  NEV_LOG(4, ("%p %s", static_cast<void *>(nullptr), "x"));
  NEV_LOG(5, ("hidden"));
  std::string t = text();
  EXPECT_EQ(1, std::count(t.begin(), t.end(), '\n'));
  EXPECT_EQ(0u, t.find("log_file_test.cpp:"));
}

std::string native(const char *path, size_t capacity = NEV_PATH_MAX) {
  std::vector<char> out(capacity, 'z');
  size_t n = nev_path_to_native(path, out.data(), capacity);
  std::string s = out.data();
  EXPECT_EQ(n == 0 ? 0 : s.size() + 1, n) << path;
  return s;
}

TEST(NevPath, TrailingSeparatorsAndValidity) {
  EXPECT_EQ("/web", native("/web/"));
  EXPECT_EQ("/web", native("/web///"));
  EXPECT_EQ("/", native("/"));
  EXPECT_EQ("/", native("//"));
  EXPECT_EQ("./web/caf\xc3\xa9", native("./web/caf\xc3\xa9/"));
  EXPECT_EQ("", native("/bad\xff"));        // invalid UTF-8
  EXPECT_EQ("", native("/over\xc0\xaf"));   // an overlong '/'
  EXPECT_EQ("", native("/cut\xe2\x82"));    // a truncated sequence
  EXPECT_EQ("", native("/abcdefghij", 8));  // too long: refused, not cut
  EXPECT_EQ("/abcdef", native("/abcdef", 8));
  EXPECT_EQ(0u, nev_path_to_native(nullptr, nullptr, 0));
}

TEST(NevFiles, StatOpenAndList) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("nev_files_" + std::to_string(getpid()));
  fs::create_directories(dir / "sub");
  std::string file = (dir / "a.txt").string();

  FILE *f = nev_fopen(file.c_str(), "w");
  ASSERT_NE(nullptr, f);
  EXPECT_TRUE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(5u, nev_file_write("hello", 1, 5, f));
  fclose(f);

  struct stat st;
  EXPECT_EQ(0, nev_file_stat(file.c_str(), &st));
  EXPECT_EQ(5, st.st_size);
  EXPECT_EQ(0, nev_file_stat((dir.string() + "/").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(0, nev_file_stat((dir.string() + "/\xff").c_str(), &st));

  int fd = nev_file_open(file.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);
  f = nev_fopen(file.c_str(), "r");
  char buf[8] = {0};
  EXPECT_EQ(5u, nev_file_read(buf, 1, sizeof buf, f));
  EXPECT_STREQ("hello", buf);
  fclose(f);

  nev_dir *d = nev_dir_open(dir.c_str());
  ASSERT_NE(nullptr, d);
  std::vector<std::string> names;
  for (const char *e; (e = nev_dir_next(d)) != nullptr;) names.push_back(e);
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(nullptr, nev_dir_next(d));
  EXPECT_EQ(0, nev_dir_close(d));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{".", "..", "a.txt", "sub"}), names);

  EXPECT_EQ(nullptr, nev_dir_open(file.c_str()));  // not a directory
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(nullptr, nev_dir_open(nullptr));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, nev_dir_next(nullptr));
  EXPECT_EQ(-1, nev_dir_close(nullptr));

  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  EXPECT_EQ(0, nev_set_non_inheritable(pipe_fds[0]));
  EXPECT_TRUE(fcntl(pipe_fds[0], F_GETFD) & FD_CLOEXEC);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  fs::remove_all(dir);
}

}  // namespace
