// The statements of the period archive and the period-end notifications.
#include "database/store/period_statements.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>

#include "common/leaderboard_flags.h"
#include "database/store/mysql_schema.h"
#include "database/store/player_profile_schema.h"

namespace plemox {
namespace period_statements {

const char kArchiveTableName[] = "period_archive";
const char kStandingTableName[] = "period_archive_standing";
const char kNotificationTableName[] = "period_end_notification";

// `value` escaped between single quotes.
std::string Quoted(const std::string& value) {
  return "'" + EscapeSqlString(value) + "'";
}

// A date time as a quoted DATETIME literal.
std::string QuotedTime(const boost::posix_time::ptime& time) {
  return "CAST(" + Quoted(DateTimeLiteral(time)) + " AS DATETIME)";
}

// A score that reads back as the same double (17 significant digits). Redis
// keeps infinities, which a DOUBLE column cannot: they are held at the
// largest finite values.
std::string ScoreLiteral(double score) {
  if (std::isinf(score)) {
    score = score > 0 ? std::numeric_limits<double>::max()
                      : std::numeric_limits<double>::lowest();
  } else if (std::isnan(score)) {
    score = 0;
  }
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.precision(17);
  out << score;
  return out.str();
}

// One transaction of `statements` (each without a trailing ';'): any error
// rolls it back and is raised again with its own code.
std::string Transaction(const std::vector<std::string>& statements) {
  std::string text =
      "BEGIN NOT ATOMIC DECLARE EXIT HANDLER FOR SQLEXCEPTION BEGIN ROLLBACK; "
      "RESIGNAL; END; START TRANSACTION; ";
  for (const std::string& statement : statements) {
    if (!statement.empty()) text += statement + "; ";
  }
  return text + "COMMIT; END";
}

namespace {

std::string WithoutTrailingSemicolon(std::string statement) {
  while (!statement.empty() &&
         (statement.back() == ';' || statement.back() == ' ')) {
    statement.pop_back();
  }
  return statement;
}

std::string ArchiveTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kArchiveTableName +
         "(\n"
         "  period_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,\n"
         "  leaderboard_id CHAR(64) NOT NULL,\n"
         "  period_kind CHAR(5) NOT NULL,\n"
         "  period_start DATETIME NOT NULL,\n"
         "  period_end DATETIME NOT NULL,\n"
         "  reset_kind CHAR(9) NOT NULL,\n"
         "  idempotency_key VARCHAR(255) NOT NULL,\n"
         "  source_key VARCHAR(255) NOT NULL,\n"
         "  marker_key VARCHAR(255) NOT NULL,\n"
         "  keep_standings TINYINT NOT NULL,\n"
         "  state CHAR(8) NOT NULL DEFAULT 'logged',\n"
         "  player_count BIGINT NOT NULL DEFAULT 0,\n"
         "  lease_owner VARCHAR(64) NOT NULL DEFAULT '',\n"
         "  lease_until DATETIME NOT NULL,\n"
         "  error VARCHAR(255) NOT NULL DEFAULT '',\n"
         "  archived_at DATETIME NULL,\n"
         "  PRIMARY KEY(period_id),\n"
         "  UNIQUE KEY(idempotency_key),\n"
         "  KEY(leaderboard_id, period_kind, period_start),\n"
         "  KEY(state, lease_until)\n"
         ") CHARACTER SET " +
         FLAGS_mysql_db_character_set + ";";
}

std::string StandingTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kStandingTableName +
         "(\n"
         "  period_id BIGINT UNSIGNED NOT NULL,\n"
         "  position BIGINT NOT NULL,\n"
         "  competition_rank BIGINT NOT NULL,\n"
         "  dense_rank BIGINT NOT NULL,\n"
         "  score DOUBLE NOT NULL,\n"
         "  time_stamp_ms BIGINT NOT NULL,\n"
         "  service_provider CHAR(50) NOT NULL,\n"
         "  local_account " +
         GetLocalAccountColumnType() +
         " NOT NULL,\n"
         "  account_hash BIGINT UNSIGNED NOT NULL,\n"
         "  PRIMARY KEY(period_id, position),\n"
         "  KEY(period_id, account_hash)\n"
         ") CHARACTER SET " +
         FLAGS_mysql_db_character_set + ";";
}

std::string NotificationTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kNotificationTableName +
         "(\n"
         "  notification_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,\n"
         "  idempotency_key VARCHAR(255) NOT NULL,\n"
         "  leaderboard_id CHAR(64) NOT NULL,\n"
         "  period_kind CHAR(5) NOT NULL,\n"
         "  period_end DATETIME NOT NULL,\n"
         "  state CHAR(9) NOT NULL DEFAULT 'waiting',\n"
         "  document MEDIUMTEXT NULL,\n"
         "  attempts INT NOT NULL DEFAULT 0,\n"
         "  next_attempt_at DATETIME(3) NOT NULL,\n"
         "  last_error VARCHAR(1024) NOT NULL DEFAULT '',\n"
         "  created_at DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,\n"
         "  delivered_at DATETIME NULL,\n"
         "  PRIMARY KEY(notification_id),\n"
         "  UNIQUE KEY(idempotency_key),\n"
         "  KEY(state, next_attempt_at)\n"
         ") CHARACTER SET " +
         FLAGS_mysql_db_character_set + ";";
}

