#include "database/store/mysql_schema.h"

#include <atomic>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/format.hpp>
#include <boost/regex.hpp>
#include <cmath>
#include <fstream>
#include <locale>
#include <sstream>
#include <utility>

#include "common/date_time_text.h"
#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "common/period_ranking.h"
#include "database/store/definition_store.h"
#include "database/store/player_profile_schema.h"
#include "database/store/tiebreak_columns.h"
#include "vel/core/engine.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {

const char kErrorLogTableName[] = "error_log";
const char kResetScheduleLogTableName[] = "reset_schedule_log";

const char kAllTimeTableSuffix[] = "_alltime";
const char kDailyTableSuffix[] = "_daily";
const char kYesterdayTableSuffix[] = "_yesterday";
const char kWeeklyTableSuffix[] = "_weekly";
const char kLastWeekTableSuffix[] = "_lastweek";
const char kMonthlyTableSuffix[] = "_monthly";
const char kLastMonthTableSuffix[] = "_lastmonth";

const char kSchemaScriptPath[] = "sql/database_schema.sql";

namespace {

using Result = Leaderboard::ScoreSubmission::Response::Result;
using Response = Leaderboard::ScoreSubmission::Response;
using TimeSpan = Leaderboard::LeaderboardQuery::TimeSpan;
using Query = Leaderboard::LeaderboardQuery;

std::atomic<bool> the_no_backslash_escapes{false};

// A score as statements write it: 15 significant digits (the form of
// "%.15g", which keeps ordinary scores short: "100", "0.1", "1e+20") when
// that text reads back as the same double, else 17, which always does. So
// 0.1 + 0.2 is stored as 0.30000000000000004, not as 0.3, and recovery
// rebuilds exactly the scores and ties the rankings had.
std::string FormatStatementScore(double score) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.precision(15);
  out << score;
  if (!std::isfinite(score)) return out.str();
  std::istringstream in(out.str());
  in.imbue(std::locale::classic());
  double read_back = 0;
  if (in >> read_back && read_back == score) return out.str();
  out.str("");
  out.precision(17);
  out << score;
  return out.str();
}

// The stream every statement is written into: scores as by
// FormatStatementScore and the classic locale, so that no digit grouping or
// decimal comma sneaks into a statement.
class StatementStream {
 public:
  StatementStream() { out_.imbue(std::locale::classic()); }
  template <typename T>
  StatementStream& operator<<(const T& value) {
    out_ << value;
    return *this;
  }
  StatementStream& operator<<(double score) {
    out_ << FormatStatementScore(score);
    return *this;
  }
  std::string str() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

// A string value between single quotes, escaped.
struct Quoted {
  explicit Quoted(const std::string& v) : value(v) {}
  const std::string& value;
};

StatementStream& operator<<(StatementStream& out, const Quoted& quoted) {
  return out << '\'' << EscapeSqlString(quoted.value) << '\'';
}

// A flag as "1" or "0".
const char* Digit(bool flag) { return flag ? "1" : "0"; }

// The dated weekly table named from a weekly reset time point.
std::string DatedWeeklyTableName(const std::string& leaderboard_id,
                                 const boost::posix_time::ptime& date_time) {
  return leaderboard_id + "_" + DateToWeekText(date_time.date()) +
         kWeeklyTableSuffix;
}

std::string MakeResetQuery(const std::string& leaderboard_id,
                           const char* procedure, const char* period_suffix,
                           const char* previous_suffix) {
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    StatementStream out;
    out << "CALL " << procedure << "(" << Quoted(leaderboard_id) << ")";
    return out.str();
  }
  const std::string current = leaderboard_id + period_suffix;
  const std::string previous = leaderboard_id + previous_suffix;
  const std::string temporary = current + "_tmp";
  return "TRUNCATE TABLE " + previous + ";" +
         (boost::format("RENAME TABLE %1% TO %2%, %3% TO %4%, %5% TO %6%;") %
          current % temporary % previous % current % temporary % previous)
             .str();
}

