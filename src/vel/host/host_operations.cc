#include "vel/host/host_operations.h"

#include <atomic>
#include <string>
#include <vector>

#include "vel/core/host_flags.h"
#include "vel/http/health_checks.h"
#include "vel/metrics/metrics_registry.h"
#include "vel/net/tcp_limit_counters.h"
#include "vel/redis/redis.h"

namespace vel {
namespace {

std::atomic<bool> the_component_installed{false};
int the_collector_id = 0;  // host main thread only

bool CheckComponent(std::string* error) {
  if (the_component_installed.load()) return true;
  *error = "the component is starting, recovering or shutting down";
  return false;
}

bool CheckRedis(std::string* error) {
  const Redis::Result result = Redis::Ping();
  if (result == Redis::kSuccess) return true;
  *error = result == Redis::kConnectionFailure
               ? "no answer to PING (unreachable or timed out)"
               : "PING answered with an error";
  return false;
}

void CollectTcpLimits(MetricsRegistry::Families* families) {
  const auto add = [families](const char* name, const char* help,
                              std::uint64_t value) {
    MetricsRegistry::AddSample(
        MetricsRegistry::AddFamily(families, name, help,
                                   prometheus::MetricType::Counter),
        {}, static_cast<double>(value));
  };
  add("plemox_tcp_refused_connections_total",
      "Game connections closed at accept because max_connections were open",
      TcpLimitCounters::refused_connections());
  add("plemox_tcp_frame_read_timeouts_total",
      "Game connections closed because a started frame missed its read "
      "timeout",
      TcpLimitCounters::frame_read_timeouts());
  add("plemox_tcp_in_flight_pauses_total",
      "Times a game connection stopped being read at max_requests_in_flight",
      TcpLimitCounters::in_flight_pauses());
  add("plemox_tcp_tls_handshake_failures_total",
      "Game connections closed because their TLS handshake failed or did "
      "not finish within the frame read timeout",
      TcpLimitCounters::tls_handshake_failures());
}

}  // namespace

void HostOperations::Install() {
  HealthChecks::SetReadinessCheck("component", &CheckComponent);
  if (FLAGS_enable_redis) HealthChecks::SetReadinessCheck("redis", &CheckRedis);
  if (the_collector_id == 0) {
    the_collector_id = MetricsRegistry::AddCollector(&CollectTcpLimits);
  }
}

void HostOperations::Uninstall() {
  HealthChecks::RemoveReadinessCheck("component");
  HealthChecks::RemoveReadinessCheck("redis");
  if (the_collector_id != 0) {
    MetricsRegistry::RemoveCollector(the_collector_id);
    the_collector_id = 0;
  }
}

void HostOperations::SetComponentInstalled(bool installed) {
  the_component_installed = installed;
}

}  // namespace vel
