#include "common/date_time_text.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <regex>
#include <stdexcept>

namespace plemox {

namespace gregorian = boost::gregorian;
namespace posix_time = boost::posix_time;

std::string DateTimeToText(const posix_time::ptime& date_time) {
  return posix_time::to_simple_string(date_time);
}

std::string DateTimeToCompactText(const posix_time::ptime& date_time) {
  return posix_time::to_iso_string(date_time);
}

std::string DateToWeekText(const gregorian::date& date) {
  return gregorian::to_iso_string(date);
}

bool LocalTimeToUnixSeconds(const posix_time::ptime& time, double* seconds) {
  if (time.is_special()) return false;
  std::tm tm = posix_time::to_tm(time);
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  *seconds = static_cast<double>(t);
  return true;
}

bool ParseDateTime(const std::string& text, posix_time::ptime* out) {
  // The date library's parser is lenient: it rolls "25:00:00" over into the
  // next day and reads "00:61" as 01:01. A schedule text with such a time is
  // a typing error, so the shape and the ranges are checked first.
  static const std::regex kShape(
      R"((\d{4})-(\d{1,2})-(\d{1,2}) (\d{1,2}):(\d{1,2}):(\d{1,2})(\.\d{1,9})?)");
  std::smatch match;
  if (!std::regex_match(text, match, kShape)) {
    return false;
  }
  if (std::stoi(match[4].str()) > 23 || std::stoi(match[5].str()) > 59 ||
      std::stoi(match[6].str()) > 59) {
    return false;
  }
  try {
    // Throws for dates that do not exist (2021-02-30) or lie outside the
    // calendar.
    const posix_time::ptime parsed = posix_time::time_from_string(text);
    if (parsed.is_special()) {
      return false;
    }
    *out = parsed;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace plemox
