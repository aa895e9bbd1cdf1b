// The ranking cache's key scheme: key texts, member strings and score texts
// that game servers and operators read directly in Redis.
#include "database/cache/redis_key.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/time_parsers.hpp>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/leaderboard_info.h"
#include "leaderboard/service/internal/table_ranking.h"
#include "vel/redis/redis_cluster_slot.h"

namespace plemox {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using Leaderboard::LeaderboardQuery;

const ptime kNoWeek(boost::posix_time::not_a_date_time);

TEST(RedisKeyTest, UndatedKeysOfEveryTimespan) {
  gflags::FlagSaver saver;
  FLAGS_use_leaderboard_table_with_date = false;
  const struct {
    Timespan timespan;
    const char* key;
  } cases[] = {
      {LeaderboardQuery::kAllTime, "leaderboard:stage1:alltime"},
      {LeaderboardQuery::kDaily, "leaderboard:stage1:daily"},
      {LeaderboardQuery::kWeekly, "leaderboard:stage1:weekly"},
      {LeaderboardQuery::kLastWeek, "leaderboard:stage1:lastweek"},
      {LeaderboardQuery::kYesterday, "leaderboard:stage1:yesterday"},
      {LeaderboardQuery::kMonthly, "leaderboard:stage1:monthly"},
      {LeaderboardQuery::kLastMonth, "leaderboard:stage1:lastmonth"},
  };
  const ptime week = time_from_string("2021-02-08 00:00:00");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    // A week time changes nothing while the flag is off.
    for (const ptime& week_time : {kNoWeek, week}) {
      const std::string key =
          MakeLeaderboardKey("stage1", c.timespan, week_time);
      EXPECT_EQ(key, c.key);
      EXPECT_EQ(MakeLeaderboardDenseKey("stage1", c.timespan, week_time),
                std::string(c.key) + ":dense");
      EXPECT_EQ(MakeLeaderboardTimestampKey(key),
                std::string(c.key) + ":timestamp");
    }
  }
}

TEST(RedisKeyTest, DatedWeeklyKeys) {
  gflags::FlagSaver saver;
  FLAGS_use_leaderboard_table_with_date = true;
  // Any time of the day names the day.
  const ptime monday_evening = time_from_string("2021-02-08 23:59:59");
  EXPECT_EQ(
      MakeLeaderboardKey("stage1", LeaderboardQuery::kWeekly, monday_evening),
      "leaderboard:stage1_20210208:weekly");
  EXPECT_EQ(MakeLeaderboardDenseKey("stage1", LeaderboardQuery::kWeekly,
                                    time_from_string("2021-02-08 00:00:00")),
            "leaderboard:stage1_20210208:weekly:dense");
  // Last week's ranking is the weekly ranking of the week that ended then.
  const ptime previous = time_from_string("2021-02-01 06:30:00");
  EXPECT_EQ(MakeLeaderboardKey("stage1", LeaderboardQuery::kLastWeek, previous),
            "leaderboard:stage1_20210201:weekly");
  EXPECT_EQ(
      MakeLeaderboardDenseKey("stage1", LeaderboardQuery::kLastWeek, previous),
      "leaderboard:stage1_20210201:weekly:dense");

  // Special week times and the other timespans keep the undated form.
  EXPECT_EQ(MakeLeaderboardKey("stage1", LeaderboardQuery::kWeekly, kNoWeek),
            "leaderboard:stage1:weekly");
  EXPECT_EQ(MakeLeaderboardKey("stage1", LeaderboardQuery::kLastWeek, kNoWeek),
            "leaderboard:stage1:lastweek");
  EXPECT_EQ(MakeLeaderboardKey("stage1", LeaderboardQuery::kWeekly,
                               ptime(boost::posix_time::pos_infin)),
            "leaderboard:stage1:weekly");
  EXPECT_EQ(
      MakeLeaderboardKey("stage1", LeaderboardQuery::kDaily, monday_evening),
      "leaderboard:stage1:daily");
  EXPECT_EQ(
      MakeLeaderboardKey("stage1", LeaderboardQuery::kMonthly, monday_evening),
      "leaderboard:stage1:monthly");
}