// Timespan words of the score tables, in the order they are tried.
const std::pair<const char*, TimeSpan> kTableTimespans[] = {
    {"daily", Query::kDaily},       {"weekly", Query::kWeekly},
    {"monthly", Query::kMonthly},   {"yesterday", Query::kYesterday},
    {"lastweek", Query::kLastWeek}, {"lastmonth", Query::kLastMonth},
    {"alltime", Query::kAllTime},
};

bool IsIdentifierText(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

// The score table of a period ranking (never all-time); the weekly and last
// week tables are the dated table of their week when `dated_weeks`.
std::string PeriodTableName(const std::string& leaderboard_id,
                            const PeriodRanking& ranking, bool dated_weeks) {
  switch (ranking.timespan) {
    case Leaderboard::LeaderboardQuery::kDaily:
      return leaderboard_id + kDailyTableSuffix;
    case Leaderboard::LeaderboardQuery::kYesterday:
      return leaderboard_id + kYesterdayTableSuffix;
    case Leaderboard::LeaderboardQuery::kWeekly:
    case Leaderboard::LeaderboardQuery::kLastWeek:
      if (dated_weeks) {
        return DatedWeeklyTableName(leaderboard_id, ranking.week_time);
      }
      return leaderboard_id +
             (ranking.timespan == Leaderboard::LeaderboardQuery::kWeekly
                  ? kWeeklyTableSuffix
                  : kLastWeekTableSuffix);
    case Leaderboard::LeaderboardQuery::kMonthly:
      return leaderboard_id + kMonthlyTableSuffix;
    case Leaderboard::LeaderboardQuery::kLastMonth:
      return leaderboard_id + kLastMonthTableSuffix;
    default:
      break;
  }
  LOG(FATAL) << "No period table for timespan: " << ranking.timespan;
  return std::string();
}

}  // namespace

std::string EscapeSqlString(const std::string& value) {
  return vel::Mariadb::EscapeStringForCharacterSet(
      value, FLAGS_mysql_db_character_set, the_no_backslash_escapes.load());
}

void SetSqlNoBackslashEscapes(bool no_backslash_escapes) {
  the_no_backslash_escapes.store(no_backslash_escapes);
}

bool GetSqlNoBackslashEscapes() { return the_no_backslash_escapes.load(); }

std::string GetScoreTableName(const std::string& leaderboard_id,
                              const boost::posix_time::ptime& next_date_time,
                              Result result) {
  switch (result) {
    case Response::kNewRecord:
      return leaderboard_id + kAllTimeTableSuffix;
    case Response::kNewRecordDaily:
      return leaderboard_id + kDailyTableSuffix;
    case Response::kNewRecordWeekly:
      if (FLAGS_use_leaderboard_table_with_date &&
          !next_date_time.is_special()) {
        return DatedWeeklyTableName(leaderboard_id, next_date_time);
      }
      return leaderboard_id + kWeeklyTableSuffix;
    case Response::kNewRecordMonthly:
      return leaderboard_id + kMonthlyTableSuffix;
    default:
      return std::string();
  }
}

bool ParseScoreTableName(const std::string& name, LeaderboardInfo* info) {
  LEADERBOARD_ASSERT(info);
  if (name == kErrorLogTableName || name == kResetScheduleLogTableName) {
    return false;
  }
  for (const auto& word : kTableTimespans) {
    const std::string suffix = std::string("_") + word.first;
    if (name.size() <= suffix.size() || !boost::ends_with(name, suffix)) {
      continue;
    }
    const std::string leaderboard_id =
        name.substr(0, name.size() - suffix.size());
    if (!IsIdentifierText(leaderboard_id)) break;
    info->table_name = name;
    info->leaderboard_id = leaderboard_id;
    info->timespan = word.second;
    info->db_row_count = 0;
    info->cache_row_count = 0;
    return true;
  }
  for (const auto& word : kTableTimespans) {
    if (name.find(word.first) != std::string::npos) {
      LOG(WARNING) << "Skipping a table that is not a score table"
                   << ": table=" << name;
      return false;
    }
  }
  return false;
}

