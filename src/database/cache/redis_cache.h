// RedisCache: the ranking authority of the leaderboard server. It keeps every
// ranking in Redis (keys in redis_key.h), decides whether a submitted score
// is a new record, answers public and social ranking queries, removes
// players' scores and rolls the daily, weekly and monthly rankings over.
//
// One cache per process: static functions over process-wide state. All
// asynchronous work runs on the I/O group "RedisCacheIoService" (the Redis
// commands are the host's blocking vel::Redis calls with the default server
// tag "", and the scripts' replies on the shared pipelined connections of a
// vel::RedisPipeline), and every completion is posted to the group
// "RedisCacheCbIoService", so callers' code never runs on a thread that
// issues Redis commands. Both groups have redis_async_threads_size threads.
// A scripted submission or public query is written to Redis from the
// caller's thread without blocking it; no thread waits for its reply.
//
// Submissions and queries have two paths. With --redis_cache_use_scripts
// (the default) a submission and a public query are one server-side Lua
// script each (sources in src/database/cache/lua/): one round trip, and
// atomic, so that no reader sees a submission half-written and no submission
// stops half-way; a social query's reads are one script too. Without it they
// run as the equivalent chain of single commands, the reference the scripts
// are tested against. Each entry point (SubmitScore, GetPublicLeaderboard,
// GetSocialLeaderboard) chooses the path once, on the caller's thread, and
// the two paths never call into each other. Deletions, rollovers, read-backs
// and recovery always use single commands.
//
// Where each part lives (src/database/cache/):
//   redis_cache.cc                start-up; SubmitScore and the player pins
//   redis_cache_query.cc          GetPublicLeaderboard, GetSocialLeaderboard
//                                 and the query steps both paths share
//                                 (checks and keys, social ranking)
//   redis_cache_script.cc         the scripted path: its connections, the
//                                 scripted submission and public query
//   redis_cache_social_script.cc  the scripted social query
//   redis_cache_chain.cc          the command chain: submission (with the
//                                 update of one ranking that deletion and
//                                 recovery reuse) and public query
//   redis_cache_social_chain.cc   the social query as commands
//   redis_cache_numbering.cc      rank numbering both query paths share
//   redis_cache_readback.cc       ReadBackSubmission; repair of a member
//                                 index that a write left half-way
//   redis_cache_maintenance.cc    DeleteScore and the three rollovers
//   redis_cache_recovery.cc       the synchronous recovery operations
//   redis_key.cc                  the key scheme (redis_key.h)
//   internal/                     the paths' declarations (redis_cache_chain.h,
//                                 redis_cache_script.h), the query contexts
//                                 and the helpers they share
//
// Submissions of one local account id run one at a time, in the order of
// their SubmitScore calls: while a player has submissions in flight it is
// pinned to one strand of the cache's strand table. Queries (and the
// deletions and rollovers that join this class) take no strand and
// interleave with submissions at the granularity of single Redis commands.
//
// Choices the callers rely on:
//   - A broken query range (all with begin/end not 0, from-top with begin < 0
//     or begin > end, nearby with begin > end) and a social query whose range
//     is not "all" are answered with a result in error (logged); the process
//     is not stopped. Callers refuse such queries earlier anyway.
//   - A nearby window that ends above the top (position + end < 0) is empty:
//     error false and no records. It never wraps around to the bottom.
//   - Equal scores are listed with the earlier ranking time first, in public
//     and in social queries alike.
//   - The dense numbering of a score missing from the dense set (a
//     leaderboard without dense sets, or a dense set that lags behind) is
//     computed by counting the distinct greater scores in the ranking itself,
//     so the rank is right, only slower.
//   - A member index entry that names a ranking member which is gone (left by
//     a failed or concurrent update) counts as no entry: the next submission
//     writes the score afresh.
//   - When the player's previous member is still in the ranking behind such
//     an entry (a write cut half-way), that member is the player's entry
//     again, for submissions and deletions alike (see AdoptStrayMember).
//   - Otherwise deletion and rollover treat a dangling index entry as none:
//     deleting it removes the index entry and reports no all-time entry.
//   - NaN scores never crash the cache: Redis refuses them and the operation
//     reports an error. A negative timestamp fails the submission (logged).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ranking_option.h"
#include "common/reset_schedule_info.h"
#include "database/cache/query_result.h"
#include "database/cache/redis_key.h"
#include "leaderboard.pb.h"
#include "vel/core/player_account.h"

