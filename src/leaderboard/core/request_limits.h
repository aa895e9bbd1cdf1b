// The bounds on what one request may cost, taken from the flags: records per
// answer, competitors per social query, deletions per request, the length of
// the texts that become keys and columns, and the app ids that may
// authenticate. Pure functions of the request and the flags; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "leaderboard.pb.h"

namespace plemox {

class RequestLimits {
 public:
  using Query = Leaderboard::LeaderboardQuery::Request;

  // Longest schedule date time a status query may name: the reset log's
  // column holds 50 characters.
  static constexpr std::size_t kMaxScheduleDateTimeLength = 50;

  // The most records an answer to `query` can hold, as far as the query
  // alone tells: exact for a social query (its competitors and the player),
  // the span of a kFromTop or kNearby range (at least the one placeholder
  // record of a player without an entry), at most the largest cohort for a
  // cohort query, and nullopt for a public kAll query, which returns the
  // whole ranking. REQUIRES: `query` passed the
  // field checks (a range with begin <= end).
  static std::optional<std::uint64_t> RecordBound(const Query& query);
  // The same bound once the size of the ranking the query reads is known.
  static std::uint64_t RecordBound(const Query& query,
                                   std::uint64_t ranking_size);
  // `a` + `b`, held at the largest value instead of wrapping around.
  static std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b);

  // Whether `records` fit the --max_records_per_answer cap.
  static bool FitsRecordCap(std::uint64_t records);
  // The refusal text of an answer over the record cap; names the cap.
  static std::string RecordCapMessage();

  // Empty when `query` lists no more competitors than
  // --max_competitors_per_query allows, else the refusal text (names the
  // cap).
  static std::string CheckCompetitorCount(const Query& query);
  // Empty when `count` deletions fit --max_deletions_per_request, else the
  // refusal text (names the cap).
  static std::string CheckDeletionCount(std::size_t count);

  // Whether the parts of `account` fit the database columns they reach
  // (service provider 50 characters, local account
  // --mysql_local_account_column_length characters, counted as UTF-8
  // characters). On false, *reason says which part is too long.
  // REQUIRES: reason != nullptr.
  static bool FitsAccountColumns(const Leaderboard::AccountId& account,
                                 std::string* reason);
  // "" when (provider, account), as an operator typed them into an HTTP
  // route, can name a player whose scores are stored, else why not: empty
  // parts, a ':' (it separates the parts in the rankings), control
  // characters, or parts longer than their columns (FitsAccountColumns).
  static std::string CheckPlayerId(const std::string& provider,
                                   const std::string& account);
  // Characters of a UTF-8 text, as the database's CHAR(n) columns count them.
  static std::size_t CountCharacters(const std::string& text);
  // Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
  // code points above U+10FFFF).
  static bool IsValidUtf8(const std::string& text);

  // The most bytes a submission_id may have.
  static constexpr std::size_t kMaxSubmissionIdBytes = 64;
  // Empty when the display_name, metadata and submission_id of `request`
  // (those present) fit --max_display_name_bytes, --max_metadata_bytes and
  // 1 to kMaxSubmissionIdBytes bytes and the name is valid UTF-8; else the
  // refusal text (names the limit or the rule).
  static std::string CheckSubmissionExtras(
      const Leaderboard::ScoreSubmission::Request& request);

  // Whether an answer of `bytes` serialised bytes fits --max_answer_bytes.
  static bool FitsAnswerBytes(std::uint64_t bytes);
  // The refusal text of an answer over --max_answer_bytes; names the cap.
  static std::string AnswerBytesMessage();

  // The app ids in a comma-separated list; pieces are trimmed of blanks and
  // empty pieces are skipped.
  static std::set<std::string> ParseAppIds(const std::string& text);
  // Whether `app_id` may authenticate: always when --allowed_app_ids is
  // empty, otherwise when it is one of the listed ids. The list is read
  // once, on the first call (flags do not change after start-up).
  static bool IsAllowedAppId(const std::string& app_id);

  RequestLimits() = delete;
};

}  // namespace plemox