std::string MakeScoreSubmissionQuery(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int64_t time_stamp,
    const boost::posix_time::ptime& next_date_time, Result result,
    std::optional<double> tiebreak_score) {
  using Leaderboard::ScoreSubmission;
  LEADERBOARD_ASSERT(result != ScoreSubmission::Response::kNone)
      << "result: " << static_cast<int>(result);
  const std::string table =
      GetScoreTableName(leaderboard_id, next_date_time, result);
  if (table.empty()) return std::string();

  StatementStream out;
  if (tiebreak_score) {
    // The stored procedures know no tiebreak column.
    out << "INSERT INTO " << table
        << "(service_provider, local_account, score, time_stamp, "
           "tiebreak_score) "
        << "VALUES(" << Quoted(account.service_provider()) << ", "
        << Quoted(account.id()) << ", " << score << ", " << time_stamp << ", "
        << *tiebreak_score << ") "
        << "ON DUPLICATE KEY UPDATE "
        << "time_stamp = VALUES(time_stamp), score = VALUES(score), "
           "tiebreak_score = VALUES(tiebreak_score);";
  } else if (FLAGS_leaderboard_use_db_stored_procedure) {
    out << "CALL sp_score_submission(" << Quoted(leaderboard_id) << ", "
        << Quoted(table) << ", " << Quoted(account.service_provider()) << ", "
        << Quoted(account.id()) << ", " << score << ", " << time_stamp << ")";
  } else {
    out << "INSERT INTO " << table
        << "(service_provider, local_account, score, time_stamp) "
        << "VALUES(" << Quoted(account.service_provider()) << ", "
        << Quoted(account.id()) << ", " << score << ", " << time_stamp << ") "
        << "ON DUPLICATE KEY UPDATE "
        << "time_stamp = VALUES(time_stamp), score = VALUES(score);";
  }
  return out.str();
}

std::string MakeBulkScoreSubmissionQuery(
    const std::string& table, const std::string& leaderboard_id,
    const std::vector<BulkScoreRow>& requests) {
  // clang-format off
  LEADERBOARD_ASSERT(! requests.empty());
  // clang-format on
  StatementStream out;
  const bool tiebreak = requests.front().tiebreak_score.has_value();
  if (tiebreak) {
    // The rows of one table all have a second score or none.
    out << "INSERT INTO " << table << " "
        << "(service_provider, local_account, score, time_stamp, "
           "tiebreak_score) VALUES";
    bool first = true;
    for (const BulkScoreRow& row : requests) {
      out << (first ? "" : ", ") << "(" << Quoted(row.service_provider) << ", "
          << Quoted(row.local_account) << ", " << row.score << ", "
          << row.time_stamp << ", " << row.tiebreak_score.value_or(0.0) << ")";
      first = false;
    }
    out << " ON DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), "
           "score = VALUES(score), tiebreak_score = VALUES(tiebreak_score);";
  } else if (FLAGS_leaderboard_use_db_stored_procedure) {
    out << "CALL sp_bulk_score_submission(" << Quoted(table) << ", "
        << Quoted(leaderboard_id);
    for (const BulkScoreRow& row : requests) {
      out << ", " << Quoted(row.service_provider) << ", "
          << Quoted(row.local_account) << ", " << row.score << ", "
          << row.time_stamp;
    }
    out << ")";
  } else {
    out << "INSERT INTO " << table << " "
        << "(service_provider, local_account, score, time_stamp) VALUES";
    bool first = true;
    for (const BulkScoreRow& row : requests) {
      if (!first) out << ", ";
      first = false;
      out << "(" << Quoted(row.service_provider) << ", "
          << Quoted(row.local_account) << ", " << row.score << ", "
          << row.time_stamp << ")";
    }
    out << " ON DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), "
           "score = VALUES(score);";
  }
  return out.str();
}

