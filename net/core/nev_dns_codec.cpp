// The DNS message codec: bytes in, records out. No socket, no logging.
#include <cstring>

#include "nev_dns.h"

namespace {

constexpr size_t HEADER_SIZE = 12;
constexpr unsigned POINTER_MARK = 0xc0;

unsigned byte_at(const char *p) { return static_cast<unsigned char>(*p); }
unsigned u16_at(const char *p) { return (byte_at(p) << 8) | byte_at(p + 1); }
uint32_t u32_at(const char *p) { return (uint32_t(u16_at(p)) << 16) | u16_at(p + 2); }

void append_u16(std::string &out, unsigned value) {
  out += char((value >> 8) & 0xff);
  out += char(value & 0xff);
}

// The end of the name at pos (after its zero byte or its pointer), or NULL
// when it runs past end or holds a reserved label kind.
const char *skip_name(const char *pos, const char *end) {
  while (pos < end) {
    const unsigned length = byte_at(pos);
    if (length == 0) return pos + 1;
    if ((length & POINTER_MARK) == POINTER_MARK) return end - pos >= 2 ? pos + 2 : nullptr;
    if (length > NEV_DNS_MAX_LABEL) return nullptr;
    if (size_t(end - pos) < 1 + size_t(length)) return nullptr;
    pos += 1 + length;
  }
  return nullptr;
}

}  // namespace

const char *nev_dns_parse_record(const char *pos, const char *end, nev_dns_record *record, int is_answer) {
  const char *after_name = skip_name(pos, end);
  if (after_name == nullptr || end - after_name < 4) return nullptr;
  *record = nev_dns_record{};
  record->name = nev_slice{pos, size_t(after_name - pos)};
  record->type = int(u16_at(after_name));
  record->rclass = int(u16_at(after_name + 2));
  record->kind = is_answer ? NEV_DNS_KIND_ANSWER : NEV_DNS_KIND_QUESTION;
  const char *p = after_name + 4;
  if (!is_answer) return p;
  if (end - p < 6) return nullptr;
  record->ttl = int(u32_at(p));
  const size_t data_length = u16_at(p + 4);
  p += 6;
  // The data must lie inside the packet: it is read by length later.
  if (size_t(end - p) < data_length) return nullptr;
  record->data = nev_slice{p, data_length};
  return p + data_length;
}

int nev_dns_parse(const void *packet, size_t length, nev_dns_message *message) {
  std::memset(message, 0, sizeof *message);
  const char *start = static_cast<const char *>(packet);
  message->packet = nev_slice{start, length};
  if (length < HEADER_SIZE) return -1;
  message->transaction_id = uint16_t(u16_at(start));
  message->flags = uint16_t(u16_at(start + 2));
  const int questions = int(u16_at(start + 4));
  const int answers = int(u16_at(start + 6));
  message->num_questions = questions < NEV_DNS_MAX_RECORDS ? questions : NEV_DNS_MAX_RECORDS;
  message->num_answers = answers < NEV_DNS_MAX_RECORDS ? answers : NEV_DNS_MAX_RECORDS;
  const char *end = start + length;
  const char *pos = start + HEADER_SIZE;
  for (int i = 0; i < message->num_questions; ++i)
    if ((pos = nev_dns_parse_record(pos, end, &message->questions[i], 0)) == nullptr) return -1;
  for (int i = 0; i < message->num_answers; ++i)
    if ((pos = nev_dns_parse_record(pos, end, &message->answers[i], 1)) == nullptr) return -1;
  return 0;
}

const nev_dns_record *nev_dns_next_answer(const nev_dns_message *message, int type, const nev_dns_record *previous) {
  int i = previous == nullptr ? 0 : int(previous - message->answers) + 1;
  for (; i < message->num_answers; ++i)
    if (message->answers[i].type == type) return &message->answers[i];
  return nullptr;
}

size_t nev_dns_uncompress_name(const nev_dns_message *message, nev_slice name, char *place, size_t size) {
  const char *begin = message->packet.p;
  const char *end = begin + message->packet.len;
  const char *pos = name.p;
  if (size == 0 || pos < begin || pos >= end) return 0;
  size_t written = 0;
  int pointers = 0;
  while (pos < end) {
    const unsigned length = byte_at(pos);
    if (length == 0) {
      if (written == 0) return 0;
      place[written - 1] = '\0';  // the last dot
      return written - 1;
    }
    if ((length & POINTER_MARK) == POINTER_MARK) {
      if (end - pos < 2 || ++pointers > NEV_DNS_MAX_POINTERS) return 0;
      const char *target = begin + (u16_at(pos) & 0x3fff);
      // Only backwards: a name can then never lead back into itself.
      if (target >= pos) return 0;
      pos = target;
      continue;
    }
    if (length > NEV_DNS_MAX_LABEL || size_t(end - pos) < 1 + size_t(length)) return 0;
    if (written + length + 1 > size) return 0;
    std::memcpy(place + written, pos + 1, length);
    written += length;
    place[written++] = '.';
    pos += 1 + length;
  }
  return 0;
}

