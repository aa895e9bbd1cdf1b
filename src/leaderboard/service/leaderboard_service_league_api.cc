// The HTTP routes of leagues. Every answer is a JSON body, errors inside it
// ({"error": true, "message": ...}) with status 404 for a league, tier or
// cohort that does not exist and 503 when Redis or MariaDB failed; the
// current period's cohorts are read from Redis, the tier history from
// MariaDB.
//
//   GET /v1/leagues/<leaderboard_id>/tiers/
//       each tier of the current period: its players and its cohorts
//   GET /v1/leagues/<leaderboard_id>/tiers/<tier>/cohorts/[?offset=N&limit=M]
//       a page of a tier's cohorts (id and players), at most 100
//   GET /v1/leagues/<leaderboard_id>/cohorts/<cohort_id>/
//       a cohort's standing (position, competition and dense ranks, and
//       each player's move if the period ended now)
//   GET /v1/leagues/<leaderboard_id>/players/<service_provider>/<account>/
//       a player's tier and its history, the latest 100 periods first (the
//       parts percent-decoded)
#include <glog/logging.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cstdlib>
#include <string>

#include "database/cache/redis_cache.h"
#include "database/cache/redis_key.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/league/league_moves.h"
#include "leaderboard/period/period_ends.h"
#include "leaderboard/service/internal/league_query.h"
#include "vel/core/event.h"
#include "vel/http/api_service.h"
#include "vel/http/percent_decoding.h"

