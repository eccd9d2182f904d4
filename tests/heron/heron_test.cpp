// Drives the built heron in a temporary tree whose web/osprey.so is a fake
// plug-in (fake_plugin.cpp), and a fake systemctl for -install/-remove.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nev_core.h"
#include "test_common.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kHangLimit = std::chrono::seconds(30);

const char* const kUsage =
    "Brenlox Web Server-1.0.0\n"
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n"
    " -nc\t     to run as a normal executable without console.\n"
    " none\t     to run as a normal executable.\n\n\n";

// Reads one log line "LEVEL - <time> - <message> - <code>" into
// "LEVEL <message> <code>"; the time must look like "Mon Jan 05 12:34:56 2025".
bool parseLogLine(const std::string& line, std::string* entry) {
  std::string level;
  if (line.rfind("INFO - ", 0) == 0)
    level = "INFO";
  else if (line.rfind("ERROR - ", 0) == 0)
    level = "ERROR";
  else
    return false;
  const std::string timeShape = "Aaa Aaa 00 00:00:00 0000";
  std::string rest = line.substr(level.size() + 3);
  if (rest.size() < timeShape.size() + 3) return false;
  for (size_t i = 0; i < timeShape.size(); ++i) {
    char want = timeShape[i];
    unsigned char got = static_cast<unsigned char>(rest[i]);
    bool ok = want == 'A'   ? isupper(got) != 0
              : want == 'a' ? islower(got) != 0
              : want == '0' ? isdigit(got) != 0
                            : got == want;
    if (!ok) return false;
  }
  if (rest.compare(timeShape.size(), 3, " - ") != 0) return false;
  rest.erase(0, timeShape.size() + 3);
  size_t codeAt = rest.rfind(" - ");
  if (codeAt == std::string::npos) return false;
  std::string code = rest.substr(codeAt + 3);
  if (code.empty() || code.find_first_not_of("-0123456789") != std::string::npos) return false;
  if (entry != nullptr) *entry = level + " " + rest.substr(0, codeAt) + " " + code;
  return true;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "LEVEL message code" of every log line, without the time.
std::vector<std::string> logEntries(const std::string& text) {
  std::vector<std::string> entries;
  for (const std::string& line : linesOf(text)) {
    std::string entry;
    if (parseLogLine(line, &entry)) entries.push_back(entry);
  }
  return entries;
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

bool waitUntil(const std::function<bool()>& condition) {
  return testcommon::wait_for(condition, std::chrono::duration_cast<std::chrono::milliseconds>(kHangLimit),
                              std::chrono::milliseconds(20));
}

// A runnable tree: a copy of heron (the service mode changes to the program's
// own directory, so it must lie in the tree), web/osprey.so and the files the
// fakes write.
class HeronTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/heron-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::copy_file(HERON_PROGRAM, root_ / "heron");
    fs::create_directory(root_ / "web");
    env_["FAKE_PLUGIN_TRACE"] = (root_ / "trace.txt").string();
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (HasFailure()) {
      std::cerr << "--- stdout\n"
                << stdoutText() << "--- stderr\n"
                << stderrText() << "--- heron.log\n"
                << logText() << "--- trace\n"
                << readFile(root_ / "trace.txt");
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void usePlugin(const char* library) { fs::create_symlink(library, root_ / "web" / "osprey.so"); }

  void start(const std::vector<std::string>& args) {
    fflush(nullptr);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      if (chdir(root_.c_str()) != 0) _exit(120);
      for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
      int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      std::vector<std::string> all{(root_ / "heron").string()};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(121);
    }
  }

  // Waits for heron to end and returns its exit status (-1: it hung).
  int finish() {
    int status = 0;
    bool ended = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return -1;
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int run(const std::vector<std::string>& args) {
    start(args);
    return finish();
  }

  bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  void expectCleanExit(int status) { expectExit(status, 0); }

  // The exit status, and standard error free of sanitizer reports.
  void expectExit(int status, int wanted) {
    EXPECT_EQ(status, wanted);
    std::string err = stderrText();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }

  std::string stdoutText() { return readFile(root_ / "stdout.txt"); }
  std::string stderrText() { return readFile(root_ / "stderr.txt"); }
  std::string logText() { return readFile(root_ / "heron.log"); }
  std::vector<std::string> trace() { return linesOf(readFile(root_ / "trace.txt")); }
  bool traced(const std::string& event) { return contains(trace(), event); }
  bool logged(const std::string& entry) { return contains(logEntries(logText()), entry); }

  fs::path root_;
  std::map<std::string, std::string> env_;
  pid_t pid_ = 0;
};

// ---------------------------------------------------------------------------
// Console mode and the log
// ---------------------------------------------------------------------------

TEST_F(HeronTree, ConsoleShowsUsageThenLogsToFileAndStdout) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_FAIL"] = "1";
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"notAnOption"}}) {
    fs::remove(root_ / "heron.log");
    expectExit(run(args), 1);
    std::string out = stdoutText();
    ASSERT_EQ(out.substr(0, std::string(kUsage).size()), kUsage);
    std::vector<std::string> expected{"INFO fake - Starting 0", "ERROR fake - Couldn't start 9006"};
    EXPECT_EQ(logEntries(out), expected);
    EXPECT_EQ(logEntries(logText()), expected);
    // Every line of the file is a log line, and standard output holds nothing else.
    EXPECT_EQ(linesOf(logText()).size(), expected.size());
    EXPECT_EQ(linesOf(out.substr(std::string(kUsage).size())).size(), expected.size());
    EXPECT_TRUE(traced("init"));
  }
}