namespace plemox {

class RedisCache {
 public:
  using Range = Leaderboard::LeaderboardQuery::Range;
  using RankingType = Leaderboard::LeaderboardQuery::Request::RankingType;
  using SubmissionResult = Leaderboard::ScoreSubmission::Response::Result;
  // The outcome of one submission: one entry per evaluated period ranking in
  // the order daily, weekly, monthly (kNewRecordDaily/Weekly/Monthly with the
  // score now stored there, or kNone with the submitted score), then, only
  // when the all-time ranking took a new record, (kNewRecord, that score).
  using NewRecords = std::vector<std::pair<SubmissionResult, double>>;
  // How a submission ended.
  enum class SubmitStatus {
    // Every evaluated ranking answered; `new_records` is complete.
    kStored,
    // The submission id was applied before (by this or another server):
    // `new_records` is that submission's outcome list; nothing was written.
    kResent,
    // The submission cannot be stored as asked (SubmitOutcome::refusal says
    // why, in words for the client); nothing was written.
    kRefused,
    // Redis refused a command, or could not be reached before anything was
    // written: `new_records` holds the entries of the rankings updated
    // before the failure (the ranking whose command failed may hold part of
    // its update, as the failure left it).
    kFailed,
    // The connection failed with a command in flight after the submission
    // may have written: whether Redis applied it is unknown, so the rankings
    // must be read back (ReadBackSubmission) to learn what they hold.
    kUncertain,
  };
  // What a submission may carry besides its score. Only the scripts keep
  // them: on the command chain a submission that carries any is refused.
  struct SubmissionExtras {
    // Each replaces the player's stored one on the leaderboard when set (an
    // empty value clears it) and leaves it when not set.
    std::optional<std::string> display_name;
    std::optional<std::string> metadata;
    // Empty: none. Otherwise a second submission with the id on the same
    // leaderboard within --submission_id_ttl_seconds is not applied again
    // (kResent), or refused when it is not the same submission (another
    // player, score or type).
    std::string submission_id;
    // With a submission id: tells this copy of the submission from a resend
    // of it (a read-back recognises its own write by it). Any text without
    // a line feed that another copy will not have (a random number).
    std::string token;
    // On a leaderboard with a tiebreak (RankingOption::tiebreak): the
    // record's second score, real (the cache orders it by the option); 0
    // when not set. Only the scripts keep it.
    std::optional<double> tiebreak_score;

    bool empty() const {
      return !display_name && !metadata && submission_id.empty();
    }
  };
  // How a submission ended, with what the caller needs to answer and write.
  struct SubmitOutcome {
    SubmitStatus status = SubmitStatus::kFailed;
    // Never null. kStored: one entry per evaluated ranking (see NewRecords).
    // kResent: the first submission's list. kFailed and kUncertain: the
    // entries of the rankings updated before the failure (none with
    // scripts, which write nothing when they fail).
    std::shared_ptr<NewRecords> new_records = std::make_shared<NewRecords>();
    // kStored: the submission's display name or metadata changed the
    // player's stored profile (the database needs the new values); after a
    // read-back: the profile holds them (writing them again is harmless).
    bool profile_changed = false;
    // kRefused: why, in words for the client.
    std::string refusal;
  };
  // Runs on a "RedisCacheCbIoService" thread. The completions of one local
  // account id's submissions run one at a time, in the order the cache
  // decided them, so what a completion starts (a database write) keeps the
  // player's order.
  using SubmitOutcomeCallback = std::function<void(const SubmitOutcome&)>;
  // Runs on a "RedisCacheCbIoService" thread, exactly once per query.
  using QueryCallback =
      std::function<void(const std::shared_ptr<QueryResult>& result)>;
  using DeletionResult = Leaderboard::ScoreDeletion::Response::Result;
  // Runs on a "RedisCacheCbIoService" thread, exactly once per deletion.
  // `result` is kRemoved when the player had an all-time entry that was
  // removed, kNotFound when it had none (also on error: the result so far).
  using DeleteScoreCallback =
      std::function<void(bool error, DeletionResult result)>;
  // Runs on a "RedisCacheCbIoService" thread, exactly once per rollover, with
  // the leaderboard id the rollover was asked for.
  using ResetCallback =
      std::function<void(bool error, const std::string& leaderboard_id)>;

