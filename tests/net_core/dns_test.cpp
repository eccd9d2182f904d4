// The DNS codec on byte buffers, and the resolver and named dials against a
// small UDP responder of the test's own on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_host.h"

namespace {

using namespace std::string_literals;

std::string u16(unsigned v) { return std::string{char(v >> 8), char(v & 0xff)}; }
std::string u32(uint32_t v) { return u16(v >> 16) + u16(v & 0xffff); }

std::string encoded(const std::string &name) {
  std::string out;
  EXPECT_GT(nev_dns_encode_name(out, nev_slice{name.data(), name.size()}), 0) << name;
  return out;
}

// A reply to query: its header with the response bits, its question, and the
// answers as given (already encoded).
std::string reply_to(const std::string &query, unsigned flags, int answer_count, const std::string &answers) {
  return query.substr(0, 2) + u16(flags) + u16(1) + u16(unsigned(answer_count)) + u16(0) + u16(0) + query.substr(12) +
         answers;
}

// An answer whose name points at the question's name (offset 12).
std::string answer(unsigned type, const std::string &data) {
  return u16(0xc00c) + u16(type) + u16(1) + u32(60) + u16(unsigned(data.size())) + data;
}

const std::string loopback_a = answer(NEV_DNS_TYPE_A, std::string{127, 0, 0, 1});

// Answers each query on 127.0.0.1 with the datagrams `respond` returns.
class udp_responder {
 public:
  explicit udp_responder(std::function<std::vector<std::string>(const std::string &)> respond)
      : respond_(std::move(respond)) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~udp_responder() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[1500];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n <= 0) continue;
      queries_++;
      for (const std::string &d : respond_(std::string(buf, size_t(n))))
        sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
    }
  }
  std::function<std::vector<std::string>(const std::string &)> respond_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

struct lookup_result {
  std::atomic<bool> done{false};
  int error = -1;
  std::string address;
  std::string cname;
};

void record_result(const nev_dns_message *message, void *data, int error) {
  auto *r = static_cast<lookup_result *>(data);
  r->error = error;
  if (message != nullptr) {
    in_addr a{};
    const nev_dns_record *rec = nev_dns_next_answer(message, NEV_DNS_TYPE_A, nullptr);
    if (rec != nullptr && nev_dns_record_data(message, rec, &a, sizeof a) == 0) r->address = inet_ntoa(a);
    char name[256];
    const nev_dns_record *alias = nev_dns_next_answer(message, NEV_DNS_TYPE_CNAME, nullptr);
    if (alias != nullptr && nev_dns_record_data(message, alias, name, sizeof name) == 0) r->cname = name;
  }
  r->done = true;
}

// One lookup of "svc.test" through the responder, with short time-outs.
void lookup(EngineHost &host, const udp_responder &dns, lookup_result &result) {
  host.run_on_poller([&] {
    nev_dns_resolve_options o{};
    const std::string server = dns.server();
    o.nameserver = server.c_str();
    o.retries = 1;
    o.timeout_s = 1;
    ASSERT_EQ(nev_dns_resolve(host.mgr(), "svc.test", NEV_DNS_TYPE_A, record_result, &result, &o), 0);
  });
  ASSERT_TRUE(wait_for([&] { return result.done.load(); }, std::chrono::seconds(10)));
}

TEST(NetDnsCodec, NamesAreEncodedByTheLabelRules) {
  struct {
    const char *name;
    int length;  // -1: refused
  } cases[] = {
      {"a.bc", 6}, {"a.bc.", 6}, {"", -1}, {".", -1}, {"a..b", -1}, {".a", -1}, {"x.y.z", 7},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_EQ(nev_dns_encode_name(out, nev_slice_from_cstr(c.name)), c.length) << c.name;
  }
  std::string out;
  const std::string label63(63, 'a'), label64(64, 'a');
  EXPECT_EQ(nev_dns_encode_name(out, nev_slice{label63.data(), label63.size()}), 65);
  EXPECT_EQ(nev_dns_encode_name(out, nev_slice{label64.data(), label64.size()}), -1);
  std::string long_name;
  while (long_name.size() < 260) long_name += "abcdefg.";
  long_name.pop_back();
  EXPECT_EQ(nev_dns_encode_name(out, nev_slice{long_name.data(), long_name.size()}), -1);
}

