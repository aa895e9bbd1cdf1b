// RedisCache against the shared test Redis: public and social queries in
// every numbering, over rankings seeded through submissions.
#include "support/redis_cache_fixture.h"

namespace plemox {
namespace redis_cache_test {
namespace {

// --- Public queries. -------------------------------------------------------

TEST_F(RedisCacheTest, WholeRankingInThreeNumberings) {
  Seed({{Player("A"), 100},
        {Player("B"), 100},
        {Player("C"), 90},
        {Player("D"), 80}});
  const std::vector<std::string> order = {"A", "B", "C", "D"};
  const struct {
    int ranking_type;
    std::vector<std::int64_t> ranks;
  } cases[] = {{1, {1, 2, 3, 4}}, {2, {1, 1, 3, 4}}, {3, {1, 1, 2, 3}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ranking_type);
    const QueryResult result = All(c.ranking_type);
    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.total_player_count, 4);
    EXPECT_EQ(Ids(result), order);
    EXPECT_EQ(Ranks(result), c.ranks);
    EXPECT_EQ(Scores(result), (std::vector<double>{100, 100, 90, 80}));
    EXPECT_EQ(result.records[0].account, Player("A"));
  }
}

TEST_F(RedisCacheTest, WholeRankingWithScoresAtZeroAndBelow) {
  Seed({{Player("A"), 0}, {Player("B"), 0}, {Player("C"), -5}});
  EXPECT_EQ(Ranks(All(2)), (std::vector<std::int64_t>{1, 1, 3}));
  EXPECT_EQ(Ranks(All(3)), (std::vector<std::int64_t>{1, 1, 2}));
}

TEST_F(RedisCacheTest, FromTopSliceStartingInsideATieGroup) {
  Seed({{Player("A"), 100},
        {Player("B"), 100},
        {Player("C"), 100},
        {Player("D"), 90},
        {Player("E"), 80}});
  QueryResult competition = FromTop(1, 3, 2);
  ASSERT_FALSE(competition.error);
  EXPECT_EQ(competition.total_player_count, 5);
  EXPECT_EQ(Ids(competition), (std::vector<std::string>{"B", "C", "D"}));
  EXPECT_EQ(Ranks(competition), (std::vector<std::int64_t>{1, 1, 4}));
  EXPECT_EQ(Ranks(FromTop(1, 4, 2)), (std::vector<std::int64_t>{1, 1, 4, 5}));
  EXPECT_EQ(Ranks(FromTop(1, 3, 1)), (std::vector<std::int64_t>{2, 3, 4}));
  EXPECT_EQ(Ranks(FromTop(1, 4, 3)), (std::vector<std::int64_t>{1, 1, 2, 3}));
  EXPECT_EQ(Ranks(FromTop(3, 4, 3)), (std::vector<std::int64_t>{2, 3}));

  // Beyond the end: nothing, and no error.
  QueryResult beyond = FromTop(10, 20, 2);
  ASSERT_FALSE(beyond.error);
  EXPECT_TRUE(beyond.records.empty());
  EXPECT_EQ(beyond.total_player_count, 5);
}

TEST_F(RedisCacheTest, DenseRankWithoutDenseSetCountsDistinctScores) {
  Seed({{Player("A"), 100},
        {Player("B"), 90},
        {Player("C"), 90},
        {Player("D"), 80},
        {Player("E"), 70}},
       Option(true, false));
  ASSERT_FALSE(KeyExists(Key("alltime:dense")));
  QueryResult slice = FromTop(2, 4, 3);
  ASSERT_FALSE(slice.error);
  EXPECT_EQ(Ids(slice), (std::vector<std::string>{"C", "D", "E"}));
  EXPECT_EQ(Ranks(slice), (std::vector<std::int64_t>{2, 3, 4}));
  QueryResult own = Nearby(Player("D"), 0, 0, 3);
  ASSERT_FALSE(own.error);
  EXPECT_EQ(Ranks(own), std::vector<std::int64_t>{3});
  EXPECT_EQ(Ranks(Nearby(Player("E"), -1, 0, 3)),
            (std::vector<std::int64_t>{3, 4}));
}

TEST_F(RedisCacheTest, EmptyRanking) {
  QueryResult all = All(1);
  ASSERT_FALSE(all.error);
  EXPECT_EQ(all.total_player_count, 0);
  EXPECT_TRUE(all.records.empty());
  QueryResult top = FromTop(0, 9, 2);
  ASSERT_FALSE(top.error);
  EXPECT_TRUE(top.records.empty());
  QueryResult nearby = Nearby(Player("nobody"), -2, 2, 1);
  ASSERT_FALSE(nearby.error);
  ASSERT_EQ(nearby.records.size(), 1u);
  EXPECT_EQ(nearby.records[0].rank, 0);
}

TEST_F(RedisCacheTest, NearbyWindows) {
  // Positions 0 to 5.
  Seed({{Player("A"), 100},
        {Player("B"), 100},
        {Player("C"), 90},
        {Player("D"), 80},
        {Player("E"), 70},
        {Player("F"), 60}});

  QueryResult window = Nearby(Player("B"), -2, 2, 1);
  ASSERT_FALSE(window.error);
  EXPECT_EQ(window.total_player_count, 6);
  EXPECT_EQ(Ids(window), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(Ranks(window), (std::vector<std::int64_t>{1, 2, 3, 4}));

  // Own record in each numbering, with the requester's account.
  const PlayerAccount b = Player("B");
  for (const auto& [type, rank] :
       {std::pair{1, 2}, std::pair{2, 1}, std::pair{3, 1}}) {
    QueryResult own = Nearby(b, 0, 0, type);
    ASSERT_FALSE(own.error);
    ASSERT_EQ(own.records.size(), 1u);
    EXPECT_EQ(own.records[0].rank, rank) << type;
    EXPECT_EQ(own.records[0].score, 100);
    EXPECT_EQ(own.records[0].account, b);
  }
  EXPECT_EQ(Ranks(Nearby(Player("D"), 0, 0, 3)), std::vector<std::int64_t>{3});

  // Windows starting inside the tie group and cut at either end.
  EXPECT_EQ(Ranks(Nearby(Player("C"), -1, 1, 2)),
            (std::vector<std::int64_t>{1, 3, 4}));
  EXPECT_EQ(Ids(Nearby(Player("C"), -3, -1, 1)),
            (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(Ids(Nearby(Player("E"), 0, 100, 1)),
            (std::vector<std::string>{"E", "F"}));
  EXPECT_EQ(Ids(Nearby(Player("E"), 2, 3, 1)), std::vector<std::string>{});

  // A window wholly above the top is empty, never the bottom of the set.
  QueryResult above = Nearby(Player("C"), -10, -5, 1);
  ASSERT_FALSE(above.error);
  EXPECT_TRUE(above.records.empty());
  QueryResult extreme =
      Nearby(Player("C"), std::numeric_limits<std::int64_t>::min(),
             std::numeric_limits<std::int64_t>::max(), 1);
  ASSERT_FALSE(extreme.error);
  EXPECT_EQ(extreme.records.size(), 6u);
}

TEST_F(RedisCacheTest, NearbyForPlayerWithoutEntryIsAPlaceholder) {
  Seed({{Player("A"), 100}});
  const PlayerAccount stranger("steam", "stranger");
  QueryResult result = Nearby(stranger, -2, 2, 2);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 1);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0].rank, 0);
  EXPECT_EQ(result.records[0].score, 0);
  EXPECT_EQ(result.records[0].account, stranger);

  // An index entry naming a member that is gone counts as no entry.
  ASSERT_EQ(Redis::HSet(Key("alltime:timestamp"), "stranger:steam",
                        "1:stranger:steam"),
            Redis::kSuccess);
  result = Nearby(stranger, 0, 0, 1);
  ASSERT_FALSE(result.error);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0].rank, 0);
}

