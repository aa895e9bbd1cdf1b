// vel::Mariadb against the real mariadbd of scripts/services.sh; network
// faults come from a TcpFaultProxy in front of it.
#include "vel/mariadb/mariadb.h"

#include <glog/logging.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"
#include "vel/mariadb/result_sets.h"

namespace {

using plemox_test::WaitFor;
using std::chrono::seconds;
using vel::Mariadb;
using vel::ResultSets;

// Collects the completion of one asynchronous statement.
struct Completion {
  std::mutex mutex;
  int calls = 0;                        // GUARDED_BY(mutex)
  Mariadb::Error error;                 // GUARDED_BY(mutex)
  std::shared_ptr<ResultSets> results;  // GUARDED_BY(mutex)

  Mariadb::Callback Callback() {
    return [this](const std::shared_ptr<ResultSets>& sets,
                  const Mariadb::Error& e) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      error = e;
      results = sets;
    };
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls > 0;
  }
};

// Counts connection failures reported to the handler.
struct FailureLog {
  std::mutex mutex;
  std::vector<unsigned> codes;  // GUARDED_BY(mutex)

  Mariadb::ConnectionFailureHandler Handler() {
    return [this](const Mariadb::Error& error) {
      std::lock_guard<std::mutex> lock(mutex);
      codes.push_back(error.code);
    };
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return codes.size();
  }
};

bool IsConnectionError(unsigned code) {
  return code == 2002 || code == 2003 || code == 2006 || code == 2013;
}

std::shared_ptr<Mariadb> MakeClient(
    const std::string& url, std::size_t connections,
    const std::string& character_set = "utf8mb4", bool retry_on_deadlock = true,
    std::int64_t slow_ms = 0,
    Mariadb::ConnectionFailureHandler handler =
        Mariadb::kDefaultConnectionFailureHandler) {
  return Mariadb::Create(
      url, plemox_test::MysqlUser(), plemox_test::MysqlPassword(),
      plemox_test::MysqlDatabase(), connections, character_set,
      retry_on_deadlock, Mariadb::kDefaultClientFlags, slow_ms,
      std::move(handler));
}

// Runs a statement that must succeed and returns its result sets.
std::shared_ptr<ResultSets> MustRun(Mariadb& client, const std::string& sql) {
  std::shared_ptr<ResultSets> sets;
  const Mariadb::Error error = client.ExecuteQuerySync(sql, &sets);
  EXPECT_FALSE(error) << error << ", statement: " << sql;
  return sets;
}

// The first column of the first row of the first result set.
std::string FirstValue(Mariadb& client, const std::string& sql) {
  auto sets = MustRun(client, sql);
  if (!sets || !sets->SeekNextResultSet() || !sets->SeekNextRow()) return "";
  return sets->GetString(0, "<null>");
}

class MariadbTest : public testing::Test {
 protected:
  void SetUp() override {
    admin_ = MakeClient(plemox_test::MysqlUrl(), 2);
    ASSERT_TRUE(admin_->Initialize());
  }
  void TearDown() override {
    for (const auto& table : tables_) {
      admin_->ExecuteQuerySync("DROP TABLE IF EXISTS " + table);
    }
    admin_->Finalize();
  }

  // A fresh table named vel_mariadb_test_<suffix>, dropped after the test.
  std::string CreateTable(const std::string& suffix,
                          const std::string& columns) {
    const std::string table = "vel_mariadb_test_" + suffix;
    tables_.push_back(table);
    MustRun(*admin_, "DROP TABLE IF EXISTS " + table);
    MustRun(*admin_, "CREATE TABLE " + table + "(" + columns +
                         ") ENGINE=InnoDB CHARACTER SET utf8mb4");
    return table;
  }

  std::shared_ptr<Mariadb> admin_;
  std::vector<std::string> tables_;
};

