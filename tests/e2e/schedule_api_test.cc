// The administrative HTTP routes under /v1/leaderboard_schedules/ over real
// sockets: schedule status, the reset log and the forced reset.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/leaderboard_cleanup.h"
#include "support/private_redis.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Json = nlohmann::ordered_json;
using plemox::QueryBuilder;

std::string ScheduleApiPrefix() { return UniquePrefix("e2eapi"); }

// Starts far ahead, so no scheduled reset happens during the tests.
const posix_time::ptime kStarts =
    posix_time::time_from_string("2098-01-05 06:00:00");

class ScheduleApiTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string p = ScheduleApiPrefix();
    auto options = HostProcess::Options::WithArguments(ArgumentsJson(
        {p + "a", p + "b"},
        {ScheduleJson(p + "a", "day", kStarts),
         ScheduleJson(p + "a", "week", kStarts),
         ScheduleJson(p + "b", "month", kStarts, "2099-06-30 00:00:00")}));
    options.flags = {"--enable_reset_leaderboard_api=true"};
    server_ = std::make_unique<RunningServer>(options, "schedule-api-test");
  }
  static void TearDownTestSuite() {
    server_.reset();
    StoreProbe().ForgetLeaderboards(ScheduleApiPrefix());
  }

  static HttpAnswer Call(const std::string& method, const std::string& path) {
    return HttpRequest(server_->host().api_port(), method, path);
  }
  // The JSON body of a 200 answer with the JSON content type.
  static Json Get(const std::string& path) {
    const auto answer = Call("GET", path);
    EXPECT_EQ(answer.status, 200) << path;
    EXPECT_EQ(answer.content_type, "application/json") << path;
    return Json::parse(answer.body, nullptr, false);
  }

  static std::unique_ptr<RunningServer> server_;
  StoreProbe probe_;
};
std::unique_ptr<RunningServer> ScheduleApiTest::server_;

TEST_F(ScheduleApiTest, StatusOfAllAndOfOneSchedule) {
  const std::string p = ScheduleApiPrefix();
  const Json all = Get("/v1/leaderboard_schedules/status/all/");
  ASSERT_TRUE(all.is_array()) << all;
  // Registry order is the order of the keys.
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["key"], p + "a_day");
  EXPECT_EQ(all[1]["key"], p + "a_week");
  EXPECT_EQ(all[2]["key"], p + "b_month");

  const Json week = Get("/v1/leaderboard_schedules/status/" + p + "a_week/");
  EXPECT_EQ(week, all[1]);
  std::vector<std::string> members;
  for (const auto& item : week.items()) members.push_back(item.key());
  EXPECT_EQ(members, (std::vector<std::string>{
                         "key", "leaderboard_id", "period", "interval",
                         "starts", "ends", "schedule_date_time",
                         "past_date_time", "next_date_time", "expired"}));
  EXPECT_EQ(week["leaderboard_id"], p + "a");
  EXPECT_EQ(week["period"], "week");
  EXPECT_EQ(week["interval"], 1);
  EXPECT_EQ(week["starts"], "2098-Jan-05 06:00:00");
  EXPECT_EQ(week["ends"], "2099-Jan-01 00:00:00");
  EXPECT_EQ(week["next_date_time"], "2098-Jan-05 06:00:00");
  EXPECT_EQ(week["past_date_time"], "2097-Dec-29 06:00:00");
  EXPECT_EQ(week["expired"], false);
  EXPECT_EQ(all[2]["ends"], "2099-Jun-30 00:00:00");

  EXPECT_EQ(Get("/v1/leaderboard_schedules/status/" + p + "nothing/"),
            Json::object());
  // Keys are letters, digits and '_' only: anything else matches no route.
  EXPECT_EQ(Call("GET", "/v1/leaderboard_schedules/status/a-b/").status, 404);
}

TEST_F(ScheduleApiTest, ResetLogOfAllAndOfOneKey) {
  const std::string p = ScheduleApiPrefix();
  ASSERT_EQ(probe_.Execute("INSERT INTO reset_schedule_log(leaderboard_key, "
                           "schedule_date_time) VALUES('" +
                           p + "b_month', '20980105T060000')"),
            "");
  const Json one = Get("/v1/leaderboard_schedules/log/" + p + "b_month/");
  ASSERT_TRUE(one.is_object()) << one;
  EXPECT_EQ(one["error"], false);
  EXPECT_EQ(one["message"], "OK");
  ASSERT_EQ(one[p + "b_month"].size(), 1u) << one;
  EXPECT_EQ(one[p + "b_month"][0]["schedule_date_time"], "20980105T060000");
  EXPECT_TRUE(one[p + "b_month"][0]["reset_date_time"].is_string());

  // A registered key without rows has an empty list.
  EXPECT_EQ(Get("/v1/leaderboard_schedules/log/" + p + "a_day/")[p + "a_day"],
            Json::array());

  const Json all = Get("/v1/leaderboard_schedules/log/all/");
  EXPECT_EQ(all["error"], false);
  EXPECT_EQ(all[p + "b_month"], one[p + "b_month"]);

  const Json unknown = Get("/v1/leaderboard_schedules/log/" + p + "nothing/");
  EXPECT_EQ(unknown, Json::parse(R"({"error": true,
      "message": "The leaderboard key does not exist"})"));
}

