// The end of one period of one leaderboard: what the reset flows tell the
// period archive and the period-end notification about a daily, weekly or
// monthly ranking that a reset closes. A value type, built by the reset flow
// and copied into every step after it; safe to read from any thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <string>

namespace plemox {

struct PeriodEnd {
  std::string leaderboard_id;
  // The key of the leaderboard's schedule of that period: leaderboard id +
  // "_day", "_week" or "_month".
  std::string leaderboard_key;
  // "day", "week" or "month".
  std::string period;
  // How the period ended: "scheduled", "requested" or "forced".
  std::string reset;
  // When the period began by its schedule's calendar; not-a-date-time for a
  // leaderboard without a schedule of that period (then the store takes the
  // end of the period before it, or of the reset logged before it). A later
  // end of an earlier period (a forced reset in between) wins over it.
  boost::posix_time::ptime calendar_start{boost::posix_time::not_a_date_time};
  // When the period ended: the schedule date time of a scheduled reset, the
  // request or force time otherwise (local wall-clock time).
  boost::posix_time::ptime end{boost::posix_time::not_a_date_time};
  // Unique per period end: the reset log's key and schedule date time
  // ("stage1_day/20261208T000000"); a forced reset adds a random part.
  std::string idempotency_key;
  // The Redis key that holds the closed ranking once the rollover is done
  // ("leaderboard:stage1:yesterday", or a dated week's own key).
  std::string source_key;
  // The Redis key that records which period `source_key` holds, written
  // right after the rollover; empty when `source_key` belongs to this
  // period alone (a dated week), so nothing can replace it.
  std::string marker_key;
  // Whether the archive keeps the period's standings (its retention is not
  // 0); otherwise only its notification reads them.
  bool keep_standings = false;
  // Whether a period-end notification is due (a webhook URL is set).
  bool notify = false;
};

}  // namespace plemox
