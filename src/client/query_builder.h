// Shorthands for the messages a game server puts into its leaderboard
// queries: accounts, ranges, public and social queries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "leaderboard.pb.h"

namespace plemox {

// Pure builders (no state, any thread). They fill in exactly what a
// well-formed query needs; the server still validates what arrives.
class QueryBuilder {
 public:
  using TimeSpan = Leaderboard::LeaderboardQuery::TimeSpan;
  using RankingType = Leaderboard::LeaderboardQuery::Request::RankingType;
  using Range = Leaderboard::LeaderboardQuery::Range;

  QueryBuilder() = delete;

  static Leaderboard::AccountId Account(const std::string& service_provider,
                                        const std::string& local_account);

  // The whole ranking (begin and end 0).
  static Range AllRange();
  // 0-based positions from the top, both included.
  static Range TopRange(int64_t begin, int64_t end);
  // Offsets around the querying player's own position, both included
  // (-2..2: two above, the player, two below). Needs the player's account.
  static Range NearbyRange(int64_t begin, int64_t end);

  // A query of the public ranking of all players. `account` names the
  // querying player; a nearby range needs it.
  static Leaderboard::LeaderboardQuery::Request Public(
      const std::string& leaderboard_id, TimeSpan time_span,
      RankingType ranking_type, const Range& range,
      const std::optional<Leaderboard::AccountId>& account = std::nullopt);

  // A query of the ranking among `account` and its `competitors` (friends).
  // A social query always covers the whole list.
  static Leaderboard::LeaderboardQuery::Request Social(
      const std::string& leaderboard_id, const Leaderboard::AccountId& account,
      const std::vector<Leaderboard::AccountId>& competitors,
      TimeSpan time_span, RankingType ranking_type);
};

}  // namespace plemox