  // The strand table has max(kMinStrandCount, redis_async_threads_size)
  // strands: at least one per thread so that every thread can work, and
  // many more than the usual thread count so that two busy players rarely
  // share a strand and wait for each other.
  static constexpr std::size_t kMinStrandCount = 64;

  // Creates the I/O groups (requests, their completions, and one thread of
  // its own for rollovers) and the strand table. Once per process, at
  // start-up, before any other function; a second call is fatal ("Assert
  // failed: ! the_io_service"). Returns false (logged) when a group cannot be
  // created. Requires vel::Redis to be initialised before any query or
  // submission runs. Host thread.
  static bool Initialize();

  // Submits `score` of `account` to leaderboard `leaderboard_id`: updates the
  // daily, weekly and monthly rankings whose schedule flag is set (all three
  // when no flag is set), in that order, and then, when one of them took a
  // new record and option.enable_alltime is set, the all-time ranking with
  // the best of those new scores as a high score. `submission_type` is 0
  // (keep the higher score), 1 (add), 2 (subtract) or any other value
  // (replace). The weekly ranking uses schedule.next_date_time as its week.
  // With server-side scripts (redis_cache_use_scripts) the whole submission
  // is one atomic script call; with the command chain the first failing
  // ranking ends the submission and rankings already updated stay updated.
  // The status tells a definite failure from an uncertain outcome. With
  // scripts, `extras` are applied in the same script: the profile is
  // updated whether or not the score is a new record, and a submission id
  // is checked before anything else and recorded with the outcome. A score
  // whose stored result would not be finite (kAdd or kSubtract beyond the
  // range of a double) is refused. Returns at once; any thread.
  static void SubmitScore(const std::string& leaderboard_id,
                          const vel::PlayerAccount& account, double score,
                          std::int32_t submission_type,
                          std::int64_t timestamp_in_msec,
                          const ResetScheduleInfo& schedule,
                          const RankingOption& option,
                          const SubmissionExtras& extras,
                          SubmitOutcomeCallback callback);

  // Learns what a submission whose outcome was uncertain left in Redis: for
  // each ranking SubmitScore would have evaluated (the same arguments), the
  // entry counts as this submission's when the player's member index names
  // the ranking member written with `timestamp_in_msec` and that member is
  // in the ranking; its score is then the stored one. Rankings without it
  // are (kNone, `score`); the all-time entry comes last and only when
  // present. Reads only. A submission of the same player with the same
  // millisecond is taken for this one; it then reports what Redis holds all
  // the same. The outcome is kStored with that list, or kFailed when Redis
  // failed a command (nothing was learnt). When the submission carried a
  // name or metadata, profile_changed tells whether the profile holds them.
  // With a submission id in `extras` the answer is exact instead, from the
  // id's record: kStored with the outcome list when this copy
  // (extras.token) applied it, kResent when another copy did, kStored with
  // an empty list when no copy did (nothing of it is in Redis). The
  // completion runs on a "RedisCacheCbIoService" thread. Returns at once;
  // any thread.
  static void ReadBackSubmission(const std::string& leaderboard_id,
                                 const vel::PlayerAccount& account,
                                 double score, std::int64_t timestamp_in_msec,
                                 const ResetScheduleInfo& schedule,
                                 const RankingOption& option,
                                 const SubmissionExtras& extras,
                                 SubmitOutcomeCallback callback);

  // Loads the server-side scripts into Redis (SCRIPT LOAD). Initialize calls
  // it; a Redis that is unreachable then gets them at first use, and one that
  // lost them (restart, SCRIPT FLUSH) gets them again. Returns false (logged)
  // when a script could not be loaded. Blocks; any thread.
  static bool LoadScripts();

  // Recovery of the profiles of `leaderboard_id`: one player's display name
  // and metadata each.
  struct RecoveryProfile {
    vel::PlayerAccount account;
    std::string display_name;
    std::string metadata;
  };
  // Writes every profile of `profiles` into the leaderboard's profile hash
  // (one HSET per call), replacing what it holds for those players; players
  // with neither a name nor metadata are left out. Blocks the caller; false
  // (logged) when Redis failed.
  static bool RestoreProfilesForRecovery(
      const std::string& leaderboard_id,
      const std::vector<RecoveryProfile>& profiles);