TEST(NetDnsCodec, RepliesAreReadWithinTheirBounds) {
  std::string query;
  ASSERT_GT(nev_dns_build_query(query, 0x1234, nev_slice_from_cstr("svc.test"), NEV_DNS_TYPE_A), 0);
  const std::string good = reply_to(query, 0x8180, 2, answer(NEV_DNS_TYPE_CNAME, encoded("real.test")) + loopback_a);
  nev_dns_message m;
  ASSERT_EQ(nev_dns_parse(good.data(), good.size(), &m), 0);
  EXPECT_TRUE(nev_dns_is_reply_to(&m, 0x1234, nev_slice_from_cstr("SVC.test"), NEV_DNS_TYPE_A));
  EXPECT_FALSE(nev_dns_is_reply_to(&m, 0x1235, nev_slice_from_cstr("svc.test"), NEV_DNS_TYPE_A));
  EXPECT_FALSE(nev_dns_is_reply_to(&m, 0x1234, nev_slice_from_cstr("other.test"), NEV_DNS_TYPE_A));
  EXPECT_FALSE(nev_dns_is_reply_to(&m, 0x1234, nev_slice_from_cstr("svc.test"), NEV_DNS_TYPE_CNAME));
  nev_dns_message as_query;
  ASSERT_EQ(nev_dns_parse(query.data(), query.size(), &as_query), 0);
  EXPECT_FALSE(nev_dns_is_reply_to(&as_query, 0x1234, nev_slice_from_cstr("svc.test"), NEV_DNS_TYPE_A));

  // Every shorter prefix of a reply fails: no record is read past the end.
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<char> exact(good.begin(), good.begin() + long(n));
    EXPECT_EQ(nev_dns_parse(exact.data(), n, &m), -1) << n;
  }
  // Record data longer than what is left of the packet.
  std::string long_data = reply_to(query, 0x8180, 1, u16(0xc00c) + u16(1) + u16(1) + u32(60) + u16(40) + "abcd");
  EXPECT_EQ(nev_dns_parse(long_data.data(), long_data.size(), &m), -1);
  // An answer count of 40 is read as 32 answers.
  std::string many_answers;
  for (int i = 0; i < 40; ++i) many_answers += loopback_a;
  std::string many = reply_to(query, 0x8180, 40, many_answers);
  ASSERT_EQ(nev_dns_parse(many.data(), many.size(), &m), 0);
  EXPECT_EQ(m.num_answers, NEV_DNS_MAX_RECORDS);
}

TEST(NetDnsCodec, CompressedNamesCannotLoopOrLeaveThePacket) {
  const std::string header(12, '\0');
  char out[256];
  struct {
    const char *what;
    std::string packet;
    size_t name_at;
    const char *expected;  // nullptr: refused
  } cases[] = {
      {"backward pointer", header + "\3abc\0\3www\xc0\x0c"s, 17, "www.abc"},
      {"pointer to itself", header + "\xc0\x0c", 12, nullptr},
      {"forward pointer", header + "\xc0\x0e\1a\0"s, 12, nullptr},
      {"two pointers in a loop", header + "\1a\xc0\x10" + "\1b\xc0\x0c", 12, nullptr},
      {"label past the end",
       header + "\x09"
                "abc",
       12, nullptr},
      {"label of 64 bytes", header + "\x40" + std::string(64, 'a') + "\0"s, 12, nullptr},
      {"reserved label kind",
       header + "\x80"
                "abc\0"s,
       12, nullptr},
  };
  for (const auto &c : cases) {
    nev_dns_message m{};
    m.packet = nev_slice{c.packet.data(), c.packet.size()};
    const size_t n = nev_dns_uncompress_name(&m, nev_slice{c.packet.data() + c.name_at, 1}, out, sizeof out);
    if (c.expected) {
      EXPECT_EQ(std::string(out, n), c.expected) << c.what;
    } else {
      EXPECT_EQ(n, 0u) << c.what;
    }
  }
  // A chain of 16 backward pointers is one too many; 15 are followed.
  for (int pointers : {15, 16}) {
    std::string packet = header + "\1a\0"s;
    size_t at = 12;
    for (int i = 0; i < pointers; ++i) {
      const size_t here = packet.size();
      packet += char(0xc0 | (at >> 8));
      packet += char(at & 0xff);
      at = here;
    }
    nev_dns_message m{};
    m.packet = nev_slice{packet.data(), packet.size()};
    const size_t n = nev_dns_uncompress_name(&m, nev_slice{packet.data() + at, 2}, out, sizeof out);
    EXPECT_EQ(n, pointers == 15 ? 1u : 0u) << pointers;
  }
}

