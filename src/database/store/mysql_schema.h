// The statements of the persistent store: table names, the builders of every
// statement the store sends (each as a stored-procedure CALL when
// --leaderboard_use_db_stored_procedure is set, as plain SQL otherwise), the
// CREATE TABLE statements and the schema script with the stored procedures.
//
// The builders are pure text functions that read only the command-line flags,
// so any thread may call them.
//
// Values and identifiers. String values (service provider, local account,
// leaderboard key, schedule date time, and the leaderboard id and table name
// where a procedure takes them as arguments) are escaped with
// EscapeSqlString before they are placed between single quotes, so a quote
// or backslash in them stays part of the value; ordinary values appear as
// they are. Table names are written without quotes: REQUIRES (not checked
// here) that every leaderboard id reaching a builder was validated by the
// service to hold only ASCII letters, digits and '_' (a dated weekly table
// adds "_" + eight digits).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/reset_schedule_info.h"
#include "database/store/leaderboard_info.h"
#include "leaderboard.pb.h"
#include "vel/core/player_account.h"

namespace plemox {

// Fixed tables.
extern const char kErrorLogTableName[];          // "error_log"
extern const char kResetScheduleLogTableName[];  // "reset_schedule_log"

// Suffixes of the score tables of a leaderboard id.
extern const char kAllTimeTableSuffix[];    // "_alltime"
extern const char kDailyTableSuffix[];      // "_daily"
extern const char kYesterdayTableSuffix[];  // "_yesterday"
extern const char kWeeklyTableSuffix[];     // "_weekly"
extern const char kLastWeekTableSuffix[];   // "_lastweek"
extern const char kMonthlyTableSuffix[];    // "_monthly"
extern const char kLastMonthTableSuffix[];  // "_lastmonth"

// The schema script, relative to the host's resource root.
extern const char kSchemaScriptPath[];  // "sql/database_schema.sql"

// --- Escaping of string values. ---

// Escapes `value` for use between single quotes, as the connector's
// mysql_real_escape_string does for the character set of
// --mysql_db_character_set: with backslashes, or by doubling quotes when the
// server was found to run with NO_BACKSLASH_ESCAPES (below). Values without
// quotes, backslashes, NUL, CR, LF, '"' or Ctrl-Z come back unchanged.
std::string EscapeSqlString(const std::string& value);

// Records whether the database server runs with NO_BACKSLASH_ESCAPES, which
// changes how EscapeSqlString must escape. Set by the database connection
// once it has connected (default false, the server's default). Any thread.
void SetSqlNoBackslashEscapes(bool no_backslash_escapes);
bool GetSqlNoBackslashEscapes();

// --- Table names. ---

// The table of a new record: id + "_alltime" (kNewRecord), "_daily"
// (kNewRecordDaily), "_weekly" (kNewRecordWeekly) or "_monthly"
// (kNewRecordMonthly). With --use_leaderboard_table_with_date and a
// `next_date_time` that is a date, kNewRecordWeekly names the dated weekly
// table id + "_" + "YYYYMMDD" + "_weekly". Empty for any other result.
std::string GetScoreTableName(
    const std::string& leaderboard_id,
    const boost::posix_time::ptime& next_date_time,
    Leaderboard::ScoreSubmission::Response::Result result);

// Recognises a score table among the database's tables: a name that ends
// with "_" + one of "daily", "weekly", "monthly", "yesterday", "lastweek",
// "lastmonth", "alltime", preceded by a non-empty leaderboard id of ASCII
// letters, digits and '_'. On success fills table name, leaderboard id and
// timespan of *info (row counts 0) and returns true. The fixed tables and
// unrelated names ("notes") are skipped silently; names that hold a timespan
// word but not in that form ("stage1_daily_tmp", a leftover of an
// interrupted reset) are skipped with a warning. REQUIRES: info != nullptr.
bool ParseScoreTableName(const std::string& name, LeaderboardInfo* info);

// --- Statements. ---

// Writes a new record of `account` into the table of `result`:
//   CALL sp_score_submission('<id>', '<table>', '<provider>', '<account>',
//   <score>, <time_stamp>)
// or an INSERT ... ON DUPLICATE KEY UPDATE. `score` and `time_stamp` are the
// stored (negated) values; the score is written like "%.15g" when that text
// reads back as the same double, else like "%.17g". Empty when the
// result names no table. With `tiebreak_score` (a leaderboard with a
// tiebreak) it is always the INSERT, which also writes the tiebreak_score
// column. REQUIRES: result != kNone (fatal).
std::string MakeScoreSubmissionQuery(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int64_t time_stamp,
    const boost::posix_time::ptime& next_date_time,
    Leaderboard::ScoreSubmission::Response::Result result,
    std::optional<double> tiebreak_score = std::nullopt);

// One row of a bulk score write: the stored (negated) values.
struct BulkScoreRow {
  std::string service_provider;
  std::string local_account;
  double score = 0;
  std::int64_t time_stamp = 0;
  // The real second score, on a leaderboard with a tiebreak: rows that have
  // one are written with the tiebreak_score column (always as an INSERT).
  std::optional<double> tiebreak_score = std::nullopt;
};

// Writes every row of `requests` (in the given order) into `table` in one
// statement: CALL sp_bulk_score_submission('<table>', '<id>', rows...) (the
// procedure takes exactly 32 rows) or one multi-row INSERT ... ON DUPLICATE
// KEY UPDATE. REQUIRES: !requests.empty() (fatal).
std::string MakeBulkScoreSubmissionQuery(
    const std::string& table, const std::string& leaderboard_id,
    const std::vector<BulkScoreRow>& requests);

// Replays rows handed over to the write backlog into `table` as one
// multi-row INSERT whose update keeps what the table holds when it is newer:
// a row applies when its time stamp is later than the stored one, or equal
// with a score at least as good (stored forms: smaller is later, smaller is
// better). So a row replayed twice, or after a later write of the player
// reached the table, changes nothing. Rows of one player apply in the given
// order. REQUIRES: !rows.empty() (fatal).
std::string MakeScoreReplayQuery(const std::string& table,
                                 const std::vector<BulkScoreRow>& rows);

// Deletes the rows of `account` from the all-time table and from the tables
// of the scheduled periods (all periods when `info` has no schedule):
// CALL sp_score_deletion('<id>', '<provider>', '<account>', d, w, m) or a
// sequence of DELETE statements. With dated weekly tables on and both weekly
// time points of `info` set, the weekly tables are the dated ones.
std::string MakeScoreDeletionQuery(const std::string& leaderboard_id,
                                   const vel::PlayerAccount& account,
                                   const ResetScheduleInfo& info);

// Inserts the reset log row (leaderboard key, schedule date time); a second
// insert of the same pair fails with the duplicate-key error 1062.
// REQUIRES: no argument is empty (fatal).
std::string MakeResetScheduleLogInsertQuery(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    const std::string& schedule_date_time);

// Reads the reset log row of (leaderboard key, schedule date time): at most
// one row (leaderboard key, reset date time text).
// REQUIRES: no argument is empty (fatal).
std::string MakeResetScheduleLogQuery(const std::string& leaderboard_id,
                                      const std::string& leaderboard_key,
                                      const std::string& schedule_date_time);

// Reads every reset log row of a leaderboard key: rows (schedule date time,
// reset date time text).
std::string MakeResetScheduleLog2Query(const std::string& leaderboard_key);

// Reads the whole reset log: rows (leaderboard key, schedule date time,
// reset date time text).
std::string MakeResetScheduleLogAllQuery();

// Rolls a leaderboard's daily (weekly, monthly) table over into its
// yesterday (lastweek, lastmonth) table: the previous-period table is
// emptied and the two tables swap names. The weekly statement always uses
// the undated weekly tables.
std::string MakeDailyResetQuery(const std::string& leaderboard_id);
std::string MakeWeeklyResetQuery(const std::string& leaderboard_id);
std::string MakeMonthlyResetQuery(const std::string& leaderboard_id);

// --- Schema. ---

// "CHAR(" + length + ")".
std::string MakeLocalAccountColumnType(std::uint64_t length);
// The local account column type for --mysql_local_account_column_length,
// computed at the first call and kept for the life of the process.
const std::string& GetLocalAccountColumnType();

// CREATE TABLE IF NOT EXISTS statements in the character set of
// --mysql_db_character_set.
std::string MakeErrorLogTableQuery();
std::string MakeResetScheduleLogTableQuery();
std::string MakeScoreTableQuery(const std::string& table);
// The same with an explicit local account column type.
std::string MakeScoreTableQuery(const std::string& table,
                                const std::string& local_account_type);

// The column of a second score in the tables of a leaderboard with a
// tiebreak (TiebreakColumns).
inline constexpr char kTiebreakColumn[] = "tiebreak_score";

// The score tables of one leaderboard: its all-time table, then either its
// dated weekly tables, one per date of `dated_weekly_dates` ("YYYYMMDD"), or,
// when that is null, the six period tables (daily, yesterday, weekly,
// lastweek, monthly, lastmonth). The schema installs these for the
// configured ids; a leaderboard created at run time gets the same. For a
// leaderboard with a tiebreak (TiebreakColumns::Has) an ALTER TABLE ... ADD
// COLUMN IF NOT EXISTS tiebreak_score per table follows.
std::vector<std::string> MakeLeaderboardTableQueries(
    const std::string& leaderboard_id,
    const std::vector<std::string>* dated_weekly_dates);

// The score tables of a leaderboard that MakeLeaderboardTableQueries
// creates, in its order.
std::vector<std::string> LeaderboardTableNames(
    const std::string& leaderboard_id,
    const std::vector<std::string>* dated_weekly_dates);

// Every schema statement, in order: the error table, the reset log table,
// per leaderboard id its score tables (MakeLeaderboardTableQueries, dated
// when `dated_weekly_table_dates` has an entry for the id), the player
// profile table (player_profile_schema.h), and with
// --leaderboard_use_db_stored_procedure the pieces of the schema script.
std::vector<std::string> MakeSchemaScripts(
    const std::set<std::string>& leaderboard_ids,
    const std::map<std::string, std::vector<std::string>>&
        dated_weekly_table_dates);

// Reads vel::GetResRoot() + "/" + kSchemaScriptPath and splits it with
// SplitStoredProcedureScript. A file that cannot be read is logged as an
// error and gives an empty list. Any thread (reads the file system).
std::vector<std::string> LoadStoredProcedureScripts();

// Turns the text of a schema script into statements: trims it (an empty
// script is fatal), replaces every "[CHARACTER_SET]" by
// --mysql_db_character_set and every "[LOCAL_ACCOUNT_TYPE]" by
// GetLocalAccountColumnType(), splits it at each "$QUERY_DELIMITER$" and
// returns the trimmed pieces that are not empty or white space only.
std::vector<std::string> SplitStoredProcedureScript(
    const std::string& script_all);

}  // namespace plemox
