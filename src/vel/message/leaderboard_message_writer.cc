#include "vel/message/leaderboard_message_writer.h"

#include "vel/core/util.h"

namespace vel {
namespace {

using Leaderboard::Request;
using Leaderboard::Response;
using ResponsePtr = LeaderboardMessageWriter::ResponsePtr;

ResponsePtr NewResponse(const boost::uuids::uuid& request_uuid) {
  auto response = std::make_shared<Response>();
  response->set_request_uuid(util::ToBytes(request_uuid));
  return response;
}

ResponsePtr NewResponse(const boost::uuids::uuid& request_uuid,
                        Request::Type type) {
  auto response = NewResponse(request_uuid);
  response->set_type(type);
  return response;
}

}  // namespace

ResponsePtr LeaderboardMessageWriter::CreateFailResponse(
    const boost::uuids::uuid& request_uuid, Response::Fail code,
    const std::string& message) {
  auto response = NewResponse(request_uuid);
  Response::Failure* fail = response->mutable_fail();
  fail->set_code(code);
  fail->set_message(message);
  return response;
}

ResponsePtr LeaderboardMessageWriter::CreateLeaderboardAuthenticationResponse(
    const boost::uuids::uuid& request_uuid,
    Leaderboard::LeaderboardAuthentication::Response::Result result,
    const std::string& message) {
  auto response =
      NewResponse(request_uuid, Request::kLeaderboardAuthentication);
  auto* body = response->mutable_leaderboard_authentication();
  body->set_result(result);
  body->set_message(message);
  return response;
}

ResponsePtr LeaderboardMessageWriter::CreateLeaderboardQueryResponse(
    const boost::uuids::uuid& request_uuid, bool single) {
  if (single) {
    auto response = NewResponse(request_uuid, Request::kLeaderboardQuery);
    response->mutable_leaderboard_query();
    return response;
  }
  return NewResponse(request_uuid, Request::kLeaderboardQueries);
}

ResponsePtr LeaderboardMessageWriter::CreateScoreSubmissionResponse(
    const boost::uuids::uuid& request_uuid,
    Leaderboard::ScoreSubmission::Response::Result result, double score,
    int64_t total_player_count, int64_t rank) {
  auto response = NewResponse(request_uuid, Request::kScoreSubmission);
  auto* body = response->mutable_score_submission();
  body->set_result(result);
  body->set_score(score);
  body->set_total_player_count(total_player_count);
  body->set_rank(rank);
  return response;
}

ResponsePtr LeaderboardMessageWriter::CreateScoreDeletionResponse(
    const boost::uuids::uuid& request_uuid) {
  return NewResponse(request_uuid, Request::kScoreDeletions);
}

ResponsePtr LeaderboardMessageWriter::CreateResetScheduleStatusQueryResponse(
    const boost::uuids::uuid& request_uuid,
    Leaderboard::ResetScheduleStatusQuery::Response::Result result,
    bool already_reset, const std::string& reset_date_time) {
  auto response = NewResponse(request_uuid, Request::kResetScheduleStatusQuery);
  auto* body = response->mutable_reset_schedule_status_query();
  body->set_result(result);
  body->set_already_reset(already_reset);
  body->set_reset_date_time(reset_date_time);
  return response;
}

ResponsePtr LeaderboardMessageWriter::CreateLeaderboardResetResponse(
    const boost::uuids::uuid& request_uuid, bool already_reset,
    const std::string& schedule_date_time) {
  auto response = NewResponse(request_uuid, Request::kLeaderboardReset);
  auto* body = response->mutable_leaderboard_reset();
  body->set_already_reset(already_reset);
  body->set_schedule_date_time(schedule_date_time);
  return response;
}

}  // namespace vel
