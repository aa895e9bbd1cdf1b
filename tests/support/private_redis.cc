#include "support/private_redis.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <utility>
#include <vector>

#include "support/test_env.h"

namespace plemox_test {

PrivateRedis::PrivateRedis(std::vector<std::string> extra, bool tls)
    : port_(FreePort()), extra_(std::move(extra)), tls_(tls) {
  Start();
}

void PrivateRedis::Start() {
  if (pid_ > 0) return;
  const std::string port = std::to_string(port_);
  pid_ = fork();
  if (pid_ == 0) {
    // Keep the test's output readable: the server's own log goes nowhere.
    freopen("/dev/null", "w", stdout);
    std::vector<std::string> args = {
        "redis-server", "--port", port,           "--bind", "127.0.0.1",
        "--save",       "",       "--appendonly", "no"};
    if (tls_) {
      args[2] = "0";  // no plain port
      args.insert(args.end(), {"--tls-port", port});
    }
    args.insert(args.end(), extra_.begin(), extra_.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  EXPECT_GT(pid_, 0) << "cannot fork redis-server";
  const bool up = WaitFor([&] {
    if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) != 0) return false;
    return AcceptsConnections(port_);
  });
  EXPECT_TRUE(up) << "redis-server did not start on port " << port_;
}

void PrivateRedis::Pause() {
  ASSERT_GT(pid_, 0);
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
}

void PrivateRedis::Resume() {
  ASSERT_GT(pid_, 0);
  ASSERT_EQ(kill(pid_, SIGCONT), 0);
}

void PrivateRedis::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void PrivateRedis::Restart() {
  Kill();
  Start();
}

PrivateRedis::~PrivateRedis() { Kill(); }

}  // namespace plemox_test
