// PeriodEnds: the hooks of the reset flows and the lifecycle of the archive
// and the notifier.
#include "leaderboard/period/period_ends.h"

#include <glog/logging.h>

#include <atomic>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_key.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/league/league_period_end.h"
#include "leaderboard/period/period_archiver.h"
#include "leaderboard/period/period_end_notifier.h"
#include "leaderboard/period/period_retention.h"
#include "leaderboard/period/webhook_client.h"
#include "vel/core/monotonic_clock.h"
#include "vel/mariadb/mariadb.h"
#include "vel/metrics/metrics_registry.h"

namespace plemox {
namespace {

using Leaderboard::LeaderboardQuery;

// The most archiving threads, and deliveries at the same time.
constexpr std::uint64_t kMaxConcurrency = 32;

// How long one reset check as master counts: the checks come about once a
// second while this server refreshes the master key.
constexpr std::int64_t kMasterGraceUs = 3000000;

// Everything Start creates; the hooks hold a copy while they use it.
struct PeriodEndState {
  std::string owner;
  std::shared_ptr<PeriodStore> store;
  std::unique_ptr<PeriodEndNotifier> notifier;
  std::unique_ptr<PeriodArchiver> archiver;
  std::shared_ptr<LeaguePeriodEnd> leagues;
  int collector_id = 0;
};

std::mutex the_state_mutex;
std::shared_ptr<PeriodEndState> the_state;  // GUARDED_BY(the_state_mutex)
// Monotonic microseconds until which this server counts as master.
std::atomic<std::int64_t> the_master_until{0};

std::shared_ptr<PeriodEndState> State() {
  std::lock_guard<std::mutex> lock(the_state_mutex);
  return the_state;
}

bool IsMaster() { return vel::MonotonicClock::Now() < the_master_until.load(); }

// Whether ends of `period` periods are recorded at all.
bool Records(const std::string& period) {
  return PeriodRetention::Keeps(period) ||
         !FLAGS_period_end_webhook_url.empty();
}

// Whether `leaderboard_id` is a league of `period`: its moves need the
// period's row whatever the archive keeps.
bool IsLeagueOf(const std::string& leaderboard_id, const std::string& period) {
  RankingOption option;
  RankingOptions::GetRankingOption(leaderboard_id, &option);
  return option.is_league() && option.league->period == period;
}

// The previous-period ranking a rollover of `period` fills.
LeaderboardQuery::TimeSpan PreviousTimespan(const std::string& period) {
  if (period == "week") return LeaderboardQuery::kLastWeek;
  if (period == "month") return LeaderboardQuery::kLastMonth;
  return LeaderboardQuery::kYesterday;
}

// A period end of `leaderboard_id` with its keys; nullopt when nothing of
// it is recorded.
std::optional<PeriodEnd> MakeEnd(const std::string& leaderboard_id,
                                 const std::string& period,
                                 const std::string& reset,
                                 const boost::posix_time::ptime& calendar_start,
                                 const boost::posix_time::ptime& end,
                                 const std::string& idempotency_key) {
  if (!State() || !(Records(period) || IsLeagueOf(leaderboard_id, period))) {
    return std::nullopt;
  }
  PeriodEnd period_end;
  period_end.leaderboard_id = leaderboard_id;
  period_end.leaderboard_key = leaderboard_id + "_" + period;
  period_end.period = period;
  period_end.reset = reset;
  period_end.calendar_start = calendar_start;
  period_end.end = end;
  period_end.idempotency_key = idempotency_key;
  period_end.keep_standings = PeriodRetention::Keeps(period);
  period_end.notify = !FLAGS_period_end_webhook_url.empty();
  if (period == "week" && FLAGS_use_leaderboard_table_with_date) {
    // The week's own dated key: nothing replaces it, no marker is needed.
    period_end.source_key =
        MakeLeaderboardKey(leaderboard_id, LeaderboardQuery::kWeekly, end);
  } else {
    period_end.source_key =
        MakeLeaderboardKey(leaderboard_id, PreviousTimespan(period),
                           boost::posix_time::not_a_date_time);
    period_end.marker_key = MakeClosedPeriodsKey(leaderboard_id);
  }
  return period_end;
}

void CollectMetrics(const PeriodEndState& state,
                    vel::MetricsRegistry::Families* families) {
  using prometheus::MetricType;
  using vel::MetricsRegistry;
  const PeriodArchiver::Counts archived = state.archiver->counts();
  const LeaguePeriodEnd::Counts league = state.leagues->counts();
  const std::pair<const char*, std::uint64_t> league_counters[] = {
      {"plemox_league_cohorts_finished_total", league.cohorts},
      {"plemox_league_players_moved_total", league.moved},
      {"plemox_league_periods_finished_total", league.periods},
      {"plemox_league_placements_written_total", league.placements}};
  const char* const league_help[] = {
      "League cohorts whose moves this server wrote at a period end",
      "Players this server moved up or down a tier at a period end",
      "League periods this server finished (moves, tiers, waiting players)",
      "Placements in cohorts this server wrote to the database"};
  for (std::size_t i = 0; i < std::size(league_counters); ++i) {
    MetricsRegistry::AddSample(
        MetricsRegistry::AddFamily(families, league_counters[i].first,
                                   league_help[i], MetricType::Counter),
        {}, static_cast<double>(league_counters[i].second));
  }
  auto* periods = MetricsRegistry::AddFamily(
      families, "plemox_period_archive_periods_total",
      "Closed periods this server archived, or recorded as lost (their "
      "standings could not be read)",
      MetricType::Counter);
  MetricsRegistry::AddSample(periods, {{"outcome", "archived"}},
                             static_cast<double>(archived.archived));
  MetricsRegistry::AddSample(periods, {{"outcome", "lost"}},
                             static_cast<double>(archived.lost));
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_period_archive_standings_total",
          "Players of closed periods this server wrote to the archive",
          MetricType::Counter),
      {}, static_cast<double>(archived.standings));
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_period_archive_expired_total",
          "Archived periods this server removed after their retention",
          MetricType::Counter),
      {}, static_cast<double>(archived.expired));
  if (!state.notifier) return;
  const PeriodEndNotifier::Counts notified = state.notifier->counts();
  auto* table = MetricsRegistry::AddFamily(
      families, "plemox_period_end_notifications",
      "Period-end notifications in the database by state: waiting (for "
      "their period's standings), pending, delivered, failed (read every "
      "few seconds)",
      MetricType::Gauge);
  for (const char* state_name : {"waiting", "pending", "delivered", "failed"}) {
    const auto it = notified.table.find(state_name);
    MetricsRegistry::AddSample(
        table, {{"state", state_name}},
        it == notified.table.end() ? 0 : static_cast<double>(it->second));
  }
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_period_end_notification_attempts_total",
          "Period-end notification POSTs this server sent",
          MetricType::Counter),
      {}, static_cast<double>(notified.attempts));
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_period_end_notifications_delivered_total",
          "Period-end notifications this server delivered (2xx answers)",
          MetricType::Counter),
      {}, static_cast<double>(notified.delivered));
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_period_end_notifications_failed_total",
          "Period-end notifications this server gave up after the last "
          "attempt",
          MetricType::Counter),
      {}, static_cast<double>(notified.failed));
}

}  // namespace

