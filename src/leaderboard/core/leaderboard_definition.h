// LeaderboardDefinition: the rules of one leaderboard defined at run time
// over the HTTP API instead of in the manifest: its ranking option and its
// reset schedules, as the body of `PUT /v1/leaderboards/<id>/` gives them
// and as the leaderboard_definition table keeps them (LeaderboardDefinitions
// in the service stores, shares and applies them).
//
// A value type; safe to read from any thread. Parse and the text forms are
// pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ranking_option.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "vel/core/json.h"

namespace plemox {

class LeaderboardDefinition {
 public:
  using Schedule = ResetScheduleRegistry::DefinedSchedule;

  // The largest body a definition may have, in bytes.
  static constexpr std::size_t kMaxBodyBytes = 16 * 1024;

  // Reads a definition of `leaderboard_id` from `body`, a JSON object with
  // at most two members: "ranking_option", an object of the keys of a
  // `ranking_options` entry (read by RankingOptions::ParseOption; absent
  // means every default), and "reset_schedules", an array of schedules in
  // the manifest's form, at most one per period (absent means none). Either
  // may hold "leaderboard_id" only when it equals `leaderboard_id`. False,
  // with *error naming the member and the fault, for anything else: bad
  // JSON, an unknown member, a bad rule, a bad schedule, a second schedule
  // of one period. The id itself is not checked here. REQUIRES: out, error
  // not null.
  static bool Parse(const std::string& leaderboard_id, const std::string& body,
                    LeaderboardDefinition* out, std::string* error);

  // The stored forms: the ranking option object as given (without
  // "leaderboard_id") and the schedules as a JSON array without ids. Parse
  // of {"ranking_option": RankingOptionText(), "reset_schedules":
  // SchedulesText()} gives this definition back.
  std::string RankingOptionText() const { return ranking_option.ToString(); }
  std::string SchedulesText() const;

  // The schedules as the listing shows them (period, interval, starts,
  // ends), in the order given.
  vel::Json SchedulesJson() const;

  // The rules of `option` as the listing shows them: enable_alltime,
  // enable_dense, sort_order ("descending" or "ascending"), tiebreak and
  // league (tiers, cohort_size, promote, relegate, absent, period) when set,
  // in the form ParseOption reads.
  static vel::Json OptionJson(const RankingOption& option);

  std::string leaderboard_id;
  // The rules read from ranking_option; its leaderboard_id is set.
  RankingOption option;
  // The "ranking_option" object as given, without "leaderboard_id".
  vel::Json ranking_option = vel::Json::MakeObject();
  std::vector<Schedule> schedules;
  // The row's version in the leaderboard_definition table (1 for the
  // first), whether it was retired, and when it last changed; 0, false and
  // "" for a definition not stored yet.
  std::int64_t version = 0;
  bool retired = false;
  std::string updated_at;
};

}  // namespace plemox
