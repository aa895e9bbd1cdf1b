// The `reset_schedules` and `ranking_options` manifest arguments: their
// validation messages, the registries built from them and the lookups that
// request flows make on them.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "support/log_capture.h"

namespace plemox {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using Registry = ResetScheduleRegistry;

using plemox_test::LogCapture;

vel::Json ParseJson(const std::string& text) {
  vel::Json json;
  EXPECT_TRUE(vel::Json::Parse(text, &json)) << text;
  return json;
}

// One reset schedule element with the given fields as JSON texts.
std::string Schedule(const std::string& id, const std::string& period,
                     const std::string& interval = "1",
                     const std::string& starts = "\"2021-01-04 00:00:00\"",
                     const std::string& ends = "\"2022-01-01 00:00:00\"") {
  return "{\"leaderboard_id\":\"" + id + "\",\"period\":\"" + period +
         "\",\"interval\":" + interval + ",\"starts\":" + starts +
         ",\"ends\":" + ends + "}";
}

const ptime kNow = time_from_string("2021-02-08 12:00:00");

class ResetScheduleRegistryTest : public testing::Test {
 protected:
  void SetUp() override { Registry::ClearForTesting(); }
  void TearDown() override { Registry::ClearForTesting(); }

  bool Initialize(const std::string& text) {
    return Registry::InitializeResetSchedule(ParseJson(text), kNow);
  }

  gflags::FlagSaver flag_saver_;
  LogCapture log_;
};

TEST_F(ResetScheduleRegistryTest, NoSchedulesIsFineWithoutDatedTables) {
  EXPECT_TRUE(Registry::InitializeResetSchedule(vel::Json(), kNow));
  EXPECT_TRUE(Initialize("[]"));
  EXPECT_EQ(2, log_.Count(google::GLOG_INFO, "No reset schedules found."));
  EXPECT_TRUE(Registry::Snapshot().empty());
}

TEST_F(ResetScheduleRegistryTest, DatedTablesRequireSchedules) {
  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_FALSE(Registry::InitializeResetSchedule(vel::Json(), kNow));
  EXPECT_TRUE(
      log_.HasLine(google::GLOG_ERROR,
                   "'leaderboard_reset_schedules' must be an array type."));
  EXPECT_FALSE(Initialize("[]"));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "'leaderboard_reset_schedules' must not be empty."));
  EXPECT_TRUE(
      log_.HasLine(google::GLOG_ERROR,
                   "Failed to validate reset schedule: reset_schedules=[]"));
  EXPECT_EQ(0, log_.Count(google::GLOG_INFO, "No reset schedules found."));
}

TEST_F(ResetScheduleRegistryTest, LoadsSchedulesPerLeaderboardAndPeriod) {
  const std::string value = "[" + Schedule("stage1", "day") + "," +
                            Schedule("stage1", "week") + "," +
                            Schedule("stage2", "month") + "]";
  ASSERT_TRUE(Initialize(value));
  EXPECT_EQ(1,
            log_.Count(google::GLOG_INFO,
                       "The reset schedules are loaded: reset_schedules=[{"));

  EXPECT_TRUE(Registry::HasDaySchedule("stage1"));
  EXPECT_TRUE(Registry::HasWeekSchedule("stage1"));
  EXPECT_FALSE(Registry::HasMonthSchedule("stage1"));
  EXPECT_FALSE(Registry::HasDaySchedule("stage2"));
  EXPECT_TRUE(Registry::HasMonthSchedule("stage2"));
  EXPECT_FALSE(Registry::HasWeekSchedule("stage3"));
  EXPECT_TRUE(Registry::HasSchedule("stage1_week"));

  std::vector<std::string> keys;
  for (const ResetSchedule& schedule : Registry::Snapshot()) {
    keys.push_back(schedule.key());
  }
  EXPECT_EQ(
      (std::vector<std::string>{"stage1_day", "stage1_week", "stage2_month"}),
      keys);
}

