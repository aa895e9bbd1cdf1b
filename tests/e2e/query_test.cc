// Leaderboard queries through the real host and client: the three
// numberings, every range, social rankings, batches, dated weekly keys and
// the latency counters.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/answer_checks.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/leaderboard_cleanup.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using RankingType = LeaderboardQuery::Request::RankingType;

std::string QueryPrefix() { return "e2eq" + std::to_string(getpid()) + "_"; }

struct Entry {
  std::int64_t rank;
  double score;
  std::string account;
  bool operator==(const Entry& o) const {
    return rank == o.rank && score == o.score && account == o.account;
  }
};
std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << "{" << e.rank << ", " << e.score << ", " << e.account << "}";
}

std::vector<Entry> Entries(const LeaderboardQuery::Response& response) {
  std::vector<Entry> entries;
  for (const auto& record : response.record()) {
    entries.push_back(
        {record.rank(), record.score(), record.account_id().local_account()});
  }
  return entries;
}

class QueryTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string p = QueryPrefix();
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + p + "ties\", \"" + p + "nodense\", \"" +
        p + "social\", \"" + p + "batch\"], \"ranking_options\": [" +
        "{\"leaderboard_id\": \"" + p + "nodense\", \"enable_dense\": false}]");
    options.flags = {"--enable_event_profiler=true"};
    server_ = std::make_unique<RunningServer>(options, "query-test");
    client_ = &server_->client();
    // Scores 100 (a, earliest), 100 (b), 100 (c), 90 (d), 80 (e) in both
    // a dense and a non-dense leaderboard.
    for (const char* name : {"ties", "nodense"}) {
      for (const auto& [account, score] :
           std::vector<std::pair<std::string, double>>{
               {"a", 100}, {"b", 100}, {"c", 100}, {"d", 90}, {"e", 80}}) {
        ASSERT_TRUE(Submit(name, account, score).ok());
        // Ties are ordered by the submission's millisecond: the next one
        // must not share it (an answer can take well under a millisecond).
        WaitForNextMillisecond();
      }
    }
  }
  static void WaitForNextMillisecond() {
    const auto now = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
    const auto start = now();
    while (now() <= start) std::this_thread::yield();
  }
  static void TearDownTestSuite() {
    client_ = nullptr;
    server_.reset();
    StoreProbe probe;
    probe.DeleteKeys("leaderboard:" + QueryPrefix() + "*");
    probe.DropTables(QueryPrefix());
  }

  static LeaderboardClient::Result Submit(const std::string& name,
                                          const std::string& account,
                                          double score) {
    return client_->SubmitScore(QueryPrefix() + name,
                                QueryBuilder::Account("guest", account), score,
                                Leaderboard::ScoreSubmission::kHighScore);
  }

  static LeaderboardQuery::Request Public(
      const std::string& name, RankingType type, LeaderboardQuery::Range range,
      std::optional<Leaderboard::AccountId> account = std::nullopt,
      LeaderboardQuery::TimeSpan span = LeaderboardQuery::kAllTime) {
    return QueryBuilder::Public(QueryPrefix() + name, span, type, range,
                                account);
  }

  // Runs `query` and returns its records; fails the test on a failure.
  static std::vector<Entry> Run(const LeaderboardQuery::Request& query,
                                std::int64_t* total = nullptr) {
    const auto result = client_->Query(query);
    EXPECT_TRUE(result.answered()) << result.error;
    EXPECT_FALSE(result.response.has_fail()) << result.response.DebugString();
    if (total)
      *total = result.response.leaderboard_query().total_player_count();
    return Entries(result.response.leaderboard_query());
  }

  static void ExpectInvalid(
      const LeaderboardQuery::Request& query,
      const std::string& message = "Invalid parameter found") {
    const auto result = client_->Query(query);
    ASSERT_TRUE(result.answered()) << result.error;
    ASSERT_TRUE(result.response.has_fail()) << query.ShortDebugString();
    EXPECT_EQ(result.response.fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
    EXPECT_EQ(result.response.fail().message(), message);
  }

  static std::unique_ptr<RunningServer> server_;
  // The client of server_.
  static LeaderboardClient* client_;
};
std::unique_ptr<RunningServer> QueryTest::server_;
LeaderboardClient* QueryTest::client_ = nullptr;

