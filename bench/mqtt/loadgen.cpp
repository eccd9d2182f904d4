// MQTT 3.1.1 load generator for the broker benchmark. It speaks just enough
// of the protocol (CONNECT, SUBSCRIBE, PUBLISH at QoS 0/1, PUBACK, PINGREQ,
// DISCONNECT) over plain blocking sockets, one thread per client, so both
// brokers are driven by exactly the same bytes.
//
//   loadgen flow --port P --pubs N --subs M --qos Q [--seconds S] [--warmup W]
//                [--payload BYTES] [--window W] [--topic T]
//     N publishers send to one topic that M subscribers receive. Publishers
//     keep at most W messages per subscriber outstanding end to end (sent but
//     not yet received), so the figure is what the broker sustains rather
//     than how much it can buffer. Prints the deliveries per second counted
//     at the subscribers over S seconds after a warm-up of W seconds.
//
//   loadgen idle --port P [--count C] [--keepalive K]
//     Opens C connections, prints "ready C", holds them until a line (or end
//     of file) arrives on standard input, then pings every one and prints
//     "alive A" with the number that still answered.
//
//   loadgen connack --port P [--count C]
//     Connects C new clients one after another and prints the median and the
//     longest time from the TCP connect to the CONNACK, in milliseconds.
#include <arpa/inet.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// ---------------------------------------------------------------- encoding

enum PacketType : uint8_t {
  kConnect = 1,
  kConnack = 2,
  kPublish = 3,
  kPuback = 4,
  kSubscribe = 8,
  kSuback = 9,
  kPingreq = 12,
  kPingresp = 13,
  kDisconnect = 14
};

void putRemainingLength(std::string& out, size_t length) {
  do {
    uint8_t digit = length % 128;
    length /= 128;
    if (length > 0) digit |= 0x80;
    out.push_back(static_cast<char>(digit));
  } while (length > 0);
}

void putU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xFF));
}

void putString(std::string& out, std::string_view text) {
  putU16(out, static_cast<uint16_t>(text.size()));
  out.append(text);
}

std::string packet(uint8_t firstByte, const std::string& body) {
  std::string out(1, static_cast<char>(firstByte));
  putRemainingLength(out, body.size());
  return out + body;
}

std::string encodeConnect(std::string_view clientId, uint16_t keepAlive) {
  std::string body;
  putString(body, "MQTT");
  body.push_back(4);     // protocol level 3.1.1
  body.push_back(0x02);  // clean session, no will, no credentials
  putU16(body, keepAlive);
  putString(body, clientId);
  return packet(kConnect << 4, body);
}

std::string encodeSubscribe(uint16_t packetId, std::string_view filter, int qos) {
  std::string body;
  putU16(body, packetId);
  putString(body, filter);
  body.push_back(static_cast<char>(qos));
  return packet(kSubscribe << 4 | 0x02, body);
}

// A PUBLISH whose packet id (QoS 1) sits at a known offset, so a publisher
// stamps a new id into a copy instead of encoding every message again.
struct PublishTemplate {
  std::string bytes;
  size_t packetIdOffset = 0;
};

PublishTemplate encodePublish(std::string_view topic, size_t payloadSize, int qos) {
  std::string body;
  putString(body, topic);
  size_t idInBody = body.size();
  if (qos > 0) putU16(body, 0);
  body.append(payloadSize, 'x');
  PublishTemplate t;
  t.bytes = packet(static_cast<uint8_t>(kPublish << 4 | qos << 1), body);
  t.packetIdOffset = t.bytes.size() - body.size() + idInBody;
  return t;
}

void appendPuback(std::string& out, uint16_t packetId) {
  out.push_back(static_cast<char>(kPuback << 4));
  out.push_back(2);
  putU16(out, packetId);
}

const std::string kPingreqBytes("\xC0\x00", 2);
const std::string kDisconnectBytes("\xE0\x00", 2);

// ---------------------------------------------------------------- framing

struct Frame {
  uint8_t firstByte;
  std::string_view body;
  uint8_t type() const { return firstByte >> 4; }
  int qos() const { return (firstByte >> 1) & 3; }
};

