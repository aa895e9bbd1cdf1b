// Recovery mode: rebuilds the Redis rankings from the database tables after
// Redis lost its data. Runs on the host thread that called the install
// entry, one step at a time (a helper thread reads the next chunk of a table
// meanwhile); the operator confirms each leaderboard on the console unless
// the run is forced.
#include <glog/logging.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <iostream>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/leaderboard_assert.h"
#include "database/cache/redis_cache.h"
#include "database/store/db_connection.h"
#include "database/store/leaderboard_info.h"
#include "database/store/recovery_data.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/league/league_recovery.h"
#include "leaderboard/service/internal/profile_recovery.h"
#include "leaderboard/service/internal/schema_installation.h"
#include "leaderboard/service/internal/table_ranking.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/top_answer_cache.h"
#include "vel/mariadb/mariadb.h"

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

// Reads the chunks of one table on a thread of its own, at most
// kMaxReadAhead chunks ahead of the caller, so that the database read of the
// next chunk overlaps the Redis writes of the current one. Next() is called
// from one thread, the one that made the reader.
class ChunkReader {
 public:
  ChunkReader(DbConnection* db_connection, const std::string& table_name)
      : thread_([this, db_connection, table_name] {
          Read(db_connection, table_name);
        }) {}
  // Stops the read (a chunk read in progress is finished) and waits for the
  // thread.
  ~ChunkReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Moves the next chunk into *chunk; false at the end of the table or
  // after a failed read (then succeeded() is false).
  bool Next(std::vector<RecoveryData>* chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !chunks_.empty() || finished_; });
    if (chunks_.empty()) return false;
    *chunk = std::move(chunks_.front());
    chunks_.pop_front();
    changed_.notify_all();
    return true;
  }
  // Whether the whole table was read. REQUIRES: Next() returned false.
  bool succeeded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return succeeded_;
  }

 private:
  static constexpr std::size_t kMaxReadAhead = 2;

  void Read(DbConnection* db_connection, const std::string& table_name) {
    const bool read = db_connection->QueryRecoveryDataInChunks(
        table_name, kRecoveryChunkRows,
        [this](std::vector<RecoveryData>* chunk) {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait(lock, [this] {
            return chunks_.size() < kMaxReadAhead || stopped_;
          });
          if (stopped_) return false;
          chunks_.push_back(std::move(*chunk));
          changed_.notify_all();
          return true;
        });
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    succeeded_ = read;
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<RecoveryData>> chunks_;  // GUARDED_BY(mutex_)
  bool finished_ = false;                         // GUARDED_BY(mutex_)
  bool succeeded_ = false;                        // GUARDED_BY(mutex_)
  bool stopped_ = false;                          // GUARDED_BY(mutex_)
  // Last: starts once the members above exist.
  std::thread thread_;
};

