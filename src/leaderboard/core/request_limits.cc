// The bounds on the cost of one request; see request_limits.h.
#include "leaderboard/core/request_limits.h"

#include <algorithm>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <limits>
#include <vector>

#include "common/leaderboard_flags.h"
#include "common/league_rules.h"

namespace plemox {
namespace {

using Range = Leaderboard::LeaderboardQuery::Range;

constexpr std::size_t kServiceProviderColumnLength = 50;
constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint64_t>::max();

// end - begin + 1 without overflow (held at kMaxCount).
// REQUIRES: begin <= end.
std::uint64_t SpanOf(const Range& range) {
  const std::uint64_t difference = static_cast<std::uint64_t>(range.end()) -
                                   static_cast<std::uint64_t>(range.begin());
  return difference == kMaxCount ? kMaxCount : difference + 1;
}

bool IsSocial(const RequestLimits::Query& query) {
  return query.collection() == Leaderboard::LeaderboardQuery::kSocial;
}

// A social answer lists every competitor, and the player unless its local
// id is empty.
std::uint64_t SocialRecordCount(const RequestLimits::Query& query) {
  const bool with_player =
      query.has_account_id() && !query.account_id().local_account().empty();
  return static_cast<std::uint64_t>(query.competitors_size()) +
         (with_player ? 1 : 0);
}

}  // namespace

std::optional<std::uint64_t> RequestLimits::RecordBound(const Query& query) {
  if (IsSocial(query)) return SocialRecordCount(query);
  // A cohort holds at most the largest cohort size.
  const auto cohort = static_cast<std::uint64_t>(LeagueRules::kMaxCohortSize);
  if (query.cohort() && query.range().type() == Range::kAll) return cohort;
  if (query.cohort()) return std::min(SpanOf(query.range()), cohort);
  if (query.range().type() == Range::kAll) return std::nullopt;
  // A slice or a window (a placeholder counts one, and a span is never 0).
  return SpanOf(query.range());
}

std::uint64_t RequestLimits::RecordBound(const Query& query,
                                         std::uint64_t ranking_size) {
  if (IsSocial(query) || query.cohort()) return *RecordBound(query);
  const Range& range = query.range();
  switch (range.type()) {
    case Range::kAll:
      return ranking_size;
    case Range::kFromTop: {
      const auto begin = static_cast<std::uint64_t>(range.begin());
      const std::uint64_t left =
          ranking_size > begin ? ranking_size - begin : 0;
      return std::min(SpanOf(range), left);
    }
    default:
      // A window of positions inside the ranking, or the placeholder.
      return std::max<std::uint64_t>(1, std::min(SpanOf(range), ranking_size));
  }
}

std::uint64_t RequestLimits::SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > kMaxCount - b ? kMaxCount : a + b;
}

bool RequestLimits::FitsRecordCap(std::uint64_t records) {
  return records <= FLAGS_max_records_per_answer;
}

std::string RequestLimits::RecordCapMessage() {
  return "Too many records for one answer: at most " +
         std::to_string(FLAGS_max_records_per_answer) +
         " (max_records_per_answer)";
}

std::string RequestLimits::CheckCompetitorCount(const Query& query) {
  if (static_cast<std::uint64_t>(query.competitors_size()) <=
      FLAGS_max_competitors_per_query) {
    return "";
  }
  return "Too many competitors: at most " +
         std::to_string(FLAGS_max_competitors_per_query) +
         " per query (max_competitors_per_query)";
}

std::string RequestLimits::CheckDeletionCount(std::size_t count) {
  if (static_cast<std::uint64_t>(count) <= FLAGS_max_deletions_per_request) {
    return "";
  }
  return "Too many deletions: at most " +
         std::to_string(FLAGS_max_deletions_per_request) +
         " per request (max_deletions_per_request)";
}

bool RequestLimits::FitsAccountColumns(const Leaderboard::AccountId& account,
                                       std::string* reason) {
  if (CountCharacters(account.service_provider()) >
      kServiceProviderColumnLength) {
    *reason = "service provider longer than " +
              std::to_string(kServiceProviderColumnLength) + " characters";
    return false;
  }
  if (CountCharacters(account.local_account()) >
      FLAGS_mysql_local_account_column_length) {
    *reason = "local account longer than " +
              std::to_string(FLAGS_mysql_local_account_column_length) +
              " characters";
    return false;
  }
  return true;
}

std::string RequestLimits::CheckPlayerId(const std::string& provider,
                                         const std::string& account) {
  if (provider.empty() || account.empty()) {
    return "a player is named by a service provider and a local account, "
           "both non-empty";
  }
  for (const std::string* part : {&provider, &account}) {
    for (const char c : *part) {
      if (c == ':') return "a player id cannot contain ':'";
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        return "a player id cannot contain control characters";
      }
    }
  }
  Leaderboard::AccountId id;
  id.set_service_provider(provider);
  id.set_local_account(account);
  std::string reason;
  if (!FitsAccountColumns(id, &reason)) return reason;
  return "";
}

std::size_t RequestLimits::CountCharacters(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

bool RequestLimits::IsValidUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code_point = lead & 0x07;
    } else {
      return false;
    }
    if (size - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (bytes[i + k] & 0x3F);
    }
    // Overlong three- and four-byte forms, surrogates, beyond U+10FFFF.
    if ((length == 3 && code_point < 0x800) ||
        (length == 4 && (code_point < 0x10000 || code_point > 0x10FFFF)) ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string RequestLimits::CheckSubmissionExtras(
    const Leaderboard::ScoreSubmission::Request& request) {
  if (request.has_display_name()) {
    if (request.display_name().size() > FLAGS_max_display_name_bytes) {
      return "display_name too long: at most " +
             std::to_string(FLAGS_max_display_name_bytes) +
             " bytes (max_display_name_bytes)";
    }
    if (!IsValidUtf8(request.display_name())) {
      return "display_name is not valid UTF-8";
    }
  }
  if (request.has_metadata() &&
      request.metadata().size() > FLAGS_max_metadata_bytes) {
    return "metadata too long: at most " +
           std::to_string(FLAGS_max_metadata_bytes) +
           " bytes (max_metadata_bytes)";
  }
  if (request.has_submission_id() &&
      (request.submission_id().empty() ||
       request.submission_id().size() > kMaxSubmissionIdBytes)) {
    return "submission_id must have 1 to " +
           std::to_string(kMaxSubmissionIdBytes) + " bytes";
  }
  return "";
}

bool RequestLimits::FitsAnswerBytes(std::uint64_t bytes) {
  return bytes <= FLAGS_max_answer_bytes;
}

std::string RequestLimits::AnswerBytesMessage() {
  return "Answer too large: at most " + std::to_string(FLAGS_max_answer_bytes) +
         " bytes (max_answer_bytes); ask for fewer records";
}

std::set<std::string> RequestLimits::ParseAppIds(const std::string& text) {
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, text, [](char c) { return c == ','; });
  std::set<std::string> ids;
  for (std::string& piece : pieces) {
    boost::algorithm::trim(piece);
    if (!piece.empty()) ids.insert(std::move(piece));
  }
  return ids;
}

bool RequestLimits::IsAllowedAppId(const std::string& app_id) {
  static const std::set<std::string> allowed =
      ParseAppIds(FLAGS_allowed_app_ids);
  return allowed.empty() || allowed.count(app_id) != 0;
}

}  // namespace plemox