TEST_F(ResetScheduleRegistryTest, RejectsPeriodWordsOtherThanTheThree) {
  EXPECT_FALSE(Initialize("[" + Schedule("stage1", "Week") + "]"));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Required field has unexpected value: "
                           "field='period', value=Week, expected value=('day' "
                           "/ 'week' / 'month')leaderboard=stage1"));
  EXPECT_TRUE(Registry::Snapshot().empty());
}

TEST_F(ResetScheduleRegistryTest, RejectsMissingAndMistypedFields) {
  EXPECT_FALSE(Registry::ValidateResetSchedule(ParseJson("{}")));
  EXPECT_FALSE(Registry::ValidateResetSchedule(ParseJson("[1]")));
  EXPECT_TRUE(log_.HasLine(
      google::GLOG_ERROR,
      "The element of 'leaderboard_reset_schedules' must be an object type"));

  EXPECT_FALSE(Registry::ValidateResetSchedule(ParseJson(
      "[{\"leaderboard_id\":\"stage1\",\"period\":\"day\",\"interval\":1,"
      "\"starts\":\"2021-01-04 00:00:00\"}]")));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Required field does not exists in the element of "
                           "'leaderboard_reset_schedules': field=ends"));

  EXPECT_FALSE(Registry::ValidateResetSchedule(
      ParseJson("[" + Schedule("stage1", "day", "\"1\"") + "]")));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Required field type mismatched: field=interval, "
                           "field type=string, expected type=integer"));

  EXPECT_FALSE(Registry::ValidateResetSchedule(
      ParseJson("[" + Schedule("stage1", "day", "1.5") + "]")));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Required field type mismatched: field=interval, "
                           "field type=number, expected type=integer"));

  EXPECT_FALSE(Registry::ValidateResetSchedule(
      ParseJson("[{\"leaderboard_id\":7,\"period\":\"day\",\"interval\":1,"
                "\"starts\":\"2021-01-04 00:00:00\",\"ends\":\"2022-01-01 "
                "00:00:00\"}]")));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Required field type mismatched: "
                           "field=leaderboard_id, field type=number, expected "
                           "type=string"));

  EXPECT_FALSE(Registry::ValidateResetSchedule(
      ParseJson("[" + Schedule("stage1", "day", "1", "null") + "]")));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Required field type mismatched: field=starts, "
                           "field type=null, expected type=string"));
}

TEST_F(ResetScheduleRegistryTest, RejectsIntervalsTheCalendarCannotStep) {
  for (const char* interval : {"0", "-1", "100001", "18446744073709551615"}) {
    EXPECT_FALSE(Initialize("[" + Schedule("stage1", "week", interval) + "]"))
        << interval;
    EXPECT_TRUE(log_.HasLine(
        google::GLOG_ERROR,
        std::string("Required field has unexpected value: field='interval', "
                    "value=") +
            interval +
            ", expected value=(an integer from 1 to 100000), "
            "leaderboard=stage1"))
        << interval;
  }
  EXPECT_TRUE(Registry::Snapshot().empty());
  EXPECT_TRUE(Initialize("[" + Schedule("stage1", "week", "100000") + "]"));
}

TEST_F(ResetScheduleRegistryTest, RejectsIdsUnusableInKeysAndTables) {
  for (const char* id : {"stage 1", "a'b", "a:b", "a-b", ""}) {
    EXPECT_FALSE(Initialize("[" + Schedule(id, "week") + "]")) << id;
    EXPECT_TRUE(log_.HasLine(
        google::GLOG_ERROR,
        std::string("Required field has unexpected value: "
                    "field='leaderboard_id', value=") +
            id +
            ", expected value=(letters, digits and '_', at most 48 "
            "characters), leaderboard=" +
            id))
        << id;
  }
  EXPECT_TRUE(Registry::Snapshot().empty());
  EXPECT_TRUE(Initialize("[" + Schedule("Stage_1", "week") + "]"));
}

