#include "test_common.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

namespace testcommon {

command_result run_command(const std::string& command) {
  command_result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string without_line_ends(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool peer_ended(ssize_t received, int error) { return received == 0 || (received < 0 && error == ECONNRESET); }

peer_state peek_peer(int fd) {
  char c;
  const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
  if (n > 0) return peer_state::data_waiting;
  return peer_ended(n, errno) ? peer_state::closed : peer_state::open;
}

std::string http_reply::header(const std::string& name) const {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon != std::string::npos && strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
      const size_t start = line.find_first_not_of(' ', colon + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "";
}

namespace {

// The head (with its status) of a stream that holds one; the offset of the
// body, 0 when the head is not complete yet.
size_t take_head(const std::string& stream, http_reply& reply) {
  const size_t end = stream.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  reply.head = stream.substr(0, end + 2);
  reply.status = reply.head.compare(0, 5, "HTTP/") == 0 ? std::atoi(reply.head.c_str() + 9) : 0;
  return end + 4;
}

// The reply as far as it came: the head, and the body cut to its length.
void keep_partial(const std::string& stream, http_reply& reply) {
  const size_t body = take_head(stream, reply);
  if (body == 0) return;
  reply.body = stream.substr(body);
  const std::string length = reply.header("Content-Length");
  if (!length.empty()) reply.body.resize(std::min<size_t>(reply.body.size(), std::stoul(length)));
}

}  // namespace

bool take_http_reply(std::string& stream, http_reply& reply) {
  http_reply taken;
  const size_t body = take_head(stream, taken);
  if (body == 0) return false;
  const std::string length = taken.header("Content-Length");
  const size_t body_length = length.empty() ? 0 : std::stoul(length);
  if (stream.size() < body + body_length) return false;
  taken.body = stream.substr(body, body_length);
  taken.whole = true;
  taken.peer_closed = reply.peer_closed;
  stream.erase(0, body + body_length);
  reply = taken;
  return true;
}

http_reply read_http_reply(int fd, std::chrono::milliseconds limit, http_reply_end end, std::string* rest) {
  http_reply reply;
  std::string stream;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto waits_for_close = [&] {
    if (end == http_reply_end::close) return true;
    http_reply head;
    return end == http_reply_end::length_or_close && take_head(stream, head) != 0 &&
           head.header("Content-Length").empty();
  };
  while (waits_for_close() || !take_http_reply(stream, reply)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, int(left.count())) <= 0) break;
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      stream.append(buffer, size_t(n));
      continue;
    }
    reply.peer_closed = peer_ended(n, errno);
    break;
  }
  if (!reply.whole) {
    keep_partial(stream, reply);
    stream.clear();
  }
  if (rest != nullptr) *rest = stream;
  return reply;
}

int connect_loopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int free_port() {
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
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (bound) return port;
  }
}

}  // namespace testcommon
