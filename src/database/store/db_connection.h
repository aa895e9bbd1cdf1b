// DbConnection: the persistent store as the rest of the component sees it,
// one operation per database task. Score writes, deletions, reset-log reads
// and inserts and table resets are asynchronous: they return at once and
// complete later on a database client thread. Schema installation and the
// recovery reads are synchronous. Database failures never reach the caller
// as exceptions: each completion gets a failure flag (or a JSON "error"
// member) and the failure is logged.
//
// Threads: the operations may be called from any thread (the service calls
// them from its event threads); completions run on the database client's
// threads and must not block for long. Finalize is called once, at shutdown,
// after the last operation; operations after it fail (logged).
//
// Statements are built by the functions of database/mysql_schema.h, whose
// precondition on leaderboard ids (validated alphabet) holds here too. With
// stored procedures on, the score writes, deletions and resets of a
// leaderboard whose tables the process does not know to exist wait until
// they were created (LeaderboardTables); a failed creation fails them.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/period_end.h"
#include "common/reset_schedule_info.h"
#include "database/store/leaderboard_info.h"
#include "database/store/player_profile_row.h"
#include "database/store/recovery_data.h"
#include "leaderboard.pb.h"
#include "vel/core/json.h"
#include "vel/core/player_account.h"

namespace plemox {

class DbConnection {
 public:
  // One entry of the cache's outcome list: the ranking in which the score is
  // a new record, and the score now stored there.
  using ScoreOutcome =
      std::pair<Leaderboard::ScoreSubmission::Response::Result, double>;

  using SubmitScoreCallback = std::function<void(const bool& failed)>;
  using DeleteScoreCallback = std::function<void(bool failed)>;
  using QueryResetScheduleLogCallback =
      std::function<void(const bool& failed, const bool& found,
                         const std::string& reset_date_time)>;
  // Receives {"error": bool, "message": text, <leaderboard key>: [{
  // "schedule_date_time": text, "reset_date_time": text}, ...], ...}.
  using ResetScheduleLogJsonCallback = std::function<void(const vel::Json&)>;
  using InsertResetScheduleLogCallback = std::function<void(
      const bool& failed, const bool& duplicated,
      const std::string& leaderboard_id, const std::string& leaderboard_key,
      const std::string& schedule_date_time)>;
  using ResetLeaderboardCallback = std::function<void(
      const bool& failed, const std::string& leaderboard_id)>;

  // Connects to the database: builds a DbConnectionMariadb over a
  // vel::Mariadb client with `connection_count` connections and initializes
  // it. Returns null (logged) when the client cannot be initialized (server
  // unreachable, bad credentials, unknown character set). Call from a
  // controlling thread (start-up, recovery), not from a completion.
  static std::shared_ptr<DbConnection> Create(
      const std::string& server_url, const std::string& user_id,
      const std::string& password, const std::string& database_name,
      std::size_t connection_count, const std::string& character_set,
      std::int64_t slow_query_threshold_ms);

  virtual ~DbConnection() = default;

  // Closes the client; pending completions are still called. Idempotent.
  virtual void Finalize() = 0;

  // Runs `scripts` one after another and waits for each (schema
  // installation). Stops at the first failing script (logged with the
  // script) and returns false; true when all ran. REQUIRES: no script is
  // empty or white space only (fatal).
  virtual bool ExecuteScripts(const std::vector<std::string>& scripts) = 0;

  // Writes a new record: the table of `outcome.first` receives
  // -outcome.second as score and -time_stamp_in_msec / 1000 (seconds,
  // truncated toward zero) as time stamp. With
  // --leaderboard_use_db_bulk_insert the write is queued instead; a queued
  // write that a newer one of the same player supersedes never completes.
  // On a leaderboard with a tiebreak, `tiebreak_score` (the real second
  // score) goes into the table's tiebreak_score column in the same
  // statement. REQUIRES: outcome.first != kNone (fatal).
  virtual void SubmitScore(const std::string& leaderboard_id,
                           const vel::PlayerAccount& account,
                           const ScoreOutcome& outcome,
                           std::int64_t time_stamp_in_msec,
                           const boost::posix_time::ptime& next_date_time,
                           std::optional<double> tiebreak_score,
                           SubmitScoreCallback callback) = 0;
  // The write of a leaderboard without a tiebreak.
  void SubmitScore(const std::string& leaderboard_id,
                   const vel::PlayerAccount& account,
                   const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
                   const boost::posix_time::ptime& next_date_time,
                   SubmitScoreCallback callback) {
    SubmitScore(leaderboard_id, account, outcome, time_stamp_in_msec,
                next_date_time, std::nullopt, std::move(callback));
  }

  // Deletes the player's rows from the all-time table and the tables of the
  // scheduled periods in `info` (all of them without schedules).
  virtual void DeleteScore(const std::string& leaderboard_id,
                           const vel::PlayerAccount& account,
                           const ResetScheduleInfo& info,
                           DeleteScoreCallback callback) = 0;

  // Every reset log row of `leaderboard_key`, as JSON; the key's array is
  // present (maybe empty) on success.
  virtual void QueryResetScheduleLog2(
      const std::string& leaderboard_key,
      ResetScheduleLogJsonCallback callback) = 0;

  // Whether the reset of (leaderboard key, schedule date time) is logged,
  // and when it happened. REQUIRES: no argument is empty (fatal).
  virtual void QueryResetScheduleLog(
      const std::string& leaderboard_id, const std::string& leaderboard_key,
      const std::string& schedule_date_time,
      QueryResetScheduleLogCallback callback) = 0;

  // The whole reset log as JSON; keys without rows do not appear.
  virtual void QueryResetScheduleLogAll(
      ResetScheduleLogJsonCallback callback) = 0;

