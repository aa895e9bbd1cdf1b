#include "client/load_generator/load_generator.h"

#include <glog/logging.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <unordered_set>

#include "client/query_builder.h"

namespace plemox {
namespace {

using Clock = std::chrono::steady_clock;
using Leaderboard::LeaderboardQuery;
using Leaderboard::Response;

// Most distinct failure texts kept per worker; rarer ones are only counted.
constexpr size_t kMaxFailureTexts = 64;

}  // namespace

// ---------------------------------------------------------------------------
// The run.

// One connection with its own random choices and statistics.
struct LoadGenerator::Worker {
  Worker(int worker_index, uint64_t seed,
         const LeaderboardClient::Options& client_options)
      : index(worker_index),
        client(client_options),
        random(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(index)) {}

  const int index;
  LeaderboardClient client;

  std::mutex mutex;
  std::mt19937_64 random;                         // GUARDED_BY(mutex)
  std::array<KindStats, kKindCount> stats;        // GUARDED_BY(mutex)
  std::map<std::string, uint64_t> failure_texts;  // GUARDED_BY(mutex)
  uint64_t prefill_failures = 0;                  // GUARDED_BY(mutex)

  // Read by the progress snapshots.
  std::atomic<uint64_t> finished{0};
  std::atomic<uint64_t> ok{0};
  std::atomic<uint64_t> failed{0};
  std::atomic<uint64_t> timed_out{0};
  // Set when the connection ended: nothing more is sent on it.
  std::atomic<bool> lost{false};
  // Fixed-rate runs: requests sent and not yet ended. Only the pacing
  // thread raises it, so its check against the bound cannot race.
  std::atomic<int> outstanding{0};
};

// One request drawn for a worker, not yet sent.
struct LoadGenerator::PlannedRequest {
  RequestKind kind = RequestKind::kSubmit;
  uint64_t player = 0;
  double score = 0;
  const std::string* leaderboard_id = nullptr;
  std::vector<uint64_t> friends;
};

LoadGenerator::LoadGenerator(Options options) : options_(std::move(options)) {}

LoadGenerator::~LoadGenerator() {
  // Each client's destructor closes its connection and joins its thread;
  // the callbacks that run meanwhile see stopping_ and send nothing new.
  stopping_ = true;
  workers_.clear();
}

bool LoadGenerator::Connect() {
  workers_.clear();
  for (int i = 0; i < options_.connections; ++i) {
    LeaderboardClient::Options client_options;
    client_options.tls = options_.tls;
    auto worker = std::make_unique<Worker>(i, seed_, client_options);
    if (!worker->client.Connect(options_.host, options_.port,
                                options_.timeout)) {
      error_ = "connection " + std::to_string(i + 1) + " of " +
               std::to_string(options_.connections) + ": cannot connect to " +
               options_.host + ":" + std::to_string(options_.port) + ": " +
               worker->client.LastError();
      return false;
    }
    const LeaderboardClient::Result authentication =
        worker->client.Authenticate(options_.app_id, options_.key,
                                    options_.timeout);
    if (!authentication.ok()) {
      error_ = "connection " + std::to_string(i + 1) + ": authentication " +
               (authentication.answered()
                    ? "refused: " + authentication.response.ShortDebugString()
                    : "failed: " + authentication.error);
      return false;
    }
    workers_.push_back(std::move(worker));
  }
  return true;
}

bool LoadGenerator::Run(Report* report, const ProgressCallback& progress) {
  *report = Report();
  error_.clear();
  error_ = options_.Validate();
  if (!error_.empty()) return false;
  stopping_ = false;
  seed_ = options_.seed;
  while (seed_ == 0)
    seed_ = (uint64_t{std::random_device()()} << 32) ^ std::random_device()();
  report->seed = seed_;
  if (!Connect()) {
    LOG(ERROR) << "Load generator failed to start: " << error_;
    workers_.clear();
    return false;
  }
  report->connections = static_cast<int>(workers_.size());
  if (options_.prefill) RunPrefill(report);
  if (options_.duration.count() > 0 || options_.max_requests > 0) {
    if (options_.rate > 0) {
      RunFixedRate(report, progress);
    } else {
      RunMeasured(report, progress);
    }
  }
  return true;
}

namespace {

// The account of player number `n`.
Leaderboard::AccountId PlayerAccount(const LoadGenerator::Options& options,
                                     uint64_t n) {
  return QueryBuilder::Account(options.provider,
                               options.player_prefix + std::to_string(n));
}

void CountFailureText(std::map<std::string, uint64_t>* texts,
                      const std::string& text) {
  auto it = texts->find(text);
  if (it != texts->end()) {
    ++it->second;
  } else if (texts->size() < kMaxFailureTexts) {
    texts->emplace(text, 1);
  }
}

bool IsConnectionEnd(const LeaderboardClient::Result& result) {
  return result.status == LeaderboardClient::Status::kDisconnected ||
         result.status == LeaderboardClient::Status::kNotConnected;
}

// A short description of why `result` is no success; "" for a success.
std::string DescribeFailure(const LeaderboardClient::Result& result) {
  switch (result.status) {
    case LeaderboardClient::Status::kAnswered:
      if (result.response.has_fail()) {
        return "fail answer, code " +
               std::to_string(result.response.fail().code()) + ": " +
               result.response.fail().message();
      }
      return result.ok() ? ""
                         : "refused: " + result.response.ShortDebugString();
    case LeaderboardClient::Status::kTimedOut:
      return "timeout: " + result.error;
    case LeaderboardClient::Status::kDisconnected:
      return "connection lost: " + result.error;
    case LeaderboardClient::Status::kNotConnected:
      return "not connected: " + result.error;
    case LeaderboardClient::Status::kInvalidRequest:
      return "not sent: " + result.error;
  }
  return "unknown status";
}

}  // namespace

// The prefill walks every (player, leaderboard) pair once, shared by all
// workers, each keeping `in_flight` submissions outstanding.
void LoadGenerator::RunPrefill(Report* report) {
  const uint64_t total =
      options_.players * static_cast<uint64_t>(options_.leaderboard_ids.size());
  std::atomic<uint64_t> next{0};
  std::atomic<uint64_t> outstanding{0};
  std::atomic<uint64_t> ended{0};
  const Clock::time_point start = Clock::now();

  // Sends the next pair on `worker`, if any is left. The callbacks refer to
  // the locals above: this function returns only once every submission has
  // ended (each ends exactly once, at the latest with its timeout).
  std::function<void(Worker*)> send_next = [&](Worker* worker) {
    if (worker->lost) return;
    const uint64_t pair = next.fetch_add(1);
    if (pair >= total) return;
    outstanding.fetch_add(1);
    const uint64_t player = pair % options_.players;
    const std::string& leaderboard_id =
        options_.leaderboard_ids[pair / options_.players];
    double score = 0;
    {
      std::lock_guard<std::mutex> lock(worker->mutex);
      score = static_cast<double>(worker->random() % (options_.max_score + 1));
    }
    worker->client.SubmitScoreAsync(
        MakeSubmission(leaderboard_id, player, score, std::nullopt),
        [&, worker](LeaderboardClient::Result result) {
          const std::string failure = DescribeFailure(result);
          if (!failure.empty()) {
            std::lock_guard<std::mutex> lock(worker->mutex);
            ++worker->prefill_failures;
            CountFailureText(&worker->failure_texts, "prefill: " + failure);
          }
          if (IsConnectionEnd(result) && !worker->client.IsConnected()) {
            worker->lost = true;
          }
          ended.fetch_add(1);
          send_next(worker);
          if (outstanding.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> lock(done_mutex_);
            done_.notify_all();
          }
        },
        options_.timeout);
  };

  // Hold one count while starting, so that early completions cannot end
  // the phase before every worker got its first submissions.
  outstanding.fetch_add(1);
  for (auto& worker : workers_) {
    for (int i = 0; i < options_.in_flight; ++i) send_next(worker.get());
  }
  outstanding.fetch_sub(1);
  {
    std::unique_lock<std::mutex> lock(done_mutex_);
    done_.wait(lock, [&] { return outstanding.load() == 0; });
  }
  report->prefill_requests = ended.load();
  report->prefill_elapsed =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                            start);
  for (auto& worker : workers_) {
    std::lock_guard<std::mutex> lock(worker->mutex);
    report->prefill_failures += worker->prefill_failures;
  }
  LOG(INFO) << "Prefill done: submissions=" << report->prefill_requests
            << ", failed=" << report->prefill_failures
            << ", ms=" << report->prefill_elapsed.count() / 1000;
}

