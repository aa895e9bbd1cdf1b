// Score submission: validation, the ranking cache's decision, the answer,
// the database writes of new records and of a changed name or metadata, the
// answer to a resent submission id, and the optional rank lookup.
#include <glog/logging.h>

#include <boost/uuid/uuid_io.hpp>
#include <cmath>
#include <limits>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/service_state.h"
#include "leaderboard/service/internal/submission_chain.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/profiling_counters.h"
#include "leaderboard/service/top_answer_cache.h"
#include "vel/core/monotonic_clock.h"
#include "vel/core/random_generator.h"
#include "vel/core/wall_clock.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {
namespace {

using Response = Leaderboard::ScoreSubmission::Response;
using Uuid = LeaderboardService::Uuid;
using service_internal::CheckAuthenticated;
using service_internal::CheckScoreSubmission;
using service_internal::HasNewRecord;
using service_internal::OnScoreStored;
using service_internal::ReadBackDeadline;
using service_internal::ReadBackSubmission;
using service_internal::SendFail;
using service_internal::SubmissionContext;

// Answers the submission of `context` with success; `resent` marks the
// answer to a submission id applied before.
void SendSubmissionResponse(const SubmissionContext& context,
                            Response::Result result, double score,
                            std::int64_t total_player_count, std::int64_t rank,
                            bool resent) {
  const auto response =
      vel::LeaderboardMessageWriter::CreateScoreSubmissionResponse(
          context.request_uuid, result, score, total_player_count, rank);
  if (resent) response->mutable_score_submission()->set_resent(true);
  context.session->Send(*response);
}

// A token no other copy of a submission has: tells a read-back this copy's
// write from a resend's.
std::string NewSubmissionToken() {
  return std::to_string(vel::RandomGenerator::GenerateNumber(
             0, std::numeric_limits<std::int64_t>::max())) +
         "-" + std::to_string(vel::WallClock::GetTimestampInMsec());
}

// Whether `account` can be stored: ':' separates the parts of ranking
// members, and the database columns have fixed lengths. On false, *reason
// says why.
bool IsStorableAccount(const Leaderboard::AccountId& account,
                       std::string* reason) {
  // Ranking members are "time:local account:service provider".
  if (account.service_provider().find(':') != std::string::npos ||
      account.local_account().find(':') != std::string::npos) {
    *reason = "':' in the account";
    return false;
  }
  return RequestLimits::FitsAccountColumns(account, reason);
}

// The completion of the cache's submission (cache completion threads): an
// uncertain outcome is read back, a refusal answers kFailInvalidParameter
// with its reason, a failure that stored nothing answers kFailUnknown,
// anything stored (or resent) is answered and written.
void OnScoreCached(const RedisCache::SubmitOutcome& outcome,
                   const std::shared_ptr<const SubmissionContext>& context);

// Answers a submission whose outcome is `result` and `score`: at once, or
// after looking up the player's rank when the request asks for one.
void AnswerStored(const std::shared_ptr<const SubmissionContext>& context,
                  Response::Result result, double score, bool resent);

// The completion of one database write of a new record or a profile
// (database client threads): logs a failure; the client has its answer
// already.
void OnScoreSubmitted(bool failed,
                      const std::shared_ptr<ClientSession>& session,
                      const Uuid& request_uuid);

// The completion of the rank lookup of a submission that asked for one
// (cache completion threads): answers with the outcome and the rank.
void OnMyRankGotAfterScoreSubmitted(
    const std::shared_ptr<QueryResult>& result,
    const std::shared_ptr<const SubmissionContext>& context,
    Response::Result submission_result, double score, bool resent);

}  // namespace