// Keys for Redis Cluster are on only inside a scope of this.
class ClusterKeysOn {
 public:
  ClusterKeysOn() { SetClusterKeys(true); }
  ~ClusterKeysOn() { SetClusterKeys(false); }
  ClusterKeysOn(const ClusterKeysOn&) = delete;
  ClusterKeysOn& operator=(const ClusterKeysOn&) = delete;
};

// Every key the builders make for leaderboard `id`: each timespan with its
// dense set and member index, undated and (with the flag as it stands)
// dated weeks, the profile hash, submission ids (one full of brace bytes)
// and the closed-periods marker.
std::vector<std::string> EveryKeyOf(const std::string& id) {
  const ptime weeks[] = {kNoWeek, time_from_string("2021-02-08 00:00:00")};
  std::vector<std::string> keys;
  for (int value = LeaderboardQuery::kAllTime;
       value <= LeaderboardQuery::kLastMonth; ++value) {
    for (const ptime& week : weeks) {
      const auto timespan = static_cast<Timespan>(value);
      keys.push_back(MakeLeaderboardKey(id, timespan, week));
      keys.push_back(MakeLeaderboardTimestampKey(keys.back()));
      keys.push_back(MakeLeaderboardDenseKey(id, timespan, week));
    }
  }
  keys.push_back(MakeLeaderboardProfileKey(id));
  keys.push_back(MakeSubmissionIdKey(id, "7f3a-01"));
  keys.push_back(MakeSubmissionIdKey(id, "}{x}{"));
  keys.push_back(MakeClosedPeriodsKey(id));
  return keys;
}

TEST(RedisKeyTest, ClusterKeysOfOneLeaderboardShareOneSlot) {
  gflags::FlagSaver saver;
  const ClusterKeysOn cluster;
  ASSERT_TRUE(ClusterKeys());
  for (const bool dated : {false, true}) {
    SCOPED_TRACE(dated ? "dated weeks" : "undated weeks");
    FLAGS_use_leaderboard_table_with_date = dated;
    std::set<int> slots_of_ids;
    for (const std::string id : {"stage1", "stage2", "s", "Event_2026_x"}) {
      const int slot = vel::RedisClusterSlot("{" + id + "}");
      for (const std::string& key : EveryKeyOf(id)) {
        EXPECT_EQ(key.rfind("leaderboard:{" + id + "}", 0), 0u) << key;
        EXPECT_EQ(vel::RedisClusterSlot(key), slot) << key;
      }
      slots_of_ids.insert(slot);
    }
    // Different ids are different tags, spread over slots.
    EXPECT_EQ(slots_of_ids.size(), 4u);
  }

  // The forms operators and tools read.
  FLAGS_use_leaderboard_table_with_date = true;
  const ptime week = time_from_string("2021-02-08 12:00:00");
  EXPECT_EQ(MakeLeaderboardKey("stage1", LeaderboardQuery::kDaily, week),
            "leaderboard:{stage1}:daily");
  EXPECT_EQ(MakeLeaderboardKey("stage1", LeaderboardQuery::kWeekly, week),
            "leaderboard:{stage1}_20210208:weekly");
  EXPECT_EQ(MakeClosedPeriodsKey("stage1"),
            "leaderboard:{stage1}:closed_periods");
}

