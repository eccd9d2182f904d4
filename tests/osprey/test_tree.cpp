#include "test_tree.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace ospreytest {

namespace {

std::string distDir() {
  const char* dist = std::getenv("OSPREY_DIST");
  return dist != nullptr && dist[0] != '\0' ? dist : OSPREY_DIST_DIR;
}

}  // namespace

TestTree::TestTree(const std::vector<std::string>& fixtures) {
  char pattern[] = "/tmp/osprey-it-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  fs::create_directories(root_ + "/web");
  fs::create_directories(root_ + "/config");
  // heron -s works in its own directory: a copy, not a link.
  fs::copy_file(distDir() + "/heron", root_ + "/heron");
  // Only the libraries: pages of the tree's own are written in its web/, never
  // through a link into the build.
  for (const auto& entry : fs::directory_iterator(distDir() + "/web"))
    if (entry.is_regular_file() && entry.path().extension() == ".so")
      fs::create_symlink(entry.path(), root_ + "/web/" + entry.path().filename().string());
  for (const std::string& name : fixtures)
    fs::create_symlink(std::string(OSPREY_FIXTURE_DIR) + "/" + name, root_ + "/web/" + name);
}

TestTree::~TestTree() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void TestTree::write(const std::string& relative, const std::string& content) const {
  fs::create_directories(fs::path(path(relative)).parent_path());
  fs::remove(path(relative));  // a link is replaced, never written through
  std::ofstream out(path(relative), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TestTree::read(const std::string& relative) const { return readFile(path(relative)); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Process::Process(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::map<std::string, std::string>& env, const std::string& outPath,
                 const std::string& errPath) {
  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

Process::~Process() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait(5000);
  }
}

void Process::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool Process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    status_ = status;
    pid_ = -1;
    return false;
  }
  return true;
}

int Process::wait(int timeoutMs) {
  if (!testcommon::wait_for([this] { return !running(); }, std::chrono::milliseconds(timeoutMs),
                            std::chrono::milliseconds(20)))
    return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMs) {
  return testcommon::wait_for([&] { return readFile(path).find(text) != std::string::npos; },
                              std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(25));
}

HttpReply httpRequest(int port, const std::string& request, bool untilClose) {
  const int fd = testcommon::connect_loopback(port);
  if (fd < 0) return HttpReply{};
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  HttpReply reply = testcommon::read_http_reply(
      fd, std::chrono::seconds(10),
      untilClose ? testcommon::http_reply_end::close : testcommon::http_reply_end::length_or_close);
  close(fd);
  return reply;
}

HttpReply httpCall(int port, const std::string& method, const std::string& target,
                   const std::vector<std::string>& headers, const std::string& body, bool withBody) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const std::string& h : headers) request += h + "\r\n";
  if (withBody || !body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n" + body;
  return httpRequest(port, request);
}

bool hasSanitizerReport(const std::string& stderrText) {
  return stderrText.find("ERROR: AddressSanitizer") != std::string::npos ||
         stderrText.find("ERROR: LeakSanitizer") != std::string::npos ||
         stderrText.find("runtime error:") != std::string::npos;
}

}  // namespace ospreytest
