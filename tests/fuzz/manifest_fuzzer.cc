// Fuzzes the manifest and its arguments: the host's manifest checks, the
// argument lookup the component does, and the component's own checks of
// `leaderboard_ids`, `reset_schedules` and `ranking_options`. Arguments that
// pass are loaded into the registries and the schedules are run forwards
// through the calendar, which must keep past <= due <= next and never move
// backwards. The input is the manifest text itself. Configuration faults that
// start-up treats as fatal on purpose (duplicate schedule keys, a
// ranking_options value that is no array) are not fed to the loaders.
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "common/date_time_text.h"
#include "fuzz_support.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "vel/core/argument_map.h"
#include "vel/core/manifest.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;

// A fixed "now" keeps every run of one input the same.
const ptime kNow(boost::gregorian::date(2026, 3, 14), seconds(12 * 3600));

bool HasDuplicateKeys(const vel::Json& schedules) {
  std::set<std::string> keys;
  for (std::size_t i = 0; i < schedules.Size(); ++i) {
    const std::string key = schedules[i]["leaderboard_id"].GetString() + "_" +
                            schedules[i]["period"].GetString();
    if (!keys.insert(key).second) return true;
  }
  return false;
}

// The order of one schedule's occurrences, where they are dates.
void CheckOrder(const plemox::ResetSchedule& schedule) {
  const ptime& past = schedule.past_date_time();
  const ptime& due = schedule.schedule_date_time();
  const ptime& next = schedule.next_date_time();
  if (!past.is_special() && !due.is_special() && past > due) std::abort();
  if (!due.is_special() && !next.is_special() && due > next) std::abort();
}

void RunSchedules() {
  // Reset checks at moments after kNow: the next second, days, a long
  // downtime and years later.
  constexpr std::int64_t kDay = 24 * 3600;
  ptime now = kNow;
  for (const std::int64_t step :
       {std::int64_t{1}, kDay, 8 * kDay, 40 * kDay, 400 * kDay, 4000 * kDay}) {
    now += seconds(step);
    plemox::ResetScheduleRegistry::WithLockedSchedules(
        [&](plemox::ResetScheduleRegistry::ScheduleMap& schedules) {
          for (auto& [key, schedule] : schedules) {
            const ptime before = schedule.next_date_time();
            // After a long downtime each call reports one missed reset;
            // a bounded number of calls must catch up or stop.
            for (int i = 0; i < 4 && schedule.IsResetTime(now); ++i) {
              CheckOrder(schedule);
            }
            CheckOrder(schedule);
            if (!before.is_special() &&
                !schedule.next_date_time().is_special() &&
                schedule.next_date_time() < before) {
              std::abort();
            }
          }
          return 0;
        });
  }
  for (const plemox::ResetSchedule& schedule :
       plemox::ResetScheduleRegistry::Snapshot()) {
    vel::Json json;
    schedule.ToJson(&json);
    if (json.ToString(false).empty()) std::abort();
    plemox::ResetScheduleRegistry::MakeResetScheduleInfo(
        schedule.leaderboard_id());
    schedule.DatedWeekTexts(now.date());
    if (plemox::DateTimeToCompactText(schedule.starts()).empty()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  plemox::fuzz::QuietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vel::Manifest manifest;
  std::string error;
  if (!vel::Manifest::Parse(text, "/fuzz/MANIFEST.json", &manifest, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (manifest.name().empty() || manifest.library().empty()) std::abort();
  if (!manifest.arguments().IsObject()) std::abort();

  const vel::ArgumentMap arguments(manifest.arguments());
  const vel::Json ids = arguments.FindArrayArgument("leaderboard_ids");
  if (ids.IsArray()) {
    for (std::size_t i = 0; i < ids.Size(); ++i) {
      if (ids[i].IsString()) plemox::IsValidLeaderboardId(ids[i].GetString());
    }
  }

  const vel::Json options = arguments.FindArrayArgument("ranking_options");
  if (options.IsNull() || options.IsArray()) {
    plemox::RankingOptions::ClearForTesting();
    plemox::RankingOptions::InitializeRankingOption(options);
    plemox::RankingOption option;
    plemox::RankingOptions::GetRankingOption("fuzz", &option);
  }

  const vel::Json schedules = arguments.FindArrayArgument("reset_schedules");
  plemox::ResetScheduleRegistry::ClearForTesting();
  if (plemox::ResetScheduleRegistry::ValidateResetSchedule(schedules) &&
      !HasDuplicateKeys(schedules)) {
    if (!plemox::ResetScheduleRegistry::InitializeResetSchedule(schedules,
                                                                kNow)) {
      std::abort();  // validated above
    }
    RunSchedules();
  }
  return 0;
}
