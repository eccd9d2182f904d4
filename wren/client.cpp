// The connection a request came on: whether its peer is still there.
#include "wren.h"

namespace wren {

bool Client::gone() const { return VOKTSocketGone(socket) != 0; }

}  // namespace wren
