// BulkInsertQueue against the real MariaDB server, in the stored-procedure
// and the plain form: full batches become one bulk statement, a player keeps
// one pending write (the newest), the timer sends leftovers one by one, and
// Finalize sends what is still queued. Each test uses tables of its own
// leaderboard id.
#include "database/store/bulk_insert_queue.h"

#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/db_connection.h"
#include "database/store/mysql_schema.h"
#include "support/log_capture.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/core/raw_timer.h"

namespace plemox {
namespace {

using Response = Leaderboard::ScoreSubmission::Response;
using plemox_test::WaitFor;

class TimerEnvironment : public testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(vel::RawTimer::Start(1)); }
  void TearDown() override {
    vel::RawTimer::Stop();
    vel::IoService::StopAll();
  }
};
const auto* const the_environment =
    testing::AddGlobalTestEnvironment(new TimerEnvironment);

constexpr std::uint64_t kNeverMs = 3600 * 1000;  // the timer stays out

class BulkInsertQueueTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    FLAGS_leaderboard_use_db_stored_procedure = GetParam();
    FLAGS_res_root = plemox_test::SourceDir();
    google::SetVLOGLevel("bulk_insert_queue", 2);
    static int counter = 0;
    id_ = "bulktest_" + std::to_string(getpid()) + "_" +
          std::to_string(++counter);
    schema_ =
        DbConnection::Create(plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
                             plemox_test::MysqlPassword(),
                             plemox_test::MysqlDatabase(), 1, "utf8", 5000);
    ASSERT_TRUE(schema_);
    raw_ = MakeClient();
    // The tables of this test. The procedures are installed only when
    // missing: replacing them would fail the calls of tests running in
    // parallel for a moment.
    FLAGS_leaderboard_use_db_stored_procedure = false;
    ASSERT_TRUE(schema_->ExecuteScripts(MakeSchemaScripts({id_}, {})));
    FLAGS_leaderboard_use_db_stored_procedure = GetParam();
    if (GetParam() && !ProceduresInstalled()) {
      ASSERT_TRUE(schema_->ExecuteScripts(LoadStoredProcedureScripts()));
    }
  }
  void TearDown() override {
    google::SetVLOGLevel("bulk_insert_queue", 0);
    if (queue_) queue_->Finalize();
    std::string drop = "DROP TABLE IF EXISTS " + id_ + "_alltime";
    for (const char* suffix : {"_daily", "_yesterday", "_weekly", "_lastweek",
                               "_monthly", "_lastmonth"}) {
      drop += std::string(", ") + id_ + suffix;
    }
    EXPECT_FALSE(raw_->ExecuteQuerySync(drop));
    raw_->Finalize();
    schema_->Finalize();
  }

  bool ProceduresInstalled() {
    std::shared_ptr<vel::ResultSets> sets;
    EXPECT_FALSE(raw_->ExecuteQuerySync(
        "SELECT COUNT(*) FROM information_schema.ROUTINES WHERE "
        "ROUTINE_SCHEMA = DATABASE() AND ROUTINE_NAME IN "
        "('sp_score_submission', 'sp_bulk_score_submission')",
        &sets));
    return sets && sets->SeekNextResultSet() && sets->SeekNextRow() &&
           sets->GetInt(0, 0) == 2;
  }

  static std::shared_ptr<vel::Mariadb> MakeClient() {
    auto client = vel::Mariadb::Create(
        plemox_test::MysqlUrl(), plemox_test::MysqlUser(),
        plemox_test::MysqlPassword(), plemox_test::MysqlDatabase(), 2, "utf8",
        true, vel::Mariadb::kDefaultClientFlags, 5000, nullptr);
    EXPECT_TRUE(client->Initialize());
    return client;
  }

  void StartQueue(std::uint64_t flush_interval_ms) {
    queue_ = std::make_shared<BulkInsertQueue>(MakeClient(), flush_interval_ms);
    ASSERT_TRUE(queue_->Start());
  }

  // Queues a write of "guest"/`account`; its completion counts in
  // completed_ (and in failed_ when it failed).
  void Submit(const std::string& account, double score, std::int64_t ms,
              Response::Result result = Response::kNewRecordDaily,
              const std::string& provider = "guest") {
    auto completed = completed_;
    auto failed = failed_;
    queue_->Enqueue(DbSubmitScoreRequest::Make(
        id_, vel::PlayerAccount(provider, account), {result, score}, ms,
        boost::posix_time::ptime(boost::posix_time::not_a_date_time),
        [completed, failed](const bool& write_failed) {
          ++*completed;
          if (write_failed) ++*failed;
        }));
  }

  // "account=score" of every row of a table, in account order.
  std::vector<std::string> Rows(const std::string& suffix) {
    std::shared_ptr<vel::ResultSets> sets;
    EXPECT_FALSE(
        raw_->ExecuteQuerySync("SELECT local_account, score, time_stamp FROM " +
                                   id_ + suffix + " ORDER BY local_account",
                               &sets));
    std::vector<std::string> rows;
    if (!sets || !sets->SeekNextResultSet()) return rows;
    while (sets->SeekNextRow()) {
      rows.push_back(sets->GetString(0) + "=" + sets->GetString(1) + "@" +
                     sets->GetString(2));
    }
    return rows;
  }

  static std::string Player(int i) {
    return std::string("p") + (i < 10 ? "0" : "") + std::to_string(i);
  }

  std::string id_;
  std::shared_ptr<DbConnection> schema_;
  std::shared_ptr<vel::Mariadb> raw_;
  std::shared_ptr<BulkInsertQueue> queue_;
  std::shared_ptr<std::atomic<int>> completed_ =
      std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::atomic<int>> failed_ =
      std::make_shared<std::atomic<int>>(0);
};

