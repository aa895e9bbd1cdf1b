// The HTTP routes of the leaderboards defined at run time, under
// "/v1/leaderboards/": the listing (GET), a definition (PUT) and its
// retirement (DELETE). They block their API thread for the few database
// round trips of LeaderboardDefinitions.
#include <boost/regex.hpp>
#include <string>

#include "leaderboard/service/internal/definition_api.h"
#include "leaderboard/service/leaderboard_definitions.h"
#include "vel/http/api_service.h"

namespace plemox {
namespace {

using vel::ApiService;

bool Answer(ApiService::Response* response,
            const LeaderboardDefinitions::Answer& answer) {
  response->status = answer.status;
  response->headers["Content-Type"] = "application/json";
  response->body = answer.body.ToString(true);
  return true;
}

bool OnListRequested(ApiService::Response* response,
                     const ApiService::Request& /*request*/,
                     const ApiService::Match& /*match*/) {
  return Answer(response, LeaderboardDefinitions::List());
}

bool OnChangeRequested(ApiService::Response* response,
                       const ApiService::Request& request,
                       const ApiService::Match& match) {
  const std::string id = match["leaderboard_id"];
  if (request.method == ApiService::kDelete) {
    return Answer(response, LeaderboardDefinitions::Retire(id));
  }
  return Answer(response, LeaderboardDefinitions::Define(id, request.body));
}

}  // namespace

void service_internal::RegisterDefinitionApiRoutes() {
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/v1/leaderboards/"), &OnListRequested);
  // Any segment: an id that breaks the id rule is answered 400, not 404.
  ApiService::RegisterHandler(
      ApiService::kPut | ApiService::kDelete,
      boost::regex(R"(/v1/leaderboards/(?<leaderboard_id>[^/]*)/)"),
      &OnChangeRequested);
}

}  // namespace plemox
