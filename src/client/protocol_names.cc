#include "client/protocol_names.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <cstdlib>
#include <iomanip>
#include <limits>
#include <sstream>
#include <utility>

namespace plemox {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::Request;
using Leaderboard::Response;

// Whole-text decimal integer; false on anything else or overflow.
bool ParseInt64(const std::string& text, int64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  *out = value;
  return true;
}

template <typename Enum, size_t N>
bool Lookup(const std::string& text,
            const std::pair<const char*, Enum> (&names)[N], int64_t min_number,
            int64_t max_number, Enum* out) {
  for (const auto& name : names) {
    if (text == name.first) {
      *out = name.second;
      return true;
    }
  }
  int64_t number = 0;
  if (ParseInt64(text, &number) && number >= min_number &&
      number <= max_number) {
    *out = static_cast<Enum>(number);
    return true;
  }
  return false;
}

// `bytes` between double quotes, with '"', '\\', control characters and
// (unless `keep_utf8`, for UTF-8 text) every byte outside ASCII written as
// \xHH, so that nothing a player chose can steer the terminal.
std::string Quoted(const std::string& bytes, bool keep_utf8) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "\"";
  for (const unsigned char byte : bytes) {
    const bool plain =
        (byte >= 0x20 && byte < 0x7F) || (keep_utf8 && byte >= 0x80);
    if (plain && byte != '"' && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      text += "\\x";
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0x0F];
    }
  }
  return text + "\"";
}

void DescribeQuery(const LeaderboardQuery::Response& query,
                   std::ostringstream& out) {
  out << "total players: " << query.total_player_count() << "\n";
  if (query.record_size() == 0) {
    out << "(no records)\n";
    return;
  }
  out << std::left << std::setw(8) << "rank" << std::setw(16) << "score"
      << "account\n";
  for (const auto& record : query.record()) {
    std::ostringstream score;
    score << record.score();
    out << std::left << std::setw(8) << record.rank() << std::setw(16)
        << score.str() << ProtocolNames::AccountText(record.account_id());
    if (record.has_display_name()) {
      out << "  " << Quoted(record.display_name(), true);
    }
    if (record.has_metadata()) {
      out << "  metadata " << Quoted(record.metadata(), false);
    }
    out << "\n";
  }
}

}  // namespace

bool ProtocolNames::ParseTimeSpan(const std::string& text,
                                  LeaderboardQuery::TimeSpan* out) {
  static const std::pair<const char*, LeaderboardQuery::TimeSpan> kNames[] = {
      {"alltime", LeaderboardQuery::kAllTime},
      {"daily", LeaderboardQuery::kDaily},
      {"weekly", LeaderboardQuery::kWeekly},
      {"lastweek", LeaderboardQuery::kLastWeek},
      {"yesterday", LeaderboardQuery::kYesterday},
      {"monthly", LeaderboardQuery::kMonthly},
      {"lastmonth", LeaderboardQuery::kLastMonth},
  };
  return Lookup(text, kNames, LeaderboardQuery::TimeSpan_MIN,
                LeaderboardQuery::TimeSpan_MAX, out);
}

bool ProtocolNames::ParseRankingType(
    const std::string& text, LeaderboardQuery::Request::RankingType* out) {
  static const std::pair<const char*, LeaderboardQuery::Request::RankingType>
      kNames[] = {
          {"position", LeaderboardQuery::Request::kPosition},
          {"competition", LeaderboardQuery::Request::kCompetition},
          {"dense", LeaderboardQuery::Request::kDense},
      };
  return Lookup(text, kNames, LeaderboardQuery::Request::RankingType_MIN,
                LeaderboardQuery::Request::RankingType_MAX, out);
}

bool ProtocolNames::ParseSubmissionType(
    const std::string& text, Leaderboard::ScoreSubmission::Type* out) {
  static const std::pair<const char*, Leaderboard::ScoreSubmission::Type>
      kNames[] = {
          {"high", Leaderboard::ScoreSubmission::kHighScore},
          {"add", Leaderboard::ScoreSubmission::kAdd},
          {"subtract", Leaderboard::ScoreSubmission::kSubtract},
          {"replace", Leaderboard::ScoreSubmission::kReplace},
      };
  return Lookup(text, kNames, Leaderboard::ScoreSubmission::Type_MIN,
                Leaderboard::ScoreSubmission::Type_MAX, out);
}

bool ProtocolNames::ParseCollection(const std::string& text,
                                    LeaderboardQuery::Collection* out) {
  static const std::pair<const char*, LeaderboardQuery::Collection> kNames[] = {
      {"public", LeaderboardQuery::kPublic},
      {"social", LeaderboardQuery::kSocial},
  };
  // Names only: the numbers 1 and 2 read the wrong way round too easily.
  return Lookup(text, kNames, 1, 0, out);
}

