// Faults under load: the real host with a Redis of its own that is paused,
// killed and restarted, a database path that is cut, and SIGTERM. Whatever
// happens, the host lives on (or exits 0 after SIGTERM), every request ends
// exactly once with an answer, and every score answered as a new record is in
// its table with that score. MariaDB is reached through a TcpFaultProxy so
// the shared server keeps running for the other tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/private_redis.h"
#include "support/store_probe.h"
#include "support/tcp_fault_proxy.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::ScoreSubmission;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;

std::string FaultPrefix() { return "e2eflt" + std::to_string(getpid()) + "_"; }

// Closed-loop submissions over a few connections: each connection keeps
// `in_flight` submissions outstanding. Scores grow with every request, so a
// player's best new record is also its latest.
class SubmissionLoad {
 public:
  static constexpr int kPlayers = 40;

  SubmissionLoad(int port, std::string leaderboard_id, int connections = 4,
                 int in_flight = 8)
      : leaderboard_id_(std::move(leaderboard_id)), in_flight_(in_flight) {
    for (int i = 0; i < connections; ++i) {
      auto client = std::make_unique<LeaderboardClient>();
      EXPECT_TRUE(client->Connect("127.0.0.1", port)) << client->LastError();
      EXPECT_TRUE(client->Authenticate("fault-test").ok());
      clients_.push_back(std::move(client));
    }
  }

  ~SubmissionLoad() { Finish(); }

  void Start() {
    for (auto& client : clients_) {
      for (int i = 0; i < in_flight_; ++i) SendNext(client.get());
    }
  }

  // Sends no more and waits until every request has ended.
  void Finish() {
    stopping_ = true;
    EXPECT_TRUE(
        WaitFor([&] { return ended_ == sent_; }, std::chrono::seconds(60)))
        << "requests still unanswered: " << sent_ - ended_;
  }

  // Waits until `count` more requests have ended than when called.
  bool WaitForMoreEnded(std::uint64_t count) {
    const std::uint64_t target = ended_ + count;
    return WaitFor([&] { return ended_ >= target; }, std::chrono::seconds(30));
  }
  // Waits until `count` more failure answers have come than when called.
  bool WaitForMoreFailures(std::uint64_t count) {
    const std::uint64_t target = failures_ + count;
    return WaitFor([&] { return failures_ >= target; },
                   std::chrono::seconds(30));
  }

  std::uint64_t sent() const { return sent_; }
  std::uint64_t successes() const { return successes_; }
  std::uint64_t failures() const { return failures_; }
  // Requests that ended without an answer, or ended twice.
  std::uint64_t unanswered() const { return unanswered_; }
  std::uint64_t ended_twice() const { return ended_twice_; }
  std::uint64_t dropped_answers() const {
    std::uint64_t dropped = 0;
    for (const auto& client : clients_)
      dropped += client->dropped_answer_count();
    return dropped;
  }
  // "guest:<player>" -> the best score answered kNewRecord.
  std::map<std::string, double> BestNewRecords() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return best_;
  }

 private:
  void SendNext(LeaderboardClient* client) {
    if (stopping_) return;
    const std::uint64_t sequence = ++sent_;
    const std::string player = "p" + std::to_string(sequence % kPlayers);
    const double score = static_cast<double>(sequence);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    client->SubmitScoreAsync(
        leaderboard_id_, QueryBuilder::Account("guest", player), score,
        ScoreSubmission::kHighScore, std::nullopt,
        [this, client, player, score, ended](LeaderboardClient::Result result) {
          if (ended->exchange(true)) {
            ++ended_twice_;
            return;
          }
          if (!result.answered()) {
            ++unanswered_;
          } else if (result.response.has_fail()) {
            ++failures_;
          } else {
            ++successes_;
            if (result.response.score_submission().result() ==
                ScoreSubmission::Response::kNewRecord) {
              std::lock_guard<std::mutex> lock(mutex_);
              double& best = best_["guest:" + player];
              best = std::max(best, score);
            }
          }
          ++ended_;
          SendNext(client);
        },
        std::chrono::seconds(30));
  }

  const std::string leaderboard_id_;
  const int in_flight_;
  std::vector<std::unique_ptr<LeaderboardClient>> clients_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> ended_{0};
  std::atomic<std::uint64_t> successes_{0};
  std::atomic<std::uint64_t> failures_{0};
  std::atomic<std::uint64_t> unanswered_{0};
  std::atomic<std::uint64_t> ended_twice_{0};
  mutable std::mutex mutex_;
  std::map<std::string, double> best_;  // GUARDED_BY(mutex_)
};

