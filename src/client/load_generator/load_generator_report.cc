// LoadGenerator: request kinds and mixes, latency histograms, options and
// the report.
#include <glog/logging.h>

#include <algorithm>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "client/load_generator/load_generator.h"

namespace plemox {
namespace {

constexpr const char* kKindNames[LoadGenerator::kKindCount] = {
    "submit", "submit_ranked", "top", "nearby", "social", "cohort"};

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

// The highest fixed rate, requests per second: far above what one pacing
// thread can send, and low enough that a schedule's size and due times stay
// exact over the longest run.
constexpr double kMaxRate = 1e7;

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
  if (!(rate >= 0) || rate > kMaxRate)
    return "the rate must be 0 (closed loop) to 10000000 requests per second";
  if (max_outstanding < 1 || max_outstanding > 100000)
    return "max_outstanding must be 1 to 100000";
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
  if (mix.weight(RequestKind::kCohort) > 0 &&
      cohort_time_span != Leaderboard::LeaderboardQuery::kDaily &&
      cohort_time_span != Leaderboard::LeaderboardQuery::kWeekly &&
      cohort_time_span != Leaderboard::LeaderboardQuery::kMonthly) {
    return "cohort_time_span must be a league's period: daily, weekly or "
           "monthly";
  }
  if (name_bytes > 65535 || metadata_bytes > 65535)
    return "name_bytes and metadata_bytes must be 0 to 65535";
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
  dropped += other.dropped;
  late += other.late;
  latency.Merge(other.latency);
}

double LoadGenerator::Report::RequestsPerSecond(const KindStats& stats) const {
  if (elapsed.count() <= 0) return 0;
  return static_cast<double>(stats.finished()) * 1e6 /
         static_cast<double>(elapsed.count());
}

double LoadGenerator::Report::AchievedRate() const {
  if (elapsed.count() <= 0) return 0;
  return static_cast<double>(total.ok) * 1e6 /
         static_cast<double>(elapsed.count());
}

namespace {

// The share of the offered rate that `stats` was scheduled with, per second
// of the schedule: the offered rate of one kind.
double OfferedRate(const LoadGenerator::Report& report,
                   const LoadGenerator::KindStats& stats) {
  const uint64_t scheduled = report.scheduled - report.abandoned;
  if (!report.fixed_rate || scheduled == 0) return 0;
  return report.offered_rate * static_cast<double>(stats.sent + stats.dropped) /
         static_cast<double>(scheduled);
}

// Rows of a report in kind order (the kinds sent or dropped), then the
// total when there is more than one (none at all after a prefill-only run).
std::vector<std::pair<std::string, const LoadGenerator::KindStats*>> ReportRows(
    const LoadGenerator::Report& report) {
  std::vector<std::pair<std::string, const LoadGenerator::KindStats*>> rows;
  for (int i = 0; i < LoadGenerator::kKindCount; ++i) {
    if (report.kinds[i].sent == 0 && report.kinds[i].dropped == 0) continue;
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
  char line[512];
  std::snprintf(line, sizeof line,
                "%-14s %10s %10s %9s %9s %9s %9s %9s %8s %8s %8s", "kind",
                "requests", "req/s", "p50 ms", "p90 ms", "p99 ms", "p99.9 ms",
                "max ms", "failed", "timeout", "lost");
  text << line;
  if (report.fixed_rate) {
    std::snprintf(line, sizeof line, " %8s %8s %10s", "dropped", "late",
                  "offered/s");
    text << line;
  }
  text << "\n";
  for (const auto& [name, stats] : ReportRows(report)) {
    const LatencyHistogram& h = stats->latency;
    std::snprintf(
        line, sizeof line,
        "%-14s %10llu %10.0f %9.3f %9.3f %9.3f %9.3f %9.3f %8llu %8llu %8llu",
        name.c_str(), static_cast<unsigned long long>(stats->finished()),
        report.RequestsPerSecond(*stats), Millis(h.ValueAtQuantile(0.5)),
        Millis(h.ValueAtQuantile(0.9)), Millis(h.ValueAtQuantile(0.99)),
        Millis(h.ValueAtQuantile(0.999)), Millis(h.max()),
        static_cast<unsigned long long>(stats->failed()),
        static_cast<unsigned long long>(stats->timed_out),
        static_cast<unsigned long long>(stats->disconnected));
    text << line;
    if (report.fixed_rate) {
      std::snprintf(line, sizeof line, " %8llu %8llu %10.0f",
                    static_cast<unsigned long long>(stats->dropped),
                    static_cast<unsigned long long>(stats->late),
                    OfferedRate(report, *stats));
      text << line;
    }
    text << "\n";
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
  if (report.fixed_rate) {
    std::snprintf(
        line, sizeof line,
        "fixed rate: offered %.0f req/s, achieved %.0f ok/s; %llu scheduled, "
        "%llu sent, %llu dropped (connection at %d outstanding or lost), "
        "%s%llu sent late (>= %lld ms, worst %.3f ms); latencies count from "
        "the due time\n",
        report.offered_rate, report.AchievedRate(),
        static_cast<unsigned long long>(report.scheduled),
        static_cast<unsigned long long>(report.total.sent),
        static_cast<unsigned long long>(report.total.dropped),
        report.max_outstanding,
        report.abandoned == 0 ? ""
                              : (std::to_string(report.abandoned) +
                                 " not sent after every connection was lost, ")
                                    .c_str(),
        static_cast<unsigned long long>(report.total.late),
        static_cast<long long>(kLateAfter.count()),
        Millis(static_cast<uint64_t>(report.max_send_lag.count())));
    text << line;
  }
  for (const auto& [failure, count] : report.failure_samples) {
    text << "  " << count << " x " << failure << "\n";
  }
  return text.str();
}

std::string LoadGenerator::FormatTsv(const std::string& label,
                                     const Report& report) {
  std::ostringstream text;
  char line[320];
  for (const auto& [name, stats] : ReportRows(report)) {
    const LatencyHistogram& h = stats->latency;
    std::snprintf(
        line, sizeof line,
        "\t%s\t%llu\t%.0f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%llu\t%llu\t%llu\t%llu"
        "\t%.0f\n",
        name.c_str(), static_cast<unsigned long long>(stats->finished()),
        report.RequestsPerSecond(*stats), Millis(h.ValueAtQuantile(0.5)),
        Millis(h.ValueAtQuantile(0.9)), Millis(h.ValueAtQuantile(0.99)),
        Millis(h.ValueAtQuantile(0.999)), Millis(h.max()),
        static_cast<unsigned long long>(stats->failed()),
        static_cast<unsigned long long>(stats->timed_out + stats->disconnected),
        static_cast<unsigned long long>(stats->dropped),
        static_cast<unsigned long long>(stats->late),
        OfferedRate(report, *stats));
    text << label << line;
  }
  return text.str();
}

}  // namespace plemox
