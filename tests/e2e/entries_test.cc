// Names, metadata and submission ids through the real host: every query form
// carries the players' names and metadata, a resubmission changes them, a
// deletion removes them, recovery of a rebuilt Redis restores them; a kAdd
// resent with its submission id after the client dropped the connection,
// and again after a restart, is applied once; a kAdd beyond the range of a
// double is refused. One scenario, one database of its own (recovery reads
// every table of its database).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/frame_codec.h"
#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/own_database_test.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using plemox::FrameCodec;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;

// What a record of each player must carry: name and metadata, each absent
// when nullopt.
struct Profile {
  std::optional<std::string> name;
  std::optional<std::string> metadata;
};

class EntriesTest : public OwnDatabaseTest {
 protected:
  EntriesTest() : OwnDatabaseTest("e2eent") {}

  std::string Id(const std::string& name) const { return prefix_ + name; }
  std::string Key(const std::string& name, const std::string& suffix) const {
    return "leaderboard:" + Id(name) + ":" + suffix;
  }

  HostProcess::Options Options(std::vector<std::string> flags) const {
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + Id("names") + "\", \"" + Id("adds") +
        "\", \"" + Id("big") + "\"]");
    options.flags = std::move(flags);
    options.flags.push_back("--mysql_db_name=" + database_);
    options.flags.push_back("--max_answer_bytes=8000");
    options.flags.push_back("--max_metadata_bytes=4096");
    return options;
  }

  // Rows of player_profile of leaderboard `name`: "provider:account" ->
  // (name, hex of the metadata).
  std::map<std::string, std::pair<std::string, std::string>> ProfileRows(
      const std::string& name) {
    std::map<std::string, std::pair<std::string, std::string>> rows;
    for (const auto& row :
         probe_.Rows("SELECT service_provider, local_account, display_name, "
                     "HEX(metadata) FROM " +
                     database_ + ".player_profile WHERE leaderboard_id = '" +
                     Id(name) + "'")) {
      rows[row[0] + ":" + row[1]] = {row[2], row[3]};
    }
    return rows;
  }

  // The alltime row's score of `account` on leaderboard `name`, or nullopt.
  std::optional<double> AllTimeRow(const std::string& name,
                                   const std::string& account) {
    const auto rows = probe_.ScoreRows(database_ + "." + Id(name) + "_alltime");
    if (!rows || rows->count("guest:" + account) == 0) return std::nullopt;
    return rows->at("guest:" + account).first;
  }
};

Leaderboard::AccountId Account(const std::string& local_account) {
  return QueryBuilder::Account("guest", local_account);
}

LeaderboardClient::Submission Submission(const std::string& leaderboard_id,
                                         const std::string& account,
                                         double score) {
  LeaderboardClient::Submission submission;
  submission.leaderboard_id = leaderboard_id;
  submission.account = Account(account);
  submission.score = score;
  return submission;
}

// Checks that every record of `response` carries what `expected` says of
// its player (players not listed carry nothing); counts the records.
void ExpectProfiles(const LeaderboardQuery::Response& response,
                    const std::map<std::string, Profile>& expected,
                    std::size_t* records) {
  for (const auto& record : response.record()) {
    ++*records;
    const auto found = expected.find(record.account_id().local_account());
    const Profile profile = found == expected.end() ? Profile() : found->second;
    SCOPED_TRACE(record.ShortDebugString());
    EXPECT_EQ(record.has_display_name(), profile.name.has_value());
    EXPECT_EQ(record.display_name(), profile.name.value_or(""));
    EXPECT_EQ(record.has_metadata(), profile.metadata.has_value());
    EXPECT_EQ(record.metadata(), profile.metadata.value_or(""));
  }
}