// How often `text` stands in `log`.
std::size_t CountInLog(const std::string& log, const std::string& text) {
  std::size_t n = 0;
  for (auto at = log.find(text); at != std::string::npos;
       at = log.find(text, at + 1)) {
    ++n;
  }
  return n;
}

class FaultTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    // Ids are at most 48 characters: the test name's first 16 do.
    id_ = FaultPrefix() + std::string(info->name()).substr(0, 16);
    std::transform(id_.begin(), id_.end(), id_.begin(),
                   [](unsigned char c) { return std::tolower(c); });
  }
  void TearDown() override { probe_.DropTables(FaultPrefix()); }

  // A host on `redis` (and the database through `mysql_url` when set).
  std::unique_ptr<HostProcess> StartHost(
      const PrivateRedis& redis, const std::string& mysql_url = "",
      const std::vector<std::string>& extra_flags = {}) {
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + id_ + "\"]");
    options.flags = {redis.HostFlag(), "--redis_timeout_ms=500",
                     "--leaderboard_use_db_stored_procedure=false",
                     "--force_flush_interval_in_msec=200"};
    if (!mysql_url.empty()) {
      options.flags.push_back("--mysql_server_url=" + mysql_url);
    }
    options.flags.insert(options.flags.end(), extra_flags.begin(),
                         extra_flags.end());
    auto host = std::make_unique<HostProcess>(options);
    EXPECT_TRUE(host->Start());
    EXPECT_TRUE(host->WaitForPort(host->tcp_port())) << host->Log();
    return host;
  }

  // The host still answers a fresh client at once.
  void ExpectAlive(HostProcess& host) {
    ASSERT_EQ(kill(host.pid(), 0), 0) << "the host died:\n" << host.Log();
    LeaderboardClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", host.tcp_port()))
        << client.LastError();
    const auto result =
        client.Authenticate("fault-test", std::chrono::seconds(5));
    EXPECT_TRUE(result.ok()) << result.error;
  }

  // Every request ended once, with an answer.
  static void ExpectEveryRequestAnsweredOnce(const SubmissionLoad& load) {
    EXPECT_EQ(load.unanswered(), 0u);
    EXPECT_EQ(load.ended_twice(), 0u);
    EXPECT_EQ(load.dropped_answers(), 0u);
    EXPECT_EQ(load.successes() + load.failures(), load.sent());
  }

  // Empty once the all-time table holds every player answered kNewRecord
  // with its best such score; otherwise the first difference. With
  // `later_allowed`, a better score is right too: a later record whose
  // answer was lost with the connection.
  std::string MissingRecords(const SubmissionLoad& load,
                             bool later_allowed = false) {
    const auto rows = probe_.ScoreRows(id_ + "_alltime");
    if (!rows) return "no table " + id_ + "_alltime";
    for (const auto& [player, score] : load.BestNewRecords()) {
      const auto row = rows->find(player);
      if (row == rows->end()) return "no row for " + player;
      const double stored = -row->second.first;
      if (later_allowed ? stored < score : stored != score) {
        return player + " has " + std::to_string(-row->second.first) +
               ", answered " + std::to_string(score);
      }
    }
    return "";
  }

  void ExpectRecordsStored(const SubmissionLoad& load) {
    EXPECT_FALSE(load.BestNewRecords().empty());
    std::string missing;
    EXPECT_TRUE(WaitFor(
        [&] {
          missing = MissingRecords(load);
          return missing.empty();
        },
        std::chrono::seconds(30)))
        << missing;
  }

  // Starts `load`, then freezes the database path once `before` requests
  // ended (its traffic held back, as a SIGSTOPped server's) and lets
  // `after` more end: their writes are kept in memory now.
  static void LoadThenFreezeDatabase(SubmissionLoad& load, TcpFaultProxy& proxy,
                                     std::uint64_t before,
                                     std::uint64_t after) {
    load.Start();
    ASSERT_TRUE(load.WaitForMoreEnded(before));
    proxy.SetStalled(true);
    // Answers do not wait for the database.
    ASSERT_TRUE(load.WaitForMoreEnded(after));
  }

  // Waits until the all-time table holds, for every player of the all-time
  // ranking in `redis`, exactly the score Redis holds.
  void ExpectDatabaseAgreesWithRedis(const PrivateRedis& redis,
                                     std::chrono::seconds limit) {
    StoreProbe private_probe(redis.port());
    const auto ranking =
        private_probe.SortedSet("leaderboard:" + id_ + ":alltime");
    EXPECT_FALSE(ranking.empty());
    std::string difference;
    EXPECT_TRUE(WaitFor(
        [&] {
          const auto rows = probe_.ScoreRows(id_ + "_alltime");
          if (!rows) return false;
          for (const auto& [member, score] : ranking) {
            // "inverted time:local account:service provider"
            const std::size_t first = member.find(':');
            const std::size_t second = member.find(':', first + 1);
            const std::string key =
                member.substr(second + 1) + ":" +
                member.substr(first + 1, second - first - 1);
            const auto row = rows->find(key);
            if (row == rows->end() || row->second.first != -score) {
              difference =
                  key + " has " + std::to_string(score) + " in Redis, " +
                  (row == rows->end() ? std::string("no row")
                                      : std::to_string(-row->second.first)) +
                  " in the database";
              return false;
            }
          }
          return true;
        },
        limit))
        << difference;
  }

  std::string id_;
  StoreProbe probe_;
};