void PeriodEnds::Start(const std::string& server_url,
                       const std::string& user_id, const std::string& password,
                       const std::string& database_name,
                       const std::string& character_set,
                       std::int64_t slow_query_threshold_ms,
                       const std::string& owner) {
  const bool notify = !FLAGS_period_end_webhook_url.empty();
  bool leagues = false;
  for (const RankingOption& option : RankingOptions::GetAll()) {
    leagues = leagues || option.is_league();
  }
  if (!notify && !leagues && !Records("day") && !Records("week") &&
      !Records("month")) {
    LOG(INFO) << "Closed periods are neither archived nor notified";
    return;
  }
  LEADERBOARD_ASSERT(
      !notify || WebhookClient::IsSupportedUrl(FLAGS_period_end_webhook_url))
      << "--period_end_webhook_url must be an http:// or https:// URL: "
      << FLAGS_period_end_webhook_url;
  LEADERBOARD_ASSERT(!notify || WebhookClient::GlobalInitialize())
      << "Failed to initialise libcurl for the period-end notifications.";
  LEADERBOARD_ASSERT(FLAGS_period_archive_threads >= 1 &&
                     FLAGS_period_archive_threads <= kMaxConcurrency)
      << "--period_archive_threads must be 1 to " << kMaxConcurrency;
  LEADERBOARD_ASSERT(FLAGS_period_end_webhook_concurrency >= 1 &&
                     FLAGS_period_end_webhook_concurrency <= kMaxConcurrency)
      << "--period_end_webhook_concurrency must be 1 to " << kMaxConcurrency;
  const std::size_t archivers =
      static_cast<std::size_t>(FLAGS_period_archive_threads);
  const std::size_t deliveries =
      notify ? static_cast<std::size_t>(FLAGS_period_end_webhook_concurrency)
             : 0;
  auto state = std::make_shared<PeriodEndState>();
  state->owner = owner;
  // A connection for each archiving thread and each delivery, and one for
  // the forced resets and the HTTP reads.
  state->store = PeriodStore::Create(
      server_url, user_id, password, database_name, character_set,
      slow_query_threshold_ms, archivers + deliveries + 1);
  LEADERBOARD_ASSERT(state->store)
      << "Failed to connect the period archive to the database.";
  if (!state->store->TablesExist()) {
    // Without its tables every reset would fail: the archive stays off,
    // unless notifications were asked for, which cannot be kept then.
    LEADERBOARD_ASSERT(!notify)
        << "The period archive's tables are missing (period_archive, "
           "period_archive_standing, period_end_notification): install the "
           "schema, or leave --period_end_webhook_url empty.";
    LOG(ERROR) << "The period archive's tables are missing (period_archive, "
                  "period_archive_standing, period_end_notification); closed "
                  "periods are not archived. Install the schema (see schema "
                  "export) or set the --period_archive_retention_* flags to 0.";
    state->store->Finalize();
    return;
  }
  if (notify) {
    state->notifier =
        std::make_unique<PeriodEndNotifier>(state->store, &IsMaster);
    LOG_IF(WARNING, FLAGS_period_end_webhook_secret.empty())
        << "Period-end notifications are sent unsigned: "
           "--period_end_webhook_secret is empty";
  }
  PeriodEndNotifier* notifier = state->notifier.get();
  state->archiver = std::make_unique<PeriodArchiver>(state->store, owner,
                                                     &IsMaster, [notifier] {
                                                       if (notifier)
                                                         notifier->Wake();
                                                     });
  state->archiver->Start(archivers);
  if (notifier) notifier->Start(deliveries);
  // The leagues' moves, on a database client of their own.
  auto league_client = vel::Mariadb::Create(
      server_url, user_id, password, database_name, 1, character_set,
      vel::Mariadb::kDefaultAutoRetryOnDeadlock,
      vel::Mariadb::kDefaultClientFlags, slow_query_threshold_ms,
      vel::Mariadb::kDefaultConnectionFailureHandler);
  LEADERBOARD_ASSERT(league_client && league_client->Initialize() &&
                     LeaguePeriodEnd::EnsureTables(*league_client))
      << "Failed to open the league tables.";
  state->leagues = std::make_shared<LeaguePeriodEnd>(std::move(league_client),
                                                     &IsMaster, [notifier] {
                                                       if (notifier)
                                                         notifier->Wake();
                                                     });
  state->leagues->Start();
  const PeriodEndState* collected = state.get();
  state->collector_id = vel::MetricsRegistry::AddCollector(
      [collected](vel::MetricsRegistry::Families* families) {
        CollectMetrics(*collected, families);
      });
  LOG(INFO) << "Closed periods are archived (days, weeks, months kept: "
            << FLAGS_period_archive_retention_days << ", "
            << FLAGS_period_archive_retention_weeks << ", "
            << FLAGS_period_archive_retention_months << ")"
            << (notify ? " and notified to " + FLAGS_period_end_webhook_url
                       : std::string(" and not notified"));
  std::lock_guard<std::mutex> lock(the_state_mutex);
  the_state = std::move(state);
}

