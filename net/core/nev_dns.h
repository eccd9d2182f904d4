// DNS: the message codec (functions of bytes, no socket, no logging) and the
// asynchronous resolver that dialling a host name uses (nev_dial_with_options
// starts a lookup of type A and continues in nev_dial_lookup_finished).
//
// A lookup is one UDP connection of the dialling manager: it sends its query
// when connected, repeats it every time-out seconds, and ends with exactly
// one call of its completion function, on the manager's polling thread. Only
// a reply that carries the query's random id, the response bit and the
// query's own question is taken; anything else on the socket is ignored.
// Ownership: the lookup owns its request record; the completion's message
// points into the resolver's receive buffer and lives only during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "nev_core.h"
#include "nev_str.h"

constexpr int NEV_DNS_TYPE_A = 1;
constexpr int NEV_DNS_TYPE_CNAME = 5;
constexpr int NEV_DNS_CLASS_IN = 1;

// Records read from one message at most, per section.
constexpr int NEV_DNS_MAX_RECORDS = 32;
// A name: labels of 1 to 63 bytes, 253 characters written as text.
constexpr size_t NEV_DNS_MAX_LABEL = 63;
constexpr size_t NEV_DNS_MAX_NAME = 253;
// Compression pointers followed in one name at most (each must also point
// backwards, so a loop cannot form).
constexpr int NEV_DNS_MAX_POINTERS = 15;

constexpr int NEV_DNS_KIND_QUESTION = 1;
constexpr int NEV_DNS_KIND_ANSWER = 2;

// Flags of a message header.
constexpr uint16_t NEV_DNS_FLAG_RESPONSE = 0x8000;
constexpr uint16_t NEV_DNS_FLAG_TRUNCATED = 0x0200;
constexpr uint16_t NEV_DNS_FLAG_RECURSION_DESIRED = 0x0100;
constexpr uint16_t NEV_DNS_RCODE_MASK = 0x000f;

struct nev_dns_record {
  nev_slice name;  // the name's first byte in the packet (possibly compressed)
  int type;
  int rclass;
  int ttl;         // answers only
  int kind;        // NEV_DNS_KIND_*
  nev_slice data;  // answers only; always inside the packet
};

struct nev_dns_message {
  nev_slice packet;
  uint16_t flags;           // host order
  uint16_t transaction_id;  // host order
  int num_questions;        // at most NEV_DNS_MAX_RECORDS
  int num_answers;          // at most NEV_DNS_MAX_RECORDS
  nev_dns_record questions[NEV_DNS_MAX_RECORDS];
  nev_dns_record answers[NEV_DNS_MAX_RECORDS];
};

// ---- Codec ----

// Parses the header, questions and answers (counts above the maximum are cut
// to it). Returns 0, or -1 when the packet is shorter than its header or a
// record runs past the packet's end.
int nev_dns_parse(const void *packet, size_t length, nev_dns_message *message);
// One record at pos: the position after it, or NULL when it does not fit
// before end (a name label, the fixed fields or the record data).
const char *nev_dns_parse_record(const char *pos, const char *end, nev_dns_record *record, int is_answer);
// The first answer of the type after previous (NULL: from the start), or NULL.
const nev_dns_record *nev_dns_next_answer(const nev_dns_message *message, int type, const nev_dns_record *previous);
// A record's data: A gives its 4 address bytes (size >= 4), CNAME the name as
// text. 0, or -1 (other types, short data, a bad name).
int nev_dns_record_data(const nev_dns_message *message, const nev_dns_record *record, void *place, size_t size);
// The name as dotted text into place (NUL-terminated). Returns the characters
// written; 0 for a name that starts outside the packet, runs past it, has a
// label of 64 or more bytes, a pointer that does not point backwards, more
// than NEV_DNS_MAX_POINTERS pointers, or does not fit.
size_t nev_dns_uncompress_name(const nev_dns_message *message, nev_slice name, char *place, size_t size);
// Appends the name as labels ("a.b" -> 1 'a' 1 'b' 0); one final dot is
// allowed. -1 for an empty label, a label over 63 bytes or a name over 253
// characters (nothing appended), else the bytes appended.
int nev_dns_encode_name(std::string &out, nev_slice name);
// A whole query: header (the id, recursion desired, one question) and the
// question of the type in class IN. -1 when the name cannot be encoded.
int nev_dns_build_query(std::string &out, uint16_t id, nev_slice name, int type);
// True when message answers that query: same id, the response bit, exactly
// one question of that type and class IN whose name equals name (without
// regard to case).
bool nev_dns_is_reply_to(const nev_dns_message *message, uint16_t id, nev_slice name, int type);

