// PeriodStore: the period archive and the period-end notifications in
// MariaDB, on a client of their own (kConnectionCount connections unless
// the caller asks for more: one per archiving thread and delivery), so that
// archiving a large period or delivering notifications never holds a
// connection of the request path's pool. Statements come from
// period_statements.h.
//
// Threads: the synchronous operations block their caller for one statement
// and are meant for the archiver's and the notifier's own threads (and the
// forced reset, which blocks its HTTP thread anyway); the asynchronous reads
// complete on one of this client's worker threads. Every operation may run
// concurrently with the others. Failures are logged and reported as false
// (or `failed`); nothing throws.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/period_end.h"
#include "database/store/archived_standing.h"
#include "database/store/player_profile_row.h"
#include "vel/core/player_account.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {

class PeriodStore {
 public:
  static constexpr std::size_t kConnectionCount = 3;

  // A period whose archiving this server holds.
  struct ClaimedPeriod {
    std::uint64_t period_id = 0;
    PeriodEnd end;  // calendar_start holds the period's start
    // A notification waits for the document built from the standings.
    bool notification_waits = false;
  };

  // An archived period as reads find it.
  struct ArchivedPeriod {
    std::uint64_t period_id = 0;
    std::string period;
    std::string reset;
    boost::posix_time::ptime start;
    boost::posix_time::ptime end;
    std::int64_t player_count = 0;
  };

  // A pending notification due now.
  struct DueNotification {
    std::uint64_t notification_id = 0;
    std::string idempotency_key;
    std::string document;
    int attempts = 0;  // before this one
  };

  // A notification not delivered, for the HTTP list.
  struct OpenNotification {
    std::uint64_t notification_id = 0;
    std::string idempotency_key;
    std::string leaderboard_id;
    std::string period;
    std::string period_start;  // "" once its period is gone
    std::string period_end;
    std::string state;
    int attempts = 0;
    std::string next_attempt_at;
    std::string last_error;
  };

  // Opens the client with `connection_count` connections. Null (logged)
  // when it cannot connect. Controlling thread (start-up).
  static std::shared_ptr<PeriodStore> Create(
      const std::string& server_url, const std::string& user_id,
      const std::string& password, const std::string& database_name,
      const std::string& character_set, std::int64_t slow_query_threshold_ms,
      std::size_t connection_count = kConnectionCount);

  explicit PeriodStore(std::shared_ptr<vel::Mariadb> client);
  ~PeriodStore();
  PeriodStore(const PeriodStore&) = delete;
  PeriodStore& operator=(const PeriodStore&) = delete;

  // Lets queued statements finish and closes the client; later operations
  // fail. Idempotent.
  void Finalize();
  // Cuts the client's open connections: a statement waiting for a hung
  // database fails now (vel::Mariadb::Interrupt). Any thread.
  void Interrupt();

  // Whether the archive's three tables exist (false also on a failure).
  bool TablesExist();

  // --- The archive (synchronous). ---

  // Records the end of a forced reset (no reset log row): the period's row
  // and, when due, its notification, in one transaction. False (with the
  // reason in *error) when it could not be written.
  bool InsertPeriodEnd(const PeriodEnd& end, const std::string& owner,
                       std::string* error);

  // Takes over the archiving of the unfinished period `idempotency_key` for
  // `owner` when nobody else holds it. True with *claimed filled, false when
  // it is held elsewhere, finished, or on a failure.
  bool ClaimPeriod(const std::string& idempotency_key, const std::string& owner,
                   ClaimedPeriod* claimed);
  // Extends `owner`'s hold; false when it was lost (or on a failure).
  bool RenewLease(std::uint64_t period_id, const std::string& owner);
  // Removes every standing of the period (in bounded statements).
  bool DeleteStandings(std::uint64_t period_id);
  bool InsertStandings(std::uint64_t period_id,
                       const std::vector<ArchivedStanding>& standings);
  // The period is archived with `player_count` players; its waiting
  // notification becomes pending with `document`. False when `owner` no
  // longer held it or on a failure.
  bool FinishPeriod(const ClaimedPeriod& period, const std::string& owner,
                    std::int64_t player_count, const std::string& document);
  // The period's standings cannot be archived: it becomes 'lost' and its
  // waiting notification 'failed', both with `error`.
  bool LosePeriod(const ClaimedPeriod& period, const std::string& error);
  // Idempotency keys of unfinished periods whose hold has expired.
  bool FindUnfinishedPeriods(std::size_t limit, std::vector<std::string>* keys);
  // Removes finished periods of kind `period` that ended before `cutoff`
  // (and those whose standings were never kept), with their standings; at
  // most `limit` per call. *removed counts them.
  bool RemoveExpiredPeriods(const std::string& period,
                            const boost::posix_time::ptime& cutoff,
                            std::size_t limit, std::size_t* removed);
  // Removes notifications delivered more than `days` days ago.
  bool RemoveDeliveredNotifications(int days);

