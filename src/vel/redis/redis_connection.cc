#include "vel/redis/internal/redis_connection.h"

#include <sys/time.h>

#include <cerrno>
#include <utility>

#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace {

timeval ToTimeval(int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return tv;
}

// Pointers and lengths of `args` in the form hiredis takes them.
void ToArgv(const std::vector<std::string>& args,
            std::vector<const char*>* argv, std::vector<size_t>* lengths) {
  argv->clear();
  lengths->clear();
  argv->reserve(args.size());
  lengths->reserve(args.size());
  for (const std::string& arg : args) {
    argv->push_back(arg.data());
    lengths->push_back(arg.size());
  }
}

}  // namespace

void RedisConnection::ReplyDeleter::operator()(redisReply* reply) const {
  if (reply != nullptr) freeReplyObject(reply);
}

void RedisConnection::ContextDeleter::operator()(redisContext* context) const {
  if (context != nullptr) redisFree(context);
}

RedisConnection::RedisConnection(Endpoint endpoint)
    : endpoint_(std::move(endpoint)) {}

RedisConnection::~RedisConnection() = default;

void RedisConnection::Fail(const std::string& what) {
  const int saved_errno = errno;
  broken_ = true;
  std::string reason = what;
  if (context_ != nullptr && context_->err != 0) {
    const int err = context_->err;
    reason += ": ";
    if (err == REDIS_ERR_IO &&
        (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK)) {
      reason +=
          "no answer within " + std::to_string(endpoint_.timeout_ms) + " ms";
    } else {
      reason += context_->errstr;
    }
  }
  error_ = std::move(reason);
}

bool RedisConnection::Connect() {
  const timeval tv = ToTimeval(endpoint_.timeout_ms);
  if (!endpoint_.host.empty() && endpoint_.host[0] == '/') {
    context_.reset(redisConnectUnixWithTimeout(endpoint_.host.c_str(), tv));
  } else {
    context_.reset(
        redisConnectWithTimeout(endpoint_.host.c_str(), endpoint_.port, tv));
  }
  if (context_ == nullptr) {
    Fail("cannot allocate a connection");
    return false;
  }
  if (context_->err != 0) {
    Fail("connect failed");
    return false;
  }
  if (redisSetTimeout(context_.get(), tv) != REDIS_OK) {
    Fail("cannot set the command timeout");
    return false;
  }
  // Keep-alive only shortens the detection of dead peers; failing to enable
  // it is not worth refusing the connection.
  redisEnableKeepAlive(context_.get());

  if (!endpoint_.user.empty() || !endpoint_.password.empty()) {
    Reply reply = endpoint_.user.empty()
                      ? Command({"AUTH", endpoint_.password})
                      : Command({"AUTH", endpoint_.user, endpoint_.password});
    if (reply == nullptr) return false;  // Command() recorded the reason
    if (reply->type == REDIS_REPLY_ERROR) {
      broken_ = true;
      // The user name helps the operator; the password is never shown.
      error_ = "authentication failed" +
               (endpoint_.user.empty()
                    ? std::string(" (password only)")
                    : " as user '" + redis_internal::Printable(endpoint_.user) +
                          "'") +
               ": " +
               redis_internal::Printable(std::string(reply->str, reply->len));
      return false;
    }
  }
  return true;
}

bool RedisConnection::Append(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  ToArgv(args, &argv, &lengths);
  if (redisAppendCommandArgv(context_.get(), static_cast<int>(argv.size()),
                             argv.data(), lengths.data()) != REDIS_OK) {
    Fail("cannot queue the command");
    return false;
  }
  return true;
}

RedisConnection::Reply RedisConnection::ReadReply() {
  void* raw = nullptr;
  if (redisGetReply(context_.get(), &raw) != REDIS_OK || raw == nullptr) {
    if (raw != nullptr) freeReplyObject(raw);
    Fail("command failed");
    return nullptr;
  }
  return Reply(static_cast<redisReply*>(raw));
}

RedisConnection::Reply RedisConnection::Command(
    const std::vector<std::string>& args) {
  if (broken_ || context_ == nullptr) {
    if (!broken_) Fail("not connected");
    return nullptr;
  }
  if (!Append(args)) return nullptr;
  return ReadReply();
}

}  // namespace vel