  // Recovery: puts one stored score into one ranking as a high score.
  // `week_time` names the week of a dated weekly key as MakeLeaderboardKey
  // takes it (not-a-date-time: the undated weekly key). `timestamp` goes
  // into the member ranking key unchanged. Blocks the caller; returns false
  // (logged) on failure.
  // On a leaderboard with a tiebreak, `tiebreak_score` is the record's real
  // second score (0 when absent).
  static bool SubmitScoreForRecovery(
      const std::string& leaderboard_id, Timespan timespan,
      const vel::PlayerAccount& account, double score, std::int64_t timestamp,
      const RankingOption& option,
      const boost::posix_time::ptime& week_time =
          boost::posix_time::not_a_date_time,
      std::optional<double> tiebreak_score = std::nullopt);

  // The number of members of the ranking of `timespan` (and `week_time`, as
  // above) into *count. Blocks the caller; false (logged, *count unchanged)
  // on failure. REQUIRES: count != nullptr.
  static bool GetRowCount(const std::string& leaderboard_id, Timespan timespan,
                          std::uint64_t* count,
                          const boost::posix_time::ptime& week_time =
                              boost::posix_time::not_a_date_time);
  // Recovery of many rows: one stored score to put back.
  struct RecoveryScore {
    vel::PlayerAccount account;
    double score = 0;
    std::int64_t timestamp = 0;  // goes into the member ranking key
    // The real second score on a leaderboard with a tiebreak.
    std::optional<double> tiebreak_score = std::nullopt;
  };
  // SubmitScoreForRecovery for every entry of `scores`, with the same effect
  // but in a handful of Redis round trips for the whole list: players new to
  // the ranking are written with one HSET and one ZADD (two with dense
  // sets); players it holds already, and entries repeated in the list, take
  // the single-entry path. Entries that failed (logged by the single-entry
  // path) are appended to *failed as indexes into `scores`. Blocks the
  // caller; any thread. REQUIRES: failed != nullptr.
  static void SubmitScoresForRecovery(
      const std::string& leaderboard_id, Timespan timespan,
      const std::vector<RecoveryScore>& scores, const RankingOption& option,
      std::vector<std::size_t>* failed,
      const boost::posix_time::ptime& week_time =
          boost::posix_time::not_a_date_time);

  // Reads one public ranking: the whole of it (range type kAll), positions
  // begin to end from the top (kFromTop), or the window of offsets begin to
  // end around `account`'s position (any other type; begin = end = 0 gives
  // the player's own record; a player without an entry gets one placeholder
  // record with rank 0 and score 0). Ranks by `ranking_type`: 1 position,
  // 2 competition (1, 1, 3), any other value dense (1, 1, 2). `week_time`
  // selects dated weekly keys (see MakeLeaderboardKey). With `league` (the
  // leaderboard's league rules) every record carries its player's tier,
  // read in the same script call. Returns at once; any thread.
  static void GetPublicLeaderboard(
      const std::string& leaderboard_id, const vel::PlayerAccount& account,
      Timespan timespan, const Range& range, RankingType ranking_type,
      const boost::posix_time::ptime& week_time, QueryCallback callback,
      std::shared_ptr<const LeagueRules> league = nullptr);

  // Ranks `account` (unless its local id is empty) and `competitors` by their
  // scores in one ranking; members without an entry get score 0. Every
  // listed player is in the result, the player in addition to the
  // competitors (a competitor equal to the player is listed twice). Only the
  // range type kAll is served. `league` as for GetPublicLeaderboard.
  // Returns at once; any thread.
  static void GetSocialLeaderboard(
      const std::string& leaderboard_id, const vel::PlayerAccount& account,
      const std::vector<vel::PlayerAccount>& competitors, Timespan timespan,
      const Range& range, RankingType ranking_type,
      const boost::posix_time::ptime& week_time, QueryCallback callback,
      std::shared_ptr<const LeagueRules> league = nullptr);

