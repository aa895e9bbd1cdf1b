// The running numbering of a ranking read from its top: whole rankings and
// social lists in the cache, and the closed rankings the period archive
// keeps. A value type used by one reader on one thread.
#pragma once

#include <cstdint>
#include <string>

#include "leaderboard.pb.h"

namespace plemox {

// Numbers scores given highest first by a ranking type: 1 position, 2
// competition (1, 1, 3), any other value dense (1, 1, 2). On a leaderboard
// with a tiebreak two records are equal only when their second scores are
// too: `tie` is the tiebreak text of the member (MemberTiebreakText; empty
// without a tiebreak). The previous score starts at 0.0 (with an empty tie)
// and a first rank of 0 becomes 1.
class RunningRank {
 public:
  explicit RunningRank(int ranking_type) : ranking_type_(ranking_type) {}

  // The rank of the next score of the list.
  std::int64_t Next(double score, const std::string& tie = std::string()) {
    using Request = Leaderboard::LeaderboardQuery::Request;
    if (ranking_type_ == Request::kPosition) {
      rank_ += 1;
    } else {
      const bool same = score == previous_ && tie == previous_tie_;
      if (ranking_type_ != Request::kCompetition) {
        if (!same) rank_ += 1;
      } else if (same) {
        ++ties_;
      } else {
        rank_ += ties_;
        ties_ = 1;
      }
      previous_ = score;
      if (tie != previous_tie_) previous_tie_ = tie;
    }
    if (rank_ == 0) rank_ = 1;
    return rank_;
  }

 private:
  const int ranking_type_;
  std::int64_t rank_ = 0;
  double previous_ = 0.0;
  std::string previous_tie_;
  std::int64_t ties_ = 0;
};

}  // namespace plemox
