// The monitoring endpoints of the running server over HTTP: /metrics after
// real requests (the counters and histograms move by exactly what was
// served, and the text passes the Prometheus parser), and /healthz and
// /readyz while Redis or MariaDB go away and come back.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/http_get.h"
#include "support/leaderboard_cleanup.h"
#include "support/private_redis.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using plemox::QueryBuilder;

// Sample name with its labels as the server writes them -> value.
using Samples = std::map<std::string, double>;

Samples ParseSamples(const std::string& text) {
  Samples samples;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    samples[line.substr(0, space)] =
        std::strtod(line.c_str() + space + 1, nullptr);
  }
  return samples;
}

// -1 marks a sample that is missing, so that a missing series fails the
// comparisons below instead of reading as 0.
double Value(const Samples& samples, const std::string& key) {
  const auto it = samples.find(key);
  return it == samples.end() ? -1 : it->second;
}

std::string Requests(const std::string& type, const std::string& answer) {
  return "plemox_leaderboard_requests_total{answer=\"" + answer + "\",type=\"" +
         type + "\"}";
}

std::string LatencyCount(const std::string& kind) {
  return "plemox_leaderboard_request_duration_seconds_count{kind=\"" + kind +
         "\"}";
}

std::string DatabaseWrites(const std::string& outcome) {
  return "plemox_database_writes_total{outcome=\"" + outcome +
         "\",path=\"single\"}";
}

// The Unix time of a local wall-clock time.
double UnixSeconds(const posix_time::ptime& local) {
  std::tm tm = posix_time::to_tm(local);
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

// Runs the Prometheus project's own text parser (python3-prometheus-client)
// over `text`; returns its "name type samples" lines, or what went wrong.
std::string ParseWithPrometheusClient(const std::string& text, int* exit_code) {
  char path[] = "/tmp/plemox_metrics_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << text;
  // Debian's python3: the package lives in its dist-packages.
  const std::string command = "/usr/bin/python3 '" + SourceDir() +
                              "/tests/support/parse_metrics.py' '" + path +
                              "' 2>&1";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe != nullptr) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
      output.append(buffer, n);
    }
    const int status = pclose(pipe);
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  unlink(path);
  return output;
}

class MetricsTest : public testing::Test {
 protected:
  Samples Scrape(const RunningServer& server) {
    const HttpAnswer answer =
        HttpRequest(const_cast<RunningServer&>(server).host().api_port(), "GET",
                    "/metrics");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.content_type, "text/plain; version=0.0.4; charset=utf-8");
    last_text_ = answer.body;
    return ParseSamples(answer.body);
  }

  const std::string prefix_ = UniquePrefix("e2emet");
  StoreProbe probe_;
  std::string last_text_;
};

