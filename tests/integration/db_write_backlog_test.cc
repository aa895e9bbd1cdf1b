// DbWriteBacklog against the shared test Redis and MariaDB: writes handed
// over by one process are replayed by another once it stopped, a replayed
// row never replaces a newer one, two replaying servers write each entry
// once, a table gone or a malformed entry is skipped while the rest goes
// on, and a running process replays its own writes only behind its older
// ones. Each test has a key prefix and tables of its own.
#include "database/store/db_write_backlog.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "database/store/backlog_entry.h"
#include "database/store/mysql_schema.h"
#include "support/redis_environment.h"
#include "support/store_probe.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/redis/redis.h"

namespace {

using plemox::BacklogEntry;
using plemox::BulkScoreRow;
using plemox::DbWriteBacklog;
using vel::Mariadb;

class DbWriteBacklogTest : public testing::Test {
 protected:
  void SetUp() override {
    FLAGS_redis_host = plemox_test::RedisHost();
    FLAGS_redis_port = plemox_test::RedisPort();
    FLAGS_redis_timeout_ms = 2000;
    FLAGS_redis_async_threads_size = 2;
    ASSERT_TRUE(vel::Redis::Initialize());
    const std::string name =
        testing::UnitTest::GetInstance()->current_test_info()->name();
    id_ = "dbbl" + std::to_string(getpid()) + "_" + name.substr(0, 12);
    prefix_ = "plemox_backlog_test:" + id_ + ":{db_backlog}:";
    table_ = id_ + "_alltime";
    for (const std::string& statement :
         plemox::MakeLeaderboardTableQueries(id_, nullptr)) {
      ASSERT_EQ(probe_.Execute(statement), "");
    }
  }
  void TearDown() override {
    backlogs_.clear();
    probe_.DropTables(id_);
    probe_.DeleteKeys("plemox_backlog_test:" + id_ + ":*");
    vel::Redis::Finalize();
  }

  // A backlog of its own origin on this test's keys, replaying through a
  // client of its own.
  DbWriteBacklog& MakeBacklog(const std::string& origin) {
    auto client = Mariadb::Create(
        plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
        plemox_test::MysqlPassword(), plemox_test::MysqlDatabase(), 1,
        "utf8mb4", true, Mariadb::kDefaultClientFlags, 0, nullptr);
    EXPECT_TRUE(client->Initialize());
    DbWriteBacklog::Options options;
    options.origin = origin;
    options.key_prefix = prefix_;
    options.batch_entries = 50;
    backlogs_.push_back(
        std::make_unique<DbWriteBacklog>(options, std::move(client)));
    return *backlogs_.back();
  }

  // One score write of `table_` as a handed-over payload.
  std::string Row(const std::string& player, double stored_score,
                  std::int64_t stored_time_stamp,
                  const std::string& table = "") {
    return BacklogEntry::EncodeScorePayload(
        id_, table.empty() ? table_ : table,
        {BulkScoreRow{"guest", player, stored_score, stored_time_stamp}});
  }

  // Hands `payloads` over as a stopped server would have: in order, then
  // its alive key gone.
  void HandOverAndStop(DbWriteBacklog& origin,
                       const std::vector<std::string>& payloads) {
    auto handover = origin.MakeHandover("single", [] { return 0; });
    std::vector<Mariadb::HandedOverWrite> writes;
    for (const std::string& payload : payloads) {
      writes.push_back({0, writes.size(), payload});
    }
    ASSERT_TRUE(handover(writes));
    origin.Release();
  }

  // Replay rounds of `backlog` until a round does nothing.
  static void ReplayAll(DbWriteBacklog& backlog) {
    while (backlog.ReplayRound(5000) > 0) {
    }
  }

  std::pair<double, std::int64_t> Stored(const std::string& player) {
    const auto rows = probe_.ScoreRows(table_);
    EXPECT_TRUE(rows.has_value());
    const auto row = rows->find("guest:" + player);
    if (row == rows->end()) return {0, 0};
    return row->second;
  }

