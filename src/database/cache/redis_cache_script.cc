// RedisCache: the scripted path, the path of submissions and public queries
// with --redis_cache_use_scripts (the default): each is one server-side Lua
// script (src/database/cache/lua/) sent on the pipelined connections created
// here, one Redis round trip. Their effects and answers are those of the
// command chain (redis_cache_chain.cc), the reference they are held to; being
// atomic, a script also never shows a half-written submission to a reader and
// never stops half-way. The scripted social query is in
// redis_cache_social_script.cc.
#include "database/cache/internal/redis_cache_script.h"

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <sstream>

#include "common/leaderboard_flags.h"
#include "common/period_ranking.h"
#include "database/cache/internal/lua_sources.h"
#include "database/cache/internal/new_record_result.h"
#include "database/cache/internal/redis_cache_numbering.h"
#include "database/cache/internal/redis_cache_public_query.h"
#include "database/cache/internal/redis_commands.h"
#include "vel/redis/redis_script.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using redis_cache::AppendRankedRanking;
using redis_cache::AppendRankedSlice;
using redis_cache::CountDistinctGreaterScores;
using redis_cache::kServerTag;
using redis_cache::NewRecordResult;
using redis_cache::ParseScoreText;
using redis_cache::SetTiebreak;
using vel::Redis;
using vel::RedisValue;

// The scripts' outcomes per ranking (submit_score.lua).
constexpr std::int64_t kNotNewRecord = 0;
constexpr std::int64_t kOverStoredScore = 1;
constexpr std::int64_t kDanglingIndexEntry = 3;
constexpr std::int64_t kLastOutcome = 3;

// Range offsets go to Lua as doubles; beyond 2^52 positions no ranking
// reaches, so clamping there changes no answer and keeps them exact.
constexpr std::int64_t kMaxOffset = std::int64_t{1} << 52;

const vel::RedisScript& SubmitScoreScript() {
  static const vel::RedisScript script("submit_score",
                                       lua_sources::kSubmitScore);
  return script;
}

const vel::RedisScript& PublicQueryScript() {
  static const vel::RedisScript script("public_query",
                                       lua_sources::kPublicQuery);
  return script;
}

bool IsText(const RedisValue& value, const char* text) {
  return value.type == RedisValue::kString && value.text == text;
}

// Flat {member, score, ...} of a script's answer as scored members.
// The member names are moved out of *value.
bool ToScoredMembers(RedisValue* value_in, Redis::ScoredMembers* out) {
  RedisValue& value = *value_in;
  if (!value.is_array() || value.elements.size() % 2 != 0) return false;
  out->clear();
  out->reserve(value.elements.size() / 2);
  for (std::size_t i = 0; i < value.elements.size(); i += 2) {
    RedisValue& member = value.elements[i];
    double score = 0.0;
    if (member.type != RedisValue::kString ||
        value.elements[i + 1].type != RedisValue::kString ||
        !ParseScoreText(value.elements[i + 1].text, &score)) {
      return false;
    }
    out->emplace_back(std::move(member.text), score);
  }
  return true;
}

// Public queries are spread over the connections in turn.
std::atomic<std::size_t> the_query_lane{0};

// Whether numbering the answer's first member needs the dense fallback (a
// score the dense set lacks), which counts with blocking commands.
bool NeedsCountFallback(int ranking_type, const RedisValue& answer) {
  if (ranking_type == LeaderboardQuery::Request::kPosition ||
      ranking_type == LeaderboardQuery::Request::kCompetition) {
    return false;
  }
  // A slice: {count, "slice", start, members, facts, profiles[, tiers]}.
  if (!answer.is_array() || answer.elements.size() < 6 ||
      answer.elements[1].text != "slice") {
    return false;
  }
  const RedisValue& facts = answer.elements[4];
  return facts.is_array() && facts.elements.size() == 1 &&
         facts.elements[0].is_nil();
}

std::int64_t ClampOffset(std::int64_t offset) {
  return std::clamp(offset, -kMaxOffset, kMaxOffset);
}

