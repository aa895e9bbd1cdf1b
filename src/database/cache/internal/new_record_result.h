// The one mapping of a ranking's timespan to the outcome it reports when it
// took a new record, for every path that builds an outcome list (the command
// chain, the submission script's answer and the read-back). Pure; any thread.
#pragma once

#include <glog/logging.h>

#include "database/cache/redis_cache.h"

namespace plemox {
namespace redis_cache {

// kNewRecordDaily, kNewRecordWeekly and kNewRecordMonthly for the period
// rankings, kNewRecord for the all-time ranking. The previous periods take no
// submissions: asking for one of them is fatal (a caller's contract).
inline RedisCache::SubmissionResult NewRecordResult(Timespan timespan) {
  using Response = Leaderboard::ScoreSubmission::Response;
  switch (timespan) {
    case Leaderboard::LeaderboardQuery::kDaily:
      return Response::kNewRecordDaily;
    case Leaderboard::LeaderboardQuery::kWeekly:
      return Response::kNewRecordWeekly;
    case Leaderboard::LeaderboardQuery::kMonthly:
      return Response::kNewRecordMonthly;
    case Leaderboard::LeaderboardQuery::kAllTime:
      return Response::kNewRecord;
    default:
      LOG(FATAL) << "No new record result for timespan: " << timespan;
      return Response::kNone;
  }
}

}  // namespace redis_cache
}  // namespace plemox
