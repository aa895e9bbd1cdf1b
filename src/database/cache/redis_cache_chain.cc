// RedisCache: the command chain, the path of submissions and public queries
// without --redis_cache_use_scripts: every step a single blocking Redis
// command on the cache's I/O threads. It is the reference the scripts
// (redis_cache_script.cc) are held to; the social query's chain is in
// redis_cache_social_chain.cc. Deletion and recovery reuse its update of one
// ranking and its dense-set bookkeeping.
#include "database/cache/internal/redis_cache_chain.h"

#include <glog/logging.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "common/period_ranking.h"
#include "database/cache/internal/new_record_result.h"
#include "database/cache/internal/redis_cache_numbering.h"
#include "database/cache/internal/redis_cache_public_query.h"
#include "database/cache/internal/redis_commands.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using redis_cache::AppendRankedRanking;
using redis_cache::AppendRankedSlice;
using redis_cache::CountDistinctGreaterScores;
using redis_cache::kServerTag;
using redis_cache::NewRecordResult;
using redis_cache::ReadSucceeded;
using redis_cache::SaturatingAdd;
using vel::Redis;

// Which read failed while a first rank was computed.
enum class RankFailure {
  kNone,
  kGreaterCount,   // ZCOUNT of the strictly greater scores
  kSameCount,      // ZCOUNT of the members sharing the score (or it was 0)
  kDenseRank,      // ZREVRANK in the dense set
  kDistinctCount,  // counting distinct greater scores in the ranking
};

// The rank of the member at 0-based `position` holding `score` by
// `ranking_type`. For the competition numbering, *same_count (when not null)
// receives the number of members holding `score`, which must not be 0.
RankFailure GetRankAt(const std::string& key, const std::string& dense_key,
                      int ranking_type, std::int64_t position, double score,
                      std::int64_t* rank, std::int64_t* same_count) {
  if (ranking_type == LeaderboardQuery::Request::kPosition) {
    *rank = position + 1;
    return RankFailure::kNone;
  }
  const std::string score_text = ScoreToText(score);
  if (ranking_type == LeaderboardQuery::Request::kCompetition) {
    std::int64_t greater = 0;
    if (Redis::ZCount(key, "(" + score_text, "+inf", &greater, kServerTag) !=
        Redis::kSuccess) {
      return RankFailure::kGreaterCount;
    }
    *rank = greater + 1;
    if (same_count != nullptr) {
      if (Redis::ZCount(key, score_text, score_text, same_count, kServerTag) !=
              Redis::kSuccess ||
          *same_count == 0) {
        return RankFailure::kSameCount;
      }
    }
    return RankFailure::kNone;
  }
  std::int64_t dense_position = 0;
  const Redis::Result result =
      Redis::ZRevRank(dense_key, score_text, &dense_position, kServerTag);
  if (result == Redis::kSuccess) {
    *rank = dense_position + 1;
    return RankFailure::kNone;
  }
  if (result != Redis::kNoValue) return RankFailure::kDenseRank;
  VLOG(1) << "Score not in the dense set, counting distinct scores: " << key
          << ", dense key: " << dense_key << ", score: " << score_text;
  std::int64_t distinct = 0;
  if (!CountDistinctGreaterScores(key, position, score, &distinct)) {
    return RankFailure::kDistinctCount;
  }
  *rank = distinct + 1;
  return RankFailure::kNone;
}

// The codes the log line gives each failed read of a first rank:
// "internal error <code>: ...".
struct RankFailureCodes {
  const char* greater_count;
  const char* same_count;
  const char* dense_rank;  // also counting distinct scores
};