// Appends a record: its name, type and class; for an answer also the TTL and
// the data (a CNAME's data is a name, written as labels). Returns the bytes
// appended, or -1 (kind 0, a name that cannot be encoded, data over 65535
// bytes; nothing appended).
int nev_dns_encode_record(std::string &out, const nev_dns_record *record, const char *name, size_t name_length,
                          const void *data, size_t data_length);
// Inserts a 12-byte header at offset: the message's id, flags and its
// question and answer counts (no authority or additional records). Returns 12.
int nev_dns_insert_header(std::string &out, size_t offset, const nev_dns_message *message);
// Appends the message's questions as they are in its packet. Returns the
// bytes appended.
int nev_dns_copy_questions(std::string &out, const nev_dns_message *message);

// ---- Server side ----

// Raised to the user handler of a DNS server connection for each request
// that parses; data: the nev_dns_message (valid during the call). The
// handler answers with nev_enqueue on the same connection.
constexpr int NEV_EVENT_DNS_MESSAGE = 100;
// Flags of the answer to a request that does not parse: a response, with
// recursion available, and format error.
constexpr uint16_t NEV_DNS_FLAGS_FORMAT_ERROR = 0x8081;

// Makes conn (a UDP or TCP listener, or a connection) a DNS server: every
// event goes to its user handler, and each request received is parsed and
// raised as NEV_EVENT_DNS_MESSAGE; one that does not parse is sent back
// behind a header with NEV_DNS_FLAGS_FORMAT_ERROR. On TCP each message
// carries its 16-bit length in front.
void nev_dns_server_attach(nev_connection *conn);
void nev_dns_server_handler(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock);

// A resolver of names that always fails: -1, address untouched.
int nev_dns_fixed_failure(const char *name, void *address);

// ---- Resolver ----

constexpr int NEV_RESOLVE_OK = 0;
constexpr int NEV_RESOLVE_NO_ANSWERS = 1;
constexpr int NEV_RESOLVE_TOO_MANY_RETRIES = 2;
constexpr int NEV_RESOLVE_TIMEOUT = 3;

// Called once per lookup: the reply (error NEV_RESOLVE_OK) or NULL and the error.
typedef void (*nev_dns_callback)(const nev_dns_message *message, void *data, int error);

struct nev_dns_resolve_options {
  const char *nameserver;     // "a.b.c.d" or "a.b.c.d:port"; NULL: the manager's, else the system's
  int retries;                // queries repeated at most; 0: 2
  int timeout_s;              // seconds between queries; 0: 5
  nev_connection **dns_conn;  // receives the lookup's connection; may be NULL
};

// Starts a lookup. 0 started, -1 not (no memory, a name server that is not
// an address).
int nev_dns_resolve(nev_manager *mgr, const char *name, int query_type, nev_dns_callback done, void *data,
                    const nev_dns_resolve_options *options);
// nev_dns_resolve with the default options.
int nev_dns_resolve_default(nev_manager *mgr, const char *name, int query_type, nev_dns_callback done, void *data);
// The manager's name server becomes a copy of the text (NULL: none).
void nev_dns_set_name_server(nev_manager *mgr, const char *server);
// The first IPv4 "nameserver" of /etc/resolv.conf into out. 0 found, -1 none.
int nev_dns_system_server(char *out, size_t size);
// Used when neither the caller, the manager nor the system names a server.
constexpr const char *NEV_DNS_FALLBACK_SERVER = "8.8.8.8";
