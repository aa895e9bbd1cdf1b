// LeaderboardMetrics: the service's Prometheus metrics in the host's
// registry (vel::MetricsRegistry). Request answers by type and answer,
// latency histograms per kind of work and recovery progress are counted as
// they happen (lock-free counters; a histogram takes its own short lock);
// sessions, database writes, the bulk queue, mastership and the reset
// schedules are read when /metrics is scraped. Every function is
// thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "leaderboard.pb.h"
#include "leaderboard/service/request_ledger.h"

namespace plemox {

class LeaderboardMetrics {
 public:
  // The kinds of timed work; the first four match ProfilingCounters::Kind.
  enum Kind {
    kPublicQuery = 0,
    kSocialQuery,
    kScoreSubmission,
    kScoreDeletion,
    kResetRequest,
  };
  // Why a received message got no answer.
  enum Unanswered {
    kUnparsable = 0,
    kNoRequestUuid,
    kNoRequestType,
    kUnknownType
  };

  // Adds one duration to the histogram of `kind`.
  static void ObserveLatency(Kind kind, std::int64_t duration_us);

  // Counts one answer by the type of its request and by its answer
  // ("success" or the fail code's name). `request` is the ledger entry of
  // the request, null when it had none (the response's own type is used
  // then). Times requested resets from arrival to answer.
  static void CountAnswer(const Leaderboard::Response& response,
                          const RequestLedger::Entry* request);

  // Counts a received message that was dropped without an answer.
  static void CountUnanswered(Unanswered reason);

  // Counts a score submission whose submission id had been applied before:
  // answered like the first, not applied again.
  static void CountResentSubmission();

  // Counts one lookup of the top answer cache: a kept answer served
  // (`hit`), or a read of Redis.
  static void CountTopAnswerLookup(bool hit);

  // Recovery mode progress: a table of `expected_rows` rows starts; rows of
  // it were replayed (`failed` of them refused by the cache); it finished.
  static void CountRecoveryTableStarted(std::uint64_t expected_rows);
  static void CountRecoveryRows(std::uint64_t rows, std::uint64_t failed);
  static void CountRecoveryTableDone();

  // The label values used for request types and answers (also in tests).
  static std::string TypeLabel(std::int32_t type);
  static std::string AnswerLabel(const Leaderboard::Response& response);

  // Service mode: adds the values read at scrape time to /metrics; Remove
  // takes them out again (shutdown). Install thread.
  static void InstallCollector();
  static void RemoveCollector();

  LeaderboardMetrics() = delete;
};

}  // namespace plemox
