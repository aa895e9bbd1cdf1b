// Carries one received message from a TCP I/O thread to the event threads.
#pragma once

#include <memory>

#include "vel/core/buffer.h"
#include "vel/net/transport.h"

namespace plemox {

struct MessageReceivedEvent {
  // The connection it came from; expired when the connection has closed.
  std::weak_ptr<vel::Transport> transport;
  // A copy of the message body.
  vel::Buffer buffer;
};

}  // namespace plemox
