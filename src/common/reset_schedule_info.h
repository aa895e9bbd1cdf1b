// The reset-schedule facts of one leaderboard that a score submission or
// deletion carries along: which periodic rankings have a schedule, and the
// weekly schedule's previous and next reset (they name the dated weekly
// tables and keys). A value type, built per request and copied into every
// callback of the request; safe to read from any thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace plemox {

struct ResetScheduleInfo {
  bool has_day_schedule = false;
  bool has_week_schedule = false;
  bool has_month_schedule = false;
  // The weekly schedule's past and next reset; not-a-date-time when the
  // leaderboard has no weekly schedule.
  boost::posix_time::ptime past_date_time{boost::posix_time::not_a_date_time};
  boost::posix_time::ptime next_date_time{boost::posix_time::not_a_date_time};

  // Whether the leaderboard keeps its daily (weekly, monthly) rankings: when
  // it has a schedule of that period, or no schedule at all (then it keeps
  // every period).
  bool KeepsDaily() const { return has_day_schedule || !HasAnySchedule(); }
  bool KeepsWeekly() const { return has_week_schedule || !HasAnySchedule(); }
  bool KeepsMonthly() const { return has_month_schedule || !HasAnySchedule(); }
  bool HasAnySchedule() const {
    return has_day_schedule || has_week_schedule || has_month_schedule;
  }
};

}  // namespace plemox