// Outside cluster mode no key carries a tag, and keys stored under one mode
// (by the period archive, before a move to or from Redis Cluster) are told
// apart from the keys of the other.
TEST(RedisKeyTest, EachKeyModeKnowsOnlyItsOwnKeys) {
  gflags::FlagSaver saver;
  FLAGS_use_leaderboard_table_with_date = true;
  const std::vector<std::string> plain = EveryKeyOf("stage1");
  std::vector<std::string> tagged;
  {
    const ClusterKeysOn cluster;
    tagged = EveryKeyOf("stage1");
    for (const std::string& key : tagged) {
      EXPECT_TRUE(IsKeyOfLeaderboard(key, "stage1")) << key;
    }
    for (const std::string& key : plain) {
      EXPECT_FALSE(IsKeyOfLeaderboard(key, "stage1")) << key;
    }
  }
  ASSERT_FALSE(ClusterKeys());
  for (const std::string& key : plain) {
    EXPECT_TRUE(IsKeyOfLeaderboard(key, "stage1")) << key;
    if (key == MakeSubmissionIdKey("stage1", "}{x}{")) continue;
    EXPECT_EQ(key.find_first_of("{}"), std::string::npos) << key;
  }
  for (const std::string& key : tagged) {
    EXPECT_FALSE(IsKeyOfLeaderboard(key, "stage1")) << key;
  }
  EXPECT_FALSE(IsKeyOfLeaderboard("leaderboard:stage10:daily", "stage1"));
  EXPECT_EQ(MakeLeaderboardProfileKey("stage1"), "leaderboard:stage1:profile");
  EXPECT_EQ(MakeSubmissionIdKey("stage1", "s-1"),
            "leaderboard:stage1:submission:s-1");
  EXPECT_EQ(MakeClosedPeriodsKey("stage1"),
            "leaderboard:stage1:closed_periods");
}

// Recovery puts a dated weekly table back under the week's key of its
// leaderboard: the same key as the table's own id outside cluster mode, the
// leaderboard's tag in cluster mode.
TEST(RedisKeyTest, RecoveredDatedWeeklyTableKeepsItsLeaderboardsTag) {
  gflags::FlagSaver saver;
  const auto key_of = [](const std::string& id, Timespan timespan) {
    LeaderboardInfo info;
    info.leaderboard_id = id;
    info.timespan = timespan;
    const service_internal::TableRanking ranking =
        service_internal::RankingOfTable(info);
    return MakeLeaderboardKey(ranking.leaderboard_id, ranking.timespan,
                              ranking.week_time);
  };
  for (const bool dated : {false, true}) {
    FLAGS_use_leaderboard_table_with_date = dated;
    EXPECT_EQ(key_of("stage1_20210208", LeaderboardQuery::kWeekly),
              "leaderboard:stage1_20210208:weekly");
    EXPECT_EQ(key_of("stage1", LeaderboardQuery::kWeekly),
              "leaderboard:stage1:weekly");
  }
  const ClusterKeysOn cluster;
  FLAGS_use_leaderboard_table_with_date = true;
  EXPECT_EQ(key_of("stage1_20210208", LeaderboardQuery::kWeekly),
            "leaderboard:{stage1}_20210208:weekly");
  EXPECT_EQ(key_of("stage1_20210208", LeaderboardQuery::kDaily),
            "leaderboard:{stage1_20210208}:daily");
  // Not a date: a leaderboard of its own.
  EXPECT_EQ(key_of("stage1_20211399", LeaderboardQuery::kWeekly),
            "leaderboard:{stage1_20211399}:weekly");
  // Undated weekly tables are the leaderboard's own weekly ranking while
  // weeks are not dated.
  FLAGS_use_leaderboard_table_with_date = false;
  EXPECT_EQ(key_of("stage1_20210208", LeaderboardQuery::kWeekly),
            "leaderboard:{stage1_20210208}:weekly");
}