bool service_internal::CheckScoreSubmission(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::ScoreSubmission::Request& request) {
  const bool has_account = request.has_account_id();
  const bool has_provider =
      has_account && request.account_id().has_service_provider();
  const bool has_local_account =
      has_account && request.account_id().has_local_account();
  if (!request.has_leaderboard_id() || !has_account || !has_provider ||
      !has_local_account || !request.has_score() || !request.has_type()) {
    LOG(WARNING) << "ScoreSubmission() "
                 << "failed: "
                 << "Invalid parameter found"
                 << ". "
                 << "Required fields are missing"
                 << ": leaderboard id=" << request.has_leaderboard_id()
                 << ", account_id=" << has_account
                 << ", service_provider=" << has_provider
                 << ", local_account=" << has_local_account
                 << ", score=" << request.has_score()
                 << ", type=" << request.has_type() << ", session=" << session;
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter,
             "Invalid parameter found");
    return false;
  }
  const std::string& leaderboard_id = request.leaderboard_id();
  if (!FLAGS_leaderboard_use_db_stored_procedure &&
      !IsConfiguredLeaderboardId(leaderboard_id)) {
    LOG(ERROR) << "ScoreSubmission() "
               << "failed: "
               << "Unknown leaderboard ID"
               << ": leaderboard id=" << leaderboard_id;
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter,
             "Unknown leaderboard ID");
    return false;
  }
  // Any id is accepted with stored procedures, but it still becomes part of
  // table names and keys; a score must be a number Redis and the database
  // both store as it is; and the account must fit the ranking members.
  if (!CheckLeaderboardId(session, request_uuid, "ScoreSubmission",
                          leaderboard_id)) {
    return false;
  }
  std::string reason;
  if (!std::isfinite(request.score())) {
    reason = "score is not a finite number";
  } else {
    IsStorableAccount(request.account_id(), &reason);
  }
  // A name, metadata or submission id beyond its limit is refused with the
  // limit in the answer, so that the game's developer sees which.
  std::string message = "Invalid parameter found";
  if (reason.empty()) {
    reason = RequestLimits::CheckSubmissionExtras(request);
    if (!reason.empty()) message = reason;
  }
  if (reason.empty() && request.has_tiebreak_score()) {
    // A second score that nothing would order, or that Redis and the
    // database cannot hold, is refused rather than dropped.
    RankingOption option;
    RankingOptions::GetRankingOption(leaderboard_id, &option);
    if (!option.has_tiebreak()) {
      reason =
          "tiebreak_score is only taken by a leaderboard with a "
          "tiebreak; this one has none";
    } else if (!std::isfinite(request.tiebreak_score())) {
      reason = "tiebreak_score is not a finite number";
    }
    if (!reason.empty()) message = reason;
  }
  if (!reason.empty()) {
    LOG(WARNING) << "ScoreSubmission() "
                 << "failed: "
                 << "Invalid parameter found"
                 << ". " << reason << ": leaderboard id=" << leaderboard_id
                 << ", service provider="
                 << request.account_id().service_provider()
                 << ", player id=" << request.account_id().local_account()
                 << ", score=" << request.score() << ", session=" << session;
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter, message);
    return false;
  }
  return true;
}

void LeaderboardService::OnScoreSubmissionRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::ScoreSubmission::Request& request) {
  VLOG(2) << "OnScoreSubmissionRequested called";
  const std::int64_t start_time = vel::MonotonicClock::Now();
  if (!CheckAuthenticated(session, request_uuid, "ScoreSubmission")) return;

  if (!CheckScoreSubmission(session, request_uuid, request)) return;
  const std::string& leaderboard_id = request.leaderboard_id();

  auto context = std::make_shared<SubmissionContext>();
  context->session = session;
  context->request_uuid = request_uuid;
  context->request = request;
  context->account = vel::PlayerAccount(request.account_id().service_provider(),
                                        request.account_id().local_account());
  context->timestamp_in_msec = vel::WallClock::GetTimestampInMsec();
  context->schedule =
      ResetScheduleRegistry::MakeResetScheduleInfo(leaderboard_id);
  context->start_time = start_time;
  RankingOptions::GetRankingOption(leaderboard_id, &context->option);
  if (request.has_display_name()) {
    context->extras.display_name = request.display_name();
  }
  if (request.has_metadata()) context->extras.metadata = request.metadata();
  if (request.has_tiebreak_score()) {
    context->extras.tiebreak_score = request.tiebreak_score();
  }
  if (request.has_submission_id()) {
    context->extras.submission_id = request.submission_id();
    context->extras.token = NewSubmissionToken();
  }

  std::shared_ptr<const SubmissionContext> shared_context = context;
  RedisCache::SubmitScore(
      leaderboard_id, context->account, request.score(), request.type(),
      context->timestamp_in_msec, context->schedule, context->option,
      context->extras,
      [shared_context](const RedisCache::SubmitOutcome& outcome) {
        OnScoreCached(outcome, shared_context);
      });
}

