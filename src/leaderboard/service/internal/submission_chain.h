// The steps of one score submission that its two files share: the context
// the chain carries, the answer once the outcome in Redis is known, and the
// read-back of an uncertain outcome (leaderboard_service_submission.cc and
// leaderboard_service_uncertain.cc). Any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "common/ranking_option.h"
#include "common/reset_schedule_info.h"
#include "database/cache/redis_cache.h"
#include "leaderboard.pb.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session.h"
#include "vel/core/player_account.h"

namespace plemox {
namespace service_internal {

// What the chain of one submission carries. Each step holds the context
// shared and reads it only.
struct SubmissionContext {
  std::shared_ptr<ClientSession> session;
  LeaderboardService::Uuid request_uuid;
  Leaderboard::ScoreSubmission::Request request;
  vel::PlayerAccount account;
  std::int64_t timestamp_in_msec = 0;
  ResetScheduleInfo schedule;
  RankingOption option;
  std::int64_t start_time = 0;
  // The request's display name, metadata and submission id, with the token
  // of this copy of the submission.
  RedisCache::SubmissionExtras extras;
};

// Whether `records` (may be null) holds an entry other than kNone: a
// ranking took the score.
bool HasNewRecord(const std::shared_ptr<RedisCache::NewRecords>& records);

// The monotonic time (microseconds) until which a submission with an
// uncertain outcome is read back: now plus --submission_readback_timeout_ms.
std::int64_t ReadBackDeadline();

// Answers a submission whose outcome in Redis is known (kStored or
// kResent), writes its new records and changed profile to the database
// (nothing for a resend, which repeats the first answer) and looks up the
// rank when asked. REQUIRES: outcome.new_records is not empty.
void OnScoreStored(const RedisCache::SubmitOutcome& outcome,
                   const std::shared_ptr<const SubmissionContext>& context);

// Writes the display name and metadata the submission carried to the
// database (the profile changed in Redis). Any thread.
void WriteProfile(const SubmissionContext& context);

// Reads the player's entries back once Redis answers again, retrying until
// `deadline` (monotonic microseconds), then answers by what Redis holds;
// `attempt` counts from 0.
void ReadBackSubmission(const std::shared_ptr<const SubmissionContext>& context,
                        std::int64_t deadline, int attempt);

}  // namespace service_internal
}  // namespace plemox
