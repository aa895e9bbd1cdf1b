#include "leaderboard/core/reset_schedule_registry.h"

#include <glog/logging.h>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/leaderboard_id.h"

namespace plemox {

std::mutex ResetScheduleRegistry::mutex_;
ResetScheduleRegistry::ScheduleMap ResetScheduleRegistry::the_reset_schedules;
std::map<std::string, ResetScheduleRegistry::DefinedSchedule>
    ResetScheduleRegistry::the_defined;
std::set<std::string> ResetScheduleRegistry::the_manifest_keys;
SnapshotCell<std::set<std::string>> ResetScheduleRegistry::the_keys;

namespace {

enum class FieldType { kString, kInteger };

const char* FieldTypeName(FieldType type) {
  return type == FieldType::kString ? "string" : "integer";
}

// False, with *error, unless `element` has `key` of `type`.
bool CheckRequiredField(const vel::Json& element, const char* key,
                        FieldType type, std::string* error) {
  if (!element.HasMember(key)) {
    *error = std::string(
                 "Required field does not exists in the element of "
                 "'leaderboard_reset_schedules': field=") +
             key;
    return false;
  }
  const vel::Json value = element[key];
  const bool matches =
      type == FieldType::kString ? value.IsString() : value.IsInt();
  if (!matches) {
    *error = std::string("Required field type mismatched: field=") + key +
             ", field type=" + value.TypeName() +
             ", expected type=" + FieldTypeName(type);
    return false;
  }
  return true;
}

// The text of a field whose value the calendar cannot use.
std::string UnexpectedValue(const char* key, const std::string& value,
                            const std::string& expected,
                            const std::string& leaderboard_id) {
  return std::string("Required field has unexpected value: field='") + key +
         "', value=" + value + ", expected value=" + expected +
         ", leaderboard=" + leaderboard_id;
}

// Checks one element of the reset schedules; false with the first fault in
// *error. With dated weekly tables on, a period other than "week" is fatal
// for the manifest (`manifest`) and an error for a definition.
bool CheckElement(const vel::Json& element, bool manifest, std::string* error) {
  if (!element.IsObject()) {
    *error =
        "The element of 'leaderboard_reset_schedules' must be an object type";
    return false;
  }
  if (!CheckRequiredField(element, "leaderboard_id", FieldType::kString,
                          error) ||
      !CheckRequiredField(element, "period", FieldType::kString, error)) {
    return false;
  }
  const std::string leaderboard_id = element["leaderboard_id"].GetString();
  const std::string period_string = element["period"].GetString();
  ResetScheduleTime::Period period;
  if (!PeriodFromString(period_string, &period)) {
    *error = "Required field has unexpected value: field='period', value=" +
             period_string +
             ", expected value=('day' / 'week' / 'month')leaderboard=" +
             leaderboard_id;
    return false;
  }
  // Dated weekly tables are made at start-up for the manifest's weekly
  // schedules only, so a definition made at run time may have none.
  if (FLAGS_use_leaderboard_table_with_date && !manifest) {
    *error =
        "reset schedules cannot be defined at run time with "
        "--use_leaderboard_table_with_date (its dated weekly tables are made "
        "at start-up from the manifest)";
    return false;
  }
  if (FLAGS_use_leaderboard_table_with_date && period_string != "week") {
    LOG(FATAL) << "Assert failed: period_string == \"week\""
               << ": "
               << "period(" << period_string << ") is not 'week'. "
               << "Not implemented yet.";
  }
  if (!CheckRequiredField(element, "interval", FieldType::kInteger, error) ||
      !CheckRequiredField(element, "starts", FieldType::kString, error) ||
      !CheckRequiredField(element, "ends", FieldType::kString, error)) {
    return false;
  }

  // The id becomes part of leaderboard keys, table names and Redis keys.
  if (!IsValidLeaderboardId(leaderboard_id)) {
    *error = UnexpectedValue("leaderboard_id", leaderboard_id,
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
    *error =
        UnexpectedValue("interval", element["interval"].ToString(),
                        "(an integer from 1 to " +
                            std::to_string(ResetSchedule::kMaxInterval) + ")",
                        leaderboard_id);
    return false;
  }
  for (const char* key : {"starts", "ends"}) {
    const std::string text = element[key].GetString();
    boost::posix_time::ptime parsed;
    if (!ParseDateTime(text, &parsed)) {
      *error =
          UnexpectedValue(key, text, "(a date time like '2021-02-08 00:00:00')",
                          leaderboard_id);
      return false;
    }
  }
  return true;
}

// The registry's copy of every key, for the presence tests.
std::set<std::string> KeysOf(const ResetScheduleRegistry::ScheduleMap& map) {
  std::set<std::string> keys;
  for (const auto& entry : map) keys.insert(entry.first);
  return keys;
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
    for (const auto& entry : the_reset_schedules) {
      the_manifest_keys.insert(entry.first);
    }
    the_keys.Publish(KeysOf(the_reset_schedules));
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
    std::string error;
    if (!CheckElement(reset_schedules[i], true, &error)) {
      LOG(ERROR) << error;
      return false;
    }
  }
  return true;
}

bool ResetScheduleRegistry::CheckDefinedSchedule(const vel::Json& element,
                                                 std::string* error) {
  return CheckElement(element, false, error);
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
  // The keys' snapshot: no lock while the set does not change.
  return the_keys.Get().count(leaderboard_key) != 0;
}

bool ResetScheduleRegistry::IsManifestSchedule(
    const std::string& leaderboard_key) {
  return the_manifest_keys.count(leaderboard_key) != 0;
}

std::set<std::string> ResetScheduleRegistry::ManifestLeaderboardIds() {
  std::set<std::string> ids;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& key : the_manifest_keys) {
    const auto it = the_reset_schedules.find(key);
    if (it != the_reset_schedules.end()) {
      ids.insert(it->second.leaderboard_id());
    }
  }
  return ids;
}

void ResetScheduleRegistry::ReplaceDefinedSchedules(
    const std::vector<DefinedSchedule>& schedules,
    const boost::posix_time::ptime& now) {
  std::map<std::string, DefinedSchedule> wanted;
  for (const DefinedSchedule& schedule : schedules) {
    ResetScheduleTime::Period period;
    const std::string key =
        PeriodFromString(schedule.period, &period)
            ? MakeLeaderboardKeyByPeriod(schedule.leaderboard_id, period)
            : std::string();
    if (key.empty() || the_manifest_keys.count(key) != 0) {
      LOG(WARNING) << "A reset schedule defined at run time is ignored: the "
                      "manifest has one with its key"
                   << ": leaderboard_key=" << key;
      continue;
    }
    wanted.emplace(key, schedule);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = the_defined.begin(); it != the_defined.end();) {
    if (wanted.count(it->first) == 0) {
      LOG(INFO) << "A reset schedule defined at run time stops"
                << ": leaderboard_key=" << it->first;
      the_reset_schedules.erase(it->first);
      it = the_defined.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [key, schedule] : wanted) {
    const auto known = the_defined.find(key);
    // An unchanged schedule keeps its state (the occurrence it waits for).
    if (known != the_defined.end() && known->second == schedule) continue;
    ResetSchedule built(schedule.leaderboard_id, schedule.period,
                        schedule.interval, schedule.starts, schedule.ends, now);
    LOG(INFO) << "A reset schedule defined at run time is in force"
              << ": leaderboard_key=" << key << ", period=" << schedule.period
              << ", interval=" << schedule.interval
              << ", starts=" << schedule.starts << ", ends=" << schedule.ends
              << ", next=" << DateTimeToText(built.next_date_time());
    the_reset_schedules.erase(key);
    the_reset_schedules.emplace(key, std::move(built));
    the_defined[key] = schedule;
  }
  the_keys.Publish(KeysOf(the_reset_schedules));
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
  the_defined.clear();
  the_manifest_keys.clear();
  the_keys.Publish({});
}

}  // namespace plemox