// The columns of a standing, in the order of the read statements.
constexpr char kStandingColumns[] =
    "position, competition_rank, dense_rank, score, time_stamp_ms, "
    "service_provider, local_account, tiebreak_score";

// The players of a period are found through a 64-bit hash of their account
// (FNV-1a over the service provider, a zero byte and the local account)
// rather than an index of the account texts: an index of 8-byte keys stays
// small enough in MariaDB's buffer pool for a period's random-order inserts
// to run at the speed of the sequential ones. Stored values depend on it:
// never change the function.
std::string AccountHash(const std::string& service_provider,
                        const std::string& local_account) {
  std::uint64_t hash = 14695981039346656037ULL;
  const auto add = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 1099511628211ULL;
  };
  for (const char c : service_provider) add(static_cast<unsigned char>(c));
  add(0);
  for (const char c : local_account) add(static_cast<unsigned char>(c));
  return std::to_string(hash);
}

// The WHERE condition of one player of period `period_id`.
std::string PlayerCondition(const vel::PlayerAccount& account) {
  return "(account_hash = " +
         AccountHash(account.service_provider(), account.id()) +
         " AND service_provider = " + Quoted(account.service_provider()) +
         " AND local_account = " + Quoted(account.id()) + ")";
}

}  // namespace

std::string DateTimeLiteral(const boost::posix_time::ptime& time) {
  if (time.is_special()) return "";
  std::string text =
      boost::posix_time::to_iso_extended_string(boost::posix_time::ptime(
          time.date(),
          boost::posix_time::seconds(time.time_of_day().total_seconds())));
  text[10] = ' ';
  return text;
}

std::vector<std::string> MakeTableQueries() {
  return {ArchiveTableQuery(), StandingTableQuery(),
          // The second score of leaderboards with a tiebreak (NULL for the
          // others), added to tables made before it existed too.
          std::string("ALTER TABLE ") + kStandingTableName +
              " ADD COLUMN IF NOT EXISTS tiebreak_score DOUBLE NULL;",
          NotificationTableQuery()};
}

std::string MakeCountTablesQuery() {
  return std::string(
             "SELECT COUNT(*) FROM information_schema.tables WHERE "
             "table_schema = DATABASE() AND table_name IN ('") +
         kArchiveTableName + "', '" + kStandingTableName + "', '" +
         kNotificationTableName + "')";
}

