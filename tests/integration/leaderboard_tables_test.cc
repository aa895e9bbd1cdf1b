// Leaderboards created at run time, through DbConnectionMariadb against the
// real MariaDB: an id the process does not know gets its tables once, before
// its first operation, while the operations that arrive meanwhile (single
// and bulk writes, deletions, resets) wait and then run in order; several
// servers may create the same tables at once; a refused creation fails its
// waiters and is tried again; during an outage the creation is kept, its
// waiters are bounded, and nothing is lost. The writes of a new period that
// come while their leaderboard's table rotation is pending wait for it and
// then land, in order, in the new period's table, also through an outage.
#include "database/store/leaderboard_tables.h"

#include <gflags/gflags.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/bulk_insert_queue.h"
#include "database/store/db_connection_mariadb.h"
#include "database/store/mysql_schema.h"
#include "support/log_capture.h"
#include "support/store_probe.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/wall_clock.h"

namespace plemox {
namespace {

using Response = Leaderboard::ScoreSubmission::Response;
using plemox_test::WaitFor;

const boost::posix_time::ptime kNoWeek{boost::posix_time::not_a_date_time};

// Counts completed operations and failed ones.
struct Done {
  std::atomic<int> failures{0};
  std::atomic<int> count{0};
  void Add(bool failed) {
    if (failed) ++failures;
    ++count;
  }
  DbConnection::SubmitScoreCallback Callback() {
    return [this](const bool& failed) { Add(failed); };
  }
};

class LeaderboardTablesTest : public testing::Test {
 protected:
  void SetUp() override {
    FLAGS_leaderboard_use_db_stored_procedure = true;
    FLAGS_res_root = plemox_test::SourceDir();
    static int counter = 0;
    prefix_ = "rttables_" + std::to_string(getpid()) + "_" +
              std::to_string(++counter) + "_";
    // The procedures, only when missing: replacing them would fail the calls
    // of tests running in parallel for a moment.
    if (Count("information_schema.ROUTINES WHERE ROUTINE_SCHEMA = DATABASE() "
              "AND ROUTINE_NAME = 'sp_score_deletion'") == "0") {
      for (const std::string& script : LoadStoredProcedureScripts()) {
        ASSERT_EQ(probe_.Execute(script), "");
      }
    }
  }
  void TearDown() override { probe_.DropTables(prefix_); }

  static std::shared_ptr<vel::Mariadb> MakeClient(const std::string& url) {
    return vel::Mariadb::Create(
        url, plemox_test::MysqlUser(), plemox_test::MysqlPassword(),
        plemox_test::MysqlDatabase(), 2, "utf8", true,
        vel::Mariadb::kDefaultClientFlags, 5000, nullptr);
  }
  // A connection of one server, with its registry of known leaderboards.
  static std::shared_ptr<DbConnectionMariadb> Connect(
      const std::string& url, std::shared_ptr<LeaderboardTables> tables) {
    auto connection =
        std::make_shared<DbConnectionMariadb>(MakeClient(url), tables);
    EXPECT_TRUE(connection->Initialize());
    return connection;
  }

  // The same with a client of its own for the table rotations, as the
  // server has.
  static std::shared_ptr<DbConnectionMariadb> ConnectWithRotations(
      const std::string& url, std::shared_ptr<LeaderboardTables> tables) {
    auto connection = std::make_shared<DbConnectionMariadb>(
        MakeClient(url), tables, MakeClient(url));
    EXPECT_TRUE(connection->Initialize());
    return connection;
  }

  std::string Count(const std::string& from) {
    const auto rows = probe_.Rows("SELECT COUNT(*) FROM " + from);
    return rows.empty() ? "" : rows[0][0];
  }
  // The score tables of `id`.
  std::string TableCount(const std::string& id) {
    return Count(
        "information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND "
        "TABLE_NAME LIKE '" +
        id + "\\_%'");
  }
  // "account=score" of every row of a table, in account order.
  std::vector<std::string> Rows(const std::string& table) {
    std::vector<std::string> rows;
    for (const auto& row :
         probe_.Rows("SELECT CONCAT(local_account, '=', score) FROM " + table +
                     " ORDER BY local_account")) {
      rows.push_back(row[0]);
    }
    return rows;
  }

  static void Submit(DbConnection& db, const std::string& id,
                     const std::string& player, Response::Result result,
                     double score, std::int64_t ms, Done* done) {
    db.SubmitScore(id, vel::PlayerAccount("guest", player), {result, score}, ms,
                   kNoWeek, done->Callback());
  }