TEST(NetDnsResolver, OnlyTheMatchingReplyIsTakenAndFailuresEnd) {
  EngineHost host;
  host.start();
  {
    // A forged reply (another id) comes first: ignored, the real one is taken.
    udp_responder dns([](const std::string &q) {
      std::string forged = reply_to(q, 0x8180, 1, answer(NEV_DNS_TYPE_A, std::string{10, 9, 9, 9}));
      forged[1] = char(forged[1] ^ 0x5a);
      const std::string alias = answer(NEV_DNS_TYPE_CNAME, encoded("real.test"));
      return std::vector<std::string>{forged, reply_to(q, 0x8180, 2, alias + loopback_a)};
    });
    lookup_result r;
    lookup(host, dns, r);
    EXPECT_EQ(r.error, NEV_RESOLVE_OK);
    EXPECT_EQ(r.address, "127.0.0.1");
    EXPECT_EQ(r.cname, "real.test");
  }
  struct {
    const char *what;
    std::function<std::vector<std::string>(const std::string &)> respond;
    int error;
  } failures[] = {
      {"truncated answer",
       [](const std::string &q) {
         std::string r = reply_to(q, 0x8180, 1, loopback_a);
         return std::vector<std::string>{r.substr(0, r.size() - 2)};
       },
       NEV_RESOLVE_NO_ANSWERS},
      {"name not found", [](const std::string &q) { return std::vector<std::string>{reply_to(q, 0x8183, 0, "")}; },
       NEV_RESOLVE_NO_ANSWERS},
      {"silence", [](const std::string &) { return std::vector<std::string>{}; }, NEV_RESOLVE_TOO_MANY_RETRIES},
  };
  for (auto &f : failures) {
    udp_responder dns(f.respond);
    lookup_result r;
    lookup(host, dns, r);
    EXPECT_EQ(r.error, f.error) << f.what;
    EXPECT_TRUE(r.address.empty()) << f.what;
    // Silence: the query and one repetition.
    if (f.error == NEV_RESOLVE_TOO_MANY_RETRIES) {
      EXPECT_EQ(dns.queries(), 2) << f.what;
    }
  }
  EXPECT_EQ(host.shutdown(), 0);
}

TEST(NetDnsResolver, ADialOfAHostNameConnectsToTheAnsweredAddress) {
  EngineHost host;
  HostConfig server_cfg, dial_cfg, missing_cfg;
  nev_connection *l = host.listen(&server_cfg);
  ASSERT_NE(l, nullptr);
  udp_responder dns([](const std::string &q) {
    const bool known = q.find("\3svc\4test") != std::string::npos;
    return std::vector<std::string>{known ? reply_to(q, 0x8180, 1, loopback_a) : reply_to(q, 0x8183, 0, "")};
  });
  nev_dns_set_name_server(host.mgr(), dns.server().c_str());
  host.start();
  host.run_on_poller([&] {
    nev_dial_options o{};
    o.user_data = &dial_cfg;
    const std::string to = "svc.test:" + std::to_string(host.port_of(l));
    nev_connection *c = nev_dial_with_options(host.mgr(), to.c_str(), echo_handler, &o);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->flags & NEV_CONN_RESOLVING);
    o.user_data = &missing_cfg;
    EXPECT_NE(nev_dial_with_options(host.mgr(), "missing.test:80", echo_handler, &o), nullptr);
  });
  EXPECT_TRUE(wait_for([&] { return dial_cfg.closes == 1 && missing_cfg.closes == 1; }));
  EXPECT_EQ(dial_cfg.connect_error, 0);
  host.run_on_poller([&] { EXPECT_EQ(dial_cfg.dial_reply, "dialled\nbye\n"); });
  EXPECT_EQ(missing_cfg.connects, 1);
  EXPECT_EQ(missing_cfg.connect_error, -1);
  EXPECT_EQ(host.shutdown(), 0);
}

