// vel::Redis over TLS to private redis-server processes with the test's own
// certificates: the settings refused at start-up, replies larger than one
// TLS record from many callers at once, a server restart, the server name
// check, a Sentinel over TLS, and a server that never answers the
// handshake.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/private_redis.h"
#include "support/private_sentinel.h"
#include "support/test_certificates.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/redis/redis.h"

namespace plemox_test {
namespace {

using vel::Redis;

class RedisTlsTest : public testing::Test {
 protected:
  RedisTlsTest() {
    FLAGS_redis_host = "127.0.0.1";
    FLAGS_redis_password = "";
    FLAGS_redis_servers = "";
    FLAGS_redis_timeout_ms = 1000;
    FLAGS_redis_async_threads_size = 2;
    FLAGS_redis_tls = true;
    FLAGS_redis_tls_ca = certificates_.ca();
  }
  ~RedisTlsTest() override {
    Redis::Finalize();
    FLAGS_redis_tls = false;
    FLAGS_redis_tls_ca = "";
    FLAGS_redis_tls_cert = "";
    FLAGS_redis_tls_key = "";
    FLAGS_redis_tls_server_name = "";
    FLAGS_redis_tls_verify_server_name = true;
    FLAGS_redis_sentinels = "";
    FLAGS_redis_sentinel_master = "";
    FLAGS_redis_sentinel_user = "";
    FLAGS_redis_sentinel_password = "";
    FLAGS_redis_sentinel_password_file = "";
  }

  // A TLS-only server with the test's certificates.
  std::vector<std::string> ServerOptions() const {
    return {"--tls-cert-file",    certificates_.server_cert(),
            "--tls-key-file",     certificates_.server_key(),
            "--tls-ca-cert-file", certificates_.ca(),
            "--tls-auth-clients", "no"};
  }

  // Starts the client and expects its first call to fail, with `reason` in
  // one error line; stops the client again.
  void ExpectRefused(const std::string& reason) {
    ASSERT_TRUE(Redis::Initialize());
    LogCapture log;
    EXPECT_EQ(Redis::Ping(), Redis::kConnectionFailure);
    EXPECT_EQ(log.Count(google::GLOG_ERROR, reason), 1) << reason;
    Redis::Finalize();
  }

  TestCertificates certificates_;
};

TEST_F(RedisTlsTest, BadSettingsAreRefusedAtStartUp) {
  ASSERT_TRUE(certificates_.ok());
  FLAGS_redis_port = 6379;
  struct Case {
    std::string what;
    std::function<void()> set;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"missing CA file", [] { FLAGS_redis_tls_ca = "/nonexistent/ca.pem"; },
       "cannot load the CA file '/nonexistent/ca.pem'"},
      {"certificate without key",
       [this] { FLAGS_redis_tls_cert = certificates_.client_cert(); },
       "needs both --redis_tls_cert and --redis_tls_key"},
      {"key of another certificate",
       [this] {
         FLAGS_redis_tls_cert = certificates_.client_cert();
         FLAGS_redis_tls_key = certificates_.server_key();
       },
       "cannot use the client key"},
      {"TLS settings without --redis_tls", [] { FLAGS_redis_tls = false; },
       "--redis_tls is off"},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.what);
    FLAGS_redis_tls = true;
    FLAGS_redis_tls_ca = certificates_.ca();
    FLAGS_redis_tls_cert = "";
    FLAGS_redis_tls_key = "";
    bad.set();
    LogCapture log;
    EXPECT_FALSE(Redis::Initialize());
    EXPECT_EQ(log.Count(google::GLOG_ERROR, bad.logged), 1);
    Redis::Finalize();
  }
}