TEST_F(ResetScheduleRegistryTest, RejectsDateTextsThatDoNotParse) {
  EXPECT_FALSE(Initialize(
      "[" + Schedule("stage1", "day", "1", "\"2021-02-30 00:00:00\"") + "]"));
  EXPECT_TRUE(log_.HasLine(
      google::GLOG_ERROR,
      "Required field has unexpected value: field='starts', "
      "value=2021-02-30 00:00:00, expected value=(a date time like "
      "'2021-02-08 00:00:00'), leaderboard=stage1"));

  // The first element is fine; the second element's end is garbage, so
  // nothing at all is registered.
  EXPECT_FALSE(Initialize(
      "[" + Schedule("stage1", "day") + "," +
      Schedule("stage2", "day", "1", "\"2021-01-04 00:00:00\"", "\"soon\"") +
      "]"));
  EXPECT_EQ(1, log_.Count(google::GLOG_ERROR,
                          "field='ends', value=soon, expected value="));
  EXPECT_TRUE(Registry::Snapshot().empty());
}

TEST_F(ResetScheduleRegistryTest, WeeklyDateTimesAndScheduleInfo) {
  ASSERT_TRUE(Initialize("[" + Schedule("stage1", "week", "2") + "," +
                         Schedule("stage2", "day") + "]"));
  ptime past = time_from_string("2000-01-01 00:00:00");
  ptime next = past;
  EXPECT_FALSE(Registry::GetWeeklyScheduleDateTimes("stage2", &past, &next));
  EXPECT_EQ(time_from_string("2000-01-01 00:00:00"), past);
  EXPECT_EQ(time_from_string("2000-01-01 00:00:00"), next);

  ASSERT_TRUE(Registry::GetWeeklyScheduleDateTimes("stage1", &past, &next));
  EXPECT_EQ(time_from_string("2021-02-01 00:00:00"), past);
  EXPECT_EQ(time_from_string("2021-02-15 00:00:00"), next);

  const ResetScheduleInfo weekly = Registry::MakeResetScheduleInfo("stage1");
  EXPECT_FALSE(weekly.has_day_schedule);
  EXPECT_TRUE(weekly.has_week_schedule);
  EXPECT_FALSE(weekly.has_month_schedule);
  EXPECT_EQ(past, weekly.past_date_time);
  EXPECT_EQ(next, weekly.next_date_time);

  const ResetScheduleInfo daily = Registry::MakeResetScheduleInfo("stage2");
  EXPECT_TRUE(daily.has_day_schedule);
  EXPECT_FALSE(daily.has_week_schedule);
  EXPECT_TRUE(daily.past_date_time.is_not_a_date_time());
  EXPECT_TRUE(daily.next_date_time.is_not_a_date_time());

  // A reset moves the times that the next request carries.
  const bool due = Registry::WithLockedSchedules([](Registry::ScheduleMap& m) {
    return m.at("stage1_week")
        .IsResetTime(time_from_string("2021-02-15 00:00:01"));
  });
  EXPECT_TRUE(due);
  const ResetScheduleInfo moved = Registry::MakeResetScheduleInfo("stage1");
  EXPECT_EQ(time_from_string("2021-02-15 00:00:00"), moved.past_date_time);
  EXPECT_EQ(time_from_string("2021-03-01 00:00:00"), moved.next_date_time);
}

TEST_F(ResetScheduleRegistryTest, DatedWeeklyTableDatesPerLeaderboard) {
  EXPECT_TRUE(Initialize("[" + Schedule("stage1", "week") + "]"));
  EXPECT_TRUE(
      Registry::GetDatedWeeklyTableDates(boost::gregorian::date(2021, 1, 20))
          .empty());
  Registry::ClearForTesting();

  FLAGS_use_leaderboard_table_with_date = true;
  ASSERT_TRUE(
      Initialize("[" +
                 Schedule("stage1", "week", "1", "\"2021-01-04 00:00:00\"",
                          "\"2021-02-01 23:59:59\"") +
                 "," +
                 Schedule("stage2", "week", "2", "\"2021-01-11 00:00:00\"",
                          "\"2021-01-31 00:00:00\"") +
                 "]"));
  const auto dates =
      Registry::GetDatedWeeklyTableDates(boost::gregorian::date(2021, 1, 20));
  ASSERT_EQ(2u, dates.size());
  EXPECT_EQ((std::vector<std::string>{"20210118", "20210125", "20210201"}),
            dates.at("stage1"));
  EXPECT_EQ((std::vector<std::string>{"20210111", "20210125"}),
            dates.at("stage2"));
}