// Replays every row of one table into its ranking.
bool RecoverTable(DbConnection* db_connection, const LeaderboardInfo& info) {
  const std::string& leaderboard_id = info.leaderboard_id;
  const Timespan timespan = info.timespan;
  const RankingOption option =
      service_internal::RecoveryRankingOption(leaderboard_id);
  const service_internal::TableRanking ranking =
      service_internal::RankingOfTable(info);

  std::uint64_t row_number = 0;
  std::uint64_t failed_rows = 0;
  std::uint64_t progress_threshold = 10;
  std::vector<RedisCache::RecoveryScore> scores;
  std::vector<std::size_t> failed;
  bool redis_lost = false;
  const auto on_chunk = [&](const std::vector<RecoveryData>* chunk) {
    scores.clear();
    failed.clear();
    for (const RecoveryData& row : *chunk) {
      RedisCache::RecoveryScore score;
      score.account =
          vel::PlayerAccount(row.service_provider, row.local_account);
      // The database keeps both values negated, the time stamp in seconds.
      score.score = row.score * -1.0;
      score.timestamp = RecoveredTimestampInMsec(row.time_stamp);
      score.tiebreak_score = row.tiebreak_score;
      scores.push_back(std::move(score));
    }
    RedisCache::SubmitScoresForRecovery(ranking.leaderboard_id,
                                        ranking.timespan, scores, option,
                                        &failed, ranking.week_time);
    TopAnswerCache::DropAnswersOf(ranking.leaderboard_id);
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
    LeaderboardMetrics::CountRecoveryRows(chunk->size(), failed.size());
    // A row the cache refuses is skipped, but rows that fail because Redis
    // stopped answering are not recovered at all: a run that went on would
    // report a restored ranking that Redis does not hold.
    std::uint64_t members = 0;
    if (!failed.empty() &&
        !RedisCache::GetRowCount(ranking.leaderboard_id, ranking.timespan,
                                 &members, ranking.week_time)) {
      redis_lost = true;
      return;
    }
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
  };
  LeaderboardMetrics::CountRecoveryTableStarted(info.db_row_count);
  {
    ChunkReader reader(db_connection, info.table_name);
    std::vector<RecoveryData> chunk;
    while (!redis_lost && reader.Next(&chunk)) on_chunk(&chunk);
    if (redis_lost) {
      LOG(ERROR) << "Redis stopped answering while recovering the data"
                 << ": table=" << info.table_name
                 << ", recovered rows before=" << row_number;
      return false;
    }
    if (!reader.succeeded()) return false;
  }
  if (failed_rows != 0) {
    LOG(WARNING) << "Rows that could not be recovered (see above)"
                 << ": table=" << info.table_name
                 << ", failed rows=" << failed_rows << ", rows=" << row_number;
  }
  LeaderboardMetrics::CountRecoveryTableDone();
  return true;
}

}  // namespace

namespace {

// Rebuilds the cohorts and tiers of `leaderboard_id` when it is a league.
bool RecoverLeague(const std::string& server_url, const std::string& user_id,
                   const std::string& password,
                   const std::string& database_name,
                   const std::string& character_set,
                   const std::string& leaderboard_id) {
  RankingOption option;
  RankingOptions::GetRankingOption(leaderboard_id, &option);
  if (!option.is_league()) return true;
  auto client = vel::Mariadb::Create(
      server_url, user_id, password, database_name, 1, character_set,
      vel::Mariadb::kDefaultAutoRetryOnDeadlock,
      vel::Mariadb::kDefaultClientFlags, 0,
      vel::Mariadb::kDefaultConnectionFailureHandler);
  if (!client || !client->Initialize()) {
    LOG(ERROR) << "Failed to connect the league recovery's database client";
    return false;
  }
  const bool rebuilt = LeagueRecovery::Rebuild(*client, option);
  client->Finalize();
  return rebuilt;
}

// Once the rankings of `leaderboard_id` are rebuilt: places the players of
// a league's current period whose placement the database lacked.
bool PlaceLeagueNewcomers(const std::string& leaderboard_id) {
  RankingOption option;
  RankingOptions::GetRankingOption(leaderboard_id, &option);
  return !option.is_league() || LeagueRecovery::PlaceUnplaced(option);
}

}  // namespace

bool LeaderboardService::RunRecovery(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    std::uint64_t connection_count, const std::string& character_set,
    std::int64_t slow_query_threshold_ms, const std::string& target_ids,
    bool force) {
  LOG(INFO) << "The Leaderboard recovery mode is started.";
  service_internal::RegisterTiebreakColumns();
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
    } else if (const service_internal::TableRanking ranking =
                   service_internal::RankingOfTable(info);
               !RedisCache::GetRowCount(ranking.leaderboard_id,
                                        ranking.timespan, &info.cache_row_count,
                                        ranking.week_time)) {
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
  std::set<std::string> recovered;
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
      if (!service_internal::RecoverProfiles(db_connection.get(),
                                             info.leaderboard_id) ||
          !RecoverLeague(server_url, user_id, password, database_name,
                         character_set, info.leaderboard_id)) {
        return false;
      }
      recovered.insert(info.leaderboard_id);
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
  for (const std::string& leaderboard_id : recovered) {
    if (!PlaceLeagueNewcomers(leaderboard_id)) return false;
  }
  db_connection->Finalize();
  return true;
}

}  // namespace plemox
