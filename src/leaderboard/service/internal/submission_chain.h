// What the chain of one score submission carries, and the helpers its steps
// share (leaderboard_service_submission.cc and
// leaderboard_service_uncertain.cc). Any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "common/ranking_option.h"
#include "common/reset_schedule_info.h"
#include "database/cache/redis_cache.h"
#include "leaderboard.pb.h"
#include "leaderboard/service/leaderboard_service.h"
#include "vel/core/player_account.h"

namespace plemox {

// Each step holds the context shared and reads it only.
struct LeaderboardService::SubmissionContext {
  std::shared_ptr<ClientSession> session;
  Uuid request_uuid;
  Leaderboard::ScoreSubmission::Request request;
  vel::PlayerAccount account;
  std::int64_t timestamp_in_msec = 0;
  ResetScheduleInfo schedule;
  RankingOption option;
  std::int64_t start_time = 0;
};

// Whether `records` (may be null) holds an entry other than kNone: a
// ranking took the score.
bool HasNewRecord(const std::shared_ptr<RedisCache::NewRecords>& records);

// The monotonic time (microseconds) until which a submission with an
// uncertain outcome is read back: now plus --submission_readback_timeout_ms.
std::int64_t ReadBackDeadline();

}  // namespace plemox
