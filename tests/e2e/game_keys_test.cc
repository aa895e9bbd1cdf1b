// Game server keys through the real host: rights per request type, the
// refusals of bad keys, reading the keys file again on SIGHUP, the limit on
// failed authentications per address, the authentication timeout, and the
// start-up refusal of a keys file that is too open.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "client/game_key.h"
#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/leaderboard_cleanup.h"
#include "support/store_probe.h"
#include "support/temp_file.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::GameKey;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using AuthResult = Leaderboard::LeaderboardAuthentication::Response;

constexpr char kInvalidKeyText[] =
    "Access denied, the app id or the key is not valid";

std::string KeysPrefix() { return "e2ekeys" + std::to_string(getpid()) + "_"; }

// A directory of its own with the keys file, removed at the end.
class KeysDirectory : public TempFile {
 public:
  KeysDirectory() : TempFile("game_server_keys") {}
};

std::string KeyLine(const std::string& app, const std::string& id,
                    const std::string& key, const std::string& rights) {
  return app + " " + id + " " + GameKey::Sha256Hex(key) + " " + rights + "\n";
}

AuthResult::Result AuthenticationResult(const LeaderboardClient::Result& r) {
  return r.response.leaderboard_authentication().result();
}

class GameKeysTest : public testing::Test {
 protected:
  static constexpr char kReadKey[] = "plk_read-only-key-of-the-web-backend";
  static constexpr char kGameKey[] = "plk_full-key-of-the-game-servers";
  static constexpr char kOldKey[] = "plk_old-key-of-the-game-servers";

  static std::string FullFile() {
    return "# test keys\n" + KeyLine("web", "w1", kReadKey, "query") +
           KeyLine("game", "g-new", kGameKey, "all") +
           KeyLine("game", "g-old", kOldKey, "submit,query");
  }

  static void SetUpTestSuite() {
    keys_ = std::make_unique<KeysDirectory>();
    keys_->Write(FullFile());
    const std::string p = KeysPrefix();
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + p + "a\"]");
    options.flags = {"--game_server_keys_file=" + keys_->path(),
                     // The suite's connections all come from 127.0.0.1.
                     "--max_failed_authentications_per_minute=1000"};
    host_ = std::make_unique<HostProcess>(options);
    ASSERT_TRUE(host_->Start());
    ASSERT_TRUE(host_->WaitForPort(host_->tcp_port())) << host_->Log();
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(ExitCode(host_->Stop(SIGTERM)), 0) << host_->Log();
    // No key ever reaches the log.
    for (const char* key : {kReadKey, kGameKey, kOldKey}) {
      EXPECT_EQ(host_->Log().find(key), std::string::npos) << key;
    }
    host_.reset();
    keys_.reset();
    StoreProbe probe;
    probe.ForgetLeaderboards(KeysPrefix());
  }

  // A new connection authenticated as `app` with `key`.
  static std::unique_ptr<LeaderboardClient> Connected(const std::string& app,
                                                      const std::string& key) {
    auto client = std::make_unique<LeaderboardClient>();
    EXPECT_TRUE(client->Connect("127.0.0.1", host_->tcp_port()))
        << client->LastError();
    const auto result = client->Authenticate(app, key);
    EXPECT_TRUE(result.ok()) << result.response.ShortDebugString();
    return client;
  }

  static LeaderboardClient::Result Submit(LeaderboardClient& client,
                                          const std::string& account,
                                          double score) {
    return client.SubmitScore(KeysPrefix() + "a",
                              QueryBuilder::Account("guest", account), score,
                              Leaderboard::ScoreSubmission::kHighScore);
  }

  static LeaderboardClient::Result QueryAll(LeaderboardClient& client) {
    return client.Query(QueryBuilder::Public(
        KeysPrefix() + "a", LeaderboardQuery::kAllTime,
        LeaderboardQuery::Request::kPosition, QueryBuilder::AllRange()));
  }

  static void ExpectMissingRight(const LeaderboardClient::Result& result,
                                 const std::string& right) {
    ASSERT_TRUE(result.answered()) << result.error;
    ASSERT_TRUE(result.response.has_fail());
    EXPECT_EQ(result.response.fail().code(),
              Leaderboard::Response::kFailUnauthenticatedApp);
    EXPECT_EQ(result.response.fail().message(),
              "Access denied, the key lacks the right: " + right);
  }

  static void Reload(const std::string& text, const std::string& logged,
                     mode_t mode = 0640) {
    const std::size_t before = Count(host_->Log(), logged);
    keys_->Write(text, mode);
    ASSERT_EQ(kill(host_->pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitFor([&] { return Count(host_->Log(), logged) > before; },
                        std::chrono::seconds(20)))
        << host_->Log();
  }

  static std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos;
         at = text.find(part, at + 1)) {
      ++count;
    }
    return count;
  }

  static std::unique_ptr<KeysDirectory> keys_;
  static std::unique_ptr<HostProcess> host_;
};
std::unique_ptr<KeysDirectory> GameKeysTest::keys_;
std::unique_ptr<HostProcess> GameKeysTest::host_;
constexpr char GameKeysTest::kReadKey[];
constexpr char GameKeysTest::kGameKey[];
constexpr char GameKeysTest::kOldKey[];

