#include "leaderboard/core/reset_schedule_registry.h"

#include <glog/logging.h>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/leaderboard_id.h"

namespace plemox {

std::mutex ResetScheduleRegistry::mutex_;
ResetScheduleRegistry::ScheduleMap ResetScheduleRegistry::the_reset_schedules;

namespace {

enum class FieldType { kString, kInteger };

const char* FieldTypeName(FieldType type) {
  return type == FieldType::kString ? "string" : "integer";
}

// Logs and returns false unless `element` has `key` of `type`.
bool CheckRequiredField(const vel::Json& element, const char* key,
                        FieldType type) {
  if (!element.HasMember(key)) {
    LOG(ERROR) << "Required field does not exists in the element of "
                  "'leaderboard_reset_schedules'"
               << ": field=" << key;
    return false;
  }
  const vel::Json value = element[key];
  const bool matches =
      type == FieldType::kString ? value.IsString() : value.IsInt();
  if (!matches) {
    LOG(ERROR) << "Required field type mismatched"
               << ": "
               << "field"
               << "=" << key << ", "
               << "field type"
               << "=" << value.TypeName() << ", "
               << "expected type"
               << "=" << FieldTypeName(type);
    return false;
  }
  return true;
}

// Logs a field whose value the calendar cannot use.
void LogUnexpectedValue(const char* key, const std::string& value,
                        const std::string& expected,
                        const std::string& leaderboard_id) {
  LOG(ERROR) << "Required field has unexpected value"
             << ": field='" << key << "'"
             << ", value=" << value << ", "
             << "expected value"
             << "=" << expected << ", "
             << "leaderboard"
             << "=" << leaderboard_id;
}

// Checks one element of the reset schedules; logs the first fault.
bool ValidateElement(const vel::Json& element) {
  if (!element.IsObject()) {
    LOG(ERROR) << "The element of 'leaderboard_reset_schedules' must be an "
                  "object type";
    return false;
  }
  if (!CheckRequiredField(element, "leaderboard_id", FieldType::kString) ||
      !CheckRequiredField(element, "period", FieldType::kString)) {
    return false;
  }
  const std::string leaderboard_id = element["leaderboard_id"].GetString();
  const std::string period_string = element["period"].GetString();
  ResetScheduleTime::Period period;
  if (!PeriodFromString(period_string, &period)) {
    LOG(ERROR) << "Required field has unexpected value"
               << ": field='period'"
               << ", value=" << period_string << ", "
               << "expected value"
               << "="
               << "('day' / 'week' / 'month')"
               << "leaderboard"
               << "=" << leaderboard_id;
    return false;
  }
  if (FLAGS_use_leaderboard_table_with_date && period_string != "week") {
    LOG(FATAL) << "Assert failed: period_string == \"week\""
               << ": "
               << "period(" << period_string << ") is not 'week'. "
               << "Not implemented yet.";
  }
  if (!CheckRequiredField(element, "interval", FieldType::kInteger) ||
      !CheckRequiredField(element, "starts", FieldType::kString) ||
      !CheckRequiredField(element, "ends", FieldType::kString)) {
    return false;
  }

  // The id becomes part of leaderboard keys, table names and Redis keys.
  if (!IsValidLeaderboardId(leaderboard_id)) {
    LogUnexpectedValue("leaderboard_id", leaderboard_id,
                       "(letters, digits and '_', at most " +
                           std::to_string(kMaxLeaderboardIdLength) +
                           " characters)",
                       leaderboard_id);
    return false;
  }

  // The calendar steps by the interval until it passes today: zero or a
  // negative number would never get there.
  const std::int64_t interval = element["interval"].GetInt();
  if (interval < 1 || interval > ResetSchedule::kMaxInterval) {
    LogUnexpectedValue("interval", element["interval"].ToString(),
                       "(an integer from 1 to " +
                           std::to_string(ResetSchedule::kMaxInterval) + ")",
                       leaderboard_id);
    return false;
  }
  for (const char* key : {"starts", "ends"}) {
    const std::string text = element[key].GetString();
    boost::posix_time::ptime parsed;
    if (!ParseDateTime(text, &parsed)) {
      LogUnexpectedValue(key, text, "(a date time like '2021-02-08 00:00:00')",
                         leaderboard_id);
      return false;
    }
  }
  return true;
}

}  // namespace

bool ResetScheduleRegistry::InitializeResetSchedule(
    const vel::Json& reset_schedules) {
  return InitializeResetSchedule(reset_schedules, ResetSchedule::Now());
}

bool ResetScheduleRegistry::InitializeResetSchedule(
    const vel::Json& reset_schedules, const boost::posix_time::ptime& now) {
  if (!FLAGS_use_leaderboard_table_with_date &&
      (reset_schedules.IsNull() ||
       (reset_schedules.IsArray() && reset_schedules.Size() == 0))) {
    LOG(INFO) << "No reset schedules found.";
    return true;
  }
  if (!ValidateResetSchedule(reset_schedules)) {
    LOG(ERROR) << "Failed to validate reset schedule"
               << ": reset_schedules=" << reset_schedules.ToString();
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < reset_schedules.Size(); ++i) {
      const vel::Json element = reset_schedules[i];
      ResetSchedule schedule(
          element["leaderboard_id"].GetString(), element["period"].GetString(),
          element["interval"].GetInt(), element["starts"].GetString(),
          element["ends"].GetString(), now);
      std::string key = schedule.key();
      if (!the_reset_schedules.emplace(std::move(key), std::move(schedule))
               .second) {
        LOG(FATAL) << "Duplicated reset schedule found"
                   << ": reset_schedule=" << element.ToString();
      }
    }
  }
  LOG(INFO) << "The reset schedules are loaded"
            << ": reset_schedules=" << reset_schedules.ToString();
  return true;
}

