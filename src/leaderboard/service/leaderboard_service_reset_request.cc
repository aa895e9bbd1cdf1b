// Resets on demand. A game server may ask for the reset of a leaderboard
// that has no schedule (type 11): it is logged under the leaderboard's three
// schedule keys first, then the daily, weekly and monthly rankings roll over
// in the cache and the database, and the game server gets one answer. The
// HTTP API may force the rollover of one scheduled leaderboard key now,
// without touching its schedule or the reset log. Both end periods: their
// rows in the period archive are written with the log rows (before the
// rollover for a forced reset), and each cache rollover hands its closed
// ranking to the archive (period_ends.h).
#include <glog/logging.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/period/period_ends.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/service_state.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/top_answer_cache.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {
namespace {

using service_internal::CheckAuthenticated;
using service_internal::CheckLeaderboardId;
using service_internal::IsConfiguredLeaderboardId;
using service_internal::SendFail;

// Shared by every step of one requested reset.
struct LeaderboardResetContext {
  std::shared_ptr<ClientSession> session;
  LeaderboardService::Uuid request_uuid;
  std::string leaderboard_id;
  // The request time in the default text form ("2021-Feb-08 12:34:56"): the
  // schedule date time of the three log rows and the text of the answer.
  std::string schedule_date_time;
  // The ends of the day, week and month periods (kPeriodSuffixes order).
  std::optional<PeriodEnd> period_ends[3];
  std::mutex mutex;
  bool failed = false;           // GUARDED_BY(mutex)
  std::int64_t total_count = 0;  // GUARDED_BY(mutex); steps outstanding
};

constexpr const char* kPeriodSuffixes[] = {"_day", "_week", "_month"};
constexpr const char* kPeriodWords[] = {"day", "week", "month"};

// Decrements the outstanding steps of `context` after the contract checks;
// returns how many are left. REQUIRES: context->mutex held.
std::int64_t CountStepDone(
    const std::shared_ptr<LeaderboardResetContext>& context) {
  LEADERBOARD_ASSERT(context);
  LEADERBOARD_ASSERT(context->session);
  LEADERBOARD_ASSERT(context->total_count > 0);
  return --context->total_count;
}

// Answers the requested reset kFailUnknown "internal db error".
void SendInternalDbError(
    const std::shared_ptr<LeaderboardResetContext>& context) {
  SendFail(context->session, context->request_uuid,
           Leaderboard::Response::kFailUnknown, "internal db error");
}

// The barrier of one forced reset: the caller waits until the last
// completion has set the result.
struct ForcedReset {
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;  // GUARDED_BY(mutex)
  bool result = false;    // GUARDED_BY(mutex)
  std::string message;    // GUARDED_BY(mutex)

