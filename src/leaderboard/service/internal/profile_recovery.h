// Recovery of the players' display names and metadata: the part of recovery
// mode (leaderboard_service_recovery.cc) that puts a leaderboard's profiles
// back from the player_profile table into its profile hash
// (leaderboard_service_profile_recovery.cc). Recovery thread only.
#pragma once

#include <string>

#include "database/store/db_connection.h"

namespace plemox {
namespace service_internal {

// Restores every profile of `leaderboard_id` kept in the database, in
// chunks, replacing what Redis holds for those players; logs how many.
// False (logged) when the database read or Redis failed.
bool RecoverProfiles(DbConnection* db_connection,
                     const std::string& leaderboard_id);

}  // namespace service_internal
}  // namespace plemox
