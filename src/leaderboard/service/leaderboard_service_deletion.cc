// Score deletion: a batch of (leaderboard, player) deletions, each removed
// from the ranking cache and then from the database, answered once with one
// result per deletion in request order.
#include <glog/logging.h>

#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/service_state.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/profiling_counters.h"
#include "leaderboard/service/top_answer_cache.h"
#include "vel/core/monotonic_clock.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {
namespace {

using Deletion = Leaderboard::ScoreDeletion::Request;
using DeletionResult = Leaderboard::ScoreDeletion::Response::Result;
using Uuid = LeaderboardService::Uuid;
using service_internal::CheckAuthenticated;
using service_internal::CheckScoreDeletions;
using service_internal::SendFail;

// The state of one batch, shared by its steps. One deletion is in flight at
// a time, so one step touches it at once.
struct ScoreDeletionContext {
  std::shared_ptr<ClientSession> session;
  Uuid request_uuid;
  std::vector<Deletion> requests;
  std::shared_ptr<Leaderboard::Response> response;
  std::size_t index = 0;
};

vel::PlayerAccount AccountOf(const Deletion& deletion) {
  return vel::PlayerAccount(deletion.account_id().service_provider(),
                            deletion.account_id().local_account());
}

// Ends the batch at the deletion in progress: `store` is "(Redis)" or "(DB)".
void FailDeletion(const ScoreDeletionContext& context, const Uuid& request_uuid,
                  const char* store) {
  const Deletion& deletion = context.requests[context.index];
  LOG(ERROR) << "ScoreDeletion() " << store << "failed: "
             << ": session=" << context.session
             << ", leaderboard id=" << deletion.leaderboard_id()
             << ", account id=" << deletion.account_id().local_account()
             << ", service provider="
             << deletion.account_id().service_provider();
  SendFail(context.session, request_uuid, Leaderboard::Response::kFailUnknown,
           "Internal error");
}

// Runs the deletion at the context's index: the cache first. Event threads
// for the first deletion, database client threads for the others.
void RequestScoreDeletion(const Uuid& request_uuid,
                          const std::shared_ptr<ScoreDeletionContext>& context);

// The completion of one deletion in the cache (cache completion threads):
// counts its latency from `start_time` (monotonic clock), then deletes the
// score from the database, or ends the batch with kFailUnknown when the
// cache failed.
void OnScoreCacheDeleted(bool error, DeletionResult result,
                         const Uuid& request_uuid,
                         const std::shared_ptr<ScoreDeletionContext>& context,
                         const ResetScheduleInfo& schedule,
                         std::int64_t start_time);

// The completion of one deletion in the database (database client threads):
// records the cache's `result` and runs the next deletion, or answers after
// the last; a failure ends the batch with kFailUnknown.
void OnScoreDeleted(bool failed, DeletionResult result,
                    const Uuid& request_uuid,
                    const std::shared_ptr<ScoreDeletionContext>& context);

}  // namespace

bool service_internal::CheckScoreDeletions(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const google::protobuf::RepeatedPtrField<Deletion>& deletions) {
  if (deletions.empty()) {
    RefuseInvalidParameter(session, request_uuid, "ScoreDeletion",
                           "no requests");
    return false;
  }
  // Each deletion is a chain of cache and database steps: their number is
  // what one request may cost.
  const std::string too_many = RequestLimits::CheckDeletionCount(
      static_cast<std::size_t>(deletions.size()));
  if (!too_many.empty()) {
    LOG(WARNING) << "ScoreDeletion() "
                 << "failed: "
                 << "Invalid parameter found"
                 << ". " << too_many << ": session=" << session
                 << ", deletions=" << deletions.size();
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter, too_many);
    return false;
  }
  // The whole batch is checked first: one bad deletion refuses all.
  for (const Deletion& deletion : deletions) {
    if (!deletion.has_leaderboard_id() || !deletion.has_account_id() ||
        !deletion.account_id().has_service_provider() ||
        !deletion.account_id().has_local_account()) {
      LOG(WARNING) << "Parameter validation failed"
                   << ": "
                   << ": request=" << deletion.ShortDebugString();
      if (!deletion.has_leaderboard_id()) {
        LOG(WARNING) << "ScoreDeletion() "
                     << "failed: "
                     << "Invalid parameter found"
                     << ". "
                     << "No leaderboard ID"
                     << ": session=" << session;
      }
      SendFail(session, request_uuid,
               Leaderboard::Response::kFailInvalidParameter,
               "Invalid parameter found");
      return false;
    }
    if (!FLAGS_leaderboard_use_db_stored_procedure &&
        !IsConfiguredLeaderboardId(deletion.leaderboard_id())) {
      LOG(ERROR) << "ScoreDeletion() "
                 << "failed: "
                 << "Unknown leaderboard ID"
                 << ": leaderboard id=" << deletion.leaderboard_id();
      SendFail(session, request_uuid,
               Leaderboard::Response::kFailInvalidParameter,
               "Unknown leaderboard ID");
      return false;
    }
    // Any id is accepted with stored procedures, but it still names tables
    // and keys.
    if (!CheckLeaderboardId(session, request_uuid, "ScoreDeletion",
                            deletion.leaderboard_id())) {
      return false;
    }
    // The account becomes member keys and a column value.
    std::string reason;
    if (!RequestLimits::FitsAccountColumns(deletion.account_id(), &reason)) {
      LOG(WARNING) << "ScoreDeletion() "
                   << "failed: "
                   << "Invalid parameter found"
                   << ". " << reason << ": session=" << session;
      SendFail(session, request_uuid,
               Leaderboard::Response::kFailInvalidParameter,
               "Invalid parameter found");
      return false;
    }
  }
  return true;
}

