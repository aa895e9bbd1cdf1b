// Start-up and shutdown of the service, its process-wide state, and the
// failure answers and refusals that every request flow shares.
#include "leaderboard/service/leaderboard_service.h"

#include <glog/logging.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "database/store/bulk_insert_queue.h"
#include "database/store/db_write_backlog.h"
#include "database/store/leaderboard_tables.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/period/period_ends.h"
#include "leaderboard/service/database_priority.h"
#include "leaderboard/service/game_port_access.h"
#include "leaderboard/service/internal/master_election.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/schema_installation.h"
#include "leaderboard/service/internal/service_state.h"
#include "leaderboard/service/leaderboard_definitions.h"
#include "vel/core/engine.h"
#include "vel/core/event.h"
#include "vel/core/hardware_info.h"
#include "vel/message/leaderboard_message_writer.h"
#include "vel/net/tcp_server.h"
#include "vel/net/tcp_transport.h"

namespace plemox {
namespace {

std::string the_io_group_name;
// Written by Start() before the first handler can run and never changed
// afterwards (Shutdown leaves it, since handlers may still be running), so
// the handlers read it without a lock.
std::set<std::string> the_leaderboard_ids;
// Set by Start() and taken by Shutdown() on the host thread; guarded all the
// same, so that no other thread ever sees it half torn down.
std::mutex the_tcp_server_mutex;
std::shared_ptr<vel::TcpServer> the_tcp_server;  // GUARDED_BY(mutex)
// Read by completions on cache and database threads while start-up and
// shutdown set it.
std::mutex the_db_connection_mutex;
std::shared_ptr<DbConnection> the_db_connection;  // GUARDED_BY(mutex)
std::string the_self_master_info;

// Creates the transport of one accepted connection (TCP I/O thread).
std::shared_ptr<vel::SocketBase> CreateConnection() {
  auto transport =
      vel::TcpTransport::Create(the_io_group_name, vel::TcpSSLOption::kNullPtr,
                                vel::TransportCompressor::kNullPtr, true);
  if (!transport) return nullptr;  // Logged by the host; refused.
  transport->set_disconnect_handler(&LeaderboardService::OnTcpDisconnected);
  transport->set_receive_handler(&LeaderboardService::OnTcpReceived);
  transport->set_tls(GamePortAccess::TlsContext());
  GamePortAccess::WatchAuthentication(transport);
  return transport->ToSocketBase();
}

// The registries' initialisers under the names that start-up failures
// report.
bool InitializeResetSchedule(const vel::Json& reset_schedules) {
  return ResetScheduleRegistry::InitializeResetSchedule(reset_schedules);
}
bool InitializeRankingOption(const vel::Json& ranking_options) {
  if (!RankingOptions::InitializeRankingOption(ranking_options)) return false;
  service_internal::RegisterTiebreakColumns();
  return true;
}

void RecordLeaderboardIds(const vel::Json& leaderboard_ids) {
  LEADERBOARD_ASSERT(leaderboard_ids.IsArray())
      << "'leaderboard_ids' must be an array type.";
  if (!FLAGS_leaderboard_use_db_stored_procedure) {
    LEADERBOARD_ASSERT(leaderboard_ids.Size() != 0);
  }
  for (std::size_t i = 0; i < leaderboard_ids.Size(); ++i) {
    LEADERBOARD_ASSERT(leaderboard_ids[i].IsString())
        << "The element of 'leaderboard_ids' must be a string type.";
    const std::string leaderboard_id = leaderboard_ids[i].GetString();
    LEADERBOARD_ASSERT(not leaderboard_id.empty())
        << "The element of 'leaderboard_ids' must not be empty.";
    // Ids become parts of table names and Redis keys.
    LEADERBOARD_ASSERT(IsValidLeaderboardId(leaderboard_id))
        << "The element of 'leaderboard_ids' must be made only of letters, "
           "digits and underscore, at most "
        << kMaxLeaderboardIdLength << " characters: " << leaderboard_id;
    LEADERBOARD_ASSERT(the_leaderboard_ids.insert(leaderboard_id).second)
        << "Duplicated leaderboard id found"
        << ": " << leaderboard_id;
  }
}

// The write backlog in Redis (--mysql_db_write_backlog): made before the
// database clients, which hand their writes to it, with a client of its own
// for the replay. Database worker threads; start-up thread.
void StartWriteBacklog(const std::string& server_url,
                       const std::string& user_id, const std::string& password,
                       const std::string& database_name,
                       const std::string& character_set,
                       std::int64_t slow_query_threshold_ms) {
  if (!FLAGS_mysql_db_write_backlog) return;
  auto replay_client = vel::Mariadb::Create(
      server_url, user_id, password, database_name, 1, character_set,
      vel::Mariadb::kDefaultAutoRetryOnDeadlock,
      vel::Mariadb::kDefaultClientFlags, slow_query_threshold_ms,
      vel::Mariadb::kDefaultConnectionFailureHandler);
  LEADERBOARD_ASSERT(replay_client && replay_client->Initialize())
      << "Failed to initialize the write backlog's database connection";
  DbWriteBacklog::Options options;
  options.origin = DbWriteBacklog::MakeOrigin(the_self_master_info);
  auto backlog =
      std::make_shared<DbWriteBacklog>(options, std::move(replay_client));
  DbWriteBacklog::SetProcess(backlog);
  backlog->Start();
  LOG(INFO) << "Database writes that cannot wait for the database go to the "
               "write backlog in Redis: origin="
            << options.origin;
}

// Writes neither written nor handed over yet: what an immediate exit
// leaves behind.
std::string UnwrittenWritesReport() {
  std::size_t queued = 0;
  BulkInsertQueue::ProcessWriteStats(&queued);
  return "Exiting immediately leaves " +
         std::to_string(vel::Mariadb::ProcessPendingWrites() + queued) +
         " database writes neither written nor handed over to the write "
         "backlog; they are in Redis but not in the database";
}

}  // namespace

bool LeaderboardService::Start(
    const std::string& io_group_name, std::uint16_t port,
    const vel::Json& leaderboard_ids, const vel::Json& reset_schedules,
    const vel::Json& ranking_options, const std::string& server_url,
    const std::string& user_id, const std::string& password,
    const std::string& database_name, std::uint64_t connection_count,
    const std::string& character_set, std::int64_t slow_query_threshold_ms) {
  the_io_group_name = io_group_name;
  // The keys first: a bad keys file stops start-up before anything opens.
  std::string access_error;
  LEADERBOARD_ASSERT(GamePortAccess::Configure(&access_error))
      << "Game server keys refused: " << access_error;
  RecordLeaderboardIds(leaderboard_ids);
  LEADERBOARD_ASSERT(InitializeResetSchedule(reset_schedules))
      << "Failed to initialize reset schedule.";
  LEADERBOARD_ASSERT(InitializeRankingOption(ranking_options))
      << "Failed to initialize ranking options.";

  LEADERBOARD_ASSERT(RedisCache::Initialize())
      << "Failed to initialize the Redis database.";
  service_internal::InstallSchema(server_url, user_id, password, database_name,
                                  character_set);
  const std::uint16_t service_port = port;
  const auto external_ip = vel::HardwareInfo::GetExternalIp();
  if (!external_ip.is_unspecified()) {
    the_self_master_info =
        external_ip.to_string() + ":" + std::to_string(service_port);
  }
  LEADERBOARD_ASSERT(not the_self_master_info.empty());
  // The score writes' worker threads yield the CPU to request handling.
  DatabasePriority::CreateAtLowerPriority([&] {
    StartWriteBacklog(server_url, user_id, password, database_name,
                      character_set, slow_query_threshold_ms);
    std::lock_guard<std::mutex> lock(the_db_connection_mutex);
    the_db_connection = DbConnection::Create(
        server_url, user_id, password, database_name, connection_count,
        character_set, slow_query_threshold_ms);
    LEADERBOARD_ASSERT(the_db_connection)
        << "Failed to initialize the database, Please check the database "
           "setting in your MANIFEST.json";
    BulkInsertQueue::InitializeBulkInsert();
  });

  // The leaderboards defined at run time, before the port opens: the first
  // request of one is ranked by its rules.
  LeaderboardDefinitions::Start(server_url, user_id, password, database_name,
                                character_set, slow_query_threshold_ms);

  vel::SetImmediateExitReport(&UnwrittenWritesReport);
  vel::Event::RegisterHandler<MessageReceivedEvent>(
      &LeaderboardService::OnMessageReceived);

  // The archive of closed periods and their notifications, which the
  // resets feed; it opens its MariaDB client before the port opens, so
  // that start-up is over soon after game servers can connect. Its threads
  // yield the CPU to request handling too: a midnight of thousands of
  // closed periods must not slow the requests down.
  DatabasePriority::CreateAtLowerPriority([&] {
    PeriodEnds::Start(server_url, user_id, password, database_name,
                      character_set, slow_query_threshold_ms,
                      the_self_master_info);
  });

  {
    std::lock_guard<std::mutex> lock(the_tcp_server_mutex);
    the_tcp_server = vel::TcpServer::Create(
        the_io_group_name, vel::TcpSSLOption::kNullPtr, &CreateConnection);
    LEADERBOARD_ASSERT(the_tcp_server)
        << "Failed to initialize the TCP server.";
    the_tcp_server->set_bind_address(FLAGS_server_bind_address);
    LEADERBOARD_ASSERT(the_tcp_server->Start(service_port))
        << "Failed to start the TCP server.";
  }

  LOG(INFO) << "Getting master information"
            << ": my info=" << the_self_master_info;
  // The master election, which drives the scheduled resets.
  service_internal::GetMaster();
  return true;
}

void LeaderboardService::Shutdown() {
  std::shared_ptr<vel::TcpServer> tcp_server;
  {
    std::lock_guard<std::mutex> lock(the_tcp_server_mutex);
    tcp_server = std::move(the_tcp_server);
    the_tcp_server.reset();
  }
  if (tcp_server) tcp_server->Stop();
  GamePortAccess::Unconfigure();
  // No election step or reset check may reach the database from here on.
  service_internal::StopMasterElection();
  LeaderboardDefinitions::Stop();
  PeriodEnds::Stop();
  // The connection stays reachable while it drains: a submission that
  // completes now still queues its writes (or, once the client is
  // finalized, hands them over) instead of skipping the database.
  std::shared_ptr<DbConnection> db;
  {
    std::lock_guard<std::mutex> lock(the_db_connection_mutex);
    db = the_db_connection;
  }
  // The replay stops first: it must not compete with the last writes.
  const auto backlog = DbWriteBacklog::Process();
  if (backlog) backlog->Stop();
  // Finalize lets queued writes finish for --mysql_db_shutdown_drain_ms and
  // hands the rest to the write backlog; completions that come later find
  // the client finalized and hand their writes over directly. The bulk queue
  // sends what it still holds before its own connection closes. Both clients
  // drain at once, so the shutdown waits for the drain time once.
  std::thread bulk([] { BulkInsertQueue::FinalizeBulkInsert(); });
  if (db) db->Finalize();
  bulk.join();
  // From here on the other servers may replay what this one handed over.
  if (backlog) {
    backlog->Release();
    const DbWriteBacklog::Stats stats = backlog->stats();
    if (stats.handed_over > 0) {
      LOG(WARNING) << "Shutdown: " << stats.handed_over
                   << " database writes handed over to the write backlog in "
                      "Redis (origin "
                   << backlog->origin()
                   << "); a server sharing this Redis replays them once the "
                      "database answers";
    }
    if (stats.handover_failed > 0) {
      LOG(ERROR) << "Shutdown: " << stats.handover_failed
                 << " database writes could not be handed over to Redis; "
                    "they are in the rankings but LOST to the database";
    }
  }
  {
    std::lock_guard<std::mutex> lock(the_db_connection_mutex);
    the_db_connection.reset();
  }
  // Redis goes after the component: nothing can be handed over from here.
  DbWriteBacklog::SetProcess(nullptr);
  vel::SetImmediateExitReport(nullptr);
}

std::shared_ptr<DbConnection> LeaderboardService::db_connection() {
  std::lock_guard<std::mutex> lock(the_db_connection_mutex);
  return the_db_connection;
}

const std::set<std::string>& service_internal::configured_leaderboard_ids() {
  return the_leaderboard_ids;
}

boost::posix_time::ptime service_internal::WeekReferenceTime(
    const std::string& leaderboard_id,
    Leaderboard::LeaderboardQuery::TimeSpan timespan) {
  if (timespan != Leaderboard::LeaderboardQuery::kWeekly &&
      timespan != Leaderboard::LeaderboardQuery::kLastWeek) {
    return boost::posix_time::ptime(boost::posix_time::not_a_date_time);
  }
  ResetScheduleInfo schedule;
  ResetScheduleRegistry::GetWeeklyScheduleDateTimes(
      leaderboard_id, &schedule.past_date_time, &schedule.next_date_time);
  return WeekReferenceTime(schedule, timespan);
}

boost::posix_time::ptime service_internal::WeekReferenceTime(
    const ResetScheduleInfo& schedule,
    Leaderboard::LeaderboardQuery::TimeSpan timespan) {
  switch (timespan) {
    case Leaderboard::LeaderboardQuery::kWeekly:
      return schedule.next_date_time;
    case Leaderboard::LeaderboardQuery::kLastWeek:
      return schedule.past_date_time;
    default:
      return boost::posix_time::ptime(boost::posix_time::not_a_date_time);
  }
}

bool service_internal::IsConfiguredLeaderboardId(
    const std::string& leaderboard_id) {
  return the_leaderboard_ids.count(leaderboard_id) != 0;
}

std::vector<std::string> LeaderboardService::leaderboard_ids() {
  std::set<std::string> ids(the_leaderboard_ids.begin(),
                            the_leaderboard_ids.end());
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    for (auto& id : LeaderboardTables::Process()->known_ids()) {
      ids.insert(std::move(id));
    }
  }
  for (const auto& id : LeaderboardDefinitions::DefinedIds()) ids.insert(id);
  return std::vector<std::string>(ids.begin(), ids.end());
}