std::string MakePeriodEndInsertQuery(const std::string& log_statement,
                                     const PeriodEnd& end,
                                     const std::string& schedule_date_time,
                                     const std::string& owner) {
  const std::string latest = "earlier.latest";
  std::string start;
  if (!end.calendar_start.is_special()) {
    start = "GREATEST(" + QuotedTime(end.calendar_start) + ", COALESCE(" +
            latest + ", " + QuotedTime(end.calendar_start) + "))";
  } else {
    start = "COALESCE(" + latest +
            ", (SELECT MAX(reset_date_time) FROM reset_schedule_log WHERE "
            "leaderboard_key = " +
            Quoted(end.leaderboard_key) + " AND schedule_date_time <> " +
            Quoted(schedule_date_time) +
            " AND reset_date_time <= " + QuotedTime(end.end) +
            "), CAST('1970-01-01 00:00:00' AS DATETIME))";
  }
  // The start is read first (a plain read, which locks nothing) and the
  // row inserted with VALUES: an INSERT ... SELECT would lock the rows it
  // reads and the table's auto-increment, and two leaderboards' resets at
  // the same moment could then fail each other (MariaDB error 1467).
  const std::string read_start =
      "SELECT " + start +
      " INTO @period_start FROM (SELECT MAX(period_end) "
      "AS latest FROM " +
      kArchiveTableName +
      " WHERE leaderboard_id = " + Quoted(end.leaderboard_id) +
      " AND period_kind = " + Quoted(end.period) +
      " AND period_end <= " + QuotedTime(end.end) + ") AS earlier";
  const std::string period =
      std::string("INSERT INTO ") + kArchiveTableName +
      "(leaderboard_id, period_kind, period_start, period_end, reset_kind, "
      "idempotency_key, source_key, marker_key, keep_standings, lease_owner, "
      "lease_until) VALUES(" +
      Quoted(end.leaderboard_id) + ", " + Quoted(end.period) +
      ", @period_start, " + QuotedTime(end.end) + ", " + Quoted(end.reset) +
      ", " + Quoted(end.idempotency_key) + ", " + Quoted(end.source_key) +
      ", " + Quoted(end.marker_key) + ", " + (end.keep_standings ? "1" : "0") +
      ", " + Quoted(owner) + ", NOW() + INTERVAL " +
      std::to_string(kLeaseSeconds) + " SECOND)";
  std::string notification;
  if (end.notify) {
    notification = std::string("INSERT INTO ") + kNotificationTableName +
                   "(idempotency_key, leaderboard_id, period_kind, period_end, "
                   "next_attempt_at) VALUES(" +
                   Quoted(end.idempotency_key) + ", " +
                   Quoted(end.leaderboard_id) + ", " + Quoted(end.period) +
                   ", " + QuotedTime(end.end) + ", NOW(3))";
  }
  return Transaction({WithoutTrailingSemicolon(log_statement), read_start,
                      period, notification});
}

std::string MakeClaimPeriodQuery(const std::string& idempotency_key,
                                 const std::string& owner) {
  return std::string("UPDATE ") + kArchiveTableName +
         " SET lease_owner = " + Quoted(owner) + ", lease_until = NOW() + " +
         "INTERVAL " + std::to_string(kLeaseSeconds) +
         " SECOND WHERE idempotency_key = " + Quoted(idempotency_key) +
         " AND state = 'logged' AND (lease_owner = " + Quoted(owner) +
         " OR lease_until < NOW()); SELECT a.period_id, a.leaderboard_id, "
         "a.period_kind, a.period_start, a.period_end, a.reset_kind, "
         "a.source_key, a.marker_key, a.keep_standings, EXISTS(SELECT 1 FROM " +
         kNotificationTableName +
         " n WHERE n.idempotency_key = a.idempotency_key AND n.state = "
         "'waiting') FROM " +
         kArchiveTableName +
         " a WHERE a.idempotency_key = " + Quoted(idempotency_key) +
         " AND a.state = 'logged' AND a.lease_owner = " + Quoted(owner);
}

std::string MakeRenewLeaseQuery(std::uint64_t period_id,
                                const std::string& owner) {
  const std::string id = std::to_string(period_id);
  return std::string("UPDATE ") + kArchiveTableName +
         " SET lease_until = NOW() + INTERVAL " +
         std::to_string(kLeaseSeconds) + " SECOND WHERE period_id = " + id +
         " AND state = 'logged' AND lease_owner = " + Quoted(owner) +
         "; SELECT COUNT(*) FROM " + kArchiveTableName +
         " WHERE period_id = " + id +
         " AND state = 'logged' AND lease_owner = " + Quoted(owner);
}