// Sets the display name and metadata of *record from a packed profile of a
// script's answer (nil: the player has none). False when malformed.
bool ReadProfile(const RedisValue& packed, QueryResult::Record* record) {
  if (packed.is_nil()) return true;
  return packed.type == RedisValue::kString &&
         UnpackProfile(packed.text, &record->display_name, &record->metadata);
}

// The profiles of a slice's answer (empty, or one per member) onto the
// records from `first` on, which hold the slice's members in order.
bool ReadProfiles(const RedisValue& profiles, std::size_t first,
                  QueryResult* result) {
  if (!profiles.is_array()) return false;
  if (profiles.elements.empty()) return true;
  if (profiles.elements.size() != result->records.size() - first) {
    return false;
  }
  for (std::size_t i = 0; i < profiles.elements.size(); ++i) {
    if (!ReadProfile(profiles.elements[i], &result->records[first + i])) {
      return false;
    }
  }
  return true;
}

// The tiers of a league slice's answer (empty: every player in the lowest
// tier; else one per member) onto the records, which hold the slice's
// members in order.
bool ReadTiers(const LeagueRules& league, const RedisValue& tiers,
               QueryResult* result) {
  if (!tiers.is_array()) return false;
  if (!tiers.elements.empty() &&
      tiers.elements.size() != result->records.size()) {
    return false;
  }
  for (std::size_t i = 0; i < result->records.size(); ++i) {
    result->records[i].tier = redis_cache::TierName(
        league, tiers.elements.empty() ? RedisValue() : tiers.elements[i]);
  }
  return true;
}

}  // namespace

std::unique_ptr<vel::RedisPipeline> RedisCache::Script::the_pipeline;

void RedisCache::Script::CreatePipeline(std::size_t connections) {
  // A new connection loads the scripts first, so that a restarted or
  // failed-over server has them before the first EVALSHA reaches it.
  the_pipeline = std::make_unique<vel::RedisPipeline>(
      the_io_service, kServerTag, connections,
      std::vector<std::vector<std::string>>{SubmitScoreScript().LoadCommand(),
                                            PublicQueryScript().LoadCommand(),
                                            SocialQueryScript().LoadCommand()});
}

std::size_t RedisCache::Script::NextQueryLane() {
  return the_query_lane.fetch_add(1, std::memory_order_relaxed);
}

bool RedisCache::LoadScripts() {
  bool loaded = true;
  for (const vel::RedisScript* script :
       {&SubmitScoreScript(), &PublicQueryScript(),
        &Script::SocialQueryScript()}) {
    if (script->Load(kServerTag) != Redis::kSuccess) loaded = false;
  }
  return loaded;
}

// --- Submission. -----------------------------------------------------------

bool RedisCache::Script::ToNewRecords(
    const std::vector<ScriptOutcome>& outcomes,
    const std::vector<PeriodRanking>& periods, NewRecords* new_records) {
  // The period rankings, then maybe all-time.
  if (outcomes.size() != periods.size() &&
      outcomes.size() != periods.size() + 1) {
    return false;
  }
  for (const ScriptOutcome& outcome : outcomes) {
    if (outcome.first < kNotNewRecord || outcome.first > kLastOutcome) {
      return false;
    }
  }
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const auto& [code, new_score] = outcomes[i];
    const bool new_record = code != kNotNewRecord;
    if (i == periods.size()) {
      if (new_record) {
        new_records->emplace_back(NewRecordResult(LeaderboardQuery::kAllTime),
                                  new_score);
      }
      continue;
    }
    const Timespan timespan = periods[i].timespan;
    VLOG(2) << (new_record ? "ScoreSubmitted result: new record: "
                           : "It is not new record: ")
            << TimespanToString(timespan) << ", score: " << new_score
            << (code == kOverStoredScore ? ", over the stored one" : "");
    new_records->emplace_back(new_record ? NewRecordResult(timespan)
                                         : ScoreSubmission::Response::kNone,
                              new_score);
  }
  return true;
}

