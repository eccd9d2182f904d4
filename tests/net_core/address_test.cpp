// Address texts of listeners and dials, and access lists.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "nev.h"

namespace {

TEST(NetCoreAddress, ParseTable) {
  struct Case {
    const char *text;
    int result;  // > 0: characters used; 0: a name; -1: refused
    const char *ip;
    int port;
    int proto;
  } cases[] = {
      {"8080", 4, "0.0.0.0", 8080, NEV_PROTO_TCP},
      {":8080", 5, "0.0.0.0", 8080, NEV_PROTO_TCP},
      {"127.0.0.1:1883", 14, "127.0.0.1", 1883, NEV_PROTO_TCP},
      {"tcp://10.0.0.255:0", 18, "10.0.0.255", 0, NEV_PROTO_TCP},
      {"udp://0.0.0.0:5353", 18, "0.0.0.0", 5353, NEV_PROTO_UDP},
      {"1.2.3.4:80,next", 10, "1.2.3.4", 80, NEV_PROTO_TCP},
      {"1.2.3.4:80 rest", 10, "1.2.3.4", 80, NEV_PROTO_TCP},
      {"65534", 5, "0.0.0.0", 65534, NEV_PROTO_TCP},
      {"example:80", 0, "0.0.0.0", 80, NEV_PROTO_TCP},
      {"65535", -1, nullptr, 0, 0},
      {"99999999999", -1, nullptr, 0, 0},
      {"localhost:80", -1, nullptr, 0, 0},
      {"LOCALHOST:80", -1, nullptr, 0, 0},
      {"256.1.1.1:80", -1, nullptr, 0, 0},
      {"1.2.3.300:80", -1, nullptr, 0, 0},
      {"-1.2.3.4:80", -1, nullptr, 0, 0},
      {"1.-2.3.4:80", -1, nullptr, 0, 0},
      {"+1.2.3.4:80", -1, nullptr, 0, 0},
      {"1.2.3:80", -1, nullptr, 0, 0},
      {"1.2.3.4.5:80", -1, nullptr, 0, 0},
      {"1.2.3.4:-80", -1, nullptr, 0, 0},
      {"1.2.3.4:", -1, nullptr, 0, 0},
      {"1.2.3.4:80x", -1, nullptr, 0, 0},
      {"-5", -1, nullptr, 0, 0},
      {"", -1, nullptr, 0, 0},
  };
  for (const Case &c : cases) {
    sockaddr_in addr{};
    int proto = 0;
    char host[200];
    EXPECT_EQ(nev_parse_address(c.text, &addr, &proto, host, sizeof(host)), c.result) << c.text;
    if (c.result < 0) continue;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof(ip));
    EXPECT_STREQ(ip, c.ip) << c.text;
    EXPECT_EQ(ntohs(addr.sin_port), c.port) << c.text;
    EXPECT_EQ(proto, c.proto) << c.text;
    if (c.result == 0) {
      EXPECT_STREQ(host, "example");
    }
  }
}

TEST(NetCoreAddress, AccessListTable) {
  auto ip = [](const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
  };
  struct Case {
    const char *list;
    const char *address;
    int verdict;
  } cases[] = {
      {nullptr, "1.2.3.4", 1},
      {"", "1.2.3.4", 1},
      {"+192.168.1.0/24", "192.168.1.7", 1},
      {"+192.168.1.0/24", "10.0.0.1", 0},
      {"-0.0.0.0/0,+10.0.0.0/8", "10.1.2.3", 1},
      {"-0.0.0.0/0,+10.0.0.0/8", "11.1.2.3", 0},
      {"+0.0.0.0/0,-10.0.0.5", "10.0.0.5", 0},
      {"+0.0.0.0/0,-10.0.0.5", "10.0.0.6", 1},
      {"+192.168.1.5/24", "192.168.1.5", 0},  // host bits set: never matches
      {"+1.2.3.4/32", "1.2.3.4", 1},
      {"x1.2.3.4", "1.2.3.4", -1},
      {"+256.1.1.1", "1.2.3.4", -1},
      {"+1.2.3.4/33", "1.2.3.4", -1},
      {"+1.2.3.4/-1", "1.2.3.4", -1},
      {"+-1.2.3.4", "1.2.3.4", -1},
      {"+1.2.3", "1.2.3.4", -1},
      {"+1.2.3.4x", "1.2.3.4", -1},
      {"+1.2.3.4/", "1.2.3.4", -1},
      {"+1.2.3.4,", "1.2.3.4", 1},  // a trailing comma ends the list
      {"+1.2.3.4,,-1.2.3.4", "1.2.3.4", -1},
      {"+01.002.3.4", "1.2.3.4", 1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(nev_check_access_list(c.list, ip(c.address)), c.verdict)
        << (c.list ? c.list : "(null)") << " " << c.address;
}

}  // namespace
