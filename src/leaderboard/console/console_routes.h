// The operator's console on the host's HTTP API: the page under /console/
// (built into the component, open to everyone: it holds no data) and the
// JSON routes under /v1/console/ that it and operators' scripts read and
// change leaderboards with (token-protected like every API route):
//   GET    /v1/console/leaderboards/                      every leaderboard
//   GET    /v1/console/leaderboards/<id>/ranking/?...     a page of a ranking
//   GET    /v1/console/players/?provider=..&account=..    one player everywhere
//   DELETE /v1/console/leaderboards/<id>/players/?...     delete a player's
//   scores GET    /v1/console/health/                            readiness and
//   figures
// Queries and deletions run through the service's protocol handlers
// (ConsoleRequests). Errors answer a 4xx or 5xx status with the API
// service's error body {"error": true, "status": n, "message": "..."}.
#pragma once

namespace plemox {

class ConsoleRoutes {
 public:
  // Registers the page and the routes. Install thread, after the service
  // started (service mode only).
  static void Register();

  ConsoleRoutes() = delete;
};

}  // namespace plemox
