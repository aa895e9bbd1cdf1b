#include "leaderboard/core/reset_schedule.h"

#include <glog/logging.h>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace plemox {

namespace gregorian = boost::gregorian;
namespace posix_time = boost::posix_time;

namespace {

// The calendar's range of dates (the date library's years 1400 to 9999).
const gregorian::date kFirstDate(1400, 1, 1);
const gregorian::date kLastDate(9999, 12, 31);

std::mutex the_clock_mutex;
std::function<posix_time::ptime()> the_clock;  // GUARDED_BY(the_clock_mutex)

}  // namespace

std::string PeriodToString(ResetScheduleTime::Period period) {
  switch (period) {
    case ResetScheduleTime::kDay:
      return "day";
    case ResetScheduleTime::kWeek:
      return "week";
    case ResetScheduleTime::kMonth:
      return "month";
  }
  LOG(WARNING) << "wrong period(" << static_cast<int>(period) << ")";
  return "";
}

bool PeriodFromString(const std::string& word, ResetScheduleTime::Period* out) {
  if (word == "day") {
    *out = ResetScheduleTime::kDay;
  } else if (word == "week") {
    *out = ResetScheduleTime::kWeek;
  } else if (word == "month") {
    *out = ResetScheduleTime::kMonth;
  } else {
    return false;
  }
  return true;
}

ResetSchedule::ResetSchedule(const std::string& leaderboard_id,
                             const std::string& period_string,
                             std::int64_t interval, const std::string& starts,
                             const std::string& ends)
    : ResetSchedule(leaderboard_id, period_string, interval, starts, ends,
                    Now()) {}

ResetSchedule::ResetSchedule(const std::string& leaderboard_id,
                             const std::string& period_string,
                             std::int64_t interval, const std::string& starts,
                             const std::string& ends,
                             const posix_time::ptime& now)
    : key_(leaderboard_id + "_" + period_string),
      leaderboard_id_(leaderboard_id),
      interval_(interval),
      starts_(posix_time::not_a_date_time),
      ends_(posix_time::not_a_date_time),
      schedule_date_time_(posix_time::not_a_date_time),
      past_date_time_(posix_time::not_a_date_time),
      next_date_time_(posix_time::not_a_date_time) {
  if (!PeriodFromString(period_string, &period_)) {
    LOG(FATAL) << "Assert failed: period_string == \"day\" || "
                  "period_string == \"week\" || period_string == \"month\"";
  }
  if (interval < 1 || interval > kMaxInterval) {
    LOG(FATAL) << "Assert failed: interval >= 1 && interval <= kMaxInterval"
               << ": interval=" << interval;
  }
  if (!ParseDateTime(starts, &starts_)) {
    LOG(FATAL) << "Assert failed: ParseDateTime(starts, &starts_)"
               << ": starts=" << starts;
  }
  if (!ParseDateTime(ends, &ends_)) {
    LOG(FATAL) << "Assert failed: ParseDateTime(ends, &ends_)"
               << ": ends=" << ends;
  }

  gregorian::date previous;
  const gregorian::date next = FirstOccurrenceFrom(now.date(), &previous);
  next_date_time_ = AtStartTime(next);
  // When the schedule has begun, the previous occurrence is the one the walk
  // passed last. Before its start there is none; one step back from the
  // start stands in for it.
  past_date_time_ =
      AtStartTime(next == starts_.date() ? Step(next, -1) : previous);
  schedule_date_time_ = next_date_time_;
}

bool ResetSchedule::IsResetTime(const posix_time::ptime& now) {
  if (expired_) {
    return false;
  }
  if (now >= ends_) {
    expired_ = true;
    LOG(INFO) << "The reset schedule is expired: " << leaderboard_id_
              << ", leaderboard key: " << key_
              << ", starts: " << DateTimeToText(starts_)
              << ", ends: " << DateTimeToText(ends_);
    return false;
  }
  VLOG(2) << "Schedule info: " << key_
          << ", period: " << static_cast<int>(period_)
          << ", interval: " << interval_
          << ", starts: " << DateTimeToText(starts_)
          << ", ends: " << DateTimeToText(ends_)
          << ", schedule date time: " << DateTimeToText(schedule_date_time_)
          << ", past date time: " << DateTimeToText(past_date_time_)
          << ", next date time: " << DateTimeToText(next_date_time_)
          << ", expired: " << (expired_ ? 1 : 0);
  if (now < next_date_time_) {
    return false;
  }
  schedule_date_time_ = next_date_time_;
  past_date_time_ = next_date_time_;
  next_date_time_ = AtStartTime(Step(next_date_time_.date(), 1));
  return true;
}