TEST_F(GameKeysTest, AQueryKeyReadsAndIsRefusedEverythingElse) {
  auto game = Connected("game", kGameKey);
  ASSERT_TRUE(Submit(*game, "reader-seen", 10).ok());
  auto web = Connected("web", kReadKey);
  const auto query = QueryAll(*web);
  ASSERT_TRUE(query.ok()) << query.response.ShortDebugString();
  EXPECT_GE(query.response.leaderboard_query().total_player_count(), 1);
  EXPECT_TRUE(web->ResetScheduleStatus(KeysPrefix() + "a", 0, "20210208T000000")
                  .answered());
  ExpectMissingRight(Submit(*web, "reader-seen", 99), "submit");
  ExpectMissingRight(
      web->DeleteScores({{KeysPrefix() + "a",
                          QueryBuilder::Account("guest", "reader-seen")}}),
      "delete");
  ExpectMissingRight(web->RequestReset(KeysPrefix() + "a"), "reset");
  // Nothing of the refused requests happened, and the connection goes on.
  const auto after = QueryAll(*web);
  ASSERT_TRUE(after.ok());
  bool found = false;
  for (const auto& record : after.response.leaderboard_query().record()) {
    if (record.account_id().local_account() == "reader-seen") {
      found = true;
      EXPECT_EQ(record.score(), 10);
    }
  }
  EXPECT_TRUE(found);
}

TEST_F(GameKeysTest, ABatchNeedingAMissingRightIsRefusedWhole) {
  auto full = Connected("game", kGameKey);
  ASSERT_TRUE(Submit(*full, "batch-1", 5).ok());
  ASSERT_TRUE(Submit(*full, "batch-2", 6).ok());
  auto limited = Connected("game", kOldKey);
  ExpectMissingRight(
      limited->DeleteScores(
          {{KeysPrefix() + "a", QueryBuilder::Account("guest", "batch-1")},
           {KeysPrefix() + "a", QueryBuilder::Account("guest", "batch-2")}}),
      "delete");
  const auto query = QueryAll(*limited);
  ASSERT_TRUE(query.ok());
  int kept = 0;
  for (const auto& record : query.response.leaderboard_query().record()) {
    const std::string& id = record.account_id().local_account();
    if (id == "batch-1" || id == "batch-2") ++kept;
  }
  EXPECT_EQ(kept, 2);
}

