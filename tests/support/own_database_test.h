// A test fixture with a MariaDB database and a leaderboard id prefix of its
// own, for tests whose server reads every table of its database (recovery,
// schema checks): the database is created before the test and dropped after
// it with the prefix's Redis keys. Test thread only.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "support/store_probe.h"

namespace plemox_test {

class OwnDatabaseTest : public testing::Test {
 protected:
  // `stem` starts the prefix: "<stem><pid>_<n>_", n counting the fixtures
  // of the process; the database is named the prefix and "db".
  explicit OwnDatabaseTest(std::string stem) : stem_(std::move(stem)) {}

  void SetUp() override {
    static int counter = 0;
    prefix_ = stem_ + std::to_string(getpid()) + "_" +
              std::to_string(++counter) + "_";
    database_ = prefix_ + "db";
    ASSERT_EQ(probe_.Execute("CREATE DATABASE " + database_), "");
  }
  void TearDown() override {
    probe_.DeleteKeys("leaderboard:" + prefix_ + "*");
    probe_.Execute("DROP DATABASE IF EXISTS " + database_);
  }

  StoreProbe probe_;
  std::string prefix_;
  std::string database_;

 private:
  std::string stem_;
};

}  // namespace plemox_test
