// DbSubmitScoreRequest: one score write waiting in the bulk insert queue,
// with the values its table row receives and the completion of the
// DbConnection::SubmitScore call that made it. A value type; any thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "database/store/db_connection.h"
#include "leaderboard.pb.h"
#include "vel/core/player_account.h"

namespace plemox {

struct DbSubmitScoreRequest {
  // leaderboard id + "_" + local account + "_" + service provider.
  std::string key;
  std::string leaderboard_id;
  vel::PlayerAccount account;
  Leaderboard::ScoreSubmission::Response::Result result =
      Leaderboard::ScoreSubmission::Response::kNone;
  // The new score multiplied by -1 (the score column).
  double score = 0;
  // Minus the submission time stamp in milliseconds; the smaller, the newer.
  std::int64_t negated_time_stamp = 0;
  // negated_time_stamp / 1000, truncated toward zero (the time_stamp column).
  std::int64_t stored_time_stamp = 0;
  // Names the dated weekly table (not-a-date-time: the undated one).
  boost::posix_time::ptime next_date_time;
  // The real second score, on a leaderboard with a tiebreak.
  std::optional<double> tiebreak_score;
  DbConnection::SubmitScoreCallback callback;

  // The request of one SubmitScore call: `outcome` and `time_stamp_in_msec`
  // as the cache reported them (not yet negated).
  static DbSubmitScoreRequest Make(
      const std::string& leaderboard_id, const vel::PlayerAccount& account,
      const DbConnection::ScoreOutcome& outcome,
      std::int64_t time_stamp_in_msec,
      const boost::posix_time::ptime& next_date_time,
      DbConnection::SubmitScoreCallback callback) {
    DbSubmitScoreRequest request;
    request.key =
        leaderboard_id + "_" + account.id() + "_" + account.service_provider();
    request.leaderboard_id = leaderboard_id;
    request.account = account;
    request.result = outcome.first;
    request.score = outcome.second * -1.0;
    request.negated_time_stamp = -time_stamp_in_msec;
    request.stored_time_stamp = -time_stamp_in_msec / 1000;
    request.next_date_time = next_date_time;
    request.callback = std::move(callback);
    return request;
  }

  // Orders requests by key, byte-wise. Two players whose keys read the same
  // ("a_b" of provider "c" and "a" of provider "b_c") stay two requests:
  // ties are broken by the account's parts.
  struct Comparer {
    bool operator()(const DbSubmitScoreRequest& a,
                    const DbSubmitScoreRequest& b) const {
      return std::tie(a.key, a.account.id(), a.account.service_provider()) <
             std::tie(b.key, b.account.id(), b.account.service_provider());
    }
  };
};

}  // namespace plemox