namespace {

void OnScoreCached(const RedisCache::SubmitOutcome& outcome,
                   const std::shared_ptr<const SubmissionContext>& context) {
  VLOG(2) << "OnScoreCached called";
  ProfilingCounters::Record(ProfilingCounters::kScoreSubmission,
                            context->start_time);
  const auto& request = context->request;
  // Whatever the outcome, the rankings may have changed: the answers kept
  // of them go before this submission is answered.
  TopAnswerCache::DropAnswersOf(request.leaderboard_id());
  const RedisCache::SubmitStatus status = outcome.status;
  if (status == RedisCache::SubmitStatus::kRefused) {
    LOG(WARNING) << "ScoreSubmission() "
                 << "failed: "
                 << "Invalid parameter found"
                 << ". " << outcome.refusal
                 << ": leaderboard id=" << request.leaderboard_id()
                 << ", service provider=" << context->account.service_provider()
                 << ", player id=" << context->account.id()
                 << ", score=" << request.score() << ", type=" << request.type()
                 << ", session=" << context->session;
    SendFail(context->session, context->request_uuid,
             Leaderboard::Response::kFailInvalidParameter, outcome.refusal);
    return;
  }
  if (status == RedisCache::SubmitStatus::kUncertain) {
    LOG(WARNING) << "ScoreSubmission() "
                 << "failed: "
                 << "Lost Redis with the score in flight; reading it back"
                 << ": leaderboard id=" << request.leaderboard_id()
                 << ", service provider=" << context->account.service_provider()
                 << ", player id=" << context->account.id()
                 << ", score=" << request.score() << ", type=" << request.type()
                 << ", timestamp=" << context->timestamp_in_msec
                 << ", session=" << context->session;
    ReadBackSubmission(context, ReadBackDeadline(), 0);
    return;
  }
  if (status == RedisCache::SubmitStatus::kFailed) {
    const bool stored = HasNewRecord(outcome.new_records);
    LOG(ERROR) << "ScoreSubmission() "
               << "failed: "
               << "Failed to cache score"
               << ": leaderboard id=" << request.leaderboard_id()
               << ", service provider=" << context->account.service_provider()
               << ", player id=" << context->account.id()
               << ", score=" << request.score() << ", type=" << request.type()
               << ", timestamp=" << context->timestamp_in_msec
               << ", session=" << context->session
               << (stored ? ", stored in part: answered and written by what "
                            "was stored"
                          : "");
    // Rankings updated before the failure keep the score: the database
    // must get it too, and the client must not be told nothing happened.
    if (!stored) {
      SendFail(context->session, context->request_uuid,
               Leaderboard::Response::kFailUnknown, "Internal error");
      return;
    }
  }
  OnScoreStored(outcome, context);
}

}  // namespace

void service_internal::WriteProfile(const SubmissionContext& context) {
  const auto db = LeaderboardService::db_connection();
  const auto& request = context.request;
  if (!db) {
    LOG(WARNING) << "ScoreSubmission() "
                 << "failed: "
                 << "The database connection is closed; the display name and "
                    "metadata are not written"
                 << ": session=" << context.session
                 << ", leaderboard id=" << request.leaderboard_id();
    return;
  }
  auto session = context.session;
  const Uuid request_uuid = context.request_uuid;
  db->SubmitProfile(request.leaderboard_id(), context.account,
                    context.extras.display_name, context.extras.metadata,
                    [session, request_uuid](bool failed) {
                      OnScoreSubmitted(failed, session, request_uuid);
                    });
}