bool ProtocolNames::ParseRangeType(const std::string& text,
                                   LeaderboardQuery::Range::Type* out) {
  static const std::pair<const char*, LeaderboardQuery::Range::Type> kNames[] =
      {
          {"all", LeaderboardQuery::Range::kAll},
          {"top", LeaderboardQuery::Range::kFromTop},
          {"nearby", LeaderboardQuery::Range::kNearby},
      };
  return Lookup(text, kNames, 1, 0, out);
}

bool ProtocolNames::ParsePeriod(const std::string& text, int32_t* out) {
  static const std::pair<const char*, int32_t> kNames[] = {
      {"day", 0},
      {"week", 1},
      {"month", 2},
  };
  return Lookup(text, kNames, std::numeric_limits<int32_t>::min(),
                std::numeric_limits<int32_t>::max(), out);
}

bool ProtocolNames::ParseAccount(const std::string& text,
                                 Leaderboard::AccountId* out) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
      text.find(':', colon + 1) != std::string::npos) {
    return false;
  }
  out->set_service_provider(text.substr(0, colon));
  out->set_local_account(text.substr(colon + 1));
  return true;
}

bool ProtocolNames::ParseAccountList(const std::string& text,
                                     std::vector<Leaderboard::AccountId>* out) {
  std::vector<Leaderboard::AccountId> accounts;
  if (!text.empty()) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, text, [](char c) { return c == ','; });
    for (auto& part : parts) {
      boost::algorithm::trim(part);
      Leaderboard::AccountId account;
      if (!ParseAccount(part, &account)) return false;
      accounts.push_back(std::move(account));
    }
  }
  *out = std::move(accounts);
  return true;
}

std::string ProtocolNames::AccountText(const Leaderboard::AccountId& account) {
  return account.service_provider() + ":" + account.local_account();
}

std::string ProtocolNames::Describe(const Response& response) {
  std::ostringstream out;
  if (response.has_fail()) {
    out << "failed: " << Response::Fail_Name(response.fail().code()) << ": "
        << response.fail().message() << "\n";
    return out.str();
  }
  switch (response.type()) {
    case Request::kLeaderboardAuthentication: {
      const auto& body = response.leaderboard_authentication();
      out << "authentication: "
          << Leaderboard::LeaderboardAuthentication::Response::Result_Name(
                 body.result());
      if (!body.message().empty()) out << ": " << body.message();
      out << "\nreset schedules: " << body.reset_schedules_size() << "\n";
      static const char* const kPeriods[] = {"day", "week", "month"};
      for (const auto& schedule : body.reset_schedules()) {
        out << "  " << schedule.leaderboard_id() << " every "
            << schedule.interval() << " "
            << (schedule.period() >= 0 && schedule.period() <= 2
                    ? kPeriods[schedule.period()]
                    : std::to_string(schedule.period()))
            << " from " << schedule.starts() << " until " << schedule.ends()
            << "\n";
      }
      break;
    }
    case Request::kLeaderboardQuery:
      DescribeQuery(response.leaderboard_query(), out);
      break;
    case Request::kLeaderboardQueries:
      out << "queries answered: " << response.leaderboard_queries_size()
          << "\n";
      for (int i = 0; i < response.leaderboard_queries_size(); ++i) {
        out << "-- query " << i << "\n";
        DescribeQuery(response.leaderboard_queries(i), out);
      }
      break;
    case Request::kScoreSubmission: {
      const auto& body = response.score_submission();
      out << "result: "
          << Leaderboard::ScoreSubmission::Response::Result_Name(body.result())
          << "\nscore: " << body.score()
          << "\ntotal players: " << body.total_player_count()
          << "\nrank: " << body.rank() << "\n";
      if (body.resent()) {
        out << "resent: yes (the submission id was applied before; "
               "nothing was applied again)\n";
      }
      break;
    }
    case Request::kScoreDeletions:
      for (int i = 0; i < response.score_deletions_size(); ++i) {
        out << "deletion " << i << ": "
            << Leaderboard::ScoreDeletion::Response::Result_Name(
                   response.score_deletions(i).result())
            << "\n";
      }
      break;
    case Request::kResetScheduleStatusQuery: {
      const auto& body = response.reset_schedule_status_query();
      out << "result: "
          << Leaderboard::ResetScheduleStatusQuery::Response::Result_Name(
                 body.result())
          << "\nalready reset: " << (body.already_reset() ? "yes" : "no")
          << "\nreset date time: " << body.reset_date_time() << "\n";
      break;
    }
    case Request::kLeaderboardReset: {
      const auto& body = response.leaderboard_reset();
      out << "already reset: " << (body.already_reset() ? "yes" : "no")
          << "\nschedule date time: " << body.schedule_date_time() << "\n";
      break;
    }
    default:
      out << response.DebugString();
      break;
  }
  return out.str();
}

}  // namespace plemox
