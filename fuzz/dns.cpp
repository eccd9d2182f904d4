// DNS replies as the resolver reads them: the message parsed, every question
// and answer name uncompressed, A and CNAME data read, and the reply matched
// against a query. A name from the input is also encoded into a query, which
// must parse back to that name.
#include <string>

#include "fuzz_input.h"
#include "nev_dns.h"

namespace {

bool inside(nev_slice s, const nev_slice &packet) {
  if (s.len == 0) return true;
  return s.p >= packet.p && s.p <= packet.p + packet.len && s.len <= size_t(packet.p + packet.len - s.p);
}

void read_reply(const fuzz::exact &packet) {
  nev_dns_message message;
  if (nev_dns_parse(packet.data(), packet.size(), &message) != 0) return;
  FUZZ_CHECK(message.num_questions >= 0 && message.num_questions <= NEV_DNS_MAX_RECORDS);
  FUZZ_CHECK(message.num_answers >= 0 && message.num_answers <= NEV_DNS_MAX_RECORDS);
  char name[NEV_DNS_MAX_NAME + 2];
  for (int i = 0; i < message.num_questions; ++i) {
    const size_t n = nev_dns_uncompress_name(&message, message.questions[i].name, name, sizeof name);
    FUZZ_CHECK(n < sizeof name);
    nev_dns_is_reply_to(&message, message.transaction_id, nev_slice{name, n}, NEV_DNS_TYPE_A);
  }
  for (int i = 0; i < message.num_answers; ++i) {
    const nev_dns_record &answer = message.answers[i];
    FUZZ_CHECK(inside(answer.data, message.packet));
    char small[8];
    nev_dns_uncompress_name(&message, answer.name, small, sizeof small);
    nev_dns_uncompress_name(&message, answer.name, name, sizeof name);
    unsigned char address[4];
    nev_dns_record_data(&message, &answer, address, sizeof address);
    nev_dns_record_data(&message, &answer, name, sizeof name);
  }
  for (const nev_dns_record *a = nullptr; (a = nev_dns_next_answer(&message, NEV_DNS_TYPE_A, a)) != nullptr;) {
  }
  for (const nev_dns_record *a = nullptr; (a = nev_dns_next_answer(&message, NEV_DNS_TYPE_CNAME, a)) != nullptr;) {
  }
}

void query_round_trip(const std::string &name) {
  std::string query;
  if (nev_dns_build_query(query, 0x1234, nev_slice{name.data(), name.size()}, NEV_DNS_TYPE_A) < 0) return;
  const fuzz::exact packet(query);
  nev_dns_message message;
  FUZZ_CHECK(nev_dns_parse(packet.data(), packet.size(), &message) == 0);
  FUZZ_CHECK(message.num_questions == 1);
  char text[NEV_DNS_MAX_NAME + 2];
  const size_t n = nev_dns_uncompress_name(&message, message.questions[0].name, text, sizeof text);
  std::string expected = name;
  if (!expected.empty() && expected.back() == '.') expected.pop_back();
  FUZZ_CHECK(std::string(text, n) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::input in(data, size);
  const uint8_t mode = in.byte();
  const std::string bytes = in.rest();
  if (mode & 1) {
    query_round_trip(bytes);
  } else {
    read_reply(fuzz::exact(bytes));
  }
  return 0;
}