  // Removes `account` from every ranking of `leaderboard_id`: the all-time
  // ranking always (whatever option.enable_alltime says), then daily and
  // yesterday, weekly (schedule.next_date_time as its week) and last week
  // (schedule.past_date_time), monthly and last month, each pair only when
  // its schedule flag is set (all three pairs when no flag is set). Dense
  // sets are kept in step when option.enable_dense is set. The first failing
  // ranking ends the deletion with error true; rankings already cleaned stay
  // cleaned. Last, the player's profile (display name and metadata) on the
  // leaderboard is removed. Takes no player pin: not ordered with the
  // player's submissions. Returns at once; any thread.
  static void DeleteScore(const std::string& leaderboard_id,
                          const vel::PlayerAccount& account,
                          const ResetScheduleInfo& schedule,
                          const RankingOption& option,
                          DeleteScoreCallback callback);

  // Roll one period of `leaderboard_id` over: the current ranking set, its
  // member index and (with option.enable_dense) its dense set replace the
  // previous period's (daily -> yesterday, weekly -> last week, monthly ->
  // last month; always the undated weekly keys). When nobody scored in the
  // current period the previous period's keys are deleted. Afterwards the
  // current period has no keys. A current dense set or member index that is
  // missing while the ranking exists (dense enabled after scores were
  // written, or a member index lost) is not a failure: the previous one is
  // deleted instead (logged at info). On a league whose period this is, the
  // cohorts move in the same step and the closed ones are stamped with
  // `closed_period`, the key of the period the rollover closes ("" when
  // period ends are not recorded; see league_rollover.lua). Returns at once;
  // any thread.
  static void ResetDailyLeaderboard(const std::string& leaderboard_id,
                                    const RankingOption& option,
                                    const std::string& closed_period,
                                    ResetCallback callback);
  static void ResetWeeklyLeaderboard(const std::string& leaderboard_id,
                                     const RankingOption& option,
                                     const std::string& closed_period,
                                     ResetCallback callback);
  static void ResetMonthlyLeaderboard(const std::string& leaderboard_id,
                                      const RankingOption& option,
                                      const std::string& closed_period,
                                      ResetCallback callback);

