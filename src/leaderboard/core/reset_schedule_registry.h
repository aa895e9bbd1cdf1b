// The process-wide registry of reset schedules, `the_reset_schedules`: one
// ResetSchedule per leaderboard key (leaderboard id + "_day", "_week" or
// "_month"), built from the `reset_schedules` manifest argument at start-up
// and from the leaderboards defined at run time (ReplaceDefinedSchedules),
// with the calendar facts that request flows derive from it. The manifest's
// keys are fixed; a defined schedule never replaces one of them.
//
// Threads: InitializeResetSchedule and ClearForTesting run on the start-up
// thread before any request is accepted. Everything else may be called from
// any thread. The schedules live under the registry lock
// (WithLockedSchedules), where their reset times move on and the defined
// ones come and go; the presence tests read a snapshot of the keys
// (SnapshotCell) and take no contended lock.
#pragma once

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/reset_schedule_info.h"
#include "leaderboard.pb.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/core/snapshot_cell.h"
#include "vel/core/json.h"

namespace plemox {

class ResetScheduleRegistry {
 public:
  // Leaderboard key -> schedule. Iteration order is the registry order.
  using ScheduleMap = std::map<std::string, ResetSchedule>;

  // The fields of one schedule of a leaderboard defined at run time, as
  // the definition holds them (checked by CheckDefinedSchedule).
  struct DefinedSchedule {
    std::string leaderboard_id;
    std::string period;  // "day", "week" or "month"
    std::int64_t interval = 1;
    std::string starts;
    std::string ends;
    bool operator==(const DefinedSchedule& other) const {
      return leaderboard_id == other.leaderboard_id && period == other.period &&
             interval == other.interval && starts == other.starts &&
             ends == other.ends;
    }
  };

  ResetScheduleRegistry() = delete;

  // Validates `reset_schedules` and registers one schedule per element, with
  // occurrences computed around ResetSchedule::Now() (or `now`). Null or an
  // empty array means no schedules, unless dated weekly tables are on, which
  // require at least one. Returns false (with the reason logged) when the
  // value is invalid; two schedules with the same leaderboard key are a fatal
  // configuration error.
  static bool InitializeResetSchedule(const vel::Json& reset_schedules);
  static bool InitializeResetSchedule(const vel::Json& reset_schedules,
                                      const boost::posix_time::ptime& now);

  // Checks `reset_schedules`: a non-empty array of objects, each with a
  // string "leaderboard_id", a "period" of "day", "week" or "month", an
  // integer "interval" from 1 to ResetSchedule::kMaxInterval and "starts" and
  // "ends" texts that ParseDateTime accepts. Logs the first fault at error
  // level and returns false. With dated weekly tables on, a period other
  // than "week" is fatal (not implemented).
  static bool ValidateResetSchedule(const vel::Json& reset_schedules);

  // Checks one schedule of a definition made at run time (an element of the
  // manifest's form, "leaderboard_id" included) as ValidateResetSchedule
  // checks the manifest's, without logging or stopping: false with the
  // first fault in *error. With dated weekly tables on, every schedule is
  // refused (their tables are made at start-up). Pure; any thread.
  static bool CheckDefinedSchedule(const vel::Json& element,
                                   std::string* error);

  // Makes `schedules` the schedules of the leaderboards defined at run time:
  // schedules defined before and absent now stop, new or changed ones are
  // built around `now`, unchanged ones keep their state. A schedule whose
  // key the manifest has is ignored (logged). REQUIRES: every element
  // passed CheckDefinedSchedule.
  static void ReplaceDefinedSchedules(
      const std::vector<DefinedSchedule>& schedules,
      const boost::posix_time::ptime& now);

  // Whether the schedule with this key comes from the manifest.
  static bool IsManifestSchedule(const std::string& leaderboard_key);

  // The leaderboard ids that have a schedule in the manifest.
  static std::set<std::string> ManifestLeaderboardIds();

  // Whether `leaderboard_id` has a daily, weekly or monthly schedule. No lock.
  // REQUIRES: !leaderboard_id.empty() (fatal otherwise).
  static bool HasDaySchedule(const std::string& leaderboard_id);
  static bool HasWeekSchedule(const std::string& leaderboard_id);
  static bool HasMonthSchedule(const std::string& leaderboard_id);

  // Whether a schedule with this leaderboard key exists. No lock.
  static bool HasSchedule(const std::string& leaderboard_key);

  // Copies the past and next reset of the weekly schedule of
  // `leaderboard_id` to *past and *next and returns true; returns false and
  // leaves both untouched when it has none. Takes the registry lock.
  // REQUIRES: !leaderboard_id.empty(), past and next non-null (fatal).
  static bool GetWeeklyScheduleDateTimes(const std::string& leaderboard_id,
                                         boost::posix_time::ptime* past,
                                         boost::posix_time::ptime* next);

  // The schedule facts that a submission or deletion of `leaderboard_id`
  // carries: the three presence tests and the weekly past and next reset
  // (not-a-date-time without a weekly schedule). REQUIRES: non-empty id.
  static ResetScheduleInfo MakeResetScheduleInfo(
      const std::string& leaderboard_id);

  // With dated weekly tables on: leaderboard id -> the week date texts of
  // its dated weekly tables as seen on today (the date of
  // ResetSchedule::Now(), or `today`), for each weekly schedule in registry
  // order (see ResetSchedule::DatedWeekTexts). Empty with the flag off.
  static std::map<std::string, std::vector<std::string>>
  GetDatedWeeklyTableDates();
  static std::map<std::string, std::vector<std::string>>
  GetDatedWeeklyTableDates(const boost::gregorian::date& today);

  // The leaderboard key of `leaderboard_id`'s schedule of period 0 (day),
  // 1 (week) or 2 (month). Any other number logs a warning and gives "".
  static std::string MakeLeaderboardKeyByPeriod(
      const std::string& leaderboard_id, std::int64_t period);
  // The leaderboard key of the schedule that rolls `timespan` over: kDaily
  // gives "_day", kWeekly "_week", kMonthly "_month". Any other timespan logs
  // a warning and gives "".
  static std::string MakeLeaderboardKeyByTimespan(
      const std::string& leaderboard_id,
      Leaderboard::LeaderboardQuery::TimeSpan timespan);

  // Runs `f(ScheduleMap&)` under the registry lock and returns its result.
  // For the reset check and status reads: keep `f` short and call nothing
  // that may take the lock again or wait on another subsystem.
  template <typename F>
  static auto WithLockedSchedules(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::forward<F>(f)(the_reset_schedules);
  }

  // A copy of the schedule with this leaderboard key, taken under the lock;
  // nullopt when there is none.
  static std::optional<ResetSchedule> Find(const std::string& leaderboard_key);

  // A copy of every schedule in registry order, taken under the lock.
  static std::vector<ResetSchedule> Snapshot();

  // Forgets every schedule (tests only).
  static void ClearForTesting();

 private:
  static bool HasScheduleOf(const std::string& leaderboard_id,
                            const char* suffix);

  // Guards the schedules and the defined ones' fields.
  static std::mutex mutex_;
  static ScheduleMap the_reset_schedules;  // GUARDED_BY(mutex_)
  // Leaderboard key -> fields of the schedules defined at run time.
  static std::map<std::string, DefinedSchedule> the_defined;  // GUARDED_BY
  // The manifest's keys. Written only during start-up.
  static std::set<std::string> the_manifest_keys;
  // Every key of the_reset_schedules, republished on every change.
  static SnapshotCell<std::set<std::string>> the_keys;
};

}  // namespace plemox
