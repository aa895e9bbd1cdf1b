// The registration of the HTTP routes of the leaderboards defined at run
// time (leaderboard_service_definition_api.cc).
#pragma once

namespace plemox {
namespace service_internal {

// Registers GET /v1/leaderboards/ and PUT and DELETE /v1/leaderboards/<id>/
// with the host's HTTP API (bearer token). Install thread, after Start.
void RegisterDefinitionApiRoutes();

}  // namespace service_internal
}  // namespace plemox