TEST_F(MariadbTest, SyncAndAsyncQueriesReadValuesNullsAndDefaults) {
  const std::string table =
      CreateTable("values",
                  "id INT PRIMARY KEY, name VARCHAR(50) NULL, score DOUBLE, "
                  "big BIGINT, amount DECIMAL(10,2)");
  auto client = MakeClient(plemox_test::MysqlUrl(), 2);
  ASSERT_TRUE(client->Initialize());

  auto inserted =
      MustRun(*client, "INSERT INTO " + table +
                           " VALUES(1, 'alice', -100.5, -1612345678901, 12.75),"
                           "(2, NULL, 0.1, 9223372036854775807, NULL)");
  EXPECT_EQ(inserted->GetResultSetCount(), 0u);
  EXPECT_EQ(inserted->GetAffectedRowCount(), 2u);

  Completion done;
  client->ExecuteQuery(
      "SELECT id, name, score, big, amount FROM " + table + " ORDER BY id",
      done.Callback());
  ASSERT_TRUE(WaitFor([&] { return done.Done(); }));
  std::lock_guard<std::mutex> lock(done.mutex);
  ASSERT_FALSE(done.error) << done.error;
  ResultSets& sets = *done.results;
  ASSERT_EQ(sets.GetResultSetCount(), 1u);
  ASSERT_TRUE(sets.SeekNextResultSet());
  EXPECT_EQ(sets.GetColumnCount(), 5u);
  EXPECT_EQ(sets.GetColumnName(1), "name");
  ASSERT_TRUE(sets.SeekNextRow());
  EXPECT_EQ(sets.GetInt(0), 1);
  EXPECT_EQ(sets.GetString(1), "alice");
  EXPECT_DOUBLE_EQ(sets.GetDouble(2), -100.5);
  EXPECT_EQ(sets.GetInt(3), -1612345678901);
  EXPECT_EQ(sets.GetInt(4), 12);
  EXPECT_DOUBLE_EQ(sets.GetDouble(4), 12.75);
  ASSERT_TRUE(sets.SeekNextRow());
  EXPECT_TRUE(sets.IsNull(1));
  EXPECT_EQ(sets.GetString(1, "nobody"), "nobody");
  EXPECT_EQ(sets.GetInt(3), 9223372036854775807);
  EXPECT_TRUE(sets.IsNull(4));
  EXPECT_DOUBLE_EQ(sets.GetDouble(4, -1), -1);
  EXPECT_EQ(sets.GetString(5, "out of range"), "out of range");
  EXPECT_FALSE(sets.SeekNextRow());
  EXPECT_EQ(done.calls, 1);
}

TEST_F(MariadbTest,
       MultiStatementYieldsEveryResultSetAndLeavesConnectionUsable) {
  const std::string table = CreateTable("multi", "id INT PRIMARY KEY");
  auto client = MakeClient(plemox_test::MysqlUrl(), 1);
  ASSERT_TRUE(client->Initialize());

  std::shared_ptr<ResultSets> sets;
  ASSERT_FALSE(client->ExecuteQuerySync(
      "SELECT 1 AS a; INSERT INTO " + table +
          " VALUES(1),(2),(3); "
          "SELECT 'x' AS b, 2 AS c UNION ALL SELECT 'y', 3; "
          "SELECT id FROM " +
          table + " WHERE id > 100;",
      &sets));
  ASSERT_EQ(sets->GetResultSetCount(), 3u);
  EXPECT_EQ(sets->GetAffectedRowCount(), 3u);
  ASSERT_TRUE(sets->SeekNextResultSet());
  ASSERT_TRUE(sets->SeekNextRow());
  EXPECT_EQ(sets->GetInt(0), 1);
  ASSERT_TRUE(sets->SeekNextResultSet());
  EXPECT_EQ(sets->GetRowCount(), 2u);
  ASSERT_TRUE(sets->SeekNextRow());
  ASSERT_TRUE(sets->SeekNextRow());
  EXPECT_EQ(sets->GetString(0), "y");
  EXPECT_EQ(sets->GetInt(1), 3);
  // A SELECT without rows still is a result set, with its columns.
  ASSERT_TRUE(sets->SeekNextResultSet());
  EXPECT_EQ(sets->GetColumnCount(), 1u);
  EXPECT_FALSE(sets->SeekNextRow());
  EXPECT_FALSE(sets->SeekNextResultSet());

  // All results were consumed: the single connection is in sync.
  EXPECT_EQ(FirstValue(*client, "SELECT COUNT(*) FROM " + table), "3");
}

