// Which resets the reset check starts: the calendar's due occurrence, and on
// becoming master the one that fell due while no server was master, never
// both for one schedule (two rollovers in a row would empty the previous
// period). Without a database connection every started reset is logged and
// skipped, which is what these tests read. Also: a request's week comes from
// the schedule facts it carries, not from the registry at the time.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <string>

#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/master_election.h"
#include "leaderboard/service/internal/service_state.h"
#include "support/log_capture.h"
#include "vel/core/json.h"

namespace plemox {
namespace {

namespace posix_time = boost::posix_time;
using plemox_test::LogCapture;

const posix_time::ptime kNow =
    posix_time::time_from_string("2021-02-10 12:00:00");  // A Wednesday.

class ResetCheckTest : public testing::Test {
 protected:
  ~ResetCheckTest() override {
    ResetSchedule::SetNowForTesting(nullptr);
    ResetScheduleRegistry::ClearForTesting();
  }

  void Configure(const std::string& schedules_json) {
    vel::Json schedules;
    ASSERT_TRUE(vel::Json::Parse(schedules_json, &schedules));
    ResetScheduleRegistry::ClearForTesting();
    ASSERT_TRUE(
        ResetScheduleRegistry::InitializeResetSchedule(schedules, kNow));
    now_ = kNow;
    ResetSchedule::SetNowForTesting([this] { return now_; });
    // Start every case as a follower.
    service_internal::CheckResetTime(false);
  }

  // The resets one check starts, as "key@compact schedule date time".
  std::vector<std::string> Check(bool is_master) {
    LogCapture log;
    service_internal::CheckResetTime(is_master);
    std::vector<std::string> started;
    for (const auto& line : log.Lines("Leaderboard reset skipped")) {
      const auto key = line.second.find("leaderboard_key=");
      const auto comma = line.second.find(", schedule_date_time=");
      started.push_back(line.second.substr(key + 16, comma - key - 16) + "@" +
                        line.second.substr(comma + 21));
    }
    return started;
  }

  posix_time::ptime now_;
};

using Started = std::vector<std::string>;

TEST_F(ResetCheckTest, BecomingMasterPerformsTheLastMissedOccurrenceOnce) {
  // Weekly on Mondays: this Monday's reset passed while no server was up.
  Configure(R"([{"leaderboard_id": "w", "period": "week", "interval": 1,
      "starts": "2021-01-04 00:00:00", "ends": "2099-01-01 00:00:00"}])");
  EXPECT_EQ(Check(false), Started{});
  EXPECT_EQ(Check(true), Started{"w_week@20210208T000000"});
  // Only when becoming master, not on every check.
  EXPECT_EQ(Check(true), Started{});
  // A master that lost the key and won it back checks again; the reset log
  // keeps the reset from happening twice.
  EXPECT_EQ(Check(false), Started{});
  EXPECT_EQ(Check(true), Started{"w_week@20210208T000000"});
}

TEST_F(ResetCheckTest, MissedWhileFollowerIsPerformedOnTakeOver) {
  Configure(R"([{"leaderboard_id": "d", "period": "day", "interval": 1,
      "starts": "2021-02-10 12:00:05", "ends": "2099-01-01 00:00:00"}])");
  // Not started yet: nothing before `starts` is ever performed.
  EXPECT_EQ(Check(true), Started{});
  EXPECT_EQ(Check(false), Started{});
  now_ = kNow + posix_time::seconds(6);
  // The follower moves past the reset time...
  EXPECT_EQ(Check(false), Started{});
  now_ += posix_time::seconds(5);
  // ...and performs it when it becomes master.
  EXPECT_EQ(Check(true), Started{"d_day@20210210T120005"});
  now_ += posix_time::hours(24);
  EXPECT_EQ(Check(true), Started{"d_day@20210211T120005"});
}

TEST_F(ResetCheckTest, DueNowIsPerformedOnceWithoutTheOneBefore) {
  // The occurrence of 05:00 today is due at the first check; yesterday's is
  // not performed on top of it.
  Configure(R"([{"leaderboard_id": "d", "period": "day", "interval": 1,
      "starts": "2021-02-01 05:00:00", "ends": "2099-01-01 00:00:00"},
      {"leaderboard_id": "m", "period": "month", "interval": 1,
      "starts": "2020-12-10 13:00:00", "ends": "2021-02-10 11:00:00"}])");
  // The monthly schedule has ended; its last occurrence (Jan 10) lies before
  // its end and is the one a new master makes sure of.
  EXPECT_EQ(Check(true),
            (Started{"d_day@20210210T050000", "m_month@20210110T130000"}));
  EXPECT_EQ(Check(true), Started{});
}

TEST(WeekReferenceTimeTest, ComesFromTheRequestsScheduleFacts) {
  vel::Json schedules;
  ASSERT_TRUE(vel::Json::Parse(
      R"([{"leaderboard_id": "w", "period": "week", "interval": 1,
          "starts": "2021-01-04 00:00:00", "ends": "2099-01-01 00:00:00"}])",
      &schedules));
  ResetScheduleRegistry::ClearForTesting();
  ASSERT_TRUE(ResetScheduleRegistry::InitializeResetSchedule(schedules, kNow));
  const ResetScheduleInfo info =
      ResetScheduleRegistry::MakeResetScheduleInfo("w");
  // A weekly reset moves the registry on after the request took its facts.
  ResetScheduleRegistry::WithLockedSchedules(
      [](ResetScheduleRegistry::ScheduleMap& map) {
        return map.at("w_week").IsResetTime(
            posix_time::time_from_string("2021-02-15 00:00:00"));
      });
  using Query = Leaderboard::LeaderboardQuery;
  EXPECT_EQ(service_internal::WeekReferenceTime(info, Query::kWeekly),
            posix_time::time_from_string("2021-02-15 00:00:00"));
  EXPECT_EQ(service_internal::WeekReferenceTime(info, Query::kLastWeek),
            posix_time::time_from_string("2021-02-08 00:00:00"));
  EXPECT_EQ(service_internal::WeekReferenceTime("w", Query::kWeekly),
            posix_time::time_from_string("2021-02-22 00:00:00"));
  EXPECT_TRUE(service_internal::WeekReferenceTime(info, Query::kDaily)
                  .is_not_a_date_time());
  ResetScheduleRegistry::ClearForTesting();
}

}  // namespace
}  // namespace plemox
