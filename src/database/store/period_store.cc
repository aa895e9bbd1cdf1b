// PeriodStore: the archive's and the notifications' operations on their own
// MariaDB client.
#include "database/store/period_store.h"

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <sstream>

#include "common/date_time_text.h"
#include "database/store/period_statements.h"

namespace plemox {
namespace {

namespace statements = period_statements;

// Standings removed per DELETE, so that removing a large period never holds
// its locks for long.
constexpr std::size_t kDeleteBatch = 10000;
// Periods looked at per expiry statement.
constexpr std::size_t kExpiryBatch = 100;

boost::posix_time::ptime TimeOf(const vel::ResultSets& result,
                                std::size_t column) {
  boost::posix_time::ptime time(boost::posix_time::not_a_date_time);
  ParseDateTime(result.GetString(column), &time);
  return time;
}

std::uint64_t IdOf(const vel::ResultSets& result, std::size_t column) {
  return static_cast<std::uint64_t>(result.GetInt(column));
}

// One standing of a result row (columns of the read statements).
ArchivedStanding StandingOf(vel::ResultSets& result) {
  ArchivedStanding standing;
  standing.position = result.GetInt(0);
  standing.competition_rank = result.GetInt(1);
  standing.dense_rank = result.GetInt(2);
  standing.score = result.GetDouble(3);
  standing.time_stamp_ms = result.GetInt(4);
  standing.service_provider = result.GetString(5);
  standing.local_account = result.GetString(6);
  if (!result.IsNull(7)) standing.tiebreak_score = result.GetDouble(7);
  return standing;
}

// The rows of the current result set, each made by `row_of`.
template <typename Row>
std::vector<Row> RowsOf(vel::ResultSets& result,
                        Row (*row_of)(vel::ResultSets&)) {
  std::vector<Row> rows;
  rows.reserve(result.GetRowCount());
  while (result.SeekNextRow()) rows.push_back(row_of(result));
  return rows;
}

PlayerProfileRow ProfileOf(vel::ResultSets& result) {
  PlayerProfileRow row;
  row.service_provider = result.GetString(0);
  row.local_account = result.GetString(1);
  row.display_name = result.GetString(2);
  row.metadata = result.GetString(3);
  return row;
}

PeriodStore::ArchivedPeriod ListedPeriodOf(vel::ResultSets& result) {
  PeriodStore::ArchivedPeriod period;
  period.period = result.GetString(0);
  period.start = TimeOf(result, 1);
  period.end = TimeOf(result, 2);
  period.reset = result.GetString(3);
  period.player_count = result.GetInt(4);
  return period;
}

PeriodStore::OpenNotification OpenNotificationOf(vel::ResultSets& result) {
  PeriodStore::OpenNotification row;
  row.notification_id = IdOf(result, 0);
  row.idempotency_key = result.GetString(1);
  row.leaderboard_id = result.GetString(2);
  row.period = result.GetString(3);
  row.period_start = result.GetString(4);
  row.period_end = result.GetString(5);
  row.state = result.GetString(6);
  row.attempts = static_cast<int>(result.GetInt(7));
  row.next_attempt_at = result.GetString(8);
  row.last_error = result.GetString(9);
  return row;
}

}  // namespace

std::shared_ptr<PeriodStore> PeriodStore::Create(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    const std::string& character_set, std::int64_t slow_query_threshold_ms,
    std::size_t connection_count) {
  auto client = vel::Mariadb::Create(
      server_url, user_id, password, database_name, connection_count,
      character_set, vel::Mariadb::kDefaultAutoRetryOnDeadlock,
      vel::Mariadb::kDefaultClientFlags, slow_query_threshold_ms,
      vel::Mariadb::kDefaultConnectionFailureHandler);
  if (!client || !client->Initialize()) {
    LOG(ERROR) << "Failed to connect the period archive's database client"
               << ": server=" << server_url;
    return nullptr;
  }
  return std::make_shared<PeriodStore>(std::move(client));
}

PeriodStore::PeriodStore(std::shared_ptr<vel::Mariadb> client)
    : client_(std::move(client)) {}

PeriodStore::~PeriodStore() { Finalize(); }

void PeriodStore::Finalize() {
  auto client = std::atomic_exchange(&client_, {});
  if (client) client->Finalize();
}

void PeriodStore::Interrupt() {
  if (const auto client = this->client()) client->Interrupt();
}

std::shared_ptr<vel::Mariadb> PeriodStore::client() const {
  return std::atomic_load(&client_);
}

bool PeriodStore::Run(const char* operation, const std::string& statement,
                      std::shared_ptr<vel::ResultSets>* result) {
  const auto db = client();
  if (!db) {
    LOG(WARNING) << "Period archive: " << operation
                 << " skipped: the database client is closed";
    return false;
  }
  std::shared_ptr<vel::ResultSets> sets;
  const vel::Mariadb::Error error = db->ExecuteQuerySync(statement, &sets);
  if (error) {
    LOG(ERROR) << "Period archive: " << operation << " failed: " << error;
    return false;
  }
  if (result) *result = std::move(sets);
  return true;
}

void PeriodStore::RunAsync(
    const char* operation, const std::string& statement,
    std::function<void(bool failed, vel::ResultSets& result)> on_done) {
  const auto db = client();
  if (!db) {
    vel::ResultSets empty;
    on_done(true, empty);
    return;
  }
  db->ExecuteQuery(statement, [operation, on_done = std::move(on_done)](
                                  const std::shared_ptr<vel::ResultSets>& sets,
                                  const vel::Mariadb::Error& error) {
    if (error) {
      LOG(ERROR) << "Period archive: " << operation << " failed: " << error;
    }
    on_done(static_cast<bool>(error), *sets);
  });
}

bool PeriodStore::TablesExist() {
  std::shared_ptr<vel::ResultSets> result;
  return Run("look for the archive's tables",
             statements::MakeCountTablesQuery(), &result) &&
         result->SeekNextResultSet() && result->SeekNextRow() &&
         result->GetInt(0) == 3;
}

// --- The archive. -----------------------------------------------------------

bool PeriodStore::InsertPeriodEnd(const PeriodEnd& end,
                                  const std::string& owner,
                                  std::string* error) {
  const auto db = client();
  if (!db) {
    *error = "the database client is closed";
    return false;
  }
  const vel::Mariadb::Error failure = db->ExecuteQuerySync(
      statements::MakePeriodEndInsertQuery("", end, "", owner));
  if (failure) {
    std::ostringstream text;
    text << failure;
    *error = text.str();
    LOG(ERROR) << "Failed to record the period end: " << failure
               << ": idempotency key=" << end.idempotency_key;
    return false;
  }
  return true;
}

bool PeriodStore::ClaimPeriod(const std::string& idempotency_key,
                              const std::string& owner,
                              ClaimedPeriod* claimed) {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("claim a period",
           statements::MakeClaimPeriodQuery(idempotency_key, owner), &result)) {
    return false;
  }
  if (!result->SeekNextResultSet() || !result->SeekNextRow()) return false;
  claimed->period_id = IdOf(*result, 0);
  PeriodEnd& end = claimed->end;
  end.leaderboard_id = result->GetString(1);
  end.period = result->GetString(2);
  end.calendar_start = TimeOf(*result, 3);
  end.end = TimeOf(*result, 4);
  end.reset = result->GetString(5);
  end.source_key = result->GetString(6);
  end.marker_key = result->GetString(7);
  end.keep_standings = result->GetInt(8) != 0;
  claimed->notification_waits = result->GetInt(9) != 0;
  end.notify = claimed->notification_waits;
  end.leaderboard_key = end.leaderboard_id + "_" + end.period;
  end.idempotency_key = idempotency_key;
  return true;
}