bool RedisCache::Script::ParseSubmissionRecord(const std::string& text,
                                               SubmissionRecord* record) {
  // token \n profile changed \n outcome score ... \n fingerprint
  const std::size_t first = text.find('\n');
  const std::size_t second =
      first == std::string::npos ? first : text.find('\n', first + 1);
  const std::size_t third =
      second == std::string::npos ? second : text.find('\n', second + 1);
  if (third == std::string::npos) return false;
  const std::string changed = text.substr(first + 1, second - first - 1);
  if (changed != "0" && changed != "1") return false;
  std::istringstream pairs(text.substr(second + 1, third - second - 1));
  std::vector<ScriptOutcome> outcomes;
  std::int64_t code = 0;
  std::string score_text;
  while (pairs >> code) {
    double score = 0.0;
    if (!(pairs >> score_text) || !ParseScoreText(score_text, &score)) {
      return false;
    }
    outcomes.emplace_back(code, score);
  }
  if (!pairs.eof()) return false;
  record->token = text.substr(0, first);
  record->profile_changed = changed == "1";
  record->outcomes = std::move(outcomes);
  return true;
}

void RedisCache::Script::SubmitScore(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    double score, std::int32_t submission_type, std::int64_t timestamp_in_msec,
    const ResetScheduleInfo& schedule, const RankingOption& option,
    const SubmissionExtras& extras, std::size_t lane,
    SubmitOutcomeCallback callback) {
  const std::string member_key = MakeMemberKey(account);
  // The timestamp becomes the member's time prefix, which has no sign.
  if (timestamp_in_msec < 0) {
    LOG(ERROR) << "Failed to submit score: leaderboard id: " << leaderboard_id
               << ", member key: " << member_key
               << ", negative timestamp: " << timestamp_in_msec
               << ", submission type: " << submission_type;
    callback(SubmitOutcome());
    return;
  }

  const std::vector<PeriodRanking> periods =
      KeptPeriodRankings(schedule, false);
  auto keys_holder = std::make_shared<std::vector<std::string>>();
  std::vector<std::string>& keys = *keys_holder;
  keys.reserve(3 * (periods.size() + 1) + 2);
  const auto add_keys = [&](Timespan timespan,
                            const boost::posix_time::ptime& week_time) {
    keys.push_back(MakeLeaderboardKey(leaderboard_id, timespan, week_time));
    keys.push_back(MakeLeaderboardTimestampKey(keys.back()));
    keys.push_back(
        MakeLeaderboardDenseKey(leaderboard_id, timespan, week_time));
  };
  for (const PeriodRanking& period : periods) {
    add_keys(period.timespan, period.week_time);
  }
  add_keys(LeaderboardQuery::kAllTime, boost::posix_time::not_a_date_time);
  keys.push_back(MakeLeaderboardProfileKey(leaderboard_id));
  keys.push_back(MakeSubmissionIdKey(leaderboard_id, extras.submission_id));
  const bool with_id = !extras.submission_id.empty();
  std::vector<std::string> args = {
      member_key,
      MakeMemberRankingKey(timestamp_in_msec, member_key,
                           TiebreakTextOf(option, extras)),
      ScoreToText(score),
      std::to_string(submission_type),
      option.enable_dense ? "1" : "0",
      option.enable_alltime ? "1" : "0",
      extras.display_name ? "1" : "0",
      extras.display_name.value_or(""),
      extras.metadata ? "1" : "0",
      extras.metadata.value_or(""),
      with_id ? std::to_string(
                    std::max<std::int64_t>(1, FLAGS_submission_id_ttl_seconds))
              : "0",
      extras.token,
  };
  if (option.is_league()) {
    AddLeagueArguments(leaderboard_id, *option.league, schedule, &keys, &args);
  }
  const auto labels = [leaderboard_id, member_key, timestamp_in_msec, score,
                       submission_type, with_id] {
    std::ostringstream text;
    text << ": leaderboard id: " << leaderboard_id
         << ", member key: " << member_key
         << ", timestamp: " << timestamp_in_msec << ", score: " << score
         << ", submission type: " << submission_type
         << (with_id ? ", with a submission id" : "");
    return text.str();
  };

  SubmitScoreScript().RunAsync(
      *the_pipeline, lane, keys, args,
      [keys_holder, periods, member_key, labels,
       callback = std::move(callback)](Redis::Result result, RedisValue answer,
                                       bool maybe_ran) {
        const std::vector<std::string>& keys = *keys_holder;
        SubmitOutcome outcome;
        if (result == Redis::kConnectionFailure && maybe_ran) {
          // The one place where a scripted submission's outcome is unknown: the
          // script was sent and no answer came, so Redis may hold all of it or
          // none of it.
          LOG(ERROR)
              << "Failed to submit score: the connection to Redis failed, "
                 "the submission may or may not have been stored"
              << labels();
          outcome.status = SubmitStatus::kUncertain;
          callback(outcome);
          return;
        }
        if (result != Redis::kSuccess) {
          LOG(ERROR) << "Failed to submit score: the submission script failed: "
                     << Redis::ResultName(result)
                     << (answer.type == RedisValue::kError ? ": " + answer.text
                                                           : std::string())
                     << labels();
          callback(outcome);
          return;
        }
        const std::vector<RedisValue>& elements = answer.elements;
        const bool refusal_shaped = answer.is_array() && !elements.empty() &&
                                    elements.size() <= 2 &&
                                    elements[0].type == RedisValue::kString;
        if (refusal_shaped && elements[0].text == "nan") {
          LOG(ERROR) << "Failed to submit score: the score to store is not a "
                        "number, nothing was written: ranking "
                     << elements.back().integer << labels();
          callback(outcome);
          return;
        }
        if (refusal_shaped &&
            (elements[0].text == "inf" || elements[0].text == "reused")) {
          outcome.status = SubmitStatus::kRefused;
          outcome.refusal =
              elements[0].text == "inf"
                  ? "The resulting score is not finite: it would exceed the "
                    "range of a double; nothing was stored"
                  : "The submission_id was used by another submission (another "
                    "player, score or type)";
          LOG(WARNING) << "Refused a submission: " << outcome.refusal
                       << labels();
          callback(outcome);
          return;
        }

        // {kind, profile changed, outcome, score, ...}
        const bool resent = answer.is_array() && elements.size() >= 2 &&
                            IsText(elements[0], "resent");
        bool well_formed = answer.is_array() && elements.size() >= 2 &&
                           (resent || IsText(elements[0], "stored")) &&
                           elements[1].type == RedisValue::kInteger &&
                           elements.size() % 2 == 0;
        std::vector<ScriptOutcome> outcomes;
        for (std::size_t i = 2; well_formed && i < elements.size(); i += 2) {
          double new_score = 0.0;
          well_formed = elements[i].type == RedisValue::kInteger &&
                        elements[i + 1].type == RedisValue::kString &&
                        ParseScoreText(elements[i + 1].text, &new_score);
          if (!well_formed) break;
          const std::size_t ranking = outcomes.size();
          if (!resent && elements[i].integer == kDanglingIndexEntry &&
              3 * ranking + 1 < keys.size()) {
            LOG(WARNING) << "Member ranking key not in the ranking, adding the "
                            "score afresh: "
                         << keys[3 * ranking] << ", leaderboard timestamp key: "
                         << keys[3 * ranking + 1]
                         << ", member key: " << member_key;
          }
          outcomes.emplace_back(elements[i].integer, new_score);
        }
        if (!well_formed ||
            !ToNewRecords(outcomes, periods, outcome.new_records.get())) {
          // The script ran, so what it wrote is not known here either.
          LOG(ERROR) << "Failed to submit score: malformed answer of the "
                        "submission script"
                     << labels();
          outcome.new_records->clear();
          outcome.status = SubmitStatus::kUncertain;
          callback(outcome);
          return;
        }
        outcome.profile_changed = elements[1].integer == 1;
        if (resent) {
          LOG(INFO) << "A resent submission was not applied again" << labels();
          outcome.status = SubmitStatus::kResent;
        } else {
          outcome.status = SubmitStatus::kStored;
        }
        callback(outcome);
      });
}

