// The part of the service's metrics that is read when /metrics is scraped:
// values other subsystems keep anyway (sessions, database write counts, the
// bulk queue, mastership, the reset schedules), so that nothing on the
// request path pays for them.
#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "common/date_time_text.h"
#include "database/store/bulk_insert_queue.h"
#include "database/store/db_connection_mariadb.h"
#include "database/store/db_write_backlog.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/database_write_counter.h"
#include "leaderboard/service/game_port_access.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session_registry.h"
#include "vel/metrics/metrics_registry.h"

namespace plemox {
namespace {

using prometheus::MetricFamily;
using prometheus::MetricType;
using vel::MetricsRegistry;

std::mutex the_collector_mutex;
int the_collector_id = 0;  // GUARDED_BY(the_collector_mutex); 0: none

void CollectSessions(MetricsRegistry::Families* families) {
  MetricFamily* sessions = MetricsRegistry::AddFamily(
      families, "plemox_leaderboard_sessions",
      "Sessions of game connections by state (authenticated or not yet)",
      MetricType::Gauge);
  // Two readings, so a session that authenticates in between may show in
  // neither; never in both.
  const std::size_t all = SessionRegistry::Size();
  const std::size_t authenticated =
      SessionRegistry::CountInState(ClientSession::kAuthenticated);
  MetricsRegistry::AddSample(sessions, {{"state", "authenticated"}},
                             static_cast<double>(authenticated));
  MetricsRegistry::AddSample(
      sessions, {{"state", "unauthenticated"}},
      static_cast<double>(all > authenticated ? all - authenticated : 0));
}

void CollectDatabaseWrites(MetricsRegistry::Families* families) {
  const DatabaseWriteCounter::Snapshot snapshot = DatabaseWriteCounter::Take();
  const vel::Mariadb::WriteStats& single = snapshot.single;
  const vel::Mariadb::WriteStats& bulk = snapshot.bulk;
  const std::size_t queued = snapshot.queued;

  MetricFamily* writes = MetricsRegistry::AddFamily(
      families, "plemox_database_writes_total",
      "Score writes to the database by path (single statements or bulk "
      "statements) and outcome: done, failed (refused by the server), "
      "dropped (pending write limit), abandoned (unwritten at shutdown), "
      "handed_over (to the write backlog in Redis)",
      MetricType::Counter);
  MetricFamily* retried = MetricsRegistry::AddFamily(
      families, "plemox_database_writes_retried_total",
      "Score writes kept and retried because the database was unreachable",
      MetricType::Counter);
  MetricFamily* waiting = MetricsRegistry::AddFamily(
      families, "plemox_database_writes_waiting",
      "Score writes queued, running or waiting for a retry", MetricType::Gauge);
  for (const auto& [path, stats] :
       {std::make_pair("single", single), std::make_pair("bulk", bulk)}) {
    const auto add = [&, path = path](const char* outcome, double value) {
      MetricsRegistry::AddSample(writes, {{"path", path}, {"outcome", outcome}},
                                 value);
    };
    add("done", static_cast<double>(stats.written));
    add("failed", static_cast<double>(stats.failed));
    add("dropped", static_cast<double>(stats.dropped));
    add("abandoned", static_cast<double>(stats.abandoned));
    add("handed_over", static_cast<double>(stats.handed_over));
    MetricsRegistry::AddSample(retried, {{"path", path}},
                               static_cast<double>(stats.retained));
    MetricsRegistry::AddSample(waiting, {{"path", path}},
                               static_cast<double>(stats.pending));
  }
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_database_bulk_queue_depth",
          "Score writes in the bulk insert queue, not yet sent",
          MetricType::Gauge),
      {}, static_cast<double>(queued));
}

