// Reception of messages, their envelope checks and the dispatch by request
// type.
#include <glog/logging.h>

#include <boost/uuid/uuid_io.hpp>

#include "leaderboard/core/game_server_keys.h"
#include "leaderboard/service/game_port_access.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session_registry.h"
#include "vel/core/event.h"
#include "vel/core/util.h"

namespace plemox {
namespace {

constexpr char kIncompatibleClient[] =
    "This can cause when your Leaderboard is not compatible with the Ruvo "
    "engine. Please upgrade your Leaderboard.";

// The right a request type needs of the session's key; 0 for none.
std::uint32_t RequiredRight(std::int32_t type) {
  switch (type) {
    case Leaderboard::Request::kScoreSubmission:
      return GameServerKeys::kSubmit;
    case Leaderboard::Request::kLeaderboardQuery:
    case Leaderboard::Request::kLeaderboardQueries:
    case Leaderboard::Request::kResetScheduleStatusQuery:
      return GameServerKeys::kQuery;
    case Leaderboard::Request::kScoreDeletions:
      return GameServerKeys::kDelete;
    case Leaderboard::Request::kLeaderboardReset:
      return GameServerKeys::kReset;
    default:
      return 0;
  }
}

// Refuses, whole, a request of an authenticated session whose key lacks the
// right its type needs; true when it did. A session that has not
// authenticated is left to the request gate of its handler.
bool RefuseMissingRight(const std::shared_ptr<ClientSession>& session,
                        const LeaderboardService::Uuid& request_uuid,
                        std::int32_t type) {
  const std::uint32_t needed = RequiredRight(type);
  if (needed == 0 || session->state() != ClientSession::kAuthenticated ||
      (session->rights() & needed) != 0) {
    return false;
  }
  const std::string right =
      GameServerKeys::RightName(static_cast<GameServerKeys::Right>(needed));
  GamePortAccess::CountRefusal(GamePortAccess::kMissingRight);
  LOG(WARNING) << "Request() failed: Access denied, the key lacks the right "
               << right << ": request type=" << type << ", session=" << session;
  service_internal::SendFail(
      session, request_uuid, Leaderboard::Response::kFailUnauthenticatedApp,
      "Access denied, the key lacks the right: " + right);
  return true;
}

}  // namespace

void LeaderboardService::OnTcpReceived(
    const std::shared_ptr<vel::Transport>& transport,
    const vel::Transport::HeaderMap& /*headers*/, const vel::Buffer& body) {
  VLOG(2) << "OnTcpReceived called";
  auto event = std::make_shared<MessageReceivedEvent>();
  event->transport = transport;
  event->buffer = body;
  vel::Event::Post(event);
}

bool service_internal::ParseRequest(const vel::Buffer& buffer,
                                    Leaderboard::Request* request,
                                    Uuid* request_uuid) {
  if (!request->ParseFromArray(buffer.GetReadableBuffer(),
                               static_cast<int>(buffer.GetReadableSize()))) {
    LOG(WARNING) << "Failed to parse the received message"
                 << ": " << buffer.GetReadableSize();
    LeaderboardMetrics::CountUnanswered(LeaderboardMetrics::kUnparsable);
    return false;
  }
  if (!request->has_request_uuid()) {
    LOG(ERROR) << "Missing required parameter"
               << ", "
               << "no request uuid"
               << ". " << kIncompatibleClient;
    LeaderboardMetrics::CountUnanswered(LeaderboardMetrics::kNoRequestUuid);
    return false;
  }
  if (!request->has_type()) {
    LOG(ERROR) << "Missing required parameter"
               << ", "
               << "no request type"
               << ". " << kIncompatibleClient;
    LeaderboardMetrics::CountUnanswered(LeaderboardMetrics::kNoRequestType);
    return false;
  }
  *request_uuid = vel::util::FromBytes(request->request_uuid());
  return true;
}

int LeaderboardService::OnMessageReceived(
    const std::shared_ptr<MessageReceivedEvent>& event) {
  VLOG(2) << "OnMessageReceived called";
  const vel::Buffer buffer = event->buffer;
  auto transport = event->transport.lock();
  if (!transport || !transport->IsOpen()) {
    // A closed connection must not get a session: nothing would remove it.
    LOG(WARNING) << "No transport";
    return 0;
  }
  auto session = SessionRegistry::GetOrCreate(transport);

  Leaderboard::Request request;
  Uuid request_uuid;
  if (!service_internal::ParseRequest(buffer, &request, &request_uuid)) {
    transport->NoAnswer();
    return 0;
  }
  VLOG(1) << "The received message"
          << ": request from=" << session << ", request uuid=" << request_uuid
          << ", request type=" << request.type();

  if (Leaderboard::Request::Type_IsValid(request.type())) {
    session->ExpectAnswer(request_uuid, request.type());
  }
  if (RefuseMissingRight(session, request_uuid, request.type())) return 0;
  switch (request.type()) {
    case Leaderboard::Request::kLeaderboardAuthentication:
      OnAuthenticationRequested(session, request_uuid,
                                request.leaderboard_authentication());
      break;
    case Leaderboard::Request::kLeaderboardQuery:
      OnQueryRequested(session, request_uuid, request.leaderboard_query());
      break;
    case Leaderboard::Request::kScoreSubmission:
      OnScoreSubmissionRequested(session, request_uuid,
                                 request.score_submission());
      break;
    case Leaderboard::Request::kLeaderboardQueries:
      OnQueriesRequested(session, request_uuid, request.leaderboard_queries());
      break;
    case Leaderboard::Request::kScoreDeletions:
      OnScoreDeletionRequested(session, request_uuid,
                               request.score_deletions());
      break;
    case Leaderboard::Request::kResetScheduleStatusQuery:
      OnResetScheduleStatusQueryRequested(
          session, request_uuid, request.reset_schedule_status_query());
      break;
    case Leaderboard::Request::kLeaderboardReset:
      OnLeaderboardResetRequested(session, request_uuid,
                                  request.leaderboard_reset());
      break;
    default:
      LOG(WARNING) << "Invalid request type found"
                   << ": " << request.type();
      LeaderboardMetrics::CountUnanswered(LeaderboardMetrics::kUnknownType);
      transport->NoAnswer();
      break;
  }
  return 0;
}

}  // namespace plemox
