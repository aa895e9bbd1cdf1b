// The host's manifest: which component library to load, under which entry
// name, with which arguments and default flag values. Read once at start-up
// on the main thread; a value type afterwards.
//
//   {
//     "name": "PlemoxLeaderboardServer",          // entry points
//     <name>_install "library": "libplemox-leaderboard.so",      // relative to
//     the manifest "arguments": { ... },                       // given to
//     <name>_install "flags": { "server_tcp_port": 12820, ... }  // defaults;
//     the command line wins
//   }
#pragma once

#include <map>
#include <string>

#include "vel/core/json.h"

namespace vel {

class Manifest {
 public:
  // Reads and checks the manifest at `path`. On failure returns false with
  // the reason in *error and leaves *out unchanged.
  static bool Load(const std::string& path, Manifest* out, std::string* error);
  // Checks the manifest `text` as Load does; `path` names it in errors and
  // anchors a relative library path. Any thread.
  static bool Parse(const std::string& text, const std::string& path,
                    Manifest* out, std::string* error);

  // Component entry-point prefix.
  const std::string& name() const { return name_; }
  // The library path, resolved against the manifest's directory when relative
  // and containing a '/', else left for the dynamic loader's search path.
  const std::string& library() const { return library_; }
  const Json& arguments() const { return arguments_; }
  // Flag defaults as text, in the manifest's order of keys.
  const std::map<std::string, std::string>& flags() const { return flags_; }

 private:
  std::string name_;
  std::string library_;
  Json arguments_;
  std::map<std::string, std::string> flags_;
};

}  // namespace vel
