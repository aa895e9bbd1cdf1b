// HealthChecks: the readiness checks behind GET /readyz. The host and the
// component register named checks (for example "redis", "mariadb"); the
// service is ready while every check passes. Results are cached for a short
// time and one round of checks runs at a time, so that probes from load
// balancers cannot load the servers being checked. Every function is
// thread-safe.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vel {

class HealthChecks {
 public:
  // Returns whether the dependency answers; on false sets *error to a short
  // reason, on true it may set it to a note that /readyz shows beside the
  // passing check (a backlog, say). Must return within a few seconds (use short
  // timeouts); runs on an API thread without any lock of this class held except
  // the one that serialises rounds of checks.
  using Check = std::function<bool(std::string* error)>;

  // The outcome of one round of checks.
  struct Readiness {
    bool ready = true;
    // Check name -> "" when it passed, else its reason.
    std::map<std::string, std::string> results;
    // Names of the checks that failed, in name order.
    std::vector<std::string> failing;
    // Check name -> the note of a passing check that gave one.
    std::map<std::string, std::string> notes;
  };

  // Adds or replaces the check `name`; forgets the cached result.
  static void SetReadinessCheck(const std::string& name, Check check);
  // Removes the check `name` (unknown names are ignored); forgets the
  // cached result.
  static void RemoveReadinessCheck(const std::string& name);

  // The result of the last round of checks when it is younger than the
  // cache time, else the result of a new round. While another caller runs a
  // round, the last result (if there is one) is returned at once. With no
  // check registered the service counts as ready.
  static Readiness CheckReadiness();

  // How long a round's result is reused (1 s by default; 0: never).
  static void SetCacheTime(std::chrono::milliseconds cache_time);

  HealthChecks() = delete;
};

}  // namespace vel
