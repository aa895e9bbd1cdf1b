// The archive's retention per kind of period.
#include "leaderboard/period/period_retention.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <cstdint>

#include "common/leaderboard_flags.h"

namespace plemox {
namespace {

std::uint64_t RetentionOf(const std::string& period) {
  if (period == "day") return FLAGS_period_archive_retention_days;
  if (period == "week") return FLAGS_period_archive_retention_weeks;
  if (period == "month") return FLAGS_period_archive_retention_months;
  return 0;
}

}  // namespace

bool PeriodRetention::Keeps(const std::string& period) {
  return RetentionOf(period) != 0;
}

boost::posix_time::ptime PeriodRetention::Cutoff(
    const std::string& period, const boost::posix_time::ptime& now) {
  namespace gregorian = boost::gregorian;
  // Retentions beyond a century keep everything (and stay inside the
  // calendar's arithmetic).
  constexpr std::uint64_t kMaxDays = 100 * 366;
  const boost::posix_time::ptime beginning(gregorian::date(1400, 1, 1));
  const std::uint64_t amount = RetentionOf(period);
  if (period == "month") {
    if (amount > kMaxDays / 31) return beginning;
    return now - gregorian::months(static_cast<int>(amount));
  }
  if (amount > kMaxDays) return beginning;
  const std::uint64_t days = period == "week" ? amount * 7 : amount;
  if (days > kMaxDays) return beginning;
  return now - gregorian::days(static_cast<long>(days));
}

std::map<std::string, boost::posix_time::ptime> PeriodRetention::Cutoffs(
    const boost::posix_time::ptime& now) {
  return {{"day", Cutoff("day", now)},
          {"week", Cutoff("week", now)},
          {"month", Cutoff("month", now)}};
}

}  // namespace plemox