bool LoadGenerator::AllConnectionsLost() const {
  return std::all_of(workers_.begin(), workers_.end(),
                     [](const auto& worker) { return worker->lost.load(); });
}

bool LoadGenerator::MeasuredRunDone() const {
  if (in_flight_.load() != 0) return false;
  return stopping_ ||
         (options_.max_requests != 0 &&
          started_.load() >= options_.max_requests) ||
         AllConnectionsLost();
}

LoadGenerator::Progress LoadGenerator::Snapshot(Clock::time_point start) const {
  Progress progress;
  progress.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - start);
  for (const auto& worker : workers_) {
    progress.finished += worker->finished.load();
    progress.ok += worker->ok.load();
    progress.failed += worker->failed.load();
    progress.timed_out += worker->timed_out.load();
  }
  progress.in_flight = in_flight_.load();
  return progress;
}

void LoadGenerator::RunMeasured(Report* report,
                                const ProgressCallback& progress) {
  started_ = 0;
  in_flight_ = 0;
  stopping_ = false;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = options_.duration.count() > 0
                                         ? start + options_.duration
                                         : Clock::time_point::max();
  // Hold one count while starting (see MayStartRequest).
  in_flight_.fetch_add(1);
  for (auto& worker : workers_) {
    for (int i = 0; i < options_.in_flight; ++i) SendNext(worker.get());
  }
  in_flight_.fetch_sub(1);

  Clock::time_point next_progress = start + options_.progress_interval;
  Progress previous;
  // How long the requests still out after the stop may take: each ends by
  // its timeout; the margin covers the timer's own lateness.
  const auto drain_limit = options_.timeout + std::chrono::seconds(2);
  Clock::time_point drain_deadline = Clock::time_point::max();
  bool closed = false;
  std::unique_lock<std::mutex> lock(done_mutex_);
  while (!MeasuredRunDone()) {
    Clock::time_point now = Clock::now();
    if (!stopping_ && now >= deadline) {
      stopping_ = true;
      drain_deadline = now + drain_limit;
      continue;
    }
    if (stopping_ && now >= drain_deadline && !closed) {
      // Should not happen: every request ends with its timeout. Closing
      // ends whatever is left (as lost). Callbacks take done_mutex_, so it
      // must not be held here.
      LOG(ERROR) << "Load generator: requests still outstanding "
                 << drain_limit.count() << " ms after the stop; closing";
      closed = true;
      lock.unlock();
      for (auto& worker : workers_) worker->client.Close();
      lock.lock();
      continue;
    }
    done_.wait_until(lock, std::min({next_progress, deadline, drain_deadline}));
    lock.unlock();
    ReportProgress(start, progress, &next_progress, &previous);
    lock.lock();
  }
  lock.unlock();
  stopping_ = true;
  report->elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      Clock::now() - start);
  CollectReport(report);
}

