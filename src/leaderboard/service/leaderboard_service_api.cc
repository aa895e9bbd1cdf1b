// The administrative HTTP routes under "/v1/leaderboard_schedules/": the
// state of every reset schedule, the reset log kept in the database and, with
// --enable_reset_leaderboard_api, the forced reset of one schedule. Every
// answer is status 200 with a JSON body; errors are reported inside it.
#include <glog/logging.h>

#include <boost/regex.hpp>
#include <memory>
#include <string>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/definition_api.h"
#include "leaderboard/service/internal/league_query.h"
#include "leaderboard/service/internal/period_query.h"
#include "leaderboard/service/leaderboard_service.h"
#include "vel/core/event.h"
#include "vel/http/api_service.h"

namespace plemox {
namespace {

using vel::ApiService;

ApiService::Response MakeJsonResponse(const vel::Json& body, bool pretty) {
  ApiService::Response response;
  response.status = 200;
  response.headers["Content-Type"] = "application/json";
  response.body = body.ToString(pretty);
  return response;
}

// Route 1 (PUT): blocks this API thread until the rollover has finished.
bool OnForceResetRequested(ApiService::Response* response,
                           const ApiService::Request& /*request*/,
                           const ApiService::Match& match) {
  const std::string leaderboard_key = match["leaderboard_key"];
  std::string message;
  const bool result =
      LeaderboardService::ForceResetLeaderboard(leaderboard_key, &message);
  vel::Json body = vel::Json::MakeObject();
  body.Set("result", result);
  body.Set("result_desc", message);
  *response = MakeJsonResponse(body, false);
  return true;
}

// Route 2: every schedule's JSON form, in registry order.
bool OnAllStatusRequested(ApiService::Response* response,
                          const ApiService::Request& /*request*/,
                          const ApiService::Match& /*match*/) {
  vel::Json body = vel::Json::MakeArray();
  ResetScheduleRegistry::WithLockedSchedules(
      [&](const ResetScheduleRegistry::ScheduleMap& schedules) {
        for (const auto& entry : schedules) {
          vel::Json schedule = vel::Json::MakeObject();
          entry.second.ToJson(&schedule);
          body.Append(std::move(schedule));
        }
        return 0;
      });
  *response = MakeJsonResponse(body, true);
  return true;
}

// Route 3: one schedule's JSON form; an empty object for an unknown key.
bool OnStatusRequested(ApiService::Response* response,
                       const ApiService::Request& /*request*/,
                       const ApiService::Match& match) {
  const std::string leaderboard_key = match["leaderboard_key"];
  vel::Json body = vel::Json::MakeObject();
  ResetScheduleRegistry::WithLockedSchedules(
      [&](const ResetScheduleRegistry::ScheduleMap& schedules) {
        const auto it = schedules.find(leaderboard_key);
        if (it != schedules.end()) it->second.ToJson(&body);
        return 0;
      });
  *response = MakeJsonResponse(body, true);
  return true;
}

// Completes a log route with `body` on an event thread, so that the answer
// is never built on a database thread.
void AnswerOnEventThread(const vel::Json& body, ApiService::Done done) {
  const bool posted =
      vel::Event::Invoke([body, done] { done(MakeJsonResponse(body, true)); });
  if (!posted) done(MakeJsonResponse(body, true));
}

vel::Json MakeDatabaseClosedError() {
  vel::Json body = vel::Json::MakeObject();
  body.Set("error", true);
  body.Set("message", "The database connection is closed");
  return body;
}

// Route 4: every reset log row.
void OnAllLogRequested(const ApiService::Request& /*request*/,
                       const ApiService::Match& /*match*/,
                       ApiService::Done done) {
  const auto db = LeaderboardService::db_connection();
  if (!db) {
    done(MakeJsonResponse(MakeDatabaseClosedError(), true));
    return;
  }
  db->QueryResetScheduleLogAll(
      [done](const vel::Json& body) { AnswerOnEventThread(body, done); });
}

// Route 5: the reset log rows of one registered key.
void OnLogRequested(const ApiService::Request& /*request*/,
                    const ApiService::Match& match, ApiService::Done done) {
  const std::string leaderboard_key = match["leaderboard_key"];
  if (!ResetScheduleRegistry::HasSchedule(leaderboard_key)) {
    vel::Json body = vel::Json::MakeObject();
    body.Set("error", true);
    body.Set("message", "The leaderboard key does not exist");
    done(MakeJsonResponse(body, true));
    return;
  }
  const auto db = LeaderboardService::db_connection();
  if (!db) {
    done(MakeJsonResponse(MakeDatabaseClosedError(), true));
    return;
  }
  db->QueryResetScheduleLog2(leaderboard_key, [done](const vel::Json& body) {
    AnswerOnEventThread(body, done);
  });
}

}  // namespace

void LeaderboardService::RegisterApiRoutes() {
  if (FLAGS_enable_reset_leaderboard_api) {
    ApiService::RegisterHandler(
        ApiService::kPut,
        boost::regex(R"(/v1/leaderboard_schedules/(?<leaderboard_key>\w+)/)"),
        &OnForceResetRequested);
  }
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/v1/leaderboard_schedules/status/all/"),
      &OnAllStatusRequested);
  ApiService::RegisterHandler(
      ApiService::kGet,
      boost::regex(
          R"(/v1/leaderboard_schedules/status/(?<leaderboard_key>\w+)/)"),
      &OnStatusRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet, boost::regex("/v1/leaderboard_schedules/log/all/"),
      &OnAllLogRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex(R"(/v1/leaderboard_schedules/log/(?<leaderboard_key>\w+)/)"),
      &OnLogRequested);
  service_internal::RegisterPeriodApiRoutes();
  service_internal::RegisterLeagueApiRoutes();
  service_internal::RegisterDefinitionApiRoutes();
}

}  // namespace plemox
