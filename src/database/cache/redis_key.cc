#include "database/cache/redis_key.h"

#include <glog/logging.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/date_time_text.h"
#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;

constexpr char kKeyPrefix[] = "leaderboard:";
constexpr char kDenseSuffix[] = ":dense";
constexpr char kTimestampSuffix[] = ":timestamp";
constexpr char kProfileSuffix[] = ":profile";
constexpr char kSubmissionIdInfix[] = ":submission:";
constexpr char kClosedPeriodsSuffix[] = ":closed_periods";

std::atomic<bool> the_cluster_keys{false};

// "leaderboard:" and the id, which every key of that leaderboard starts with;
// in cluster mode the id is a hash tag ("leaderboard:{stage1}"), so that
// Redis Cluster puts all of them into the slot of the id. Ids hold letters,
// digits and '_' only, so the tag is always exactly the id.
std::string KeyStem(const std::string& leaderboard_id) {
  if (the_cluster_keys.load(std::memory_order_relaxed)) {
    return kKeyPrefix + ("{" + leaderboard_id + "}");
  }
  return kKeyPrefix + leaderboard_id;
}

// Whether the weekly ranking of `timespan` goes under a key of its own week.
bool UsesDatedWeeklyKey(Timespan timespan,
                        const boost::posix_time::ptime& week_time) {
  return (timespan == LeaderboardQuery::kWeekly ||
          timespan == LeaderboardQuery::kLastWeek) &&
         FLAGS_use_leaderboard_table_with_date && !week_time.is_special();
}

// The key without the dense suffix; `timespan` is valid.
std::string BuildKey(const std::string& leaderboard_id, Timespan timespan,
                     const boost::posix_time::ptime& week_time) {
  if (UsesDatedWeeklyKey(timespan, week_time)) {
    return KeyStem(leaderboard_id) + "_" + DateToWeekText(week_time.date()) +
           ":weekly";
  }
  return KeyStem(leaderboard_id) + ":" + TimespanToString(timespan);
}

}  // namespace

void SetClusterKeys(bool on) {
  the_cluster_keys.store(on, std::memory_order_relaxed);
}

bool ClusterKeys() { return the_cluster_keys.load(std::memory_order_relaxed); }

const std::map<std::string, Timespan> kTimespanNames = {
    {"alltime", LeaderboardQuery::kAllTime},
    {"daily", LeaderboardQuery::kDaily},
    {"weekly", LeaderboardQuery::kWeekly},
    {"lastweek", LeaderboardQuery::kLastWeek},
    {"yesterday", LeaderboardQuery::kYesterday},
    {"monthly", LeaderboardQuery::kMonthly},
    {"lastmonth", LeaderboardQuery::kLastMonth},
};

bool IsValidTimespan(int value) {
  return value >= LeaderboardQuery::kAllTime &&
         value <= LeaderboardQuery::kLastMonth;
}

std::string TimespanToString(Timespan timespan) {
  switch (timespan) {
    case LeaderboardQuery::kAllTime:
      return "alltime";
    case LeaderboardQuery::kDaily:
      return "daily";
    case LeaderboardQuery::kWeekly:
      return "weekly";
    case LeaderboardQuery::kLastWeek:
      return "lastweek";
    case LeaderboardQuery::kYesterday:
      return "yesterday";
    case LeaderboardQuery::kMonthly:
      return "monthly";
    case LeaderboardQuery::kLastMonth:
      return "lastmonth";
  }
  return "";
}

bool GetTimespanByString(const std::string& name, Timespan* out) {
  const auto found = kTimespanNames.find(name);
  if (found == kTimespanNames.end()) {
    LOG(ERROR) << "Unknown timespan: " << name;
    return false;
  }
  *out = found->second;
  return true;
}

std::string MakeLeaderboardKey(const std::string& leaderboard_id,
                               Timespan timespan,
                               const boost::posix_time::ptime& week_time) {
  if (!IsValidTimespan(timespan)) {
    LOG(FATAL) << "Failed to make leaderboard key by timespan: "
               << "unknown timespan: " << static_cast<int>(timespan);
  }
  std::string key = BuildKey(leaderboard_id, timespan, week_time);
  VLOG(2) << TimespanToString(timespan) << " leaderboard key: " << key;
  return key;
}

std::string MakeLeaderboardDenseKey(const std::string& leaderboard_id,
                                    Timespan timespan,
                                    const boost::posix_time::ptime& week_time) {
  if (!IsValidTimespan(timespan)) {
    LOG(FATAL) << "Failed to make leaderboard dense key by timespan: "
               << "unknown timespan: " << static_cast<int>(timespan);
  }
  std::string key =
      BuildKey(leaderboard_id, timespan, week_time) + kDenseSuffix;
  VLOG(2) << TimespanToString(timespan) << " leaderboard key: " << key;
  return key;
}

std::string MakeLeaderboardTimestampKey(const std::string& leaderboard_key) {
  return leaderboard_key + kTimestampSuffix;
}

std::string MakeLeaderboardProfileKey(const std::string& leaderboard_id) {
  return KeyStem(leaderboard_id) + kProfileSuffix;
}

std::string MakeSubmissionIdKey(const std::string& leaderboard_id,
                                const std::string& submission_id) {
  return KeyStem(leaderboard_id) + kSubmissionIdInfix + submission_id;
}

std::string MakeClosedPeriodsKey(const std::string& leaderboard_id) {
  return KeyStem(leaderboard_id) + kClosedPeriodsSuffix;
}

std::string MakeLeagueKey(const std::string& period_ranking_key) {
  return period_ranking_key + ":league";
}