int nev_dns_record_data(const nev_dns_message *message, const nev_dns_record *record, void *place, size_t size) {
  if (record->type == NEV_DNS_TYPE_A) {
    if (size < 4 || record->data.len != 4) return -1;
    std::memcpy(place, record->data.p, 4);
    return 0;
  }
  if (record->type == NEV_DNS_TYPE_CNAME)
    return nev_dns_uncompress_name(message, record->data, static_cast<char *>(place), size) > 0 ? 0 : -1;
  return -1;
}

int nev_dns_encode_name(std::string &out, nev_slice name) {
  if (name.len > 0 && name.p[name.len - 1] == '.') --name.len;
  if (name.len == 0 || name.len > NEV_DNS_MAX_NAME) return -1;
  std::string encoded;
  size_t label_start = 0;
  for (size_t i = 0; i <= name.len; ++i) {
    if (i < name.len && name.p[i] != '.') continue;
    const size_t label_length = i - label_start;
    if (label_length == 0 || label_length > NEV_DNS_MAX_LABEL) return -1;
    encoded += char(label_length);
    encoded.append(name.p + label_start, label_length);
    label_start = i + 1;
  }
  encoded += '\0';
  out += encoded;
  return int(encoded.size());
}

int nev_dns_build_query(std::string &out, uint16_t id, nev_slice name, int type) {
  std::string query;
  append_u16(query, id);
  append_u16(query, NEV_DNS_FLAG_RECURSION_DESIRED);
  append_u16(query, 1);  // one question
  append_u16(query, 0);
  append_u16(query, 0);
  append_u16(query, 0);
  if (nev_dns_encode_name(query, name) < 0) return -1;
  append_u16(query, unsigned(type));
  append_u16(query, NEV_DNS_CLASS_IN);
  out += query;
  return int(query.size());
}

bool nev_dns_is_reply_to(const nev_dns_message *message, uint16_t id, nev_slice name, int type) {
  if (message->transaction_id != id || !(message->flags & NEV_DNS_FLAG_RESPONSE)) return false;
  if (message->num_questions != 1) return false;
  const nev_dns_record &question = message->questions[0];
  if (question.type != type || question.rclass != NEV_DNS_CLASS_IN) return false;
  char asked[NEV_DNS_MAX_NAME + 2];
  const size_t length = nev_dns_uncompress_name(message, question.name, asked, sizeof asked);
  if (name.len > 0 && name.p[name.len - 1] == '.') --name.len;
  return length == name.len && nev_ncasecmp(asked, name.p, length) == 0;
}

int nev_dns_encode_record(std::string &out, const nev_dns_record *record, const char *name, size_t name_length,
                          const void *data, size_t data_length) {
  if (record == nullptr || record->kind == 0 || name == nullptr) return -1;
  std::string encoded;
  if (nev_dns_encode_name(encoded, nev_slice{name, name_length}) < 0) return -1;
  append_u16(encoded, unsigned(record->type));
  append_u16(encoded, unsigned(record->rclass));
  if (record->kind == NEV_DNS_KIND_ANSWER) {
    append_u16(encoded, (uint32_t(record->ttl) >> 16) & 0xffff);
    append_u16(encoded, uint32_t(record->ttl) & 0xffff);
    const char *bytes = static_cast<const char *>(data);
    if (record->type == NEV_DNS_TYPE_CNAME) {
      // The data is a name: written as labels, its length put in front.
      std::string alias;
      if (bytes == nullptr || nev_dns_encode_name(alias, nev_slice{bytes, data_length}) < 0) return -1;
      append_u16(encoded, unsigned(alias.size()));
      encoded += alias;
    } else {
      if (data_length > 0xffff || (bytes == nullptr && data_length > 0)) return -1;
      append_u16(encoded, unsigned(data_length));
      if (data_length > 0) encoded.append(bytes, data_length);
    }
  }
  out += encoded;
  return int(encoded.size());
}

int nev_dns_insert_header(std::string &out, size_t offset, const nev_dns_message *message) {
  std::string header;
  append_u16(header, message->transaction_id);
  append_u16(header, message->flags);
  append_u16(header, unsigned(message->num_questions));
  append_u16(header, unsigned(message->num_answers));
  append_u16(header, 0);  // authority records
  append_u16(header, 0);  // additional records
  out.insert(offset < out.size() ? offset : out.size(), header);
  return int(HEADER_SIZE);
}

int nev_dns_copy_questions(std::string &out, const nev_dns_message *message) {
  size_t appended = 0;
  for (int i = 0; i < message->num_questions; ++i) {
    // A parsed question lies inside its packet: its name, then type and class.
    const nev_dns_record &question = message->questions[i];
    out.append(question.name.p, question.name.len + 4);
    appended += question.name.len + 4;
  }
  return int(appended);
}
