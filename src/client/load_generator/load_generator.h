// LoadGenerator: drives a leaderboard server with many client connections
// and a configurable mix of submissions and queries, and measures the
// throughput and the latency distribution of every request kind.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "leaderboard.pb.h"

namespace plemox {

// A closed-loop load generator over LeaderboardClient. Each connection
// authenticates once, then keeps up to `in_flight` requests outstanding:
// whenever one ends (answer, failure answer, timeout or disconnection) the
// next one is sent, until the duration has passed or the request budget is
// spent. Request kinds are drawn at random by the weights of the mix.
//
// Being closed-loop, a slow server slows the generator down with it; the
// latencies are those of the requests actually sent (no correction for
// requests that would have been sent on a fixed schedule).
//
// With Options::rate set it runs open-loop instead: requests are due on a
// fixed schedule (LoadGeneratorSchedule) whatever the answers, and each
// latency is measured from the request's due time, so that a stalled server
// or a late sender shows in the percentiles instead of lowering the offered
// load. A connection holds at most Options::max_outstanding requests; one
// due while its connection is full (or lost) is not sent and is counted as
// dropped, one sent kLateAfter or more after its due time as late.
//
// Thread safety: a LoadGenerator runs one Run() at a time; Run blocks the
// calling thread. The progress callback runs on the calling thread. The
// nested value types (Mix, LatencyHistogram, Options, Report) are plain
// values without synchronisation.
class LoadGenerator {
 public:
  // What one request does.
  enum class RequestKind : int {
    kSubmit = 0,        // score submission without a rank lookup
    kSubmitRanked = 1,  // score submission asking for the player's rank
    kTop = 2,           // public query of positions 0 to top_count - 1
    kNearby = 3,        // public query of a window around a player
    kSocial = 4,        // social query of a player and its friends
    kCohort = 5,        // a league's query of the whole cohort of a player
  };
  static constexpr int kKindCount = 6;

  // The name of a kind in mixes and reports: submit, submit_ranked, top,
  // nearby, social, cohort.
  static const char* KindName(RequestKind kind);
  // The kind named `name`; false (and *out unchanged) for any other text.
  static bool ParseKind(const std::string& name, RequestKind* out);

  // The relative weights of the request kinds.
  struct Mix {
    std::array<uint32_t, kKindCount> weights{};

    uint64_t Total() const;
    uint32_t weight(RequestKind kind) const {
      return weights[static_cast<int>(kind)];
    }
    // Maps `draw` (any number, taken modulo Total()) to a kind, each kind
    // receiving a share of the draws equal to its weight.
    // REQUIRES: Total() > 0.
    RequestKind Pick(uint64_t draw) const;
    // "submit=3,top=1": the kinds with a weight, in kind order.
    std::string ToString() const;

    // Reads "name=weight,name=weight,..." (spaces around items allowed).
    // Every name must be a kind name and appear once; every weight is a
    // decimal integer from 0 to 1000000; the weights must not all be 0.
    // Kinds left out weigh 0. On failure returns false, sets *error to the
    // reason and leaves *out unchanged. REQUIRES: out, error not null.
    static bool Parse(const std::string& text, Mix* out, std::string* error);
  };

  // A latency histogram with log-linear buckets in whole microseconds:
  // values below 256 are kept exactly, larger ones in 128 buckets per power
  // of two, so a reported percentile is at most 1/128 (0.8 %) above the true
  // value. Its size is fixed (about 30 KiB) whatever the number of samples.
  // Values above kMaxTrackableMicros are counted as that value.
  class LatencyHistogram {
   public:
    static constexpr uint64_t kMaxTrackableMicros = (uint64_t{1} << 36) - 1;

    LatencyHistogram();

    void Record(uint64_t micros);
    // Adds every sample of `other`.
    void Merge(const LatencyHistogram& other);
    void Clear();

