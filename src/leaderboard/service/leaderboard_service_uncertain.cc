// Score submissions whose outcome in Redis is uncertain: the connection to
// Redis was lost with a command in flight, so the score may or may not be
// stored. The answer must match what Redis kept and the database must get
// it too, so the player's entries are read back once Redis answers again,
// with a bounded number of retries in a bounded time. A submission with a
// submission id is read back exactly, from the id's record: applied by this
// copy, by another copy (a resend), or by none.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <algorithm>

#include "database/cache/redis_cache.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/submission_chain.h"
#include "leaderboard/service/top_answer_cache.h"
#include "vel/core/monotonic_clock.h"
#include "vel/core/raw_timer.h"

DEFINE_int32(submission_readback_timeout_ms, 30000,
             "How long a score submission whose outcome in Redis is "
             "uncertain (connection lost with the command in flight) is read "
             "back before it is answered kFailUnknown as unknown.");
DEFINE_int32(submission_readback_retry_ms, 200,
             "First pause between read-back attempts of an uncertain score "
             "submission; it doubles up to 2 s.");

namespace plemox {
namespace {

using service_internal::HasNewRecord;
using service_internal::OnScoreStored;
using service_internal::ReadBackSubmission;
using service_internal::SendFail;
using service_internal::SubmissionContext;
using service_internal::WriteProfile;

constexpr std::int64_t kMaxRetryPauseUs = 2'000'000;

std::int64_t RetryPause(int attempt) {
  std::int64_t pause =
      std::max<std::int64_t>(1, FLAGS_submission_readback_retry_ms) * 1000;
  for (int i = 0; i < attempt && pause < kMaxRetryPauseUs; ++i) pause *= 2;
  return std::min(pause, kMaxRetryPauseUs);
}

// The completion of one read-back (cache completion threads): answers and
// writes what Redis holds once it answered, else tries again after a pause
// while the deadline allows, and answers kFailUnknown after it.
void OnSubmissionReadBack(
    const RedisCache::SubmitOutcome& outcome,
    const std::shared_ptr<const SubmissionContext>& context,
    std::int64_t deadline, int attempt);

}  // namespace

bool service_internal::HasNewRecord(
    const std::shared_ptr<RedisCache::NewRecords>& records) {
  if (!records) return false;
  return std::any_of(records->begin(), records->end(), [](const auto& entry) {
    return entry.first != Leaderboard::ScoreSubmission::Response::kNone;
  });
}

std::int64_t service_internal::ReadBackDeadline() {
  return vel::MonotonicClock::Now() +
         std::max<std::int64_t>(0, FLAGS_submission_readback_timeout_ms) * 1000;
}

void service_internal::ReadBackSubmission(
    const std::shared_ptr<const SubmissionContext>& context,
    std::int64_t deadline, int attempt) {
  VLOG(2) << "ReadBackSubmission called: attempt=" << attempt;
  RedisCache::ReadBackSubmission(
      context->request.leaderboard_id(), context->account,
      context->request.score(), context->timestamp_in_msec, context->schedule,
      context->option, context->extras,
      [context, deadline, attempt](const RedisCache::SubmitOutcome& outcome) {
        OnSubmissionReadBack(outcome, context, deadline, attempt);
      });
}

namespace {

void OnSubmissionReadBack(
    const RedisCache::SubmitOutcome& outcome,
    const std::shared_ptr<const SubmissionContext>& context,
    std::int64_t deadline, int attempt) {
  VLOG(2) << "OnSubmissionReadBack called";
  const auto& request = context->request;
  // The uncertain write may have reached Redis after the first drop.
  TopAnswerCache::DropAnswersOf(request.leaderboard_id());
  const auto log = [&](google::LogSeverity severity, const char* text) {
    google::LogMessage(__FILE__, __LINE__, severity).stream()
        << "ScoreSubmission() "
        << "failed: " << text << ": leaderboard id=" << request.leaderboard_id()
        << ", service provider=" << context->account.service_provider()
        << ", player id=" << context->account.id()
        << ", score=" << request.score() << ", type=" << request.type()
        << ", timestamp=" << context->timestamp_in_msec
        << ", attempts=" << attempt + 1 << ", session=" << context->session;
  };
  const bool answered = outcome.status != RedisCache::SubmitStatus::kFailed;
  if (outcome.status == RedisCache::SubmitStatus::kResent) {
    log(google::GLOG_WARNING,
        "Uncertain score found applied by a resend of it; answering it");
    OnScoreStored(outcome, context);
    return;
  }
  // Without a submission id a score that was no new record leaves no trace
  // to find; with one, the id's record shows that this copy ran.
  const bool ran = answered && (HasNewRecord(outcome.new_records) ||
                                (!context->extras.submission_id.empty() &&
                                 !outcome.new_records->empty()));
  if (ran) {
    log(google::GLOG_WARNING,
        "Uncertain score found stored; answering and writing it");
    OnScoreStored(outcome, context);
    return;
  }
  if (answered) {
    // The profile may have changed without a new record; the database gets
    // what Redis holds of it (writing it again is harmless).
    if (outcome.profile_changed) WriteProfile(*context);
    log(google::GLOG_ERROR, "Uncertain score found not stored");
    SendFail(context->session, context->request_uuid,
             Leaderboard::Response::kFailUnknown, "Internal error");
    return;
  }
  const std::int64_t pause = RetryPause(attempt);
  if (vel::MonotonicClock::Now() + pause <= deadline) {
    const vel::RawTimer::TimerId timer = vel::RawTimer::ExpireAfter(
        pause,
        [context, deadline, attempt](vel::RawTimer::TimerId, std::int64_t) {
          ReadBackSubmission(context, deadline, attempt + 1);
        });
    if (timer != vel::RawTimer::kInvalidTimerId) return;
  }
  // Redis did not answer in time (or the host is stopping): the score may be
  // in Redis without being in the database. Logged for the operator.
  log(google::GLOG_ERROR,
      "Uncertain score could not be read back; its outcome is UNKNOWN and "
      "the database may lack it");
  SendFail(context->session, context->request_uuid,
           Leaderboard::Response::kFailUnknown, "Internal error");
}

}  // namespace
}  // namespace plemox
