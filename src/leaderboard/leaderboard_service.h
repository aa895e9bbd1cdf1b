// The leaderboard service: one process-wide instance whose state lives in
// process-wide variables. Start() and Shutdown() run on the host thread that
// calls the component's entry points; the request handlers run on the host's
// event threads, the completions on cache and database threads.
#pragma once

#include <boost/system/error_code.hpp>
#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "leaderboard.pb.h"
#include "leaderboard/message_received_event.h"
#include "leaderboard/session.h"
#include "vel/buffer.h"
#include "vel/json.h"
#include "vel/transport.h"

namespace plemox {

class LeaderboardService {
 public:
  using Uuid = boost::uuids::uuid;

  // Brings the service up: records the leaderboard ids, builds the reset
  // schedules and ranking options, prepares the ranking cache and the
  // database, and starts listening on `port`. Every failure is a fatal stop,
  // so it returns true when it returns.
  static bool Start(
      const std::string& io_group_name, std::uint16_t port,
      const vel::Json& leaderboard_ids, const vel::Json& reset_schedules,
      const vel::Json& ranking_options, const std::string& server_url,
      const std::string& user_id, const std::string& password,
      const std::string& database_name, std::uint64_t connection_count,
      const std::string& character_set, std::int64_t slow_query_threshold_ms);

  // Stops listening, closes the database connections and forgets the
  // configured leaderboard ids.
  static void Shutdown();

  // Whether `leaderboard_id` was configured in the manifest.
  static bool IsConfiguredLeaderboardId(const std::string& leaderboard_id);

  // This server's identity in the master election: "external-ip:port".
  static const std::string& self_master_info();

  // Connection handling (TCP I/O threads).
  static void OnTcpDisconnected(
      const std::shared_ptr<vel::Transport>& transport,
      const boost::system::error_code& error);
  static void OnTcpReceived(const std::shared_ptr<vel::Transport>& transport,
                            const vel::Transport::HeaderMap& headers,
                            const vel::Buffer& body);

  // Dispatch of one received message (event threads). Returns 0.
  static int OnMessageReceived(
      const std::shared_ptr<MessageReceivedEvent>& event);

  // Request handlers (event threads), one per request type.
  static void OnAuthenticationRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::LeaderboardAuthentication::Request& request);
  static void OnQueryRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::LeaderboardQuery::Request& query);
  static void OnQueriesRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const google::protobuf::RepeatedPtrField<
          Leaderboard::LeaderboardQuery::Request>& queries);
  static void OnScoreSubmissionRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::ScoreSubmission::Request& request);
  static void OnScoreDeletionRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const google::protobuf::RepeatedPtrField<
          Leaderboard::ScoreDeletion::Request>& deletions);
  static void OnResetScheduleStatusQueryRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::ResetScheduleStatusQuery::Request& request);
  static void OnLeaderboardResetRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::LeaderboardReset::Request& request);

  // The request gate of every handler but authentication: true when the
  // session has authenticated; otherwise logs "<operation>() failed: Access
  // denied, authentication required", answers kFailUnauthenticatedApp and
  // returns false.
  static bool CheckAuthenticated(const std::shared_ptr<ClientSession>& session,
                                 const Uuid& request_uuid,
                                 const char* operation);

  // Answers `request_uuid` on `session` with a failure.
  static void SendFail(const std::shared_ptr<ClientSession>& session,
                       const Uuid& request_uuid,
                       Leaderboard::Response::Fail code,
                       const std::string& message);

  LeaderboardService() = delete;
};

}  // namespace plemox
