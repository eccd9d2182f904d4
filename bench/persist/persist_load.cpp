// QoS 1 publisher for the persistence benchmark: C connections each keep W
// publications outstanding on one topic and count PUBACKs. A persisted topic
// acknowledges a message once its row is committed, so acknowledgements per
// second are persisted messages per second.
//
//   persist_load PORT TOPIC CONNECTIONS MESSAGES_PER_CONNECTION WINDOW
// Prints "acked N seconds S rate R".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rows.h"

namespace {

void putLength(std::string& out, size_t n) {
  do {
    uint8_t b = n % 128;
    n /= 128;
    out.push_back(static_cast<char>(n > 0 ? b | 0x80 : b));
  } while (n > 0);
}

std::string packet(uint8_t header, const std::string& body) {
  std::string out(1, static_cast<char>(header));
  putLength(out, body.size());
  return out + body;
}

std::string str16(const std::string& s) {
  std::string out;
  out.push_back(static_cast<char>(s.size() >> 8));
  out.push_back(static_cast<char>(s.size() & 0xff));
  return out + s;
}

int dial(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void sendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send");
    done += static_cast<size_t>(n);
  }
}

// Reads packets; returns the number of PUBACKs in what arrived.
struct Reader {
  int fd;
  std::string buffer;
  long pubacks(bool* connack) {
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) throw std::runtime_error("recv");
    buffer.append(chunk, static_cast<size_t>(n));
    long count = 0;
    size_t pos = 0;
    while (pos + 2 <= buffer.size()) {
      size_t length = 0, shift = 0, at = pos + 1;
      bool complete = false;
      while (at < buffer.size()) {
        uint8_t b = static_cast<uint8_t>(buffer[at++]);
        length |= static_cast<size_t>(b & 0x7f) << shift;
        shift += 7;
        if ((b & 0x80) == 0) {
          complete = true;
          break;
        }
      }
      if (!complete || at + length > buffer.size()) break;
      uint8_t type = static_cast<uint8_t>(buffer[pos]) >> 4;
      if (type == 4) count++;
      if (type == 2 && connack != nullptr) *connack = true;
      pos = at + length;
    }
    buffer.erase(0, pos);
    return count;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: persist_load PORT TOPIC CONNECTIONS MESSAGES WINDOW\n");
    return 2;
  }
  int port = atoi(argv[1]);
  std::string topic = argv[2];
  int connections = atoi(argv[3]);
  long messages = atol(argv[4]);
  long window = atol(argv[5]);
  std::atomic<long> acked{0};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < connections; c++) {
    threads.emplace_back([&, c] {
      int fd = dial(port);
      std::string connect =
          str16("MQTT") + std::string("\x04\x02\x00\x3c", 4) + str16("bench-persist-" + std::to_string(c));
      sendAll(fd, packet(0x10, connect));
      Reader reader{fd, {}};
      bool connacked = false;
      while (!connacked) reader.pubacks(&connacked);
      long sent = 0, done = 0;
      uint16_t id = 0;
      while (done < messages) {
        std::string batch;
        while (sent < messages && sent - done < window) {
          if (++id == 0) id = 1;
          std::string body = str16(topic);
          body.push_back(static_cast<char>(id >> 8));
          body.push_back(static_cast<char>(id & 0xff));
          body += benchPayload(static_cast<long>(c) * messages + sent);
          batch += packet(0x32, body);
          sent++;
        }
        if (!batch.empty()) sendAll(fd, batch);
        long n = reader.pubacks(nullptr);
        done += n;
        acked += n;
      }
      sendAll(fd, std::string("\xe0\x00", 2));
      close(fd);
    });
  }
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("acked %ld seconds %.3f rate %.0f\n", acked.load(), seconds, acked.load() / seconds);
  return 0;
}
