// The component's entry points: the checks of the command-line flags, the
// choice between service and recovery mode, and the registration of the
// HTTP routes and counters. Called by the host on its main thread.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <cstdint>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_key.h"
#include "database/store/db_write_backlog.h"
#include "leaderboard/console/console_routes.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/database_write_counter.h"
#include "leaderboard/service/leaderboard_definitions.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/profiling_counters.h"
#include "vel/core/argument_map.h"
#include "vel/core/engine.h"
#include "vel/core/host_flags.h"
#include "vel/core/secret_file.h"
#include "vel/http/counter.h"
#include "vel/http/health_checks.h"
#include "vel/mariadb/mariadb_probe.h"
#include "vel/mariadb/mariadb_tls.h"
#include "vel/net/tcp_limit_counters.h"
#include "vel/redis/redis.h"

DECLARE_bool(alsologtostderr);

namespace plemox {
namespace {

// The fixed-order flag checks; the first failure ends the process.
void CheckFlags() {
  if (FLAGS_mysql_db_character_set.empty()) {
    LOG(FATAL) << "The 'mysql_db_character_set' flag value is empty";
  }
  if (FLAGS_mysql_db_slow_query_threshold_time_in_ms <= 0) {
    LOG(FATAL) << "The 'mysql_db_slow_query_threshold_time_in_ms' flag must "
                  "be greater than zero.";
  }
  if (!FLAGS_enable_redis) {
    LOG(FATAL) << "The 'enable_redis' flag must be set to 'true' to start "
                  "the Leaderboard service.";
  }
  if (FLAGS_use_leaderboard_table_with_date &&
      FLAGS_leaderboard_use_db_stored_procedure) {
    LOG(FATAL) << "The 'leaderboard_use_db_stored_procedure' flag must be set "
                  "to 'false' if the 'use_leaderboard_table_with_date' flag "
                  "is enabled.";
  }
  if (!FLAGS_export_db_schema_to_file.empty() &&
      FLAGS_leaderboard_use_db_auto_schema_generation) {
    LOG(FATAL) << "The 'export_db_schema_to_file' flag must be empty if the "
                  "'leaderboard_use_db_auto_schema_generation' flag is "
                  "enabled.";
  }
  if (FLAGS_leaderboard_use_db_bulk_insert &&
      FLAGS_force_flush_interval_in_msec == 0) {
    LOG(FATAL) << "The 'force_flush_interval_in_msec' flag must be a "
                  "positive number.";
  }
  // The profile table's columns hold at most 65535 bytes each.
  constexpr std::uint64_t kMaxProfileColumnBytes = 65535;
  if (FLAGS_max_display_name_bytes > kMaxProfileColumnBytes ||
      FLAGS_max_metadata_bytes > kMaxProfileColumnBytes) {
    LOG(FATAL) << "The 'max_display_name_bytes' and 'max_metadata_bytes' "
                  "flags must not be greater than 65535.";
  }
  if (FLAGS_mysql_db_rotation_connections < 1 ||
      FLAGS_mysql_db_rotation_connections > 32) {
    LOG(FATAL) << "The 'mysql_db_rotation_connections' flag must be 1 to 32.";
  }
  if (FLAGS_submission_id_ttl_seconds < 1) {
    LOG(FATAL) << "The 'submission_id_ttl_seconds' flag must be a positive "
                  "number.";
  }
}

// The database password from --mysql_pw or --mysql_pw_file (never logged)
// and the TLS of every database connection, before the first one opens.
void ConfigureDatabaseAccess() {
  std::string password;
  std::string error;
  if (!vel::SecretFile::Resolve("mysql_pw", FLAGS_mysql_pw, "mysql_pw_file",
                                FLAGS_mysql_pw_file, &password, &error)) {
    LOG(FATAL) << "MariaDB password refused: " << error;
  }
  FLAGS_mysql_pw = password;
  vel::MariadbTls::Options tls;
  tls.ca = FLAGS_mysql_ssl_ca;
  tls.cert = FLAGS_mysql_ssl_cert;
  tls.key = FLAGS_mysql_ssl_key;
  tls.verify_server_cert = FLAGS_mysql_ssl_verify_server_cert;
  if (!vel::MariadbTls::Configure(tls, &error)) {
    LOG(FATAL) << "MariaDB TLS refused: " << error;
  }
  const std::string described = vel::MariadbTls::Describe();
  LOG(INFO) << "MariaDB TLS: " << described;
  LOG_IF(WARNING, tls.enabled() && (tls.ca.empty() || !tls.verify_server_cert))
      << "MariaDB connections are encrypted but the server is not fully "
         "verified ("
      << described
      << "): give --mysql_ssl_ca and keep --mysql_ssl_verify_server_cert on "
         "to rule out an impostor";
}

// Cluster mode of the Redis keys, from the host: keys carry the leaderboard
// id as a hash tag when the host routes to a Redis Cluster, so that every
// command's and script's keys share a slot. Before the first key is built,
// in service and recovery mode alike.
void ConfigureRedisKeys() {
  const bool cluster = vel::Redis::IsCluster();
  SetClusterKeys(cluster);
  if (cluster) {
    LOG(INFO) << "Redis keys carry the leaderboard id as a hash tag "
                 "(\"leaderboard:{<id>}:...\") for the Redis Cluster at "
              << FLAGS_redis_cluster_nodes;
  }
}

bool RunRecoveryMode(const vel::ArgumentMap& arguments) {
  LOG(INFO) << "The Leaderboard recovery mode started.";
  if (FLAGS_recover_leaderboard && !FLAGS_alsologtostderr) {
    LOG(FATAL) << "The '--alsologtostderr' flag must be set to enter the "
                  "recovery mode.";
  }
  // The manifest's ranking options, when it has any, so that a leaderboard
  // kept without dense sets does not get them back from recovery.
  const vel::Json ranking_options =
      arguments.FindArrayArgument("ranking_options");
  // The schedules first: a league's period is one of them.
  LEADERBOARD_ASSERT(ResetScheduleRegistry::InitializeResetSchedule(
      arguments.FindArrayArgument("reset_schedules")))
      << "Failed to initialize reset schedule.";
  LEADERBOARD_ASSERT(RankingOptions::InitializeRankingOption(ranking_options))
      << "Failed to initialize ranking options.";
  // And those of the leaderboards defined at run time, so that a defined
  // lowest-first leaderboard is rebuilt lowest first.
  LEADERBOARD_ASSERT(LeaderboardDefinitions::LoadForRecovery(
      FLAGS_mysql_server_url, FLAGS_mysql_id, FLAGS_mysql_pw,
      FLAGS_mysql_db_name, FLAGS_mysql_db_character_set,
      FLAGS_mysql_db_slow_query_threshold_time_in_ms))
      << "Failed to load the leaderboard definitions.";
  if (!LeaderboardService::RunRecovery(
          FLAGS_mysql_server_url, FLAGS_mysql_id, FLAGS_mysql_pw,
          FLAGS_mysql_db_name, FLAGS_mysql_db_connection_count,
          FLAGS_mysql_db_character_set,
          FLAGS_mysql_db_slow_query_threshold_time_in_ms,
          FLAGS_recovery_target_leaderboard_ids,
          FLAGS_force_leaderboard_recovery)) {
    LOG(FATAL) << "Result: failed to recover the data.";
  }
  const std::string line(42, '-');
  LOG(INFO) << line;
  LOG(INFO) << "Result: The data has been restored.";
  LOG(INFO) << line;
  vel::SetToShutDownEngine();
  return true;
}

// How long the readiness check waits for MariaDB to connect or answer.
constexpr unsigned kReadinessTimeoutSeconds = 2;

// /readyz reports "mariadb" failing while the database does not answer
// SELECT 1 on a connection of its own (not one of the write pool's, so a
// long write queue does not make the server look down).
void InstallDatabaseReadinessCheck() {
  auto probe = std::make_shared<vel::MariadbProbe>(
      FLAGS_mysql_server_url, FLAGS_mysql_id, FLAGS_mysql_pw,
      FLAGS_mysql_db_name, kReadinessTimeoutSeconds);
  vel::HealthChecks::SetReadinessCheck(
      "mariadb", [probe](std::string* error) { return probe->Check(error); });
  // A backlog does not stop the server from serving: the check passes and
  // names it, so that an operator sees it where readiness is looked at.
  vel::HealthChecks::SetReadinessCheck(
      "database_backlog", [](std::string* note) {
        const auto backlog = DbWriteBacklog::Process();
        if (!backlog) return true;
        const DbWriteBacklog::Stats stats = backlog->stats();
        if (stats.entries > 0) {
          *note = std::to_string(stats.entries) +
                  " database writes handed over to Redis wait to be "
                  "replayed; the oldest for " +
                  std::to_string(stats.oldest_age_ms / 1000) + " s";
        }
        return true;
      });
}

bool RunServiceMode(const vel::ArgumentMap& arguments) {
  const bool started = LeaderboardService::Start(
      "default", static_cast<std::uint16_t>(FLAGS_server_tcp_port & 0xFFFF),
      arguments.FindArrayArgument("leaderboard_ids"),
      arguments.FindArrayArgument("reset_schedules"),
      arguments.FindArrayArgument("ranking_options"), FLAGS_mysql_server_url,
      FLAGS_mysql_id, FLAGS_mysql_pw, FLAGS_mysql_db_name,
      FLAGS_mysql_db_connection_count, FLAGS_mysql_db_character_set,
      FLAGS_mysql_db_slow_query_threshold_time_in_ms);
  if (!started) {
    LOG(FATAL) << "Failed to start the Leaderboard service.";
    return false;
  }
  LeaderboardService::RegisterApiRoutes();
  ConsoleRoutes::Register();
  vel::RegisterCallableCounter("leaderboard", "profiling", "",
                               &ProfilingCounters::Report);
  vel::RegisterCallableCounter(
      "leaderboard", "database_writes",
      "Score writes waiting for, kept for and dropped by the database",
      &DatabaseWriteCounter::Report);
  vel::RegisterCallableCounter(
      "tcp", "limits",
      "Game connections refused at max_connections, closed at the frame "
      "read timeout, and paused at max_requests_in_flight",
      &vel::TcpLimitCounters::Report);
  LeaderboardMetrics::InstallCollector();
  InstallDatabaseReadinessCheck();
  return true;
}

}  // namespace
}  // namespace plemox

extern "C" {

bool PlemoxLeaderboardServer_install(const vel::ArgumentMap& arguments) {
  plemox::CheckFlags();
  plemox::ConfigureDatabaseAccess();
  plemox::ConfigureRedisKeys();
  if (FLAGS_recover_leaderboard || FLAGS_force_leaderboard_recovery) {
    return plemox::RunRecoveryMode(arguments);
  }
  return plemox::RunServiceMode(arguments);
}

bool PlemoxLeaderboardServer_uninstall() {
  vel::HealthChecks::RemoveReadinessCheck("mariadb");
  vel::HealthChecks::RemoveReadinessCheck("database_backlog");
  plemox::LeaderboardMetrics::RemoveCollector();
  plemox::LeaderboardService::Shutdown();
  return true;
}

}  // extern "C"
