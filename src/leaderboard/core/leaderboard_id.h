// Leaderboard ids become parts of table names and Redis keys, so only a safe
// alphabet is accepted. Pure; callable from any thread.
#pragma once

#include <string>

namespace plemox {

// Maximum length of a leaderboard id: table names are limited to 64
// characters and the longest suffix ("_" + 8 date digits + "_weekly") must fit.
constexpr std::size_t kMaxLeaderboardIdLength = 48;

// True when `id` is non-empty, at most kMaxLeaderboardIdLength long and made
// only of ASCII letters, digits and '_'.
bool IsValidLeaderboardId(const std::string& id);

}  // namespace plemox
