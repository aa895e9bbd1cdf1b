// Leaderboards defined at run time, without a server: the reading of a
// definition's body, the registries' run-time updates (schedules that come,
// change, stay and go beside the manifest's; options the manifest wins) and
// the snapshot cell that request threads read them through.
#include "leaderboard/core/leaderboard_definition.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/core/snapshot_cell.h"

namespace plemox {
namespace {

using boost::posix_time::hours;
using boost::posix_time::time_from_string;
using Registry = ResetScheduleRegistry;

const char kDay[] =
    R"({"period": "day", "interval": 1, "starts": "2021-01-04 06:00:00",
        "ends": "2099-01-01 00:00:00"})";

// The error of Parse for `body`, "" when it is accepted.
std::string ParseError(const std::string& body,
                       LeaderboardDefinition* out = nullptr) {
  LeaderboardDefinition definition;
  std::string error;
  const bool parsed =
      LeaderboardDefinition::Parse("laps", body, &definition, &error);
  if (out != nullptr) *out = definition;
  return parsed ? "" : error.empty() ? "(empty error)" : error;
}

TEST(LeaderboardDefinitionParseTest, ReadsRulesAndSchedulesAndKeepsThemStored) {
  LeaderboardDefinition definition;
  ASSERT_EQ(ParseError(R"({"ranking_option": {"leaderboard_id": "laps",
                          "sort_order": "ascending", "enable_dense": false,
                          "tiebreak": "descending"},
                          "reset_schedules": [)" +
                           std::string(kDay) + "]}",
                       &definition),
            "");
  EXPECT_EQ(definition.option.leaderboard_id, "laps");
  EXPECT_TRUE(definition.option.ascending());
  EXPECT_EQ(definition.option.tiebreak, RankingOption::Tiebreak::kDescending);
  // The listing shows every rule.
  EXPECT_EQ(LeaderboardDefinition::OptionJson(definition.option)["tiebreak"]
                .GetString(),
            "descending");
  EXPECT_FALSE(definition.option.enable_dense);
  EXPECT_TRUE(definition.option.enable_alltime);
  ASSERT_EQ(definition.schedules.size(), 1u);
  EXPECT_EQ(definition.schedules[0].leaderboard_id, "laps");
  EXPECT_EQ(definition.schedules[0].period, "day");
  EXPECT_EQ(definition.schedules[0].starts, "2021-01-04 06:00:00");
  EXPECT_FALSE(definition.ranking_option.HasMember("leaderboard_id"));

  // The stored forms read back as the same definition.
  LeaderboardDefinition again;
  ASSERT_EQ(
      ParseError("{\"ranking_option\": " + definition.RankingOptionText() +
                     ", \"reset_schedules\": " + definition.SchedulesText() +
                     "}",
                 &again),
      "");
  EXPECT_TRUE(again.option.SameOrder(definition.option));
  EXPECT_EQ(again.option.enable_dense, definition.option.enable_dense);
  EXPECT_EQ(again.schedules, definition.schedules);

  // Both members may be left out: the default rules, no schedules.
  ASSERT_EQ(ParseError("{}", &definition), "");
  EXPECT_FALSE(definition.option.ascending());
  EXPECT_TRUE(definition.schedules.empty());
}

// The listing shows a league's rules (tiers, sizes, moves, absent players,
// the resolved period) in the form a definition gives them, so that they
// read back as the same league.
TEST(LeaderboardDefinitionParseTest, ListsALeagueInTheFormItIsRead) {
  LeaderboardDefinition definition;
  ASSERT_EQ(ParseError(R"({"ranking_option": {"league": {
                          "tiers": ["bronze", "silver"], "cohort_size": 20,
                          "promote": 3, "relegate": 2, "absent": "down"}},
                          "reset_schedules": [)" +
                           std::string(kDay) + "]}",
                       &definition),
            "");
  const vel::Json listed =
      LeaderboardDefinition::OptionJson(definition.option)["league"];
  ASSERT_TRUE(listed.IsObject());
  EXPECT_EQ(listed["tiers"].ToString(), R"(["bronze","silver"])");
  EXPECT_EQ(listed["cohort_size"].GetInt(), 20);
  EXPECT_EQ(listed["absent"].GetString(), "down");
  EXPECT_EQ(listed["period"].GetString(), "day");
  LeaderboardDefinition again;
  ASSERT_EQ(
      ParseError(
          "{\"ranking_option\": " +
              LeaderboardDefinition::OptionJson(definition.option).ToString() +
              ", \"reset_schedules\": " + definition.SchedulesText() + "}",
          &again),
      "");
  ASSERT_TRUE(again.option.is_league());
  EXPECT_TRUE(*again.option.league == *definition.option.league);
  // No league, no member.
  EXPECT_FALSE(
      LeaderboardDefinition::OptionJson(RankingOption()).HasMember("league"));
}