TEST_F(ResetScheduleRegistryTest, LeaderboardKeysByPeriodAndTimespan) {
  EXPECT_EQ("a_day", Registry::MakeLeaderboardKeyByPeriod("a", 0));
  EXPECT_EQ("a_week", Registry::MakeLeaderboardKeyByPeriod("a", 1));
  EXPECT_EQ("a_month", Registry::MakeLeaderboardKeyByPeriod("a", 2));
  EXPECT_EQ("", Registry::MakeLeaderboardKeyByPeriod("a", 3));
  EXPECT_EQ("", Registry::MakeLeaderboardKeyByPeriod("a", -1));
  EXPECT_TRUE(log_.HasLine(google::GLOG_WARNING,
                           "Unexpected value: name='period', value=3"));
  EXPECT_TRUE(log_.HasLine(google::GLOG_WARNING,
                           "Unexpected value: name='period', value=-1"));

  using Query = Leaderboard::LeaderboardQuery;
  EXPECT_EQ("a_day",
            Registry::MakeLeaderboardKeyByTimespan("a", Query::kDaily));
  EXPECT_EQ("a_week",
            Registry::MakeLeaderboardKeyByTimespan("a", Query::kWeekly));
  EXPECT_EQ("a_month",
            Registry::MakeLeaderboardKeyByTimespan("a", Query::kMonthly));
  EXPECT_EQ("", Registry::MakeLeaderboardKeyByTimespan("a", Query::kAllTime));
  EXPECT_EQ("", Registry::MakeLeaderboardKeyByTimespan("a", Query::kYesterday));
  EXPECT_TRUE(log_.HasLine(google::GLOG_WARNING,
                           "Unexpected value: name='timespan', value=1"));
  EXPECT_TRUE(log_.HasLine(google::GLOG_WARNING,
                           "Unexpected value: name='timespan', value=5"));
}

using ResetScheduleRegistryDeathTest = ResetScheduleRegistryTest;

TEST_F(ResetScheduleRegistryDeathTest, FatalConfigurationAndContractErrors) {
  EXPECT_DEATH(Initialize("[" + Schedule("stage1", "week") + "," +
                          Schedule("stage1", "week", "2") + "]"),
               "Duplicated reset schedule found: reset_schedule=\\{");

  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_DEATH(Initialize("[" + Schedule("stage1", "day") + "]"),
               "Assert failed: period_string == \"week\": period\\(day\\) is "
               "not 'week'. Not implemented yet.");
  FLAGS_use_leaderboard_table_with_date = false;

  EXPECT_DEATH(Registry::HasDaySchedule(""),
               "Assert failed: ! leaderboard_id.empty\\(\\)");
  ptime past;
  EXPECT_DEATH(Registry::GetWeeklyScheduleDateTimes("stage1", &past, nullptr),
               "Assert failed: next");
}

class RankingOptionsTest : public testing::Test {
 protected:
  void SetUp() override { RankingOptions::ClearForTesting(); }
  void TearDown() override { RankingOptions::ClearForTesting(); }

  LogCapture log_;
};

TEST_F(RankingOptionsTest, AbsentFlagsDefaultToTrueAndOnlyBooleansCount) {
  ASSERT_TRUE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"a\",\"enable_alltime\":false},"
                "{\"leaderboard_id\":\"b\",\"enable_dense\":\"false\"},"
                "{\"leaderboard_id\":\"c\",\"enable_alltime\":true,"
                "\"enable_dense\":false}]")));
  RankingOption option;
  ASSERT_TRUE(RankingOptions::GetRankingOption("a", &option));
  EXPECT_EQ("a", option.leaderboard_id);
  EXPECT_FALSE(option.enable_alltime);
  EXPECT_TRUE(option.enable_dense);
  ASSERT_TRUE(RankingOptions::GetRankingOption("b", &option));
  EXPECT_TRUE(option.enable_alltime);
  EXPECT_TRUE(option.enable_dense);
  ASSERT_TRUE(RankingOptions::GetRankingOption("c", &option));
  EXPECT_TRUE(option.enable_alltime);
  EXPECT_FALSE(option.enable_dense);
  EXPECT_TRUE(log_.HasLine(google::GLOG_INFO,
                           "Leaderboard options is set: leaderboard_id=c, "
                           "enable_alltime=true, enable_dense=false"));
}

