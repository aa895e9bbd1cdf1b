// RecoveryData: one row of a score table as the recovery reads return it.
// Score and time stamp are the stored column values, that is negated (see
// DbConnection::SubmitScore); the recovery run negates them back. A plain
// value; copy it freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace plemox {

struct RecoveryData {
  std::string service_provider;
  std::string local_account;
  double score = 0;             // minus the player's score
  std::int64_t time_stamp = 0;  // minus the submission time in seconds
  // The real second score (the tiebreak_score column), read only from the
  // tables of a leaderboard with a tiebreak.
  std::optional<double> tiebreak_score = std::nullopt;
};

}  // namespace plemox