// Logs a failed first-rank read: "<failure>internal error <code>: <key>",
// ", dense key: <dense key>" for the dense reads, then `labels`, `tail` and,
// for a failed same-score count with `same_count` given,
// ", same_ranker_count_for_first: <n>". REQUIRES: rank_failure != kNone.
void LogRankFailure(RankFailure rank_failure, const char* failure,
                    const RankFailureCodes& codes, const std::string& key,
                    const std::string& dense_key, const std::string& labels,
                    const std::string& tail, const std::int64_t* same_count) {
  const bool dense = rank_failure == RankFailure::kDenseRank ||
                     rank_failure == RankFailure::kDistinctCount;
  const char* code = dense ? codes.dense_rank
                     : rank_failure == RankFailure::kSameCount
                         ? codes.same_count
                         : codes.greater_count;
  std::ostringstream line;
  line << failure << "internal error " << code << ": " << key;
  if (dense) line << ", dense key: " << dense_key;
  line << labels << tail;
  if (rank_failure == RankFailure::kSameCount && same_count != nullptr) {
    line << ", same_ranker_count_for_first: " << *same_count;
  }
  LOG(ERROR) << line.str();
}

// Numbers `members`, read highest first from 0-based position `start` of the
// ranking `key`, and appends their records to *result. False when a read of
// the first member's rank failed; logged by LogRankFailure with `failure`,
// `codes` and the text of `labels`.
bool AppendRankedSliceAt(const std::string& key, const std::string& dense_key,
                         int ranking_type, std::int64_t start,
                         const Redis::ScoredMembers& members,
                         const char* failure, const RankFailureCodes& codes,
                         const std::function<std::string()>& labels,
                         QueryResult* result) {
  if (members.empty()) return true;
  std::int64_t first_rank = 0;
  std::int64_t same_count_for_first = 0;
  const RankFailure rank_failure =
      GetRankAt(key, dense_key, ranking_type, start, members.front().second,
                &first_rank, &same_count_for_first);
  if (rank_failure != RankFailure::kNone) {
    LogRankFailure(rank_failure, failure, codes, key, dense_key, labels(), "",
                   &same_count_for_first);
    return false;
  }
  AppendRankedSlice(members, ranking_type, first_rank, same_count_for_first,
                    result);
  return true;
}

}  // namespace

// --- Submission. -----------------------------------------------------------

void RedisCache::Chain::OnScoreSubmissionRequested(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int32_t submission_type, std::int64_t timestamp_in_msec,
    const ResetScheduleInfo& schedule, const RankingOption& option,
    const SubmitOutcomeCallback& callback) {
  VLOG(2) << "OnScoreSubmissionRequested called"
          << ": id=" << leaderboard_id
          << ", has_day_schedule=" << schedule.has_day_schedule
          << ", has_week_schedule=" << schedule.has_week_schedule
          << ", has_month_schedule=" << schedule.has_month_schedule;

  const std::string member_key = MakeMemberKey(account);
  SubmitOutcome outcome;
  NewRecords* const new_records = outcome.new_records.get();
  const auto finish = [&outcome, &callback](SubmitStatus status) {
    outcome.status = status;
    callback(outcome);
  };

  // A failure is uncertain when a command lost its connection after the
  // chain had got past its first command (a read): an earlier or the lost
  // command may have written. A chain that lost the connection on its very
  // first command changed nothing.
  const Redis::ThreadTally before = Redis::GetThreadTally();
  const auto failed = [&before] {
    const Redis::ThreadTally after = Redis::GetThreadTally();
    const bool lost = after.connection_failures != before.connection_failures;
    return lost && after.commands - before.commands > 1
               ? SubmitStatus::kUncertain
               : SubmitStatus::kFailed;
  };

  for (const PeriodRanking& period : KeptPeriodRankings(schedule, false)) {
    if (!SubmitScoreToPeriod(period.timespan, leaderboard_id, member_key, score,
                             submission_type, timestamp_in_msec,
                             period.week_time, option.enable_dense,
                             new_records)) {
      finish(failed());
      return;
    }
  }

  // The all-time ranking keeps the best score the player ever reached in a
  // period, whatever the submission type was; a replacing submission
  // (kReplace: a rating) replaces it there too.
  const std::int32_t alltime_type = submission_type == ScoreSubmission::kReplace
                                        ? ScoreSubmission::kReplace
                                        : ScoreSubmission::kHighScore;
  bool has_new_record = false;
  double best_score = 0.0;
  for (const auto& [result, new_score] : *new_records) {
    if (result == ScoreSubmission::Response::kNone) continue;
    if (!has_new_record || new_score > best_score) best_score = new_score;
    has_new_record = true;
  }
  if (!has_new_record || !option.enable_alltime) {
    finish(SubmitStatus::kStored);
    return;
  }

  const boost::posix_time::ptime no_week(boost::posix_time::not_a_date_time);
  const std::string key =
      MakeLeaderboardKey(leaderboard_id, LeaderboardQuery::kAllTime, no_week);
  const std::string dense_key = MakeLeaderboardDenseKey(
      leaderboard_id, LeaderboardQuery::kAllTime, no_week);
  bool new_record = false;
  double new_score = best_score;
  if (!SubmitScoreToRanking(key, dense_key, best_score, member_key,
                            timestamp_in_msec, alltime_type,
                            option.enable_dense, &new_record, &new_score)) {
    LOG(ERROR) << "Failed to submit alltime score: " << key
               << ", dense key: " << dense_key << ", member key: " << member_key
               << ", timestamp: " << timestamp_in_msec
               << ", score: " << best_score
               << ", submission type: " << alltime_type;
    finish(failed());
    return;
  }
  if (new_record) {
    new_records->emplace_back(NewRecordResult(LeaderboardQuery::kAllTime),
                              best_score);
  }
  finish(SubmitStatus::kStored);
}

