// The answer of a ranking query of the cache (public or social). The cache
// creates it, fills it on its own threads and then hands shared ownership to
// the query's completion; from then on only the completion reads it, so it
// needs no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vel/core/player_account.h"

namespace plemox {

struct QueryResult {
  // One ranked player.
  struct Record {
    // 1-based rank by the requested numbering; 0 for the placeholder record
    // of a player without an entry.
    std::int64_t rank = 0;
    double score = 0.0;
    // On a leaderboard with a tiebreak: the record's second score (as Redis
    // orders it until the service turns it into the real one).
    std::optional<double> tiebreak_score;
    vel::PlayerAccount account;
    // The player's latest name and metadata on the leaderboard; empty when
    // it has none (or the query ran on the command chain, which keeps
    // none).
    std::string display_name;
    std::string metadata;
    // On a league's cohort: the player's tier; empty otherwise.
    std::string tier;
  };

  // True until the query completed; when true, read nothing else (records
  // appended before a failure may be present and mean nothing).
  bool error = true;
  // With `error`: set by a reader that refuses the query itself instead of
  // failing (a query of an archived period that does not exist); the
  // answer is then kFailInvalidParameter with this text.
  std::string refusal;
  // Public queries: the number of members of the ranking at the start of the
  // query. Social queries: the number of listed players.
  std::int64_t total_player_count = 0;
  // The answer of a cohort query: the cohort's tier and id.
  std::string tier;
  std::string cohort_id;
  // Highest score first; equal scores with the earlier ranking time first.
  std::vector<Record> records;
};

}  // namespace plemox
