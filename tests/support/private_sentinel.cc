#include "support/private_sentinel.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>

#include "support/test_env.h"

namespace plemox_test {

PrivateSentinel::PrivateSentinel(const std::string& master_name,
                                 int master_port, int quorum,
                                 const std::vector<std::string>& tls_config)
    : port_(FreePort()) {
  char pattern[] = "/tmp/plemox-sentinel-XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr) << "cannot create the Sentinel's directory";
  if (made == nullptr) return;
  dir_ = made;
  const std::string config = dir_ + "/sentinel.conf";
  {
    std::ofstream out(config);
    if (tls_config.empty()) {
      out << "port " << port_ << "\n";
    } else {
      out << "port 0\ntls-port " << port_ << "\n";
      for (const std::string& line : tls_config) out << line << "\n";
    }
    out << "bind 127.0.0.1\n"
        << "dir " << dir_ << "\n"
        << "sentinel monitor " << master_name << " 127.0.0.1 " << master_port
        << " " << quorum << "\n"
        << "sentinel down-after-milliseconds " << master_name << " 1000\n"
        << "sentinel failover-timeout " << master_name << " 5000\n"
        << "sentinel parallel-syncs " << master_name << " 1\n";
  }
  pid_ = fork();
  if (pid_ == 0) {
    freopen("/dev/null", "w", stdout);
    execlp("redis-sentinel", "redis-sentinel", config.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_GT(pid_, 0) << "cannot fork redis-sentinel";
  const bool up = WaitFor([&] {
    if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) != 0) return false;
    if (!tls_config.empty()) {  // listening is all a plain client can see
      return AcceptsConnections(port_);
    }
    const auto reply = RedisAt(port_, {"PING"});
    return !reply.empty() && reply[0] == "PONG";
  });
  EXPECT_TRUE(up) << "redis-sentinel did not start on port " << port_;
}

PrivateSentinel::~PrivateSentinel() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty()) {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir_, ignored);
  }
}

std::string PrivateSentinel::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> RedisAt(int port, const std::vector<std::string>& args,
                                 std::string* error) {
  std::vector<std::string> out;
  const timeval timeout{1, 0};
  redisContext* context = redisConnectWithTimeout("127.0.0.1", port, timeout);
  if (context == nullptr || context->err != 0) {
    if (error != nullptr) {
      *error = context != nullptr ? context->errstr : "cannot allocate";
    }
    if (context != nullptr) redisFree(context);
    return out;
  }
  redisSetTimeout(context, timeout);
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const auto& arg : args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  auto* reply = static_cast<redisReply*>(redisCommandArgv(
      context, static_cast<int>(argv.size()), argv.data(), lengths.data()));
  if (reply == nullptr) {
    if (error != nullptr) *error = context->errstr;
    redisFree(context);
    return out;
  }
  const auto flatten = [&out](const redisReply* element) {
    if (element->type == REDIS_REPLY_INTEGER) {
      out.push_back(std::to_string(element->integer));
    } else if (element->str != nullptr) {
      out.emplace_back(element->str, element->len);
    }
  };
  if (reply->type == REDIS_REPLY_ARRAY) {
    for (size_t i = 0; i < reply->elements; ++i) {
      const redisReply* element = reply->element[i];
      if (element->type == REDIS_REPLY_ARRAY) {
        for (size_t j = 0; j < element->elements; ++j) {
          flatten(element->element[j]);
        }
      } else {
        flatten(element);
      }
    }
  } else {
    flatten(reply);
  }
  freeReplyObject(reply);
  redisFree(context);
  return out;
}

std::string InfoField(int port, const std::string& section,
                      const std::string& field) {
  const auto reply = RedisAt(port, {"INFO", section});
  if (reply.empty()) return "";
  std::istringstream lines(reply[0]);
  std::string line;
  const std::string prefix = field + ":";
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return line.substr(prefix.size());
    }
  }
  return "";
}

}  // namespace plemox_test
