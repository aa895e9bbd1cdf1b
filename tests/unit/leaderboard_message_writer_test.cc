#include "vel/message/leaderboard_message_writer.h"

#include <gtest/gtest.h>

#include <boost/uuid/string_generator.hpp>

namespace vel {
namespace {

using Leaderboard::Request;
using Leaderboard::Response;

// Contains zero bytes and bytes above 0x7f so that a writer treating the UUID
// as a C string or as signed text would be caught.
const boost::uuids::uuid kUuid =
    boost::uuids::string_generator()("00ff10a0-0000-4b2c-80fe-9a0000000001");

// What the peer sees: the response after a trip over the wire.
Response OverTheWire(const LeaderboardMessageWriter::ResponsePtr& response) {
  std::string bytes;
  EXPECT_TRUE(response->SerializeToString(&bytes));
  Response parsed;
  EXPECT_TRUE(parsed.ParseFromString(bytes));
  return parsed;
}

void ExpectEnvelope(const Response& response, int type) {
  ASSERT_EQ(response.request_uuid().size(), 16u);
  EXPECT_EQ(response.request_uuid(), std::string(kUuid.begin(), kUuid.end()));
  ASSERT_TRUE(response.has_type());
  EXPECT_EQ(response.type(), type);
  EXPECT_FALSE(response.has_fail());
}

TEST(LeaderboardMessageWriterTest, FailResponseCarriesCodeAndMessageButNoType) {
  Response response = OverTheWire(LeaderboardMessageWriter::CreateFailResponse(
      kUuid, Response::kFailUnauthenticatedApp,
      "Access denied, authentication required"));
  EXPECT_EQ(response.request_uuid(), std::string(kUuid.begin(), kUuid.end()));
  EXPECT_FALSE(response.has_type());
  ASSERT_TRUE(response.has_fail());
  EXPECT_EQ(response.fail().code(), Response::kFailUnauthenticatedApp);
  EXPECT_EQ(response.fail().message(),
            "Access denied, authentication required");
  EXPECT_FALSE(response.has_leaderboard_authentication());
  EXPECT_FALSE(response.has_score_submission());
}

TEST(LeaderboardMessageWriterTest, AuthenticationResponseAcceptsSchedules) {
  auto built =
      LeaderboardMessageWriter::CreateLeaderboardAuthenticationResponse(
          kUuid, Leaderboard::LeaderboardAuthentication::Response::kSuccess,
          "");
  auto* schedule =
      built->mutable_leaderboard_authentication()->add_reset_schedules();
  schedule->set_leaderboard_id("stage1");
  schedule->set_period(1);

  Response response = OverTheWire(built);
  ExpectEnvelope(response, Request::kLeaderboardAuthentication);
  ASSERT_TRUE(response.leaderboard_authentication().has_result());
  EXPECT_EQ(response.leaderboard_authentication().result(),
            Leaderboard::LeaderboardAuthentication::Response::kSuccess);
  ASSERT_EQ(response.leaderboard_authentication().reset_schedules_size(), 1);
  EXPECT_EQ(response.leaderboard_authentication().reset_schedules(0).period(),
            1);

  Response refused = OverTheWire(
      LeaderboardMessageWriter::CreateLeaderboardAuthenticationResponse(
          kUuid,
          Leaderboard::LeaderboardAuthentication::Response::
              kFailAlreadyAuthenticated,
          "The session is already authenticated"));
  ExpectEnvelope(refused, Request::kLeaderboardAuthentication);
  EXPECT_EQ(refused.leaderboard_authentication().result(),
            Leaderboard::LeaderboardAuthentication::Response::
                kFailAlreadyAuthenticated);
  EXPECT_EQ(refused.leaderboard_authentication().message(),
            "The session is already authenticated");
}

TEST(LeaderboardMessageWriterTest, QueryResponseSingleOrBatch) {
  // A single answer carries its (possibly empty) query body even when nothing
  // was ranked, so the peer can tell "no records" from "no answer body".
  Response single = OverTheWire(
      LeaderboardMessageWriter::CreateLeaderboardQueryResponse(kUuid, true));
  ExpectEnvelope(single, Request::kLeaderboardQuery);
  EXPECT_TRUE(single.has_leaderboard_query());
  EXPECT_EQ(single.leaderboard_queries_size(), 0);

  auto built =
      LeaderboardMessageWriter::CreateLeaderboardQueryResponse(kUuid, false);
  built->add_leaderboard_queries()->set_total_player_count(3);
  built->add_leaderboard_queries()->set_total_player_count(5);
  Response batch = OverTheWire(built);
  ExpectEnvelope(batch, Request::kLeaderboardQueries);
  EXPECT_FALSE(batch.has_leaderboard_query());
  ASSERT_EQ(batch.leaderboard_queries_size(), 2);
  EXPECT_EQ(batch.leaderboard_queries(0).total_player_count(), 3);
  EXPECT_EQ(batch.leaderboard_queries(1).total_player_count(), 5);
}

TEST(LeaderboardMessageWriterTest, ScoreSubmissionAndDeletionResponses) {
  Response submitted =
      OverTheWire(LeaderboardMessageWriter::CreateScoreSubmissionResponse(
          kUuid, Leaderboard::ScoreSubmission::Response::kNewRecordWeekly,
          -12.5, 9000000000LL, 42));
  ExpectEnvelope(submitted, Request::kScoreSubmission);
  const auto& body = submitted.score_submission();
  EXPECT_EQ(body.result(),
            Leaderboard::ScoreSubmission::Response::kNewRecordWeekly);
  EXPECT_DOUBLE_EQ(body.score(), -12.5);
  EXPECT_EQ(body.total_player_count(), 9000000000LL);
  EXPECT_EQ(body.rank(), 42);

  auto built = LeaderboardMessageWriter::CreateScoreDeletionResponse(kUuid);
  built->add_score_deletions()->set_result(
      Leaderboard::ScoreDeletion::Response::kRemoved);
  built->add_score_deletions()->set_result(
      Leaderboard::ScoreDeletion::Response::kNotFound);
  Response deleted = OverTheWire(built);
  ExpectEnvelope(deleted, Request::kScoreDeletions);
  ASSERT_EQ(deleted.score_deletions_size(), 2);
  EXPECT_EQ(deleted.score_deletions(0).result(),
            Leaderboard::ScoreDeletion::Response::kRemoved);
  ASSERT_TRUE(deleted.score_deletions(1).has_result());
  EXPECT_EQ(deleted.score_deletions(1).result(),
            Leaderboard::ScoreDeletion::Response::kNotFound);
}

TEST(LeaderboardMessageWriterTest, ResetStatusAndResetResponses) {
  Response status = OverTheWire(
      LeaderboardMessageWriter::CreateResetScheduleStatusQueryResponse(
          kUuid, Leaderboard::ResetScheduleStatusQuery::Response::kNoSchedule,
          false, ""));
  ExpectEnvelope(status, Request::kResetScheduleStatusQuery);
  ASSERT_TRUE(status.reset_schedule_status_query().has_result());
  EXPECT_EQ(status.reset_schedule_status_query().result(),
            Leaderboard::ResetScheduleStatusQuery::Response::kNoSchedule);
  ASSERT_TRUE(status.reset_schedule_status_query().has_already_reset());
  EXPECT_FALSE(status.reset_schedule_status_query().already_reset());

  Response done = OverTheWire(
      LeaderboardMessageWriter::CreateResetScheduleStatusQueryResponse(
          kUuid, Leaderboard::ResetScheduleStatusQuery::Response::kOk, true,
          "2021-Feb-08 00:00:01"));
  EXPECT_TRUE(done.reset_schedule_status_query().already_reset());
  EXPECT_EQ(done.reset_schedule_status_query().reset_date_time(),
            "2021-Feb-08 00:00:01");

  Response reset =
      OverTheWire(LeaderboardMessageWriter::CreateLeaderboardResetResponse(
          kUuid, false, "2021-Feb-08 12:34:56"));
  ExpectEnvelope(reset, Request::kLeaderboardReset);
  ASSERT_TRUE(reset.leaderboard_reset().has_already_reset());
  EXPECT_FALSE(reset.leaderboard_reset().already_reset());
  EXPECT_EQ(reset.leaderboard_reset().schedule_date_time(),
            "2021-Feb-08 12:34:56");
}

}  // namespace
}  // namespace vel
