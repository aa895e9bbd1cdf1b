#include "leaderboard/console/console_parameters.h"

#include <cctype>

#include "vel/http/percent_decoding.h"

namespace plemox {
namespace {

using Query = Leaderboard::LeaderboardQuery;

template <typename Value>
struct Named {
  Value value;
  const char* name;
};

constexpr Named<ConsoleParameters::TimeSpan> kTimeSpanNames[] = {
    {Query::kAllTime, "all_time"},     {Query::kDaily, "daily"},
    {Query::kWeekly, "weekly"},        {Query::kMonthly, "monthly"},
    {Query::kYesterday, "yesterday"},  {Query::kLastWeek, "last_week"},
    {Query::kLastMonth, "last_month"},
};

constexpr Named<ConsoleParameters::Numbering> kNumberingNames[] = {
    {Query::Request::kPosition, "position"},
    {Query::Request::kCompetition, "competition"},
    {Query::Request::kDense, "dense"},
};

template <typename Value, std::size_t kSize>
std::string NameOf(const Named<Value> (&names)[kSize], Value value) {
  for (const auto& named : names) {
    if (named.value == value) return named.name;
  }
  return "unknown";
}

template <typename Value, std::size_t kSize>
bool ValueOf(const Named<Value> (&names)[kSize], const std::string& name,
             Value* value) {
  for (const auto& named : names) {
    if (name == named.name) {
      *value = named.value;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ConsoleParameters::ParseQuery(const std::string& query, Values* values,
                                   std::string* error) {
  values->clear();
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    std::string name;
    std::string value;
    if (!vel::PercentDecoding::Decode(pair.substr(0, equals), true, &name) ||
        (equals != std::string::npos &&
         !vel::PercentDecoding::Decode(pair.substr(equals + 1), true,
                                       &value))) {
      *error = "broken percent escape in the query string";
      return false;
    }
    values->emplace(std::move(name), std::move(value));
  }
  return true;
}

const std::vector<ConsoleParameters::TimeSpan>& ConsoleParameters::TimeSpans() {
  static const std::vector<TimeSpan> kAll = [] {
    std::vector<TimeSpan> all;
    for (const auto& named : kTimeSpanNames) all.push_back(named.value);
    return all;
  }();
  return kAll;
}

std::string ConsoleParameters::TimeSpanName(TimeSpan time_span) {
  return NameOf(kTimeSpanNames, time_span);
}

bool ConsoleParameters::ParseTimeSpan(const std::string& name,
                                      TimeSpan* time_span) {
  return ValueOf(kTimeSpanNames, name, time_span);
}

std::vector<std::string> ConsoleParameters::TimeSpanNames() {
  std::vector<std::string> names;
  for (const auto& named : kTimeSpanNames) names.push_back(named.name);
  return names;
}

std::vector<std::string> ConsoleParameters::NumberingNames() {
  std::vector<std::string> names;
  for (const auto& named : kNumberingNames) names.push_back(named.name);
  return names;
}

std::string ConsoleParameters::NumberingName(Numbering numbering) {
  return NameOf(kNumberingNames, numbering);
}

bool ConsoleParameters::ParseNumbering(const std::string& name,
                                       Numbering* numbering) {
  return ValueOf(kNumberingNames, name, numbering);
}

bool ConsoleParameters::ParseNumber(const std::string& text, std::int64_t min,
                                    std::int64_t max, std::int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  std::int64_t number = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + (c - '0');
  }
  if (number < min || number > max) return false;
  *value = number;
  return true;
}

}  // namespace plemox
