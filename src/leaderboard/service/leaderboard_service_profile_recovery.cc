// Recovery mode's restore of the players' display names and metadata; see
// internal/profile_recovery.h.
#include <glog/logging.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "database/cache/redis_cache.h"
#include "leaderboard/service/internal/profile_recovery.h"
#include "leaderboard/service/top_answer_cache.h"

namespace plemox {
namespace {

// Rows read from the database and written to Redis (one HSET) at a time.
constexpr std::size_t kProfileChunkRows = 5000;

}  // namespace

bool service_internal::RecoverProfiles(DbConnection* db_connection,
                                       const std::string& leaderboard_id) {
  std::uint64_t restored = 0;
  std::vector<RedisCache::RecoveryProfile> profiles;
  const bool read = db_connection->QueryProfilesInChunks(
      leaderboard_id, kProfileChunkRows,
      [&](std::vector<PlayerProfileRow>* chunk) {
        profiles.clear();
        profiles.reserve(chunk->size());
        for (PlayerProfileRow& row : *chunk) {
          RedisCache::RecoveryProfile profile;
          profile.account =
              vel::PlayerAccount(row.service_provider, row.local_account);
          profile.display_name = std::move(row.display_name);
          profile.metadata = std::move(row.metadata);
          profiles.push_back(std::move(profile));
        }
        const bool restored_chunk =
            RedisCache::RestoreProfilesForRecovery(leaderboard_id, profiles);
        TopAnswerCache::DropAnswersOf(leaderboard_id);
        if (!restored_chunk) return false;
        restored += profiles.size();
        return true;
      });
  if (!read) {
    LOG(ERROR) << "Failed to recover the display names and metadata"
               << ": id=" << leaderboard_id
               << ", profiles recovered before=" << restored;
    return false;
  }
  LOG(INFO) << "Recovered the display names and metadata"
            << ": id=" << leaderboard_id << ", profiles=" << restored;
  return true;
}

}  // namespace plemox
