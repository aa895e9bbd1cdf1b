// Text forms of date times shared by the schedules, the reset log and the
// names of dated weekly tables and keys. Pure functions; any thread.
#pragma once

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <string>

namespace plemox {

// Text forms of date times. Special values are written by their names
// ("not-a-date-time", "+infinity", "-infinity").
// JSON and log form: "2021-Feb-08 00:00:00".
std::string DateTimeToText(const boost::posix_time::ptime& date_time);
// Compact form of the reset log: "20210208T000000" (a fraction of a second
// appears after "." only when it is not zero).
std::string DateTimeToCompactText(const boost::posix_time::ptime& date_time);
// Week date of dated weekly tables and keys: "20210208".
std::string DateToWeekText(const boost::gregorian::date& date);

// Seconds since the Unix epoch of a local wall-clock time (the schedules'
// times); false for not-a-date-time, infinities and times the C library
// cannot convert.
bool LocalTimeToUnixSeconds(const boost::posix_time::ptime& time,
                            double* seconds);

// Reads a schedule's "starts" or "ends" text: a date as year-month-day, one
// blank, and a time as hours:minutes:seconds with an optional fraction, for
// example "2021-02-08 00:00:00". Hours, minutes and seconds must be in their
// ranges and the date must exist. Returns false and leaves *out unchanged for
// any other text.
bool ParseDateTime(const std::string& text, boost::posix_time::ptime* out);

}  // namespace plemox
