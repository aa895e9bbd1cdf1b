#include "leaderboard/service/leaderboard_metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>

#include <array>
#include <cstddef>

#include "vel/core/monotonic_clock.h"
#include "vel/metrics/metrics_registry.h"

namespace plemox {
namespace {

using Request = Leaderboard::Request;
using Response = Leaderboard::Response;

// Request types in label order; anything else counts as "unknown".
constexpr std::array<Request::Type, 7> kTypes = {
    Request::kLeaderboardAuthentication,
    Request::kLeaderboardQuery,
    Request::kScoreSubmission,
    Request::kLeaderboardQueries,
    Request::kScoreDeletions,
    Request::kResetScheduleStatusQuery,
    Request::kLeaderboardReset};
constexpr std::size_t kUnknownTypeIndex = kTypes.size();
// Answers: success, then the fail codes 1 to 3; 4 for an unknown code.
constexpr std::size_t kAnswerCount = 5;

constexpr std::array<const char*, 5> kKindLabels = {
    "public_query", "social_query", "score_submission", "score_deletion",
    "reset_request"};
constexpr std::array<const char*, 4> kUnansweredLabels = {
    "unparsable", "no_request_uuid", "no_request_type", "unknown_type"};

std::size_t TypeIndex(std::int32_t type) {
  for (std::size_t i = 0; i < kTypes.size(); ++i) {
    if (kTypes[i] == type) return i;
  }
  return kUnknownTypeIndex;
}

std::size_t AnswerIndex(const Response& response) {
  if (!response.has_fail()) return 0;
  const int code = response.fail().code();
  return code >= 1 && code <= 3 ? static_cast<std::size_t>(code)
                                : kAnswerCount - 1;
}

const char* AnswerText(std::size_t index) {
  static const std::array<std::string, kAnswerCount> kTexts = {
      "success", Response::Fail_Name(Response::kFailInvalidParameter),
      Response::Fail_Name(Response::kFailUnauthenticatedApp),
      Response::Fail_Name(Response::kFailUnknown), "fail"};
  return kTexts.at(index).c_str();
}

// Every series is created up front, so that updates never take a family
// lock and every series shows (at 0) from the first scrape on.
struct Metrics {
  std::array<std::array<prometheus::Counter*, kAnswerCount>, kTypes.size() + 1>
      answers{};
  std::array<prometheus::Histogram*, kKindLabels.size()> latency{};
  std::array<prometheus::Counter*, kUnansweredLabels.size()> unanswered{};
  prometheus::Counter* resent_submissions = nullptr;
  prometheus::Counter* top_answer_hits = nullptr;
  prometheus::Counter* top_answer_misses = nullptr;
  prometheus::Gauge* recovery_rows_expected = nullptr;
  prometheus::Counter* recovery_rows_replayed = nullptr;
  prometheus::Counter* recovery_rows_failed = nullptr;
  prometheus::Counter* recovery_tables_started = nullptr;
  prometheus::Counter* recovery_tables_done = nullptr;

