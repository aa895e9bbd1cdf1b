// MetricsRegistry: the process's Prometheus metrics, shared by the host and
// the component (one registry in vel_metrics, a shared library, so both see
// the same one), and their text exposition, which the API service serves
// at GET /metrics. Also holds the host's own families: Redis errors and game
// connections. Every function is thread-safe.
#pragma once

#include <prometheus/metric_family.h>
#include <prometheus/registry.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vel {

class MetricsRegistry {
 public:
  // Why a Redis call failed: the server could not be reached or did not
  // answer in time, or it answered with an error reply.
  enum RedisErrorKind { kRedisConnection = 0, kRedisErrorReply = 1 };

  // Appends the families of values that are read when scraped (state kept
  // elsewhere, such as queue depths or totals a subsystem counts itself).
  // Called on an API thread during a scrape; must not add or remove
  // collectors.
  // A deque, so that a family returned by AddFamily stays where it is while
  // the collector adds more.
  using Families = std::deque<prometheus::MetricFamily>;
  using Collector = std::function<void(Families* families)>;

  // The registry that families are built into (prometheus::BuildCounter()
  // ... .Register(MetricsRegistry::registry())). Families live until the
  // process ends. Build them once and keep the metrics: adding a metric to a
  // family takes the family's lock, updating one does not.
  static prometheus::Registry& registry();

  // Adds `collector` to every later scrape and returns its id for
  // RemoveCollector.
  static int AddCollector(Collector collector);
  // Removes a collector; when it returns, the collector is not running and
  // will not run again. Unknown ids are ignored. Not from a collector.
  static void RemoveCollector(int id);

  // Every family of the registry and of the collectors, in the Prometheus
  // text exposition format (version 0.0.4), ordered by family name.
  static std::string Serialize();

  // For collectors: appends a family and returns it (valid as long as
  // `families`), and appends one sample to a family of that type.
  static prometheus::MetricFamily* AddFamily(Families* families,
                                             const std::string& name,
                                             const std::string& help,
                                             prometheus::MetricType type);
  static void AddSample(prometheus::MetricFamily* family,
                        const std::map<std::string, std::string>& labels,
                        double value);

  // Host metrics, one lock-free update each.
  static void CountRedisError(RedisErrorKind kind);
  // A game connection was accepted and kept; `count` of them ended.
  static void CountTcpConnectionOpened();
  static void CountTcpConnectionsClosed(std::size_t count);

  MetricsRegistry() = delete;
};

}  // namespace vel