bool PeriodStore::RenewLease(std::uint64_t period_id,
                             const std::string& owner) {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("renew a lease", statements::MakeRenewLeaseQuery(period_id, owner),
           &result)) {
    return false;
  }
  return result->SeekNextResultSet() && result->SeekNextRow() &&
         result->GetInt(0) == 1;
}

bool PeriodStore::DeleteStandings(std::uint64_t period_id) {
  for (;;) {
    std::shared_ptr<vel::ResultSets> result;
    if (!Run("delete standings",
             statements::MakeDeleteStandingsQuery(period_id, kDeleteBatch),
             &result)) {
      return false;
    }
    if (result->GetAffectedRowCount() < kDeleteBatch) return true;
  }
}

bool PeriodStore::InsertStandings(
    std::uint64_t period_id, const std::vector<ArchivedStanding>& standings) {
  if (standings.empty()) return true;
  return Run("insert standings",
             statements::MakeInsertStandingsQuery(period_id, standings));
}

bool PeriodStore::FinishPeriod(const ClaimedPeriod& period,
                               const std::string& owner,
                               std::int64_t player_count,
                               const std::string& document) {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("finish a period",
           statements::MakeFinishPeriodQuery(period.period_id,
                                             period.end.idempotency_key, owner,
                                             player_count, document),
           &result)) {
    return false;
  }
  return result->SeekNextResultSet() && result->SeekNextRow() &&
         result->GetInt(0) == 1;
}

