// RedisCache: the synchronous operations of recovery, which rebuilds the
// rankings from the database: one stored score put back with the command
// chain's update of one ranking, many of them in a handful of Redis round
// trips instead of four per row, and a ranking's member count.
#include <glog/logging.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cmath>
#include <unordered_set>

#include "database/cache/internal/redis_cache_chain.h"
#include "database/cache/internal/redis_commands.h"
#include "database/cache/redis_cache.h"

namespace plemox {

namespace {

using Leaderboard::ScoreSubmission;
using redis_cache::kServerTag;
using vel::Redis;

}  // namespace

bool RedisCache::SubmitScoreForRecovery(
    const std::string& leaderboard_id, Timespan timespan,
    const vel::PlayerAccount& account, double score, std::int64_t timestamp,
    const RankingOption& option, const boost::posix_time::ptime& week_time,
    std::optional<double> tiebreak_score) {
  VLOG(2) << "SubmitScoreForRecovery called";
  if (!IsValidTimespan(timespan)) {
    LOG(ERROR) << "Failed to submit score: unknown timespan: "
               << static_cast<int>(timespan)
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  const std::string key =
      MakeLeaderboardKey(leaderboard_id, timespan, week_time);
  const std::string dense_key =
      MakeLeaderboardDenseKey(leaderboard_id, timespan, week_time);
  const std::string member_key = MakeMemberKey(account);
  score = option.ToStoredScore(score);
  bool new_record = false;
  double new_score = score;
  SubmissionExtras extras;
  extras.tiebreak_score = tiebreak_score;
  if (!Chain::SubmitScoreToRanking(key, dense_key, score, member_key, timestamp,
                                   ScoreSubmission::kHighScore,
                                   option.enable_dense, &new_record, &new_score,
                                   TiebreakTextOf(option, extras))) {
    LOG(ERROR) << "Failed to submit score: " << key
               << ", dense key: " << dense_key << ", member key: " << member_key
               << ", score: " << score << ", timestamp: " << timestamp;
    return false;
  }
  VLOG(2) << "Succeed to submit score: " << key
          << ", member key: " << member_key << ", score: " << score
          << ", timestamp: " << timestamp;
  return true;
}

bool RedisCache::RestoreProfilesForRecovery(
    const std::string& leaderboard_id,
    const std::vector<RecoveryProfile>& profiles) {
  std::vector<std::pair<std::string, std::string>> fields;
  fields.reserve(profiles.size());
  for (const RecoveryProfile& profile : profiles) {
    if (profile.display_name.empty() && profile.metadata.empty()) continue;
    fields.emplace_back(MakeMemberKey(profile.account),
                        PackProfile(profile.display_name, profile.metadata));
  }
  const std::string key = MakeLeaderboardProfileKey(leaderboard_id);
  if (Redis::HSetMany(key, fields, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to restore profiles: " << key
               << ", profiles: " << fields.size();
    return false;
  }
  return true;
}

bool RedisCache::GetRowCount(const std::string& leaderboard_id,
                             Timespan timespan, std::uint64_t* count,
                             const boost::posix_time::ptime& week_time) {
  if (!IsValidTimespan(timespan)) {
    LOG(ERROR) << "Failed to get row count: unknown timespan: "
               << static_cast<int>(timespan)
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  const std::string key =
      MakeLeaderboardKey(leaderboard_id, timespan, week_time);
  std::int64_t members = 0;
  if (Redis::ZCard(key, &members, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to get row count: " << key;
    return false;
  }
  *count = static_cast<std::uint64_t>(members);
  return true;
}

void RedisCache::SubmitScoresForRecovery(
    const std::string& leaderboard_id, Timespan timespan,
    const std::vector<RecoveryScore>& scores, const RankingOption& option,
    std::vector<std::size_t>* failed,
    const boost::posix_time::ptime& week_time) {
  VLOG(2) << "SubmitScoresForRecovery called";
  if (scores.empty()) return;
  // Entries the bulk path cannot decide alone: the single-entry path gives
  // them exactly the effect (and the log lines) of SubmitScoreForRecovery.
  std::vector<std::size_t> single;
  std::vector<std::size_t> bulk;
  std::vector<std::string> member_keys(scores.size());
  const bool valid_timespan = IsValidTimespan(timespan);
  {
    std::unordered_set<std::string> seen;
    seen.reserve(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i) {
      const RecoveryScore& entry = scores[i];
      member_keys[i] = MakeMemberKey(entry.account);
      const bool plain = valid_timespan && entry.timestamp >= 0 &&
                         !std::isnan(entry.score) &&
                         seen.insert(member_keys[i]).second;
      (plain ? bulk : single).push_back(i);
    }
  }
  if (!bulk.empty()) {
    const std::string key =
        MakeLeaderboardKey(leaderboard_id, timespan, week_time);
    const std::string dense_key =
        MakeLeaderboardDenseKey(leaderboard_id, timespan, week_time);
    const std::string timestamp_key = MakeLeaderboardTimestampKey(key);
    std::vector<std::string> fields;
    fields.reserve(bulk.size());
    for (const std::size_t i : bulk) fields.push_back(member_keys[i]);
    std::vector<std::string> current;
    if (Redis::HMGet(timestamp_key, fields, &current, kServerTag) !=
        Redis::kSuccess) {
      LOG(WARNING) << "Failed to read member ranking keys for recovery: "
                   << timestamp_key << ", entries: " << bulk.size()
                   << "; trying them one by one";
      single.insert(single.end(), bulk.begin(), bulk.end());
    } else {
      // Players the ranking holds already are compared with their score
      // there, one by one; the others are simply written.
      std::vector<std::pair<std::string, std::string>> index;
      Redis::ScoredMembers ranking;
      Redis::ScoredMembers dense;
      std::vector<std::size_t> fresh;
      for (std::size_t n = 0; n < bulk.size(); ++n) {
        const std::size_t i = bulk[n];
        if (!current[n].empty()) {
          single.push_back(i);
          continue;
        }
        SubmissionExtras extras;
        extras.tiebreak_score = scores[i].tiebreak_score;
        const std::string tie = TiebreakTextOf(option, extras);
        const std::string ranking_key =
            MakeMemberRankingKey(scores[i].timestamp, member_keys[i], tie);
        index.emplace_back(member_keys[i], ranking_key);
        const double stored = option.ToStoredScore(scores[i].score);
        ranking.emplace_back(ranking_key, stored);
        if (option.enable_dense) {
          dense.emplace_back(DenseMember(ScoreToText(stored), tie), stored);
        }
        fresh.push_back(i);
      }
      // The order of a single submission: member index, ranking, dense set.
      const bool written =
          Redis::HSetMany(timestamp_key, index, kServerTag) ==
              Redis::kSuccess &&
          Redis::ZAddMany(key, ranking, kServerTag) == Redis::kSuccess &&
          Redis::ZAddMany(dense_key, dense, kServerTag) == Redis::kSuccess;
      if (!written) {
        LOG(WARNING) << "Failed to write recovered scores: " << key
                     << ", entries: " << fresh.size()
                     << "; trying them one by one";
        single.insert(single.end(), fresh.begin(), fresh.end());
      }
    }
  }
  // After the bulk writes, so that a dense score a bulk entry holds is seen
  // by the dense bookkeeping of the single entries.
  for (const std::size_t i : single) {
    const RecoveryScore& entry = scores[i];
    if (!SubmitScoreForRecovery(leaderboard_id, timespan, entry.account,
                                entry.score, entry.timestamp, option, week_time,
                                entry.tiebreak_score)) {
      failed->push_back(i);
    }
  }
}

}  // namespace plemox
