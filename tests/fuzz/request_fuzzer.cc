// Fuzzes request parsing and validation up to the ranking cache: a received
// body goes through the dispatch's envelope checks and then through the
// checks of its request type, on a session over a transport that keeps what
// is sent. Request types whose handlers need no cache or database before
// answering (authentication, status query and reset request, the database
// being absent) run their real handler. The properties:
//   - a request the checks refuse is answered exactly once, with the
//     request's UUID, a failure code and a message; an unauthenticated
//     session only ever hears kFailUnauthenticatedApp;
//   - a request the checks pass is not answered yet (the cache answers);
//   - what passes is safe to store: its keys have bounded length, the member
//     key of a submission reads back as the same account and its score
//     reads back as the same number.
// The first input byte picks whether the session has authenticated and
// whether stored procedures are on (any leaderboard id accepted; off, no id
// is configured so every id is unknown); the rest is the body.
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/cache/redis_key.h"
#include "fuzz_support.h"
#include "leaderboard.pb.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/service/internal/request_checks.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session.h"
#include "vel/core/buffer.h"
#include "vel/core/player_account.h"
#include "vel/core/util.h"
#include "vel/net/transport.h"

namespace {

using plemox::ClientSession;
using plemox::LeaderboardService;
namespace service_internal = plemox::service_internal;
using Query = Leaderboard::LeaderboardQuery::Request;

// A connection that is always open and keeps every body sent on it.
class CapturingTransport : public vel::Transport {
 public:
  bool Send(vel::Buffer body, int /*timeout_seconds*/) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(body.ToString());
    return true;
  }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::string peer() const override { return "fuzz:1"; }

  std::vector<std::string> sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> sent_;  // GUARDED_BY(mutex_)
};

// The longest key a stored text may make: every character of the columns
// as four UTF-8 bytes, plus the fixed parts.
std::size_t MaxMemberKeySize() {
  return 4 * (50 + FLAGS_mysql_local_account_column_length) + 32;
}

void CheckStorableSubmission(const Leaderboard::ScoreSubmission::Request& r) {
  if (!plemox::IsValidLeaderboardId(r.leaderboard_id())) std::abort();
  const vel::PlayerAccount account(r.account_id().service_provider(),
                                   r.account_id().local_account());
  const std::string member = plemox::MakeMemberKey(account);
  if (member.size() > MaxMemberKeySize()) std::abort();
  const std::string ranking_member =
      plemox::MakeMemberRankingKey(1612345678901, member);
  vel::PlayerAccount read_back;
  if (!plemox::ParseMemberRankingKey(ranking_member, &read_back) ||
      read_back != account) {
    std::abort();
  }
  const std::string score = plemox::ScoreToText(r.score());
  if (std::strtod(score.c_str(), nullptr) != r.score()) std::abort();
  for (int timespan = 1; timespan <= 7; ++timespan) {
    const std::string key = plemox::MakeLeaderboardKey(
        r.leaderboard_id(), static_cast<plemox::Timespan>(timespan),
        boost::posix_time::not_a_date_time);
    if (key.size() > plemox::kMaxLeaderboardIdLength + 32) std::abort();
  }
}

void CheckStorableAccount(const Leaderboard::AccountId& account) {
  const std::string member = plemox::MakeMemberKey(
      vel::PlayerAccount(account.service_provider(), account.local_account()));
  if (member.size() > MaxMemberKeySize()) std::abort();
}

// Whether the record cap can be decided without reading a ranking; then
// CheckAnswerSize answers or goes on at once.
bool AnswerSizeKnown(const std::vector<Query>& queries) {
  std::uint64_t records = 0;
  for (const Query& query : queries) {
    const auto bound = plemox::RequestLimits::RecordBound(query);
    if (!bound) return false;
    records = plemox::RequestLimits::SaturatingAdd(records, *bound);
  }
  return plemox::RequestLimits::FitsRecordCap(records);
}

