#include "database/store/definition_store.h"

#include <glog/logging.h>

#include "common/leaderboard_flags.h"
#include "database/store/mysql_schema.h"

namespace plemox {
namespace {

constexpr std::size_t kConnectionCount = 1;
constexpr unsigned kDuplicateKeyError = 1062;
constexpr unsigned kStatementTimeoutSeconds = 10;

std::string DescribeError(const vel::Mariadb::Error& error) {
  return "database error " + std::to_string(error.code) + ": " +
         error.description;
}

}  // namespace

std::string DefinitionStore::MakeTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kTableName + "(\n" +
         "  leaderboard_id VARCHAR(64) NOT NULL,\n" +
         "  ranking_option TEXT NOT NULL,\n" +
         "  reset_schedules TEXT NOT NULL,\n" + "  version BIGINT NOT NULL,\n" +
         "  retired TINYINT(1) NOT NULL DEFAULT 0,\n" +
         "  updated_at DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,\n" +
         "  PRIMARY KEY(leaderboard_id)\n" + ") CHARACTER SET " +
         FLAGS_mysql_db_character_set + ";";
}

std::shared_ptr<DefinitionStore> DefinitionStore::Open(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    const std::string& character_set, std::int64_t slow_query_threshold_ms) {
  auto client = vel::Mariadb::Create(
      server_url, user_id, password, database_name, kConnectionCount,
      character_set, vel::Mariadb::kDefaultAutoRetryOnDeadlock,
      vel::Mariadb::kDefaultClientFlags, slow_query_threshold_ms,
      vel::Mariadb::kDefaultConnectionFailureHandler);
  // A definition is an operator's request waiting on an API thread: a hung
  // database fails it in seconds, not in the pool's default minutes.
  vel::Mariadb::Timeouts timeouts;
  timeouts.read_seconds = kStatementTimeoutSeconds;
  timeouts.write_seconds = kStatementTimeoutSeconds;
  if (!client || !client->SetTimeouts(timeouts) || !client->Initialize()) {
    LOG(ERROR) << "Failed to connect the leaderboard definitions' database "
                  "client: server="
               << server_url;
    return nullptr;
  }
  auto store = std::make_shared<DefinitionStore>(std::move(client));
  const vel::Mariadb::Error error = store->Run(MakeTableQuery());
  if (!error) return store;
  // A user without CREATE may still use a table an operator made.
  if (!store->Run(std::string("SELECT 1 FROM ") + kTableName + " LIMIT 1")) {
    LOG(WARNING) << "Could not create the " << kTableName
                 << " table, but it exists and is used: "
                 << DescribeError(error);
    return store;
  }
  LOG(ERROR) << "Failed to create the " << kTableName
             << " table: " << DescribeError(error);
  return nullptr;
}

DefinitionStore::DefinitionStore(std::shared_ptr<vel::Mariadb> client)
    : client_(std::move(client)) {}

DefinitionStore::~DefinitionStore() { Finalize(); }

void DefinitionStore::Finalize() {
  if (client_) client_->Finalize();
}

vel::Mariadb::Error DefinitionStore::Run(
    const std::string& statement, std::shared_ptr<vel::ResultSets>* results) {
  return client_->ExecuteQuerySync(statement, results);
}

std::string DefinitionStore::Quoted(const std::string& value) const {
  return "'" + client_->EscapeString(value) + "'";
}

bool DefinitionStore::LoadAll(std::vector<Row>* rows, std::string* error) {
  std::shared_ptr<vel::ResultSets> results;
  const vel::Mariadb::Error failed =
      Run(std::string("SELECT leaderboard_id, ranking_option, reset_schedules, "
                      "version, retired, DATE_FORMAT(updated_at, "
                      "'%Y-%m-%d %H:%i:%s') FROM ") +
              kTableName + " ORDER BY leaderboard_id",
          &results);
  if (failed) {
    *error = DescribeError(failed);
    return false;
  }
  rows->clear();
  if (!results->SeekNextResultSet()) return true;
  while (results->SeekNextRow()) {
    Row row;
    row.leaderboard_id = results->GetString(0);
    row.ranking_option = results->GetString(1);
    row.reset_schedules = results->GetString(2);
    row.version = results->GetInt(3);
    row.retired = results->GetInt(4) != 0;
    row.updated_at = results->GetString(5);
    rows->push_back(std::move(row));
  }
  return true;
}