TEST_P(BulkInsertQueueTest, ThirtyTwoPlayersMakeOneBulkStatement) {
  plemox_test::LogCapture log;
  StartQueue(kNeverMs);
  for (int i = 0; i < 31; ++i) Submit(Player(i), 100 + i, 1612345678901);
  EXPECT_EQ(queue_->pending_count(), 31u);
  EXPECT_EQ(log.Lines("Executing bulk insert").size(), 0u);

  Submit(Player(31), 131, 1612345678901);
  ASSERT_TRUE(WaitFor([&] { return *completed_ == 32; }));
  EXPECT_EQ(*failed_, 0);
  EXPECT_EQ(queue_->pending_count(), 0u);
  const auto statements = log.Lines("Executing bulk insert: query=");
  ASSERT_EQ(statements.size(), 1u);
  // Rows in key order: p00 first, p31 last.
  EXPECT_LT(statements[0].second.find("'p00', -100, -1612345678"),
            statements[0].second.find("'p31', -131, -1612345678"));
  const auto rows = Rows("_daily");
  ASSERT_EQ(rows.size(), 32u);
  EXPECT_EQ(rows.front(), "p00=-100@-1612345678");

  // The 33rd starts the next batch.
  Submit(Player(32), 132, 1612345678901);
  EXPECT_EQ(queue_->pending_count(), 1u);
  EXPECT_EQ(*completed_, 32);
  EXPECT_EQ(log.Lines("Executing bulk insert").size(), 1u);
}

TEST_P(BulkInsertQueueTest, APlayerKeepsOnlyTheNewestPendingWrite) {
  StartQueue(kNeverMs);
  Submit("older_first", 10, 1000);
  Submit("older_first", 30, 3000);  // replaces the first
  Submit("newer_first", 20, 2000);
  Submit("newer_first", 5, 500);  // older: dropped
  Submit("same_time", 1, 4000);
  Submit("same_time", 2, 4000);  // as recent: replaces
  // One player, two results: two queues, both pending.
  Submit("older_first", 30, 3000, Response::kNewRecord);
  EXPECT_EQ(queue_->pending_count(), 4u);

  queue_->Finalize();
  EXPECT_EQ(*completed_, 4);  // the superseded never complete
  EXPECT_EQ(*failed_, 0);
  EXPECT_EQ(Rows("_daily"), (std::vector<std::string>{"newer_first=-20@-2",
                                                      "older_first=-30@-3",
                                                      "same_time=-2@-4"}));
  EXPECT_EQ(Rows("_alltime"), (std::vector<std::string>{"older_first=-30@-3"}));
}

