// Request types this version of the server does not serve yet. They keep the
// authentication gate of every request and then answer with a clear failure,
// so that a game server is never left waiting for an answer.
#include <glog/logging.h>

#include "leaderboard/leaderboard_service.h"

namespace plemox {
namespace {

void RefuseUnavailable(const std::shared_ptr<ClientSession>& session,
                       const LeaderboardService::Uuid& request_uuid,
                       const char* operation) {
  if (!LeaderboardService::CheckAuthenticated(session, request_uuid,
                                              operation)) {
    return;
  }
  LOG(WARNING) << operation << "() "
               << "failed: "
               << "The request type is not available in this version"
               << ": session=" << session;
  LeaderboardService::SendFail(
      session, request_uuid, Leaderboard::Response::kFailUnknown,
      "The request type is not available in this version");
}

}  // namespace

void LeaderboardService::OnLeaderboardResetRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Leaderboard::LeaderboardReset::Request& /*request*/) {
  RefuseUnavailable(session, request_uuid, "LeaderboardReset");
}

}  // namespace plemox
