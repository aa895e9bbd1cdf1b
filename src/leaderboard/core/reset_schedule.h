// The calendar of one reset schedule: every `interval` days, weeks or months,
// at the time of day of its start, from a start date time until an end date
// time. Date times are local wall-clock times without a time zone, at the
// resolution of their texts; any of them may be not-a-date-time, and a step
// that would leave the calendar (years 1400 to 9999) gives +infinity.
#pragma once

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/date_time_text.h"
#include "vel/core/json.h"

namespace plemox {

// The unit of a schedule's step. The numbers travel in protocol messages.
struct ResetScheduleTime {
  enum Period : int { kDay = 0, kWeek = 1, kMonth = 2 };
};

// "day", "week" or "month"; for any other value logs the warning
// "wrong period(<number>)" and returns "". Any thread.
std::string PeriodToString(ResetScheduleTime::Period period);

// Reads a period word ("day", "week" or "month", exact and lower case) into
// *out; returns false and leaves *out unchanged for any other text.
bool PeriodFromString(const std::string& word, ResetScheduleTime::Period* out);

// One reset schedule. A value type and not thread-safe: the owner (the
// schedule registry) serialises calls, since IsResetTime moves it on.
class ResetSchedule {
 public:
  // Largest accepted interval. It keeps every step inside the calendar's
  // range of years and inside the date library's step arithmetic.
  static constexpr std::int64_t kMaxInterval = 100000;

  // Builds the schedule and computes its occurrences around today (the date of
  // `now`, or of Now() in the first form): the first occurrence on or after
  // today is the next one, even when its time of day has already passed, in
  // which case the first IsResetTime reports it due at once.
  // REQUIRES (fatal otherwise; the manifest validation checks them first):
  // `period_string` is "day", "week" or "month"; 1 <= interval <=
  // kMaxInterval; `starts` and `ends` are accepted by ParseDateTime.
  ResetSchedule(const std::string& leaderboard_id,
                const std::string& period_string, std::int64_t interval,
                const std::string& starts, const std::string& ends);
  ResetSchedule(const std::string& leaderboard_id,
                const std::string& period_string, std::int64_t interval,
                const std::string& starts, const std::string& ends,
                const boost::posix_time::ptime& now);

  // Whether a reset is due at `now`. When it is, the schedule moves on by one
  // step before returning true: schedule_date_time() and past_date_time()
  // become the occurrence that fell due and next_date_time() the one after
  // it. At or after ends() the schedule becomes expired for good (logged
  // once) and never reports a reset again. After a downtime of several steps,
  // successive calls report one missed occurrence each, oldest first.
  bool IsResetTime(const boost::posix_time::ptime& now);

  // Writes "key", "leaderboard_id", "period" (word), "interval", "starts",
  // "ends", "schedule_date_time", "past_date_time", "next_date_time" (texts
  // of DateTimeToText) and "expired" into *json, turning it into an object.
  // REQUIRES: json != nullptr.
  void ToJson(vel::Json* json) const;

  // The occurrence before `occurrence` (one of this calendar's): when a
  // period ending at `occurrence` began by the calendar. One step back from
  // the start when `occurrence` is the first one; special values stay as
  // they are.
  boost::posix_time::ptime OccurrenceBefore(
      const boost::posix_time::ptime& occurrence) const;

  // The week date texts of the dated weekly tables of this schedule as seen
  // on `today`: the week that ended at the last reset, the current week, and
  // every later week up to the date of ends(). When the schedule has not
  // started yet, its first date is listed twice (previous and current week).
  std::vector<std::string> DatedWeekTexts(
      const boost::gregorian::date& today) const;

  // The local wall-clock time now at one-second resolution, or what the
  // function installed by SetNowForTesting returns. Any thread.
  static boost::posix_time::ptime Now();
  // Replaces the clock behind Now(); an empty function restores the real
  // one. Tests only; any thread.
  static void SetNowForTesting(std::function<boost::posix_time::ptime()> now);

  // The leaderboard id + "_" + the period word, e.g. "stage1_week".
  const std::string& key() const { return key_; }
  const std::string& leaderboard_id() const { return leaderboard_id_; }
  ResetScheduleTime::Period period() const { return period_; }
  std::int64_t interval() const { return interval_; }
  // The first occurrence; its time of day is that of every occurrence.
  const boost::posix_time::ptime& starts() const { return starts_; }
  // At or after this instant the schedule is expired.
  const boost::posix_time::ptime& ends() const { return ends_; }
  // The occurrence that is due or was last due; it names a reset in the
  // reset log.
  const boost::posix_time::ptime& schedule_date_time() const {
    return schedule_date_time_;
  }
  // The previous occurrence.
  const boost::posix_time::ptime& past_date_time() const {
    return past_date_time_;
  }
  // The occurrence the schedule waits for.
  const boost::posix_time::ptime& next_date_time() const {
    return next_date_time_;
  }
  bool expired() const { return expired_; }

 private:
  // `date` moved by `count` steps (negative: backwards), each step computed
  // afresh from the date it starts from. A result outside the calendar gives
  // +infinity (forwards) or -infinity (backwards); special dates stay as
  // they are.
  boost::gregorian::date Step(const boost::gregorian::date& date,
                              int count) const;
  // Walks the occurrences anchored at the date of starts_ up to the first one
  // on or after `today`, which is returned; *previous gets the occurrence
  // before it, or the first one when none lies before `today`.
  boost::gregorian::date FirstOccurrenceFrom(
      const boost::gregorian::date& today,
      boost::gregorian::date* previous) const;
  // `date` at the time of day of starts_.
  boost::posix_time::ptime AtStartTime(
      const boost::gregorian::date& date) const;

  std::string key_;
  std::string leaderboard_id_;
  ResetScheduleTime::Period period_ = ResetScheduleTime::kDay;
  std::int64_t interval_ = 0;
  boost::posix_time::ptime starts_;
  boost::posix_time::ptime ends_;
  boost::posix_time::ptime schedule_date_time_;
  boost::posix_time::ptime past_date_time_;
  boost::posix_time::ptime next_date_time_;
  bool expired_ = false;
};

}  // namespace plemox