void LeaderboardService::OnScoreDeletionRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const google::protobuf::RepeatedPtrField<Deletion>& deletions) {
  VLOG(2) << "OnScoreDeletionRequested called";
  if (!CheckAuthenticated(session, request_uuid, "ScoreDeletion")) return;
  if (!CheckScoreDeletions(session, request_uuid, deletions)) return;

  auto context = std::make_shared<ScoreDeletionContext>();
  context->session = session;
  context->request_uuid = request_uuid;
  context->requests.assign(deletions.begin(), deletions.end());
  context->response =
      vel::LeaderboardMessageWriter::CreateScoreDeletionResponse(request_uuid);
  RequestScoreDeletion(request_uuid, context);
}

namespace {

void RequestScoreDeletion(
    const Uuid& request_uuid,
    const std::shared_ptr<ScoreDeletionContext>& context) {
  VLOG(2) << "RequestScoreDeletion called";
  const std::int64_t start_time = vel::MonotonicClock::Now();
  const Deletion& deletion = context->requests[context->index];
  const ResetScheduleInfo schedule =
      ResetScheduleRegistry::MakeResetScheduleInfo(deletion.leaderboard_id());
  RankingOption option;
  RankingOptions::GetRankingOption(deletion.leaderboard_id(), &option);
  RedisCache::DeleteScore(deletion.leaderboard_id(), AccountOf(deletion),
                          schedule, option,
                          [request_uuid, context, schedule, start_time](
                              bool error, DeletionResult result) {
                            OnScoreCacheDeleted(error, result, request_uuid,
                                                context, schedule, start_time);
                          });
}

void OnScoreCacheDeleted(bool error, DeletionResult result,
                         const Uuid& request_uuid,
                         const std::shared_ptr<ScoreDeletionContext>& context,
                         const ResetScheduleInfo& schedule,
                         std::int64_t start_time) {
  VLOG(2) << "OnScoreCacheDeleted called";
  ProfilingCounters::Record(ProfilingCounters::kScoreDeletion, start_time);
  const Deletion& deletion = context->requests[context->index];
  TopAnswerCache::DropAnswersOf(deletion.leaderboard_id());
  const auto& session = context->session;
  if (error) {
    FailDeletion(*context, request_uuid, "(Redis)");
    return;
  }
  VLOG(2) << "Succeed to delete score"
          << "(Redis)"
          << ": session=" << session
          << ", leaderboard id: " << deletion.leaderboard_id()
          << ", account id: " << deletion.account_id().local_account()
          << ", service provider: " << deletion.account_id().service_provider();
  const auto db = LeaderboardService::db_connection();
  if (!db) {
    OnScoreDeleted(true, result, request_uuid, context);
    return;
  }
  const std::string leaderboard_id = deletion.leaderboard_id();
  const vel::PlayerAccount account = AccountOf(deletion);
  db->DeleteScore(
      leaderboard_id, account, schedule,
      [leaderboard_id, account, result, request_uuid, context](bool failed) {
        const auto db = LeaderboardService::db_connection();
        if (failed || !db) {
          OnScoreDeleted(true, result, request_uuid, context);
          return;
        }
        // The player's name and metadata go with its scores.
        db->DeleteProfile(leaderboard_id, account,
                          [result, request_uuid, context](bool failed) {
                            OnScoreDeleted(failed, result, request_uuid,
                                           context);
                          });
      });
}

void OnScoreDeleted(bool failed, DeletionResult result,
                    const Uuid& request_uuid,
                    const std::shared_ptr<ScoreDeletionContext>& context) {
  VLOG(2) << "OnScoreDeleted called";
  const Deletion& deletion = context->requests[context->index];
  const auto& session = context->session;
  if (failed) {
    FailDeletion(*context, request_uuid, "(DB)");
    return;
  }
  VLOG(2) << "ScoreDeletion(): "
          << "Succeed to delete score"
          << "(DB)"
          << ": session=" << session
          << ", leaderboard id: " << deletion.leaderboard_id()
          << ", account id=" << deletion.account_id().local_account()
          << ", service provider=" << deletion.account_id().service_provider();
  context->response->add_score_deletions()->set_result(result);
  ++context->index;
  if (context->index < context->requests.size()) {
    RequestScoreDeletion(request_uuid, context);
  } else {
    session->Send(*context->response);
  }
}

}  // namespace
}  // namespace plemox