bool RedisCache::Chain::SubmitScoreToPeriod(
    Timespan timespan, const std::string& leaderboard_id,
    const std::string& member_key, double score, std::int32_t submission_type,
    std::int64_t timestamp_in_msec, const boost::posix_time::ptime& week_time,
    bool enable_dense, NewRecords* new_records) {
  const std::string key =
      MakeLeaderboardKey(leaderboard_id, timespan, week_time);
  const std::string dense_key =
      MakeLeaderboardDenseKey(leaderboard_id, timespan, week_time);
  const std::string name = TimespanToString(timespan);
  VLOG(2) << "Submit " << name << " score: key=" << key
          << ", dense key=" << dense_key << ", member key=" << member_key
          << ", timestamp=" << timestamp_in_msec << ", score=" << score
          << ", submission_type=" << submission_type;

  bool new_record = false;
  double new_score = score;
  if (!SubmitScoreToRanking(key, dense_key, score, member_key,
                            timestamp_in_msec, submission_type, enable_dense,
                            &new_record, &new_score)) {
    if (timespan == LeaderboardQuery::kDaily) {
      LOG(ERROR) << "Failed to submit daily score: key=" << key
                 << ", dense key=" << dense_key << ", member key=" << member_key
                 << ", timestamp=" << timestamp_in_msec << ", score=" << score
                 << ", submission_type=" << submission_type;
    } else {
      LOG(ERROR) << "Failed to submit " << name << " score: " << key
                 << ", dense key: " << dense_key
                 << ", member key: " << member_key
                 << ", timestamp: " << timestamp_in_msec << ", score: " << score
                 << ", submission type: " << submission_type;
    }
    return false;
  }

  SubmissionResult result = ScoreSubmission::Response::kNone;
  if (new_record) {
    result = NewRecordResult(timespan);
    VLOG(2) << "ScoreSubmitted result: new record: " << key
            << ", new score: " << new_score;
  } else {
    VLOG(2) << "It is not new record: " << key << ", score: " << new_score;
  }
  new_records->emplace_back(result, new_score);
  return true;
}