  // --- Leagues (redis_cache_league.cc). ----------------------------------
  // One player of a league cohort as the cohort's reads give it.
  struct CohortEntry {
    std::string member_key;
    // The member ranking key and the stored score in the period ranking;
    // empty and 0 for a player whose score was deleted.
    std::string ranking_key;
    double stored_score = 0.0;
    std::string display_name;
    std::string metadata;
  };
  // A cohort of a league's period: kFound with its id and players in the
  // order they joined; kNone when the player (or the cohort id) is in no
  // cohort; kWaiting when the player waits for its placement (the moves of
  // the period before are being applied); kFailed when Redis failed.
  struct Cohort {
    enum Status { kFound, kNone, kWaiting, kFailed };
    Status status = kFailed;
    std::string cohort_id;
    std::vector<CohortEntry> entries;
  };
  using CohortCallback = std::function<void(const Cohort& cohort)>;
  // Reads the cohort of member `member_key` (by_member) or cohort `who`
  // (otherwise) in the period whose ranking is `period_ranking_key`, one
  // script on the pipelined connections. Returns at once; any thread;
  // `callback` runs on a cache completion thread.
  static void GetCohort(const std::string& leaderboard_id,
                        const std::string& period_ranking_key, bool by_member,
                        const std::string& who, CohortCallback callback);
  // Blocking version of GetCohort (the league's period end): the cohort or
  // kFailed. Any thread but the cache's own.
  static Cohort ReadCohort(const std::string& leaderboard_id,
                           const std::string& period_ranking_key,
                           const std::string& cohort_id);
  // The entries of a cohort that hold a score, in ranking order (the higher
  // stored score first, equal ones the earlier first, as Redis orders the
  // period ranking), numbered by `ranking_type` as records of *out. The
  // stored scores stay stored (FromStoredScore is the caller's). Pure.
  static void RankCohort(const Cohort& cohort, RankingType ranking_type,
                         std::vector<QueryResult::Record>* out);
  // The key of the period ranking a league's cohorts live in now: its
  // period's current ranking (the week of the next reset for dated weeks).
  static std::string LeagueRankingKey(const std::string& leaderboard_id,
                                      const LeagueRules& rules,
                                      const ResetScheduleInfo& schedule);
  // Appends a league submission's keys and arguments (submit_score.lua) to
  // *keys and *args. Pure.
  static void AddLeagueArguments(const std::string& leaderboard_id,
                                 const LeagueRules& rules,
                                 const ResetScheduleInfo& schedule,
                                 std::vector<std::string>* keys,
                                 std::vector<std::string>* args);
  // The rollover of a league's own period (blocking): its cohorts and its
  // period ranking (`key` over `previous_key`, with their dense sets and
  // member indexes) in one script, the closed cohorts stamped with
  // `closed_period` (league_rollover.lua). False (logged) when Redis
  // failed: then nothing moved. The rollover thread.
  static bool RollOverLeague(const std::string& leaderboard_id,
                             const RankingOption& option,
                             const std::string& closed_period,
                             const std::string& key,
                             const std::string& dense_key,
                             const std::string& previous_key,
                             const std::string& previous_dense_key);
  // Whether the rollover of `current` is the league period of `option`.
  static bool IsLeaguePeriod(const RankingOption& option, Timespan current);
  // Whether this deployment applies league moves at period ends (the
  // period-end subsystem runs): only then does a rollover hold the new
  // period's newcomers until the moves are in. Off until set; any thread.
  static void SetLeagueMovesApplied(bool on);
  // Up to `limit` of the oldest entries of the league's placement log
  // (blocking); false when Redis failed.
  static bool ReadLeagueLog(const std::string& leaderboard_id,
                            std::int64_t limit,
                            std::vector<std::string>* entries);
  // Removes the first `entries.size()` entries of the placement log when
  // they still begin with `entries` (another drainer may have taken them).
  static bool TrimLeagueLog(const std::string& leaderboard_id,
                            const std::vector<std::string>& entries);
  // Sets the tiers of `tiers` (member key, tier index) in the league's tier
  // hash, then, when the league hash of `period_ranking_key` has round
  // `round`, places up to `limit` waiting players and lifts the hold once
  // none waits (lua/league_place.lua). *waiting tells whether some still
  // wait. False when Redis failed.
  static bool ApplyTiersAndPlace(
      const std::string& leaderboard_id, const LeagueRules& rules,
      const std::string& period_ranking_key, std::int64_t round,
      const std::vector<std::pair<std::string, int>>& tiers, std::int64_t limit,
      bool* waiting);
  // The values of `fields` (at most a few hundred) of hash `key`, "" for an
  // absent one, in one script on the pipelined connections; `callback` gets
  // ok false when Redis failed. Any thread; the callback runs on a cache
  // completion thread.
  static void GetLeagueFields(
      const std::string& key, const std::vector<std::string>& fields,
      std::function<void(bool ok, const std::vector<std::string>& values)>
          callback);
  // One field of a league hash (blocking): nullopt when Redis failed, ""
  // when absent.
  static std::optional<std::string> LeagueField(const std::string& key,
                                                const std::string& field);

  // Queues `members` (member keys, in order) for a placement in the league
  // hash of `period_ranking_key`, as newcomers wait while a period is held,
  // unless one is placed or queued already (blocking); ApplyTiersAndPlace
  // places them. Recovery mode. False (logged) when Redis failed.
  static bool QueueForPlacement(const std::string& leaderboard_id,
                                const std::string& period_ranking_key,
                                const std::vector<std::string>& members);
  // Removes member `member_key` from its cohort of the current period
  // (blocking) and logs the departure in the placement log; a player still
  // waiting for its placement leaves the queue instead. True when done or
  // when it was in none.
  static bool LeaveCohort(const std::string& leaderboard_id,
                          const std::string& period_ranking_key,
                          const std::string& member_key);

  // The number of local account ids with submissions in flight (for
  // monitoring and tests). Any thread.
  static std::size_t GetPinnedPlayerCount();

  // The number of strands in the strand table; 0 before Initialize.
  static std::size_t GetStrandCount();

  RedisCache() = delete;

 private:
  using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

  // The strand a local account id's submissions are serialised on, and how
  // many of them are in flight.
  struct Pin {
    std::uint32_t pending = 0;
    std::uint64_t strand = 0;
    // The path of the submissions in flight (redis_cache_use_scripts when
    // the first of them came): later ones take it too, to keep their order.
    bool use_scripts = true;
  };