void service_internal::OnScoreStored(
    const RedisCache::SubmitOutcome& outcome,
    const std::shared_ptr<const SubmissionContext>& context) {
  const auto& request = context->request;
  const std::shared_ptr<RedisCache::NewRecords>& new_records =
      outcome.new_records;
  LEADERBOARD_ASSERT(new_records && !new_records->empty());

  const Response::Result result = new_records->back().first;
  const double score = new_records->back().second;
  const bool resent = outcome.status == RedisCache::SubmitStatus::kResent;
  if (resent) {
    // The first copy wrote what there was to write; this one only answers.
    LeaderboardMetrics::CountResentSubmission();
    AnswerStored(context, result, score, true);
    return;
  }
  VLOG(2) << "ScoreSubmission() "
          << ": "
          << "Succeed to cache score"
          << ": result=" << result << ", new score=" << score
          << ", leaderboard id=" << request.leaderboard_id()
          << ", service provider=" << context->account.service_provider()
          << ", player id=" << context->account.id()
          << ", score=" << request.score() << ", type=" << request.type()
          << ", timestamp=" << context->timestamp_in_msec
          << ", session=" << context->session;

  // The database writes are queued before the answer goes out: a shutdown
  // stops the game port before it closes the database connection, so an
  // answer the client receives always has its writes queued ahead of that.
  if (outcome.profile_changed) WriteProfile(*context);
  const auto db = LeaderboardService::db_connection();
  for (const auto& record : *new_records) {
    if (record.first == Response::kNone) continue;
    if (!db) {
      LOG(WARNING) << "ScoreSubmission() "
                   << "failed: "
                   << "The database connection is closed; the new record is "
                      "not written"
                   << ": session=" << context->session
                   << ", leaderboard id=" << request.leaderboard_id();
      continue;
    }
    VLOG(2) << "ScoreSubmission(): "
            << "The score submitted to the database"
            << ", leaderboard id: " << request.leaderboard_id()
            << ", service provider: " << context->account.service_provider()
            << ", player id: " << context->account.id()
            << ", score submission result: " << record.first
            << ", new score: " << record.second
            << ", timestamp: " << context->timestamp_in_msec
            << ", session=" << context->session;
    auto session = context->session;
    const Uuid request_uuid = context->request_uuid;
    db->SubmitScore(request.leaderboard_id(), context->account, record,
                    context->timestamp_in_msec,
                    context->schedule.next_date_time,
                    context->option.has_tiebreak()
                        ? std::optional<double>(request.tiebreak_score())
                        : std::nullopt,
                    [session, request_uuid](const bool& failed) {
                      OnScoreSubmitted(failed, session, request_uuid);
                    });
  }

  AnswerStored(context, result, score, false);
}

namespace {

void AnswerStored(const std::shared_ptr<const SubmissionContext>& context,
                  Response::Result result, double score, bool resent) {
  const auto& request = context->request;
  if (!request.has_ranking_type()) {
    SendSubmissionResponse(*context, result, score, 0, 0, resent);
    return;
  }
  // A nearby window of 0 to 0 is the player's own record.
  Leaderboard::LeaderboardQuery::Range range;
  range.set_type(Leaderboard::LeaderboardQuery::Range::kNearby);
  range.set_begin(0);
  range.set_end(0);
  RedisCache::GetPublicLeaderboard(
      request.leaderboard_id(), context->account, request.time_span(), range,
      request.ranking_type(),
      // The week the submission wrote to, not the registry's week now.
      service_internal::WeekReferenceTime(context->schedule,
                                          request.time_span()),
      [context, result, score,
       resent](const std::shared_ptr<QueryResult>& rank) {
        OnMyRankGotAfterScoreSubmitted(rank, context, result, score, resent);
      });
}

void OnMyRankGotAfterScoreSubmitted(
    const std::shared_ptr<QueryResult>& result,
    const std::shared_ptr<const SubmissionContext>& context,
    Response::Result submission_result, double score, bool resent) {
  VLOG(2) << "OnMyRankGotAfterScoreSubmitted called";
  const auto& request = context->request;
  if (!result || result->error || result->records.empty()) {
    LOG(ERROR) << "ScoreSubmission() "
               << "failed: "
               << "Failed to get my rank after the score submitted"
               << ": session=" << context->session
               << ", leaderboard id=" << request.leaderboard_id()
               << ", account id=" << context->account.id()
               << ", service provider=" << context->account.service_provider()
               << ", ranking type=" << request.ranking_type()
               << ", timespan=" << request.time_span();
    SendFail(context->session, context->request_uuid,
             Leaderboard::Response::kFailUnknown, "Internal error");
    return;
  }
  SendSubmissionResponse(*context, submission_result, score,
                         result->total_player_count,
                         result->records.front().rank, resent);
}

void OnScoreSubmitted(bool failed,
                      const std::shared_ptr<ClientSession>& session,
                      const Uuid& request_uuid) {
  VLOG(2) << "OnScoreSubmitted called";
  if (failed) {
    LOG(ERROR) << "ScoreSubmission() "
               << "failed: "
               << ": session=" << session << ", request uuid=" << request_uuid;
  }
}

}  // namespace
}  // namespace plemox