bool ResetScheduleRegistry::ValidateResetSchedule(
    const vel::Json& reset_schedules) {
  if (!reset_schedules.IsArray()) {
    LOG(ERROR) << "'leaderboard_reset_schedules' must be an array type.";
    return false;
  }
  if (reset_schedules.Size() == 0) {
    LOG(ERROR) << "'leaderboard_reset_schedules' must not be empty.";
    return false;
  }
  for (std::size_t i = 0; i < reset_schedules.Size(); ++i) {
    if (!ValidateElement(reset_schedules[i])) {
      return false;
    }
  }
  return true;
}

bool ResetScheduleRegistry::HasScheduleOf(const std::string& leaderboard_id,
                                          const char* suffix) {
  if (leaderboard_id.empty()) {
    LOG(FATAL) << "Assert failed: ! leaderboard_id.empty()";
  }
  return HasSchedule(leaderboard_id + suffix);
}

bool ResetScheduleRegistry::HasDaySchedule(const std::string& leaderboard_id) {
  return HasScheduleOf(leaderboard_id, "_day");
}

bool ResetScheduleRegistry::HasWeekSchedule(const std::string& leaderboard_id) {
  return HasScheduleOf(leaderboard_id, "_week");
}

bool ResetScheduleRegistry::HasMonthSchedule(
    const std::string& leaderboard_id) {
  return HasScheduleOf(leaderboard_id, "_month");
}

bool ResetScheduleRegistry::HasSchedule(const std::string& leaderboard_key) {
  // The keys are fixed once start-up is over, so a lookup needs no lock.
  return the_reset_schedules.count(leaderboard_key) != 0;
}