bool DefinitionStore::Find(const std::string& leaderboard_id,
                           std::optional<Row>* row, std::string* error) {
  std::shared_ptr<vel::ResultSets> results;
  const vel::Mariadb::Error failed = Run(
      std::string("SELECT ranking_option, reset_schedules, version, retired, "
                  "DATE_FORMAT(updated_at, '%Y-%m-%d %H:%i:%s') FROM ") +
          kTableName + " WHERE leaderboard_id = " + Quoted(leaderboard_id),
      &results);
  if (failed) {
    *error = DescribeError(failed);
    return false;
  }
  row->reset();
  if (results->SeekNextResultSet() && results->SeekNextRow()) {
    Row found;
    found.leaderboard_id = leaderboard_id;
    found.ranking_option = results->GetString(0);
    found.reset_schedules = results->GetString(1);
    found.version = results->GetInt(2);
    found.retired = results->GetInt(3) != 0;
    found.updated_at = results->GetString(4);
    *row = std::move(found);
  }
  return true;
}

DefinitionStore::Outcome DefinitionStore::Write(const Row& row,
                                                std::int64_t expected_version,
                                                std::string* error) {
  const std::string retired = row.retired ? "1" : "0";
  std::string statement;
  if (expected_version == 0) {
    statement = std::string("INSERT INTO ") + kTableName +
                " (leaderboard_id, ranking_option, reset_schedules, version, "
                "retired, updated_at) VALUES (" +
                Quoted(row.leaderboard_id) + ", " + Quoted(row.ranking_option) +
                ", " + Quoted(row.reset_schedules) + ", 1, " + retired +
                ", NOW())";
  } else {
    statement = std::string("UPDATE ") + kTableName +
                " SET ranking_option = " + Quoted(row.ranking_option) +
                ", reset_schedules = " + Quoted(row.reset_schedules) +
                ", retired = " + retired +
                ", version = version + 1, updated_at = NOW()"
                " WHERE leaderboard_id = " +
                Quoted(row.leaderboard_id) +
                " AND version = " + std::to_string(expected_version);
  }
  std::shared_ptr<vel::ResultSets> results;
  const vel::Mariadb::Error failed = Run(statement, &results);
  if (failed.code == kDuplicateKeyError) return Outcome::kConflict;
  if (failed) {
    *error = DescribeError(failed);
    return Outcome::kFailed;
  }
  // The UPDATE always changes a row it matches (the version moves on), so
  // no affected row means that another writer got there first.
  if (expected_version != 0 && results->GetAffectedRowCount() == 0) {
    return Outcome::kConflict;
  }
  return Outcome::kStored;
}

bool DefinitionStore::HasStoredScores(const std::string& leaderboard_id,
                                      bool* has_scores, std::string* error) {
  std::string names;
  for (const char* suffix :
       {kAllTimeTableSuffix, kDailyTableSuffix, kYesterdayTableSuffix,
        kWeeklyTableSuffix, kLastWeekTableSuffix, kMonthlyTableSuffix,
        kLastMonthTableSuffix}) {
    names += (names.empty() ? "" : ", ") + Quoted(leaderboard_id + suffix);
  }
  std::shared_ptr<vel::ResultSets> tables;
  vel::Mariadb::Error failed =
      Run("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
          "TABLE_SCHEMA = DATABASE() AND TABLE_NAME IN (" +
              names + ")",
          &tables);
  if (failed) {
    *error = DescribeError(failed);
    return false;
  }
  std::string probe;
  if (tables->SeekNextResultSet()) {
    while (tables->SeekNextRow()) {
      // The names came back from the database as those asked for, which
      // the id rule keeps to letters, digits and '_'.
      probe += (probe.empty() ? "SELECT " : " OR ") +
               std::string("EXISTS(SELECT 1 FROM `") + tables->GetString(0) +
               "`)";
    }
  }
  *has_scores = false;
  if (probe.empty()) return true;
  std::shared_ptr<vel::ResultSets> found;
  failed = Run(probe, &found);
  if (failed) {
    *error = DescribeError(failed);
    return false;
  }
  *has_scores = found->SeekNextResultSet() && found->SeekNextRow() &&
                found->GetInt(0) != 0;
  return true;
}

}  // namespace plemox