TEST_F(MariadbTest, StoredProcedureReturnsItsResultSets) {
  const std::string procedure =
      "vel_mariadb_test_proc_" + std::to_string(::getpid());
  auto client = MakeClient(plemox_test::MysqlUrl(), 1);
  ASSERT_TRUE(client->Initialize());
  MustRun(*client, "DROP PROCEDURE IF EXISTS " + procedure);
  // The body holds ';' yet is one statement.
  MustRun(*client, "CREATE PROCEDURE " + procedure +
                       "(IN n INT) BEGIN SELECT n * 2 AS doubled; "
                       "SELECT 'second' AS word, NULL AS nothing; END");

  for (int round = 0; round < 2; ++round) {
    std::shared_ptr<ResultSets> sets;
    const Mariadb::Error error =
        client->ExecuteQuerySync("CALL " + procedure + "(21)", &sets);
    ASSERT_FALSE(error) << error;
    // The procedure's final status is not a result set.
    ASSERT_EQ(sets->GetResultSetCount(), 2u);
    ASSERT_TRUE(sets->SeekNextResultSet());
    ASSERT_TRUE(sets->SeekNextRow());
    EXPECT_EQ(sets->GetInt(0), 42);
    ASSERT_TRUE(sets->SeekNextResultSet());
    ASSERT_TRUE(sets->SeekNextRow());
    EXPECT_EQ(sets->GetString(0), "second");
    EXPECT_TRUE(sets->IsNull(1));
  }
  MustRun(*client, "DROP PROCEDURE " + procedure);
}

TEST_F(MariadbTest, ErrorsCarryCodeAndStateIncludingLaterStatements) {
  const std::string table =
      CreateTable("errors", "id INT PRIMARY KEY, name VARCHAR(20)");
  auto client = MakeClient(plemox_test::MysqlUrl(), 1);
  ASSERT_TRUE(client->Initialize());
  MustRun(*client, "INSERT INTO " + table + " VALUES(1, 'one')");

  Mariadb::Error duplicate =
      client->ExecuteQuerySync("INSERT INTO " + table + " VALUES(1, 'again')");
  EXPECT_EQ(duplicate.code, 1062u);
  EXPECT_EQ(duplicate.sql_state, "23000");
  EXPECT_THAT(duplicate.description, testing::HasSubstr("Duplicate entry"));

  // The second statement fails: the text fails, with what came before kept.
  std::shared_ptr<ResultSets> sets;
  Mariadb::Error second = client->ExecuteQuerySync(
      "INSERT INTO " + table + " VALUES(2, 'two'); INSERT INTO " + table +
          " VALUES(1, 'dup'); INSERT INTO " + table + " VALUES(3, 'three')",
      &sets);
  EXPECT_EQ(second.code, 1062u);
  EXPECT_EQ(sets->GetAffectedRowCount(), 1u);
  second = client->ExecuteQuerySync("SELECT 7 AS seven; SELEC broken", &sets);
  EXPECT_EQ(second.code, 1064u);
  EXPECT_EQ(second.sql_state, "42000");
  ASSERT_TRUE(sets->SeekNextResultSet());
  ASSERT_TRUE(sets->SeekNextRow());
  EXPECT_EQ(sets->GetInt(0), 7);

  // The server stopped at the failing statement and the connection is fine.
  EXPECT_EQ(
      FirstValue(*client, "SELECT GROUP_CONCAT(id ORDER BY id) FROM " + table),
      "1,2");
}

