// The real host against Redis and MariaDB set up as managed services are: a
// Redis that admits only an ACL user, and a MariaDB that requires TLS, with
// the passwords given in files. The host must serve through them and, with
// the wrong credentials or without TLS, say in its log what to fix.
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

// Runs `command` with sh; its output (stdout and stderr) in *output.
int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return status;
}

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

// A MariaDB of the test's own that requires TLS, with certificates the test
// makes: the host stores a record over TLS with --mysql_ssl_ca and, without
// it, stops and names the flag.
TEST(ManagedServicesTest, MariadbRequiringTls) {
  TempDir dir;
  const std::string tls = dir.path();
  const std::string make_certificates =
      "cd " + tls +
      " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -keyout ca-key.pem -out ca.pem -days 2 -subj '/CN=plemox test "
      "CA' && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -keyout server-key.pem -out server.csr -subj '/CN=localhost' "
      "&& printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext.cnf "
      "&& openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem "
      "-CAcreateserial -out server-cert.pem -days 2 -extfile ext.cnf";
  std::string output;
  ASSERT_EQ(Shell(make_certificates, &output), 0) << output;

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