TEST_F(FaultTest, RedisPausedAndContinuedUnderLoad) {
  PrivateRedis redis;
  auto host = StartHost(redis);
  SubmissionLoad load(host->tcp_port(), id_);
  load.Start();
  ASSERT_TRUE(load.WaitForMoreEnded(200));
  const std::uint64_t failures_before = load.failures();
  redis.Pause();
  // Commands time out after 500 ms. A submission whose command may have run
  // waits for Redis to tell what it kept ("reading it back"); others fail.
  const bool hit = WaitFor(
      [&] {
        return load.failures() >= failures_before + 20 ||
               CountInLog(host->Log(), "reading it back") >= 4;
      },
      std::chrono::seconds(30));
  redis.Resume();
  ASSERT_TRUE(hit);
  ASSERT_TRUE(load.WaitForMoreEnded(200));
  load.Finish();

  ExpectAlive(*host);
  ExpectEveryRequestAnsweredOnce(load);
  ExpectRecordsStored(load);
  // For the log: how many submissions the pause left uncertain (it varies
  // with the timing) and what reading them back found.
  const std::string log = host->Log();
  const auto count = [&log](const std::string& text) {
    return CountInLog(log, text);
  };
  std::cout << "sent " << load.sent() << ", failed " << load.failures()
            << ", uncertain " << count("reading it back") << ", found stored "
            << count("Uncertain score found stored") << ", found not stored "
            << count("Uncertain score found not stored") << ", unknown "
            << count("outcome is UNKNOWN") << std::endl;
  // Redis and the database agree on every player: no score stayed in Redis
  // that the database lacks after an answer of failure.
  ExpectDatabaseAgreesWithRedis(redis, std::chrono::seconds(30));
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
}

