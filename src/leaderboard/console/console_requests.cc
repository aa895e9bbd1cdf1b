#include "leaderboard/console/console_requests.h"

#include <glog/logging.h>

#include <boost/uuid/random_generator.hpp>
#include <memory>
#include <mutex>
#include <utility>

#include "leaderboard/console/in_process_transport.h"
#include "leaderboard/service/leaderboard_service.h"
#include "leaderboard/service/session.h"
#include "vel/core/event.h"
#include "vel/core/util.h"

namespace plemox {
namespace {

using Uuid = LeaderboardService::Uuid;

Uuid NewUuid() {
  static std::mutex mutex;
  static boost::uuids::random_generator generator;
  std::lock_guard<std::mutex> lock(mutex);
  return generator();
}

Leaderboard::Response MakeFailure(const std::string& message) {
  Leaderboard::Response response;
  response.mutable_fail()->set_code(Leaderboard::Response::kFailUnknown);
  response.mutable_fail()->set_message(message);
  return response;
}

// Runs `handle` (session, request UUID) on an event thread with a fresh
// authenticated session whose one answer goes to `answer`.
void Run(const std::string& remote, std::int32_t type,
         std::function<void(const std::shared_ptr<ClientSession>&, const Uuid&)>
             handle,
         ConsoleRequests::Answer answer) {
  const std::string name = "console@" + remote;
  auto transport = std::make_shared<InProcessTransport>(name, answer);
  auto session = std::make_shared<ClientSession>(transport);
  session->set_state(ClientSession::kCreated);
  session->Authenticate(name);
  const Uuid request_uuid = NewUuid();
  // Counted in the metrics like any answer of its type.
  session->ExpectAnswer(request_uuid, type);
  transport->Start();
  const bool posted =
      vel::Event::Invoke([session, request_uuid, handle = std::move(handle)] {
        handle(session, request_uuid);
      });
  if (!posted) {
    transport->Close();
    answer(MakeFailure("the server is shutting down"));
  }
}

}  // namespace

void ConsoleRequests::Query(const std::string& remote,
                            const Leaderboard::LeaderboardQuery::Request& query,
                            Answer answer) {
  Run(
      remote, Leaderboard::Request::kLeaderboardQuery,
      [query](const std::shared_ptr<ClientSession>& session,
              const Uuid& request_uuid) {
        LeaderboardService::OnQueryRequested(session, request_uuid, query);
      },
      std::move(answer));
}

void ConsoleRequests::DeleteScore(
    const std::string& remote,
    const Leaderboard::ScoreDeletion::Request& deletion, Answer answer) {
  Run(
      remote, Leaderboard::Request::kScoreDeletions,
      [deletion](const std::shared_ptr<ClientSession>& session,
                 const Uuid& request_uuid) {
        google::protobuf::RepeatedPtrField<Leaderboard::ScoreDeletion::Request>
            deletions;
        *deletions.Add() = deletion;
        LeaderboardService::OnScoreDeletionRequested(session, request_uuid,
                                                     deletions);
      },
      std::move(answer));
}

std::string ConsoleRequests::FailureText(
    const Leaderboard::Response& response) {
  if (!response.has_fail()) return "";
  const std::string& message = response.fail().message();
  return message.empty() ? "the request failed" : message;
}

}  // namespace plemox