// The query checks of one request; true when every query passed (and the
// record cap, where it is known without the cache).
bool CheckQueries(const std::shared_ptr<ClientSession>& session,
                  const LeaderboardService::Uuid& uuid,
                  const std::vector<Query>& queries, bool batch) {
  for (const Query& query : queries) {
    if (!service_internal::CheckQuery(session, uuid, query, batch)) {
      return false;
    }
    if (query.has_account_id()) CheckStorableAccount(query.account_id());
    for (const auto& competitor : query.competitors()) {
      CheckStorableAccount(competitor);
    }
  }
  if (!AnswerSizeKnown(queries)) return true;  // the cache reads sizes first
  bool fit = false;
  service_internal::CheckAnswerSize(
      session, uuid, std::make_shared<const std::vector<Query>>(queries), batch,
      [&fit] { fit = true; });
  if (!fit) std::abort();  // a known fit goes on at once
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  plemox::fuzz::QuietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const bool authenticated = (data[0] & 1) != 0;
  FLAGS_leaderboard_use_db_stored_procedure = (data[0] & 2) != 0;
  const vel::Buffer body(data + 1, size - 1);

  Leaderboard::Request request;
  LeaderboardService::Uuid uuid;
  if (!service_internal::ParseRequest(body, &request, &uuid)) return 0;
  if (vel::util::ToBytes(uuid).size() != 16) std::abort();

  auto transport = std::make_shared<CapturingTransport>();
  auto session = std::make_shared<ClientSession>(transport);
  session->set_state(ClientSession::kCreated);
  if (authenticated) session->Authenticate("fuzz_app");

  // Whether the request passed every check and would reach the cache now.
  bool passed = false;
  const auto gate = [&](const char* operation) {
    return service_internal::CheckAuthenticated(session, uuid, operation);
  };
  switch (request.type()) {
    case Leaderboard::Request::kLeaderboardAuthentication:
      LeaderboardService::OnAuthenticationRequested(
          session, uuid, request.leaderboard_authentication());
      break;
    case Leaderboard::Request::kLeaderboardQuery:
      passed = gate("QueryRequest") &&
               CheckQueries(session, uuid, {request.leaderboard_query()},
                            /*batch=*/false);
      break;
    case Leaderboard::Request::kLeaderboardQueries:
      if (request.leaderboard_queries().empty()) {
        // Refused before anything is read.
        LeaderboardService::OnQueriesRequested(session, uuid,
                                               request.leaderboard_queries());
        break;
      }
      passed = gate("QueriesRequest") &&
               CheckQueries(session, uuid,
                            {request.leaderboard_queries().begin(),
                             request.leaderboard_queries().end()},
                            /*batch=*/true);
      break;
    case Leaderboard::Request::kScoreSubmission:
      passed = gate("ScoreSubmission") &&
               service_internal::CheckScoreSubmission(
                   session, uuid, request.score_submission());
      if (passed) CheckStorableSubmission(request.score_submission());
      break;
    case Leaderboard::Request::kScoreDeletions:
      passed = gate("ScoreDeletion") &&
               service_internal::CheckScoreDeletions(session, uuid,
                                                     request.score_deletions());
      if (passed) {
        for (const auto& deletion : request.score_deletions()) {
          if (!plemox::IsValidLeaderboardId(deletion.leaderboard_id())) {
            std::abort();
          }
          CheckStorableAccount(deletion.account_id());
        }
      }
      break;
    case Leaderboard::Request::kResetScheduleStatusQuery:
      LeaderboardService::OnResetScheduleStatusQueryRequested(
          session, uuid, request.reset_schedule_status_query());
      break;
    case Leaderboard::Request::kLeaderboardReset:
      LeaderboardService::OnLeaderboardResetRequested(
          session, uuid, request.leaderboard_reset());
      break;
    default:
      // The dispatch drops unknown types without an answer.
      if (!transport->sent().empty()) std::abort();
      return 0;
  }

  const std::vector<std::string> sent = transport->sent();
  if (sent.size() != (passed ? 0u : 1u)) std::abort();
  for (const std::string& bytes : sent) {
    Leaderboard::Response response;
    if (!response.ParseFromString(bytes)) std::abort();
    if (response.request_uuid() != vel::util::ToBytes(uuid)) std::abort();
    if (!authenticated &&
        request.type() != Leaderboard::Request::kLeaderboardAuthentication &&
        response.fail().code() !=
            Leaderboard::Response::kFailUnauthenticatedApp) {
      std::abort();
    }
    if (response.has_fail()) {
      if (!Leaderboard::Response::Fail_IsValid(response.fail().code()) ||
          response.fail().message().empty()) {
        std::abort();
      }
    }
  }
  return 0;
}
