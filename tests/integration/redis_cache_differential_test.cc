// The scripted ranking cache against its command chain: long random
// sequences of submissions (every type, equal and extreme scores, dense sets
// on and off, every schedule combination, dated weeks), deletions, rollovers,
// public queries (every numbering and range) and social queries are applied
// to two leaderboards, one through the chain and one through the scripts.
// The outcome lists, the query answers and complete dumps of both
// leaderboards' keys (members, scores, index fields) must be identical.
// The sequences run with the keys outside cluster mode and, on fewer seeds,
// with the cluster's tagged keys ("leaderboard:{<id>}:..."), so that the
// scripts and the chain are shown to work with those names too (a single
// Redis takes them as any other key; every step names its leaderboard's
// keys, so the dump runs on the node of their slot in a cluster), and with
// those keys on the test Redis Cluster, the two leaderboards on two shards.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/private_sentinel.h"
#include "support/redis_cache_fixture.h"
#include "support/redis_cluster_probe.h"
#include "vel/redis/redis_script.h"
#include "vel/redis/redis_value.h"

namespace plemox {
namespace redis_cache_test {
namespace {

// Every key of the leaderboards whose key prefixes are given, with its type
// and contents (sorted-set members with scores in order, hash fields).
// KEYS[1] is a key of the leaderboard, only for routing.
constexpr char kDumpScript[] = R"lua(
local out = {}
for _, pattern in ipairs(ARGV) do
  for _, key in ipairs(redis.call('KEYS', pattern)) do
    local kind = redis.call('TYPE', key).ok
    local body = {}
    if kind == 'zset' then
      body = redis.call('ZRANGE', key, 0, -1, 'WITHSCORES')
    elseif kind == 'hash' then
      body = redis.call('HGETALL', key)
    end
    out[#out + 1] = {key, kind, body}
  end
end
return out
)lua";

// Key (with the leaderboard id taken out) -> its type and contents.
using Dump = std::map<std::string, std::string>;

// How the sequences run: the key mode, the Redis and the seeds.
struct KeyMode {
  const char* name;
  bool cluster_keys;
  bool on_cluster;  // the test Redis Cluster instead of the single Redis
  std::vector<unsigned> seeds;
};

using ClusterProbe = plemox_test::RedisClusterProbe;

// Names the mode in test listings (not its bytes).
void PrintTo(const KeyMode& mode, std::ostream* out) { *out << mode.name; }

class DifferentialTest : public RedisCacheTest,
                         public testing::WithParamInterface<KeyMode> {
 protected:
  void SetUp() override {
    SetClusterKeys(GetParam().cluster_keys);
    on_cluster_ = GetParam().on_cluster;
    chain_id_ = "dfchain" + std::to_string(::getpid());
    script_id_ = "dfscript" + std::to_string(::getpid());
    if (on_cluster_) {
      // Shared: no test takes a node down meanwhile.
      lease_ = std::make_unique<ClusterProbe::Lease>(false);
      ASSERT_TRUE(lease_->ok()) << "cannot lock the test Redis Cluster";
      ASSERT_TRUE(plemox_test::WaitFor(ClusterProbe::Healthy, 30s))
          << "the test Redis Cluster is not up: scripts/services.sh "
             "start-cluster";
      // The two leaderboards on two different shards.
      const std::vector<int> primaries = ClusterProbe::Primaries();
      ASSERT_GE(primaries.size(), 2u);
      chain_port_ = primaries[0];
      script_port_ = primaries[1];
      chain_id_ = ClusterProbe::KeyServedBy(chain_port_, chain_id_ + "_");
      script_id_ = ClusterProbe::KeyServedBy(script_port_, script_id_ + "_");
      ASSERT_FALSE(chain_id_.empty() || script_id_.empty());
    }
    RedisCacheTest::SetUp();
  }

  void TearDown() override {
    if (IsSkipped() || id_.empty()) return;  // the cache never started
    for (const std::string& id : {chain_id_, script_id_}) {
      for (const auto& [key, contents] : DumpKeys(id, true)) {
        EXPECT_EQ(Redis::Del(key), Redis::kSuccess);
      }
    }
    RedisCacheTest::TearDown();
    SetClusterKeys(false);
  }

  // What every key of leaderboard `id` starts with, in the key mode at hand
  // ("leaderboard:<id>" or "leaderboard:{<id>}").
  static std::string KeyStem(const std::string& id) {
    const std::string profile = MakeLeaderboardProfileKey(id);
    return profile.substr(0, profile.size() - std::string(":profile").size());
  }

  // The keys of leaderboard `id`; with `raw` the map is keyed by the full
  // key names, else by the names with the key stem replaced by "<id>".
  Dump DumpKeys(const std::string& id, bool raw = false) {
    static const vel::RedisScript dump("test_dump", kDumpScript);
    const std::string stem = KeyStem(id);
    vel::RedisValue answer;
    EXPECT_EQ(dump.Run({MakeLeaderboardProfileKey(id)},
                       {stem + ":*", stem + "_*"}, &answer),
              Redis::kSuccess);
    differential_test_dump_calls_++;
    std::map<std::string, std::string> keys;
    for (const vel::RedisValue& entry : answer.elements) {
      std::string name = entry.elements[0].text;
      if (!raw) name.replace(0, stem.size(), "<id>");
      std::ostringstream contents;
      contents << entry.elements[1].text << ":";
      std::vector<std::string> items;
      const auto& body = entry.elements[2].elements;
      for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
        items.push_back(body[i].text + "=" + body[i + 1].text);
      }
      // Hash fields come in no particular order; set members in theirs.
      if (entry.elements[1].text == "hash") {
        std::sort(items.begin(), items.end());
      }
      for (const auto& item : items) contents << " " << item;
      keys[name] = contents.str();
    }
    return keys;
  }

