// vel::Mariadb::ExecuteWriteInOrder against the real mariadbd, with a
// TcpFaultProxy in front of it playing the unreachable database: writes are
// kept in order while it is away and run once it is back; refused writes,
// the pending write limit and finalizing during an outage end them.
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"
#include "vel/mariadb/mariadb.h"
#include "vel/mariadb/result_sets.h"

namespace {

using plemox_test::WaitFor;
using std::chrono::seconds;
using vel::Mariadb;

// The completions of a series of statements, by index.
struct Completions {
  std::mutex mutex;
  std::vector<Mariadb::Error> errors;  // GUARDED_BY(mutex)
  std::vector<int> order;              // GUARDED_BY(mutex)

  Mariadb::Callback Callback(int index) {
    return [this, index](const std::shared_ptr<vel::ResultSets>&,
                         const Mariadb::Error& error) {
      std::lock_guard<std::mutex> lock(mutex);
      errors.push_back(error);
      order.push_back(index);
    };
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return errors.size();
  }
};

std::shared_ptr<Mariadb> MakeRetentionClient(const std::string& url,
                                             std::size_t connections) {
  return Mariadb::Create(url, plemox_test::MysqlUser(),
                         plemox_test::MysqlPassword(),
                         plemox_test::MysqlDatabase(), connections, "utf8mb4",
                         true, Mariadb::kDefaultClientFlags, 0, nullptr);
}

class MariadbWriteRetentionTest : public testing::Test {
 protected:
  void SetUp() override {
    admin_ = MakeRetentionClient(plemox_test::MysqlUrl(), 1);
    ASSERT_TRUE(admin_->Initialize());
    table_ = "vel_retention_test_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_FALSE(admin_->ExecuteQuerySync("DROP TABLE IF EXISTS " + table_));
    ASSERT_FALSE(admin_->ExecuteQuerySync(
        "CREATE TABLE " + table_ +
        "(n INT AUTO_INCREMENT PRIMARY KEY, k INT) ENGINE=InnoDB"));
  }
  void TearDown() override {
    admin_->ExecuteQuerySync("DROP TABLE IF EXISTS " + table_);
    admin_->Finalize();
  }

  std::string Insert(int k) {
    return "INSERT INTO " + table_ + "(k) VALUES(" + std::to_string(k) + ")";
  }
  // The k column in the order the rows were written.
  std::vector<int> Written() {
    std::shared_ptr<vel::ResultSets> sets;
    EXPECT_FALSE(admin_->ExecuteQuerySync(
        "SELECT k FROM " + table_ + " ORDER BY n", &sets));
    std::vector<int> values;
    if (!sets || !sets->SeekNextResultSet()) return values;
    while (sets->SeekNextRow()) {
      values.push_back(static_cast<int>(sets->GetInt(0, -1)));
    }
    return values;
  }

  // A client of two connections through a proxy that is then taken away.
  std::shared_ptr<Mariadb> ClientBehindDownProxy(
      plemox_test::TcpFaultProxy& proxy, std::size_t limit = 0) {
    auto client = MakeRetentionClient(proxy.url(), 2);
    if (limit > 0) {
      EXPECT_TRUE(client->SetPendingWriteLimit(limit));
    }
    EXPECT_TRUE(client->Initialize());
    EXPECT_FALSE(client->SetPendingWriteLimit(5));  // too late
    proxy.StopListening();
    proxy.CutAll();
    return client;
  }

  std::shared_ptr<Mariadb> admin_;
  std::string table_;
};

TEST(MariadbUnreachableErrorTest, TellsUnreachableFromRefused) {
  for (unsigned code : {2002u, 2003u, 2005u, 2006u, 2013u, 1040u, 1053u}) {
    EXPECT_TRUE(Mariadb::IsUnreachableError(Mariadb::Error{code, "", ""}))
        << code;
  }
  for (unsigned code :
       {0u, 1062u, 1146u, 1064u, 1213u, 1045u, Mariadb::kClientNotRunningError,
        Mariadb::kWriteLimitError}) {
    EXPECT_FALSE(Mariadb::IsUnreachableError(Mariadb::Error{code, "", ""}))
        << code;
  }
}

TEST_F(MariadbWriteRetentionTest, KeptWritesRunInOrderOnceTheServerIsBack) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  plemox_test::LogCapture log;
  auto client = ClientBehindDownProxy(proxy);
  Completions writes;
  for (int k = 1; k <= 5; ++k) {
    client->ExecuteWriteInOrder(7, Insert(k), writes.Callback(k));
  }
  // An ordinary statement still fails at once on the other connection.
  Completions plain;
  client->ExecuteQuery("SELECT 1", plain.Callback(0));
  ASSERT_TRUE(WaitFor([&] { return plain.count() == 1; }));
  EXPECT_TRUE(Mariadb::IsUnreachableError(plain.errors[0])) << plain.errors[0];

