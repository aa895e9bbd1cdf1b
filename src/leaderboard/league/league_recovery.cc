#include "leaderboard/league/league_recovery.h"

#include <glog/logging.h>

#include <algorithm>
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

// The number in `text` (a column read), 0 when empty.
std::int64_t Number(const std::string& text) {
  return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

bool LeagueRecovery::CurrentRound(vel::Mariadb& client,
                                  const RankingOption& league,
                                  std::int64_t* round) {
  const std::string id = Quoted(league.leaderboard_id);
  // Every rollover of the league's period counts its round up by one. The
  // period end records the round each closed period ended
  // (league_round); the closed periods after the last one it recorded
  // are counted from the archive's rows (each is one rollover), and the
  // rounds of placements and moves are a floor.
  std::string closed, closed_period, pending, placed, moved;
  if (!ReadOne(client,
               "SELECT MAX(round) FROM league_round WHERE league_id = " + id,
               &closed) ||
      !ReadOne(
          client,
          "SELECT MAX(period_id) FROM league_round WHERE league_id = " + id,
          &closed_period) ||
      !ReadOne(
          client,
          "SELECT MAX(round) FROM league_placement WHERE league_id = " + id,
          &placed) ||
      !ReadOne(client,
               "SELECT MAX(round) FROM league_history WHERE league_id = " + id,
               &moved)) {
    return false;
  }
  if (!ReadOne(client,
               "SELECT COUNT(*) FROM period_archive p WHERE p.leaderboard_id "
               "= " +
                   id + " AND p.period_kind = " +
                   Quoted(league.league->period) + " AND p.period_id > " +
                   (closed_period.empty() ? "0" : closed_period) +
                   " AND NOT EXISTS (SELECT 1 FROM league_period_done d "
                   "WHERE d.league_id = p.leaderboard_id AND d.period_id = "
                   "p.period_id)",
               &pending)) {
    // Without the archive's table no period end was ever recorded.
    LOG(WARNING) << "League recovery: the closed periods could not be "
                    "counted; rounds from the league tables only: "
                 << league.leaderboard_id;
    pending.clear();
  }
  *round = (closed.empty() ? 0 : Number(closed) + 1) + Number(pending);
  *round =
      std::max({*round, Number(placed), moved.empty() ? 0 : Number(moved) + 1});
  return true;
}

bool LeagueRecovery::Rebuild(vel::Mariadb& client,
                             const RankingOption& league) {
  const std::string& id = league.leaderboard_id;
  const LeagueRules& rules = *league.league;
  if (!LeaguePeriodEnd::EnsureTables(client)) return false;
  std::int64_t round = 0;
  if (!CurrentRound(client, league, &round)) return false;

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

bool LeagueRecovery::PlaceUnplaced(const RankingOption& league) {
  const std::string& id = league.leaderboard_id;
  const LeagueRules& rules = *league.league;
  const std::string ranking = RedisCache::LeagueRankingKey(
      id, rules, ResetScheduleRegistry::MakeResetScheduleInfo(id));
  const std::string league_key = MakeLeagueKey(ranking);
  // The players with a score of the current period and no placement, the
  // earliest ranking time first: those whose placement had not reached the
  // database when Redis was lost (or who waited for one).
  std::vector<std::pair<std::int64_t, std::string>> unplaced;
  for (std::int64_t at = 0;; at += static_cast<std::int64_t>(kChunk)) {
    vel::Redis::ScoredMembers members;
    std::vector<std::string> fields;
    std::vector<std::pair<std::int64_t, std::string>> page;
    if (vel::Redis::ZRevRange(ranking, at,
                              at + static_cast<std::int64_t>(kChunk) - 1, false,
                              &members) != vel::Redis::kSuccess) {
      LOG(ERROR) << "League recovery: reading " << ranking << " failed";
      return false;
    }
    for (const auto& [member, score] : members) {
      vel::PlayerAccount account;
      std::int64_t time = 0;
      if (!ParseMemberRankingKey(member, &account)) continue;
      ParseMemberRankingTime(member, &time);
      page.emplace_back(time, MakeMemberKey(account));
      fields.push_back("p:" + page.back().second);
    }
    std::vector<std::string> cohorts;
    if (vel::Redis::HMGet(league_key, fields, &cohorts) !=
        vel::Redis::kSuccess) {
      LOG(ERROR) << "League recovery: reading " << league_key << " failed";
      return false;
    }
    for (std::size_t i = 0; i < page.size(); ++i) {
      if (cohorts[i].empty()) unplaced.push_back(std::move(page[i]));
    }
    if (members.size() < kChunk) break;
  }
  std::stable_sort(
      unplaced.begin(), unplaced.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  // Queued the way newcomers of a held period wait, then placed in that
  // order.
  std::string round_text;
  if (vel::Redis::HGet(league_key, "round", &round_text) ==
      vel::Redis::kError) {
    return false;
  }
  for (std::size_t at = 0; at < unplaced.size(); at += kChunk) {
    std::vector<std::string> members;
    for (std::size_t i = at; i < unplaced.size() && i < at + kChunk; ++i) {
      members.push_back(unplaced[i].second);
    }
    if (!RedisCache::QueueForPlacement(id, ranking, members)) return false;
  }
  for (bool waiting = !unplaced.empty(); waiting;) {
    if (!RedisCache::ApplyTiersAndPlace(id, rules, ranking, Number(round_text),
                                        {}, static_cast<std::int64_t>(kChunk),
                                        &waiting)) {
      return false;
    }
  }
  LOG(INFO) << "League recovery: players with a score of the current period "
               "placed anew: "
            << id << ", players: " << unplaced.size();
  return true;
}

}  // namespace plemox
