// Whether the reset of one schedule at a given schedule date time has been
// performed, and when: read from the reset log.
#include <glog/logging.h>

#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/leaderboard_service.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {
namespace {

using service_internal::CheckAuthenticated;
using service_internal::RefuseInvalidParameter;
using service_internal::SendFail;

// The completion of the reset log lookup (database client threads): answers
// whether the reset of `leaderboard_key` at `schedule_date_time` has been
// performed and when, or kFailUnknown "internal error" when the database
// failed.
void OnResetScheduleStatusQueried(
    bool error, bool already_reset, const std::string& reset_date_time,
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    const std::string& schedule_date_time,
    const std::shared_ptr<ClientSession>& session,
    const LeaderboardService::Uuid& request_uuid) {
  VLOG(2) << "OnResetScheduleStatusQueried called";
  if (error) {
    LOG(ERROR) << "ScheduleStatusQuery() "
               << "failed: "
               << "session=" << session
               << ", leaderboard_id= " << leaderboard_id
               << ", leaderboard_key=" << leaderboard_key
               << ", schedule_date_time=" << schedule_date_time;
    SendFail(session, request_uuid, Leaderboard::Response::kFailUnknown,
             "internal error");
    return;
  }
  VLOG(2) << "ScheduleStatusQuery(): "
          << "Succeed to query reset schedule status: session=" << session
          << ", leaderboard_id=" << leaderboard_id
          << ", leaderboard_key=" << leaderboard_key
          << ", schedule_date_time=" << schedule_date_time
          << ", reset_date_time=" << reset_date_time;
  session->Send(
      *vel::LeaderboardMessageWriter::CreateResetScheduleStatusQueryResponse(
          request_uuid, Leaderboard::ResetScheduleStatusQuery::Response::kOk,
          already_reset, reset_date_time));
}

}  // namespace

void LeaderboardService::OnResetScheduleStatusQueryRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::ResetScheduleStatusQuery::Request& request) {
  VLOG(2) << "OnResetScheduleStatusQueryRequested called";
  if (!CheckAuthenticated(session, request_uuid, "ScheduleStatusQuery")) {
    return;
  }
  const auto refuse = [&] {
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter,
             "Invalid parameter found");
  };
  if (!request.has_leaderboard_id() || !request.has_period()) {
    LOG(WARNING) << "ScheduleStatusQuery() "
                 << "failed: "
                 << "Invalid parameter found"
                 << ": session=" << session
                 << ", has_leaderboard_id=" << request.has_leaderboard_id()
                 << ", has_period=" << request.has_period();
    refuse();
    return;
  }
  if (request.leaderboard_id().empty()) {
    RefuseInvalidParameter(session, request_uuid, "ScheduleStatusQuery",
                           "No leaderboard ID");
    return;
  }
  // Both texts reach the reset log's columns (as escaped values, never as
  // names); longer ones cannot name a schedule or a logged reset. Any other
  // id simply has no schedule.
  if (request.leaderboard_id().size() > kMaxLeaderboardIdLength) {
    RefuseInvalidParameter(session, request_uuid, "ScheduleStatusQuery",
                           "leaderboard id too long");
    return;
  }
  if (RequestLimits::CountCharacters(request.schedule_date_time()) >
      RequestLimits::kMaxScheduleDateTimeLength) {
    RefuseInvalidParameter(session, request_uuid, "ScheduleStatusQuery",
                           "schedule date time too long");
    return;
  }
  const std::int32_t period = request.period();
  if (period < 0 || period > 2) {
    LOG(WARNING) << "ScheduleStatusQuery() "
                 << "failed: "
                 << "Unexpected value"
                 << ": name='period', value=" << period
                 << ", session=" << session;
    refuse();
    return;
  }
  const std::string& leaderboard_id = request.leaderboard_id();
  const std::string leaderboard_key =
      ResetScheduleRegistry::MakeLeaderboardKeyByPeriod(leaderboard_id, period);
  if (!ResetScheduleRegistry::HasSchedule(leaderboard_key)) {
    session->Send(
        *vel::LeaderboardMessageWriter::CreateResetScheduleStatusQueryResponse(
            request_uuid,
            Leaderboard::ResetScheduleStatusQuery::Response::kNoSchedule, false,
            ""));
    return;
  }
  // The reset log is looked up by the exact text; an empty one names no
  // reset.
  if (request.schedule_date_time().empty()) {
    RefuseInvalidParameter(session, request_uuid, "ScheduleStatusQuery",
                           "No schedule date time");
    return;
  }
  const auto db = db_connection();
  if (!db) {
    SendFail(session, request_uuid, Leaderboard::Response::kFailUnknown,
             "internal error");
    return;
  }
  const std::string schedule_date_time = request.schedule_date_time();
  db->QueryResetScheduleLog(
      leaderboard_id, leaderboard_key, schedule_date_time,
      [session, request_uuid, leaderboard_id, leaderboard_key,
       schedule_date_time](const bool& failed, const bool& found,
                           const std::string& reset_date_time) {
        OnResetScheduleStatusQueried(failed, found, reset_date_time,
                                     leaderboard_id, leaderboard_key,
                                     schedule_date_time, session, request_uuid);
      });
}

}  // namespace plemox