bool RedisCache::Chain::SubmitScoreToRanking(
    const std::string& key, const std::string& dense_key, double score,
    const std::string& member_key, std::int64_t timestamp_in_msec,
    std::int32_t submission_type, bool enable_dense, bool* new_record,
    double* new_score, const std::string& tiebreak_text) {
  const std::string timestamp_key = MakeLeaderboardTimestampKey(key);
  *new_record = false;
  *new_score = score;

  // The timestamp becomes the member's time prefix, which has no sign.
  if (timestamp_in_msec < 0) {
    LOG(ERROR) << "Failed to submit score: " << key
               << ", member key: " << member_key
               << ", negative timestamp: " << timestamp_in_msec
               << ", submission type: " << submission_type;
    return false;
  }

  std::string old_ranking_key;
  Redis::Result result =
      Redis::HGet(timestamp_key, member_key, &old_ranking_key, kServerTag);
  if (!ReadSucceeded(result)) {
    LOG(ERROR) << "Failed to get member ranking key: "
               << "leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", submission type: " << submission_type;
    return false;
  }
  if (old_ranking_key.empty()) {
    return AddScoreToRanking(key, dense_key, timestamp_key, score, member_key,
                             timestamp_in_msec, submission_type, enable_dense,
                             new_record, new_score, tiebreak_text);
  }

  double old_score = 0.0;
  result = Redis::ZScore(key, old_ranking_key, &old_score, kServerTag);
  if (!ReadSucceeded(result)) {
    LOG(ERROR) << "Failed to get leaderboard score: " << key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", member ranking key: " << old_ranking_key
               << ", submission type: " << submission_type;
    return false;
  }
  if (result == Redis::kNoValue) {
    // The index names a member that is not in the ranking (an earlier update
    // failed half-way, or a deletion ran in between): the player has no
    // score here, so this one is written as the first.
    // When the write stopped right after the index, the player's previous
    // member is still in the ranking: it is the old score, not a second one.
    if (!AdoptStrayMember(key, timestamp_key, member_key, &old_ranking_key,
                          &old_score)) {
      LOG(WARNING) << "Member ranking key not in the ranking, adding the "
                      "score afresh: "
                   << key << ", leaderboard timestamp key: " << timestamp_key
                   << ", member key: " << member_key
                   << ", member ranking key: " << old_ranking_key;
      return AddScoreToRanking(key, dense_key, timestamp_key, score, member_key,
                               timestamp_in_msec, submission_type, enable_dense,
                               new_record, new_score, tiebreak_text);
    }
  }

  // Not better: a lower score, or an equal one without a better second
  // score (without a tiebreak both texts are empty).
  const std::string old_tie = MemberTiebreakText(old_ranking_key);
  if (submission_type == ScoreSubmission::kHighScore &&
      (score < old_score || (score == old_score && tiebreak_text <= old_tie))) {
    return true;
  }

  const std::string old_score_text = ScoreToText(old_score);
  const std::string ranking_key =
      MakeMemberRankingKey(timestamp_in_msec, member_key, tiebreak_text);
  if (Redis::HSet(timestamp_key, member_key, ranking_key, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to chagne ranking key: " << key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", old member ranking key: " << old_ranking_key
               << ", submission type: " << submission_type;
    return false;
  }
  if (Redis::ZRem(key, old_ranking_key, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to remove old member ranking key: " << key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", old member ranking key: " << old_ranking_key
               << ", submission type: " << submission_type;
    return false;
  }

  double stored_score = score;
  if (submission_type == ScoreSubmission::kAdd) {
    stored_score = old_score + score;
  } else if (submission_type == ScoreSubmission::kSubtract) {
    stored_score = old_score - score;
  }
  if (Redis::ZAdd(key, stored_score, ranking_key, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to submit score: " << key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", score: " << stored_score
               << ", submission type: " << submission_type;
    return false;
  }
  *new_score = stored_score;
  *new_record = true;
  if (!enable_dense) return true;

  // The dense set holds one member per score somebody holds. The new score
  // joins it; the old one leaves it unless somebody still holds it. The
  // second count puts the old score back when a concurrent submission of
  // another player reached it after the first count.
  const std::string new_score_text = ScoreToText(stored_score);
  if (Redis::ZAdd(dense_key, stored_score,
                  DenseMember(new_score_text, tiebreak_text),
                  kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to submit score for dense: " << dense_key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", score: " << stored_score
               << ", submission type: " << submission_type;
    return false;
  }
  const auto log_old_score_failure = [&](const char* message,
                                         const std::string& failed_key) {
    LOG(ERROR) << message << failed_key << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", old_score: " << old_score
               << ", submission type: " << submission_type;
  };
  return ReleaseDenseScore(key, dense_key, old_score, old_score_text,
                           {"Failed to get old score member count: ",
                            "Failed to delete dense score: ",
                            "Failed to get old score member count - 2: ",
                            "Failed to submit old score for dense: "},
                           log_old_score_failure, old_tie);
}

bool RedisCache::Chain::HoldsPair(const std::string& key,
                                  const std::string& score_text,
                                  const std::string& tie, bool* holds) {
  std::int64_t from = 0;
  std::int64_t same = 0;
  if (Redis::ZCount(key, "(" + score_text, "+inf", &from, kServerTag) !=
          Redis::kSuccess ||
      Redis::ZCount(key, score_text, score_text, &same, kServerTag) !=
          Redis::kSuccess) {
    return false;
  }
  const std::int64_t stop = from + same;
  // The tiebreak text of the member at `position` ("" when it has none).
  const auto tie_at = [&key](std::int64_t position, std::string* text) {
    Redis::ScoredMembers members;
    if (Redis::ZRevRange(key, position, position, false, &members,
                         kServerTag) != Redis::kSuccess) {
      return false;
    }
    *text = members.empty() ? "" : MemberTiebreakText(members[0].first);
    return true;
  };
  std::int64_t to = stop;
  std::string text;
  while (from < to) {
    const std::int64_t middle = from + (to - from) / 2;
    if (!tie_at(middle, &text)) return false;
    if (text > tie) {
      from = middle + 1;
    } else {
      to = middle;
    }
  }
  if (from == stop) {
    *holds = false;
    return true;
  }
  if (!tie_at(from, &text)) return false;
  *holds = text == tie;
  return true;
}

bool RedisCache::Chain::ReleaseDenseScore(
    const std::string& key, const std::string& dense_key, double score,
    const std::string& score_text, const DenseFailureMessages& messages,
    const DenseFailureLogger& log_failure, const std::string& tie) {
  if (!tie.empty()) {
    // The same two steps for the pair, counted by a search instead.
    const std::string member = DenseMember(score_text, tie);
    bool holds = false;
    if (!HoldsPair(key, score_text, tie, &holds)) {
      log_failure(messages[0], key);
      return false;
    }
    if (!holds &&
        Redis::ZRem(dense_key, member, kServerTag) != Redis::kSuccess) {
      log_failure(messages[1], dense_key);
      return false;
    }
    if (!HoldsPair(key, score_text, tie, &holds)) {
      log_failure(messages[2], key);
      return false;
    }
    if (holds &&
        Redis::ZAdd(dense_key, score, member, kServerTag) != Redis::kSuccess) {
      log_failure(messages[3], dense_key);
      return false;
    }
    return true;
  }
  std::int64_t count = 0;
  if (Redis::ZCount(key, score_text, score_text, &count, kServerTag) !=
      Redis::kSuccess) {
    log_failure(messages[0], key);
    return false;
  }
  if (count == 0 &&
      Redis::ZRem(dense_key, score_text, kServerTag) != Redis::kSuccess) {
    log_failure(messages[1], dense_key);
    return false;
  }
  if (Redis::ZCount(key, score_text, score_text, &count, kServerTag) !=
      Redis::kSuccess) {
    log_failure(messages[2], key);
    return false;
  }
  if (count != 0 && Redis::ZAdd(dense_key, score, score_text, kServerTag) !=
                        Redis::kSuccess) {
    log_failure(messages[3], dense_key);
    return false;
  }
  return true;
}

bool RedisCache::Chain::AddScoreToRanking(
    const std::string& key, const std::string& dense_key,
    const std::string& timestamp_key, double score,
    const std::string& member_key, std::int64_t timestamp_in_msec,
    std::int32_t submission_type, bool enable_dense, bool* new_record,
    double* new_score, const std::string& tiebreak_text) {
  VLOG(2) << "there is no record in cache. Add score to cache: " << key
          << ", member key: " << member_key << ", score: " << score;
  const std::string ranking_key =
      MakeMemberRankingKey(timestamp_in_msec, member_key, tiebreak_text);
  if (Redis::HSet(timestamp_key, member_key, ranking_key, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to set member ranking key: "
               << "leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", submission type: " << submission_type;
    return false;
  }
  const double value =
      submission_type == ScoreSubmission::kSubtract ? -score : score;
  if (Redis::ZAdd(key, value, ranking_key, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to add score to cache: " << key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", score: " << value
               << ", submission type: " << submission_type;
    return false;
  }
  *new_score = value;
  *new_record = true;
  if (enable_dense &&
      Redis::ZAdd(dense_key, value,
                  DenseMember(ScoreToText(value), tiebreak_text),
                  kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to add score for dense to cache: " << dense_key
               << ", member key: " << member_key
               << ", member ranking key: " << ranking_key
               << ", score: " << value
               << ", submission type: " << submission_type;
    return false;
  }
  return true;
}

// --- Public queries. -------------------------------------------------------

void RedisCache::Chain::GetPublicLeaderboard(
    const std::shared_ptr<PublicQuery>& query) {
  std::int64_t total = 0;
  if (Redis::ZCard(query->key, &total, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to get total player count: " << query->key
               << query->AccountLabels()
               << ", timespan: " << static_cast<int>(query->timespan)
               << query->RangeLabels();
    PostQueryCompletion(query->callback, std::make_shared<QueryResult>());
    return;
  }

  auto result = std::make_shared<QueryResult>();
  result->total_player_count = total;
  switch (query->range.type()) {
    case LeaderboardQuery::Range::kAll:
      GetPublicLeaderboardAll(query, std::move(result));
      break;
    case LeaderboardQuery::Range::kFromTop:
      GetPublicLeaderboardFromTop(query, std::move(result));
      break;
    default:
      GetPublicLeaderboardNearby(query, std::move(result));
      break;
  }
}

void RedisCache::Chain::GetPublicLeaderboardAll(
    const std::shared_ptr<PublicQuery>& query,
    std::shared_ptr<QueryResult> result) {
  Redis::ScoredMembers members;
  if (Redis::ZRevRange(query->key, 0, -1, true, &members, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to get public leaderboard - all: " << query->key
               << query->AccountLabels() << query->RangeLabels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  AppendRankedRanking(members, query->ranking_type, query->key, result.get());
  VLOG(2) << "Succeed to get public leaderboard - all: " << query->key
          << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

void RedisCache::Chain::GetPublicLeaderboardFromTop(
    const std::shared_ptr<PublicQuery>& query,
    std::shared_ptr<QueryResult> result) {
  const Range& range = query->range;
  const char* const failure = "Failed to get public leaderboard - from top: ";
  Redis::ScoredMembers members;
  if (Redis::ZRevRange(query->key, range.begin(), range.end(), true, &members,
                       kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << failure << query->key << query->AccountLabels()
               << query->RangeLabels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  if (!AppendRankedSliceAt(
          query->key, query->dense_key, query->ranking_type, range.begin(),
          members, failure, {"2-1", "2-2", "3"},
          [&query] { return query->AccountLabels() + query->RangeLabels(); },
          result.get())) {
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  VLOG(2) << "Succeed to get public leaderboard - from top: " << query->key
          << query->RangeLabels()
          << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

void RedisCache::Chain::GetPublicLeaderboardNearby(
    const std::shared_ptr<PublicQuery>& query,
    std::shared_ptr<QueryResult> result) {
  const Range& range = query->range;
  const char* const failure = "Failed to get public leaderboard - nearby: ";
  const std::string member_key = MakeMemberKey(query->account);
  const std::string timestamp_key = MakeLeaderboardTimestampKey(query->key);
  const auto append_placeholder = [&] {
    QueryResult::Record record;
    record.account = query->account;
    result->records.push_back(std::move(record));
    result->error = false;
    PostQueryCompletion(query->callback, std::move(result));
  };

  std::string ranking_key;
  if (!ReadSucceeded(
          Redis::HGet(timestamp_key, member_key, &ranking_key, kServerTag))) {
    LOG(ERROR) << failure << "failed to get ranking key: " << query->key
               << ", leaderboard timestamp key: " << timestamp_key
               << ", member key: " << member_key << query->RangeLabels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  if (ranking_key.empty()) {
    append_placeholder();
    return;
  }
  // ", leaderboard timestamp key: <k>, member ranking key: <rk>, range ..."
  const auto labels = [&] {
    std::ostringstream text;
    text << ", leaderboard timestamp key: " << timestamp_key
         << ", member ranking key: " << ranking_key << query->RangeLabels();
    return text.str();
  };

  std::int64_t position = 0;
  const Redis::Result rank_result =
      Redis::ZRevRank(query->key, ranking_key, &position, kServerTag);
  if (rank_result == Redis::kNoValue) {
    VLOG(2) << "Succeed to get public leaderboard - nearby: "
            << " there is no member rank: " << query->key << labels();
    append_placeholder();
    return;
  }
  if (rank_result != Redis::kSuccess) {
    LOG(ERROR) << failure << "failed to get rank: " << query->key << labels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  if (range.begin() == 0 && range.end() == 0) {
    double score = 0.0;
    const Redis::Result score_result =
        Redis::ZScore(query->key, ranking_key, &score, kServerTag);
    if (score_result == Redis::kNoValue) {
      // Removed between the two reads.
      append_placeholder();
      return;
    }
    if (score_result != Redis::kSuccess) {
      LOG(ERROR) << "Failed to get public leaderboard - nearby:"
                 << " failed to get score: " << query->key << labels();
      PostQueryCompletion(query->callback, std::move(result));
      return;
    }
    std::int64_t rank = 0;
    const RankFailure rank_failure =
        GetRankAt(query->key, query->dense_key, query->ranking_type, position,
                  score, &rank, nullptr);
    if (rank_failure != RankFailure::kNone) {
      std::ostringstream score_label;
      score_label << ", member score: " << score;
      LogRankFailure(rank_failure, failure, {"2", "2", "3"}, query->key,
                     query->dense_key, labels(), score_label.str(), nullptr);
      PostQueryCompletion(query->callback, std::move(result));
      return;
    }
    QueryResult::Record record;
    record.rank = rank;
    record.score = score;
    record.account = query->account;
    result->records.push_back(std::move(record));
    result->error = false;
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  // A window that ends above the top is empty; a negative stop would make
  // Redis count from the bottom instead.
  const std::int64_t start =
      std::max<std::int64_t>(0, SaturatingAdd(position, range.begin()));
  const std::int64_t stop = SaturatingAdd(position, range.end());
  if (stop < 0) {
    VLOG(2) << "Succeed to get public leaderboard - nearby: "
            << "the window ends above the top: " << query->key << labels();
    result->error = false;
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }

  Redis::ScoredMembers members;
  if (Redis::ZRevRange(query->key, start, stop, true, &members, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to get public leaderboard- nearby: "
               << "internal error 4: " << query->key << labels();
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  if (!AppendRankedSliceAt(query->key, query->dense_key, query->ranking_type,
                           start, members, failure, {"6", "2-2", "7"}, labels,
                           result.get())) {
    PostQueryCompletion(query->callback, std::move(result));
    return;
  }
  VLOG(2) << "Succeed to get public leaderboard - nearby: " << query->key
          << labels() << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

}  // namespace plemox
