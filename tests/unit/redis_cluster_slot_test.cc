// Slots of keys and the routes of commands in a Redis Cluster, and the
// redirect answers and slot maps the cluster client reads.
#include "vel/redis/redis_cluster_slot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vel/redis/internal/redis_cluster.h"

namespace {

using vel::RedisClusterRoute;
using vel::RedisClusterSlot;
using vel::RouteRedisCommand;
using vel::redis_internal::RedisCluster;

TEST(RedisClusterSlotTest, SlotsMatchRedis) {
  // The check value of CRC16/XMODEM.
  EXPECT_EQ(0x31C3, vel::RedisCrc16("123456789"));
  EXPECT_EQ(0, vel::RedisCrc16(""));
  // Slots as CLUSTER KEYSLOT gives them.
  EXPECT_EQ(12182, RedisClusterSlot("foo"));
  EXPECT_EQ(5061, RedisClusterSlot("bar"));
  EXPECT_EQ(11058, RedisClusterSlot("somekey"));
  EXPECT_EQ(3443, RedisClusterSlot("user1000"));
  EXPECT_EQ(4015, RedisClusterSlot("foo{{bar}}zap"));
  EXPECT_EQ(0, RedisClusterSlot(""));
  const std::string binary("\xff\x00\x80", 3);
  EXPECT_EQ(vel::RedisCrc16(binary) % 16384, RedisClusterSlot(binary));
}

TEST(RedisClusterSlotTest, HashTags) {
  const int user = RedisClusterSlot("user1000");
  // The text between the first '{' and the next '}' is hashed.
  EXPECT_EQ(user, RedisClusterSlot("{user1000}.following"));
  EXPECT_EQ(user, RedisClusterSlot("leaderboard:{user1000}:daily"));
  EXPECT_EQ(user, RedisClusterSlot("x{user1000}{other}"));
  EXPECT_EQ(RedisClusterSlot("bar"), RedisClusterSlot("foo{bar}{zap}"));
  EXPECT_EQ(RedisClusterSlot("{bar"), RedisClusterSlot("foo{{bar}}zap"));
  // An empty tag, or no closing brace: the whole key.
  EXPECT_EQ(vel::RedisCrc16("foo{}{bar}") % 16384,
            RedisClusterSlot("foo{}{bar}"));
  EXPECT_NE(RedisClusterSlot("bar"), RedisClusterSlot("foo{}{bar}"));
  EXPECT_EQ(vel::RedisCrc16("{user1000") % 16384,
            RedisClusterSlot("{user1000"));
  EXPECT_EQ(vel::RedisCrc16("}user{") % 16384, RedisClusterSlot("}user{"));
}

TEST(RedisClusterSlotTest, CommandRoutes) {
  const int tagged = RedisClusterSlot("lb");
  struct Case {
    std::vector<std::string> args;
    RedisClusterRoute::Kind kind;
    int slot;
  };
  const std::vector<Case> cases = {
      {{"ZADD", "{lb}:a", "1", "m"}, RedisClusterRoute::kSlot, tagged},
      {{"zscore", "foo", "m"}, RedisClusterRoute::kSlot, 12182},
      {{"APPEND", "foo", "x"}, RedisClusterRoute::kSlot, 12182},
      {{"ZUNIONSTORE", "{lb}:d", "2", "{lb}:a", "{lb}:b"},
       RedisClusterRoute::kSlot,
       tagged},
      {{"RENAME", "{lb}:a", "{lb}:b"}, RedisClusterRoute::kSlot, tagged},
      {{"DEL", "{lb}:a", "{lb}:b", "{lb}:c"}, RedisClusterRoute::kSlot, tagged},
      // The keys of a script follow its key count; its arguments are not
      // keys (here "foo" is an argument).
      {{"EVALSHA", "abc", "2", "{lb}:a", "{lb}:b", "foo"},
       RedisClusterRoute::kSlot,
       tagged},
      {{"EVAL", "return 1", "0", "foo"}, RedisClusterRoute::kAnyNode, -1},
      {{"PING"}, RedisClusterRoute::kAnyNode, -1},
      {{"CONFIG", "GET", "save"}, RedisClusterRoute::kAnyNode, -1},
      {{"SCRIPT", "LOAD", "return 1"}, RedisClusterRoute::kEveryPrimary, -1},
      // Refused: keys of two slots, a count beyond the arguments or not a
      // number, no key, an unknown command, nothing.
      {{"RENAME", "foo", "bar"}, RedisClusterRoute::kRefused, -1},
      {{"EVALSHA", "abc", "2", "{lb}:a", "foo"},
       RedisClusterRoute::kRefused,
       -1},
      {{"EVALSHA", "abc", "3", "{lb}:a", "{lb}:b"},
       RedisClusterRoute::kRefused,
       -1},
      {{"EVALSHA", "abc", "-1", "{lb}:a"}, RedisClusterRoute::kRefused, -1},
      {{"ZUNIONSTORE", "{lb}:d", "1", "foo"}, RedisClusterRoute::kRefused, -1},
      {{"GET"}, RedisClusterRoute::kRefused, -1},
      {{"KEYS", "*"}, RedisClusterRoute::kRefused, -1},
      {{}, RedisClusterRoute::kRefused, -1},
  };
  for (const Case& c : cases) {
    const RedisClusterRoute route = RouteRedisCommand(c.args);
    const std::string what = c.args.empty() ? "(empty)" : c.args[0];
    EXPECT_EQ(c.kind, route.kind) << what << " " << route.error;
    if (c.kind == RedisClusterRoute::kSlot) {
      EXPECT_EQ(c.slot, route.slot) << what;
    }
    EXPECT_EQ(c.kind == RedisClusterRoute::kRefused, !route.error.empty())
        << what;
  }
}

TEST(RedisClusterSlotTest, RedirectAnswers) {
  bool ask = true;
  int slot = -1;
  std::string node;
  ASSERT_TRUE(RedisCluster::ParseRedirect("MOVED 3999 127.0.0.1:6381",
                                          "10.0.0.1:7000", &ask, &slot, &node));
  EXPECT_FALSE(ask);
  EXPECT_EQ(3999, slot);
  EXPECT_EQ("127.0.0.1:6381", node);
  ASSERT_TRUE(RedisCluster::ParseRedirect("ASK 16383 [::1]:7002", "x:1", &ask,
                                          &slot, &node));
  EXPECT_TRUE(ask);
  EXPECT_EQ(16383, slot);
  EXPECT_EQ("[::1]:7002", node);
  // No host: the node that answered.
  ASSERT_TRUE(RedisCluster::ParseRedirect("MOVED 1 :7005", "10.0.0.1:7000",
                                          &ask, &slot, &node));
  EXPECT_EQ("10.0.0.1:7005", node);
  for (const char* bad :
       {"MOVED 16384 127.0.0.1:6381", "MOVED x 127.0.0.1:6381",
        "MOVED 1 127.0.0.1", "MOVED 1 127.0.0.1:0", "ASK  127.0.0.1:1",
        "ERR MOVED 1 127.0.0.1:6381", "TRYAGAIN Multiple keys request"}) {
    EXPECT_FALSE(RedisCluster::ParseRedirect(bad, "x:1", &ask, &slot, &node))
        << bad;
  }
}

vel::RedisValue Int(long long value) {
  vel::RedisValue v;
  v.type = vel::RedisValue::kInteger;
  v.integer = value;
  return v;
}
vel::RedisValue Str(const std::string& text) {
  vel::RedisValue v;
  v.type = vel::RedisValue::kString;
  v.text = text;
  return v;
}
vel::RedisValue Arr(std::vector<vel::RedisValue> elements) {
  vel::RedisValue v;
  v.type = vel::RedisValue::kArray;
  v.elements = std::move(elements);
  return v;
}

TEST(RedisClusterSlotTest, SlotMapFromClusterSlots) {
  vel::redis_internal::RedisEndpoint seed;
  seed.host = "127.0.0.1";
  seed.port = 7000;
  vel::redis_internal::RedisEndpoint second = seed;
  second.port = 7003;
  RedisCluster cluster("", {seed, second});
  // Before any map: a seed, one that has not just failed.
  EXPECT_EQ("127.0.0.1:7000", cluster.NodeOf(100));
  cluster.NodeFailed("127.0.0.1:7000");
  EXPECT_EQ("127.0.0.1:7003", cluster.NodeOf(100));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1:7003", "127.0.0.1:7000"}),
            cluster.RefreshCandidates());
  EXPECT_TRUE(cluster.BeginRefresh());
  EXPECT_FALSE(cluster.BeginRefresh());  // one reader at a time
  const vel::RedisValue reply = Arr({
      Arr({Int(0), Int(8000), Arr({Str("127.0.0.1"), Int(7001), Str("id1")}),
           Arr({Str("127.0.0.1"), Int(7004), Str("id4")})}),
      // An empty host: the node asked.
      Arr({Int(8001), Int(16383), Arr({Str(""), Int(7002), Str("id2")})}),
  });
  std::string error;
  ASSERT_TRUE(cluster.ApplySlots(reply, "10.1.1.1:7000", &error)) << error;
  cluster.EndRefresh(true);
  EXPECT_EQ("127.0.0.1:7001", cluster.NodeOf(0));
  EXPECT_EQ("127.0.0.1:7001", cluster.NodeOf(8000));
  EXPECT_EQ("10.1.1.1:7002", cluster.NodeOf(8001));
  EXPECT_EQ("10.1.1.1:7002", cluster.NodeOf(16383));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1:7001", "10.1.1.1:7002"}),
            cluster.Primaries());
  // Fresh map: nothing to read until something says it is stale.
  EXPECT_FALSE(cluster.BeginRefresh());
  cluster.Moved(5, "127.0.0.1:7002");
  EXPECT_EQ("127.0.0.1:7002", cluster.NodeOf(5));
  EXPECT_EQ("127.0.0.1:7001", cluster.NodeOf(6));

  // A malformed reply leaves the map as it was.
  for (const vel::RedisValue& bad :
       {Arr({}), Str("x"),
        Arr({Arr({Int(5), Int(16384),
                  Arr({Str("127.0.0.1"), Int(7009), Str("id9")})})}),
        Arr({Arr({Int(9), Int(3),
                  Arr({Str("127.0.0.1"), Int(7009), Str("id9")})})})}) {
    error.clear();
    EXPECT_FALSE(cluster.ApplySlots(bad, "127.0.0.1:7001", &error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ("127.0.0.1:7001", cluster.NodeOf(6));
}

}  // namespace