TEST_F(GameKeysTest, BadKeysAreRefusedAlikeAndOneConnectionGetsOneTry) {
  const struct {
    const char* app;
    std::string key;
  } bad[] = {
      {"game", ""},                     // no key
      {"game", "plk_wrong"},            // a wrong key
      {"game", kReadKey},               // a key of another app
      {"nobody", kGameKey},             // an unknown app id
      {"game", std::string(300, 'k')},  // an over-long key
      {"game", std::string(kGameKey) + "x"},
  };
  for (const auto& attempt : bad) {
    LeaderboardClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", host_->tcp_port()));
    const auto result = client.Authenticate(attempt.app, attempt.key);
    ASSERT_TRUE(result.answered()) << result.error;
    EXPECT_EQ(AuthenticationResult(result), AuthResult::kFailInvalidKey);
    EXPECT_EQ(result.response.leaderboard_authentication().message(),
              kInvalidKeyText);
    // The refused connection stays unauthenticated, even with the right
    // key now.
    const auto again = client.Authenticate("game", kGameKey);
    ASSERT_TRUE(again.answered()) << again.error;
    EXPECT_EQ(AuthenticationResult(again), AuthResult::kFailInvalidKey);
    const auto submit = Submit(client, "never", 1);
    ASSERT_TRUE(submit.answered());
    EXPECT_EQ(submit.response.fail().message(),
              "Access denied, authentication required");
  }
  // The key sent twice: the second authentication is told it happened.
  auto client = Connected("game", kGameKey);
  const auto twice = client->Authenticate("game", kGameKey);
  EXPECT_EQ(AuthenticationResult(twice), AuthResult::kFailAlreadyAuthenticated);

  const auto metrics = HttpRequest(host_->api_port(), "GET", "/metrics");
  EXPECT_NE(metrics.body.find("plemox_game_port_open_access 0"),
            std::string::npos);
  EXPECT_NE(metrics.body.find("plemox_game_authentications_refused_total{"
                              "reason=\"refused_before\"}"),
            std::string::npos)
      << metrics.body;
}

TEST_F(GameKeysTest, SighupReadsTheFileAgainAndABadFileKeepsTheKeys) {
  auto kept = Connected("game", kOldKey);
  Reload("# g-old removed\n" + KeyLine("web", "w1", kReadKey, "query") +
             KeyLine("game", "g-new", kGameKey, "all"),
         "Game server keys read again: keys=2");
  {
    LeaderboardClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", host_->tcp_port()));
    EXPECT_EQ(AuthenticationResult(client.Authenticate("game", kOldKey)),
              AuthResult::kFailInvalidKey);
  }
  auto fresh = Connected("game", kGameKey);
  EXPECT_TRUE(Submit(*fresh, "after-reload", 3).ok());
  // A connection keeps the rights it had until it reconnects.
  EXPECT_TRUE(Submit(*kept, "kept-connection", 4).ok());

  // Files that do not parse, or are too open, keep the keys in use.
  Reload(KeyLine("game", "g-new", kGameKey, "everything"),
         "unknown right \"everything\"");
  Reload(FullFile(), "more open than 0640", 0644);
  Reload(FullFile() + KeyLine("game", "g-new", "other", "all"),
         "the key id g-new is given twice");
  EXPECT_TRUE(Submit(*Connected("game", kGameKey), "after-bad-files", 5).ok());
  LeaderboardClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", host_->tcp_port()));
  EXPECT_EQ(AuthenticationResult(client.Authenticate("game", kOldKey)),
            AuthResult::kFailInvalidKey);
}