    uint64_t count() const { return count_; }
    // Exact smallest and largest recorded values (after clamping); 0 when
    // empty.
    uint64_t min() const { return count_ == 0 ? 0 : min_; }
    uint64_t max() const { return max_; }
    // Exact arithmetic mean; 0 when empty.
    double mean() const;
    // The smallest recorded value v such that at least `quantile` of the
    // samples are <= v, reported as the upper end of v's bucket and never
    // above max(). `quantile` is clamped to [0, 1]; 0 when empty.
    uint64_t ValueAtQuantile(double quantile) const;

    // Bucket arithmetic, exposed for tests.
    static size_t BucketIndex(uint64_t micros);
    // The smallest and largest values that land in bucket `index`.
    static uint64_t BucketLowest(size_t index);
    static uint64_t BucketHighest(size_t index);
    static size_t BucketCount();

   private:
    std::vector<uint64_t> counts_;
    uint64_t count_ = 0;
    uint64_t min_ = 0;
    uint64_t max_ = 0;
    // Sum of the recorded values, for the mean. Long double keeps it exact
    // far beyond any run's total.
    long double sum_ = 0;
  };

  struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 12820;
    std::string app_id = "leaderboard_loadgen";
    // The app's key; empty sends none.
    std::string key;
    // TLS of every connection (off by default).
    LeaderboardClient::Tls tls;
    // Connections, each authenticated once and with its own I/O thread.
    int connections = 8;
    // Requests outstanding per connection (closed loop and prefill).
    int in_flight = 4;
    // Requests per second over all connections; > 0 runs the measured part
    // open-loop on a fixed schedule (the prefill stays closed-loop), 0
    // closed-loop.
    double rate = 0;
    // The most requests outstanding per connection in a fixed-rate run.
    int max_outstanding = 64;
    // The run ends when `duration` has passed or `max_requests` requests
    // have been sent, whichever comes first; 0 turns a limit off. With both
    // off only the prefill runs (then `prefill` must be set).
    std::chrono::milliseconds duration{10000};
    uint64_t max_requests = 0;
    // Per-request timeout, and the limit for connecting and authenticating.
    std::chrono::milliseconds timeout{5000};
    Mix mix;
    // Leaderboards the requests are spread over, uniformly.
    std::vector<std::string> leaderboard_ids;
    // Players are "<player_prefix><n>" of service provider `provider`, n
    // drawn uniformly from 0 to players - 1.
    uint64_t players = 10000;
    std::string player_prefix = "p";
    std::string provider = "loadgen";
    // Scores are whole numbers drawn uniformly from 0 to max_score.
    uint64_t max_score = 1000000;
    Leaderboard::ScoreSubmission::Type submission_type =
        Leaderboard::ScoreSubmission::kHighScore;
    Leaderboard::LeaderboardQuery::TimeSpan time_span =
        Leaderboard::LeaderboardQuery::kAllTime;
    Leaderboard::LeaderboardQuery::Request::RankingType ranking_type =
        Leaderboard::LeaderboardQuery::Request::kPosition;
    // Positions 0 to top_count - 1 for kTop.
    int64_t top_count = 100;
    // Offsets -nearby_radius to +nearby_radius for kNearby.
    int64_t nearby_radius = 5;
    // Competitors of a social query (distinct from the player when the
    // player count allows it).
    int friends = 20;
    // The time span of kCohort queries: the league's period (a cohort query
    // of another span is refused).
    Leaderboard::LeaderboardQuery::TimeSpan cohort_time_span =
        Leaderboard::LeaderboardQuery::kDaily;
    // Every submission (prefill included) carries a display name of this
    // many bytes and metadata of this many bytes, made from the player's
    // number; 0 sends none.
    uint32_t name_bytes = 0;
    uint32_t metadata_bytes = 0;
    // Every submission carries a second score (for leaderboards with a
    // tiebreak): one of 100 values made from the player's number, so that
    // equal scores are often broken and sometimes not.
    bool tiebreak_scores = false;
    // Before the measured run, submit one score for every player on every
    // leaderboard, so that queries find full rankings. Not measured; its
    // outcome is in Report::prefill_*.
    bool prefill = false;
    // Seed of the request choices; runs with equal seeds and options send
    // the same requests per connection (answers and timing still vary).
    // 0 draws a fresh seed per run (Report::seed tells which), so that a
    // second run does not replay the scores of the first one, which would
    // then never be new records.
    uint64_t seed = 0;
    // How often the progress callback runs during the measured run.
    std::chrono::milliseconds progress_interval{1000};

