// RedisCache: start-up, score submission and the synchronous recovery
// operations.
#include "database/cache/redis_cache.h"

#include <glog/logging.h>

#include <algorithm>
#include <boost/asio/post.hpp>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "common/period_ranking.h"
#include "database/cache/internal/new_record_result.h"
#include "database/cache/internal/redis_commands.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/core/random_generator.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using redis_cache::kServerTag;
using redis_cache::NewRecordResult;
using redis_cache::ReadSucceeded;
using vel::Redis;

constexpr char kIoGroupName[] = "RedisCacheIoService";
constexpr char kCbIoGroupName[] = "RedisCacheCbIoService";

}  // namespace

std::shared_ptr<boost::asio::io_context> RedisCache::the_io_service;
std::shared_ptr<boost::asio::io_context> RedisCache::the_cb_io_service;
std::vector<RedisCache::Strand> RedisCache::the_strands;
std::vector<RedisCache::Strand> RedisCache::the_cb_strands;
std::mutex RedisCache::the_pin_mutex;
std::unordered_map<std::string, RedisCache::Pin> RedisCache::the_pins;

bool RedisCache::Initialize() {
  VLOG(2) << "Initialize called";
  // clang-format off
  LEADERBOARD_ASSERT(! the_io_service);
  LEADERBOARD_ASSERT(! the_cb_io_service);
  // clang-format on

  const int thread_count = FLAGS_redis_async_threads_size;
  if (thread_count < 1) {
    LOG(ERROR) << "Failed to cache io service"
               << ": redis_async_threads_size=" << thread_count;
    return false;
  }
  if (!vel::IoService::CreateIoGroup(kIoGroupName, thread_count)) {
    LOG(ERROR) << "Failed to cache io service";
    return false;
  }
  the_io_service = vel::IoService::GetIoGroup(kIoGroupName);
  LEADERBOARD_ASSERT(the_io_service);

  if (!vel::IoService::CreateIoGroup(kCbIoGroupName, thread_count)) {
    LOG(ERROR) << "Failed to cache cb io service";
    return false;
  }
  the_cb_io_service = vel::IoService::GetIoGroup(kCbIoGroupName);
  LEADERBOARD_ASSERT(the_cb_io_service);

  const std::size_t strand_count =
      std::max(kMinStrandCount, static_cast<std::size_t>(thread_count));
  the_strands.reserve(strand_count);
  the_cb_strands.reserve(strand_count);
  for (std::size_t j = 0; j < strand_count; ++j) {
    the_strands.push_back(boost::asio::make_strand(*the_io_service));
    the_cb_strands.push_back(boost::asio::make_strand(*the_cb_io_service));
  }
  CreatePipeline(
      static_cast<std::size_t>(std::max(1, FLAGS_redis_cache_connections)));
  // Not a start-up failure: the scripts are loaded at first use then.
  if (!LoadScripts()) {
    LOG(WARNING) << "The ranking cache's scripts are not loaded yet; they "
                    "are loaded when first used";
  }
  return true;
}

std::size_t RedisCache::GetPinnedPlayerCount() {
  std::lock_guard<std::mutex> lock(the_pin_mutex);
  return the_pins.size();
}

std::size_t RedisCache::GetStrandCount() { return the_strands.size(); }

void RedisCache::SubmitScore(const std::string& leaderboard_id,
                             const vel::PlayerAccount& account, double score,
                             std::int32_t submission_type,
                             std::int64_t timestamp_in_msec,
                             const ResetScheduleInfo& schedule,
                             const RankingOption& option,
                             SubmitScoreCallback callback) {
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  // Read here, on the caller's thread, so that a submission keeps the path
  // it was asked on.
  bool use_scripts = FLAGS_redis_cache_use_scripts;

  const auto drawn =
      static_cast<std::uint64_t>(vel::RandomGenerator::GenerateNumber(
          0, static_cast<std::int64_t>(the_strands.size()) - 1));
  std::uint64_t strand_index = 0;
  {
    std::lock_guard<std::mutex> lock(the_pin_mutex);
    Pin& pin = the_pins.try_emplace(account.id(), Pin{0, drawn, use_scripts})
                   .first->second;
    ++pin.pending;
    strand_index = pin.strand;
    use_scripts = pin.use_scripts;
  }

  // The completion goes through the callback strand that belongs to the
  // player's strand, so completions of one player run in the order the
  // strand decided them. The pin is released only after the caller's
  // completion ran: until then a new submission of the player joins the same
  // strands and its completion queues behind this one.
  SubmitScoreCallback on_done = [strand_index, local_account_id = account.id(),
                                 callback = std::move(callback)](
                                    SubmitStatus status,
                                    std::shared_ptr<NewRecords> new_records) {
    boost::asio::post(the_cb_strands[strand_index],
                      [local_account_id, callback, status,
                       new_records = std::move(new_records)]() mutable {
                        if (callback) callback(status, std::move(new_records));
                        ReleasePin(local_account_id);
                      });
  };
  if (use_scripts) {
    // Written to Redis from this thread; no cache thread waits for it.
    SubmitScoreByScript(leaderboard_id, account, score, submission_type,
                        timestamp_in_msec, schedule, option, strand_index,
                        std::move(on_done));
    return;
  }
  boost::asio::post(
      the_strands[strand_index],
      [leaderboard_id, account, score, submission_type, timestamp_in_msec,
       schedule, option, on_done = std::move(on_done)] {
        OnScoreSubmissionRequested(leaderboard_id, account, score,
                                   submission_type, timestamp_in_msec, schedule,
                                   option, on_done);
      });
}