TEST_F(HeronTree, LogFileIsAppendedAcrossRuns) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_FAIL"] = "1";
  expectExit(run({}), 1);
  expectExit(run({}), 1);
  EXPECT_EQ(logEntries(logText()).size(), 4u);
}

TEST_F(HeronTree, ConcurrentLogLinesStayWhole) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_LOG_THREADS"] = "4";
  env_["FAKE_PLUGIN_RUN_MS"] = "0";
  expectCleanExit(run({}));
  std::vector<std::string> lines = linesOf(logText());
  int threadLines = 0;
  for (const std::string& line : lines) {
    EXPECT_TRUE(parseLogLine(line, nullptr)) << line;
    if (line.find("fake - thread ") != std::string::npos) ++threadLines;
  }
  EXPECT_EQ(threadLines, 200);
  EXPECT_TRUE(logged("INFO fake - terminated 0"));
}

TEST_F(HeronTree, NoConsoleDiscardsStandardOutput) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_RUN_MS"] = "0";
  for (const char* option : {"-nc", "/NC"}) {
    fs::remove(root_ / "heron.log");
    expectCleanExit(run({option}));
    EXPECT_EQ(stdoutText(), "");
    EXPECT_TRUE(logged("INFO fake - ready 0"));
    EXPECT_TRUE(logged("INFO fake - terminated 0"));
  }
}

TEST_F(HeronTree, UnknownOptionPrintsTheUsageAndFails) {
  usePlugin(FAKE_PLUGIN);
  for (const char* option : {"-x", "/whatever", "-", "--help"}) {
    expectExit(run({option}), 2);
    EXPECT_EQ(stdoutText(), "");
    EXPECT_EQ(stderrText(), "Unknown option [" + std::string(option) + "]\n" + kUsage);
    EXPECT_TRUE(trace().empty());
    EXPECT_FALSE(fs::exists(root_ / "heron.log"));
  }
}

TEST_F(HeronTree, MissingPluginIsReportedAfterUsage) {
  expectExit(run({}), 1);
  std::vector<std::string> lines = linesOf(stdoutText().substr(std::string(kUsage).size()));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Not able to load osprey symbols for agent. Can't find library [web/osprey.so]: 2");
  EXPECT_FALSE(fs::exists(root_ / "heron.log"));
}

TEST_F(HeronTree, MissingEntryPointIsNamed) {
  usePlugin(FAKE_PLUGIN_WITHOUT_STOP);
  expectExit(run({}), 1);
  EXPECT_NE(stdoutText().find("Not able to load symbols for osprey. Unable to resolve function "
                              "zvPlugin_stop\n"),
            std::string::npos);
  EXPECT_TRUE(trace().empty());
}

TEST_F(HeronTree, LogFileThatCannotOpenKeepsTheServerDown) {
  usePlugin(FAKE_PLUGIN);
  fs::create_directory(root_ / "heron.log");
  expectExit(run({}), 1);
  EXPECT_NE(stdoutText().find("Couldn't open log file for appending [heron.log] - syserror [21] - "
                              "Is a directory\n"),
            std::string::npos);
  EXPECT_FALSE(traced("init-entered"));
}

// ---------------------------------------------------------------------------
// Service mode
// ---------------------------------------------------------------------------

TEST_F(HeronTree, ServiceStopsOnSignal) {
  usePlugin(FAKE_PLUGIN);
  for (int signal : {SIGTERM, SIGINT}) {
    fs::remove(root_ / "trace.txt");
    start({"-s"});
    ASSERT_TRUE(waitUntil([&] { return traced("running"); }));
    kill(pid_, signal);
    expectCleanExit(finish());
    EXPECT_TRUE(traced("stop"));
    EXPECT_TRUE(traced("start-returned"));
    EXPECT_TRUE(logged("INFO fake - terminated 0"));
  }
}