TEST_P(BulkInsertQueueTest, PlayersWhoseKeysReadAlikeStayApart) {
  StartQueue(kNeverMs);
  // Both keys read "<id>_a_b_c".
  Submit("a_b", 1, 1000, Response::kNewRecordDaily, "c");
  Submit("a", 2, 2000, Response::kNewRecordDaily, "b_c");
  EXPECT_EQ(queue_->pending_count(), 2u);
  queue_->Finalize();
  EXPECT_EQ(*completed_, 2);
  EXPECT_EQ(Rows("_daily"), (std::vector<std::string>{"a=-2@-2", "a_b=-1@-1"}));
}

TEST_P(BulkInsertQueueTest, ADeletionDiscardsThePlayersQueuedWrites) {
  StartQueue(kNeverMs);
  Submit("gone", 1, 1000);
  Submit("gone", 1, 1000, Response::kNewRecord);
  Submit("gone", 1, 1000, Response::kNewRecord, "other_provider");
  Submit("stays", 2, 1000);
  EXPECT_EQ(queue_->DiscardPendingWrites(id_ + "_x", {"guest", "gone"}), 0u);
  EXPECT_EQ(queue_->DiscardPendingWrites(id_, {"guest", "gone"}), 2u);
  EXPECT_EQ(queue_->pending_count(), 2u);
  queue_->Finalize();
  EXPECT_EQ(Rows("_daily"), (std::vector<std::string>{"stays=-2@-1"}));
  EXPECT_EQ(Rows("_alltime"), (std::vector<std::string>{"gone=-1@-1"}));
}

TEST_P(BulkInsertQueueTest, TimerSendsLeftoversOneByOne) {
  plemox_test::LogCapture log;
  StartQueue(200);
  Submit("a", 1, 1000);
  Submit("b", 2, 1000);
  Submit("c", 3, 1000, Response::kNewRecordMonthly);
  ASSERT_TRUE(WaitFor([&] { return *completed_ == 3; }));
  EXPECT_EQ(*failed_, 0);
  EXPECT_EQ(log.Lines("Submitting score: query=").size(), 3u);
  EXPECT_EQ(log.Lines("Executing bulk insert").size(), 0u);
  EXPECT_EQ(Rows("_daily"), (std::vector<std::string>{"a=-1@-1", "b=-2@-1"}));
  EXPECT_EQ(Rows("_monthly"), (std::vector<std::string>{"c=-3@-1"}));
}

TEST_P(BulkInsertQueueTest, TimerSkipsAQueueFlushedBySizeWithinAPeriod) {
  StartQueue(kNeverMs);
  for (int i = 0; i < 32; ++i) Submit(Player(i), i, 1000);
  Submit("late", 1, 2000);                         // the flushed queue
  Submit("other", 1, 2000, Response::kNewRecord);  // never flushed
  ASSERT_TRUE(WaitFor([&] { return *completed_ == 32; }));
  queue_->OnQueryFlushTimer();
  ASSERT_TRUE(WaitFor([&] { return *completed_ == 33; }));
  EXPECT_EQ(queue_->pending_count(), 1u);
  EXPECT_EQ(Rows("_alltime"), (std::vector<std::string>{"other=-1@-2"}));
}

TEST_P(BulkInsertQueueTest, FinalizeSendsWhatIsStillQueued) {
  StartQueue(kNeverMs);
  for (int i = 0; i < 5; ++i) Submit(Player(i), i, 1000);
  queue_->Finalize();
  EXPECT_EQ(*completed_, 5);
  EXPECT_EQ(Rows("_daily").size(), 5u);
  // Later writes go out alone on the closed client and fail (logged).
  Submit("after", 1, 1000);
  EXPECT_EQ(*completed_, 6);
  EXPECT_EQ(*failed_, 1);
}

INSTANTIATE_TEST_SUITE_P(StoredProcedureAndPlain, BulkInsertQueueTest,
                         testing::Bool());

}  // namespace
}  // namespace plemox