bool ResetScheduleRegistry::GetWeeklyScheduleDateTimes(
    const std::string& leaderboard_id, boost::posix_time::ptime* past,
    boost::posix_time::ptime* next) {
  if (leaderboard_id.empty()) {
    LOG(FATAL) << "Assert failed: ! leaderboard_id.empty()";
  }
  if (past == nullptr) {
    LOG(FATAL) << "Assert failed: past";
  }
  if (next == nullptr) {
    LOG(FATAL) << "Assert failed: next";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = the_reset_schedules.find(leaderboard_id + "_week");
  if (it == the_reset_schedules.end()) {
    return false;
  }
  *past = it->second.past_date_time();
  *next = it->second.next_date_time();
  return true;
}

ResetScheduleInfo ResetScheduleRegistry::MakeResetScheduleInfo(
    const std::string& leaderboard_id) {
  ResetScheduleInfo info;
  info.has_day_schedule = HasDaySchedule(leaderboard_id);
  info.has_week_schedule = HasWeekSchedule(leaderboard_id);
  info.has_month_schedule = HasMonthSchedule(leaderboard_id);
  if (info.has_week_schedule) {
    GetWeeklyScheduleDateTimes(leaderboard_id, &info.past_date_time,
                               &info.next_date_time);
  }
  return info;
}

std::map<std::string, std::vector<std::string>>
ResetScheduleRegistry::GetDatedWeeklyTableDates() {
  return GetDatedWeeklyTableDates(ResetSchedule::Now().date());
}

std::map<std::string, std::vector<std::string>>
ResetScheduleRegistry::GetDatedWeeklyTableDates(
    const boost::gregorian::date& today) {
  std::map<std::string, std::vector<std::string>> dates;
  if (!FLAGS_use_leaderboard_table_with_date) {
    return dates;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : the_reset_schedules) {
    const ResetSchedule& schedule = entry.second;
    if (schedule.period() != ResetScheduleTime::kWeek) {
      continue;
    }
    std::vector<std::string>& list = dates[schedule.leaderboard_id()];
    for (std::string& text : schedule.DatedWeekTexts(today)) {
      list.push_back(std::move(text));
    }
  }
  return dates;
}

std::string ResetScheduleRegistry::MakeLeaderboardKeyByPeriod(
    const std::string& leaderboard_id, std::int64_t period) {
  switch (period) {
    case ResetScheduleTime::kDay:
      return leaderboard_id + "_day";
    case ResetScheduleTime::kWeek:
      return leaderboard_id + "_week";
    case ResetScheduleTime::kMonth:
      return leaderboard_id + "_month";
    default:
      LOG(WARNING) << "Unexpected value"
                   << ": name='period', value=" << period;
      return "";
  }
}

std::string ResetScheduleRegistry::MakeLeaderboardKeyByTimespan(
    const std::string& leaderboard_id,
    Leaderboard::LeaderboardQuery::TimeSpan timespan) {
  switch (timespan) {
    case Leaderboard::LeaderboardQuery::kDaily:
      return leaderboard_id + "_day";
    case Leaderboard::LeaderboardQuery::kWeekly:
      return leaderboard_id + "_week";
    case Leaderboard::LeaderboardQuery::kMonthly:
      return leaderboard_id + "_month";
    default:
      LOG(WARNING) << "Unexpected value"
                   << ": name='timespan', value=" << static_cast<int>(timespan);
      return "";
  }
}

std::vector<ResetSchedule> ResetScheduleRegistry::Snapshot() {
  std::vector<ResetSchedule> schedules;
  std::lock_guard<std::mutex> lock(mutex_);
  schedules.reserve(the_reset_schedules.size());
  for (const auto& entry : the_reset_schedules) {
    schedules.push_back(entry.second);
  }
  return schedules;
}

std::optional<ResetSchedule> ResetScheduleRegistry::Find(
    const std::string& leaderboard_key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = the_reset_schedules.find(leaderboard_key);
  if (it == the_reset_schedules.end()) return std::nullopt;
  return it->second;
}

void ResetScheduleRegistry::ClearForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  the_reset_schedules.clear();
}

}  // namespace plemox