TEST_F(QueryTest, WholeRankingInEveryNumbering) {
  std::int64_t total = 0;
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                       QueryBuilder::AllRange()),
                &total),
            (std::vector<Entry>{{1, 100, "a"},
                                {2, 100, "b"},
                                {3, 100, "c"},
                                {4, 90, "d"},
                                {5, 80, "e"}}));
  EXPECT_EQ(total, 5);
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kCompetition,
                       QueryBuilder::AllRange())),
            (std::vector<Entry>{{1, 100, "a"},
                                {1, 100, "b"},
                                {1, 100, "c"},
                                {4, 90, "d"},
                                {5, 80, "e"}}));
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kDense,
                       QueryBuilder::AllRange())),
            (std::vector<Entry>{{1, 100, "a"},
                                {1, 100, "b"},
                                {1, 100, "c"},
                                {2, 90, "d"},
                                {3, 80, "e"}}));
}

TEST_F(QueryTest, FromTopSlicesStartingInsideATieGroup) {
  const auto slice = QueryBuilder::TopRange(1, 3);
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kCompetition, slice)),
            (std::vector<Entry>{{1, 100, "b"}, {1, 100, "c"}, {4, 90, "d"}}));
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kPosition, slice)),
            (std::vector<Entry>{{2, 100, "b"}, {3, 100, "c"}, {4, 90, "d"}}));
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kDense,
                       QueryBuilder::TopRange(3, 4))),
            (std::vector<Entry>{{2, 90, "d"}, {3, 80, "e"}}));
  // Without dense sets the dense rank is still right.
  EXPECT_EQ(Run(Public("nodense", LeaderboardQuery::Request::kDense,
                       QueryBuilder::TopRange(3, 4))),
            (std::vector<Entry>{{2, 90, "d"}, {3, 80, "e"}}));
  // Beyond the end: nothing, not an error.
  std::int64_t total = 0;
  EXPECT_TRUE(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                         QueryBuilder::TopRange(10, 20)),
                  &total)
                  .empty());
  EXPECT_EQ(total, 5);
  // Partly beyond the end: what exists.
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                       QueryBuilder::TopRange(4, 9))),
            (std::vector<Entry>{{5, 80, "e"}}));
}

TEST_F(QueryTest, NearbyWindowsAroundThePlayer) {
  const auto b = QueryBuilder::Account("guest", "b");
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                       QueryBuilder::NearbyRange(-2, 2), b)),
            (std::vector<Entry>{
                {1, 100, "a"}, {2, 100, "b"}, {3, 100, "c"}, {4, 90, "d"}}));
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kCompetition,
                       QueryBuilder::NearbyRange(0, 0),
                       QueryBuilder::Account("guest", "c"))),
            (std::vector<Entry>{{1, 100, "c"}}));
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kDense,
                       QueryBuilder::NearbyRange(0, 0),
                       QueryBuilder::Account("guest", "e"))),
            (std::vector<Entry>{{3, 80, "e"}}));
  // A window above the top never wraps around to the bottom.
  EXPECT_TRUE(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                         QueryBuilder::NearbyRange(-10, -5), b))
                  .empty());
  // A player without an entry gets the placeholder.
  EXPECT_EQ(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                       QueryBuilder::NearbyRange(-1, 1),
                       QueryBuilder::Account("guest", "nobody"))),
            (std::vector<Entry>{{0, 0, "nobody"}}));
  // An empty ranking.
  std::int64_t total = -1;
  EXPECT_TRUE(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                         QueryBuilder::AllRange(), std::nullopt,
                         LeaderboardQuery::kYesterday),
                  &total)
                  .empty());
  EXPECT_EQ(total, 0);
}

