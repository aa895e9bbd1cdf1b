// What the public and social ranking queries of the ranking cache have in
// common: the query as asked and its ranking key (database library only).
// Owned by the query; one thread at a time.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <memory>
#include <sstream>
#include <string>

#include "database/cache/redis_cache.h"

namespace plemox {

struct RedisCache::QueryContext {
  std::string leaderboard_id;
  vel::PlayerAccount account;
  Timespan timespan = Leaderboard::LeaderboardQuery::kAllTime;
  Range range;
  int ranking_type = Leaderboard::LeaderboardQuery::Request::kPosition;
  boost::posix_time::ptime week_time;
  QueryCallback callback;
  std::string key;
  // The league of the leaderboard, or null: a league's records carry their
  // players' tiers, read by the same script call.
  std::shared_ptr<const LeagueRules> league;

  // ", account id: <id>, service provider: <provider>"
  std::string AccountLabels() const {
    std::ostringstream labels;
    labels << ", account id: " << account.id()
           << ", service provider: " << account.service_provider();
    return labels.str();
  }
  // ", range type: <t>, range begin: <b>, range end: <e>"
  std::string RangeLabels() const {
    std::ostringstream labels;
    labels << ", range type: " << range.type()
           << ", range begin: " << range.begin()
           << ", range end: " << range.end();
    return labels.str();
  }
};

}  // namespace plemox
