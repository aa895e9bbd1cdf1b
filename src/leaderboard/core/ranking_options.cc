#include "leaderboard/core/ranking_options.h"

#include <glog/logging.h>

#include "common/leaderboard_flags.h"

namespace plemox {

std::map<std::string, RankingOption> RankingOptions::the_ranking_options;
SnapshotCell<std::map<std::string, RankingOption>>
    RankingOptions::the_defined_options;

namespace {

// The boolean member `name` of `element`, or true when it is absent or of
// another type.
bool ReadFlag(const vel::Json& element, const std::string& name) {
  const vel::Json value = element[name];
  return value.IsBool() ? value.GetBool() : true;
}

// The optional "sort_order" of `element` into *order; false, with *error,
// for a value that is neither "descending" nor "ascending".
bool ReadSortOrder(const vel::Json& element, RankingOption::SortOrder* order,
                   std::string* error) {
  const vel::Json value = element["sort_order"];
  *order = RankingOption::SortOrder::kDescending;
  if (value.IsNull()) return true;
  if (value.IsString() && value.GetString() == "descending") return true;
  if (value.IsString() && value.GetString() == "ascending") {
    *order = RankingOption::SortOrder::kAscending;
    return true;
  }
  *error = "sort_order must be \"descending\" or \"ascending\", not " +
           value.ToString();
  return false;
}

// The optional "tiebreak" of `element` into *tiebreak; false, with *error,
// for a value that is neither "descending" nor "ascending".
bool ReadTiebreak(const vel::Json& element, RankingOption::Tiebreak* tiebreak,
                  std::string* error) {
  const vel::Json value = element["tiebreak"];
  *tiebreak = RankingOption::Tiebreak::kNone;
  if (value.IsNull()) return true;
  if (value.IsString() && value.GetString() == "descending") {
    *tiebreak = RankingOption::Tiebreak::kDescending;
    return true;
  }
  if (value.IsString() && value.GetString() == "ascending") {
    *tiebreak = RankingOption::Tiebreak::kAscending;
    return true;
  }
  *error = "tiebreak must be \"descending\" or \"ascending\", not " +
           value.ToString();
  return false;
}

}  // namespace

bool RankingOptions::ParseOption(const vel::Json& element, RankingOption* out,
                                 std::string* error) {
  out->enable_alltime = ReadFlag(element, "enable_alltime");
  out->enable_dense = ReadFlag(element, "enable_dense");
  if (!ReadSortOrder(element, &out->sort_order, error) ||
      !ReadTiebreak(element, &out->tiebreak, error)) {
    return false;
  }
  if (out->has_tiebreak() && !FLAGS_redis_cache_use_scripts) {
    // The command chain keeps no second scores.
    *error = "tiebreak needs --redis_cache_use_scripts";
    return false;
  }
  return true;
}

bool RankingOptions::InitializeRankingOption(const vel::Json& ranking_options) {
  // An absent argument comes as null; it means the same as an empty array.
  if (ranking_options.IsNull() ||
      (ranking_options.IsArray() && ranking_options.Size() == 0)) {
    LOG(INFO) << "No ranking options found.";
    return true;
  }
  if (!ranking_options.IsArray()) {
    LOG(FATAL) << "Assert failed: ranking_options.IsArray()"
               << ": ranking_options=" << ranking_options.ToString();
  }

  for (std::size_t i = 0; i < ranking_options.Size(); ++i) {
    const vel::Json element = ranking_options[i];
    const vel::Json id = element["leaderboard_id"];
    if (!id.IsString() || id.GetString().empty()) {
      LOG(ERROR) << "Could not find 'leaderboard_id' in 'ranking_options'"
                 << ": element=" << element.ToString();
      return false;
    }
    RankingOption option;
    option.leaderboard_id = id.GetString();
    std::string error;
    if (!ParseOption(element, &option, &error)) {
      LOG(ERROR) << "Bad 'ranking_options' entry: " << error
                 << ": leaderboard_id=" << option.leaderboard_id;
      return false;
    }
    LOG(INFO) << "Leaderboard options is set"
              << ": leaderboard_id=" << option.leaderboard_id
              << ", enable_alltime="
              << (option.enable_alltime ? "true" : "false")
              << ", enable_dense=" << (option.enable_dense ? "true" : "false");
    if (option.ascending()) {
      LOG(INFO) << "Leaderboard ranks the lowest score first"
                << ": leaderboard_id=" << option.leaderboard_id;
    }
    if (option.has_tiebreak()) {
      LOG(INFO) << "Leaderboard breaks ties on a second score, the "
                << (option.tiebreak == RankingOption::Tiebreak::kAscending
                        ? "lowest"
                        : "highest")
                << " first: leaderboard_id=" << option.leaderboard_id;
    }
    // The first option of an id wins; say so, since the line above has just
    // announced the later one as set.
    if (!the_ranking_options.emplace(option.leaderboard_id, option).second) {
      LOG(WARNING) << "Duplicated ranking option ignored, the first one is used"
                   << ": leaderboard_id=" << option.leaderboard_id;
    }
  }
  return true;
}

bool RankingOptions::GetRankingOption(const std::string& leaderboard_id,
                                      RankingOption* out) {
  if (out == nullptr) {
    LOG(FATAL) << "Assert failed: out";
  }
  const auto it = the_ranking_options.find(leaderboard_id);
  if (it != the_ranking_options.end()) {
    *out = it->second;
    return true;
  }
  const auto& defined = the_defined_options.Get();
  const auto found = defined.find(leaderboard_id);
  if (found == defined.end()) {
    *out = RankingOption();
    return false;
  }
  *out = found->second;
  return true;
}

std::vector<RankingOption> RankingOptions::GetAll() {
  std::map<std::string, RankingOption> all = the_ranking_options;
  const auto& defined = the_defined_options.Get();
  all.insert(defined.begin(), defined.end());
  std::vector<RankingOption> out;
  for (auto& entry : all) out.push_back(std::move(entry.second));
  return out;
}

void RankingOptions::SetDefinedOptions(
    std::map<std::string, RankingOption> options) {
  for (auto it = options.begin(); it != options.end();) {
    if (the_ranking_options.count(it->first) != 0) {
      LOG(WARNING) << "A leaderboard defined at run time is also in the "
                      "manifest's ranking_options; the manifest's rules apply"
                   << ": leaderboard_id=" << it->first;
      it = options.erase(it);
    } else {
      ++it;
    }
  }
  the_defined_options.Publish(std::move(options));
}

bool RankingOptions::IsManifestOption(const std::string& leaderboard_id) {
  return the_ranking_options.count(leaderboard_id) != 0;
}

const std::map<std::string, RankingOption>& RankingOptions::ManifestOptions() {
  return the_ranking_options;
}

void RankingOptions::ClearForTesting() {
  the_ranking_options.clear();
  the_defined_options.Publish({});
}

}  // namespace plemox