std::string MakeScoreReplayQuery(const std::string& table,
                                 const std::vector<BulkScoreRow>& rows) {
  // clang-format off
  LEADERBOARD_ASSERT(! rows.empty());
  // clang-format on
  StatementStream out;
  const bool tiebreak = rows.front().tiebreak_score.has_value();
  out << "INSERT INTO " << table
      << " (service_provider, local_account, score, time_stamp"
      << (tiebreak ? ", tiebreak_score" : "") << ") VALUES";
  bool first = true;
  for (const BulkScoreRow& row : rows) {
    out << (first ? "" : ",") << "(" << Quoted(row.service_provider) << ", "
        << Quoted(row.local_account) << ", " << row.score << ", "
        << row.time_stamp;
    if (tiebreak) out << ", " << row.tiebreak_score.value_or(0.0);
    out << ")";
    first = false;
  }
  // The score is assigned first, while time_stamp is still the stored one
  // (and the second score before it, while the score is).
  const char* const kNewer =
      "VALUES(time_stamp) < time_stamp"
      " OR (VALUES(time_stamp) = time_stamp AND VALUES(score) <= score)";
  out << " ON DUPLICATE KEY UPDATE ";
  if (tiebreak) {
    out << "tiebreak_score = IF(" << kNewer
        << ", VALUES(tiebreak_score), tiebreak_score), ";
  }
  out << "score = IF(" << kNewer << ", VALUES(score), score),"
      << " time_stamp = LEAST(time_stamp, VALUES(time_stamp));";
  return out.str();
}

std::string MakeScoreDeletionQuery(const std::string& leaderboard_id,
                                   const vel::PlayerAccount& account,
                                   const ResetScheduleInfo& info) {
  StatementStream out;
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    out << "CALL sp_score_deletion(" << Quoted(leaderboard_id) << ", "
        << Quoted(account.service_provider()) << ", " << Quoted(account.id())
        << ", " << Digit(info.has_day_schedule) << ", "
        << Digit(info.has_week_schedule) << ", "
        << Digit(info.has_month_schedule) << ")";
    return out.str();
  }

  // Weekly tables are dated only when both weeks are known; otherwise both
  // are the undated ones.
  const bool dated_weeks = FLAGS_use_leaderboard_table_with_date &&
                           !info.next_date_time.is_special() &&
                           !info.past_date_time.is_special();
  std::vector<std::string> tables;
  tables.push_back(leaderboard_id + kAllTimeTableSuffix);
  for (const PeriodRanking& ranking : KeptPeriodRankings(info, true)) {
    tables.push_back(PeriodTableName(leaderboard_id, ranking, dated_weeks));
  }
  for (const std::string& table : tables) {
    out << "DELETE FROM " << table << " "
        << "WHERE service_provider = " << Quoted(account.service_provider())
        << " AND "
        << "local_account = " << Quoted(account.id()) << ";";
  }
  return out.str();
}

std::string MakeResetScheduleLogInsertQuery(
    const std::string& leaderboard_id, const std::string& leaderboard_key,
    const std::string& schedule_date_time) {
  // clang-format off
  LEADERBOARD_ASSERT(! leaderboard_id.empty());
  LEADERBOARD_ASSERT(! leaderboard_key.empty());
  LEADERBOARD_ASSERT(! schedule_date_time.empty());
  // clang-format on
  StatementStream out;
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    out << "CALL sp_insert_reset_schedule_log(" << Quoted(leaderboard_id)
        << ", " << Quoted(leaderboard_key) << ", " << Quoted(schedule_date_time)
        << ")";
  } else {
    out << "INSERT INTO reset_schedule_log"
        << "(leaderboard_key, schedule_date_time) "
        << "VALUES(" << Quoted(leaderboard_key) << ", "
        << Quoted(schedule_date_time) << ");";
  }
  return out.str();
}

std::string MakeResetScheduleLogQuery(const std::string& leaderboard_id,
                                      const std::string& leaderboard_key,
                                      const std::string& schedule_date_time) {
  // clang-format off
  LEADERBOARD_ASSERT(! leaderboard_id.empty());
  LEADERBOARD_ASSERT(! leaderboard_key.empty());
  LEADERBOARD_ASSERT(! schedule_date_time.empty());
  // clang-format on
  StatementStream out;
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    out << "CALL sp_query_reset_schedule_log(" << Quoted(leaderboard_id) << ", "
        << Quoted(leaderboard_key) << ", " << Quoted(schedule_date_time) << ")";
  } else {
    out << "SELECT leaderboard_key, CONVERT(reset_date_time, CHAR(30)) "
        << "FROM reset_schedule_log "
        << "WHERE leaderboard_key = " << Quoted(leaderboard_key) << " AND "
        << "schedule_date_time = " << Quoted(schedule_date_time) << ";";
  }
  return out.str();
}

