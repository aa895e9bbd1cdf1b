// The record bounds behind the answer cap, the counting of column
// characters and the parsing of the app id allow list.
#include "leaderboard/core/request_limits.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <limits>

#include "common/leaderboard_flags.h"

namespace plemox {
namespace {

using Query = RequestLimits::Query;
using Range = Leaderboard::LeaderboardQuery::Range;

Query PublicQuery(Range::Type type, std::int64_t begin, std::int64_t end) {
  Query query;
  query.set_collection(Leaderboard::LeaderboardQuery::kPublic);
  query.mutable_range()->set_type(type);
  query.mutable_range()->set_begin(begin);
  query.mutable_range()->set_end(end);
  return query;
}

TEST(RequestLimitsTest, PublicBoundsFollowTheRangeAndTheRankingSize) {
  const Query all = PublicQuery(Range::kAll, 0, 0);
  EXPECT_FALSE(RequestLimits::RecordBound(all).has_value());
  EXPECT_EQ(RequestLimits::RecordBound(all, 2000), 2000u);

  const Query top = PublicQuery(Range::kFromTop, 10, 19);
  EXPECT_EQ(RequestLimits::RecordBound(top), 10u);
  EXPECT_EQ(RequestLimits::RecordBound(top, 1000), 10u);
  EXPECT_EQ(RequestLimits::RecordBound(top, 15), 5u);
  EXPECT_EQ(RequestLimits::RecordBound(top, 5), 0u);  // Beyond the end.

  // A window never holds more than the ranking, and a player without an
  // entry still gets its placeholder.
  const Query nearby = PublicQuery(Range::kNearby, -5, 5);
  EXPECT_EQ(RequestLimits::RecordBound(nearby), 11u);
  EXPECT_EQ(RequestLimits::RecordBound(nearby, 4), 4u);
  EXPECT_EQ(RequestLimits::RecordBound(nearby, 0), 1u);

  // The widest ranges saturate instead of wrapping to small numbers.
  const auto kMin = std::numeric_limits<std::int64_t>::min();
  const auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(RequestLimits::RecordBound(PublicQuery(Range::kNearby, kMin, kMax)),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(RequestLimits::RecordBound(PublicQuery(Range::kFromTop, 0, kMax)),
            static_cast<std::uint64_t>(kMax) + 1);
  EXPECT_EQ(RequestLimits::SaturatingAdd(
                std::numeric_limits<std::uint64_t>::max(), 1),
            std::numeric_limits<std::uint64_t>::max());
}

TEST(RequestLimitsTest, SocialBoundCountsCompetitorsAndThePlayer) {
  Query social;
  social.set_collection(Leaderboard::LeaderboardQuery::kSocial);
  social.mutable_range()->set_type(Range::kAll);
  for (int i = 0; i < 3; ++i) social.add_competitors();
  EXPECT_EQ(RequestLimits::RecordBound(social), 3u);
  social.mutable_account_id()->set_local_account("me");
  EXPECT_EQ(RequestLimits::RecordBound(social), 4u);
  EXPECT_EQ(RequestLimits::RecordBound(social, 1000000), 4u);
}

TEST(RequestLimitsTest, CapsNameTheirFlagAndValue) {
  gflags::FlagSaver saver;
  FLAGS_max_records_per_answer = 7;
  FLAGS_max_competitors_per_query = 2;
  FLAGS_max_deletions_per_request = 1;
  EXPECT_TRUE(RequestLimits::FitsRecordCap(7));
  EXPECT_FALSE(RequestLimits::FitsRecordCap(8));
  EXPECT_EQ(RequestLimits::RecordCapMessage(),
            "Too many records for one answer: at most 7 "
            "(max_records_per_answer)");
  Query query;
  query.add_competitors();
  query.add_competitors();
  EXPECT_EQ(RequestLimits::CheckCompetitorCount(query), "");
  query.add_competitors();
  EXPECT_EQ(RequestLimits::CheckCompetitorCount(query),
            "Too many competitors: at most 2 per query "
            "(max_competitors_per_query)");
  EXPECT_EQ(RequestLimits::CheckDeletionCount(1), "");
  EXPECT_EQ(RequestLimits::CheckDeletionCount(2),
            "Too many deletions: at most 1 per request "
            "(max_deletions_per_request)");
}

TEST(RequestLimitsTest, AccountColumnsCountCharactersNotBytes) {
  Leaderboard::AccountId account;
  account.set_service_provider(std::string(50, 'g'));
  std::string wide;
  for (int i = 0; i < 50; ++i) wide += "\xC3\xA9";  // 50 characters, 100 bytes
  account.set_local_account(wide);
  std::string reason;
  EXPECT_TRUE(RequestLimits::FitsAccountColumns(account, &reason)) << reason;
  account.set_local_account(wide + "x");
  EXPECT_FALSE(RequestLimits::FitsAccountColumns(account, &reason));
  EXPECT_EQ(reason, "local account longer than 50 characters");
  account.set_local_account("a");
  account.set_service_provider(std::string(51, 'g'));
  EXPECT_FALSE(RequestLimits::FitsAccountColumns(account, &reason));
  EXPECT_EQ(reason, "service provider longer than 50 characters");
}

TEST(RequestLimitsTest, Utf8ValidationRefusesMalformedAndOverlongForms) {
  for (const char* valid : {"", "Bob", "\xc3\x85lice", "\xe2\x82\xac",
                            "\xf0\x9f\x8e\xae", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(RequestLimits::IsValidUtf8(valid)) << valid;
  }
  for (const char* invalid :
       {"\xc3",              // cut short
        "\x80",              // a continuation byte first
        "\xc0\xaf",          // overlong '/'
        "\xe0\x80\xaf",      // overlong three-byte form
        "\xed\xa0\x80",      // a surrogate
        "\xf4\x90\x80\x80",  // beyond U+10FFFF
        "\xc3\x28"}) {       // a second byte that is no continuation
    EXPECT_FALSE(RequestLimits::IsValidUtf8(invalid)) << invalid;
  }
}

TEST(RequestLimitsTest, SubmissionExtrasNameTheirLimit) {
  gflags::FlagSaver saver;
  FLAGS_max_display_name_bytes = 4;
  FLAGS_max_metadata_bytes = 3;
  Leaderboard::ScoreSubmission::Request request;
  request.set_display_name("\xc3\x85le");  // 4 bytes, 3 characters
  request.set_metadata("abc");
  request.set_submission_id(std::string(64, 'i'));
  EXPECT_EQ(RequestLimits::CheckSubmissionExtras(request), "");
  request.set_display_name("Bobby");
  EXPECT_EQ(RequestLimits::CheckSubmissionExtras(request),
            "display_name too long: at most 4 bytes (max_display_name_bytes)");
  request.set_display_name("\xff");
  EXPECT_EQ(RequestLimits::CheckSubmissionExtras(request),
            "display_name is not valid UTF-8");
  request.clear_display_name();
  request.set_metadata("abcd");
  EXPECT_EQ(RequestLimits::CheckSubmissionExtras(request),
            "metadata too long: at most 3 bytes (max_metadata_bytes)");
  request.clear_metadata();
  for (const std::size_t size : {0, 65}) {
    request.set_submission_id(std::string(size, 'i'));
    EXPECT_EQ(RequestLimits::CheckSubmissionExtras(request),
              "submission_id must have 1 to 64 bytes");
  }
}

TEST(RequestLimitsTest, AppIdListIsTrimmedAndSkipsEmptyPieces) {
  EXPECT_TRUE(RequestLimits::ParseAppIds("").empty());
  EXPECT_TRUE(RequestLimits::ParseAppIds(" , ,").empty());
  EXPECT_EQ(RequestLimits::ParseAppIds(" game-a ,game-b,,game-a"),
            (std::set<std::string>{"game-a", "game-b"}));
}

}  // namespace
}  // namespace plemox