TEST_F(QueryTest, SocialRankingsAmongFriends) {
  ASSERT_TRUE(Submit("social", "me", 50).ok());
  ASSERT_TRUE(Submit("social", "f1", 70).ok());
  ASSERT_TRUE(Submit("social", "f2", 50).ok());  // Later than "me".
  ASSERT_TRUE(Submit("social", "stranger", 1000).ok());
  const auto friends = std::vector<Leaderboard::AccountId>{
      QueryBuilder::Account("guest", "f1"),
      QueryBuilder::Account("guest", "f2"),
      QueryBuilder::Account("guest", "absent")};
  std::int64_t total = 0;
  EXPECT_EQ(
      Run(QueryBuilder::Social(QueryPrefix() + "social",
                               QueryBuilder::Account("guest", "me"), friends,
                               LeaderboardQuery::kAllTime,
                               LeaderboardQuery::Request::kCompetition),
          &total),
      (std::vector<Entry>{
          {1, 70, "f1"}, {2, 50, "me"}, {2, 50, "f2"}, {4, 0, "absent"}}));
  EXPECT_EQ(total, 4);
  // Without the player: only the friends.
  auto without = QueryBuilder::Social(
      QueryPrefix() + "social", QueryBuilder::Account("guest", "me"), friends,
      LeaderboardQuery::kAllTime, LeaderboardQuery::Request::kDense);
  without.clear_account_id();
  EXPECT_EQ(
      Run(without, &total),
      (std::vector<Entry>{{1, 70, "f1"}, {2, 50, "f2"}, {3, 0, "absent"}}));
  EXPECT_EQ(total, 3);
  // A social query covers its whole list only.
  without.mutable_range()->CopyFrom(QueryBuilder::TopRange(0, 1));
  ExpectInvalid(without);
}

TEST_F(QueryTest, InvalidQueriesAreRefused) {
  auto no_account = Public("ties", LeaderboardQuery::Request::kPosition,
                           QueryBuilder::NearbyRange(-1, 1));
  ExpectInvalid(no_account);
  auto reversed = Public("ties", LeaderboardQuery::Request::kPosition,
                         QueryBuilder::TopRange(5, 1));
  ExpectInvalid(reversed);
  ExpectInvalid(Public("ties", LeaderboardQuery::Request::kPosition,
                       QueryBuilder::TopRange(-1, 3)));
  auto all_with_bounds = Public("ties", LeaderboardQuery::Request::kPosition,
                                QueryBuilder::TopRange(0, 3));
  all_with_bounds.mutable_range()->set_type(LeaderboardQuery::Range::kAll);
  ExpectInvalid(all_with_bounds);
  auto unsafe_id = Public("ties", LeaderboardQuery::Request::kPosition,
                          QueryBuilder::AllRange());
  unsafe_id.set_leaderboard_id("a b");
  // The refusal states the id rule.
  ExpectInvalid(unsafe_id, kInvalidLeaderboardIdMessage);
  auto empty_id = unsafe_id;
  empty_id.set_leaderboard_id("");
  empty_id.set_time_span(LeaderboardQuery::kWeekly);
  ExpectInvalid(empty_id);
  auto missing = unsafe_id;
  missing.clear_ranking_type();
  ExpectInvalid(missing);
  auto bad_competitor = Public("ties", LeaderboardQuery::Request::kPosition,
                               QueryBuilder::AllRange());
  bad_competitor.add_competitors()->set_local_account("no-provider");
  ExpectInvalid(bad_competitor);
}

TEST_F(QueryTest, BatchesAnswerInOrderOrFailAsAWhole) {
  std::vector<LeaderboardQuery::Request> batch = {
      Public("ties", LeaderboardQuery::Request::kPosition,
             QueryBuilder::TopRange(0, 0)),
      Public("ties", LeaderboardQuery::Request::kDense,
             QueryBuilder::TopRange(3, 3)),
      Public("nodense", LeaderboardQuery::Request::kCompetition,
             QueryBuilder::AllRange())};
  auto result = client_->QueryBatch(batch);
  ASSERT_TRUE(result.answered());
  ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  ASSERT_EQ(result.response.leaderboard_queries_size(), 3);
  EXPECT_EQ(Entries(result.response.leaderboard_queries(0)),
            (std::vector<Entry>{{1, 100, "a"}}));
  EXPECT_EQ(Entries(result.response.leaderboard_queries(1)),
            (std::vector<Entry>{{2, 90, "d"}}));
  EXPECT_EQ(result.response.leaderboard_queries(2).record_size(), 5);

  // One invalid query refuses the batch before anything runs.
  auto invalid = batch;
  invalid[2].clear_range();
  result = client_->QueryBatch(invalid);
  ASSERT_TRUE(result.response.has_fail());
  EXPECT_EQ(result.response.fail().message(), "Invalid parameter found");
  EXPECT_EQ(client_->QueryBatch({}).response.fail().message(),
            "Invalid parameter found");

  // A cache failure in the middle: one failure answer, no partial results.
  // A key of the wrong type makes Redis refuse the ranking commands.
  StoreProbe probe;
  const std::string broken = "leaderboard:" + QueryPrefix() + "batch:daily";
  probe.SetString(broken, "not a ranking");
  auto failing = batch;
  failing[1] =
      Public("batch", LeaderboardQuery::Request::kPosition,
             QueryBuilder::AllRange(), std::nullopt, LeaderboardQuery::kDaily);
  result = client_->QueryBatch(failing);
  ASSERT_TRUE(result.answered());
  ASSERT_TRUE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.fail().code(), Leaderboard::Response::kFailUnknown);
  EXPECT_EQ(result.response.fail().message(), "Internal error");
  EXPECT_EQ(result.response.leaderboard_queries_size(), 0);
}