void PeriodEnds::Stop() {
  std::shared_ptr<PeriodEndState> state;
  {
    std::lock_guard<std::mutex> lock(the_state_mutex);
    state = std::move(the_state);
    the_state.reset();
  }
  if (!state) return;
  vel::MetricsRegistry::RemoveCollector(state->collector_id);
  // A statement of the archive waiting for a hung database would hold the
  // shutdown until the read timeout: past the drain time the store's
  // connections are cut, again until the threads ended (an unfinished
  // archive is taken over after the restart).
  std::mutex mutex;
  std::condition_variable ended;
  bool stopped = false;  // GUARDED_BY(mutex)
  std::thread cutter([&] {
    std::unique_lock<std::mutex> lock(mutex);
    auto wait = std::chrono::milliseconds(FLAGS_mysql_db_shutdown_drain_ms);
    while (!ended.wait_for(lock, wait, [&] { return stopped; })) {
      state->store->Interrupt();
      wait = std::chrono::milliseconds(200);
    }
  });
  state->archiver->Stop();
  if (state->notifier) state->notifier->Stop();
  state->leagues->Stop();
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
  }
  ended.notify_all();
  cutter.join();
  state->store->Finalize();
}

std::optional<PeriodEnd> PeriodEnds::ScheduledEnd(
    const ResetSchedule& schedule,
    const boost::posix_time::ptime& schedule_date_time) {
  return MakeEnd(
      schedule.leaderboard_id(), PeriodToString(schedule.period()), "scheduled",
      schedule.OccurrenceBefore(schedule_date_time), schedule_date_time,
      schedule.key() + "/" + DateTimeToCompactText(schedule_date_time));
}