void LoadGenerator::ReportProgress(Clock::time_point start,
                                   const ProgressCallback& progress,
                                   Clock::time_point* next_progress,
                                   Progress* previous) {
  if (Clock::now() < *next_progress) return;
  *next_progress += options_.progress_interval;
  if (!progress) return;
  Progress current = Snapshot(start);
  const double seconds =
      static_cast<double>((current.elapsed - previous->elapsed).count()) /
      1000.0;
  current.recent_rate =
      seconds > 0
          ? static_cast<double>(current.finished - previous->finished) / seconds
          : 0;
  *previous = current;
  progress(current);
}

void LoadGenerator::CollectReport(Report* report) {
  std::map<std::string, uint64_t> failures;
  for (auto& worker : workers_) {
    std::lock_guard<std::mutex> worker_lock(worker->mutex);
    for (int i = 0; i < kKindCount; ++i) {
      report->kinds[i].Merge(worker->stats[i]);
    }
    for (const auto& [text, count] : worker->failure_texts) {
      failures[text] += count;
    }
    if (worker->lost) ++report->lost_connections;
  }
  for (const KindStats& stats : report->kinds) report->total.Merge(stats);
  report->failure_samples.assign(failures.begin(), failures.end());
  std::stable_sort(
      report->failure_samples.begin(), report->failure_samples.end(),
      [](const auto& a, const auto& b) { return a.second > b.second; });
  if (report->failure_samples.size() > 10) {
    report->failure_samples.resize(10);
  }
}