  // Query contexts, defined in internal/redis_cache_query_context.h (what
  // both kinds share), internal/redis_cache_public_query.h and
  // internal/redis_cache_social_query.h (a social query and one member of
  // its list).
  struct QueryContext;
  struct PublicQuery;
  struct SocialQuery;
  struct SocialEntry;

  // The two paths of submissions and queries, declared in
  // internal/redis_cache_chain.h (the command chain) and
  // internal/redis_cache_script.h (the server-side scripts).
  struct Chain;
  struct Script;

  // --- Shared by both paths (redis_cache.cc, redis_cache_query.cc). -------
  // `outcome` with the scores of its outcome list as the client knows them
  // (RankingOption::FromStoredScore); the list is copied, not changed.
  static SubmitOutcome WithRealScores(const RankingOption& option,
                                      const SubmitOutcome& outcome);
  // The tiebreak text a submission's ranking member starts with: "" when
  // the leaderboard has no tiebreak, else TiebreakToText of the second
  // score (0 when the submission has none) as Redis orders it.
  static std::string TiebreakTextOf(const RankingOption& option,
                                    const SubmissionExtras& extras);
  // Decrements the pin of `local_account_id`, erasing it at 0.
  static void ReleasePin(const std::string& local_account_id);
  // The read of a checked query by one path (Chain:: or Script::
  // GetPublicLeaderboard / GetSocialLeaderboard).
  using PublicQueryPath = void (*)(const std::shared_ptr<PublicQuery>& query);
  using SocialQueryPath = void (*)(const std::shared_ptr<SocialQuery>& query);
  // A requested query on the thread of its path (the caller's with scripts,
  // a cache I/O thread with the chain): checks it, answering a broken one in
  // error, builds its keys and hands it to `read`, the path its entry point
  // chose.
  static void OnPublicLeaderboardRequested(
      const std::shared_ptr<PublicQuery>& query, PublicQueryPath read);
  static void OnSocialLeaderboardRequested(
      const std::shared_ptr<SocialQuery>& query, SocialQueryPath read);
  // Fills what every query names and takes its path, once, on the caller's
  // thread: with scripts `requested` runs here with `script` (the script is
  // written to Redis from this thread without blocking it), otherwise on a
  // cache I/O thread with `chain`.
  template <typename Query>
  static void StartQuery(
      std::shared_ptr<Query> query, const std::string& leaderboard_id,
      const vel::PlayerAccount& account, Timespan timespan, const Range& range,
      RankingType ranking_type, const boost::posix_time::ptime& week_time,
      QueryCallback callback,
      void (*requested)(const std::shared_ptr<Query>&,
                        void (*)(const std::shared_ptr<Query>&)),
      void (*script)(const std::shared_ptr<Query>&),
      void (*chain)(const std::shared_ptr<Query>&));
  // Sorts query->social_list (highest score first, equal scores by
  // descending ranking key), numbers it by the query's ranking type into
  // query->result and posts the completion.
  static void RankSocialList(const std::shared_ptr<SocialQuery>& query);
  static void PostQueryCompletion(const QueryCallback& callback,
                                  std::shared_ptr<QueryResult> result);

  // --- Read-back and repair (redis_cache_readback.cc). --------------------
  // The body of ReadBackSubmission without a submission id, on a cache I/O
  // thread: one pass over the rankings, then the profile when the
  // submission carried a name or metadata.
  static void OnReadBackRequested(const std::string& leaderboard_id,
                                  const vel::PlayerAccount& account,
                                  double score, std::int64_t timestamp_in_msec,
                                  const ResetScheduleInfo& schedule,
                                  const RankingOption& option,
                                  const SubmissionExtras& extras,
                                  const SubmitOutcomeCallback& callback);
  // Whether the ranking `key` holds the member `ranking_key` as `account`'s
  // entry: *held set, and *stored_score to its score when held. False when
  // Redis failed a command.
  static bool ReadBackRanking(const std::string& key,
                              const std::string& member_key,
                              const std::string& ranking_key, bool* held,
                              double* stored_score);
  // Repairs a member index that a write left half-way: the index
  // (`timestamp_key`) names a member the ranking `key` lacks, while the
  // player's previous member may still be in it. That member (the latest, if
  // several) is the player's entry again: the index names it once more,
  // *ranking_key and *score are set to it, and older strays of the player
  // are removed. False when there is none or Redis failed (then the caller
  // writes the score afresh, as without a stray). Scans the ranking, which
  // only this repair needs. Used by the chain's submission and by deletion.
  // Cache I/O threads.
  static bool AdoptStrayMember(const std::string& key,
                               const std::string& timestamp_key,
                               const std::string& member_key,
                               std::string* ranking_key, double* score);