// The engine's own DNS server side: "svc.test" is 10.1.2.3, every other name
// has no answer; the server's answers are taken by the engine's resolver
// (which accepts only a real reply to its query) and by a raw socket.
void dns_server_handler(nev_connection *conn, int event, void *data, nev_unlock_fn) {
  if (event != NEV_EVENT_DNS_MESSAGE) return;
  const auto *request = static_cast<const nev_dns_message *>(data);
  nev_dns_message reply{};
  reply.transaction_id = request->transaction_id;
  reply.flags = NEV_DNS_FLAG_RESPONSE | NEV_DNS_FLAG_RECURSION_DESIRED | 0x80;
  reply.num_questions = request->num_questions;
  std::string out;
  nev_dns_copy_questions(out, request);
  char name[NEV_DNS_MAX_NAME + 2];
  if (request->num_questions == 1 &&
      nev_dns_uncompress_name(request, request->questions[0].name, name, sizeof name) > 0 &&
      std::string(name) == "svc.test") {
    nev_dns_record answer{};
    answer.type = NEV_DNS_TYPE_A;
    answer.rclass = NEV_DNS_CLASS_IN;
    answer.ttl = 60;
    answer.kind = NEV_DNS_KIND_ANSWER;
    const char address[4] = {10, 1, 2, 3};
    ASSERT_EQ(nev_dns_encode_record(out, &answer, name, std::strlen(name), address, sizeof address), 24);
    reply.num_answers = 1;
  } else {
    reply.flags |= 3;  // no such name
  }
  EXPECT_EQ(nev_dns_insert_header(out, 0, &reply), 12);
  nev_enqueue(conn, out.data(), out.size());
}

TEST(NetDnsServer, AnswersTheEngineResolverAndRefusesWhatDoesNotParse) {
  EngineHost host;
  nev_connection *server = nullptr;
  host.start();
  host.run_on_poller([&] {
    nev_listen_options o{};
    server = nev_listen_with_options(host.mgr(), "udp://127.0.0.1:0", dns_server_handler, &o);
    ASSERT_NE(server, nullptr);
    nev_dns_server_attach(server);
  });
  ASSERT_NE(server, nullptr);
  const std::string address = "127.0.0.1:" + std::to_string(host.port_of(server));

  struct row {
    const char *name;
    int error;
    const char *address;
  } rows[] = {{"svc.test", NEV_RESOLVE_OK, "10.1.2.3"}, {"other.test", NEV_RESOLVE_NO_ANSWERS, ""}};
  for (const row &r : rows) {
    lookup_result result;
    host.run_on_poller([&] {
      nev_dns_resolve_options o{};
      o.nameserver = address.c_str();
      o.retries = 1;
      o.timeout_s = 2;
      ASSERT_EQ(nev_dns_resolve(host.mgr(), r.name, NEV_DNS_TYPE_A, record_result, &result, &o), 0);
    });
    ASSERT_TRUE(wait_for([&] { return result.done.load(); }, std::chrono::seconds(10))) << r.name;
    EXPECT_EQ(result.error, r.error) << r.name;
    EXPECT_EQ(result.address, r.address) << r.name;
  }

  // A datagram that is no DNS message comes back behind a format error.
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(uint16_t(host.port_of(server)));
  const std::string junk = "\x12\x34junk";
  ASSERT_EQ(sendto(fd, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
            ssize_t(junk.size()));
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  char reply[512];
  const ssize_t n = recv(fd, reply, sizeof reply, 0);
  ::close(fd);
  ASSERT_EQ(n, ssize_t(12 + junk.size()));
  EXPECT_EQ(std::string(reply, 12), "\x12\x34"s + u16(NEV_DNS_FLAGS_FORMAT_ERROR) + std::string(8, '\0'));
  EXPECT_EQ(std::string(reply + 12, size_t(n) - 12), junk);
  EXPECT_EQ(host.shutdown(), 0);
}

}  // namespace
