#include "vel/http/health_checks.h"

#include <glog/logging.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "vel/core/monotonic_clock.h"

namespace vel {
namespace {

std::mutex the_checks_mutex;
std::map<std::string, HealthChecks::Check>
    the_checks;                    // GUARDED_BY(the_checks_mutex)
std::uint64_t the_generation = 0;  // GUARDED_BY(the_checks_mutex)

// Serialises rounds.
std::mutex the_round_mutex;
// The last round's result; never held while checks run.
std::mutex the_cache_mutex;
std::optional<HealthChecks::Readiness>
    the_cached;                           // GUARDED_BY(the_cache_mutex)
std::int64_t the_cached_at_us = 0;        // GUARDED_BY(the_cache_mutex)
std::uint64_t the_cached_generation = 0;  // GUARDED_BY(the_cache_mutex)
std::atomic<std::int64_t> the_cache_time_us{1000000};

}  // namespace

void HealthChecks::SetReadinessCheck(const std::string& name, Check check) {
  std::lock_guard<std::mutex> lock(the_checks_mutex);
  the_checks[name] = std::move(check);
  ++the_generation;
}

void HealthChecks::RemoveReadinessCheck(const std::string& name) {
  std::lock_guard<std::mutex> lock(the_checks_mutex);
  the_checks.erase(name);
  ++the_generation;
}

HealthChecks::Readiness HealthChecks::CheckReadiness() {
  std::unique_lock<std::mutex> round_lock(the_round_mutex, std::try_to_lock);
  if (!round_lock.owns_lock()) {
    // A round runs, and its checks may take seconds against a hung server:
    // answer with the last result instead of holding one more API thread.
    {
      std::lock_guard<std::mutex> lock(the_cache_mutex);
      if (the_cached) return *the_cached;
    }
    round_lock.lock();
  }
  std::map<std::string, Check> checks;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(the_checks_mutex);
    checks = the_checks;
    generation = the_generation;
  }
  bool was_ready = true;
  {
    std::lock_guard<std::mutex> lock(the_cache_mutex);
    const std::int64_t now = MonotonicClock::Now();
    if (the_cached && the_cached_generation == generation &&
        now - the_cached_at_us < the_cache_time_us.load()) {
      return *the_cached;
    }
    was_ready = !the_cached || the_cached->ready;
  }
  Readiness readiness;
  for (const auto& [name, check] : checks) {
    std::string error;
    bool passed = false;
    try {
      passed = check(&error);
    } catch (const std::exception& e) {
      error = std::string("the check threw: ") + e.what();
    }
    if (!passed && error.empty()) error = "not ready";
    readiness.results[name] = passed ? "" : error;
    if (passed && !error.empty()) readiness.notes[name] = error;
    if (!passed) {
      readiness.ready = false;
      readiness.failing.push_back(name);
    }
  }
  // Log changes only, not every probe.
  if (was_ready && !readiness.ready) {
    for (const auto& name : readiness.failing) {
      LOG(WARNING) << "Not ready: check=" << name
                   << ", reason=" << readiness.results[name];
    }
  } else if (!was_ready && readiness.ready) {
    LOG(INFO) << "Ready again: every readiness check passes";
  }
  std::lock_guard<std::mutex> lock(the_cache_mutex);
  the_cached = readiness;
  the_cached_at_us = MonotonicClock::Now();
  the_cached_generation = generation;
  return readiness;
}

void HealthChecks::SetCacheTime(std::chrono::milliseconds cache_time) {
  the_cache_time_us = cache_time.count() * 1000;
}

}  // namespace vel
