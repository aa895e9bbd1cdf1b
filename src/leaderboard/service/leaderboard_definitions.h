// LeaderboardDefinitions: the leaderboards defined at run time over the HTTP
// API (PUT/DELETE /v1/leaderboards/<id>/), process-wide. A definition lives
// in the leaderboard_definition table (DefinitionStore), so that every
// server sharing the database and Redis uses the same rules; a server
// applies the table's rows to its registries (RankingOptions for the
// ranking option, ResetScheduleRegistry for the schedules, which the master
// then runs like the manifest's).
//
// How the servers learn a change: the server that made it applies it at
// once and increments the Redis counter kVersionKey; every server reads the
// counter each kVersionCheckInterval on a thread of its own and reloads the
// table when it moved, and reloads it every kFullReloadInterval whatever
// the counter says (an increment lost to a Redis outage). So a change is in
// force everywhere within about two seconds, within kFullReloadInterval
// when Redis was down at the change.
//
// The manifest wins: an id that the manifest's leaderboard_ids,
// ranking_options or reset_schedules name cannot be defined. A retired
// definition keeps its ranking option (its scores stay ranked as they were
// made) and loses its schedules.
//
// Threads: Start, Stop and LoadForRecovery on the start-up (or shutdown)
// thread; Define, Retire and List from any thread, which they block for a
// few database round trips (the HTTP API's threads). Changes made in this
// process are serialised; between processes the table's version decides.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "vel/core/json.h"

namespace plemox {

class LeaderboardDefinitions {
 public:
  // The Redis counter of changes (a hash tag, so that it names one slot in
  // Redis Cluster mode like every other key).
  static const char kVersionKey[];
  static constexpr std::chrono::seconds kVersionCheckInterval{1};
  static constexpr std::chrono::seconds kFullReloadInterval{30};

  // What a route answers: an HTTP status and a JSON body (an error has
  // {"error": true, "message": ...}).
  struct Answer {
    int status = 200;
    vel::Json body;
  };

  // Opens the table's client, loads and applies every definition (fatal
  // when the table cannot be read: the server would rank defined
  // leaderboards by the wrong rules) and starts the sync thread.
  static void Start(const std::string& server_url, const std::string& user_id,
                    const std::string& password,
                    const std::string& database_name,
                    const std::string& character_set,
                    std::int64_t slow_query_threshold_ms);
  // Stops the sync thread and closes the client. Idempotent.
  static void Stop();

  // Recovery mode: loads and applies the definitions once, so that the
  // rankings rebuilt from the database take their rules. False (logged)
  // when the table cannot be read.
  static bool LoadForRecovery(const std::string& server_url,
                              const std::string& user_id,
                              const std::string& password,
                              const std::string& database_name,
                              const std::string& character_set,
                              std::int64_t slow_query_threshold_ms);

  // PUT /v1/leaderboards/<id>/ with `body`: 201 for a new definition, 200
  // for a changed one, with the leaderboard as List shows it; 400 for a bad
  // id or body, 409 for a manifest id, a changed order of a leaderboard that
  // has scores, or a concurrent change; 413 for a body over
  // LeaderboardDefinition::kMaxBodyBytes; 503 when the database or Redis
  // cannot answer. Nothing is stored unless the answer is 200 or 201.
  static Answer Define(const std::string& leaderboard_id,
                       const std::string& body);
  // DELETE /v1/leaderboards/<id>/: 200 with the retired leaderboard; 400
  // for a bad id, 404 when it has no definition in force, 409 for a
  // manifest id or a concurrent change, 503 as for Define.
  static Answer Retire(const std::string& leaderboard_id);
  // GET /v1/leaderboards/: every leaderboard of the manifest, every
  // definition (retired ones too) and every leaderboard created by its
  // first score, with its rules, schedules and source.
  static Answer List();

  // The ids of the definitions in force (not retired). Any thread.
  static std::set<std::string> DefinedIds();

  // Whether the manifest names `leaderboard_id`. Any thread after start-up.
  static bool IsManifestLeaderboard(const std::string& leaderboard_id);

  LeaderboardDefinitions() = delete;
};

}  // namespace plemox