TEST_F(MariadbTest, EscapedValuesRoundTripAndCharacterSetIsApplied) {
  const std::string table = CreateTable(
      "escape", "id INT PRIMARY KEY, value VARCHAR(200) CHARACTER SET utf8mb4");
  auto client = MakeClient(plemox_test::MysqlUrl(), 1, "utf8mb4");
  ASSERT_TRUE(client->Initialize());
  EXPECT_EQ(FirstValue(*client, "SELECT @@character_set_client"), "utf8mb4");

  const std::vector<std::string> values = {"it's",
                                           "back\\slash",
                                           "' OR '1'='1",
                                           "\\'; DROP TABLE x; --",
                                           std::string("nul\0byte", 8),
                                           "line\nfeed\r\x1a \"double\"",
                                           "caf\xc3\xa9 \xf0\x9f\x8f\x86"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    MustRun(*client, "INSERT INTO " + table + " VALUES(" + std::to_string(i) +
                         ", '" + client->EscapeString(values[i]) + "')");
  }
  auto sets =
      MustRun(*client, "SELECT id, value FROM " + table + " ORDER BY id");
  ASSERT_TRUE(sets->SeekNextResultSet());
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_TRUE(sets->SeekNextRow());
    EXPECT_EQ(sets->GetString(1), values[i]) << "value " << i;
  }
  EXPECT_FALSE(sets->SeekNextRow());

  auto latin1 = MakeClient(plemox_test::MysqlUrl(), 1, "latin1");
  ASSERT_TRUE(latin1->Initialize());
  EXPECT_EQ(FirstValue(*latin1, "SELECT @@character_set_client"), "latin1");
}

TEST_F(MariadbTest, UnixSocketUrlConnects) {
  auto client = MakeClient(plemox_test::MysqlSocket(), 1);
  ASSERT_TRUE(client->Initialize());
  EXPECT_EQ(FirstValue(*client, "SELECT 40 + 2"), "42");
}

TEST_F(MariadbTest, ManyConcurrentQueriesCompleteExactlyOnceOverThePool) {
  constexpr std::size_t kConnections = 4;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  auto client = MakeClient(plemox_test::MysqlUrl(), kConnections);
  ASSERT_TRUE(client->Initialize());

  std::mutex mutex;
  std::map<int, int> calls;              // GUARDED_BY(mutex)
  std::set<std::string> connection_ids;  // GUARDED_BY(mutex)
  int failures = 0;                      // GUARDED_BY(mutex)
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int n = t * kPerThread + i;
        client->ExecuteQuery(
            "SELECT " + std::to_string(n) + ", CONNECTION_ID()",
            [&, n](const std::shared_ptr<ResultSets>& sets,
                   const Mariadb::Error& error) {
              std::lock_guard<std::mutex> lock(mutex);
              ++calls[n];
              if (error || !sets->SeekNextResultSet() || !sets->SeekNextRow() ||
                  sets->GetInt(0, -1) != n) {
                ++failures;
                return;
              }
              connection_ids.insert(sets->GetString(1));
            });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size() == kThreads * kPerThread;
      },
      seconds(30)));
  // Give a duplicate completion a chance to show up before counting.
  MustRun(*client, "SELECT 1");
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(failures, 0);
  for (const auto& [n, count] : calls) EXPECT_EQ(count, 1) << "statement " << n;
  EXPECT_EQ(connection_ids.size(), kConnections);
}