TEST_F(QueryTest, CountersCountQueriesAndSubmissions) {
  ASSERT_FALSE(Run(Public("ties", LeaderboardQuery::Request::kPosition,
                          QueryBuilder::AllRange()))
                   .empty());
  const auto answer = HttpRequest(server_->host().api_port(), "GET",
                                  "/v1/counters/leaderboard/profiling/");
  ASSERT_EQ(answer.status, 200);
  const auto report = nlohmann::json::parse(answer.body);
  EXPECT_GE(report["all_time"]["query_count"].get<int>(), 1);
  EXPECT_GE(report["all_time"]["score_submission_count"].get<int>(), 10);
  EXPECT_GT(
      report["all_time"]["score_submission_time_max_in_sec"].get<double>(), 0);
}

// Dated weekly keys: the week of a kWeekly query is the weekly schedule's
// next reset, that of kLastWeek its past reset.
TEST(DatedWeeklyQueryTest, WeeklyAndLastWeekReadTheirDatedKeys) {
  const std::string id = QueryPrefix() + "dated";
  // Weekly from a Monday; the next reset is the first Monday on or after
  // today, the past one a week before.
  const auto today = boost::posix_time::second_clock::local_time().date();
  auto next = boost::gregorian::date(2021, 2, 8);
  while (next < today) next += boost::gregorian::days(7);
  const auto past = next - boost::gregorian::days(7);
  const auto text = [](boost::gregorian::date d) {
    return boost::gregorian::to_iso_string(d);
  };

  // Dated tables are created for every week up to the end: keep it near.
  const std::string ends = boost::gregorian::to_iso_extended_string(
      next + boost::gregorian::days(14));
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + id +
      "\"], \"reset_schedules\": [{\"leaderboard_id\": \"" + id +
      "\", \"period\": \"week\", \"interval\": 1, \"starts\": \"2021-02-08 "
      "00:00:00\", \"ends\": \"" +
      ends + " 00:00:00\"}]");
  options.flags = {"--use_leaderboard_table_with_date=true",
                   "--leaderboard_use_db_stored_procedure=false"};
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {id});
  RunningServer server(options, "dated");
  LeaderboardClient& client = server.client();
  ASSERT_TRUE(client
                  .SubmitScore(id, QueryBuilder::Account("guest", "now"), 5,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  const std::string this_week =
      "leaderboard:" + id + "_" + text(next) + ":weekly";
  const std::string last_week =
      "leaderboard:" + id + "_" + text(past) + ":weekly";
  ASSERT_EQ(probe.SortedSet(this_week).size(), 1u);
  // Last week's ranking as the previous week's submissions left it.
  probe.CopyKey(this_week, last_week);
  probe.CopyKey(this_week + ":timestamp", last_week + ":timestamp");
  ASSERT_TRUE(client
                  .SubmitScore(id, QueryBuilder::Account("guest", "later"), 9,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());

  const auto weekly = client.Query(QueryBuilder::Public(
      id, LeaderboardQuery::kWeekly, LeaderboardQuery::Request::kPosition,
      QueryBuilder::AllRange()));
  EXPECT_EQ(Entries(weekly.response.leaderboard_query()),
            (std::vector<Entry>{{1, 9, "later"}, {2, 5, "now"}}));
  const auto last = client.Query(QueryBuilder::Public(
      id, LeaderboardQuery::kLastWeek, LeaderboardQuery::Request::kPosition,
      QueryBuilder::AllRange()));
  EXPECT_EQ(Entries(last.response.leaderboard_query()),
            (std::vector<Entry>{{1, 5, "now"}}));
  server.Stop();
}

}  // namespace
}  // namespace plemox_test
