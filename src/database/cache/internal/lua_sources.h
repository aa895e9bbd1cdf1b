// The Lua sources of the ranking cache's server-side scripts, embedded at
// build time from src/database/cache/lua/*.lua (the files stay readable there
// for review, linting and the bench script's redis-benchmark baseline).
// Constants; any thread.
#pragma once

namespace plemox {
namespace lua_sources {

// submit_score.lua: one whole score submission (see the file's header).
extern const char kSubmitScore[];
// public_query.lua: one public ranking query (see the file's header).
extern const char kPublicQuery[];
// social_query.lua: the reads of one social ranking query (see the file's
// header).
extern const char kSocialQuery[];
// cohort_query.lua: the reads of one league cohort; league_rollover.lua and
// league_place.lua: a league's rollover and the placement of waiting
// players (see the files' headers).
extern const char kCohortQuery[];
extern const char kLeagueRollover[];
extern const char kLeaguePlace[];

}  // namespace lua_sources
}  // namespace plemox
