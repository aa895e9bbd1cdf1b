// The scheduled reset: every server moves its schedules on once per election
// turn; the master rolls each due reset over, in the cache and the database,
// after recording it in the reset log, whose primary key (leaderboard key,
// schedule date time) lets one reset happen once even when two servers both
// believe they are master.
//
// A reset that falls due while no server is master (the master died just
// before it, or every server was down across it) would otherwise be lost:
// followers move past it, and a restarted server computes its schedules from
// today. So when a server becomes master it also performs, for each
// schedule, the last occurrence that has fallen due (not before the start,
// before the end) unless the log already holds it.
//
// Each reset also ends a period: its row in the period archive (and its
// notification) is written in the same transaction as the log row, and
// once the cache has rolled over the closed ranking is archived in the
// background (period_ends.h).
//
// A reset whose log lookup or insert failed (MariaDB away at midnight) is
// tried again while this server stays master, after 5 s and then less often
// (up to a minute): until its log row is written nothing rolls over, so a
// short outage delays the reset instead of losing it. A later occurrence of
// the same schedule that falls due meanwhile replaces the retry.
//
// A midnight of thousands of resets rotates the score tables one leaderboard
// after another, minutes after the period ended. The master holds back each
// leaderboard's database writes of the new period from just before the due
// instant until its rotation ran (DbConnection::HoldNewPeriodWrites); every
// way a reset ends releases them.
#include <glog/logging.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/period/period_ends.h"
#include "leaderboard/service/internal/master_election.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/top_answer_cache.h"