// --- Public queries. -------------------------------------------------------

void RedisCache::Script::GetPublicLeaderboard(
    const std::shared_ptr<PublicQuery>& query) {
  const Range& range = query->range;
  const bool nearby = range.type() != LeaderboardQuery::Range::kAll &&
                      range.type() != LeaderboardQuery::Range::kFromTop;
  const std::string timestamp_key = MakeLeaderboardTimestampKey(query->key);
  std::vector<std::string> keys = {
      query->key, query->dense_key, timestamp_key,
      MakeLeaderboardProfileKey(query->leaderboard_id)};
  if (query->league) keys.push_back(MakeLeagueTiersKey(query->leaderboard_id));
  const std::vector<std::string> args = {
      std::to_string(static_cast<int>(range.type())),
      std::to_string(ClampOffset(range.begin())),
      std::to_string(ClampOffset(range.end())),
      std::to_string(query->ranking_type),
      nearby ? MakeMemberKey(query->account) : std::string(),
  };

  PublicQueryScript().RunAsync(
      *the_pipeline, NextQueryLane(), keys, args,
      [query](Redis::Result run_result, RedisValue answer, bool) {
        if (NeedsCountFallback(query->ranking_type, answer)) {
          // Blocking commands: not on the connection's thread.
          boost::asio::post(
              *the_io_service,
              [query, run_result, answer = std::move(answer)]() mutable {
                OnPublicQueryAnswered(query, run_result, std::move(answer));
              });
          return;
        }
        OnPublicQueryAnswered(query, run_result, std::move(answer));
      });
}

