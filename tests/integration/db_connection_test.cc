// DbConnection against the real MariaDB server of scripts/services.sh: the
// schema installed by MakeSchemaScripts, every operation in both the plain
// and the stored-procedure form, and the recovery reads. Each test works on
// tables of its own leaderboard id ("storetest_<pid>_<n>") and drops them.
#include "database/store/db_connection.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/leaderboard_tables.h"
#include "database/store/mysql_schema.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {
namespace {

using Response = Leaderboard::ScoreSubmission::Response;
using Query = Leaderboard::LeaderboardQuery;
using boost::posix_time::ptime;

const ptime kNotADateTime{boost::posix_time::not_a_date_time};
constexpr auto kTimeout = std::chrono::seconds(20);

const char* const kSuffixes[] = {"_alltime",  "_daily",    "_yesterday",
                                 "_weekly",   "_lastweek", "_monthly",
                                 "_lastmonth"};

// Waits for a completion's arguments with a deadline.
template <typename... T>
class Completion {
 public:
  Completion() : future_(promise_->get_future()) {}
  // The callback to hand to the operation; call it once.
  std::function<void(const T&...)> Callback() {
    auto promise = promise_;
    return [promise](const T&... values) {
      promise->set_value(std::make_tuple(values...));
    };
  }
  // The completion's arguments; fails the test when none came in time.
  std::tuple<T...> Get() {
    if (future_.wait_for(kTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "completion did not arrive in time";
      return std::tuple<T...>();
    }
    return future_.get();
  }

 private:
  std::shared_ptr<std::promise<std::tuple<T...>>> promise_ =
      std::make_shared<std::promise<std::tuple<T...>>>();
  std::future<std::tuple<T...>> future_;
};

class DbConnectionTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    FLAGS_leaderboard_use_db_stored_procedure = GetParam();
    FLAGS_res_root = plemox_test::SourceDir();
    static int counter = 0;
    id_ = "storetest_" + std::to_string(getpid()) + "_" +
          std::to_string(++counter);

    // An independent client to prepare and inspect the tables.
    raw_ = vel::Mariadb::Create(
        plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
        plemox_test::MysqlPassword(), plemox_test::MysqlDatabase(), 1, "utf8",
        true, vel::Mariadb::kDefaultClientFlags, 5000, nullptr);
    ASSERT_TRUE(raw_->Initialize());

    connection_ =
        DbConnection::Create(plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
                             plemox_test::MysqlPassword(),
                             plemox_test::MysqlDatabase(), 2, "utf8", 5000);
    ASSERT_TRUE(connection_);
    // Tables of this test and, with the flag set, the procedures; installed,
    // like the service's configured leaderboards.
    ASSERT_TRUE(connection_->ExecuteScripts(MakeSchemaScripts({id_}, {})));
    LeaderboardTables::Process()->MarkExisting({id_});
  }

  void TearDown() override {
    if (connection_) connection_->Finalize();
    if (!raw_) return;
    std::string drop = "DROP TABLE IF EXISTS " + id_ + "_daily_tmp";
    for (const char* suffix : kSuffixes) drop += ", " + id_ + suffix;
    for (const std::string& table : extra_tables_) drop += ", " + table;
    EXPECT_FALSE(raw_->ExecuteQuerySync(drop)) << drop;
    EXPECT_FALSE(raw_->ExecuteQuerySync(
        "DELETE FROM reset_schedule_log WHERE LEFT(leaderboard_key, " +
        std::to_string(id_.size() + 1) + ") = '" + id_ + "_'"));
    raw_->Finalize();
  }

  void Run(const std::string& statement) {
    const vel::Mariadb::Error error = raw_->ExecuteQuerySync(statement);
    ASSERT_FALSE(error) << error << ", statement: " << statement;
  }

  // Every row of `table` as "provider|account|score|time stamp", in key
  // order.
  std::vector<std::string> Rows(const std::string& table) {
    std::shared_ptr<vel::ResultSets> sets;
    const vel::Mariadb::Error error = raw_->ExecuteQuerySync(
        "SELECT service_provider, local_account, score, time_stamp FROM " +
            table + " ORDER BY service_provider, local_account",
        &sets);
    EXPECT_FALSE(error) << error;
    std::vector<std::string> rows;
    if (error || !sets->SeekNextResultSet()) return rows;
    while (sets->SeekNextRow()) {
      rows.push_back(sets->GetString(0) + "|" + sets->GetString(1) + "|" +
                     sets->GetString(2) + "|" + sets->GetString(3));
    }
    return rows;
  }