  ASSERT_TRUE(WaitFor([&] { return client->write_stats().retained >= 1; }));
  EXPECT_EQ(writes.count(), 0u);
  EXPECT_EQ(client->write_stats().pending, 5u);
  EXPECT_GE(log.Count(google::GLOG_ERROR, "the database is unreachable"), 1);

  proxy.StartListening();
  ASSERT_TRUE(WaitFor([&] { return writes.count() == 5; }, seconds(30)));
  {
    std::lock_guard<std::mutex> lock(writes.mutex);
    for (const auto& error : writes.errors) EXPECT_FALSE(error) << error;
    EXPECT_EQ(writes.order, (std::vector<int>{1, 2, 3, 4, 5}));
  }
  EXPECT_EQ(Written(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(client->write_stats().pending, 0u);
  EXPECT_EQ(client->write_stats().dropped, 0u);
  // Kept and retried, each write counts once as done.
  EXPECT_EQ(client->write_stats().written, 5u);
  EXPECT_EQ(client->write_stats().failed, 0u);
  EXPECT_GE(log.Count(google::GLOG_WARNING, "reachable again"), 1);
  client->Finalize();
}

TEST_F(MariadbWriteRetentionTest, RefusedWriteCompletesWithItsError) {
  auto client = MakeRetentionClient(plemox_test::MysqlUrl(), 1);
  ASSERT_TRUE(client->Initialize());
  Completions writes;
  client->ExecuteWriteInOrder(1, "INSERT INTO no_such_table_here VALUES(1)",
                              writes.Callback(0));
  client->ExecuteWriteInOrder(1, Insert(1), writes.Callback(1));
  ASSERT_TRUE(WaitFor([&] { return writes.count() == 2; }));
  EXPECT_EQ(writes.errors[0].code, 1146u) << writes.errors[0];
  EXPECT_FALSE(writes.errors[1]) << writes.errors[1];
  EXPECT_EQ(client->write_stats().retained, 0u);
  EXPECT_EQ(client->write_stats().failed, 1u);
  EXPECT_EQ(client->write_stats().written, 1u);
  client->Finalize();
}

TEST_F(MariadbWriteRetentionTest, LimitDropsFurtherWritesAndSaysSo) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  plemox_test::LogCapture log;
  auto client = ClientBehindDownProxy(proxy, 2);
  Completions writes;
  for (int k = 1; k <= 3; ++k) {
    client->ExecuteWriteInOrder(3, Insert(k), writes.Callback(k));
  }
  // The third is dropped at once; the first two wait.
  ASSERT_EQ(writes.count(), 1u);
  EXPECT_EQ(writes.order[0], 3);
  EXPECT_EQ(writes.errors[0].code, Mariadb::kWriteLimitError);
  EXPECT_EQ(client->write_stats().dropped, 1u);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "MariaDB write DROPPED"), 1);

  proxy.StartListening();
  ASSERT_TRUE(WaitFor([&] { return writes.count() == 3; }, seconds(30)));
  EXPECT_EQ(Written(), (std::vector<int>{1, 2}));
  client->Finalize();
}

TEST_F(MariadbWriteRetentionTest, FinalizeDuringAnOutageEndsKeptWrites) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  plemox_test::LogCapture log;
  auto client = ClientBehindDownProxy(proxy);
  Completions writes;
  client->ExecuteWriteInOrder(1, Insert(1), writes.Callback(1));
  client->ExecuteWriteInOrder(1, Insert(2), writes.Callback(2));
  ASSERT_TRUE(WaitFor([&] { return client->write_stats().retained >= 1; }));
  client->Finalize(300);
  ASSERT_EQ(writes.count(), 2u);
  for (const auto& error : writes.errors) {
    EXPECT_EQ(error.code, Mariadb::kClientNotRunningError) << error;
  }
  EXPECT_EQ(client->write_stats().abandoned, 2u);
  // Lost writes count as abandoned only, never also as failed or done.
  EXPECT_EQ(client->write_stats().failed, 0u);
  EXPECT_EQ(client->write_stats().written, 0u);
  EXPECT_EQ(client->write_stats().pending, 0u);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "they are lost"), 1);
}

// What a write handover received, in the order of its calls.
struct Handovers {
  std::mutex mutex;
  std::vector<Mariadb::HandedOverWrite> writes;  // GUARDED_BY(mutex)
  bool accept = true;

  Mariadb::WriteHandover Handover() {
    return [this](const std::vector<Mariadb::HandedOverWrite>& given) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!accept) return false;
      writes.insert(writes.end(), given.begin(), given.end());
      return true;
    };
  }
  std::vector<std::string> payloads() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (const auto& write : writes) out.push_back(write.payload);
    return out;
  }
};

