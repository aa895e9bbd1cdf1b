#include "leaderboard/core/ranking_options.h"

#include <glog/logging.h>

#include <algorithm>
#include <iterator>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/reset_schedule_registry.h"

namespace plemox {

std::map<std::string, RankingOption> RankingOptions::the_ranking_options;
SnapshotCell<std::map<std::string, RankingOption>>
    RankingOptions::the_defined_options;

namespace {

// The boolean member `name` of `element`, or true when it is absent or of
// another type.
bool ReadFlag(const vel::Json& element, const std::string& name) {
  const vel::Json value = element[name];
  return value.IsBool() ? value.GetBool() : true;
}

// The optional "sort_order" of `element` into *order; false, with *error,
// for a value that is neither "descending" nor "ascending".
bool ReadSortOrder(const vel::Json& element, RankingOption::SortOrder* order,
                   std::string* error) {
  const vel::Json value = element["sort_order"];
  *order = RankingOption::SortOrder::kDescending;
  if (value.IsNull()) return true;
  if (value.IsString() && value.GetString() == "descending") return true;
  if (value.IsString() && value.GetString() == "ascending") {
    *order = RankingOption::SortOrder::kAscending;
    return true;
  }
  *error = "sort_order must be \"descending\" or \"ascending\", not " +
           value.ToString();
  return false;
}

// The optional "tiebreak" of `element` into *tiebreak; false, with *error,
// for a value that is neither "descending" nor "ascending".
bool ReadTiebreak(const vel::Json& element, RankingOption::Tiebreak* tiebreak,
                  std::string* error) {
  const vel::Json value = element["tiebreak"];
  *tiebreak = RankingOption::Tiebreak::kNone;
  if (value.IsNull()) return true;
  if (value.IsString() && value.GetString() == "descending") {
    *tiebreak = RankingOption::Tiebreak::kDescending;
    return true;
  }
  if (value.IsString() && value.GetString() == "ascending") {
    *tiebreak = RankingOption::Tiebreak::kAscending;
    return true;
  }
  *error = "tiebreak must be \"descending\" or \"ascending\", not " +
           value.ToString();
  return false;
}

// Whether `name` can be a tier: 1 to kMaxTierNameLength letters, digits,
// '_' or '-' (tier names are parts of cohort ids, keys and URLs).
bool IsTierName(const std::string& name) {
  if (name.empty() || name.size() > LeagueRules::kMaxTierNameLength) {
    return false;
  }
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '-') return false;
  }
  return true;
}

// The integer member `name` of `league` into *out, within [low, high];
// false, with *error, otherwise.
bool ReadCount(const vel::Json& league, const char* name, std::int64_t low,
               std::int64_t high, std::int64_t* out, std::string* error) {
  const vel::Json value = league[name];
  if (!value.IsInt() || value.GetInt() < low || value.GetInt() > high) {
    *error = std::string("league.") + name + " must be an integer from " +
             std::to_string(low) + " to " + std::to_string(high) + ", not " +
             value.ToString();
    return false;
  }
  *out = value.GetInt();
  return true;
}