    // Why these options cannot run, or "" when they can.
    std::string Validate() const;
  };

  // How the requests of one kind ended.
  struct KindStats {
    uint64_t sent = 0;
    uint64_t ok = 0;
    // Answered with `fail`, by code (kFailInvalidParameter 1,
    // kFailUnauthenticatedApp 2, kFailUnknown 3; other codes under 0).
    std::array<uint64_t, 4> fail_by_code{};
    uint64_t timed_out = 0;
    // Ended by the connection's end, or not sent at all.
    uint64_t disconnected = 0;
    // Fixed-rate runs: due but not sent, because the connection had
    // max_outstanding requests outstanding or was lost.
    uint64_t dropped = 0;
    // Fixed-rate runs: sent kLateAfter or more after the due time (the
    // lateness is part of their latency).
    uint64_t late = 0;
    // Latency of every request that got an answer (ok or fail): from the
    // send in closed-loop runs, from the due time in fixed-rate runs.
    LatencyHistogram latency;

    uint64_t failed() const;
    uint64_t finished() const {
      return ok + failed() + timed_out + disconnected;
    }
    void Merge(const KindStats& other);
  };

  struct Report {
    // Time from the first request sent to the last one ended.
    std::chrono::microseconds elapsed{0};
    std::array<KindStats, kKindCount> kinds;
    KindStats total;
    int connections = 0;
    // The seed the request choices were drawn with.
    uint64_t seed = 0;
    // Connections that ended during the run; nothing more was sent on them.
    int lost_connections = 0;
    // One line per failure text seen, with its count, most frequent first
    // (at most 10); explains the counts in `kinds`.
    std::vector<std::pair<std::string, uint64_t>> failure_samples;
    // The prefill phase, when it ran.
    uint64_t prefill_requests = 0;
    uint64_t prefill_failures = 0;
    std::chrono::microseconds prefill_elapsed{0};
    // Fixed-rate runs only (fixed_rate set).
    bool fixed_rate = false;
    double offered_rate = 0;  // Options::rate
    int max_outstanding = 0;  // Options::max_outstanding
    // Requests the schedule held: sent + dropped of every kind + abandoned.
    uint64_t scheduled = 0;
    // Due after every connection was lost: the run ended there, and these
    // were neither drawn nor sent.
    uint64_t abandoned = 0;
    // The largest delay of a send behind its due time.
    std::chrono::microseconds max_send_lag{0};

    const KindStats& of(RequestKind kind) const {
      return kinds[static_cast<int>(kind)];
    }
    // Requests ended per second over `elapsed`.
    double RequestsPerSecond(const KindStats& stats) const;
    // Successful answers per second over `elapsed`: the rate achieved
    // against the offered one.
    double AchievedRate() const;
  };

  // A request sent this long or longer after its due time counts as late.
  static constexpr std::chrono::milliseconds kLateAfter{1};

  // A snapshot taken once per progress interval.
  struct Progress {
    std::chrono::milliseconds elapsed{0};
    uint64_t finished = 0;
    uint64_t ok = 0;
    uint64_t failed = 0;     // failure answers
    uint64_t timed_out = 0;  // timeouts and disconnections
    uint64_t in_flight = 0;
    // Requests ended per second since the previous snapshot.
    double recent_rate = 0;
  };
  using ProgressCallback = std::function<void(const Progress&)>;

  explicit LoadGenerator(Options options);
  ~LoadGenerator();
  LoadGenerator(const LoadGenerator&) = delete;
  LoadGenerator& operator=(const LoadGenerator&) = delete;