namespace plemox {
namespace {

namespace posix_time = boost::posix_time;

// Whether the last reset check ran as master; a check as master after one
// that was not (or the first) is a server becoming master.
std::atomic<bool> the_last_check_as_master{false};

// How long before a reset falls due the master holds back the new period's
// writes: the one-second check may run up to a second after the instant.
const posix_time::time_duration kEarlyHold = posix_time::seconds(2);

// The holds taken ahead of resets not yet due: token -> (leaderboard id,
// due time). A due reset takes its hold over; one that falls due without
// being performed (the server is no longer master) is released.
std::mutex the_early_holds_mutex;
std::map<std::string, std::pair<std::string, posix_time::ptime>>
    the_early_holds;  // GUARDED_BY(the_early_holds_mutex)

// What names a reset's hold on the writes of the period it starts.
std::string HoldToken(const std::string& leaderboard_key,
                      const std::string& schedule_date_time) {
  return leaderboard_key + "/" + schedule_date_time;
}

// Holds the database writes of `leaderboard_id` made from `period_end` on
// until ReleaseNewPeriodWrites (any thread).
void HoldNewPeriodWrites(const std::shared_ptr<DbConnection>& db,
                         const std::string& leaderboard_id,
                         const std::string& leaderboard_key,
                         const posix_time::ptime& period_end) {
  double seconds = 0;
  if (!db || !LocalTimeToUnixSeconds(period_end, &seconds)) return;
  db->HoldNewPeriodWrites(
      leaderboard_id,
      HoldToken(leaderboard_key, DateTimeToCompactText(period_end)),
      static_cast<std::int64_t>(seconds) * 1000);
}

void ReleaseNewPeriodWrites(const std::string& leaderboard_id,
                            const std::string& leaderboard_key,
                            const std::string& schedule_date_time) {
  if (const auto db = LeaderboardService::db_connection()) {
    db->ReleaseNewPeriodWrites(leaderboard_id,
                               HoldToken(leaderboard_key, schedule_date_time));
  }
}

// One reset to look up in the log and, when absent, to perform.
struct DueReset {
  std::string leaderboard_id;
  std::string leaderboard_key;
  posix_time::ptime schedule_date_time;
  ResetScheduleTime::Period period;
  // Found by the take-over check rather than by the calendar now.
  bool missed;
  // Tried again after a failure: logged only through RetryLater's lines.
  bool retried = false;
};

// A reset to try again: the next attempt's time and how many failed.
struct PendingRetry {
  DueReset reset;
  posix_time::ptime next_attempt;
  int failures = 0;
};

// The first retry comes after kFirstRetryDelay, each later one after twice
// the delay before, up to kLastRetryDelay.
const posix_time::time_duration kFirstRetryDelay = posix_time::seconds(5);
const posix_time::time_duration kLastRetryDelay = posix_time::seconds(60);

// The resets to try again, by leaderboard key (one per schedule: a later
// occurrence replaces an earlier one).
std::mutex the_retries_mutex;
std::map<std::string, PendingRetry>
    the_retries;  // GUARDED_BY(the_retries_mutex)

// Records the retry of `reset` after its `failures`-th failure. Caller
// holds the_retries_mutex.
void ScheduleRetry(const DueReset& reset, const char* what,
                   const posix_time::ptime& now, int failures) {
  posix_time::time_duration delay = kFirstRetryDelay;
  for (int i = 1; i < failures && delay < kLastRetryDelay; ++i) delay *= 2;
  if (delay > kLastRetryDelay) delay = kLastRetryDelay;
  // The first failure and then every tenth: an outage does not flood the
  // log with a line per schedule every few seconds.
  LOG_IF(WARNING, failures % 10 == 1)
      << "The reset is tried again: " << what << " failed"
      << ": leaderboard key=" << reset.leaderboard_key
      << ", schedule date time=" << DateTimeToText(reset.schedule_date_time)
      << ", failures=" << failures << ", next attempt in "
      << delay.total_seconds() << " s";
  DueReset again = reset;
  again.missed = true;  // a retry may find the reset logged after all
  again.retried = true;
  the_retries[reset.leaderboard_key] =
      PendingRetry{std::move(again), now + delay, failures};
}

// Releases the new period's writes that `reset` held.
void ReleaseHold(const DueReset& reset) {
  ReleaseNewPeriodWrites(reset.leaderboard_id, reset.leaderboard_key,
                         DateTimeToCompactText(reset.schedule_date_time));
}

// Logs that the retries of `reset` end unperformed and releases its hold.
void GiveUp(const DueReset& reset) {
  LOG(ERROR) << "A reset that could not be logged is given up: a later one "
                "of its schedule is due"
             << ": leaderboard key=" << reset.leaderboard_key
             << ", given up=" << DateTimeToText(reset.schedule_date_time);
  ReleaseHold(reset);
}

// Schedules `reset` to be tried again after a failure of the database
// (database client threads); `what` names the step that failed. The new
// period's writes stay held meanwhile. False (and the hold released) when
// a later occurrence of the schedule is pending already.
bool RetryLater(const DueReset& reset, const char* what) {
  const posix_time::ptime now = ResetSchedule::Now();
  std::optional<DueReset> given_up;
  {
    std::lock_guard<std::mutex> lock(the_retries_mutex);
    auto it = the_retries.find(reset.leaderboard_key);
    if (it != the_retries.end() &&
        it->second.reset.schedule_date_time > reset.schedule_date_time) {
      given_up = reset;
    } else {
      if (it != the_retries.end() &&
          it->second.reset.schedule_date_time != reset.schedule_date_time) {
        given_up = it->second.reset;
      }
      ScheduleRetry(
          reset, what, now,
          it != the_retries.end() && !given_up ? it->second.failures + 1 : 1);
    }
  }
  if (!given_up) return true;
  GiveUp(*given_up);
  return given_up->schedule_date_time != reset.schedule_date_time;
}

// A later occurrence of `reset`'s schedule is due: a retry of an earlier one
// is given up (rolling it over after the later one would move the new
// period away).
void SupersedeRetry(const DueReset& reset) {
  std::optional<DueReset> given_up;
  {
    std::lock_guard<std::mutex> lock(the_retries_mutex);
    const auto it = the_retries.find(reset.leaderboard_key);
    if (it == the_retries.end() ||
        it->second.reset.schedule_date_time >= reset.schedule_date_time) {
      return;
    }
    given_up = it->second.reset;
    the_retries.erase(it);
  }
  GiveUp(*given_up);
}

// The retries due at `now`, taken out; while this server is not master
// they are dropped (the master's own take-over check performs the last
// occurrence of every schedule).
std::vector<DueReset> TakeDueRetries(const posix_time::ptime& now,
                                     bool is_master) {
  std::vector<DueReset> due;
  std::vector<DueReset> dropped;
  std::unique_lock<std::mutex> lock(the_retries_mutex);
  if (!is_master) {
    for (const auto& [key, retry] : the_retries) dropped.push_back(retry.reset);
    the_retries.clear();
    lock.unlock();
    for (const DueReset& reset : dropped) ReleaseHold(reset);
    return due;
  }
  for (auto& [key, retry] : the_retries) {
    if (retry.next_attempt > now) continue;
    due.push_back(retry.reset);
    // In flight: not taken again before it ends (ForgetRetry or RetryLater
    // replaces this).
    retry.next_attempt = now + kLastRetryDelay;
  }
  return due;
}

// A reset logged (by this server or another): no retry pending for it.
void ForgetRetry(const DueReset& reset) {
  std::lock_guard<std::mutex> lock(the_retries_mutex);
  const auto it = the_retries.find(reset.leaderboard_key);
  if (it != the_retries.end() &&
      it->second.reset.schedule_date_time == reset.schedule_date_time) {
    the_retries.erase(it);
  }
}

// The occurrence a server that becomes master at `now` must make sure of:
// the schedule's previous occurrence, when the calendar has moved past it
// (the next one is still ahead) and it lies within the schedule. Otherwise
// not-a-date-time: a due next occurrence is the calendar's own case.
posix_time::ptime MissedOccurrence(const ResetSchedule& schedule,
                                   const posix_time::ptime& now) {
  const posix_time::ptime& past = schedule.past_date_time();
  if (past.is_special() || schedule.next_date_time().is_special()) {
    return posix_time::not_a_date_time;
  }
  if (now >= schedule.next_date_time() && !schedule.expired() &&
      now < schedule.ends()) {
    return posix_time::not_a_date_time;
  }
  if (past < schedule.starts() || past > now || past >= schedule.ends()) {
    return posix_time::not_a_date_time;
  }
  return past;
}

// The completions of a scheduled rollover in the cache and in the database
// (their completion threads): they only log.
void OnLeaderboardCacheReset(bool error, const std::string& leaderboard_key,
                             const std::string& schedule_date_time) {
  VLOG(2) << "OnLeaderboardCacheReset called";
  if (error) {
    LOG(ERROR) << "Failed to reset leaderboard"
               << "(Redis)"
               << ": leaderboard key=" << leaderboard_key
               << ", schedule date time=" << schedule_date_time;
    return;
  }
  LOG(INFO) << "The leaderboard reset was successful"
            << "(Redis)"
            << ": leaderboard key=" << leaderboard_key
            << ", schedule date time=" << schedule_date_time;
}

void OnLeaderboardDbReset(bool error, const std::string& leaderboard_key,
                          const std::string& schedule_date_time) {
  VLOG(2) << "OnLeaderboardDbReset called";
  if (error) {
    LOG(ERROR) << "Failed to reset leaderboard"
               << "(DB)"
               << ": leaderboard key=" << leaderboard_key
               << ", schedule date time=" << schedule_date_time;
    return;
  }
  LOG(INFO) << "The leaderboard reset was successful"
            << "(DB)"
            << ": leaderboard key=" << leaderboard_key
            << ", schedule date time=" << schedule_date_time;
}

// The rollover of one logged reset by the schedule's period: the cache and
// the database, issued one after the other; each completion logs. Database
// client threads.
void ResetLeaderboard(const std::string& leaderboard_id,
                      const std::string& leaderboard_key,
                      const std::string& schedule_date_time,
                      ResetScheduleTime::Period period,
                      const RankingOption& option,
                      const std::optional<PeriodEnd>& period_end) {
  const auto on_cache_reset = [leaderboard_key, schedule_date_time, period_end](
                                  bool error, const std::string& id) {
    TopAnswerCache::DropAnswersOf(id);
    OnLeaderboardCacheReset(error, leaderboard_key, schedule_date_time);
    PeriodEnds::OnRolledOver(period_end, !error);
  };
  const auto on_db_reset = [leaderboard_id, leaderboard_key,
                            schedule_date_time](const bool& error,
                                                const std::string&) {
    ReleaseNewPeriodWrites(leaderboard_id, leaderboard_key, schedule_date_time);
    OnLeaderboardDbReset(error, leaderboard_key, schedule_date_time);
  };
  const std::string closed_period =
      period_end ? period_end->idempotency_key : std::string();
  const auto db = LeaderboardService::db_connection();
  const auto reset_db =
      [&](void (DbConnection::*reset)(const std::string&, const std::string&,
                                      DbConnection::ResetLeaderboardCallback)) {
        if (!db) {
          LOG(WARNING) << "Failed to reset leaderboard"
                       << "(DB)"
                       << ". The database connection is closed"
                       << ": leaderboard key=" << leaderboard_key
                       << ", schedule date time=" << schedule_date_time;
          return;
        }
        ((*db).*reset)(leaderboard_id, leaderboard_key, on_db_reset);
      };
  switch (period) {
    case ResetScheduleTime::kDay:
      // clang-format off
      LEADERBOARD_ASSERT(! FLAGS_use_leaderboard_table_with_date)
          << "Not implemented yet.";
      // clang-format on
      RedisCache::ResetDailyLeaderboard(leaderboard_id, option, closed_period,
                                        on_cache_reset);
      reset_db(&DbConnection::ResetDailyLeaderboard);
      return;
    case ResetScheduleTime::kWeek:
      if (FLAGS_use_leaderboard_table_with_date) {
        // Each week has dated keys and tables of its own: nothing moves.
        ReleaseNewPeriodWrites(leaderboard_id, leaderboard_key,
                               schedule_date_time);
        OnLeaderboardDbReset(false, leaderboard_key, schedule_date_time);
        PeriodEnds::OnRolledOver(period_end, true);
        return;
      }
      RedisCache::ResetWeeklyLeaderboard(leaderboard_id, option, closed_period,
                                         on_cache_reset);
      reset_db(&DbConnection::ResetWeeklyLeaderboard);
      return;
    case ResetScheduleTime::kMonth:
      // clang-format off
      LEADERBOARD_ASSERT(! FLAGS_use_leaderboard_table_with_date)
          << "Not implemented yet.";
      // clang-format on
      RedisCache::ResetMonthlyLeaderboard(leaderboard_id, option, closed_period,
                                          on_cache_reset);
      reset_db(&DbConnection::ResetMonthlyLeaderboard);
      return;
  }
  LEADERBOARD_ASSERT(false) << "Unexpected value"
                            << ": period=" << static_cast<int>(period);
}

// The completion of the reset log insert (database client threads): the
// row inserted, performs the rollover; a failure, or a row another server
// inserted first, ends this reset with a log line.
void OnResetScheduleLogInserted(bool error, bool already_reset,
                                const DueReset& reset,
                                const std::string& leaderboard_id,
                                const std::string& leaderboard_key,
                                const std::string& schedule_date_time,
                                ResetScheduleTime::Period period,
                                const std::optional<PeriodEnd>& period_end) {
  VLOG(2) << "OnResetScheduleLogInserted called";
  if (error) {
    LOG_IF(ERROR, !reset.retried)
        << "Failed to insert reset schedule log"
        << ": leaderboard key=" << leaderboard_key
        << ", schedule date time=" << schedule_date_time;
    RetryLater(reset, "the reset log insert");
    return;
  }
  ForgetRetry(reset);
  if (already_reset) {
    ReleaseNewPeriodWrites(leaderboard_id, leaderboard_key, schedule_date_time);
  }
  if (already_reset) {
    LOG(WARNING) << "Failed to insert reset schedule log"
                 << ". "
                 << "the leaderboard has already been reset"
                 << ": leaderboard key=" << leaderboard_key
                 << ", schedule date time=" << schedule_date_time;
    return;
  }
  RankingOption option;
  RankingOptions::GetRankingOption(leaderboard_id, &option);
  LOG(INFO) << "A new reset schedule log is inserted, Now starting to reset "
               "leaderboard"
            << ": leaderboard key=" << leaderboard_key
            << ", schedule date time=" << schedule_date_time
            << ", enable_alltime=" << (option.enable_alltime ? 1 : 0)
            << ", enable_dense=" << (option.enable_dense ? 1 : 0);
  ResetLeaderboard(leaderboard_id, leaderboard_key, schedule_date_time, period,
                   option, period_end);
}

// The completion of the reset log lookup (database client threads): a reset
// not logged yet is logged next; a logged one is done, and `missed` (the
// take-over check) logs that at info level instead of as a warning.
void OnResetScheduleLogQueried(bool error, bool already_reset,
                               const std::string& reset_date_time,
                               const DueReset& reset,
                               const std::string& leaderboard_id,
                               const std::string& leaderboard_key,
                               const std::string& schedule_date_time,
                               ResetScheduleTime::Period period, bool missed,
                               const std::optional<PeriodEnd>& period_end) {
  VLOG(2) << "OnResetScheduleLogQueried called";
  if (already_reset) {
    ReleaseNewPeriodWrites(leaderboard_id, leaderboard_key, schedule_date_time);
  }
  if (error) {
    LOG_IF(ERROR, !reset.retried)
        << "Failed to query reset schedule log"
        << ": leaderboard key=" << leaderboard_key
        << ", schedule date time=" << schedule_date_time;
    RetryLater(reset, "the reset log lookup");
    return;
  }
  if (already_reset) {
    ForgetRetry(reset);
    // On taking over this is the usual case (the old master did it).
    LOG_IF(WARNING, !missed) << "The leaderboard has already been reset"
                             << ": leaderboard key=" << leaderboard_key
                             << ", schedule date time=" << schedule_date_time
                             << ", reset date time: " << reset_date_time;
    LOG_IF(INFO, missed) << "The leaderboard has already been reset"
                         << ": leaderboard key=" << leaderboard_key
                         << ", schedule date time=" << schedule_date_time
                         << ", reset date time: " << reset_date_time;
    return;
  }
  const auto db = LeaderboardService::db_connection();
  if (!db) {
    // The service is stopping: the next master's take-over performs it.
    LOG(WARNING) << "Failed to insert reset schedule log"
                 << ". The database connection is closed"
                 << ": leaderboard key=" << leaderboard_key
                 << ", schedule date time=" << schedule_date_time;
    ReleaseNewPeriodWrites(leaderboard_id, leaderboard_key, schedule_date_time);
    return;
  }
  LOG(INFO) << "Inserting a new reset schedule log"
            << ": leaderboard key=" << leaderboard_key
            << ", schedule date time: " << schedule_date_time;
  PeriodEnds::InsertResetScheduleLog(
      db, leaderboard_id, leaderboard_key, schedule_date_time, period_end,
      [reset, period, period_end](const bool& failed, const bool& duplicated,
                                  const std::string& id, const std::string& key,
                                  const std::string& date_time) {
        OnResetScheduleLogInserted(failed, duplicated, reset, id, key,
                                   date_time, period, period_end);
      });
}

// Starts one due reset by looking it up in the reset log (timer threads).
void StartReset(const DueReset& reset, const posix_time::ptime& now,
                const std::shared_ptr<DbConnection>& db) {
  const std::string schedule_date_time =
      DateTimeToCompactText(reset.schedule_date_time);
  // The last reset before this server became master is usually done
  // already (by the old master); the log tells.
  LOG_IF(INFO, !reset.retried)
      << (reset.missed ? "Leaderboard is going to be reset unless it "
                         "was done before this server became master"
                       : "Leaderboard is going to be reset")
      << ": leaderboard_key=" << reset.leaderboard_key
      << ", schedule_date_time=" << DateTimeToText(reset.schedule_date_time)
      << ", now=" << DateTimeToText(now);
  if (!db) {
    LOG(WARNING) << "Leaderboard reset skipped: the database connection is "
                    "closed"
                 << ": leaderboard_key=" << reset.leaderboard_key
                 << ", schedule_date_time=" << schedule_date_time;
    return;
  }
  const std::string id = reset.leaderboard_id;
  const std::string key = reset.leaderboard_key;
  HoldNewPeriodWrites(db, id, key, reset.schedule_date_time);
  const ResetScheduleTime::Period period = reset.period;
  const bool missed = reset.missed;
  std::optional<PeriodEnd> period_end;
  if (const auto schedule = ResetScheduleRegistry::Find(key)) {
    period_end = PeriodEnds::ScheduledEnd(*schedule, reset.schedule_date_time);
  }
  db->QueryResetScheduleLog(id, key, schedule_date_time,
                            [reset, id, key, schedule_date_time, period, missed,
                             period_end](const bool& failed, const bool& found,
                                         const std::string& reset_date_time) {
                              OnResetScheduleLogQueried(
                                  failed, found, reset_date_time, reset, id,
                                  key, schedule_date_time, period, missed,
                                  period_end);
                            });
}

}  // namespace

void service_internal::CheckResetTime(bool is_master) {
  PeriodEnds::OnResetCheck(is_master);
  const posix_time::ptime now = ResetSchedule::Now();
  const bool becoming_master =
      !the_last_check_as_master.exchange(is_master) && is_master;

  std::vector<DueReset> due;
  std::vector<DueReset> soon;
  ResetScheduleRegistry::WithLockedSchedules(
      [&](ResetScheduleRegistry::ScheduleMap& schedules) {
        for (auto& [key, schedule] : schedules) {
          const posix_time::ptime& next = schedule.next_date_time();
          if (is_master && !schedule.expired() && !next.is_special() &&
              next > now && next - now <= kEarlyHold &&
              next < schedule.ends()) {
            soon.push_back({schedule.leaderboard_id(), key, next,
                            schedule.period(), false});
          }
          VLOG(2) << "Checking the reset time of the leaderboard"
                  << ": leaderboard_key=" << key << ", schedule_date_time="
                  << DateTimeToText(schedule.schedule_date_time())
                  << ", now=" << DateTimeToText(now);
          if (becoming_master) {
            const posix_time::ptime missed = MissedOccurrence(schedule, now);
            if (!missed.is_special()) {
              due.push_back({schedule.leaderboard_id(), key, missed,
                             schedule.period(), true});
            }
          }
          if (schedule.IsResetTime(now) && is_master) {
            due.push_back({schedule.leaderboard_id(), key,
                           schedule.schedule_date_time(), schedule.period(),
                           false});
          }
        }
        return 0;
      });
  for (const DueReset& reset : due) SupersedeRetry(reset);
  for (DueReset& retry : TakeDueRetries(now, is_master)) {
    due.push_back(std::move(retry));
  }
  const auto db = LeaderboardService::db_connection();
  std::vector<std::pair<std::string, std::string>> lapsed;  // id, token
  {
    std::lock_guard<std::mutex> lock(the_early_holds_mutex);
    for (const DueReset& reset : db ? soon : std::vector<DueReset>()) {
      const std::string token =
          HoldToken(reset.leaderboard_key,
                    DateTimeToCompactText(reset.schedule_date_time));
      if (the_early_holds.count(token) != 0) continue;
      HoldNewPeriodWrites(db, reset.leaderboard_id, reset.leaderboard_key,
                          reset.schedule_date_time);
      the_early_holds.emplace(token, std::make_pair(reset.leaderboard_id,
                                                    reset.schedule_date_time));
    }
    for (const DueReset& reset : due) {
      the_early_holds.erase(
          HoldToken(reset.leaderboard_key,
                    DateTimeToCompactText(reset.schedule_date_time)));
    }
    for (auto it = the_early_holds.begin(); it != the_early_holds.end();) {
      if (it->second.second > now) {
        ++it;
        continue;
      }
      lapsed.emplace_back(it->second.first, it->first);
      it = the_early_holds.erase(it);
    }
  }
  for (const auto& [id, token] : lapsed) {
    if (db) db->ReleaseNewPeriodWrites(id, token);
  }
  for (const DueReset& reset : due) StartReset(reset, now, db);
}

}  // namespace plemox
