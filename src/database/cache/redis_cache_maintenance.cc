// RedisCache: removing a player's scores and rolling the daily, weekly and
// monthly rankings over into yesterday, last week and last month.
#include <glog/logging.h>

#include <boost/asio/post.hpp>

#include "common/leaderboard_assert.h"
#include "common/period_ranking.h"
#include "database/cache/internal/redis_cache_chain.h"
#include "database/cache/internal/redis_commands.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreDeletion;
using redis_cache::kServerTag;
using redis_cache::ReadSucceeded;
using vel::Redis;

void PostDeleteCompletion(boost::asio::io_context& cb_io_service,
                          const RedisCache::DeleteScoreCallback& callback,
                          bool error, RedisCache::DeletionResult result) {
  boost::asio::post(cb_io_service, [callback, error, result] {
    if (callback) callback(error, result);
  });
}

void PostResetCompletion(boost::asio::io_context& cb_io_service,
                         const RedisCache::ResetCallback& callback, bool error,
                         const std::string& leaderboard_id) {
  boost::asio::post(cb_io_service, [callback, error, leaderboard_id] {
    if (callback) callback(error, leaderboard_id);
  });
}

// What became of one key that a rollover moves to its previous-period name.
enum class Move {
  kMoved,         // renamed over the destination
  kMissing,       // the source did not exist (or vanished before RENAME)
  kExistsFailed,  // EXISTS failed
  kRenameFailed,  // RENAME failed and the source is still there
};

// RENAME `from` to `to` when `from` exists. A sorted set or hash whose last
// member is removed disappears, so a source that vanished between EXISTS and
// RENAME is reported as missing rather than as a failure.
Move MoveKey(const std::string& from, const std::string& to) {
  bool exists = false;
  if (Redis::Exists(from, &exists, kServerTag) != Redis::kSuccess) {
    return Move::kExistsFailed;
  }
  if (!exists) return Move::kMissing;
  if (Redis::Rename(from, to, kServerTag) == Redis::kSuccess) {
    return Move::kMoved;
  }
  if (Redis::Exists(from, &exists, kServerTag) != Redis::kSuccess) {
    return Move::kExistsFailed;
  }
  return exists ? Move::kRenameFailed : Move::kMissing;
}

// The keys of one rollover and the words its log lines use.
struct Rollover {
  const char* period;           // "daily"
  const char* previous_period;  // "yesterday"
  Timespan current;
  Timespan previous;
};

constexpr Rollover kDailyRollover = {"daily", "yesterday",
                                     LeaderboardQuery::kDaily,
                                     LeaderboardQuery::kYesterday};
constexpr Rollover kWeeklyRollover = {"weekly", "last week",
                                      LeaderboardQuery::kWeekly,
                                      LeaderboardQuery::kLastWeek};
constexpr Rollover kMonthlyRollover = {"monthly", "last month",
                                       LeaderboardQuery::kMonthly,
                                       LeaderboardQuery::kLastMonth};

// The rollover of a current period: kDaily, kWeekly or kMonthly (fatal
// otherwise, a caller's contract).
const Rollover& RolloverOf(Timespan current) {
  for (const Rollover* rollover :
       {&kDailyRollover, &kWeeklyRollover, &kMonthlyRollover}) {
    if (rollover->current == current) return *rollover;
  }
  LOG(FATAL) << "No rollover for timespan: " << current;
  return kDailyRollover;
}

struct RolloverKeys {
  std::string key;
  std::string dense_key;
  std::string previous_key;
  std::string previous_dense_key;
};

// Rollovers always use the undated weekly keys: with dated keys every week
// has keys of its own and nothing needs to move.
RolloverKeys MakeRolloverKeys(const Rollover& rollover,
                              const std::string& leaderboard_id) {
  const boost::posix_time::ptime no_week(boost::posix_time::not_a_date_time);
  return RolloverKeys{
      MakeLeaderboardKey(leaderboard_id, rollover.current, no_week),
      MakeLeaderboardDenseKey(leaderboard_id, rollover.current, no_week),
      MakeLeaderboardKey(leaderboard_id, rollover.previous, no_week),
      MakeLeaderboardDenseKey(leaderboard_id, rollover.previous, no_week),
  };
}

void LogRollover(const Rollover& rollover, bool succeeded,
                 const RolloverKeys& keys, const std::string& leaderboard_id) {
  if (succeeded) {
    LOG(INFO) << "Succeed to reset " << rollover.period
              << " leaderboard: " << leaderboard_id;
    return;
  }
  LOG(ERROR) << "Failed to reset " << rollover.period
             << " leaderboard: " << keys.key << ", " << rollover.period
             << " dense key: " << keys.dense_key << ", "
             << rollover.previous_period << " key: " << keys.previous_key
             << ", " << rollover.previous_period
             << " dense key: " << keys.previous_dense_key
             << ", leaderboard id: " << leaderboard_id;
}

}  // namespace

