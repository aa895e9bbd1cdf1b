// The period archive's statements against the real MariaDB of
// scripts/services.sh: the reset log row and the period's rows written as
// one step, the start of a period, and the holds (leases and claims) that
// keep two servers from archiving or sending the same period at once, and
// the archiver's refusal of a ranking named in the other Redis key scheme.
// Each test works on rows of its own leaderboard id and removes them.
#include "database/store/period_store.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <tuple>

#include "common/date_time_text.h"
#include "database/cache/redis_key.h"
#include "database/store/db_connection.h"
#include "database/store/mysql_schema.h"
#include "database/store/period_statements.h"
#include "leaderboard/period/period_archiver.h"
#include "support/cache_environment.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"

namespace plemox {
namespace {

using boost::posix_time::hours;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

class PeriodStoreTest : public testing::Test {
 protected:
  gflags::FlagSaver saver_;
  void SetUp() override {
    // The stored procedures come from the schema script under the source
    // root: this test may be the first of a fresh database.
    FLAGS_res_root = plemox_test::SourceDir();
    db_ =
        DbConnection::Create(plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
                             plemox_test::MysqlPassword(),
                             plemox_test::MysqlDatabase(), 2, "utf8mb4", 0);
    ASSERT_TRUE(db_);
    std::vector<std::string> tables = period_statements::MakeTableQueries();
    // reset_schedule_log and the procedures that write it.
    for (const std::string& script : MakeSchemaScripts({}, {})) {
      tables.push_back(script);
    }
    ASSERT_TRUE(db_->ExecuteScripts(tables));
    store_ =
        PeriodStore::Create(plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
                            plemox_test::MysqlPassword(),
                            plemox_test::MysqlDatabase(), "utf8mb4", 0);
    ASSERT_TRUE(store_);
  }

  void TearDown() override {
    if (!db_) return;
    const std::string like = "'" + id_ + "%'";
    db_->ExecuteScripts(
        {"DELETE FROM period_archive_standing WHERE period_id IN (SELECT "
         "period_id FROM period_archive WHERE leaderboard_id LIKE " +
             like + ")",
         "DELETE FROM period_archive WHERE leaderboard_id LIKE " + like,
         "DELETE FROM period_end_notification WHERE leaderboard_id LIKE " +
             like,
         "DELETE FROM reset_schedule_log WHERE leaderboard_key LIKE " + like});
    store_->Finalize();
    db_->Finalize();
  }

  PeriodEnd End(const std::string& reset, const ptime& calendar_start,
                const ptime& end, const std::string& key) {
    PeriodEnd period_end;
    period_end.leaderboard_id = id_;
    period_end.leaderboard_key = id_ + "_day";
    period_end.period = "day";
    period_end.reset = reset;
    period_end.calendar_start = calendar_start;
    period_end.end = end;
    period_end.idempotency_key = key;
    period_end.source_key = "leaderboard:" + id_ + ":yesterday";
    period_end.marker_key = "leaderboard:" + id_ + ":closed_periods";
    period_end.keep_standings = true;
    period_end.notify = true;
    return period_end;
  }

  // InsertResetScheduleLogAndPeriodEnd; (failed, duplicated).
  std::tuple<bool, bool> LogReset(const PeriodEnd& end,
                                  const std::string& schedule_date_time) {
    auto done = std::make_shared<std::promise<std::tuple<bool, bool>>>();
    auto answer = done->get_future();
    db_->InsertResetScheduleLogAndPeriodEnd(
        end, schedule_date_time, "server-a",
        [done](const bool& failed, const bool& duplicated, const std::string&,
               const std::string&, const std::string&) {
          done->set_value({failed, duplicated});
        });
    EXPECT_EQ(answer.wait_for(std::chrono::seconds(20)),
              std::future_status::ready);
    return answer.get();
  }

  // The start of the period `key` (claimed for "probe").
  ptime StartOf(const std::string& key) {
    PeriodStore::ClaimedPeriod period;
    EXPECT_TRUE(store_->ClaimPeriod(key, "server-a", &period)) << key;
    return period.end.calendar_start;
  }

