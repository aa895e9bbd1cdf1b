// Recovery mode: rebuilds the Redis rankings from the database tables after
// Redis lost its data. Runs on the host thread that called the install
// entry, one step at a time; the operator confirms each leaderboard on the
// console unless the run is forced.
#include <glog/logging.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cstdint>
#include <iostream>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "database/db_connection.h"
#include "database/leaderboard_info.h"
#include "database/recovery_data.h"
#include "database/redis_cache.h"
#include "leaderboard/leaderboard_assert.h"
#include "leaderboard/leaderboard_service.h"
#include "leaderboard/ranking_options.h"

namespace plemox {
namespace {

// Rows read from the database and written to Redis at a time: large enough
// that the round trips cost little, small enough that memory stays a few
// megabytes whatever the table size.
constexpr std::size_t kRecoveryChunkRows = 5000;

// Asks the operator whether to recover the leaderboard just announced. The
// prompt goes to the log (which --alsologtostderr copies to the terminal),
// the answer is one word from standard input; standard input that is closed
// or unreadable answers "n".
bool AskToRecover() {
  for (;;) {
    LOG(INFO) << "The Leaderboard ranking data is going to be recovered from "
                 "DB to Redis. Are you sure to recover the data? (y / n)";
    std::string answer = "n";
    if (!(std::cin >> answer)) answer = "n";
    if (boost::algorithm::iequals(answer, "n")) return false;
    if (boost::algorithm::iequals(answer, "y")) return true;
    LOG(WARNING) << "Typing error: " << answer;
  }
}

// The stored time stamp (minus the seconds) as the milliseconds of the
// ranking member; -1, which the cache refuses, when it cannot be one.
std::int64_t RecoveredTimestampInMsec(std::int64_t stored_time_stamp) {
  constexpr std::int64_t kLimit =
      std::numeric_limits<std::int64_t>::max() / 1000;
  if (stored_time_stamp < -kLimit || stored_time_stamp > 0) return -1;
  return -stored_time_stamp * 1000;
}

// Replays every row of one table into its ranking.
bool RecoverTable(DbConnection* db_connection, const LeaderboardInfo& info) {
  const std::string& leaderboard_id = info.leaderboard_id;
  const Timespan timespan = info.timespan;
  RankingOption option;
  RankingOptions::GetRankingOption(leaderboard_id, &option);

  std::uint64_t row_number = 0;
  std::uint64_t failed_rows = 0;
  std::uint64_t progress_threshold = 10;
  std::vector<RedisCache::RecoveryScore> scores;
  std::vector<std::size_t> failed;
  const auto on_chunk = [&](std::vector<RecoveryData>* chunk) {
    scores.clear();
    failed.clear();
    for (const RecoveryData& row : *chunk) {
      RedisCache::RecoveryScore score;
      score.account =
          vel::PlayerAccount(row.service_provider, row.local_account);
      // The database keeps both values negated, the time stamp in seconds.
      score.score = row.score * -1.0;
      score.timestamp = RecoveredTimestampInMsec(row.time_stamp);
      scores.push_back(std::move(score));
    }
    RedisCache::SubmitScoresForRecovery(leaderboard_id, timespan, scores,
                                        option, &failed);
    for (const std::size_t i : failed) {
      const RedisCache::RecoveryScore& score = scores[i];
      LOG(WARNING) << "Failed to submit score while recovering the data"
                   << ": "
                   << "leaderboard"
                   << "=" << leaderboard_id
                   << ", timespan=" << static_cast<int>(timespan)
                   << ", service provider=" << score.account.service_provider()
                   << ", local account=" << score.account.id()
                   << ", score=" << score.score
                   << ", timestamp=" << score.timestamp
                   << ", stored time stamp=" << (*chunk)[i].time_stamp;
    }
    failed_rows += failed.size();
    for (std::size_t n = 0; n < chunk->size(); ++n) {
      ++row_number;
      // Rows written after the count make the table longer than counted.
      const std::uint64_t total = std::max(info.db_row_count, row_number);
      const std::uint64_t percent = 100 * row_number / total;
      if (percent >= progress_threshold) {
        LOG(INFO) << "Recovering"
                  << ": " << percent << "%";
        progress_threshold += 10;
      }
    }
    return true;
  };
  if (!db_connection->QueryRecoveryDataInChunks(info.table_name,
                                                kRecoveryChunkRows, on_chunk)) {
    return false;
  }
  if (failed_rows != 0) {
    LOG(WARNING) << "Rows that could not be recovered (see above)"
                 << ": table=" << info.table_name
                 << ", failed rows=" << failed_rows << ", rows=" << row_number;
  }
  return true;
}

}  // namespace

bool LeaderboardService::RunRecovery(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    std::uint64_t connection_count, const std::string& character_set,
    std::int64_t slow_query_threshold_ms, const std::string& target_ids,
    bool force) {
  LOG(INFO) << "The Leaderboard recovery mode is started.";
  LEADERBOARD_ASSERT(RedisCache::Initialize())
      << "Failed to initialize the Redis database.";
  const std::shared_ptr<DbConnection> db_connection = DbConnection::Create(
      server_url, user_id, password, database_name, connection_count,
      character_set, slow_query_threshold_ms);
  if (!db_connection) {
    LOG(FATAL) << "Assert failed: the_db_connection"
               << ": "
               << "Failed to initialize the database, Please check the "
                  "database setting in your MANIFEST.json";
  }

  std::vector<LeaderboardInfo> leaderboard_infos;
  bool inventory_read = db_connection->QueryLeaderboardInfo(&leaderboard_infos);
  for (LeaderboardInfo& info : leaderboard_infos) {
    if (!inventory_read) break;
    if (!db_connection->QueryLeaderboardRowCount(info.table_name,
                                                 &info.db_row_count)) {
      LOG(ERROR) << "Failed to query leaderboard row count"
                 << ": database=MySQL/MariaDB"
                 << ", " << info.table_name;
      inventory_read = false;
    } else if (!RedisCache::GetRowCount(info.leaderboard_id, info.timespan,
                                        &info.cache_row_count)) {
      LOG(ERROR) << "Failed to query leaderboard row count"
                 << ": database=Redis"
                 << ", id=" << info.leaderboard_id;
      inventory_read = false;
    }
  }
  if (!inventory_read) {
    LOG(FATAL) << "Assert failed: QueryLeaderboardInfo(&leaderboard_infos)"
               << ": "
               << "Failed to query Leaderboard tables.";
  }

  // The pieces are used as they are: "a, b" names "a" and " b".
  std::set<std::string> targets;
  if (!target_ids.empty()) {
    LOG(INFO) << "The 'recovery_target_leaderboard_ids' flag: " << target_ids;
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, target_ids, boost::is_any_of(","));
    targets.insert(pieces.begin(), pieces.end());
  } else {
    LOG(INFO) << "'recovery_target_leaderboard_ids' flag is not set, "
                 "Recovering all Leaderboard IDs.";
  }

