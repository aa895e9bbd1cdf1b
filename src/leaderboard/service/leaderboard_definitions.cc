#include "leaderboard/service/leaderboard_definitions.h"

#include <glog/logging.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <condition_variable>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "common/date_time_text.h"
#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_key.h"
#include "database/store/definition_store.h"
#include "database/store/leaderboard_tables.h"
#include "database/store/tiebreak_columns.h"
#include "leaderboard/core/leaderboard_definition.h"
#include "leaderboard/core/leaderboard_id.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/internal/service_state.h"
#include "vel/redis/redis.h"

namespace plemox {

const char LeaderboardDefinitions::kVersionKey[] =
    "plemox:{leaderboard_definitions}:version";

namespace {

using Answer = LeaderboardDefinitions::Answer;
using Clock = std::chrono::steady_clock;

// Serialises this process's loads and changes of the definitions, so that
// an older load never replaces what a change has just applied. Held across
// the database round trips of one load or change (never by a request).
std::mutex the_change_mutex;

std::mutex the_state_mutex;
std::shared_ptr<DefinitionStore> the_store;                    // GUARDED_BY
std::map<std::string, LeaderboardDefinition> the_definitions;  // GUARDED_BY

// The sync thread.
std::mutex the_sync_mutex;
std::condition_variable the_sync_wake;
bool the_sync_stop = false;  // GUARDED_BY(the_sync_mutex)
std::thread the_sync_thread;

std::shared_ptr<DefinitionStore> Store() {
  std::lock_guard<std::mutex> lock(the_state_mutex);
  return the_store;
}

Answer Error(int status, const std::string& message) {
  Answer answer;
  answer.status = status;
  answer.body = vel::Json::MakeObject();
  answer.body.Set("error", true);
  answer.body.Set("message", message);
  return answer;
}

// The definition a row holds; false (logged) for a row this server cannot
// read (written by hand, or by a server with rules this one lacks).
bool FromRow(const DefinitionStore::Row& row, LeaderboardDefinition* out) {
  std::string error;
  if (!IsValidLeaderboardId(row.leaderboard_id)) {
    error = InvalidLeaderboardIdMessage();
  } else if (LeaderboardDefinition::Parse(
                 row.leaderboard_id,
                 "{\"ranking_option\": " + row.ranking_option +
                     ", \"reset_schedules\": " + row.reset_schedules + "}",
                 out, &error)) {
    out->version = row.version;
    out->retired = row.retired;
    out->updated_at = row.updated_at;
    return true;
  }
  LOG(ERROR) << "A stored leaderboard definition cannot be read and is "
                "skipped: "
             << error << ": leaderboard_id=" << row.leaderboard_id
             << ", version=" << row.version;
  return false;
}

// Makes `rows` the definitions in force: the registries get their ranking
// options (retired ones too) and the schedules of those not retired. A row
// that cannot be read keeps what was in force for its id. REQUIRES:
// the_change_mutex held.
void Apply(const std::vector<DefinitionStore::Row>& rows) {
  std::map<std::string, LeaderboardDefinition> next;
  {
    std::lock_guard<std::mutex> lock(the_state_mutex);
    for (const DefinitionStore::Row& row : rows) {
      LeaderboardDefinition definition;
      if (FromRow(row, &definition)) {
        next[row.leaderboard_id] = std::move(definition);
      } else if (const auto it = the_definitions.find(row.leaderboard_id);
                 it != the_definitions.end()) {
        next[row.leaderboard_id] = it->second;
      }
    }
    for (const auto& [id, definition] : next) {
      const auto it = the_definitions.find(id);
      if (it == the_definitions.end() ||
          it->second.version != definition.version) {
        LOG(INFO) << "Leaderboard definition in force"
                  << ": leaderboard_id=" << id
                  << ", version=" << definition.version
                  << ", retired=" << (definition.retired ? "true" : "false")
                  << ", ranking_option=" << definition.RankingOptionText()
                  << ", reset_schedules=" << definition.SchedulesText();
      }
    }
    the_definitions = next;
  }
  std::map<std::string, RankingOption> options;
  std::vector<ResetScheduleRegistry::DefinedSchedule> schedules;
  for (const auto& [id, definition] : next) {
    if (LeaderboardDefinitions::IsManifestLeaderboard(id)) {
      LOG(WARNING) << "A stored leaderboard definition is ignored: the "
                      "manifest names the leaderboard"
                   << ": leaderboard_id=" << id;
      continue;
    }
    options[id] = definition.option;
    if (definition.option.has_tiebreak() && !TiebreakColumns::Has(id)) {
      // Its tables get the second score's column from their next
      // operation on (made again, idempotently, with it).
      TiebreakColumns::Add(id);
      LeaderboardTables::Process()->Forget(id);
    }
    if (definition.retired) continue;
    schedules.insert(schedules.end(), definition.schedules.begin(),
                     definition.schedules.end());
  }
  RankingOptions::SetDefinedOptions(std::move(options));
  ResetScheduleRegistry::ReplaceDefinedSchedules(schedules,
                                                 ResetSchedule::Now());
}

// Loads every row and applies it. REQUIRES: the_change_mutex held.
bool Reload(DefinitionStore& store, std::string* error) {
  std::vector<DefinitionStore::Row> rows;
  if (!store.LoadAll(&rows, error)) return false;
  Apply(rows);
  return true;
}

// Tells the other servers that the definitions changed.
void AnnounceChange() {
  std::int64_t version = 0;
  const vel::Redis::Result result =
      vel::Redis::Incr(LeaderboardDefinitions::kVersionKey, &version);
  if (result != vel::Redis::kSuccess) {
    LOG(WARNING) << "The change of the leaderboard definitions could not be "
                    "announced in Redis ("
                 << vel::Redis::ResultName(result)
                 << "); the other servers apply it at their next full reload, "
                    "within "
                 << LeaderboardDefinitions::kFullReloadInterval.count() << " s";
  }
}

// The version counter now: its text, "" when absent, nullopt when Redis
// did not answer.
std::optional<std::string> ReadVersion() {
  std::string value;
  const vel::Redis::Result result =
      vel::Redis::Get(LeaderboardDefinitions::kVersionKey, &value);
  if (result == vel::Redis::kSuccess) return value;
  if (result == vel::Redis::kNoValue) return std::string();
  return std::nullopt;
}

void RunSync(std::optional<std::string> seen) {
  auto last_reload = Clock::now();
  std::unique_lock<std::mutex> lock(the_sync_mutex);
  while (!the_sync_wake.wait_for(lock,
                                 LeaderboardDefinitions::kVersionCheckInterval,
                                 [] { return the_sync_stop; })) {
    lock.unlock();
    const std::optional<std::string> version = ReadVersion();
    const bool moved = version && version != seen;
    const bool due = Clock::now() - last_reload >=
                     LeaderboardDefinitions::kFullReloadInterval;
    if (moved || due) {
      const auto store = Store();
      std::string error;
      bool loaded = false;
      if (store) {
        std::lock_guard<std::mutex> change(the_change_mutex);
        loaded = Reload(*store, &error);
      }
      if (loaded) {
        last_reload = Clock::now();
        if (version) seen = version;
      } else {
        LOG(WARNING) << "Failed to reload the leaderboard definitions; the "
                        "ones in force stay: "
                     << error;
      }
    }
    lock.lock();
  }
}

// Whether `leaderboard_id` holds scores: in any of its Redis rankings or
// in any of its score tables. False with *error when either cannot answer.
bool HasScores(DefinitionStore& store, const std::string& leaderboard_id,
               bool* has_scores, std::string* error) {
  for (const auto& entry : kTimespanNames) {
    bool exists = false;
    const std::string key = MakeLeaderboardKey(
        leaderboard_id, entry.second,
        boost::posix_time::ptime(boost::posix_time::not_a_date_time));
    const vel::Redis::Result result = vel::Redis::Exists(key, &exists);
    if (result != vel::Redis::kSuccess) {
      *error = std::string("Redis did not answer (") +
               vel::Redis::ResultName(result) + ")";
      return false;
    }
    if (exists) {
      *has_scores = true;
      return true;
    }
  }
  return store.HasStoredScores(leaderboard_id, has_scores, error);
}

// The JSON form of one leaderboard in the listing.
vel::Json Entry(const std::string& leaderboard_id, const std::string& source,
                const RankingOption& option, vel::Json schedules) {
  vel::Json entry = vel::Json::MakeObject();
  entry.Set("leaderboard_id", leaderboard_id);
  entry.Set("source", source);
  entry.Set("ranking_option", LeaderboardDefinition::OptionJson(option));
  entry.Set("reset_schedules", std::move(schedules));
  return entry;
}

vel::Json DefinitionEntry(const LeaderboardDefinition& definition) {
  vel::Json entry = Entry(definition.leaderboard_id, "definition",
                          definition.option, definition.SchedulesJson());
  entry.Set("version", definition.version);
  entry.Set("retired", definition.retired);
  entry.Set("updated_at", definition.updated_at);
  return entry;
}

// The checks Define and Retire share before they touch the database; an
// answer when the request is refused.
std::optional<Answer> CheckChangeable(const std::string& leaderboard_id) {
  if (!IsValidLeaderboardId(leaderboard_id)) {
    return Error(400, InvalidLeaderboardIdMessage() + ": " + leaderboard_id);
  }
  if (!FLAGS_leaderboard_use_db_stored_procedure) {
    return Error(409,
                 "Leaderboards defined at run time need "
                 "--leaderboard_use_db_stored_procedure (their tables are "
                 "made by their first score)");
  }
  if (LeaderboardDefinitions::IsManifestLeaderboard(leaderboard_id)) {
    return Error(409, "Leaderboard " + leaderboard_id +
                          " is defined by the manifest (leaderboard_ids, "
                          "ranking_options or reset_schedules); change it "
                          "there");
  }
  return std::nullopt;
}

// Writes `row` over `expected_version` and applies the table again; the
// answer for a write that did not store. REQUIRES: the_change_mutex held.
std::optional<Answer> WriteAndApply(DefinitionStore& store,
                                    const DefinitionStore::Row& row,
                                    std::int64_t expected_version) {
  std::string error;
  switch (store.Write(row, expected_version, &error)) {
    case DefinitionStore::Outcome::kConflict:
      LOG(WARNING) << "Leaderboard definition refused: changed by another "
                      "server at the same time"
                   << ": leaderboard_id=" << row.leaderboard_id;
      return Error(409, "Leaderboard " + row.leaderboard_id +
                            " was changed by another server at the same "
                            "time; read it again and retry");
    case DefinitionStore::Outcome::kFailed:
      LOG(ERROR) << "Leaderboard definition not stored: " << error
                 << ": leaderboard_id=" << row.leaderboard_id;
      return Error(503, "The definition was not stored: " + error);
    case DefinitionStore::Outcome::kStored:
      break;
  }
  if (!Reload(store, &error)) {
    // Stored, but not read back: the sync thread applies it soon.
    LOG(WARNING) << "A stored leaderboard definition was not read back: "
                 << error;
  }
  AnnounceChange();
  return std::nullopt;
}

// The definition in force for `leaderboard_id` now, as the listing shows it.
vel::Json CurrentEntry(const std::string& leaderboard_id) {
  std::lock_guard<std::mutex> lock(the_state_mutex);
  const auto it = the_definitions.find(leaderboard_id);
  return it == the_definitions.end() ? vel::Json::MakeObject()
                                     : DefinitionEntry(it->second);
}

std::shared_ptr<DefinitionStore> OpenStore(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    const std::string& character_set, std::int64_t slow_query_threshold_ms) {
  return DefinitionStore::Open(server_url, user_id, password, database_name,
                               character_set, slow_query_threshold_ms);
}

}  // namespace

bool LeaderboardDefinitions::IsManifestLeaderboard(
    const std::string& leaderboard_id) {
  return service_internal::IsConfiguredLeaderboardId(leaderboard_id) ||
         RankingOptions::IsManifestOption(leaderboard_id) ||
         ResetScheduleRegistry::ManifestLeaderboardIds().count(
             leaderboard_id) != 0;
}

void LeaderboardDefinitions::Start(const std::string& server_url,
                                   const std::string& user_id,
                                   const std::string& password,
                                   const std::string& database_name,
                                   const std::string& character_set,
                                   std::int64_t slow_query_threshold_ms) {
  const auto store = OpenStore(server_url, user_id, password, database_name,
                               character_set, slow_query_threshold_ms);
  LEADERBOARD_ASSERT(store)
      << "Failed to open the leaderboard definitions' table";
  // The counter first: a change made while the table loads is then seen
  // moving at the first check.
  const std::optional<std::string> seen = ReadVersion();
  {
    std::lock_guard<std::mutex> change(the_change_mutex);
    std::string error;
    LEADERBOARD_ASSERT(Reload(*store, &error))
        << "Failed to load the leaderboard definitions: " << error;
  }
  {
    std::lock_guard<std::mutex> lock(the_state_mutex);
    the_store = store;
    LOG(INFO) << "Leaderboard definitions loaded: " << the_definitions.size()
              << " stored; changes are checked every "
              << kVersionCheckInterval.count() << " s and reloaded every "
              << kFullReloadInterval.count() << " s";
  }
  {
    std::lock_guard<std::mutex> lock(the_sync_mutex);
    the_sync_stop = false;
  }
  the_sync_thread = std::thread(&RunSync, seen);
}

void LeaderboardDefinitions::Stop() {
  {
    std::lock_guard<std::mutex> lock(the_sync_mutex);
    the_sync_stop = true;
  }
  the_sync_wake.notify_all();
  if (the_sync_thread.joinable()) the_sync_thread.join();
  std::shared_ptr<DefinitionStore> store;
  {
    std::lock_guard<std::mutex> lock(the_state_mutex);
    store = std::move(the_store);
    the_store.reset();
  }
  if (store) store->Finalize();
}

bool LeaderboardDefinitions::LoadForRecovery(
    const std::string& server_url, const std::string& user_id,
    const std::string& password, const std::string& database_name,
    const std::string& character_set, std::int64_t slow_query_threshold_ms) {
  const auto store = OpenStore(server_url, user_id, password, database_name,
                               character_set, slow_query_threshold_ms);
  if (!store) return false;
  std::lock_guard<std::mutex> change(the_change_mutex);
  std::string error;
  const bool loaded = Reload(*store, &error);
  if (!loaded) {
    LOG(ERROR) << "Failed to load the leaderboard definitions: " << error;
  }
  store->Finalize();
  return loaded;
}

std::set<std::string> LeaderboardDefinitions::DefinedIds() {
  std::set<std::string> ids;
  {
    std::lock_guard<std::mutex> lock(the_state_mutex);
    for (const auto& [id, definition] : the_definitions) {
      if (!definition.retired) ids.insert(id);
    }
  }
  // Outside the lock: the manifest's test reads the schedule registry.
  for (auto it = ids.begin(); it != ids.end();) {
    it = IsManifestLeaderboard(*it) ? ids.erase(it) : std::next(it);
  }
  return ids;
}

Answer LeaderboardDefinitions::Define(const std::string& leaderboard_id,
                                      const std::string& body) {
  if (auto refused = CheckChangeable(leaderboard_id)) return *refused;
  if (body.size() > LeaderboardDefinition::kMaxBodyBytes) {
    return Error(413, "The definition is larger than " +
                          std::to_string(LeaderboardDefinition::kMaxBodyBytes) +
                          " bytes");
  }
  LeaderboardDefinition definition;
  std::string error;
  if (!LeaderboardDefinition::Parse(leaderboard_id, body, &definition,
                                    &error)) {
    return Error(400, "Bad definition of " + leaderboard_id + ": " + error);
  }
  const auto store = Store();
  if (!store) return Error(503, "The definitions' database client is closed");

  std::lock_guard<std::mutex> change(the_change_mutex);
  std::optional<DefinitionStore::Row> stored;
  if (!store->Find(leaderboard_id, &stored, &error)) {
    return Error(503, "The stored definition could not be read: " + error);
  }
  // The rules the leaderboard's scores were ranked by: the stored
  // definition's, or the default of a leaderboard nobody defined.
  RankingOption before;
  LeaderboardDefinition previous;
  if (stored && FromRow(*stored, &previous)) before = previous.option;
  const bool same_league =
      before.is_league() == definition.option.is_league() &&
      (!before.is_league() || *before.league == *definition.option.league);
  if (!before.SameOrder(definition.option) || !same_league) {
    bool has_scores = false;
    if (!HasScores(*store, leaderboard_id, &has_scores, &error)) {
      return Error(503,
                   "Whether the leaderboard has scores is unknown: " + error);
    }
    if (has_scores) {
      return Error(409, "Leaderboard " + leaderboard_id +
                            " has scores: its sort order, tiebreak and "
                            "league rules cannot change");
    }
  }
  DefinitionStore::Row row;
  row.leaderboard_id = leaderboard_id;
  row.ranking_option = definition.RankingOptionText();
  row.reset_schedules = definition.SchedulesText();
  if (auto refused = WriteAndApply(*store, row, stored ? stored->version : 0)) {
    return *refused;
  }
  LOG(INFO) << "Leaderboard " << (stored ? "definition changed" : "defined")
            << ": leaderboard_id=" << leaderboard_id
            << ", ranking_option=" << row.ranking_option
            << ", reset_schedules=" << row.reset_schedules;
  Answer answer;
  answer.status = stored ? 200 : 201;
  answer.body = CurrentEntry(leaderboard_id);
  return answer;
}

Answer LeaderboardDefinitions::Retire(const std::string& leaderboard_id) {
  if (auto refused = CheckChangeable(leaderboard_id)) return *refused;
  const auto store = Store();
  if (!store) return Error(503, "The definitions' database client is closed");
  std::lock_guard<std::mutex> change(the_change_mutex);
  std::optional<DefinitionStore::Row> stored;
  std::string error;
  if (!store->Find(leaderboard_id, &stored, &error)) {
    return Error(503, "The stored definition could not be read: " + error);
  }
  if (!stored || stored->retired) {
    return Error(
        404, "Leaderboard " + leaderboard_id + " has no definition in force");
  }
  DefinitionStore::Row row = *stored;
  row.retired = true;
  if (auto refused = WriteAndApply(*store, row, stored->version)) {
    return *refused;
  }
  LOG(INFO) << "Leaderboard definition retired (its data is kept, its "
               "schedules stop)"
            << ": leaderboard_id=" << leaderboard_id;
  Answer answer;
  answer.body = CurrentEntry(leaderboard_id);
  return answer;
}

Answer LeaderboardDefinitions::List() {
  std::map<std::string, vel::Json> entries;
  // The manifest's: its ids, options and schedules.
  std::set<std::string> manifest_ids =
      ResetScheduleRegistry::ManifestLeaderboardIds();
  for (const std::string& id : service_internal::configured_leaderboard_ids()) {
    manifest_ids.insert(id);
  }
  for (const auto& entry : RankingOptions::ManifestOptions()) {
    manifest_ids.insert(entry.first);
  }
  std::map<std::string, vel::Json> manifest_schedules;
  for (const ResetSchedule& schedule : ResetScheduleRegistry::Snapshot()) {
    if (!ResetScheduleRegistry::IsManifestSchedule(schedule.key())) continue;
    vel::Json element = vel::Json::MakeObject();
    element.Set("period", PeriodToString(schedule.period()));
    element.Set("interval", schedule.interval());
    element.Set("starts", DateTimeToText(schedule.starts()));
    element.Set("ends", DateTimeToText(schedule.ends()));
    auto& list = manifest_schedules[schedule.leaderboard_id()];
    if (list.IsNull()) list = vel::Json::MakeArray();
    list.Append(std::move(element));
  }
  for (const std::string& id : manifest_ids) {
    RankingOption option;
    RankingOptions::GetRankingOption(id, &option);
    auto schedules = manifest_schedules[id];
    entries[id] = Entry(
        id, "manifest", option,
        schedules.IsNull() ? vel::Json::MakeArray() : std::move(schedules));
  }
  {
    std::lock_guard<std::mutex> lock(the_state_mutex);
    for (const auto& [id, definition] : the_definitions) {
      if (entries.count(id) == 0) entries[id] = DefinitionEntry(definition);
    }
  }
  // Leaderboards made by their first score, with the default rules.
  if (FLAGS_leaderboard_use_db_stored_procedure) {
    for (const std::string& id : LeaderboardTables::Process()->known_ids()) {
      if (entries.count(id) != 0) continue;
      entries[id] =
          Entry(id, "first_score", RankingOption(), vel::Json::MakeArray());
    }
  }
  vel::Json list = vel::Json::MakeArray();
  for (auto& entry : entries) list.Append(std::move(entry.second));
  Answer answer;
  answer.body = vel::Json::MakeObject();
  answer.body.Set("leaderboards", std::move(list));
  return answer;
}

}  // namespace plemox