void RedisCache::ReleasePin(const std::string& local_account_id) {
  std::lock_guard<std::mutex> lock(the_pin_mutex);
  const auto found = the_pins.find(local_account_id);
  if (found == the_pins.end()) return;
  if (found->second.pending <= 1) {
    the_pins.erase(found);
  } else {
    --found->second.pending;
  }
}

void RedisCache::OnScoreSubmissionRequested(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int32_t submission_type, std::int64_t timestamp_in_msec,
    const ResetScheduleInfo& schedule, const RankingOption& option,
    const SubmitScoreCallback& callback) {
  VLOG(2) << "OnScoreSubmissionRequested called"
          << ": id=" << leaderboard_id
          << ", has_day_schedule=" << schedule.has_day_schedule
          << ", has_week_schedule=" << schedule.has_week_schedule
          << ", has_month_schedule=" << schedule.has_month_schedule;
  // The command chain: the reference the script is held to.

  const std::string member_key = MakeMemberKey(account);
  auto new_records = std::make_shared<NewRecords>();

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
                             new_records.get())) {
      callback(failed(), new_records);
      return;
    }
  }

  // The all-time ranking keeps the best score the player ever reached in a
  // period, whatever the submission type was.
  bool has_new_record = false;
  double best_score = 0.0;
  for (const auto& [result, new_score] : *new_records) {
    if (result == ScoreSubmission::Response::kNone) continue;
    if (!has_new_record || new_score > best_score) best_score = new_score;
    has_new_record = true;
  }
  if (!has_new_record || !option.enable_alltime) {
    callback(SubmitStatus::kStored, new_records);
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
                            timestamp_in_msec, ScoreSubmission::kHighScore,
                            option.enable_dense, &new_record, &new_score)) {
    LOG(ERROR) << "Failed to submit alltime score: " << key
               << ", dense key: " << dense_key << ", member key: " << member_key
               << ", timestamp: " << timestamp_in_msec
               << ", score: " << best_score
               << ", submission type: " << ScoreSubmission::kHighScore;
    callback(failed(), new_records);
    return;
  }
  if (new_record) {
    new_records->emplace_back(NewRecordResult(LeaderboardQuery::kAllTime),
                              best_score);
  }
  callback(SubmitStatus::kStored, new_records);
}

bool RedisCache::SubmitScoreToPeriod(
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

bool RedisCache::SubmitScoreToRanking(
    const std::string& key, const std::string& dense_key, double score,
    const std::string& member_key, std::int64_t timestamp_in_msec,
    std::int32_t submission_type, bool enable_dense, bool* new_record,
    double* new_score) {
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
                             new_record, new_score);
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
                               new_record, new_score);
    }
  }

  if (submission_type == ScoreSubmission::kHighScore && score <= old_score) {
    return true;
  }

  const std::string old_score_text = ScoreToText(old_score);
  const std::string ranking_key =
      MakeMemberRankingKey(timestamp_in_msec, member_key);
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
  if (Redis::ZAdd(dense_key, stored_score, new_score_text, kServerTag) !=
      Redis::kSuccess) {
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
                           log_old_score_failure);
}

bool RedisCache::ReleaseDenseScore(const std::string& key,
                                   const std::string& dense_key, double score,
                                   const std::string& score_text,
                                   const DenseFailureMessages& messages,
                                   const DenseFailureLogger& log_failure) {
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

bool RedisCache::AddScoreToRanking(const std::string& key,
                                   const std::string& dense_key,
                                   const std::string& timestamp_key,
                                   double score, const std::string& member_key,
                                   std::int64_t timestamp_in_msec,
                                   std::int32_t submission_type,
                                   bool enable_dense, bool* new_record,
                                   double* new_score) {
  VLOG(2) << "there is no record in cache. Add score to cache: " << key
          << ", member key: " << member_key << ", score: " << score;
  const std::string ranking_key =
      MakeMemberRankingKey(timestamp_in_msec, member_key);
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
  if (enable_dense && Redis::ZAdd(dense_key, value, ScoreToText(value),
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

bool RedisCache::SubmitScoreForRecovery(const std::string& leaderboard_id,
                                        Timespan timespan,
                                        const vel::PlayerAccount& account,
                                        double score, std::int64_t timestamp,
                                        const RankingOption& option) {
  VLOG(2) << "SubmitScoreForRecovery called";
  if (!IsValidTimespan(timespan)) {
    LOG(ERROR) << "Failed to submit score: unknown timespan: "
               << static_cast<int>(timespan)
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  const boost::posix_time::ptime no_week(boost::posix_time::not_a_date_time);
  const std::string key = MakeLeaderboardKey(leaderboard_id, timespan, no_week);
  const std::string dense_key =
      MakeLeaderboardDenseKey(leaderboard_id, timespan, no_week);
  const std::string member_key = MakeMemberKey(account);
  bool new_record = false;
  double new_score = score;
  if (!SubmitScoreToRanking(key, dense_key, score, member_key, timestamp,
                            ScoreSubmission::kHighScore, option.enable_dense,
                            &new_record, &new_score)) {
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

bool RedisCache::GetRowCount(const std::string& leaderboard_id,
                             Timespan timespan, std::uint64_t* count) {
  if (!IsValidTimespan(timespan)) {
    LOG(ERROR) << "Failed to get row count: unknown timespan: "
               << static_cast<int>(timespan)
               << ", leaderboard id: " << leaderboard_id;
    return false;
  }
  const std::string key = MakeLeaderboardKey(
      leaderboard_id, timespan, boost::posix_time::not_a_date_time);
  std::int64_t members = 0;
  if (Redis::ZCard(key, &members, kServerTag) != Redis::kSuccess) {
    LOG(ERROR) << "Failed to get row count: " << key;
    return false;
  }
  *count = static_cast<std::uint64_t>(members);
  return true;
}

}  // namespace plemox