  void Finish(bool success, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    result = success;
    if (!text.empty()) message = text;
    finished = true;
    finished_cv.notify_all();
  }
};

// The completions of a forced rollover in the database and in the cache
// (their completion threads): each sets the result of a failure and releases
// the barrier; the cache's success goes on with the database rollover of the
// same period.
void OnLeaderboardDbForcedlyReset(bool error,
                                  const std::string& leaderboard_key,
                                  const std::shared_ptr<ForcedReset>& barrier) {
  VLOG(2) << "OnLeaderboardDbForcedlyReset called";
  if (error) {
    LOG(ERROR) << "Failed to reset the leaderboard database"
               << ": leaderboard key=" << leaderboard_key;
    barrier->Finish(false, "Failed to reset the leaderboard database");
    return;
  }
  LOG(INFO) << "Succeed to reset the leaderboard database"
            << ": leaderboard key=" << leaderboard_key;
  barrier->Finish(true, "");
}

void OnLeaderboardCacheForcedlyReset(
    bool error, const std::string& leaderboard_key,
    const std::shared_ptr<ForcedReset>& barrier) {
  VLOG(2) << "OnLeaderboardCacheForcedlyReset called";
  if (error) {
    LOG(ERROR) << "Failed to reset the leaderboard cache"
               << ": leaderboard key=" << leaderboard_key;
    barrier->Finish(false, "Failed to reset the leaderboard cache");
    return;
  }
  LOG(INFO) << "Succeed to reset the leaderboard cache"
            << ": leaderboard key=" << leaderboard_key;
  const auto schedule = ResetScheduleRegistry::Find(leaderboard_key);
  // clang-format off
  LEADERBOARD_ASSERT(schedule.has_value());
  // clang-format on
  const auto db = LeaderboardService::db_connection();
  if (!db) {
    LOG(ERROR) << "Failed to reset the leaderboard database"
               << ". The database connection is closed"
               << ": leaderboard key=" << leaderboard_key;
    barrier->Finish(false, "Failed to reset the leaderboard database");
    return;
  }
  auto on_reset = [leaderboard_key, barrier](const bool& failed,
                                             const std::string&) {
    OnLeaderboardDbForcedlyReset(failed, leaderboard_key, barrier);
  };
  switch (schedule->period()) {
    case ResetScheduleTime::kDay:
      db->ResetDailyLeaderboard(schedule->leaderboard_id(), leaderboard_key,
                                on_reset);
      return;
    case ResetScheduleTime::kWeek:
      db->ResetWeeklyLeaderboard(schedule->leaderboard_id(), leaderboard_key,
                                 on_reset);
      return;
    case ResetScheduleTime::kMonth:
      db->ResetMonthlyLeaderboard(schedule->leaderboard_id(), leaderboard_key,
                                  on_reset);
      return;
  }
  LEADERBOARD_ASSERT(false)
      << "Unexpected value"
      << ": period=" << static_cast<int>(schedule->period());
}

// The completion of one of the three reset log inserts of a requested reset
// (database client threads): after the last, answers "internal db error"
// when any failed or found its row, else starts the six rollovers.
void OnRequestedResetLogInserted(
    bool error, bool already_reset, const std::string& leaderboard_id,
    const std::string& leaderboard_key,
    const std::shared_ptr<LeaderboardResetContext>& context);

// The completion of one of the six rollovers of a requested reset (cache and
// database completion threads): after the last, answers the game server.
void OnRequestedLeaderboardReset(
    bool error, const std::string& leaderboard_key,
    const std::shared_ptr<LeaderboardResetContext>& context);

}  // namespace

void LeaderboardService::OnLeaderboardResetRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::LeaderboardReset::Request& request) {
  VLOG(2) << "OnLeaderboardResetRequested called";
  if (!CheckAuthenticated(session, request_uuid, "LeaderboardReset")) return;
  const auto refuse = [&] {
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter,
             "Invalid parameter found");
  };
  const std::string& leaderboard_id = request.leaderboard_id();
  if (leaderboard_id.empty()) {
    LOG(ERROR) << "LeaderboardReset() "
               << "failed: "
               << "Unknown leaderboard ID"
               << ". "
               << "No leaderboard ID"
               << ": session=" << session;
    refuse();
    return;
  }
  if (!FLAGS_leaderboard_use_db_stored_procedure &&
      !IsConfiguredLeaderboardId(leaderboard_id)) {
    LOG(ERROR) << "LeaderboardReset() "
               << "failed: "
               << "Unknown leaderboard ID"
               << ": leaderboard id=" << leaderboard_id;
    refuse();
    return;
  }
  // With stored procedures any id is accepted, but it still becomes part of
  // table names and keys.
  if (!CheckLeaderboardId(session, request_uuid, "LeaderboardReset",
                          leaderboard_id)) {
    return;
  }
  const bool has_day = ResetScheduleRegistry::HasDaySchedule(leaderboard_id);
  const bool has_week = ResetScheduleRegistry::HasWeekSchedule(leaderboard_id);
  const bool has_month =
      ResetScheduleRegistry::HasMonthSchedule(leaderboard_id);
  if (has_day || has_week || has_month) {
    LOG(ERROR) << "LeaderboardReset() "
               << "failed: "
               << "The reset schedule is registered"
               << ": session=" << session
               << ", leaderboard_id=" << leaderboard_id
               << ", has_day_schedule=" << (has_day ? 1 : 0)
               << ", has_week_schedule=" << (has_week ? 1 : 0)
               << ", has_month_schedule=" << (has_month ? 1 : 0);
    refuse();
    return;
  }
  const auto db = db_connection();
  if (!db) {
    LOG(ERROR) << "LeaderboardReset() "
               << "failed: "
               << "The database connection is closed"
               << ": session=" << session
               << ", leaderboard_id=" << leaderboard_id;
    SendFail(session, request_uuid, Leaderboard::Response::kFailUnknown,
             "internal db error");
    return;
  }

  auto context = std::make_shared<LeaderboardResetContext>();
  context->session = session;
  context->request_uuid = request_uuid;
  context->leaderboard_id = leaderboard_id;
  const auto request_time = ResetSchedule::Now();
  context->schedule_date_time = DateTimeToText(request_time);
  context->total_count = 3;
  for (int i = 0; i < 3; ++i) {
    context->period_ends[i] =
        PeriodEnds::RequestedEnd(leaderboard_id, kPeriodWords[i], request_time,
                                 context->schedule_date_time);
  }
  for (int i = 0; i < 3; ++i) {
    PeriodEnds::InsertResetScheduleLog(
        db, leaderboard_id, leaderboard_id + kPeriodSuffixes[i],
        context->schedule_date_time, context->period_ends[i],
        [context](const bool& failed, const bool& duplicated,
                  const std::string& id, const std::string& key,
                  const std::string&) {
          OnRequestedResetLogInserted(failed, duplicated, id, key, context);
        });
  }
}

