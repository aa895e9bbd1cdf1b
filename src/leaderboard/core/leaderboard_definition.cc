#include "leaderboard/core/leaderboard_definition.h"

#include <set>

#include "leaderboard/core/ranking_options.h"

namespace plemox {
namespace {

// The members a schedule of a definition may have.
const std::set<std::string>& ScheduleMembers() {
  static const std::set<std::string> members = {"leaderboard_id", "period",
                                                "interval", "starts", "ends"};
  return members;
}

// False, with *error, when `object` names a leaderboard id other than
// `leaderboard_id`; `where` says which member it is in.
bool CheckOwnId(const vel::Json& object, const std::string& leaderboard_id,
                const std::string& where, std::string* error) {
  if (!object.HasMember("leaderboard_id")) return true;
  const vel::Json id = object["leaderboard_id"];
  if (id.IsString() && id.GetString() == leaderboard_id) return true;
  *error = where + ": leaderboard_id " + id.ToString() +
           " differs from the leaderboard of the path, \"" + leaderboard_id +
           "\"";
  return false;
}

bool ReadOption(const vel::Json& given, LeaderboardDefinition* out,
                std::string* error) {
  if (given.IsNull()) return true;
  if (!given.IsObject()) {
    *error = "ranking_option must be an object, not " + given.ToString();
    return false;
  }
  if (!CheckOwnId(given, out->leaderboard_id, "ranking_option", error)) {
    return false;
  }
  out->ranking_option = given;
  out->ranking_option.value().erase("leaderboard_id");
  std::string rule_error;
  if (!RankingOptions::ParseOption(out->ranking_option, &out->option,
                                   &rule_error)) {
    *error = "ranking_option: " + rule_error;
    return false;
  }
  return true;
}

bool ReadSchedule(const vel::Json& given, std::size_t index,
                  LeaderboardDefinition* out, std::string* error) {
  const std::string where = "reset_schedules[" + std::to_string(index) + "]";
  if (!given.IsObject()) {
    *error = where + " must be an object, not " + given.ToString();
    return false;
  }
  for (const auto& member : given.value().items()) {
    if (ScheduleMembers().count(member.key()) == 0) {
      *error = where + ": unknown member \"" + member.key() + "\"";
      return false;
    }
  }
  if (!CheckOwnId(given, out->leaderboard_id, where, error)) return false;
  vel::Json element = given;
  element.Set("leaderboard_id", out->leaderboard_id);
  std::string schedule_error;
  if (!ResetScheduleRegistry::CheckDefinedSchedule(element, &schedule_error)) {
    *error = where + ": " + schedule_error;
    return false;
  }
  LeaderboardDefinition::Schedule schedule;
  schedule.leaderboard_id = out->leaderboard_id;
  schedule.period = element["period"].GetString();
  schedule.interval = element["interval"].GetInt();
  schedule.starts = element["starts"].GetString();
  schedule.ends = element["ends"].GetString();
  for (const auto& earlier : out->schedules) {
    if (earlier.period == schedule.period) {
      *error = where + ": the leaderboard key " + out->leaderboard_id + "_" +
               schedule.period + " already has a schedule in this definition";
      return false;
    }
  }
  out->schedules.push_back(std::move(schedule));
  return true;
}

bool ReadSchedules(const vel::Json& given, LeaderboardDefinition* out,
                   std::string* error) {
  if (given.IsNull()) return true;
  if (!given.IsArray()) {
    *error = "reset_schedules must be an array, not " + given.ToString();
    return false;
  }
  for (std::size_t i = 0; i < given.Size(); ++i) {
    if (!ReadSchedule(given[i], i, out, error)) return false;
  }
  return true;
}

}  // namespace

bool LeaderboardDefinition::Parse(const std::string& leaderboard_id,
                                  const std::string& body,
                                  LeaderboardDefinition* out,
                                  std::string* error) {
  vel::Json parsed;
  if (!vel::Json::Parse(body, &parsed)) {
    *error = "the body is not well-formed JSON";
    return false;
  }
  if (!parsed.IsObject()) {
    *error = "the body must be a JSON object";
    return false;
  }
  for (const auto& member : parsed.value().items()) {
    if (member.key() != "ranking_option" && member.key() != "reset_schedules") {
      *error = "unknown member \"" + member.key() +
               "\" (a definition has \"ranking_option\" and "
               "\"reset_schedules\")";
      return false;
    }
  }
  LeaderboardDefinition definition;
  definition.leaderboard_id = leaderboard_id;
  definition.option.leaderboard_id = leaderboard_id;
  if (!ReadOption(parsed["ranking_option"], &definition, error) ||
      !ReadSchedules(parsed["reset_schedules"], &definition, error)) {
    return false;
  }
  const auto has = [&definition](const char* period) {
    for (const Schedule& schedule : definition.schedules) {
      if (schedule.period == period) return true;
    }
    return false;
  };
  std::string league_error;
  if (!RankingOptions::ResolveLeaguePeriod(&definition.option, has("day"),
                                           has("week"), has("month"),
                                           &league_error)) {
    *error = "ranking_option: " + league_error;
    return false;
  }
  *out = std::move(definition);
  return true;
}

vel::Json LeaderboardDefinition::SchedulesJson() const {
  vel::Json list = vel::Json::MakeArray();
  for (const Schedule& schedule : schedules) {
    vel::Json element = vel::Json::MakeObject();
    element.Set("period", schedule.period);
    element.Set("interval", schedule.interval);
    element.Set("starts", schedule.starts);
    element.Set("ends", schedule.ends);
    list.Append(std::move(element));
  }
  return list;
}

std::string LeaderboardDefinition::SchedulesText() const {
  return SchedulesJson().ToString();
}

vel::Json LeaderboardDefinition::OptionJson(const RankingOption& option) {
  vel::Json rules = vel::Json::MakeObject();
  rules.Set("enable_alltime", option.enable_alltime);
  rules.Set("enable_dense", option.enable_dense);
  rules.Set("sort_order", option.ascending() ? "ascending" : "descending");
  // Absent without one, as in the manifest; the stored text is this one, so
  // every rule ParseOption reads must be here.
  if (option.has_tiebreak()) {
    rules.Set("tiebreak", option.tiebreak == RankingOption::Tiebreak::kAscending
                              ? "ascending"
                              : "descending");
  }
  if (option.is_league()) {
    const LeagueRules& league = *option.league;
    vel::Json tiers = vel::Json::MakeArray();
    for (const std::string& tier : league.tiers) tiers.Append(tier);
    vel::Json rules_of_league = vel::Json::MakeObject();
    rules_of_league.Set("tiers", std::move(tiers));
    rules_of_league.Set("cohort_size", league.cohort_size);
    rules_of_league.Set("promote", league.promote);
    rules_of_league.Set("relegate", league.relegate);
    rules_of_league.Set("absent", league.absent_down ? "down" : "stay");
    if (!league.period.empty()) rules_of_league.Set("period", league.period);
    rules.Set("league", std::move(rules_of_league));
  }
  return rules;
}

}  // namespace plemox
