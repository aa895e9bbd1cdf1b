// Rank numbering shared by the ranking cache's command-chain and scripted
// queries, so that both number a slice the same way. Functions of one query;
// any thread (CountDistinctGreaterScores issues blocking Redis reads).
#pragma once

#include <cstdint>
#include <string>

#include "database/cache/query_result.h"
#include "vel/redis/redis.h"

namespace plemox {
namespace redis_cache {

// a + b, held at the ends of the int64 range instead of overflowing.
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b);

// The number of distinct scores greater than `score` among the members of
// ranking `key` at positions 0 to position - 1 (all of which hold at least
// `score`), read in pages; on a leaderboard with a tiebreak (`tie`, the
// member's tiebreak text, not empty) the number of distinct better pairs of
// score and second score. Used for the dense numbering when the dense set
// does not know the score. False when a read failed (*count unchanged).
bool CountDistinctGreaterScores(const std::string& key, std::int64_t position,
                                double score, std::int64_t* count,
                                const std::string& tie = std::string());

// Sets record->tiebreak_score from a member's tiebreak text (none when the
// text is empty).
void SetTiebreak(const std::string& tie, QueryResult::Record* record);

// Ranks a slice of a ranking read highest first, whose first member stands
// at `first_rank` and whose first score `same_count_for_first` members hold
// in the whole ranking (competition numbering only), and appends its
// records to *result. With a tiebreak, members are equal when their score
// and second score are (their tiebreak texts).
void AppendRankedSlice(const vel::Redis::ScoredMembers& members,
                       int ranking_type, std::int64_t first_rank,
                       std::int64_t same_count_for_first, QueryResult* result);

// Ranks a whole ranking read highest first (the first member ranks 1) and
// appends its records to *result; `key` names the ranking in logs.
void AppendRankedRanking(const vel::Redis::ScoredMembers& members,
                         int ranking_type, const std::string& key,
                         QueryResult* result);

}  // namespace redis_cache
}  // namespace plemox