TEST_F(RedisCacheTest, BrokenRangesAreAnsweredInError) {
  Seed({{Player("A"), 100}, {Player("B"), 90}});
  using Type = LeaderboardQuery::Range;
  const RedisCache::Range broken[] = {
      MakeRange(Type::kAll, 1, 0),      MakeRange(Type::kAll, 0, -1),
      MakeRange(Type::kFromTop, -1, 3), MakeRange(Type::kFromTop, 3, 1),
      MakeRange(Type::kNearby, 2, 1),
  };
  for (const auto& range : broken) {
    SCOPED_TRACE(range.ShortDebugString());
    EXPECT_TRUE(Query(Player("A"), LeaderboardQuery::kAllTime, range, 1).error);
  }
  EXPECT_TRUE(Query(Player("A"), static_cast<Timespan>(0),
                    MakeRange(Type::kAll, 0, 0), 1)
                  .error);
  // The cache still answers afterwards.
  EXPECT_FALSE(All(1).error);
}

// --- Social queries. -------------------------------------------------------

TEST_F(RedisCacheTest, SocialRanksThePlayerAmongCompetitors) {
  Seed({{Player("A"), 50}, {Player("B"), 20}, {Player("me"), 70}});
  QueryResult result = Social(Player("me"), {Player("A"), Player("B")}, 3);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 3);
  EXPECT_EQ(Ids(result), (std::vector<std::string>{"me", "A", "B"}));
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(Scores(result), (std::vector<double>{70, 50, 20}));
  EXPECT_EQ(result.records[0].account, Player("me"));

  // Without a player only the competitors are listed.
  result = Social(PlayerAccount(), {Player("B"), Player("A")}, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 2);
  EXPECT_EQ(Ids(result), (std::vector<std::string>{"A", "B"}));
}

