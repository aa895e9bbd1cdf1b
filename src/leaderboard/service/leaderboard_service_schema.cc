// The database schema at start-up: installed into the database, or written
// to a script file for an operator to run (which ends the server run).
#include <glog/logging.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/store/db_connection.h"
#include "database/store/leaderboard_tables.h"
#include "database/store/mysql_schema.h"
#include "database/store/period_statements.h"
#include "database/store/tiebreak_columns.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/schema_installation.h"
#include "leaderboard/service/internal/service_state.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {
namespace {

// Writes `schema_scripts` as a script file at `path` for the database
// `database_name` of `server_url`, then raises SIGTERM: exporting ends the
// server run. Failures to create the file or its folder are fatal.
void ExportSchemaScript(const std::string& server_url,
                        const std::string& database_name,
                        const std::vector<std::string>& schema_scripts,
                        const boost::filesystem::path& path) {
  LOG(INFO) << "Generating a script file for db schema"
            << ": " << path.string();
  if (path.has_parent_path()) {
    boost::system::error_code error;
    boost::filesystem::create_directories(path.parent_path(), error);
    if (error) {
      LOG(FATAL) << "Failed to create directory"
                 << ": " << path.parent_path().string()
                 << ", error code: " << error.value();
    }
  }
  std::ofstream file(path.string(), std::ios::out | std::ios::trunc);
  if (!file) {
    LOG(FATAL) << "Failed to create file"
               << ": " << path.string();
  }
  file << "-- address: " << server_url << "\n";
  file << "-- database: " << database_name << "\n\n";
  file << "USE " << database_name << ";\n\n";
  // Every statement ends with a "$$" line, the delimiter the mariadb client
  // reads up to; the last one's is the closing "$$".
  file << "DELIMITER $$\n\n";
  for (std::size_t i = 0; i < schema_scripts.size(); ++i) {
    if (i > 0) file << "$$\n\n";
    file << schema_scripts[i] << "\n\n";
  }
  file << "$$\n\n";
  file << "DELIMITER ;";
  file.close();
  LOG(INFO) << "The script file has been generated"
            << ": " << path.string();
  // Exporting ends the server run.
  kill(getpid(), SIGTERM);
}

// Connections the leaderboards' tables are created over at start-up: a
// table creation mostly waits for the database's disk, so a few side by side
// make a first start-up with thousands of leaderboards several times
// shorter (more than four gained little on a 2-core machine).
constexpr std::size_t kTableConnections = 4;

// Runs each group of `groups` in order, the groups side by side on
// `threads` threads over `connection` (which has as many connections).
// False when any statement failed (logged); the other threads then stop
// after their current group.
bool ExecuteGroups(DbConnection& connection,
                   const std::vector<std::vector<std::string>>& groups,
                   std::size_t threads) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < groups.size() && !failed; i = next++) {
        if (!connection.ExecuteScripts(groups[i])) failed = true;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  return !failed;
}

// The score tables the database holds now, read in one statement.
bool ReadScoreTables(DbConnection& connection, std::set<std::string>* names) {
  std::vector<LeaderboardInfo> tables;
  if (!connection.QueryLeaderboardInfo(&tables)) return false;
  for (const LeaderboardInfo& table : tables) names->insert(table.table_name);
  return true;
}

}  // namespace

void service_internal::RegisterTiebreakColumns() {
  for (const RankingOption& option : RankingOptions::GetAll()) {
    if (option.has_tiebreak()) TiebreakColumns::Add(option.leaderboard_id);
  }
}

void service_internal::InstallSchema(const std::string& server_url,
                                     const std::string& user_id,
                                     const std::string& password,
                                     const std::string& database_name,
                                     const std::string& character_set) {
  const auto dated = ResetScheduleRegistry::GetDatedWeeklyTableDates();
  if (FLAGS_leaderboard_use_db_auto_schema_generation) {
    LOG(INFO) << "Installing database schema...This could take a few minutes.";
    // The shared tables and procedures first, then each leaderboard's
    // tables (in their order), several leaderboards at a time.
    auto shared = MakeSchemaScripts({}, {});
    for (std::string& table : period_statements::MakeTableQueries()) {
      shared.push_back(std::move(table));
    }
    auto connection = DbConnection::Create(
        server_url, user_id, password, database_name, kTableConnections,
        character_set, vel::Mariadb::kDefaultSlowQueryLoggingTime);
    std::set<std::string> existing;
    if (!connection || !connection->ExecuteScripts(shared) ||
        !ReadScoreTables(*connection, &existing)) {
      LOG(FATAL) << "Failed to install the db schema.";
    }
    // Only the leaderboards that lack a table, each in one round trip; the
    // tables of one with a tiebreak are always checked for its column.
    const std::set<std::string> ids = configured_leaderboard_ids();
    std::vector<std::vector<std::string>> tables;
    for (const std::string& id : ids) {
      const auto dates = dated.find(id);
      const std::vector<std::string>* week_dates =
          dates != dated.end() ? &dates->second : nullptr;
      const std::vector<std::string> names =
          LeaderboardTableNames(id, week_dates);
      const bool complete = std::all_of(
          names.begin(), names.end(),
          [&](const std::string& name) { return existing.count(name) != 0; });
      if (complete && !TiebreakColumns::Has(id)) continue;
      std::string statement;
      for (const std::string& query :
           MakeLeaderboardTableQueries(id, week_dates)) {
        if (!statement.empty()) statement += "\n";
        statement += query;
      }
      tables.push_back({std::move(statement)});
    }
    if (!ExecuteGroups(*connection, tables, kTableConnections)) {
      LOG(FATAL) << "Failed to install the db schema.";
    }
    LOG(INFO) << "Installing database schema...Done"
              << ": leaderboards=" << ids.size()
              << ", with tables made or checked=" << tables.size();
    connection->Finalize();
  } else if (!FLAGS_export_db_schema_to_file.empty()) {
    auto schema_scripts =
        MakeSchemaScripts(configured_leaderboard_ids(), dated);
    // The period archive's tables, whichever leaderboards exist.
    for (std::string& table : period_statements::MakeTableQueries()) {
      schema_scripts.push_back(std::move(table));
    }
    ExportSchemaScript(server_url, database_name, schema_scripts,
                       boost::filesystem::path(FLAGS_export_db_schema_to_file));
    return;
  }
  // Installed now, or by the operator: the store writes to the configured
  // leaderboards' tables without creating them first.
  LeaderboardTables::Process()->MarkExisting(configured_leaderboard_ids());
}

}  // namespace plemox