// A hung server (its answers held back, as a SIGSTOPped one): Finalize cuts
// the connections at the end of the drain time and hands every unwritten
// write that carries a payload over, in the order the writes were queued;
// a write without a payload is lost as before.
TEST_F(MariadbWriteRetentionTest, FinalizeHandsUnwrittenWritesOverInOrder) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  auto client = MakeRetentionClient(proxy.url(), 2);
  Handovers handovers;
  ASSERT_TRUE(client->SetWriteHandover(handovers.Handover()));
  ASSERT_TRUE(client->Initialize());
  EXPECT_FALSE(client->SetWriteHandover(handovers.Handover()));  // too late
  proxy.SetStalled(true);
  Completions writes;
  for (int k = 0; k < 6; ++k) {
    // Two order keys: two connections, both stuck on their first write.
    client->ExecuteWriteInOrder(k % 2, Insert(k), writes.Callback(k),
                                "w" + std::to_string(k));
  }
  client->ExecuteWriteInOrder(0, Insert(99), writes.Callback(99));
  const std::uint64_t oldest = client->OldestPendingWrite();
  const auto started = std::chrono::steady_clock::now();
  client->Finalize(300);
  // Not the 300 s read timeout: the stuck statements were cut.
  EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(10));
  EXPECT_EQ(handovers.payloads(),
            (std::vector<std::string>{"w0", "w1", "w2", "w3", "w4", "w5"}));
  {
    std::lock_guard<std::mutex> lock(handovers.mutex);
    EXPECT_EQ(handovers.writes.front().sequence, oldest);
    for (std::size_t i = 1; i < handovers.writes.size(); ++i) {
      EXPECT_GT(handovers.writes[i].sequence, handovers.writes[i - 1].sequence);
    }
  }
  ASSERT_EQ(writes.count(), 7u);
  {
    std::lock_guard<std::mutex> lock(writes.mutex);
    for (std::size_t i = 0; i < writes.order.size(); ++i) {
      EXPECT_EQ(writes.errors[i].code, writes.order[i] == 99
                                           ? Mariadb::kClientNotRunningError
                                           : Mariadb::kWriteHandedOverError)
          << writes.order[i];
    }
  }
  const Mariadb::WriteStats stats = client->write_stats();
  EXPECT_EQ(stats.handed_over, 6u);
  EXPECT_EQ(stats.abandoned, 1u);
  EXPECT_EQ(stats.pending, 0u);
  // After Finalize a write with a payload still goes to the handover.
  Completions late;
  client->ExecuteWriteInOrder(0, Insert(7), late.Callback(7), "late");
  ASSERT_EQ(late.count(), 1u);
  EXPECT_EQ(late.errors[0].code, Mariadb::kWriteHandedOverError);
  EXPECT_EQ(handovers.payloads().back(), "late");
  proxy.SetStalled(false);
}

// Past the pending limit a write with a payload is handed over at once, not
// dropped; the client's oldest pending write stays the first kept one, so
// a replay of the handed-over write waits behind it. A handover that fails
// drops the write as before.
TEST_F(MariadbWriteRetentionTest, WritesPastTheLimitAreHandedOver) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  auto client = MakeRetentionClient(proxy.url(), 2);
  Handovers handovers;
  ASSERT_TRUE(client->SetPendingWriteLimit(2));
  ASSERT_TRUE(client->SetWriteHandover(handovers.Handover()));
  ASSERT_TRUE(client->Initialize());
  proxy.StopListening();
  proxy.CutAll();
  Completions writes;
  for (int k = 1; k <= 4; ++k) {
    client->ExecuteWriteInOrder(3, Insert(k), writes.Callback(k),
                                "w" + std::to_string(k));
  }
  ASSERT_EQ(writes.count(), 2u);
  EXPECT_EQ(writes.errors[0].code, Mariadb::kWriteHandedOverError);
  EXPECT_EQ(handovers.payloads(), (std::vector<std::string>{"w3", "w4"}));
  {
    std::lock_guard<std::mutex> lock(handovers.mutex);
    EXPECT_LT(client->OldestPendingWrite(), handovers.writes[0].sequence);
  }
  handovers.accept = false;
  client->ExecuteWriteInOrder(3, Insert(5), writes.Callback(5), "w5");
  ASSERT_EQ(writes.count(), 3u);
  EXPECT_EQ(writes.errors[2].code, Mariadb::kWriteLimitError);
  EXPECT_EQ(client->write_stats().handed_over, 2u);
  EXPECT_EQ(client->write_stats().dropped, 1u);

  proxy.StartListening();
  ASSERT_TRUE(WaitFor([&] { return writes.count() == 5; }, seconds(30)));
  EXPECT_EQ(Written(), (std::vector<int>{1, 2}));
  // Nothing pends: the oldest pending write is the next to come.
  const std::uint64_t next = client->OldestPendingWrite();
  client->ExecuteWriteInOrder(3, Insert(6), nullptr, "w6");
  EXPECT_GE(client->OldestPendingWrite(), next);
  client->Finalize();
}

}  // namespace