TEST(RedisKeyTest, TimespanNames) {
  EXPECT_EQ(kTimespanNames.size(), 7u);
  for (int value = LeaderboardQuery::kAllTime;
       value <= LeaderboardQuery::kLastMonth; ++value) {
    const auto timespan = static_cast<Timespan>(value);
    const std::string name = TimespanToString(timespan);
    Timespan read = LeaderboardQuery::kAllTime;
    ASSERT_TRUE(GetTimespanByString(name, &read)) << name;
    EXPECT_EQ(read, timespan);
  }
  Timespan read = LeaderboardQuery::kDaily;
  EXPECT_TRUE(GetTimespanByString("lastmonth", &read));
  EXPECT_EQ(read, LeaderboardQuery::kLastMonth);

  // Names are case-sensitive; an unknown name leaves the output alone.
  read = LeaderboardQuery::kWeekly;
  EXPECT_FALSE(GetTimespanByString("Daily", &read));
  EXPECT_FALSE(GetTimespanByString("", &read));
  EXPECT_FALSE(GetTimespanByString("daily ", &read));
  EXPECT_EQ(read, LeaderboardQuery::kWeekly);

  EXPECT_FALSE(IsValidTimespan(0));
  EXPECT_FALSE(IsValidTimespan(8));
  EXPECT_EQ(TimespanToString(static_cast<Timespan>(8)), "");
}

TEST(RedisKeyDeathTest, UnknownTimespanInKeyStops) {
  EXPECT_DEATH(
      MakeLeaderboardKey("stage1", static_cast<Timespan>(8), kNoWeek),
      "Failed to make leaderboard key by timespan: unknown timespan: 8");
  EXPECT_DEATH(
      MakeLeaderboardDenseKey("stage1", static_cast<Timespan>(0), kNoWeek),
      "Failed to make leaderboard dense key by timespan: unknown timespan: 0");
}

TEST(RedisKeyTest, MemberKeys) {
  const std::string member_key =
      MakeMemberKey(vel::PlayerAccount("guest", "player42"));
  EXPECT_EQ(member_key, "player42:guest");
  EXPECT_EQ(MakeMemberRankingKey(1612345678901, member_key),
            "8387654321098:player42:guest");
  EXPECT_EQ(MakeMemberRankingKey(1612345679000, member_key),
            "8387654320999:player42:guest");
  EXPECT_EQ(MakeMemberRankingKey(0, "a:b"), "9:a:b");
  EXPECT_EQ(
      MakeMemberRankingKey(std::numeric_limits<std::int64_t>::max(), "a:b"),
      "0776627963145224192:a:b");

  // Read highest first, the earlier time (the greater text) comes first.
  EXPECT_GT(MakeMemberRankingKey(1612345678901, "b:guest"),
            MakeMemberRankingKey(1612345679000, "a:guest"));
}

TEST(RedisKeyDeathTest, NegativeTimestampStops) {
  EXPECT_DEATH(MakeMemberRankingKey(-5, "player42:guest"),
               "Assert failed: digit >= '0' && digit <= '9'");
}

TEST(RedisKeyTest, AccountReadBackFromRankingKey) {
  const vel::PlayerAccount accounts[] = {
      {"guest", "player42"},
      {"steam", ""},  // empty local id: the provider must not slide over
      {"", "player42"},
      {"", ""},
  };
  for (const auto& account : accounts) {
    SCOPED_TRACE(MakeMemberKey(account));
    vel::PlayerAccount read("x", "y");
    EXPECT_TRUE(ParseMemberRankingKey(
        MakeMemberRankingKey(1612345678901, MakeMemberKey(account)), &read));
    EXPECT_EQ(read, account);
  }

  vel::PlayerAccount read("x", "y");
  EXPECT_FALSE(ParseMemberRankingKey("8387654321098", &read));
  EXPECT_EQ(read, vel::PlayerAccount());
  EXPECT_FALSE(ParseMemberRankingKey("8387654321098:player42", &read));
  EXPECT_EQ(read, vel::PlayerAccount("", "player42"));
  // The placeholder ranking key of a player without an entry reads back too.
  EXPECT_TRUE(ParseMemberRankingKey("0:player42:guest", &read));
  EXPECT_EQ(read, vel::PlayerAccount("guest", "player42"));
}

