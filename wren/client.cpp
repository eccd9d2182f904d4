// The connection a request came on: its peer's address and whether the
// peer is still there.
#include <poll.h>

#include "wren.h"

namespace wren {

bool Client::gone() const {
  if (socket < 0) return false;
  pollfd watch{socket, POLLRDHUP, 0};
  // Polling neither reads nor consumes: a request the peer pipelined stays
  // in the socket for the engine.
  int ready = poll(&watch, 1, 0);
  return ready > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace wren