void CollectWriteBacklog(MetricsRegistry::Families* families) {
  const auto backlog = DbWriteBacklog::Process();
  if (!backlog) return;
  const DbWriteBacklog::Stats stats = backlog->stats();
  // A family of one unlabelled sample.
  const auto single = [families](const char* name, const char* help,
                                 MetricType type, double value) {
    MetricsRegistry::AddSample(
        MetricsRegistry::AddFamily(families, name, help, type), {}, value);
  };
  // A family of two samples told apart by "outcome".
  const auto two = [families](const char* name, const char* help,
                              const char* first, double first_value,
                              const char* second, double second_value) {
    MetricFamily* family =
        MetricsRegistry::AddFamily(families, name, help, MetricType::Counter);
    MetricsRegistry::AddSample(family, {{"outcome", first}}, first_value);
    MetricsRegistry::AddSample(family, {{"outcome", second}}, second_value);
  };
  single("plemox_database_backlog_entries",
         "Database writes handed over to the write backlog in Redis and not "
         "yet replayed, of every server sharing that Redis",
         MetricType::Gauge, static_cast<double>(stats.entries));
  single("plemox_database_backlog_oldest_age_seconds",
         "How long the oldest write of the write backlog has waited; 0 when "
         "it is empty",
         MetricType::Gauge, static_cast<double>(stats.oldest_age_ms) / 1000.0);
  single("plemox_database_backlog_replayed_rows_total",
         "Rows (score and profile writes) this server replayed from the "
         "write backlog",
         MetricType::Counter, static_cast<double>(stats.replayed_rows));
  two("plemox_database_backlog_replayed_total",
      "Write backlog entries this server replayed into the database, or "
      "skipped (malformed, or refused by the database: a table gone)",
      "replayed", static_cast<double>(stats.replayed_entries), "skipped",
      static_cast<double>(stats.skipped));
  two("plemox_database_backlog_handovers_total",
      "Database writes this server handed to the write backlog: stored, or "
      "failed (Redis did not take them: lost to the database)",
      "stored", static_cast<double>(stats.handed_over), "failed",
      static_cast<double>(stats.handover_failed));
}

void CollectMaster(MetricsRegistry::Families* families) {
  const std::string master = LeaderboardService::master_info();
  const bool is_master =
      !master.empty() && master == LeaderboardService::self_master_info();
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_leaderboard_master",
          "1 while this server is the master that runs scheduled resets",
          MetricType::Gauge),
      {}, is_master ? 1 : 0);
}

void CollectSchedules(MetricsRegistry::Families* families) {
  MetricFamily* next = MetricsRegistry::AddFamily(
      families, "plemox_reset_schedule_next_reset_timestamp_seconds",
      "Per reset schedule: when its next reset is due (Unix time); absent "
      "for an expired schedule",
      MetricType::Gauge);
  MetricFamily* last = MetricsRegistry::AddFamily(
      families, "plemox_reset_schedule_last_reset_timestamp_seconds",
      "Per reset schedule: when its last reset fell due (Unix time); absent "
      "before its start",
      MetricType::Gauge);
  for (const ResetSchedule& schedule : ResetScheduleRegistry::Snapshot()) {
    const std::map<std::string, std::string> labels = {
        {"leaderboard_key", schedule.key()}};
    double seconds = 0;
    if (!schedule.expired() &&
        LocalTimeToUnixSeconds(schedule.next_date_time(), &seconds)) {
      MetricsRegistry::AddSample(next, labels, seconds);
    }
    // Before its start a schedule's previous occurrence never happened.
    if (!(schedule.past_date_time() < schedule.starts()) &&
        LocalTimeToUnixSeconds(schedule.past_date_time(), &seconds)) {
      MetricsRegistry::AddSample(last, labels, seconds);
    }
  }
}

}  // namespace

void LeaderboardMetrics::InstallCollector() {
  std::lock_guard<std::mutex> lock(the_collector_mutex);
  if (the_collector_id != 0) return;
  the_collector_id =
      MetricsRegistry::AddCollector([](MetricsRegistry::Families* families) {
        CollectSessions(families);
        CollectDatabaseWrites(families);
        CollectWriteBacklog(families);
        CollectMaster(families);
        CollectSchedules(families);
        GamePortAccess::Collect(families);
      });
}

void LeaderboardMetrics::RemoveCollector() {
  std::lock_guard<std::mutex> lock(the_collector_mutex);
  if (the_collector_id == 0) return;
  MetricsRegistry::RemoveCollector(the_collector_id);
  the_collector_id = 0;
}

}  // namespace plemox
