// How long the archive keeps closed periods of each kind: the flags
// --period_archive_retention_days, _weeks and _months. Pure; any thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <map>
#include <string>

namespace plemox {

class PeriodRetention {
 public:
  // Whether the archive keeps the standings of periods of kind `period`
  // ("day", "week" or "month"): its retention is not 0.
  static bool Keeps(const std::string& period);

  // The earliest end a kept period of kind `period` may have at `now`;
  // periods that ended before it have expired. With a retention of 0, `now`.
  static boost::posix_time::ptime Cutoff(const std::string& period,
                                         const boost::posix_time::ptime& now);

  // Cutoff for each of the three kinds.
  static std::map<std::string, boost::posix_time::ptime> Cutoffs(
      const boost::posix_time::ptime& now);

  PeriodRetention() = delete;
};

}  // namespace plemox