// Writes of one row with one order key land in the order they were queued,
// even while other work keeps some connections busy, and all of them run on
// one connection; other keys spread over the pool.
TEST_F(MariadbTest, StatementsWithOneOrderKeyRunInQueueOrder) {
  const std::string table =
      CreateTable("ordered", "id INT PRIMARY KEY, v INT, connection BIGINT");
  constexpr std::size_t kConnections = 4;
  constexpr int kWrites = 200;
  auto client = MakeClient(plemox_test::MysqlUrl(), kConnections);
  ASSERT_TRUE(client->Initialize());

  std::mutex mutex;
  std::vector<int> completed;  // GUARDED_BY(mutex)
  for (int i = 1; i <= kWrites; ++i) {
    if (i % 20 == 0) {
      // Unordered slow work, which makes the least busy connection change.
      client->ExecuteQuery("SELECT SLEEP(0.02)", nullptr);
    }
    client->ExecuteQueryInOrder(
        7,
        "INSERT INTO " + table + " VALUES(1, " + std::to_string(i) +
            ", CONNECTION_ID()) ON DUPLICATE KEY UPDATE v = VALUES(v), "
            "connection = VALUES(connection)",
        [&, i](const std::shared_ptr<ResultSets>&, const Mariadb::Error& e) {
          EXPECT_FALSE(e) << e;
          std::lock_guard<std::mutex> lock(mutex);
          completed.push_back(i);
        });
  }
  for (int key = 0; key < 8; ++key) {
    client->ExecuteQueryInOrder(key,
                                "INSERT INTO " + table + " VALUES(" +
                                    std::to_string(100 + key) +
                                    ", 0, CONNECTION_ID())",
                                nullptr);
  }
  client->Finalize();

  std::vector<int> expected(kWrites);
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(completed, expected);
  EXPECT_EQ(FirstValue(*admin_, "SELECT v FROM " + table + " WHERE id = 1"),
            std::to_string(kWrites));
  // Keys 0 to 7 over 4 connections: every connection got two of them, and
  // key 7 shares its connection with key 3.
  EXPECT_EQ(FirstValue(*admin_, "SELECT COUNT(DISTINCT connection) FROM " +
                                    table + " WHERE id >= 100"),
            std::to_string(kConnections));
  EXPECT_EQ(FirstValue(*admin_, "SELECT COUNT(DISTINCT connection) FROM " +
                                    table + " WHERE id IN (1, 103, 107)"),
            "1");
}

TEST_F(MariadbTest, SyncQueryFromACallbackRunsOnThatConnection) {
  auto client = MakeClient(plemox_test::MysqlUrl(), 1);
  ASSERT_TRUE(client->Initialize());
  std::atomic<int> inner{-1};
  client->ExecuteQuery("SELECT 1", [&](const std::shared_ptr<ResultSets>&,
                                       const Mariadb::Error&) {
    std::shared_ptr<ResultSets> sets;
    if (!client->ExecuteQuerySync("SELECT 5", &sets) &&
        sets->SeekNextResultSet() && sets->SeekNextRow()) {
      inner = static_cast<int>(sets->GetInt(0));
    } else {
      inner = 0;
    }
  });
  ASSERT_TRUE(WaitFor([&] { return inner != -1; }));
  EXPECT_EQ(inner, 5);
}

TEST_F(MariadbTest, FinalizeWithoutDrainFailsQueuedWorkOnceEach) {
  auto client = MakeClient(plemox_test::MysqlUrl(), 1);
  ASSERT_TRUE(client->Initialize());
  constexpr int kQueued = 20;
  std::mutex mutex;
  std::vector<int> calls(kQueued + 1, 0);  // GUARDED_BY(mutex)
  int not_running = 0;                     // GUARDED_BY(mutex)
  auto record = [&](int i) {
    return [&, i](const std::shared_ptr<ResultSets>& sets,
                  const Mariadb::Error& error) {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_NE(sets, nullptr);
      ++calls[i];
      if (error.code == Mariadb::kClientNotRunningError)
        ++not_running;
      else
        EXPECT_FALSE(error) << error;
    };
  };
  client->ExecuteQuery("SELECT SLEEP(0.3)", record(0));
  for (int i = 1; i <= kQueued; ++i)
    client->ExecuteQuery("SELECT 1", record(i));
  client->Finalize(0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i <= kQueued; ++i) EXPECT_EQ(calls[i], 1) << i;
    // At most the statement already running completed normally.
    EXPECT_GE(not_running, kQueued);
  }
  // After Finalize, statements fail at once on the calling thread.
  bool refused = false;
  client->ExecuteQuery("SELECT 1", [&](const std::shared_ptr<ResultSets>&,
                                       const Mariadb::Error& error) {
    refused = error.code == Mariadb::kClientNotRunningError;
  });
  EXPECT_TRUE(refused);
  EXPECT_FALSE(client->Initialize());
}