std::string MakeDeleteStandingsQuery(std::uint64_t period_id,
                                     std::size_t limit) {
  return std::string("DELETE FROM ") + kStandingTableName +
         " WHERE period_id = " + std::to_string(period_id) + " LIMIT " +
         std::to_string(limit);
}

std::string MakeInsertStandingsQuery(
    std::uint64_t period_id, const std::vector<ArchivedStanding>& standings) {
  const std::string id = std::to_string(period_id);
  std::string text = std::string("INSERT INTO ") + kStandingTableName +
                     "(period_id, " + kStandingColumns +
                     ", account_hash) VALUES";
  text.reserve(text.size() + standings.size() * 96);
  bool first = true;
  for (const ArchivedStanding& standing : standings) {
    text += first ? "(" : ", (";
    first = false;
    text += id + ", " + std::to_string(standing.position) + ", " +
            std::to_string(standing.competition_rank) + ", " +
            std::to_string(standing.dense_rank) + ", " +
            ScoreLiteral(standing.score) + ", " +
            std::to_string(standing.time_stamp_ms) + ", " +
            Quoted(standing.service_provider) + ", " +
            Quoted(standing.local_account) + ", " +
            (standing.tiebreak_score ? ScoreLiteral(*standing.tiebreak_score)
                                     : std::string("NULL")) +
            ", " +
            AccountHash(standing.service_provider, standing.local_account) +
            ")";
  }
  return text;
}

std::string MakeFinishPeriodQuery(std::uint64_t period_id,
                                  const std::string& idempotency_key,
                                  const std::string& owner,
                                  std::int64_t player_count,
                                  const std::string& document) {
  // The notification is released only by the holder that archived.
  return Transaction(
             {std::string("UPDATE ") + kArchiveTableName +
                  " SET state = 'archived', player_count = " +
                  std::to_string(player_count) +
                  ", archived_at = NOW(), lease_owner = '' WHERE "
                  "period_id = " +
                  std::to_string(period_id) +
                  " AND state = 'logged' AND lease_owner = " + Quoted(owner),
              "SET @period_finished = ROW_COUNT()",
              std::string("IF @period_finished = 1 THEN UPDATE ") +
                  kNotificationTableName +
                  " SET state = 'pending', document = " + Quoted(document) +
                  ", next_attempt_at = NOW(3) WHERE idempotency_key "
                  "= " +
                  Quoted(idempotency_key) + " AND state = 'waiting'; END IF"}) +
         "; SELECT @period_finished";
}

std::string MakeLosePeriodQuery(std::uint64_t period_id,
                                const std::string& idempotency_key,
                                const std::string& error) {
  return Transaction(
      {std::string("UPDATE ") + kArchiveTableName +
           " SET state = 'lost', error = " + Quoted(error.substr(0, 255)) +
           ", lease_owner = '' WHERE period_id = " + std::to_string(period_id) +
           " AND state = 'logged'",
       std::string("UPDATE ") + kNotificationTableName +
           " SET state = 'failed', last_error = " +
           Quoted(error.substr(0, 1024)) + " WHERE idempotency_key = " +
           Quoted(idempotency_key) + " AND state = 'waiting'"});
}

std::string MakeUnfinishedPeriodsQuery(std::size_t limit) {
  return std::string("SELECT idempotency_key FROM ") + kArchiveTableName +
         " WHERE state = 'logged' AND lease_until < NOW() ORDER BY period_id "
         "LIMIT " +
         std::to_string(limit);
}

std::string MakeExpiredPeriodsQuery(const std::string& period,
                                    const boost::posix_time::ptime& cutoff,
                                    std::size_t limit) {
  return std::string("SELECT period_id FROM ") + kArchiveTableName +
         " WHERE period_kind = " + Quoted(period) +
         " AND state <> 'logged' AND (period_end < " + QuotedTime(cutoff) +
         " OR keep_standings = 0) ORDER BY period_id LIMIT " +
         std::to_string(limit);
}

