// One player of an archived period: where the closed ranking listed it and
// with what. A value type; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace plemox {

struct ArchivedStanding {
  // 0-based place in the closed ranking (highest score first, equal scores
  // by the earlier time); the position rank is position + 1.
  std::int64_t position = 0;
  // 1 + the number of players with a greater score (with a tiebreak: a
  // better pair of score and second score).
  std::int64_t competition_rank = 0;
  // 1 + the number of distinct greater scores (or better pairs).
  std::int64_t dense_rank = 0;
  double score = 0.0;
  // The real second score, on a leaderboard with a tiebreak.
  std::optional<double> tiebreak_score;
  // When the player reached the score (milliseconds since the Unix epoch).
  std::int64_t time_stamp_ms = 0;
  std::string service_provider;
  std::string local_account;
  // The player's current display name and metadata on the leaderboard
  // (live queries show the current ones too), when the reader added them;
  // the archive itself does not keep them.
  std::string display_name;
  std::string metadata;
};

}  // namespace plemox
