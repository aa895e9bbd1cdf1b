// RedisCache: the social query as a chain of commands, the path without
// --redis_cache_use_scripts: the competitors' member index entries (HMGET),
// their scores (pipelined ZSCOREs), then the player's entry and score. The
// sorting, numbering and answer are shared with the scripted path
// (RankSocialList).
#include <glog/logging.h>

#include <boost/asio/post.hpp>

#include "database/cache/internal/redis_cache_chain.h"
#include "database/cache/internal/redis_cache_social_query.h"
#include "database/cache/internal/redis_commands.h"

namespace plemox {

namespace {

using redis_cache::kServerTag;
using redis_cache::ReadSucceeded;
using vel::Redis;

}  // namespace

void RedisCache::Chain::GetSocialLeaderboard(
    const std::shared_ptr<SocialQuery>& query) {
  std::vector<std::string> friend_keys;
  friend_keys.reserve(query->competitors.size());
  for (const auto& competitor : query->competitors) {
    friend_keys.push_back(MakeMemberKey(competitor));
  }
  std::vector<std::string> ranking_keys;
  const Redis::Result result = Redis::HMGet(query->timestamp_key, friend_keys,
                                            &ranking_keys, kServerTag);
  if (!ReadSucceeded(result) || ranking_keys.size() != friend_keys.size()) {
    LOG(ERROR) << "Failed to query social leaderboard, Error occurred while "
                  "acquiring friend's key: account_id="
               << query->account.id()
               << ", leaderboard_timestamp_key=" << query->timestamp_key
               << ", requested_friends=" << friend_keys.size()
               << ", received_friends=" << ranking_keys.size();
    PostQueryCompletion(query->callback, query->result);
    return;
  }
  // A competitor without an entry gets a ranking key that names no member.
  for (std::size_t i = 0; i < ranking_keys.size(); ++i) {
    if (ranking_keys[i].empty()) ranking_keys[i] = "0:" + friend_keys[i];
  }
  query->friend_ranking_keys = ranking_keys;

  // The rest of the query issues blocking commands, so it goes back to the
  // cache's own threads rather than running on the client's completion one.
  Redis::ZScoreExtAsync(
      query->key, std::move(ranking_keys),
      [query](Redis::Result scores_result, const Redis::MemberScores& scores) {
        boost::asio::post(*the_io_service, [query, scores_result, scores] {
          OnSocialScoresReceived(query, scores_result, scores);
        });
      },
      kServerTag);
}

void RedisCache::Chain::OnSocialScoresReceived(
    const std::shared_ptr<SocialQuery>& query, Redis::Result scores_result,
    const Redis::MemberScores& scores) {
  VLOG(2) << "OnSocialScoresReceived called: result="
          << Redis::ResultName(scores_result);
  if (scores.size() != query->friend_ranking_keys.size()) {
    LOG(ERROR) << "Failed to query social leaderboard, "
               << "Error occurred while acquiring friend score"
               << ": key=" << query->key << ", ts_key=" << query->timestamp_key;
    PostQueryCompletion(query->callback, query->result);
    return;
  }

  std::vector<SocialEntry>& social_list = query->social_list;
  social_list.reserve(scores.size() + 1);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (!ReadSucceeded(scores[i].first)) {
      LOG(ERROR) << "Failed to query social leaderboard, "
                 << "Failed to get friend score: key=" << query->key
                 << ", ts_key=" << query->timestamp_key
                 << ", friend_ranking_key=" << query->friend_ranking_keys[i]
                 << ", result=" << static_cast<int>(scores[i].first);
      PostQueryCompletion(query->callback, query->result);
      return;
    }
    social_list.push_back(SocialEntry{query->competitors[i],
                                      query->friend_ranking_keys[i],
                                      scores[i].second,
                                      {},
                                      {},
                                      {}});
  }

  if (!query->account.id().empty()) {
    const std::string member_key = MakeMemberKey(query->account);
    std::string ranking_key;
    if (!ReadSucceeded(Redis::HGet(query->timestamp_key, member_key,
                                   &ranking_key, kServerTag))) {
      LOG(ERROR) << "Failed to query social leaderboard, Could not find a "
                    "player's score: key="
                 << query->key << ", ts_key=" << query->timestamp_key
                 << ", player_key=" << member_key;
      PostQueryCompletion(query->callback, query->result);
      return;
    }
    double score = 0.0;
    if (ranking_key.empty()) {
      ranking_key = "0:" + member_key;
    } else if (!ReadSucceeded(Redis::ZScore(query->key, ranking_key, &score,
                                            kServerTag))) {
      LOG(ERROR) << "Failed to query social leaderboard: "
                 << "failed to get player score: key=" << query->key
                 << ", leaderboard timestamp key=" << query->timestamp_key
                 << ", player key=" << member_key
                 << ", player ranking key=" << ranking_key;
      PostQueryCompletion(query->callback, query->result);
      return;
    }
    social_list.push_back(
        SocialEntry{query->account, ranking_key, score, {}, {}, {}});
  }
  RankSocialList(query);
}

}  // namespace plemox
