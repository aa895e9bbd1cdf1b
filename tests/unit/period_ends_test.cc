// The pure parts of the period archive and its notifications: the period
// start a query names, the calendar start of a closed period, retention,
// the retry schedule, and the signature and URLs of the webhook.
#include <gtest/gtest.h>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/period/period_end_notifier.h"
#include "leaderboard/period/period_retention.h"
#include "leaderboard/period/webhook_client.h"
#include "leaderboard/service/internal/period_query.h"

namespace plemox {
namespace {

using boost::posix_time::hours;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

TEST(PeriodStartTest, ADateNamesThatDayAndADateTimeThatSecond) {
  ptime from, to;
  ASSERT_TRUE(service_internal::ParsePeriodStart("20261207", &from, &to));
  EXPECT_EQ(from, time_from_string("2026-12-07 00:00:00"));
  EXPECT_EQ(to, from + hours(24));
  ASSERT_TRUE(
      service_internal::ParsePeriodStart("20261207T053000", &from, &to));
  EXPECT_EQ(from, time_from_string("2026-12-07 05:30:00"));
  EXPECT_EQ(to, from + seconds(1));
  for (const char* bad :
       {"", "2026120", "202612070", "20261332", "20260230", "20261207T250000",
        "20261207 053000", "2026-12-07", "20261207T0530"}) {
    EXPECT_FALSE(service_internal::ParsePeriodStart(bad, &from, &to)) << bad;
  }
}

TEST(PeriodStartTest, AClosedPeriodBeginsAtTheOccurrenceBeforeItsEnd) {
  const ptime now = time_from_string("2021-03-15 12:00:00");
  const ResetSchedule monthly("m", "month", 1, "2021-01-31 05:00:00",
                              "2099-01-01 00:00:00", now);
  EXPECT_EQ(monthly.OccurrenceBefore(time_from_string("2021-03-31 05:00:00")),
            time_from_string("2021-02-28 05:00:00"));
  EXPECT_EQ(monthly.OccurrenceBefore(time_from_string("2021-02-28 05:00:00")),
            time_from_string("2021-01-31 05:00:00"));
  // The first occurrence closes a period that began one step earlier.
  EXPECT_EQ(monthly.OccurrenceBefore(time_from_string("2021-01-31 05:00:00")),
            time_from_string("2020-12-31 05:00:00"));
  const ResetSchedule weekly("w", "week", 2, "2021-01-04 00:00:00",
                             "2099-01-01 00:00:00", now);
  EXPECT_EQ(weekly.OccurrenceBefore(time_from_string("2021-02-15 00:00:00")),
            time_from_string("2021-02-01 00:00:00"));
}

TEST(PeriodRetentionTest, ZeroKeepsNothingAndEachKindCountsInItsUnit) {
  const ptime now = time_from_string("2026-12-08 10:00:00");
  FLAGS_period_archive_retention_days = 62;
  FLAGS_period_archive_retention_weeks = 0;
  FLAGS_period_archive_retention_months = 24;
  EXPECT_TRUE(PeriodRetention::Keeps("day"));
  EXPECT_FALSE(PeriodRetention::Keeps("week"));
  EXPECT_EQ(PeriodRetention::Cutoff("day", now), now - hours(62 * 24));
  EXPECT_EQ(PeriodRetention::Cutoff("week", now), now);
  EXPECT_EQ(PeriodRetention::Cutoff("month", now),
            time_from_string("2024-12-08 10:00:00"));
  FLAGS_period_archive_retention_weeks = 26;
}

TEST(PeriodEndNotifierTest, RetriesDoubleFromOneSecondUpToTenMinutes) {
  EXPECT_EQ(PeriodEndNotifier::BackoffMs(1), 1000);
  EXPECT_EQ(PeriodEndNotifier::BackoffMs(2), 2000);
  EXPECT_EQ(PeriodEndNotifier::BackoffMs(10), 512000);
  EXPECT_EQ(PeriodEndNotifier::BackoffMs(11), 600000);
  EXPECT_EQ(PeriodEndNotifier::BackoffMs(1000), 600000);
}

TEST(WebhookClientTest, SignsWithHmacSha256AndTakesOnlyHttpUrls) {
  // RFC 4231, test case 2.
  EXPECT_EQ(WebhookClient::Sign("what do ya want for nothing?", "Jefe"),
            "sha256="
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_TRUE(WebhookClient::IsSupportedUrl("http://127.0.0.1:8080/hook"));
  EXPECT_TRUE(WebhookClient::IsSupportedUrl("https://rewards.example/end"));
  for (const char* bad : {"", "http://", "http:///x", "ftp://host/x",
                          "file:///etc/passwd", "https://a b"}) {
    EXPECT_FALSE(WebhookClient::IsSupportedUrl(bad)) << bad;
  }
}

}  // namespace
}  // namespace plemox
