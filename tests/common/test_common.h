// Helpers every test folder shares: running a command, reading an HTTP reply
// from a loopback socket within a time bound, telling whether the peer ended
// a connection, picking a free port and waiting for a condition. A new
// folder of tests starts from here rather than from a copy.
#ifndef OSPREY_TEST_COMMON_H
#define OSPREY_TEST_COMMON_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>

namespace testcommon {

// ---- Commands ----

// What a shell command wrote on its standard output (add "2>&1" to the
// command for its errors too) and its exit status: -1 when it could not be
// started or did not exit by itself.
struct command_result {
  int status = -1;
  std::string output;
};
command_result run_command(const std::string& command);
// The text without the line ends at its end: a one-line output as a value.
std::string without_line_ends(std::string text);

// ---- The peer's close ----

// Whether a recv() result says the peer ended the connection: end of stream,
// or a reset (the peer closed with bytes of ours unread, or aborted), which
// ends the connection just as well. received is recv()'s return value, error
// errno after it.
bool peer_ended(ssize_t received, int error);

enum class peer_state { open, closed, data_waiting };
// A look at a socket without waiting and without taking bytes: closed when
// the peer ended the connection, data_waiting when bytes wait, open when
// nothing is to be read now.
peer_state peek_peer(int fd);

// ---- HTTP replies ----

struct http_reply {
  int status = 0;
  std::string head;  // status line and headers, each line ending in CRLF
  std::string body;
  bool whole = false;                                 // the head and the body its Content-Length names arrived
  bool peer_closed = false;                           // the peer ended the connection while we read
  std::string header(const std::string& name) const;  // value, "" when absent
};

// Splits the first reply off the start of stream when it is whole (a reply
// without Content-Length has no body here); false, stream untouched, when not.
bool take_http_reply(std::string& stream, http_reply& reply);

enum class http_reply_end {
  length,           // the Content-Length body (none without one)
  length_or_close,  // the Content-Length body, without one all until the close
  close,            // all until the peer closes (body cut to Content-Length)
};
// Reads one reply from a connected socket until it ends as `end` says, the
// peer ends the connection, or `limit` passes; the bytes read after the
// reply go to *rest.
http_reply read_http_reply(int fd, std::chrono::milliseconds limit, http_reply_end end = http_reply_end::length,
                           std::string* rest = nullptr);
// A loopback socket connected to 127.0.0.1:port; -1 when the connect failed.
int connect_loopback(int port);

// ---- Ports and waits ----

// A port free on 127.0.0.1 now, below the range the kernel hands out for
// bind(0) and outgoing connections: a port from that range can be taken by
// a test running alongside before the server binds it.
int free_port();

// Polls pred every `step` until it holds (true) or `limit` passes (false).
template <typename Pred>
bool wait_for(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10),
              std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace testcommon

#endif
