// Queries of a league's cohorts (leaderboard_service_league_query.cc): a
// leaderboard query with `cohort` set runs over the requesting player's
// cohort of the current period instead of the whole ranking.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "database/cache/redis_cache.h"
#include "leaderboard.pb.h"

namespace plemox {
namespace service_internal {

// What a cohort query must hold beyond the checks of every query: a league,
// the requesting player, the league's current period as its time span, no
// period_start. Empty when it does, else the reason (the text of the
// refusal). Any thread.
std::string CheckCohortQuery(
    const Leaderboard::LeaderboardQuery::Request& query);

// Answers a checked cohort query: `callback` gets a result as a live query's
// would be (stored scores; the caller turns them into real ones), with the
// cohort's tier and id, on a cache completion thread; a player in no cohort
// (or still waiting for one) is a refusal. Any thread.
void QueryCohort(
    const Leaderboard::LeaderboardQuery::Request& query,
    std::function<void(const std::shared_ptr<const QueryResult>&)> callback);

// Registers the HTTP routes of leagues (leaderboard_service_league_api.cc).
void RegisterLeagueApiRoutes();

// The tier of a cohort id ("silver-3" gives "silver").
std::string TierOfCohort(const std::string& cohort_id);

}  // namespace service_internal
}  // namespace plemox
