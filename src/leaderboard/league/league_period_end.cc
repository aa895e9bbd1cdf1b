#include "leaderboard/league/league_period_end.h"

#include <glog/logging.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "database/cache/redis_key.h"
#include "database/store/period_statements.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/league/league_moves.h"
#include "vel/core/json.h"
#include "vel/mariadb/mariadb.h"
#include "vel/mariadb/result_sets.h"

namespace plemox {

using period_statements::Quoted;
using period_statements::ScoreLiteral;
using period_statements::Transaction;

// A closed period of a league as the period archive recorded it.
struct LeaguePeriodEnd::ClosedPeriod {
  std::string period_id;
  std::string idempotency_key;
  std::string source_key;
  std::string marker_key;
  std::string state;
  std::string period_start;
  std::string period_end;
};

namespace {

// Placements written per statement, and waiting players placed (and tiers
// set) per script call: bounds the work of one step.
constexpr std::int64_t kBatch = 500;
// Cohorts written per transaction at most (fewer once kBatch players).
constexpr std::size_t kCohortsPerTransaction = 50;
// How long the thread sleeps between passes when nothing wakes it.
constexpr auto kPassInterval = std::chrono::seconds(1);

const char* const kTableQueries[] = {
    "CREATE TABLE IF NOT EXISTS league_tier(\n"
    "  league_id CHAR(64) NOT NULL,\n"
    "  member_key VARBINARY(255) NOT NULL,\n"
    "  tier INT NOT NULL,\n"
    "  last_round BIGINT NOT NULL,\n"
    "  changed_round BIGINT NOT NULL,\n"
    "  PRIMARY KEY(league_id, member_key),\n"
    "  KEY(league_id, changed_round)\n"
    ")",
    "CREATE TABLE IF NOT EXISTS league_placement(\n"
    "  placement_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,\n"
    "  league_id CHAR(64) NOT NULL,\n"
    "  round BIGINT NOT NULL,\n"
    "  member_key VARBINARY(255) NOT NULL,\n"
    "  cohort_id VARCHAR(64) NOT NULL,\n"
    "  PRIMARY KEY(placement_id),\n"
    "  UNIQUE KEY(league_id, round, member_key)\n"
    ")",
    "CREATE TABLE IF NOT EXISTS league_cohort_end(\n"
    "  league_id CHAR(64) NOT NULL,\n"
    "  period_id BIGINT UNSIGNED NOT NULL,\n"
    "  cohort_id VARCHAR(64) NOT NULL,\n"
    "  finished_at DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,\n"
    "  PRIMARY KEY(league_id, period_id, cohort_id)\n"
    ")",
    "CREATE TABLE IF NOT EXISTS league_history(\n"
    "  league_id CHAR(64) NOT NULL,\n"
    "  period_id BIGINT UNSIGNED NOT NULL,\n"
    "  member_key VARBINARY(255) NOT NULL,\n"
    "  round BIGINT NOT NULL,\n"
    "  cohort_id VARCHAR(64) NOT NULL,\n"
    "  position INT NOT NULL,\n"
    "  score DOUBLE NOT NULL,\n"
    "  old_tier INT NOT NULL,\n"
    "  new_tier INT NOT NULL,\n"
    "  PRIMARY KEY(league_id, period_id, member_key),\n"
    "  KEY(league_id, member_key, period_id)\n"
    ")",
    "CREATE TABLE IF NOT EXISTS league_round(\n"
    "  league_id CHAR(64) NOT NULL,\n"
    "  period_id BIGINT UNSIGNED NOT NULL,\n"
    "  round BIGINT NOT NULL,\n"
    "  PRIMARY KEY(league_id, period_id)\n"
    ")",
    "CREATE TABLE IF NOT EXISTS league_period_done(\n"
    "  league_id CHAR(64) NOT NULL,\n"
    "  period_id BIGINT UNSIGNED NOT NULL,\n"
    "  finished_at DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,\n"
    "  PRIMARY KEY(league_id, period_id)\n"
    ")",
};

// The error code of a duplicate key: the guarded step happened before.
constexpr unsigned kDuplicateKey = 1062;

// The rows of `statement`'s first result set, each a vector of its column
// texts; false (logged) when the statement failed.
bool Select(vel::Mariadb& client, const std::string& statement,
            std::vector<std::vector<std::string>>* rows) {
  std::shared_ptr<vel::ResultSets> sets;
  const vel::Mariadb::Error error = client.ExecuteQuerySync(statement, &sets);
  if (error) {
    LOG(ERROR) << "League: a read failed: " << error.code << " "
               << error.description;
    return false;
  }
  rows->clear();
  if (!sets->SeekNextResultSet()) return true;
  while (sets->SeekNextRow()) {
    std::vector<std::string> row;
    for (std::size_t i = 0; i < sets->GetColumnCount(); ++i) {
      row.push_back(sets->GetString(i));
    }
    rows->push_back(std::move(row));
  }
  return true;
}

// Runs `statement`; true on success and, with `duplicate_ok`, when its guard
// row existed already.
bool Execute(vel::Mariadb& client, const std::string& statement,
             const char* what, bool duplicate_ok = false,
             bool* duplicate = nullptr) {
  const vel::Mariadb::Error error = client.ExecuteQuerySync(statement);
  if (duplicate != nullptr) *duplicate = error.code == kDuplicateKey;
  if (!error || (duplicate_ok && error.code == kDuplicateKey)) return true;
  LOG(ERROR) << "League: " << what << " failed: " << error.code << " "
             << error.description;
  return false;
}

// The insert of placement rows `values`; a placement drained twice is
// written once.
std::string PlacementInsert(const std::string& values) {
  return "INSERT IGNORE INTO league_placement(league_id, round, member_key, "
         "cohort_id) VALUES " +
         values;
}

// The period ranking key a league's closed hash was moved to.
std::string ClosedLeagueKey(const std::string& source_key) {
  return MakeLeagueKey(source_key);
}

}  // namespace

LeaguePeriodEnd::LeaguePeriodEnd(std::shared_ptr<vel::Mariadb> client,
                                 std::function<bool()> is_master,
                                 std::function<void()> on_documents)
    : client_(std::move(client)),
      is_master_(std::move(is_master)),
      on_documents_(std::move(on_documents)) {}

LeaguePeriodEnd::~LeaguePeriodEnd() { Stop(); }

bool LeaguePeriodEnd::EnsureTables(vel::Mariadb& client) {
  for (const char* query : kTableQueries) {
    if (!Execute(client, query, "creating the league tables")) return false;
  }
  return true;
}

void LeaguePeriodEnd::ReadHistory(
    const std::string& league_id, const std::string& member_key,
    std::int64_t limit,
    std::function<void(bool failed, int tier,
                       const std::vector<HistoryRow>& rows)>
        callback) {
  client_->ExecuteQuery(
      "SELECT tier FROM league_tier WHERE league_id = " + Quoted(league_id) +
          " AND member_key = " + Quoted(member_key) +
          "; SELECT DATE_FORMAT(p.period_start, '%Y%m%dT%H%i%S'), "
          "DATE_FORMAT(p.period_end, '%Y%m%dT%H%i%S'), h.cohort_id, "
          "h.position, h.score, h.old_tier, h.new_tier FROM league_history h "
          "LEFT JOIN period_archive p ON p.period_id = h.period_id WHERE "
          "h.league_id = " +
          Quoted(league_id) + " AND h.member_key = " + Quoted(member_key) +
          " ORDER BY h.period_id DESC LIMIT " + std::to_string(limit),
      [callback](const std::shared_ptr<vel::ResultSets>& sets,
                 const vel::Mariadb::Error& error) {
        std::vector<HistoryRow> rows;
        if (error) {
          LOG(ERROR) << "League: reading a tier history failed: "
                     << error.description;
          callback(true, -1, rows);
          return;
        }
        int tier = -1;
        if (sets->SeekNextResultSet() && sets->SeekNextRow()) {
          tier = static_cast<int>(sets->GetInt(0));
        }
        if (sets->SeekNextResultSet()) {
          while (sets->SeekNextRow()) {
            rows.push_back(HistoryRow{sets->GetString(0), sets->GetString(1),
                                      sets->GetString(2), sets->GetInt(3),
                                      sets->GetDouble(4),
                                      static_cast<int>(sets->GetInt(5)),
                                      static_cast<int>(sets->GetInt(6))});
          }
        }
        callback(false, tier, rows);
      });
}

void LeaguePeriodEnd::Start() {
  RedisCache::SetLeagueMovesApplied(true);
  thread_ = std::thread([this] { Run(); });
}

void LeaguePeriodEnd::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LeaguePeriodEnd::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

LeaguePeriodEnd::Counts LeaguePeriodEnd::counts() const {
  return Counts{cohorts_.load(), moved_.load(), periods_.load(),
                placements_.load()};
}

void LeaguePeriodEnd::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    if (is_master_()) Pass();
    lock.lock();
    wake_.wait_for(lock, kPassInterval, [this] { return stop_ || woken_; });
    woken_ = false;
  }
}