// Splits the bytes received so far into whole packets; what is left of a
// partial packet stays for the next read.
class FrameReader {
 public:
  char* space(size_t want) {
    if (start_ > 0 && start_ == end_) start_ = end_ = 0;
    if (buffer_.size() - end_ < want) {
      buffer_.erase(0, start_);
      end_ -= start_;
      start_ = 0;
      if (buffer_.size() - end_ < want) buffer_.resize(end_ + want);
    }
    return buffer_.data() + end_;
  }
  size_t spaceSize() const { return buffer_.size() - end_; }
  void filled(size_t n) { end_ += n; }

  std::optional<Frame> next() {
    size_t avail = end_ - start_;
    if (avail < 2) return std::nullopt;
    const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + start_);
    size_t length = 0, shift = 0, i = 1;
    for (;; ++i) {
      if (i >= avail) return std::nullopt;
      if (i > 4) fail("malformed remaining length from broker");
      length |= static_cast<size_t>(p[i] & 0x7F) << shift;
      shift += 7;
      if ((p[i] & 0x80) == 0) break;
    }
    size_t header = i + 1;
    if (avail < header + length) return std::nullopt;
    Frame f{p[0], std::string_view(buffer_.data() + start_ + header, length)};
    start_ += header + length;
    return f;
  }

 private:
  std::string buffer_;
  size_t start_ = 0, end_ = 0;
};

uint16_t readU16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) << 8 | static_cast<uint8_t>(s[at + 1]));
}

