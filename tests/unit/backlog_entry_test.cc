// BacklogEntry: the text form of a handed-over write survives every byte of
// its fields and every double exactly, and Decode refuses what another
// writer to Redis could leave there, so nothing malformed reaches SQL.
#include "database/store/backlog_entry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using plemox::BacklogEntry;
using plemox::BulkScoreRow;

TEST(BacklogEntryTest, ScoreAndProfileWritesComeBackAsTheyWent) {
  const std::string binary("a:b\0c'1", 7);
  const double tiny = std::numeric_limits<double>::denorm_min();
  const std::string score = BacklogEntry::EncodeScorePayload(
      "stage1", "stage1_daily",
      {BulkScoreRow{"guest", binary, -0.1, -1796832902},
       BulkScoreRow{"steam", "p2", tiny, 0}});
  BacklogEntry entry;
  std::string why;
  ASSERT_TRUE(BacklogEntry::Decode(
      BacklogEntry::Wrap("10.0.0.1:12820/42/ab", "bulk", 17, 1234, score),
      &entry, &why))
      << why;
  EXPECT_EQ(entry.origin, "10.0.0.1:12820/42/ab");
  EXPECT_EQ(entry.client, "bulk");
  EXPECT_EQ(entry.sequence, 17u);
  EXPECT_EQ(entry.handed_over_ms, 1234);
  EXPECT_EQ(entry.kind, BacklogEntry::Kind::kScore);
  EXPECT_EQ(entry.table, "stage1_daily");
  ASSERT_EQ(entry.rows.size(), 2u);
  EXPECT_EQ(entry.rows[0].local_account, binary);
  EXPECT_EQ(entry.rows[0].score, -0.1);
  EXPECT_EQ(entry.rows[0].time_stamp, -1796832902);
  EXPECT_EQ(entry.rows[1].score, tiny);

  // A dated weekly table belongs to its leaderboard too.
  ASSERT_TRUE(BacklogEntry::Decode(
      BacklogEntry::Wrap("o", "single", 0, 0,
                         BacklogEntry::EncodeScorePayload(
                             "stage1", "stage1_20261207_weekly",
                             {BulkScoreRow{"guest", "p", -1, -1}})),
      &entry, &why))
      << why;

  const std::string profile = BacklogEntry::EncodeProfilePayload(
      "stage1", "guest", "p1", std::string("N\0me", 4), std::nullopt);
  ASSERT_TRUE(BacklogEntry::Decode(
      BacklogEntry::Wrap("o", "direct", 0, 5, profile), &entry, &why))
      << why;
  EXPECT_EQ(entry.kind, BacklogEntry::Kind::kProfile);
  EXPECT_EQ(entry.local_account, "p1");
  EXPECT_EQ(entry.display_name, std::string("N\0me", 4));
  EXPECT_FALSE(entry.metadata.has_value());
}

TEST(BacklogEntryTest, MalformedOrUnsafeEntriesAreRefused) {
  const auto wrap = [](const std::string& payload) {
    return BacklogEntry::Wrap("o", "single", 1, 1, payload);
  };
  const auto score = [](const std::string& id, const std::string& table,
                        double value) {
    return BacklogEntry::EncodeScorePayload(
        id, table, {BulkScoreRow{"guest", "p", value, -1}});
  };
  const std::string good = wrap(score("stage1", "stage1_alltime", -5));
  BacklogEntry entry;
  std::string why;
  ASSERT_TRUE(BacklogEntry::Decode(good, &entry, &why)) << why;
  const std::vector<std::string> bad = {
      "",
      "garbage",
      good.substr(0, good.size() - 1),             // cut short
      "9:" + good.substr(2),                       // a length past the end
      "2" + good.substr(1),                        // another version
      wrap(score("stage1", "other_alltime", -5)),  // another leaderboard's
      wrap(score("stage1", "stage1_alltime; DROP TABLE x", -5)),
      wrap(score("stage1", "stage1_nonsense", -5)),
      wrap(score("stage1", "stage1_alltime", std::nan(""))),
      wrap(score("stage1", "stage1_alltime",
                 std::numeric_limits<double>::infinity())),
      wrap(BacklogEntry::EncodeScorePayload("stage1", "stage1_alltime", {})),
      wrap(BacklogEntry::EncodeProfilePayload("stage1", "guest", "p",
                                              std::nullopt, std::nullopt)),
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(BacklogEntry::Decode(text, &entry, &why)) << text;
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