bool LoadGenerator::MayStartRequest() {
  // Count the request as in flight before checking the budget, so that a
  // thread that sees no request in flight and the budget spent knows that
  // no other thread is about to start one.
  in_flight_.fetch_add(1);
  if (!stopping_ && (options_.max_requests == 0 ||
                     started_.fetch_add(1) < options_.max_requests)) {
    return true;
  }
  in_flight_.fetch_sub(1);
  return false;
}

void LoadGenerator::SendNext(Worker* worker) {
  if (worker->lost || !MayStartRequest()) return;
  const PlannedRequest request = Draw(worker);
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    ++worker->stats[static_cast<int>(request.kind)].sent;
  }
  Issue(worker, request, Clock::now());
}

LoadGenerator::PlannedRequest LoadGenerator::Draw(Worker* worker) {
  const uint64_t players = options_.players;
  PlannedRequest request;
  RequestKind& kind = request.kind;
  uint64_t& player = request.player;
  std::vector<uint64_t>& friends = request.friends;
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    kind = options_.mix.Pick(worker->random());
    player = worker->random() % players;
    request.leaderboard_id =
        &options_.leaderboard_ids[worker->random() %
                                  options_.leaderboard_ids.size()];
    request.score =
        static_cast<double>(worker->random() % (options_.max_score + 1));
    if (kind == RequestKind::kSocial) {
      const uint64_t count = std::min<uint64_t>(options_.friends, players - 1);
      if (count * 2 > players - 1) {
        // Dense: a run of consecutive players after the player.
        const uint64_t offset = worker->random() % (players - 1);
        for (uint64_t i = 0; i < count; ++i) {
          friends.push_back((player + 1 + (offset + i) % (players - 1)) %
                            players);
        }
      } else {
        std::unordered_set<uint64_t> chosen;
        while (chosen.size() < count) {
          const uint64_t candidate = worker->random() % players;
          if (candidate != player && chosen.insert(candidate).second) {
            friends.push_back(candidate);
          }
        }
      }
    }
  }
  return request;
}

LeaderboardClient::Submission LoadGenerator::MakeSubmission(
    const std::string& leaderboard_id, uint64_t player, double score,
    const std::optional<LeaderboardClient::RankLookup>& rank) const {
  LeaderboardClient::Submission submission;
  submission.leaderboard_id = leaderboard_id;
  submission.account = PlayerAccount(options_, player);
  submission.score = score;
  submission.type = options_.submission_type;
  submission.rank = rank;
  // "Player <n>" padded with '.' (or cut) to the size asked for; metadata
  // the player's number repeated.
  if (options_.name_bytes > 0) {
    std::string name = "Player " + std::to_string(player);
    name.resize(options_.name_bytes, '.');
    submission.display_name = std::move(name);
  }
  if (options_.tiebreak_scores) {
    submission.tiebreak_score = static_cast<double>(player * 31 % 100) / 4;
  }
  if (options_.metadata_bytes > 0) {
    const std::string unit = std::to_string(player) + "|";
    std::string metadata;
    metadata.reserve(options_.metadata_bytes + unit.size());
    while (metadata.size() < options_.metadata_bytes) metadata += unit;
    metadata.resize(options_.metadata_bytes);
    submission.metadata = std::move(metadata);
  }
  return submission;
}