std::string MakeDeletePeriodQuery(std::uint64_t period_id) {
  return std::string("DELETE FROM ") + kArchiveTableName +
         " WHERE period_id = " + std::to_string(period_id);
}

std::string MakeDeleteDeliveredQuery(int days, std::size_t limit) {
  return std::string("DELETE FROM ") + kNotificationTableName +
         " WHERE state = 'delivered' AND delivered_at < NOW() - INTERVAL " +
         std::to_string(days) + " DAY LIMIT " + std::to_string(limit);
}

std::string MakeDueNotificationsQuery(std::size_t limit) {
  return std::string(
             "SELECT notification_id, idempotency_key, document, attempts "
             "FROM ") +
         kNotificationTableName +
         " WHERE state = 'pending' AND next_attempt_at <= NOW(3) ORDER BY "
         "next_attempt_at LIMIT " +
         std::to_string(limit);
}

std::string MakeClaimNotificationQuery(std::uint64_t notification_id,
                                       std::int64_t claim_ms) {
  return std::string("UPDATE ") + kNotificationTableName +
         " SET attempts = attempts + 1, next_attempt_at = NOW(3) + INTERVAL " +
         std::to_string(claim_ms * 1000) +
         " MICROSECOND WHERE notification_id = " +
         std::to_string(notification_id) +
         " AND state = 'pending' AND next_attempt_at <= NOW(3)";
}

std::string MakeNotificationDeliveredQuery(std::uint64_t notification_id) {
  return std::string("UPDATE ") + kNotificationTableName +
         " SET state = 'delivered', delivered_at = NOW(), last_error = '' "
         "WHERE notification_id = " +
         std::to_string(notification_id);
}

std::string MakeNotificationRetryQuery(std::uint64_t notification_id,
                                       std::int64_t delay_ms,
                                       const std::string& error) {
  return std::string("UPDATE ") + kNotificationTableName +
         " SET next_attempt_at = NOW(3) + INTERVAL " +
         std::to_string(delay_ms * 1000) +
         " MICROSECOND, last_error = " + Quoted(error.substr(0, 1024)) +
         " WHERE notification_id = " + std::to_string(notification_id) +
         " AND state = 'pending'";
}

std::string MakeNotificationFailedQuery(std::uint64_t notification_id,
                                        const std::string& error) {
  return std::string("UPDATE ") + kNotificationTableName +
         " SET state = 'failed', last_error = " +
         Quoted(error.substr(0, 1024)) +
         " WHERE notification_id = " + std::to_string(notification_id) +
         " AND state = 'pending'";
}

std::string MakeNextDueQuery() {
  return std::string(
             "SELECT TIMESTAMPDIFF(MICROSECOND, NOW(3), MIN(next_attempt_at)) "
             "DIV 1000 FROM ") +
         kNotificationTableName + " WHERE state = 'pending'";
}

std::string MakeNotificationCountsQuery() {
  return std::string("SELECT state, COUNT(*) FROM ") + kNotificationTableName +
         " GROUP BY state";
}

std::string MakeOpenNotificationsQuery(std::size_t limit) {
  return std::string(
             "SELECT n.notification_id, n.idempotency_key, n.leaderboard_id, "
             "n.period_kind, a.period_start, n.period_end, n.state, "
             "n.attempts, n.next_attempt_at, n.last_error FROM ") +
         kNotificationTableName + " n LEFT JOIN " + kArchiveTableName +
         " a ON a.idempotency_key = n.idempotency_key WHERE n.state <> "
         "'delivered' ORDER BY n.notification_id LIMIT " +
         std::to_string(limit);
}

std::string MakeResendNotificationQuery(std::uint64_t notification_id) {
  const std::string id = std::to_string(notification_id);
  return std::string("UPDATE ") + kNotificationTableName +
         " SET state = 'pending', attempts = 0, next_attempt_at = NOW(3), "
         "last_error = '' WHERE notification_id = " +
         id + " AND state <> 'waiting'; SELECT state FROM " +
         kNotificationTableName + " WHERE notification_id = " + id;
}