  // The answer given for a leaderboard id holds for its following tables.
  std::string last_leaderboard_id;
  bool last_answer = false;
  for (const LeaderboardInfo& info : leaderboard_infos) {
    if (!target_ids.empty() && targets.count(info.leaderboard_id) == 0) {
      LOG(INFO) << "Recovering Leaderboard ID(" << info.leaderboard_id
                << ") is skipped. the ID is not in the list(" << target_ids
                << ").";
      continue;
    }
    if (info.leaderboard_id == last_leaderboard_id) {
      if (!force && !last_answer) continue;
    } else {
      last_leaderboard_id = info.leaderboard_id;
      last_answer = false;
      LOG(INFO) << "The target Leaderboard to recover"
                << ": " << info.leaderboard_id;
      if (!force) {
        last_answer = AskToRecover();
        if (!last_answer) continue;
      }
    }
    LOG(INFO) << "The target Leaderboard info"
              << ": "
              << "Leaderboard"
              << "=" << info.table_name << ", "
              << "row count"
              << "(DB)=" << info.db_row_count << ", "
              << "row count"
              << "(Redis)=" << info.cache_row_count;
    LOG(INFO) << "Recovering the data"
              << ": table=" << info.table_name;
    if (!RecoverTable(db_connection.get(), info)) {
      LOG(ERROR) << "Failed to query and recover the data"
                 << ": "
                 << "Leaderboard"
                 << "=" << info.table_name << ", id=" << info.leaderboard_id
                 << ", timespan=" << static_cast<int>(info.timespan);
      return false;
    }
  }
  db_connection->Finalize();
  return true;
}

}  // namespace plemox
