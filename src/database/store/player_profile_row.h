// PlayerProfileRow: one player's display name and metadata on one
// leaderboard, as the player_profile table keeps them and the recovery read
// returns them. A plain value; copy it freely.
#pragma once

#include <string>

namespace plemox {

struct PlayerProfileRow {
  std::string service_provider;
  std::string local_account;
  std::string display_name;  // UTF-8 text, may be empty
  std::string metadata;      // any bytes, may be empty
};

}  // namespace plemox