  Metrics() {
    auto& registry = vel::MetricsRegistry::registry();
    auto& answer_family =
        prometheus::BuildCounter()
            .Name("plemox_leaderboard_requests_total")
            .Help(
                "Answered requests by request type and answer (success or "
                "the fail code)")
            .Register(registry);
    for (std::size_t t = 0; t <= kTypes.size(); ++t) {
      const std::string type =
          t < kTypes.size() ? Request::Type_Name(kTypes[t]) : "unknown";
      for (std::size_t a = 0; a < kAnswerCount; ++a) {
        answers[t][a] =
            &answer_family.Add({{"type", type}, {"answer", AnswerText(a)}});
      }
    }
    auto& latency_family =
        prometheus::BuildHistogram()
            .Name("plemox_leaderboard_request_duration_seconds")
            .Help(
                "Time from the start of a request's handling until the "
                "cache answered it (reset requests: until the answer), by "
                "kind of work")
            .Register(registry);
    const prometheus::Histogram::BucketBoundaries buckets = {
        0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
        0.1,    0.25,  0.5,    1,     2.5,  5,     10};
    for (std::size_t k = 0; k < kKindLabels.size(); ++k) {
      latency[k] = &latency_family.Add({{"kind", kKindLabels[k]}}, buckets);
    }
    auto& unanswered_family =
        prometheus::BuildCounter()
            .Name("plemox_leaderboard_unanswered_messages_total")
            .Help("Received messages dropped without an answer, by reason")
            .Register(registry);
    for (std::size_t r = 0; r < kUnansweredLabels.size(); ++r) {
      unanswered[r] =
          &unanswered_family.Add({{"reason", kUnansweredLabels[r]}});
    }
    resent_submissions =
        &prometheus::BuildCounter()
             .Name("plemox_leaderboard_resent_submissions_total")
             .Help(
                 "Score submissions whose submission_id had been applied "
                 "before: answered like the first, not applied again")
             .Register(registry)
             .Add({});
    auto& top_answers =
        prometheus::BuildCounter()
            .Name("plemox_leaderboard_top_answer_cache_lookups_total")
            .Help(
                "Public top-N queries looked up in the top answer cache "
                "(--top_answer_cache_ms): a kept answer served (hit), or "
                "Redis read (miss)")
            .Register(registry);
    top_answer_hits = &top_answers.Add({{"outcome", "hit"}});
    top_answer_misses = &top_answers.Add({{"outcome", "miss"}});
    recovery_rows_expected =
        &prometheus::BuildGauge()
             .Name("plemox_recovery_rows_expected")
             .Help("Recovery mode: rows counted in the tables started so far")
             .Register(registry)
             .Add({});
    recovery_rows_replayed =
        &prometheus::BuildCounter()
             .Name("plemox_recovery_rows_replayed_total")
             .Help("Recovery mode: rows replayed into the cache")
             .Register(registry)
             .Add({});
    recovery_rows_failed =
        &prometheus::BuildCounter()
             .Name("plemox_recovery_rows_failed_total")
             .Help("Recovery mode: replayed rows the cache refused")
             .Register(registry)
             .Add({});
    auto& tables = prometheus::BuildCounter()
                       .Name("plemox_recovery_tables_total")
                       .Help("Recovery mode: tables by state (started, done)")
                       .Register(registry);
    recovery_tables_started = &tables.Add({{"state", "started"}});
    recovery_tables_done = &tables.Add({{"state", "done"}});
  }
};

Metrics& Get() {
  static Metrics metrics;
  return metrics;
}

}  // namespace

void LeaderboardMetrics::ObserveLatency(Kind kind, std::int64_t duration_us) {
  Get().latency.at(kind)->Observe(static_cast<double>(duration_us) / 1e6);
}

void LeaderboardMetrics::CountAnswer(const Response& response,
                                     const RequestLedger::Entry* request) {
  const std::int32_t type = request != nullptr
                                ? request->type
                                : (response.has_type() ? response.type() : 0);
  Metrics& metrics = Get();
  metrics.answers.at(TypeIndex(type)).at(AnswerIndex(response))->Increment();
  if (request != nullptr && type == Request::kLeaderboardReset) {
    ObserveLatency(kResetRequest,
                   vel::MonotonicClock::Now() - request->start_us);
  }
}

void LeaderboardMetrics::CountUnanswered(Unanswered reason) {
  Get().unanswered.at(reason)->Increment();
}

void LeaderboardMetrics::CountResentSubmission() {
  Get().resent_submissions->Increment();
}

void LeaderboardMetrics::CountTopAnswerLookup(bool hit) {
  Metrics& metrics = Get();
  (hit ? metrics.top_answer_hits : metrics.top_answer_misses)->Increment();
}

void LeaderboardMetrics::CountRecoveryTableStarted(
    std::uint64_t expected_rows) {
  Metrics& metrics = Get();
  metrics.recovery_tables_started->Increment();
  metrics.recovery_rows_expected->Increment(static_cast<double>(expected_rows));
}

void LeaderboardMetrics::CountRecoveryRows(std::uint64_t rows,
                                           std::uint64_t failed) {
  Metrics& metrics = Get();
  metrics.recovery_rows_replayed->Increment(static_cast<double>(rows));
  metrics.recovery_rows_failed->Increment(static_cast<double>(failed));
}

void LeaderboardMetrics::CountRecoveryTableDone() {
  Get().recovery_tables_done->Increment();
}

std::string LeaderboardMetrics::TypeLabel(std::int32_t type) {
  const std::size_t index = TypeIndex(type);
  return index < kTypes.size() ? Request::Type_Name(kTypes[index]) : "unknown";
}

std::string LeaderboardMetrics::AnswerLabel(const Response& response) {
  return AnswerText(AnswerIndex(response));
}

}  // namespace plemox