namespace plemox {
namespace service_internal {
namespace {

using vel::ApiService;

// The largest page of cohorts and of history rows.
constexpr std::int64_t kMaxPage = 100;

// The statuses of an answer: found, not found, a store failed.
constexpr int kOk = 200;
constexpr int kNotFound = 404;
constexpr int kUnavailable = 503;

void Answer(const vel::Json& body, const ApiService::Done& done,
            int status = kOk) {
  ApiService::Response response;
  response.status = status;
  response.headers["Content-Type"] = "application/json";
  response.body = body.ToString(true);
  if (!vel::Event::Invoke([response, done] { done(response); })) {
    done(response);
  }
}

vel::Json Body(bool error, const std::string& message) {
  vel::Json body = vel::Json::MakeObject();
  body.Set("error", error);
  body.Set("message", message);
  return body;
}

// The league `match` names into *option; false, answered, when it is none.
bool FindLeague(const ApiService::Match& match, RankingOption* option,
                const ApiService::Done& done) {
  const std::string id = match["leaderboard_id"];
  RankingOptions::GetRankingOption(id, option);
  if (option->is_league()) return true;
  Answer(Body(true, "Leaderboard " + id + " is no league"), done, kNotFound);
  return false;
}

// The current period's league hash of `option`.
std::string CurrentLeagueKey(const RankingOption& option) {
  return MakeLeagueKey(RedisCache::LeagueRankingKey(
      option.leaderboard_id, *option.league,
      ResetScheduleRegistry::MakeResetScheduleInfo(option.leaderboard_id)));
}

std::int64_t Number(const std::string& text) {
  return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
}

std::int64_t QueryNumber(const std::string& query, const std::string& name,
                         std::int64_t fallback) {
  const boost::regex pattern("(?:^|&)" + name + "=([0-9]{1,18})(?:&|$)");
  boost::smatch found;
  if (!boost::regex_search(query, found, pattern)) return fallback;
  return std::strtoll(found[1].str().c_str(), nullptr, 10);
}

void OnTiersRequested(const ApiService::Request& /*request*/,
                      const ApiService::Match& match, ApiService::Done done) {
  RankingOption option;
  if (!FindLeague(match, &option, done)) return;
  std::vector<std::string> fields;
  for (const std::string& tier : option.league->tiers) {
    fields.push_back("t:" + tier);
    fields.push_back("n:" + tier);
  }
  RedisCache::GetLeagueFields(
      CurrentLeagueKey(option), fields,
      [option, done](bool ok, const std::vector<std::string>& values) {
        if (!ok) {
          Answer(Body(true, "redis error"), done, kUnavailable);
          return;
        }
        vel::Json body = Body(false, "OK");
        vel::Json tiers = vel::Json::MakeArray();
        for (std::size_t i = 0; i < option.league->tiers.size(); ++i) {
          vel::Json tier = vel::Json::MakeObject();
          tier.Set("tier", option.league->tiers[i]);
          tier.Set("players", Number(values[2 * i]));
          tier.Set("cohorts", Number(values[2 * i + 1]));
          tiers.Append(std::move(tier));
        }
        body.Set("period", option.league->period);
        body.Set("tiers", std::move(tiers));
        Answer(body, done);
      });
}

void OnCohortsRequested(const ApiService::Request& request,
                        const ApiService::Match& match, ApiService::Done done) {
  RankingOption option;
  if (!FindLeague(match, &option, done)) return;
  const std::string tier = match["tier"];
  if (option.league->TierIndex(tier) < 0) {
    Answer(Body(true, "No such tier: " + tier), done, kNotFound);
    return;
  }
  const std::string key = CurrentLeagueKey(option);
  const std::int64_t offset = QueryNumber(request.query, "offset", 0);
  const std::int64_t limit = std::clamp<std::int64_t>(
      QueryNumber(request.query, "limit", kMaxPage), 1, kMaxPage);
  RedisCache::GetLeagueFields(
      key, {"n:" + tier},
      [key, tier, offset, limit, done](bool ok,
                                       const std::vector<std::string>& count) {
        if (!ok) {
          Answer(Body(true, "redis error"), done, kUnavailable);
          return;
        }
        const std::int64_t total = Number(count[0]);
        std::vector<std::string> fields;
        for (std::int64_t n = offset + 1; n <= total && n <= offset + limit;
             ++n) {
          fields.push_back("s:" + tier + "-" + std::to_string(n));
        }
        RedisCache::GetLeagueFields(
            key, fields,
            [tier, offset, total, done](bool read,
                                        const std::vector<std::string>& sizes) {
              if (!read) {
                Answer(Body(true, "redis error"), done, kUnavailable);
                return;
              }
              vel::Json body = Body(false, "OK");
              body.Set("total_cohorts", total);
              vel::Json cohorts = vel::Json::MakeArray();
              for (std::size_t i = 0; i < sizes.size(); ++i) {
                vel::Json cohort = vel::Json::MakeObject();
                cohort.Set("cohort_id",
                           tier + "-" +
                               std::to_string(offset + 1 +
                                              static_cast<std::int64_t>(i)));
                cohort.Set("players", Number(sizes[i]));
                cohorts.Append(std::move(cohort));
              }
              body.Set("cohorts", std::move(cohorts));
              Answer(body, done);
            });
      });
}

void OnCohortRequested(const ApiService::Request& /*request*/,
                       const ApiService::Match& match, ApiService::Done done) {
  RankingOption option;
  if (!FindLeague(match, &option, done)) return;
  const std::string cohort_id = match["cohort_id"];
  RedisCache::GetCohort(
      option.leaderboard_id,
      RedisCache::LeagueRankingKey(
          option.leaderboard_id, *option.league,
          ResetScheduleRegistry::MakeResetScheduleInfo(option.leaderboard_id)),
      /*by_member=*/false, cohort_id,
      [option, cohort_id, done](const RedisCache::Cohort& cohort) {
        if (cohort.status == RedisCache::Cohort::kFailed) {
          Answer(Body(true, "redis error"), done, kUnavailable);
          return;
        }
        if (cohort.status != RedisCache::Cohort::kFound) {
          Answer(Body(true, "No such cohort: " + cohort_id), done, kNotFound);
          return;
        }
        using Request = Leaderboard::LeaderboardQuery::Request;
        std::vector<QueryResult::Record> ranks[3];
        const Request::RankingType types[] = {
            Request::kPosition, Request::kCompetition, Request::kDense};
        for (int i = 0; i < 3; ++i) {
          RedisCache::RankCohort(cohort, types[i], &ranks[i]);
        }
        // Where each player would move if the period ended now: the
        // promotion and relegation zones, as the period end decides them.
        const int tier = option.league->TierIndex(TierOfCohort(cohort_id));
        const std::vector<int> new_tiers = LeagueMoves::NewTiers(
            *option.league, tier < 0 ? 0 : tier, ranks[0].size());
        vel::Json body = Body(false, "OK");
        body.Set("cohort_id", cohort_id);
        body.Set("tier", TierOfCohort(cohort_id));
        vel::Json standing = vel::Json::MakeArray();
        for (std::size_t i = 0; i < ranks[0].size(); ++i) {
          const QueryResult::Record& record = ranks[0][i];
          vel::Json entry = vel::Json::MakeObject();
          entry.Set("position", record.rank);
          entry.Set("competition_rank", ranks[1][i].rank);
          entry.Set("dense_rank", ranks[2][i].rank);
          entry.Set("service_provider", record.account.service_provider());
          entry.Set("local_account", record.account.id());
          entry.Set("score", option.FromStoredScore(record.score));
          if (!record.display_name.empty()) {
            entry.Set("display_name", record.display_name);
          }
          entry.Set("move", LeagueMoves::MoveName(tier, new_tiers[i]));
          entry.Set(
              "new_tier",
              option.league->tiers[static_cast<std::size_t>(new_tiers[i])]);
          standing.Append(std::move(entry));
        }
        body.Set("standing", std::move(standing));
        Answer(body, done);
      });
}

void OnPlayerRequested(const ApiService::Request& /*request*/,
                       const ApiService::Match& match, ApiService::Done done) {
  RankingOption option;
  if (!FindLeague(match, &option, done)) return;
  const auto leagues = PeriodEnds::leagues();
  if (!leagues) {
    Answer(Body(true, "The period ends are not recorded on this server"), done,
           kUnavailable);
    return;
  }
  // The parts come percent-encoded, as a browser sends them.
  std::string provider;
  std::string account;
  if (!vel::PercentDecoding::Decode(match["service_provider"], false,
                                    &provider) ||
      !vel::PercentDecoding::Decode(match["account"], false, &account)) {
    Answer(Body(true, "Bad player id: broken percent escape"), done);
    return;
  }
  const std::string problem = RequestLimits::CheckPlayerId(provider, account);
  if (!problem.empty()) {
    Answer(Body(true, "Bad player id: " + problem), done);
    return;
  }
  const std::string member_key =
      MakeMemberKey(vel::PlayerAccount(provider, account));
  leagues->ReadHistory(
      option.leaderboard_id, member_key, kMaxPage,
      [option, done](bool failed, int tier,
                     const std::vector<LeaguePeriodEnd::HistoryRow>& rows) {
        if (failed) {
          Answer(Body(true, "db error"), done, kUnavailable);
          return;
        }
        const auto& tiers = option.league->tiers;
        const auto name = [&tiers](int index) {
          return tiers[static_cast<std::size_t>(
              std::clamp(index, 0, static_cast<int>(tiers.size()) - 1))];
        };
        vel::Json body = Body(false, "OK");
        body.Set("tier", name(tier < 0 ? 0 : tier));
        vel::Json history = vel::Json::MakeArray();
        for (const auto& row : rows) {
          vel::Json entry = vel::Json::MakeObject();
          entry.Set("period_start", row.period_start);
          entry.Set("period_end", row.period_end);
          entry.Set("cohort_id", row.cohort_id);
          entry.Set("position", row.position);
          entry.Set("score", row.score);
          entry.Set("tier", name(row.old_tier));
          entry.Set("new_tier", name(row.new_tier));
          history.Append(std::move(entry));
        }
        body.Set("history", std::move(history));
        Answer(body, done);
      });
}

}  // namespace

void RegisterLeagueApiRoutes() {
  const std::string league = R"(/v1/leagues/(?<leaderboard_id>\w+)/)";
  ApiService::RegisterHandler3(
      ApiService::kGet, boost::regex(league + "tiers/"), &OnTiersRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex(league + R"(tiers/(?<tier>[A-Za-z0-9_-]{1,32})/cohorts/)"),
      &OnCohortsRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex(league + R"(cohorts/(?<cohort_id>[A-Za-z0-9_-]{1,64})/)"),
      &OnCohortRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet,
      // Room for every character percent-encoded; CheckPlayerId bounds
      // the decoded parts.
      boost::regex(league + R"(players/(?<service_provider>[^/:]{1,600})/)"
                            R"((?<account>[^/:]{1,3000})/)"),
      &OnPlayerRequested);
}

}  // namespace service_internal
}  // namespace plemox
