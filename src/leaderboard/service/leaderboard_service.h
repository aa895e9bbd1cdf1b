// The leaderboard service: one process-wide instance whose state lives in
// process-wide variables, its operations free functions of the service. This
// header holds where control enters the service: the component's entry points
// (install thread), the host's connection and message callbacks, one handler
// per request type (event threads), the forced reset of the HTTP API, and the
// state the metrics read. The steps behind them (checks, completions, the
// master election, the reset check) are declared under internal/.
#pragma once

#include <boost/system/error_code.hpp>
#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "database/store/db_connection.h"
#include "leaderboard.pb.h"
#include "leaderboard/service/message_received_event.h"
#include "leaderboard/service/session.h"
#include "vel/core/buffer.h"
#include "vel/core/json.h"
#include "vel/net/transport.h"

namespace plemox {

class LeaderboardService {
 public:
  using Uuid = boost::uuids::uuid;

  // Brings the service up: records the leaderboard ids, builds the reset
  // schedules and ranking options, prepares the ranking cache and the
  // database, starts listening on `port` and starts the master election.
  // Every failure is a fatal stop, so it returns true when it returns.
  // Install thread.
  static bool Start(
      const std::string& io_group_name, std::uint16_t port,
      const vel::Json& leaderboard_ids, const vel::Json& reset_schedules,
      const vel::Json& ranking_options, const std::string& server_url,
      const std::string& user_id, const std::string& password,
      const std::string& database_name, std::uint64_t connection_count,
      const std::string& character_set, std::int64_t slow_query_threshold_ms);

  // Stops listening, ends the master election and closes the database
  // connections (queued writes finish first). The configured leaderboard ids
  // stay: handlers still running may read them. Uninstall thread.
  static void Shutdown();

  // Recovery mode, instead of Start(): rebuilds the Redis rankings from
  // every score table of the database whose leaderboard id is in the
  // comma-separated `target_ids` (all when empty; pieces are not trimmed).
  // Unless `force`, asks once per leaderboard id (prompt in the log, one
  // word from standard input; "y" or "n" in any case, a closed input is
  // "n"). Redis, database and inventory failures are fatal; a table that
  // cannot be read returns false. Rankings take the options registered in
  // RankingOptions (the manifest's and the leaderboard definitions' that
  // the installer loaded; the default without any). Install thread; blocks.
  static bool RunRecovery(const std::string& server_url,
                          const std::string& user_id,
                          const std::string& password,
                          const std::string& database_name,
                          std::uint64_t connection_count,
                          const std::string& character_set,
                          std::int64_t slow_query_threshold_ms,
                          const std::string& target_ids, bool force);

  // Registers the routes under "/v1/leaderboard_schedules/" with the host's
  // HTTP API (leaderboard_service_api.cc), and those of the period archive
  // and its notifications (leaderboard_service_period_api.cc). Install
  // thread, after Start.
  static void RegisterApiRoutes();

  // The host's callbacks of one connection, installed on every accepted
  // transport (TCP I/O threads): the disconnect drops the connection's
  // session; a received body is copied into a MessageReceivedEvent and
  // posted to the event threads.
  static void OnTcpDisconnected(
      const std::shared_ptr<vel::Transport>& transport,
      const boost::system::error_code& error);
  static void OnTcpReceived(const std::shared_ptr<vel::Transport>& transport,
                            const vel::Transport::HeaderMap& headers,
                            const vel::Buffer& body);

  // Parses one received message, finds or creates its connection's session
  // and calls the handler of its request type; a message that cannot be
  // served is logged and not answered. Event threads. Returns 0.
  static int OnMessageReceived(
      const std::shared_ptr<MessageReceivedEvent>& event);

  // The request handlers, one per request type (event threads). Each refuses
  // a request it cannot serve with a failure answer, or starts its flow and
  // returns without waiting for it; the flow answers from its completions
  // (authentication answers at once).
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

  // Rolls the leaderboard of schedule `leaderboard_key` over now (cache, then
  // database) without touching the schedule or the reset log, and waits for
  // it. Returns whether it succeeded; *message says what happened. Must not
  // run on a cache or database completion thread (HTTP API threads).
  // REQUIRES: message != nullptr.
  static bool ForceResetLeaderboard(const std::string& leaderboard_key,
                                    std::string* message);

  // The leaderboard ids the service knows, in id order: the manifest's
  // `leaderboard_ids`, with stored procedures the ids created at run time
  // whose tables this process made or found since start-up, and the ids
  // defined at run time (LeaderboardDefinitions, retired ones excepted).
  // Empty before start-up. Any thread.
  static std::vector<std::string> leaderboard_ids();

  // The database connection of the service; null before start-up and after
  // shutdown (callers then skip the database step). Any thread.
  static std::shared_ptr<DbConnection> db_connection();

  // This server's identity in the master election: "external-ip:port"; ""
  // before start-up. Any thread after start-up.
  static const std::string& self_master_info();

  // The identity this server last saw or wrote as master; "" before the
  // first answer. Any thread.
  static std::string master_info();

  LeaderboardService() = delete;
};

}  // namespace plemox
