// LeagueMoves: who moves where at a league's period end. Pure; any thread.
#pragma once

#include <cstddef>
#include <vector>

#include "common/league_rules.h"

namespace plemox {

class LeagueMoves {
 public:
  LeagueMoves() = delete;

  // The new tier of each of the `count` ranked players of a cohort of tier
  // `tier` (index, 0 the lowest), in ranking order: the first
  // rules.promote move up (never above the highest tier), the last
  // rules.relegate of those left move down (never below the lowest), the
  // rest stay. A cohort smaller than promote + relegate promotes first.
  static std::vector<int> NewTiers(const LeagueRules& rules, int tier,
                                   std::size_t count);

  // "up", "down" or "stay": the move from `from` to `to`.
  static const char* MoveName(int from, int to);
};

}  // namespace plemox
