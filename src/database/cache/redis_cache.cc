// RedisCache: start-up, and the entry point of a score submission, where the
// submission is pinned to its player's strand and takes its path (the script
// or the command chain).
#include "database/cache/redis_cache.h"

#include <glog/logging.h>

#include <algorithm>
#include <boost/asio/post.hpp>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/internal/redis_cache_chain.h"
#include "database/cache/internal/redis_cache_script.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/core/random_generator.h"

namespace plemox {

namespace {

constexpr char kIoGroupName[] = "RedisCacheIoService";
constexpr char kCbIoGroupName[] = "RedisCacheCbIoService";
constexpr char kRolloverIoGroupName[] = "RedisCacheRolloverIoService";

}  // namespace

std::shared_ptr<boost::asio::io_context> RedisCache::the_io_service;
std::shared_ptr<boost::asio::io_context> RedisCache::the_cb_io_service;
std::shared_ptr<boost::asio::io_context> RedisCache::the_rollover_io_service;
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

  if (!vel::IoService::CreateIoGroup(kRolloverIoGroupName, 1)) {
    LOG(ERROR) << "Failed to cache rollover io service";
    return false;
  }
  the_rollover_io_service = vel::IoService::GetIoGroup(kRolloverIoGroupName);
  LEADERBOARD_ASSERT(the_rollover_io_service);

  const std::size_t strand_count =
      std::max(kMinStrandCount, static_cast<std::size_t>(thread_count));
  the_strands.reserve(strand_count);
  the_cb_strands.reserve(strand_count);
  for (std::size_t j = 0; j < strand_count; ++j) {
    the_strands.push_back(boost::asio::make_strand(*the_io_service));
    the_cb_strands.push_back(boost::asio::make_strand(*the_cb_io_service));
  }
  Script::CreatePipeline(
      static_cast<std::size_t>(std::max(1, FLAGS_redis_cache_connections)));
  // Not a start-up failure: the scripts are loaded at first use then.
  if (!LoadScripts()) {
    LOG(WARNING) << "The ranking cache's scripts are not loaded yet; they "
                    "are loaded when first used";
  }
  return true;
}

RedisCache::SubmitOutcome RedisCache::WithRealScores(
    const RankingOption& option, const SubmitOutcome& outcome) {
  if (!option.ascending()) return outcome;
  SubmitOutcome real = outcome;
  real.new_records = std::make_shared<NewRecords>(*outcome.new_records);
  for (auto& entry : *real.new_records) {
    entry.second = option.FromStoredScore(entry.second);
  }
  return real;
}

std::string RedisCache::TiebreakTextOf(const RankingOption& option,
                                       const SubmissionExtras& extras) {
  if (!option.has_tiebreak()) return "";
  return TiebreakToText(
      option.ToStoredTiebreak(extras.tiebreak_score.value_or(0.0)));
}

std::size_t RedisCache::GetPinnedPlayerCount() {
  std::lock_guard<std::mutex> lock(the_pin_mutex);
  return the_pins.size();
}

std::size_t RedisCache::GetStrandCount() { return the_strands.size(); }

void RedisCache::SubmitScore(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int32_t submission_type, std::int64_t timestamp_in_msec,
    const ResetScheduleInfo& schedule, const RankingOption& option,
    const SubmissionExtras& extras, SubmitOutcomeCallback callback) {
  VLOG(2) << "SubmitScore called";
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  // The one choice of the submission's path: the flag as read here, on the
  // caller's thread, unless the player has submissions in flight, whose path
  // it takes to keep their order (the pin below).
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
  SubmitOutcomeCallback on_done =
      [strand_index, local_account_id = account.id(),
       callback = std::move(callback)](const SubmitOutcome& outcome) {
        boost::asio::post(the_cb_strands[strand_index],
                          [local_account_id, callback, outcome] {
                            if (callback) callback(outcome);
                            ReleasePin(local_account_id);
                          });
      };
  if (option.ascending()) {
    // Redis holds the score negated; the completion sees real ones.
    score = option.ToStoredScore(score);
    on_done = [option,
               on_done = std::move(on_done)](const SubmitOutcome& outcome) {
      on_done(WithRealScores(option, outcome));
    };
  }
  if (use_scripts) {
    // Written to Redis from this thread; no cache thread waits for it.
    Script::SubmitScore(leaderboard_id, account, score, submission_type,
                        timestamp_in_msec, schedule, option, extras,
                        strand_index, std::move(on_done));
    return;
  }
  if (!extras.empty() || option.has_tiebreak()) {
    // The command chain is the plain reference path: it keeps no names,
    // metadata, submission ids or second scores.
    SubmitOutcome refused;
    refused.status = SubmitStatus::kRefused;
    refused.refusal =
        option.has_tiebreak()
            ? "a leaderboard with a tiebreak needs --redis_cache_use_scripts"
            : "display_name, metadata and submission_id are not kept without "
              "--redis_cache_use_scripts";
    LOG(WARNING) << "Refused a submission: " << refused.refusal
                 << ": leaderboard id: " << leaderboard_id
                 << ", member key: " << MakeMemberKey(account);
    on_done(refused);
    return;
  }
  boost::asio::post(
      the_strands[strand_index],
      [leaderboard_id, account, score, submission_type, timestamp_in_msec,
       schedule, option, on_done = std::move(on_done)] {
        Chain::OnScoreSubmissionRequested(leaderboard_id, account, score,
                                          submission_type, timestamp_in_msec,
                                          schedule, option, on_done);
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

}  // namespace plemox
