// RedisCache: reading back what a submission with an uncertain outcome left
// in the rankings, and repairing a member index that a write left half-way.
// Both depend only on the keys and members a submission writes, not on how
// the submission was sent.
#include <glog/logging.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cstdint>
#include <optional>

#include "common/leaderboard_assert.h"
#include "common/period_ranking.h"
#include "database/cache/internal/new_record_result.h"
#include "database/cache/internal/redis_cache_script.h"
#include "database/cache/internal/redis_commands.h"
#include "database/cache/redis_cache.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using redis_cache::kServerTag;
using redis_cache::NewRecordResult;
using redis_cache::ReadSucceeded;
using vel::Redis;

// ZSCAN steps of a stray search, and the members asked for per step: enough
// for rankings of ten million members.
constexpr int kMaxScanSteps = 10000;
constexpr std::int64_t kScanCount = 1000;

// `text` with the glob characters of a MATCH pattern escaped.
std::string EscapeGlob(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

// The time of a ranking member of `member_key` ("<inverted digits>:" +
// member key), or nothing when `member` is not one.
std::optional<std::uint64_t> MemberTime(const std::string& member,
                                        const std::string& member_key) {
  const std::size_t digits = member.size() - member_key.size() - 1;
  std::int64_t time = 0;
  if (member.size() <= member_key.size() + 1 || member.find(':') != digits ||
      member.compare(digits + 1, std::string::npos, member_key) != 0 ||
      !ParseMemberRankingTime(member, &time)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(time);
}

}  // namespace

bool RedisCache::AdoptStrayMember(const std::string& key,
                                  const std::string& timestamp_key,
                                  const std::string& member_key,
                                  std::string* ranking_key, double* score) {
  const std::string pattern = "*:" + EscapeGlob(member_key);
  std::string cursor = "0";
  std::vector<std::pair<std::uint64_t, std::pair<std::string, double>>> found;
  for (int step = 0; step < kMaxScanSteps; ++step) {
    Redis::ScoredMembers members;
    std::string next;
    if (Redis::ZScan(key, cursor, pattern, kScanCount, &next, &members,
                     kServerTag) != Redis::kSuccess) {
      LOG(ERROR) << "Failed to look for a stray member: " << key
                 << ", member key: " << member_key;
      return false;
    }
    for (auto& [member, member_score] : members) {
      const auto time = MemberTime(member, member_key);
      if (time) found.push_back({*time, {std::move(member), member_score}});
    }
    cursor = next;
    if (cursor == "0") break;
  }
  if (found.empty()) return false;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  const auto& latest = found.back().second;
  if (Redis::HSet(timestamp_key, member_key, latest.first, kServerTag) !=
      Redis::kSuccess) {
    LOG(ERROR) << "Failed to restore the member ranking key: " << timestamp_key
               << ", member key: " << member_key
               << ", member ranking key: " << latest.first;
    return false;
  }
  LOG(WARNING) << "Member ranking key not in the ranking; the player's "
                  "previous member is its entry again: "
               << key << ", member key: " << member_key
               << ", member ranking key: " << latest.first
               << ", score: " << latest.second
               << ", older strays removed: " << found.size() - 1;
  for (std::size_t i = 0; i + 1 < found.size(); ++i) {
    // A stray left behind is removed by the next repair.
    if (Redis::ZRem(key, found[i].second.first, kServerTag) !=
        Redis::kSuccess) {
      LOG(ERROR) << "Failed to remove a stray member: " << key
                 << ", member ranking key: " << found[i].second.first;
    }
  }
  *ranking_key = latest.first;
  *score = latest.second;
  return true;
}

void RedisCache::ReadBackSubmission(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int64_t timestamp_in_msec,
    const ResetScheduleInfo& schedule, const RankingOption& option,
    const SubmissionExtras& extras, SubmitOutcomeCallback callback) {
  VLOG(2) << "ReadBackSubmission called";
  LEADERBOARD_ASSERT(the_io_service) << "RedisCache is not initialised";
  if (option.ascending()) {
    // The reads see stored scores; the completion gets real ones.
    score = option.ToStoredScore(score);
    callback = [option,
                callback = std::move(callback)](const SubmitOutcome& outcome) {
      if (callback) callback(WithRealScores(option, outcome));
    };
  }
  if (extras.submission_id.empty()) {
    boost::asio::post(
        *the_io_service,
        [leaderboard_id, account, score, timestamp_in_msec, schedule, option,
         extras, callback = std::move(callback)] {
          OnReadBackRequested(leaderboard_id, account, score, timestamp_in_msec,
                              schedule, option, extras, callback);
        });
    return;
  }
  // The script writes the id's record together with everything else: the
  // record tells exactly whether, and by which copy, it was applied.
  const std::string key =
      MakeSubmissionIdKey(leaderboard_id, extras.submission_id);
  Redis::GetAsync(
      key,
      [key, schedule, token = extras.token, callback = std::move(callback)](
          Redis::Result result, const std::string& value) {
        SubmitOutcome outcome;
        Script::SubmissionRecord record;
        if (result == Redis::kNoValue) {
          // No copy of it ran: nothing of it is in Redis.
          outcome.status = SubmitStatus::kStored;
        } else if (result != Redis::kSuccess) {
          LOG(WARNING) << "Failed to read back the submission id's record: "
                       << key << ", result: " << Redis::ResultName(result);
        } else if (!Script::ParseSubmissionRecord(value, &record) ||
                   !Script::ToNewRecords(record.outcomes,
                                         KeptPeriodRankings(schedule, false),
                                         outcome.new_records.get())) {
          LOG(ERROR) << "Failed to read back the submission id's record: "
                     << key << ", malformed record";
          outcome.new_records->clear();
        } else {
          outcome.status = record.token == token ? SubmitStatus::kStored
                                                 : SubmitStatus::kResent;
          outcome.profile_changed = record.profile_changed;
        }
        boost::asio::post(*the_cb_io_service, [callback, outcome] {
          if (callback) callback(outcome);
        });
      },
      kServerTag);
}

void RedisCache::OnReadBackRequested(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int64_t timestamp_in_msec,
    const ResetScheduleInfo& schedule, const RankingOption& option,
    const SubmissionExtras& extras, const SubmitOutcomeCallback& callback) {
  SubmitOutcome outcome;
  const auto finish = [&callback, &outcome](SubmitStatus status) {
    outcome.status = status;
    boost::asio::post(*the_cb_io_service, [callback, outcome] {
      if (callback) callback(outcome);
    });
  };
  if (timestamp_in_msec < 0) {
    // No submission writes with such a time; there is nothing of it to find.
    finish(SubmitStatus::kStored);
    return;
  }
  const std::string member_key = MakeMemberKey(account);
  const std::string ranking_key = MakeMemberRankingKey(
      timestamp_in_msec, member_key, TiebreakTextOf(option, extras));
  NewRecords& stored = *outcome.new_records;
  for (const PeriodRanking& period : KeptPeriodRankings(schedule, false)) {
    const std::string key =
        MakeLeaderboardKey(leaderboard_id, period.timespan, period.week_time);
    bool held = false;
    double stored_score = score;
    if (!ReadBackRanking(key, member_key, ranking_key, &held, &stored_score)) {
      finish(SubmitStatus::kFailed);
      return;
    }
    stored.emplace_back(held ? NewRecordResult(period.timespan)
                             : ScoreSubmission::Response::kNone,
                        held ? stored_score : score);
  }
  if (option.enable_alltime) {
    const std::string key =
        MakeLeaderboardKey(leaderboard_id, LeaderboardQuery::kAllTime,
                           boost::posix_time::not_a_date_time);
    bool held = false;
    double stored_score = score;
    if (!ReadBackRanking(key, member_key, ranking_key, &held, &stored_score)) {
      finish(SubmitStatus::kFailed);
      return;
    }
    if (held) {
      stored.emplace_back(NewRecordResult(LeaderboardQuery::kAllTime),
                          stored_score);
    }
  }
  if (extras.display_name || extras.metadata) {
    // Whether the profile holds what the submission carried.
    const std::string profile_key = MakeLeaderboardProfileKey(leaderboard_id);
    std::string packed;
    const Redis::Result result =
        Redis::HGet(profile_key, member_key, &packed, kServerTag);
    if (!ReadSucceeded(result)) {
      LOG(WARNING) << "Failed to read back the profile: " << profile_key
                   << ", member key: " << member_key
                   << ", result: " << Redis::ResultName(result);
      finish(SubmitStatus::kFailed);
      return;
    }
    std::string display_name;
    std::string metadata;
    if (result == Redis::kSuccess) {
      UnpackProfile(packed, &display_name, &metadata);
    }
    outcome.profile_changed =
        (!extras.display_name || *extras.display_name == display_name) &&
        (!extras.metadata || *extras.metadata == metadata);
  }
  finish(SubmitStatus::kStored);
}

bool RedisCache::ReadBackRanking(const std::string& key,
                                 const std::string& member_key,
                                 const std::string& ranking_key, bool* held,
                                 double* stored_score) {
  *held = false;
  const std::string timestamp_key = MakeLeaderboardTimestampKey(key);
  std::string indexed;
  Redis::Result result =
      Redis::HGet(timestamp_key, member_key, &indexed, kServerTag);
  if (!ReadSucceeded(result)) {
    LOG(WARNING) << "Failed to read back the member ranking key: "
                 << timestamp_key << ", member key: " << member_key
                 << ", result: " << Redis::ResultName(result);
    return false;
  }
  // Another time in the index: this submission did not write here (or a
  // later one of the player replaced it, which reports its own records).
  if (result == Redis::kNoValue || indexed != ranking_key) return true;
  result = Redis::ZScore(key, ranking_key, stored_score, kServerTag);
  if (!ReadSucceeded(result)) {
    LOG(WARNING) << "Failed to read back the score: " << key
                 << ", member ranking key: " << ranking_key
                 << ", result: " << Redis::ResultName(result);
    return false;
  }
  // An index that names a member the ranking lacks is no entry: the write
  // stopped half-way.
  *held = result == Redis::kSuccess;
  return true;
}

}  // namespace plemox
