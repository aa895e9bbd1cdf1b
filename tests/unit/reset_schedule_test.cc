// The calendar of one reset schedule: occurrences, due checks, expiry, text
// forms and dated week names, all with an explicit "now".
#include "leaderboard/core/reset_schedule.h"

#include <glog/logging.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace plemox {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

ptime At(const std::string& text) { return time_from_string(text); }

std::string Text(const ptime& date_time) { return DateTimeToText(date_time); }

using plemox_test::LogCapture;

TEST(ResetScheduleTest, DailyScheduleWaitsForItsTimeOfDay) {
  ResetSchedule schedule("stage1", "day", 1, "2021-02-01 05:00:00",
                         "2022-01-01 00:00:00", At("2021-02-08 03:00:00"));
  EXPECT_EQ("stage1_day", schedule.key());
  EXPECT_EQ("stage1", schedule.leaderboard_id());
  EXPECT_EQ(ResetScheduleTime::kDay, schedule.period());
  EXPECT_EQ(Text(At("2021-02-08 05:00:00")), Text(schedule.next_date_time()));
  EXPECT_EQ(Text(At("2021-02-07 05:00:00")), Text(schedule.past_date_time()));
  EXPECT_EQ(Text(At("2021-02-08 05:00:00")),
            Text(schedule.schedule_date_time()));

  EXPECT_FALSE(schedule.IsResetTime(At("2021-02-08 04:59:59")));
  EXPECT_TRUE(schedule.IsResetTime(At("2021-02-08 05:00:00")));
  EXPECT_EQ(Text(At("2021-02-08 05:00:00")),
            Text(schedule.schedule_date_time()));
  EXPECT_EQ(Text(At("2021-02-08 05:00:00")), Text(schedule.past_date_time()));
  EXPECT_EQ(Text(At("2021-02-09 05:00:00")), Text(schedule.next_date_time()));
  // One yes per occurrence.
  EXPECT_FALSE(schedule.IsResetTime(At("2021-02-08 05:00:00")));
  EXPECT_FALSE(schedule.expired());
}

TEST(ResetScheduleTest, WeeklyScheduleStepsByItsInterval) {
  // Occurrences 01-04, 01-18, 02-01, 02-15: on 02-08 the next is 02-15.
  ResetSchedule schedule("stage1", "week", 2, "2021-01-04 00:00:00",
                         "2022-01-01 00:00:00", At("2021-02-08 12:00:00"));
  EXPECT_EQ(Text(At("2021-02-15 00:00:00")), Text(schedule.next_date_time()));
  EXPECT_EQ(Text(At("2021-02-01 00:00:00")), Text(schedule.past_date_time()));
  EXPECT_TRUE(schedule.IsResetTime(At("2021-02-15 00:00:00")));
  EXPECT_EQ(Text(At("2021-03-01 00:00:00")), Text(schedule.next_date_time()));
}

TEST(ResetScheduleTest, OccurrenceEarlierTodayIsDueAtOnce) {
  ResetSchedule schedule("stage1", "day", 1, "2021-02-08 00:00:00",
                         "2022-01-01 00:00:00", At("2021-02-08 12:00:00"));
  EXPECT_EQ(Text(At("2021-02-08 00:00:00")), Text(schedule.next_date_time()));
  EXPECT_TRUE(schedule.IsResetTime(At("2021-02-08 12:00:00")));
  EXPECT_EQ(Text(At("2021-02-08 00:00:00")),
            Text(schedule.schedule_date_time()));
  EXPECT_EQ(Text(At("2021-02-09 00:00:00")), Text(schedule.next_date_time()));
  EXPECT_FALSE(schedule.IsResetTime(At("2021-02-08 12:00:01")));
}

TEST(ResetScheduleTest, ScheduleNotStartedYetWaitsForItsStart) {
  ResetSchedule schedule("stage1", "week", 1, "2021-03-01 10:00:00",
                         "2022-01-01 00:00:00", At("2021-02-08 12:00:00"));
  EXPECT_EQ(Text(At("2021-03-01 10:00:00")), Text(schedule.next_date_time()));
  // One step back from the start stands in for the previous occurrence.
  EXPECT_EQ(Text(At("2021-02-22 10:00:00")), Text(schedule.past_date_time()));
  EXPECT_FALSE(schedule.IsResetTime(At("2021-03-01 09:59:59")));
  EXPECT_TRUE(schedule.IsResetTime(At("2021-03-01 10:00:00")));
}

