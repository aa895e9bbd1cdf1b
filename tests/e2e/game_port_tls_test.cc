// TLS on the game port through the real host: a game server with a client
// certificate submits and queries through the C++ client; a client without
// a certificate, a plain TCP client and a stalled handshake are refused and
// counted; SIGHUP reads the certificate again. The mapping of client
// certificate subjects to app ids, alone and with game server keys.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "client/game_key.h"
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
using plemox::GameKey;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using AuthResult = Leaderboard::LeaderboardAuthentication::Response;

constexpr char kBadKeyAnswer[] =
    "Access denied, the app id or the key is not valid";

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

// The second client's certificate instead of the first one's.
LeaderboardClient::Options SecondClientOptions(
    const TestCertificates& certificates) {
  LeaderboardClient::Options options = TlsOptions(certificates, true);
  options.tls.cert_file = certificates.second_client_cert();
  options.tls.key_file = certificates.second_client_key();
  return options;
}

// Writes `text` to `path` with `mode`; returns `path`.
std::string WriteAccessFile(const std::string& path, const std::string& text,
                            mode_t mode = 0640) {
  std::ofstream(path, std::ios::trunc) << text;
  chmod(path.c_str(), mode);
  return path;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The answer to authenticating as `app_id` (with `key` when not empty) on
// a new connection of `options`.
LeaderboardClient::Result AuthenticateAnew(
    const LeaderboardClient::Options& options, uint16_t port,
    const std::string& app_id, const std::string& key = "") {
  LeaderboardClient client(options);
  if (!client.Connect("127.0.0.1", port)) {
    LeaderboardClient::Result failed;
    failed.error = client.LastError();
    return failed;
  }
  return client.Authenticate(app_id, key);
}

// Whether `result` is the refusal a bad key gets, word for word.
void ExpectInvalidKey(const LeaderboardClient::Result& result) {
  ASSERT_TRUE(result.answered()) << result.error;
  EXPECT_EQ(result.response.leaderboard_authentication().result(),
            AuthResult::kFailInvalidKey);
  EXPECT_EQ(result.response.leaderboard_authentication().message(),
            kBadKeyAnswer);
}

double Sample(const std::string& metrics, const std::string& name) {
  const std::size_t at = metrics.find("\n" + name + " ");
  return at == std::string::npos
             ? -1
             : std::stod(metrics.substr(at + name.size() + 2));
}

// A host with mutual TLS and the client certificate subjects of
// `subjects_file`; its failure limit is out of the way of the tests'
// refusals from 127.0.0.1.
HostProcess::Options SubjectsHostOptions(const TestCertificates& certificates,
                                         const std::string& subjects_file) {
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + TlsBoard() + "\"]");
  options.flags = {"--server_tls_cert=" + certificates.server_cert(),
                   "--server_tls_key=" + certificates.server_key(),
                   "--server_tls_client_ca=" + certificates.ca(),
                   "--server_tls_client_subjects_file=" + subjects_file,
                   "--max_failed_authentications_per_minute=1000"};
  return options;
}