bool PeriodStore::LosePeriod(const ClaimedPeriod& period,
                             const std::string& error) {
  return Run("mark a period lost",
             statements::MakeLosePeriodQuery(
                 period.period_id, period.end.idempotency_key, error));
}

bool PeriodStore::FindUnfinishedPeriods(std::size_t limit,
                                        std::vector<std::string>* keys) {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("find unfinished periods",
           statements::MakeUnfinishedPeriodsQuery(limit), &result)) {
    return false;
  }
  if (!result->SeekNextResultSet()) return true;
  while (result->SeekNextRow()) keys->push_back(result->GetString(0));
  return true;
}

bool PeriodStore::RemoveExpiredPeriods(const std::string& period,
                                       const boost::posix_time::ptime& cutoff,
                                       std::size_t limit,
                                       std::size_t* removed) {
  *removed = 0;
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("find expired periods",
           statements::MakeExpiredPeriodsQuery(period, cutoff,
                                               std::min(limit, kExpiryBatch)),
           &result)) {
    return false;
  }
  std::vector<std::uint64_t> ids;
  if (result->SeekNextResultSet()) {
    while (result->SeekNextRow()) ids.push_back(IdOf(*result, 0));
  }
  for (const std::uint64_t id : ids) {
    if (!DeleteStandings(id) ||
        !Run("remove a period", statements::MakeDeletePeriodQuery(id))) {
      return false;
    }
    ++*removed;
  }
  return true;
}

bool PeriodStore::RemoveDeliveredNotifications(int days) {
  return Run("remove delivered notifications",
             statements::MakeDeleteDeliveredQuery(days, kDeleteBatch));
}

// --- Notifications. ---------------------------------------------------------

bool PeriodStore::FindDueNotifications(std::size_t limit,
                                       std::vector<DueNotification>* due) {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("find due notifications",
           statements::MakeDueNotificationsQuery(limit), &result)) {
    return false;
  }
  if (!result->SeekNextResultSet()) return true;
  while (result->SeekNextRow()) {
    DueNotification notification;
    notification.notification_id = IdOf(*result, 0);
    notification.idempotency_key = result->GetString(1);
    notification.document = result->GetString(2);
    notification.attempts = static_cast<int>(result->GetInt(3));
    due->push_back(std::move(notification));
  }
  return true;
}

bool PeriodStore::ClaimNotification(std::uint64_t notification_id,
                                    std::int64_t claim_ms) {
  std::shared_ptr<vel::ResultSets> result;
  return Run("claim a notification",
             statements::MakeClaimNotificationQuery(notification_id, claim_ms),
             &result) &&
         result->GetAffectedRowCount() == 1;
}

bool PeriodStore::MarkDelivered(std::uint64_t notification_id) {
  return Run("mark a notification delivered",
             statements::MakeNotificationDeliveredQuery(notification_id));
}

bool PeriodStore::ScheduleRetry(std::uint64_t notification_id,
                                std::int64_t delay_ms,
                                const std::string& error) {
  return Run(
      "schedule a notification retry",
      statements::MakeNotificationRetryQuery(notification_id, delay_ms, error));
}

bool PeriodStore::MarkFailed(std::uint64_t notification_id,
                             const std::string& error) {
  return Run("mark a notification failed",
             statements::MakeNotificationFailedQuery(notification_id, error));
}

std::optional<std::int64_t> PeriodStore::MillisecondsToNextDue() {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("find the next due notification", statements::MakeNextDueQuery(),
           &result) ||
      !result->SeekNextResultSet() || !result->SeekNextRow() ||
      result->IsNull(0)) {
    return std::nullopt;
  }
  return std::max<std::int64_t>(0, result->GetInt(0));
}

bool PeriodStore::CountNotifications(
    std::map<std::string, std::int64_t>* counts) {
  std::shared_ptr<vel::ResultSets> result;
  if (!Run("count notifications", statements::MakeNotificationCountsQuery(),
           &result)) {
    return false;
  }
  counts->clear();
  if (!result->SeekNextResultSet()) return true;
  while (result->SeekNextRow()) {
    (*counts)[result->GetString(0)] = result->GetInt(1);
  }
  return true;
}