std::optional<PeriodEnd> PeriodEnds::RequestedEnd(
    const std::string& leaderboard_id, const std::string& period,
    const boost::posix_time::ptime& request_time,
    const std::string& schedule_date_time) {
  return MakeEnd(leaderboard_id, period, "requested",
                 boost::posix_time::not_a_date_time, request_time,
                 leaderboard_id + "_" + period + "/" + schedule_date_time);
}

std::optional<PeriodEnd> PeriodEnds::ForcedEnd(
    const ResetSchedule& schedule, const boost::posix_time::ptime& now) {
  if (schedule.period() == ResetScheduleTime::kWeek &&
      FLAGS_use_leaderboard_table_with_date) {
    return std::nullopt;  // Nothing rolls over.
  }
  auto calendar_start =
      schedule.past_date_time() <= now
          ? schedule.past_date_time()
          : schedule.OccurrenceBefore(schedule.past_date_time());
  // Before a schedule's first period no calendar period has begun: the
  // closed one starts at the previous reset, as without a schedule.
  if (!calendar_start.is_special() && calendar_start > now) {
    calendar_start = boost::posix_time::not_a_date_time;
  }
  return MakeEnd(
      schedule.leaderboard_id(), PeriodToString(schedule.period()), "forced",
      calendar_start, now,
      schedule.key() + "/forced/" + DateTimeToCompactText(now) + "/" +
          boost::uuids::to_string(boost::uuids::random_generator()()));
}

void PeriodEnds::InsertResetScheduleLog(
    const std::shared_ptr<DbConnection>& db, const std::string& leaderboard_id,
    const std::string& leaderboard_key, const std::string& schedule_date_time,
    const std::optional<PeriodEnd>& end,
    DbConnection::InsertResetScheduleLogCallback callback) {
  const auto state = State();
  if (!end || !state) {
    db->InsertResetScheduleLog(leaderboard_id, leaderboard_key,
                               schedule_date_time, std::move(callback));
    return;
  }
  db->InsertResetScheduleLogAndPeriodEnd(*end, schedule_date_time, state->owner,
                                         std::move(callback));
}

bool PeriodEnds::RecordForcedEnd(const std::optional<PeriodEnd>& end,
                                 std::string* error) {
  const auto state = State();
  if (!end || !state) return true;
  return state->store->InsertPeriodEnd(*end, state->owner, error);
}

void PeriodEnds::OnRolledOver(const std::optional<PeriodEnd>& end,
                              bool rolled_over) {
  const auto state = State();
  if (!end || !state) return;
  state->archiver->Archive(*end, rolled_over);
  state->leagues->Wake();
}

void PeriodEnds::OnResetCheck(bool is_master) {
  const bool was_master = IsMaster();
  the_master_until.store(is_master ? vel::MonotonicClock::Now() + kMasterGraceUs
                                   : 0);
  if (!is_master || was_master) return;
  const auto state = State();
  if (!state) return;
  state->archiver->SweepSoon();
  if (state->notifier) state->notifier->Wake();
  state->leagues->Wake();
}

std::shared_ptr<LeaguePeriodEnd> PeriodEnds::leagues() {
  const auto state = State();
  return state ? state->leagues : nullptr;
}

std::shared_ptr<PeriodStore> PeriodEnds::store() {
  const auto state = State();
  return state ? state->store : nullptr;
}

}  // namespace plemox