  gflags::FlagSaver flag_saver_;
  plemox_test::StoreProbe probe_;
  std::string prefix_;
};

TEST_F(LeaderboardTablesTest, CreatesOnceAndLetsTheWaitingOperationsGoInOrder) {
  plemox_test::LogCapture log;
  const std::string id = prefix_ + "burst";
  auto tables = std::make_shared<LeaderboardTables>(100);
  auto db = Connect(plemox_test::MysqlUrl(), tables);
  // A burst sent before the creation can have finished: the player's later
  // write must land last, and the deletion after the write it follows.
  Done done;
  Submit(*db, id, "p1", Response::kNewRecord, 1, 1000, &done);
  Submit(*db, id, "p1", Response::kNewRecord, 2, 2000, &done);
  Submit(*db, id, "p2", Response::kNewRecordDaily, 5, 1000, &done);
  db->DeleteScore(id, vel::PlayerAccount("guest", "p2"), ResetScheduleInfo(),
                  [&done](bool failed) { done.Add(failed); });
  Submit(*db, id, "p3", Response::kNewRecordMonthly, 7, 1000, &done);
  db->ResetMonthlyLeaderboard(
      id, id + "_month",
      [&done](const bool& failed, const std::string&) { done.Add(failed); });
  ASSERT_TRUE(WaitFor([&] { return done.count == 6; }));
  EXPECT_EQ(done.failures.load(), 0);
  EXPECT_TRUE(tables->IsKnown(id));
  EXPECT_EQ(tables->waiting_count(), 0u);
  EXPECT_EQ(TableCount(id), "7");
  EXPECT_EQ(Rows(id + "_alltime"), (std::vector<std::string>{"p1=-2"}));
  EXPECT_TRUE(Rows(id + "_daily").empty());
  EXPECT_TRUE(Rows(id + "_monthly").empty());
  EXPECT_EQ(Rows(id + "_lastmonth"), (std::vector<std::string>{"p3=-7"}));
  EXPECT_EQ(log.Count(google::GLOG_INFO,
                      "Creating the tables of a leaderboard created at run "
                      "time: leaderboard id=" +
                          id),
            1);

  // Two servers meeting a new id at the same moment both create its tables.
  const std::string shared = prefix_ + "shared";
  auto other = Connect(plemox_test::MysqlUrl(),
                       std::make_shared<LeaderboardTables>(100));
  Done both;
  Submit(*db, shared, "a", Response::kNewRecord, 1, 1000, &both);
  Submit(*other, shared, "b", Response::kNewRecord, 2, 1000, &both);
  ASSERT_TRUE(WaitFor([&] { return both.count == 2; }));
  EXPECT_EQ(both.failures.load(), 0);
  EXPECT_EQ(Rows(shared + "_alltime"),
            (std::vector<std::string>{"a=-1", "b=-2"}));

  db->Finalize();
  other->Finalize();
}

TEST_F(LeaderboardTablesTest, BulkWritesJoinTheirQueueOnceTheTableExists) {
  const std::string id = prefix_ + "bulk";
  auto client = MakeClient(plemox_test::MysqlUrl());
  ASSERT_TRUE(client->Initialize());
  // Without a timer: Finalize sends what is queued.
  auto queue = std::make_shared<BulkInsertQueue>(client, 3600 * 1000);
  FLAGS_leaderboard_use_db_bulk_insert = true;
  DbConnectionMariadb::SetBulkScoreSubmitter(
      [queue](const std::string& leaderboard_id,
              const vel::PlayerAccount& account,
              const DbConnection::ScoreOutcome& outcome, std::int64_t ms,
              const boost::posix_time::ptime& week, std::optional<double>,
              const DbConnection::SubmitScoreCallback& callback) {
        queue->Enqueue(DbSubmitScoreRequest::Make(leaderboard_id, account,
                                                  outcome, ms, week, callback));
      });
  struct Uninstall {
    ~Uninstall() { DbConnectionMariadb::SetBulkScoreSubmitter(nullptr); }
  } uninstall;
  auto db = Connect(plemox_test::MysqlUrl(),
                    std::make_shared<LeaderboardTables>(100));
  Done done;
  Submit(*db, id, "p1", Response::kNewRecordWeekly, 3, 1000, &done);
  Submit(*db, id, "p2", Response::kNewRecordWeekly, 4, 1000, &done);
  ASSERT_TRUE(WaitFor([&] { return queue->pending_count() == 2; }));
  EXPECT_EQ(TableCount(id), "7");
  queue->Finalize();
  ASSERT_TRUE(WaitFor([&] { return done.count == 2; }));
  EXPECT_EQ(done.failures.load(), 0);
  EXPECT_EQ(Rows(id + "_weekly"), (std::vector<std::string>{"p1=-3", "p2=-4"}));
  db->Finalize();
}

TEST_F(LeaderboardTablesTest, RefusedCreationFailsItsWaitersAndIsTriedAgain) {
  plemox_test::LogCapture log;
  const std::string id = prefix_ + "refused";
  auto tables = std::make_shared<LeaderboardTables>(100);
  auto db = Connect(plemox_test::MysqlUrl(), tables);
  // The server refuses the CREATE TABLE statements of this character set.
  FLAGS_mysql_db_character_set = "no_such_set";
  Done refused;
  Submit(*db, id, "p1", Response::kNewRecord, 1, 1000, &refused);
  Submit(*db, id, "p2", Response::kNewRecord, 2, 1000, &refused);
  ASSERT_TRUE(WaitFor([&] { return refused.count == 2; }));
  EXPECT_EQ(refused.failures.load(), 2);
  EXPECT_FALSE(tables->IsKnown(id));
  EXPECT_EQ(TableCount(id), "0");
  // p2 waits behind p1's creation when it arrives while that runs; on a
  // slow machine the creation may have failed already and p2 tries anew.
  const int creations = log.Count(
      google::GLOG_ERROR, "Failed to create the tables of a leaderboard: ");
  EXPECT_GE(creations, 1);
  EXPECT_LE(creations, 2);

  FLAGS_mysql_db_character_set = "utf8";
  Done done;
  Submit(*db, id, "p1", Response::kNewRecord, 1, 1000, &done);
  ASSERT_TRUE(WaitFor([&] { return done.count == 1; }));
  EXPECT_EQ(done.failures.load(), 0);
  EXPECT_EQ(Rows(id + "_alltime"), (std::vector<std::string>{"p1=-1"}));
  db->Finalize();
}

TEST_F(LeaderboardTablesTest, OutageKeepsTheCreationAndBoundsItsWaiters) {
  const std::string id = prefix_ + "outage";
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  auto tables = std::make_shared<LeaderboardTables>(3);
  auto db = Connect(proxy.url(), tables);
  proxy.StopListening();
  proxy.CutAll();

  Done done;
  Submit(*db, id, "p1", Response::kNewRecord, 1, 1000, &done);
  Submit(*db, id, "p1", Response::kNewRecord, 2, 2000, &done);
  Submit(*db, id, "p2", Response::kNewRecord, 5, 1000, &done);
  ASSERT_TRUE(WaitFor([&] { return db->write_stats().retained >= 1; }));
  EXPECT_EQ(done.count.load(), 0);
  EXPECT_EQ(tables->waiting_count(), 3u);
  // Beyond the bound an operation fails at once instead of waiting.
  Submit(*db, id, "p3", Response::kNewRecord, 9, 1000, &done);
  EXPECT_EQ(done.count.load(), 1);
  EXPECT_EQ(done.failures.load(), 1);

  proxy.StartListening();
  ASSERT_TRUE(
      WaitFor([&] { return done.count == 4; }, std::chrono::seconds(30)));
  EXPECT_EQ(done.failures.load(), 1);
  EXPECT_EQ(Rows(id + "_alltime"),
            (std::vector<std::string>{"p1=-2", "p2=-5"}));
  db->Finalize();
}

// The instant a period ended, a minute ago: records stamped after it belong
// to the new period.
std::int64_t PeriodEndMs() {
  return vel::WallClock::GetTimestampInMsec() - 60 * 1000;
}

TEST_F(LeaderboardTablesTest, NewPeriodWritesFollowThePendingRotationInOrder) {
  const std::string id = prefix_ + "held";
  auto db = ConnectWithRotations(plemox_test::MysqlUrl(),
                                 std::make_shared<LeaderboardTables>(100));
  const std::int64_t end = PeriodEndMs();
  Done before;
  Submit(*db, id, "closing", Response::kNewRecordDaily, 1, end - 5000, &before);
  Submit(*db, id, "deleted", Response::kNewRecordDaily, 2, end - 5000, &before);
  ASSERT_TRUE(WaitFor([&] { return before.count == 2; }));

  // Midnight passed; the rotation is still to run.
  db->HoldNewPeriodWrites(id, id + "_day/1", end);
  Done held;
  Submit(*db, id, "new", Response::kNewRecordDaily, 10, end + 1, &held);
  Submit(*db, id, "new", Response::kNewRecordDaily, 20, end + 2, &held);
  Submit(*db, id, "new", Response::kNewRecord, 20, end + 2, &held);
  // A deletion drops the player's held record (it came before) and does
  // not wait for the rotation: its answer waits for it.
  Submit(*db, id, "deleted", Response::kNewRecordDaily, 30, end + 3, &held);
  Done deletion;
  db->DeleteScore(id, vel::PlayerAccount("guest", "deleted"),
                  ResetScheduleInfo(),
                  [&deletion](bool failed) { deletion.Add(failed); });
  // A record of the closing period that arrives late goes at once.
  Done late;
  Submit(*db, id, "late", Response::kNewRecordDaily, 3, end - 1, &late);
  ASSERT_TRUE(WaitFor([&] { return late.count == 1 && deletion.count == 1; }));
  EXPECT_EQ(deletion.failures.load(), 0);
  EXPECT_EQ(held.count.load(), 1);
  EXPECT_EQ(db->held_write_count(), 3u);
  EXPECT_EQ(Rows(id + "_daily"),
            (std::vector<std::string>{"closing=-1", "late=-3"}));

  // Releasing another reset's hold lets nothing go.
  db->ReleaseNewPeriodWrites(id, id + "_week/1");
  EXPECT_EQ(db->held_write_count(), 3u);

  std::atomic<bool> rotated{false};
  db->ResetDailyLeaderboard(id, id + "_day",
                            [&](const bool& failed, const std::string&) {
                              EXPECT_FALSE(failed);
                              rotated = true;
                              db->ReleaseNewPeriodWrites(id, id + "_day/1");
                            });
  ASSERT_TRUE(WaitFor([&] { return held.count == 4; }));
  EXPECT_TRUE(rotated.load());
  EXPECT_EQ(held.failures.load(), 0);
  EXPECT_EQ(db->held_write_count(), 0u);
  // The new period's records are today's, the player's later one last.
  EXPECT_EQ(Rows(id + "_daily"), (std::vector<std::string>{"new=-20"}));
  EXPECT_EQ(Rows(id + "_yesterday"),
            (std::vector<std::string>{"closing=-1", "late=-3"}));
  EXPECT_EQ(Rows(id + "_alltime"), (std::vector<std::string>{"new=-20"}));
  db->Finalize();
}

TEST_F(LeaderboardTablesTest, HeldWritesOutlastAnOutageAndShutdown) {
  const std::string id = prefix_ + "heldout";
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  auto db = ConnectWithRotations(proxy.url(),
                                 std::make_shared<LeaderboardTables>(100));
  const std::int64_t end = PeriodEndMs();
  Done before;
  Submit(*db, id, "closing", Response::kNewRecordDaily, 1, end - 5000, &before);
  ASSERT_TRUE(WaitFor([&] { return before.count == 1; }));

  db->HoldNewPeriodWrites(id, id + "_day/1", end);
  Done held;
  Submit(*db, id, "a", Response::kNewRecordDaily, 5, end + 1, &held);
  Submit(*db, id, "b", Response::kNewRecordDaily, 6, end + 1, &held);
  // The database goes away: the rotation fails, the reset flow releases
  // the writes anyway, and they are kept until it is back.
  proxy.StopListening();
  proxy.CutAll();
  std::atomic<bool> failed_rotation{false};
  db->ResetDailyLeaderboard(id, id + "_day",
                            [&](const bool& failed, const std::string&) {
                              failed_rotation = failed;
                              db->ReleaseNewPeriodWrites(id, id + "_day/1");
                            });
  ASSERT_TRUE(WaitFor([&] { return db->write_stats().retained >= 1; },
                      std::chrono::seconds(30)));
  EXPECT_TRUE(failed_rotation.load());
  EXPECT_EQ(held.count.load(), 0);
  proxy.StartListening();
  ASSERT_TRUE(
      WaitFor([&] { return held.count == 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(held.failures.load(), 0);
  EXPECT_EQ(Rows(id + "_daily"),
            (std::vector<std::string>{"a=-5", "b=-6", "closing=-1"}));

  // Writes still held at shutdown go to the database before it closes.
  db->HoldNewPeriodWrites(id, id + "_day/2", end);
  Submit(*db, id, "c", Response::kNewRecordDaily, 7, end + 3, &held);
  EXPECT_EQ(db->held_write_count(), 1u);
  db->Finalize();
  EXPECT_EQ(held.count.load(), 3);
  EXPECT_EQ(held.failures.load(), 0);
  EXPECT_EQ(Rows(id + "_daily"),
            (std::vector<std::string>{"a=-5", "b=-6", "c=-7", "closing=-1"}));
}

}  // namespace
}  // namespace plemox
