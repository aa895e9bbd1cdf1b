#include "client/load_generator.h"

#include <glog/logging.h>

#include <algorithm>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <unordered_set>

#include "client/query_builder.h"

namespace plemox {
namespace {

using Clock = std::chrono::steady_clock;
using Leaderboard::LeaderboardQuery;
using Leaderboard::Response;

constexpr const char* kKindNames[LoadGenerator::kKindCount] = {
    "submit", "submit_ranked", "top", "nearby", "social"};

// Histogram geometry: values below 2^kExactBits are their own bucket; each
// higher power of two [2^m, 2^(m+1)) is cut into 2^kSubBucketBits buckets.
constexpr int kSubBucketBits = 7;
constexpr int kExactBits = kSubBucketBits + 1;
constexpr uint64_t kExactLimit = uint64_t{1} << kExactBits;  // 256
constexpr uint64_t kSubBuckets = uint64_t{1} << kSubBucketBits;
constexpr int kMaxBits = 36;  // kMaxTrackableMicros < 2^36

int HighestBit(uint64_t value) { return 63 - __builtin_clzll(value); }

// The largest weight a mix accepts: keeps Total() far from overflowing and
// catches typing slips like "submit=1e9".
constexpr uint64_t kMaxWeight = 1000000;

// Most distinct failure texts kept per worker; rarer ones are only counted.
constexpr size_t kMaxFailureTexts = 64;

double Millis(uint64_t micros) { return static_cast<double>(micros) / 1000.0; }

}  // namespace

// ---------------------------------------------------------------------------
// Kinds and mixes.

const char* LoadGenerator::KindName(RequestKind kind) {
  const int index = static_cast<int>(kind);
  if (index < 0 || index >= kKindCount) return "unknown";
  return kKindNames[index];
}

bool LoadGenerator::ParseKind(const std::string& name, RequestKind* out) {
  for (int i = 0; i < kKindCount; ++i) {
    if (name == kKindNames[i]) {
      *out = static_cast<RequestKind>(i);
      return true;
    }
  }
  return false;
}

uint64_t LoadGenerator::Mix::Total() const {
  uint64_t total = 0;
  for (uint32_t weight : weights) total += weight;
  return total;
}

LoadGenerator::RequestKind LoadGenerator::Mix::Pick(uint64_t draw) const {
  const uint64_t total = Total();
  CHECK_GT(total, 0u) << "Assert failed: a mix without weights";
  uint64_t point = draw % total;
  for (int i = 0; i < kKindCount; ++i) {
    if (point < weights[i]) return static_cast<RequestKind>(i);
    point -= weights[i];
  }
  // Unreachable: point < total.
  return RequestKind::kSubmit;
}

std::string LoadGenerator::Mix::ToString() const {
  std::string text;
  for (int i = 0; i < kKindCount; ++i) {
    if (weights[i] == 0) continue;
    if (!text.empty()) text += ",";
    text += std::string(kKindNames[i]) + "=" + std::to_string(weights[i]);
  }
  return text;
}

bool LoadGenerator::Mix::Parse(const std::string& text, Mix* out,
                               std::string* error) {
  Mix mix;
  std::array<bool, kKindCount> seen{};
  std::vector<std::string> items;
  boost::algorithm::split(items, text, [](char c) { return c == ','; });
  for (std::string item : items) {
    boost::algorithm::trim(item);
    if (item.empty()) {
      *error = "empty item in the mix '" + text + "'";
      return false;
    }
    const size_t equals = item.find('=');
    if (equals == std::string::npos) {
      *error = "expected name=weight, got '" + item + "'";
      return false;
    }
    std::string name = item.substr(0, equals);
    std::string weight_text = item.substr(equals + 1);
    boost::algorithm::trim(name);
    boost::algorithm::trim(weight_text);
    RequestKind kind;
    if (!ParseKind(name, &kind)) {
      *error = "unknown request kind '" + name +
               "' (known: submit, submit_ranked, top, nearby, social)";
      return false;
    }
    if (seen[static_cast<int>(kind)]) {
      *error = "request kind '" + name + "' given twice";
      return false;
    }
    seen[static_cast<int>(kind)] = true;
    if (weight_text.empty() || weight_text.size() > 7 ||
        !std::all_of(weight_text.begin(), weight_text.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
      *error = "weight of '" + name + "' must be a whole number from 0 to " +
               std::to_string(kMaxWeight) + ", got '" + weight_text + "'";
      return false;
    }
    const uint64_t weight = std::stoull(weight_text);
    if (weight > kMaxWeight) {
      *error = "weight of '" + name + "' must be a whole number from 0 to " +
               std::to_string(kMaxWeight) + ", got '" + weight_text + "'";
      return false;
    }
    mix.weights[static_cast<int>(kind)] = static_cast<uint32_t>(weight);
  }
  if (mix.Total() == 0) {
    *error = "the mix '" + text + "' gives every request kind weight 0";
    return false;
  }
  *out = mix;
  return true;
}

// ---------------------------------------------------------------------------
// Latency histogram.

constexpr uint64_t LoadGenerator::LatencyHistogram::kMaxTrackableMicros;

LoadGenerator::LatencyHistogram::LatencyHistogram()
    : counts_(BucketCount(), 0) {}

size_t LoadGenerator::LatencyHistogram::BucketCount() {
  return kExactLimit + (kMaxBits - kExactBits) * kSubBuckets;
}

size_t LoadGenerator::LatencyHistogram::BucketIndex(uint64_t micros) {
  micros = std::min(micros, kMaxTrackableMicros);
  if (micros < kExactLimit) return static_cast<size_t>(micros);
  const int bit = HighestBit(micros);  // >= kExactBits
  const int shift = bit - kSubBucketBits;
  const uint64_t sub = (micros >> shift) - kSubBuckets;  // 0 .. 127
  return static_cast<size_t>(kExactLimit + (bit - kExactBits) * kSubBuckets +
                             sub);
}

uint64_t LoadGenerator::LatencyHistogram::BucketLowest(size_t index) {
  if (index < kExactLimit) return index;
  const uint64_t above = index - kExactLimit;
  const int bit = static_cast<int>(above / kSubBuckets) + kExactBits;
  const uint64_t sub = above % kSubBuckets;
  return (kSubBuckets + sub) << (bit - kSubBucketBits);
}

uint64_t LoadGenerator::LatencyHistogram::BucketHighest(size_t index) {
  if (index < kExactLimit) return index;
  const uint64_t above = index - kExactLimit;
  const int bit = static_cast<int>(above / kSubBuckets) + kExactBits;
  return BucketLowest(index) + (uint64_t{1} << (bit - kSubBucketBits)) - 1;
}

void LoadGenerator::LatencyHistogram::Record(uint64_t micros) {
  micros = std::min(micros, kMaxTrackableMicros);
  ++counts_[BucketIndex(micros)];
  if (count_ == 0 || micros < min_) min_ = micros;
  if (micros > max_) max_ = micros;
  ++count_;
  sum_ += micros;
}

void LoadGenerator::LatencyHistogram::Merge(const LatencyHistogram& other) {
  if (other.count_ == 0) return;
  for (size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
  if (count_ == 0 || other.min_ < min_) min_ = other.min_;
  max_ = std::max(max_, other.max_);
  count_ += other.count_;
  sum_ += other.sum_;
}

void LoadGenerator::LatencyHistogram::Clear() {
  std::fill(counts_.begin(), counts_.end(), 0);
  count_ = 0;
  min_ = 0;
  max_ = 0;
  sum_ = 0;
}

double LoadGenerator::LatencyHistogram::mean() const {
  if (count_ == 0) return 0;
  return static_cast<double>(sum_ / count_);
}

uint64_t LoadGenerator::LatencyHistogram::ValueAtQuantile(
    double quantile) const {
  if (count_ == 0) return 0;
  if (!(quantile > 0)) quantile = 0;  // also NaN
  if (quantile > 1) quantile = 1;
  // The rank of the wanted sample, 1-based: at least the first one.
  uint64_t rank =
      static_cast<uint64_t>(std::ceil(quantile * static_cast<double>(count_)));
  rank = std::clamp<uint64_t>(rank, 1, count_);
  uint64_t seen = 0;
  for (size_t i = 0; i < counts_.size(); ++i) {
    seen += counts_[i];
    if (seen >= rank) {
      return std::clamp(BucketHighest(i), min(), max_);
    }
  }
  return max_;
}

// ---------------------------------------------------------------------------
// Options and reports.

std::string LoadGenerator::Options::Validate() const {
  if (host.empty()) return "the host is empty";
  if (port == 0) return "the port must be 1 to 65535";
  if (connections < 1 || connections > 10000)
    return "connections must be 1 to 10000";
  if (in_flight < 1 || in_flight > 10000) return "in_flight must be 1 to 10000";
  if (duration.count() < 0) return "the duration must not be negative";
  if (duration.count() == 0 && max_requests == 0 && !prefill)
    return "set a duration or a request count (or both)";
  if (timeout.count() <= 0) return "the timeout must be positive";
  if (mix.Total() == 0) return "the mix gives every request kind weight 0";
  if (leaderboard_ids.empty()) return "no leaderboard ids";
  for (const auto& id : leaderboard_ids) {
    if (id.empty()) return "an empty leaderboard id";
  }
  if (players < 1) return "players must be at least 1";
  if (provider.empty()) return "the service provider is empty";
  if (provider.find(':') != std::string::npos ||
      player_prefix.find(':') != std::string::npos) {
    return "the service provider and the player prefix must not contain ':'";
  }
  if (max_score > (uint64_t{1} << 53))
    return "max_score must be at most 2^53 (exact in a double)";
  if (top_count < 1) return "top_count must be at least 1";
  if (nearby_radius < 0) return "nearby_radius must not be negative";
  if (friends < 0 || friends > 10000) return "friends must be 0 to 10000";
  if (progress_interval.count() <= 0)
    return "the progress interval must be positive";
  return "";
}

uint64_t LoadGenerator::KindStats::failed() const {
  uint64_t sum = 0;
  for (uint64_t count : fail_by_code) sum += count;
  return sum;
}

void LoadGenerator::KindStats::Merge(const KindStats& other) {
  sent += other.sent;
  ok += other.ok;
  for (size_t i = 0; i < fail_by_code.size(); ++i)
    fail_by_code[i] += other.fail_by_code[i];
  timed_out += other.timed_out;
  disconnected += other.disconnected;
  latency.Merge(other.latency);
}

double LoadGenerator::Report::RequestsPerSecond(const KindStats& stats) const {
  if (elapsed.count() <= 0) return 0;
  return static_cast<double>(stats.finished()) * 1e6 /
         static_cast<double>(elapsed.count());
}

namespace {

// Rows of a report in kind order, then the total when more than one kind
// was sent (none at all after a prefill-only run).
std::vector<std::pair<std::string, const LoadGenerator::KindStats*>> ReportRows(
    const LoadGenerator::Report& report) {
  std::vector<std::pair<std::string, const LoadGenerator::KindStats*>> rows;
  for (int i = 0; i < LoadGenerator::kKindCount; ++i) {
    if (report.kinds[i].sent == 0) continue;
    rows.emplace_back(
        LoadGenerator::KindName(static_cast<LoadGenerator::RequestKind>(i)),
        &report.kinds[i]);
  }
  if (rows.size() > 1) rows.emplace_back("total", &report.total);
  return rows;
}

}  // namespace

std::string LoadGenerator::FormatReport(const Report& report) {
  std::ostringstream text;
  char line[256];
  std::snprintf(line, sizeof line,
                "%-14s %10s %10s %9s %9s %9s %9s %9s %8s %8s %8s\n", "kind",
                "requests", "req/s", "p50 ms", "p90 ms", "p99 ms", "p99.9 ms",
                "max ms", "failed", "timeout", "lost");
  text << line;
  for (const auto& [name, stats] : ReportRows(report)) {
    const LatencyHistogram& h = stats->latency;
    std::snprintf(
        line, sizeof line,
        "%-14s %10llu %10.0f %9.3f %9.3f %9.3f %9.3f %9.3f %8llu %8llu %8llu\n",
        name.c_str(), static_cast<unsigned long long>(stats->finished()),
        report.RequestsPerSecond(*stats), Millis(h.ValueAtQuantile(0.5)),
        Millis(h.ValueAtQuantile(0.9)), Millis(h.ValueAtQuantile(0.99)),
        Millis(h.ValueAtQuantile(0.999)), Millis(h.max()),
        static_cast<unsigned long long>(stats->failed()),
        static_cast<unsigned long long>(stats->timed_out),
        static_cast<unsigned long long>(stats->disconnected));
    text << line;
  }
  text << "elapsed " << report.elapsed.count() / 1000 << " ms over "
       << report.connections << " connections, seed " << report.seed;
  if (report.lost_connections > 0) {
    text << " (" << report.lost_connections << " lost during the run)";
  }
  if (report.prefill_requests > 0) {
    text << "; prefill: " << report.prefill_requests << " submissions ("
         << report.prefill_failures << " failed) in "
         << report.prefill_elapsed.count() / 1000 << " ms";
  }
  text << "\n";
  for (const auto& [failure, count] : report.failure_samples) {
    text << "  " << count << " x " << failure << "\n";
  }
  return text.str();
}

std::string LoadGenerator::FormatTsv(const std::string& label,
                                     const Report& report) {
  std::ostringstream text;
  char line[256];
  for (const auto& [name, stats] : ReportRows(report)) {
    const LatencyHistogram& h = stats->latency;
    std::snprintf(
        line, sizeof line,
        "\t%s\t%llu\t%.0f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%llu\t%llu\n",
        name.c_str(), static_cast<unsigned long long>(stats->finished()),
        report.RequestsPerSecond(*stats), Millis(h.ValueAtQuantile(0.5)),
        Millis(h.ValueAtQuantile(0.9)), Millis(h.ValueAtQuantile(0.99)),
        Millis(h.ValueAtQuantile(0.999)), Millis(h.max()),
        static_cast<unsigned long long>(stats->failed()),
        static_cast<unsigned long long>(stats->timed_out +
                                        stats->disconnected));
    text << label << line;
  }
  return text.str();
}

// ---------------------------------------------------------------------------
// The run.

// One connection with its own random choices and statistics.
struct LoadGenerator::Worker {
  Worker(int worker_index, uint64_t seed)
      : index(worker_index),
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
    auto worker = std::make_unique<Worker>(i, seed_);
    if (!worker->client.Connect(options_.host, options_.port,
                                options_.timeout)) {
      error_ = "connection " + std::to_string(i + 1) + " of " +
               std::to_string(options_.connections) + ": cannot connect to " +
               options_.host + ":" + std::to_string(options_.port) + ": " +
               worker->client.LastError();
      return false;
    }
    const LeaderboardClient::Result authentication =
        worker->client.Authenticate(options_.app_id, options_.timeout);
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
    RunMeasured(report, progress);
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
        leaderboard_id, PlayerAccount(options_, player), score,
        options_.submission_type, std::nullopt,
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
    now = Clock::now();
    if (now >= next_progress) {
      next_progress += options_.progress_interval;
      if (progress) {
        Progress current = Snapshot(start);
        const double seconds =
            static_cast<double>((current.elapsed - previous.elapsed).count()) /
            1000.0;
        current.recent_rate =
            seconds > 0
                ? static_cast<double>(current.finished - previous.finished) /
                      seconds
                : 0;
        previous = current;
        lock.unlock();
        progress(current);
        lock.lock();
      }
    }
  }
  lock.unlock();
  stopping_ = true;
  report->elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      Clock::now() - start);

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
  const uint64_t players = options_.players;
  RequestKind kind;
  uint64_t player = 0;
  double score = 0;
  const std::string* leaderboard_id = nullptr;
  std::vector<uint64_t> friends;
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    kind = options_.mix.Pick(worker->random());
    player = worker->random() % players;
    leaderboard_id = &options_.leaderboard_ids[worker->random() %
                                               options_.leaderboard_ids.size()];
    score = static_cast<double>(worker->random() % (options_.max_score + 1));
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
    ++worker->stats[static_cast<int>(kind)].sent;
  }