  void InsertRow(const std::string& table, const std::string& account,
                 int score) {
    Run("INSERT INTO " + table + " VALUES('guest', '" + account + "', " +
        std::to_string(score) + ", -1)");
  }

  bool Submit(const vel::PlayerAccount& account, Response::Result result,
              double score, std::int64_t time_stamp_ms,
              const ptime& next_date_time = kNotADateTime) {
    Completion<bool> done;
    connection_->SubmitScore(id_, account, {result, score}, time_stamp_ms,
                             next_date_time, done.Callback());
    return std::get<0>(done.Get());
  }

  bool Delete(const vel::PlayerAccount& account,
              const ResetScheduleInfo& info) {
    Completion<bool> done;
    connection_->DeleteScore(id_, account, info, done.Callback());
    return std::get<0>(done.Get());
  }

  gflags::FlagSaver flag_saver_;
  std::string id_;
  std::vector<std::string> extra_tables_;
  std::shared_ptr<vel::Mariadb> raw_;
  std::shared_ptr<DbConnection> connection_;
};

TEST_P(DbConnectionTest, SubmitScoreStoresNegatedScoreAndSeconds) {
  const vel::PlayerAccount player("guest", "player42");
  EXPECT_FALSE(Submit(player, Response::kNewRecord, 100, 1612345678901));
  EXPECT_FALSE(Submit(player, Response::kNewRecordDaily, 0.1, 1612345678999));
  EXPECT_EQ(Rows(id_ + "_alltime"),
            (std::vector<std::string>{"guest|player42|-100|-1612345678"}));
  EXPECT_EQ(Rows(id_ + "_daily"),
            (std::vector<std::string>{"guest|player42|-0.1|-1612345678"}));

  // A later record replaces the row.
  EXPECT_FALSE(Submit(player, Response::kNewRecord, 250, 1612345680000));
  EXPECT_FALSE(Submit(player, Response::kNewRecordWeekly, 7, 1612345680000));
  EXPECT_FALSE(Submit(player, Response::kNewRecordMonthly, 8, 1612345680000));
  EXPECT_EQ(Rows(id_ + "_alltime"),
            (std::vector<std::string>{"guest|player42|-250|-1612345680"}));
  EXPECT_EQ(Rows(id_ + "_weekly").size(), 1u);
  EXPECT_EQ(Rows(id_ + "_monthly").size(), 1u);
  EXPECT_TRUE(Rows(id_ + "_yesterday").empty());
}

TEST_P(DbConnectionTest, QuotesAndBackslashesRoundTrip) {
  const vel::PlayerAccount tricky("it's", "o'brien\\'; DROP TABLE x; --");
  EXPECT_FALSE(Submit(tricky, Response::kNewRecord, 3, 1612345678901));
  EXPECT_EQ(Rows(id_ + "_alltime"),
            (std::vector<std::string>{
                "it's|o'brien\\'; DROP TABLE x; --|-3|-1612345678"}));
  EXPECT_FALSE(Delete(tricky, ResetScheduleInfo()));
  EXPECT_TRUE(Rows(id_ + "_alltime").empty());

  const std::string key = id_ + "_da'y\\";
  Completion<bool, bool, std::string, std::string, std::string> inserted;
  connection_->InsertResetScheduleLog(id_, key, "2021'02", inserted.Callback());
  EXPECT_EQ(std::get<0>(inserted.Get()), false);
  Completion<vel::Json> log2;
  connection_->QueryResetScheduleLog2(key, log2.Callback());
  const vel::Json json = std::get<0>(log2.Get());
  ASSERT_EQ(json[key].Size(), 1u) << json.ToString();
  EXPECT_EQ(json[key][0]["schedule_date_time"].GetString(), "2021'02");
}

