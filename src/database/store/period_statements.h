// The statements of the period archive and of the period-end notifications:
// their three tables and every statement sent to them. Plain SQL whatever
// --leaderboard_use_db_stored_procedure says (the tables are new, no
// procedure predates them). Pure text functions that read only the flags, so
// any thread may call them.
//
// Tables:
//   period_archive           one row per period end: the leaderboard, the
//                            kind and bounds of the period, how it ended, its
//                            idempotency key, where Redis holds its closed
//                            ranking, and the archive's progress ('logged'
//                            until archived, then 'archived', or 'lost').
//   period_archive_standing  the closed ranking of an archived period, one
//                            row per player in ranking order, with its three
//                            ranks precomputed and a hash of its account
//                            (the lookups of players use it).
//   period_end_notification  one row per period end to notify: 'waiting'
//                            until its document is built, then 'pending'
//                            until delivered ('delivered') or given up
//                            ('failed'), with attempts, next attempt and
//                            last error.
//
// Date times are local wall-clock times written "2026-12-07 00:00:00";
// leases and attempt times use the database's clock (NOW()), which every
// server shares. String values are escaped with EscapeSqlString; leaderboard
// ids and period words are validated by the caller (REQUIRES).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/period_end.h"
#include "database/store/archived_standing.h"
#include "vel/core/player_account.h"