TEST_F(FaultTest, RedisKilledAndRestartedUnderLoad) {
  PrivateRedis redis;
  auto host = StartHost(redis);
  SubmissionLoad load(host->tcp_port(), id_);
  load.Start();
  ASSERT_TRUE(load.WaitForMoreEnded(200));
  redis.Kill();
  const bool failed = load.WaitForMoreFailures(50);
  redis.Restart();
  ASSERT_TRUE(failed);
  // Submissions succeed again once the fresh Redis answers.
  const std::uint64_t before = load.successes();
  EXPECT_TRUE(WaitFor([&] { return load.successes() >= before + 100; },
                      std::chrono::seconds(30)));
  load.Finish();

  ExpectAlive(*host);
  ExpectEveryRequestAnsweredOnce(load);
  ExpectRecordsStored(load);
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
}

TEST_F(FaultTest, DatabaseCutAndRestoredUnderLoad) {
  PrivateRedis redis;
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  auto host = StartHost(redis, proxy.url());
  SubmissionLoad load(host->tcp_port(), id_);
  load.Start();
  ASSERT_TRUE(load.WaitForMoreEnded(200));
  proxy.SetClosingNewConnections(true);
  proxy.CutAll();
  // Answers do not wait for the database: the load goes on meanwhile.
  const bool went_on = load.WaitForMoreEnded(1000);
  proxy.SetClosingNewConnections(false);
  ASSERT_TRUE(went_on);
  ASSERT_TRUE(load.WaitForMoreEnded(200));
  load.Finish();

  ExpectAlive(*host);
  ExpectEveryRequestAnsweredOnce(load);
  EXPECT_EQ(load.failures(), 0u);
  ExpectRecordsStored(load);
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
}

TEST_F(FaultTest, SigtermUnderLoad) {
  PrivateRedis redis;
  auto host = StartHost(redis);
  SubmissionLoad load(host->tcp_port(), id_);
  load.Start();
  ASSERT_TRUE(load.WaitForMoreEnded(300));
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
  load.Finish();
  // Requests cut by the shutdown end once, as disconnected; none twice.
  EXPECT_EQ(load.ended_twice(), 0u);
  EXPECT_EQ(load.dropped_answers(), 0u);
  EXPECT_GT(load.successes(), 0u);
  // Every write the host answered for reached its table before it exited
  // (answers in flight at the cut are lost with the connection, their
  // records are not).
  const std::string missing = MissingRecords(load, true);
  EXPECT_EQ(missing, "");
}

TEST_F(FaultTest, AWriteLostInFlightIsAnsweredByWhatRedisKept) {
  PrivateRedis redis;
  auto host = StartHost(redis);
  StoreProbe private_probe(redis.port());
  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", host->tcp_port()));
  ASSERT_TRUE(client.Authenticate("fault-test").ok());
  const auto account = QueryBuilder::Account("guest", "inflight");

  // Reads pass, writes wait: the submission's first write times out with
  // the command sent, so its outcome is uncertain until read back.
  private_probe.RedisCall({"CLIENT", "PAUSE", "20000", "WRITE"});
  auto result =
      client.SubmitScore(id_, account, 42, ScoreSubmission::kHighScore,
                         std::nullopt, std::chrono::seconds(30));
  private_probe.RedisCall({"CLIENT", "UNPAUSE"});
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_TRUE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.fail().code(), Leaderboard::Response::kFailUnknown);
  EXPECT_TRUE(host->WaitForLog("reading it back"));
  EXPECT_TRUE(host->WaitForLog("Uncertain score found not stored"));
  // The answer says what Redis holds: nothing.
  EXPECT_TRUE(
      private_probe.Hash("leaderboard:" + id_ + ":daily:timestamp").empty());

  // So the same score again is a new record, and it reaches the table.
  result = client.SubmitScore(id_, account, 42, ScoreSubmission::kHighScore);
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.score_submission().result(),
            ScoreSubmission::Response::kNewRecord);
  EXPECT_TRUE(WaitFor([&] {
    const auto rows = probe_.ScoreRows(id_ + "_alltime");
    return rows && rows->count("guest:inflight") == 1 &&
           rows->at("guest:inflight").first == -42;
  }));
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
}

