// The player profile operations of DbConnectionMariadb: the writes and
// deletions of one player's display name and metadata on a leaderboard, in
// order with the player's score writes, and the chunked read recovery uses.
#include <glog/logging.h>

#include <utility>

#include "common/leaderboard_assert.h"
#include "database/store/backlog_entry.h"
#include "database/store/db_connection_mariadb.h"
#include "database/store/db_write_backlog.h"
#include "database/store/internal/key_ordered_chunks.h"
#include "database/store/player_profile_schema.h"

namespace plemox {

namespace {

using vel::Mariadb;
using vel::ResultSets;

// MariaDB's "table doesn't exist".
constexpr unsigned kNoSuchTableError = 1146;

void OnProfileWritten(const Mariadb::Error& error, const char* operation,
                      const std::string& leaderboard_id,
                      const vel::PlayerAccount& account,
                      const DbConnection::ProfileCallback& callback) {
  VLOG(2) << operation << " done";
  // A write handed over to the backlog reaches the table later.
  const bool failed = error && error.code != Mariadb::kWriteHandedOverError;
  if (failed) {
    LOG(ERROR) << "Failed to execute query: " << error << ", " << operation
               << ": leaderboard id: " << leaderboard_id
               << ", player account: " << account;
  }
  if (callback) callback(failed);
}

}  // namespace

void DbConnectionMariadb::SubmitProfile(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const std::optional<std::string>& display_name,
    const std::optional<std::string>& metadata, ProfileCallback callback) {
  VLOG(2) << "SubmitProfile called";
  const std::string query = MakePlayerProfileWriteQuery(leaderboard_id, account,
                                                        display_name, metadata);
  Execute(
      query,
      [leaderboard_id, account, callback](const std::shared_ptr<ResultSets>&,
                                          const Mariadb::Error& error) {
        OnProfileWritten(error, "profile write", leaderboard_id, account,
                         callback);
      },
      &account, /*keep_while_unreachable=*/true,
      DbWriteBacklog::Process()
          ? BacklogEntry::EncodeProfilePayload(
                leaderboard_id, account.service_provider(), account.id(),
                display_name, metadata)
          : std::string());
}

void DbConnectionMariadb::DeleteProfile(const std::string& leaderboard_id,
                                        const vel::PlayerAccount& account,
                                        ProfileCallback callback) {
  VLOG(2) << "DeleteProfile called";
  const std::string query =
      MakePlayerProfileDeletionQuery(leaderboard_id, account);
  VLOG(2) << "delete profile. query: " << query;
  Execute(
      query,
      [leaderboard_id, account, callback](const std::shared_ptr<ResultSets>&,
                                          const Mariadb::Error& error) {
        OnProfileWritten(error, "profile deletion", leaderboard_id, account,
                         callback);
      },
      &account);
}

bool DbConnectionMariadb::QueryProfilesInChunks(
    const std::string& leaderboard_id, std::size_t chunk_rows,
    const ProfileChunkHandler& on_chunk) {
  LEADERBOARD_ASSERT(chunk_rows > 0);
  bool no_table = false;
  const bool read = store_internal::ReadKeyOrderedChunks<PlayerProfileRow>(
      chunk_rows,
      [&](const PlayerProfileRow* after, std::vector<PlayerProfileRow>* chunk) {
        const std::shared_ptr<Mariadb> client = this->client();
        if (!client) {
          LOG(ERROR) << "Failed to query: the database connection was "
                        "finalized";
          return false;
        }
        std::shared_ptr<ResultSets> result_sets;
        const Mariadb::Error error = client->ExecuteQuerySync(
            MakePlayerProfileChunkQuery(leaderboard_id, after, chunk_rows),
            &result_sets);
        if (error.code == kNoSuchTableError) {
          // A database made before profiles existed: none to read.
          no_table = true;
          return true;
        }
        if (error) {
          LOG(ERROR) << "Failed to query: "
                     << "code: " << error.code
                     << ", desc: " << error.description
                     << ", sqlstate: " << error.sql_state;
          return false;
        }
        if (!result_sets || !result_sets->SeekNextResultSet()) {
          LOG(ERROR) << "Failed to query: no result";
          return false;
        }
        chunk->reserve(result_sets->GetRowCount());
        while (result_sets->SeekNextRow()) {
          PlayerProfileRow row;
          row.service_provider = result_sets->GetString(0);
          row.local_account = result_sets->GetString(1);
          row.display_name = result_sets->GetString(2);
          row.metadata = result_sets->GetString(3);
          chunk->push_back(std::move(row));
        }
        return true;
      },
      on_chunk);
  if (no_table) {
    LOG(INFO) << "No " << kPlayerProfileTableName
              << " table: no profiles to recover";
  }
  return read;
}

}  // namespace plemox
