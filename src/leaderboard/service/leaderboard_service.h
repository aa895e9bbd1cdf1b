// The leaderboard service: one process-wide instance whose state lives in
// process-wide variables. Start() and Shutdown() run on the host thread that
// calls the component's entry points; the request handlers run on the host's
// event threads, the completions on cache and database threads.
#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/ranking_option.h"
#include "common/reset_schedule_info.h"
#include "database/cache/query_result.h"
#include "database/cache/redis_cache.h"
#include "database/store/db_connection.h"
#include "leaderboard.pb.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/service/message_received_event.h"
#include "leaderboard/service/session.h"
#include "vel/core/buffer.h"
#include "vel/core/json.h"
#include "vel/net/transport.h"
#include "vel/redis/redis.h"

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

  // Stops listening and closes the database connections. The configured
  // leaderboard ids stay: handlers still running may read them.
  static void Shutdown();

  // Recovery mode, instead of Start(): rebuilds the Redis rankings from
  // every score table of the database whose leaderboard id is in the
  // comma-separated `target_ids` (all when empty; pieces are not trimmed).
  // Unless `force`, asks once per leaderboard id (prompt in the log, one
  // word from standard input; "y" or "n" in any case, a closed input is
  // "n"). Redis, database and inventory failures are fatal; a table that
  // cannot be read returns false. Rankings take the options registered in
  // RankingOptions (the default without any). Host thread; blocks.
  static bool RunRecovery(const std::string& server_url,
                          const std::string& user_id,
                          const std::string& password,
                          const std::string& database_name,
                          std::uint64_t connection_count,
                          const std::string& character_set,
                          std::int64_t slow_query_threshold_ms,
                          const std::string& target_ids, bool force);

  // The schema step of start-up: installs the tables and procedures of the
  // configured leaderboards, or exports them to the file named by
  // --export_db_schema_to_file (and asks the process to stop), or does
  // nothing when both are off. Failures are fatal. Start-up thread.
  static void InstallSchema(const std::string& server_url,
                            const std::string& user_id,
                            const std::string& password,
                            const std::string& database_name,
                            const std::string& character_set);
  // Writes `schema_scripts` as a script file at `path` and raises SIGTERM.
  static void ExportSchemaScript(const std::string& server_url,
                                 const std::string& database_name,
                                 const std::vector<std::string>& schema_scripts,
                                 const boost::filesystem::path& path);

  // The leaderboard ids of the manifest.
  static const std::set<std::string>& configured_leaderboard_ids();

  // Whether `leaderboard_id` was configured in the manifest.
  static bool IsConfiguredLeaderboardId(const std::string& leaderboard_id);

  // This server's identity in the master election: "external-ip:port".
  static const std::string& self_master_info();

  // The database connection of the service; null before start-up and after
  // shutdown (callers then skip the database step). Any thread.
  static std::shared_ptr<DbConnection> db_connection();

  // The week a request about `timespan` of `leaderboard_id` refers to, for
  // dated weekly keys: the weekly schedule's next reset for kWeekly, its past
  // reset for kLastWeek, and not-a-date-time otherwise or without a weekly
  // schedule. REQUIRES: !leaderboard_id.empty().
  static boost::posix_time::ptime WeekReferenceTime(
      const std::string& leaderboard_id,
      Leaderboard::LeaderboardQuery::TimeSpan timespan);
  // The same week taken from the schedule facts a request already carries,
  // so that every step of one request names the same weekly keys even when a
  // weekly reset moves the registry on in between. Any thread.
  static boost::posix_time::ptime WeekReferenceTime(
      const ResetScheduleInfo& schedule,
      Leaderboard::LeaderboardQuery::TimeSpan timespan);

  // Whether `account` can be stored: ':' separates the parts of ranking
  // members, and the database columns have fixed lengths. On false, *reason
  // says why.
  static bool IsStorableAccount(const Leaderboard::AccountId& account,
                                std::string* reason);

  // Connection handling (TCP I/O threads).
  static void OnTcpDisconnected(
      const std::shared_ptr<vel::Transport>& transport,
      const boost::system::error_code& error);
  static void OnTcpReceived(const std::shared_ptr<vel::Transport>& transport,
                            const vel::Transport::HeaderMap& headers,
                            const vel::Buffer& body);

  // Parses one received body into *request and checks its envelope (a
  // request UUID, taken into *request_uuid, and a type). On failure logs why
  // and returns false; nothing is answered. Any thread.
  static bool ParseRequest(const vel::Buffer& buffer,
                           Leaderboard::Request* request, Uuid* request_uuid);

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
  // Runs one checked query in the cache and answers it; `start_time` is
  // when the request arrived (monotonic clock).
  static void RunQuery(const std::shared_ptr<ClientSession>& session,
                       const Uuid& request_uuid,
                       const Leaderboard::LeaderboardQuery::Request& query,
                       std::int64_t start_time);
  static void OnQueriesRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const google::protobuf::RepeatedPtrField<
          Leaderboard::LeaderboardQuery::Request>& queries);
  static void OnScoreSubmissionRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::ScoreSubmission::Request& request);
  // The checks of a submission's fields before the cache sees it; on
  // failure logs, answers kFailInvalidParameter and returns false. Needs no
  // running service (the configured ids are empty before start-up).
  static bool CheckScoreSubmission(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::ScoreSubmission::Request& request);
  static void OnScoreDeletionRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const google::protobuf::RepeatedPtrField<
          Leaderboard::ScoreDeletion::Request>& deletions);
  // The checks of a batch of deletions before the cache sees the first; on
  // failure logs, answers kFailInvalidParameter and returns false.
  static bool CheckScoreDeletions(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const google::protobuf::RepeatedPtrField<
          Leaderboard::ScoreDeletion::Request>& deletions);
  static void OnResetScheduleStatusQueryRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::ResetScheduleStatusQuery::Request& request);
  static void OnLeaderboardResetRequested(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const Leaderboard::LeaderboardReset::Request& request);

  // The score submission chain (cache, then answer and database writes).
  struct SubmissionContext;
  static void OnScoreCached(
      RedisCache::SubmitStatus status,
      const std::shared_ptr<RedisCache::NewRecords>& new_records,
      const std::shared_ptr<const SubmissionContext>& context);
  // Answers a submission whose outcome in Redis is known, writes its new
  // records to the database and looks up the rank when asked.
  // REQUIRES: new_records is not empty.
  static void OnScoreStored(
      const std::shared_ptr<RedisCache::NewRecords>& new_records,
      const std::shared_ptr<const SubmissionContext>& context);
  // A submission whose outcome is uncertain (leaderboard_service_uncertain.cc):
  // reads the player's entries back once Redis answers again, retrying until
  // the deadline (monotonic microseconds), then answers by what Redis holds.
  static void ReadBackSubmission(
      const std::shared_ptr<const SubmissionContext>& context,
      std::int64_t deadline, int attempt);
  static void OnSubmissionReadBack(
      bool answered, const std::shared_ptr<RedisCache::NewRecords>& stored,
      const std::shared_ptr<const SubmissionContext>& context,
      std::int64_t deadline, int attempt);
  static void OnScoreSubmitted(bool failed,
                               const std::shared_ptr<ClientSession>& session,
                               const Uuid& request_uuid);
  static void OnMyRankGotAfterScoreSubmitted(
      const std::shared_ptr<QueryResult>& result,
      const std::shared_ptr<const SubmissionContext>& context,
      Leaderboard::ScoreSubmission::Response::Result submission_result,
      double score);

  // The checks every query passes before the cache sees it; on failure logs,
  // answers the refusal (the texts of a batch differ a little) and returns
  // false.
  static bool CheckQuery(const std::shared_ptr<ClientSession>& session,
                         const Uuid& request_uuid,
                         const Leaderboard::LeaderboardQuery::Request& query,
                         bool batch);

  // The record cap of one answer (leaderboard_service_answer_size.cc): calls
  // `on_fit` when the answers to `queries` together cannot hold more than
  // --max_records_per_answer records. When the queries alone do not tell
  // (a public kAll query, or spans that add up past the cap), it reads the
  // size of each public query's ranking first, one after the other. Over
  // the cap it logs and answers kFailInvalidParameter with a text that
  // names the cap; when a ranking cannot be read, kFailUnknown. `on_fit`
  // runs on the calling thread or on a cache completion thread.
  // REQUIRES: every query passed CheckQuery.
  struct AnswerSizeCheck;
  static void CheckAnswerSize(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      std::shared_ptr<const std::vector<Leaderboard::LeaderboardQuery::Request>>
          queries,
      bool batch, std::function<void()> on_fit);
  static void ReadRankingSize(const std::shared_ptr<AnswerSizeCheck>& check,
                              std::size_t index);

  // One step of a batch of queries: runs query `index`, then the next, and
  // answers after the last.
  struct BatchContext;
  static void RunBatchStep(const std::shared_ptr<BatchContext>& context,
                           std::size_t index);

  // The score deletion chain: cache, then database, then the next deletion.
  struct ScoreDeletionContext;
  static void RequestScoreDeletion(
      const Uuid& request_uuid,
      const std::shared_ptr<ScoreDeletionContext>& context);
  static void OnScoreCacheDeleted(
      bool error, Leaderboard::ScoreDeletion::Response::Result result,
      const Uuid& request_uuid,
      const std::shared_ptr<ScoreDeletionContext>& context,
      const ResetScheduleInfo& schedule, std::int64_t start_time);
  static void OnScoreDeleted(
      bool failed, Leaderboard::ScoreDeletion::Response::Result result,
      const Uuid& request_uuid,
      const std::shared_ptr<ScoreDeletionContext>& context);

  // The request gate of every handler but authentication: true when the
  // session has authenticated; otherwise logs "<operation>() failed: Access
  // denied, authentication required", answers kFailUnauthenticatedApp and
  // returns false.
  static bool CheckAuthenticated(const std::shared_ptr<ClientSession>& session,
                                 const Uuid& request_uuid,
                                 const char* operation);

  // Logs "<operation>() failed: Invalid parameter found. <reason>:
  // session=<session>" as a warning and answers kFailInvalidParameter
  // "Invalid parameter found".
  static void RefuseInvalidParameter(
      const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
      const char* operation, const char* reason);

  // The master election (leaderboard_service_master.cc): an endless chain of
  // Redis calls and one-second timers on the key "LEADERBOARD_MASTER" that
  // runs on the host's Redis completion and timer threads and schedules
  // CheckResetTime once per turn. GetMaster starts it (end of start-up).
  static void GetMaster();
  static void OnMasterGot(vel::Redis::Result result, const std::string& value);
  static void Elect();
  static void OnElected(vel::Redis::Result result);
  static void Refresh();
  static void OnRefreshed(vel::Redis::Result result, bool key_existed);
  // Ends the chain: no step or reset check starts afterwards, and a running
  // one has finished when it returns. Shutdown thread, before the database
  // connection is released.
  static void StopMasterElection();
  // The identity this server last saw or wrote as master; "" before the
  // first answer. Any thread.
  static std::string master_info();

  // The scheduled reset (leaderboard_service_reset.cc). Moves every schedule
  // on to `now`; as master, performs each reset that fell due once (through
  // the reset log), and on becoming master also the last one that fell due
  // while no server was master. Host timer threads.
  static void CheckResetTime(bool is_master);
  // The rollover of one logged reset by the schedule's period: the cache and
  // the database, issued one after the other. Any thread.
  static void ResetLeaderboard(const std::string& leaderboard_id,
                               const std::string& leaderboard_key,
                               const std::string& schedule_date_time,
                               ResetScheduleTime::Period period,
                               const RankingOption& option);

  // A requested reset (type 11, leaderboard_service_reset_request.cc): three
  // log rows, then the daily, weekly and monthly rollovers, then one answer.
  struct LeaderboardResetContext;
  static void OnRequestedResetLogInserted(
      bool error, bool already_reset, const std::string& leaderboard_id,
      const std::string& leaderboard_key,
      const std::shared_ptr<LeaderboardResetContext>& context);
  static void OnRequestedLeaderboardReset(
      bool error, const std::string& leaderboard_key,
      const std::shared_ptr<LeaderboardResetContext>& context);
  // Rolls the leaderboard of schedule `leaderboard_key` over now (cache, then
  // database) without touching the schedule or the reset log, and waits for
  // it. Returns whether it succeeded; *message says what happened. Must not
  // run on a cache or database completion thread (HTTP API threads).
  // REQUIRES: message != nullptr.
  static bool ForceResetLeaderboard(const std::string& leaderboard_key,
                                    std::string* message);

  // Registers the routes under "/v1/leaderboard_schedules/" with the host's
  // HTTP API (leaderboard_service_api.cc). Install thread, after Start.
  static void RegisterApiRoutes();

  // Answers `request_uuid` on `session` with a failure.
  static void SendFail(const std::shared_ptr<ClientSession>& session,
                       const Uuid& request_uuid,
                       Leaderboard::Response::Fail code,
                       const std::string& message);

  LeaderboardService() = delete;
};

}  // namespace plemox