TEST_F(RedisCacheTest, SocialListsMembersWithoutEntryAtZero) {
  Seed({{Player("A"), 5}, {Player("B"), -3}});
  const PlayerAccount nobody = Player("nobody");
  QueryResult result =
      Social(nobody, {Player("B"), Player("ghost"), Player("A")}, 2);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 4);
  ASSERT_EQ(result.records.size(), 4u);
  EXPECT_EQ(result.records[0].account, Player("A"));
  EXPECT_EQ(Scores(result), (std::vector<double>{5, 0, 0, -3}));
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 2, 2, 4}));
  EXPECT_EQ(result.records[3].account, Player("B"));

  // Everybody at 0 shares rank 1.
  result = Social(Player("x"), {Player("y"), Player("z")}, 2);
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 1, 1}));
  result = Social(Player("x"), {Player("y"), Player("z")}, 3);
  EXPECT_EQ(Ranks(result), (std::vector<std::int64_t>{1, 1, 1}));
}

TEST_F(RedisCacheTest, SocialNumberingsAndTies) {
  // C1 reaches 90 before C2; both are listed in that order, as in public
  // queries.
  Seed({{Player("top"), 100},
        {Player("C1"), 90},
        {Player("C2"), 90},
        {Player("low"), 80}});
  const std::vector<PlayerAccount> competitors = {Player("low"), Player("C2"),
                                                  Player("C1")};
  const struct {
    int ranking_type;
    std::vector<std::int64_t> ranks;
  } cases[] = {{1, {1, 2, 3, 4}}, {2, {1, 2, 2, 4}}, {3, {1, 2, 2, 3}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ranking_type);
    QueryResult result = Social(Player("top"), competitors, c.ranking_type);
    ASSERT_FALSE(result.error);
    EXPECT_EQ(Ids(result),
              (std::vector<std::string>{"top", "C1", "C2", "low"}));
    EXPECT_EQ(Ranks(result), c.ranks);
  }
  EXPECT_EQ(Ids(All(1)), (std::vector<std::string>{"top", "C1", "C2", "low"}));
}

TEST_F(RedisCacheTest, SocialWithoutCompetitors) {
  Seed({{Player("me"), 12}});
  QueryResult result = Social(Player("me"), {}, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 1);
  EXPECT_EQ(Ids(result), std::vector<std::string>{"me"});
  EXPECT_EQ(Scores(result), std::vector<double>{12});

  result = Social(PlayerAccount(), {}, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 0);
  EXPECT_TRUE(result.records.empty());

  // Only the whole list is served.
  EXPECT_TRUE(Social(Player("me"), {Player("a")}, 1,
                     MakeRange(LeaderboardQuery::Range::kFromTop, 0, 1))
                  .error);
}

TEST_F(RedisCacheTest, SocialReadsCompetitorsInOneIndexReadAndOnePipeline) {
  std::vector<std::pair<PlayerAccount, double>> seeded;
  std::vector<PlayerAccount> competitors;
  for (int i = 0; i < 20; ++i) {
    competitors.push_back(Player("c" + std::to_string(i)));
    seeded.emplace_back(competitors.back(), i);
  }
  seeded.emplace_back(Player("me"), 50);
  Seed(seeded);

  // The command chain's reads (the scripted path is one EVALSHA).
  FLAGS_redis_cache_use_scripts = false;
  CommandMonitor monitor;
  ASSERT_TRUE(monitor.ok());
  const QueryResult result = Social(Player("me"), competitors, 1);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.total_player_count, 21);
  EXPECT_EQ(result.records.front().account, Player("me"));
  EXPECT_EQ(result.records.back().account, Player("c0"));
  const std::string marker = id_ + "_monitor_marker";
  bool exists = true;
  ASSERT_EQ(Redis::Exists(marker, &exists), Redis::kSuccess);

  const std::vector<std::string> lines =
      monitor.LinesUntil(marker, "\"" + Key("alltime"));
  std::vector<std::string> commands;
  for (const auto& line : lines)
    commands.push_back(CommandMonitor::CommandOf(line));
  // One HMGET for all competitors' ranking keys, then their ZSCOREs in a
  // row on one connection, then the player's own HGET and ZSCORE.
  ASSERT_EQ(commands.size(), 1u + 20u + 2u) << testing::PrintToString(lines);
  EXPECT_EQ(commands[0], "HMGET");
  for (int i = 1; i <= 20; ++i) {
    EXPECT_EQ(commands[i], "ZSCORE") << lines[i];
    EXPECT_EQ(CommandMonitor::ClientOf(lines[i]),
              CommandMonitor::ClientOf(lines[1]))
        << lines[i];
  }
  EXPECT_EQ(commands[21], "HGET");
  EXPECT_EQ(commands[22], "ZSCORE");
}

}  // namespace
}  // namespace redis_cache_test
}  // namespace plemox
