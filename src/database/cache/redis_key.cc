#include "database/cache/redis_key.h"

#include <glog/logging.h>

#include <atomic>
#include <cstdio>

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
                                 const std::string& member_key) {
  static constexpr char kInvertedDigits[] = "9876543210";
  std::string key = std::to_string(timestamp_in_msec);
  for (char& digit : key) {
    LEADERBOARD_ASSERT(digit >= '0' && digit <= '9')
        << "timestamp=" << timestamp_in_msec;
    digit = kInvertedDigits[digit - '0'];
  }
  key += ':';
  key += member_key;
  return key;
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
  const std::size_t digits = member_ranking_key.find(':');
  if (digits == std::string::npos || digits == 0 || digits > 18) return false;
  std::int64_t time = 0;
  for (std::size_t i = 0; i < digits; ++i) {
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