TEST_F(RankingOptionsTest, UnnamedLeaderboardGetsTheDefault) {
  ASSERT_TRUE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"a\",\"enable_dense\":false}]")));
  RankingOption option;
  option.leaderboard_id = "stale";
  option.enable_alltime = false;
  option.enable_dense = false;
  EXPECT_FALSE(RankingOptions::GetRankingOption("z", &option));
  EXPECT_EQ("", option.leaderboard_id);
  EXPECT_TRUE(option.enable_alltime);
  EXPECT_TRUE(option.enable_dense);
}

TEST_F(RankingOptionsTest, FirstOptionOfAnIdWins) {
  ASSERT_TRUE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"a\",\"enable_dense\":false},"
                "{\"leaderboard_id\":\"a\",\"enable_alltime\":false}]")));
  EXPECT_EQ(2, log_.Count(google::GLOG_INFO,
                          "Leaderboard options is set: leaderboard_id=a,"));
  EXPECT_EQ(
      1, log_.Count(google::GLOG_WARNING, "Duplicated ranking option ignored"));
  RankingOption option;
  ASSERT_TRUE(RankingOptions::GetRankingOption("a", &option));
  EXPECT_TRUE(option.enable_alltime);
  EXPECT_FALSE(option.enable_dense);
}

TEST_F(RankingOptionsTest, ElementWithoutUsableIdFails) {
  EXPECT_FALSE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"a\",\"enable_dense\":false},"
                "{\"enable_dense\":false},{\"leaderboard_id\":\"c\"}]")));
  EXPECT_EQ(1, log_.Count(google::GLOG_ERROR,
                          "Could not find 'leaderboard_id' in "
                          "'ranking_options'"));
  RankingOption option;
  EXPECT_TRUE(RankingOptions::GetRankingOption("a", &option));
  EXPECT_FALSE(RankingOptions::GetRankingOption("c", &option));

  EXPECT_FALSE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"\"}]")));
  EXPECT_FALSE(RankingOptions::InitializeRankingOption(ParseJson("[\"a\"]")));
}

TEST_F(RankingOptionsTest, SortOrderIsReadAndABadOneStopsStartUp) {
  ASSERT_TRUE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"laps\",\"sort_order\":\"ascending\"},"
                "{\"leaderboard_id\":\"b\",\"sort_order\":\"descending\"}]")));
  RankingOption option;
  ASSERT_TRUE(RankingOptions::GetRankingOption("laps", &option));
  EXPECT_TRUE(option.ascending());
  // Negated in Redis; zero stays +0, so a ranking never holds both zeros.
  EXPECT_EQ(option.ToStoredScore(71.25), -71.25);
  EXPECT_EQ(option.FromStoredScore(-71.25), 71.25);
  EXPECT_FALSE(std::signbit(option.ToStoredScore(0.0)));
  EXPECT_FALSE(std::signbit(option.FromStoredScore(-0.0)));
  ASSERT_TRUE(RankingOptions::GetRankingOption("b", &option));
  EXPECT_FALSE(option.ascending());
  EXPECT_EQ(option.ToStoredScore(-2.5), -2.5);
  EXPECT_TRUE(log_.HasLine(google::GLOG_INFO,
                           "Leaderboard ranks the lowest score first: "
                           "leaderboard_id=laps"));

  for (const char* bad : {"\"Ascending\"", "\"lowest\"", "1", "true"}) {
    RankingOptions::ClearForTesting();
    EXPECT_FALSE(RankingOptions::InitializeRankingOption(
        ParseJson(std::string("[{\"leaderboard_id\":\"c\",\"sort_order\":") +
                  bad + "}]")))
        << bad;
    EXPECT_FALSE(RankingOptions::GetRankingOption("c", &option));
    EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                             std::string("Bad 'ranking_options' entry: "
                                         "sort_order must be \"descending\" "
                                         "or \"ascending\", not ") +
                                 bad + ": leaderboard_id=c"))
        << bad;
  }
}

