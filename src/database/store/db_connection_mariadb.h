// DbConnectionMariadb: the DbConnection over the host's vel::Mariadb client.
// Every operation builds its statement with database/mysql_schema.h and runs
// it on the client; completions run on the client's worker threads and are
// bound to copies of their arguments.
//
// With stored procedures on, the operations on a leaderboard's tables
// (score writes, bulk or not, deletions and resets) of an id that this
// process does not know to have its tables wait until LeaderboardTables has
// created them; a failed creation completes them with its error.
//
// Threads: as DbConnection. The client handle is set at creation and
// cleared by Finalize; it is read and cleared atomically, so an operation
// racing with Finalize fails cleanly instead of touching a freed client.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "database/store/db_connection.h"
#include "database/store/leaderboard_tables.h"
#include "database/store/rotation_gates.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {

class DbConnectionMariadb : public DbConnection {
 public:
  // Takes a created, not yet initialized client, the registry of the
  // leaderboards whose tables exist (the process's by default) and the
  // client of the table rotations (none: they run on `client`); rotations
  // of one leaderboard keep their order on one of its connections.
  explicit DbConnectionMariadb(
      std::shared_ptr<vel::Mariadb> client,
      std::shared_ptr<LeaderboardTables> tables = LeaderboardTables::Process(),
      std::shared_ptr<vel::Mariadb> rotation_client = nullptr);
  ~DbConnectionMariadb() override;
  DbConnectionMariadb(const DbConnectionMariadb&) = delete;
  DbConnectionMariadb& operator=(const DbConnectionMariadb&) = delete;

  // Opens the client's connections and learns how the server wants string
  // values escaped (SetSqlNoBackslashEscapes). False (logged) when it
  // cannot connect.
  bool Initialize();

  void Finalize() override;
  bool ExecuteScripts(const std::vector<std::string>& scripts) override;
  using DbConnection::SubmitScore;
  void SubmitScore(const std::string& leaderboard_id,
                   const vel::PlayerAccount& account,
                   const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
                   const boost::posix_time::ptime& next_date_time,
                   std::optional<double> tiebreak_score,
                   SubmitScoreCallback callback) override;
  void DeleteScore(const std::string& leaderboard_id,
                   const vel::PlayerAccount& account,
                   const ResetScheduleInfo& info,
                   DeleteScoreCallback callback) override;
  void QueryResetScheduleLog2(const std::string& leaderboard_key,
                              ResetScheduleLogJsonCallback callback) override;
  void QueryResetScheduleLog(const std::string& leaderboard_id,
                             const std::string& leaderboard_key,
                             const std::string& schedule_date_time,
                             QueryResetScheduleLogCallback callback) override;
  void QueryResetScheduleLogAll(ResetScheduleLogJsonCallback callback) override;
  void InsertResetScheduleLog(const std::string& leaderboard_id,
                              const std::string& leaderboard_key,
                              const std::string& schedule_date_time,
                              InsertResetScheduleLogCallback callback) override;
  void InsertResetScheduleLogAndPeriodEnd(
      const PeriodEnd& period_end, const std::string& schedule_date_time,
      const std::string& owner,
      InsertResetScheduleLogCallback callback) override;
  bool QueryLeaderboardInfo(
      std::vector<LeaderboardInfo>* leaderboard_infos) override;
  bool QueryLeaderboardRowCount(const std::string& table_name,
                                std::uint64_t* row_count) override;
  bool QueryRecoveryData(const std::string& table_name,
                         std::vector<RecoveryData>* recovery_datas) override;
  bool QueryRecoveryDataInChunks(const std::string& table_name,
                                 std::size_t chunk_rows,
                                 const RecoveryChunkHandler& on_chunk) override;
  void ResetDailyLeaderboard(const std::string& leaderboard_id,
                             const std::string& leaderboard_key,
                             ResetLeaderboardCallback callback) override;
  void ResetWeeklyLeaderboard(const std::string& leaderboard_id,
                              const std::string& leaderboard_key,
                              ResetLeaderboardCallback callback) override;
  void ResetMonthlyLeaderboard(const std::string& leaderboard_id,
                               const std::string& leaderboard_key,
                               ResetLeaderboardCallback callback) override;
  void HoldNewPeriodWrites(const std::string& leaderboard_id,
                           const std::string& token,
                           std::int64_t period_end_ms) override;
  void ReleaseNewPeriodWrites(const std::string& leaderboard_id,
                              const std::string& token) override;

  // The writes held back by HoldNewPeriodWrites now. Any thread.
  std::size_t held_write_count() const;

  void SubmitProfile(const std::string& leaderboard_id,
                     const vel::PlayerAccount& account,
                     const std::optional<std::string>& display_name,
                     const std::optional<std::string>& metadata,
                     ProfileCallback callback) override;
  void DeleteProfile(const std::string& leaderboard_id,
                     const vel::PlayerAccount& account,
                     ProfileCallback callback) override;
  bool QueryProfilesInChunks(const std::string& leaderboard_id,
                             std::size_t chunk_rows,
                             const ProfileChunkHandler& on_chunk) override;

  // Hands a write whose database client cannot take it any more (finalized,
  // or the creation of its tables could not reach the database) to the
  // process's write backlog, and completes `callback` with
  // kWriteHandedOverError. False, with nothing done, when `error` is not
  // such a case, the payload is empty or no backlog runs. Any thread.
  static bool HandOverInstead(const vel::Mariadb::Error& error,
                              const std::string& payload,
                              const vel::Mariadb::Callback& callback);

