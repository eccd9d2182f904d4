// The asynchronous resolver: one UDP connection per lookup, its query
// repeated until a matching reply, the retry limit or a timer ends it.
#include <arpa/inet.h>
#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "nev_codec.h"
#include "nev_dns.h"
#include "nev_io.h"
#include "nev_log.h"

namespace {

constexpr int DEFAULT_RETRIES = 2;
constexpr int DEFAULT_TIMEOUT_S = 5;
constexpr size_t MAX_QUERY_NAME = 1023;

// One running lookup: the resolver connection's user data.
struct dns_request {
  std::string name;
  int query_type = NEV_DNS_TYPE_A;
  nev_dns_callback done = nullptr;
  void *data = nullptr;
  double timeout_s = DEFAULT_TIMEOUT_S;
  int retries = DEFAULT_RETRIES;
  int error = NEV_RESOLVE_OK;
  double last_query_time = 0;
  int queries_sent = 0;
  uint16_t id = 0;
};

// A fresh id for every query: a forged reply must guess it, together with
// the port the kernel picked for the socket.
uint16_t random_id() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id) {
    // No entropy yet (early boot): still not a counter an observer can follow.
    id = uint16_t(nev_now() * 1e6) ^ uint16_t(reinterpret_cast<uintptr_t>(&id) >> 4);
  }
  return id;
}

dns_request *request_of(nev_connection *conn) { return static_cast<dns_request *>(conn->user_data); }

// Calls the completion once and forgets the request.
void finish(nev_connection *conn, const nev_dns_message *message, int error) {
  std::unique_ptr<dns_request> request(request_of(conn));
  conn->user_data = nullptr;
  conn->flags |= NEV_CONN_CLOSE_NOW;
  if (request) request->done(message, request->data, error);
}

void send_query(nev_connection *conn, dns_request *request, double now) {
  request->id = random_id();
  request->queries_sent++;
  request->last_query_time = now;
  std::string query;
  NEV_LOG(4, ("%s %d", request->name.c_str(), request->query_type));
  // A name that cannot be put on the wire is never answered: the retries end it.
  if (nev_dns_build_query(query, request->id, nev_slice{request->name.data(), request->name.size()},
                          request->query_type) < 0)
    return;
  nev_enqueue(conn, query.data(), query.size());
}

// The query goes out at connect and again every time-out; the last one gets
// its full time-out too before the lookup gives up.
void on_poll(nev_connection *conn, dns_request *request) {
  if (conn->flags & NEV_CONN_CONNECTING) return;
  const double now = nev_now();
  if (request->queries_sent > 0 && now - request->last_query_time < request->timeout_s) return;
  if (request->queries_sent > request->retries) {
    request->error = NEV_RESOLVE_TOO_MANY_RETRIES;
    conn->flags |= NEV_CONN_CLOSE_NOW;
    return;
  }
  send_query(conn, request, now);
}

// The newest datagram; one that is not the reply to our query is ignored.
void on_reply(nev_connection *conn, dns_request *request, int count) {
  nev_dns_message message;
  bool ours = false;
  {
    const char *datagram = conn->recv_buf.data + conn->recv_buf.len - size_t(count);
    const int parsed = nev_dns_parse(datagram, size_t(count), &message);
    // The question must be readable to tell whose reply it is; its answers
    // may still be broken.
    ours = nev_dns_is_reply_to(&message, request->id, nev_slice{request->name.data(), request->name.size()},
                               request->query_type);
    if (ours && parsed == 0 && (message.flags & NEV_DNS_RCODE_MASK) == 0 &&
        nev_dns_next_answer(&message, request->query_type, nullptr) != nullptr) {
      finish(conn, &message, NEV_RESOLVE_OK);
    } else if (ours) {
      request->error = NEV_RESOLVE_NO_ANSWERS;
      conn->flags |= NEV_CONN_CLOSE_NOW;
    }
  }
  if (!ours) NEV_LOG(3, ("%p: a datagram that does not answer the query, ignored", static_cast<void *>(conn)));
  nev_mutex_guard guard(conn->recv_buf.mutex);
  nev_buffer_clear(&conn->recv_buf);
}