TEST_F(HeronTree, ServiceRunsInTheProgramDirectory) {
  usePlugin(FAKE_PLUGIN);
  fs::path elsewhere = root_ / "elsewhere";
  fs::create_directory(elsewhere);
  pid_ = fork();
  ASSERT_GE(pid_, 0);
  if (pid_ == 0) {
    if (chdir(elsewhere.c_str()) != 0) _exit(120);
    setenv("FAKE_PLUGIN_TRACE", (root_ / "trace.txt").c_str(), 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    execl((root_ / "heron").c_str(), "heron", "-s", nullptr);
    _exit(121);
  }
  ASSERT_TRUE(waitUntil([&] { return traced("running"); }));
  kill(pid_, SIGTERM);
  expectCleanExit(finish());
  EXPECT_TRUE(logged("INFO fake - terminated 0"));
  EXPECT_FALSE(fs::exists(elsewhere / "heron.log"));
}

// A stop that lands before the plug-in has a server to stop must still end
// it once it has one.
TEST_F(HeronTree, StopBeforeTheServerExistsStillStopsIt) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_START_DELAY_MS"] = "1000";
  start({"-s"});
  ASSERT_TRUE(waitUntil([&] { return traced("start-entered"); }));
  kill(pid_, SIGTERM);
  expectCleanExit(finish());
  EXPECT_TRUE(traced("running"));
  EXPECT_TRUE(traced("start-returned"));
}

TEST_F(HeronTree, StopDuringInitNeverStartsTheServer) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_INIT_DELAY_MS"] = "1000";
  start({"-s"});
  ASSERT_TRUE(waitUntil([&] { return traced("init-entered"); }));
  kill(pid_, SIGTERM);
  expectCleanExit(finish());
  EXPECT_TRUE(traced("init"));
  EXPECT_FALSE(traced("stop-before-init"));
  EXPECT_FALSE(traced("start-entered"));
}

// A failed start ends the service with status 1 after its log lines, so that
// systemd sees the failure; plug-in threads still logging meanwhile do no harm.
TEST_F(HeronTree, FailedStartEndsTheServiceWithStatus1) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_FAIL"] = "1";
  env_["FAKE_PLUGIN_LINGER"] = "1";
  start({"-s"});
  expectExit(finish(), 1);
  EXPECT_TRUE(logged("ERROR fake - Couldn't start 9006"));
  EXPECT_TRUE(
      logged("ERROR heron - The web server ended without a stop request; the service ends "
             "with exit status 1 9006"));
}

// So does a server that ends without being told to; a missing plug-in too.
TEST_F(HeronTree, ServerEndingByItselfEndsTheServiceWithStatus1) {
  usePlugin(FAKE_PLUGIN);
  env_["FAKE_PLUGIN_RUN_MS"] = "0";
  start({"-s"});
  expectExit(finish(), 1);
  EXPECT_TRUE(logged("INFO fake - terminated 0"));
  fs::remove(root_ / "web" / "osprey.so");
  start({"-s"});
  expectExit(finish(), 1);
}

TEST_F(HeronTree, HangUpIsLoggedAndTheServiceGoesOn) {
  usePlugin(FAKE_PLUGIN);
  start({"-s"});
  ASSERT_TRUE(waitUntil([&] { return traced("running"); }));
  kill(pid_, SIGHUP);
  ASSERT_TRUE(waitUntil([&] {
    return logged(
        "INFO heron - SIGHUP received and ignored; osprey.json is read at start, restart "
        "the service to apply a change 0");
  }));
  EXPECT_TRUE(running());
  EXPECT_FALSE(traced("stop"));
  kill(pid_, SIGTERM);
  expectCleanExit(finish());
  EXPECT_TRUE(traced("stop"));
}

// ---------------------------------------------------------------------------
// -install / -remove
// ---------------------------------------------------------------------------

// The fake systemctl records its arguments and plays the service's state from
// a file: "stop" makes it "deactivating", the next query finds it "inactive".
const char* const kFakeSystemctl = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls.txt"
state=$(cat "$dir/state.txt" 2>/dev/null || echo inactive)
case "$1" in
  daemon-reload) [ -z "$FAIL_RELOAD" ] || exit 1 ;;
  stop) echo deactivating > "$dir/state.txt" ;;
  is-active)
    if [ "$2" != "--quiet" ]; then echo "$state"; fi
    if [ "$state" = deactivating ]; then echo inactive > "$dir/state.txt"; fi
    [ "$state" = active ] || exit 3 ;;
esac
exit 0
)";

class HeronUnit : public HeronTree {
 protected:
  void SetUp() override {
    HeronTree::SetUp();
    fs::create_directory(root_ / "units");
    fs::path script = root_ / "systemctl";
    std::ofstream(script) << kFakeSystemctl;
    fs::permissions(script, fs::perms::owner_all);
    env_["HERON_UNIT_DIR"] = (root_ / "units").string();
    env_["HERON_SYSTEMCTL"] = script.string();
  }