TEST_F(MariadbTest, FinalizeLetsQueuedWritesFinish) {
  const std::string table = CreateTable("drain", "id INT PRIMARY KEY");
  auto client = MakeClient(plemox_test::MysqlUrl(), 2);
  ASSERT_TRUE(client->Initialize());
  constexpr int kWrites = 40;
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kWrites; ++i) {
    client->ExecuteQuery(
        "INSERT INTO " + table + " VALUES(" + std::to_string(i) + ")",
        [&](const std::shared_ptr<ResultSets>&, const Mariadb::Error& error) {
          if (!error) ++succeeded;
        });
  }
  client->Finalize();  // the default drain time
  EXPECT_EQ(succeeded, kWrites);
  EXPECT_EQ(FirstValue(*admin_, "SELECT COUNT(*) FROM " + table),
            std::to_string(kWrites));
}

// Runs a deadlock in which `client`'s transaction is the victim: it holds
// row 2 and waits for row 1, which a heavier transaction holds and which
// then asks for row 2. Returns the victim's error.
Mariadb::Error RunDeadlock(Mariadb& admin, Mariadb& client,
                           const std::string& table) {
  auto holder = MakeClient(plemox_test::MysqlUrl(), 1);
  EXPECT_TRUE(holder->Initialize());
  // Many changed rows make the holder the heavier transaction, so InnoDB
  // rolls back the client's.
  // Point and range updates on the key lock just those rows, not row 2.
  MustRun(*holder, "START TRANSACTION; UPDATE " + table +
                       " SET v = v + 1 WHERE id = 1; UPDATE " + table +
                       " SET v = v + 1 WHERE id BETWEEN 10 AND 60");
  Completion victim;
  client.ExecuteQuery("START TRANSACTION; UPDATE " + table +
                          " SET v = v + 10 WHERE id = 2; UPDATE " + table +
                          " SET v = v + 10 WHERE id = 1; COMMIT",
                      victim.Callback());
  // The victim's second UPDATE waits for the holder's row 1: wait until it
  // runs. The process list, not INNODB_TRX: InnoDB refreshes that only
  // after 100 ms without readers, which two such tests polling at once
  // never leave it (both then timed out). Either order of the victim's
  // wait and the holder's next update ends in the same deadlock.
  EXPECT_TRUE(WaitFor([&] {
    return FirstValue(admin,
                      "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                      "WHERE INFO LIKE 'UPDATE " +
                          table + " SET v = v + 10 WHERE id = 1%'") == "1";
  }));
  Completion closing;
  holder->ExecuteQuery("UPDATE " + table + " SET v = v + 1 WHERE id = 2",
                       closing.Callback());
  EXPECT_TRUE(WaitFor([&] { return closing.Done(); }));
  EXPECT_FALSE(closing.error) << closing.error;
  MustRun(*holder, "COMMIT");
  EXPECT_TRUE(WaitFor([&] { return victim.Done(); }));
  std::lock_guard<std::mutex> lock(victim.mutex);
  EXPECT_EQ(victim.calls, 1);
  return victim.error;
}

