#include "vel/net/transport.h"

#include <utility>

namespace vel {

Transport::~Transport() = default;

void Transport::set_receive_handler(ReceiveHandler handler) {
  receive_handler_ = std::move(handler);
}

void Transport::set_disconnect_handler(DisconnectHandler handler) {
  disconnect_handler_ = std::move(handler);
}

}  // namespace vel
