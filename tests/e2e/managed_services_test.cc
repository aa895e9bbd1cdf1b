// The real host against Redis and MariaDB set up as managed services are: a
// Redis that admits only an ACL user (over plain TCP and over TLS), and a
// MariaDB that requires TLS, with the passwords given in files. The host must
// serve through them and, with the wrong credentials, CA or without TLS, say
// in its log what to fix.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/private_redis.h"
#include "support/running_server.h"
#include "support/test_certificates.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using plemox::QueryBuilder;

// A temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (boost::filesystem::temp_directory_path() / "plemox-managed-XXXXXX")
            .string();
    const char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = made != nullptr ? made : "/nonexistent";
  }
  ~TempDir() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  // Writes `text` into the file `name` (mode 0600) and returns its path.
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << text;
    boost::filesystem::permissions(
        file, boost::filesystem::owner_read | boost::filesystem::owner_write);
    return file;
  }

 private:
  std::string path_;
};

// Submits one score and reads the top of the leaderboard back.
void ExpectServes(RunningServer& server, const std::string& id) {
  const auto submitted =
      server.client().SubmitScore(id, QueryBuilder::Account("guest", "alice"),
                                  42, ScoreSubmission::kHighScore);
  ASSERT_TRUE(submitted.answered()) << submitted.error;
  ASSERT_EQ(submitted.response.score_submission().result(),
            ScoreSubmission::Response::kNewRecord)
      << submitted.response.DebugString() << server.host().Log();
  const auto read = server.client().Query(QueryBuilder::Public(
      id, LeaderboardQuery::kAllTime, LeaderboardQuery::Request::kPosition,
      QueryBuilder::TopRange(0, 9)));
  ASSERT_TRUE(read.answered()) << read.error;
  const auto& records = read.response.leaderboard_query().record();
  ASSERT_EQ(records.size(), 1) << read.response.DebugString();
  EXPECT_EQ(records[0].account_id().local_account(), "alice");
  EXPECT_EQ(records[0].score(), 42);
}

// A Redis that admits the ACL user alice only (the default user is off),
// both passwords in files: the host serves; as another user it logs why
// Redis refuses it.
TEST(ManagedServicesTest, RedisAclUserAndPasswordFiles) {
  TempDir dir;
  PrivateRedis redis({"--user", "alice", "on", ">s3cret-pass", "~*", "&*",
                      "+@all", "--user", "default", "off"});
  const std::string redis_password = dir.Write("redis_pw", "s3cret-pass\n");
  const std::string mysql_password =
      dir.Write("mysql_pw", MysqlPassword() + "\n");
  const std::string id = "e2eacl" + std::to_string(getpid());
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + id + "\"]");
  options.flags = {redis.HostFlag(), "--redis_user=alice",
                   "--redis_password_file=" + redis_password,
                   "--mysql_pw=", "--mysql_pw_file=" + mysql_password};
  {
    RunningServer server(options, "managed-acl");
    ExpectServes(server, id);
    EXPECT_EQ(server.host().Log().find("s3cret"), std::string::npos)
        << "the log shows the password";
    server.Stop();
  }

  options.flags[1] = "--redis_user=bob";
  HostProcess refused(options);
  ASSERT_TRUE(refused.Start());
  EXPECT_TRUE(refused.WaitForLog(
      "error=authentication failed as user 'bob': WRONGPASS"))
      << refused.Log();
  refused.Stop(SIGTERM);
}