TEST_F(RedisTlsTest, ServesManyCallersAndChecksTheServerName) {
  ASSERT_TRUE(certificates_.ok());
  PrivateRedis redis(ServerOptions(), /*tls=*/true);
  FLAGS_redis_port = redis.port();
  ASSERT_TRUE(Redis::Initialize());

  // Replies of several TLS records each, to callers on several threads whose
  // commands share the connections.
  Redis::ScoredMembers members;
  for (int i = 0; i < 3000; ++i) {
    members.push_back({std::string(40, 'm') + std::to_string(i), i});
  }
  ASSERT_EQ(Redis::ZAddMany("tls:big", members), Redis::kSuccess);
  std::vector<std::thread> callers;
  std::vector<int> right(4, 0);
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([t, &right] {
      for (int round = 0; round < 20; ++round) {
        Redis::ScoredMembers top;
        double score = 0;
        const int member = t * 700 + round;
        if (Redis::ZRevRange("tls:big", 0, -1, true, &top) == Redis::kSuccess &&
            top.size() == 3000 && top.front().second == 2999 &&
            Redis::ZScore("tls:big",
                          std::string(40, 'm') + std::to_string(member),
                          &score) == Redis::kSuccess &&
            score == member) {
          ++right[t];
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(right, std::vector<int>(4, 20));

  // A restarted server: the client connects again over TLS.
  redis.Restart();
  EXPECT_TRUE(WaitFor(
      [] { return Redis::ZAdd("tls:after", 1, "m") == Redis::kSuccess; }));
  Redis::Finalize();

  // A name the certificate does not carry: refused, unless the name check
  // is off (the chain is still checked).
  FLAGS_redis_tls_server_name = "other.example";
  ExpectRefused(
      "TLS handshake failed: certificate verify failed (hostname mismatch)");
  FLAGS_redis_tls_verify_server_name = false;
  ASSERT_TRUE(Redis::Initialize());
  EXPECT_EQ(Redis::Ping(), Redis::kSuccess);
}

// The Sentinel also requires an ACL user of its own, as managed Sentinels
// do: the Sentinel login is not the data login.
TEST_F(RedisTlsTest, AsksSentinelsOverTlsForThePrimary) {
  ASSERT_TRUE(certificates_.ok());
  PrivateRedis primary(ServerOptions(), /*tls=*/true);
  PrivateSentinel sentinel(
      "plemox-tls", primary.port(), 1,
      {"tls-cert-file " + certificates_.server_cert(),
       "tls-key-file " + certificates_.server_key(),
       "tls-ca-cert-file " + certificates_.ca(), "tls-auth-clients no",
       "tls-replication yes", "user default off",
       "user watcher on >sentinel-pw +@all"});
  FLAGS_redis_port = 1;  // unused with Sentinels
  FLAGS_redis_sentinels = sentinel.Address();
  FLAGS_redis_sentinel_master = "plemox-tls";
  FLAGS_redis_sentinel_user = "watcher";
  FLAGS_redis_sentinel_password = "wrong";
  ExpectRefused("authentication failed as user 'watcher': WRONGPASS");
  // The right password, from a file as the package's flags file gives it.
  const std::string password_file = certificates_.dir() + "/sentinel_pw";
  std::ofstream(password_file) << "sentinel-pw\n";
  FLAGS_redis_sentinel_password = "";
  FLAGS_redis_sentinel_password_file = password_file;
  ASSERT_TRUE(Redis::Initialize());
  LogCapture log;
  EXPECT_EQ(Redis::Ping(), Redis::kSuccess);
  EXPECT_EQ(log.Count(google::GLOG_INFO,
                      "Redis primary of master 'plemox-tls' (tag='') is "
                      "127.0.0.1:" +
                          std::to_string(primary.port())),
            1);
}

TEST_F(RedisTlsTest, SilentServerFailsTheHandshakeInTime) {
  // Accepts connections (the kernel does) and never says a word.
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor silent(
      io, {boost::asio::ip::address_v4::loopback(), 0});
  FLAGS_redis_port = silent.local_endpoint().port();
  FLAGS_redis_timeout_ms = 300;
  ASSERT_TRUE(Redis::Initialize());
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Redis::Ping(), Redis::kConnectionFailure);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(log.Count(google::GLOG_ERROR,
                      "TLS handshake failed: no answer within 300 ms"),
            1);
}

}  // namespace
}  // namespace plemox_test