std::string MakeLeagueTiersKey(const std::string& leaderboard_id) {
  return KeyStem(leaderboard_id) + ":league_tiers";
}

std::string MakeLeagueLogKey(const std::string& leaderboard_id) {
  return KeyStem(leaderboard_id) + ":league_log";
}

bool IsKeyOfLeaderboard(const std::string& key,
                        const std::string& leaderboard_id) {
  const std::string stem = KeyStem(leaderboard_id);
  return key.size() > stem.size() && key.compare(0, stem.size(), stem) == 0 &&
         (key[stem.size()] == ':' || key[stem.size()] == '_');
}

std::string PackProfile(const std::string& display_name,
                        const std::string& metadata) {
  return std::to_string(display_name.size()) + ":" + display_name + metadata;
}

bool UnpackProfile(const std::string& packed, std::string* display_name,
                   std::string* metadata) {
  const std::size_t colon = packed.find(':');
  // At most the digits of a size_t before the colon, and nothing else.
  if (colon == std::string::npos || colon == 0 || colon > 19) return false;
  std::size_t length = 0;
  for (std::size_t i = 0; i < colon; ++i) {
    if (packed[i] < '0' || packed[i] > '9') return false;
    length = length * 10 + static_cast<std::size_t>(packed[i] - '0');
  }
  if (length > packed.size() - colon - 1) return false;
  *display_name = packed.substr(colon + 1, length);
  *metadata = packed.substr(colon + 1 + length);
  return true;
}

std::string MakeMemberKey(const vel::PlayerAccount& account) {
  return account.id() + ":" + account.service_provider();
}

std::string MakeMemberRankingKey(std::int64_t timestamp_in_msec,
                                 const std::string& member_key,
                                 const std::string& tiebreak_text) {
  static constexpr char kInvertedDigits[] = "9876543210";
  std::string time = std::to_string(timestamp_in_msec);
  for (char& digit : time) {
    LEADERBOARD_ASSERT(digit >= '0' && digit <= '9')
        << "timestamp=" << timestamp_in_msec;
    digit = kInvertedDigits[digit - '0'];
  }
  std::string key;
  key.reserve(tiebreak_text.size() + 1 + time.size() + 1 + member_key.size());
  if (!tiebreak_text.empty()) {
    key += tiebreak_text;
    key += '_';
  }
  key += time;
  key += ':';
  key += member_key;
  return key;
}

namespace {

constexpr std::size_t kTiebreakTextSize = 16;

}  // namespace

std::string TiebreakToText(double value) {
  if (value == 0) value = 0.0;  // -0 and 0 are one second score
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  // Negative doubles order backwards as integers: flip them all; positive
  // ones only need to sort above them.
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  bits = (bits & kSign) != 0 ? ~bits : bits | kSign;
  char text[kTiebreakTextSize + 1];
  std::snprintf(text, sizeof(text), "%016" PRIx64, bits);
  return text;
}

std::string MemberTiebreakText(const std::string& member_ranking_key) {
  // "_" right after 16 hex digits: a key without a tiebreak has only
  // inverted digits up to its first ":", never a "_".
  if (member_ranking_key.size() <= kTiebreakTextSize ||
      member_ranking_key[kTiebreakTextSize] != '_') {
    return "";
  }
  for (std::size_t i = 0; i < kTiebreakTextSize; ++i) {
    const char c = member_ranking_key[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
  }
  return member_ranking_key.substr(0, kTiebreakTextSize);
}

std::string DenseMember(const std::string& score_text,
                        const std::string& tiebreak_text) {
  if (tiebreak_text.empty()) return score_text;
  return score_text + "|" + tiebreak_text;
}

bool TiebreakFromText(const std::string& text, double* value) {
  if (text.size() != kTiebreakTextSize) return false;
  std::uint64_t bits = 0;
  for (const char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    bits = bits << 4 | static_cast<std::uint64_t>(digit);
  }
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  bits = (bits & kSign) != 0 ? bits & ~kSign : ~bits;
  std::memcpy(value, &bits, sizeof(bits));
  return true;
}

bool ParseMemberRankingKey(const std::string& member_ranking_key,
                           vel::PlayerAccount* account) {
  const std::size_t first = member_ranking_key.find(':');
  if (first == std::string::npos) {
    *account = vel::PlayerAccount();
    return false;
  }
  const std::size_t second = member_ranking_key.find(':', first + 1);
  if (second == std::string::npos) {
    *account = vel::PlayerAccount("", member_ranking_key.substr(first + 1));
    return false;
  }
  *account = vel::PlayerAccount(
      member_ranking_key.substr(second + 1),
      member_ranking_key.substr(first + 1, second - first - 1));
  return true;
}

bool ParseMemberRankingTime(const std::string& member_ranking_key,
                            std::int64_t* timestamp_in_msec) {
  const std::size_t from = MemberTiebreakText(member_ranking_key).empty()
                               ? 0
                               : kTiebreakTextSize + 1;
  const std::size_t colon = member_ranking_key.find(':', from);
  if (colon == std::string::npos || colon == from || colon - from > 18) {
    return false;
  }
  std::int64_t time = 0;
  for (std::size_t i = from; i < colon; ++i) {
    const char digit = member_ranking_key[i];
    if (digit < '0' || digit > '9') return false;
    time = time * 10 + ('9' - digit);
  }
  *timestamp_in_msec = time;
  return true;
}

std::string ScoreToText(double score) {
  // 17 significant digits always read back as the same double; the longest
  // text ("-2.2250738585072014e-308") fits easily.
  char text[40];
  std::snprintf(text, sizeof(text), "%.*g", 17, score);
  return text;
}

}  // namespace plemox