// Every query form on leaderboard `id`: public whole, top and around "b",
// social of "a" with "b" and "c"; all three numberings; all-time and the
// previous day. Asked one by one and as one batch.
void ExpectProfilesInEveryQueryForm(
    LeaderboardClient& client, const std::string& id,
    const std::map<std::string, Profile>& expected) {
  std::vector<LeaderboardQuery::Request> queries;
  for (const auto time_span :
       {LeaderboardQuery::kAllTime, LeaderboardQuery::kYesterday}) {
    for (const auto ranking_type : {LeaderboardQuery::Request::kPosition,
                                    LeaderboardQuery::Request::kCompetition,
                                    LeaderboardQuery::Request::kDense}) {
      queries.push_back(QueryBuilder::Public(id, time_span, ranking_type,
                                             QueryBuilder::AllRange()));
      queries.push_back(QueryBuilder::Public(id, time_span, ranking_type,
                                             QueryBuilder::TopRange(0, 1)));
      queries.push_back(QueryBuilder::Public(id, time_span, ranking_type,
                                             QueryBuilder::NearbyRange(-1, 1),
                                             Account("b")));
      queries.push_back(QueryBuilder::Social(id, Account("a"),
                                             {Account("b"), Account("c")},
                                             time_span, ranking_type));
    }
  }
  std::size_t records = 0;
  for (const auto& query : queries) {
    const auto result = client.Query(query);
    ASSERT_TRUE(result.ok()) << result.response.DebugString();
    ExpectProfiles(result.response.leaderboard_query(), expected, &records);
  }
  const auto batch = client.QueryBatch(queries);
  ASSERT_TRUE(batch.ok()) << batch.response.DebugString();
  ASSERT_EQ(batch.response.leaderboard_queries_size(),
            static_cast<int>(queries.size()));
  for (const auto& answer : batch.response.leaderboard_queries()) {
    ExpectProfiles(answer, expected, &records);
  }
  // whole 3, top 2, around b 3, social 3; twice, per numbering and period.
  EXPECT_EQ(records, 2u * 2u * 3u * 11u);
}

// One kAdd of 5 with `submission_id` on `client`'s connection.
LeaderboardClient::Result AddWithId(LeaderboardClient& client,
                                    const std::string& leaderboard_id,
                                    const std::string& submission_id) {
  auto submission = Submission(leaderboard_id, "adder", 5);
  submission.type = ScoreSubmission::kAdd;
  submission.submission_id = submission_id;
  return client.SubmitScore(submission);
}

void ExpectSubmissionAnswer(const LeaderboardClient::Result& result,
                            double score, bool resent) {
  ASSERT_TRUE(result.ok()) << result.error << result.response.DebugString();
  const auto& body = result.response.score_submission();
  EXPECT_EQ(body.result(), ScoreSubmission::Response::kNewRecord);
  EXPECT_DOUBLE_EQ(body.score(), score);
  EXPECT_EQ(body.resent(), resent);
}