TEST_P(DbConnectionTest, FailedWritesAreReported) {
  Run("DROP TABLE " + id_ + "_daily");
  EXPECT_TRUE(Submit(vel::PlayerAccount("guest", "p"),
                     Response::kNewRecordDaily, 1, 1612345678901));
  // Deletion stops at the missing table.
  EXPECT_TRUE(Delete(vel::PlayerAccount("guest", "p"), ResetScheduleInfo()));

  connection_->Finalize();
  EXPECT_TRUE(Submit(vel::PlayerAccount("guest", "p"), Response::kNewRecord, 1,
                     1612345678901));
  Completion<vel::Json> all;
  connection_->QueryResetScheduleLogAll(all.Callback());
  const vel::Json json = std::get<0>(all.Get());
  EXPECT_TRUE(json["error"].GetBool());
  EXPECT_EQ(json["message"].GetString(), "db error");
}

TEST_P(DbConnectionTest, DeleteScoreFollowsTheScheduleFlags) {
  for (const char* suffix : kSuffixes) {
    InsertRow(id_ + suffix, "victim", 1);
    InsertRow(id_ + suffix, "bystander", 2);
  }
  ResetScheduleInfo week_only;
  week_only.has_week_schedule = true;
  EXPECT_FALSE(Delete(vel::PlayerAccount("guest", "victim"), week_only));
  for (const char* suffix : kSuffixes) {
    const std::string s = suffix;
    const bool deleted = s == "_alltime" || s == "_weekly" || s == "_lastweek";
    EXPECT_EQ(Rows(id_ + s).size(), deleted ? 1u : 2u) << s;
  }

  ResetScheduleInfo day_and_month;
  day_and_month.has_day_schedule = true;
  day_and_month.has_month_schedule = true;
  EXPECT_FALSE(Delete(vel::PlayerAccount("guest", "victim"), day_and_month));
  EXPECT_EQ(Rows(id_ + "_daily").size(), 1u);
  EXPECT_EQ(Rows(id_ + "_lastmonth").size(), 1u);

  // Without schedules every table loses the player; others keep theirs.
  InsertRow(id_ + "_yesterday", "victim", 1);
  EXPECT_FALSE(
      Delete(vel::PlayerAccount("guest", "victim"), ResetScheduleInfo()));
  for (const char* suffix : kSuffixes) {
    EXPECT_EQ(Rows(id_ + suffix),
              (std::vector<std::string>{"guest|bystander|2|-1"}))
        << suffix;
  }
}

TEST_P(DbConnectionTest, ResetScheduleLogInsertQueryAndDuplicate) {
  const std::string key = id_ + "_day";
  using Inserted =
      Completion<bool, bool, std::string, std::string, std::string>;
  Inserted first;
  connection_->InsertResetScheduleLog(id_, key, "20210208T000000",
                                      first.Callback());
  EXPECT_EQ(first.Get(), std::make_tuple(false, false, id_, key,
                                         std::string("20210208T000000")));
  Inserted second;
  connection_->InsertResetScheduleLog(id_, key, "20210208T000000",
                                      second.Callback());
  EXPECT_EQ(second.Get(), std::make_tuple(false, true, id_, key,
                                          std::string("20210208T000000")));
  Inserted other;
  connection_->InsertResetScheduleLog(id_, key, "20210209T000000",
                                      other.Callback());
  EXPECT_FALSE(std::get<1>(other.Get()));

  Completion<bool, bool, std::string> found;
  connection_->QueryResetScheduleLog(id_, key, "20210208T000000",
                                     found.Callback());
  const auto found_result = found.Get();
  EXPECT_FALSE(std::get<0>(found_result));
  EXPECT_TRUE(std::get<1>(found_result));
  // "YYYY-MM-DD hh:mm:ss" of the insertion.
  EXPECT_EQ(std::get<2>(found_result).size(), 19u) << std::get<2>(found_result);

  Completion<bool, bool, std::string> missing;
  connection_->QueryResetScheduleLog(id_, key, "20300101T000000",
                                     missing.Callback());
  EXPECT_EQ(missing.Get(), std::make_tuple(false, false, std::string()));

  Completion<vel::Json> log2;
  connection_->QueryResetScheduleLog2(key, log2.Callback());
  const vel::Json json = std::get<0>(log2.Get());
  EXPECT_FALSE(json["error"].GetBool());
  EXPECT_EQ(json["message"].GetString(), "OK");
  ASSERT_EQ(json[key].Size(), 2u) << json.ToString();
  EXPECT_EQ(json[key][0]["schedule_date_time"].GetString(), "20210208T000000");
  EXPECT_EQ(json[key][0]["reset_date_time"].GetString(),
            std::get<2>(found_result));
  EXPECT_EQ(json[key][1]["schedule_date_time"].GetString(), "20210209T000000");

  // A key without rows still has its (empty) array.
  Completion<vel::Json> empty;
  connection_->QueryResetScheduleLog2(id_ + "_week", empty.Callback());
  const vel::Json empty_json = std::get<0>(empty.Get());
  EXPECT_FALSE(empty_json["error"].GetBool());
  ASSERT_TRUE(empty_json[id_ + "_week"].IsArray()) << empty_json.ToString();
  EXPECT_EQ(empty_json[id_ + "_week"].Size(), 0u);

  // The whole log holds this key (others may be there too) but no array for
  // keys without rows.
  Completion<vel::Json> all;
  connection_->QueryResetScheduleLogAll(all.Callback());
  const vel::Json all_json = std::get<0>(all.Get());
  EXPECT_FALSE(all_json["error"].GetBool());
  EXPECT_EQ(all_json["message"].GetString(), "OK");
  ASSERT_EQ(all_json[key].Size(), 2u) << all_json.ToString();
  EXPECT_EQ(all_json[key][1]["schedule_date_time"].GetString(),
            "20210209T000000");
  EXPECT_FALSE(all_json.HasMember(id_ + "_week"));
}

