// BacklogEntry: one database write handed over to the write backlog
// (DbWriteBacklog), and the text form it has in Redis. The form is a
// sequence of length-prefixed fields ("5:stage") so that every byte of an
// account id, name or metadata survives; Decode checks everything, since
// the text comes back from a store other programs can write to. Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "database/store/mysql_schema.h"

namespace plemox {

struct BacklogEntry {
  enum class Kind { kScore, kProfile };

  // Most rows one entry may carry (a bulk statement carries 32).
  static constexpr std::size_t kMaxRows = 1000;
  // Longest entry Decode accepts.
  static constexpr std::size_t kMaxEncodedSize = 1 << 20;

  // Set when the write is handed over.
  std::string origin;  // the server process that handed it over
  std::string client;  // which of its database clients ("single", "bulk")
  std::uint64_t sequence = 0;       // its place in that client's writes
  std::int64_t handed_over_ms = 0;  // wall clock, for the backlog's age

  // The write itself.
  Kind kind = Kind::kScore;
  std::string leaderboard_id;
  // kScore: the table and its rows, in the stored (negated) forms.
  std::string table;
  std::vector<BulkScoreRow> rows;
  // kProfile: the player and what changed.
  std::string service_provider;
  std::string local_account;
  std::optional<std::string> display_name;
  std::optional<std::string> metadata;

  // The payload part (the write itself) of a score write or a profile
  // write: what the database client keeps with the statement.
  static std::string EncodeScorePayload(const std::string& leaderboard_id,
                                        const std::string& table,
                                        const std::vector<BulkScoreRow>& rows);
  static std::string EncodeProfilePayload(
      const std::string& leaderboard_id, const std::string& service_provider,
      const std::string& local_account,
      const std::optional<std::string>& display_name,
      const std::optional<std::string>& metadata);
  // A whole entry: the handover's facts followed by `payload`.
  static std::string Wrap(const std::string& origin, const std::string& client,
                          std::uint64_t sequence, std::int64_t handed_over_ms,
                          const std::string& payload);

  // Parses a whole entry; false (with *why set) for anything malformed: a
  // bad field, an unknown kind or version, a table that is not a score
  // table of its leaderboard, a score that is not finite, too many rows.
  static bool Decode(const std::string& text, BacklogEntry* out,
                     std::string* why);
};

}  // namespace plemox