TEST_F(FaultTest, APartlyStoredSubmissionIsAnsweredByWhatWasStored) {
  PrivateRedis redis;
  // Only the command chain can store a submission in part: the submission
  // script checks every key before it writes (FailedSubmissionWritesNothing).
  auto host = StartHost(redis, "", {"--redis_cache_use_scripts=false"});
  StoreProbe private_probe(redis.port());
  // Redis refuses every command on the weekly index: the daily ranking
  // takes the score, the weekly one fails.
  private_probe.SetString("leaderboard:" + id_ + ":weekly:timestamp", "x");
  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", host->tcp_port()));
  ASSERT_TRUE(client.Authenticate("fault-test").ok());
  const auto result =
      client.SubmitScore(id_, QueryBuilder::Account("guest", "partial"), 31,
                         ScoreSubmission::kHighScore);
  ASSERT_TRUE(result.answered()) << result.error;
  ASSERT_FALSE(result.response.has_fail()) << result.response.DebugString();
  EXPECT_EQ(result.response.score_submission().result(),
            ScoreSubmission::Response::kNewRecordDaily);
  EXPECT_EQ(result.response.score_submission().score(), 31);
  // The database gets what Redis kept, and nothing else.
  EXPECT_TRUE(WaitFor([&] {
    const auto rows = probe_.ScoreRows(id_ + "_daily");
    return rows && rows->count("guest:partial") == 1 &&
           rows->at("guest:partial").first == -31;
  })) << host->Log();
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
  for (const char* timespan : {"_weekly", "_alltime"}) {
    const auto rows = probe_.ScoreRows(id_ + timespan);
    EXPECT_TRUE(!rows || rows->count("guest:partial") == 0) << timespan;
  }
}

// The database frozen (its traffic held back, as a SIGSTOPped server's),
// then SIGTERM under load: the host hands what it could not write over to
// Redis within its drain time and exits 0; a second host on the same Redis
// replays it once the database answers again, so every record the first
// host acknowledged reaches the table. With and without the bulk queue.
class DatabaseFrozenAtShutdownTest : public FaultTest,
                                     public testing::WithParamInterface<bool> {
};

TEST_P(DatabaseFrozenAtShutdownTest, WritesAreHandedOverAndReplayed) {
  PrivateRedis redis;
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  const std::string bulk = std::string("--leaderboard_use_db_bulk_insert=") +
                           (GetParam() ? "true" : "false");
  auto first = StartHost(redis, proxy.url(),
                         {bulk, "--mysql_db_shutdown_drain_ms=1000"});
  {
    SubmissionLoad load(first->tcp_port(), id_);
    LoadThenFreezeDatabase(load, proxy, 200, 800);
    const auto stopped_at = std::chrono::steady_clock::now();
    EXPECT_EQ(ExitCode(first->Stop(SIGTERM)), 0) << first->Log();
    // The drain time and the handover, not the read timeout of a hung
    // server (generous: sanitizers and a busy machine).
    EXPECT_LT(std::chrono::steady_clock::now() - stopped_at,
              std::chrono::seconds(15));
    load.Finish();
    EXPECT_GT(load.successes(), 0u);
  }
  const std::string log = first->Log();
  EXPECT_NE(log.find("handed over"), std::string::npos) << log;
  EXPECT_EQ(CountInLog(log, "are lost"), 0u) << log;
  proxy.SetStalled(false);

  auto second = StartHost(redis, "", {bulk});
  ExpectDatabaseAgreesWithRedis(redis, std::chrono::seconds(60));
  EXPECT_TRUE(
      second->WaitForLog("replaying the writes of a server that "
                         "stopped"));
  StoreProbe private_probe(redis.port());
  EXPECT_TRUE(WaitFor([&] {
    return private_probe
        .RedisCall({"SMEMBERS", "leaderboard:{db_backlog}:origins"})
        .empty();
  }));
  EXPECT_EQ(ExitCode(second->Stop(SIGTERM)), 0) << second->Log();
}

