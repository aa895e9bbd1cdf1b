// The bulk recovery path of RedisCache against the test Redis: it must leave
// exactly what one SubmitScoreForRecovery per entry leaves, in rankings that
// are empty or hold some of the players already, and report the entries the
// cache refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/cache_environment.h"

namespace plemox {
namespace {

using Leaderboard::LeaderboardQuery;
using vel::PlayerAccount;
using vel::Redis;
using RecoveryScore = RedisCache::RecoveryScore;

constexpr std::int64_t kRecoveryTime = 1612345678000;

// Everything one ranking holds: members with scores (highest first), the
// member index of `players`, and the dense set.
struct Snapshot {
  Redis::ScoredMembers ranking;
  std::vector<std::string> index;
  Redis::ScoredMembers dense;
};

Snapshot Take(const std::string& key, const std::vector<std::string>& players) {
  Snapshot snapshot;
  EXPECT_EQ(Redis::ZRevRange(key, 0, -1, true, &snapshot.ranking),
            Redis::kSuccess);
  EXPECT_EQ(Redis::HMGet(key + ":timestamp", players, &snapshot.index),
            Redis::kSuccess);
  EXPECT_EQ(Redis::ZRevRange(key + ":dense", 0, -1, true, &snapshot.dense),
            Redis::kSuccess);
  return snapshot;
}

class RedisCacheRecoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CacheEnvironment::InitializeOnce())
        << "this process runs the cache on the Redis Cluster";
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string base = std::string("cache_recovery_") + info->name() +
                             "_" + std::to_string(::getpid());
    bulk_id_ = base + "_bulk";
    single_id_ = base + "_single";
  }
  void TearDown() override {
    DeleteCacheKeys(bulk_id_, {});
    DeleteCacheKeys(single_id_, {});
  }

  // Gives both leaderboards the same starting state.
  void Seed(const std::vector<RecoveryScore>& scores,
            const RankingOption& option) {
    for (const std::string& id : {bulk_id_, single_id_}) {
      for (const RecoveryScore& entry : scores) {
        ASSERT_TRUE(RedisCache::SubmitScoreForRecovery(
            id, LeaderboardQuery::kDaily, entry.account, entry.score,
            entry.timestamp, option));
      }
    }
  }

  // Recovers `scores` in bulk into one leaderboard and one by one into the
  // other, and expects the same keys and the same refusals.
  void ExpectSameAsOneByOne(const std::vector<RecoveryScore>& scores,
                            const RankingOption& option,
                            const std::vector<std::size_t>& refused) {
    std::vector<std::size_t> failed;
    RedisCache::SubmitScoresForRecovery(bulk_id_, LeaderboardQuery::kDaily,
                                        scores, option, &failed);
    EXPECT_EQ(failed, refused);
    std::vector<std::size_t> single_failed;
    std::vector<std::string> players;
    for (std::size_t i = 0; i < scores.size(); ++i) {
      players.push_back(MakeMemberKey(scores[i].account));
      if (!RedisCache::SubmitScoreForRecovery(
              single_id_, LeaderboardQuery::kDaily, scores[i].account,
              scores[i].score, scores[i].timestamp, option)) {
        single_failed.push_back(i);
      }
    }
    EXPECT_EQ(single_failed, refused);
    const Snapshot bulk = Take(CacheKey(bulk_id_, "daily"), players);
    const Snapshot single = Take(CacheKey(single_id_, "daily"), players);
    EXPECT_EQ(bulk.ranking, single.ranking);
    EXPECT_EQ(bulk.index, single.index);
    EXPECT_EQ(bulk.dense, single.dense);
    EXPECT_EQ(option.enable_dense, !bulk.dense.empty());
  }

  std::string bulk_id_;
  std::string single_id_;
};

PlayerAccount RecoveryPlayer(const std::string& id) {
  return PlayerAccount("guest", id);
}

TEST_F(RedisCacheRecoveryTest, EmptyRankingGetsWhatSingleEntriesWouldGive) {
  for (const bool dense : {true, false}) {
    SCOPED_TRACE(dense);
    TearDown();
    RankingOption option;
    option.enable_dense = dense;
    std::vector<RecoveryScore> scores;
    for (int i = 0; i < 50; ++i) {
      // Equal scores in pairs, equal times in threes.
      scores.push_back({RecoveryPlayer("p" + std::to_string(i)), (i / 2) * 0.1,
                        kRecoveryTime + (i / 3) * 1000});
    }
    scores.push_back({RecoveryPlayer("exact"), 0.1 + 0.2, kRecoveryTime});
    ExpectSameAsOneByOne(scores, option, {});
    EXPECT_EQ(Cardinality(CacheKey(bulk_id_, "daily")), 51);
    EXPECT_EQ(HashField(CacheKey(bulk_id_, "daily:timestamp"), "exact:guest"),
              MakeMemberRankingKey(kRecoveryTime, "exact:guest"));
  }
}

TEST_F(RedisCacheRecoveryTest, HeldPlayersRepeatsAndBadEntriesTakeOneByOne) {
  RankingOption option;
  Seed({{RecoveryPlayer("low"), 5, kRecoveryTime},
        {RecoveryPlayer("high"), 50, kRecoveryTime}},
       option);
  const std::vector<RecoveryScore> scores = {
      {RecoveryPlayer("low"), 20,
       kRecoveryTime + 1000},  // better than held: replaces it
      {RecoveryPlayer("high"), 20,
       kRecoveryTime + 1000},  // worse than held: kept out
      {RecoveryPlayer("new"), 5,
       kRecoveryTime + 2000},  // takes the dense score "5" back
      {RecoveryPlayer("twice"), 7,
       kRecoveryTime},  // repeated: the better one stays
      {RecoveryPlayer("twice"), 9, kRecoveryTime + 3000},
      {RecoveryPlayer("late"), 1, -1},  // a negative time is refused
      {RecoveryPlayer("nan"), std::nan(""), kRecoveryTime}  // Redis refuses NaN
  };
  ExpectSameAsOneByOne(scores, option, {5, 6});
  EXPECT_EQ(MemberScore(CacheKey(bulk_id_, "daily:dense"), "5"), 5);
  EXPECT_EQ(
      MemberScore(CacheKey(bulk_id_, "daily"),
                  MakeMemberRankingKey(kRecoveryTime + 3000, "twice:guest")),
      9);
}

}  // namespace
}  // namespace plemox