void RedisCache::Script::OnPublicQueryAnswered(
    const std::shared_ptr<PublicQuery>& query, Redis::Result run_result,
    RedisValue answer) {
  const Range& range = query->range;
  const char* const failure = "Failed to get public leaderboard: ";
  const auto fail = [&](const std::string& why) {
    LOG(ERROR) << failure << why << ": " << query->key
               << ", dense key: " << query->dense_key << query->AccountLabels()
               << ", timespan: " << static_cast<int>(query->timespan)
               << query->RangeLabels();
    PostQueryCompletion(query->callback, std::make_shared<QueryResult>());
  };
  if (run_result != Redis::kSuccess) {
    fail(std::string("the query script failed: ") +
         Redis::ResultName(run_result) +
         (answer.type == RedisValue::kError ? ": " + answer.text : ""));
    return;
  }
  if (!answer.is_array() || answer.elements.size() < 2 ||
      answer.elements[0].type != RedisValue::kInteger ||
      answer.elements[1].type != RedisValue::kString) {
    fail("malformed answer of the query script");
    return;
  }
  auto result = std::make_shared<QueryResult>();
  result->total_player_count = answer.elements[0].integer;
  const std::string& kind = answer.elements[1].text;
  std::vector<RedisValue>& fields = answer.elements;

  // The rank of the member at `position` holding `score` from the facts the
  // script read about the score; false when they are malformed or a
  // fallback read failed. *same_count: members holding the score.
  const auto first_rank = [&](const RedisValue& facts, std::int64_t position,
                              double score, const std::string& tie,
                              std::int64_t* rank, std::int64_t* same_count) {
    if (!facts.is_array()) return false;
    if (query->ranking_type == LeaderboardQuery::Request::kPosition) {
      *rank = position + 1;
      return true;
    }
    if (query->ranking_type == LeaderboardQuery::Request::kCompetition) {
      if (facts.elements.size() != 2 ||
          facts.elements[0].type != RedisValue::kInteger ||
          facts.elements[1].type != RedisValue::kInteger ||
          facts.elements[1].integer == 0) {
        return false;
      }
      *rank = facts.elements[0].integer + 1;
      *same_count = facts.elements[1].integer;
      return true;
    }
    if (facts.elements.size() != 1) return false;
    if (facts.elements[0].type == RedisValue::kInteger) {
      *rank = facts.elements[0].integer + 1;
      return true;
    }
    if (!facts.elements[0].is_nil()) return false;
    // The dense set lacks the score: count in the ranking itself, as the
    // command chain does.
    VLOG(1) << "Score not in the dense set, counting distinct scores: "
            << query->key << ", dense key: " << query->dense_key
            << ", score: " << ScoreToText(score);
    std::int64_t distinct = 0;
    if (!CountDistinctGreaterScores(query->key, position, score, &distinct,
                                    tie)) {
      return false;
    }
    *rank = distinct + 1;
    return true;
  };

  // A league's answer ends with the tiers of its members.
  const std::size_t tiers = query->league ? 1 : 0;
  if (kind == "slice" && fields.size() == 6 + tiers &&
      fields[2].type == RedisValue::kInteger) {
    const std::int64_t start = fields[2].integer;
    Redis::ScoredMembers members;
    if (!ToScoredMembers(&fields[3], &members)) {
      fail("malformed members in the answer of the query script");
      return;
    }
    if (range.type() == LeaderboardQuery::Range::kAll) {
      AppendRankedRanking(members, query->ranking_type, query->key,
                          result.get());
    } else if (!members.empty()) {
      std::int64_t rank = 0;
      std::int64_t same_count = 0;
      if (!first_rank(fields[4], start, members.front().second,
                      MemberTiebreakText(members.front().first), &rank,
                      &same_count)) {
        fail("cannot number the first member");
        return;
      }
      AppendRankedSlice(members, query->ranking_type, rank, same_count,
                        result.get());
    }
    if (!ReadProfiles(fields[5], 0, result.get()) ||
        (query->league &&
         !ReadTiers(*query->league, fields[6], result.get()))) {
      fail("malformed profiles or tiers in the answer of the query script");
      return;
    }
  } else if (kind == "own" && fields.size() == 7 + tiers &&
             fields[2].type == RedisValue::kInteger &&
             fields[3].type == RedisValue::kString &&
             fields[6].type == RedisValue::kString) {
    QueryResult::Record record;
    std::int64_t same_count = 0;
    const std::string tie = MemberTiebreakText(fields[6].text);
    SetTiebreak(tie, &record);
    if (!ParseScoreText(fields[3].text, &record.score) ||
        !first_rank(fields[4], fields[2].integer, record.score, tie,
                    &record.rank, &same_count) ||
        !ReadProfile(fields[5], &record)) {
      fail("cannot number the player's own record");
      return;
    }
    record.account = query->account;
    if (query->league) {
      record.tier = redis_cache::TierName(*query->league, fields[7]);
    }
    result->records.push_back(std::move(record));
  } else if (kind == "absent" && fields.size() == 3 + tiers) {
    // A player without an entry: the placeholder record, rank 0, score 0,
    // with the player's name where it has one on the leaderboard.
    QueryResult::Record record;
    record.account = query->account;
    if (!ReadProfile(fields[2], &record)) {
      fail("malformed profile in the answer of the query script");
      return;
    }
    if (query->league) {
      record.tier = redis_cache::TierName(*query->league, fields[3]);
    }
    result->records.push_back(std::move(record));
  } else if (kind == "above" && fields.size() == 2) {
    // A window that ends above the top is empty.
  } else {
    fail("malformed answer of the query script: " + kind);
    return;
  }
  VLOG(2) << "Succeed to get public leaderboard: " << query->key
          << query->RangeLabels()
          << ", total player count: " << result->total_player_count
          << ", ranking count: " << result->records.size();
  result->error = false;
  PostQueryCompletion(query->callback, std::move(result));
}

}  // namespace plemox
