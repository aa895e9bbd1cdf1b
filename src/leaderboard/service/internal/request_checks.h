// The checks a request passes before its flow reaches the cache or the
// database, and the failure answer every flow sends. A check that refuses
// logs why and answers the refusal itself, then returns false. Called by the
// request handlers on the event threads, and directly by the unit tests and
// the request fuzzer; each is defined in the file of its flow.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "leaderboard.pb.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session.h"
#include "vel/core/buffer.h"

namespace plemox {
namespace service_internal {

using Uuid = LeaderboardService::Uuid;

// Answers `request_uuid` on `session` with a failure. Any thread.
void SendFail(const std::shared_ptr<ClientSession>& session,
              const Uuid& request_uuid, Leaderboard::Response::Fail code,
              const std::string& message);

// The request gate of every handler but authentication: true when the
// session has authenticated; otherwise logs "<operation>() failed: Access
// denied, authentication required", answers kFailUnauthenticatedApp and
// returns false.
bool CheckAuthenticated(const std::shared_ptr<ClientSession>& session,
                        const Uuid& request_uuid, const char* operation);

// Logs "<operation>() failed: Invalid parameter found. <reason>:
// session=<session>" as a warning and answers kFailInvalidParameter
// "Invalid parameter found".
void RefuseInvalidParameter(const std::shared_ptr<ClientSession>& session,
                            const Uuid& request_uuid, const char* operation,
                            const char* reason);

// The leaderboard id check of every request that names one: true when
// `leaderboard_id` follows the rule of IsValidLeaderboardId. Otherwise logs
// "<operation>() failed: Invalid parameter found. <reason>" as a warning and
// answers kFailInvalidParameter: "Invalid parameter found" for an empty id,
// InvalidLeaderboardIdMessage() (which states the rule) for any other.
bool CheckLeaderboardId(const std::shared_ptr<ClientSession>& session,
                        const Uuid& request_uuid, const char* operation,
                        const std::string& leaderboard_id);

// Parses one received body into *request and checks its envelope (a
// request UUID, taken into *request_uuid, and a type). On failure logs why,
// counts the unanswered message and returns false; nothing is answered.
// Any thread (leaderboard_service_dispatch.cc).
bool ParseRequest(const vel::Buffer& buffer, Leaderboard::Request* request,
                  Uuid* request_uuid);

// The checks every query passes before the cache sees it: its fields, its
// leaderboard id, its range, its competitors and their number, and the
// sizes of its accounts. On failure logs, answers the refusal (the texts of
// a batch differ a little) and returns false (leaderboard_service_query.cc).
bool CheckQuery(const std::shared_ptr<ClientSession>& session,
                const Uuid& request_uuid,
                const Leaderboard::LeaderboardQuery::Request& query,
                bool batch);

// The record cap of one answer: calls `on_fit` when the answers to `queries`
// together cannot hold more than --max_records_per_answer records. When the
// queries alone do not tell (a public kAll query, or spans that add up past
// the cap), it reads the size of each public query's ranking first, one
// after the other. Over the cap it logs and answers kFailInvalidParameter
// with a text that names the cap; when a ranking cannot be read,
// kFailUnknown. `on_fit` runs on the calling thread or on a cache completion
// thread (leaderboard_service_answer_size.cc).
// REQUIRES: every query passed CheckQuery.
void CheckAnswerSize(
    const std::shared_ptr<ClientSession>& session, const Uuid& request_uuid,
    std::shared_ptr<const std::vector<Leaderboard::LeaderboardQuery::Request>>
        queries,
    bool batch, std::function<void()> on_fit);

// The checks of a submission's fields before the cache sees it; on failure
// logs, answers kFailInvalidParameter and returns false. Needs no running
// service (the configured ids are empty before start-up)
// (leaderboard_service_submission.cc).
bool CheckScoreSubmission(const std::shared_ptr<ClientSession>& session,
                          const Uuid& request_uuid,
                          const Leaderboard::ScoreSubmission::Request& request);

// The checks of a batch of deletions before the cache sees the first; one
// bad deletion refuses the batch. On failure logs, answers
// kFailInvalidParameter and returns false (leaderboard_service_deletion.cc).
bool CheckScoreDeletions(const std::shared_ptr<ClientSession>& session,
                         const Uuid& request_uuid,
                         const google::protobuf::RepeatedPtrField<
                             Leaderboard::ScoreDeletion::Request>& deletions);

}  // namespace service_internal
}  // namespace plemox
