// Leaderboard ids become parts of table names and Redis keys, so only a safe
// alphabet is accepted. Pure; callable from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace plemox {

// Maximum length of a leaderboard id: MariaDB limits table names to 64
// characters, and the longest table name of an id, its dated weekly table
// (id + "_" + 8 date digits + "_weekly"), adds 16.
constexpr std::size_t kMaxLeaderboardIdLength = 48;

// True when `id` is non-empty, at most kMaxLeaderboardIdLength long and made
// only of ASCII letters, digits and '_'.
bool IsValidLeaderboardId(const std::string& id);

// The refusal text of a request whose leaderboard id breaks that rule; it
// states the rule: "Invalid leaderboard id: 1 to 48 characters, each an
// ASCII letter, digit or '_'".
const std::string& InvalidLeaderboardIdMessage();

}  // namespace plemox
