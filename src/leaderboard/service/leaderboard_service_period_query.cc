// Queries of archived periods: the same answers as a live query of the
// ranking, read from the standings the archive kept. Public queries take
// the precomputed ranks of the requested numbering; social queries list the
// player and the competitors as a live social query does (equal scores by
// the earlier time, absent players at 0).
#include <glog/logging.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "common/date_time_text.h"
#include "database/cache/redis_key.h"
#include "database/cache/running_rank.h"
#include "database/cache/social_order.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/period/period_ends.h"
#include "leaderboard/period/period_retention.h"
#include "leaderboard/service/internal/period_query.h"

namespace plemox {
namespace service_internal {
namespace {

using Query = Leaderboard::LeaderboardQuery::Request;
using Range = Leaderboard::LeaderboardQuery::Range;
using boost::posix_time::ptime;

// The rank of `standing` by `ranking_type`, as a live query numbers it.
std::int64_t RankOf(const ArchivedStanding& standing, int ranking_type) {
  if (ranking_type == Query::kPosition) return standing.position + 1;
  if (ranking_type == Query::kCompetition) return standing.competition_rank;
  return standing.dense_rank;
}

QueryResult::Record RecordOf(const ArchivedStanding& standing,
                             int ranking_type) {
  QueryResult::Record record;
  record.rank = RankOf(standing, ranking_type);
  record.score = standing.score;
  record.tiebreak_score = standing.tiebreak_score;
  record.account =
      vel::PlayerAccount(standing.service_provider, standing.local_account);
  return record;
}

vel::PlayerAccount PlayerOf(const Query& query) {
  if (!query.has_account_id()) return vel::PlayerAccount();
  return vel::PlayerAccount(query.account_id().service_provider(),
                            query.account_id().local_account());
}

// Completes a public query with `standings`.
void AnswerPublic(const std::shared_ptr<QueryResult>& result,
                  const std::vector<ArchivedStanding>& standings,
                  int ranking_type, const RedisCache::QueryCallback& callback) {
  result->records.reserve(standings.size());
  for (const ArchivedStanding& standing : standings) {
    result->records.push_back(RecordOf(standing, ranking_type));
  }
  result->error = false;
  callback(result);
}

// Completes a social query: the competitors, then the player unless its
// local id is empty, each with its standing or at 0 when it has none,
// ordered and numbered as a live social query (the best score first by the
// leaderboard's sort order, `option`).
void AnswerSocial(const std::shared_ptr<QueryResult>& result,
                  const std::vector<vel::PlayerAccount>& listed,
                  const std::vector<ArchivedStanding>& standings,
                  int ranking_type, const RankingOption& option,
                  const RedisCache::QueryCallback& callback) {
  std::map<std::pair<std::string, std::string>, const ArchivedStanding*> found;
  for (const ArchivedStanding& standing : standings) {
    // By position, so a player listed twice in a ranking keeps its best.
    found.emplace(
        std::make_pair(standing.service_provider, standing.local_account),
        &standing);
  }
  struct Entry {
    vel::PlayerAccount account;
    std::string ranking_key;
    double score = 0.0;
    std::optional<double> tiebreak_score;
  };
  std::vector<Entry> entries;
  entries.reserve(listed.size());
  for (const vel::PlayerAccount& account : listed) {
    const auto it =
        found.find(std::make_pair(account.service_provider(), account.id()));
    if (it == found.end()) {
      entries.push_back({account, "0:" + MakeMemberKey(account), 0.0, {}});
      continue;
    }
    // The member Redis held: with a tiebreak, the second score orders
    // equal scores.
    const std::optional<double>& tiebreak = it->second->tiebreak_score;
    entries.push_back(
        {account,
         MakeMemberRankingKey(
             std::max<std::int64_t>(0, it->second->time_stamp_ms),
             MakeMemberKey(account),
             tiebreak ? TiebreakToText(option.ToStoredTiebreak(*tiebreak))
                      : std::string()),
         it->second->score, tiebreak});
  }
  // Compared as Redis holds them, where the best score is the highest.
  std::stable_sort(entries.begin(), entries.end(),
                   [&option](const Entry& a, const Entry& b) {
                     return SocialEntryComesFirst(
                         option.ToStoredScore(a.score), a.ranking_key,
                         option.ToStoredScore(b.score), b.ranking_key);
                   });
  RunningRank running_rank(ranking_type);
  for (const Entry& entry : entries) {
    QueryResult::Record record;
    record.rank =
        running_rank.Next(entry.score, MemberTiebreakText(entry.ranking_key));
    record.score = entry.score;
    record.tiebreak_score = entry.tiebreak_score;
    record.account = entry.account;
    result->records.push_back(std::move(record));
  }
  result->total_player_count = static_cast<std::int64_t>(entries.size());
  result->error = false;
  callback(result);
}

// Reads the records of `query` from archived period `period`.
void ReadPeriod(const std::shared_ptr<PeriodStore>& store,
                const PeriodStore::ArchivedPeriod& period, const Query& query,
                const RedisCache::QueryCallback& callback) {
  auto result = std::make_shared<QueryResult>();
  const int ranking_type = query.ranking_type();
  const auto on_standings = [result, ranking_type, callback](
                                bool failed,
                                const std::vector<ArchivedStanding>& rows) {
    if (failed) {
      callback(result);
      return;
    }
    AnswerPublic(result, rows, ranking_type, callback);
  };
  if (query.collection() == Leaderboard::LeaderboardQuery::kSocial) {
    std::vector<vel::PlayerAccount> listed;
    for (const auto& competitor : query.competitors()) {
      listed.emplace_back(competitor.service_provider(),
                          competitor.local_account());
    }
    const vel::PlayerAccount player = PlayerOf(query);
    if (!player.id().empty()) listed.push_back(player);
    RankingOption option;
    RankingOptions::GetRankingOption(query.leaderboard_id(), &option);
    if (listed.empty()) {
      AnswerSocial(result, listed, {}, ranking_type, option, callback);
      return;
    }
    store->ReadPlayers(
        period.period_id, listed,
        [result, listed, ranking_type, option, callback](
            bool failed, const std::vector<ArchivedStanding>& rows) {
          if (failed) {
            callback(result);
            return;
          }
          AnswerSocial(result, listed, rows, ranking_type, option, callback);
        });
    return;
  }
  result->total_player_count = period.player_count;
  const Range& range = query.range();
  switch (range.type()) {
    case Range::kAll:
      store->ReadStandings(period.period_id, 0, period.player_count - 1,
                           on_standings);
      return;
    case Range::kFromTop:
      store->ReadStandings(period.period_id, range.begin(), range.end(),
                           on_standings);
      return;
    default: {
      const vel::PlayerAccount player = PlayerOf(query);
      store->ReadPlayerWindow(
          period.period_id, player, range.begin(), range.end(),
          [result, player, ranking_type, callback](
              bool failed, const std::optional<std::int64_t>& position,
              const std::vector<ArchivedStanding>& rows) {
            if (failed) {
              callback(result);
              return;
            }
            if (!position) {
              // As live: the requester without an entry, rank 0.
              QueryResult::Record record;
              record.account = player;
              result->records.push_back(std::move(record));
              result->error = false;
              callback(result);
              return;
            }
            AnswerPublic(result, rows, ranking_type, callback);
          });
      return;
    }
  }
}

// `callback` after the records of a complete result got their players'
// current names and metadata, as live queries give them.
RedisCache::QueryCallback WithProfiles(std::shared_ptr<PeriodStore> store,
                                       std::string leaderboard_id,
                                       RedisCache::QueryCallback callback) {
  return [store = std::move(store), leaderboard_id = std::move(leaderboard_id),
          callback =
              std::move(callback)](const std::shared_ptr<QueryResult>& result) {
    if (result->error) {
      callback(result);
      return;
    }
    std::vector<vel::PlayerAccount> accounts;
    for (const QueryResult::Record& record : result->records) {
      accounts.push_back(record.account);
    }
    LookUpProfiles(
        store, leaderboard_id, accounts,
        [result, callback](bool failed, const ProfileLookup& profiles) {
          result->error = failed;
          for (QueryResult::Record& record : result->records) {
            const auto it = profiles.find(std::make_pair(
                record.account.service_provider(), record.account.id()));
            if (it == profiles.end()) continue;
            record.display_name = it->second.display_name;
            record.metadata = it->second.metadata;
          }
          callback(result);
        });
  };
}

// Completes `callback` with a refusal that says why.
void Refuse(const std::string& refusal,
            const RedisCache::QueryCallback& callback) {
  auto result = std::make_shared<QueryResult>();
  result->refusal = refusal;
  callback(result);
}

}  // namespace

bool ParsePeriodStart(const std::string& text, ptime* from, ptime* to) {
  const auto digits = [&text](std::size_t begin, std::size_t end) {
    return std::all_of(text.begin() + begin, text.begin() + end,
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!(text.size() == 8 && digits(0, 8)) &&
      !(text.size() == 15 && digits(0, 8) && text[8] == 'T' && digits(9, 15))) {
    return false;
  }
  // "2026-12-07 00:00:00", which ParseDateTime checks for a real date.
  const std::string time = text.size() == 8
                               ? "00:00:00"
                               : text.substr(9, 2) + ":" + text.substr(11, 2) +
                                     ":" + text.substr(13, 2);
  ptime start;
  if (!ParseDateTime(text.substr(0, 4) + "-" + text.substr(4, 2) + "-" +
                         text.substr(6, 2) + " " + time,
                     &start)) {
    return false;
  }
  *from = start;
  *to = text.size() == 8 ? start + boost::posix_time::hours(24)
                         : start + boost::posix_time::seconds(1);
  return true;
}

std::string ArchivedPeriodOf(Leaderboard::LeaderboardQuery::TimeSpan timespan) {
  switch (timespan) {
    case Leaderboard::LeaderboardQuery::kDaily:
    case Leaderboard::LeaderboardQuery::kYesterday:
      return "day";
    case Leaderboard::LeaderboardQuery::kWeekly:
    case Leaderboard::LeaderboardQuery::kLastWeek:
      return "week";
    case Leaderboard::LeaderboardQuery::kMonthly:
    case Leaderboard::LeaderboardQuery::kLastMonth:
      return "month";
    default:
      return "";
  }
}

std::string CheckArchivedPeriodQuery(const Query& query) {
  ptime from, to;
  if (!ParsePeriodStart(query.period_start(), &from, &to)) {
    return "period_start must be YYYYMMDD or YYYYMMDDTHHMMSS";
  }
  if (ArchivedPeriodOf(query.time_span()).empty()) {
    return "period_start needs the time span of a day, week or month";
  }
  return "";
}

void LookUpProfiles(
    const std::shared_ptr<PeriodStore>& store,
    const std::string& leaderboard_id,
    const std::vector<vel::PlayerAccount>& accounts,
    std::function<void(bool failed, const ProfileLookup& profiles)> callback) {
  if (accounts.empty()) {
    callback(false, {});
    return;
  }
  store->ReadProfiles(
      leaderboard_id, accounts,
      [callback = std::move(callback)](
          bool failed, const std::vector<PlayerProfileRow>& rows) {
        ProfileLookup profiles;
        for (const PlayerProfileRow& row : rows) {
          profiles.emplace(
              std::make_pair(row.service_provider, row.local_account), row);
        }
        callback(failed, profiles);
      });
}

void QueryArchivedPeriod(const Query& query,
                         RedisCache::QueryCallback callback) {
  const std::string period = ArchivedPeriodOf(query.time_span());
  const auto store = PeriodEnds::store();
  if (!store || !PeriodRetention::Keeps(period)) {
    Refuse("Unknown period: the archive keeps no " + period + " periods",
           callback);
    return;
  }
  ptime from, to;
  ParsePeriodStart(query.period_start(), &from, &to);
  const ptime cutoff = PeriodRetention::Cutoff(period, ResetSchedule::Now());
  const std::string refusal = "Unknown or expired period: no " + period +
                              " period of " + query.leaderboard_id() +
                              " starting at " + query.period_start() +
                              " is archived";
  store->FindPeriod(
      query.leaderboard_id(), period, from, to, cutoff,
      [store, query, refusal, callback = std::move(callback)](
          bool failed,
          const std::optional<PeriodStore::ArchivedPeriod>& found) {
        if (failed) {
          callback(std::make_shared<QueryResult>());
          return;
        }
        if (!found) {
          VLOG(1) << refusal;
          Refuse(refusal, callback);
          return;
        }
        ReadPeriod(store, *found, query,
                   WithProfiles(store, query.leaderboard_id(), callback));
      });
}

}  // namespace service_internal
}  // namespace plemox
