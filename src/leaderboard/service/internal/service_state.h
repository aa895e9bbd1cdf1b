// What the service's flows read of its process-wide configuration: the
// leaderboard ids of the manifest and the week a request refers to. Written
// by start-up before the first request and read-only afterwards, so any
// thread may read it without a lock (leaderboard_service.cc).
#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <set>
#include <string>

#include "common/reset_schedule_info.h"
#include "leaderboard.pb.h"

namespace plemox {
namespace service_internal {

// The leaderboard ids of the manifest; empty before start-up.
const std::set<std::string>& configured_leaderboard_ids();

// Whether `leaderboard_id` was configured in the manifest.
bool IsConfiguredLeaderboardId(const std::string& leaderboard_id);

// The week a request about `timespan` of `leaderboard_id` refers to, for
// dated weekly keys: the weekly schedule's next reset for kWeekly, its past
// reset for kLastWeek, and not-a-date-time otherwise or without a weekly
// schedule. Takes the schedule registry's lock. REQUIRES:
// !leaderboard_id.empty().
boost::posix_time::ptime WeekReferenceTime(
    const std::string& leaderboard_id,
    Leaderboard::LeaderboardQuery::TimeSpan timespan);

// The same week taken from the schedule facts a request already carries,
// so that every step of one request names the same weekly keys even when a
// weekly reset moves the registry on in between.
boost::posix_time::ptime WeekReferenceTime(
    const ResetScheduleInfo& schedule,
    Leaderboard::LeaderboardQuery::TimeSpan timespan);

}  // namespace service_internal
}  // namespace plemox