TEST_P(DbConnectionTest, ResetsRollPeriodTablesOver) {
  using ResetFn =
      void (DbConnection::*)(const std::string&, const std::string&,
                             DbConnection::ResetLeaderboardCallback);
  const struct {
    ResetFn reset;
    const char* current;
    const char* previous;
  } kPeriods[] = {
      {&DbConnection::ResetDailyLeaderboard, "_daily", "_yesterday"},
      {&DbConnection::ResetWeeklyLeaderboard, "_weekly", "_lastweek"},
      {&DbConnection::ResetMonthlyLeaderboard, "_monthly", "_lastmonth"},
  };
  for (const auto& period : kPeriods) {
    const std::string current = id_ + period.current;
    const std::string previous = id_ + period.previous;
    InsertRow(current, "now", 1);
    InsertRow(previous, "old", 2);
    Completion<bool, std::string> done;
    ((*connection_).*period.reset)(id_, id_ + "_key", done.Callback());
    EXPECT_EQ(done.Get(), std::make_tuple(false, id_)) << current;
    EXPECT_TRUE(Rows(current).empty()) << current;
    EXPECT_EQ(Rows(previous), (std::vector<std::string>{"guest|now|1|-1"}));
  }
  EXPECT_EQ(Rows(id_ + "_alltime").size(), 0u);

  // A leaderboard without tables: with stored procedures they are created
  // first and the reset succeeds; plain statements fail and say so.
  const std::string none = id_ + "_none";
  for (const char* suffix : kSuffixes) extra_tables_.push_back(none + suffix);
  Completion<bool, std::string> reset;
  connection_->ResetDailyLeaderboard(none, none + "_day", reset.Callback());
  EXPECT_EQ(reset.Get(), std::make_tuple(!GetParam(), none));
  if (GetParam()) {
    EXPECT_TRUE(Rows(none + "_yesterday").empty());
  }
}

TEST_P(DbConnectionTest, BulkStatementsWriteEveryRow) {
  std::vector<BulkScoreRow> rows;
  for (int i = 0; i < 32; ++i) {
    rows.push_back({"guest", "p" + std::to_string(100 + i), -1.5 * (i + 1),
                    -1612345678 - i});
  }
  rows[3].local_account = "o'k\\";
  Run(MakeBulkScoreSubmissionQuery(id_ + "_daily", id_, rows));
  const std::vector<std::string> stored = Rows(id_ + "_daily");
  ASSERT_EQ(stored.size(), 32u);
  EXPECT_EQ(stored[0], "guest|o'k\\|-6|-1612345681");
  EXPECT_EQ(stored[1], "guest|p100|-1.5|-1612345678");
  EXPECT_EQ(stored[31], "guest|p131|-48|-1612345709");
  // Updating the same players replaces their rows.
  for (BulkScoreRow& row : rows) row.score = -9;
  Run(MakeBulkScoreSubmissionQuery(id_ + "_daily", id_, rows));
  EXPECT_EQ(Rows(id_ + "_daily")[5], "guest|p105|-9|-1612345683");
}