// The optional "league" of `element` into *out (null when absent); false,
// with *error naming the member and the value, for a bad one.
bool ReadLeague(const vel::Json& element,
                std::shared_ptr<const LeagueRules>* out, std::string* error) {
  const vel::Json league = element["league"];
  out->reset();
  if (league.IsNull()) return true;
  if (!league.IsObject()) {
    *error = "league must be an object, not " + league.ToString();
    return false;
  }
  for (const auto& member : league.value().items()) {
    static const char* const kMembers[] = {"tiers",    "cohort_size", "promote",
                                           "relegate", "absent",      "period"};
    if (std::find(std::begin(kMembers), std::end(kMembers), member.key()) ==
        std::end(kMembers)) {
      *error = "league has an unknown member \"" + member.key() + "\"";
      return false;
    }
  }
  auto rules = std::make_shared<LeagueRules>();
  const vel::Json tiers = league["tiers"];
  if (!tiers.IsArray() || tiers.Size() == 0 ||
      tiers.Size() > LeagueRules::kMaxTiers) {
    *error = "league.tiers must be an array of 1 to " +
             std::to_string(LeagueRules::kMaxTiers) +
             " tier names, the lowest first, not " + tiers.ToString();
    return false;
  }
  for (std::size_t i = 0; i < tiers.Size(); ++i) {
    const vel::Json tier = tiers[i];
    if (!tier.IsString() || !IsTierName(tier.GetString())) {
      *error = "league.tiers[" + std::to_string(i) +
               "] must be a name of 1 to " +
               std::to_string(LeagueRules::kMaxTierNameLength) +
               " letters, digits, '_' or '-', not " + tier.ToString();
      return false;
    }
    if (rules->TierIndex(tier.GetString()) >= 0) {
      *error = "league.tiers names \"" + tier.GetString() + "\" twice";
      return false;
    }
    rules->tiers.push_back(tier.GetString());
  }
  if (!ReadCount(league, "cohort_size", 1, LeagueRules::kMaxCohortSize,
                 &rules->cohort_size, error) ||
      !ReadCount(league, "promote", 0, rules->cohort_size, &rules->promote,
                 error) ||
      !ReadCount(league, "relegate", 0, rules->cohort_size, &rules->relegate,
                 error)) {
    return false;
  }
  if (rules->promote + rules->relegate > rules->cohort_size) {
    *error = "league.promote + league.relegate (" +
             std::to_string(rules->promote + rules->relegate) +
             ") must not exceed league.cohort_size (" +
             std::to_string(rules->cohort_size) + ")";
    return false;
  }
  const vel::Json absent = league["absent"];
  if (!absent.IsNull() &&
      !(absent.IsString() &&
        (absent.GetString() == "stay" || absent.GetString() == "down"))) {
    *error =
        "league.absent must be \"stay\" or \"down\", not " + absent.ToString();
    return false;
  }
  rules->absent_down = absent.IsString() && absent.GetString() == "down";
  const vel::Json period = league["period"];
  if (!period.IsNull() &&
      !(period.IsString() &&
        (period.GetString() == "day" || period.GetString() == "week" ||
         period.GetString() == "month"))) {
    *error = "league.period must be \"day\", \"week\" or \"month\", not " +
             period.ToString();
    return false;
  }
  if (period.IsString()) rules->period = period.GetString();
  *out = std::move(rules);
  return true;
}

}  // namespace

bool RankingOptions::ResolveLeaguePeriod(RankingOption* option, bool has_day,
                                         bool has_week, bool has_month,
                                         std::string* error) {
  if (!option->is_league()) return true;
  const int schedules = int{has_day} + int{has_week} + int{has_month};
  LeagueRules rules = *option->league;
  if (rules.period.empty()) {
    if (schedules != 1) {
      *error = schedules == 0
                   ? "a league needs a reset schedule (day, week or month)"
                   : "a league with several reset schedules must name its "
                     "period in league.period";
      return false;
    }
    rules.period = has_day ? "day" : has_week ? "week" : "month";
  } else if ((rules.period == "day" && !has_day) ||
             (rules.period == "week" && !has_week) ||
             (rules.period == "month" && !has_month)) {
    *error = "a league needs a reset schedule of its period (league.period " +
             rules.period + ")";
    return false;
  }
  if (rules.period == "week" && FLAGS_use_leaderboard_table_with_date) {
    // Dated weeks never roll over, and a league's cohorts move with the
    // rollover.
    *error = "a weekly league needs --use_leaderboard_table_with_date=false";
    return false;
  }
  option->league = std::make_shared<const LeagueRules>(std::move(rules));
  return true;
}

bool RankingOptions::ParseOption(const vel::Json& element, RankingOption* out,
                                 std::string* error) {
  out->enable_alltime = ReadFlag(element, "enable_alltime");
  out->enable_dense = ReadFlag(element, "enable_dense");
  if (!ReadSortOrder(element, &out->sort_order, error) ||
      !ReadTiebreak(element, &out->tiebreak, error)) {
    return false;
  }
  if (!ReadLeague(element, &out->league, error)) return false;
  if (out->is_league() && !FLAGS_redis_cache_use_scripts) {
    // Placement is decided inside the submission script.
    *error = "league needs --redis_cache_use_scripts";
    return false;
  }
  if (out->has_tiebreak() && !FLAGS_redis_cache_use_scripts) {
    // The command chain keeps no second scores.
    *error = "tiebreak needs --redis_cache_use_scripts";
    return false;
  }
  return true;
}

