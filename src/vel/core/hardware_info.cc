#include "vel/core/hardware_info.h"

#include <arpa/inet.h>
#include <glog/logging.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

#include "vel/core/host_flags.h"

namespace vel {

boost::asio::ip::address HardwareInfo::GetExternalIp() {
  if (!FLAGS_external_ip.empty()) {
    boost::system::error_code error;
    auto address = boost::asio::ip::make_address(FLAGS_external_ip, error);
    if (error) {
      LOG(ERROR) << "The external_ip flag is not an IP address: "
                 << FLAGS_external_ip;
      return {};
    }
    return address;
  }
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) == 0) {
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);
    for (ifaddrs* it = list.get(); it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
        continue;
      }
      if ((it->ifa_flags & IFF_LOOPBACK) != 0 ||
          (it->ifa_flags & IFF_UP) == 0) {
        continue;
      }
      const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
      return boost::asio::ip::address_v4(ntohl(in->sin_addr.s_addr));
    }
  }
  return boost::asio::ip::address_v4::loopback();
}

}  // namespace vel
