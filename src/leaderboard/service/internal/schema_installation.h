// The schema step of start-up (leaderboard_service_schema.cc).
#pragma once

#include <string>

namespace plemox {
namespace service_internal {

// Installs the tables and procedures of the configured leaderboards, or
// exports them to the file named by --export_db_schema_to_file (and asks the
// process to stop), or does nothing when both are off. Unless it exported,
// the configured leaderboards then count as having their tables
// (LeaderboardTables::Process). The exported file loads with the mariadb
// client: every statement ends with a "$$" line. Failures are fatal.
// Start-up thread, after the leaderboard ids are recorded.
void InstallSchema(const std::string& server_url, const std::string& user_id,
                   const std::string& password,
                   const std::string& database_name,
                   const std::string& character_set);

// Tells the store which leaderboards' score tables carry the second-score
// column (TiebreakColumns): those whose ranking option has a tiebreak.
// Start-up thread (and recovery mode), after the ranking options are read
// and before the schema is installed or read.
void RegisterTiebreakColumns();

}  // namespace service_internal
}  // namespace plemox
