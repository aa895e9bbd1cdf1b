// Rank numbering shared by the command-chain and scripted queries.
#include "database/cache/internal/redis_cache_numbering.h"

#include <glog/logging.h>

#include <algorithm>
#include <limits>

#include "database/cache/internal/redis_commands.h"
#include "database/cache/redis_key.h"
#include "database/cache/running_rank.h"

namespace plemox {
namespace redis_cache {

namespace {

using Leaderboard::LeaderboardQuery;
using vel::Redis;

// Members read per ZREVRANGE when counting distinct scores without a dense
// set.
constexpr std::int64_t kDistinctScorePageSize = 1000;

}  // namespace

// a + b, held at the ends of the int64 range instead of overflowing.
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

// The number of distinct scores greater than `score` among the members at
// positions 0 to position - 1 (all of which hold at least `score`); with a
// tiebreak (`tie` not empty), of distinct better pairs of score and second
// score. Used for the dense numbering when the dense set does not know the
// score.
bool CountDistinctGreaterScores(const std::string& key, std::int64_t position,
                                double score, std::int64_t* count,
                                const std::string& tie) {
  std::int64_t distinct = 0;
  bool has_previous = false;
  double previous = 0.0;
  std::string previous_tie;
  for (std::int64_t from = 0; from < position; from += kDistinctScorePageSize) {
    const std::int64_t to =
        std::min(position, from + kDistinctScorePageSize) - 1;
    Redis::ScoredMembers page;
    if (Redis::ZRevRange(key, from, to, true, &page, kServerTag) !=
        Redis::kSuccess) {
      return false;
    }
    for (const auto& member : page) {
      const std::string member_tie =
          tie.empty() ? std::string() : MemberTiebreakText(member.first);
      if (!(member.second > score ||
            (member.second == score && member_tie > tie))) {
        continue;
      }
      if (!has_previous || member.second != previous ||
          member_tie != previous_tie) {
        ++distinct;
      }
      previous = member.second;
      previous_tie = member_tie;
      has_previous = true;
    }
    if (static_cast<std::int64_t>(page.size()) < to - from + 1) break;
  }
  *count = distinct;
  return true;
}

// Ranks a slice of a ranking read highest first, whose first member stands
// at `first_rank` and whose first score `same_count_for_first` members hold
// in the whole ranking (competition numbering only).
void AppendRankedSlice(const Redis::ScoredMembers& members, int ranking_type,
                       std::int64_t first_rank,
                       std::int64_t same_count_for_first, QueryResult* result) {
  std::int64_t rank = first_rank;
  std::int64_t run_length = 1;
  bool first_group_spent = false;
  result->records.reserve(result->records.size() + members.size());
  std::string previous_tie;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const double score = members[i].second;
    std::string tie = MemberTiebreakText(members[i].first);
    if (i > 0) {
      const bool same = score == members[i - 1].second && tie == previous_tie;
      if (ranking_type == LeaderboardQuery::Request::kPosition) {
        rank += 1;
      } else if (ranking_type == LeaderboardQuery::Request::kCompetition) {
        if (same) {
          ++run_length;
        } else {
          rank += first_group_spent ? run_length : same_count_for_first;
          first_group_spent = true;
          run_length = 1;
        }
      } else if (!same) {
        rank += 1;
      }
    }
    QueryResult::Record record;
    record.rank = rank;
    record.score = score;
    SetTiebreak(tie, &record);
    if (!ParseMemberRankingKey(members[i].first, &record.account)) {
      LOG(WARNING) << "Malformed member ranking key: " << members[i].first;
    }
    result->records.push_back(std::move(record));
    previous_tie = std::move(tie);
  }
}

void SetTiebreak(const std::string& tie, QueryResult::Record* record) {
  double value = 0;
  if (!tie.empty() && TiebreakFromText(tie, &value)) {
    record->tiebreak_score = value;
  }
}

void AppendRankedRanking(const Redis::ScoredMembers& members, int ranking_type,
                         const std::string& key, QueryResult* result) {
  RunningRank running_rank(ranking_type);
  result->records.reserve(result->records.size() + members.size());
  for (const auto& [member, score] : members) {
    QueryResult::Record record;
    const std::string tie = MemberTiebreakText(member);
    record.rank = running_rank.Next(score, tie);
    record.score = score;
    SetTiebreak(tie, &record);
    if (!ParseMemberRankingKey(member, &record.account)) {
      LOG(WARNING) << "Malformed member ranking key: " << member
                   << ", key: " << key;
    }
    result->records.push_back(std::move(record));
  }
}

}  // namespace redis_cache
}  // namespace plemox
