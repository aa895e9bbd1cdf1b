// Checks of a server's answer shared by the end-to-end tests. Test thread
// only.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "client/leaderboard_client.h"

namespace plemox_test {

// The refusal of a leaderboard id that breaks the id rule, as game servers
// read it (kFailInvalidParameter).
inline constexpr char kInvalidLeaderboardIdMessage[] =
    "Invalid leaderboard id: 1 to 48 characters, each an ASCII letter, digit "
    "or '_'";

// Expects `result` to be an answer refused with `code` and `message`.
inline void ExpectRefused(const plemox::LeaderboardClient::Result& result,
                          Leaderboard::Response::Fail code,
                          const std::string& message) {
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_TRUE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.fail().code(), code);
  EXPECT_EQ(result.response.fail().message(), message);
}

}  // namespace plemox_test
