// The order of a social list, shared by the cache's social queries and the
// social reads of archived periods, so that both list equal scores alike.
// Pure; any thread.
#pragma once

#include <cmath>
#include <limits>
#include <string>

namespace plemox {

// Whether the entry (score_a, ranking_key_a) of a social list comes before
// (score_b, ranking_key_b): the higher score first; equal scores as the
// public ranking lists them, the greater member ranking key (the earlier
// time) first. A NaN score sorts below every number, so the order stays a
// strict weak order.
inline bool SocialEntryComesFirst(double score_a,
                                  const std::string& ranking_key_a,
                                  double score_b,
                                  const std::string& ranking_key_b) {
  const auto sortable = [](double score) {
    return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
  };
  if (sortable(score_a) != sortable(score_b)) {
    return sortable(score_a) > sortable(score_b);
  }
  return ranking_key_a > ranking_key_b;
}

}  // namespace plemox
