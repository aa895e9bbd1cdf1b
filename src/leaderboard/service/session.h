// One game-server connection's session: whether the peer has authenticated,
// its app id, and the way back to it. Shared by the session registry and by
// every request in flight on the connection, so it outlives the connection
// until the last answer was attempted. All members are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "leaderboard.pb.h"
#include "leaderboard/core/game_server_keys.h"
#include "leaderboard/service/request_ledger.h"
#include "vel/net/transport.h"

namespace plemox {

class ClientSession {
 public:
  enum State : std::int32_t {
    kUnknown = 0,
    kCreated = 1,
    kAuthenticated = 2,
    kClosed = 3,
  };

  // A session in kUnknown for `transport` (held weakly).
  explicit ClientSession(const std::shared_ptr<vel::Transport>& transport);
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  State state() const { return state_.load(); }
  void set_state(State state) { state_.store(state); }

  // Moves the session from kCreated or kClosed to kAuthenticated with
  // `app_id` and the `rights` of its key (GameServerKeys::Right bits),
  // atomically, so that of two concurrent authentications on one
  // connection exactly one succeeds. Returns the state seen before: the
  // move happened when that state was kCreated or kClosed.
  State Authenticate(const std::string& app_id,
                     std::uint32_t rights = GameServerKeys::kAllRights);

  // The rights granted at authentication; 0 before it. They stay until the
  // connection ends, also when the keys file is read again.
  std::uint32_t rights() const { return rights_.load(); }

  // Notes a refused authentication; returns whether one had been refused
  // on this connection before (a connection gets one try).
  bool MarkRefused() { return refused_.exchange(true); }
  bool refused() const { return refused_.load(); }

  // The peer's "address:port", or "-" once the connection is gone.
  std::string peer() const;
  // The subject of the peer's verified client certificate (mutual TLS;
  // vel::Transport::peer_certificate_subject), or "" without one or once
  // the connection is gone.
  std::string certificate_subject() const;
  // Closes the connection, if it is still open.
  void CloseConnection() const;

  std::string app_id() const;
  void set_app_id(const std::string& app_id);

  // Notes a dispatched request of `type` that will be answered exactly
  // once, so that its answer is counted by type and timed (metrics).
  void ExpectAnswer(const boost::uuids::uuid& request_uuid, std::int32_t type);

  // Sends `response` to the peer if the connection is still open; a
  // response to a closed connection is dropped silently. Counted in the
  // metrics either way.
  void Send(const Leaderboard::Response& response) const;
  // Sends `header` followed by `tail`, serialized fields of the same
  // message that `header` lacks (a kept answer's records): on the wire one
  // response. Counted by `header`. Any thread.
  void SendWithTail(const Leaderboard::Response& header,
                    const std::string& tail) const;

  // "app_id-StateName", the form used after "session=" in log lines.
  std::string ToString() const;

  static const char* StateName(State state);

 private:
  std::atomic<State> state_{kUnknown};
  std::atomic<std::uint32_t> rights_{0};
  std::atomic<bool> refused_{false};
  const std::weak_ptr<vel::Transport> transport_;
  mutable std::mutex app_id_mutex_;
  std::string app_id_;  // GUARDED_BY(app_id_mutex_)
  // Requests awaiting their answer; Send takes them out.
  mutable RequestLedger requests_;
};

std::ostream& operator<<(std::ostream& out, const ClientSession& session);
std::ostream& operator<<(std::ostream& out,
                         const std::shared_ptr<ClientSession>& session);

}  // namespace plemox