TEST(ResetScheduleTest, MonthlyScheduleFromLastDayStaysOnLastDays) {
  ResetSchedule schedule("stage1", "month", 1, "2021-01-31 00:00:00",
                         "2022-01-01 00:00:00", At("2021-01-31 00:00:00"));
  std::vector<std::string> due;
  for (const char* now : {"2021-01-31 00:00:00", "2021-02-28 00:00:00",
                          "2021-03-31 00:00:00", "2021-04-30 00:00:00"}) {
    ASSERT_TRUE(schedule.IsResetTime(At(now))) << now;
    due.push_back(Text(schedule.schedule_date_time()));
  }
  EXPECT_EQ((std::vector<std::string>{
                "2021-Jan-31 00:00:00", "2021-Feb-28 00:00:00",
                "2021-Mar-31 00:00:00", "2021-Apr-30 00:00:00"}),
            due);
  EXPECT_EQ(Text(At("2021-05-31 00:00:00")), Text(schedule.next_date_time()));

  ResetSchedule restarted("stage1", "month", 1, "2021-01-31 00:00:00",
                          "2022-01-01 00:00:00", At("2021-04-15 08:00:00"));
  EXPECT_EQ(Text(At("2021-04-30 00:00:00")), Text(restarted.next_date_time()));
  EXPECT_EQ(Text(At("2021-03-31 00:00:00")), Text(restarted.past_date_time()));
}

TEST(ResetScheduleTest, MonthlyScheduleKeepsDayOfMonthOfItsStart) {
  // The walk from the start keeps day 30 where the month has one.
  ResetSchedule march("stage1", "month", 1, "2021-01-30 06:00:00",
                      "2022-01-01 00:00:00", At("2021-03-15 00:00:00"));
  EXPECT_EQ(Text(At("2021-03-30 06:00:00")), Text(march.next_date_time()));
  EXPECT_EQ(Text(At("2021-02-28 06:00:00")), Text(march.past_date_time()));

  // Built in February: the next reset is the clamped 02-28 and the previous
  // one the real occurrence 01-30. A step taken afresh from 02-28, the last
  // day of its month, lands on the last day of March.
  ResetSchedule february("stage1", "month", 1, "2021-01-30 06:00:00",
                         "2022-01-01 00:00:00", At("2021-02-10 00:00:00"));
  EXPECT_EQ(Text(At("2021-02-28 06:00:00")), Text(february.next_date_time()));
  EXPECT_EQ(Text(At("2021-01-30 06:00:00")), Text(february.past_date_time()));
  EXPECT_TRUE(february.IsResetTime(At("2021-02-28 06:00:00")));
  EXPECT_EQ(Text(At("2021-03-31 06:00:00")), Text(february.next_date_time()));

  // An interval of several months from the middle of a month.
  ResetSchedule quarterly("stage1", "month", 3, "2021-01-15 00:00:00",
                          "2023-01-01 00:00:00", At("2021-05-01 00:00:00"));
  EXPECT_EQ(Text(At("2021-07-15 00:00:00")), Text(quarterly.next_date_time()));
  EXPECT_EQ(Text(At("2021-04-15 00:00:00")), Text(quarterly.past_date_time()));
}

TEST(ResetScheduleTest, DowntimeIsCaughtUpOneOccurrencePerCheck) {
  ResetSchedule schedule("stage1", "day", 1, "2021-02-01 00:00:00",
                         "2022-01-01 00:00:00", At("2021-02-01 00:30:00"));
  const ptime now = At("2021-02-05 12:00:00");
  std::vector<std::string> due;
  for (int i = 0; i < 10 && schedule.IsResetTime(now); ++i) {
    due.push_back(Text(schedule.schedule_date_time()));
  }
  EXPECT_EQ(
      (std::vector<std::string>{"2021-Feb-01 00:00:00", "2021-Feb-02 00:00:00",
                                "2021-Feb-03 00:00:00", "2021-Feb-04 00:00:00",
                                "2021-Feb-05 00:00:00"}),
      due);
  EXPECT_EQ(Text(At("2021-02-06 00:00:00")), Text(schedule.next_date_time()));
}