TEST(LeaderboardDefinitionParseTest, RefusesEachFaultNamingIt) {
  const std::map<std::string, std::string> refused = {
      {"", "well-formed JSON"},
      {"{\"ranking_option\": {}", "well-formed JSON"},
      {"[1]", "JSON object"},
      {R"({"ranking_options": {}})", "unknown member \"ranking_options\""},
      {R"({"ranking_option": []})", "ranking_option must be an object"},
      {R"({"ranking_option": {"sort_order": "upward"}})",
       "ranking_option: sort_order"},
      {R"({"ranking_option": {"leaderboard_id": "other"}})",
       "differs from the leaderboard of the path"},
      {R"({"reset_schedules": {}})", "reset_schedules must be an array"},
      {R"({"reset_schedules": [1]})", "reset_schedules[0] must be an object"},
      {R"({"reset_schedules": [{"period": "day", "interval": 1,
          "starts": "2021-01-04", "ends": "2099-01-01 00:00:00"}]})",
       "reset_schedules[0]: Required field has unexpected value: "
       "field='starts'"},
      {R"({"reset_schedules": [{"period": "day", "interval": 1}]})",
       "field=starts"},
      {R"({"reset_schedules": [{"period": "day", "interval": 1,
          "starts": "2021-01-04 06:00:00", "ends": "2099-01-01 00:00:00",
          "every": 2}]})",
       "unknown member \"every\""},
      {"{\"reset_schedules\": [" + std::string(kDay) + ", " + kDay + "]}",
       "reset_schedules[1]: the leaderboard key laps_day already has a "
       "schedule"},
  };
  for (const auto& [body, expected] : refused) {
    EXPECT_NE(ParseError(body).find(expected), std::string::npos)
        << body << " -> " << ParseError(body);
  }
}

TEST(LeaderboardDefinitionParseTest, DatedWeeklyTablesRefuseSchedules) {
  gflags::FlagSaver saver;
  FLAGS_use_leaderboard_table_with_date = true;
  // Refused, not fatal as the manifest's check of a daily schedule is; a
  // weekly one too, since its dated tables would not exist.
  const std::string week =
      R"({"period": "week", "interval": 1, "starts": "2021-01-04 06:00:00",
          "ends": "2099-01-01 00:00:00"})";
  for (const std::string& schedule : {std::string(kDay), week}) {
    EXPECT_NE(ParseError("{\"reset_schedules\": [" + schedule + "]}")
                  .find("--use_leaderboard_table_with_date"),
              std::string::npos)
        << schedule;
  }
  EXPECT_EQ(ParseError(R"({"ranking_option": {"sort_order": "ascending"}})"),
            "");
}

class DefinedRegistriesTest : public testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    Registry::ClearForTesting();
    RankingOptions::ClearForTesting();
  }

  static Registry::DefinedSchedule Daily(const std::string& id,
                                         const std::string& starts) {
    return {id, "day", 1, starts, "2099-01-01 00:00:00"};
  }

  const boost::posix_time::ptime now_ = time_from_string("2021-02-08 12:00:00");
};