void resolver_handler(nev_connection *conn, int event, void *event_data, nev_unlock_fn unlock) {
  // The completion continues the dial, which dispatches to other handlers.
  if (unlock != nullptr) unlock(conn);
  if (event != NEV_EVENT_POLL) NEV_LOG(4, ("ev=%d user_data=%p", event, conn->user_data));
  dns_request *request = request_of(conn);
  if (request == nullptr) return;
  switch (event) {
    case NEV_EVENT_POLL:
      on_poll(conn, request);
      break;
    case NEV_EVENT_CONNECT:
      if (*static_cast<int *>(event_data) != 0) {
        request->error = NEV_RESOLVE_TOO_MANY_RETRIES;
      } else if (request->queries_sent == 0) {
        send_query(conn, request, nev_now());
      }
      break;
    case NEV_EVENT_RECV:
      on_reply(conn, request, *static_cast<int *>(event_data));
      break;
    case NEV_EVENT_SEND:
      // A failed send must not end the lookup: the query is sent again after
      // the time-out.
      if (*static_cast<int *>(event_data) < 0) {
        conn->flags &= ~NEV_CONN_CLOSE_NOW;
        nev_mutex_guard guard(conn->send_buf.mutex);
        nev_buffer_clear(&conn->send_buf);
      }
      break;
    case NEV_EVENT_TIMER:
      request->error = NEV_RESOLVE_TIMEOUT;
      conn->flags |= NEV_CONN_CLOSE_NOW;
      break;
    case NEV_EVENT_CLOSE:
      finish(conn, nullptr, request->error);
      break;
    default:
      break;
  }
}

// "udp://server" with port 53 unless the server text names one.
std::string server_address(nev_manager *mgr, const nev_dns_resolve_options &options) {
  const char *server = options.nameserver != nullptr ? options.nameserver : mgr->nameserver;
  char system[64];
  if (server == nullptr) server = nev_dns_system_server(system, sizeof system) == 0 ? system : NEV_DNS_FALLBACK_SERVER;
  std::string address = std::string("udp://") + server;
  if (std::strchr(server, ':') == nullptr) address += ":53";
  return address;
}

}  // namespace

int nev_dns_resolve(nev_manager *mgr, const char *name, int query_type, nev_dns_callback done, void *data,
                    const nev_dns_resolve_options *options) {
  nev_dns_resolve_options none{};
  const nev_dns_resolve_options &o = options != nullptr ? *options : none;
  NEV_LOG(4, ("%s %d %p", name, query_type, static_cast<void *>(o.dns_conn)));
  std::unique_ptr<dns_request> request(new (std::nothrow) dns_request);
  if (!request || name == nullptr || done == nullptr) return -1;
  request->name.assign(name, nev_bounded_strlen(name, MAX_QUERY_NAME));
  request->query_type = query_type;
  request->done = done;
  request->data = data;
  request->retries = o.retries > 0 ? o.retries : DEFAULT_RETRIES;
  request->timeout_s = o.timeout_s > 0 ? o.timeout_s : DEFAULT_TIMEOUT_S;
  const std::string address = server_address(mgr, o);
  // Only a numeric server: a name here would need a lookup of its own.
  sockaddr_in parsed{};
  int proto = 0;
  char host[8];
  if (nev_parse_address(address.c_str(), &parsed, &proto, host, sizeof host) <= 0) return -1;
  nev_dial_options dial{};
  dial.user_data = request.get();
  nev_connection *conn = nev_dial_with_options(mgr, address.c_str(), resolver_handler, &dial);
  if (conn == nullptr) return -1;
  request.release();
  if (o.dns_conn != nullptr) *o.dns_conn = conn;
  return 0;
}

int nev_dns_resolve_default(nev_manager *mgr, const char *name, int query_type, nev_dns_callback done, void *data) {
  return nev_dns_resolve(mgr, name, query_type, done, data, nullptr);
}

int nev_dns_fixed_failure(const char *, void *) { return -1; }

