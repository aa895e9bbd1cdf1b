// What the recovery tests share: a database of the test's own (recovery
// reads every table of its database), the host run in recovery mode to its
// end, and what Redis holds for one ranking in the form the database can give
// back (sub-second digits of the ranking time dropped). Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/host_process.h"
#include "support/own_database_test.h"
#include "support/store_probe.h"

namespace plemox_test {

inline const char* const kTimespans[] = {"alltime",  "daily",     "weekly",
                                         "lastweek", "yesterday", "monthly",
                                         "lastmonth"};

// A member ranking key without the sub-second digits of its time prefix,
// which the database does not keep ("8387654321098:p1:guest" gives
// "8387654321***:p1:guest").
inline std::string WithoutMilliseconds(const std::string& member) {
  // After the tiebreak text and its "_" on a leaderboard with a tiebreak.
  const std::size_t from = member.size() > 17 && member[16] == '_' ? 17 : 0;
  if (member.size() < from + 14 || member[from + 13] != ':') return member;
  return member.substr(0, from + 10) + "***" + member.substr(from + 13);
}

// What Redis holds for one ranking, sub-second digits dropped.
struct Ranking {
  std::vector<std::pair<std::string, double>> members;  // highest first
  std::map<std::string, std::string> index;
  std::vector<std::pair<std::string, double>> dense;
  bool operator==(const Ranking& other) const {
    return members == other.members && index == other.index &&
           dense == other.dense;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Ranking& ranking) {
  out.precision(17);
  for (const auto& [member, score] : ranking.members) {
    out << "\n  " << member << " " << score;
  }
  for (const auto& [field, value] : ranking.index) {
    out << "\n  index " << field << " -> " << value;
  }
  for (const auto& [member, score] : ranking.dense) {
    out << "\n  dense " << member << " " << score;
  }
  return out;
}

class RecoveryTestBase : public OwnDatabaseTest {
 protected:
  explicit RecoveryTestBase(std::string stem)
      : OwnDatabaseTest(std::move(stem)) {}

  std::string Id(const std::string& name) const { return prefix_ + name; }
  std::string Key(const std::string& name, const std::string& timespan) const {
    return "leaderboard:" + Id(name) + ":" + timespan;
  }
  std::string Table(const std::string& name,
                    const std::string& timespan) const {
    return database_ + "." + Id(name) + "_" + timespan;
  }

  HostProcess::Options Options(const std::string& arguments,
                               std::vector<std::string> flags) const {
    auto options = HostProcess::Options::WithArguments(arguments);
    options.flags = std::move(flags);
    options.flags.push_back("--mysql_db_name=" + database_);
    return options;
  }

  // Runs the host in recovery mode to its end; returns its exit code.
  int Recover(const std::string& arguments, std::vector<std::string> flags,
              std::optional<std::string> input = std::nullopt) {
    auto options = Options(arguments, std::move(flags));
    options.standard_input = std::move(input);
    recovery_ = std::make_unique<HostProcess>(options);
    if (!recovery_->Start()) return -1;
    return ExitCode(recovery_->WaitForExit(std::chrono::seconds(60)));
  }
  std::string RecoveryLog() const { return recovery_ ? recovery_->Log() : ""; }
  // Where Read looks: the shared Redis, or a test's own.
  StoreProbe* redis_probe_ = &probe_;

  Ranking Read(const std::string& name, const std::string& timespan) {
    Ranking ranking;
    const std::string key = Key(name, timespan);
    for (const auto& [member, score] : redis_probe_->SortedSet(key)) {
      ranking.members.emplace_back(WithoutMilliseconds(member), score);
    }
    // Redis's order (highest score first, then the greater member text) of
    // the members as the database can give them back: equal scores of one
    // second may change places, equal scores of different seconds may not.
    std::sort(ranking.members.begin(), ranking.members.end(),
              [](const auto& a, const auto& b) {
                return a.second != b.second ? a.second > b.second
                                            : a.first > b.first;
              });
    for (const auto& [field, value] : redis_probe_->Hash(key + ":timestamp")) {
      ranking.index[field] = WithoutMilliseconds(value);
    }
    ranking.dense = redis_probe_->SortedSet(key + ":dense");
    return ranking;
  }

  // A score table made like the server makes them, with rows.
  void CreateTable(const std::string& name, const std::string& timespan,
                   const std::vector<std::string>& rows) {
    ASSERT_EQ(
        probe_.Execute("CREATE TABLE IF NOT EXISTS " + Table(name, timespan) +
                       " (service_provider CHAR(32) NOT NULL, local_account "
                       "CHAR(50) NOT NULL, score DOUBLE NOT NULL DEFAULT 0, "
                       "time_stamp BIGINT NOT NULL DEFAULT 0, PRIMARY KEY "
                       "(service_provider, local_account))"),
        "");
    for (const std::string& row : rows) {
      ASSERT_EQ(probe_.Execute("INSERT INTO " + Table(name, timespan) +
                               " VALUES (" + row + ")"),
                "");
    }
  }

  std::size_t Count(const std::string& text) const {
    const std::string log = RecoveryLog();
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos;
         at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  std::unique_ptr<HostProcess> recovery_;
};

}  // namespace plemox_test
