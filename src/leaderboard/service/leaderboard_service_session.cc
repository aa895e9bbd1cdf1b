// Connections, authentication and disconnection.
#include <glog/logging.h>

#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session_registry.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {

void LeaderboardService::OnAuthenticationRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::LeaderboardAuthentication::Request& request) {
  VLOG(2) << "OnAuthenticationRequested called";
  using Result = Leaderboard::LeaderboardAuthentication::Response;
  // With an allow list, other app ids never authenticate; a session that
  // already has is told so below.
  if (!RequestLimits::IsAllowedAppId(request.app_id()) &&
      session->state() != ClientSession::kAuthenticated) {
    constexpr std::size_t kLoggedAppIdLength = 64;
    LOG(WARNING) << "Authentication() "
                 << "failed: "
                 << "Access denied, the app id is not allowed"
                 << ": app id="
                 << request.app_id().substr(0, kLoggedAppIdLength)
                 << ", session=" << session;
    service_internal::SendFail(session, request_uuid,
                               Leaderboard::Response::kFailUnauthenticatedApp,
                               "Access denied, authentication required");
    return;
  }
  const ClientSession::State before = session->Authenticate(request.app_id());
  if (before == ClientSession::kAuthenticated) {
    LOG(WARNING) << "The session is already authenticated"
                 << ": session=" << session;
    session->Send(
        *vel::LeaderboardMessageWriter::CreateLeaderboardAuthenticationResponse(
            request_uuid, Result::kFailAlreadyAuthenticated,
            "The session is already authenticated"));
    return;
  }
  if (before != ClientSession::kCreated && before != ClientSession::kClosed) {
    LOG(WARNING) << "Unexpected authentication request. the session is not "
                    "created or already closed"
                 << ": session=" << session;
    return;
  }

  auto response =
      vel::LeaderboardMessageWriter::CreateLeaderboardAuthenticationResponse(
          request_uuid, Result::kSuccess, "");
  auto* authentication = response->mutable_leaderboard_authentication();
  for (const ResetSchedule& schedule : ResetScheduleRegistry::Snapshot()) {
    auto* entry = authentication->add_reset_schedules();
    entry->set_leaderboard_id(schedule.leaderboard_id());
    entry->set_period(static_cast<std::int64_t>(schedule.period()));
    entry->set_interval(schedule.interval());
    entry->set_starts(DateTimeToCompactText(schedule.starts()));
    entry->set_ends(DateTimeToCompactText(schedule.ends()));
  }
  session->Send(*response);
  LOG(INFO) << "Succeed to authenticate the session"
            << ": session=" << session;
}

void LeaderboardService::OnTcpDisconnected(
    const std::shared_ptr<vel::Transport>& transport,
    const boost::system::error_code& error) {
  VLOG(2) << "OnTcpDisconnected called";
  if (error) {
    LOG(WARNING) << "Disconnected: " << error.message()
                 << ", error code: " << error.value();
  }
  SessionRegistry::Remove(transport);
}

}  // namespace plemox
