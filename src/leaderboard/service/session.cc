#include "leaderboard/service/session.h"

#include <glog/logging.h>

#include "leaderboard/service/leaderboard_metrics.h"
#include "vel/core/buffer.h"
#include "vel/core/monotonic_clock.h"
#include "vel/core/util.h"

namespace plemox {

ClientSession::ClientSession(const std::shared_ptr<vel::Transport>& transport)
    : transport_(transport) {
  VLOG(2) << "ClientSession";
}

ClientSession::State ClientSession::Authenticate(const std::string& app_id,
                                                 std::uint32_t rights) {
  // The app id is written before the state flips so that nobody sees an
  // authenticated session without its id; a lost race restores nothing
  // because only the winner writes.
  std::lock_guard<std::mutex> lock(app_id_mutex_);
  State seen = state_.load();
  while (seen == kCreated || seen == kClosed) {
    // The rights are in place before the state flips: a request that sees
    // kAuthenticated also sees them. A lost race puts the old ones back.
    const std::uint32_t old_rights = rights_.exchange(rights);
    if (state_.compare_exchange_weak(seen, kAuthenticated)) {
      app_id_ = app_id;
      return seen;
    }
    rights_.store(old_rights);
  }
  return seen;
}

std::string ClientSession::app_id() const {
  std::lock_guard<std::mutex> lock(app_id_mutex_);
  return app_id_;
}

void ClientSession::set_app_id(const std::string& app_id) {
  std::lock_guard<std::mutex> lock(app_id_mutex_);
  app_id_ = app_id;
}

void ClientSession::ExpectAnswer(const boost::uuids::uuid& request_uuid,
                                 std::int32_t type) {
  requests_.Add(request_uuid, type, vel::MonotonicClock::Now());
}

void ClientSession::Send(const Leaderboard::Response& response) const {
  RequestLedger::Entry request;
  const bool known =
      requests_.Take(vel::util::FromBytes(response.request_uuid()), &request);
  LeaderboardMetrics::CountAnswer(response, known ? &request : nullptr);
  if (auto transport = transport_.lock()) {
    transport->Send(vel::Buffer(response), 100);
  }
}

void ClientSession::SendWithTail(const Leaderboard::Response& header,
                                 const std::string& tail) const {
  RequestLedger::Entry request;
  const bool known =
      requests_.Take(vel::util::FromBytes(header.request_uuid()), &request);
  LeaderboardMetrics::CountAnswer(header, known ? &request : nullptr);
  if (auto transport = transport_.lock()) {
    std::string bytes = header.SerializeAsString();
    bytes += tail;
    transport->Send(vel::Buffer(bytes.data(), bytes.size()), 100);
  }
}

std::string ClientSession::peer() const {
  const auto transport = transport_.lock();
  return transport ? transport->peer() : "-";
}

std::string ClientSession::certificate_subject() const {
  const auto transport = transport_.lock();
  return transport ? transport->peer_certificate_subject() : std::string();
}

void ClientSession::CloseConnection() const {
  if (auto transport = transport_.lock()) transport->Close();
}

const char* ClientSession::StateName(State state) {
  static const char* const kNames[] = {"kUnknown", "kCreated", "kAuthenticated",
                                       "kClosed"};
  const auto index = static_cast<std::int32_t>(state);
  return index >= 0 && index < 4 ? kNames[index] : "kInvalid";
}

std::string ClientSession::ToString() const {
  return app_id() + "-" + StateName(state());
}

std::ostream& operator<<(std::ostream& out, const ClientSession& session) {
  return out << session.ToString();
}

std::ostream& operator<<(std::ostream& out,
                         const std::shared_ptr<ClientSession>& session) {
  return session ? out << *session : out << "(none)";
}

}  // namespace plemox
