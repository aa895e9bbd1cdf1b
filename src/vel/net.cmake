# TCP server and transports (Boost.Asio) with length-prefixed framing.
add_library(vel_net SHARED
  tcp_admission.cc
  tcp_limit_counters.cc
  tcp_server.cc
  tcp_transport.cc
  transport.cc
)
target_link_libraries(vel_net PUBLIC vel_core PRIVATE vel_metrics)