// ---------------------------------------------------------------- sockets

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket& operator=(Socket&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  Socket(const Socket&) = delete;
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

  static Socket connectTo(const std::string& host, int port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd_ < 0) fail(std::string("socket: ") + strerror(errno));
    int one = 1;
    setsockopt(s.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) fail("bad address " + host);
    if (::connect(s.fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      fail("connect to " + host + ":" + std::to_string(port) + ": " + strerror(errno));
    return s;
  }

  void setReceiveTimeout(std::chrono::milliseconds timeout) {
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  void sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;  // send timeout not set: cannot spin long
      if (n <= 0) fail(std::string("send: ") + strerror(errno));
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  // Reads once into the reader: >0 bytes, 0 on timeout or nothing waiting
  // (dontWait); throws when the broker closed the connection.
  size_t receive(FrameReader& reader, bool dontWait = false) {
    char* at = reader.space(64 * 1024);
    for (;;) {
      ssize_t n = ::recv(fd_, at, reader.spaceSize(), dontWait ? MSG_DONTWAIT : 0);
      if (n > 0) {
        reader.filled(static_cast<size_t>(n));
        return static_cast<size_t>(n);
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      fail(n == 0 ? std::string("broker closed the connection") : std::string("recv: ") + strerror(errno));
    }
  }

 private:
  int fd_ = -1;
};

// Waits for one packet of the given type, skipping others; throws after the timeout.
Frame awaitPacket(Socket& s, FrameReader& reader, uint8_t type, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    while (auto f = reader.next())
      if (f->type() == type) return *f;
    if (Clock::now() > deadline) fail("no answer of type " + std::to_string(type) + " from broker");
    s.receive(reader);
  }
}

struct Client {
  Socket socket;
  FrameReader reader;
};

// CONNECT is sent for every socket first and the CONNACKs read afterwards,
// so opening many connections does not wait one round trip per connection.
std::vector<Client> connectClients(const std::string& host, int port, const std::vector<std::string>& ids,
                                   uint16_t keepAlive) {
  std::vector<Client> clients(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    clients[i].socket = Socket::connectTo(host, port);
    clients[i].socket.setReceiveTimeout(std::chrono::milliseconds(200));
    clients[i].socket.sendAll(encodeConnect(ids[i], keepAlive));
  }
  for (auto& c : clients) {
    Frame ack = awaitPacket(c.socket, c.reader, kConnack, std::chrono::seconds(10));
    if (ack.body.size() < 2 || ack.body[1] != 0)
      fail("CONNACK refused with code " + std::to_string(ack.body.size() < 2 ? -1 : ack.body[1]));
  }
  return clients;
}

// ---------------------------------------------------------------- options

struct Options {
  std::string mode;
  std::string host = "127.0.0.1";
  int port = 0;
  int publishers = 8;
  int subscribers = 1;
  int qos = 0;
  double seconds = 5;
  double warmup = 0.5;
  size_t payload = 64;
  int window = 256;
  std::string topic = "bench/load";
  int count = 1000;
  int keepAlive = 600;
};

Options parseOptions(int argc, char** argv) {
  if (argc < 2) fail("usage: loadgen flow|idle|connack --port P [options]");
  Options o;
  o.mode = argv[1];
  for (int i = 2; i < argc; i += 2) {
    std::string key = argv[i];
    if (i + 1 >= argc) fail("option " + key + " needs a value");
    std::string value = argv[i + 1];
    if (key == "--host")
      o.host = value;
    else if (key == "--port")
      o.port = std::stoi(value);
    else if (key == "--pubs")
      o.publishers = std::stoi(value);
    else if (key == "--subs")
      o.subscribers = std::stoi(value);
    else if (key == "--qos")
      o.qos = std::stoi(value);
    else if (key == "--seconds")
      o.seconds = std::stod(value);
    else if (key == "--warmup")
      o.warmup = std::stod(value);
    else if (key == "--payload")
      o.payload = std::stoul(value);
    else if (key == "--window")
      o.window = std::stoi(value);
    else if (key == "--topic")
      o.topic = value;
    else if (key == "--count")
      o.count = std::stoi(value);
    else if (key == "--keepalive")
      o.keepAlive = std::stoi(value);
    else
      fail("unknown option " + key);
  }
  if (o.port <= 0) fail("--port is required");
  if (o.qos < 0 || o.qos > 1) fail("--qos must be 0 or 1");
  if (o.publishers < 1 || o.subscribers < 1 || o.window < 1) fail("--pubs, --subs and --window must be positive");
  return o;
}

std::string uniqueId(const char* role, int index) {
  return "lg" + std::to_string(getpid()) + "-" + role + std::to_string(index);
}

// ---------------------------------------------------------------- flow mode

// What publishers and subscribers share. Publishers sleep on a futex word
// that subscribers bump after each read, so waiting for the window costs no
// processor time the brokers could use.
struct Flow {
  const Options& options;
  std::atomic<uint64_t> published{0};
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> written_off{0};  // deliveries given up on after a stall (lost messages)
  std::atomic<uint32_t> progress{0};
  std::atomic<int> sleepers{0};
  std::atomic<uint64_t> stalls{0};
  std::atomic<bool> stopPublishing{false};
  std::atomic<bool> stopReceiving{false};
  std::mutex errorLock;
  std::string error;

  explicit Flow(const Options& o) : options(o) {}

  void report(const std::string& what) {
    std::lock_guard<std::mutex> hold(errorLock);
    if (error.empty()) error = what;
    stopPublishing = stopReceiving = true;
  }

  void noteDeliveries(uint64_t n) {
    delivered.fetch_add(n, std::memory_order_relaxed);
    progress.fetch_add(1, std::memory_order_release);
    if (sleepers.load(std::memory_order_acquire) > 0)
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(&progress), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  }

  // How many more messages one publisher may send now.
  uint64_t allowance() const {
    uint64_t subs = static_cast<uint64_t>(options.subscribers);
    uint64_t owed = published.load(std::memory_order_relaxed) * subs;
    uint64_t settled = delivered.load(std::memory_order_relaxed) + written_off.load(std::memory_order_relaxed);
    uint64_t outstanding = owed > settled ? owed - settled : 0;
    uint64_t limit = static_cast<uint64_t>(options.window) * subs;
    return outstanding >= limit ? 0 : (limit - outstanding) / subs;
  }

  void sleepForProgress(uint32_t seen) {
    sleepers.fetch_add(1, std::memory_order_acq_rel);
    timespec timeout{0, 10 * 1000 * 1000};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&progress), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
    sleepers.fetch_sub(1, std::memory_order_acq_rel);
  }

  // A broker may drop messages (QoS 0 under load): after half a second with
  // nothing delivered the outstanding ones are counted lost so the run goes on.
  void writeOffStalled() {
    uint64_t owed = published.load() * static_cast<uint64_t>(options.subscribers);
    uint64_t settled = delivered.load() + written_off.load();
    if (owed > settled) {
      written_off.fetch_add(owed - settled);
      stalls.fetch_add(1);
    }
  }
};

void runSubscriber(Flow& flow, Client& client) {
  try {
    std::string acks;
    while (!flow.stopReceiving.load(std::memory_order_relaxed)) {
      if (client.socket.receive(client.reader) == 0) continue;
      uint64_t count = 0;
      while (auto f = client.reader.next()) {
        if (f->type() != kPublish) continue;
        ++count;
        if (f->qos() > 0) {
          size_t topicLength = readU16(f->body, 0);
          appendPuback(acks, readU16(f->body, 2 + topicLength));
        }
      }
      if (!acks.empty()) {
        client.socket.sendAll(acks);
        acks.clear();
      }
      if (count > 0) flow.noteDeliveries(count);
    }
  } catch (const std::exception& e) {
    flow.report(std::string("subscriber: ") + e.what());
  }
}

class Publisher {
 public:
  Publisher(Flow& flow, Client& client)
      : flow_(flow),
        client_(client),
        template_(encodePublish(flow.options.topic, flow.options.payload, flow.options.qos)) {}

  void run() {
    try {
      auto lastProgress = Clock::now();
      uint64_t lastDelivered = flow_.delivered.load();
      while (!flow_.stopPublishing.load(std::memory_order_relaxed)) {
        uint32_t seen = flow_.progress.load(std::memory_order_acquire);
        uint64_t batch = std::min<uint64_t>(flow_.allowance(), kBatch);
        if (qos1()) batch = std::min<uint64_t>(batch, kMaxInFlight - inFlight_);
        if (batch > 0) {
          sendBatch(batch);
        } else if (qos1() && inFlight_ >= kMaxInFlight) {
          readAcks(false);
        } else {
          flow_.sleepForProgress(seen);
          if (qos1()) readAcks(true);
        }
        uint64_t delivered = flow_.delivered.load(std::memory_order_relaxed);
        if (delivered != lastDelivered) {
          lastDelivered = delivered;
          lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::milliseconds(500)) {
          flow_.writeOffStalled();
          lastProgress = Clock::now();
        }
      }
      // PUBACKs still owed are read so the broker sees a well-behaved client.
      auto deadline = Clock::now() + std::chrono::seconds(2);
      while (qos1() && inFlight_ > 0 && Clock::now() < deadline) readAcks(false);
    } catch (const std::exception& e) {
      flow_.report(std::string("publisher: ") + e.what());
    }
  }

 private:
  static constexpr uint64_t kBatch = 32;
  static constexpr uint64_t kMaxInFlight = 4096;

  bool qos1() const { return flow_.options.qos > 0; }

  void sendBatch(uint64_t count) {
    out_.clear();
    for (uint64_t i = 0; i < count; ++i) {
      size_t at = out_.size();
      out_ += template_.bytes;
      if (qos1()) {
        if (++nextId_ == 0) nextId_ = 1;
        out_[at + template_.packetIdOffset] = static_cast<char>(nextId_ >> 8);
        out_[at + template_.packetIdOffset + 1] = static_cast<char>(nextId_ & 0xFF);
      }
    }
    flow_.published.fetch_add(count, std::memory_order_relaxed);
    if (qos1()) inFlight_ += count;
    client_.socket.sendAll(out_);
    if (qos1()) readAcks(true);
  }

  void readAcks(bool dontWait) {
    if (client_.socket.receive(client_.reader, dontWait) == 0) return;
    while (auto f = client_.reader.next())
      if (f->type() == kPuback && inFlight_ > 0) --inFlight_;
  }

  Flow& flow_;
  Client& client_;
  PublishTemplate template_;
  std::string out_;
  uint16_t nextId_ = 0;
  uint64_t inFlight_ = 0;
};

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

int runFlow(const Options& o) {
  std::vector<std::string> subIds, pubIds;
  for (int i = 0; i < o.subscribers; ++i) subIds.push_back(uniqueId("s", i));
  for (int i = 0; i < o.publishers; ++i) pubIds.push_back(uniqueId("p", i));

  std::vector<Client> subs = connectClients(o.host, o.port, subIds, 60);
  for (auto& s : subs) s.socket.sendAll(encodeSubscribe(1, o.topic, o.qos));
  for (auto& s : subs) {
    Frame ack = awaitPacket(s.socket, s.reader, kSuback, std::chrono::seconds(10));
    if (ack.body.size() < 3 || static_cast<uint8_t>(ack.body[2]) != o.qos) fail("SUBACK did not grant the QoS asked");
  }
  std::vector<Client> pubs = connectClients(o.host, o.port, pubIds, 60);

  Flow flow(o);
  std::vector<std::thread> threads;
  for (auto& s : subs) threads.emplace_back(runSubscriber, std::ref(flow), std::ref(s));
  std::vector<Publisher> publishers;
  publishers.reserve(pubs.size());
  for (auto& p : pubs) publishers.emplace_back(flow, p);
  for (auto& p : publishers) threads.emplace_back(&Publisher::run, &p);

  sleepSeconds(o.warmup);
  uint64_t startDelivered = flow.delivered.load();
  auto start = Clock::now();
  sleepSeconds(o.seconds);
  uint64_t measured = flow.delivered.load() - startDelivered;
  double elapsed = secondsSince(start);
  flow.stopPublishing = true;

  // Let what is in the pipe arrive, so the loss count is honest.
  auto drainStart = Clock::now();
  uint64_t owed = 0;
  for (;;) {
    owed = flow.published.load() * static_cast<uint64_t>(o.subscribers);
    if (flow.delivered.load() >= owed || secondsSince(drainStart) > 3 || !flow.error.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  flow.stopReceiving = true;
  for (auto& t : threads) t.join();
  if (!flow.error.empty()) {
    fprintf(stderr, "loadgen: %s\n", flow.error.c_str());
    return 1;
  }
  for (auto* group : {&pubs, &subs})
    for (auto& c : *group) {
      try {
        c.socket.sendAll(kDisconnectBytes);
      } catch (const std::exception&) {
      }
    }
  uint64_t delivered = flow.delivered.load();
  printf("msgs_per_s=%.0f delivered=%llu published=%llu lost=%llu stalls=%llu seconds=%.2f\n", measured / elapsed,
         static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(flow.published.load()),
         static_cast<unsigned long long>(owed > delivered ? owed - delivered : 0),
         static_cast<unsigned long long>(flow.stalls.load()), elapsed);
  return 0;
}

// ---------------------------------------------------------------- idle mode

int runIdle(const Options& o) {
  std::vector<std::string> ids;
  for (int i = 0; i < o.count; ++i) ids.push_back(uniqueId("i", i));
  std::vector<Client> clients;
  const size_t kWave = 100;  // CONNECTs in flight at once
  for (size_t at = 0; at < ids.size(); at += kWave) {
    std::vector<std::string> wave(ids.begin() + at, ids.begin() + std::min(ids.size(), at + kWave));
    for (auto& c : connectClients(o.host, o.port, wave, static_cast<uint16_t>(o.keepAlive)))
      clients.push_back(std::move(c));
  }
  printf("ready %zu\n", clients.size());
  fflush(stdout);

  std::string line;
  std::getline(std::cin, line);

  for (auto& c : clients) {
    try {
      c.socket.sendAll(kPingreqBytes);
    } catch (const std::exception&) {
    }
  }
  size_t alive = 0;
  for (auto& c : clients) {
    try {
      awaitPacket(c.socket, c.reader, kPingresp, std::chrono::seconds(5));
      ++alive;
      c.socket.sendAll(kDisconnectBytes);
    } catch (const std::exception&) {
    }
  }
  printf("alive %zu\n", alive);
  return alive == clients.size() ? 0 : 1;
}

// ---------------------------------------------------------------- connack mode

int runConnack(const Options& o) {
  std::vector<double> millis;
  for (int i = 0; i < o.count; ++i) {
    auto start = Clock::now();
    std::vector<Client> one = connectClients(o.host, o.port, {uniqueId("c", i)}, static_cast<uint16_t>(o.keepAlive));
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    one[0].socket.sendAll(kDisconnectBytes);
  }
  if (millis.empty()) fail("--count must be positive");
  std::sort(millis.begin(), millis.end());
  printf("connack_ms median=%.2f max=%.2f\n", millis[millis.size() / 2], millis.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options o = parseOptions(argc, argv);
    if (o.mode == "flow") return runFlow(o);
    if (o.mode == "idle") return runIdle(o);
    if (o.mode == "connack") return runConnack(o);
    fail("unknown mode " + o.mode);
  } catch (const std::exception& e) {
    fprintf(stderr, "loadgen: %s\n", e.what());
    return 1;
  }
}
