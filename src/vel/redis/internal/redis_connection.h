// One blocking hiredis connection to one Redis server: the connect and its
// handshake (AUTH, ROLE) before RedisPipeline takes the socket over, and the
// queries to Sentinels. An instance is not thread-safe: one thread uses it.
#pragma once

#include <hiredis/hiredis.h>

#include <memory>
#include <string>
#include <vector>

namespace vel {

class RedisConnection {
 public:
  // Where and how to connect. A host that starts with '/' is a Unix socket
  // path (port unused).
  struct Endpoint {
    std::string host;
    int port = 0;
    std::string user;      // ACL user; empty: AUTH with the password alone
    std::string password;  // empty with an empty user: no AUTH
    int timeout_ms = 0;    // connect and per-command timeout, > 0
  };

  // Frees a hiredis reply.
  struct ReplyDeleter {
    void operator()(redisReply* reply) const;
  };
  using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

  explicit RedisConnection(Endpoint endpoint);
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Connects, applies the command timeout and authenticates when a user or
  // a password is set ("AUTH user password" with a user). Returns false and
  // leaves the reason in error() when any of that fails (the connection is then
  // unusable).
  bool Connect();

  // Sends one command (binary-safe arguments, args[0] is the command name)
  // and waits for its reply. Returns null on an I/O failure, a timeout or a
  // protocol error; the connection is then broken for good (a late reply
  // would be read as the answer to the next command) and error() tells why.
  // A Redis error reply is a reply, not a failure.
  Reply Command(const std::vector<std::string>& args);

  // True once a connect, I/O or protocol failure happened.
  bool broken() const { return broken_; }

  // The connected socket, for a caller that takes the connection over with
  // its own non-blocking I/O (dup it; this object closes its own copy). -1
  // before a successful Connect().
  int fd() const { return context_ != nullptr ? context_->fd : -1; }

  // The reason of the last failure, for logs.
  const std::string& error() const { return error_; }

 private:
  struct ContextDeleter {
    void operator()(redisContext* context) const;
  };

  bool Append(const std::vector<std::string>& args);
  Reply ReadReply();
  void Fail(const std::string& what);

  Endpoint endpoint_;
  std::unique_ptr<redisContext, ContextDeleter> context_;
  bool broken_ = false;
  std::string error_;
};

}  // namespace vel