TEST_F(DefinedRegistriesTest, SchedulesComeChangeStayAndGoBesideTheManifest) {
  vel::Json manifest;
  ASSERT_TRUE(vel::Json::Parse(
      R"([{"leaderboard_id": "stage", "period": "day", "interval": 1,
           "starts": "2021-01-04 00:00:00", "ends": "2099-01-01 00:00:00"}])",
      &manifest));
  ASSERT_TRUE(Registry::InitializeResetSchedule(manifest, now_));
  EXPECT_TRUE(Registry::IsManifestSchedule("stage_day"));

  // A definition's schedule comes; one with the manifest's key is ignored.
  Registry::ReplaceDefinedSchedules({Daily("laps", "2021-01-04 18:00:00"),
                                     Daily("stage", "2021-01-04 18:00:00")},
                                    now_);
  EXPECT_TRUE(Registry::HasDaySchedule("laps"));
  EXPECT_FALSE(Registry::IsManifestSchedule("laps_day"));
  EXPECT_EQ(Registry::Find("stage_day")->starts(),
            time_from_string("2021-01-04 00:00:00"));
  EXPECT_EQ(Registry::ManifestLeaderboardIds(), std::set<std::string>{"stage"});

  // It falls due and moves on; the same definition again keeps that state.
  const auto due = time_from_string("2021-02-08 18:00:00");
  ASSERT_TRUE(Registry::WithLockedSchedules([&](Registry::ScheduleMap& map) {
    return map.at("laps_day").IsResetTime(due);
  }));
  Registry::ReplaceDefinedSchedules({Daily("laps", "2021-01-04 18:00:00")},
                                    due);
  EXPECT_EQ(Registry::Find("laps_day")->next_date_time(), due + hours(24));

  // A changed one is built anew; a dropped one goes, the manifest's stays.
  Registry::ReplaceDefinedSchedules({Daily("laps", "2021-01-04 20:00:00")},
                                    due);
  EXPECT_EQ(Registry::Find("laps_day")->next_date_time(),
            time_from_string("2021-02-08 20:00:00"));
  Registry::ReplaceDefinedSchedules({}, due);
  EXPECT_FALSE(Registry::HasSchedule("laps_day"));
  EXPECT_TRUE(Registry::HasSchedule("stage_day"));
}

TEST_F(DefinedRegistriesTest, TheManifestsOptionWinsOverADefinition) {
  vel::Json manifest;
  ASSERT_TRUE(vel::Json::Parse(R"([{"leaderboard_id": "stage",
                                    "enable_dense": false}])",
                               &manifest));
  ASSERT_TRUE(RankingOptions::InitializeRankingOption(manifest));
  RankingOption ascending;
  ascending.sort_order = RankingOption::SortOrder::kAscending;
  RankingOptions::SetDefinedOptions(
      {{"stage", ascending}, {"laps", ascending}});
  RankingOption option;
  ASSERT_TRUE(RankingOptions::GetRankingOption("stage", &option));
  EXPECT_FALSE(option.ascending());
  EXPECT_FALSE(option.enable_dense);
  ASSERT_TRUE(RankingOptions::GetRankingOption("laps", &option));
  EXPECT_TRUE(option.ascending());
  // Replaced as a whole: a definition no longer given is gone.
  RankingOptions::SetDefinedOptions({});
  EXPECT_FALSE(RankingOptions::GetRankingOption("laps", &option));
  EXPECT_FALSE(option.ascending());
}

TEST(SnapshotCellTest, ReadersSeeWholeValuesWhileAWriterReplacesThem) {
  // Every published vector holds n copies of n: a reader that saw a torn
  // or freed value would find another size or element.
  SnapshotCell<std::vector<int>> cell;
  cell.Publish(std::vector<int>(1, 1));
  std::atomic<bool> done{false};
  std::atomic<int> faults{0}, latest{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const std::vector<int>& value = cell.Get();
        const int n = static_cast<int>(value.size());
        for (int element : value) {
          if (element != n) faults++;
        }
        latest = n;
      }
    });
  }
  for (int n = 2; n <= 2000; ++n) cell.Publish(std::vector<int>(n, n));
  // The readers pick the last one up.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (latest.load() != 2000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(latest.load(), 2000);
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(cell.Get().size(), 2000u);
}

}  // namespace
}  // namespace plemox
