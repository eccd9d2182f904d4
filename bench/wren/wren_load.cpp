// Load of JSON-RPC calls over WebSocket: N connections, each on its own
// thread with a log-in of its own, each sending one request and waiting for
// its reply, for a number of seconds. Prints one line:
//   RESULT <calls/s> <p50 us> <p99 us> <failed calls> <client CPU %>
// where the CPU figure is the client's own user and system time over the
// run's wall time (100 = one core busy), to show whether the client limits
// the figure.
//
// Modes:
//   read   DATABASE TABLE ROWS  getRecordById of a random id in 1..ROWS
//   insert DATABASE TABLE       insertRecords of one row ("name", "qty")
//   echo                        a call the server answers before any engine
//                               work (an unknown method): what the client,
//                               the WebSocket path and the parse reach alone
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int port = 0, connections = 1, seconds = 1;
  std::string mode, database, table;
  long rows = 1;
};

class Connection {
 public:
  explicit Connection(int port, uint64_t seed) : random_(seed | 1) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("connect");
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sendAll("GET /wren HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) head += readSome();
    if (head.compare(0, 12, "HTTP/1.1 101") != 0) throw std::runtime_error("handshake refused: " + head);
    pending_ = head.substr(head.find("\r\n\r\n") + 4);
  }
  ~Connection() { close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::string call(const std::string& request) {
    sendFrame(0x1, request);
    for (;;) {
      int opcode = 0;
      std::string payload = readFrame(&opcode);
      if (opcode == 0x9)
        sendFrame(0xA, payload);
      else if (opcode == 0x1)
        return payload;
      else if (opcode != 0xA)
        throw std::runtime_error("unexpected frame " + std::to_string(opcode));
    }
  }

  uint64_t random() {  // xorshift64
    random_ ^= random_ << 13;
    random_ ^= random_ >> 7;
    random_ ^= random_ << 17;
    return random_;
  }

 private:
  void sendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send");
      sent += size_t(n);
    }
  }
  std::string readSome() {
    char buffer[16384];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) throw std::runtime_error("the server closed the connection");
    return std::string(buffer, size_t(n));
  }
  void need(size_t bytes) {
    while (pending_.size() < bytes) pending_ += readSome();
  }
  void sendFrame(int opcode, const std::string& payload) {
    std::string frame(1, char(0x80 | opcode));
    size_t n = payload.size();
    if (n < 126) {
      frame += char(0x80 | n);
    } else if (n < 65536) {
      frame += char(0x80 | 126);
      frame += char(n >> 8);
      frame += char(n & 0xFF);
    } else {
      frame += char(0x80 | 127);
      for (int shift = 56; shift >= 0; shift -= 8) frame += char((uint64_t(n) >> shift) & 0xFF);
    }
    uint32_t key = uint32_t(random());
    char mask[4] = {char(key), char(key >> 8), char(key >> 16), char(key >> 24)};
    frame.append(mask, 4);
    size_t start = frame.size();
    frame += payload;
    for (size_t i = 0; i < n; ++i) frame[start + i] ^= mask[i & 3];
    sendAll(frame);
  }
  std::string readFrame(int* opcode) {
    need(2);
    auto byte = [&](size_t i) { return uint8_t(pending_[i]); };
    *opcode = byte(0) & 0x0F;
    if (!(byte(0) & 0x80)) throw std::runtime_error("a fragmented reply");
    uint64_t length = byte(1) & 0x7F;
    size_t header = 2;
    if (length == 126) {
      need(4);
      length = (uint64_t(byte(2)) << 8) | byte(3);
      header = 4;
    } else if (length == 127) {
      need(10);
      length = 0;
      for (size_t i = 2; i < 10; ++i) length = (length << 8) | byte(i);
      header = 10;
    }
    need(header + length);
    std::string payload = pending_.substr(header, length);
    pending_.erase(0, header + length);
    return payload;
  }

  int fd_ = -1;
  uint64_t random_;
  std::string pending_;
};

std::string textMember(const std::string& reply, const std::string& name) {
  std::string key = "\"" + name + "\":\"";
  size_t at = reply.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return reply.substr(at, reply.find('"', at) - at);
}

bool succeeded(const std::string& reply) { return reply.find("\"errorCode\":0") != std::string::npos; }

struct Worker {
  std::vector<uint32_t> latenciesUs;
  long failed = 0;
  std::string error;
};

