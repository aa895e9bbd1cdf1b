// The HTTP routes of the period archive and of the period-end
// notifications. Like the schedule routes, every answer is status 200 with
// a JSON body, errors reported inside it ({"error": true, "message": ...});
// database answers are built on the event threads.
//
//   GET  /v1/period_archive/<leaderboard_id>/
//        the archived periods of a leaderboard, latest start first
//   GET  /v1/period_archive/<leaderboard_id>/<day|week|month>/<start>/
//        [?offset=N&limit=M]  a page of one period's standings
//   GET  /v1/period_end_notifications/
//        the notifications not delivered (waiting, pending, failed)
//   POST /v1/period_end_notifications/<id>/resend/
//        makes one notification pending again, due now, attempts from 0
#include <glog/logging.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cstdlib>
#include <string>

#include "common/date_time_text.h"
#include "common/leaderboard_flags.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/period/period_archiver.h"
#include "leaderboard/period/period_ends.h"
#include "leaderboard/period/period_retention.h"
#include "leaderboard/service/internal/period_query.h"
#include "vel/core/event.h"
#include "vel/http/api_service.h"

namespace plemox {
namespace service_internal {
namespace {

using vel::ApiService;

// Standings per page when the request names no limit.
constexpr std::int64_t kDefaultPageSize = 100;

ApiService::Response JsonResponse(const vel::Json& body) {
  ApiService::Response response;
  response.status = 200;
  response.headers["Content-Type"] = "application/json";
  response.body = body.ToString(true);
  return response;
}

vel::Json ErrorBody(const std::string& message) {
  vel::Json body = vel::Json::MakeObject();
  body.Set("error", true);
  body.Set("message", message);
  return body;
}

vel::Json OkBody() {
  vel::Json body = vel::Json::MakeObject();
  body.Set("error", false);
  body.Set("message", "OK");
  return body;
}

// Answers on an event thread, so that no answer is built on a database
// thread.
void Answer(const vel::Json& body, const ApiService::Done& done) {
  if (!vel::Event::Invoke([body, done] { done(JsonResponse(body)); })) {
    done(JsonResponse(body));
  }
}

// The value of `name` in a query string ("offset=0&limit=10"), or
// `fallback` when absent or not a non-negative number.
std::int64_t QueryNumber(const std::string& query, const std::string& name,
                         std::int64_t fallback) {
  const boost::regex pattern("(?:^|&)" + name + "=([0-9]{1,18})(?:&|$)");
  boost::smatch match;
  if (!boost::regex_search(query, match, pattern)) return fallback;
  return std::strtoll(match[1].str().c_str(), nullptr, 10);
}

// The periods of one leaderboard.
void OnPeriodsRequested(const ApiService::Request& /*request*/,
                        const ApiService::Match& match, ApiService::Done done) {
  const std::string leaderboard_id = match["leaderboard_id"];
  const auto store = PeriodEnds::store();
  if (!store) {
    done(JsonResponse(ErrorBody("The archive keeps no periods")));
    return;
  }
  store->ListPeriods(
      leaderboard_id, PeriodRetention::Cutoffs(ResetSchedule::Now()),
      [leaderboard_id, done](
          bool failed,
          const std::vector<PeriodStore::ArchivedPeriod>& periods) {
        if (failed) {
          Answer(ErrorBody("db error"), done);
          return;
        }
        vel::Json body = OkBody();
        body.Set("leaderboard_id", leaderboard_id);
        vel::Json list = vel::Json::MakeArray();
        for (const auto& period : periods) {
          vel::Json entry = vel::Json::MakeObject();
          entry.Set("period", period.period);
          entry.Set("period_start", DateTimeToCompactText(period.start));
          entry.Set("period_end", DateTimeToCompactText(period.end));
          entry.Set("reset", period.reset);
          entry.Set("total_player_count", period.player_count);
          list.Append(std::move(entry));
        }
        body.Set("periods", std::move(list));
        Answer(body, done);
      });
}

// A page of one period's standings.
void OnStandingsRequested(const ApiService::Request& request,
                          const ApiService::Match& match,
                          ApiService::Done done) {
  const std::string leaderboard_id = match["leaderboard_id"];
  const std::string period = match["period"];
  const std::string start_text = match["period_start"];
  const auto store = PeriodEnds::store();
  boost::posix_time::ptime from, to;
  if (!IsValidLeaderboardId(leaderboard_id) ||
      !ParsePeriodStart(start_text, &from, &to)) {
    done(JsonResponse(ErrorBody("Invalid leaderboard id or period start")));
    return;
  }
  if (!store || !PeriodRetention::Keeps(period)) {
    done(JsonResponse(ErrorBody("Unknown period: the archive keeps no " +
                                period + " periods")));
    return;
  }
  const std::int64_t max_page = static_cast<std::int64_t>(
      std::min<std::uint64_t>(FLAGS_max_records_per_answer, 1000000));
  const std::int64_t offset = QueryNumber(request.query, "offset", 0);
  const std::int64_t limit =
      std::min(QueryNumber(request.query, "limit", kDefaultPageSize), max_page);
  const std::string unknown = "Unknown or expired period: no " + period +
                              " period of " + leaderboard_id + " starting at " +
                              start_text + " is archived";
  store->FindPeriod(
      leaderboard_id, period, from, to,
      PeriodRetention::Cutoff(period, ResetSchedule::Now()),
      [store, leaderboard_id, offset, limit, unknown, done](
          bool failed,
          const std::optional<PeriodStore::ArchivedPeriod>& found) {
        if (failed || !found) {
          Answer(ErrorBody(failed ? "db error" : unknown), done);
          return;
        }
        vel::Json body = OkBody();
        body.Set("leaderboard_id", leaderboard_id);
        body.Set("period", found->period);
        body.Set("period_start", DateTimeToCompactText(found->start));
        body.Set("period_end", DateTimeToCompactText(found->end));
        body.Set("total_player_count", found->player_count);
        body.Set("offset", offset);
        body.Set("limit", limit);
        store->ReadStandings(
            found->period_id, offset, offset + limit - 1,
            [store, leaderboard_id, body, done](
                bool read_failed,
                const std::vector<ArchivedStanding>& standings) {
              if (read_failed) {
                Answer(ErrorBody("db error"), done);
                return;
              }
              std::vector<vel::PlayerAccount> accounts;
              for (const ArchivedStanding& standing : standings) {
                accounts.emplace_back(standing.service_provider,
                                      standing.local_account);
              }
              LookUpProfiles(
                  store, leaderboard_id, accounts,
                  [standings, body, done](bool profiles_failed,
                                          const ProfileLookup& profiles) {
                    if (profiles_failed) {
                      Answer(ErrorBody("db error"), done);
                      return;
                    }
                    vel::Json answer = body;
                    vel::Json list = vel::Json::MakeArray();
                    for (ArchivedStanding standing : standings) {
                      const auto it = profiles.find(std::make_pair(
                          standing.service_provider, standing.local_account));
                      if (it != profiles.end()) {
                        standing.display_name = it->second.display_name;
                        standing.metadata = it->second.metadata;
                      }
                      list.Append(PeriodArchiver::StandingToJson(standing));
                    }
                    answer.Set("standings", std::move(list));
                    Answer(answer, done);
                  });
            });
      });
}

// The notifications not delivered.
void OnNotificationsRequested(const ApiService::Request& /*request*/,
                              const ApiService::Match& /*match*/,
                              ApiService::Done done) {
  const auto store = PeriodEnds::store();
  if (!store) {
    done(JsonResponse(ErrorBody("Period-end notifications are off")));
    return;
  }
  store->ListOpenNotifications(
      [done](bool failed,
             const std::vector<PeriodStore::OpenNotification>& rows) {
        if (failed) {
          Answer(ErrorBody("db error"), done);
          return;
        }
        vel::Json body = OkBody();
        vel::Json list = vel::Json::MakeArray();
        for (const auto& row : rows) {
          vel::Json entry = vel::Json::MakeObject();
          entry.Set("id", static_cast<std::int64_t>(row.notification_id));
          entry.Set("idempotency_key", row.idempotency_key);
          entry.Set("leaderboard_id", row.leaderboard_id);
          entry.Set("period", row.period);
          entry.Set("period_start", row.period_start);
          entry.Set("period_end", row.period_end);
          entry.Set("state", row.state);
          entry.Set("attempts", row.attempts);
          entry.Set("next_attempt_at", row.next_attempt_at);
          entry.Set("last_error", row.last_error);
          list.Append(std::move(entry));
        }
        body.Set("notifications", std::move(list));
        Answer(body, done);
      });
}

// Sends one notification again.
void OnResendRequested(const ApiService::Request& /*request*/,
                       const ApiService::Match& match, ApiService::Done done) {
  const auto store = PeriodEnds::store();
  const std::string id_text = match["notification_id"];
  if (!store) {
    done(JsonResponse(ErrorBody("Period-end notifications are off")));
    return;
  }
  const std::uint64_t id = std::strtoull(id_text.c_str(), nullptr, 10);
  store->ResendNotification(
      id, [id_text, done](bool failed, const std::string& state) {
        if (failed) {
          Answer(ErrorBody("db error"), done);
          return;
        }
        if (state.empty()) {
          Answer(ErrorBody("No such notification: " + id_text), done);
          return;
        }
        if (state != "pending") {
          Answer(ErrorBody("The notification waits for its period's "
                           "standings; it is sent once they are archived"),
                 done);
          return;
        }
        LOG(INFO) << "Period-end notification queued again over HTTP"
                  << ": id=" << id_text;
        vel::Json body = OkBody();
        body.Set("state", state);
        Answer(body, done);
      });
}

}  // namespace

void RegisterPeriodApiRoutes() {
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex(R"(/v1/period_archive/(?<leaderboard_id>\w+)/)"),
      &OnPeriodsRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex(R"(/v1/period_archive/(?<leaderboard_id>\w+)/)"
                   R"((?<period>day|week|month)/)"
                   R"((?<period_start>\d{8}(?:T\d{6})?)/)"),
      &OnStandingsRequested);
  ApiService::RegisterHandler3(ApiService::kGet,
                               boost::regex("/v1/period_end_notifications/"),
                               &OnNotificationsRequested);
  ApiService::RegisterHandler3(
      ApiService::kPost,
      boost::regex(
          R"(/v1/period_end_notifications/(?<notification_id>\d{1,18})/resend/)"),
      &OnResendRequested);
}

}  // namespace service_internal
}  // namespace plemox
