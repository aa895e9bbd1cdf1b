// The record cap of one answer: a query or a batch whose answer could hold
// more records than --max_records_per_answer is refused before any ranking
// is read in full, so that one request cannot build an answer larger than
// the client's frame limit or hold unbounded memory.
#include <glog/logging.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "database/cache/redis_cache.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/service/internal/period_query.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/service_state.h"

namespace plemox {
namespace {

using Query = Leaderboard::LeaderboardQuery::Request;
using service_internal::SendFail;

// The state of one check, shared by its ranking size reads; one read is in
// flight at a time.
struct AnswerSizeCheck {
  std::shared_ptr<ClientSession> session;
  LeaderboardService::Uuid request_uuid;
  std::shared_ptr<const std::vector<Query>> queries;
  bool batch = false;
  std::function<void()> on_fit;
  // Records counted so far: every social query, and the public queries
  // whose ranking size has been read.
  std::uint64_t records = 0;
};

bool IsPublic(const Query& query) {
  return query.collection() != Leaderboard::LeaderboardQuery::kSocial;
}

const char* OperationOf(const AnswerSizeCheck& check) {
  return check.batch ? "QueriesRequest() " : "QueryRequest() ";
}

void RefuseOverCap(const AnswerSizeCheck& check) {
  const std::string message = RequestLimits::RecordCapMessage();
  LOG(WARNING) << OperationOf(check) << "failed: "
               << "Invalid parameter found"
               << ". " << message << ": session=" << check.session
               << ", records at least=" << check.records
               << ", queries=" << check.queries->size();
  SendFail(check.session, check.request_uuid,
           Leaderboard::Response::kFailInvalidParameter, message);
}

// The cheapest read that reports a ranking's size: its first position.
Query SizeProbeOf(const Query& query) {
  Query probe = query;
  probe.clear_account_id();
  probe.clear_competitors();
  probe.mutable_range()->set_type(
      Leaderboard::LeaderboardQuery::Range::kFromTop);
  probe.mutable_range()->set_begin(0);
  probe.mutable_range()->set_end(0);
  probe.set_ranking_type(Query::kPosition);
  return probe;
}

// Reads the size of the ranking of the first public query from `index` on;
// after the last, the answer fits. Calling thread, then cache completion
// threads.
void ReadRankingSize(const std::shared_ptr<AnswerSizeCheck>& check,
                     std::size_t index);

// The completion of the size read of query `index` (cache completion
// threads): counts what its answer can hold, refuses the request over the
// cap, else reads the next size.
void OnRankingSizeRead(const std::shared_ptr<QueryResult>& result,
                       const std::shared_ptr<AnswerSizeCheck>& check,
                       std::size_t index) {
  VLOG(2) << "OnRankingSizeRead called";
  const Query& query = (*check->queries)[index];
  if (result && result->error && !result->refusal.empty()) {
    LOG(WARNING) << OperationOf(*check) << "failed: " << result->refusal
                 << ": session=" << check->session;
    SendFail(check->session, check->request_uuid,
             Leaderboard::Response::kFailInvalidParameter, result->refusal);
    return;
  }
  if (!result || result->error) {
    LOG(ERROR) << OperationOf(*check) << "failed: "
               << "Failed to read the ranking size"
               << ": session=" << check->session
               << ", leaderboard id=" << query.leaderboard_id()
               << ", timespan=" << query.time_span();
    SendFail(check->session, check->request_uuid,
             Leaderboard::Response::kFailUnknown, "Internal error");
    return;
  }
  const auto size = static_cast<std::uint64_t>(
      std::max<std::int64_t>(0, result->total_player_count));
  check->records = RequestLimits::SaturatingAdd(
      check->records, RequestLimits::RecordBound(query, size));
  if (!RequestLimits::FitsRecordCap(check->records)) {
    RefuseOverCap(*check);
    return;
  }
  ReadRankingSize(check, index + 1);
}

void ReadRankingSize(const std::shared_ptr<AnswerSizeCheck>& check,
                     std::size_t index) {
  const std::vector<Query>& queries = *check->queries;
  while (index < queries.size() && !IsPublic(queries[index])) ++index;
  if (index == queries.size()) {
    check->on_fit();
    return;
  }
  const Query probe = SizeProbeOf(queries[index]);
  auto on_read = [check, index](const std::shared_ptr<QueryResult>& result) {
    OnRankingSizeRead(result, check, index);
  };
  if (probe.has_period_start()) {
    // A closed period's size is the archive's.
    service_internal::QueryArchivedPeriod(probe, std::move(on_read));
    return;
  }
  RedisCache::GetPublicLeaderboard(
      probe.leaderboard_id(), vel::PlayerAccount(), probe.time_span(),
      probe.range(), probe.ranking_type(),
      service_internal::WeekReferenceTime(probe.leaderboard_id(),
                                          probe.time_span()),
      std::move(on_read));
}

}  // namespace

void service_internal::CheckAnswerSize(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    std::shared_ptr<const std::vector<Query>> queries, bool batch,
    std::function<void()> on_fit) {
  auto check = std::make_shared<AnswerSizeCheck>();
  check->session = session;
  check->request_uuid = request_uuid;
  check->queries = std::move(queries);
  check->batch = batch;
  check->on_fit = std::move(on_fit);

  // First what the queries alone tell; the usual slices and windows pass
  // here without a read.
  bool known = true;
  std::uint64_t upper_bound = 0;
  for (const Query& query : *check->queries) {
    const auto bound = RequestLimits::RecordBound(query);
    if (!bound) {
      known = false;
    } else {
      upper_bound = RequestLimits::SaturatingAdd(upper_bound, *bound);
    }
    if (!IsPublic(query)) {
      check->records = RequestLimits::SaturatingAdd(check->records, *bound);
    }
  }
  if (known && RequestLimits::FitsRecordCap(upper_bound)) {
    check->on_fit();
    return;
  }
  if (!RequestLimits::FitsRecordCap(check->records)) {
    RefuseOverCap(*check);
    return;
  }
  ReadRankingSize(check, 0);
}

}  // namespace plemox
