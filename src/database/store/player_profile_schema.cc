// The statements of the player_profile table; see player_profile_schema.h.
#include "database/store/player_profile_schema.h"

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/store/mysql_schema.h"

namespace plemox {

const char kPlayerProfileTableName[] = "player_profile";

namespace {

// X'<hex digits>': the bytes of `value` as they are.
std::string HexLiteral(const std::string& value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string literal = "X'";
  literal.reserve(value.size() * 2 + 3);
  for (const unsigned char byte : value) {
    literal += kDigits[byte >> 4];
    literal += kDigits[byte & 0x0F];
  }
  literal += '\'';
  return literal;
}

std::string Quoted(const std::string& value) {
  return "'" + EscapeSqlString(value) + "'";
}

// "leaderboard_id = '<id>' AND service_provider = ... AND local_account =
// ...": the player's row.
std::string RowCondition(const std::string& leaderboard_id,
                         const vel::PlayerAccount& account) {
  return "leaderboard_id = " + Quoted(leaderboard_id) +
         " AND service_provider = " + Quoted(account.service_provider()) +
         " AND local_account = " + Quoted(account.id());
}

}  // namespace

std::string MakePlayerProfileTableQuery() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kPlayerProfileTableName +
         "(\n" + "  leaderboard_id VARCHAR(64) NOT NULL,\n" +
         "  service_provider CHAR(50) NOT NULL,\n" + "  local_account " +
         GetLocalAccountColumnType() + " NOT NULL,\n" +
         "  display_name BLOB NOT NULL DEFAULT '',\n" +
         "  metadata BLOB NOT NULL DEFAULT '',\n" +
         "  PRIMARY KEY(leaderboard_id, service_provider, local_account)\n" +
         ") CHARACTER SET " + FLAGS_mysql_db_character_set + ";";
}

std::string MakePlayerProfileWriteQuery(
    const std::string& leaderboard_id, const vel::PlayerAccount& account,
    const std::optional<std::string>& display_name,
    const std::optional<std::string>& metadata) {
  LEADERBOARD_ASSERT(display_name || metadata);
  std::string columns;
  std::string values;
  std::string updates;
  const auto add = [&](const char* column,
                       const std::optional<std::string>& value) {
    if (!value) return;
    columns += std::string(", ") + column;
    values += ", " + HexLiteral(*value);
    if (!updates.empty()) updates += ", ";
    updates += std::string(column) + " = VALUES(" + column + ")";
  };
  add("display_name", display_name);
  add("metadata", metadata);
  return std::string("INSERT INTO ") + kPlayerProfileTableName +
         " (leaderboard_id, service_provider, local_account" + columns +
         ") VALUES(" + Quoted(leaderboard_id) + ", " +
         Quoted(account.service_provider()) + ", " + Quoted(account.id()) +
         values + ") ON DUPLICATE KEY UPDATE " + updates + ";";
}

std::string MakePlayerProfileDeletionQuery(const std::string& leaderboard_id,
                                           const vel::PlayerAccount& account) {
  return std::string("DELETE FROM ") + kPlayerProfileTableName + " WHERE " +
         RowCondition(leaderboard_id, account) + ";";
}

std::string MakePlayerProfileChunkQuery(const std::string& leaderboard_id,
                                        const PlayerProfileRow* after,
                                        std::size_t limit) {
  std::string query =
      std::string(
          "SELECT service_provider, local_account, display_name, metadata "
          "FROM ") +
      kPlayerProfileTableName +
      " WHERE leaderboard_id = " + Quoted(leaderboard_id);
  if (after != nullptr) {
    // Spelt out so that the server reads the primary key range.
    const std::string provider = Quoted(after->service_provider);
    query += " AND (service_provider > " + provider +
             " OR (service_provider = " + provider + " AND local_account > " +
             Quoted(after->local_account) + "))";
  }
  return query + " ORDER BY service_provider, local_account LIMIT " +
         std::to_string(limit);
}

}  // namespace plemox
