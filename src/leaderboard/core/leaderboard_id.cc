#include "leaderboard/core/leaderboard_id.h"

#include <algorithm>

namespace plemox {

bool IsValidLeaderboardId(const std::string& id) {
  if (id.empty() || id.size() > kMaxLeaderboardIdLength) return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_';
  });
}

const std::string& InvalidLeaderboardIdMessage() {
  static const std::string message =
      "Invalid leaderboard id: 1 to " +
      std::to_string(kMaxLeaderboardIdLength) +
      " characters, each an ASCII letter, digit or '_'";
  return message;
}

}  // namespace plemox