// The host's count of refused authentications of `reason` now.
double Refusals(const HostProcess& host, const std::string& reason) {
  return Sample(
      HttpRequest(host.api_port(), "GET", "/metrics").body,
      "plemox_game_authentications_refused_total{reason=\"" + reason + "\"}");
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

// Without keys the mapping alone decides: a mapped certificate is its app
// id with every right, any other app id or an unmapped certificate is
// refused like a bad key; SIGHUP changes the mapping for new
// authentications and a bad file keeps the previous one.
TEST(GamePortTlsTest, ClientSubjectsAllowEachCertificateOneAppId) {
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {TlsBoard()});
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  const std::string subjects =
      WriteAccessFile(certificates.dir() + "/subjects",
                      std::string("# app id, subject\ntls-game ") +
                          TestCertificates::kClientSubject + "\n");
  HostProcess host(SubjectsHostOptions(certificates, subjects));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  EXPECT_NE(host.Log().find("Client certificate subjects: subjects=1"),
            std::string::npos)
      << host.Log();
  const auto port = static_cast<uint16_t>(host.tcp_port());
  const auto first = TlsOptions(certificates, true);
  const auto second = SecondClientOptions(certificates);
  // The subject the mapping names is what the documented openssl command
  // prints.
  std::string printed;
  ASSERT_EQ(Shell("openssl x509 -in " + certificates.second_client_cert() +
                      " -noout -subject -nameopt RFC2253",
                  &printed),
            0);
  EXPECT_EQ(printed, std::string("subject=") +
                         TestCertificates::kSecondClientSubject + "\n");

  // The mapped certificate is its app id, with every right and no key.
  LeaderboardClient game(first);
  ASSERT_TRUE(game.Connect("127.0.0.1", port)) << game.LastError();
  ASSERT_TRUE(game.Authenticate("tls-game").ok());
  EXPECT_TRUE(game.SubmitScore(TlsBoard(),
                               QueryBuilder::Account("guest", "subject"), 7,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  EXPECT_TRUE(host.WaitForLog(std::string("certificate subject=") +
                              TestCertificates::kClientSubject +
                              ", rights=all"))
      << host.Log();

  // As another app id: refused, and that connection's next try too.
  {
    LeaderboardClient other(first);
    ASSERT_TRUE(other.Connect("127.0.0.1", port));
    ExpectInvalidKey(other.Authenticate("tls-other"));
    const auto again = other.Authenticate("tls-game");
    ASSERT_TRUE(again.answered());
    EXPECT_EQ(again.response.leaderboard_authentication().result(),
              AuthResult::kFailInvalidKey);
  }
  // An unmapped certificate of the same CA, whatever app id it names.
  ExpectInvalidKey(AuthenticateAnew(second, port, "tls-game"));
  ExpectInvalidKey(AuthenticateAnew(second, port, "tls-second"));
  EXPECT_TRUE(host.WaitForLog(
      std::string("is not in server_tls_client_subjects_file: peer=")))
      << host.Log();
  EXPECT_NE(host.Log().find("mapped to another app id"), std::string::npos);
  EXPECT_NE(host.Log().find(TestCertificates::kSecondClientSubject),
            std::string::npos);
  EXPECT_EQ(Refusals(host, "certificate_mismatch"), 3);
  EXPECT_EQ(Refusals(host, "refused_before"), 1);

  // SIGHUP: the second certificate becomes tls-second, the first is
  // unmapped; new authentications follow, the open session stays.
  const std::string read_again = "Client certificate subjects read again";
  WriteAccessFile(subjects, std::string("tls-second ") +
                                TestCertificates::kSecondClientSubject + "\n");
  ASSERT_EQ(kill(host.pid(), SIGHUP), 0);
  ASSERT_TRUE(host.WaitForLog(read_again + ": subjects=1")) << host.Log();
  EXPECT_TRUE(AuthenticateAnew(second, port, "tls-second").ok());
  ExpectInvalidKey(AuthenticateAnew(first, port, "tls-game"));
  EXPECT_TRUE(
      game.ResetScheduleStatus(TlsBoard(), 0, "20210208T000000").answered());

  // A file that does not parse is logged and the mapping stays.
  WriteAccessFile(subjects, "tls-second\n");
  ASSERT_EQ(kill(host.pid(), SIGHUP), 0);
  ASSERT_TRUE(host.WaitForLog(
      "Client certificate subjects not read again, the previous mapping "
      "stays: " +
      subjects + ": line 1: expected an app id and a certificate subject"))
      << host.Log();
  EXPECT_TRUE(AuthenticateAnew(second, port, "tls-second").ok());
  EXPECT_EQ(Occurrences(host.Log(), read_again), 1u);
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
}

// With keys on, both must agree: the key of the app id and a certificate
// mapped to it. A right key of another app does not help a mapped
// certificate, and a mapped certificate does not replace the key.
TEST(GamePortTlsTest, WithKeysTheKeyAndTheCertificateMustAgree) {
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {TlsBoard()});
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  const std::string game_key = "plk_key-of-the-tls-game";
  const std::string second_key = "plk_key-of-the-tls-second";
  const std::string keys = WriteAccessFile(
      certificates.dir() + "/keys",
      "tls-game g1 " + GameKey::Sha256Hex(game_key) + " query\n" +
          "tls-second s1 " + GameKey::Sha256Hex(second_key) + " all\n");
  const std::string subjects = WriteAccessFile(
      certificates.dir() + "/subjects",
      std::string("tls-game ") + TestCertificates::kClientSubject + "\n" +
          "tls-second " + TestCertificates::kSecondClientSubject + "\n");
  auto options = SubjectsHostOptions(certificates, subjects);
  options.flags.push_back("--game_server_keys_file=" + keys);
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  const auto port = static_cast<uint16_t>(host.tcp_port());
  const auto first = TlsOptions(certificates, true);

  // The key's rights hold: query only.
  LeaderboardClient game(first);
  ASSERT_TRUE(game.Connect("127.0.0.1", port)) << game.LastError();
  ASSERT_TRUE(game.Authenticate("tls-game", game_key).ok());
  const auto submit =
      game.SubmitScore(TlsBoard(), QueryBuilder::Account("guest", "both"), 1,
                       Leaderboard::ScoreSubmission::kHighScore);
  ASSERT_TRUE(submit.answered());
  EXPECT_EQ(submit.response.fail().code(),
            Leaderboard::Response::kFailUnauthenticatedApp);
  EXPECT_TRUE(host.WaitForLog(std::string("key id=g1, certificate subject=") +
                              TestCertificates::kClientSubject))
      << host.Log();

  ExpectInvalidKey(AuthenticateAnew(first, port, "tls-game"));
  ExpectInvalidKey(AuthenticateAnew(first, port, "tls-game", second_key));
  ExpectInvalidKey(AuthenticateAnew(first, port, "tls-second", second_key));
  EXPECT_TRUE(AuthenticateAnew(SecondClientOptions(certificates), port,
                               "tls-second", second_key)
                  .ok());
  EXPECT_EQ(Refusals(host, "certificate_mismatch"), 1);
  EXPECT_EQ(Refusals(host, "invalid_key"), 2);
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
  for (const std::string& key : {game_key, second_key}) {
    EXPECT_EQ(host.Log().find(key), std::string::npos);
  }
}

// A mapping without client certificates, or one that cannot be used,
// stops start-up with the reason.
TEST(GamePortTlsTest, AnUnusableSubjectsFileStopsStartUp) {
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  const std::string good = WriteAccessFile(certificates.dir() + "/subjects",
                                           "tls-game CN=plemox test client\n");
  const std::string open =
      WriteAccessFile(certificates.dir() + "/open-subjects",
                      "tls-game CN=plemox test client\n", 0644);
  const std::string twice = WriteAccessFile(
      certificates.dir() + "/twice-subjects",
      "tls-game CN=plemox test client\ntls-web CN=plemox test client\n");
  const struct {
    std::string subjects_file;
    bool client_ca;
    std::string logged;
  } cases[] = {
      {good, false,
       "--server_tls_client_subjects_file needs --server_tls_client_ca"},
      {open, true, "client certificate subjects: " + open + " has mode 0644"},
      {twice, true, "line 2: the subject CN=plemox test client is given twice"},
  };
  for (const auto& c : cases) {
    auto options = HostProcess::Options::WithArguments(
        "\"leaderboard_ids\": [\"" + TlsBoard() + "\"]");
    options.flags = {"--server_tls_cert=" + certificates.server_cert(),
                     "--server_tls_key=" + certificates.server_key(),
                     "--server_tls_client_subjects_file=" + c.subjects_file};
    if (c.client_ca) {
      options.flags.push_back("--server_tls_client_ca=" + certificates.ca());
    }
    HostProcess host(options);
    ASSERT_TRUE(host.Start());
    EXPECT_NE(ExitCode(host.WaitForExit()), 0) << c.logged;
    EXPECT_NE(host.Log().find(c.logged), std::string::npos) << host.Log();
  }
}

}  // namespace
}  // namespace plemox_test
