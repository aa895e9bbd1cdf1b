// DefinitionStore: the leaderboard_definition table, where the leaderboards
// defined at run time keep their rules, so that every server sharing the
// database uses the same ones. One row per leaderboard id: the ranking
// option and the reset schedules as JSON texts (LeaderboardDefinition's
// stored forms), a version that grows by one with every change, whether the
// definition was retired, and when it last changed. Writes are conditional
// on the version read before (an INSERT for a new id, an UPDATE ... WHERE
// version = the one read), so of two servers changing one id at once one
// wins and the other is told.
//
// It runs on a MariaDB client of its own (one connection), and every call
// blocks its caller for one or two round trips: call it from the HTTP API's
// threads, the definitions' sync thread or the start-up thread, never from a
// cache or database completion. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vel/mariadb/mariadb.h"

namespace plemox {

class DefinitionStore {
 public:
  // One row of the table.
  struct Row {
    std::string leaderboard_id;
    std::string ranking_option;   // a JSON object
    std::string reset_schedules;  // a JSON array
    std::int64_t version = 0;
    bool retired = false;
    std::string updated_at;  // "YYYY-MM-DD HH:MM:SS", the database's clock
  };

  // What a conditional write came to.
  enum class Outcome {
    kStored,
    // Another writer changed the row since it was read (or made it first).
    kConflict,
    // The database refused or could not be reached; *error says why.
    kFailed,
  };

  static constexpr char kTableName[] = "leaderboard_definition";

  // CREATE TABLE IF NOT EXISTS leaderboard_definition. Pure.
  static std::string MakeTableQuery();

  // Connects a client of its own (a statement that gets no answer within
  // 10 s fails) and makes sure the table exists (CREATE TABLE IF NOT
  // EXISTS; a user without CREATE may use a table that exists). Null, with
  // the reason logged, when the database cannot be reached or the table
  // can neither be made nor read.
  static std::shared_ptr<DefinitionStore> Open(
      const std::string& server_url, const std::string& user_id,
      const std::string& password, const std::string& database_name,
      const std::string& character_set, std::int64_t slow_query_threshold_ms);

  explicit DefinitionStore(std::shared_ptr<vel::Mariadb> client);
  ~DefinitionStore();
  DefinitionStore(const DefinitionStore&) = delete;
  DefinitionStore& operator=(const DefinitionStore&) = delete;

  // Every row, in id order. False with *error when the read failed.
  bool LoadAll(std::vector<Row>* rows, std::string* error);

  // The row of `leaderboard_id` into *row (nullopt when there is none).
  // REQUIRES: the id follows the id rule (IsValidLeaderboardId).
  bool Find(const std::string& leaderboard_id, std::optional<Row>* row,
            std::string* error);

  // Writes `row` (its version is ignored) when the stored row still has
  // `expected_version`, 0 meaning that there is no row yet; the stored
  // version becomes expected_version + 1. REQUIRES: the id follows the id
  // rule.
  Outcome Write(const Row& row, std::int64_t expected_version,
                std::string* error);

  // Whether any score table of `leaderboard_id` (every timespan but the
  // dated weekly ones) holds a row. REQUIRES: the id follows the id rule.
  bool HasStoredScores(const std::string& leaderboard_id, bool* has_scores,
                       std::string* error);

  // Closes the client; later calls fail. Idempotent.
  void Finalize();

 private:
  vel::Mariadb::Error Run(const std::string& statement,
                          std::shared_ptr<vel::ResultSets>* results = nullptr);
  std::string Quoted(const std::string& value) const;

  const std::shared_ptr<vel::Mariadb> client_;
};

}  // namespace plemox