INSTANTIATE_TEST_SUITE_P(BulkQueue, DatabaseFrozenAtShutdownTest,
                         testing::Bool());

// Writes past the pending write limit go to Redis instead of being dropped,
// and the host replays them itself once the database answers, after the
// older writes it kept in memory.
TEST_F(FaultTest, WritesPastThePendingLimitAreHandedOverNotDropped) {
  PrivateRedis redis;
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  auto host =
      StartHost(redis, proxy.url(), {"--mysql_db_pending_write_limit=20"});
  SubmissionLoad load(host->tcp_port(), id_);
  LoadThenFreezeDatabase(load, proxy, 200, 1000);
  EXPECT_TRUE(host->WaitForLog("MariaDB write handed over"));
  // Operators see it: /readyz names the backlog (without failing on it),
  // /metrics counts it.
  EXPECT_TRUE(WaitFor([&] {
    const std::string body =
        HttpRequest(host->api_port(), "GET", "/readyz").body;
    return body.find("database writes handed over to Redis wait") !=
           std::string::npos;
  }));
  const std::string metrics =
      HttpRequest(host->api_port(), "GET", "/metrics").body;
  EXPECT_NE(metrics.find("outcome=\"handed_over\",path=\"single\"} "),
            std::string::npos)
      << metrics;
  EXPECT_EQ(metrics.find("plemox_database_backlog_entries 0"),
            std::string::npos);
  proxy.SetStalled(false);
  ASSERT_TRUE(load.WaitForMoreEnded(200));
  load.Finish();

  ExpectEveryRequestAnsweredOnce(load);
  EXPECT_EQ(load.failures(), 0u);
  ExpectDatabaseAgreesWithRedis(redis, std::chrono::seconds(60));
  const std::string log = host->Log();
  EXPECT_EQ(CountInLog(log, "MariaDB write DROPPED"), 0u);
  EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 0) << host->Log();
}

// Redis away too when the host stops during a database outage: the host
// still exits 0 in bounded time, and says how many writes are lost.
TEST_F(FaultTest, AHandoverThatRedisRefusesIsCountedAsLost) {
  PrivateRedis redis;
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  auto host =
      StartHost(redis, proxy.url(), {"--mysql_db_shutdown_drain_ms=500"});
  {
    SubmissionLoad load(host->tcp_port(), id_);
    LoadThenFreezeDatabase(load, proxy, 100, 300);
    redis.Pause();
    EXPECT_EQ(ExitCode(host->Stop(SIGTERM, std::chrono::seconds(30))), 0)
        << host->Log();
    redis.Resume();
    load.Finish();
  }
  proxy.SetStalled(false);
  const std::string log = host->Log();
  EXPECT_NE(log.find("they are LOST to the database"), std::string::npos)
      << log;
  EXPECT_NE(log.find("could not be handed over to Redis"), std::string::npos)
      << log;
}

// A second SIGTERM while the shutdown waits for a frozen database exits at
// once and says how many writes that leaves behind.
TEST_F(FaultTest, ASecondSigtermSaysWhatItLeavesBehind) {
  PrivateRedis redis;
  TcpFaultProxy proxy(MysqlHost(), MysqlPort());
  auto host =
      StartHost(redis, proxy.url(), {"--mysql_db_shutdown_drain_ms=30000"});
  {
    SubmissionLoad load(host->tcp_port(), id_);
    LoadThenFreezeDatabase(load, proxy, 100, 300);
    ASSERT_EQ(kill(host->pid(), SIGTERM), 0);
    ASSERT_TRUE(host->WaitForLog("shutting down"));
    EXPECT_EQ(ExitCode(host->Stop(SIGTERM)), 128 + SIGTERM) << host->Log();
    load.Finish();
  }
  proxy.SetStalled(false);
  const std::string log = host->Log();
  const auto at = log.find("Exiting immediately leaves ");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_GT(std::stoul(log.substr(at + 27)), 0u) << log.substr(at, 200);
}

}  // namespace
}  // namespace plemox_test
