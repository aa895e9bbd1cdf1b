#include "leaderboard/league/league_moves.h"

#include <algorithm>

namespace plemox {

std::vector<int> LeagueMoves::NewTiers(const LeagueRules& rules, int tier,
                                       std::size_t count) {
  const int top = static_cast<int>(rules.tiers.size()) - 1;
  std::vector<int> tiers(count, tier);
  const std::size_t up =
      std::min(count, static_cast<std::size_t>(rules.promote));
  const std::size_t down =
      std::min(count - up, static_cast<std::size_t>(rules.relegate));
  for (std::size_t i = 0; i < up; ++i) tiers[i] = std::min(tier + 1, top);
  for (std::size_t i = count - down; i < count; ++i) {
    tiers[i] = std::max(tier - 1, 0);
  }
  return tiers;
}

const char* LeagueMoves::MoveName(int from, int to) {
  return to > from ? "up" : to < from ? "down" : "stay";
}

}  // namespace plemox