  // --- Deletion and rollover (redis_cache_maintenance.cc). ----------------
  static void OnScoreDeletionRequested(const std::string& leaderboard_id,
                                       const vel::PlayerAccount& account,
                                       const ResetScheduleInfo& schedule,
                                       const RankingOption& option,
                                       const DeleteScoreCallback& callback);
  // Removes the player from one ranking, its member index and (with
  // `enable_dense`) its dense set. A player without an entry is a success
  // with *result (when not null) kNotFound; a removed entry sets kRemoved.
  // False (logged) when a Redis command failed; nothing is undone.
  static bool DeleteScoreFromRanking(const std::string& leaderboard_id,
                                     const vel::PlayerAccount& account,
                                     Timespan timespan, bool enable_dense,
                                     const boost::posix_time::ptime& week_time,
                                     DeletionResult* result);
  // Moves a current ranking (set, dense set, member index) over the previous
  // one, or deletes the previous one when there is no current ranking. False
  // (logged) when a Redis command failed; nothing is undone.
  static bool ResetTimespan(const std::string& key,
                            const std::string& dense_key,
                            const std::string& previous_key,
                            const std::string& previous_dense_key,
                            bool enable_dense);
  // The rollover of one period on a cache I/O thread, after the Reset...
  // function of the same period posted it: rolls the period over
  // (RollOverPeriod) and posts `callback`.
  static void OnDailyLeaderboardResetRequested(
      const std::string& leaderboard_id, const RankingOption& option,
      const std::string& closed_period, const ResetCallback& callback);
  static void OnWeeklyLeaderboardResetRequested(
      const std::string& leaderboard_id, const RankingOption& option,
      const std::string& closed_period, const ResetCallback& callback);
  static void OnMonthlyLeaderboardResetRequested(
      const std::string& leaderboard_id, const RankingOption& option,
      const std::string& closed_period, const ResetCallback& callback);
  // Posts `handler`, one of the three above, to a cache I/O thread. Any
  // thread.
  using RolloverHandler = void (*)(const std::string& leaderboard_id,
                                   const RankingOption& option,
                                   const std::string& closed_period,
                                   const ResetCallback& callback);
  static void PostRollover(RolloverHandler handler,
                           const std::string& leaderboard_id,
                           const RankingOption& option,
                           const std::string& closed_period,
                           ResetCallback callback);
  // Rolls the period `current` (kDaily, kWeekly or kMonthly) over, logs the
  // outcome and posts `callback`. The rollover thread.
  static void RollOverPeriod(Timespan current,
                             const std::string& leaderboard_id,
                             const RankingOption& option,
                             const std::string& closed_period,
                             const ResetCallback& callback);

  // --- Process-wide state. ------------------------------------------------
  // Set once by Initialize, read-only afterwards.
  static std::shared_ptr<boost::asio::io_context> the_io_service;
  static std::shared_ptr<boost::asio::io_context> the_cb_io_service;
  // One thread for rollovers: a midnight of thousands of them waits here,
  // one after another, instead of in front of the requests on the_io_service.
  static std::shared_ptr<boost::asio::io_context> the_rollover_io_service;
  static std::vector<Strand> the_strands;
  // One callback strand per strand of the_strands, on the callback group: a
  // player's completions go through the callback strand of the strand that
  // decided them.
  static std::vector<Strand> the_cb_strands;
  static std::mutex the_pin_mutex;
  // Local account id -> pin; an entry exists exactly while a submission of
  // that id is in flight.
  static std::unordered_map<std::string, Pin>
      the_pins;  // GUARDED_BY(the_pin_mutex)
};

}  // namespace plemox