TEST_F(MetricsTest, CountsEveryAnswerAndTimingAfterRealRequests) {
  const std::string id = prefix_ + "a";
  const std::string unscheduled = prefix_ + "r";
  const posix_time::ptime future =
      posix_time::second_clock::local_time() + posix_time::hours(2);
  auto options = HostProcess::Options::WithArguments(ArgumentsJson(
      {id, unscheduled},
      {ScheduleJson(id, "day", future),
       ScheduleJson(id, "week",
                    posix_time::time_from_string("2020-01-06 00:00:00"))}));
  // Plain statements: a stored procedure replaced by another test's server
  // starting could refuse a write, which would be counted as failed.
  options.flags = {"--leaderboard_use_db_stored_procedure=false"};
  // Its own Redis, so that this server is the only master candidate.
  PrivateRedis redis;
  options.flags.push_back(redis.HostFlag());
  LeaderboardCleanup cleanup(probe_, {prefix_});
  RunningServer server(options, "metrics-test");
  auto& client = server.client();

  // The master election settles within a few turns of its one-second chain.
  Samples before;
  ASSERT_TRUE(WaitFor(
      [&] {
        before = Scrape(server);
        return Value(before, "plemox_leaderboard_master") == 1;
      },
      std::chrono::seconds(15)))
      << last_text_;
  EXPECT_EQ(Value(before, Requests("kLeaderboardAuthentication", "success")),
            1);
  EXPECT_EQ(
      Value(before, "plemox_leaderboard_sessions{state=\"authenticated\"}"), 1);
  EXPECT_EQ(Value(before, "plemox_tcp_connections_open"), 1);

  // Three players' first scores: a new record in every ranking the
  // leaderboard keeps, each one database write.
  for (int i = 0; i < 3; ++i) {
    const auto result = client.SubmitScore(
        id, QueryBuilder::Account("guest", "p" + std::to_string(i)), 10 + i,
        ScoreSubmission::kHighScore);
    ASSERT_TRUE(result.answered()) << result.error;
    ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  }
  // Refused before the cache: counted by its type and fail code, not timed.
  const auto refused = client.SubmitScore(
      "", QueryBuilder::Account("guest", "p0"), 1, ScoreSubmission::kHighScore);
  ASSERT_TRUE(refused.answered()) << refused.error;
  ASSERT_EQ(refused.response.fail().code(),
            Leaderboard::Response::kFailInvalidParameter);
  for (int i = 0; i < 2; ++i) {
    const auto top = client.Query(QueryBuilder::Public(
        id, LeaderboardQuery::kAllTime, LeaderboardQuery::Request::kPosition,
        QueryBuilder::TopRange(0, 9)));
    ASSERT_TRUE(top.answered()) << top.error;
    ASSERT_FALSE(top.response.has_fail()) << top.response.DebugString();
  }
  const auto social = client.Query(QueryBuilder::Social(
      id, QueryBuilder::Account("guest", "p0"),
      {QueryBuilder::Account("guest", "p1")}, LeaderboardQuery::kAllTime,
      LeaderboardQuery::Request::kPosition));
  ASSERT_TRUE(social.answered()) << social.error;
  ASSERT_FALSE(social.response.has_fail()) << social.response.DebugString();
  const auto deleted =
      client.DeleteScores({{id, QueryBuilder::Account("guest", "p2")}});
  ASSERT_TRUE(deleted.answered()) << deleted.error;
  ASSERT_FALSE(deleted.response.has_fail()) << deleted.response.DebugString();
  const auto reset = client.RequestReset(unscheduled);
  ASSERT_TRUE(reset.answered()) << reset.error;
  ASSERT_FALSE(reset.response.has_fail()) << reset.response.DebugString();
  // A frame that is no protocol message gets no answer.
  ASSERT_TRUE(client.SendRawBytes(std::string("\0\0\0\2\xff\xff", 6)));

  // The rankings that took p0's record (p0 is not deleted): the daily and
  // weekly ones (scheduled) and the all-time one.
  int rankings = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        rankings = 0;
        for (const char* timespan : {"daily", "weekly", "monthly", "alltime"}) {
          const auto rows = probe_.ScoreRows(id + "_" + timespan);
          if (rows && rows->count("guest:p0") == 1) ++rankings;
        }
        return rankings == 3;
      },
      std::chrono::seconds(15)))
      << rankings;
  Samples after;
  ASSERT_TRUE(WaitFor(
      [&] {
        after = Scrape(server);
        return Value(after,
                     "plemox_leaderboard_unanswered_messages_total{"
                     "reason=\"unparsable\"}") == 1 &&
               Value(after,
                     "plemox_database_writes_waiting{path=\"single\"}") == 0 &&
               Value(after, DatabaseWrites("done")) >=
                   Value(before, DatabaseWrites("done")) + 3 * rankings;
      },
      std::chrono::seconds(15)))
      << last_text_;
  const auto delta = [&](const std::string& key) {
    return Value(after, key) - Value(before, key);
  };
  EXPECT_EQ(delta(Requests("kScoreSubmission", "success")), 3);
  EXPECT_EQ(delta(Requests("kScoreSubmission", "kFailInvalidParameter")), 1);
  EXPECT_EQ(delta(Requests("kLeaderboardQuery", "success")), 3);
  EXPECT_EQ(delta(Requests("kScoreDeletions", "success")), 1);
  EXPECT_EQ(delta(Requests("kLeaderboardReset", "success")), 1);
  EXPECT_EQ(delta(Requests("kLeaderboardAuthentication", "success")), 0);
  EXPECT_EQ(delta(LatencyCount("score_submission")), 3);
  EXPECT_EQ(delta(LatencyCount("public_query")), 2);
  EXPECT_EQ(delta(LatencyCount("social_query")), 1);
  EXPECT_EQ(delta(LatencyCount("score_deletion")), 1);
  EXPECT_EQ(delta(LatencyCount("reset_request")), 1);
  // Every observation falls in some bucket: +Inf holds them all.
  EXPECT_EQ(Value(after,
                  "plemox_leaderboard_request_duration_seconds_bucket{"
                  "kind=\"score_submission\",le=\"+Inf\"}"),
            Value(after, LatencyCount("score_submission")));
  EXPECT_GT(Value(after,
                  "plemox_leaderboard_request_duration_seconds_sum{"
                  "kind=\"score_submission\"}"),
            0);
  // The database writes of the new records, and nothing failed.
  EXPECT_EQ(delta(DatabaseWrites("done")), 3 * rankings);
  EXPECT_EQ(Value(after, DatabaseWrites("failed")), 0);
  EXPECT_EQ(Value(after, DatabaseWrites("dropped")), 0);
  EXPECT_EQ(Value(after, "plemox_database_bulk_queue_depth"), 0);
  EXPECT_EQ(Value(after, "plemox_redis_errors_total{kind=\"connection\"}"), 0);

  // The schedules: the daily one has not started, the weekly one has run
  // since 2020 and waits for its next Monday.
  EXPECT_EQ(Value(after,
                  "plemox_reset_schedule_next_reset_timestamp_seconds{"
                  "leaderboard_key=\"" +
                      id + "_day\"}"),
            UnixSeconds(future));
  // Not started: it has no last reset to show.
  EXPECT_EQ(after.count("plemox_reset_schedule_last_reset_timestamp_seconds{"
                        "leaderboard_key=\"" +
                        id + "_day\"}"),
            0u);
  const double next_week =
      Value(after,
            "plemox_reset_schedule_next_reset_timestamp_seconds{"
            "leaderboard_key=\"" +
                id + "_week\"}");
  const double last_week =
      Value(after,
            "plemox_reset_schedule_last_reset_timestamp_seconds{"
            "leaderboard_key=\"" +
                id + "_week\"}");
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_GT(next_week, now);
  EXPECT_LE(last_week, now);
  EXPECT_NEAR(next_week - last_week, 7 * 86400, 3600);

  // The exposition is valid Prometheus text, with the types we mean.
  int exit_code = -1;
  const std::string parsed = ParseWithPrometheusClient(last_text_, &exit_code);
  ASSERT_EQ(exit_code, 0) << parsed;
  for (const char* family :
       {"plemox_leaderboard_requests counter",
        "plemox_leaderboard_request_duration_seconds histogram",
        "plemox_leaderboard_sessions gauge", "plemox_database_writes counter",
        "plemox_database_writes_waiting gauge", "plemox_redis_errors counter",
        "plemox_tcp_connections_open gauge", "plemox_leaderboard_master gauge",
        "plemox_reset_schedule_next_reset_timestamp_seconds gauge",
        "plemox_recovery_rows_replayed counter"}) {
    EXPECT_NE(parsed.find(std::string("\n") + family + " "), std::string::npos)
        << family << " in:\n"
        << parsed;
  }
}

