#include "vel/redis/internal/redis_handshake.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <utility>

#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace redis_internal {
namespace {

// Keep-alive probes after this many idle seconds (then every third of it,
// three times): a dead peer is noticed within about half a minute.
constexpr int kKeepAliveSeconds = 15;

// Commands go out at once and replies come back at once (pipelining), and a
// dead server is seen by its silence; both want these on every TCP socket.
void TuneTcp(RedisStream::Socket& socket) {
  const int family = socket.local_endpoint().data()->sa_family;
  boost::system::error_code ignored;
  socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
  if (family != AF_INET && family != AF_INET6) return;
  const int fd = socket.native_handle();
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  int idle = kKeepAliveSeconds;
  int interval = kKeepAliveSeconds / 3;
  int count = 3;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

void RedisHandshake::Start(std::shared_ptr<boost::asio::io_context> io,
                           RedisEndpoint endpoint,
                           std::vector<std::vector<std::string>> commands,
                           Callback callback) {
  auto handshake = std::make_shared<RedisHandshake>(
      std::move(io), std::move(endpoint), std::move(commands),
      std::move(callback));
  boost::asio::post(handshake->strand_, [handshake] { handshake->Begin(); });
}

RedisHandshake::RedisHandshake(std::shared_ptr<boost::asio::io_context> io,
                               RedisEndpoint endpoint,
                               std::vector<std::vector<std::string>> commands,
                               Callback callback)
    : io_(std::move(io)),
      endpoint_(std::move(endpoint)),
      callback_(std::move(callback)),
      strand_(boost::asio::make_strand(*io_)),
      timer_(*io_),
      resolver_(*io_),
      socket_(*io_) {
  if (!endpoint_.user.empty() || !endpoint_.password.empty()) {
    has_auth_ = true;
    commands_.push_back(
        endpoint_.user.empty()
            ? std::vector<std::string>{"AUTH", endpoint_.password}
            : std::vector<std::string>{"AUTH", endpoint_.user,
                                       endpoint_.password});
  }
  for (auto& command : commands) commands_.push_back(std::move(command));
}

void RedisHandshake::Arm(std::string timeout_text) {
  timeout_text_ = std::move(timeout_text);
  timer_.expires_after(std::chrono::milliseconds(endpoint_.timeout_ms));
  timer_.async_wait(boost::asio::bind_executor(
      strand_,
      [self = shared_from_this()](const boost::system::error_code& error) {
        if (error || self->finished_ ||
            self->timer_.expiry() > std::chrono::steady_clock::now()) {
          return;  // cancelled, done, or re-armed for a later step
        }
        // Whatever runs now fails at once and reports the timeout.
        self->timed_out_ = true;
        boost::system::error_code ignored;
        self->resolver_.cancel();
        self->socket_.close(ignored);
        if (self->stream_ != nullptr) self->stream_->Close();
      }));
}

void RedisHandshake::Begin() {
  const std::string waited =
      "no answer within " + std::to_string(endpoint_.timeout_ms) + " ms";
  Arm("connect failed: " + waited);
  if (!endpoint_.host.empty() && endpoint_.host[0] == '/') {
    endpoints_.emplace_back(
        boost::asio::local::stream_protocol::endpoint(endpoint_.host));
    ConnectTo(0);
    return;
  }
  resolver_.async_resolve(
      endpoint_.host, std::to_string(endpoint_.port),
      boost::asio::ip::tcp::resolver::numeric_service,
      boost::asio::bind_executor(
          strand_,
          [self = shared_from_this()](
              const boost::system::error_code& error,
              const boost::asio::ip::tcp::resolver::results_type& results) {
            if (error || results.empty()) {
              self->Finish(self->timed_out_
                               ? self->timeout_text_
                               : "connect failed: cannot resolve '" +
                                     Printable(self->endpoint_.host) +
                                     "': " + error.message());
              return;
            }
            for (const auto& entry : results) {
              self->endpoints_.emplace_back(entry.endpoint());
            }
            self->ConnectTo(0);
          }));
}

void RedisHandshake::ConnectTo(std::size_t index) {
  boost::system::error_code error;
  socket_.close(error);
  socket_.open(endpoints_[index].protocol(), error);
  if (error) {
    OnConnected(index, error);
    return;
  }
  socket_.async_connect(
      endpoints_[index],
      boost::asio::bind_executor(
          strand_, [self = shared_from_this(),
                    index](const boost::system::error_code& error) {
            self->OnConnected(index, error);
          }));
}

void RedisHandshake::OnConnected(std::size_t index,
                                 const boost::system::error_code& error) {
  if (timed_out_) {
    Finish(timeout_text_);
    return;
  }
  if (error) {
    // Every address of the name is tried (IPv6 and IPv4, say).
    if (index + 1 < endpoints_.size()) {
      ConnectTo(index + 1);
      return;
    }
    Finish("connect failed: " + error.message());
    return;
  }
  TuneTcp(socket_);
  if (endpoint_.tls == nullptr) {
    stream_ = std::make_shared<RedisStream>(std::move(socket_));
    SendCommands();
    return;
  }
  std::string why;
  std::unique_ptr<RedisStream::TlsStream> tls =
      endpoint_.tls->Wrap(std::move(socket_), endpoint_.host, &why);
  if (tls == nullptr) {
    Finish("TLS handshake failed: " + why);
    return;
  }
  stream_ = std::make_shared<RedisStream>(std::move(tls));
  Arm("TLS handshake failed: no answer within " +
      std::to_string(endpoint_.timeout_ms) + " ms");
  stream_->tls()->async_handshake(
      boost::asio::ssl::stream_base::client,
      boost::asio::bind_executor(
          strand_,
          [self = shared_from_this()](const boost::system::error_code& error) {
            self->OnTlsHandshake(error);
          }));
}

void RedisHandshake::OnTlsHandshake(const boost::system::error_code& error) {
  if (timed_out_) {
    Finish(timeout_text_);
    return;
  }
  if (error) {
    Finish(RedisTls::HandshakeError(*stream_->tls(), error));
    return;
  }
  SendCommands();
}

void RedisHandshake::SendCommands() {
  if (commands_.empty()) {
    Finish(std::string());
    return;
  }
  for (const auto& command : commands_) out_ += FormatCommand(command);
  Arm("command failed: no answer within " +
      std::to_string(endpoint_.timeout_ms) + " ms");
  stream_->AsyncWrite(
      boost::asio::buffer(out_),
      boost::asio::bind_executor(
          strand_, [self = shared_from_this()](
                       const boost::system::error_code& error, std::size_t) {
            if (self->timed_out_ || error) {
              self->Finish(self->timed_out_
                               ? self->timeout_text_
                               : "command failed: " + error.message());
            }
          }));
  ReadReplies();
}

void RedisHandshake::ReadReplies() {
  std::vector<char>& buffer = stream_->read_buffer();
  stream_->AsyncReadSome(
      boost::asio::buffer(buffer),
      boost::asio::bind_executor(
          strand_,
          [self = shared_from_this(), stream = stream_](
              const boost::system::error_code& error, std::size_t got) {
            if (self->finished_) return;
            if (self->timed_out_) {
              self->Finish(self->timeout_text_);
              return;
            }
            self->reader_.Feed(stream->read_buffer().data(), got);
            std::string why;
            for (;;) {
              std::unique_ptr<RedisValue> reply;
              if (!self->reader_.Next(&reply, &why)) {
                self->Finish("command failed: " + why);
                return;
              }
              if (reply == nullptr) break;
              self->replies_.push_back(std::move(*reply));
              if (self->has_auth_ && self->replies_.size() == 1) {
                const RedisValue& auth = self->replies_.front();
                if (auth.type == RedisValue::kError) {
                  // The user name helps the operator; the password is never
                  // shown.
                  self->Finish("authentication failed" + self->Auth() + ": " +
                               Printable(auth.text));
                  return;
                }
              }
              if (self->replies_.size() == self->commands_.size()) {
                if (self->has_auth_) {
                  self->replies_.erase(self->replies_.begin());
                }
                self->Finish(std::string());
                return;
              }
            }
            if (error) {
              self->Finish(error == boost::asio::error::eof
                               ? std::string("command failed: the server "
                                             "closed the connection")
                               : "command failed: " + error.message());
              return;
            }
            self->ReadReplies();
          }));
}

std::string RedisHandshake::Auth() const {
  return endpoint_.user.empty()
             ? std::string(" (password only)")
             : " as user '" + Printable(endpoint_.user) + "'";
}

void RedisHandshake::Finish(std::string error) {
  if (finished_) return;
  finished_ = true;
  timer_.cancel();
  std::shared_ptr<RedisStream> stream = std::move(stream_);
  std::vector<RedisValue> replies = std::move(replies_);
  if (!error.empty()) {
    boost::system::error_code ignored;
    socket_.close(ignored);
    if (stream != nullptr) stream->Close();
    stream.reset();
    replies.clear();
  }
  Callback callback = std::move(callback_);
  callback(std::move(stream), std::move(replies), std::move(error));
}

}  // namespace redis_internal
}  // namespace vel