namespace {

constexpr size_t DNS_TCP_LENGTH = 2;

void queue_reply(nev_connection *conn, std::string reply) {
  if (!(conn->flags & NEV_CONN_UDP)) {
    const size_t length = reply.size();
    reply.insert(0, 1, char(length & 0xff));
    reply.insert(0, 1, char((length >> 8) & 0xff));
  }
  nev_enqueue(conn, reply.data(), reply.size());
}

// One request: raised to the user handler when it parses, else sent back
// behind a format-error header.
void serve_request(nev_connection *conn, const char *packet, size_t length) {
  auto message = std::make_unique<nev_dns_message>();
  if (nev_dns_parse(packet, length, message.get()) != 0) {
    nev_dns_message refusal{};
    // The id as received (two bytes), when there are two.
    if (length >= 2) refusal.transaction_id = uint16_t((uint8_t(packet[0]) << 8) | uint8_t(packet[1]));
    refusal.flags = NEV_DNS_FLAGS_FORMAT_ERROR;
    std::string reply(packet, length);
    nev_dns_insert_header(reply, 0, &refusal);
    queue_reply(conn, std::move(reply));
    return;
  }
  nev_dispatch_event(conn, conn->user_handler, NEV_EVENT_DNS_MESSAGE, message.get());
}

}  // namespace

void nev_dns_server_handler(nev_connection *conn, int event, void *event_data, nev_unlock_fn) {
  nev_dispatch_event(conn, conn->user_handler, event, event_data);
  if (event != NEV_EVENT_RECV || (conn->flags & NEV_CONN_CLOSE_NOW)) return;
  // Taken out of the buffer first: the user handler answers on this
  // connection while its requests are served.
  std::string received;
  {
    nev_mutex_guard guard(conn->recv_buf.mutex);
    size_t take = conn->recv_buf.len;
    if (!(conn->flags & NEV_CONN_UDP)) {
      // TCP: whole messages only, each behind its length; the rest waits.
      take = 0;
      while (conn->recv_buf.len - take >= DNS_TCP_LENGTH) {
        const char *at = conn->recv_buf.data + take;
        const size_t length = (size_t(uint8_t(at[0])) << 8) | uint8_t(at[1]);
        if (conn->recv_buf.len - take - DNS_TCP_LENGTH < length) break;
        take += DNS_TCP_LENGTH + length;
      }
    }
    received.assign(conn->recv_buf.data != nullptr ? conn->recv_buf.data : "", take);
    if (take == conn->recv_buf.len) {
      nev_buffer_clear(&conn->recv_buf);
    } else {
      std::memmove(conn->recv_buf.data, conn->recv_buf.data + take, conn->recv_buf.len - take);
      conn->recv_buf.len -= take;
    }
  }
  if (conn->flags & NEV_CONN_UDP) {
    serve_request(conn, received.data(), received.size());  // one datagram, whole
    return;
  }
  for (size_t at = 0; at < received.size();) {
    const size_t length = (size_t(uint8_t(received[at])) << 8) | uint8_t(received[at + 1]);
    serve_request(conn, received.data() + at + DNS_TCP_LENGTH, length);
    at += DNS_TCP_LENGTH + length;
  }
}

void nev_dns_server_attach(nev_connection *conn) { conn->proto_handler = nev_dns_server_handler; }

void nev_dns_set_name_server(nev_manager *mgr, const char *server) {
  free(mgr->nameserver);
  mgr->nameserver = server != nullptr ? strdup(server) : nullptr;
}

int nev_dns_system_server(char *out, size_t size) {
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen("/etc/resolv.conf", "re"), std::fclose);
  if (!file) return -1;
  char line[512];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    char server[64];
    if (std::sscanf(line, " nameserver %63s", server) != 1) continue;
    in_addr parsed;
    if (inet_pton(AF_INET, server, &parsed) != 1) continue;  // IPv6 servers: the engine dials IPv4
    if (std::strlen(server) + 1 > size) continue;
    std::memcpy(out, server, std::strlen(server) + 1);
    return 0;
  }
  return -1;
}