std::string MakeResetScheduleLog2Query(const std::string& leaderboard_key) {
  StatementStream out;
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    out << "CALL sp_query_reset_schedule_log2(" << Quoted(leaderboard_key)
        << ")";
  } else {
    out << "SELECT schedule_date_time, CONVERT(reset_date_time, CHAR(30)) "
        << "FROM reset_schedule_log "
        << "WHERE leaderboard_key = " << Quoted(leaderboard_key) << ";";
  }
  return out.str();
}

std::string MakeResetScheduleLogAllQuery() {
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    return "CALL sp_query_reset_schedule_log_all()";
  }
  return "SELECT leaderboard_key, schedule_date_time, "
         "CONVERT(reset_date_time, CHAR(30)) "
         "FROM reset_schedule_log;";
}

std::string MakeDailyResetQuery(const std::string& leaderboard_id) {
  return MakeResetQuery(leaderboard_id, "sp_reset_table_daily",
                        kDailyTableSuffix, kYesterdayTableSuffix);
}

std::string MakeWeeklyResetQuery(const std::string& leaderboard_id) {
  return MakeResetQuery(leaderboard_id, "sp_reset_table_weekly",
                        kWeeklyTableSuffix, kLastWeekTableSuffix);
}

std::string MakeMonthlyResetQuery(const std::string& leaderboard_id) {
  return MakeResetQuery(leaderboard_id, "sp_reset_table_monthly",
                        kMonthlyTableSuffix, kLastMonthTableSuffix);
}

std::string MakeLocalAccountColumnType(std::uint64_t length) {
  return "CHAR(" + std::to_string(length) + ")";
}

const std::string& GetLocalAccountColumnType() {
  static const std::string type =
      MakeLocalAccountColumnType(FLAGS_mysql_local_account_column_length);
  return type;
}

std::string MakeErrorLogTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS error_log(\n") +
         "  no INT UNSIGNED NOT NULL AUTO_INCREMENT UNIQUE,\n" +
         "  code INT,\n" + "  proc CHAR(255),\n" + "  message CHAR(255),\n" +
         "  date TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,\n" +
         "  PRIMARY KEY(no)\n" + ") CHARACTER SET " +
         FLAGS_mysql_db_character_set + ";";
}

std::string MakeResetScheduleLogTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS reset_schedule_log(\n") +
         "  leaderboard_key CHAR(255) NOT NULL,\n" +
         "  schedule_date_time CHAR(50) NOT NULL,\n" +
         "  reset_date_time TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,\n" +
         "  PRIMARY KEY(leaderboard_key, schedule_date_time)\n" +
         ") CHARACTER SET " + FLAGS_mysql_db_character_set + ";";
}

std::string MakeScoreTableQuery(const std::string& table) {
  return MakeScoreTableQuery(table, GetLocalAccountColumnType());
}

std::string MakeScoreTableQuery(const std::string& table,
                                const std::string& local_account_type) {
  return "CREATE TABLE IF NOT EXISTS " + table + "(\n" +
         "  service_provider CHAR(50) NOT NULL,\n" + "  local_account " +
         local_account_type + " NOT NULL,\n" +
         "  score DOUBLE NOT NULL DEFAULT 0,\n" +
         "  time_stamp bigint NOT NULL DEFAULT 0,\n" +
         "  PRIMARY KEY(service_provider, local_account)\n" +
         ") CHARACTER SET " + FLAGS_mysql_db_character_set + ";";
}

