// TLS on the game port through the real host: a game server with a client
// certificate submits and queries through the C++ client; a client without
// a certificate, a plain TCP client and a stalled handshake are refused and
// counted; SIGHUP reads the certificate again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/http_get.h"
#include "support/leaderboard_cleanup.h"
#include "support/store_probe.h"
#include "support/test_certificates.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;

std::string TlsBoard() { return "e2etls" + std::to_string(getpid()); }

LeaderboardClient::Options TlsOptions(const TestCertificates& certificates,
                                      bool client_certificate) {
  LeaderboardClient::Options options;
  options.tls.enabled = true;
  options.tls.ca_file = certificates.ca();
  if (client_certificate) {
    options.tls.cert_file = certificates.client_cert();
    options.tls.key_file = certificates.client_key();
  }
  return options;
}

double Sample(const std::string& metrics, const std::string& name) {
  const std::size_t at = metrics.find("\n" + name + " ");
  return at == std::string::npos
             ? -1
             : std::stod(metrics.substr(at + name.size() + 2));
}

TEST(GamePortTlsTest, MutualTlsServesAndRefusesEveryOtherPeer) {
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {TlsBoard()});
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + TlsBoard() + "\"]");
  options.flags = {"--server_tls_cert=" + certificates.server_cert(),
                   "--server_tls_key=" + certificates.server_key(),
                   "--server_tls_client_ca=" + certificates.ca(),
                   "--frame_read_timeout_seconds=2"};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  const auto port = static_cast<uint16_t>(host.tcp_port());

  LeaderboardClient game(TlsOptions(certificates, true));
  ASSERT_TRUE(game.Connect("127.0.0.1", port)) << game.LastError();
  ASSERT_TRUE(game.Authenticate("tls-game").ok());
  ASSERT_TRUE(game.SubmitScore(TlsBoard(),
                               QueryBuilder::Account("guest", "alice"), 42,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  const auto top = game.Query(QueryBuilder::Public(
      TlsBoard(), LeaderboardQuery::kAllTime,
      LeaderboardQuery::Request::kPosition, QueryBuilder::TopRange(0, 9)));
  ASSERT_TRUE(top.ok()) << top.response.ShortDebugString();
  ASSERT_EQ(top.response.leaderboard_query().record_size(), 1);
  EXPECT_EQ(top.response.leaderboard_query().record(0).score(), 42);

  // Without a client certificate: refused in the handshake (with TLS 1.3
  // the client may learn it only at its first read).
  {
    LeaderboardClient anonymous(TlsOptions(certificates, false));
    const bool served = anonymous.Connect("127.0.0.1", port) &&
                        anonymous.Authenticate("anonymous").ok();
    EXPECT_FALSE(served);
  }
  // A plain TCP client gets no answer; its frame fails the handshake.
  {
    LeaderboardClient plain;
    ASSERT_TRUE(plain.Connect("127.0.0.1", port));
    const auto result = plain.Authenticate("plain", std::chrono::seconds(5));
    EXPECT_FALSE(result.answered());
    EXPECT_TRUE(WaitFor([&] { return !plain.IsConnected(); }));
  }
  // A client that never starts its handshake is closed at the frame read
  // timeout.
  {
    LeaderboardClient stalled;
    ASSERT_TRUE(stalled.Connect("127.0.0.1", port));
    EXPECT_TRUE(WaitFor([&] { return !stalled.IsConnected(); },
                        std::chrono::seconds(30)));
  }
  // A client that does not trust the server's CA refuses it.
  {
    LeaderboardClient::Options other = TlsOptions(certificates, true);
    other.tls.ca_file = certificates.other_ca();
    LeaderboardClient wary(other);
    EXPECT_FALSE(wary.Connect("127.0.0.1", port));
    EXPECT_NE(wary.LastError().find("certificate verify failed"),
              std::string::npos)
        << wary.LastError();
  }
  // The open connection goes on after all of that.
  EXPECT_TRUE(
      game.ResetScheduleStatus(TlsBoard(), 0, "20210208T000000").answered());

  const std::string metrics =
      HttpRequest(host.api_port(), "GET", "/metrics").body;
  EXPECT_GE(Sample(metrics, "plemox_tcp_tls_handshake_failures_total"), 2)
      << metrics;
  // Client certificates guard the port: it is not open to everyone.
  EXPECT_EQ(Sample(metrics, "plemox_game_port_open_access"), 0);

  ASSERT_EQ(kill(host.pid(), SIGHUP), 0);
  EXPECT_TRUE(host.WaitForLog("Game port TLS certificate and key read again"))
      << host.Log();
  LeaderboardClient after(TlsOptions(certificates, true));
  ASSERT_TRUE(after.Connect("127.0.0.1", port)) << after.LastError();
  EXPECT_TRUE(after.Authenticate("tls-game").ok());
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
}

TEST(GamePortTlsTest, ABadCertificateStopsStartUp) {
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + TlsBoard() + "\"]");
  // The client's key does not belong to the server's certificate.
  options.flags = {"--server_tls_cert=" + certificates.server_cert(),
                   "--server_tls_key=" + certificates.client_key()};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  EXPECT_NE(ExitCode(host.WaitForExit()), 0);
  EXPECT_NE(host.Log().find("game port TLS: cannot use the key"),
            std::string::npos)
      << host.Log();
}

}  // namespace
}  // namespace plemox_test
