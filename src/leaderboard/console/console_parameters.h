// The parameters of the console's JSON routes: the query string, the names
// of time spans and numberings and page bounds, each read with a refusal
// text an operator can act on (player ids: RequestLimits::CheckPlayerId). Pure
// functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "leaderboard.pb.h"

namespace plemox {

class ConsoleParameters {
 public:
  using TimeSpan = Leaderboard::LeaderboardQuery::TimeSpan;
  using Numbering = Leaderboard::LeaderboardQuery::Request::RankingType;
  using Values = std::map<std::string, std::string>;

  // The name=value pairs of a query string, percent-decoded ('+' is a
  // blank); a name given twice keeps its first value. False (with *error)
  // for a broken percent escape.
  static bool ParseQuery(const std::string& query, Values* values,
                         std::string* error);

  // Every time span in the order the console shows them, and the names the
  // routes use for them ("all_time", "daily", "weekly", "last_week",
  // "yesterday", "monthly", "last_month").
  static const std::vector<TimeSpan>& TimeSpans();
  static std::string TimeSpanName(TimeSpan time_span);
  static bool ParseTimeSpan(const std::string& name, TimeSpan* time_span);
  static std::vector<std::string> TimeSpanNames();

  // "position", "competition", "dense", in that order.
  static std::vector<std::string> NumberingNames();
  static std::string NumberingName(Numbering numbering);
  static bool ParseNumbering(const std::string& name, Numbering* numbering);

  // The whole decimal number `text` between `min` and `max`, into *value;
  // otherwise false.
  static bool ParseNumber(const std::string& text, std::int64_t min,
                          std::int64_t max, std::int64_t* value);

  ConsoleParameters() = delete;
};

}  // namespace plemox
