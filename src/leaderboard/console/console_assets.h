// The console's page: the files of src/leaderboard/console/web/, copied into
// the component when the build is configured (console_assets.cc.in), so the
// page always matches the routes it calls. Any thread.
#pragma once

#include <vector>

#include "vel/http/static_files.h"

namespace plemox {

// index.html, console.css, console.js and console_league.js with their
// contents.
std::vector<vel::StaticFiles::File> ConsoleAssets();

}  // namespace plemox
