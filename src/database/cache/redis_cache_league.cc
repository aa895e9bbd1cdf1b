// RedisCache: the cohorts of leagues. Placement happens inside the
// submission script (lua/league.lua); here are its keys and arguments, the
// reads of a cohort, their ranking, and the league's part of a rollover and
// of a deletion.
#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <cstdlib>

#include "common/period_ranking.h"
#include "database/cache/internal/lua_sources.h"
#include "database/cache/internal/redis_cache_script.h"
#include "database/cache/internal/redis_commands.h"
#include "vel/redis/redis_script.h"

namespace plemox {
namespace {

using Leaderboard::LeaderboardQuery;
using redis_cache::kServerTag;
using redis_cache::ParseScoreText;
using vel::Redis;
using vel::RedisValue;

const vel::RedisScript& CohortQueryScript() {
  static const vel::RedisScript script("cohort_query",
                                       lua_sources::kCohortQuery);
  return script;
}

std::atomic<bool> the_league_moves_applied{false};

const vel::RedisScript& LeaguePlaceScript() {
  static const vel::RedisScript script("league_place",
                                       lua_sources::kLeaguePlace);
  return script;
}

const vel::RedisScript& LeagueRolloverScript() {
  static const vel::RedisScript script("league_rollover",
                                       lua_sources::kLeagueRollover);
  return script;
}

// The league's period as the current timespan of its ranking.
Timespan LeagueTimespan(const LeagueRules& rules) {
  if (rules.period == "day") return LeaderboardQuery::kDaily;
  if (rules.period == "month") return LeaderboardQuery::kMonthly;
  return LeaderboardQuery::kWeekly;
}

// The keys cohort_query.lua reads.
std::vector<std::string> CohortKeys(const std::string& leaderboard_id,
                                    const std::string& period_ranking_key) {
  return {MakeLeagueKey(period_ranking_key), period_ranking_key,
          MakeLeaderboardTimestampKey(period_ranking_key),
          MakeLeaderboardProfileKey(leaderboard_id)};
}

// The script's answer as a cohort.
RedisCache::Cohort ToCohort(Redis::Result result, RedisValue* answer) {
  RedisCache::Cohort cohort;
  if (result != Redis::kSuccess || !answer->is_array() ||
      answer->elements.empty() ||
      answer->elements[0].type != RedisValue::kString) {
    return cohort;
  }
  std::vector<RedisValue>& elements = answer->elements;
  if (elements.size() == 1 && elements[0].text == "none") {
    cohort.status = RedisCache::Cohort::kNone;
    return cohort;
  }
  if (elements.size() == 1 && elements[0].text == "waiting") {
    cohort.status = RedisCache::Cohort::kWaiting;
    return cohort;
  }
  if ((elements.size() - 1) % 4 != 0) return cohort;
  cohort.cohort_id = std::move(elements[0].text);
  for (std::size_t i = 1; i < elements.size(); i += 4) {
    RedisCache::CohortEntry entry;
    if (elements[i].type != RedisValue::kString) return RedisCache::Cohort();
    entry.member_key = std::move(elements[i].text);
    if (elements[i + 1].type == RedisValue::kString &&
        elements[i + 2].type == RedisValue::kString) {
      if (!ParseScoreText(elements[i + 2].text, &entry.stored_score)) {
        return RedisCache::Cohort();
      }
      entry.ranking_key = std::move(elements[i + 1].text);
    }
    if (elements[i + 3].type == RedisValue::kString &&
        !UnpackProfile(elements[i + 3].text, &entry.display_name,
                       &entry.metadata)) {
      return RedisCache::Cohort();
    }
    cohort.entries.push_back(std::move(entry));
  }
  cohort.status = RedisCache::Cohort::kFound;
  return cohort;
}

}  // namespace

std::string RedisCache::LeagueRankingKey(const std::string& leaderboard_id,
                                         const LeagueRules& rules,
                                         const ResetScheduleInfo& schedule) {
  const Timespan timespan = LeagueTimespan(rules);
  for (const PeriodRanking& period : KeptPeriodRankings(schedule, false)) {
    if (period.timespan == timespan) {
      return MakeLeaderboardKey(leaderboard_id, timespan, period.week_time);
    }
  }
  return MakeLeaderboardKey(leaderboard_id, timespan,
                            boost::posix_time::not_a_date_time);
}

void RedisCache::AddLeagueArguments(const std::string& leaderboard_id,
                                    const LeagueRules& rules,
                                    const ResetScheduleInfo& schedule,
                                    std::vector<std::string>* keys,
                                    std::vector<std::string>* args) {
  keys->push_back(
      MakeLeagueKey(LeagueRankingKey(leaderboard_id, rules, schedule)));
  keys->push_back(MakeLeagueTiersKey(leaderboard_id));
  keys->push_back(MakeLeagueLogKey(leaderboard_id));
  args->push_back("3");
  args->push_back(std::to_string(rules.cohort_size));
  args->insert(args->end(), rules.tiers.begin(), rules.tiers.end());
}

void RedisCache::GetCohort(const std::string& leaderboard_id,
                           const std::string& period_ranking_key,
                           bool by_member, const std::string& who,
                           CohortCallback callback) {
  CohortQueryScript().RunAsync(
      *Script::the_pipeline, Script::NextQueryLane(),
      CohortKeys(leaderboard_id, period_ranking_key),
      {by_member ? "member" : "cohort", who},
      [callback = std::move(callback), period_ranking_key](
          Redis::Result result, RedisValue answer, bool /*maybe_ran*/) {
        auto cohort = std::make_shared<Cohort>(ToCohort(result, &answer));
        if (cohort->status == Cohort::kFailed) {
          LOG(ERROR) << "Failed to read a league cohort: "
                     << Redis::ResultName(result)
                     << (answer.type == RedisValue::kError ? ": " + answer.text
                                                           : std::string())
                     << ", period ranking key: " << period_ranking_key;
        }
        boost::asio::post(*the_cb_io_service,
                          [callback, cohort] { callback(*cohort); });
      });
}

RedisCache::Cohort RedisCache::ReadCohort(const std::string& leaderboard_id,
                                          const std::string& period_ranking_key,
                                          const std::string& cohort_id) {
  RedisValue answer;
  const Redis::Result result =
      CohortQueryScript().Run(CohortKeys(leaderboard_id, period_ranking_key),
                              {"cohort", cohort_id}, &answer, kServerTag);
  return ToCohort(result, &answer);
}

void RedisCache::RankCohort(const Cohort& cohort, RankingType ranking_type,
                            std::vector<QueryResult::Record>* out) {
  std::vector<const CohortEntry*> ranked;
  for (const CohortEntry& entry : cohort.entries) {
    if (!entry.ranking_key.empty()) ranked.push_back(&entry);
  }
  // As ZREVRANGE reads the period ranking: the higher score first, equal
  // scores by member text descending (the earlier time, after the second
  // score on a leaderboard with a tiebreak).
  std::sort(ranked.begin(), ranked.end(),
            [](const CohortEntry* a, const CohortEntry* b) {
              if (a->stored_score != b->stored_score) {
                return a->stored_score > b->stored_score;
              }
              return a->ranking_key > b->ranking_key;
            });
  out->clear();
  std::int64_t competition = 0;
  std::int64_t dense = 0;
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    const CohortEntry& entry = *ranked[i];
    const std::string tie = MemberTiebreakText(entry.ranking_key);
    const bool same_as_before =
        i > 0 && ranked[i - 1]->stored_score == entry.stored_score &&
        MemberTiebreakText(ranked[i - 1]->ranking_key) == tie;
    if (!same_as_before) {
      competition = static_cast<std::int64_t>(i) + 1;
      ++dense;
    }
    QueryResult::Record record;
    if (ranking_type == LeaderboardQuery::Request::kPosition) {
      record.rank = static_cast<std::int64_t>(i) + 1;
    } else if (ranking_type == LeaderboardQuery::Request::kCompetition) {
      record.rank = competition;
    } else {
      record.rank = dense;
    }
    record.score = entry.stored_score;
    double tiebreak = 0.0;
    if (!tie.empty() && TiebreakFromText(tie, &tiebreak)) {
      record.tiebreak_score = tiebreak;
    }
    ParseMemberRankingKey(entry.ranking_key, &record.account);
    record.display_name = entry.display_name;
    record.metadata = entry.metadata;
    out->push_back(std::move(record));
  }
}

