#include "vel/metrics/metrics_registry.h"

#include <glog/logging.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <array>
#include <exception>
#include <shared_mutex>
#include <sstream>
#include <utility>

namespace vel {
namespace {

// The families of the host itself, built once on first use.
struct HostMetrics {
  std::array<prometheus::Counter*, 2> redis_errors{};
  prometheus::Gauge* tcp_connections_open = nullptr;
  prometheus::Counter* tcp_connections_accepted = nullptr;

  HostMetrics() {
    auto& registry = MetricsRegistry::registry();
    auto& errors = prometheus::BuildCounter()
                       .Name("plemox_redis_errors_total")
                       .Help(
                           "Redis calls that failed: kind=\"connection\" "
                           "(unreachable or timed out), kind=\"reply\" (an "
                           "error reply)")
                       .Register(registry);
    redis_errors[MetricsRegistry::kRedisConnection] =
        &errors.Add({{"kind", "connection"}});
    redis_errors[MetricsRegistry::kRedisErrorReply] =
        &errors.Add({{"kind", "reply"}});
    tcp_connections_open = &prometheus::BuildGauge()
                                .Name("plemox_tcp_connections_open")
                                .Help("Game connections open now")
                                .Register(registry)
                                .Add({});
    tcp_connections_accepted =
        &prometheus::BuildCounter()
             .Name("plemox_tcp_connections_accepted_total")
             .Help(
                 "Game connections accepted and kept (refused ones are in "
                 "the tcp/limits counter)")
             .Register(registry)
             .Add({});
  }
};

HostMetrics& Host() {
  static HostMetrics metrics;
  return metrics;
}

// Collectors by id. A scrape holds the lock shared while it runs them, so
// RemoveCollector (exclusive) waits for running ones.
std::shared_mutex the_collectors_mutex;
std::map<int, MetricsRegistry::Collector>
    the_collectors;   // GUARDED_BY(the_collectors_mutex)
int the_next_id = 1;  // GUARDED_BY(the_collectors_mutex)

}  // namespace

prometheus::Registry& MetricsRegistry::registry() {
  static prometheus::Registry registry;
  return registry;
}

int MetricsRegistry::AddCollector(Collector collector) {
  std::unique_lock<std::shared_mutex> lock(the_collectors_mutex);
  const int id = the_next_id++;
  the_collectors.emplace(id, std::move(collector));
  return id;
}

void MetricsRegistry::RemoveCollector(int id) {
  std::unique_lock<std::shared_mutex> lock(the_collectors_mutex);
  the_collectors.erase(id);
}

std::string MetricsRegistry::Serialize() {
  Host();  // the host families show from the first scrape on
  std::vector<prometheus::MetricFamily> families = registry().Collect();
  {
    std::shared_lock<std::shared_mutex> lock(the_collectors_mutex);
    for (const auto& [id, collector] : the_collectors) {
      Families collected;
      try {
        collector(&collected);
      } catch (const std::exception& e) {
        LOG(ERROR) << "Metrics collector " << id << " threw: " << e.what();
        continue;
      }
      for (auto& family : collected) families.push_back(std::move(family));
    }
  }
  std::stable_sort(
      families.begin(), families.end(),
      [](const prometheus::MetricFamily& a, const prometheus::MetricFamily& b) {
        return a.name < b.name;
      });
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, families);
  return out.str();
}

prometheus::MetricFamily* MetricsRegistry::AddFamily(
    Families* families, const std::string& name, const std::string& help,
    prometheus::MetricType type) {
  prometheus::MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  families->push_back(std::move(family));
  return &families->back();
}

void MetricsRegistry::AddSample(
    prometheus::MetricFamily* family,
    const std::map<std::string, std::string>& labels, double value) {
  prometheus::ClientMetric metric;
  for (const auto& [name, label_value] : labels) {
    metric.label.push_back({name, label_value});
  }
  switch (family->type) {
    case prometheus::MetricType::Counter:
      metric.counter.value = value;
      break;
    case prometheus::MetricType::Gauge:
      metric.gauge.value = value;
      break;
    default:
      metric.untyped.value = value;
      break;
  }
  family->metric.push_back(std::move(metric));
}

void MetricsRegistry::CountRedisError(RedisErrorKind kind) {
  Host().redis_errors.at(kind)->Increment();
}

void MetricsRegistry::CountTcpConnectionOpened() {
  HostMetrics& host = Host();
  host.tcp_connections_accepted->Increment();
  host.tcp_connections_open->Increment();
}

void MetricsRegistry::CountTcpConnectionsClosed(std::size_t count) {
  Host().tcp_connections_open->Decrement(static_cast<double>(count));
}

}  // namespace vel