// A Redis that speaks TLS only, asks for a client certificate and admits
// the ACL user alice only: the host serves through it with the test's CA and
// client certificate; with another CA, user or password it logs why it
// cannot connect, and keeps trying.
TEST(ManagedServicesTest, RedisOverTlsWithAclUser) {
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  PrivateRedis redis(
      {"--tls-cert-file", certificates.server_cert(), "--tls-key-file",
       certificates.server_key(), "--tls-ca-cert-file", certificates.ca(),
       "--tls-auth-clients", "yes", "--user", "alice", "on", ">s3cret-pass",
       "~*", "&*", "+@all", "--user", "default", "off"},
      /*tls=*/true);
  TempDir dir;
  const std::string password = dir.Write("redis_pw", "s3cret-pass\n");
  const std::string id = "e2eredistls" + std::to_string(getpid());
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + id + "\"]");
  options.flags = {redis.HostFlag(),
                   "--redis_tls",
                   "--redis_tls_ca=" + certificates.ca(),
                   "--redis_tls_cert=" + certificates.client_cert(),
                   "--redis_tls_key=" + certificates.client_key(),
                   "--redis_user=alice",
                   "--redis_password_file=" + password};
  {
    RunningServer server(options, "managed-redis-tls");
    ExpectServes(server, id);
    server.Stop();
  }

  // Each wrong setting: the outage line names the cause.
  const std::vector<std::pair<std::string, std::string>> wrong = {
      {"--redis_tls_ca=" + certificates.other_ca(),
       "error=TLS handshake failed: certificate verify failed"},
      {"--redis_user=bob",
       "error=authentication failed as user 'bob': WRONGPASS"},
      {"--redis_password_file=" + dir.Write("wrong_pw", "wrong-pass\n"),
       "error=authentication failed as user 'alice': WRONGPASS"},
  };
  for (const auto& [flag, reason] : wrong) {
    SCOPED_TRACE(flag);
    auto refused_options = options;
    refused_options.flags.push_back(flag);  // a later flag wins
    HostProcess refused(refused_options);
    ASSERT_TRUE(refused.Start());
    EXPECT_TRUE(refused.WaitForLog(reason)) << refused.Log();
    refused.Stop(SIGTERM);
  }
}

// A MariaDB of the test's own that requires TLS, with certificates the test
// makes: the host stores a record over TLS with --mysql_ssl_ca and, without
// it, stops and names the flag.
TEST(ManagedServicesTest, MariadbRequiringTls) {
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  const std::string tls = certificates.dir();
  std::string output;

  const int port = FreePort();
  const std::string environment =
      "PLEMOX_STATE_DIR=" + tls +
      "/services PLEMOX_MYSQL_PORT=" + std::to_string(port) +
      " PLEMOX_MYSQL_TLS_DIR=" + tls + " " + SourceDir() +
      "/scripts/services.sh ";
  ASSERT_EQ(Shell(environment + "start-mysql", &output), 0) << output;
  struct Stopper {
    std::string command;
    ~Stopper() { Shell(command); }
  } stopper{environment + "stop-mysql"};

  PrivateRedis redis;
  const std::string id = "e2etls" + std::to_string(getpid());
  auto options = HostProcess::Options::WithArguments(
      "\"leaderboard_ids\": [\"" + id + "\"]");
  options.flags = {redis.HostFlag(),
                   "--mysql_server_url=127.0.0.1:" + std::to_string(port),
                   "--mysql_ssl_ca=" + tls + "/ca.pem"};
  {
    RunningServer server(options, "managed-tls");
    ExpectServes(server, id);
    server.Stop();  // every queued write has reached the table
  }
  ASSERT_EQ(Shell("mysql --socket=" + tls +
                      "/services/mysql/mysqld.sock -uroot -N -e \"SELECT "
                      "local_account, score FROM " +
                      MysqlDatabase() + "." + id + "_alltime\"",
                  &output),
            0)
      << output;
  EXPECT_EQ(output, "alice\t-42\n");

  options.flags.pop_back();
  HostProcess plain(options);
  ASSERT_TRUE(plain.Start());
  EXPECT_NE(ExitCode(plain.WaitForExit()), 0) << plain.Log();
  EXPECT_NE(plain.Log().find("refuses a plain connection the same way: then "
                             "give --mysql_ssl_ca"),
            std::string::npos)
      << plain.Log();
}

}  // namespace
}  // namespace plemox_test
