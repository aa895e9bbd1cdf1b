// PeriodEnds: what happens when a period ends, beyond the rollover: the
// closed period's standings are archived in MariaDB (PeriodArchiver) and,
// with --period_end_webhook_url, a period-end notification is delivered to
// the game's backend (PeriodEndNotifier). The reset flows call the hooks
// below; the hooks never wait for the archive or the delivery.
//
// A period end is recorded when the archive keeps its kind (retention not
// 0) or a webhook URL is set; with neither, every hook does what the reset
// flow did without it. The period's row, and its pending notification, are
// written in the same transaction as the reset log row (a forced reset,
// which has no log row, writes them before it rolls over), so a crash or a
// failover after the reset loses neither: the master takes over what is
// unfinished.
//
// Threads: Start and Stop on the install and uninstall thread; the hooks on
// the reset flows' threads (timer, event, cache and database completion,
// HTTP); the rest on any thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <memory>
#include <optional>
#include <string>

#include "common/period_end.h"
#include "database/store/db_connection.h"
#include "database/store/period_store.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/league/league_period_end.h"

namespace plemox {

class PeriodEnds {
 public:
  // Opens the period store and starts the archiver and, with a webhook URL,
  // the notifier, when any period end is to be recorded. `owner` is this
  // server's identity. A webhook URL that is not http(s):// and a database
  // that cannot be reached are fatal. Start-up thread, after the database
  // connection is up.
  static void Start(const std::string& server_url, const std::string& user_id,
                    const std::string& password,
                    const std::string& database_name,
                    const std::string& character_set,
                    std::int64_t slow_query_threshold_ms,
                    const std::string& owner);
  // Stops the threads and closes the store. Shutdown thread; idempotent.
  static void Stop();

  // The period end that the scheduled reset of `schedule` due at
  // `schedule_date_time` records; nullopt when none is recorded.
  static std::optional<PeriodEnd> ScheduledEnd(
      const ResetSchedule& schedule,
      const boost::posix_time::ptime& schedule_date_time);
  // The period end of `period` ("day", "week", "month") that a reset request
  // for `leaderboard_id` at `request_time` records, logged under
  // `schedule_date_time` (the request time's text); nullopt when none.
  static std::optional<PeriodEnd> RequestedEnd(
      const std::string& leaderboard_id, const std::string& period,
      const boost::posix_time::ptime& request_time,
      const std::string& schedule_date_time);
  // The period end that forcing the reset of `schedule` at `now` records;
  // nullopt when none (or when nothing rolls over: dated weeks).
  static std::optional<PeriodEnd> ForcedEnd(
      const ResetSchedule& schedule, const boost::posix_time::ptime& now);

  // Logs the reset as db->InsertResetScheduleLog does, with the same
  // completion; with a recorded `end`, in one transaction with its row.
  static void InsertResetScheduleLog(
      const std::shared_ptr<DbConnection>& db,
      const std::string& leaderboard_id, const std::string& leaderboard_key,
      const std::string& schedule_date_time,
      const std::optional<PeriodEnd>& end,
      DbConnection::InsertResetScheduleLogCallback callback);

  // Records a forced reset's period end before it rolls over (blocks for one
  // statement). True when recorded or when there is nothing to record;
  // false, with the reason in *error, when it could not be written.
  static bool RecordForcedEnd(const std::optional<PeriodEnd>& end,
                              std::string* error);

  // The cache rollover of `end` has finished (`rolled_over` false: it
  // failed). Marks which period the previous-period ranking now holds and
  // queues its archiving, or records it as lost. Returns at once.
  static void OnRolledOver(const std::optional<PeriodEnd>& end,
                           bool rolled_over);

  // The master flag of each reset check (timer threads): the take-over,
  // expiry and delivery run only while this server is master.
  static void OnResetCheck(bool is_master);

  // The leagues' period ends (and their history reads); null when nothing
  // is recorded.
  static std::shared_ptr<LeaguePeriodEnd> leagues();
  // The store of the archive's reads; null when nothing is recorded.
  static std::shared_ptr<PeriodStore> store();

  PeriodEnds() = delete;
};

}  // namespace plemox