  gflags::FlagSaver saver_;
  std::string id_;
  std::string prefix_;
  std::string table_;
  plemox_test::StoreProbe probe_;
  std::vector<std::unique_ptr<DbWriteBacklog>> backlogs_;
};

TEST_F(DbWriteBacklogTest,
       AReplayNeverReplacesANewerRowAndTwiceChangesNothing) {
  // The table already holds later writes of "newer" and "same".
  ASSERT_EQ(probe_.Execute("INSERT INTO " + table_ +
                           " (service_provider, local_account, score, "
                           "time_stamp) VALUES ('guest', 'newer', -200, "
                           "-2000), ('guest', 'same', -300, -1000)"),
            "");
  const std::vector<std::string> payloads = {
      Row("newer", -100, -1000),  // an older write: kept out
      Row("fresh", -50, -1500),   // no row yet: written
      Row("same", -350, -1000),   // the same second, a better score: written
      Row("same", -310, -1000),   // the same second, a worse one: kept out
  };
  HandOverAndStop(MakeBacklog("a"), payloads);
  DbWriteBacklog& b = MakeBacklog("b");
  ReplayAll(b);
  EXPECT_EQ(Stored("newer"), (std::pair<double, std::int64_t>(-200, -2000)));
  EXPECT_EQ(Stored("fresh"), (std::pair<double, std::int64_t>(-50, -1500)));
  EXPECT_EQ(Stored("same"), (std::pair<double, std::int64_t>(-350, -1000)));
  EXPECT_EQ(b.stats().replayed_entries, 4u);
  EXPECT_EQ(b.stats().entries, 0u);

  // The same writes handed over again (a replay cut before its trim).
  HandOverAndStop(MakeBacklog("c"), payloads);
  ReplayAll(b);
  EXPECT_EQ(Stored("newer"), (std::pair<double, std::int64_t>(-200, -2000)));
  EXPECT_EQ(Stored("fresh"), (std::pair<double, std::int64_t>(-50, -1500)));
  EXPECT_EQ(Stored("same"), (std::pair<double, std::int64_t>(-350, -1000)));
  EXPECT_TRUE(probe_.RedisCall({"SMEMBERS", prefix_ + "origins"}).empty());
}

TEST_F(DbWriteBacklogTest, TwoServersReplayOneStoppedServersWritesOnce) {
  constexpr int kWrites = 600;
  std::vector<std::string> payloads;
  // Rising scores, later and later: the last write of each player wins.
  for (int i = 0; i < kWrites; ++i) {
    payloads.push_back(Row("p" + std::to_string(i % 30), -i, -1000 - i));
  }
  HandOverAndStop(MakeBacklog("stopped"), payloads);
  DbWriteBacklog& b = MakeBacklog("b");
  DbWriteBacklog& c = MakeBacklog("c");
  std::thread other([&] { ReplayAll(c); });
  ReplayAll(b);
  other.join();
  // Whichever held the lease replayed; once the other took over (a lease
  // ends only when it is not renewed) each entry is still counted once.
  EXPECT_EQ(b.stats().replayed_entries + c.stats().replayed_entries,
            static_cast<std::uint64_t>(kWrites));
  for (int p = 0; p < 30; ++p) {
    const int last = kWrites - 30 + p;
    EXPECT_EQ(Stored("p" + std::to_string(p)),
              (std::pair<double, std::int64_t>(-last, -1000 - last)));
  }
  EXPECT_TRUE(probe_.RedisCall({"KEYS", prefix_ + "list:*"}).empty());
}

TEST_F(DbWriteBacklogTest, ATableGoneOrAMalformedEntryIsSkippedTheRestGoesOn) {
  DbWriteBacklog& a = MakeBacklog("a");
  HandOverAndStop(
      a, {Row("before", -1, -1), Row("lost", -2, -2, id_ + "x_alltime"),
          Row("after", -3, -3)});
  // Something else wrote into the list: not an entry.
  probe_.RedisCall({"RPUSH", prefix_ + "list:a", "garbage"});
  DbWriteBacklog& b = MakeBacklog("b");
  ReplayAll(b);
  EXPECT_EQ(Stored("before").first, -1);
  EXPECT_EQ(Stored("after").first, -3);
  EXPECT_EQ(b.stats().skipped, 2u);
  EXPECT_EQ(b.stats().replayed_entries, 2u);
  EXPECT_TRUE(probe_.RedisCall({"KEYS", prefix_ + "list:*"}).empty());
}

TEST_F(DbWriteBacklogTest, ARunningServerReplaysItsOwnWritesBehindOlderOnes) {
  DbWriteBacklog& a = MakeBacklog("a");
  std::atomic<std::uint64_t> oldest_pending{5};
  auto handover =
      a.MakeHandover("single", [&] { return oldest_pending.load(); });
  ASSERT_TRUE(handover({{0, 5, Row("p", -5, -5)}, {0, 6, Row("p", -6, -6)}}));
  // Another server leaves the list of a running one alone.
  DbWriteBacklog& b = MakeBacklog("b");
  EXPECT_EQ(b.ReplayRound(1000), 0u);
  // Write 5 is still pending in the process: nothing replays yet.
  EXPECT_EQ(a.ReplayRound(1000), 0u);
  EXPECT_EQ(a.stats().entries, 2u);
  oldest_pending = 6;
  EXPECT_EQ(a.ReplayRound(1000), 1u);
  EXPECT_EQ(Stored("p").first, -5);
  oldest_pending = 7;
  EXPECT_EQ(a.ReplayRound(1000), 1u);
  EXPECT_EQ(Stored("p").first, -6);
  EXPECT_EQ(a.stats().replayed_rows, 2u);
}

}  // namespace