std::string redis_cache::TierName(const LeagueRules& league,
                                  const RedisValue& value) {
  const std::int64_t last = static_cast<std::int64_t>(league.tiers.size()) - 1;
  std::int64_t index = 0;
  if (value.type == RedisValue::kString) {
    index = std::strtoll(value.text.c_str(), nullptr, 10);
  } else if (value.type == RedisValue::kInteger) {
    index = value.integer;
  }
  return league.tiers[static_cast<std::size_t>(
      std::clamp<std::int64_t>(index, 0, std::max<std::int64_t>(last, 0)))];
}

bool RedisCache::IsLeaguePeriod(const RankingOption& option, Timespan current) {
  return option.is_league() && current == LeagueTimespan(*option.league);
}

bool RedisCache::RollOverLeague(const std::string& leaderboard_id,
                                const RankingOption& option,
                                const std::string& closed_period,
                                const std::string& key,
                                const std::string& dense_key,
                                const std::string& previous_key,
                                const std::string& previous_dense_key) {
  const bool hold = the_league_moves_applied.load();
  RedisValue answer;
  const Redis::Result result = LeagueRolloverScript().Run(
      {MakeLeagueKey(key), MakeLeagueKey(previous_key),
       MakeLeagueTiersKey(leaderboard_id), key, previous_key, dense_key,
       previous_dense_key, MakeLeaderboardTimestampKey(key),
       MakeLeaderboardTimestampKey(previous_key),
       MakeClosedPeriodsKey(leaderboard_id)},
      {hold ? "1" : "0", closed_period, option.enable_dense ? "1" : "0",
       option.league->period},
      &answer, kServerTag);
  if (result != Redis::kSuccess) {
    LOG(ERROR) << "Failed to roll the league's cohorts and ranking over: "
               << Redis::ResultName(result)
               << (answer.type == RedisValue::kError ? ": " + answer.text
                                                     : std::string())
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  LOG(INFO) << "League cohorts rolled over with the ranking"
            << (hold ? ", the new period waits for the moves" : "")
            << ": leaderboard id: " << leaderboard_id
            << ", round: " << answer.integer
            << ", closed period: " << closed_period;
  return true;
}

void RedisCache::SetLeagueMovesApplied(bool on) {
  the_league_moves_applied.store(on);
}

bool RedisCache::ReadLeagueLog(const std::string& leaderboard_id,
                               std::int64_t limit,
                               std::vector<std::string>* entries) {
  static const vel::RedisScript script(
      "league_log_read",
      "return redis.call('LRANGE', KEYS[1], 0, tonumber(ARGV[1]) - 1)");
  RedisValue answer;
  if (script.Run({MakeLeagueLogKey(leaderboard_id)}, {std::to_string(limit)},
                 &answer, kServerTag) != Redis::kSuccess ||
      !answer.is_array()) {
    return false;
  }
  entries->clear();
  for (RedisValue& entry : answer.elements) {
    if (entry.type != RedisValue::kString) return false;
    entries->push_back(std::move(entry.text));
  }
  return true;
}

bool RedisCache::TrimLeagueLog(const std::string& leaderboard_id,
                               const std::vector<std::string>& entries) {
  if (entries.empty()) return true;
  static const vel::RedisScript script("league_log_trim", R"lua(
-- Drops the first #ARGV - 1 entries of list KEYS[1] when its first and
-- last of them are still ARGV[1] and ARGV[2].
local n = tonumber(ARGV[3])
if redis.call('LINDEX', KEYS[1], 0) == ARGV[1] and
   redis.call('LINDEX', KEYS[1], n - 1) == ARGV[2] then
  redis.call('LTRIM', KEYS[1], n, -1)
  return 1
end
return 0
)lua");
  RedisValue answer;
  return script.Run(
             {MakeLeagueLogKey(leaderboard_id)},
             {entries.front(), entries.back(), std::to_string(entries.size())},
             &answer, kServerTag) == Redis::kSuccess;
}

bool RedisCache::ApplyTiersAndPlace(
    const std::string& leaderboard_id, const LeagueRules& rules,
    const std::string& period_ranking_key, std::int64_t round,
    const std::vector<std::pair<std::string, int>>& tiers, std::int64_t limit,
    bool* waiting) {
  std::vector<std::string> args = {
      std::to_string(round), std::to_string(rules.cohort_size),
      std::to_string(limit), std::to_string(rules.tiers.size())};
  args.insert(args.end(), rules.tiers.begin(), rules.tiers.end());
  for (const auto& [member_key, tier] : tiers) {
    args.push_back(member_key);
    args.push_back(std::to_string(tier));
  }
  RedisValue answer;
  const Redis::Result result = LeaguePlaceScript().Run(
      {MakeLeagueKey(period_ranking_key), MakeLeagueTiersKey(leaderboard_id),
       MakeLeagueLogKey(leaderboard_id)},
      args, &answer, kServerTag);
  if (result != Redis::kSuccess || !answer.is_array() ||
      answer.elements.size() != 2) {
    LOG(ERROR) << "Failed to apply league tiers and place waiting players: "
               << Redis::ResultName(result)
               << (answer.type == RedisValue::kError ? ": " + answer.text
                                                     : std::string())
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  *waiting = answer.elements[1].integer != 0;
  return true;
}

void RedisCache::GetLeagueFields(
    const std::string& key, const std::vector<std::string>& fields,
    std::function<void(bool ok, const std::vector<std::string>& values)>
        callback) {
  static const vel::RedisScript script(
      "league_fields", "return redis.call('HMGET', KEYS[1], unpack(ARGV))");
  if (fields.empty()) {
    boost::asio::post(*the_cb_io_service, [callback] { callback(true, {}); });
    return;
  }
  script.RunAsync(
      *Script::the_pipeline, Script::NextQueryLane(), {key}, fields,
      [callback = std::move(callback), count = fields.size()](
          Redis::Result result, RedisValue answer, bool /*maybe_ran*/) {
        auto values = std::make_shared<std::vector<std::string>>();
        bool ok = result == Redis::kSuccess && answer.is_array() &&
                  answer.elements.size() == count;
        for (std::size_t i = 0; ok && i < count; ++i) {
          values->push_back(answer.elements[i].text);
        }
        boost::asio::post(*the_cb_io_service,
                          [callback, ok, values] { callback(ok, *values); });
      });
}

std::optional<std::string> RedisCache::LeagueField(const std::string& key,
                                                   const std::string& field) {
  std::string value;
  const Redis::Result result = Redis::HGet(key, field, &value, kServerTag);
  if (result == Redis::kNoValue) return std::string();
  if (result != Redis::kSuccess) return std::nullopt;
  return value;
}

bool RedisCache::QueueForPlacement(const std::string& leaderboard_id,
                                   const std::string& period_ranking_key,
                                   const std::vector<std::string>& members) {
  static const vel::RedisScript script("league_queue", R"lua(
-- Queues the member keys of ARGV, in order, for a placement in league hash
-- KEYS[1] (lua/league.lua) as newcomers of a held period wait, unless one
-- is placed or queued already.
for i = 1, #ARGV do
  local member = ARGV[i]
  if redis.call('HEXISTS', KEYS[1], 'p:' .. member) == 0 and
     redis.call('HSETNX', KEYS[1], 'q:' .. member, '1') == 1 then
    local n = redis.call('HINCRBY', KEYS[1], 'wn', 1)
    redis.call('HSET', KEYS[1], 'w' .. n, member)
  end
end
return #ARGV
)lua");
  if (members.empty()) return true;
  RedisValue answer;
  const Redis::Result result = script.Run({MakeLeagueKey(period_ranking_key)},
                                          members, &answer, kServerTag);
  if (result != Redis::kSuccess) {
    LOG(ERROR) << "Failed to queue players for a league placement: "
               << Redis::ResultName(result)
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  return true;
}

bool RedisCache::LeaveCohort(const std::string& leaderboard_id,
                             const std::string& period_ranking_key,
                             const std::string& member_key) {
  static const vel::RedisScript script("league_leave", R"lua(
-- Removes ARGV[1] from its cohort in league hash KEYS[1] (lua/league.lua)
-- and logs the departure (an empty cohort id) in placement log KEYS[2]; a
-- player still waiting for its placement leaves the queue instead.
local cohort = redis.call('HGET', KEYS[1], 'p:' .. ARGV[1])
if not cohort then
  return redis.call('HDEL', KEYS[1], 'q:' .. ARGV[1])
end
local packed = redis.call('HGET', KEYS[1], 'c:' .. cohort) or ''
local kept = {}
local at = 1
while at <= string.len(packed) do
  local colon = string.find(packed, ':', at, true)
  local length = tonumber(string.sub(packed, at, colon - 1))
  local member = string.sub(packed, colon + 1, colon + length)
  at = colon + length + 1
  if member ~= ARGV[1] then
    kept[#kept + 1] = string.len(member) .. ':' .. member
  end
end
redis.call('HSET', KEYS[1], 'c:' .. cohort, table.concat(kept))
redis.call('HINCRBY', KEYS[1], 's:' .. cohort, -1)
redis.call('HINCRBY', KEYS[1], 't:' .. string.match(cohort, '^(.*)-'), -1)
redis.call('HDEL', KEYS[1], 'p:' .. ARGV[1])
redis.call('RPUSH', KEYS[2], (redis.call('HGET', KEYS[1], 'round') or '0') ..
           '\n\n' .. ARGV[1])
return 1
)lua");
  RedisValue answer;
  const Redis::Result result = script.Run(
      {MakeLeagueKey(period_ranking_key), MakeLeagueLogKey(leaderboard_id)},
      {member_key}, &answer, kServerTag);
  if (result != Redis::kSuccess) {
    LOG(ERROR) << "Failed to remove a player from its league cohort: "
               << Redis::ResultName(result) << ", member key: " << member_key;
    return false;
  }
  return true;
}

}  // namespace plemox