std::string MakeFindPeriodQuery(const std::string& leaderboard_id,
                                const std::string& period,
                                const boost::posix_time::ptime& from,
                                const boost::posix_time::ptime& to,
                                const boost::posix_time::ptime& cutoff) {
  return std::string(
             "SELECT period_id, period_start, period_end, player_count FROM ") +
         kArchiveTableName +
         " WHERE leaderboard_id = " + Quoted(leaderboard_id) +
         " AND period_kind = " + Quoted(period) +
         " AND period_start >= " + QuotedTime(from) + " AND period_start < " +
         QuotedTime(to) +
         " AND state = 'archived' AND keep_standings = 1 AND period_end >= " +
         QuotedTime(cutoff) + " ORDER BY period_start, period_end DESC LIMIT 1";
}

std::string MakeListPeriodsQuery(
    const std::string& leaderboard_id,
    const std::map<std::string, boost::posix_time::ptime>& cutoffs,
    std::size_t limit) {
  std::string kinds;
  for (const auto& [period, cutoff] : cutoffs) {
    kinds += kinds.empty() ? "(" : " OR ";
    kinds += "(period_kind = " + Quoted(period) +
             " AND period_end >= " + QuotedTime(cutoff) + ")";
  }
  if (kinds.empty()) kinds = "(FALSE";
  return std::string(
             "SELECT period_kind, period_start, period_end, reset_kind, "
             "player_count FROM ") +
         kArchiveTableName +
         " WHERE leaderboard_id = " + Quoted(leaderboard_id) +
         " AND state = 'archived' AND keep_standings = 1 AND " + kinds +
         ") ORDER BY period_start DESC, period_kind LIMIT " +
         std::to_string(limit);
}

std::string MakeStandingsQuery(std::uint64_t period_id, std::int64_t first,
                               std::int64_t last) {
  return std::string("SELECT ") + kStandingColumns + " FROM " +
         kStandingTableName +
         " WHERE period_id = " + std::to_string(period_id) +
         " AND position BETWEEN " + std::to_string(first) + " AND " +
         std::to_string(last) + " ORDER BY position";
}

std::string MakePlayerWindowQuery(std::uint64_t period_id,
                                  const vel::PlayerAccount& account,
                                  std::int64_t begin, std::int64_t end) {
  const std::string id = std::to_string(period_id);
  const std::string position = std::string("(SELECT MIN(position) FROM ") +
                               kStandingTableName + " WHERE period_id = " + id +
                               " AND " + PlayerCondition(account) + ")";
  return "SELECT " + position + "; SELECT " + kStandingColumns + " FROM " +
         kStandingTableName + " WHERE period_id = " + id +
         " AND position BETWEEN GREATEST(0, " + position + " + (" +
         std::to_string(begin) + ")) AND " + position + " + (" +
         std::to_string(end) + ") ORDER BY position";
}

std::string MakePlayersQuery(std::uint64_t period_id,
                             const std::vector<vel::PlayerAccount>& accounts) {
  std::string players;
  for (const vel::PlayerAccount& account : accounts) {
    players += (players.empty() ? "" : " OR ") + PlayerCondition(account);
  }
  return std::string("SELECT ") + kStandingColumns + " FROM " +
         kStandingTableName +
         " WHERE period_id = " + std::to_string(period_id) + " AND (" +
         players + ") ORDER BY position";
}

std::string MakeProfilesQuery(const std::string& leaderboard_id,
                              const std::vector<vel::PlayerAccount>& accounts) {
  std::string players;
  for (const vel::PlayerAccount& account : accounts) {
    players += (players.empty() ? "(" : " OR ") + std::string("(") +
               "service_provider = " + Quoted(account.service_provider()) +
               " AND local_account = " + Quoted(account.id()) + ")";
  }
  return std::string(
             "SELECT service_provider, local_account, display_name, metadata "
             "FROM ") +
         kPlayerProfileTableName +
         " WHERE leaderboard_id = " + Quoted(leaderboard_id) + " AND " +
         players + ")";
}

}  // namespace period_statements
}  // namespace plemox
