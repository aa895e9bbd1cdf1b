// The process-wide registry of per-leaderboard ranking options: those of the
// `ranking_options` manifest argument, fixed at start-up, and those of the
// leaderboards defined at run time (LeaderboardDefinitions), replaced as a
// whole whenever the definitions change. The manifest wins for an id both
// name.
//
// Threads: InitializeRankingOption and ClearForTesting run on the start-up
// thread before any request is accepted. GetRankingOption may be called from
// any thread: the manifest's options are read without a lock, the defined
// ones from a SnapshotCell (one atomic load while they do not change).
// SetDefinedOptions may be called from any thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/ranking_option.h"
#include "leaderboard/core/snapshot_cell.h"
#include "vel/core/json.h"

namespace plemox {

class RankingOptions {
 public:
  RankingOptions() = delete;

  // Registers the options of `ranking_options`, an array of objects with a
  // non-empty string "leaderboard_id" and optional booleans "enable_alltime"
  // and "enable_dense" (true when absent or not a boolean) and an optional
  // "sort_order" (see ParseOption). A null value (the
  // argument is absent from the manifest) means no options. Returns false,
  // with an error log, for an element without a usable leaderboard id or with
  // a bad "sort_order" (start-up stops: it names the key and the value); the
  // options read before it stay registered. A second option for the same id
  // is logged but dropped: the first one wins. A value that is neither null
  // nor an array is a fatal configuration error.
  static bool InitializeRankingOption(const vel::Json& ranking_options);

  // Copies the option of `leaderboard_id` to *out and returns true; when the
  // id has none, copies the default option (empty id, both flags true) and
  // returns false. REQUIRES: out != nullptr.
  static bool GetRankingOption(const std::string& leaderboard_id,
                               RankingOption* out);

  // Reads the rules of one options object (a `ranking_options` element, or
  // the "ranking_option" of a definition made at run time) into *out:
  // "enable_alltime" and "enable_dense" (true when absent or not a boolean)
  // "sort_order" ("descending", the default, or "ascending") and
  // "tiebreak" (absent: none; "descending" or "ascending", which needs
  // --redis_cache_use_scripts) and "league" (absent: none; see
  // LeagueRules, also needs the scripts; its period is resolved later). The
  // leaderboard id is neither read nor changed. False, with *error naming the
  // key and the value, for a rule with a bad value. Pure; any thread.
  static bool ParseOption(const vel::Json& element, RankingOption* out,
                          std::string* error);

  // A league's period (LeagueRules::period) from the leaderboard's
  // schedules: the one named must have a schedule; unnamed, the leaderboard
  // must have exactly one. Replaces option->league with the resolved rules;
  // does nothing on a leaderboard that is no league. False, with *error,
  // when the schedules do not fit. Pure; any thread.
  static bool ResolveLeaguePeriod(RankingOption* option, bool has_day,
                                  bool has_week, bool has_month,
                                  std::string* error);

  // Every option, the manifest's and those defined at run time, in id
  // order. Any thread.
  static std::vector<RankingOption> GetAll();

  // Replaces the options of the leaderboards defined at run time with
  // `options` (leaderboard id -> option). An id that the manifest's options
  // name keeps the manifest's (logged once per call).
  static void SetDefinedOptions(std::map<std::string, RankingOption> options);

  // Whether the manifest's `ranking_options` name `leaderboard_id`.
  static bool IsManifestOption(const std::string& leaderboard_id);

  // The manifest's options, by id. Fixed after start-up.
  static const std::map<std::string, RankingOption>& ManifestOptions();

  // Forgets every option (tests only).
  static void ClearForTesting();

 private:
  // Leaderboard id -> option. Written only during start-up.
  static std::map<std::string, RankingOption> the_ranking_options;
  // Leaderboard id -> option of the leaderboards defined at run time.
  static SnapshotCell<std::map<std::string, RankingOption>> the_defined_options;
};

}  // namespace plemox
