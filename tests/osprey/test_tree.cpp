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
#include <random>
#include <sstream>
#include <stdexcept>
#include <strings.h>
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

// Ports the kernel hands out for bind(0) and outgoing connections come from
// the ephemeral range: a port picked from it can be taken again by a test
// running alongside before the server binds it, so pick below that range.
int freePort() {
  int low = 32768;
  if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(range, "%d", &low) != 1) low = 32768;
    std::fclose(range);
  }
  const int first = low > 12000 ? 10000 : 61000;
  const int last = low > 12000 ? low - 1 : 65000;
  static std::mt19937 pick{std::random_device{}()};
  for (;;) {
    const int port = std::uniform_int_distribution<int>(first, last)(pick);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (bound) return port;
  }
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (readFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return true;
}

std::string runCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

std::string HttpReply::header(const std::string& name) const {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon != std::string::npos && strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
      size_t start = line.find_first_not_of(' ', colon + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "";
}

HttpReply httpRequest(int port, const std::string& request, bool untilClose) {
  HttpReply reply;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return reply;
  }
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  char buffer[8192];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) reply.peerClosed = true;
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
    size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    reply.head = all.substr(0, end + 2);
    std::string length = reply.header("Content-Length");
    if (!untilClose && !length.empty() && all.size() >= end + 4 + std::stoul(length)) break;
  }
  close(fd);
  size_t end = all.find("\r\n\r\n");
  if (end == std::string::npos) return reply;
  reply.head = all.substr(0, end + 2);
  reply.body = all.substr(end + 4);
  std::string length = reply.header("Content-Length");
  if (!length.empty() && reply.body.size() > std::stoul(length)) reply.body.resize(std::stoul(length));
  if (reply.head.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::atoi(reply.head.c_str() + 9);
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