void LoadGenerator::Issue(Worker* worker, const PlannedRequest& request,
                          Clock::time_point origin) {
  const RequestKind kind = request.kind;
  const double score = request.score;
  const std::string* leaderboard_id = request.leaderboard_id;
  const Leaderboard::AccountId account =
      PlayerAccount(options_, request.player);
  auto on_end = [this, worker, kind, origin](LeaderboardClient::Result result) {
    OnRequestEnded(worker, kind, origin, result);
  };
  LeaderboardClient& client = worker->client;
  switch (kind) {
    case RequestKind::kSubmit:
      client.SubmitScoreAsync(
          MakeSubmission(*leaderboard_id, request.player, score, std::nullopt),
          std::move(on_end), options_.timeout);
      break;
    case RequestKind::kSubmitRanked:
      client.SubmitScoreAsync(
          MakeSubmission(*leaderboard_id, request.player, score,
                         LeaderboardClient::RankLookup{options_.ranking_type,
                                                       options_.time_span}),
          std::move(on_end), options_.timeout);
      break;
    case RequestKind::kTop:
      client.QueryAsync(
          QueryBuilder::Public(
              *leaderboard_id, options_.time_span, options_.ranking_type,
              QueryBuilder::TopRange(0, options_.top_count - 1)),
          std::move(on_end), options_.timeout);
      break;
    case RequestKind::kNearby:
      client.QueryAsync(
          QueryBuilder::Public(
              *leaderboard_id, options_.time_span, options_.ranking_type,
              QueryBuilder::NearbyRange(-options_.nearby_radius,
                                        options_.nearby_radius),
              account),
          std::move(on_end), options_.timeout);
      break;
    case RequestKind::kSocial: {
      std::vector<Leaderboard::AccountId> competitors;
      competitors.reserve(request.friends.size());
      for (uint64_t n : request.friends)
        competitors.push_back(PlayerAccount(options_, n));
      client.QueryAsync(
          QueryBuilder::Social(*leaderboard_id, account, competitors,
                               options_.time_span, options_.ranking_type),
          std::move(on_end), options_.timeout);
      break;
    }
    case RequestKind::kCohort: {
      // The player's whole cohort (a few dozen players) of the league's
      // current period.
      auto query = QueryBuilder::Public(
          *leaderboard_id, options_.cohort_time_span, options_.ranking_type,
          QueryBuilder::AllRange(), account);
      query.set_cohort(true);
      client.QueryAsync(std::move(query), std::move(on_end), options_.timeout);
      break;
    }
  }
}

void LoadGenerator::Dispatch(Worker* worker, Clock::time_point due,
                             Report* report) {
  const PlannedRequest request = Draw(worker);
  const bool send =
      !worker->lost && worker->outstanding.load() < options_.max_outstanding;
  const Clock::time_point now = Clock::now();
  const auto lag =
      std::chrono::duration_cast<std::chrono::microseconds>(now - due);
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    KindStats& stats = worker->stats[static_cast<int>(request.kind)];
    if (!send) {
      ++stats.dropped;
      return;
    }
    ++stats.sent;
    if (lag >= kLateAfter) ++stats.late;
  }
  report->max_send_lag = std::max(report->max_send_lag, lag);
  worker->outstanding.fetch_add(1);
  in_flight_.fetch_add(1);
  Issue(worker, request, due);
}

void LoadGenerator::CloseConnections() {
  for (auto& worker : workers_) worker->client.Close();
}

void LoadGenerator::OnRequestEnded(Worker* worker, RequestKind kind,
                                   Clock::time_point origin,
                                   const LeaderboardClient::Result& result) {
  const uint64_t micros = static_cast<uint64_t>(std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                               origin)
             .count()));
  const std::string failure = DescribeFailure(result);
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    KindStats& stats = worker->stats[static_cast<int>(kind)];
    if (result.answered()) stats.latency.Record(micros);
    if (result.ok()) {
      ++stats.ok;
      worker->ok.fetch_add(1);
    } else if (result.answered()) {
      const int code = result.response.has_fail()
                           ? static_cast<int>(result.response.fail().code())
                           : 0;
      ++stats.fail_by_code[code >= 1 && code <= 3 ? code : 0];
      worker->failed.fetch_add(1);
    } else if (result.timed_out()) {
      ++stats.timed_out;
      worker->timed_out.fetch_add(1);
    } else {
      ++stats.disconnected;
      worker->timed_out.fetch_add(1);
    }
    if (!failure.empty()) {
      CountFailureText(&worker->failure_texts,
                       std::string(KindName(kind)) + ": " + failure);
    }
  }
  worker->finished.fetch_add(1);
  if (IsConnectionEnd(result) && !worker->client.IsConnected() &&
      !worker->lost.exchange(true)) {
    LOG(WARNING) << "Load generator connection " << worker->index + 1
                 << " lost; it sends nothing more: " << result.error;
  }
  if (options_.rate > 0) {
    worker->outstanding.fetch_sub(1);
  } else {
    SendNext(worker);
  }
  if (in_flight_.fetch_sub(1) == 1) {
    // Wakes RunMeasured, which checks for itself whether the run is over.
    std::lock_guard<std::mutex> lock(done_mutex_);
    done_.notify_all();
  }
}

}  // namespace plemox