  const std::string id_ = "periodtest" + std::to_string(getpid());
  std::shared_ptr<DbConnection> db_;
  std::shared_ptr<PeriodStore> store_;
};

TEST_F(PeriodStoreTest, TheLogRowAndThePeriodAreOneStepAndPeriodsFollowOn) {
  const ptime day1 = time_from_string("2026-12-07 00:00:00");
  const ptime day2 = day1 + hours(24);
  const std::string scheduled = id_ + "_day/" + DateTimeToCompactText(day2);
  EXPECT_EQ(LogReset(End("scheduled", day1, day2, scheduled),
                     DateTimeToCompactText(day2)),
            std::make_tuple(false, false));
  // A second server's attempt finds the log row and writes nothing.
  EXPECT_EQ(LogReset(End("scheduled", day1, day2, scheduled + "/again"),
                     DateTimeToCompactText(day2)),
            std::make_tuple(false, true));
  PeriodStore::ClaimedPeriod again;
  EXPECT_FALSE(store_->ClaimPeriod(scheduled + "/again", "server-a", &again));
  EXPECT_EQ(StartOf(scheduled), day1);

  // A forced reset in the middle of the next day closes a period of its
  // own; the scheduled one after it starts where the forced one ended.
  const ptime forced_at = day2 + hours(10);
  std::string error;
  ASSERT_TRUE(store_->InsertPeriodEnd(End("forced", day2, forced_at, "f1"),
                                      "server-a", &error))
      << error;
  EXPECT_EQ(StartOf("f1"), day2);
  const ptime day3 = day2 + hours(24);
  const std::string next = id_ + "_day/" + DateTimeToCompactText(day3);
  ASSERT_EQ(
      LogReset(End("scheduled", day2, day3, next), DateTimeToCompactText(day3)),
      std::make_tuple(false, false));
  EXPECT_EQ(StartOf(next), forced_at);

  // Without a calendar a period starts at the end of the one before.
  const ptime requested_at = day3 + hours(5);
  const std::string requested = id_ + "_day/requested";
  ASSERT_EQ(LogReset(End("requested", ptime(boost::posix_time::not_a_date_time),
                         requested_at, requested),
                     "requested"),
            std::make_tuple(false, false));
  EXPECT_EQ(StartOf(requested), day3);
}

TEST_F(PeriodStoreTest, OneServerAtATimeArchivesAPeriodAndSendsItsNotice) {
  const ptime end = time_from_string("2026-12-08 00:00:00");
  const std::string key = id_ + "_day/held";
  std::string error;
  ASSERT_TRUE(store_->InsertPeriodEnd(End("forced", end - hours(24), end, key),
                                      "server-a", &error))
      << error;
  PeriodStore::ClaimedPeriod held_by_a, held_by_b;
  ASSERT_TRUE(store_->ClaimPeriod(key, "server-a", &held_by_a));
  EXPECT_TRUE(held_by_a.notification_waits);
  EXPECT_FALSE(store_->ClaimPeriod(key, "server-b", &held_by_b));

  // Server a dies: once its lease has run out, server b takes over, and a
  // cannot finish what it no longer holds.
  ASSERT_TRUE(db_->ExecuteScripts(
      {"UPDATE period_archive SET lease_until = NOW() - INTERVAL 1 SECOND "
       "WHERE idempotency_key = '" +
       key + "'"}));
  std::vector<std::string> unfinished;
  ASSERT_TRUE(store_->FindUnfinishedPeriods(1000, &unfinished));
  EXPECT_NE(std::find(unfinished.begin(), unfinished.end(), key),
            unfinished.end());
  ASSERT_TRUE(store_->ClaimPeriod(key, "server-b", &held_by_b));
  EXPECT_FALSE(store_->RenewLease(held_by_a.period_id, "server-a"));
  EXPECT_FALSE(store_->FinishPeriod(held_by_a, "server-a", 1, "{\"a\":1}"));
  std::vector<PeriodStore::DueNotification> due;
  ASSERT_TRUE(store_->FindDueNotifications(1000, &due));
  for (const auto& notification : due) {
    EXPECT_NE(notification.idempotency_key, key) << "released by a";
  }

  ArchivedStanding standing;
  standing.score = 0.1 + 0.2;
  standing.competition_rank = standing.dense_rank = 1;
  standing.service_provider = "guest";
  standing.local_account = "it's";
  ASSERT_TRUE(store_->InsertStandings(held_by_b.period_id, {standing}));
  ASSERT_TRUE(store_->FinishPeriod(held_by_b, "server-b", 1, "{\"b\":1}"));
  due.clear();
  ASSERT_TRUE(store_->FindDueNotifications(1000, &due));
  const auto mine = std::find_if(due.begin(), due.end(), [&](const auto& n) {
    return n.idempotency_key == key;
  });
  ASSERT_NE(mine, due.end());
  EXPECT_EQ(mine->document, "{\"b\":1}");

  // One attempt at a time: the second claim finds it taken.
  EXPECT_TRUE(store_->ClaimNotification(mine->notification_id, 60000));
  EXPECT_FALSE(store_->ClaimNotification(mine->notification_id, 60000));

  // The standing reads back exactly (score and quoted account).
  std::promise<std::vector<ArchivedStanding>> read;
  store_->ReadStandings(held_by_b.period_id, 0, 10,
                        [&read](bool failed, const auto& rows) {
                          EXPECT_FALSE(failed);
                          read.set_value(rows);
                        });
  const auto rows = read.get_future().get();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].score, 0.1 + 0.2);
  EXPECT_EQ(rows[0].local_account, "it's");
  // Players are found by their account (through its hash), only the one.
  std::promise<std::vector<ArchivedStanding>> found;
  const vel::PlayerAccount player("guest", "it's"), other("guest2", "it's");
  store_->ReadPlayers(held_by_b.period_id, {other, player},
                      [&found](bool failed, const auto& rows) {
                        EXPECT_FALSE(failed);
                        found.set_value(rows);
                      });
  const auto players = found.get_future().get();
  ASSERT_EQ(players.size(), 1u);
  EXPECT_EQ(players[0].service_provider, "guest");