  const Leaderboard::AccountId account = PlayerAccount(options_, player);
  const Clock::time_point sent_at = Clock::now();
  auto on_end = [this, worker, kind,
                 sent_at](LeaderboardClient::Result result) {
    OnRequestEnded(worker, kind, sent_at, result);
  };
  LeaderboardClient& client = worker->client;
  switch (kind) {
    case RequestKind::kSubmit:
      client.SubmitScoreAsync(*leaderboard_id, account, score,
                              options_.submission_type, std::nullopt,
                              std::move(on_end), options_.timeout);
      break;
    case RequestKind::kSubmitRanked:
      client.SubmitScoreAsync(*leaderboard_id, account, score,
                              options_.submission_type,
                              LeaderboardClient::RankLookup{
                                  options_.ranking_type, options_.time_span},
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
      competitors.reserve(friends.size());
      for (uint64_t n : friends)
        competitors.push_back(PlayerAccount(options_, n));
      client.QueryAsync(
          QueryBuilder::Social(*leaderboard_id, account, competitors,
                               options_.time_span, options_.ranking_type),
          std::move(on_end), options_.timeout);
      break;
    }
  }
}

void LoadGenerator::OnRequestEnded(Worker* worker, RequestKind kind,
                                   Clock::time_point sent_at,
                                   const LeaderboardClient::Result& result) {
  const uint64_t micros = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                            sent_at)
          .count());
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
  SendNext(worker);
  if (in_flight_.fetch_sub(1) == 1) {
    // Wakes RunMeasured, which checks for itself whether the run is over.
    std::lock_guard<std::mutex> lock(done_mutex_);
    done_.notify_all();
  }
}

}  // namespace plemox
