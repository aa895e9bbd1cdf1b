#include "database/store/backlog_entry.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "database/store/leaderboard_info.h"

namespace plemox {
namespace {

constexpr char kVersion[] = "1";
constexpr char kScoreKind[] = "s";
// Score rows with a second score (a leaderboard with a tiebreak): five
// fields per row.
constexpr char kTiebreakScoreKind[] = "t";
constexpr char kProfileKind[] = "p";
// MariaDB's limit on table names.
constexpr std::size_t kMaxTableNameLength = 64;

void AddField(std::string* out, const std::string& field) {
  out->append(std::to_string(field.size()));
  out->push_back(':');
  out->append(field);
}

void AddOptional(std::string* out, const std::optional<std::string>& value) {
  AddField(out, value ? "1" : "0");
  AddField(out, value ? *value : std::string());
}

std::string ScoreText(double score) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.17g", score);
  return text;
}

// Splits `text` into its fields; false when it is not a sequence of
// well-formed fields.
bool SplitFields(const std::string& text, std::vector<std::string>* fields) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t length = 0;
    std::size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (++digits > 7) return false;
      length = length * 10 + static_cast<std::size_t>(text[at] - '0');
      ++at;
    }
    if (digits == 0 || at >= text.size() || text[at] != ':') return false;
    ++at;
    if (length > text.size() - at) return false;
    fields->push_back(text.substr(at, length));
    at += length;
  }
  return true;
}

bool ParseInt(const std::string& text, std::int64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  *out = value;
  return true;
}

bool ParseScore(const std::string& text, double* out) {
  if (text.empty() || text.size() > 31) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

bool ParseFlag(const std::string& flag, const std::string& value,
               std::optional<std::string>* out) {
  if (flag == "1") {
    *out = value;
    return true;
  }
  return flag == "0" && value.empty();
}

// Whether `table` is a score table of `leaderboard_id`: its all-time or a
// period table, or a dated weekly one.
bool IsTableOf(const std::string& table, const std::string& leaderboard_id) {
  if (table.size() > kMaxTableNameLength || leaderboard_id.empty()) {
    return false;
  }
  LeaderboardInfo info;
  if (!ParseScoreTableName(table, &info)) return false;
  return info.leaderboard_id == leaderboard_id ||
         info.leaderboard_id.compare(0, leaderboard_id.size() + 1,
                                     leaderboard_id + "_") == 0;
}

}  // namespace

std::string BacklogEntry::EncodeScorePayload(
    const std::string& leaderboard_id, const std::string& table,
    const std::vector<BulkScoreRow>& rows) {
  std::string out;
  out.reserve(32 + table.size() + rows.size() * 48);
  const bool tiebreak = !rows.empty() && rows.front().tiebreak_score;
  AddField(&out, tiebreak ? kTiebreakScoreKind : kScoreKind);
  AddField(&out, leaderboard_id);
  AddField(&out, table);
  AddField(&out, std::to_string(rows.size()));
  for (const BulkScoreRow& row : rows) {
    AddField(&out, row.service_provider);
    AddField(&out, row.local_account);
    AddField(&out, ScoreText(row.score));
    AddField(&out, std::to_string(row.time_stamp));
    if (tiebreak) AddField(&out, ScoreText(row.tiebreak_score.value_or(0.0)));
  }
  return out;
}

std::string BacklogEntry::EncodeProfilePayload(
    const std::string& leaderboard_id, const std::string& service_provider,
    const std::string& local_account,
    const std::optional<std::string>& display_name,
    const std::optional<std::string>& metadata) {
  std::string out;
  AddField(&out, kProfileKind);
  AddField(&out, leaderboard_id);
  AddField(&out, service_provider);
  AddField(&out, local_account);
  AddOptional(&out, display_name);
  AddOptional(&out, metadata);
  return out;
}

std::string BacklogEntry::Wrap(const std::string& origin,
                               const std::string& client,
                               std::uint64_t sequence,
                               std::int64_t handed_over_ms,
                               const std::string& payload) {
  std::string out;
  out.reserve(payload.size() + origin.size() + 48);
  AddField(&out, kVersion);
  AddField(&out, origin);
  AddField(&out, client);
  AddField(&out, std::to_string(sequence));
  AddField(&out, std::to_string(handed_over_ms));
  out.append(payload);
  return out;
}

bool BacklogEntry::Decode(const std::string& text, BacklogEntry* out,
                          std::string* why) {
  const auto fail = [why](const char* reason) {
    *why = reason;
    return false;
  };
  if (text.size() > kMaxEncodedSize) return fail("entry too long");
  std::vector<std::string> fields;
  if (!SplitFields(text, &fields)) return fail("malformed field");
  if (fields.size() < 7) return fail("too few fields");
  if (fields[0] != kVersion) return fail("unknown version");
  BacklogEntry entry;
  entry.origin = fields[1];
  entry.client = fields[2];
  std::int64_t sequence = 0;
  if (!ParseInt(fields[3], &sequence) || sequence < 0) {
    return fail("bad sequence");
  }
  entry.sequence = static_cast<std::uint64_t>(sequence);
  if (!ParseInt(fields[4], &entry.handed_over_ms)) {
    return fail("bad hand-over time");
  }
  entry.leaderboard_id = fields[6];
  if (fields[5] == kScoreKind || fields[5] == kTiebreakScoreKind) {
    entry.kind = Kind::kScore;
    const bool tiebreak = fields[5] == kTiebreakScoreKind;
    const std::size_t per_row = tiebreak ? 5 : 4;
    std::int64_t count = 0;
    if (fields.size() < 9 || !ParseInt(fields[8], &count) || count <= 0 ||
        static_cast<std::size_t>(count) > kMaxRows ||
        fields.size() != 9 + static_cast<std::size_t>(count) * per_row) {
      return fail("bad row count");
    }
    entry.table = fields[7];
    if (!IsTableOf(entry.table, entry.leaderboard_id)) {
      return fail("not a score table of the leaderboard");
    }
    for (std::size_t i = 9; i < fields.size(); i += per_row) {
      BulkScoreRow row;
      row.service_provider = fields[i];
      row.local_account = fields[i + 1];
      if (!ParseScore(fields[i + 2], &row.score)) return fail("bad score");
      if (!ParseInt(fields[i + 3], &row.time_stamp)) {
        return fail("bad time stamp");
      }
      if (tiebreak) {
        double value = 0;
        if (!ParseScore(fields[i + 4], &value)) {
          return fail("bad tiebreak score");
        }
        row.tiebreak_score = value;
      }
      entry.rows.push_back(std::move(row));
    }
  } else if (fields[5] == kProfileKind) {
    entry.kind = Kind::kProfile;
    if (fields.size() != 13) return fail("bad profile fields");
    entry.service_provider = fields[7];
    entry.local_account = fields[8];
    if (!ParseFlag(fields[9], fields[10], &entry.display_name)) {
      return fail("bad display name");
    }
    if (!ParseFlag(fields[11], fields[12], &entry.metadata)) {
      return fail("bad metadata");
    }
    if (!entry.display_name && !entry.metadata) {
      return fail("a profile write without a name or metadata");
    }
  } else {
    return fail("unknown kind");
  }
  *out = std::move(entry);
  return true;
}

}  // namespace plemox
