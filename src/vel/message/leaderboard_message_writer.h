// Builders of the responses that the leaderboard service sends to game
// servers. Every builder stamps the request UUID (16 raw bytes) so that the
// peer can match the answer to its request.
#pragma once

#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "leaderboard.pb.h"

namespace vel {

// Pure response builders: no state, callable from any thread. Success
// builders also set `type` to the Request.Type they answer; failure responses
// leave `type` unset (a failure answers whatever was asked).
class LeaderboardMessageWriter {
 public:
  using ResponsePtr = std::shared_ptr<Leaderboard::Response>;

  LeaderboardMessageWriter() = delete;

  // A refusal: `fail` holds `code` and `message`; no type, no body.
  static ResponsePtr CreateFailResponse(const boost::uuids::uuid& request_uuid,
                                        Leaderboard::Response::Fail code,
                                        const std::string& message);

  // The answer to an authentication (type 4). The caller appends the reset
  // schedules with mutable_leaderboard_authentication()->add_reset_schedules().
  static ResponsePtr CreateLeaderboardAuthenticationResponse(
      const boost::uuids::uuid& request_uuid,
      Leaderboard::LeaderboardAuthentication::Response::Result result,
      const std::string& message);

  // The answer to a query. `single` true: type 6 with an empty
  // leaderboard_query for the caller to fill; false: type 8 with no entries,
  // the caller appends one per query with add_leaderboard_queries().
  static ResponsePtr CreateLeaderboardQueryResponse(
      const boost::uuids::uuid& request_uuid, bool single);

  // The answer to a score submission (type 7).
  static ResponsePtr CreateScoreSubmissionResponse(
      const boost::uuids::uuid& request_uuid,
      Leaderboard::ScoreSubmission::Response::Result result, double score,
      int64_t total_player_count, int64_t rank);

  // The answer to a batch of score deletions (type 9) with no entries; the
  // caller appends one per deletion with add_score_deletions().
  static ResponsePtr CreateScoreDeletionResponse(
      const boost::uuids::uuid& request_uuid);

  // The answer to a reset schedule status query (type 10).
  static ResponsePtr CreateResetScheduleStatusQueryResponse(
      const boost::uuids::uuid& request_uuid,
      Leaderboard::ResetScheduleStatusQuery::Response::Result result,
      bool already_reset, const std::string& reset_date_time);

  // The answer to a leaderboard reset request (type 11).
  static ResponsePtr CreateLeaderboardResetResponse(
      const boost::uuids::uuid& request_uuid, bool already_reset,
      const std::string& schedule_date_time);
};

}  // namespace vel