  // Connects and authenticates every connection, runs the prefill when
  // asked, then the measured run; fills *report. Returns false (reason in
  // error()) when the options are invalid or a connection cannot be opened
  // or authenticated; failures of single requests during the run are counted
  // in the report, not returned. REQUIRES: report != nullptr; not called
  // concurrently.
  bool Run(Report* report, const ProgressCallback& progress = nullptr);

  const std::string& error() const { return error_; }

  // A readable table of `report`: one row per kind that was sent and a total
  // row, with requests per second, latency percentiles in milliseconds and
  // the failure counts.
  static std::string FormatReport(const Report& report);
  // The same rows as tab-separated values without a header, each row
  // starting with `label`: label, kind, finished, req/s, p50, p90, p99,
  // p99.9, max (ms), failed, timed out, dropped, late, offered req/s (the
  // last three 0 in closed-loop runs).
  static std::string FormatTsv(const std::string& label, const Report& report);

 private:
  struct Worker;
  struct PlannedRequest;

  using Clock = std::chrono::steady_clock;

  bool Connect();
  void RunPrefill(Report* report);
  void RunMeasured(Report* report, const ProgressCallback& progress);
  bool AllConnectionsLost() const;
  // No request in flight and none may start any more.
  bool MeasuredRunDone() const;
  Progress Snapshot(Clock::time_point start) const;
  // Calls `progress` when `*next_progress` has come, with the rate since
  // `*previous`; advances both.
  void ReportProgress(Clock::time_point start, const ProgressCallback& progress,
                      Clock::time_point* next_progress, Progress* previous);
  // Merges the workers' statistics and failure texts into *report.
  void CollectReport(Report* report);
  // Starts the next request of `worker` when the budget allows; called on
  // the calling thread at start and on the worker's I/O thread afterwards.
  void SendNext(Worker* worker);
  // Draws the next request of `worker` (kind, player, leaderboard, score,
  // friends). Any thread.
  PlannedRequest Draw(Worker* worker);
  // The submission of `score` by player `player` to `leaderboard_id`, with
  // the name and metadata of the options. Any thread.
  LeaderboardClient::Submission MakeSubmission(
      const std::string& leaderboard_id, uint64_t player, double score,
      const std::optional<LeaderboardClient::RankLookup>& rank) const;
  // Sends `request` on `worker`; its latency counts from `origin`.
  void Issue(Worker* worker, const PlannedRequest& request,
             Clock::time_point origin);
  void OnRequestEnded(Worker* worker, RequestKind kind,
                      Clock::time_point origin,
                      const LeaderboardClient::Result& result);
  // The measured run on the fixed schedule of options_.rate, paced on the
  // calling thread.
  void RunFixedRate(Report* report, const ProgressCallback& progress);
  // Draws the request due at `due` on `worker` and sends it, or counts it
  // as dropped when the worker is full or lost. Pacing thread only.
  void Dispatch(Worker* worker, Clock::time_point due, Report* report);
  // Closes every connection: what is outstanding ends as lost. Not on an
  // I/O thread.
  void CloseConnections();
  // Waits until no request is outstanding (closing the connections should
  // that take longer than every timeout), with progress meanwhile.
  void Drain(Clock::time_point start, const ProgressCallback& progress,
             Clock::time_point* next_progress, Progress* previous);
  // Counts a request as in flight when the budget and the stop allow it.
  bool MayStartRequest();

  const Options options_;
  std::string error_;
  // The seed of the current run (options_.seed or a fresh one).
  uint64_t seed_ = 0;
  std::vector<std::unique_ptr<Worker>> workers_;

  // Shared by the workers during the measured run.
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> started_{0};
  std::atomic<uint64_t> in_flight_{0};
  // Wakes Run when the count of outstanding requests drops to 0.
  std::mutex done_mutex_;
  std::condition_variable done_;
};

}  // namespace plemox