  Outcome SubmitTo(const std::string& id, bool scripts,
                   const PlayerAccount& account, double score, int type,
                   std::int64_t timestamp, const ResetScheduleInfo& schedule,
                   const RankingOption& option) {
    FLAGS_redis_cache_use_scripts = scripts;
    auto done = std::make_shared<std::promise<Outcome>>();
    RedisCache::SubmitScore(id, account, score, type, timestamp, schedule,
                            option, RedisCache::SubmissionExtras(),
                            [done](const RedisCache::SubmitOutcome& submitted) {
                              Outcome outcome;
                              outcome.error = submitted.status !=
                                              RedisCache::SubmitStatus::kStored;
                              outcome.records = *submitted.new_records;
                              done->set_value(outcome);
                            });
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }

  QueryResult QueryOn(const std::string& id, bool scripts,
                      const PlayerAccount& account, Timespan timespan,
                      const RedisCache::Range& range, int ranking_type,
                      const ptime& week_time) {
    FLAGS_redis_cache_use_scripts = scripts;
    return Await([&](RedisCache::QueryCallback callback) {
      RedisCache::GetPublicLeaderboard(
          id, account, timespan, range,
          static_cast<RedisCache::RankingType>(ranking_type), week_time,
          callback);
    });
  }

  QueryResult SocialOn(const std::string& id, bool scripts,
                       const PlayerAccount& account,
                       const std::vector<PlayerAccount>& competitors,
                       Timespan timespan, int ranking_type,
                       const ptime& week_time) {
    FLAGS_redis_cache_use_scripts = scripts;
    return Await([&](RedisCache::QueryCallback callback) {
      RedisCache::GetSocialLeaderboard(
          id, account, competitors, timespan,
          MakeRange(LeaderboardQuery::Range::kAll, 0, 0),
          static_cast<RedisCache::RankingType>(ranking_type), week_time,
          callback);
    });
  }

  std::pair<bool, RedisCache::DeletionResult> DeleteOn(
      const std::string& id, const PlayerAccount& account,
      const ResetScheduleInfo& schedule, const RankingOption& option) {
    auto done = std::make_shared<
        std::promise<std::pair<bool, RedisCache::DeletionResult>>>();
    RedisCache::DeleteScore(id, account, schedule, option,
                            [done](bool error, RedisCache::DeletionResult r) {
                              done->set_value({error, r});
                            });
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }

  bool RollOverOn(const std::string& id, int period,
                  const RankingOption& option) {
    auto done = std::make_shared<std::promise<bool>>();
    const auto callback = [done](bool error, const std::string&) {
      done->set_value(error);
    };
    if (period == 0) {
      RedisCache::ResetDailyLeaderboard(id, option, "", callback);
    }
    if (period == 1) {
      RedisCache::ResetWeeklyLeaderboard(id, option, "", callback);
    }
    if (period == 2) {
      RedisCache::ResetMonthlyLeaderboard(id, option, "", callback);
    }
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }

  // Runs `operations` random operations from `seed`, both ways, with social
  // queries between them; stops at the first difference with a fatal
  // failure.
  void RunSequence(unsigned seed, int operations);

  std::string chain_id_;
  std::string script_id_;
  // On the cluster: the primaries that serve each leaderboard's slot.
  int chain_port_ = 0;
  int script_port_ = 0;
  std::unique_ptr<ClusterProbe::Lease> lease_;
  int differential_test_dump_calls_ = 0;
  int social_queries_ = 0;  // compared both ways
};

std::string Describe(const QueryResult& result) {
  std::ostringstream text;
  text << "error=" << result.error << " total=" << result.total_player_count;
  for (const auto& record : result.records) {
    text << " [" << record.rank << " " << ScoreToText(record.score) << " "
         << record.account.id() << ":" << record.account.service_provider()
         << "]";
  }
  return text.str();
}

std::string Describe(const Outcome& outcome) {
  std::ostringstream text;
  text << "error=" << outcome.error;
  for (const auto& [result, score] : outcome.records) {
    text << " (" << result << " " << ScoreToText(score) << ")";
  }
  return text.str();
}

// The keys whose contents differ between two dumps, each with both
// contents; "" when the dumps are equal.
std::string DifferingKeys(const Dump& chain, const Dump& script) {
  std::ostringstream text;
  for (const auto& [key, contents] : chain) {
    const auto found = script.find(key);
    if (found == script.end()) {
      text << "\n" << key << ": only in the chain's dump: " << contents;
    } else if (found->second != contents) {
      text << "\n"
           << key << ":\n  chain:  " << contents
           << "\n  script: " << found->second;
    }
  }
  for (const auto& [key, contents] : script) {
    if (chain.count(key) == 0) {
      text << "\n" << key << ": only in the scripts' dump: " << contents;
    }
  }
  return text.str();
}

void DifferentialTest::RunSequence(unsigned seed, int operations) {
  std::mt19937 random(seed);
  const auto pick = [&](int n) {
    return std::uniform_int_distribution<int>(0, n - 1)(random);
  };
  // Few players and few scores, so that equal scores and repeated players
  // are the rule. The huge scores lose small additions to rounding but stay
  // finite in any sum these sequences reach: a total beyond the range of a
  // double is refused by the scripts and stored by the chain, so it is left
  // to the scripts' own tests.
  const std::vector<double> scores = {0,   1,     2,      3,    5,   10,
                                      10,  0.1,   -3,     -0.0, 7.5, 1e15,
                                      100, 1e305, -1e305, 2,    5,   10};
  const std::vector<int> types = {0, 0, 0, 1, 2, 3, 7};
  const ptime week_a = time_from_string("2021-02-08 00:00:00");
  const ptime week_b = time_from_string("2021-02-15 00:00:00");
  const std::vector<ptime> weeks = {kNoWeek, week_a, week_b};
  std::int64_t timestamp = kT;
  // Social queries draw from a stream of their own, so that they join the
  // sequences without changing which operations the sequences hold.
  std::mt19937 social_random(seed + 7919);
  const auto pick_social = [&](int n) {
    return std::uniform_int_distribution<int>(0, n - 1)(social_random);
  };

  for (int step = 0; step < operations; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", step " +
                 std::to_string(step));
    FLAGS_use_leaderboard_table_with_date = pick(4) == 0;
    ResetScheduleInfo schedule;
    schedule.has_day_schedule = pick(2) == 0;
    schedule.has_week_schedule = pick(2) == 0;
    schedule.has_month_schedule = pick(2) == 0;
    schedule.next_date_time = weeks[pick(3)];
    schedule.past_date_time = weeks[pick(3)];
    // Dense sets mostly on: turning them on and off leaves rankings without
    // dense sets, which both paths must treat alike.
    const RankingOption option = Option(pick(5) != 0, pick(6) != 0);
    const PlayerAccount player = Player("p" + std::to_string(pick(9)));
    const int kind = pick(100);

    if (kind < 55) {
      const double score = scores[pick(static_cast<int>(scores.size()))];
      const int type = types[pick(static_cast<int>(types.size()))];
      timestamp += pick(3);  // 0: the same ranking time again
      const Outcome chain = SubmitTo(chain_id_, false, player, score, type,
                                     timestamp, schedule, option);
      const Outcome script = SubmitTo(script_id_, true, player, score, type,
                                      timestamp, schedule, option);
      ASSERT_FALSE(chain.error) << Describe(chain);
      ASSERT_EQ(Describe(chain), Describe(script))
          << "submission of " << ScoreToText(score) << " type " << type;
    } else if (kind < 85) {
      const Timespan timespan = static_cast<Timespan>(1 + pick(7));
      RedisCache::Range range;
      switch (pick(3)) {
        case 0:
          range = MakeRange(LeaderboardQuery::Range::kAll, 0, 0);
          break;
        case 1: {
          const int begin = pick(8);
          range = MakeRange(LeaderboardQuery::Range::kFromTop, begin,
                            begin + pick(8));
          break;
        }
        default: {
          const int begin = pick(3) == 0 ? 0 : -pick(6);
          const int end = begin == 0 && pick(2) == 0 ? 0 : begin + pick(8);
          range = MakeRange(LeaderboardQuery::Range::kNearby, begin, end);
          break;
        }
      }
      const int ranking_type = 1 + pick(3);
      const ptime week = weeks[pick(3)];
      const PlayerAccount asker = pick(10) == 0 ? Player("nobody") : player;
      const QueryResult chain =
          QueryOn(chain_id_, false, asker, timespan, range, ranking_type, week);
      const QueryResult script =
          QueryOn(script_id_, true, asker, timespan, range, ranking_type, week);
      ASSERT_FALSE(chain.error) << Describe(chain);
      // The accounts read from members differ only by the leaderboard id,
      // which no member holds: the answers must be equal.
      ASSERT_EQ(Describe(chain), Describe(script))
          << "query timespan " << timespan << " range " << range.type() << " "
          << range.begin() << ".." << range.end() << " ranking type "
          << ranking_type;
    } else if (kind < 93) {
      const auto chain = DeleteOn(chain_id_, player, schedule, option);
      const auto script = DeleteOn(script_id_, player, schedule, option);
      ASSERT_EQ(chain, script);
    } else {
      const int period = pick(3);
      const bool chain = RollOverOn(chain_id_, period, option);
      const bool script = RollOverOn(script_id_, period, option);
      ASSERT_EQ(chain, script);
    }

    // A social query after about every third operation: the player with
    // or without an entry, or none; competitors with and without entries
    // (or with a dangling one), repeated, and the player among them; every
    // numbering.
    if (pick_social(3) == 0) {
      const int asker = pick_social(12);
      const PlayerAccount player_asking =
          asker < 9    ? Player("p" + std::to_string(asker))
          : asker < 11 ? Player("ghost" + std::to_string(asker))
                       : PlayerAccount();
      std::vector<PlayerAccount> competitors;
      for (int n = pick_social(12); n > 0; --n) {
        const int who = pick_social(13);
        competitors.push_back(who < 9    ? Player("p" + std::to_string(who))
                              : who < 11 ? Player("ghost" + std::to_string(who))
                                         : player_asking);
      }
      const Timespan timespan = static_cast<Timespan>(1 + pick_social(7));
      const int ranking_type = std::vector<int>{1, 2, 3, 7}[pick_social(4)];
      const ptime week = weeks[pick_social(3)];
      if (pick_social(3) == 0) {
        // A member index entry naming a member the ranking lacks (as a cut
        // write leaves it) for a competitor who never submits.
        const std::string member_key = MakeMemberKey(Player("ghost9"));
        for (const std::string& id : {chain_id_, script_id_}) {
          ASSERT_EQ(
              Redis::HSet(MakeLeaderboardTimestampKey(
                              MakeLeaderboardKey(id, timespan, week)),
                          member_key, MakeMemberRankingKey(kT - 5, member_key)),
              Redis::kSuccess);
        }
      }
      const QueryResult chain =
          SocialOn(chain_id_, false, player_asking, competitors, timespan,
                   ranking_type, week);
      const QueryResult script =
          SocialOn(script_id_, true, player_asking, competitors, timespan,
                   ranking_type, week);
      ASSERT_FALSE(chain.error) << Describe(chain);
      ASSERT_EQ(Describe(chain), Describe(script))
          << "social query timespan " << timespan << " ranking type "
          << ranking_type << " player '" << player_asking.id() << "' of "
          << competitors.size() << " competitors";
      ++social_queries_;
    }

    if (step % 25 == 24 || step == operations - 1) {
      const auto chain_dump = DumpKeys(chain_id_);
      const auto script_dump = DumpKeys(script_id_);
      ASSERT_EQ(DifferingKeys(chain_dump, script_dump), "");
    }
  }
}

// Thousands of operations over several seeds; the dumps are compared every
// 25 operations, so a difference shows close to the operation that made it.
TEST_P(DifferentialTest, ScriptsMatchTheCommandChain) {
  const KeyMode& mode = GetParam();
  for (const unsigned seed : mode.seeds) {
    RunSequence(seed, 1000);
    if (HasFatalFailure()) return;
  }
  // The sequences did reach the states worth comparing, under the key
  // names of the mode.
  const auto dump = DumpKeys(script_id_, true);
  const std::size_t seeds = mode.seeds.size();
  EXPECT_GT(differential_test_dump_calls_, 25 * static_cast<int>(seeds));
  EXPECT_GT(social_queries_, 250 * static_cast<int>(seeds));
  ASSERT_FALSE(dump.empty());
  const std::string stem = mode.cluster_keys
                               ? "leaderboard:{" + script_id_ + "}"
                               : "leaderboard:" + script_id_;
  for (const auto& [key, contents] : dump) {
    EXPECT_EQ(key.rfind(stem, 0), 0u) << key;
  }
  if (mode.on_cluster) {
    // Each leaderboard's keys are on the primary its slot names, and the
    // other primary does not hold them (it redirects).
    const std::string chain_key = DumpKeys(chain_id_, true).begin()->first;
    const std::string script_key = dump.begin()->first;
    EXPECT_EQ(plemox_test::RedisAt(chain_port_, {"EXISTS", chain_key}),
              std::vector<std::string>{"1"});
    EXPECT_EQ(plemox_test::RedisAt(script_port_, {"EXISTS", script_key}),
              std::vector<std::string>{"1"});
    EXPECT_NE(plemox_test::RedisAt(script_port_, {"EXISTS", chain_key}),
              std::vector<std::string>{"1"});
  }
}

// The cluster's key names on two of the seeds: the scripts and the chain
// meet every key form there already, and the whole run stays short. The
// same two seeds on the cluster.
INSTANTIATE_TEST_SUITE_P(
    KeyModes, DifferentialTest,
    testing::Values(KeyMode{"PlainKeys", false, false, {1u, 2u, 3u, 4u}},
                    KeyMode{"ClusterKeys", true, false, {1u, 2u}},
                    KeyMode{"ClusterNodes", true, true, {1u, 2u}}),
    [](const testing::TestParamInfo<KeyMode>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace redis_cache_test
}  // namespace plemox
