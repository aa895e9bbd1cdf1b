// HostOperations: what the host itself contributes to /readyz and /metrics:
// the readiness checks "component" (the component is installed and not
// shutting down) and "redis" (the default Redis server answers PING, with
// enable_redis), and the TCP limit counts as Prometheus counters. Host main
// thread.
#pragma once

namespace vel {

class HostOperations {
 public:
  // Registers the checks and the collector; the component counts as not
  // installed until SetComponentInstalled(true).
  static void Install();
  // Removes them again.
  static void Uninstall();
  // Marks the component installed (true) or shutting down (false). Any
  // thread.
  static void SetComponentInstalled(bool installed);

  HostOperations() = delete;
};

}  // namespace vel