TEST_P(DbConnectionTest, RecoveryReadsFindTablesCountAndRows) {
  // A leftover of an interrupted reset is no score table.
  Run("CREATE TABLE " + id_ + "_daily_tmp(x INT)");
  InsertRow(id_ + "_lastweek", "a", 10);
  InsertRow(id_ + "_lastweek", "b", 20);

  std::vector<LeaderboardInfo> infos;
  ASSERT_TRUE(connection_->QueryLeaderboardInfo(&infos));
  std::map<std::string, LeaderboardInfo> mine;
  for (const LeaderboardInfo& info : infos) {
    if (info.leaderboard_id == id_) mine[info.table_name] = info;
    EXPECT_NE(info.table_name, "reset_schedule_log");
    EXPECT_NE(info.table_name, id_ + "_daily_tmp");
  }
  ASSERT_EQ(mine.size(), 7u);
  EXPECT_EQ(mine[id_ + "_alltime"].timespan, Query::kAllTime);
  EXPECT_EQ(mine[id_ + "_yesterday"].timespan, Query::kYesterday);
  EXPECT_EQ(mine[id_ + "_lastweek"].timespan, Query::kLastWeek);
  EXPECT_EQ(mine[id_ + "_monthly"].timespan, Query::kMonthly);

  std::uint64_t count = 99;
  ASSERT_TRUE(connection_->QueryLeaderboardRowCount(id_ + "_alltime", &count));
  EXPECT_EQ(count, 0u);
  ASSERT_TRUE(connection_->QueryLeaderboardRowCount(id_ + "_lastweek", &count));
  EXPECT_EQ(count, 2u);

  std::vector<RecoveryData> datas(1);
  ASSERT_TRUE(connection_->QueryRecoveryData(id_ + "_lastweek", &datas));
  ASSERT_EQ(datas.size(), 3u);  // appended after the existing element
  EXPECT_EQ(datas[1].service_provider, "guest");
  EXPECT_EQ(datas[1].local_account, "a");
  EXPECT_EQ(datas[1].score, 10);
  EXPECT_EQ(datas[1].time_stamp, -1);
  EXPECT_EQ(datas[2].local_account, "b");

  EXPECT_FALSE(connection_->QueryLeaderboardRowCount(id_ + "_none", &count));
  EXPECT_FALSE(connection_->QueryRecoveryData(id_ + "_none", &datas));
  EXPECT_EQ(datas.size(), 3u);
}

TEST_P(DbConnectionTest, RecoveryReadsChunksInKeyOrderAndScoresExactly) {
  // Scores that 15 digits would round come back as written.
  const double exact[] = {0.1 + 0.2, 1234567890123456.0, 1.0 / 3.0};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(Submit(vel::PlayerAccount("guest", "x" + std::to_string(i)),
                        Response::kNewRecord, exact[i], 1612345678901));
  }
  // Keys that sort and escape awkwardly.
  for (const char* account : {"b", "A", "c'", "d\\", "e e", "f"}) {
    Run("INSERT INTO " + id_ + "_alltime VALUES('guest', '" +
        raw_->EscapeString(account) + "', 1, -1)");
  }
  Run("INSERT INTO " + id_ + "_alltime VALUES('alpha', 'z', 2, -2)");

  std::vector<std::size_t> chunk_sizes;
  std::vector<std::string> keys;
  std::map<std::string, RecoveryData> rows;
  ASSERT_TRUE(connection_->QueryRecoveryDataInChunks(
      id_ + "_alltime", 4, [&](std::vector<RecoveryData>* chunk) {
        chunk_sizes.push_back(chunk->size());
        for (const RecoveryData& row : *chunk) {
          keys.push_back(row.service_provider + ":" + row.local_account);
          rows[row.local_account] = row;
        }
        return true;
      }));
  EXPECT_EQ(chunk_sizes, (std::vector<std::size_t>{4, 4, 2}));
  EXPECT_EQ(keys,
            (std::vector<std::string>{
                "alpha:z", "guest:A", "guest:b", "guest:c'", "guest:d\\",
                "guest:e e", "guest:f", "guest:x0", "guest:x1", "guest:x2"}));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rows["x" + std::to_string(i)].score, -exact[i]);
    EXPECT_EQ(rows["x" + std::to_string(i)].time_stamp, -1612345678);
  }

  // A full last chunk ends with one more, empty read; a handler that says
  // stop ends the read with false.
  chunk_sizes.clear();
  ASSERT_TRUE(connection_->QueryRecoveryDataInChunks(
      id_ + "_alltime", 5, [&](std::vector<RecoveryData>* chunk) {
        chunk_sizes.push_back(chunk->size());
        return true;
      }));
  EXPECT_EQ(chunk_sizes, (std::vector<std::size_t>{5, 5}));
  int calls = 0;
  EXPECT_FALSE(connection_->QueryRecoveryDataInChunks(
      id_ + "_alltime", 3, [&](std::vector<RecoveryData>*) {
        ++calls;
        return false;
      }));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(connection_->QueryRecoveryDataInChunks(
      id_ + "_none", 3, [](std::vector<RecoveryData>*) { return true; }));
}

