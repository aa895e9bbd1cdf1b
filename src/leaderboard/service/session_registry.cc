#include "leaderboard/service/session_registry.h"

#include <map>
#include <mutex>

namespace plemox {
namespace {

std::mutex the_sessions_mutex;
// Ordered by the identity of the transport's owner.
std::map<std::shared_ptr<vel::Transport>, std::shared_ptr<ClientSession>,
         std::owner_less<std::shared_ptr<vel::Transport>>>
    the_sessions;  // GUARDED_BY(the_sessions_mutex)

}  // namespace

std::shared_ptr<ClientSession> SessionRegistry::GetOrCreate(
    const std::shared_ptr<vel::Transport>& transport) {
  std::lock_guard<std::mutex> lock(the_sessions_mutex);
  auto it = the_sessions.find(transport);
  if (it != the_sessions.end()) return it->second;
  auto session = std::make_shared<ClientSession>(transport);
  session->set_state(ClientSession::kCreated);
  the_sessions.emplace(transport, session);
  return session;
}

std::shared_ptr<ClientSession> SessionRegistry::Remove(
    const std::shared_ptr<vel::Transport>& transport) {
  std::lock_guard<std::mutex> lock(the_sessions_mutex);
  auto it = the_sessions.find(transport);
  if (it == the_sessions.end()) return nullptr;
  auto session = std::move(it->second);
  the_sessions.erase(it);
  return session;
}

std::shared_ptr<ClientSession> SessionRegistry::Find(
    const std::shared_ptr<vel::Transport>& transport) {
  std::lock_guard<std::mutex> lock(the_sessions_mutex);
  auto it = the_sessions.find(transport);
  return it == the_sessions.end() ? nullptr : it->second;
}

std::size_t SessionRegistry::Size() {
  std::lock_guard<std::mutex> lock(the_sessions_mutex);
  return the_sessions.size();
}

std::size_t SessionRegistry::CountInState(ClientSession::State state) {
  std::lock_guard<std::mutex> lock(the_sessions_mutex);
  std::size_t count = 0;
  for (const auto& entry : the_sessions) {
    if (entry.second->state() == state) ++count;
  }
  return count;
}

}  // namespace plemox