std::string requestOf(const Options& o, Connection& c, const std::string& token, long serial) {
  std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(serial) + ",\"method\":\"";
  if (o.mode == "read")
    return head + "getRecordById\",\"params\":{\"authToken\":\"" + token + "\",\"databaseName\":\"" + o.database +
           "\",\"tableName\":\"" + o.table + "\",\"id\":" + std::to_string(1 + long(c.random() % uint64_t(o.rows))) +
           "}}";
  if (o.mode == "insert")
    return head + "insertRecords\",\"params\":{\"authToken\":\"" + token + "\",\"databaseName\":\"" + o.database +
           "\",\"tableName\":\"" + o.table +
           "\",\"insertFormat\":\"arrays\",\"fieldNames\":[\"name\",\"qty\"],\"sourceData\":[[\"device-" +
           std::to_string(serial) + "\"," + std::to_string(serial) + "]]}}";
  return head + "benchNothing\",\"params\":{\"databaseName\":\"none\",\"tableName\":\"none\"}}";
}

// When every connection has logged in, the run's start and end.
struct Start {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point end;
};

void work(const Options& o, int number, Start* run, Worker* w) {
  try {
    Connection c(o.port, 0x9E3779B97F4A7C15ull * uint64_t(number + 1));
    std::string token;
    if (o.mode != "echo") {
      std::string reply = c.call(
          "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"login\",\"params\":{\"username\":\"ADMIN\",\"password\":\"TRUVE\"}}");
      token = textMember(reply, "authToken");
      if (token.empty()) throw std::runtime_error("login failed: " + reply);
    }
    ++run->ready;
    run->go.wait(false);
    w->latenciesUs.reserve(1 << 16);
    for (long serial = 1; Clock::now() < run->end; ++serial) {
      std::string request = requestOf(o, c, token, serial);
      auto sent = Clock::now();
      std::string reply = c.call(request);
      auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
      w->latenciesUs.push_back(uint32_t(std::min<int64_t>(took, UINT32_MAX)));
      bool wanted = o.mode == "echo" ? reply.find("method unknown") != std::string::npos : succeeded(reply);
      if (!wanted && w->failed++ == 0) w->error = reply.substr(0, 300);
    }
  } catch (const std::exception& e) {
    w->error = e.what();
    w->failed = std::max(w->failed, 1L);
    ++run->ready;
  }
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s PORT CONNECTIONS SECONDS read DATABASE TABLE ROWS | insert DATABASE TABLE | echo\n",
                 argv[0]);
    return 2;
  }
  Options o;
  o.port = std::atoi(argv[1]);
  o.connections = std::max(1, std::atoi(argv[2]));
  o.seconds = std::max(1, std::atoi(argv[3]));
  o.mode = argv[4];
  if ((o.mode == "read" && argc < 8) || (o.mode == "insert" && argc < 7) ||
      (o.mode != "read" && o.mode != "insert" && o.mode != "echo")) {
    std::fprintf(stderr, "%s: bad mode or missing arguments\n", argv[0]);
    return 2;
  }
  if (o.mode != "echo") {
    o.database = argv[5];
    o.table = argv[6];
  }
  if (o.mode == "read") o.rows = std::max(1L, std::atol(argv[7]));

  std::vector<Worker> workers(size_t(o.connections));
  std::vector<std::thread> threads;
  // Every connection logs in first; the clock starts when all are ready.
  Start run;
  for (int i = 0; i < o.connections; ++i) threads.emplace_back(work, std::cref(o), i, &run, &workers[size_t(i)]);
  while (run.ready.load() < o.connections) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto start = Clock::now();
  run.end = start + std::chrono::seconds(o.seconds);
  double cpuAtStart = cpuSeconds();
  run.go = true;
  run.go.notify_all();
  for (auto& t : threads) t.join();
  double cpu = cpuSeconds() - cpuAtStart;
  double wall = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<uint32_t> all;
  long failed = 0;
  for (auto& w : workers) {
    all.insert(all.end(), w.latenciesUs.begin(), w.latenciesUs.end());
    failed += w.failed;
    if (!w.error.empty()) std::fprintf(stderr, "wren_load: %s\n", w.error.c_str());
  }
  std::sort(all.begin(), all.end());
  auto percentile = [&](double p) { return all.empty() ? 0u : all[std::min(all.size() - 1, size_t(p * all.size()))]; };
  std::printf("RESULT %.0f %u %u %ld %.0f\n", double(all.size()) / wall, percentile(0.50), percentile(0.99),
              failed, 100.0 * cpu / wall);
  return 0;
}
