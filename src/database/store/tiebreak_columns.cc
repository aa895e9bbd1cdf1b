#include "database/store/tiebreak_columns.h"

#include <mutex>

namespace plemox {

namespace {

std::mutex the_mutex;
std::set<std::string>& Ids() {
  static std::set<std::string> ids;  // GUARDED_BY(the_mutex)
  return ids;
}

}  // namespace

void TiebreakColumns::Add(const std::string& leaderboard_id) {
  std::lock_guard<std::mutex> lock(the_mutex);
  Ids().insert(leaderboard_id);
}

bool TiebreakColumns::Has(const std::string& leaderboard_id) {
  std::lock_guard<std::mutex> lock(the_mutex);
  return Ids().count(leaderboard_id) != 0;
}

void TiebreakColumns::ClearForTesting() {
  std::lock_guard<std::mutex> lock(the_mutex);
  Ids().clear();
}

}  // namespace plemox