  // --- Notifications (synchronous). ---

  bool FindDueNotifications(std::size_t limit,
                            std::vector<DueNotification>* due);
  // Takes one attempt of the notification; false when another server took
  // it (or on a failure). `claim_ms` bounds how long the attempt holds it.
  bool ClaimNotification(std::uint64_t notification_id, std::int64_t claim_ms);
  bool MarkDelivered(std::uint64_t notification_id);
  bool ScheduleRetry(std::uint64_t notification_id, std::int64_t delay_ms,
                     const std::string& error);
  bool MarkFailed(std::uint64_t notification_id, const std::string& error);
  // Milliseconds until the next pending notification is due (0 when one is
  // overdue); nullopt when none is pending or on a failure.
  std::optional<std::int64_t> MillisecondsToNextDue();
  // The number of notifications per state.
  bool CountNotifications(std::map<std::string, std::int64_t>* counts);

  // --- Reads for queries and the HTTP API (asynchronous). ---

  using PeriodCallback = std::function<void(
      bool failed, const std::optional<ArchivedPeriod>& period)>;
  using StandingsCallback = std::function<void(
      bool failed, const std::vector<ArchivedStanding>& standings)>;
  using WindowCallback = std::function<void(
      bool failed, const std::optional<std::int64_t>& position,
      const std::vector<ArchivedStanding>& standings)>;
  using PeriodsCallback = std::function<void(
      bool failed, const std::vector<ArchivedPeriod>& periods)>;
  using NotificationsCallback = std::function<void(
      bool failed, const std::vector<OpenNotification>& notifications)>;
  // `state` is "" for an unknown notification.
  using ResendCallback =
      std::function<void(bool failed, const std::string& state)>;

  // The archived period of the leaderboard and kind starting in [from, to)
  // that has not expired at `cutoff` (see MakeFindPeriodQuery).
  void FindPeriod(const std::string& leaderboard_id, const std::string& period,
                  const boost::posix_time::ptime& from,
                  const boost::posix_time::ptime& to,
                  const boost::posix_time::ptime& cutoff,
                  PeriodCallback callback);
  // The standings at positions first..last, in order.
  void ReadStandings(std::uint64_t period_id, std::int64_t first,
                     std::int64_t last, StandingsCallback callback);
  // The player's first position (nullopt without an entry) and the
  // standings from that position + begin (at least 0) to position + end.
  void ReadPlayerWindow(std::uint64_t period_id,
                        const vel::PlayerAccount& account, std::int64_t begin,
                        std::int64_t end, WindowCallback callback);
  // The standings of `accounts`, by position. REQUIRES: !accounts.empty().
  void ReadPlayers(std::uint64_t period_id,
                   const std::vector<vel::PlayerAccount>& accounts,
                   StandingsCallback callback);
  // The archived periods of the leaderboard not expired at `cutoffs` (per
  // period word), latest start first.
  void ListPeriods(
      const std::string& leaderboard_id,
      const std::map<std::string, boost::posix_time::ptime>& cutoffs,
      PeriodsCallback callback);
  using ProfilesCallback = std::function<void(
      bool failed, const std::vector<PlayerProfileRow>& profiles)>;
  // The current display names and metadata of those of `accounts` that have
  // any on `leaderboard_id`. REQUIRES: !accounts.empty().
  void ReadProfiles(const std::string& leaderboard_id,
                    const std::vector<vel::PlayerAccount>& accounts,
                    ProfilesCallback callback);
  // Every notification not delivered, oldest first.
  void ListOpenNotifications(NotificationsCallback callback);
  // Makes the notification pending again, due now, with no attempts (not
  // one that still waits for its document).
  void ResendNotification(std::uint64_t notification_id,
                          ResendCallback callback);

 private:
  // The client, or null after Finalize.
  std::shared_ptr<vel::Mariadb> client() const;
  // Runs `statement` and waits; logs a failure with `operation`. On success
  // *result (when given) holds the result sets.
  bool Run(const char* operation, const std::string& statement,
           std::shared_ptr<vel::ResultSets>* result = nullptr);
  // Runs `statement` asynchronously; a failure is logged with `operation`
  // and `on_done` gets the result sets (never null) and whether it failed.
  void RunAsync(
      const char* operation, const std::string& statement,
      std::function<void(bool failed, vel::ResultSets& result)> on_done);

  // Runs a read whose first result set holds the rows, each made by
  // `row_of`; `callback` gets them in result order (none when it failed).
  template <typename Row>
  void RunRowsRead(
      const char* operation, const std::string& statement,
      Row (*row_of)(vel::ResultSets&),
      std::function<void(bool failed, const std::vector<Row>& rows)> callback);

  std::shared_ptr<vel::Mariadb> client_;  // atomic load/store
};

}  // namespace plemox