  // The write backlog's payload of one score write (BacklogEntry), from the
  // arguments SubmitScore takes; empty when no backlog runs. Any thread.
  static std::string ScorePayload(
      const std::string& leaderboard_id, const vel::PlayerAccount& account,
      const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
      const boost::posix_time::ptime& next_date_time,
      std::optional<double> tiebreak_score = std::nullopt);

  // The counts of the score writes sent on this connection's client (see
  // vel::Mariadb::WriteStats); all zero after Finalize. Any thread.
  vel::Mariadb::WriteStats write_stats() const;

  // The bulk insert queue's entry. With --leaderboard_use_db_bulk_insert set,
  // SubmitScore sends nothing itself and hands its arguments (the outcome
  // and time stamp as received, not yet negated) to this function, which
  // queues the write and completes it later through `callback`.
  using BulkScoreSubmitter = std::function<void(
      const std::string& leaderboard_id, const vel::PlayerAccount& account,
      const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
      const boost::posix_time::ptime& next_date_time,
      std::optional<double> tiebreak_score,
      const SubmitScoreCallback& callback)>;
  // Installs (or, with an empty function, removes) the bulk insert queue;
  // called by the queue's initialisation and finalisation. Until one is
  // installed, SubmitScore writes directly even with the flag set (with a
  // warning), so no write is lost. Any thread.
  static void SetBulkScoreSubmitter(BulkScoreSubmitter submitter);

  // The completion of a single score write, shared with the bulk insert
  // queue, which sends leftover writes one by one: logs a failure with the
  // write's facts and calls `callback` (if set) with failed = (error != 0).
  // `score` is the stored (negated) score. Any thread.
  static void OnScoreSubmitted(
      const std::shared_ptr<vel::ResultSets>& result_sets,
      const vel::Mariadb::Error& error, const std::string& leaderboard_id,
      const vel::PlayerAccount& account,
      Leaderboard::ScoreSubmission::Response::Result result, double score,
      const SubmitScoreCallback& callback);

 private:
  // The client, or null after Finalize.
  std::shared_ptr<vel::Mariadb> client() const;

  // Sends `query` with `callback`; after Finalize calls `callback` at once
  // with a client-not-running error instead.
  // `player`, when given, makes the statement one of that player's row
  // writes: they all run on one connection, in the order they were sent, so
  // a later record of the player cannot be overwritten by an earlier one.
  // `keep_while_unreachable` (with `player`) keeps and retries the write
  // while the database cannot be reached (vel::Mariadb::ExecuteWriteInOrder);
  // only for idempotent writes. A kept write's `payload` (BacklogEntry) is
  // what the write backlog gets when the write cannot wait any longer.
  void Execute(const std::string& query, vel::Mariadb::Callback callback,
               const vel::PlayerAccount* player = nullptr,
               bool keep_while_unreachable = false,
               const std::string& payload = std::string());
  // Execute on `client` (may be null: finalized; a write with a payload
  // then goes to the write backlog).
  static void Send(const std::shared_ptr<vel::Mariadb>& client,
                   const std::string& query, vel::Mariadb::Callback callback,
                   const vel::PlayerAccount* player,
                   bool keep_while_unreachable, const std::string& payload);

  // Calls `ready` once the score tables of `leaderboard_id` exist: at once
  // with stored procedures off or for a known id, after their creation
  // otherwise (see LeaderboardTables), with the creation's error when it
  // failed.
  void WhenTablesExist(const std::string& leaderboard_id,
                       LeaderboardTables::Ready ready);
  // Execute once the tables of `leaderboard_id` exist; a failed creation
  // completes `callback` with its error instead.
  void ExecuteOnTables(const std::string& leaderboard_id,
                       const std::string& query,
                       vel::Mariadb::Callback callback,
                       const vel::PlayerAccount* player = nullptr,
                       bool keep_while_unreachable = false,
                       const std::string& payload = std::string());

  // SubmitScore and DeleteScore once their leaderboard's pending rotation,
  // if any, let them go.
  void SubmitScoreNow(const std::string& leaderboard_id,
                      const vel::PlayerAccount& account,
                      const ScoreOutcome& outcome,
                      std::int64_t time_stamp_in_msec,
                      const boost::posix_time::ptime& next_date_time,
                      std::optional<double> tiebreak_score,
                      const SubmitScoreCallback& callback);
  void DeleteScoreNow(const std::string& leaderboard_id,
                      const vel::PlayerAccount& account,
                      const ResetScheduleInfo& info,
                      const DeleteScoreCallback& callback);

  // Runs `query` synchronously for a recovery read: true with a result set
  // positioned on the first set in *result_sets; false (logged) on an error
  // or without a result set.
  bool ExecuteRecoveryRead(const std::string& query,
                           std::shared_ptr<vel::ResultSets>* result_sets);

  // The reset operations: `make_query` builds the statement from the id.
  void ResetLeaderboard(const char* operation, const char* period_word,
                        std::string (*make_query)(const std::string&),
                        const std::string& leaderboard_id,
                        const std::string& leaderboard_key,
                        ResetLeaderboardCallback callback);

  // Read with std::atomic_load, cleared with std::atomic_store.
  std::shared_ptr<vel::Mariadb> client_;
  // The table rotations' own client (--mysql_db_rotation_connections
  // connections); null in a connection made without one, whose rotations
  // run on client_. Read and cleared as client_.
  std::shared_ptr<vel::Mariadb> rotation_client_;
  const std::shared_ptr<LeaderboardTables> tables_;
  // The writes of new periods that wait for their tables' rotation.
  RotationGates rotation_gates_;
};

}  // namespace plemox