// Polls /readyz until it answers `status`; the last body is in *body.
bool WaitForReadiness(int api_port, int status, nlohmann::json* body,
                      std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        const HttpAnswer answer = HttpRequest(api_port, "GET", "/readyz");
        *body = nlohmann::json::parse(answer.body, nullptr, false);
        return answer.status == status;
      },
      timeout);
}

std::vector<std::string> Failing(const nlohmann::json& body) {
  std::vector<std::string> names;
  if (body.is_object() && body.contains("failing")) {
    for (const auto& name : body["failing"]) names.push_back(name);
  }
  return names;
}

TEST(ReadinessTest, FollowsRedisGoingAwayAndComingBack) {
  PrivateRedis redis;
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + UniquePrefix("e2erdy") + "r\"]");
  options.flags = {redis.HostFlag(), "--redis_timeout_ms=500"};
  RunningServer server(options, "readiness-test");
  const int port = server.host().api_port();
  nlohmann::json body;
  ASSERT_TRUE(WaitForReadiness(port, 200, &body, std::chrono::seconds(10)))
      << body.dump();
  EXPECT_EQ(body["ready"], true);
  EXPECT_EQ(body["checks"]["redis"]["ok"], true) << body.dump();
  EXPECT_EQ(body["checks"]["mariadb"]["ok"], true) << body.dump();
  EXPECT_EQ(body["checks"]["component"]["ok"], true) << body.dump();

  redis.Kill();
  ASSERT_TRUE(WaitForReadiness(port, 503, &body, std::chrono::seconds(5)))
      << body.dump();
  EXPECT_EQ(body["ready"], false);
  EXPECT_EQ(Failing(body), std::vector<std::string>{"redis"}) << body.dump();
  EXPECT_TRUE(body["checks"]["redis"]["error"].is_string()) << body.dump();
  // Alive all the same: the process still serves.
  const HttpAnswer health = HttpRequest(port, "GET", "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(nlohmann::json::parse(health.body, nullptr, false)["status"], "ok");
  // The outage is counted.
  const HttpAnswer metrics = HttpRequest(port, "GET", "/metrics");
  EXPECT_GT(Value(ParseSamples(metrics.body),
                  "plemox_redis_errors_total{kind=\"connection\"}"),
            0)
      << metrics.body;

  redis.Start();
  ASSERT_TRUE(WaitForReadiness(port, 200, &body, std::chrono::seconds(10)))
      << body.dump();
  EXPECT_TRUE(Failing(body).empty()) << body.dump();
  server.Stop();
  EXPECT_NE(server.host().Log().find("Not ready: check=redis"),
            std::string::npos);
}

TEST(ReadinessTest, FollowsMariadbGoingAwayAndComingBack) {
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + UniquePrefix("e2erdy") + "m\"]");
  options.flags = {"--mysql_server_url=" + proxy.url()};
  RunningServer server(options, "readiness-test");
  const int port = server.host().api_port();
  nlohmann::json body;
  ASSERT_TRUE(WaitForReadiness(port, 200, &body, std::chrono::seconds(10)))
      << body.dump();

  proxy.SetClosingNewConnections(true);
  proxy.CutAll();
  ASSERT_TRUE(WaitForReadiness(port, 503, &body, std::chrono::seconds(6)))
      << body.dump();
  EXPECT_EQ(Failing(body), std::vector<std::string>{"mariadb"}) << body.dump();
  EXPECT_EQ(body["checks"]["redis"]["ok"], true) << body.dump();
  EXPECT_EQ(HttpRequest(port, "GET", "/healthz").status, 200);

  proxy.SetClosingNewConnections(false);
  ASSERT_TRUE(WaitForReadiness(port, 200, &body, std::chrono::seconds(10)))
      << body.dump();
  EXPECT_EQ(body["checks"]["mariadb"]["ok"], true) << body.dump();
}

}  // namespace
}  // namespace plemox_test