namespace {

void OnRequestedResetLogInserted(
    bool error, bool already_reset, const std::string& /*leaderboard_id*/,
    const std::string& leaderboard_key,
    const std::shared_ptr<LeaderboardResetContext>& context) {
  VLOG(2) << "OnRequestedResetLogInserted called";
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(context->mutex);
    const std::int64_t left = CountStepDone(context);
    if (error) {
      context->failed = true;
      LOG(ERROR) << "Failed to insert reset schedule log"
                 << ": leaderboard_key=" << leaderboard_key;
    } else if (already_reset) {
      context->failed = true;
      LOG(ERROR) << "Failed to insert a new reset schedule log"
                 << ". "
                 << "the leaderboard has already been reset"
                 << ": leaderboard_key=" << leaderboard_key;
    } else {
      LOG(INFO) << "A new reset schedule log is inserted"
                << ": leaderboard_key=" << leaderboard_key;
    }
    if (left > 0) {
      VLOG(2) << "Processing insertion for the remaining leaderboard"
              << ": leaderboard_key=" << leaderboard_key;
      return;
    }
    LOG(INFO) << "The reset schedule logs are inserted, Now starting to reset "
                 "leaderboard"
              << ": leaderboard key=" << context->leaderboard_id;
    failed = context->failed;
    if (!failed) {
      context->failed = false;
      context->total_count = 6;
    }
  }
  if (failed) {
    SendInternalDbError(context);
    return;
  }

  const std::string& id = context->leaderboard_id;
  RankingOption option;
  RankingOptions::GetRankingOption(id, &option);
  const auto db = LeaderboardService::db_connection();
  const auto on_cache_reset = [context](int period_index) {
    const std::string key =
        context->leaderboard_id + kPeriodSuffixes[period_index];
    return
        [context, key, period_index](bool failed_step, const std::string& id) {
          TopAnswerCache::DropAnswersOf(id);
          PeriodEnds::OnRolledOver(context->period_ends[period_index],
                                   !failed_step);
          OnRequestedLeaderboardReset(failed_step, key, context);
        };
  };
  // Without a connection (shutdown under way) the database steps fail, so
  // that the answer still comes after the last step.
  const auto reset_db = [&](void (DbConnection::*reset)(
                                const std::string&, const std::string&,
                                DbConnection::ResetLeaderboardCallback),
                            const std::string& key) {
    if (!db) {
      OnRequestedLeaderboardReset(true, key, context);
      return;
    }
    ((*db).*reset)(id, key,
                   [context, key](const bool& failed_step, const std::string&) {
                     OnRequestedLeaderboardReset(failed_step, key, context);
                   });
  };
  // The key of the period each rollover closes ("" when not recorded).
  const auto closed = [context](int period_index) {
    const auto& end = context->period_ends[period_index];
    return end ? end->idempotency_key : std::string();
  };
  RedisCache::ResetDailyLeaderboard(id, option, closed(0), on_cache_reset(0));
  reset_db(&DbConnection::ResetDailyLeaderboard, id + "_day");
  RedisCache::ResetWeeklyLeaderboard(id, option, closed(1), on_cache_reset(1));
  reset_db(&DbConnection::ResetWeeklyLeaderboard, id + "_week");
  RedisCache::ResetMonthlyLeaderboard(id, option, closed(2), on_cache_reset(2));
  reset_db(&DbConnection::ResetMonthlyLeaderboard, id + "_month");
}

