// Start-up and shutdown of the real host with the leaderboard component:
// every configuration check stops the process with its message, a good
// configuration serves and stops cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/http_get.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

constexpr char kIds[] = R"("leaderboard_ids": ["stage1", "stage2"])";

struct FatalCase {
  std::string name;
  std::string arguments;
  std::vector<std::string> flags;
  std::string message;
};

// Starts the host and expects it to stop by itself with `message` logged.
void ExpectFatalStop(const FatalCase& c) {
  SCOPED_TRACE(c.name);
  HostProcess::Options options;
  options.arguments_json = c.arguments;
  options.flags = c.flags;
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  const int status = host.WaitForExit();
  EXPECT_NE(ExitCode(status), 0) << host.Log();
  EXPECT_NE(host.Log().find(c.message), std::string::npos)
      << "expected: " << c.message << "\nlog:\n"
      << host.Log();
}

TEST(ServiceStartupTest, FlagChecksStopWithTheirMessages) {
  const std::vector<FatalCase> cases = {
      {"empty character set",
       kIds,
       {"--mysql_db_character_set="},
       "The 'mysql_db_character_set' flag value is empty"},
      {"zero slow query threshold",
       kIds,
       {"--mysql_db_slow_query_threshold_time_in_ms=0"},
       "The 'mysql_db_slow_query_threshold_time_in_ms' flag must be greater "
       "than zero."},
      {"negative slow query threshold",
       kIds,
       {"--mysql_db_slow_query_threshold_time_in_ms=-1"},
       "The 'mysql_db_slow_query_threshold_time_in_ms' flag must be greater "
       "than zero."},
      {"redis disabled",
       kIds,
       {"--enable_redis=false"},
       "The 'enable_redis' flag must be set to 'true' to start the "
       "Leaderboard service."},
      {"dated tables with stored procedures",
       kIds,
       {"--use_leaderboard_table_with_date=true"},
       "The 'leaderboard_use_db_stored_procedure' flag must be set to 'false' "
       "if the 'use_leaderboard_table_with_date' flag is enabled."},
      {"export with automatic schema",
       kIds,
       {"--export_db_schema_to_file=/tmp/schema.sql"},
       "The 'export_db_schema_to_file' flag must be empty"},
      {"bulk insert without flush interval",
       kIds,
       {"--leaderboard_use_db_bulk_insert=true",
        "--force_flush_interval_in_msec=0"},
       "The 'force_flush_interval_in_msec' flag must be a positive number."},
      // Checks run in order: the first failing one is reported.
      {"first failing check wins",
       kIds,
       {"--mysql_db_character_set=", "--enable_redis=false"},
       "The 'mysql_db_character_set' flag value is empty"},
      {"recovery requires alsologtostderr",
       kIds,
       {"--recover_leaderboard=true"},
       "The '--alsologtostderr' flag must be set to enter the recovery mode."},
      // The test host is given --mysql_pw.
      {"database password and its file",
       kIds,
       {"--mysql_pw_file=/dev/null"},
       "MariaDB password refused: give --mysql_pw or --mysql_pw_file, not "
       "both"},
      {"unreadable Redis password file",
       kIds,
       {"--redis_password_file=/nonexistent/redis_pw"},
       "Redis password refused: --redis_password_file: cannot read "
       "/nonexistent/redis_pw: No such file or directory"},
      {"Sentinel password as flag and file",
       kIds,
       {"--redis_sentinels=127.0.0.1:1", "--redis_sentinel_master=m",
        "--redis_sentinel_password=x",
        "--redis_sentinel_password_file=/dev/null"},
       "Redis Sentinel password refused: give --redis_sentinel_password or "
       "--redis_sentinel_password_file, not both"},
      {"client certificate without its key",
       kIds,
       {"--mysql_ssl_cert=/dev/null"},
       "MariaDB TLS refused: --mysql_ssl_cert and --mysql_ssl_key go "
       "together"},
  };
  for (const auto& c : cases) ExpectFatalStop(c);
}

