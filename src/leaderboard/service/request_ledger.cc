#include "leaderboard/service/request_ledger.h"

namespace plemox {

void RequestLedger::Add(const boost::uuids::uuid& request_uuid,
                        std::int32_t type, std::int64_t start_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= kMaxEntries) return;
  entries_.emplace(request_uuid, Entry{type, start_us});
}

bool RequestLedger::Take(const boost::uuids::uuid& request_uuid, Entry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(request_uuid);
  if (it == entries_.end()) return false;
  *entry = it->second;
  entries_.erase(it);
  return true;
}

std::size_t RequestLedger::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace plemox
