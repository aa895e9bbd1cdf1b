// The league rules of a leaderboard definition (the manifest reads them with
// the same parser): each bad value refused with its reason, and the
// league's period resolved from the definition's schedules.
#include <gtest/gtest.h>

#include <string>

#include "leaderboard/core/leaderboard_definition.h"
#include "leaderboard/league/league_moves.h"

namespace plemox {
namespace {

const char kLeagueWeek[] =
    R"({"period": "week", "interval": 1, "starts": "2021-01-04 06:00:00",
        "ends": "2099-01-01 00:00:00"})";
const char kLeagueDay[] =
    R"({"period": "day", "interval": 1, "starts": "2021-01-04 06:00:00",
        "ends": "2099-01-01 00:00:00"})";

// The error of a definition with league `league` and `schedules`, "" when
// accepted (then *out holds it).
std::string LeagueError(const std::string& league,
                        const std::string& schedules = kLeagueWeek,
                        LeaderboardDefinition* out = nullptr) {
  LeaderboardDefinition definition;
  std::string error;
  const std::string body = R"({"ranking_option": {"league": )" + league +
                           R"(}, "reset_schedules": [)" + schedules + "]}";
  if (!LeaderboardDefinition::Parse("cups", body, &definition, &error)) {
    return error.empty() ? "(empty error)" : error;
  }
  if (out != nullptr) *out = definition;
  return "";
}

TEST(LeagueRulesTest, ReadsTheRulesAndTakesThePeriodOfTheOneSchedule) {
  LeaderboardDefinition definition;
  ASSERT_EQ(LeagueError(R"({"tiers": ["bronze", "silver", "gold"],
                            "cohort_size": 30, "promote": 5, "relegate": 5,
                            "absent": "down"})",
                        kLeagueWeek, &definition),
            "");
  ASSERT_TRUE(definition.option.is_league());
  const LeagueRules& rules = *definition.option.league;
  EXPECT_EQ(rules.tiers.size(), 3u);
  EXPECT_EQ(rules.TierIndex("gold"), 2);
  EXPECT_EQ(rules.cohort_size, 30);
  EXPECT_EQ(rules.promote, 5);
  EXPECT_EQ(rules.relegate, 5);
  EXPECT_TRUE(rules.absent_down);
  EXPECT_EQ(rules.period, "week");
  // With two schedules the league names its own.
  ASSERT_EQ(
      LeagueError(R"({"tiers": ["a"], "cohort_size": 2, "promote": 0,
                            "relegate": 0, "period": "day"})",
                  std::string(kLeagueWeek) + ", " + kLeagueDay, &definition),
      "");
  EXPECT_EQ(definition.option.league->period, "day");
  EXPECT_FALSE(definition.option.league->absent_down);
}

TEST(LeagueRulesTest, RefusesEveryBadRuleNamingIt) {
  const std::string good_counts =
      R"("cohort_size": 30, "promote": 5, "relegate": 5)";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"tiers": [], )" + good_counts + "}",
       "ranking_option: league.tiers must be an array of 1 to 32 tier names, "
       "the lowest first, not []"},
      {R"({"tiers": [""], )" + good_counts + "}",
       "ranking_option: league.tiers[0] must be a name of 1 to 32 letters, "
       "digits, '_' or '-', not \"\""},
      {R"({"tiers": ["a", "b", "a"], )" + good_counts + "}",
       "ranking_option: league.tiers names \"a\" twice"},
      {R"({"tiers": ["a"], "cohort_size": 0, "promote": 0, "relegate": 0})",
       "ranking_option: league.cohort_size must be an integer from 1 to "
       "1000, not 0"},
      {R"({"tiers": ["a"], "cohort_size": 1001, "promote": 0,
           "relegate": 0})",
       "ranking_option: league.cohort_size must be an integer from 1 to "
       "1000, not 1001"},
      {R"({"tiers": ["a"], "cohort_size": 10, "promote": 6, "relegate": 5})",
       "ranking_option: league.promote + league.relegate (11) must not "
       "exceed league.cohort_size (10)"},
      {R"({"tiers": ["a"], )" + good_counts + R"(, "absent": "away"})",
       "ranking_option: league.absent must be \"stay\" or \"down\", not "
       "\"away\""},
      {R"({"tiers": ["a"], )" + good_counts + R"(, "size": 3})",
       "ranking_option: league has an unknown member \"size\""},
  };
  for (const auto& [league, message] : cases) {
    EXPECT_EQ(LeagueError(league), message) << league;
  }
  const std::string league = R"({"tiers": ["a"], )" + good_counts + "}";
  EXPECT_EQ(LeagueError(league, ""),
            "ranking_option: a league needs a reset schedule (day, week or "
            "month)");
  EXPECT_EQ(LeagueError(league, std::string(kLeagueWeek) + ", " + kLeagueDay),
            "ranking_option: a league with several reset schedules must name "
            "its period in league.period");
  EXPECT_EQ(LeagueError(R"({"tiers": ["a"], )" + good_counts +
                        R"(, "period": "month"})"),
            "ranking_option: a league needs a reset schedule of its period "
            "(league.period month)");
}

TEST(LeagueMovesTest, TheFirstMoveUpTheLastDownWithinTheTiers) {
  LeagueRules rules;
  rules.tiers = {"bronze", "silver", "gold"};
  rules.cohort_size = 6;
  rules.promote = 2;
  rules.relegate = 3;
  EXPECT_EQ(LeagueMoves::NewTiers(rules, 1, 6),
            (std::vector<int>{2, 2, 1, 0, 0, 0}));
  // Nobody above the highest or below the lowest tier.
  EXPECT_EQ(LeagueMoves::NewTiers(rules, 2, 6),
            (std::vector<int>{2, 2, 2, 1, 1, 1}));
  EXPECT_EQ(LeagueMoves::NewTiers(rules, 0, 6),
            (std::vector<int>{1, 1, 0, 0, 0, 0}));
  // A small cohort promotes first, then relegates what is left.
  EXPECT_EQ(LeagueMoves::NewTiers(rules, 1, 3), (std::vector<int>{2, 2, 0}));
  EXPECT_EQ(LeagueMoves::NewTiers(rules, 1, 1), (std::vector<int>{2}));
  EXPECT_TRUE(LeagueMoves::NewTiers(rules, 1, 0).empty());
}

}  // namespace
}  // namespace plemox
