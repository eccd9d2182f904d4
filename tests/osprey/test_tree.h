// Helpers of the plug-in's integration tests: a temporary runnable tree,
// child processes, free ports and a plain HTTP client.
#ifndef OSPREY_TEST_TREE_H
#define OSPREY_TEST_TREE_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "test_common.h"

namespace ospreytest {

// A temporary tree laid out as the runnable one: heron at its root, web/
// holding links to the built libraries and the chosen fixtures, config/.
// Removed with everything in it when the object goes.
class TestTree {
 public:
  explicit TestTree(const std::vector<std::string>& fixtures);
  ~TestTree();
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  void write(const std::string& relative, const std::string& content) const;
  std::string read(const std::string& relative) const;
  // The fixtures' event lines (OSPREY_FIXTURE_EVENTS).
  std::string events() const { return read("events.log"); }
  std::string eventsPath() const { return path("events.log"); }

 private:
  std::string root_;
};

// A child process; killed (SIGKILL) if still running when the object goes.
class Process {
 public:
  // Runs argv[0] (a path) in cwd with extra environment entries; standard
  // output and error go to the files outPath and errPath.
  Process(const std::vector<std::string>& argv, const std::string& cwd, const std::map<std::string, std::string>& env,
          const std::string& outPath, const std::string& errPath);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void signal(int sig);
  // Waits for the exit; returns the exit status, or -1 on time-out.
  int wait(int timeoutMs);
  bool running();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Polls a file until it contains text; false on time-out.
bool waitForText(const std::string& path, const std::string& text, int timeoutMs);
std::string readFile(const std::string& path);

using HttpReply = testcommon::http_reply;

// Sends the raw request to 127.0.0.1:port and reads until the peer closes (or
// the Content-Length is read; with untilClose, on until the peer closes or 10 s
// pass, which peer_closed tells).
HttpReply httpRequest(int port, const std::string& request, bool untilClose = false);
// A request with "Connection: close" and a Content-Length when there is a body.
HttpReply httpCall(int port, const std::string& method, const std::string& target,
                   const std::vector<std::string>& headers = {}, const std::string& body = "", bool withBody = false);

// Sanitizer reports in a process's standard error.
bool hasSanitizerReport(const std::string& stderrText);

}  // namespace ospreytest

#endif