TEST(ResetScheduleTest, ExpiresExactlyAtItsEndAndLogsOnce) {
  LogCapture log;
  ResetSchedule schedule("stage1", "day", 1, "2021-02-01 00:00:00",
                         "2021-02-03 00:00:00", At("2021-02-01 00:00:00"));
  EXPECT_TRUE(schedule.IsResetTime(At("2021-02-02 23:59:59")));  // 02-01
  EXPECT_TRUE(schedule.IsResetTime(At("2021-02-02 23:59:59")));  // 02-02
  EXPECT_FALSE(schedule.expired());
  // 02-03 00:00 is due, but the end has come at the same instant.
  EXPECT_FALSE(schedule.IsResetTime(At("2021-02-03 00:00:00")));
  EXPECT_TRUE(schedule.expired());
  EXPECT_FALSE(schedule.IsResetTime(At("2021-02-04 00:00:00")));
  EXPECT_EQ(Text(At("2021-02-02 00:00:00")),
            Text(schedule.schedule_date_time()));
  EXPECT_EQ(1, log.Count(google::GLOG_INFO,
                         "The reset schedule is expired: stage1, leaderboard "
                         "key: stage1_day, starts: 2021-Feb-01 00:00:00, "
                         "ends: 2021-Feb-03 00:00:00"));
}

TEST(ResetScheduleTest, ToJsonWritesEveryMemberInTextForm) {
  ResetSchedule schedule("stage1", "week", 2, "2021-01-04 00:00:00",
                         "2021-12-31 23:59:59", At("2021-02-08 12:00:00"));
  vel::Json json;
  schedule.ToJson(&json);
  ASSERT_TRUE(json.IsObject());
  EXPECT_EQ(10u, json.Size());
  EXPECT_EQ("stage1_week", json["key"].GetString());
  EXPECT_EQ("stage1", json["leaderboard_id"].GetString());
  EXPECT_EQ("week", json["period"].GetString());
  ASSERT_TRUE(json["interval"].IsInt());
  EXPECT_EQ(2, json["interval"].GetInt());
  EXPECT_EQ("2021-Jan-04 00:00:00", json["starts"].GetString());
  EXPECT_EQ("2021-Dec-31 23:59:59", json["ends"].GetString());
  EXPECT_EQ("2021-Feb-15 00:00:00", json["schedule_date_time"].GetString());
  EXPECT_EQ("2021-Feb-01 00:00:00", json["past_date_time"].GetString());
  EXPECT_EQ("2021-Feb-15 00:00:00", json["next_date_time"].GetString());
  ASSERT_TRUE(json["expired"].IsBool());
  EXPECT_FALSE(json["expired"].GetBool());

  schedule.IsResetTime(At("2022-01-01 00:00:00"));
  schedule.ToJson(&json);
  EXPECT_TRUE(json["expired"].GetBool());
}

TEST(ResetScheduleTest, StepBeyondTheCalendarNeverFallsDue) {
  // 100000 months after 2021 lies past the year 9999: the schedule waits
  // for ever instead of producing a wrapped-around date.
  ResetSchedule schedule("stage1", "month", ResetSchedule::kMaxInterval,
                         "2021-01-01 00:00:00", "9999-12-31 00:00:00",
                         At("2021-06-01 00:00:00"));
  EXPECT_TRUE(schedule.next_date_time().is_pos_infinity());
  EXPECT_EQ(Text(At("2021-01-01 00:00:00")), Text(schedule.past_date_time()));
  EXPECT_FALSE(schedule.IsResetTime(At("9999-12-30 00:00:00")));
  vel::Json json;
  schedule.ToJson(&json);
  EXPECT_EQ("+infinity", json["next_date_time"].GetString());

  // The same for a start so late that one step passes the last year.
  ResetSchedule late("stage1", "day", ResetSchedule::kMaxInterval,
                     "9999-01-01 00:00:00", "9999-12-31 00:00:00",
                     At("9999-06-01 00:00:00"));
  EXPECT_TRUE(late.next_date_time().is_pos_infinity());
}

TEST(ResetScheduleTest, DatedWeekTextsNameLastCurrentAndLaterWeeks) {
  ResetSchedule schedule("stage1", "week", 1, "2021-01-04 00:00:00",
                         "2021-02-01 23:59:59", At("2021-01-20 00:00:00"));
  EXPECT_EQ((std::vector<std::string>{"20210118", "20210125", "20210201"}),
            schedule.DatedWeekTexts(boost::gregorian::date(2021, 1, 20)));
  // Before the start, the first week is both the previous and the current.
  EXPECT_EQ((std::vector<std::string>{"20210104", "20210104", "20210111",
                                      "20210118", "20210125", "20210201"}),
            schedule.DatedWeekTexts(boost::gregorian::date(2020, 12, 1)));
  // On a reset day the new week is the current one.
  EXPECT_EQ((std::vector<std::string>{"20210125", "20210201"}),
            schedule.DatedWeekTexts(boost::gregorian::date(2021, 2, 1)));
}

