// The command chain of the ranking cache (database library only): a score
// submission, a public query and a social query as chains of single Redis
// commands, the blocking vel::Redis calls, on the cache's I/O threads. It is
// the path taken without --redis_cache_use_scripts and the reference the
// scripts (redis_cache_script.h) are held to; it never calls into them.
// Deletion and recovery, which always use single commands, reuse its update
// of one ranking and its dense-set bookkeeping.
#pragma once

#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "database/cache/redis_cache.h"
#include "vel/redis/redis.h"

namespace plemox {

struct RedisCache::Chain {
  // --- Submission (redis_cache_chain.cc). ---------------------------------
  // The body of a submission, on the player's strand: the period rankings in
  // turn, then the all-time ranking; the first failing ranking ends it.
  static void OnScoreSubmissionRequested(
      const std::string& leaderboard_id, const vel::PlayerAccount& account,
      double score, std::int32_t submission_type,
      std::int64_t timestamp_in_msec, const ResetScheduleInfo& schedule,
      const RankingOption& option, const SubmitOutcomeCallback& callback);
  // Updates one period ranking and appends its outcome; false (logged) on
  // failure.
  static bool SubmitScoreToPeriod(Timespan timespan,
                                  const std::string& leaderboard_id,
                                  const std::string& member_key, double score,
                                  std::int32_t submission_type,
                                  std::int64_t timestamp_in_msec,
                                  const boost::posix_time::ptime& week_time,
                                  bool enable_dense, NewRecords* new_records);
  // The update of one ranking: decides whether `score` is a new record,
  // writes it, keeps the member index and the dense set in step. False
  // (logged) when a Redis command failed; nothing is undone. Also recovery's
  // update of one ranking. On a leaderboard with a tiebreak (recovery
  // only), `tiebreak_text` starts the new member and pairs of score and
  // second score are compared. Cache I/O threads, or recovery's caller.
  static bool SubmitScoreToRanking(
      const std::string& key, const std::string& dense_key, double score,
      const std::string& member_key, std::int64_t timestamp_in_msec,
      std::int32_t submission_type, bool enable_dense, bool* new_record,
      double* new_score, const std::string& tiebreak_text = std::string());
  // The four failure lines of ReleaseDenseScore, in the order of its
  // commands, and the function that writes one with the key it concerns.
  using DenseFailureMessages = std::array<const char*, 4>;
  using DenseFailureLogger =
      std::function<void(const char* message, const std::string& key)>;
  // Takes `score` (written `score_text`) out of the dense set `dense_key`
  // unless a member of `key` still holds it. It counts twice and puts the
  // score back after the second count when a concurrent writer reached it in
  // between. With a tiebreak (`tie`, the member's tiebreak text), the pair
  // "score|tie" leaves the dense set unless a member still holds both.
  // False (logged) when a Redis command failed. Submissions and deletions.
  static bool ReleaseDenseScore(const std::string& key,
                                const std::string& dense_key, double score,
                                const std::string& score_text,
                                const DenseFailureMessages& messages,
                                const DenseFailureLogger& log_failure,
                                const std::string& tie = std::string());
  // Whether a member of ranking `key` holds the score written `score_text`
  // with tiebreak text `tie` (a binary search among the members holding the
  // score, which Redis orders by that text). False when a read failed.
  static bool HoldsPair(const std::string& key, const std::string& score_text,
                        const std::string& tie, bool* holds);
  // SubmitScoreToRanking for a player without an entry in the ranking.
  static bool AddScoreToRanking(
      const std::string& key, const std::string& dense_key,
      const std::string& timestamp_key, double score,
      const std::string& member_key, std::int64_t timestamp_in_msec,
      std::int32_t submission_type, bool enable_dense, bool* new_record,
      double* new_score, const std::string& tiebreak_text = std::string());

  // --- Public query (redis_cache_chain.cc). -------------------------------
  // A checked public query (keys built): the ranking's size (ZCARD), then the
  // read of its range kind, which posts the completion. Cache I/O thread.
  static void GetPublicLeaderboard(const std::shared_ptr<PublicQuery>& query);
  static void GetPublicLeaderboardAll(const std::shared_ptr<PublicQuery>& query,
                                      std::shared_ptr<QueryResult> result);
  static void GetPublicLeaderboardFromTop(
      const std::shared_ptr<PublicQuery>& query,
      std::shared_ptr<QueryResult> result);
  static void GetPublicLeaderboardNearby(
      const std::shared_ptr<PublicQuery>& query,
      std::shared_ptr<QueryResult> result);

  // --- Social query (redis_cache_social_chain.cc). ------------------------
  // A checked social query (result created, keys built): the competitors'
  // index entries, then their scores with one pipelined call whose answer
  // OnSocialScoresReceived takes back to a cache I/O thread. Cache I/O
  // thread.
  static void GetSocialLeaderboard(const std::shared_ptr<SocialQuery>& query);
  // Reads the player's own entry and score, then ranks the list
  // (RankSocialList) or posts the error result. Cache I/O thread.
  static void OnSocialScoresReceived(const std::shared_ptr<SocialQuery>& query,
                                     vel::Redis::Result scores_result,
                                     const vel::Redis::MemberScores& scores);
};

}  // namespace plemox