bool LeaguePeriodEnd::Pass() {
  bool done = true;
  for (const RankingOption& option : RankingOptions::GetAll()) {
    if (!option.is_league()) continue;
    done = DrainLog(option) && FinishPeriods(option) && done;
  }
  return done;
}

bool LeaguePeriodEnd::DrainLog(const RankingOption& league) {
  for (;;) {
    std::vector<std::string> entries;
    if (!RedisCache::ReadLeagueLog(league.leaderboard_id, kBatch, &entries)) {
      return false;
    }
    if (entries.empty()) return true;
    std::string values;
    std::vector<std::string> statements;
    for (const std::string& entry : entries) {
      // "<round>\n<cohort id>\n<member key>"
      const std::size_t first = entry.find('\n');
      const std::size_t second =
          first == std::string::npos ? first : entry.find('\n', first + 1);
      if (second == std::string::npos) {
        LOG(ERROR) << "League: a malformed placement log entry is dropped: "
                   << league.leaderboard_id;
        continue;
      }
      const std::string round = entry.substr(0, first);
      if (round.empty() ||
          round.find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      if (second == first + 1) {
        // A player who left its cohort (its scores were deleted).
        if (!values.empty()) {
          statements.push_back(PlacementInsert(values));
          values.clear();
        }
        statements.push_back(
            "DELETE FROM league_placement WHERE league_id = " +
            Quoted(league.leaderboard_id) + " AND round = " + round +
            " AND member_key = " + Quoted(entry.substr(second + 1)));
        continue;
      }
      values += std::string(values.empty() ? "" : ", ") + "(" +
                Quoted(league.leaderboard_id) + ", " + round + ", " +
                Quoted(entry.substr(second + 1)) + ", " +
                Quoted(entry.substr(first + 1, second - first - 1)) + ")";
    }
    if (!values.empty()) statements.push_back(PlacementInsert(values));
    if (!statements.empty() &&
        !Execute(*client_, Transaction(statements), "writing placements")) {
      return false;
    }
    if (!RedisCache::TrimLeagueLog(league.leaderboard_id, entries)) {
      return false;
    }
    placements_ += entries.size();
    if (static_cast<std::int64_t>(entries.size()) < kBatch) return true;
  }
}

bool LeaguePeriodEnd::FinishPeriods(const RankingOption& league) {
  std::vector<std::vector<std::string>> rows;
  if (!Select(*client_,
              "SELECT p.period_id, p.idempotency_key, p.source_key, "
              "p.marker_key, p.state, DATE_FORMAT(p.period_start, "
              "'%Y%m%dT%H%i%S'), DATE_FORMAT(p.period_end, '%Y%m%dT%H%i%S') "
              "FROM period_archive p WHERE p.leaderboard_id = " +
                  Quoted(league.leaderboard_id) +
                  " AND p.period_kind = " + Quoted(league.league->period) +
                  " AND NOT EXISTS (SELECT 1 FROM league_period_done d "
                  "WHERE d.league_id = p.leaderboard_id AND d.period_id = "
                  "p.period_id) ORDER BY p.period_id LIMIT 10",
              &rows)) {
    return false;
  }
  for (const auto& row : rows) {
    ClosedPeriod period{row[0], row[1], row[2], row[3], row[4], row[5], row[6]};
    if (!FinishPeriod(league, period)) return false;
  }
  return true;
}

LeaguePeriodEnd::Closed LeaguePeriodEnd::FindClosed(const RankingOption& league,
                                                    const ClosedPeriod& period,
                                                    std::int64_t* round) {
  // The rollover stamps the hash it closes with the period's key, in the
  // same script that moves the ranking (league_rollover.lua).
  const std::string closed_key = ClosedLeagueKey(period.source_key);
  const auto stamp = RedisCache::LeagueField(closed_key, "period");
  if (!stamp) return Closed::kRetry;
  bool found = *stamp == period.idempotency_key;
  if (!found && stamp->empty() && !period.marker_key.empty()) {
    // Closed before rollovers stamped the hash: the archive's marker tells.
    const auto marked =
        RedisCache::LeagueField(period.marker_key, league.league->period);
    if (!marked) return Closed::kRetry;
    found = *marked == period.idempotency_key;
  }
  if (found) {
    const auto round_text = RedisCache::LeagueField(closed_key, "round");
    if (!round_text) return Closed::kRetry;
    *round = std::strtoll(round_text->c_str(), nullptr, 10);
    return Closed::kFound;
  }
  // The archive's row is written before the rollover, and archived (or
  // found lost) only after it: until then the rollover may still come.
  if (period.state != "lost" && period.state != "archived") {
    return Closed::kNotYet;
  }
  LOG(ERROR) << "League: the cohorts of a closed period are not in Redis, "
                "nobody moves: "
             << league.leaderboard_id << ", period: " << period.idempotency_key
             << (period.state == "lost"
                     ? " (its rollover failed or did not happen)"
                     : " (a later rollover replaced them, or Redis lost them)");
  return Closed::kGone;
}

bool LeaguePeriodEnd::FinishPeriod(const RankingOption& league,
                                   const ClosedPeriod& period) {
  const std::string& id = league.leaderboard_id;
  const LeagueRules& rules = *league.league;
  std::int64_t round = 0;
  const Closed closed = FindClosed(league, period, &round);
  if (closed == Closed::kRetry) return false;
  if (closed == Closed::kNotYet) return true;
  if (closed == Closed::kFound) {
    // The round each closed period ended is what recovery counts from.
    if (!Execute(*client_,
                 "INSERT IGNORE INTO league_round(league_id, period_id, "
                 "round) VALUES (" +
                     Quoted(id) + ", " + period.period_id + ", " +
                     std::to_string(round) + ")",
                 "recording a league round")) {
      return false;
    }
    const std::string closed_key = ClosedLeagueKey(period.source_key);
    std::vector<std::vector<std::string>> done_rows;
    if (!Select(*client_,
                "SELECT cohort_id FROM league_cohort_end WHERE league_id = " +
                    Quoted(id) + " AND period_id = " + period.period_id,
                &done_rows)) {
      return false;
    }
    std::set<std::string> done;
    for (const auto& row : done_rows) done.insert(row[0]);
    // Cohorts are written several to a transaction (one commit for up to
    // kBatch players), each guarded by its own league_cohort_end row.
    std::vector<CohortWrite> batch;
    std::size_t players = 0;
    for (const std::string& tier : rules.tiers) {
      const auto opened = RedisCache::LeagueField(closed_key, "n:" + tier);
      if (!opened) return false;
      const std::int64_t cohorts = std::strtoll(opened->c_str(), nullptr, 10);
      for (std::int64_t n = 1; n <= cohorts; ++n) {
        const std::string cohort = tier + "-" + std::to_string(n);
        if (done.count(cohort) != 0) continue;
        CohortWrite write;
        if (!CohortStatements(league, period, round, cohort, &write)) {
          return false;
        }
        players += write.players;
        batch.push_back(std::move(write));
        if (players < static_cast<std::size_t>(kBatch) &&
            batch.size() < kCohortsPerTransaction) {
          continue;
        }
        // A stopping server or one no longer master leaves the rest to
        // the next pass or the next master: what is written stays written.
        if (stop_ || !is_master_() || !WriteCohorts(batch)) return false;
        batch.clear();
        players = 0;
      }
    }
    if (!WriteCohorts(batch)) return false;
    if (!ApplyTiers(league, period, round)) return false;
  }
  bool duplicate = false;
  if (!Execute(*client_,
               "INSERT INTO league_period_done(league_id, period_id) VALUES (" +
                   Quoted(id) + ", " + period.period_id + ")",
               "finishing a league period", true, &duplicate)) {
    return false;
  }
  if (!duplicate) {
    ++periods_;
    LOG(INFO) << "League period finished: " << id
              << ", period: " << period.idempotency_key << ", round: " << round
              << (closed == Closed::kGone ? ", nobody moved" : "");
  }
  return true;
}

bool LeaguePeriodEnd::CohortStatements(const RankingOption& league,
                                       const ClosedPeriod& period,
                                       std::int64_t round,
                                       const std::string& cohort_id,
                                       CohortWrite* write) {
  const std::string& id = league.leaderboard_id;
  const LeagueRules& rules = *league.league;
  const RedisCache::Cohort cohort =
      RedisCache::ReadCohort(id, period.source_key, cohort_id);
  if (cohort.status == RedisCache::Cohort::kFailed) return false;
  std::vector<QueryResult::Record> ranked;
  RedisCache::RankCohort(
      cohort, Leaderboard::LeaderboardQuery::Request::kPosition, &ranked);
  const std::size_t dash = cohort_id.rfind('-');
  const int tier = rules.TierIndex(cohort_id.substr(0, dash));
  const std::vector<int> tiers =
      LeagueMoves::NewTiers(rules, tier < 0 ? 0 : tier, ranked.size());
  const std::string round_text = std::to_string(round);
  write->players = ranked.size();
  write->moved = 0;
  write->statements = {
      "INSERT INTO league_cohort_end(league_id, period_id, cohort_id) VALUES "
      "(" +
      Quoted(id) + ", " + period.period_id + ", " + Quoted(cohort_id) + ")"};
  // One multi-row statement per table: a cohort is bounded by the cohort
  // size, and one statement costs the database far less than a row each.
  std::string history;
  std::string tier_rows;
  vel::Json standing = vel::Json::MakeArray();
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    const QueryResult::Record& record = ranked[i];
    const std::string member = MakeMemberKey(record.account);
    const double score = league.FromStoredScore(record.score);
    const char* separator = i == 0 ? "(" : ", (";
    history += separator + Quoted(id) + ", " + period.period_id + ", " +
               Quoted(member) + ", " + round_text + ", " + Quoted(cohort_id) +
               ", " + std::to_string(i + 1) + ", " + ScoreLiteral(score) +
               ", " + std::to_string(tier) + ", " + std::to_string(tiers[i]) +
               ")";
    tier_rows += separator + Quoted(id) + ", " + Quoted(member) + ", " +
                 std::to_string(tiers[i]) + ", " + round_text + ", " +
                 round_text + ")";
    if (tiers[i] != tier) ++write->moved;
    vel::Json entry = vel::Json::MakeObject();
    entry.Set("rank", static_cast<std::int64_t>(i + 1));
    entry.Set("service_provider", record.account.service_provider());
    entry.Set("local_account", record.account.id());
    entry.Set("score", score);
    entry.Set("move", LeagueMoves::MoveName(tier, tiers[i]));
    entry.Set("tier", rules.tiers[static_cast<std::size_t>(tiers[i])]);
    standing.Append(std::move(entry));
  }
  if (!ranked.empty()) {
    write->statements.push_back(
        "INSERT INTO league_history(league_id, period_id, member_key, round, "
        "cohort_id, position, score, old_tier, new_tier) VALUES " +
        history);
    write->statements.push_back(
        "INSERT INTO league_tier(league_id, member_key, tier, last_round, "
        "changed_round) VALUES " +
        tier_rows +
        " ON DUPLICATE KEY UPDATE tier = VALUES(tier), last_round = "
        "VALUES(last_round), changed_round = VALUES(changed_round)");
  }
  if (!FLAGS_period_end_webhook_url.empty()) {
    vel::Json document = vel::Json::MakeObject();
    document.Set("idempotency_key",
                 period.idempotency_key + "/league/" + cohort_id);
    document.Set("leaderboard_id", id);
    document.Set("period", rules.period);
    document.Set("period_start", period.period_start);
    document.Set("period_end", period.period_end);
    document.Set("cohort_id", cohort_id);
    document.Set("tier", cohort_id.substr(0, dash));
    document.Set("standing", std::move(standing));
    write->statements.push_back(
        "INSERT INTO period_end_notification(idempotency_key, "
        "leaderboard_id, period_kind, period_end, state, document, "
        "next_attempt_at) SELECT " +
        Quoted(period.idempotency_key + "/league/" + cohort_id) + ", " +
        Quoted(id) + ", " + Quoted(rules.period) + ", period_end, 'pending', " +
        Quoted(document.ToString()) +
        ", NOW(3) FROM period_archive WHERE period_id = " + period.period_id);
  }
  return true;
}

