// Costs of the Redis key scheme on the paths every request takes: the keys
// of a ranking, the member strings of a player, reading an account back from
// a ranking member, and the score text of dense members and count bounds.
#include <benchmark/benchmark.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <string>
#include <vector>

#include "database/cache/redis_key.h"
#include "vel/core/player_account.h"

namespace plemox {
namespace {

using boost::posix_time::not_a_date_time;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

// The keys one submission builds for one period ranking.
void BM_MakeLeaderboardKeys(benchmark::State& state) {
  const ptime none(not_a_date_time);
  for (auto _ : state) {
    std::string key = MakeLeaderboardKey(
        "stage_42", Leaderboard::LeaderboardQuery::kDaily, none);
    std::string dense = MakeLeaderboardDenseKey(
        "stage_42", Leaderboard::LeaderboardQuery::kDaily, none);
    std::string timestamp = MakeLeaderboardTimestampKey(key);
    benchmark::DoNotOptimize(key);
    benchmark::DoNotOptimize(dense);
    benchmark::DoNotOptimize(timestamp);
  }
}
BENCHMARK(BM_MakeLeaderboardKeys);

// A weekly key with a week date: the dated form when the flag is on, the
// plain one otherwise; both parse the timespan and format the date path.
void BM_MakeWeeklyKeyWithDate(benchmark::State& state) {
  const ptime week = time_from_string("2021-02-15 00:00:00");
  for (auto _ : state) {
    std::string key = MakeLeaderboardKey(
        "stage_42", Leaderboard::LeaderboardQuery::kWeekly, week);
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_MakeWeeklyKeyWithDate);

void BM_MakeMemberKeys(benchmark::State& state) {
  const vel::PlayerAccount account("guest", "player_1234567");
  for (auto _ : state) {
    std::string member = MakeMemberKey(account);
    std::string ranking = MakeMemberRankingKey(1612345678901, member);
    benchmark::DoNotOptimize(ranking);
  }
}
BENCHMARK(BM_MakeMemberKeys);

// The per-record work of numbering a ranking slice that Redis returned:
// every member ranking key is read back into an account. Arg: records.
void BM_ParseMemberRankingKeys(benchmark::State& state) {
  std::vector<std::string> members;
  for (int64_t i = 0; i < state.range(0); ++i) {
    members.push_back(MakeMemberRankingKey(
        1612345678901 + i, MakeMemberKey(vel::PlayerAccount(
                               "guest", "player_" + std::to_string(i)))));
  }
  for (auto _ : state) {
    for (const std::string& member : members) {
      vel::PlayerAccount account;
      benchmark::DoNotOptimize(ParseMemberRankingKey(member, &account));
      benchmark::DoNotOptimize(account);
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseMemberRankingKeys)->Arg(1)->Arg(11)->Arg(100);

// Score text for typical values: whole numbers (most games), fractions
// (17 significant digits) and large values (exponent form).
void BM_ScoreToText(benchmark::State& state) {
  const std::vector<double> scores = {123456, 0.1, 98765.4321, 1e20, -3};
  size_t i = 0;
  for (auto _ : state) {
    std::string text = ScoreToText(scores[i]);
    benchmark::DoNotOptimize(text);
    i = (i + 1) % scores.size();
  }
}
BENCHMARK(BM_ScoreToText);

}  // namespace
}  // namespace plemox
