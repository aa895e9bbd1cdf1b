#include "leaderboard/league/league_recovery.h"

#include <glog/logging.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "database/cache/redis_cache.h"
#include "database/cache/redis_key.h"
#include "database/store/period_statements.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/league/league_period_end.h"
#include "vel/mariadb/mariadb.h"
#include "vel/mariadb/result_sets.h"
#include "vel/redis/redis.h"

namespace plemox {
namespace {

using period_statements::Quoted;

// Rows read per statement and fields written per command.
constexpr std::size_t kChunk = 1000;

// The first column of the first row of `statement`, or "" (no row, NULL);
// false on a failure.
bool ReadOne(vel::Mariadb& client, const std::string& statement,
             std::string* out) {
  std::shared_ptr<vel::ResultSets> sets;
  if (const auto error = client.ExecuteQuerySync(statement, &sets)) {
    LOG(ERROR) << "League recovery: a read failed: " << error.description;
    return false;
  }
  out->clear();
  if (sets->SeekNextResultSet() && sets->SeekNextRow()) {
    *out = sets->GetString(0);
  }
  return true;
}

// Writes `fields` into hash `key` a chunk at a time.
bool WriteHash(const std::string& key,
               const std::vector<std::pair<std::string, std::string>>& fields) {
  for (std::size_t at = 0; at < fields.size(); at += kChunk) {
    const std::vector<std::pair<std::string, std::string>> chunk(
        fields.begin() + static_cast<std::ptrdiff_t>(at),
        fields.begin() +
            static_cast<std::ptrdiff_t>(std::min(fields.size(), at + kChunk)));
    if (vel::Redis::HSetMany(key, chunk) != vel::Redis::kSuccess) {
      LOG(ERROR) << "League recovery: writing " << key << " failed";
      return false;
    }
  }
  return true;
}

// Reads the rows of `statement` ordered by a key column (the first one)
// chunk by chunk, `page(after)` giving the statement after the key `after`.
template <typename Page, typename Row>
bool ReadPaged(vel::Mariadb& client, Page page, Row row) {
  std::string after;
  for (;;) {
    std::shared_ptr<vel::ResultSets> sets;
    if (const auto error = client.ExecuteQuerySync(page(after), &sets)) {
      LOG(ERROR) << "League recovery: a read failed: " << error.description;
      return false;
    }
    std::size_t rows = 0;
    if (sets->SeekNextResultSet()) {
      while (sets->SeekNextRow()) {
        ++rows;
        after = sets->GetString(0);
        row(*sets);
      }
    }
    if (rows < kChunk) return true;
  }
}

}  // namespace

bool LeagueRecovery::Rebuild(vel::Mariadb& client,
                             const RankingOption& league) {
  const std::string& id = league.leaderboard_id;
  const LeagueRules& rules = *league.league;
  if (!LeaguePeriodEnd::EnsureTables(client)) return false;
  // The current round: the one after the last closed period that has
  // moves, or the latest round placed, whichever is later.
  std::string closed, placed;
  if (!ReadOne(client,
               "SELECT MAX(round) FROM league_history WHERE league_id = " +
                   Quoted(id),
               &closed) ||
      !ReadOne(client,
               "SELECT MAX(round) FROM league_placement WHERE league_id = " +
                   Quoted(id),
               &placed)) {
    return false;
  }
  const std::int64_t round = std::max(
      closed.empty() ? 0 : std::strtoll(closed.c_str(), nullptr, 10) + 1,
      std::strtoll(placed.c_str(), nullptr, 10));

  const std::string tiers_key = MakeLeagueTiersKey(id);
  std::vector<std::pair<std::string, std::string>> tiers = {
      {"round", std::to_string(round)}};
  if (!ReadPaged(
          client,
          [&](const std::string& after) {
            return "SELECT member_key, tier FROM league_tier WHERE "
                   "league_id = " +
                   Quoted(id) + " AND member_key > " + Quoted(after) +
                   " ORDER BY member_key LIMIT " + std::to_string(kChunk);
          },
          [&](vel::ResultSets& row) {
            tiers.emplace_back(row.GetString(0), row.GetString(1));
          })) {
    return false;
  }

  // The cohorts of the current round, each in the order its players came.
  std::map<std::string, std::string> members;  // cohort -> packed keys
  std::map<std::string, std::int64_t> sizes;   // cohort -> players
  std::map<std::string, std::int64_t> opened;  // tier -> cohorts
  std::vector<std::pair<std::string, std::string>> hash = {
      {"round", std::to_string(round)}};
  if (!ReadPaged(
          client,
          [&](const std::string& after) {
            return "SELECT placement_id, member_key, cohort_id FROM "
                   "league_placement WHERE league_id = " +
                   Quoted(id) + " AND round = " + std::to_string(round) +
                   " AND placement_id > " + (after.empty() ? "0" : after) +
                   " ORDER BY placement_id LIMIT " + std::to_string(kChunk);
          },
          [&](vel::ResultSets& row) {
            const std::string member = row.GetString(1);
            const std::string cohort = row.GetString(2);
            hash.emplace_back("p:" + member, cohort);
            members[cohort] += std::to_string(member.size()) + ":" + member;
            ++sizes[cohort];
            const std::size_t dash = cohort.rfind('-');
            if (dash == std::string::npos) return;
            const std::int64_t n =
                std::strtoll(cohort.c_str() + dash + 1, nullptr, 10);
            std::int64_t& most = opened[cohort.substr(0, dash)];
            most = std::max(most, n);
          })) {
    return false;
  }
  for (const auto& [cohort, packed] : members) {
    hash.emplace_back("c:" + cohort, packed);
    hash.emplace_back("s:" + cohort, std::to_string(sizes[cohort]));
  }
  std::map<std::string, std::int64_t> players;  // tier -> players
  for (const auto& [cohort, size] : sizes) {
    players[cohort.substr(0, cohort.rfind('-'))] += size;
  }
  for (const auto& [tier, n] : opened) {
    hash.emplace_back("n:" + tier, std::to_string(n));
    hash.emplace_back("t:" + tier, std::to_string(players[tier]));
  }
  const std::string league_key = MakeLeagueKey(RedisCache::LeagueRankingKey(
      id, rules, ResetScheduleRegistry::MakeResetScheduleInfo(id)));
  if (vel::Redis::Del(tiers_key) != vel::Redis::kSuccess ||
      vel::Redis::Del(league_key) != vel::Redis::kSuccess ||
      vel::Redis::Del(MakeLeagueLogKey(id)) != vel::Redis::kSuccess ||
      !WriteHash(tiers_key, tiers) || !WriteHash(league_key, hash)) {
    return false;
  }
  LOG(INFO) << "League recovered: " << id << ", round: " << round
            << ", players with a tier: " << tiers.size() - 1
            << ", cohorts: " << members.size();
  return true;
}

}  // namespace plemox
