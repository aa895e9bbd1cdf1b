// The recovery reads of DbConnectionMariadb: the inventory of score tables,
// their row counts and their rows, read in bounded chunks. Synchronous; they
// run on the recovery thread, one at a time.
#include <glog/logging.h>

#include <utility>

#include "common/leaderboard_assert.h"
#include "database/store/db_connection_mariadb.h"
#include "database/store/internal/key_ordered_chunks.h"
#include "database/store/leaderboard_info.h"
#include "database/store/mysql_schema.h"
#include "database/store/tiebreak_columns.h"

namespace plemox {

namespace {

using vel::Mariadb;
using vel::ResultSets;

// The rows of a score table after `after` (all of them without one) in key
// order, at most `limit`. The row comparison is spelt out so that the server
// reads the primary key range instead of sorting the table.
std::string MakeRecoveryChunkQuery(const std::string& table_name, bool tiebreak,
                                   const RecoveryData* after,
                                   std::size_t limit) {
  std::string query =
      std::string("SELECT service_provider, local_account, score, time_stamp") +
      (tiebreak ? std::string(", ") + kTiebreakColumn : "") + " FROM " +
      table_name;
  if (after != nullptr) {
    const std::string provider =
        "'" + EscapeSqlString(after->service_provider) + "'";
    const std::string account =
        "'" + EscapeSqlString(after->local_account) + "'";
    query += " WHERE service_provider > " + provider +
             " OR (service_provider = " + provider + " AND local_account > " +
             account + ")";
  }
  return query + " ORDER BY service_provider, local_account LIMIT " +
         std::to_string(limit);
}

}  // namespace

bool DbConnectionMariadb::ExecuteRecoveryRead(
    const std::string& query, std::shared_ptr<ResultSets>* result_sets) {
  const std::shared_ptr<Mariadb> client = this->client();
  if (!client) {
    LOG(ERROR) << "Failed to query: the database connection was finalized";
    return false;
  }
  const Mariadb::Error error = client->ExecuteQuerySync(query, result_sets);
  if (error) {
    LOG(ERROR) << "Failed to query: "
               << "code: " << error.code << ", desc: " << error.description
               << ", sqlstate: " << error.sql_state;
    return false;
  }
  if (!*result_sets || !(*result_sets)->SeekNextResultSet()) {
    LOG(ERROR) << "Failed to query: no result";
    return false;
  }
  return true;
}

bool DbConnectionMariadb::QueryLeaderboardInfo(
    std::vector<LeaderboardInfo>* leaderboard_infos) {
  LEADERBOARD_ASSERT(leaderboard_infos);
  std::shared_ptr<ResultSets> result_sets;
  if (!ExecuteRecoveryRead("SHOW TABLES", &result_sets)) return false;
  while (result_sets->SeekNextRow()) {
    LeaderboardInfo info;
    if (ParseScoreTableName(result_sets->GetString(0), &info)) {
      leaderboard_infos->push_back(std::move(info));
    }
  }
  return true;
}

bool DbConnectionMariadb::QueryLeaderboardRowCount(
    const std::string& table_name, std::uint64_t* row_count) {
  LEADERBOARD_ASSERT(row_count);
  std::shared_ptr<ResultSets> result_sets;
  if (!ExecuteRecoveryRead("SELECT COUNT(1) FROM " + table_name,
                           &result_sets)) {
    return false;
  }
  if (!result_sets->SeekNextRow()) {
    LOG(ERROR) << "Failed to query: no result";
    return false;
  }
  *row_count = static_cast<std::uint64_t>(result_sets->GetInt(0));
  return true;
}

bool DbConnectionMariadb::QueryRecoveryData(
    const std::string& table_name, std::vector<RecoveryData>* recovery_datas) {
  LEADERBOARD_ASSERT(recovery_datas);
  constexpr std::size_t kChunkRows = 10000;
  return QueryRecoveryDataInChunks(
      table_name, kChunkRows,
      [recovery_datas](std::vector<RecoveryData>* chunk) {
        for (RecoveryData& data : *chunk) {
          recovery_datas->push_back(std::move(data));
        }
        return true;
      });
}

bool DbConnectionMariadb::QueryRecoveryDataInChunks(
    const std::string& table_name, std::size_t chunk_rows,
    const RecoveryChunkHandler& on_chunk) {
  LEADERBOARD_ASSERT(chunk_rows > 0);
  LeaderboardInfo info;
  const bool tiebreak = ParseScoreTableName(table_name, &info) &&
                        TiebreakColumns::Has(info.leaderboard_id);
  return store_internal::ReadKeyOrderedChunks<RecoveryData>(
      chunk_rows,
      [&](const RecoveryData* after, std::vector<RecoveryData>* chunk) {
        std::shared_ptr<ResultSets> result_sets;
        if (!ExecuteRecoveryRead(
                MakeRecoveryChunkQuery(table_name, tiebreak, after, chunk_rows),
                &result_sets)) {
          return false;
        }
        chunk->reserve(result_sets->GetRowCount());
        while (result_sets->SeekNextRow()) {
          RecoveryData data;
          data.service_provider = result_sets->GetString(0);
          data.local_account = result_sets->GetString(1);
          data.score = result_sets->GetDouble(2, 0);
          data.time_stamp = result_sets->GetInt(3, 0);
          if (tiebreak) data.tiebreak_score = result_sets->GetDouble(4, 0);
          chunk->push_back(std::move(data));
        }
        return true;
      },
      on_chunk);
}

}  // namespace plemox