// --- Reads. -----------------------------------------------------------------

void PeriodStore::FindPeriod(const std::string& leaderboard_id,
                             const std::string& period,
                             const boost::posix_time::ptime& from,
                             const boost::posix_time::ptime& to,
                             const boost::posix_time::ptime& cutoff,
                             PeriodCallback callback) {
  RunAsync(
      "find a period",
      statements::MakeFindPeriodQuery(leaderboard_id, period, from, to, cutoff),
      [period, callback](bool failed, vel::ResultSets& result) {
        if (failed || !result.SeekNextResultSet() || !result.SeekNextRow()) {
          callback(failed, std::nullopt);
          return;
        }
        ArchivedPeriod found;
        found.period_id = IdOf(result, 0);
        found.period = period;
        found.start = TimeOf(result, 1);
        found.end = TimeOf(result, 2);
        found.player_count = result.GetInt(3);
        callback(false, found);
      });
}

void PeriodStore::ReadStandings(std::uint64_t period_id, std::int64_t first,
                                std::int64_t last, StandingsCallback callback) {
  RunRowsRead("read standings",
              statements::MakeStandingsQuery(period_id, first, last),
              &StandingOf, std::move(callback));
}

template <typename Row>
void PeriodStore::RunRowsRead(
    const char* operation, const std::string& statement,
    Row (*row_of)(vel::ResultSets&),
    std::function<void(bool failed, const std::vector<Row>& rows)> callback) {
  RunAsync(operation, statement,
           [row_of, callback = std::move(callback)](bool failed,
                                                    vel::ResultSets& result) {
             if (failed || !result.SeekNextResultSet()) {
               callback(true, {});
               return;
             }
             callback(false, RowsOf(result, row_of));
           });
}

void PeriodStore::ReadPlayerWindow(std::uint64_t period_id,
                                   const vel::PlayerAccount& account,
                                   std::int64_t begin, std::int64_t end,
                                   WindowCallback callback) {
  RunAsync(
      "read a player's window",
      statements::MakePlayerWindowQuery(period_id, account, begin, end),
      [callback](bool failed, vel::ResultSets& result) {
        if (failed || !result.SeekNextResultSet() || !result.SeekNextRow()) {
          callback(true, std::nullopt, {});
          return;
        }
        std::optional<std::int64_t> position;
        if (!result.IsNull(0)) position = result.GetInt(0);
        if (!result.SeekNextResultSet()) {
          callback(true, std::nullopt, {});
          return;
        }
        callback(false, position, RowsOf(result, &StandingOf));
      });
}

void PeriodStore::ReadPlayers(std::uint64_t period_id,
                              const std::vector<vel::PlayerAccount>& accounts,
                              StandingsCallback callback) {
  RunRowsRead("read players", statements::MakePlayersQuery(period_id, accounts),
              &StandingOf, std::move(callback));
}

void PeriodStore::ListPeriods(
    const std::string& leaderboard_id,
    const std::map<std::string, boost::posix_time::ptime>& cutoffs,
    PeriodsCallback callback) {
  constexpr std::size_t kMaxListed = 1000;
  RunRowsRead(
      "list periods",
      statements::MakeListPeriodsQuery(leaderboard_id, cutoffs, kMaxListed),
      &ListedPeriodOf, std::move(callback));
}

void PeriodStore::ReadProfiles(const std::string& leaderboard_id,
                               const std::vector<vel::PlayerAccount>& accounts,
                               ProfilesCallback callback) {
  RunRowsRead("read profiles",
              statements::MakeProfilesQuery(leaderboard_id, accounts),
              &ProfileOf, std::move(callback));
}

void PeriodStore::ListOpenNotifications(NotificationsCallback callback) {
  constexpr std::size_t kMaxListed = 1000;
  RunRowsRead("list notifications",
              statements::MakeOpenNotificationsQuery(kMaxListed),
              &OpenNotificationOf, std::move(callback));
}

void PeriodStore::ResendNotification(std::uint64_t notification_id,
                                     ResendCallback callback) {
  RunAsync("resend a notification",
           statements::MakeResendNotificationQuery(notification_id),
           [callback](bool failed, vel::ResultSets& result) {
             if (failed) {
               callback(true, "");
               return;
             }
             std::string state;
             if (result.SeekNextResultSet() && result.SeekNextRow()) {
               state = result.GetString(0);
             }
             callback(false, state);
           });
}

}  // namespace plemox
