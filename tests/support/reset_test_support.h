// Small helpers shared by the reset end-to-end tests: local date times in the
// texts of the manifest and the reset log, and manifest fragments.
#pragma once

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <string>
#include <vector>

namespace plemox_test {

namespace posix_time = boost::posix_time;

// The server's clock: local wall-clock time at one-second resolution.
inline posix_time::ptime LocalNow() {
  return posix_time::second_clock::local_time();
}

// "2021-02-08 00:00:00", the manifest's form of starts and ends.
inline std::string ManifestTime(const posix_time::ptime& time) {
  std::string text = posix_time::to_iso_extended_string(time);
  text[10] = ' ';
  return text;
}

// "20210208T000000", the reset log's form of a scheduled reset.
inline std::string CompactTime(const posix_time::ptime& time) {
  return posix_time::to_iso_string(time);
}

// A unique prefix for ids of one test program run.
inline std::string UniquePrefix(const std::string& name) {
  return name + std::to_string(getpid()) + "_";
}

// One element of "reset_schedules".
inline std::string ScheduleJson(
    const std::string& id, const std::string& period,
    const posix_time::ptime& starts,
    const std::string& ends = "2099-01-01 00:00:00") {
  return "{\"leaderboard_id\": \"" + id + "\", \"period\": \"" + period +
         "\", \"interval\": 1, \"starts\": \"" + ManifestTime(starts) +
         "\", \"ends\": \"" + ends + "\"}";
}

// `"leaderboard_ids": [...], "reset_schedules": [...]` for a manifest.
inline std::string ArgumentsJson(const std::vector<std::string>& ids,
                                 const std::vector<std::string>& schedules) {
  std::string text = "\"leaderboard_ids\": [";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    text += (i ? ", \"" : "\"") + ids[i] + "\"";
  }
  text += "], \"reset_schedules\": [";
  for (std::size_t i = 0; i < schedules.size(); ++i) {
    text += (i ? ", " : "") + schedules[i];
  }
  return text + "]";
}

}  // namespace plemox_test