TEST_F(MariadbTest, DeadlockVictimIsRetriedWhenAutoRetryIsOn) {
  const std::string table =
      CreateTable("deadlock", "id INT PRIMARY KEY, v INT");
  MustRun(*admin_, "INSERT INTO " + table + " SELECT seq, 0 FROM seq_1_to_60");
  auto client = MakeClient(plemox_test::MysqlUrl(), 1, "utf8mb4", true);
  ASSERT_TRUE(client->Initialize());
  const Mariadb::Error error = RunDeadlock(*admin_, *client, table);
  EXPECT_FALSE(error) << error;
  // The retried transaction ran once, after the holder committed.
  EXPECT_EQ(FirstValue(*admin_, "SELECT GROUP_CONCAT(v ORDER BY id) FROM " +
                                    table + " WHERE id IN (1, 2)"),
            "11,11");
}

TEST_F(MariadbTest, DeadlockIsReportedWhenAutoRetryIsOff) {
  const std::string table =
      CreateTable("deadlock_off", "id INT PRIMARY KEY, v INT");
  MustRun(*admin_, "INSERT INTO " + table + " SELECT seq, 0 FROM seq_1_to_60");
  auto client = MakeClient(plemox_test::MysqlUrl(), 1, "utf8mb4", false);
  ASSERT_TRUE(client->Initialize());
  const Mariadb::Error error = RunDeadlock(*admin_, *client, table);
  EXPECT_EQ(error.code, 1213u);
  EXPECT_EQ(error.sql_state, "40001");
  EXPECT_EQ(FirstValue(*admin_, "SELECT GROUP_CONCAT(v ORDER BY id) FROM " +
                                    table + " WHERE id IN (1, 2)"),
            "1,1");
}

TEST_F(MariadbTest, SlowStatementsAreLoggedAsWarnings) {
  plemox_test::LogCapture log;
  auto client = MakeClient(plemox_test::MysqlUrl(), 1, "utf8mb4", true, 50);
  ASSERT_TRUE(client->Initialize());
  MustRun(*client, "SELECT SLEEP(0.3) AS vel_mariadb_test_slow");
  EXPECT_THAT(
      log.Lines("Slow query"),
      testing::Contains(testing::Pair(
          google::GLOG_WARNING, testing::HasSubstr("vel_mariadb_test_slow"))));
}

// --- Failures and recovery. ---

TEST_F(MariadbTest, QueryCutWhileRunningFailsThenTheClientReconnects) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  FailureLog failures;
  auto client =
      MakeClient(proxy.url(), 1, "utf8mb4", true, 0, failures.Handler());
  ASSERT_TRUE(client->Initialize());
  EXPECT_EQ(FirstValue(*client, "SELECT 1"), "1");

  Completion running;
  client->ExecuteQuery("SELECT SLEEP(3) AS vel_mariadb_test_cut_marker",
                       running.Callback());
  ASSERT_TRUE(WaitFor([&] {
    return FirstValue(*admin_,
                      "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                      "WHERE INFO LIKE 'SELECT SLEEP(3) AS vel_mariadb_test_"
                      "cut_marker%'") == "1";
  }));
  proxy.CutAll();
  ASSERT_TRUE(WaitFor([&] { return running.Done(); }));
  {
    std::lock_guard<std::mutex> lock(running.mutex);
    EXPECT_TRUE(IsConnectionError(running.error.code)) << running.error;
  }
  EXPECT_GE(failures.size(), 1u);
  // A sent statement is never re-sent: it may have run.
  EXPECT_EQ(proxy.accepted_count(), 1u);

  EXPECT_EQ(FirstValue(*client, "SELECT 2"), "2");
  EXPECT_EQ(proxy.accepted_count(), 2u);
}

