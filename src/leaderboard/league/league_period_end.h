// LeaguePeriodEnd: the thread that, as master, turns the closed periods of
// leagues into moves. For each league it drains the placement log of Redis
// into the league_placement table (what recovery rebuilds the current
// cohorts from), and for each closed period of the league's kind that the
// period archive recorded, once the rollover is done: one transaction per
// cohort writes its players' history rows, their new tiers and (with a
// webhook) the cohort's period-end document, guarded by the primary key of
// (league, period, cohort), so that a resumed period end moves nobody twice;
// then the absent players' moves (once, guarded likewise), the new tiers in
// Redis, the placement of the players who waited, and the period's done row.
//
// Threads: Start, Stop on the start-up and shutdown thread; Wake and
// EnsureTables from any thread; the rest runs on its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ranking_option.h"

namespace vel {
class Mariadb;
}  // namespace vel

namespace plemox {

class LeaguePeriodEnd {
 public:
  // The counts of the league metrics.
  struct Counts {
    std::uint64_t cohorts = 0;     // cohorts whose moves this server wrote
    std::uint64_t moved = 0;       // players moved up or down by them
    std::uint64_t periods = 0;     // league periods this server finished
    std::uint64_t placements = 0;  // placements drained into the database
  };

  // `client` is the database client of the league tables; `is_master`
  // tells whether this server is master now; `on_documents` runs (on this
  // thread) after a cohort's period-end document was written.
  LeaguePeriodEnd(std::shared_ptr<vel::Mariadb> client,
                  std::function<bool()> is_master,
                  std::function<void()> on_documents);
  ~LeaguePeriodEnd();
  LeaguePeriodEnd(const LeaguePeriodEnd&) = delete;
  LeaguePeriodEnd& operator=(const LeaguePeriodEnd&) = delete;

  // Creates the league tables when missing (blocking); false, logged, when
  // the database refused.
  static bool EnsureTables(vel::Mariadb& client);

  // One period of a player's tier history.
  struct HistoryRow {
    std::string period_start;
    std::string period_end;
    std::string cohort_id;
    std::int64_t position = 0;
    double score = 0;
    int old_tier = 0;
    int new_tier = 0;
  };
  // The player's current tier (-1: none yet) and its latest `limit` history
  // rows, latest first, read without blocking; `callback` runs on a
  // database thread, with failed true when the database failed.
  void ReadHistory(const std::string& league_id, const std::string& member_key,
                   std::int64_t limit,
                   std::function<void(bool failed, int tier,
                                      const std::vector<HistoryRow>& rows)>
                       callback);

  void Start();
  void Stop();
  // Runs a pass soon (a period ended, this server became master).
  void Wake();
  Counts counts() const;

 private:
  void Run();
  // One pass over every league; false when something must be tried again.
  bool Pass();
  bool DrainLog(const RankingOption& league);
  bool FinishPeriods(const RankingOption& league);

  struct ClosedPeriod;
  // Where the cohorts of a closed period are: in the previous-period league
  // hash (kFound, with the round they closed), not yet (its rollover may
  // still come), gone for good (its rollover failed or never happened, or
  // a later one or a loss of Redis replaced them), or unknown for now
  // (Redis failed).
  enum class Closed { kFound, kNotYet, kGone, kRetry };
  Closed FindClosed(const RankingOption& league, const ClosedPeriod& period,
                    std::int64_t* round);
  bool FinishPeriod(const RankingOption& league, const ClosedPeriod& period);
  // What one cohort's period end writes: its guard row, history rows,
  // tiers and document, built from the closed cohort in Redis.
  struct CohortWrite {
    std::vector<std::string> statements;
    std::size_t players = 0;
    std::uint64_t moved = 0;
  };
  // Reads cohort `cohort_id` of the closed period and builds its writes;
  // false when Redis failed.
  bool CohortStatements(const RankingOption& league, const ClosedPeriod& period,
                        std::int64_t round, const std::string& cohort_id,
                        CohortWrite* write);
  // Writes `writes` in one transaction (each alone when one was written
  // before); false when the database failed.
  bool WriteCohorts(const std::vector<CohortWrite>& writes);
  bool ApplyTiers(const RankingOption& league, const ClosedPeriod& period,
                  std::int64_t round);

  std::shared_ptr<vel::Mariadb> client_;
  std::function<bool()> is_master_;
  std::function<void()> on_documents_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // Set under mutex_ (for the wait), read without it between cohorts.
  std::atomic<bool> stop_{false};
  bool woken_ = false;  // GUARDED_BY(mutex_)
  std::atomic<std::uint64_t> cohorts_{0};
  std::atomic<std::uint64_t> moved_{0};
  std::atomic<std::uint64_t> periods_{0};
  std::atomic<std::uint64_t> placements_{0};
};

}  // namespace plemox