TEST(ResetScheduleTextTest, DateTimeTextForms) {
  const ptime date_time = At("2021-02-08 00:00:00");
  EXPECT_EQ("2021-Feb-08 00:00:00", DateTimeToText(date_time));
  EXPECT_EQ("20210208T000000", DateTimeToCompactText(date_time));
  EXPECT_EQ("20210208", DateToWeekText(date_time.date()));
  EXPECT_EQ("20210208T000000.500000",
            DateTimeToCompactText(At("2021-02-08 00:00:00.5")));

  const ptime not_a_date_time(boost::posix_time::not_a_date_time);
  EXPECT_EQ("not-a-date-time", DateTimeToText(not_a_date_time));
  EXPECT_EQ("not-a-date-time", DateTimeToCompactText(not_a_date_time));
  EXPECT_EQ("not-a-date-time", DateToWeekText(not_a_date_time.date()));
  EXPECT_EQ("+infinity", DateTimeToText(ptime(boost::posix_time::pos_infin)));
  EXPECT_EQ("-infinity", DateTimeToText(ptime(boost::posix_time::neg_infin)));
}

TEST(ResetScheduleTextTest, ParseDateTimeAcceptsOnlyRealDateTimes) {
  ptime parsed;
  EXPECT_TRUE(ParseDateTime("2021-02-08 00:00:00", &parsed));
  EXPECT_EQ("2021-Feb-08 00:00:00", DateTimeToText(parsed));
  EXPECT_TRUE(ParseDateTime("2021-02-08 23:59:59.25", &parsed));
  EXPECT_EQ("2021-Feb-08 23:59:59.250000", DateTimeToText(parsed));

  const ptime before = parsed;
  for (const char* text :
       {"", "garbage", "2021-02-08", "2021-02-08 ", "2021-02-30 00:00:00",
        "2021-02-08 24:00:00", "2021-02-08 00:60:00", "2021-02-08 00:00:60",
        "2021-02-08 -01:00:00", "2021-02-08T00:00:00", "20210208T000000",
        "2021-02-08 00:00:00 junk", " 2021-02-08 00:00:00",
        "1399-12-31 00:00:00", "not-a-date-time"}) {
    EXPECT_FALSE(ParseDateTime(text, &parsed)) << "'" << text << "'";
  }
  EXPECT_EQ(before, parsed);
}

TEST(ResetScheduleTextTest, PeriodWords) {
  EXPECT_EQ("day", PeriodToString(ResetScheduleTime::kDay));
  EXPECT_EQ("week", PeriodToString(ResetScheduleTime::kWeek));
  EXPECT_EQ("month", PeriodToString(ResetScheduleTime::kMonth));
  LogCapture log;
  EXPECT_EQ("", PeriodToString(static_cast<ResetScheduleTime::Period>(3)));
  EXPECT_EQ(1, log.Count(google::GLOG_WARNING, "wrong period(3"));

  ResetScheduleTime::Period period = ResetScheduleTime::kDay;
  EXPECT_TRUE(PeriodFromString("month", &period));
  EXPECT_EQ(ResetScheduleTime::kMonth, period);
  EXPECT_FALSE(PeriodFromString("Week", &period));
  EXPECT_EQ(ResetScheduleTime::kMonth, period);
}

TEST(ResetScheduleTest, InjectedClockIsUsedWithoutExplicitNow) {
  ResetSchedule::SetNowForTesting([] { return At("2021-02-08 03:00:00"); });
  EXPECT_EQ(Text(At("2021-02-08 03:00:00")), Text(ResetSchedule::Now()));
  ResetSchedule schedule("stage1", "day", 1, "2021-02-01 05:00:00",
                         "2022-01-01 00:00:00");
  EXPECT_EQ(Text(At("2021-02-08 05:00:00")), Text(schedule.next_date_time()));
  ResetSchedule::SetNowForTesting(nullptr);
  EXPECT_GT(ResetSchedule::Now().date().year(), 2021);
}

TEST(ResetScheduleDeathTest, BrokenContractsStopTheProcess) {
  const ptime now = At("2021-02-08 00:00:00");
  EXPECT_DEATH(ResetSchedule("s", "Week", 1, "2021-02-01 00:00:00",
                             "2022-01-01 00:00:00", now),
               "Assert failed: period_string == \"day\" \\|\\| period_string "
               "== \"week\" \\|\\| period_string == \"month\"");
  EXPECT_DEATH(ResetSchedule("s", "day", 0, "2021-02-01 00:00:00",
                             "2022-01-01 00:00:00", now),
               "Assert failed: interval");
  EXPECT_DEATH(
      ResetSchedule("s", "day", 1, "garbage", "2022-01-01 00:00:00", now),
      "Assert failed: ParseDateTime\\(starts");
}

}  // namespace
}  // namespace plemox
