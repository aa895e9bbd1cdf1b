// The process-wide map from a connection's transport to its ClientSession.
// All functions are thread-safe; the registry's mutex is never held while
// calling out.
#pragma once

#include <cstddef>
#include <memory>

#include "leaderboard/service/session.h"
#include "vel/net/transport.h"

namespace plemox {

class SessionRegistry {
 public:
  // The session of `transport`, created in kCreated on first use.
  static std::shared_ptr<ClientSession> GetOrCreate(
      const std::shared_ptr<vel::Transport>& transport);

  // Takes the session of `transport` out of the registry; null when the
  // connection never had one.
  static std::shared_ptr<ClientSession> Remove(
      const std::shared_ptr<vel::Transport>& transport);

  // The session of `transport`, or null when it has none yet.
  static std::shared_ptr<ClientSession> Find(
      const std::shared_ptr<vel::Transport>& transport);

  // Number of registered sessions.
  static std::size_t Size();
  // Number of registered sessions in `state`.
  static std::size_t CountInState(ClientSession::State state);

  SessionRegistry() = delete;
};

}  // namespace plemox
