// The statement builders, the DDL and the schema script splitting of the
// persistent store: exact texts in both the plain and the stored-procedure
// form, value formatting, escaping, and table name recognition.
#include "database/store/mysql_schema.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/definition_store.h"
#include "database/store/player_profile_schema.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"

namespace plemox {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using SubmissionResponse = Leaderboard::ScoreSubmission::Response;
using Query = Leaderboard::LeaderboardQuery;

const ptime kNotADateTime{boost::posix_time::not_a_date_time};
const vel::PlayerAccount kPlayer("guest", "player42");

// Each test picks the statement form; flags are restored afterwards.
class MysqlSchemaTest : public testing::Test {
 protected:
  void UseProcedures(bool on) {
    FLAGS_leaderboard_use_db_stored_procedure = on;
  }
  void TearDown() override { SetSqlNoBackslashEscapes(false); }

  gflags::FlagSaver flag_saver_;
};

TEST_F(MysqlSchemaTest, ScoreTableNameFollowsTheResult) {
  EXPECT_EQ(GetScoreTableName("stage1", kNotADateTime,
                              SubmissionResponse::kNewRecord),
            "stage1_alltime");
  EXPECT_EQ(GetScoreTableName("stage1", kNotADateTime,
                              SubmissionResponse::kNewRecordDaily),
            "stage1_daily");
  EXPECT_EQ(GetScoreTableName("stage1", kNotADateTime,
                              SubmissionResponse::kNewRecordWeekly),
            "stage1_weekly");
  EXPECT_EQ(GetScoreTableName("stage1", kNotADateTime,
                              SubmissionResponse::kNewRecordMonthly),
            "stage1_monthly");
  EXPECT_EQ(
      GetScoreTableName("stage1", kNotADateTime, SubmissionResponse::kNone),
      "");
  EXPECT_EQ(GetScoreTableName("stage1", kNotADateTime,
                              static_cast<SubmissionResponse::Result>(9)),
            "");

  // Only weekly tables are dated, and only with a date to name them by.
  const ptime week = time_from_string("2021-02-08 00:00:00");
  EXPECT_EQ(
      GetScoreTableName("stage1", week, SubmissionResponse::kNewRecordWeekly),
      "stage1_weekly");
  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_EQ(
      GetScoreTableName("stage1", week, SubmissionResponse::kNewRecordWeekly),
      "stage1_20210208_weekly");
  EXPECT_EQ(
      GetScoreTableName("stage1", week, SubmissionResponse::kNewRecordDaily),
      "stage1_daily");
  EXPECT_EQ(GetScoreTableName("stage1", kNotADateTime,
                              SubmissionResponse::kNewRecordWeekly),
            "stage1_weekly");
}

TEST_F(MysqlSchemaTest, ScoreSubmissionInBothForms) {
  UseProcedures(false);
  EXPECT_EQ(
      MakeScoreSubmissionQuery("stage1", kPlayer, -100, -1612345678,
                               kNotADateTime, SubmissionResponse::kNewRecord),
      "INSERT INTO stage1_alltime(service_provider, local_account, score, "
      "time_stamp) VALUES('guest', 'player42', -100, -1612345678) ON "
      "DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), score = "
      "VALUES(score);");
  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_EQ(MakeScoreSubmissionQuery("stage1", kPlayer, -5, -7,
                                     time_from_string("2021-02-08 00:00:00"),
                                     SubmissionResponse::kNewRecordWeekly),
            "INSERT INTO stage1_20210208_weekly(service_provider, "
            "local_account, score, time_stamp) VALUES('guest', 'player42', "
            "-5, -7) ON DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), "
            "score = VALUES(score);");

  UseProcedures(true);
  FLAGS_use_leaderboard_table_with_date = false;
  EXPECT_EQ(MakeScoreSubmissionQuery("stage1", kPlayer, -100, -1612345678,
                                     kNotADateTime,
                                     SubmissionResponse::kNewRecordMonthly),
            "CALL sp_score_submission('stage1', 'stage1_monthly', 'guest', "
            "'player42', -100, -1612345678)");
  // A result that names no table gives no statement.
  EXPECT_EQ(
      MakeScoreSubmissionQuery("stage1", kPlayer, 1, 1, kNotADateTime,
                               static_cast<SubmissionResponse::Result>(6)),
      "");
}

TEST_F(MysqlSchemaTest, ScoresAreWrittenShortButExact) {
  UseProcedures(true);
  const auto score_text = [](double score) {
    const std::string query =
        MakeScoreSubmissionQuery("s", kPlayer, score, -1612345678,
                                 kNotADateTime, SubmissionResponse::kNewRecord);
    const std::string prefix =
        "CALL sp_score_submission('s', 's_alltime', 'guest', 'player42', ";
    const std::string suffix = ", -1612345678)";
    EXPECT_EQ(query.compare(0, prefix.size(), prefix), 0) << query;
    return query.substr(prefix.size(),
                        query.size() - prefix.size() - suffix.size());
  };
  EXPECT_EQ(score_text(100), "100");
  EXPECT_EQ(score_text(-100), "-100");
  EXPECT_EQ(score_text(0.1), "0.1");
  EXPECT_EQ(score_text(1e20), "1e+20");
  EXPECT_EQ(score_text(100000), "100000");
  EXPECT_EQ(score_text(-1234.5), "-1234.5");
  // Scores that 15 digits cannot tell apart from a neighbour take 17.
  EXPECT_EQ(score_text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(score_text(1234567890123456.0), "1234567890123456");
  EXPECT_EQ(score_text(123456789012345678.0), "1.2345678901234568e+17");
  // Every score survives the trip through the statement text.
  for (const double score : {0.1 + 0.2, 1.0 / 3.0, -2.0 / 7.0, 1e300 / 7.0,
                             5e-324, 9007199254740993.0, 0.1, -100.0}) {
    EXPECT_EQ(std::strtod(score_text(score).c_str(), nullptr), score)
        << score_text(score);
  }
}

TEST_F(MysqlSchemaTest, BulkSubmissionListsRowsInTheGivenOrder) {
  const std::vector<BulkScoreRow> rows = {{"guest", "a1", -10, -1612345678},
                                          {"guest", "b2", -20, -1612345679}};
  UseProcedures(true);
  EXPECT_EQ(MakeBulkScoreSubmissionQuery("stage1_daily", "stage1", rows),
            "CALL sp_bulk_score_submission('stage1_daily', 'stage1', "
            "'guest', 'a1', -10, -1612345678, 'guest', 'b2', -20, "
            "-1612345679)");
  UseProcedures(false);
  EXPECT_EQ(MakeBulkScoreSubmissionQuery("stage1_daily", "stage1", rows),
            "INSERT INTO stage1_daily (service_provider, local_account, "
            "score, time_stamp) VALUES('guest', 'a1', -10, -1612345678), "
            "('guest', 'b2', -20, -1612345679) ON DUPLICATE KEY UPDATE "
            "time_stamp = VALUES(time_stamp), score = VALUES(score);");
  // The rows keep the caller's order, not any sorting of their own.
  const std::vector<BulkScoreRow> reversed = {rows[1], rows[0]};
  EXPECT_NE(
      MakeBulkScoreSubmissionQuery("stage1_daily", "stage1", reversed)
          .find("VALUES('guest', 'b2', -20, -1612345679), ('guest', 'a1'"),
      std::string::npos);
}

TEST_F(MysqlSchemaTest, DeletionInBothForms) {
  UseProcedures(true);
  ResetScheduleInfo day_only;
  day_only.has_day_schedule = true;
  EXPECT_EQ(MakeScoreDeletionQuery("stage1", kPlayer, day_only),
            "CALL sp_score_deletion('stage1', 'guest', 'player42', 1, 0, 0)");
  ResetScheduleInfo week_month;
  week_month.has_week_schedule = true;
  week_month.has_month_schedule = true;
  EXPECT_EQ(MakeScoreDeletionQuery("stage1", kPlayer, week_month),
            "CALL sp_score_deletion('stage1', 'guest', 'player42', 0, 1, 1)");

  UseProcedures(false);
  const auto del = [](const std::string& table) {
    return "DELETE FROM " + table +
           " WHERE service_provider = 'guest' AND local_account = "
           "'player42';";
  };
  // Without any schedule the player leaves all seven tables, in this order.
  EXPECT_EQ(MakeScoreDeletionQuery("stage1", kPlayer, ResetScheduleInfo()),
            del("stage1_alltime") + del("stage1_daily") +
                del("stage1_yesterday") + del("stage1_weekly") +
                del("stage1_lastweek") + del("stage1_monthly") +
                del("stage1_lastmonth"));
  ResetScheduleInfo week_only;
  week_only.has_week_schedule = true;
  EXPECT_EQ(
      MakeScoreDeletionQuery("stage1", kPlayer, week_only),
      del("stage1_alltime") + del("stage1_weekly") + del("stage1_lastweek"));

  // Dated weekly tables need both weekly time points.
  FLAGS_use_leaderboard_table_with_date = true;
  week_only.next_date_time = time_from_string("2021-02-15 00:00:00");
  EXPECT_EQ(
      MakeScoreDeletionQuery("stage1", kPlayer, week_only),
      del("stage1_alltime") + del("stage1_weekly") + del("stage1_lastweek"));
  week_only.past_date_time = time_from_string("2021-02-08 00:00:00");
  EXPECT_EQ(MakeScoreDeletionQuery("stage1", kPlayer, week_only),
            del("stage1_alltime") + del("stage1_20210215_weekly") +
                del("stage1_20210208_weekly"));
}

TEST_F(MysqlSchemaTest, ResetScheduleLogStatementsInBothForms) {
  UseProcedures(true);
  EXPECT_EQ(MakeResetScheduleLogInsertQuery("stage1", "stage1_day",
                                            "20210208T000000"),
            "CALL sp_insert_reset_schedule_log('stage1', 'stage1_day', "
            "'20210208T000000')");
  EXPECT_EQ(
      MakeResetScheduleLogQuery("stage1", "stage1_day", "20210208T000000"),
      "CALL sp_query_reset_schedule_log('stage1', 'stage1_day', "
      "'20210208T000000')");
  EXPECT_EQ(MakeResetScheduleLog2Query("stage1_day"),
            "CALL sp_query_reset_schedule_log2('stage1_day')");
  EXPECT_EQ(MakeResetScheduleLogAllQuery(),
            "CALL sp_query_reset_schedule_log_all()");

  UseProcedures(false);
  EXPECT_EQ(MakeResetScheduleLogInsertQuery("stage1", "stage1_day",
                                            "20210208T000000"),
            "INSERT INTO reset_schedule_log(leaderboard_key, "
            "schedule_date_time) VALUES('stage1_day', '20210208T000000');");
  EXPECT_EQ(
      MakeResetScheduleLogQuery("stage1", "stage1_day", "20210208T000000"),
      "SELECT leaderboard_key, CONVERT(reset_date_time, CHAR(30)) FROM "
      "reset_schedule_log WHERE leaderboard_key = 'stage1_day' AND "
      "schedule_date_time = '20210208T000000';");
  EXPECT_EQ(MakeResetScheduleLog2Query("stage1_day"),
            "SELECT schedule_date_time, CONVERT(reset_date_time, CHAR(30)) "
            "FROM reset_schedule_log WHERE leaderboard_key = 'stage1_day';");
  EXPECT_EQ(MakeResetScheduleLogAllQuery(),
            "SELECT leaderboard_key, schedule_date_time, "
            "CONVERT(reset_date_time, CHAR(30)) FROM reset_schedule_log;");
}

TEST_F(MysqlSchemaTest, TableResetsInBothForms) {
  UseProcedures(false);
  EXPECT_EQ(MakeDailyResetQuery("stage1"),
            "TRUNCATE TABLE stage1_yesterday;RENAME TABLE stage1_daily TO "
            "stage1_daily_tmp, stage1_yesterday TO stage1_daily, "
            "stage1_daily_tmp TO stage1_yesterday;");
  EXPECT_EQ(MakeWeeklyResetQuery("stage1"),
            "TRUNCATE TABLE stage1_lastweek;RENAME TABLE stage1_weekly TO "
            "stage1_weekly_tmp, stage1_lastweek TO stage1_weekly, "
            "stage1_weekly_tmp TO stage1_lastweek;");
  // The weekly reset ignores dated tables.
  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_EQ(MakeMonthlyResetQuery("stage1"),
            "TRUNCATE TABLE stage1_lastmonth;RENAME TABLE stage1_monthly TO "
            "stage1_monthly_tmp, stage1_lastmonth TO stage1_monthly, "
            "stage1_monthly_tmp TO stage1_lastmonth;");
  EXPECT_EQ(MakeWeeklyResetQuery("stage1").find("2021"), std::string::npos);

  UseProcedures(true);
  EXPECT_EQ(MakeDailyResetQuery("stage1"),
            "CALL sp_reset_table_daily('stage1')");
  EXPECT_EQ(MakeWeeklyResetQuery("stage1"),
            "CALL sp_reset_table_weekly('stage1')");
  EXPECT_EQ(MakeMonthlyResetQuery("stage1"),
            "CALL sp_reset_table_monthly('stage1')");
}

TEST_F(MysqlSchemaTest, QuotesAndBackslashesInValuesAreEscaped) {
  const vel::PlayerAccount tricky("it's", "o'brien\\");
  UseProcedures(false);
  EXPECT_EQ(MakeScoreSubmissionQuery("stage1", tricky, -1, -2, kNotADateTime,
                                     SubmissionResponse::kNewRecord),
            "INSERT INTO stage1_alltime(service_provider, local_account, "
            "score, time_stamp) VALUES('it\\'s', 'o\\'brien\\\\', -1, -2) ON "
            "DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), score = "
            "VALUES(score);");
  // A value that tries to close the quote and append a statement stays a
  // value.
  const vel::PlayerAccount injection("guest", "x'; DROP TABLE t; -- ");
  EXPECT_EQ(MakeScoreDeletionQuery("s", injection, ResetScheduleInfo())
                .find("'x'; DROP"),
            std::string::npos);
  EXPECT_EQ(
      MakeResetScheduleLog2Query("a'b"),
      "SELECT schedule_date_time, CONVERT(reset_date_time, CHAR(30)) FROM "
      "reset_schedule_log WHERE leaderboard_key = 'a\\'b';");

  UseProcedures(true);
  EXPECT_EQ(
      MakeBulkScoreSubmissionQuery("s_daily", "s", {{"it's", "a\\b", -1, -2}}),
      "CALL sp_bulk_score_submission('s_daily', 's', 'it\\'s', "
      "'a\\\\b', -1, -2)");
  // A server with NO_BACKSLASH_ESCAPES reads backslashes literally; quotes
  // are doubled instead.
  SetSqlNoBackslashEscapes(true);
  EXPECT_EQ(MakeResetScheduleLogInsertQuery("s", "o'k\\", "2021"),
            "CALL sp_insert_reset_schedule_log('s', 'o''k\\', '2021')");
}

TEST_F(MysqlSchemaTest, TableDefinitions) {
  EXPECT_EQ(MakeErrorLogTableQuery(),
            "CREATE TABLE IF NOT EXISTS error_log(\n"
            "  no INT UNSIGNED NOT NULL AUTO_INCREMENT UNIQUE,\n"
            "  code INT,\n"
            "  proc CHAR(255),\n"
            "  message CHAR(255),\n"
            "  date TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,\n"
            "  PRIMARY KEY(no)\n"
            ") CHARACTER SET utf8;");
  EXPECT_EQ(MakeResetScheduleLogTableQuery(),
            "CREATE TABLE IF NOT EXISTS reset_schedule_log(\n"
            "  leaderboard_key CHAR(255) NOT NULL,\n"
            "  schedule_date_time CHAR(50) NOT NULL,\n"
            "  reset_date_time TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,\n"
            "  PRIMARY KEY(leaderboard_key, schedule_date_time)\n"
            ") CHARACTER SET utf8;");
  FLAGS_mysql_db_character_set = "utf8mb4";
  EXPECT_EQ(MakeScoreTableQuery("stage1_daily"),
            "CREATE TABLE IF NOT EXISTS stage1_daily(\n"
            "  service_provider CHAR(50) NOT NULL,\n"
            "  local_account CHAR(50) NOT NULL,\n"
            "  score DOUBLE NOT NULL DEFAULT 0,\n"
            "  time_stamp bigint NOT NULL DEFAULT 0,\n"
            "  PRIMARY KEY(service_provider, local_account)\n"
            ") CHARACTER SET utf8mb4;");
  EXPECT_EQ(GetLocalAccountColumnType(), "CHAR(50)");
  EXPECT_EQ(MakeLocalAccountColumnType(64), "CHAR(64)");
  EXPECT_NE(MakeScoreTableQuery("t", MakeLocalAccountColumnType(64))
                .find("\n  local_account CHAR(64) NOT NULL,\n"),
            std::string::npos);
}

TEST_F(MysqlSchemaTest, SchemaScriptsListTablesPerLeaderboard) {
  UseProcedures(false);
  const std::vector<std::string> scripts =
      MakeSchemaScripts({"stage2", "stage1"}, {});
  ASSERT_EQ(scripts.size(), 18u);
  EXPECT_EQ(scripts[0], MakeErrorLogTableQuery());
  EXPECT_EQ(scripts[1], MakeResetScheduleLogTableQuery());
  const char* const kOrder[] = {"alltime",  "daily",   "yesterday", "weekly",
                                "lastweek", "monthly", "lastmonth"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(scripts[2 + i],
              MakeScoreTableQuery(std::string("stage1_") + kOrder[i]));
    EXPECT_EQ(scripts[9 + i],
              MakeScoreTableQuery(std::string("stage2_") + kOrder[i]));
  }
  // One profile table for every leaderboard, after theirs, and the table
  // of the leaderboards defined at run time.
  EXPECT_EQ(scripts[16], MakePlayerProfileTableQuery());
  EXPECT_EQ(scripts[17], DefinitionStore::MakeTableQuery());

  // A leaderboard with dated weekly tables gets only those and all-time.
  const std::vector<std::string> dated = MakeSchemaScripts(
      {"stage1", "stage2"}, {{"stage1", {"20210118", "20210125"}}});
  ASSERT_EQ(dated.size(), 2u + 3u + 7u + 2u);
  EXPECT_EQ(dated[2], MakeScoreTableQuery("stage1_alltime"));
  EXPECT_EQ(dated[3], MakeScoreTableQuery("stage1_20210118_weekly"));
  EXPECT_EQ(dated[4], MakeScoreTableQuery("stage1_20210125_weekly"));
  EXPECT_EQ(dated[5], MakeScoreTableQuery("stage2_alltime"));
}

TEST_F(MysqlSchemaTest, SchemaScriptsAddTheProceduresOfTheScriptFile) {
  UseProcedures(true);
  FLAGS_res_root = plemox_test::SourceDir();
  const std::vector<std::string> scripts = MakeSchemaScripts({"stage1"}, {});
  ASSERT_GT(scripts.size(), 10u);
  EXPECT_EQ(scripts[8], MakeScoreTableQuery("stage1_lastmonth"));
  EXPECT_EQ(scripts[9], MakePlayerProfileTableQuery());
  EXPECT_EQ(scripts[10], DefinitionStore::MakeTableQuery());
  std::string procedures;
  for (std::size_t i = 11; i < scripts.size(); ++i) {
    EXPECT_FALSE(scripts[i].empty());
    EXPECT_EQ(scripts[i].find("$QUERY_DELIMITER$"), std::string::npos);
    EXPECT_EQ(scripts[i].find("[CHARACTER_SET]"), std::string::npos);
    EXPECT_EQ(scripts[i].find("[LOCAL_ACCOUNT_TYPE]"), std::string::npos);
    procedures += scripts[i];
  }
  for (const char* name :
       {"sp_score_submission(", "sp_bulk_score_submission(",
        "sp_score_deletion(", "sp_insert_reset_schedule_log(",
        "sp_query_reset_schedule_log(", "sp_query_reset_schedule_log2(",
        "sp_query_reset_schedule_log_all(", "sp_reset_table_daily(",
        "sp_reset_table_weekly(", "sp_reset_table_monthly("}) {
    EXPECT_NE(procedures.find(std::string("PROCEDURE ") + name),
              std::string::npos)
        << name;
  }
  EXPECT_NE(procedures.find("IN p_local_account CHAR(50) CHARACTER SET utf8"),
            std::string::npos);

  // Without the file only the tables remain.
  FLAGS_res_root = "/nonexistent/storetest";
  EXPECT_TRUE(LoadStoredProcedureScripts().empty());
  EXPECT_EQ(MakeSchemaScripts({"stage1"}, {}).size(), 11u);
}

TEST_F(MysqlSchemaTest, ScriptSplitting) {
  EXPECT_EQ(
      SplitStoredProcedureScript("A$QUERY_DELIMITER$ B $QUERY_DELIMITER$"),
      (std::vector<std::string>{"A", "B"}));
  // White space between two delimiters is no statement.
  EXPECT_EQ(SplitStoredProcedureScript(
                "\n A \n$QUERY_DELIMITER$ \n\t $QUERY_DELIMITER$\nB;\nC;"),
            (std::vector<std::string>{"A", "B;\nC;"}));
  FLAGS_mysql_db_character_set = "latin1";
  EXPECT_EQ(SplitStoredProcedureScript(
                "[CHARACTER_SET] [CHARACTER_SET]$QUERY_DELIMITER$"
                "x [LOCAL_ACCOUNT_TYPE] [CHARACTER_SET]"),
            (std::vector<std::string>{"latin1 latin1", "x CHAR(50) latin1"}));
  EXPECT_DEATH(SplitStoredProcedureScript(" \n\t "),
               "Assert failed: ! script_all.empty\\(\\)");
}

TEST_F(MysqlSchemaTest, BrokenContractsStopTheProcess) {
  EXPECT_DEATH(MakeScoreSubmissionQuery("s", kPlayer, 1, 1, kNotADateTime,
                                        SubmissionResponse::kNone),
               "Assert failed: result != ScoreSubmission::Response::kNone: "
               "result: 1");
  EXPECT_DEATH(MakeBulkScoreSubmissionQuery("s_daily", "s", {}),
               "Assert failed: ! requests.empty\\(\\)");
  EXPECT_DEATH(MakeResetScheduleLogInsertQuery("", "k", "d"),
               "Assert failed: ! leaderboard_id.empty\\(\\)");
  EXPECT_DEATH(MakeResetScheduleLogQuery("s", "", "d"),
               "Assert failed: ! leaderboard_key.empty\\(\\)");
  EXPECT_DEATH(MakeResetScheduleLogInsertQuery("s", "k", ""),
               "Assert failed: ! schedule_date_time.empty\\(\\)");
}

TEST_F(MysqlSchemaTest, ScoreTableNamesAreRecognised) {
  struct Case {
    const char* name;
    const char* leaderboard_id;
    Query::TimeSpan timespan;
  };
  const Case kCases[] = {
      {"stage1_daily", "stage1", Query::kDaily},
      {"stage1_lastweek", "stage1", Query::kLastWeek},
      {"stage1_20210208_weekly", "stage1_20210208", Query::kWeekly},
      {"weekly_event_alltime", "weekly_event", Query::kAllTime},
      {"daily_yesterday", "daily", Query::kYesterday},
      {"m_monthly", "m", Query::kMonthly},
      {"m_lastmonth", "m", Query::kLastMonth},
  };
  for (const Case& c : kCases) {
    LeaderboardInfo info;
    info.db_row_count = 5;
    ASSERT_TRUE(ParseScoreTableName(c.name, &info)) << c.name;
    EXPECT_EQ(info.table_name, c.name);
    EXPECT_EQ(info.leaderboard_id, c.leaderboard_id);
    EXPECT_EQ(info.timespan, c.timespan) << c.name;
    EXPECT_EQ(info.db_row_count, 0u);
    EXPECT_EQ(info.cache_row_count, 0u);
  }
  for (const char* name :
       {"error_log", "reset_schedule_log", "notes", "stage1_daily_tmp", "daily",
        "_daily", "stage1daily", "my-table_daily", "stage1_Daily"}) {
    LeaderboardInfo info;
    EXPECT_FALSE(ParseScoreTableName(name, &info)) << name;
  }
}

}  // namespace
}  // namespace plemox