namespace plemox {
namespace period_statements {

extern const char kArchiveTableName[];       // "period_archive"
extern const char kStandingTableName[];      // "period_archive_standing"
extern const char kNotificationTableName[];  // "period_end_notification"

// Seconds a server holds the archiving of a period before another may take
// it over; renewed while it works.
constexpr int kLeaseSeconds = 60;

// "2026-12-07 00:00:00"; special values give "".
std::string DateTimeLiteral(const boost::posix_time::ptime& time);

// `value` escaped between single quotes (EscapeSqlString).
std::string Quoted(const std::string& value);
// A date time as a quoted DATETIME literal.
std::string QuotedTime(const boost::posix_time::ptime& time);
// A score as SQL that reads back as the same double; infinities held at the
// largest finite values, NaN as 0.
std::string ScoreLiteral(double score);
// One transaction of `statements` (each without a trailing ';'): any error
// rolls it back and is raised again with its own code (1062 for a
// duplicate key), so a guard row makes the whole transaction happen once.
std::string Transaction(const std::vector<std::string>& statements);

// The CREATE TABLE statements of the three tables, for the schema.
std::vector<std::string> MakeTableQueries();

// How many of the three tables exist in the current database.
std::string MakeCountTablesQuery();

// One transaction (an anonymous block that rolls back and re-raises any
// error, so a duplicate key still fails with 1062): `log_statement` (the
// reset log insert, may be empty for a forced reset), the period's row with
// `owner` holding its lease, and its notification when `end.notify`. The
// period starts at the later of its calendar start and the latest end of an
// earlier period of the same leaderboard and kind; without a calendar start
// at the latest end, else the reset logged before it under the same key
// (`schedule_date_time` is this reset's), else 1970-01-01 00:00:00.
std::string MakePeriodEndInsertQuery(const std::string& log_statement,
                                     const PeriodEnd& end,
                                     const std::string& schedule_date_time,
                                     const std::string& owner);

// Takes the lease of the unfinished period `idempotency_key` for `owner`
// when it is free (expired or already `owner`'s), then selects it when
// `owner` holds it: period_id, leaderboard_id, period_kind, period_start,
// period_end, reset_kind, source_key, marker_key, keep_standings, and
// whether a notification waits for it (0 or 1).
std::string MakeClaimPeriodQuery(const std::string& idempotency_key,
                                 const std::string& owner);

// Extends `owner`'s lease of period `period_id`, then selects 1 when it
// still holds it.
std::string MakeRenewLeaseQuery(std::uint64_t period_id,
                                const std::string& owner);

// Deletes up to `limit` standings of period `period_id`.
std::string MakeDeleteStandingsQuery(std::uint64_t period_id,
                                     std::size_t limit);

// One multi-row insert of `standings` into period `period_id`.
// REQUIRES: !standings.empty().
std::string MakeInsertStandingsQuery(
    std::uint64_t period_id, const std::vector<ArchivedStanding>& standings);

// One transaction: period `period_id` becomes 'archived' with
// `player_count` players (only while `owner` holds it), and then the
// waiting notification of `idempotency_key` becomes 'pending' with
// `document`; after it, a statement selects 1 when `owner` finished it.
std::string MakeFinishPeriodQuery(std::uint64_t period_id,
                                  const std::string& idempotency_key,
                                  const std::string& owner,
                                  std::int64_t player_count,
                                  const std::string& document);

// One transaction: period `period_id` becomes 'lost' with `error`, and its
// waiting notification 'failed' with the same text as last error.
std::string MakeLosePeriodQuery(std::uint64_t period_id,
                                const std::string& idempotency_key,
                                const std::string& error);

// Idempotency keys of up to `limit` periods still 'logged' whose lease has
// expired, oldest first.
std::string MakeUnfinishedPeriodsQuery(std::size_t limit);

// Ids of up to `limit` finished periods to remove: those of kind `period`
// ending before `cutoff`, and those whose standings were never kept.
std::string MakeExpiredPeriodsQuery(const std::string& period,
                                    const boost::posix_time::ptime& cutoff,
                                    std::size_t limit);

// Deletes the row of period `period_id` (its standings must be gone).
std::string MakeDeletePeriodQuery(std::uint64_t period_id);

// Deletes up to `limit` notifications delivered more than `days` days ago.
std::string MakeDeleteDeliveredQuery(int days, std::size_t limit);

// --- Notifications. ---

// Up to `limit` pending notifications due now, earliest due first:
// notification_id, idempotency_key, document, attempts.
std::string MakeDueNotificationsQuery(std::size_t limit);

// Takes one attempt of pending notification `notification_id` when it is
// due: counts the attempt and moves its next attempt `claim_ms` ahead, so
// that no other server sends it meanwhile. Affects one row when taken.
std::string MakeClaimNotificationQuery(std::uint64_t notification_id,
                                       std::int64_t claim_ms);

// Marks notification `notification_id` delivered.
std::string MakeNotificationDeliveredQuery(std::uint64_t notification_id);

// Keeps notification `notification_id` pending with `error`, next tried
// `delay_ms` from now.
std::string MakeNotificationRetryQuery(std::uint64_t notification_id,
                                       std::int64_t delay_ms,
                                       const std::string& error);

// Marks notification `notification_id` failed with `error`.
std::string MakeNotificationFailedQuery(std::uint64_t notification_id,
                                        const std::string& error);

// Milliseconds until the earliest pending notification is due (negative
// when overdue, NULL when none is pending).
std::string MakeNextDueQuery();

// The number of notifications per state: state, count.
std::string MakeNotificationCountsQuery();

// Every notification not delivered (at most `limit`, oldest first):
// notification_id, idempotency_key, leaderboard_id, period_kind,
// period_start (NULL once its period is gone), period_end, state, attempts,
// next_attempt_at, last_error.
std::string MakeOpenNotificationsQuery(std::size_t limit);

// Makes notification `notification_id` pending again with no attempts,
// due now, unless it still waits for its document; then selects its state.
std::string MakeResendNotificationQuery(std::uint64_t notification_id);

// --- Reads of archived periods. ---

// The archived period of `leaderboard_id` and kind `period` that starts in
// [from, to) and ends at or after `cutoff`, the earliest start and then the
// longest first: period_id, period_start, period_end, player_count.
std::string MakeFindPeriodQuery(const std::string& leaderboard_id,
                                const std::string& period,
                                const boost::posix_time::ptime& from,
                                const boost::posix_time::ptime& to,
                                const boost::posix_time::ptime& cutoff);

// Every archived period of `leaderboard_id` not expired by `cutoffs` (per
// period word), latest start first (at most `limit`): period_kind,
// period_start, period_end, reset_kind, player_count.
std::string MakeListPeriodsQuery(
    const std::string& leaderboard_id,
    const std::map<std::string, boost::posix_time::ptime>& cutoffs,
    std::size_t limit);

// The standings at positions `first` to `last` of period `period_id`, in
// order: position, competition_rank, dense_rank, score, time_stamp_ms,
// service_provider, local_account.
std::string MakeStandingsQuery(std::uint64_t period_id, std::int64_t first,
                               std::int64_t last);

// Two statements: the player's first position in period `period_id`
// (NULL without an entry), then the standings at that position + `begin` (at
// least 0) to that position + `end`.
std::string MakePlayerWindowQuery(std::uint64_t period_id,
                                  const vel::PlayerAccount& account,
                                  std::int64_t begin, std::int64_t end);

// The standings of `accounts` in period `period_id` (any order).
// REQUIRES: !accounts.empty().
std::string MakePlayersQuery(std::uint64_t period_id,
                             const std::vector<vel::PlayerAccount>& accounts);

// The current display names and metadata of `accounts` on
// `leaderboard_id` from the player_profile table: service provider, local
// account, display name, metadata. REQUIRES: !accounts.empty().
std::string MakeProfilesQuery(const std::string& leaderboard_id,
                              const std::vector<vel::PlayerAccount>& accounts);

}  // namespace period_statements
}  // namespace plemox
