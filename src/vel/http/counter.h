// Callable counters: named JSON values that a component computes on demand
// (statistics, internal state) and the API service serves:
//   GET /v1/counters/                  every counter's group, name, description
//   GET /v1/counters/<group>/          the same for one group
//   GET /v1/counters/<group>/<name>/   the counter's value as JSON
// Every function here is thread-safe.
#pragma once

#include <functional>
#include <string>

#include "vel/core/json.h"

namespace vel {

// Fills *out with the counter's value and returns the HTTP status of the
// answer (200 normally). Called on an API thread for every request, never
// while a counter lock is held.
using CounterHandler = std::function<int(Json* out)>;

// Registers the counter `group`/`name`. Group and name must be non-empty and
// made of letters, digits, '_', '-' and '.'; otherwise, or with an empty
// handler, the counter is refused with an error in the log. Registering the
// same group and name again replaces the earlier counter (with a warning).
// Counters are forgotten when the API service stops.
void RegisterCallableCounter(const std::string& group, const std::string& name,
                             const std::string& description,
                             CounterHandler handler);

// For ApiService only: Start() installs the route that serves the counters,
// Stop() forgets every counter.
void InstallCounterRoutes();
void ForgetCallableCounters();

}  // namespace vel