const std::string& LeaderboardService::self_master_info() {
  return the_self_master_info;
}

void service_internal::SendFail(const std::shared_ptr<ClientSession>& session,
                                const Uuid& request_uuid,
                                Leaderboard::Response::Fail code,
                                const std::string& message) {
  session->Send(*vel::LeaderboardMessageWriter::CreateFailResponse(
      request_uuid, code, message));
}

bool service_internal::CheckAuthenticated(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const char* operation) {
  if (session->state() == ClientSession::kAuthenticated) return true;
  LOG(WARNING) << operation << "() "
               << "failed: "
               << "Access denied, authentication required"
               << ": session=" << session;
  SendFail(session, request_uuid,
           Leaderboard::Response::kFailUnauthenticatedApp,
           "Access denied, authentication required");
  return false;
}

void service_internal::RefuseInvalidParameter(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const char* operation, const char* reason) {
  LOG(WARNING) << operation << "() "
               << "failed: "
               << "Invalid parameter found"
               << ". " << reason << ": session=" << session;
  SendFail(session, request_uuid, Leaderboard::Response::kFailInvalidParameter,
           "Invalid parameter found");
}

bool service_internal::CheckLeaderboardId(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const char* operation, const std::string& leaderboard_id) {
  if (IsValidLeaderboardId(leaderboard_id)) return true;
  if (leaderboard_id.empty()) {
    RefuseInvalidParameter(session, request_uuid, operation,
                           "No leaderboard ID");
    return false;
  }
  LOG(WARNING) << operation << "() "
               << "failed: "
               << "Invalid parameter found"
               << ". " << InvalidLeaderboardIdMessage()
               << ": leaderboard id=" << leaderboard_id
               << ", session=" << session;
  SendFail(session, request_uuid, Leaderboard::Response::kFailInvalidParameter,
           InvalidLeaderboardIdMessage());
  return false;
}

}  // namespace plemox