TEST(RedisKeyTest, TiebreakTextsOrderEveryFiniteDoubleExactly) {
  const std::vector<double> ascending = {
      -std::numeric_limits<double>::max(),
      -1e300,
      -2.5,
      -1,
      -DBL_MIN,
      -std::numeric_limits<double>::denorm_min(),
      0,
      std::numeric_limits<double>::denorm_min(),
      DBL_MIN,
      0.1,
      1,
      2.5,
      1e300,
      std::numeric_limits<double>::max()};
  std::string previous;
  for (const double value : ascending) {
    const std::string text = TiebreakToText(value);
    ASSERT_EQ(text.size(), 16u);
    EXPECT_GT(text, previous) << value;  // byte order is numeric order
    previous = text;
    double back = 1234;
    ASSERT_TRUE(TiebreakFromText(text, &back));
    EXPECT_EQ(back, value);
  }
  // -0 and 0 are one second score.
  EXPECT_EQ(TiebreakToText(-0.0), TiebreakToText(0.0));
  double value = 7;
  for (const char* bad : {"", "8000", "800000000000000g", "8000000000000000a",
                          "800000000000000A"}) {
    EXPECT_FALSE(TiebreakFromText(bad, &value)) << bad;
  }
  EXPECT_EQ(value, 7);
}

TEST(RedisKeyTest, TiebreakTextLeadsTheMemberAndIsReadBackAlone) {
  const std::string tie = TiebreakToText(2.5);
  const std::string member =
      MakeMemberRankingKey(1612345678901, "p_1:guest", tie);
  EXPECT_EQ(member, tie + "_8387654321098:p_1:guest");
  EXPECT_EQ(MemberTiebreakText(member), tie);
  std::int64_t time = 0;
  ASSERT_TRUE(ParseMemberRankingTime(member, &time));
  EXPECT_EQ(time, 1612345678901);
  vel::PlayerAccount account;
  ASSERT_TRUE(ParseMemberRankingKey(member, &account));
  EXPECT_EQ(account.id(), "p_1");
  // Without a tiebreak nothing is read as one, not even an id with a "_"
  // where a tiebreak's would stand.
  EXPECT_EQ(MemberTiebreakText(MakeMemberRankingKey(1612345678901, "ab_c:x")),
            "");
  EXPECT_EQ(MemberTiebreakText("123456789012345G_1:a:b"), "");
  // The higher second score sorts higher, ahead of the time.
  EXPECT_GT(MakeMemberRankingKey(1612345679000, "a:g", TiebreakToText(3)),
            MakeMemberRankingKey(1612345678901, "b:g", TiebreakToText(2.5)));
  EXPECT_EQ(DenseMember("100", tie), "100|" + tie);
  EXPECT_EQ(DenseMember("100", ""), "100");
}

TEST(RedisKeyTest, ScoreText) {
  EXPECT_EQ(ScoreToText(100), "100");
  EXPECT_EQ(ScoreToText(0), "0");
  EXPECT_EQ(ScoreToText(0.1), "0.10000000000000001");
  EXPECT_EQ(ScoreToText(1234.5), "1234.5");
  EXPECT_EQ(ScoreToText(-3), "-3");
  EXPECT_EQ(ScoreToText(1e20), "1e+20");
  EXPECT_EQ(ScoreToText(-1e20), "-1e+20");
  EXPECT_EQ(ScoreToText(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(ScoreToText(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(ScoreToText(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(ScoreToText(std::numeric_limits<double>::quiet_NaN()), "nan");

  // The text must name exactly the stored double (dense members and
  // score-count bounds are compared with the ranking's scores).
  for (double score : {0.1 + 0.2, 1.0 / 3.0, -2.0 / 7.0, DBL_MAX, DBL_MIN,
                       -DBL_TRUE_MIN, 9007199254740993.0}) {
    EXPECT_EQ(std::strtod(ScoreToText(score).c_str(), nullptr), score)
        << ScoreToText(score);
  }
}

}  // namespace
}  // namespace plemox
