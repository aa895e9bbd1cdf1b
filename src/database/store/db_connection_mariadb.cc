#include "database/store/db_connection_mariadb.h"

#include <boost/algorithm/string/trim.hpp>
#include <functional>
#include <utility>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/store/backlog_entry.h"
#include "database/store/bulk_insert_queue.h"
#include "database/store/db_write_backlog.h"
#include "database/store/mysql_schema.h"
#include "database/store/period_statements.h"

namespace plemox {

namespace {

using Result = Leaderboard::ScoreSubmission::Response::Result;
using vel::Mariadb;
using vel::ResultSets;

// The installed bulk insert queue, if any (see SetBulkScoreSubmitter).
std::shared_ptr<const DbConnectionMariadb::BulkScoreSubmitter>
    the_bulk_score_submitter;  // read and written with std::atomic_*

// Names a player's operations among those a rotation holds back.
std::string MakeMemberTag(const vel::PlayerAccount& account) {
  return account.service_provider() + ":" + account.id();
}

// What a statement gets when the client is gone.
Mariadb::Error MakeFinalizedError() {
  Mariadb::Error error;
  error.code = Mariadb::kClientNotRunningError;
  error.description = "the database connection was finalized";
  error.sql_state = "08003";
  return error;
}

void OnScoreDeleted(const std::shared_ptr<ResultSets>& /*result_sets*/,
                    const Mariadb::Error& error,
                    const DbConnection::DeleteScoreCallback& callback) {
  VLOG(2) << "OnScoreDeleted called";
  if (error) {
    LOG(ERROR) << "Failed to execute query: " << error;
    if (callback) callback(true);
    return;
  }
  VLOG(2) << "Score deleted. Invoke callback";
  if (callback) callback(false);
}

void OnResetScheduleLogQueried(
    const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error,
    const std::string& leaderboard_key, const std::string& schedule_date_time,
    const DbConnection::QueryResetScheduleLogCallback& callback) {
  VLOG(2) << "OnResetScheduleLogQueried called";
  if (error) {
    LOG(ERROR) << "Failed to query reset schedule log: " << error;
    if (callback) callback(true, false, "");
    return;
  }
  if (!result_sets || !result_sets->SeekNextResultSet()) {
    LOG(ERROR) << "Failed to get reset schedule log result set: "
               << ", leaderboard key: " << leaderboard_key
               << ", schedule_date_time: " << schedule_date_time;
    if (callback) callback(true, false, "");
    return;
  }
  if (!result_sets->SeekNextRow()) {
    if (callback) callback(false, false, "");
    return;
  }
  const std::string db_leaderboard_key = result_sets->GetString(0);
  // clang-format off
  LEADERBOARD_ASSERT(! db_leaderboard_key.empty());
  // clang-format on
  const std::string reset_date_time = result_sets->GetString(1);
  if (callback) callback(false, true, reset_date_time);
}

void OnResetScheduleLogInserted(
    const std::shared_ptr<ResultSets>& /*result_sets*/,
    const Mariadb::Error& error, const std::string& leaderboard_id,
    const std::string& leaderboard_key, const std::string& schedule_date_time,
    const DbConnection::InsertResetScheduleLogCallback& callback) {
  VLOG(2) << "OnResetScheduleLogInserted called";
  // The row exists already: this reset was performed before.
  constexpr unsigned kDuplicateKeyError = 1062;
  bool failed = false;
  bool duplicated = false;
  if (error.code == kDuplicateKeyError) {
    duplicated = true;
  } else if (error) {
    LOG(ERROR) << "Failed to insert reset schedule log: " << error
               << ", leaderboard key: " << leaderboard_key
               << ", schedule date time: " << schedule_date_time;
    failed = true;
  } else {
    LOG(INFO) << "Succeed to insert reset schedule log: " << leaderboard_key
              << ", schedule date time: " << schedule_date_time;
  }
  if (callback) {
    callback(failed, duplicated, leaderboard_id, leaderboard_key,
             schedule_date_time);
  }
}

// The member of one reset log row in the JSON answers.
vel::Json::Value MakeResetLogRow(const std::string& schedule_date_time,
                                 const std::string& reset_date_time) {
  vel::Json::Value row = vel::Json::Value::object();
  row["schedule_date_time"] = schedule_date_time;
  row["reset_date_time"] = reset_date_time;
  return row;
}

vel::Json MakeResetLogError(const char* message) {
  vel::Json json = vel::Json::MakeObject();
  json.Set("error", true);
  json.Set("message", message);
  return json;
}

void OnResetScheduleLog2Queried(
    const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error,
    const std::string& leaderboard_key,
    const DbConnection::ResetScheduleLogJsonCallback& callback) {
  VLOG(2) << "OnResetScheduleLog2Queried called";
  if (error) {
    LOG(ERROR) << "Failed to query reset schedule log 2: "
               << "leaderboard_key=" << leaderboard_key << ", error=" << error;
    if (callback) callback(MakeResetLogError("db error"));
    return;
  }
  if (!result_sets || !result_sets->SeekNextResultSet()) {
    LOG(ERROR) << "Failed to query reset schedule log 2 - result set: "
               << "leaderboard_key=" << leaderboard_key;
    if (callback) callback(MakeResetLogError("db error: no result set"));
    return;
  }
  vel::Json json = vel::Json::MakeObject();
  json.Set("error", false);
  json.Set("message", "OK");
  vel::Json::Value rows = vel::Json::Value::array();
  while (result_sets->SeekNextRow()) {
    rows.push_back(
        MakeResetLogRow(result_sets->GetString(0), result_sets->GetString(1)));
  }
  json.Set(leaderboard_key, vel::Json(std::move(rows)));
  if (callback) callback(json);
}

void OnResetScheduleLogAllQueried(
    const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error,
    const DbConnection::ResetScheduleLogJsonCallback& callback) {
  VLOG(2) << "OnResetScheduleLogAllQueried called";
  if (error) {
    LOG(ERROR) << "Failed to query reset schedule log all: "
               << "error=" << error;
    if (callback) callback(MakeResetLogError("db error"));
    return;
  }
  if (!result_sets || !result_sets->SeekNextResultSet()) {
    LOG(ERROR) << "Failed to query reset schedule log all: no result set";
    if (callback) callback(MakeResetLogError("db error: no result set"));
    return;
  }
  vel::Json json = vel::Json::MakeObject();
  json.Set("error", false);
  json.Set("message", "OK");
  while (result_sets->SeekNextRow()) {
    json.value()[result_sets->GetString(0)].push_back(
        MakeResetLogRow(result_sets->GetString(1), result_sets->GetString(2)));
  }
  if (callback) callback(json);
}

void OnLeaderboardReset(
    const std::shared_ptr<ResultSets>& /*result_sets*/,
    const Mariadb::Error& error, const std::string& leaderboard_id,
    const std::string& leaderboard_key,
    const DbConnection::ResetLeaderboardCallback& callback) {
  VLOG(2) << "OnLeaderboardReset called";
  if (error) {
    LOG(ERROR) << "Failed to reset leaderboard: " << leaderboard_key
               << ", error: " << error;
    if (callback) callback(true, leaderboard_id);
    return;
  }
  LOG(INFO) << "Succeed to reset leaderboard: " << leaderboard_key;
  if (callback) callback(false, leaderboard_id);
}

}  // namespace

std::shared_ptr<DbConnection> DbConnection::Create(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    std::size_t connection_count, const std::string& character_set,
    std::int64_t slow_query_threshold_ms) {
  std::shared_ptr<Mariadb> client = Mariadb::Create(
      server_url, user_id, password, database_name, connection_count,
      character_set, Mariadb::kDefaultAutoRetryOnDeadlock,
      Mariadb::kDefaultClientFlags, slow_query_threshold_ms,
      Mariadb::kDefaultConnectionFailureHandler);
  if (!client) {
    LOG(ERROR) << "Failed to create the database client: server url="
               << server_url << ", database=" << database_name;
    return nullptr;
  }
  if (!client->SetPendingWriteLimit(FLAGS_mysql_db_pending_write_limit)) {
    return nullptr;
  }
  if (const auto backlog = DbWriteBacklog::Process()) {
    const std::weak_ptr<Mariadb> weak = client;
    client->SetWriteHandover(backlog->MakeHandover("single", [weak] {
      const auto held = weak.lock();
      return held ? held->OldestPendingWrite() : UINT64_MAX;
    }));
  }
  // The table rotations of the resets, on connections of their own: a
  // midnight of thousands of them does not hold the score writes'
  // connections. A rotation mostly waits for the database's disk, so a few
  // side by side overlap those waits.
  std::shared_ptr<Mariadb> rotation_client = Mariadb::Create(
      server_url, user_id, password, database_name,
      static_cast<std::size_t>(FLAGS_mysql_db_rotation_connections),
      character_set, Mariadb::kDefaultAutoRetryOnDeadlock,
      Mariadb::kDefaultClientFlags, slow_query_threshold_ms,
      Mariadb::kDefaultConnectionFailureHandler);
  if (!rotation_client) {
    LOG(ERROR) << "Failed to create the database client of the table "
                  "rotations: server url="
               << server_url << ", database=" << database_name;
    return nullptr;
  }
  auto connection = std::make_shared<DbConnectionMariadb>(
      std::move(client), LeaderboardTables::Process(),
      std::move(rotation_client));
  if (!connection->Initialize()) return nullptr;
  return connection;
}

DbConnectionMariadb::DbConnectionMariadb(
    std::shared_ptr<Mariadb> client, std::shared_ptr<LeaderboardTables> tables,
    std::shared_ptr<Mariadb> rotation_client)
    : client_(std::move(client)),
      rotation_client_(std::move(rotation_client)),
      tables_(std::move(tables)),
      rotation_gates_(FLAGS_mysql_db_pending_write_limit > 0
                          ? FLAGS_mysql_db_pending_write_limit
                          : Mariadb::kDefaultPendingWriteLimit) {}

DbConnectionMariadb::~DbConnectionMariadb() { Finalize(); }

std::shared_ptr<Mariadb> DbConnectionMariadb::client() const {
  return std::atomic_load(&client_);
}

bool DbConnectionMariadb::Initialize() {
  const std::shared_ptr<Mariadb> client = this->client();
  if (!client) {
    LOG(ERROR) << "Failed to initialize the database connection: finalized";
    return false;
  }
  if (!client->Initialize()) {
    LOG(ERROR) << "Failed to initialize the database connection: server url="
               << client->server_url();
    return false;
  }
  const std::shared_ptr<Mariadb> rotation = std::atomic_load(&rotation_client_);
  if (rotation && !rotation->Initialize()) {
    LOG(ERROR) << "Failed to initialize the database connection of the table "
                  "rotations: server url="
               << rotation->server_url();
    return false;
  }
  // The client learned the server's escaping rule when it connected; the
  // statement builders follow it from now on.
  const bool no_backslash_escapes = client->EscapeString("\\") == "\\";
  if (no_backslash_escapes) {
    LOG(WARNING) << "The database server runs with NO_BACKSLASH_ESCAPES; "
                    "string values are escaped by doubling quotes";
  }
  SetSqlNoBackslashEscapes(no_backslash_escapes);
  return true;
}

vel::Mariadb::WriteStats DbConnectionMariadb::write_stats() const {
  const std::shared_ptr<Mariadb> client = this->client();
  return client ? client->write_stats() : Mariadb::WriteStats();
}

void DbConnectionMariadb::Finalize() {
  // Writes still waiting for a rotation go while the client can take them.
  rotation_gates_.OpenAll();
  for (std::shared_ptr<Mariadb>* held : {&client_, &rotation_client_}) {
    const std::shared_ptr<Mariadb> client =
        std::atomic_exchange(held, std::shared_ptr<Mariadb>());
    if (client) {
      client->Finalize(
          static_cast<std::int64_t>(FLAGS_mysql_db_shutdown_drain_ms));
    }
  }
}

void DbConnectionMariadb::Execute(const std::string& query,
                                  Mariadb::Callback callback,
                                  const vel::PlayerAccount* player,
                                  bool keep_while_unreachable,
                                  const std::string& payload) {
  Send(client(), query, std::move(callback), player, keep_while_unreachable,
       payload);
}

bool DbConnectionMariadb::HandOverInstead(const Mariadb::Error& error,
                                          const std::string& payload,
                                          const Mariadb::Callback& callback) {
  const bool cannot_wait = Mariadb::IsUnreachableError(error) ||
                           error.code == Mariadb::kClientNotRunningError ||
                           error.code == Mariadb::kWriteHandedOverError;
  if (!cannot_wait || payload.empty()) return false;
  const auto backlog = DbWriteBacklog::Process();
  if (!backlog || !backlog->HandOverDirect(payload)) return false;
  if (callback) {
    callback(std::make_shared<ResultSets>(),
             Mariadb::Error{Mariadb::kWriteHandedOverError,
                            "the database client could not take the write; "
                            "handed over for a later replay",
                            "HY000"});
  }
  return true;
}

void DbConnectionMariadb::Send(const std::shared_ptr<Mariadb>& client,
                               const std::string& query,
                               Mariadb::Callback callback,
                               const vel::PlayerAccount* player,
                               bool keep_while_unreachable,
                               const std::string& payload) {
  if (!client) {
    if (keep_while_unreachable &&
        HandOverInstead(MakeFinalizedError(), payload, callback)) {
      return;
    }
    LOG(ERROR) << "The database connection was finalized; not sent: " << query;
    if (callback)
      callback(std::make_shared<ResultSets>(), MakeFinalizedError());
    return;
  }
  if (player != nullptr && keep_while_unreachable) {
    client->ExecuteWriteInOrder(std::hash<std::string>()(player->id()), query,
                                std::move(callback), payload);
  } else if (player != nullptr) {
    client->ExecuteQueryInOrder(std::hash<std::string>()(player->id()), query,
                                std::move(callback));
  } else {
    client->ExecuteQuery(query, std::move(callback));
  }
}

void DbConnectionMariadb::WhenTablesExist(const std::string& leaderboard_id,
                                          LeaderboardTables::Ready ready) {
  // Without stored procedures only the manifest's ids reach the database,
  // and the schema made their tables.
  if (!FLAGS_leaderboard_use_db_stored_procedure) {
    ready(Mariadb::Error());
    return;
  }
  const std::shared_ptr<Mariadb> client = this->client();
  if (!client) {
    ready(MakeFinalizedError());
    return;
  }
  tables_->WhenCreated(client, leaderboard_id, std::move(ready));
}

void DbConnectionMariadb::ExecuteOnTables(const std::string& leaderboard_id,
                                          const std::string& query,
                                          Mariadb::Callback callback,
                                          const vel::PlayerAccount* player,
                                          bool keep_while_unreachable,
                                          const std::string& payload) {
  if (!FLAGS_leaderboard_use_db_stored_procedure ||
      tables_->IsKnown(leaderboard_id)) {
    Execute(query, std::move(callback), player, keep_while_unreachable,
            payload);
    return;
  }
  // The client of now: one finalized meanwhile fails the statement cleanly.
  const std::weak_ptr<Mariadb> client = this->client();
  std::shared_ptr<const vel::PlayerAccount> owner;
  if (player != nullptr) {
    owner = std::make_shared<const vel::PlayerAccount>(*player);
  }
  WhenTablesExist(leaderboard_id, [client, query, callback, owner,
                                   keep_while_unreachable,
                                   payload](const Mariadb::Error& error) {
    if (error) {
      // The creation could not wait for the database: neither can the write.
      if (keep_while_unreachable && HandOverInstead(error, payload, callback)) {
        return;
      }
      if (callback) callback(std::make_shared<ResultSets>(), error);
      return;
    }
    Send(client.lock(), query, callback, owner.get(), keep_while_unreachable,
         payload);
  });
}

bool DbConnectionMariadb::ExecuteScripts(
    const std::vector<std::string>& scripts) {
  for (const std::string& text : scripts) {
    const std::string script = boost::algorithm::trim_copy(text);
    // clang-format off
    LEADERBOARD_ASSERT(! script.empty());
    // clang-format on
    VLOG(1) << "Executes query: " << script;
    const std::shared_ptr<Mariadb> client = this->client();
    const Mariadb::Error error =
        client ? client->ExecuteQuerySync(script) : MakeFinalizedError();
    if (error) {
      LOG(ERROR) << error << ", script: " << script;
      return false;
    }
  }
  return true;
}

void DbConnectionMariadb::SetBulkScoreSubmitter(BulkScoreSubmitter submitter) {
  std::shared_ptr<const BulkScoreSubmitter> installed;
  if (submitter) {
    installed =
        std::make_shared<const BulkScoreSubmitter>(std::move(submitter));
  }
  std::atomic_store(&the_bulk_score_submitter, std::move(installed));
}

void DbConnectionMariadb::SubmitScore(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
    const boost::posix_time::ptime& next_date_time,
    std::optional<double> tiebreak_score, SubmitScoreCallback callback) {
  // A record of a new period waits for its tables' pending rotation; a
  // deletion of the player meanwhile makes it pointless.
  rotation_gates_.Pass(
      leaderboard_id, time_stamp_in_msec,
      [this, leaderboard_id, account, outcome, time_stamp_in_msec,
       next_date_time, tiebreak_score, callback] {
        SubmitScoreNow(leaderboard_id, account, outcome, time_stamp_in_msec,
                       next_date_time, tiebreak_score, callback);
      },
      MakeMemberTag(account),
      [callback] {
        if (callback) callback(false);
      });
}

void DbConnectionMariadb::SubmitScoreNow(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
    const boost::posix_time::ptime& next_date_time,
    std::optional<double> tiebreak_score, const SubmitScoreCallback& callback) {
  if (FLAGS_leaderboard_use_db_bulk_insert) {
    const auto submitter = std::atomic_load(&the_bulk_score_submitter);
    if (submitter) {
      // The write joins the queue of its table once the table exists.
      WhenTablesExist(
          leaderboard_id, [submitter, leaderboard_id, account, outcome,
                           time_stamp_in_msec, next_date_time, tiebreak_score,
                           callback](const Mariadb::Error& error) {
            if (error) {
              const auto completion =
                  [leaderboard_id, account, outcome, callback](
                      const std::shared_ptr<ResultSets>& result_sets,
                      const Mariadb::Error& error) {
                    OnScoreSubmitted(result_sets, error, leaderboard_id,
                                     account, outcome.first,
                                     outcome.second * -1.0, callback);
                  };
              if (!HandOverInstead(error,
                                   ScorePayload(leaderboard_id, account,
                                                outcome, time_stamp_in_msec,
                                                next_date_time, tiebreak_score),
                                   completion)) {
                completion(std::make_shared<ResultSets>(), error);
              }
              return;
            }
            (*submitter)(leaderboard_id, account, outcome, time_stamp_in_msec,
                         next_date_time, tiebreak_score, callback);
          });
      return;
    }
    LOG_FIRST_N(WARNING, 1)
        << "Bulk insert is on but no bulk insert queue runs; "
           "score writes are sent one by one";
  }
  VLOG(2) << "SubmitScore called";
  const Result result = outcome.first;
  const double score = outcome.second * -1.0;
  const std::int64_t time_stamp = -time_stamp_in_msec / 1000;
  const std::string query =
      MakeScoreSubmissionQuery(leaderboard_id, account, score, time_stamp,
                               next_date_time, result, tiebreak_score);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "submit score. query: " << query;
  ExecuteOnTables(
      leaderboard_id, query,
      [leaderboard_id, account, result, score, callback](
          const std::shared_ptr<ResultSets>& result_sets,
          const Mariadb::Error& error) {
        OnScoreSubmitted(result_sets, error, leaderboard_id, account, result,
                         score, callback);
      },
      &account, /*keep_while_unreachable=*/true,
      ScorePayload(leaderboard_id, account, outcome, time_stamp_in_msec,
                   next_date_time, tiebreak_score));
}

std::string DbConnectionMariadb::ScorePayload(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const ScoreOutcome& outcome, std::int64_t time_stamp_in_msec,
    const boost::posix_time::ptime& next_date_time,
    std::optional<double> tiebreak_score) {
  if (!DbWriteBacklog::Process()) return std::string();
  return BacklogEntry::EncodeScorePayload(
      leaderboard_id,
      GetScoreTableName(leaderboard_id, next_date_time, outcome.first),
      {BulkScoreRow{account.service_provider(), account.id(),
                    outcome.second * -1.0, -time_stamp_in_msec / 1000,
                    tiebreak_score}});
}

void DbConnectionMariadb::OnScoreSubmitted(
    const std::shared_ptr<ResultSets>& /*result_sets*/,
    const Mariadb::Error& error, const std::string& leaderboard_id,
    const vel::PlayerAccount& account, Result result, double score,
    const SubmitScoreCallback& callback) {
  VLOG(2) << "OnScoreSubmitted called";
  if (error.code == Mariadb::kWriteHandedOverError) {
    VLOG(1) << "Score write handed over to the write backlog: leaderboard id: "
            << leaderboard_id << ", player account: " << account;
    if (callback) callback(false);
    return;
  }
  if (error) {
    LOG(ERROR) << "Failed to execute query: " << error
               << ", leaderboard id: " << leaderboard_id
               << ", player account: " << account
               << ", score submission result: " << static_cast<int>(result)
               << ", new score: " << score;
    if (callback) callback(true);
    return;
  }
  VLOG(2) << "Score submitted. Invoke callback";
  if (callback) callback(false);
}

void DbConnectionMariadb::DeleteScore(const std::string& leaderboard_id,
                                      const vel::PlayerAccount& account,
                                      const ResetScheduleInfo& info,
                                      DeleteScoreCallback callback) {
  // The player's writes that wait for their tables' rotation came before
  // the deletion: they are dropped instead of landing after it, and the
  // deletion (whose answer waits for it) does not wait for the rotation.
  rotation_gates_.Supersede(
      leaderboard_id, MakeMemberTag(account),
      [this, leaderboard_id, account, info, callback = std::move(callback)] {
        DeleteScoreNow(leaderboard_id, account, info, callback);
      });
}

void DbConnectionMariadb::DeleteScoreNow(const std::string& leaderboard_id,
                                         const vel::PlayerAccount& account,
                                         const ResetScheduleInfo& info,
                                         const DeleteScoreCallback& callback) {
  VLOG(2) << "DeleteScore called";
  const std::string query =
      MakeScoreDeletionQuery(leaderboard_id, account, info);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "delete score. query: " << query;
  const std::weak_ptr<Mariadb> client = this->client();
  // Writes of the player that wait for the tables with it go first.
  WhenTablesExist(leaderboard_id, [client, leaderboard_id, account, query,
                                   callback](const Mariadb::Error& error) {
    if (error) {
      OnScoreDeleted(std::make_shared<ResultSets>(), error, callback);
      return;
    }
    if (FLAGS_leaderboard_use_db_bulk_insert) {
      // Queued writes of the player would land after the deletion.
      const std::size_t discarded =
          BulkInsertQueue::DiscardProcessPendingWrites(leaderboard_id, account);
      if (discarded > 0) {
        VLOG(1) << "The deletion supersedes " << discarded
                << " queued writes of " << account;
      }
    }
    Send(
        client.lock(), query,
        [callback](const std::shared_ptr<ResultSets>& result_sets,
                   const Mariadb::Error& error) {
          OnScoreDeleted(result_sets, error, callback);
        },
        &account, /*keep_while_unreachable=*/false, std::string());
  });
}

void DbConnectionMariadb::QueryResetScheduleLog2(
    const std::string& leaderboard_key, ResetScheduleLogJsonCallback callback) {
  const std::string query = MakeResetScheduleLog2Query(leaderboard_key);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "query reset schedule log 2. query: " << query;
  Execute(query, [leaderboard_key, callback](
                     const std::shared_ptr<ResultSets>& result_sets,
                     const Mariadb::Error& error) {
    OnResetScheduleLog2Queried(result_sets, error, leaderboard_key, callback);
  });
}

void DbConnectionMariadb::QueryResetScheduleLog(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    const std::string& schedule_date_time,
    QueryResetScheduleLogCallback callback) {
  // clang-format off
  LEADERBOARD_ASSERT(! leaderboard_id.empty());
  LEADERBOARD_ASSERT(! leaderboard_key.empty());
  LEADERBOARD_ASSERT(! schedule_date_time.empty());
  // clang-format on
  VLOG(2) << "QueryResetScheduleLog called";
  const std::string query = MakeResetScheduleLogQuery(
      leaderboard_id, leaderboard_key, schedule_date_time);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "query reset schedule log: query: " << query;
  Execute(query, [leaderboard_key, schedule_date_time, callback](
                     const std::shared_ptr<ResultSets>& result_sets,
                     const Mariadb::Error& error) {
    OnResetScheduleLogQueried(result_sets, error, leaderboard_key,
                              schedule_date_time, callback);
  });
}

void DbConnectionMariadb::QueryResetScheduleLogAll(
    ResetScheduleLogJsonCallback callback) {
  const std::string query = MakeResetScheduleLogAllQuery();
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "query reset schedule log all. query: " << query;
  Execute(query, [callback](const std::shared_ptr<ResultSets>& result_sets,
                            const Mariadb::Error& error) {
    OnResetScheduleLogAllQueried(result_sets, error, callback);
  });
}

void DbConnectionMariadb::InsertResetScheduleLog(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    const std::string& schedule_date_time,
    InsertResetScheduleLogCallback callback) {
  VLOG(2) << "InsertResetScheduleLog called";
  const std::string query = MakeResetScheduleLogInsertQuery(
      leaderboard_id, leaderboard_key, schedule_date_time);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "insert reset schedule log: query: " << query;
  Execute(query, [leaderboard_id, leaderboard_key, schedule_date_time,
                  callback](const std::shared_ptr<ResultSets>& result_sets,
                            const Mariadb::Error& error) {
    OnResetScheduleLogInserted(result_sets, error, leaderboard_id,
                               leaderboard_key, schedule_date_time, callback);
  });
}

void DbConnectionMariadb::InsertResetScheduleLogAndPeriodEnd(
    const PeriodEnd& period_end, const std::string& schedule_date_time,
    const std::string& owner, InsertResetScheduleLogCallback callback) {
  VLOG(2) << "InsertResetScheduleLogAndPeriodEnd called";
  const std::string& leaderboard_id = period_end.leaderboard_id;
  const std::string& leaderboard_key = period_end.leaderboard_key;
  const std::string query = period_statements::MakePeriodEndInsertQuery(
      MakeResetScheduleLogInsertQuery(leaderboard_id, leaderboard_key,
                                      schedule_date_time),
      period_end, schedule_date_time, owner);
  VLOG(2) << "insert reset schedule log and period end: query: " << query;
  Execute(query, [leaderboard_id, leaderboard_key, schedule_date_time,
                  callback](const std::shared_ptr<ResultSets>& result_sets,
                            const Mariadb::Error& error) {
    OnResetScheduleLogInserted(result_sets, error, leaderboard_id,
                               leaderboard_key, schedule_date_time, callback);
  });
}

void DbConnectionMariadb::ResetLeaderboard(
    const char* operation, const char* period_word,
    std::string (*make_query)(const std::string&),
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    ResetLeaderboardCallback callback) {
  VLOG(2) << operation << " called";
  const std::string query = make_query(leaderboard_id);
  // clang-format off
  LEADERBOARD_ASSERT(! query.empty());
  // clang-format on
  VLOG(2) << "reset leaderboard. query: " << query;
  LOG(INFO) << "reset " << period_word
            << " leaderboard. leaderboard_key=" << leaderboard_key;
  Mariadb::Callback done = [leaderboard_id, leaderboard_key, callback](
                               const std::shared_ptr<ResultSets>& result_sets,
                               const Mariadb::Error& error) {
    OnLeaderboardReset(result_sets, error, leaderboard_id, leaderboard_key,
                       callback);
  };
  // The client of now: one finalized meanwhile fails the statement cleanly.
  std::shared_ptr<Mariadb> chosen = std::atomic_load(&rotation_client_);
  if (!chosen) chosen = client();
  const std::weak_ptr<Mariadb> rotation = chosen;
  // One leaderboard's rotations keep their order on one connection.
  const std::size_t order_key = std::hash<std::string>()(leaderboard_id);
  WhenTablesExist(leaderboard_id, [rotation, order_key, query,
                                   done](const Mariadb::Error& error) {
    if (error) {
      done(std::make_shared<ResultSets>(), error);
      return;
    }
    const std::shared_ptr<Mariadb> client = rotation.lock();
    if (!client) {
      done(std::make_shared<ResultSets>(), MakeFinalizedError());
      return;
    }
    client->ExecuteQueryInOrder(order_key, query, done);
  });
}

void DbConnectionMariadb::HoldNewPeriodWrites(const std::string& leaderboard_id,
                                              const std::string& token,
                                              std::int64_t period_end_ms) {
  rotation_gates_.Close(leaderboard_id, token, period_end_ms);
}

void DbConnectionMariadb::ReleaseNewPeriodWrites(
    const std::string& leaderboard_id, const std::string& token) {
  rotation_gates_.Open(leaderboard_id, token);
}

std::size_t DbConnectionMariadb::held_write_count() const {
  return rotation_gates_.waiting_count();
}

void DbConnectionMariadb::ResetDailyLeaderboard(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    ResetLeaderboardCallback callback) {
  ResetLeaderboard("ResetDailyLeaderboard", "daily", &MakeDailyResetQuery,
                   leaderboard_id, leaderboard_key, std::move(callback));
}

void DbConnectionMariadb::ResetWeeklyLeaderboard(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    ResetLeaderboardCallback callback) {
  ResetLeaderboard("ResetWeeklyLeaderboard", "weekly", &MakeWeeklyResetQuery,
                   leaderboard_id, leaderboard_key, std::move(callback));
}

void DbConnectionMariadb::ResetMonthlyLeaderboard(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    ResetLeaderboardCallback callback) {
  ResetLeaderboard("ResetMonthlyLeaderboard", "monthly", &MakeMonthlyResetQuery,
                   leaderboard_id, leaderboard_key, std::move(callback));
}

}  // namespace plemox