void OnRequestedLeaderboardReset(
    bool error, const std::string& leaderboard_key,
    const std::shared_ptr<LeaderboardResetContext>& context) {
  VLOG(2) << "OnRequestedLeaderboardReset called";
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(context->mutex);
    const std::int64_t left = CountStepDone(context);
    if (error) {
      context->failed = true;
      LOG(ERROR) << "Failed to reset leaderboard"
                 << ": leaderboard_key=" << leaderboard_key;
    }
    if (left > 0) {
      if (!error) {
        VLOG(2) << "Processing reset for the remaining leaderboard"
                << ": leaderboard_key=" << leaderboard_key;
      }
      return;
    }
    failed = context->failed;
  }
  if (failed) {
    SendInternalDbError(context);
    return;
  }
  context->session->Send(
      *vel::LeaderboardMessageWriter::CreateLeaderboardResetResponse(
          context->request_uuid, false, context->schedule_date_time));
}

}  // namespace

bool LeaderboardService::ForceResetLeaderboard(
    const std::string& leaderboard_key, std::string* message) {
  LEADERBOARD_ASSERT(message);
  const auto schedule = ResetScheduleRegistry::Find(leaderboard_key);
  if (!schedule) {
    *message = "Could not find leaderboard in reset schedule";
    LOG(WARNING) << *message << ": leaderboard key: " << leaderboard_key;
    return false;
  }
  LOG(INFO) << "Resetting the leadeboard forcibly"
            << ": " << leaderboard_key;
  RankingOption option;
  RankingOptions::GetRankingOption(schedule->leaderboard_id(), &option);
  // The period's end is recorded before anything rolls over, so that its
  // notification cannot be lost once the reset is answered.
  const auto period_end =
      PeriodEnds::ForcedEnd(*schedule, ResetSchedule::Now());
  std::string error;
  if (!PeriodEnds::RecordForcedEnd(period_end, &error)) {
    *message = "Failed to record the end of the period";
    LOG(ERROR) << *message << ": leaderboard key: " << leaderboard_key
               << ", error: " << error;
    return false;
  }

  const std::string closed_period =
      period_end ? period_end->idempotency_key : std::string();
  auto barrier = std::make_shared<ForcedReset>();
  const auto on_cache_reset = [leaderboard_key, barrier, period_end](
                                  bool error, const std::string& id) {
    TopAnswerCache::DropAnswersOf(id);
    PeriodEnds::OnRolledOver(period_end, !error);
    OnLeaderboardCacheForcedlyReset(error, leaderboard_key, barrier);
  };
  switch (schedule->period()) {
    case ResetScheduleTime::kDay:
      RedisCache::ResetDailyLeaderboard(schedule->leaderboard_id(), option,
                                        closed_period, on_cache_reset);
      break;
    case ResetScheduleTime::kWeek:
      if (FLAGS_use_leaderboard_table_with_date) {
        // Each week has dated keys and tables of its own: nothing moves.
        barrier->Finish(true, "");
      } else {
        RedisCache::ResetWeeklyLeaderboard(schedule->leaderboard_id(), option,
                                           closed_period, on_cache_reset);
      }
      break;
    case ResetScheduleTime::kMonth:
      RedisCache::ResetMonthlyLeaderboard(schedule->leaderboard_id(), option,
                                          closed_period, on_cache_reset);
      break;
  }
  bool result = false;
  {
    std::unique_lock<std::mutex> lock(barrier->mutex);
    barrier->finished_cv.wait(lock, [&] { return barrier->finished; });
    result = barrier->result;
    if (!result) *message = barrier->message;
  }
  if (result) {
    *message = "Succeed to reset leaderboard forcibly";
    LOG(ERROR) << *message << ": " << leaderboard_key;
    return true;
  }
  LOG(ERROR) << "Failed to reset leaderboard forcibly"
             << ": " << leaderboard_key;
  return false;
}

}  // namespace plemox
