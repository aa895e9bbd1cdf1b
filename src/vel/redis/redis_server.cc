#include "vel/redis/internal/redis_server.h"

#include <glog/logging.h>

#include <boost/asio/post.hpp>
#include <utility>

#include "vel/metrics/metrics_registry.h"
#include "vel/redis/internal/redis_handshake.h"
#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace redis_internal {
namespace {

using Clock = std::chrono::steady_clock;

// After a failed connect, calls that need a new connection fail at once for
// this long instead of each waiting for its own connect attempt.
constexpr auto kReconnectBackoff = std::chrono::milliseconds(100);

}  // namespace

void RedisServer::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

void RedisServer::Open(const std::shared_ptr<boost::asio::io_context>& io,
                       OpenCallback done) {
  RedisEndpoint endpoint;
  bool resolve = false;
  std::string refused;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      refused = "the Redis client is shut down";
    } else if (Clock::now() < retry_after_) {
      refused = "server unavailable, waiting before reconnecting";
    }
    endpoint = endpoint_;
    resolve = stale_;
  }
  if (!refused.empty()) {
    boost::asio::post(
        *io, [done = std::move(done), refused] { done(nullptr, refused); });
    return;
  }
  if (!resolve) {
    Connect(io, endpoint, /*known=*/true, std::move(done));
    return;
  }
  ResolveAndConnect(io, std::move(done));
}

void RedisServer::ResolveAndConnect(
    const std::shared_ptr<boost::asio::io_context>& io, OpenCallback done) {
  ResolvePrimary(io, [self = shared_from_this(), io, done = std::move(done)](
                         bool ok, RedisEndpoint endpoint, std::string error) {
    if (!ok) {
      self->OpenFailed();
      done(nullptr, std::move(error));
      return;
    }
    self->Connect(io, endpoint, /*known=*/false, std::move(done));
  });
}

void RedisServer::Connect(const std::shared_ptr<boost::asio::io_context>& io,
                          const RedisEndpoint& endpoint, bool known,
                          OpenCallback done) {
  std::vector<std::vector<std::string>> commands;
  if (sentinel_ != nullptr) commands.push_back({"ROLE"});
  RedisHandshake::Start(
      io, endpoint, std::move(commands),
      [self = shared_from_this(), io, known, done = std::move(done)](
          std::shared_ptr<RedisStream> stream, std::vector<RedisValue> replies,
          std::string error) mutable {
        if (stream != nullptr && self->sentinel_ != nullptr &&
            (replies.empty() || !IsPrimary(replies.front(), &error))) {
          if (replies.empty()) error = "no ROLE reply";
          stream->Close();
          stream.reset();
          if (known) {
            self->ForgetPrimary(error);
            self->ResolveAndConnect(io, std::move(done));
            return;
          }
        }
        if (stream == nullptr) self->OpenFailed();
        done(std::move(stream), std::move(error));
      });
}

void RedisServer::OpenFailed() {
  std::lock_guard<std::mutex> lock(mutex_);
  retry_after_ = Clock::now() + kReconnectBackoff;
  if (sentinel_ != nullptr) stale_ = true;
}

void RedisServer::ForgetPrimary(const std::string& why) {
  if (sentinel_ == nullptr) return;
  VLOG(1) << "Redis primary of tag='" << tag_
          << "' to be asked of the Sentinels again: " << why;
  std::lock_guard<std::mutex> lock(mutex_);
  stale_ = true;
}

void RedisServer::ResolvePrimary(
    const std::shared_ptr<boost::asio::io_context>& io, ResolveCallback done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stale_) {  // another caller asked meanwhile
      RedisEndpoint endpoint = endpoint_;
      boost::asio::post(*io, [done = std::move(done), endpoint] {
        done(true, endpoint, std::string());
      });
      return;
    }
    const bool asking = !resolving_.empty();
    resolving_.push_back(std::move(done));
    if (asking) return;  // the answer on its way is this caller's too
  }
  sentinel_->QueryPrimary(
      io, [self = shared_from_this()](bool ok, const std::string& host,
                                      int port, const std::string& error) {
        self->OnPrimary(ok, host, port, error);
      });
}

void RedisServer::OnPrimary(bool ok, const std::string& host, int port,
                            const std::string& error) {
  std::vector<ResolveCallback> waiting;
  RedisEndpoint endpoint;
  std::string previous;
  bool moved = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(resolving_);
    if (ok) {
      moved = !known_ || host != endpoint_.host || port != endpoint_.port;
      if (moved) {
        if (known_) {
          previous = endpoint_.host + ":" + std::to_string(endpoint_.port);
        }
        endpoint_.host = host;
        endpoint_.port = port;
        known_ = true;
      }
      stale_ = false;
    }
    endpoint = endpoint_;
  }
  if (moved) {
    LOG(INFO) << "Redis primary of master '" << sentinel_->master_name()
              << "' (tag='" << tag_ << "') is " << host << ":" << port
              << (previous.empty() ? std::string() : " (was " + previous + ")")
              << ", as the Sentinels " << sentinel_->Addresses() << " say";
  }
  for (ResolveCallback& done : waiting) done(ok, endpoint, error);
}

bool RedisServer::IsPrimary(const RedisValue& reply, std::string* error) {
  if (reply.type == RedisValue::kArray && !reply.elements.empty() &&
      reply.elements[0].type == RedisValue::kString) {
    const std::string& role = reply.elements[0].text;
    if (role == "master") return true;
    *error = "the server the Sentinels name is a " + Printable(role) +
             ", not a primary (failover in progress?)";
    return false;
  }
  *error = reply.type == RedisValue::kError
               ? "ROLE refused: " + Printable(reply.text)
               : std::string("unexpected ROLE reply of type ") +
                     ValueTypeName(reply.type);
  return false;
}

void RedisServer::ReportFailure(const std::string& what,
                                const std::string& error) {
  ForgetPrimary(error);
  MetricsRegistry::CountRedisError(MetricsRegistry::kRedisConnection);
  if (available_.exchange(false)) {
    LOG(ERROR) << "Redis server unavailable (calls fail with "
                  "kConnectionFailure until it answers again; further "
                  "failures are logged at verbose level 1): tag='"
               << tag_ << "', address=" << Address() << ", command=" << what
               << ", error=" << error;
  } else {
    VLOG(1) << "Redis server still unavailable: tag='" << tag_
            << "', command=" << what << ", error=" << error;
  }
}

void RedisServer::ReportSuccess() {
  if (!available_.exchange(true)) {
    LOG(INFO) << "Redis server available again: tag='" << tag_
              << "', address=" << Address();
  }
}

std::string RedisServer::Address() {
  std::string host;
  int port = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sentinel_ != nullptr && !known_) {
      return "the primary of master '" + sentinel_->master_name() +
             "' (not known yet)";
    }
    host = endpoint_.host;
    port = endpoint_.port;
  }
  std::string address;
  if (!host.empty() && host[0] == '/') {
    address = host;
  } else {
    const bool ipv6 = host.find(':') != std::string::npos;
    address = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }
  if (sentinel_ != nullptr) {
    address += " (primary of master '" + sentinel_->master_name() +
               "', Sentinels " + sentinel_->Addresses() + ")";
  }
  return address;
}

}  // namespace redis_internal
}  // namespace vel