bool RankingOptions::InitializeRankingOption(const vel::Json& ranking_options) {
  // An absent argument comes as null; it means the same as an empty array.
  if (ranking_options.IsNull() ||
      (ranking_options.IsArray() && ranking_options.Size() == 0)) {
    LOG(INFO) << "No ranking options found.";
    return true;
  }
  if (!ranking_options.IsArray()) {
    LOG(FATAL) << "Assert failed: ranking_options.IsArray()"
               << ": ranking_options=" << ranking_options.ToString();
  }

  for (std::size_t i = 0; i < ranking_options.Size(); ++i) {
    const vel::Json element = ranking_options[i];
    const vel::Json id = element["leaderboard_id"];
    if (!id.IsString() || id.GetString().empty()) {
      LOG(ERROR) << "Could not find 'leaderboard_id' in 'ranking_options'"
                 << ": element=" << element.ToString();
      return false;
    }
    RankingOption option;
    option.leaderboard_id = id.GetString();
    std::string error;
    if (!ParseOption(element, &option, &error)) {
      LOG(ERROR) << "Bad 'ranking_options' entry: " << error
                 << ": leaderboard_id=" << option.leaderboard_id;
      return false;
    }
    if (!ResolveLeaguePeriod(
            &option,
            ResetScheduleRegistry::HasDaySchedule(option.leaderboard_id),
            ResetScheduleRegistry::HasWeekSchedule(option.leaderboard_id),
            ResetScheduleRegistry::HasMonthSchedule(option.leaderboard_id),
            &error)) {
      LOG(ERROR) << "Bad 'ranking_options' entry: " << error
                 << ": leaderboard_id=" << option.leaderboard_id;
      return false;
    }
    if (option.is_league()) {
      LOG(INFO) << "Leaderboard is a league: leaderboard_id="
                << option.leaderboard_id
                << ", tiers=" << option.league->tiers.size()
                << ", cohort_size=" << option.league->cohort_size
                << ", period=" << option.league->period;
    }
    LOG(INFO) << "Leaderboard options is set"
              << ": leaderboard_id=" << option.leaderboard_id
              << ", enable_alltime="
              << (option.enable_alltime ? "true" : "false")
              << ", enable_dense=" << (option.enable_dense ? "true" : "false");
    if (option.ascending()) {
      LOG(INFO) << "Leaderboard ranks the lowest score first"
                << ": leaderboard_id=" << option.leaderboard_id;
    }
    if (option.has_tiebreak()) {
      LOG(INFO) << "Leaderboard breaks ties on a second score, the "
                << (option.tiebreak == RankingOption::Tiebreak::kAscending
                        ? "lowest"
                        : "highest")
                << " first: leaderboard_id=" << option.leaderboard_id;
    }
    // The first option of an id wins; say so, since the line above has just
    // announced the later one as set.
    if (!the_ranking_options.emplace(option.leaderboard_id, option).second) {
      LOG(WARNING) << "Duplicated ranking option ignored, the first one is used"
                   << ": leaderboard_id=" << option.leaderboard_id;
    }
  }
  return true;
}

bool RankingOptions::GetRankingOption(const std::string& leaderboard_id,
                                      RankingOption* out) {
  if (out == nullptr) {
    LOG(FATAL) << "Assert failed: out";
  }
  const auto it = the_ranking_options.find(leaderboard_id);
  if (it != the_ranking_options.end()) {
    *out = it->second;
    return true;
  }
  const auto& defined = the_defined_options.Get();
  const auto found = defined.find(leaderboard_id);
  if (found == defined.end()) {
    *out = RankingOption();
    return false;
  }
  *out = found->second;
  return true;
}

std::vector<RankingOption> RankingOptions::GetAll() {
  std::map<std::string, RankingOption> all = the_ranking_options;
  const auto& defined = the_defined_options.Get();
  all.insert(defined.begin(), defined.end());
  std::vector<RankingOption> out;
  for (auto& entry : all) out.push_back(std::move(entry.second));
  return out;
}

void RankingOptions::SetDefinedOptions(
    std::map<std::string, RankingOption> options) {
  for (auto it = options.begin(); it != options.end();) {
    if (the_ranking_options.count(it->first) != 0) {
      LOG(WARNING) << "A leaderboard defined at run time is also in the "
                      "manifest's ranking_options; the manifest's rules apply"
                   << ": leaderboard_id=" << it->first;
      it = options.erase(it);
    } else {
      ++it;
    }
  }
  the_defined_options.Publish(std::move(options));
}

bool RankingOptions::IsManifestOption(const std::string& leaderboard_id) {
  return the_ranking_options.count(leaderboard_id) != 0;
}

const std::map<std::string, RankingOption>& RankingOptions::ManifestOptions() {
  return the_ranking_options;
}

void RankingOptions::ClearForTesting() {
  the_ranking_options.clear();
  the_defined_options.Publish({});
}

}  // namespace plemox