TEST_P(DbConnectionTest, ExecuteScriptsStopsAtTheFirstFailure) {
  const std::string first = id_ + "_first";
  const std::string third = id_ + "_third";
  extra_tables_ = {first, third};
  EXPECT_FALSE(connection_->ExecuteScripts(
      {"  CREATE TABLE " + first + "(x INT)\n", "THIS IS NOT SQL",
       "CREATE TABLE " + third + "(x INT)"}));
  std::shared_ptr<vel::ResultSets> sets;
  ASSERT_FALSE(
      raw_->ExecuteQuerySync("SHOW TABLES LIKE '" + id_ + "\\_%'", &sets));
  std::set<std::string> tables;
  ASSERT_TRUE(sets->SeekNextResultSet());
  while (sets->SeekNextRow()) tables.insert(sets->GetString(0));
  EXPECT_EQ(tables.count(first), 1u);
  EXPECT_EQ(tables.count(third), 0u);
  // Running the schema twice is harmless.
  EXPECT_TRUE(connection_->ExecuteScripts(MakeSchemaScripts({id_}, {})));
}

INSTANTIATE_TEST_SUITE_P(Forms, DbConnectionTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Procedure" : "Plain";
                         });

// Dated weekly tables exist only in the plain form.
TEST(DbConnectionDatedTest, WeeklyRecordsGoToTheDatedTable) {
  gflags::FlagSaver flag_saver;
  FLAGS_leaderboard_use_db_stored_procedure = false;
  FLAGS_use_leaderboard_table_with_date = true;
  const std::string id = "storetest_" + std::to_string(getpid()) + "_dated";
  auto connection =
      DbConnection::Create(plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
                           plemox_test::MysqlPassword(),
                           plemox_test::MysqlDatabase(), 1, "utf8", 5000);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->ExecuteScripts(
      MakeSchemaScripts({id}, {{id, {"20210208", "20210215"}}})));
  Completion<bool> done;
  connection->SubmitScore(
      id, vel::PlayerAccount("guest", "p"), {Response::kNewRecordWeekly, 5},
      1612345678901, boost::posix_time::time_from_string("2021-02-15 00:00:00"),
      done.Callback());
  EXPECT_FALSE(std::get<0>(done.Get()));
  std::uint64_t count = 0;
  EXPECT_TRUE(
      connection->QueryLeaderboardRowCount(id + "_20210215_weekly", &count));
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(
      connection->QueryLeaderboardRowCount(id + "_20210208_weekly", &count));
  EXPECT_EQ(count, 0u);
  // No undated weekly table was created for it.
  EXPECT_FALSE(connection->QueryLeaderboardRowCount(id + "_weekly", &count));
  EXPECT_TRUE(connection->ExecuteScripts({"DROP TABLE " + id + "_alltime, " +
                                          id + "_20210208_weekly, " + id +
                                          "_20210215_weekly"}));
  connection->Finalize();
}

TEST(DbConnectionCreateTest, UnreachableServerGivesNoConnection) {
  const int port = plemox_test::FreePort();
  EXPECT_FALSE(DbConnection::Create(
      "127.0.0.1:" + std::to_string(port), plemox_test::MysqlUser(),
      plemox_test::MysqlPassword(), plemox_test::MysqlDatabase(), 1, "utf8",
      5000));
}

}  // namespace
}  // namespace plemox
