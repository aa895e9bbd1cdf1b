#include "vel/net/tcp_limit_counters.h"

#include "vel/core/json.h"

namespace vel {

std::atomic<std::uint64_t> TcpLimitCounters::refused_connections_{0};
std::atomic<std::uint64_t> TcpLimitCounters::frame_read_timeouts_{0};
std::atomic<std::uint64_t> TcpLimitCounters::in_flight_pauses_{0};
std::atomic<std::uint64_t> TcpLimitCounters::tls_handshake_failures_{0};
std::atomic<std::uint64_t> TcpLimitCounters::admission_waits_{0};

int TcpLimitCounters::Report(Json* out) {
  *out = Json::MakeObject();
  out->Set("refused_connections", refused_connections());
  out->Set("frame_read_timeouts", frame_read_timeouts());
  out->Set("in_flight_pauses", in_flight_pauses());
  out->Set("admission_waits", admission_waits());
  return 200;
}

}  // namespace vel