TEST(ServiceStartupTest, ManifestChecksStopWithTheirMessages) {
  const std::vector<FatalCase> cases = {
      {"ids not an array",
       R"("leaderboard_ids": "stage1")",
       {},
       "Assert failed: leaderboard_ids.IsArray(): 'leaderboard_ids' must be "
       "an array type."},
      {"no ids with raw statements",
       R"("leaderboard_ids": [])",
       {"--leaderboard_use_db_stored_procedure=false"},
       "Assert failed: leaderboard_ids.Size() != 0"},
      {"number id",
       R"("leaderboard_ids": ["a", 5])",
       {},
       "Assert failed: leaderboard_ids[i].IsString(): The element of "
       "'leaderboard_ids' must be a string type."},
      // Element by element: the empty string comes before the number.
      {"empty id before a number",
       R"("leaderboard_ids": ["a", "", 5])",
       {},
       "Assert failed: not leaderboard_id.empty(): The element of "
       "'leaderboard_ids' must not be empty."},
      {"duplicated id",
       R"("leaderboard_ids": ["a", "b", "a"])",
       {},
       "Assert failed: the_leaderboard_ids.insert(leaderboard_id).second: "
       "Duplicated leaderboard id found: a"},
      {"id unusable in table names",
       R"("leaderboard_ids": ["a'; DROP"])",
       {},
       "must be made only of letters, digits and underscore"},
      {"bad reset schedule",
       std::string(kIds) +
           R"(, "reset_schedules": [{"leaderboard_id": "stage1",
               "period": "Week", "interval": 1,
               "starts": "2021-02-08 00:00:00", "ends": "2099-01-01 00:00:00"}])",
       {},
       "Assert failed: InitializeResetSchedule(reset_schedules): Failed to "
       "initialize reset schedule."},
      {"zero interval",
       std::string(kIds) +
           R"(, "reset_schedules": [{"leaderboard_id": "stage1",
               "period": "week", "interval": 0,
               "starts": "2021-02-08 00:00:00", "ends": "2099-01-01 00:00:00"}])",
       {},
       "Failed to validate reset schedule"},
      {"unreadable date",
       std::string(kIds) +
           R"(, "reset_schedules": [{"leaderboard_id": "stage1",
               "period": "day", "interval": 1,
               "starts": "yesterday", "ends": "2099-01-01 00:00:00"}])",
       {},
       "Failed to validate reset schedule"},
      {"bad ranking option",
       std::string(kIds) + R"(, "ranking_options": [{"enable_dense": false}])",
       {},
       "Assert failed: InitializeRankingOption(ranking_options): Failed to "
       "initialize ranking options."},
  };
  for (const auto& c : cases) ExpectFatalStop(c);
}

TEST(ServiceStartupTest, PortInUseStopsStartUp) {
  HostProcess first(HostProcess::Options::WithArguments(kIds));
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(first.WaitForPort(first.tcp_port())) << first.Log();

  HostProcess::Options options;
  options.arguments_json = kIds;
  options.flags = {"--server_tcp_port=" + std::to_string(first.tcp_port())};
  HostProcess second(options);
  ASSERT_TRUE(second.Start());
  EXPECT_NE(ExitCode(second.WaitForExit()), 0);
  EXPECT_NE(second.Log().find("Assert failed: the_tcp_server->Start("
                              "service_port): Failed to start the TCP server."),
            std::string::npos)
      << second.Log();
  EXPECT_EQ(ExitCode(first.Stop(SIGTERM)), 0);
}

TEST(ServiceStartupTest, ServesAndStopsCleanlyOnSigterm) {
  HostProcess::Options options;
  // With stored procedures on, an empty list of ids is valid.
  options.arguments_json = R"("leaderboard_ids": [])";
  HostProcess host(options);
  // Only the low 16 bits of the port flag count.
  host.AddFlag("--server_tcp_port=" + std::to_string(65536 + host.tcp_port()));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
  EXPECT_NE(host.Log().find("Getting master information: my info="),
            std::string::npos);

  const int status = host.Stop(SIGTERM);
  EXPECT_EQ(ExitCode(status), 0) << host.Log();
  EXPECT_NE(host.Log().find("Shutdown complete"), std::string::npos);
  EXPECT_NE(host.Log().find("TCP server stopped"), std::string::npos);
}

TEST(ServiceStartupTest, ProfilingCounterIsServedOverHttp) {
  {
    HostProcess host(HostProcess::Options::WithArguments(kIds));
    ASSERT_TRUE(host.Start());
    ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
    const auto answer = HttpRequest(host.api_port(), "GET",
                                    "/v1/counters/leaderboard/profiling/");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.content_type, "application/json");
    EXPECT_EQ(answer.body, "\"The 'enable_event_profiler' flag is disabled.\"");
  }
  HostProcess::Options options;
  options.arguments_json = kIds;
  options.flags = {"--enable_event_profiler=true"};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
  const auto answer = HttpRequest(host.api_port(), "GET",
                                  "/v1/counters/leaderboard/profiling/");
  EXPECT_EQ(answer.status, 200);
  const auto report =
      nlohmann::ordered_json::parse(answer.body, nullptr, false);
  ASSERT_TRUE(report.is_object()) << answer.body;
  std::vector<std::string> members;
  for (const auto& item : report.items()) members.push_back(item.key());
  EXPECT_EQ(members, (std::vector<std::string>{
                         "internal_threads_size", "event_threads_size",
                         "redis_async_threads_size",
                         "mysql_db_connection_count", "all_time", "last1min"}));
  EXPECT_EQ(report["mysql_db_connection_count"], 2);
  ASSERT_EQ(report["all_time"].size(), 16u);
  EXPECT_EQ(report["all_time"].begin().key(), "query_count");
  EXPECT_EQ(report["all_time"]["score_deletion_time_max_in_sec"], 0.0);
  EXPECT_EQ(report["last1min"]["social_query_count"], 0);
}

}  // namespace
}  // namespace plemox_test