TEST_F(MariadbTest, ConnectionCutWhileIdleIsReplacedBeforeTheNextStatement) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  FailureLog failures;
  auto client =
      MakeClient(proxy.url(), 2, "utf8mb4", true, 0, failures.Handler());
  ASSERT_TRUE(client->Initialize());
  EXPECT_EQ(proxy.accepted_count(), 2u);
  proxy.CutAll();
  ASSERT_TRUE(WaitFor([&] { return proxy.open_count() == 0; }));
  // Both connections notice the closed socket before sending anything.
  for (int i = 0; i < 6; ++i) {
    const Mariadb::Error error = client->ExecuteQuerySync("SELECT 1");
    EXPECT_FALSE(error) << error;
  }
  EXPECT_GE(failures.size(), 1u);
  EXPECT_GE(proxy.accepted_count(), 3u);
}

TEST_F(MariadbTest, RefusedServerFailsFastAndRecoversWhenBack) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  FailureLog failures;
  auto client =
      MakeClient(proxy.url(), 1, "utf8mb4", true, 0, failures.Handler());
  ASSERT_TRUE(client->Initialize());
  proxy.StopListening();
  proxy.CutAll();

  for (int i = 0; i < 3; ++i) {
    Completion failed;
    client->ExecuteQuery("SELECT 1", failed.Callback());
    ASSERT_TRUE(WaitFor([&] { return failed.Done(); }));
    std::lock_guard<std::mutex> lock(failed.mutex);
    EXPECT_TRUE(IsConnectionError(failed.error.code)) << failed.error;
  }
  EXPECT_GE(failures.size(), 2u);  // the loss and a failed reconnect

  proxy.StartListening();
  EXPECT_TRUE(WaitFor([&] { return !client->ExecuteQuerySync("SELECT 1"); },
                      seconds(20)));
}

TEST_F(MariadbTest, StalledServerHitsTheReadTimeoutInsteadOfHanging) {
  plemox_test::TcpFaultProxy proxy(plemox_test::MysqlHost(),
                                   plemox_test::MysqlPort());
  auto client = MakeClient(proxy.url(), 1);
  ASSERT_TRUE(client->SetTimeouts(Mariadb::Timeouts{2, 1, 1}));
  ASSERT_TRUE(client->Initialize());
  EXPECT_FALSE(client->SetTimeouts(Mariadb::Timeouts{}));
  proxy.SetStalled(true);
  Completion stalled;
  client->ExecuteQuery("SELECT 1", stalled.Callback());
  ASSERT_TRUE(WaitFor([&] { return stalled.Done(); }, seconds(20)));
  {
    std::lock_guard<std::mutex> lock(stalled.mutex);
    EXPECT_TRUE(IsConnectionError(stalled.error.code)) << stalled.error;
  }
  proxy.SetStalled(false);
  EXPECT_TRUE(WaitFor([&] { return !client->ExecuteQuerySync("SELECT 1"); },
                      seconds(20)));
}

TEST_F(MariadbTest, InitializeFailsWhenNoConnectionCanBeOpened) {
  FailureLog failures;
  auto nobody =
      MakeClient("127.0.0.1:" + std::to_string(plemox_test::FreePort()), 2,
                 "utf8mb4", true, 0, failures.Handler());
  EXPECT_FALSE(nobody->Initialize());
  EXPECT_EQ(failures.size(), 2u);
  {
    std::lock_guard<std::mutex> lock(failures.mutex);
    for (unsigned code : failures.codes) EXPECT_TRUE(IsConnectionError(code));
  }
  Completion refused;
  nobody->ExecuteQuery("SELECT 1", refused.Callback());
  EXPECT_EQ(refused.error.code, Mariadb::kClientNotRunningError);

  auto wrong_password = Mariadb::Create(
      plemox_test::MysqlUrl(), plemox_test::MysqlUser(), "not-the-password",
      plemox_test::MysqlDatabase(), 1, "utf8mb4", true,
      Mariadb::kDefaultClientFlags, 0, nullptr);
  EXPECT_FALSE(wrong_password->Initialize());

  auto bad_charset = MakeClient(plemox_test::MysqlUrl(), 1, "no_such_charset");
  EXPECT_FALSE(bad_charset->Initialize());
}

}  // namespace