  fs::path unitFile() { return root_ / "units" / "yxWebServer.service"; }
  std::vector<std::string> calls() { return linesOf(readFile(root_ / "calls.txt")); }
};

TEST_F(HeronUnit, InstallWritesTheUnitInAnySpelling) {
  for (const char* option : {"-install", "/INSTALL", "-Install"}) {
    fs::remove(unitFile());
    fs::remove(root_ / "calls.txt");
    expectCleanExit(run({option}));
    EXPECT_EQ(stdoutText(), "yxWebServer is installed.\n");
    std::string unit = readFile(unitFile());
    EXPECT_NE(unit.find("Description=Brenlox Web Server\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("ExecStart=\"" + (root_ / "heron").string() + "\" -s\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("[Install]\n"), std::string::npos) << unit;
    for (const char* line :
         {"\nRestart=on-failure\n", "\nAfter=network-online.target\n", "\nWants=network-online.target\n"})
      EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
    EXPECT_EQ(calls(), std::vector<std::string>{"daemon-reload"});
  }
}

// The engine's connection cap follows the descriptor limit, and every
// connection has a thread: the unit must allow a thread for each of them.
TEST_F(HeronUnit, InstalledUnitLeavesAThreadForEveryConnection) {
  expectCleanExit(run({"-install"}));
  std::string unit = readFile(unitFile());
  auto value = [&unit](const std::string& key) {
    size_t at = unit.find("\n" + key + "=");
    return at == std::string::npos ? -1LL : std::atoll(unit.c_str() + at + key.size() + 2);
  };
  long long descriptors = value("LimitNOFILE");
  long long tasks = value("TasksMax");
  ASSERT_GT(descriptors, 1024) << unit;
  EXPECT_GT(tasks, nev_connection_cap_for(descriptors)) << unit;
}

TEST_F(HeronUnit, InstallFailuresSayWhatFailedAndLeaveNoUnit) {
  expectCleanExit(run({"-install"}));
  expectExit(run({"-install"}), 1);
  EXPECT_EQ(stdoutText(), "yxWebServer is already installed - the unit file [" + unitFile().string() +
                              "] exists; heron -remove removes it.\n");

  fs::remove(unitFile());
  env_["FAIL_RELOAD"] = "1";
  expectExit(run({"-install"}), 1);
  EXPECT_EQ(stdoutText(), "[" + (root_ / "systemctl").string() + " daemon-reload] failed with exit status 1\n" +
                              "yxWebServer is not installed; the unit file [" + unitFile().string() +
                              "] was removed again.\n");
  EXPECT_FALSE(fs::exists(unitFile()));

  env_.erase("FAIL_RELOAD");
  env_["HERON_SYSTEMCTL"] = (root_ / "no-systemctl").string();
  expectExit(run({"-install"}), 1);
  EXPECT_EQ(stdoutText().rfind("Not able to run [" + (root_ / "no-systemctl").string() + " daemon-reload]", 0), 0u)
      << stdoutText();
  EXPECT_FALSE(fs::exists(unitFile()));

  env_["HERON_UNIT_DIR"] = (root_ / "missing").string();
  expectExit(run({"-install"}), 1);
  EXPECT_EQ(stdoutText(), "Not able to use the systemd unit directory [" + (root_ / "missing").string() +
                              "] - No such file or directory\n");
}

TEST_F(HeronUnit, RemoveStopsARunningServiceFirst) {
  expectCleanExit(run({"-install"}));
  fs::remove(root_ / "calls.txt");
  std::ofstream(root_ / "state.txt") << "active\n";
  expectCleanExit(run({"/Remove"}));
  EXPECT_EQ(stdoutText(), "Stopping yxWebServer..\nyxWebServer is stopped.\nyxWebServer is removed.\n");
  EXPECT_FALSE(fs::exists(unitFile()));
  std::vector<std::string> expected{"is-active --quiet yxWebServer.service", "stop --no-block yxWebServer.service",
                                    "is-active yxWebServer.service",         "is-active yxWebServer.service",
                                    "disable --quiet yxWebServer.service",   "daemon-reload"};
  EXPECT_EQ(calls(), expected);
}

TEST_F(HeronUnit, RemoveOfAStoppedOrMissingService) {
  expectCleanExit(run({"-install"}));
  expectCleanExit(run({"-remove"}));
  EXPECT_EQ(stdoutText(), "yxWebServer is removed.\n");
  EXPECT_FALSE(fs::exists(unitFile()));

  expectExit(run({"-remove"}), 1);
  EXPECT_EQ(stdoutText(),
            "yxWebServer is not installed - no unit file [" + unitFile().string() + "] - No such file or directory\n");
}

}  // namespace
