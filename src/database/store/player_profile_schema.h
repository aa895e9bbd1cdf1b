// The statements of the player_profile table: the latest display name and
// metadata each player submitted to each leaderboard, the durable copy of
// the cache's profile hashes (redis_key.h) from which recovery restores
// them. One table for every leaderboard, keyed by (leaderboard id, service
// provider, local account); its statements are plain SQL whether or not
// stored procedures are used for the score tables.
//
// Names and metadata are written as hexadecimal literals (X'...'), so any
// byte reaches the BLOB columns as it is whatever the connection's
// character set; account parts are escaped with EscapeSqlString. Pure text
// functions that read only the command-line flags: any thread. REQUIRES (as
// for every statement of the store): leaderboard ids were validated by the
// service (ASCII letters, digits and '_').
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "database/store/player_profile_row.h"
#include "vel/core/player_account.h"

namespace plemox {

extern const char kPlayerProfileTableName[];  // "player_profile"

// CREATE TABLE IF NOT EXISTS player_profile, in the character set of
// --mysql_db_character_set; the local account column as for score tables.
std::string MakePlayerProfileTableQuery();

// Writes the given parts of a player's profile: an INSERT of the row (a
// part not given starts empty) that, when the row exists, updates only the
// given parts. REQUIRES: display_name or metadata is given.
std::string MakePlayerProfileWriteQuery(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const std::optional<std::string>& display_name,
    const std::optional<std::string>& metadata);

// Deletes the player's row of `leaderboard_id`.
std::string MakePlayerProfileDeletionQuery(const std::string& leaderboard_id,
                                           const vel::PlayerAccount& account);

// The rows of `leaderboard_id` after `after` (from the first without one)
// in key order, at most `limit`: service provider, local account, display
// name, metadata.
std::string MakePlayerProfileChunkQuery(const std::string& leaderboard_id,
                                        const PlayerProfileRow* after,
                                        std::size_t limit);

}  // namespace plemox
