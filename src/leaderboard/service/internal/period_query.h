// Queries of closed periods kept in the period archive: a leaderboard query
// whose period_start names a past period is answered from MariaDB in the
// shapes and numberings of a live query (leaderboard_service_period_query.cc),
// and the HTTP routes of the archive and the notifications
// (leaderboard_service_period_api.cc).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database/cache/redis_cache.h"
#include "database/store/period_store.h"
#include "leaderboard.pb.h"

namespace plemox {
namespace service_internal {

// Reads a period start: "20261207T000000" (a period starting at exactly that
// local time: [from, to) is that second) or "20261207" (the first period
// starting on that date: [from, to) is that day). False for anything else.
bool ParsePeriodStart(const std::string& text, boost::posix_time::ptime* from,
                      boost::posix_time::ptime* to);

// The kind of period ("day", "week", "month") a query of `timespan` names
// in the archive; "" for kAllTime (never archived).
std::string ArchivedPeriodOf(Leaderboard::LeaderboardQuery::TimeSpan timespan);

// What a query naming period_start must hold beyond the checks of every
// query: a readable start and a timespan of a period. Empty when it does,
// else the reason (the text of the refusal).
std::string CheckArchivedPeriodQuery(
    const Leaderboard::LeaderboardQuery::Request& query);

// Answers a checked query naming period_start from the archive. `callback`
// gets a result as the cache's would be, on a database client thread; an
// unknown or expired period gives a result in error whose `refusal` says so.
// Any thread.
void QueryArchivedPeriod(const Leaderboard::LeaderboardQuery::Request& query,
                         RedisCache::QueryCallback callback);

// Players' current display names and metadata by (service provider, local
// account); players without any are absent.
using ProfileLookup =
    std::map<std::pair<std::string, std::string>, PlayerProfileRow>;

// Reads the current names and metadata of `accounts` on `leaderboard_id`
// from the archive's store (an empty list reads nothing); `callback` runs
// on a database client thread, or at once. Any thread.
void LookUpProfiles(
    const std::shared_ptr<PeriodStore>& store,
    const std::string& leaderboard_id,
    const std::vector<vel::PlayerAccount>& accounts,
    std::function<void(bool failed, const ProfileLookup& profiles)> callback);

// Registers the HTTP routes of the archive and of the period-end
// notifications. Install thread, after start-up.
void RegisterPeriodApiRoutes();

}  // namespace service_internal
}  // namespace plemox