  // Logs a performed reset. A row that exists already completes with
  // failed false and duplicated true: the reset was done before.
  // REQUIRES: no argument is empty (fatal).
  virtual void InsertResetScheduleLog(
      const std::string& leaderboard_id, const std::string& leaderboard_key,
      const std::string& schedule_date_time,
      InsertResetScheduleLogCallback callback) = 0;

  // InsertResetScheduleLog of (period_end.leaderboard_id,
  // period_end.leaderboard_key, schedule_date_time) and, in the same
  // transaction, the row of the period it ends in the period archive (and
  // its notification when period_end.notify), with `owner` holding the
  // archiving. Completes as InsertResetScheduleLog: when the log row exists
  // nothing is written. REQUIRES: no argument is empty (fatal).
  virtual void InsertResetScheduleLogAndPeriodEnd(
      const PeriodEnd& period_end, const std::string& schedule_date_time,
      const std::string& owner, InsertResetScheduleLogCallback callback) = 0;

  // Recovery reads; synchronous, one at a time. Each returns false on a
  // database error or a missing result (logged) and keeps what it appended.
  // Appends one record per score table of the database (see
  // ParseScoreTableName). REQUIRES: leaderboard_infos != nullptr (fatal).
  virtual bool QueryLeaderboardInfo(
      std::vector<LeaderboardInfo>* leaderboard_infos) = 0;
  // Stores the number of rows of `table_name`. REQUIRES: row_count non-null.
  virtual bool QueryLeaderboardRowCount(const std::string& table_name,
                                        std::uint64_t* row_count) = 0;
  // Appends every row of `table_name` (stored, negated values), read as by
  // QueryRecoveryDataInChunks. REQUIRES: recovery_datas != nullptr (fatal).
  virtual bool QueryRecoveryData(const std::string& table_name,
                                 std::vector<RecoveryData>* recovery_datas) = 0;
  // Receives one chunk of rows (it may take them); returns false to stop.
  using RecoveryChunkHandler =
      std::function<bool(std::vector<RecoveryData>* chunk)>;
  // Reads every row of `table_name` in key order, in chunks of at most
  // `chunk_rows` rows (one statement each, resuming after the last key
  // read), and hands each chunk to `on_chunk` before reading the next: the
  // memory used stays one chunk whatever the size of the table. Rows written
  // while it reads may or may not be seen. Returns false on a read failure
  // (logged) or when `on_chunk` returned false. REQUIRES: chunk_rows > 0.
  virtual bool QueryRecoveryDataInChunks(
      const std::string& table_name, std::size_t chunk_rows,
      const RecoveryChunkHandler& on_chunk) = 0;

  // Holds back the score writes and deletions of `leaderboard_id` stamped
  // (milliseconds since the epoch) at or after `period_end_ms`, the end of
  // a period whose table rotation is still to run, until
  // ReleaseNewPeriodWrites with the same `token` (see RotationGates): they
  // then follow the rotation, in their order, into the new period's
  // tables. Writes of the closing period go on meanwhile. Every hold must
  // be released, whatever became of the rotation.
  virtual void HoldNewPeriodWrites(const std::string& leaderboard_id,
                                   const std::string& token,
                                   std::int64_t period_end_ms) = 0;
  virtual void ReleaseNewPeriodWrites(const std::string& leaderboard_id,
                                      const std::string& token) = 0;

  // Roll the daily (weekly, monthly) table of `leaderboard_id` over into its
  // previous-period table. `leaderboard_key` names the schedule in logs.
  // Rotations of one leaderboard run in the order they were asked for;
  // those of different leaderboards may run side by side.
  virtual void ResetDailyLeaderboard(const std::string& leaderboard_id,
                                     const std::string& leaderboard_key,
                                     ResetLeaderboardCallback callback) = 0;
  virtual void ResetWeeklyLeaderboard(const std::string& leaderboard_id,
                                      const std::string& leaderboard_key,
                                      ResetLeaderboardCallback callback) = 0;
  virtual void ResetMonthlyLeaderboard(const std::string& leaderboard_id,
                                       const std::string& leaderboard_key,
                                       ResetLeaderboardCallback callback) = 0;

  // --- Player profiles: the display name and metadata of a player on a
  // leaderboard (table player_profile). ---
  using ProfileCallback = std::function<void(bool failed)>;
  // Writes the given parts of the player's profile (a part not given keeps
  // its stored value; a new row starts with it empty). Runs in order with
  // the player's other writes and, being idempotent, is kept and retried
  // while the database cannot be reached. REQUIRES: a part is given.
  virtual void SubmitProfile(const std::string& leaderboard_id,
                             const vel::PlayerAccount& account,
                             const std::optional<std::string>& display_name,
                             const std::optional<std::string>& metadata,
                             ProfileCallback callback) = 0;
  // Deletes the player's profile row of the leaderboard (none is fine), in
  // order with the player's other writes.
  virtual void DeleteProfile(const std::string& leaderboard_id,
                             const vel::PlayerAccount& account,
                             ProfileCallback callback) = 0;
  // Receives one chunk of profile rows (it may take them); false stops.
  using ProfileChunkHandler =
      std::function<bool(std::vector<PlayerProfileRow>* chunk)>;
  // Recovery: reads every profile row of `leaderboard_id` in key order, in
  // chunks of at most `chunk_rows` rows, handing each to `on_chunk` before
  // reading the next. A database without the table (made before profiles
  // existed) has none: true. False on another read failure (logged) or when
  // `on_chunk` returned false. Synchronous. REQUIRES: chunk_rows > 0.
  virtual bool QueryProfilesInChunks(const std::string& leaderboard_id,
                                     std::size_t chunk_rows,
                                     const ProfileChunkHandler& on_chunk) = 0;
};

}  // namespace plemox