// --- Score deletion. -------------------------------------------------------

void RedisCache::DeleteScore(const std::string& leaderboard_id,
                             const vel::PlayerAccount& account,
                             const ResetScheduleInfo& schedule,
                             const RankingOption& option,
                             DeleteScoreCallback callback) {
  VLOG(2) << "DeleteScore called";
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  boost::asio::post(*the_io_service, [leaderboard_id, account, schedule, option,
                                      callback = std::move(callback)] {
    OnScoreDeletionRequested(leaderboard_id, account, schedule, option,
                             callback);
  });
}

void RedisCache::OnScoreDeletionRequested(const std::string& leaderboard_id,
                                          const vel::PlayerAccount& account,
                                          const ResetScheduleInfo& schedule,
                                          const RankingOption& option,
                                          const DeleteScoreCallback& callback) {
  VLOG(2) << "OnScoreDeletionRequested called";
  const boost::posix_time::ptime no_week(boost::posix_time::not_a_date_time);
  DeletionResult result = ScoreDeletion::Response::kNotFound;

  // The all-time ranking may hold scores from before enable_alltime was
  // turned off, so it is cleaned whatever the option says.
  if (!DeleteScoreFromRanking(leaderboard_id, account,
                              LeaderboardQuery::kAllTime, option.enable_dense,
                              no_week, &result)) {
    PostDeleteCompletion(*the_cb_io_service, callback, true, result);
    return;
  }

  for (const PeriodRanking& ranking : KeptPeriodRankings(schedule, true)) {
    if (!DeleteScoreFromRanking(leaderboard_id, account, ranking.timespan,
                                option.enable_dense, ranking.week_time,
                                nullptr)) {
      PostDeleteCompletion(*the_cb_io_service, callback, true, result);
      return;
    }
  }
  // On a league the player leaves its cohort of the current period; its
  // tier stays.
  if (option.is_league() &&
      !LeaveCohort(leaderboard_id,
                   LeagueRankingKey(leaderboard_id, *option.league, schedule),
                   MakeMemberKey(account))) {
    PostDeleteCompletion(*the_cb_io_service, callback, true, result);
    return;
  }
  // The player's name and metadata go with its scores.
  const std::string profile_key = MakeLeaderboardProfileKey(leaderboard_id);
  if (Redis::HDel(profile_key, MakeMemberKey(account), kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to delete score: failed to delete the profile: "
               << profile_key << ", member key: " << MakeMemberKey(account);
    PostDeleteCompletion(*the_cb_io_service, callback, true, result);
    return;
  }
  PostDeleteCompletion(*the_cb_io_service, callback, false, result);
}

bool RedisCache::DeleteScoreFromRanking(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    Timespan timespan, bool enable_dense,
    const boost::posix_time::ptime& week_time, DeletionResult* result) {
  const std::string member_key = MakeMemberKey(account);
  const std::string key =
      MakeLeaderboardKey(leaderboard_id, timespan, week_time);
  const std::string dense_key =
      MakeLeaderboardDenseKey(leaderboard_id, timespan, week_time);
  const std::string timestamp_key = MakeLeaderboardTimestampKey(key);
  const int timespan_value = static_cast<int>(timespan);

  std::string ranking_key;
  if (!ReadSucceeded(
          Redis::HGet(timestamp_key, member_key, &ranking_key, kServerTag))) {
    LOG(ERROR) << "Failed to delete score: "
               << "failed to get ranking key: " << key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", timespan: " << timespan_value;
    return false;
  }
  if (ranking_key.empty()) {
    if (result != nullptr) *result = ScoreDeletion::Response::kNotFound;
    return true;
  }

  // The score is read also without dense sets: an index entry whose member
  // is gone from the ranking is no entry, and only its index field goes.
  double score = 0.0;
  const Redis::Result score_result =
      Redis::ZScore(key, ranking_key, &score, kServerTag);
  if (!ReadSucceeded(score_result)) {
    LOG(ERROR) << "Failed to get leaderboard score: key=" << key
               << ", leaderboard_timestamp key=" << timestamp_key
               << ", member_key=" << member_key
               << ", member_ranking_key=" << ranking_key
               << ", timespan=" << timespan_value;
    return false;
  }
  bool has_member = score_result == Redis::kSuccess;
  // A write cut half-way may have left the player's previous member behind
  // the index: that member is the entry to delete.
  if (!has_member) {
    has_member =
        AdoptStrayMember(key, timestamp_key, member_key, &ranking_key, &score);
  }

  if (Redis::HDel(timestamp_key, member_key, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to delete score: "
               << "failed to delete player timestamp key: " << key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", timespan: " << timespan_value;
    return false;
  }
  if (!has_member) {
    LOG(WARNING) << "Member ranking key not in the ranking, removed the "
                    "member index entry only: "
                 << key << ", leaderboard timestamp key: " << timestamp_key
                 << ", member key: " << member_key
                 << ", member ranking key: " << ranking_key
                 << ", timespan: " << timespan_value;
    if (result != nullptr) *result = ScoreDeletion::Response::kNotFound;
    return true;
  }
  if (Redis::ZRem(key, ranking_key, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to delete score: "
               << "failed to delete leaderboard: " << key
               << ", member key: " << member_key
               << ", timespan: " << timespan_value;
    return false;
  }
  if (!enable_dense) {
    if (result != nullptr) *result = ScoreDeletion::Response::kRemoved;
    return true;
  }

  // The score leaves the dense set unless somebody still holds it. The
  // second count puts it back when a concurrent submission of another player
  // reached it after the first count.
  const std::string score_text = ScoreToText(score);
  const auto log_dense_failure = [&](const char* message,
                                     const std::string& failed_key) {
    LOG(ERROR) << message << failed_key << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", member score: " << score_text
               << ", timespan: " << timespan_value;
  };
  if (!Chain::ReleaseDenseScore(key, dense_key, score, score_text,
                                {"Failed to get score member count: ",
                                 "Failed to delete dense score: ",
                                 "Failed to get old score member count - 2: ",
                                 "Failed to submit score for dense: "},
                                log_dense_failure,
                                MemberTiebreakText(ranking_key))) {
    return false;
  }
  if (result != nullptr) *result = ScoreDeletion::Response::kRemoved;
  return true;
}

// --- Rollover. -------------------------------------------------------------

// Each rollover has its own entry point and handler, named as their traces
// read; the work is the same for the three periods (PostRollover,
// RollOverPeriod).

void RedisCache::ResetDailyLeaderboard(const std::string& leaderboard_id,
                                       const RankingOption& option,
                                       const std::string& closed_period,
                                       ResetCallback callback) {
  VLOG(2) << "ResetDailyLeaderboard called";
  PostRollover(&OnDailyLeaderboardResetRequested, leaderboard_id, option,
               closed_period, std::move(callback));
}

void RedisCache::ResetWeeklyLeaderboard(const std::string& leaderboard_id,
                                        const RankingOption& option,
                                        const std::string& closed_period,
                                        ResetCallback callback) {
  VLOG(2) << "ResetWeeklyLeaderboard called";
  PostRollover(&OnWeeklyLeaderboardResetRequested, leaderboard_id, option,
               closed_period, std::move(callback));
}

void RedisCache::ResetMonthlyLeaderboard(const std::string& leaderboard_id,
                                         const RankingOption& option,
                                         const std::string& closed_period,
                                         ResetCallback callback) {
  VLOG(2) << "ResetMonthlyLeaderboard called";
  PostRollover(&OnMonthlyLeaderboardResetRequested, leaderboard_id, option,
               closed_period, std::move(callback));
}

void RedisCache::OnDailyLeaderboardResetRequested(
    const std::string& leaderboard_id, const RankingOption& option,
    const std::string& closed_period, const ResetCallback& callback) {
  VLOG(2) << "OnDailyLeaderboardResetRequested called";
  RollOverPeriod(LeaderboardQuery::kDaily, leaderboard_id, option,
                 closed_period, callback);
}

void RedisCache::OnWeeklyLeaderboardResetRequested(
    const std::string& leaderboard_id, const RankingOption& option,
    const std::string& closed_period, const ResetCallback& callback) {
  VLOG(2) << "OnWeeklyLeaderboardResetRequested called";
  RollOverPeriod(LeaderboardQuery::kWeekly, leaderboard_id, option,
                 closed_period, callback);
}

void RedisCache::OnMonthlyLeaderboardResetRequested(
    const std::string& leaderboard_id, const RankingOption& option,
    const std::string& closed_period, const ResetCallback& callback) {
  VLOG(2) << "OnMonthlyLeaderboardResetRequested called";
  RollOverPeriod(LeaderboardQuery::kMonthly, leaderboard_id, option,
                 closed_period, callback);
}

void RedisCache::PostRollover(RolloverHandler handler,
                              const std::string& leaderboard_id,
                              const RankingOption& option,
                              const std::string& closed_period,
                              ResetCallback callback) {
  LEADERBOARD_ASSERT(the_rollover_io_service)
      << "RedisCache is not initialised";
  boost::asio::post(*the_rollover_io_service,
                    [handler, leaderboard_id, option, closed_period,
                     callback = std::move(callback)] {
                      handler(leaderboard_id, option, closed_period, callback);
                    });
}

void RedisCache::RollOverPeriod(Timespan current,
                                const std::string& leaderboard_id,
                                const RankingOption& option,
                                const std::string& closed_period,
                                const ResetCallback& callback) {
  const Rollover& rollover = RolloverOf(current);
  const RolloverKeys keys = MakeRolloverKeys(rollover, leaderboard_id);
  // A league's own period moves its cohorts with its ranking in one script.
  const bool succeeded =
      IsLeaguePeriod(option, current)
          ? RollOverLeague(leaderboard_id, option, closed_period, keys.key,
                           keys.dense_key, keys.previous_key,
                           keys.previous_dense_key)
          : ResetTimespan(keys.key, keys.dense_key, keys.previous_key,
                          keys.previous_dense_key, option.enable_dense);
  LogRollover(rollover, succeeded, keys, leaderboard_id);
  PostResetCompletion(*the_cb_io_service, callback, !succeeded, leaderboard_id);
}

bool RedisCache::ResetTimespan(const std::string& key,
                               const std::string& dense_key,
                               const std::string& previous_key,
                               const std::string& previous_dense_key,
                               bool enable_dense) {
  const std::string timestamp_key = MakeLeaderboardTimestampKey(key);
  const std::string previous_timestamp_key =
      MakeLeaderboardTimestampKey(previous_key);

  switch (MoveKey(key, previous_key)) {
    case Move::kMoved:
      break;
    case Move::kMissing: {
      // Nobody scored in the period: the previous period becomes empty.
      VLOG(2) << "there is no timespan leaderboard: " << key;
      if (Redis::Del(previous_key, kServerTag) != Redis::kSuccess) {
        LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                   << "failed to delete last timespan leaderboard: "
                   << "prev timespan key: " << previous_key;
        return false;
      }
      if (enable_dense) {
        if (Redis::Del(previous_dense_key, kServerTag) != Redis::kSuccess) {
          LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                     << "failed to delete last timespan dense leaderboard: "
                     << "prev timespan dense key: " << previous_dense_key;
          return false;
        }
      } else {
        LOG(INFO) << "Dense ranking is disabled, Skip renaming dense ranking "
                     "key: leaderboard_id="
                  << previous_dense_key;
      }
      if (Redis::Del(previous_timestamp_key, kServerTag) != Redis::kSuccess) {
        LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                   << "failed to delete last timespan timestamp key: "
                   << "prev timestamp key: " << previous_timestamp_key;
        return false;
      }
      return true;
    }
    case Move::kExistsFailed:
      LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                 << ", internal error 1: "
                 << "prev timespan key: " << previous_key;
      return false;
    case Move::kRenameFailed:
      LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                 << ", failed to rename timespan key to prev timespan key"
                 << ", prev timespan key: " << previous_key;
      return false;
  }

  if (enable_dense) {
    const Move dense_move = MoveKey(dense_key, previous_dense_key);
    if (dense_move == Move::kMissing) {
      // Dense sets were enabled after these scores were written: the
      // previous period gets no dense set either, and dense ranks are
      // counted from the ranking until submissions fill the set again.
      LOG(INFO) << "No dense ranking to move, deleting the previous dense "
                   "ranking: timespan dense key: "
                << dense_key
                << ", prev timespan dense key: " << previous_dense_key;
      if (Redis::Del(previous_dense_key, kServerTag) != Redis::kSuccess) {
        LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                   << "failed to delete last timespan dense leaderboard: "
                   << "prev timespan dense key: " << previous_dense_key;
        return false;
      }
    } else if (dense_move != Move::kMoved) {
      LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                 << ", failed to rename timespan dense key to"
                 << " prev timespan dense key"
                 << ", timespan dense key: " << dense_key
                 << ", prev timespan dense key: " << previous_dense_key;
      return false;
    }
  } else {
    LOG(INFO) << "Dense ranking is disabled, Skip renaming dense ranking key: "
                 "leaderboard_id="
              << dense_key;
  }

  const Move timestamp_move = MoveKey(timestamp_key, previous_timestamp_key);
  if (timestamp_move == Move::kMissing) {
    // A ranking without member index: its members cannot be found by player
    // any more, and an old index must not point into the moved ranking.
    LOG(INFO) << "No member index to move, deleting the previous member "
                 "index: timestamp key: "
              << timestamp_key
              << ", prev timestamp key: " << previous_timestamp_key;
    if (Redis::Del(previous_timestamp_key, kServerTag) != Redis::kSuccess) {
      LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
                 << "failed to delete last timespan timestamp key: "
                 << "prev timestamp key: " << previous_timestamp_key;
      return false;
    }
  } else if (timestamp_move != Move::kMoved) {
    LOG(ERROR) << "Failed to reset timespan leaderboard: " << key
               << ", failed to rename timespan timestamp key to"
               << " prev timestamp key"
               << ", timestamp key: " << timestamp_key
               << ", prev timestamp key: " << previous_timestamp_key;
    return false;
  }
  return true;
}

}  // namespace plemox
