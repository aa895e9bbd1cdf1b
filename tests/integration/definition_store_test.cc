// The leaderboard_definition table against the real MariaDB of
// scripts/services.sh: conditional writes (the version a writer read
// decides; a stale one is told, never applied), the texts coming back
// byte for byte whatever they hold, and the scores check over the score
// tables. Each test works on rows and tables of its own ids and removes
// them.
#include "database/store/definition_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {
namespace {

using Outcome = DefinitionStore::Outcome;

class DefinitionStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    store_ =
        DefinitionStore::Open(plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
                              plemox_test::MysqlPassword(),
                              plemox_test::MysqlDatabase(), "utf8mb4", 0);
    ASSERT_TRUE(store_);
    admin_ = vel::Mariadb::Create(
        plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
        plemox_test::MysqlPassword(), plemox_test::MysqlDatabase(), 1,
        "utf8mb4", vel::Mariadb::kDefaultAutoRetryOnDeadlock,
        vel::Mariadb::kDefaultClientFlags, 0,
        vel::Mariadb::kDefaultConnectionFailureHandler);
    ASSERT_TRUE(admin_ && admin_->Initialize());
  }
  void TearDown() override {
    if (admin_) {
      admin_->ExecuteQuerySync(
          "DELETE FROM leaderboard_definition WHERE leaderboard_id LIKE '" +
          prefix_ + "%'");
      admin_->ExecuteQuerySync("DROP TABLE IF EXISTS " + prefix_ +
                               "scored_alltime, " + prefix_ + "scored_daily");
      admin_->Finalize();
    }
    if (store_) store_->Finalize();
  }

  DefinitionStore::Row Row(const std::string& name,
                           const std::string& option) const {
    DefinitionStore::Row row;
    row.leaderboard_id = prefix_ + name;
    row.ranking_option = option;
    row.reset_schedules = "[]";
    return row;
  }

  std::optional<DefinitionStore::Row> Find(const std::string& name) {
    std::optional<DefinitionStore::Row> row;
    std::string error;
    EXPECT_TRUE(store_->Find(prefix_ + name, &row, &error)) << error;
    return row;
  }

  const std::string prefix_ = "defst" + std::to_string(getpid()) + "_";
  std::shared_ptr<DefinitionStore> store_;
  std::shared_ptr<vel::Mariadb> admin_;
};

TEST_F(DefinitionStoreTest, TheVersionReadDecidesWhichWriterWins) {
  std::string error;
  EXPECT_FALSE(Find("laps"));
  ASSERT_EQ(store_->Write(Row("laps", "{}"), 0, &error), Outcome::kStored)
      << error;
  // A second creator read "no row" too: told, not applied.
  EXPECT_EQ(store_->Write(Row("laps", R"({"enable_dense": false})"), 0, &error),
            Outcome::kConflict);
  EXPECT_EQ(Find("laps")->ranking_option, "{}");
  EXPECT_EQ(Find("laps")->version, 1);

  // Two writers that both read version 1: the first wins.
  auto retired = Row("laps", R"({"sort_order": "ascending"})");
  retired.retired = true;
  ASSERT_EQ(store_->Write(retired, 1, &error), Outcome::kStored) << error;
  EXPECT_EQ(store_->Write(Row("laps", "{}"), 1, &error), Outcome::kConflict);
  const auto stored = Find("laps");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->version, 2);
  EXPECT_TRUE(stored->retired);
  EXPECT_EQ(stored->ranking_option, R"({"sort_order": "ascending"})");
  EXPECT_EQ(stored->updated_at.size(), 19u) << stored->updated_at;
  // A writer ahead of the table (a version never stored) is refused too.
  EXPECT_EQ(store_->Write(Row("laps", "{}"), 7, &error), Outcome::kConflict);

  std::vector<DefinitionStore::Row> rows;
  ASSERT_TRUE(store_->LoadAll(&rows, &error)) << error;
  int mine = 0;
  for (const auto& row : rows) {
    if (row.leaderboard_id == prefix_ + "laps") {
      ++mine;
      EXPECT_EQ(row.version, 2);
    }
  }
  EXPECT_EQ(mine, 1);
}

TEST_F(DefinitionStoreTest, TextsComeBackAsTheyWereWritten) {
  // Quotes, backslashes and a multi-byte character stay values.
  const std::string text =
      R"({"note": "it's a \"laps\" board \\ 'x'); DROP TABLE t; --", "n": "Zoë"})";
  std::string error;
  ASSERT_EQ(store_->Write(Row("texts", text), 0, &error), Outcome::kStored)
      << error;
  EXPECT_EQ(Find("texts")->ranking_option, text);
}

TEST_F(DefinitionStoreTest, ScoresAreFoundInAnyScoreTable) {
  std::string error;
  bool has_scores = true;
  ASSERT_TRUE(store_->HasStoredScores(prefix_ + "scored", &has_scores, &error))
      << error;
  EXPECT_FALSE(has_scores);  // no table at all
  for (const char* table : {"scored_alltime", "scored_daily"}) {
    ASSERT_FALSE(admin_->ExecuteQuerySync("CREATE TABLE " + prefix_ + table +
                                          " (score DOUBLE)"));
  }
  ASSERT_TRUE(store_->HasStoredScores(prefix_ + "scored", &has_scores, &error));
  EXPECT_FALSE(has_scores);  // empty tables
  ASSERT_FALSE(admin_->ExecuteQuerySync("INSERT INTO " + prefix_ +
                                        "scored_daily VALUES (1)"));
  ASSERT_TRUE(store_->HasStoredScores(prefix_ + "scored", &has_scores, &error));
  EXPECT_TRUE(has_scores);
}

}  // namespace
}  // namespace plemox