  // Given up after its last attempt, the notification is listed as failed
  // with its error until it is sent again, due at once and with no attempts.
  ASSERT_TRUE(
      store_->MarkFailed(mine->notification_id, "attempt 15: HTTP 503"));
  const auto state_of = [&] {
    std::promise<PeriodStore::OpenNotification> listed;
    store_->ListOpenNotifications([&](bool failed, const auto& open) {
      EXPECT_FALSE(failed);
      PeriodStore::OpenNotification found_one;
      for (const auto& notification : open) {
        if (notification.idempotency_key == key) found_one = notification;
      }
      listed.set_value(found_one);
    });
    return listed.get_future().get();
  };
  const PeriodStore::OpenNotification failed_one = state_of();
  EXPECT_EQ(failed_one.state, "failed");
  EXPECT_EQ(failed_one.last_error, "attempt 15: HTTP 503");
  std::promise<std::string> resent;
  store_->ResendNotification(mine->notification_id,
                             [&resent](bool failed, const std::string& state) {
                               EXPECT_FALSE(failed);
                               resent.set_value(state);
                             });
  EXPECT_EQ(resent.get_future().get(), "pending");
  EXPECT_EQ(state_of().state, "pending");
  due.clear();
  ASSERT_TRUE(store_->FindDueNotifications(1000, &due));
  const auto again = std::find_if(due.begin(), due.end(), [&](const auto& n) {
    return n.idempotency_key == key;
  });
  ASSERT_NE(again, due.end());
  EXPECT_EQ(again->attempts, 0);
}

// A period closed before a move to Redis Cluster names its ranking in the
// old key scheme, which holds nothing in the cluster: the archiver records
// it as lost instead of archiving an empty ranking.
TEST_F(PeriodStoreTest, APeriodClosedUnderTheOtherKeySchemeIsLostNotEmpty) {
  ASSERT_TRUE(CacheEnvironment::InitializeOnce())
      << "this process runs the cache on the Redis Cluster";
  const ptime day = time_from_string("2026-12-07 00:00:00");
  PeriodEnd end = End("forced", day, day + hours(24), id_ + "_day/moved");
  end.marker_key.clear();  // as for a dated week: no marker to go by
  std::string error;
  ASSERT_TRUE(store_->InsertPeriodEnd(end, "server-a", &error)) << error;
  struct ClusterKeysOn {
    ClusterKeysOn() { SetClusterKeys(true); }
    ~ClusterKeysOn() { SetClusterKeys(false); }
  } cluster;
  PeriodArchiver archiver(
      store_, "server-a", [] { return false; }, [] {});
  archiver.Start();
  archiver.Archive(end, true);
  EXPECT_TRUE(
      plemox_test::WaitFor([&] { return archiver.counts().lost == 1; }));
  archiver.Stop();
  EXPECT_EQ(archiver.counts().archived, 0u);
  PeriodStore::ClaimedPeriod again;
  EXPECT_FALSE(store_->ClaimPeriod(end.idempotency_key, "server-a", &again));
}

}  // namespace
}  // namespace plemox