bool LeaguePeriodEnd::WriteCohorts(const std::vector<CohortWrite>& writes) {
  if (writes.empty()) return true;
  std::vector<std::string> statements;
  for (const CohortWrite& write : writes) {
    statements.insert(statements.end(), write.statements.begin(),
                      write.statements.end());
  }
  bool duplicate = false;
  if (!Execute(*client_, Transaction(statements), "writing cohorts' moves",
               true, &duplicate)) {
    return false;
  }
  std::vector<const CohortWrite*> written;
  if (!duplicate) {
    for (const CohortWrite& write : writes) written.push_back(&write);
  } else {
    // Another master wrote one of them meanwhile (the whole transaction
    // rolled back): each on its own, so the others are still written once.
    for (const CohortWrite& write : writes) {
      if (!Execute(*client_, Transaction(write.statements),
                   "writing a cohort's moves", true, &duplicate)) {
        return false;
      }
      if (!duplicate) written.push_back(&write);
    }
  }
  for (const CohortWrite* write : written) {
    ++cohorts_;
    moved_ += write->moved;
  }
  if (!written.empty() && !FLAGS_period_end_webhook_url.empty() &&
      on_documents_) {
    on_documents_();
  }
  return true;
}

bool LeaguePeriodEnd::ApplyTiers(const RankingOption& league,
                                 const ClosedPeriod& period,
                                 std::int64_t round) {
  const std::string& id = league.leaderboard_id;
  const LeagueRules& rules = *league.league;
  const std::string round_text = std::to_string(round);
  // The absent players' moves, once: the empty cohort id guards them.
  std::vector<std::string> absent = {
      "INSERT INTO league_cohort_end(league_id, period_id, cohort_id) VALUES "
      "(" +
      Quoted(id) + ", " + period.period_id + ", '')"};
  if (rules.absent_down) {
    absent.push_back(
        "UPDATE league_tier SET tier = tier - 1, changed_round = " +
        round_text + " WHERE league_id = " + Quoted(id) +
        " AND tier > 0 AND last_round < " + round_text);
  }
  if (!Execute(*client_, Transaction(absent), "moving the absent players",
               true)) {
    return false;
  }
  // The tiers changed by this period into Redis, a page at a time, then
  // the players who waited for them.
  const std::string current_key = RedisCache::LeagueRankingKey(
      id, rules, ResetScheduleRegistry::MakeResetScheduleInfo(id));
  std::string after;
  for (;;) {
    if (stop_) return false;  // resumed by the next pass or master
    std::vector<std::vector<std::string>> rows;
    if (!Select(*client_,
                "SELECT member_key, tier FROM league_tier WHERE league_id = " +
                    Quoted(id) + " AND changed_round = " + round_text +
                    " AND member_key > " + Quoted(after) +
                    " ORDER BY member_key LIMIT " + std::to_string(kBatch),
                &rows)) {
      return false;
    }
    if (rows.empty()) break;
    std::vector<std::pair<std::string, int>> tiers;
    for (const auto& row : rows)
      tiers.emplace_back(
          row[0], static_cast<int>(std::strtol(row[1].c_str(), nullptr, 10)));
    bool waiting = false;
    if (!RedisCache::ApplyTiersAndPlace(id, rules, current_key, round + 1,
                                        tiers, 0, &waiting)) {
      return false;
    }
    after = rows.back()[0];
    if (static_cast<std::int64_t>(rows.size()) < kBatch) break;
  }
  for (bool waiting = true; waiting;) {
    if (stop_) return false;
    if (!RedisCache::ApplyTiersAndPlace(id, rules, current_key, round + 1, {},
                                        kBatch, &waiting)) {
      return false;
    }
  }
  return true;
}

}  // namespace plemox