TEST_F(EntriesTest, NamesMetadataAndResendsThroughTheWholeService) {
  const std::string names = Id("names");
  const std::string adds = Id("adds");
  const std::string metadata_a("\x00\x01 team=red", 11);
  std::map<std::string, std::string> profiles_before_rebuild;
  {
    RunningServer server(Options({}), "entries-test");
    LeaderboardClient& client = server.client();

    // a: name and metadata; b: a name; c: nothing.
    auto a = Submission(names, "a", 100);
    a.display_name = "\xc3\x85lice";  // "Alice" with a ring above the A
    a.metadata = metadata_a;
    ASSERT_TRUE(client.SubmitScore(a).ok());
    auto b = Submission(names, "b", 90);
    b.display_name = "Bob";
    ASSERT_TRUE(client.SubmitScore(b).ok());
    ASSERT_TRUE(client.SubmitScore(Submission(names, "c", 80)).ok());
    // The previous day: the day's ranking as a rollover would leave it.
    probe_.CopyKey(Key("names", "daily"), Key("names", "yesterday"));
    probe_.CopyKey(Key("names", "daily:timestamp"),
                   Key("names", "yesterday:timestamp"));
    ExpectProfilesInEveryQueryForm(
        client, names,
        {{"a", {"\xc3\x85lice", metadata_a}}, {"b", {"Bob", std::nullopt}}});
    ASSERT_TRUE(WaitFor([&] { return ProfileRows("names").size() == 2; }));
    EXPECT_EQ(ProfileRows("names")["guest:a"],
              std::make_pair(std::string("\xc3\x85lice"),
                             std::string("0001207465616D3D726564")));

    // A lower score is no record, but the new name is kept; metadata not
    // sent is left as it was.
    a = Submission(names, "a", 50);
    a.display_name = "Alicia";
    const auto lower = client.SubmitScore(a);
    ASSERT_TRUE(lower.ok());
    EXPECT_EQ(lower.response.score_submission().result(),
              ScoreSubmission::Response::kNone);
    ExpectProfilesInEveryQueryForm(
        client, names,
        {{"a", {"Alicia", metadata_a}}, {"b", {"Bob", std::nullopt}}});
    ASSERT_TRUE(WaitFor(
        [&] { return ProfileRows("names")["guest:a"].first == "Alicia"; }));
    // Resubmitting what is stored writes nothing to the database (the row
    // keeps a mark); a change does.
    probe_.Execute("UPDATE " + database_ +
                   ".player_profile SET display_name = 'mark' WHERE "
                   "local_account = 'b'");
    ASSERT_TRUE(client.SubmitScore(b).ok());
    auto b_again = Submission(names, "b", 10);
    b_again.metadata = "m";
    ASSERT_TRUE(client.SubmitScore(b_again).ok());
    ASSERT_TRUE(WaitFor([&] {
      return ProfileRows("names")["guest:b"].second == "6D";  // "m"
    }));
    EXPECT_EQ(ProfileRows("names")["guest:b"].first, "mark");
    b_again.display_name = "Robert";  // puts the database back in step
    ASSERT_TRUE(client.SubmitScore(b_again).ok());
    ASSERT_TRUE(WaitFor(
        [&] { return ProfileRows("names")["guest:b"].first == "Robert"; }));

    // Limits and rules are refused with what was broken.
    auto long_name = Submission(names, "d", 1);
    long_name.display_name = std::string(65, 'x');
    auto refused = client.SubmitScore(long_name);
    ASSERT_TRUE(refused.answered());
    EXPECT_EQ(refused.response.fail().message(),
              "display_name too long: at most 64 bytes "
              "(max_display_name_bytes)");
    long_name.display_name = "\xc3";
    EXPECT_EQ(client.SubmitScore(long_name).response.fail().message(),
              "display_name is not valid UTF-8");
    // An answer beyond --max_answer_bytes (8000 here) is refused whole.
    auto big = Submission(Id("big"), "big", 1);
    big.metadata = std::string(4096, 'x');
    ASSERT_TRUE(client.SubmitScore(big).ok());
    big.account = Account("big2");
    ASSERT_TRUE(client.SubmitScore(big).ok());
    const auto too_large = client.Query(QueryBuilder::Public(
        Id("big"), LeaderboardQuery::kAllTime,
        LeaderboardQuery::Request::kPosition, QueryBuilder::AllRange()));
    EXPECT_EQ(too_large.response.fail().message(),
              "Answer too large: at most 8000 bytes (max_answer_bytes); ask "
              "for fewer records");

    // A kAdd past the largest double is refused; nothing changes.
    auto huge = Submission(names, "huge", 1e308);
    huge.type = ScoreSubmission::kAdd;
    ASSERT_TRUE(client.SubmitScore(huge).ok());
    const auto infinite = client.SubmitScore(huge);
    ASSERT_TRUE(infinite.answered());
    EXPECT_EQ(infinite.response.fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
    EXPECT_EQ(infinite.response.fail().message(),
              "The resulting score is not finite: it would exceed the range "
              "of a double; nothing was stored");
    ASSERT_TRUE(WaitFor([&] { return AllTimeRow("names", "huge") == -1e308; }));

    // A kAdd whose answer the client never read: sent as a raw frame, then
    // the connection is dropped once Redis holds it.
    LeaderboardClient dropping;
    ASSERT_TRUE(dropping.Connect("127.0.0.1", server.host().tcp_port()));
    ASSERT_TRUE(dropping.Authenticate("entries-test").ok());
    Leaderboard::Request request;
    request.set_request_uuid(LeaderboardClient::NewRequestUuid());
    request.set_type(Leaderboard::Request::kScoreSubmission);
    auto* body = request.mutable_score_submission();
    body->set_leaderboard_id(adds);
    *body->mutable_account_id() = Account("adder");
    body->set_score(5);
    body->set_type(ScoreSubmission::kAdd);
    body->set_submission_id("add-1");
    std::string frame;
    ASSERT_TRUE(FrameCodec::Encode(request.SerializeAsString(),
                                   FrameCodec::kDefaultMaxFrameSize, &frame));
    ASSERT_TRUE(dropping.SendRawBytes(frame));
    ASSERT_TRUE(WaitFor(
        [&] { return probe_.SortedSet(Key("adds", "alltime")).size() == 1; }));
    dropping.Close();
    // The resend on a new connection is answered like the first.
    ExpectSubmissionAnswer(AddWithId(client, adds, "add-1"), 5, true);

    // Deleting a player takes its name and metadata too.
    ASSERT_TRUE(client.DeleteScores({{names, Account("a")}}).ok());
    EXPECT_EQ(probe_.Hash(Key("names", "profile")).count("a:guest"), 0u);
    EXPECT_EQ(ProfileRows("names").count("guest:a"), 0u);
    const auto placeholder = client.Query(QueryBuilder::Public(
        names, LeaderboardQuery::kAllTime, LeaderboardQuery::Request::kPosition,
        QueryBuilder::NearbyRange(0, 0), Account("a")));
    ASSERT_TRUE(placeholder.ok());
    ASSERT_EQ(placeholder.response.leaderboard_query().record_size(), 1);
    EXPECT_FALSE(
        placeholder.response.leaderboard_query().record(0).has_display_name());
    profiles_before_rebuild = probe_.Hash(Key("names", "profile"));
    server.Stop();
  }
  ASSERT_EQ(profiles_before_rebuild.size(), 1u);  // b only

  // Redis loses the leaderboard; recovery brings the names back.
  probe_.DeleteKeys("leaderboard:" + names + ":*");
  HostProcess recovery(Options({"--force_leaderboard_recovery"}));
  ASSERT_TRUE(recovery.Start());
  ASSERT_EQ(ExitCode(recovery.WaitForExit(std::chrono::seconds(60))), 0)
      << recovery.Log();
  EXPECT_EQ(probe_.Hash(Key("names", "profile")), profiles_before_rebuild);

  // After a restart the id is still known: not applied again; another id is.
  RunningServer server(Options({}), "entries-test");
  ExpectSubmissionAnswer(AddWithId(server.client(), adds, "add-1"), 5, true);
  const auto alltime = probe_.SortedSet(Key("adds", "alltime"));
  ASSERT_EQ(alltime.size(), 1u);
  EXPECT_DOUBLE_EQ(alltime[0].second, 5);
  EXPECT_EQ(AllTimeRow("adds", "adder"), -5);
  ExpectSubmissionAnswer(AddWithId(server.client(), adds, "add-2"), 10, false);
  EXPECT_DOUBLE_EQ(probe_.SortedSet(Key("adds", "alltime"))[0].second, 10);
  EXPECT_TRUE(WaitFor([&] { return AllTimeRow("adds", "adder") == -10; }));
  // The same id for another submission is refused.
  auto other = Submission(adds, "someone", 5);
  other.submission_id = "add-2";
  EXPECT_EQ(server.client().SubmitScore(other).response.fail().message(),
            "The submission_id was used by another submission (another "
            "player, score or type)");
  const HttpAnswer metrics =
      HttpRequest(server.host().api_port(), "GET", "/metrics");
  EXPECT_NE(metrics.body.find("plemox_leaderboard_resent_submissions_total 1"),
            std::string::npos)
      << metrics.body;
  server.Stop();
}

}  // namespace
}  // namespace plemox_test