void ResetSchedule::ToJson(vel::Json* json) const {
  if (json == nullptr) {
    LOG(FATAL) << "Assert failed: json";
  }
  if (!json->IsObject()) {
    *json = vel::Json::MakeObject();
  }
  json->Set("key", nlohmann::json(key_));
  json->Set("leaderboard_id", nlohmann::json(leaderboard_id_));
  json->Set("period", nlohmann::json(PeriodToString(period_)));
  json->Set("interval", nlohmann::json(interval_));
  json->Set("starts", nlohmann::json(DateTimeToText(starts_)));
  json->Set("ends", nlohmann::json(DateTimeToText(ends_)));
  json->Set("schedule_date_time",
            nlohmann::json(DateTimeToText(schedule_date_time_)));
  json->Set("past_date_time", nlohmann::json(DateTimeToText(past_date_time_)));
  json->Set("next_date_time", nlohmann::json(DateTimeToText(next_date_time_)));
  json->Set("expired", nlohmann::json(expired_));
}

std::vector<std::string> ResetSchedule::DatedWeekTexts(
    const gregorian::date& today) const {
  std::vector<std::string> texts;
  gregorian::date previous;
  const gregorian::date current = FirstOccurrenceFrom(today, &previous);
  texts.push_back(DateToWeekText(previous));
  texts.push_back(DateToWeekText(current));
  const gregorian::date last = ends_.date();
  for (gregorian::date later = Step(current, 1); !(later > last);
       later = Step(later, 1)) {
    texts.push_back(DateToWeekText(later));
  }
  return texts;
}

posix_time::ptime ResetSchedule::OccurrenceBefore(
    const posix_time::ptime& occurrence) const {
  if (occurrence.is_special()) return occurrence;
  gregorian::date previous;
  const gregorian::date at = FirstOccurrenceFrom(occurrence.date(), &previous);
  return AtStartTime(at == starts_.date() ? Step(at, -1) : previous);
}

posix_time::ptime ResetSchedule::Now() {
  {
    std::lock_guard<std::mutex> lock(the_clock_mutex);
    if (the_clock) {
      return the_clock();
    }
  }
  return posix_time::second_clock::local_time();
}

void ResetSchedule::SetNowForTesting(std::function<posix_time::ptime()> now) {
  std::lock_guard<std::mutex> lock(the_clock_mutex);
  the_clock = std::move(now);
}

gregorian::date ResetSchedule::Step(const gregorian::date& date,
                                    int count) const {
  if (date.is_special()) {
    return date;
  }
  const gregorian::date outside(count < 0 ? boost::date_time::neg_infin
                                          : boost::date_time::pos_infin);
  // |interval_ * count| stays far below the limits of the step types: the
  // interval is at most kMaxInterval and count is +1 or -1.
  const long amount = static_cast<long>(interval_) * count;
  try {
    gregorian::date result;
    switch (period_) {
      case ResetScheduleTime::kDay:
        result = date + gregorian::days(amount);
        break;
      case ResetScheduleTime::kWeek:
        result = date + gregorian::weeks(amount);
        break;
      case ResetScheduleTime::kMonth:
        // Keeps the day of month of `date`, clamped to shorter months; from
        // the last day of a month it lands on the last day of a month.
        result = amount >= 0
                     ? date + gregorian::months(static_cast<int>(amount))
                     : date - gregorian::months(static_cast<int>(-amount));
        break;
    }
    if (result < kFirstDate || result > kLastDate) {
      return outside;
    }
    return result;
  } catch (const std::out_of_range&) {
    // Month arithmetic throws when the year leaves the calendar.
    return outside;
  }
}

gregorian::date ResetSchedule::FirstOccurrenceFrom(
    const gregorian::date& today, gregorian::date* previous) const {
  gregorian::date date = starts_.date();
  *previous = date;
  if (period_ == ResetScheduleTime::kMonth) {
    // A monthly iterator keeps the day of month of the start for every
    // occurrence (clamped to shorter months): 01-30, 02-28, 03-30.
    gregorian::month_iterator it(date, static_cast<int>(interval_));
    try {
      while (*it < today) {
        *previous = *it;
        ++it;
      }
      return *it;
    } catch (const std::out_of_range&) {
      return gregorian::date(boost::date_time::pos_infin);
    }
  }
  while (date < today) {
    *previous = date;
    date = Step(date, 1);
  }
  return date;
}

posix_time::ptime ResetSchedule::AtStartTime(
    const gregorian::date& date) const {
  return posix_time::ptime(date, starts_.time_of_day());
}

}  // namespace plemox
