// Facts about the machine the host runs on; callable from any thread.
#pragma once

#include <boost/asio/ip/address.hpp>

namespace vel {

class HardwareInfo {
 public:
  // The address other servers know this one by: the flag --external_ip when
  // set, otherwise the first non-loopback IPv4 address of the network
  // interfaces, otherwise 127.0.0.1. Returns an unspecified address only when
  // --external_ip does not parse (logged).
  static boost::asio::ip::address GetExternalIp();
};

}  // namespace vel