// A host of its own: its address (127.0.0.1) is made to wait.
TEST(GameKeysGuardTest, WrongKeysCloseTheConnectionAndTheAddressWaits) {
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {KeysPrefix()});
  KeysDirectory keys;
  const std::string key = "plk_the-only-key";
  keys.Write(KeyLine("game", "g1", key, "all"));
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + KeysPrefix() + "guard\"]");
  options.flags = {"--game_server_keys_file=" + keys.path(),
                   "--max_failed_authentications_per_minute=10",
                   "--failed_authentication_wait_seconds=3",
                   "--authentication_timeout_seconds=3"};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();

  LeaderboardClient guesser;
  ASSERT_TRUE(guesser.Connect("127.0.0.1", host.tcp_port()));
  int answered = 0;
  for (int i = 0; i < 20; ++i) {
    const auto result =
        guesser.Authenticate("game", "plk_guess-" + std::to_string(i));
    if (!result.answered()) break;
    EXPECT_EQ(AuthenticationResult(result), AuthResult::kFailInvalidKey);
    ++answered;
  }
  // Ten failures are answered; the eleventh closes the connection
  // unanswered.
  EXPECT_EQ(answered, 10);
  EXPECT_TRUE(WaitFor([&] { return !guesser.IsConnected(); }));

  // While the address waits, even the right key is refused.
  {
    LeaderboardClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", host.tcp_port()));
    const auto result = client.Authenticate("game", key);
    EXPECT_FALSE(result.ok());
    if (result.answered()) {
      EXPECT_NE(result.response.leaderboard_authentication().message().find(
                    "too many failed authentications"),
                std::string::npos);
    }
    EXPECT_TRUE(WaitFor([&] { return !client.IsConnected(); }));
  }
  // After the wait the address may authenticate again.
  EXPECT_TRUE(WaitFor(
      [&] {
        LeaderboardClient client;
        return client.Connect("127.0.0.1", host.tcp_port()) &&
               client.Authenticate("game", key).ok();
      },
      std::chrono::seconds(30)))
      << host.Log();

  // A connection that never authenticates is closed.
  LeaderboardClient silent;
  ASSERT_TRUE(silent.Connect("127.0.0.1", host.tcp_port()));
  EXPECT_TRUE(
      WaitFor([&] { return !silent.IsConnected(); }, std::chrono::seconds(30)));

  // Each counted once at least (the retries above count every refusal
  // while the address waited).
  const auto metrics = HttpRequest(host.api_port(), "GET", "/metrics").body;
  for (const std::string sample :
       {"plemox_game_connections_closed_by_guard_total{reason=\"too_many_"
        "failures\"} ",
        "plemox_game_connections_closed_by_guard_total{reason=\""
        "authentication_timeout\"} ",
        "plemox_game_authentications_refused_total{reason=\"address_"
        "waiting\"} "}) {
    const std::size_t at = metrics.find(sample);
    ASSERT_NE(at, std::string::npos) << sample << metrics;
    EXPECT_GE(std::stod(metrics.substr(at + sample.size())), 1) << sample;
  }
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
  EXPECT_EQ(host.Log().find(key), std::string::npos);
}

TEST(GameKeysStartupTest, AKeysFileMoreOpenThan0640StopsStartUp) {
  KeysDirectory keys;
  keys.Write(KeyLine("game", "g1", "plk_k", "all"), 0644);
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + KeysPrefix() + "startup\"]");
  options.flags = {"--game_server_keys_file=" + keys.path()};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  EXPECT_NE(ExitCode(host.WaitForExit()), 0);
  EXPECT_NE(host.Log().find("Game server keys refused"), std::string::npos)
      << host.Log();
  EXPECT_NE(host.Log().find("more open than 0640"), std::string::npos);
}

// Without keys, the port says whether it is open beyond loopback.
TEST(GamePortTest, AnOpenPortWarnsAndTheGaugeShowsIt) {
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {KeysPrefix()});
  for (const bool loopback : {false, true}) {
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + KeysPrefix() + "open\"]");
    if (loopback) options.flags = {"--server_bind_address=127.0.0.1"};
    HostProcess host(options);
    ASSERT_TRUE(host.Start());
    ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
    LeaderboardClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", host.tcp_port()));
    EXPECT_TRUE(client.Authenticate("any-app").ok());
    // A TLS client on the plain port: its ClientHello reads as an over-long
    // frame and the connection is closed; the handshake fails.
    LeaderboardClient::Options tls;
    tls.tls.enabled = true;
    LeaderboardClient tls_client(tls);
    EXPECT_FALSE(tls_client.Connect("127.0.0.1", host.tcp_port(),
                                    std::chrono::seconds(10)));
    EXPECT_NE(tls_client.LastError().find("TLS handshake failed"),
              std::string::npos)
        << tls_client.LastError();
    const std::string warning = "anyone who reaches the port has every right";
    EXPECT_EQ(host.Log().find(warning) != std::string::npos, !loopback)
        << host.Log();
    const auto metrics = HttpRequest(host.api_port(), "GET", "/metrics").body;
    EXPECT_NE(metrics.find(std::string("plemox_game_port_open_access ") +
                           (loopback ? "0" : "1")),
              std::string::npos);
    EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
  }
}

}  // namespace
}  // namespace plemox_test
