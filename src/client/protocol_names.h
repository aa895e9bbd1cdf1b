// Text forms of the protocol's values, as a person types them on a command
// line, and the readable form of an answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "leaderboard.pb.h"

namespace plemox {

// Pure functions, any thread. Each Parse* returns false and leaves *out
// unchanged when the text names no value.
class ProtocolNames {
 public:
  ProtocolNames() = delete;

  // alltime, daily, weekly, lastweek, yesterday, monthly, lastmonth, or the
  // number 1 to 7.
  static bool ParseTimeSpan(const std::string& text,
                            Leaderboard::LeaderboardQuery::TimeSpan* out);
  // position, competition, dense, or the number 1 to 3.
  static bool ParseRankingType(
      const std::string& text,
      Leaderboard::LeaderboardQuery::Request::RankingType* out);
  // high, add, subtract, or the number 0 to 2.
  static bool ParseSubmissionType(const std::string& text,
                                  Leaderboard::ScoreSubmission::Type* out);
  // public or social.
  static bool ParseCollection(const std::string& text,
                              Leaderboard::LeaderboardQuery::Collection* out);
  // all, top, nearby.
  static bool ParseRangeType(const std::string& text,
                             Leaderboard::LeaderboardQuery::Range::Type* out);
  // day, week, month (0, 1, 2), or any other 32-bit integer, passed on as it
  // is so that the server's own checks can be tried.
  static bool ParsePeriod(const std::string& text, int32_t* out);
  // "provider:account"; both parts non-empty, no second ':'.
  static bool ParseAccount(const std::string& text,
                           Leaderboard::AccountId* out);
  // Comma-separated accounts; an empty text is an empty list.
  static bool ParseAccountList(const std::string& text,
                               std::vector<Leaderboard::AccountId>* out);

  // "provider:account".
  static std::string AccountText(const Leaderboard::AccountId& account);
  // Several lines describing `response` for a person: the failure, or the
  // body of the answer (query records as a table).
  static std::string Describe(const Leaderboard::Response& response);
};

}  // namespace plemox
