// Connections, authentication (with the game server keys and the client
// certificate subjects when they are on) and disconnection.
#include <glog/logging.h>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/client_certificate_subjects.h"
#include "leaderboard/core/game_server_keys.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/failed_authentications.h"
#include "leaderboard/service/game_port_access.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session_registry.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {

namespace {

using Result = Leaderboard::LeaderboardAuthentication::Response;
constexpr std::size_t kLoggedAppIdLength = 64;
constexpr char kInvalidKeyMessage[] =
    "Access denied, the app id or the key is not valid";

// ", certificate subject=..." for log lines while the mapping is on, else
// "".
std::string CertificateSubjectText(
    const std::shared_ptr<ClientSession>& session) {
  if (!ClientCertificateSubjects::Enabled()) return "";
  const std::string subject = session->certificate_subject();
  return ", certificate subject=" + (subject.empty() ? "-" : subject);
}

void SendInvalidKey(const std::shared_ptr<ClientSession>& session,
                    const LeaderboardService::Uuid& request_uuid,
                    const std::string& message) {
  session->Send(
      *vel::LeaderboardMessageWriter::CreateLeaderboardAuthenticationResponse(
          request_uuid, Result::kFailInvalidKey, message));
}

// Why a client certificate of `subject` may not authenticate as `app_id`,
// or null when the mapping is off or maps the subject to that app id.
const char* CertificateRefusal(const std::string& subject,
                               const std::string& app_id) {
  if (!ClientCertificateSubjects::Enabled()) return nullptr;
  std::string mapped;
  if (!ClientCertificateSubjects::AppIdOf(subject, &mapped)) {
    return "the client certificate's subject is not in "
           "server_tls_client_subjects_file";
  }
  if (mapped != app_id) {
    return "the client certificate's subject is mapped to another app id";
  }
  return nullptr;
}

// The checks of an authentication when keys or the client certificate
// subjects are on. True with *rights and *key_id (the key's; with keys off
// every right and no key id) when the app id, the certificate and the key
// agree; otherwise the refusal has been answered (and the connection closed
// when the address passed its limit). The certificate is checked before the
// key, so a certificate of one app cannot be used to try keys of another.
bool CheckAccess(const std::shared_ptr<ClientSession>& session,
                 const LeaderboardService::Uuid& request_uuid,
                 const Leaderboard::LeaderboardAuthentication::Request& request,
                 std::uint32_t* rights, std::string* key_id) {
  const std::string peer = session->peer();
  const std::string address = GamePortAccess::PeerAddress(peer);
  const auto now = FailedAuthentications::Clock::now();
  const std::string app_id = request.app_id().substr(0, kLoggedAppIdLength);
  if (GamePortAccess::failures().IsWaiting(address, now)) {
    GamePortAccess::CountRefusal(GamePortAccess::kAddressWaiting);
    LOG(WARNING) << "Authentication() failed: Access denied, the address "
                    "waits after too many failed authentications: peer="
                 << peer << ", app id=" << app_id << ", session=" << session;
    SendInvalidKey(session, request_uuid,
                   "Access denied, too many failed authentications from this "
                   "address; try again later");
    session->CloseConnection();
    return false;
  }
  const char* reason = nullptr;
  GamePortAccess::Refusal refusal = GamePortAccess::kInvalidKey;
  if (session->refused()) {
    // One try per connection: a guesser has to connect again every time.
    reason = "an earlier authentication on this connection was refused";
    refusal = GamePortAccess::kRefusedBefore;
  } else if (!RequestLimits::IsAllowedAppId(request.app_id())) {
    reason = "the app id is not allowed";
    refusal = GamePortAccess::kAppIdNotAllowed;
  } else if (const char* certificate = CertificateRefusal(
                 session->certificate_subject(), request.app_id())) {
    reason = certificate;
    refusal = GamePortAccess::kCertificateMismatch;
  } else if (GameServerKeys::Enabled() &&
             !GameServerKeys::Check(request.app_id(), request.key(), rights,
                                    key_id)) {
    reason = "no key of the app id matches";
  }
  if (reason == nullptr) return true;
  session->MarkRefused();
  GamePortAccess::CountRefusal(refusal);
  // The key itself is never logged; its length tells a truncated one.
  LOG(WARNING) << "Authentication() failed: " << kInvalidKeyMessage << ": "
               << reason << ": peer=" << peer << ", app id=" << app_id
               << ", key length=" << request.key().size()
               << CertificateSubjectText(session) << ", session=" << session;
  if (GamePortAccess::failures().CountFailure(address, now)) {
    GamePortAccess::CountClosure(GamePortAccess::kTooManyFailures);
    LOG(WARNING) << "Closing the connection: too many failed "
                    "authentications from the address; it waits: peer="
                 << peer << ", max_failed_authentications_per_minute="
                 << FLAGS_max_failed_authentications_per_minute
                 << ", wait seconds="
                 << FLAGS_failed_authentication_wait_seconds;
    // Closed unanswered, at once: the address waits from now on, and no
    // answer could race with a next try on this connection.
    session->CloseConnection();
    return false;
  }
  SendInvalidKey(session, request_uuid,
                 refusal == GamePortAccess::kRefusedBefore
                     ? std::string(kInvalidKeyMessage) +
                           "; an earlier authentication on this connection "
                           "was refused, connect again"
                     : std::string(kInvalidKeyMessage));
  return false;
}

}  // namespace

void LeaderboardService::OnAuthenticationRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::LeaderboardAuthentication::Request& request) {
  VLOG(2) << "OnAuthenticationRequested called";
  std::uint32_t rights = GameServerKeys::kAllRights;
  std::string key_id;
  const bool guarded = GamePortAccess::Guarded();
  if (guarded && session->state() != ClientSession::kAuthenticated &&
      !CheckAccess(session, request_uuid, request, &rights, &key_id)) {
    return;
  }
  // With an allow list, other app ids never authenticate; a session that
  // already has is told so below.
  if (!guarded && !RequestLimits::IsAllowedAppId(request.app_id()) &&
      session->state() != ClientSession::kAuthenticated) {
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
  const ClientSession::State before =
      session->Authenticate(request.app_id(), rights);
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
  if (guarded) {
    LOG(INFO) << "Succeed to authenticate the session"
              << ": session=" << session
              << (GameServerKeys::Enabled() ? ", key id=" + key_id : "")
              << CertificateSubjectText(session)
              << ", rights=" << GameServerKeys::RightsText(rights);
  } else {
    LOG(INFO) << "Succeed to authenticate the session"
              << ": session=" << session;
  }
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