std::vector<std::string> LeaderboardTableNames(
    const std::string& leaderboard_id,
    const std::vector<std::string>* dated_weekly_dates) {
  std::vector<std::string> names;
  names.push_back(leaderboard_id + kAllTimeTableSuffix);
  if (dated_weekly_dates != nullptr) {
    for (const std::string& date : *dated_weekly_dates) {
      names.push_back(leaderboard_id + "_" + date + kWeeklyTableSuffix);
    }
  } else {
    for (const char* suffix :
         {kDailyTableSuffix, kYesterdayTableSuffix, kWeeklyTableSuffix,
          kLastWeekTableSuffix, kMonthlyTableSuffix, kLastMonthTableSuffix}) {
      names.push_back(leaderboard_id + suffix);
    }
  }
  return names;
}

std::vector<std::string> MakeLeaderboardTableQueries(
    const std::string& leaderboard_id,
    const std::vector<std::string>* dated_weekly_dates) {
  const std::vector<std::string> names =
      LeaderboardTableNames(leaderboard_id, dated_weekly_dates);
  std::vector<std::string> tables;
  for (const std::string& name : names) {
    tables.push_back(MakeScoreTableQuery(name));
  }
  if (TiebreakColumns::Has(leaderboard_id)) {
    // Added to the table's usual form, also to tables made before the
    // leaderboard had a tiebreak.
    for (const std::string& name : names) {
      tables.push_back("ALTER TABLE " + name + " ADD COLUMN IF NOT EXISTS " +
                       kTiebreakColumn + " DOUBLE NOT NULL DEFAULT 0;");
    }
  }
  return tables;
}

std::vector<std::string> MakeSchemaScripts(
    const std::set<std::string>& leaderboard_ids,
    const std::map<std::string, std::vector<std::string>>&
        dated_weekly_table_dates) {
  std::vector<std::string> scripts;
  scripts.push_back(MakeErrorLogTableQuery());
  scripts.push_back(MakeResetScheduleLogTableQuery());
  for (const std::string& id : leaderboard_ids) {
    const auto dated = dated_weekly_table_dates.find(id);
    for (std::string& table : MakeLeaderboardTableQueries(
             id, dated != dated_weekly_table_dates.end() ? &dated->second
                                                         : nullptr)) {
      scripts.push_back(std::move(table));
    }
  }
  scripts.push_back(MakePlayerProfileTableQuery());
  scripts.push_back(DefinitionStore::MakeTableQuery());
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    for (std::string& script : LoadStoredProcedureScripts()) {
      scripts.push_back(std::move(script));
    }
  }
  return scripts;
}

std::vector<std::string> LoadStoredProcedureScripts() {
  const std::string path = vel::GetResRoot() + "/" + kSchemaScriptPath;
  std::ifstream file(path);
  if (!file.is_open()) {
    LOG(ERROR) << "Failed to read a db script file: " << path;
    return {};
  }
  // Lines keep their line feeds: a "--" comment in the script then ends at
  // its line instead of swallowing the statement after it.
  std::string script_all;
  std::string line;
  while (std::getline(file, line)) {
    script_all += line;
    script_all += '\n';
  }
  if (file.bad()) {
    LOG(ERROR) << "Failed to read a db script file: " << path;
    return {};
  }
  return SplitStoredProcedureScript(script_all);
}

std::vector<std::string> SplitStoredProcedureScript(const std::string& script) {
  std::string script_all = boost::algorithm::trim_copy(script);
  // clang-format off
  LEADERBOARD_ASSERT(! script_all.empty());
  // clang-format on
  boost::algorithm::replace_all(script_all, "[CHARACTER_SET]",
                                FLAGS_mysql_db_character_set);
  boost::algorithm::replace_all(script_all, "[LOCAL_ACCOUNT_TYPE]",
                                GetLocalAccountColumnType());

  static const boost::regex kDelimiter("\\$QUERY_DELIMITER\\$");
  std::vector<std::string> pieces;
  boost::sregex_token_iterator it(script_all.begin(), script_all.end(),
                                  kDelimiter, -1);
  for (const boost::sregex_token_iterator end; it != end; ++it) {
    std::string piece = boost::algorithm::trim_copy(it->str());
    // A piece of white space only (two delimiters in a row) would be sent
    // as an empty statement; it holds nothing to run.
    if (piece.empty()) continue;
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

}  // namespace plemox
