// Leaderboard queries: public and social rankings, one query or a batch
// answered in request order. A query that names a period_start reads a
// closed period from the archive instead (leaderboard_service_period_query.cc).
#include <glog/logging.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/cache/redis_cache.h"
#include "database/cache/redis_key.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/service/internal/league_query.h"
#include "leaderboard/service/internal/period_query.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/internal/service_state.h"
#include "leaderboard/service/leaderboard_metrics.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/profiling_counters.h"
#include "leaderboard/service/top_answer_cache.h"
#include "vel/core/monotonic_clock.h"
#include "vel/message/leaderboard_message_writer.h"

namespace plemox {
namespace {

using Query = Leaderboard::LeaderboardQuery::Request;
using Range = Leaderboard::LeaderboardQuery::Range;
using Uuid = LeaderboardService::Uuid;
// What answers a query: its result, read-only (the top answer cache may
// share it between queries).
using Answer = std::shared_ptr<const QueryResult>;
using AnswerCallback = std::function<void(const Answer& result)>;

// The first ranks whose from-top answers the top answer cache keeps.
constexpr std::int64_t kCachedRanks = 1000;
using service_internal::CheckAnswerSize;
using service_internal::CheckAuthenticated;
using service_internal::CheckQuery;
using service_internal::RefuseInvalidParameter;
using service_internal::SendFail;

// The state of one batch, shared by its steps; one query is in flight at a
// time, so only one step touches it at once.
struct BatchContext {
  std::shared_ptr<ClientSession> session;
  Uuid request_uuid;
  std::vector<Query> queries;
  std::shared_ptr<Leaderboard::Response> response;
};

// The field checks every query passes before anything else looks at it.
bool ValidateQuery(const Query& query) {
  bool valid = query.has_leaderboard_id() && query.has_collection() &&
               query.has_time_span() && query.has_range() &&
               query.has_ranking_type();
  if (valid) {
    const Range& range = query.range();
    valid = range.has_type() && (range.type() == Range::kAll ||
                                 (range.has_begin() && range.has_end()));
  }
  if (valid && query.range().type() == Range::kNearby) {
    valid = query.has_account_id();
  }
  if (valid && query.has_account_id()) {
    valid = query.account_id().has_service_provider() &&
            query.account_id().has_local_account();
  }
  if (!valid) {
    LOG(WARNING) << "Parameter validation failed"
                 << ": "
                 << ": request=" << query.ShortDebugString();
  }
  return valid;
}

// What the ranking cache requires of a query beyond its fields and its
// leaderboard id: a range that reads a ranking in order, and social queries
// over their whole list. Empty when the query is fine, else the reason.
std::string CheckQueryLimits(const Query& query) {
  const Range& range = query.range();
  switch (range.type()) {
    case Range::kAll:
      if (range.begin() != 0 || range.end() != 0) {
        return "the range 'all' takes no begin and end";
      }
      break;
    case Range::kFromTop:
      if (range.begin() < 0 || range.begin() > range.end()) {
        return "the range 'from top' needs 0 <= begin <= end";
      }
      break;
    default:
      if (range.begin() > range.end()) {
        return "the range 'nearby' needs begin <= end";
      }
      break;
  }
  if (query.collection() == Leaderboard::LeaderboardQuery::kSocial &&
      range.type() != Range::kAll) {
    return "a social query covers its whole list (range 'all')";
  }
  return "";
}

bool HasValidCompetitors(const Query& query) {
  for (const auto& competitor : query.competitors()) {
    if (!competitor.has_service_provider() || !competitor.has_local_account()) {
      return false;
    }
  }
  return true;
}

vel::PlayerAccount PlayerOf(const Query& query) {
  if (!query.has_account_id()) return vel::PlayerAccount();
  return vel::PlayerAccount(query.account_id().service_provider(),
                            query.account_id().local_account());
}

std::vector<vel::PlayerAccount> CompetitorsOf(const Query& query) {
  std::vector<vel::PlayerAccount> competitors;
  competitors.reserve(query.competitors_size());
  for (const auto& competitor : query.competitors()) {
    competitors.emplace_back(competitor.service_provider(),
                             competitor.local_account());
  }
  return competitors;
}

void CopyResult(const QueryResult& result,
                Leaderboard::LeaderboardQuery::Response* out) {
  out->set_total_player_count(result.total_player_count);
  out->mutable_record()->Reserve(static_cast<int>(result.records.size()));
  for (const auto& record : result.records) {
    auto* entry = out->add_record();
    entry->set_rank(record.rank);
    entry->set_score(record.score);
    if (record.tiebreak_score)
      entry->set_tiebreak_score(*record.tiebreak_score);
    entry->mutable_account_id()->set_service_provider(
        record.account.service_provider());
    entry->mutable_account_id()->set_local_account(record.account.id());
    if (!record.display_name.empty()) {
      entry->set_display_name(record.display_name);
    }
    if (!record.metadata.empty()) entry->set_metadata(record.metadata);
    if (!record.tier.empty()) entry->set_tier(record.tier);
  }
  if (!result.cohort_id.empty()) {
    out->set_tier(result.tier);
    out->set_cohort_id(result.cohort_id);
  }
}

// Whether an answer of `bytes` fits --max_answer_bytes; refuses the request
// when it does not (names and metadata make records of very different sizes, so
// the record cap alone does not bound an answer's bytes).
bool CheckAnswerBytes(std::size_t bytes,
                      const std::shared_ptr<ClientSession>& session,
                      const Uuid& request_uuid, const char* operation) {
  if (RequestLimits::FitsAnswerBytes(bytes)) return true;
  const std::string message = RequestLimits::AnswerBytesMessage();
  LOG(WARNING) << operation << "failed: "
               << "Invalid parameter found"
               << ". " << message << ": session=" << session
               << ", answer bytes at least=" << bytes;
  SendFail(session, request_uuid, Leaderboard::Response::kFailInvalidParameter,
           message);
  return false;
}

// Whether `query` reads the social ranking (its player and competitors).
bool IsSocial(const Query& query) {
  return query.collection() == Leaderboard::LeaderboardQuery::kSocial;
}

// A query's place in the top answer cache and what its lookup found.
struct TopLookup {
  std::string key;
  // When the lookup ran (monotonic clock): a read that follows starts then.
  std::int64_t read_at = 0;
  TopAnswerCache::Lookup found;
};

// Looks `query` up in the top answer cache, counting a hit or a miss: true
// with *top filled for a public from-top query without a player over the
// first ranks of a current ranking, when the cache is on.
bool LookUpTopAnswer(const Query& query, TopLookup* top) {
  TopAnswerCache* const cache = TopAnswerCache::Instance();
  if (cache == nullptr || IsSocial(query) || query.has_period_start() ||
      query.cohort() || query.has_account_id() ||
      query.range().type() != Range::kFromTop ||
      query.range().end() >= kCachedRanks ||
      !IsValidTimespan(query.time_span())) {
    return false;
  }
  const auto week_time = service_internal::WeekReferenceTime(
      query.leaderboard_id(), query.time_span());
  top->key =
      MakeLeaderboardKey(query.leaderboard_id(), query.time_span(), week_time) +
      '|' + std::to_string(query.range().begin()) + '|' +
      std::to_string(query.range().end()) + '|' +
      std::to_string(query.ranking_type());
  top->read_at = vel::MonotonicClock::Now();
  top->found = cache->Find(query.leaderboard_id(), top->key, top->read_at);
  LeaderboardMetrics::CountTopAnswerLookup(top->found.answer != nullptr);
  return true;
}

// `result` serialized as the leaderboard_query field of an answer: what
// follows the header of a single query's answer on the wire.
std::shared_ptr<const std::string> WireOf(const QueryResult& result) {
  Leaderboard::Response response;
  CopyResult(result, response.mutable_leaderboard_query());
  return std::make_shared<const std::string>(response.SerializeAsString());
}

// `callback` behind a step that turns the scores of an ascending
// leaderboard (and the second scores of an ascending tiebreak), which Redis
// keeps negated, back into the real ones before anything answers or keeps
// them; `callback` itself for other leaderboards.
AnswerCallback WithRealScores(const RankingOption& option,
                              AnswerCallback callback) {
  if (!option.ascending() &&
      option.tiebreak != RankingOption::Tiebreak::kAscending) {
    return callback;
  }
  return [option, callback = std::move(callback)](const Answer& result) {
    if (!result || result->error) {
      callback(result);
      return;
    }
    auto real = std::make_shared<QueryResult>(*result);
    for (QueryResult::Record& record : real->records) {
      record.score = option.FromStoredScore(record.score);
      if (record.tiebreak_score) {
        record.tiebreak_score =
            option.FromStoredTiebreak(*record.tiebreak_score);
      }
    }
    callback(real);
  };
}

// Runs `query` in the cache: its social ranking, or else its public one;
// `callback` gets the shared result. A closed period is read from the
// archive. With `top` (the query's lookup in the top answer cache), a kept
// answer is answered at once on the calling thread, and an answer read from
// Redis is kept.
void QueryCache(const Query& query, AnswerCallback callback,
                TopLookup* top = nullptr) {
  if (query.has_period_start()) {
    service_internal::QueryArchivedPeriod(query, std::move(callback));
    return;
  }
  if (top != nullptr && top->found.answer) {
    callback(top->found.answer);
    return;
  }
  const auto week_time = service_internal::WeekReferenceTime(
      query.leaderboard_id(), query.time_span());
  RankingOption option;
  RankingOptions::GetRankingOption(query.leaderboard_id(), &option);
  callback = WithRealScores(option, std::move(callback));
  if (query.cohort()) {
    service_internal::QueryCohort(query, std::move(callback));
    return;
  }
  if (IsSocial(query)) {
    RedisCache::GetSocialLeaderboard(
        query.leaderboard_id(), PlayerOf(query), CompetitorsOf(query),
        query.time_span(), query.range(), query.ranking_type(), week_time,
        std::move(callback), option.league);
    return;
  }
  if (top != nullptr) {
    callback = [id = query.leaderboard_id(), key = std::move(top->key),
                ticket = top->found.ticket, read_at = top->read_at,
                callback = std::move(callback)](const Answer& result) {
      if (result && !result->error) {
        TopAnswerCache::Instance()->Store(id, key, ticket, read_at, result,
                                          WireOf(*result));
      }
      callback(result);
    };
  }
  RedisCache::GetPublicLeaderboard(
      query.leaderboard_id(), PlayerOf(query), query.time_span(), query.range(),
      query.ranking_type(), week_time, std::move(callback), option.league);
}

// Answers a single query with a kept answer's wire form.
void AnswerWithWire(const std::string& wire,
                    const std::shared_ptr<ClientSession>& session,
                    const Uuid& request_uuid) {
  auto header = vel::LeaderboardMessageWriter::CreateLeaderboardQueryResponse(
      request_uuid, true);
  header->clear_leaderboard_query();
  if (!CheckAnswerBytes(header->ByteSizeLong() + wire.size(), session,
                        request_uuid, "QueryRequest() ")) {
    return;
  }
  session->SendWithTail(*header, wire);
}

// Refuses the request of a query whose reader refused it (an archived
// period that does not exist) with kFailInvalidParameter; false when the
// result is no refusal.
bool AnswerRefusal(const Answer& result,
                   const std::shared_ptr<ClientSession>& session,
                   const Uuid& request_uuid) {
  if (!result || !result->error || result->refusal.empty()) return false;
  LOG(WARNING) << "Query refused: " << result->refusal
               << ": session=" << session;
  SendFail(session, request_uuid, Leaderboard::Response::kFailInvalidParameter,
           result->refusal);
  return true;
}

// Answers one query with the cache's `result`: its records, or
// kFailUnknown "Internal error" when the cache failed.
void AnswerQuery(const Answer& result,
                 const std::shared_ptr<ClientSession>& session,
                 const Uuid& request_uuid) {
  if (AnswerRefusal(result, session, request_uuid)) return;
  if (!result || result->error) {
    SendFail(session, request_uuid, Leaderboard::Response::kFailUnknown,
             "Internal error");
    return;
  }
  auto response = vel::LeaderboardMessageWriter::CreateLeaderboardQueryResponse(
      request_uuid, true);
  CopyResult(*result, response->mutable_leaderboard_query());
  if (!CheckAnswerBytes(response->ByteSizeLong(), session, request_uuid,
                        "QueryRequest() ")) {
    return;
  }
  session->Send(*response);
}

// The completions of one query in the public and in the social ranking
// (cache completion threads): count its latency from `start_time`
// (monotonic clock), then answer it.
void OnPublicLeaderboardCacheQueried(
    const Answer& result, const std::shared_ptr<ClientSession>& session,
    const Uuid& request_uuid, std::int64_t start_time) {
  VLOG(2) << "OnPublicLeaderboardCacheQueried called";
  ProfilingCounters::Record(ProfilingCounters::kQuery, start_time);
  AnswerQuery(result, session, request_uuid);
}
void OnSocialLeaderboardCacheQueried(
    const Answer& result, const std::shared_ptr<ClientSession>& session,
    const Uuid& request_uuid, std::int64_t start_time) {
  VLOG(2) << "OnSocialLeaderboardCacheQueried called";
  ProfilingCounters::Record(ProfilingCounters::kSocialQuery, start_time);
  AnswerQuery(result, session, request_uuid);
}

// Runs one checked query in the cache; its completion answers it.
// `start_time` is when the request arrived (monotonic clock). Event threads,
// or a cache completion thread after the record cap read sizes.
void RunQuery(const std::shared_ptr<ClientSession>& session,
              const Uuid& request_uuid, const Query& query,
              std::int64_t start_time) {
  TopLookup top;
  const bool kept = LookUpTopAnswer(query, &top);
  if (kept && top.found.wire) {
    ProfilingCounters::Record(ProfilingCounters::kQuery, start_time);
    AnswerWithWire(*top.found.wire, session, request_uuid);
    return;
  }
  const auto completion = IsSocial(query) ? &OnSocialLeaderboardCacheQueried
                                          : &OnPublicLeaderboardCacheQueried;
  QueryCache(
      query,
      [completion, session, request_uuid, start_time](const Answer& result) {
        completion(result, session, request_uuid, start_time);
      },
      kept ? &top : nullptr);
}

// One step of a batch of queries: runs query `index` in the cache; its
// completion runs the next step, and answers after the last.
void RunBatchStep(const std::shared_ptr<BatchContext>& context,
                  std::size_t index);

// Adds the result of step `index` to the batch's answer and runs the next
// step, or sends the answer after the last. A failed step answers
// kFailUnknown "Internal error" and drops the partial answer: the batch
// fails as a whole.
void ContinueBatch(const Answer& result,
                   const std::shared_ptr<BatchContext>& context,
                   std::size_t index) {
  if (AnswerRefusal(result, context->session, context->request_uuid)) return;
  if (!result || result->error) {
    SendFail(context->session, context->request_uuid,
             Leaderboard::Response::kFailUnknown, "Internal error");
    return;
  }
  CopyResult(*result, context->response->add_leaderboard_queries());
  if (!CheckAnswerBytes(context->response->ByteSizeLong(), context->session,
                        context->request_uuid, "QueriesRequest() ")) {
    return;
  }
  if (index + 1 < context->queries.size()) {
    RunBatchStep(context, index + 1);
  } else {
    context->session->Send(*context->response);
  }
}

// The completions of one batch step in the public and in the social ranking
// (cache completion threads): count its latency from `start_time`
// (monotonic clock), then go on with the batch.
void OnPublicLeaderboardsCacheQueried(
    const Answer& result, const std::shared_ptr<BatchContext>& context,
    std::size_t index, std::int64_t start_time) {
  VLOG(2) << "OnPublicLeaderboardsCacheQueried called";
  ProfilingCounters::Record(ProfilingCounters::kQuery, start_time);
  ContinueBatch(result, context, index);
}
void OnSocialLeaderboardsCacheQueried(
    const Answer& result, const std::shared_ptr<BatchContext>& context,
    std::size_t index, std::int64_t start_time) {
  VLOG(2) << "OnSocialLeaderboardsCacheQueried called";
  ProfilingCounters::Record(ProfilingCounters::kSocialQuery, start_time);
  ContinueBatch(result, context, index);
}

void RunBatchStep(const std::shared_ptr<BatchContext>& context,
                  std::size_t index) {
  const std::int64_t start_time = vel::MonotonicClock::Now();
  const Query& query = context->queries[index];
  TopLookup top;
  const bool kept = LookUpTopAnswer(query, &top);
  const auto completion = IsSocial(query) ? &OnSocialLeaderboardsCacheQueried
                                          : &OnPublicLeaderboardsCacheQueried;
  QueryCache(
      query,
      [completion, context, index, start_time](const Answer& result) {
        completion(result, context, index, start_time);
      },
      kept ? &top : nullptr);
}

}  // namespace

bool service_internal::CheckQuery(const std::shared_ptr<ClientSession>& session,
                                  const Uuid& request_uuid, const Query& query,
                                  bool batch) {
  const char* const prefix = batch ? "QueriesRequest() " : "QueryRequest() ";
  const auto refuse = [&](const char* message) {
    SendFail(session, request_uuid,
             Leaderboard::Response::kFailInvalidParameter, message);
    return false;
  };
  if (!ValidateQuery(query)) {
    if (!query.has_leaderboard_id()) {
      LOG(WARNING) << prefix << "failed: "
                   << "Invalid parameter found"
                   << ". "
                   << "No leaderboard ID"
                   << ": session=" << session;
    }
    return refuse("Invalid parameter found");
  }
  if (!FLAGS_leaderboard_use_db_stored_procedure &&
      !IsConfiguredLeaderboardId(query.leaderboard_id())) {
    if (batch) {
      LOG(ERROR) << prefix << "failed: "
                 << "Unknown leaderboard ID"
                 << ": leaderboard id=" << query.leaderboard_id();
      return refuse("Unknown leaderboard ID");
    }
    LOG(ERROR) << prefix << "failed: "
               << "Invalid parameter found"
               << ". "
               << "Unknown leaderboard ID"
               << ": leaderboard id=" << query.leaderboard_id()
               << ", session=" << session;
    return refuse("Invalid parameter found");
  }
  if (!CheckLeaderboardId(session, request_uuid,
                          batch ? "QueriesRequest" : "QueryRequest",
                          query.leaderboard_id())) {
    return false;
  }
  // The limits' refusal keeps its general answer; a query of an archived
  // period is refused with the reason.
  std::string limit = CheckQueryLimits(query);
  const bool general = !limit.empty();
  if (!general && query.cohort()) {
    limit = service_internal::CheckCohortQuery(query);
  } else if (!general && query.has_period_start()) {
    limit = service_internal::CheckArchivedPeriodQuery(query);
  }
  if (!limit.empty()) {
    LOG(WARNING) << prefix << "failed: "
                 << "Invalid parameter found"
                 << ". " << limit << ": session=" << session
                 << ", request=" << query.ShortDebugString();
    return refuse(general ? "Invalid parameter found" : limit.c_str());
  }
  if (!HasValidCompetitors(query)) {
    if (batch) {
      LOG(WARNING) << "Invalid parameter found"
                   << ": session=" << session;
      return refuse("invalid parameter");
    }
    LOG(WARNING) << prefix << "failed: "
                 << "Invalid parameter found"
                 << ": session=" << session;
    return refuse("Invalid parameter found");
  }
  const std::string too_many = RequestLimits::CheckCompetitorCount(query);
  if (!too_many.empty()) {
    LOG(WARNING) << prefix << "failed: "
                 << "Invalid parameter found"
                 << ". " << too_many << ": session=" << session
                 << ", competitors=" << query.competitors_size();
    return refuse(too_many.c_str());
  }
  // The player and the competitors become member keys: their parts must
  // fit what can be stored.
  std::string reason;
  if (query.has_account_id()) {
    RequestLimits::FitsAccountColumns(query.account_id(), &reason);
  }
  for (const auto& competitor : query.competitors()) {
    if (!reason.empty()) break;
    RequestLimits::FitsAccountColumns(competitor, &reason);
  }
  if (!reason.empty()) {
    LOG(WARNING) << prefix << "failed: "
                 << "Invalid parameter found"
                 << ". " << reason << ": session=" << session;
    return refuse("Invalid parameter found");
  }
  return true;
}

void LeaderboardService::OnQueryRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const Query& query) {
  VLOG(2) << "OnQueryRequested called";
  const std::int64_t start_time = vel::MonotonicClock::Now();
  if (!CheckAuthenticated(session, request_uuid, "QueryRequest")) return;

  if (!CheckQuery(session, request_uuid, query, /*batch=*/false)) return;

  auto queries = std::make_shared<const std::vector<Query>>(1, query);
  CheckAnswerSize(session, request_uuid, queries, /*batch=*/false,
                  [session, request_uuid, start_time, queries] {
                    RunQuery(session, request_uuid, queries->front(),
                             start_time);
                  });
}

void LeaderboardService::OnQueriesRequested(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    const google::protobuf::RepeatedPtrField<Query>& queries) {
  VLOG(2) << "OnQueriesRequested called";
  if (!CheckAuthenticated(session, request_uuid, "QueriesRequest")) return;
  if (queries.empty()) {
    RefuseInvalidParameter(session, request_uuid, "QueriesRequest",
                           "no requests");
    return;
  }
  // Every query is checked before the first one runs: one bad query refuses
  // the whole batch.
  for (const Query& query : queries) {
    if (!CheckQuery(session, request_uuid, query, /*batch=*/true)) return;
  }

  auto context = std::make_shared<BatchContext>();
  context->session = session;
  context->request_uuid = request_uuid;
  context->queries.assign(queries.begin(), queries.end());
  context->response =
      vel::LeaderboardMessageWriter::CreateLeaderboardQueryResponse(
          request_uuid, false);
  // The queries stay owned by the context, which the check keeps alive.
  std::shared_ptr<const std::vector<Query>> batch(context, &context->queries);
  CheckAnswerSize(session, request_uuid, std::move(batch), /*batch=*/true,
                  [context] { RunBatchStep(context, 0); });
}

}  // namespace plemox