TEST_F(ScheduleApiTest, ForcedResetRollsTheScheduleOverNow) {
  const std::string id = ScheduleApiPrefix() + "b";
  ASSERT_TRUE(server_->client()
                  .SubmitScore(id, QueryBuilder::Account("guest", "p1"), 7,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  ASSERT_TRUE(
      WaitFor([&] { return probe_.ScoreRows(id + "_monthly")->size() == 1; }));
  const Json before = Get("/v1/leaderboard_schedules/status/" + id + "_month/");

  const auto answer =
      Call("PUT", "/v1/leaderboard_schedules/" + id + "_month/");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.content_type, "application/json");
  EXPECT_EQ(
      answer.body,
      R"({"result":true,"result_desc":"Succeed to reset leaderboard forcibly"})");
  EXPECT_FALSE(probe_.KeyExists("leaderboard:" + id + ":monthly"));
  EXPECT_EQ(probe_.SortedSet("leaderboard:" + id + ":lastmonth").size(), 1u);
  EXPECT_EQ(probe_.ScoreRows(id + "_monthly")->size(), 0u);
  EXPECT_EQ(probe_.ScoreRows(id + "_lastmonth")->size(), 1u);
  // The schedule and the log are left as they were.
  EXPECT_EQ(Get("/v1/leaderboard_schedules/status/" + id + "_month/"), before);
  EXPECT_TRUE(probe_
                  .Rows("SELECT 1 FROM reset_schedule_log WHERE "
                        "leaderboard_key = '" +
                        id +
                        "_month' AND schedule_date_time <> "
                        "'20980105T060000'")
                  .empty());

  const auto unknown = Call("PUT", "/v1/leaderboard_schedules/" +
                                       ScheduleApiPrefix() + "nothing_day/");
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(
      unknown.body,
      R"({"result":false,"result_desc":"Could not find leaderboard in reset schedule"})");
  // The reading routes take GET only.
  EXPECT_EQ(Call("PUT", "/v1/leaderboard_schedules/status/all/").status, 405);
}

TEST(ResetFailureTest, CacheFailureIsReportedAndLeavesTheDatabaseAlone) {
  const std::string scheduled = ScheduleApiPrefix() + "f",
                    free = ScheduleApiPrefix() + "g";
  auto redis = std::make_unique<PrivateRedis>();
  auto options = HostProcess::Options::WithArguments(ArgumentsJson(
      {scheduled, free}, {ScheduleJson(scheduled, "month", kStarts)}));
  options.flags = {redis->HostFlag(), "--enable_reset_leaderboard_api=true"};
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {scheduled, free});
  RunningServer server(options, "reset-failure");
  ASSERT_TRUE(server.client()
                  .SubmitScore(scheduled, QueryBuilder::Account("guest", "p1"),
                               7, Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  ASSERT_TRUE(WaitFor(
      [&] { return probe.ScoreRows(scheduled + "_monthly")->size() == 1; }));
  redis.reset();  // Redis goes away.

  const auto answer =
      HttpRequest(server.host().api_port(), "PUT",
                  "/v1/leaderboard_schedules/" + scheduled + "_month/");
  EXPECT_EQ(
      answer.body,
      R"({"result":false,"result_desc":"Failed to reset the leaderboard cache"})");
  // No database rollover after a failed cache one.
  EXPECT_EQ(probe.ScoreRows(scheduled + "_monthly")->size(), 1u);

  // A requested reset still finishes all its steps and reports the failure;
  // its log rows stay.
  const auto reset = server.client().RequestReset(free);
  ASSERT_TRUE(reset.answered()) << reset.error;
  ASSERT_TRUE(reset.response.has_fail()) << reset.response.DebugString();
  EXPECT_EQ(reset.response.fail().code(), Leaderboard::Response::kFailUnknown);
  EXPECT_EQ(reset.response.fail().message(), "internal db error");
  EXPECT_EQ(probe
                .Rows("SELECT leaderboard_key FROM reset_schedule_log WHERE "
                      "leaderboard_key LIKE '" +
                      free + "\\_%'")
                .size(),
            3u);
  server.Stop();
}

TEST(ScheduleApiWithoutResetFlagTest, HasNoResetRouteAndListensOnLoopback) {
  const std::string id = ScheduleApiPrefix() + "c";
  HostProcess host(HostProcess::Options::WithArguments(
      ArgumentsJson({id}, {ScheduleJson(id, "day", kStarts)})));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
  EXPECT_EQ(HttpRequest(host.api_port(), "PUT",
                        "/v1/leaderboard_schedules/" + id + "_day/")
                .status,
            404);
  EXPECT_EQ(HttpRequest(host.api_port(), "GET",
                        "/v1/leaderboard_schedules/status/" + id + "_day/")
                .status,
            200);
  EXPECT_NE(host.Log().find("HTTP API listening on 127.0.0.1:" +
                            std::to_string(host.api_port())),
            std::string::npos)
      << host.Log();
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0);
  StoreProbe().ForgetLeaderboards(id);
}

}  // namespace
}  // namespace plemox_test