TEST_F(RankingOptionsTest, TiebreakIsReadAndNeedsTheScripts) {
  ASSERT_TRUE(RankingOptions::InitializeRankingOption(
      ParseJson("[{\"leaderboard_id\":\"a\",\"tiebreak\":\"ascending\"},"
                "{\"leaderboard_id\":\"b\",\"tiebreak\":\"descending\"},"
                "{\"leaderboard_id\":\"c\"}]")));
  RankingOption option;
  ASSERT_TRUE(RankingOptions::GetRankingOption("a", &option));
  EXPECT_EQ(option.tiebreak, RankingOption::Tiebreak::kAscending);
  EXPECT_EQ(option.ToStoredTiebreak(4), -4);  // the lower ranks first
  EXPECT_FALSE(std::signbit(option.ToStoredTiebreak(0.0)));
  ASSERT_TRUE(RankingOptions::GetRankingOption("b", &option));
  EXPECT_EQ(option.tiebreak, RankingOption::Tiebreak::kDescending);
  EXPECT_EQ(option.ToStoredTiebreak(4), 4);
  ASSERT_TRUE(RankingOptions::GetRankingOption("c", &option));
  EXPECT_FALSE(option.has_tiebreak());
  EXPECT_EQ(RankingOptions::GetAll().size(), 3u);

  RankingOption out;
  std::string error;
  EXPECT_FALSE(RankingOptions::ParseOption(ParseJson("{\"tiebreak\":\"time\"}"),
                                           &out, &error));
  EXPECT_EQ(error,
            "tiebreak must be \"descending\" or \"ascending\", not \"time\"");
  FLAGS_redis_cache_use_scripts = false;
  EXPECT_FALSE(RankingOptions::ParseOption(
      ParseJson("{\"tiebreak\":\"ascending\"}"), &out, &error));
  EXPECT_EQ(error, "tiebreak needs --redis_cache_use_scripts");
  FLAGS_redis_cache_use_scripts = true;
}

TEST_F(RankingOptionsTest, AManifestLeagueNeedsItsScheduleAndTheScripts) {
  // The manifest reads leagues with the definitions' parser
  // (league_rules_test.cc); here what stops start-up.
  const std::string league =
      "[{\"leaderboard_id\":\"cups\",\"league\":{\"tiers\":[\"a\"],"
      "\"cohort_size\":3,\"promote\":1,\"relegate\":1}}]";
  EXPECT_FALSE(RankingOptions::InitializeRankingOption(ParseJson(league)));
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Bad 'ranking_options' entry: a league needs a "
                           "reset schedule (day, week or month): "
                           "leaderboard_id=cups"));
  RankingOption option;
  EXPECT_FALSE(RankingOptions::GetRankingOption("cups", &option));
  FLAGS_redis_cache_use_scripts = false;
  EXPECT_FALSE(RankingOptions::InitializeRankingOption(ParseJson(league)));
  FLAGS_redis_cache_use_scripts = true;
  EXPECT_TRUE(log_.HasLine(google::GLOG_ERROR,
                           "Bad 'ranking_options' entry: league needs "
                           "--redis_cache_use_scripts: leaderboard_id=cups"));
}

TEST_F(RankingOptionsTest, NoOptionsAtAll) {
  EXPECT_TRUE(RankingOptions::InitializeRankingOption(ParseJson("[]")));
  // An argument absent from the manifest arrives as null.
  EXPECT_TRUE(RankingOptions::InitializeRankingOption(vel::Json()));
  EXPECT_EQ(2, log_.Count(google::GLOG_INFO, "No ranking options found."));
  EXPECT_DEATH(RankingOptions::InitializeRankingOption(ParseJson("{}")),
               "Assert failed: ranking_options.IsArray\\(\\)");
}

}  // namespace
}  // namespace plemox
